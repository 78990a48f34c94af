#include "featuresketch/sketch.hpp"

#include <limits>
#include <map>
#include <memory>
#include <mutex>

namespace tarn::featuresketch {

namespace {

// std::fmax(x, kRatioFloor), inline: a NaN x gives the floor, and the floor
// is positive, so no choice between zeros of two signs arises.
inline double at_least_floor(double x) { return x > kRatioFloor ? x : kRatioFloor; }

} // namespace

const double* decay_table(std::uint64_t half_life) {
    // Tables are never freed: detectors and their readers may hold a pointer
    // at any time. The cap bounds the memory a process can spend on them.
    constexpr std::size_t kMaxTables = 64;
    static std::mutex lock;
    static std::map<std::uint64_t, std::unique_ptr<const double[]>> tables;
    const std::lock_guard<std::mutex> guard(lock);
    if (auto it = tables.find(half_life); it != tables.end()) return it->second.get();
    if (tables.size() >= kMaxTables) return nullptr;
    auto table = std::make_unique<double[]>(kDecayTableSize);
    const double h = static_cast<double>(half_life);
    for (std::uint64_t d = 0; d < kDecayTableSize; ++d) table[d] = std::exp2(-static_cast<double>(d) / h);
    const double* out = table.get();
    tables.emplace(half_life, std::move(table));
    return out;
}

EnsembleSketch build_ensemble(std::uint64_t rows, std::uint64_t buckets, std::uint64_t levels,
                              core::Xoshiro256PlusPlus& rng) {
    std::uint64_t cells = 0;
    core::check_internal(core::checked_mul(rows, buckets, cells), "level sketch size overflows");
    EnsembleSketch sketch;
    sketch.levels.reserve(levels);
    for (std::uint64_t i = 0; i < levels; ++i) {
        LevelSketch level;
        level.rows = rows;
        level.buckets = buckets;
        level.row_hash_seeds.seeds.reserve(rows);
        for (std::uint64_t j = 0; j < rows; ++j) {
            Seed4 key;
            for (auto& w : key.k) w = rng.next_word();
            level.row_hash_seeds.seeds.push_back(key);
        }
        level.cells.assign(cells, DecayedValue{});
        sketch.levels.push_back(std::move(level));
    }
    sketch.reference_masses.assign(levels, DecayedValue{});
    return sketch;
}

void locate_cells(const EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
                  LocatedCells& out) {
    const std::size_t levels = layout.levels.size();
    core::check_internal(sketch.levels.size() == levels && sketch.reference_masses.size() == levels,
                         "ensemble and layout disagree in size");
    const std::uint64_t rows = levels == 0 ? 0 : sketch.levels[0].rows;
    out.rows = rows;
    out.index.resize(levels * rows);
    for (std::size_t i = 0; i < levels; ++i) {
        const LevelSketch& level = sketch.levels[i];
        core::check_internal(level.rows == rows, "level sketches disagree in rows");
        const std::int64_t bin = level_bin(layout.levels[i], x);
        for (std::uint64_t j = 0; j < rows; ++j) {
            const std::uint64_t idx = level.cell_index(j, bin);
            __builtin_prefetch(&level.cells[idx]);
            out.index[i * rows + j] = idx;
        }
    }
}

double score_located(const EnsembleSketch& sketch, const ChainLayout& layout, const LocatedCells& cells,
                     std::uint64_t now, std::uint64_t half_life) {
    const std::uint64_t depth = layout.chain_depth;
    core::check_internal(depth != 0, "chain layout without levels per chain");
    const std::uint64_t chains = layout.levels.size() / depth;
    core::check_internal(chains != 0, "chain layout without a full chain");
    core::check_internal(cells.index.size() == layout.levels.size() * cells.rows, "located cells out of step");
    DecayFactor cell_decay(half_life);
    DecayFactor mass_decay(half_life);
    double total = 0.0;
    for (std::uint64_t c = 0; c < chains; ++c) {
        double chain_score = 0.0;
        for (std::uint64_t l = 0; l < depth; ++l) {
            const std::uint64_t i = c * depth + l;
            const ChainLevel& lv = layout.levels[i];
            const LevelSketch& level = sketch.levels[i];
            // Count-min estimate: the smallest decayed row count (+inf without rows).
            double n = std::numeric_limits<double>::infinity();
            for (std::uint64_t j = 0; j < cells.rows; ++j) {
                const double v = level.cells[cells.index[i * cells.rows + j]].read(now, cell_decay);
                if (v < n) n = v;
            }
            const double r = sketch.reference_masses[i].read(now, mass_decay);
            double ratio = n / at_least_floor(r) / at_least_floor(lv.bin_volume_ratio);
            ratio = at_least_floor(ratio);
            ratio = ratio < 1.0 ? ratio : 1.0;
            // A chain reports its most surprising level; -ln(1) = -0.0 must not
            // replace the initial +0.0, hence the strict comparison (and no
            // logarithm for a full ratio, which can never win it).
            if (ratio < 1.0) {
                const double surprise = -std::log(ratio);
                if (surprise > chain_score) chain_score = surprise;
            }
        }
        total += chain_score;
    }
    return total / static_cast<double>(chains);
}

void update_located(EnsembleSketch& sketch, const LocatedCells& cells, std::uint64_t now, std::uint64_t half_life) {
    const std::size_t levels = sketch.levels.size();
    core::check_internal(cells.index.size() == levels * cells.rows && sketch.reference_masses.size() == levels,
                         "located cells out of step");
    DecayFactor cell_decay(half_life);
    DecayFactor mass_decay(half_life);
    for (std::size_t i = 0; i < levels; ++i) {
        LevelSketch& level = sketch.levels[i];
        // Every row is incremented (no conservative update).
        for (std::uint64_t j = 0; j < cells.rows; ++j) {
            level.cells[cells.index[i * cells.rows + j]].increment(now, cell_decay);
        }
        sketch.reference_masses[i].increment(now, mass_decay);
    }
}

void ensemble_update(EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                     std::uint64_t half_life) {
    LocatedCells cells;
    locate_cells(sketch, layout, x, cells);
    update_located(sketch, cells, now, half_life);
}

double ensemble_score(const EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
                      std::uint64_t now, std::uint64_t half_life) {
    LocatedCells cells;
    locate_cells(sketch, layout, x, cells);
    return score_located(sketch, layout, cells, now, half_life);
}

} // namespace tarn::featuresketch
