"""Times of recall and the days since them, the same way on every road.

A time becomes Unix seconds as the double nearest a whole number of
microseconds (a naive time is taken as UTC), and days since recall are the
seconds to `now` divided by 86,400. Texts are read by the engine's one
ISO-8601 grammar (``YYYY-MM-DD``, optionally ``T``, ``t`` or a space and
``HH:MM[:SS[.fraction]]``, optionally ``Z``, ``z`` or an offset ``±HH:MM``,
``±HHMM``, ``±HH``; no offset means UTC), or as Unix seconds written as a
number.
"""

from __future__ import annotations

import math
from datetime import datetime, timezone

from ._bulk import time_seconds

DAY_SECONDS = 86_400.0
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MICROSECOND = datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=timezone.utc) - _EPOCH


def parse_now(value: str | float | datetime) -> float:
    """Unix seconds from ISO-8601 text (no offset means UTC), a number or
    numeric text (Unix seconds), or a datetime; ValueError for anything else."""
    if isinstance(value, datetime):
        return datetime_seconds(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        try:
            seconds = iso_seconds(str(value))
        except ValueError:
            raise ValueError(f"not an ISO-8601 time or Unix seconds: {value!r}") from None
    if not math.isfinite(seconds):
        raise ValueError(f"not an ISO-8601 time or Unix seconds: {value!r}")
    return seconds


def iso_seconds(text: str) -> float:
    """Unix seconds of an ISO-8601 text, or of Unix seconds written as a
    number, blanks around it aside (a database's text may carry them);
    ValueError when it is neither."""
    return time_seconds(text.strip(), "s")


def datetime_seconds(moment: datetime) -> float:
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    # A whole number of microseconds divided once: the double nearest the time.
    return (moment - _EPOCH) / _MICROSECOND / 1e6
