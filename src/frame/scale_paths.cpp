// Test and benchmark hook: the decay's array paths (core/scale.hpp), reached
// through ctypes, so tests can run every path the processor has against the
// plain product and benchmarks can time them side by side. Path numbers are
// those of core::ScalePath: -1 automatic, 0 plain, 1 portable, 2 AVX2,
// 3 AVX-512F. Forcing a path also sends MStream's other vector arithmetic
// (mstream/lanes.hpp) through its paths of as many lanes: two for the plain
// and portable paths, four for AVX2, the widest for the others.
#include <cstddef>
#include <span>

#include "core/scale.hpp"
#include "mstream/lanes.hpp"

namespace {
bool known(int path) { return path >= -1 && path <= 3; }
} // namespace

extern "C" __attribute__((visibility("default"))) int tarn_scale_path_available(int path) {
    return known(path) && tarn::core::scale_path_available(static_cast<tarn::core::ScalePath>(path)) ? 1 : 0;
}

// Every later decay of every detector in the process goes through `path`.
extern "C" __attribute__((visibility("default"))) int tarn_scale_path_force(int path) {
    if (!known(path) || !tarn::core::force_scale_path(static_cast<tarn::core::ScalePath>(path))) return 0;
    tarn::mstream::force_lanes(path == 0 || path == 1 ? 2 : path == 2 ? 4 : 8);
    return 1;
}

// values[i] *= factor for i < count through `path`; 0 (nothing changed) if
// the processor lacks it.
extern "C" __attribute__((visibility("default"))) int tarn_scale_array(double* values, std::size_t count, double factor,
                                                                       int path) {
    if (!known(path) || (values == nullptr && count != 0)) return 0;
    const tarn::core::Scaling s(factor);
    return tarn::core::scale_all_through(std::span<double>(values, count), s, static_cast<tarn::core::ScalePath>(path))
               ? 1
               : 0;
}
