"""The command line: `python -m tarn demo` and `python -m tarn score`.

Only the standard library is used. `score` streams a CSV file (or standard
input) through one detector and writes every row back with an added score
column; with `--state FILE` the detector is restored from, and saved back to,
a JSON state, so that a long stream can be scored in pieces.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import hashlib
import math
import os
import sqlite3
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, TextIO

from . import tarn as _ext

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
    """A command line that cannot work; reported with the usage, exit status 2."""


class RowError(Exception):
    """A malformed or rejected input row; the caller adds the line number."""


# --------------------------------------------------------------------------
# Detector options


@dataclass(frozen=True)
class Option:
    """One detector parameter exposed as a command-line option."""

    param: str  # keyword of the detector constructor
    kind: str  # "count", "float" or "flag-off"
    detectors: tuple[str, ...]  # the detectors that take it
    help: str

    @property
    def flag(self) -> str:
        if self.kind == "flag-off":
            return "--no-" + self.param.replace("_", "-")
        return "--" + self.param.replace("_", "-")


FOREST = "forest"
ONLINE_IFOREST = "onlineiforest"
MSTREAM = "mstream"
FEATURE_SKETCH = "featuresketch"
DETECTOR_NAMES = (FOREST, ONLINE_IFOREST, MSTREAM, FEATURE_SKETCH)

CLASS_NAMES = {FOREST: "Forest", ONLINE_IFOREST: "OnlineIForest", MSTREAM: "MStream", FEATURE_SKETCH: "FeatureSketch"}

OPTIONS: tuple[Option, ...] = (
    Option("shingle_size", "count", (FOREST,), "consecutive rows joined into one point (default 1)"),
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
    Option("seed", "count", DETECTOR_NAMES, "random seed; without it every run differs"),
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


def _detector_name(text: str) -> str:
    name = text.lower().replace("-", "").replace("_", "")
    if name not in DETECTOR_NAMES:
        raise argparse.ArgumentTypeError(f"unknown detector {text!r} (choose from {', '.join(DETECTOR_NAMES)})")
    return name


def _demo_records(text: str) -> int:
    value = _count(text)
    if value < 100:
        raise argparse.ArgumentTypeError("expected at least 100 records (room for a warm-up and anomalies)")
    return value


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

    demo = commands.add_parser(
        "demo",
        help="run every detector on a generated stream and print throughput and ROC-AUC",
        description=(
            "Run every detector on a generated stream with injected anomalies (fixed seed) and print, "
            "per detector, the number of records, the throughput and the ROC-AUC of the scores "
            "against the injected labels."
        ),
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

    score = commands.add_parser(
        "score",
        help="score the rows of a CSV file and write them back with a score column",
        description=(
            "Read a CSV file with a header row (or standard input), feed every row to one detector "
            "and write the rows back with an added score column. Each row's score is the "
            "detector's update_and_score() (with --no-update, score())."
        ),
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
        help=f"one of {', '.join(DETECTOR_NAMES)} (default {FOREST})",
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
        "--no-update", action="store_true", help="only score the rows; the detector (and --state) stays unchanged"
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
    cols.add_argument(
        "--numeric",
        action="append",
        metavar="COLS",
        help="numeric columns (forest, onlineiforest: default all columns; mstream)",
    )
    cols.add_argument("--categorical", action="append", metavar="COLS", help="categorical columns (mstream, featuresketch)")
    cols.add_argument("--timestamp", metavar="COL", help="column of positive integer ticks (mstream, required)")
    cols.add_argument(
        "--features",
        action="append",
        metavar="COLS",
        help="numeric feature columns (featuresketch; default all columns unless --categorical is given)",
    )
    cols.add_argument("--score-column", default="score", metavar="NAME", help="name of the added column (default score)")
    cols.add_argument("--delimiter", default=",", metavar="CHAR", help="field delimiter of input and output (default ,)")

    params = score.add_argument_group("detector parameters (a parameter left out takes the detector's default)")
    for option in OPTIONS:
        names = ", ".join(option.detectors) if option.detectors != DETECTOR_NAMES else "all"
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

    score.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    return parser, {"demo": demo, "score": score}


# --------------------------------------------------------------------------
# Columns and row conversion


def _column_list(values: Sequence[str] | None) -> list[str]:
    names: list[str] = []
    for value in values or ():
        names.extend(part.strip() for part in value.split(",") if part.strip())
    return names


def _resolve(header: Sequence[str], names: Sequence[str], option: str) -> list[int]:
    indexes: list[int] = []
    for name in names:
        found = [i for i, h in enumerate(header) if h == name]
        if not found:
            raise CliError(f"{option}: no column {name!r} in the header (columns: {', '.join(header)})")
        if len(found) > 1:
            raise CliError(f"{option}: the header has {len(found)} columns named {name!r}")
        indexes.append(found[0])
    return indexes


def _number(cell: str, column: str, hint: str = "") -> float:
    try:
        value = float(cell)
    except ValueError:
        if not cell.strip():
            raise RowError(f"column {column!r}: empty value") from None
        raise RowError(f"column {column!r}: {cell!r} is not a number{hint}") from None
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


def _timestamp(cell: str, column: str) -> int:
    try:
        value = int(cell, 10)
    except ValueError:
        value = -1
    if not 0 < value <= _U64_MAX:
        raise RowError(f"column {column!r}: timestamp {cell!r} is not a positive integer")
    return value


Converter = Callable[[Sequence[str]], tuple[object, ...]]


def _point_converter(header: Sequence[str], indexes: Sequence[int]) -> Converter:
    names = [header[i] for i in indexes]

    def convert(fields: Sequence[str]) -> tuple[object, ...]:
        return ([_number(fields[i], n) for i, n in zip(indexes, names)],)

    return convert


def _record_converter(
    header: Sequence[str], numeric: Sequence[int], categorical: Sequence[int], timestamp: int
) -> Converter:
    numeric_names = [header[i] for i in numeric]
    ts_name = header[timestamp]
    hint = " (use --categorical for text columns)"

    def convert(fields: Sequence[str]) -> tuple[object, ...]:
        values = [_number(fields[i], n, hint) for i, n in zip(numeric, numeric_names)]
        return (values, [category_code(fields[i]) for i in categorical], _timestamp(fields[timestamp], ts_name))

    return convert


def _event_converter(header: Sequence[str], features: Sequence[int], categorical: Sequence[int]) -> Converter:
    feature_names = [header[i] for i in features]
    category_names = [header[i] for i in categorical]
    hint = " (use --categorical for text columns)"

    def convert(fields: Sequence[str]) -> tuple[object, ...]:
        event: list[tuple[str, float]] = []
        for i, name in zip(features, feature_names):
            if fields[i].strip():
                event.append((name, _number(fields[i], name, hint)))
        for i, name in zip(categorical, category_names):
            if fields[i].strip():
                event.append((f"{name}={fields[i].strip()}", 1.0))
        return (event,)

    return convert


@dataclass
class Plan:
    """What `score` does with each row: the converter and the detector's dimensions."""

    convert: Converter
    dims: dict[str, int]


def _check_applicable(args: argparse.Namespace) -> None:
    detector = args.detector
    column_options = {
        "--numeric": (args.numeric, (FOREST, ONLINE_IFOREST, MSTREAM)),
        "--categorical": (args.categorical, (MSTREAM, FEATURE_SKETCH)),
        "--timestamp": (args.timestamp, (MSTREAM,)),
        "--features": (args.features, (FEATURE_SKETCH,)),
    }
    for flag, (value, detectors) in column_options.items():
        if value is not None and detector not in detectors:
            raise UsageError(f"{flag} does not apply to --detector {detector}")
    for option in OPTIONS:
        if getattr(args, option.param) is not None and detector not in option.detectors:
            raise UsageError(f"{option.flag} does not apply to --detector {detector}")
    if detector == MSTREAM:
        if args.timestamp is None:
            raise UsageError("--detector mstream needs --timestamp COL")
        if not _column_list(args.numeric) and not _column_list(args.categorical):
            raise UsageError("--detector mstream needs --numeric and/or --categorical columns")
    if len(args.delimiter) != 1:
        raise UsageError("--delimiter must be one character")
    if args.max_resident is not None and args.key is None:
        raise UsageError("--max-resident needs --key")
    if args.max_resident == 0:
        raise UsageError("--max-resident must be at least 1")


def _other_columns(args: argparse.Namespace, header: Sequence[str]) -> list[int]:
    """Every column but the --key column: the default selection."""
    return [i for i, name in enumerate(header) if name != args.key]


def make_plan(args: argparse.Namespace, header: Sequence[str]) -> Plan:
    detector = args.detector
    if detector in (FOREST, ONLINE_IFOREST):
        names = _column_list(args.numeric)
        indexes = _resolve(header, names, "--numeric") if names else _other_columns(args, header)
        if not indexes:
            raise CliError("no numeric columns selected")
        dims = {"input_dim": len(indexes)}
        if detector == FOREST and args.internal_shingling is False:
            # Each row is a whole shingle of input_dim * shingle_size values. A
            # shingle size of 0 is left to the constructor to refuse.
            shingle = args.shingle_size if args.shingle_size is not None else 1
            if shingle > 0:
                if len(indexes) % shingle:
                    raise CliError(
                        f"--no-internal-shingling: {len(indexes)} numeric columns do not split into "
                        f"shingles of {shingle}"
                    )
                dims = {"input_dim": len(indexes) // shingle}
        return Plan(_point_converter(header, indexes), dims)
    if detector == MSTREAM:
        numeric = _resolve(header, _column_list(args.numeric), "--numeric")
        categorical = _resolve(header, _column_list(args.categorical), "--categorical")
        (timestamp,) = _resolve(header, [args.timestamp], "--timestamp")
        return Plan(
            _record_converter(header, numeric, categorical, timestamp),
            {"numeric_dim": len(numeric), "categorical_dim": len(categorical)},
        )
    feature_names = _column_list(args.features)
    categorical_names = _column_list(args.categorical)
    if not feature_names and not categorical_names:
        features = _other_columns(args, header)
    else:
        features = _resolve(header, feature_names, "--features")
    categorical = _resolve(header, categorical_names, "--categorical")
    return Plan(_event_converter(header, features, categorical), {})


# --------------------------------------------------------------------------
# Files: atomic replacement and the progress bar


def _new_file_mode(path: str) -> int:
    """The mode a plain open() would leave: the existing file's, else 0666 less the umask."""
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


class AtomicTarget:
    """A temporary file beside `path` that replaces `path` only on commit().

    The temporary file is created at once, so an unwritable directory is
    reported before any work is done. Until commit() nothing touches `path`;
    discard() removes the temporary file.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        try:
            fd, self.temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
        except OSError as e:
            raise CliError(f"cannot write {path}: {e.strerror or e}") from None
        os.close(fd)
        self.mode = _new_file_mode(path)

    def commit(self) -> None:
        try:
            os.chmod(self.temp, self.mode)
            with open(self.temp, "rb") as f:
                os.fsync(f.fileno())
            os.replace(self.temp, self.path)
        except OSError as e:
            raise CliError(f"cannot write {self.path}: {e.strerror or e}") from None
        with contextlib.suppress(OSError):
            dir_fd = os.open(os.path.dirname(os.path.abspath(self.path)), os.O_RDONLY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)

    def discard(self) -> None:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.temp)


class Progress:
    """A one-line progress bar on standard error, redrawn at most ten times a second.

    The position is the byte offset reached in the input file, against its size.
    """

    def __init__(self, stream: TextIO, source: IO[bytes], total_bytes: int, label: str) -> None:
        self.stream = stream
        self.source = source
        self.total = max(total_bytes, 1)
        self.label = label
        self.start = time.monotonic()
        self.last = self.start - 1.0

    def update(self, rows: int, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self.last < 0.1:
            return
        self.last = now
        fraction = min(self.source.tell() / self.total, 1.0)
        width = 30
        filled = int(fraction * width)
        bar = "#" * filled + "-" * (width - filled)
        rate = rows / max(now - self.start, 1e-9)
        self.stream.write(f"\r{self.label} [{bar}] {fraction:4.0%}  {rows:,} rows  {rate:,.0f} rows/s")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()


# --------------------------------------------------------------------------
# score


def _restore_or_create(args: argparse.Namespace, plan: Plan) -> Any:
    """The detector: loaded from --state when that file exists, else newly built."""
    cls: Any = getattr(_ext, CLASS_NAMES[args.detector])
    if args.state and os.path.exists(args.state):
        try:
            detector = cls.load_json(args.state)
        except (ValueError, RuntimeError) as e:
            raise CliError(f"cannot restore {args.detector} from {args.state}: {e}") from None
        given = [o.flag for o in OPTIONS if getattr(args, o.param) is not None]
        if given:
            print(
                f"{PROG} score: note: {args.detector} restored from {args.state} keeps its saved "
                f"configuration; ignored {', '.join(given)}",
                file=sys.stderr,
            )
        return detector
    kwargs = {o.param: getattr(args, o.param) for o in OPTIONS if getattr(args, o.param) is not None}
    kwargs.update(plan.dims)
    try:
        return cls(**kwargs)
    except (ValueError, OverflowError) as e:
        raise CliError(f"invalid {args.detector} configuration: {e}") from None


def _open_pool(args: argparse.Namespace, plan: Plan) -> Any:
    """The DetectorPool of --key: its store is --state (in memory without it)."""
    from .keyed import DetectorPool, key_seed

    cls: Any = getattr(_ext, CLASS_NAMES[args.detector])
    kwargs = {o.param: getattr(args, o.param) for o in OPTIONS if getattr(args, o.param) is not None}
    kwargs.update(plan.dims)
    base_seed = kwargs.pop("seed", None)
    try:
        cls(**kwargs)  # a bad configuration fails here, not at the first row
    except (ValueError, OverflowError) as e:
        raise CliError(f"invalid {args.detector} configuration: {e}") from None

    def make_detector(key: Any) -> Any:
        if base_seed is None:
            return cls(**kwargs)
        return cls(**kwargs, seed=key_seed(key, base_seed))

    existed = bool(args.state) and os.path.exists(args.state)
    try:
        pool = DetectorPool(make_detector, store=args.state, max_resident=args.max_resident or 10_000)
    except ValueError as e:
        raise CliError(f"cannot open the store {args.state}: {e}") from None
    given = [o.flag for o in OPTIONS if getattr(args, o.param) is not None and o.param != "seed"]
    if existed and given:
        print(
            f"{PROG} score: note: keys already in {args.state} keep their saved configuration; "
            f"{', '.join(given)} apply to new keys",
            file=sys.stderr,
        )
    return pool


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


def run_score(args: argparse.Namespace) -> int:
    _check_applicable(args)
    source = "<stdin>" if args.input == "-" else args.input
    raw, is_file, size = _open_input(args.input)
    output_target: AtomicTarget | None = None
    state_target: AtomicTarget | None = None
    out_file: TextIO | None = None
    progress: Progress | None = None
    pool: Any = None  # the DetectorPool of --key
    fields: list[str] = []
    try:
        reader = csv.reader(_decoded_lines(raw), delimiter=args.delimiter, strict=True)
        rows = _rows(reader, source)
        header = next(rows, None)
        if header is None:
            raise CliError(f"{source}: the input is empty; expected a header row")
        if args.score_column in header:
            raise CliError(
                f"{source}: the header already has a column {args.score_column!r}; "
                "choose another name with --score-column"
            )
        plan = make_plan(args, header)
        method: Callable[..., float]
        if args.key is not None:
            (key_index,) = _resolve(header, [args.key], "--key")
            pool = _open_pool(args, plan)
            pooled = pool.score if args.no_update else pool.update_and_score

            def keyed(*call_args: object) -> float:
                return pooled(fields[key_index], *call_args)  # type: ignore[no-any-return]

            method = keyed
        else:
            detector = _restore_or_create(args, plan)
            method = detector.score if args.no_update else detector.update_and_score

        if args.state and not args.no_update and pool is None:
            state_target = AtomicTarget(args.state)
        if args.output and args.output != "-":
            output_target = AtomicTarget(args.output)
            out_file = open(output_target.temp, "w", encoding="utf-8", newline="")
            out: TextIO = out_file
        else:
            out = sys.stdout
        if is_file and not args.no_progress and sys.stderr.isatty():
            progress = Progress(sys.stderr, raw, size, f"scoring {os.path.basename(source)}")

        writer = csv.writer(out, delimiter=args.delimiter, lineterminator="\n")
        writer.writerow([*header, args.score_column])
        width = len(header)
        convert = plan.convert
        count = 0
        for fields in rows:
            if not fields:
                continue  # a blank line carries no record
            try:
                if len(fields) != width:
                    raise RowError(f"expected {width} fields, got {len(fields)}")
                call_args = convert(fields)
                try:
                    value = method(*call_args)
                except (ValueError, RuntimeError, OverflowError) as e:
                    raise RowError(str(e)) from None
            except RowError as e:
                raise CliError(f"{source}, line {reader.line_num}: {e}") from None
            writer.writerow([*fields, repr(value)])
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
        if state_target is not None:
            try:
                detector.save_json(state_target.temp)
            except RuntimeError as e:
                raise CliError(f"cannot save the state to {args.state}: {e}") from None
        # The output first: should the state replacement fail, a rerun of this
        # piece starts again from the previous state.
        if output_target is not None:
            output_target.commit()
            output_target = None
        if state_target is not None:
            state_target.commit()
            state_target = None
        if pool is not None:
            try:
                pool.close(flush=not args.no_update)
            except sqlite3.Error as e:
                raise CliError(f"cannot save the state to {args.state}: {e}") from None
        return 0
    finally:
        if pool is not None:
            pool.close(flush=False)  # a failed run leaves the store at its last flush
        if progress is not None:
            progress.close()
        if out_file is not None:
            out_file.close()
        for target in (output_target, state_target):
            if target is not None:
                target.discard()
        if is_file:
            raw.close()


def run_demo_command(args: argparse.Namespace) -> int:
    from ._demo import run_demo

    run_demo(sys.stdout, args.records, args.seed, args.detector)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser, subparsers = build_parser()
    args = parser.parse_args(argv)
    command = f"{PROG} {args.command}"
    try:
        if args.command == "demo":
            return run_demo_command(args)
        return run_score(args)
    except UsageError as e:
        subparsers[args.command].print_usage(sys.stderr)
        print(f"{command}: error: {e}", file=sys.stderr)
        return EXIT_USAGE
    except CliError as e:
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
