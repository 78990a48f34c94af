"""Forest queries: displacement score, density, attribution, near neighbours,
imputation and extrapolation. Exact values from small hand-checked forests,
bit-exact comparisons against a Python model on random forests, argument
checks in their order, and queries that must change nothing."""

import math
import random
import struct
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import tarn
import reference_forest_queries as ref

LOG2_3 = math.log2(3.0)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def one_tree(input_dim, points, **kw):
    """One tree that keeps every point it is given (up to capacity)."""
    kw.setdefault("capacity", 16)
    f = tarn.Forest(input_dim, num_trees=1, initial_accept_fraction=1.0, seed=kw.pop("seed", 5), **kw)
    for p in points:
        f.update(p)
    return f


def random_forest(dim=3, n=400, seed=11, **kw):
    rng = random.Random(seed)
    f = tarn.Forest(dim, num_trees=kw.pop("num_trees", 9), capacity=kw.pop("capacity", 48), seed=seed, **kw)
    for i in range(n):
        f.update([rng.gauss(0.0, 1.0) + (4.0 if i % 97 == 0 else 0.0) for _ in range(dim)])
    return f


# ------------------------------------------------------------ empty forests

def test_forest_without_samples():
    f = tarn.Forest(2, shingle_size=3, seed=1)
    for q in ([0.5, -1.0], [1, 2, 3, 4, 5, 6]):
        for value in (f.displacement_score(q), f.density(q)):
            assert value.hex() == "0x0.0p+0"  # +0.0, not -0.0
        att = f.attribution(q)
        assert att == [{"below": 0.0, "above": 0.0}] * 6
        assert [list(d) for d in att] == [["below", "above"]] * 6
        assert f.near_neighbors(q, top_k=5, percentile=0) == []
    with pytest.raises(RuntimeError) as e:
        f.impute([0.0] * 6, [1])
    assert str(e.value) == "forest not ready: insufficient data"
    with pytest.raises(RuntimeError) as e:
        f.extrapolate(2)
    assert str(e.value) == "forest not ready: insufficient data"
    # Observations that only fill the shingle leave the trees empty.
    f.update([1.0, 2.0])
    f.update([3.0, 4.0])
    assert f.density([0.0, 0.0]) == 0.0 and f.near_neighbors([0.0, 0.0]) == []


# ---------------------------------------------------------- exact examples

def test_single_point_tree():
    y = [1.5, -2.0]
    f = one_tree(2, [y])
    assert f.displacement_score(y) == 0.125
    assert f.displacement_score([1.5, -1.0]) == 0.5
    assert f.density(y) == 1.0
    assert f.density([0.0, 0.0]) == 0.0
    q = [0.1, 0.2]
    (nn,) = f.near_neighbors(q)
    assert list(nn) == ["score", "point", "distance"]
    assert nn["point"] == y and nn["score"] == 1.0
    assert nn["distance"] == abs(f32(f32(0.1) - 1.5)) + abs(f32(f32(0.2) + 2.0))
    # The same point twice: one leaf of mass 2.
    f.update(y)
    assert f.displacement_score(y) == (1 - 2 / 4) * (1 / 3) / 3
    assert f.density(y) == 2.0
    assert f.near_neighbors(q)[0]["score"] == LOG2_3


def test_two_point_tree():
    f = one_tree(2, [[0, 0], [10, 0]], capacity=2)
    assert f.attribution([20, 0]) == [{"below": 0.5 * LOG2_3, "above": 0.0}, {"below": 0.0, "above": 0.0}]
    # Left of the cut books "above"; p = 5 / 15.
    assert f.attribution([-5, 0]) == [{"below": 0.0, "above": ((1.0 * (5.0 / 15.0)) * 1.0) * LOG2_3},
                                      {"below": 0.0, "above": 0.0}]
    # Outside on coordinate 1 only: booked on the cut coordinate 0.
    att = f.attribution([10, 5])
    assert att[1] == {"below": 0.0, "above": 0.0} and att[0]["below"] == (5.0 / 15.0) * LOG2_3
    assert f.attribution([5, 0]) == [{"below": 0.0, "above": 0.0}] * 2
    # Leaf [10, 0] of mass 1, root blended with p = 0.5.
    assert f.displacement_score([20, 0]) == (0.5 * 1 + 0.5 * 2) / 3
    assert f.density([20, 0]) == 1.0
    assert f.displacement_score([10, 0]) == 0.75 * 0.5 / 3
    assert f.density([10, 0]) == 1.0
    # p = 0.5 at the root: only the near side.
    assert f.near_neighbors([20, 0]) == [{"score": LOG2_3 * 0.5, "point": [10.0, 0.0], "distance": 10.0}]
    # p = 0.75: both sides, sorted by distance, cut to top_k.
    both = f.near_neighbors([40, 0], percentile=100)
    assert [(n["point"], n["distance"]) for n in both] == [([10.0, 0.0], 30.0), ([0.0, 0.0], 40.0)]
    assert f.near_neighbors([40, 0], top_k=1) == both[:1]
    assert f.near_neighbors([40, 0], top_k=0) == []


def test_percentile_threshold_below_the_root():
    # 0 | (1 | 100) whatever the cut values: the inner node's box [1, 100]
    # separates 200 with p = 100 / 199.
    f = one_tree(1, [[0.0], [1.0], [100.0]])
    found = f.near_neighbors([200.0], percentile=50)
    assert [(n["point"], n["distance"], n["score"]) for n in found] == [
        ([100.0], 100.0, 2.0 * (1.0 / 3.0)), ([1.0], 199.0, 2.0 * (1.0 / 3.0))]
    assert f.near_neighbors([200.0], percentile=51) == []
    # Lower percentiles never drop a branch that higher ones keep.
    assert f.near_neighbors([200.0], percentile=0) == found


def test_neighbours_merge_by_slot_over_trees():
    f = tarn.Forest(1, num_trees=3, capacity=4, initial_accept_fraction=1.0, seed=2)
    f.update([7.0])
    # All three trees hold the one stored point: one item, scores summed / T.
    assert f.near_neighbors([0.0]) == [{"score": 1.0, "point": [7.0], "distance": 7.0}]


def test_infinite_distance_is_reported_as_such():
    f = one_tree(1, [[1.0]])
    (nn,) = f.near_neighbors([math.inf])
    assert nn["distance"] == math.inf
    (nn,) = f.near_neighbors([math.nan])
    assert math.isnan(nn["distance"])


def test_impute_nearest_and_ties():
    # Points differ only in coordinate 1, so every cut is on the missing
    # coordinate and the search sees every leaf; all tie on coordinate 0 and
    # the first found (leftmost, smallest) wins.
    f = one_tree(2, [[0.0, 20.0], [0.0, 0.0], [0.0, 10.0]])
    assert f.impute([0.0, 99.0], [1]) == [0.0, 0.0]
    # Coordinate 0 decides among the leaves when it differs.
    g = one_tree(2, [[0.0, 0.0], [2**-20, 10.0], [2**-19, 20.0]], seed=9)
    assert g.impute([2**-19, -1.0], [1]) == [2**-19, 20.0]
    assert g.impute([-0.1, -1.0], [1, 1]) == [f32(-0.1), 0.0]
    # Everything missing: the caller's values are ignored.
    assert g.impute([5.0, 5.0], [0, 1]) == [0.0, 0.0]


def test_median_of_two_trees():
    for seed in range(100):
        f = tarn.Forest(2, num_trees=2, capacity=1, initial_accept_fraction=1.0, seed=seed)
        f.update([0.0, 1.0])
        f.update([0.0, 2.0])
        if len(f.near_neighbors([0.0, 50.0], percentile=0)) == 2:
            break
    else:
        pytest.fail("no seed left the two trees with different points")
    assert f.impute([0.0, 0.0], [1]) == [0.0, 1.5]


def test_extrapolate_walks_back_from_the_newest_observation():
    f = one_tree(1, [[1.0], [2.0], [3.0]], shingle_size=2)
    assert f.extrapolate(0) == []
    assert f.extrapolate(1) == [3.0]
    assert f.extrapolate(2) == [3.0, 2.0]


# -------------------------------------------------- arguments and failures

def test_near_neighbor_arguments():
    f = one_tree(2, [[1.0, 2.0]])
    with pytest.raises(ValueError) as e:
        f.near_neighbors([1.0, 2.0, 3.0], percentile=101)  # checked before the length
    assert str(e.value) == "percentile must be in [0, 100]"
    assert len(f.near_neighbors([0.0, 0.0], 1, 100)) == 1
    with pytest.raises(ValueError) as e:
        f.near_neighbors([1.0])
    assert str(e.value) == "dimension mismatch: expected 2, got 1"
    with pytest.raises(OverflowError):
        f.near_neighbors([0.0, 0.0], top_k=-1)
    with pytest.raises(TypeError) as e:
        f.near_neighbors([0.0, 0.0], percentile=50.0)
    assert str(e.value).startswith("argument 'percentile': ")
    for method in (f.displacement_score, f.density, f.attribution):
        with pytest.raises(ValueError) as e:
            method([1.0, 2.0, 3.0])
        assert str(e.value) == "dimension mismatch: expected 2, got 3"


def test_impute_checks_in_order():
    f = tarn.Forest(2, shingle_size=2, seed=3)  # no samples yet
    with pytest.raises(ValueError) as e:
        f.impute([1.0], [])
    assert str(e.value) == "missing list is empty"
    # Under internal shingling a base observation is not completed from the buffer.
    with pytest.raises(ValueError) as e:
        f.impute([1.0, 2.0], [9])
    assert str(e.value) == "dimension mismatch: expected 4, got 2"
    with pytest.raises(RuntimeError) as e:
        f.impute([0.0] * 4, [0, 4, 1])
    assert str(e.value) == "index out of bounds: 4"
    with pytest.raises(RuntimeError) as e:
        f.impute([0.0] * 4, [3])
    assert str(e.value) == "forest not ready: insufficient data"
    with pytest.raises(TypeError) as e:
        f.impute([0.0] * 4, "01")
    assert str(e.value) == "argument 'missing': Can't extract `str` to `Vec`"
    with pytest.raises(OverflowError):
        f.impute([0.0] * 4, [-1])
    with pytest.raises(TypeError) as e:
        f.impute([0.0] * 4)
    assert str(e.value) == "Forest.impute() missing 1 required positional argument: 'missing'"


def test_extrapolate_preconditions():
    cases = [
        (tarn.Forest(1, shingle_size=1, internal_shingling=False), 0,
         "extrapolation requires internal_shingling = true"),
        (tarn.Forest(1, shingle_size=4, internal_shingling=False), 1,
         "extrapolation requires internal_shingling = true"),
        (tarn.Forest(2, shingle_size=1), 0, "extrapolation requires shingle_size > 1"),
        (tarn.Forest(2, shingle_size=3), 4, "extrapolation requires look_ahead <= shingle_size (got 4, shingle_size=3)"),
    ]
    for f, look_ahead, message in cases:
        with pytest.raises(ValueError) as e:
            f.extrapolate(look_ahead)
        assert str(e.value) == message
    assert tarn.Forest(2, shingle_size=3).extrapolate(0) == []
    with pytest.raises(OverflowError):
        tarn.Forest(2, shingle_size=3).extrapolate(-1)


# -------------------------------------------- bit-exact against the model

def test_path_queries_match_the_model():
    f = random_forest()
    st = ref.State(f)
    root, _, nodes = st.trees[0]
    stored = st.point(ref.descend(nodes, root, [0.0, 0.0, 0.0])[1]["point_idx"])
    queries = [[0.0, 0.0, 0.0], [0.3, -1.2, 2.5], [6.0, -7.0, 0.5], [-30.0, 40.0, 1e5], stored]
    for q in queries:
        q = [f32(x) for x in q]
        assert f.displacement_score(q).hex() == ref.displacement(st, q).hex()
        assert f.density(q).hex() == ref.density(st, q).hex()
        assert f.attribution(q) == ref.attribution(st, q)
    # Under internal shingling a base observation completes the shingle.
    g = random_forest(dim=2, n=300, seed=4, shingle_size=3)
    gs = ref.State(g)
    q = gs.shingle[:4] + [f32(5.0), f32(-5.0)]
    assert g.displacement_score([5.0, -5.0]) == ref.displacement(gs, q)
    assert g.attribution([5.0, -5.0]) == ref.attribution(gs, q) == g.attribution(q)


def test_near_neighbors_match_the_model():
    f = random_forest()
    st = ref.State(f)
    for q in ([0.1, 0.2, 0.3], [3.0, 3.0, -3.0], [9.0, -9.0, 9.0], [50.0, 0.0, 0.0]):
        q = [f32(x) for x in q]
        for top_k, percentile in ((10, 50), (3, 0), (1000, 20), (5, 80)):
            assert f.near_neighbors(q, top_k, percentile) == ref.near_neighbors(st, q, top_k, percentile)
    far = f.near_neighbors([50.0, 0.0, 0.0], 1000, 0)
    assert len(far) > 9  # several leaves per tree, merged over trees


@pytest.mark.parametrize("centrality", [1.0, 0.9, 0.25, 0.0, -1.0])
def test_impute_matches_the_model(centrality):
    f = random_forest(dim=4, n=300, seed=7, num_trees=10)
    st = ref.State(f)
    for point, missing in (([0.1, 0.2, 0.3, 0.4], [2]), ([3.0, -1.0, 0.0, 2.0], [0, 3]),
                           ([1.0, 1.0, 1.0, 1.0], [3, 1, 3, 0]), ([0.0] * 4, [0, 1, 2, 3])):
        assert f.impute(point, missing, centrality) == ref.impute(st, point, missing, centrality)


def test_extrapolate_matches_the_model():
    f = random_forest(dim=2, n=500, seed=8, shingle_size=4)
    st = ref.State(f)
    for look_ahead in (1, 3, 4):
        assert f.extrapolate(look_ahead) == ref.extrapolate(st, look_ahead)


def one_point_trees(first, second, num_trees, wanted):
    """A forest of one-point trees, each holding `first` or `second`, whose
    per-tree values (read from its state) satisfy `wanted`."""
    for seed in range(500):
        f = tarn.Forest(1, num_trees=num_trees, capacity=1, initial_accept_fraction=1.0, seed=seed)
        f.update([first])
        f.update([second])
        st = ref.State(f)
        values = [st.point(nodes[root]["Leaf"]["point_idx"])[0] for root, _, nodes in st.trees]
        if wanted(values):
            return f
    pytest.fail("no seed gave the wanted trees")


def sign(x):
    return math.copysign(1.0, x)


def test_median_uses_the_total_order_of_floats():
    # -0.0 and 0.0 compare equal; only the total order puts every -0.0 first.
    # Tree 1 holds the minority sign, so keeping the trees' order among
    # "equal" values would pick the wrong one.
    for first, second in ((-0.0, 0.0), (0.0, -0.0)):
        f = one_point_trees(first, second, 3, lambda v: sign(v[0]) == sign(v[2]) != sign(v[1]))
        st = ref.State(f)
        majority = sign(st.point(st.trees[0][2][st.trees[0][0]]["Leaf"]["point_idx"])[0])
        assert sign(f.impute([5.0], [0])[0]) == majority


def test_median_of_huge_values_stays_finite():
    a, b = f32(3.0e38), f32(3.2e38)  # a + b overflows 32 bits
    f = one_point_trees(a, b, 2, lambda v: v[0] != v[1])
    assert f.impute([0.0], [0]) == [f32(a * 0.5 + b * 0.5)]


# -------------------------------------------------- queries change nothing

def test_queries_change_nothing():
    f = random_forest(dim=2, n=200, seed=3, shingle_size=2)
    before = f.to_json()
    first = f.impute([0.5, 0.5, 0.5, 0.5], [1, 2], 0.3)
    assert f.impute([0.5, 0.5, 0.5, 0.5], [1, 2], 0.3) == first
    f.displacement_score([1.0, 2.0])
    f.density([1.0, 2.0])
    f.attribution([1.0, 2.0])
    f.near_neighbors([1.0, 2.0], 5, 0)
    f.extrapolate(2)
    assert f.to_json() == before
    # The next update still draws what it would have drawn.
    g = tarn.Forest.from_json(before)
    f.update([0.25, 0.75])
    g.update([0.25, 0.75])
    assert f.to_json() == g.to_json()
    # The seed is the generator's next word, so an update changes the draws.
    assert f.impute([0.5, 0.5, 0.5, 0.5], [1, 2], 0.3) == ref.impute(ref.State(f), [0.5] * 4, [1, 2], 0.3)


def test_concurrent_queries_agree_with_serial_ones():
    f = random_forest(dim=3, n=400, seed=21)
    rng = random.Random(5)
    points = [[rng.gauss(0, 2) for _ in range(3)] for _ in range(40)]

    def run(p):
        return (f.displacement_score(p), f.density(p), f.attribution(p), f.near_neighbors(p, 5, 10),
                f.impute(p, [1], 0.5))

    serial = [run(p) for p in points]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(run, points)) == serial


# ------------------------------------------------------------- deep trees

def test_queries_on_a_tree_of_depth_5000():
    # A monotone stream makes every new point the sibling of the newest leaf:
    # the tree becomes a chain as deep as its sample.
    f = tarn.Forest(1, shingle_size=2, num_trees=1, capacity=10000, initial_accept_fraction=1.0, seed=1)
    for i in range(5002):
        f.update([float(i)])
    results = {}

    def queries():
        results["displacement"] = f.displacement_score([-1.0])
        results["density"] = f.density([2500.0])
        results["attribution"] = f.attribution([1e6, 1e6])
        results["neighbors"] = f.near_neighbors([1e6, 1e6], 3, 0)
        results["impute"] = f.impute([0.0, 0.0], [0, 1])
        results["extrapolate"] = f.extrapolate(2)

    # A small thread stack: a recursion over 5000 levels would not fit.
    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=queries)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert len(results) == 6
    # Everything missing: all 5001 leaves tie, the leftmost is [0, 1].
    assert results["impute"] == [0.0, 1.0]
    assert [n["point"] for n in results["neighbors"]] == [[5000.0, 5001.0], [4999.0, 5000.0], [4998.0, 4999.0]]
    assert results["extrapolate"] == [5001.0, 5000.0]
    st = ref.State(f)
    assert results["displacement"] == ref.displacement(st, [5000.0, -1.0])
    assert results["density"] == ref.density(st, [5000.0, 2500.0])
    assert results["attribution"] == ref.attribution(st, [1e6, 1e6])


def test_docstrings_and_signatures():
    F = tarn.Forest
    assert F.displacement_score.__doc__ == "Displacement-based anomaly score."
    assert F.attribution.__doc__ == (
        "Per-dimension attribution of the anomaly score.\n\nReturns a list of length `input_dim * shingle_size`.")
    assert F.density.__doc__ == "Density estimate at `point`. Higher means a denser neighbourhood."
    assert F.near_neighbors.__doc__ == (
        "Find approximate near-neighbours of `point`.\n\n"
        "`percentile` controls per-tree traversal aggressiveness in `[0, 100]`;\n"
        "lower values visit more branches and usually return more candidates.\n"
        "Returns a list sorted by distance, with duplicate points across trees\n"
        "merged by point index. At most `top_k` results are returned.")
    assert F.impute.__doc__ == (
        "Impute the `missing` positions of `point`.\n\n"
        "`point` must have the full dimensionality (`input_dim * shingle_size`).\n"
        "Values at `missing` indices are ignored; the returned list fills them\n"
        "with the median of the nearest-neighbour estimates across all trees.\n"
        "When `centrality = 1.0`, the nearest neighbour in each tree is selected\n"
        "deterministically; lower values introduce randomness.")
    assert F.extrapolate.__doc__ == (
        "Predict the next `look_ahead` base observations beyond the current shingle buffer.\n\n"
        "Requires `internal_shingling = True`, `shingle_size > 1`, and\n"
        "`look_ahead <= shingle_size`. Returns a list of length\n`look_ahead * input_dim`.")
    assert F.near_neighbors.__text_signature__ == "($self, point, top_k=10, percentile=50)"
    assert F.impute.__text_signature__ == "($self, point, missing, centrality=1.0)"
    assert F.extrapolate.__text_signature__ == "($self, look_ahead)"
    for name in ("displacement_score", "attribution", "density"):
        assert getattr(F, name).__text_signature__ == "($self, point)"
