// Choosing what of a MIDI file plays: its channels and tracks, a transposition, and whether the file's
// program changes reach the plug-in.
#pragma once

#include "midi_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis {

struct EventSelection {
    std::vector<int> channels; // 1..16; empty: all
    std::vector<int> tracks;   // 1..the file's tracks; empty: all
    int transpose = 0;         // semitones added to every note
    bool keepProgramChanges = true;
};

struct SelectionReport {
    int64_t kept = 0;
    int64_t programChangesLeftOut = 0;
    int64_t programChangesKept = 0;
    int64_t notesOutOfRange = 0;    // transposed beyond 0..127, left out
    uint32_t channelsWithNotes = 0; // bit c: channel c+1 of the whole file has note-ons
    uint32_t tracksWithNotes = 0;   // bit t: track t+1 (first 32 tracks) has note-ons
};

// Parses "1,3,5-8" into the numbers it names, each within lowest..highest; throws CliError naming
// `what` ("--channel") for anything else.
std::vector<int> parseNumberList(const std::string& text, int lowest, int highest, const std::string& what);

// "1, 2, 10" for the bits set (bit 0 is 1).
std::string listOfBits(uint32_t bits);

// The messages that play, in order. Throws CliError when a track asked for is not in the file.
std::vector<MidiMessage> selectEvents(const MidiSong& song, const EventSelection& selection,
                                      SelectionReport& report);

} // namespace solvantis
