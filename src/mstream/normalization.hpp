// The logical clock of an MStream detector and its running numeric scaling.
//
// Both come in a committing form (used when a record is ingested) and a
// preview form (used by score()), and the two give bit-identical results.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace tarn::mstream {

// 2^-52: ranges and expected counts at or below it count as zero.
inline constexpr double kEpsilon = 2.220446049250313e-16;

// std::fmin and std::fmax, bit for bit (signed zeros and NaNs included),
// without the library call or a branch on the order in the common case:
// apart from NaNs and pairs of zeros, equal operands have the same bits.
// |a| + |b| > 0 fails exactly for those cases (a NaN makes the sum NaN),
// which one test tells.
inline bool ordinary_pair(double a, double b) { return std::fabs(a) + std::fabs(b) > 0.0; }
inline double min_of(double a, double b) {
    if (!ordinary_pair(a, b)) [[unlikely]]
        return std::fmin(a, b);
    return b < a ? b : a;
}
inline double max_of(double a, double b) {
    if (!ordinary_pair(a, b)) [[unlikely]]
        return std::fmax(a, b);
    return b > a ? b : a;
}

// The bucket among `buckets` of y = v * buckets for a scaled value v:
// floor(y) clamped to [0, buckets - 1] and saturated to an index; NaN lands
// in bucket 0 and v = 1.0 in the last one.
inline std::uint64_t product_bucket(double y, std::uint64_t buckets) {
    if (!(y >= 1.0)) return 0;
    if (y < 9223372036854775808.0 && buckets <= (std::uint64_t{1} << 53)) {
        // The usual case, where buckets - 1 is exact as a double and the
        // truncation is the floor: the clamp below in integers.
        const std::uint64_t floor = static_cast<std::uint64_t>(y);
        return floor < buckets - 1 ? floor : buckets - 1;
    }
    // Truncation is the floor of a positive value below 2^63.
    double x = y < 9223372036854775808.0 ? static_cast<double>(static_cast<std::uint64_t>(y)) : std::floor(y);
    const double last = static_cast<double>(buckets - 1);
    if (last < x) x = last;
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(x);
}
inline std::uint64_t value_bucket(double v, std::uint64_t buckets) {
    return product_bucket(v * static_cast<double>(buckets), buckets);
}

// Where a record falls on the tick axis.
struct Advance {
    std::uint64_t elapsed; // ticks since the previous record (0 for the first)
    std::uint64_t tick;    // tick of this record
};

struct StreamClock {
    std::optional<std::uint64_t> current_time; // timestamp of the last record
    std::uint64_t current_tick = 0;            // 0 before the first record, then >= 1

    // Elapsed ticks and the new tick for a record at ts; changes nothing.
    core::Result<Advance> advance(std::uint64_t ts) const;
    void commit(std::uint64_t ts, std::uint64_t tick) {
        current_time = ts;
        current_tick = tick;
    }

    bool operator==(const StreamClock&) const = default;
};

// alpha^k; 1.0 for k = 0.
double decay_factor(double alpha, std::uint64_t k);

// Whether no value is NaN or infinite: one test over all of them, in
// integer operations the compiler runs several values at a time. An
// exponent of all ones (both kinds) is the one that carries into the sign
// bit when one more is added to it.
inline bool all_finite(std::span<const double> x) {
    std::uint64_t special = 0;
    for (double v : x) special |= (std::bit_cast<std::uint64_t>(v) & 0x7ff0000000000000ULL) + 0x0010000000000000ULL;
    return (special >> 63) == 0;
}

// Fails with "numeric values must be finite" when any value is NaN or infinite.
core::Status check_finite(std::span<const double> x);

// asinh followed by a running min-max scaling onto [0, 1]. The bounds hold
// transformed values; +inf / -inf until the first record sets them.
struct NumericRangeNormalizer {
    std::vector<double> min_numeric;
    std::vector<double> max_numeric;

    NumericRangeNormalizer() = default;
    explicit NumericRangeNormalizer(std::size_t numeric_dim);

    // Widens the bounds by the finite values x (the caller's check_finite
    // passed) and writes each value's bucket among `buckets` into out
    // (resized to x.size()): value_bucket of its scaled value. first: no
    // record has been ingested yet. The raw values are x itself.
    void normalize(std::span<const double> x, bool first, std::uint64_t buckets, std::vector<std::uint64_t>& out);
    // The buckets normalize() would write for the finite values x, into out
    // (at least x.size() long), changing nothing.
    void preview_buckets(std::span<const double> x, bool first, std::uint64_t buckets,
                         std::span<std::uint64_t> out) const;
    // For records of finite values, `rows` of them one after another in x
    // (as many values each as there are bounds): how many, from the first,
    // have every value's bucket settled by the estimate, with those buckets
    // in out (a record's values' buckets one after another). Such records
    // lie strictly inside the bounds: normalize() would write the same
    // buckets for each in turn and leave the bounds as they are. out holds
    // anything past them. Changes nothing; not for the first record.
    std::size_t settled_rows(std::span<const double> x, std::size_t rows, std::uint64_t buckets,
                             std::uint64_t* out) const;
    // The bounds cover a record of dim values (an internal invariant).
    void check_dim(std::size_t dim) const;

    bool operator==(const NumericRangeNormalizer&) const = default;
};

} // namespace tarn::mstream
