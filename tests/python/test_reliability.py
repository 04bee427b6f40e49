"""A million calls that mix successes with every kind of failure leave nothing behind.

The calls go through every road out of `run`: results, JSON syntax errors,
unknown commands, shape and record-decoding errors, binding TypeErrors,
arguments that are not `str`, and strings that cannot be encoded. Afterwards
the resident memory has stopped growing, the reference counts of every
argument object are what they were, and every answer is still the one given
at the start.
"""

import gc
import os
import resource
import sys

import pytest

CALLS = 1_000_000
SANITIZED = os.environ.get("QM_SANITIZED") == "1"
# A leak of one small block per failing call would add tens of megabytes.
ALLOWED_GROWTH = 4 * 1024 * 1024


def fresh(text):
    """A new str object equal to text: not interned, so its count is its own."""
    return "".join([text[: len(text) // 2], text[len(text) // 2 :]])


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


class Fancy(str):
    pass


def make_cases():
    """(positional args, keyword args) of every call; several share objects."""
    item = fresh('{"days_since_recall":3,"retrieval_count":2,"importance":0.5,"frequency":0.5}')
    batch = fresh('{"items":[[3,2,0.5,0.5],[40,1,0.2,0.1,true],[1,0,0,0,false,true]]}')
    tier, score, tier_batch = fresh("tier"), fresh("score"), fresh("tier-batch")
    return [
        # Successes, by position, by keyword and with a str subclass.
        ((tier, item), {}),
        ((score, item), {}),
        ((tier_batch, batch), {}),
        ((), {"command": tier, "payload_json": item}),
        ((Fancy("tier"), Fancy("[3,2,0.5,0.5]")), {}),
        # JSON syntax errors, with every command name.
        ((tier, fresh('{"days_since_recall":3,')), {}),
        ((score, fresh("[1,2,3,]")), {}),
        ((tier_batch, fresh('{"items":[1 2]}')), {}),
        ((fresh("nope"), fresh("")), {}),
        ((tier, fresh('"\\ud83d\\u0041"')), {}),
        ((tier, fresh("[" * 200)), {}),
        ((score, fresh("1e400")), {}),
        # Unknown commands.
        ((fresh("Tier"), item), {}),
        ((fresh("tier_batch"), batch), {}),
        # Shape and record-decoding errors.
        ((tier, fresh('{"days_since_recall":"' + "x" * 300 + '"}')), {}),
        ((score, fresh('{"retrieval_count":1}')), {}),
        ((tier, fresh("[1,2,3,4,true,false,7]")), {}),
        ((tier_batch, fresh('{"items":[[1,2,3,4],[1,2]]}')), {}),
        ((tier_batch, fresh('{"Items":[]}')), {}),
        ((score, fresh('{"days_since_recall":[1],"retrieval_count":1,"importance":1,"frequency":1}')), {}),
        # Binding errors.
        ((tier, item, item), {}),
        ((tier,), {}),
        ((), {}),
        ((tier,), {"command": tier}),
        ((tier, item), {"verbose": item}),
        # Arguments that are not str.
        ((10**30, item), {}),
        ((tier, item.encode()), {}),
        ((tier, None), {}),
        (([tier], item), {}),
        ((tier, 2.5), {}),
        # A str that cannot be encoded as UTF-8.
        ((tier, fresh("[1,2,3,\ud800]")), {}),
    ]


def answer(run, args, kwargs):
    try:
        return run(*args, **kwargs)
    except (RuntimeError, TypeError, UnicodeEncodeError) as exc:
        return (type(exc), str(exc))


def hammer(run, cases, rounds, samples):
    """Calls every case `rounds` times; returns the number of wrong answers.

    The answer is compared by class only in the loop (to keep it fast); the
    full messages are compared before and after.
    """
    expected = []
    for args, kwargs in cases:
        a = answer(run, args, kwargs)
        expected.append(a if isinstance(a, str) else a[0])
    wrong = 0
    for r in range(rounds):
        for (args, kwargs), want in zip(cases, expected):
            try:
                got = run(*args, **kwargs)
            except (RuntimeError, TypeError, UnicodeEncodeError) as exc:
                got = type(exc)
            if got != want:
                wrong += 1
        if r in samples:
            samples[r] = resident_bytes()
    return wrong


def refcounts(cases):
    """Reference counts of the argument objects (None is shared by everyone)."""
    objects = {}
    for args, kwargs in cases:
        for obj in (*args, *kwargs.values()):
            if obj is not None:
                objects[id(obj)] = obj
    return {key: sys.getrefcount(obj) for key, obj in objects.items()}


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_a_million_mixed_calls_leak_nothing(run):
    cases = make_cases()
    before_answers = [answer(run, args, kwargs) for args, kwargs in cases]
    kinds = {a if isinstance(a, str) else a[0] for a in before_answers}
    assert {RuntimeError, TypeError, UnicodeEncodeError} <= kinds
    assert sum(isinstance(a, str) for a in before_answers) == 5

    rounds = -(-CALLS // len(cases))
    checkpoints = [rounds // 10, rounds // 4, rounds // 2, 3 * rounds // 4, rounds - 1]
    samples = dict.fromkeys(checkpoints, 0)

    gc.collect()
    counts_before = refcounts(cases)
    objects_before = len(gc.get_objects())
    wrong = hammer(run, cases, rounds, samples)
    gc.collect()
    counts_after = refcounts(cases)
    objects_after = len(gc.get_objects())

    assert wrong == 0
    assert rounds * len(cases) >= CALLS
    assert counts_after == counts_before
    assert abs(objects_after - objects_before) < 100
    assert [answer(run, args, kwargs) for args, kwargs in cases] == before_answers

    rss = [samples[c] for c in checkpoints]
    print("resident MiB at", [c * len(cases) for c in checkpoints], "calls:",
          [round(b / 2**20, 2) for b in rss])
    if not SANITIZED:  # the sanitizer's quarantine holds freed blocks for a while
        assert rss[-1] - rss[0] <= ALLOWED_GROWTH, rss
