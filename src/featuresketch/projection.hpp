// Feature events and their projections.
//
// A feature event (names with values, either form of core::KeyValueLike) is
// normalised into distinct names in bytewise order, then projected into two
// fixed-length vectors: the value vector (what the features measure) and the
// presence vector (which features occur, plus a feature-count signal). The
// coefficients come from keyed hashes of the names, so no dictionary of names
// is kept and new names are handled at once.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/arith.hpp"
#include "core/error.hpp"
#include "core/key_value.hpp"

namespace tarn::featuresketch {

// The key of one keyed hash.
struct Seed4 {
    std::array<std::uint64_t, 4> k{};
    bool operator==(const Seed4&) const = default;
};

// Keys of the projection: value and presence coefficients, and the two
// halves of a name's fingerprint. Drawn once at construction.
struct ProjectionSeeds {
    Seed4 value;
    Seed4 presence;
    Seed4 feature_lo;
    Seed4 feature_hi;
    bool operator==(const ProjectionSeeds&) const = default;
};

namespace hash_detail {
inline constexpr std::uint64_t kMultiplier = core::kFoldMultiplier;
inline constexpr std::array<std::uint64_t, 4> kKeyMasks = {core::kFoldWhiten0, core::kFoldWhiten1,
                                                           0xc0ac29b7c97c50ddull, 0x3f84d5b5b5470917ull};
using core::folded_multiply;

inline std::uint64_t read_u64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}
inline std::uint64_t read_u32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}
inline std::uint64_t read_u16(const unsigned char* p) {
    return static_cast<std::uint64_t>(p[0]) | (static_cast<std::uint64_t>(p[1]) << 8);
}
} // namespace hash_detail

// The words-only part of a keyed hasher: absorbing words and finishing need
// two words of state, texts need two more key words. A sketch keeps one per
// row with the row's own word already absorbed.
class WordHasher {
public:
    void absorb_word(std::uint64_t w) { b_ = hash_detail::folded_multiply(w ^ b_, hash_detail::kMultiplier); }
    std::uint64_t finish() const { return std::rotl(hash_detail::folded_multiply(b_, k0_), static_cast<int>(b_ & 63)); }
    bool operator==(const WordHasher&) const = default;

private:
    friend class KeyedHasher;
    WordHasher(std::uint64_t k0, std::uint64_t b) : k0_(k0), b_(b) {}
    std::uint64_t k0_, b_;
};

// The keyed 64-bit hash over a sequence of absorbed texts and words. A copy
// of a hasher continues independently, which lets callers absorb a common
// prefix once.
class KeyedHasher {
public:
    explicit KeyedHasher(const Seed4& key)
        : words_(key.k[0] ^ hash_detail::kKeyMasks[0], key.k[1] ^ hash_detail::kKeyMasks[1]),
          k2_(key.k[2] ^ hash_detail::kKeyMasks[2]), k3_(key.k[3] ^ hash_detail::kKeyMasks[3]) {}

    void absorb_word(std::uint64_t w) { words_.absorb_word(w); }

    void absorb_text(std::string_view text);

    std::uint64_t finish() const { return words_.finish(); }

    // What is left once no more text comes.
    const WordHasher& words() const { return words_; }

private:
    void block(std::uint64_t a, std::uint64_t b) {
        words_.b_ = std::rotl((words_.b_ + words_.k0_) ^ hash_detail::folded_multiply(a ^ k2_, b ^ k3_), 23);
    }

    WordHasher words_;
    std::uint64_t k2_, k3_;
};

inline std::uint64_t keyed_hash(const Seed4& key, std::string_view text) {
    KeyedHasher h(key);
    h.absorb_text(text);
    return h.finish();
}

inline std::uint64_t keyed_hash(const Seed4& key, std::uint64_t w0, std::uint64_t w1) {
    KeyedHasher h(key);
    h.absorb_word(w0);
    h.absorb_word(w1);
    return h.finish();
}

inline std::uint64_t keyed_hash(const Seed4& key, std::uint64_t w0, std::uint64_t w1, std::uint64_t w2) {
    KeyedHasher h(key);
    h.absorb_word(w0);
    h.absorb_word(w1);
    h.absorb_word(w2);
    return h.finish();
}

// A name's fingerprint: the two keyed hashes of its text.
struct NameFingerprint {
    std::uint64_t lo;
    std::uint64_t hi;
};

NameFingerprint name_fingerprint(const ProjectionSeeds& seeds, std::string_view name);

// The coefficient for output index i of a name under key S: +sqrt(3) or
// -sqrt(3) with probability 1/6 each, else 0 (mean square 1).
double coefficient(const Seed4& key, const NameFingerprint& fp, std::uint64_t i);

inline constexpr double kSqrt3 = 1.7320508075688772;

struct NormalizedEntry {
    std::string_view name; // into the event it came from
    double value; // asinh of the combined value
};

// Distinct names in ascending bytewise order.
using NormalizedEvent = std::vector<NormalizedEntry>;

// Combines duplicate names (running sums in the form's own order) and
// transforms each sum with asinh. Fails on a non-finite value or sum.
core::Result<NormalizedEvent> normalize_event(const core::KeyValueLike& event);

struct ProjectedEvent {
    std::vector<double> value;    // V entries
    std::vector<double> presence; // P + 1 entries; the last is log1p(k)
};

ProjectedEvent project_event(const NormalizedEvent& event, std::uint64_t value_dims, std::uint64_t presence_dims,
                             const ProjectionSeeds& seeds);

} // namespace tarn::featuresketch
