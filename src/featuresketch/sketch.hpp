// Level sketches and decayed counters.
//
// Each chain level owns a count-min sketch whose cells are exponentially
// decayed counters, plus one decayed counter of all the mass the level has
// seen. Time is the detector's epoch (its update count); a counter's weight
// halves every half-life epochs. An ensemble groups the sketches of all
// levels of one layout and turns a projected vector into a score.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/rng.hpp"
#include "featuresketch/chain.hpp"
#include "featuresketch/projection.hpp"

namespace tarn::featuresketch {

// exp2(-delta / half_life) for every delta below kDecayTableSize, computed
// once per half-life and process (immutable afterwards, so concurrent
// readers share it freely); NULL when too many half-lives are in use.
inline constexpr std::uint64_t kDecayTableSize = 8192;
const double* decay_table(std::uint64_t half_life);

// exp2(-delta / half_life): from the shared table when the delta is in it,
// else computed (and kept for the next ask, as neighbouring counters often
// share their age).
class DecayFactor {
public:
    explicit DecayFactor(std::uint64_t half_life)
        : half_life_(static_cast<double>(half_life)), table_(decay_table(half_life)) {}
    double operator()(std::uint64_t delta) {
        if (table_ != nullptr && delta < kDecayTableSize) return table_[delta];
        if (delta != delta_) {
            delta_ = delta;
            factor_ = std::exp2(-static_cast<double>(delta) / half_life_);
        }
        return factor_;
    }

private:
    double half_life_;
    const double* table_;
    std::uint64_t delta_ = 0;
    double factor_ = 1.0; // unused for delta 0, which never multiplies
};

struct DecayedValue {
    double value = 0.0;      // as of `epoch`
    std::uint64_t epoch = 0; // when it was last written

    // The value decayed to `now`; a read at or before the write epoch gives
    // the stored value.
    double read(std::uint64_t now, std::uint64_t half_life) const {
        if (now > epoch) {
            return value * std::exp2(-static_cast<double>(now - epoch) / static_cast<double>(half_life));
        }
        return value;
    }
    double read(std::uint64_t now, DecayFactor& decay) const {
        return now > epoch ? value * decay(now - epoch) : value;
    }

    void increment(std::uint64_t now, std::uint64_t half_life) {
        value = read(now, half_life) + 1.0;
        epoch = now;
    }
    void increment(std::uint64_t now, DecayFactor& decay) {
        value = read(now, decay) + 1.0;
        epoch = now;
    }

    bool operator==(const DecayedValue&) const = default;
};

struct RowHashSeeds {
    std::vector<Seed4> seeds; // one key per row
    bool operator==(const RowHashSeeds&) const = default;
};

struct LevelSketch {
    std::uint64_t rows = 0;
    std::uint64_t buckets = 0;
    RowHashSeeds row_hash_seeds;
    std::vector<DecayedValue> cells; // row-major: row j, bucket b at j * buckets + b

    // The cell that bin q occupies in row j.
    std::uint64_t cell_index(std::uint64_t row, std::int64_t bin) const {
        core::check_internal(row < row_hash_seeds.seeds.size() && buckets != 0, "level sketch row out of range");
        const std::uint64_t g = keyed_hash(row_hash_seeds.seeds[row], row, static_cast<std::uint64_t>(bin));
        // The same remainder without a division for power-of-two counts (the default).
        const std::uint64_t r = (buckets & (buckets - 1)) == 0 ? g & (buckets - 1) : g % buckets;
        const std::uint64_t idx = row * buckets + r;
        core::check_internal(idx < cells.size(), "level sketch cell out of range");
        return idx;
    }

    bool operator==(const LevelSketch&) const = default;
};

struct EnsembleSketch {
    std::vector<LevelSketch> levels;            // one per layout level, same order
    std::vector<DecayedValue> reference_masses; // all mass seen by each level
    bool operator==(const EnsembleSketch&) const = default;
};

// Draws the row keys of `levels` level sketches (4 words per row) and sets
// every counter to zero.
EnsembleSketch build_ensemble(std::uint64_t rows, std::uint64_t buckets, std::uint64_t levels,
                              core::Xoshiro256PlusPlus& rng);

// The cells that a vector occupies in an ensemble: for level i and row j,
// the cell index inside level i's sketch is at i * rows + j. Computing them
// once lets one event be scored and counted without hashing twice, and
// announces the scattered cells to the memory system early.
struct LocatedCells {
    std::uint64_t rows = 0;
    std::vector<std::uint64_t> index;
};

void locate_cells(const EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
                  LocatedCells& out);
double score_located(const EnsembleSketch& sketch, const ChainLayout& layout, const LocatedCells& cells,
                     std::uint64_t now, std::uint64_t half_life);
void update_located(EnsembleSketch& sketch, const LocatedCells& cells, std::uint64_t now, std::uint64_t half_life);

void ensemble_update(EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                     std::uint64_t half_life);

double ensemble_score(const EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
                      std::uint64_t now, std::uint64_t half_life);

// The score of an empty bin: -ln(1e-12).
inline constexpr double kRatioFloor = 1e-12;

} // namespace tarn::featuresketch
