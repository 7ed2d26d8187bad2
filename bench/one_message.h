// One MIDI message as the VST 2 event list a benchmark hands the engine.
#pragma once

#include <cstdint>

#include "host/vst_abi.h"

struct OneMessage {
    solvantis::VstMidiEvent midi{};
    solvantis::VstEvents list{};
    OneMessage(uint8_t status, uint8_t d1, uint8_t d2) {
        midi.type = solvantis::kVstMidiType;
        midi.byteSize = 24;
        midi.midiData[0] = status;
        midi.midiData[1] = d1;
        midi.midiData[2] = d2;
        list.numEvents = 1;
        solvantis::eventList(&list)[0] = reinterpret_cast<solvantis::VstEvent*>(&midi);
    }
};
