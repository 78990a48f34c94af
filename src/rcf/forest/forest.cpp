#include "rcf/forest/forest.hpp"

#include <algorithm>
#include <cmath>

namespace tarn::rcf {

double RcfConfig::effective_time_decay() const {
    return time_decay != 0.0 ? time_decay : 0.1 / static_cast<double>(capacity);
}

std::uint64_t RcfConfig::readiness_threshold() const {
    std::uint64_t t = output_after != 0 ? output_after : capacity / 4 + 1;
    if (internal_shingling) t += shingle_size - 1;
    return t;
}

core::Status validate_config(const RcfConfig& c) {
    if (c.input_dim == 0) return core::invalid("input_dim must be > 0");
    if (c.shingle_size == 0) return core::invalid("shingle_size must be > 0");
    std::uint64_t product = 0;
    if (!core::checked_mul(c.input_dim, c.shingle_size, product))
        return core::invalid("input_dim * shingle_size overflows usize");
    if (c.capacity == 0) return core::invalid("capacity must be > 0");
    if (c.num_trees == 0) return core::invalid("num_trees must be > 0");
    // 2 * capacity + 4 must fit in 64 bits.
    if (c.capacity >= (std::uint64_t{1} << 63) - 2) return core::invalid("2 * capacity + 4 overflows usize");
    if (!core::checked_mul(c.capacity, c.num_trees, product) || product == kNone)
        return core::invalid("capacity * num_trees + 1 overflows usize");
    if (!std::isfinite(c.time_decay) || c.time_decay < 0.0)
        return core::invalid("time_decay must be finite and >= 0.0");
    if (!std::isfinite(c.initial_accept_fraction) || c.initial_accept_fraction < 0.0 || c.initial_accept_fraction > 1.0)
        return core::invalid("initial_accept_fraction must be finite and in [0.0, 1.0]");
    return {};
}

core::Result<Forest> Forest::create(const RcfConfig& config, std::optional<std::uint64_t> seed) {
    if (auto ok = validate_config(config); !ok) return core::fail(std::move(ok.error()));

    const std::uint64_t dims = config.dims();
    const std::uint64_t node_room = 2 * config.capacity + 4;
    const std::uint64_t rows = std::max(config.capacity * config.num_trees + 1, 2 * config.capacity);

    core::Xoshiro256PlusPlus master = core::expand_seed(core::resolve_seed(seed));

    Forest f;
    f.config_ = config;
    reserving([&] {
        f.trees_.reserve(config.num_trees);
        for (std::uint64_t t = 0; t < config.num_trees; ++t)
            f.trees_.push_back(RcfTree::create(dims, node_room, core::child_of(master)));
        f.samplers_.reserve(config.num_trees);
        for (std::uint64_t t = 0; t < config.num_trees; ++t) f.samplers_.push_back(Sampler::create(config.capacity));
        f.point_store_ = PointStore::create(config.input_dim, config.shingle_size, config.internal_shingling, rows);
        f.reserve_scratch();
    });
    f.rng_ = core::child_of(master);
    f.entries_seen_ = 0;
    return f;
}

std::string Forest::repr() const {
    return "Forest(input_dim=" + std::to_string(config_.input_dim) +
           ", shingle_size=" + std::to_string(config_.shingle_size) +
           ", num_trees=" + std::to_string(config_.num_trees) + ", capacity=" + std::to_string(config_.capacity) +
           ", entries_seen=" + std::to_string(entries_seen_) + ")";
}

void Forest::reserve_scratch() {
    reserving([&] { accepts_.reserve(trees_.size()); });
}

} // namespace tarn::rcf
