// One Random Cut Tree over the sample of its sampler.
//
// Points are held in the forest's shared PointStore and referred to by slot.
// Insertion places a new point by a random cut drawn from the tree's own
// generator; deletion removes one unit of mass and splices out a leaf that
// becomes empty. Every descent is a loop: a tree fed monotone data can be as
// deep as its sample.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/rng.hpp"
#include "rcf/common.hpp"
#include "rcf/cut.hpp"
#include "rcf/node_arena.hpp"
#include "rcf/point_store.hpp"

namespace tarn::rcf {

// (node, sibling): an internal node passed by a descent and its child that
// the point does not enter.
using PathEntry = std::pair<std::uint64_t, std::uint64_t>;

struct RcfTree {
    std::uint64_t root = kNone;
    std::uint64_t tree_mass = 0;
    NodeArena arena;
    core::Xoshiro256PlusPlus rng;
    std::uint64_t dims = 0;

    // Writer scratch, rebuilt on demand: the path of the last descent and the
    // level box of an insertion.
    std::vector<PathEntry> path;
    std::vector<float> scratch_box; // 2 * dims: min then max
    // Slot whose deletability the last descent confirmed, and its leaf.
    std::uint64_t checked_slot = kNone;
    std::uint64_t checked_leaf = kNone;

    // An empty tree with room for `reserve_nodes` nodes. Throws
    // std::bad_alloc when that cannot be reserved.
    static RcfTree create(std::uint64_t dims, std::uint64_t reserve_nodes, core::Xoshiro256PlusPlus rng);

    bool is_empty() const { return root == kNone; }

    // The leaf reached from the root by `x`; fills `path`.
    std::uint64_t descend(std::span<const float> x);

    // Runtime error when slot k's point cannot be deleted (empty tree, or its
    // leaf already has mass 0). Changes nothing but the scratch path.
    core::Status check_deletable(const PointStore& store, std::uint64_t k);

    // Removes one unit of the sample entry for the point in slot k.
    void remove(const PointStore& store, std::uint64_t k);

    // Inserts the point stored in slot e; returns the slot the tree now
    // refers to for it (e, or an identical point already present).
    std::uint64_t insert(const PointStore& store, std::uint64_t e);

    enum class MassChange { Up, Down };
    // Brings the first k path entries, deepest first, up to date after the
    // subtree below them gained or lost one unit of mass; with
    // `boxes_may_change`, their boxes are rebuilt from their children too.
    void refresh_path(const PointStore& store, std::uint64_t k, MassChange change, bool boxes_may_change);

private:
    // Rebuilds the box of internal node `at` from its children; false when
    // it came out identical to the stored one.
    bool rebuild_box(const PointStore& store, std::uint64_t at);
    // Joins the new point in slot e as sibling of the node at `level` above
    // `leaf_node` on the last path, under `cut`.
    void split(const PointStore& store, std::uint64_t e, std::uint64_t leaf_node, std::uint64_t level, Cut cut);
};

} // namespace tarn::rcf
