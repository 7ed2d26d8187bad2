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

void renderPlain(EngineState& engine, const SynthParams& params, float sr, float* left, float* right,
                 int32_t frames) {
    // What the block takes from the parameters and the rate. MIDI controllers apply at their own frames.
    if (std::bit_cast<uint32_t>(sr) != std::bit_cast<uint32_t>(engine.preparedRate)) {
        engine.prepare(sr);
    }
    engine.setParameters(params);
    const EnvelopeBlock envelopeBlock(params, sr);
    const float volume = params.Volume;
    const bool toneOn = toneFilterOn(params);
    const bool chorusOn = params.Chorus != 0.0f;

    VoiceState& voice = engine.voice;
    Envelope& envelope = engine.envelope;
    Exciter& exciter = engine.exciter;
    StringModel& string = engine.string;
    DirectPowers powers;
    NoteListCursor cursor(voice);
    const int32_t lastFrame = frames - 1;

    for (int32_t i = 0; i < frames; ++i) {
        // 0. A frame that starts with the voice at rest takes no time: the control clock and the noise stand
        // still until a note sounds again, so no stretch of silence changes what the next note gets.
        const bool resting = envelope.resting(voice.voiceGate);
        bool controlStep = false;
        float pluck = 0.0f;
        if (resting) {
            exciter.rest();
        } else {
            // 1. The control clock: every 21st frame that sounds is a control step.
            controlStep = engine.controlTick == 0;
            engine.controlTick = engine.controlTick + 1 == controlPeriod ? 0 : engine.controlTick + 1;

            // 2. The exciter: the noise at the previous frame's velocity factor, held on control steps, then
            // the pluck.
            exciter.setNote(params, voice.velocityFactor, voice.voiceVelocity, voice.voiceFrequency);
            pluck = exciter.tick(params, voice.voiceGate, controlStep);
            if (controlStep) {
                string.markNoiseHoldChanged();
            }
        }
        // 3. The string, while the envelope is above 0.
        if (envelope.envelopeLevel > 0.0f) {
            string.tick(voice.voiceFrequency, exciter.noiseHold, pluck, engine.lastVoiceOutput);
        } else {
            string.rest();
        }
        const bool active = string.stringActive;
        const float x = string.stringOutput * stringOutputGain;
        // 4. The note entries due at this frame; the string hears a new pitch from the next frame.
        if (cursor.nextDue(lastFrame) <= i) {
            cursor.applyDue(voice, envelope, i, lastFrame, params.Legato, noteFrequencies.data());
            string.markPitchChanged();
            engine.chorus.setVolume(voice.midiVolume);
        }
        // 5. The velocity factor.
        voice.velocityFactor = velocityFactorAfter(voice.velocityFactor, voice.voiceVelocity, params);
        // 6. The envelope, unless the voice rests on: its idle release would only count, and a fade of All
        // Sound Off has nothing left to fade.
        if (!resting || voice.voiceGate) {
            envelope.tick(voice.voiceGate, envelopeBlock, voice.modWheel * params.Sustain, powers);
        } else {
            envelope.stopFade();
        }
        const float level = envelope.envelopeLevel;
        // 7. The distorter and the tone filter with its limiter, while the string sounds.
        float z = x;
        if (active) {
            z = engine.distorter.tick(x);
            if (toneOn) {
                if (controlStep) {
                    engine.tone.control(level, voice.voiceFrequency);
                }
                z = engine.limiter.tick(engine.tone.tick(z, engine.tone.damping(level)));
            }
        }
        // 8. The voice's output, fed back into the string at the next frame.
        engine.lastVoiceOutput = z * level;
        // 9. The gain stage with the overdrive.
        float gain = z * engine.overdrive.gain() * level;
        if (active && engine.overdrive.on()) {
            gain = engine.overdrive.tick(gain);
        }
        const float l = gain * volume;
        // 10. The outputs, through the chorus where it is on.
        if (active && chorusOn) {
            engine.chorus.tick(l, left[i], right[i]);
        } else {
            left[i] = right[i] = voice.midiVolume * l;
        }
    }

    // A runaway (a state or an output beyond its bound, or not a number) silences the block and clears the
    // voice, so the next note after sane values sounds normally.
    recoverFromRunaway(engine, outputRanAway(left, right, frames), left, right, frames);
}

} // namespace solvantis::render

namespace solvantis {

void SynthEngine::processReplacingPlain(const SynthParams& params, float sampleRate, float** outputs,
                                        int32_t sampleFrames) {
    renderWith(params, outputs, sampleFrames, [&](const SynthParams& blockParams, float* left, float* right) {
        render::renderPlain(state, blockParams, sampleRate, left, right, sampleFrames);
    });
}

} // namespace solvantis
