// The score traversal: from the root along the query's path, blending the
// leaf's value with the probability that each box on the way would separate
// the query.
//
// The traversal is a loop: it records the internal nodes on the way down in
// a caller-supplied stack and folds them bottom-up, so it tolerates trees as
// deep as their sample and touches nothing shared (readers run it
// concurrently).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/point_store.hpp"
#include "rcf/tree/rcf_tree.hpp"

namespace tarn::rcf {

// Distance of q outside the box (min, max): the 32-bit sum, in coordinate
// order, of min - q where min > q and of q - max where q > max. Zero exactly
// when q lies inside the box (or on its faces, or NaN).
//
// Every coordinate contributes a term, +0.0 where neither comparison holds:
// adding +0.0 to the non-negative sum leaves it bit-identical, and a
// difference is positive exactly when its comparison holds (NaN compares
// false either way). The terms are formed four at a time; the additions stay
// in coordinate order, without branches.
inline float outside_distance(const float* min, const float* max, const float* q, std::uint64_t dims) {
    float s = 0.0f;
    std::uint64_t i = 0;
#if defined(__SSE2__)
    const __m128 zero = _mm_setzero_ps();
    alignas(16) float terms[4];
    for (; i + 4 <= dims; i += 4) {
        const __m128 vq = _mm_loadu_ps(q + i);
        const __m128 below = _mm_sub_ps(_mm_loadu_ps(min + i), vq);
        const __m128 above = _mm_sub_ps(vq, _mm_loadu_ps(max + i));
        const __m128 is_below = _mm_cmpgt_ps(below, zero);
        const __m128 is_above = _mm_cmpgt_ps(above, zero);
        const __m128 d = _mm_or_ps(_mm_and_ps(is_below, below), _mm_andnot_ps(is_below, _mm_and_ps(is_above, above)));
        _mm_store_ps(terms, d);
        s += terms[0];
        s += terms[1];
        s += terms[2];
        s += terms[3];
    }
#endif
    for (; i < dims; ++i) {
        const float below = min[i] - q[i];
        const float above = q[i] - max[i];
        s += below > 0.0f ? below : (above > 0.0f ? above : 0.0f);
    }
    return s;
}

// Probability that a random cut of a box with the given range sum, extended
// by a point at distance s outside it, separates that point.
//
// The 32-bit distance overflows to infinity for finite points far enough
// apart (beyond about 1.7e38); the ratio would then be NaN and poison the
// score. It takes its limit instead: 1 against a finite range sum, and an
// even 0.5 when the range sum has overflowed too.
inline double separation_probability(float s, double range_sum) {
    if (s == 0.0f) return 0.0;
    if (range_sum == 0.0) return 1.0;
    if (std::isinf(s)) return std::isinf(range_sum) ? 0.5 : 1.0;
    const double sd = static_cast<double>(s);
    return sd / (range_sum + sd);
}

// How many trees a grouped traversal descends side by side.
inline constexpr std::size_t kTraversalGroup = 16;
// How many of the deepest boxes on a path are fetched ahead of the fold.
inline constexpr std::size_t kPrefetchLevels = 6;

// Leaf value and bottom-up fold of one tree whose descent ended at `leaf`
// after passing the internal nodes in `stack` (root first).
template <class Visitor>
double fold_path(const RcfTree& tree, const PointStore& store, std::span<const float> q, const Visitor& visitor,
                 std::uint64_t leaf, const std::vector<std::uint64_t>& stack) {
    const NodeArena& arena = tree.arena;
    const NodeSlot& n = arena.nodes[leaf];
    const double leaf_mass = static_cast<double>(n.mass);
    const double depth = static_cast<double>(stack.size());
    double value;
    if (store.points_equal(q, n.point_idx))
        value = visitor.damp(leaf_mass, static_cast<double>(tree.tree_mass)) * visitor.seen(depth, leaf_mass);
    else value = visitor.unseen(depth, leaf_mass);

    // Every box contains the boxes below it, so once q lies inside one box it
    // lies inside all boxes above: their separation probability is 0 and
    // they leave the value as it is. The fold stops there instead of reading
    // those boxes.
    for (std::uint64_t i = stack.size(); i-- > 0;) {
        const std::uint64_t node = stack[i];
        const float s = outside_distance(arena.box_min(node).data(), arena.box_max(node).data(), q.data(), tree.dims);
        if (s == 0.0f) break;
        const double p = separation_probability(s, arena.range_sums[node]);
        const double v = visitor.unseen(static_cast<double>(i), static_cast<double>(arena.nodes[node].mass));
        if (p != 0.0) value = (1.0 - p) * value + p * v;
    }
    return value;
}

// The score traversal of q over `count` (at most kTraversalGroup) non-empty
// trees, writing each tree's raw value S to out[k].
//
// Visitor: seen(depth, mass), unseen(depth, mass), damp(leaf_mass,
// tree_mass), all arguments as doubles. The trees are descended in lock
// step, one level of each in turn, so that their node reads overlap instead
// of waiting on one another; each tree's value is computed exactly as on its
// own. `stacks` holds kTraversalGroup scratch lists of the caller.
template <class Visitor>
void score_traversal_group(const RcfTree* const* trees, std::size_t count, const PointStore& store,
                           std::span<const float> q, const Visitor& visitor, std::vector<std::uint64_t>* stacks,
                           double* out) {
    core::check_internal(count <= kTraversalGroup, "traversal group too large");
    std::uint64_t at[kTraversalGroup];
    std::size_t active[kTraversalGroup]; // trees still above their leaf
    std::size_t remaining = count;
    for (std::size_t k = 0; k < count; ++k) {
        const RcfTree& t = *trees[k];
        core::check_internal(store.dim == t.dims && t.arena.dims == t.dims && q.size() == t.dims,
                             "query length differs from the tree's dimension");
        stacks[k].clear();
        at[k] = t.root;
        active[k] = k;
    }
    while (remaining > 0) {
        for (std::size_t j = 0; j < remaining;) {
            const std::size_t k = active[j];
            const NodeSlot& n = trees[k]->arena.node(at[k]);
            if (n.is_leaf()) {
                active[j] = active[--remaining];
                continue;
            }
            core::check_internal(n.cut_dim < q.size(), "cut dimension beyond the point's length");
            stacks[k].push_back(at[k]);
            at[k] = n.child_for(q[n.cut_dim]);
            ++j;
        }
    }
    // Ask for the memory the folds will read (the leaf points and the boxes
    // of the deepest path nodes) before folding the first tree. Only a hint.
    for (std::size_t k = 0; k < count; ++k) {
        const NodeArena& arena = trees[k]->arena;
        const std::uint64_t point_idx = arena.nodes[at[k]].point_idx;
        if (point_idx < store.capacity) __builtin_prefetch(store.store.data() + point_idx * store.dim);
        const std::vector<std::uint64_t>& path = stacks[k];
        const std::size_t first = path.size() > kPrefetchLevels ? path.size() - kPrefetchLevels : 0;
        for (std::size_t i = path.size(); i-- > first;) {
            const float* box = arena.boxes.data() + path[i] * 2 * arena.dims;
            for (std::uint64_t off = 0; off < 2 * arena.dims; off += 16) __builtin_prefetch(box + off);
            __builtin_prefetch(arena.range_sums.data() + path[i]);
        }
    }
    for (std::size_t k = 0; k < count; ++k) out[k] = fold_path(*trees[k], store, q, visitor, at[k], stacks[k]);
}

} // namespace tarn::rcf
