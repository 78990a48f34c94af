// The score traversal: from the root along the query's path, blending the
// leaf's value with the probability that each box on the way would separate
// the query.
//
// The traversal is a loop: it records the internal nodes on the way down in
// a caller-supplied stack and folds them bottom-up, so it tolerates trees as
// deep as their sample and touches nothing shared (readers run it
// concurrently).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/point_store.hpp"
#include "rcf/tree/rcf_tree.hpp"

namespace tarn::rcf {

// Probability that a random cut of the box (min, max, range_sum) extended by
// q separates q; 0 when q lies inside the box.
inline double separation_probability(const float* min, const float* max, double range_sum, const float* q,
                                     std::uint64_t dims) {
    float s = 0.0f;
    for (std::uint64_t i = 0; i < dims; ++i) {
        if (min[i] > q[i])
            s += min[i] - q[i];
        else if (q[i] > max[i])
            s += q[i] - max[i];
    }
    if (s == 0.0f) return 0.0;
    if (range_sum == 0.0) return 1.0;
    const double sd = static_cast<double>(s);
    return sd / (range_sum + sd);
}

// Visitor: seen(depth, mass), unseen(depth, mass), damp(leaf_mass,
// tree_mass), all arguments as doubles. Returns the tree's raw value S; the
// tree must not be empty. `stack` is the caller's scratch.
template <class Visitor>
double score_traversal(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                       const Visitor& visitor, std::vector<std::uint64_t>& stack) {
    core::check_internal(store.dim == tree.dims && tree.arena.dims == tree.dims && q.size() == tree.dims,
                         "query length differs from the tree's dimension");
    const NodeArena& arena = tree.arena;
    const std::uint64_t dims = tree.dims;
    stack.clear();
    std::uint64_t at = tree.root;
    const NodeSlot* n = &arena.node(at);
    while (!n->is_leaf()) {
        core::check_internal(n->cut_dim < dims, "cut dimension beyond the point's length");
        stack.push_back(at);
        at = q[n->cut_dim] <= n->cut_val ? n->left : n->right;
        n = &arena.node(at);
    }
    const double leaf_mass = static_cast<double>(n->mass);
    const double depth = static_cast<double>(stack.size());
    double value;
    if (store.points_equal(q, n->point_idx))
        value = visitor.damp(leaf_mass, static_cast<double>(tree.tree_mass)) * visitor.seen(depth, leaf_mass);
    else
        value = visitor.unseen(depth, leaf_mass);

    for (std::uint64_t i = stack.size(); i-- > 0;) {
        const std::uint64_t node = stack[i];
        const NodeSlot& inner = arena.nodes[node];
        const double p = separation_probability(arena.box_min(node).data(), arena.box_max(node).data(),
                                                arena.range_sums[node], q.data(), dims);
        const double v = visitor.unseen(static_cast<double>(i), static_cast<double>(inner.mass));
        if (p != 0.0) value = (1.0 - p) * value + p * v;
    }
    return value;
}

} // namespace tarn::rcf
