#include "rcf/point_store.hpp"

#include <algorithm>

namespace tarn::rcf {

PointStore PointStore::create(std::uint64_t input_dim, std::uint64_t shingle_size, bool internal_shingling,
                              std::uint64_t capacity) {
    PointStore s;
    s.dim = input_dim * shingle_size;
    s.input_dim = input_dim;
    s.shingle_size = shingle_size;
    s.internal_shingling = internal_shingling;
    s.capacity = capacity;
    const std::uint64_t values = alloc_count(capacity, s.dim);
    reserving([&] {
        s.store.assign(values, 0.0f);
        s.occupied.assign(capacity, 0);
        s.ref_count.assign(capacity, 0);
        s.shingle_buf.assign(s.dim, 0.0f);
    });
    return s;
}

bool PointStore::points_equal(std::span<const float> values, std::uint64_t slot) const {
    if (values.size() != dim) return false;
    const std::span<const float> row = point(slot);
    for (std::uint64_t i = 0; i < dim; ++i)
        if (!(values[i] == row[i])) return false;
    return true;
}

core::Status PointStore::grow() {
    if (capacity > (std::uint64_t{1} << 63) - 3)
        return core::fail(core::DetectorError::overflow("point store capacity growth overflows usize"));
    const std::uint64_t new_capacity = 2 * capacity + 4;
    // Build the larger arrays first so that a failed allocation leaves the
    // store as it was.
    std::vector<float> new_store;
    std::vector<std::uint8_t> new_occupied;
    std::vector<std::uint64_t> new_ref_count;
    const std::uint64_t values = alloc_count(new_capacity, dim);
    reserving([&] {
        new_store.assign(values, 0.0f);
        new_occupied.assign(new_capacity, 0);
        new_ref_count.assign(new_capacity, 0);
    });
    std::copy(store.begin(), store.end(), new_store.begin());
    std::copy(occupied.begin(), occupied.end(), new_occupied.begin());
    std::copy(ref_count.begin(), ref_count.end(), new_ref_count.begin());
    store.swap(new_store);
    occupied.swap(new_occupied);
    ref_count.swap(new_ref_count);
    capacity = new_capacity;
    return {};
}

core::Result<std::uint64_t> PointStore::allocate_slot() {
    if (!free_list.empty()) {
        const std::uint64_t slot = free_list.back();
        free_list.pop_back();
        return slot;
    }
    if (next_free >= capacity) {
        if (auto ok = grow(); !ok) return core::fail(std::move(ok.error()));
    }
    return next_free++;
}

void PointStore::store_point(std::uint64_t slot, std::span<const float> values) {
    core::check_internal(slot < capacity && slot < occupied.size() && slot < ref_count.size() &&
                             (slot + 1) * dim <= store.size(),
                         "assertion failed: index < dim");
    core::check_internal(values.size() == dim, "point length differs from the store's dimension");
    std::copy(values.begin(), values.end(), store.begin() + static_cast<std::ptrdiff_t>(slot * dim));
    occupied[slot] = 1;
    ref_count[slot] = 0;
    ++size;
}

void PointStore::release(std::uint64_t slot) {
    core::check_internal(slot < ref_count.size() && slot < occupied.size(), "assertion failed: index < dim");
    if (ref_count[slot] > 0) --ref_count[slot];
    if (ref_count[slot] != 0) return;
    if (occupied[slot]) {
        occupied[slot] = 0;
        --size;
        free_list.push_back(slot);
    }
}

void PointStore::shift_in(std::span<const float> observation) {
    core::check_internal(observation.size() == input_dim && shingle_buf.size() == dim,
                         "observation length differs from input_dim");
    std::copy(shingle_buf.begin() + static_cast<std::ptrdiff_t>(input_dim), shingle_buf.end(), shingle_buf.begin());
    std::copy(observation.begin(), observation.end(), shingle_buf.end() - static_cast<std::ptrdiff_t>(input_dim));
}

void PointStore::query_point(std::span<const float> observation, std::span<float> out) const {
    core::check_internal(observation.size() == input_dim && out.size() == dim && shingle_buf.size() == dim,
                         "observation length differs from input_dim");
    const std::uint64_t keep = dim - input_dim;
    std::copy(shingle_buf.begin(), shingle_buf.begin() + static_cast<std::ptrdiff_t>(keep), out.begin());
    std::copy(observation.begin(), observation.end(), out.begin() + static_cast<std::ptrdiff_t>(keep));
}

} // namespace tarn::rcf
