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

using core::json::field;
using core::json::read_record;
using core::json::Reader;
using core::json::Writer;

namespace {

constexpr double kMinWeight = 0x1p-600; // rescaling drops anything smaller
constexpr double kMaxTotal = 0x1p160;   // far above any reachable total (< 2^117)
constexpr double kMaxScale = 0x1p64;

constexpr std::string_view kJsonPrefix = "invalid Threshold JSON: ";
constexpr std::string_view kBinaryPrefix = "invalid Threshold state: ";
constexpr std::uint32_t kBinaryVersion = 1;

std::unexpected<core::DetectorError> bad(const std::string& what) { return core::invalid(what); }

template <class T>
core::Result<T> prefixed(std::string_view prefix, core::Result<T>&& r) {
    if (!r) return core::invalid(std::string(prefix) + r.error().text);
    return std::move(r);
}

} // namespace

core::Result<std::string> Threshold::to_json() const {
    Writer w;
    w.begin_object();
    w.key("config");
    w.begin_object();
    w.field("rate", config_.rate);
    w.field("warmup", config_.warmup);
    w.field("half_life", config_.half_life);
    w.field("relative_accuracy", config_.relative_accuracy);
    w.field("max_buckets", config_.max_buckets);
    w.end_object();
    w.field("count", count_);
    w.field("scale", scale_);
    w.key("buckets");
    w.begin_object();
    w.field("keys", sketch_.keys());
    w.field("weights", sketch_.weights());
    w.end_object();
    w.end_object();
    return w.take();
}

core::Result<Threshold> Threshold::from_json(std::string_view text) {
    ThresholdConfig config;
    std::uint64_t count = 0;
    double scale = 1.0;
    std::vector<std::int64_t> keys;
    std::vector<double> weights;
    auto read_config = [&](Reader& r) {
        read_record(r, "ThresholdConfig",
                    {field("rate", config.rate), field("warmup", config.warmup), field("half_life", config.half_life),
                     field("relative_accuracy", config.relative_accuracy), field("max_buckets", config.max_buckets)});
    };
    auto read_buckets = [&](Reader& r) { read_record(r, "Buckets", {field("keys", keys), field("weights", weights)}); };
    auto parsed = core::json::parse(text, [&](Reader& r) {
        read_record(r, "Threshold",
                    {field("config", read_config), field("count", count), field("scale", scale),
                     field("buckets", read_buckets)});
    });
    if (!parsed) return core::invalid(std::string(kJsonPrefix) + parsed.error().text());
    return prefixed(kJsonPrefix, assemble(config, count, scale, std::move(keys), std::move(weights)));
}

core::Result<Threshold> Threshold::assemble(const ThresholdConfig& config, std::uint64_t count, double scale,
                                            std::vector<std::int64_t> keys, std::vector<double> weights) {
    if (auto ok = validate(config); !ok) return bad(ok.error().text);
    Threshold t(config);
    if (!(scale >= 1.0 && scale < kMaxScale)) return bad("scale must be in [1, 2^64)");
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
    t.count_ = count;
    t.scale_ = scale;
    t.sketch_.assign(std::move(keys), std::move(weights));
    return t;
}

// Binary layout (docs/binary-state.md): header, f64 rate, u64 warmup, flag +
// f64 half_life (0 when absent), f64 relative_accuracy, u64 max_buckets,
// u64 count, f64 scale, list<i64> keys, list<f64> weights.
core::Result<std::string> Threshold::to_bytes() const {
    namespace bin = core::binary;
    bin::Writer w(64 + 16 * sketch_.size());
    w.header(bin::ClassTag::Threshold, kBinaryVersion);
    w.f64(config_.rate);
    w.u64(config_.warmup);
    w.flag(config_.half_life.has_value());
    w.f64(config_.half_life.value_or(0.0));
    w.f64(config_.relative_accuracy);
    w.u64(config_.max_buckets);
    w.u64(count_);
    w.f64(scale_);
    w.list(sketch_.keys());
    w.list(sketch_.weights());
    return w.take();
}

core::Result<Threshold> Threshold::from_bytes(std::string_view data) {
    namespace bin = core::binary;
    bin::Reader r(data);
    ThresholdConfig config;
    std::uint64_t count = 0;
    double scale = 1.0;
    std::vector<std::int64_t> keys;
    std::vector<double> weights;
    if (r.header(bin::ClassTag::Threshold, kBinaryVersion)) {
        config.rate = r.f64();
        config.warmup = r.u64();
        const bool has_half_life = r.flag();
        const double half_life = r.f64();
        if (has_half_life) config.half_life = half_life;
        config.relative_accuracy = r.f64();
        config.max_buckets = r.u64();
        count = r.u64();
        scale = r.f64();
        r.list(keys, "keys");
        r.list(weights, "weights");
        r.finish();
    }
    if (!r.ok()) return core::invalid(std::string(kBinaryPrefix) + r.error());
    return prefixed(kBinaryPrefix, assemble(config, count, scale, std::move(keys), std::move(weights)));
}

} // namespace tarn::alerts
