"""orjson for the text, a Python loop for the scoring.

Parses with ``orjson.loads``, decodes and scores every record with the same
Python functions as the pure-Python reference (``math.log`` / ``math.exp`` in
the engine's order of operations) and writes the envelope with
``orjson.dumps``.  The answers equal the engine's as values; the text differs
where orjson formats doubles differently (orjson writes 1e16 as
``1e16``, the engine as ``1e+16``), so it is compared structurally.  The result
is left as orjson's ``bytes``, which spares it the ``str`` the engine builds.
"""

from __future__ import annotations

import orjson

from baseline_python import (
    ACTION_TIER,
    EngineError,
    classify_tier,
    decode_retention_input,
    decode_tier_input,
    retention_score,
)


def _decision(element) -> dict:
    action, retention = classify_tier(*decode_tier_input(element))
    # inserted in key order, so no sort option is needed
    return {"action": action, "retention": retention, "tier": ACTION_TIER[action]}


def run(command: str, payload_json: str) -> bytes:
    try:
        value = orjson.loads(payload_json)
    except orjson.JSONDecodeError as exc:
        raise EngineError(str(exc)) from None
    if command == "tier":
        result = _decision(value)
    elif command == "tier-batch":
        items = value.get("items") if type(value) is dict else None
        if type(items) is not list:
            raise EngineError("missing required field: items")
        result = {"decisions": [_decision(element) for element in items]}
    elif command == "score":
        retention, stability, boost = retention_score(*decode_retention_input(value))
        result = {"boost": boost, "retention": retention, "stability": stability}
    else:
        raise EngineError("unknown command: " + command)
    return orjson.dumps({"ok": True, "result": result})
