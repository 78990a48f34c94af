"""tarn.alerts.Threshold: grades, alerts, exactness, state, bad input, and behaviour on generated streams."""

import array
import copy
import json
import math
import pickle
import random
import struct
import subprocess
import sys

import numpy as np
import pytest

import tarn
import tarn.alerts
from tarn.alerts import Threshold

INF = math.inf


def exact_grades(scores, weights=None):
    """Tail ranks among the earlier scores, computed directly (weights: age -> weight)."""
    out = []
    for i, x in enumerate(scores):
        w = [weights(i - j) if weights else 1.0 for j in range(i)]
        total = sum(w)
        tail = sum(wj for wj, y in zip(w, scores) if y >= x)
        out.append(1.0 - tail / total if total else 0.0)
    return out


def state_after(th, scores):
    th.update_many(scores)
    return th.to_json()


# ------------------------------------------------------------------ semantics

def test_grades_are_tail_ranks_and_alerts_follow_rate_and_warmup():
    rng = random.Random(3)
    # Values 10% apart never share a bucket, so the sketch's grade is exact.
    scores = [s * 1.1 ** rng.randrange(-40, 40) for s in (1, -1) for _ in range(150)]
    scores += [0.0, -0.0, INF, -INF, 0.0, INF]
    rng.shuffle(scores)
    th = Threshold(rate=0.05, warmup=20)
    got = [th.update(x) for x in scores]
    for i, ((flag, grade), want) in enumerate(zip(got, exact_grades(scores))):
        assert grade == want, i
        assert flag == (i >= 20 and grade >= 1 - 0.05), i
    assert th.count() == len(scores)


def test_identical_scores_never_alert_and_extremes_order():
    th = Threshold(rate=0.5, warmup=0)
    flags, grades = th.update_many([4.2] * 500)
    assert not any(flags) and set(grades) == {0.0}
    assert th.update(-INF) == (False, 0.0)
    assert th.update(INF) == (True, 1.0)
    assert th.update(1e308)[1] == 1.0 - 1 / 502  # only +inf is above it


def test_half_life_weighs_earlier_scores_by_age():
    rng = random.Random(5)
    scores = [1.2 ** rng.randrange(0, 60) for _ in range(300)]
    th = Threshold(half_life=7.5, warmup=0)
    grades = [th.update(x)[1] for x in scores]
    want = exact_grades(scores, lambda age: 2.0 ** (-age / 7.5))
    assert grades == pytest.approx(want, rel=1e-12, abs=1e-12)


def test_grade_error_bound():
    # The sketch grade lies between the exact grade of the score and that of
    # its bucket's lower edge, within a factor gamma below the score.
    a = 0.05
    gamma = (1 + a) / (1 - a)
    rng = np.random.default_rng(11)
    scores = np.round(rng.lognormal(0.0, 2.0, 1500), 3)  # rounded: many ties
    th = Threshold(relative_accuracy=a, warmup=0)
    _, grades = th.update_many(scores)
    for i in range(1, len(scores)):
        earlier = scores[:i]
        upper = 1.0 - np.count_nonzero(earlier >= scores[i]) / i
        lower = 1.0 - np.count_nonzero(earlier >= scores[i] / gamma * (1 - 1e-12)) / i
        assert lower - 1e-12 <= grades[i] <= upper + 1e-12, i


def test_threshold_is_the_smallest_alerting_score():
    rng = np.random.default_rng(2)
    for scores, kwargs in [(rng.normal(0, 1, 3000), {}), (-rng.exponential(1, 3000), {"half_life": 300.0}),
                           (rng.pareto(1.5, 3000), {"relative_accuracy": 0.2})]:
        th = Threshold(rate=0.02, warmup=3000, **kwargs)
        th.update_many(scores[:-1])
        assert th.threshold() is None  # one score short of warm-up
        th.update(scores[-1])
        t = th.threshold()
        assert t is not None and math.isfinite(t)
        assert copy.copy(th).update(t)[0]
        assert not copy.copy(th).update(math.nextafter(t, -INF))[0]
    # Nothing alerts while more than `rate` of the weight sits at +inf.
    th = Threshold(rate=0.1, warmup=0)
    th.update_many([INF] * 5 + [1.0] * 20)
    assert th.threshold() is None and th.update(INF) == (False, 0.8)
    assert Threshold(warmup=0).threshold() is None  # nothing seen: no grade can reach 1


def test_module_keeps_the_public_names():
    assert "Threshold" not in tarn.__all__ and "Threshold" not in dir(tarn.tarn)
    assert Threshold.__module__ == "tarn.alerts" and tarn.alerts.__all__ == ["Threshold"]
    assert repr(Threshold(half_life=2.5)) == (
        "Threshold(rate=0.001, warmup=1000, half_life=2.5, relative_accuracy=0.01, count=0)")


def test_stubs_agree_with_the_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "tarn.alerts"],
                            capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stdout + result.stderr


# -------------------------------------------------------------------- exactness

def streams():
    rng = np.random.default_rng(7)
    wide = rng.choice([-1.0, 1.0], 4000) * 10.0 ** rng.uniform(-300, 300, 4000)  # beyond 2048 buckets
    return [
        (rng.gamma(2.0, 1.0, 4000), dict(rate=0.01, warmup=50)),
        (rng.normal(0, 1, 4000), dict(rate=0.01, warmup=50, half_life=40.0)),
        (rng.exponential(1, 4000), dict(rate=0.1, warmup=0, half_life=0.3)),  # a rescale every few scores
        (rng.exponential(1, 500), dict(rate=0.1, warmup=0, half_life=1e-4)),  # capped growth
        (wide, dict(rate=0.01, warmup=10)),
    ]


@pytest.mark.parametrize("scores,kwargs", streams())
def test_batch_equals_loop_and_states_continue_bit_identically(scores, kwargs):
    loop = Threshold(**kwargs)
    singles = []
    for x in scores:
        before = loop.to_bytes()
        seen = loop.preview(float(x))  # what update() will return, changing nothing
        assert loop.to_bytes() == before
        singles.append(loop.update(float(x)))
        assert singles[-1] == seen
    batch = Threshold(**kwargs)
    flags, grades = batch.update_many(scores)
    assert list(flags) == [int(f) for f, _ in singles]
    assert [g.hex() for g in grades] == [g.hex() for _, g in singles]
    assert batch.to_json() == loop.to_json()

    half = len(scores) // 2
    first = Threshold(**kwargs)
    first.update_many(scores[:half])
    rebuilt = [Threshold.from_json(first.to_json()), Threshold.from_bytes(first.to_bytes()),
               pickle.loads(pickle.dumps(first)), copy.copy(first), copy.deepcopy(first)]
    first_rest = first.update_many(scores[half:])
    for other in rebuilt:
        assert other.update_many(scores[half:]) == first_rest
        assert other.to_json() == loop.to_json()


def test_merging_keeps_the_bucket_count_bounded():
    scores = streams()[-1][0]
    th = Threshold(relative_accuracy=0.001)
    th.update_many(scores)
    buckets = json.loads(th.to_json())["buckets"]
    assert len(buckets["keys"]) == 2048 and sum(buckets["weights"]) == len(scores)


def test_update_many_accepts_float_buffers_and_sequences(tmp_path):
    values = [0.5, 3.0, -1.0, 2.0, 7.25, 0.0]
    want = state_after(Threshold(warmup=0), values)
    as_float = np.array(values, dtype=np.float32)
    for scores in [values, tuple(values), array.array("d", values), array.array("f", values), np.array(values),
                   as_float, np.repeat(np.array(values), 2)[::2], memoryview(array.array("d", values)),
                   [int(v) if v.is_integer() else v for v in values]]:
        assert state_after(Threshold(warmup=0), scores) == want, type(scores)
    flags, grades = Threshold().update_many([])
    assert (flags.typecode, grades.typecode, len(flags), len(grades)) == ("b", "d", 0, 0)
    assert state_after(Threshold(warmup=0), np.array([3, -1, 2**40], dtype=np.int64)) == state_after(
        Threshold(warmup=0), [3.0, -1.0, 2.0**40])
    with pytest.raises(TypeError):
        Threshold().update_many(np.zeros((2, 2)))
    with pytest.raises(TypeError):
        Threshold().update_many(np.zeros(2, dtype=np.float16))
    with pytest.raises(TypeError):
        Threshold().update_many("1.0")
    th = Threshold(warmup=0)
    th.update_many(values)
    th.save_json(tmp_path / "th.json")
    assert Threshold.load_json(tmp_path / "th.json").to_json() == want


def test_nan_is_refused_and_changes_nothing():
    th = Threshold(warmup=0, half_life=3.0)
    th.update_many([1.0, 2.0, 3.0])
    before = th.to_json()
    with pytest.raises(ValueError, match="^score must not be NaN$"):
        th.update(math.nan)
    with pytest.raises(ValueError, match="^score must not be NaN$"):
        th.preview(math.nan)
    with pytest.raises(ValueError, match="^score at index 2 is NaN$"):
        th.update_many([1.0, 5.0, math.nan, 4.0])
    assert th.to_json() == before


# ------------------------------------------------------------------ bad input

@pytest.mark.parametrize("kwargs,text", [
    (dict(rate=0.0), "rate must be in (0, 1)"),
    (dict(rate=1.0), "rate must be in (0, 1)"),
    (dict(rate=math.nan), "rate must be in (0, 1)"),
    (dict(warmup=-1), "warmup must be >= 0"),
    (dict(warmup=-2 ** 70), "warmup must be >= 0"),
    (dict(half_life=0.0), "half_life must be > 0 or None"),
    (dict(half_life=-INF), "half_life must be > 0 or None"),
    (dict(half_life=math.nan), "half_life must be > 0 or None"),
    (dict(relative_accuracy=0.0), "relative_accuracy must be in (0, 1)"),
    (dict(relative_accuracy=1.0), "relative_accuracy must be in (0, 1)"),
    (dict(relative_accuracy=1e-10), "relative_accuracy must be at least 1e-9"),
])
def test_bad_arguments(kwargs, text):
    with pytest.raises(ValueError) as info:
        Threshold(**kwargs)
    assert str(info.value) == text


def test_argument_types_and_edges():
    with pytest.raises(TypeError, match="argument 'warmup'"):
        Threshold(warmup=1.5)
    with pytest.raises(TypeError, match="argument 'rate'"):
        Threshold(rate="0.1")
    assert "half_life=None" in repr(Threshold(half_life=INF))
    assert Threshold(warmup=2 ** 64 - 1, rate=5e-324, relative_accuracy=1 - 2 ** -53).update(1.0) == (False, 0.0)


def valid_state():
    th = Threshold(rate=0.1, warmup=3, half_life=50.0)
    th.update_many([0.0, -2.0, 1.0, 3.0, INF, 2.5])
    return json.loads(th.to_json())


def mutated(path, value):
    state = valid_state()
    node = state
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = value
    return json.dumps(state)


@pytest.mark.parametrize("text", [
    mutated(["config", "rate"], 1.5),
    mutated(["config", "half_life"], 0),
    mutated(["config", "relative_accuracy"], 0),
    mutated(["config", "max_buckets"], 1),
    mutated(["config", "max_buckets"], 4),
    mutated(["scale"], 0.5),
    mutated(["scale"], 1e300),
    mutated(["scale"], None),
    mutated(["buckets", "keys"], [0, 1, 2]),
    mutated(["buckets", "keys"], [-5, 0, 7, 3, 9, 12]),
    mutated(["buckets", "keys"], [-5, 0, 7, 9, 12, 10 ** 15]),
    mutated(["buckets", "weights"], [1.0, 1.0, 1.0, 0.0, 1.0, 1.0]),
    mutated(["buckets", "weights"], [1.0, 1.0, 1.0, -1.0, 1.0, 1.0]),
    mutated(["buckets", "weights"], [1.0, 1.0, 1.0, None, 1.0, 1.0]),
    mutated(["buckets", "weights"], [1e300] * 6),
    mutated(["count"], -1),
    '{"config": {}}',
    "[",
])
def test_hostile_states_are_refused(text):
    if '"keys": [0, 1, 2]' not in text and "[-5, 0" in text:
        state = json.loads(text)
        state["buckets"]["weights"] = [1.0] * len(state["buckets"]["keys"])
        text = json.dumps(state)
    with pytest.raises(ValueError, match="^invalid Threshold JSON: "):
        Threshold.from_json(text)
    th = Threshold()
    with pytest.raises(ValueError, match="^invalid Threshold JSON: "):
        th.__setstate__(text)
    assert th.count() == 0


def test_hostile_binary_states_are_refused():
    th = Threshold(rate=0.1, warmup=3, half_life=50.0)
    th.update_many([0.0, -2.0, 1.0, 3.0, INF, 2.5])
    data = th.to_bytes()
    weights_at = len(data) - 8 * 6
    negative = data[:weights_at] + struct.pack("<d", -1.0) + data[weights_at + 8:]
    for bad, why in [(data[:-1], "exceeds the remaining"), (data + b"\0", "trailing"),
                     (tarn.MStream(1, 1, seed=1).to_bytes(), "this is an MStream state, not a Threshold state"),
                     (negative, "bucket weight out of range")]:
        with pytest.raises(ValueError, match="^invalid Threshold state: .*" + why):
            Threshold.from_bytes(bad)


def test_random_mutations_load_safely_or_fail_cleanly():
    base = Threshold(rate=0.1, warmup=2, half_life=4.0)
    base.update_many([1.0, 2.0, -3.0, 0.0, 1e10, 1e-10, INF, 2.0])
    text = base.to_json()
    rng = random.Random(1)
    edges = ["0", "1", "-1", "1e308", "-1e308", "9223372036854775807", "-9223372036854775808", "1e-320", "2048"]
    numbers = [(i, j) for i, j in _number_spans(text)]
    for _ in range(400):
        i, j = rng.choice(numbers)
        other = rng.choice(numbers)
        piece = rng.choice([rng.choice(edges), text[other[0]:other[1]]])
        try:
            th = Threshold.from_json(text[:i] + piece + text[j:])
        except ValueError:
            continue
        for x in [0.5, -INF, 1e300, 7.0]:
            flag, grade = th.update(x)
            assert 0.0 <= grade <= 1.0
        th.threshold()
        assert Threshold.from_json(th.to_json()).to_json() == th.to_json()


def _number_spans(text):
    i = 0
    while i < len(text):
        if text[i] in "-0123456789":
            j = i
            while j < len(text) and text[j] in "-+.eE0123456789":
                j += 1
            yield i, j
            i = j
        else:
            i += 1


# ------------------------------------------------------------ generated streams

def observed_rate(flags, warmup):
    return np.frombuffer(flags, dtype=np.int8)[warmup:].mean()


@pytest.mark.parametrize("rate", [0.01, 0.001])
def test_stationary_noise_alerts_at_the_chosen_rate(rate):
    rng = np.random.default_rng(17)
    for scores in [rng.normal(0.0, 1.0, 200_000), rng.exponential(1.0, 200_000)]:
        flags, _ = Threshold(rate=rate, warmup=1000).update_many(scores)
        assert 0.5 * rate <= observed_rate(flags, 1000) <= 2 * rate


def test_level_shift():
    rng = np.random.default_rng(23)
    up = np.concatenate([rng.normal(1.0, 0.1, 20_000), rng.normal(3.0, 0.1, 20_000)])
    flags, _ = Threshold(rate=0.01).update_many(up)
    assert all(flags[20_000:20_100])  # the shift itself is flagged at once
    down = up[::-1].copy()
    without, _ = Threshold(rate=0.01).update_many(down)
    with_decay, _ = Threshold(rate=0.01, half_life=500.0).update_many(down)
    # After a shift down nothing ranks above the old level any more: without
    # decay alerts stop; with a half-life the threshold follows the new level.
    assert observed_rate(without, 30_000) < 0.001
    assert 0.005 <= observed_rate(with_decay, 30_000) <= 0.02


def test_heavy_tailed_scores_and_injected_anomalies():
    rng = np.random.default_rng(29)
    n = 200_000
    scores = rng.pareto(1.2, n) * 10.0  # MStream-like: most small, a long tail
    anomalies = rng.choice(np.arange(20_000, n), 50, replace=False)
    scores[anomalies] = np.quantile(scores, 0.9999) * rng.uniform(2, 10, 50)
    flags, _ = Threshold(rate=0.001, warmup=1000).update_many(scores)
    assert 0.5 * 0.001 <= observed_rate(flags, 1000) <= 2 * 0.001
    assert np.frombuffer(flags, dtype=np.int8)[anomalies].sum() >= 45
