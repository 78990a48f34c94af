#include "core/scale.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

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

Scaling::Scaling(double f) : factor(f), nonfinite_factor(f) {
    const double m = std::fabs(f);
    if (!std::isfinite(m)) {
        plain_floor = kSmallestNormal; // normal x: an infinite or NaN product
        return;
    }
    if (m < kSmallestNormal) {
        plain_floor = INFINITY;
        if (m != 0.0) nonfinite_factor = std::copysign(1.0, f);
    } else {
        // Rounded up, so that every x at or above it gives |x * f| >= 2^-1022.
        const double q = std::nextafter(kSmallestNormal / m, INFINITY);
        plain_floor = q < kSmallestNormal ? kSmallestNormal : q;
    }
    if (!(f > 0.0 && f < 1.0)) {
        if (f >= 1.0 && f < INFINITY) fixed_ceiling = 0.0; // 0 * f == 0 with the sign kept
        return;
    }
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

double Scaling::apply_rest(double x) const {
    if (!std::isfinite(x)) return x * nonfinite_factor;
    // A subnormal (or zero) x times an infinite or NaN factor: only the
    // sign of x matters, or x is zero.
    if (!std::isfinite(factor)) return (x == 0.0 ? x : std::copysign(1.0, x)) * factor;
    return multiply_by_integers(x, factor);
}

namespace {

// One body for two paths, in generic vectors of W lanes: two on any
// instruction set (SSE2 on x86-64), four with AVX2 (compiled under a target
// attribute, chosen at run time).
//
// Blocks whose values are all zero or at least the floor in magnitude (or
// infinite or NaN, fine with a finite or infinite factor) go through the
// plain product. The test takes three operations per vector: with b the bit
// pattern, b - 1 read as a double is NaN for b = 0 (and -0), negative for
// x < 0, and below floor - 1 for 0 < x < floor; comparing nonnegative
// patterns as doubles compares them as integers. Other blocks split each
// vector: zeros and fixed points (|x| <= ceiling) are kept, the other lanes
// below the floor are zeroed before the product (0 * f is fast) and then
// put back; the integer product settles the few of them that are not kept.
template <std::size_t W>
struct Lanes;
template <>
struct Lanes<2> {
    typedef double Doubles __attribute__((vector_size(16)));
    typedef std::uint64_t Bits __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double Doubles __attribute__((vector_size(32)));
    typedef std::uint64_t Bits __attribute__((vector_size(32)));
};

template <std::size_t W>
[[gnu::always_inline]] inline void scale_lanes(double* p, std::size_t n, const Scaling& s) {
    using Doubles = typename Lanes<W>::Doubles;
    using Bits = typename Lanes<W>::Bits;
    constexpr std::size_t kBlock = 8 * W;
    std::size_t i = 0;
    if (s.plain_floor <= 0x1.fffffffffffffp1023) {
        Doubles f, floor, ceiling, below_floor;
        Bits magnitude;
        for (std::size_t k = 0; k < W; ++k) {
            f[k] = s.factor;
            floor[k] = s.plain_floor;
            ceiling[k] = s.fixed_ceiling;
            below_floor[k] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(s.plain_floor) - 1);
            magnitude[k] = ~kSignBit;
        }
        for (; i + kBlock <= n; i += kBlock) {
            double* block = p + i;
            Doubles least = below_floor; // a NaN lane leaves it as it is
            for (std::size_t j = 0; j < kBlock; j += W) {
                Bits b;
                std::memcpy(&b, block + j, sizeof b);
                const auto t = reinterpret_cast<Doubles>(b - 1);
                least = t < least ? t : least;
            }
            double lowest = least[0];
            for (std::size_t k = 1; k < W; ++k) lowest = least[k] < lowest ? least[k] : lowest;
            if (!(lowest < below_floor[0])) {
                for (std::size_t j = 0; j < kBlock; j += W) {
                    Doubles x;
                    std::memcpy(&x, block + j, sizeof x);
                    x *= f;
                    std::memcpy(block + j, &x, sizeof x);
                }
                continue;
            }
            Bits tiny[kBlock / W];
            Bits tiny_any{};
            for (std::size_t j = 0; j < kBlock; j += W) {
                Bits b;
                std::memcpy(&b, block + j, sizeof b);
                const auto a = reinterpret_cast<Doubles>(b & magnitude);
                const auto small = reinterpret_cast<Bits>(a < floor);
                const Doubles product = reinterpret_cast<Doubles>(b & ~small) * f;
                const Bits out = (reinterpret_cast<Bits>(product) & ~small) | (b & small);
                std::memcpy(block + j, &out, sizeof out);
                tiny[j / W] = small & ~reinterpret_cast<Bits>(a <= ceiling);
                tiny_any |= tiny[j / W];
            }
            std::uint64_t any = 0;
            for (std::size_t k = 0; k < W; ++k) any |= tiny_any[k];
            if (any == 0) continue;
            for (std::size_t j = 0; j < kBlock; ++j) {
                if (tiny[j / W][j % W] != 0) block[j] = s.apply(block[j]);
            }
        }
    }
    for (; i < n; ++i) p[i] = s.apply(p[i]);
}

// The reference: every product on the multiplier, in the widest vectors
// the processor has (a product rounds alike in any width). Unrolled like
// the blocks above, so that comparisons with it do not hang on where the
// compiler happens to place a short loop (that alone moved its cost by up
// to 2x on an AMD Zen 4).
template <std::size_t W>
[[gnu::always_inline]] inline void scale_plain_lanes(double* p, std::size_t n, double f) {
    using Doubles = typename Lanes<W>::Doubles;
    Doubles factor;
    for (std::size_t k = 0; k < W; ++k) factor[k] = f;
    std::size_t i = 0;
    for (; i + 8 * W <= n; i += 8 * W) {
        for (std::size_t j = 0; j < 8 * W; j += W) {
            Doubles x;
            std::memcpy(&x, p + i + j, sizeof x);
            x *= factor;
            std::memcpy(p + i + j, &x, sizeof x);
        }
    }
    for (; i < n; ++i) p[i] *= f;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void scale_plain_avx2(double* p, std::size_t n, double f) {
    scale_plain_lanes<4>(p, n, f);
}

__attribute__((target("avx512f"))) void scale_plain_avx512(double* p, std::size_t n, double f) {
    const __m512d factor = _mm512_set1_pd(f);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (std::size_t j = 0; j < 32; j += 8) _mm512_storeu_pd(p + i + j, _mm512_mul_pd(_mm512_loadu_pd(p + i + j), factor));
    }
    for (; i < n; ++i) p[i] *= f;
}
#endif

bool cpu_has(ScalePath path);

void scale_plain(double* p, std::size_t n, double f) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const int width = cpu_has(ScalePath::avx512) ? 8 : cpu_has(ScalePath::avx2) ? 4 : 2;
    if (width == 8) return scale_plain_avx512(p, n, f);
    if (width == 4) return scale_plain_avx2(p, n, f);
#endif
    scale_plain_lanes<2>(p, n, f);
}

void scale_portable(double* p, std::size_t n, const Scaling& s) { scale_lanes<2>(p, n, s); }

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void scale_avx2(double* p, std::size_t n, const Scaling& s) { scale_lanes<4>(p, n, s); }

// With AVX-512F the same blocks, in mask registers instead of vector masks
// (which cost two more operations per compare): a split vector stores its
// product only into the lanes at or above the floor.
__attribute__((target("avx512f"))) void scale_avx512(double* p, std::size_t n, const Scaling& s) {
    if (!(s.plain_floor <= 0x1.fffffffffffffp1023)) return scale_portable(p, n, s);
    constexpr std::size_t kBlock = 16; // long streams scatter fixed points: small blocks split less often
    const __m512d f = _mm512_set1_pd(s.factor);
    const __m512d floor = _mm512_set1_pd(s.plain_floor);
    const __m512d ceiling = _mm512_set1_pd(s.fixed_ceiling);
    const __m512d below_floor = _mm512_set1_pd(std::bit_cast<double>(std::bit_cast<std::uint64_t>(s.plain_floor) - 1));
    const __m512i one = _mm512_set1_epi64(1);
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        double* block = p + i;
        __m512d x[kBlock / 8];
        unsigned flags = 0;
        for (std::size_t j = 0; j < kBlock / 8; ++j) {
            x[j] = _mm512_loadu_pd(block + 8 * j);
            const __m512d t = _mm512_castsi512_pd(_mm512_sub_epi64(_mm512_castpd_si512(x[j]), one));
            flags |= _mm512_cmp_pd_mask(t, below_floor, _CMP_LT_OQ);
        }
        if (flags == 0) {
            for (std::size_t j = 0; j < kBlock / 8; ++j) _mm512_storeu_pd(block + 8 * j, _mm512_mul_pd(x[j], f));
            continue;
        }
        std::uint32_t tiny = 0;
        for (std::size_t j = 0; j < kBlock / 8; ++j) {
            const __m512d a = _mm512_abs_pd(x[j]);
            const __mmask8 small = _mm512_cmp_pd_mask(a, floor, _CMP_LT_OQ);
            const auto big = static_cast<__mmask8>(~small);
            _mm512_mask_storeu_pd(block + 8 * j, big, _mm512_mul_pd(_mm512_maskz_mov_pd(big, x[j]), f));
            const unsigned kept = _mm512_cmp_pd_mask(a, ceiling, _CMP_LE_OQ);
            tiny |= ((small & ~kept) & 0xffu) << (8 * j);
        }
        while (tiny != 0) {
            const int k = std::countr_zero(tiny);
            block[k] = s.apply(block[k]);
            tiny &= tiny - 1;
        }
    }
    for (; i < n; ++i) p[i] = s.apply(p[i]);
}
#endif

bool cpu_has(ScalePath path) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (path == ScalePath::avx2) return avx2;
    if (path == ScalePath::avx512) return avx512;
#endif
    return path == ScalePath::plain || path == ScalePath::portable;
}

std::atomic<int> forced{static_cast<int>(ScalePath::automatic)};

void scale_with(double* p, std::size_t n, const Scaling& s, ScalePath path) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (path == ScalePath::avx512) return scale_avx512(p, n, s);
    if (path == ScalePath::avx2) return scale_avx2(p, n, s);
#endif
    if (path == ScalePath::plain) return scale_plain(p, n, s.factor);
    scale_portable(p, n, s);
}

// The exact paths pay off where the processor takes a slow path for
// subnormal operands or results (most Intel cores: tens to hundreds of
// cycles each); where it does not (AMD Zen, for one) the plain product
// costs no more, and less once a long stream's stuck subnormal counts make
// the exact paths split their blocks. So it is measured once: the plain
// loop over subnormal counts against the plain loop over normal ones, best
// of a few rounds each. Three times slower or more is a slow path (the gap
// is ten times or more where there is one, so machine noise does not
// decide it). Every path gives the same bits; the choice changes speed
// only.
[[gnu::noinline]] std::chrono::steady_clock::duration plain_time(std::vector<double>& work,
                                                                 const std::vector<double>& counts, double f) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < 7; ++round) {
        work = counts;
        const auto start = std::chrono::steady_clock::now();
        scale_plain(work.data(), work.size(), f);
        best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    return best;
}

ScalePath best_path() {
    const ScalePath vector = cpu_has(ScalePath::avx512) ? ScalePath::avx512
                             : cpu_has(ScalePath::avx2) ? ScalePath::avx2
                                                        : ScalePath::portable;
    constexpr std::size_t kCells = 2048;
    std::vector<double> normal(kCells), tiny(kCells), work;
    for (std::size_t i = 0; i < kCells; ++i) {
        normal[i] = 1.0 + static_cast<double>(i);
        tiny[i] = std::bit_cast<double>(std::uint64_t{1000} + i); // in transit, products subnormal
    }
    const auto tiny_time = plain_time(work, tiny, 0.8);
    const auto normal_time = plain_time(work, normal, 0.8);
    return tiny_time >= 3 * normal_time ? vector : ScalePath::plain;
}

} // namespace

bool scale_path_available(ScalePath path) { return path == ScalePath::automatic || cpu_has(path); }

bool scale_all_through(std::span<double> v, const Scaling& s, ScalePath path) {
    if (!scale_path_available(path)) return false;
    scale_with(v.data(), v.size(), s, path == ScalePath::automatic ? best_path() : path);
    return true;
}

bool force_scale_path(ScalePath path) {
    if (!scale_path_available(path)) return false;
    forced.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}

void scale_all(std::span<double> v, const Scaling& s) {
    static const ScalePath best = best_path();
    const auto path = static_cast<ScalePath>(forced.load(std::memory_order_relaxed));
    scale_with(v.data(), v.size(), s, path == ScalePath::automatic ? best : path);
}

} // namespace tarn::core
