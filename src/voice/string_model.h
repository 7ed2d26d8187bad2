#pragma once

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "dsp/engine_state.h"
#include "voice/synth_params.h"

namespace solvantis {

// Loop gain of the string at pitch f in Hz: 0.99 at 620 Hz, rising 5e-6 per Hz, never reaching 1.
inline float stringLoopGain(float f) {
    float g = (f - 620.0f) * 4.99999987e-06f + 0.99f;
    if (g > 0.99999988f) {
        g = 0.99999988f;
    }
    return g;
}

// String section, run while the envelope is above 0: the comb on the pluck, then the two lines, either one
// string of two coupled loops an octave below the key about 14 cents apart, or (PowerChord) two strings a
// fifth apart. Each line is peeked before its tick and again after it; the first peek of a sample returns
// the value cached at the end of the previous sample.
inline void stringStep(StringState& s, const SynthParams& params, float sr, float k, float voiceFrequency,
                       float noiseHold, float pluck, float lastVoiceOutput) {
    DelayLine& lineA = *s.stringLineA;
    DelayLine& lineB = *s.stringLineB;
    const float f = voiceFrequency;
    const float maxDelay = static_cast<float>(s.stringMaxDelay);
    const float m = params.PowerChord == 0.0f ? 0.504f : 0.75f;
    const float detune = noiseHold * params.Modulation * 0.04f + 1.0f; // M

    lineA.setDelay(((sr / (f * m)) / maxDelay) * maxDelay);
    lineB.setDelay(((sr / (detune * f * 0.5f)) / maxDelay) * maxDelay);
    const float g = stringLoopGain(f);

    s.combLine->setDelay(params.Fixing * params.Fixing * 1210.0f + 4.0f - (f - 200.0f) * 0.489f);
    const float comb = pluck - 0.9f * s.combLine->tickLinear(pluck);
    const float feedback = detune * lastVoiceOutput; // Q

    if (params.PowerChord == 0.0f) {
        const float w = comb + feedback * 0.004f;
        lineA.tickLinear((lineA.nextOutLinear() + s.stringHighpass) * g * 0.5f + w);
        const float b = softClip(lineB.nextOutLinear(), 0.8f);
        onePoleStep(s.loopFilterState, b * g, 3900.0f, k);
        lineB.tickLinear(s.loopFilterState + w);
        s.stringOutput = (lineA.nextOutLinear() + lineB.nextOutLinear()) * 0.5f;
        onePoleStep(s.dcBlockState, s.stringOutput, 35.0f, k);
        s.stringHighpass = s.stringOutput - s.dcBlockState;
    } else {
        const float q = feedback * 0.026f;
        onePoleStep(s.dcBlockState, q, 35.0f, k);
        float v = comb + (q - s.dcBlockState);
        if (v > 1.0f) {
            v = 1.0f;
        } else if (v < -1.0f) {
            v = -1.0f;
        }
        lineA.tickLinear(lineA.nextOutLinear() * g + v);
        lineB.tickLinear(lineB.nextOutLinear() * g + v);
        s.stringOutput = (lineB.nextOutLinear() + lineA.nextOutLinear()) * 0.5f;
    }
    s.stringActive = true;
}

} // namespace solvantis
