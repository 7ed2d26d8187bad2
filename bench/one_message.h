// One MIDI message as the block's message list a benchmark hands the engine.
#pragma once

#include <cstdint>
#include <span>

#include "voice/midi_message.h"

struct OneMessage {
    solvantis::MidiMessage message;
    OneMessage(uint8_t status, uint8_t d1, uint8_t d2) : message{0, status, d1, d2} {}
    std::span<const solvantis::MidiMessage> list() const { return {&message, 1}; }
};
