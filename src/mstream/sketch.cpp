#include "mstream/sketch.hpp"

#include <bit>
#include <cmath>

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

// (a + b) mod m without overflow, for a, b < 2^64 and m > 0.
inline std::uint64_t add_mod(std::uint64_t a, std::uint64_t b, std::uint64_t m) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) + b) % m);
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

} // namespace

std::uint64_t seeded_hash(std::uint64_t x, std::uint64_t k0, std::uint64_t k1) {
    const std::uint64_t buf = core::folded_multiply(x ^ k1 ^ core::kFoldWhiten1, core::kFoldMultiplier);
    return std::rotl(core::folded_multiply(buf, k0 ^ core::kFoldWhiten0), static_cast<int>(buf % 64));
}

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

double chi_score(double a, double s, double t) {
    const double m = s / t;
    if (m <= kEpsilon) return 0.0;
    const double e = std::fmax(t - 1.0, 1.0);
    const double d = a - m;
    return (d * d) / (e * m) + (d * d) / m;
}

// ------------------------------------------------------------ NumericSketch

NumericSketch::NumericSketch(std::uint64_t b) : num_buckets(b), count(b, 0.0) {}

std::uint64_t NumericSketch::bucket(double v) const {
    const double b = static_cast<double>(num_buckets);
    double x = std::floor(v * b);
    x = std::fmax(0.0, x);                                  // NaN becomes 0 here
    x = std::fmin(static_cast<double>(num_buckets - 1), x); // v = 1.0 lands in the last bucket
    // Saturating conversion to an unsigned index.
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(x);
}

void NumericSketch::increment(double v) { cell(count, bucket(v)) += 1.0; }
double NumericSketch::query(double v) const { return cell(count, bucket(v)); }
void NumericSketch::decay(const core::Scaling& f) { core::scale_all(count, f); }

// -------------------------------------------------------- CategoricalSketch

CategoricalSketch::CategoricalSketch(std::uint64_t r, std::uint64_t b, core::Xoshiro256PlusPlus& g)
    : num_rows(r), num_buckets(b), hash_a(r), hash_b(r), count(r * b, 0.0) {
    for (auto& a : hash_a) a = g.next_word() % (b - 1) + 1;
    for (auto& s : hash_b) s = g.next_word() % b;
}

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
    for (std::uint64_t r = 0; r < num_rows; ++r) m = std::fmin(m, cell(count, r * num_buckets + bucket(z, r)));
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

std::uint64_t RecordSketch::bucket(const Record& rec, std::uint64_t row) const {
    core::check_internal(num_buckets != 0, "record sketch without buckets");
    core::check_internal(rec.numeric.size() == numeric_dim && rec.categorical.size() == categorical_dim,
                         "record length differs from the record sketch's dimensions");
    core::check_internal(row < num_rows, "index out of bounds: record sketch row");
    std::uint64_t bits = 0;
    if (numeric_dim > 0) {
        const std::uint64_t p_count = planes();
        const std::uint64_t n = numeric_dim;
        std::uint64_t row_len = 0;
        std::uint64_t all = 0;
        core::check_internal(core::checked_mul(p_count, n, row_len) && core::checked_mul(row_len, num_rows, all) &&
                                 all == numeric_planes.size(),
                             "index out of bounds: record sketch planes");
        const double* base = numeric_planes.data() + row * row_len;
        for (std::uint64_t p = 0; p < p_count; ++p) {
            if (plane_dot(base + p * n, rec.numeric.data(), n) > 0.0) bits |= std::uint64_t{1} << p;
        }
    }
    std::uint64_t c = 0;
    if (categorical_dim > 0) {
        std::uint64_t all = 0;
        core::check_internal(core::checked_mul(categorical_dim, num_rows, all) && all == categorical_coeffs.size(),
                             "index out of bounds: record sketch coefficients");
        const std::uint64_t* coeffs = categorical_coeffs.data() + row * categorical_dim;
        for (std::uint64_t i = 0; i < categorical_dim; ++i) {
            const std::uint64_t u = seeded_hash(static_cast<std::uint64_t>(rec.categorical[i]), coeffs[i], row);
            c = add_mod(c, u, num_buckets);
        }
    }
    return add_mod(bits, c, num_buckets);
}

void RecordSketch::increment(const Record& rec) {
    for (std::uint64_t r = 0; r < num_rows; ++r) cell(count, r * num_buckets + bucket(rec, r)) += 1.0;
}

double RecordSketch::query(const Record& rec) const {
    double m = INFINITY;
    for (std::uint64_t r = 0; r < num_rows; ++r) m = std::fmin(m, cell(count, r * num_buckets + bucket(rec, r)));
    return m;
}

void RecordSketch::decay(const core::Scaling& f) { core::scale_all(count, f); }

} // namespace tarn::mstream
