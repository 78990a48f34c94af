"""Type stubs of `tarn.alerts`: a calibrated streaming threshold for any detector's scores."""

from array import array
from typing import SupportsIndex, final

from typing_extensions import Buffer

from .tarn import _JsonText, _Path, _Real, _SequenceLike

__all__ = ["Threshold"]

@final
class Threshold:
    """Calibrated streaming threshold: turns any detector's scores into a grade
    and an alert at a chosen false-alarm rate.

    The grade of a score is its tail rank among the scores before it:
    1 - (weight of earlier scores >= score) / (total weight), in [0, 1]. A
    score alerts when at least `warmup` scores came before it and its grade
    is >= 1 - rate. Each score is added after it has been graded, so a
    stream of identical scores never alerts.

    Scores are kept in logarithmic buckets (one for zero, mirrored ones for
    negative scores, +inf above and -inf below everything), at most 2048 of
    them, merging the lowest when more are needed. A score's own bucket counts
    as at or above it, so the grade lies between the exact grade of the
    score and the exact grade of its bucket's lower edge, which is within a
    factor gamma = (1 + relative_accuracy) / (1 - relative_accuracy) of the
    score: grades err only toward fewer alerts. Scores in the merged lowest
    bucket (only when 2048 buckets do not span the stream) are graded
    coarsely.

    Parameters
    ----------
    rate : float, optional
        Target share of alerting scores, in (0, 1) (default 0.001).
    warmup : int, optional
        Scores seen before the first alert, >= 0 (default 1000).
    half_life : float or None, optional
        If given (> 0, in scores), an earlier score of age k weighs 2^(-k / half_life),
        so the threshold follows a drifting stream; half-lives below 1/512 act as
        1/512. None (default): every score weighs 1.
    relative_accuracy : float, optional
        Relative width of the buckets, in (0, 1) and at least 1e-9 (default 0.01).
    """

    def __new__(
        cls,
        rate: _Real = 0.001,
        warmup: SupportsIndex = 1000,
        half_life: _Real | None = None,
        relative_accuracy: _Real = 0.01,
    ) -> Threshold: ...
    def update(self, score: _Real) -> tuple[bool, float]:
        """Grade a score against the earlier ones, then add it.

        Returns (is_alert, grade). NaN is refused with ValueError and changes nothing.
        """
    def preview(self, score: _Real) -> tuple[bool, float]:
        """Return what update(score) would return now, without adding the score.

        Returns (is_alert, grade); nothing changes. NaN is refused with ValueError.
        """
    def update_many(self, scores: _SequenceLike[_Real]) -> tuple[array[int], array[float]]:
        """Grade and add a batch of scores, exactly as a loop of update().

        scores is a sequence of floats or a one-dimensional float buffer (array('d'),
        a numpy array). Returns (flags, grades): array('b') of 0/1 and array('d'),
        one entry per score. A NaN anywhere is refused with ValueError before any
        score is added.
        """
    def threshold(self) -> float | None:
        """Return the smallest score that would alert now.

        None during warm-up, and when no score can alert (more than `rate` of the
        weight sits at +inf).
        """
    def count(self) -> int:
        """Return the number of scores added."""
    def to_json(self) -> str:
        """Serialize the threshold state to JSON."""
    @staticmethod
    def from_json(json: _JsonText) -> Threshold:
        """Deserialize threshold state from a JSON string previously written by `to_json()`."""
    def to_bytes(self) -> bytes:
        """Serialize the threshold state to compact binary bytes.

        The versioned little-endian layout is read back exactly by `from_bytes()`.
        """
    @staticmethod
    def from_bytes(data: Buffer) -> Threshold:
        """Rebuild a threshold from bytes previously written by `to_bytes()`.

        `data` may be bytes, bytearray, memoryview or any contiguous byte buffer.
        """
    def save_json(self, path: _Path) -> None:
        """Serialize the threshold state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> Threshold:
        """Deserialize threshold state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> Threshold: ...
    def __deepcopy__(self, memo: object) -> Threshold: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
