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
// its namespace from TARN_KERNELS_WIDTH and clears it).
#define TARN_KERNELS_WIDTH 2
#include "mstream/lane_kernels.inc"

#if TARN_LANES_AVX2
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#define TARN_KERNELS_WIDTH 4
#include "mstream/lane_kernels.inc"
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
#define TARN_KERNELS_WIDTH 8
#include "mstream/lane_kernels.inc"
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

namespace tarn::mstream {

namespace {

std::size_t widest() {
#if TARN_LANES_AVX2
    __builtin_cpu_init(); // this may run before the library's own constructors
    return __builtin_cpu_supports("avx512f") ? 8 : __builtin_cpu_supports("avx2") ? 4 : 2;
#else
    return 2;
#endif
}

const std::size_t kWidest = widest();
// Read on every kernel call: one relaxed load.
std::atomic<std::size_t> lanes_in_use{kWidest};

} // namespace

std::size_t lane_count() { return lanes_in_use.load(std::memory_order_relaxed); }

void force_lanes(std::size_t most) { lanes_in_use.store(kWidest < most ? kWidest : most, std::memory_order_relaxed); }

// Each kernel through the widest path lane_count() allows.
#if TARN_LANES_AVX2
#define TARN_DISPATCH(call)                                                                                            \
    do {                                                                                                               \
        const std::size_t lanes = lane_count();                                                                        \
        if (lanes == 8) return eight::call;                                                                            \
        if (lanes == 4) return four::call;                                                                             \
        return two::call;                                                                                              \
    } while (false)
#else
#define TARN_DISPATCH(call) return two::call
#endif

unsigned settle_eight(const double* x, const double* lo, const double* hi, std::uint64_t buckets,
                      std::uint64_t* bucket) {
    TARN_DISPATCH(settle_eight(x, lo, hi, buckets, bucket));
}

void settle_rows(const double* x, std::size_t stride, std::size_t rows, const double* lo, const double* hi,
                 std::uint64_t buckets, std::uint64_t* bucket, unsigned* settled) {
    TARN_DISPATCH(settle_rows(x, stride, rows, lo, hi, buckets, bucket, settled));
}

void chi_scores(const double* a, const double* s, std::size_t n, double t, double* out) {
    TARN_DISPATCH(chi_scores(a, s, n, t, out));
}

std::uint64_t plane_signs(const double* columns, std::size_t stride, const double* y, std::size_t n,
                          std::size_t slots) {
    TARN_DISPATCH(plane_signs(columns, stride, y, n, slots));
}

void plane_signs_rows(const double* columns, std::size_t stride, const double* y, std::size_t n, std::size_t rows,
                      std::size_t slots, std::uint64_t* signs) {
    TARN_DISPATCH(plane_signs_rows(columns, stride, y, n, rows, slots, signs));
}

#undef TARN_DISPATCH

} // namespace tarn::mstream
