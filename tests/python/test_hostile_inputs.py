"""Hostile and huge payloads get the right answer or the right error, never a crash.

Each check runs at a moderate size and at full size: 10,000,000 opening
brackets, a 200 MB batch, a 50 MB string, a million-member object and
10,000,000 batch items. The full sizes take about 10 s and 1.5 GB (30 s and
2.3 GB under the address sanitizer); QM_HUGE_TESTS=0 leaves them out for a
quick run. After every hostile call the module still answers a small call
correctly.
"""

import os

import pytest

HUGE = os.environ.get("QM_HUGE_TESTS") != "0"
huge = pytest.mark.skipif(not HUGE, reason="QM_HUGE_TESTS=0 leaves out the full-size inputs")

SMALL = ("tier", "[3,2,0.5,0.5]")
PREFIX = '{"ok":true,"result":'


def sizes(always, full):
    """A moderate size, and the full size that QM_HUGE_TESTS=0 leaves out."""
    return [pytest.param(always, id=f"{always:_}"), pytest.param(full, id=f"{full:_}", marks=huge)]


def error_of(run, command, payload):
    with pytest.raises(RuntimeError) as info:
        run(command, payload)
    return str(info.value)


@pytest.fixture
def still_usable(run):
    expected = run(*SMALL)
    yield
    assert run(*SMALL) == expected


def decision(run, item):
    out = run("tier", item)
    assert out.startswith(PREFIX) and out.endswith("}")
    return out[len(PREFIX) : -1]


@pytest.mark.parametrize("count", sizes(100_000, 10_000_000))
def test_opening_brackets(run, still_usable, count):
    brackets = "[" * count
    for command in ("tier", "score", "tier-batch", "nope"):
        assert error_of(run, command, brackets) == "recursion limit exceeded at line 1 column 128"
    # The object and "items" array count towards the 127 open levels.
    assert (error_of(run, "tier-batch", '{"items":' + brackets)
            == "recursion limit exceeded at line 1 column 136")
    assert (error_of(run, "tier", '[{"a":' * (count // 6))
            == "recursion limit exceeded at line 1 column 380")


ITEMS = [
    "[3,2,0.5,0.5]",
    '{"days_since_recall":40,"retrieval_count":1,"importance":0.2,"frequency":0.1,'
    '"is_procedural":true}',
    "[1,0,0,0,false,true]",
    "[200,1000,1,1]",
    '{"frequency":0.3,"importance":0.9,"retrieval_count":25,"days_since_recall":12.5,'
    '"note":"\\u00e9t\\u00e9 \\ud83d\\ude00","tags":[["a"],{"b":null}]}',
]


@pytest.mark.parametrize("megabytes", sizes(4, 200))
def test_large_batch_payload(run, still_usable, megabytes):
    per_cycle = len(",".join(ITEMS)) + 1
    cycles = megabytes * 1_000_000 // per_cycle + 1
    payload = '{"items":[' + ",".join(ITEMS * cycles) + "]}"
    assert len(payload) >= megabytes * 1_000_000
    decisions = ",".join(decision(run, item) for item in ITEMS)
    out = run("tier-batch", payload)
    del payload
    expected_len = len(PREFIX) + len('{"decisions":[') + cycles * (len(decisions) + 1) - 1 + 3
    assert len(out) == expected_len
    assert out.startswith(PREFIX + '{"decisions":[' + decisions + ",")
    assert out.endswith("," + decisions + "]}}")
    assert out.count(decisions) == cycles


@pytest.mark.parametrize("megabytes", sizes(1, 50))
def test_long_string_in_a_numeric_field(run, still_usable, megabytes):
    # The JSON escapes \" and \t come back in the same form in the message.
    piece = 'ab\\"\u00e9\\t\u4e2d'
    body = piece * (megabytes * 1_000_000 // len(piece.encode()) + 1)
    for command in ("tier", "score"):
        payload = ('{"importance":1,"days_since_recall":"' + body
                   + '","retrieval_count":1,"frequency":1}')
        assert error_of(run, command, payload) == f'invalid type: string "{body}", expected f64'
    # Inside a batch, after good elements.
    payload = '{"items":[[1,2,3,4],[1,2,3,"' + body + '"]]}'
    assert error_of(run, "tier-batch", payload) == f'invalid type: string "{body}", expected f64'


DIGITS = 100_000


@pytest.mark.parametrize(
    "number, outcome",
    [
        # Integer part: overflows once the whole number is read.
        ("1" + "0" * (DIGITS - 1), f"number out of range at line 1 column {DIGITS + 1}"),
        ("-" + "9" * DIGITS, f"number out of range at line 1 column {DIGITS + 2}"),
        # Integer part that the exponent brings back into range: 1e9.
        ("1" + "0" * (DIGITS - 1) + f"e-{DIGITS - 10}", "1000000000.0"),
        # Fraction: digits past the 20th that fit no 64-bit significand are
        # read and ignored.
        ("0." + "1" * DIGITS, "0." + "1" * 20),
        ("1." + "0" * DIGITS + "e2", "100.0"),
        # Exponent: the 11th digit overflows a 32-bit exponent.
        ("1e" + "1" * DIGITS, "number out of range at line 1 column 14"),
        ("1e-" + "1" * DIGITS, "0.0"),
        ("0e" + "9" * DIGITS, "0.0"),
        ("-1E+" + "0" * (DIGITS - 1) + "5", "-100000.0"),
    ],
    ids=["int", "negative-int", "int-scaled", "fraction", "fraction-zeros", "exponent",
         "negative-exponent", "zero-exponent", "zero-padded-exponent"],
)
def test_numbers_with_a_hundred_thousand_digits(run, still_usable, number, outcome):
    payload = "[" + number + ",0,0,0]"
    if outcome.startswith("number out of range"):
        assert error_of(run, "score", payload) == outcome
        assert error_of(run, "nope", payload) == outcome
        return
    # days_since_recall as given, then the same value written out plainly.
    assert run("score", payload) == run("score", "[" + outcome + ",0,0,0]")
    assert run("tier", payload) == run("tier", "[" + outcome + ",0,0,0]")


@pytest.mark.parametrize("members", sizes(100_000, 1_000_000))
def test_object_with_many_members(run, still_usable, members):
    item = '"days_since_recall":8,"retrieval_count":20,"importance":0.5,"frequency":0.5'
    others = ",".join(f'"k{i}":[{i}]' for i in range(members))
    expected = run("tier", "{" + item + "}")
    assert run("tier", "{" + others + "," + item + "}") == expected
    assert run("tier", "{" + item + "," + others + "}") == expected
    assert run("tier-batch", '{"items":[{' + item + "}]," + others + "}") == (
        PREFIX + '{"decisions":[' + decision(run, "{" + item + "}") + "]}}")
    # The same key many times: the last one counts.
    repeated = ",".join(f'"importance":{i % 2}' for i in range(members))
    last = '{"days_since_recall":8,"retrieval_count":20,"importance":%d,"frequency":0.5}'
    assert run("score", "{" + item + "," + repeated + "}") == run("score", last % ((members - 1) % 2))


@pytest.mark.parametrize("count", sizes(200_000, 10_000_000))
def test_many_batch_items(run, still_usable, count):
    item = "[0,0,0,0]"
    one = decision(run, item)
    out = run("tier-batch", '{"items":[' + ",".join([item] * count) + "]}")
    head = PREFIX + '{"decisions":['
    assert len(out) == len(head) + count * (len(one) + 1) - 1 + 3
    assert out.startswith(head + one + ",") and out.endswith("," + one + "]}}")
    assert out.count(one + ",") == count - 1
    del out
    # The last element is the bad one: everything before it is dropped.
    bad = '{"items":[' + ",".join([item] * count) + ',[0,0,0,"0"]]}'
    assert error_of(run, "tier-batch", bad) == 'invalid type: string "0", expected f64'


def test_deep_nesting_inside_a_batch_element(run, still_usable):
    def nested(depth):
        return "[" * depth + "1" + "]" * depth

    # The object and "items" take two of the 127 levels.
    assert (error_of(run, "tier-batch", '{"items":[' + nested(125) + "]}")
            == "invalid type: sequence, expected f64")
    assert (error_of(run, "tier-batch", '{"items":[[1,2,3,4],' + nested(126) + "]}")
            == "recursion limit exceeded at line 1 column 146")
    # Deep values in members that the record ignores are read and skipped.
    item = '{"x":' + nested(124) + ',"days_since_recall":8,"retrieval_count":20,' \
           '"importance":0.5,"frequency":0.5}'
    assert run("tier-batch", '{"items":[' + item + "]}") == (
        PREFIX + '{"decisions":[' + decision(run, item) + "]}}")
    assert (error_of(run, "tier-batch", '{"items":[' + item.replace(":[", ":[[", 1) + "]}")
            == "recursion limit exceeded at line 1 column 140")


def test_every_json_test_suite_file_through_run(run, shared_dir, still_usable):
    """All 318 files, the implementation-defined and the non-UTF-8 ones too:
    an answer or a RuntimeError for every command; a file that is not UTF-8
    cannot become a plain str, and as one with lone surrogates it raises the
    interpreter's UnicodeEncodeError."""
    files = sorted((shared_dir / "conformance" / "JSONTestSuite" / "test_parsing").glob("*.json"))
    assert len(files) == 318
    outcomes = {"ok": 0, "RuntimeError": 0, "UnicodeEncodeError": 0}
    not_utf8 = 0
    for path in files:
        try:
            path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            not_utf8 += 1
        text = path.read_bytes().decode("utf-8", "surrogateescape")
        for command in ("tier", "score", "tier-batch", "nope"):
            try:
                out = run(command, text)
            except (RuntimeError, UnicodeEncodeError) as exc:
                outcomes[type(exc).__name__] += 1
                if isinstance(exc, UnicodeEncodeError):
                    assert "\udc80" <= exc.object[exc.start] <= "\udcff", path.name
            else:
                outcomes["ok"] += 1
                assert out.startswith(PREFIX) and path.name[0] != "n", path.name
    assert not_utf8 > 0 and outcomes["UnicodeEncodeError"] == 4 * not_utf8
    assert sum(outcomes.values()) == 4 * 318
