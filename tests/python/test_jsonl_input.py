"""tier-jsonl on inputs as they come: a byte-order mark, gzip under any name
or piped in, lines longer than the limit, the user's member names and recall
times instead of day counts, and the errors file kept apart from the output."""

import gzip
import io
import json
import os
import random
from datetime import datetime, timedelta, timezone

import pytest

import quillmarrow_engine
from quillmarrow_engine import jsonl
from test_jsonl import DECISION_HEAD, DECISION_TAIL, FIELDS, PROG, cli

BOM = b"\xef\xbb\xbf"
NOW = 1_750_000_000.0  # 2025-06-15T15:06:40Z
NOW_TEXT = "2025-06-15T15:06:40Z"
GOOD = ('{"id":"a",' + FIELDS + "}\n").encode()
GOOD_DECISION = f'{DECISION_HEAD}"id":"a",{DECISION_TAIL}\n'.encode()


def tiered(source, **options):
    """Decisions and set-aside lines of an in-memory run; the tally."""
    out, bad = io.BytesIO(), io.BytesIO()
    tally = quillmarrow_engine.tier_jsonl(io.BytesIO(source), out, errors=bad, **options)
    return out.getvalue().decode(), bad.getvalue().decode(), tally


# --- a byte-order mark ---------------------------------------------------------

@pytest.mark.parametrize(
    "source,decisions",
    [
        (BOM + GOOD, GOOD_DECISION),
        (BOM + GOOD + GOOD, 2 * GOOD_DECISION),
        (BOM + b"\n" + GOOD, GOOD_DECISION),
        (BOM, b""),
        (BOM + GOOD.rstrip(b"\n"), GOOD_DECISION),
        (gzip.compress(BOM + GOOD), GOOD_DECISION),
    ],
)
def test_byte_order_mark_at_the_start_is_skipped(tmp_path, source, decisions):
    path = tmp_path / "in.jsonl"
    path.write_bytes(source)
    for errors in ([], ["--errors", tmp_path / "bad.jsonl"]):
        result = cli("tier-jsonl", path, "-q", *errors)
        assert (result.returncode, result.stdout, result.stderr) == (0, decisions, b"")
    piped = cli("tier-jsonl", "-", "-q", "--errors", tmp_path / "bad.jsonl", stdin=source)
    assert (piped.returncode, piped.stdout) == (0, decisions)
    assert (tmp_path / "bad.jsonl").read_bytes() == b""


def test_byte_order_mark_only_at_the_very_start(tmp_path):
    decisions, set_aside, tally = tiered(GOOD + BOM + GOOD)
    assert decisions.encode() == GOOD_DECISION
    assert json.loads(set_aside)["line"] == 2
    # A mark after blanks is not at the start either.
    _, set_aside, _ = tiered(b" " + BOM + GOOD)
    assert json.loads(set_aside)["line"] == 1


# --- gzip, recognised by its first bytes ------------------------------------------

@pytest.mark.parametrize("name", ["in.jsonl.gz", "M.JSONL.GZ", "export.jsonl", "data"])
def test_gzip_is_read_whatever_the_name(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(gzip.compress(GOOD * 3))
    result = cli("tier-jsonl", path, "-q")
    assert (result.returncode, result.stdout) == (0, 3 * GOOD_DECISION)
    out = tmp_path / "api.jsonl"
    assert quillmarrow_engine.tier_jsonl(path, out).items == 3
    assert out.read_bytes() == 3 * GOOD_DECISION


def test_gzip_on_standard_input_and_from_a_file_object(tmp_path):
    zipped = gzip.compress(GOOD * 2 + b'{"id":"b"}\n')
    piped = cli("tier-jsonl", "-", "-q", "--errors", tmp_path / "bad.jsonl", stdin=zipped)
    assert (piped.returncode, piped.stdout) == (3, 2 * GOOD_DECISION)
    assert json.loads((tmp_path / "bad.jsonl").read_text()) == {
        "id": "b", "line": 3, "message": "missing field `days_since_recall`"}
    decisions, _, tally = tiered(zipped)
    assert decisions.encode() == 2 * GOOD_DECISION and tally.bad_lines == 1


def test_gzip_piped_in_cut_short_fails_naming_standard_input(tmp_path):
    result = cli("tier-jsonl", "-", "-o", tmp_path / "out.jsonl",
                 stdin=gzip.compress(GOOD * 100)[:-12])
    assert result.returncode == 1
    assert result.stderr.decode().startswith(
        f"{PROG}: cannot read standard input: damaged gzip data: ")
    assert os.listdir(tmp_path) == []


# --- --errors and -o apart ----------------------------------------------------------

@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hardlink"])
def test_errors_and_output_naming_one_file_is_a_usage_error(tmp_path, spelling):
    source = tmp_path / "in.jsonl"
    source.write_bytes(GOOD)
    out = tmp_path / "out.jsonl"
    other = {"same": out, "dotted": tmp_path / "." / "sub" / ".." / "out.jsonl"}.get(spelling)
    (tmp_path / "sub").mkdir()
    if other is None:
        out.write_text("kept\n")
        other = tmp_path / "link.jsonl"
        (os.symlink if spelling == "symlink" else os.link)(out, other)
    result = cli("tier-jsonl", source, "-o", out, "--errors", other)
    assert result.returncode == 2
    assert result.stderr.decode().endswith(
        f"error: --errors and -o name the same file ({other}): the bad lines need a file of "
        "their own\n")
    with pytest.raises(ValueError, match="errors and destination name the same file"):
        quillmarrow_engine.tier_jsonl(source, out, errors=other)
    if spelling in ("symlink", "hardlink"):
        assert out.read_text() == "kept\n"


def test_errors_apart_from_output_in_the_api():
    with pytest.raises(ValueError, match="standard output holds the decisions"):
        quillmarrow_engine.tier_jsonl(io.BytesIO(GOOD), None, errors="-")
    buffer = io.BytesIO()
    with pytest.raises(ValueError, match="same file object"):
        quillmarrow_engine.tier_jsonl(io.BytesIO(GOOD), buffer, errors=buffer)


# --- lines longer than the limit ----------------------------------------------------

LIMIT_MESSAGE = ("longer than {:,} bytes, the limit of a line: raise it with max_line_bytes "
                 "(--max-line-bytes)")


def long_line(size):
    """An object record of exactly size bytes, with an id."""
    head = '{"id":"long","pad":"'
    tail = '",' + FIELDS + "}"
    return head + "x" * (size - len(head) - len(tail)) + tail


@pytest.mark.parametrize("read_size", [64, 1000, 1 << 22])
@pytest.mark.parametrize("limit", [200, 5000])
def test_a_line_longer_than_the_limit_is_a_bad_line(monkeypatch, read_size, limit):
    monkeypatch.setattr(jsonl, "READ_SIZE", read_size)
    monkeypatch.setattr(jsonl, "SKIP_SIZE", 100)
    lines = [GOOD.decode().rstrip("\n"), long_line(limit), long_line(limit + 1),
             " " * (limit + 1), long_line(3 * limit + 7), GOOD.decode().rstrip("\n"),
             long_line(50_000)]
    for ending in ("\n", ""):
        source = ("\n".join(lines) + ending).encode()
        decisions, set_aside, tally = tiered(source, max_line_bytes=limit)
        # The line of exactly the limit is read; the longer ones are not (no id).
        assert decisions.encode() == GOOD_DECISION + f'{DECISION_HEAD}"id":"long",{DECISION_TAIL}\n'.encode() + GOOD_DECISION
        message = LIMIT_MESSAGE.format(limit)
        assert [json.loads(x) for x in set_aside.splitlines()] == [
            {"line": n, "message": message} for n in (3, 4, 5, 7)]
        assert (tally.items, tally.bad_lines) == (3, 4)
        with pytest.raises(jsonl.RecordError) as caught:
            quillmarrow_engine.tier_jsonl(io.BytesIO(source), io.BytesIO(), max_line_bytes=limit)
        assert (caught.value.line_number, caught.value.message) == (3, message)


def test_a_too_long_line_is_never_held_whole(monkeypatch):
    """The reader's buffers stay within the limit (and a block's worth) while a
    line hundreds of times longer goes by."""
    monkeypatch.setattr(jsonl, "READ_SIZE", 4096)
    monkeypatch.setattr(jsonl, "SKIP_SIZE", 1000)
    limit = 10_000
    source = io.BytesIO(GOOD + b"[" + b"1," * 2_000_000 + b"1]\n" + GOOD)
    sizes = []
    blocks = jsonl._Blocks(source, limit)
    kept = b""
    for data, length in blocks:
        sizes.append(len(data))
        kept += bytes(data[:length])
        blocks.recycle(data)
    # The line's first limit + 1 bytes, its line feed, and at most one read past it.
    assert max(sizes) <= limit + 2 + 1000
    lines = kept.split(b"\n")
    assert [len(x) for x in lines] == [len(GOOD) - 1, limit + 1, len(GOOD) - 1, 0]


def test_max_line_bytes_on_the_command_line(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text(GOOD.decode() + long_line(300) + "\n" + GOOD.decode())
    stopped = cli("tier-jsonl", source, "-o", tmp_path / "out.jsonl", "--max-line-bytes", 299)
    assert stopped.returncode == 1
    assert stopped.stderr.decode() == f"{PROG}: line 2: {LIMIT_MESSAGE.format(299)}\n"
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]
    kept = cli("tier-jsonl", source, "--max-line-bytes", "299", "--errors", tmp_path / "bad", "-q")
    assert (kept.returncode, kept.stdout) == (3, 2 * GOOD_DECISION)
    assert json.loads((tmp_path / "bad").read_text()) == {
        "line": 2, "message": LIMIT_MESSAGE.format(299)}
    assert cli("tier-jsonl", source, "-q", "--max-line-bytes", "300").returncode == 0
    assert cli("tier-jsonl", source, "--max-line-bytes", "0").returncode == 2


@pytest.mark.parametrize("value", [0, -1, True, 1.5, "64"])
def test_api_refuses_a_bad_line_limit(value):
    with pytest.raises(ValueError, match="max_line_bytes must be a whole number"):
        quillmarrow_engine.tier_jsonl(io.BytesIO(GOOD), io.BytesIO(), max_line_bytes=value)


# --- members named as the export names them, and recall times ------------------------

REST = '"retrieval_count":3,"importance":0.5,"frequency":0.2'


def one_day_decision(**extra):
    """The decision (parsed) for REST recalled a day before NOW."""
    from quillmarrow_engine_native import run

    decision = json.loads(run("tier", "[1.0," + REST.replace('"retrieval_count":', "")
                              .replace('"importance":', "").replace('"frequency":', "") + "]"))
    return {**decision["result"], **extra}


@pytest.mark.parametrize(
    "time,options",
    [
        ("1749913600", {}),
        ("1749913600.0", {}),
        ("1749913600000", {"time_unit": "ms"}),
        ("1749913600000000", {"time_unit": "us"}),
        ("1749913600000000000", {"time_unit": "ns"}),
        ('"1749913600"', {}),
        ('"1749913600000"', {"time_unit": "ms"}),
        ('"2025-06-14T15:06:40Z"', {}),
        ('"2025-06-14t15:06:40z"', {}),
        ('"2025-06-14 17:06:40+02:00"', {}),
        ('"2025-06-14T15:06:40"', {"time_unit": "ms"}),  # no offset: UTC; no unit for text
        ('"2025-06-14T15:06:40.000000999Z"', {}),  # cut to the microsecond
        ("1750000300", {"now": NOW_TEXT, "max_skew": 0.0, "expect": "future"}),
    ],
)
def test_recall_times_of_each_kind(time, options):
    options = dict(options)
    expect = options.pop("expect", "one day")
    options.setdefault("now", NOW)
    line = '{"id":7,"t":' + time + "," + REST + "}\n"
    decisions, set_aside, tally = tiered(line.encode(), recalled_at="t", **options)
    if expect == "one day":
        assert json.loads(decisions) == one_day_decision(id=7)
        assert set_aside == ""
    else:
        assert decisions == ""
        assert json.loads(set_aside) == {"id": 7, "line": 1, "message": (
            "member 't' is 2025-06-15T15:11:40Z, 300 seconds after now (2025-06-15T15:06:40Z), "
            "more than the allowed clock skew of 0 seconds: a local time read as UTC (a time "
            "without an offset counts as UTC)?; or allow more skew with max_skew (--max-skew)")}


@pytest.mark.parametrize(
    "now",
    [NOW, NOW_TEXT, "1750000000", "2025-06-15 17:06:40+02:00",
     datetime(2025, 6, 15, 15, 6, 40), datetime(2025, 6, 15, 17, 6, 40, tzinfo=timezone(timedelta(hours=2)))],
)
def test_now_in_every_form(now):
    line = '{"t":"2025-06-14T15:06:40Z",' + REST + "}\n"
    decisions, _, _ = tiered(line.encode(), recalled_at="t", now=now)
    assert json.loads(decisions) == one_day_decision()


def test_now_defaults_to_when_the_call_starts():
    line = '{"t":"2025-06-14T15:06:40Z",' + REST + "}\n"
    decisions, _, _ = tiered(line.encode(), recalled_at="t")
    assert json.loads(decisions)["tier"] == "cold"  # the time is long past
    future = '{"t":"2999-01-01",' + REST + "}\n"
    _, set_aside, _ = tiered(future.encode(), recalled_at="t")
    assert "after now" in json.loads(set_aside)["message"]


BAD_RECALLS = [
    ('{"t":1749913600000,' + REST + "}",
     "member 't' is 1749913600000 Unix seconds, 20233375 days after now (2025-06-15T15:06:40Z), "
     "more than the allowed clock skew of 300 seconds: milliseconds read as seconds? Give the "
     "time unit ms (time_unit='ms', --time-unit ms); or allow more skew with max_skew "
     "(--max-skew)"),
    ('{"t":"yesterday",' + REST + "}",
     "member 't' is the text 'yesterday', not a time: ISO-8601 (2025-06-15T12:00:00Z, "
     "2025-06-15) or a number in the time unit (seconds)"),
    ('{"t":null,' + REST + "}",
     "member 't' is null, not a time: ISO-8601 text (2025-06-15T12:00:00Z, 2025-06-15) or a "
     "number in the time unit (seconds)"),
    ('{"t":{"s":1},' + REST + "}",
     "member 't' is an object, not a time: ISO-8601 text (2025-06-15T12:00:00Z, 2025-06-15) or "
     "a number in the time unit (seconds)"),
    ("{" + REST + "}", "missing member 't' (the recall time)"),
    ('{"days_since_recall":1,' + REST + "}", "missing member 't' (the recall time)"),
]


@pytest.mark.parametrize("line,message", BAD_RECALLS)
def test_a_bad_recall_time_is_a_bad_line_naming_member_value_and_fix(line, message):
    good = '{"t":1749913600,' + REST + "}\n"
    decisions, set_aside, tally = tiered((good + line + "\n").encode(), recalled_at="t", now=NOW)
    assert json.loads(set_aside) == {"line": 2, "message": message}
    assert tally.bad_lines == 1


def test_mapped_members_and_their_messages():
    columns = {"importance": "weight", "frequency": "freq", "keep_forever": "pinned"}
    lines = [
        '{"id":1,"days_since_recall":2,"retrieval_count":3,"weight":0.5,"freq":0.2}',
        '{"id":2,"days_since_recall":2,"retrieval_count":3,"weight":0.5,"freq":0.2,"pinned":true}',
        '{"id":3,"days_since_recall":2,"retrieval_count":3,"importance":0.5,"freq":0.2}',
        '{"id":4,"days_since_recall":2,"retrieval_count":3,"weight":"high","freq":0.2}',
        '{"id":5,"retrieval_count":3,"weight":0.5,"freq":0.2}',
        "[2,3,0.5,0.2]",
    ]
    decisions, set_aside, tally = tiered("\n".join(lines).encode(), columns=columns)
    assert decisions.splitlines() == [
        f'{DECISION_HEAD}"id":1,{DECISION_TAIL}',
        '{"action":"keep_forever_tag","id":2,"retention":1.0,"tier":"warm_semantic"}',
        DECISION_HEAD + DECISION_TAIL,
    ]
    assert [json.loads(x) for x in set_aside.splitlines()] == [
        {"id": 3, "line": 3, "message": "missing member 'weight' (field importance)"},
        {"id": 4, "line": 4, "message":
            "member 'weight' (field importance): invalid type: string \"high\", expected f64"},
        {"id": 5, "line": 5, "message": "missing field `days_since_recall`"},
    ]


@pytest.mark.parametrize(
    "options,error,message",
    [
        ({"columns": {"tier": "t"}}, ValueError, "not the keys of the decisions"),
        ({"columns": {"imp": "x"}}, ValueError, "unknown field 'imp' in columns (fields: "),
        ({"columns": {"importance": 5}}, TypeError, "must be a column name"),
        ({"columns": ["importance"]}, TypeError, "columns must map field names"),
        ({"columns": {"importance": "x", "frequency": "x"}}, ValueError,
         "fields importance and frequency both read member 'x'"),
        ({"columns": {"importance": "frequency"}}, ValueError,
         "fields importance and frequency both read member 'frequency'"),
        ({"recalled_at": "importance"}, ValueError,
         "member 'importance' holds field importance; the recall times"),
        ({"recalled_at": "t", "columns": {"days_since_recall": "d"}}, ValueError,
         "give either recall times"),
        ({"now": NOW}, ValueError, "now applies to recall times"),
        ({"recalled_at": "t", "time_unit": "sec"}, ValueError, "time_unit must be"),
        ({"recalled_at": "t", "max_skew": -1}, ValueError, "max_skew must be"),
        ({"recalled_at": "t", "now": "soon"}, ValueError, "now is not a time: 'soon'"),
        ({"recalled_at": 5}, TypeError, "recalled_at names the column"),
    ],
)
def test_api_refuses_a_bad_vocabulary_before_reading(options, error, message):
    source = io.BytesIO(GOOD)
    with pytest.raises(error) as caught:
        quillmarrow_engine.tier_jsonl(source, io.BytesIO(), **options)
    assert message in str(caught.value)
    assert source.tell() == 0


def test_fields_may_trade_member_names():
    line = '{"days_since_recall":2,"retrieval_count":3,"importance":0.2,"frequency":0.5}'
    decisions, _, _ = tiered(line.encode(), id_field=None,
                             columns={"importance": "frequency", "frequency": "importance"})
    assert decisions == DECISION_HEAD + DECISION_TAIL + "\n"


def test_recall_times_and_members_on_the_command_line(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text(
        '{"id":"a","last":"2025-06-14T15:06:40Z","n":3,"importance":0.5,"frequency":0.2}\n'
        '{"id":"b","last":1750003600000,"n":3,"importance":0.5,"frequency":0.2}\n'
        "[1,3,0.5,0.2]\n"
    )
    args = ["tier-jsonl", source, "--recalled-at", "last", "--column", "retrieval_count=n",
            "--now", NOW_TEXT, "--time-unit", "ms"]
    stopped = cli(*args)
    assert stopped.returncode == 1
    assert stopped.stderr.decode() == (
        f"{PROG}: line 2: member 'last' is 2025-06-15T16:06:40Z, 3600 seconds after now "
        "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: a local time "
        "read as UTC (a time without an offset counts as UTC)?; or allow more skew with max_skew "
        "(--max-skew)\n")
    skewed = cli(*args, "--max-skew", "3600", "-q")
    assert skewed.returncode == 0, skewed.stderr
    first, second, third = skewed.stdout.decode().splitlines()
    assert json.loads(first) == one_day_decision(id="a")
    assert json.loads(second)["tier"] == "hot"  # day 0
    assert json.loads(third) == one_day_decision()  # array records: days at position 0


@pytest.mark.parametrize(
    "args,message",
    [
        (["--column", "tier=t"], "argument --column: tier is a key of the decisions"),
        (["--column", "retention=r"], "argument --column: retention is a key of the decisions"),
        (["--column", "imp"], "argument --column: expected FIELD=MEMBER, got 'imp'"),
        (["--column", "imp=x"], "argument --column: unknown field 'imp'"),
        (["--now", NOW_TEXT], "error: now applies to recall times: give recalled_at="),
        (["--recalled-at", "t", "--column", "days_since_recall=d"], "error: give either recall times"),
        (["--recalled-at", "t", "--now", "soon"], "error: now is not a time: 'soon'"),
        (["--recalled-at", "t", "--time-unit", "sec"], "argument --time-unit: invalid choice"),
        (["--column", "importance=x", "--column", "frequency=x"],
         "error: fields importance and frequency both read member 'x'"),
    ],
)
def test_vocabulary_usage_errors(tmp_path, args, message):
    source = tmp_path / "in.jsonl"
    source.write_bytes(GOOD)
    result = cli("tier-jsonl", source, "-o", tmp_path / "out.jsonl", *args)
    assert result.returncode == 2
    assert message in result.stderr.decode()
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]


# --- the same decisions as tier_table on the same records -----------------------------

def records(kind, count, seed):
    """Records with their recall time in the form of kind, and the times as a
    column of that form for tier_table."""
    rng = random.Random(seed)
    rows = []
    for n in range(count):
        seconds = NOW - rng.randrange(0, 400 * 86_400) - rng.choice((0, 0.5, 0.25))
        if kind == "seconds":
            time = seconds
        elif kind == "milliseconds":
            time = int(seconds * 1000)
        elif kind == "numeric text":
            time = repr(seconds)
        else:
            stamp = datetime.fromtimestamp(seconds, timezone.utc)
            time = stamp.strftime("%Y-%m-%dT%H:%M:%S.%f") + rng.choice(("Z", "z", "+00:00", ""))
        rows.append({
            "memory_id": f"m-{n}",
            "seen": time,
            "hits": rng.choice((0, 1, 3, 8, 40)),
            "weight": round(rng.random(), 3),
            "frequency": round(rng.random(), 3),
            "is_procedural": rng.random() < 0.2,
            "pin": rng.random() < 0.05,
        })
    return rows


@pytest.mark.parametrize("kind", ["seconds", "milliseconds", "numeric text", "iso"])
def test_decisions_equal_those_of_tier_table(kind):
    pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install '.[tables]')")
    rows = records(kind, 500, seed=len(kind))
    columns = {"retrieval_count": "hits", "importance": "weight", "keep_forever": "pin"}
    unit = "ms" if kind == "milliseconds" else "s"
    source = "".join(json.dumps(row) + "\n" for row in rows).encode()
    decisions, set_aside, tally = tiered(source, id_field="memory_id", columns=columns,
                                         recalled_at="seen", now=NOW, time_unit=unit)
    assert set_aside == "" and tally.items == len(rows)
    table = quillmarrow_engine.tier_table(
        pa.Table.from_pylist(rows), columns=columns, recalled_at="seen", now=NOW, time_unit=unit)
    expected = [
        {"action": action, "id": key, "retention": retention, "tier": tier}
        for key, retention, tier, action in zip(
            table["memory_id"].to_pylist(), table["retention"].to_pylist(),
            table["tier"].to_pylist(), table["action"].to_pylist())
    ]
    assert [json.loads(line) for line in decisions.splitlines()] == expected
