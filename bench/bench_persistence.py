"""Forest state text throughput: MB/s of to_json and from_json for a default
Forest(input_dim=8) after 20000 updates (best of several runs, since the
machine is shared), plus save_json / load_json through a temporary file.

Run: PYTHONPATH=python python bench/bench_persistence.py
"""
import os
import random
import tempfile
import time

import tarn

DIM = 8
UPDATES = 20000
RUNS = 15


def best_seconds(fn):
    best = float("inf")
    for _ in range(RUNS):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    rng = random.Random(1)
    forest = tarn.Forest(DIM, seed=1)
    for _ in range(UPDATES):
        forest.update([rng.gauss(0.0, 1.0) for _ in range(DIM)])
    text = forest.to_json()
    mb = len(text) / 1e6

    write = best_seconds(forest.to_json)
    read = best_seconds(lambda: tarn.Forest.from_json(text))
    print(f"state of Forest(input_dim={DIM}) after {UPDATES} updates: {mb:.2f} MB")
    print(f"to_json:   {mb / write:7.0f} MB/s ({write * 1e3:.1f} ms)")
    print(f"from_json: {mb / read:7.0f} MB/s ({read * 1e3:.1f} ms)")

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "forest.json")
        save = best_seconds(lambda: forest.save_json(path))
        load = best_seconds(lambda: tarn.Forest.load_json(path))
    print(f"save_json: {mb / save:7.0f} MB/s ({save * 1e3:.1f} ms, including fsync)")
    print(f"load_json: {mb / load:7.0f} MB/s ({load * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
