"""Binary state: exact round trips, and hostile bytes refused cleanly."""

import math
import random
import struct

import pytest

import tarn


def forest_after_evictions():
    # capacity 8 with 300 updates: samplers evict, store slots are released
    # and reused; -0.0 next to 0.0 makes boxes the loader cannot rebuild bit
    # for bit without their patch.
    f = tarn.Forest(2, shingle_size=2, num_trees=4, capacity=8, seed=5)
    for i in range(300):
        f.update([math.sin(i) if i % 5 else -0.0, 0.0 if i % 7 else -0.0])
    return f, lambda i: ([math.cos(i), -0.0 if i % 2 else 0.0],)


def forest_whole_points():
    f = tarn.Forest(1, shingle_size=3, num_trees=3, capacity=4, internal_shingling=False, seed=6)
    for i in range(40):
        f.update([float(i % 4), -0.0, float(i % 3)])
    return f, lambda i: ([float(i), 0.5, -0.0],)


def oif_wrapped():
    # A window of 16 after 100 points has wrapped around several times.
    d = tarn.OnlineIForest(3, num_trees=4, window_size=16, max_leaf_samples=2, seed=7)
    rng = random.Random(7)
    for _ in range(100):
        d.update([rng.uniform(-1, 1) for _ in range(3)])
    return d, lambda i: ([rng.uniform(-2, 2) for _ in range(3)],)


def mstream_ticks():
    m = tarn.MStream(2, 2, num_rows=2, num_buckets=16, alpha=0.6, seed=8)
    rng = random.Random(8)
    for t in range(1, 120):
        m.update([rng.gauss(0, 1), rng.random()], [rng.randrange(4), t % 3], 1 + t // 5)
    return m, lambda i: ([rng.gauss(0, 1), 0.0], [i % 4, 1], 40 + i // 2)


def sketch_epochs():
    fs = tarn.FeatureSketch(value_projection_dims=4, presence_projection_dims=4, chains_per_ensemble=3,
                            chain_depth=4, sketch_rows=2, sketch_buckets=32, decay_half_life=8, seed=9)
    rng = random.Random(9)
    names = ["a", "b", "c", "d", "e"]
    for _ in range(80):
        fs.update({k: rng.gauss(0, 1) for k in rng.sample(names, 2)})
    return fs, lambda i: ({k: rng.gauss(0, 1) for k in rng.sample(names, 3)},)


MAKERS = [forest_after_evictions, forest_whole_points, oif_wrapped, mstream_ticks, sketch_epochs]


@pytest.mark.parametrize("make", MAKERS, ids=lambda m: m.__name__)
def test_round_trip_is_exact(make):
    d, event = make()
    text, data = d.to_json(), d.to_bytes()
    for form in (data, bytearray(data), memoryview(data)):
        loaded = type(d).from_bytes(form)
        assert loaded.to_json() == text
        assert loaded.to_bytes() == data
    loaded = type(d).from_bytes(data)
    # Both continue alike: same scores, same state after more input.
    for i in range(60):
        args = event(i)
        assert d.update_and_score(*args) == loaded.update_and_score(*args)
    assert loaded.to_json() == d.to_json()
    assert loaded.to_bytes() == d.to_bytes()
    # Fresh detectors too (empty trees, infinite bounds, unset clock).
    fresh = type(d).__new__(type(d), *d.__getnewargs__()) if hasattr(d, "__getnewargs__") else tarn.FeatureSketch()
    assert type(d).from_bytes(fresh.to_bytes()).to_json() == fresh.to_json()


def test_smaller_than_json():
    for make in MAKERS:
        d, _ = make()
        assert len(d.to_bytes()) < len(d.to_json())


def test_refused_bytes_change_nothing_and_name_both_classes():
    f, _ = forest_after_evictions()
    with pytest.raises(ValueError, match="^invalid MStream state: this is a Forest state, not an MStream state$"):
        tarn.MStream.from_bytes(f.to_bytes())


def mutations(data, rng):
    """Byte flips, edge values written over 8-byte words, cuts and splices."""
    edges = [0, 1, 2, 7, 2**31, 2**32 - 1, 2**63, 2**64 - 1]
    for _ in range(2500):
        b = bytearray(data)
        kind = rng.randrange(5)
        if kind == 0:
            for _ in range(rng.randrange(1, 4)):
                b[rng.randrange(12, len(b))] ^= 1 << rng.randrange(8)
        elif kind == 1:
            at = rng.randrange(12, len(b) - 8)
            b[at:at + 8] = struct.pack("<Q", rng.choice(edges))
        elif kind == 2:
            at = rng.randrange(12, len(b) - 4)
            b[at:at + 4] = struct.pack("<f", rng.choice([-0.0, math.nan, math.inf, -1e30, 3.5]))
        elif kind == 3:
            b = b[:rng.randrange(len(b))]
        else:
            at, n = rng.randrange(12, len(b)), rng.randrange(1, 16)
            b[at:at] = bytes(rng.randrange(256) for _ in range(n)) if rng.random() < 0.5 else b""
            del b[at:at + rng.randrange(0, 9)]
        yield bytes(b)


@pytest.mark.parametrize("make", [forest_whole_points, oif_wrapped, mstream_ticks, sketch_epochs],
                         ids=lambda m: m.__name__)
def test_random_mutations_never_crash(make):
    d, event = make()
    cls = type(d)
    prefix = f"invalid {cls.__name__} state: "
    rng = random.Random(cls.__name__)
    accepted = 0
    for data in mutations(d.to_bytes(), rng):
        try:
            loaded = cls.from_bytes(data)
        except ValueError as e:
            assert str(e).startswith(prefix), str(e)
            continue
        except MemoryError:
            continue
        accepted += 1
        # What is accepted is a state to work on: it writes and reads back
        # the same, in both forms, and takes more input.
        again = cls.from_bytes(loaded.to_bytes())
        assert again.to_bytes() == loaded.to_bytes()
        assert cls.from_json(loaded.to_json()).to_bytes() == loaded.to_bytes()
        if repr(loaded) != repr(d):
            continue  # a changed configuration may be a valid but huge one
        try:
            loaded.update_and_score(*event(accepted))
        except (ValueError, RuntimeError) as e:
            assert not isinstance(e, RuntimeError) or "runtime error" not in str(e), str(e)
    assert accepted < 2500  # the checks do refuse things
