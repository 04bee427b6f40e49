"""The column functions on several native threads: the single-thread answer,
bit for bit, whatever the thread count; errors found by any thread reported
as one thread reports them; the threads argument checked."""

import math
import threading

import pytest

np = pytest.importorskip("numpy", reason="numpy is not installed (pip install '.[arrays]')")

import quillmarrow_engine as qe  # noqa: E402
from quillmarrow_engine import _bulk  # noqa: E402
from quillmarrow_engine.frames import kernels  # noqa: E402

M = kernels.MIN_ROWS_PER_THREAD
BLOCK = 512  # rows per block of the native kernels; slices are whole blocks
FLAGS = ("is_procedural", "keep_forever")


def straddling_days(count, importance, frequency, level):
    """The last day (a double) whose retention is at least `level`, and the
    next double after it, found by bisection on score_arrays itself."""
    def retention(day):
        return qe.score_arrays([day], [count], [importance], [frequency], threads=1).retention[0]

    lo, hi = 0.0, 4000.0
    if retention(lo) < level:
        return []
    while math.nextafter(lo, hi) < hi:
        mid = lo + (hi - lo) / 2
        if mid in (lo, hi):
            break
        lo, hi = (mid, hi) if retention(mid) >= level else (lo, mid)
    return [lo, math.nextafter(lo, math.inf)]


@pytest.fixture(scope="module")
def edge_rows():
    """Rows on and beside every threshold: days 7, 30 and 180 and their
    neighbours, retentions just above and below 0.4, 0.65 and 0.8."""
    rows = []
    for mark in (7.0, 30.0, 180.0, 0.0):
        for day in (mark, math.nextafter(mark, -math.inf), math.nextafter(mark, math.inf)):
            for count in (0.0, 1.0, 3.0, 2.5, 20.0):
                rows.append((day, count, 0.5, 0.5, count >= 3, False))
    for count, importance, frequency in ((1.0, 0.5, 0.5), (4.0, 0.1, 0.9), (12.0, 1.0, 0.0), (0.25, 0.9, 0.3)):
        for level in (0.4, 0.65, 0.8):
            for day in straddling_days(count, importance, frequency, level):
                rows.append((day, count, importance, frequency, False, False))
    return rows


@pytest.fixture(scope="module")
def table(edge_rows):
    """300,000 rows: random ones with the edge rows spread among them."""
    rng = np.random.default_rng(7)
    n = 300_000
    cols = {
        "days_since_recall": np.where(rng.random(n) < 0.3, rng.integers(0, 400, n), rng.uniform(-5, 400, n)),
        "retrieval_count": np.where(rng.random(n) < 0.8, rng.integers(0, 40, n), rng.uniform(-1, 30, n)),
        "importance": rng.uniform(-0.2, 1.2, n),
        "frequency": rng.uniform(-0.2, 1.2, n),
        "is_procedural": rng.random(n) < 0.3,
        "keep_forever": rng.random(n) < 0.05,
    }
    places = rng.choice(n, size=len(edge_rows) * 20, replace=False)
    for k, place in enumerate(places):
        for name, value in zip(cols, edge_rows[k % len(edge_rows)]):
            cols[name][place] = value
    return {name: np.ascontiguousarray(values, dtype=bool if name in FLAGS else np.float64)
            for name, values in cols.items()}


def head(cols, n):
    return [cols[name][:n] for name in cols]


def same(a, b):
    """Equal arrays, float64 compared by their bits."""
    return all(x.dtype == y.dtype and np.array_equal(x.view(np.uint8), y.view(np.uint8)) for x, y in zip(a, b))


# Around the threshold (one thread below 2M rows), and around the slice
# boundaries of 2, 3 and 4 threads.
LENGTHS = [2 * M - 1, 2 * M, 2 * M + 1, 3 * M - 1, 3 * M, 3 * M + BLOCK + 1, 4 * M + 7, 300_000]


@pytest.mark.parametrize("rows", LENGTHS)
@pytest.mark.parametrize("threads", [2, 3, 4, None])
def test_threads_give_the_single_thread_answer(table, rows, threads):
    cols = head(table, rows)
    assert same(qe.tier_arrays(*cols, threads=threads), qe.tier_arrays(*cols, threads=1))
    assert same(qe.score_arrays(*cols[:4], threads=threads), qe.score_arrays(*cols[:4], threads=1))


def test_edge_rows_straddle_every_threshold(table):
    """The rows compared above sit on both sides of each retention threshold,
    within a millionth of a millionth."""
    retention = qe.tier_arrays(*table.values(), threads=1).retention
    for level in (0.4, 0.65, 0.8):
        near = np.abs(retention - level) < 1e-12
        assert (near & (retention >= level)).any() and (near & (retention < level)).any(), level


@pytest.mark.parametrize("rows", [0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK + 1, 7 * BLOCK - 1, 20_000])
@pytest.mark.parametrize("threads", [2, 3, 8, 64])
def test_native_slices_of_small_inputs(table, rows, threads):
    """The native functions use the thread count they are given (at most one
    per block), below the Python functions' threshold too."""
    cols = head(table, rows)

    def tier(n):
        out = (np.full(rows, -1.0), np.full(rows, 99, np.uint8), np.full(rows, 99, np.uint8))
        _bulk.tier_columns(*cols, *out, n)
        return out

    def score(n):
        out = tuple(np.full(rows, -1.0) for _ in range(3))
        _bulk.score_columns(*cols[:4], *out, n)
        return out

    assert same(tier(threads), tier(1))
    assert same(score(threads), score(1))


def test_tables_on_threads(table):
    pd = pytest.importorskip("pandas", reason="pandas is not installed (pip install '.[tables]')")
    pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install '.[tables]')")
    frame = pd.DataFrame(table)

    def pandas_answer(tiered):
        return [tiered["retention"].to_numpy(), tiered["tier"].cat.codes.to_numpy(),
                tiered["action"].cat.codes.to_numpy()]

    one = pandas_answer(qe.tier_table(frame, threads=1))
    for threads in (2, 3, None):
        assert same(pandas_answer(qe.tier_table(frame, threads=threads)), one)
    arrow = pa.Table.from_pandas(frame, preserve_index=False)
    arrow_one = qe.tier_table(arrow, threads=1)
    for threads in (2, 4, None):
        assert qe.tier_table(arrow, threads=threads).equals(arrow_one)


def poisoned(table, changes):
    cols = {name: values.copy() for name, values in table.items()}
    for name, row, value in changes:
        if name in FLAGS:
            cols[name] = cols[name].astype(np.int8)
        cols[name][row] = value
    return cols


N = 300_000
ERRORS = [
    # (changes: (column, row, value)), message
    ([("days_since_recall", N - 1, math.nan)], "column 'days_since_recall': row 299999 is nan, not a finite number"),
    ([("importance", N // 2, math.inf)], "column 'importance': row 150000 is inf, not a finite number"),
    ([("keep_forever", 3 * M + 5, 2)], "column 'keep_forever': row 49157 is 2, not a flag (false, true, 0 or 1)"),
    # The first column in parameter order wins, though its bad row lies in a
    # later slice than another column's.
    ([("is_procedural", 3, -1), ("retrieval_count", N - 10, -math.inf)],
     "column 'retrieval_count': row 299990 is -inf, not a finite number"),
    # The first bad row of a column wins, though later slices have bad rows too.
    ([("frequency", N - 2, math.nan), ("frequency", N // 2 + 1, math.inf), ("frequency", 40_000, math.nan)],
     "column 'frequency': row 40000 is nan, not a finite number"),
]


@pytest.mark.parametrize("changes, message", ERRORS, ids=[m for _, m in ERRORS])
@pytest.mark.parametrize("threads", [2, 3, 7, None])
def test_errors_found_by_any_thread_are_the_single_thread_errors(table, changes, message, threads):
    cols = poisoned(table, changes)
    for call in (qe.tier_arrays, qe.score_arrays):
        args = list(cols.values()) if call is qe.tier_arrays else list(cols.values())[:4]
        numbers_bad = any(name not in FLAGS for name, _, _ in changes)
        if call is qe.score_arrays and not numbers_bad:
            continue
        with pytest.raises(ValueError) as one:
            call(*args, threads=1)
        with pytest.raises(ValueError) as many:
            call(*args, threads=threads)
        assert str(many.value) == str(one.value)
        if call is qe.tier_arrays:
            assert str(many.value) == message


def test_nulls_in_a_later_slice_are_found(table):
    pd = pytest.importorskip("pandas", reason="pandas is not installed (pip install '.[tables]')")
    frame = pd.DataFrame(table)
    frame["frequency"] = frame["frequency"].astype("Float64")
    frame.loc[N - 3, "frequency"] = pd.NA
    for threads in (1, 2, None):
        with pytest.raises(ValueError, match="^column 'frequency': row 299997 is null, not a number$"):
            qe.tier_table(frame, threads=threads)


def test_calls_from_several_python_threads_at_once(table):
    """Each Python thread's call runs its own native threads; every answer is
    the one the call gives alone."""
    inputs = [head({k: np.roll(v, 1000 * k_) for k, v in table.items()}, 200_000 + 999 * k_) for k_ in range(4)]
    expected = [(qe.tier_arrays(*cols, threads=1), qe.score_arrays(*cols[:4], threads=1)) for cols in inputs]
    barrier = threading.Barrier(len(inputs))
    failures = []

    def work(k):
        barrier.wait()
        for round_ in range(5):
            threads = (None, 2, 3, 4, 2)[round_]
            tiered = qe.tier_arrays(*inputs[k], threads=threads)
            scored = qe.score_arrays(*inputs[k][:4], threads=threads)
            if not (same(tiered, expected[k][0]) and same(scored, expected[k][1])):
                failures.append((k, round_))

    workers = [threading.Thread(target=work, args=(k,)) for k in range(len(inputs))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []


@pytest.mark.parametrize("rows, threads, cores, used", [
    (0, None, 8, 1),
    (1_000, None, 8, 1),
    (2 * M - 1, None, 8, 1),   # below the threshold: one thread
    (2 * M - 1, 4, 8, 1),      # an explicit count too
    (2 * M, None, 8, 2),
    (2 * M, 1, 8, 1),          # threads=1 forces one
    (2 * M, None, 1, 1),       # a process bound to one core
    (300_000, None, 2, 2),
    (300_000, None, 64, 300_000 // M),  # each thread gets at least M rows
    (300_000, 3, 64, 3),
    (300_000, 100, 2, 300_000 // M),    # more than the cores, if asked
])
def test_thread_count_passed_to_the_kernels(monkeypatch, table, rows, threads, cores, used):
    seen = []

    def recording(kind, function):
        def call(*args):
            seen.append((kind, args[-1]))
            return function(*args)
        return call

    monkeypatch.setattr(kernels, "tier_columns", recording("tier", _bulk.tier_columns))
    monkeypatch.setattr(kernels, "score_columns", recording("score", _bulk.score_columns))
    monkeypatch.setattr(kernels, "usable_cores", lambda: cores)
    cols = head(table, rows)
    qe.tier_arrays(*cols, threads=threads)
    qe.score_arrays(*cols[:4], threads=threads)
    assert seen == [("tier", used), ("score", used)]


def test_usable_cores_follow_the_affinity_mask():
    if not hasattr(kernels.os, "sched_getaffinity"):
        pytest.skip("no affinity masks on this platform")
    assert kernels.usable_cores() == len(kernels.os.sched_getaffinity(0)) >= 1


BAD_THREADS = [
    (0, ValueError, "threads must be at least 1, not 0"),
    (-2, ValueError, "threads must be at least 1, not -2"),
    (-(2**70), ValueError, f"threads must be at least 1, not {-(2**70)}"),
    (2.0, TypeError, "threads must be an int or None, not float"),
    ("2", TypeError, "threads must be an int or None, not str"),
    (True, TypeError, "threads must be an int or None, not bool"),
    ([2], TypeError, "threads must be an int or None, not list"),
]


@pytest.mark.parametrize("threads, error, message", BAD_THREADS, ids=[m for _, _, m in BAD_THREADS])
def test_the_threads_argument_is_checked(threads, error, message):
    ok = [1.0, 2.0]
    # Checked first: bad columns do not hide a bad thread count.
    for call in (lambda: qe.tier_arrays(ok, ok, ok, [math.nan, 1.0], threads=threads),
                 lambda: qe.score_arrays(ok, ok, ok, ok, threads=threads),
                 lambda: qe.tier_table(object(), threads=threads)):
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value) == message


def test_integer_like_thread_counts_are_taken():
    ok = np.ones(3)
    expected = qe.tier_arrays(ok, ok, ok, ok, threads=1)
    for threads in (np.int64(2), np.uint8(3), 2**70):
        assert same(qe.tier_arrays(ok, ok, ok, ok, threads=threads), expected)


NATIVE_BAD_THREADS = [
    (0, ValueError, "threads must be at least 1, not 0"),
    (-1, ValueError, "threads must be at least 1, not -1"),
    (-(2**80), ValueError, f"threads must be at least 1, not {-(2**80)}"),
    (1.0, TypeError, "threads must be an int, not float"),
    (False, TypeError, "threads must be an int, not bool"),
    (None, TypeError, "threads must be an int, not NoneType"),
]


@pytest.mark.parametrize("threads, error, message", NATIVE_BAD_THREADS, ids=[m for _, _, m in NATIVE_BAD_THREADS])
def test_the_native_functions_check_the_thread_count(threads, error, message):
    ok = np.ones(3)
    with pytest.raises(error) as caught:
        _bulk.tier_columns(ok, ok, ok, ok, None, None, np.empty(3), np.empty(3, np.uint8), np.empty(3, np.uint8),
                           threads)
    assert str(caught.value) == message
    with pytest.raises(error) as caught:
        _bulk.score_columns(ok, ok, ok, ok, np.empty(3), np.empty(3), np.empty(3), threads)
    assert str(caught.value) == message
    # Counts beyond a C long long are taken as the largest.
    _bulk.score_columns(ok, ok, ok, ok, np.empty(3), np.empty(3), np.empty(3), 2**100)
