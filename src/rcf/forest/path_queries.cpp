// Displacement score, density and attribution: each follows the query's path
// from the root to a leaf in every tree.
//
// Trees can be as deep as their sample (monotone streams), so the descent is
// a loop that records the internal nodes passed, and the values that depend
// on the deeper ones are folded from that record bottom-up.
#include <cmath>
#include <vector>

#include "rcf/forest/query.hpp"
#include "rcf/forest/query_support.hpp"

namespace tarn::rcf {

namespace {

using namespace query_support;

// Scratch of one calling thread; nothing here is shared between threads.
struct PathScratch {
    std::vector<float> query;
    std::vector<std::uint64_t> path;
};
PathScratch& path_scratch() {
    thread_local PathScratch scratch;
    return scratch;
}

// Descends from the root of a non-empty tree by the navigation rule (left
// when q[d] <= c, so a NaN coordinate goes right), recording the internal
// nodes passed, root first. Returns the leaf reached.
std::uint64_t descend(const RcfTree& tree, std::span<const float> q, std::vector<std::uint64_t>& path) {
    const NodeArena& arena = tree.arena;
    path.clear();
    std::uint64_t at = tree.root;
    const NodeSlot* n = &arena.node(at);
    while (!n->is_leaf()) {
        const std::uint64_t d = checked_cut_dim(*n, tree.dims);
        path.push_back(at);
        at = q[d] <= n->cut_val ? n->left : n->right;
        n = &arena.node(at);
    }
    return at;
}

// The fold shared by displacement and density: starting from the leaf's
// value, each internal node on the way back up blends in its own mass with
// the probability that its box would separate q.
//
// Every box contains the boxes below it, so once q lies inside one box
// (outside distance 0) it lies inside all boxes above, whose separation
// probability is 0 and which leave the value as it is: the fold stops there.
template <class Blend>
double fold_up(const RcfTree& tree, std::span<const float> q, const std::vector<std::uint64_t>& path, double value,
               Blend blend) {
    const NodeArena& arena = tree.arena;
    for (std::size_t i = path.size(); i-- > 0;) {
        const std::uint64_t node = path[i];
        const float s = node_distance_outside(arena, node, q.data());
        if (s == 0.0f) break;
        const double p = separation_probability(s, arena.range_sums[node]);
        if (p != 0.0) value = blend(value, p, static_cast<double>(arena.nodes[node].mass));
    }
    return value;
}

double displacement_of_tree(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                            std::vector<std::uint64_t>& path) {
    const std::uint64_t leaf = descend(tree, q, path);
    const NodeSlot& l = tree.arena.nodes[leaf];
    const double m = static_cast<double>(l.mass);
    const double total = static_cast<double>(tree.tree_mass);
    double value;
    if (store.points_equal(q, l.point_idx)) {
        // damp(m, M) * seen(m): the share of q's own copies it would not displace.
        const double damp = total != 0.0 ? 1.0 - m / (2.0 * total) : 1.0;
        value = damp * (1.0 / (m + 1.0));
    } else {
        value = m;
    }
    value = fold_up(tree, q, path, value, [](double c, double p, double mass) { return (1.0 - p) * c + p * mass; });
    return value / (total + 1.0);
}

double density_of_tree(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                       std::vector<std::uint64_t>& path) {
    const std::uint64_t leaf = descend(tree, q, path);
    const NodeSlot& l = tree.arena.nodes[leaf];
    const double value = store.points_equal(q, l.point_idx) ? static_cast<double>(l.mass) : 0.0;
    return fold_up(tree, q, path, value, [](double c, double p, double mass) { return c * (1.0 - p) + mass * p; });
}

// Sums per-tree values in tree order from -0.0 (a tree without samples adds
// 0.0) and averages over all trees.
template <class PerTree>
core::Result<double> average_over_trees(const Forest& forest, std::span<const float> point, PerTree per_tree) {
    PathScratch& scratch = path_scratch();
    auto q = forest.query_point(point, scratch.query);
    if (!q) return core::fail(std::move(q.error()));
    double sum = -0.0;
    for (const RcfTree& tree : forest.trees()) {
        if (tree.is_empty() || tree.tree_mass == 0) {
            sum += 0.0;
            continue;
        }
        check_dims(tree, forest.point_store(), q->size());
        sum += per_tree(tree, forest.point_store(), *q, scratch.path);
    }
    return sum / static_cast<double>(forest.trees().size());
}

} // namespace

core::Result<double> displacement_score(const Forest& forest, std::span<const float> point) {
    return average_over_trees(forest, point, displacement_of_tree);
}

core::Result<double> density(const Forest& forest, std::span<const float> point) {
    return average_over_trees(forest, point, density_of_tree);
}

core::Result<std::vector<AttributionEntry>> attribution(const Forest& forest, std::span<const float> point) {
    std::vector<float> buffer;
    auto qr = forest.query_point(point, buffer);
    if (!qr) return core::fail(std::move(qr.error()));
    const std::span<const float> q = *qr;
    std::vector<AttributionEntry> out(q.size());

    for (const RcfTree& tree : forest.trees()) {
        if (tree.is_empty() || tree.tree_mass == 0) continue;
        check_dims(tree, forest.point_store(), q.size());
        const NodeArena& arena = tree.arena;
        const double o = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
        double unseparated = 1.0; // share of q not yet separated higher up
        double depth = 0.0;
        std::uint64_t at = tree.root;
        const NodeSlot* n = &arena.node(at);
        // A walk down q's path: each node's contribution depends only on the
        // nodes above it.
        while (!n->is_leaf()) {
            const std::uint64_t d = checked_cut_dim(*n, tree.dims);
            const bool goes_left = q[d] <= n->cut_val;
            // q on the low side of the cut books "above", beyond it "below".
            double& target = goes_left ? out[d].above : out[d].below;
            const float s = node_distance_outside(arena, at, q.data());
            const double p = separation_probability(s, arena.range_sums[at]);
            if (s != 0.0f && p > 0.0) {
                target += ((unseparated * p) * (1.0 / (depth + 1.0))) * o;
                unseparated *= (1.0 - p);
            }
            depth += 1.0;
            at = goes_left ? n->left : n->right;
            n = &arena.node(at);
        }
    }
    const double inv_trees = 1.0 / static_cast<double>(forest.trees().size());
    for (AttributionEntry& e : out) {
        e.below *= inv_trees;
        e.above *= inv_trees;
    }
    return out;
}

} // namespace tarn::rcf
