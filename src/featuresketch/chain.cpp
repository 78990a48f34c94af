#include "featuresketch/chain.hpp"

#include <cmath>
#include <limits>

#include "core/error.hpp"

namespace tarn::featuresketch {

ChainLayout build_layout(std::uint64_t chains, std::uint64_t depth, std::uint64_t projection_len, bool presence,
                         core::Xoshiro256PlusPlus& rng) {
    const std::uint64_t range = presence ? projection_len + 1 : projection_len;
    core::check_internal(range != 0, "chain layout over an empty vector");
    std::uint64_t count = 0;
    core::check_internal(core::checked_mul(chains, depth, count), "chain layout size overflows");
    ChainLayout layout;
    layout.chain_depth = depth;
    layout.levels.reserve(count); // allocate before drawing: a size that cannot be had fails at once
    for (std::uint64_t c = 0; c < chains; ++c) {
        for (std::uint64_t l = 0; l < depth; ++l) {
            ChainLevel level;
            level.dimension = rng.next_word() % range;
            const double base = (presence && level.dimension == projection_len) ? kCountSignalBaseWidth : kBaseWidth;
            level.width = base / std::exp2(static_cast<double>(l));
            level.offset = rng.uniform_f64(0.0, level.width);
            level.bin_volume_ratio = level.width / base;
            layout.levels.push_back(level);
        }
    }
    return layout;
}

} // namespace tarn::featuresketch
