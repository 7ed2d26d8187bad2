// What tunes the string: the phase delays that the filters inside its loops add at the pitch they ring at,
// taken off the lines' lengths so that each loop rings at the pitch the note asks for, and the lengths the
// lines need so that every key sounds at its pitch at any sample rate.
#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/math_functions.h"

namespace solvantis::tuning {

// The angle of 1 - p e^(-j omega) for a one-pole whose pole is p (0 <= p < 1), omega = pi x: positive and
// below pi/2, since the real part 1 - p cos(omega) is.
inline double poleAngle(double x, double p) {
    const double s = math::sinPi(x);
    const double c = math::sinPi(0.5 - x);
    return math::atan(p * s / (1.0 - p * c));
}

// Phase delays in samples at omega = pi x (x: the frequency over half the rate). A one-pole low-pass
// state += (in - state) a delays by the pole's angle over omega.
inline double lowPassDelay(double x, float a) {
    return poleAngle(x, 1.0 - static_cast<double>(a)) / (3.141592653589793 * x);
}
// in - (its one-pole low-pass of factor a): the zero at 1 leads by pi/2 - omega/2, the pole lags; the sum
// is negative (a lead), which the line's length makes up.
inline double highPassDelay(double x, float a) {
    const double omega = 3.141592653589793 * x;
    const double phase = 1.5707963267948966 - 0.5 * omega - poleAngle(x, 1.0 - static_cast<double>(a));
    return -phase / omega;
}
// The single string's first loop hears its own output plus half of it through the high-pass of factor a
// (the string output, half of which is this line, less its low-pass): 1 + H/2 with
// H = (1 - p)(1 - e^(-j omega)) / (1 - p e^(-j omega)), p = 1 - a.
inline double withHalfHighPassDelay(double x, float a) {
    const double p = 1.0 - static_cast<double>(a);
    const double s = math::sinPi(x);
    const double c = math::sinPi(0.5 - x);
    const double nRe = (1.0 - p) * (1.0 - c), nIm = (1.0 - p) * s; // (1 - p)(1 - e^(-j omega))
    const double dRe = 1.0 - p * c, dIm = p * s;                   // 1 - p e^(-j omega)
    const double d2 = dRe * dRe + dIm * dIm;
    const double hRe = (nRe * dRe + nIm * dIm) / d2, hIm = (nIm * dRe - nRe * dIm) / d2;
    const double gRe = 1.0 + 0.5 * hRe, gIm = 0.5 * hIm; // gRe >= 0.5
    return -math::atan(gIm / gRe) / (3.141592653589793 * x);
}

// The one-pole low-pass of factor a, magnitude squared at omega = pi x: a^2 / (1 - 2 p cos(omega) + p^2).
inline double lowPassGainSquared(double x, double a) {
    const double p = 1.0 - a;
    const double c = math::sinPi(0.5 - x);
    return a * a / (1.0 - 2.0 * p * c + p * p);
}

// Above the knee the second loop's low-pass would take more of each period the higher the pitch (its loss a
// second grows as the cube of the pitch, and the note would die within a few periods), while the loop gain
// rises towards 1. There the filter opens so far that a period keeps the knee's share of its power raised
// to (xKnee / x)^(1/4): the loss a second grows as the pitch to the power 3/4, between a string that loses
// the same share each period and one that loses the same each second (the voice fed back into the loop
// makes the latter grow at the very top). x, xKnee: the loop's pitch and the knee's over half the rate;
// base: the filter's factor; others: what the rest of the loop keeps of the power of a period at x (the loop
// gain's and the interpolation's); atKnee: the loop gain's at the knee. The factor whose magnitude squared
// at x is r = (atKnee gain(xKnee))^((xKnee / x)^(1/4)) / others solves a^2 (1 - r) + r q a - r q = 0 with
// q = 2 (1 - cos(omega)); never below base, 1 (no filter) at the most.
inline double loopFactorAbove(double x, double xKnee, double base, double others, double atKnee) {
    if (!(x > xKnee)) {
        return base;
    }
    const double r = math::pow(atKnee * lowPassGainSquared(xKnee, base), math::pow(xKnee / x, 0.25)) / others;
    if (!(r < 1.0)) {
        return 1.0;
    }
    if (lowPassGainSquared(x, base) >= r) {
        return base;
    }
    const double q = 2.0 * (1.0 - math::sinPi(0.5 - x));
    const double a = (std::sqrt(r * r * q * q + 4.0 * (1.0 - r) * r * q) - r * q) / (2.0 * (1.0 - r));
    return a < 1.0 ? a : 1.0;
}

// What a line read between samples (linear interpolation at a fractional delay) keeps of the power of
// omega = pi x: (1 - t)^2 + t^2 + 2 t (1 - t) cos(omega), t the fraction of the delay in samples.
inline double linearReadGainSquared(double x, double delay) {
    const double t = delay - std::floor(delay);
    return (1.0 - t) * (1.0 - t) + t * t + 2.0 * t * (1.0 - t) * math::sinPi(0.5 - x);
}

// The knee: the key whose second loop keeps the filter as it is, and every key below it (MIDI 78, F#5).
inline constexpr double loopDecayKnee = 739.98884542;

// Each loop's high-pass (its DC blocker) sits this far below the pitch the loop rings at: it keeps a loop
// gain that reaches 1 at the top of the keyboard from holding (or, with the voice fed back, growing) an
// offset, which it takes out within about 40 periods, while the pitch itself loses less than a hundred
// thousandth of its level a period and its overtones stay within a cent of where the fundamental puts them.
inline constexpr double loopDcRatio = 1.0 / 256.0;

// The lowest pitch a string line rings at, in Hz: the lowest key (8.18 Hz) an octave down, bent down a
// semitone, detuned by the noise at its widest; the lines are sized for it at every rate.
inline constexpr double lowestLinePitch = 8.1757989 * 0.5 / 1.059463094359 * 0.9;

// Maximum delays in samples at a sample rate: the string lines, the comb (1312 samples at 44.1 kHz at the
// most, bent down at Fixing 1) and the chorus lines (its right line reaches 0.0343 s).
// A rate that is not a positive number (or is beyond any a host uses) sizes them as 44.1 kHz and 10 MHz do.
inline double sizingRate(double sampleRate) {
    return sampleRate > 0.0 ? (sampleRate < 1.0e7 ? sampleRate : 1.0e7) : 44100.0;
}
inline int32_t stringLineLength(double sampleRate) {
    sampleRate = sizingRate(sampleRate);
    return static_cast<int32_t>(sampleRate / lowestLinePitch) + 4;
}
inline int32_t combLineLength(double sampleRate) {
    sampleRate = sizingRate(sampleRate);
    return static_cast<int32_t>(1400.0 * sampleRate / 44100.0) + 4;
}
inline int32_t chorusLineLength(double sampleRate) {
    sampleRate = sizingRate(sampleRate);
    const auto n = static_cast<int32_t>(0.0345 * sampleRate) + 4;
    return n > 3000 ? n : 3000;
}

} // namespace solvantis::tuning
