// OnlineIForest: a first-in first-out window of the latest points and an
// ensemble of online isolation trees that always describe exactly the
// points in the window.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/state.hpp"
#include "onlineiforest/tree.hpp"

namespace tarn::onlineiforest {

struct OnlineIForestConfig {
    std::uint64_t input_dim = 0;
    std::uint64_t num_trees = 32;
    std::uint64_t window_size = 2048;    // W
    std::uint64_t max_leaf_samples = 32; // eta

    TreeParams tree_params() const { return {input_dim, window_size, max_leaf_samples}; }
};

// The window as a ring of W + 1 point slots in one flat array. Slots are
// materialised as the window first fills, so a large W costs nothing until
// points arrive; after that pushing and popping move no memory.
class Window {
public:
    Window() = default;
    Window(std::uint64_t input_dim, std::uint64_t window_size);

    // Reserves room for all W + 1 slots at once.
    core::Status reserve();

    std::uint64_t size() const { return count_; }
    std::uint64_t input_dim() const { return dim_; }
    // The i-th point, oldest first.
    std::span<const float> at(std::uint64_t i) const;
    std::span<const float> front() const { return at(0); }
    void push_back(std::span<const float> point);
    void pop_front();

private:
    std::uint64_t dim_ = 0;
    std::uint64_t slots_ = 1; // W + 1, saturating
    std::uint64_t head_ = 0;  // slot of the oldest point
    std::uint64_t count_ = 0;
    std::uint64_t filled_ = 0; // slots materialised in data_
    std::vector<float> data_;
};

struct LoadedState; // a state as read, before its checks (state.cpp)

class OnlineIForest {
public:
    // Resolves the seed (entropy when absent) before validating the
    // configuration, then builds num_trees empty trees whose generators are
    // children of expand_seed(seed).
    static core::Result<OnlineIForest> create(const OnlineIForestConfig& config, std::optional<std::uint64_t> seed);

    core::Status update(std::span<const float> point);
    core::Result<double> score(std::span<const float> point) const;
    // The checks of update() and score(), made before anything changes; they
    // do not depend on the state, so a batch can check every row up front.
    core::Status check_point(std::span<const float> point) const;
    // Learns the point first, then scores it.
    core::Result<double> update_and_score(std::span<const float> point);

    bool is_ready() const { return entries_seen_ > 0; }
    std::uint64_t entries_seen() const { return entries_seen_; }
    std::uint64_t num_trees() const { return trees_.size(); }
    const OnlineIForestConfig& config() const { return config_; }
    // "OnlineIForest(input_dim=..., ..., entries_seen=...)": Python's repr() and str().
    std::string repr() const;
    const std::vector<OnlineITree>& trees() const { return trees_; }
    const Window& window() const { return window_; }

    TARN_STATE_ENTRY_POINTS(OnlineIForest)

private:
    OnlineIForest() = default;
    // A state as either reader leaves it, checked and turned into a detector.
    static core::Result<OnlineIForest> from_loaded(LoadedState& s, std::string_view prefix);
    void ingest(std::span<const float> point);
    // 2^(-(S / T) / log2(W / eta)) over the path lengths S summed in tree
    // order; 0.0 without trees.
    double forest_score(std::span<const float> point) const;

    OnlineIForestConfig config_;
    std::vector<OnlineITree> trees_;
    Window window_;
    std::uint64_t entries_seen_ = 0;
    SplitScratch scratch_; // writer-only working storage, not part of the state
};

} // namespace tarn::onlineiforest
