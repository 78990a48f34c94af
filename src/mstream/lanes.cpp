#include "mstream/lanes.hpp"

#include <atomic>

namespace tarn::mstream {

namespace {
std::atomic<bool> two_lanes{false};
}

bool wide_lanes() {
#if TARN_LANES_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && !two_lanes.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void force_two_lanes(bool on) { two_lanes.store(on, std::memory_order_relaxed); }

} // namespace tarn::mstream
