// Integer arithmetic shared by every detector: overflow-checked counts and
// the multiply-fold step of the keyed hashes.
#pragma once

#include <cstdint>
#include <limits>

namespace tarn::core {

// a * b, or false when the product does not fit in 64 bits.
inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}
inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return !__builtin_add_overflow(a, b, &out);
}
// a * b, or 2^64 - 1 when the product does not fit.
inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    return checked_mul(a, b, out) ? out : std::numeric_limits<std::uint64_t>::max();
}

// Multiplier and the two seed-whitening constants of the folded-multiply
// hashes (MStream's seeded hash, FeatureSketch's keyed hasher).
inline constexpr std::uint64_t kFoldMultiplier = 0x5851f42d4c957f2dull;
inline constexpr std::uint64_t kFoldWhiten0 = 0x452821e638d01377ull;
inline constexpr std::uint64_t kFoldWhiten1 = 0xbe5466cf34e90c6cull;

// Low 64 bits xor high 64 bits of the full 128-bit product.
inline std::uint64_t folded_multiply(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

} // namespace tarn::core
