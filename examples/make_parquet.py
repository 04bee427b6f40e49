"""Generate a Parquet dataset like a memory store's export, for tier-parquet.

Each file holds rows with an id, the kind of memory and the engine's six
TierInput fields, drawn like examples/make_memories.py draws them (many items
recalled this week, a long tail of old ones; most retrieved a few times, a
few very often), with some rows exactly at the decision thresholds (7, 30
and 180 days; 0 and 3 retrievals). Days have one decimal and importance and
frequency two, so every value reads back from JSON as the same double.

The data are fixed by the seed and each file is drawn on its own, so memory
stays bounded by one file:

    python examples/make_parquet.py /tmp/memories -n 10000000 --files 8
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

DEFAULT_SEED = 20240611
KINDS = ("episodic", "semantic", "procedural")


def memories(rows: int, seed: int, first_id: int = 0) -> pa.Table:
    """rows memories drawn from seed, with ids from first_id on."""
    rng = np.random.default_rng(seed)
    kind_roll = rng.random(rows)
    kind = np.where(kind_roll < 0.55, 0, np.where(kind_roll < 0.85, 1, 2))
    age = rng.random(rows)
    spread = rng.random(rows)
    days = np.select(
        [age < 0.3, age < 0.55, age < 0.85],
        [spread * 7, 7 + spread * 23, 30 + spread * 150],
        180 + spread * 900,
    )
    days = np.round(days, 1)
    tail = rng.random(rows)
    count = np.select(
        [tail < 0.12, tail < 0.72],
        [np.zeros(rows), np.floor(-np.log1p(-rng.random(rows)) * 6)],
        np.floor(np.exp(2.3 + rng.random(rows) * 6.2)),
    ).astype(np.int64)
    # Rows at the thresholds of the decision chain.
    edge = rng.random(rows) < 0.03
    days[edge] = rng.choice([0.0, 7.0, 30.0, 180.0], size=int(edge.sum()))
    edge = rng.random(rows) < 0.03
    count[edge] = rng.choice([0, 3], size=int(edge.sum()))
    importance = np.round(rng.random(rows) ** 0.7, 2)
    frequency = np.round(np.minimum(1.0, count / 40 + rng.random(rows) * 0.3), 2)
    return pa.table(
        {
            "id": pa.array(np.arange(first_id, first_id + rows, dtype=np.int64)),
            "kind": pa.DictionaryArray.from_arrays(pa.array(kind.astype(np.int32)), pa.array(KINDS)),
            "days_since_recall": pa.array(days),
            "retrieval_count": pa.array(count),
            "importance": pa.array(importance),
            "frequency": pa.array(frequency),
            "is_procedural": pa.array(kind == 2),
            "keep_forever": pa.array(rng.random(rows) < 0.02),
        }
    )


def write_dataset(folder: str | os.PathLike[str], rows: int, files: int, seed: int = DEFAULT_SEED) -> list[Path]:
    """Write rows memories split over files Parquet files part-00000.parquet, ...
    into folder (created if need be); return the file paths."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    first = 0
    for index in range(files):
        size = rows // files + (1 if index < rows % files else 0)
        path = folder / f"part-{index:05d}.parquet"
        pq.write_table(memories(size, seed + index, first), path, row_group_size=256 * 1024)
        paths.append(path)
        first += size
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", help="the dataset folder to write")
    parser.add_argument("-n", "--rows", type=int, default=1_000_000, help="rows in all (default 1,000,000)")
    parser.add_argument("--files", type=int, default=4, help="files to spread them over (default 4)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = parser.parse_args()
    write_dataset(args.folder, args.rows, args.files, args.seed)


if __name__ == "__main__":
    main()
