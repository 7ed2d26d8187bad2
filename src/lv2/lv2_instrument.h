// The instrument behind the LV2 door: the engine driven directly. The control ports are the parameter values,
// read at the start of each cycle; the MIDI of the atom sequence becomes the engine's messages (so every
// message lands on its frame through the note list); the cycle is rendered into the two output ports.
#pragma once

#include <cstdint>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include "instrument/parameter_table.h"
#include "voice/midi_message.h"
#include "voice/synth_engine.h"
#include "voice/synth_params.h"

namespace solvantis::lv2 {

// Port indices, as the Turtle describes them: the 19 controls first, at their parameter indices.
enum Port : uint32_t {
    kFirstControlPort = 0,
    kMidiInPort = kNumParameters,
    kLeftOutPort,
    kRightOutPort,
    kPortCount
};

class Lv2Instrument {
public:
    // Null, with the reason through the host's log (or standard error), when the host maps no URIDs, the
    // sample rate is one the engine does not play at (below 8 kHz, above 10 MHz, not a number), or memory
    // runs out.
    static Lv2Instrument* create(double sampleRate, const LV2_Feature* const* features);

    void connectPort(uint32_t port, void* data);
    void activate();
    void run(uint32_t frames);

private:
    explicit Lv2Instrument(LV2_URID midiEventType, float sampleRate);

    void readControls();
    void readMidi(uint32_t frames);

    SynthEngine engine;
    SynthParams params; // the controls' values as the engine reads them; defaults until a port is connected
    float sampleRate;   // in Hz, the host's
    LV2_URID midiEventType;
    const float* controls[kNumParameters] = {};
    const LV2_Atom_Sequence* midiIn = nullptr;
    float* outputs[2] = {};

    // One cycle's MIDI as the engine's messages; a longer sequence is handed over in parts of this size.
    static constexpr int32_t kMidiBufferSize = 256;
    MidiMessage midiBuffer[kMidiBufferSize];
};

} // namespace solvantis::lv2
