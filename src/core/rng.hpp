// xoshiro256++: the one pseudo-random generator of every detector.
//
// A generator is a plain value (four words); copying a detector copies its
// generators. All draws are fixed to the bit so that a seeded detector, or
// one rebuilt from its saved state, repeats exactly.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

namespace tarn::core {

struct Xoshiro256PlusPlus {
    std::array<std::uint64_t, 4> s{};

    std::uint64_t next_word() {
        const std::uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = std::rotl(s[3], 45);
        return result;
    }

    // A double in [0, 1) carrying exactly 53 random bits.
    double next_unit() { return static_cast<double>(next_word() >> 11) * 0x1.0p-53; }

    // A 32-bit float in [low, high). Requires low < high (else InternalError
    // "cannot sample empty range") and a finite width high - low.
    float uniform_f32(float low, float high);

    // A double in [low, high), with the same requirements.
    double uniform_f64(double low, double high);

    // next_word() modulo n, for n > 0 (plain remainder, no rejection).
    std::uint64_t index_below(std::uint64_t n);

    bool operator==(const Xoshiro256PlusPlus&) const = default;
};

// The generator whose words are the first four SplitMix64 outputs from x.
Xoshiro256PlusPlus expand_seed(std::uint64_t x);

// A generator seeded with 32 bytes of operating-system entropy. Throws
// InternalError("unexpected failure from SysRng") when none can be read.
Xoshiro256PlusPlus entropy_generator();

// The 64-bit seed of a new detector: the caller's, or the first word of an
// entropy generator.
std::uint64_t resolve_seed(std::optional<std::uint64_t> seed);

// The derivation rule for child generators: expand_seed of the parent's next word.
inline Xoshiro256PlusPlus child_of(Xoshiro256PlusPlus& parent) { return expand_seed(parent.next_word()); }

} // namespace tarn::core
