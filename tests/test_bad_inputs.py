"""Hostile arguments for every method of every class.

One table: each row calls one method of a detector that has seen data with
one hostile argument, and expects the documented exception (its exact class,
and its text where that is fixed). Afterwards the detector's state text must
be what it was, and its borrow must be free again (a writer call succeeds).
Rows whose exception is None are odd but valid inputs: they must succeed and,
for a reading method, still change nothing.
"""

import math
import os
import re
import sys
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import pytest

import tarn

# AddressSanitizer's operator new aborts instead of throwing std::bad_alloc,
# so rows that rely on a failed allocation run without it only.
UNDER_ASAN = os.environ.get("TARN_SANITIZED") == "1"
needs_plain_allocator = pytest.mark.skipif(UNDER_ASAN, reason="allocation failure aborts under ASan")

NAN, INF = math.nan, math.inf
U64_OVER = 2**64
I64_OVER = 2**63


# ------------------------------------------------------- hostile objects

class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


class FloatBoom:
    def __float__(self):
        raise Boom("__float__")


class IndexBoom:
    def __index__(self):
        raise Boom("__index__")


class IterBoom:
    """Passes the sequence check; iterating it fails."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise Boom("__iter__")


class IterBoomLater(IterBoom):
    def __iter__(self):
        yield 1
        raise Boom("__iter__ after one element")


class LenBoom:
    """Its length fails, which only costs the reservation: it still converts."""

    def __init__(self, values):
        self.values = list(values)

    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, i):
        return self.values[i]

    def __iter__(self):
        return iter(self.values)


class HugeLen(LenBoom):
    def __len__(self):
        return sys.maxsize


class PathBoom:
    def __fspath__(self):
        raise Boom("__fspath__")


class BytesPath:
    def __fspath__(self):
        return b"/tmp/state.json"


class Clearing:
    """Empties the list that holds it while being converted."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0

    def __index__(self):
        self.owner.clear()
        return 1


def emptied_during_conversion(n):
    """A list of n + 1 numbers that empties itself while being converted,
    after its first (n > 1) or second (n = 1) element: so the converted
    list is always of another length than n."""
    values = []
    head = 1 if n == 1 else 0
    values.extend([1] * head + [Clearing(values)] + [1] * (n - head))
    return values


class Growing:
    """Adds a key to the dict that holds it while being converted."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner["zz"] = 1.0
        return 1.0


class Swapping:
    """Replaces another key of its dict (same size, other keys)."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        del self.owner["a"]
        self.owner["c"] = 1.0
        return 1.0


def growing_dict():
    d = {"a": 1.0}
    d["b"] = Growing(d)
    return d


def swapping_dict():
    d = {"a": 1.0}
    d["b"] = Swapping(d)
    return d


# ------------------------------------------------------------- subjects

def forest():
    f = tarn.Forest(2, shingle_size=2, num_trees=3, capacity=8, seed=1)
    if hasattr(f, "update"):
        for i in range(12):
            f.update([math.sin(i), math.cos(i)])
    return f


def oif():
    d = tarn.OnlineIForest(2, num_trees=3, window_size=8, max_leaf_samples=2, seed=1)
    for i in range(12):
        d.update([math.sin(i), i % 3])
    return d


def mstream():
    m = tarn.MStream(2, 1, num_rows=2, num_buckets=8, seed=1)
    for t in range(1, 6):
        m.update([t * 0.5, -t], [t % 2], t)
    return m


def fsketch():
    fs = tarn.FeatureSketch(value_projection_dims=2, presence_projection_dims=2, chains_per_ensemble=2,
                            chain_depth=3, sketch_rows=2, sketch_buckets=8, decay_half_life=4, seed=1)
    for i in range(6):
        fs.update({"a": float(i), "b": -1.0} if i % 2 else [("c", 0.5), ("a", 1.0)])
    return fs


SUBJECTS = {tarn.Forest: forest, tarn.OnlineIForest: oif, tarn.MStream: mstream, tarn.FeatureSketch: fsketch}
_STATE_CACHE = {}


def subject(cls):
    """A fresh detector of cls holding the same small, non-empty state."""
    if cls not in _STATE_CACHE:
        _STATE_CACHE[cls] = SUBJECTS[cls]().to_json()
    return cls.from_json(_STATE_CACHE[cls])


def other_state(cls):
    """A valid state text of another class."""
    return subject(tarn.FeatureSketch if cls is not tarn.FeatureSketch else tarn.OnlineIForest).to_json()


# ---------------------------------------------------------------- table

@dataclass
class Ctx:
    cls: type
    tmp: Any  # pathlib.Path of a per-row temporary directory


@dataclass
class Case:
    cls: type
    method: str
    args: Callable[[Ctx], tuple]
    exc: Any  # exception class, or None for an accepted input
    message: str = None  # regular expression searched in str(exception)
    marks: tuple = ()
    kwargs: Callable[[Ctx], dict] = field(default=lambda c: {})
    note: str = ""


CASES = []

STATIC = {"from_json", "load_json", "from_bytes"}
WRITERS = {"update", "update_and_score", "update_and_score_detailed", "__setstate__", "update_many",
           "update_and_score_many"}


def add(cls, method, args, exc, message=None, marks=(), note="", kwargs=None):
    CASES.append(Case(cls, method, args, exc, message, tuple(marks), kwargs or (lambda c: {}), note))


def exact(text):
    return "^" + re.escape(text) + "$"


def starts(text):
    return "^" + re.escape(text)


def arg_type_error(param):
    return starts(f"argument '{param}': ")


def dimension_mismatch(expected, got):
    return exact(f"dimension mismatch: expected {expected}, got {got}")


def with_slot(valid, slot, value):
    """valid args with position `slot` replaced by the value made by `value(ctx)`."""
    def make(c):
        args = list(valid)
        args[slot] = value(c)
        return tuple(args)
    return make


def sequence_rows(cls, method, valid, slot, param, length, element, reported=None):
    """Hostile objects for a number-list parameter.

    length: the required length, or None when any length converts.
    element: "float" (point, numeric list), "int" (categorical list) or
    "index" (index list). reported: the expected length that the
    dimension-mismatch text names, when it differs from `length`."""
    def row(value, exc, message=None, note=""):
        add(cls, method, with_slot(valid, slot, value), exc, message, note=note)

    tm = arg_type_error(param)
    n = length or 1
    row(lambda c: None, TypeError, exact(f"argument '{param}': 'None' is not an instance of 'Sequence'"))
    row(lambda c: 5, TypeError, exact(f"argument '{param}': 'int' object is not an instance of 'Sequence'"))
    row(lambda c: "1" * n, TypeError, exact(f"argument '{param}': Can't extract `str` to `Vec`"))
    row(lambda c: set(range(n)), TypeError, tm, note="set")
    row(lambda c: (float(i) for i in range(n)), TypeError, tm, note="generator")
    row(lambda c: {i: 1.0 for i in range(n)}, TypeError, tm, note="dict")
    row(lambda c: [None] * n, TypeError, tm)
    row(lambda c: ["1"] * n, TypeError, tm)
    row(lambda c: IterBoom(), Boom, "__iter__")
    row(lambda c: IterBoomLater(), Boom, "after one element")
    row(lambda c: np.zeros((n, 3)), TypeError, tm, note="2-d array")
    row(lambda c: np.array(1), TypeError, tm, note="0-d array")
    row(lambda c: np.array(["x"] * n), TypeError, tm, note="str array")
    row(lambda c: np.array([None] * n, dtype=object), TypeError, tm, note="object array")
    row(lambda c: [IndexBoom()] * n, Boom, "__index__")
    if length is not None:
        named = reported or length
        row(lambda c: [1] * (length + 1), ValueError, dimension_mismatch(named, length + 1))
        row(lambda c: [], ValueError, dimension_mismatch(named, 0))
        row(lambda c: emptied_during_conversion(length), ValueError, dimension_mismatch(named, 2 if length == 1 else 1))
    if element == "float":
        row(lambda c: [FloatBoom()] * n, Boom, "__float__")
        row(lambda c: [2**1024] * n, OverflowError)
    else:
        row(lambda c: [1.5] * n, TypeError, tm)
        row(lambda c: np.array([1.5] * n), TypeError, tm, note="float array")
        row(lambda c: [-I64_OVER - 1] * n, OverflowError)
    if element == "int":
        row(lambda c: [I64_OVER] * n, OverflowError)
        row(lambda c: np.array([I64_OVER] * n, dtype=np.uint64), OverflowError, note="uint64 array")
    if element == "index":
        row(lambda c: [-1] * n, OverflowError)
        row(lambda c: [U64_OVER] * n, OverflowError)


def non_finite_rows(cls, method, valid, slot, length, message, f32):
    """NaN and infinities (and, for 32-bit points, doubles beyond the 32-bit
    range): refused with `message`, or accepted when message is None."""
    exc = ValueError if message else None
    msg = exact(message) if message else None
    values = [NAN, INF, -INF] + ([1e300] if f32 else [])
    for v in values:
        add(cls, method, with_slot(valid, slot, lambda c, v=v: [0.5] * (length - 1) + [v]), exc, msg,
            note=repr(v))
    add(cls, method, with_slot(valid, slot, lambda c: np.full(length, np.nan)), exc, msg, note="nan array")


def accepted_forms(cls, method, valid, slot, length):
    """Odd but valid number lists: must succeed."""
    for note, value in [
        ("float32 array", lambda c: np.linspace(-1, 1, length).astype(np.float32)),
        ("int8 array", lambda c: np.arange(length, dtype=np.int8)),
        ("bool list", lambda c: [True] * length),
        ("failing __len__", lambda c: LenBoom([0.25] * length)),
        ("huge __len__", lambda c: HugeLen([0.25] * length)),
        ("range", lambda c: range(length)),
    ]:
        add(cls, method, with_slot(valid, slot, value), None, note=note)


def count_rows(cls, method, valid, slot, param, zero_message=None):
    """Hostile objects for an unsigned integer parameter."""
    def row(value, exc, message=None, note="", marks=()):
        add(cls, method, with_slot(valid, slot, value), exc, message, marks, note)

    row(lambda c: -1, OverflowError)
    row(lambda c: U64_OVER, OverflowError)
    row(lambda c: 2.0, TypeError, arg_type_error(param))
    row(lambda c: np.float64(2.0), TypeError, arg_type_error(param))
    row(lambda c: "2", TypeError, arg_type_error(param))
    row(lambda c: None, TypeError, arg_type_error(param))
    row(lambda c: IndexBoom(), Boom, "__index__")
    if zero_message:
        row(lambda c: 0, ValueError, exact(zero_message))


def float_rows(cls, method, valid, slot, param, bad_values, message):
    def row(value, exc, msg=None, note=""):
        add(cls, method, with_slot(valid, slot, value), exc, msg, note=note)

    row(lambda c: "0.5", TypeError, arg_type_error(param))
    row(lambda c: None, TypeError, arg_type_error(param))
    row(lambda c: FloatBoom(), Boom, "__float__")
    row(lambda c: 2**1024, OverflowError)
    for v in bad_values:
        row(lambda c, v=v: v, ValueError, exact(message), note=repr(v))


def binding_rows(cls, method, valid):
    """Wrong argument counts, unknown keywords and foreign receivers."""
    name = f"{cls.__name__}.{method}()"
    add(cls, method, lambda c: tuple(valid) + (1,) * 3, TypeError, starts(name + " takes "))
    # Methods without parameters refuse every keyword with the interpreter's
    # own text.
    kw = (exact(f"{name} takes no keyword arguments") if not valid and method != "__new__"
          else exact(f"{name} got an unexpected keyword argument 'bogus'"))
    add(cls, method, lambda c: tuple(valid), TypeError, kw, kwargs=lambda c: {"bogus": 1})
    if method not in STATIC and method != "__new__":
        add(cls, method, lambda c: tuple(valid), TypeError, note="foreign receiver",
            kwargs=lambda c: {"__receiver__": subject(tarn.MStream if cls is not tarn.MStream else tarn.Forest)})


# ----------------------------------------------------- per-class rows

def point_method_rows(cls, method, length, valid, slot, finite_message, reported=None):
    binding_rows(cls, method, valid)
    sequence_rows(cls, method, valid, slot, "point", length, "float", reported)
    non_finite_rows(cls, method, valid, slot, length, finite_message, f32=True)
    accepted_forms(cls, method, valid, slot, length)


# Forest: input_dim 2, shingle_size 2 with internal shingling, so updates
# take 2 values and queries take 2 (an observation) or 4 (a full point); a
# query's length error names the full length.
F = tarn.Forest
point_method_rows(F, "update", 2, ([0.5, -0.5],), 0, "point values must be finite")
point_method_rows(F, "update_and_score", 2, ([0.5, -0.5],), 0, "point values must be finite", reported=4)
for m in ("score", "displacement_score", "attribution", "density"):
    # Queries score non-finite coordinates rather than refusing them.
    point_method_rows(F, m, 2, ([0.5, -0.5],), 0, None, reported=4)
point_method_rows(F, "near_neighbors", 2, ([0.5, -0.5], 3, 50), 0, None, reported=4)
count_rows(F, "near_neighbors", ([0.5, -0.5], 3, 50), 1, "top_k")
count_rows(F, "near_neighbors", ([0.5, -0.5], 3, 50), 2, "percentile")
add(F, "near_neighbors", lambda c: ([0.5, -0.5], 3, 101), ValueError, exact("percentile must be in [0, 100]"))
# Extreme but valid scalars: a top_k beyond any sample must not size a buffer.
add(F, "near_neighbors", lambda c: ([0.5, -0.5, 1.0, 2.0], 2**64 - 1, 0), None, note="top_k 2**64-1")
add(F, "extrapolate", lambda c: (2**64 - 1,), ValueError, starts("extrapolation requires look_ahead <= shingle_size"))
IMPUTE = ([0.5, -0.5, 0.25, 1.0], [1], 1.0)
binding_rows(F, "impute", IMPUTE)
sequence_rows(F, "impute", IMPUTE, 0, "point", 4, "float")
sequence_rows(F, "impute", IMPUTE, 1, "missing", None, "index")
add(F, "impute", lambda c: ([0.5] * 4, [4], 1.0), RuntimeError, exact("index out of bounds: 4"))
add(F, "impute", lambda c: ([0.5] * 4, [-1], 1.0), OverflowError)
add(F, "impute", lambda c: ([0.5] * 4, [], 1.0), ValueError, exact("missing list is empty"))
float_rows(F, "impute", IMPUTE, 2, "centrality", [], "")
for v in (NAN, INF, -5.0):
    add(F, "impute", lambda c, v=v: ([0.5, -0.5, 0.25, 1.0], [1, 1], v), None, note=f"centrality {v}")
binding_rows(F, "extrapolate", (2,))
count_rows(F, "extrapolate", (2,), 0, "look_ahead")

O = tarn.OnlineIForest
for m in ("update", "score", "update_and_score"):
    point_method_rows(O, m, 2, ([0.5, -0.5],), 0, "point values must be finite")

M = tarn.MStream
RECORD = ([0.5, 1.5], [3], 9)  # the subject's clock stands at 5
for m in ("update", "score", "update_and_score", "score_detailed", "update_and_score_detailed"):
    binding_rows(M, m, RECORD)
    sequence_rows(M, m, RECORD, 0, "numeric", 2, "float")
    non_finite_rows(M, m, RECORD, 0, 2, "numeric values must be finite", f32=False)
    accepted_forms(M, m, RECORD, 0, 2)
    sequence_rows(M, m, RECORD, 1, "categorical", 1, "int")
    count_rows(M, m, RECORD, 2, "timestamp", "timestamp must be > 0")
    add(M, m, lambda c: ([0.5, 1.5], [3], 4), ValueError, exact("timestamps must be non-decreasing: previous=5, got=4"))
    # The numeric length is checked before the categorical one, and both
    # before the timestamp.
    add(M, m, lambda c: ([0.5], [], 0), ValueError, dimension_mismatch(2, 1))
    add(M, m, lambda c: ([0.5, 1.5], [], 0), ValueError, dimension_mismatch(1, 0))
    add(M, m, lambda c: ([NAN, 1.5], [3], 4), ValueError, starts("timestamps must be non-decreasing"))

S = tarn.FeatureSketch
FEATURE = ({"a": 1.0},)
KV = starts("argument 'feature': failed to extract enum KeyValueLike ('Pairs | Dict')")
for m in ("update", "score", "update_and_score"):
    binding_rows(S, m, FEATURE)

    def row(value, exc, message=None, note="", m=m):
        add(S, m, lambda c: (value(),), exc, message, note=note)

    row(lambda: None, TypeError, KV)
    row(lambda: 5, TypeError, KV)
    row(lambda: "ab", TypeError, KV)
    row(lambda: [["a", 1.0]], TypeError, KV + r".*'list' object is not an instance of 'tuple'")
    row(lambda: [("a", 1.0, 2.0)], TypeError, KV + r".*expected tuple of length 2, but got tuple of length 3")
    row(lambda: [(1, 1.0)], TypeError, KV)
    row(lambda: {b"a": 1.0}, TypeError, KV + r".*'bytes' object is not an instance of 'str'")
    row(lambda: {1: 1.0}, TypeError, KV)
    row(lambda: {"a": "1.0"}, TypeError, KV)
    row(lambda: {"a": FloatBoom()}, TypeError, KV + r".*caused by Boom: __float__")
    row(lambda: [("a", FloatBoom())], TypeError, KV + r".*caused by Boom: __float__")
    row(lambda: [("\ud800", 1.0)], TypeError, KV + r".*UnicodeEncodeError")
    row(lambda: IterBoom(), TypeError, KV + r".*caused by Boom: __iter__")
    row(lambda: np.array([("a", 1.0)], dtype=object), TypeError, KV)
    row(lambda: {"a": NAN}, ValueError, exact("feature values must be finite"))
    row(lambda: [("a", INF)], ValueError, exact("feature values must be finite"))
    row(lambda: {"a": 1.0, "b": -INF}, ValueError, exact("feature values must be finite"))
    row(lambda: [("a", 1e308), ("a", 1e308)], ValueError, exact("combined feature values must be finite"))
    row(lambda: {"a": 2**1024}, TypeError, KV + r".*OverflowError")
    # A dict changed by its own values while it is read is an internal
    # failure of the call, never a silently different event.
    row(growing_dict, "PanicException", exact("dictionary changed size during iteration"))
    row(swapping_dict, "PanicException", exact("dictionary keys changed during iteration"))
    row(lambda: [], None, note="empty pairs")
    row(lambda: {}, None, note="empty dict")
    row(lambda: LenBoom([("a", 1.0)]), None, note="failing __len__")


# ------------------------------------------------- constructors

def ctor_rows(cls, valid, params):
    """params: (slot, name, kind, extra) with kind count/float/flag/seed."""
    binding_rows(cls, "__new__", valid)
    for slot, name, kind, extra in params:
        if kind == "count":
            count_rows(cls, "__new__", valid, slot, name, extra)
        elif kind == "float":
            values, message = extra
            float_rows(cls, "__new__", valid, slot, name, values, message)
        elif kind == "flag":
            for v in (1, 0, None, "True", np.int64(1)):
                add(cls, "__new__", with_slot(valid, slot, lambda c, v=v: v), TypeError, arg_type_error(name),
                    note=repr(v))
        elif kind == "seed":
            add(cls, "__new__", with_slot(valid, slot, lambda c: -1), OverflowError)
            add(cls, "__new__", with_slot(valid, slot, lambda c: U64_OVER), OverflowError)
            add(cls, "__new__", with_slot(valid, slot, lambda c: 1.0), TypeError, arg_type_error(name))
            add(cls, "__new__", with_slot(valid, slot, lambda c: IndexBoom()), Boom)


ctor_rows(F, (2, 2, 3, 8, 0.0, 0, True, 0.125, 1), [
    (0, "input_dim", "count", "input_dim must be > 0"),
    (1, "shingle_size", "count", "shingle_size must be > 0"),
    (2, "num_trees", "count", "num_trees must be > 0"),
    (3, "capacity", "count", "capacity must be > 0"),
    (4, "time_decay", "float", ([NAN, INF, -1e-300], "time_decay must be finite and >= 0.0")),
    (5, "output_after", "count", None),
    (6, "internal_shingling", "flag", None),
    (7, "initial_accept_fraction", "float",
     ([NAN, -INF, 1.0000001, -0.1], "initial_accept_fraction must be finite and in [0.0, 1.0]")),
    (8, "seed", "seed", None),
])
add(F, "__new__", lambda c: (2**32, 2**32), ValueError, exact("input_dim * shingle_size overflows usize"))
add(F, "__new__", lambda c: (1, 1, 1, 2**63), ValueError, exact("2 * capacity + 4 overflows usize"))
add(F, "__new__", lambda c: (1, 1, 2**40, 2**30), ValueError, exact("capacity * num_trees + 1 overflows usize"))
add(F, "__new__", lambda c: (1, 1, 2, 2**40), MemoryError, marks=[needs_plain_allocator])

ctor_rows(O, (2, 3, 8, 2, 1), [
    (0, "input_dim", "count", "input_dim must be > 0"),
    (1, "num_trees", "count", "num_trees must be > 0"),
    (2, "window_size", "count", "window_size must be > 0"),
    (3, "max_leaf_samples", "count", "max_leaf_samples must be > 0"),
    (4, "seed", "seed", None),
])
add(O, "__new__", lambda c: (1, 1, 2**64 - 1), ValueError, exact("window_size is too large"))
add(O, "__new__", lambda c: (1, 1, 8, 8), ValueError, exact("window_size must be greater than max_leaf_samples"))

ctor_rows(M, (2, 1, 2, 8, 0.5, 1), [
    (0, "numeric_dim", "count", None),
    (1, "categorical_dim", "count", None),
    (2, "num_rows", "count", "num_rows must be > 0"),
    (3, "num_buckets", "count", "num_buckets must be >= 2"),
    (4, "alpha", "float", ([NAN, INF, 0.0, 1.0, -0.5], "alpha must be in range (0, 1)")),
    (5, "seed", "seed", None),
])
add(M, "__new__", lambda c: (0, 0), ValueError, exact("at least one of numeric_dim or categorical_dim must be > 0"))
add(M, "__new__", lambda c: (1, 0, 2, 2**40), MemoryError, marks=[needs_plain_allocator])

ctor_rows(S, (2, 2, 2, 3, 2, 8, 4, 1), [
    (0, "value_projection_dims", "count", "value_projection_dims must be > 0"),
    (1, "presence_projection_dims", "count", "presence_projection_dims must be > 0"),
    (2, "chains_per_ensemble", "count", "chains_per_ensemble must be > 0"),
    (3, "chain_depth", "count", "chain_depth must be > 0"),
    (4, "sketch_rows", "count", "sketch_rows must be > 0"),
    (5, "sketch_buckets", "count", "sketch_buckets must be >= 2"),
    (6, "decay_half_life", "count", "decay_half_life must be > 0"),
    (7, "seed", "seed", None),
])
add(S, "__new__", lambda c: (2, 2, 2, 1025), ValueError,
    exact("chain_depth is too large to keep chain bin widths positive"))
add(S, "__new__", lambda c: (2**40,), MemoryError)


# -------------------------------------------------- persistence and copy

def dir_path(c):
    return str(c.tmp)


def regular_file(c, text="x"):
    p = c.tmp / "file.json"
    p.write_text(text)
    return p


for cls in SUBJECTS:
    io = starts("I/O error: ")
    binding_rows(cls, "from_json", ("{}",))
    for value, exc, message in [
        (lambda c: 5, TypeError, starts("argument 'json': failed to extract enum StrOrBytes ('Str | Bytes')")),
        (lambda c: None, TypeError, arg_type_error("json")),
        (lambda c: [256], TypeError, r"out of range integral type conversion attempted"),
        (lambda c: [-1], TypeError, r"out of range integral type conversion attempted"),
        (lambda c: [IndexBoom()], TypeError, r"caused by Boom: __index__"),
        (lambda c: "", ValueError, None),
        (lambda c: "{", ValueError, None),
        (lambda c: "null", ValueError, None),
        (lambda c: b"\xff\xfe", ValueError, None),
        (lambda c: "[" * 200 + "]" * 200, ValueError, None),
        (lambda c: '{"a":' * 200 + "1" + "}" * 200, ValueError, None),
        (lambda c: other_state(c.cls), ValueError, None),
        (lambda c: subject(c.cls).to_json() + " x", ValueError, None),
        (lambda c: subject(c.cls).to_json().replace("{", '{"entries_seen":0,', 1), ValueError,
         r"duplicate field `entries_seen`"),
        (lambda c: subject(c.cls).to_json()[:-40], ValueError, None),
        (lambda c: re.sub(r"\d+", "18446744073709551616", subject(c.cls).to_json(), count=3), ValueError, None),
        (lambda c: re.sub(r"\d+", "-1", subject(c.cls).to_json(), count=3), ValueError, None),
    ]:
        add(cls, "from_json", (lambda c, v=value: (v(c),)), exc, message)
    prefix = {tarn.Forest: "invalid forest JSON: ", tarn.OnlineIForest: "invalid OnlineIForest JSON: ",
              tarn.MStream: "invalid MStream JSON: ", tarn.FeatureSketch: "invalid FeatureSketch JSON: "}[cls]
    # Every ValueError of the reader carries the class's prefix (the
    # FeatureSketch configuration checks apart, which use the constructor's).
    for case in CASES:
        if case.cls is cls and case.method == "from_json" and case.exc is ValueError and case.message is None:
            case.message = starts(prefix)

    # The binary state: any contiguous byte buffer; every refusal of the
    # data is a ValueError naming the class.
    binary_prefix = f"invalid {cls.__name__} state: "
    binding_rows(cls, "from_bytes", (b"",))
    binding_rows(cls, "to_bytes", ())
    for value, exc, message in [
        (lambda c: None, TypeError, exact("argument 'data': a bytes-like object is required, not 'NoneType'")),
        (lambda c: subject(c.cls).to_bytes().decode("latin-1"), TypeError, arg_type_error("data")),
        (lambda c: [1, 2], TypeError, arg_type_error("data")),
        (lambda c: memoryview(subject(c.cls).to_bytes())[::2], BufferError, None),
        (lambda c: b"", ValueError, starts(binary_prefix + "not a tarn binary state")),
        (lambda c: b"TARN", ValueError, starts(binary_prefix + "not a tarn binary state")),
        (lambda c: subject(c.cls).to_json().encode(), ValueError, starts(binary_prefix + "not a tarn binary state")),
        (lambda c: subject(tarn.FeatureSketch if c.cls is not tarn.FeatureSketch else tarn.MStream).to_bytes(),
         ValueError, starts(binary_prefix + "this is a")),
        (lambda c: b"TARN\x09\x00\x00\x00\x01\x00\x00\x00", ValueError, starts(binary_prefix + "unknown class tag 9")),
        (lambda c: subject(c.cls).to_bytes()[:8] + b"\x07\x00\x00\x00" + subject(c.cls).to_bytes()[12:], ValueError,
         starts(binary_prefix + "unsupported format version 7")),
        (lambda c: subject(c.cls).to_bytes()[:-1], ValueError, starts(binary_prefix)),
        (lambda c: subject(c.cls).to_bytes()[:40], ValueError, starts(binary_prefix)),
        (lambda c: subject(c.cls).to_bytes() + b"\0", ValueError, starts(binary_prefix + "1 trailing bytes")),
        (lambda c: subject(c.cls).to_bytes()[:12] + b"\xff" * 64, ValueError, starts(binary_prefix)),
        (lambda c: bytearray(subject(c.cls).to_bytes()), None, None),
        (lambda c: memoryview(subject(c.cls).to_bytes()), None, None),
        (lambda c: np.frombuffer(subject(c.cls).to_bytes(), dtype=np.uint8), None, None),
    ]:
        add(cls, "from_bytes", (lambda c, v=value: (v(c),)), exc, message)

    binding_rows(cls, "__setstate__", ("{}",))
    for value, exc, message in [
        (lambda c: subject(c.cls).to_json().encode(), TypeError,
         exact("argument 'state': 'bytes' object is not an instance of 'str'")),
        (lambda c: None, TypeError, exact("argument 'state': 'None' is not an instance of 'str'")),
        (lambda c: "\ud800", UnicodeEncodeError, None),
        (lambda c: "", ValueError, starts(prefix)),
        (lambda c: "[" * 100000, ValueError, starts(prefix)),
        (lambda c: other_state(c.cls), ValueError, starts(prefix)),
        (lambda c: subject(c.cls).to_json()[:-1], ValueError, starts(prefix)),
    ]:
        add(cls, "__setstate__", (lambda c, v=value: (v(c),)), exc, message)

    for method in ("save_json", "load_json"):
        binding_rows(cls, method, ("x",))
        for value, exc, message in [
            (lambda c: None, TypeError, arg_type_error("path")),
            (lambda c: 5, TypeError, arg_type_error("path")),
            (lambda c: b"/tmp/state.json", TypeError, exact("argument 'path': 'bytes' object is not an instance of 'str'")),
            (lambda c: BytesPath(), TypeError, exact("argument 'path': 'bytes' object is not an instance of 'str'")),
            (lambda c: PathBoom(), Boom, "__fspath__"),
            (lambda c: "\ud800", UnicodeEncodeError, None),
            (lambda c: str(c.tmp / "a\0b"), RuntimeError, exact("I/O error: file name contained an unexpected NUL byte")),
            (dir_path, RuntimeError, io),
            (lambda c: str(c.tmp / "missing" / "state.json"), RuntimeError, io),
            (lambda c: str(regular_file(c) / "state.json"), RuntimeError, io),
            (lambda c: "", RuntimeError, io),
        ]:
            add(cls, method, (lambda c, v=value: (v(c),)), exc, message)
    # Unwritable even for root: a device that is always full, and a
    # directory of the kernel's.
    add(cls, "save_json", lambda c: ("/dev/full",), RuntimeError, io)
    add(cls, "save_json", lambda c: ("/proc/version",), RuntimeError, io)
    for value in [lambda c: regular_file(c, ""), lambda c: regular_file(c, "{"),
                  lambda c: regular_file(c, other_state(c.cls)), lambda c: "/dev/null"]:
        add(cls, "load_json", (lambda c, v=value: (v(c),)), ValueError, starts(prefix))

    for method in ("to_json", "__copy__", "__getstate__", "is_ready", "entries_seen"):
        binding_rows(cls, method, ())
    binding_rows(cls, "__deepcopy__", ({},))
    add(cls, "__deepcopy__", lambda c: (), TypeError,
        exact(f"{cls.__name__}.__deepcopy__() missing 1 required positional argument: 'memo'"))
    for memo in (None, 5, object()):
        add(cls, "__deepcopy__", lambda c, m=memo: (m,), None, note=f"memo {memo!r}")
    if cls is not tarn.FeatureSketch:
        binding_rows(cls, "__getnewargs__", ())
for cls in (tarn.Forest, tarn.OnlineIForest):
    binding_rows(cls, "num_trees", ())
binding_rows(tarn.MStream, "current_time", ())


# ------------------------------------------------------------- batches
# A batch refuses a bad row before the first row is applied (the runner
# checks that the state is unchanged), naming the row.

class ArrayBoom:
    def __array__(self, *args, **kwargs):
        raise Boom("__array__")


class Frame:
    """Hands over its array through __array__, as a pandas frame does."""

    def __init__(self, array):
        self.array = array

    def __len__(self):
        return len(self.array)

    def __array__(self, *args, **kwargs):
        return self.array


def rows_rows(cls, method, valid, slot, param, cols, element, finite_message=None, reported=None):
    """Hostile objects for a 2-D batch argument whose valid rows have `cols` values.

    valid(n): valid arguments for a batch of n rows."""
    def fill(value):
        def make(c):
            v = value(c)
            try:
                n = len(v) if not isinstance(v, str) else 1
            except TypeError:
                n = 1
            args = list(valid(n))
            args[slot] = v
            return tuple(args)
        return make

    def row(value, exc, message=None, note=""):
        add(cls, method, fill(value), exc, message, note=note)

    tm = arg_type_error(param)
    good = [0.5] * cols if element == "float" else [1] * cols
    row(lambda c: None, TypeError, exact(f"argument '{param}': 'None' is not an instance of 'Sequence'"))
    row(lambda c: "ab", TypeError, exact(f"argument '{param}': Can't extract `str` to `Vec`"))
    row(lambda c: np.zeros(cols), TypeError,
        exact(f"argument '{param}': expected a 2-dimensional array, got a 1-dimensional one"))
    row(lambda c: np.zeros((1, cols, 1)), TypeError, starts(f"argument '{param}': expected a 2-dimensional"))
    row(lambda c: np.array(3.0), TypeError, starts(f"argument '{param}': expected a 2-dimensional"), note="0-d")
    for dtype in (bool, np.float16, np.complex128, object, "U1"):
        row(lambda c, d=dtype: np.zeros((1, cols), dtype=d), TypeError,
            starts(f"argument '{param}': array element type"), note=str(dtype))
    row(lambda c: [good, 5], TypeError,
        exact(f"argument '{param}': row 1: 'int' object is not an instance of 'Sequence'"))
    row(lambda c: [good, ["x"] * cols], TypeError, starts(f"argument '{param}': row 1: "))
    wrong = dimension_mismatch(reported or cols, cols + 1)[1:]
    row(lambda c: [good, good + [1]], ValueError, starts("row 1: ") + wrong)
    row(lambda c: np.ones((2, cols + 1), dtype=type(good[0])), ValueError, starts("row 0: ") + wrong)
    row(lambda c: IterBoom(), Boom, "__iter__")
    row(lambda c: ArrayBoom(), Boom, "__array__")
    if element == "float":
        row(lambda c: [good, [FloatBoom()] * cols], Boom, "__float__")
        row(lambda c: [good, [2**1024] * cols], OverflowError, starts("row 1: "))
        for bad in (NAN, -INF):
            rows = np.array([good, good, [bad] * cols])
            if finite_message:
                row(lambda c, r=rows: r, ValueError, exact("row 2: " + finite_message), note=f"{bad} at row 2")
            else:
                row(lambda c, r=rows: r, None, note=f"{bad} accepted")
    else:
        row(lambda c: np.array([good, good], dtype=np.float64), TypeError,
            exact(f"argument '{param}': array element type 'd' is not an integer type"))
        row(lambda c: [good, [1.5] * cols], TypeError, starts(f"argument '{param}': row 1: "))
        row(lambda c: np.array([good, [I64_OVER] * cols], dtype=np.uint64), OverflowError,
            exact("row 1: Python int too large to convert to C long"))
    # Odd but valid layouts and types.
    for note, value in [
        ("fortran float32", lambda c: np.asfortranarray(np.array([good] * 3, dtype=np.float32 if element == "float" else np.int32))),
        ("strided", lambda c: np.array([good * 2] * 4)[::2, ::2]),
        ("big-endian", lambda c: np.array([good] * 2, dtype=">f8" if element == "float" else ">i8")),
        ("uint8", lambda c: np.ones((2, cols), dtype=np.uint8)),
        ("list of arrays", lambda c: [np.array(good), np.array(good, dtype=np.int16)]),
        ("__array__", lambda c: Frame(np.array([good] * 2))),
    ]:
        row(value, None, note=note)


for cls in (F, O):
    for m, finite in (("update_many", "point values must be finite"),
                      ("score_many", None if cls is F else "point values must be finite"),
                      ("update_and_score_many", "point values must be finite")):
        binding_rows(cls, m, ([[0.5, -0.5]],))
        rows_rows(cls, m, lambda n: (None,), 0, "points", 2, "float", finite,
                  reported=4 if cls is F and m == "score_many" else None)
        add(cls, m, lambda c: ([],), None, note="no rows")
        add(cls, m, lambda c: (np.zeros((0, 7)),), None, note="no rows, other width")
add(F, "score_many", lambda c: ([[0.5, -0.5, 1.0, 2.0], [0.5, 1.0]],), None, note="full points and observations")
add(F, "update_many", lambda c: ([[0.5, -0.5], [0.5, -0.5, 1.0, 2.0]],), ValueError, exact("row 1: dimension mismatch: expected 2, got 4"))

BATCH = ([[0.5, 1.5], [0.5, 1.5]], [[3], [4]], [9, 9])
for m in ("update_many", "score_many", "update_and_score_many"):
    binding_rows(M, m, BATCH)
    records = lambda n: ([[0.5, 1.5]] * n, [[3]] * n, [9] * n)  # noqa: E731
    rows_rows(M, m, records, 0, "numeric", 2, "float", "numeric values must be finite")
    rows_rows(M, m, records, 1, "categorical", 1, "int")
    add(M, m, lambda c: (BATCH[0], BATCH[1], [9]), ValueError, exact("numeric has 2 rows but timestamps has 1"))
    add(M, m, lambda c: (BATCH[0], [[3]], [9, 9]), ValueError, exact("categorical has 1 rows but timestamps has 2"))
    add(M, m, lambda c: (BATCH[0], BATCH[1], np.array([[9, 9]])), TypeError,
        exact("argument 'timestamps': expected a 1-dimensional array, got a 2-dimensional one"))
    add(M, m, lambda c: (BATCH[0], BATCH[1], np.array([9.0, 9.0])), TypeError,
        exact("argument 'timestamps': array element type 'd' is not an integer type"))
    add(M, m, lambda c: (BATCH[0], BATCH[1], np.array([9, -1])), OverflowError,
        exact("row 1: can't convert negative int to unsigned"))
    add(M, m, lambda c: (BATCH[0], BATCH[1], [9, "9"]), TypeError, starts("argument 'timestamps': row 1: "))
    add(M, m, lambda c: (BATCH[0], BATCH[1], [9, 0]), ValueError, exact("row 1: timestamp must be > 0"))
    add(M, m, lambda c: (BATCH[0], BATCH[1], [4, 9]), ValueError,
        exact("row 0: timestamps must be non-decreasing: previous=5, got=4"))
    # None stands only for a dimension of 0.
    add(M, m, lambda c: (None, BATCH[1], [9, 9]), TypeError, exact("argument 'numeric': 'None' is not an instance of 'Sequence'"))
    add(M, m, lambda c: ([[], []], BATCH[1], [9, 9]), ValueError, exact("row 0: dimension mismatch: expected 2, got 0"))
    add(M, m, lambda c: ([], [], np.zeros(0, dtype=np.uint8)), None, note="no rows")
# Timestamps continue from the clock row after row when the batch learns;
# previews each stand alone against the clock.
add(M, "update_many", lambda c: (BATCH[0], BATCH[1], [9, 8]), ValueError,
    exact("row 1: timestamps must be non-decreasing: previous=9, got=8"))
add(M, "update_and_score_many", lambda c: (BATCH[0], BATCH[1], [9, 8]), ValueError,
    exact("row 1: timestamps must be non-decreasing: previous=9, got=8"))
add(M, "score_many", lambda c: (BATCH[0], BATCH[1], [9, 8]), None, note="previews stand alone")

EVENTS = ([{"a": 1.0}, [("b", 2.0)]],)
for m in ("update_many", "score_many", "update_and_score_many"):
    binding_rows(S, m, EVENTS)

    def row(value, exc, message=None, note="", m=m):
        add(S, m, lambda c: (value(),), exc, message, note=note)

    row(lambda: None, TypeError, exact("argument 'events': 'NoneType' object is not iterable"))
    row(lambda: 5, TypeError, exact("argument 'events': 'int' object is not iterable"))
    row(lambda: [{"a": 1.0}, 5], TypeError,
        starts("argument 'events': row 1: failed to extract enum KeyValueLike ('Pairs | Dict')"))
    row(lambda: [{"a": 1.0}, {"a": FloatBoom()}], TypeError, starts("argument 'events': row 1: ") + r".*caused by Boom")
    row(lambda: [{"a": 1.0}, {"a": NAN}], ValueError, exact("row 1: feature values must be finite"))
    row(lambda: ({"a": 1.0} if i == 0 else next(iter([])) for i in range(2)), RuntimeError, note="generator fails")
    row(lambda: [{"a": 1.0}, growing_dict()], "PanicException", exact("dictionary changed size during iteration"))
    row(lambda: IterBoom(), Boom, "__iter__")
    row(lambda: [], None, note="no events")
    row(lambda: ({"a": float(i)} for i in range(3)), None, note="generator")
    row(lambda: ([("a", 1.0)], {"b": 2}), None, note="tuple of both forms")


# ---------------------------------------------------------------- runner

def case_ids():
    seen = {}
    for c in CASES:
        key = f"{c.cls.__name__}.{c.method}"
        seen[key] = seen.get(key, -1) + 1
        yield f"{key}-{seen[key]}" + (f"-{c.note}" if c.note else "")


def call(case, det, ctx):
    args = case.args(ctx)
    kwargs = dict(case.kwargs(ctx))
    receiver = kwargs.pop("__receiver__", det)
    if case.method == "__new__":
        return case.cls(*args, **kwargs)
    if case.method in STATIC:
        return getattr(case.cls, case.method)(*args, **kwargs)
    return getattr(case.cls, case.method)(receiver, *args, **kwargs)


@pytest.mark.parametrize("case", [pytest.param(c, marks=c.marks, id=i) for c, i in zip(CASES, case_ids())])
def test_hostile_argument(case, tmp_path):
    if not hasattr(case.cls, case.method):
        pytest.skip(f"{case.cls.__name__}.{case.method} is not built yet")
    det = subject(case.cls)
    before = det.to_json()
    ctx = Ctx(case.cls, tmp_path)
    listing = sorted(p.name for p in tmp_path.iterdir())

    if case.exc is None:
        call(case, det, ctx)
    else:
        with pytest.raises(BaseException) as info:
            call(case, det, ctx)
        got = info.value
        if case.exc == "PanicException":
            assert type(got).__name__ == "PanicException"
            assert not isinstance(got, Exception)
        else:
            assert type(got) is case.exc, f"{type(got).__name__}: {got}"
        if case.message:
            assert re.search(case.message, str(got), re.S), str(got)

    if case.method in WRITERS and case.exc is None:
        return  # an accepted update changes the state, as it should
    assert det.to_json() == before
    # Neither borrow is left behind: a writer call and a reader call go through.
    det.__setstate__(before)
    assert det.to_json() == before
    if case.exc is not None and case.method in ("save_json", "load_json", "__new__"):
        # A failed save leaves no stray file next to the target.
        new = sorted(p.name for p in tmp_path.iterdir())
        assert [n for n in new if n not in listing and n != "file.json"] == []


def test_every_method_has_rows():
    """New methods need rows here: the table covers every public method."""
    covered = {(c.cls, c.method) for c in CASES}
    for cls in SUBJECTS:
        methods = {m for m in dir(cls) if not m.startswith("_")} | {
            m for m in ("__copy__", "__deepcopy__", "__getstate__", "__setstate__", "__getnewargs__")
            if hasattr(cls, m) and getattr(cls, m).__qualname__.startswith(cls.__name__)}
        missing = sorted(m for m in methods | {"__new__"} if (cls, m) not in covered)
        assert missing == [], f"{cls.__name__}: {missing}"


def test_accepted_forms_score_like_lists():
    """The odd-but-valid number lists give exactly the values of a plain list."""
    for cls, args in [(tarn.OnlineIForest, lambda p: (p,)), (tarn.MStream, lambda p: (p, [1], 9))]:
        plain = subject(cls).score(*args([0.0, 1.0]))
        for odd in (np.array([0.0, 1.0], dtype=np.float32), np.arange(2, dtype=np.int8), [False, True],
                    LenBoom([0.0, 1.0]), HugeLen([0.0, 1.0]), range(2), (0.0, 1.0)):
            assert subject(cls).score(*args(odd)) == plain
