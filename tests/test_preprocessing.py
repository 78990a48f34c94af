import copy
import math
import pickle
import random

import numpy as np
import pytest

from tarn.preprocessing import MinMaxScaler, RobustScaler


def stream(n, dim, seed=3):
    rng = random.Random(seed)
    return [[rng.gauss(10.0 * i, 1.0 + i) + (50.0 if rng.random() < 0.02 else 0.0) for i in range(dim)]
            for _ in range(n)]


def test_min_max_values():
    s = MinMaxScaler(2)
    assert s.transform([5.0, 1.0]) == [0.0, 0.0]           # nothing learned: every feature constant
    assert s.update_and_transform([0.0, 7.0]) == [0.0, 0.0]
    assert s.update_and_transform([4.0, 7.0]) == [1.0, 0.0]
    assert s.transform([1.0, 9.0]) == [0.25, 0.0]
    assert s.transform([8.0, 7.0]) == [2.0, 0.0]           # beyond the learned range: not clipped
    decayed = MinMaxScaler(1, half_life=1.0)                # extremes move half-way to each value
    for x in (0.0, 8.0, 4.0):
        decayed.update([x])
    assert (decayed.low, decayed.high) == ([4.0], [6.0])
    assert decayed.transform([5.5]) == [0.75]


def test_robust_values():
    s = RobustScaler(1, warmup=4, rate=0.5)
    for x in (1.0, 2.0, 3.0, 4.0):
        s.update([x])
    # Exact quartiles of the warm-up values, as numpy computes them.
    assert (s.q25, s.q50, s.q75) == ([1.75], [2.5], [3.25])
    assert s.transform([4.0]) == [1.0]
    s.update([10.0])                                        # spread 1.5, step 0.75: each quantile moves up
    assert (s.q25, s.q50, s.q75) == ([1.75 + 0.1875], [2.5 + 0.375], [3.25 + 0.5625])
    constant = RobustScaler(1, warmup=3)
    constant.update_many([[5.0]] * 3)
    assert constant.transform([7.0]) == [2.0]               # no spread anywhere: unscaled around the median
    constant.update([9.0])                                  # the quartiles part by one step
    assert constant.transform([1e308]) == [1e6]             # huge ratios are capped, never inf
    binary = RobustScaler(1, warmup=5)
    for x in (0.0, 0.0, 0.0, 0.0, 1.0):
        binary.update([x])
    assert binary.transform([1.0]) == [1.0]                 # quartiles coincide: divided by the range


@pytest.mark.parametrize("make", [lambda: MinMaxScaler(3), lambda: MinMaxScaler(3, half_life=50),
                                  lambda: RobustScaler(3, warmup=20, rate=0.05)])
def test_batches_and_states_equal_the_loop(make):
    rows = stream(400, 3)
    loop = make()
    expected = [loop.update_and_transform(r) for r in rows]
    batch = make()
    got = batch.update_and_transform_many(np.array(rows[:150]))
    half = type(batch).from_json(batch.to_json())
    got += half.update_and_transform_many(rows[150:300])
    for restored in (pickle.loads(pickle.dumps(half)), copy.copy(half), copy.deepcopy(half)):
        tail = restored.update_and_transform_many(rows[300:])
        assert [v.hex() for r in got + tail for v in r] == [v.hex() for r in expected for v in r]
        assert restored.to_json() == loop.to_json()
    other = make()
    other.update_many(rows)
    assert other.to_json() == loop.to_json()
    assert other.transform_many(rows[:5]) == [loop.transform(r) for r in rows[:5]]


def test_bad_input_changes_nothing():
    for s in (MinMaxScaler(2), RobustScaler(2, warmup=2)):
        s.update_many([[1.0, 2.0], [3.0, 5.0], [0.0, 1.0]])
        before = s.to_json()
        with pytest.raises(ValueError, match="^row 2: values must be finite$"):
            s.update_many([[1.0, 2.0], [1.0, 2.0], [math.nan, 2.0]])
        with pytest.raises(ValueError, match="^row 1: expected 2 values, got 3$"):
            s.update_and_transform_many([[1.0, 2.0], [1.0, 2.0, 3.0]])
        with pytest.raises(ValueError, match="^expected 2 values, got 1$"):
            s.update([1.0])
        with pytest.raises(TypeError):
            s.update(["a", 1.0])
        with pytest.raises(TypeError):
            s.update_many(5)
        assert s.to_json() == before
    for args, err in (((0,), ValueError), ((1.5,), TypeError), ((2, 0.0), ValueError), ((2, math.inf), ValueError)):
        with pytest.raises(err):
            MinMaxScaler(*args)
    for kwargs in ({"warmup": 0}, {"rate": 1.0}, {"rate": 0.0}):
        with pytest.raises(ValueError):
            RobustScaler(2, **kwargs)


def test_hostile_states_are_refused():
    good = RobustScaler(2, warmup=4)
    good.update_many([[1.0, 2.0], [2.0, 3.0]])
    text = good.to_json()
    bad = [
        "", "[]", "nul", '{"kind":"MinMaxScaler","version":1}',
        text.replace('"count":2', '"count":-1'),
        text.replace('"count":2', '"count":9'),                # buffer no longer matches
        text.replace('"input_dim":2', '"input_dim":3'),
        text.replace('"rate":0.01', '"rate":2'),
        text.replace('"fallback":[1.0,1.0]', '"fallback":[0.0,1.0]'),
        text.replace('"buffer":[[1.0,2.0]', '"buffer":[["x",2.0]'),
    ]
    mm = MinMaxScaler(2)
    mm.update_many([[0.0, 0.0], [1.0, 1.0]])
    bad_mm = [mm.to_json().replace('"high":[1.0,1.0]', '"high":[-1.0,1.0]'),
              mm.to_json().replace('"low":[0.0,0.0]', '"low":[0.0]')]
    for cls, texts in ((RobustScaler, bad), (MinMaxScaler, bad_mm)):
        for t in texts:
            assert t not in (text, mm.to_json())
            with pytest.raises(ValueError, match=f"^invalid {cls.__name__} JSON: "):
                cls.from_json(t)
    assert RobustScaler.from_json(text).to_json() == text


def test_min_max_batches_equal_the_loop_on_zeros_and_extremes():
    rng = random.Random(11)
    pool = [0.0, -0.0, 1.0, -1.0, 1e308, -1e308, 5e-324, 2.5]
    for trial in range(60):
        dim = rng.randint(1, 4)
        data = [[rng.choice(pool) if rng.random() < 0.4 else rng.gauss(0.0, 10.0) for _ in range(dim)]
                for _ in range(rng.randint(8, 40))]
        loop, batch = MinMaxScaler(dim), MinMaxScaler(dim)
        for r in data[:trial % 3]:
            loop.update(r)
            batch.update(r)
        expected = [loop.update_and_transform(r) for r in data[trial % 3:]]
        got = batch.update_and_transform_many(data[trial % 3:])
        assert [[v.hex() for v in r] for r in got] == [[v.hex() for v in r] for r in expected], trial
        assert batch.to_json() == loop.to_json()
