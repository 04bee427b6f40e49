"""tier-jsonl against run('tier-batch') on the same records, in one run.

    python bench/jsonl.py                      # 1,000,000-line export, 5 rounds
    python bench/jsonl.py --lines 200000 --rounds 3 --no-memory
    python bench/jsonl.py --export big.jsonl   # an export made before
    python bench/jsonl.py --long-line          # only the peak memory on one 400 MB line

The export is made by examples/make_memories.py in a temporary folder (about
206 MB for 1,000,000 lines). Each round times, in turn:

  - run('tier-batch', P) in this process, P being every non-blank line of the
    export joined into one {"items":[...]} payload (building P not timed);
  - the whole command `quillmarrow-engine tier-jsonl EXPORT -o OUT` with ids
    (the default), as a user runs it: process start, imports, reading the
    file and writing the decisions included.

Both rates are the bytes of those records per second, so their ratio is the
share of the engine's batch speed the command reaches; the target is 0.70.
Medians over the rounds; the command's CPU time (user + system) is shown too,
since on a busy machine wall-clock time includes time spent waiting for a
core. First, unless --no-memory, the command's peak resident memory on an
input of about 1 GB (the export repeated), against the target of 100 MB.
--long-line measures instead the peak on a file whose second of three lines
is 400 MB long (a bad line, longer than the default --max-line-bytes, set
aside with --errors), plain and gzip.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RATIO_TARGET = 0.70
MEMORY_TARGET_MB = 100
GIGABYTE = 10**9


def make_export(folder: Path, lines: int) -> Path:
    path = folder / "export.jsonl"
    subprocess.run(
        [sys.executable, str(ROOT / "examples" / "make_memories.py"), "-n", str(lines),
         "-o", str(path)],
        check=True,
    )
    return path


def command(export: Path, output: Path) -> list[str]:
    return [sys.executable, "-m", "quillmarrow_engine.cli", "tier-jsonl", str(export),
            "-o", str(output), "-q"]


def timed_command(args: list[str]) -> tuple[float, float, int]:
    """Wall seconds, CPU seconds and peak resident KiB of one run of args."""
    start = time.perf_counter()
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(args)} exited with {process.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def peak_memory(export: Path, folder: Path) -> None:
    """The command's peak resident memory on about 1 GB: the export repeated."""
    large = folder / "large.jsonl"
    with open(export, "rb") as src, open(large, "wb") as dst:
        while dst.tell() < GIGABYTE:
            src.seek(0)
            while chunk := src.read(1 << 24):
                dst.write(chunk)
    size = large.stat().st_size
    seconds, _, peak_kib = timed_command(command(large, folder / "large-decisions.jsonl"))
    large.unlink()
    peak_mb = peak_kib * 1024 / 1e6
    print(f"peak memory on {size / 1e9:.2f} GB: {peak_mb:.0f} MB in {seconds:.1f} s "
          f"(target < {MEMORY_TARGET_MB} MB): {'PASS' if peak_mb < MEMORY_TARGET_MB else 'FAIL'}")


LONG_LINE_MB = 400


def long_line_memory(folder: Path) -> None:
    """The command's peak resident memory on one line of LONG_LINE_MB."""
    record = b'"days_since_recall":2,"retrieval_count":3,"importance":0.5,"frequency":0.2}\n'
    path = folder / "long-line.jsonl"
    with open(path, "wb") as out:
        out.write(b'{"id":"a",' + record)
        out.write(b'{"id":"long","pad":"')
        block = b"x" * (1 << 20)
        for _ in range(LONG_LINE_MB):
            out.write(block)
        out.write(b'",' + record + b'{"id":"c",' + record)
    zipped = folder / "long-line.jsonl.gz"
    subprocess.run(["gzip", "-1", "-k", str(path)], check=True)
    for source in (path, zipped):
        args = [sys.executable, "-m", "quillmarrow_engine.cli", "tier-jsonl", str(source),
                "-o", str(folder / "out.jsonl"), "--errors", str(folder / "bad.jsonl"), "-q"]
        start = time.perf_counter()
        process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        print(f"one {LONG_LINE_MB} MB line{' (gzip)' if source == zipped else ''}: peak memory "
              f"{usage.ru_maxrss * 1024 / 1e6:.0f} MB in {seconds:.1f} s, exit status {code}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--export", type=Path, help="an existing export to use instead")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-memory", action="store_true", help="skip the 1 GB memory run")
    parser.add_argument("--long-line", action="store_true",
                        help=f"only the peak memory on a line of {LONG_LINE_MB} MB")
    args = parser.parse_args()
    if args.long_line:
        with tempfile.TemporaryDirectory(prefix="qm-bench-jsonl-") as tmp:
            long_line_memory(Path(tmp))
        return

    from quillmarrow_engine_native import run

    with tempfile.TemporaryDirectory(prefix="qm-bench-jsonl-") as tmp:
        folder = Path(tmp)
        export = args.export or make_export(folder, args.lines)
        # First, while this process is small: a child's peak memory as the
        # system reports it includes what it shared with its parent.
        if not args.no_memory:
            peak_memory(export, folder)
        data = export.read_bytes()
        records = [line for line in data.split(b"\n") if line.strip(b" \t\r")]
        record_bytes = sum(map(len, records))
        payload = '{"items":[' + b",".join(records).decode() + "]}"
        del data
        output = folder / "decisions.jsonl"
        print(f"export: {export} ({len(records):,} records, {record_bytes / 1e6:.1f} MB of records)")

        run("tier-batch", payload)  # warm-up, and the file into the page cache:
        timed_command(command(export, output))
        batch, batch_cpu, wall, cpu = [], [], [], []
        for _ in range(args.rounds):
            start, start_cpu = time.perf_counter(), time.process_time()
            run("tier-batch", payload)
            batch.append(time.perf_counter() - start)
            batch_cpu.append(time.process_time() - start_cpu)
            seconds, cpu_seconds, _ = timed_command(command(export, output))
            wall.append(seconds)
            cpu.append(cpu_seconds)
        del payload

        batch_rate = record_bytes / statistics.median(batch)
        jsonl_rate = record_bytes / statistics.median(wall)
        ratio = jsonl_rate / batch_rate
        print(f"run('tier-batch')          {statistics.median(batch):7.3f} s  "
              f"{batch_rate / 1e6:7.0f} MB/s  {len(records) / statistics.median(batch) / 1e6:5.2f} M items/s"
              f"  (CPU {statistics.median(batch_cpu):.3f} s)")
        print(f"tier-jsonl (whole command) {statistics.median(wall):7.3f} s  "
              f"{jsonl_rate / 1e6:7.0f} MB/s  {len(records) / statistics.median(wall) / 1e6:5.2f} M items/s"
              f"  (CPU {statistics.median(cpu):.3f} s)")
        print(f"ratio {ratio:.2f} (target {RATIO_TARGET:.2f}): "
              f"{'PASS' if ratio >= RATIO_TARGET else 'FAIL'}")
        print(f"CPU-time ratio {statistics.median(batch_cpu) / statistics.median(cpu):.2f} "
              "(information: the command's CPU time, both threads and process start included)")
        print(f"samples: batch {[round(x, 3) for x in batch]}, tier-jsonl {[round(x, 3) for x in wall]}")



if __name__ == "__main__":
    main()
