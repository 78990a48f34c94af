#include "mstream/normalization.hpp"

#include <cmath>
#include <string>

namespace tarn::mstream {

core::Result<Advance> StreamClock::advance(std::uint64_t ts) const {
    if (ts == 0) return core::invalid("timestamp must be > 0");
    if (!current_time) return Advance{0, 1};
    const std::uint64_t previous = *current_time;
    if (ts < previous) {
        return core::invalid("timestamps must be non-decreasing: previous=" + std::to_string(previous) +
                             ", got=" + std::to_string(ts));
    }
    const std::uint64_t elapsed = ts - previous;
    return Advance{elapsed, current_tick + elapsed}; // wraps like any u64 sum
}

double decay_factor(double alpha, std::uint64_t k) { return std::pow(alpha, static_cast<double>(k)); }

core::Status check_finite(std::span<const double> x) {
    for (double v : x) {
        if (!std::isfinite(v)) return core::invalid("numeric values must be finite");
    }
    return {};
}

NumericRangeNormalizer::NumericRangeNormalizer(std::size_t numeric_dim)
    : min_numeric(numeric_dim, INFINITY), max_numeric(numeric_dim, -INFINITY) {}

namespace {

// The scaled position of a within [lo, hi]; 0 for a range of at most epsilon.
inline double scale(double a, double lo, double hi) {
    const double r = hi - lo;
    return r <= kEpsilon ? 0.0 : (a - lo) / r;
}

} // namespace

void NumericRangeNormalizer::check_dim(std::size_t dim) const {
    core::check_internal(min_numeric.size() >= dim && max_numeric.size() >= dim,
                         "index out of bounds: normalizer bounds shorter than the record");
}

double NumericRangeNormalizer::preview_value(std::size_t i, double x, bool first) const {
    if (first) return 0.0;
    const double a = std::asinh(x);
    return scale(a, min_of(min_numeric[i], a), max_of(max_numeric[i], a));
}

core::Status NumericRangeNormalizer::normalize(std::span<const double> x, bool first, std::vector<double>& out) {
    if (auto ok = check_finite(x); !ok) return ok;
    check_dim(x.size());
    out.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double a = std::asinh(x[i]);
        if (first) {
            min_numeric[i] = a;
            max_numeric[i] = a;
            out[i] = 0.0;
        } else {
            min_numeric[i] = min_of(min_numeric[i], a);
            max_numeric[i] = max_of(max_numeric[i], a);
            out[i] = scale(a, min_numeric[i], max_numeric[i]);
        }
    }
    return {};
}

} // namespace tarn::mstream
