// The forest's main loop: one observation through every sampler and tree.
#include <cmath>
#include <utility>

#include "rcf/forest/forest.hpp"

namespace tarn::rcf {

core::Status Forest::check_update(std::span<const float> point) const {
    const std::uint64_t expected = config_.internal_shingling ? config_.input_dim : point_store_.dim;
    if (point.size() != expected) return core::fail(core::DetectorError::dimension_mismatch(expected, point.size()));
    // A non-finite coordinate could stop a cut half-way through the trees and
    // cannot be saved; refuse it before anything changes.
    for (const float x : point)
        if (!std::isfinite(x)) return core::invalid("point values must be finite");
    return {};
}

core::Status Forest::update(std::span<const float> point) {
    if (auto ok = check_update(point); !ok) return ok;

    const std::uint64_t n = entries_seen_ + 1;
    const bool trees_take_part = !(config_.internal_shingling && n < config_.shingle_size);

    // Decide on a copy of the generator: it is kept only if the update goes ahead.
    core::Xoshiro256PlusPlus draws = rng_;
    accepts_.clear();
    if (trees_take_part) {
        const double decay = config_.effective_time_decay();
        for (std::uint64_t t = 0; t < samplers_.size(); ++t) {
            if (auto d = samplers_[t].decide(draws, n, decay, config_.initial_accept_fraction))
                accepts_.push_back(AcceptDecision{d->evict, d->evicted_slot, t, d->weight});
        }
    }
    if (!accepts_.empty()) {
        for (const AcceptDecision& a : accepts_) {
            if (!a.evict) continue;
            core::check_internal(a.tree < trees_.size(), "tree index out of bounds");
            if (auto ok = trees_[a.tree].check_deletable(point_store_, a.evicted_slot); !ok) return ok;
        }
        // Grow now, while a failure still leaves everything as it was.
        if (point_store_.needs_growth()) {
            if (auto ok = point_store_.grow(); !ok) return ok;
        }
    }

    if (config_.internal_shingling) point_store_.shift_in(point);
    entries_seen_ = n;
    rng_ = draws;

    if (trees_take_part && !accepts_.empty()) {
        auto slot = point_store_.allocate_slot();
        core::check_internal(slot.has_value(), "point store slot unavailable after growth");
        const std::uint64_t e = *slot;
        point_store_.store_point(e,
                                 config_.internal_shingling ? std::span<const float>(point_store_.shingle_buf) : point);
        point_store_.note_update();
        bool referenced = false;
        for (const AcceptDecision& a : accepts_) {
            RcfTree& tree = trees_[a.tree];
            if (a.evict) {
                tree.remove(point_store_, a.evicted_slot);
                point_store_.release(a.evicted_slot);
            }
            const std::uint64_t h = tree.insert(point_store_, e);
            point_store_.add_reference(h);
            samplers_[a.tree].commit(a.weight, h);
            referenced = referenced || h == e;
        }
        // Every accepting tree already held this point: the new row is unused.
        if (!referenced) point_store_.release(e);
    } else {
        point_store_.note_update();
    }
    return {};
}

core::Result<double> Forest::update_and_score(std::span<const float> point) {
    auto s = score(point);
    if (!s) return s;
    if (auto ok = update(point); !ok) return core::fail(std::move(ok.error()));
    return s;
}

} // namespace tarn::rcf
