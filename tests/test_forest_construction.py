"""Forest construction: validation order and texts, defaults, readiness, repr."""

import math

import pytest

import tarn

U64 = 2**64


@pytest.mark.parametrize("kwargs, message", [
    (dict(input_dim=0, shingle_size=0, capacity=0, time_decay=-1.0), "input_dim must be > 0"),
    (dict(input_dim=1, shingle_size=0, capacity=0), "shingle_size must be > 0"),
    (dict(input_dim=2**32, shingle_size=2**32, capacity=0), "input_dim * shingle_size overflows usize"),
    (dict(input_dim=1, capacity=0, num_trees=0), "capacity must be > 0"),
    (dict(input_dim=1, num_trees=0, time_decay=math.nan), "num_trees must be > 0"),
    (dict(input_dim=1, capacity=2**63 - 2, num_trees=1), "2 * capacity + 4 overflows usize"),
    (dict(input_dim=1, capacity=2**62, num_trees=4), "capacity * num_trees + 1 overflows usize"),
    (dict(input_dim=1, capacity=3, num_trees=(U64 - 1) // 3), "capacity * num_trees + 1 overflows usize"),
    (dict(input_dim=1, time_decay=-1e-300, initial_accept_fraction=2.0), "time_decay must be finite and >= 0.0"),
    (dict(input_dim=1, time_decay=math.inf), "time_decay must be finite and >= 0.0"),
    (dict(input_dim=1, time_decay=math.nan), "time_decay must be finite and >= 0.0"),
    (dict(input_dim=1, initial_accept_fraction=1.0000001),
     "initial_accept_fraction must be finite and in [0.0, 1.0]"),
    (dict(input_dim=1, initial_accept_fraction=-1e-9),
     "initial_accept_fraction must be finite and in [0.0, 1.0]"),
    (dict(input_dim=1, initial_accept_fraction=math.nan),
     "initial_accept_fraction must be finite and in [0.0, 1.0]"),
])
def test_validation_order_and_messages(kwargs, message):
    with pytest.raises(ValueError) as e:
        tarn.Forest(**kwargs)
    assert str(e.value) == message


def test_boundary_values_are_accepted():
    tarn.Forest(1, time_decay=-0.0)
    tarn.Forest(1, initial_accept_fraction=0.0)
    tarn.Forest(1, initial_accept_fraction=1.0)
    tarn.Forest(1, time_decay=1e300, output_after=2**64 - 1)


def test_repr_and_accessors():
    f = tarn.Forest(1)
    assert repr(f) == "Forest(input_dim=1, shingle_size=1, num_trees=50, capacity=256, entries_seen=0)"
    assert str(f) == repr(f)
    g = tarn.Forest(3, shingle_size=4, num_trees=7, capacity=9, seed=3)
    assert repr(g) == "Forest(input_dim=3, shingle_size=4, num_trees=7, capacity=9, entries_seen=0)"
    assert g.num_trees() == 7
    assert g.entries_seen() == 0
    assert g.is_ready() is False


def test_sizes_that_cannot_be_reserved_fail_cleanly():
    # Valid by the checks, but far beyond memory: an exception, never an abort.
    with pytest.raises((MemoryError, ValueError)):
        tarn.Forest(1, capacity=2**61, num_trees=1, seed=0)
    with pytest.raises((MemoryError, ValueError)):
        tarn.Forest(2**40, capacity=2**20, num_trees=2**20, seed=0)
