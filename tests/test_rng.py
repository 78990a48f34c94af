"""Seeding: xoshiro256++ words, expand_seed, and the generators a Forest is given."""

import json

import pytest

import tarn

from reference_rng import M64, Xoshiro, expand_seed


def test_reference_generator_matches_published_words():
    # Guards the reference model used below.
    assert expand_seed(0) == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F, 0xF88BB8A8724C81EC]
    g = Xoshiro.seeded(0)
    first = g.next_word()
    assert first == 0x53175D61490B23DF
    assert g.next_word() == 0x61DA6F3DC380D507
    assert (first >> 11) * 2.0**-53 == pytest.approx(0.3245752680314067, abs=1e-16)


def generators(forest):
    state = json.loads(forest.to_json())
    return [t["rng"]["s"] for t in state["trees"]], state["rng"]["s"]


def test_forest_seed_zero_generator_states():
    trees, own = generators(tarn.Forest(1, num_trees=1, seed=0))
    assert trees == [[0x5629CCB154F179BA, 0x4F71682A4B1921F3, 0x3909549D1A9A9EA8, 0x2ECD0A6CE8B2621C]]
    assert own == [0x59D7BBDA739F5447, 0xF0429382267C6FF1, 0x3F357722BAFA5135, 0x61ADB30D6BA90125]


@pytest.mark.parametrize("seed", [1, 12345, 2**63, M64])
def test_children_follow_the_master_in_order(seed):
    master = Xoshiro.seeded(seed)
    expected_trees = [expand_seed(master.next_word()) for _ in range(5)]
    expected_own = expand_seed(master.next_word())
    trees, own = generators(tarn.Forest(2, num_trees=5, capacity=4, seed=seed))
    assert trees == expected_trees
    assert own == expected_own


def test_unseeded_forests_differ_and_same_seed_agrees():
    assert generators(tarn.Forest(1, num_trees=2)) != generators(tarn.Forest(1, num_trees=2))
    assert generators(tarn.Forest(1, num_trees=3, seed=9)) == generators(tarn.Forest(1, num_trees=3, seed=9))
