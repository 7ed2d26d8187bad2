// The voice's whole state: the voice and note list, and one object per stage.
#pragma once

#include <cstdint>

#include "dsp/lookup_tables.h"
#include "dsp/note_event.h"
#include "voice/chorus.h"
#include "voice/distorter.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/limiter.h"
#include "voice/overdrive.h"
#include "voice/string_model.h"
#include "voice/tone_filter.h"

namespace solvantis {

// The note list and the voice are used by the note logic, the MIDI intake and the renders; each stage's
// object is defined, prepared and reset by its own class.

// Voice and note list: processEvents writes the list; the note logic, applying its entries at their frames,
// writes the voice, the held keys, the bend and the two controllers.
struct VoiceState {
    float voiceFrequency = 200.0f;   // Hz: keyFrequency x bendFactor
    bool voiceGate = false;          // true while a note holds the voice
    float voiceVelocity = 0.0f;      // velocity of the sounding note, 0..1
    float velocityFactor = 0.0f;     // voiceVelocity blended by the Velocity parameter, as of the last sample
    float midiVolume = 1.0f;         // controller 7 / 128
    float modWheel = 1.0f;           // controller 1 / 128; 1.0 is its neutral value (full sustain)
    float bendFactor = 1.0f;         // the bend wheel's frequency factor as last received; 1.0 centred
    float keyFrequency = 200.0f;     // Hz: the sounding key's table frequency (200 before the first note)
    int32_t soundingKey = -1;        // the key the voice plays (or last played), -1 before the first note
    int32_t keyHeld[noteCount] = {}; // per MIDI note: 1 while the key is down
    int32_t noteEventCount = 0;      // entries written by the last processEvents
    NoteEvent noteEvents[noteEventCapacity] = {{-1, 0, 0, 0.0f, 0.0f}}; // ended by deltaFrames -1
};

struct EngineState {
    EngineState();
    ~EngineState(); // releases the components in the order of their creation
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    VoiceState voice;
    Envelope envelope;
    Exciter exciter;
    StringModel string;
    Distorter distorter;
    ToneFilter tone;
    Limiter limiter;
    Overdrive overdrive;
    Chorus chorus;
    float lastVoiceOutput = 0.0f; // previous sample's output after the envelope, fed back into the string
    // The control clock: frames since the last control step, 0..20 (0: the next frame is one). It runs on
    // from block to block, through suspend, resume, rate changes and recovery, and stands still while the
    // voice rests.
    int32_t controlTick = 0;
    float preparedRate = 0.0f; // the sample rate the stages are prepared for (0: none yet)

    // Computes what the stages take from the sample rate; the render calls it when the rate changes.
    void prepare(float sampleRate) {
        envelope.prepare(sampleRate);
        exciter.prepare(sampleRate);
        string.prepare(sampleRate);
        tone.prepare(sampleRate);
        limiter.prepare(sampleRate);
        chorus.prepare(sampleRate);
        preparedRate = sampleRate;
    }
    // The block's parameters, for the stages that take them once a block.
    void setParameters(const SynthParams& params) {
        string.setParameters(params);
        distorter.setParameters(params);
        tone.setParameters(params);
        overdrive.setParameters(params);
        chorus.setParameters(params, voice.midiVolume);
    }
    uint32_t runawayBlocks = 0; // blocks silenced because the voice ran away (a diagnostic count)
};

} // namespace solvantis
