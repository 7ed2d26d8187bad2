#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "host/vst_abi.h"
#include "voice/synth_engine.h"

namespace solvantis::testing {

// A host's event list for one block, built message by message.
class MidiBlock {
public:
    MidiBlock& add(int32_t deltaFrames, uint8_t status, uint8_t data1, uint8_t data2) {
        VstMidiEvent e{};
        e.type = kVstMidiType;
        e.byteSize = 24;
        e.deltaFrames = deltaFrames;
        e.midiData[0] = status;
        e.midiData[1] = data1;
        e.midiData[2] = data2;
        midi.push_back(e);
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
    MidiBlock& sysex(int32_t frame) {
        VstMidiEvent e{};
        e.type = 6; // system exclusive
        e.byteSize = 24;
        e.deltaFrames = frame;
        e.midiData[0] = 0x90; // would read as a note-on if the kind were ignored
        e.midiData[1] = 60;
        e.midiData[2] = 100;
        midi.push_back(e);
        return *this;
    }

    // The VstEvents record over the messages added so far (valid until the next add).
    const VstEvents* events() {
        const size_t n = midi.size();
        storage.assign(sizeof(VstEvents) + sizeof(VstEvent*) * (n > 2 ? n - 2 : 0), 0);
        auto* list = reinterpret_cast<VstEvents*>(storage.data());
        list->numEvents = static_cast<int32_t>(n);
        for (size_t i = 0; i < n; ++i) {
            eventList(list)[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        }
        return list;
    }

private:
    std::vector<VstMidiEvent> midi;
    std::vector<unsigned char> storage;
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

    void send(MidiBlock& block) { engine->processEvents(block.events()); }

    // Renders one block; the buffers are pre-filled with garbage to prove that every sample is written.
    void render(int32_t frames) {
        if (sampleRate != fittedRate) { // as a host does: the rate is set before the block that plays at it
            engine->setSampleRate(sampleRate);
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
