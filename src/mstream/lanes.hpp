// Generic vectors for the detector's per-record arithmetic: two lanes on
// any processor (SSE2 on x86-64, NEON elsewhere), four in functions
// compiled for AVX2 and chosen at run time. Lane-wise operations round as
// the scalar ones do, so every path gives the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h> // declares the AVX builtins
#define TARN_LANES_AVX2 1
#else
#define TARN_LANES_AVX2 0
#endif

namespace tarn::mstream {

template <std::size_t W>
struct Lanes {
    typedef double Doubles __attribute__((vector_size(8 * W)));
    typedef std::uint64_t Bits __attribute__((vector_size(8 * W)));
};

// The widest vectors any path uses.
inline constexpr std::size_t kMaxLanes = 4;

// Whether the four-lane paths run: the processor has AVX2 and no test made
// every path take two lanes (force_two_lanes).
bool wide_lanes();
// Process-wide: every later call takes the two-lane paths (true) or the
// widest the processor has (false). For tests of the portable paths.
void force_two_lanes(bool on);

// Lane-wise square roots, correctly rounded like std::sqrt. (Vectors pass
// by reference: 32-byte ones by value would change the calling convention
// between targets.)
#if TARN_LANES_AVX2
[[gnu::always_inline]] inline void square_root(const Lanes<2>::Doubles& x, Lanes<2>::Doubles& out) {
    out = __builtin_ia32_sqrtpd(x);
}
// Only ever inlined into functions compiled for AVX2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline void square_root(const Lanes<4>::Doubles& x, Lanes<4>::Doubles& out) {
    out = __builtin_ia32_sqrtpd256(x);
}
#pragma GCC diagnostic pop
#else
template <class Doubles>
inline void square_root(const Doubles& x, Doubles& out) {
    for (std::size_t k = 0; k < sizeof x / sizeof(double); ++k) out[k] = std::sqrt(x[k]);
}
#endif

// Bit k set where lane k of a comparison holds.
#if TARN_LANES_AVX2
[[gnu::always_inline]] inline unsigned sign_mask(const Lanes<2>::Bits& m) {
    return static_cast<unsigned>(__builtin_ia32_movmskpd(reinterpret_cast<Lanes<2>::Doubles>(m)));
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline unsigned sign_mask(const Lanes<4>::Bits& m) {
    return static_cast<unsigned>(__builtin_ia32_movmskpd256(reinterpret_cast<Lanes<4>::Doubles>(m)));
}
#pragma GCC diagnostic pop
#else
template <class Mask>
inline unsigned sign_mask(const Mask& m) {
    unsigned out = 0;
    for (std::size_t k = 0; k < sizeof m / sizeof m[0]; ++k) out |= static_cast<unsigned>(m[k] != 0) << k;
    return out;
}
#endif

} // namespace tarn::mstream
