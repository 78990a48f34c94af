"""FeatureSketch: construction, events, projections, decayed sketches, state format."""

import copy
import hashlib
import inspect
import json
import math
import pickle
from collections.abc import Mapping

import pytest
from growing_dict import growing_dict

import tarn
from tarn import FeatureSketch

FRESH = 27.631021115928547  # -ln(1e-12): every bin of a fresh detector is empty
DEFAULT_REPR = (
    "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, chains_per_ensemble=16, "
    "chain_depth=8, sketch_rows=2, sketch_buckets=2048, decay_half_life=2048, entries_seen=0)")
SMALL = dict(value_projection_dims=4, presence_projection_dims=3, chains_per_ensemble=3, chain_depth=4,
             sketch_rows=2, sketch_buckets=8, decay_half_life=16)
U64_MAX = 2**64 - 1


def small(seed=7, **overrides):
    return FeatureSketch(**{**SMALL, **overrides}, seed=seed)


def events(n, seed=0):
    """A deterministic stream of mixed events: pairs with duplicates and dicts."""
    out = []
    x = seed
    for i in range(n):
        x = (x * 6364136223846793005 + 1442695040888963407) % 2**64
        names = [f"f{(x >> s) % 7}" for s in (3, 11, 19)][: 1 + x % 3]
        vals = [((x >> s) % 1000) / 37.0 - 9.0 for s in (5, 17, 29)]
        if i % 2:
            out.append(list(zip(names, vals)))
        else:
            out.append(dict(zip(names, vals)))
    return out


# ---------------------------------------------------------------- the class

def test_defaults_repr_and_docs():
    fs = FeatureSketch()
    assert repr(fs) == str(fs) == DEFAULT_REPR
    assert fs.is_ready() is False
    assert fs.entries_seen() == 0
    sig = inspect.signature(FeatureSketch)
    assert list(sig.parameters) == [
        "value_projection_dims", "presence_projection_dims", "chains_per_ensemble", "chain_depth",
        "sketch_rows", "sketch_buckets", "decay_half_life", "seed"]
    assert [p.default for p in sig.parameters.values()] == [32, 32, 16, 8, 2, 2048, 2048, None]
    assert FeatureSketch.__doc__ == (
        "FeatureSketch detector for sparse, schema-evolving feature streams.\n\n"
        "Feature events can be passed as either a mapping from feature name to value\n"
        "or as a sequence of `(name, value)` pairs. Duplicate names are combined\n"
        "before scoring, and values must be finite.\n\n"
        "Parameters\n----------\n"
        "value_projection_dims : int, optional\n"
        "    Number of random projection dimensions for feature values (default 32).\n"
        "presence_projection_dims : int, optional\n"
        "    Number of random projection dimensions for feature presence (default 32).\n"
        "chains_per_ensemble : int, optional\n"
        "    Number of chains in each sketch ensemble (default 16).\n"
        "chain_depth : int, optional\n"
        "    Number of bins traversed by each chain (default 8).\n"
        "sketch_rows : int, optional\n"
        "    Number of hash rows in each count-min sketch (default 2).\n"
        "sketch_buckets : int, optional\n"
        "    Number of buckets per sketch row (default 2048).\n"
        "decay_half_life : int, optional\n"
        "    Event-count half-life used for temporal decay (default 2048).\n"
        "seed : int, optional\n"
        "    Random seed for deterministic projections, chains, and sketches.")
    assert FeatureSketch.update.__doc__ == "Ingest a feature event without returning its score."
    assert FeatureSketch.score.__doc__ == (
        "Preview the current anomaly score for a feature event without mutating state.\n\n"
        "This is the same pre-ingest score that `update_and_score()` would return\n"
        "if called next. It is computed against the current sketches and does not\n"
        "advance the decay epoch or `entries_seen()`.")
    assert FeatureSketch.update_and_score.__doc__ == (
        "Ingest a feature event and return its anomaly score.\n\n"
        "This has the same behavior as calling `score(feature)` first and then\n"
        "`update(feature)` with the same event. Unlike a literal two-call\n"
        "sequence, this method normalizes and projects the input once.")
    assert FeatureSketch.is_ready.__doc__ == "Return True once the detector has processed at least one event."
    assert FeatureSketch.entries_seen.__doc__ == "Return the number of processed events."
    assert FeatureSketch.to_json.__doc__ == "Serialize the detector state to JSON."
    assert FeatureSketch.from_json.__doc__ == (
        "Deserialize detector state from a JSON string previously written by `to_json()`.")
    assert FeatureSketch.save_json.__doc__ == "Serialize the detector state to a JSON file."
    assert FeatureSketch.load_json.__doc__ == (
        "Deserialize detector state from a JSON file previously written by `save_json()`.")
    assert str(inspect.signature(FeatureSketch.update)) == "(self, /, feature)"
    assert str(inspect.signature(FeatureSketch.from_json)) == "(json)"
    assert str(inspect.signature(FeatureSketch.__deepcopy__)) == "(self, /, memo)"
    assert not hasattr(FeatureSketch, "__getnewargs__")


@pytest.mark.parametrize("kwargs, message", [
    (dict(value_projection_dims=0, presence_projection_dims=0), "value_projection_dims must be > 0"),
    (dict(presence_projection_dims=0, chains_per_ensemble=0), "presence_projection_dims must be > 0"),
    (dict(chains_per_ensemble=0, chain_depth=0), "chains_per_ensemble must be > 0"),
    (dict(chain_depth=0, sketch_rows=0), "chain_depth must be > 0"),
    (dict(chain_depth=1025, sketch_rows=0), "chain_depth is too large to keep chain bin widths positive"),
    (dict(sketch_rows=0, sketch_buckets=1), "sketch_rows must be > 0"),
    (dict(sketch_buckets=1, decay_half_life=0), "sketch_buckets must be >= 2"),
    (dict(decay_half_life=0, presence_projection_dims=U64_MAX), "decay_half_life must be > 0"),
    (dict(presence_projection_dims=U64_MAX, chains_per_ensemble=2**63, chain_depth=2),
     "presence_projection_dims plus the feature-count signal must fit in usize"),
    (dict(chains_per_ensemble=2**63, chain_depth=2, sketch_rows=2**63),
     "chains_per_ensemble * chain_depth must fit in usize"),
    (dict(sketch_rows=2**63, sketch_buckets=2), "sketch_rows * sketch_buckets must fit in usize"),
    (dict(chains_per_ensemble=2**32, chain_depth=1, sketch_rows=2**32, sketch_buckets=2),
     "total FeatureSketch sketch cells must fit in usize"),
    (dict(chains_per_ensemble=2**31, chain_depth=1, sketch_rows=2**31, sketch_buckets=2),
     "total FeatureSketch sketch cells must fit in usize"),  # exactly 2**63 cells
])
def test_configuration_checks_in_order(kwargs, message):
    with pytest.raises(ValueError) as e:
        FeatureSketch(**kwargs, seed=1)
    assert str(e.value) == message


def test_oversized_configurations_raise_memory_error():
    # These pass every check but cannot be held by any machine.
    with pytest.raises(MemoryError):
        FeatureSketch(chains_per_ensemble=2**30, chain_depth=1, sketch_rows=1, sketch_buckets=2**32, seed=1)
    with pytest.raises(MemoryError):
        FeatureSketch(value_projection_dims=2**62, seed=1)
    # A loaded state is held to the same rule: its per-event vectors follow the configuration.
    state = json.loads(small().to_json())
    state["config"]["value_projection_dims"] = 2**62
    with pytest.raises(MemoryError):
        FeatureSketch.from_json(json.dumps(state))


def test_argument_binding():
    with pytest.raises(TypeError) as e:
        FeatureSketch(1, 2, 3, 4, 5, 6, 7, 8, 9)
    assert str(e.value) == "FeatureSketch.__new__() takes from 0 to 8 positional arguments but 9 were given"
    with pytest.raises(OverflowError):
        FeatureSketch(seed=-1)
    with pytest.raises(TypeError) as e:
        FeatureSketch(chain_depth=2.0)
    assert str(e.value).startswith("argument 'chain_depth': ")
    FeatureSketch(**SMALL, seed=U64_MAX)
    with pytest.raises(TypeError) as e:
        FeatureSketch(seed=1).update()
    assert str(e.value) == "FeatureSketch.update() missing 1 required positional argument: 'feature'"


# ------------------------------------------------------------- scores

@pytest.mark.parametrize("event", [[], {}, {"a": 1.0}, [("x", -3.5), ("y", 0.0)], {"": 1e300}])
def test_fresh_detector_scores_every_event_the_same(event):
    fs = FeatureSketch(seed=3)
    assert fs.score(event) == FRESH
    assert fs.update_and_score(event) == FRESH
    assert fs.entries_seen() == 1 and fs.is_ready() is True
    # Scoring the same event right after its update: every level holds n = r = 1.
    assert fs.score(event).hex() == "0x0.0p+0"


def test_score_then_update_equals_update_and_score():
    a, b = small(seed=11), small(seed=11)
    for ev in events(60):
        expected = a.score(ev)
        a.update(ev)
        assert b.update_and_score(ev) == expected
    assert a.entries_seen() == b.entries_seen() == 60
    probe = {"f1": 2.0, "zz": 1.0}
    assert a.score(probe) == b.score(probe)
    assert a.to_json() == b.to_json()


def test_same_seed_same_scores_and_state():
    a, b, c = small(seed=5), small(seed=5), small(seed=6)
    sa = [a.update_and_score(ev) for ev in events(40)]
    sb = [b.update_and_score(ev) for ev in events(40)]
    sc = [c.update_and_score(ev) for ev in events(40)]
    assert sa == sb
    assert sa != sc
    assert a.to_json() == b.to_json()
    assert len(set(sa)) > 5  # the stream is not degenerate


def test_score_changes_nothing():
    fs = small()
    for ev in events(10):
        fs.update(ev)
    before = fs.to_json()
    first = fs.score({"f2": 4.0})
    assert fs.score({"f2": 4.0}) == first
    assert fs.to_json() == before
    assert fs.entries_seen() == 10


def test_duplicate_names_and_both_forms_project_alike():
    # [("a", 1.0), ("a", 2.0)] and {"a": 3.0} are the same single name with asinh(3.0).
    pairs, mapping = small(seed=9), small(seed=9)
    pairs.update([("a", 1.0), ("a", 2.0)])
    mapping.update({"a": 3.0})
    assert pairs.to_json() == mapping.to_json()
    assert pairs.score({"a": 3.0}) == 0.0
    assert mapping.score([("a", 2.0), ("a", 1.0)]) == 0.0
    # Pair order does not matter (apart from summing duplicates).
    fs = small(seed=9)
    fs.update([("b", 1.5), ("a", -2.0), ("c", 0.25)])
    assert fs.score([("c", 0.25), ("b", 1.5), ("a", -2.0)]) == 0.0
    assert fs.score({"a": -2.0, "c": 0.25, "b": 1.5}) == 0.0


def test_cancelling_duplicates_and_zero_values_keep_the_name_present():
    # 1e308 + -1e308 = 0 stays finite: the name projects asinh(0) = 0 into the
    # value vector but still counts in the presence vector.
    fs = FeatureSketch(sketch_buckets=64, seed=4)
    fs.update({"a": 0.0})
    assert fs.score([("a", 1e308), ("a", -1e308)]) == 0.0
    assert fs.score([]) > 0.0  # an empty event has a different presence vector


def test_names_are_bytes_not_normalised_text():
    fs = small(seed=2)
    fs.update({"a": 1.0})
    assert fs.score({"A": 1.0}) > 0.0
    fs = small(seed=2)
    fs.update({"\u00e9": 1.0})  # precomposed e-acute
    assert fs.score({"\u00e9": 1.0}) == 0.0
    assert fs.score({"e\u0301": 1.0}) > 0.0  # the decomposed form is another name


def test_every_byte_of_a_name_counts():
    # Names of every length class of the hash, each differing from the base
    # name in a single byte, project differently.
    for length in (1, 2, 3, 4, 5, 8, 9, 12, 16, 17, 31, 32, 33, 40, 49):
        base = "".join(chr(97 + (i * 7) % 26) for i in range(length))
        for pos in range(length):
            fs = FeatureSketch(sketch_buckets=64, seed=length)
            fs.update({base: 1.0})
            assert fs.score({base: 1.0}) == 0.0
            other = base[:pos] + "\x00" + base[pos + 1:]
            assert fs.score({other: 1.0}) > 0.0, (length, pos)
    fs = FeatureSketch(sketch_buckets=64, seed=1)
    fs.update({"": 1.0})  # the empty name is an ordinary name
    assert fs.score([("", 1.0)]) == 0.0
    assert fs.score({}) > 0.0 and fs.score({"\x00": 1.0}) > 0.0


@pytest.mark.parametrize("event, message", [
    ([("a", 1e308), ("a", 1e308)], "combined feature values must be finite"),
    ([("a", float("inf"))], "feature values must be finite"),
    ([("a", 1.0), ("b", float("nan"))], "feature values must be finite"),
    ({"a": float("-inf")}, "feature values must be finite"),
    # the first failing entry decides
    ([("a", 1e308), ("a", 1e308), ("b", float("nan"))], "combined feature values must be finite"),
    ([("b", float("nan")), ("a", 1e308), ("a", 1e308)], "feature values must be finite"),
])
def test_non_finite_events_fail_without_change(event, message):
    fs = small()
    fs.update({"x": 1.0})
    before = fs.to_json()
    for method in (fs.update, fs.score, fs.update_and_score):
        with pytest.raises(ValueError) as e:
            method(event)
        assert str(e.value) == message
    assert fs.to_json() == before


def test_decayed_reads_follow_the_half_life():
    # One chain of one level (bin_volume_ratio 1) with a single row: the score
    # of each ensemble is -ln(cell / reference mass).
    fs = FeatureSketch(value_projection_dims=1, presence_projection_dims=1, chains_per_ensemble=1,
                       chain_depth=1, sketch_rows=1, sketch_buckets=2, decay_half_life=4, seed=1)
    state = json.loads(fs.to_json())
    for name in ("value_sketch", "presence_sketch"):
        state[name]["levels"][0]["cells"] = [{"value": 1.0, "epoch": 1}, {"value": 1.0, "epoch": 1}]
        state[name]["reference_masses"] = [{"value": 1.0, "epoch": 5}]
    state["current_epoch"] = state["entries_seen"] = 5
    # Counters written at epoch 1, read at 1 + h = 5: a half; the mass is read at its own epoch.
    assert FeatureSketch.from_json(json.dumps(state)).score({"q": 1.0}) == -math.log(0.5)
    # A counter read at or before its own epoch is taken as stored.
    for name in ("value_sketch", "presence_sketch"):
        state[name]["levels"][0]["cells"] = [{"value": 0.25, "epoch": 7}, {"value": 0.25, "epoch": 7}]
    assert FeatureSketch.from_json(json.dumps(state)).score({"q": 1.0}) == -math.log(0.25)
    # Two half-lives past the mass's epoch both decay alike: the ratio is unchanged.
    for name in ("value_sketch", "presence_sketch"):
        state[name]["levels"][0]["cells"] = [{"value": 1.0, "epoch": 5}, {"value": 1.0, "epoch": 5}]
        state[name]["reference_masses"] = [{"value": 4.0, "epoch": 5}]
    state["current_epoch"] = 13
    assert FeatureSketch.from_json(json.dumps(state)).score({}) == -math.log(0.25)


def test_updates_write_at_the_next_epoch():
    fs = FeatureSketch(value_projection_dims=1, presence_projection_dims=1, chains_per_ensemble=1,
                       chain_depth=1, sketch_rows=1, sketch_buckets=2, decay_half_life=1, seed=1)
    fs.update({"a": 1.0})
    fs.update({"a": 1.0})
    state = json.loads(fs.to_json())
    assert state["current_epoch"] == state["entries_seen"] == 2
    # 1 decayed by one half-life plus 1, written at epoch 2.
    assert state["value_sketch"]["reference_masses"] == [{"value": 1.5, "epoch": 2}]
    cells = state["value_sketch"]["levels"][0]["cells"]
    assert sorted(cells, key=lambda c: c["epoch"]) == [{"value": 0.0, "epoch": 0}, {"value": 1.5, "epoch": 2}]


def test_deepest_allowed_chain_keeps_positive_widths():
    fs = FeatureSketch(value_projection_dims=2, presence_projection_dims=2, chains_per_ensemble=1,
                       chain_depth=1024, sketch_rows=1, sketch_buckets=2, seed=1)
    state = json.loads(fs.to_json())
    for name in ("value_layout", "presence_layout"):
        levels = state[name]["levels"]
        assert len(levels) == 1024
        for l, level in enumerate(levels):
            base = 2.0 if name == "presence_layout" and level["dimension"] == 2 else 4.0
            assert level["width"] == base / 2.0**l > 0.0
            assert level["bin_volume_ratio"] == 2.0**-l
            assert 0.0 <= level["offset"] < level["width"]
    assert fs.update_and_score({"a": 1.0}) == FRESH
    assert fs.score({"a": 1.0}) == 0.0


def test_default_layouts_and_construction_draws():
    state = json.loads(FeatureSketch(seed=12).to_json())
    assert list(state) == ["format_version", "config", "projection_seeds", "value_layout", "presence_layout",
                           "value_sketch", "presence_sketch", "current_epoch", "entries_seen"]
    assert state["format_version"] == 1
    for name in ("value_layout", "presence_layout"):
        layout = state[name]
        assert layout["chain_depth"] == 8 and len(layout["levels"]) == 128
        for i, level in enumerate(layout["levels"]):
            assert list(level) == ["dimension", "width", "offset", "bin_volume_ratio"]
            l = i % 8
            signal = name == "presence_layout" and level["dimension"] == 32
            assert level["width"] == (2.0 if signal else 4.0) / 2**l
            assert level["bin_volume_ratio"] == 2.0**-l
        assert max(level["dimension"] for level in layout["levels"]) <= (32 if name == "presence_layout" else 31)
    for name in ("value_sketch", "presence_sketch"):
        sketch = state[name]
        assert len(sketch["levels"]) == len(sketch["reference_masses"]) == 128
        level = sketch["levels"][0]
        assert list(level) == ["rows", "buckets", "row_hash_seeds", "cells"]
        assert (level["rows"], level["buckets"], len(level["cells"])) == (2, 2048, 4096)
        assert len(level["row_hash_seeds"]["seeds"]) == 2
        assert level["cells"][0] == {"value": 0.0, "epoch": 0}
    # 16 seed words come first, then the two layouts take 2 words per level:
    # changing only the sketch sizes leaves seeds and layouts unchanged.
    other = json.loads(FeatureSketch(sketch_rows=1, sketch_buckets=4, seed=12).to_json())
    for key in ("projection_seeds", "value_layout", "presence_layout"):
        assert other[key] == state[key]
    assert (other["value_sketch"]["levels"][0]["row_hash_seeds"]["seeds"][0]
            == state["value_sketch"]["levels"][0]["row_hash_seeds"]["seeds"][0])


# ------------------------------------------------------- event conversion

class Frozen(Mapping):
    """A read-only mapping that is not a dict."""

    def __getitem__(self, k):
        return {"a": 1.0}[k]

    def __iter__(self):
        return iter(["a"])

    def __len__(self):
        return 1


def conversion_error(event):
    fs = small()
    with pytest.raises(TypeError) as e:
        fs.update(event)
    assert fs.entries_seen() == 0
    return str(e.value)


def test_update_of_int_gives_the_combined_message():
    assert conversion_error(5) == (
        "argument 'feature': failed to extract enum KeyValueLike ('Pairs | Dict')"
        "\n- variant Pairs (Pairs): TypeError: failed to extract field KeyValueLike::Pairs.0, "
        "caused by TypeError: 'int' object is not an instance of 'Sequence'"
        "\n- variant Dict (Dict): TypeError: failed to extract field KeyValueLike::Dict.0, "
        "caused by TypeError: 'int' object is not an instance of 'dict'")


def test_event_shapes_refused():
    text = conversion_error([["a", 1.0]])
    assert "variant Pairs (Pairs): TypeError: failed to extract field KeyValueLike::Pairs.0, " \
           "caused by TypeError: 'list' object is not an instance of 'tuple'" in text
    assert "variant Dict (Dict): TypeError: failed to extract field KeyValueLike::Dict.0, " \
           "caused by TypeError: 'list' object is not an instance of 'dict'" in text
    text = conversion_error([("a", 1.0, 2.0)])
    assert "caused by ValueError: expected tuple of length 2, but got tuple of length 3" in text
    text = conversion_error({b"a": 1.0})
    assert "caused by TypeError: 'bytes' object is not an instance of 'str'" in text
    text = conversion_error([(b"a", 1.0)])
    assert "Pairs.0, caused by TypeError: 'bytes' object is not an instance of 'str'" in text
    text = conversion_error("ab")
    assert "Pairs.0, caused by TypeError: Can't extract `str` to `Vec`" in text
    text = conversion_error(Frozen())
    assert "Dict.0, caused by TypeError: 'Frozen' object is not an instance of 'dict'" in text


def test_event_forms_accepted():
    fs = small()
    fs.update([])
    fs.update({})
    fs.update(())
    fs.update((("a", 1),))                  # ints convert as floats
    fs.update([("a", True)])
    fs.update({"a": 1.0, "b": 2})

    class Named(tuple):
        pass

    fs.update([Named(("a", 1.0))])          # tuple subclasses are tuples
    assert fs.entries_seen() == 7


def test_dict_mutated_during_conversion_is_an_internal_failure():
    event = growing_dict(b=2.0)
    fs = small()
    with pytest.raises(BaseException) as e:
        fs.update(event)
    assert type(e.value).__name__ == "PanicException"
    assert not isinstance(e.value, Exception)
    assert str(e.value) == "dictionary changed size during iteration"
    assert fs.entries_seen() == 0
    fs.update({"a": 1.0})  # the detector is still usable (borrow released)
    assert fs.entries_seen() == 1

    # Same size, but a key replaced behind the last visited entry.
    event = {"a": 1.0}

    class Swapping:
        def __float__(self):
            del event["a"]
            event["c"] = 1.0
            return 1.0

    event["b"] = Swapping()
    with pytest.raises(BaseException) as e:
        fs.update(event)
    assert type(e.value).__name__ == "PanicException"
    assert str(e.value) == "dictionary keys changed during iteration"
    assert fs.entries_seen() == 1


def test_borrows_are_exclusive_for_writers():
    # A value's __float__ runs while the method holds its borrow.
    fs = small()
    seen = []

    class Reentrant:
        def __init__(self, call):
            self.call = call

        def __float__(self):
            try:
                self.call()
            except RuntimeError as e:
                seen.append(str(e))
            return 1.0

    fs.update({"a": Reentrant(lambda: fs.score({}))})
    fs.score({"a": Reentrant(lambda: fs.update({}))})
    fs.score({"a": Reentrant(lambda: fs.entries_seen())})  # readers share
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert fs.entries_seen() == 1


# ------------------------------------------------------------ state format

def test_default_state_round_trips_byte_identically():
    fs = FeatureSketch(seed=21)
    for ev in events(30):
        fs.update(ev)
    text = fs.to_json()
    assert len(text) > 20_000_000  # every cell is written out
    back = FeatureSketch.from_json(text)
    assert back.to_json() == text
    assert FeatureSketch.from_json(text.encode()).entries_seen() == 30
    assert repr(back) == DEFAULT_REPR.replace("entries_seen=0", "entries_seen=30")


def test_restored_detector_continues_identically(tmp_path):
    fs = small(seed=8)
    stream = events(80)
    for ev in stream[:40]:
        fs.update(ev)
    restored = [FeatureSketch.from_json(fs.to_json()), copy.copy(fs), copy.deepcopy(fs, {}),
                pickle.loads(pickle.dumps(fs))]
    fs.save_json(tmp_path / "fs.json")
    restored.append(FeatureSketch.load_json(str(tmp_path / "fs.json")))
    restored.append(FeatureSketch.from_json(bytearray(fs.to_json().encode())))
    with pytest.raises(RuntimeError) as e:
        FeatureSketch.load_json(tmp_path / "missing.json")
    assert str(e.value).startswith("I/O error: ")
    expected = [fs.update_and_score(ev) for ev in stream[40:]]
    for other in restored:
        assert [other.update_and_score(ev) for ev in stream[40:]] == expected
        assert other.to_json() == fs.to_json()


def test_copies_are_independent():
    fs = small(seed=8)
    fs.update({"a": 1.0})
    before = (fs.to_json(), fs.score({"b": 1.0}))
    for dup in (copy.copy(fs), copy.deepcopy(fs, {"memo": 1})):
        dup.update({"b": 1.0})
        assert dup.entries_seen() == 2
        assert dup.score({"b": 1.0}) != before[1]
    assert (fs.to_json(), fs.score({"b": 1.0})) == before
    assert fs.entries_seen() == 1


def test_setstate_replaces_everything_or_nothing():
    fs = small(seed=1)
    fs.update({"a": 1.0})
    before = fs.to_json()
    with pytest.raises(ValueError):
        fs.__setstate__(before[:-1])
    assert fs.to_json() == before
    other = FeatureSketch(seed=2)
    fs.__setstate__(other.to_json())
    assert repr(fs) == DEFAULT_REPR
    assert fs.to_json() == other.to_json()
    with pytest.raises(TypeError) as e:
        fs.__setstate__(before.encode())
    assert str(e.value).startswith("argument 'state': ")


def small_state():
    fs = small(seed=3)
    for ev in events(5):
        fs.update(ev)
    return json.loads(fs.to_json())


def load(state):
    return FeatureSketch.from_json(json.dumps(state, separators=(",", ":")))


def test_state_reader_forms():
    state = small_state()
    state["extra"] = {"anything": [1, 2]}
    state["value_sketch"]["levels"][0]["note"] = "skipped"
    state["value_sketch"]["reference_masses"][0] = [state["value_sketch"]["reference_masses"][0]["value"],
                                                    state["value_sketch"]["reference_masses"][0]["epoch"]]
    state["config"] = list(state["config"].values())
    fs = load(state)
    assert fs.to_json() == json.dumps(small_state(), separators=(",", ":"))
    text = json.dumps(small_state(), separators=(",", ":"))
    with pytest.raises(ValueError) as e:
        FeatureSketch.from_json(text.replace('{"format_version":1,', '{"format_version":1,"format_version":1,'))
    assert str(e.value).startswith("invalid FeatureSketch JSON: duplicate field `format_version`")
    with pytest.raises(TypeError) as e:
        FeatureSketch.from_json(5)
    assert "failed to extract enum StrOrBytes ('Str | Bytes')" in str(e.value)


@pytest.mark.parametrize("edit, message", [
    (lambda s: s.update(format_version=2), "invalid FeatureSketch JSON: unsupported format version"),
    (lambda s: s["config"].update(sketch_rows=0), "sketch_rows must be > 0"),
    (lambda s: s["config"].update(chain_depth=1025), "chain_depth is too large to keep chain bin widths positive"),
])
def test_state_version_and_configuration_checks(edit, message):
    state = small_state()
    edit(state)
    with pytest.raises(ValueError) as e:
        load(state)
    assert str(e.value) == message


def _drop_level(s):
    s["value_layout"]["levels"].pop()


HOSTILE = {
    "layout too short": (_drop_level, "value_layout has 11 levels, expected 12"),
    "layout depth": (lambda s: s["presence_layout"].update(chain_depth=3),
                     "presence_layout chain_depth 3 differs from chain_depth 4"),
    "value dimension": (lambda s: s["value_layout"]["levels"][5].update(dimension=4),
                        "value_layout level 5 reads dimension 4 of a vector of length 4"),
    "presence dimension": (lambda s: s["presence_layout"]["levels"][2].update(dimension=4),
                           "presence_layout level 2 reads dimension 4 of a vector of length 4"),
    "huge dimension": (lambda s: s["value_layout"]["levels"][0].update(dimension=U64_MAX),
                       f"reads dimension {U64_MAX} of a vector of length 4"),
    "sketch levels": (lambda s: s["presence_sketch"]["levels"].pop(), "presence_sketch has 11 level sketches"),
    "reference masses": (lambda s: s["value_sketch"]["reference_masses"].pop(),
                         "value_sketch has 11 reference masses, expected 12"),
    "rows": (lambda s: s["value_sketch"]["levels"][1].update(rows=3),
             "value_sketch level 1 has 3 rows of 8 buckets, expected 2 rows of 8 buckets"),
    "buckets": (lambda s: s["value_sketch"]["levels"][1].update(buckets=16), "has 2 rows of 16 buckets"),
    "cells": (lambda s: s["presence_sketch"]["levels"][3]["cells"].pop(),
              "presence_sketch level 3 has 15 cells, expected 16"),
    "row seeds": (lambda s: s["value_sketch"]["levels"][0]["row_hash_seeds"]["seeds"].pop(),
                  "value_sketch level 0 has 1 row hash seeds, expected 2"),
    "negative counter": (lambda s: s["value_sketch"]["levels"][2]["cells"][0].update(value=-1.0),
                         "value_sketch level 2 holds a negative or non-finite counter"),
    "negative mass": (lambda s: s["presence_sketch"]["reference_masses"][0].update(value=-0.5),
                      "presence_sketch holds a negative or non-finite reference mass"),
    "config and records disagree": (lambda s: s["config"].update(sketch_buckets=4),
                                    "expected 2 rows of 4 buckets"),
    "seed of three words": (lambda s: s["projection_seeds"]["value"].pop(), "invalid length 3"),
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_inconsistent_states_are_rejected(name):
    state = small_state()
    edit, fragment = HOSTILE[name]
    edit(state)
    with pytest.raises(ValueError) as e:
        load(state)
    assert str(e.value).startswith("invalid FeatureSketch JSON: ")
    assert fragment in str(e.value)


@pytest.mark.parametrize("text, fragment", [
    ('{"format_version":4294967296}', "expected u32"),
    ("", "at line 1 column"),
    ("[]", "invalid length 0"),
])
def test_unparsable_states(text, fragment):
    with pytest.raises(ValueError) as e:
        FeatureSketch.from_json(text)
    assert str(e.value).startswith("invalid FeatureSketch JSON: ")
    assert fragment in str(e.value)


def test_counter_overflow_checks():
    state = small_state()
    state["current_epoch"] = U64_MAX
    fs = load(state)
    before = fs.to_json()
    for method in (fs.update, fs.update_and_score):
        with pytest.raises(RuntimeError) as e:
            method({"a": 1.0})
        assert str(e.value) == "overflow: FeatureSketch epoch overflow"
        with pytest.raises(ValueError):  # events are prepared before the check
            method({"a": math.inf})
    fs.score({"a": 1.0})
    assert fs.to_json() == before
    state["current_epoch"] = 7
    state["entries_seen"] = U64_MAX
    fs = load(state)
    with pytest.raises(RuntimeError) as e:
        fs.update_and_score({})
    assert str(e.value) == "overflow: FeatureSketch entries_seen overflow"
    state["entries_seen"] = U64_MAX - 1
    fs = load(state)
    fs.update({})
    assert fs.entries_seen() == U64_MAX and fs.is_ready()


def test_extreme_layout_values_stay_in_range():
    # Widths far below any coordinate saturate the bin numbers instead of failing.
    state = small_state()
    for level in state["value_layout"]["levels"]:
        level["width"] = 5e-324
        level["offset"] = 0.0
    fs = load(state)
    s = fs.update_and_score({"a": 1e300, "b": -1e300})
    assert 0.0 <= s <= FRESH
    # Every non-zero coordinate lands in the first or last bin, whatever its size.
    assert fs.score({"a": 1e300, "b": -1e300}) == fs.score({"a": 3.0, "b": -3.0})


def test_loaded_layouts_of_any_width_score_exactly_as_before():
    # Drawn widths and volume ratios are powers of two, which the event path
    # treats specially; loaded ones may be anything, and row counts and
    # bucket counts other than powers of two take the general path too.
    fs = small(seed=11, sketch_rows=3, sketch_buckets=100, chain_depth=6)
    for ev in events(40):
        fs.update(ev)
    state = json.loads(fs.to_json())
    widths = [3.0, 1e-310, 2.0**1023, 0.7, 2.0**-1022, 1.5e300, 2.0**-20, 5.0]
    for layout in ("value_layout", "presence_layout"):
        for i, level in enumerate(state[layout]["levels"]):
            level["width"] = widths[i % len(widths)]
            level["bin_volume_ratio"] = [0.3, 1e300, 1e-20, 2.0**-40][i % 4]
    fs = load(state)
    h = hashlib.sha256()
    for i, ev in enumerate(events(300, seed=4)):
        if i % 7 == 0:
            h.update(fs.score(ev).hex().encode())
        h.update(fs.update_and_score(ev).hex().encode())
    h.update(fs.to_bytes())
    # Taken before the counters moved into one block per ensemble.
    assert h.hexdigest()[:16] == "f6394fc2afff3212"
