// The output's DC blocker: the gain stage's cubic and the tone filter's saturation turn the string's lopsided
// waveform into an offset of up to a hundredth of full scale, which this high-pass takes out.
#pragma once

#include "dsp/dsp_math.h"

namespace solvantis {

// Hz: low enough to leave the lowest key's fundamental (16 Hz at MIDI 24) nearly whole, high enough that an
// offset following the envelope is gone within a tenth of a second.
inline constexpr double outputDcCutoff = 10.0;

class OutputDcBlocker {
public:
    float state = 0.0f; // the one-pole low-pass of the output, which the output leaves out

    void prepare(float sampleRate) { factor = exactOnePoleFactor(outputDcCutoff, sampleRate); }
    void reset() { state = 0.0f; }
    // One sample: x less its low-pass.
    float tick(float x) { return x - OnePole::step(state, x, factor); }

private:
    float factor = 0.0f;
};

} // namespace solvantis
