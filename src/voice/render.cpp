#include <cmath>
#include <cstring>

#include "dsp/delay_line.h"
#include "dsp/engine_setup.h"
#include "dsp/lookup_tables.h"
#include "voice/denormal_guard.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/note_logic.h"
#include "voice/string_model.h"
#include "voice/synth_engine.h"
#include "voice/tone_stages.h"

namespace solvantis {

namespace {

// A sample or state beyond these magnitudes is a fault, as is anything not finite. Legal settings can be very
// loud: under random automation of every parameter within 0..1, with notes coming and going at 44.1 and
// 96 kHz, the output reached 1217 (the overdrive's cubic on a resonant tone filter) and the recirculating
// states 1009. The bounds leave a margin of 40 dB above that, while a runaway passes them within a block or
// two, long before it overflows.
constexpr float outputBound = 1.0e5f;
constexpr float stateBound = 1.0e5f;

// True when x is beyond the bound or not a number at all.
inline bool outOfBounds(float x, float bound) {
    return !(std::fabs(x) <= bound);
}

// The recirculating states and the envelope: if one of them has run away, the voice cannot recover alone.
bool stateRanAway(const EngineState& e) {
    const StringState& s = e.string;
    const ToneFilterState& t = e.tone;
    const ChorusState& c = e.chorus;
    const EnvelopeState& env = e.envelope;
    bool bad = false;
    for (float v : {e.exciter.noiseState,
                    s.stringOutput,
                    s.stringHighpass,
                    s.loopFilterState,
                    s.dcBlockState,
                    e.lastVoiceOutput,
                    t.toneLow1,
                    t.toneLow2,
                    t.splitLow,
                    t.splitBand,
                    t.svfBand,
                    t.svfLow,
                    t.levelGain,
                    c.chorusLowState,
                    c.chorusOutLeft,
                    c.chorusOutRight,
                    env.envelopeLevel,
                    env.sustainLevel,
                    env.attackStartLevel,
                    env.releaseStartLevel}) {
        bad |= outOfBounds(v, stateBound);
    }
    return bad;
}

// After a block that ran away: every line and filter state cleared, the envelope idle, so the next note
// after sane values arrive sounds normally. The note list and the held keys are kept.
void resetRecirculatingState(EngineState& e) {
    for (DelayLine* line : {e.string.stringLineA.get(), e.string.stringLineB.get(), e.string.combLine.get(),
                            e.chorus.chorusLineLeft.get(), e.chorus.chorusLineRight.get()}) {
        line->reset();
    }

    e.exciter.noiseState = 0.0f;
    e.exciter.pluckCount = 0;
    StringState& s = e.string;
    s.stringOutput = s.stringHighpass = s.loopFilterState = s.dcBlockState = 0.0f;
    s.stringActive = false;
    ToneFilterState& t = e.tone;
    t.toneLow1 = t.toneLow2 = t.splitLow = t.splitBand = t.svfBand = t.svfLow = 0.0f;
    t.levelGain = 1.0f;
    ChorusState& c = e.chorus;
    c.chorusLowState = c.chorusOutLeft = c.chorusOutRight = 0.0f;
    e.envelope = EnvelopeState{};
    e.voice.voiceGate = false;
    e.voice.velocityFactor = 0.0f;
    if (!std::isfinite(e.voice.voiceFrequency)) {
        e.voice.voiceFrequency = 200.0f;
    }
    e.lastVoiceOutput = 0.0f;
}

void renderBlock(EngineState& e, const SynthParams& p, float sr, float* left, float* right, int32_t frames) {
    // Per-block values.
    e.smoothingCoefficient = 6.28319f / sr;
    const float k = e.smoothingCoefficient;
    EnvelopeBlock blk(p, sr);
    const float volume = p.Volume;
    const float chorusBaseDelay = sr * 0.03f; // samples
    const double recovery = levelRecovery(sr);
    const float* frequencies = noteFrequencies.data();

    // Per-block working variables.
    int32_t controlTick = 0;
    // The velocity factor carries over from the previous block: a block starting mid-pluck would otherwise
    // pluck that sample at a fifth of the strength and with the noise filter shut, and a host with small
    // blocks would play every note softer.
    float velocityFactor = e.voice.velocityFactor;
    float noiseHold = 0.0f;
    float svfCutoff = 0.0f; // Hz
    e.lastVoiceOutput = 0.0f;

    NoteListCursor cursor(e.voice);
    const int32_t lastFrame = frames - 1;
    bool ranAway = false;

    for (int32_t i = 0; i < frames; ++i) {
        if (++controlTick > 20) {
            controlTick = 0;
        }
        const bool controlStep = controlTick == 1;

        noiseStep(e.exciter, p, k, velocityFactor, e.voice.voiceVelocity, controlStep, noiseHold);
        const float pluck =
            pluckStep(e.exciter, p, e.voice.voiceGate, e.voice.voiceFrequency, velocityFactor);
        if (e.envelope.envelopeLevel > 0.0f) {
            stringStep(e.string, p, sr, k, e.voice.voiceFrequency, noiseHold, pluck, e.lastVoiceOutput);
        } else {
            e.string.stringActive = false;
        }
        const float x = e.string.stringOutput * 1.4f;

        cursor.applyDue(e.voice, i, lastFrame, p.Legato, frequencies);

        if (e.voice.voiceVelocity > 0.0f) {
            velocityFactor = e.voice.voiceVelocity * p.Velocity + (1.0f - p.Velocity);
        }
        envelopeStep(e.envelope, e.voice, blk, p, sr, k, velocityFactor);
        const float env = e.envelope.envelopeLevel;
        const bool active = e.string.stringActive;

        float z = x;
        if (active) {
            z = distorterStep(x, p.Distorter);
            if (p.DynaTone > 0.0f || p.PowerChord > 0.0f) {
                z = toneFilterStep(e.tone, p, z, sr, k, env, controlStep, svfCutoff, recovery);
            }
        }
        e.lastVoiceOutput = z * env;

        const float overdrive = p.Overdrive;
        float gain = z * (2.0f * overdrive + (1.0f - overdrive)) * env;
        if (active && overdrive != 0.0f) {
            gain = overdriveStep(gain, overdrive, volume);
        }
        const float l = gain * volume;

        float outLeft;
        float outRight;
        const float chorus = p.Chorus;
        if (active && chorus != 0.0f) {
            chorusStep(e.chorus, l, chorus, k, chorusBaseDelay, e.voice.midiVolume, outLeft, outRight);
        } else {
            outLeft = outRight = e.voice.midiVolume * l;
        }
        left[i] = outLeft;
        right[i] = outRight;
        ranAway |= outOfBounds(outLeft, outputBound) | outOfBounds(outRight, outputBound);
    }

    e.voice.velocityFactor = velocityFactor;

    if (ranAway || stateRanAway(e)) {
        if (frames > 0) {
            std::memset(left, 0, sizeof(float) * static_cast<size_t>(frames));
            std::memset(right, 0, sizeof(float) * static_cast<size_t>(frames));
        }
        resetRecirculatingState(e);
        ++e.runawayBlocks;
    }
}

} // namespace

void SynthEngine::processReplacing(const SynthParams& params, float sampleRate, float** outputs,
                                   int32_t sampleFrames) {
    if (outputs == nullptr || outputs[0] == nullptr || outputs[1] == nullptr) {
        return;
    }
    if (!engineIsComplete(state)) {
        for (int32_t i = 0; i < sampleFrames; ++i) {
            outputs[0][i] = 0.0f;
            outputs[1][i] = 0.0f;
        }
        return;
    }
    DenormalGuard flushDenormals;
    // The block renders from one reading of the live values: another thread may store into them meanwhile.
    SynthParams blockParams;
    copyParameters(blockParams, params);
    renderBlock(state, blockParams, sampleRate, outputs[0], outputs[1], sampleFrames);
}

} // namespace solvantis
