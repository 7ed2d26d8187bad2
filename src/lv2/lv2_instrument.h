// The instrument behind the LV2 door: the same SynthPlugin the VST 2 library makes, driven the way a VST 2
// host drives it. Control ports become parameter stores at the start of each cycle, the MIDI of the atom
// sequence becomes one event list per cycle (so every message lands on its frame through the engine's note
// list), and the cycle is rendered into the two output ports.
#pragma once

#include <cstddef>
#include <cstdint>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include "host/vst_abi.h"
#include "instrument/parameter_table.h"
#include "instrument/synth_plugin.h"

namespace solvantis::lv2 {

// Port indices, as the Turtle describes them: the 19 controls first, at their parameter indices.
enum Port : uint32_t {
    kFirstControlPort = 0,
    kMidiInPort = kNumParameters,
    kLeftOutPort,
    kRightOutPort,
    kPortCount
};

// MIDI messages taken from one cycle. A host's sequence would need some 100 KB to hold more; past this
// count the rest of the cycle's messages are dropped.
inline constexpr int32_t kMaxEventsPerCycle = 4096;

class Lv2Instrument {
public:
    // Null, with the reason through the host's log (or standard error), when the host maps no URIDs, the
    // sample rate is one the engine refuses (below 8 kHz, above 10 MHz, not a number), or memory runs out.
    static Lv2Instrument* create(double sampleRate, const LV2_Feature* const* features);

    void connectPort(uint32_t port, void* data);
    void activate();
    void run(uint32_t frames);

    const SynthPlugin& instrument() const { return plugin; }

private:
    explicit Lv2Instrument(LV2_URID midiEventType);

    void sendControls();
    void sendMidi(uint32_t frames);

    SynthPlugin plugin;
    LV2_URID midiEventType;
    const float* controls[kNumParameters] = {};
    const LV2_Atom_Sequence* midiIn = nullptr;
    float* outputs[SynthPlugin::kNumOutputs] = {};

    // One cycle's messages as VST 2 events: the list header with room for every pointer, and the events.
    alignas(VstEvents) std::byte
        eventListStorage[offsetof(VstEvents, events) + kMaxEventsPerCycle * sizeof(VstEvent*)] = {};
    VstMidiEvent midiEvents[kMaxEventsPerCycle] = {};
};

} // namespace solvantis::lv2
