#pragma once

#include <cstdint>

#include "dsp/note_event.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/string_model.h"
#include "voice/tone_stages.h"

namespace solvantis {

// What the instrument's voice shares between its parts: the voice and note list, which the note logic, the
// MIDI intake and the render all use, and the stages' states, each defined and reset by its stage. The
// initial values are the ones the engine set-up gives; the set-up also assigns them, so a state object can
// be set up again after a failure.

// Voice and note list: the note logic writes the voice, processEvents the list, the held keys and the
// two controllers.
struct VoiceState {
    float voiceFrequency = 200.0f; // Hz, bend included
    bool voiceGate = false;        // true while a note holds the voice
    float voiceVelocity = 0.0f;    // velocity of the sounding note, 0..1
    float velocityFactor = 0.0f;   // voiceVelocity blended by the Velocity parameter, as of the last sample
    float midiVolume = 1.0f;       // controller 7 / 128
    float modWheel = 1.0f;         // controller 1 / 128
    int32_t keyHeld[128] = {};     // per MIDI note: 1 while the key is down
    int32_t noteEventCount = 0;    // entries written by the last processEvents
    NoteEvent noteEvents[noteEventCapacity] = {{-1, 0, 0, 0.0f, 0.0f}}; // ended by deltaFrames -1
};

struct EngineState {
    EngineState();
    ~EngineState(); // releases the components in the order of their creation
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    VoiceState voice;
    EnvelopeState envelope;
    ExciterState exciter;
    StringState string;
    ToneFilterState tone;
    ChorusState chorus;
    float lastVoiceOutput = 0.0f; // previous sample's output after the envelope, fed back into the string
    // The control clock: frames since the last control step, 0..20 (0: the next frame is one). It runs on
    // from block to block, through suspend, resume, rate changes and recovery.
    int32_t controlTick = 0;
    float smoothingCoefficient = 0.0f; // 6.28319 / sample rate, per Hz: the factor of every one-pole step
    float preparedRate = 0.0f;         // the sample rate the stages are prepared for (0: none yet)

    // Computes what the stages take from the sample rate; the render calls it when the rate changes.
    void prepare(float sampleRate) {
        smoothingCoefficient = onePoleCoefficient(sampleRate);
        string.prepare(sampleRate);
        tone.prepare(sampleRate);
        chorus.prepare(sampleRate);
        preparedRate = sampleRate;
    }
    uint32_t runawayBlocks = 0; // blocks silenced because the voice ran away (a diagnostic count)
};

} // namespace solvantis
