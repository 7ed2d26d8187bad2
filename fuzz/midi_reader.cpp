// Any bytes as a Standard MIDI File: the reader either refuses them with its one line or returns a song
// that holds together (times finite, in order and within the song; whole channel messages; tracks that
// exist). Under AddressSanitizer a read outside the bytes stops the run.
#include "cli_error.h"
#include "midi_file.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    solvantis::MidiLimits limits;
    limits.maxMessages = 200000; // keeps one input's time and memory small
    solvantis::MidiSong song;
    try {
        song = solvantis::parseMidiData(data, size, "fuzz.mid", limits);
    } catch (const solvantis::CliError&) {
        return 0;
    }
    double previous = 0.0;
    for (const solvantis::MidiMessage& m : song.messages) {
        const int dataBytes = solvantis::channelMessageDataBytes(m.bytes[0]);
        const bool whole =
            dataBytes > 0 && m.bytes[1] < 0x80 && m.bytes[2] < 0x80 && (dataBytes == 2 || m.bytes[2] == 0);
        const bool timed = std::isfinite(m.seconds) && m.seconds >= 0.0 && m.seconds <= song.lengthSeconds;
        // Format 2 plays its tracks one after another, so only its times within a track rise.
        const bool ordered = song.format == 2 || m.seconds >= previous;
        if (!whole || !timed || !ordered || m.track < 1 || m.track > song.tracks) {
            std::abort();
        }
        previous = m.seconds;
    }
    if (song.trackSummaries.size() != size_t(song.tracks)) {
        std::abort();
    }
    return 0;
}
