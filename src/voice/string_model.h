#pragma once
#include <cstdint>
#include <memory>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "voice/synth_params.h"

namespace solvantis {

inline constexpr float loopFilterCutoff = 3900.0f; // Hz, the low-pass in stringLineB's loop
inline constexpr float dcBlockCutoff = 35.0f;      // Hz, the low-pass whose complement is the high-pass
inline constexpr float loopSoftClipKnee = 0.8f;    // stringLineB's output saturates above this
inline constexpr float singleStringRatio =
    0.504f;                                     // stringLineA's pitch over the key's: an octave below, sharp
inline constexpr float powerChordRatio = 0.75f; // stringLineA a fifth above stringLineB in PowerChord mode
inline constexpr float combFeedforward = 0.9f;  // the comb takes this much of the delayed pluck away
inline constexpr float singleFeedback = 0.004f; // the voice's output fed back into the single string's loops
inline constexpr float chordFeedback = 0.026f;  // and into both strings of the power chord
inline constexpr float stringOutputGain = 1.4f; // the string's output into the distorter and tone filter

// String model: the comb on the pluck and the two recirculating lines.
struct StringState {
    float stringOutput = 0.0f;     // mean of the two lines' outputs
    float stringHighpass = 0.0f;   // stringOutput minus its 35 Hz low-pass, fed back into stringLineA
    float loopFilterState = 0.0f;  // 3900 Hz low-pass in stringLineB's loop
    float dcBlockState = 0.0f;     // 35 Hz low-pass state
    bool stringActive = false;     // the string section ran in this sample
    int32_t stringMaxDelay = 3000; // samples, maximum delay of the string lines
    std::unique_ptr<DelayLine> stringLineA;
    std::unique_ptr<DelayLine> stringLineB;
    std::unique_ptr<DelayLine> combLine;

    // What depends on the sample rate: the one-pole factors of the loop filter and the DC blocker, held at
    // the stability limit below about 5 kHz for the loop filter (never for the DC blocker at the rates hosts
    // use).
    float loopFactor = 0.0f; // k x the loop filter's cutoff, or the stability limit
    float dcFactor = 0.0f;   // k x the DC blocker's cutoff, or the stability limit
    void prepare(float sampleRate) {
        const float k = onePoleCoefficient(sampleRate);
        loopFactor = k * loopFilterCutoff <= maxOnePoleFactor ? k * loopFilterCutoff : maxOnePoleFactor;
        dcFactor = k * dcBlockCutoff <= maxOnePoleFactor ? k * dcBlockCutoff : maxOnePoleFactor;
    }

    // Every filter state 0 and the lines (those built) cleared with their interpolation state.
    void reset();
};

// Loop gain of the string at pitch f in Hz: 0.99 at 620 Hz, rising 5e-6 per Hz, never reaching 1.
inline float stringLoopGain(float f) {
    float g = (f - 620.0f) * 4.99999987e-06f + 0.99f;
    if (g > 0.99999988f) {
        g = 0.99999988f;
    }
    return g;
}

// The string section during one block: the comb on the pluck, then the two lines, either one string of two
// coupled loops an octave below the key about 14 cents apart, or (PowerChord) two strings a fifth apart. Each
// line is peeked before its tick and again after it; the first peek of a sample returns the value cached at
// the end of the previous sample.
//
// The lines' delays change only when the pitch or the noise held at a control step does, so they are set
// then (a line's read position otherwise advances with its write position, exactly as setting the same
// delay again would place it). The state lives in locals for the block; store() writes it back.
struct StringRun {
    StringState& owner;
    DelayLine::Run lineA;
    DelayLine::Run lineB;
    DelayLine::Run comb;
    float stringOutput;
    float stringHighpass;
    float loopFilterState;
    float dcBlockState;
    bool stringActive;
    float maxDelay; // samples, of the string lines

    // Set when the pitch or the parameters may have changed, and when the noise hold has: the delays are
    // recomputed at the next step.
    bool combPitchChanged = true;
    bool pitchChanged = true;
    bool holdChanged = true;
    float loopGain = 0.0f;
    float detune = 1.0f; // M: the second loop's pitch factor from the held noise
    float loopFactor;    // the one-pole factors, held at the stability limit at low sample rates
    float dcFactor;
    static constexpr int32_t runAheadLimit = 32; // the longest run read ahead

    explicit StringRun(StringState& s) // s prepared for the rate
        : owner(s), lineA(s.stringLineA->begin()), lineB(s.stringLineB->begin()), comb(s.combLine->begin()),
          stringOutput(s.stringOutput), stringHighpass(s.stringHighpass), loopFilterState(s.loopFilterState),
          dcBlockState(s.dcBlockState), stringActive(s.stringActive),
          maxDelay(static_cast<float>(s.stringMaxDelay)), loopFactor(s.loopFactor), dcFactor(s.dcFactor) {}
    StringRun(const StringRun&) = delete;
    StringRun& operator=(const StringRun&) = delete;

    void store() {
        owner.stringLineA->end(lineA);
        owner.stringLineB->end(lineB);
        owner.combLine->end(comb);
        owner.stringOutput = stringOutput;
        owner.stringHighpass = stringHighpass;
        owner.loopFilterState = loopFilterState;
        owner.dcBlockState = dcBlockState;
        owner.stringActive = stringActive;
    }

    static float onePole(float& state, float x, float factor) {
        state = state + (x - state) * factor;
        return state;
    }

    // The comb on the pluck: its delay follows Fixing and the pitch f in Hz. Returns the combed pluck.
    float combStep(const SynthParams& params, float f, float pluck) {
        setCombDelay(params, f);
        return pluck - combFeedforward * comb.tickLinear(pluck);
    }
    void setCombDelay(const SynthParams& params, float f) {
        if (combPitchChanged) {
            comb.setDelay(params.Fixing * params.Fixing * 1210.0f + 4.0f - (f - 200.0f) * 0.489f);
            combPitchChanged = false;
        }
    }
    // The comb over a run of n samples that all tick it, when its reads precede its writes: the same
    // results as n combSteps.
    bool combRunsAhead(const SynthParams& params, float f, int32_t n) {
        setCombDelay(params, f);
        return comb.readsAheadOf(n);
    }
    void combAhead(int32_t n, const float* pluck, float* combed) {
        float reads[runAheadLimit + 1];
        comb.readAhead(n, reads);
        for (int32_t j = 0; j < n; ++j) {
            combed[j] = pluck[j] - combFeedforward * reads[j];
        }
        comb.writeAhead(n, pluck, reads, false);
    }

    // The string delays of pitch f in Hz: the divide and multiply by maxDelay round the delay as the first
    // version of this instrument did, whose sound is kept bit for bit.
    void setDelays(const SynthParams& params, float sr, float f, float noiseHold) {
        if (pitchChanged) {
            const float m = params.PowerChord == 0.0f ? singleStringRatio : powerChordRatio;
            lineA.setDelay(((sr / (f * m)) / maxDelay) * maxDelay);
            loopGain = stringLoopGain(f);
            pitchChanged = false;
            holdChanged = true;
        }
        if (holdChanged) {
            detune = noiseHold * params.Modulation * 0.04f + 1.0f;
            lineB.setDelay(((sr / (detune * f * 0.5f)) / maxDelay) * maxDelay);
            holdChanged = false;
        }
    }

    // True when both lines can run the next n samples ahead (DelayLine::Run::readsAheadOf): every read of
    // the run sees what was written before it, so the string's outputs are known before its inputs are.
    bool runsAhead(int32_t n) const { return lineA.readsAheadOf(n) && lineB.readsAheadOf(n); }

    // The string over a run of n samples read ahead, in three parts: readAhead gives both lines' peeks;
    // outputsAhead the string's outputs (and the single string's high-pass), which hear only those peeks;
    // and writeSingle or writePowerChord the lines' inputs, once the voice's outputs (the feedback) are
    // known.
    void readAhead(int32_t n, float* readA, float* readB, float* loopOf) {
        lineA.readAhead(n, readA);
        lineB.readAhead(n, readB);
        if (loopOf != nullptr) { // the single string's loop filter hears line B alone
            const float g = loopGain;
            const float factor = loopFactor;
            float state = loopFilterState; // in a register for the run
            for (int32_t j = 0; j < n; ++j) {
                const float b = softClip(readB[j], loopSoftClipKnee);
                loopOf[j] = onePole(state, b * g, factor);
            }
            loopFilterState = state;
        }
    }
    // outOf[j]: the string's output after sample j of the run. For the single string, highpassOf[j + 1]:
    // its high-pass after sample j (highpassOf[0] is the carried one, set here).
    template <bool single>
    void outputsAhead(int32_t n, const float* readA, const float* readB, float* outOf, float* highpassOf) {
        float out = stringOutput;
        if constexpr (single) {
            highpassOf[0] = stringHighpass;
            float dcBlock = dcBlockState; // in a register for the run
            const float factor = dcFactor;
            for (int32_t j = 0; j < n; ++j) {
                out = (readA[j + 1] + readB[j + 1]) * 0.5f;
                onePole(dcBlock, out, factor);
                highpassOf[j + 1] = out - dcBlock;
                outOf[j] = out;
            }
            dcBlockState = dcBlock;
            stringHighpass = highpassOf[n];
        } else {
            for (int32_t j = 0; j < n; ++j) {
                out = (readB[j + 1] + readA[j + 1]) * 0.5f;
                outOf[j] = out;
            }
        }
        stringOutput = out;
    }
    // highpassOf, feedbackOf: the high-pass and the voice's output before each sample of the run (n + 1
    // values: the carried ones, then each sample's). No value is carried from one sample to the next, so
    // the compiler computes several samples' inputs at a time.
    void writeSingle(int32_t n, const float* readA, const float* readB, const float* loopOf,
                     const float* combed, const float* highpassOf, const float* feedbackOf) {
        float inA[runAheadLimit];
        float inB[runAheadLimit];
        const float g = loopGain;
        for (int32_t j = 0; j < n; ++j) {
            const float w = combed[j] + detune * feedbackOf[j] * singleFeedback;
            inA[j] = (readA[j] + highpassOf[j]) * g * 0.5f + w;
            inB[j] = loopOf[j] + w;
        }
        lineA.writeAhead(n, inA, readA);
        lineB.writeAhead(n, inB, readB);
        stringActive = true;
    }
    void writePowerChord(int32_t n, const float* readA, const float* readB, const float* combed,
                         const float* feedbackOf) {
        float inA[runAheadLimit];
        float inB[runAheadLimit];
        const float g = loopGain;
        for (int32_t j = 0; j < n; ++j) {
            const float q = detune * feedbackOf[j] * chordFeedback;
            onePole(dcBlockState, q, dcFactor);
            float v = combed[j] + (q - dcBlockState);
            if (v > 1.0f) {
                v = 1.0f;
            } else if (v < -1.0f) {
                v = -1.0f;
            }
            inA[j] = readA[j] * g + v;
            inB[j] = readB[j] * g + v;
        }
        lineA.writeAhead(n, inA, readA);
        lineB.writeAhead(n, inB, readB);
        stringActive = true;
    }

    // One sample of the single string: two coupled loops.
    template <bool within = false> void stepSingle(float combed, float lastVoiceOutput) {
        const float g = loopGain;
        const float feedback = detune * lastVoiceOutput; // Q
        const float w = combed + feedback * singleFeedback;
        lineA.tickLinear<within>((lineA.nextOutLinear<within>() + stringHighpass) * g * 0.5f + w);
        const float b = softClip(lineB.nextOutLinear<within>(), loopSoftClipKnee);
        onePole(loopFilterState, b * g, loopFactor);
        lineB.tickLinear<within>(loopFilterState + w);
        stringOutput = (lineA.nextOutLinear<within>() + lineB.nextOutLinear<within>()) * 0.5f;
        onePole(dcBlockState, stringOutput, dcFactor);
        stringHighpass = stringOutput - dcBlockState;
        stringActive = true;
    }

    // One sample of the power chord: two strings a fifth apart, fed the same excitation.
    template <bool within = false> void stepPowerChord(float combed, float lastVoiceOutput) {
        const float g = loopGain;
        const float feedback = detune * lastVoiceOutput; // Q
        const float q = feedback * chordFeedback;
        onePole(dcBlockState, q, dcFactor);
        float v = combed + (q - dcBlockState);
        if (v > 1.0f) {
            v = 1.0f;
        } else if (v < -1.0f) {
            v = -1.0f;
        }
        lineA.tickLinear<within>(lineA.nextOutLinear<within>() * g + v);
        lineB.tickLinear<within>(lineB.nextOutLinear<within>() * g + v);
        stringOutput = (lineB.nextOutLinear<within>() + lineA.nextOutLinear<within>()) * 0.5f;
        stringActive = true;
    }
};

// One string step on the stored state, the delays set from the pitch and the held noise.
inline void stringStep(StringState& s, const SynthParams& params, float sr, float voiceFrequency,
                       float noiseHold, float pluck, float lastVoiceOutput) {
    s.prepare(sr);
    StringRun run(s);
    run.setDelays(params, sr, voiceFrequency, noiseHold);
    const float combed = run.combStep(params, voiceFrequency, pluck);
    if (params.PowerChord == 0.0f) {
        run.stepSingle(combed, lastVoiceOutput);
    } else {
        run.stepPowerChord(combed, lastVoiceOutput);
    }
    run.store();
}

} // namespace solvantis
