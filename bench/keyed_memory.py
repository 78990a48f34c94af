"""Memory per key: what one detector costs in a DetectorPool.

For each configuration, builds K detectors, warms each with enough records to
fill its samples or window, and prints the growth of the process's resident
memory per detector, its binary state (to_bytes, what the pool's store and
Spark's state hold per key) and its JSON text. Then the cost of the pool
itself: update_and_score through a pool against the same calls on the
detectors directly, side by side in one run.

Run: PYTHONPATH=python python bench/keyed_memory.py
"""
import random
import subprocess
import sys
import time

import tarn
from tarn.keyed import DetectorPool, key_seed

PAGE = 4096


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def warm(detector, n, rng):
    if isinstance(detector, tarn.MStream):
        for i in range(n):
            detector.update([rng.random()], [rng.randrange(50)], 1 + i // 10)
    elif isinstance(detector, tarn.FeatureSketch):
        for _ in range(n):
            detector.update({f"f{rng.randrange(200)}": rng.random(), "bytes": rng.random() * 100})
    else:
        for _ in range(n):
            detector.update([rng.random()])


CONFIGS = [
    ("Forest(1)", lambda s: tarn.Forest(1, seed=s), 20, 3000),
    ("Forest(1, shingle_size=4, num_trees=10, capacity=64)",
     lambda s: tarn.Forest(1, shingle_size=4, num_trees=10, capacity=64, seed=s), 500, 1000),
    ("OnlineIForest(1)", lambda s: tarn.OnlineIForest(1, seed=s), 100, 3000),
    ("MStream(1, 1)", lambda s: tarn.MStream(1, 1, seed=s), 2000, 500),
    ("FeatureSketch()", lambda s: tarn.FeatureSketch(seed=s), 5, 1000),
    ("MStream(1, 1, num_buckets=128)", lambda s: tarn.MStream(1, 1, num_buckets=128, seed=s), 2000, 500),
    ("FeatureSketch(chains_per_ensemble=4, sketch_buckets=256)",
     lambda s: tarn.FeatureSketch(chains_per_ensemble=4, sketch_buckets=256, seed=s), 50, 1000),
]


def measure(index):
    """One configuration, in a process of its own so no freed memory is reused."""
    name, make, count, records = CONFIGS[index]
    rng = random.Random(1)
    before = resident_bytes()
    detectors = [make(i) for i in range(count)]
    for d in detectors:
        warm(d, records, rng)
    per_key = (resident_bytes() - before) / count
    binary = len(detectors[0].to_bytes()) if hasattr(detectors[0], "to_bytes") else float("nan")
    text = len(detectors[0].to_json())
    print(f"{name:<58} {per_key / 1e6:>8.3f} MB {binary / 1e6:>7.3f} MB {text / 1e6:>7.3f} MB", flush=True)


def memory_table():
    print(f"{'detector, warmed':<58} {'memory/key':>11} {'to_bytes':>10} {'JSON':>10}", flush=True)
    for index in range(len(CONFIGS)):
        subprocess.run([sys.executable, __file__, "--one", str(index)], check=True)


def pool_overhead(keys=50, calls=10000, runs=3):
    def make(key):
        return tarn.Forest(1, shingle_size=4, num_trees=10, capacity=64, seed=key_seed(key))

    rng = random.Random(2)
    steps = [(f"k{rng.randrange(keys)}", [rng.random()]) for _ in range(calls)]
    best_direct = best_pool = best_evicting = float("inf")
    for _ in range(runs):
        detectors = {}
        t0 = time.perf_counter()
        for key, point in steps:
            d = detectors.get(key)
            if d is None:
                d = detectors[key] = make(key)
            d.update_and_score(point)
        best_direct = min(best_direct, time.perf_counter() - t0)
        pool = DetectorPool(make, max_resident=keys)
        t0 = time.perf_counter()
        for key, point in steps:
            pool.update_and_score(key, point)
        best_pool = min(best_pool, time.perf_counter() - t0)
        pool.close()
        pool = DetectorPool(make, max_resident=keys // 5)
        t0 = time.perf_counter()
        for key, point in steps:
            pool.update_and_score(key, point)
        best_evicting = min(best_evicting, time.perf_counter() - t0)
        pool.close()
    print(f"\nupdate_and_score over {keys} keys, {calls} calls (small Forest), best of {runs}:")
    print(f"  dict of detectors {best_direct / calls * 1e6:6.2f} us/call")
    print(f"  DetectorPool      {best_pool / calls * 1e6:6.2f} us/call  ({best_pool / best_direct:.2f}x)")
    print(f"  DetectorPool with max_resident={keys // 5} (most calls reload a key)"
          f" {best_evicting / calls * 1e6:6.2f} us/call  ({best_evicting / best_direct:.2f}x)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--one"]:
        measure(int(sys.argv[2]))
        sys.exit()
    memory_table()
    pool_overhead()
