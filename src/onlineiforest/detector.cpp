#include "onlineiforest/detector.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/rng.hpp"

namespace tarn::onlineiforest {

using core::check_internal;
using core::DetectorError;
using core::invalid;

// ------------------------------------------------------------------ window

Window::Window(std::uint64_t input_dim, std::uint64_t window_size)
    : dim_(input_dim),
      slots_(window_size == std::numeric_limits<std::uint64_t>::max() ? window_size : window_size + 1) {}

core::Status Window::reserve() {
    std::uint64_t values = 0;
    if (!core::checked_mul(slots_, dim_, values) || values > data_.max_size())
        return invalid("window_size + 1 points of input_dim values overflows usize");
    try {
        data_.reserve(values);
    } catch (const std::bad_alloc&) {
        return invalid("cannot reserve memory for window_size + 1 points");
    } catch (const std::length_error&) {
        return invalid("cannot reserve memory for window_size + 1 points");
    }
    return {};
}

std::span<const float> Window::at(std::uint64_t i) const {
    check_internal(i < count_, "window index out of range");
    std::uint64_t slot = head_ + i;
    if (slot >= slots_) slot -= slots_;
    check_internal(slot < filled_, "window slot not materialised");
    return {data_.data() + slot * dim_, dim_};
}

void Window::push_back(std::span<const float> point) {
    check_internal(point.size() == dim_, "window point of another length");
    check_internal(count_ < slots_, "window is over-full");
    std::uint64_t slot = head_ + count_;
    if (slot >= slots_) slot -= slots_;
    if (slot == filled_) {
        // Still filling: slots are materialised in order from slot 0.
        data_.insert(data_.end(), point.begin(), point.end());
        ++filled_;
    } else {
        check_internal(slot < filled_, "window slot not materialised");
        std::copy(point.begin(), point.end(), data_.begin() + static_cast<std::ptrdiff_t>(slot * dim_));
    }
    ++count_;
}

void Window::pop_front() {
    check_internal(count_ > 0, "pop from an empty window");
    head_ = head_ + 1 == slots_ ? 0 : head_ + 1;
    --count_;
}

// ---------------------------------------------------------------- detector

core::Result<OnlineIForest> OnlineIForest::create(const OnlineIForestConfig& config,
                                                  std::optional<std::uint64_t> seed) {
    const std::uint64_t resolved = core::resolve_seed(seed);
    if (config.input_dim == 0) return invalid("input_dim must be > 0");
    if (config.num_trees == 0) return invalid("num_trees must be > 0");
    if (config.window_size == 0) return invalid("window_size must be > 0");
    // The window holds W + 1 points for a moment before the oldest leaves.
    if (config.window_size == std::numeric_limits<std::uint64_t>::max()) return invalid("window_size is too large");
    if (config.max_leaf_samples == 0) return invalid("max_leaf_samples must be > 0");
    if (config.max_leaf_samples >= config.window_size)
        return invalid("window_size must be greater than max_leaf_samples");

    OnlineIForest f;
    f.config_ = config;
    try {
        if (config.num_trees > f.trees_.max_size()) throw std::length_error("trees");
        f.trees_.reserve(config.num_trees);
    } catch (const std::bad_alloc&) {
        return invalid("cannot reserve memory for num_trees trees");
    } catch (const std::length_error&) {
        return invalid("cannot reserve memory for num_trees trees");
    }
    f.window_ = Window(config.input_dim, config.window_size);
    if (auto r = f.window_.reserve(); !r) return core::fail(r.error());

    core::Xoshiro256PlusPlus master = core::expand_seed(resolved);
    for (std::uint64_t t = 0; t < config.num_trees; ++t)
        f.trees_.emplace_back(config.input_dim, core::child_of(master));
    return f;
}

core::Status OnlineIForest::check_point(std::span<const float> point) const {
    if (point.size() != config_.input_dim)
        return core::fail(DetectorError::dimension_mismatch(config_.input_dim, point.size()));
    for (const float v : point)
        if (!std::isfinite(v)) return invalid("point values must be finite");
    return {};
}

void OnlineIForest::ingest(std::span<const float> point) {
    const TreeParams params = config_.tree_params();
    window_.push_back(point);
    for (OnlineITree& t : trees_) t.learn(point, params, scratch_);
    if (window_.size() > config_.window_size) {
        const std::span<const float> oldest = window_.front();
        for (OnlineITree& t : trees_) t.forget(oldest, params);
        window_.pop_front();
    }
    if (entries_seen_ != std::numeric_limits<std::uint64_t>::max()) ++entries_seen_;
}

core::Status OnlineIForest::update(std::span<const float> point) {
    if (auto r = check_point(point); !r) return r;
    ingest(point);
    return {};
}

core::Result<double> OnlineIForest::score(std::span<const float> point) const {
    if (auto r = check_point(point); !r) return core::fail(r.error());
    return forest_score(point);
}

core::Result<double> OnlineIForest::update_and_score(std::span<const float> point) {
    if (auto r = check_point(point); !r) return core::fail(r.error());
    ingest(point);
    return forest_score(point);
}

double OnlineIForest::forest_score(std::span<const float> point) const {
    if (trees_.empty()) return 0.0;
    double sum = 0.0;
    for (const OnlineITree& t : trees_) sum += t.path_length(point, config_.max_leaf_samples);
    const double mean = -sum / static_cast<double>(trees_.size());
    return std::exp2(
        mean / std::log2(static_cast<double>(config_.window_size) / static_cast<double>(config_.max_leaf_samples)));
}

std::string OnlineIForest::repr() const {
    return "OnlineIForest(input_dim=" + std::to_string(config_.input_dim) +
           ", num_trees=" + std::to_string(config_.num_trees) + ", window_size=" + std::to_string(config_.window_size) +
           ", max_leaf_samples=" + std::to_string(config_.max_leaf_samples) +
           ", entries_seen=" + std::to_string(entries_seen_) + ")";
}

} // namespace tarn::onlineiforest
