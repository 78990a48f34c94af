#include "core/scale.hpp"

#include <bit>
#include <cstddef>
#include <algorithm>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tarn::core {

namespace {

constexpr std::uint64_t kSignBit = 0x8000000000000000ull;
constexpr std::uint64_t kFractionBits = (std::uint64_t{1} << 52) - 1;
constexpr double kSmallestNormal = 0x1p-1022;

// |v| = significand * 2^exponent, with the implicit bit made explicit.
struct Unpacked {
    std::uint64_t significand;
    int exponent;
};

Unpacked unpack(std::uint64_t bits) {
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction = bits & kFractionBits;
    if (biased == 0) return {fraction, -1074};
    return {fraction | (std::uint64_t{1} << 52), biased - 1075};
}

int bit_length(unsigned __int128 v) {
    const auto high = static_cast<std::uint64_t>(v >> 64);
    if (high != 0) return 128 - std::countl_zero(high);
    return 64 - std::countl_zero(static_cast<std::uint64_t>(v));
}

double subnormal(std::uint64_t m) { return std::bit_cast<double>(m); }

bool is_fixed(std::uint64_t m, double f) {
    return std::bit_cast<std::uint64_t>(multiply_by_integers(subnormal(m), f)) == m;
}

} // namespace

double multiply_by_integers(double x, double f) {
    const std::uint64_t xb = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t fb = std::bit_cast<std::uint64_t>(f);
    const std::uint64_t sign = (xb ^ fb) & kSignBit;
    // The common case, a subnormal x = m 2^-1074 and f in [2^-1022, 1): the
    // result is round(m f) 2^-1074. m f in doubles is normal and rounds at
    // most once before the rounding to an integer; the two roundings agree
    // unless m f lands exactly half-way, which the exact path below settles.
    if ((xb & 0x7ff0000000000000ull) == 0 && std::fabs(f) >= kSmallestNormal && std::fabs(f) < 1.0) {
        const double p = static_cast<double>(xb & kFractionBits) * std::fabs(f);
        const double t = p + 0x1p52; // ties to even at the integers
        const double d = (t - 0x1p52) - p;
        if (d != 0.5 && d != -0.5) {
            return std::bit_cast<double>(sign |
                                         (std::bit_cast<std::uint64_t>(t) - std::bit_cast<std::uint64_t>(0x1p52)));
        }
    }
    const Unpacked a = unpack(xb);
    const Unpacked b = unpack(fb);
    if (a.significand == 0 || b.significand == 0) return std::bit_cast<double>(sign);

    // The exact product is p * 2^e.
    const unsigned __int128 p = static_cast<unsigned __int128>(a.significand) * b.significand;
    const int e = a.exponent + b.exponent;
    const int n = bit_length(p);
    // Keep 53 significant bits when the result is normal; below that the
    // result is a multiple of 2^-1074 and keeps what fits.
    const bool normal = n - 1 + e >= -1022;
    int shift = normal ? n - 53 : -1074 - e;

    std::uint64_t q;
    if (shift <= 0) {
        q = static_cast<std::uint64_t>(p << -shift); // exact
    } else if (shift >= 128) {
        return std::bit_cast<double>(sign); // below half of 2^-1074
    } else {
        q = static_cast<std::uint64_t>(p >> shift);
        const unsigned __int128 rest = p & ((static_cast<unsigned __int128>(1) << shift) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rest > half || (rest == half && (q & 1) != 0)) ++q; // to nearest, ties to even
    }
    if (!normal) {
        // A subnormal's bit pattern is its multiple of 2^-1074; rounding up to
        // 2^52 gives the pattern of the smallest normal, also correct.
        return std::bit_cast<double>(sign | q);
    }
    if (q == (std::uint64_t{1} << 53)) {
        q >>= 1;
        ++shift;
    }
    const int biased = e + shift + 1075;
    if (biased >= 0x7ff) return std::bit_cast<double>(sign | 0x7ff0000000000000ull);
    return std::bit_cast<double>(sign | (static_cast<std::uint64_t>(biased) << 52) | (q & kFractionBits));
}

Scaling::Scaling(double f) : factor(f) {
    const double m = std::fabs(f);
    if (!std::isfinite(m)) return; // every product the plain way
    if (m < kSmallestNormal) {
        plain_floor = INFINITY;
    } else {
        // Rounded up, so that every x at or above it gives |x * f| >= 2^-1022.
        const double q = std::nextafter(kSmallestNormal / m, INFINITY);
        plain_floor = q < kSmallestNormal ? kSmallestNormal : q;
    }
    if (!(f > 0.0 && f < 1.0)) return;
    // m * 2^-1074 is fixed while m (1 - f) < 1/2 (or = 1/2 with m even),
    // and then so is every smaller m: find the largest fixed m near the
    // estimate, exactly.
    constexpr std::uint64_t kMaxSubnormal = kFractionBits;
    const double estimate = std::floor(0.5 / (1.0 - f));
    std::uint64_t top =
        estimate >= static_cast<double>(kMaxSubnormal) ? kMaxSubnormal : static_cast<std::uint64_t>(estimate);
    while (top > 0 && !is_fixed(top, f)) --top;
    while (top < kMaxSubnormal && is_fixed(top + 1, f)) ++top;
    fixed_ceiling = subnormal(top);
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// Each lane is kept (zero or fixed point: |x| <= ceiling), multiplied on the
// floating-point unit (|x| >= floor, or not finite) or, rarely, left in
// place for multiply_by_integers; lanes of the first and last kind never
// reach the multiplier. Returns how many leading elements it handled; the
// indices of lanes left for the integer product go to `awkward`.
__attribute__((target("avx512f"))) std::size_t scale_blocks_avx512(double* p, std::size_t n, const Scaling& s,
                                                                   std::uint32_t* awkward, std::size_t& count) {
    const __m512d f = _mm512_set1_pd(s.factor);
    const __m512d ceiling = _mm512_set1_pd(s.fixed_ceiling);
    const __m512d floor = _mm512_set1_pd(s.plain_floor);
    std::size_t i = 0;
    std::size_t k = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512d x = _mm512_loadu_pd(p + i);
        const __m512d a = _mm512_abs_pd(x);
        const __mmask8 small = _mm512_cmp_pd_mask(a, floor, _CMP_LT_OQ);
        _mm512_mask_storeu_pd(p + i, static_cast<__mmask8>(~small), _mm512_mul_pd(_mm512_maskz_mov_pd(~small, x), f));
        unsigned tiny = static_cast<unsigned>(small & ~_mm512_cmp_pd_mask(a, ceiling, _CMP_LE_OQ)) & 0xffu;
        while (tiny != 0) {
            awkward[k++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(std::countr_zero(tiny)));
            tiny &= tiny - 1;
        }
    }
    count = k;
    return i;
}

bool has_avx512() {
    static const bool yes = __builtin_cpu_supports("avx512f");
    return yes;
}
#endif

} // namespace

void scale_all(std::span<double> v, const Scaling& s) {
    double* p = v.data();
    const std::size_t n = v.size();
    std::size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    // With 8-lane masks the three-way split costs no more than the plain
    // loop. Without them it would cost twice as much as the plain loop on
    // processors whose subnormal arithmetic is fast, so they keep the plain
    // loop below. The vector path relies on f in (0, 1) (kept lanes).
    if (s.fixed_ceiling >= 0.0 && has_avx512()) {
        // Lanes left for the integer product are few; they are done after
        // each chunk's vector loop, whose registers then need no saving.
        constexpr std::size_t kChunk = 512;
        std::uint32_t awkward[kChunk];
        while (n - i >= 8) {
            const std::size_t len = std::min(kChunk, n - i);
            std::size_t count = 0;
            const std::size_t done = scale_blocks_avx512(p + i, len, s, awkward, count);
            for (std::size_t j = 0; j < count; ++j)
                p[i + awkward[j]] = multiply_by_integers(p[i + awkward[j]], s.factor);
            i += done;
        }
        for (; i < n; ++i) p[i] = s.apply(p[i]);
        return;
    }
#endif
    const double f = s.factor;
    for (; i < n; ++i) p[i] *= f;
}

} // namespace tarn::core
