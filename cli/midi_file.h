// Reading Standard MIDI Files: every track merged in time order, times taken through the tempo map.
#pragma once

#include <cstddef>
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

// What one track of the file holds, for a listing of the song.
struct MidiTrackSummary {
    std::string name;              // its first track-name meta event, as written ("" for none)
    uint16_t channels = 0;         // bit n set: the track sends channel messages on channel n + 1
    int64_t notes = 0;             // note-ons with a velocity above 0
    std::vector<uint8_t> programs; // the program changes' numbers, each once, in the order they first come
    double endSeconds = 0.0;       // time of the track's end-of-track event
};

struct MidiSong {
    std::vector<MidiMessage> messages; // in time order; equal times keep the file's order
    double lengthSeconds = 0.0;        // time of the file's last event of any kind (end of track included)
    int format = 0;                    // 0, 1 or 2 (2 is played as if its tracks sounded together)
    int tracks = 0;
    int ticksPerQuarter = 0; // pulses per quarter note; 0 for a file timed in frames of time code
    int framesPerSecond = 0; // time code: 24, 25, 29 (29.97 drop frame) or 30; 0 for pulses per quarter
    int ticksPerFrame = 0;   // time code: ticks in a frame
    int tempoChanges = 0;    // tempo events in the file (all tracks)
    std::vector<MidiTrackSummary> trackSummaries; // one per track, in the file's order
};

// What a file may hold at most: anything beyond is refused in one line before it costs time or memory.
struct MidiLimits {
    size_t maxBytes = size_t(64) << 20; // 64 MiB; the largest real songs are a few MB
    size_t maxMessages = 4'000'000;     // channel messages kept
    // Standard input, a pipe or a device that delivers no byte for this long is given up.
    double readTimeoutSeconds = 60.0;
};

// Reads a Standard MIDI File from a path: a regular file, or standard input ("-", /dev/stdin), a pipe
// or a device, each read up to the same size limit. Throws CliError naming the file when it does not
// exist, is empty, too large, not a MIDI file or malformed; a malformed file's message names the track,
// the byte offset and what was wrong ("track 2, byte 1,337: a tempo event needs 3 bytes, it has 0").
MidiSong readMidiFile(const std::string& path, const MidiLimits& limits = {});

// The bytes of the file readMidiFile reads, with its checks of size and time, before any parsing.
std::vector<uint8_t> readMidiBytes(const std::string& path, const MidiLimits& limits = {});

// The same, from a file held in memory; `name` only appears in error messages.
MidiSong parseMidiData(const void* data, size_t size, const std::string& name, const MidiLimits& limits = {});

// A message placed at its sample frame from the start of the render.
struct TimedMidiMessage {
    int64_t frame = 0;
    uint8_t bytes[3] = {0, 0, 0};
};

// Places the song's messages at sample frames of the given rate (rounded to the nearest frame).
std::vector<TimedMidiMessage> toFrames(const std::vector<MidiMessage>& messages, double sampleRate);

// The number of data bytes that follow a channel status byte (1 for program change and channel
// pressure, else 2); 0 for anything that is not a channel status.
int channelMessageDataBytes(uint8_t status);

} // namespace solvantis
