// Every kind of bad input ends with one error line naming the problem, a non-zero exit code, and no
// output file (complete or partial) left behind.
#include "integration/host_loader_support.h"

#include <gtest/gtest.h>

using namespace solvantis::testing;

namespace {

class CliBadInput : public ::testing::Test {
protected:
    void SetUp() override {
        fake = buildFakePlugin(scratch, "");
        ASSERT_FALSE(fake.empty());
        MidiFileBuilder midi;
        midi.event(0, {0x90, 60, 100}).event(480, {0x80, 60, 0});
        good = midi.bytes();
        scratch.write("good.mid", good);
    }

    // Runs the command and checks the three promises; `mentions` must appear in the error line.
    void expectRefused(const std::vector<std::string>& args, const std::string& mentions) {
        const std::vector<std::string> before = scratch.files();
        const RunResult run = runCli(scratch, args);
        std::string command;
        for (const std::string& a : args) {
            command += a + " ";
        }
        EXPECT_NE(run.exitCode, 0) << command;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << command << "\n" << run.err;
        EXPECT_NE(run.err.find(mentions), std::string::npos) << command << "\n" << run.err;
        EXPECT_EQ(run.out, "") << command;
        EXPECT_EQ(scratch.files(), before) << command << "\n" << run.err;
    }

    std::vector<std::string> render(std::initializer_list<std::string> more) {
        std::vector<std::string> args = {"render", "--plugin", fake};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    ScratchFolder scratch;
    std::string fake;
    std::string good;
};

} // namespace

TEST_F(CliBadInput, MidiFiles) {
    expectRefused(render({"missing.mid"}), "missing.mid");
    expectRefused(render({"missing.mid"}), "does not exist");

    scratch.write("empty.mid", "");
    expectRefused(render({"empty.mid"}), "empty.mid");
    expectRefused(render({"empty.mid"}), "empty");

    scratch.write("truncated.mid", good.substr(0, good.size() - 6));
    expectRefused(render({"truncated.mid"}), "truncated.mid");

    scratch.write("short-header.mid", good.substr(0, 10));
    expectRefused(render({"short-header.mid"}), "short-header.mid");

    // Damage that the MIDI library would read past, stop the program on, or leak on.
    std::string broken = good;
    broken[8] = 0x08; // format 2049
    scratch.write("format.mid", broken);
    expectRefused(render({"format.mid"}), "format");
    broken = good;
    broken[12] = char(0xEC); // time code of 20 frames a second
    scratch.write("timecode.mid", broken);
    expectRefused(render({"timecode.mid"}), "20 frames");
    broken = good;
    broken[11] = 2; // announces a second track that is not there
    broken[9] = 1;
    scratch.write("tracks.mid", broken);
    expectRefused(render({"tracks.mid"}), "tracks.mid");
    MidiFileBuilder orphan;
    orphan.event(0, {0x3C, 0x64}); // data bytes before any status
    scratch.write("orphan.mid", orphan.bytes());
    expectRefused(render({"orphan.mid"}), "without a status");
    MidiFileBuilder cut;
    cut.event(0, {0x90, 0x3C, 0x90, 0x3C, 0x40}); // a note-on cut short by the next one
    scratch.write("cut.mid", cut.bytes());
    expectRefused(render({"cut.mid"}), "cut short");
    std::string noEnd = good;
    noEnd.resize(noEnd.size() - 4); // the end-of-track event removed, the length mended
    noEnd[21] = char(noEnd[21] - 4);
    scratch.write("noend.mid", noEnd);
    expectRefused(render({"noend.mid"}), "end-of-track");

    scratch.write("text.mid", "this is a text file, not a song\n");
    expectRefused(render({"text.mid"}), "not a MIDI file");

    expectRefused(render({"good.mid", "-o", "good.mid"}), "replace");
    expectRefused(render({"good.mid", "-o", "./good.mid"}), "replace");
}

TEST_F(CliBadInput, OutputFolders) {
    expectRefused(render({"good.mid", "-o", "no-such-folder/out.wav"}), "no-such-folder");
    expectRefused(render({"good.mid", "-o", "good.mid/out.wav"}), "not a folder");
    expectRefused(render({"good.mid", "-o", "out.flac", "--bits", "float"}), "FLAC");
}

TEST_F(CliBadInput, Parameters) {
    expectRefused(render({"good.mid", "--set", "Brightness=0.5"}), "Brightness");
    expectRefused(render({"good.mid", "--set", "Brightness=0.5"}), fake);
    expectRefused(render({"good.mid", "--set", "2=0.5"}), "out of range");
    expectRefused(render({"good.mid", "--set", "99999999999=0.5"}), "out of range");
    expectRefused(render({"good.mid", "--set", "Gain=loud"}), "not a number");
    expectRefused(render({"good.mid", "--set", "Gain="}), "not a number");
    expectRefused(render({"good.mid", "--set", "Gain=nan"}), "not a number");
    expectRefused(render({"good.mid", "--set", "Gain=1.5"}), "outside 0 to 1");
    expectRefused(render({"good.mid", "--set", "Gain"}), "NAME=VALUE");
    expectRefused(render({"good.mid", "--program", "1"}), "program 1");
    expectRefused(render({"good.mid", "--program", "-1"}), "program");
}

TEST_F(CliBadInput, PlugIns) {
    const std::vector<std::string> missing = {"render", "good.mid", "--plugin", "absent.so"};
    expectRefused(missing, "absent.so");
    scratch.write("text.so", "not a library");
    expectRefused({"render", "good.mid", "--plugin", "text.so"}, "not a loadable shared library");
    expectRefused({"info", "--plugin", "text.so"}, "text.so");

    const std::string noEntry = buildFakePlugin(scratch, "FAKE_NO_ENTRY");
    const std::string nullRecord = buildFakePlugin(scratch, "FAKE_NULL_RECORD");
    ASSERT_FALSE(noEntry.empty());
    ASSERT_FALSE(nullRecord.empty());
    expectRefused({"render", "good.mid", "--plugin", noEntry}, "no VST 2 entry");
    expectRefused({"render", "good.mid", "--plugin", nullRecord}, "no effect record");
    expectRefused({"info", "--plugin", nullRecord}, nullRecord);
}

TEST_F(CliBadInput, RatesAndBlockSizes) {
    expectRefused(render({"good.mid", "--rate", "0"}), "sample rate");
    expectRefused(render({"good.mid", "--rate", "-44100"}), "sample rate");
    expectRefused(render({"good.mid", "--rate", "768001"}), "768000");
    expectRefused(render({"good.mid", "--rate", "fast"}), "not a number");
    expectRefused(render({"good.mid", "--rate", "44100.5"}), "whole number");
    expectRefused(render({"good.mid", "--block", "0"}), "block size");
    expectRefused(render({"good.mid", "--block", "-64"}), "block size");
    expectRefused(render({"good.mid", "--block", "65537"}), "65536");
    expectRefused(render({"good.mid", "--tail", "-1"}), "tail");
    expectRefused(render({"good.mid", "--tail", "soon"}), "tail");
    expectRefused(render({"good.mid", "--max-length", "0"}), "maximum length");
    expectRefused(render({"good.mid", "--format", "mp3"}), "mp3");
    expectRefused(render({"good.mid", "--bits", "12"}), "12");
    expectRefused(render({"good.mid", "--no-such-option"}), "no-such-option");
}

// The extremes that are allowed still work.
TEST_F(CliBadInput, LimitsThemselvesAreAccepted) {
    RunResult run = runCli(scratch, render({"good.mid", "-o", "tiny.wav", "--rate", "768000", "--block",
                                            "65536", "--max-length", "0.1"}));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readAudio(scratch.path("tiny.wav")).frames, 76800);
    run = runCli(scratch,
                 render({"good.mid", "-o", "one.wav", "--rate", "8000", "--block", "1", "--tail", "0"}));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readAudio(scratch.path("one.wav")).frames, 4000);
}

// An interrupted render removes its unfinished file and exits as a program stopped by Ctrl-C does.
TEST_F(CliBadInput, AnInterruptedRenderLeavesNothingBehind) {
    MidiFileBuilder endless;
    endless.event(0, {0x90, 50, 100}).event(96000, {0xB0, 7, 100}); // a note held for 100 s
    scratch.write("endless.mid", endless.bytes());
    const std::vector<std::string> before = scratch.files();
    // Interrupted once the render is under way (the plug-in's log shows its first block).
    std::string command = "cd ";
    command += shellQuote(scratch.root());
    command += " || exit 1; FAKE_PLUGIN_LOG=log FAKE_PLUGIN_DELAY_US=2000 ";
    command += shellQuote(SOLVANTIS_CLI_PATH);
    command += " render endless.mid --plugin ";
    command += shellQuote(fake);
    command += " --max-length 3600 >/dev/null 2>err & pid=$!; for i in $(seq 1000); do grep -q replacing log "
               "2>/dev/null && break; sleep 0.01; done; kill -INT $pid; wait $pid";
    const int status = std::system(command.c_str());
    // The shell's convention for a program ended by SIGINT: 128 + 2.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_NE(readFile(scratch.path("err")).find("interrupted"), std::string::npos)
        << readFile(scratch.path("err"));
    std::filesystem::remove(scratch.path("err"));
    std::filesystem::remove(scratch.path("log"));
    EXPECT_EQ(scratch.files(), before);
}

// Numbers and names checked before anything renders: rates the plug-in would not play, numbers beyond
// what a whole number holds, and default output names that two inputs share.
TEST_F(CliBadInput, NumbersAndNamesRefusedBeforeTheRender) {
    for (const char* name : {"a.mid", "a.midi", "a.kar"}) {
        scratch.write(name, good);
    }
    const struct {
        std::vector<std::string> args;
        std::string mentions;
    } cases[] = {
        {render({"good.mid", "--rate", "7999"}), "out of range (8000 to 768000)"},
        {render({"good.mid", "--jobs", "1e300"}), "--jobs '1e300' is not a whole number in range"},
        {render({"good.mid", "--rate", "1e19"}), "sample rate '1e19' is not a whole number in range"},
        {render({"good.mid", "--block", "-9.3e18"}), "block size '-9.3e18' is not a whole number in range"},
        {render({"a.mid", "a.midi", "a.kar"}), "'a.mid' and 'a.midi' would both be written to 'a.wav'"},
        {render({"a.mid", "./a.kar", "--jobs", "2"}), "would both be written to './a.wav'"},
    };
    for (const auto& c : cases) {
        expectRefused(c.args, c.mentions);
    }
}

// A list of tracks that names every track a thousand times is read in the memory of one: the file's
// own track count refuses it, not the memory the list would take written out (256 MB here).
TEST_F(CliBadInput, ARepeatedTrackRangeCostsNoMoreThanOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a memory limit";
#else
    std::string tracks = "1-65535";
    for (int i = 1; i < 2000; ++i) {
        tracks += ",1-65535";
    }
    const std::string command = "cd " + shellQuote(scratch.root()) + " && ulimit -v 262144 && " +
                                shellQuote(SOLVANTIS_CLI_PATH) + " render good.mid --plugin " +
                                shellQuote(fake) + " --track " + tracks + " 2>err";
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(scratch.path("err")), "solvantis: --track 2: the file has 1 track\n");
#endif
}
