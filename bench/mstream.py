"""MStream throughput for N=8 numeric and C=4 categorical features with the
default sketch sizes, median microseconds per update_and_score:
(a) every record on a new tick (one decay pass per record),
(b) 100 records per tick,
(c) cost on long streams: detectors that have seen 1,000, 10,000 and 30,000
    ticks (one record per tick), timed side by side on copies so every
    detector stays at its age; printed as ratios to the 1,000-tick cost, for
    alpha 0.8 and 0.95. Decayed counts pass through the subnormal range after
    about 3,200 ticks (alpha 0.8) or 13,800 ticks (alpha 0.95); the ratios
    show whether that costs anything.

Run: PYTHONPATH=python python bench/mstream.py
"""
import copy
import random
import statistics
import sys
import time

import tarn

N, C = 8, 4
BATCH = 200
BATCHES = 50
AGES = (1_000, 10_000, 30_000)


def records(count, per_tick, rng, first_tick=1):
    out = []
    for i in range(count):
        numeric = [rng.gauss(0.0, 1.0) for _ in range(N)]
        categorical = [rng.randrange(20) for _ in range(C)]
        out.append((numeric, categorical, first_tick + i // per_tick))
    return out


def median_us(per_tick):
    rng = random.Random(7)
    det = tarn.MStream(N, C, seed=1)
    data = records(BATCH * (BATCHES + 5), per_tick, rng)
    for numeric, categorical, ts in data[: 5 * BATCH]:  # warm-up
        det.update_and_score(numeric, categorical, ts)
    per_record = []
    for b in range(BATCHES):
        chunk = data[(5 + b) * BATCH : (6 + b) * BATCH]
        start = time.thread_time_ns()
        for numeric, categorical, ts in chunk:
            det.update_and_score(numeric, categorical, ts)
        per_record.append((time.thread_time_ns() - start) / BATCH / 1000.0)
    return statistics.median(per_record)


def aged_detectors(alpha):
    """One detector per age, each fed one record per tick up to that age."""
    rng = random.Random(11)
    stream = records(max(AGES), 1, rng)
    out = {}
    det = tarn.MStream(N, C, alpha=alpha, seed=1)
    fed = 0
    for age in AGES:
        for numeric, categorical, ts in stream[fed:age]:
            det.update_and_score(numeric, categorical, ts)
        fed = age
        out[age] = copy.copy(det)
    return out


def long_stream_costs(alpha, rounds=15, batch=100):
    dets = aged_detectors(alpha)
    follow = {age: records(batch, 1, random.Random(age), first_tick=age + 1) for age in AGES}
    samples = {age: [] for age in AGES}
    for _ in range(rounds):
        for age in AGES:  # interleaved, so machine noise hits every age alike
            d = copy.copy(dets[age])
            start = time.thread_time_ns()
            for numeric, categorical, ts in follow[age]:
                d.update_and_score(numeric, categorical, ts)
            samples[age].append((time.thread_time_ns() - start) / batch / 1000.0)
    return {age: statistics.median(v) for age, v in samples.items()}


def main():
    only_long = "--long" in sys.argv
    if not only_long:
        print(f"(a) new tick per record:   {median_us(1):.2f} us per update_and_score")
        print(f"(b) 100 records per tick:  {median_us(100):.2f} us per update_and_score")
    print("(c) one record per tick, cost by stream length (target: ratios <= 1.3):")
    for alpha in (0.8, 0.95):
        cost = long_stream_costs(alpha)
        base = cost[AGES[0]]
        parts = [f"{age:>6} ticks {cost[age]:6.2f} us ({cost[age] / base:4.2f}x)" for age in AGES]
        print(f"    alpha {alpha:<4}: " + ",  ".join(parts))


if __name__ == "__main__":
    main()
