#include "mstream/lanes.hpp"

#include <atomic>
#include <cmath>
#include <cstring>

#include "mstream/normalization.hpp"
#include "mstream/sketch.hpp"

#if TARN_LANES_AVX2
#include <immintrin.h>
#endif

// Everything the kernels call from headers is compiled above, for every
// processor; the kernels below, once per instruction set (the file opens
// its namespace from TARN_KERNELS_AVX2 and clears it).
#define TARN_KERNELS_AVX2 0
#include "mstream/lane_kernels.inc"

#if TARN_LANES_AVX2
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#define TARN_KERNELS_AVX2 1
#include "mstream/lane_kernels.inc"
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

namespace tarn::mstream {

namespace {
std::atomic<bool> two_lanes{false};
}

bool wide_lanes() {
#if TARN_LANES_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && !two_lanes.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void force_two_lanes(bool on) { two_lanes.store(on, std::memory_order_relaxed); }

unsigned settle_eight(const double* x, const double* lo, const double* hi, std::uint64_t buckets, double* v) {
#if TARN_LANES_AVX2
    if (wide_lanes()) return four::settle_eight(x, lo, hi, buckets, v);
#endif
    return two::settle_eight(x, lo, hi, buckets, v);
}

void chi_scores(const double* a, const double* s, std::size_t n, double t, double* out) {
#if TARN_LANES_AVX2
    if (wide_lanes()) return four::chi_scores(a, s, n, t, out);
#endif
    two::chi_scores(a, s, n, t, out);
}

std::uint64_t plane_signs(const double* columns, std::size_t stride, const double* y, std::size_t n,
                          std::size_t slots) {
#if TARN_LANES_AVX2
    if (wide_lanes()) return four::plane_signs(columns, stride, y, n, slots);
#endif
    return two::plane_signs(columns, stride, y, n, slots);
}

} // namespace tarn::mstream
