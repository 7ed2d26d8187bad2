// The voice's shared arithmetic: the limited one-pole smoother and the soft clipper.
#pragma once

#include <cmath>

#include "dsp/math_functions.h"

namespace solvantis {

// Largest factor coefficient * cutoff a one-pole may use. At 2 its pole reaches -1 and the filter stops
// decaying, which the 3900 Hz string loop filter would reach at 12.25 kHz. No setting within range reaches
// 1.6 at 16 kHz or above (3900 Hz at 16 kHz gives 1.53), so the limit only acts at lower rates, where it
// keeps the pole at -0.6.
inline constexpr float maxOnePoleFactor = 1.6f;

// The one-pole factor per Hz at a sample rate in Hz: 2 pi / rate. Every smoother's factor is this times
// its cutoff in Hz.
inline float onePoleCoefficient(float sampleRate) noexcept {
    return 6.28319f / sampleRate;
}

// The sample rate the instrument's sound was voiced at: lengths, counts and smoothers are stated for it and
// follow other rates so that every rate sounds the same.
inline constexpr float referenceRate = 44100.0f;

// The factor of the one-pole smoother with cutoff `cutoffHz` at `sampleRate` that has the response the
// factor k x cutoff has at 44.1 kHz: the same pole in continuous time, 1 - (1 - a44)^(44100 / rate). At
// 44.1 kHz it is k x cutoff to the bit; below it, it stays under 1 (never the stability limit).
inline float rateMatchedFactor(float cutoffHz, float sampleRate) noexcept {
    const float a44 = onePoleCoefficient(referenceRate) * cutoffHz;
    if (sampleRate == referenceRate || !(a44 < 1.0f) || !(sampleRate > 0.0f)) {
        return a44;
    }
    const double ratio = static_cast<double>(referenceRate) / static_cast<double>(sampleRate);
    return static_cast<float>(1.0 - math::pow(1.0 - static_cast<double>(a44), ratio));
}

// The factor of the one-pole smoother whose pole lies exactly at cutoffHz: 1 - e^(-2 pi cutoff / rate).
inline float exactOnePoleFactor(double cutoffHz, double sampleRate) noexcept {
    return static_cast<float>(1.0 - math::exp(-6.283185307179586 * cutoffHz / sampleRate));
}

// The limited one-pole low-pass that every smoother of the voice is: state += (x - state) x factor, the new
// state also the result. The factor is k x the cutoff (k = onePoleCoefficient) computed once, deliberately
// not limited to 1, only kept below the edge of stability.
struct OnePole {
    // True where k x cutoffHz passes the limit (or is not a number): the factor is then the limit itself.
    static bool limited(float k, float cutoffHz) noexcept { return !(k * cutoffHz <= maxOnePoleFactor); }
    // The factor at a cutoff in Hz, held at `limit`.
    static float factor(float k, float cutoffHz, float limit = maxOnePoleFactor) noexcept {
        const float f = k * cutoffHz;
        return f <= limit ? f : limit;
    }
    static float step(float& state, float x, float factor) noexcept {
        state = state + (x - state) * factor;
        return state;
    }
};

// The two halves of softClip (below) around its tanh, for a caller that takes the tanh of many samples at
// once: the argument of the tanh (not used where x is not above the knee) ...
inline double softClipArgument(float x, float knee) noexcept {
    const double k = knee;
    const double magnitude = std::fabs(static_cast<double>(x));
    const float scale = 1.0f / (1.0f - knee);
    return (magnitude - k) * static_cast<double>(scale);
}
// ... and the result from that tanh.
inline float softClipFrom(float x, float knee, double tanhOfArgument) noexcept {
    const double k = knee;
    if (!(std::fabs(static_cast<double>(x)) > k)) {
        return x;
    }
    const double span = 1.0 - k;
    const double y = k + span * tanhOfArgument;
    return static_cast<float>(x < 0.0f ? -y : y);
}

// Unity-slope soft clipper saturating at +-1: x itself for |x| <= knee, above that
// sign(x) * (knee + (1 - knee) * tanh((|x| - knee) / (1 - knee))).
// The knee is compared and added as the float knee widened to double, the span 1 - knee is taken in double
// from that value (0.19999998807907104 for knee 0.8, 0.5999999940395355 for 0.4), and the scale
// 1 / (1 - knee) is computed in single precision (5.0000005, 0x40A00001, for 0.8; 1.6666666, 0x3FD55555,
// for 0.4). The tanh runs only above the knee.
inline float softClip(float x, float knee) noexcept {
    if (!(std::fabs(static_cast<double>(x)) > static_cast<double>(knee))) {
        return x;
    }
    return softClipFrom(x, knee, math::tanh(softClipArgument(x, knee)));
}

} // namespace solvantis
