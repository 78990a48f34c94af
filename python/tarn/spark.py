"""Score keyed streams on Apache Spark: `score_by_key`.

Needs the `spark` extra (PySpark, pandas, pyarrow) and Java 17. The Python
workers must run an interpreter with tarn, pandas and pyarrow installed: set
``PYSPARK_PYTHON`` (for example to ``sys.executable``) before the session
starts.

A batch DataFrame is grouped by key (`applyInPandas`) and every key's rows are
scored in `order_by` order by a fresh detector. A streaming DataFrame goes
through `applyInPandasWithState`: the key's detector lives in Spark's state
store as its `to_bytes()` state between micro-batches, so the query's
checkpoint carries every detector, and a query restarted from its checkpoint
continues every key exactly.

Why `applyInPandasWithState` rather than Spark 4's `transformWithStateInPandas`:
one binary value per key without timers is all a detector needs, and
`applyInPandasWithState` works with every state store (the default one needs
no configuration), while the newer API requires the RocksDB state store to be
configured on the session and protobuf on the workers, and moves state through
a separate channel per call. Either keeps the same per-key state.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

try:
    import numpy as np
    import pandas as pd
    import pyarrow  # noqa: F401  (PySpark's pandas functions need it on the workers)
    from pyspark.sql import DataFrame
    from pyspark.sql.streaming.state import GroupState, GroupStateTimeout
    from pyspark.sql.types import BinaryType, DoubleType, StringType, StructField, StructType
except ImportError as e:  # pragma: no cover - exercised in a subprocess
    raise ImportError(f'tarn.spark needs PySpark, pandas and pyarrow ({e}); install them with: pip install "tarn[spark]"') from e

from . import tarn as _ext
from ._cli import category_code

__all__ = ["score_by_key"]

Columns = str | Sequence[str]

# The state of a key in Spark's state store: the detector's class and its
# binary state.
_STATE_SCHEMA = StructType(
    [StructField("detector_class", StringType(), False), StructField("detector_state", BinaryType(), False)]
)
_CLASSES: dict[str, Any] = {
    cls.__name__: cls for cls in (_ext.Forest, _ext.OnlineIForest, _ext.MStream, _ext.FeatureSketch)
}


def score_by_key(
    df: DataFrame,
    key: Columns,
    order_by: Columns,
    make_detector: Callable[[Any], Any],
    *,
    numeric: Sequence[str] | None = None,
    categorical: Sequence[str] | None = None,
    timestamp: str | None = None,
    features: Sequence[str] | None = None,
    score_column: str = "score",
) -> DataFrame:
    """`df` with a column `score_column` (double): each row's score by its key's detector.

    `key` names the key column (or several: the key is then a tuple) and
    `order_by` the column(s) giving the order of a key's rows. `make_detector(key)`
    builds the detector of a new key; it runs on the workers and must be
    picklable (a module-level function or a lambda). Derive the seed from the
    key (`tarn.keyed.key_seed`) so a replay gives the same scores.

    The columns a detector reads, as on the command line:
    - Forest, OnlineIForest: `numeric` (default: every column but key and order);
    - MStream: `numeric`, `categorical` and `timestamp` (positive integer ticks);
    - FeatureSketch: `features` (numeric, one feature per column, nulls left
      out) and `categorical` (the feature "column=value"); default: every
      column but key and order as a feature.
    An integer categorical column is used as is; any other value becomes an
    integer through a fixed hash (the same in every process).

    Each row is scored by `update_and_score`: the detector learns every row.
    On a streaming DataFrame the result is a streaming DataFrame in append
    mode; a key's rows in a micro-batch are scored after those of earlier
    micro-batches. Rows of one key with equal `order_by` values keep an order
    Spark does not define: make `order_by` unique per key for exact replays.
    """
    keys = _names(key, "key")
    order = _names(order_by, "order_by")
    columns = list(df.columns)
    if score_column in columns:
        raise ValueError(f"df already has a column {score_column!r}; choose another score_column")
    for option, names in [("key", keys), ("order_by", order), ("numeric", numeric or []),
                          ("categorical", categorical or []), ("features", features or []),
                          ("timestamp", [timestamp] if timestamp is not None else [])]:
        for name in names:
            if name not in columns:
                raise ValueError(f"{option}: no column {name!r} in df (columns: {', '.join(columns)})")
    rest = [c for c in columns if c not in keys and c not in order]
    plan = _Plan(
        make_detector=make_detector,
        key_count=len(keys),
        order=order,
        rest=rest,
        numeric=list(numeric) if numeric is not None else None,
        categorical=list(categorical or []),
        timestamp=timestamp,
        features=list(features) if features is not None else None,
        score_column=score_column,
    )
    schema = StructType([*df.schema.fields, StructField(score_column, DoubleType(), False)])
    grouped = df.groupBy(*keys)
    # PySpark tells the function forms apart by their parameter count, which
    # a bound method would miscount.
    if df.isStreaming:

        def score_stream(
            key: tuple[Any, ...], pdfs: Iterator[pd.DataFrame], state: GroupState
        ) -> Iterator[pd.DataFrame]:
            return plan.score_stream(key, pdfs, state)

        return grouped.applyInPandasWithState(
            score_stream, schema, _STATE_SCHEMA, "append", GroupStateTimeout.NoTimeout
        )

    def score_batch(key: tuple[Any, ...], pdf: pd.DataFrame) -> pd.DataFrame:
        return plan.score_batch(key, pdf)

    return grouped.applyInPandas(score_batch, schema)


def _names(value: Columns, option: str) -> list[str]:
    names = [value] if isinstance(value, str) else list(value)
    if not names or not all(isinstance(n, str) for n in names):
        raise TypeError(f"{option} must be a column name or a non-empty list of them")
    return names


@dataclass(frozen=True)
class _Plan:
    """What the workers do with a key's rows (pickled to them with the query)."""

    make_detector: Callable[[Any], Any]
    key_count: int
    order: list[str]
    rest: list[str]  # the columns that are neither key nor order
    numeric: list[str] | None
    categorical: list[str]
    timestamp: str | None
    features: list[str] | None
    score_column: str

    def score_batch(self, key: tuple[Any, ...], pdf: pd.DataFrame) -> pd.DataFrame:
        value = self._key(key)
        return self._score(self.make_detector(value), value, pdf)

    def score_stream(
        self, key: tuple[Any, ...], pdfs: Iterator[pd.DataFrame], state: GroupState
    ) -> Iterator[pd.DataFrame]:
        pdf = pd.concat(list(pdfs), ignore_index=True)
        value = self._key(key)
        if state.exists:
            class_name, data = state.get
            detector = self._restore(value, class_name, data)
        else:
            detector = self.make_detector(value)
        scored = self._score(detector, value, pdf)
        state.update((type(detector).__name__, bytes(detector.to_bytes())))
        yield scored

    def _key(self, key: tuple[Any, ...]) -> Any:
        values = tuple(v.item() if isinstance(v, np.generic) else v for v in key)
        return values[0] if self.key_count == 1 else values

    def _restore(self, key: Any, class_name: str, data: bytes) -> Any:
        cls: Any = _CLASSES.get(class_name)
        if cls is None:  # a detector class from outside the extension
            cls = type(self.make_detector(key))
            if cls.__name__ != class_name:
                raise ValueError(f"key {key!r}: the state holds a {class_name}, but make_detector builds {cls.__name__}")
        return cls.from_bytes(data)

    def _score(self, detector: Any, key: Any, pdf: pd.DataFrame) -> pd.DataFrame:
        pdf = pdf.sort_values(self.order, kind="stable", ignore_index=True)
        try:
            scores = detector.update_and_score_many(*self._arguments(detector, pdf))
        except (TypeError, ValueError, OverflowError) as e:
            raise type(e)(f"key {key!r}: {e}") from e
        pdf[self.score_column] = np.asarray(scores, dtype=np.float64)
        return pdf

    def _arguments(self, detector: Any, pdf: pd.DataFrame) -> tuple[Any, ...]:
        if isinstance(detector, _ext.MStream):
            if self.timestamp is None:
                raise ValueError("MStream detectors need timestamp=COLUMN")
            numeric = pdf[self.numeric or []].to_numpy(dtype=np.float64)
            return (numeric, self._categories(pdf), _ticks(pdf[self.timestamp]))
        if isinstance(detector, _ext.FeatureSketch):
            return (self._events(pdf),)
        return (pdf[self.rest if self.numeric is None else self.numeric].to_numpy(dtype=np.float64),)

    def _categories(self, pdf: pd.DataFrame) -> np.ndarray:
        columns = []
        for name in self.categorical:
            column = pdf[name]
            if pd.api.types.is_integer_dtype(column.dtype):
                columns.append(column.to_numpy(dtype=np.int64))
            else:
                columns.append(np.fromiter((_category(v) for v in column), dtype=np.int64, count=len(column)))
        if not columns:
            return np.empty((len(pdf), 0), dtype=np.int64)
        return np.column_stack(columns)

    def _events(self, pdf: pd.DataFrame) -> list[list[tuple[str, float]]]:
        names = self.features
        if names is None:
            names = [] if self.categorical else self.rest
        features = [(name, pdf[name].tolist()) for name in names]
        categories = [(name, pdf[name].tolist()) for name in self.categorical]
        events: list[list[tuple[str, float]]] = []
        for i in range(len(pdf)):
            event = [(name, float(values[i])) for name, values in features if not _missing(values[i])]
            event += [(f"{name}={_text(values[i])}", 1.0) for name, values in categories if not _missing(values[i])]
            events.append(event)
        return events


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and value != value) or (isinstance(value, str) and not value.strip())


def _text(value: Any) -> str:
    return value.strip() if isinstance(value, str) else str(value)


def _category(value: Any) -> int:
    # A null reads as the empty text, as an empty CSV cell does on the command line.
    if value is None or (isinstance(value, float) and value != value):
        return category_code("")
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    return category_code(str(value))


def _ticks(column: Any) -> Any:
    if column.isna().any():
        raise ValueError(f"column {column.name!r}: a timestamp is missing")
    return column.to_numpy(dtype=np.int64)
