"""Forest state text throughput: MB/s of to_json and from_json for a default
Forest(input_dim=8) after 20000 updates (best of several runs, since the
machine is shared; the figure from the thread's CPU time is printed too, as
it is less disturbed by other load), plus save_json / load_json through a
temporary file.

Run: PYTHONPATH=python python bench/persistence.py
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
    best = cpu = float("inf")
    for _ in range(RUNS):
        t0, c0 = time.perf_counter(), time.thread_time()
        fn()
        best = min(best, time.perf_counter() - t0)
        cpu = min(cpu, time.thread_time() - c0)
    return best, cpu


def main():
    rng = random.Random(1)
    forest = tarn.Forest(DIM, seed=1)
    for _ in range(UPDATES):
        forest.update([rng.gauss(0.0, 1.0) for _ in range(DIM)])
    text = forest.to_json()
    mb = len(text) / 1e6

    print(f"state of Forest(input_dim={DIM}) after {UPDATES} updates: {mb:.2f} MB")
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "forest.json")
        for name, fn in [
            ("to_json", forest.to_json),
            ("from_json", lambda: tarn.Forest.from_json(text)),
            ("save_json", lambda: forest.save_json(path)),
            ("load_json", lambda: tarn.Forest.load_json(path)),
        ]:
            wall, cpu = best_seconds(fn)
            print(f"{name + ':':11}{mb / wall:6.0f} MB/s wall ({wall * 1e3:5.1f} ms), {mb / cpu:6.0f} MB/s CPU")


if __name__ == "__main__":
    main()
