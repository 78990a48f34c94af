// Imputation and extrapolation.
//
// Each non-empty tree proposes one stored point: the leaf closest to the
// query on the known coordinates, searched through both children wherever a
// node cuts a missing coordinate. The estimate of a missing coordinate is the
// median of that coordinate over the proposals of all trees.
#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "rcf/forest/impute.hpp"
#include "rcf/forest/query_support.hpp"

namespace tarn::rcf {

namespace {

using namespace query_support;

// How a tree's search picks among the leaves it reaches.
struct Centrality {
    double z = 1.0;
    // At 1.0 and above the closest leaf wins (the first one found on ties)
    // and nothing is drawn; below it every leaf after the first draws once.
    bool deterministic() const { return z >= 1.0; }
};

// The search of one non-empty tree; returns the slot of its candidate.
//
// Depth first with `left` finished before `right` where the cut coordinate is
// missing, exactly as a recursion would: ties and the generator's draws
// depend on the order in which leaves are met.
std::uint64_t search_tree(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                          const std::vector<std::uint8_t>& missing, Centrality centrality, core::Xoshiro256PlusPlus& g,
                          std::vector<std::uint64_t>& stack) {
    const NodeArena& arena = tree.arena;
    std::uint64_t best = kNone;
    double best_distance = 0.0;
    stack.clear();
    stack.push_back(tree.root);
    while (!stack.empty()) {
        const std::uint64_t at = stack.back();
        stack.pop_back();
        const NodeSlot& n = arena.node(at);
        if (n.is_leaf()) {
            const double l = l1_distance_known(q, store.point(n.point_idx), missing);
            bool take;
            if (best == kNone) {
                take = true;
            } else if (centrality.deterministic()) {
                take = l < best_distance;
            } else {
                const double u = g.next_unit();
                take = l < best_distance || (1.0 - centrality.z) > u;
            }
            if (take) {
                best = n.point_idx;
                best_distance = l;
            }
            continue;
        }
        const std::uint64_t d = checked_cut_dim(n, tree.dims);
        if (missing[d]) {
            stack.push_back(n.right);
            stack.push_back(n.left); // popped, and finished, first
        } else {
            stack.push_back(q[d] <= n.cut_val ? n.left : n.right);
        }
    }
    return best;
}

// One candidate slot per non-empty tree, in tree order. Tree t searches with
// the generator expand_seed(w_t), w_t being the t-th word of
// expand_seed(seed); a word is drawn for every tree, empty or not.
std::vector<std::uint64_t> collect_candidates(const Forest& forest, std::span<const float> q,
                                              const std::vector<std::uint8_t>& missing, Centrality centrality,
                                              std::uint64_t seed) {
    std::vector<std::uint64_t> candidates;
    std::vector<std::uint64_t> stack;
    const bool draws = !centrality.deterministic();
    core::Xoshiro256PlusPlus words = draws ? core::expand_seed(seed) : core::Xoshiro256PlusPlus{};
    core::Xoshiro256PlusPlus g;
    for (const RcfTree& tree : forest.trees()) {
        // Without draws the per-tree generators are never read; skip making them.
        if (draws) g = core::expand_seed(words.next_word());
        if (tree.is_empty() || tree.tree_mass == 0) continue;
        check_dims(tree, forest.point_store(), q.size());
        candidates.push_back(search_tree(tree, forest.point_store(), q, missing, centrality, g, stack));
    }
    return candidates;
}

// The word the forest generator would give next, read from a copy.
std::uint64_t peek_forest_word(const Forest& forest) {
    core::Xoshiro256PlusPlus copy = forest.rng();
    return copy.next_word();
}

float median_of_coordinate(const PointStore& store, const std::vector<std::uint64_t>& candidates, std::uint64_t i,
                           std::vector<float>& values) {
    values.clear();
    for (const std::uint64_t slot : candidates) values.push_back(store.point(slot)[i]);
    return total_order_median(values);
}

// Key whose signed order is the total order of 32-bit floats: negative NaNs,
// -inf, negatives, -0.0, 0.0, positives, inf, positive NaNs.
std::int32_t total_order_key(float f) {
    const std::int32_t bits = std::bit_cast<std::int32_t>(f);
    return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

} // namespace

float total_order_median(std::vector<float>& values) {
    core::check_internal(!values.empty(), "median of no values");
    std::sort(values.begin(), values.end(), [](float a, float b) { return total_order_key(a) < total_order_key(b); });
    const std::size_t k = values.size() / 2;
    if (values.size() % 2 == 1) return values[k];
    const float low = values[k - 1];
    const float high = values[k];
    const float sum = low + high;
    // Two finite values whose sum overflows still have a finite mean; halve
    // them first there (exact for such large values).
    if (std::isinf(sum) && std::isfinite(low) && std::isfinite(high)) return low * 0.5f + high * 0.5f;
    return sum * 0.5f;
}

core::Result<std::vector<float>> impute(const Forest& forest, std::span<const float> point,
                                        std::span<const std::uint64_t> missing, double centrality) {
    if (missing.empty()) return core::invalid("missing list is empty");
    const std::uint64_t dims = forest.dims();
    if (point.size() != dims) return core::fail(core::DetectorError::dimension_mismatch(dims, point.size()));
    std::vector<std::uint8_t> mask(dims, 0);
    for (const std::uint64_t m : missing) {
        if (m >= dims) return core::fail(core::DetectorError::index_out_of_bounds(m));
        mask[m] = 1;
    }
    const std::vector<std::uint64_t> candidates =
        collect_candidates(forest, point, mask, Centrality{centrality}, peek_forest_word(forest));
    if (candidates.empty()) return core::fail(core::DetectorError::not_ready());

    std::vector<float> out(point.begin(), point.end());
    std::vector<float> values;
    values.reserve(candidates.size());
    for (const std::uint64_t m : missing) out[m] = median_of_coordinate(forest.point_store(), candidates, m, values);
    return out;
}

core::Result<std::vector<float>> extrapolate(const Forest& forest, std::uint64_t look_ahead) {
    const RcfConfig& config = forest.config();
    if (!config.internal_shingling) return core::invalid("extrapolation requires internal_shingling = true");
    if (config.shingle_size <= 1) return core::invalid("extrapolation requires shingle_size > 1");
    if (look_ahead == 0) return std::vector<float>{};
    if (look_ahead > config.shingle_size)
        return core::invalid("extrapolation requires look_ahead <= shingle_size (got " + std::to_string(look_ahead) +
                             ", shingle_size=" + std::to_string(config.shingle_size) + ")");

    const PointStore& store = forest.point_store();
    const std::uint64_t dims = store.dim;
    const std::uint64_t a = config.input_dim;
    core::check_internal(store.shingle_buf.size() == dims && a * config.shingle_size == dims,
                         "shingle buffer length differs from the point length");
    std::vector<float> working(store.shingle_buf.begin(), store.shingle_buf.end());
    std::vector<std::uint8_t> mask(dims, 0);
    std::vector<float> out;
    out.reserve(look_ahead * a);
    std::vector<float> values;
    const std::uint64_t seed = peek_forest_word(forest);
    for (std::uint64_t j = 0; j < look_ahead; ++j) {
        // Step j estimates the j-th observation counted back from the newest;
        // the blocks estimated before it count as known.
        const std::uint64_t begin = dims - (j + 1) * a;
        const std::uint64_t end = dims - j * a;
        std::fill(mask.begin(), mask.end(), 0);
        std::fill(mask.begin() + static_cast<std::ptrdiff_t>(begin), mask.begin() + static_cast<std::ptrdiff_t>(end),
                  1);
        const std::vector<std::uint64_t> candidates = collect_candidates(forest, working, mask, Centrality{1.0}, seed);
        if (candidates.empty()) return core::fail(core::DetectorError::not_ready());
        for (std::uint64_t i = begin; i < end; ++i) {
            working[i] = median_of_coordinate(store, candidates, i, values);
            out.push_back(working[i]);
        }
    }
    return out;
}

} // namespace tarn::rcf
