"""Forest.update, score and update_and_score: point store, trees, samplers."""

import json
import math
import random
import threading

import pytest

import tarn

from reference_rng import Xoshiro

NONE = 2**64 - 1


def state(forest):
    return json.loads(forest.to_json())


def consistent(forest):
    """Reading a state back runs the full structural check of the loader
    (boxes, masses, cuts, free lists, sampler/leaf agreement, reference
    counts); it raises if any of them is off."""
    return tarn.Forest.from_json(forest.to_json()).to_json() == forest.to_json()


def leaf_depths(tree):
    """(point_idx, mass, depth) of every leaf, walking from the root."""
    nodes = tree["arena"]["nodes"]
    out, stack = [], [(tree["root"], 0)]
    while stack:
        i, depth = stack.pop()
        node = nodes[i]
        if "Leaf" in node:
            out.append((node["Leaf"]["point_idx"], node["Leaf"]["mass"], depth))
        else:
            stack.append((node["Internal"]["left"], depth + 1))
            stack.append((node["Internal"]["right"], depth + 1))
    return out


def parent_of(tree, child):
    for i, node in enumerate(tree["arena"]["nodes"]):
        if node and "Internal" in node and child in (node["Internal"]["left"], node["Internal"]["right"]):
            return i
    return None


# ---------------------------------------------------------------- exact values


@pytest.mark.parametrize("seed", [0, 1, 12345])
def test_two_point_tree_scores_and_shape(seed):
    f = tarn.Forest(1, num_trees=1, capacity=4, initial_accept_fraction=1.0, seed=seed)
    f.update([0.0])
    f.update([1.0])
    tree = state(f)["trees"][0]
    root = tree["arena"]["nodes"][tree["root"]]["Internal"]
    assert tree["tree_mass"] == 2 and root["mass"] == 2 and root["cut_dim"] == 0
    assert 0.0 <= root["cut_val"] <= math.nextafter(1.0, 0.0)
    assert root["bbox"] == {"min": [0.0], "max": [1.0], "range_sum": 1.0}
    left = tree["arena"]["nodes"][root["left"]]["Leaf"]
    assert state(f)["point_store"]["store"]["data"][left["point_idx"]] == 0.0

    # Leaf of [0] at depth 1: damp(1, 2) * seen(1, 1) = 0.75 * 0.5; q inside the root box.
    assert f.score([0.0]).hex() == (math.log2(3.0) * (0.75 * 0.5)).hex()
    assert f.score([0.0]) == 0.5943609377704335
    # [2] reaches leaf [1] (unseen(1, 1) = 0.5); root separates with p = 1 / (1 + 1), unseen(0, 2) = 1.
    assert f.score([2.0]).hex() == (math.log2(3.0) * (0.5 * 0.5 + 0.5 * 1.0)).hex()
    assert f.score([2.0]) == 1.188721875540867


def test_single_point_tree_and_empty_forest():
    f = tarn.Forest(2, num_trees=1, capacity=4, seed=3)
    assert f.score([1.0, 2.0]) == 0.0  # all trees empty
    assert f.update_and_score([1.0, 2.0]) == 0.0
    assert f.score([1.0, 2.0]) == 0.5  # damp(1, 1) * seen(0, 1) * log2(2)
    assert f.score([1.0, 2.5]) == 1.0  # unseen(0, 1) * log2(2)
    # Only one of two trees holds the point: the empty tree still counts in the mean.
    g = tarn.Forest(1, num_trees=2, capacity=1, initial_accept_fraction=1.0, seed=0)
    g.update([4.0])
    assert g.score([4.0]) == 0.5 and g.score([9.0]) == 1.0
    h = tarn.Forest(1, num_trees=4, capacity=1, initial_accept_fraction=1.0, seed=0)
    assert h.score([0.0]) == 0.0


def test_first_sampler_weight_of_seed_zero():
    f = tarn.Forest(1, num_trees=1, seed=0)
    rng = Xoshiro(state(f)["rng"]["s"])
    f.update([5.0])
    u = min(max(rng.next_unit(), 2.0**-52), 1.0 - 2.0**-52)
    assert u == pytest.approx(0.8038234722716775, abs=1e-16)
    w = math.log(-math.log(u)) - 1.0 * (0.1 / 256.0)
    assert w == pytest.approx(-1.5219294073734235, abs=1e-15)
    u2 = rng.next_unit()
    assert u2 == pytest.approx(0.5694852712085963, abs=1e-16)
    s = state(f)
    assert s["samplers"][0]["weights"][0] == w
    assert s["samplers"][0]["point_indices"][0] == 0
    assert s["samplers"][0]["size"] == 1
    assert s["rng"]["s"] == rng.s  # two draws: weight and warm-up acceptance


class ReferenceSampler:
    """The sampler's decisions and heap, written out plainly."""

    def __init__(self, capacity):
        self.capacity = capacity
        self.weights = []

    def decide(self, rng, n, decay, accept_fraction):
        u = min(max(rng.next_unit(), 2.0**-52), 1.0 - 2.0**-52)
        w = math.log(-math.log(u)) - n * decay
        size = len(self.weights)
        if size == self.capacity:
            return w if w < self.weights[0] else None
        u2 = rng.next_unit()
        f = size / self.capacity
        p = 1.0 if f < accept_fraction else 1.0 - (f - accept_fraction) / (1.0 - accept_fraction)
        return w if p > u2 else None

    def commit(self, w):
        h = self.weights
        if len(h) < self.capacity:
            h.append(w)
            j = len(h) - 1
            while j > 0 and h[j] > h[(j - 1) // 2]:
                h[j], h[(j - 1) // 2] = h[(j - 1) // 2], h[j]
                j = (j - 1) // 2
            return
        h[0] = w
        j = 0
        while True:
            b = j
            if 2 * j + 1 < len(h) and h[2 * j + 1] > h[j]:
                b = 2 * j + 1
            if 2 * j + 2 < len(h) and h[2 * j + 2] > h[b]:
                b = 2 * j + 2
            if b == j:
                return
            h[j], h[b] = h[b], h[j]
            j = b


@pytest.mark.parametrize("accept_fraction, time_decay", [(0.0, 0.0), (0.125, 0.0), (0.6, 0.02), (1.0, 0.25)])
def test_sampler_decisions_and_heaps_follow_the_forest_generator(accept_fraction, time_decay):
    # Non-full samplers draw twice and full ones once, in tree order; weights
    # are ln(-ln u) - n * decay (0.1 / capacity when time_decay is 0); ties
    # never swap. Distinct points, so every acceptance books its own entry.
    capacity, trees = 6, 3
    f = tarn.Forest(1, num_trees=trees, capacity=capacity, time_decay=time_decay,
                    initial_accept_fraction=accept_fraction, seed=21)
    rng = Xoshiro(state(f)["rng"]["s"])
    decay = time_decay if time_decay else 0.1 / capacity
    ref = [ReferenceSampler(capacity) for _ in range(trees)]
    for n in range(1, 301):
        f.update([n * 0.5])
        for sampler in ref:
            w = sampler.decide(rng, n, decay, accept_fraction)
            if w is not None:
                sampler.commit(w)
        if n % 50 == 0 or n < 12:
            s = state(f)
            assert s["rng"]["s"] == rng.s
            for got, want in zip(s["samplers"], ref):
                assert got["size"] == len(want.weights) == s["trees"][ref.index(want)]["tree_mass"]
                assert got["weights"][:got["size"]] == want.weights
    assert all(len(r.weights) == capacity for r in ref)


def test_store_and_arena_sizes():
    assert state(tarn.Forest(1, num_trees=1, capacity=2))["point_store"]["capacity"] == 4
    assert state(tarn.Forest(1))["point_store"]["capacity"] == 12801
    s = state(tarn.Forest(3, shingle_size=4, num_trees=2, capacity=3))
    assert s["point_store"]["dim"] == 12 and s["point_store"]["capacity"] == 7
    assert s["point_store"]["shingle_buf"] == [0.0] * 12
    assert all(t["root"] == NONE and t["arena"] == {"nodes": [], "free": []} for t in s["trees"])
    assert all(sm["point_indices"] == [NONE] * 3 and sm["weights"] == [0.0] * 3 for sm in s["samplers"])


# ---------------------------------------------------------------- determinism


def stream(n, dim, seed):
    r = random.Random(seed)
    return [[r.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


def test_same_seed_same_bits_and_update_and_score_equals_score_then_update():
    kwargs = dict(shingle_size=3, num_trees=7, capacity=16, seed=77)
    a, b, c = (tarn.Forest(2, **kwargs) for _ in range(3))
    for p in stream(400, 2, 1):
        expected = a.score(p)
        a.update(p)
        got = b.update_and_score(p)
        assert got.hex() == expected.hex()
        assert c.update_and_score(p).hex() == got.hex()
    assert a.to_json() == b.to_json() == c.to_json()
    assert a.entries_seen() == 400
    other = tarn.Forest(2, **{**kwargs, "seed": 78})
    scores = [other.update_and_score(p) for p in stream(400, 2, 1)]
    assert other.to_json() != a.to_json() and len(set(scores)) > 1


def test_full_points_without_internal_shingling():
    f = tarn.Forest(2, shingle_size=2, num_trees=5, capacity=8, internal_shingling=False, seed=4)
    with pytest.raises(ValueError, match="dimension mismatch: expected 4, got 2"):
        f.update([1.0, 2.0])
    with pytest.raises(ValueError, match="dimension mismatch: expected 4, got 2"):
        f.score([1.0, 2.0])
    for p in stream(50, 4, 2):
        f.update(p)
    s = state(f)
    assert s["point_store"]["shingle_buf"] == [0.0] * 4  # not used without internal shingling
    assert consistent(f)


# ---------------------------------------------------------------- shingling


def test_internal_shingling_warm_up_and_query_point():
    f = tarn.Forest(2, shingle_size=3, num_trees=3, capacity=4, initial_accept_fraction=1.0, seed=5)
    rng0 = state(f)["rng"]
    f.update([1.0, 2.0])
    f.update([3.0, 4.0])
    s = state(f)
    assert s["entries_seen"] == 2 and f.entries_seen() == 2
    assert s["point_store"]["entries_seen"] == 2
    assert s["point_store"]["shingle_buf"] == [0.0, 0.0, 1.0, 2.0, 3.0, 4.0]
    assert s["rng"] == rng0  # the samplers did not take part yet
    assert s["point_store"]["size"] == 0 and all(t["root"] == NONE for t in s["trees"])

    f.update([5.0, 6.0])
    s = state(f)
    assert s["point_store"]["size"] == 1
    assert s["point_store"]["store"]["data"][:6] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    assert all(t["tree_mass"] == 1 for t in s["trees"])

    # The query keeps the oldest buffered values and replaces the newest observation.
    assert f.score([7.0, 8.0]) == f.score([1.0, 2.0, 3.0, 4.0, 7.0, 8.0])
    assert f.score([5.0, 6.0]) == f.score([1.0, 2.0, 3.0, 4.0, 5.0, 6.0]) == 0.5
    # A full point is scored as given but not accepted as an update.
    before = f.to_json()
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 6"):
        f.update([1.0] * 6)
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 6"):
        f.update_and_score([1.0] * 6)
    with pytest.raises(ValueError, match="dimension mismatch: expected 6, got 3"):
        f.score([1.0] * 3)
    assert f.to_json() == before

    f.update([7.0, 8.0])
    assert state(f)["point_store"]["shingle_buf"] == [3.0, 4.0, 5.0, 6.0, 7.0, 8.0]


@pytest.mark.parametrize("capacity, shingle, internal, threshold", [
    (8, 1, True, 3), (8, 4, True, 6), (8, 4, False, 3), (256, 1, True, 65),
])
def test_readiness_threshold(capacity, shingle, internal, threshold):
    f = tarn.Forest(1, shingle_size=shingle, capacity=capacity, num_trees=2, internal_shingling=internal, seed=1)
    point = [0.5] if internal else [0.5] * shingle
    for _ in range(threshold):
        f.update(point)
    assert f.is_ready() is False
    f.update(point)
    assert f.is_ready() is True
    assert tarn.Forest(1, output_after=2, capacity=8, seed=1).is_ready() is False


# ---------------------------------------------------------------- trees


def test_duplicates_share_a_leaf_and_a_slot():
    f = tarn.Forest(1, num_trees=1, capacity=8, initial_accept_fraction=1.0, seed=2)
    tree_rng = state(f)["trees"][0]["rng"]
    f.update([5.0])
    f.update([5.0])
    f.update([-0.0])
    f.update([0.0])  # equal to -0.0: a duplicate
    s = state(f)
    tree = s["trees"][0]
    assert sorted((m, idx) for idx, m, _ in leaf_depths(tree)) == [(2, 0), (2, 1)]
    assert tree["tree_mass"] == 4 and s["samplers"][0]["size"] == 4
    assert s["point_store"]["size"] == 2 and s["point_store"]["ref_count"][:2] == [2, 2]
    # A duplicate's new row is freed at once and is the next one reused: the
    # second 5.0 took row 1 and gave it back to -0.0; 0.0 took and gave back row 2.
    assert s["point_store"]["free_list"] == [2] and s["point_store"]["next_free"] == 3
    assert s["point_store"]["store"]["data"][:2] == [5.0, -0.0]
    # One cut (for the second distinct point); duplicates draw nothing.
    rng = Xoshiro(tree_rng["s"])
    rng.next_unit()
    assert tree["rng"]["s"] == rng.s
    # Leaf of mass 2 at depth 1 in a tree of mass 4: damp = 1 - 2/8, seen = 1/(1 + log2(3)).
    expected = math.log2(5.0) * ((1.0 - 2.0 / 8.0) * (1.0 / (1.0 + math.log2(3.0))))
    assert f.score([5.0]).hex() == expected.hex()


def test_eviction_releases_leaf_parent_and_slot_in_order():
    f = tarn.Forest(1, num_trees=1, capacity=3, initial_accept_fraction=1.0, seed=11)
    for x in (1.0, 2.0, 3.0):
        f.update([x])
    checked = 0
    for x in range(4, 200):
        before = state(f)
        f.update([float(x)])
        after = state(f)
        sb, sa = before["samplers"][0], after["samplers"][0]
        if sb == sa:
            continue
        evicted = sb["point_indices"][0]  # the max-weight entry leaves
        assert sa["weights"][0] == max(sa["weights"]) and evicted not in sa["point_indices"]
        tb, ta = before["trees"][0], after["trees"][0]
        leaf = next(i for i, n in enumerate(tb["arena"]["nodes"]) if n and n.get("Leaf", {}).get("point_idx") == evicted)
        parent = parent_of(tb, leaf)
        new_slot = (after["point_store"]["store"]["data"].index(float(x)))
        # Leaf released first, then its parent: the new leaf takes the
        # parent's slot and the new internal node the leaf's.
        assert ta["arena"]["nodes"][parent] == {"Leaf": {"point_idx": new_slot, "mass": 1}}
        assert "Internal" in ta["arena"]["nodes"][leaf]
        assert ta["arena"]["free"] == tb["arena"]["free"]
        # The evicted point's row is released and is the next one reused.
        ps = after["point_store"]
        assert ps["occupied"][evicted] is False and ps["ref_count"][evicted] == 0
        assert ps["free_list"][-1] == evicted
        assert ps["size"] == 3
        checked += 1
        if checked == 3:
            break
    assert checked == 3
    assert consistent(f)


def test_long_streams_keep_every_structure_consistent():
    # Discrete values give duplicates inside and across trees; small samplers
    # evict constantly.
    r = random.Random(3)
    f = tarn.Forest(2, shingle_size=2, num_trees=6, capacity=5, initial_accept_fraction=0.3, seed=8)
    for i in range(600):
        f.update([float(r.randint(0, 2)), float(r.randint(0, 1))])
        if i % 150 == 149:
            assert consistent(f)
    s = state(f)
    refs = {}
    for t, sampler in zip(s["trees"], s["samplers"]):
        assert t["tree_mass"] == sampler["size"] == 5
        for idx in sampler["point_indices"]:
            refs[idx] = refs.get(idx, 0) + 1
    ps = s["point_store"]
    assert {i: c for i, c in enumerate(ps["ref_count"]) if c} == refs
    assert ps["size"] == len(refs) == sum(ps["occupied"])


def test_deep_monotone_stream():
    # Each new maximum hangs below the previous one: a tree as deep as its sample.
    n = 10000
    f = tarn.Forest(1, num_trees=1, capacity=n, initial_accept_fraction=1.0, seed=6)
    for x in range(n):
        f.update([float(x)])
    tree = state(f)["trees"][0]
    assert tree["tree_mass"] == n
    assert max(depth for _, _, depth in leaf_depths(tree)) > n // 2
    assert f.score([float(n)]) > f.score([float(n // 2)]) > 0.0
    assert f.score([float(n - 1)]) == f.score([float(n - 1)])
    f.update_and_score([float(n)])  # evicts from the deep tree
    assert f.entries_seen() == n + 1 and consistent(f)


# ---------------------------------------------------------------- failures


def test_scores_stay_finite_for_points_near_the_float_limit():
    # The 32-bit outside distance of -3e38 from the box [3e38, 3.1e38]
    # overflows; the separation probability takes its limit 1 instead of NaN.
    f = tarn.Forest(1, num_trees=1, capacity=4, initial_accept_fraction=1.0, seed=1)
    f.update([3e38])
    f.update([3.1e38])
    # Leaf [3e38] at depth 1 gives unseen(1, 1) = 0.5; the root, p = 1, gives unseen(0, 2) = 1.
    assert f.score([-3e38]) == math.log2(3.0)
    # A box whose own range overflowed (written as null) and a distance that
    # overflows too: an even split, p = 0.5.
    g = tarn.Forest(2, num_trees=1, capacity=4, initial_accept_fraction=1.0, seed=1)
    g.update([3e38, 0.0])
    g.update([-3e38, 0.0])
    root = state(g)["trees"][0]["arena"]["nodes"][2]["Internal"]
    assert root["bbox"]["range_sum"] is None
    assert g.score([-3.4e38, 3.4e38]) == math.log2(3.0) * (0.5 * 0.5 + 0.5 * 1.0)
    assert math.isfinite(g.update_and_score([-3.4e38, 3.4e38])) and consistent(g)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_points_are_refused_by_updates_only(bad):
    f = tarn.Forest(2, shingle_size=2, num_trees=4, capacity=8, seed=1)
    for p in stream(20, 2, 5):
        f.update(p)
    before = f.to_json()
    for method in (f.update, f.update_and_score):
        with pytest.raises(ValueError) as e:
            method([1.0, bad])
        assert str(e.value) == "point values must be finite"
    assert f.to_json() == before
    # Length is checked first.
    with pytest.raises(ValueError, match="dimension mismatch"):
        f.update([bad])
    assert isinstance(f.score([bad, 1.0]), float)
    assert isinstance(f.score([bad, 1.0, 2.0, 3.0]), float)
    assert f.to_json() == before


def test_failed_updates_change_nothing_mid_stream():
    f = tarn.Forest(3, num_trees=5, capacity=4, internal_shingling=False, seed=2)
    g = tarn.Forest(3, num_trees=5, capacity=4, internal_shingling=False, seed=2)
    for i, p in enumerate(stream(120, 3, 9)):
        if i % 10 == 5:
            with pytest.raises(ValueError):
                f.update(p[:2])
            with pytest.raises(ValueError):
                f.update_and_score(p + [0.0])
        assert f.update_and_score(p) == g.update_and_score(p)
    assert f.to_json() == g.to_json()


def test_conversion_errors_name_the_argument():
    f = tarn.Forest(1, seed=1)
    with pytest.raises(TypeError, match="argument 'point'"):
        f.update("x")
    with pytest.raises(TypeError, match="argument 'point'"):
        f.score(None)
    assert f.entries_seen() == 0


# ---------------------------------------------------------------- concurrency


def test_concurrent_scores_match_sequential():
    f = tarn.Forest(4, num_trees=20, capacity=32, seed=3)
    for p in stream(300, 4, 4):
        f.update(p)
    queries = stream(200, 4, 5)
    expected = [f.score(q) for q in queries]
    results = {}

    def worker(k):
        results[k] = [f.score(q) for q in queries]

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[k] == expected for k in range(4))


def test_methods_and_docstrings():
    assert tarn.Forest.update.__doc__ == (
        "Incorporate a new observation into the forest.\n\nWhen `internal_shingling` is True, pass one base "
        "observation of length\n`input_dim`. Otherwise pass the full shingled vector of length\n"
        "`input_dim * shingle_size`.")
    assert tarn.Forest.update_and_score.__doc__ == (
        "Ingest an observation and return its anomaly score.\n\nThis has the same behavior as calling "
        "`score(point)` first and then\n`update(point)` with the same observation.")
    assert tarn.Forest.score.__doc__ == "Anomaly score for `point`. Higher means more anomalous."
    assert tarn.Forest.score.__text_signature__ == "($self, point)"
    f = tarn.Forest(1, seed=0)
    assert f.update(point=[1.0]) is None
    assert f.entries_seen() == 1
