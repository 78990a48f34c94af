"""OnlineIForest throughput: median microseconds per update_and_score for
input_dim=8 with the defaults (32 trees, window 2048, max_leaf_samples 32) on
a stream of 50000 points after the window has filled, and how many leaf
splits an update causes (a tree's generator moves only when it splits).

Run: PYTHONPATH=python python bench/onlineiforest.py
"""
import json
import random
import statistics
import time

import tarn

DIM = 8
STREAM = 50000
BATCH = 500


def point(rng, i):
    # A drifting mixture with occasional outliers, so splits and collapses keep happening.
    centre = 3.0 if (i // 5000) % 2 else 0.0
    p = [rng.gauss(centre, 1.0) for _ in range(DIM)]
    if rng.random() < 0.01:
        p[rng.randrange(DIM)] += 8.0
    return p


def main():
    rng = random.Random(3)
    det = tarn.OnlineIForest(DIM, seed=1)
    for i in range(2048):
        det.update(point(rng, i))
    stream = [point(rng, 2048 + i) for i in range(STREAM)]

    per_call = []
    per_batch = []
    clock = time.perf_counter_ns
    for start in range(0, STREAM, BATCH):
        t_batch = clock()
        for p in stream[start:start + BATCH]:
            t0 = clock()
            det.update_and_score(p)
            per_call.append(clock() - t0)
        per_batch.append((clock() - t_batch) / BATCH)
    print(f"update_and_score, input_dim={DIM}, defaults: median {statistics.median(per_call) / 1000:.2f} us per call, "
          f"median of {BATCH}-call batches {statistics.median(per_batch) / 1000:.2f} us, "
          f"mean {sum(per_call) / len(per_call) / 1000:.2f} us")

    # Splits per update, sampled: trees whose generator moved during one update.
    samples, splits = 300, 0
    for i in range(samples):
        before = [t["rng"]["s"] for t in json.loads(det.to_json())["trees"]]
        det.update(point(rng, i))
        after = [t["rng"]["s"] for t in json.loads(det.to_json())["trees"]]
        splits += sum(a != b for a, b in zip(before, after))
    print(f"splits per update (all trees, sampled over {samples} updates): {splits / samples:.3f}")


if __name__ == "__main__":
    main()
