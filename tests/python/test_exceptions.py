"""The exceptions that run raises, and the state it leaves behind."""

import traceback

import pytest

BATCH = '{"items":[[0,0,0,0],[8,20,0.5,0.5],{"days_since_recall":1,"retrieval_count":0,"importance":0,"frequency":0,"keep_forever":true}]}'
PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

ENGINE_ERRORS = [
    ("nope", "{}", "unknown command: nope"),
    ("Tier", "{}", "unknown command: Tier"),
    ("tier", "{", "EOF while parsing an object at line 1 column 1"),
    ("tier", "", "EOF while parsing a value at line 1 column 0"),
    ("nope", "", "EOF while parsing a value at line 1 column 0"),
    ("nope", "[1,]", "trailing comma at line 1 column 4"),
    ("tier-batch", "{}", "missing required field: items"),
    ("tier", "{}", "missing field `days_since_recall`"),
    ("score", "[1,2,3]", "invalid length 3, expected struct RetentionInput with 4 elements"),
]


@pytest.mark.parametrize("command, payload, message", ENGINE_ERRORS)
def test_engine_errors_raise_runtime_error_with_the_text_unchanged(run, command, payload, message):
    with pytest.raises(RuntimeError) as info:
        run(command, payload)
    error = info.value
    assert type(error) is RuntimeError
    assert str(error) == message
    assert error.args == (message,)
    assert error.__cause__ is None
    assert error.__context__ is None
    assert error.__suppress_context__ is False


def test_syntax_error_is_not_a_value_error(run):
    with pytest.raises(Exception) as info:
        run("tier", "{")
    assert not isinstance(info.value, ValueError)


def test_argument_type_error_hides_the_handled_exception(run):
    try:
        raise KeyError("the handled one")
    except KeyError as exc:
        handled = exc
        with pytest.raises(TypeError) as info:
            run(1, "{}")
    error = info.value
    message = "argument 'command': 'int' object cannot be converted to 'PyString'"
    assert str(error) == message
    assert error.args == (message,)
    assert error.__cause__ is None
    assert error.__suppress_context__ is True
    assert error.__context__ is handled
    printed = "".join(traceback.format_exception(error))
    assert "the handled one" not in printed
    assert "During handling" not in printed
    assert message in printed


def test_argument_type_error_outside_an_except_block(run):
    with pytest.raises(TypeError) as info:
        run("tier", None)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None


@pytest.mark.parametrize(
    "args, expected_type",
    [
        (("nope", "{}"), RuntimeError),
        (("tier", "{"), RuntimeError),
        (("a", "b", "c"), TypeError),
        (("\ud800", "{}"), UnicodeEncodeError),
    ],
)
def test_error_raised_in_an_except_block_gets_the_handled_exception_as_context(
    run, args, expected_type
):
    try:
        raise LookupError("handled")
    except LookupError as exc:
        handled = exc
        with pytest.raises(expected_type) as info:
            run(*args)
    assert info.value.__context__ is handled
    assert info.value.__suppress_context__ is False
    assert "During handling" in "".join(traceback.format_exception(info.value))


def test_module_is_unchanged_after_failures(run):
    expected = run("tier-batch", BATCH)
    failures = [
        (("nope", "{}"), RuntimeError),
        (("tier", "{"), RuntimeError),
        (("tier-batch", '{"items":[[0,0,0,0],{}]}'), RuntimeError),
        ((1, 2), TypeError),
        (("a",), TypeError),
        (("\udc80", "{}"), UnicodeEncodeError),
    ]
    for args, error in failures:
        with pytest.raises(error):
            run(*args)
        assert run("tier-batch", BATCH) == expected


def test_a_failed_batch_leaves_nothing_behind(run):
    # The second element lacks a member: no output, although the first is valid.
    with pytest.raises(RuntimeError) as info:
        run("tier-batch", '{"items":[[0,0,0,0],{"days_since_recall":1}]}')
    assert str(info.value) == "missing field `retrieval_count`"


def test_panic_exception_class(run, hooks, native):
    with pytest.raises(BaseException) as info:
        run(hooks + "panic", "broken invariant")
    panic_class = type(info.value)
    assert panic_class.__name__ == "PanicException"
    assert panic_class.__qualname__ == "PanicException"
    assert panic_class.__module__ == "pyo3_runtime"
    assert panic_class.__doc__ == PANIC_DOC
    assert panic_class.__bases__ == (BaseException,)
    assert not issubclass(panic_class, Exception)
    assert info.value.args == ("broken invariant",)
    assert str(info.value) == "broken invariant"
    assert "PanicException" not in dir(native)
    assert panic_class not in vars(native).values()


def test_panic_is_not_caught_by_except_exception(run, hooks):
    caught_by = None
    try:
        try:
            run(hooks + "panic", "boom")
        except Exception:
            caught_by = "Exception"
    except BaseException as exc:
        caught_by = "BaseException"
        assert issubclass(type(exc), BaseException)
    assert caught_by == "BaseException"


@pytest.mark.parametrize(
    "hook, payload, message",
    [
        ("panic", "boom", "boom"),
        ("panic", "", ""),
        ("panic", "caf\u00e9 \U0001f600", "caf\u00e9 \U0001f600"),
        ("throw", "", "panic from Rust code"),
    ],
)
def test_panic_messages(run, hooks, hook, payload, message):
    with pytest.raises(BaseException) as info:
        run(hooks + hook, payload)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)


def test_panic_class_is_made_once(run, hooks):
    classes = set()
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            run(hooks + "panic", "x")
        classes.add(type(info.value))
    assert len(classes) == 1


def test_panic_in_an_except_block_gets_context(run, hooks):
    try:
        raise KeyError("the handled one")
    except KeyError as exc:
        handled = exc
        with pytest.raises(BaseException) as info:
            run(hooks + "panic", "x")
    assert info.value.__context__ is handled


def test_result_str_failure_is_a_panic(run, hooks, capfd):
    with pytest.raises(BaseException) as info:
        run(hooks + "invalid-utf8", "")
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("Python API call failed",)
    # The interpreter's own error was printed before the panic.
    assert "UnicodeDecodeError" in capfd.readouterr().err


def test_allocation_failure_in_the_boundary_is_a_memory_error(run, hooks):
    expected = run("tier-batch", BATCH)
    with pytest.raises(MemoryError):
        run(hooks + "bad-alloc", "")
    assert run("tier-batch", BATCH) == expected


def test_module_is_usable_after_panics(run, hooks):
    expected = run("tier-batch", BATCH)
    for hook in ["panic", "throw", "invalid-utf8"]:
        with pytest.raises(BaseException):
            run(hooks + hook, "")
        assert run("tier-batch", BATCH) == expected


def test_unknown_hook_is_an_engine_error(run, hooks):
    with pytest.raises(RuntimeError) as info:
        run(hooks + "nothing", "")
    assert str(info.value) == "unknown test hook: nothing"
