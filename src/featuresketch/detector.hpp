// The FeatureSketch detector: projection seeds, two chain layouts, two
// ensembles of decayed level sketches, an epoch and an update counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/key_value.hpp"
#include "featuresketch/chain.hpp"
#include "featuresketch/projection.hpp"
#include "featuresketch/sketch.hpp"

namespace tarn::featuresketch {

struct FeatureSketchConfig {
    std::uint64_t value_projection_dims = 32;    // V
    std::uint64_t presence_projection_dims = 32; // P; the presence vector has P + 1 entries
    std::uint64_t chains_per_ensemble = 16;      // C
    std::uint64_t chain_depth = 8;               // D, at most kMaxChainDepth
    std::uint64_t sketch_rows = 2;
    std::uint64_t sketch_buckets = 2048;
    std::uint64_t decay_half_life = 2048;
    bool operator==(const FeatureSketchConfig&) const = default;
};

struct StoredEnsemble; // an ensemble as both state forms hold it

// Beyond this depth 2^level overflows and bin widths would reach zero.
inline constexpr std::uint64_t kMaxChainDepth = 1024;
inline constexpr std::uint32_t kFormatVersion = 1;

// The twelve configuration checks, in order; the first failure is reported.
core::Status validate_config(const FeatureSketchConfig& config);

class FeatureSketch {
public:
    // Validates the configuration and draws every random parameter from
    // expand_seed(seed). Throws std::bad_alloc when the configuration needs
    // more memory than the machine has.
    static core::Result<FeatureSketch> create(const FeatureSketchConfig& config, std::optional<std::uint64_t> seed);

    // The score of an event against the sketches as they are; changes nothing.
    core::Result<double> score(const core::KeyValueLike& event) const;
    core::Status update(const core::KeyValueLike& event);
    // The checks update() makes for an event that comes `ahead` updates
    // from now, changing nothing: a batch checks every event up front.
    core::Status check_update(const core::KeyValueLike& event, std::uint64_t ahead) const;
    // score() then update() of the same event, normalising and projecting once.
    core::Result<double> update_and_score(const core::KeyValueLike& event);

    bool is_ready() const { return entries_seen_ > 0; }
    std::uint64_t entries_seen() const { return entries_seen_; }
    const FeatureSketchConfig& config() const { return config_; }
    std::string repr() const;

    // The versioned JSON state.
    core::Result<std::string> to_json() const;
    // Parses and checks a state; every later call on the result stays in bounds.
    static core::Result<FeatureSketch> from_json(std::string_view text);
    // The binary state (docs/binary-state.md), read with the same checks;
    // every error carries "invalid FeatureSketch state: ".
    core::Result<std::string> to_bytes() const;
    static core::Result<FeatureSketch> from_bytes(std::string_view data);

    bool operator==(const FeatureSketch&) const = default;

private:
    FeatureSketch() = default;
    // The checks of a state read by either reader, before it is handed out,
    // and the taking over of its checked ensembles.
    core::Status check_loaded(std::uint64_t version, std::string_view state_prefix, std::string_view config_prefix,
                              const StoredEnsemble& value_sketch, const StoredEnsemble& presence_sketch) const;
    core::Status adopt(std::uint64_t version, std::string_view state_prefix, std::string_view config_prefix,
                       StoredEnsemble&& value_sketch, StoredEnsemble&& presence_sketch);
    std::size_t estimated_text_size() const;
    core::Result<ProjectedEvent> prepare(const core::KeyValueLike& event) const;
    // The counters' room for one more update, `ahead` updates from now.
    core::Status check_counters(std::uint64_t ahead = 0) const;
    // After construction or loading: what the event path derives from the state.
    void derive();

    std::uint32_t format_version_ = kFormatVersion;
    FeatureSketchConfig config_;
    ProjectionSeeds projection_seeds_;
    ChainLayout value_layout_;
    ChainLayout presence_layout_;
    EnsembleSketch value_sketch_;
    EnsembleSketch presence_sketch_;
    std::uint64_t current_epoch_ = 0; // epoch of the last update
    std::uint64_t entries_seen_ = 0;  // number of updates

    // decay_table(decay_half_life), fetched once. Follows from the
    // configuration, so it takes no part in comparisons.
    struct SharedTable {
        const double* factors = nullptr;
        bool operator==(const SharedTable&) const { return true; }
    };
    SharedTable decay_;
};

// Throws std::bad_alloc when the state and per-event buffers of a
// configuration need more memory than the machine has, so that an oversized
// configuration fails cleanly instead of being killed part way through.
void ensure_allocatable(const FeatureSketchConfig& config);

} // namespace tarn::featuresketch
