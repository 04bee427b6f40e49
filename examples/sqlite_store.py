"""A small memory store in SQLite, re-tiered by the quillmarrow engine.

The table `memories` keeps each remembered item with the time it was last
recalled. Re-tiering is one call to `quillmarrow_engine.retier`: it counts days
since recall from that time, scores the rows in batches and writes back the
tier and action of the rows whose decision changed. The items whose action is
"inject_to_prompt" are then selected for the assistant's prompt, best retained
first: retention changes with the clock, so it is computed when the prompt is
made (`score_arrays`), not stored.

    python examples/sqlite_store.py /tmp/memories.db [--now 2026-12-01T00:00:00Z]

creates the database on first use (importing examples/memories.jsonl, each
item recalled its days_since_recall before --now), re-tiers it as of --now
(default: the present moment) and prints the prompt section. The engine and
NumPy are needed; the same job from a shell is

    quillmarrow-engine retier /tmp/memories.db --table memories --recalled-at last_recalled_at
"""

from __future__ import annotations

import argparse
import json
import sqlite3
import time
from collections.abc import Iterable
from pathlib import Path

import quillmarrow_engine
from quillmarrow_engine.times import parse_now

DAY = 86_400.0
BATCH_SIZE = 10_000
EXAMPLE_EXPORT = Path(__file__).with_name("memories.jsonl")

SCHEMA = """
CREATE TABLE IF NOT EXISTS memories (
    id               TEXT PRIMARY KEY,
    kind             TEXT NOT NULL,
    text             TEXT NOT NULL,
    last_recalled_at INTEGER NOT NULL,           -- Unix time, whole seconds
    retrieval_count  INTEGER NOT NULL DEFAULT 0,
    importance       REAL NOT NULL,
    frequency        REAL NOT NULL,
    is_procedural    INTEGER NOT NULL DEFAULT 0, -- 0 or 1
    keep_forever     INTEGER NOT NULL DEFAULT 0, -- 0 or 1
    tier             TEXT,                       -- set by retier()
    action           TEXT
);
CREATE INDEX IF NOT EXISTS memories_action ON memories (action);
"""


def connect(path: str | Path) -> sqlite3.Connection:
    conn = sqlite3.connect(path)
    conn.executescript(SCHEMA)
    return conn


def import_export(conn: sqlite3.Connection, lines: Iterable[str], now: int) -> int:
    """Add the object-form records of a JSON Lines export; returns how many.

    Times are whole seconds, so re-tiering at the same `now` gives back the
    export's days since recall exactly (0.1 day is 8640 s, and 8640 / 86400
    is the double nearest 0.1)."""
    rows = []
    for line in lines:
        if not line.strip() or not line.lstrip().startswith("{"):
            continue  # blank lines, and bare arrays that carry no id or text
        item = json.loads(line)
        rows.append((
            item["id"], item["kind"], item["text"],
            now - round(item["days_since_recall"] * DAY),
            item["retrieval_count"], item["importance"], item["frequency"],
            int(item["is_procedural"]), int(item["keep_forever"]),
        ))
    with conn:
        conn.executemany(
            "INSERT INTO memories (id, kind, text, last_recalled_at, retrieval_count,"
            " importance, frequency, is_procedural, keep_forever)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            rows,
        )
    return len(rows)


def recall(conn: sqlite3.Connection, memory_id: str, now: int) -> None:
    """The assistant used this item: it was recalled now, once more."""
    with conn:
        conn.execute(
            "UPDATE memories SET last_recalled_at = ?, retrieval_count = retrieval_count + 1"
            " WHERE id = ?",
            (now, memory_id),
        )


def retier(conn: sqlite3.Connection, now: int) -> int:
    """Re-tier every row as of `now`; returns how many rows were scored."""
    result = quillmarrow_engine.retier(
        conn, "memories", recalled_at="last_recalled_at", now=now, batch_size=BATCH_SIZE
    )
    return result.rows


def prompt_items(conn: sqlite3.Connection, limit: int, now: int) -> list[tuple[str, str, float]]:
    """The items to inject into the prompt, best retained first: (id, text, retention).

    Retention is computed here, as of `now`, from the same columns retier
    reads, so it is exactly what retier would have stored."""
    rows = conn.execute(
        "SELECT id, text, last_recalled_at, retrieval_count, importance, frequency"
        " FROM memories WHERE action = 'inject_to_prompt'"
    ).fetchall()
    if not rows:
        return []
    ids, texts, recalled, count, importance, frequency = zip(*rows)
    days = [(now - seconds) / DAY for seconds in recalled]
    retention = quillmarrow_engine.score_arrays(days, count, importance, frequency).retention.tolist()
    ranked = sorted(zip(ids, texts, retention), key=lambda item: (-item[2], item[0]))
    return ranked[:limit]


def prompt_section(items: Iterable[tuple[str, str, float]]) -> str:
    return "What you remember about the user:\n" + "".join(f"- {text}\n" for _, text, _ in items)


def main() -> None:
    parser = argparse.ArgumentParser(description="Re-tier a SQLite memory store and print the prompt section.")
    parser.add_argument("database", help="SQLite file, created if missing")
    parser.add_argument("--limit", type=int, default=10, help="items in the prompt (default 10)")
    parser.add_argument("--now", help="the present moment: ISO-8601 or Unix seconds (default: now)")
    args = parser.parse_args()
    now = int(parse_now(args.now)) if args.now is not None else int(time.time())
    conn = connect(args.database)
    if conn.execute("SELECT count(*) FROM memories").fetchone()[0] == 0:
        with open(EXAMPLE_EXPORT, encoding="utf-8") as export:
            print(f"imported {import_export(conn, export, now)} items from {EXAMPLE_EXPORT.name}")
    print(f"re-tiered {retier(conn, now)} items")
    for tier, count in conn.execute(
        "SELECT tier, count(*) FROM memories GROUP BY tier ORDER BY count(*) DESC, tier"
    ):
        print(f"  {tier:<16} {count:>6}")
    print()
    print(prompt_section(prompt_items(conn, args.limit, now)), end="")
    conn.close()


if __name__ == "__main__":
    main()
