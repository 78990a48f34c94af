"""Writes the fuzzing seed corpora and dictionary: real states of every class.

    python fuzz/make_seeds.py OUTDIR

creates OUTDIR/<format>/*.json (small configurations, fresh and after
updates) and OUTDIR/<format>.dict (libFuzzer dictionary: the member names
found in the seeds plus literals that sit on the reader's edges), and for the
binary readers OUTDIR/<format>_bytes/*.bin (the same states as to_bytes()
writes them) with their dictionary. Needs the installed tarn package.
"""

import json
import pathlib
import random
import sys

import tarn
import tarn.alerts


def snapshots(detector, steps, feed, at=()):
    """The detector's state text after each step listed in `at` and after
    the last one; feed(i) makes step i."""
    states = []
    for i in range(steps):
        feed(i)
        if i in at:
            states.append(detector.to_json())
    states.append(detector.to_json())
    return states


def forest_states():
    states = []
    variants = [
        dict(input_dim=1, shingle_size=3, num_trees=3, capacity=8, seed=1),
        dict(input_dim=2, num_trees=2, capacity=4, time_decay=0.01, output_after=3, seed=2),
        dict(input_dim=1, shingle_size=2, num_trees=2, capacity=4, internal_shingling=False, seed=3),
    ]
    for cfg in variants:
        f = tarn.Forest(**cfg)
        states.append(f.to_json())
        rng = random.Random(cfg["seed"])
        dim = cfg["input_dim"] * (1 if cfg.get("internal_shingling", True) else cfg.get("shingle_size", 1))

        def feed(i):
            # The last three points are the same: leaves with mass above one.
            f.update([0.5] * dim if i >= 24 else [rng.gauss(0, 1) + (5.0 if i == 17 else 0.0) for _ in range(dim)])

        states += snapshots(f, 27, feed, at=(2, 9))
    return states


def oif_states():
    states = []
    for seed, (dim, trees, window, leaf, n) in enumerate([(2, 3, 16, 2, 40), (1, 2, 8, 1, 9), (3, 1, 4, 2, 0)]):
        d = tarn.OnlineIForest(dim, num_trees=trees, window_size=window, max_leaf_samples=leaf, seed=seed)
        rng = random.Random(seed)
        states += snapshots(d, n, lambda i: d.update([rng.uniform(-1, 1) * (1 + i % 5) for _ in range(dim)]),
                            at=(3, window))
    return states


def mstream_states():
    states = []
    for seed, (n, c, rows, buckets, steps) in enumerate([(2, 2, 2, 4, 12), (0, 1, 1, 2, 5), (1, 0, 2, 3, 6),
                                                         (1, 1, 1, 2, 0)]):
        m = tarn.MStream(n, c, num_rows=rows, num_buckets=buckets, alpha=0.5, seed=seed)
        rng = random.Random(seed)
        # Step i comes at time i // 3 + 1: three records a tick.
        states += snapshots(m, steps, lambda i: m.update([rng.uniform(-3, 3) for _ in range(n)],
                                                         [rng.randrange(-2, 3) for _ in range(c)], i // 3 + 1),
                            at=(2,))
    return states


def featuresketch_states():
    states = []
    small = dict(value_projection_dims=2, presence_projection_dims=2, chains_per_ensemble=2, chain_depth=3,
                 sketch_rows=2, sketch_buckets=8, decay_half_life=4)

    def feed(fs, rng, i):
        names = rng.sample(["a", "b", "c", "d", "\u00e9"], 1 + i % 3)
        event = {k: rng.uniform(-2, 2) for k in names}
        fs.update(event if i % 2 else list(event.items()))

    for seed in range(2):
        fs = tarn.FeatureSketch(**small, seed=seed)
        states.append(fs.to_json())
        rng = random.Random(seed)
        states += snapshots(fs, 12, lambda i: feed(fs, rng, i), at=(5,))
    return states


def threshold_states():
    states = []
    for kwargs in [dict(), dict(rate=0.1, warmup=3, half_life=0.5, relative_accuracy=0.2), dict(half_life=20.0)]:
        th = tarn.alerts.Threshold(**kwargs)
        states.append(th.to_json())
        rng = random.Random(len(states))
        th.update_many([0.0, float("inf"), -1.5, 1e-300] + [rng.lognormvariate(0, 3) for _ in range(40)])
        states.append(th.to_json())
    return states


CLASSES = {"forest": tarn.Forest, "onlineiforest": tarn.OnlineIForest, "mstream": tarn.MStream,
           "featuresketch": tarn.FeatureSketch, "threshold": tarn.alerts.Threshold}

# Words on the binary reader's edges: the magic and every class tag, counts
# and indices at their limits, non-finite floats.
BINARY_LITERALS = [b"TARN", b"\x01\x00\x00\x00", b"\x02\x00\x00\x00", b"\x03\x00\x00\x00",
                   b"\x04\x00\x00\x00", b"\x05\x00\x00\x00",
                   b"\xff\xff\xff\xff\xff\xff\xff\xff", b"\x00\x00\x00\x00\x01\x00\x00\x00",
                   b"\x00\x00\x80\x7f", b"\x00\x00\xc0\x7f", b"\x00\x00\x00\x00\x00\x00\xf0\x7f",
                   b"\x00\x00\x00\x80"]

FORMATS = {
    "forest": forest_states,
    "onlineiforest": oif_states,
    "mstream": mstream_states,
    "featuresketch": featuresketch_states,
    "threshold": threshold_states,
}

# Literals on the reader's edges: largest and one-past integers, signs, tiny
# and huge doubles and floats, the array form and alternatives markers.
EDGE_LITERALS = [
    "null", "true", "false", "0", "-1", "-0.0", "1e-45", "3.4028235e+38", "3.5e+38", "1e308", "1e309",
    "4294967295", "4294967296", "9223372036854775807", "18446744073709551615", "18446744073709551616",
    "{\"v\":1,\"dim\":[", "\"data\":[", "[1,[", "[]", "{}", "[[0,0,0,0]]",
]


def keys_of(value, out):
    if isinstance(value, dict):
        for k, v in value.items():
            out.add(k)
            keys_of(v, out)
    elif isinstance(value, list):
        for v in value:
            keys_of(v, out)


def dictionary_entry(text):
    return '"' + "".join(c if c.isalnum() or c in "{}[]:,._-+" else "\\x%02x" % ord(c) for c in text) + '"'


def main(out):
    out = pathlib.Path(out)
    for name, make in FORMATS.items():
        corpus = out / name
        corpus.mkdir(parents=True, exist_ok=True)
        keys = set()
        for i, text in enumerate(make()):
            (corpus / f"seed-{i:02d}.json").write_text(text)
            keys_of(json.loads(text), keys)
        lines = [dictionary_entry(f'"{k}":') for k in sorted(keys)]
        lines += [dictionary_entry(lit) for lit in EDGE_LITERALS]
        (out / f"{name}.dict").write_text("\n".join(lines) + "\n")
        binary = out / f"{name}_bytes"
        binary.mkdir(parents=True, exist_ok=True)
        for i, text in enumerate(make()):
            (binary / f"seed-{i:02d}.bin").write_bytes(CLASSES[name].from_json(text).to_bytes())
        (out / f"{name}_bytes.dict").write_text(
            "\n".join('"' + "".join("\\x%02x" % c for c in lit) + '"' for lit in BINARY_LITERALS) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
