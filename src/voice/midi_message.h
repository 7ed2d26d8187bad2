// The engine's own MIDI input: one message of a block, as every door hands it over.
#pragma once

#include <cstdint>

namespace solvantis {

// One MIDI channel message of a block, in the order the host sent it. The door that receives the host's
// events turns each into one of these; the engine knows no plug-in format.
struct MidiMessage {
    int32_t frame;  // sample frame within the block at which it applies; below 0: at the block's first frame
    uint8_t status; // status byte, channel included (the voice plays all 16 channels)
    uint8_t data1;  // first data byte; a set top bit is ignored
    uint8_t data2;  // second data byte (0 where the message has none); a set top bit is ignored
};

} // namespace solvantis
