#include "featuresketch/projection.hpp"

#include <cmath>
#include <map>
#include <variant>

namespace tarn::featuresketch {

void KeyedHasher::absorb_text(std::string_view text) {
    using namespace hash_detail;
    const auto* d = reinterpret_cast<const unsigned char*>(text.data());
    const std::uint64_t n = text.size();
    words_.b_ = (words_.b_ + n) * kMultiplier;
    if (n <= 8) {
        if (n == 0) {
            block(0, 0);
        } else if (n == 1) {
            block(d[0], d[0]);
        } else if (n <= 3) {
            block(read_u16(d), d[n - 1]);
        } else {
            block(read_u32(d), read_u32(d + n - 4));
        }
    } else if (n <= 16) {
        block(read_u64(d), read_u64(d + n - 8));
    } else {
        // The tail block first, then the full 16-byte blocks from the start.
        block(read_u64(d + n - 16), read_u64(d + n - 8));
        std::uint64_t pos = 0;
        std::uint64_t remaining = n;
        while (remaining > 16) {
            block(read_u64(d + pos), read_u64(d + pos + 8));
            pos += 16;
            remaining -= 16;
        }
    }
    absorb_word(0xff);
}

NameFingerprint name_fingerprint(const ProjectionSeeds& seeds, std::string_view name) {
    return {keyed_hash(seeds.feature_lo, name), keyed_hash(seeds.feature_hi, name)};
}

namespace {

// +sqrt(3), -sqrt(3) or 0 by the hash's remainder modulo 6.
constexpr double kCoefficients[6] = {kSqrt3, -kSqrt3, 0.0, 0.0, 0.0, 0.0};

// A hasher that has absorbed a name's fingerprint; each output index then
// costs one word absorption and the finish.
WordHasher fingerprint_prefix(const Seed4& key, const NameFingerprint& fp) {
    KeyedHasher h(key);
    h.absorb_word(fp.lo);
    h.absorb_word(fp.hi);
    return h.words();
}

double coefficient_at(const WordHasher& prefix, std::uint64_t i) {
    WordHasher h = prefix;
    h.absorb_word(i);
    return kCoefficients[h.finish() % 6];
}

} // namespace

double coefficient(const Seed4& key, const NameFingerprint& fp, std::uint64_t i) {
    return kCoefficients[keyed_hash(key, fp.lo, fp.hi, i) % 6];
}

core::Result<NormalizedEvent> normalize_event(const core::KeyValueLike& event) {
    if (const auto* dict = std::get_if<core::FeatureDict>(&event)) {
        // Names are distinct and already in bytewise order: each sum is the
        // value alone (added to 0.0, which turns -0.0 into +0.0 like the
        // running sum does).
        NormalizedEvent out;
        out.reserve(dict->size());
        for (const auto& [name, value] : *dict) {
            if (!std::isfinite(value)) return core::invalid("feature values must be finite");
            out.push_back({name, std::asinh(value + 0.0)});
        }
        return out;
    }
    // Pairs: running sums keyed by name, in the caller's order;
    // std::string_view compares bytewise as unsigned bytes, which is the
    // output order.
    std::map<std::string_view, double> sums;
    auto add = [&](std::string_view name, double value) -> core::Status {
        if (!std::isfinite(value)) return core::invalid("feature values must be finite");
        double& sum = sums.try_emplace(name, 0.0).first->second;
        sum = value + sum;
        if (!std::isfinite(sum)) return core::invalid("combined feature values must be finite");
        return {};
    };
    for (const auto& [name, value] : std::get<core::FeaturePairs>(event)) {
        if (auto st = add(name, value); !st) return core::fail(std::move(st.error()));
    }
    NormalizedEvent out;
    out.reserve(sums.size());
    for (const auto& [name, sum] : sums) out.push_back({name, std::asinh(sum)});
    return out;
}

ProjectedEvent project_event(const NormalizedEvent& event, std::uint64_t value_dims, std::uint64_t presence_dims,
                             const ProjectionSeeds& seeds) {
    core::check_internal(presence_dims < UINT64_MAX, "presence dimension overflows");
    ProjectedEvent out;
    out.value.assign(value_dims, 0.0);
    out.presence.assign(presence_dims + 1, 0.0);
    for (const auto& entry : event) {
        const NameFingerprint fp = name_fingerprint(seeds, entry.name);
        const double t = entry.value;
        // A zero coefficient adds a signed zero, which never changes an entry
        // (entries start at +0.0 and cannot become -0.0), so every index is
        // added without a branch on the coefficient.
        const WordHasher value_prefix = fingerprint_prefix(seeds.value, fp);
        for (std::uint64_t i = 0; i < value_dims; ++i) out.value[i] = out.value[i] + coefficient_at(value_prefix, i) * t;
        const WordHasher presence_prefix = fingerprint_prefix(seeds.presence, fp);
        for (std::uint64_t i = 0; i < presence_dims; ++i) {
            out.presence[i] = out.presence[i] + coefficient_at(presence_prefix, i);
        }
    }
    out.presence[presence_dims] = std::log1p(static_cast<double>(event.size()));
    return out;
}

} // namespace tarn::featuresketch
