"""Batch methods: a batch equals the loop of single calls, bit for bit, and
is checked whole before it changes anything."""

import array
import math

import numpy as np
import pytest

import tarn
from test_frame import _BlockingPoint, _hold_borrow


def _layouts(rows, dtype):
    """The same rows as several array layouts and as lists of lists."""
    a = np.asarray(rows, dtype=dtype)
    wide = np.zeros((a.shape[0] * 2, a.shape[1] * 3), dtype=dtype)
    wide[::2, ::3] = a
    return {
        "C": np.ascontiguousarray(a),
        "F": np.asfortranarray(a),
        "strided": wide[::2, ::3],
        "swapped": a.astype(a.dtype.newbyteorder()),
        "lists": a.tolist(),
        "tuples": tuple(tuple(r) for r in a.tolist()),
    }


def _assert_same(batch_result, loop_result, batch_det, loop_det):
    assert isinstance(batch_result, array.array) and batch_result.typecode == "d"
    assert [x.hex() for x in batch_result] == [x.hex() for x in loop_result]
    assert batch_det.to_json() == loop_det.to_json()


def _series(n, dim, seed):
    rng = np.random.default_rng(seed)
    data = rng.normal(size=(n, dim))
    data[n // 2] += 8.0  # one clear outlier
    return data


POINT_DETECTORS = [
    ("forest shingled", lambda: tarn.Forest(2, shingle_size=4, num_trees=10, capacity=32, seed=3), 2),
    ("forest plain", lambda: tarn.Forest(6, num_trees=5, capacity=16, internal_shingling=False, seed=4), 6),
    ("forest decayed", lambda: tarn.Forest(1, shingle_size=8, time_decay=0.01, output_after=3, seed=5), 1),
    ("online iforest", lambda: tarn.OnlineIForest(3, num_trees=8, window_size=40, max_leaf_samples=4, seed=6), 3),
    ("online iforest small", lambda: tarn.OnlineIForest(1, num_trees=2, window_size=5, max_leaf_samples=1, seed=7), 1),
]


@pytest.mark.parametrize("make,dim", [p[1:] for p in POINT_DETECTORS], ids=[p[0] for p in POINT_DETECTORS])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_point_batches_equal_the_loop(make, dim, dtype):
    data = _series(120, dim, seed=dim)
    for name, rows in _layouts(data, dtype).items():
        batch, loop = make(), make()
        # Learn a first part, score a preview, then learn-and-score the rest.
        batch.update_many(rows[:50])
        for r in np.asarray(rows[:50], dtype=dtype):
            loop.update(r.tolist())
        previews = batch.score_many(rows[50:60])
        _assert_same(previews, [loop.score(r) for r in np.asarray(rows[50:60], dtype=dtype).tolist()], batch, loop)
        scores = batch.update_and_score_many(rows[50:])
        expected = [loop.update_and_score(r) for r in np.asarray(rows[50:], dtype=dtype).tolist()]
        _assert_same(scores, expected, batch, loop)


def test_forest_score_many_takes_full_points_under_shingling():
    f = tarn.Forest(1, shingle_size=3, num_trees=4, capacity=8, seed=1)
    f.update_many([[float(i % 4)] for i in range(30)])
    rows = [[0.5], [1.0, 2.0, 3.0], [9.0]]
    assert list(f.score_many(rows)) == [f.score(r) for r in rows]


MSTREAM_CONFIGS = [
    (lambda: tarn.MStream(3, 2, num_rows=3, num_buckets=64, alpha=0.6, seed=1), 3, 2),
    (lambda: tarn.MStream(0, 2, seed=2), 0, 2),
    (lambda: tarn.MStream(2, 0, num_buckets=16, seed=3), 2, 0),
]


@pytest.mark.parametrize("make,n_dim,c_dim", MSTREAM_CONFIGS)
def test_mstream_batches_equal_the_loop(make, n_dim, c_dim):
    rng = np.random.default_rng(n_dim * 10 + c_dim)
    n = 200
    numeric = rng.normal(size=(n, n_dim)) * 100
    categorical = rng.integers(-5, 5, size=(n, c_dim), dtype=np.int16)
    timestamps = np.repeat(np.arange(1, n // 10 + 1, dtype=np.uint32) * 3, 10)  # gaps of 3 ticks
    cut = lambda x, sl: None if x is None else x[sl]  # noqa: E731
    for dtype in (np.float64, np.float32):
        layouts = _layouts(numeric, dtype) if n_dim else {"none": None}
        for name, num in layouts.items():
            cat = categorical.tolist() if name == "lists" else (categorical if c_dim else None)
            plain = [(list(map(float, np.asarray(numeric[i], dtype=dtype))), categorical[i].tolist(), int(timestamps[i]))
                     for i in range(n)]
            batch, loop = make(), make()
            batch.update_many(cut(num, slice(50)), cut(cat, slice(50)), timestamps[:50])
            for record in plain[:50]:
                loop.update(*record)
            rest = (cut(num, slice(50, None)), cut(cat, slice(50, None)))
            _assert_same(batch.score_many(*rest, timestamps[50:]), [loop.score(*r) for r in plain[50:]], batch, loop)
            scores = batch.update_and_score_many(*rest, timestamps[50:].tolist())
            _assert_same(scores, [loop.update_and_score(*r) for r in plain[50:]], batch, loop)


def test_feature_sketch_batches_equal_the_loop():
    make = lambda: tarn.FeatureSketch(value_projection_dims=8, presence_projection_dims=4,  # noqa: E731
                                      chains_per_ensemble=4, chain_depth=4, sketch_buckets=64,
                                      decay_half_life=16, seed=9)
    events = [{"a": float(i % 7), "b": -1.0} if i % 3 else [("c", 0.5), ("a", float(i)), ("c", 1.0)]
              for i in range(150)]
    batch, loop = make(), make()
    batch.update_many(iter(events[:40]))
    for e in events[:40]:
        loop.update(e)
    _assert_same(batch.score_many(events[40:60]), [loop.score(e) for e in events[40:60]], batch, loop)
    scores = batch.update_and_score_many(e for e in events[40:])
    _assert_same(scores, [loop.update_and_score(e) for e in events[40:]], batch, loop)


def test_results_are_double_arrays_numpy_can_share():
    f = tarn.OnlineIForest(2, seed=1)
    scores = f.update_and_score_many(np.ones((5, 2)))
    view = np.asarray(scores)
    assert view.dtype == np.float64 and view.shape == (5,)
    view[0] = -1.0
    assert scores[0] == -1.0  # one memory, no copy
    for det, args in [(tarn.Forest(2, seed=1), ([],)), (tarn.OnlineIForest(2, seed=1), (np.zeros((0, 2)),)),
                      (tarn.MStream(1, 1, seed=1), ([], [], [])), (tarn.FeatureSketch(seed=1), ([],))]:
        before = det.to_json()
        assert det.update_and_score_many(*args) == array.array("d")
        assert det.score_many(*args) == array.array("d")
        assert det.update_many(*args) is None
        assert det.to_json() == before


def test_a_refused_row_changes_nothing_even_late_in_the_batch():
    m = tarn.MStream(1, 1, num_buckets=8, seed=1)
    m.update([1.0], [1], 5)
    before = m.to_json()
    rows = np.ones((1000, 1))
    rows[999, 0] = math.nan
    with pytest.raises(ValueError, match=r"^row 999: numeric values must be finite$"):
        m.update_and_score_many(rows, np.ones((1000, 1), dtype=np.int64), np.arange(5, 1005))
    assert m.to_json() == before


def test_feature_sketch_counter_end_is_met_at_its_row():
    # A loaded state near the end of its counters: the loop fails at the
    # event that reaches it, and so does the batch, before applying any.
    s = tarn.FeatureSketch(chains_per_ensemble=2, chain_depth=2, sketch_buckets=8, seed=1)
    s.update({"a": 1.0})
    text = s.to_json().replace('"entries_seen":1', f'"entries_seen":{2**64 - 4}')
    batch, loop = tarn.FeatureSketch.from_json(text), tarn.FeatureSketch.from_json(text)
    events = [{"a": float(i)} for i in range(5)]
    with pytest.raises(RuntimeError, match=r"^row 3: overflow: FeatureSketch entries_seen overflow$"):
        batch.update_many(events)
    assert batch.to_json() == text
    for e in events[:3]:
        loop.update(e)
    with pytest.raises(RuntimeError, match=r"^overflow: FeatureSketch entries_seen overflow$"):
        loop.update(events[3])
    batch.update_many(events[:3])
    assert batch.to_json() == loop.to_json()


def test_batch_borrows_once_like_a_single_call():
    f = tarn.Forest(1, num_trees=2, capacity=4, seed=1)
    f.update([1.0])
    rows = _BlockingPoint([[1.0], [2.0]])
    t, errors = _hold_borrow(f.score_many, rows)  # a reader holds the detector
    try:
        assert list(f.score_many([[1.0]])) == [f.score([1.0])]  # readers share
        for call in (f.update_many, f.update_and_score_many):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                call([[2.0]])
    finally:
        rows.release.set()
        t.join()
    assert not errors
    rows = _BlockingPoint([[3.0]])
    t, errors = _hold_borrow(f.update_many, rows)  # a writer holds it
    try:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            f.score_many([[1.0]])
    finally:
        rows.release.set()
        t.join()
    assert not errors and f.entries_seen() == 2
