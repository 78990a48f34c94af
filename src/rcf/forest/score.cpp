// Anomaly score of a point against the current trees.
#include <cmath>
#include <vector>

#include "rcf/forest/forest.hpp"
#include "rcf/tree/traversal.hpp"

namespace tarn::rcf {

namespace {

struct AnomalyVisitor {
    double seen(double depth, double mass) const { return 1.0 / (depth + std::log2(mass + 1.0)); }
    double unseen(double depth, double) const { return 1.0 / (depth + 1.0); }
    double damp(double leaf_mass, double tree_mass) const {
        return tree_mass != 0.0 ? 1.0 - leaf_mass / (2.0 * tree_mass) : 1.0;
    }
};

// Per-thread scratch of the readers: never shared between threads, reused
// across calls so that scoring does not allocate once warmed up.
struct ReaderScratch {
    std::vector<float> query;
    std::vector<std::uint64_t> stacks[kTraversalGroup];
};
ReaderScratch& reader_scratch() {
    thread_local ReaderScratch scratch;
    return scratch;
}

} // namespace

core::Result<std::span<const float>> Forest::query_point(std::span<const float> values,
                                                         std::vector<float>& buffer) const {
    const PointStore& s = point_store_;
    if (s.internal_shingling && values.size() == s.input_dim) {
        if (s.shingle_size == 1) return values;
        buffer.resize(s.dim);
        s.query_point(values, buffer);
        return std::span<const float>(buffer);
    }
    if (values.size() != s.dim) return core::fail(core::DetectorError::dimension_mismatch(s.dim, values.size()));
    return values;
}

core::Result<double> Forest::score(std::span<const float> point) const {
    ReaderScratch& scratch = reader_scratch();
    auto q = query_point(point, scratch.query);
    if (!q) return core::fail(std::move(q.error()));
    const AnomalyVisitor visitor;
    // Trees are traversed in groups; their contributions are still added in
    // tree order.
    double sum = 0.0;
    const RcfTree* group[kTraversalGroup];
    double values[kTraversalGroup];
    std::size_t count = 0;
    auto flush = [&] {
        score_traversal_group(group, count, point_store_, *q, visitor, scratch.stacks, values);
        for (std::size_t k = 0; k < count; ++k)
            sum += std::log2(static_cast<double>(group[k]->tree_mass) + 1.0) * values[k];
        count = 0;
    };
    for (const RcfTree& tree : trees_) {
        if (tree.is_empty() || tree.tree_mass == 0) continue;
        group[count++] = &tree;
        if (count == kTraversalGroup) flush();
    }
    if (count > 0) flush();
    return sum / static_cast<double>(trees_.size());
}

} // namespace tarn::rcf
