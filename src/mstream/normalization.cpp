#include "mstream/normalization.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "mstream/lanes.hpp"

namespace tarn::mstream {

core::Result<Advance> StreamClock::advance(std::uint64_t ts) const {
    if (ts == 0) return core::invalid("timestamp must be > 0");
    if (!current_time) return Advance{0, 1};
    const std::uint64_t previous = *current_time;
    if (ts < previous) {
        return core::invalid("timestamps must be non-decreasing: previous=" + std::to_string(previous) +
                             ", got=" + std::to_string(ts));
    }
    const std::uint64_t elapsed = ts - previous;
    return Advance{elapsed, current_tick + elapsed}; // wraps like any u64 sum
}

double decay_factor(double alpha, std::uint64_t k) { return std::pow(alpha, static_cast<double>(k)); }

core::Status check_finite(std::span<const double> x) {
    if (!all_finite(x)) return core::invalid("numeric values must be finite");
    return {};
}

NumericRangeNormalizer::NumericRangeNormalizer(std::size_t numeric_dim)
    : min_numeric(numeric_dim, INFINITY), max_numeric(numeric_dim, -INFINITY) {}

namespace {

// The scaled position of a within [lo, hi]; 0 for a range of at most epsilon.
inline double scale(double a, double lo, double hi) {
    const double r = hi - lo;
    return r <= kEpsilon ? 0.0 : (a - lo) / r;
}

// The bucket of scale(asinh(x), lo, hi) without asinh, when it is certain
// and asinh(x) lies strictly inside [lo, hi] (the bounds would not move);
// false when it cannot tell.
//
// e = log(|x| + sqrt(x^2 + 1)) is within 2^-51 + e 2^-50 of asinh|x| for
// |x| <= 2^500 (the sum rounds within 2^-52 relative, which moves its
// logarithm by at most 2^-52; the logarithm adds a unit in the last place),
// and the library's asinh within a few units in the last place, so
// asinh(x) lies in [e' - d, e' + d] for d = e 2^-30 + 2^-48 (e' = e with
// x's sign). The scaled value and its bucket never decrease as the value
// grows, so when both ends of that interval fall in one bucket, asinh(x)
// falls in it too. Outside a set of measure about 2^-29 B / range per
// value this settles the bucket at a third of the cost of asinh.
//
// The same test runs on a block of features at once (settle_eight) with a
// logarithm of its own, within 2^-40 (relative) of the library's; the
// interval above still holds with room to spare.
bool in_one_bucket(double a_lo, double a_hi, double lo, double r, std::uint64_t buckets, std::uint64_t& out) {
    const std::uint64_t b = value_bucket((a_lo - lo) / r, buckets);
    if (b != value_bucket((a_hi - lo) / r, buckets)) return false;
    out = b;
    return true;
}

bool bucket_estimate(double x, double lo, double hi, std::uint64_t buckets, std::uint64_t& out) {
    const double ax = std::fabs(x);
    if (!(ax <= 0x1p500)) return false;
    const double r = hi - lo;
    if (!(r > kEpsilon)) return false; // also rules out infinite bounds
    const double e = std::log(ax + std::sqrt(ax * ax + 1.0));
    const double centre = x < 0.0 ? -e : e;
    const double slack = e * 0x1p-30 + 0x1p-48;
    const double a_lo = centre - slack;
    const double a_hi = centre + slack;
    if (!(a_lo > lo && a_hi < hi)) return false;
    return in_one_bucket(a_lo, a_hi, lo, r, buckets, out);
}

} // namespace

void NumericRangeNormalizer::check_dim(std::size_t dim) const {
    core::check_internal(min_numeric.size() >= dim && max_numeric.size() >= dim,
                         "index out of bounds: normalizer bounds shorter than the record");
}

namespace {

// Settles each feature's bucket by the estimate where it can (into out[i])
// and hands the others to exact(i), block after block: a block is
// estimated whole before exact() sees any of its features.
template <class Exact>
void settle_each(std::span<const double> x, const double* lo, const double* hi, std::uint64_t buckets,
                 std::uint64_t* out, Exact exact) {
    std::size_t i = 0;
    for (; i + kSettleBlock <= x.size(); i += kSettleBlock) {
        const unsigned settled = settle_eight(x.data() + i, lo + i, hi + i, buckets, out + i);
        for (std::size_t k = 0; k < kSettleBlock; ++k) {
            if (!(settled >> k & 1u)) exact(i + k);
        }
    }
    for (; i < x.size(); ++i) {
        if (!bucket_estimate(x[i], lo[i], hi[i], buckets, out[i])) exact(i);
    }
}

} // namespace

void NumericRangeNormalizer::preview_buckets(std::span<const double> x, bool first, std::uint64_t buckets,
                                             std::span<std::uint64_t> out) const {
    check_dim(x.size());
    core::check_internal(out.size() >= x.size(), "index out of bounds: preview buckets shorter than the record");
    if (first) {
        std::fill_n(out.begin(), x.size(), value_bucket(0.0, buckets));
        return;
    }
    settle_each(x, min_numeric.data(), max_numeric.data(), buckets, out.data(), [&](std::size_t i) {
        const double a = std::asinh(x[i]);
        out[i] = value_bucket(scale(a, min_of(min_numeric[i], a), max_of(max_numeric[i], a)), buckets);
    });
}

std::size_t NumericRangeNormalizer::settled_rows(std::span<const double> x, std::size_t rows, std::uint64_t buckets,
                                                 std::uint64_t* out) const {
    const std::size_t n = min_numeric.size();
    std::uint64_t values = 0;
    core::check_internal(max_numeric.size() == n && core::checked_mul(rows, n, values) && values == x.size(),
                         "index out of bounds: rows of values differ from the normalizer's bounds");
    // Each block of features over all the records in one call (up to the
    // first record with a value not settled), then the last features
    // record by record.
    constexpr std::size_t kOnStack = 64;
    unsigned stacked[kOnStack];
    std::vector<unsigned> heaped(rows > kOnStack ? rows : 0);
    unsigned* bits = rows > kOnStack ? heaped.data() : stacked;
    std::size_t settled = rows;
    for (std::size_t j = 0; j + kSettleBlock <= n; j += kSettleBlock) {
        settle_rows(x.data() + j, n, settled, min_numeric.data() + j, max_numeric.data() + j, buckets, out + j, bits);
        std::size_t row = 0;
        while (row < settled && bits[row] == (1u << kSettleBlock) - 1) ++row;
        settled = row;
    }
    for (std::size_t row = 0; row < settled; ++row) {
        for (std::size_t i = n / kSettleBlock * kSettleBlock; i < n; ++i) {
            if (!bucket_estimate(x[row * n + i], min_numeric[i], max_numeric[i], buckets, out[row * n + i])) return row;
        }
    }
    return settled;
}

void NumericRangeNormalizer::normalize(std::span<const double> x, bool first, std::uint64_t buckets,
                                       std::vector<std::uint64_t>& out) {
    check_dim(x.size());
    out.resize(x.size());
    if (first) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double a = std::asinh(x[i]);
            min_numeric[i] = a;
            max_numeric[i] = a;
            out[i] = value_bucket(0.0, buckets);
        }
        return;
    }
    settle_each(x, min_numeric.data(), max_numeric.data(), buckets, out.data(), [&](std::size_t i) {
        const double a = std::asinh(x[i]);
        min_numeric[i] = min_of(min_numeric[i], a);
        max_numeric[i] = max_of(max_numeric[i], a);
        out[i] = value_bucket(scale(a, min_numeric[i], max_numeric[i]), buckets);
    });
}

} // namespace tarn::mstream
