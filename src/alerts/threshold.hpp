// A calibrated streaming threshold: turns any detector's scores into a grade
// (the score's tail rank among the scores before it) and an alert at a
// false-alarm rate chosen by the user.
//
// grade(x) = 1 - (weight of earlier scores >= x) / (total weight), where with
// a half-life h an earlier score of age k weighs 2^(-k/h) and otherwise 1.
// The distribution lives in a TailSketch, which counts a score's own bucket
// as ">= x": the sketch's grade lies between the exact grade of x and the
// exact grade of the bucket's lower edge (x / gamma for x > 0, x * gamma for
// x < 0, gamma = (1 + a) / (1 - a)), so it can only err toward fewer alerts.
//
// Decay without touching every bucket per score: a new score is added with
// weight `scale`, which grows by 2^(1/h) per score; ratios are what matter.
// When scale reaches 2^64 everything is divided by a power of two (exact),
// and buckets that fell below 2^-600 of the scale are dropped, so no weight
// ever becomes subnormal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "alerts/tail_sketch.hpp"
#include "core/error.hpp"
#include "core/state.hpp"

namespace tarn::alerts {

struct ThresholdConfig {
    double rate = 0.001;             // in (0, 1)
    std::uint64_t warmup = 1000;     // scores before the first alert
    std::optional<double> half_life; // > 0, in scores; absent: no decay
    double relative_accuracy = 0.01; // in [kMinRelativeAccuracy, 1)
    std::uint64_t max_buckets = 2048;

    bool operator==(const ThresholdConfig&) const = default;
};

struct Alert {
    bool is_alert = false;
    double grade = 0.0;
};

struct ThresholdState; // the fields of a state (state.cpp)

class Threshold {
public:
    // The constructor's checks in their reporting order; an infinite
    // half-life reads as none.
    static core::Result<Threshold> create(ThresholdConfig config);
    static core::Status validate(const ThresholdConfig& config);

    // Grades the score against the earlier ones, then adds it. NaN is
    // refused and changes nothing.
    core::Result<Alert> update(double score);
    // The loop of update() over scores; a NaN anywhere is refused before any
    // score is added. flags and grades have scores.size() entries.
    core::Status update_many(std::span<const double> scores, std::span<std::int8_t> flags, std::span<double> grades);

    // What update(score) would return, without adding it. NaN is refused
    // as update() refuses it.
    core::Result<Alert> preview(double score) const;
    // The smallest score that would alert now; absent during warm-up and
    // when no score can alert (more than `rate` of the weight at +inf).
    std::optional<double> threshold() const;

    const ThresholdConfig& config() const { return config_; }
    std::uint64_t count() const { return count_; }
    std::string repr() const;

    TARN_STATE_ENTRY_POINTS(Threshold)

private:
    Threshold(const ThresholdConfig& config);
    // The fields of the state, as both forms hold them.
    ThresholdState state() const;
    // A threshold from the fields of a state, after the checks that make it
    // safe; errors carry `prefix`.
    static core::Result<Threshold> from_loaded(ThresholdState& s, std::string_view prefix);
    Alert judge(std::int64_t key) const { return judge_tail(sketch_.tail(key), sketch_.total()); }
    Alert judge_tail(double tail, double total) const;
    // Grades against the earlier scores, then adds with weight scale_.
    Alert grade_and_add(std::int64_t key);

    ThresholdConfig config_;
    KeyMapping mapping_;
    double growth_ = 1.0;  // 2^(1/h)
    double level_ = 0.999; // 1 - rate: the grade that alerts
    std::uint64_t count_ = 0;
    double scale_ = 1.0; // weight of the next score, in [1, 2^64)
    TailSketch sketch_;
};

} // namespace tarn::alerts
