// The Threshold state text and the checks that make a read state safe: the
// configuration by the constructor's rules, buckets sorted and reachable by
// the mapping, weights positive, normal and small enough that no sum can
// overflow.
#include <cmath>
#include <string>

#include "alerts/threshold.hpp"
#include "core/binary.hpp"
#include "core/json/reader.hpp"
#include "core/json/record.hpp"
#include "core/json/writer.hpp"

namespace tarn::alerts {

// The state as both forms hold it, in this order: the JSON text as nested
// objects, the binary form as the members back to back after the header
// (docs/binary-state.md).
struct ThresholdState {
    struct Buckets {
        std::vector<std::int64_t> keys;
        std::vector<double> weights;
    };
    ThresholdConfig config;
    std::uint64_t count = 0;
    double scale = 1.0;
    Buckets buckets;
};

} // namespace tarn::alerts

TARN_RECORD(tarn::alerts::ThresholdConfig, "ThresholdConfig", rate, warmup, half_life, relative_accuracy, max_buckets)
TARN_RECORD(tarn::alerts::ThresholdState::Buckets, "Buckets", keys, weights)
TARN_RECORD(tarn::alerts::ThresholdState, "Threshold", config, count, scale, buckets)

namespace tarn::alerts {

namespace {

constexpr double kMinWeight = 0x1p-600; // rescaling drops anything smaller
constexpr double kMaxTotal = 0x1p160;   // far above any reachable total (< 2^117)
constexpr double kMaxScale = 0x1p64;

constexpr std::string_view kJsonPrefix = "invalid Threshold JSON: ";
constexpr std::string_view kBinaryPrefix = "invalid Threshold state: ";
constexpr std::uint32_t kBinaryVersion = 1;

} // namespace

ThresholdState Threshold::state() const { return {config_, count_, scale_, {sketch_.keys(), sketch_.weights()}}; }

core::Result<Threshold> Threshold::from_loaded(ThresholdState& s, std::string_view prefix) {
    auto bad = [&](const std::string& why) { return core::invalid(std::string(prefix) + why); };
    const ThresholdConfig& config = s.config;
    std::vector<std::int64_t>& keys = s.buckets.keys;
    std::vector<double>& weights = s.buckets.weights;
    if (auto ok = validate(config); !ok) return bad(ok.error().text);
    Threshold t(config);
    if (!(s.scale >= 1.0 && s.scale < kMaxScale)) return bad("scale must be in [1, 2^64)");
    if (keys.size() != weights.size()) return bad("keys and weights differ in length");
    if (keys.size() > config.max_buckets) return bad("more buckets than max_buckets");
    double total = 0.0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!t.mapping_.valid_key(keys[i])) return bad("bucket key " + std::to_string(keys[i]) + " is out of range");
        if (i > 0 && keys[i] <= keys[i - 1]) return bad("bucket keys are not strictly increasing");
        if (!(weights[i] >= kMinWeight && weights[i] <= kMaxTotal)) return bad("bucket weight out of range");
        total += weights[i];
    }
    if (!(total <= kMaxTotal)) return bad("total weight out of range");
    t.count_ = s.count;
    t.scale_ = s.scale;
    t.sketch_.assign(std::move(keys), std::move(weights));
    return t;
}

core::Result<std::string> Threshold::to_json() const {
    core::json::Writer w;
    core::json::write(w, state());
    return w.take();
}

core::Result<Threshold> Threshold::from_json(std::string_view text) {
    ThresholdState s;
    return core::then_make(
        core::json::read_state(text, kJsonPrefix, [&](core::json::Reader& r) { core::json::read(r, s); }),
        [&] { return from_loaded(s, kJsonPrefix); });
}

core::Result<std::string> Threshold::to_bytes() const {
    namespace bin = core::binary;
    bin::Writer w(64 + 16 * sketch_.size());
    w.header(bin::ClassTag::Threshold, kBinaryVersion);
    bin::write(w, state());
    return w.take();
}

core::Result<Threshold> Threshold::from_bytes(std::string_view data) {
    namespace bin = core::binary;
    ThresholdState s;
    return core::then_make(bin::read_state(data, bin::ClassTag::Threshold, kBinaryVersion, kBinaryPrefix,
                                           [&](bin::Reader& r) { bin::read(r, s); }),
                           [&] { return from_loaded(s, kBinaryPrefix); });
}

} // namespace tarn::alerts
