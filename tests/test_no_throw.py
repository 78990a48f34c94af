"""Calls that succeed throw no C++ exception on the way.

The extension counts every C++ throw it makes (a wrapped __cxa_throw on
Linux); the count is read through ctypes around successful calls of every
conversion form, and around failing ones to show the count works.
"""
import array
import copy
import ctypes
import pathlib
import pickle

import pytest

import tarn
from tarn import FeatureSketch, Forest, MStream, OnlineIForest

_lib = ctypes.CDLL(tarn.tarn.__file__)
_lib.tarn_cxx_throw_count.restype = ctypes.c_uint64
pytestmark = pytest.mark.skipif(not _lib.tarn_cxx_throw_count_enabled(), reason="throws are counted on Linux only")


def throws(calls):
    before = _lib.tarn_cxx_throw_count()
    for call in calls:
        call()
    return _lib.tarn_cxx_throw_count() - before


class Pairs:
    """A sequence of pairs that is neither list nor tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Mapping(dict):
    pass


def test_successful_calls_throw_nothing(tmp_path):
    fs = FeatureSketch(value_projection_dims=4, presence_projection_dims=4, chains_per_ensemble=2, chain_depth=2,
                       sketch_buckets=16, seed=1)
    ms = MStream(2, 1, num_buckets=16, seed=2)
    oif = OnlineIForest(2, num_trees=4, window_size=64, max_leaf_samples=8, seed=3)
    forest = Forest(2, shingle_size=2, num_trees=4, capacity=16, seed=4)
    for i in range(40):
        forest.update([float(i % 7), 1.0])
    path = tmp_path / "fs.json"
    events = [{"a": 1.0, "b": 2}, Mapping(a=1.0), [("a", 1.0), ("a", 2.0)], (("b", True),), Pairs([("c", 0.5)]),
              {}, []]
    calls = [lambda e=e: fs.update_and_score(e) for e in events]
    calls += [lambda: fs.score({"a": 3.0}), lambda: fs.update(feature=[("a", 1.0)])]
    text = fs.to_json()
    calls += [lambda: FeatureSketch.from_json(text), lambda: FeatureSketch.from_json(text.encode()),
              lambda: FeatureSketch.from_json(bytearray(text.encode())), lambda: fs.save_json(str(path)),
              lambda: FeatureSketch.load_json(pathlib.Path(path)), lambda: copy.deepcopy(fs),
              lambda: pickle.loads(pickle.dumps(fs))]
    calls += [lambda t=t: ms.update_and_score_detailed([0.5, t], [t], 1 + t) for t in range(5)]
    calls += [lambda: ms.score((1.0, 2.0), array.array("q", [3]), 9), lambda: MStream.from_json(ms.to_json())]
    calls += [lambda: oif.update_and_score([1.0, 2.0]), lambda: oif.score(array.array("f", [0.5, 0.5]))]
    calls += [lambda: forest.update_and_score((1.0, 2)), lambda: forest.attribution([1.0, 1.0]),
              lambda: forest.near_neighbors([1.0, 1.0], top_k=2), lambda: forest.impute([1.0, 1.0, 0.0, 1.0], [2]),
              lambda: Forest(2, seed=None), lambda: repr(forest)]
    assert throws(calls) == 0
    # The count does move when a call fails.
    assert throws([lambda: pytest.raises(TypeError, fs.update, 5)]) > 0
