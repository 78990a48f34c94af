// Chain layouts: the random parameters of the chains of one ensemble.
//
// A chain is a fixed sequence of levels; each level reads one coordinate of a
// projected vector and names the bin of a fixed width (with a random offset)
// that the coordinate falls into. Widths halve from one level to the next.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/rng.hpp"

namespace tarn::featuresketch {

struct ChainLevel {
    std::uint64_t dimension = 0;   // index into the vector this layout reads
    double width = 0.0;            // bin width, > 0
    double offset = 0.0;           // shift in [0, width) added before binning
    double bin_volume_ratio = 0.0; // width / level-0 width = 2^-level
    bool operator==(const ChainLevel&) const = default;
};

struct ChainLayout {
    std::vector<ChainLevel> levels; // chain-major: chain c, level l at c * chain_depth + l
    std::uint64_t chain_depth = 0;
    bool operator==(const ChainLayout&) const = default;
};

inline constexpr double kBaseWidth = 4.0;
inline constexpr double kCountSignalBaseWidth = 2.0;

// Draws chains x depth levels over a vector whose projection part has
// projection_len coordinates; the presence layout may also pick the
// feature-count signal at index projection_len. Uses 2 words per level.
ChainLayout build_layout(std::uint64_t chains, std::uint64_t depth, std::uint64_t projection_len, bool presence,
                         core::Xoshiro256PlusPlus& rng);

// floor(q) converted with saturation: NaN -> 0, out-of-range -> the nearest bound.
inline std::int64_t saturating_floor_to_i64(double q) {
    if (std::isnan(q)) return 0;
    q = std::floor(q);
    if (q >= 0x1.0p63) return std::numeric_limits<std::int64_t>::max();
    if (q < -0x1.0p63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(q);
}

// The bin of x at one level, saturated into the signed 64-bit range.
inline std::int64_t level_bin(const ChainLevel& level, std::span<const double> x) {
    core::check_internal(level.dimension < x.size(), "chain level dimension beyond the projected vector");
    return saturating_floor_to_i64((x[level.dimension] + level.offset) / level.width);
}

} // namespace tarn::featuresketch
