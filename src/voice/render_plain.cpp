// The plain render: the voice's per-sample sequence written as it reads, one stage's step after another, with
// nothing computed ahead, no chunks and no vectors. It is where a reader starts; the fast render
// (render_block.inc) must give exactly its bits, which the differential tests and a fuzz target hold.
#include <bit>
#include <cstdint>
#include <cstring>

#include "dsp/lookup_tables.h"
#include "voice/engine_state.h"
#include "voice/note_logic.h"
#include "voice/render_parts.h"

namespace solvantis::render {

void renderPlain(EngineState& e, const SynthParams& p, float sr, float* left, float* right, int32_t frames) {
    // What the block takes from the parameters and the rate. Controllers apply from the start of the block
    // that carries them.
    if (std::bit_cast<uint32_t>(sr) != std::bit_cast<uint32_t>(e.preparedRate)) {
        e.prepare(sr);
    }
    e.setParameters(p);
    const EnvelopeBlock envelopeBlock(p, sr);
    const float volume = p.Volume;
    const bool toneOn = p.DynaTone > 0.0f || p.PowerChord > 0.0f;
    const bool chorusOn = p.Chorus != 0.0f;
    const float sustainTarget = e.voice.modWheel * p.Sustain;
    const float midiVolume = e.voice.midiVolume;

    VoiceState& voice = e.voice;
    Envelope& envelope = e.envelope;
    Exciter& exciter = e.exciter;
    StringModel& string = e.string;
    DirectPowers powers;
    NoteListCursor cursor(voice);
    const int32_t lastFrame = frames - 1;

    for (int32_t i = 0; i < frames; ++i) {
        // 1. The control clock: every 21st frame is a control step.
        const bool controlStep = e.controlTick == 0;
        e.controlTick = e.controlTick + 1 == controlPeriod ? 0 : e.controlTick + 1;

        // 2. The exciter: the noise at the previous frame's velocity factor, held on control steps, then the
        // pluck.
        exciter.setNote(p, voice.velocityFactor, voice.voiceVelocity, voice.voiceFrequency);
        const float pluck = exciter.tick(p, voice.voiceGate, controlStep);
        if (controlStep) {
            string.holdMoved();
        }
        // 3. The string, while the envelope is above 0.
        if (envelope.envelopeLevel > 0.0f) {
            string.tick(voice.voiceFrequency, exciter.noiseHold, pluck, e.lastVoiceOutput);
        } else {
            string.rest();
        }
        const bool active = string.stringActive;
        const float x = string.stringOutput * stringOutputGain;
        // 4. The note entries due at this frame; the string hears a new pitch from the next frame.
        if (cursor.nextDue(lastFrame) <= i) {
            cursor.applyDue(voice, i, lastFrame, p.Legato, noteFrequencies.data());
            string.pitchMoved();
        }
        // 5. The velocity factor.
        if (voice.voiceVelocity > 0.0f) {
            voice.velocityFactor = voice.voiceVelocity * p.Velocity + (1.0f - p.Velocity);
        }
        // 6. The envelope.
        envelope.tick(voice.voiceGate, envelopeBlock, sustainTarget, powers);
        const float level = envelope.envelopeLevel;
        // 7. The distorter and the tone filter with its limiter, while the string sounds.
        float z = x;
        if (active) {
            z = e.distorter.tick(x);
            if (toneOn) {
                if (controlStep) {
                    e.tone.control(level);
                }
                z = e.limiter.tick(e.tone.tick(z, e.tone.damping(level)));
            }
        }
        // 8. The voice's output, fed back into the string at the next frame.
        e.lastVoiceOutput = z * level;
        // 9. The gain stage with the overdrive.
        float gain = z * e.overdrive.gain() * level;
        if (active && e.overdrive.on()) {
            gain = e.overdrive.tick(gain);
        }
        const float l = gain * volume;
        // 10. The outputs, through the chorus where it is on.
        if (active && chorusOn) {
            e.chorus.tick(l, left[i], right[i]);
        } else {
            left[i] = right[i] = midiVolume * l;
        }
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
