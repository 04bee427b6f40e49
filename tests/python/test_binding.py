"""Binding and conversion of the arguments of run(command, payload_json)."""

import json
import sys

import pytest

ZERO_TIER = '{"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0}'
ZERO_TIER_OUTPUT = (
    '{"ok":true,"result":{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}}'
)
MISSING_BOTH = "run() missing 2 required positional arguments: 'command' and 'payload_json'"
MISSING_COMMAND = "run() missing 1 required positional argument: 'command'"
MISSING_PAYLOAD = "run() missing 1 required positional argument: 'payload_json'"


def too_many(n):
    return f"run() takes 2 positional arguments but {n} were given"


def unexpected(name):
    return f"run() got an unexpected keyword argument '{name}'"


def multiple(name):
    return f"run() got multiple values for argument '{name}'"


def not_a_string(parameter, type_name):
    return f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("tier", ZERO_TIER), {}),
        (("tier",), {"payload_json": ZERO_TIER}),
        ((), {"command": "tier", "payload_json": ZERO_TIER}),
        ((), {"payload_json": ZERO_TIER, "command": "tier"}),
    ],
    ids=["positional", "mixed", "keywords", "keywords-reversed"],
)
def test_positional_and_keyword_binding_agree(run, args, kwargs):
    assert run(*args, **kwargs) == ZERO_TIER_OUTPUT


# Every wrong call, with the one message it must produce. The cases pin the
# order of the checks: too many positionals before any keyword, keywords in
# tuple order, keywords before the missing check.
BINDING_ERRORS = [
    ((), {}, MISSING_BOTH),
    (("tier",), {}, MISSING_PAYLOAD),
    ((), {"payload_json": "{}"}, MISSING_COMMAND),
    ((), {"command": "tier"}, MISSING_PAYLOAD),
    (("a", "b", "c"), {}, too_many(3)),
    (("a", "b", "c", "d", "e"), {}, too_many(5)),
    (("a", "b", "c"), {"x": 1}, too_many(3)),
    (("a", "b", "c"), {"command": "x"}, too_many(3)),
    ((1, 2, 3), {}, too_many(3)),
    (("a", "b"), {"x": 1}, unexpected("x")),
    (("a",), {"x": 1}, unexpected("x")),
    ((), {"x": 1}, unexpected("x")),
    (("a", "b"), {"Command": "c"}, unexpected("Command")),
    (("a", "b"), {"COMMAND": "c"}, unexpected("COMMAND")),
    (("a", "b"), {"command ": "c"}, unexpected("command ")),
    (("a", "b"), {"comman": "c"}, unexpected("comman")),
    (("a", "b"), {"commands": "c"}, unexpected("commands")),
    (("a", "b"), {"payload": "c"}, unexpected("payload")),
    (("a", "b"), {"payload_json_": "c"}, unexpected("payload_json_")),
    (("a", "b"), {"command\0": "c"}, unexpected("command\0")),
    (("a", "b"), {"": "c"}, unexpected("")),
    (("a", "b"), {"x": 1, "command": "c"}, unexpected("x")),
    (("a", "b"), {"command": "c", "x": 1}, multiple("command")),
    (("a", "b"), {"command": "c"}, multiple("command")),
    (("a", "b"), {"payload_json": "c"}, multiple("payload_json")),
    (("a",), {"command": "c", "payload_json": "d"}, multiple("command")),
    (("a",), {"payload_json": "d", "command": "c"}, multiple("command")),
    ((1,), {"command": 2}, multiple("command")),
    ((1, 2), {}, not_a_string("command", "int")),
    ((b"tier", "{}"), {}, not_a_string("command", "bytes")),
    (("tier", None), {}, not_a_string("payload_json", "NoneType")),
    (("tier", b"{}"), {}, not_a_string("payload_json", "bytes")),
    (("tier", 1.5), {}, not_a_string("payload_json", "float")),
    (("tier", bytearray(b"{}")), {}, not_a_string("payload_json", "bytearray")),
    ((["tier"], "{}"), {}, not_a_string("command", "list")),
    ((), {"payload_json": 1, "command": 2}, not_a_string("command", "int")),
    ((), {"payload_json": 1, "command": "tier"}, not_a_string("payload_json", "int")),
    ((1, "\ud800"), {}, not_a_string("command", "int")),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_wrong_calls_raise_type_error(run, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        run(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_type_name_is_the_qualified_name(run):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        run("tier", Outer.Inner())
    expected = "test_type_name_is_the_qualified_name.<locals>.Outer.Inner"
    assert str(info.value) == not_a_string("payload_json", expected)


class ShownAs(str):
    def __str__(self):
        return "shown"


class Unprintable(str):
    def __str__(self):
        raise ValueError("no text")


def test_keyword_name_is_matched_by_value_and_shown_by_str(run):
    # A str subclass as a keyword name matches by its value...
    with pytest.raises(TypeError, match="multiple values for argument 'command'"):
        run("tier", "{}", **{ShownAs("command"): "x"})
    # ...and an unknown one is shown as its str() gives it.
    with pytest.raises(TypeError) as info:
        run("tier", "{}", **{ShownAs("x"): 1})
    assert str(info.value) == unexpected("shown")


def test_unprintable_keyword_name(run, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with pytest.raises(TypeError) as info:
        run("tier", "{}", **{Unprintable("x"): 1})
    assert str(info.value) == unexpected("<unprintable Unprintable object>")
    assert len(reports) == 1
    assert reports[0].exc_type is ValueError
    assert type(reports[0].object) is Unprintable


@pytest.mark.parametrize(
    "name, shown",
    [
        ("\ud800", "\ufffd\ufffd\ufffd"),
        ("\udfff", "\ufffd\ufffd\ufffd"),
        ("a\ud83d\ude00b", "a" + "\ufffd" * 6 + "b"),
        ("\ud800\u00e9", "\ufffd\ufffd\ufffd\u00e9"),
    ],
)
def test_keyword_name_with_surrogates_is_unknown(run, name, shown):
    # The same repair as Python's own lenient decoder.
    assert name.encode("utf-8", "surrogatepass").decode("utf-8", "replace") == shown
    with pytest.raises(TypeError) as info:
        run("tier", "{}", **{name: 1})
    assert type(info.value) is TypeError
    assert str(info.value) == unexpected(shown)


class OverridingStr(str):
    def __str__(self):
        return "score"

    def encode(self, *args, **kwargs):
        raise AssertionError("the value is read directly")


def test_str_subclass_is_read_by_value(run):
    assert run(OverridingStr("tier"), OverridingStr(ZERO_TIER)) == ZERO_TIER_OUTPUT
    assert run(command=OverridingStr("tier"), payload_json=ZERO_TIER) == ZERO_TIER_OUTPUT


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("\ud800", "{}"), {}),
        (("tier", '"\udc00"'), {}),
        (("ti\ud800er", 1), {}),
        ((), {"payload_json": "{}", "command": "\udfff"}),
    ],
)
def test_unpaired_surrogate_argument_raises_the_interpreters_error(run, args, kwargs):
    with pytest.raises(UnicodeEncodeError) as info:
        run(*args, **kwargs)
    error = info.value
    assert type(error) is UnicodeEncodeError
    assert error.encoding == "utf-8"
    assert error.reason == "surrogates not allowed"
    assert "argument" not in str(error)
    assert error.__cause__ is None
    assert error.__suppress_context__ is False


@pytest.mark.parametrize(
    "command, payload, message",
    [
        ("", "{}", "unknown command: "),
        ("tier\0", "{}", "unknown command: tier\0"),
        ("\0", "{}", "unknown command: \0"),
        ("ti\0er", "[]", "unknown command: ti\0er"),
        ("tier", "{}\0", "trailing characters at line 1 column 3"),
        ("tier", "\0{}", "expected value at line 1 column 1"),
        ("nope", "[1]\0", "trailing characters at line 1 column 4"),
    ],
)
def test_texts_are_passed_whole(run, command, payload, message):
    with pytest.raises(RuntimeError) as info:
        run(command, payload)
    assert str(info.value) == message


def test_non_ascii_texts_reach_the_engine_as_utf8(run):
    # The column counts bytes: e-acute is two bytes of UTF-8.
    with pytest.raises(RuntimeError) as info:
        run("tier", '"\u00e9"x')
    assert str(info.value) == "trailing characters at line 1 column 5"
    with pytest.raises(RuntimeError) as info:
        run("t\u00efer", "{}")
    assert str(info.value) == "unknown command: t\u00efer"


def test_payload_with_embedded_zero_inside_a_string_is_seen(run):
    with pytest.raises(RuntimeError) as info:
        run("tier", '{"a\0":1}')
    assert str(info.value) == (
        "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"
    )


def test_result_is_a_new_exact_str(run):
    payload = json.dumps([0, 0, 0, 0])
    first = run("tier", payload)
    second = run("tier", payload)
    assert type(first) is str
    assert first == second == ZERO_TIER_OUTPUT
