"""Type stubs of the extension module `tarn.tarn` (re-exported by `tarn`).

Argument types follow what the extension converts: a point or another list of
numbers is any sequence (a list, a tuple, a range, a one-dimensional numpy
array) except `str`; counts are integers (objects with `__index__`); float
parameters take anything with `__float__` or `__index__`.
"""

import os
from array import array
from collections.abc import Iterable
from typing import Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, TypeVar, final

from typing_extensions import Buffer


__all__ = ["FeatureSketch", "MStream", "OnlineIForest", "Forest", "__version__"]

__version__: str

_T_co = TypeVar("_T_co", covariant=True)

class _SequenceLike(Protocol[_T_co]):
    """What the extension accepts as a sequence: indexable, with a length (never `str`)."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Point: TypeAlias = _SequenceLike[_Real]
_Integers: TypeAlias = _SequenceLike[SupportsIndex]
_FeatureEvent: TypeAlias = _SequenceLike[tuple[str, _Real]] | dict[str, float] | dict[str, int]
_JsonText: TypeAlias = str | bytes | bytearray | _SequenceLike[SupportsIndex]
_Path: TypeAlias = str | os.PathLike[str]

class _ArrayLike(Protocol):
    """An object that hands over an array through `__array__` (a pandas frame, for one)."""

    def __array__(self) -> Buffer: ...

# Batches: a 2-D array (any object exporting the buffer protocol) or a sequence of rows.
_Rows: TypeAlias = Buffer | _ArrayLike | _SequenceLike[_Point]
_IntegerRows: TypeAlias = Buffer | _ArrayLike | _SequenceLike[_Integers]
_Timestamps: TypeAlias = Buffer | _ArrayLike | _Integers

class _Attribution(TypedDict):
    """One coordinate's share of the anomaly score (`Forest.attribution`)."""

    below: float
    above: float

class _Neighbor(TypedDict):
    """A stored sample point near the query (`Forest.near_neighbors`)."""

    score: float
    point: list[float]
    distance: float

class _DetailedScore(TypedDict):
    """The parts of an MStream score; `total` is formed from the others."""

    total: float
    record: float
    numeric_features: list[float]
    categorical_features: list[float]

@final
class Forest:
    """A Random Cut Forest: an ensemble of Random Cut Trees sharing point storage.

    Parameters
    ----------
    input_dim : int
        Number of features per observation (before shingling).
    shingle_size : int, optional
        Temporal window size (default 1, no shingling).
    num_trees : int, optional
        Number of trees in the ensemble (default 50).
    capacity : int, optional
        Maximum samples per tree (default 256).
    time_decay : float, optional
        Finite non-negative exponential decay for sample weights
        (default 0 = auto).
    output_after : int, optional
        Minimum observations before scoring starts (default 0 = auto).
    internal_shingling : bool, optional
        When True, pass one base observation at a time and the forest
        maintains the rolling shingle buffer (default True).
    initial_accept_fraction : float, optional
        Finite value in [0.0, 1.0] controlling warm-up sampler acceptance
        before capacity (default 0.125).
    seed : int, optional
        Random seed for deterministic forests.
    """

    def __new__(
        cls,
        input_dim: SupportsIndex,
        shingle_size: SupportsIndex = 1,
        num_trees: SupportsIndex = 50,
        capacity: SupportsIndex = 256,
        time_decay: _Real = 0.0,
        output_after: SupportsIndex = 0,
        internal_shingling: bool = True,
        initial_accept_fraction: _Real = 0.125,
        seed: SupportsIndex | None = None,
    ) -> Self: ...
    def update(self, point: _Point) -> None:
        """Incorporate a new observation into the forest.

        When `internal_shingling` is True, pass one base observation of length
        `input_dim`. Otherwise pass the full shingled vector of length
        `input_dim * shingle_size`.
        """
    def update_and_score(self, point: _Point) -> float:
        """Ingest an observation and return its anomaly score.

        This has the same behavior as calling `score(point)` first and then
        `update(point)` with the same observation.
        """
    def score(self, point: _Point) -> float:
        """Anomaly score for `point`. Higher means more anomalous."""
    def displacement_score(self, point: _Point) -> float:
        """Displacement-based anomaly score."""
    def attribution(self, point: _Point) -> list[_Attribution]:
        """Per-dimension attribution of the anomaly score.

        Returns a list of length `input_dim * shingle_size`.
        """
    def density(self, point: _Point) -> float:
        """Density estimate at `point`. Higher means a denser neighbourhood."""
    def near_neighbors(
        self, point: _Point, top_k: SupportsIndex = 10, percentile: SupportsIndex = 50
    ) -> list[_Neighbor]:
        """Find approximate near-neighbours of `point`.

        `percentile` controls per-tree traversal aggressiveness in `[0, 100]`;
        lower values visit more branches and usually return more candidates.
        Returns a list sorted by distance, with duplicate points across trees
        merged by point index. At most `top_k` results are returned.
        """
    def impute(self, point: _Point, missing: _Integers, centrality: _Real = 1.0) -> list[float]:
        """Impute the `missing` positions of `point`.

        `point` must have the full dimensionality (`input_dim * shingle_size`).
        Values at `missing` indices are ignored; the returned list fills them
        with the median of the nearest-neighbour estimates across all trees.
        When `centrality = 1.0`, the nearest neighbour in each tree is selected
        deterministically; lower values introduce randomness.
        """
    def extrapolate(self, look_ahead: SupportsIndex) -> list[float]:
        """Predict the next `look_ahead` base observations beyond the current shingle buffer.

        Requires `internal_shingling = True`, `shingle_size > 1`, and
        `look_ahead <= shingle_size`. Returns a list of length
        `look_ahead * input_dim`.
        """
    def update_many(self, points: _Rows) -> None:
        """Incorporate every row of `points`, in order, as `update()` does.

        `points` is a 2-D array (float32, float64 or integers, any memory layout)
        or a sequence of rows, one observation (or one full point) per row.
        Every row is checked before the first is applied: a refused batch
        changes nothing and names the row.
        """
    def score_many(self, points: _Rows) -> array[float]:
        """Anomaly score of every row of `points`, as `score()` gives it.

        Returns an `array.array('d')` with one score per row.
        """
    def update_and_score_many(self, points: _Rows) -> array[float]:
        """Ingest every row of `points` in order and return their scores.

        The same as `update_and_score()` on each row in turn, in one call;
        returns an `array.array('d')` with one score per row. Every row is
        checked before the first is applied.
        """
    def is_ready(self) -> bool:
        """Return True once scoring functions return meaningful values."""
    def entries_seen(self) -> int:
        """Number of observations processed so far."""
    def num_trees(self) -> int:
        """Number of trees in the ensemble."""
    def to_json(self) -> str:
        """Serialize the entire forest state to a JSON string."""
    @staticmethod
    def from_json(json: _JsonText) -> Forest:
        """Deserialize a forest from a JSON string previously written by `to_json()`."""
    def to_bytes(self) -> bytes:
        """Serialize the entire forest state to compact binary bytes.

        The versioned little-endian layout is read back exactly by `from_bytes()`;
        it is several times smaller and faster than `to_json()`.
        """
    @staticmethod
    def from_bytes(data: Buffer) -> Forest:
        """Deserialize a forest from bytes previously written by `to_bytes()`.

        `data` may be bytes, bytearray, memoryview or any contiguous byte buffer.
        """
    def save_json(self, path: _Path) -> None:
        """Serialize the entire forest state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> Forest:
        """Deserialize a forest from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> Forest: ...
    def __deepcopy__(self, memo: object) -> Forest: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int]: ...

@final
class OnlineIForest:
    """Online Isolation Forest detector for numerical streams.

    Use `update()` or `update_and_score()` to ingest observations. Use
    `score()` to preview the current anomaly score for a point without mutating
    detector state.

    Parameters
    ----------
    input_dim : int
        Number of numerical features in each point.
    num_trees : int, optional
        Number of trees in the ensemble (default 32).
    window_size : int, optional
        Number of recent points retained by the sliding window (default 2048).
    max_leaf_samples : int, optional
        Base leaf-splitting threshold (default 32).
    seed : int, optional
        Random seed for deterministic trees.
    """

    def __new__(
        cls,
        input_dim: SupportsIndex,
        num_trees: SupportsIndex = 32,
        window_size: SupportsIndex = 2048,
        max_leaf_samples: SupportsIndex = 32,
        seed: SupportsIndex | None = None,
    ) -> Self: ...
    def update(self, point: _Point) -> None:
        """Ingest a point without returning its score."""
    def score(self, point: _Point) -> float:
        """Preview the current anomaly score for `point` without mutating state.

        This can differ from `update_and_score()` because the preview is
        computed before `point` is learned by the forest, unlike the
        preview-style scoring semantics used by the other detectors. By
        contrast, `update_and_score(point)` returns the same value as calling
        `update(point)` and then `score(point)`.

        Calling this before `is_ready()` is allowed, but the value is not a
        stable anomaly estimate yet.
        """
    def update_and_score(self, point: _Point) -> float:
        """Ingest a point and return its anomaly score under the updated forest.

        This has the same behavior as calling `update(point)` first and then
        `score(point)` with the same point. This update-then-score order is
        specific to Online Isolation Forest.
        """
    def update_many(self, points: _Rows) -> None:
        """Ingest every row of `points`, in order, as `update()` does.

        `points` is a 2-D array (float32, float64 or integers, any memory layout)
        or a sequence of rows, one point per row. Every row is checked before
        the first is applied: a refused batch changes nothing and names the row.
        """
    def score_many(self, points: _Rows) -> array[float]:
        """Preview the anomaly score of every row of `points`, as `score()` does.

        Returns an `array.array('d')` with one score per row.
        """
    def update_and_score_many(self, points: _Rows) -> array[float]:
        """Ingest every row of `points` in order and return their scores.

        The same as `update_and_score()` on each row in turn, in one call;
        returns an `array.array('d')` with one score per row. Every row is
        checked before the first is applied.
        """
    def is_ready(self) -> bool:
        """Return True once at least one point has been processed."""
    def entries_seen(self) -> int:
        """Number of points processed so far."""
    def num_trees(self) -> int:
        """Number of trees in the ensemble."""
    def to_json(self) -> str:
        """Serialize detector state to JSON."""
    @staticmethod
    def from_json(json: _JsonText) -> OnlineIForest:
        """Deserialize detector state from JSON previously written by `to_json()`."""
    def to_bytes(self) -> bytes:
        """Serialize the complete detector state to compact binary bytes.

        The versioned little-endian layout is read back exactly by `from_bytes()`;
        it is smaller and faster than `to_json()`.
        """
    @staticmethod
    def from_bytes(data: Buffer) -> OnlineIForest:
        """Rebuild a detector from bytes previously written by `to_bytes()`.

        `data` may be bytes, bytearray, memoryview or any contiguous byte buffer.
        """
    def save_json(self, path: _Path) -> None:
        """Serialize detector state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> OnlineIForest:
        """Deserialize detector state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> OnlineIForest: ...
    def __deepcopy__(self, memo: object) -> OnlineIForest: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int]: ...

@final
class MStream:
    """mStream detector for mixed numerical/categorical records.

    `timestamp` is interpreted as a logical time tick, not as wall-clock time.
    Scores are invariant to adding a constant offset to all timestamps, while a
    gap of `k` ticks applies the temporal decay factor `alpha` exactly `k`
    times.

    Parameters
    ----------
    numeric_dim : int
        Number of numerical features in each record.
    categorical_dim : int
        Number of categorical features in each record.
    num_rows : int, optional
        Number of hash rows (default 2).
    num_buckets : int, optional
        Number of buckets per hash row (default 1024).
    alpha : float, optional
        Temporal decay factor in `(0, 1)` (default 0.8).
    seed : int, optional
        Random seed for deterministic hashing.
    """

    def __new__(
        cls,
        numeric_dim: SupportsIndex,
        categorical_dim: SupportsIndex,
        num_rows: SupportsIndex = 2,
        num_buckets: SupportsIndex = 1024,
        alpha: _Real = 0.8,
        seed: SupportsIndex | None = None,
    ) -> Self: ...
    def update(self, numeric: _Point, categorical: _Integers, timestamp: SupportsIndex) -> None:
        """Ingest a record without returning its score."""
    def score(self, numeric: _Point, categorical: _Integers, timestamp: SupportsIndex) -> float:
        """Preview the anomaly score for a record without mutating detector state.

        The preview answers what this record would score if it were ingested
        next, using the same timestamp semantics as `update_and_score()`.
        """
    def update_and_score(self, numeric: _Point, categorical: _Integers, timestamp: SupportsIndex) -> float:
        """Ingest a record and return its anomaly score.

        This has the same behavior as calling `score(numeric, categorical,
        timestamp)` first and then `update(numeric, categorical, timestamp)`
        with the same record and timestamp.

        `timestamp` must be a monotonically non-decreasing tick index. Only tick
        differences matter: shifting all timestamps by the same constant does
        not change the scores.
        """
    def score_detailed(self, numeric: _Point, categorical: _Integers, timestamp: SupportsIndex) -> _DetailedScore:
        """Preview the decomposed anomaly score without mutating detector state."""
    def update_and_score_detailed(
        self, numeric: _Point, categorical: _Integers, timestamp: SupportsIndex
    ) -> _DetailedScore:
        """Ingest a record and return the decomposed score used to form the final anomaly score.

        This has the same score-then-update behavior as `update_and_score()`,
        but returns the decomposed score instead of only the total.
        """
    def update_many(self, numeric: _Rows | None, categorical: _IntegerRows | None, timestamps: _Timestamps) -> None:
        """Ingest every record of a batch, in order, as `update()` does.

        `numeric` is n x `numeric_dim` (float32, float64 or integers),
        `categorical` n x `categorical_dim` (integers), as 2-D arrays of any
        memory layout or sequences of rows, and `timestamps` has n integers;
        `None` stands for a dimension of 0. Every record is checked before the
        first is applied: a refused batch changes nothing and names the row.
        """
    def score_many(
        self, numeric: _Rows | None, categorical: _IntegerRows | None, timestamps: _Timestamps
    ) -> array[float]:
        """Preview the anomaly score of every record of a batch, as `score()` does.

        Each record is scored against the current state, as if it came next.
        Returns an `array.array('d')` with one score per record.
        """
    def update_and_score_many(
        self, numeric: _Rows | None, categorical: _IntegerRows | None, timestamps: _Timestamps
    ) -> array[float]:
        """Ingest every record of a batch in order and return their scores.

        The same as `update_and_score()` on each record in turn, in one call;
        returns an `array.array('d')` with one score per record. Every record
        is checked before the first is applied.
        """
    def is_ready(self) -> bool:
        """Return True once the detector has processed at least one record."""
    def entries_seen(self) -> int:
        """Return the number of processed records."""
    def current_time(self) -> int | None:
        """Return the last timestamp observed by the detector."""
    def to_json(self) -> str:
        """Serialize the detector state to JSON."""
    @staticmethod
    def from_json(json: _JsonText) -> MStream:
        """Deserialize detector state from a JSON string previously written by `to_json()`."""
    def to_bytes(self) -> bytes:
        """Serialize the complete detector state to compact binary bytes.

        The versioned little-endian layout is read back exactly by `from_bytes()`;
        it is smaller and faster than `to_json()`.
        """
    @staticmethod
    def from_bytes(data: Buffer) -> MStream:
        """Rebuild a detector from bytes previously written by `to_bytes()`.

        `data` may be bytes, bytearray, memoryview or any contiguous byte buffer.
        """
    def save_json(self, path: _Path) -> None:
        """Serialize the detector state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> MStream:
        """Deserialize detector state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> MStream: ...
    def __deepcopy__(self, memo: object) -> MStream: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int, int]: ...

@final
class FeatureSketch:
    """FeatureSketch detector for sparse, schema-evolving feature streams.

    Feature events can be passed as either a mapping from feature name to value
    or as a sequence of `(name, value)` pairs. Duplicate names are combined
    before scoring, and values must be finite.

    Parameters
    ----------
    value_projection_dims : int, optional
        Number of random projection dimensions for feature values (default 32).
    presence_projection_dims : int, optional
        Number of random projection dimensions for feature presence (default 32).
    chains_per_ensemble : int, optional
        Number of chains in each sketch ensemble (default 16).
    chain_depth : int, optional
        Number of bins traversed by each chain (default 8).
    sketch_rows : int, optional
        Number of hash rows in each count-min sketch (default 2).
    sketch_buckets : int, optional
        Number of buckets per sketch row (default 2048).
    decay_half_life : int, optional
        Event-count half-life used for temporal decay (default 2048).
    seed : int, optional
        Random seed for deterministic projections, chains, and sketches.
    """

    def __new__(
        cls,
        value_projection_dims: SupportsIndex = 32,
        presence_projection_dims: SupportsIndex = 32,
        chains_per_ensemble: SupportsIndex = 16,
        chain_depth: SupportsIndex = 8,
        sketch_rows: SupportsIndex = 2,
        sketch_buckets: SupportsIndex = 2048,
        decay_half_life: SupportsIndex = 2048,
        seed: SupportsIndex | None = None,
    ) -> Self: ...
    def update(self, feature: _FeatureEvent) -> None:
        """Ingest a feature event without returning its score."""
    def score(self, feature: _FeatureEvent) -> float:
        """Preview the current anomaly score for a feature event without mutating state.

        This is the same pre-ingest score that `update_and_score()` would return
        if called next. It is computed against the current sketches and does not
        advance the decay epoch or `entries_seen()`.
        """
    def update_and_score(self, feature: _FeatureEvent) -> float:
        """Ingest a feature event and return its anomaly score.

        This has the same behavior as calling `score(feature)` first and then
        `update(feature)` with the same event. Unlike a literal two-call
        sequence, this method normalizes and projects the input once.
        """
    def update_many(self, events: Iterable[_FeatureEvent]) -> None:
        """Ingest every event of `events`, in order, as `update()` does.

        `events` is any iterable of feature events, each a mapping or a
        sequence of `(name, value)` pairs. Every event is checked before the
        first is applied: a refused batch changes nothing and names the row.
        """
    def score_many(self, events: Iterable[_FeatureEvent]) -> array[float]:
        """Preview the anomaly score of every event of `events`, as `score()` does.

        Returns an `array.array('d')` with one score per event.
        """
    def update_and_score_many(self, events: Iterable[_FeatureEvent]) -> array[float]:
        """Ingest every event of `events` in order and return their scores.

        The same as `update_and_score()` on each event in turn, in one call;
        returns an `array.array('d')` with one score per event. Every event is
        checked before the first is applied.
        """
    def is_ready(self) -> bool:
        """Return True once the detector has processed at least one event."""
    def entries_seen(self) -> int:
        """Return the number of processed events."""
    def to_json(self) -> str:
        """Serialize the detector state to JSON."""
    @staticmethod
    def from_json(json: _JsonText) -> FeatureSketch:
        """Deserialize detector state from a JSON string previously written by `to_json()`."""
    def to_bytes(self) -> bytes:
        """Serialize the complete sketch state to compact binary bytes.

        The versioned little-endian layout is read back exactly by `from_bytes()`;
        it is smaller and faster than `to_json()`.
        """
    @staticmethod
    def from_bytes(data: Buffer) -> FeatureSketch:
        """Rebuild a sketch from bytes previously written by `to_bytes()`.

        `data` may be bytes, bytearray, memoryview or any contiguous byte buffer.
        """
    def save_json(self, path: _Path) -> None:
        """Serialize the detector state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> FeatureSketch:
        """Deserialize detector state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> FeatureSketch: ...
    def __deepcopy__(self, memo: object) -> FeatureSketch: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
