"""tier-jsonl: each line decoded alone as "tier" decodes it, ids carried into
the decisions, bad lines stopped at or set aside; the Python API and the
command-line tool over it."""

import gzip
import io
import json
import os
import subprocess
import sys

import pytest

import quillmarrow_engine
from quillmarrow_engine import jsonl

PROG = "quillmarrow-engine"
TIER_PREFIX = '{"ok":true,"result":'
FIELDS = '"days_since_recall":2,"retrieval_count":3,"importance":0.5,"frequency":0.2'
DECISION_HEAD = '{"action":"inject_to_prompt",'
DECISION_TAIL = '"retention":0.6025397252785328,"tier":"hot"}'


def cli(*args, stdin=b""):
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.abspath(os.environ["QM_MODULE_DIR"]), env.get("PYTHONPATH", "")]
        )
    return subprocess.run(
        [sys.executable, "-m", "quillmarrow_engine.cli", *map(str, args)],
        input=stdin, capture_output=True, env=env, timeout=120,
    )


def tier_alone(run, line):
    """The decision text or the message that "tier" gives for one line."""
    try:
        out = run("tier", line)
    except RuntimeError as exc:
        return None, str(exc)
    return out[len(TIER_PREFIX) : -1], None


def tiered(source, **options):
    """Decisions and set-aside lines of an in-memory run; the tally."""
    out, bad = io.BytesIO(), io.BytesIO()
    tally = quillmarrow_engine.tier_jsonl(io.BytesIO(source), out, errors=bad, **options)
    return out.getvalue().decode(), bad.getvalue().decode(), tally


# --- bad lines: exactly the message of "tier" for the line alone ------------

BAD_LINES = [
    '{"days_since_recall":1,}',
    '{"days_since_recall":1,"retrieval_count":2,"importance":0.5}',
    '{"days_since_recall":"1","retrieval_count":2,"importance":0.5,"frequency":1}',
    '{"days_since_recall":1,"retrieval_count":2,"importance":0.5,"frequency":1,"is_procedural":0}',
    '{"days_since_recall":null,"retrieval_count":true,"importance":0.5,"frequency":1}',
    "[1,2]",
    "[1,2,3,4,true,false,7]",
    '[1,2,3,"4"]',
    "{}",
    "[]",
    "5",
    '"text"',
    "null",
    # A line that, joined into one batch, would close the batch's array and open another.
    '{"x":1}],[{',
    '{"x":1}],[{"x":1}',
    '[1,2,3,4]],"items":[[1,2,3,4]',
    "[1,2,3,4],[5,6,7,8]",
    '{"a":"\\q"}',
    '{"a":"\\ud83d"}',
    "\ufeff[1,2,3,4]",
    "[" * 128,
    "1e400",
    "{",
    "tru",
]


@pytest.mark.parametrize("line", BAD_LINES)
def test_bad_line_message_is_that_of_tier_alone(run, line):
    decision, message = tier_alone(run, line)
    assert decision is None
    source = f"[1,2,3,4]\n\n{line}\n[1,2,3,4]\n".encode()
    with pytest.raises(jsonl.RecordError) as caught:
        quillmarrow_engine.tier_jsonl(io.BytesIO(source), io.BytesIO())
    assert (caught.value.line_number, caught.value.message) == (3, message)
    assert str(caught.value) == f"line 3: {message}"

    decisions, set_aside, tally = tiered(source)
    assert json.loads(set_aside) == {"line": 3, "message": message}
    assert (tally.items, tally.bad_lines) == (2, 1)
    assert decisions == 2 * (tier_alone(run, "[1,2,3,4]")[0] + "\n")


@pytest.mark.parametrize(
    "raw",
    [b"[1,2,3,\xff]", b'["caf\xe9"]', b'"\xed\xa0\x80"', b'"\xf0\x9f\x98"', b"\xc0\x80",
     b'"\xf4\x90\x80\x80"', b"[1,2,3,4] \xe2\x82"],
)
def test_line_that_is_not_utf8_is_a_bad_line_with_pythons_reason(raw):
    with pytest.raises(UnicodeDecodeError) as python:
        raw.decode("utf-8")
    expected = f"not valid UTF-8: {python.value.reason} at byte {python.value.start + 1}"
    decisions, set_aside, tally = tiered(b"\n" + raw + b"\n[1,2,3,4]")
    assert json.loads(set_aside) == {"line": 2, "message": expected}
    assert tally.items == 1


def test_lines_are_numbered_over_all_lines_blank_ones_included(run):
    lines = ["", " \t", "[1,2,3,4]", "\r", "[1]", "", "[1,2,3,4]", "{}", "  "]
    decisions, set_aside, tally = tiered("\n".join(lines).encode())
    assert [json.loads(x)["line"] for x in set_aside.splitlines()] == [5, 8]
    assert tally.items == 2
    assert len(decisions.splitlines()) == 2


# --- ids ---------------------------------------------------------------------

IDS = [
    # (members before the fields, the id's text in the decision; None: no id)
    ('"id":"mem-000001",', '"mem-000001"'),
    ('"id":"",', '""'),
    ('"id":"a\\"b\\\\c\\/d\\n\\t\\u0001\\u00e9\\ud83d\\ude00",', '"a\\"b\\\\c/d\\n\\t\\u0001é😀"'),
    ('"id":"été 日本",', '"été 日本"'),
    ('"id":17,', "17"),
    ('"id":-17,', "-17"),
    ('"id":18446744073709551615,', "18446744073709551615"),
    ('"id":-9223372036854775808,', "-9223372036854775808"),
    ('"id":18446744073709551616,', "1.8446744073709552e+19"),
    ('"id":1.0,', "1.0"),
    ('"id":1e2,', "100.0"),
    ('"id":2.50,', "2.5"),
    ('"id":-0,', "-0.0"),
    ('"id":1E-7,', "1e-7"),
    ('"id":true,', "true"),
    ('"id":false,', "false"),
    ('"id":null,', "null"),
    ('"id":[ 1, "a", [], {} ],', '[1,"a",[],{}]'),
    ('"id":{ "b":1, "a":{"y":[2.0],"x":null}, "b":3 },', '{"a":{"x":null,"y":[2.0]},"b":3}'),
    ('"id":"first","id":"last",', '"last"'),
    ('"id":{"k":1},"id":7,', "7"),
    ('"\\u0069d":"escaped key",', '"escaped key"'),
    ('"ID":"case","id ":"blank","meta":{"id":"nested"},', None),
    ("", None),
]


@pytest.mark.parametrize("members,id_text", IDS)
def test_id_is_copied_compactly_by_the_engine_writer(run, members, id_text):
    line = "{" + members + FIELDS + "}"
    decisions, set_aside, _ = tiered(line.encode())
    assert set_aside == ""
    if id_text is None:
        assert decisions == tier_alone(run, line)[0] + "\n"
    else:
        assert decisions == f"{DECISION_HEAD}\"id\":{id_text},{DECISION_TAIL}\n"
        # Keys in byte order, and the id as a JSON value of its own.
        parsed = json.loads(decisions)
        assert list(parsed) == ["action", "id", "retention", "tier"]
    # Without ids, every decision is exactly the one "tier" gives.
    assert tiered(line.encode(), id_field=None)[0] == tier_alone(run, line)[0] + "\n"


def test_id_field_by_name_and_array_records_have_none(run):
    source = ('{"id":1,"key":"k-1",' + FIELDS + "}\n[2,3,0.5,0.2]\n").encode()
    decisions, _, _ = tiered(source, id_field="key")
    first, second = decisions.splitlines()
    assert first == f'{DECISION_HEAD}"id":"k-1",{DECISION_TAIL}'
    assert second == tier_alone(run, "[2,3,0.5,0.2]")[0]


def test_set_aside_line_carries_the_id_of_its_record():
    source = (
        '{"id":"m-1","days_since_recall":1}\n'
        '{"id":"m-2",' + FIELDS + "}\n"
        '{"id":"m-3","days_since_recall":1,}\n'
        '{"id":["x",{"b":1,"a":2}],"frequency":"hi"}\n'
    ).encode()
    decisions, set_aside, tally = tiered(source)
    assert decisions == f'{DECISION_HEAD}"id":"m-2",{DECISION_TAIL}\n'
    assert set_aside.splitlines() == [
        '{"id":"m-1","line":1,"message":"missing field `retrieval_count`"}',
        # A line with a syntax error has no record, so no id.
        '{"line":3,"message":"trailing comma at line 1 column 35"}',
        '{"id":["x",{"a":2,"b":1}],"line":4,"message":"invalid type: string \\"hi\\", expected f64"}',
    ]
    assert (tally.items, tally.bad_lines) == (1, 3)


# --- blocks, batches and bounded reading ---------------------------------------

def test_blocks_of_any_size_give_the_same_output(monkeypatch):
    lines = []
    for n in range(400):
        if n % 37 == 5:
            lines.append("[1,2]")
        elif n % 11 == 0:
            lines.append("")
        elif n == 200:
            # A line far longer than a block.
            lines.append('{"id":"long","text":"' + "x" * 5000 + '",' + FIELDS + "}")
        else:
            lines.append(f'{{"id":{n},"days_since_recall":{n % 50},"retrieval_count":{n % 7},'
                         f'"importance":0.5,"frequency":0.25}}')
    source = "\n".join(lines).encode()
    whole = tiered(source)
    assert whole[2].bad_lines == len([x for x in lines if x == "[1,2]"])
    for read_size in (64, 1000, 4096):
        monkeypatch.setattr(jsonl, "READ_SIZE", read_size)
        for batch_size in (1, 3, 10_000):
            part = tiered(source, batch_size=batch_size)
            assert part[:2] == whole[:2]
            assert (part[2].items, part[2].bad_lines, part[2].tiers, part[2].actions) == (
                whole[2].items, whole[2].bad_lines, whole[2].tiers, whole[2].actions)
        monkeypatch.setattr(jsonl, "READ_SIZE", read_size)
        with pytest.raises(jsonl.RecordError) as caught:
            quillmarrow_engine.tier_jsonl(io.BytesIO(source), io.BytesIO())
        assert caught.value.line_number == 6


def test_counts_per_tier_and_action(run):
    lines = ["[8,20,0.5,0.5]", "[200,1,0.9,0.9,false,true]", "[10,5,0.2,0.1,true]",
             "[8,20,0.5,0.5]"]
    _, _, tally = tiered("\n".join(lines).encode())
    expected_actions, expected_tiers = {}, {}
    for line in lines:
        decision = json.loads(tier_alone(run, line)[0])
        expected_actions[decision["action"]] = expected_actions.get(decision["action"], 0) + 1
        expected_tiers[decision["tier"]] = expected_tiers.get(decision["tier"], 0) + 1
    assert dict(tally.actions) == expected_actions
    assert dict(tally.tiers) == expected_tiers
    assert tally.items == 4
    assert repr(tally).startswith("Tally(items=4, bad_lines=0, tiers=Counter({")


@pytest.mark.parametrize(
    "options,error",
    [({"batch_size": 0}, ValueError), ({"batch_size": True}, ValueError),
     ({"id_field": 5}, TypeError)],
)
def test_api_refuses_bad_options(options, error):
    with pytest.raises(error):
        quillmarrow_engine.tier_jsonl(io.BytesIO(b"[1,2,3,4]"), io.BytesIO(), **options)


# --- the command-line tool -----------------------------------------------------

@pytest.fixture
def mixed(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_bytes(
        ('{"id":"a",' + FIELDS + "}\n\n"
         '{"id":"b","days_since_recall":1}\n'
         '{"id":"c",' + FIELDS + "}\n").encode()
    )
    return path


def test_errors_file_sets_bad_lines_aside_with_exit_status_3(mixed, tmp_path):
    out, bad = tmp_path / "out.jsonl", tmp_path / "bad.jsonl"
    result = cli("tier-jsonl", mixed, "-o", out, "--errors", bad)
    assert result.returncode == 3, result.stderr
    assert out.read_text() == (f'{DECISION_HEAD}"id":"a",{DECISION_TAIL}\n'
                               f'{DECISION_HEAD}"id":"c",{DECISION_TAIL}\n')
    assert bad.read_text() == '{"id":"b","line":3,"message":"missing field `retrieval_count`"}\n'
    summary = result.stderr.decode()
    assert summary.startswith("tiered 2 items in ")
    assert "set aside 1 bad line\n" in summary


def test_errors_file_with_every_line_good_exits_0_and_is_empty(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text("[1,2,3,4]\n")
    bad = tmp_path / "bad.jsonl"
    result = cli("tier-jsonl", source, "-o", tmp_path / "out.jsonl", "--errors", bad, "-q")
    assert (result.returncode, result.stderr) == (0, b"")
    assert bad.read_bytes() == b""


def test_first_bad_line_stops_without_errors_file(mixed, tmp_path):
    out = tmp_path / "out.jsonl"
    result = cli("tier-jsonl", mixed, "-o", out)
    assert result.returncode == 1
    assert result.stderr.decode() == f"{PROG}: line 3: missing field `retrieval_count`\n"
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]


def test_no_id_and_id_field_options(mixed, tmp_path):
    plain = cli("tier-jsonl", mixed, "--no-id", "--errors", tmp_path / "bad.jsonl", "-q")
    assert plain.returncode == 3
    assert plain.stdout.decode() == 2 * (DECISION_HEAD + DECISION_TAIL + "\n")
    named = cli("tier-jsonl", mixed, "--id-field", "importance", "--errors", tmp_path / "b2", "-q")
    assert named.stdout.decode() == 2 * f'{DECISION_HEAD}"id":0.5,{DECISION_TAIL}\n'
    both = cli("tier-jsonl", mixed, "--no-id", "--id-field", "x")
    assert both.returncode == 2


def test_gzip_input_and_standard_input(mixed, tmp_path):
    expected = cli("tier-jsonl", mixed, "--errors", tmp_path / "b0", "-q").stdout
    assert expected.count(b"\n") == 2
    zipped = tmp_path / "in.jsonl.gz"
    zipped.write_bytes(gzip.compress(mixed.read_bytes()))
    result = cli("tier-jsonl", zipped, "--errors", tmp_path / "b1", "-q")
    assert (result.returncode, result.stdout) == (3, expected)
    assert (tmp_path / "b1").read_bytes() == (tmp_path / "b0").read_bytes()
    piped = cli("tier-jsonl", "-", "--errors", tmp_path / "b2", "-q", stdin=mixed.read_bytes())
    assert (piped.returncode, piped.stdout) == (3, expected)
    # Through the API, a .gz path is read through gzip as well.
    out = tmp_path / "api.jsonl"
    tally = quillmarrow_engine.tier_jsonl(zipped, out, errors=tmp_path / "b3")
    assert out.read_bytes() == expected
    assert (tally.items, tally.bad_lines) == (2, 1)


def test_corrupt_gzip_input_fails_and_leaves_no_file(tmp_path):
    zipped = tmp_path / "in.jsonl.gz"
    zipped.write_bytes(gzip.compress(b"[1,2,3,4]\n" * 100)[:-12])
    result = cli("tier-jsonl", zipped, "-o", tmp_path / "out.jsonl")
    assert result.returncode == 1
    assert result.stderr.decode().startswith(f"{PROG}: cannot read {zipped}: damaged gzip data: ")
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl.gz"]


def test_file_that_is_not_gzip_fails_naming_it(tmp_path):
    zipped = tmp_path / "in.jsonl.gz"
    zipped.write_bytes(b"[1,2,3,4]\n")
    result = cli("tier-jsonl", zipped, "-o", tmp_path / "out.jsonl")
    assert result.returncode == 1
    assert result.stderr.decode().startswith(f"{PROG}: cannot read {zipped}: damaged gzip data: ")
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl.gz"]


# --- the native chunk function -------------------------------------------------

def chunk_function():
    from quillmarrow_engine import _bulk

    return _bulk.tier_jsonl_chunk


PLAIN = (None, None, None)  # no line limit, the fields' own names, no recall times


def test_chunk_function_reports_lines_bytes_and_counts():
    tier_chunk = chunk_function()
    data = bytearray(b"xx[1,2,3,4]\n\n[1,2]\n[5,6")
    consumed, lines, records, bad, decisions, set_aside, per_action, per_tier, stop = tier_chunk(
        data, 2, len(data), False, 10, 100, "id", True, *PLAIN
    )
    # The unfinished last line is left for later: 2 + 10 + 1 + 6 bytes taken.
    assert (consumed, lines, records, bad) == (17, 3, 1, 1)
    assert decisions.count(b"\n") == 1
    assert set_aside == b'{"line":12,"message":"invalid length 2, expected struct TierInput with 6 elements"}\n'
    assert sum(per_action) == sum(per_tier) == 1 and stop is None
    # At the end of the input the last line counts, and a bad line can stop the chunk.
    stopped = tier_chunk(data, 2, len(data), True, 1, 100, None, False, *PLAIN)
    assert stopped[:4] == (11, 2, 1, 0)
    assert stopped[8] == (3, "invalid length 2, expected struct TierInput with 6 elements")


def test_chunk_function_takes_members_recall_times_and_a_line_limit():
    tier_chunk = chunk_function()
    line = b'{"t":"2025-06-14T15:06:40Z","imp":0.5,"retrieval_count":3,"frequency":0.2}\n'
    members = ("days_since_recall", "retrieval_count", "imp", "frequency", "is_procedural",
               "keep_forever")
    recall = ("t", 1_750_000_000.0, "s", 300.0)
    result = tier_chunk(line, 0, len(line), True, 1, 10, None, False, None, members, recall)
    assert result[8] is None
    assert json.loads(result[4])["tier"] == "hot"  # a day ago, retrieved three times
    too_long = tier_chunk(line, 0, len(line), True, 1, 10, None, False, len(line) - 2, members,
                          recall)
    assert too_long[8] == (1, "longer than 73 bytes, the limit of a line: raise it with "
                              "max_line_bytes (--max-line-bytes)")


GOOD = (b"[1,2,3,4]", 0, 9, True, 1, 1, None, False)
NAMES = ("days_since_recall", "retrieval_count", "importance", "frequency", "is_procedural",
         "keep_forever")


@pytest.mark.parametrize(
    "arguments,error",
    [
        (("[1,2,3,4]", 0, 9, True, 1, 1, None, False, *PLAIN), TypeError),  # str, not bytes
        ((b"[1,2,3,4]", 0, 10, True, 1, 1, None, False, *PLAIN), ValueError),  # end past the data
        ((b"[1,2,3,4]", 5, 4, True, 1, 1, None, False, *PLAIN), ValueError),
        ((b"[1,2,3,4]", -1, 4, True, 1, 1, None, False, *PLAIN), ValueError),
        ((b"[1,2,3,4]", 0, 9, True, 0, 1, None, False, *PLAIN), ValueError),  # lines count from 1
        ((b"[1,2,3,4]", 0, 9, True, 1, 0, None, False, *PLAIN), ValueError),
        ((b"[1,2,3,4]", 0, 9.0, True, 1, 1, None, False, *PLAIN), TypeError),
        ((b"[1,2,3,4]", 0, 9, True, 1, 1, b"id", False, *PLAIN), TypeError),
        ((b"[1,2,3,4]", 0, 9, True, 1, 1, None, False), TypeError),  # too few
        ((*GOOD, 0, None, None), ValueError),  # a line limit of at least 1
        ((*GOOD, 1.5, None, None), TypeError),
        ((*GOOD, None, NAMES[:5], None), TypeError),  # one name per field
        ((*GOOD, None, list(NAMES), None), TypeError),
        ((*GOOD, None, (*NAMES[:5], 5), None), TypeError),
        ((*GOOD, None, (*NAMES[:5], ""), None), ValueError),
        ((*GOOD, None, None, ("t", 0.0, "s")), TypeError),
        ((*GOOD, None, None, ("", 0.0, "s", 300.0)), ValueError),
        ((*GOOD, None, None, ("t", 0, "s", 300.0)), TypeError),  # now a float
        ((*GOOD, None, None, ("t", 0.0, "sec", 300.0)), ValueError),
        ((*GOOD, None, None, ("t", float("nan"), "s", 300.0)), ValueError),
        ((*GOOD, None, None, ("t", 0.0, "s", -1.0)), ValueError),
        ((*GOOD, None, None, ("t", 0.0, "s", float("inf"))), ValueError),
    ],
)
def test_chunk_function_refuses_bad_arguments(arguments, error):
    with pytest.raises(error):
        chunk_function()(*arguments)
    # The module stays usable.
    assert chunk_function()(*GOOD, *PLAIN)[2] == 1


def test_chunk_function_lets_other_threads_run(run):
    import threading
    import time

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
        while not stamps:
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

    lines = ["[5,2,0.5,0.5]"] * 300_000
    data = ("\n".join(lines) + "\n").encode()
    # The control: run holds the lock for the whole of a batch.
    assert longest_pause(lambda: run("tier-batch", '{"items":[' + ",".join(lines) + "]}")) > 0.5
    tier_chunk = chunk_function()
    assert longest_pause(
        lambda: tier_chunk(data, 0, len(data), True, 1, 10**9, None, False, *PLAIN)
    ) < 0.5
