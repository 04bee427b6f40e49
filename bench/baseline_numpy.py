"""orjson for the text, NumPy for the scoring of a batch.

``orjson.loads`` parses the payload; a Python pass decodes each element (object
or array form, with the same checks as the reference) into a row of six
numbers; NumPy then computes every retention at once with ``np.log`` /
``np.exp`` in the engine's order of operations and picks each action with
``np.select`` over the decision chain; the decision objects are rebuilt and
written with ``orjson.dumps``.

NumPy's vectorised log/exp may differ from the C library's in the last bit,
so this baseline's retentions are compared with a count of mismatches rather
than required to be identical.  Only "tier-batch" has a vectorised form; the
single-record commands are not benchmarked here.
"""

from __future__ import annotations

import numpy as np
import orjson

from baseline_python import ACTION_TIER, EngineError, decode_tier_input

# index -> action, in the order of the decision chain below
ACTIONS = (
    "keep_forever_tag",
    "inject_to_prompt",
    "keep_procedural",
    "long_term_semantic",
    "spaced_repetition",
    "archive_on_demand",
    "maintain_warm",
)
_DEFAULT = len(ACTIONS) - 1
_NAMES = tuple((a, ACTION_TIER[a]) for a in ACTIONS)
_NUM = (int, float)
_FLAG = (bool,)


def _row(element) -> tuple:
    """The six fields of one element; anything unusual goes through the
    reference decoder, which raises the engine's message."""
    t = type(element)
    if t is dict:
        g = element.get
        row = (
            g("days_since_recall"),
            g("retrieval_count"),
            g("importance"),
            g("frequency"),
            g("is_procedural", False),
            g("keep_forever", False),
        )
    elif t is list and 4 <= len(element) <= 6:
        row = (*element, False, False)[:6]
    else:
        return tuple(decode_tier_input(element))
    if (
        type(row[0]) in _NUM
        and type(row[1]) in _NUM
        and type(row[2]) in _NUM
        and type(row[3]) in _NUM
        and type(row[4]) in _FLAG
        and type(row[5]) in _FLAG
    ):
        return row
    return tuple(decode_tier_input(element))


def retention_and_chain(d, r, imp, freq, procedural, pinned):
    """The engine's formula and the conditions of its decision chain in order
    (pinned first), vectorised: (retention before pinning, conditions)."""
    c = np.where(r > 0.0, r, 0.0)
    stability = np.log(c + 1.0)
    stability = np.where(stability > 0.001, stability, 0.001)
    dd = np.where(d > 0.0, d, 0.0)
    decay = np.exp(-dd / stability)
    i1 = np.where(imp < 0.0, 0.0, np.where(imp > 1.0, 1.0, imp))
    f1 = np.where(freq < 0.0, 0.0, np.where(freq > 1.0, 1.0, freq))
    boost = c * 0.45 + 1.0
    boost = boost + i1 * 0.3
    boost = boost + f1 * 0.25
    s = decay * boost
    s = np.where(s < 0.0, 0.0, np.where(s > 10.0, 10.0, s))
    chain = [
        pinned,
        (d <= 7.0) & (r > 0.0),
        (r >= 3.0) & procedural,
        s >= 0.8,
        (d <= 30.0) & (s >= 0.65),
        (d >= 180.0) | (s < 0.4),
    ]
    return s, chain


def decide(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """rows: (n, 6) float64 of days, count, importance, frequency, procedural,
    pinned.  Returns (action index, retention)."""
    pinned = rows[:, 5] != 0.0
    s, chain = retention_and_chain(
        rows[:, 0], rows[:, 1], rows[:, 2], rows[:, 3], rows[:, 4] != 0.0, pinned
    )
    action = np.select(chain, np.arange(_DEFAULT), default=_DEFAULT)
    return action, np.where(pinned, 1.0, s)


def tier_batch(payload_json: str) -> bytes:
    try:
        value = orjson.loads(payload_json)
    except orjson.JSONDecodeError as exc:
        raise EngineError(str(exc)) from None
    items = value.get("items") if type(value) is dict else None
    if type(items) is not list:
        raise EngineError("missing required field: items")
    rows = np.array([_row(element) for element in items], dtype=np.float64)
    action, retention = decide(rows.reshape(len(items), 6))
    names = _NAMES
    decisions = []
    for a, s in zip(action.tolist(), retention.tolist()):
        name, tier = names[a]
        decisions.append({"action": name, "retention": s, "tier": tier})
    return orjson.dumps({"ok": True, "result": {"decisions": decisions}})


def run(command: str, payload_json: str) -> bytes:
    if command != "tier-batch":
        raise EngineError("only tier-batch has a vectorised baseline")
    return tier_batch(payload_json)
