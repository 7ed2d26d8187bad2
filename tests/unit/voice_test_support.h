// Test helpers of the voice: a block's MIDI messages, and an engine with the default program's values
// rendered block by block.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "voice/synth_engine.h"

namespace solvantis::testing {

// One block's MIDI messages for the engine, built message by message.
class MidiBlock {
public:
    MidiBlock& add(int32_t frame, uint8_t status, uint8_t data1, uint8_t data2) {
        midi.push_back(MidiMessage{frame, status, data1, data2});
        return *this;
    }
    MidiBlock& noteOn(int32_t frame, int32_t note, int32_t velocity = 127) {
        return add(frame, 0x90, static_cast<uint8_t>(note), static_cast<uint8_t>(velocity));
    }
    MidiBlock& noteOff(int32_t frame, int32_t note) {
        return add(frame, 0x80, static_cast<uint8_t>(note), 64);
    }
    MidiBlock& bend(int32_t frame, int32_t value) {
        return add(frame, 0xE0, static_cast<uint8_t>(value & 0x7F), static_cast<uint8_t>(value >> 7));
    }
    MidiBlock& controller(int32_t frame, int32_t number, int32_t value) {
        return add(frame, 0xB0, static_cast<uint8_t>(number), static_cast<uint8_t>(value));
    }

    std::span<const MidiMessage> messages() const { return midi; }

private:
    std::vector<MidiMessage> midi;
};

// An engine set up at 44100 Hz with the default program's values, and helpers to render it.
struct VoiceRig {
    std::unique_ptr<SynthEngine> engine = std::make_unique<SynthEngine>();
    SynthParams params;
    float sampleRate = 44100.0f;
    bool plain = false; // render through the plain render instead of the fast one
    std::vector<float> left, right;

    VoiceRig() { ok = engine->setUp(sampleRate); }
    bool ok = false;
    float fittedRate = 44100.0f; // the rate the engine's lines were last sized for

    EngineState& state() { return engine->state; }

    void send(const MidiBlock& block) { engine->processMidi(block.messages()); }

    // Renders one block; the buffers are pre-filled with garbage to prove that every sample is written.
    void render(int32_t frames) {
        if (sampleRate != fittedRate) { // as a host does: the rate is set before the block that plays at it
            engine->fitToSampleRate(sampleRate);
            fittedRate = sampleRate;
        }
        left.assign(static_cast<size_t>(frames > 0 ? frames : 0), 123.0f);
        right.assign(left.size(), -321.0f);
        float* outputs[2] = {left.data(), right.data()};
        if (plain) {
            engine->processReplacingPlain(params, sampleRate, outputs, frames);
        } else {
            engine->processReplacing(params, sampleRate, outputs, frames);
        }
    }

    // Renders `frames` in blocks of `block`, appending the left channel (and the right one if asked).
    std::vector<float> play(int32_t frames, int32_t block = 512, std::vector<float>* rightOut = nullptr) {
        std::vector<float> out;
        out.reserve(static_cast<size_t>(frames));
        while (frames > 0) {
            const int32_t n = frames < block ? frames : block;
            render(n);
            out.insert(out.end(), left.begin(), left.end());
            if (rightOut != nullptr) {
                rightOut->insert(rightOut->end(), right.begin(), right.end());
            }
            frames -= n;
        }
        return out;
    }
};

} // namespace solvantis::testing
