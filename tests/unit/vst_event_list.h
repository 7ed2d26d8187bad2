// A VST 2 host's event list for the tests of the VST 2 door.
#pragma once

#include <cstdint>
#include <vector>

#include "host/vst_abi.h"
#include "voice_test_support.h"

namespace solvantis::testing {

// A VST 2 host's event list for one block: the messages of a MidiBlock as MIDI events, and events of other
// kinds where asked.
class VstEventList {
public:
    explicit VstEventList(const MidiBlock& block) {
        for (const MidiMessage& m : block.messages()) {
            add(kVstMidiType, m.frame, m.status, m.data1, m.data2);
        }
    }
    VstEventList& add(int32_t type, int32_t frame, uint8_t status, uint8_t data1, uint8_t data2) {
        VstMidiEvent e{};
        e.type = type;
        e.byteSize = 24;
        e.deltaFrames = frame;
        e.midiData[0] = status;
        e.midiData[1] = data1;
        e.midiData[2] = data2;
        events_.push_back(e);
        return *this;
    }

    // The VstEvents record over the events added so far (valid until the next add).
    VstEvents* events() {
        const size_t n = events_.size();
        storage.assign(sizeof(VstEvents) + sizeof(VstEvent*) * (n > 2 ? n - 2 : 0), 0);
        auto* list = reinterpret_cast<VstEvents*>(storage.data());
        list->numEvents = static_cast<int32_t>(n);
        for (size_t i = 0; i < n; ++i) {
            eventList(list)[i] = reinterpret_cast<VstEvent*>(&events_[i]);
        }
        return list;
    }

private:
    std::vector<VstMidiEvent> events_;
    std::vector<unsigned char> storage;
};

} // namespace solvantis::testing
