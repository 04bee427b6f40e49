"""Rows for the database functions' tests and benchmark: random rows over
every branch of the tier chain, and the rows on and around its thresholds,
as NumPy columns; and the bit-for-bit comparison with the column functions.
"""

from __future__ import annotations

import math

import numpy as np

NUMBERS = ("days_since_recall", "retrieval_count", "importance", "frequency")
FLAGS = ("is_procedural", "keep_forever")
FIELDS = NUMBERS + FLAGS


def random_rows(n: int, seed: int = 20250615) -> dict[str, np.ndarray]:
    """n rows: days and counts mostly in the ranges where the tier changes,
    some whole, some negative; importance and frequency a little beyond [0, 1]."""
    rng = np.random.default_rng(seed)
    days = rng.uniform(-5.0, 400.0, n)
    whole = rng.random(n) < 0.3
    days[whole] = np.round(days[whole])
    count = rng.integers(0, 40, n).astype(np.float64)
    fraction = rng.random(n) < 0.1
    count[fraction] = rng.uniform(-2.0, 40.0, fraction.sum())
    return {
        "days_since_recall": days,
        "retrieval_count": count,
        "importance": rng.uniform(-0.2, 1.2, n),
        "frequency": rng.uniform(-0.2, 1.2, n),
        "is_procedural": rng.random(n) < 0.3,
        "keep_forever": rng.random(n) < 0.05,
    }


def _around(value: float, steps: int = 3) -> list[float]:
    out = [value]
    up = down = value
    for _ in range(steps):
        up, down = math.nextafter(up, math.inf), math.nextafter(down, -math.inf)
        out += [up, down]
    return out


def edge_rows() -> dict[str, np.ndarray]:
    """Rows whose retention lands on or next to 0.4, 0.65 and 0.8, whose days
    sit on 7, 30 and 180 and whose count sits on 0 and 3 (a few units in the
    last place either side), and extreme magnitudes."""
    rows: list[tuple[float, float, float, float, bool, bool]] = []
    for count in (0.5, 1.0, 2.0, 3.0, 5.0, 12.0, 40.0):
        for importance, frequency in ((0.0, 0.0), (0.5, 0.5), (1.0, 1.0), (0.3, 0.9)):
            stability = max(math.log(count + 1.0), 0.001)
            boost = count * 0.45 + 1.0 + importance * 0.3 + frequency * 0.25
            for threshold in (0.4, 0.65, 0.8):
                if boost <= threshold:
                    continue
                days = -stability * math.log(threshold / boost)
                for d in _around(days):
                    rows.append((d, count, importance, frequency, False, False))
                    rows.append((d, count, importance, frequency, True, False))
    for days in (7.0, 30.0, 180.0):
        for d in _around(days):
            for count in _around(3.0, 1) + [0.0, 1.0, 100.0]:
                rows.append((d, count, 0.5, 0.5, True, False))
    tiny, huge = 5e-324, 1.7976931348623157e308
    for d in (0.0, -0.0, tiny, -tiny, huge, -huge, 1e-300):
        for count in (0.0, -0.0, tiny, -1.0, huge, -huge, 1e-300):
            for weight in (-huge, -0.0, 0.5, huge):
                rows.append((d, count, weight, weight, False, False))
                rows.append((d, count, weight, -weight, True, True))
    columns = list(zip(*rows))
    out = {name: np.array(values, np.float64) for name, values in zip(NUMBERS, columns[:4])}
    out.update({name: np.array(values, bool) for name, values in zip(FLAGS, columns[4:])})
    return out


def join(*parts: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    return {name: np.concatenate([p[name] for p in parts]) for name in FIELDS}


def expected(rows: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """What the column functions give: the tier decision's retention, tier and
    action names (as arrays of codes and names) and the score's three numbers."""
    from quillmarrow_engine.columns import ACTIONS, TIERS, score_arrays, tier_arrays

    tier = tier_arrays(*(rows[n] for n in NUMBERS), rows["is_procedural"], rows["keep_forever"])
    score = score_arrays(*(rows[n] for n in NUMBERS))
    return {
        "tier_retention": tier.retention,
        "tier_code": tier.tier,
        "action_code": tier.action,
        "tier": np.array(TIERS, dtype=object)[tier.tier],
        "action": np.array(ACTIONS, dtype=object)[tier.action],
        "retention": score.retention,
        "stability": score.stability,
        "boost": score.boost,
    }


def differing_bits(got: np.ndarray, want: np.ndarray) -> np.ndarray:
    """The rows where two float64 arrays differ in any bit."""
    got = np.ascontiguousarray(got, np.float64)
    want = np.ascontiguousarray(want, np.float64)
    return np.flatnonzero(got.view(np.uint64) != want.view(np.uint64))
