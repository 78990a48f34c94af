// Small shared pieces of the Random Cut Forest.
#pragma once

#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/arith.hpp"

namespace tarn::rcf {

// Marks an absent index: an empty tree's root, a sampler entry not in use.
inline constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// Element count a * b for a reservation; a product that does not fit is an
// allocation that can never succeed, reported as such.
inline std::uint64_t alloc_count(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (!core::checked_mul(a, b, out)) throw std::bad_alloc();
    return out;
}

// Runs a reservation, turning "larger than a vector can ever be" into the
// allocation failure it is, so callers deal with one kind of failure.
template <class F>
void reserving(F&& f) {
    try {
        f();
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

} // namespace tarn::rcf
