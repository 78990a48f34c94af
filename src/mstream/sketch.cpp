#include "mstream/sketch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "mstream/lanes.hpp"
#include "mstream/normalization.hpp"
#include "mstream/ziggurat_tables.hpp"

namespace tarn::mstream {

namespace {

// Bounds-checked cell access: a bucket past the array is a broken invariant.
inline double& cell(std::vector<double>& v, std::uint64_t i) {
    core::check_internal(i < v.size(), "index out of bounds: sketch bucket beyond its count array");
    return v[i];
}
inline double cell(const std::vector<double>& v, std::uint64_t i) {
    core::check_internal(i < v.size(), "index out of bounds: sketch bucket beyond its count array");
    return v[i];
}

// Reduction modulo a bucket count m > 0: a mask when m is a power of two
// (the usual sizes), a division otherwise.
struct Modulus {
    std::uint64_t m;
    bool power_of_two;

    explicit Modulus(std::uint64_t m_) : m(m_), power_of_two((m_ & (m_ - 1)) == 0 && m_ != 0) {}
    std::uint64_t reduce(std::uint64_t x) const { return power_of_two ? x & (m - 1) : x % m; }
    // (a + b) mod m without overflow, for a, b < 2^64. A power of two
    // divides 2^64, so the wrapped sum has the same residue; otherwise the
    // 128-bit sum is needed only when the 64-bit one wraps.
    std::uint64_t add(std::uint64_t a, std::uint64_t b) const {
        std::uint64_t sum = 0;
        if (power_of_two) return (a + b) & (m - 1);
        if (!__builtin_add_overflow(a, b, &sum)) return sum % m;
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) + b) % m);
    }
};

// A rows x buckets count array has exactly that many cells.
void check_cells(const std::vector<double>& count, std::uint64_t rows, std::uint64_t buckets) {
    std::uint64_t cells = 0;
    core::check_internal(core::checked_mul(rows, buckets, cells) && cells == count.size(),
                         "index out of bounds: sketch count array does not match its sizes");
}

// The double in [1, 2) carrying the top 52 bits of w as its mantissa,
// shifted by the given exponent pattern.
inline double from_bits(std::uint64_t w, std::uint64_t exponent) { return std::bit_cast<double>((w >> 12) | exponent); }

// Dot product of a plane with the raw values. Eight partial sums over the
// full blocks of eight, combined pairwise in a fixed order, then the tail in
// index order; short vectors are summed plainly. The order is part of the
// result (the sign of a near-zero sum decides a bit).
double plane_dot(const double* w, const double* y, std::size_t n) {
    if (n < 8) {
        double d = 0.0;
        for (std::size_t k = 0; k < n; ++k) d += w[k] * y[k];
        return d;
    }
    double q[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const std::size_t blocks = n / 8;
    for (std::size_t m = 0; m < blocks; ++m) {
        const double* wb = w + 8 * m;
        const double* yb = y + 8 * m;
        for (std::size_t j = 0; j < 8; ++j) q[j] += wb[j] * yb[j];
    }
    double d = (((0.0 + (q[0] + q[4])) + (q[1] + q[5])) + (q[2] + q[6])) + (q[3] + q[7]);
    for (std::size_t k = 8 * blocks; k < n; ++k) d += w[k] * y[k];
    return d;
}

// Most slots a record's signs are gathered for at once (the bits of a word).
constexpr std::size_t kMaxSlots = 64;

} // namespace


std::uint64_t plane_count(std::uint64_t num_buckets) {
    return num_buckets == 0 ? 0 : static_cast<std::uint64_t>(std::bit_width(num_buckets - 1));
}

double standard_normal(core::Xoshiro256PlusPlus& g) {
    const auto& X = kZigguratX;
    const auto& F = kZigguratF;
    for (;;) {
        const std::uint64_t w = g.next_word();
        const std::size_t i = static_cast<std::size_t>(w & 0xff);
        const double u = from_bits(w, 0x4000000000000000ull) - 3.0; // [-1, 1)
        const double x = u * X[i];
        if (std::fabs(x) < X[i + 1]) return x;
        if (i == 0) {
            // Tail beyond R, by Marsaglia's exponential rejection.
            double x1;
            double y1;
            do {
                x1 = std::log(from_bits(g.next_word(), 0x3ff0000000000000ull) - 0.9999999999999999) / kZigguratR;
                y1 = std::log(from_bits(g.next_word(), 0x3ff0000000000000ull) - 0.9999999999999999);
            } while (x1 * x1 > -2.0 * y1);
            return u < 0.0 ? x1 - kZigguratR : kZigguratR - x1;
        }
        const double v = g.next_unit();
        if (F[i + 1] + (F[i] - F[i + 1]) * v < std::exp((x * x) * -0.5)) return x;
    }
}

// ------------------------------------------------------------ NumericSketch

NumericSketch::NumericSketch(std::uint64_t b) : num_buckets(b), count(b, 0.0) {}

void NumericSketch::increment(double v) { cell(count, bucket(v)) += 1.0; }
double NumericSketch::query(double v) const { return cell(count, bucket(v)); }
void NumericSketch::decay(const core::Scaling& f) { core::scale_all(count, f); }

// -------------------------------------------------------- CategoricalSketch

CategoricalSketch::CategoricalSketch(std::uint64_t r, std::uint64_t b, core::Xoshiro256PlusPlus& g)
    : num_rows(r), num_buckets(b), hash_a(r), hash_b(r), count(r * b, 0.0) {
    for (auto& a : hash_a) a = g.next_word() % (b - 1) + 1;
    for (auto& s : hash_b) s = g.next_word() % b;
}

namespace {

// The cells a categorical value hits, one per row, after one check of the
// sizes for all of them.
struct CategoricalCells {
    const CategoricalSketch& s;
    Modulus mod;

    explicit CategoricalCells(const CategoricalSketch& sketch) : s(sketch), mod(sketch.num_buckets) {
        core::check_internal(s.num_buckets != 0, "categorical sketch without buckets");
        core::check_internal(s.hash_a.size() >= s.num_rows && s.hash_b.size() >= s.num_rows,
                             "index out of bounds: categorical hash row");
        check_cells(s.count, s.num_rows, s.num_buckets);
    }
    std::uint64_t bucket(std::int64_t z, std::uint64_t row) const {
        return mod.reduce(seeded_hash(static_cast<std::uint64_t>(z), s.hash_a[row], s.hash_b[row]));
    }
    std::uint64_t operator()(std::int64_t z, std::uint64_t row) const { return row * s.num_buckets + bucket(z, row); }
};

} // namespace

std::uint64_t CategoricalSketch::bucket(std::int64_t z, std::uint64_t row) const {
    core::check_internal(row < hash_a.size() && row < hash_b.size(), "index out of bounds: categorical hash row");
    core::check_internal(num_buckets != 0, "categorical sketch without buckets");
    return seeded_hash(static_cast<std::uint64_t>(z), hash_a[row], hash_b[row]) % num_buckets;
}

void CategoricalSketch::increment(std::int64_t z) {
    for (std::uint64_t r = 0; r < num_rows; ++r) cell(count, r * num_buckets + bucket(z, r)) += 1.0;
}

double CategoricalSketch::query(std::int64_t z) const {
    double m = INFINITY;
    for (std::uint64_t r = 0; r < num_rows; ++r) m = min_of(m, cell(count, r * num_buckets + bucket(z, r)));
    return m;
}

void CategoricalSketch::decay(const core::Scaling& f) { core::scale_all(count, f); }

// ------------------------------------------------------------- RecordSketch

RecordSketch::RecordSketch(std::uint64_t r, std::uint64_t b, std::uint64_t n, std::uint64_t c,
                           core::Xoshiro256PlusPlus& g)
    : num_rows(r), num_buckets(b), numeric_dim(n), categorical_dim(c) {
    numeric_planes.resize(r * plane_count(b) * n);
    for (auto& w : numeric_planes) w = standard_normal(g);
    categorical_coeffs.resize(r * c);
    for (std::uint64_t row = 0; row < r; ++row) {
        for (std::uint64_t i = 0; i < c; ++i) {
            const std::uint64_t w = g.next_word();
            categorical_coeffs[row * c + i] = (i + 1 < c) ? w % (b - 1) + 1 : w % b;
        }
    }
    count.assign(r * b, 0.0);
}

namespace {

// The cells a record hits, one per row, after one check of the sizes and
// the record's shape for all of them.
struct RecordCells {
    const RecordSketch& s;
    const Record& rec;
    Modulus mod;
    std::uint64_t planes = 0;

    RecordCells(const RecordSketch& sketch, const Record& record)
        : s(sketch), rec(record), mod(sketch.num_buckets), planes(sketch.planes()) {
        core::check_internal(s.num_buckets != 0, "record sketch without buckets");
        core::check_internal(rec.numeric.size() == s.numeric_dim && rec.categorical.size() == s.categorical_dim,
                             "record length differs from the record sketch's dimensions");
        std::uint64_t row_len = 0, all = 0, coeffs = 0;
        core::check_internal(core::checked_mul(planes, s.numeric_dim, row_len) &&
                                 core::checked_mul(row_len, s.num_rows, all) && all == s.numeric_planes.size(),
                             "index out of bounds: record sketch planes");
        core::check_internal(core::checked_mul(s.categorical_dim, s.num_rows, coeffs) &&
                                 coeffs == s.categorical_coeffs.size(),
                             "index out of bounds: record sketch coefficients");
        check_cells(s.count, s.num_rows, s.num_buckets);
    }

    // The planes' signs of every row, from the sketch's columns; bucket()
    // reads them instead of taking the dot products itself.
    std::uint64_t positive = 0; // bit j: slot j's dot product is above zero
    bool by_columns = false;

    void take_signs(const PlaneColumns& c) {
        const std::size_t slots = static_cast<std::size_t>(s.num_rows * planes);
        // (stride <= 64 after the first tests: the product cannot wrap)
        core::check_internal(!c.empty() && slots <= kMaxSlots && c.stride >= slots && c.stride <= kMaxSlots &&
                                 c.stride % kMaxLanes == 0 && s.numeric_dim <= c.values.size() &&
                                 c.values.size() == c.stride * s.numeric_dim,
                             "index out of bounds: record sketch plane columns");
        positive = plane_signs(c.values.data(), c.stride, rec.numeric.data(), s.numeric_dim, slots);
        by_columns = true;
    }

    // Bits of the planes' signs plus the seeded hash of the categorical
    // values, mod B.
    std::uint64_t bucket(std::uint64_t row) const {
        std::uint64_t bits = 0;
        const std::uint64_t n = s.numeric_dim;
        if (by_columns) {
            bits = (positive >> (row * planes)) & ((std::uint64_t{2} << (planes - 1)) - 1);
        } else if (n > 0) {
            const double* base = s.numeric_planes.data() + row * planes * n;
            for (std::uint64_t p = 0; p < planes; ++p) {
                if (plane_dot(base + p * n, rec.numeric.data(), n) > 0.0) bits |= std::uint64_t{1} << p;
            }
        }
        std::uint64_t c = 0;
        const std::uint64_t* coeffs = s.categorical_coeffs.data() + row * s.categorical_dim;
        for (std::uint64_t i = 0; i < s.categorical_dim; ++i) {
            c = mod.add(c, seeded_hash(static_cast<std::uint64_t>(rec.categorical[i]), coeffs[i], row));
        }
        return mod.add(bits, c);
    }
    std::uint64_t operator()(std::uint64_t row) const { return row * s.num_buckets + bucket(row); }
};

} // namespace

std::uint64_t RecordSketch::bucket(const Record& rec, std::uint64_t row) const {
    const RecordCells cells(*this, rec);
    core::check_internal(row < num_rows, "index out of bounds: record sketch row");
    return cells.bucket(row);
}

void RecordSketch::increment(const Record& rec) {
    const RecordCells cells(*this, rec);
    for (std::uint64_t r = 0; r < num_rows; ++r) count[cells(r)] += 1.0;
}

double RecordSketch::query(const Record& rec) const {
    const RecordCells cells(*this, rec);
    double m = INFINITY;
    for (std::uint64_t r = 0; r < num_rows; ++r) m = min_of(m, count[cells(r)]);
    return m;
}

void RecordSketch::decay(const core::Scaling& f) { core::scale_all(count, f); }

// ------------------------------------------------------------------- pairs

bool same_hashing(const SketchCounts<CategoricalSketch>& p) {
    const auto &a = p.current, &b = p.total;
    return a.num_rows == b.num_rows && a.num_buckets == b.num_buckets && a.hash_a == b.hash_a &&
           a.hash_b == b.hash_b && a.count.size() == b.count.size();
}

bool same_hashing(const SketchCounts<RecordSketch>& p) {
    const auto &a = p.current, &b = p.total;
    // Planes compared bit for bit: equal values of another sign of zero
    // could still tip a near-zero dot product.
    return a.num_rows == b.num_rows && a.num_buckets == b.num_buckets && a.numeric_dim == b.numeric_dim &&
           a.categorical_dim == b.categorical_dim && a.categorical_coeffs == b.categorical_coeffs &&
           a.numeric_planes.size() == b.numeric_planes.size() &&
           (a.numeric_planes.empty() || // memcmp takes no null pointer, even for no bytes
            std::memcmp(a.numeric_planes.data(), b.numeric_planes.data(), a.numeric_planes.size() * sizeof(double)) ==
                0) &&
           a.count.size() == b.count.size();
}

namespace {

// The twin path of a pair whose sketches hash alike: each row's cell is
// found once, incremented in both and read back (distinct rows never share
// a cell, so reading right away equals querying after every increment).
template <class Cells>
PairCounts increment_twin(std::vector<double>& current, std::vector<double>& total, std::uint64_t rows,
                          const Cells& cells) {
    core::check_internal(current.size() == total.size(), "sketch pair count arrays differ in size");
    PairCounts out{INFINITY, INFINITY};
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t i = cells(r);
        out.current = min_of(out.current, current[i] += 1.0);
        out.total = min_of(out.total, total[i] += 1.0);
    }
    return out;
}

template <class Cells>
PairCounts query_twin(const std::vector<double>& current, const std::vector<double>& total, std::uint64_t rows,
                      const Cells& cells) {
    core::check_internal(current.size() == total.size(), "sketch pair count arrays differ in size");
    PairCounts out{INFINITY, INFINITY};
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t i = cells(r);
        out.current = min_of(out.current, current[i]);
        out.total = min_of(out.total, total[i]);
    }
    return out;
}

} // namespace

PairCounts increment_pair(SketchCounts<NumericSketch>& p, std::uint64_t bucket) {
    return {cell(p.current.count, bucket) += 1.0, cell(p.total.count, bucket) += 1.0};
}

PairCounts query_pair(const SketchCounts<NumericSketch>& p, std::uint64_t bucket) {
    return {cell(p.current.count, bucket), cell(p.total.count, bucket)};
}

PairCounts increment_pair(SketchCounts<CategoricalSketch>& p, std::int64_t z, bool twin) {
    if (!twin) {
        p.current.increment(z);
        p.total.increment(z);
        return {p.current.query(z), p.total.query(z)};
    }
    const CategoricalCells cells(p.current);
    return increment_twin(p.current.count, p.total.count, p.current.num_rows,
                          [&](std::uint64_t r) { return cells(z, r); });
}

PairCounts query_pair(const SketchCounts<CategoricalSketch>& p, std::int64_t z, bool twin) {
    if (!twin) return {p.current.query(z), p.total.query(z)};
    const CategoricalCells cells(p.current);
    return query_twin(p.current.count, p.total.count, p.current.num_rows,
                      [&](std::uint64_t r) { return cells(z, r); });
}

PairCounts increment_pair(SketchCounts<RecordSketch>& p, const Record& rec, bool twin) {
    if (!twin) {
        p.current.increment(rec);
        p.total.increment(rec);
        return {p.current.query(rec), p.total.query(rec)};
    }
    return increment_twin(p.current.count, p.total.count, p.current.num_rows, RecordCells(p.current, rec));
}

PairCounts increment_pair(SketchCounts<RecordSketch>& p, const Record& rec, const PlaneColumns& columns) {
    RecordCells cells(p.current, rec);
    cells.take_signs(columns);
    return increment_twin(p.current.count, p.total.count, p.current.num_rows, cells);
}

PairCounts query_pair(const SketchCounts<RecordSketch>& p, const Record& rec, const PlaneColumns& columns) {
    RecordCells cells(p.current, rec);
    cells.take_signs(columns);
    return query_twin(p.current.count, p.total.count, p.current.num_rows, cells);
}

PlaneColumns::PlaneColumns(const RecordSketch& s) {
    const std::uint64_t planes = s.planes();
    std::uint64_t slots = 0, all = 0;
    if (s.numeric_dim == 0 || !core::checked_mul(s.num_rows, planes, slots) || slots > kMaxSlots ||
        !core::checked_mul(slots, s.numeric_dim, all) || all != s.numeric_planes.size()) {
        return;
    }
    stride = (slots + kMaxLanes - 1) / kMaxLanes * kMaxLanes;
    values.assign(stride * s.numeric_dim, 0.0);
    for (std::uint64_t j = 0; j < slots; ++j) {
        for (std::uint64_t k = 0; k < s.numeric_dim; ++k) values[k * stride + j] = s.numeric_planes[j * s.numeric_dim + k];
    }
}

namespace {

// Both count arrays of a twin pair hold `cells` cells.
inline bool twin_cells(const std::vector<double>& current, const std::vector<double>& total, std::uint64_t cells) {
    return current.size() == cells && total.size() == cells;
}

// increment_twin's step for one row's cell i, with `out` starting at +inf.
// min_of (fmin) differs from the plain comparison only where an operand is
// NaN or both are zeros of opposite signs. Neither arises here: a NaN count
// is passed over by both (the running minimum, never NaN itself, is kept),
// and a count incremented by 1.0 is never -0.
inline void count_twin(double* current, double* total, std::uint64_t i, PairCounts& out) {
    const double c = current[i] += 1.0, t = total[i] += 1.0;
    out.current = c < out.current ? c : out.current;
    out.total = t < out.total ? t : out.total;
}

} // namespace

EventSketches::EventSketches(std::span<SketchCounts<NumericSketch>> numeric, SketchCounts<RecordSketch>& record,
                             const PlaneColumns& columns, std::span<SketchCounts<CategoricalSketch>> categorical,
                             CategoryHashes& hashes)
    : numeric_(numeric), record_(&record), columns_(&columns), categorical_(categorical) {
    const RecordSketch& shape = record.current;
    rows_ = shape.num_rows;
    buckets_ = shape.num_buckets;
    planes_ = shape.planes();
    const std::size_t n = numeric.size(), c = categorical.size();
    std::uint64_t cells = 0, coeffs = 0;
    // Every sketch shares the record sketch's rows and buckets (the
    // detector makes and loads them so); what indexing relies on is the
    // length of each array, checked here.
    bool fits = buckets_ != 0 && core::checked_mul(rows_, buckets_, cells) && core::checked_mul(rows_, c, coeffs) &&
                shape.numeric_dim == n && shape.categorical_dim == c && shape.categorical_coeffs.size() == coeffs &&
                twin_cells(record.current.count, record.total.count, cells);
    for (const auto& p : numeric) fits = fits && twin_cells(p.current.count, p.total.count, buckets_);
    for (const auto& p : categorical) {
        fits = fits && p.current.hash_a.size() >= rows_ && p.current.hash_b.size() >= rows_ &&
               twin_cells(p.current.count, p.total.count, cells);
    }
    if (n > 0) {
        const std::uint64_t slots = rows_ * planes_; // rows * planes <= cells
        fits = fits && !columns.empty() && slots <= kMaxSlots && columns.stride >= slots &&
               columns.stride <= kMaxSlots && columns.stride % kMaxLanes == 0 &&
               columns.values.size() == columns.stride * n;
    }
    core::check_internal(fits, "index out of bounds: sketch sizes differ from the record's");

    std::uint64_t words = 0;
    fits = hashes.rows_ == rows_ && hashes.features_ == c && core::checked_mul(hashes.width_, c, words) &&
           core::checked_mul(words, hashes.slots_, words) && hashes.words_.size() == words &&
           hashes.width_ == 2 + 2 * rows_ && (hashes.slots_ == 1 || hashes.slots_ == CategoryHashes::kSlots);
    core::check_internal(fits, "index out of bounds: categorical hash table differs from the sketches");
    hashes_ = hashes.words_.data();
    slots_ = hashes.slots_;
    width_ = hashes.width_;
}

CategoryHashes::CategoryHashes(std::uint64_t rows, std::uint64_t features) : rows_(rows), features_(features) {
    // A table of at most 256 KiB; most detectors need a few.
    constexpr std::uint64_t kMostWords = std::uint64_t{1} << 15;
    std::uint64_t words = 0;
    core::check_internal(core::checked_mul(rows, 2, width_) && core::checked_add(width_, 2, width_) &&
                             core::checked_mul(width_, features, words),
                         "categorical hash table size overflows");
    if (words <= kMostWords / kSlots) slots_ = kSlots;
    words_.assign(words * slots_, 0); // nothing filled
}

void EventSketches::fill_hashes(std::size_t j, std::uint64_t v, std::uint64_t* e) const {
    const std::uint64_t rows = rows_, c = categorical_.size();
    const CategoricalSketch& own = categorical_[j].current;
    const std::uint64_t* coeffs = record_->current.categorical_coeffs.data();
    const Modulus mod(buckets_);
    for (std::uint64_t r = 0; r < rows; ++r) {
        e[2 + r] = mod.reduce(seeded_hash(v, own.hash_a[r], own.hash_b[r]));
        e[2 + rows + r] = seeded_hash(v, coeffs[r * c + j], r);
    }
    e[0] = 1;
    e[1] = v;
}

std::uint64_t EventSketches::signs_of(const double* numeric) const {
    const std::size_t n = numeric_.size();
    if (n == 0) return 0;
    return plane_signs(columns_->values.data(), columns_->stride, numeric, n, static_cast<std::size_t>(rows_ * planes_));
}

void EventSketches::signs_of_rows(const double* numeric, std::size_t rows, std::uint64_t* signs) const {
    const std::size_t n = numeric_.size();
    if (n == 0) {
        std::fill_n(signs, rows, std::uint64_t{0});
        return;
    }
    plane_signs_rows(columns_->values.data(), columns_->stride, numeric, n, rows,
                     static_cast<std::size_t>(rows_ * planes_), signs);
}

void EventSketches::count_record(const std::uint64_t* bucket, std::uint64_t positive, const std::int64_t* values,
                                 const std::uint64_t** hashes, double* current, double* total) {
    const std::size_t n = numeric_.size(), c = categorical_.size();
    const std::uint64_t rows = rows_, buckets = buckets_, planes = planes_;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t b = bucket[i];
        core::check_internal(b < buckets, "index out of bounds: sketch bucket beyond its count array");
        current[i] = numeric_[i].current.count[b] += 1.0;
        total[i] = numeric_[i].total.count[b] += 1.0;
    }
    for (std::size_t j = 0; j < c; ++j) hashes[j] = hashes_of(j, values[j]);

    const std::uint64_t plane_bits = (std::uint64_t{2} << (planes - 1)) - 1;
    double* record_current = record_->current.count.data();
    double* record_total = record_->total.count.data();
    PairCounts whole{INFINITY, INFINITY};
    const Modulus mod(buckets);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t bits = n > 0 ? (positive >> (r * planes)) & plane_bits : 0;
        std::uint64_t h = 0;
        if (mod.power_of_two) {
            // A power of two divides 2^64: the wrapped sum reduces alike.
            h = bits;
            for (std::size_t i = 0; i < c; ++i) h += hashes[i][rows + r];
            h &= buckets - 1;
        } else {
            for (std::size_t i = 0; i < c; ++i) h = mod.add(h, hashes[i][rows + r]);
            h = mod.add(bits, h);
        }
        count_twin(record_current, record_total, r * buckets + h, whole);
    }
    current[n] = whole.current;
    total[n] = whole.total;

    for (std::size_t j = 0; j < c; ++j) {
        double* own_current = categorical_[j].current.count.data();
        double* own_total = categorical_[j].total.count.data();
        const std::uint64_t* own = hashes[j];
        PairCounts out{INFINITY, INFINITY};
        for (std::uint64_t r = 0; r < rows; ++r) count_twin(own_current, own_total, r * buckets + own[r], out);
        current[n + 1 + j] = out.current;
        total[n + 1 + j] = out.total;
    }
}

namespace {

// Room for one record's categorical hashes (a pointer per feature).
class HashList {
public:
    explicit HashList(std::size_t c) : heaped_(c > kOnStack ? c : 0) {}
    const std::uint64_t** get() { return heaped_.empty() ? stacked_ : heaped_.data(); }

private:
    static constexpr std::size_t kOnStack = 64;
    const std::uint64_t* stacked_[kOnStack];
    std::vector<const std::uint64_t*> heaped_;
};

} // namespace

void EventSketches::increment_events(const std::uint64_t* bucket, std::uint64_t positive, const Record& rec,
                                     double* current, double* total) {
    core::check_internal(rec.numeric.size() == numeric_.size() && rec.categorical.size() == categorical_.size(),
                         "index out of bounds: record length differs from the sketches'");
    HashList hashes(categorical_.size());
    count_record(bucket, positive, rec.categorical.data(), hashes.get(), current, total);
}

void EventSketches::count_records(const std::uint64_t* buckets, const std::uint64_t* signs,
                                  const std::int64_t* categorical, std::size_t records, double* current,
                                  double* total) {
    const std::size_t n = numeric_.size(), c = categorical_.size(), events = n + 1 + c;
    HashList hashes(c);
    for (std::size_t k = 0; k < records; ++k) {
        count_record(buckets + k * n, signs[k], categorical + k * c, hashes.get(), current + k * events,
                     total + k * events);
    }
}

PairCounts query_pair(const SketchCounts<RecordSketch>& p, const Record& rec, bool twin) {
    if (!twin) return {p.current.query(rec), p.total.query(rec)};
    return query_twin(p.current.count, p.total.count, p.current.num_rows, RecordCells(p.current, rec));
}

} // namespace tarn::mstream
