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
// nothing is flushed to zero.
//
// The array form tests blocks of values first: a block of zeros and values
// at or above the level where products stay normal is multiplied as the
// plain loop does (the usual case costs little more than the plain loop);
// only blocks holding something smaller split their lanes. It runs in
// two-lane vectors on any processor, and on x86-64 in AVX2 or AVX-512F
// vectors when the processor has them (chosen at run time). On processors
// without the slow path the plain product (itself in the widest vectors
// the processor has) is as fast; which of the two runs is measured once, at
// the first decay.
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
    // |x| at or above it (x finite): x * f is normal and f is not
    // subnormal, the processor's product is fast. +inf when f is zero or
    // subnormal (no product is), the smallest normal when f is not finite.
    double plain_floor = 0.0;
    // |x| <= it: x * f == x (zeros and fixed points), x stays as it is.
    // 0 for a finite f >= 1, -1.0 when no such shortcut applies.
    double fixed_ceiling = -1.0;
    // Stands for f when x is infinite or NaN: f itself, or +-1 for a
    // subnormal f, which gives the same product.
    double nonfinite_factor = 1.0;

    explicit Scaling(double f);

    // x * f, bit-identical to the plain product, never on the slow path.
    double apply(double x) const {
        const double a = std::fabs(x);
        if (a <= fixed_ceiling) return x;
        if (a >= plain_floor && a <= 0x1.fffffffffffffp1023) return x * factor;
        return apply_rest(x);
    }

private:
    double apply_rest(double x) const;
};

// v[i] = s.apply(v[i]) for every element: bit-identical to v[i] *= f.
void scale_all(std::span<double> v, const Scaling& s);

// The ways scale_all can go, for tests and benchmarks that compare them:
// the plain loop (the reference; slow on tiny values), the portable
// two-lane path, and the x86-64 AVX2 and AVX-512F paths. `automatic` is
// the faster of the plain loop and the widest vector path, measured once.
enum class ScalePath : int { automatic = -1, plain = 0, portable = 1, avx2 = 2, avx512 = 3 };

bool scale_path_available(ScalePath path);
// Scales through one path; false (nothing changed) if the processor lacks it.
bool scale_all_through(std::span<double> v, const Scaling& s, ScalePath path);
// Makes scale_all take `path` from now on, process-wide (automatic undoes
// it); false (nothing changed) if the processor lacks it.
bool force_scale_path(ScalePath path);

} // namespace tarn::core
