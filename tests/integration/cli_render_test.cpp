// The built solvantis binary rendering MIDI files: through a test plug-in that writes down what it
// receives (frames, host order), through Debian's Kars, and through our own Solvantis.so.
#include "integration/host_loader_support.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace solvantis::testing;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    return all;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// 120 beats per minute, 480 pulses per beat: 960 pulses a second. A note at 0.5 s held to 1.0 s, a
// controller, a program change, a pitch bend, system exclusive and a text event; then the tempo doubles
// and a second note plays from 1.25 s to 1.5 s.
std::string twoNoteSong() {
    MidiFileBuilder midi;
    midi.tempo(0, 500000)
        .event(0, {0xFF, 0x01, 0x04, 't', 'e', 'x', 't'})
        .event(480, {0x90, 60, 100})
        .event(0, {0xB0, 1, 64})
        .event(0, {0xF0, 0x03, 0x7E, 0x01, 0xF7})
        .event(120, {0xC0, 5})
        .event(120, {0xE0, 0x00, 0x50})
        .event(240, {0x80, 60, 0})
        .tempo(0, 250000)
        .event(480, {0x91, 67, 90})
        .event(480, {0x81, 67, 0});
    return midi.bytes();
}

// The frames at which the first output channel changes level.
std::vector<int64_t> levelChanges(const AudioFile& file) {
    std::vector<int64_t> frames;
    float previous = 0.0f;
    for (int64_t i = 0; i < file.frames; ++i) {
        const float s = file.samples[size_t(i) * size_t(file.channels)];
        if (s != previous) {
            frames.push_back(i);
            previous = s;
        }
    }
    return frames;
}

struct Level {
    float peak = 0.0f;
    bool finite = true;
};

Level levelOf(const AudioFile& file) {
    Level level;
    for (float s : file.samples) {
        level.finite = level.finite && std::isfinite(s);
        level.peak = std::max(level.peak, std::fabs(s));
    }
    return level;
}

} // namespace

// Events arrive at their exact frames, one effProcessEvents before each process call, in a real host's
// order; meta events and system exclusive stay behind; the tempo change moves the second note.
TEST(CliRender, DeliversEveryEventAtItsFrameInHostOrder) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    scratch.write("song.mid", twoNoteSong());
    const std::string log = scratch.path("calls.log");

    const RunResult run =
        runCli(scratch,
               // The MIDI file after a --set: each --set takes one value.
               {"render", "--plugin", fake, "--rate", "44100", "--block", "512", "--set", "gain=0.25",
                "--set", "1=0.75", "song.mid", "--program", "0", "--bits", "float"},
               {{"FAKE_PLUGIN_LOG", log}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(lines(run.out).size(), 1u) << run.out;
    EXPECT_NE(run.out.find("song.wav"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("peak -6.0 dBFS"), std::string::npos) << run.out;

    // Host order: open, rate, block size, program, parameters, switch on ... switch off, close.
    std::vector<std::string> setup;
    std::vector<std::string> events;
    int64_t processed = 0;
    int64_t blocks = 0;
    std::vector<std::string> all = lines(readFile(log));
    for (const std::string& line : all) {
        if (startsWith(line, "event ")) {
            events.push_back(line + " @" + std::to_string(blocks));
        } else if (startsWith(line, "replacing ")) {
            processed += std::stoll(line.substr(10));
            ++blocks;
        } else if (setup.size() < 7 && !startsWith(line, "dispatch 8 ") && // name look-ups for --set
                   !startsWith(line, "dispatch 45 ") && !startsWith(line, "dispatch 47 ") &&
                   !startsWith(line, "dispatch 49 ")) { // and for the summary
            setup.push_back(line);
        }
    }
    const std::vector<std::string> expectedSetup = {
        "dispatch 0 0 0 0",    "dispatch 10 0 0 44100", "dispatch 11 0 512 0", "dispatch 2 0 0 0",
        "setParameter 0 0.25", "setParameter 1 0.75",   "dispatch 12 0 1 0"};
    EXPECT_EQ(setup, expectedSetup);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], "dispatch 12 0 0 0");
    EXPECT_EQ(all.back(), "dispatch 1 0 0 0");

    // 0.5 s = frame 22050 = block 43 + 34; 0.75 s = 33075;
    // 1.0 s = 44100; after the tempo doubles, 1.25 s = 55125 and 1.5 s = 66150.
    // --program wins over the file's program change (192 5), which is left out.
    EXPECT_NE(run.out.find("; program 0, the file's 1 program change left out"), std::string::npos)
        << run.out;
    const std::vector<std::string> expectedEvents = {"event 34 144 60 100 @43",  "event 34 176 1 64 @43",
                                                     "event 307 224 0 80 @64",   "event 68 128 60 0 @86",
                                                     "event 341 145 67 90 @107", "event 102 129 67 0 @129"};
    EXPECT_EQ(events, expectedEvents);

    const AudioFile file = readAudio(scratch.path("song.wav"));
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.channels, 2);
    EXPECT_EQ(file.sampleRate, 44100);
    EXPECT_EQ(file.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    // The song ends with its last event at 1.5 s; the auto tail adds the 100 ms of quiet that end it.
    EXPECT_EQ(file.frames, 66150 + 4410);
    // The last block is cut where the quiet reached 100 ms.
    EXPECT_GE(processed, file.frames);
    EXPECT_LT(processed, file.frames + 512);
    const std::vector<int64_t> expectedChanges = {22050, 44100, 55125, 66150};
    EXPECT_EQ(levelChanges(file), expectedChanges);
    EXPECT_EQ(file.samples[size_t(22050) * 2], 0.5f);
    EXPECT_EQ(file.samples[size_t(22050) * 2 + 1], -0.25f);
    EXPECT_EQ(scratch.files(), (std::vector<std::string>{"calls.log", "fake.so", "song.mid", "song.wav"}));
}

TEST(CliRender, FixedTailAndMaximumLength) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    scratch.write("song.mid", twoNoteSong());

    RunResult run = runCli(scratch, {"render", "song.mid", "-o", "fixed.wav", "--plugin", fake, "--rate",
                                     "48000", "--tail", "1.5", "--bits", "16"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    AudioFile file = readAudio(scratch.path("fixed.wav"));
    EXPECT_EQ(file.frames, 72000 + 72000); // the last event at 1.5 s, then 1.5 s of tail
    EXPECT_EQ(file.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

    // A note that never ends: the auto tail gives up after 10 s of sound ...
    MidiFileBuilder endless;
    endless.event(0, {0x90, 50, 100}).event(960, {0xB0, 7, 100});
    scratch.write("endless.mid", endless.bytes());
    run = runCli(scratch, {"render", "endless.mid", "--plugin", fake, "--rate", "8000", "--format", "flac"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    file = readAudio(scratch.path("endless.flac"));
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(file.frames, 8000 + 80000);
    EXPECT_NE(run.err.find("still sounding"), std::string::npos) << run.err;

    // ... and --max-length bounds everything, with a warning.
    run = runCli(scratch, {"render", "endless.mid", "-o", "short.wav", "--plugin", fake, "--rate", "8000",
                           "--max-length", "0.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("maximum length"), std::string::npos) << run.err;
    EXPECT_EQ(readAudio(scratch.path("short.wav")).frames, 4000);
}

TEST(CliRender, KarsRendersMonoAudio) {
    ScratchFolder scratch;
    MidiFileBuilder midi;
    midi.event(0, {0x90, 57, 110})
        .event(480, {0x80, 57, 0})
        .event(0, {0x90, 64, 90})
        .event(480, {0x80, 64, 0});
    scratch.write("kars.mid", midi.bytes());
    const RunResult run = runCli(scratch, {"render", "kars.mid", "--plugin", karsPath, "--rate", "48000"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("1 channel,"), std::string::npos) << run.out;
    const AudioFile file = readAudio(scratch.path("kars.wav"));
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.channels, 1);
    EXPECT_EQ(file.sampleRate, 48000);
    EXPECT_GE(file.frames, 48000);          // the song lasts one second
    EXPECT_LE(file.frames, 48000 + 480000); // and the tail at most ten more
    const Level level = levelOf(file);
    EXPECT_TRUE(level.finite);
    EXPECT_GT(level.peak, 0.01f);
}

// Our own plug-in, found beside the binary without --plugin.
TEST(CliRender, OurPluginRendersStereoAndTheSameSongTwiceGivesTheSameFile) {
    ScratchFolder scratch;
    scratch.write("song.mid", twoNoteSong());
    RunResult run =
        runCli(scratch, {"render", "song.mid", "-o", "first.wav", "--rate", "48000", "--block", "256"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    run = runCli(scratch, {"render", "song.mid", "-o", "second.wav", "--rate", "48000", "--block", "256"});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const AudioFile file = readAudio(scratch.path("first.wav"));
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.channels, 2);
    EXPECT_EQ(file.sampleRate, 48000);
    EXPECT_EQ(file.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_GE(file.frames, 72000 + 4800);
    EXPECT_LE(file.frames, 72000 + 480000);
    const Level level = levelOf(file);
    EXPECT_TRUE(level.finite);
    EXPECT_GT(level.peak, 0.01f);
    EXPECT_LE(level.peak, 1.0f);
    // Before the first note (0.5 s) the instrument is silent.
    for (size_t i = 0; i < size_t(24000) * 2; ++i) {
        ASSERT_EQ(file.samples[i], 0.0f) << i;
    }
    EXPECT_EQ(readFile(scratch.path("first.wav")), readFile(scratch.path("second.wav")));

    // Names match with trailing blanks ignored and letter case folded: "Distorter " is the plug-in's.
    run = runCli(scratch, {"render", "song.mid", "-o", "dirty.wav", "--rate", "48000", "--block", "256",
                           "--set", "DISTORTER=0.9", "--set", "legato=0"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const AudioFile dirty = readAudio(scratch.path("dirty.wav"));
    EXPECT_TRUE(levelOf(dirty).finite);
    EXPECT_GT(levelOf(dirty).peak, 0.01f);
    EXPECT_NE(readFile(scratch.path("dirty.wav")), readFile(scratch.path("first.wav")));
}

// Without a MIDI file the built-in demo plays into solvantis-demo.wav.
TEST(CliRender, TheDemoPlaysWithoutAMidiFile) {
    ScratchFolder scratch;
    const RunResult run = runCli(scratch, {"render", "--rate", "22050"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("solvantis-demo.wav"), std::string::npos) << run.out;
    const AudioFile file = readAudio(scratch.path("solvantis-demo.wav"));
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.channels, 2);
    EXPECT_GE(file.frames, 22050 * 10); // the phrase lasts about eleven seconds
    EXPECT_LE(file.frames, 22050 * 22);
    const Level level = levelOf(file);
    EXPECT_TRUE(level.finite);
    EXPECT_GT(level.peak, 0.05f);
    EXPECT_LE(level.peak, 1.0f);
}

namespace {

// "frame status data1 data2" for every event the test plug-in received, the frame counted from the
// start of the render.
std::vector<std::string> eventsAtFrames(const std::string& log) {
    std::vector<std::string> events;
    int64_t start = 0;
    for (const std::string& line : lines(readFile(log))) {
        if (startsWith(line, "replacing ")) {
            start += std::stoll(line.substr(10));
        } else if (startsWith(line, "event ")) {
            std::istringstream fields(line.substr(6));
            int64_t delta = 0;
            std::string rest;
            fields >> delta;
            std::getline(fields, rest);
            events.push_back(std::to_string(start + delta) + rest);
        }
    }
    return events;
}

} // namespace

// Format 1: the tracks are merged in time order, and the tempo map of the first track times them all.
TEST(CliRender, MergesTheTracksOfAFormatOneFile) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    MidiFileBuilder conductor;
    conductor.tempo(0, 500000).event(0, {0x90, 60, 100}).tempo(480, 250000).event(480, {0x80, 60, 0});
    MidiFileBuilder second;
    second.event(240, {0xB0, 1, 10}).event(240, {0x91, 64, 80}).event(240, {0x81, 64, 0});
    scratch.write("two.mid", MidiFileBuilder::file(1, {conductor, second}));
    const std::string log = scratch.path("calls.log");

    const RunResult run =
        runCli(scratch, {"render", "two.mid", "--plugin", fake, "--rate", "8000", "--block", "300"},
               {{"FAKE_PLUGIN_LOG", log}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // 0.25 s, 0.5 s at 120 beats per minute; then 240 beats per minute: 0.625 s and 0.75 s.
    const std::vector<std::string> expected = {"0 144 60 100", "2000 176 1 10", "4000 145 64 80",
                                               "5000 129 64 0", "6000 128 60 0"};
    EXPECT_EQ(eventsAtFrames(log), expected);
    EXPECT_EQ(readAudio(scratch.path("two.wav")).frames, 6000 + 800);
}

// The demo's notes all end, and it uses the bend and the wheel; another plug-in gets the notes without
// the PowerChord switch it does not have.
TEST(CliRender, TheDemoPhraseIsBalanced) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    const std::string log = scratch.path("calls.log");
    const RunResult run =
        runCli(scratch, {"render", "-o", "demo.wav", "--plugin", fake}, {{"FAKE_PLUGIN_LOG", log}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    int noteOns = 0;
    int noteOffs = 0;
    int bends = 0;
    int wheel = 0;
    int64_t previous = -1;
    for (const std::string& e : eventsAtFrames(log)) {
        std::istringstream fields(e);
        int64_t frame = 0;
        int status = 0;
        int data1 = 0;
        fields >> frame >> status >> data1;
        EXPECT_GE(frame, previous) << e;
        previous = frame;
        noteOns += status == 0x90;
        noteOffs += status == 0x80;
        bends += status == 0xE0;
        wheel += status == 0xB0 && data1 == 1;
    }
    EXPECT_GE(noteOns, 10);
    EXPECT_EQ(noteOns, noteOffs);
    EXPECT_GT(bends, 10);
    EXPECT_GT(wheel, 10);
    EXPECT_EQ(readFile(log).find("setParameter"), std::string::npos);
    const AudioFile file = readAudio(scratch.path("demo.wav"));
    EXPECT_GE(file.frames, 44100 * 10);
    EXPECT_LE(file.frames, 44100 * 12);
}

// Time-code files (25 frames of 40 ticks: a millisecond a tick) are timed by their ticks; tempo events
// do not change them.
TEST(CliRender, TimeCodeFilesAreTimedByTheirTicks) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    MidiFileBuilder midi;
    midi.tempo(0, 1000000).event(500, {0x90, 60, 100}).tempo(0, 250000).event(500, {0x80, 60, 0});
    std::string bytes = midi.bytes();
    bytes[12] = char(0xE7); // -25
    bytes[13] = char(40);
    scratch.write("film.mid", bytes);
    const std::string log = scratch.path("calls.log");
    const RunResult run = runCli(scratch, {"render", "film.mid", "--plugin", fake, "--rate", "8000"},
                                 {{"FAKE_PLUGIN_LOG", log}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(eventsAtFrames(log), (std::vector<std::string>{"4000 144 60 100", "8000 128 60 0"}));
    EXPECT_EQ(readAudio(scratch.path("film.wav")).frames, 8000 + 800);
}
