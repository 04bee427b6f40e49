"""Straightforward pure-Python version of the engine's three commands.

Only the standard library: ``json`` to parse, ``math.log`` / ``math.exp`` (the
C library's functions, as the engine uses) to score, string building to write
the answer.  It computes the same answers as ``quillmarrow_engine_native.run``
for well-formed payloads and is checked against it byte for byte before every
benchmark run.  It lives in bench/ only; the package never imports it.

Differences that the benchmark inputs never reach: syntax-error messages are
Python's, not the engine's, and number literals are converted with Python's
correctly rounded ``float`` (the benchmark's literals are short enough for both
conversions to agree; see workload.py).
"""

from __future__ import annotations

import json
import math

STABILITY_FLOOR = 0.001
COUNT_WEIGHT = 0.45
IMPORTANCE_WEIGHT = 0.3
FREQUENCY_WEIGHT = 0.25
RETENTION_CAP = 10.0

# action -> tier; every action always goes with the same tier
ACTION_TIER = {
    "keep_forever_tag": "warm_semantic",
    "inject_to_prompt": "hot",
    "keep_procedural": "warm_procedural",
    "long_term_semantic": "warm_semantic",
    "spaced_repetition": "warm_episodic",
    "maintain_warm": "warm_episodic",
    "archive_on_demand": "cold",
}

_NUMBER_FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency")
_TIER_FIELDS = _NUMBER_FIELDS + ("is_procedural", "keep_forever")


class EngineError(RuntimeError):
    """A refused payload; the message matches the engine's for shape errors."""


# ---------------------------------------------------------------- formatting


def format_double(x: float) -> str:
    """Shortest round-trip digits laid out like the engine's writer."""
    if x != x or x in (math.inf, -math.inf):
        return "null"
    r = repr(x)  # shortest round-trip digits; positional for exponents -4..15
    if "e" not in r:
        return r
    mantissa, exp = r.split("e")
    e = int(exp)
    if e == -5:  # the engine writes exponent -5 positionally
        sign = ""
        if mantissa[0] == "-":
            sign, mantissa = "-", mantissa[1:]
        return sign + "0.0000" + mantissa.replace(".", "")
    return mantissa + ("e-" if e < 0 else "e+") + str(abs(e))


def _quote(s: str) -> str:
    return json.dumps(s, ensure_ascii=False)


def describe_value(v) -> str:
    if v is None:
        return "null"
    if v is True or v is False:
        return "boolean `%s`" % ("true" if v else "false")
    if type(v) is int:
        return "integer `%d`" % v
    if type(v) is float:
        return "floating point `%s`" % format_double(v)
    if type(v) is str:
        return "string " + _quote(v)
    if type(v) is list:
        return "sequence"
    return "map"


def _invalid_type(v, expected: str) -> EngineError:
    return EngineError("invalid type: %s, expected %s" % (describe_value(v), expected))


# ------------------------------------------------------------------ decoding


def _as_double(v) -> float:
    t = type(v)
    if t is float:
        return v
    if t is int:
        return float(v)
    raise _invalid_type(v, "f64")


def _as_bool(v) -> bool:
    if v is True or v is False:
        return v
    raise _invalid_type(v, "a boolean")


def _decode_object(obj: dict, fields: tuple) -> list:
    try:
        out = [
            _as_double(obj["days_since_recall"]),
            _as_double(obj["retrieval_count"]),
            _as_double(obj["importance"]),
            _as_double(obj["frequency"]),
        ]
        if len(fields) == 6:
            out.append(_as_bool(obj.get("is_procedural", False)))
            out.append(_as_bool(obj.get("keep_forever", False)))
        return out
    except (KeyError, EngineError):
        return _refuse_object(obj, fields)


def _refuse_object(obj: dict, fields: tuple) -> list:
    # Members are visited in key order (code-point order is UTF-8 byte order),
    # so a wrongly typed member is reported before a missing one, and among
    # wrongly typed members the first key in that order wins.
    found = {}
    for key in sorted(obj):
        if key in fields:
            v = obj[key]
            found[key] = _as_bool(v) if key in ("is_procedural", "keep_forever") else _as_double(v)
    for key in _NUMBER_FIELDS:
        if key not in found:
            raise EngineError("missing field `%s`" % key)
    return [found.get(f, False) for f in fields]


def _decode_array(arr: list, fields: tuple, name: str) -> list:
    out = []
    for k in range(4):
        if k >= len(arr):
            raise EngineError(
                "invalid length %d, expected struct %s with %d elements" % (len(arr), name, len(fields))
            )
        out.append(_as_double(arr[k]))
    for k in range(4, len(fields)):
        out.append(_as_bool(arr[k]) if k < len(arr) else False)
    if len(arr) > len(fields):
        raise EngineError("invalid length %d, expected fewer elements in array" % len(arr))
    return out


def decode_tier_input(v) -> list:
    """[days, count, importance, frequency, is_procedural, keep_forever]"""
    if type(v) is dict:
        return _decode_object(v, _TIER_FIELDS)
    if type(v) is list:
        return _decode_array(v, _TIER_FIELDS, "TierInput")
    raise _invalid_type(v, "struct TierInput")


def decode_retention_input(v) -> list:
    """[days, count, importance, frequency]"""
    if type(v) is dict:
        return _decode_object(v, _NUMBER_FIELDS)
    if type(v) is list:
        return _decode_array(v, _NUMBER_FIELDS, "RetentionInput")
    raise _invalid_type(v, "struct RetentionInput")


# ------------------------------------------------------------------- scoring


def retention_score(d: float, c: float, i: float, f: float) -> tuple[float, float, float]:
    """(retention, stability, boost), in the engine's order of operations."""
    c = c if c > 0 else 0.0
    stability = math.log(c + 1.0)
    if not stability > STABILITY_FLOOR:
        stability = STABILITY_FLOOR
    d = d if d > 0 else 0.0
    decay = math.exp(-d / stability)
    i = 0.0 if i < 0 else (1.0 if i > 1 else i)
    f = 0.0 if f < 0 else (1.0 if f > 1 else f)
    s = c * COUNT_WEIGHT + 1.0
    s = s + i * IMPORTANCE_WEIGHT
    boost = s + f * FREQUENCY_WEIGHT
    retention = decay * boost
    if retention < 0.0:
        retention = 0.0
    elif retention > RETENTION_CAP:
        retention = RETENTION_CAP
    return retention, stability, boost


def classify_tier(d, r, i, f, is_procedural, keep_forever) -> tuple[str, float]:
    """(action, retention); the tier follows from the action."""
    if keep_forever:
        return "keep_forever_tag", 1.0
    s = retention_score(d, r, i, f)[0]
    if d <= 7.0 and r > 0.0:
        return "inject_to_prompt", s
    if r >= 3.0 and is_procedural:
        return "keep_procedural", s
    if s >= 0.8:
        return "long_term_semantic", s
    if d <= 30.0 and s >= 0.65:
        return "spaced_repetition", s
    if d >= 180.0 or s < 0.4:
        return "archive_on_demand", s
    return "maintain_warm", s


# ------------------------------------------------------------------- writing

_DECISION_TEXT = {
    a: ('{"action":"%s","retention":' % a, ',"tier":"%s"}' % t) for a, t in ACTION_TIER.items()
}


def decision_json(action: str, retention: float) -> str:
    head, tail = _DECISION_TEXT[action]
    return head + format_double(retention) + tail


# ------------------------------------------------------------------ commands


def run(command: str, payload_json: str) -> str:
    try:
        value = json.loads(payload_json)
    except ValueError as exc:
        raise EngineError(str(exc)) from None
    if command == "tier":
        action, retention = classify_tier(*decode_tier_input(value))
        return '{"ok":true,"result":' + decision_json(action, retention) + "}"
    if command == "tier-batch":
        items = value.get("items") if type(value) is dict else None
        if type(items) is not list:
            raise EngineError("missing required field: items")
        parts = []
        for element in items:
            action, retention = classify_tier(*decode_tier_input(element))
            parts.append(decision_json(action, retention))
        return '{"ok":true,"result":{"decisions":[' + ",".join(parts) + "]}}"
    if command == "score":
        retention, stability, boost = retention_score(*decode_retention_input(value))
        return (
            '{"ok":true,"result":{"boost":%s,"retention":%s,"stability":%s}}'
            % (format_double(boost), format_double(retention), format_double(stability))
        )
    raise EngineError("unknown command: " + command)
