// Where render takes its song from: files the old MIDI library could not read, standard input, pipes
// that stall or trickle and devices that never end, each with one line and bounded time.
#include "integration/host_loader_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace solvantis::testing;

namespace {

std::string trackOf(const std::string& events) {
    const std::string body = events + std::string("\x00\xFF\x2F\x00", 4);
    std::string chunk = "MTrk";
    for (int shift = 24; shift >= 0; shift -= 8) {
        chunk += char(body.size() >> shift);
    }
    return chunk + body;
}

std::string songOf(const std::string& events) {
    return std::string("MThd\x00\x00\x00\x06\x00\x00\x00\x01\x01\xE0", 14) + trackOf(events);
}

const std::string note("\x00\x90\x3C\x64\x83\x60\x80\x3C\x00", 9);

} // namespace

TEST(CliMidiInput, FilesTheOldReaderBrokeOnRenderOrGetOneLine) {
    ScratchFolder scratch;
    const struct {
        const char* name;
        std::string file;
        std::string error; // "" when the file renders
    } cases[] = {
        {"tempo0.mid", songOf(std::string("\x00\xFF\x51\x00", 4) + note),
         "MIDI file 'tempo0.mid' is damaged: track 1, byte 23: a tempo event needs 3 bytes, it has 0\n"},
        {"packets.mid",
         songOf(std::string("\x00\xF0\x03\x43\x12\x00\x40\xF7\x04\x43\x12\x00\xF7", 13) + note), ""},
        {"escape.mid", songOf(std::string("\x00\xF7\x02\xF8\xFA", 5) + note), ""},
    };
    for (const auto& c : cases) {
        scratch.write(c.name, c.file);
        const RunResult run = runCli(scratch, {"render", c.name, "-o", "out.wav"});
        EXPECT_EQ(run.exitCode, c.error.empty() ? 0 : 1) << c.name << "\n" << run.err;
        if (!c.error.empty()) {
            EXPECT_EQ(run.err, "solvantis: " + c.error);
        }
        EXPECT_EQ(readAudio(scratch.path("out.wav")).opened, c.error.empty()) << c.name;
        std::remove(scratch.path("out.wav").c_str());
    }
}

TEST(CliMidiInput, StandardInputAndDevicesHaveTheFilesLimits) {
    ScratchFolder scratch;
    scratch.write("song.mid", songOf(note));
    const std::string command = "cd " + shellQuote(scratch.root()) + " && " + shellQuote(SOLVANTIS_CLI_PATH) +
                                " render - -o piped.wav < song.mid 2>/dev/null >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_GT(readAudio(scratch.path("piped.wav")).frames, 0);

    EXPECT_NE(runCli(scratch, {"render", "-"}).err.find("needs -o"), std::string::npos);
    const RunResult endless = runCli(scratch, {"render", "/dev/zero", "-o", "zero.wav"});
    EXPECT_EQ(endless.exitCode, 1);
    EXPECT_NE(endless.err.find("too large to be a MIDI file"), std::string::npos) << endless.err;

    // A pipe named as the plug-in would hold dlopen for good.
    ASSERT_EQ(::mkfifo(scratch.path("pipe.so").c_str(), 0600), 0);
    const RunResult pipePlugin =
        runCli(scratch, {"render", "song.mid", "-o", "p.wav", "--plugin", "pipe.so"});
    EXPECT_NE(pipePlugin.err.find("is not a regular file"), std::string::npos) << pipePlugin.err;
}

TEST(CliMidiInput, PipesThatStallOrTrickleAreGivenUp) {
    std::signal(SIGPIPE, SIG_IGN); // the writer below outlives the reader it feeds
    ScratchFolder scratch;
    const std::string fifo = scratch.path("pipe.mid");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    // No writer at all: the read timeout (--timeout) ends it.
    auto started = std::chrono::steady_clock::now();
    RunResult run = runCli(scratch, {"render", "pipe.mid", "-o", "out.wav", "--timeout", "0.5"});
    EXPECT_EQ(run.err, "solvantis: no data from 'pipe.mid' for 0.5 s; gave up reading it\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

    // A byte every 100 ms never pauses for long, but the reading as a whole has twice the timeout.
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        for (int i = 0; fd >= 0 && i < 60 && ::write(fd, "M", 1) == 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (fd >= 0) {
            ::close(fd);
        }
    });
    started = std::chrono::steady_clock::now();
    run = runCli(scratch, {"render", "pipe.mid", "-o", "out.wav", "--timeout", "0.5"});
    const auto took = std::chrono::steady_clock::now() - started;
    writer.join();
    EXPECT_EQ(run.err, "solvantis: could not read the MIDI file 'pipe.mid' within 1 s; gave up\n");
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(scratch.files(), std::vector<std::string>{"pipe.mid"});
}
