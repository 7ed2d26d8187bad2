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

// A sample or state beyond these magnitudes is a fault, as is anything not finite. Under random automation
// of every parameter within 0..1, with notes coming and going at 44.1 and 96 kHz, the output stays below
// 6 and the recirculating states below 40 (the random-automation test measures it); the bounds leave a
// margin of more than 40 dB, so no legal setting comes near them, while a runaway is caught long before
// it overflows.
constexpr float outputBound = 1000.0f;
constexpr float stateBound = 10000.0f;

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
    if (!std::isfinite(e.voice.voiceFrequency)) {
        e.voice.voiceFrequency = 200.0f;
    }
    e.lastVoiceOutput = 0.0f;
}

constexpr int32_t controlPeriod = 21; // samples from one control step to the next; frame 0 of a block is one

// True when a value in the block's outputs is beyond the bound or not a number.
bool outputRanAway(const float* left, const float* right, int32_t frames) {
    int32_t bad = 0;
    for (int32_t i = 0; i < frames; ++i) {
        bad |= static_cast<int32_t>(outOfBounds(left[i], outputBound)) |
               static_cast<int32_t>(outOfBounds(right[i], outputBound));
    }
    return bad != 0;
}

// The per-sample sequence: exciter, string, note list, envelope, distorter, tone filter with limiter, gain
// with overdrive, chorus. The stages hold their state in locals for the block (the *Run objects), and what
// changes only with a note, a control step or the block is computed then.
void renderBlock(EngineState& e, const SynthParams& p, float sr, float* left, float* right, int32_t frames) {
    // Per-block values.
    e.smoothingCoefficient = 6.28319f / sr;
    const float k = e.smoothingCoefficient;
    EnvelopeBlock blk(p, sr);
    const float volume = p.Volume;
    const double recovery = levelRecovery(sr);
    const float* frequencies = noteFrequencies.data();
    const float sustainTarget = e.voice.modWheel * p.Sustain;
    const bool sustainLimited = !(k * sustainGlideCutoff <= maxOnePoleFactor);
    const float overdrive = p.Overdrive;
    const float overdriveGain = 2.0f * overdrive + (1.0f - overdrive);
    const bool overdriveOn = overdrive != 0.0f;
    const bool toneOn = p.DynaTone > 0.0f || p.PowerChord > 0.0f;
    const bool powerChord = p.PowerChord != 0.0f;
    const float chorus = p.Chorus;
    const bool chorusOn = chorus != 0.0f;
    const float midiVolume = e.voice.midiVolume;

    // Per-block working variables: the control clock, the velocity factor and the noise hold restart.
    int32_t controlTick = 0;
    float velocityFactor = 0.0f;
    float noiseHold = 0.0f;
    float lastVoiceOutput = 0.0f;

    ExciterRun exciter(e.exciter);
    StringRun string(e.string, k);
    ToneRun tone(e.tone, p, k, sr, recovery);
    ChorusRun chorusRun(e.chorus, k, sr * chorusBaseTime);
    EnvelopeState env = e.envelope;

    VoiceState& voice = e.voice;
    bool gate = voice.voiceGate;
    float frequency = voice.voiceFrequency;
    float velocity = voice.voiceVelocity;
    float decayLengthClosed = closedDecayLength(p, sr, velocityFactor);
    exciter.setNote(p, k, velocityFactor, velocity, frequency);

    NoteListCursor cursor(voice);
    const int32_t lastFrame = frames - 1;
    int32_t nextDue = cursor.nextDue(lastFrame);
    bool noteChanged = true; // the velocity factor is taken after the first frame's entries

    for (int32_t i = 0; i < frames; ++i) {
        if (++controlTick == controlPeriod) {
            controlTick = 0;
        }
        const bool controlStep = controlTick == 1;

        exciter.noise(k, p.Pick);
        if (controlStep) {
            noiseHold = exciter.noiseState;
            string.holdChanged = true;
        }
        const float pluck = exciter.pluck(gate, p.Exciter);
        if (env.envelopeLevel > 0.0f) {
            string.setDelays(p, sr, frequency, noiseHold);
            if (!powerChord) {
                string.stepSingle(k, pluck, lastVoiceOutput);
            } else {
                string.stepPowerChord(k, pluck, lastVoiceOutput);
            }
        } else {
            string.stringActive = false;
        }
        const float x = string.stringOutput * 1.4f;

        if (i >= nextDue) {
            voice.voiceGate = gate;
            cursor.applyDue(voice, i, lastFrame, p.Legato, frequencies);
            nextDue = cursor.nextDue(lastFrame);
            gate = voice.voiceGate;
            frequency = voice.voiceFrequency;
            velocity = voice.voiceVelocity;
            string.pitchChanged = true;
            noteChanged = true;
        }
        if (noteChanged) {
            if (velocity > 0.0f) {
                velocityFactor = velocity * p.Velocity + (1.0f - p.Velocity);
            }
            exciter.setNote(p, k, velocityFactor, velocity, frequency);
            decayLengthClosed = closedDecayLength(p, sr, velocityFactor);
            noteChanged = false;
        }
        envelopeStep(env, gate, blk, sustainTarget, decayLengthClosed, k, sustainLimited);
        const float level = env.envelopeLevel;
        const bool active = string.stringActive;

        float z = x;
        if (active) {
            z = distorterStep(x, p.Distorter);
            if (toneOn) {
                if (controlStep) {
                    tone.control(level);
                }
                z = tone.step(z, level);
            }
        }
        lastVoiceOutput = z * level;

        float gain = z * overdriveGain * level;
        if (active && overdriveOn) {
            gain = overdriveStep(gain, overdrive, volume);
        }
        const float l = gain * volume;

        float outLeft;
        float outRight;
        if (active && chorusOn) {
            chorusRun.step(l, chorus, midiVolume, outLeft, outRight);
        } else {
            outLeft = outRight = midiVolume * l;
        }
        left[i] = outLeft;
        right[i] = outRight;
    }

    exciter.store(e.exciter);
    string.store();
    tone.store();
    chorusRun.store();
    e.envelope = env;
    voice.voiceGate = gate;
    e.lastVoiceOutput = lastVoiceOutput;

    if (outputRanAway(left, right, frames) || stateRanAway(e)) {
        if (frames > 0) {
            std::memset(left, 0, sizeof(float) * static_cast<size_t>(frames));
            std::memset(right, 0, sizeof(float) * static_cast<size_t>(frames));
        }
        resetRecirculatingState(e);
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
