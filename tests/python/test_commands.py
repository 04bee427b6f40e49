"""The commands end to end through run: outputs and messages."""

import json

import pytest

ZEROS = '{"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0}'

OUTPUTS = [
    ("tier-batch", '{"items":[]}', '{"ok":true,"result":{"decisions":[]}}'),
    ("tier-batch", '{"other":{"x":[1]},"items":[]}', '{"ok":true,"result":{"decisions":[]}}'),
    # A repeated key keeps its last value.
    ("tier-batch", '{"items":[[0,0,0,0]],"items":[]}', '{"ok":true,"result":{"decisions":[]}}'),
    ("score", ZEROS, '{"ok":true,"result":{"boost":1.0,"retention":1.0,"stability":0.001}}'),
    ("score", "[0,0,0,0]", '{"ok":true,"result":{"boost":1.0,"retention":1.0,"stability":0.001}}'),
    # Importance is added to the boost before frequency; the other order gives 3.715.
    (
        "score",
        "[0,5,0.8,0.9]",
        '{"ok":true,"result":{"boost":3.7150000000000003,"retention":3.7150000000000003,'
        '"stability":1.791759469228055}}',
    ),
    (
        "tier",
        ZEROS,
        '{"ok":true,"result":{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}}',
    ),
    (
        "tier",
        " \t\n\r" + ZEROS + " \t\n\r",
        '{"ok":true,"result":{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"}}',
    ),
    (
        "tier",
        "[1000,0,0,0,true,true]",
        '{"ok":true,"result":{"action":"keep_forever_tag","retention":1.0,"tier":"warm_semantic"}}',
    ),
    (
        "tier",
        "[1,0,0.3,0.7]",
        '{"ok":true,"result":{"action":"archive_on_demand","retention":0.0,"tier":"cold"}}',
    ),
    (
        "tier-batch",
        '{"items":[[0,0,0,0],[1000,0,0,0,false,true]]}',
        '{"ok":true,"result":{"decisions":['
        '{"action":"long_term_semantic","retention":1.0,"tier":"warm_semantic"},'
        '{"action":"keep_forever_tag","retention":1.0,"tier":"warm_semantic"}]}}',
    ),
]


@pytest.mark.parametrize("command, payload, output", OUTPUTS)
def test_outputs(run, command, payload, output):
    assert run(command, payload) == output


EMPTY = "EOF while parsing a value at line 1 column 0"
NO_ITEMS = "missing required field: items"

MESSAGES = [
    # The payload is parsed first, whatever the command.
    ("score", "", EMPTY),
    ("tier", "", EMPTY),
    ("tier-batch", "", EMPTY),
    ("nope", "", EMPTY),
    ("", "", EMPTY),
    ("nope", "{", "EOF while parsing an object at line 1 column 1"),
    ("tier", "{} x", "trailing characters at line 1 column 4"),
    ("tier", "{}\n\nx", "trailing characters at line 3 column 1"),
    ("tier", "{}\f", "trailing characters at line 1 column 3"),
    # Names are matched whole and case-sensitively.
    ("nope", "[]", "unknown command: nope"),
    ("", "{}", "unknown command: "),
    ("Tier", "{}", "unknown command: Tier"),
    ("tier ", "{}", "unknown command: tier "),
    (" tier", "{}", "unknown command:  tier"),
    ("tier_batch", "{}", "unknown command: tier_batch"),
    ("TIER-BATCH", "{}", "unknown command: TIER-BATCH"),
    ("scores", "{}", "unknown command: scores"),
    ('say "hi"\n', "{}", 'unknown command: say "hi"\n'),
    # "tier-batch" needs an object whose "items" is an array.
    ("tier-batch", "{}", NO_ITEMS),
    ("tier-batch", "[]", NO_ITEMS),
    ("tier-batch", "null", NO_ITEMS),
    ("tier-batch", '"items"', NO_ITEMS),
    ("tier-batch", "7", NO_ITEMS),
    ("tier-batch", '{"items":null}', NO_ITEMS),
    ("tier-batch", '{"items":{}}', NO_ITEMS),
    ("tier-batch", '{"items":1}', NO_ITEMS),
    ("tier-batch", '{"items":"[]"}', NO_ITEMS),
    ("tier-batch", '{"Items":[]}', NO_ITEMS),
    # The first bad element decides, with its own message and nothing added.
    (
        "tier-batch",
        '{"items":[[0,0,0,0],{"days_since_recall":1,"retrieval_count":2,"importance":0.5}]}',
        "missing field `frequency`",
    ),
    (
        "tier-batch",
        '{"items":[[0,0,0,0],[1],{}]}',
        "invalid length 1, expected struct TierInput with 6 elements",
    ),
    # Decoding errors carry no position.
    ("tier", "null", "invalid type: null, expected struct TierInput"),
    ("score", "1.5", "invalid type: floating point `1.5`, expected struct RetentionInput"),
    ("score", "true", "invalid type: boolean `true`, expected struct RetentionInput"),
    ("score", "[3,2,0.5,0.5,true]", "invalid length 5, expected fewer elements in array"),
    ("tier", "[1,2,3,4,1]", "invalid type: integer `1`, expected a boolean"),
    ("tier", "{}", "missing field `days_since_recall`"),
]


@pytest.mark.parametrize("command, payload, message", MESSAGES)
def test_messages(run, command, payload, message):
    with pytest.raises(RuntimeError) as info:
        run(command, payload)
    assert str(info.value) == message


def keys_in_order(text):
    """Every object's keys, in the order the text writes them."""
    found = []
    json.loads(text, object_pairs_hook=lambda pairs: found.append([k for k, _ in pairs]) or {})
    return found


def test_key_order_of_the_output(run):
    assert keys_in_order(run("score", "[2,3,0.5,0.2]")) == [
        ["boost", "retention", "stability"],
        ["ok", "result"],
    ]
    assert keys_in_order(run("tier", "[2,3,0.5,0.2]")) == [
        ["action", "retention", "tier"],
        ["ok", "result"],
    ]
    assert keys_in_order(run("tier-batch", '{"items":[[2,3,0.5,0.2]]}')) == [
        ["action", "retention", "tier"],
        ["decisions"],
        ["ok", "result"],
    ]


def test_output_is_compact_and_repeatable(run):
    payload = '{"items":[[8,20,0.5,0.5],[45,1000,0,0],[10,5,0.2,0.1,true]]}'
    first = run("tier-batch", payload)
    assert first == run("tier-batch", payload)
    assert not any(c in first for c in " \t\n\r")
    decisions = json.loads(first)["result"]["decisions"]
    assert [(d["tier"], d["action"]) for d in decisions] == [
        ("warm_episodic", "spaced_repetition"),
        ("warm_episodic", "maintain_warm"),
        ("warm_procedural", "keep_procedural"),
    ]


def test_batch_decision_equals_the_single_tier_result(run):
    items = [[8, 20, 0.5, 0.5], [5, 5, 0.2, 0.1, True], [190, 1e7, 1, 1], [1, 0, 0, 0]]
    batch = json.loads(run("tier-batch", json.dumps({"items": items})))["result"]["decisions"]
    singles = [json.loads(run("tier", json.dumps(item)))["result"] for item in items]
    assert batch == singles
