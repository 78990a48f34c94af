// Level sketches and decayed counters.
//
// Each chain level owns a count-min sketch whose cells are exponentially
// decayed counters, plus one decayed counter of all the mass the level has
// seen. Time is the detector's epoch (its update count); a counter's weight
// halves every half-life epochs. An ensemble groups the sketches of all
// levels of one layout and turns a projected vector into a score.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
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
    explicit DecayFactor(std::uint64_t half_life) : DecayFactor(half_life, decay_table(half_life)) {}
    DecayFactor(std::uint64_t half_life, const double* table)
        : half_life_(static_cast<double>(half_life)), table_(table) {}
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

// The counters of every level sketch of an ensemble in one zeroed block
// (large blocks start on a 2 MiB boundary and ask for huge pages: an event
// reads a few hundred scattered cells, and with small pages most of those
// reads would also miss the address translation caches).
class CellStore {
public:
    CellStore() = default;
    // n counters, zero unless the caller is about to write every one;
    // throws std::bad_alloc.
    explicit CellStore(std::size_t n, bool zero = true);
    CellStore(const CellStore& other);
    CellStore(CellStore&&) noexcept = default;
    CellStore& operator=(const CellStore& other);
    CellStore& operator=(CellStore&&) noexcept = default;

    std::size_t size() const { return size_; }
    DecayedValue* data() { return cells_.get(); }
    const DecayedValue* data() const { return cells_.get(); }
    std::span<const DecayedValue> slice(std::size_t at, std::size_t n) const {
        core::check_internal(at <= size_ && n <= size_ - at, "cell slice out of range");
        return {cells_.get() + at, n};
    }
    std::span<DecayedValue> slice(std::size_t at, std::size_t n) {
        core::check_internal(at <= size_ && n <= size_ - at, "cell slice out of range");
        return {cells_.get() + at, n};
    }

    bool operator==(const CellStore& other) const;

private:
    struct Release {
        void operator()(DecayedValue* p) const;
    };
    std::unique_ptr<DecayedValue[], Release> cells_;
    std::size_t size_ = 0;
};

// The sketches of all levels of one layout: every level has `rows` rows of
// `buckets` cells and one key per row.
class EnsembleSketch {
public:
    EnsembleSketch() = default;
    // Counters under the given row keys (level i, row j at i * rows + j),
    // zero unless the caller is about to write every cell and mass;
    // throws std::bad_alloc.
    EnsembleSketch(std::uint64_t rows, std::uint64_t buckets, std::vector<Seed4> row_seeds, bool zero = true);

    std::uint64_t rows() const { return rows_; }
    std::uint64_t buckets() const { return buckets_; }
    std::size_t levels() const { return masses_.size(); }
    std::size_t cell_count() const { return cells_.size(); }
    std::span<const Seed4> row_seeds(std::size_t level) const {
        return std::span<const Seed4>(seeds_).subspan(level * rows_, rows_);
    }
    // The cells of one level, row-major: row j, bucket b at j * buckets + b.
    std::span<const DecayedValue> level_cells(std::size_t level) const {
        return cells_.slice(level * rows_ * buckets_, rows_ * buckets_);
    }
    std::span<DecayedValue> level_cells(std::size_t level) {
        return cells_.slice(level * rows_ * buckets_, rows_ * buckets_);
    }
    // All mass seen by each level.
    std::vector<DecayedValue>& reference_masses() { return masses_; }
    const std::vector<DecayedValue>& reference_masses() const { return masses_; }

    // One event, projected to x, against this ensemble and its layout: the
    // score before the event at `now`, the update by it at `now`, or both
    // (scored at `now`, counted at now + 1). `decay` is decay_table(half_life).
    double score(const ChainLayout& layout, std::span<const double> x, std::uint64_t now, std::uint64_t half_life,
                 const double* decay) const;
    void update(const ChainLayout& layout, std::span<const double> x, std::uint64_t now, std::uint64_t half_life,
                const double* decay);
    double update_and_score(const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                            std::uint64_t half_life, const double* decay);

    bool operator==(const EnsembleSketch&) const = default;

private:
    template <int Mode, class Self>
    static double pass(Self& self, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                       std::uint64_t half_life, const double* decay);

    std::uint64_t rows_ = 0;
    std::uint64_t buckets_ = 0;
    std::vector<Seed4> seeds_;
    std::vector<WordHasher> row_hashers_; // each row's key with its row word absorbed
    std::vector<DecayedValue> masses_;
    CellStore cells_;
};

// Draws the row keys of `levels` level sketches (4 words per row) and sets
// every counter to zero.
EnsembleSketch build_ensemble(std::uint64_t rows, std::uint64_t buckets, std::uint64_t levels,
                              core::Xoshiro256PlusPlus& rng);

// The score of an empty bin: -ln(1e-12).
inline constexpr double kRatioFloor = 1e-12;

} // namespace tarn::featuresketch
