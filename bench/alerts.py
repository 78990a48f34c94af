"""Threshold throughput: per score in update_many and per update() call, beside a Python
reference measured in the same rounds (interleaved, so machine noise hits all alike).

Streams of 20,000 scores: (a) Gaussian noise, (b) log-normal (a heavy tail over many buckets),
(c) log-normal with half_life=1000 (decayed weights, periodic rescaling). Targets: at most
0.3 us per score in update_many and 1 us per update call.

The reference is the cheapest thing a Python loop can do per score -- a call of a bound builtin
method (list.append) -- so "update / call" is the native work over plain call overhead.

Run: PYTHONPATH=python python bench/alerts.py
"""
import array
import random
import statistics
import time

from tarn.alerts import Threshold

N = 20_000
ROUNDS = 15


def streams():
    rng = random.Random(5)
    gauss = array.array("d", (rng.gauss(0.0, 1.0) for _ in range(N)))
    heavy = array.array("d", (rng.lognormvariate(0.0, 2.0) for _ in range(N)))
    return {"gauss": (gauss, {}), "lognormal": (heavy, {}), "lognormal, half_life=1000": (heavy, {"half_life": 1000.0})}


def per_score_us(f, n):
    t0 = time.perf_counter()
    f()
    return (time.perf_counter() - t0) / n * 1e6


def main():
    cases = streams()
    times = {name: {"many": [], "update": []} for name in cases}
    reference = []
    for _ in range(ROUNDS):
        for name, (scores, kwargs) in cases.items():
            # Each measurement grades the stream from a threshold that already
            # holds it, as in a long run.
            th = Threshold(rate=0.001, warmup=1000, **kwargs)
            th.update_many(scores)
            times[name]["many"].append(per_score_us(lambda: th.update_many(scores), N))
            values = list(scores)
            th = Threshold(rate=0.001, warmup=1000, **kwargs)
            th.update_many(scores)
            update = th.update

            def loop():
                for x in values:
                    update(x)

            times[name]["update"].append(per_score_us(loop, N))
        sink = []
        call = sink.append
        values = list(cases["gauss"][0])

        def ref():
            for x in values:
                call(x)

        reference.append(per_score_us(ref, N))
    ref_us = statistics.median(reference)
    print(f"reference: a bound builtin call per score   {ref_us:.3f} us")
    for name, t in times.items():
        many = statistics.median(t["many"])
        upd = statistics.median(t["update"])
        print(f"{name:28s} update_many {many:.3f} us/score ({many / 0.3:.2f} of target)   "
              f"update {upd:.3f} us/call ({upd / 1.0:.2f} of target, {upd / ref_us:.1f} x call)")


if __name__ == "__main__":
    main()
