// Read-only views of a forest besides the anomaly score: displacement score,
// per-coordinate attribution, density and near neighbours.
//
// Implemented in two files by the kind of traversal: path_queries.cpp (one
// root-to-leaf path per tree: displacement score, density, attribution) and
// near_neighbors.cpp (a search over several branches per tree).
//
// Every query takes the forest as const and keeps its scratch on the calling
// thread, so several threads may query one forest at the same time. No
// generator is advanced.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/forest/forest.hpp"

namespace tarn::rcf {

// Share of the anomaly measure booked on one coordinate, split by the side of
// the cuts that q lies beyond.
struct AttributionEntry {
    double below = 0.0;
    double above = 0.0;
};

// One stored point found near the query's paths.
struct Neighbor {
    double score = 0.0;       // summed per-tree scores over the trees, / T
    std::vector<float> point; // the stored coordinates
    double distance = 0.0;    // L1 distance to the query
};

// Average over the trees of how many sampled points the query would displace,
// each tree normalised by its mass + 1. 0.0 on a forest without samples.
core::Result<double> displacement_score(const Forest& forest, std::span<const float> point);

// Average over the trees of the mass expected at the query's position.
core::Result<double> density(const Forest& forest, std::span<const float> point);

// dims entries: the anomaly measure of the query split over its coordinates.
core::Result<std::vector<AttributionEntry>> attribution(const Forest& forest, std::span<const float> point);

// At most top_k stored points found near the query's paths, by ascending
// distance. `percentile` (0..100) is the separation probability below which
// a branch is abandoned.
core::Result<std::vector<Neighbor>> near_neighbors(const Forest& forest, std::span<const float> point,
                                                   std::uint64_t top_k, std::uint64_t percentile);

} // namespace tarn::rcf
