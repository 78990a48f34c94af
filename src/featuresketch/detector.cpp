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
    const u128 per_ensemble = levels * (sizeof(ChainLevel) + sizeof(LevelSketch) + sizeof(DecayedValue)) +
                              rows * sizeof(Seed4) + rows * c.sketch_buckets * sizeof(DecayedValue);
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
    return fs;
}

core::Result<ProjectedEvent> FeatureSketch::prepare(const core::KeyValueLike& event) const {
    auto normalized = normalize_event(event);
    if (!normalized) return core::fail(std::move(normalized.error()));
    return project_event(*normalized, config_.value_projection_dims, config_.presence_projection_dims,
                         projection_seeds_);
}

FeatureSketch::Located FeatureSketch::locate(const ProjectedEvent& e) const {
    Located cells;
    locate_cells(value_sketch_, value_layout_, e.value, cells.value);
    locate_cells(presence_sketch_, presence_layout_, e.presence, cells.presence);
    return cells;
}

double FeatureSketch::score_at(const Located& cells) const {
    const std::uint64_t now = current_epoch_;
    const std::uint64_t h = config_.decay_half_life;
    const double value_score = score_located(value_sketch_, value_layout_, cells.value, now, h);
    const double presence_score = score_located(presence_sketch_, presence_layout_, cells.presence, now, h);
    return 0.5 * (value_score + presence_score);
}

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

void FeatureSketch::update_at(const Located& cells) {
    const std::uint64_t now = current_epoch_ + 1;
    const std::uint64_t h = config_.decay_half_life;
    update_located(value_sketch_, cells.value, now, h);
    update_located(presence_sketch_, cells.presence, now, h);
    current_epoch_ = now;
    entries_seen_ += 1;
}

core::Result<double> FeatureSketch::score(const core::KeyValueLike& event) const {
    auto projected = prepare(event);
    if (!projected) return core::fail(std::move(projected.error()));
    return score_at(locate(*projected));
}

core::Status FeatureSketch::update(const core::KeyValueLike& event) {
    auto projected = prepare(event);
    if (!projected) return core::fail(std::move(projected.error()));
    if (auto st = check_counters(); !st) return st;
    update_at(locate(*projected));
    return {};
}

core::Result<double> FeatureSketch::update_and_score(const core::KeyValueLike& event) {
    auto projected = prepare(event);
    if (!projected) return core::fail(std::move(projected.error()));
    if (auto st = check_counters(); !st) return core::fail(std::move(st.error()));
    // The bins and cells do not depend on the counters, so one location
    // serves the score (before the update) and the update.
    const Located cells = locate(*projected);
    const double s = score_at(cells);
    update_at(cells);
    return s;
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
