"""Throughput of Forest.update_and_score and Forest.score.

Prints the median microseconds per call, measured after a warm-up that fills
every sampler, for two workloads with the default forest (50 trees,
capacity 256). Scores are timed one by one on a live stream: an untimed
update follows each score, so no two scores see the same shingle and trees.

  (a) input_dim=1, shingle_size=8, internal shingling, on a noisy sine;
  (b) input_dim=16, full points.

Run: PYTHONPATH=python python bench/forest.py [--calls N]
"""

import argparse
import math
import random
import statistics
import time

import tarn


def noisy_sine(n, rng):
    return [[math.sin(i * 0.05) + rng.gauss(0.0, 0.1)] for i in range(n)]


def gaussian_points(n, dim, rng):
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


def median_us(fn, points, batch=50):
    """Median over batches of the per-call time, in microseconds."""
    per_call = []
    clock = time.perf_counter_ns
    for start in range(0, len(points) - batch + 1, batch):
        chunk = points[start:start + batch]
        t0 = clock()
        for p in chunk:
            fn(p)
        per_call.append((clock() - t0) / batch / 1000.0)
    return statistics.median(per_call)


def median_score_us(forest, points):
    """Median time of one score call, in microseconds, with the forest fed
    by an (untimed) update after each call, so that every score meets a
    fresh shingle and changing trees as in a live stream."""
    clock = time.perf_counter_ns
    score, update = forest.score, forest.update
    per_call = []
    for p in points:
        t0 = clock()
        score(p)
        per_call.append((clock() - t0) / 1000.0)
        update(p)
    return statistics.median(per_call)


def run(name, make_forest, stream, warmup, calls):
    probe = stream[warmup:warmup + calls]
    forest = make_forest()
    for p in stream[:warmup]:
        forest.update(p)
    update_us = median_us(forest.update_and_score, probe)
    forest = make_forest()
    for p in stream[:warmup]:
        forest.update(p)
    score_us = median_score_us(forest, probe)
    print(f"{name}: update_and_score {update_us:7.2f} us/call   score {score_us:7.2f} us/call")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=20000, help="measured calls per method")
    parser.add_argument("--warmup", type=int, default=5000, help="updates before measuring")
    args = parser.parse_args()
    rng = random.Random(7)
    n = args.warmup + args.calls

    run("(a) input_dim=1, shingle_size=8, noisy sine",
        lambda: tarn.Forest(1, shingle_size=8, seed=1), noisy_sine(n, rng), args.warmup, args.calls)
    run("(b) input_dim=16, full points          ",
        lambda: tarn.Forest(16, seed=1), gaussian_points(n, 16, rng), args.warmup, args.calls)


if __name__ == "__main__":
    main()
