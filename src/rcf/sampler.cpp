#include "rcf/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tarn::rcf {

Sampler Sampler::create(std::uint64_t capacity) {
    Sampler s;
    s.capacity = capacity;
    reserving([&] {
        s.weights.assign(capacity, 0.0);
        s.point_indices.assign(capacity, kNone);
    });
    return s;
}

std::optional<SamplerDecision> Sampler::decide(core::Xoshiro256PlusPlus& rng, std::uint64_t n, double decay,
                                               double accept_fraction) const {
    // Keep u away from 0 and 1 so that ln(-ln u) stays finite.
    const double u = std::clamp(rng.next_unit(), 0x1.0p-52, 1.0 - 0x1.0p-52);
    const double w = std::log(-std::log(u)) - static_cast<double>(n) * decay;
    if (size >= capacity) {
        core::check_internal(!weights.empty() && !point_indices.empty(), "sampler has no entries");
        if (w < weights[0]) return SamplerDecision{w, true, point_indices[0]};
        return std::nullopt;
    }
    const double u2 = rng.next_unit();
    const double f = static_cast<double>(size) / static_cast<double>(capacity);
    const double p = f < accept_fraction ? 1.0 : 1.0 - (f - accept_fraction) / (1.0 - accept_fraction);
    if (p > u2) return SamplerDecision{w, false, kNone};
    return std::nullopt;
}

void Sampler::commit(double w, std::uint64_t h) {
    core::check_internal(weights.size() >= capacity && point_indices.size() >= capacity && size <= capacity,
                         "sampler entries inconsistent with capacity");
    if (size < capacity) {
        std::uint64_t j = size;
        weights[j] = w;
        point_indices[j] = h;
        ++size;
        while (j > 0) {
            const std::uint64_t parent = (j - 1) / 2;
            if (!(weights[j] > weights[parent])) break;
            std::swap(weights[j], weights[parent]);
            std::swap(point_indices[j], point_indices[parent]);
            j = parent;
        }
        return;
    }
    core::check_internal(size > 0, "sampler has no entries");
    weights[0] = w;
    point_indices[0] = h;
    std::uint64_t j = 0;
    for (;;) {
        std::uint64_t b = j;
        const std::uint64_t l = 2 * j + 1;
        const std::uint64_t r = 2 * j + 2;
        if (l < size && weights[l] > weights[j]) b = l;
        if (r < size && weights[r] > weights[b]) b = r;
        if (b == j) break;
        std::swap(weights[j], weights[b]);
        std::swap(point_indices[j], point_indices[b]);
        j = b;
    }
}

} // namespace tarn::rcf
