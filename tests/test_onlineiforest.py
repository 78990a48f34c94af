"""OnlineIForest: construction, window, tree growth and shrinkage, scores, state texts."""

import copy
import json
import math
import os
import pickle
import struct

import numpy as np
import pytest

import tarn
from reference_rng import M64, expand_seed
from reference_rng import Xoshiro as ReferenceXoshiro

OIF = tarn.OnlineIForest
PREFIX = "invalid OnlineIForest JSON: "
# AddressSanitizer's operator new aborts instead of throwing when an
# allocation fails, so the cases that rely on a failed reservation run without
# it only (the sanitizer runs set TARN_SANITIZED=1).
UNDER_ASAN = os.environ.get("TARN_SANITIZED") == "1"
needs_plain_allocator = pytest.mark.skipif(UNDER_ASAN, reason="allocation failure aborts under ASan")


# ---------------------------------------------------------------- helpers

class Xoshiro(ReferenceXoshiro):
    """The reference generator with the detector's index and range draws."""

    def uniform_index(self, k):
        w = self.next_word() >> 32
        p = w * k
        r, lo = p >> 32, p & 0xFFFFFFFF
        if lo > (1 << 32) - k:
            q = ((self.next_word() >> 32) * k) >> 32
            if lo + q >= 1 << 32:
                r += 1
        return r

    def draw(self, low, width):
        bits = (self.next_word() >> 41) | 0x3F800000
        f = np.frombuffer(struct.pack("<I", bits), dtype=np.float32)[0]
        return np.float32(low) + (f - np.float32(1.0)) * np.float32(width)


def tree_rngs(seed, num_trees):
    master = Xoshiro(expand_seed(seed))
    return [expand_seed(master.next_word()) for _ in range(num_trees)]


def state(f):
    return json.loads(f.to_json())


def text(obj):
    return json.dumps(obj, separators=(",", ":"))


def leaf(height, lo, hi):
    return {"height": height, "support": {"min": lo, "max": hi}, "split": None}


def internal(height, lo, hi, dim, value, left, right):
    return {"height": height, "support": {"min": lo, "max": hi},
            "split": {"dimension": dim, "value": value, "left": left, "right": right}}


RNG = {"s": [1, 2, 3, 4]}


def crafted(window_size, eta, roots, window, input_dim=1, entries_seen=None):
    return text({
        "config": {"input_dim": input_dim, "num_trees": len(roots), "window_size": window_size,
                   "max_leaf_samples": eta},
        "trees": [{"root": r, "rng": RNG} for r in roots],
        "window": window,
        "entries_seen": len(window) if entries_seen is None else entries_seen,
    })


def chain(depth, leaf_height, ancestor_height):
    """A one-dimensional tree whose point 100.0 goes right at every level down
    to a leaf at `depth`; the left siblings are empty leaves."""
    node = leaf(leaf_height, [float(depth)], [200.0])
    for i in reversed(range(depth)):
        node = internal(ancestor_height, [float(i) - 1.0], [200.0], 0, float(i),
                        leaf(0, [float(i) - 1.0], [float(i) - 1.0]), node)
    return node


def at_depth(root, depth):
    for _ in range(depth):
        root = root["split"]["right"]
    return root


# ---------------------------------------------------------- construction

def test_fresh_detector():
    f = OIF(2)
    assert repr(f) == str(f) == (
        "OnlineIForest(input_dim=2, num_trees=32, window_size=2048, max_leaf_samples=32, entries_seen=0)")
    assert not f.is_ready()
    assert f.entries_seen() == 0 and f.num_trees() == 32
    assert f.score([0, 0]).hex() == (1.0).hex()
    assert f.__getnewargs__() == (2,)


@pytest.mark.parametrize("kwargs, message", [
    (dict(input_dim=0, num_trees=0, window_size=0, max_leaf_samples=0), "input_dim must be > 0"),
    (dict(input_dim=1, num_trees=0, window_size=0), "num_trees must be > 0"),
    (dict(input_dim=1, window_size=0, max_leaf_samples=0), "window_size must be > 0"),
    (dict(input_dim=1, window_size=2**64 - 1, max_leaf_samples=0), "window_size is too large"),
    (dict(input_dim=1, window_size=32, max_leaf_samples=0), "max_leaf_samples must be > 0"),
    (dict(input_dim=1, window_size=32, max_leaf_samples=32), "window_size must be greater than max_leaf_samples"),
    (dict(input_dim=1, window_size=32, max_leaf_samples=33), "window_size must be greater than max_leaf_samples"),
    # Sizes that cannot be reserved fail cleanly instead of crashing.
    (dict(input_dim=4, window_size=2**62), "window_size + 1 points of input_dim values overflows usize"),
    pytest.param(dict(input_dim=1, window_size=2**42), "cannot reserve memory for window_size + 1 points",
                 marks=needs_plain_allocator),
    pytest.param(dict(input_dim=1, num_trees=2**42), "cannot reserve memory for num_trees trees",
                 marks=needs_plain_allocator),
    (dict(input_dim=1, num_trees=2**62), "cannot reserve memory for num_trees trees"),
])
def test_constructor_checks_in_order(kwargs, message):
    with pytest.raises(ValueError) as e:
        OIF(seed=1, **kwargs)
    assert str(e.value) == message


def test_seeding_and_first_state_text():
    f = OIF(2, num_trees=1, seed=0)
    f.update([3, 4])
    (rng,) = tree_rngs(0, 1)
    assert f.to_json() == (
        '{"config":{"input_dim":2,"num_trees":1,"window_size":2048,"max_leaf_samples":32},'
        '"trees":[{"root":{"height":1,"support":{"min":[3.0,4.0],"max":[3.0,4.0]},"split":null},'
        '"rng":{"s":[%d,%d,%d,%d]}}],"window":[[3.0,4.0]],"entries_seen":1}' % tuple(rng))
    g = OIF(3, num_trees=5, seed=2**64 - 1)
    assert [t["rng"]["s"] for t in state(g)["trees"]] == tree_rngs(2**64 - 1, 5)


# ------------------------------------------------------------ point checks

def test_rejected_points_leave_state_unchanged():
    f = OIF(2, window_size=8, max_leaf_samples=2, seed=3)
    for i in range(5):
        f.update([i, -i])
    before = f.to_json()
    for method in (f.update, f.score, f.update_and_score):
        with pytest.raises(ValueError) as e:
            method([1, 2, 3])
        assert str(e.value) == "dimension mismatch: expected 2, got 3"
        # The length is checked before the values.
        with pytest.raises(ValueError) as e:
            method([math.nan])
        assert str(e.value) == "dimension mismatch: expected 2, got 1"
        for bad in ([1, math.nan], [math.inf, 0], [0, -math.inf], [1e39, 0]):
            with pytest.raises(ValueError) as e:
                method(bad)
            assert str(e.value) == "point values must be finite"
    assert f.to_json() == before
    assert f.entries_seen() == 5


# -------------------------------------------------------------- the window

def test_small_window_keeps_last_points():
    f = OIF(2, window_size=4, max_leaf_samples=1, seed=11)
    points = [[i * 0.1, (i * i) % 7 - 3.5] for i in range(10)]
    for p in points:
        f.update(p)
    s = state(f)
    assert f.entries_seen() == 10 and f.is_ready()
    assert [[np.float32(v) for v in p] for p in s["window"]] == \
        [[np.float32(v) for v in p] for p in points[-4:]]
    assert [t["root"]["height"] for t in s["trees"]] == [4] * 32
    assert repr(f).endswith("max_leaf_samples=1, entries_seen=10)")


def test_same_seed_same_scores_and_update_then_score():
    stream = np.random.default_rng(5).normal(size=(300, 3)).tolist()
    a = OIF(3, num_trees=8, window_size=64, max_leaf_samples=4, seed=99)
    b = OIF(3, num_trees=8, window_size=64, max_leaf_samples=4, seed=99)
    sa = [a.update_and_score(p) for p in stream]
    sb = [b.update_and_score(p) for p in stream]
    assert sa == sb and len(set(sa)) > 10
    # update_and_score learns first: it equals update() then score().
    p = [0.3, -2.0, 1.5]
    c = copy.copy(a)
    before = a.score(p)
    assert a.update_and_score(p) == (c.update(p), c.score(p))[1]
    assert before != c.score(p)
    assert OIF(3, num_trees=8, window_size=64, max_leaf_samples=4, seed=98).score(p) != c.score(p)


# --------------------------------------------------------- splits (exact)

def test_root_split_matches_generator_order():
    """The first split of a one-tree detector, recomputed from the generator:
    the active coordinate, the split value and the synthetic points, drawn in
    order, with a degenerate coordinate taking no draw."""
    a, b = [0.0, 0.0, 7.0, 0.0], [1.0, 5.0, 7.0, 2.0]
    sides_seen = set()
    for seed in range(24):
        f = OIF(4, num_trees=1, window_size=4, max_leaf_samples=1, seed=seed)
        f.update(a)
        assert state(f)["trees"][0]["root"]["split"] is None
        f.update(b)
        tree = state(f)["trees"][0]
        root = tree["root"]

        g = Xoshiro(tree_rngs(seed, 1)[0])
        lo = [np.float32(x) for x in a]
        width = [np.float32(y) - np.float32(x) for x, y in zip(a, b)]
        active = [i for i in range(4) if width[i] > 0]
        dim = active[g.uniform_index(len(active))]
        v = g.draw(lo[dim], width[dim])
        boxes = {True: None, False: None}
        counts = {True: 0, False: 0}
        for _ in range(2):
            s = [None] * 4
            s[dim] = g.draw(lo[dim], width[dim])
            for i in range(4):
                if i != dim:
                    s[i] = g.draw(lo[i], width[i]) if width[i] != 0 else lo[i]
            side = bool(s[dim] < v)
            counts[side] += 1
            box = boxes[side]
            boxes[side] = (s[:], s[:]) if box is None else (
                [min(m, x) for m, x in zip(box[0], s)], [max(m, x) for m, x in zip(box[1], s)])

        split = root["split"]
        assert split["dimension"] == dim and np.float32(split["value"]) == v
        assert root["height"] == 2
        for side, key in ((True, "left"), (False, "right")):
            child = split[key]
            assert child["height"] == counts[side] and child["split"] is None
            if boxes[side] is None:
                # No synthetic point: the leaf's box cut at v.
                mn, mx = lo[:], [np.float32(x) for x in b]
                (mx if side else mn)[dim] = v
            else:
                mn, mx = boxes[side]
            assert [np.float32(x) for x in child["support"]["min"]] == mn
            assert [np.float32(x) for x in child["support"]["max"]] == mx
            sides_seen.add((side, boxes[side] is None))
        assert tree["rng"]["s"] == g.s
    assert sides_seen == {(True, True), (True, False), (False, True), (False, False)}


def test_identical_points_never_split():
    f = OIF(2, num_trees=3, window_size=2048, max_leaf_samples=1, seed=1)
    for _ in range(200):
        f.update([0.5, -0.5])
    for t in state(f)["trees"]:
        assert t["root"]["split"] is None and t["root"]["height"] == 200


@pytest.mark.parametrize("window_size, depth, splits", [
    (2048, 0, True), (2048, 1, True), (2048, 2, True), (2048, 3, True), (2048, 4, True), (2048, 5, True),
    (2000, 5, True),  # max_depth ~5.97: depth 5 still splits
])
def test_split_threshold_per_depth(window_size, depth, splits):
    threshold = 32 * 2**depth
    window = [[100.0]] * 1000
    f = OIF.from_json(crafted(window_size, 32, [chain(depth, threshold - 2, 1000)], window))
    f.update([100.0])
    assert at_depth(state(f)["trees"][0]["root"], depth)["split"] is None
    f.update([100.0])
    node = at_depth(state(f)["trees"][0]["root"], depth)
    assert node["height"] == threshold
    assert (node["split"] is not None) == splits
    assert node["split"]["left"]["height"] + node["split"]["right"]["height"] == threshold


@pytest.mark.parametrize("window_size", [2048, 2000])
def test_no_split_at_max_depth(window_size):
    f = OIF.from_json(crafted(window_size, 32, [chain(6, 5000, 1000)], [[100.0]] * 1000))
    before = state(f)["trees"][0]["rng"]
    for _ in range(3):
        f.update([100.0])
    tree = state(f)["trees"][0]
    assert at_depth(tree["root"], 6)["split"] is None and at_depth(tree["root"], 6)["height"] == 5003
    assert tree["rng"] == before


def test_non_finite_width_skips_the_split():
    f = OIF(2, num_trees=2, window_size=4, max_leaf_samples=1, seed=4)
    rngs = [t["rng"] for t in state(f)["trees"]]
    # Coordinate 0 spans about 6e38, beyond float range; coordinate 1 is
    # fine, but every split would draw coordinate 0 too.
    for p in ([-3e38, 0.0], [3e38, 1.0], [0.0, 0.5]):
        assert 0.0 < f.update_and_score(p) <= 1.0
    s = state(f)
    for t, rng in zip(s["trees"], rngs):
        assert t["root"]["split"] is None and t["root"]["height"] == 3
        assert t["rng"] == rng
    assert np.float32(s["trees"][0]["root"]["support"]["min"][0]) == np.float32(-3e38)
    # A leaf's box only grows, so the skip holds after the extremes leave the
    # window; the detector keeps working all the same.
    for p in ([0.1, 0.2], [0.3, 0.9], [0.7, 0.4], [0.2, 0.2]):
        assert f.update_and_score(p) == 0.5
    assert all(t["root"]["split"] is None for t in state(f)["trees"])


# ------------------------------------------------------- forget, collapse

def collapse_state(right_height):
    right = internal(right_height, [0.55], [0.95], 0, 0.75, leaf(1, [0.6], [0.6]), leaf(1, [0.8], [0.9]))
    root = internal(8, [0.1], [0.9], 0, 0.5, leaf(7, [0.1], [0.1]), right)
    return crafted(8, 1, [root], [[0.9]] + [[0.1]] * 7)


def test_collapse_when_count_drops_below_threshold():
    # Depth 1 with eta = 1: threshold 2; collapse happens at count 1.
    f = OIF.from_json(collapse_state(2))
    f.update([0.1])
    right = state(f)["trees"][0]["root"]["split"]["right"]
    assert right == leaf(1, [0.6], [0.9])  # union of the children, not the old box

    f = OIF.from_json(collapse_state(3))
    f.update([0.1])
    right = state(f)["trees"][0]["root"]["split"]["right"]
    assert right["height"] == 2 and right["split"]["right"]["height"] == 0
    assert right["split"]["left"]["height"] == 1


def test_root_reaching_zero_empties_the_tree():
    f = OIF.from_json(crafted(2, 1, [leaf(0, [1.0], [2.0])], [[1.0], [2.0]]))
    f.update([3.0])
    assert state(f)["trees"][0]["root"] is None
    assert f.score([3.0]) == 1.0


def test_forget_walk_and_saturation_on_a_live_detector():
    f = OIF(3, num_trees=4, window_size=64, max_leaf_samples=4, seed=21)
    rng = np.random.default_rng(0)
    for i in range(2000):
        f.update((rng.normal(size=3) + (5.0 if (i // 300) % 2 else 0.0)).tolist())
    s = state(f)
    assert f.entries_seen() == 2000 and len(s["window"]) == 64
    for t in s["trees"]:
        assert t["root"]["height"] == 64
    # Reloading the grown state passes every load check and continues exactly.
    g = OIF.from_json(f.to_json())
    for p in rng.normal(size=(200, 3)).tolist():
        assert f.update_and_score(p) == g.update_and_score(p)
    assert f.to_json() == g.to_json()


# ---------------------------------------------------------------- scores

def test_score_follows_split_value_to_the_right():
    root = internal(2, [0.0], [1.0], 0, 0.5, leaf(0, [0.0], [0.4]), leaf(2, [0.5], [0.5]))
    f = OIF.from_json(crafted(4, 1, [root], [[0.5], [0.5]]))
    assert f.score([0.5]) == 0.5  # right leaf: 1 + log2(2) = 2, 2^(-2/2)
    assert f.score([0.4999]) == math.exp2(-1 / 2)
    f.update([0.5])
    split = state(f)["trees"][0]["root"]["split"]
    assert split["right"]["height"] == 3 and split["left"]["height"] == 0


def test_path_length_and_normalisation():
    window = [[100.0]] * 100
    # depth 3 holding 64 = 2 eta: 3 + 1; depth 2 holding 128 = 4 eta: 2 + 2.
    f = OIF.from_json(crafted(2048, 32, [chain(3, 64, 100), chain(2, 128, 100)], window))
    assert f.num_trees() == 2
    assert f.score([100.0]) == math.exp2((-8.0 / 2) / math.log2(2048 / 32))
    assert f.score([100.0]) == pytest.approx(0.63, abs=0.005)
    # Fewer than eta points: the bare depth.
    f = OIF.from_json(crafted(2048, 32, [chain(3, 31, 100)], window))
    assert f.score([100.0]) == math.exp2(-3.0 / 6.0)
    # eta points at depth max_depth: exactly one half.
    f = OIF.from_json(crafted(2048, 32, [chain(6, 32, 100)], window))
    assert f.score([100.0]) == 0.5


# ------------------------------------------------------------ state texts

def test_round_trips_copy_and_pickle(tmp_path):
    f = OIF(2, num_trees=6, window_size=32, max_leaf_samples=2, seed=8)
    rng = np.random.default_rng(1)
    for p in rng.normal(size=(100, 2)).tolist():
        f.update(p)
    t = f.to_json()
    clones = [OIF.from_json(t), OIF.from_json(t.encode()), copy.copy(f), copy.deepcopy(f),
              pickle.loads(pickle.dumps(f))]
    path = tmp_path / "oif.json"
    f.save_json(path)
    clones.append(OIF.load_json(path))
    assert path.read_text() == t == f.__getstate__()
    stream = rng.normal(size=(100, 2)).tolist()
    expected = [copy.copy(f).update_and_score(p) for p in stream[:1]]
    scores = [f.update_and_score(p) for p in stream]
    assert scores[:1] == expected
    for c in clones:
        assert c.to_json() == t  # untouched by the source's updates
        assert [c.update_and_score(p) for p in stream] == scores
        assert c.to_json() == f.to_json()


def test_reader_forms():
    f = OIF(2, num_trees=2, window_size=8, max_leaf_samples=1, seed=6)
    for p in ([0, 0], [1, 2], [2, 1], [0.5, 0.5]):
        f.update(p)
    s = state(f)

    def as_arrays(node):
        if node is None:
            return None
        sp = node["split"]
        return [node["height"], [node["support"]["min"], node["support"]["max"]],
                None if sp is None else [sp["dimension"], sp["value"], as_arrays(sp["left"]),
                                         as_arrays(sp["right"])]]

    arrays = [list(s["config"].values()),
              [[as_arrays(t["root"]), [t["rng"]["s"]]] for t in s["trees"]], s["window"], s["entries_seen"]]
    assert OIF.from_json(text(arrays)).to_json() == f.to_json()

    # Omitted "root" and "split" read as null; unknown members are skipped.
    s2 = json.loads(f.to_json())
    s2["extra"] = [1, {"x": None}]
    s2["trees"][0]["root"]["split"]["left"].pop("split")
    s2["trees"][0]["root"]["split"]["left"]["note"] = "skip me"
    s2["trees"][1].pop("root")
    g = OIF.from_json(text(s2))
    s3 = state(g)
    assert s3["trees"][1]["root"] is None
    assert s3["trees"][0]["root"]["split"]["left"]["split"] is None

    # Without trees: loads, and every score is 0.0.
    s2["trees"] = []
    g = OIF.from_json(text(s2))
    assert g.num_trees() == 0 and g.score([1, 1]) == 0.0
    g.update([1, 1])
    assert g.update_and_score([5, 5]) == 0.0 and g.entries_seen() == 6


def deep_chain(depth):
    node = leaf(1, [0.0], [0.0])
    for _ in range(depth):
        node = internal(1, [0.0], [0.0], 0, 0.0, leaf(0, [0.0], [0.0]), node)
    return node


@pytest.mark.parametrize("hostile, fragment", [
    # A split on a coordinate the points do not have.
    (crafted(8, 1, [internal(1, [0.0], [1.0], 1, 0.5, leaf(0, [0.0], [0.0]), leaf(1, [1.0], [1.0]))], [[1.0]]),
     "split dimension 1 is out of range for input_dim 1"),
    # Supports and window points of another length.
    (crafted(8, 1, [leaf(1, [0.0, 0.0], [1.0, 1.0])], [[1.0]]), "expected input_dim 1"),
    (crafted(8, 1, [internal(1, [0.0], [1.0], 0, 0.5, leaf(0, [0.0, 1.0], [0.0, 1.0]), leaf(1, [1.0], [1.0]))],
             [[1.0]]), "support of 1 values"),
    (crafted(8, 1, [leaf(1, [0.0], [1.0, 2.0])], [[1.0]]), "support min of 1 values and max of 2 values"),
    (crafted(8, 1, [leaf(1, [0.0], [1.0])], [[1.0, 2.0]]), "window point of 2 values, expected input_dim 1"),
    (crafted(2, 1, [leaf(3, [0.0], [1.0])], [[1.0]] * 3), "window holds 3 points, more than window_size 2"),
    # A count that would make the next split draw ~1e18 synthetic points.
    (crafted(8, 1, [leaf(10**18, [0.0], [1.0])], [[1.0]]), "node heights exceed what 1 window points allow"),
    # Deeper than the reader's nesting limit.
    (crafted(8, 1, [deep_chain(70)], [[0.0]]), "recursion limit exceeded"),
    # Shape errors.
    (crafted(8, 1, [leaf(1, [0.0], [1.0])], [[1.0]]).replace('"height":1', '"height":1,"height":1'),
     "duplicate field `height`"),
    (crafted(8, 1, [[1, [[0.0], [1.0]]]], [[1.0]]), "invalid length 2, expected struct Node with 3 elements"),
    (crafted(8, 1, [leaf(1, [0.0], [1.0])], [[1.0]]).replace('"rng":{"s":[1,2,3,4]}', '"x":1'),
     "missing field `rng`"),
    (crafted(8, 1, [internal(1, [0.0], [1.0], 0, 0.5, leaf(0, [0.0], [0.0]), None)], [[1.0]]),
     "invalid type: null, expected struct Node"),
    (crafted(8, 1, [leaf(-1, [0.0], [1.0])], [[1.0]]), "expected u64"),
    (crafted(8, 1, [leaf(1, [0.0], [1.5e39])], [[1.0]]), "out of range"),
])
def test_hostile_states_are_rejected(hostile, fragment):
    with pytest.raises(ValueError) as e:
        OIF.from_json(hostile)
    assert str(e.value).startswith(PREFIX) and fragment in str(e.value)
    f = OIF(1, seed=1)
    f.update([0.25])
    before = f.to_json()
    with pytest.raises(ValueError):
        f.__setstate__(hostile)
    assert f.to_json() == before
    assert f.update_and_score([0.5]) > 0.0
