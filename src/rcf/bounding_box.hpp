// Bounding-box arithmetic over 32-bit coordinates.
//
// Ranges are computed as 32-bit floats and summed into a 64-bit float in
// coordinate order; minimum and maximum ignore a NaN operand and keep the
// current value on ties, so results are the same on every build.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarn::rcf {

inline float min_ignoring_nan(float current, float x) {
    if (current != current) return x;
    return x < current ? x : current;
}
inline float max_ignoring_nan(float current, float x) {
    if (current != current) return x;
    return x > current ? x : current;
}

// Sum over i, in order, of (max[i] - min[i]) taken as a 32-bit float.
inline double range_sum_of(const float* min, const float* max, std::uint64_t dims) {
    double sum = 0.0;
    for (std::uint64_t i = 0; i < dims; ++i) {
        const float r = max[i] - min[i];
        sum += static_cast<double>(r);
    }
    return sum;
}

// out = the box (amin, amax) extended by the box (bmin, bmax), coordinate by
// coordinate with the two functions above (a's value kept on ties). Returns
// whether out differs bit for bit from what it held before. `out_min` and
// `out_max` may be the a-box itself.
inline bool merge_boxes(const float* amin, const float* amax, const float* bmin, const float* bmax, float* out_min,
                        float* out_max, std::uint64_t dims) {
    std::uint64_t d = 0;
    unsigned changed = 0;
#if defined(__SSE2__)
    for (; d + 4 <= dims; d += 4) {
        const __m128 a_lo = _mm_loadu_ps(amin + d);
        const __m128 a_hi = _mm_loadu_ps(amax + d);
        const __m128 b_lo = _mm_loadu_ps(bmin + d);
        const __m128 b_hi = _mm_loadu_ps(bmax + d);
        // minps(b, a) is (b < a) ? b : a, which is the rule except where a is
        // NaN; there b is taken.
        const __m128 a_lo_nan = _mm_cmpunord_ps(a_lo, a_lo);
        const __m128 a_hi_nan = _mm_cmpunord_ps(a_hi, a_hi);
        const __m128 lo = _mm_or_ps(_mm_and_ps(a_lo_nan, b_lo), _mm_andnot_ps(a_lo_nan, _mm_min_ps(b_lo, a_lo)));
        const __m128 hi = _mm_or_ps(_mm_and_ps(a_hi_nan, b_hi), _mm_andnot_ps(a_hi_nan, _mm_max_ps(b_hi, a_hi)));
        const __m128i same_lo =
            _mm_cmpeq_epi32(_mm_castps_si128(lo), _mm_loadu_si128(reinterpret_cast<const __m128i*>(out_min + d)));
        const __m128i same_hi =
            _mm_cmpeq_epi32(_mm_castps_si128(hi), _mm_loadu_si128(reinterpret_cast<const __m128i*>(out_max + d)));
        changed |= static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(same_lo, same_hi))) ^ 0xffffu;
        _mm_storeu_ps(out_min + d, lo);
        _mm_storeu_ps(out_max + d, hi);
    }
#endif
    for (; d < dims; ++d) {
        const float lo = min_ignoring_nan(amin[d], bmin[d]);
        const float hi = max_ignoring_nan(amax[d], bmax[d]);
        changed |= (std::bit_cast<std::uint32_t>(lo) ^ std::bit_cast<std::uint32_t>(out_min[d])) |
                   (std::bit_cast<std::uint32_t>(hi) ^ std::bit_cast<std::uint32_t>(out_max[d]));
        out_min[d] = lo;
        out_max[d] = hi;
    }
    return changed != 0;
}

} // namespace tarn::rcf
