// The versioned JSON state of a FeatureSketch, and the checks that make a
// loaded state safe to use.
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "core/json/record.hpp"
#include "core/json/writer.hpp"
#include "featuresketch/detector.hpp"

namespace tarn::featuresketch {

using core::json::field;
using core::json::read_record;
using core::json::Reader;
using core::json::Writer;

// ------------------------------------------------------------------ writing

void write(Writer& w, const Seed4& s) { core::json::write(w, s.k); }

void write(Writer& w, const ProjectionSeeds& s) {
    w.begin_object();
    w.field("value", s.value);
    w.field("presence", s.presence);
    w.field("feature_lo", s.feature_lo);
    w.field("feature_hi", s.feature_hi);
    w.end_object();
}

void write(Writer& w, const ChainLevel& l) {
    w.begin_object();
    w.field("dimension", l.dimension);
    w.field("width", l.width);
    w.field("offset", l.offset);
    w.field("bin_volume_ratio", l.bin_volume_ratio);
    w.end_object();
}

void write(Writer& w, const ChainLayout& l) {
    w.begin_object();
    w.field("levels", l.levels);
    w.field("chain_depth", l.chain_depth);
    w.end_object();
}

void write(Writer& w, const DecayedValue& d) {
    w.begin_object();
    w.field("value", d.value);
    w.field("epoch", d.epoch);
    w.end_object();
}

void write(Writer& w, const RowHashSeeds& s) {
    w.begin_object();
    w.field("seeds", s.seeds);
    w.end_object();
}

void write(Writer& w, const LevelSketch& s) {
    w.begin_object();
    w.field("rows", s.rows);
    w.field("buckets", s.buckets);
    w.field("row_hash_seeds", s.row_hash_seeds);
    w.field("cells", s.cells); // a plain array of counter objects
    w.end_object();
}

void write(Writer& w, const EnsembleSketch& s) {
    w.begin_object();
    w.field("levels", s.levels);
    w.field("reference_masses", s.reference_masses);
    w.end_object();
}

void write(Writer& w, const FeatureSketchConfig& c) {
    w.begin_object();
    w.field("value_projection_dims", c.value_projection_dims);
    w.field("presence_projection_dims", c.presence_projection_dims);
    w.field("chains_per_ensemble", c.chains_per_ensemble);
    w.field("chain_depth", c.chain_depth);
    w.field("sketch_rows", c.sketch_rows);
    w.field("sketch_buckets", c.sketch_buckets);
    w.field("decay_half_life", c.decay_half_life);
    w.end_object();
}

namespace {

// A generous guess of the text length, so the writer rarely regrows: about
// 24 characters per fresh counter, more for counters that have seen data.
std::size_t estimated_text_size(const FeatureSketch& s) {
    std::size_t cells = 0;
    for (const EnsembleSketch* e : {&s.value_sketch, &s.presence_sketch}) {
        for (const LevelSketch& l : e->levels) cells += l.cells.size();
    }
    const std::size_t levels = s.value_layout.levels.size() + s.presence_layout.levels.size();
    return cells * 28 + levels * 200 + 1024;
}

} // namespace

core::Result<std::string> FeatureSketch::to_json() const {
    Writer w(estimated_text_size(*this));
    w.begin_object();
    w.field("format_version", std::uint64_t{format_version});
    w.field("config", config);
    w.field("projection_seeds", projection_seeds);
    w.field("value_layout", value_layout);
    w.field("presence_layout", presence_layout);
    w.field("value_sketch", value_sketch);
    w.field("presence_sketch", presence_sketch);
    w.field("current_epoch", current_epoch);
    w.field("entries_seen", entries_seen);
    w.end_object();
    return w.take();
}

// ------------------------------------------------------------------ reading

void read(Reader& r, Seed4& s) { core::json::read(r, s.k); }

void read(Reader& r, ProjectionSeeds& s) {
    read_record(r, "ProjectionSeeds",
                {field("value", s.value), field("presence", s.presence), field("feature_lo", s.feature_lo),
                 field("feature_hi", s.feature_hi)});
}

void read(Reader& r, ChainLevel& l) {
    read_record(r, "ChainLevel",
                {field("dimension", l.dimension), field("width", l.width), field("offset", l.offset),
                 field("bin_volume_ratio", l.bin_volume_ratio)});
}

void read(Reader& r, ChainLayout& l) {
    read_record(r, "ChainLayout", {field("levels", l.levels), field("chain_depth", l.chain_depth)});
}

void read(Reader& r, DecayedValue& d) {
    read_record(r, "DecayedValue", {field("value", d.value), field("epoch", d.epoch)});
}

void read(Reader& r, RowHashSeeds& s) { read_record(r, "RowHashSeeds", {field("seeds", s.seeds)}); }

void read(Reader& r, LevelSketch& s) {
    read_record(r, "LevelSketch",
                {field("rows", s.rows), field("buckets", s.buckets), field("row_hash_seeds", s.row_hash_seeds),
                 field("cells", s.cells)});
}

void read(Reader& r, EnsembleSketch& s) {
    read_record(r, "EnsembleSketch", {field("levels", s.levels), field("reference_masses", s.reference_masses)});
}

void read(Reader& r, FeatureSketchConfig& c) {
    read_record(r, "FeatureSketchConfig",
                {field("value_projection_dims", c.value_projection_dims),
                 field("presence_projection_dims", c.presence_projection_dims),
                 field("chains_per_ensemble", c.chains_per_ensemble), field("chain_depth", c.chain_depth),
                 field("sketch_rows", c.sketch_rows), field("sketch_buckets", c.sketch_buckets),
                 field("decay_half_life", c.decay_half_life)});
}

namespace {

constexpr const char* kParsePrefix = "invalid FeatureSketch JSON: ";

std::unexpected<core::DetectorError> invalid_state(const std::string& what) {
    return core::invalid(kParsePrefix + what);
}

bool counter_ok(const DecayedValue& d) { return std::isfinite(d.value) && d.value >= 0.0; }

// A layout of the configured shape whose levels read inside a vector of
// `vector_len` entries.
core::Status check_layout(const ChainLayout& layout, const char* name, std::uint64_t levels, std::uint64_t depth,
                          std::uint64_t vector_len) {
    const std::string n = name;
    if (layout.chain_depth != depth) {
        return invalid_state(n + " chain_depth " + std::to_string(layout.chain_depth) + " differs from chain_depth " +
                             std::to_string(depth));
    }
    if (layout.levels.size() != levels) {
        return invalid_state(n + " has " + std::to_string(layout.levels.size()) + " levels, expected " +
                             std::to_string(levels));
    }
    for (std::size_t i = 0; i < layout.levels.size(); ++i) {
        if (layout.levels[i].dimension >= vector_len) {
            return invalid_state(n + " level " + std::to_string(i) + " reads dimension " +
                                 std::to_string(layout.levels[i].dimension) + " of a vector of length " +
                                 std::to_string(vector_len));
        }
    }
    return {};
}

// An ensemble with one sketch of the configured size and one reference mass
// per level, and only finite, non-negative counters.
core::Status check_ensemble(const EnsembleSketch& sketch, const char* name, std::uint64_t levels,
                            const FeatureSketchConfig& c) {
    const std::string n = name;
    if (sketch.levels.size() != levels) {
        return invalid_state(n + " has " + std::to_string(sketch.levels.size()) + " level sketches, expected " +
                             std::to_string(levels));
    }
    if (sketch.reference_masses.size() != levels) {
        return invalid_state(n + " has " + std::to_string(sketch.reference_masses.size()) +
                             " reference masses, expected " + std::to_string(levels));
    }
    const std::uint64_t cells = c.sketch_rows * c.sketch_buckets; // fits: checked with the configuration
    for (std::size_t i = 0; i < sketch.levels.size(); ++i) {
        const LevelSketch& level = sketch.levels[i];
        const std::string at = n + " level " + std::to_string(i);
        if (level.rows != c.sketch_rows || level.buckets != c.sketch_buckets) {
            return invalid_state(at + " has " + std::to_string(level.rows) + " rows of " +
                                 std::to_string(level.buckets) + " buckets, expected " +
                                 std::to_string(c.sketch_rows) + " rows of " + std::to_string(c.sketch_buckets) +
                                 " buckets");
        }
        if (level.row_hash_seeds.seeds.size() != level.rows) {
            return invalid_state(at + " has " + std::to_string(level.row_hash_seeds.seeds.size()) +
                                 " row hash seeds, expected " + std::to_string(level.rows));
        }
        if (level.cells.size() != cells) {
            return invalid_state(at + " has " + std::to_string(level.cells.size()) + " cells, expected " +
                                 std::to_string(cells));
        }
        for (const DecayedValue& d : level.cells) {
            if (!counter_ok(d)) return invalid_state(at + " holds a negative or non-finite counter");
        }
    }
    for (const DecayedValue& d : sketch.reference_masses) {
        if (!counter_ok(d)) return invalid_state(n + " holds a negative or non-finite reference mass");
    }
    return {};
}

} // namespace

core::Result<FeatureSketch> FeatureSketch::from_json(std::string_view text) {
    FeatureSketch s;
    std::uint64_t version = 0;
    auto parsed = core::json::parse(text, [&](Reader& r) {
        read_record(r, "FeatureSketch",
                    {field("format_version",
                           [&](Reader& rr) {
                               version = rr.read_u64();
                               if (rr.ok() && version > std::numeric_limits<std::uint32_t>::max()) {
                                   rr.fail("invalid value: integer `" + std::to_string(version) + "`, expected u32");
                               }
                           }),
                     field("config", s.config), field("projection_seeds", s.projection_seeds),
                     field("value_layout", s.value_layout), field("presence_layout", s.presence_layout),
                     field("value_sketch", s.value_sketch), field("presence_sketch", s.presence_sketch),
                     field("current_epoch", s.current_epoch), field("entries_seen", s.entries_seen)});
    });
    if (!parsed) return invalid_state(parsed.error().text());
    if (version != kFormatVersion) return invalid_state("unsupported format version");
    s.format_version = static_cast<std::uint32_t>(version);
    if (auto st = validate_config(s.config); !st) return core::fail(std::move(st.error()));

    // Beyond the configuration, the records must agree with it and with each
    // other, so that no later call reads outside a vector or divides by zero.
    const FeatureSketchConfig& c = s.config;
    const std::uint64_t levels = c.chains_per_ensemble * c.chain_depth; // fits: checked above
    if (auto st = check_layout(s.value_layout, "value_layout", levels, c.chain_depth, c.value_projection_dims); !st) {
        return core::fail(std::move(st.error()));
    }
    if (auto st = check_layout(s.presence_layout, "presence_layout", levels, c.chain_depth,
                               c.presence_projection_dims + 1);
        !st) {
        return core::fail(std::move(st.error()));
    }
    if (auto st = check_ensemble(s.value_sketch, "value_sketch", levels, c); !st) {
        return core::fail(std::move(st.error()));
    }
    if (auto st = check_ensemble(s.presence_sketch, "presence_sketch", levels, c); !st) {
        return core::fail(std::move(st.error()));
    }
    // The per-event vectors follow the configured dimensions, which the text
    // does not otherwise bound.
    ensure_allocatable(c);
    return s;
}

} // namespace tarn::featuresketch
