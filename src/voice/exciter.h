#pragma once

#include <climits>
#include <cstdint>

#include "dsp/dsp_math.h"
#include "dsp/engine_state.h"
#include "voice/synth_params.h"

namespace solvantis {

// 15-bit linear congruential generator: a whole number 0..32767 per call.
inline int32_t noiseGenerator(uint32_t& seed) {
    seed = seed * 214013u + 2531011u;
    return static_cast<int32_t>((seed >> 16) & 0x7FFFu);
}

// Noise step, every sample: white noise of peak (voiceVelocity x 0.8 + 0.1) x Pick through a one-pole
// low-pass whose cutoff (40 to 3900 Hz) opens with velocity. On control steps the result is held.
inline void noiseStep(ExciterState& exciter, const SynthParams& params, float k, float velocityFactor,
                      float voiceVelocity, bool controlStep, float& noiseHold) {
    const float cutoff = velocityFactor * params.TovFilter * 3860.0f + 40.0f; // Hz
    const float r = static_cast<float>(noiseGenerator(exciter.noiseSeed));
    const float white = 2.0f * (r * (1.0f / 32768.0f) - 0.5f) * (voiceVelocity * 0.8f + 0.1f) * params.Pick;
    onePoleStep(exciter.noiseState, white, cutoff, k);
    if (controlStep) {
        noiseHold = exciter.noiseState;
    }
}

// Pluck step, every sample: a triangle of E samples (E from the pitch, 5 or more, whatever the sample
// rate) mixed with the noise, once per gate opening. Returns the pluck signal, limited to -1 .. 2.
inline float pluckStep(ExciterState& exciter, const SynthParams& params, bool voiceGate, float voiceFrequency,
                       float velocityFactor) {
    if (!voiceGate) {
        exciter.pluckCount = 0;
        return 0.0f;
    }
    // Truncated towards zero, at least 5; written so that a non-finite pitch cannot reach the conversion.
    const float length = (1200.0f - voiceFrequency) * 0.16f + 10.0f;
    const int32_t e = length >= 5.0f ? (length < 1.0e9f ? static_cast<int32_t>(length) : 1000000000) : 5;
    // The count saturates instead of overflowing on a note held for more than 13 hours.
    if (exciter.pluckCount < INT32_MAX) {
        ++exciter.pluckCount;
    }
    const int32_t c = exciter.pluckCount;
    if (c >= e) {
        return 0.0f;
    }
    const float half = 0.5f * static_cast<float>(e);
    const float count = static_cast<float>(c);
    const float tri = half > count ? 2.0f * count / static_cast<float>(e)
                                   : 1.0f - 2.0f * (count - half) / static_cast<float>(e);
    float pluck = params.Exciter * (tri + 2.0f * exciter.noiseState) * (velocityFactor * 0.8f + 0.2f);
    if (pluck > 2.0f) {
        pluck = 2.0f;
    } else if (pluck < -1.0f) {
        pluck = -1.0f;
    }
    return pluck;
}

} // namespace solvantis
