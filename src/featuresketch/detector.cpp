#include "featuresketch/detector.hpp"

#include <new>
#include <unistd.h>

#include "core/rng.hpp"

namespace tarn::featuresketch {

core::Status validate_config(const FeatureSketchConfig& c) {
    if (c.value_projection_dims == 0) return core::invalid("value_projection_dims must be > 0");
    if (c.presence_projection_dims == 0) return core::invalid("presence_projection_dims must be > 0");
    if (c.chains_per_ensemble == 0) return core::invalid("chains_per_ensemble must be > 0");
    if (c.chain_depth == 0) return core::invalid("chain_depth must be > 0");
    if (c.chain_depth > kMaxChainDepth)
        return core::invalid("chain_depth is too large to keep chain bin widths positive");
    if (c.sketch_rows == 0) return core::invalid("sketch_rows must be > 0");
    if (c.sketch_buckets < 2) return core::invalid("sketch_buckets must be >= 2");
    if (c.decay_half_life == 0) return core::invalid("decay_half_life must be > 0");
    if (c.presence_projection_dims == UINT64_MAX) {
        return core::invalid("presence_projection_dims plus the feature-count signal must fit in usize");
    }
    std::uint64_t levels = 0;
    if (!core::checked_mul(c.chains_per_ensemble, c.chain_depth, levels)) {
        return core::invalid("chains_per_ensemble * chain_depth must fit in usize");
    }
    std::uint64_t per_level = 0;
    if (!core::checked_mul(c.sketch_rows, c.sketch_buckets, per_level)) {
        return core::invalid("sketch_rows * sketch_buckets must fit in usize");
    }
    std::uint64_t level_rows = 0;
    std::uint64_t cells = 0;
    if (!core::checked_mul(levels, c.sketch_rows, level_rows) ||
        !core::checked_mul(level_rows, c.sketch_buckets, cells) || cells >= (std::uint64_t{1} << 63)) {
        return core::invalid("total FeatureSketch sketch cells must fit in usize");
    }
    return {};
}

void ensure_allocatable(const FeatureSketchConfig& c) {
    using u128 = unsigned __int128;
    const u128 levels = u128(c.chains_per_ensemble) * c.chain_depth;
    const u128 rows = levels * c.sketch_rows;
    const u128 per_ensemble = levels * (sizeof(ChainLevel) + sizeof(DecayedValue)) +
                              rows * (sizeof(Seed4) + sizeof(WordHasher)) + rows * c.sketch_buckets * sizeof(DecayedValue);
    const u128 event = (u128(c.value_projection_dims) + c.presence_projection_dims + 1) * sizeof(double);
    const u128 needed = 2 * per_ensemble + event;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return; // unknown: let the allocator decide
    if (needed > u128(pages) * u128(page_size)) throw std::bad_alloc();
}

core::Result<FeatureSketch> FeatureSketch::create(const FeatureSketchConfig& config,
                                                  std::optional<std::uint64_t> seed) {
    // The seed is resolved before the checks, as a caller without a seed
    // expects entropy to be read either way.
    const std::uint64_t resolved = core::resolve_seed(seed);
    if (auto st = validate_config(config); !st) return core::fail(std::move(st.error()));
    ensure_allocatable(config);

    const std::uint64_t levels = config.chains_per_ensemble * config.chain_depth;
    core::Xoshiro256PlusPlus rng = core::expand_seed(resolved);
    FeatureSketch fs;
    fs.config_ = config;
    for (Seed4* key : {&fs.projection_seeds_.value, &fs.projection_seeds_.presence, &fs.projection_seeds_.feature_lo,
                       &fs.projection_seeds_.feature_hi}) {
        for (auto& w : key->k) w = rng.next_word();
    }
    fs.value_layout_ =
        build_layout(config.chains_per_ensemble, config.chain_depth, config.value_projection_dims, false, rng);
    fs.presence_layout_ =
        build_layout(config.chains_per_ensemble, config.chain_depth, config.presence_projection_dims, true, rng);
    fs.value_sketch_ = build_ensemble(config.sketch_rows, config.sketch_buckets, levels, rng);
    fs.presence_sketch_ = build_ensemble(config.sketch_rows, config.sketch_buckets, levels, rng);
    fs.derive();
    return fs;
}

core::Result<ProjectedEvent> FeatureSketch::prepare(const core::KeyValueLike& event) const {
    auto normalized = normalize_event(event);
    if (!normalized) return core::fail(std::move(normalized.error()));
    return project_event(*normalized, config_.value_projection_dims, config_.presence_projection_dims,
                         projection_seeds_);
}

void FeatureSketch::derive() { decay_.factors = decay_table(config_.decay_half_life); }

core::Status FeatureSketch::check_counters(std::uint64_t ahead) const {
    // Checked event by event, a batch meets the end of a counter exactly at
    // the event that reaches it, never past it.
    if (current_epoch_ + ahead == UINT64_MAX) {
        return core::fail(core::DetectorError::overflow("FeatureSketch epoch overflow"));
    }
    if (entries_seen_ + ahead == UINT64_MAX) {
        return core::fail(core::DetectorError::overflow("FeatureSketch entries_seen overflow"));
    }
    return {};
}

core::Status FeatureSketch::check_update(const core::KeyValueLike& event, std::uint64_t ahead) const {
    auto normalized = normalize_event(event);
    if (!normalized) return core::fail(std::move(normalized.error()));
    return check_counters(ahead);
}

core::Result<double> FeatureSketch::score(const core::KeyValueLike& event) const {
    auto projected = prepare(event);
    if (!projected) return core::fail(std::move(projected.error()));
    const std::uint64_t now = current_epoch_;
    const std::uint64_t h = config_.decay_half_life;
    const double value_score = value_sketch_.score(value_layout_, projected->value, now, h, decay_.factors);
    const double presence_score = presence_sketch_.score(presence_layout_, projected->presence, now, h, decay_.factors);
    return 0.5 * (value_score + presence_score);
}

core::Status FeatureSketch::update(const core::KeyValueLike& event) {
    auto projected = prepare(event);
    if (!projected) return core::fail(std::move(projected.error()));
    if (auto st = check_counters(); !st) return st;
    const std::uint64_t now = current_epoch_ + 1;
    const std::uint64_t h = config_.decay_half_life;
    value_sketch_.update(value_layout_, projected->value, now, h, decay_.factors);
    presence_sketch_.update(presence_layout_, projected->presence, now, h, decay_.factors);
    current_epoch_ = now;
    entries_seen_ += 1;
    return {};
}

core::Result<double> FeatureSketch::update_and_score(const core::KeyValueLike& event) {
    auto projected = prepare(event);
    if (!projected) return core::fail(std::move(projected.error()));
    if (auto st = check_counters(); !st) return core::fail(std::move(st.error()));
    // The bins and cells do not depend on the counters, so each cell is
    // found once, read for the score and then counted.
    const std::uint64_t now = current_epoch_;
    const std::uint64_t h = config_.decay_half_life;
    const double value_score =
        value_sketch_.update_and_score(value_layout_, projected->value, now, h, decay_.factors);
    const double presence_score =
        presence_sketch_.update_and_score(presence_layout_, projected->presence, now, h, decay_.factors);
    current_epoch_ = now + 1;
    entries_seen_ += 1;
    return 0.5 * (value_score + presence_score);
}

std::string FeatureSketch::repr() const {
    const auto& c = config_;
    return "FeatureSketch(value_projection_dims=" + std::to_string(c.value_projection_dims) +
           ", presence_projection_dims=" + std::to_string(c.presence_projection_dims) +
           ", chains_per_ensemble=" + std::to_string(c.chains_per_ensemble) +
           ", chain_depth=" + std::to_string(c.chain_depth) + ", sketch_rows=" + std::to_string(c.sketch_rows) +
           ", sketch_buckets=" + std::to_string(c.sketch_buckets) +
           ", decay_half_life=" + std::to_string(c.decay_half_life) +
           ", entries_seen=" + std::to_string(entries_seen_) + ")";
}

} // namespace tarn::featuresketch
