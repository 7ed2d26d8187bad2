// What a MIDI file holds, for a person choosing what to render: its length, tempo, and per track and
// per channel the notes, their range and how many sound at once.
#pragma once

#include "midi_file.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace solvantis {

struct NoteFacts {
    int64_t notes = 0; // note-ons with a velocity above 0
    int lowest = -1;   // MIDI key, -1 when there is no note
    int highest = -1;
    int polyphony = 0; // the most notes held at once
};

struct TrackFacts {
    int number = 0;        // from 1
    std::string name;      // the track's name event, "" when it has none
    int program = -1;      // the first program change, -1 for none
    uint32_t channels = 0; // bit c: the track plays notes on channel c+1
    NoteFacts notes;
};

struct ChannelFacts {
    int number = 0;      // 1..16; 10 is the General MIDI drum channel
    int program = -1;    // the first program change, -1 for none
    uint32_t tracks = 0; // bit t: track t+1 (the first 32) plays notes on this channel
    NoteFacts notes;
};

struct TempoChange {
    double seconds = 0.0;
    double beatsPerMinute = 120.0;
};

struct MidiFacts {
    int format = 0;
    int ticksPerQuarter = 0; // 0 for a file timed in time code
    int framesPerSecond = 0; // time code only
    int ticksPerFrame = 0;   // time code only
    double seconds = 0.0;    // to the last event
    double bars = -1.0;      // in the file's time signatures (4/4 until one is given); -1 for time code
    std::vector<TempoChange> tempos;
    std::vector<TrackFacts> tracks;     // every track of the file
    std::vector<ChannelFacts> channels; // the channels that carry any channel message
};

// Reads the file (throws CliError as readMidiFile does) and gathers its facts.
MidiFacts midiFacts(const std::string& path);

// The channel with the most notes, channel 10 (drums) left aside; 0 when no other channel has notes.
int busiestMelodicChannel(const MidiFacts& facts);

std::string midiFactsText(const MidiFacts& facts, const std::string& path);
nlohmann::ordered_json midiFactsJson(const MidiFacts& facts, const std::string& path);

} // namespace solvantis
