"""How Threshold's alerts compare with a fixed threshold chosen on the first 10% of a stream.

Generated score streams of 200,000 scores with 100 injected anomalies (after the first 10%),
each anomaly well above the normal scores of its own stretch of the stream:
  stationary   Gaussian noise
  shift up     the level rises by 3 sigma half-way
  shift down   the level falls by 3 sigma half-way
  drift        the level grows linearly by 6 sigma over the stream
  heavy tail   Pareto(1.2) scores (MStream-like), anomalies 2-10x the 99.99th percentile
For each, at rate 0.01 and 0.001: the alert rate on normal scores after the first 10% (the target
is the rate) and the anomalies caught, for the fixed cut-off (the (1 - rate)-quantile of the first
10%), Threshold without decay and Threshold(half_life=5000).

Run: PYTHONPATH=python python bench/alerts_eval.py
"""
import numpy as np

from tarn.alerts import Threshold

N = 200_000
HEAD = N // 10
ANOMALIES = 100


def stream(kind, rng):
    t = np.arange(N)
    if kind == "heavy tail":
        scores = rng.pareto(1.2, N) * 10.0
        level = np.zeros(N)
        high = np.quantile(scores, 0.9999) * rng.uniform(2, 10, ANOMALIES)
    else:
        level = {
            "stationary": np.zeros(N),
            "shift up": np.where(t >= N // 2, 3.0, 0.0),
            "shift down": np.where(t >= N // 2, -3.0, 0.0),
            "drift": 6.0 * t / N,
        }[kind]
        scores = 10.0 + level + rng.normal(0.0, 1.0, N)
        high = None
    where = rng.choice(np.arange(HEAD, N), ANOMALIES, replace=False)
    scores[where] = high if high is not None else 10.0 + level[where] + rng.uniform(5.0, 7.0, ANOMALIES)
    return scores, where


def judge(flags, where):
    flags = np.asarray(flags, dtype=bool)
    normal = np.ones(N, dtype=bool)
    normal[where] = False
    normal[:HEAD] = False
    return flags[normal].mean(), int(flags[where].sum())


def main():
    rng = np.random.default_rng(42)
    print(f"{'stream':12s} {'rate':>6s} | {'fixed (first 10%)':>22s} | {'Threshold':>22s} | {'half_life=5000':>22s}")
    print(f"{'':12s} {'':>6s} | {'alert rate  caught':>22s} | {'alert rate  caught':>22s} | {'alert rate  caught':>22s}")
    for kind in ["stationary", "shift up", "shift down", "drift", "heavy tail"]:
        scores, where = stream(kind, rng)
        for rate in [0.01, 0.001]:
            cut = np.quantile(scores[:HEAD], 1.0 - rate)
            cells = [judge(scores >= cut, where)]
            for kwargs in [{}, {"half_life": 5000.0}]:
                flags, _ = Threshold(rate=rate, warmup=1000, **kwargs).update_many(scores)
                cells.append(judge(np.frombuffer(flags, dtype=np.int8), where))
            row = " | ".join(f"{r:10.5f} {c:4d}/{ANOMALIES:<4d}  " for r, c in cells)
            print(f"{kind:12s} {rate:6.3f} | {row}")


if __name__ == "__main__":
    main()
