// The transcendental functions whose results reach the audio. They are ours rather than the C library's
// so that the sound is the same, bit for bit, on every compiler, C library and target: each one is built
// from +, -, *, /, fused multiply-adds written out explicitly and table look-ups, evaluated in IEEE double
// precision (SSE2 on 32-bit x86, no FMA contraction by the compiler), so every target computes the same
// bits. Each fma rounds once, correctly: on processors with FMA (and AVX2) it is the instruction, chosen
// at run time; elsewhere the same functions run with a software fma that gives the same bits, more slowly.
//
// Accuracy: within 1 ulp of the correctly rounded result, nearly always equal to it: the float power within
// 0.502 ulp (it works in double precision, with a relative error below 2^-33), exp and the double
// power within about 0.51 ulp (they carry 60 bits and more), tanh within 0.57 ulp, sinPi within 0.82 ulp. The
// special values follow the C library's rules (pow(x, 0) = 1, pow(1, y) = 1, a negative base needs an
// integral exponent, NaN in, NaN out).
#pragma once

namespace solvantis::math {

// x raised to the power y, in single precision (computed in double and rounded once).
float pow(float x, float y) noexcept;

// base[i] raised to the power exponent into out[i] for i < n, each result bit for bit the scalar
// pow(base[i], exponent); out may be base. Four at a time on the FMA path (AVX2), one at a time on the
// software one. Allocates nothing.
void pow(const float* base, float exponent, float* out, int n) noexcept;

// x raised to the power y, in double precision.
double pow(double x, double y) noexcept;

// e raised to the power x.
double exp(double x) noexcept;

// Hyperbolic tangent.
double tanh(double x) noexcept;

// tanh(x[i]) into out[i] for i < n, each result bit for bit the scalar tanh(x[i]); out may be x. Four at a
// time on the FMA path (AVX2), one at a time on the software one. Allocates nothing.
void tanh(const double* x, double* out, int n) noexcept;

// sin(pi * x): the argument is reduced exactly, so sinPi(1) is 0 and sinPi(0.5) is 1.
double sinPi(double x) noexcept;

// The arc tangent, within a few ulp, from +, -, *, / and the square root alone (each correctly rounded),
// so the same bits everywhere. Used where a filter's phase sets a string's length, never per sample.
double atan(double x) noexcept;

namespace detail {

// a * b + c rounded once, computed with +, -, * and bit operations: the software path's fma. Correctly
// rounded for finite operands with |a|, |b| < 2^995, |c| < 2^1020 and |a b| either 0 or in
// [2^-968, 2^1020], and where |a b| < 2^-60 |c| with |c| >= 2^-960 (the math functions stay inside).
double fmaSoft(double a, double b, double c) noexcept;

// True when the functions above take their FMA path on this processor (it has FMA and AVX2, and the
// operating system saves the AVX registers), or false for the software path. Detected on first use.
bool usesHardwareFma() noexcept;

} // namespace detail

} // namespace solvantis::math
