// The Random Cut Forest: an ensemble of trees sharing one point store, each
// tree fed by its own time-decayed sampler.
//
// The class is large, so its members are implemented by concern rather than
// in one file: forest.cpp (configuration and construction), update.cpp
// (update), score.cpp (score and query_point) and state.cpp (the JSON and
// binary state). The read-only queries beyond the score are free functions
// over the const forest: query.hpp and impute.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/rng.hpp"
#include "core/state.hpp"
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

struct ForestRead; // a state as either reader leaves it, before its checks (state.cpp)

class Forest {
public:
    // Validates the configuration (first failure wins) and builds an empty
    // forest seeded from `seed`, or from OS entropy when absent. Throws
    // std::bad_alloc when the structures cannot be reserved.
    static core::Result<Forest> create(const RcfConfig& config, std::optional<std::uint64_t> seed);

    const RcfConfig& config() const { return config_; }
    std::uint64_t num_trees() const { return trees_.size(); }
    std::uint64_t entries_seen() const { return entries_seen_; }
    bool is_ready() const { return entries_seen_ > config_.readiness_threshold(); }
    std::uint64_t dims() const { return point_store_.dim; }
    // "Forest(input_dim=..., ..., entries_seen=...)": Python's repr() and str().
    std::string repr() const;

    // Feeds one observation (internal shingling) or one full point.
    core::Status update(std::span<const float> point);
    // The checks update() makes before it changes anything; they do not
    // depend on the state, so a batch can check every row up front.
    core::Status check_update(std::span<const float> point) const;
    // Anomaly score of `point` against the current trees; changes nothing.
    core::Result<double> score(std::span<const float> point) const;
    // score(point), then update(point); the update's error wins.
    core::Result<double> update_and_score(std::span<const float> point);

    // The point that scoring operations evaluate for the caller's `values`:
    // under internal shingling an observation completes the current shingle
    // (written to `buffer`), otherwise a full point is used as given.
    core::Result<std::span<const float>> query_point(std::span<const float> values, std::vector<float>& buffer) const;

    // Read-only views, for the queries (query.hpp, impute.hpp) and the state
    // writers.
    const std::vector<RcfTree>& trees() const { return trees_; }
    const std::vector<Sampler>& samplers() const { return samplers_; }
    const PointStore& point_store() const { return point_store_; }
    const core::Xoshiro256PlusPlus& rng() const { return rng_; }

    // The state (state.cpp); a refused JSON text says "invalid forest JSON: ".
    TARN_STATE_ENTRY_POINTS(Forest)

private:
    Forest() = default;
    // A read state once it passes its checks, or the failure behind prefix.
    static core::Result<Forest> from_loaded(ForestRead& read, std::string_view prefix);
    // Re-reserves the writer scratch after a rebuild from a saved state.
    void reserve_scratch();

    RcfConfig config_;
    std::vector<RcfTree> trees_;
    std::vector<Sampler> samplers_;
    PointStore point_store_;
    std::uint64_t entries_seen_ = 0;
    core::Xoshiro256PlusPlus rng_;
    // Writer scratch: the accept decisions of the current update.
    std::vector<AcceptDecision> accepts_;
};

} // namespace tarn::rcf
