"""examples/sqlite_store.py on a temporary database."""

import importlib.util
import json
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

pytest.importorskip("numpy", reason="the example re-tiers with quillmarrow_engine.retier, which needs numpy")
from quillmarrow_engine import RetierError  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sqlite_store.py"
NOW = 1_750_000_000
DAY = 86_400

# (id, days since recall, retrieval count, importance, frequency, procedural, pinned,
#  expected action)
ITEMS = [
    ("a", 3.0, 2, 0.5, 0.5, False, False, "inject_to_prompt"),
    ("b", 5.0, 5, 0.2, 0.1, True, False, "inject_to_prompt"),
    ("c", 10.0, 5, 0.2, 0.1, True, False, "keep_procedural"),
    ("d", 8.0, 20, 0.5, 0.5, False, False, "spaced_repetition"),
    ("e", 45.0, 1000, 0.0, 0.0, False, False, "maintain_warm"),
    ("f", 400.0, 0, 0.9, 0.9, False, True, "keep_forever_tag"),
    ("g", 200.0, 3, 0.5, 0.5, False, False, "archive_on_demand"),
    ("h", 0.5, 40, 1.0, 1.0, False, False, "inject_to_prompt"),
]


@pytest.fixture(scope="module")
def store():
    if not EXAMPLE.exists():
        pytest.skip("examples/ not beside the tests")
    spec = importlib.util.spec_from_file_location("sqlite_store", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def export_lines():
    for id_, days, count, importance, frequency, procedural, pinned, _ in ITEMS:
        yield json.dumps({
            "id": id_, "kind": "procedural" if procedural else "episodic", "text": f"memory {id_}",
            "days_since_recall": days, "retrieval_count": count, "importance": importance,
            "frequency": frequency, "is_procedural": procedural, "keep_forever": pinned,
        })
    yield ""
    yield "[1, 2, 0.5, 0.5]"  # no id or text: not imported


@pytest.fixture
def conn(store, tmp_path):
    conn = store.connect(tmp_path / "memories.db")
    assert store.import_export(conn, export_lines(), NOW) == len(ITEMS)
    yield conn
    conn.close()


def stored(conn):
    return {row[0]: row[1:] for row in conn.execute(
        "SELECT id, tier, action FROM memories ORDER BY id")}


def test_retier_writes_the_engine_decision_of_every_row(store, conn, run):
    assert store.retier(conn, NOW) == len(ITEMS)
    rows = stored(conn)
    for id_, days, count, importance, frequency, procedural, pinned, action in ITEMS:
        record = [days, count, importance, frequency, procedural, pinned]
        expected = json.loads(run("tier", json.dumps(record)))["result"]
        assert rows[id_] == (expected["tier"], expected["action"]), id_
        assert expected["action"] == action, id_


def test_prompt_takes_only_inject_items_best_retained_first(store, conn, run):
    store.retier(conn, NOW)
    items = store.prompt_items(conn, 10, NOW)
    assert sorted(id_ for id_, _, _ in items) == ["a", "b", "h"]
    # Retention computed at read time is the engine's, bit for bit.
    for id_, _, retention in items:
        record = next(item for item in ITEMS if item[0] == id_)[1:7]
        assert retention == json.loads(run("tier", json.dumps(record)))["result"]["retention"]
    retentions = [retention for _, _, retention in items]
    assert retentions == sorted(retentions, reverse=True)
    assert [id_ for id_, _, _ in store.prompt_items(conn, 2, NOW)] == [id_ for id_, _, _ in items[:2]]
    assert store.prompt_section(items[:1]) == f"What you remember about the user:\n- {items[0][1]}\n"


def test_recalled_item_moves_back_into_the_prompt(store, conn):
    store.retier(conn, NOW)
    later = NOW + 2 * DAY
    store.recall(conn, "g", later)
    store.retier(conn, later)
    assert stored(conn)["g"][:2] == ("hot", "inject_to_prompt")
    # Two days on, "a" (recalled 3 days before NOW) is still recent enough.
    assert stored(conn)["a"][1] == "inject_to_prompt"


def test_a_refused_row_stops_the_run_after_the_batches_before_it(store, conn, monkeypatch):
    store.retier(conn, NOW)
    before = stored(conn)
    # SQLite lets a text slip into an INTEGER column; the run refuses it.
    with conn:
        conn.execute("UPDATE memories SET retrieval_count = 'often' WHERE id = 'h'")
    monkeypatch.setattr(store, "BATCH_SIZE", 3)  # the bad row is in the last batch
    with pytest.raises(RetierError, match="^row id=h: column 'retrieval_count' is the text 'often'"):
        store.retier(conn, NOW + 100 * DAY)
    after = stored(conn)
    assert after["h"] == before["h"] and after["a"] != before["a"]  # "a" was in the first batch
    conn.execute("SELECT 1")  # the connection is still usable


def test_script_on_a_new_database(tmp_path):
    if not EXAMPLE.exists():
        pytest.skip("examples/ not beside the tests")
    result = subprocess.run(
        [sys.executable, EXAMPLE, tmp_path / "store.db", "--limit", "3"],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("imported ") and lines[1].startswith("re-tiered ")
    assert lines[0].split()[1] == lines[1].split()[1]
    prompt = lines[lines.index("What you remember about the user:") + 1 :]
    assert len(prompt) == 3 and all(line.startswith("- ") for line in prompt)


def test_retier_of_the_example_export_matches_tiering_each_line(store, tmp_path, run):
    export = EXAMPLE.with_name("memories.jsonl")
    lines = [line for line in export.read_text().splitlines() if line.startswith("{")]
    conn = store.connect(tmp_path / "example.db")
    assert store.import_export(conn, lines, NOW) == len(lines)
    store.retier(conn, NOW)
    rows = stored(conn)
    for line in lines:
        expected = json.loads(run("tier", line))["result"]
        assert rows[json.loads(line)["id"]] == (
            expected["tier"], expected["action"]), line
    conn.close()


def readme_session(start):
    """The commands and outputs of the README's shell block that begins with start."""
    readme = EXAMPLE.parents[1] / "README.md"
    if not readme.exists():
        pytest.skip("README.md not beside the tests")
    blocks = re.findall(r"```sh\n(.*?)```", readme.read_text(), re.S)
    (block,) = [b for b in blocks if b.startswith(start)]
    session = []
    for line in block.splitlines(keepends=True):
        if line.startswith("$ "):
            session.append([line[2:], ""])
        elif session[-1][0].endswith("\\\n") and not session[-1][1]:
            session[-1][0] += line
        else:
            session[-1][1] += line
    return [(shlex.split(command.replace("\\\n", " ")), output) for command, output in session]


def test_readme_sessions_on_the_example_store_are_reproducible(tmp_path):
    """Made at a fixed time and re-tiered at another, the example store gives
    exactly what the README shows (but the time a run took)."""
    ((make, made),) = readme_session("$ python examples/sqlite_store.py")
    store = str(tmp_path / "memories.db")
    assert make[0] == "python"
    make = [store if arg == "/tmp/memories.db" else arg for arg in make[1:]]
    result = subprocess.run([sys.executable, *make], capture_output=True, text=True, timeout=300,
                            cwd=EXAMPLE.parents[1])
    assert (result.returncode, result.stdout) == (0, made), result.stderr
    (retier_command, shown), (head, first_change) = readme_session("$ quillmarrow-engine retier /tmp")
    assert retier_command[:2] == ["quillmarrow-engine", "retier"] and head == ["head", "-1", "changes.jsonl"]
    args = [store if arg == "/tmp/memories.db" else arg for arg in retier_command[1:]]
    result = subprocess.run([sys.executable, "-m", "quillmarrow_engine.cli", *args],
                            capture_output=True, text=True, timeout=300, cwd=tmp_path)
    timing = re.compile(r"^tiered ([\d,]+) items in .*$", re.M)
    assert result.returncode == 0, result.stderr
    assert timing.sub(r"tiered \1 items", result.stderr) == timing.sub(r"tiered \1 items", shown)
    assert (tmp_path / "changes.jsonl").read_text().splitlines()[0] + "\n" == first_change
