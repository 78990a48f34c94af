"""The command line: `python -m tarn demo`, `python -m tarn score` and `python -m tarn plot`.

Only the standard library is used (matplotlib only for pictures). `score`
streams a CSV file (or standard input) through one detector and writes every
row back with an added score column; with `--state FILE` the detector, and
whatever else the run needs to continue exactly, is restored from and saved
back to a JSON state, so that a long stream can be scored in pieces.

A detector kind is one entry of KINDS (its class, the column options it takes,
how a row becomes its call arguments and its default warm-up); a detector
parameter is one entry of OPTIONS.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import csv
import hashlib
import json
import math
import os
import re
import shlex
import sqlite3
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, TextIO

from . import _statefile
from . import tarn as _ext
from ._files import AtomicTarget, FileError, Progress
from ._plot import PlotUnavailable, require_matplotlib
from ._times import TickClock, format_time, looks_like_date, parse_duration, parse_epoch, parse_iso

PROG = "python -m tarn"

# Exit statuses: 0 success, 1 a failure while reading, scoring or saving,
# 2 a usage error (argparse uses 2 as well), 130 interrupted.
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

_U64_MAX = 2**64 - 1
_I64_MIN = -(2**63)
_I64_MAX = 2**63 - 1


class CliError(Exception):
    """A failure reported as one line on standard error, with exit status 1."""


class UsageError(Exception):
    """A command line that cannot work; exit status 2, reported with the usage unless `usage` is false."""

    def __init__(self, message: str, usage: bool = True) -> None:
        super().__init__(message)
        self.show_usage = usage


class ColumnError(UsageError):
    """A column option that names no column of the input; exit status 2, without the long usage."""

    def __init__(self, message: str) -> None:
        super().__init__(message, usage=False)


class RowError(Exception):
    """A malformed or rejected input row; the caller adds the line number."""


# --------------------------------------------------------------------------
# Detector options

ALL = ("*",)  # an option that every detector kind takes


@dataclass(frozen=True)
class Option:
    """One detector parameter exposed as a command-line option."""

    param: str  # keyword of the detector constructor
    kind: str  # "count", "float" or "flag-off"
    detectors: tuple[str, ...]  # the detector kinds that take it, or ALL
    help: str

    @property
    def flag(self) -> str:
        if self.kind == "flag-off":
            return "--no-" + self.param.replace("_", "-")
        return "--" + self.param.replace("_", "-")

    def applies(self, detector: str) -> bool:
        return self.detectors == ALL or detector in self.detectors


FOREST = "forest"
ONLINE_IFOREST = "onlineiforest"
MSTREAM = "mstream"
FEATURE_SKETCH = "featuresketch"
ENSEMBLE = "ensemble"

OPTIONS: tuple[Option, ...] = (
    Option("shingle_size", "count", (FOREST, ENSEMBLE), "consecutive rows joined into one point (default 1)"),
    Option("num_trees", "count", (FOREST, ONLINE_IFOREST), "trees in the ensemble (default 50 / 32)"),
    Option("capacity", "count", (FOREST,), "sample size of each tree (default 256)"),
    Option("time_decay", "float", (FOREST,), "decay of sample weights, 0 = automatic (default 0)"),
    Option("output_after", "count", (FOREST,), "rows before the forest is ready, 0 = automatic (default 0)"),
    Option(
        "internal_shingling",
        "flag-off",
        (FOREST,),
        "each row already holds a whole shingle (input_dim * shingle_size values)",
    ),
    Option(
        "initial_accept_fraction", "float", (FOREST,), "warm-up acceptance of the samplers, in [0, 1] (default 0.125)"
    ),
    Option("window_size", "count", (ONLINE_IFOREST,), "points kept in the sliding window (default 2048)"),
    Option("max_leaf_samples", "count", (ONLINE_IFOREST,), "base leaf-splitting threshold (default 32)"),
    Option("num_rows", "count", (MSTREAM,), "hash rows of the sketches (default 2)"),
    Option("num_buckets", "count", (MSTREAM,), "buckets per hash row (default 1024)"),
    Option("alpha", "float", (MSTREAM,), "temporal decay factor in (0, 1) (default 0.8)"),
    Option("value_projection_dims", "count", (FEATURE_SKETCH,), "value projection dimensions (default 32)"),
    Option("presence_projection_dims", "count", (FEATURE_SKETCH,), "presence projection dimensions (default 32)"),
    Option("chains_per_ensemble", "count", (FEATURE_SKETCH,), "chains in each sketch ensemble (default 16)"),
    Option("chain_depth", "count", (FEATURE_SKETCH,), "levels per chain, at most 1024 (default 8)"),
    Option("sketch_rows", "count", (FEATURE_SKETCH,), "hash rows of each count-min sketch (default 2)"),
    Option("sketch_buckets", "count", (FEATURE_SKETCH,), "buckets per sketch row (default 2048)"),
    Option("decay_half_life", "count", (FEATURE_SKETCH,), "events after which counts halve (default 2048)"),
    Option("seed", "count", ALL, "random seed; without it every run differs"),
)


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if not 0 <= value <= _U64_MAX:
        raise argparse.ArgumentTypeError(f"expected an integer in [0, 2**64 - 1], got {text!r}")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _duration(text: str) -> int:
    try:
        return parse_duration(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _delimiter(text: str) -> str:
    # A tab is hard to type on a command line; accept its usual spellings.
    return "\t" if text in ("\\t", "tab", "TAB") else text


def _detector_name(text: str) -> str:
    name = text.lower().replace("-", "").replace("_", "")
    if name not in KINDS:
        raise argparse.ArgumentTypeError(f"unknown detector {text!r} (choose from {', '.join(KINDS)})")
    return name


def _demo_records(text: str) -> int:
    value = _count(text)
    if value < 100:
        raise argparse.ArgumentTypeError("expected at least 100 records (room for a warm-up and anomalies)")
    return value


# --------------------------------------------------------------------------
# Columns and row conversion


def _column_list(values: Sequence[str] | None) -> list[str]:
    names: list[str] = []
    for value in values or ():
        names.extend(part.strip() for part in value.split(",") if part.strip())
    return names


_DELIMITER_NAMES = {",": "comma", ";": "';'", "\t": "tab", "|": "'|'"}


def _delimiter_option(char: str) -> str:
    return "--delimiter tab" if char == "\t" else f"--delimiter {shlex.quote(char)}"


class Columns:
    """The header of the input, with the hints that help when a name or a cell does not fit."""

    def __init__(self, header: Sequence[str], delimiter: str) -> None:
        self.header = list(header)
        # A file read with the wrong delimiter has few columns whose names hold the right one.
        self.delimiter_hint = ""
        line = delimiter.join(self.header)
        for char, name in _DELIMITER_NAMES.items():
            if char != delimiter and char in line and len(line.split(char)) > len(self.header):
                self.delimiter_hint = f"the input looks {name}-separated: pass {_delimiter_option(char)}"
                break

    def listing(self) -> str:
        return ", ".join(repr(h) for h in self.header)

    def resolve(self, names: Sequence[str], option: str) -> list[int]:
        indexes: list[int] = []
        for name in names:
            found = [i for i, h in enumerate(self.header) if h == name]
            if not found:
                hint = f"; {self.delimiter_hint}" if self.delimiter_hint else ""
                raise ColumnError(f"{option}: no column {name!r} in the header (columns: {self.listing()}){hint}")
            if len(found) > 1:
                raise ColumnError(f"{option}: the header has {len(found)} columns named {name!r}")
            indexes.append(found[0])
        return indexes

    def cell_hint(self, cell: str, text_hint: str = "") -> str:
        """Why a cell may not be a number, and what to do about it (or "")."""
        if looks_like_date(cell):
            return (
                " (a date/time: name its column with --timestamp to use it for ordering, "
                "and choose the value columns with --numeric)"
            )
        if self.delimiter_hint:
            return f" ({self.delimiter_hint})"
        return text_hint


def _number(cell: str, column: str, columns: Columns, text_hint: str = "") -> float:
    try:
        value = float(cell)
    except ValueError:
        if not cell.strip():
            raise RowError(f"column {column!r}: empty value") from None
        raise RowError(f"column {column!r}: {cell!r} is not a number{columns.cell_hint(cell, text_hint)}") from None
    if not math.isfinite(value):
        raise RowError(f"column {column!r}: {cell!r} is not a finite number")
    return value


def category_code(cell: str) -> int:
    """The MStream category of a cell: the integer itself, or a fixed 64-bit hash of the text.

    The hash does not depend on the process (unlike `hash()`), so a stream scored
    in pieces maps each category to the same value in every piece.
    """
    try:
        value = int(cell, 10)
    except ValueError:
        pass
    else:
        if _I64_MIN <= value <= _I64_MAX:
            return value
    digest = hashlib.blake2b(cell.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little", signed=True)


class Ticks:
    """How the --timestamp cells of MStream become ticks: integers as they are, or dates grouped by --tick."""

    def __init__(self, column: str, clock: TickClock | None, epoch: bool, fresh: bool) -> None:
        self.column = column
        self.clock = clock
        self.epoch = epoch
        self.check_start = fresh and clock is None  # a new stream's first integer tick

    def __call__(self, cell: str) -> int:
        if self.clock is None:
            return self._integer(cell)
        try:
            micros = parse_epoch(cell) if self.epoch else parse_iso(cell)
        except (ValueError, OverflowError):
            if not cell.strip():
                raise RowError(f"column {self.column!r}: empty value") from None
            if self.epoch:
                raise RowError(f"column {self.column!r}: {cell!r} is not a number of seconds since 1970") from None
            hint = " (for seconds since 1970 pass --timestamp-format epoch)" if _is_number(cell) else ""
            raise RowError(f"column {self.column!r}: {cell!r} is not an ISO 8601 date/time{hint}") from None
        tick = self.clock.ticks(micros)
        if tick < 1:
            raise RowError(
                f"column {self.column!r}: {cell!r} is before the stream's first tick, which starts at "
                f"{self.clock.first_tick_start()} (times must not go back)"
            )
        return tick

    def _integer(self, cell: str) -> int:
        try:
            value = int(cell, 10)
        except ValueError:
            value = -1
        if not 0 < value <= _U64_MAX:
            hint = ""
            if looks_like_date(cell):
                hint = " (a date/time: pass --tick DURATION, e.g. --tick 1h, to count ticks of that length)"
            raise RowError(f"column {self.column!r}: timestamp {cell!r} is not a positive integer{hint}")
        if self.check_start:
            self.check_start = False
            if value > _LARGE_FIRST_TICK:
                print(
                    f"{PROG} score: note: the stream starts at tick {value}; MStream weighs each tick against "
                    "the ticks before it, so ticks should count from 1 (for seconds since 1970 pass "
                    "--timestamp-format epoch --tick DURATION)",
                    file=sys.stderr,
                )
        return value


_LARGE_FIRST_TICK = 1_000_000


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


Converter = Callable[[Sequence[str]], tuple[object, ...]]


@dataclass
class Plan:
    """What `score` does with each row: the converter and the detector's dimensions.

    `required` are the columns whose empty cells are missing values (--on-missing);
    `plotted` the numeric input columns that --plot draws.
    """

    convert: Converter
    dims: dict[str, int]
    required: list[int] = field(default_factory=list)
    plotted: list[int] = field(default_factory=list)


@dataclass
class Context:
    """What a plan is made from: the options, the header and the ordering column."""

    args: argparse.Namespace
    columns: Columns
    timestamp: int | None  # index of the --timestamp column
    ticks: Ticks | None  # MStream's tick conversion

    def default_columns(self) -> list[int]:
        """Every column but the ordering and --key columns."""
        key = self.args.key
        return [i for i, name in enumerate(self.columns.header) if i != self.timestamp and name != key]


def _point_plan(ctx: Context) -> Plan:
    args, columns = ctx.args, ctx.columns
    names = _column_list(args.numeric)
    indexes = columns.resolve(names, "--numeric") if names else ctx.default_columns()
    if not indexes:
        raise ColumnError("no numeric columns selected")
    dims = {"input_dim": len(indexes)}
    if args.detector == FOREST and args.internal_shingling is False:
        # Each row is a whole shingle of input_dim * shingle_size values. A
        # shingle size of 0 is left to the constructor to refuse.
        shingle = args.shingle_size if args.shingle_size is not None else 1
        if shingle > 0:
            if len(indexes) % shingle:
                raise CliError(
                    f"--no-internal-shingling: {len(indexes)} numeric columns do not split into shingles of {shingle}"
                )
            dims = {"input_dim": len(indexes) // shingle}
    pairs = [(i, columns.header[i]) for i in indexes]

    def convert(fields: Sequence[str]) -> tuple[object, ...]:
        return ([_number(fields[i], n, columns) for i, n in pairs],)

    return Plan(convert, dims, indexes, indexes)


_TEXT_HINT = " (use --categorical for text columns)"


def _record_plan(ctx: Context) -> Plan:
    args, columns, ticks = ctx.args, ctx.columns, ctx.ticks
    assert ticks is not None and ctx.timestamp is not None
    numeric = columns.resolve(_column_list(args.numeric), "--numeric")
    categorical = columns.resolve(_column_list(args.categorical), "--categorical")
    pairs = [(i, columns.header[i]) for i in numeric]
    timestamp = ctx.timestamp

    def convert(fields: Sequence[str]) -> tuple[object, ...]:
        values = [_number(fields[i], n, columns, _TEXT_HINT) for i, n in pairs]
        return (values, [category_code(fields[i]) for i in categorical], ticks(fields[timestamp]))

    dims = {"numeric_dim": len(numeric), "categorical_dim": len(categorical)}
    # An empty category cell is a category of its own, never a missing value.
    return Plan(convert, dims, [*numeric, timestamp], numeric)


def _event_plan(ctx: Context) -> Plan:
    args, columns = ctx.args, ctx.columns
    feature_names = _column_list(args.features)
    categorical_names = _column_list(args.categorical)
    if not feature_names and not categorical_names:
        features = ctx.default_columns()
    else:
        features = columns.resolve(feature_names, "--features")
    categorical = columns.resolve(categorical_names, "--categorical")
    feature_pairs = [(i, columns.header[i]) for i in features]
    category_pairs = [(i, columns.header[i]) for i in categorical]

    def convert(fields: Sequence[str]) -> tuple[object, ...]:
        event: list[tuple[str, float]] = []
        for i, name in feature_pairs:
            if fields[i].strip():
                event.append((name, _number(fields[i], name, columns, _TEXT_HINT)))
        for i, name in category_pairs:
            if fields[i].strip():
                event.append((f"{name}={fields[i].strip()}", 1.0))
        return (event,)

    # An empty cell leaves the feature out of the event: nothing is ever missing.
    return Plan(convert, {}, [], features)


# --------------------------------------------------------------------------
# Detector kinds

_WARMUP_COUNT = 256


def _leaf_warmup(detector: Any) -> int:
    # Until a tree's root leaf splits, every point scores 1.0.
    match = re.search(r"max_leaf_samples=(\d+)", repr(detector))
    return max(_WARMUP_COUNT, int(match.group(1)) if match else 0)


@dataclass(frozen=True)
class Kind:
    """A detector kind of `score`: its class and how rows become its calls."""

    class_name: str
    columns: tuple[str, ...]  # the column options it takes besides --timestamp
    plan: Callable[[Context], Plan]
    # The default warm-up in records learned, or None for "until is_ready()".
    warmup: Callable[[Any], int | None]
    needs_ticks: bool = False

    @property
    def cls(self) -> Any:
        if self.class_name == "Ensemble":
            from .ensemble import Ensemble  # noqa: PLC0415 (loads tarn.alerts only when used)

            return Ensemble
        return getattr(_ext, self.class_name)

    def create(self, **kwargs: Any) -> Any:
        if self.class_name == "Ensemble":
            return self.cls.for_numeric(**kwargs)
        return self.cls(**kwargs)


KINDS: dict[str, Kind] = {
    FOREST: Kind("Forest", ("numeric",), _point_plan, lambda d: None),
    ONLINE_IFOREST: Kind("OnlineIForest", ("numeric",), _point_plan, _leaf_warmup),
    MSTREAM: Kind("MStream", ("numeric", "categorical"), _record_plan, lambda d: _WARMUP_COUNT, needs_ticks=True),
    FEATURE_SKETCH: Kind("FeatureSketch", ("features", "categorical"), _event_plan, lambda d: _WARMUP_COUNT),
    ENSEMBLE: Kind("Ensemble", ("numeric",), _point_plan, lambda d: _WARMUP_COUNT),
}
DETECTOR_NAMES = tuple(KINDS)
CLASS_NAMES = {name: kind.class_name for name, kind in KINDS.items()}


# --------------------------------------------------------------------------
# Argument parser


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The parser of the command line and its subcommand parsers by name."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Streaming anomaly detectors: Forest, OnlineIForest, MStream and FeatureSketch.",
    )
    parser.add_argument("--version", action="version", version=f"tarn {_ext.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    return parser, {"demo": _demo_parser(commands), "score": _score_parser(commands), "plot": _plot_parser(commands)}


def _command(commands: Any, name: str, summary: str, description: str, epilog: str | None = None) -> argparse.ArgumentParser:
    """A subcommand: `summary` is its line in the main help, `description` heads its own."""
    parser: argparse.ArgumentParser = commands.add_parser(name, help=summary, description=description, epilog=epilog)
    return parser


def _columns_option(parser: Any, flag: str, help_text: str) -> None:
    """A repeatable option naming columns (a comma-separated list each time)."""
    parser.add_argument(flag, action="append", metavar="COLS", help=help_text)


def _demo_parser(commands: Any) -> argparse.ArgumentParser:
    demo = _command(
        commands,
        "demo",
        "run every detector on a generated stream and print throughput and ROC-AUC",
        "Run every detector on a generated stream with injected anomalies (fixed seed) and print, "
        "per detector, the number of records, the throughput and the ROC-AUC of the scores "
        "against the injected labels.",
    )
    demo.add_argument(
        "--records", type=_demo_records, default=4000, metavar="N", help="records per stream, at least 100 (default 4000)"
    )
    demo.add_argument("--seed", type=_count, default=7, help="seed of the streams and detectors (default 7)")
    demo.add_argument(
        "--detector",
        type=_detector_name,
        action="append",
        metavar="NAME",
        help="run only this detector (repeatable; default all four)",
    )
    demo.add_argument(
        "--plot", metavar="DIR", help="write one picture per detector into DIR (DETECTOR.png; needs tarn[plot])"
    )
    return demo


def _score_parser(commands: Any) -> argparse.ArgumentParser:
    score = _command(
        commands,
        "score",
        "score the rows of a CSV file and write them back with a score column",
        "Read a CSV file with a header row (or standard input), feed every row to one detector "
        "and write the rows back with an added score column. Each row's score is the "
        "detector's update_and_score() (with --no-update, score()).",
        epilog=(
            "Columns are named by their header text; a list is comma-separated and the option may "
            "be repeated. An empty --features cell leaves that feature out of the event; a "
            "--categorical cell that is not an integer is mapped to one by a fixed hash (MStream) "
            "or becomes the feature 'column=text' with value 1 (FeatureSketch)."
        ),
    )
    score.add_argument("input", nargs="?", default="-", help="CSV file to score (default: standard input)")
    score.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    score.add_argument(
        "-d",
        "--detector",
        type=_detector_name,
        default=FOREST,
        metavar="NAME",
        help=f"one of {', '.join(KINDS)} (default {FOREST})",
    )
    score.add_argument(
        "--state",
        metavar="FILE",
        help=(
            "restore the detector from FILE when it exists (its saved configuration is used) and save "
            "it back there after a successful run; a failed run leaves FILE as it was"
        ),
    )
    score.add_argument(
        "--no-update", action="store_true", help="only score the rows against --state; the detector and FILE stay unchanged"
    )
    score.add_argument(
        "--key",
        metavar="COL",
        help=(
            "one detector per distinct value of this column (with --seed S, a key's seed derives from S "
            "and the key); --state FILE is then an SQLite store of every key's detector"
        ),
    )
    score.add_argument(
        "--max-resident",
        type=_count,
        metavar="N",
        help="with --key: detectors kept in memory, the others wait in the store (default 10000)",
    )

    cols = score.add_argument_group("columns")
    _columns_option(cols, "--numeric", "numeric columns (forest, onlineiforest: default all columns but --timestamp; mstream)")
    _columns_option(cols, "--categorical", "categorical columns (mstream, featuresketch)")
    cols.add_argument(
        "--timestamp",
        metavar="COL",
        help=(
            "the ordering column: MStream's ticks (required there), left out of the other detectors' "
            "input and used as the x axis of --plot"
        ),
    )
    _columns_option(
        cols,
        "--features",
        "numeric feature columns (featuresketch; default all columns but --timestamp unless --categorical is given)",
    )
    cols.add_argument("--score-column", default="score", metavar="NAME", help="name of the added column (default score)")
    cols.add_argument(
        "--delimiter", type=_delimiter, default=",", metavar="CHAR", help="field delimiter of input and output (default ,; tab for a tab)"
    )

    rows = score.add_argument_group("timestamps, warm-up and missing values")
    rows.add_argument(
        "--tick",
        type=_duration,
        metavar="DURATION",
        help="mstream: the --timestamp cells are dates/times; group them into ticks of DURATION (30s, 5min, 1h, 1d), "
        "counted from 1 at the first record",
    )
    rows.add_argument(
        "--timestamp-format",
        choices=("iso", "epoch"),
        help="dates/times as ISO 8601 text (default with --tick) or as seconds since 1970 (epoch)",
    )
    rows.add_argument(
        "--warmup",
        type=_count,
        metavar="N",
        help="leave the score empty for the first N records the detector learns (0: every score; "
        f"default: forest until is_ready(), onlineiforest max({_WARMUP_COUNT}, max_leaf_samples), others {_WARMUP_COUNT})",
    )
    rows.add_argument(
        "--on-missing",
        choices=("error", "skip", "previous"),
        default="error",
        help="an empty cell in a column the detector reads: stop with an error (default), skip the row "
        "(written with an empty score), or use the column's previous value",
    )

    params = score.add_argument_group("detector parameters (a parameter left out takes the detector's default)")
    for option in OPTIONS:
        names = "all" if option.detectors == ALL else ", ".join(option.detectors)
        help_text = f"{option.help} [{names}]"
        if option.kind == "flag-off":
            params.add_argument(option.flag, dest=option.param, action="store_const", const=False, help=help_text)
        else:
            params.add_argument(
                option.flag,
                dest=option.param,
                type=_count if option.kind == "count" else _finite_float,
                metavar="N" if option.kind == "count" else "X",
                help=help_text,
            )

    alerts = score.add_argument_group("alerts")
    alerts.add_argument(
        "--alert-rate",
        type=_finite_float,
        metavar="R",
        help="add the columns grade and is_alert from tarn.alerts.Threshold at false-alarm rate R, in (0, 1)",
    )
    alerts.add_argument(
        "--alert-warmup",
        type=_count,
        metavar="N",
        help="scores the threshold sees before its first alert (default 1000); kept with --state",
    )

    score.add_argument("--plot", metavar="FILE.png", help="also draw the input and its scores into FILE.png (needs tarn[plot])")
    score.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    return score


def _plot_parser(commands: Any) -> argparse.ArgumentParser:
    plot = _command(
        commands,
        "plot",
        "draw a scored CSV file: its numeric columns and the score below (needs tarn[plot])",
        "Draw the numeric columns of a CSV file written by `score` over the row index (or the "
        "--timestamp column) with the score below on the same axis; rows without a score at the "
        "start (the warm-up) are shaded and alerts are marked when an is_alert column is present.",
    )
    plot.add_argument("input", help="scored CSV file ('-' for standard input)")
    plot.add_argument("-o", "--output", required=True, metavar="FILE.png", help="the picture to write")
    _columns_option(plot, "--columns", "columns to draw (default: every numeric column)")
    plot.add_argument("--timestamp", metavar="COL", help="x axis column (default: the first column of dates, else the row index)")
    plot.add_argument("--timestamp-format", choices=("iso", "epoch"), help="how the --timestamp cells are written")
    plot.add_argument("--score-column", default="score", metavar="NAME", help="the score column (default score)")
    plot.add_argument("--alert-column", default="is_alert", metavar="NAME", help="column of 0/1 alert flags (default is_alert)")
    plot.add_argument("--delimiter", type=_delimiter, default=",", metavar="CHAR", help="field delimiter (default ,)")
    plot.add_argument("--title", help="title of the picture (default: the file name)")
    return plot


# --------------------------------------------------------------------------
# Reading the input


def _open_input(path: str) -> tuple[IO[bytes], bool, int]:
    """The input as a binary file, whether it is a regular file of ours, and its size."""
    if path == "-":
        return sys.stdin.buffer, False, 0
    try:
        raw = open(path, "rb")
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None
    return raw, True, os.fstat(raw.fileno()).st_size


def _decoded_lines(raw: IO[bytes]) -> Iterator[str]:
    """The input's lines as text, decoded one by one so that an invalid byte has a line number."""
    first = True
    for line in raw:
        text = line.decode("utf-8")
        if first:
            text = text.removeprefix("\ufeff")
            first = False
        yield text


def _rows(reader: Any, source: str) -> Iterator[list[str]]:
    """The reader's rows, with decoding and CSV errors turned into line-numbered failures."""
    while True:
        try:
            fields = next(reader)
        except StopIteration:
            return
        except csv.Error as e:
            raise CliError(f"{source}, line {reader.line_num}: malformed CSV: {e}") from None
        except UnicodeDecodeError:
            raise CliError(f"{source}, line {reader.line_num + 1}: not valid UTF-8 text") from None
        yield fields


def _read_csv(raw: IO[bytes], delimiter: str, source: str) -> tuple[Any, list[str], Iterator[list[str]]]:
    """A CSV reader of the input, its header row and the rows after it; an empty input fails."""
    reader = csv.reader(_decoded_lines(raw), delimiter=delimiter, strict=True)
    rows = _rows(reader, source)
    header = next(rows, None)
    if header is None:
        raise CliError(f"{source}: the input is empty; expected a header row")
    return reader, header, rows


# --------------------------------------------------------------------------
# score: checks, state, warm-up and missing values


def _check_applicable(args: argparse.Namespace) -> None:
    kind = KINDS[args.detector]
    for column_option in ("numeric", "categorical", "features"):
        if getattr(args, column_option) is not None and column_option not in kind.columns:
            raise UsageError(f"--{column_option} does not apply to --detector {args.detector}")
    for option in OPTIONS:
        if getattr(args, option.param) is not None and not option.applies(args.detector):
            raise UsageError(f"{option.flag} does not apply to --detector {args.detector}")
    if kind.needs_ticks:
        if args.timestamp is None:
            raise UsageError(f"--detector {args.detector} needs --timestamp COL")
        if not _column_list(args.numeric) and not _column_list(args.categorical):
            raise UsageError(f"--detector {args.detector} needs --numeric and/or --categorical columns")
    elif args.tick is not None:
        raise UsageError(f"--tick does not apply to --detector {args.detector}")
    if args.timestamp_format is not None and args.timestamp is None:
        raise UsageError("--timestamp-format needs --timestamp COL")
    if len(args.delimiter) != 1:
        raise UsageError("--delimiter must be one character")
    if args.alert_warmup is not None and args.alert_rate is None:
        raise UsageError("--alert-warmup needs --alert-rate R")
    if args.no_update and not args.state:
        raise UsageError("--no-update needs --state FILE: without a learned state every score would be the same")
    if args.key is None:
        if args.max_resident is not None:
            raise UsageError("--max-resident needs --key COL")
        return
    # The store keeps one detector per key and nothing else yet: what a run
    # would have to carry to the next one beside the detectors is refused.
    if args.max_resident == 0:
        raise UsageError("--max-resident must be at least 1")
    if args.alert_rate is not None:
        raise UsageError("--alert-rate does not work with --key yet (the store keeps no per-key thresholds)")
    if args.on_missing == "previous":
        raise UsageError("--on-missing previous does not work with --key yet (it carries values across keys)")
    if args.tick is not None and args.state:
        raise UsageError("--tick with --key cannot be used with --state yet (the store keeps no tick clock)")


@dataclass
class Restored:
    """What `score` starts from: the detector and the extra state kept beside it."""

    detector: Any
    extra: dict[str, Any]
    loaded: bool


def _read_state(args: argparse.Namespace) -> Restored | None:
    """The detector and extras of --state, or None when there is no such file yet."""
    if not args.state or not os.path.exists(args.state):
        return None
    kind = KINDS[args.detector]
    try:
        with open(args.state, "rb") as f:
            data = f.read()
    except OSError as e:
        raise CliError(f"cannot read {args.state}: {e.strerror or e}") from None
    try:
        detector = kind.cls.from_json(data)
    except (ValueError, RuntimeError) as e:
        raise CliError(f"cannot restore {args.detector} from {args.state}: {e}{_state_hint(data, args)}") from None
    try:
        extra = _statefile.split(data)
    except _statefile.StateFileError as e:
        raise CliError(f"cannot restore {args.detector} from {args.state}: {e}") from None
    given = [o.flag for o in OPTIONS if getattr(args, o.param) is not None]
    if given:
        print(
            f"{PROG} score: note: {args.detector} restored from {args.state} keeps its saved "
            f"configuration; ignored {', '.join(given)}",
            file=sys.stderr,
        )
    return Restored(detector, extra, True)


def _state_hint(data: bytes, args: argparse.Namespace) -> str:
    """Which detector a state that failed to load belongs to, if any."""
    for name, other in KINDS.items():
        if name == args.detector:
            continue
        try:
            other.cls.from_json(data)
        except (ValueError, RuntimeError):
            continue
        return f" ({args.state} holds a state of class {other.class_name}: pass -d {name})"
    return ""


def _constructor_kwargs(args: argparse.Namespace, plan: Plan) -> dict[str, Any]:
    kwargs = {o.param: getattr(args, o.param) for o in OPTIONS if getattr(args, o.param) is not None}
    kwargs.update(plan.dims)
    return kwargs


def _create(args: argparse.Namespace, plan: Plan) -> Any:
    try:
        return KINDS[args.detector].create(**_constructor_kwargs(args, plan))
    except (ValueError, OverflowError) as e:
        raise CliError(f"invalid {args.detector} configuration: {e}") from None


def _format_duration(micros: int) -> str:
    for unit, size in (("d", 86400_000_000), ("h", 3600_000_000), ("min", 60_000_000), ("s", 1_000_000)):
        if micros % size == 0:
            return f"{micros // size}{unit}"
    return f"{micros // 1000}ms"


def _clock(args: argparse.Namespace, restored: Restored | None) -> TickClock | None:
    """MStream's tick clock: from the state when it has one, else new when --tick is given."""
    saved = restored.extra.get("clock") if restored else None
    if saved is not None:
        try:
            tick, first = saved["tick_us"], saved["first_tick"]
            if not (isinstance(tick, int) and tick > 0 and (first is None or isinstance(first, int))):
                raise TypeError
        except (TypeError, KeyError):
            raise CliError(f'cannot restore {args.detector} from {args.state}: malformed "clock"') from None
        if args.tick is not None and args.tick != tick:
            raise UsageError(
                f"--tick {_format_duration(args.tick)} differs from the tick of {_format_duration(tick)} saved in "
                f"{args.state}; ticks of a stream keep one length",
                usage=False,
            )
        return TickClock(tick, first)
    if args.tick is None:
        if args.timestamp_format == "epoch":
            raise UsageError("--timestamp-format epoch needs --tick DURATION (seconds since 1970 are not ticks)")
        return None
    if restored is not None and restored.detector.entries_seen() > 0:
        raise UsageError(
            f"{args.state} was saved by a run without --tick: its integer ticks cannot continue as dates",
            usage=False,
        )
    return TickClock(args.tick)


class Warmup:
    """Whether a row is still in the warm-up, from the number of records the detector learned."""

    def __init__(self, detector: Any, count: int | None) -> None:
        self.detector = detector
        self.count = count  # None: until is_ready()
        self.seen = detector.entries_seen()
        self.over = count is not None and self.seen >= count

    def active(self) -> bool:
        if self.over:
            return False
        if self.count is None:
            self.over = bool(self.detector.is_ready())
        else:
            self.over = self.seen >= self.count
        return not self.over


class MissingCells:
    """--on-missing skip / previous: fills or flags the empty cells of the required columns."""

    def __init__(self, policy: str, required: Sequence[int], header: Sequence[str], saved: Any) -> None:
        self.policy = policy
        self.required = list(required)
        self.header = header
        self.previous: dict[int, str] = {}
        if policy == "previous" and isinstance(saved, dict):
            for i in self.required:
                value = saved.get(header[i])
                if isinstance(value, str) and value.strip():
                    self.previous[i] = value

    def fill(self, fields: list[str]) -> list[str] | None:
        """The row to use, or None to skip it."""
        empty = [i for i in self.required if not fields[i].strip()]
        if self.policy == "skip":
            return None if empty else fields
        if empty:
            if any(i not in self.previous for i in empty):
                return None  # nothing earlier to carry forward
            fields = list(fields)
            for i in empty:
                fields[i] = self.previous[i]
        for i in self.required:
            self.previous[i] = fields[i]
        return fields

    def saved(self) -> dict[str, str]:
        return {self.header[i]: v for i, v in self.previous.items()}


ALERT_COLUMNS = ("grade", "is_alert")


class Alerts:
    """--alert-rate: each score's grade and alert flag from a tarn.alerts.Threshold kept with the state.

    With --no-update every row is graded against the saved threshold alone, as the
    detector scores it against the saved detector.
    """

    def __init__(self, threshold: Any, learns: bool) -> None:
        self.threshold = threshold
        self.learns = learns

    def cells(self, score: float) -> list[str]:
        threshold = self.threshold if self.learns else copy.copy(self.threshold)
        is_alert, grade = threshold.update(score)
        return [repr(grade), "1" if is_alert else "0"]

    def saved(self) -> Any:
        return json.loads(self.threshold.to_json())


def _alerts(args: argparse.Namespace, restored: Restored | None) -> Alerts | None:
    """The alert threshold: from the state when it has one, else new when --alert-rate is given."""
    from .alerts import Threshold

    saved = restored.extra.get("threshold") if restored else None
    if saved is not None:
        try:
            threshold = Threshold.from_json(json.dumps(saved))
        except (ValueError, TypeError) as e:
            raise CliError(f"cannot restore the alert threshold from {args.state}: {e}") from None
        config = saved.get("config", {}) if isinstance(saved, dict) else {}
        for flag, value, key in (("--alert-rate", args.alert_rate, "rate"), ("--alert-warmup", args.alert_warmup, "warmup")):
            if value is not None and value != config.get(key):
                raise UsageError(
                    f"{flag} {value} differs from the {config.get(key)} of the threshold saved in {args.state}",
                    usage=False,
                )
        return Alerts(threshold, not args.no_update)
    if args.alert_rate is None:
        return None
    kwargs = {"rate": args.alert_rate}
    if args.alert_warmup is not None:
        kwargs["warmup"] = args.alert_warmup
    try:
        threshold = Threshold(**kwargs)
    except (ValueError, OverflowError) as e:
        raise UsageError(f"--alert-rate/--alert-warmup: {e}", usage=False) from None
    if restored is not None and restored.detector.entries_seen() > 0:
        print(
            f"{PROG} score: note: {args.state} holds no alert threshold; a new one starts with this input",
            file=sys.stderr,
        )
    return Alerts(threshold, not args.no_update)


class KeyedRows:
    """--key: each row goes to its key's detector in a DetectorPool, whose store is --state.

    `template` is a detector built with the run's options: it fixes the
    warm-up length, which each key counts on its own detector.
    """

    def __init__(self, args: argparse.Namespace, kind: Kind, columns: Columns, plan: Plan, template: Any) -> None:
        from .keyed import DetectorPool, key_seed

        if not callable(getattr(template, "to_bytes", None)):
            # The store holds binary states.
            raise UsageError(f"--key does not work with --detector {args.detector} yet", usage=False)
        self.key_index = columns.resolve([args.key], "--key")[0]
        self.warmup = args.warmup if args.warmup is not None else kind.warmup(template)
        kwargs = _constructor_kwargs(args, plan)
        base_seed = kwargs.pop("seed", None)

        def make_detector(key: Any) -> Any:
            if base_seed is None:
                return kind.create(**kwargs)
            return kind.create(**kwargs, seed=key_seed(key, base_seed))

        self.store = args.state
        existed = bool(args.state) and os.path.exists(args.state)
        try:
            self.pool = DetectorPool(make_detector, store=args.state, max_resident=args.max_resident or 10_000)
        except ValueError as e:
            raise CliError(f"cannot open the store {args.state}: {e}") from None
        given = [o.flag for o in OPTIONS if getattr(args, o.param) is not None and o.param != "seed"]
        if existed and given:
            print(
                f"{PROG} score: note: keys already in {args.state} keep their saved configuration; "
                f"{', '.join(given)} apply to new keys",
                file=sys.stderr,
            )
        self.call = self.pool.score if args.no_update else self.pool.update_and_score

    def score(self, fields: Sequence[str], call_args: tuple[object, ...]) -> tuple[bool, float]:
        """Whether the row is in its key's warm-up, and its score."""
        key = fields[self.key_index]
        detector = self.pool.get(key)
        if detector is None:  # a new key
            warm = self.warmup is None or self.warmup > 0
        elif self.warmup is None:
            warm = not detector.is_ready()
        else:
            warm = detector.entries_seen() < self.warmup
        return warm, self.call(key, *call_args)

    def close(self, flush: bool) -> None:
        try:
            self.pool.close(flush=flush)
        except sqlite3.Error as e:
            raise CliError(f"cannot save the state to {self.store}: {e}") from None


@dataclass
class Collected:
    """What --plot draws, gathered while scoring."""

    times: list[str] = field(default_factory=list)
    values: list[list[str]] = field(default_factory=list)
    scores: list[float] = field(default_factory=list)
    alerts: list[int] = field(default_factory=list)


# --------------------------------------------------------------------------
# score


def run_score(args: argparse.Namespace) -> int:
    _check_applicable(args)
    if args.plot:
        require_matplotlib()
    kind = KINDS[args.detector]
    source = "<stdin>" if args.input == "-" else args.input
    raw, is_file, size = _open_input(args.input)
    targets: list[AtomicTarget] = []
    out_file: TextIO | None = None
    progress: Progress | None = None
    pool: KeyedRows | None = None
    try:
        reader, header, rows = _read_csv(raw, args.delimiter, source)
        if args.score_column in header:
            raise CliError(
                f"{source}: the header already has a column {args.score_column!r}; "
                "choose another name with --score-column"
            )
        keyed = args.key is not None
        restored = None if keyed else _read_state(args)
        alerts = _alerts(args, restored)
        added = [args.score_column, *(ALERT_COLUMNS if alerts else ())]
        for name in added[1:]:
            if name in header or name == args.score_column:
                raise CliError(f"{source}: the header already has a column {name!r}, which --alert-rate adds")
        columns = Columns(header, args.delimiter)
        timestamp = columns.resolve([args.timestamp], "--timestamp")[0] if args.timestamp is not None else None
        ticks = None
        if kind.needs_ticks:
            assert timestamp is not None
            clock = _clock(args, restored)
            fresh = restored is None or restored.detector.entries_seen() == 0
            ticks = Ticks(header[timestamp], clock, args.timestamp_format == "epoch", fresh)
        plan = kind.plan(Context(args, columns, timestamp, ticks))
        detector = restored.detector if restored else _create(args, plan)
        extra = restored.extra if restored else {}
        method = detector.score if args.no_update else detector.update_and_score
        warmup = Warmup(detector, args.warmup if args.warmup is not None else kind.warmup(detector))
        if keyed:
            pool = KeyedRows(args, kind, columns, plan, detector)
        missing = (
            MissingCells(args.on_missing, plan.required, header, extra.get("previous"))
            if args.on_missing != "error"
            else None
        )
        collected = Collected() if args.plot else None

        # Committed in this order, the output first: should the state replacement
        # fail, a rerun of this piece starts again from the previous state.
        output_target = _target(targets, args.output if args.output != "-" else None)
        plot_target = _target(targets, args.plot)
        state_target = _target(targets, None if args.no_update or keyed else args.state)
        if output_target is not None:
            out_file = open(output_target.temp, "w", encoding="utf-8", newline="")
            out: TextIO = out_file
        else:
            out = sys.stdout
        if is_file and not args.no_progress and sys.stderr.isatty():
            progress = Progress(sys.stderr, raw, size, f"scoring {os.path.basename(source)}")

        writer = csv.writer(out, delimiter=args.delimiter, lineterminator="\n")
        writer.writerow([*header, *added])
        no_alert_cells = [""] * (len(added) - 1)
        width = len(header)
        convert = plan.convert
        learns = not args.no_update
        count = 0
        for fields in rows:
            if not fields:
                continue  # a blank line carries no record
            score = ""
            alert_cells = no_alert_cells
            try:
                if len(fields) != width:
                    hint = f" ({columns.delimiter_hint})" if columns.delimiter_hint else ""
                    raise RowError(f"expected {width} fields, got {len(fields)}{hint}")
                used = fields if missing is None else missing.fill(fields)
                if used is not None:
                    call_args = convert(used)
                    try:
                        if pool is None:
                            warm = not warmup.over and warmup.active()
                            value = method(*call_args)
                        else:
                            warm, value = pool.score(fields, call_args)
                    except (ValueError, RuntimeError, OverflowError) as e:
                        raise RowError(_detector_error(e, ticks)) from None
                    if learns:
                        warmup.seen += 1
                    if not warm:
                        score = repr(value)
                        if alerts is not None:
                            alert_cells = alerts.cells(value)
            except RowError as e:
                raise CliError(f"{source}, line {reader.line_num}: {e}") from None
            writer.writerow([*fields, score, *alert_cells])
            if collected is not None:
                if alert_cells[-1:] == ["1"]:
                    collected.alerts.append(len(collected.scores))
                collected.times.append(fields[timestamp] if timestamp is not None else "")
                collected.values.append([fields[i] for i in plan.plotted])
                collected.scores.append(float(score) if score else math.nan)
            count += 1
            if progress is not None:
                progress.update(count)
        if progress is not None:
            progress.update(count, force=True)
            progress.close()
            progress = None
        out.flush()
        if out_file is not None:
            out_file.close()
            out_file = None
        if collected is not None and plot_target is not None:
            _draw_scored(args, kind, header, plan, collected, plot_target.temp)
        if state_target is not None:
            _save_state(args, detector, extra, ticks, missing, alerts, state_target.temp)
        for target in targets:
            target.commit()
        targets = []
        if pool is not None:
            pool.close(flush=learns)
        return 0
    finally:
        if pool is not None:
            pool.close(flush=False)  # a failed run leaves the store at its last flush
        if progress is not None:
            progress.close()
        if out_file is not None:
            out_file.close()
        for target in targets:
            target.discard()
        if is_file:
            raw.close()


def _target(targets: list[AtomicTarget], path: str | None) -> AtomicTarget | None:
    """A new AtomicTarget for `path` (None for no path), appended to `targets`."""
    if not path:
        return None
    target = AtomicTarget(path)
    targets.append(target)
    return target


def _detector_error(error: Exception, ticks: Ticks | None) -> str:
    text = str(error)
    if ticks is not None and ticks.clock is not None and text.startswith("timestamps must be non-decreasing"):
        text += " (the ticks of dates/times that go back)"
    return text


def _save_state(
    args: argparse.Namespace,
    detector: Any,
    extra: dict[str, Any],
    ticks: Ticks | None,
    missing: MissingCells | None,
    alerts: Alerts | None,
    path: str,
) -> None:
    extra = {k: v for k, v in extra.items() if k not in ("version", "clock", "previous", "threshold")}
    if alerts is not None:
        extra["threshold"] = alerts.saved()
    if ticks is not None and ticks.clock is not None:
        clock = ticks.clock
        extra["clock"] = {"tick_us": clock.tick, "first_tick": clock.first, "first_tick_start": clock.first_tick_start()}
    if missing is not None and missing.policy == "previous":
        extra["previous"] = missing.saved()
    try:
        if not extra:
            detector.save_json(path)
            return
        text = _statefile.join(detector.to_json(), extra)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except (RuntimeError, OSError) as e:
        raise CliError(f"cannot save the state to {args.state}: {e}") from None


def _draw_scored(
    args: argparse.Namespace, kind: Kind, header: Sequence[str], plan: Plan, collected: Collected, path: str
) -> None:
    from ._plot import Picture, number_or_nan, parse_times, render

    names = [header[i] for i in plan.plotted]
    series = {name: [number_or_nan(row[k]) for row in collected.values] for k, name in enumerate(names)}
    times = None
    if args.timestamp is not None:
        times = parse_times(collected.times, args.timestamp_format)
    source = "standard input" if args.input == "-" else os.path.basename(args.input)
    picture = Picture(
        title=f"{kind.class_name} anomaly scores of {source}",
        series=series,
        scores=collected.scores,
        score_label=args.score_column,
        times=times,
        x_label=args.timestamp if times is not None else "row",
        alerts=collected.alerts,
    )
    render(picture, path)


# --------------------------------------------------------------------------
# demo and plot


def run_demo_command(args: argparse.Namespace) -> int:
    from ._demo import run_demo

    if args.plot:
        require_matplotlib()
        try:
            os.makedirs(args.plot, exist_ok=True)
        except OSError as e:
            raise CliError(f"cannot create {args.plot}: {e.strerror or e}") from None
    run_demo(sys.stdout, args.records, args.seed, args.detector, plot_dir=args.plot)
    return 0


def run_plot(args: argparse.Namespace) -> int:
    from ._plot import picture_of_scored, render

    require_matplotlib()
    if len(args.delimiter) != 1:
        raise UsageError("--delimiter must be one character")
    source = "<stdin>" if args.input == "-" else args.input
    raw, is_file, _ = _open_input(args.input)
    try:
        _, header, rows = _read_csv(raw, args.delimiter, source)
        body = [r for r in rows if r]
    finally:
        if is_file:
            raw.close()
    columns = Columns(header, args.delimiter)
    for k, r in enumerate(body):
        if len(r) != len(header):
            raise CliError(f"{source}: row {k + 1} has {len(r)} fields, the header {len(header)}")
    score = columns.resolve([args.score_column], "--score-column")[0]
    chosen = _column_list(args.columns)
    drawn = columns.resolve(chosen, "--columns") if chosen else None
    timestamp = columns.resolve([args.timestamp], "--timestamp")[0] if args.timestamp else None
    alert = header.index(args.alert_column) if args.alert_column in header else None
    title = args.title or f"anomaly scores of {'standard input' if args.input == '-' else os.path.basename(args.input)}"
    try:
        picture = picture_of_scored(header, body, score, drawn, timestamp, alert, args.timestamp_format, title)
    except ValueError as e:
        raise CliError(f"{source}: {e}") from None
    target = AtomicTarget(args.output)
    try:
        render(picture, target.temp)
        target.commit()
    finally:
        target.discard()
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser, subparsers = build_parser()
    args = parser.parse_args(argv)
    command = f"{PROG} {args.command}"
    runners = {"demo": run_demo_command, "score": run_score, "plot": run_plot}
    try:
        return runners[args.command](args)
    except UsageError as e:
        if e.show_usage:
            subparsers[args.command].print_usage(sys.stderr)
        print(f"{command}: error: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (CliError, FileError, PlotUnavailable) as e:
        print(f"{command}: error: {e}", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader of standard output went away (`... | head`): stop, saving
        # nothing, and keep the interpreter's final flush from complaining.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        if getattr(args, "state", None):
            print(f"{command}: error: output closed early; the state was not saved", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"{command}: interrupted; the state was not saved", file=sys.stderr)
        return EXIT_INTERRUPTED
