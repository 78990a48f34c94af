"""Batch methods against the loop of single calls, side by side in one run.

Two twin detectors see the same rows: one through a Python loop of single
calls (rows as Python lists, the loop's fastest form), the other through one
batch call per chunk (rows as a numpy array). The timings alternate chunk by
chunk, so both run under the same machine load; the table shows medians per
record and their ratio (loop / batch, above 1 means the batch is faster).

"overhead" is the batch path's own share of a batch call: converting the
array (timed as a batch refused at its first row: the whole array is read,
then nothing is computed) plus building the result array.

Run: PYTHONPATH=python python bench/batches.py
"""
import array
import copy
import math
import statistics
import time

import numpy as np

import tarn

clock = time.perf_counter_ns


def timed(f):
    start = clock()
    f()
    return clock() - start


def mstream_workload():
    rng = np.random.default_rng(7)
    n = 100 * 60
    numeric = rng.normal(size=(n, 8))
    categorical = rng.integers(0, 20, size=(n, 4))
    timestamps = 1 + np.arange(n) // 100  # 100 records per tick
    det = tarn.MStream(8, 4, seed=1)
    det.update_many(numeric[:1000], categorical[:1000], timestamps[:1000])
    chunks = [(numeric[i:i + 100], categorical[i:i + 100], timestamps[i:i + 100]) for i in range(1000, n, 100)]
    return "MStream(8, 4), 100 records per tick", det, chunks, 100


def point_workload(name, det, dim, n, chunk, warm):
    rng = np.random.default_rng(3)
    t = np.arange(n + warm)[:, None]
    data = np.sin(t / 20.0 + np.arange(dim)) + rng.normal(scale=0.1, size=(n + warm, dim))
    det.update_many(data[:warm])
    chunks = [(data[i:i + chunk],) for i in range(warm, n + warm, chunk)]
    return name, det, chunks, chunk


def as_lists(args):
    """The chunk's records as the single calls take them."""
    cols = [a.tolist() for a in args]
    return list(zip(*cols))


def refused(args):
    """The chunk with its first row made invalid: a batch converts all of it,
    then refuses it."""
    first = args[0].astype(np.float64, copy=True)
    first[0, 0] = math.nan
    return (first,) + args[1:]


def run(name, det, chunks, per_chunk):
    loop_det, batch_det = det, copy.deepcopy(det)
    # Previews first: they leave the clock where the learning pass expects it.
    rows = {"score_many": ("score", "score_many"),
            "update_and_score_many": ("update_and_score", "update_and_score_many")}
    out = []
    for label, (single, batch) in rows.items():
        loop_t, batch_t, over_t = [], [], []
        for args in chunks:
            records = as_lists(args)
            one = getattr(loop_det, single)
            loop_t.append(timed(lambda: [one(*r) for r in records]))
            many = getattr(batch_det, batch)
            batch_t.append(timed(lambda: many(*args)))
            bad = refused(args)
            try:
                start = clock()
                batch_det.update_many(*bad)
            except ValueError:
                over_t.append(clock() - start + timed(lambda: array.array("d", bytes(8 * per_chunk))))
        assert loop_det.to_json() == batch_det.to_json()
        loop_us = statistics.median(loop_t) / per_chunk / 1000
        batch_us = statistics.median(batch_t) / per_chunk / 1000
        over = statistics.median(over_t) / statistics.median(batch_t)
        out.append((name, label, loop_us, batch_us, loop_us / batch_us, over))
    return out


def main():
    workloads = [
        mstream_workload(),
        point_workload("OnlineIForest(8), defaults", tarn.OnlineIForest(8, seed=1), 8, 20000, 1000, 2048),
        point_workload("Forest(1, shingle_size=8), defaults", tarn.Forest(1, shingle_size=8, seed=1), 1, 10000, 1000,
                       2000),
    ]
    print(f"{'workload':38} {'method':22} {'loop us/rec':>11} {'batch us/rec':>12} {'loop/batch':>10} {'overhead':>8}")
    for w in workloads:
        for name, label, loop_us, batch_us, ratio, over in run(*w):
            print(f"{name:38} {label:22} {loop_us:11.3f} {batch_us:12.3f} {ratio:9.2f}x {over:8.1%}", flush=True)


if __name__ == "__main__":
    main()
