import copy
import json
import math
import pickle
import random

import numpy as np
import pytest

import tarn
from tarn.alerts import Threshold
from tarn.ensemble import Ensemble
from tarn.preprocessing import MinMaxScaler, RobustScaler


def rows(n, dim=2, seed=5):
    rng = random.Random(seed)
    out = []
    for t in range(n):
        r = [math.sin(t / 9.0) * 3.0 + rng.gauss(0.0, 0.2), rng.gauss(100.0, 5.0)][:dim]
        if t % 97 == 50:
            r[0] += 8.0
        out.append(r)
    return out


def members(dim, seed=2):
    return [tarn.Forest(dim, num_trees=10, capacity=64, seed=seed), tarn.OnlineIForest(dim, num_trees=8, seed=seed),
            tarn.MStream(dim, 0, seed=seed), tarn.FeatureSketch(value_projection_dims=4, presence_projection_dims=4,
                                                                chains_per_ensemble=2, sketch_buckets=64, seed=seed)]


def make(rule="log", shingle=3, scaler=True):
    return Ensemble(members(2 * shingle), 2, shingle_size=shingle, scaler=MinMaxScaler(2) if scaler else None,
                    scaled=[True, False, True, False] if scaler else None, rule=rule, rate=0.05, warmup=20)


@pytest.mark.parametrize("rule", ["log", "mean", "max"])
def test_grade_is_the_stated_combination(rule):
    data = rows(150)
    # The same pipeline written out: scale, shingle (first record repeated), member
    # score -> member tail rank -> rule -> tail rank of the combined value.
    twins, scaler = members(6), MinMaxScaler(2)
    member_th = [Threshold(0.5, 0, None, 0.01) for _ in twins]
    final = Threshold(0.05, 20, None, 0.01)
    raw_hist, scaled_hist, expected = [], [], []
    for t, r in enumerate(data):
        raw_hist.append(r)
        scaled_hist.append(scaler.update_and_transform(r))
        grades = []
        for k, (m, th) in enumerate(zip(twins, member_th)):
            hist = scaled_hist if k in (0, 2) else raw_hist
            window = [hist[max(t + i - 2, 0)] for i in range(3)]
            point = [v for w in window for v in w]
            if k == 2:
                s = m.update_and_score(point, [], t + 1)
            elif k == 3:
                s = m.update_and_score([(f"x{i}", v) for i, v in enumerate(point)])
            else:
                s = m.update_and_score(point)
            grades.append(th.update(s)[1])
        tails = [((1.0 - g) * t + 1.0) / (t + 1.0) for g in grades]
        if rule == "mean":
            c = math.fsum(1.0 - p for p in tails) / 4
        elif rule == "max":
            c = 1.0 - min(tails)
        else:
            c = math.fsum(math.log(1.05 / (p + 0.05)) for p in tails) / 4
        expected.append(final.update(c))
    ens = make(rule)
    got = [ens.update_and_alert(r) for r in data]
    assert [(a, g.hex()) for a, g in got] == [(a, g.hex()) for a, g in expected]
    assert all(0.0 <= g <= 1.0 for _, g in got) and (rule != "log" or any(a for a, _ in got))
    assert [json.loads(m.to_json()) == json.loads(tw.to_json()) for m, tw in zip(ens.members, twins)] == [True] * 4


def test_batches_and_states_continue_bit_identically():
    data = rows(260)
    loop = make()
    expected = [loop.update_and_score(r) for r in data]
    ens = make()
    got = list(ens.update_and_score_many(np.array(data[:1])))
    got += list(ens.update_and_score_many(data[1:2]))           # still inside the first shingle
    ens.update_many([])
    got += list(ens.update_and_score_many(np.asfortranarray(data[2:100])))
    mid = Ensemble.from_json(ens.to_json())
    for restored in (mid, pickle.loads(pickle.dumps(ens)), copy.copy(ens), copy.deepcopy(ens)):
        flags, grades = restored.update_and_alert_many(data[100:])
        assert [g.hex() for g in got + list(grades)] == [g.hex() for g in expected]
        assert (restored.to_json() == loop.to_json()) is True     # no diff of megabyte texts
    before = loop.to_json()
    previews = loop.score_many(data[:5])
    assert list(previews) == [loop.score(r) for r in data[:5]]
    assert all(0.0 <= p <= 1.0 for p in previews) and (loop.to_json() == before) is True
    assert loop.entries_seen() == len(data)


def test_bad_input_changes_nothing():
    ens = make()
    ens.update_many(rows(30))
    before = ens.to_json()
    for call, args, err, text in (
        (ens.update_many, ([[1.0, 2.0], [1.0, math.inf]],), ValueError, "^row 1: values must be finite$"),
        (ens.update_and_score_many, ([[1.0, 2.0], [1.0]],), ValueError, "^row 1: expected 2 values, got 1$"),
        (ens.update_and_score, ([1.0, math.nan],), ValueError, "^values must be finite$"),
        (ens.update, (["x", 1.0],), TypeError, "a row must be a sequence of numbers"),
        (ens.score, (None,), TypeError, "a row must be a sequence of numbers"),
        (ens.update_many, (7,), TypeError, "rows must be"),
    ):
        with pytest.raises(err, match=text):
            call(*args)
        assert (ens.to_json() == before) is True
    for bad, err in (
        (lambda: Ensemble([], 2), ValueError),
        (lambda: Ensemble([object()], 2), TypeError),
        (lambda: Ensemble([tarn.Forest(3, seed=1)], 2), ValueError),            # wrong point size
        (lambda: Ensemble([tarn.MStream(2, 1, seed=1)], 2), ValueError),         # needs categories
        (lambda: Ensemble([tarn.Forest(2, seed=1)], 2, scaler=MinMaxScaler(3)), ValueError),
        (lambda: Ensemble([tarn.Forest(2, seed=1)], 2, scaled=[True]), ValueError),
        (lambda: Ensemble([tarn.Forest(2, seed=1)], 2, rule="median"), ValueError),
        (lambda: Ensemble([tarn.Forest(2, seed=1)], 2, rate=1.5), ValueError),
        (lambda: Ensemble([tarn.Forest(2, seed=1)], 0), ValueError),
    ):
        with pytest.raises(err):
            bad()
    f = tarn.Forest(2, seed=1)
    with pytest.raises(ValueError):
        Ensemble([f, f], 2)


def test_hostile_states_are_refused():
    ens = make(shingle=2)
    ens.update_many(rows(5))
    state = json.loads(ens.to_json())
    edits = [
        lambda s: s.update(kind="Forest"),
        lambda s: s.update(version=2),
        lambda s: s.pop("members"),
        lambda s: s.update(members=[]),
        lambda s: s["members"][0].update(kind="Other"),
        lambda s: s["members"][1].update(state="{}"),
        lambda s: s["members"][0].update(grade="[1]"),
        lambda s: s.update(recent=[]),
        lambda s: s.update(recent=[[1.0, "x"]]),
        lambda s: s.update(recent_scaled=[[1.0]]),
        lambda s: s.update(count=-1),
        lambda s: s.update(scaler='{"kind":"Nope"}'),
        lambda s: s.update(shingle_size=3),                   # members no longer take the points
        lambda s: s.update(rule="median"),
    ]
    for edit in edits:
        bad = copy.deepcopy(state)
        edit(bad)
        with pytest.raises(ValueError, match="^invalid Ensemble JSON: "):
            Ensemble.from_json(json.dumps(bad))
    for text in ("", "[", "null", b"\xff"):
        with pytest.raises(ValueError, match="^invalid Ensemble JSON: "):
            Ensemble.from_json(text)


def test_preset_members_and_a_clear_anomaly():
    series = Ensemble.for_numeric(1, shingle_size=4, seed=3)
    vectors = Ensemble.for_numeric(3, seed=3)
    assert repr(series) == "Ensemble([Forest, OnlineIForest, MStream], input_dim=1, shingle_size=4, rule='log')"
    assert repr(vectors) == ("Ensemble([Forest, Forest, OnlineIForest, FeatureSketch, MStream], input_dim=3, "
                             "shingle_size=1, rule='log')")
    rng = random.Random(1)
    grades = series.update_and_score_many([[math.sin(t / 5.0) + rng.gauss(0, 0.05)] for t in range(1500)])
    assert sum(g >= 0.99 for g in grades[200:]) < 30          # about 1% of 1300 ordinary records
    is_alert, grade = series.update_and_alert([25.0])
    assert is_alert and grade > 0.99
    again = Ensemble.for_numeric(1, shingle_size=4, seed=3)
    assert again.update_and_score_many([[math.sin(t / 5.0)] for t in range(50)]) == \
        Ensemble.for_numeric(1, shingle_size=4, seed=3).update_and_score_many([[math.sin(t / 5.0)] for t in range(50)])
    robust = Ensemble([tarn.Forest(3, seed=1)], 3, scaler=RobustScaler(3, warmup=8))
    assert 0.0 <= robust.update_and_score_many([[1.0, 2.0, 3.0]] * 20 + [[9.0, 2.0, 3.0]])[-1] <= 1.0


def test_command_line_scores_with_the_preset_and_resumes(tmp_path):
    import os
    import subprocess
    import sys
    from pathlib import Path

    env = {**os.environ, "PYTHONPATH": str(Path(tarn.__file__).resolve().parent.parent)}

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "tarn", "score", *args], capture_output=True, text=True,
                              cwd=tmp_path, env=env, check=False)

    data = [[t, f"{math.sin(t / 7.0):.4f}", f"{t % 5}"] for t in range(400)]
    for name, part in (("all.csv", data), ("a.csv", data[:270]), ("b.csv", data[270:])):
        (tmp_path / name).write_text("t,value,other\n" + "".join(",".join(map(str, r)) + "\n" for r in part))
    args = ["-d", "ensemble", "--timestamp", "t", "--numeric", "value,other", "--shingle-size", "3", "--seed", "4"]
    whole = cli("all.csv", *args)
    assert whole.returncode == 0, whole.stderr
    first, second = cli("a.csv", *args, "--state", "s.json"), cli("b.csv", *args, "--state", "s.json")
    assert first.stdout + second.stdout.split("\n", 1)[1] == whole.stdout
    expected = Ensemble.for_numeric(2, shingle_size=3, seed=4).update_and_score_many(
        [[float(v), float(o)] for _, v, o in data])
    cells = [line.rsplit(",", 1)[1] for line in whole.stdout.splitlines()[1:]]
    assert [float(c) for c in cells if c] == list(expected)[len(data) - sum(1 for c in cells if c):]
    assert Ensemble.load_json(tmp_path / "s.json").entries_seen() == 400
    assert cli("all.csv", *args, "--num-trees", "5").returncode == 2        # not an ensemble option


def test_smoothing_grades_the_larger_of_record_and_moving_average():
    data = rows(200)
    twin, member_th, final = tarn.Forest(2, num_trees=10, capacity=64, seed=7), Threshold(0.5, 0), Threshold(0.05, 20)
    expected, average = [], None
    for t, r in enumerate(data):
        g = member_th.update(twin.update_and_score(r))[1]
        c = 1.0 - ((1.0 - g) * t + 1.0) / (t + 1.0)
        average = c if average is None else average + (2.0 / 6.0) * (c - average)
        expected.append(final.update(max(c, average))[1])

    def make_smoothed():
        return Ensemble([tarn.Forest(2, num_trees=10, capacity=64, seed=7)], 2, rule="mean", smoothing=5,
                        rate=0.05, warmup=20)

    ens = make_smoothed()
    got = [ens.update_and_score(r) for r in data[:70]]
    state = ens.to_json()
    assert json.loads(state)["version"] == 2
    preview = ens.score(data[70])
    resumed = Ensemble.from_json(state)
    got += list(resumed.update_and_score_many(np.array(data[70:])))
    assert [g.hex() for g in got] == [g.hex() for g in expected] and preview == expected[70]
    assert list(make_smoothed().update_and_score_many(data)) == got
    fresh = json.loads(make_smoothed().to_json())
    assert fresh["smoothed"] is None and Ensemble.from_json(json.dumps(fresh)).update_and_score(data[0]) == got[0]
    bad = json.loads(state)
    for field, value in (("smoothing", 1), ("smoothing", True), ("smoothed", None), ("smoothed", "x"),
                         ("version", 3)):
        with pytest.raises(ValueError, match="^invalid Ensemble JSON: "):
            Ensemble.from_json(json.dumps({**bad, field: value}))
    with pytest.raises(ValueError, match="^invalid Ensemble JSON: "):
        Ensemble.from_json(json.dumps({k: v for k, v in bad.items() if k != "smoothed"}))
    with pytest.raises(ValueError, match="smoothing must be at least 1"):
        Ensemble([tarn.Forest(2, seed=1)], 2, smoothing=0)


def test_array_batches_take_the_checked_fast_path_with_the_same_errors():
    data = np.array(rows(40), dtype=np.float32)
    loop, batch = make(), make()
    assert list(batch.update_and_score_many(data)) == [loop.update_and_score(r) for r in data.tolist()]
    bad = np.array(rows(12))
    bad[9, 1] = np.inf
    before = batch.to_json()
    with pytest.raises(ValueError, match="^row 9: values must be finite$"):
        batch.update_many(bad)
    with pytest.raises(ValueError, match="^row 0: expected 2 values, got 3$"):
        batch.update_many(np.zeros((4, 3)))
    assert (batch.to_json() == before) is True
