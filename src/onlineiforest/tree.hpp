// The online isolation tree: counts and bounding boxes only, never points.
//
// Learning a point grows the counts and boxes along its path and splits the
// leaf it reaches once that leaf is heavy enough for its depth; the children
// are placed by synthetic points drawn uniformly from the leaf's box.
// Forgetting shrinks the counts along the path and collapses at most one
// internal node that became too light for its depth.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/rng.hpp"
#include "onlineiforest/node.hpp"

namespace tarn::onlineiforest {

// The configuration values every tree operation needs.
struct TreeParams {
    std::uint64_t input_dim = 0;
    std::uint64_t window_size = 0;      // W
    std::uint64_t max_leaf_samples = 0; // eta

    // log2(W / eta) in doubles; recomputed rather than stored, and not an
    // integer in general.
    double max_depth() const;
};

// A uniform integer in [0, k), k >= 1: the widening multiply with one
// correction draw (32-bit words when k < 2^32, 64-bit words otherwise).
std::uint64_t uniform_index(core::Xoshiro256PlusPlus& g, std::uint64_t k);

// Per-split working storage, owned by the writer so splits allocate nothing
// once warm.
struct SplitScratch {
    std::vector<std::uint64_t> active;
    std::vector<float> leaf_min;
    std::vector<float> leaf_width;
    std::vector<float> left_box; // min (dim) then max (dim)
    std::vector<float> right_box;
};

class OnlineITree {
public:
    OnlineITree() = default;
    OnlineITree(std::uint64_t input_dim, core::Xoshiro256PlusPlus rng) : dim_(input_dim), rng_(rng) {}

    bool empty() const { return root_ == kNoNode; }
    NodeIndex root() const { return root_; }
    std::uint64_t input_dim() const { return dim_; }
    const core::Xoshiro256PlusPlus& rng() const { return rng_; }
    core::Xoshiro256PlusPlus& rng() { return rng_; }

    // Checked accessors: an index outside the arena or a freed slot is an
    // internal failure, never a read out of bounds.
    const Node& node(NodeIndex i) const;
    Node& node(NodeIndex i);
    ConstSupport support(NodeIndex i) const;
    Support support(NodeIndex i);

    // x has input_dim finite coordinates (checked by the detector).
    void learn(std::span<const float> x, const TreeParams& p, SplitScratch& scratch);
    void forget(std::span<const float> x, const TreeParams& p);
    double path_length(std::span<const float> x, std::uint64_t eta) const;

    // Building blocks for the state reader: a fresh node slot with the given
    // count and box, and the links of a split. The reader checks sizes and
    // dimensions before calling these.
    NodeIndex add_node(std::uint64_t height, std::span<const float> min, std::span<const float> max);
    void set_split(NodeIndex parent, std::uint64_t dimension, float value, NodeIndex left, NodeIndex right);
    void set_root(NodeIndex r) { root_ = r; }

    // Number of live nodes (for diagnostics and tests of the C++ core).
    std::uint64_t live_nodes() const { return nodes_.size() - free_.size(); }

private:
    NodeIndex allocate();
    // Returns the whole subtree below n (not n itself) to the free list.
    void release_children(NodeIndex n);
    void collapse(NodeIndex n);
    // Splits leaf `leaf` reached at some depth; returns false (nothing changed,
    // no generator word used) when a drawn coordinate's width is not finite.
    bool split_leaf(NodeIndex leaf, SplitScratch& scratch);
    NodeIndex descend(std::span<const float> x, NodeIndex at) const;

    std::uint64_t dim_ = 0;
    NodeIndex root_ = kNoNode;
    std::vector<Node> nodes_;
    std::vector<float> boxes_;         // per slot: min[dim] then max[dim]
    std::vector<NodeIndex> free_;      // freed slots, reused first
    std::vector<std::uint8_t> in_use_; // per slot, guards against reaching a freed slot
    core::Xoshiro256PlusPlus rng_;
};

} // namespace tarn::onlineiforest
