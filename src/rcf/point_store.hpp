// Shared, reference-counted storage of the points sampled by a forest's trees,
// plus the rolling shingle buffer.
//
// Every tree refers to its points by slot index. A point is stored once no
// matter how many sample entries (over all trees) refer to it; a slot whose
// count drops to zero goes on a last-in first-out free list and is reused
// before the store grows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "rcf/common.hpp"

namespace tarn::rcf {

struct PointStore {
    std::uint64_t dim = 0; // point length: input_dim * shingle_size
    std::uint64_t input_dim = 0;
    std::uint64_t shingle_size = 0;
    bool internal_shingling = false;
    std::vector<float> store;             // capacity rows of dim values, row-major
    std::vector<std::uint8_t> occupied;   // capacity flags (0 or 1)
    std::vector<std::uint64_t> ref_count; // capacity counts
    std::uint64_t next_free = 0;          // slots below have been handed out at least once
    std::vector<std::uint64_t> free_list; // released slots, last one reused first
    std::uint64_t size = 0;               // number of occupied slots
    std::uint64_t capacity = 0;           // number of rows
    std::vector<float> shingle_buf;       // dim values, oldest observation first
    std::uint64_t entries_seen = 0;       // successful forest updates seen

    // An empty store of `capacity` zero rows. Throws std::bad_alloc when the
    // rows cannot be reserved.
    static PointStore create(std::uint64_t input_dim, std::uint64_t shingle_size, bool internal_shingling,
                             std::uint64_t capacity);

    // Row `slot`; a slot at or beyond capacity is an internal failure.
    std::span<const float> point(std::uint64_t slot) const {
        core::check_internal(slot < capacity && (slot + 1) * dim <= store.size(), "assertion failed: index < dim");
        return {store.data() + slot * dim, dim};
    }

    // Floating-point equality of `values` with row `slot` (0.0 == -0.0, NaN
    // equals nothing).
    bool points_equal(std::span<const float> values, std::uint64_t slot) const;

    // True when allocate_slot() would have to grow the store.
    bool needs_growth() const { return free_list.empty() && next_free >= capacity; }

    // Grows the store to 2 * capacity + 4 rows. Overflow error when that size
    // is not representable; std::bad_alloc when it cannot be obtained. The
    // store is unchanged on failure.
    core::Status grow();

    // A slot for a new point: the most recently released one, else the next
    // never-used one, growing the store when full.
    core::Result<std::uint64_t> allocate_slot();

    // Copies `values` (dim of them) into row `slot` and marks it occupied
    // with no references yet.
    void store_point(std::uint64_t slot, std::span<const float> values);

    void add_reference(std::uint64_t slot) {
        core::check_internal(slot < ref_count.size(), "assertion failed: index < dim");
        ++ref_count[slot];
    }

    // Drops one reference; frees the slot when no reference is left (or none
    // was left already).
    void release(std::uint64_t slot);

    // Moves the shingle left by one observation and appends `observation`.
    void shift_in(std::span<const float> observation);

    // The shingle with its newest observation replaced by `observation`,
    // written to `out` (dim values). The buffer itself is unchanged.
    void query_point(std::span<const float> observation, std::span<float> out) const;

    void note_update() { ++entries_seen; }
};

} // namespace tarn::rcf
