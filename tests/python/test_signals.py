"""A command ended by a signal removes what it had begun to write, and a later
run removes what a killed run (SIGKILL) could not."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
import uuid

import pytest

from quillmarrow_engine import _files

PROG = "quillmarrow-engine"
# (signal, exit status): Ctrl-C, then what `timeout`, systemd and Kubernetes
# send, and what a closed terminal sends.
ENDINGS = [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]
RECORD = b'{"id":"m1","days_since_recall":3,"retrieval_count":2,"importance":0.5,"frequency":0.5}\n'


def python_env():
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.abspath(os.environ["QM_MODULE_DIR"]), env.get("PYTHONPATH", "")])
    return env


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.01)


@pytest.mark.parametrize("signum, status", ENDINGS, ids=[s.name for s, _ in ENDINGS])
def test_tier_jsonl_ended_by_a_signal_leaves_no_file(tmp_path, signum, status):
    """The run waits for more input on a pipe, its output files begun."""
    process = subprocess.Popen(
        [sys.executable, "-m", "quillmarrow_engine.cli", "tier-jsonl", "-",
         "-o", str(tmp_path / "out.jsonl"), "--errors", str(tmp_path / "bad.jsonl"), "-q"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=python_env())
    try:
        process.stdin.write(RECORD * 1000)
        process.stdin.flush()
        wait_for(lambda: len(os.listdir(tmp_path)) == 2, "the temporary output files")
        process.send_signal(signum)
        _, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == status, stderr
    assert os.listdir(tmp_path) == []


def run_cli_ending_itself(code_before, args, signum):
    """Runs the command in a child that sends itself signum from inside the
    job, where code_before puts the call `end()`."""
    code = textwrap.dedent(f"""
        import os, sys
        def end():
            os.kill(os.getpid(), {int(signum)})
        {textwrap.indent(textwrap.dedent(code_before), "        ").strip()}
        from quillmarrow_engine.cli import main
        sys.exit(main({[str(a) for a in args]!r}))
    """)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=python_env(), timeout=300)


PARQUET_ENDINGS = [("local", signum, status) for signum, status in ENDINGS] + [
    ("dask", signal.SIGTERM, 143)]


@pytest.mark.parametrize("engine, signum, status", PARQUET_ENDINGS,
                         ids=[f"{e}-{s.name}" for e, s, _ in PARQUET_ENDINGS])
def test_tier_parquet_ended_by_a_signal_leaves_no_output_and_no_staging(tmp_path, engine, signum, status):
    pa = pytest.importorskip("pyarrow", reason="tier-parquet needs pyarrow")
    import pyarrow.parquet as pq

    if engine == "dask":
        from scale_data import need

        need("distributed", "pip install '.[dask]' to run the Dask tests")
    source = tmp_path / "in"
    source.mkdir()
    table = pa.table({"days_since_recall": [3.0] * 100, "retrieval_count": [2] * 100,
                      "importance": [0.5] * 100, "frequency": [0.5] * 100})
    for i in range(3):
        pq.write_table(table, source / f"part-{i}.parquet")
    # The job ends from inside once the first file is done, the others being
    # written or waiting.
    patch = """
        from quillmarrow_engine.tally import Tally
        add_counts = Tally.add_counts
        def ending_add_counts(self, *args):
            add_counts(self, *args)
            end()
        Tally.add_counts = ending_add_counts
    """
    done = run_cli_ending_itself(patch, ["tier-parquet", source, "-o", tmp_path / "out", "-q",
                                         "--batch-size", "50", "--engine", engine], signum)
    assert done.returncode == status, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in"]


@pytest.mark.parametrize("atomic", [False, True], ids=["online", "atomic"])
@pytest.mark.parametrize("signum, status", ENDINGS, ids=[s.name for s, _ in ENDINGS])
def test_retier_ended_by_a_signal(tmp_path, signum, status, atomic):
    """Atomic, the run rolls back and leaves no report; online, the batch it
    had written stays, and so does the report that tells it."""
    pytest.importorskip("numpy", reason="re-tiering needs numpy")
    import sqlite3

    path = tmp_path / "store.db"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE memories (id INTEGER PRIMARY KEY, days_since_recall, retrieval_count,"
                     " importance, frequency, tier, action)")
        conn.executemany("INSERT INTO memories VALUES (?, 3, 2, 0.5, 0.5, NULL, NULL)",
                         [(i,) for i in range(300)])
    patch = """
        import quillmarrow_engine.retiering.scoring as scoring
        score = scoring.Scorer.score
        seen = []
        def ending_score(self, *args):
            seen.append(1)
            if len(seen) == 2:
                end()
            return score(self, *args)
        scoring.Scorer.score = ending_score
    """
    report = tmp_path / "changes.jsonl"
    done = run_cli_ending_itself(patch, ["retier", path, "--table", "memories", "--batch-size", "100",
                                         "--report", report, "-q", *(["--atomic"] if atomic else [])],
                                 signum)
    assert done.returncode == status, done.stderr
    with sqlite3.connect(path) as conn:
        written = conn.execute("SELECT id FROM memories WHERE tier IS NOT NULL ORDER BY id").fetchall()
    if atomic:
        assert sorted(os.listdir(tmp_path)) == ["store.db"] and written == []
    else:
        assert sorted(os.listdir(tmp_path)) == ["changes.jsonl", "store.db"]
        assert written == [(i,) for i in range(100)]
        assert [json.loads(line)["key"] for line in report.read_text().splitlines()] == list(range(100))


def ended_pid():
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


def leftover(target_name, host, pid):
    return f".{target_name}.tmp-{host}-{pid}-{uuid.uuid4().hex[:12]}"


def test_stale_temporary_output_of_ended_runs_is_recognised_by_name():
    host = _files.temporary_name("x").split("-")[1]
    dead, alive = ended_pid(), os.getpid()
    names = [
        leftover("out", host, dead),  # stale: this host, process gone
        leftover("out", host, alive),  # a run still going
        leftover("out", "otherhost", dead),  # another machine's: cannot tell
        leftover("other", host, dead),  # another target's
        f".out.tmp-{host}-{dead}-nothex",  # not a name this package makes
        "out",
    ]
    assert _files.stale_names("out", names) == [names[0]]
    assert _files.stale_names("out", [_files.temporary_name("out")]) == []


def test_a_killed_runs_leftovers_are_removed_by_the_next_run(tmp_path):
    pa = pytest.importorskip("pyarrow", reason="tier-parquet needs pyarrow")
    import pyarrow.parquet as pq

    host = _files.temporary_name("x").split("-")[1]
    dead = ended_pid()
    pq.write_table(pa.table({"days_since_recall": [3.0], "retrieval_count": [2], "importance": [0.5],
                             "frequency": [0.5]}), tmp_path / "in.parquet")
    stale_folder = tmp_path / leftover("out", host, dead)
    stale_file = tmp_path / leftover("out.jsonl", host, dead)
    keep = [tmp_path / leftover("out", host, os.getpid()), tmp_path / leftover("out", "elsewhere", dead)]
    for folder in (stale_folder, *keep):
        folder.mkdir()
        (folder / "part-0.parquet").write_bytes(b"half written")
    stale_file.write_bytes(b"half written")
    env = python_env()
    parquet = subprocess.run([sys.executable, "-m", "quillmarrow_engine.cli", "tier-parquet",
                              str(tmp_path / "in.parquet"), "-o", str(tmp_path / "out"), "-q"],
                             capture_output=True, text=True, env=env, timeout=300)
    assert parquet.returncode == 0, parquet.stderr
    jsonl = subprocess.run([sys.executable, "-m", "quillmarrow_engine.cli", "tier-jsonl", "-",
                            "-o", str(tmp_path / "out.jsonl"), "-q"],
                           input=RECORD, capture_output=True, env=env, timeout=300)
    assert jsonl.returncode == 0, jsonl.stderr
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["in.parquet", "out", "out.jsonl", *(p.name for p in keep)])
