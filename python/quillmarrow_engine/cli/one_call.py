"""score, tier and tier-batch: one call of the engine's run(), the payload
read from a file or standard input, the answer printed."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from quillmarrow_engine_native import run as engine_run

from ..errors import PayloadError
from .arguments import check_readable

COMMANDS = {
    "score": "retention, stability and boost of one RetentionInput",
    "tier": "tier decision for one TierInput",
    "tier-batch": 'tier decisions for {"items": [TierInput, ...]}',
}


def register(commands: Any) -> None:
    for name, summary in COMMANDS.items():
        sub = commands.add_parser(
            name, help=summary, description=f"Print the engine's answer to {name!r}: {summary}."
        )
        sub.add_argument(
            "file", nargs="?", default="-", metavar="FILE",
            help="the JSON payload; - or nothing for standard input",
        )
        sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    check_readable(args.file)
    if args.file == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(args.file, "rb") as f:
            data = f.read()
    try:
        payload = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise PayloadError(f"payload is not valid UTF-8: {exc.reason} at byte {exc.start + 1}") from None
    try:
        answer = engine_run(args.command, payload)
    except RuntimeError as exc:
        raise PayloadError(str(exc)) from None
    sys.stdout.write(answer + "\n")
    sys.stdout.flush()
    return 0
