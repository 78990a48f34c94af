// Imputation of missing coordinates and extrapolation of the shingle, from
// the stored points that the trees find closest on the known coordinates.
//
// Both queries take the forest as const: the forest generator is copied, not
// advanced, so repeated calls on an unchanged forest give the same result,
// and several threads may run them on one forest at once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/forest/forest.hpp"

namespace tarn::rcf {

// A copy of `point` (dims values) whose `missing` coordinates hold the median
// of the candidates of all trees. Below 1.0, `centrality` lets a tree's
// search settle on a farther leaf at random.
core::Result<std::vector<float>> impute(const Forest& forest, std::span<const float> point,
                                        std::span<const std::uint64_t> missing, double centrality);

// look_ahead blocks of input_dim estimates: block j re-estimates the j-th
// base observation of the shingle counted back from the newest, each block
// using the blocks estimated before it.
core::Result<std::vector<float>> extrapolate(const Forest& forest, std::uint64_t look_ahead);

// The median under the total order of 32-bit floats (-0.0 before 0.0): the
// middle value for an odd count, else the mean of the two middle values in
// 32-bit arithmetic. `values` is reordered; it must not be empty.
float total_order_median(std::vector<float>& values);

} // namespace tarn::rcf
