// Bounding-box arithmetic over 32-bit coordinates.
//
// Ranges are computed as 32-bit floats and summed into a 64-bit float in
// coordinate order; minimum and maximum ignore a NaN operand and keep the
// current value on ties, so results are the same on every build.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

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

// A stand-alone box, for callers that need one outside an arena.
struct BoundingBox {
    std::vector<float> min;
    std::vector<float> max;
    double range_sum = 0.0;

    static BoundingBox of_point(std::span<const float> p) {
        return {std::vector<float>(p.begin(), p.end()), std::vector<float>(p.begin(), p.end()), 0.0};
    }
    void extend(std::span<const float> p) {
        for (std::size_t i = 0; i < min.size() && i < p.size(); ++i) {
            min[i] = min_ignoring_nan(min[i], p[i]);
            max[i] = max_ignoring_nan(max[i], p[i]);
        }
        range_sum = range_sum_of(min.data(), max.data(), min.size());
    }
    void extend(std::span<const float> other_min, std::span<const float> other_max) {
        for (std::size_t i = 0; i < min.size() && i < other_min.size(); ++i) {
            min[i] = min_ignoring_nan(min[i], other_min[i]);
            max[i] = max_ignoring_nan(max[i], other_max[i]);
        }
        range_sum = range_sum_of(min.data(), max.data(), min.size());
    }
};

} // namespace tarn::rcf
