"""Several detectors on one numeric stream, their scores combined into one calibrated grade.

    >>> import tarn.ensemble
    >>> ens = tarn.ensemble.Ensemble.for_numeric(3, seed=1)
    >>> grades = ens.update_and_score_many([[0.1 * (i % 7), 1.0, -2.0] for i in range(500)])
    >>> 0.0 <= ens.update_and_score([9.0, 1.0, -2.0]) <= 1.0
    True

Each member's raw score becomes its own grade, the calibrated tail rank of
`tarn.alerts.Threshold` (the share of the member's earlier scores below this
one), so members whose scores live on different scales, saturate, tie or
drift during warm-up all speak the same language. The grades are combined by a
rule (see `Ensemble`), and the combined value is graded once more against its
own history: the result is again a tail rank in [0, 1], and an alert rate works
exactly as for `Threshold`.
"""

from __future__ import annotations

import json
import math
import os
from array import array
from collections.abc import Sequence
from typing import Any

from . import tarn as _tarn
from ._files import AtomicTarget, FileError
from .alerts import Threshold
from .preprocessing import MinMaxScaler, RobustScaler, _row, _rows

try:                    # optional, for the batch path of the combination (same results as the loop)
    import numpy as _np
except ImportError:     # pragma: no cover - numpy is not a dependency of tarn
    _np = None  # type: ignore[assignment]

__all__ = ["Ensemble"]

_KINDS: dict[str, Any] = {"Forest": _tarn.Forest, "OnlineIForest": _tarn.OnlineIForest, "MStream": _tarn.MStream,
          "FeatureSketch": _tarn.FeatureSketch}
_SCALERS: dict[str, Any] = {"MinMaxScaler": MinMaxScaler, "RobustScaler": RobustScaler}
_RULES = ("log", "mean", "max")
# The "log" rule scores a member's tail share p as ln((1 + f) / (p + f)): 0 for an
# ordinary record (p = 1), ln(21) ≈ 3.0 for a member that is certain (p -> 0). The floor f
# keeps one saturated member from deciding alone, yet lets a member that is sure of an
# anomaly outweigh two that see nothing.
_LOG_FLOOR = 0.05


def _kind(member: Any) -> str:
    for name, cls in _KINDS.items():
        if type(member) is cls:
            return name
    raise TypeError("members must be tarn detectors (Forest, OnlineIForest, MStream, FeatureSketch)")


class Ensemble:
    """Detectors on one numeric stream, graded and combined into one score in [0, 1].

    Parameters
    ----------
    members : sequence of detectors
        `Forest`, `OnlineIForest`, `MStream` (with `categorical_dim=0`; it gets
        one tick per record) or `FeatureSketch` (features named "x0", "x1", ...),
        each taking points of `input_dim * shingle_size` values. The ensemble
        owns them from now on: feeding them elsewhere breaks its state.
    input_dim : int
        Values per record.
    shingle_size : int
        Each member sees the last `shingle_size` records side by side, oldest
        first (the first record repeated until there are enough).
    scaler : MinMaxScaler, RobustScaler or None
        A scaler from `tarn.preprocessing` with the same `input_dim`, learning
        every record before it is scaled.
    scaled : sequence of bool or None
        Which members get scaled records (default: all, when there is a scaler).
    shingled : sequence of bool or None
        Which members get shingles (default: all); the others get single
        records of `input_dim` values, e.g. a `Forest` shingling internally.
    rule : "log", "mean" or "max"
        How members are combined. Each member's grade g among its n earlier
        scores gives a tail share p = ((1 - g) n + 1) / (n + 1) (never below
        1 / (n + 1), so records graded against a short history stay ordinary).
        "mean" averages 1 - p, "max" takes the largest 1 - p, and "log" (the
        default) averages ln(1.05 / (p + 0.05)), which moves like the mean for
        ordinary records and lets one member that is sure of an anomaly count
        for more.
    smoothing : int
        Span, in records, of an exponential moving average of the combined
        value (weight 2 / (smoothing + 1) for the newest record); each record
        is graded by the larger of its own combined value and that average, so
        a clear one-record anomaly counts at once and evidence that builds up
        over several records counts too. 1 (the default) grades each record
        alone.
    rate, warmup, half_life, relative_accuracy
        The `Threshold` of the combined value: its grade is the ensemble's
        result, and `update_and_alert` flags grades >= 1 - rate once `warmup`
        records have been seen. Member grades use thresholds with the same
        `relative_accuracy` and no decay.
    """

    def __init__(self, members: Sequence[Any], input_dim: int, *, shingle_size: int = 1,
                 scaler: MinMaxScaler | RobustScaler | None = None,
                 scaled: Sequence[bool] | None = None, shingled: Sequence[bool] | None = None,
                 rule: str = "log", smoothing: int = 1, rate: float = 0.001,
                 warmup: int = 1000, half_life: float | None = None,
                 relative_accuracy: float = 0.01) -> None:
        members = list(members)
        if not members:
            raise ValueError("an ensemble needs at least one member")
        kinds = [_kind(m) for m in members]
        if len({id(m) for m in members}) != len(members):
            raise ValueError("each member must be a separate detector")
        for name, value in (("input_dim", input_dim), ("shingle_size", shingle_size), ("smoothing", smoothing)):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an integer")
            if value < 1:
                raise ValueError(f"{name} must be at least 1")
        if scaler is not None:
            if type(scaler) not in _SCALERS.values():
                raise TypeError("scaler must be a tarn.preprocessing scaler or None")
            if scaler.input_dim != input_dim:
                raise ValueError("the scaler's input_dim differs from the ensemble's")
        if scaled is None:
            flags = [scaler is not None] * len(members)
        else:
            flags = [bool(f) for f in scaled]
            if len(flags) != len(members):
                raise ValueError("scaled needs one flag per member")
            if any(flags) and scaler is None:
                raise ValueError("scaled members need a scaler")
        own = [True] * len(members) if shingled is None else [bool(f) for f in shingled]
        if len(own) != len(members):
            raise ValueError("shingled needs one flag per member")
        if rule not in _RULES:
            raise ValueError(f"rule must be one of {', '.join(_RULES)}")
        self._final = Threshold(rate, warmup, half_life, relative_accuracy)
        self._grades = [Threshold(0.5, 0, None, relative_accuracy) for _ in members]
        self.input_dim = input_dim
        self.shingle_size = shingle_size
        self.rule = rule
        self.smoothing = smoothing
        self._smoothed: float | None = None      # the moving average so far (None before the first record)
        self._members = members
        self._member_kinds = kinds
        self._scaled = flags
        self._shingled = own
        self._scaler = scaler
        self._count = 0
        self._recent: list[list[float]] = []           # last shingle_size raw records
        self._recent_scaled: list[list[float]] = []
        self._names = [f"x{i}" for i in range(input_dim * shingle_size)]
        self._check_members()

    def _check_members(self) -> None:
        # Probe every member with a read-only score so that a member of the wrong size
        # fails here, not half-way through the first update.
        for member, kind, shingled in zip(self._members, self._member_kinds, self._shingled):
            probe = [0.0] * (self.input_dim * (self.shingle_size if shingled else 1))
            try:
                self._call(member, kind, "score", probe)
            except (TypeError, ValueError) as exc:
                raise ValueError(f"member {kind} does not take points of "
                                 f"{len(probe)} values: {exc}") from None

    # --- presets -----------------------------------------------------------------

    @classmethod
    def for_numeric(cls, input_dim: int, shingle_size: int = 1,
                    seed: int | None = None) -> Ensemble:
        """The recommended ensemble for numeric vectors (shingle_size 1) or series.

        Vectors: a `Forest` on min-max scaled records, a `Forest` and an
        `OnlineIForest` (window of 512 records, leaves split at 16) on the raw
        records, and two counters of value densities on the scaled records: a
        `FeatureSketch` with chains of depth 4 and an `MStream` with 16 buckets,
        4 rows and alpha 0.01 (trees isolate records that stand apart in
        several features together; densities find values rare in one feature or
        in a coarse cell of the whole record). Series (shingle_size > 1): a
        `Forest` shingling the scaled records itself, an `OnlineIForest` and an
        `MStream` on raw shingles (MStream's decayed counts follow level shifts
        in time, which shuffled vectors do not have), with
        `smoothing=2 * shingle_size` (an average centred about one shingle back:
        anomalies of a series last). Members are
        seeded with seed, seed + 1, seed + 2, ... in this order; grades are
        combined by the "log" rule.
        """
        if isinstance(input_dim, bool) or not isinstance(input_dim, int) or input_dim < 1:
            raise ValueError("input_dim must be an integer of at least 1")
        if isinstance(shingle_size, bool) or not isinstance(shingle_size, int) or shingle_size < 1:
            raise ValueError("shingle_size must be an integer of at least 1")

        def seeded(k: int) -> int | None:
            return None if seed is None else seed + k

        dim = input_dim * shingle_size
        scaler = MinMaxScaler(input_dim)
        if shingle_size == 1:
            # Shuffled vectors have no slow pattern that a long memory would keep: OnlineIForest's
            # window of 512 fills (and its scores settle) four times sooner than the default, and
            # MStream's alpha near 0 keeps its current count at the record itself, so its score
            # is the inverse of each value's share of the history. Both counters get coarser bins
            # than their defaults (16 buckets, chains of depth 4): over the first thousands of
            # records the default bins hold too few records to count.
            members: list[Any] = [
                _tarn.Forest(dim, seed=seeded(0)), _tarn.Forest(dim, seed=seeded(1)),
                _tarn.OnlineIForest(dim, window_size=512, max_leaf_samples=16, seed=seeded(2)),
                _tarn.FeatureSketch(chain_depth=4, seed=seeded(3)),
                _tarn.MStream(dim, 0, num_rows=4, num_buckets=16, alpha=0.01, seed=seeded(4))]
            return cls(members, input_dim, scaler=scaler, scaled=[True, False, False, True, True])
        members = [_tarn.Forest(input_dim, shingle_size=shingle_size, seed=seeded(0)),
                   _tarn.OnlineIForest(dim, seed=seeded(1)), _tarn.MStream(dim, 0, seed=seeded(2))]
        return cls(members, input_dim, shingle_size=shingle_size, scaler=scaler, scaled=[True, False, False],
                   shingled=[False, True, True], smoothing=2 * shingle_size)

    # --- one record ----------------------------------------------------------------

    @staticmethod
    def _tick(member: Any) -> int:
        # MStream members get a tick of their own per record, continuing their clock.
        now = member.current_time()
        return 1 if now is None else now + 1

    def _call(self, member: Any, kind: str, method: str, point: list[float]) -> float:
        fn = getattr(member, method)
        if kind == "MStream":
            return float(fn(point, [], self._tick(member)))
        if kind == "FeatureSketch":
            return float(fn([(f"x{i}", v) for i, v in enumerate(point)]))
        return float(fn(point))

    @staticmethod
    def _shingle(recent: list[list[float]], row: list[float], size: int) -> list[float]:
        rows = (recent + [row])[-size:]
        rows = [rows[0]] * (size - len(rows)) + rows
        return [v for r in rows for v in r]

    def _combine(self, per_member: Sequence[Sequence[float]], first: int) -> list[float]:
        """The combined values of consecutive records, the first graded against `first` scores.

        per_member holds each member's grades of the same records. One record is a batch
        of one, so single calls and batches share every operation.
        """
        k = len(per_member)
        shares = []
        top = 1.0 + _LOG_FLOOR
        for grades in per_member:
            # A member's tail share among its n earlier scores is 1 - grade; shrunk as
            # (share * n + 1) / (n + 1), it never claims more certainty than n scores allow,
            # so the first records of a stream (graded against almost nothing) stay ordinary.
            if _np is not None and len(grades) >= 16:
                # The same operations, one at a time over the batch (numpy rounds each as Python does).
                n = _np.arange(first, first + len(grades), dtype=_np.float64)
                tail = ((1.0 - _np.asarray(grades, dtype=_np.float64)) * n + 1.0) / (n + 1.0)
                if self.rule == "log":
                    shares.append(list(map(math.log, (top / (tail + _LOG_FLOOR)).tolist())))
                else:
                    shares.append((1.0 - tail if self.rule == "mean" else tail).tolist())
                continue
            tails = [((1.0 - g) * n + 1.0) / (n + 1.0) for g, n in zip(grades, range(first, first + len(grades)))]
            if self.rule == "log":
                shares.append([math.log(top / (p + _LOG_FLOOR)) for p in tails])
            elif self.rule == "mean":
                shares.append([1.0 - p for p in tails])
            else:
                shares.append(tails)
        if self.rule == "max":
            return [1.0 - min(ps) for ps in zip(*shares)]
        return [total / k for total in map(math.fsum, zip(*shares))]

    def _smooth(self, combined: list[float], keep: bool) -> list[float]:
        """What gets graded: each combined value or, if larger, the moving average so far.

        The average continues the current one and is kept when `keep` is true.
        """
        if self.smoothing == 1:
            return combined
        weight = 2.0 / (self.smoothing + 1.0)
        average = self._smoothed
        out: list[float] = []
        add = out.append
        for c in combined:
            average = c if average is None else average + weight * (c - average)
            add(average if average > c else c)      # max(c, average), without a call
        if keep:
            self._smoothed = average
        return out

    def _step(self, x: Any) -> tuple[bool, float]:
        row = _row(x, self.input_dim)
        scaled = self._scaler.update_and_transform(row) if self._scaler is not None else row
        self._count += 1
        size = self.shingle_size
        point = self._shingle(self._recent, row, size)
        point_scaled = self._shingle(self._recent_scaled, scaled, size) if self._scaler else point
        grades = []
        inputs = ((row, point), (scaled, point_scaled))
        for member, kind, flag, own, th in self._table():
            raw = self._call(member, kind, "update_and_score", inputs[flag][own])
            grades.append([th.update(raw)[1]])
        self._remember(row, scaled)
        return self._final.update(self._smooth(self._combine(grades, self._count - 1), True)[0])

    def _table(self) -> Any:
        return zip(self._members, self._member_kinds, self._scaled, self._shingled, self._grades)

    def _remember(self, row: list[float], scaled: list[float]) -> None:
        if self.shingle_size > 1:
            self._recent = (self._recent + [row])[-(self.shingle_size - 1):]
            if self._scaler is not None:
                self._recent_scaled = (self._recent_scaled + [scaled])[-(self.shingle_size - 1):]

    def update(self, x: Sequence[float]) -> None:
        """Learn one record (every member, scaler and threshold moves on)."""
        self._step(x)

    def update_and_score(self, x: Sequence[float]) -> float:
        """Learn one record and return its combined grade in [0, 1]."""
        return self._step(x)[1]

    def update_and_alert(self, x: Sequence[float]) -> tuple[bool, float]:
        """Learn one record and return (is_alert, grade) as `Threshold.update` does."""
        return self._step(x)

    def score(self, x: Sequence[float]) -> float:
        """The grade a record would get now, changing nothing."""
        row = _row(x, self.input_dim)
        scaled = self._scaler.transform(row) if self._scaler is not None else row
        point = self._shingle(self._recent, row, self.shingle_size)
        point_scaled = self._shingle(self._recent_scaled, scaled, self.shingle_size) if self._scaler else point
        grades = []
        inputs = ((row, point), (scaled, point_scaled))
        for member, kind, flag, own, th in self._table():
            raw = self._call(member, kind, "score", inputs[flag][own])
            grades.append([th.preview(raw)[1]])
        return self._final.preview(self._smooth(self._combine(grades, self._count), False)[0])[1]

    # --- batches -------------------------------------------------------------------

    def _points(self, rows: list[list[float]], recent: list[list[float]]) -> list[list[float]]:
        size = self.shingle_size
        if size == 1:
            return rows
        window = recent + rows
        # The first record stands in for the ones before the stream began.
        window = [window[0]] * (size - 1 - len(recent)) + window
        flat = [v for r in window for v in r]
        d = self.input_dim
        return [flat[t * d:(t + size) * d] for t in range(len(rows))]

    def _member_many(self, member: Any, kind: str, pts: list[list[float]]) -> Any:
        if not hasattr(member, "update_and_score_many"):
            return array("d", (self._call(member, kind, "update_and_score", p) for p in pts))
        if kind == "MStream":
            first = self._tick(member)
            return member.update_and_score_many(pts, None, range(first, first + len(pts)))
        if kind == "FeatureSketch":
            return member.update_and_score_many([list(zip(self._names, p)) for p in pts])
        return member.update_and_score_many(pts)

    def _many(self, batch: Any) -> tuple[array[int], array[float]]:
        rows = _rows(batch, self.input_dim)
        if not rows:
            return array("b"), array("d")
        scaled = self._scaler._learn_and_scale(rows) if self._scaler is not None else rows
        # Shingles are built only for the inputs some member takes.
        wanted = {(flag, own) for flag, own in zip(self._scaled, self._shingled)}
        points = self._points(rows, self._recent) if (False, True) in wanted else rows
        points_scaled = self._points(scaled, self._recent_scaled) if (True, True) in wanted else scaled
        per_member = []
        inputs = ((rows, points), (scaled, points_scaled))
        for member, kind, flag, own, th in self._table():
            raws = self._member_many(member, kind, inputs[flag][own])
            per_member.append(th.update_many(raws)[1])
        start = self._count
        self._count += len(rows)
        keep = self.shingle_size - 1
        if keep:
            self._recent = (self._recent + rows)[-keep:]
            if self._scaler is not None:
                self._recent_scaled = (self._recent_scaled + scaled)[-keep:]
        return self._final.update_many(self._smooth(self._combine(per_member, start), True))

    def update_many(self, rows: Any) -> None:
        """`update` for every row of a batch (a 2-D array or a sequence of rows)."""
        self._many(rows)

    def update_and_score_many(self, rows: Any) -> array[float]:
        """`update_and_score` for every row of a batch, as array('d')."""
        return self._many(rows)[1]

    def update_and_alert_many(self, rows: Any) -> tuple[array[int], array[float]]:
        """`update_and_alert` for every row: (array('b') of 0/1, array('d') of grades)."""
        return self._many(rows)

    def score_many(self, rows: Any) -> array[float]:
        """`score` for every row of a batch against the current state, as array('d')."""
        checked = _rows(rows, self.input_dim)
        return array("d", (self.score(r) for r in checked))

    # --- alerts and state ------------------------------------------------------------

    def threshold(self) -> float | None:
        """The combined value that would alert now (None before warm-up)."""
        return self._final.threshold()

    def entries_seen(self) -> int:
        """Records learned so far."""
        return self._count

    def is_ready(self) -> bool:
        """True once every member is ready."""
        return all(m.is_ready() for m in self._members)

    @property
    def members(self) -> list[Any]:
        """The member detectors (owned by the ensemble: read them, do not feed them)."""
        return list(self._members)

    def to_json(self) -> str:
        """The complete state (members, scaler, thresholds, recent records) as one JSON text."""
        # Version 2 only adds the moving average; an ensemble without one keeps writing
        # version 1, which earlier releases read.
        extra = {} if self.smoothing == 1 else {"smoothing": self.smoothing, "smoothed": self._smoothed}
        return json.dumps({
            "kind": "Ensemble", "version": 2 if extra else 1, "input_dim": self.input_dim,
            "shingle_size": self.shingle_size, "rule": self.rule, "count": self._count,
            "members": [{"kind": k, "scaled": f, "shingled": own, "state": m.to_json(),
                         "grade": th.to_json()} for m, k, f, own, th in self._table()],
            "scaler": None if self._scaler is None else self._scaler.to_json(),
            "final": self._final.to_json(),
            "recent": self._recent, "recent_scaled": self._recent_scaled, **extra,
        }, allow_nan=False, separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str | bytes) -> Ensemble:
        """Rebuild an ensemble from `to_json()`; a malformed text raises ValueError."""
        prefix = "invalid Ensemble JSON: "
        try:
            state = json.loads(text)
            if not isinstance(state, dict) or state.get("kind") != "Ensemble" or state.get("version") not in (1, 2):
                raise ValueError("not an Ensemble state of version 1 or 2")
            smoothing, smoothed = 1, None
            if state["version"] == 2:
                smoothing, smoothed = state["smoothing"], state["smoothed"]
                if isinstance(smoothing, bool) or not isinstance(smoothing, int) or smoothing < 2:
                    raise ValueError("smoothing must be an integer of at least 2 in version 2")
                if (smoothed is None) != (state["count"] == 0) or not (smoothed is None or (
                        not isinstance(smoothed, bool) and isinstance(smoothed, (int, float))
                        and math.isfinite(smoothed))):
                    raise ValueError("smoothed must be a finite number once records were seen")
            specs = state["members"]
            if not isinstance(specs, list):
                raise ValueError("members must be a list")
            members, flags, own, grades = [], [], [], []
            for spec in specs:
                kind = spec["kind"]
                if kind not in _KINDS:
                    raise ValueError(f"unknown member kind {kind!r}")
                members.append(_KINDS[kind].from_json(spec["state"]))
                flags.append(spec["scaled"] is True)
                own.append(spec["shingled"] is True)
                grades.append(Threshold.from_json(spec["grade"]))
            scaler_text = state["scaler"]
            scaler = None
            if scaler_text is not None:
                kind = json.loads(scaler_text).get("kind")
                if kind not in _SCALERS:
                    raise ValueError(f"unknown scaler kind {kind!r}")
                scaler = _SCALERS[kind].from_json(scaler_text)
            count = state["count"]
            if isinstance(count, bool) or not isinstance(count, int) or count < 0:
                raise ValueError("count must be a non-negative integer")
            ens = cls(members, state["input_dim"], shingle_size=state["shingle_size"], scaler=scaler,
                      scaled=flags, shingled=own, rule=state["rule"], smoothing=smoothing)
            ens._count = count
            ens._smoothed = None if smoothed is None else float(smoothed)
            ens._grades = grades
            ens._final = Threshold.from_json(state["final"])
            keep = min(count, ens.shingle_size - 1)
            for name in ("recent", "recent_scaled"):
                value = state[name]
                want = keep if name == "recent" or scaler is not None else 0
                if not isinstance(value, list) or len(value) != want:
                    raise ValueError(f"{name} must hold the last {want} records")
                setattr(ens, "_" + name, [_row(r, ens.input_dim) for r in value])
            ens._check_members()
            return ens
        except (KeyError, TypeError, AttributeError, RecursionError) as exc:
            raise ValueError(prefix + f"missing or malformed field ({exc})") from None
        except ValueError as exc:
            message = str(exc)
            raise ValueError(message if message.startswith(prefix) else prefix + message) from None

    def save_json(self, path: str | os.PathLike[str]) -> None:
        """Write `to_json()` to a file, replacing it only once the new text is complete.

        Failures raise RuntimeError("I/O error: ..."), as the detectors' `save_json` does.
        """
        text = self.to_json()
        try:
            target = AtomicTarget(os.fspath(path))
        except FileError as exc:
            raise RuntimeError(f"I/O error: {exc}") from None
        try:
            with open(target.temp, "w", encoding="utf-8") as f:
                f.write(text)
            target.commit()
        except (OSError, FileError) as exc:
            target.discard()
            raise RuntimeError(f"I/O error: {exc}") from None

    @classmethod
    def load_json(cls, path: str | os.PathLike[str]) -> Ensemble:
        """Read an ensemble written by `save_json`."""
        try:
            with open(os.fspath(path), "rb") as f:
                data = f.read()
        except OSError as exc:
            raise RuntimeError(f"I/O error: {exc}") from None
        return cls.from_json(data)

    def __getstate__(self) -> str:
        return self.to_json()

    def __setstate__(self, text: str) -> None:
        self.__dict__.update(Ensemble.from_json(text).__dict__)

    def __copy__(self) -> Ensemble:
        return Ensemble.from_json(self.to_json())

    def __deepcopy__(self, memo: object) -> Ensemble:
        return self.__copy__()

    def __repr__(self) -> str:
        names = ", ".join(self._member_kinds)
        return (f"Ensemble([{names}], input_dim={self.input_dim}, shingle_size={self.shingle_size}, "
                f"rule={self.rule!r})")
