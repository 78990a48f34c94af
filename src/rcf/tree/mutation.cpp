// Insertion, deletion and path refresh of a Random Cut Tree.
#include <algorithm>
#include <cmath>
#include <bit>

#include "rcf/cut.hpp"
#include "rcf/tree/rcf_tree.hpp"

namespace tarn::rcf {

namespace {

// The point of a leaf, checked against the tree's dimension.
std::span<const float> leaf_point(const PointStore& store, const NodeSlot& leaf, std::uint64_t dims) {
    std::span<const float> p = store.point(leaf.point_idx);
    core::check_internal(p.size() == dims, "point length differs from the tree's dimension");
    return p;
}

} // namespace

std::uint64_t RcfTree::descend(std::span<const float> x) {
    checked_slot = kNone;
    path.clear();
    std::uint64_t at = root;
    for (;;) {
        const NodeSlot& n = arena.node(at);
        if (n.is_leaf()) return at;
        core::check_internal(n.cut_dim < x.size(), "cut dimension beyond the point's length");
        const float v = x[n.cut_dim];
        path.emplace_back(at, n.sibling_for(v));
        at = n.child_for(v);
    }
}

core::Status RcfTree::check_deletable(const PointStore& store, std::uint64_t k) {
    if (is_empty()) return core::fail(core::DetectorError::runtime("cannot delete from an empty tree"));
    const std::uint64_t leaf = descend(store.point(k));
    if (arena.node(leaf).mass == 0) return core::fail(core::DetectorError::runtime("leaf mass is already 0"));
    // The deletion that follows can start from this descent.
    checked_slot = k;
    checked_leaf = leaf;
    return {};
}

bool RcfTree::rebuild_box(const PointStore& store, std::uint64_t at) {
    const NodeSlot& n = arena.node(at);
    core::check_internal(n.is_internal(), "internal error: entered unreachable code");
    const NodeSlot& l = arena.node(n.left);
    const NodeSlot& r = arena.node(n.right);
    const float* lmin;
    const float* lmax;
    const float* rmin;
    const float* rmax;
    if (l.is_leaf()) {
        lmin = lmax = leaf_point(store, l, dims).data();
    } else {
        lmin = arena.box_min(n.left).data();
        lmax = arena.box_max(n.left).data();
    }
    if (r.is_leaf()) {
        rmin = rmax = leaf_point(store, r, dims).data();
    } else {
        rmin = arena.box_min(n.right).data();
        rmax = arena.box_max(n.right).data();
    }
    // The left child's box extended by the right child's, compared bit for
    // bit with the stored box as it is written over it.
    float* bmin = arena.box_min(at).data();
    float* bmax = arena.box_max(at).data();
    const bool changed = merge_boxes(lmin, lmax, rmin, rmax, bmin, bmax, dims);
    if (!changed) return false;
    arena.range_sums[at] = range_sum_of(bmin, bmax, dims);
    return true;
}

void RcfTree::refresh_path(const PointStore& store, std::uint64_t k, MassChange change, bool boxes_may_change) {
    core::check_internal(k <= path.size(), "path refresh beyond the recorded path");
    core::check_internal(store.dim == dims && arena.dims == dims, "tree dimension differs from the store's");
    // Each node's box is the union of its children's boxes and its mass their
    // sum. A changed subtree changes every mass above it by the same one unit,
    // and its box only as far up as the rebuilt box differs from the stored
    // one: above that, every node would be rebuilt from unchanged children.
    bool rebuilding = boxes_may_change;
    for (std::uint64_t i = k; i-- > 0;) {
        const std::uint64_t at = path[i].first;
        NodeSlot& n = arena.node(at);
        if (!n.is_internal()) continue;
        if (change == MassChange::Up) {
            core::check_internal(n.mass != kNone, "node mass overflows");
            ++n.mass;
        } else {
            core::check_internal(n.mass > 0, "node mass is already 0");
            --n.mass;
        }
        if (rebuilding) rebuilding = rebuild_box(store, at);
    }
}

void RcfTree::remove(const PointStore& store, std::uint64_t k) {
    // check_deletable(k) normally ran just before, on this unchanged tree.
    const std::uint64_t leaf = checked_slot == k ? checked_leaf : descend(store.point(k));
    checked_slot = kNone;
    const std::uint64_t g = path.size();
    const std::uint64_t m = arena.node(leaf).mass;
    core::check_internal(tree_mass > 0, "tree mass is already 0");
    --tree_mass;
    if (m >= 2) {
        arena.nodes[leaf].mass = m - 1;
        refresh_path(store, g, MassChange::Down, false);
        return;
    }
    if (g == 0) {
        arena.release(leaf);
        root = kNone;
        return;
    }
    const auto [parent, sibling] = path[g - 1];
    if (g == 1) {
        root = sibling;
    } else {
        NodeSlot& grand = arena.node(path[g - 2].first);
        if (grand.left == parent) grand.left = sibling;
        else grand.right = sibling;
    }
    // Leaf first, then parent: the next allocation reuses the parent's slot.
    arena.release(leaf);
    arena.release(parent);
    refresh_path(store, g - 1, MassChange::Down, true);
}

std::uint64_t RcfTree::insert(const PointStore& store, std::uint64_t e) {
    core::check_internal(store.dim == dims && arena.dims == dims, "tree dimension differs from the store's");
    const std::span<const float> p = store.point(e);
    if (is_empty()) {
        root = arena.allocate_leaf(e, 1);
        tree_mass = 1;
        return e;
    }
    const std::uint64_t leaf = descend(p);
    ++tree_mass;
    const std::uint64_t g = path.size();
    const std::uint64_t q = arena.node(leaf).point_idx;
    const std::span<const float> y = leaf_point(store, arena.node(leaf), dims);

    auto absorb_duplicate = [&] {
        ++arena.nodes[leaf].mass;
        refresh_path(store, g, MassChange::Up, false);
        return q;
    };
    if (store.points_equal(p, q)) return absorb_duplicate();

    // Walk up from the leaf; the level box starts as the leaf's point and
    // takes in one sibling per level.
    core::check_internal(scratch_box.size() == 2 * dims, "scratch box of the wrong size");
    float* bmin = scratch_box.data();
    float* bmax = scratch_box.data() + dims;
    std::copy(y.begin(), y.end(), bmin);
    std::copy(y.begin(), y.end(), bmax);
    for (std::uint64_t level = 0; level <= g; ++level) {
        const double u = rng.next_unit();
        Cut cut;
        if (choose_cut(bmin, bmax, p.data(), dims, u, cut)) {
            const std::uint64_t d = cut.dim;
            const bool separates =
                (p[d] <= cut.value && bmin[d] > cut.value) || (bmax[d] <= cut.value && cut.value < p[d]);
            if (separates) {
                split(store, e, leaf, level, cut);
                return e;
            }
        }
        if (level < g) {
            const std::uint64_t s = path[g - 1 - level].second;
            const NodeSlot& sn = arena.node(s);
            if (sn.is_leaf()) {
                const std::span<const float> sp = leaf_point(store, sn, dims);
                for (std::uint64_t i = 0; i < dims; ++i) {
                    bmin[i] = min_ignoring_nan(bmin[i], sp[i]);
                    bmax[i] = max_ignoring_nan(bmax[i], sp[i]);
                }
            } else {
                const float* smin = arena.box_min(s).data();
                const float* smax = arena.box_max(s).data();
                for (std::uint64_t i = 0; i < dims; ++i) {
                    bmin[i] = min_ignoring_nan(bmin[i], smin[i]);
                    bmax[i] = max_ignoring_nan(bmax[i], smax[i]);
                }
            }
        }
    }

    // No level separated (only non-finite coordinates get here): split at
    // the leaf on the first clearly different coordinate, else treat the
    // point as a duplicate.
    for (std::uint64_t d = 0; d < dims; ++d) {
        if (std::fabs(p[d] - y[d]) > 0x1.0p-23f) {
            split(store, e, leaf, 0, Cut{d, min_ignoring_nan(y[d], p[d])});
            return e;
        }
    }
    return absorb_duplicate();
}

void RcfTree::split(const PointStore& store, std::uint64_t e, std::uint64_t leaf_node, std::uint64_t level, Cut cut) {
    const std::uint64_t g = path.size();
    core::check_internal(level <= g, "split level beyond the path");
    const std::span<const float> p = store.point(e);
    // N: the node the new point joins as sibling; P: its parent (none at the root).
    const std::uint64_t target = level == 0 ? leaf_node : path[g - level].first;
    const std::uint64_t parent = level == g ? kNone : path[g - level - 1].first;

    const std::uint64_t leaf = arena.allocate_leaf(e, 1);
    const std::uint64_t target_mass = arena.node(target).mass;
    const bool new_left = p[cut.dim] <= cut.value;
    const std::uint64_t inner = arena.allocate_internal(new_left ? leaf : target, new_left ? target : leaf, cut.dim,
                                                        cut.value, target_mass + 1);
    float* mn = arena.box_min(inner).data();
    float* mx = arena.box_max(inner).data();
    const NodeSlot& tn = arena.node(target);
    if (tn.is_leaf()) {
        const std::span<const float> y = leaf_point(store, tn, dims);
        std::copy(y.begin(), y.end(), mn);
        std::copy(y.begin(), y.end(), mx);
    } else {
        const std::span<const float> tmin = arena.box_min(target);
        const std::span<const float> tmax = arena.box_max(target);
        std::copy(tmin.begin(), tmin.end(), mn);
        std::copy(tmax.begin(), tmax.end(), mx);
    }
    for (std::uint64_t d = 0; d < dims; ++d) {
        mn[d] = min_ignoring_nan(mn[d], p[d]);
        mx[d] = max_ignoring_nan(mx[d], p[d]);
    }
    arena.range_sums[inner] = range_sum_of(mn, mx, dims);

    if (parent == kNone) {
        root = inner;
    } else {
        NodeSlot& pn = arena.node(parent);
        if (pn.left == target) pn.left = inner;
        else pn.right = inner;
    }
    refresh_path(store, g - level, MassChange::Up, true);
}

} // namespace tarn::rcf
