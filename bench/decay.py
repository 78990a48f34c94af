"""MStream's decay through each path it can take, side by side in one run.

The decay multiplies every current count by alpha^k on each new tick. The
plain loop is the reference; the exact paths (portable, AVX2, AVX-512F) keep zeros, fixed points and subnormal values off the processor's
multiplier. Three arrays of 26,624 values (the cell count of MStream(8, 4)):
  normal: random values in [0.001, 100), every one normal;
  young:  the current counts after 1,000 ticks (alpha 0.8): zeros and normal values;
  long:   the current counts after 30,000 ticks: mostly zero or stuck at
          subnormal fixed points. What the plain loop pays for those depends
          on the processor: some take 100+ cycles per subnormal product,
          others (AMD Zen 4, for one) little.
Printed: nanoseconds per call (the cost of an empty call subtracted) and the
ratio to the plain loop; calls interleaved round by round, the 10th
percentile of each (the machine is shared: noise only ever adds time).
Then the whole update_and_score with each path forced (microseconds per
record, one record per tick).

Run: PYTHONPATH=python python bench/decay.py
"""
import copy
import json
import random
import statistics
import time

import numpy as np

import tarn
from tarn import _scale_paths

N, C = 8, 4
ALPHA = 0.8
ROUNDS = 800


def records(count, rng, first_tick=1):
    return [([rng.gauss(0.0, 1.0) for _ in range(N)], [rng.randrange(20) for _ in range(C)], first_tick + i)
            for i in range(count)]


def aged(ticks):
    det = tarn.MStream(N, C, alpha=ALPHA, seed=1)
    for rec in records(ticks, random.Random(11)):
        det.update_and_score(*rec)
    return det


def current_counts(det):
    state = json.loads(det.to_json())
    parts = [state["record_counts"]["current"]["count"]["data"]]
    parts += [p["current"]["count"]["data"] for p in state["numeric_counts"] + state["categorical_counts"]]
    return np.concatenate([np.asarray(p, dtype=np.float64) for p in parts])


def per_call_ns(counts, paths):
    samples = {p: [] for p in paths}
    empty = np.empty(0)
    overhead = []
    work = counts.copy()
    for _ in range(ROUNDS):
        t0 = time.perf_counter_ns()
        _scale_paths.scale(empty, ALPHA, "plain")
        overhead.append(time.perf_counter_ns() - t0)
        for p in paths:
            np.copyto(work, counts)
            t0 = time.perf_counter_ns()
            _scale_paths.scale(work, ALPHA, p)
            samples[p].append(time.perf_counter_ns() - t0)
    base = low(overhead)
    return {p: max(low(v) - base, 1.0) for p, v in samples.items()}


def low(values):
    return statistics.quantiles(values, n=10)[0]


def update_costs(dets, paths, rounds=41, batch=100):
    samples = {(age, p): [] for age in dets for p in paths}
    for _ in range(rounds):
        for age, det in dets.items():
            follow = records(batch, random.Random(age), first_tick=age + 1)
            for p in paths:
                d = copy.copy(det)
                with _scale_paths.forced(p):
                    t0 = time.thread_time_ns()
                    for rec in follow:
                        d.update_and_score(*rec)
                    samples[age, p].append((time.thread_time_ns() - t0) / batch / 1000.0)
    return {k: low(v) for k, v in samples.items()}


def main():
    paths = _scale_paths.available()
    dets = {ticks: aged(ticks) for ticks in (1_000, 30_000)}
    print(f"paths on this processor: {', '.join(paths)}")
    print("decay alone, ns per call of 26,624 counts (ratio to plain):")
    arrays = {"normal": np.random.default_rng(5).uniform(0.001, 100.0, 26_624),
              "young": current_counts(dets[1_000]), "long": current_counts(dets[30_000])}
    for name, counts in arrays.items():
        tiny = int(np.count_nonzero((counts != 0) & (np.abs(counts) < 2.0**-1022)))
        zeros = int(np.count_nonzero(counts == 0))
        cost = per_call_ns(counts, paths)
        row = ",  ".join(f"{p} {cost[p]:7.0f} ({cost[p] / cost['plain']:4.2f}x)" for p in paths)
        print(f"  {name:<6} ({tiny:>5} subnormal, {zeros:>5} zero): {row}")
    print("update_and_score, us per record, one record per tick (ratio to plain):")
    costs = update_costs(dets, paths)
    for ticks in dets:
        row = ",  ".join(f"{p} {costs[ticks, p]:5.2f} ({costs[ticks, p] / costs[ticks, 'plain']:4.2f}x)" for p in paths)
        print(f"  after {ticks:>6} ticks: {row}")


if __name__ == "__main__":
    main()
