// The Random Cut Forest: an ensemble of trees sharing one point store, each
// tree fed by its own time-decayed sampler.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/rng.hpp"
#include "rcf/point_store.hpp"
#include "rcf/sampler.hpp"
#include "rcf/tree/rcf_tree.hpp"

namespace tarn::rcf {

// Held exactly as the caller gave it; 0 for time_decay or output_after means
// automatic and is resolved where used.
struct RcfConfig {
    std::uint64_t input_dim = 0;
    std::uint64_t shingle_size = 1;
    std::uint64_t capacity = 256;
    std::uint64_t num_trees = 50;
    double time_decay = 0.0;
    std::uint64_t output_after = 0;
    bool internal_shingling = true;
    double initial_accept_fraction = 0.125;

    std::uint64_t dims() const { return input_dim * shingle_size; }
    // time_decay, or 0.1 / capacity when it is 0.
    double effective_time_decay() const;
    // Updates needed before the forest counts as ready (strictly more).
    std::uint64_t readiness_threshold() const;
};

// The constructor's configuration checks, first failure wins; the state
// readers run the same checks on a loaded configuration.
core::Status validate_config(const RcfConfig& config);

// One sampler's acceptance within an update.
struct AcceptDecision {
    bool evict = false;
    std::uint64_t evicted_slot = kNone;
    std::uint64_t tree = 0;
    double weight = 0.0;
};

class Forest {
public:
    RcfConfig config_;
    std::vector<RcfTree> trees;
    std::vector<Sampler> samplers;
    PointStore point_store;
    std::uint64_t entries_seen_ = 0;
    core::Xoshiro256PlusPlus rng;

    // Writer scratch: accept decisions of the current and previous update.
    std::vector<AcceptDecision> accepts;
    std::vector<AcceptDecision> accepts_spare;

    // Validates the configuration (first failure wins) and builds an empty
    // forest seeded from `seed`, or from OS entropy when absent. Throws
    // std::bad_alloc when the structures cannot be reserved.
    static core::Result<Forest> create(const RcfConfig& config, std::optional<std::uint64_t> seed);

    const RcfConfig& config() const { return config_; }
    std::uint64_t num_trees() const { return trees.size(); }
    std::uint64_t entries_seen() const { return entries_seen_; }
    bool is_ready() const { return entries_seen_ > config_.readiness_threshold(); }
    std::uint64_t dims() const { return point_store.dim; }

    // Feeds one observation (internal shingling) or one full point.
    core::Status update(std::span<const float> point);
    // Anomaly score of `point` against the current trees; changes nothing.
    core::Result<double> score(std::span<const float> point) const;
    // score(point), then update(point); the update's error wins.
    core::Result<double> update_and_score(std::span<const float> point);

    // The point that scoring operations evaluate for the caller's `values`:
    // under internal shingling an observation completes the current shingle
    // (written to `buffer`), otherwise a full point is used as given.
    core::Result<std::span<const float>> query_point(std::span<const float> values,
                                                     std::vector<float>& buffer) const;

    // Re-reserves the writer scratch after a rebuild from a saved state.
    void reserve_scratch();
};

} // namespace tarn::rcf
