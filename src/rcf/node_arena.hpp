// Tree nodes in one contiguous slot list with a last-in first-out free list.
//
// Nodes refer to each other and to points by index, never by pointer, so a
// tree copies and persists without fix-ups. The bounding boxes of internal
// nodes live in one flat array indexed by slot (2 * dims floats per slot:
// min then max) and their range sums in another, so no node owns a heap
// allocation. Leaf slots leave their box area unused.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/common.hpp"

namespace tarn::rcf {

enum class NodeKind : std::uint8_t { Empty, Leaf, Internal };

// One slot. A leaf uses point_idx and mass; an internal node uses left,
// right, cut_dim, cut_val and mass (its box is in the arena's box arrays).
//
// The fields a descent reads (kind, cut, children) come first, so that they
// usually share one cache line.
struct NodeSlot {
    std::uint64_t left = kNone;
    std::uint64_t right = kNone;
    std::uint64_t cut_dim = 0;
    float cut_val = 0.0f;
    NodeKind kind = NodeKind::Empty;
    std::uint64_t point_idx = kNone;
    std::uint64_t mass = 0;

    bool is_leaf() const { return kind == NodeKind::Leaf; }
    // The child a point with coordinate x[cut_dim] = x descends to: left when
    // x <= cut_val, right otherwise (NaN goes right). Selected without a
    // branch: the direction is data and would mispredict half the time.
    std::uint64_t child_for(float x) const {
        const std::uint64_t go_right = !(x <= cut_val);
        return left ^ ((left ^ right) & (0 - go_right));
    }
    // The other child of the one that child_for(x) returns.
    std::uint64_t sibling_for(float x) const {
        const std::uint64_t go_right = !(x <= cut_val);
        return right ^ ((left ^ right) & (0 - go_right));
    }
    bool is_internal() const { return kind == NodeKind::Internal; }
    bool is_empty() const { return kind == NodeKind::Empty; }
};

struct NodeArena {
    std::uint64_t dims = 0;          // point length; box stride is 2 * dims
    std::vector<NodeSlot> nodes;     // one entry per slot
    std::vector<float> boxes;        // per slot: min[dims] then max[dims]
    std::vector<double> range_sums;  // per slot
    std::vector<std::uint64_t> free; // empty slots, last one reused first

    // An empty arena with room reserved for `reserve_nodes` slots. Throws
    // std::bad_alloc when that cannot be reserved.
    static NodeArena create(std::uint64_t dims, std::uint64_t reserve_nodes);

    std::uint64_t slot_count() const { return nodes.size(); }

    // Checked access: an index outside the list or an empty slot is an
    // internal failure.
    const NodeSlot& node(std::uint64_t i) const {
        if (i >= nodes.size()) throw core::InternalError("node index out of bounds");
        const NodeSlot& n = nodes[i];
        if (n.kind == NodeKind::Empty) throw core::InternalError("accessed freed or uninitialized node");
        return n;
    }
    NodeSlot& node(std::uint64_t i) { return const_cast<NodeSlot&>(static_cast<const NodeArena*>(this)->node(i)); }
    std::uint64_t mass(std::uint64_t i) const { return node(i).mass; }

    // Box of slot i (meaningful for internal nodes).
    std::span<const float> box_min(std::uint64_t i) const { return {boxes.data() + i * 2 * dims, dims}; }
    std::span<const float> box_max(std::uint64_t i) const { return {boxes.data() + i * 2 * dims + dims, dims}; }
    std::span<float> box_min(std::uint64_t i) { return {boxes.data() + i * 2 * dims, dims}; }
    std::span<float> box_max(std::uint64_t i) { return {boxes.data() + i * 2 * dims + dims, dims}; }

    std::uint64_t allocate_leaf(std::uint64_t point_idx, std::uint64_t mass);
    // A new internal node; its box is left for the caller to fill.
    std::uint64_t allocate_internal(std::uint64_t left, std::uint64_t right, std::uint64_t cut_dim, float cut_val,
                                    std::uint64_t mass);
    void release(std::uint64_t i);

private:
    // A cleared slot of the given kind and mass, reused from the free list
    // when one is there.
    std::uint64_t take_slot(NodeKind kind, std::uint64_t mass);
};

} // namespace tarn::rcf
