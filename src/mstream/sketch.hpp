// The decayed frequency sketches of an MStream detector.
//
// Every event kind (a numeric feature's value bucket, a categorical value,
// the whole record) is counted twice, in a SketchCounts pair: `current`
// decays by alpha^k whenever time moves on by k ticks, `total` never decays.
// A record is scored per event by a chi-squared comparison of the two.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/arith.hpp"
#include "core/error.hpp"
#include "core/rng.hpp"
#include "core/scale.hpp"
#include "mstream/normalization.hpp"

namespace tarn::mstream {

// The seeded folded-multiply hash of a word (core/arith.hpp holds the step
// and its constants).
inline std::uint64_t seeded_hash(std::uint64_t x, std::uint64_t k0, std::uint64_t k1) {
    const std::uint64_t buf = core::folded_multiply(x ^ k1 ^ core::kFoldWhiten1, core::kFoldMultiplier);
    return std::rotl(core::folded_multiply(buf, k0 ^ core::kFoldWhiten0), static_cast<int>(buf % 64));
}

// Number of sign bits a record row carries: the bit width of B - 1.
std::uint64_t plane_count(std::uint64_t num_buckets);

// One standard normal draw (256-layer ziggurat).
double standard_normal(core::Xoshiro256PlusPlus& g);

// Chi-squared score of a current count a against the total count s at tick t
// (t >= 1).
inline double chi_score(double a, double s, double t) {
    const double m = s / t;
    if (m <= kEpsilon) return 0.0;
    const double e = max_of(t - 1.0, 1.0);
    const double d = a - m;
    return (d * d) / (e * m) + (d * d) / m;
}

// out[i] = chi_score(a[i], s[i], t) for i < n, several events at a time.
void chi_scores(const double* a, const double* s, std::size_t n, double t, double* out);

// One row of B buckets over a normalized value in [0, 1].
struct NumericSketch {
    std::uint64_t num_buckets = 0;
    std::vector<double> count; // B

    NumericSketch() = default;
    explicit NumericSketch(std::uint64_t b);

    std::uint64_t bucket(double v) const { return value_bucket(v, num_buckets); }
    void increment(double v);
    double query(double v) const;
    void decay(const core::Scaling& f);

    bool operator==(const NumericSketch&) const = default;
};

// Count-min sketch over signed 64-bit categorical values.
struct CategoricalSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    std::vector<std::uint64_t> hash_a; // R
    std::vector<std::uint64_t> hash_b; // R
    std::vector<double> count;         // R x B, row-major

    CategoricalSketch() = default;
    // Draws hash_a then hash_b from g.
    CategoricalSketch(std::uint64_t r, std::uint64_t b, core::Xoshiro256PlusPlus& g);

    std::uint64_t bucket(std::int64_t z, std::uint64_t row) const;
    void increment(std::int64_t z);
    double query(std::int64_t z) const; // +inf when R = 0
    void decay(const core::Scaling& f);

    bool operator==(const CategoricalSketch&) const = default;
};

// A whole record: raw numeric values and categorical values.
struct Record {
    std::span<const double> numeric;
    std::span<const std::int64_t> categorical;
};

// Count-min sketch over whole records: each row hashes the signs of P random
// hyperplanes through the raw numeric values plus a seeded hash of the
// categorical values.
struct RecordSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    std::uint64_t numeric_dim = 0;
    std::uint64_t categorical_dim = 0;
    std::vector<double> numeric_planes;            // R x P x N, row-major
    std::vector<std::uint64_t> categorical_coeffs; // R x C
    std::vector<double> count;                     // R x B

    RecordSketch() = default;
    // Draws the R x P x N plane values, then the coefficient seeds, from g.
    RecordSketch(std::uint64_t r, std::uint64_t b, std::uint64_t n, std::uint64_t c, core::Xoshiro256PlusPlus& g);

    std::uint64_t planes() const { return plane_count(num_buckets); }
    std::uint64_t bucket(const Record& rec, std::uint64_t row) const;
    void increment(const Record& rec);
    double query(const Record& rec) const;
    void decay(const core::Scaling& f);

    bool operator==(const RecordSketch&) const = default;
};

// A record sketch's planes feature by feature, so that the signs of every
// plane of every row come out of one pass over the record: value k of
// slot j = row * P + p is plane p of that row's weight for feature k, at
// k * stride + j (stride: the R x P slots padded to whole vectors). Empty
// when the sketch has no numeric features or more slots than a record's
// bits are gathered for at once; the sketch then hashes plane by plane.
struct PlaneColumns {
    std::uint64_t stride = 0;
    std::vector<double> values;

    PlaneColumns() = default;
    explicit PlaneColumns(const RecordSketch& s);
    bool empty() const { return values.empty(); }
};

template <class S>
struct SketchCounts {
    S current;
    S total;

    bool operator==(const SketchCounts&) const = default;
};

// An event's count in both sketches of a pair: the minimum over rows each
// sketch's query() reads.
struct PairCounts {
    double current;
    double total;
};

// Whether both sketches of a pair hash every event alike (same sizes, seeds
// and planes, bit for bit), so that a bucket computed for one holds for the
// other. Sketches made together always do; a loaded state may not.
bool same_hashing(const SketchCounts<CategoricalSketch>& p);
bool same_hashing(const SketchCounts<RecordSketch>& p);

// Increments the event in both sketches, then reads both: what increment()
// on each followed by query() on each gives. `twin` (from same_hashing)
// lets every bucket be computed once and read back as it is incremented.
// (A numeric feature's event is its bucket, from the normalizer.)
PairCounts increment_pair(SketchCounts<NumericSketch>& p, std::uint64_t bucket);
PairCounts increment_pair(SketchCounts<CategoricalSketch>& p, std::int64_t z, bool twin);
PairCounts increment_pair(SketchCounts<RecordSketch>& p, const Record& rec, bool twin);
// The same for a pair whose sketches hash alike, with the planes of its
// current sketch by column (PlaneColumns(p.current)).
PairCounts increment_pair(SketchCounts<RecordSketch>& p, const Record& rec, const PlaneColumns& columns);
// Categorical values' hashes: for each row, the value's bucket in its own
// feature's sketch and its term in the record sketch's sum. They depend on
// seeds fixed when a detector is made or read, so they are kept, per
// feature, in a direct-mapped table of a few kilobytes that lasts as long
// as the detector: recurring values (categories are usually few) are hashed
// once. A detector whose table would be large (many features or rows)
// keeps one entry per feature: the last value's.
class CategoryHashes {
public:
    CategoryHashes() = default;
    // Nothing kept yet, for `features` categorical features of `rows` rows.
    CategoryHashes(std::uint64_t rows, std::uint64_t features);

private:
    friend class EventSketches;
    static constexpr std::uint64_t kSlots = 64; // per feature, when kept
    std::uint64_t rows_ = 0, features_ = 0;
    std::uint64_t slots_ = 1, width_ = 2;
    // Per feature, slots_ entries of width_ words: filled (0 or 1), the
    // value, its R buckets, its R record terms.
    std::vector<std::uint64_t> words_;
};

// The sketches of a detector whose pairs all hash alike (same_hashing) and
// whose record sketch has its planes by column when it has numeric
// features, with every array's size checked once (check_internal), before
// any number of records are counted by increment_events. The sketches and
// the hashes must stay where they are, at the same sizes, for as long as
// it is used.
class EventSketches {
public:
    EventSketches(std::span<SketchCounts<NumericSketch>> numeric, SketchCounts<RecordSketch>& record,
                  const PlaneColumns& columns, std::span<SketchCounts<CategoricalSketch>> categorical,
                  CategoryHashes& hashes);

    // Every event of a record at once: what increment_pair gives for numeric
    // feature i (in bucket buckets[i]) lands in current[i] and total[i],
    // the record's in entry n, categorical feature j's in entry n + 1 + j.
    void increment_events(const std::uint64_t* buckets, const Record& rec, double* current, double* total) {
        increment_events(buckets, signs_of(rec.numeric.data()), rec, current, total);
    }
    // The same with the record's plane signs given: signs_of(its numeric
    // values), worked out beforehand (they depend on nothing that counting
    // changes).
    void increment_events(const std::uint64_t* buckets, std::uint64_t signs, const Record& rec, double* current,
                          double* total);
    // increment_events for `records` records one after another: record k's
    // buckets at buckets + k * N, its plane signs signs[k], its categorical
    // values at categorical + k * C, its counts at current and total + k *
    // (N + 1 + C) (N, C: the sketches' numeric and categorical features).
    void count_records(const std::uint64_t* buckets, const std::uint64_t* signs, const std::int64_t* categorical,
                       std::size_t records, double* current, double* total);
    // Bit row * P + p: plane p of the record sketch's row is above zero for
    // these numeric values (as many as the sketches have features; 0 when
    // they have none).
    std::uint64_t signs_of(const double* numeric) const;
    // signs_of for `rows` records' numeric values, one after another, into
    // signs[row].
    void signs_of_rows(const double* numeric, std::size_t rows, std::uint64_t* signs) const;

private:
    // What increment_events counts for a record of the sketches' shape
    // (values: its categorical values), with room for its hashes.
    [[gnu::always_inline]] inline void count_record(const std::uint64_t* bucket, std::uint64_t positive,
                                                    const std::int64_t* values, const std::uint64_t** hashes,
                                                    double* current, double* total);
    // The hashes of value z of categorical feature j (R buckets, then R
    // record terms): read back when kept, else worked out by fill_hashes
    // into its entry e. (One slot: the mask is 0.)
    const std::uint64_t* hashes_of(std::size_t j, std::int64_t z) {
        const std::uint64_t v = static_cast<std::uint64_t>(z);
        const std::uint64_t slot = (v ^ (v >> 6) ^ (v >> 12)) & (slots_ - 1);
        std::uint64_t* e = hashes_ + (j * slots_ + slot) * width_;
        if (e[0] != 1 || e[1] != v) [[unlikely]]
            fill_hashes(j, v, e);
        return e + 2;
    }
    void fill_hashes(std::size_t j, std::uint64_t v, std::uint64_t* e) const;

    std::span<SketchCounts<NumericSketch>> numeric_;
    SketchCounts<RecordSketch>* record_;
    const PlaneColumns* columns_;
    std::span<SketchCounts<CategoricalSketch>> categorical_;
    std::uint64_t rows_ = 0, buckets_ = 0, planes_ = 0;
    // CategoryHashes' table and its shape.
    std::uint64_t* hashes_ = nullptr;
    std::uint64_t slots_ = 1, width_ = 0;
};
// What query() on each sketch reads, changing nothing.
PairCounts query_pair(const SketchCounts<NumericSketch>& p, std::uint64_t bucket);
PairCounts query_pair(const SketchCounts<CategoricalSketch>& p, std::int64_t z, bool twin);
PairCounts query_pair(const SketchCounts<RecordSketch>& p, const Record& rec, bool twin);
PairCounts query_pair(const SketchCounts<RecordSketch>& p, const Record& rec, const PlaneColumns& columns);

} // namespace tarn::mstream
