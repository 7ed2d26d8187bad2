// The plain render: the voice's per-sample sequence written as it reads, one stage's step after another, with
// nothing computed ahead, no chunks and no vectors. It is where a reader starts; the fast render
// (render_block.inc) must give exactly its bits, which the differential tests and a fuzz target hold.
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "dsp/lookup_tables.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/note_logic.h"
#include "voice/render_parts.h"
#include "voice/string_model.h"
#include "voice/tone_stages.h"

namespace solvantis::render {

void renderPlain(EngineState& e, const SynthParams& p, float sr, float* left, float* right, int32_t frames) {
    // What the block takes from the parameters and the rate.
    if (std::bit_cast<uint32_t>(sr) != std::bit_cast<uint32_t>(e.preparedRate)) {
        e.prepare(sr);
    }
    const float k = e.smoothingCoefficient;
    const EnvelopeBlock blk(p, sr);
    const float volume = p.Volume;
    const float overdrive = p.Overdrive;
    const float overdriveGain = 2.0f * overdrive + (1.0f - overdrive); // 1 + Overdrive
    const bool toneOn = p.DynaTone > 0.0f || p.PowerChord > 0.0f;
    const bool chorusOn = p.Chorus != 0.0f;
    // Controllers apply from the start of the block that carries them.
    const float sustainTarget = e.voice.modWheel * p.Sustain;
    const float sustainFactor = sustainGlideFactor(k);
    const float midiVolume = e.voice.midiVolume;

    VoiceState& voice = e.voice;
    EnvelopeState& env = e.envelope;
    ExciterRun exciter(e.exciter);
    StringRun string(e.string);
    ToneRun tone(e.tone, p, k, sr, e.tone.recovery);
    std::optional<ChorusRun> chorus; // only a block with the chorus on touches its lines
    if (chorusOn) {
        chorus.emplace(e.chorus, k, e.chorus.baseDelay);
    }
    DirectPowers powers;
    NoteListCursor cursor(voice);
    const int32_t lastFrame = frames - 1;

    for (int32_t i = 0; i < frames; ++i) {
        // 1. The control clock: every 21st frame is a control step.
        const bool controlStep = e.controlTick == 0;
        e.controlTick = e.controlTick + 1 == controlPeriod ? 0 : e.controlTick + 1;

        // 2. The exciter noise, at the previous frame's velocity factor; held on control steps.
        exciter.setNote(p, k, voice.velocityFactor, voice.voiceVelocity, voice.voiceFrequency);
        exciter.noise(p.Pick);
        if (controlStep) {
            e.exciter.noiseHold = exciter.noiseState;
            string.holdChanged = true;
        }
        // 3. The pluck.
        const float pluck = exciter.pluck(voice.voiceGate, p.Exciter);
        // 4. The string, while the envelope is above 0.
        if (env.envelopeLevel > 0.0f) {
            const float combed = string.combStep(p, voice.voiceFrequency, pluck);
            string.setDelays(p, sr, voice.voiceFrequency, e.exciter.noiseHold);
            if (p.PowerChord == 0.0f) {
                string.stepSingle(combed, e.lastVoiceOutput);
            } else {
                string.stepPowerChord(combed, e.lastVoiceOutput);
            }
        } else {
            string.stringActive = false;
        }
        const bool active = string.stringActive;
        // 5.
        const float x = string.stringOutput * stringOutputGain;
        // 6. The note entries due at this frame; the string hears a new pitch from the next frame.
        if (cursor.nextDue(lastFrame) <= i) {
            cursor.applyDue(voice, i, lastFrame, p.Legato, noteFrequencies.data());
            string.pitchChanged = true;
            string.combPitchChanged = true;
        }
        // 7. The velocity factor.
        if (voice.voiceVelocity > 0.0f) {
            voice.velocityFactor = voice.voiceVelocity * p.Velocity + (1.0f - p.Velocity);
        }
        // 8. The envelope.
        envelopeStep(env, voice.voiceGate, blk, sustainTarget, sustainFactor, powers);
        const float level = env.envelopeLevel;
        // 9. The distorter and the tone filter with its limiter, while the string sounds.
        float z = x;
        if (active) {
            z = distorterStep(x, p.Distorter);
            if (toneOn) {
                if (controlStep) {
                    tone.control(level);
                }
                z = tone.step(z, tone.damping(level));
            }
        }
        // 10. The voice's output, fed back into the string at the next frame.
        e.lastVoiceOutput = z * level;
        // 11. The gain stage with the overdrive.
        float gain = z * overdriveGain * level;
        if (active && overdrive != 0.0f) {
            gain = overdriveStep(gain, overdrive, volume);
        }
        const float l = gain * volume;
        // 12. The outputs, through the chorus where it is on.
        if (active && chorusOn) {
            chorus->step(l, p.Chorus, midiVolume, left[i], right[i]);
        } else {
            left[i] = right[i] = midiVolume * l;
        }
    }

    exciter.store(e.exciter);
    string.store();
    tone.store();
    if (chorus) {
        chorus->store();
    }

    // A runaway (a state or an output beyond its bound, or not a number) silences the block and clears the
    // voice, so the next note after sane values sounds normally.
    if (outputRanAway(left, right, frames) || stateRanAway(e)) {
        if (frames > 0) {
            std::memset(left, 0, sizeof(float) * static_cast<size_t>(frames));
            std::memset(right, 0, sizeof(float) * static_cast<size_t>(frames));
        }
        resetRecirculatingState(e);
        ++e.runawayBlocks;
    }
}

} // namespace solvantis::render

namespace solvantis {

void SynthEngine::processReplacingPlain(const SynthParams& params, float sampleRate, float** outputs,
                                        int32_t sampleFrames) {
    renderWith(params, outputs, sampleFrames, [&](const SynthParams& p, float* left, float* right) {
        render::renderPlain(state, p, sampleRate, left, right, sampleFrames);
    });
}

} // namespace solvantis
