// Reading Standard MIDI Files: every track merged in time order, times taken through the tempo map.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis {

// One channel message (note on/off, key and channel pressure, controller, program change, pitch
// bend) at its time from the start of the song.
struct MidiMessage {
    double seconds = 0.0; // time from the start of the song
    uint8_t bytes[3] = {0, 0, 0};
    int track = 1; // the file's track it came from, counted from 1
};

struct MidiSong {
    std::vector<MidiMessage> messages; // in time order; equal times keep the file's order
    double lengthSeconds = 0.0;        // time of the file's last event of any kind (end of track included)
    int format = 0;                    // 0 or 1 (2 is read the same way)
    int tracks = 0;
};

// Reads a Standard MIDI File. Meta events and system exclusive messages are left out. Throws CliError
// naming the file when it does not exist, is empty, is not a MIDI file or is truncated.
MidiSong readMidiFile(const std::string& path);

// The same, from a file held in memory; `name` only appears in error messages.
MidiSong parseMidiData(const void* data, size_t size, const std::string& name);

// A message placed at its sample frame from the start of the render.
struct TimedMidiMessage {
    int64_t frame = 0;
    uint8_t bytes[3] = {0, 0, 0};
};

// Places the song's messages at sample frames of the given rate (rounded to the nearest frame).
std::vector<TimedMidiMessage> toFrames(const std::vector<MidiMessage>& messages, double sampleRate);

// The first thing wrong with the structure of a Standard MIDI File held in memory (chunks that do not
// fit, events cut short, data bytes without a status, a track without its end), or "" for none.
std::string smfStructureProblem(const uint8_t* bytes, size_t size);

// The number of data bytes that follow a channel status byte (1 for program change and channel
// pressure, else 2); 0 for anything that is not a channel status.
int channelMessageDataBytes(uint8_t status);

} // namespace solvantis
