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
    for (double v : x) {
        if (!std::isfinite(v)) return core::invalid("numeric values must be finite");
    }
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

// A value standing in for scale(asinh(x), lo, hi) without asinh, when its
// bucket is certain and asinh(x) lies strictly inside [lo, hi] (the bounds
// would not move); false when it cannot tell.
//
// e = log(|x| + sqrt(x^2 + 1)) is within 2^-43 (relative) of asinh|x| for
// 2^-8 <= |x| <= 2^500, and the library's asinh within a few units in the
// last place, so asinh(x) lies in [e' - e 2^-30, e' + e 2^-30] (e' = e
// with x's sign). The scaled value and its bucket never decrease as the
// value grows, so when both ends of that interval fall in one bucket,
// asinh(x) falls in it too. Outside a set of measure about 2^-29 B / range
// per value this settles the bucket at a third of the cost of asinh.
//
// The same test runs on a block of features at once (settle_block) with a
// logarithm of its own, within 2^-40 of the library's; the interval above
// still holds with room to spare.
bool in_one_bucket(double a_lo, double a_hi, double lo, double r, std::uint64_t buckets, double& out) {
    const double v = (a_lo - lo) / r;
    if (value_bucket(v, buckets) != value_bucket((a_hi - lo) / r, buckets)) return false;
    out = v;
    return true;
}

bool scaled_estimate(double x, double lo, double hi, std::uint64_t buckets, double& out) {
    const double ax = std::fabs(x);
    if (!(ax >= 0x1p-8 && ax <= 0x1p500)) return false;
    const double r = hi - lo;
    if (!(r > kEpsilon)) return false; // also rules out infinite bounds
    const double e = std::log(ax + std::sqrt(ax * ax + 1.0));
    const double centre = x < 0.0 ? -e : e;
    const double slack = e * 0x1p-30;
    const double a_lo = centre - slack;
    const double a_hi = centre + slack;
    if (!(a_lo > lo && a_hi < hi)) return false;
    return in_one_bucket(a_lo, a_hi, lo, r, buckets, out);
}

// ln y for finite y >= 1, within 2^-40 relative. y = 2^k m with m in
// [sqrt(1/2), sqrt(2)); ln m = 2 atanh(s) for s = (m - 1) / (m + 1),
// |s| < 0.1716, summed to s^15 (in Estrin's order, for a short chain of
// dependent operations): the rest is below s^16 / 8 < 2^-43 relative, and
// the dozen roundings add a few units in the last place.
template <class Doubles, class Bits>
[[gnu::always_inline]] inline void log_from_one(const Doubles& y, Doubles& out) {
    const Bits bits = reinterpret_cast<Bits>(y);
    const Bits biased = bits >> 52; // y > 0: no sign bit
    Doubles m = reinterpret_cast<Doubles>((bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    const Bits upper = reinterpret_cast<Bits>(m > 1.4142135623730951); // all ones where m moves down an octave
    m = reinterpret_cast<Doubles>((reinterpret_cast<Bits>(m * 0.5) & upper) | (reinterpret_cast<Bits>(m) & ~upper));
    // The exponent as a double: its integer bits under 2^52's pattern.
    const Doubles k = (reinterpret_cast<Doubles>((biased - upper) | 0x4330000000000000ULL) - 0x1p52) - 1023.0;
    const Doubles s = (m - 1.0) / (m + 1.0);
    const Doubles z = s * s;
    const Doubles z2 = z * z;
    const Doubles z4 = z2 * z2;
    const Doubles p01 = z * (1.0 / 3.0) + 1.0;
    const Doubles p23 = z * (1.0 / 7.0) + 1.0 / 5.0;
    const Doubles p45 = z * (1.0 / 11.0) + 1.0 / 9.0;
    const Doubles p67 = z * (1.0 / 15.0) + 1.0 / 13.0;
    const Doubles p = (p23 * z2 + p01) + (p67 * z2 + p45) * z4;
    out = k * 0.6931471805599453 + (s * p) * 2.0;
}

// Whether scaled values 0 <= v_lo <= v_hi <= 1 with products y = v B
// below 2^51 fall in one bucket (value_bucket: floor(y) at most B - 1):
// floor(y_hi) is at most y_lo, or both clamp to the last bucket. The floor
// is the integer nearest y (2^52 added and taken away), less one where
// that lies above y.
template <class Doubles, class Bits>
[[gnu::always_inline]] inline void one_bucket(const Doubles& v_lo, const Doubles& v_hi, double buckets, Bits& out) {
    const Doubles y_lo = v_lo * buckets, y_hi = v_hi * buckets;
    const Doubles nearest = (y_hi + 0x1p52) - 0x1p52;
    const Doubles one = Doubles{} + 1.0;
    const Doubles floor = nearest - reinterpret_cast<Doubles>(reinterpret_cast<Bits>(one) &
                                                              reinterpret_cast<Bits>(nearest > y_hi));
    out = reinterpret_cast<Bits>((floor <= y_lo) | (y_lo >= buckets - 1.0));
}

// scaled_estimate for the W features at x, lo, hi: a bit per feature whose
// bucket it settles, its value in v (v is written for every feature).
template <std::size_t W>
[[gnu::always_inline]] inline unsigned settle_lanes(const double* x, const double* lo, const double* hi,
                                                   std::uint64_t buckets, double* v) {
    using Doubles = typename Lanes<W>::Doubles;
    using Bits = typename Lanes<W>::Bits;
    Doubles xs, l, h;
    std::memcpy(&xs, x, sizeof xs);
    std::memcpy(&l, lo, sizeof l);
    std::memcpy(&h, hi, sizeof h);
    const Doubles ax = reinterpret_cast<Doubles>(reinterpret_cast<Bits>(xs) & 0x7fffffffffffffffULL);
    const Doubles r = h - l;
    Bits ok = reinterpret_cast<Bits>((ax >= 0x1p-8) & (ax <= 0x1p500) & (r > kEpsilon));
    // Lanes out of range compute on 1.0 instead: no overflow, nothing settled.
    const Doubles a = reinterpret_cast<Doubles>((reinterpret_cast<Bits>(ax) & ok) |
                                                (reinterpret_cast<Bits>(Doubles{} + 1.0) & ~ok));
    Doubles root;
    square_root(a * a + 1.0, root);
    Doubles e;
    log_from_one<Doubles, Bits>(a + root, e);
    const Doubles centre = reinterpret_cast<Doubles>(reinterpret_cast<Bits>(e) |
                                                     (reinterpret_cast<Bits>(xs) & 0x8000000000000000ULL));
    const Doubles slack = e * 0x1p-30;
    const Doubles a_lo = centre - slack;
    const Doubles a_hi = centre + slack;
    ok &= reinterpret_cast<Bits>((a_lo > l) & (a_hi < h));
    const Doubles v_lo = (a_lo - l) / r;
    const Doubles v_hi = (a_hi - l) / r;
    std::memcpy(v, &v_lo, sizeof v_lo);
    unsigned settled = 0;
    if (buckets <= (std::uint64_t{1} << 50)) {
        // Both ends lie in [0, 1] where ok holds: y = v B < 2^51.
        Bits same;
        one_bucket<Doubles, Bits>(v_lo, v_hi, static_cast<double>(buckets), same);
        settled = sign_mask(ok & same);
    } else {
        for (std::size_t k = 0; k < W; ++k) {
            if (ok[k] && value_bucket(v_lo[k], buckets) == value_bucket(v_hi[k], buckets)) settled |= 1u << k;
        }
    }
    return settled;
}

// kBlock features: blocks of W lanes, one after the other (the processor
// overlaps their chains of dependent operations).
constexpr std::size_t kBlock = 8;
template <std::size_t W>
[[gnu::always_inline]] inline unsigned settle_block_of(const double* x, const double* lo, const double* hi,
                                                      std::uint64_t buckets, double* v) {
    unsigned settled = 0;
    for (std::size_t j = 0; j < kBlock; j += W) settled |= settle_lanes<W>(x + j, lo + j, hi + j, buckets, v + j) << j;
    return settled;
}

unsigned settle_portable(const double* x, const double* lo, const double* hi, std::uint64_t buckets, double* v) {
    return settle_block_of<2>(x, lo, hi, buckets, v);
}

#if TARN_LANES_AVX2
__attribute__((target("avx2"))) unsigned settle_avx2(const double* x, const double* lo, const double* hi,
                                                     std::uint64_t buckets, double* v) {
    return settle_block_of<4>(x, lo, hi, buckets, v);
}
#endif

using Settle = unsigned (*)(const double*, const double*, const double*, std::uint64_t, double*);

// kBlock features at a time, in the widest vectors the processor has.
Settle settle_block() {
#if TARN_LANES_AVX2
    if (wide_lanes()) return settle_avx2;
#endif
    return settle_portable;
}

} // namespace

void NumericRangeNormalizer::check_dim(std::size_t dim) const {
    core::check_internal(min_numeric.size() >= dim && max_numeric.size() >= dim,
                         "index out of bounds: normalizer bounds shorter than the record");
}

namespace {

// Settles each feature's bucket by the estimate where it can (its value in
// out[i]) and hands the others to exact(i), block after block: a block is
// estimated whole before exact() sees any of its features.
template <class Exact>
void settle_each(std::span<const double> x, const double* lo, const double* hi, std::uint64_t buckets, double* out,
                 Exact exact) {
    const Settle block = settle_block();
    std::size_t i = 0;
    for (; i + kBlock <= x.size(); i += kBlock) {
        const unsigned settled = block(x.data() + i, lo + i, hi + i, buckets, out + i);
        for (std::size_t k = 0; k < kBlock; ++k) {
            if (!(settled >> k & 1u)) exact(i + k);
        }
    }
    for (; i < x.size(); ++i) {
        if (!scaled_estimate(x[i], lo[i], hi[i], buckets, out[i])) exact(i);
    }
}

} // namespace

void NumericRangeNormalizer::preview_values(std::span<const double> x, bool first, std::uint64_t buckets,
                                            std::span<double> out) const {
    check_dim(x.size());
    core::check_internal(out.size() >= x.size(), "index out of bounds: preview values shorter than the record");
    if (first) {
        std::fill_n(out.begin(), x.size(), 0.0);
        return;
    }
    settle_each(x, min_numeric.data(), max_numeric.data(), buckets, out.data(), [&](std::size_t i) {
        const double a = std::asinh(x[i]);
        out[i] = scale(a, min_of(min_numeric[i], a), max_of(max_numeric[i], a));
    });
}

void NumericRangeNormalizer::normalize(std::span<const double> x, bool first, std::uint64_t buckets,
                                       std::vector<double>& out) {
    check_dim(x.size());
    out.resize(x.size());
    if (first) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double a = std::asinh(x[i]);
            min_numeric[i] = a;
            max_numeric[i] = a;
            out[i] = 0.0;
        }
        return;
    }
    settle_each(x, min_numeric.data(), max_numeric.data(), buckets, out.data(), [&](std::size_t i) {
        const double a = std::asinh(x[i]);
        min_numeric[i] = min_of(min_numeric[i], a);
        max_numeric[i] = max_of(max_numeric[i], a);
        out[i] = scale(a, min_numeric[i], max_numeric[i]);
    });
}

} // namespace tarn::mstream
