// The transcendental functions whose results reach the audio. They are ours rather than the C library's
// so that the sound is the same, bit for bit, on every compiler, C library and target: each one is built
// from +, -, *, / and table look-ups only, evaluated in IEEE double precision (SSE2 on 32-bit x86, no FMA
// contraction), so every target computes the same bits.
//
// Accuracy: within 1 ulp of the correctly rounded result, nearly always equal to it: the float power within
// 0.502 ulp (it works in plain double precision, with a relative error below 2^-33), exp, tanh and the
// double power within about 0.52 ulp (they carry 60 bits and more), sinPi within 0.82 ulp. The special
// values follow the C library's rules (pow(x, 0) = 1, pow(1, y) = 1, a negative base needs an integral
// exponent, NaN in, NaN out).
#pragma once

namespace solvantis::math {

// x raised to the power y, in single precision (computed in double and rounded once).
float pow(float x, float y) noexcept;

// base[i] raised to the power exponent into out[i] for i < n, each result bit for bit the scalar
// pow(base[i], exponent); out may be base. Two at a time in SSE2 where the target has it (every x86 target
// does). Allocates nothing.
void pow(const float* base, float exponent, float* out, int n) noexcept;

// x raised to the power y, in double precision.
double pow(double x, double y) noexcept;

// e raised to the power x.
double exp(double x) noexcept;

// Hyperbolic tangent.
double tanh(double x) noexcept;

// sin(pi * x): the argument is reduced exactly, so sinPi(1) is 0 and sinPi(0.5) is 1.
double sinPi(double x) noexcept;

} // namespace solvantis::math
