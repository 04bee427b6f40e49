"""The module object: attributes, the run function and repeated imports."""

import importlib
import inspect
import sys
import threading

MODULE_NAME = "quillmarrow_engine_native"


def test_module_attributes(native):
    assert native.__name__ == MODULE_NAME
    assert native.__doc__ == ""
    assert native.__all__ == ["run"]
    assert type(native.__all__) is list
    public = {name for name in vars(native) if not name.startswith("__")}
    assert public == {"run"}
    assert native.__file__.endswith((".so", ".pyd"))
    assert ".abi3." in native.__file__ or native.__file__.endswith(".pyd")


def test_run_function_object(native):
    run = native.run
    assert type(run).__name__ == "builtin_function_or_method"
    assert run.__name__ == "run"
    assert run.__qualname__ == "run"
    assert run.__self__ is native
    assert run.__module__ == MODULE_NAME
    assert run.__text_signature__ == "(command, payload_json)"
    assert run.__doc__ is None


def test_run_signature(native):
    parameters = list(inspect.signature(native.run).parameters.values())
    assert [p.name for p in parameters] == ["command", "payload_json"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert all(p.default is inspect.Parameter.empty for p in parameters)


def test_reimport_returns_the_same_module(native):
    saved = sys.modules.pop(MODULE_NAME)
    try:
        again = importlib.import_module(MODULE_NAME)
        assert again is saved is native
        assert again.run is native.run
        assert again.__all__ == ["run"]
    finally:
        sys.modules[MODULE_NAME] = saved


def test_reload_returns_the_same_module(native):
    assert importlib.reload(native) is native
    assert native.__all__ == ["run"]


def test_calls_from_several_threads(run):
    payloads = ['{"items":[[%d,%d,0.5,0.5]]}' % (d, d * 3) for d in range(8)]
    expected = [run("tier-batch", p) for p in payloads]
    results = {}

    def work(index):
        results[index] = [run("tier-batch", p) for p in payloads for _ in range(20)][::20]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {i: expected for i in range(4)}
