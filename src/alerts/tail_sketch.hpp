// A weighted relative-error sketch of a score distribution, answering "how
// much weight lies at or above this score" in logarithmic time.
//
// Scores map to ordered integer keys through logarithmic buckets (KeyMapping):
// every bucket spans a ratio of at most gamma = (1 + a) / (1 - a), so each
// score lies within a relative distance a of its bucket's representative
// value. Zero has its own key, negative scores mirror the positive buckets,
// -inf and +inf sit below and above everything.
//
// Everything here is computed with +, -, *, / and exact bit operations only
// (no log, exp or pow from the C library, whose last bits differ between
// machines), so the same inputs give the same keys, weights and sums on
// every machine.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/error.hpp"

namespace tarn::alerts {

// Finer accuracies are refused: the bucket edges then come closer than the
// rounding of the mapping itself.
inline constexpr double kMinRelativeAccuracy = 1e-9;

// Score -> key. The key of x > 0 is ceil(L(x) * multiplier), shifted to start
// at 1, where L(x) = e + (m - 1) for x = 2^e * m with m in [1, 2): a
// piecewise linear stand-in for log2 that is exact to compute. The bucket
// width 1 / multiplier is L(gamma), which bounds every bucket's ratio of
// upper to lower edge by gamma.
class KeyMapping {
public:
    static constexpr std::int64_t kNegInf = std::numeric_limits<std::int64_t>::min();
    static constexpr std::int64_t kPosInf = std::numeric_limits<std::int64_t>::max();

    // relative_accuracy must lie in [kMinRelativeAccuracy, 1).
    explicit KeyMapping(double relative_accuracy);
    KeyMapping() : KeyMapping(0.01) {}

    // The key of a score that is not NaN. Monotone: x <= y gives key(x) <= key(y).
    std::int64_t key(double x) const {
        if (x > 0.0) return x == std::numeric_limits<double>::infinity() ? kPosInf : magnitude_key(x);
        if (x < 0.0) return x == -std::numeric_limits<double>::infinity() ? kNegInf : -magnitude_key(-x);
        return 0;
    }
    // Whether some score can have this key.
    bool valid_key(std::int64_t k) const { return k == kNegInf || k == kPosInf || (k >= -max_key_ && k <= max_key_); }
    // The smallest score (never NaN) whose key is at least k.
    double lowest_score_at_or_above(std::int64_t k) const;

    double multiplier() const { return multiplier_; }

private:
    std::int64_t magnitude_key(double x) const;

    double multiplier_ = 1.0;
    std::int64_t min_index_ = 0; // index of the smallest positive double
    std::int64_t max_key_ = 0;   // key of the largest finite double
};

// Weighted buckets (sorted keys, positive weights) with a sum tree over them.
// At most max_buckets buckets: a new bucket beyond that merges the two lowest
// (or joins the lowest when it lies below it), so precision is given up at
// the low end, far from the tail that alerts are drawn from.
//
// The tree's nodes are recomputed from their children on every change, never
// adjusted by differences, so they are a function of the bucket weights
// alone: a sketch rebuilt from its buckets sums bit for bit as the original.
class TailSketch {
public:
    TailSketch() { rebuild(); }
    explicit TailSketch(std::uint64_t max_buckets) : max_buckets_(max_buckets) { rebuild(); }

    // Replaces the contents; keys must be strictly increasing, weights
    // positive and finite, size at most max_buckets (checked by the caller).
    void assign(std::vector<std::int64_t> keys, std::vector<double> weights);

    // Weight of the buckets whose key is >= k.
    double tail(std::int64_t k) const { return tail_from(position(k)); }
    // Weight of the buckets from position p on (0 when p is past the end).
    double tail_from(std::size_t p) const;
    double total() const { return tree_[1]; }

    // Adds w > 0 at key k.
    void add(std::int64_t k, double w);
    // tail(k), then add(k, w): the hot path, in one pass when the bucket exists.
    double tail_then_add(std::int64_t k, double w);
    // Multiplies every weight by factor (a power of two) after dropping the
    // buckets whose weight is below drop_below.
    void rescale(double factor, double drop_below);

    std::size_t position(std::int64_t k) const;
    std::size_t size() const { return keys_.size(); }
    std::uint64_t max_buckets() const { return max_buckets_; }
    const std::vector<std::int64_t>& keys() const { return keys_; }
    const std::vector<double>& weights() const { return weights_; }

private:
    void rebuild();
    void refresh(std::size_t p);
    void insert(std::size_t p, std::int64_t k, double w); // k absent, p = position(k)

    std::uint64_t max_buckets_ = 2048;
    std::vector<std::int64_t> keys_;
    std::vector<double> weights_;
    std::size_t cap_ = 1;      // leaves of the tree: the smallest power of two >= max(size, 1)
    std::vector<double> tree_; // 2 * cap_ nodes, node 1 the root, leaves from cap_
};

// 2^y for y in [0, 1024), from +, * and / only.
double exact_exp2(double y);

} // namespace tarn::alerts
