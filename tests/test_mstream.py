"""MStream through the public API.

Exact values come from an independent Python model of the detector built
below (generator, normal ziggurat, hashes, sketches and the chi-squared
score), checked against the detector's own JSON state and scores.
"""
import copy
import json
import math
import pickle
import random
import struct

import pytest

from tarn import MStream

from reference_rng import M64, Xoshiro, rotl
EPS = 2.220446049250313e-16
DETAIL_KEYS = ["total", "record", "numeric_features", "categorical_features"]


# ---------------------------------------------------------------- model


def Gen(seed):
    """xoshiro256++ seeded by expand_seed (SplitMix64)."""
    return Xoshiro.seeded(seed)


def bits_to_double(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


ZR, ZV = 3.654152885361009, 0.00492867323399


def _phi(x):
    return math.exp(-(x * x) / 2)


def _tables():
    x = [0.0] * 257
    x[0] = ZV / _phi(ZR)
    x[1] = ZR
    for i in range(1, 255):
        x[i + 1] = math.sqrt(-2 * math.log(ZV / x[i] + _phi(x[i])))
    f = [_phi(v) for v in x]
    f[3] = 0.004037972593371872
    f[94] = 0.2064054063986793
    return x, f


ZX, ZF = _tables()


def standard_normal(g):
    while True:
        w = g.next_word()
        i = w & 0xFF
        u = bits_to_double((w >> 12) | 0x4000000000000000) - 3.0
        x = u * ZX[i]
        if abs(x) < ZX[i + 1]:
            return x
        if i == 0:
            while True:
                x1 = math.log(bits_to_double((g.next_word() >> 12) | 0x3FF0000000000000) - 0.9999999999999999) / ZR
                y1 = math.log(bits_to_double((g.next_word() >> 12) | 0x3FF0000000000000) - 0.9999999999999999)
                if not (x1 * x1 > -2.0 * y1):
                    break
            return x1 - ZR if u < 0 else ZR - x1
        v = g.next_unit()
        if ZF[i + 1] + (ZF[i] - ZF[i + 1]) * v < math.exp((x * x) * -0.5):
            return x


def planes_for(b):
    return (b - 1).bit_length()


def fm(a, b):
    p = a * b
    return (p & M64) ^ (p >> 64)


def seeded_hash(x, k0, k1):
    buf = fm(x ^ k1 ^ 0xBE5466CF34E90C6C, 0x5851F42D4C957F2D)
    return rotl(fm(buf, k0 ^ 0x452821E638D01377), buf % 64)


def model_construction(n, c, r, b, seed):
    """(planes, coeffs, [(hash_a, hash_b)] per categorical feature)."""
    g = Gen(seed)
    planes = [standard_normal(g) for _ in range(r * planes_for(b) * n)]
    coeffs = []
    for _ in range(r):
        for i in range(c):
            w = g.next_word()
            coeffs.append(w % (b - 1) + 1 if i + 1 < c else w % b)
    cats = []
    for _ in range(c):
        ha = [g.next_word() % (b - 1) + 1 for _ in range(r)]
        hb = [g.next_word() % b for _ in range(r)]
        cats.append((ha, hb))
    return planes, coeffs, cats


def plane_dot(w, y):
    n = len(y)
    if n < 8:
        d = 0.0
        for k in range(n):
            d += w[k] * y[k]
        return d
    q = [0.0] * 8
    for m in range(n // 8):
        for j in range(8):
            q[j] += w[8 * m + j] * y[8 * m + j]
    d = (((0.0 + (q[0] + q[4])) + (q[1] + q[5])) + (q[2] + q[6])) + (q[3] + q[7])
    for k in range(8 * (n // 8), n):
        d += w[k] * y[k]
    return d


def record_bucket(sk, y, z, row):
    b, n, c = sk["num_buckets"], sk["numeric_dim"], sk["categorical_dim"]
    p = planes_for(b)
    planes = sk["numeric_planes"]["data"]
    bits = 0
    if n:
        for pi in range(p):
            start = (row * p + pi) * n
            if plane_dot(planes[start : start + n], y) > 0.0:
                bits |= 1 << pi
    acc = 0
    coeffs = sk["categorical_coeffs"]["data"]
    for i in range(c):
        acc = (acc + seeded_hash(z[i] & M64, coeffs[row * c + i], row)) % b
    return (bits + acc) % b


def cat_bucket(sk, z, row):
    return seeded_hash(z & M64, sk["hash_a"]["data"][row], sk["hash_b"]["data"][row]) % sk["num_buckets"]


def num_bucket(b, v):
    return int(min(b - 1, max(0.0, math.floor(v * b))))


def chi(a, s, t):
    m = s / t
    if m <= EPS:
        return 0.0
    e = max(t - 1.0, 1.0)
    d = a - m
    return (d * d) / (e * m) + (d * d) / m


def cm_query(sk, bucket_of):
    b = sk["num_buckets"]
    cells = sk["count"]["data"]
    return min((cells[r * b + bucket_of(r)] for r in range(sk["num_rows"])), default=math.inf)


def model_score(state, numeric, categorical, ts):
    """The previewed decomposed score of a record, from a state text."""
    cfg, clock = state["config"], state["clock"]
    if clock["current_time"] is None:
        k, tick = 0, 1
    else:
        k = ts - clock["current_time"]
        tick = clock["current_tick"] + k
    f = cfg["alpha"] ** float(k)
    t = max(float(tick), 1.0)
    first = state["entries_seen"] == 0
    lows, highs = state["numeric_normalizer"]["min_numeric"], state["numeric_normalizer"]["max_numeric"]
    num_parts = []
    for i, x in enumerate(numeric):
        a = math.asinh(x)
        if first:
            v = 0.0
        else:
            lo = min(math.inf if lows[i] is None else lows[i], a)
            hi = max(-math.inf if highs[i] is None else highs[i], a)
            v = 0.0 if hi - lo <= EPS else (a - lo) / (hi - lo)
        pair = state["numeric_counts"][i]
        b = pair["current"]["num_buckets"]
        cur = pair["current"]["count"]["data"][num_bucket(b, v)]
        tot = pair["total"]["count"]["data"][num_bucket(b, v)]
        num_parts.append(chi(cur * f + 1.0, tot + 1.0, t))
    cat_parts = []
    for j, z in enumerate(categorical):
        pair = state["categorical_counts"][j]
        cur = cm_query(pair["current"], lambda r: cat_bucket(pair["current"], z, r))
        tot = cm_query(pair["total"], lambda r: cat_bucket(pair["total"], z, r))
        cat_parts.append(chi(cur * f + 1.0, tot + 1.0, t))
    rc = state["record_counts"]
    cur = cm_query(rc["current"], lambda r: record_bucket(rc["current"], numeric, categorical, r))
    tot = cm_query(rc["total"], lambda r: record_bucket(rc["total"], numeric, categorical, r))
    record = chi(cur * f + 1.0, tot + 1.0, t)
    num_sum = 0.0
    for p in num_parts:
        num_sum += p
    cat_sum = 0.0
    for p in cat_parts:
        cat_sum += p
    return {
        "total": (num_sum + record) + cat_sum,
        "record": record,
        "numeric_features": num_parts,
        "categorical_features": cat_parts,
    }


def state_of(det):
    return json.loads(det.to_json())


def random_stream(rng, n, c, count, start=1):
    ts = start
    out = []
    for _ in range(count):
        ts += rng.choice([0, 0, 0, 1, 1, 3])
        numeric = [rng.choice([rng.gauss(0, 3), rng.uniform(-1e3, 1e3), 0.0]) for _ in range(n)]
        categorical = [rng.randrange(-3, 4) for _ in range(c)]
        out.append((numeric, categorical, ts))
    return out


# ---------------------------------------------------------- construction


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0, 0), {}, "at least one of numeric_dim or categorical_dim must be > 0"),
        ((0, 0), {"num_rows": 0, "alpha": 2.0}, "at least one of numeric_dim or categorical_dim must be > 0"),
        ((1, 0), {"num_rows": 0, "num_buckets": 1}, "num_rows must be > 0"),
        ((1, 0), {"num_buckets": 1, "alpha": 0.0}, "num_buckets must be >= 2"),
        ((1, 0), {"alpha": 0.0}, "alpha must be in range (0, 1)"),
        ((1, 0), {"alpha": 1.0}, "alpha must be in range (0, 1)"),
        ((1, 0), {"alpha": math.nan}, "alpha must be in range (0, 1)"),
        ((1, 0), {"alpha": -math.inf}, "alpha must be in range (0, 1)"),
        ((1, 0), {"num_rows": 2**63, "num_buckets": 4}, "num_rows * num_buckets overflows usize"),
        ((2**62, 0), {"num_rows": 1}, "num_rows * planes * numeric_dim overflows usize"),
        ((0, 2**62), {"num_rows": 8, "num_buckets": 2}, "num_rows * categorical_dim overflows usize"),
    ],
)
def test_constructor_checks_in_order(args, kwargs, message):
    with pytest.raises(ValueError) as err:
        MStream(*args, seed=1, **kwargs)
    assert str(err.value) == message


def test_constructor_limits_and_argument_errors():
    assert "alpha=0." in repr(MStream(1, 0, alpha=5e-324, seed=1))  # a positive subnormal passes
    with pytest.raises(MemoryError):
        MStream(1, 0, num_rows=2**40, num_buckets=2**20, seed=1)  # sizes fit, memory cannot
    with pytest.raises(TypeError, match=r"^argument 'num_rows': "):
        MStream(1, 0, num_rows=2.0)
    with pytest.raises(OverflowError):
        MStream(1, 0, seed=-1)
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'numeric_dim' and 'categorical_dim'"):
        MStream()
    assert MStream(0, 1).entries_seen() == 0  # entropy seeding


@pytest.mark.parametrize("n, c, r, b, seed", [(9, 3, 3, 1025, 12345), (2, 1, 2, 2, 0), (0, 2, 1, 1024, 2**64 - 1)])
def test_construction_draws_match_model(n, c, r, b, seed):
    state = state_of(MStream(n, c, num_rows=r, num_buckets=b, seed=seed))
    planes, coeffs, cats = model_construction(n, c, r, b, seed)
    for member in ("current", "total"):
        sk = state["record_counts"][member]
        assert sk["numeric_planes"]["dim"] == [r, planes_for(b), n]
        assert [x.hex() for x in sk["numeric_planes"]["data"]] == [x.hex() for x in planes]
        assert sk["categorical_coeffs"] == {"v": 1, "dim": [r, c], "data": coeffs}
        assert sk["count"] == {"v": 1, "dim": [r, b], "data": [0.0] * (r * b)}
        for pair, (ha, hb) in zip(state["categorical_counts"], cats):
            assert pair[member]["hash_a"]["data"] == ha
            assert pair[member]["hash_b"]["data"] == hb
    assert len(state["numeric_counts"]) == n and len(state["categorical_counts"]) == c
    assert state["numeric_normalizer"] == {"min_numeric": [None] * n, "max_numeric": [None] * n}
    assert state["clock"] == {"current_time": None, "current_tick": 0}


def test_plane_count_follows_bit_width_of_buckets():
    for b, p in [(1024, 10), (1025, 11), (2, 1), (3, 2)]:
        state = state_of(MStream(1, 0, num_buckets=b, seed=3))
        assert state["record_counts"]["current"]["numeric_planes"]["dim"] == [2, p, 1]


def test_same_seed_same_state_and_scores():
    stream = random_stream(random.Random(1), 3, 2, 60)
    a, b = MStream(3, 2, seed=99), MStream(3, 2, seed=99)
    assert a.to_json() == b.to_json()
    assert [a.update_and_score(*rec) for rec in stream] == [b.update_and_score(*rec) for rec in stream]
    assert a.to_json() == b.to_json()
    assert MStream(3, 2, seed=98).to_json() != MStream(3, 2, seed=99).to_json()


# --------------------------------------------------------------- scoring


def test_first_record_scores_zero_in_every_part():
    det = MStream(2, 1, seed=5)
    preview = det.score_detailed([3.0, -1.0], [7], 50)
    assert list(preview) == DETAIL_KEYS
    assert preview == {"total": 0.0, "record": 0.0, "numeric_features": [0.0, 0.0], "categorical_features": [0.0]}
    assert det.score([3.0, -1.0], [7], 50) == 0.0
    assert det.update_and_score_detailed([3.0, -1.0], [7], 50) == preview
    assert all(type(v) is float for v in preview["numeric_features"] + preview["categorical_features"])


def test_worked_example_repeated_value_after_one_tick():
    det = MStream(1, 0, seed=11)
    for _ in range(10):
        det.update([5.0], [], 1)
    # current count 10 * 0.8 + 1 = 9, total 11, t = 2: expected 5.5 per tick
    part = 3.5**2 / 5.5 + 3.5**2 / 5.5
    expected = {"total": part + part, "record": part, "numeric_features": [part], "categorical_features": []}
    assert det.score_detailed([5.0], [], 2) == expected
    assert det.update_and_score([5.0], [], 2).hex() == (part + part).hex()
    assert abs(part + part - 8.90909) < 1e-5


def test_categories_sharing_a_hash_slot_take_turns_in_it():
    # A detector keeps each categorical value's hashes in a small table; these
    # values (0, 65, 130, ... and 2**62 + 65) all land in one slot and evict
    # one another. Each committed record must match its preview, which hashes
    # afresh, one call at a time and in a batch.
    rng = random.Random(8)
    values = [0, 65, 130, 4160, 2**62, 2**62 + 65, -1, 7]
    recs, ts = [], 1
    for _ in range(300):
        ts += rng.choice([0, 0, 1])
        recs.append(([rng.gauss(0, 1), rng.uniform(-5, 5)], [rng.choice(values) for _ in range(3)], ts))
    det = MStream(2, 3, num_rows=3, num_buckets=128, seed=5)
    batch = MStream(2, 3, num_rows=3, num_buckets=128, seed=5)
    totals = []
    for rec in recs:
        preview = det.score_detailed(*rec)
        committed = det.update_and_score_detailed(*rec)
        assert committed == preview
        totals.append(committed["total"])
    assert list(batch.update_and_score_many(*zip(*recs))) == totals
    assert batch.to_json() == det.to_json()


@pytest.mark.parametrize("n, c, r, b, count", [(10, 3, 3, 64, 300), (0, 2, 2, 1000, 80), (3, 0, 1, 1025, 80)])
def test_score_equals_following_update_and_score_and_model(n, c, r, b, count):
    rng = random.Random(2024 + n)
    det = MStream(n, c, num_rows=r, num_buckets=b, alpha=0.6, seed=7)
    twin = MStream(n, c, num_rows=r, num_buckets=b, alpha=0.6, seed=7)
    for i, rec in enumerate(random_stream(rng, n, c, count)):
        preview = det.score_detailed(*rec)
        assert det.score(*rec) == preview["total"]
        if i % 20 == 0:
            assert preview == model_score(state_of(det), *rec)
        committed = det.update_and_score_detailed(*rec)
        assert committed == preview
        assert twin.update_and_score(*rec) == committed["total"]
    assert det.to_json() == twin.to_json()  # previews changed nothing
    assert det.entries_seen() == count


def test_chi_score_within_the_first_tick():
    det = MStream(1, 0, num_buckets=4, seed=1)
    det.update([3.0], [], 1)
    state = state_of(det)
    pair = state["numeric_counts"][0]
    pair["current"]["count"]["data"][0] = 3.0
    pair["total"]["count"]["data"][0] = 1.0
    # t = 1 floors t - 1 to 1: the score is 2 (a - s)^2 / s with a = 4, s = 2
    part = MStream.from_json(json.dumps(state)).score_detailed([3.0], [], 1)["numeric_features"][0]
    assert part == 4.0
    pair["total"]["count"]["data"][0] = -1.0  # expected count s / t = 0 <= eps
    assert MStream.from_json(json.dumps(state)).score_detailed([3.0], [], 1)["numeric_features"][0] == 0.0


def test_ticks_depend_only_on_timestamp_differences():
    ticks = []
    a, b = MStream(1, 1, seed=3), MStream(1, 1, seed=3)
    for ts_a, ts_b, x in [(100, 1, 1.0), (100, 1, 2.0), (101, 2, 2.0), (105, 6, 9.0)]:
        assert a.update_and_score([x], [1], ts_a) == b.update_and_score([x], [1], ts_b)
        ticks.append(state_of(a)["clock"]["current_tick"])
        assert state_of(b)["clock"]["current_tick"] == ticks[-1]
    assert ticks == [1, 1, 2, 6]
    assert (a.current_time(), b.current_time()) == (105, 6)


def test_gap_of_k_ticks_applies_alpha_k_times_once():
    det = MStream(1, 0, num_buckets=4, alpha=0.7, seed=1)
    det.update([2.0], [], 10)
    det.update([2.0], [], 10)
    det.update([2.0], [], 13)  # three ticks later
    cur = state_of(det)["numeric_counts"][0]["current"]["count"]["data"]
    tot = state_of(det)["numeric_counts"][0]["total"]["count"]["data"]
    assert cur == [2.0 * 0.7**3.0 + 1.0, 0.0, 0.0, 0.0]
    assert tot == [3.0, 0.0, 0.0, 0.0]


def test_normalization_bounds_and_buckets():
    det = MStream(2, 0, num_buckets=8, seed=1)
    det.update([-1e6, 1e6], [], 1)
    s = state_of(det)
    assert s["numeric_normalizer"] == {
        "min_numeric": [math.asinh(-1e6), math.asinh(1e6)],
        "max_numeric": [math.asinh(-1e6), math.asinh(1e6)],
    }
    assert round(math.asinh(1e6), 2) == 14.51
    assert [p["total"]["count"]["data"] for p in s["numeric_counts"]] == [[1.0] + [0.0] * 7] * 2  # first: 0.0
    det.update([5.0, 1e6], [], 2)  # larger value -> 1.0 -> last bucket; equal value -> range <= eps -> 0.0
    counts = [p["total"]["count"]["data"] for p in state_of(det)["numeric_counts"]]
    assert counts == [[1.0] + [0.0] * 6 + [1.0], [2.0] + [0.0] * 7]


def test_record_bucket_uses_blocked_summation_order():
    n = 10
    det = MStream(n, 0, num_rows=1, num_buckets=1024, seed=21)
    sk = state_of(det)["record_counts"]["current"]
    w = sk["numeric_planes"]["data"][:n]  # plane 0 of row 0
    # Features 1 and 5 give exactly opposite products A and -A on plane 0;
    # feature 0 gives a small positive product. In index order it is
    # absorbed by A and the plane sums to 0 (bit clear); summed in blocks of
    # eight, features 0 and 4 pair up first and the sum is positive.
    y = [0.0] * n
    y[1], y[5] = 2.0**100 * w[5], -(2.0**100) * w[1]
    y[0] = math.copysign(1.0, w[0])
    naive = 0.0
    for k in range(n):
        naive += w[k] * y[k]
    assert naive == 0.0 and plane_dot(w, y) > 0.0
    det.update(y, [], 1)
    cells = state_of(det)["record_counts"]["total"]["count"]["data"]
    bucket = cells.index(1.0)
    assert bucket == record_bucket(sk, y, [], 0) and bucket & 1 == 1


def test_record_and_categorical_hash_edges():
    det = MStream(3, 1, num_rows=2, num_buckets=1000, seed=8)
    det.update([0.0, 0.0, 0.0], [-1], 1)
    s = state_of(det)
    rc = s["record_counts"]["total"]
    cat = s["categorical_counts"][0]["total"]
    for row in range(2):
        row_cells = rc["count"]["data"][row * 1000 : (row + 1) * 1000]
        # zero values: every dot product is 0.0, not > 0, so bits = 0
        want = seeded_hash(M64, rc["categorical_coeffs"]["data"][row], row) % 1000
        assert row_cells.index(1.0) == want == record_bucket(rc, [0.0] * 3, [-1], row)
        cat_cells = cat["count"]["data"][row * 1000 : (row + 1) * 1000]
        assert cat_cells.index(1.0) == seeded_hash(0xFFFFFFFFFFFFFFFF, cat["hash_a"]["data"][row], cat["hash_b"]["data"][row]) % 1000


# ------------------------------------------------ errors and atomicity


def test_record_errors_in_order():
    det = MStream(1, 1, seed=1)
    cases = [
        (([1.0, 2.0], [], 0), "dimension mismatch: expected 1, got 2"),
        (([math.nan], [1, 2], 0), "dimension mismatch: expected 1, got 2"),
        (([math.nan], [1], 0), "timestamp must be > 0"),
    ]
    for method in (det.update, det.score, det.update_and_score, det.score_detailed, det.update_and_score_detailed):
        for args, message in cases:
            with pytest.raises(ValueError) as err:
                method(*args)
            assert str(err.value) == message
    det.update([1.0], [1], 7)
    for method in (det.update, det.score, det.update_and_score_detailed):
        with pytest.raises(ValueError, match=r"^timestamps must be non-decreasing: previous=7, got=6$"):
            method([math.inf], [1], 6)
        with pytest.raises(ValueError, match=r"^numeric values must be finite$"):
            method([math.inf], [1], 9)


def test_rejected_record_changes_nothing():
    rng = random.Random(3)
    det = MStream(2, 1, seed=4)
    twin = MStream(2, 1, seed=4)
    for rec in random_stream(rng, 2, 1, 20):
        det.update(*rec)
        twin.update(*rec)
    before = det.to_json()
    last = det.current_time()
    for method in (det.update, det.update_and_score, det.update_and_score_detailed):
        for bad in ([math.nan, 1.0], [1.0, -math.inf], [1e308 * 10, 0.0]):
            with pytest.raises(ValueError, match="^numeric values must be finite$"):
                method(bad, [1], last + 5)
            with pytest.raises(ValueError):
                method([1.0], [1], last + 5)
            with pytest.raises(ValueError):
                method([1.0, 2.0], [1], 0)
    assert det.to_json() == before and det.current_time() == last
    follow = random_stream(rng, 2, 1, 10, start=last)
    assert [det.update_and_score(*r) for r in follow] == [twin.update_and_score(*r) for r in follow]


def test_current_time_and_readiness():
    det = MStream(0, 1, seed=1)
    assert det.current_time() is None and not det.is_ready() and det.entries_seen() == 0
    det.score([], [1], 3)
    assert det.current_time() is None and det.entries_seen() == 0
    det.update([], [1], 3)
    det.update([], [1], 2**64 - 1)
    assert det.current_time() == 2**64 - 1 and det.is_ready() and det.entries_seen() == 2
    with pytest.raises(OverflowError):
        det.update([], [1], 2**64)
    with pytest.raises(TypeError, match=r"^argument 'timestamp': "):
        det.update([], [1], 3.0)


# -------------------------------------------------------------- conversions


def test_record_lists_accept_sequences():
    np = pytest.importorskip("numpy")
    forms = [
        ([1.0, 2.0], [0, 1]),
        ((1.0, 2.0), (0, 1)),
        (range(1, 3), range(2)),
        (np.array([1.0, 2.0]), np.array([0, 1], dtype=np.int64)),
    ]
    scores = []
    for numeric, categorical in forms:
        det = MStream(2, 2, seed=2)
        det.update([0.0, 0.0], [0, 0], 1)
        scores.append(det.update_and_score(numeric, categorical, 2))
    assert len(set(scores)) == 1


@pytest.mark.parametrize("param", ["numeric", "categorical"])
def test_record_lists_reject_non_sequences(param):
    det = MStream(2, 2, seed=2)
    good = {"numeric": [1.0, 2.0], "categorical": [1, 2], "timestamp": 1}
    for bad, text in [
        ((x for x in [1, 2]), "'generator' object is not an instance of 'Sequence'"),
        ({1, 2}, "'set' object is not an instance of 'Sequence'"),
        ("12", "Can't extract `str` to `Vec`"),
        (None, "'None' is not an instance of 'Sequence'"),
    ]:
        with pytest.raises(TypeError) as err:
            det.update(**{**good, param: bad})
        assert str(err.value) == f"argument '{param}': {text}"
    assert det.entries_seen() == 0
    with pytest.raises(TypeError, match=r"^argument 'categorical': "):
        det.update([1.0, 2.0], [1.5, 2], 1)
    with pytest.raises(OverflowError):
        det.update([1.0, 2.0], [2**63, 2], 1)


# ------------------------------------------------------ repr and docstrings


def test_repr_prints_alpha_shortest_positional():
    det = MStream(3, 2, num_rows=4, num_buckets=16, seed=1)
    det.update([1.0, 2.0, 3.0], [1, 2], 1)
    assert repr(det) == "MStream(numeric_dim=3, categorical_dim=2, num_rows=4, num_buckets=16, alpha=0.8, entries_seen=1)"
    assert str(det) == repr(det)
    assert "alpha=0.0000001," in repr(MStream(1, 0, alpha=1e-7, seed=1))
    assert "alpha=0.30000000000000004," in repr(MStream(1, 0, alpha=0.1 + 0.2, seed=1))


def test_docstrings():
    assert MStream.__doc__.startswith("mStream detector for mixed numerical/categorical records.\n\n`timestamp`")
    assert MStream.__doc__.endswith("seed : int, optional\n    Random seed for deterministic hashing.")
    assert MStream.__text_signature__ == "(numeric_dim, categorical_dim, num_rows=2, num_buckets=1024, alpha=0.8, seed=None)"
    assert MStream.score_detailed.__doc__ == "Preview the decomposed anomaly score without mutating detector state."
    assert MStream.update_and_score.__doc__.splitlines()[-1] == "not change the scores."
    assert MStream.current_time.__doc__ == "Return the last timestamp observed by the detector."
    assert MStream.update.__text_signature__ == "($self, numeric, categorical, timestamp)"


# -------------------------------------------------------------- persistence


def test_fresh_detector_with_numeric_features_round_trips():
    det = MStream(2, 1, num_buckets=16, seed=6)
    text = det.to_json()
    assert '"numeric_normalizer":{"min_numeric":[null,null],"max_numeric":[null,null]}' in text
    restored = [MStream.from_json(text), MStream.from_json(text.encode()), pickle.loads(pickle.dumps(det)), copy.copy(det)]
    for other in restored:
        assert other.to_json() == text
    stream = random_stream(random.Random(8), 2, 1, 40)
    expected = [det.update_and_score_detailed(*r) for r in stream]
    assert expected[0]["total"] == 0.0
    for other in restored:
        assert [other.update_and_score_detailed(*r) for r in stream] == expected
        assert other.to_json() == det.to_json()


def test_state_round_trip_continues_bit_identically():
    rng = random.Random(12)
    det = MStream(9, 2, num_rows=3, num_buckets=128, alpha=0.55, seed=31)
    stream = random_stream(rng, 9, 2, 120)
    for r in stream[:60]:
        det.update(*r)
    text = det.to_json()
    loaded = MStream.from_json(text)
    assert loaded.to_json() == text and repr(loaded) == repr(det)
    deep = copy.deepcopy(det, {})
    pickled = pickle.loads(pickle.dumps(det, protocol=2))
    tail = stream[60:]
    want = [det.update_and_score(*r) for r in tail]
    for other in (loaded, deep, pickled):
        assert [other.update_and_score(*r) for r in tail] == want
    assert deep.entries_seen() == det.entries_seen() == 120


def test_reader_forms_of_the_clock():
    det = MStream(1, 0, seed=2)
    state = state_of(det)
    del state["clock"]["current_time"]
    assert MStream.from_json(json.dumps(state)).current_time() is None
    det.update([1.0], [], 40)
    state = state_of(det)
    state["clock"] = [40, 1]
    state["config"] = list(state["config"].values())
    other = MStream.from_json(json.dumps(state))
    assert other.current_time() == 40 and other.to_json() == det.to_json()
    for clock, message in [
        ([40], "invalid length 1, expected struct StreamClock with 2 elements"),
        ({"current_time": 40}, "missing field `current_tick`"),
        ('{"current_tick":1,"current_tick":1}', "duplicate field `current_tick`"),
        (5, "invalid type: integer `5`, expected struct StreamClock"),
    ]:
        state["clock"] = clock
        text = json.dumps(state)
        if isinstance(clock, str):
            text = text.replace(json.dumps(clock), clock)
        with pytest.raises(ValueError) as err:
            MStream.from_json(text)
        assert str(err.value).startswith("invalid MStream JSON: " + message + " at line 1 column ")


def _edit(state, path, value):
    node = state
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = value


HOSTILE = [
    ("num_buckets below two", [(("config", "num_buckets"), 1)]),
    ("config rows differ from the sketches", [(("config", "num_rows"), 3)]),
    ("config dims differ from the sketches", [(("config", "numeric_dim"), 3)]),
    ("record count shape swapped", [(("record_counts", "total", "count", "dim"), [4, 2])]),
    (
        "pair members of different sizes",
        [
            (("record_counts", "total", "num_buckets"), 8),
            (("record_counts", "total", "count"), {"v": 1, "dim": [2, 8], "data": [0.0] * 16}),
            (("record_counts", "total", "numeric_planes"), {"v": 1, "dim": [2, 3, 2], "data": [0.5] * 12}),
        ],
    ),
    ("planes of the wrong shape", [(("record_counts", "current", "numeric_planes"), {"v": 1, "dim": [2, 1, 2], "data": [0.5] * 4})]),
    ("coefficients short of the rows", [(("record_counts", "current", "categorical_coeffs"), {"v": 1, "dim": [1, 1], "data": [1]})]),
    ("numeric sketch short of buckets", [(("numeric_counts", 1, "current", "count"), {"v": 1, "dim": [3], "data": [0.0] * 3})]),
    ("numeric sketch buckets and counts agree but not with config", [
        (("numeric_counts", 0, "total", "num_buckets"), 3),
        (("numeric_counts", 0, "total", "count"), {"v": 1, "dim": [3], "data": [0.0] * 3}),
    ]),
    ("hash seeds short of the rows", [(("categorical_counts", 0, "current", "hash_a"), {"v": 1, "dim": [1], "data": [1]})]),
    ("categorical rows differ", [
        (("categorical_counts", 0, "total", "num_rows"), 1),
        (("categorical_counts", 0, "total", "hash_a"), {"v": 1, "dim": [1], "data": [1]}),
        (("categorical_counts", 0, "total", "hash_b"), {"v": 1, "dim": [1], "data": [1]}),
        (("categorical_counts", 0, "total", "count"), {"v": 1, "dim": [1, 4], "data": [0.0] * 4}),
    ]),
    ("too few numeric sketches", [(("numeric_counts",), [])]),
    ("too many categorical sketches", [(("categorical_counts",), "DUP")]),
    ("normalizer shorter than numeric_dim", [(("numeric_normalizer", "max_numeric"), [1.0])]),
    ("null count", [(("numeric_counts", 0, "current", "count", "data", 0), None)]),
    ("null alpha", [(("config", "alpha"), None)]),
    ("null tick", [(("clock", "current_tick"), None)]),
]


@pytest.mark.parametrize("edits", [e for _, e in HOSTILE], ids=[n for n, _ in HOSTILE])
def test_inconsistent_states_are_refused(edits):
    det = MStream(2, 1, num_rows=2, num_buckets=4, seed=3)
    det.update([1.0, 2.0], [5], 1)
    state = state_of(det)
    for path, value in edits:
        if value == "DUP":
            value = state["categorical_counts"] * 2
        _edit(state, path, value)
    with pytest.raises(ValueError) as err:
        MStream.from_json(json.dumps(state))
    assert str(err.value).startswith("invalid MStream JSON: ")
    before = det.to_json()
    with pytest.raises(ValueError):
        det.__setstate__(json.dumps(state))
    assert det.to_json() == before
    det.update([1.0, 2.0], [5], 2)  # still usable


def test_loaded_state_with_null_bounds_only_where_written():
    det = MStream(1, 0, seed=3)
    det.update([2.0], [], 1)
    state = state_of(det)
    state["numeric_normalizer"] = {"min_numeric": [None], "max_numeric": [None]}
    other = MStream.from_json(json.dumps(state))
    # +inf / -inf bounds: the next value sets both, so it scales to 0.0
    assert other.score_detailed([7.0], [], 2) == model_score(state, [7.0], [], 2)
    assert state_of(other) == state
    other.update([7.0], [], 2)
    assert state_of(other)["numeric_normalizer"] == {"min_numeric": [math.asinh(7.0)], "max_numeric": [math.asinh(7.0)]}


def test_files_and_pickle_arguments(tmp_path):
    det = MStream(2, 3, num_rows=1, num_buckets=8, alpha=0.25, seed=4)
    det.update([1.0, -1.0], [1, 2, 3], 9)
    assert det.__getnewargs__() == (2, 3)
    path = tmp_path / "state.json"
    det.save_json(path)
    assert path.read_text() == det.to_json()
    loaded = MStream.load_json(str(path))
    assert loaded.to_json() == det.to_json() and loaded.current_time() == 9
    assert MStream.from_json.__doc__ == "Deserialize detector state from a JSON string previously written by `to_json()`."
    assert MStream.to_json.__doc__ == "Serialize the detector state to JSON."


def test_loaded_pairs_that_hash_differently_count_with_each_sketchs_own_seeds():
    # A state may carry other seeds or planes in `total` than in `current`:
    # each sketch keeps hashing with its own, in previews and updates.
    rng = random.Random(5)
    det = MStream(3, 2, num_rows=2, num_buckets=64, seed=9)
    stream = random_stream(rng, 3, 2, 60)
    for rec in stream[:30]:
        det.update(*rec)
    state = state_of(det)
    state["record_counts"]["total"]["numeric_planes"]["data"][0] *= -1.0
    state["record_counts"]["total"]["categorical_coeffs"]["data"][0] += 5
    state["categorical_counts"][1]["total"]["hash_a"]["data"][1] += 1
    det = MStream.from_json(json.dumps(state))
    for rec in stream[30:]:
        preview = det.score_detailed(*rec)
        assert preview == model_score(state_of(det), *rec)
        assert det.update_and_score_detailed(*rec) == preview


@pytest.mark.parametrize("b", [64, 1000])
@pytest.mark.parametrize("path", ["automatic", "avx2", "portable"])
def test_values_at_bucket_edges_count_as_the_exact_scaling_says(path, b):
    # Features are scaled eight at a time through an estimate of asinh that
    # settles a bucket only when it is certain. Values a few units in the last
    # place around the edges of the buckets (one at zero, and all of them tiny
    # for tiny bounds, where the estimate is least precise relative to the
    # value) must land where math.asinh puts them, in every vector width,
    # record by record and in batches.
    from tarn import _scale_paths

    if path != "automatic" and path not in _scale_paths.available():
        pytest.skip(f"this processor has no {path} path")
    for scale in (50.0, 1e-12):
        _check_bucket_edges(path, b, scale)


def _check_bucket_edges(path, b, scale):
    from tarn import _scale_paths

    dim = 9
    rng = random.Random(11)
    det = MStream(dim, 0, num_rows=1, num_buckets=b, seed=3)
    det.update([-scale] * dim, [], 1)
    det.update([scale] * dim, [], 1)
    twin = MStream.from_json(det.to_json())
    lo, hi = math.asinh(-scale), math.asinh(scale)
    edges = [math.sinh(lo + k * (hi - lo) / b) for k in range(1, b)]
    edges += [0.0, 5e-324, 2.0**-60, 2.0**-40, 2.0**-20, 2.0**-8, 2.0**-7]
    edges += [-x for x in edges[-7:]]
    records, scores = [], []
    with _scale_paths.forced(path):
        for ts in range(2, 120):
            rec = []
            for _ in range(dim):
                x = rng.choice(edges)
                for _ in range(rng.randrange(-3, 4) % 4):
                    x = math.nextafter(x, math.inf if rng.random() < 0.5 else -math.inf)
                rec.append(x)
            preview = det.score_detailed(rec, [], ts)
            assert preview == model_score(state_of(det), rec, [], ts)
            assert det.update_and_score_detailed(rec, [], ts) == preview
            records.append(rec)
            scores.append(preview["total"])
        assert list(twin.update_and_score_many(records, [[]] * len(records), range(2, 120))) == scores
    assert twin.to_json() == det.to_json()
