"""FeatureSketch throughput with the default configuration, side by side in
one run:
- median microseconds per update_and_score for events of 10 distinct names,
  given as dicts and as lists of (name, value) pairs (target: dict within
  1.1x of pairs), and for empty events (the fixed cost of an event);
- the same dict events against river's HalfSpaceTrees with its defaults
  (score_one then learn_one, what update_and_score does; target: FeatureSketch
  at least 3x faster); skipped with a message when river is not installed;
- the time to write and read the state of a default detector.

Run: PYTHONPATH=python python bench/featuresketch.py
"""

import random
import statistics
import time

from tarn import FeatureSketch

EVENTS = 6000
BATCH = 250


def timed_batches(runners, stream, batch=BATCH):
    """Median microseconds per event for each runner, batches interleaved so
    that machine noise hits every runner alike."""
    samples = {name: [] for name in runners}
    for start in range(0, len(stream), batch):
        for name, (run, convert) in runners.items():
            chunk = convert[start:start + batch]
            t0 = time.thread_time()
            for ev in chunk:
                run(ev)
            samples[name].append((time.thread_time() - t0) / len(chunk) * 1e6)
    return {name: statistics.median(v) for name, v in samples.items()}


def river_detector():
    try:
        from river import anomaly
    except ImportError:
        return None
    hst = anomaly.HalfSpaceTrees()

    def run(ev):
        hst.score_one(ev)
        hst.learn_one(ev)

    return run


def main():
    rng = random.Random(1)
    names = [f"feature_{i}" for i in range(40)]
    stream = [{n: rng.gauss(0.0, 3.0) for n in rng.sample(names, 10)} for _ in range(EVENTS)]
    pairs = [list(ev.items()) for ev in stream]
    empty = [{} for _ in stream]

    runners = {
        "dict": (FeatureSketch(seed=1).update_and_score, stream),
        "pairs": (FeatureSketch(seed=1).update_and_score, pairs),
        "empty": (FeatureSketch(seed=1).update_and_score, empty),
    }
    river = river_detector()
    if river is not None:
        runners["river"] = (river, stream)
    us = timed_batches(runners, stream)

    print(f"update_and_score, 10 names, default config: dict {us['dict']:.2f} us/event, "
          f"pairs {us['pairs']:.2f} us/event (dict/pairs {us['dict'] / us['pairs']:.2f}x, target <= 1.10x)")
    print(f"empty event: {us['empty']:.2f} us/event ({us['empty'] / us['dict']:.2f} of a 10-name dict event)")
    if river is None:
        print("river is not installed (pip install river): HalfSpaceTrees comparison skipped")
    else:
        print(f"river HalfSpaceTrees (defaults), same dicts: {us['river']:.2f} us/event "
              f"(FeatureSketch {us['river'] / us['dict']:.1f}x faster, target >= 3x)")

    fs = FeatureSketch(seed=1)
    for ev in stream[:2000]:
        fs.update_and_score(ev)
    writes, reads = [], []
    for _ in range(5):
        t0 = time.thread_time()
        text = fs.to_json()
        t1 = time.thread_time()
        FeatureSketch.from_json(text)
        t2 = time.thread_time()
        writes.append(t1 - t0)
        reads.append(t2 - t1)
    print(f"default state: {len(text) / 1e6:.1f} MB, to_json {statistics.median(writes):.3f} s, "
          f"from_json {statistics.median(reads):.3f} s (medians of 5)")


if __name__ == "__main__":
    main()
