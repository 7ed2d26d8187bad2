// The Standard MIDI File reader over files built byte by byte: the forms the format allows, read to
// the same events a player hears, and malformed files refused with the track, the byte and the fault.
#include "cli_error.h"
#include "midi_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using solvantis::MidiLimits;
using solvantis::MidiSong;
using solvantis::parseMidiData;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes endOfTrack = {0x00, 0xFF, 0x2F, 0x00};

Bytes header(int format, int tracks, uint8_t divisionHigh = 0x01, uint8_t divisionLow = 0xE0) {
    return {'M',          'T',        'h', 'd', 0, 0, 0, 6, 0, uint8_t(format), 0, uint8_t(tracks),
            divisionHigh, divisionLow};
}

// A track chunk holding exactly these bytes (no end of track added).
Bytes chunk(const Bytes& body) {
    const size_t n = body.size();
    Bytes out = {'M', 'T', 'r', 'k', uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    for (const uint8_t b : body) {
        out.push_back(b);
    }
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        for (const uint8_t b : p) {
            out.push_back(b);
        }
    }
    return out;
}

// A format-0 file at 480 pulses per quarter note whose one track holds `events` and its end.
Bytes song(const Bytes& events) {
    return join({header(0, 1), chunk(join({events, endOfTrack}))});
}

MidiSong parse(const Bytes& file, const MidiLimits& limits = {}) {
    return parseMidiData(file.data(), file.size(), "t.mid", limits);
}

struct Heard {
    double seconds;
    Bytes bytes;
    int track;
};

struct ValidCase {
    const char* what;
    Bytes file;
    std::vector<Heard> expected;
    double lengthSeconds;
};

} // namespace

TEST(MidiReader, ReadsEveryFormTheFileFormatAllows) {
    const Bytes tempoSecondPerQuarter = {0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40};
    const std::vector<ValidCase> cases = {
        {"running status across channel messages",
         song({0x00, 0x90, 0x3C, 0x40, 0x83, 0x60, 0x3E, 0x41, 0x00, 0xC2, 0x05, 0x00, 0x07}),
         {{0.0, {0x90, 0x3C, 0x40}, 1},
          {0.5, {0x90, 0x3E, 0x41}, 1},
          {0.5, {0xC2, 0x05, 0}, 1},
          {0.5, {0xC2, 0x07, 0}, 1}},
         0.5},
        {"a status byte after a meta event starts running status anew",
         song(
             {0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x01, 0x01, 'x', 0x00, 0x80, 0x3C, 0x00, 0x00, 0x3E, 0x00}),
         {{0.0, {0x90, 0x3C, 0x40}, 1}, {0.0, {0x80, 0x3C, 0x00}, 1}, {0.0, {0x80, 0x3E, 0x00}, 1}},
         0.0},
        {"SysEx as F0 with F7 packets and as an F7 escape is skipped",
         song({0x00, 0xF0, 0x03, 0x43, 0x12, 0x00, 0x00, 0xF7, 0x02, 0x40,
               0xF7, 0x00, 0xF7, 0x01, 0xFA, 0x83, 0x60, 0xB0, 0x07, 0x64}),
         {{0.5, {0xB0, 0x07, 0x64}, 1}},
         0.5},
        {"a tempo event changes the time of what follows",
         song(join({{0x83, 0x60, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40},
                    {0x83, 0x60, 0x80, 0x3C, 0x00}})),
         {{0.5, {0x90, 0x3C, 0x40}, 1}, {1.5, {0x80, 0x3C, 0x00}, 1}},
         1.5},
        {"a tempo in the second track times the first; equal times keep the track order",
         join({header(1, 2),
               chunk(join({{0x83, 0x60, 0xB1, 0x01, 0x02, 0x83, 0x60, 0x91, 0x3C, 0x40}, endOfTrack})),
               chunk(join({tempoSecondPerQuarter, {0x83, 0x60, 0xB0, 0x01, 0x01}, endOfTrack}))}),
         {{1.0, {0xB1, 0x01, 0x02}, 1}, {1.0, {0xB0, 0x01, 0x01}, 2}, {2.0, {0x91, 0x3C, 0x40}, 1}},
         2.0},
        {"time code: 25 frames of 40 ticks, tempo events ignored",
         join({header(0, 1, 0xE7, 40),
               chunk(join({tempoSecondPerQuarter, {0x81, 0x48, 0x90, 0x3C, 0x40}, endOfTrack}))}),
         {{0.2, {0x90, 0x3C, 0x40}, 1}},
         0.2},
        {"format 2: each pattern plays after the one before, on its own tempo",
         join({header(2, 2), chunk(join({tempoSecondPerQuarter, {0x83, 0x60, 0x90, 0x3C, 0x40}, endOfTrack})),
               chunk(join({{0x83, 0x60, 0x90, 0x3E, 0x40}, endOfTrack}))}),
         {{1.0, {0x90, 0x3C, 0x40}, 1}, {1.5, {0x90, 0x3E, 0x40}, 2}},
         1.5},
        {"a delta time of four bytes (2^21 ticks of 1/512 s at 256 pulses a quarter)",
         join({header(0, 1, 0x01, 0x00),
               chunk(join({{0x81, 0x80, 0x80, 0x00, 0x90, 0x3C, 0x40}, endOfTrack}))}),
         {{4096.0, {0x90, 0x3C, 0x40}, 1}},
         4096.0},
        {"a tempo holds across the time signature after it and into the next track",
         join({header(1, 2),
               chunk(join({tempoSecondPerQuarter,
                           {0x83, 0x60, 0xFF, 0x58, 0x04, 0x03, 0x02, 0x18, 0x08},
                           endOfTrack})),
               chunk(join({{0x87, 0x40, 0x90, 0x3C, 0x40}, endOfTrack}))}),
         {{2.0, {0x90, 0x3C, 0x40}, 2}},
         2.0},
        {"chunks of unknown kinds are skipped",
         join({header(0, 1),
               {'X', 'Y', 'Z', 'W', 0, 0, 0, 2, 0x90, 0x3C},
               chunk(join({{0x00, 0xD3, 0x22}, endOfTrack}))}),
         {{0.0, {0xD3, 0x22, 0}, 1}},
         0.0},
    };
    for (const ValidCase& c : cases) {
        SCOPED_TRACE(c.what);
        MidiSong read;
        ASSERT_NO_THROW(read = parse(c.file));
        ASSERT_EQ(read.messages.size(), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_NEAR(read.messages[i].seconds, c.expected[i].seconds, 1e-12) << i;
            const Bytes got(read.messages[i].bytes, read.messages[i].bytes + 3);
            Bytes want = c.expected[i].bytes;
            want.resize(3, 0);
            EXPECT_EQ(got, want) << i;
            EXPECT_EQ(read.messages[i].track, c.expected[i].track) << i;
        }
        EXPECT_NEAR(read.lengthSeconds, c.lengthSeconds, 1e-12);
    }
}

TEST(MidiReader, SummarisesEachTrack) {
    const MidiSong read = parse(join(
        {header(1, 2),
         chunk(join({{0x00, 0xFF, 0x03, 0x04, 'L',  'e',  'a',  'd',  0x00, 0xC3, 0x19, 0x00, 0x93, 0x3C,
                      0x40, 0x00, 0x3C, 0x00, 0x00, 0xC3, 0x1A, 0x00, 0xC3, 0x19, 0x00, 0x99, 0x24, 0x01},
                     endOfTrack})),
         chunk(endOfTrack)}));
    ASSERT_EQ(read.trackSummaries.size(), 2u);
    EXPECT_EQ(read.trackSummaries[0].name, "Lead");
    EXPECT_EQ(read.trackSummaries[0].channels, (1u << 3) | (1u << 9));
    EXPECT_EQ(read.trackSummaries[0].notes, 2); // the note-on of velocity 0 is a note-off
    EXPECT_EQ(read.trackSummaries[0].programs, (Bytes{0x19, 0x1A}));
    EXPECT_EQ(read.trackSummaries[1].name, "");
    EXPECT_EQ(read.trackSummaries[1].notes, 0);
    EXPECT_EQ(read.ticksPerQuarter, 480);
}

TEST(MidiReader, RefusesMalformedFilesNamingTheTrackTheByteAndTheFault) {
    MidiLimits fewEvents;
    fewEvents.maxMessages = 2;
    MidiLimits fewBytes;
    fewBytes.maxBytes = 30;
    const struct {
        Bytes file;
        std::string message; // the whole text after "MIDI file 't.mid' is damaged: "; "" for other lines
        std::string mentions;
        MidiLimits limits = {};
    } cases[] = {
        {song({0x00, 0xFF, 0x51, 0x00}), "track 1, byte 23: a tempo event needs 3 bytes, it has 0", ""},
        {song({0x00, 0xFF, 0x51, 0x01, 0x07}), "track 1, byte 23: a tempo event needs 3 bytes, it has 1", ""},
        {song({0x00, 0xFF, 0x51, 0x03, 0, 0, 0}), "", "a tempo of 0 microseconds"},
        {song({0x00, 0xFF, 0x58, 0x02, 4, 2}), "", "a time signature needs 4 bytes, it has 2"},
        {song({0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x3E, 0x40}),
         "track 1, byte 31: a data byte (0x3E) without a status byte (running status ends at meta and SysEx "
         "events)",
         ""},
        {song({0x00, 0x90, 0x3C, 0x40, 0x00, 0xF0, 0x01, 0xF7, 0x00, 0x3E, 0x40}), "",
         "without a status byte"},
        {song({0x00, 0x90, 0x3C, 0x90, 0x3E, 0x40}),
         "track 1, byte 25: a message is cut short by a status byte (0x90)", ""},
        {song({0x00, 0xFF, 0x01, 0x7F, 'x'}), "", "a meta event claims 127 bytes, the track has 5 left"},
        {song({0x00, 0xF0, 0x83, 0x60, 0x7E}), "", "a SysEx event claims 480 bytes"},
        {song({0x00, 0xF8}), "track 1, byte 23: a system message (0xF8) has no place in a file", ""},
        {song({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90}),
         "track 1, byte 22: a delta time runs longer than 4 bytes", ""},
        {join({header(0, 1), chunk({0x00, 0x90, 0x3C})}), "", "the track ends inside a channel message"},
        {join({header(0, 1), chunk({0x00, 0xFF})}), "", "the track ends inside a meta event"},
        {join({header(0, 1), chunk({0x00, 0x90, 0x3C, 0x40})}), "",
         "does not end with an end-of-track event"},
        {join({header(0, 1), chunk(join({endOfTrack, {0x00, 0x90, 0x3C, 0x40}}))}), "",
         "events follow the end-of-track event"},
        {join({header(0, 1), {'M', 'T', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xFF}, endOfTrack}),
         "byte 14: track 1 claims 4,294,967,295 bytes, the file has 4 left (truncated file?)", ""},
        {join({header(1, 2), chunk(endOfTrack)}), "", "the header announces 2 tracks, the file holds 1"},
        {join({header(0, 1), chunk(endOfTrack), {'M', 'T'}}), "", "a chunk is cut short"},
        {join({header(3, 1), chunk(endOfTrack)}), "byte 8: unknown format 3 (there are 0, 1 and 2)", ""},
        {join({header(0, 2), chunk(endOfTrack), chunk(endOfTrack)}), "", "format 0 with 2 tracks"},
        {join({header(0, 1, 0, 0), chunk(endOfTrack)}), "", "zero pulses per quarter note"},
        {join({header(0, 1, 0xEC, 4), chunk(endOfTrack)}), "", "time code of 20 frames a second"},
        {join({header(0, 1, 0xE7, 0), chunk(endOfTrack)}), "", "time code with no ticks per frame"},
        {{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1}, "", "not a MIDI file"},
        {song({0x00, 0x90, 0x3C, 0x40, 0x00, 0x3E, 0x40, 0x00, 0x40, 0x40}), "", "more than 2 events",
         fewEvents},
        {song({0x00, 0x90, 0x3C, 0x40, 0x00, 0x3E, 0x40, 0x00, 0x40, 0x40}), "", "too large", fewBytes},
    };
    for (const auto& c : cases) {
        std::string error;
        try {
            parse(c.file, c.limits);
        } catch (const solvantis::CliError& e) {
            error = e.what();
        }
        if (!c.message.empty()) {
            EXPECT_EQ(error, "MIDI file 't.mid' is damaged: " + c.message);
        } else {
            EXPECT_NE(error.find(c.mentions), std::string::npos) << c.mentions << "\n" << error;
            EXPECT_NE(error.find("t.mid"), std::string::npos) << error;
        }
    }
}
