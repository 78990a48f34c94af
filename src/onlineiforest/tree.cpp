#include "onlineiforest/tree.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "core/error.hpp"

namespace tarn::onlineiforest {

using core::check_internal;

double TreeParams::max_depth() const {
    return std::log2(static_cast<double>(window_size) / static_cast<double>(max_leaf_samples));
}

std::uint64_t uniform_index(core::Xoshiro256PlusPlus& g, std::uint64_t k) {
    check_internal(k > 0, "cannot sample an index below 0");
    if (k < (std::uint64_t{1} << 32)) {
        const std::uint64_t w = g.next_word() >> 32;
        const std::uint64_t p = w * k;
        std::uint64_t r = p >> 32;
        const std::uint64_t lo = p & 0xffffffffull;
        if (lo > (std::uint64_t{1} << 32) - k) {
            const std::uint64_t w2 = g.next_word() >> 32;
            const std::uint64_t q = (w2 * k) >> 32;
            if (lo + q >= (std::uint64_t{1} << 32)) r += 1;
        }
        return r;
    }
    const unsigned __int128 p = static_cast<unsigned __int128>(g.next_word()) * k;
    std::uint64_t r = static_cast<std::uint64_t>(p >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(p);
    // 2^64 - k, computed as the wrapping negation of k.
    if (lo > 0 - k) {
        const unsigned __int128 q = (static_cast<unsigned __int128>(g.next_word()) * k) >> 64;
        // lo + q >= 2^64 exactly when the 64-bit sum wraps.
        if (static_cast<unsigned __int128>(lo) + q >= (static_cast<unsigned __int128>(1) << 64)) r += 1;
    }
    return r;
}

namespace {

// The uniform 32-bit draw in [low, low + width): one generator word, the top
// 23 bits as the mantissa of f in [1, 2), then low + (f - 1) * width in float
// arithmetic. The caller has checked low < high and a finite width, so this
// equals Xoshiro256PlusPlus::uniform_f32(low, high) bit for bit.
inline float draw_in(core::Xoshiro256PlusPlus& g, float low, float width) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(g.next_word() >> 41) | 0x3f800000u);
    return low + (f - 1.0f) * width;
}

} // namespace

const Node& OnlineITree::node(NodeIndex i) const {
    check_internal(i < nodes_.size() && in_use_[i], "node index refers to no live node");
    return nodes_[i];
}

Node& OnlineITree::node(NodeIndex i) {
    check_internal(i < nodes_.size() && in_use_[i], "node index refers to no live node");
    return nodes_[i];
}

ConstSupport OnlineITree::support(NodeIndex i) const {
    node(i);
    const float* base = boxes_.data() + static_cast<std::size_t>(i) * 2 * dim_;
    return {{base, dim_}, {base + dim_, dim_}};
}

Support OnlineITree::support(NodeIndex i) {
    node(i);
    float* base = boxes_.data() + static_cast<std::size_t>(i) * 2 * dim_;
    return {{base, dim_}, {base + dim_, dim_}};
}

NodeIndex OnlineITree::allocate() {
    if (!free_.empty()) {
        const NodeIndex i = free_.back();
        free_.pop_back();
        nodes_[i] = Node{};
        in_use_[i] = 1;
        return i;
    }
    check_internal(nodes_.size() < kNoNode, "node arena is full");
    const auto i = static_cast<NodeIndex>(nodes_.size());
    // Grow all three arrays before publishing the slot, so a failed
    // allocation leaves the arena as it was.
    boxes_.resize(boxes_.size() + 2 * dim_);
    try {
        in_use_.push_back(1);
        try {
            nodes_.push_back(Node{});
        } catch (...) {
            in_use_.pop_back();
            throw;
        }
    } catch (...) {
        boxes_.resize(boxes_.size() - 2 * dim_);
        throw;
    }
    return i;
}

void OnlineITree::release_children(NodeIndex n) {
    // The free list doubles as the work list: every slot appended to it is
    // visited once more to release its own children. No recursion.
    const Node& top = node(n);
    if (!top.has_split()) return;
    std::size_t next = free_.size();
    free_.push_back(top.split.left);
    free_.push_back(top.split.right);
    for (; next < free_.size(); ++next) {
        const NodeIndex c = free_[next];
        Node& child = node(c);
        in_use_[c] = 0;
        if (child.has_split()) {
            const Split s = child.split;
            free_.push_back(s.left);
            free_.push_back(s.right);
        }
        child = Node{};
    }
}

void OnlineITree::collapse(NodeIndex n) {
    const Split s = node(n).split;
    check_internal(node(n).has_split(), "collapse of a leaf");
    const ConstSupport l = std::as_const(*this).support(s.left);
    const ConstSupport r = std::as_const(*this).support(s.right);
    const Support out = support(n);
    for (std::uint64_t i = 0; i < dim_; ++i) {
        out.min[i] = r.min[i] < l.min[i] ? r.min[i] : l.min[i];
        out.max[i] = r.max[i] > l.max[i] ? r.max[i] : l.max[i];
    }
    release_children(n);
    node(n).split = Split{};
}

NodeIndex OnlineITree::descend(std::span<const float> x, NodeIndex at) const {
    const Split& s = node(at).split;
    check_internal(s.dimension < x.size(), "index out of bounds: split dimension");
    return x[s.dimension] < s.value ? s.left : s.right;
}

void OnlineITree::learn(std::span<const float> x, const TreeParams& p, SplitScratch& scratch) {
    check_internal(x.size() == dim_, "point length differs from the tree's dimension");
    if (root_ == kNoNode) {
        const NodeIndex r = allocate();
        nodes_[r].height = 1;
        const Support s = support(r);
        for (std::uint64_t i = 0; i < dim_; ++i) s.min[i] = s.max[i] = x[i];
        root_ = r;
        return;
    }
    NodeIndex n = root_;
    std::uint64_t depth = 0;
    for (;;) {
        Node& nd = node(n);
        nd.height = saturating_inc(nd.height);
        const Support s = support(n);
        float* mn = s.min.data();
        float* mx = s.max.data();
        for (std::uint64_t i = 0; i < dim_; ++i) {
            mn[i] = x[i] < mn[i] ? x[i] : mn[i];
            mx[i] = x[i] > mx[i] ? x[i] : mx[i];
        }
        if (!nd.has_split()) break;
        n = descend(x, n);
        ++depth;
    }
    // The leaf splits only while strictly shallower than max_depth (a NaN
    // max_depth splits nothing) and once its count reaches eta * 2^depth.
    if (!(static_cast<double>(depth) < p.max_depth())) return;
    if (node(n).height < split_threshold(p.max_leaf_samples, depth)) return;
    split_leaf(n, scratch);
}

bool OnlineITree::split_leaf(NodeIndex leaf, SplitScratch& scratch) {
    const std::uint64_t dim = dim_;
    std::vector<std::uint64_t>& active = scratch.active;
    std::vector<float>& low = scratch.leaf_min;
    std::vector<float>& width = scratch.leaf_width;
    active.clear();
    low.resize(dim);
    width.resize(dim);
    {
        const ConstSupport s = std::as_const(*this).support(leaf);
        for (std::uint64_t i = 0; i < dim; ++i) {
            low[i] = s.min[i];
            width[i] = s.max[i] - s.min[i];
            if (s.max[i] > s.min[i]) active.push_back(i);
        }
    }
    if (active.empty()) return false;
    // Every coordinate with a non-degenerate range gets drawn; when one of
    // their widths overflows float the split is skipped before any draw, so
    // the leaf and the generator stay as they were.
    for (const std::uint64_t i : active)
        if (!std::isfinite(width[i])) return false;

    const std::uint64_t k = active.size();
    const std::uint64_t j = uniform_index(rng_, k);
    check_internal(j < k, "selected active dimension exists");
    const std::uint64_t l = active[j];
    const float v = draw_in(rng_, low[l], width[l]);

    // Each side accumulates the box of its synthetic points; starting from
    // (+inf, -inf) makes the first point set the box exactly.
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float>& lbox = scratch.left_box;
    std::vector<float>& rbox = scratch.right_box;
    lbox.assign(2 * dim, inf);
    rbox.assign(2 * dim, inf);
    for (std::uint64_t i = 0; i < dim; ++i) lbox[dim + i] = rbox[dim + i] = -inf;

    const std::uint64_t n = node(leaf).height;
    std::uint64_t n_left = 0;
    std::uint64_t n_right = 0;
    for (std::uint64_t t = 0; t < n; ++t) {
        // Coordinate l first (it decides the side), then the others in order.
        const float sl = draw_in(rng_, low[l], width[l]);
        const bool go_left = sl < v;
        float* bmin = go_left ? lbox.data() : rbox.data();
        float* bmax = bmin + dim;
        (go_left ? n_left : n_right) += 1;
        for (std::uint64_t i = 0; i < dim; ++i) {
            float c;
            if (i == l) {
                c = sl;
            } else if (width[i] != 0.0f) {
                c = draw_in(rng_, low[i], width[i]);
            } else {
                c = low[i];
            }
            bmin[i] = c < bmin[i] ? c : bmin[i];
            bmax[i] = c > bmax[i] ? c : bmax[i];
        }
    }

    const NodeIndex left = allocate();
    const NodeIndex right = allocate();
    {
        const ConstSupport parent = std::as_const(*this).support(leaf);
        const Support ls = support(left);
        const Support rs = support(right);
        for (std::uint64_t i = 0; i < dim; ++i) {
            ls.min[i] = n_left > 0 ? lbox[i] : parent.min[i];
            ls.max[i] = n_left > 0 ? lbox[dim + i] : parent.max[i];
            rs.min[i] = n_right > 0 ? rbox[i] : parent.min[i];
            rs.max[i] = n_right > 0 ? rbox[dim + i] : parent.max[i];
        }
        // A side without synthetic points keeps the leaf's box cut at v.
        if (n_left == 0) ls.max[l] = v;
        if (n_right == 0) rs.min[l] = v;
    }
    nodes_[left].height = n_left;
    nodes_[right].height = n_right;
    node(leaf).split = Split{l, v, left, right};
    return true;
}

void OnlineITree::forget(std::span<const float> x, const TreeParams& p) {
    if (root_ == kNoNode) return;
    check_internal(x.size() == dim_, "point length differs from the tree's dimension");
    Node& root = node(root_);
    root.height = saturating_dec(root.height);
    if (root.has_split()) {
        if (root.height < p.max_leaf_samples) {
            collapse(root_);
        } else {
            NodeIndex n = root_;
            std::uint64_t depth = 1;
            for (;;) {
                const NodeIndex c = descend(x, n);
                Node& child = node(c);
                child.height = saturating_dec(child.height);
                if (!child.has_split()) break;
                if (child.height < split_threshold(p.max_leaf_samples, depth)) {
                    collapse(c);
                    break;
                }
                n = c;
                ++depth;
            }
        }
    }
    if (node(root_).height == 0) {
        // The whole tree goes; keep the arena's memory for the next leaf.
        root_ = kNoNode;
        nodes_.clear();
        boxes_.clear();
        free_.clear();
        in_use_.clear();
    }
}

double OnlineITree::path_length(std::span<const float> x, std::uint64_t eta) const {
    if (root_ == kNoNode) return 0.0;
    NodeIndex n = root_;
    std::uint64_t depth = 0;
    while (node(n).has_split()) {
        n = descend(x, n);
        ++depth;
    }
    const std::uint64_t h = node(n).height;
    const double d = static_cast<double>(depth);
    if (h < eta) return d;
    return d + std::log2(static_cast<double>(h) / static_cast<double>(eta));
}

NodeIndex OnlineITree::add_node(std::uint64_t height, std::span<const float> min, std::span<const float> max) {
    check_internal(min.size() == dim_ && max.size() == dim_, "support length differs from the tree's dimension");
    const NodeIndex i = allocate();
    nodes_[i].height = height;
    const Support s = support(i);
    for (std::uint64_t c = 0; c < dim_; ++c) {
        s.min[c] = min[c];
        s.max[c] = max[c];
    }
    return i;
}

void OnlineITree::set_split(NodeIndex parent, std::uint64_t dimension, float value, NodeIndex left, NodeIndex right) {
    node(left);
    node(right);
    node(parent).split = Split{dimension, value, left, right};
}

} // namespace tarn::onlineiforest
