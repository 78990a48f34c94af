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

std::uint64_t NodeArena::take_slot(NodeKind kind, std::uint64_t mass) {
    std::uint64_t i;
    if (!free.empty()) {
        i = free.back();
        free.pop_back();
        if (i >= nodes.size()) throw core::InternalError("node index out of bounds");
    } else {
        i = nodes.size();
        nodes.emplace_back();
        boxes.resize(boxes.size() + 2 * dims, 0.0f);
        range_sums.push_back(0.0);
    }
    NodeSlot& n = nodes[i];
    n = NodeSlot{};
    n.kind = kind;
    n.mass = mass;
    return i;
}

std::uint64_t NodeArena::allocate_leaf(std::uint64_t point_idx, std::uint64_t mass) {
    const std::uint64_t i = take_slot(NodeKind::Leaf, mass);
    nodes[i].point_idx = point_idx;
    return i;
}

std::uint64_t NodeArena::allocate_internal(std::uint64_t left, std::uint64_t right, std::uint64_t cut_dim,
                                           float cut_val, std::uint64_t mass) {
    const std::uint64_t i = take_slot(NodeKind::Internal, mass);
    NodeSlot& n = nodes[i];
    n.left = left;
    n.right = right;
    n.cut_dim = cut_dim;
    n.cut_val = cut_val;
    return i;
}

void NodeArena::release(std::uint64_t i) {
    node(i); // checks the index and that the slot is in use
    nodes[i] = NodeSlot{};
    free.push_back(i);
}

} // namespace tarn::rcf
