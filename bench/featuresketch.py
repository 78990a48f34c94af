"""FeatureSketch throughput: median microseconds per update_and_score for
events of 10 distinct names (default configuration), and the time to write
and read the state of a default detector."""

import random
import statistics
import time

from tarn import FeatureSketch


def per_event_us(fs, stream, batch=1000):
    medians = []
    for start in range(0, len(stream), batch):
        chunk = stream[start:start + batch]
        t0 = time.perf_counter()
        for ev in chunk:
            fs.update_and_score(ev)
        medians.append((time.perf_counter() - t0) / len(chunk) * 1e6)
    return statistics.median(medians)


def main():
    rng = random.Random(1)
    names = [f"feature_{i}" for i in range(40)]
    stream = [{n: rng.gauss(0.0, 3.0) for n in rng.sample(names, 10)} for _ in range(20000)]
    fs = FeatureSketch(seed=1)
    print(f"update_and_score, 10 names, default config: {per_event_us(fs, stream):.2f} us/event (median of batches)")

    writes, reads = [], []
    for _ in range(5):
        t0 = time.perf_counter()
        text = fs.to_json()
        t1 = time.perf_counter()
        FeatureSketch.from_json(text)
        t2 = time.perf_counter()
        writes.append(t1 - t0)
        reads.append(t2 - t1)
    print(f"default state: {len(text) / 1e6:.1f} MB, to_json {statistics.median(writes):.3f} s, "
          f"from_json {statistics.median(reads):.3f} s (medians of 5)")


if __name__ == "__main__":
    main()
