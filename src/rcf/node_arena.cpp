#include "rcf/node_arena.hpp"

namespace tarn::rcf {

NodeArena NodeArena::create(std::uint64_t dims, std::uint64_t reserve_nodes) {
    NodeArena a;
    a.dims = dims;
    const std::uint64_t box_values = alloc_count(reserve_nodes, alloc_count(dims, 2));
    reserving([&] {
        a.nodes.reserve(reserve_nodes);
        a.boxes.reserve(box_values);
        a.range_sums.reserve(reserve_nodes);
    });
    return a;
}

std::uint64_t NodeArena::take_slot() {
    if (!free.empty()) {
        const std::uint64_t i = free.back();
        free.pop_back();
        if (i >= nodes.size()) throw core::InternalError("node index out of bounds");
        return i;
    }
    const std::uint64_t i = nodes.size();
    nodes.emplace_back();
    boxes.resize(boxes.size() + 2 * dims, 0.0f);
    range_sums.push_back(0.0);
    return i;
}

std::uint64_t NodeArena::allocate_leaf(std::uint64_t point_idx, std::uint64_t mass) {
    const std::uint64_t i = take_slot();
    NodeSlot& n = nodes[i];
    n = NodeSlot{};
    n.kind = NodeKind::Leaf;
    n.point_idx = point_idx;
    n.mass = mass;
    return i;
}

std::uint64_t NodeArena::allocate_internal(std::uint64_t left, std::uint64_t right, std::uint64_t cut_dim,
                                           float cut_val, std::uint64_t mass) {
    const std::uint64_t i = take_slot();
    NodeSlot& n = nodes[i];
    n = NodeSlot{};
    n.kind = NodeKind::Internal;
    n.left = left;
    n.right = right;
    n.cut_dim = cut_dim;
    n.cut_val = cut_val;
    n.mass = mass;
    return i;
}

void NodeArena::release(std::uint64_t i) {
    node(i); // checks the index and that the slot is in use
    nodes[i] = NodeSlot{};
    free.push_back(i);
}

} // namespace tarn::rcf
