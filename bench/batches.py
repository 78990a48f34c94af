"""Batch methods against the loop of single calls, side by side in one run.

Three twin detectors see the same rows: one through a Python loop of single
calls over rows converted to Python lists beforehand (the loop's fastest
form, conversion not timed), one through a loop over the array's own rows as
a user holding an array writes it (`for i in range(n): det.update_and_score(
num[i], cat[i], int(ts[i]))`), and one through one batch call per chunk (rows
as a numpy array). The timings alternate chunk by chunk, so all run under the
same machine load; the table shows medians per record and the ratios of each
loop to the batch (above 1 means the batch is faster).

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


def row_calls(args):
    """The chunk's records as a loop over the arrays' rows passes them:
    array rows as they are, timestamps (1-D) as Python ints."""
    n = len(args[0])
    return lambda one: [one(*(int(a[i]) if a.ndim == 1 else a[i] for a in args)) for i in range(n)]


def refused(args):
    """The chunk with its first row made invalid: a batch converts all of it,
    then refuses it."""
    first = args[0].astype(np.float64, copy=True)
    first[0, 0] = math.nan
    return (first,) + args[1:]


def run(name, det, chunks, per_chunk):
    loop_det, rows_det, batch_det = det, copy.deepcopy(det), copy.deepcopy(det)
    # Previews first: they leave the clock where the learning pass expects it.
    rows = {"score_many": ("score", "score_many"),
            "update_and_score_many": ("update_and_score", "update_and_score_many")}
    out = []
    for label, (single, batch) in rows.items():
        loop_t, rows_t, batch_t, over_t = [], [], [], []
        for args in chunks:
            records = as_lists(args)
            one = getattr(loop_det, single)
            loop_t.append(timed(lambda: [one(*r) for r in records]))
            each_row = row_calls(args)
            rows_one = getattr(rows_det, single)
            rows_t.append(timed(lambda: each_row(rows_one)))
            many = getattr(batch_det, batch)
            batch_t.append(timed(lambda: many(*args)))
            bad = refused(args)
            try:
                start = clock()
                batch_det.update_many(*bad)
            except ValueError:
                over_t.append(clock() - start + timed(lambda: array.array("d", bytes(8 * per_chunk))))
        assert loop_det.to_json() == batch_det.to_json() == rows_det.to_json()
        loop_us, rows_us, batch_us = (statistics.median(t) / per_chunk / 1000 for t in (loop_t, rows_t, batch_t))
        over = statistics.median(over_t) / statistics.median(batch_t)
        out.append((name, label, loop_us, rows_us, batch_us, over))
    return out


def main():
    workloads = [
        mstream_workload(),
        point_workload("OnlineIForest(8), defaults", tarn.OnlineIForest(8, seed=1), 8, 20000, 1000, 2048),
        point_workload("Forest(1, shingle_size=8), defaults", tarn.Forest(1, shingle_size=8, seed=1), 1, 10000, 1000,
                       2000),
    ]
    print("us/rec: microseconds per record, median over chunks. loop(lists): the single-record method over rows")
    print("made Python lists beforehand; loop(rows): over the array's rows; overhead: the batch's own share.")
    print(f"{'workload':38} {'method':22} {'loop(lists)':>11} {'loop(rows)':>10} {'batch':>7} "
          f"{'lists/batch':>11} {'rows/batch':>10} {'overhead':>8}")
    for w in workloads:
        for name, label, loop_us, rows_us, batch_us, over in run(*w):
            print(f"{name:38} {label:22} {loop_us:11.3f} {rows_us:10.3f} {batch_us:7.3f} "
                  f"{loop_us / batch_us:10.2f}x {rows_us / batch_us:9.2f}x {over:8.1%}", flush=True)


if __name__ == "__main__":
    main()
