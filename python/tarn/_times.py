"""Dates, times and ticks for the command line.

Times are handled as integer microseconds since 1970-01-01 00:00 UTC, so
tick numbers come out the same on every machine and in every piece of a
stream scored with `--state`. A tick of D microseconds holds the times in
[k * D, (k + 1) * D) for an integer k; the stream's first record starts tick 1.
"""

from __future__ import annotations

import re
from datetime import datetime, timedelta, timezone
from decimal import ROUND_FLOOR, Decimal, InvalidOperation

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
MICROS = 1_000_000

_UNITS = {
    "ms": 1_000,
    "s": MICROS,
    "sec": MICROS,
    "min": 60 * MICROS,
    "h": 3600 * MICROS,
    "d": 86400 * MICROS,
    "w": 7 * 86400 * MICROS,
}
_DURATION = re.compile(r"\s*(\d+)\s*([a-z]+)\s*")


def parse_duration(text: str) -> int:
    """`30s`, `5min`, `1h`, `1d`, ... as a positive number of microseconds; ValueError otherwise."""
    match = _DURATION.fullmatch(text.lower())
    units = ", ".join(_UNITS)
    if match is None or match.group(2) not in _UNITS:
        raise ValueError(f"expected a duration such as 30s, 5min, 1h or 1d (units: {units}), got {text!r}")
    value = int(match.group(1)) * _UNITS[match.group(2)]
    if value <= 0:
        raise ValueError(f"expected a positive duration, got {text!r}")
    return value


def parse_iso(cell: str) -> int:
    """An ISO 8601 date or date and time as microseconds since the epoch.

    A time without a zone is taken as UTC. ValueError when the cell is not such a text.
    """
    moment = datetime.fromisoformat(cell.strip())
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return (moment - EPOCH) // timedelta(microseconds=1)


def parse_epoch(cell: str) -> int:
    """Seconds since the epoch (an integer or a decimal fraction) as microseconds."""
    try:
        seconds = Decimal(cell.strip())
    except InvalidOperation:
        raise ValueError(cell) from None
    if not seconds.is_finite():
        raise ValueError(cell)
    return int((seconds * MICROS).to_integral_value(ROUND_FLOOR))


def looks_like_date(cell: str) -> bool:
    """Whether a cell reads as an ISO date or date and time (and not as a plain number)."""
    text = cell.strip()
    if not text or text[0] in "+-" or text.replace(".", "", 1).isdigit():
        return False
    try:
        parse_iso(text)
    except (ValueError, OverflowError):
        return False
    return True


def format_time(micros: int) -> str:
    """A time as ISO 8601 text in UTC, for messages."""
    moment = EPOCH + timedelta(microseconds=micros)
    return moment.isoformat().replace("+00:00", "Z")


class TickClock:
    """Turns times into ticks of `tick` microseconds counted from 1 at the first record.

    `first` is the index of the first record's tick (time // tick), None until
    the first record; it is what a resumed run needs to continue the numbering.
    """

    def __init__(self, tick: int, first: int | None = None) -> None:
        self.tick = tick
        self.first = first

    def ticks(self, micros: int) -> int:
        index = micros // self.tick
        if self.first is None:
            self.first = index
        return index - self.first + 1

    def first_tick_start(self) -> str | None:
        return None if self.first is None else format_time(self.first * self.tick)
