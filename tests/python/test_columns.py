"""The column functions: exactly run's answers, clear errors, the lock released."""

import json
import math
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

np = pytest.importorskip("numpy", reason="numpy is not installed (pip install '.[arrays]')")

import quillmarrow_engine as qe  # noqa: E402
from quillmarrow_engine import _bulk  # noqa: E402

FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency", "is_procedural", "keep_forever")


def bits(x):
    return float(x).hex()


def literal(x):
    """A JSON number that reads back as the same double (repr is shortest round-trip)."""
    return repr(int(x)) if isinstance(x, (int, np.integer)) else repr(float(x))


def record_json(row):
    d, r, i, f, p, k = row
    return (
        f'{{"days_since_recall":{literal(d)},"retrieval_count":{literal(r)},"importance":{literal(i)},'
        f'"frequency":{literal(f)},"is_procedural":{"true" if p else "false"},"keep_forever":{"true" if k else "false"}}}'
    )


def reads_exactly(x):
    """True when the engine's reader turns repr(x) back into x: it rounds the
    literal's digits to a double and multiplies or divides once by a power of
    ten, which is exact for at most 2**53 as digits and powers up to 10**22."""
    mantissa, _, exponent = repr(float(x)).partition("e")
    digits = int(mantissa.replace(".", "").replace("-", ""))
    power = int(exponent or 0) - len(mantissa.partition(".")[2])
    return digits <= 2**53 and abs(power) <= 22


def short(x):
    """x rounded to 12 significant digits: a literal the engine reads exactly."""
    return float(f"{x:.12g}")


def threshold_days(run, count, importance, frequency, level):
    """Two neighbouring days (on a grid of 10**-12 days) whose scores lie on
    either side of `level`, found by bisection on run('score') itself."""
    def score(k):
        text = run("score", f"[{k}e-12,{literal(count)},{literal(importance)},{literal(frequency)}]")
        return json.loads(text)["result"]["retention"]

    lo, hi = 0, 2000 * 10**12
    if score(lo) < level or score(hi) >= level:
        return []
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if score(mid) >= level:
            lo = mid
        else:
            hi = mid
    return [lo / 10**12, hi / 10**12]


@pytest.fixture(scope="module")
def records(run):
    """Random records with every threshold on and beside its mark, all of
    whose numbers the engine reads back as the same doubles."""
    rng = np.random.default_rng(20240611)
    rows = []
    day_marks = [7.0, 30.0, 180.0, 0.0, -3.0, 1e-22, 1e22]
    count_marks = [0.0, 3.0, 0.5, -1.0, 2.9999999999999, 3.0000000000001]
    for mark in day_marks:
        beside = [math.nextafter(mark, -math.inf), math.nextafter(mark, math.inf), mark - 1e-9, mark + 1e-9]
        for d in [mark] + [b for b in beside if reads_exactly(b)]:
            for r in count_marks + [1.0, 10.0]:
                rows.append((d, r, short(rng.random()), short(rng.random()), bool(rng.integers(2)), False))
    # Retention thresholds: days at which the score crosses 0.4, 0.65 and 0.8.
    for count, importance, frequency in [(1.0, 0.5, 0.5), (4.0, 0.1, 0.9), (12.0, 1.0, 0.0), (0.25, 0.9, 0.3)]:
        for level in (0.4, 0.65, 0.8):
            for d in threshold_days(run, count, importance, frequency, level):
                for procedural in (False, True):
                    rows.append((d, count, importance, frequency, procedural, False))
    for _ in range(2000):
        rows.append((
            short(rng.choice([rng.uniform(-5, 400), rng.integers(0, 200)])),
            short(rng.choice([rng.uniform(-1, 30), rng.integers(0, 40)])),
            short(rng.uniform(-0.3, 1.3)),
            short(rng.uniform(-0.3, 1.3)),
            bool(rng.integers(2)),
            bool(rng.random() < 0.1),
        ))
    # Recent enough for review, strong enough to keep: spaced repetition.
    rows += [(8.0, 20.0, 0.5, 0.5, False, False), (29.5, 40.0, 0.0, 0.0, True, False)]
    assert all(reads_exactly(x) for row in rows for x in row[:4])
    assert any(r[5] for r in rows) and len(rows) > 2000
    return rows


def columns_of(rows):
    cols = list(zip(*rows))
    return [np.array(c, dtype=np.float64) for c in cols[:4]] + [np.array(c, dtype=bool) for c in cols[4:]]


def test_tier_arrays_gives_runs_answers(run, records):
    result = qe.tier_arrays(*columns_of(records))
    assert result.retention.dtype == np.float64
    assert result.tier.dtype == np.uint8 and result.action.dtype == np.uint8
    payload = '{"items":[' + ",".join(record_json(r) for r in records) + "]}"
    decisions = json.loads(run("tier-batch", payload))["result"]["decisions"]
    for n, decision in enumerate(decisions):
        got = (bits(result.retention[n]), qe.TIERS[result.tier[n]], qe.ACTIONS[result.action[n]])
        assert got == (bits(decision["retention"]), decision["tier"], decision["action"]), records[n]
    # Every action and tier is met, so the code tables are checked too.
    assert set(result.action) == set(range(len(qe.ACTIONS)))
    # The single-item command as well, on every threshold row and a sample.
    for n in list(range(0, 400)) + list(range(400, len(records), 50)):
        single = json.loads(run("tier", record_json(records[n])))["result"]
        assert (bits(result.retention[n]), qe.TIERS[result.tier[n]], qe.ACTIONS[result.action[n]]) == (
            bits(single["retention"]), single["tier"], single["action"])


def test_score_arrays_gives_runs_answers(run, records):
    cols = columns_of(records)[:4]
    result = qe.score_arrays(*cols)
    for n in range(0, len(records), 3):
        expected = json.loads(run("score", "[" + ",".join(literal(x) for x in records[n][:4]) + "]"))["result"]
        assert [bits(result.retention[n]), bits(result.stability[n]), bits(result.boost[n])] == [
            bits(expected["retention"]), bits(expected["stability"]), bits(expected["boost"])], records[n]


def test_integer_columns_are_read_as_json_integers(run):
    counts = np.array([0, 3, 2**53 + 1, 2**63 - 1, -(2**63), 7], dtype=np.int64)
    days = np.array([1, 7, 30, 180, 2**62 + 3, 0], dtype=np.uint64)
    flags = np.array([0, 1, 1, 0, 1, 0], dtype=np.int64)
    result = qe.tier_arrays(days, counts, np.full(6, 0.5, np.float32), [0, 1, 0, 1, 0, 1], flags, np.zeros(6, np.uint8))
    for n in range(6):
        payload = (f"[{int(days[n])},{int(counts[n])},0.5,{n % 2},{'true' if flags[n] else 'false'},false]")
        expected = json.loads(run("tier", payload))["result"]
        assert (bits(result.retention[n]), qe.ACTIONS[result.action[n]]) == (
            bits(expected["retention"]), expected["action"]), payload


def test_names_are_the_engines():
    assert qe.TIERS == ("hot", "warm_episodic", "warm_semantic", "warm_procedural", "cold")
    assert qe.ACTIONS == ("keep_forever_tag", "inject_to_prompt", "keep_procedural", "long_term_semantic",
                          "spaced_repetition", "maintain_warm", "archive_on_demand")


def test_other_array_layouts_give_the_same_answers(records):
    cols = columns_of(records[:1000])
    expected = qe.tier_arrays(*cols)
    wide = np.stack(cols[:4], axis=1)  # rows of a 2-D array: every column strided
    strided = qe.tier_arrays(wide[:, 0], wide[:, 1], wide[:, 2], wide[:, 3], cols[4].astype(np.int32),
                             list(cols[5]))
    backwards = qe.tier_arrays(*[c[::-1] for c in cols])
    swapped = qe.tier_arrays(*[c.astype(c.dtype.newbyteorder(">")) for c in cols[:4]], *cols[4:])
    for other in (strided, swapped):
        assert all(np.array_equal(a, b) for a, b in zip(expected, other))
    assert all(np.array_equal(a[::-1], b) for a, b in zip(expected, backwards))


def test_zero_rows_give_empty_arrays():
    result = qe.tier_arrays([], [], [], [], [], [])
    assert [a.shape for a in result] == [(0,)] * 3
    assert [a.dtype for a in qe.score_arrays([], [], [], [])] == [np.float64] * 3


ONE = [1.0, 2.0, 3.0]
BAD_INPUTS = [
    # (arguments, exception, message)
    ((ONE, [1.0, 2.0], ONE, ONE), ValueError,
     "column 'retrieval_count' has 2 rows, but column 'days_since_recall' has 3"),
    ((ONE, ONE, ONE, ONE, [True, False]), ValueError,
     "column 'is_procedural' has 2 rows, but column 'days_since_recall' has 3"),
    ((ONE, ONE, [0.5, math.nan, 0.5], ONE), ValueError, "column 'importance': row 1 is nan, not a finite number"),
    (([math.inf, 1.0, 2.0], ONE, ONE, ONE), ValueError, "column 'days_since_recall': row 0 is inf, not a finite number"),
    ((ONE, ONE, ONE, [1.0, 2.0, -math.inf]), ValueError, "column 'frequency': row 2 is -inf, not a finite number"),
    ((ONE, [1, None, 3], ONE, ONE), ValueError, "column 'retrieval_count': row 1 is null, not a number"),
    ((ONE, ONE, ONE, "masked"), ValueError, "column 'frequency': row 2 is null, not a number"),
    ((ONE, ONE, ONE, ONE, [0, 1, 2]), ValueError, "column 'is_procedural': row 2 is 2, not a flag (false, true, 0 or 1)"),
    ((ONE, ONE, ONE, ONE, None, np.array([1, -1, 0], np.int16)), ValueError,
     "column 'keep_forever': row 1 is -1, not a flag (false, true, 0 or 1)"),
    ((ONE, ONE, ONE, ONE, None, [True, 3, 0]), ValueError,
     "column 'keep_forever': row 1 is 3, not a flag (false, true, 0 or 1)"),
    ((ONE, ONE, ONE, ONE, [0.0, 1.0, 0.0]), TypeError,
     "column 'is_procedural' must hold booleans or the integers 0 and 1, not float64"),
    ((["1", "2", "3"], ONE, ONE, ONE), TypeError,
     "column 'days_since_recall' must hold numbers (floating-point or integers), not <U1"),
    ((ONE, [1, "2", 3], ONE, ONE), TypeError,
     "column 'retrieval_count' must hold numbers (floating-point or integers), not <U21"),
    ((ONE, ONE, [True, False, True], ONE), TypeError,
     "column 'importance' must hold numbers (floating-point or integers), not bool"),
    ((ONE, ONE, ONE, np.array(["2024-01-01"] * 3, "datetime64[D]")), TypeError,
     "column 'frequency' must hold numbers (floating-point or integers), not datetime64[D]"),
    ((ONE, ONE, ONE, [1, 2j, 3]), TypeError,
     "column 'frequency' must hold numbers (floating-point or integers), not complex128"),
    (([[1.0, 2.0]] * 3, ONE, ONE, ONE), ValueError, "column 'days_since_recall' must be one-dimensional, not of shape (3, 2)"),
    ((5.0, ONE, ONE, ONE), ValueError, "column 'days_since_recall' must be one-dimensional, not of shape ()"),
]


@pytest.mark.parametrize("arguments, error, message", BAD_INPUTS, ids=[m for _, _, m in BAD_INPUTS])
def test_bad_input_is_refused_with_the_column_and_row(arguments, error, message):
    arguments = [np.ma.masked_array(ONE, mask=[0, 0, 1]) if isinstance(a, str) and a == "masked" else a
                 for a in arguments]
    with pytest.raises(error) as caught:
        qe.tier_arrays(*arguments)
    assert str(caught.value) == message
    if len(arguments) == 4:
        with pytest.raises(error) as caught:
            qe.score_arrays(*arguments)
        assert str(caught.value) == message


def test_the_native_functions_check_their_buffers():
    ok = np.ones(3)
    out = (np.empty(3), np.empty(3, np.uint8), np.empty(3, np.uint8))
    cases = [
        ((object(), ok, ok, ok, None, None, *out), TypeError, "column 'days_since_recall' must be an array of numbers, not object"),
        ((ok, ok, ok, ok, None, None, out[0], out[0], out[2]), TypeError, "output column 'tier' must have elements of format 'B'"),
        ((ok, ok, ok, ok, None, None, out[0], out[1], np.empty(2, np.uint8)), ValueError, "the outputs differ in length"),
        ((ok, ok, ok, ok, None, None, ok[::2], *out[1:]), TypeError, "output column 'retention' must be a writable C-contiguous buffer"),
        ((ok, ok, ok, ok, None, None, np.empty(4), np.empty(4, np.uint8), np.empty(4, np.uint8)), ValueError,
         "the outputs have 4 rows, but the columns have 3"),
        ((ok, ok, ok, np.ones((3, 1)), None, None, *out), TypeError, "column 'frequency' must be one-dimensional, not of 2 dimensions"),
        ((ok, ok, ok, np.ones(3, np.float16), None, None, *out), TypeError,
         "column 'frequency' must hold numbers (floating-point or integers), not 2-byte floating-point numbers"),
        ((ok, ok, ok), TypeError, "tier_columns() takes exactly 10 positional arguments (3 given)"),
    ]
    for arguments, error, message in cases:
        if len(arguments) == 9:
            arguments += (1,)
        with pytest.raises(error) as caught:
            _bulk.tier_columns(*arguments)
        assert str(caught.value) == message
    # Reading a writable buffer does not need it to be writable; writing does.
    frozen = np.empty(3)
    frozen.flags.writeable = False
    with pytest.raises(TypeError):
        _bulk.score_columns(ok, ok, ok, ok, frozen, np.empty(3), np.empty(3), 1)


def test_the_lock_is_released_while_rows_are_computed(run):
    rows = 3_000_000
    rng = np.random.default_rng(1)
    cols = [rng.uniform(0, 100, rows) for _ in range(4)]
    out = (np.empty(rows), np.empty(rows, np.uint8), np.empty(rows, np.uint8))
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    def longest_pause(call):
        """The longest the other thread went without a step during the call,
        as a share of the call's time."""
        thread = threading.Thread(target=tick)
        thread.start()
        while not stamps:  # the other thread is running
            time.sleep(0.001)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
        stop.set()
        thread.join()
        inside = [start] + [s for s in stamps if start < s < end] + [end]
        stamps.clear()
        stop.clear()
        return max(b - a for a, b in zip(inside, inside[1:])) / (end - start)

    # The control: run holds the lock for the whole of a long batch, so the
    # other thread stands still for most of the call.
    payload = '{"items":[' + ",".join(["[5,2,0.5,0.5]"] * 300_000) + "]}"
    assert longest_pause(lambda: run("tier-batch", payload)) > 0.5
    # The column function lets the other thread go on meanwhile.
    assert longest_pause(lambda: _bulk.tier_columns(*cols, None, None, *out, 1)) < 0.5


def test_contiguous_input_is_read_in_place():
    rows = 1_000_000
    rng = np.random.default_rng(2)
    floats = [rng.uniform(0, 100, rows) for _ in range(4)]
    integers = [np.arange(rows, dtype=np.int64) % 50 for _ in range(4)]
    outputs = rows * (8 + 1 + 1)
    flags = np.zeros(rows, bool)
    for cols in (floats, integers):
        tracemalloc.start()
        try:
            qe.tier_arrays(*cols, flags)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        # A copy of any one input column would add 8 MB (NumPy reports its buffers).
        assert outputs <= peak < outputs + 1_000_000


def test_importing_the_package_needs_no_numpy():
    code = (
        "import sys, quillmarrow_engine, quillmarrow_engine.cli\n"
        "quillmarrow_engine.TIERS\n"
        "print(sorted(m for m in ('numpy', 'pandas', 'pyarrow') if m in sys.modules))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
