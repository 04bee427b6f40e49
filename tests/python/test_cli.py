"""The quillmarrow-engine command, run as a separate process like a user would."""

import doctest
import json
import os
import pathlib
import pty
import re
import stat
import subprocess
import sys

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO_ROOT / "examples"
PROG = "quillmarrow-engine"
TIER_PREFIX = '{"ok":true,"result":'


def cli(*args, stdin=b"", cwd=None, stderr=subprocess.PIPE):
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.abspath(os.environ["QM_MODULE_DIR"]), env.get("PYTHONPATH", "")]
        )
    return subprocess.run(
        [sys.executable, "-m", "quillmarrow_engine.cli", *map(str, args)],
        input=stdin,
        stdout=subprocess.PIPE,
        stderr=stderr,
        cwd=cwd,
        env=env,
        timeout=120,
    )


def decision_of(run, line):
    """The decision object text that "tier" gives for one record."""
    out = run("tier", line)
    assert out.startswith(TIER_PREFIX) and out.endswith("}")
    return out[len(TIER_PREFIX) : -1]


def engine_message(run, command, payload):
    with pytest.raises(RuntimeError) as caught:
        run(command, payload)
    return str(caught.value)


# --- usage errors -----------------------------------------------------------

@pytest.mark.parametrize(
    "args",
    [
        [],
        ["nope"],
        ["Tier", "-"],
        ["tier", "a.json", "b.json"],
        ["tier", "/nonexistent/payload.json"],
        ["tier-jsonl"],
        ["tier-jsonl", "/nonexistent/in.jsonl"],
        ["tier-jsonl", "-", "--batch-size", "0"],
        ["tier-jsonl", "-", "--batch-size", "ten"],
        ["tier-jsonl", "-", "-o", "/nonexistent/dir/out.jsonl"],
        ["tier-jsonl", "-", "--unknown"],
    ],
)
def test_usage_errors_exit_2_with_usage_on_stderr(args):
    result = cli(*args)
    assert result.returncode == 2
    assert result.stdout == b""
    assert b"usage: " + PROG.encode() in result.stderr


def test_console_script_is_installed():
    script = pathlib.Path(sys.executable).with_name(PROG)
    if not script.exists():
        pytest.skip("quillmarrow_engine not installed into this interpreter's environment")
    result = subprocess.run([script, "--help"], capture_output=True, timeout=60)
    assert result.returncode == 0
    for command in (b"score", b"tier-batch", b"tier-jsonl"):
        assert command in result.stdout


# --- score, tier, tier-batch ------------------------------------------------

CALLS = [
    ("score", '{"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0}',
     '{"ok":true,"result":{"boost":1.0,"retention":1.0,"stability":0.001}}'),
    ("tier", "[8,20,0.5,0.5]",
     '{"ok":true,"result":{"action":"spaced_repetition","retention":0.7423338906408632,'
     '"tier":"warm_episodic"}}'),
    ("tier-batch", '{"items":[]}\n', '{"ok":true,"result":{"decisions":[]}}'),
    ("tier-batch", '{"items":[[1000,0,0,0,true,true]]}',
     '{"ok":true,"result":{"decisions":[{"action":"keep_forever_tag","retention":1.0,'
     '"tier":"warm_semantic"}]}}'),
]


@pytest.mark.parametrize("source", ["file", "dash", "stdin"])
@pytest.mark.parametrize("command,payload,expected", CALLS)
def test_one_call_prints_the_engine_answer(tmp_path, run, source, command, payload, expected):
    assert run(command, payload) == expected
    if source == "file":
        path = tmp_path / "payload.json"
        path.write_text(payload)
        result = cli(command, path)
    else:
        result = cli(command, *(["-"] if source == "dash" else []), stdin=payload.encode())
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected + "\n"


ENGINE_ERRORS = [
    ("tier", "{", "EOF while parsing an object at line 1 column 1"),
    ("tier", "[1,2,3,4] x", "trailing characters at line 1 column 11"),
    # The payload's bytes reach the engine untouched: no newline translation.
    ("tier", "{\r\n", "EOF while parsing an object at line 2 column 0"),
    ("tier", "\ufeff[1,2,3,4]", "expected value at line 1 column 1"),
    ("tier", "[1,2]", "invalid length 2, expected struct TierInput with 6 elements"),
    ("score", "{}", "missing field `days_since_recall`"),
    ("tier-batch", "[]", "missing required field: items"),
    ("tier-batch", '{"items":[[1,2,3,4],[1,2,3]]}',
     "invalid length 3, expected struct TierInput with 6 elements"),
]


@pytest.mark.parametrize("command,payload,message", ENGINE_ERRORS)
def test_engine_error_goes_to_stderr_with_status_1(tmp_path, run, command, payload, message):
    assert engine_message(run, command, payload) == message
    path = tmp_path / "payload.json"
    path.write_bytes(payload.encode())
    result = cli(command, path)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.decode() == f"{PROG}: {message}\n"


def test_payload_that_is_not_utf8_is_refused(tmp_path):
    path = tmp_path / "payload.json"
    path.write_bytes(b'[1,2,3,"\xff"]')
    result = cli("tier", path)
    assert result.returncode == 1
    assert result.stderr.decode() == f"{PROG}: payload is not valid UTF-8: invalid start byte at byte 9\n"


# --- tier-jsonl -------------------------------------------------------------

GOOD_LINES = [
    '{"days_since_recall":3,"retrieval_count":2,"importance":0.5,"frequency":0.5}',
    "",
    "[8,20,0.5,0.5]",
    " \t",
    '  {"id":"m-4","text":"ok, [fine] {really}","days_since_recall":200,'
    '"retrieval_count":0,"importance":0.1,"frequency":0}\r',
    "[1000,0,0,0,true,true]",
    "\r",
    '{"days_since_recall":10,"retrieval_count":5,"importance":0.2,"frequency":0.1,"is_procedural":true}',
    # Nested values and escapes are skipped by the decoder like any other member.
    '{"meta":{"tags":["a","b\\"c"]},"days_since_recall":45,"retrieval_count":1000,'
    '"importance":0,"frequency":0}',
    '[190,10000000,1,1]',
]


def expected_output(run, lines):
    """The decision "tier" gives for each record, with the record's "id"
    (plain ids only: strings and integers read the same in Python's json)."""
    decisions = []
    for line in lines:
        if not line.strip():
            continue
        decision = decision_of(run, line)
        record = json.loads(line)
        if isinstance(record, dict) and "id" in record:
            id_text = json.dumps(record["id"], separators=(",", ":"), ensure_ascii=False)
            decision = decision.replace(',"retention":', f',"id":{id_text},"retention":', 1)
        decisions.append(decision + "\n")
    return "".join(decisions)


@pytest.fixture
def good_input(tmp_path):
    path = tmp_path / "in.jsonl"
    # The last line has no line feed.
    path.write_bytes("\n".join(GOOD_LINES).encode())
    return path


@pytest.mark.parametrize("batch_size", [1, 2, 3, 7, 10_000])
def test_tier_jsonl_writes_one_decision_per_record_in_order(run, good_input, batch_size):
    result = cli("tier-jsonl", good_input, "--batch-size", batch_size)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == expected_output(run, GOOD_LINES)


def test_tier_jsonl_output_file_and_summary(run, good_input, tmp_path):
    out = tmp_path / "decisions.jsonl"
    result = cli("tier-jsonl", good_input, "-o", out, "--batch-size", 4)
    assert (result.returncode, result.stdout) == (0, b"")
    text = out.read_text()
    assert text == expected_output(run, GOOD_LINES)
    summary = result.stderr.decode()
    assert re.match(r"tiered 7 items in \d+\.\d\d s \(", summary)
    decisions = text.splitlines()
    for key in ("tier", "action"):
        names = [re.search(f'"{key}":"([a-z_]+)"', d).group(1) for d in decisions]
        for name in set(names):
            row = re.search(rf"^{name} +([\d,]+) ", summary, re.M)
            assert row and int(row.group(1)) == names.count(name), (name, summary)
    assert sorted(os.listdir(tmp_path)) == ["decisions.jsonl", "in.jsonl"]


def test_tier_jsonl_reads_standard_input_and_quiet_prints_nothing_else(run):
    data = "\n".join(GOOD_LINES).encode()
    result = cli("tier-jsonl", "-", "-q", stdin=data)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected_output(run, GOOD_LINES)


def test_tier_jsonl_empty_input(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_text("\n \n")
    result = cli("tier-jsonl", path)
    assert (result.returncode, result.stdout) == (0, b"")
    assert result.stderr.decode().startswith("tiered 0 items")


def test_record_nested_near_the_depth_limit(run, tmp_path):
    # Alone the record has 127 levels open, the most the reader allows; inside
    # a batch payload it would have 129. The command still tiers it.
    line = '{"x":' + "[" * 126 + "]" * 126 + ',"days_since_recall":1,"retrieval_count":2,' \
        '"importance":0,"frequency":0}'
    with pytest.raises(RuntimeError, match="recursion limit exceeded"):
        run("tier-batch", '{"items":[' + line + "]}")
    lines = ["[1,2,3,4]", line, "[5,6,7,8]"]
    path = tmp_path / "in.jsonl"
    path.write_text("\n".join(lines) + "\n")
    result = cli("tier-jsonl", path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == expected_output(run, lines)


def tier_message(run, line):
    return engine_message(run, "tier", line)


BAD_INPUTS = [
    # (lines, number of the bad line, its message when "tier" is given that line alone)
    (["[1,2,3,4]", "", '{"days_since_recall":1,"retrieval_count":2,"importance":0}'], 3,
     "missing field `frequency`"),
    (["[1,2,3,4]", "5"], 2, "invalid type: integer `5`, expected struct TierInput"),
    (["[1,2,3,4]", '{"days_since_recall":1,'], 2, "EOF while parsing a value at line 1 column 23"),
    # Two records on one line are one bad record, not two decisions.
    (["[1,2,3,4],[5,6,7,8]"], 1, "trailing characters at line 1 column 10"),
    # A line that would close the batch's own array and open another.
    (['[1,2,3,4]],"x":[[1,2,3,4]', "[5,6,7,8]"], 1, "trailing characters at line 1 column 10"),
    (['[1,2,3,4]],"items":[[1,2,3,4]', "[5,6,7,8]"], 1, "trailing characters at line 1 column 10"),
    # The first bad record is reported, even when a later one is unusual too.
    (["[1,2,3,4]", "[1,2]", '"x"'], 2, "invalid length 2, expected struct TierInput with 6 elements"),
    (["[1,2,3,4]", '{"a":"\\u12G4"}', "[1,2]"], 2, "invalid escape at line 1 column 12"),
    (["[1,2,3,4]", "[1,2,3,4,1]"], 2, "invalid type: integer `1`, expected a boolean"),
    ([*["[1,2,3,4]"] * 5, "", "[1,2,3,4,false,true,0]"], 7,
     "invalid length 7, expected fewer elements in array"),
]


@pytest.mark.parametrize("batch_size", [1, 2, 100])
@pytest.mark.parametrize("lines,number,message", BAD_INPUTS)
def test_bad_record_stops_with_line_number_and_leaves_no_file(
    run, tmp_path, lines, number, message, batch_size
):
    assert tier_message(run, lines[number - 1]) == message
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out.jsonl"
    result = cli("tier-jsonl", source, "-o", out, "--batch-size", batch_size)
    assert result.returncode == 1
    assert result.stderr.decode() == f"{PROG}: line {number}: {message}\n"
    assert os.listdir(tmp_path) == ["in.jsonl"]


def test_failed_run_keeps_the_previous_output(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text("[1,2,3,4]\n" * 5 + "[1]\n")
    out = tmp_path / "out.jsonl"
    out.write_text("previous decisions\n")
    result = cli("tier-jsonl", source, "-o", out, "--batch-size", 2)
    assert result.returncode == 1
    assert out.read_text() == "previous decisions\n"
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"]


def test_output_file_mode_is_kept_or_follows_umask(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text("[1,2,3,4]\n")
    kept = tmp_path / "kept.jsonl"
    kept.write_text("")
    kept.chmod(0o640)
    assert cli("tier-jsonl", source, "-o", kept, "-q").returncode == 0
    assert stat.S_IMODE(kept.stat().st_mode) == 0o640
    new = tmp_path / "new.jsonl"
    assert cli("tier-jsonl", source, "-o", new, "-q").returncode == 0
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(new.stat().st_mode) == 0o666 & ~umask


def test_record_that_is_not_utf8(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_bytes(b'[1,2,3,4]\n\n{"text":"caf\xe9","days_since_recall":1}\n')
    result = cli("tier-jsonl", source, "-o", tmp_path / "out.jsonl")
    assert result.returncode == 1
    assert result.stderr.decode() == f"{PROG}: line 3: not valid UTF-8: invalid continuation byte at byte 13\n"
    assert os.listdir(tmp_path) == ["in.jsonl"]


def test_progress_bar_only_on_a_terminal(good_input, tmp_path):
    out = tmp_path / "out.jsonl"
    # Standard error not a terminal: the summary only.
    plain = cli("tier-jsonl", good_input, "-o", out).stderr.decode()
    assert "\r" not in plain and "%" not in plain.splitlines()[0]
    # On a terminal: a bar redrawn in place, ending at 100%, then the summary.
    controller, terminal = pty.openpty()
    try:
        result = cli("tier-jsonl", good_input, "-o", out, stderr=terminal)
        os.close(terminal)
        seen = b""
        while True:
            try:
                data = os.read(controller, 65536)
            except OSError:
                break
            if not data:
                break
            seen += data
    finally:
        os.close(controller)
    assert result.returncode == 0
    text = seen.decode()
    assert "\r[" in text and "100%" in text
    assert "tiered 7 items" in text


# --- the shipped example ----------------------------------------------------

@pytest.fixture
def example_export():
    path = EXAMPLES / "memories.jsonl"
    if not path.exists():
        pytest.skip("examples/ not beside the tests")
    return path


def test_example_export_is_what_its_generator_writes(example_export, tmp_path):
    regenerated = tmp_path / "memories.jsonl"
    subprocess.run(
        [sys.executable, EXAMPLES / "make_memories.py", "-o", regenerated], check=True, timeout=120
    )
    assert regenerated.read_bytes() == example_export.read_bytes()


def test_readme_main_command_on_the_example(run, example_export, tmp_path):
    out = tmp_path / "decisions.jsonl"
    result = cli("tier-jsonl", example_export, "-o", out)
    assert result.returncode == 0, result.stderr
    lines = [line for line in example_export.read_text().splitlines() if line.strip()]
    assert len(lines) >= 2000
    assert out.read_text() == expected_output(run, lines)
    summary = result.stderr.decode()
    assert summary.startswith(f"tiered {len(lines):,} items")
    # The export exercises every action the engine can choose.
    for action in ("inject_to_prompt", "maintain_warm", "spaced_repetition", "keep_forever_tag",
                   "long_term_semantic", "keep_procedural", "archive_on_demand"):
        assert re.search(rf"^{action} ", summary, re.M), action


def test_readme_python_session_shows_real_outputs():
    readme = REPO_ROOT / "README.md"
    if not readme.exists():
        pytest.skip("README.md not beside the tests")
    blocks = re.findall(r"```pycon\n(.*?)```", readme.read_text(), re.S)
    assert blocks
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, block in enumerate(blocks):
        runner.run(parser.get_doctest(block, {}, f"README block {number}", str(readme), 0))
    assert runner.summarize(verbose=False).failed == 0


def test_tier_jsonl_summary_lists_most_first_then_by_name(tmp_path):
    from summary_text import TIED_RECORDS, TIED_SUMMARY, assert_most_first_then_by_name

    path = tmp_path / "in.jsonl"
    path.write_text("".join(json.dumps(list(record)) + "\n" for record in TIED_RECORDS))
    result = cli("tier-jsonl", path, "-o", tmp_path / "out.jsonl")
    assert result.returncode == 0, result.stderr
    assert assert_most_first_then_by_name(result.stderr.decode()) == TIED_SUMMARY


def test_version_and_exit_statuses_in_help():
    import quillmarrow_engine

    version = cli("--version")
    assert (version.returncode, version.stdout.decode()) == (0, f"{PROG} {quillmarrow_engine.__version__}\n")
    help_text = " ".join(cli("--help").stdout.decode().split())
    for status in ("2 usage error", "3 bad lines or rows set aside", "130 interrupted", "143 or 129"):
        assert status in help_text
