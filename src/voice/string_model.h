// The string model: the comb on the pluck and the two recirculating delay lines, one string of two coupled
// loops or, in PowerChord mode, two strings a fifth apart.
#pragma once
#include <bit>
#include <cstdint>
#include <memory>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "voice/string_tuning.h"
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

// PowerChord on: any value but 0 plays the two strings a fifth apart (and switches the tone filter on).
inline bool powerChordOn(const SynthParams& params) {
    return params.PowerChord != 0.0f;
}

// Loop gain of the string at pitch f in Hz: 0.99 at 620 Hz, rising 5e-6 per Hz, never reaching 1.
inline float stringLoopGain(float f) {
    float g = (f - 620.0f) * 4.99999987e-06f + 0.99f;
    if (g > 0.99999988f) {
        g = 0.99999988f;
    }
    return g;
}

// The comb runs ahead of the pluck and the lines are read a whole run ahead: a run is at most this long.
inline constexpr int32_t stringRunLimit = 32;

// Each line is peeked before its tick and again after it; the first peek of a sample returns the value
// cached at the end of the previous sample. The lines' delays change only when the pitch, the parameters or
// the noise held at a control step do, so they are set then (a line's read position otherwise advances with
// its write position, exactly as setting the same delay again would place it).
class StringModel {
public:
    float stringOutput = 0.0f;     // mean of the two lines' outputs
    float stringHighpass = 0.0f;   // stringOutput minus its 35 Hz low-pass, fed back into stringLineA
    float loopFilterState = 0.0f;  // 3900 Hz low-pass in stringLineB's loop
    float dcBlockState = 0.0f;     // 35 Hz low-pass state
    bool stringActive = false;     // the string section ran in this sample
    int32_t stringMaxDelay = 3000; // samples, maximum delay of the string lines
    std::unique_ptr<DelayLine> stringLineA;
    std::unique_ptr<DelayLine> stringLineB;
    std::unique_ptr<DelayLine> combLine;

    float lineHighpassA = 0.0f; // the low-pass states of the lines' input high-passes (their DC blockers)
    float lineHighpassB = 0.0f;

    // The one-pole factors of the loop filter and the DC blocker, with the responses they have at 44.1 kHz;
    // the comb's delay, stated in samples at 44.1 kHz, scales with the rate.
    void prepare(float rate) {
        sampleRate = rate;
        baseLoopFactor = rateMatchedFactor(loopFilterCutoff, rate);
        loopFactor = baseLoopFactor;
        dcFactor = rateMatchedFactor(dcBlockCutoff, rate);
        rateScale = rate / referenceRate;
        tunedFrequency = -1.0f; // the delays' corrections follow the new rate
    }

    // Every filter state 0 and the lines (those built) cleared with their interpolation state.
    void reset() {
        stringOutput = stringHighpass = loopFilterState = dcBlockState = 0.0f;
        lineHighpassA = lineHighpassB = 0.0f;
        stringActive = false;
        for (DelayLine* line : {stringLineA.get(), stringLineB.get(), combLine.get()}) {
            if (line != nullptr) {
                line->reset();
            }
        }
    }

    // The block's parameters (Fixing, Modulation, PowerChord): the delays are set again at the next tick.
    void setParameters(const SynthParams& params) {
        combDelayBase = params.Fixing * params.Fixing * 1210.0f + 4.0f;
        modulation = params.Modulation;
        const bool chord = powerChordOn(params);
        if (chord != powerChord) {
            powerChord = chord;
            tunedFrequency = -1.0f;
        }
        pitchChanged = holdChanged = combPitchChanged = true;
    }
    // A note entry changed the pitch, or a control step the held noise: the delays follow at the next tick.
    void markPitchChanged() { pitchChanged = combPitchChanged = true; }
    void markNoiseHoldChanged() { holdChanged = true; }
    // A sample in which the string stands still (the envelope at 0).
    void rest() { stringActive = false; }

    // One sample: the comb on the pluck, then the lines. f: the pitch in Hz; noiseHold: the exciter's held
    // noise; lastVoiceOutput: the voice's output of the previous sample, fed back into the lines.
    void tick(float f, float noiseHold, float pluck, float lastVoiceOutput) {
        setCombDelay(f);
        const float combed = combOutput(pluck, combLine->tickLinear(pluck));
        setDelays(f, noiseHold);
        step<false>(combed, lastVoiceOutput);
    }

    // A run of n samples (at most stringRunLimit) at pitch f, where bit j of `runs` says whether the string
    // runs on sample j (otherwise it rests), in three parts; the voice after the string, whose output feeds
    // the string again one sample later, runs between them:
    //   startRun: the comb on the run's plucks and the lines' delays. Where every sample runs and the lines
    //   can be read for the whole run ahead (no read of the run sees one of its writes), the lines are read
    //   and run.outputs holds the string's output after each sample; it returns true.
    //   The caller then writes run.fedBack[j + 1], the voice's output after sample j fed back, and
    //   finishRun writes the lines' inputs. Otherwise (false) the caller goes through the run sample by
    //   sample with stepRun or rest.
    // The same results as the n ticks and rests, bit for bit.
    struct Run {
        int32_t n = 0;
        bool noWrap = false; // the lines' positions stay clear of the buffers' ends through the run
        float combed[stringRunLimit];
        float readA[stringRunLimit + 1];
        float readB[stringRunLimit + 1];
        float loopOutputs[stringRunLimit];
        float highpasses[stringRunLimit + 1];
        float outputs[stringRunLimit];
        float fedBack[stringRunLimit + 1]; // the voice's output before each sample: the carried one first
    };
    [[gnu::always_inline]] bool startRun(int32_t n, uint32_t runs, const float* pluck, float f,
                                         float noiseHold, float lastVoiceOutput, Run& run) {
        const uint32_t all = (1u << n) - 1u;
        run.n = n;
        // The comb's delay first: its read position stands still with its write position until it ticks.
        setCombDelay(f);
        if (runs == all && combLine->readsAheadOf(n)) {
            float reads[stringRunLimit + 1];
            combLine->readAhead(n, reads);
            for (int32_t j = 0; j < n; ++j) {
                run.combed[j] = combOutput(pluck[j], reads[j]);
            }
            combLine->writeAhead(n, pluck, reads, false);
        } else {
            for (int32_t j = 0; j < n; ++j) {
                if ((runs >> j & 1u) != 0) {
                    run.combed[j] = combOutput(pluck[j], combLine->tickLinear(pluck[j]));
                }
            }
        }
        if (runs != 0) {
            setDelays(f, noiseHold);
        }
        if (runs == all && stringLineA->readsAheadOf(n) && stringLineB->readsAheadOf(n)) {
            stringLineA->readAhead(n, run.readA);
            stringLineB->readAhead(n, run.readB);
            run.fedBack[0] = lastVoiceOutput;
            if (powerChord) {
                outputsAhead<false>(n, run.readA, run.readB, run.outputs, nullptr);
            } else {
                loopAhead(n, run.readB, run.loopOutputs);
                outputsAhead<true>(n, run.readA, run.readB, run.outputs, run.highpasses);
            }
            return true;
        }
        run.noWrap = stringLineA->clearFor(n) && stringLineB->clearFor(n);
        return false;
    }
    [[gnu::always_inline]] void finishRun(const Run& run) {
        if (powerChord) {
            writePowerChord(run.n, run.readA, run.readB, run.combed, run.fedBack);
        } else {
            writeSingle(run.n, run.readA, run.readB, run.loopOutputs, run.combed, run.highpasses,
                        run.fedBack);
        }
    }
    // Sample j of a run that startRun did not read ahead, where the string runs.
    [[gnu::always_inline]] void stepRun(const Run& run, int32_t j, float lastVoiceOutput) {
        if (run.noWrap) {
            step<true>(run.combed[j], lastVoiceOutput);
        } else {
            step<false>(run.combed[j], lastVoiceOutput);
        }
    }

private:
    float sampleRate = 0.0f;
    float loopFactor = 0.0f; // the one-pole factors, held at the stability limit at low sample rates
    float baseLoopFactor =
        0.0f; // the loop filter's at its 3900 Hz, which loopFactor opens from above the knee
    float dcFactor = 0.0f;
    // From the parameters: the comb's delay at 200 Hz, the depth of the second loop's detuning, the mode.
    float combDelayBase = 0.0f;
    float modulation = 0.0f;
    bool powerChord = false;
    // Set when the pitch, the parameters or the noise hold may have changed: the delays are recomputed at
    // the next tick.
    bool combPitchChanged = true;
    bool pitchChanged = true;
    bool holdChanged = true;
    float loopGain = 0.0f;
    float detune = 1.0f;    // M: the second loop's pitch factor from the held noise
    float rateScale = 1.0f; // the rate over 44.1 kHz
    // The pitch (and mode and rate) the corrections below were computed for; -1 when they must be again.
    float tunedFrequency = -1.0f;
    float delayCorrectionA = 0.0f; // samples: the phase delays the lines' loops add at their pitches
    float delayCorrectionB = 0.0f;
    float highpassFactorA = 0.0f; // the lines' input high-passes, a thirty-second of each line's pitch
    float highpassFactorB = 0.0f;

    // The comb takes combFeedforward of the pluck it delayed away from the pluck.
    static float combOutput(float pluck, float delayed) { return pluck - combFeedforward * delayed; }

    // The comb's delay follows Fixing and the pitch f in Hz, in samples at 44.1 kHz scaled to the rate. Where
    // it would fall below a quarter of the string's period (high keys: above about 740 Hz at the default
    // Fixing, where it heads for zero and the comb would take nine tenths of the pluck away) it stays there.
    void setCombDelay(float f) {
        if (combPitchChanged) {
            float d = combDelayBase - (f - 200.0f) * 0.489f;
            // A quarter of the period the string rings at (f / 2), where the comb lifts the fundamental
            // instead of taking it away; never more than the delay at 200 Hz, so no key at or below 200 Hz
            // moves.
            float floor = 0.25f * referenceRate / (0.5f * f);
            floor = floor < combDelayBase ? floor : combDelayBase;
            d = d > floor ? d : floor; // a pitch that is not a number gets the floor too
            combLine->setDelay(d * rateScale);
            combPitchChanged = false;
        }
    }

    // The corrections of pitch f: each line is shorter than the period it rings at by the phase delay its
    // loop adds there (the loop filter and the DC blockers), so the loop as a whole rings at that period.
    // Computed when the pitch, the mode or the rate change, never per sample.
    void tuneFor(float f) {
        if (std::bit_cast<uint32_t>(f) == std::bit_cast<uint32_t>(tunedFrequency)) {
            return;
        }
        tunedFrequency = f;
        const double rate = sampleRate;
        const double pitchA = static_cast<double>(f) * (powerChord ? powerChordRatio : singleStringRatio);
        const double pitchB = static_cast<double>(f) * 0.5;
        // Frequencies over half the rate; a pitch at or beyond it (or not a number) is not corrected.
        const double xA = 2.0 * pitchA / rate;
        const double xB = 2.0 * pitchB / rate;
        highpassFactorA = 0.0f; // a pitch beyond half the rate (or not a number) has no DC blocker
        highpassFactorB = 0.0f;
        loopFactor = baseLoopFactor;
        double correctionA = 0.0;
        double correctionB = 0.0;
        if (xA > 0.0 && xA < 1.0 && xB > 0.0 && xB < 1.0) {
            highpassFactorA = exactOnePoleFactor(pitchA * tuning::loopDcRatio, rate);
            highpassFactorB = exactOnePoleFactor(pitchB * tuning::loopDcRatio, rate);
            if (!powerChord && xB > tuning::loopDecayKnee / rate) {
                // Above the knee the loop filter opens as far as the loop gain, the line's interpolation and
                // the knee's loss a period ask.
                const double gainB = static_cast<double>(stringLoopGain(f));
                const double kneeGain =
                    static_cast<double>(stringLoopGain(static_cast<float>(tuning::loopDecayKnee)));
                const double highpassB = tuning::highPassDelay(xB, highpassFactorB);
                // The line's length depends on the filter's delay, and its interpolation's loss on the
                // length: twice round settles the fraction.
                double factor = baseLoopFactor;
                for (int round = 0; round < 2; ++round) {
                    const double lengthB =
                        2.0 / xB - tuning::lowPassDelay(xB, static_cast<float>(factor)) - highpassB;
                    factor = tuning::loopFactorAbove(
                        xB, tuning::loopDecayKnee / rate, static_cast<double>(baseLoopFactor),
                        gainB * gainB * tuning::linearReadGainSquared(xB, lengthB), kneeGain * kneeGain);
                }
                loopFactor = static_cast<float>(factor);
            }
            if (powerChord) {
                correctionA = tuning::highPassDelay(xA, highpassFactorA);
            } else {
                correctionA = tuning::withHalfHighPassDelay(xA, dcFactor);
            }
            correctionB = tuning::lowPassDelay(xB, powerChord ? 1.0f : loopFactor) +
                          tuning::highPassDelay(xB, highpassFactorB);
        }
        delayCorrectionA = static_cast<float>(correctionA);
        delayCorrectionB = static_cast<float>(correctionB);
    }

    // The string delays of pitch f in Hz: the period each line rings at, less its loop's phase delay.
    void setDelays(float f, float noiseHold) {
        if (pitchChanged) {
            tuneFor(f);
            const float m = powerChord ? powerChordRatio : singleStringRatio;
            stringLineA->setDelay(sampleRate / (f * m) - delayCorrectionA);
            loopGain = stringLoopGain(f);
            pitchChanged = false;
            holdChanged = true;
        }
        if (holdChanged) {
            detune = noiseHold * modulation * 0.04f + 1.0f;
            stringLineB->setDelay(sampleRate / (detune * f * 0.5f) - delayCorrectionB);
            holdChanged = false;
        }
    }

    // A line's fed-back signal less its one-pole low-pass: the DC blocker inside each loop.
    float highpassA(float in) { return in - OnePole::step(lineHighpassA, in, highpassFactorA); }
    float highpassB(float in) { return in - OnePole::step(lineHighpassB, in, highpassFactorB); }

    // The input to the power chord's strings: the combed pluck and the fed-back output q less its 35 Hz
    // low-pass, limited to +-1.
    float chordInput(float combed, float q) {
        OnePole::step(dcBlockState, q, dcFactor);
        return chordLimit(combed + (q - dcBlockState));
    }
    static float chordLimit(float v) { return v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v); }

    // One sample of the lines, in the block's mode.
    template <bool noWrap> void step(float combed, float lastVoiceOutput) {
        if (powerChord) {
            stepPowerChord<noWrap>(combed, lastVoiceOutput);
        } else {
            stepSingle<noWrap>(combed, lastVoiceOutput);
        }
    }

    // One sample of the single string: two coupled loops.
    template <bool noWrap> void stepSingle(float combed, float lastVoiceOutput) {
        DelayLine& lineA = *stringLineA;
        DelayLine& lineB = *stringLineB;
        const float g = loopGain;
        const float feedback = detune * lastVoiceOutput; // Q
        const float w = combed + feedback * singleFeedback;
        lineA.tickLinear<noWrap>((lineA.nextOutLinear<noWrap>() + stringHighpass) * g * 0.5f + w);
        const float b = softClip(lineB.nextOutLinear<noWrap>(), loopSoftClipKnee);
        OnePole::step(loopFilterState, b * g, loopFactor);
        lineB.tickLinear<noWrap>(highpassB(loopFilterState) + w);
        stringOutput = (lineA.nextOutLinear<noWrap>() + lineB.nextOutLinear<noWrap>()) * 0.5f;
        OnePole::step(dcBlockState, stringOutput, dcFactor);
        stringHighpass = stringOutput - dcBlockState;
        stringActive = true;
    }

    // One sample of the power chord: two strings a fifth apart, fed the same excitation.
    template <bool noWrap> void stepPowerChord(float combed, float lastVoiceOutput) {
        DelayLine& lineA = *stringLineA;
        DelayLine& lineB = *stringLineB;
        const float g = loopGain;
        const float feedback = detune * lastVoiceOutput; // Q
        const float v = chordInput(combed, feedback * chordFeedback);
        lineA.tickLinear<noWrap>(highpassA(lineA.nextOutLinear<noWrap>() * g) + v);
        lineB.tickLinear<noWrap>(highpassB(lineB.nextOutLinear<noWrap>() * g) + v);
        stringOutput = (lineB.nextOutLinear<noWrap>() + lineA.nextOutLinear<noWrap>()) * 0.5f;
        stringActive = true;
    }

    // A run read ahead, in parts. loopAhead: the single string's loop filter, which hears line B's reads
    // alone.
    void loopAhead(int32_t n, const float* readB, float* loopOutputs) {
        const float g = loopGain;
        const float factor = loopFactor;
        const float dcFactorB = highpassFactorB;
        float state = loopFilterState; // in registers for the run
        float dcState = lineHighpassB;
        for (int32_t j = 0; j < n; ++j) {
            const float b = softClip(readB[j], loopSoftClipKnee);
            const float low = OnePole::step(state, b * g, factor);
            loopOutputs[j] = low - OnePole::step(dcState, low, dcFactorB);
        }
        loopFilterState = state;
        lineHighpassB = dcState;
    }
    // outputs[j]: the string's output after sample j of the run. For the single string, highpasses[j + 1]:
    // its high-pass after sample j (highpasses[0] is the carried one, set here).
    template <bool single>
    void outputsAhead(int32_t n, const float* readA, const float* readB, float* outputs, float* highpasses) {
        float out = stringOutput;
        if constexpr (single) {
            highpasses[0] = stringHighpass;
            float dcBlock = dcBlockState; // in a register for the run
            const float factor = dcFactor;
            for (int32_t j = 0; j < n; ++j) {
                out = (readA[j + 1] + readB[j + 1]) * 0.5f;
                OnePole::step(dcBlock, out, factor);
                highpasses[j + 1] = out - dcBlock;
                outputs[j] = out;
            }
            dcBlockState = dcBlock;
            stringHighpass = highpasses[n];
        } else {
            for (int32_t j = 0; j < n; ++j) {
                out = (readB[j + 1] + readA[j + 1]) * 0.5f;
                outputs[j] = out;
            }
        }
        stringOutput = out;
    }
    // The lines' inputs once the fed-back outputs before each sample (fedBack, n + 1 values) are known. No
    // value is carried from one sample to the next, so the compiler computes several samples' inputs at a
    // time.
    void writeSingle(int32_t n, const float* readA, const float* readB, const float* loopOutputs,
                     const float* combed, const float* highpasses, const float* fedBack) {
        float inA[stringRunLimit];
        float inB[stringRunLimit];
        const float g = loopGain;
        const float m = detune;
        for (int32_t j = 0; j < n; ++j) {
            const float w = combed[j] + m * fedBack[j] * singleFeedback;
            inA[j] = (readA[j] + highpasses[j]) * g * 0.5f + w;
            inB[j] = loopOutputs[j] + w;
        }
        stringLineA->writeAhead(n, inA, readA);
        stringLineB->writeAhead(n, inB, readB);
        stringActive = true;
    }
    void writePowerChord(int32_t n, const float* readA, const float* readB, const float* combed,
                         const float* fedBack) {
        float inA[stringRunLimit];
        float inB[stringRunLimit];
        const float g = loopGain;
        const float m = detune;
        // The three recurrences (the input's DC blocker and each loop's) first, side by side in registers;
        // the inputs then take several samples at a time.
        float inputLows[stringRunLimit];
        float lowsA[stringRunLimit];
        float lowsB[stringRunLimit];
        float dc = dcBlockState, dcA = lineHighpassA, dcB = lineHighpassB;
        const float factor = dcFactor, factorA = highpassFactorA, factorB = highpassFactorB;
        for (int32_t j = 0; j < n; ++j) {
            inputLows[j] = OnePole::step(dc, m * fedBack[j] * chordFeedback, factor);
            lowsA[j] = OnePole::step(dcA, readA[j] * g, factorA);
            lowsB[j] = OnePole::step(dcB, readB[j] * g, factorB);
        }
        for (int32_t j = 0; j < n; ++j) {
            const float v = chordLimit(combed[j] + (m * fedBack[j] * chordFeedback - inputLows[j]));
            inA[j] = (readA[j] * g - lowsA[j]) + v;
            inB[j] = (readB[j] * g - lowsB[j]) + v;
        }
        dcBlockState = dc;
        lineHighpassA = dcA;
        lineHighpassB = dcB;
        stringLineA->writeAhead(n, inA, readA);
        stringLineB->writeAhead(n, inB, readB);
        stringActive = true;
    }
};

} // namespace solvantis
