// Time-decayed reservoir sampler of one tree.
//
// Entries carry random weights; the sample keeps the smallest ones in a
// binary max-heap so that the entry to evict next sits at position 0. Later
// points get their weight lowered by the time decay, which makes the sample
// lean towards recent observations.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/rng.hpp"
#include "rcf/common.hpp"

namespace tarn::rcf {

struct SamplerDecision {
    double weight = 0.0;
    bool evict = false;
    std::uint64_t evicted_slot = kNone; // meaningful when evict is true
};

struct Sampler {
    std::uint64_t capacity = 0;
    std::vector<double> weights;              // capacity entries, heap order
    std::vector<std::uint64_t> point_indices; // capacity entries
    std::uint64_t size = 0;

    // An empty sampler: capacity weights 0.0 and empty markers. Throws
    // std::bad_alloc when the entries cannot be reserved.
    static Sampler create(std::uint64_t capacity);

    // Draws this update's weight (and, before the sample is full, the warm-up
    // acceptance) from `rng`. `n` is the update's sequence number, `decay` the
    // effective time decay, `accept_fraction` the warm-up parameter.
    std::optional<SamplerDecision> decide(core::Xoshiro256PlusPlus& rng, std::uint64_t n, double decay,
                                          double accept_fraction) const;

    // Books an accepted entry with weight w referring to point slot h.
    void commit(double w, std::uint64_t h);
};

} // namespace tarn::rcf
