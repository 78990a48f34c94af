// Layer tables of the normal ziggurat used by standard_normal().
#pragma once

#include <array>

namespace tarn::mstream {

// Start of the tail and area of each of the 256 layers.
inline constexpr double kZigguratR = 3.654152885361009;
inline constexpr double kZigguratV = 0.00492867323399;

extern const std::array<double, 257> kZigguratX; // layer edges, X[256] = 0
extern const std::array<double, 257> kZigguratF; // exp(-X[i]^2 / 2); F[0] is never read

} // namespace tarn::mstream
