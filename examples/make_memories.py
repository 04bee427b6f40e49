"""Generate examples/memories.jsonl: a realistic export of an assistant's memory store.

One remembered item per line, as the memory store would export it: an id, the
kind of memory and its text beside the engine's six TierInput members. The
engine skips members it does not know, so every line is a TierInput as it is.
A few lines come from an older exporter that wrote the bare array form
[days_since_recall, retrieval_count, importance, frequency, is_procedural,
keep_forever], and a few blank lines separate the exporter's runs.

The output is fixed by the seed, so running the script again writes the
same bytes; without -o it goes to standard output:

    python examples/make_memories.py -o examples/memories.jsonl   # the example export
    python examples/make_memories.py -n 200000 -o /tmp/big.jsonl
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TypeVar

DEFAULT_COUNT = 3000
DEFAULT_SEED = 20240611

TOPICS = ["the quarterly budget", "a flaky test", "the garden plan", "a job offer",
          "the new laptop", "a conference talk", "the move to Lisbon", "a book club pick",
          "the wedding playlist", "a tax question", "the marathon training", "a database outage"]
PLACES = ["Kyoto", "Porto", "the Alps", "Oslo", "Lake Como", "Montreal", "Crete", "Edinburgh"]
DAYS = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "the weekend"]
PREFERENCES = [("editor theme", "dark"), ("coffee", "a flat white"), ("units", "metric"),
               ("meeting time", "mornings"), ("language for examples", "Python"),
               ("reply length", "short answers"), ("date format", "ISO 8601"),
               ("music while working", "lo-fi"), ("airline seat", "the aisle")]
PEOPLE = [("sister", "Ana"), ("manager", "Priya"), ("dog", "Biscuit"), ("partner", "Sam"),
          ("dentist", "Dr. Okafor"), ("best friend", "Tomasz"), ("son", "Leo")]
JOBS = ["a data engineer", "a nurse", "a product designer", "a high-school teacher", "a sound engineer"]
LANGS = ["Python", "Rust", "TypeScript", "Go", "SQL", "Bash"]
PROBLEMS = ["memory leak", "timezone bug", "slow query", "race condition", "packaging error"]
PROCEDURES = [
    "To deploy the {p} service, tag the release and run the deploy pipeline",
    "User formats {l} code with the project's formatter before every commit",
    "Weekly report: export the dashboard, add three highlights, send to {n} on Friday",
    "Back up the photo library to the external drive on the first of the month",
    "When {l} tests fail in CI, rerun once, then check the runner's disk space",
    "Expense claims go through the finance portal with receipts attached as PDF",
]
PINNED = ["User's name is {n}", "User is allergic to peanuts", "User's birthday is {d} March",
          "Never schedule meetings on Sunday", "User prefers to be addressed informally"]


T = TypeVar("T")


def memory_text(rng: random.Random, kind: str, pinned: bool) -> str:
    def pick(seq: Sequence[T]) -> T:
        return seq[int(rng.random() * len(seq))]

    if pinned:
        return pick(PINNED).format(n=pick(PEOPLE)[1], d=1 + int(rng.random() * 28))
    if kind == "procedural":
        return pick(PROCEDURES).format(p=pick(["billing", "search", "auth"]), l=pick(LANGS),
                                       n=pick(PEOPLE)[1])
    if kind == "semantic":
        form = int(rng.random() * 3)
        if form == 0:
            what, value = pick(PREFERENCES)
            return f"User's preferred {what} is {value}"
        if form == 1:
            relation, name = pick(PEOPLE)
            return f"User's {relation} is called {name}"
        return f"User works as {pick(JOBS)}"
    form = int(rng.random() * 3)
    if form == 0:
        return f"Discussed {pick(TOPICS)} with the user on {pick(DAYS)}"
    if form == 1:
        return f"User mentioned a trip to {pick(PLACES)}"
    return f"Helped debug a {pick(LANGS)} {pick(PROBLEMS)}"


def memory(rng: random.Random, number: int) -> dict[str, object]:
    roll = rng.random()
    kind = "episodic" if roll < 0.55 else "semantic" if roll < 0.85 else "procedural"
    pinned = rng.random() < 0.02
    # Days since the last recall: many items were touched this week, a long
    # tail has not been recalled for months or years.
    age = rng.random()
    if age < 0.3:
        days = rng.random() * 7
    elif age < 0.55:
        days = 7 + rng.random() * 23
    elif age < 0.85:
        days = 30 + rng.random() * 150
    else:
        days = 180 + rng.random() * 900
    # Retrievals: most items a few times, a few "hub" memories very often.
    tail = rng.random()
    if tail < 0.12:
        count = 0
    elif tail < 0.72:
        count = int(-math.log(1.0 - rng.random()) * 6)
    else:
        count = int(math.exp(2.3 + rng.random() * 6.2))
    importance = round(rng.random() ** 0.7, 2)
    frequency = round(min(1.0, count / 40 + rng.random() * 0.3), 2)
    return {
        "id": f"mem-{number:06d}",
        "kind": kind,
        "text": memory_text(rng, kind, pinned),
        "days_since_recall": round(days, 1),
        "retrieval_count": count,
        "importance": importance,
        "frequency": frequency,
        "is_procedural": kind == "procedural",
        "keep_forever": pinned,
    }


def export_lines(count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    lines = []
    for number in range(1, count + 1):
        item = memory(rng, number)
        if rng.random() < 0.04:
            fields = ["days_since_recall", "retrieval_count", "importance", "frequency",
                      "is_procedural", "keep_forever"]
            lines.append(json.dumps([item[f] for f in fields], separators=(",", ":")))
        else:
            lines.append(json.dumps(item, separators=(",", ":")))
        if number % 1000 == 0 and number < count:
            lines.append("")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--count", type=int, default=DEFAULT_COUNT, help="items to write")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("-o", "--output", type=Path, help="the file to write (default: standard output)")
    args = parser.parse_args()
    text = "".join(line + "\n" for line in export_lines(args.count, args.seed))
    if args.output is None:
        sys.stdout.write(text)
    else:
        args.output.write_text(text, encoding="utf-8", newline="\n")


if __name__ == "__main__":
    main()
