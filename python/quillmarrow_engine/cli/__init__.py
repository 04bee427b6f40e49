"""The quillmarrow-engine command: the engine from a shell.

    quillmarrow-engine score|tier|tier-batch [FILE|-]
    quillmarrow-engine tier-jsonl INPUT [-o OUTPUT] [--id-field NAME | --no-id]
                                  [--errors FILE] [--batch-size N] [-q]
    quillmarrow-engine retier DATABASE --table NAME [options]
    quillmarrow-engine tier-parquet INPUT -o OUTPUT [--engine local|dask|spark] [...]

Each subcommand is a module of this package with the same two functions:
``register(commands)`` adds its parser, and ``run(args)`` does the work and
returns the exit status. The work itself lives in the package's other
modules; what is printed on the terminal, in output.py.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from .._version import __version__
from ..errors import QuillmarrowError, UsageError
from . import one_call, retier, tier_jsonl, tier_parquet
from .output import PROG, print_error
from .signals import Terminated, terminating_signals_raise

SUBCOMMANDS = (one_call, tier_jsonl, retier, tier_parquet)

EXIT_STATUS = (
    "Exit status: 0 success; 1 the engine refused a payload or a record, or a job failed; "
    "2 usage error; 3 bad lines or rows set aside (--errors); 130 interrupted (Ctrl-C); "
    "143 or 129 ended by SIGTERM or SIGHUP. A command ended early removes what it had "
    "begun to write (but for the batches an online retier wrote, and their report)."
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Score memory items and assign storage tiers with the quillmarrow engine.",
        epilog=EXIT_STATUS,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for subcommand in SUBCOMMANDS:
        subcommand.register(commands)
    for sub in commands.choices.values():
        sub.set_defaults(parser=sub)
        if sub.epilog is None:
            sub.epilog = EXIT_STATUS
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    with terminating_signals_raise():
        try:
            status: int = args.run(args)
            return status
        except UsageError as exc:
            args.parser.error(str(exc))  # exits with status 2
        except QuillmarrowError as exc:
            print_error(exc)
        except BrokenPipeError:
            # The reader of standard output went away (e.g. `| head`): stop
            # quietly, and keep Python from failing again when it flushes at exit.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError as exc:
            print_error(exc)
        except KeyboardInterrupt:
            print(file=sys.stderr)
            return 130
        except Terminated as exc:
            return exc.exit_status
    return 1
