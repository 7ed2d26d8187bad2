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
