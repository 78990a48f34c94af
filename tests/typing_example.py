"""Typed use of every tarn class, checked by `mypy --strict` and also run as a program.

`assert_type` makes mypy fail when a stub declares another result type; the
`type: ignore[...]` lines in `rejected()` make it fail when the stubs stop
rejecting a wrong argument (`--strict` reports unused ignores).
"""

from __future__ import annotations

import array
import copy
import os
import pathlib
import pickle
import sys
import tempfile
from typing import assert_type

import numpy as np

import tarn
from tarn import FeatureSketch, Forest, MStream, OnlineIForest


def use_forest() -> None:
    forest = Forest(2, shingle_size=2, num_trees=5, capacity=16, time_decay=0.0, output_after=0,
                    internal_shingling=True, initial_accept_fraction=0.5, seed=1)
    for i in range(40):
        forest.update([float(i % 5), 1.0])
    assert_type(forest.update_and_score((1, 2)), float)
    assert_type(forest.score(np.array([0.5, 1.0], dtype=np.float32)), float)
    assert_type(forest.displacement_score(range(2)), float)
    assert_type(forest.density([1.0, 1.0]), float)
    shares = forest.attribution([1.0, 9.0])
    assert_type(shares, "list[tarn.tarn._Attribution]")
    below: float = shares[0]["below"] + shares[0]["above"]
    neighbours = forest.near_neighbors([1.0, 1.0], top_k=3, percentile=10)
    for n in neighbours:
        point: list[float] = n["point"]
        assert len(point) == 4 and n["distance"] >= 0.0 and n["score"] >= 0.0
    filled = forest.impute([1.0, 1.0, 2.0, 0.0], [3], centrality=0.5)
    assert_type(filled, list[float])
    assert_type(forest.extrapolate(2), list[float])
    assert_type(forest.is_ready(), bool)
    assert_type(forest.entries_seen(), int)
    assert_type(forest.num_trees(), int)
    assert_type(forest.__getnewargs__(), tuple[int])
    assert below >= 0.0


def use_online_iforest() -> None:
    detector = OnlineIForest(3, num_trees=4, window_size=64, max_leaf_samples=8, seed=2)
    detector.update([0.0, 1.0, 2.0])
    assert_type(detector.update_and_score([0.5, 1.0, 2.0]), float)
    assert_type(detector.score(np.zeros(3)), float)
    assert_type(detector.is_ready(), bool)
    assert_type(detector.entries_seen(), int)
    assert_type(detector.num_trees(), int)
    assert_type(detector.__getnewargs__(), tuple[int])


def use_mstream() -> None:
    detector = MStream(2, 1, num_rows=2, num_buckets=64, alpha=0.5, seed=3)
    assert_type(detector.current_time(), int | None)
    detector.update([1.0, 2.0], [7], 1)
    assert_type(detector.update_and_score((1.5, 2), np.array([7]), 2), float)
    assert_type(detector.score([1.0, 2.0], [8], 2), float)
    detailed = detector.score_detailed([1.0, 2.0], [8], 3)
    parts: list[float] = detailed["numeric_features"] + detailed["categorical_features"]
    assert_type(detailed["total"] + detailed["record"], float)
    assert_type(detector.update_and_score_detailed([1.0, 2.0], [8], 3), "tarn.tarn._DetailedScore")
    assert len(parts) == 3
    assert_type(detector.is_ready(), bool)
    assert_type(detector.entries_seen(), int)
    assert_type(detector.__getnewargs__(), tuple[int, int])


def use_feature_sketch() -> None:
    detector = FeatureSketch(value_projection_dims=8, presence_projection_dims=8, chains_per_ensemble=4,
                             chain_depth=4, sketch_rows=2, sketch_buckets=64, decay_half_life=100, seed=4)
    detector.update({"a": 1.0, "b": 2})
    assert_type(detector.update_and_score([("a", 1.0), ("c", 3)]), float)
    assert_type(detector.score({"a": 1}), float)
    assert_type(detector.score([]), float)
    assert_type(detector.is_ready(), bool)
    assert_type(detector.entries_seen(), int)


def use_batches() -> None:
    forest = Forest(2, seed=9)
    forest.update_many(np.zeros((4, 2), dtype=np.float32))
    assert_type(forest.update_and_score_many([[1.0, 2.0], (3, 4)]), "array.array[float]")
    assert_type(forest.score_many(np.ones((2, 2))), "array.array[float]")
    online = OnlineIForest(1, seed=10)
    assert_type(online.update_and_score_many([array.array("d", [1.0]), array.array("f", [2.0])]), "array.array[float]")
    mstream = MStream(2, 0, seed=11)
    mstream.update_many(np.ones((2, 2)), None, np.array([1, 2], dtype=np.uint32))
    assert_type(mstream.score_many([[1.0, 2.0]], [[]], [3]), "array.array[float]")
    sketch = FeatureSketch(chains_per_ensemble=2, chain_depth=2, sketch_buckets=8, seed=12)
    events = ({"a": float(i)} for i in range(3))
    assert_type(sketch.update_and_score_many(events), "array.array[float]")
    assert len(sketch.score_many([[("a", 1.0)]])) == 1


def use_persistence(directory: str) -> None:
    forest = Forest(1, seed=5)
    forest.update([1.0])
    text = forest.to_json()
    assert_type(text, str)
    assert_type(Forest.from_json(text), Forest)
    assert_type(Forest.from_json(text.encode()), Forest)
    path = pathlib.Path(directory) / "forest.json"
    forest.save_json(path)
    assert_type(Forest.load_json(str(path)), Forest)
    assert_type(copy.copy(forest), Forest)
    assert_type(copy.deepcopy(forest), Forest)
    assert_type(forest.__copy__(), Forest)
    assert_type(forest.__deepcopy__({}), Forest)
    clone: Forest = pickle.loads(pickle.dumps(forest))
    clone.__setstate__(forest.__getstate__())

    mstream = MStream(1, 1, seed=6)
    mstream.update([1.0], [1], 1)
    assert_type(MStream.from_json(bytearray(mstream.to_json(), "utf-8")), MStream)
    mstream.save_json(os.path.join(directory, "mstream.json"))
    assert_type(MStream.load_json(os.path.join(directory, "mstream.json")), MStream)

    online = OnlineIForest(1, seed=7)
    assert_type(OnlineIForest.from_json(online.to_json()), OnlineIForest)
    online.save_json(path)
    assert_type(OnlineIForest.load_json(path), OnlineIForest)

    sketch = FeatureSketch(chains_per_ensemble=2, chain_depth=2, sketch_buckets=8, seed=8)
    assert_type(FeatureSketch.from_json(sketch.to_json()), FeatureSketch)
    sketch.save_json(path)
    assert_type(FeatureSketch.load_json(path), FeatureSketch)
    assert_type(copy.deepcopy(sketch), FeatureSketch)


def rejected() -> None:
    """Calls that the stubs must reject; never run."""
    forest = Forest(1)
    forest.update("1.0")  # type: ignore[arg-type]
    forest.update({1.0})  # type: ignore[arg-type]
    forest.impute([1.0], [0.5])  # type: ignore[list-item]
    Forest(1, internal_shingling=None)  # type: ignore[arg-type]
    Forest(1.5)  # type: ignore[arg-type]
    Forest(1, bogus=2)  # type: ignore[call-arg]
    forest.save_json(b"/tmp/x.json")  # type: ignore[arg-type]
    forest.__setstate__(b"{}")  # type: ignore[arg-type]
    MStream(1, 1).update([1.0], [1.5], 1)  # type: ignore[list-item]
    MStream(1)  # type: ignore[call-arg]
    FeatureSketch().update([["a", 1.0]])  # type: ignore[list-item]
    FeatureSketch().update({b"a": 1.0})  # type: ignore[arg-type]
    FeatureSketch().__getnewargs__()  # type: ignore[attr-defined]
    OnlineIForest(1).current_time()  # type: ignore[attr-defined]
    forest.update_many("1.0")  # type: ignore[arg-type]
    MStream(1, 1).update_many([[1.0]], [[1.5]], [1])  # type: ignore[list-item]


def main() -> int:
    assert_type(tarn.__version__, str)
    use_forest()
    use_online_iforest()
    use_mstream()
    use_feature_sketch()
    use_batches()
    with tempfile.TemporaryDirectory() as directory:
        use_persistence(directory)
    print("typing example ran")
    return 0


if __name__ == "__main__":
    sys.exit(main())
