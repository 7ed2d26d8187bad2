// Where a render goes and what it says about itself: what -o names is never harmed, a plug-in that
// crashes or hangs is one line and no file, and the level is reported honestly.
#include "audio_file.h"
#include "integration/host_loader_support.h"
#include "output_target.h"
#include "printable.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace solvantis::testing;

namespace {

class CliOutput : public ::testing::Test {
protected:
    void SetUp() override {
        // One note for one second at 8000 Hz: 8000 frames of sound.
        MidiFileBuilder midi;
        midi.event(0, {0x90, 60, 100}).event(960, {0x80, 60, 0});
        scratch.write("song.mid", midi.bytes());
    }

    std::string fake(const std::string& variant = "") {
        const std::string path = buildFakePlugin(scratch, variant);
        EXPECT_FALSE(path.empty()) << variant;
        return path;
    }

    RunResult render(const std::string& plugin, std::vector<std::string> more) {
        std::vector<std::string> args = {"render", "song.mid", "--plugin", plugin, "--rate", "8000"};
        args.insert(args.end(), more.begin(), more.end());
        return runCli(scratch, args);
    }

    static size_t lineCount(const std::string& text) {
        return size_t(std::count(text.begin(), text.end(), '\n'));
    }

    ScratchFolder scratch;
};

mode_t kindOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & S_IFMT) : 0;
}

} // namespace

// Each node -o may name, made afresh, then rendered onto: it is still the node it was.
TEST_F(CliOutput, WhatTheOutputNamesIsNeverReplaced) {
    const std::string plugin = fake();
    struct Case {
        const char* what;
        std::function<bool()> make; // false: skip the case
        mode_t kind;
        bool accepted;
    };
    const std::string node = scratch.path("node");
    const std::vector<Case> cases = {
        {"FIFO", [&] { return ::mkfifo(node.c_str(), 0644) == 0; }, S_IFIFO, true},
        {"character device", [&] { return ::mknod(node.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0; },
         S_IFCHR, true},
        {"symbolic link", [&] { return ::symlink("target.wav", node.c_str()) == 0; }, S_IFLNK, true},
        {"folder", [&] { return ::mkdir(node.c_str(), 0755) == 0; }, S_IFDIR, false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(node);
        std::filesystem::remove(scratch.path("target.wav"));
        std::filesystem::remove(scratch.path("read.wav"));
        if (c.kind == S_IFCHR && ::geteuid() != 0) {
            continue; // only root may make device nodes; the case runs as root in CI
        }
        ASSERT_TRUE(c.make()) << c.what;
        if (c.kind == S_IFIFO) {
            // The FIFO's reader, as a user would have one.
            ASSERT_EQ(
                std::system(("cat " + shellQuote(node) + " > " + shellQuote(scratch.path("read.wav")) + " &")
                                .c_str()),
                0);
        }
        const RunResult run = render(plugin, {"-o", node});
        EXPECT_EQ(run.exitCode == 0, c.accepted) << c.what << ": " << run.err;
        EXPECT_EQ(kindOf(node), c.kind) << c.what;
        const std::vector<std::string> files = scratch.files();
        EXPECT_EQ(std::count_if(files.begin(), files.end(),
                                [](const std::string& f) { return f.find("partial") != std::string::npos; }),
                  0);
        if (c.kind == S_IFLNK) {
            EXPECT_EQ(readAudio(scratch.path("target.wav")).frames, 8000 + 800)
                << "the link's target is written";
        }
        if (c.kind == S_IFIFO) {
            for (int i = 0; i < 100 && readAudio(scratch.path("read.wav")).frames == 0; ++i) {
                usleep(20000);
            }
            EXPECT_EQ(readAudio(scratch.path("read.wav")).frames, 8000 + 800)
                << "the reader got the whole file";
            // Should the render not have opened the FIFO, its reader is let go all the same.
            const int writer = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                ::close(writer);
            }
        }
        if (!c.accepted) {
            EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        }
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the character device case needs root";
    }
}

TEST_F(CliOutput, NamesAndFormatsThatCannotBeWrittenAreRefused) {
    const std::string plugin = fake();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", ""}, "empty"},
        {{"-o", "out.mp3"}, "'.mp3'"},
        {{"-o", "out.flac", "--format", "wav"}, "--format is wav"},
        {{"-o", "out.wav", "--format", "flac"}, "--format is flac"},
        {{"-o", "song.mid"}, "replace the MIDI file"},
    };
    for (const auto& [args, mentions] : cases) {
        const std::vector<std::string> before = scratch.files();
        const RunResult run = render(plugin, args);
        EXPECT_NE(run.exitCode, 0) << mentions;
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(mentions), std::string::npos) << run.err;
        EXPECT_EQ(scratch.files(), before) << mentions;
    }
}

// Standard output takes the audio, and the summary line moves to standard error.
TEST_F(CliOutput, StandardOutputCarriesTheWholeFile) {
    const std::string plugin = fake();
    for (const std::string format : {"wav", "flac"}) {
        const RunResult run = render(plugin, {"-o", "-", "--format", format});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        scratch.write("piped." + format, run.out);
        const AudioFile file = readAudio(scratch.path("piped." + format));
        EXPECT_EQ(file.frames, 8000 + 800) << format;
        EXPECT_NE(run.err.find("standard output: 8800 frames"), std::string::npos) << run.err;
    }
}

// A plug-in that aborts, hangs or ends the process mid-render: one line naming the call and the time,
// no file.
TEST_F(CliOutput, ACrashOrAHangIsOneLineAndLeavesNoFile) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"FAKE_ABORT", "the plug-in crashed (SIGABRT) in processReplacing at 1.0 s"},
        {"FAKE_HANG_PROCESS", "the plug-in hung in processReplacing at 1.0 s (no answer for 1 s)"},
        {"FAKE_EXIT", "the plug-in called exit(0) in processReplacing at 1.0 s"},
    };
    for (const auto& [variant, line] : cases) {
        const std::string plugin = fake(variant);
        const std::vector<std::string> before = scratch.files();
        const RunResult run = render(plugin, {"-o", "out.wav", "--timeout", "1", "--block", "1000"});
        EXPECT_EQ(run.exitCode, 1) << variant;
        EXPECT_EQ(run.err, "solvantis: " + line + "\n");
        EXPECT_EQ(scratch.files(), before) << variant;
    }
}

// A plug-in that forks a process holding the result pipe, in a session of its own, writing into every
// descriptor it has: the render ends when its own process does, takes the forked one with it, and the
// file it made is whole.
TEST_F(CliOutput, AProcessThePluginForksNeitherHoldsTheRenderNorOutlivesIt) {
    const std::string plugin = fake("FAKE_FORK");
    const auto started = std::chrono::steady_clock::now();
    const RunResult run =
        runCli(scratch, {"render", "song.mid", "--plugin", plugin, "--rate", "8000", "-o", "out.wav"},
               {{"FAKE_FORK_PIDS", scratch.path("pids")}});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60))
        << "the forked process sleeps for ten minutes";
    EXPECT_EQ(readAudio(scratch.path("out.wav")).frames, 8000 + 800);
    const std::vector<int> pids = numbersIn(readFile(scratch.path("pids")));
    EXPECT_FALSE(pids.empty());
    for (int pid : pids) {
        EXPECT_TRUE(processEnds(pid)) << pid;
    }
    EXPECT_EQ(readFile(scratch.path("out.wav")).substr(0, 4), "RIFF");
    // info too leaves nothing running.
    const RunResult info =
        runCli(scratch, {"info", "--plugin", plugin}, {{"FAKE_FORK_PIDS", scratch.path("info-pids")}});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    const std::vector<int> infoPids = numbersIn(readFile(scratch.path("info-pids")));
    EXPECT_FALSE(infoPids.empty());
    for (int pid : infoPids) {
        EXPECT_TRUE(processEnds(pid)) << pid;
    }
}

// Whatever ends the command, at whatever moment, takes its temporary file with it: a signal while the
// plug-in renders (the command reports it and exits 128 + the signal) and one while only the command
// holds the temporary file, as during the final rename (the process ends by the signal).
TEST_F(CliOutput, AnEndingSignalLeavesNoTemporaryFile) {
    const std::string plugin = fake();
    const auto partials = [&] {
        const std::vector<std::string> files = scratch.files();
        return std::count_if(files.begin(), files.end(),
                             [](const std::string& f) { return f.find(".partial-") != std::string::npos; });
    };
    // The last case runs as nohup runs a command: SIGHUP ignored, and left ignored.
    for (int signal : {SIGHUP, SIGQUIT, SIGTERM, SIGINT, -SIGHUP}) {
        const bool ignored = signal < 0;
        signal = std::abs(signal);
        SCOPED_TRACE(std::string(strsignal(signal)) + (ignored ? " ignored" : ""));
        const pid_t render = fork();
        if (render == 0) {
            if (ignored) {
                ::signal(signal, SIG_IGN);
            }
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            ::setenv("FAKE_PLUGIN_DELAY_US", "100000", 1);
            if (::chdir(scratch.root().c_str()) == 0) {
                ::execl(SOLVANTIS_CLI_PATH, "solvantis", "render", "song.mid", "--plugin", plugin.c_str(),
                        "--rate", "8000", "-o", "out.wav", nullptr);
            }
            ::_exit(127);
        }
        for (int i = 0; i < 500 && partials() == 0; ++i) {
            usleep(10000);
        }
        ASSERT_EQ(partials(), 1);
        usleep(100000);
        ::kill(render, signal);
        int status = 0;
        ::waitpid(render, &status, 0);
        EXPECT_EQ(partials(), 0);
        if (ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(readAudio(scratch.path("out.wav")).frames, 8000 + 800);
            break;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
        EXPECT_FALSE(std::filesystem::exists(scratch.path("out.wav")));

        const pid_t holder = fork();
        if (holder == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            solvantis::OutputTarget target(scratch.path("held.wav"));
            (void)!::write(target.open(), "RIFF", 4);
            ::kill(::getpid(), signal);
            ::_exit(0);
        }
        ::waitpid(holder, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(partials(), 0);
    }
}

// -o never replaces a file the command reads, through a link either, nor a read-only file without
// --force. The default plug-in and the program itself are copied beside a copy of solvantis, so that
// a failure harms only the copies.
TEST_F(CliOutput, FilesTheCommandReadsAndReadOnlyFilesAreNotReplaced) {
    const std::filesystem::path bin = scratch.path("bin");
    std::filesystem::create_directory(bin);
    std::filesystem::copy_file(SOLVANTIS_CLI_PATH, bin / "solvantis");
    std::filesystem::copy_file(SOLVANTIS_PLUGIN_PATH, bin / "Solvantis.so");
    const std::string program = (bin / "solvantis").string();
    const std::string pluginBytes = readFile((bin / "Solvantis.so").string());
    struct Case {
        std::string link;   // made to point at `target` ("" for none)
        std::string target; // an existing file
        std::vector<std::string> args;
        std::string mentions;
    };
    scratch.write("kept.wav", "kept");
    ::chmod(scratch.path("kept.wav").c_str(), 0444);
    const std::vector<Case> cases = {
        {"plugin.wav", "bin/Solvantis.so", {"render", "-o", "plugin.wav"}, "replace the plug-in"},
        {"plugin.fxp", "bin/Solvantis.so", {"preset", "save", "plugin.fxp"}, "replace the plug-in"},
        {"program.wav", "bin/solvantis", {"render", "-o", "program.wav"}, "replace the program"},
        {"song.wav", "song.mid", {"render", "song.mid", "-o", "song.wav"}, "replace the MIDI file"},
        {"", "kept.wav", {"render", "-o", "kept.wav"}, "'kept.wav': it is read-only (--force replaces it)"},
    };
    for (const Case& c : cases) {
        if (!c.link.empty()) {
            ASSERT_EQ(::symlink(scratch.path(c.target).c_str(), scratch.path(c.link).c_str()), 0);
        }
        const std::string before = readFile(scratch.path(c.target));
        const RunResult run = runCli(scratch, c.args, {}, program);
        EXPECT_EQ(run.exitCode, 1) << c.mentions;
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        EXPECT_EQ(readFile(scratch.path(c.target)), before) << c.mentions;
    }
    EXPECT_EQ(readFile((bin / "Solvantis.so").string()), pluginBytes);
    const RunResult forced = runCli(scratch, {"render", "-o", "kept.wav", "--force"}, {}, program);
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_GT(readAudio(scratch.path("kept.wav")).frames, 0);
}

// A WAV file's header counts bytes in 32 bits: a render that may pass 4 GiB starts as RF64 (whose
// 64-bit sizes every reader of long files knows), and one that ends small is a plain WAV file again.
// Each sample width is tried on both sides of the last frame count whose bytes the header still holds.
TEST(WavBeyond4GiB, ARenderThatMayPassItIsWrittenAsRf64) {
    using solvantis::SampleBits;
    struct Width {
        int channels;
        SampleBits bits;
        int64_t lastFrameThatFits; // the 32-bit sizes less room for the header
    };
    const Width widths[] = {
        {2, SampleBits::Int16, 0xFFFFEFFFLL / 4},
        {1, SampleBits::Int24, 0xFFFFEFFFLL / 3},
        {2, SampleBits::Int24, 0xFFFFEFFFLL / 6},
        {2, SampleBits::Float, 0xFFFFEFFFLL / 8},
    };
    ScratchFolder scratch;
    for (const Width& w : widths) {
        for (const int64_t frames : {w.lastFrameThatFits, w.lastFrameThatFits + 1}) {
            const bool passes = frames > w.lastFrameThatFits;
            SCOPED_TRACE(std::to_string(w.channels) + " channels, " + std::to_string(int(w.bits)) + ", " +
                         std::to_string(frames) + " frames");
            EXPECT_EQ(solvantis::wavPasses4GiB(frames, w.channels, w.bits), passes);
            const std::string path = scratch.path("long.wav");
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            {
                solvantis::AudioFileWriter writer(fd, "long.wav", solvantis::AudioFormat::Wav, w.bits,
                                                  w.channels, 44100, frames);
                const std::vector<float> block(size_t(1000 * w.channels), 0.25f);
                writer.write(block.data(), 1000);
                writer.finish();
            }
            ::close(fd);
            EXPECT_EQ(readAudio(path).frames, 1000);
            // Ended small: a plain WAV file, where one started as RF64 keeps the room its 64-bit sizes
            // took (a JUNK chunk) ahead of the format.
            const std::string head = readFile(path).substr(0, 16);
            EXPECT_EQ(head.substr(0, 4), "RIFF");
            EXPECT_EQ(head.substr(12, 4) == "JUNK", passes) << head.substr(12, 4);
        }
    }
}

// A name with control characters in it is printed with them escaped: one line, nothing for the terminal.
TEST_F(CliOutput, ControlCharactersInNamesArePrintedEscaped) {
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"plain \xc3\xa9t\xc3\xa9.mid", "plain \xc3\xa9t\xc3\xa9.mid"},
        {"a\x1b[2Jb\nc\td\re\x7f\x01", "a\\x1b[2Jb\\nc\\td\\re\\x7f\\x01"},
    };
    for (const auto& [raw, shown] : texts) {
        EXPECT_EQ(solvantis::printable(raw), shown);
    }
    const std::string name = "no\x1b[2J\nsuch.mid";
    const RunResult run = runCli(scratch, {"render", name, "--plugin", fake()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("no\\x1b[2J\\nsuch.mid"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
}

// The level as written: clipping counted in integer files, a runaway plug-in named, --gain and
// --normalize applied, silence and effects called what they are.
TEST_F(CliOutput, TheLevelIsReportedHonestly) {
    struct Case {
        std::string variant;
        std::vector<std::string> args;
        int exitCode;
        std::string summary; // in the summary line
        std::string warning; // in standard error ("" for none at all)
    };
    // The fake plays 0.5 and -0.25 on its two outputs while a key is down; FAKE_LEVEL scales that.
    const std::vector<Case> cases = {
        {"FAKE_LEVEL=4",
         {"--bits", "16"},
         0,
         "peak +6.0 dBFS",
         "8,000 samples clipped, peak +6.0 dBFS; use --normalize, a negative --gain or --bits float"},
        // The remedy names the option that raised the level.
        {"FAKE_LEVEL=2",
         {"--bits", "16", "--gain", "6"},
         0,
         "peak +6.0 dBFS",
         "samples clipped, peak +6.0 dBFS; lower --gain (now +6 dB), use --normalize, or use --bits float"},
        {"", {"--bits", "24", "--normalize", "3"}, 0, "peak +3.0 dBFS", "give --normalize a lower level"},
        {"FAKE_LEVEL=4", {"--bits", "float"}, 0, "peak +6.0 dBFS", ""},
        {"FAKE_LEVEL=4", {"--gain", "-12"}, 0, "peak -6.0 dBFS, ", ""},
        {"FAKE_LEVEL=40",
         {"--bits", "float"},
         0,
         "peak +26.0 dBFS",
         "output peaks at +26.0 dBFS, beyond +24 dBFS"},
        {"", {"--normalize"}, 0, "peak -1.0 dBFS", ""},
        {"", {"--normalize", "-12"}, 0, "gain -6.0 dB", ""},
        {"",
         {"--channel", "2"},
         0,
         "peak -inf dBFS",
         "the render is silent (peak -inf dBFS); the file plays notes on channel 1"},
        {"FAKE_EFFECT", {}, 1, "", "takes no MIDI"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "out.wav"});
        const RunResult run = render(fake(c.variant), args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.variant << " " << run.err;
        EXPECT_NE(run.out.find(c.summary), std::string::npos) << c.variant << ": " << run.out;
        if (c.warning.empty()) {
            EXPECT_EQ(run.err, "") << c.variant;
        } else {
            EXPECT_NE(run.err.find(c.warning), std::string::npos) << c.variant << ": " << run.err;
            EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        }
    }
}

TEST_F(CliOutput, CompareHoldsARenderToAStoredOne) {
    const std::string plugin = fake();
    ASSERT_EQ(render(plugin, {"-o", "a.wav", "--bits", "float"}).exitCode, 0);
    ASSERT_EQ(render(plugin, {"-o", "b.wav", "--bits", "float"}).exitCode, 0);
    ASSERT_EQ(render(plugin, {"-o", "quiet.wav", "--bits", "float", "--gain", "-0.1"}).exitCode, 0);
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    };
    // -0.1 dB scales every sample by 10^(-0.1/20): the difference is 1.1447 % of the signal, 38.8 dB below
    // it, and at most 0.5 * 0.011447 = 0.005724.
    const std::vector<Case> cases = {
        {{"a.wav", "b.wav"}, 0, "peak difference 0, SNR infinite (identical): within tolerance"},
        {{"a.wav", "quiet.wav"}, 1, "SNR 38.8 dB: beyond tolerance, the samples differ"},
        {{"a.wav", "quiet.wav", "--min-snr", "30"}, 0, "within tolerance"},
        {{"a.wav", "quiet.wav", "--min-snr", "40"}, 1, "beyond tolerance, SNR below 40.0 dB"},
        {{"a.wav", "quiet.wav", "--max-diff", "0.006"}, 0, "peak difference 0.00572"},
        {{"a.wav", "quiet.wav", "--max-diff", "0.005"}, 1, "peak difference above 0.005"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"compare"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult run = runCli(scratch, args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.says << run.err;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("frames 8800 and 8800 (1.100 s and 1.100 s)"), std::string::npos) << run.out;
    }
    // Files are read a piece at a time: a silent tail past the first piece is counted, not cut off.
    ASSERT_EQ(render(plugin, {"-o", "long.wav", "--bits", "float", "--tail", "10"}).exitCode, 0);
    const RunResult longer = runCli(scratch, {"compare", "a.wav", "long.wav"});
    EXPECT_EQ(longer.exitCode, 1);
    EXPECT_NE(longer.out.find("frames 8800 and 88000 (1.100 s and 11.000 s), peak difference 0, SNR infinite "
                              "(identical): beyond tolerance, the lengths differ"),
              std::string::npos)
        << longer.out;
    const RunResult missing = runCli(scratch, {"compare", "a.wav", "absent.wav"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "solvantis: audio file 'absent.wav' does not exist\n");
}

namespace {

// Runs a shell command in the scratch folder; its exit status.
int shell(const ScratchFolder& scratch, const std::string& command) {
    const int status = std::system(("cd " + shellQuote(scratch.root()) + " && " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// A standard descriptor the caller closed is taken by no file of the command: the audio file is the
// render's alone (the warning for one note at a time, which the render process prints, is not in it),
// and a summary that cannot be printed is a failure.
TEST_F(CliOutput, EachStandardDescriptorClosedLeavesTheFileWhole) {
    MidiFileBuilder duo;
    duo.event(0, {0x90, 60, 100}).event(0, {0x91, 64, 100}).event(960, {0x80, 60, 0}).event(0, {0x81, 64, 0});
    scratch.write("duo.mid", duo.bytes());
    const std::string command = shellQuote(SOLVANTIS_CLI_PATH) + " render duo.mid --plugin " +
                                shellQuote(SOLVANTIS_PLUGIN_PATH) + " --rate 8000 -o ";
    ASSERT_EQ(shell(scratch, command + "reference.wav >/dev/null 2>&1"), 0);
    const struct {
        std::string redirection;
        int exitCode;
        std::string error;
    } cases[] = {
        {"<&- >out 2>err", 0, ""},
        {">&- 2>err", 1, "cannot write standard output: Bad file descriptor\n"},
        {"2>&- >out", 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shell(scratch, command + "out.wav " + c.redirection), c.exitCode) << c.redirection;
        EXPECT_EQ(readFile(scratch.path("out.wav")), readFile(scratch.path("reference.wav")))
            << c.redirection;
        if (!c.error.empty()) {
            EXPECT_NE(readFile(scratch.path("err")).find(c.error), std::string::npos)
                << readFile(scratch.path("err"));
        }
        std::filesystem::remove(scratch.path("out.wav"));
    }
}

// A disk that fills, wherever it fills: the output's own folder (WAV, and FLAC up to its last flush),
// the temporary folder of --normalize and of -o -. Each ends with one line, exit 1 and no file; the
// same renders on a roomy disk are whole. The disk is a small tmpfs in a mount namespace of its own.
TEST_F(CliOutput, AFullDiskFailsTheRenderAndLeavesNoFile) {
    if (shell(scratch,
              "unshare -m sh -c 'mkdir -p disk && mount -t tmpfs -o size=4k tmpfs disk' 2>/dev/null") != 0) {
        GTEST_SKIP() << "this machine lets no test mount a small file system (unshare -m, then mount)";
    }
    MidiFileBuilder midi;
    for (int i = 0; i < 16; ++i) {
        midi.event(0, {0x90, uint8_t(48 + 2 * i), 100}).event(240, {0x80, uint8_t(48 + 2 * i), 0});
    }
    scratch.write("long.mid", midi.bytes());
    const std::string solvantis = shellQuote(SOLVANTIS_CLI_PATH) + " render long.mid --plugin " +
                                  shellQuote(SOLVANTIS_PLUGIN_PATH) + " --rate 8000 --bits 16 -q ";
    // Runs the command with a tmpfs of so many KiB at disk/; what the disk held at the end, in
    // "listing".
    const auto onDisk = [&](int kib, const std::string& command) {
        const std::string script = "mount -t tmpfs -o size=" + std::to_string(kib) + "k tmpfs disk && { " +
                                   command +
                                   "; }; code=$?; ls -A disk >listing; cp disk/* . 2>/dev/null; exit $code";
        return shell(scratch, "unshare -m sh -c " + shellQuote(script) + " 2>err >out");
    };
    struct Case {
        std::string what;
        std::string command;
        int kib;
        std::string leftOver; // the file a failure must not leave
    };
    std::vector<Case> cases = {
        {"WAV", solvantis + "-o disk/x.wav", 16, "x.wav"},
        {"--normalize", "TMPDIR=disk " + solvantis + "--normalize -o x.wav", 16, "x.wav"},
        {"-o -", "TMPDIR=disk " + solvantis + "-o - >piped", 16, ""},
    };
    // FLAC one page short of its size: at some of these lengths the disk fills at the encoder's last
    // flush, after every sample was accepted.
    for (const char* seconds : {"3.3", "3.5", "3.7", "3.9", "4.0", "4.1"}) {
        const std::string flac = solvantis + "--max-length " + seconds + " -o disk/x.flac";
        ASSERT_EQ(shell(scratch, flac + " 2>/dev/null; mv disk/x.flac whole.flac"), 0);
        const int kib = int(std::filesystem::file_size(scratch.path("whole.flac")) / 4096) * 4;
        cases.push_back({std::string("FLAC of ") + seconds + " s", flac, kib, "x.flac"});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(onDisk(c.kib, c.command), 1) << c.what << ": " << readFile(scratch.path("err"));
        EXPECT_EQ(lineCount(readFile(scratch.path("err"))), 1u)
            << c.what << ": " << readFile(scratch.path("err"));
        EXPECT_EQ(readFile(scratch.path("listing")), "") << c.what;
        if (!c.leftOver.empty()) {
            EXPECT_FALSE(std::filesystem::exists(scratch.path(c.leftOver))) << c.what;
        }
        EXPECT_EQ(readFile(scratch.path("piped")), "") << c.what;
    }
    // With room, the same commands make whole files.
    for (const Case& c : {cases[0], cases[1], cases.back()}) {
        EXPECT_EQ(onDisk(2048, c.command), 0) << c.what << ": " << readFile(scratch.path("err"));
        const AudioFile file = readAudio(scratch.path(c.leftOver));
        EXPECT_GT(file.frames, 8000 * 3) << c.what;
        std::filesystem::remove(scratch.path(c.leftOver));
    }
}

// A report that cannot be written is a failure, as the audio sent to a full device is.
TEST_F(CliOutput, AReportToAFullDeviceIsAFailure) {
    const std::string plugin = fake();
    for (const std::string& command : std::vector<std::string>{
             "midi --json song.mid", "info --json --plugin " + shellQuote(plugin),
             "render song.mid --json --rate 8000 -o out.wav --plugin " + shellQuote(plugin),
             "validate --json --only record " + shellQuote(plugin)}) {
        EXPECT_EQ(shell(scratch, shellQuote(SOLVANTIS_CLI_PATH) + " " + command + " >/dev/full 2>err"), 1)
            << command;
        EXPECT_EQ(readFile(scratch.path("err")),
                  "solvantis: cannot write standard output: No space left on device\n")
            << command;
    }
}

// HUP and QUIT to a batch end its renders as INT and TERM do: none writes its file afterwards.
TEST_F(CliOutput, AnEndingSignalToABatchEndsEveryRender) {
    const std::string plugin = fake();
    scratch.write("other.mid", readFile(scratch.path("song.mid")));
    const std::string folder = scratch.path("rendered");
    for (const int signal : {SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t batch = fork();
        if (batch == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            // Slow enough (0.2 s a block, several seconds a render) that no render can finish before the
            // signal, however loaded the machine.
            ::setenv("FAKE_PLUGIN_DELAY_US", "200000", 1);
            if (::chdir(scratch.root().c_str()) == 0) {
                ::execl(SOLVANTIS_CLI_PATH, "solvantis", "render", "song.mid", "other.mid", "--jobs", "2",
                        "-o", "rendered/", "--plugin", plugin.c_str(), "--rate", "8000", nullptr);
            }
            ::_exit(127);
        }
        // Once both renders hold their temporary files (up to 30 s on a loaded machine).
        for (int i = 0; i < 3000; ++i) {
            std::error_code none;
            if (std::distance(std::filesystem::directory_iterator(folder, none),
                              std::filesystem::directory_iterator()) >= 2) {
                break;
            }
            usleep(10000);
        }
        ::kill(batch, signal);
        int status = 0;
        ::waitpid(batch, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
        usleep(500000); // time for a render that outlived its batch to finish its file
        EXPECT_TRUE(std::filesystem::is_empty(folder));
        std::filesystem::remove_all(folder);
    }
}

// --json lines far longer than a pipe takes in one write, from eight renders at a time, each line
// whole. Lines cut by another render's come at random moments: three batches of 24 give them room.
TEST_F(CliOutput, LongJsonLinesFromABatchAreWhole) {
    const std::string plugin = fake();
    std::string folder = "f";
    for (int i = 0; i < 17; ++i) {
        folder += "/" + std::string(200, char('a' + i));
    }
    std::filesystem::create_directories(scratch.path(folder));
    // Through a pipe, where a long write from one process may be cut by another's.
    std::string command = "{ " + shellQuote(SOLVANTIS_CLI_PATH) +
                          " render --json --jobs 8 --rate 8000 --plugin " + shellQuote(plugin) + " -o " +
                          shellQuote(folder + "/out/");
    for (int i = 0; i < 24; ++i) {
        const std::string name = folder + "/song" + std::to_string(i) + ".mid";
        scratch.write(name, readFile(scratch.path("song.mid")));
        command += " " + shellQuote(name);
    }
    command += "; echo $? >code; } | cat >out";
    for (int batch = 0; batch < 3; ++batch) {
        std::filesystem::remove_all(scratch.path(folder + "/out"));
        shell(scratch, command);
        EXPECT_EQ(readFile(scratch.path("code")), "0\n");
        std::istringstream lines(readFile(scratch.path("out")));
        int whole = 0;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_GT(line.size(), 4096u);
            EXPECT_TRUE(nlohmann::json::accept(line)) << line.substr(0, 200);
            ++whole;
        }
        EXPECT_EQ(whole, 24);
    }
}
