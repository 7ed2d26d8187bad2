// The command-line host as people who render songs meet it: knowing a MIDI file, rendering several,
// hearing what played, and the arguments and messages around them.
#include "integration/host_loader_support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

using namespace solvantis::testing;
using nlohmann::json;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> objects;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        objects.push_back(json::parse(line, nullptr, false));
    }
    return objects;
}

// Track 1: the name "Tempo", a tempo of 100 BPM and a 3/4 signature. Track 2 "Lead": program 25 and a
// chord of two notes on channel 1, then one more note. Track 3: drums on channel 10 and a line on
// channel 2 of three notes one after the other.
std::string band() {
    MidiFileBuilder conductor;
    conductor.event(0, {0xFF, 0x03, 0x05, 'T', 'e', 'm', 'p', 'o'})
        .tempo(0, 600000)
        .event(0, {0xFF, 0x58, 0x04, 3, 2, 24, 8})
        .event(480 * 6, {0xFF, 0x01, 0x01, '.'}); // two bars of 3/4
    MidiFileBuilder lead;
    lead.event(0, {0xFF, 0x03, 0x04, 'L', 'e', 'a', 'd'})
        .event(0, {0xC0, 25})
        .event(0, {0x90, 60, 100})
        .event(0, {0x90, 64, 100})
        .event(480, {0x80, 60, 0})
        .event(0, {0x90, 64, 0})
        .event(0, {0x90, 72, 90})
        .event(480, {0x80, 72, 0});
    MidiFileBuilder rhythm;
    rhythm.event(0, {0x99, 36, 100})
        .event(0, {0x91, 40, 100})
        .event(240, {0x81, 40, 0})
        .event(0, {0x91, 43, 100})
        .event(240, {0x81, 43, 0})
        .event(0, {0x91, 45, 100})
        .event(0, {0x89, 36, 0})
        .event(240, {0x81, 45, 0});
    return MidiFileBuilder::file(1, {conductor, lead, rhythm});
}

} // namespace

TEST(CliSongs, VersionOnTheProgramAndEveryCommand) {
    ScratchFolder scratch;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--version"},
                                               {"render", "--version"},
                                               {"midi", "--version"},
                                               {"validate", "--version"},
                                               {"compare", "--version"},
                                               {"info", "--version"},
                                               {"preset", "save", "--version"}}) {
        const RunResult run = runCli(scratch, args);
        EXPECT_EQ(run.exitCode, 0) << args.front() << ": " << run.err;
        EXPECT_EQ(run.out.rfind("solvantis 1.", 0), 0u) << args.front() << ": " << run.out;
    }
    // info also names the plug-in's own version.
    EXPECT_TRUE(contains(runCli(scratch, {"info", "--version"}).out, "Solvantis by Quelvarin, version 9536"));
}

TEST(CliSongs, ThePlugInAndTheMidiFileGoWhereTheyBelong) {
    ScratchFolder scratch;
    scratch.write("band.mid", band());
    const std::string plugin = SOLVANTIS_PLUGIN_PATH;
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out; // in standard output
        std::string err; // in standard error
    };
    const std::vector<Case> cases = {
        {{"info", plugin}, 0, "Effect name    Solvantis", ""},
        {{"info", plugin, "--plugin", plugin}, 1, "", "info takes one plug-in"},
        {{"info", "band.mid"}, 0, "band.mid: format 1, 3 tracks", ""},
        {{"validate", plugin, "--only", "record"}, 0, "PASS", ""},
        {{"validate", "band.mid"}, 1, "", "'band.mid' is a MIDI file, not a plug-in"},
        {{"render", plugin}, 1, "", "is a plug-in, not a MIDI file; give it with --plugin"},
        {{"render", "--plugin", "band.mid"}, 1, "", "--plugin 'band.mid' is a MIDI file"},
    };
    for (const Case& c : cases) {
        const RunResult run = runCli(scratch, c.args);
        const std::string name = c.args[0] + " " + c.args[1];
        EXPECT_EQ(run.exitCode, c.exitCode) << name << ": " << run.err;
        EXPECT_TRUE(contains(run.out, c.out)) << name << ": " << run.out;
        EXPECT_TRUE(contains(run.err, c.err)) << name << ": " << run.err;
    }
}

TEST(CliSongs, InfoLeavesOutOrFoldsTheProgramsAndValidateListsItsChecks) {
    ScratchFolder scratch;
    const RunResult text = runCli(scratch, {"info"});
    EXPECT_TRUE(contains(text.out, "Programs: 128 programs, all named Basic (current 0)")) << text.out;
    EXPECT_FALSE(contains(runCli(scratch, {"info", "--no-programs"}).out, "Programs"));
    const json info = json::parse(runCli(scratch, {"info", "--json", "--no-programs"}).out, nullptr, false);
    ASSERT_TRUE(info.is_object());
    EXPECT_FALSE(info.contains("programs"));
    EXPECT_TRUE(info.contains("parameters"));

    const RunResult list = runCli(scratch, {"validate", "--list"});
    EXPECT_EQ(list.exitCode, 0);
    std::istringstream lines(list.out);
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_GT(line.find_first_not_of(' ', line.find(' ')), 20u) << "a name and what it does: " << line;
    }
    EXPECT_EQ(count, 25u) << list.out;
    EXPECT_TRUE(contains(list.out, "audio-allocation")) << list.out;
}

TEST(CliSongs, MidiShowsTracksChannelsAndPolyphony) {
    ScratchFolder scratch;
    scratch.write("band.mid", band());
    const RunResult run = runCli(scratch, {"midi", "band.mid", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json facts = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(facts.is_object()) << run.out;
    EXPECT_EQ(facts["format"], 1);
    EXPECT_EQ(facts["ticksPerQuarter"], 480);
    EXPECT_NEAR(facts["bars"].get<double>(), 2.0, 1e-9);
    EXPECT_NEAR(facts["seconds"].get<double>(), 6 * 0.6, 1e-6);
    ASSERT_EQ(facts["tempos"].size(), 1u);
    EXPECT_NEAR(facts["tempos"][0]["bpm"].get<double>(), 100.0, 1e-9);

    // track: name, program, notes, lowest, highest, polyphony, channels
    const json tracks = json::parse(R"([
        [1, "Tempo", null, 0, null, null, 0, []],
        [2, "Lead", 25, 3, 60, 72, 2, [1]],
        [3, "", null, 4, 36, 45, 2, [2, 10]]])");
    ASSERT_EQ(facts["tracks"].size(), tracks.size());
    for (size_t i = 0; i < tracks.size(); ++i) {
        const json& t = facts["tracks"][i];
        const json got = {t["track"],  t["name"],    t["program"],   t["notes"],
                          t["lowest"], t["highest"], t["polyphony"], t["channels"]};
        EXPECT_EQ(got, tracks[i]) << "track " << i + 1;
    }
    // channel: notes, lowest, highest, polyphony (one after the other on 2), drums
    const json channels = json::parse(R"([[1, 3, 60, 72, 2, false], [2, 3, 40, 45, 1, false],
                                          [10, 1, 36, 36, 1, true]])");
    ASSERT_EQ(facts["channels"].size(), channels.size());
    for (size_t i = 0; i < channels.size(); ++i) {
        const json& c = facts["channels"][i];
        const json got = {c["channel"], c["notes"], c["lowest"], c["highest"], c["polyphony"], c["drums"]};
        EXPECT_EQ(got, channels[i]) << "channel " << channels[i][0];
    }
    EXPECT_EQ(facts["busiestMelodicChannel"], 1);
}

TEST(CliSongs, OneNoteAtATimeWarnsOfSeveralChannelsAndTheSummarySaysWhatPlayed) {
    ScratchFolder scratch;
    scratch.write("band.mid", band());
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    struct Case {
        std::vector<std::string> args;
        bool warned;
        std::string played; // in the summary
    };
    const std::vector<Case> cases = {
        {{}, true, "; played channels 1, 2, 10 from tracks 2, 3"},
        {{"--channel", "2"}, false, "; played channel 2 from track 3"},
        {{"--track", "3"}, true, "; played channels 2, 10 from track 3"},
        {{"--plugin", fake}, false, "; played channels 1, 2, 10"}, // another plug-in: no guess
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render", "band.mid", "--rate", "8000", "--bits", "float"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult run = runCli(scratch, args);
        const std::string name = c.args.empty() ? "(all)" : c.args[0];
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        EXPECT_EQ(contains(run.err, "plays one note at a time"), c.warned) << name << ": " << run.err;
        EXPECT_TRUE(contains(run.out, c.played)) << name << ": " << run.out;
        EXPECT_TRUE(contains(run.out, c.args.empty() || c.args[0] != "--plugin" ? "; Solvantis by Quelvarin ("
                                                                                : fake + ")"))
            << name << ": " << run.out;
    }
    // The suggested channel is the busiest melodic one of what would play.
    EXPECT_TRUE(contains(runCli(scratch, {"render", "band.mid", "--rate", "8000"}).err, "add --channel 1 "));
    EXPECT_TRUE(contains(runCli(scratch, {"render", "band.mid", "--rate", "8000", "--track", "3"}).err,
                         "add --channel 2 "));
}

TEST(CliSongs, ManyFilesRenderEachOnTheirOwnAndAFailureStopsNoOther) {
    ScratchFolder scratch;
    scratch.write("a.mid", band());
    scratch.write("b.mid", band());
    scratch.write("broken.mid", "MThd and nothing more");
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    for (const std::string jobs : {"1", "2"}) {
        std::filesystem::remove_all(scratch.path("out"));
        // The first file renders slowest: with --jobs its object still comes first.
        const RunResult run = runCli(scratch,
                                     {"render", "a.mid", "broken.mid", "b.mid", "-o", "out/", "--plugin",
                                      fake, "--rate", "8000", "--jobs", jobs, "--json"},
                                     {{"FAKE_PLUGIN_DELAY_US", "2000"}});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        std::map<std::string, json> byInput;
        std::vector<std::string> order;
        for (const json& object : jsonLines(run.out)) {
            ASSERT_TRUE(object.is_object()) << run.out;
            byInput[object["input"]] = object;
            order.push_back(object["input"]);
        }
        EXPECT_EQ(order, (std::vector<std::string>{"a.mid", "broken.mid", "b.mid"})) << "--jobs " << jobs;
        ASSERT_EQ(byInput.size(), 3u) << run.out;
        EXPECT_EQ(byInput["broken.mid"]["ok"], false);
        EXPECT_TRUE(contains(byInput["broken.mid"]["error"].get<std::string>(), "broken.mid"));
        for (const char* good : {"a.mid", "b.mid"}) {
            const json& object = byInput[good];
            EXPECT_EQ(object["ok"], true) << good;
            EXPECT_EQ(object["rate"], 8000);
            EXPECT_EQ(object["plugin"]["path"], fake);
            EXPECT_EQ(readAudio(scratch.path(object["output"].get<std::string>())).frames, object["frames"])
                << good;
        }
        EXPECT_FALSE(std::filesystem::exists(scratch.path("out/broken.wav")));
    }

    // Text: one summary line each and the total, every warning naming its file; --quiet: nothing but
    // the error.
    const std::vector<std::string> both = {"render", "a.mid", "broken.mid",  "--plugin", fake,
                                           "--rate", "8000",  "--transpose", "100"};
    const RunResult text = runCli(scratch, both);
    EXPECT_TRUE(contains(text.out, "2 files: 1 rendered, 1 failed")) << text.out;
    EXPECT_TRUE(contains(text.err, "solvantis: warning: a.mid: ")) << text.err;
    EXPECT_FALSE(contains(text.err, "solvantis: warning: notes")) << text.err;
    std::vector<std::string> quiet = both;
    quiet.push_back("--quiet");
    const RunResult silent = runCli(scratch, quiet);
    EXPECT_EQ(silent.exitCode, 1);
    EXPECT_EQ(silent.out, "");
    EXPECT_EQ(std::count(silent.err.begin(), silent.err.end(), '\n'), 1) << silent.err;

    // A render process ended by a signal failed, however little it said: here the limit on a file's
    // size (1 MiB), which only the long song's audio passes (5.8 MB against the short one's 0.2 MB).
    MidiFileBuilder longSong;
    longSong.event(0, {0x90, 60, 100}).event(480 * 240, {0x80, 60, 0}); // two minutes
    scratch.write("long.mid", longSong.bytes());
    const RunResult limited =
        runCli(scratch,
               {"-c", "ulimit -c 0 && ulimit -f 1024 && exec \"$0\" \"$@\"", SOLVANTIS_CLI_PATH, "render",
                "a.mid", "long.mid", "-o", "limited/", "--plugin", fake, "--rate", "8000", "--jobs", "2"},
               {}, "/bin/sh");
    EXPECT_EQ(limited.exitCode, 1) << limited.err;
    EXPECT_TRUE(contains(limited.out, "2 files: 1 rendered, 1 failed")) << limited.out;
    EXPECT_TRUE(
        contains(limited.err, "long.mid: the render process ended by signal " + std::to_string(SIGXFSZ)))
        << limited.err;
    EXPECT_TRUE(std::filesystem::exists(scratch.path("limited/a.wav")));
    EXPECT_FALSE(std::filesystem::exists(scratch.path("limited/long.wav")));

    // Outputs that cannot be told apart are refused before anything renders.
    std::filesystem::create_directory(scratch.path("other"));
    scratch.write("other/a.mid", band());
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"render", "a.mid", "other/a.mid", "-o", "out/"},
                                               {"render", "a.mid", "b.mid", "-o", "one.wav"}}) {
        const RunResult refused = runCli(scratch, args);
        EXPECT_EQ(refused.exitCode, 1) << args[3];
        EXPECT_TRUE(contains(refused.err, args[4] == "out/" ? "would both be written" : "give a folder"))
            << refused.err;
    }
}

TEST(CliSongs, MessagesNameTheChoiceMadeAndTheRemedy) {
    ScratchFolder scratch;
    scratch.write("band.mid", band());
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        // Track 1 has no notes: the hint names the tracks, since --track chose.
        {{"--track", "1"}, "the file plays notes on tracks 2, 3 (choose with --track)"},
        {{"--channel", "5"}, "the file plays notes on channels 1, 2, 10 (choose with --channel)"},
        {{"--max-length", "1"},
         "stopped at the maximum length of 1 s; the file is 3.6 s long (--max-length 14 "
         "renders all of it)"},
        {{"--tail", "-1"}, "tail of -1 s is out of range"},
        {{"--gain", "300"}, "gain of 300 dB is out of range"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render", "band.mid", "--plugin", fake, "--rate", "8000"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult run = runCli(scratch, args);
        EXPECT_TRUE(contains(run.err, c.err)) << c.args[0] << ": " << run.err;
    }

    // A missing input is reported as such, not as the output beside it; a default output in a folder
    // the user cannot write to says how to write elsewhere. Run as nobody when the test runs as root,
    // whom a folder's permissions do not stop.
    std::filesystem::create_directory(scratch.path("ro"));
    scratch.write("ro/band.mid", band());
    ::chmod(scratch.path("ro").c_str(), 0555);
    ::chmod(scratch.root().c_str(), 0755);
    const std::vector<Case> inputs = {
        {{"render", "gone/x.mid", "--plugin", fake}, "solvantis: MIDI file 'gone/x.mid' does not exist\n"},
        {{"render", "ro/band.mid", "--plugin", fake, "--rate", "8000"},
         "cannot write 'ro/band.wav': the folder 'ro' is not writable (Permission denied); write somewhere "
         "else with -o DIR/ (or -o FILE.wav)\n"},
    };
    for (const Case& c : inputs) {
        std::vector<std::string> args = c.args;
        std::string program = SOLVANTIS_CLI_PATH;
        if (::geteuid() == 0) {
            args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
            program = "setpriv";
        }
        const RunResult run = runCli(scratch, args, {}, program);
        EXPECT_EQ(run.exitCode, 1) << c.args[1];
        EXPECT_TRUE(contains(run.err, c.err)) << c.args[1] << ": " << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.path("ro/band.wav")));
}

// The tempo and bars of a file read from standard input, as from a file; format 2's patterns play one
// after another, each on its own tempo map (the second at 60 BPM from its start, 3.6 s in).
TEST(CliSongs, MidiReadsStandardInputAndLaysPatternsOneAfterAnother) {
    ScratchFolder scratch;
    scratch.write("band.mid", band());
    MidiFileBuilder first;
    first.tempo(0, 600000).event(0, {0xFF, 0x58, 0x04, 3, 2, 24, 8}).event(480 * 6, {0xFF, 0x01, 0x01, '.'});
    MidiFileBuilder second;
    second.tempo(0, 1000000).event(0, {0x90, 60, 100}).event(480 * 4, {0x80, 60, 0});
    scratch.write("patterns.mid", MidiFileBuilder::file(2, {first, second}));
    const struct {
        std::string input;
        double seconds;
        double bars;
        std::vector<std::pair<double, double>> tempos; // seconds, BPM
    } cases[] = {
        {"- < band.mid", 3.6, 2.0, {{0.0, 100.0}}},
        {"patterns.mid", 7.6, 3.0, {{0.0, 100.0}, {3.6, 60.0}}},
    };
    for (const auto& c : cases) {
        const std::string command = "cd " + shellQuote(scratch.root()) + " && " +
                                    shellQuote(SOLVANTIS_CLI_PATH) + " midi --json " + c.input + " >facts";
        ASSERT_EQ(std::system(command.c_str()), 0) << c.input;
        const json facts = json::parse(readFile(scratch.path("facts")), nullptr, false);
        ASSERT_TRUE(facts.is_object()) << c.input;
        EXPECT_NEAR(facts["seconds"].get<double>(), c.seconds, 1e-6) << c.input;
        EXPECT_NEAR(facts["bars"].get<double>(), c.bars, 1e-9) << c.input;
        ASSERT_EQ(facts["tempos"].size(), c.tempos.size()) << c.input;
        for (size_t i = 0; i < c.tempos.size(); ++i) {
            EXPECT_NEAR(facts["tempos"][i]["seconds"].get<double>(), c.tempos[i].first, 1e-6) << c.input;
            EXPECT_NEAR(facts["tempos"][i]["bpm"].get<double>(), c.tempos[i].second, 1e-9) << c.input;
        }
    }
}

// A song longer than the longest render is advised the longest render, not a length the option
// refuses.
TEST(CliSongs, TheLengthWarningAdvisesALengthTheOptionTakes) {
    ScratchFolder scratch;
    MidiFileBuilder day;
    day.tempo(0, 0xFFFFFF).event(0, {0x90, 60, 100}).event(0x0FFFFFFF, {0x80, 60, 0}); // about 108 days
    scratch.write("day.mid", day.bytes());
    const RunResult run = runCli(scratch, {"render", "day.mid", "--plugin", buildFakePlugin(scratch, ""),
                                           "--rate", "8000", "--max-length", "0.5", "-o", "day.wav"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("(--max-length 86400, the longest, renders the first 86400 s)"), std::string::npos)
        << run.err;
}
