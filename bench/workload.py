"""Deterministic benchmark payloads.

Every payload is plain ASCII JSON text built from a fixed seed, so two runs
(and the fresh subprocess of the memory probe) see exactly the same bytes.

A batch mixes the shapes a host really sends:

* object form, written compactly or with the ``", "`` / ``": "`` separators
  of Python's ``json.dumps`` defaults, sometimes with the keys in another order;
* array form with 4, 5 or 6 elements;
* the flags ``is_procedural`` and ``keep_forever`` on a share of the items;
* numbers of mixed magnitude: recent and ancient recalls, tiny fractions in
  exponent notation, zero, the odd negative value, counts from 0 to 10^12,
  fractional counts, weights inside and outside [0, 1].

Every number literal has at most 15 significant digits and a decimal exponent
within +-22, so a correctly rounded decimal conversion (Python's) and a
significand-times-power-of-ten conversion (one exact operand, one rounding)
give the same double.  That keeps the pure-Python reference bit-exact with the
engine on these inputs.
"""

from __future__ import annotations

import random

SEED = 20240611

#: The typical single-call payload (76 bytes).
TYPICAL_PAYLOAD = '{"days_since_recall":3,"retrieval_count":2,"importance":0.5,"frequency":0.5}'

_FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency")


def _num(x: float) -> str:
    """Literal for a double given with few digits (repr is shortest)."""
    if x == int(x) and abs(x) < 1e15:
        return str(int(x))
    return repr(x)


def _days(rng: random.Random) -> str:
    u = rng.random()
    if u < 0.30:  # recalled this week
        return str(rng.randint(0, 7)) if rng.random() < 0.5 else _num(round(rng.uniform(0, 7), 2))
    if u < 0.55:  # this month
        return _num(round(rng.uniform(7, 30), rng.choice((0, 1, 3))))
    if u < 0.75:  # this half-year
        return _num(round(rng.uniform(30, 180), rng.choice((0, 2))))
    if u < 0.92:  # ancient
        return _num(round(rng.uniform(180, 3650), rng.choice((0, 1))))
    if u < 0.97:  # seconds ago, in exponent notation
        return "%de-%02d" % (rng.randint(1, 99), rng.randint(3, 9))
    if u < 0.99:
        return rng.choice(("0", "0.0"))
    return _num(-round(rng.uniform(0, 10), 1))  # clock skew


def _count(rng: random.Random) -> str:
    u = rng.random()
    if u < 0.10:
        return "0"
    if u < 0.45:
        return str(rng.randint(1, 5))
    if u < 0.72:
        return str(rng.randint(6, 120))
    if u < 0.82:
        return str(rng.randint(121, 10**6))
    if u < 0.87:
        return str(rng.randint(10**7, 10**12))
    if u < 0.97:
        return _num(round(rng.uniform(0, 12), 2))
    return "%d.%de%d" % (rng.randint(1, 9), rng.randint(0, 9), rng.randint(2, 8))


def _weight(rng: random.Random) -> str:
    u = rng.random()
    if u < 0.88:
        return _num(round(rng.random(), rng.choice((1, 2, 3))))
    if u < 0.95:
        return rng.choice(("0", "1", "0.0", "1.0"))
    return _num(round(rng.uniform(-1.0, 2.5), 2))


def _item(rng: random.Random) -> str:
    values = [_days(rng), _count(rng), _weight(rng), _weight(rng)]
    u = rng.random()
    if u < 0.25:  # array form
        n = rng.choice((4, 4, 4, 5, 5, 6))
        for _ in range(n - 4):
            values.append("true" if rng.random() < 0.35 else "false")
        sep = "," if rng.random() < 0.5 else ", "
        return "[" + sep.join(values) + "]"
    members = list(zip(_FIELDS, values))
    if rng.random() < 0.25:
        members.append(("is_procedural", "true" if rng.random() < 0.6 else "false"))
    if rng.random() < 0.08:
        members.append(("keep_forever", "true" if rng.random() < 0.5 else "false"))
    if rng.random() < 0.2:
        rng.shuffle(members)
    if rng.random() < 0.5:
        return "{" + ",".join('"%s":%s' % kv for kv in members) + "}"
    return "{" + ", ".join('"%s": %s' % kv for kv in members) + "}"


def make_items(n: int, seed: int = SEED) -> list[str]:
    """The JSON texts of the first ``n`` items (a prefix of any longer run)."""
    rng = random.Random(seed)
    return [_item(rng) for _ in range(n)]


def make_batch_payload(n: int, seed: int = SEED) -> str:
    """A "tier-batch" payload holding ``n`` items."""
    return '{"items":[' + ",".join(make_items(n, seed)) + "]}"


if __name__ == "__main__":
    import sys

    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    payload = make_batch_payload(n)
    print(payload if n <= 20 else payload[:2000])
    print("# items=%d bytes=%d bytes/item=%.1f" % (n, len(payload), len(payload) / max(n, 1)), file=sys.stderr)
