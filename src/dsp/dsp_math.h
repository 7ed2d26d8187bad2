// The two shared per-sample operations of the render: the one-pole smoother and the soft clipper.
#pragma once

#include <cmath>

#include "dsp/math_functions.h"

namespace solvantis {

// Largest factor coefficient * cutoff a one-pole may use. At 2 its pole reaches -1 and the filter stops
// decaying, which the 3900 Hz string loop filter would reach at 12.25 kHz. No setting within range reaches
// 1.6 at 16 kHz or above (3900 Hz at 16 kHz gives 1.53), so the limit only acts at lower rates, where it
// keeps the pole at -0.6.
inline constexpr float maxOnePoleFactor = 1.6f;

// The one-pole factor per Hz at a sample rate in Hz: 2 pi / rate (the engine's smoothingCoefficient).
inline float onePoleCoefficient(float sampleRate) noexcept {
    return 6.28319f / sampleRate;
}

// One-pole low-pass: state += (x - state) * coefficient * cutoffHz; the new state is also the result.
// coefficient is the engine's smoothingCoefficient, 2*pi / sample rate (per Hz). The product
// coefficient * cutoffHz is deliberately not limited to 1, only kept below the edge of stability; the
// multiplications keep their order so that every rate where the limit does not act renders as before.
inline float onePoleStep(float& state, float x, float cutoffHz, float coefficient) noexcept {
    if (coefficient * cutoffHz <= maxOnePoleFactor) {
        state = state + (x - state) * coefficient * cutoffHz;
    } else {
        state = state + (x - state) * maxOnePoleFactor; // also where the cutoff is not a number
    }
    return state;
}

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
