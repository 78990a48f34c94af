#include "rcf/tree/rcf_tree.hpp"

namespace tarn::rcf {

RcfTree RcfTree::create(std::uint64_t dims, std::uint64_t reserve_nodes, core::Xoshiro256PlusPlus rng) {
    RcfTree t;
    t.dims = dims;
    t.rng = rng;
    t.arena = NodeArena::create(dims, reserve_nodes);
    reserving([&] { t.scratch_box.assign(alloc_count(dims, 2), 0.0f); });
    return t;
}

} // namespace tarn::rcf
