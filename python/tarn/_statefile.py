"""The `--state` file of `python -m tarn score`.

The file is the detector's own JSON state, so `tarn.Forest.load_json(FILE)`
(and so on) reads it. When a run needs more than the detector to continue
exactly (the tick clock of dates, the alert threshold, the last value of each
column for `--on-missing previous`), that goes into one extra top-level
member "tarn_cli", written last; the detectors' readers skip members they do
not know, so the file stays loadable by the detector class:

    {...the detector's members..., "tarn_cli": {"version": 1,
        "clock": {"tick_us": 3600000000, "first_tick": 389448,
                  "first_tick_start": "2014-06-07T00:00:00Z"},
        "threshold": {...the threshold's JSON state...},
        "previous": {"column": "last non-empty cell", ...}}}

Members of "tarn_cli" other than "version" are present only when used.
"""

from __future__ import annotations

import json
from typing import Any

MEMBER = "tarn_cli"
VERSION = 1
_KEY = b'"' + MEMBER.encode() + b'":'


class StateFileError(Exception):
    """A state file whose "tarn_cli" member is unusable."""


def split(data: bytes) -> dict[str, Any]:
    """The "tarn_cli" member of a state text ({} when there is none)."""
    at = data.rfind(_KEY)
    if at < 0:
        return {}
    text = data[at + len(_KEY) :].decode("utf-8", errors="replace")
    try:
        extra, end = json.JSONDecoder().raw_decode(text.lstrip())
    except json.JSONDecodeError as e:
        raise StateFileError(f'malformed "{MEMBER}" member: {e}') from None
    rest = text.lstrip()[end:].strip()
    # Written last at the top level: only the closing brace of the state follows.
    if rest != "}" or not isinstance(extra, dict):
        raise StateFileError(f'the "{MEMBER}" member must be an object at the end of the state')
    if extra.get("version") != VERSION:
        raise StateFileError(f'unsupported "{MEMBER}" version {extra.get("version")!r} (expected {VERSION})')
    return extra


def join(detector_json: str, extra: dict[str, Any]) -> str:
    """The detector's state text with `extra` added as the "tarn_cli" member (unchanged when empty)."""
    if not extra:
        return detector_json
    body = json.dumps({"version": VERSION, **extra}, separators=(",", ":"), allow_nan=False)
    stripped = detector_json.rstrip()
    if not stripped.endswith("}"):
        raise ValueError("a detector state is a JSON object")
    return f'{stripped[:-1]},"{MEMBER}":{body}}}'
