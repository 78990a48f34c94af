"""Binary state against the JSON text, side by side in one run: size ratio
and speed ratios of to_bytes / from_bytes over to_json / from_json for each
detector (validation included in both readers). Timings interleave the two
forms and keep the best of several runs, since the machine is shared.

Targets: Forest(1, shingle_size=8) after 20,000 updates, binary <= 35% of the
JSON text; FeatureSketch() after 1,000 events, <= 60%; to_bytes and
from_bytes >= 8x faster than to_json and from_json for both.

Run: PYTHONPATH=python python bench/binary_state.py
"""
import random
import time

import tarn

RUNS = 7


def best(fn):
    t = float("inf")
    for _ in range(RUNS):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def forest():
    rng = random.Random(1)
    f = tarn.Forest(1, shingle_size=8, seed=1)
    for i in range(20000):
        f.update([rng.gauss(0.0, 1.0) + (4.0 if i % 500 == 0 else 0.0)])
    return "Forest(1, shingle_size=8), 20,000 updates", f, 0.35


def sketch():
    rng = random.Random(2)
    names = [f"feature_{i}" for i in range(40)]
    s = tarn.FeatureSketch(seed=2)
    for _ in range(1000):
        s.update({k: rng.gauss(0.0, 1.0) for k in rng.sample(names, 6)})
    return "FeatureSketch(), 1,000 events", s, 0.60


def oif():
    rng = random.Random(3)
    d = tarn.OnlineIForest(4, seed=3)
    for _ in range(5000):
        d.update([rng.gauss(0.0, 1.0) for _ in range(4)])
    return "OnlineIForest(4), 5,000 points", d, None


def mstream():
    rng = random.Random(4)
    m = tarn.MStream(3, 2, seed=4)
    for t in range(5000):
        m.update([rng.random() for _ in range(3)], [rng.randrange(50), rng.randrange(5)], 1 + t // 10)
    return "MStream(3, 2), 5,000 records", m, None


def main():
    print(f"{'detector':44} {'JSON MB':>8} {'binary MB':>9} {'size':>6} {'write x':>8} {'read x':>7}")
    failed = []
    for make in (forest, sketch, oif, mstream):
        name, d, size_target = make()
        cls = type(d)
        text, data = d.to_json(), d.to_bytes()
        ratio = len(data) / len(text)
        to_json, to_bytes = best(d.to_json), best(d.to_bytes)
        from_json, from_bytes = best(lambda: cls.from_json(text)), best(lambda: cls.from_bytes(data))
        write_x, read_x = to_json / to_bytes, from_json / from_bytes
        print(f"{name:44} {len(text) / 1e6:8.2f} {len(data) / 1e6:9.3f} {ratio:6.1%} {write_x:7.1f}x {read_x:6.1f}x")
        if size_target is not None:
            if ratio > size_target:
                failed.append(f"{name}: size {ratio:.1%} > {size_target:.0%}")
            if write_x < 8 or read_x < 8:
                failed.append(f"{name}: speed {write_x:.1f}x / {read_x:.1f}x < 8x")
    print("targets: " + ("all met" if not failed else "MISSED: " + "; ".join(failed)))


if __name__ == "__main__":
    main()
