"""Only the interpreter that imported the module first may use it.

A second interpreter in the same process that reaches the module's
initialisation gets ImportError. The check needs a legacy (shared-GIL,
non-isolated) subinterpreter, because an isolated one refuses single-phase
modules before their initialisation runs.
"""

import textwrap

import pytest

SCRIPT = textwrap.dedent(
    '''
    import sys
    import quillmarrow_engine_native as native

    BATCH = '{"items":[[3,2,0.5,0.5]]}'
    before = native.run("tier-batch", BATCH)

    SUB = """
    try:
        import quillmarrow_engine_native
    except ImportError as exc:
        print("sub:", type(exc).__name__, exc, exc.args == (str(exc),), flush=True)
    except BaseException as exc:
        print("sub:", type(exc).__name__, exc, flush=True)
    else:
        print("sub: imported", flush=True)
    """

    def run_in_legacy_subinterpreter(code):
        if sys.version_info < (3, 12):
            import _testcapi
            _testcapi.run_in_subinterp(code)
        elif sys.version_info < (3, 13):
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, code)
            finally:
                interpreters.destroy(interp)
        else:
            import _interpreters
            interp = _interpreters.create("legacy")
            try:
                _interpreters.run_string(interp, code)
            finally:
                _interpreters.destroy(interp)

    try:
        run_in_legacy_subinterpreter(SUB)
    except ImportError as exc:
        print("SKIP:", exc)
        raise SystemExit(0)
    # Twice: a failed import leaves nothing behind that changes the answer.
    run_in_legacy_subinterpreter(SUB)

    assert sys.modules["quillmarrow_engine_native"] is native
    assert native.run("tier-batch", BATCH) == before
    print("main: usable", flush=True)
    '''
)

MESSAGE = "PyO3 modules do not yet support subinterpreters"


def test_import_from_a_second_interpreter_fails(run_python):
    result = run_python(SCRIPT)
    if result.stdout.startswith("SKIP:"):
        pytest.skip(result.stdout.strip())
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:-1] == [
        f"sub: ImportError {MESSAGE} True",
        f"sub: ImportError {MESSAGE} True",
        "main: usable",
    ]
