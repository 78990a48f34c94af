"""DetectorPool: one detector per key, evicted to and restored from a real SQLite store."""

import os
import random
import sqlite3
import subprocess
import sys
import textwrap

import pytest

import tarn
from tarn.keyed import DetectorPool, key_seed

KEYS = ["host-1", "host-2", 7, -3, b"\x00raw", "h\u00e9te", 2**63 - 1, "1", 1, b"1", *(f"k{i}" for i in range(20))]


def make_forest(key):
    return tarn.Forest(2, shingle_size=2, num_trees=8, capacity=16, seed=key_seed(key))


def make_mstream(key):
    return tarn.MStream(numeric_dim=1, categorical_dim=1, num_buckets=64, seed=key_seed(key, 5))


def events(n, seed=1):
    """(key, method, args) steps: single and batch calls over many keys, MStream ticks per key."""
    rng = random.Random(seed)
    ticks = dict.fromkeys(KEYS, 1)
    steps = []
    for _ in range(n):
        key = rng.choice(KEYS)
        rows = [[rng.gauss(0, 1), rng.gauss(5, 2)] for _ in range(rng.choice([1, 1, 3]))]
        steps.append((key, rows, ticks[key]))
        ticks[key] += rng.choice([0, 1])
    return steps


def feed_forest(target, steps):
    """Scores of the steps; `target(key)` is the detector or a pool bound to the key."""
    out = []
    for key, rows, _ in steps:
        d = target(key)
        if len(rows) == 1:
            out.append(d.update_and_score(rows[0]))
        else:
            out.extend(d.update_and_score_many(rows))
    return out


class Bound:
    """A pool seen through one key, with the detector's method names."""

    def __init__(self, pool, key):
        self.pool, self.key = pool, key

    def __getattr__(self, name):
        method = getattr(self.pool, name)
        return lambda *args: method(self.key, *args)


def reference(make, steps, feed):
    detectors = {}
    scores = feed(lambda k: detectors.setdefault(k, make(k)), steps)
    return scores, detectors


def test_pool_equals_one_detector_per_key_with_evictions(tmp_path):
    steps = events(400)
    expected, detectors = reference(make_forest, steps, feed_forest)
    with DetectorPool(make_forest, store=tmp_path / "s.db", max_resident=2) as pool:
        got = feed_forest(lambda k: Bound(pool, k), steps)
        assert pool.resident() == 2
        assert len(pool) == len(KEYS) and set(pool.keys()) == set(KEYS)
        for key in KEYS:
            assert pool.get(key).to_json() == detectors[key].to_json()
    assert got == expected

    def feed_mstream(target, steps):
        out = []
        for key, rows, tick in steps:
            d = target(key)
            cats = [[int(r[1] > 5)] for r in rows]
            out.extend(d.update_and_score_many([r[:1] for r in rows], cats, [tick] * len(rows)))
            out.append(d.score([rows[0][0]], [1], tick))
        return out

    expected, _ = reference(make_mstream, steps, feed_mstream)
    pool = DetectorPool(make_mstream, max_resident=3)  # evictions into the in-memory store
    assert feed_mstream(lambda k: Bound(pool, k), steps) == expected


def test_flush_close_reopen_half_way_equals_one_run(tmp_path):
    steps = events(300, seed=2)
    expected, _ = reference(make_forest, steps, feed_forest)
    path = tmp_path / "s.db"
    got = []
    for part in (steps[:120], steps[120:200], steps[200:]):
        with DetectorPool(make_forest, store=path, max_resident=4) as pool:
            got += feed_forest(lambda k: Bound(pool, k), part)
            pool.flush()  # a second flush in a row writes nothing new
    assert got == expected
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA journal_mode").fetchone() == ("wal",)
        assert db.execute("SELECT DISTINCT class FROM detectors").fetchall() == [("Forest",)]


CHILD = """
import os, sys
sys.path[:0] = {path!r}
import tarn
from tarn.keyed import DetectorPool
from test_keyed import events, feed_forest, make_forest, Bound
steps = events(300, seed=3)
pool = DetectorPool(make_forest, store={store!r}, max_resident=3)
feed_forest(lambda k: Bound(pool, k), steps[:150])
pool.flush()
feed_forest(lambda k: Bound(pool, k), steps[150:])  # evictions write into the open transaction
pool.discard("host-1")
os._exit(0)
"""


def test_killed_process_leaves_the_last_flush(tmp_path):
    store = str(tmp_path / "s.db")
    code = CHILD.format(path=[os.path.dirname(__file__), *sys.path], store=store)
    subprocess.run([sys.executable, "-c", textwrap.dedent(code)], check=True, timeout=60)
    steps = events(300, seed=3)
    _, at_flush = reference(make_forest, steps[:150], feed_forest)
    with DetectorPool(make_forest, store=store, max_resident=3) as pool:
        assert sorted(map(repr, pool.keys())) == sorted(map(repr, at_flush))
        for key, detector in at_flush.items():
            assert pool.get(key).to_bytes() == detector.to_bytes(), key


def test_store_errors_name_what_is_wrong(tmp_path):
    path = tmp_path / "s.db"
    with DetectorPool(make_forest, store=path) as pool:
        pool.update("host-9", [1.0, 2.0])
    with DetectorPool(make_mstream, store=path) as pool:
        with pytest.raises(ValueError, match="key 'host-9': the store holds a Forest state, but make_detector builds MStream"):
            pool.score("host-9", [1.0], [1], 1)
        pool.update("other", [1.0], [1], 1)  # other keys still work
        with pytest.raises(ValueError, match="in use by another pool"):
            DetectorPool(make_mstream, store=path)
    mixed = DetectorPool(lambda k: make_forest(k) if k == "a" else make_mstream(k))
    mixed.update("a", [1.0, 2.0])
    with pytest.raises(TypeError, match=r"make_detector\('b'\) built a MStream, but this pool holds Forest"):
        mixed.update("b", [1.0], [1], 1)
    assert "b" not in mixed and len(mixed) == 1

    text = tmp_path / "notes.txt"
    text.write_text("not a database, just text that is long enough " * 20)
    with pytest.raises(ValueError, match="not a detector store"):
        DetectorPool(make_forest, store=text)
    other = tmp_path / "other.db"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE t (x)")
    with pytest.raises(ValueError, match="not a detector store"):
        DetectorPool(make_forest, store=other)


def test_mapping_methods_and_failures_change_nothing(tmp_path):
    path = tmp_path / "s.db"
    pool = DetectorPool(make_forest, store=path, max_resident=1)
    for key in ["a", "b", 3]:
        pool.update(key, [1.0, 2.0])
    pool.flush()
    with pytest.raises(ValueError):
        pool.update("new", [1.0])  # wrong length: the new key is not kept
    with pytest.raises(ValueError):
        pool.update("a", [float("nan"), 1.0])
    assert "new" not in pool and pool.get("new") is None and len(pool) == 3
    for bad in [1.5, None, ("a",)]:
        with pytest.raises(TypeError):
            pool.update(bad, [1.0, 2.0])
        assert bad not in pool
    with pytest.raises(OverflowError):
        pool.update(2**64, [1.0, 2.0])
    pool.discard("a")  # stored, not resident
    pool.discard(3)  # resident
    pool.discard("never")
    assert pool.keys() == ["b"]
    pool.close()
    with pytest.raises(ValueError, match="closed"):
        pool.update("b", [1.0, 2.0])
    pool.close()

    # Leaving a with-block by an exception keeps the store at the last flush.
    with pytest.raises(RuntimeError):
        with DetectorPool(make_forest, store=path, max_resident=1) as pool:
            pool.update("b", [3.0, 4.0])
            pool.update("c", [3.0, 4.0])  # evicts "b" into the open transaction
            raise RuntimeError
    with DetectorPool(make_forest, store=path) as pool:
        assert pool.keys() == ["b"] and pool.get("b").entries_seen() == 1


def test_cli_key_scores_through_a_pool_and_resumes(tmp_path):
    rng = random.Random(9)
    rows = [[rng.choice(["a", "b", "c"]), f"{rng.gauss(0, 1):.4f}", f"{rng.gauss(3, 1):.4f}"] for _ in range(90)]
    store = tmp_path / "keys.db"
    got = []
    for i, part in enumerate([rows[:40], rows[40:]]):
        src = tmp_path / f"part{i}.csv"
        src.write_text("host,x,y\n" + "".join(",".join(r) + "\n" for r in part))
        out = subprocess.run([sys.executable, "-m", "tarn", "score", str(src), "--key", "host", "--seed", "3",
                              "--num-trees", "8", "--capacity", "16", "--max-resident", "2", "--warmup", "0",
                              "--state", str(store)],
                             capture_output=True, text=True, check=True).stdout
        got += [float(line.rsplit(",", 1)[1]) for line in out.splitlines()[1:]]
    detectors = {}
    expected = [
        detectors.setdefault(h, tarn.Forest(2, num_trees=8, capacity=16, seed=key_seed(h, 3))).update_and_score(
            [float(x), float(y)])
        for h, x, y in rows
    ]
    assert got == expected

    # Another detector class on the same store fails with the key and both classes, and changes nothing.
    before = {k: b for k, b in sqlite3.connect(store).execute("SELECT key, state FROM detectors")}
    failed = subprocess.run([sys.executable, "-m", "tarn", "score", str(src), "--key", "host", "-d", "onlineiforest",
                             "--state", str(store)], capture_output=True, text=True, check=False)
    assert failed.returncode == 1
    assert "the store holds a Forest state, but make_detector builds OnlineIForest" in failed.stderr
    assert {k: b for k, b in sqlite3.connect(store).execute("SELECT key, state FROM detectors")} == before

    # Without --state the pool lives in memory; the warm-up counts each key's own records.
    out = subprocess.run([sys.executable, "-m", "tarn", "score", str(src), "--key", "host", "--warmup", "2"],
                         capture_output=True, text=True, check=True).stdout
    seen = {}
    for line in out.splitlines()[1:]:
        host, score = line.split(",")[0], line.rsplit(",", 1)[1]
        seen[host] = seen.get(host, 0) + 1
        assert (score == "") == (seen[host] <= 2), line
