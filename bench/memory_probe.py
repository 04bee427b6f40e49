"""Peak resident-memory growth of one "tier-batch" call, in a fresh process.

Run as a script it measures one implementation and prints one JSON object:

    python bench/memory_probe.py --items 1000000 [--impl engine|python|orjson|numpy]

The steps, in the child process:

1. import the implementation and make one small warm-up call;
2. build the payload text (the same bytes as the timing runs);
3. release what building it left behind (``gc.collect``, ``malloc_trim``) and
   reset the peak-RSS mark (writing "5" to /proc/self/clear_refs), so the
   baseline is the memory held right before the call, payload included;
4. read VmHWM / VmRSS (and ``ru_maxrss``), make the call, keep the returned
   text alive, and read them again.

The growth is the peak after the call minus the baseline, so the returned text
counts in.  Where the peak mark cannot be reset, the growth is taken from the
resident size before the call and flagged as possibly lower than the truth
(the earlier peak may hide the call's).

``probe()`` runs the script in a subprocess and returns its result.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import resource
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _trim_heap() -> None:
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _implementation(name: str):
    if name == "engine":
        import quillmarrow_engine_native

        return quillmarrow_engine_native.run
    if name == "python":
        import baseline_python

        return baseline_python.run
    if name == "orjson":
        import baseline_orjson

        return baseline_orjson.run
    if name == "numpy":
        import baseline_numpy

        return baseline_numpy.run
    raise SystemExit("unknown implementation: " + name)


def measure(items: int, impl: str) -> dict:
    import workload

    run = _implementation(impl)
    run("tier-batch", workload.make_batch_payload(100))

    payload = workload.make_batch_payload(items)
    if not payload.isascii():
        raise RuntimeError("payload is expected to be ASCII")
    payload_bytes = len(payload)

    gc.collect()
    _trim_heap()
    was_reset = _reset_peak()
    hwm_before = _status_kib("VmHWM")
    rss_before = _status_kib("VmRSS")
    ru_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    out = run("tier-batch", payload)

    hwm_after = _status_kib("VmHWM")
    rss_after = _status_kib("VmRSS")
    ru_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    output_bytes = len(out)  # str of ASCII, or bytes

    base = hwm_before if was_reset else rss_before
    growth = max(0, hwm_after - base) * 1024
    return {
        "impl": impl,
        "items": items,
        "payload_bytes": payload_bytes,
        "output_bytes": output_bytes,
        "peak_reset": was_reset,
        "lower_bound_only": not was_reset and hwm_after <= hwm_before,
        "vmhwm_before_kib": hwm_before,
        "vmhwm_after_kib": hwm_after,
        "vmrss_before_kib": rss_before,
        "vmrss_after_kib": rss_after,
        "ru_maxrss_before_kib": ru_before,
        "ru_maxrss_after_kib": ru_after,
        "peak_growth_bytes": growth,
        "growth_over_payload": growth / payload_bytes,
    }


def probe(items: int, impl: str = "engine", python: str = sys.executable, timeout: float = 600) -> dict:
    """Measure in a fresh interpreter and return the child's result."""
    cmd = [python, os.path.join(HERE, "memory_probe.py"), "--items", str(items), "--impl", impl]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=HERE)
    if done.returncode != 0:
        raise RuntimeError("memory probe failed (%d): %s" % (done.returncode, done.stderr.strip()[-2000:]))
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--items", type=int, default=1_000_000)
    parser.add_argument("--impl", default="engine", choices=("engine", "python", "orjson", "numpy"))
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    print(json.dumps(measure(args.items, args.impl)))


if __name__ == "__main__":
    main()
