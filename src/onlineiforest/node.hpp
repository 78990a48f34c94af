// Nodes of an online isolation tree.
//
// A tree keeps its nodes in an arena and refers to children by index, so a
// tree copies as a plain value. A node holds only its count and its split;
// its bounding box (`Support`) lives in the tree's contiguous box array.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "core/arith.hpp"

namespace tarn::onlineiforest {

using NodeIndex = std::uint32_t;
inline constexpr NodeIndex kNoNode = std::numeric_limits<NodeIndex>::max();

// The test of an internal node: x goes left when x[dimension] < value.
struct Split {
    std::uint64_t dimension = 0;
    float value = 0.0f;
    NodeIndex left = kNoNode;
    NodeIndex right = kNoNode;
};

struct Node {
    // Window points currently attributed to the node; saturates at both ends.
    std::uint64_t height = 0;
    // Meaningful only when has_split(); a leaf keeps left == kNoNode.
    Split split;

    bool has_split() const { return split.left != kNoNode; }
};

// The bounding box of a node: views into the tree's box array. Views are
// invalidated when the tree allocates nodes.
struct Support {
    std::span<float> min;
    std::span<float> max;
};

struct ConstSupport {
    std::span<const float> min;
    std::span<const float> max;
};

// The leaf-splitting threshold at depth d, eta * 2^d, saturating at 2^64 - 1.
inline std::uint64_t split_threshold(std::uint64_t eta, std::uint64_t depth) {
    const std::uint64_t scale = depth >= 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << depth);
    return core::saturating_mul(eta, scale);
}

inline std::uint64_t saturating_inc(std::uint64_t v) {
    return v == std::numeric_limits<std::uint64_t>::max() ? v : v + 1;
}
inline std::uint64_t saturating_dec(std::uint64_t v) { return v == 0 ? 0 : v - 1; }

} // namespace tarn::onlineiforest
