#include "alerts/threshold.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace tarn::alerts {

namespace {

constexpr double kRescaleAt = 0x1p64;
constexpr int kDropBits = 600; // buckets below 2^-600 of the scale are dropped at a rescale
constexpr double kMaxGrowthExponent = 512.0;
constexpr std::uint64_t kMaxMaxBuckets = 65536;

std::string shortest(double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

} // namespace

core::Status Threshold::validate(const ThresholdConfig& c) {
    if (!(c.rate > 0.0 && c.rate < 1.0)) return core::invalid("rate must be in (0, 1)");
    if (c.half_life && !(*c.half_life > 0.0)) return core::invalid("half_life must be > 0 or None");
    if (!(c.relative_accuracy > 0.0 && c.relative_accuracy < 1.0)) {
        return core::invalid("relative_accuracy must be in (0, 1)");
    }
    if (c.relative_accuracy < kMinRelativeAccuracy) return core::invalid("relative_accuracy must be at least 1e-9");
    if (c.max_buckets < 2 || c.max_buckets > kMaxMaxBuckets) return core::invalid("max_buckets must be in [2, 65536]");
    return {};
}

Threshold::Threshold(const ThresholdConfig& config)
    : config_(config), mapping_(config.relative_accuracy), level_(1.0 - config.rate), sketch_(config.max_buckets) {
    // Half-lives below 1/512 of a score weigh an earlier score below 2^-512
    // of the next one either way; the cap keeps the growth factor finite.
    if (config_.half_life) growth_ = exact_exp2(std::min(1.0 / *config_.half_life, kMaxGrowthExponent));
}

core::Result<Threshold> Threshold::create(ThresholdConfig config) {
    if (config.half_life && *config.half_life == std::numeric_limits<double>::infinity()) config.half_life.reset();
    if (auto ok = validate(config); !ok) return core::fail(ok.error());
    return Threshold(config);
}

Alert Threshold::judge_tail(double tail, double total) const {
    // The subset sum may round a hair above the total.
    const double grade = total > 0.0 ? std::max(0.0, 1.0 - tail / total) : 0.0;
    return {count_ >= config_.warmup && grade >= level_, grade};
}

Alert Threshold::grade_and_add(std::int64_t key) {
    const double total = sketch_.total(); // before the score joins it
    const Alert a = judge_tail(sketch_.tail_then_add(key, scale_), total);
    if (count_ != std::numeric_limits<std::uint64_t>::max()) ++count_;
    if (growth_ == 1.0) return a;
    scale_ *= growth_;
    if (scale_ >= kRescaleAt) {
        const int e = std::ilogb(scale_);
        sketch_.rescale(std::ldexp(1.0, -e), std::ldexp(1.0, e - kDropBits));
        scale_ = std::ldexp(scale_, -e);
    }
    return a;
}

core::Result<Alert> Threshold::update(double score) {
    if (std::isnan(score)) return core::invalid("score must not be NaN");
    return grade_and_add(mapping_.key(score));
}

core::Result<Alert> Threshold::preview(double score) const {
    if (std::isnan(score)) return core::invalid("score must not be NaN");
    return judge(mapping_.key(score));
}

core::Status Threshold::update_many(std::span<const double> scores, std::span<std::int8_t> flags,
                                    std::span<double> grades) {
    core::check_internal(flags.size() == scores.size() && grades.size() == scores.size(),
                         "update_many: result sizes differ from the scores");
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (std::isnan(scores[i])) return core::invalid("score at index " + std::to_string(i) + " is NaN");
    }
    for (std::size_t i = 0; i < scores.size(); ++i) {
        const Alert a = grade_and_add(mapping_.key(scores[i]));
        flags[i] = a.is_alert ? 1 : 0;
        grades[i] = a.grade;
    }
    return {};
}

std::optional<double> Threshold::threshold() const {
    if (count_ < config_.warmup) return std::nullopt;
    // Scores between bucket j - 1 and bucket j are graded by the weight from
    // bucket j on; find the lowest j from which every bucket alerts.
    std::size_t j = sketch_.size();
    const double total = sketch_.total();
    if (!judge_tail(0.0, total).is_alert) return std::nullopt;
    while (j > 0 && judge_tail(sketch_.tail_from(j - 1), total).is_alert) --j;
    if (j == 0) return -std::numeric_limits<double>::infinity();
    const std::int64_t below = sketch_.keys()[j - 1];
    if (below == KeyMapping::kPosInf) return std::nullopt;
    return mapping_.lowest_score_at_or_above(below + 1);
}

std::string Threshold::repr() const {
    return "Threshold(rate=" + shortest(config_.rate) + ", warmup=" + std::to_string(config_.warmup) +
           ", half_life=" + (config_.half_life ? shortest(*config_.half_life) : std::string("None")) +
           ", relative_accuracy=" + shortest(config_.relative_accuracy) + ", count=" + std::to_string(count_) + ")";
}

} // namespace tarn::alerts
