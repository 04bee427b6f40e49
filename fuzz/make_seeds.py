#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets.

    fuzz/make_seeds.py [--out DIR]     (default: the fuzz/ folder)

Creates DIR/corpus-parse_json, DIR/corpus-run_command, DIR/corpus-jsonl_chunk
and DIR/corpus-times (all kept out of git) and fills them with:
  - every file of the JSONTestSuite (../shared/conformance/JSONTestSuite/
    test_parsing beside the repository), when it is present;
  - the string literals of the project's own tests (tests/python/*.py and
    tests/cpp/*.cpp) that look like JSON payloads;
  - a few hand-written payloads for each command.
Each seed is named after the SHA-1 of its bytes, so running the script again
adds nothing twice. A run_command seed starts with one byte that picks the
command (see fuzz_run_command.cpp): 0 "score", 1 "tier", 2 "tier-batch",
7 a free name ended by the byte 0xFF. A jsonl_chunk seed starts with two
bytes of options (see fuzz_jsonl_chunk.cpp) and holds JSON Lines: the test
payloads a few to a text, the first lines of examples/memories.jsonl, and
records with recall times and a renamed member.
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SUITE = ROOT.parent / "shared" / "conformance" / "JSONTestSuite" / "test_parsing"
MAX_SEED = 1 << 20

SCORE, TIER, BATCH, FREE = 0, 1, 2, 7

ITEM = '{"days_since_recall": 3, "retrieval_count": 2, "importance": 0.5, "frequency": 0.5}'
HAND_WRITTEN: list[tuple[int, str]] = [
    (SCORE, ITEM),
    (SCORE, "[3, 2, 0.5, 0.5]"),
    (SCORE, '{"days_since_recall":0,"retrieval_count":0,"importance":0,"frequency":0}'),
    (SCORE, "[-3, -2, 2, -1]"),
    (SCORE, "[1e308, 18446744073709551615, -9223372036854775808, 5e-324]"),
    (TIER, ITEM),
    (TIER, "[3, 2, 0.5, 0.5, true, false]"),
    (TIER, "[190, 1e7, 1, 1]"),
    (TIER, '{"days_since_recall":10,"retrieval_count":5,"importance":0.2,'
           '"frequency":0.1,"is_procedural":true}'),
    (TIER, '{"days_since_recall":1,"retrieval_count":0,"importance":0,"frequency":0,'
           '"keep_forever":true,"extra":{"a":[1,[2,{"b":null}]]}}'),
    (TIER, '{"days_since_recall":"abc\\u00e9\\ud83d\\ude00","retrieval_count":1,'
           '"importance":1,"frequency":1}'),
    (TIER, '{"d\\u0061ys_since_recall":2.5e1,"retrieval_count":3.0,"importance":-0.0,'
           '"frequency":1E2,"is_procedural":null}'),
    (BATCH, '{"items": []}'),
    (BATCH, '{"items": [' + ITEM + ", [8, 20, 0.5, 0.5], [45, 1000, 0, 0, false, true]]}"),
    (BATCH, '{"items": [[1,2,3,4], [1,2]], "other": 1}'),
    (BATCH, '{"items": null}'),
    (BATCH, '{"Items": []}'),
    (BATCH, '{"items": [[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]}'),
    (FREE, "nope\xff{}"),
    (FREE, "\xff{}"),
    (FREE, "tier-batch \xff[]"),
]

RAW_SEEDS: list[bytes] = [
    b"",
    b"   ",
    b"\n",
    b"[1]\n\n x",
    b"18446744073709551615",
    b"18446744073709551616",
    b"-9223372036854775808",
    b"-9223372036854775809",
    b"1e2147483648",
    b"1e-2147483649",
    b"0e400",
    b"0.1e-400",
    b"123456789012345678901234567890e-20",
    b"2.2250738585072014e-308",
    b"1.7976931348623157e+308",
    b'"\\ud83d\\ude00\\u0000\\"\\\\\\/\\b\\f\\n\\r\\t"',
    b'"\\ud83d\\u0041"',
    b'{"b":1,"a":2,"a":3,"\\u00e9":[true,false,null]}',
    b"[" * 127 + b"]" * 127,
    b"[" * 128,
    b"\xef\xbb\xbf{}",
]


def looks_like_payload(text: str) -> bool:
    stripped = text.strip(" \t\r\n")
    return bool(stripped) and stripped[0] in '{["-0123456789tfn' and len(text) <= MAX_SEED


def python_literals(path: Path) -> list[str]:
    try:
        tree = ast.parse(path.read_text(encoding="utf-8"))
    except (SyntaxError, UnicodeDecodeError):
        return []
    return [
        node.value
        for node in ast.walk(tree)
        if isinstance(node, ast.Constant) and isinstance(node.value, str)
    ]


RAW_LITERAL = re.compile(r'R"([^()\\\s]{0,16})\((.*?)\)\1"', re.S)
PLAIN_LITERAL = re.compile(r'(?<![A-Za-z0-9_R])"((?:[^"\\\n]|\\.)*)"')
SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", '"': '"', "\\": "\\", "'": "'",
                  "b": "\b", "f": "\f"}


def decode_cpp_literal(body: str) -> bytes | None:
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        nxt = body[i + 1]
        if nxt in SIMPLE_ESCAPES:
            out += SIMPLE_ESCAPES[nxt].encode("utf-8")
            i += 2
        elif nxt == "x":
            m = re.match(r"[0-9A-Fa-f]{1,2}", body[i + 2:])
            if not m:
                return None
            out.append(int(m.group(0), 16))
            i += 2 + len(m.group(0))
        else:
            return None
    return bytes(out)


def cpp_literals(path: Path) -> list[bytes]:
    text = path.read_text(encoding="utf-8", errors="replace")
    found = [m.group(2).encode("utf-8") for m in RAW_LITERAL.finditer(text)]
    without_raw = RAW_LITERAL.sub("", text)
    for m in PLAIN_LITERAL.finditer(without_raw):
        decoded = decode_cpp_literal(m.group(1))
        if decoded is not None:
            found.append(decoded)
    return found


def test_payloads() -> list[bytes]:
    payloads: list[bytes] = []
    for path in sorted((ROOT / "tests" / "python").glob("*.py")):
        payloads += [s.encode("utf-8", "surrogatepass") for s in python_literals(path)
                     if looks_like_payload(s)]
    for path in sorted((ROOT / "tests" / "cpp").glob("*.cpp")):
        payloads += [b for b in cpp_literals(path)
                     if looks_like_payload(b.decode("utf-8", "replace"))]
    return payloads


def write_seed(folder: Path, data: bytes) -> bool:
    path = folder / hashlib.sha1(data).hexdigest()
    if path.exists():
        return False
    path.write_bytes(data)
    return True


# Seeds of the times target: an options byte (see fuzz_times.cpp), then
# texts one to a line.
TIME_SEEDS: list[tuple[int, str]] = [
    (0, "2025-06-15T12:00:00Z\n2025-06-15\n1749945600\n2025-06-15 12:00:00.123456789+05:30"),
    (1, "1749945600000\n2025-06-15t12:00z\n-1.5e3\n.5"),
    (4 | 8, "2025-02-29\n2024-02-29T23:59:59-0000\n9999-12-31T23:59:59.999999Z\n0001-01-01"),
    (2 | 4, "1750000000000000\n2025-06-15T15:06:40+14\nyesterday\n"),
    (3, "1750000000000000000\n+17\n1e400\n2025-06-15T24:00"),
]

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "fuzz")
    args = parser.parse_args()
    parse_dir = args.out / "corpus-parse_json"
    command_dir = args.out / "corpus-run_command"
    parse_dir.mkdir(parents=True, exist_ok=True)
    command_dir.mkdir(parents=True, exist_ok=True)

    suite = sorted(SUITE.glob("*.json")) if SUITE.is_dir() else []
    suite_bytes = [p.read_bytes() for p in suite]
    from_tests = test_payloads()
    hand = [(sel, text.encode("utf-8", "surrogateescape")) for sel, text in HAND_WRITTEN]
    # "\xff" in a FREE seed is the separator byte, not the character U+00FF.
    hand = [(sel, data.replace(b"\xc3\xbf", b"\xff")) for sel, data in hand]

    added_parse = sum(write_seed(parse_dir, d)
                      for d in suite_bytes + from_tests + RAW_SEEDS + [d for _, d in hand])
    added_command = 0
    for data in from_tests + RAW_SEEDS:
        for sel in (SCORE, TIER, BATCH):
            added_command += write_seed(command_dir, bytes([sel]) + data)
    for index, data in enumerate(suite_bytes):
        added_command += write_seed(command_dir, bytes([index % 3]) + data)
        added_command += write_seed(command_dir, bytes([BATCH]) + b'{"items":[' + data + b"]}")
    for sel, data in hand:
        added_command += write_seed(command_dir, bytes([sel]) + data)

    times_dir = args.out / "corpus-times"
    times_dir.mkdir(parents=True, exist_ok=True)
    for options, texts in TIME_SEEDS:
        write_seed(times_dir, bytes([options]) + texts.encode())
    jsonl_dir = args.out / "corpus-jsonl_chunk"
    jsonl_dir.mkdir(parents=True, exist_ok=True)
    one_line = [d for d in from_tests + RAW_SEEDS + [d for _, d in hand] if b"\n" not in d]
    added_jsonl = 0
    for index in range(0, len(one_line), 4):
        text = b"\n".join(one_line[index : index + 4]) + b"\n"
        added_jsonl += write_seed(jsonl_dir, bytes([index % 256, 0]) + text)
    memories = ROOT / "examples" / "memories.jsonl"
    if memories.is_file():
        head = b"".join(memories.read_bytes().splitlines(keepends=True)[:20])
        for options in (0, 1, 3, 7, 0x2F):
            added_jsonl += write_seed(jsonl_dir, bytes([options, options & 3]) + head)
    # Recall times of every kind from "t", importance from "imp" (the second
    # byte: 0x0C, and the unit in bits 4-5).
    for naming in (0x0C, 0x1C, 0x3C, 0x4D):
        times = ['1749913600', '"2025-06-14T15:06:40Z"', '"2025-06-14t17:06+02"', '"1749913600"',
                 '1750000200', '"2025-06-15"', "null", '"soon"', "1749913600000"]
        lines = [f'{{"id":{n},"t":{t},"retrieval_count":3,"imp":0.5,"frequency":0.2}}'
                 for n, t in enumerate(times)]
        lines += ['{"t":1,"importance":0.5}', "[1,2,3,4]", '{"imp":"x","t":1}']
        text = ("\n".join(lines) + "\n").encode()
        added_jsonl += write_seed(jsonl_dir, bytes([0x07, naming]) + text)

    print(f"seeds: {len(suite)} JSONTestSuite files, {len(from_tests)} test payloads; "
          f"added {added_parse} to {parse_dir.name}, {added_command} to {command_dir.name}, "
          f"{added_jsonl} to {jsonl_dir.name}")


if __name__ == "__main__":
    main()
