// Near neighbours: the stored points at the leaves reached from the query's
// paths, merged over the trees by point-store slot.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "rcf/forest/query.hpp"
#include "rcf/forest/query_support.hpp"

namespace tarn::rcf {

namespace {

using namespace query_support;

// One leaf reached in one tree.
struct Record {
    double score;
    std::uint64_t slot;
    double distance;
};

// Ascending distance with NaN after every number.
bool closer(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// Appends a record for every leaf the search reaches in one non-empty tree.
//
// Depth first, near child before far child, exactly as a recursion would: the
// per-slot sums below are formed in this order. Below the root a node whose
// separation probability does not exceed the threshold ends its branch; a
// node that q lies far outside of (probability above one half) also has its
// far child searched.
void search_tree(const RcfTree& tree, const PointStore& store, std::span<const float> q, double threshold,
                 std::vector<std::pair<std::uint64_t, std::uint64_t>>& stack, std::vector<Record>& records) {
    const NodeArena& arena = tree.arena;
    const double weight = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
    stack.clear();
    stack.emplace_back(tree.root, 0);
    while (!stack.empty()) {
        const auto [at, depth] = stack.back();
        stack.pop_back();
        const NodeSlot& n = arena.node(at);
        if (n.is_leaf()) {
            const double score = weight * (1.0 / (static_cast<double>(depth) + 1.0));
            records.push_back({score, n.point_idx, l1_distance(q, store.point(n.point_idx))});
            continue;
        }
        const std::uint64_t d = checked_cut_dim(n, tree.dims);
        const double p = separation_probability(node_distance_outside(arena, at, q.data()), arena.range_sums[at]);
        if (depth > 0 && p <= threshold) continue;
        const bool near_is_left = q[d] <= n.cut_val;
        const std::uint64_t near = near_is_left ? n.left : n.right;
        const std::uint64_t far = near_is_left ? n.right : n.left;
        if (p > 0.5) stack.emplace_back(far, depth + 1);
        stack.emplace_back(near, depth + 1); // popped, and finished, first
    }
}

} // namespace

core::Result<std::vector<Neighbor>> near_neighbors(const Forest& forest, std::span<const float> point,
                                                   std::uint64_t top_k, std::uint64_t percentile) {
    if (percentile > 100) return core::invalid("percentile must be in [0, 100]");
    std::vector<float> buffer;
    auto qr = forest.query_point(point, buffer);
    if (!qr) return core::fail(std::move(qr.error()));
    const std::span<const float> q = *qr;
    if (top_k == 0) return std::vector<Neighbor>{};

    const double threshold = static_cast<double>(percentile) / 100.0;
    std::vector<Record> records;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> stack;
    for (const RcfTree& tree : forest.trees()) {
        if (tree.is_empty() || tree.tree_mass == 0) continue;
        check_dims(tree, forest.point_store(), q.size());
        search_tree(tree, forest.point_store(), q, threshold, stack, records);
    }
    if (records.empty()) return std::vector<Neighbor>{};

    // Merge by slot; within a slot the scores are added in the order the
    // records were made.
    std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.slot < b.slot; });
    const double trees = static_cast<double>(forest.trees().size());
    std::vector<Record> items;
    for (std::size_t i = 0; i < records.size();) {
        const std::uint64_t slot = records[i].slot;
        double sum = 0.0;
        // Every record of a slot measures the same pair of points, so the
        // first one's distance stands; an infinite or NaN distance is kept
        // as it is rather than capped.
        double distance = records[i].distance;
        for (; i < records.size() && records[i].slot == slot; ++i) {
            sum = records[i].score + sum;
            if (records[i].distance < distance) distance = records[i].distance;
        }
        items.push_back({sum / trees, slot, distance});
    }

    // Ascending distance; equal distances stay in ascending slot order.
    std::stable_sort(items.begin(), items.end(),
                     [](const Record& a, const Record& b) { return closer(a.distance, b.distance); });
    if (items.size() > top_k) items.resize(top_k);

    std::vector<Neighbor> out;
    out.reserve(items.size());
    for (const Record& item : items) {
        const std::span<const float> y = forest.point_store().point(item.slot);
        out.push_back({item.score, std::vector<float>(y.begin(), y.end()), item.distance});
    }
    return out;
}

} // namespace tarn::rcf
