"""Median microseconds per MStream.update_and_score for N=8 numeric and C=4
categorical features with the default sketch sizes:
(a) every record on a new tick (one decay pass per record),
(b) 100 records per tick.

Run: PYTHONPATH=python python bench/mstream.py
"""
import random
import statistics
import time

import tarn

N, C = 8, 4
BATCH = 200
BATCHES = 50


def records(count, per_tick, rng):
    out = []
    for i in range(count):
        numeric = [rng.gauss(0.0, 1.0) for _ in range(N)]
        categorical = [rng.randrange(20) for _ in range(C)]
        out.append((numeric, categorical, 1 + i // per_tick))
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
        start = time.perf_counter_ns()
        for numeric, categorical, ts in chunk:
            det.update_and_score(numeric, categorical, ts)
        per_record.append((time.perf_counter_ns() - start) / BATCH / 1000.0)
    return statistics.median(per_record)


if __name__ == "__main__":
    print(f"(a) new tick per record:   {median_us(1):.2f} us per update_and_score")
    print(f"(b) 100 records per tick:  {median_us(100):.2f} us per update_and_score")
