// Arithmetic shared by the read-only queries besides the score traversal's
// own (outside distance, separation probability): L1 distances to stored
// points and checked node access. Everything here is a pure function of its
// arguments; the queries call it from several threads at once.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/node_arena.hpp"
#include "rcf/point_store.hpp"
#include "rcf/tree/rcf_tree.hpp"
#include "rcf/tree/traversal.hpp"

namespace tarn::rcf::query_support {

// Outside distance of q from internal node `node`'s box.
inline float node_distance_outside(const NodeArena& arena, std::uint64_t node, const float* q) {
    return outside_distance(arena.box_min(node).data(), arena.box_max(node).data(), q, arena.dims);
}

// L1 distance: |q[i] - y[i]| in 32-bit floats, widened and added in
// coordinate order to a sum that starts at -0.0.
inline double l1_distance(std::span<const float> q, std::span<const float> y) {
    double sum = -0.0;
    for (std::size_t i = 0; i < q.size(); ++i) sum += static_cast<double>(std::fabs(q[i] - y[i]));
    return sum;
}

// The same over the coordinates whose `missing` flag is 0.
inline double l1_distance_known(std::span<const float> q, std::span<const float> y,
                                const std::vector<std::uint8_t>& missing) {
    double sum = -0.0;
    for (std::size_t i = 0; i < q.size(); ++i)
        if (!missing[i]) sum += static_cast<double>(std::fabs(q[i] - y[i]));
    return sum;
}

// The node's cut dimension, checked against the point length.
inline std::uint64_t checked_cut_dim(const NodeSlot& n, std::uint64_t dims) {
    core::check_internal(n.cut_dim < dims, "cut dimension beyond the point's length");
    return n.cut_dim;
}

// Trees and the store must agree on the point length with the query.
inline void check_dims(const RcfTree& tree, const PointStore& store, std::size_t query_len) {
    core::check_internal(tree.dims == store.dim && tree.arena.dims == store.dim && query_len == store.dim,
                         "query length differs from the tree's dimension");
}

} // namespace tarn::rcf::query_support
