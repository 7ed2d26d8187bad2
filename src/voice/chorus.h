// The stereo chorus: the part above 233 Hz runs through two modulated feedback delays, one per side; the part
// below and a fifth of the whole stay in the centre.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "dsp/wave_table.h"
#include "voice/synth_params.h"

namespace solvantis {

inline constexpr float chorusSplitCutoff = 233.0f;   // Hz: below it the chorus leaves the sound in the centre
inline constexpr float chorusSweepDepth = 0.03f;     // relative change of each line's delay by its sine
inline constexpr float chorusBaseTime = 0.03f;       // s, the left line's centre delay
inline constexpr float chorusRightStretch = 1.1111f; // the right line's centre delay over the left's
inline constexpr float chorusFeedback = 0.3f;        // each line's output fed back into its input
inline constexpr float chorusLfoLeftRate = 0.5f;     // Hz, the left line's sweep
inline constexpr float chorusLfoRightRate = 1.2f;    // Hz, the right line's
inline constexpr int32_t chorusRunLimit = DelayLine::maxRunAhead; // the longest run tickBlock takes

class Chorus {
public:
    float chorusLowState = 0.0f; // 233 Hz low-pass state of the split
    float chorusOutLeft = 0.0f;  // last outputs of the two lines, their feedback
    float chorusOutRight = 0.0f;
    std::unique_ptr<DelayLine> chorusLineLeft;
    std::unique_ptr<DelayLine> chorusLineRight;
    std::unique_ptr<WaveTable> chorusLfoLeft;  // 0.5 Hz sine
    std::unique_ptr<WaveTable> chorusLfoRight; // 1.2 Hz sine

    // The left line's centre delay in samples, the split's one-pole factor (as it is at 44.1 kHz) and the
    // sweeps' rates: 0.5 and 1.2 Hz at any rate, whatever rate the oscillators were built for.
    void prepare(float sampleRate) {
        baseDelay = sampleRate * chorusBaseTime;
        splitFactor = rateMatchedFactor(chorusSplitCutoff, sampleRate);
        if (chorusLfoLeft && chorusLfoRight) {
            chorusLfoLeft->setFrequency(sweepRate(chorusLfoLeftRate, *chorusLfoLeft, sampleRate));
            chorusLfoRight->setFrequency(sweepRate(chorusLfoRightRate, *chorusLfoRight, sampleRate));
        }
    }
    // The split and the feedback 0 and the lines (those built) cleared; the sweeps run on.
    void reset() {
        chorusLowState = chorusOutLeft = chorusOutRight = 0.0f;
        for (DelayLine* line : {chorusLineLeft.get(), chorusLineRight.get()}) {
            if (line != nullptr) {
                line->reset();
            }
        }
    }
    // The block's dry/wet (Chorus) and the MIDI volume, which scales both outputs.
    void setParameters(const SynthParams& params, float volume) {
        amount = params.Chorus;
        midiVolume = volume;
    }
    // The MIDI volume from the frame of its controller on.
    void setVolume(float volume) { midiVolume = volume; }

    // One sample of l: writes both output samples.
    void tick(float l, float& left, float& right) {
        const float delayLeft = leftDelay(chorusLfoLeft->tick());
        const float delayRight = rightDelay(chorusLfoRight->tick());
        tickAt(l, delayLeft, delayRight, left, right);
    }

    // n samples (1 to chorusRunLimit), the same results as n ticks. The sweeps for the whole run come
    // first; where every delay is longer than the run (always, at the rates hosts use) and the writes do not
    // wrap, the lines are read for the whole run, then the split and the mix run sample by sample, and the
    // lines' inputs are written last.
    [[gnu::always_inline]] void tickBlock(int32_t n, const float* l, float* left, float* right) {
        float delayLeft[chorusRunLimit];
        float delayRight[chorusRunLimit];
        for (int32_t j = 0; j < n; ++j) {
            delayLeft[j] = leftDelay(chorusLfoLeft->tick());
        }
        for (int32_t j = 0; j < n; ++j) {
            delayRight[j] = rightDelay(chorusLfoRight->tick());
        }
        DelayLine& lineLeft = *chorusLineLeft;
        DelayLine& lineRight = *chorusLineRight;
        if (!lineLeft.movesAheadOf(delayLeft, n) || !lineRight.movesAheadOf(delayRight, n)) {
            for (int32_t j = 0; j < n; ++j) {
                tickAt(l[j], delayLeft[j], delayRight[j], left[j], right[j]);
            }
            return;
        }
        float readLeft[chorusRunLimit];
        float readRight[chorusRunLimit];
        lineLeft.moveAhead(delayLeft, n, readLeft);
        lineRight.moveAhead(delayRight, n, readRight);
        // The split's low-pass, the one recurrence, in a loop of its own; the lines' inputs and the mix then
        // take several samples at a time.
        float lows[chorusRunLimit];
        float low = chorusLowState;
        const float factor = splitFactor;
        for (int32_t j = 0; j < n; ++j) {
            lows[j] = OnePole::step(low, l[j], factor);
        }
        float inLeft[chorusRunLimit];
        float inRight[chorusRunLimit];
        inLeft[0] = chorusOutLeft * chorusFeedback + (l[0] - lows[0]);
        inRight[0] = chorusOutRight * chorusFeedback + (l[0] - lows[0]);
        for (int32_t j = 1; j < n; ++j) {
            inLeft[j] = readLeft[j - 1] * chorusFeedback + (l[j] - lows[j]);
            inRight[j] = readRight[j - 1] * chorusFeedback + (l[j] - lows[j]);
        }
        for (int32_t j = 0; j < n; ++j) {
            mix(l[j], lows[j], readLeft[j], readRight[j], left[j], right[j]);
        }
        chorusLowState = low;
        chorusOutLeft = readLeft[n - 1];
        chorusOutRight = readRight[n - 1];
        lineLeft.writeMoved(n, inLeft);
        lineRight.writeMoved(n, inRight);
    }

private:
    // The frequency to give an oscillator built for another rate so that it sweeps at hz at this one (hz
    // itself, to the bit, at the rate it was built for).
    static float sweepRate(float hz, const WaveTable& lfo, float sampleRate) {
        const float built = lfo.getSampleRate();
        return built == sampleRate ? hz : static_cast<float>(static_cast<double>(hz) * built / sampleRate);
    }
    float baseDelay = 0.0f;   // samples
    float splitFactor = 0.0f; // the split's one-pole factor, held at the stability limit
    float amount = 0.0f;
    float midiVolume = 1.0f;

    float leftDelay(float sweep) const { return (sweep * chorusSweepDepth + 1.0f) * baseDelay; }
    float rightDelay(float sweep) const {
        return (1.0f - sweep * chorusSweepDepth) * baseDelay * chorusRightStretch;
    }

    // The mix of both sides from the lines' outputs, scaled by the MIDI volume.
    void mix(float l, float low, float fedLeft, float fedRight, float& left, float& right) const {
        const float centre = static_cast<float>(static_cast<double>(l) * 0.2 + low);
        const float dry = (1.0f - amount) * l;
        left = ((centre + fedLeft) * amount + dry) * midiVolume;
        right = ((centre + fedRight) * amount + dry) * midiVolume;
    }

    // One sample at the lines' delays for it.
    void tickAt(float l, float delayLeft, float delayRight, float& left, float& right) {
        const float low = OnePole::step(chorusLowState, l, splitFactor);
        const float high = l - low;
        chorusLineLeft->setDelay(delayLeft);
        chorusLineRight->setDelay(delayRight);
        chorusOutLeft = chorusLineLeft->tickLinear(chorusOutLeft * chorusFeedback + high);
        chorusOutRight = chorusLineRight->tickLinear(chorusOutRight * chorusFeedback + high);
        mix(l, low, chorusOutLeft, chorusOutRight, left, right);
    }
};

} // namespace solvantis
