"""Properties of run over generated inputs."""

import json
import re

from hypothesis import assume, given, settings
from hypothesis import strategies as st

FIELDS = ["days_since_recall", "retrieval_count", "importance", "frequency"]
POSITION = re.compile(r" at line \d+ column \d+\Z")

numbers = st.one_of(
    st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False),
    st.integers(min_value=-(10**6), max_value=10**6),
    st.sampled_from([0, 0.4, 0.65, 0.8, 7, 30, 180, 1e9]),
)


@st.composite
def tier_inputs(draw):
    """A TierInput in object or array form, flags present or not."""
    values = [draw(numbers) for _ in FIELDS]
    flags = draw(st.lists(st.booleans(), max_size=2))
    if draw(st.booleans()):
        return values + flags
    item = dict(zip(FIELDS, values))
    item.update(zip(["is_procedural", "keep_forever"], flags))
    return item


def result(run, command, value):
    answer = json.loads(run(command, json.dumps(value)))
    assert answer["ok"] is True
    return answer["result"]


@settings(deadline=None)
@given(st.lists(tier_inputs(), max_size=8))
def test_batch_decisions_equal_single_tier_results(run, items):
    decisions = result(run, "tier-batch", {"items": items})["decisions"]
    assert decisions == [result(run, "tier", item) for item in items]


@settings(deadline=None)
@given(st.lists(numbers, min_size=4, max_size=4), st.booleans(), st.booleans())
def test_score_and_tier_report_the_same_retention(run, values, is_procedural, keep_forever):
    score = result(run, "score", values)
    tier = result(run, "tier", values + [is_procedural, keep_forever])
    if keep_forever:
        assert tier == {"action": "keep_forever_tag", "retention": 1.0, "tier": "warm_semantic"}
    else:
        assert tier["retention"] == score["retention"]
    assert 0.0 <= score["retention"] <= 10.0


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(10**299), max_value=10**299)
    | st.floats(min_value=-1e300, max_value=1e300, allow_nan=False, allow_infinity=False)
    | st.text(st.characters(exclude_categories=["Cs"])),
    lambda children: st.lists(children, max_size=5)
    | st.dictionaries(st.text(st.characters(exclude_categories=["Cs"])), children, max_size=5),
    max_leaves=30,
)


@settings(deadline=None, max_examples=300)
@given(
    json_values,
    st.booleans(),
    st.sampled_from([None, 0, 2, "\t"]),
    st.sampled_from([(",", ":"), (", ", ": "), (" ,\r\n", "\t:\n")]),
)
def test_json_written_by_python_is_accepted(run, value, ensure_ascii, indent, separators):
    text = json.dumps(
        value, allow_nan=False, ensure_ascii=ensure_ascii, indent=indent, separators=separators
    )
    for command in ["tier", "nope"]:
        try:
            run(command, text)
        except RuntimeError as exc:
            # Decoding errors and the unknown command are fine; a syntax
            # error (the only kind with a position) is not.
            assert not POSITION.search(str(exc)), (text, str(exc))


@settings(deadline=None)
@given(st.text(st.characters(exclude_categories=["Cs"]), max_size=20))
def test_any_other_command_name_is_unknown(run, name):
    assume(name not in ("score", "tier", "tier-batch"))
    assume(not name.startswith("qm-test-hook:"))
    try:
        run(name, "[]")
    except RuntimeError as exc:
        assert str(exc) == "unknown command: " + name
    else:
        raise AssertionError("accepted " + repr(name))
