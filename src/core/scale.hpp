// Multiplication by a decay factor without the processor's slow path.
//
// Products whose operand or result is subnormal take a microcoded slow path
// on many processors (tens to hundreds of cycles each). Decayed counters
// drift into that range on long streams, and with a factor above 1/2 most of
// them never leave it: m * 2^-1074 times f rounds back to m * 2^-1074 for
// every m below 1 / (2 (1 - f)). So scaling a whole array (a) leaves such
// fixed points and zeros alone, (b) multiplies values whose product is
// normal on the floating-point unit, and (c) computes the few remaining
// products with integer arithmetic on the bit patterns, rounding exactly as
// the hardware does (to nearest, ties to even). The results are
// bit-identical to the plain `x * f`; no floating-point mode is changed and
// nothing is flushed to zero. The array form takes this path where 8-lane
// masked vectors make it as cheap as the plain loop (x86-64 with AVX-512F,
// chosen at run time) and keeps the plain loop elsewhere.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

namespace tarn::core {

// x * f for finite x and f, computed on the integer significands.
double multiply_by_integers(double x, double f);

// How to scale by one factor f, worked out once for many values.
struct Scaling {
    double factor = 1.0;
    // |x| at or above it: x * f is normal (or x is not finite), the
    // processor's product is fast. +inf when f is zero or subnormal, 0 when
    // f is not finite.
    double plain_floor = 0.0;
    // 0 <= x <= it: x * f == x (zeros and fixed points), x stays as it is.
    // -1.0 when no such shortcut applies.
    double fixed_ceiling = -1.0;

    explicit Scaling(double f);

    // x * f, bit-identical to the plain product, never on the slow path.
    double apply(double x) const {
        if (x >= 0.0 && x <= fixed_ceiling) return x;
        const double a = std::fabs(x);
        if (!(a < plain_floor) || a == 0.0) return x * factor;
        return multiply_by_integers(x, factor);
    }
};

// v[i] = s.apply(v[i]) for every element: bit-identical to v[i] *= f.
void scale_all(std::span<double> v, const Scaling& s);

} // namespace tarn::core
