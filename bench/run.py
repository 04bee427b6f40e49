"""Benchmark of quillmarrow_engine_native.run against Python baselines.

    python bench/run.py            # full run (a few minutes)
    python bench/run.py --quick    # short run (well under two minutes)
    python bench/run.py --json results.json

One run, one machine, every number measured in the same process (the memory
figure in a fresh subprocess).  Each timing is the median of repeated samples
taken after a warm-up; a sample times a loop of calls sized so that it lasts
long enough for the clock (timeit's loop, garbage collector off).  The
implementations compared with each other are sampled in turn, round after
round, so they see the same machine load.  ``--timer cpu`` measures process
CPU time instead of wall-clock time: much steadier when other jobs share the
cores.

Before timing, the baselines are checked against the engine on the benchmark
inputs: the pure-Python reference must produce the engine's text byte for
byte; the orjson and NumPy baselines must agree on every tier and action and
have their retention differences counted.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import statistics
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import baseline_python  # noqa: E402
import workload  # noqa: E402
from memory_probe import probe  # noqa: E402

try:
    import orjson
except ImportError:  # pragma: no cover - the bench extra is missing
    orjson = None
try:
    import numpy
except ImportError:  # pragma: no cover
    numpy = None

if orjson is not None:
    import baseline_orjson
if orjson is not None and numpy is not None:
    import baseline_numpy

ENGINE = "engine"
PYTHON = "pure-python"
ORJSON = "orjson+loop"
NUMPY = "orjson+numpy"
ORJSON_IO = "orjson loads+dumps"

SIZES = (1_000, 10_000, 100_000, 1_000_000)

# Standard JSON files that libraries measure their readers on, beside the
# repository (../shared/bench-data); the reading benchmark skips without them.
BENCH_DATA = os.path.join(HERE, "..", "..", "shared", "bench-data")
READ_FILES = ("canada.json", "citm_catalog.json", "twitter.json")


TIMERS = {
    # wall clock, the default
    "wall": time.perf_counter_ns,
    # CPU time of this process: steadier when other jobs share the cores
    "cpu": time.process_time_ns,
}


class Settings:
    def __init__(self, quick: bool, timer: str = "wall"):
        self.quick = quick
        self.timer_name = timer
        self.timer = TIMERS[timer]
        # a sample lasts at least this long (a loop of calls)
        self.sample_ns = 10_000_000 if quick else 40_000_000
        # samples per measurement: at least min, up to max while within budget
        self.min_repeats = 3
        self.max_repeats = 9 if quick else 21
        self.budget_s = 1.5 if quick else 6.0
        # batch sizes at which the baselines run (the engine runs at all)
        self.baseline_sizes = SIZES[:3] if quick else SIZES
        self.check_sizes = (1_000, 10_000) if quick else (1_000, 10_000, 100_000)
        self.memory_impls = ("engine",) if quick else ("engine", "orjson", "numpy", "python")


# ------------------------------------------------------------------ timing


def measure(stmts: dict[str, str], namespace: dict, settings: Settings) -> dict[str, dict]:
    """Median nanoseconds per execution of each statement.

    The statements are sampled in turn, round after round, so that the ones
    compared with each other see the same load on a shared machine."""
    timers, loops = {}, {}
    for name, stmt in stmts.items():
        timer = timeit.Timer(stmt, globals=namespace, timer=settings.timer)
        first = timer.timeit(1)  # warm-up and a first estimate
        number = max(1, math.ceil(settings.sample_ns / max(first, 1)))
        if number > 1:
            timer.timeit(number)  # warm-up at the sample size
        timers[name], loops[name] = timer, number
    samples = {name: [] for name in stmts}
    budget = settings.budget_s * len(stmts)
    started = time.perf_counter()
    for rounds in range(1, settings.max_repeats + 1):
        for name, timer in timers.items():
            gc.collect()
            samples[name].append(timer.timeit(loops[name]) / loops[name])
        if rounds >= settings.min_repeats and time.perf_counter() - started > budget:
            break
    return {
        name: {
            "median_ns": statistics.median(values),
            "min_ns": min(values),
            "max_ns": max(values),
            "samples": len(values),
            "loop": loops[name],
        }
        for name, values in samples.items()
    }


def read_whole(run, text: str) -> None:
    """The engine reading a whole JSON text and nothing else: every command
    reads all of its payload before it looks at a field, so a document
    without "items" is read to its end and then refused."""
    try:
        run("tier-batch", text)
    except RuntimeError as exc:
        if str(exc) != "missing required field: items":
            raise


def load_read_files() -> dict[str, str]:
    """The standard files that are present, as text ({} without ../shared)."""
    texts = {}
    for name in READ_FILES:
        path = os.path.join(BENCH_DATA, name)
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                texts[name] = f.read()
    return texts


# ------------------------------------------------------------ correctness


def _first_difference(a: str, b: str) -> str:
    n = next((k for k in range(min(len(a), len(b))) if a[k] != b[k]), min(len(a), len(b)))
    lo = max(0, n - 80)
    return "at byte %d:\n  engine:   ...%s\n  baseline: ...%s" % (n, a[lo : n + 80], b[lo : n + 80])


def _compare_decisions(engine_text: str, other, name: str, exact_retention: bool) -> dict:
    mine = json.loads(engine_text)["result"]["decisions"]
    theirs = json.loads(other)["result"]["decisions"]
    if len(mine) != len(theirs):
        return {"baseline": name, "fatal": "%d decisions, engine gave %d" % (len(theirs), len(mine))}
    labels = retentions = label_by_retention = 0
    worst = 0.0
    for a, b in zip(mine, theirs):
        same_labels = a["action"] == b["action"] and a["tier"] == b["tier"]
        if a["retention"] != b["retention"]:
            retentions += 1
            worst = max(worst, abs(a["retention"] - b["retention"]) / max(abs(a["retention"]), 5e-324))
            if not same_labels:
                label_by_retention += 1
        elif not same_labels:
            labels += 1
    report = {
        "baseline": name,
        "decisions": len(mine),
        "label_mismatches": labels + label_by_retention,
        "retention_mismatches": retentions,
        "max_relative_difference": worst,
    }
    # Labels must agree unless a different last bit of a retention moved it
    # across a threshold; retentions must be identical where the same libm
    # functions are used.
    if labels or (exact_retention and retentions):
        report["fatal"] = "disagrees with the engine"
    return report


def check(engine_run, payloads: dict, settings: Settings) -> list[dict]:
    reports = []
    problems = []
    for command in ("score", "tier"):
        mine = engine_run(command, workload.TYPICAL_PAYLOAD)
        ref = baseline_python.run(command, workload.TYPICAL_PAYLOAD)
        ok = mine == ref
        reports.append({"baseline": PYTHON, "input": command + " S", "identical": ok})
        if not ok:
            problems.append("%s on S: %s" % (command, _first_difference(mine, ref)))
        if orjson is not None:
            theirs = orjson.loads(baseline_orjson.run(command, workload.TYPICAL_PAYLOAD))
            if json.loads(mine) != theirs:
                problems.append("%s on S: orjson baseline gives %r" % (command, theirs))
    for n in settings.check_sizes:
        payload = payloads[n]
        mine = engine_run("tier-batch", payload)
        ref = baseline_python.run("tier-batch", payload)
        ok = mine == ref
        reports.append({"baseline": PYTHON, "input": "tier-batch %d" % n, "identical": ok})
        if not ok:
            problems.append("tier-batch %d: %s" % (n, _first_difference(mine, ref)))
        others = []
        if orjson is not None:
            others.append((ORJSON, baseline_orjson.run, True))
        if numpy is not None and orjson is not None:
            others.append((NUMPY, baseline_numpy.run, False))
        for name, fn, exact in others:
            r = _compare_decisions(mine, fn("tier-batch", payload), name, exact)
            r["input"] = "tier-batch %d" % n
            reports.append(r)
            if "fatal" in r:
                problems.append("tier-batch %d: %s %s: %s" % (n, name, r["fatal"], r))
    return reports, problems


# ------------------------------------------------------------------ report


def _fmt_ns(ns: float) -> str:
    if ns is None:
        return "-"
    if ns < 10_000:
        return "%.0f ns" % ns
    if ns < 10_000_000:
        return "%.1f us" % (ns / 1e3)
    if ns < 10_000_000_000:
        return "%.1f ms" % (ns / 1e6)
    return "%.2f s" % (ns / 1e9)


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def _load() -> str:
    try:
        return " ".join("%.2f" % x for x in os.getloadavg())
    except OSError:
        return "?"


def _table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(r[k])) for r in [header] + rows) for k in range(len(header))]
    line = lambda r: "  ".join(  # noqa: E731
        str(c).ljust(w) if k == 0 else str(c).rjust(w) for k, (c, w) in enumerate(zip(r, widths))
    )
    out = [line(header), "  ".join("-" * w for w in widths)]
    out += [line(r) for r in rows]
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description="Benchmark of quillmarrow_engine_native.run")
    parser.add_argument("--quick", action="store_true", help="short run (under two minutes)")
    parser.add_argument("--json", metavar="PATH", help="also write every measurement to PATH as JSON")
    parser.add_argument(
        "--timer",
        choices=sorted(TIMERS),
        default="wall",
        help="wall: time.perf_counter_ns (default); cpu: time.process_time_ns, steadier on a busy machine",
    )
    parser.add_argument("--no-memory", action="store_true", help="skip the memory probe")
    parser.add_argument(
        "--baselines-only", action="store_true", help="run without the engine (checks baselines against each other)"
    )
    parser.add_argument(
        "--allow-mismatch", action="store_true", help="time even if a baseline disagrees with the engine"
    )
    args = parser.parse_args()
    settings = Settings(args.quick, args.timer)

    if orjson is None or numpy is None:
        print("note: orjson/numpy missing (pip install '.[bench]'); their baselines are skipped", file=sys.stderr)

    if args.baselines_only:
        engine_run = baseline_python.run  # stands in, so every other step still runs
    else:
        try:
            import quillmarrow_engine_native
        except ImportError as exc:
            print("cannot import quillmarrow_engine_native (%s); install the package first, " % exc, file=sys.stderr)
            print("or pass --baselines-only", file=sys.stderr)
            return 2
        engine_run = quillmarrow_engine_native.run

    started = time.perf_counter()
    print(
        "quillmarrow engine benchmark (%s)  python %s  orjson %s  numpy %s"
        % (
            "quick" if args.quick else "full",
            platform.python_version(),
            getattr(orjson, "__version__", "-"),
            getattr(numpy, "__version__", "-"),
        )
    )
    print("machine: %s, %d cpus, load average %s" % (_cpu_model(), os.cpu_count() or 0, _load()))
    print("timer: %s (%s)" % (args.timer, TIMERS[args.timer].__name__))
    if args.timer == "wall" and os.getloadavg()[0] > (os.cpu_count() or 1):
        print("WARNING: the machine is busy (load above the core count); wall-clock times will be noisy, try --timer cpu")
    if args.baselines_only:
        print("NOTE: --baselines-only: the 'engine' column is the pure-Python baseline")

    t = time.perf_counter()
    payloads = {n: workload.make_batch_payload(n) for n in SIZES}
    print("payloads built in %.1f s (seed %d)" % (time.perf_counter() - t, workload.SEED))

    # ---- correctness
    reports, problems = check(engine_run, payloads, settings)
    print("\nCorrectness on the benchmark inputs")
    rows = []
    for r in reports:
        if "identical" in r:
            rows.append([r["baseline"], r["input"], "byte-identical" if r["identical"] else "DIFFERENT", ""])
        else:
            rows.append(
                [
                    r["baseline"],
                    r["input"],
                    "labels %s" % ("equal" if not r["label_mismatches"] else "%d differ" % r["label_mismatches"]),
                    "retentions: %d of %d differ (max rel %.1e)"
                    % (r["retention_mismatches"], r["decisions"], r["max_relative_difference"]),
                ]
            )
    print(_table(["baseline", "input", "result", "notes"], rows))
    if problems:
        print("\nMISMATCH:\n" + "\n".join(problems))
        if not args.allow_mismatch:
            print("stopping (use --allow-mismatch to time anyway)")
            return 1

    # ---- single calls
    S = workload.TYPICAL_PAYLOAD
    ns = {"S": S, "engine_run": engine_run, "py_run": baseline_python.run}
    impls = [(ENGINE, "engine_run"), (PYTHON, "py_run")]
    if orjson is not None:
        ns.update(orjson_run=baseline_orjson.run, loads=orjson.loads, dumps=orjson.dumps)
        impls.append((ORJSON, "orjson_run"))
    single = {}
    for command in ("score", "tier"):
        stmts = {name: "%s(%r, S)" % (fn, command) for name, fn in impls}
        if orjson is not None:
            ns["R_" + command] = json.loads(engine_run(command, S))  # the envelope as a dict
            stmts[ORJSON_IO] = "loads(S); dumps(R_%s)" % command
        single[command] = measure(stmts, ns, settings)
    print("\nSingle calls, payload S = %d bytes (median per call)" % len(S))
    cols = [name for name, _ in impls] + ([ORJSON_IO] if orjson is not None else [])
    print(_table(["command"] + cols, [[c] + [_fmt_ns(single[c][k]["median_ns"]) for k in cols] for c in single]))

    # ---- batches
    batch_impls = [(ENGINE, "engine_run")]
    batch_impls.append((PYTHON, "py_run"))
    if orjson is not None:
        batch_impls.append((ORJSON, "orjson_run"))
    if orjson is not None and numpy is not None:
        ns["numpy_run"] = baseline_numpy.run
        batch_impls.append((NUMPY, "numpy_run"))
    batch = {}
    for n in SIZES:
        batch[n] = {"payload_bytes": len(payloads[n])}
        ns["P"] = payloads[n]
        stmts = {
            name: "%s('tier-batch', P)" % fn
            for name, fn in batch_impls
            if name == ENGINE or n in settings.baseline_sizes
        }
        for name, m in measure(stmts, ns, settings).items():
            m["items_per_s"] = n / (m["median_ns"] / 1e9)
            m["mb_per_s"] = len(payloads[n]) / 1e6 / (m["median_ns"] / 1e9)
            batch[n][name] = m
        ns.pop("P")
    # Linearity is a property of the engine alone: its 10,000- and
    # 1,000,000-item calls are sampled in turn with nothing else in between,
    # so that the baselines' large allocations, interleaved with the engine in
    # the table above, weigh on neither size more than on the other.
    ns["P_10K"], ns["P_1M"] = payloads[10_000], payloads[1_000_000]
    alone = measure(
        {"10k": "engine_run('tier-batch', P_10K)", "1M": "engine_run('tier-batch', P_1M)"},
        ns,
        settings,
    )
    ns.pop("P_10K")
    ns.pop("P_1M")
    # items per second at 1M over items per second at 10k
    linearity_alone = (alone["10k"]["median_ns"] * 100) / alone["1M"]["median_ns"]

    print("\ntier-batch (median time per call / items per second / payload MB per second)")
    names = [name for name, _ in batch_impls]
    rows = []
    for n in SIZES:
        row = ["%s (%.1f MB)" % (format(n, ","), batch[n]["payload_bytes"] / 1e6)]
        for name in names:
            m = batch[n].get(name)
            row.append(
                "-"
                if m is None
                else "%s  %.2f M/s  %.0f MB/s" % (_fmt_ns(m["median_ns"]), m["items_per_s"] / 1e6, m["mb_per_s"])
            )
        rows.append(row)
    print(_table(["items"] + names, rows))

    # ---- reading standard files
    reading = {}
    texts = {} if args.baselines_only else load_read_files()
    if args.baselines_only:
        print("\nReading standard files: skipped with --baselines-only")
    elif not texts:
        print("\nReading standard files: skipped, %s is absent" % os.path.normpath(BENCH_DATA))
    else:
        ns["read_whole"] = read_whole
        for name, text in texts.items():
            ns["T"] = text
            read_whole(engine_run, text)  # a syntax error would raise here, before timing
            stmts = {ENGINE: "read_whole(engine_run, T)"}
            if orjson is not None:
                stmts["orjson.loads"] = "loads(T)"
            size = len(text.encode("utf-8"))
            reading[name] = {"bytes": size}
            for impl, m in measure(stmts, ns, settings).items():
                m["mb_per_s"] = size / 1e6 / (m["median_ns"] / 1e9)
                reading[name][impl] = m
            ns.pop("T")
        print("\nReading standard files, read only (median per file / MB per second)")
        read_cols = [ENGINE] + (["orjson.loads"] if orjson is not None else [])
        rows = []
        for name, r in reading.items():
            row = ["%s (%.2f MB)" % (name, r["bytes"] / 1e6)]
            row += ["%s  %.0f MB/s" % (_fmt_ns(r[c]["median_ns"]), r[c]["mb_per_s"]) for c in read_cols]
            rows.append(row)
        print(_table(["file"] + read_cols, rows))

    # ---- memory
    memory = {}
    if not args.no_memory:
        impls = settings.memory_impls
        if args.baselines_only:
            impls = tuple(i for i in impls if i != "engine") or ("python",)
        for impl in impls:
            if impl in ("orjson", "numpy") and orjson is None or impl == "numpy" and numpy is None:
                continue
            try:
                memory[impl] = probe(SIZES[-1], impl)
            except Exception as exc:  # report and go on: timings are still useful
                memory[impl] = {"error": str(exc)}
        print("\nPeak memory growth of one tier-batch call with 1,000,000 items (fresh process)")
        rows = []
        for impl, m in memory.items():
            if "error" in m:
                rows.append([impl, "error: " + m["error"][:100], "", "", ""])
                continue
            rows.append(
                [
                    impl,
                    "%.1f MB" % (m["payload_bytes"] / 1e6),
                    "%.1f MB" % (m["output_bytes"] / 1e6),
                    "%.1f MB" % (m["peak_growth_bytes"] / 1e6),
                    "%.2fx%s" % (m["growth_over_payload"], "" if m["peak_reset"] else " (peak not reset)"),
                ]
            )
        print(_table(["implementation", "payload", "returned text", "peak growth", "growth / payload"], rows))

    # ---- ratios
    def med(table, key, name):
        m = table.get(key, {}).get(name)
        return None if m is None else m["median_ns"]

    checks = []

    def add(label, value, fmt, target_text, passed):
        checks.append(
            {
                "check": label,
                "value": value,
                "target": target_text,
                "pass": None if value is None else bool(passed(value)),
                "text": "-" if value is None else fmt % value,
            }
        )

    e_score = med(single, "score", ENGINE)
    io_score = med(single, "score", ORJSON_IO)
    add(
        "score(S): engine time / (orjson.loads + orjson.dumps)",
        e_score / io_score if e_score and io_score else None,
        "%.2f",
        "<= 0.65",
        lambda v: v <= 0.65,
    )
    py_score = med(single, "score", PYTHON)
    add("score(S): pure-python time / engine time", py_score / e_score, "%.1fx", ">= 16x", lambda v: v >= 16)
    e_tier = med(single, "tier", ENGINE)
    py_tier = med(single, "tier", PYTHON)
    add("tier(S): pure-python time / engine time", py_tier / e_tier, "%.1fx", ">= 18x", lambda v: v >= 18)
    e100 = batch[100_000][ENGINE]
    add(
        "tier-batch 100k: engine items per second",
        e100["items_per_s"],
        "%.0f",
        ">= 6,000,000",
        lambda v: v >= 6e6,
    )
    for name, target in ((PYTHON, 14), (NUMPY, 7)):
        other = med(batch, 100_000, name)
        add(
            "tier-batch 100k: %s time / engine time" % name,
            other / e100["median_ns"] if other else None,
            "%.1fx",
            ">= %dx" % target,
            lambda v, t=target: v >= t,
        )
    mem = memory.get("engine", {})
    add(
        "tier-batch 1M: peak memory growth / payload bytes",
        mem.get("growth_over_payload"),
        "%.2fx",
        "<= 2.00x",
        lambda v: v <= 2.0,
    )
    add(
        "tier-batch: items/s at 1M / items/s at 10k (engine alone)",
        linearity_alone,
        "%.2f",
        "0.85 .. 1.15",
        lambda v: 0.85 <= v <= 1.15,
    )
    canada = reading.get("canada.json", {}).get(ENGINE)
    add(
        "read canada.json: engine MB per second",
        canada["mb_per_s"] if canada else None,
        "%.0f",
        ">= 1,000",
        lambda v: v >= 1000,
    )
    print("\nTargets (ratios from this run)")
    mark = {True: "PASS", False: "FAIL", None: "n/a"}
    print(_table(["check", "value", "target", "result"], [[c["check"], c["text"], c["target"], mark[c["pass"]]] for c in checks]))

    info = []
    for label, a, b in (
        ("tier(S): engine / (orjson.loads + orjson.dumps)", e_tier, med(single, "tier", ORJSON_IO)),
        ("score(S): orjson+loop / engine", med(single, "score", ORJSON), e_score),
        ("tier-batch 100k: orjson+loop / engine", med(batch, 100_000, ORJSON), e100["median_ns"]),
        ("tier-batch 1M: pure-python / engine", med(batch, 1_000_000, PYTHON), med(batch, 1_000_000, ENGINE)),
        (
            "tier-batch items/s at 1M / at 10k, interleaved with the baselines",
            med(batch, 10_000, ENGINE) * 100,
            med(batch, 1_000_000, ENGINE),
        ),
        ("tier-batch 1M: orjson+numpy / engine", med(batch, 1_000_000, NUMPY), med(batch, 1_000_000, ENGINE)),
    ):
        if a and b:
            info.append([label, "%.2f" % (a / b)])
    print("\nOther ratios (no target)")
    print(_table(["ratio", "value"], info))
    print("\ntotal time %.0f s, load average now %s" % (time.perf_counter() - started, _load()))

    if args.json:
        result = {
            "mode": "quick" if args.quick else "full",
            "timer": args.timer,
            "baselines_only": args.baselines_only,
            "python": platform.python_version(),
            "orjson": getattr(orjson, "__version__", None),
            "numpy": getattr(numpy, "__version__", None),
            "cpus": os.cpu_count(),
            "seed": workload.SEED,
            "correctness": reports,
            "single": single,
            "batch": {str(n): v for n, v in batch.items()},
            "memory": memory,
            "reading": reading,
            "targets": checks,
        }
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2)
        print("results written to %s" % args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
