// The voice of one instrument: its state and the requests the instrument forwards to it.
#pragma once

#include <cstdint>
#include <span>

#include "voice/engine_state.h"
#include "voice/envelope.h"
#include "voice/midi_message.h"
#include "voice/note_logic.h"
#include "voice/synth_params.h"

namespace solvantis {

// The voice of one instrument: the note list and note logic, the string model and exciter, the envelope,
// the tone stages and the chorus. The instrument owns one, together with the live parameter values, and
// forwards the host's MIDI, audio and life-cycle requests to it.
class SynthEngine {
public:
    // Builds the components for the sample rate held at construction. False when an allocation failed;
    // then nothing stays allocated and the instance must be refused.
    bool setUp(float sampleRate);

    // Turns one block's MIDI messages into the timed note list, which the next rendered block applies, each
    // entry at its frame. The list starts afresh: messages of an earlier call that no block rendered are
    // dropped.
    void processMidi(std::span<const MidiMessage> messages) { startMidi().add(messages); }

    // The same for a door that hands a block's messages over in parts: starts the list afresh, and the
    // writer appends each part in turn.
    NoteListWriter startMidi() { return NoteListWriter(state.voice); }

    // Renders one block into outputs[0] (left) and outputs[1] (right), overwriting them. Inputs are ignored.
    // Null outputs are left alone; a frame count of 0 or less writes nothing.
    void processReplacing(const SynthParams& params, float sampleRate, float** outputs, int32_t sampleFrames);

    // The same block through the plain render: the per-sample sequence as the design reads, for tests,
    // fuzzers and benchmarks to hold the fast render to. The same bits as processReplacing.
    void processReplacingPlain(const SynthParams& params, float sampleRate, float** outputs,
                               int32_t sampleFrames);

    // Switched on: the note list is emptied and the limiter gain returns to 1.
    void resume();

    // A new host sample rate: the delay lines are sized for it (allocating: never called while rendering)
    // and the limiter gain returns to 1. False when a line could not grow; it then keeps its length, and
    // the render, which follows the rate it is given block by block, holds its delays within it.
    bool fitToSampleRate(float sampleRate);

    // The sample rates the engine plays at, in Hz. Below 8 kHz, the lowest rate hosts use, the string loop
    // would sit a few samples long above its own Nyquist limit; beyond 10 MHz the lines would be absurdly
    // long.
    static constexpr float minSampleRate = 8000.0f;
    static constexpr float maxSampleRate = 10000000.0f;

    EngineState state;

    // What a block computes from the parameters and the rate before its first sample, kept while they stay
    // the same, so that short blocks cost no more per frame than long ones.
    struct BlockSetup {
        bool valid = false;
        uint32_t envelopeInputBits[6] =
            {}; // ADSRCurve, Sustain, Attack, Decay, Release and the rate, bit for bit
        EnvelopeBlock envelope;
    };
    BlockSetup setup;

private:
    template <class Render>
    void renderWith(const SynthParams& params, float** outputs, int32_t frames, Render r);
};

} // namespace solvantis
