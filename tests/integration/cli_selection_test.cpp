// Choosing what of a MIDI file plays: --channel, --track, --transpose, and --program against the
// file's program changes.
#include "integration/host_loader_support.h"

#include <gtest/gtest.h>

using namespace solvantis::testing;

namespace {

// "status data1" of every event the test plug-in received, in order.
std::vector<std::string> received(const std::string& log) {
    std::vector<std::string> events;
    std::istringstream in(readFile(log));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("event ", 0) == 0) {
            std::istringstream fields(line.substr(6));
            int delta = 0, status = 0, data1 = 0;
            fields >> delta >> status >> data1;
            events.push_back(std::to_string(status) + " " + std::to_string(data1));
        }
    }
    return events;
}

} // namespace

TEST(CliSelection, ChannelsTracksTranspositionAndProgramChanges) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    // Track 1: a program change and a note on channel 1. Track 2: notes on channels 2 and 3.
    MidiFileBuilder first;
    first.event(0, {0xC0, 5}).event(0, {0x90, 60, 100}).event(480, {0x80, 60, 0});
    MidiFileBuilder second;
    second.event(120, {0x91, 64, 90})
        .event(120, {0x92, 120, 90})
        .event(240, {0x81, 64, 0})
        .event(0, {0x82, 120, 0});
    scratch.write("two.mid", MidiFileBuilder::file(1, {first, second}));

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> events;
        std::string summary; // in the summary line ("" for no remark on programs)
    };
    const std::vector<Case> cases = {
        {{}, {"192 5", "144 60", "145 64", "146 120", "128 60", "129 64", "130 120"}, ""},
        {{"--channel", "2"}, {"145 64", "129 64"}, ""},
        {{"--channel", "1,3"}, {"192 5", "144 60", "146 120", "128 60", "130 120"}, ""},
        {{"--track", "2"}, {"145 64", "146 120", "129 64", "130 120"}, ""},
        {{"--track", "2", "--channel", "1-2"}, {"145 64", "129 64"}, ""},
        // Key 120 + 12 is beyond the MIDI keys: that note is left out, on and off alike.
        {{"--transpose", "12"}, {"192 5", "144 72", "145 76", "128 72", "129 76"}, ""},
        {{"--transpose", "-60"}, {"192 5", "144 0", "145 4", "146 60", "128 0", "129 4", "130 60"}, ""},
        {{"--program", "0"},
         {"144 60", "145 64", "146 120", "128 60", "129 64", "130 120"},
         "; program 0, the file's 1 program change left out"},
        {{"--program", "0", "--keep-program-changes"},
         {"192 5", "144 60", "145 64", "146 120", "128 60", "129 64", "130 120"},
         "; program 0, then the file's 1 program change"},
    };
    for (const Case& c : cases) {
        const std::string log = scratch.path("calls.log");
        std::filesystem::remove(log);
        std::vector<std::string> args = {"render", "two.mid", "--plugin", fake, "--rate", "8000"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult run = runCli(scratch, args, {{"FAKE_PLUGIN_LOG", log}});
        const std::string name = c.args.empty() ? "(all)" : c.args.front() + " " + c.args[1];
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        EXPECT_EQ(received(log), c.events) << name;
        if (c.summary.empty()) {
            EXPECT_EQ(run.out.find("program"), std::string::npos) << name << ": " << run.out;
        } else {
            EXPECT_NE(run.out.find(c.summary), std::string::npos) << name << ": " << run.out;
        }
        if (c.args == std::vector<std::string>{"--transpose", "12"}) {
            EXPECT_NE(run.err.find("1 note transposed beyond the MIDI keys 0 to 127 was left out"),
                      std::string::npos)
                << run.err;
        }
    }

    for (const auto& [args, mentions] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--track", "3"}, "--track 3: the file has 2 tracks"},
             {{"--channel", "17"}, "--channel '17' names 17, out of range (1 to 16)"},
             {{"--channel", "2-1"}, "is not a list like 1,3,5-8"},
             {{"--transpose", "128"}, "--transpose 128 is out of range"},
         }) {
        std::vector<std::string> all = {"render", "two.mid", "-o", "x.wav", "--plugin", fake};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult run = runCli(scratch, all);
        EXPECT_EQ(run.exitCode, 1) << mentions;
        EXPECT_NE(run.err.find(mentions), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(std::filesystem::exists(scratch.path("x.wav")));
    }
}
