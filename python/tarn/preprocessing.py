"""Streaming per-feature scalers for numeric vectors.

Tree detectors cut every coordinate in proportion to its range, so a feature
measured in thousands drowns one measured in fractions. A scaler in front
puts every feature on a comparable scale, learning that scale from the stream
itself:

- `MinMaxScaler`: (x - low) / (high - low) with decayed extremes;
- `RobustScaler`: (x - median) / (q75 - q25) with quantiles tracked in the
  stream, so a few wild values do not stretch the scale.

Both follow the detectors' protocol: `update`, `transform` (no change),
`update_and_transform` (learn the row, then scale it), the `_many` forms for
batches (a 2-D array or a sequence of rows, scaled exactly as a loop of single
calls would), `to_json` / `from_json`, pickling and `copy`. All arithmetic is
plain double precision in a fixed order, so the same rows give the same bits
on every machine and a scaler rebuilt from its state continues identically.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Sequence
from typing import Any, ClassVar, TypeVar

try:                    # optional: only the batch path of MinMaxScaler uses it, with the loop's exact results
    import numpy as _np
except ImportError:     # pragma: no cover - numpy is not a dependency of tarn
    _np = None  # type: ignore[assignment]

__all__ = ["MinMaxScaler", "RobustScaler"]

_S = TypeVar("_S", bound="_Scaler")
# Robust scaled values are capped here: a feature that was constant and then moves divides
# by a tiny spread, and the detectors behind must still get finite, moderate numbers.
_CAP = 1e6


def _check_dim(input_dim: Any) -> int:
    if isinstance(input_dim, bool) or not isinstance(input_dim, int):
        raise TypeError("input_dim must be an integer")
    if input_dim < 1:
        raise ValueError("input_dim must be at least 1")
    return input_dim


def _check_half_life(half_life: Any) -> float | None:
    if half_life is None:
        return None
    if isinstance(half_life, bool) or not isinstance(half_life, (int, float)):
        raise TypeError("half_life must be a number or None")
    value = float(half_life)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError("half_life must be positive and finite, or None")
    return value


def _row(values: Any, dim: int, index: int | None = None) -> list[float]:
    """One row as a list of finite floats of the expected length (errors name the row index)."""
    try:
        row = list(map(float, values))
    except (TypeError, ValueError) as exc:     # float("a") is a ValueError, but a text is the wrong type
        raise TypeError(_where(index) + "a row must be a sequence of numbers") from exc
    if len(row) != dim:
        raise ValueError(_where(index) + f"expected {dim} values, got {len(row)}")
    if not all(map(math.isfinite, row)):
        raise ValueError(_where(index) + "values must be finite")
    return row


def _where(index: int | None) -> str:
    return "" if index is None else f"row {index}: "


def _rows(batch: Any, dim: int) -> list[list[float]]:
    """A whole batch checked before anything is learned; errors name the row."""
    if hasattr(batch, "tolist") and not isinstance(batch, (list, tuple)):
        if (_np is not None and isinstance(batch, _np.ndarray) and batch.dtype.kind == "f"
                and batch.shape[1:] == (dim,) and _np.isfinite(batch).all()):
            rows: list[list[float]] = batch.astype(_np.float64).tolist()   # already checked, whole
            return rows
        batch = batch.tolist()      # numpy arrays: one conversion, no per-element objects kept
    if isinstance(batch, (str, bytes)) or not isinstance(batch, Iterable):
        raise TypeError("rows must be a 2-D array or a sequence of rows")
    return [_row(r, dim, i) for i, r in enumerate(batch)]


class _Scaler:
    """Shared protocol; subclasses keep per-feature state and implement `_learn` / `_scale`."""

    _kind: ClassVar[str]
    _fields: ClassVar[tuple[str, ...]]

    input_dim: int

    def _learn(self, row: list[float]) -> None:
        raise NotImplementedError

    def _scale(self, row: list[float]) -> list[float]:
        raise NotImplementedError

    def _config(self) -> dict[str, Any]:
        raise NotImplementedError

    def update(self, x: Sequence[float]) -> None:
        """Learn one row."""
        self._learn(_row(x, self.input_dim))

    def transform(self, x: Sequence[float]) -> list[float]:
        """Scale one row with what has been learned so far, learning nothing."""
        return self._scale(_row(x, self.input_dim))

    def update_and_transform(self, x: Sequence[float]) -> list[float]:
        """Learn one row, then scale it (so an extreme value is scaled against itself too)."""
        row = _row(x, self.input_dim)
        self._learn(row)
        return self._scale(row)

    def update_many(self, rows: Any) -> None:
        """Learn every row of a batch, in order (all rows are checked first)."""
        for row in _rows(rows, self.input_dim):
            self._learn(row)

    def transform_many(self, rows: Any) -> list[list[float]]:
        """Scale every row of a batch with the current state."""
        return [self._scale(row) for row in _rows(rows, self.input_dim)]

    def update_and_transform_many(self, rows: Any) -> list[list[float]]:
        """`update_and_transform` over a batch, row by row."""
        return self._learn_and_scale(_rows(rows, self.input_dim))

    def _learn_and_scale(self, rows: list[list[float]]) -> list[list[float]]:
        out = []
        for row in rows:
            self._learn(row)
            out.append(self._scale(row))
        return out

    # --- state -------------------------------------------------------------

    def to_json(self) -> str:
        """The complete state as a JSON text (floats round-trip exactly)."""
        state = {"kind": self._kind, "version": 1, **self._config()}
        for name in self._fields:
            state[name] = getattr(self, name)
        return json.dumps(state, allow_nan=False, separators=(",", ":"))

    @classmethod
    def from_json(cls: type[_S], text: str | bytes) -> _S:
        """Rebuild a scaler from `to_json()`; a malformed text raises ValueError."""
        prefix = f"invalid {cls.__name__} JSON: "
        try:
            state = json.loads(text)
        except (TypeError, ValueError, RecursionError) as exc:
            raise ValueError(prefix + str(exc)) from None
        if not isinstance(state, dict) or state.get("kind") != cls._kind or state.get("version") != 1:
            raise ValueError(prefix + f"not a {cls._kind} state of version 1")
        try:
            obj = cls(**{k: state[k] for k in cls._config_names()})
        except (KeyError, TypeError, ValueError) as exc:
            raise ValueError(prefix + f"bad configuration ({exc})") from None
        for name in cls._fields:
            value = state.get(name)
            obj._check_field(name, value, prefix)
            setattr(obj, name, value)
        return obj

    @classmethod
    def _config_names(cls) -> tuple[str, ...]:
        raise NotImplementedError

    def _check_field(self, name: str, value: Any, prefix: str) -> None:
        if name == "count":
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(prefix + "count must be a non-negative integer")
            return
        if not isinstance(value, list) or len(value) != self.input_dim:
            raise ValueError(prefix + f"{name} must be a list of {self.input_dim} numbers")
        for v in value:
            if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
                raise ValueError(prefix + f"{name} must hold finite numbers")
        value[:] = [float(v) for v in value]

    def __getstate__(self) -> str:
        return self.to_json()

    def __setstate__(self, text: str) -> None:
        self.__dict__.update(type(self).from_json(text).__dict__)

    def __copy__(self: _S) -> _S:
        return type(self).from_json(self.to_json())

    def __deepcopy__(self: _S, memo: object) -> _S:
        return self.__copy__()

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Scaler) and type(other) is type(self) and self.to_json() == other.to_json()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self._config().items())
        return f"{type(self).__name__}({args})"


class MinMaxScaler(_Scaler):
    """Scales each feature to (x - low) / (high - low) with decayed extremes.

    A new value below `low` (above `high`) becomes the new extreme at once.
    Otherwise, with `half_life=h`, both extremes move towards each new value by
    1 - 2^(-1/h) of their distance, so an extreme that is never seen again
    fades with half-life h rows and the scale follows a stream that changes
    level; with `None` (the default) the extremes are the plain running minimum
    and maximum. A feature that has been constant so far scales to 0.0.
    `update_and_transform` learns the row first, so its result lies in [0, 1];
    `transform` of a value outside the learned range gives a value outside it.
    """

    _kind = "MinMaxScaler"
    _fields = ("count", "low", "high")

    def __init__(self, input_dim: int, half_life: float | None = None) -> None:
        self.input_dim = _check_dim(input_dim)
        self.half_life = _check_half_life(half_life)
        # The share of the distance an extreme moves towards each new value.
        self._pull = 0.0 if self.half_life is None else 1.0 - 2.0 ** (-1.0 / self.half_life)
        self.count = 0
        self.low = [0.0] * self.input_dim
        self.high = [0.0] * self.input_dim
        self._spans: list[float] | None = None

    @classmethod
    def _config_names(cls) -> tuple[str, ...]:
        return ("input_dim", "half_life")

    def _config(self) -> dict[str, Any]:
        return {"input_dim": self.input_dim, "half_life": self.half_life}

    def _check_field(self, name: str, value: Any, prefix: str) -> None:
        super()._check_field(name, value, prefix)
        if name == "high" and any(h < lo for lo, h in zip(self.low, value)):
            raise ValueError(prefix + "high must not be below low")

    def _learn(self, row: list[float]) -> None:
        pull = self._pull
        if self.count == 0:
            self.low = list(row)
            self.high = list(row)
        elif pull == 0.0:
            low = list(map(min, self.low, row))           # min(lo, x) is lo unless x < lo
            high = list(map(max, self.high, row))
            self.count += 1
            if low != self.low or high != self.high:      # the spans change only with a new extreme
                self.low, self.high, self._spans = low, high, None
            return
        else:
            # A weighted mean cannot overflow as a difference can (1e308 - -1e308); the clamp
            # keeps low <= x <= high whatever the rounding.
            keep = 1.0 - pull
            self.low = [x if x < lo else min(lo * keep + x * pull, x) for lo, x in zip(self.low, row)]
            self.high = [x if x > hi else max(hi * keep + x * pull, x) for hi, x in zip(self.high, row)]
        self.count += 1
        self._spans = None

    def _learn_and_scale(self, rows: list[list[float]]) -> list[list[float]]:
        # Plain running extremes over a batch are running minima/maxima, which numpy computes
        # column-wise with the loop's own operations (min, max, -, /), so the bits agree. A
        # signed zero is the one case where min/max may pick either of two equal values: loop.
        if _np is None or self._pull != 0.0 or len(rows) < 8:
            return super()._learn_and_scale(rows)
        x = _np.array(rows, dtype=_np.float64)
        if _np.signbit(x[x == 0.0]).any() or any(v == 0.0 and math.copysign(1.0, v) < 0.0
                                                 for v in self.low + self.high):
            return super()._learn_and_scale(rows)
        low = _np.minimum.accumulate(_np.vstack([self.low, x]) if self.count else x)[-len(rows):]
        high = _np.maximum.accumulate(_np.vstack([self.high, x]) if self.count else x)[-len(rows):]
        out = _np.zeros_like(x)
        with _np.errstate(over="ignore", invalid="ignore"):     # only where the loop gives 0.0 too
            span = high - low
            ok = (span > 0.0) & _np.isfinite(span)
            _np.divide(x - low, span, out=out, where=ok)
        self.count += len(rows)
        self.low, self.high, self._spans = low[-1].tolist(), high[-1].tolist(), None
        scaled: list[list[float]] = out.tolist()
        return scaled

    def _scale(self, row: list[float]) -> list[float]:
        spans = self._spans
        if spans is None:
            # 0.0 marks a feature that cannot be scaled (constant, or a range beyond the doubles).
            spans = self._spans = [
                hi - lo if hi - lo > 0.0 and math.isfinite(hi - lo) else 0.0 for lo, hi in zip(self.low, self.high)
            ]
        return [(x - lo) / span if span else 0.0 for x, lo, span in zip(row, self.low, spans)]


def _step(q: float, x: float, up: float, down: float) -> float:
    if x > q:
        return q + up
    if x < q:
        return q - down
    return q


class RobustScaler(_Scaler):
    """Scales each feature to (x - median) / (q75 - q25), quantiles tracked in the stream.

    The first `warmup` rows are kept and give exact quantiles (the
    interpolated median and quartiles of what has been seen, as a batch robust
    scaler would compute them). After that each quantile q_p steps towards
    every new value, up by `rate` · p · spread when the value is above it
    and down by `rate` · (1 - p) · spread when below, which settles where a
    share p of recent values lies below q_p; `spread` is the current
    interquartile range, so the steps follow the scale of the feature, and
    `rate` sets how fast the scaler follows a drifting stream. A feature whose
    quartiles coincide (a constant or mostly constant feature) is divided by
    its range seen during warm-up instead, or left unscaled if that is 0 too.
    Results are capped to [-1e6, 1e6] (a feature that was constant and then
    moves has a tiny spread).
    """

    _kind = "RobustScaler"
    _fields = ("count", "buffer", "q25", "q50", "q75", "fallback")

    def __init__(self, input_dim: int, warmup: int = 64, rate: float = 0.01) -> None:
        self.input_dim = _check_dim(input_dim)
        if isinstance(warmup, bool) or not isinstance(warmup, int):
            raise TypeError("warmup must be an integer")
        if not 1 <= warmup <= 100_000:
            raise ValueError("warmup must be between 1 and 100000")
        if isinstance(rate, bool) or not isinstance(rate, (int, float)):
            raise TypeError("rate must be a number")
        if not 0.0 < rate < 1.0:
            raise ValueError("rate must be in (0, 1)")
        self.warmup = warmup
        self.rate = float(rate)
        self.count = 0
        self.buffer: list[list[float]] = []     # per feature, the warm-up values
        self.q25 = [0.0] * self.input_dim
        self.q50 = [0.0] * self.input_dim
        self.q75 = [0.0] * self.input_dim
        self.fallback = [1.0] * self.input_dim  # divisor when the quartiles coincide

    @classmethod
    def _config_names(cls) -> tuple[str, ...]:
        return ("input_dim", "warmup", "rate")

    def _config(self) -> dict[str, Any]:
        return {"input_dim": self.input_dim, "warmup": self.warmup, "rate": self.rate}

    def _check_field(self, name: str, value: Any, prefix: str) -> None:
        if name != "buffer":
            super()._check_field(name, value, prefix)
            if name == "fallback" and any(v <= 0.0 for v in value):
                raise ValueError(prefix + "fallback must hold positive numbers")
            return
        kept = self.count if self.count < self.warmup else 0     # the buffer is dropped at warm-up's end
        if (not isinstance(value, list) or len(value) != (self.input_dim if kept else 0)
                or any(not isinstance(col, list) or len(col) != kept for col in value)):
            raise ValueError(prefix + "buffer does not match count and warmup")
        for col in value:
            for v in col:
                if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
                    raise ValueError(prefix + "buffer must hold finite numbers")
            col[:] = [float(v) for v in col]

    @staticmethod
    def _quantile(ordered: list[float], p: float) -> float:
        pos = p * (len(ordered) - 1)
        i = int(pos)
        frac = pos - i
        if frac == 0.0:
            return ordered[i]
        return ordered[i] + frac * (ordered[i + 1] - ordered[i])

    def _learn(self, row: list[float]) -> None:
        self.count += 1
        if self.count <= self.warmup:
            if not self.buffer:
                self.buffer = [[] for _ in range(self.input_dim)]
            for i, x in enumerate(row):
                col = self.buffer[i]
                col.append(x)
                ordered = sorted(col)
                self.q25[i] = self._quantile(ordered, 0.25)
                self.q50[i] = self._quantile(ordered, 0.5)
                self.q75[i] = self._quantile(ordered, 0.75)
                span = ordered[-1] - ordered[0]
                self.fallback[i] = span if span > 0.0 and math.isfinite(span) else 1.0
            if self.count == self.warmup:
                self.buffer = []
            return
        rate = self.rate
        q25, q50, q75 = self.q25, self.q50, self.q75
        for i, x in enumerate(row):
            spread = q75[i] - q25[i]
            step = rate * (spread if spread > 0.0 and math.isfinite(spread) else self.fallback[i])
            # A value equal to a quantile leaves it in place, so a constant feature stays put.
            q25[i] = _step(q25[i], x, 0.25 * step, 0.75 * step)
            q50[i] = _step(q50[i], x, 0.5 * step, 0.5 * step)
            q75[i] = _step(q75[i], x, 0.75 * step, 0.25 * step)
            if q25[i] > q50[i]:         # keep the three in order after unequal steps
                q25[i] = q50[i]
            if q75[i] < q50[i]:
                q75[i] = q50[i]

    def _scale(self, row: list[float]) -> list[float]:
        out = []
        for i, x in enumerate(row):
            spread = self.q75[i] - self.q25[i]
            if not (spread > 0.0 and math.isfinite(spread)):
                spread = self.fallback[i]
            out.append(min(max((x - self.q50[i]) / spread, -_CAP), _CAP))
        return out
