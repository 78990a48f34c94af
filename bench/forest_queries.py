"""Forest query latency: median microseconds per call of each read-only query
for Forest(input_dim=1, shingle_size=8) with the defaults (50 trees, capacity
256) after 20000 updates of a noisy periodic signal with occasional spikes.

Query points: fresh observations of the same signal (completing the shingle),
and full 8-value shingles for impute.

Run: PYTHONPATH=python python bench/forest_queries.py
"""
import math
import random
import statistics
import time

import tarn

UPDATES = 20000
CALLS = 3000


def signal(rng, i):
    x = math.sin(i * 2 * math.pi / 50) + rng.gauss(0.0, 0.1)
    if rng.random() < 0.005:
        x += 3.0
    return x


def median_us(fn, args_list):
    clock = time.perf_counter_ns
    times = []
    for args in args_list:
        t0 = clock()
        fn(*args)
        times.append(clock() - t0)
    return statistics.median(times) / 1000


def main():
    rng = random.Random(7)
    forest = tarn.Forest(1, shingle_size=8, seed=42)
    for i in range(UPDATES):
        forest.update([signal(rng, i)])
    obs = [([signal(rng, UPDATES + i)],) for i in range(CALLS)]
    shingles = [[signal(rng, UPDATES + i + k) for k in range(8)] for i in range(CALLS)]

    rows = [
        ("score (reference)", forest.score, obs),
        ("displacement_score", forest.displacement_score, obs),
        ("density", forest.density, obs),
        ("attribution", forest.attribution, obs),
        ("near_neighbors (top_k=10, percentile=50)", forest.near_neighbors, obs),
        ("near_neighbors (top_k=10, percentile=0)", lambda p: forest.near_neighbors(p, 10, 0), obs),
        ("impute, 1 missing", forest.impute, [(s, [7]) for s in shingles]),
        ("impute, 4 missing", forest.impute, [(s, [4, 5, 6, 7]) for s in shingles]),
        ("impute, 1 missing, centrality 0.5", forest.impute, [(s, [7], 0.5) for s in shingles]),
        ("extrapolate(4)", forest.extrapolate, [(4,)] * (CALLS // 10)),
    ]
    print(f"Forest(input_dim=1, shingle_size=8), defaults, after {UPDATES} updates; median per call:")
    for name, fn, args_list in rows:
        median_us(fn, args_list[:100])  # warm-up
        print(f"  {name:42s} {median_us(fn, args_list):9.2f} us")
    # How much the neighbour search finds: its cost depends on it.
    for percentile in (50, 0):
        found = [len(forest.near_neighbors(p, 10, percentile)) for (p,) in obs[:500]]
        spikes = [len(forest.near_neighbors([p[0] + 3.0], 10, percentile)) for (p,) in obs[:500]]
        print(f"  near_neighbors percentile={percentile}: mean results {statistics.mean(found):.2f} per signal point, "
              f"{statistics.mean(spikes):.2f} per spiked point")


if __name__ == "__main__":
    main()
