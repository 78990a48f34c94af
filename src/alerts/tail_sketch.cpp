#include "alerts/tail_sketch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tarn::alerts {

namespace {

constexpr std::uint64_t kSignBit = 0x8000000000000000ull;
constexpr std::uint64_t kMantissa = 0x000fffffffffffffull;
constexpr std::uint64_t kExponentOfOne = 0x3ff0000000000000ull;

// L(x) = e + (m - 1) for x = 2^e * m, m in [1, 2); x positive and finite.
// The sum is the only rounding step, so L is monotone in x.
double linear_log2(double x) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    int e = static_cast<int>((bits >> 52) & 0x7ff);
    if (e == 0) { // subnormal: scale into the normal range (exact)
        bits = std::bit_cast<std::uint64_t>(x * 0x1p64);
        e = static_cast<int>((bits >> 52) & 0x7ff) - 64;
    }
    const double m = std::bit_cast<double>((bits & kMantissa) | kExponentOfOne);
    return static_cast<double>(e - 1023) + (m - 1.0);
}

// ceil(t) for |t| < 2^62, without a library call.
std::int64_t ceil_to_int(double t) {
    auto i = static_cast<std::int64_t>(t); // truncates toward zero
    if (static_cast<double>(i) < t) ++i;
    return i;
}

// Doubles in their numeric order as integers (NaN excluded, -0 and +0 equal).
std::int64_t ordered(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    return (bits & kSignBit) ? -static_cast<std::int64_t>(bits & ~kSignBit) : static_cast<std::int64_t>(bits);
}
double from_ordered(std::int64_t o) {
    return o >= 0 ? std::bit_cast<double>(static_cast<std::uint64_t>(o))
                  : std::bit_cast<double>(static_cast<std::uint64_t>(-o) | kSignBit);
}

} // namespace

// ------------------------------------------------------------------ mapping

KeyMapping::KeyMapping(double a) {
    // Bucket width in L units: L(gamma), which for gamma < 2 is gamma - 1,
    // taken from a directly rather than from the rounded gamma.
    const double below_two = 2.0 * a / (1.0 - a);
    const double width = below_two <= 1.0 ? below_two : linear_log2((1.0 + a) / (1.0 - a));
    multiplier_ = 1.0 / width;
    min_index_ = ceil_to_int(-1074.0 * multiplier_); // L of the smallest subnormal is exactly -1074
    max_key_ = 0;
    max_key_ = magnitude_key(std::numeric_limits<double>::max());
}

std::int64_t KeyMapping::magnitude_key(double x) const {
    return ceil_to_int(linear_log2(x) * multiplier_) - min_index_ + 1;
}

double KeyMapping::lowest_score_at_or_above(std::int64_t k) const {
    const double neg_inf = -std::numeric_limits<double>::infinity();
    if (key(neg_inf) >= k) return neg_inf;
    // key(from_ordered(lo)) < k <= key(from_ordered(hi)); keys are monotone.
    std::int64_t lo = ordered(neg_inf);
    std::int64_t hi = ordered(std::numeric_limits<double>::infinity());
    // The span exceeds int64 (about 2^64), so the difference is unsigned.
    while (static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) > 1) {
        const auto mid = static_cast<std::int64_t>(
            static_cast<std::uint64_t>(lo) + (static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo)) / 2);
        if (key(from_ordered(mid)) >= k) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return from_ordered(hi);
}

// ------------------------------------------------------------------- sketch

void TailSketch::assign(std::vector<std::int64_t> keys, std::vector<double> weights) {
    keys_ = std::move(keys);
    weights_ = std::move(weights);
    rebuild();
}

std::size_t TailSketch::position(std::int64_t k) const {
    // lower_bound without data-dependent branches: the key of a score is
    // close to a coin flip against the middle bucket.
    const std::int64_t* keys = keys_.data();
    std::size_t pos = 0;
    std::size_t len = keys_.size();
    while (len > 1) {
        const std::size_t half = len / 2;
        pos = keys[pos + half - 1] < k ? pos + half : pos;
        len -= half;
    }
    if (len == 1 && keys[pos] < k) ++pos;
    return pos;
}

double TailSketch::tail_from(std::size_t p) const {
    if (p >= keys_.size()) return 0.0;
    std::size_t i = p + cap_;
    double s = tree_[i];
    // Climbing from the leaf, every left child adds its right sibling: the
    // nodes covering everything to the right of p, in a fixed order.
    for (; i > 1; i >>= 1) {
        if ((i & 1) == 0) s += tree_[i + 1];
    }
    return s;
}

void TailSketch::refresh(std::size_t p) {
    std::size_t i = p + cap_;
    tree_[i] = weights_[p];
    for (i >>= 1; i >= 1; i >>= 1) tree_[i] = tree_[2 * i] + tree_[2 * i + 1];
}

void TailSketch::rebuild() {
    cap_ = std::bit_ceil(std::max<std::size_t>(keys_.size(), 1));
    tree_.assign(2 * cap_, 0.0);
    std::copy(weights_.begin(), weights_.end(), tree_.begin() + static_cast<std::ptrdiff_t>(cap_));
    for (std::size_t i = cap_ - 1; i >= 1; --i) tree_[i] = tree_[2 * i] + tree_[2 * i + 1];
}

double TailSketch::tail_then_add(std::int64_t k, double w) {
    const std::size_t p = position(k);
    if (p < keys_.size() && keys_[p] == k) {
        // One climb does both: the tail sums the same nodes in the same
        // order as tail_from(p) (the siblings it reads are off the path that
        // the update rewrites).
        std::size_t i = p + cap_;
        double s = tree_[i];
        weights_[p] += w;
        tree_[i] = weights_[p];
        for (; i > 1; i >>= 1) {
            if ((i & 1) == 0) s += tree_[i + 1];
            tree_[i >> 1] = tree_[i & ~std::size_t{1}] + tree_[i | 1];
        }
        return s;
    }
    const double s = tail_from(p);
    insert(p, k, w);
    return s;
}

void TailSketch::add(std::int64_t k, double w) {
    const std::size_t p = position(k);
    if (p < keys_.size() && keys_[p] == k) {
        weights_[p] += w;
        refresh(p);
        return;
    }
    insert(p, k, w);
}

void TailSketch::insert(std::size_t p, std::int64_t k, double w) {
    if (keys_.size() >= max_buckets_) {
        if (p == 0) { // below every bucket: joins the lowest
            weights_[0] += w;
            refresh(0);
            return;
        }
        weights_[1] += weights_[0];
        keys_.erase(keys_.begin());
        weights_.erase(weights_.begin());
        --p;
    }
    keys_.insert(keys_.begin() + static_cast<std::ptrdiff_t>(p), k);
    weights_.insert(weights_.begin() + static_cast<std::ptrdiff_t>(p), w);
    rebuild();
}

void TailSketch::rescale(double factor, double drop_below) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (weights_[i] < drop_below) continue;
        keys_[kept] = keys_[i];
        weights_[kept] = weights_[i] * factor;
        ++kept;
    }
    keys_.resize(kept);
    weights_.resize(kept);
    rebuild();
}

// ------------------------------------------------------------------ helpers

double exact_exp2(double y) {
    const auto n = static_cast<int>(y);            // y >= 0: truncation is floor
    const double t = (y - n) * 0.6931471805599453; // f * ln 2, f in [0, 1)
    // exp(t) for t in [0, ln 2) by its series; 22 terms reach below 1e-17.
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 22; ++k) {
        term = term * t / k;
        sum += term;
    }
    return std::ldexp(sum, n);
}

} // namespace tarn::alerts
