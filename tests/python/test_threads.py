"""Calls from many Python threads at once answer exactly as calls made alone."""

import sys
import threading

import pytest

THREADS = 12
ROUNDS = 100


def payloads_of(k):
    """Calls of thread k: results and failures that differ from thread to thread."""
    item = f'{{"days_since_recall":{k},"retrieval_count":{k % 5},"importance":0.{k},"frequency":0.5}}'
    many = ",".join(f"[{k + i % 40},{i % 7},0.{i % 10},0.3,{'true' if i % 3 else 'false'}]"
                    for i in range(1000))
    return [
        ("tier", item),
        ("score", item),
        ("tier", f"[{k * 3},{k},1,1,false,{'true' if k % 2 else 'false'}]"),
        ("tier-batch", '{"items":[' + many + "]}"),
        ("tier-batch", '{"items":[' + many + f',[{k},"bad"]]}}'),
        ("score", "[" * (100 + k)),
        (f"unknown-{k}", "{}"),
        ("tier", f'{{"days_since_recall":"{"é" * k}"}}'),
        ("score", f"[1,2,3,{k}e99999]"),
    ]


def answer(run, command, payload):
    try:
        return run(command, payload)
    except RuntimeError as exc:
        return ("RuntimeError", str(exc))


@pytest.fixture
def fast_switching():
    """Makes the interpreter switch threads as often as it can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_concurrent_calls_answer_as_calls_made_alone(run, fast_switching):
    calls = [payloads_of(k) for k in range(THREADS)]
    alone = [[answer(run, c, p) for c, p in thread_calls] for thread_calls in calls]
    # Every thread gets its own answers, so a mix-up between threads shows.
    assert len({a for thread in alone for a in map(str, thread)}) > 6 * THREADS

    start = threading.Barrier(THREADS)
    wrong = [[] for _ in range(THREADS)]
    done = [0] * THREADS

    def work(k):
        start.wait()
        for r in range(ROUNDS):
            # Each thread walks its calls from a different starting point.
            n = len(calls[k])
            for i in range(r, r + n):
                command, payload = calls[k][i % n]
                got = answer(run, command, payload)
                if got != alone[k][i % n]:
                    wrong[k].append((command, payload[:60], got))
            done[k] += 1

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads)
    assert done == [ROUNDS] * THREADS
    assert wrong == [[] for _ in range(THREADS)]


def test_threads_sharing_the_same_argument_objects(run, fast_switching):
    command = "".join(["tier-", "batch"])
    payload = "".join(['{"items":[', ",".join(["[8,20,0.5,0.5]"] * 500), "]}"])
    bad = "".join(['{"items":[[1,2,3,4],', "[1,2]]}"])
    expected = run(command, payload)
    counts = (sys.getrefcount(command), sys.getrefcount(payload), sys.getrefcount(bad))
    results = []

    def work():
        for _ in range(200):
            ok = run(command, payload) == expected
            try:
                run(command, bad)
                ok = False
            except RuntimeError as exc:
                ok = ok and str(exc) == "invalid length 2, expected struct TierInput with 6 elements"
            results.append(ok)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert results == [True] * 1600
    assert (sys.getrefcount(command), sys.getrefcount(payload), sys.getrefcount(bad)) == counts
