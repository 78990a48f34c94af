// The random cut of an insertion: choice of the cut dimension and value
// within the merged box of a level box and the new point.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/error.hpp"
#include "rcf/bounding_box.hpp"

namespace tarn::rcf {

// The largest 32-bit float below x; the smallest negative subnormal for
// either zero; -inf and NaN unchanged.
inline float next_down(float x) {
    if (x != x || x == -std::numeric_limits<float>::infinity()) return x;
    return std::nextafter(x, -std::numeric_limits<float>::infinity());
}

struct Cut {
    std::uint64_t dim = 0;
    float value = 0.0f;
};

// Chooses a cut in the merged box of (box_min, box_max) and p, given the
// uniform draw u. Returns false when the merged box has no extent.
inline bool choose_cut(const float* box_min, const float* box_max, const float* p, std::uint64_t dims, double u,
                       Cut& out) {
    double total = 0.0;
    for (std::uint64_t i = 0; i < dims; ++i) {
        const float lo = min_ignoring_nan(box_min[i], p[i]);
        const float hi = max_ignoring_nan(box_max[i], p[i]);
        const float r = hi - lo;
        total += static_cast<double>(r);
    }
    if (total == 0.0) return false;

    // Walk the ranges until the scaled draw falls inside one; rounding can
    // carry it past the end, in which case the last positive range takes it
    // at its far edge.
    double t = u * total;
    std::uint64_t chosen = dims;
    std::uint64_t last_positive = dims;
    double offset = 0.0;
    for (std::uint64_t i = 0; i < dims; ++i) {
        const float lo = min_ignoring_nan(box_min[i], p[i]);
        const float hi = max_ignoring_nan(box_max[i], p[i]);
        const float r = hi - lo;
        if (t < static_cast<double>(r)) {
            chosen = i;
            offset = t;
            break;
        }
        if (r > 0.0f) last_positive = i;
        t -= static_cast<double>(r);
    }
    if (chosen == dims) {
        // Only reachable through rounding (or NaN ranges).
        if (last_positive == dims) throw core::InternalError("no positive range to cut");
        chosen = last_positive;
        offset = static_cast<double>(max_ignoring_nan(box_max[chosen], p[chosen]) -
                                     min_ignoring_nan(box_min[chosen], p[chosen]));
    }

    const float lo = min_ignoring_nan(box_min[chosen], p[chosen]);
    const float hi = max_ignoring_nan(box_max[chosen], p[chosen]);
    const float upper = max_ignoring_nan(next_down(hi), lo);
    if (!(lo <= upper)) throw core::InternalError("min > max, or either was NaN");
    // Clamp lo + offset into [lo, upper].
    float cut = lo + static_cast<float>(offset);
    if (cut < lo) cut = lo;
    if (cut > upper) cut = upper;
    out.dim = chosen;
    out.value = cut;
    return true;
}

} // namespace tarn::rcf
