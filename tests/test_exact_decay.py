"""Decayed counts stay bit-identical through the subnormal range.

MStream multiplies its current counts by alpha^k on every tick change; on long
streams they pass below the smallest normal double and on to zero. The
detector keeps those multiplications off the processor's slow path, which
must not change a single bit. A plain reference (numpy's elementwise
multiply, one multiplication per cell per tick change, the processor in its
default mode) follows the same records, and the sketches are compared bit
for bit while cells cross the subnormal range, with every kind of factor:
powers of two (alpha 0.5, exact halving and ties), ordinary factors, a
factor that is itself subnormal and one that underflows to zero.
"""
import hashlib
import json
import math
import random

import numpy as np
import pytest

from tarn import FeatureSketch, MStream, _scale_paths

from test_mstream import cat_bucket, model_score, num_bucket, record_bucket

TINY = 2.0**-1022  # smallest normal double


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


class ReferenceCounts:
    """Clock, normalizer and count sketches of a detector, decayed plainly."""

    def __init__(self, state):
        self.state = state  # seeds and planes are read from here, counts kept below
        self.alpha = state["config"]["alpha"]
        self.time = None
        self.current = {k: np.zeros_like(v) for k, v in self.counts(state, "current").items()}
        self.total = {k: np.zeros_like(v) for k, v in self.counts(state, "total").items()}
        n = state["config"]["numeric_dim"]
        self.lo, self.hi = [math.inf] * n, [-math.inf] * n
        self.seen = 0

    @staticmethod
    def counts(state, member):
        out = {"record": np.array(state["record_counts"][member]["count"]["data"], dtype=np.float64)}
        for i, p in enumerate(state["numeric_counts"]):
            out[f"n{i}"] = np.array(p[member]["count"]["data"], dtype=np.float64)
        for j, p in enumerate(state["categorical_counts"]):
            out[f"c{j}"] = np.array(p[member]["count"]["data"], dtype=np.float64)
        return out

    def ingest(self, numeric, categorical, ts):
        k = 0 if self.time is None else ts - self.time
        self.time = ts
        if k > 0:
            f = self.alpha ** float(k)
            for cells in self.current.values():
                cells *= f
        cells_hit = {}
        b = self.state["config"]["num_buckets"]
        for i, x in enumerate(numeric):
            a = math.asinh(x)
            if self.seen == 0:
                self.lo[i] = self.hi[i] = a
                v = 0.0
            else:
                self.lo[i], self.hi[i] = min(self.lo[i], a), max(self.hi[i], a)
                r = self.hi[i] - self.lo[i]
                v = 0.0 if r <= 2.220446049250313e-16 else (a - self.lo[i]) / r
            cells_hit[f"n{i}"] = [num_bucket(b, v)]
        rows = self.state["config"]["num_rows"]
        rec = self.state["record_counts"]["current"]
        cells_hit["record"] = [r * b + record_bucket(rec, numeric, categorical, r) for r in range(rows)]
        for j, z in enumerate(categorical):
            sk = self.state["categorical_counts"][j]["current"]
            cells_hit[f"c{j}"] = [r * b + cat_bucket(sk, z, r) for r in range(rows)]
        for name, cells in cells_hit.items():
            for c in cells:
                self.current[name][c] += 1.0
                self.total[name][c] += 1.0
        self.seen += 1

    def assert_matches(self, det):
        state = json.loads(det.to_json())
        for member, mine in (("current", self.current), ("total", self.total)):
            theirs = self.counts(state, member)
            for name in mine:
                assert np.array_equal(bits(theirs[name]), bits(mine[name])), (member, name)
        return state


def subnormal_cells(state):
    cells = ReferenceCounts.counts(state, "current")
    return sum(int(np.count_nonzero((c != 0) & (np.abs(c) < TINY))) for c in cells.values())


def test_alpha_one_half_for_two_thousand_ticks():
    # Varied records first (their cells carry sums of powers of two), then a
    # narrow stream that leaves them to decay through 2^-1022 .. 2^-1074.
    rng = random.Random(5)
    det = MStream(2, 2, num_rows=2, num_buckets=64, alpha=0.5, seed=9)
    ref = ReferenceCounts(json.loads(det.to_json()))
    ts, seen_subnormal = 1, 0
    while ts <= 2000:
        if ts < 150 or ts % 97 == 0:
            rec = ([rng.uniform(-50, 50), rng.gauss(0, 1)], [rng.randrange(40), rng.randrange(-5, 5)])
        else:
            rec = ([1.0, 0.0], [1, 1])
        det.update(*rec, ts)
        ref.ingest(*rec, ts)
        if 1000 <= ts <= 1300 or ts % 25 == 0:  # every tick while the early cells cross
            seen_subnormal = max(seen_subnormal, subnormal_cells(ref.assert_matches(det)))
        ts += rng.choice([0, 1, 1, 1, 1, 2, 7]) if ts < 1800 else 1
    assert seen_subnormal > 20  # the run did cross the subnormal range


def test_long_default_run_past_the_subnormal_range():
    # Default sizes and alpha 0.8: counts of cells hit early turn subnormal
    # from about tick 3,175 and reach zero about 160 ticks later. Then a gap
    # whose factor 0.8^3200 is itself subnormal, and one that underflows to 0.
    rng = random.Random(6)
    det = MStream(2, 1, seed=4)
    ref = ReferenceCounts(json.loads(det.to_json()))
    seen_subnormal = 0
    stream = [([rng.gauss(0, 1), rng.uniform(0, 9)], [rng.randrange(300)], t) for t in range(1, 4001)]
    stream += [([0.3, 2.0], [7], 4001 + 3200), ([0.3, 2.0], [8], 4001 + 3200 + 4000)]
    for i, rec in enumerate(stream):
        det.update(*rec)
        ref.ingest(*rec)
        if i >= 3100 and i % 20 == 0 or i >= len(stream) - 2:
            seen_subnormal = max(seen_subnormal, subnormal_cells(ref.assert_matches(det)))
    assert seen_subnormal > 50


@pytest.mark.parametrize(
    "alpha, gap",
    [(0.5, 1), (0.75, 1), (0.8, 3), (0.95, 1), (0.999999, 1), (0.3, 7), (0.5, 1030), (0.5, 1080), (0.9, 6800)],
)
def test_loaded_tiny_counts_decay_like_plain_products(alpha, gap):
    # Counts placed by hand across the awkward range: subnormal patterns with
    # odd and even significands (ties), normal values whose product turns
    # subnormal or just stays normal, negative values, zeros of both signs.
    rng = random.Random(int(alpha * 1e6) + gap)
    det = MStream(1, 0, num_rows=1, num_buckets=4096, alpha=alpha, seed=3)
    det.update([0.0], [], 10)
    state = json.loads(det.to_json())
    f = alpha ** float(gap)
    edge = TINY / f if f >= TINY else 1.0
    values = [0.0, -0.0, 5e-324, -5e-324, TINY, 1.0, 3.0]
    while len(values) < 4096:
        kind = rng.randrange(4)
        if kind == 0:
            v = np.array([rng.randrange(1, 1 << 52)], dtype=np.uint64).view(np.float64)[0]
        elif kind == 1:
            v = rng.uniform(0.5, 2.0) * min(edge, 1e300)
        elif kind == 2:
            v = rng.uniform(1.0, 2.0) * 2.0 ** rng.randrange(-1074, 60)
        else:
            v = rng.randrange(1, 64) * 5e-324
        values.append(-float(v) if rng.random() < 0.2 else float(v))
    for pair in state["numeric_counts"]:
        pair["current"]["count"]["data"] = values
    loaded = MStream.from_json(json.dumps(state))
    # The preview reads one decayed cell; the update decays all of them.
    probe = 9.0
    assert loaded.score_detailed([probe], [], 10 + gap) == model_score(state, [probe], [], 10 + gap)
    loaded.update([probe], [], 10 + gap)
    after = json.loads(loaded.to_json())["numeric_counts"][0]
    hit = [i for i, (a, b) in enumerate(zip(after["total"]["count"]["data"], state["numeric_counts"][0]["total"]["count"]["data"])) if a != b]
    want = np.array(values, dtype=np.float64) * f
    want[hit] += 1.0
    assert np.array_equal(bits(after["current"]["count"]["data"]), bits(want))


def long_run_digests():
    """Fingerprints of every score and of the final state of long default runs."""
    digests = {}
    for alpha, ticks in ((0.8, 4000), (0.95, 15000)):
        rng = random.Random(int(alpha * 100))
        det = MStream(8, 4, alpha=alpha, seed=12)
        h = hashlib.sha256()
        ts = 1
        for i in range(ticks):
            rec = ([rng.gauss(0, 1) for _ in range(8)], [rng.randrange(20) for _ in range(4)])
            if i % 500 == 499:
                h.update(repr(det.score_detailed(*rec, ts + 2)).encode())
            h.update(det.update_and_score(*rec, ts).hex().encode())
            ts += 1 if i % 1000 else 40
        h.update(det.to_json().encode())
        digests[alpha] = h.hexdigest()[:16]
    return digests


def test_long_runs_score_exactly_as_before():
    # Taken with the plain decay loop, before it was replaced.
    assert long_run_digests() == {0.8: "57ba1bed9e2ce922", 0.95: "7ee1fae8e4f10a48"}


def featuresketch_digests():
    """Fingerprints of every score and the final state of FeatureSketch runs:
    the defaults on 10-name events, and a small sketch with a short half-life
    whose rarely touched cells decay into the subnormal range."""
    digests = {}
    for name, kwargs, count in (("default", {}, 1500),
                                ("short", dict(value_projection_dims=4, presence_projection_dims=3,
                                               chains_per_ensemble=3, chain_depth=4, sketch_buckets=64,
                                               decay_half_life=3), 12000)):
        rng = random.Random(len(name))
        names = [f"f{i}" for i in range(40)]
        fs = FeatureSketch(seed=5, **kwargs)
        h = hashlib.sha256()
        for i in range(count):
            event = {n: rng.gauss(0.0, 3.0) for n in rng.sample(names, rng.randrange(0, 11))}
            if i % 3 == 0:
                event = list(event.items()) + [("f0", 1.0)]
            if i % 400 == 399:
                h.update(fs.score(event).hex().encode())
            h.update(fs.update_and_score(event).hex().encode())
        h.update(fs.to_json().encode())
        digests[name] = h.hexdigest()[:16]
    return digests


def test_featuresketch_scores_exactly_as_before():
    # Taken before the event path was sped up (decay table, division-free
    # buckets, no logarithm of a full ratio).
    assert featuresketch_digests() == {"default": "0e38b2ac47752c49", "short": "46e841049ad56230"}

PATHS = _scale_paths.available()


def adversarial_values(rng, f, n=3001):
    """Bit patterns around every edge of the decay: random patterns, subnormal
    significands of every length, small multiples of 2^-1074 (ties, fixed
    points), values whose product lands near 2^-1022, zeros, inf and NaN,
    a fifth of them negative; the length is no multiple of any block."""
    edge = TINY / abs(f) if np.isfinite(f) and abs(f) >= TINY else 1.0
    kinds = [
        rng.integers(0, 2**64, n, dtype=np.uint64, endpoint=False),
        rng.integers(0, 2**52, n, dtype=np.uint64) >> rng.integers(0, 52, n).astype(np.uint64),
        rng.integers(0, 64, n, dtype=np.uint64),
        (rng.uniform(0.25, 4.0, n) * min(edge, 1e300)).view(np.uint64),
        (rng.uniform(1.0, 2.0, n) * 2.0 ** rng.integers(-1074, 60, n)).view(np.uint64),
        np.resize(np.array([0.0, np.inf, np.nan, 5e-324, TINY, 1.0]).view(np.uint64), n),
    ]
    out = np.concatenate(kinds)
    out[rng.random(out.size) < 0.2] |= np.uint64(1 << 63)
    mixed = out.copy()
    rng.shuffle(mixed)
    # Blocks that are all normal, all zero or tiny, and mixed, in turn.
    return np.concatenate([out, mixed]).view(np.float64)


@pytest.mark.parametrize("path", PATHS)
def test_every_path_multiplies_like_the_plain_product(path):
    rng = np.random.default_rng(len(path))
    factors = [0.5, 0.8, 0.95, 0.999999, 1 - 2**-53, 1.0, 1 + 2**-52, 3.0, -0.8, 1e-300, 0.3**7, 0.5**1030,
               0.8**3200, 5e-324, TINY, TINY * (1 - 2**-52), 0.0, -0.0, np.inf, np.nan]
    for f in factors:
        values = adversarial_values(rng, f)
        got = values.copy()
        _scale_paths.scale(got, f, path)
        with np.errstate(all="ignore"):
            want = values * f
        # A NaN times a NaN factor may keep either payload.
        same = (bits(got) == bits(want)) | (np.isnan(values) & np.isnan(f))
        assert same.all(), (f, values[~same][:3])


@pytest.mark.parametrize("path", [p for p in PATHS if p != "plain"])
def test_every_path_keeps_mstream_exact(path):
    # The detector's own decay forced through each path, against the plain
    # reference and the fingerprints of long runs.
    with _scale_paths.forced(path):
        test_alpha_one_half_for_two_thousand_ticks()
        test_loaded_tiny_counts_decay_like_plain_products(0.5, 1030)
        assert long_run_digests() == {0.8: "57ba1bed9e2ce922", 0.95: "7ee1fae8e4f10a48"}
