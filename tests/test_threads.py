"""Threads: readers and a writer on one detector, and many detectors at once.

The computational methods release the interpreter lock, so these tests run
real overlap between threads. Whatever the interleaving, every value a
thread sees must be one that a sequential replay of the same calls produces,
and a call that meets a conflicting borrow fails at once with the borrow
error instead of waiting. The assertions depend only on results, never on
timing: how many calls collide varies from run to run, what they return
does not.
"""

import pickle
import random
import sys
import threading

import pytest

import tarn


# ------------------------------------------------------------- workloads

class Workload:
    """How to build, feed and query one class, deterministically."""

    def __init__(self, name, make, update, update_and_score, score, queries, any_order=None):
        self.name = name
        self.make = make                          # seed -> detector
        self.update = update                      # (det, i) -> None
        self.update_and_score = update_and_score  # (det, i) -> float
        self.score = score                        # (det, j) -> float
        self.queries = queries                    # number of distinct queries j
        # (det, i) -> float: an update that may land in any order (MStream
        # timestamps must not go back, so its records then share one).
        self.any_order = any_order or update_and_score


def _point(i, dim, salt):
    r = random.Random(i * 7919 + salt)
    spike = 6.0 if i % 37 == 5 else 0.0
    return [r.gauss(0.0, 1.0) + spike for _ in range(dim)]


def _record(i):
    r = random.Random(i)
    return [r.uniform(-2, 2), r.uniform(0, 1) * (i % 5), float(i % 3)], [i % 4, r.randrange(3)], 1 + i // 4


def _event(i):
    r = random.Random(i)
    names = ["a", "b", "c", "d", "e"][: 1 + i % 5]
    event = {n: r.uniform(-3, 3) for n in names}
    return event if i % 2 else sorted(event.items())


WORKLOADS = [
    Workload(
        "OnlineIForest",
        lambda seed: tarn.OnlineIForest(3, num_trees=8, window_size=48, max_leaf_samples=3, seed=seed),
        lambda d, i: d.update(_point(i, 3, 1)),
        lambda d, i: d.update_and_score(_point(i, 3, 1)),
        lambda d, j: d.score(_point(10_000 + j, 3, 2)),
        4,
    ),
    Workload(
        "MStream",
        lambda seed: tarn.MStream(3, 2, num_rows=2, num_buckets=64, seed=seed),
        lambda d, i: d.update(*_record(i)),
        lambda d, i: d.update_and_score(*_record(i)),
        # A far timestamp is never in the past, whatever has been ingested.
        lambda d, j: d.score([float(j), 0.5, 1.0], [j, 0], 10**9),
        4,
        lambda d, i: d.update_and_score(*_record(i)[:2], 1),
    ),
    Workload(
        "FeatureSketch",
        lambda seed: tarn.FeatureSketch(value_projection_dims=4, presence_projection_dims=4, chains_per_ensemble=4,
                                        chain_depth=4, sketch_rows=2, sketch_buckets=64, decay_half_life=32,
                                        seed=seed),
        lambda d, i: d.update(_event(i)),
        lambda d, i: d.update_and_score(_event(i)),
        lambda d, j: d.score(_event(10_000 + j)),
        4,
    ),
    Workload(
        "Forest",
        lambda seed: tarn.Forest(2, shingle_size=2, num_trees=12, capacity=32, seed=seed),
        lambda d, i: d.update(_point(i, 2, 3)),
        lambda d, i: d.update_and_score(_point(i, 2, 3)),
        # The queries are readers too; their results compare as values.
        lambda d, j: [d.score, d.displacement_score, d.density, d.attribution,
                      lambda p: d.near_neighbors(p, top_k=4)][j](_point(10_000 + j, 2, 4)),
        5,
    ),
]


def needs_methods(w):
    det = w.make(1)
    missing = [m for m in ("update", "update_and_score", "score") if not hasattr(det, m)]
    return pytest.mark.skipif(bool(missing), reason=f"{w.name} lacks {missing}")


PARAMS = [pytest.param(w, id=w.name, marks=needs_methods(w)) for w in WORKLOADS]


@pytest.fixture(autouse=True)
def frequent_switches():
    """Switch threads often, so that borrows held by one thread are met by others."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def retry(call, conflict):
    """Calls until the borrow is obtained; any other failure propagates.
    Returns (value, number of borrow conflicts met)."""
    conflicts = 0
    while True:
        try:
            return call(), conflicts
        except RuntimeError as e:
            if str(e) != conflict:
                raise
            conflicts += 1


def run_threads(targets):
    """Runs the callables on threads; re-raises the first failure."""
    errors = []

    def wrap(f):
        def run():
            try:
                f()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(f)) for f in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "a thread did not finish"
    if errors:
        raise errors[0]


# ---------------------------------------------------------------- tests

UPDATES = 240
READERS = 3


@pytest.mark.parametrize("w", PARAMS)
def test_readers_and_a_writer_on_one_detector(w):
    """Three threads score and read the state text while a fourth updates:
    each value read equals the sequential replay's value at some number of
    updates between the counts seen just before and just after the read."""
    det = w.make(11)
    for i in range(20):
        w.update(det, i)
    base = det.entries_seen()

    # Sequential replay: scores, state texts and update_and_score values
    # after every number of updates.
    replay = w.make(11)
    for i in range(20):
        w.update(replay, i)
    expected_scores = [[w.score(replay, j) for j in range(w.queries)]]
    expected_texts = [replay.to_json()]
    expected_writer = []
    for i in range(20, 20 + UPDATES):
        expected_writer.append(w.update_and_score(replay, i))
        expected_scores.append([w.score(replay, j) for j in range(w.queries)])
        expected_texts.append(replay.to_json())

    done = threading.Event()
    writer_scores = []
    reads = []  # (before, after, query, score, text)
    counts = [0] * READERS  # reads completed by each reader

    def wait_for_readers():
        # Every reader completes a read between two batches of updates, so
        # reads meet many different states whatever the scheduling.
        marks = list(counts)
        for _ in range(200_000):
            if all(c > m for c, m in zip(counts, marks)):
                return
            threading.Event().wait(0.0001)
        raise AssertionError("readers made no progress")

    def writer():
        try:
            for i in range(20, 20 + UPDATES):
                if i % 40 == 20:
                    wait_for_readers()
                s, _ = retry(lambda: w.update_and_score(det, i), "Already borrowed")
                writer_scores.append(s)
        finally:
            done.set()

    def reader(k):
        def run():
            n = 0
            while not done.is_set():
                j = (n + k) % w.queries
                before, _ = retry(det.entries_seen, "Already mutably borrowed")
                score, _ = retry(lambda: w.score(det, j), "Already mutably borrowed")
                text = None
                if n % 8 == k:
                    text, _ = retry(det.to_json, "Already mutably borrowed")
                after, _ = retry(det.entries_seen, "Already mutably borrowed")
                reads.append((before - base, after - base, j, score, text))
                counts[k] += 1
                n += 1
                # Leave the writer gaps: three readers back to back would
                # hold the shared borrow almost all the time.
                done.wait(0.0002)
        return run

    run_threads([writer] + [reader(k) for k in range(READERS)])

    assert writer_scores == expected_writer
    assert det.to_json() == expected_texts[-1]
    assert len(reads) >= READERS * UPDATES // 40
    for before, after, j, score, text in reads:
        assert 0 <= before <= after <= UPDATES
        states = range(before, after + 1)
        assert any(expected_scores[k][j] == score for k in states), (before, after, j, score)
        if text is not None:
            assert any(expected_texts[k] == text for k in states)


@pytest.mark.parametrize("w", PARAMS)
def test_readers_share_one_detector(w):
    """Readers never block each other: with no writer around, every score
    succeeds at the first attempt and equals the sequential value."""
    det = w.make(5)
    for i in range(60):
        w.update(det, i)
    expected = [w.score(det, j) for j in range(w.queries)]
    text = det.to_json()
    seen = [[] for _ in range(4)]

    def reader(k):
        def run():
            for n in range(200):
                j = (n + k) % w.queries
                seen[k].append((j, w.score(det, j)))
        return run

    run_threads([reader(k) for k in range(4)])
    for per_thread in seen:
        assert len(per_thread) == 200
        assert all(s == expected[j] for j, s in per_thread)
    assert det.to_json() == text


@pytest.mark.parametrize("w", PARAMS)
def test_writers_exclude_each_other(w):
    """Two threads update one detector, each with its own half of the
    inputs: every update lands exactly once, and the detector ends in a
    consistent state that reads back."""
    det = w.make(3)
    landed = []

    def writer(k):
        def run():
            for i in range(k, 160, 2):
                retry(lambda: w.any_order(det, i), "Already borrowed")
                landed.append(i)
        return run

    run_threads([writer(0), writer(1)])
    assert sorted(landed) == list(range(160))
    assert det.entries_seen() == 160
    assert type(det).from_json(det.to_json()).to_json() == det.to_json()


@pytest.mark.parametrize("w", PARAMS)
def test_many_detectors_in_parallel_match_sequential(w):
    """Six detectors, each on its own thread, give exactly the scores and
    states of the same detectors fed one after the other."""
    seeds = [101, 102, 103, 104, 105, 105]  # two with equal seeds
    offsets = [0, 50, 100, 150, 200, 200]

    def feed(det, offset, out):
        for i in range(offset, offset + 150):
            out.append(w.update_and_score(det, i))

    sequential = []
    for seed, offset in zip(seeds, offsets):
        det, out = w.make(seed), []
        feed(det, offset, out)
        sequential.append((out, det.to_json()))

    dets = [w.make(seed) for seed in seeds]
    outs = [[] for _ in seeds]
    run_threads([lambda d=d, o=off, out=out: feed(d, o, out) for d, off, out in zip(dets, offsets, outs)])
    parallel = [(out, det.to_json()) for out, det in zip(outs, dets)]
    assert parallel == sequential
    assert parallel[4] == parallel[5]


def test_all_classes_at_once_match_sequential():
    """One detector of every class, updated side by side on their own threads
    while copies of them are pickled and restored on others."""
    ready = [w for w in WORKLOADS if all(hasattr(w.make(1), m) for m in ("update", "score"))]
    sequential = {}
    for w in ready:
        det = w.make(7)
        sequential[w.name] = [w.update_and_score(det, i) for i in range(200)] + [det.to_json()]

    dets = {w.name: w.make(7) for w in ready}
    results = {w.name: [] for w in ready}
    snapshots = {w.name: [] for w in ready}

    def feeder(w):
        def run():
            det = dets[w.name]
            for i in range(200):
                s, _ = retry(lambda: w.update_and_score(det, i), "Already borrowed")
                results[w.name].append(s)
            results[w.name].append(det.to_json())
        return run

    def snapshotter(w):
        def run():
            det = dets[w.name]
            for _ in range(30):
                text, _ = retry(lambda: pickle.dumps(det), "Already mutably borrowed")
                snapshots[w.name].append(pickle.loads(text).to_json())
        return run

    run_threads([feeder(w) for w in ready] + [snapshotter(w) for w in ready])
    assert results == sequential
    for w in ready:
        replay = w.make(7)
        texts = {replay.to_json()}
        for i in range(200):
            w.update(replay, i)
            texts.add(replay.to_json())
        assert all(s in texts for s in snapshots[w.name])
