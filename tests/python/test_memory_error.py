"""Memory exhaustion during a call raises MemoryError and the module goes on.

Each test runs in a fresh interpreter whose address space is capped a little
above what it already uses, so that the engine's allocations for one huge
payload fail while the interpreter itself still has room to work.
"""

import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc/self/statm"
)

SCRIPT = textwrap.dedent(
    """
    import resource
    import quillmarrow_engine_native as native

    SMALL = {
        "tier-batch": '{"items":[[3,2,0.5,0.5],[40,1,0.2,0.1,true]]}',
        "tier": "[3,2,0.5,0.5,false,true]",
        "score": "[3,2,0.5,0.5]",
    }
    expected = {command: native.run(command, text) for command, text in SMALL.items()}

    # About 200 MB of text holding a string of 100,000,000 escaped line
    # feeds: every command reads it for syntax, and decoding an escaped
    # string needs a buffer for its contents that outgrows the headroom
    # ("tier" and "score" would also keep it and quote it in their error).
    payload = (
        '{"days_since_recall":"' + "\\\\n" * 100_000_000 + '","items":[[1,2,0.5,0.5]]}'
    )

    def address_space():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = address_space() + HEADROOM
    if hard != resource.RLIM_INFINITY and hard < limit:
        print("SKIP: hard limit too low")
        raise SystemExit(0)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))

    for command in COMMANDS:
        try:
            native.run(command, payload)
        except MemoryError:
            print(command, "MemoryError")
        except BaseException as exc:
            print(command, type(exc).__name__, exc)
        else:
            print(command, "no error")
        # Everything the failed call held is free again.
        for small, text in SMALL.items():
            assert native.run(small, text) == expected[small], (command, small)
        print(command, "usable")
    """
)

COMMANDS = ["tier-batch", "tier", "score", "nope"]


def test_engine_allocation_failure_raises_memory_error(run_python):
    code = f"COMMANDS = {COMMANDS!r}\nHEADROOM = 128 * 1024 * 1024\n" + SCRIPT
    result = run_python(code)
    if result.stdout.startswith("SKIP:"):
        pytest.skip(result.stdout.strip())
    assert result.returncode == 0, result.stderr
    expected = []
    for command in COMMANDS:
        expected += [f"{command} MemoryError", f"{command} usable"]
    assert result.stdout.split("\n")[:-1] == expected
