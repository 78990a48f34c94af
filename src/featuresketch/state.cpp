// The versioned JSON state of a FeatureSketch, and the checks that make a
// loaded state safe to use.
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "core/binary.hpp"
#include "core/json/record.hpp"
#include "core/json/writer.hpp"
#include "featuresketch/detector.hpp"

namespace tarn::featuresketch {

using core::json::field;
using core::json::read_record;
using core::json::Reader;
using core::json::Writer;

// ------------------------------------------------------------ the records

// A Seed4 is its four words as a plain array, in both forms.
void write(Writer& w, const Seed4& s) { core::json::write(w, s.k); }
void read(Reader& r, Seed4& s) { core::json::read(r, s.k); }
void write(core::binary::Writer& w, const Seed4& s) { w.raw(std::span<const std::uint64_t>(s.k)); }
void read(core::binary::Reader& r, Seed4& s, std::string_view = {}) {
    for (std::uint64_t& k : s.k) k = r.u64();
}

// The stored form of an ensemble: one record per level sketch, each with its
// own sizes, keys and counters. Readers fill it (in vectors) and check it;
// the detector then takes the counters into its single block. Writers show
// the block's own memory in the same form (in spans).
template <class Seeds>
struct BasicRowHashSeeds {
    Seeds seeds; // one key per row
};

template <class Seeds, class Cells>
struct BasicLevelSketch {
    std::uint64_t rows = 0;
    std::uint64_t buckets = 0;
    BasicRowHashSeeds<Seeds> row_hash_seeds;
    Cells cells; // row-major: row j, bucket b at j * buckets + b
};

using RowHashSeeds = BasicRowHashSeeds<std::vector<Seed4>>;
using LevelSketch = BasicLevelSketch<std::vector<Seed4>, std::vector<DecayedValue>>;
using RowHashSeedsView = BasicRowHashSeeds<std::span<const Seed4>>;
using LevelSketchView = BasicLevelSketch<std::span<const Seed4>, std::span<const DecayedValue>>;

template <class T>
void write(Writer& w, std::span<const T> v) {
    w.begin_array();
    for (const T& e : v) write(w, e);
    w.end_array();
}

struct StoredEnsemble {
    std::vector<LevelSketch> levels;            // one per layout level, same order
    std::vector<DecayedValue> reference_masses; // all mass seen by each level
};

} // namespace tarn::featuresketch

// Every other record's field list, driving the JSON text both ways; the flat
// ones drive the binary form too (core/fields.hpp).
TARN_RECORD(tarn::featuresketch::FeatureSketchConfig, "FeatureSketchConfig", value_projection_dims,
            presence_projection_dims, chains_per_ensemble, chain_depth, sketch_rows, sketch_buckets, decay_half_life)

TARN_RECORD(tarn::featuresketch::ProjectionSeeds, "ProjectionSeeds", value, presence, feature_lo, feature_hi)

TARN_RECORD(tarn::featuresketch::ChainLevel, "ChainLevel", dimension, width, offset, bin_volume_ratio)

TARN_RECORD(tarn::featuresketch::ChainLayout, "ChainLayout", levels, chain_depth)

TARN_RECORD(tarn::featuresketch::DecayedValue, "DecayedValue", value, epoch)

TARN_RECORD(tarn::featuresketch::RowHashSeeds, "RowHashSeeds", seeds)
TARN_RECORD(tarn::featuresketch::RowHashSeedsView, "RowHashSeeds", seeds)

TARN_RECORD(tarn::featuresketch::LevelSketch, "LevelSketch", rows, buckets, row_hash_seeds, cells)
TARN_RECORD(tarn::featuresketch::LevelSketchView, "LevelSketch", rows, buckets, row_hash_seeds, cells)

TARN_RECORD(tarn::featuresketch::StoredEnsemble, "EnsembleSketch", levels, reference_masses)

namespace tarn::featuresketch {

// A generous guess of the text length, so the writer rarely regrows: about
// 24 characters per fresh counter, more for counters that have seen data.
std::size_t FeatureSketch::estimated_text_size() const {
    const std::size_t cells = value_sketch_.cell_count() + presence_sketch_.cell_count();
    const std::size_t levels = value_layout_.levels.size() + presence_layout_.levels.size();
    return cells * 28 + levels * 200 + 1024;
}

void write(Writer& w, const EnsembleSketch& e) {
    w.begin_object();
    w.key("levels");
    w.begin_array();
    for (std::size_t i = 0; i < e.levels(); ++i) {
        core::json::write(w, LevelSketchView{e.rows(), e.buckets(), {e.row_seeds(i)}, e.level_cells(i)});
    }
    w.end_array();
    w.field("reference_masses", e.reference_masses());
    w.end_object();
}

core::Result<std::string> FeatureSketch::to_json() const {
    Writer w(estimated_text_size());
    w.begin_object();
    w.field("format_version", std::uint64_t{format_version_});
    w.field("config", config_);
    w.field("projection_seeds", projection_seeds_);
    w.field("value_layout", value_layout_);
    w.field("presence_layout", presence_layout_);
    w.field("value_sketch", value_sketch_);
    w.field("presence_sketch", presence_sketch_);
    w.field("current_epoch", current_epoch_);
    w.field("entries_seen", entries_seen_);
    w.end_object();
    return w.take();
}

namespace {

constexpr std::string_view kParsePrefix = "invalid FeatureSketch JSON: ";

// Each reader names itself in front of every reason.
struct Prefixed {
    std::string_view prefix;
    std::unexpected<core::DetectorError> operator()(const std::string& what) const {
        return core::invalid(std::string(prefix) + what);
    }
};

bool counter_ok(const DecayedValue& d) { return std::isfinite(d.value) && d.value >= 0.0; }

// A layout of the configured shape whose levels read inside a vector of
// `vector_len` entries.
core::Status check_layout(const ChainLayout& layout, const char* name, std::uint64_t levels, std::uint64_t depth,
                          std::uint64_t vector_len, Prefixed invalid_state) {
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
core::Status check_ensemble(const StoredEnsemble& sketch, const char* name, std::uint64_t levels,
                            const FeatureSketchConfig& c, Prefixed invalid_state) {
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
                                 std::to_string(level.buckets) + " buckets, expected " + std::to_string(c.sketch_rows) +
                                 " rows of " + std::to_string(c.sketch_buckets) + " buckets");
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

// The checks of a state read by either reader. The configuration's own
// checks report the constructor's message, behind config_prefix.
core::Status FeatureSketch::check_loaded(std::uint64_t version, std::string_view state_prefix,
                                         std::string_view config_prefix, const StoredEnsemble& value_sketch,
                                         const StoredEnsemble& presence_sketch) const {
    const Prefixed invalid_state{state_prefix};
    if (version != kFormatVersion) return invalid_state("unsupported format version");
    if (auto st = validate_config(config_); !st) return core::invalid(std::string(config_prefix) + st.error().text);

    // Beyond the configuration, the records must agree with it and with each
    // other, so that no later call reads outside a vector or divides by zero.
    const FeatureSketchConfig& c = config_;
    const std::uint64_t levels = c.chains_per_ensemble * c.chain_depth; // fits: checked above
    if (auto st =
            check_layout(value_layout_, "value_layout", levels, c.chain_depth, c.value_projection_dims, invalid_state);
        !st) {
        return st;
    }
    if (auto st = check_layout(presence_layout_, "presence_layout", levels, c.chain_depth,
                               c.presence_projection_dims + 1, invalid_state);
        !st) {
        return st;
    }
    if (auto st = check_ensemble(value_sketch, "value_sketch", levels, c, invalid_state); !st) return st;
    if (auto st = check_ensemble(presence_sketch, "presence_sketch", levels, c, invalid_state); !st) return st;
    // The per-event vectors follow the configured dimensions, which the state
    // does not otherwise bound.
    ensure_allocatable(c);
    return {};
}

namespace {

// A checked stored ensemble as the detector keeps it; each level's counters
// are released once copied, so loading needs little more than both forms
// of one level beyond the block.
EnsembleSketch unpack(StoredEnsemble&& stored, const FeatureSketchConfig& c) {
    std::vector<Seed4> seeds;
    seeds.reserve(stored.levels.size() * c.sketch_rows);
    for (const LevelSketch& l : stored.levels) {
        seeds.insert(seeds.end(), l.row_hash_seeds.seeds.begin(), l.row_hash_seeds.seeds.end());
    }
    // Every cell is written below (the checks fixed each level's size).
    EnsembleSketch e(c.sketch_rows, c.sketch_buckets, std::move(seeds), false);
    core::check_internal(e.levels() == stored.levels.size(), "stored ensemble out of step");
    for (std::size_t i = 0; i < stored.levels.size(); ++i) {
        std::vector<DecayedValue> cells = std::move(stored.levels[i].cells);
        const std::span<DecayedValue> to = e.level_cells(i);
        core::check_internal(cells.size() == to.size(), "stored level out of step");
        std::ranges::copy(cells, to.begin());
    }
    e.reference_masses() = std::move(stored.reference_masses);
    return e;
}

} // namespace

core::Status FeatureSketch::adopt(std::uint64_t version, std::string_view state_prefix, std::string_view config_prefix,
                                  StoredEnsemble&& value_sketch, StoredEnsemble&& presence_sketch) {
    if (auto st = check_loaded(version, state_prefix, config_prefix, value_sketch, presence_sketch); !st) return st;
    value_sketch_ = unpack(std::move(value_sketch), config_);
    presence_sketch_ = unpack(std::move(presence_sketch), config_);
    format_version_ = static_cast<std::uint32_t>(version);
    derive();
    return {};
}

core::Result<FeatureSketch> FeatureSketch::from_json(std::string_view text) {
    FeatureSketch s;
    std::uint64_t version = 0;
    StoredEnsemble value_sketch;
    StoredEnsemble presence_sketch;
    auto parsed = core::json::parse(text, [&](Reader& r) {
        read_record(r, "FeatureSketch",
                    {field("format_version",
                           [&](Reader& rr) {
                               version = rr.read_u64();
                               if (rr.ok() && version > std::numeric_limits<std::uint32_t>::max()) {
                                   rr.fail("invalid value: integer `" + std::to_string(version) + "`, expected u32");
                               }
                           }),
                     field("config", s.config_), field("projection_seeds", s.projection_seeds_),
                     field("value_layout", s.value_layout_), field("presence_layout", s.presence_layout_),
                     field("value_sketch", value_sketch), field("presence_sketch", presence_sketch),
                     field("current_epoch", s.current_epoch_), field("entries_seen", s.entries_seen_)});
    });
    const Prefixed invalid_state{kParsePrefix};
    if (!parsed) return invalid_state(parsed.error().text());
    if (auto st = s.adopt(version, kParsePrefix, "", std::move(value_sketch), std::move(presence_sketch)); !st) {
        return core::fail(std::move(st.error()));
    }
    return s;
}

// ------------------------------------------------------------------ binary

namespace {

namespace bin = core::binary;

constexpr std::uint32_t kBinaryVersion = 1;

void write(bin::Writer& w, const ChainLayout& l) {
    w.u64(l.chain_depth);
    w.u64(l.levels.size());
    for (const ChainLevel& v : l.levels) bin::write(w, v);
}
void read(bin::Reader& r, ChainLayout& l) {
    l.chain_depth = r.u64();
    l.levels.resize(r.count(32, "chain levels"));
    for (ChainLevel& v : l.levels) bin::read(r, v);
}

// Most counters of a young sketch were never written: values and epochs go
// as two sparse runs.
void write_counters(bin::Writer& w, std::span<const DecayedValue> cells) {
    std::vector<double> values(cells.size());
    std::vector<std::uint64_t> epochs(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        values[i] = cells[i].value;
        epochs[i] = cells[i].epoch;
    }
    w.u64(cells.size());
    w.sparse(std::span<const double>(values));
    w.sparse(std::span<const std::uint64_t>(epochs));
}
void read_counters(bin::Reader& r, std::vector<DecayedValue>& cells) {
    const std::uint64_t n = r.u64();
    std::vector<double> values;
    std::vector<std::uint64_t> epochs;
    r.sparse(values, n, "counter values");
    r.sparse(epochs, n, "counter epochs");
    if (!r.ok()) return;
    cells.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) cells[i] = DecayedValue{values[i], epochs[i]};
}

void write(bin::Writer& w, const EnsembleSketch& e) {
    w.u64(e.levels());
    for (std::size_t i = 0; i < e.levels(); ++i) {
        w.u64(e.rows());
        w.u64(e.buckets());
        w.u64(e.row_seeds(i).size());
        for (const Seed4& k : e.row_seeds(i)) write(w, k);
        write_counters(w, e.level_cells(i));
    }
    w.u64(e.reference_masses().size());
    for (const DecayedValue& d : e.reference_masses()) bin::write(w, d);
}
void read(bin::Reader& r, StoredEnsemble& e) {
    // A level sketch is its sizes, a seed count and a counter count at least.
    e.levels.resize(r.count(32, "level sketches"));
    for (LevelSketch& l : e.levels) {
        l.rows = r.u64();
        l.buckets = r.u64();
        l.row_hash_seeds.seeds.resize(r.count(32, "row hash seeds"));
        for (Seed4& k : l.row_hash_seeds.seeds) read(r, k);
        read_counters(r, l.cells);
    }
    e.reference_masses.resize(r.count(16, "reference masses"));
    for (DecayedValue& d : e.reference_masses) bin::read(r, d);
}

} // namespace

core::Result<std::string> FeatureSketch::to_bytes() const {
    bin::Writer w((value_sketch_.cell_count() + presence_sketch_.cell_count()) / 2 + 4096);
    w.header(bin::ClassTag::FeatureSketch, kBinaryVersion);
    w.u32(format_version_);
    bin::write(w, config_);
    bin::write(w, projection_seeds_);
    write(w, value_layout_);
    write(w, presence_layout_);
    write(w, value_sketch_);
    write(w, presence_sketch_);
    w.u64(current_epoch_);
    w.u64(entries_seen_);
    return w.take();
}

core::Result<FeatureSketch> FeatureSketch::from_bytes(std::string_view data) {
    static constexpr std::string_view kPrefix = "invalid FeatureSketch state: ";
    FeatureSketch s;
    std::uint32_t version = 0;
    StoredEnsemble value_sketch;
    StoredEnsemble presence_sketch;
    bin::Reader r(data);
    if (r.header(bin::ClassTag::FeatureSketch, kBinaryVersion)) {
        version = r.u32();
        bin::read(r, s.config_);
        bin::read(r, s.projection_seeds_);
        read(r, s.value_layout_);
        read(r, s.presence_layout_);
        read(r, value_sketch);
        read(r, presence_sketch);
        s.current_epoch_ = r.u64();
        s.entries_seen_ = r.u64();
        r.finish();
    }
    const Prefixed invalid_state{kPrefix};
    if (!r.ok()) return invalid_state(r.error());
    if (auto st = s.adopt(version, kPrefix, kPrefix, std::move(value_sketch), std::move(presence_sketch)); !st) {
        return core::fail(std::move(st.error()));
    }
    return s;
}

} // namespace tarn::featuresketch
