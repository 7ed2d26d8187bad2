#include "validate.h"

#include "info.h"
#include "plugin_host.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace solvantis {

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    CheckStatus status = CheckStatus::Pass;
    std::string reason;
};

Outcome pass(std::string reason) {
    return {CheckStatus::Pass, std::move(reason)};
}
Outcome warn(std::string reason) {
    return {CheckStatus::Warn, std::move(reason)};
}
Outcome fail(std::string reason) {
    return {CheckStatus::Fail, std::move(reason)};
}
Outcome skip(std::string reason) {
    return {CheckStatus::Skip, std::move(reason)};
}

// What the first load showed; the checks size their work by it.
struct RecordFacts {
    int32_t numParams = 0;
    int32_t numPrograms = 0;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool synth = false;
    bool canReplace = false;
    bool hasProcess = false;
    bool plausible = false; // counts small enough to allocate buffers and walk every index
};

// Counts beyond these are not a plug-in a host could show or feed.
constexpr int32_t maxPlausibleParams = 100000;
constexpr int32_t maxPlausiblePrograms = 100000;
constexpr int32_t maxPlausiblePins = 256;
// Parameter and program walks stop here, so that huge but plausible plug-ins stay quick.
constexpr int32_t walkLimit = 4096;

// A value no plug-in computes by chance: a sample still holding it was not written.
constexpr float prefill = 0.318309886f;
// Written after the block's last frame; a sample there that changed was written past sampleFrames.
constexpr float guardValue = -0.7071071f;
constexpr int32_t guardFrames = 32;
constexpr int32_t largestBlock = 4096;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// One timed MIDI message at an absolute frame of a performance.
struct TimedMessage {
    int64_t frame;
    uint8_t status, data1, data2;
};
using Performance = std::vector<TimedMessage>;

// What went wrong in the blocks rendered so far.
struct AudioFaults {
    int64_t nonFinite = 0;
    int64_t untouched = 0; // replacing entry left the pre-filled value
    int64_t beyond = 0;    // samples written after sampleFrames
    int64_t firstBadFrame = -1;
    std::string where; // the setting in which the first fault showed
    double peak = 0.0;

    bool any() const { return nonFinite > 0 || untouched > 0 || beyond > 0; }
    std::string describe() const {
        std::string text;
        if (nonFinite > 0) {
            text = std::to_string(nonFinite) + " samples not finite";
        } else if (untouched > 0) {
            text = std::to_string(untouched) + " samples left as the host filled them";
        } else if (beyond > 0) {
            text = std::to_string(beyond) + " samples written past the block's end";
        }
        text += ", first at frame " + std::to_string(firstBadFrame);
        if (!where.empty()) {
            text += " (" + where + ")";
        }
        return text;
    }
};

// One plug-in instance set up the way a host sets it up, with buffers and a frame clock.
class Instance {
public:
    Instance(const std::string& path, float rate, int32_t block)
        : host(path), buffers(host.numInputs(), host.numOutputs(), largestBlock + guardFrames) {
        host.open();
        configure(rate, block);
    }

    // Switches off (if on), sets rate and block size, switches on again.
    void configure(float rate, int32_t block) {
        if (host.isSwitchedOn()) {
            host.switchOff();
        }
        sampleRate = rate;
        blockSize = block;
        host.setSampleRate(rate);
        host.setBlockSize(block);
        host.switchOn();
    }

    // Plays the performance from the instance's current frame for `frames` frames, block by block.
    // Messages are taken relative to the start of this call.
    void play(const Performance& performance, int64_t frames, bool useProcess = false) {
        size_t next = 0;
        for (int64_t start = 0; start < frames; start += blockSize) {
            const int32_t length = int32_t(std::min<int64_t>(blockSize, frames - start));
            events.clear();
            while (next < performance.size() && performance[next].frame < start + length) {
                const TimedMessage& m = performance[next++];
                events.add(int32_t(std::max<int64_t>(m.frame - start, 0)), m.status, m.data1, m.data2);
            }
            block(length, useProcess);
        }
    }

    // One block: the pending events, then one process call.
    void block(int32_t frames, bool useProcess = false) {
        if (!events.empty()) {
            host.processEvents(events);
        }
        const bool replacing = host.canReplace() && !useProcess;
        const int32_t inputs = host.numInputs();
        for (int32_t c = 0; c < inputs; ++c) {
            float* in = buffers.inputs()[c];
            for (int32_t i = 0; i < frames; ++i) {
                // A quiet 441 Hz tone, so that effects have something to work on.
                in[i] = 0.25f * float(std::sin(6.283185307179586 * 441.0 * double(clock + i) / sampleRate));
            }
        }
        const int32_t outputs = host.numOutputs();
        for (int32_t c = 0; c < std::max(outputs, 2); ++c) {
            float* out = buffers.outputs()[c];
            std::fill(out, out + frames, replacing ? prefill : 0.0f);
            std::fill(out + frames, out + frames + guardFrames, guardValue);
        }
        if (replacing) {
            host.processReplacing(buffers.inputs(), buffers.outputs(), frames);
        } else {
            host.process(buffers.inputs(), buffers.outputs(), frames);
        }
        for (int32_t c = 0; c < outputs; ++c) {
            const float* out = buffers.outputs()[c];
            for (int32_t i = 0; i < frames; ++i) {
                const float v = out[i];
                const bool bad = !std::isfinite(v) || (replacing && sameBits(v, prefill));
                if (!std::isfinite(v)) {
                    ++faults.nonFinite;
                } else if (replacing && sameBits(v, prefill)) {
                    ++faults.untouched;
                } else {
                    faults.peak = std::max(faults.peak, double(std::fabs(v)));
                }
                if (bad && faults.firstBadFrame < 0) {
                    faults.firstBadFrame = clock + i;
                    faults.where = setting;
                }
                if (capture) {
                    captured.push_back(v);
                }
            }
            for (int32_t i = frames; i < frames + guardFrames; ++i) {
                if (!sameBits(out[i], guardValue)) {
                    ++faults.beyond;
                    if (faults.firstBadFrame < 0) {
                        faults.firstBadFrame = clock + i;
                        faults.where = setting;
                    }
                }
            }
        }
        clock += frames;
    }

    PluginHost host;
    ChannelBuffers buffers;
    MidiEventList events;
    AudioFaults faults;
    std::string setting; // named in fault reports
    bool capture = false;
    std::vector<float> captured; // every output sample, block by block, channel after channel
    float sampleRate = 44100.0f;
    int32_t blockSize = 512;
    int64_t clock = 0; // frames rendered
};

// Notes, a pitch bend to both ends, the modulation wheel and the volume controller: about half a
// second at 44.1 kHz.
Performance standardPhrase() {
    return {
        {0, 0xB0, 7, 100},     {100, 0x90, 60, 100},   {3000, 0xB0, 1, 64},   {5000, 0xE0, 0x7F, 0x7F},
        {7000, 0x90, 64, 80},  {8000, 0xE0, 0, 0},     {9000, 0xE0, 0, 0x40}, {11000, 0x80, 60, 0},
        {12000, 0x80, 64, 0},  {13000, 0x90, 67, 127}, {17000, 0x90, 67, 0},  {18000, 0x90, 48, 1},
        {21000, 0x80, 48, 64},
    };
}
constexpr int64_t standardLength = 24000;

// Another phrase, for the neighbour in the independence check.
Performance otherPhrase() {
    return {
        {0, 0x90, 36, 127},   {50, 0xE0, 0x7F, 0x7F}, {400, 0xB0, 1, 127},  {2000, 0x90, 84, 127},
        {6000, 0xB0, 7, 127}, {9000, 0x80, 36, 0},    {15000, 0x80, 84, 0}, {15001, 0xB0, 123, 0},
    };
}

// A text request into a 64-byte buffer followed by guard bytes that the plug-in must leave alone.
struct GuardedText {
    std::string text;
    bool overrun = false;   // a guard byte changed
    bool terminated = true; // a zero inside the 64 bytes
    intptr_t answer = 0;
};

constexpr size_t hostTextSize = 64;
constexpr size_t guardBytes = 4096 - hostTextSize;
constexpr unsigned char guardByte = 0xA5;

GuardedText guardedText(PluginHost& host, int32_t opcode, int32_t index, intptr_t value = 0) {
    std::vector<unsigned char> buffer(hostTextSize + guardBytes, guardByte);
    std::fill(buffer.begin(), buffer.begin() + hostTextSize, 0); // hosts hand over a cleared buffer
    GuardedText result;
    result.answer = host.dispatch(opcode, index, value, buffer.data());
    const char* start = reinterpret_cast<const char*>(buffer.data());
    const size_t length = strnlen(start, hostTextSize);
    result.terminated = length < hostTextSize;
    result.text.assign(start, length);
    result.overrun = std::any_of(buffer.begin() + hostTextSize, buffer.end(),
                                 [](unsigned char b) { return b != guardByte; });
    return result;
}

// Counts of text findings, with the first example of each kind.
struct TextFindings {
    int failures = 0;
    std::string firstFailure;
    int warnings = 0;
    std::string firstWarning;

    void failure(const std::string& text) {
        if (failures++ == 0) {
            firstFailure = text;
        }
    }
    void warning(const std::string& text) {
        if (warnings++ == 0) {
            firstWarning = text;
        }
    }
    // Checks one guarded text; lengths beyond `traditional` characters are warnings.
    void check(const GuardedText& t, const std::string& what, size_t traditional) {
        if (t.overrun) {
            failure(what + " wrote past the host's 64-byte buffer");
        } else if (!t.terminated) {
            failure(what + " is not terminated within 64 bytes");
        } else if (t.text.size() > traditional) {
            warning(what + " '" + t.text + "' is " + std::to_string(t.text.size()) +
                    " characters (hosts traditionally allow " + std::to_string(traditional) + ")");
        }
    }
    Outcome outcome(const std::string& fine) const {
        if (failures > 0) {
            return fail(firstFailure +
                        (failures > 1 ? " (and " + std::to_string(failures - 1) + " more)" : ""));
        }
        if (warnings > 0) {
            return warn(firstWarning +
                        (warnings > 1 ? " (and " + std::to_string(warnings - 1) + " more)" : ""));
        }
        return pass(fine);
    }
};

std::string paramName(const char* kind, int32_t index) {
    return std::string("parameter ") + std::to_string(index) + " " + kind;
}

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += size_t(n);
    }
}

// ---------------------------------------------------------------- the checks

// Reads everything a child writes into its pipe until it closes it, then reaps the child.
std::string collectChild(int readEnd, pid_t child, int& status) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(readEnd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(readEnd);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return bytes;
}

Outcome checkRecord(const std::string& path, const RecordFacts&) {
    PluginHost host(path);
    const AEffect* e = host.effect();
    std::vector<std::string> problems;
    std::vector<std::string> doubts;
    if (e->dispatcher == nullptr) {
        problems.push_back("no dispatcher entry");
    }
    for (const auto& [count, what] :
         {std::pair{e->numParams, "parameters"}, std::pair{e->numPrograms, "programs"},
          std::pair{e->numInputs, "inputs"}, std::pair{e->numOutputs, "outputs"}}) {
        if (count < 0) {
            problems.push_back(std::string("negative count of ") + what + " (" + std::to_string(count) + ")");
        }
    }
    if (e->numParams > maxPlausibleParams || e->numPrograms > maxPlausiblePrograms ||
        e->numInputs > maxPlausiblePins || e->numOutputs > maxPlausiblePins) {
        problems.push_back("implausible counts");
    }
    const bool synth = (e->flags & effFlagsIsSynth) != 0;
    if (synth && e->numOutputs == 0) {
        problems.push_back("flagged as a synth but has no outputs");
    }
    if ((e->flags & effFlagsCanReplacing) && e->processReplacing == nullptr) {
        problems.push_back("canReplacing flag set but no processReplacing entry");
    }
    if (e->process == nullptr && !host.canReplace()) {
        problems.push_back("no usable process entry");
    }
    if (e->numParams > 0 && (e->setParameter == nullptr || e->getParameter == nullptr)) {
        problems.push_back("parameters without the set/get parameter entries");
    }
    if (e->initialDelay < 0) {
        problems.push_back("negative initial delay");
    }
    if (!(e->flags & effFlagsCanReplacing) && e->processReplacing != nullptr) {
        doubts.push_back("processReplacing entry present but the canReplacing flag is clear");
    }
    std::string names;
    for (const std::string& n : flagNames(e->flags)) {
        names += (names.empty() ? "" : " ") + n;
        if (n.rfind("bit", 0) == 0) {
            doubts.push_back("unknown flag " + n);
        }
    }
    if (e->version <= 0) {
        doubts.push_back("version " + std::to_string(e->version));
    }
    const std::string summary = "'" + fourCharacters(e->uniqueID) + "' version " +
                                std::to_string(e->version) + ", " + std::to_string(e->numParams) +
                                " parameters, " + std::to_string(e->numPrograms) + " programs, " +
                                std::to_string(e->numInputs) + " in / " + std::to_string(e->numOutputs) +
                                " out, flags " + (names.empty() ? "none" : names);
    if (!problems.empty()) {
        return fail(problems.front() + "; " + summary);
    }
    if (!doubts.empty()) {
        return warn(doubts.front() + "; " + summary);
    }
    return pass(summary);
}

Outcome checkHostOrder(const std::string& path, const RecordFacts&) {
    Instance one(path, 44100.0f, 512);
    one.play(standardPhrase(), standardLength);
    one.host.switchOff();
    one.host.switchOn();
    one.play({{0, 0x90, 60, 100}}, 2048);
    one.host.switchOff();
    one.host.close();
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("open, sample rate, block size, switch on, " + std::to_string(one.clock) +
                " frames, switch off and on again, close");
}

Outcome checkRatesAndBlocks(const std::string& path, const RecordFacts& facts) {
    const float rates[] = {44100.0f, 48000.0f, 96000.0f};
    const int32_t blocks[] = {1, 64, 333, 512, largestBlock};
    const Performance phrase = {{10, 0x90, 60, 100}, {2000, 0xE0, 0x7F, 0x7F}, {4000, 0xE0, 0, 0x40},
                                {5000, 0x80, 60, 0}, {6000, 0x90, 72, 127},    {8000, 0x80, 72, 0}};
    Instance one(path, rates[0], blocks[0]);
    std::string silent;
    for (float rate : rates) {
        for (int32_t block : blocks) {
            one.configure(rate, block);
            one.setting = number(rate) + " Hz, block " + std::to_string(block);
            const double before = one.faults.peak;
            one.faults.peak = 0.0;
            one.play(phrase, 9000);
            if (facts.synth && one.faults.peak == 0.0 && silent.empty()) {
                silent = one.setting;
            }
            one.faults.peak = std::max(before, one.faults.peak);
        }
    }
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    if (!silent.empty()) {
        return warn("no sound from two notes at " + silent);
    }
    return pass(
        "44100, 48000, 96000 Hz with blocks of 1, 64, 333, 512, 4096 frames: finite, nothing past the "
        "block");
}

Outcome checkSilence(const std::string& path, const RecordFacts& facts) {
    if (!facts.canReplace) {
        return skip("no processReplacing entry");
    }
    Instance one(path, 44100.0f, 512);
    for (int i = 0; i < 8; ++i) {
        one.block(512);
    }
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    if (!facts.synth) {
        return pass("pre-filled buffers overwritten; peak " + number(one.faults.peak) +
                    " from a quiet tone in");
    }
    if (one.faults.peak == 0.0) {
        return pass("pre-filled buffers overwritten with exact silence before any note");
    }
    return pass("pre-filled buffers overwritten; peak " + number(one.faults.peak) + " before any note");
}

Outcome checkEveryOffset(const std::string& path, const RecordFacts&) {
    constexpr int32_t block = 64;
    Instance one(path, 44100.0f, block);
    for (int32_t k = 0; k < block; ++k) {
        one.events.clear();
        one.events.add(k, 0x90, uint8_t(48 + k % 24), 100);
        one.block(block);
        one.events.clear();
        one.events.add(block - 1 - k, 0x80, uint8_t(48 + k % 24), 0);
        one.block(block);
    }
    // A note-on or note-off at every frame of one block.
    one.events.clear();
    for (int32_t i = 0; i < block; ++i) {
        one.events.add(i, i % 2 == 0 ? 0x90 : 0x80, uint8_t(60 + i % 12), i % 2 == 0 ? 90 : 0);
    }
    one.block(block);
    one.play({}, 4096);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("notes on and off at each of the 64 frames of a block, and at every frame of one block");
}

Outcome checkPitchBend(const std::string& path, const RecordFacts&) {
    Instance one(path, 44100.0f, 256);
    Performance phrase;
    int64_t t = 0;
    for (uint8_t channel : {uint8_t(0), uint8_t(15)}) {
        phrase.push_back({t, uint8_t(0xE0 | channel), 0, 0}); // lowest, before the note
        phrase.push_back({t + 5, uint8_t(0x90 | channel), 60, 100});
        for (int i = 0; i < 20; ++i) {
            const bool high = i % 2 == 0;
            phrase.push_back({t + 300 + i * 211, uint8_t(0xE0 | channel), uint8_t(high ? 0x7F : 0),
                              uint8_t(high ? 0x7F : 0)});
        }
        phrase.push_back({t + 5000, uint8_t(0x90 | channel), 96, 127}); // a high note bent up
        phrase.push_back({t + 5001, uint8_t(0xE0 | channel), 0x7F, 0x7F});
        phrase.push_back({t + 8000, uint8_t(0x80 | channel), 60, 0});
        phrase.push_back({t + 8000, uint8_t(0x80 | channel), 96, 0});
        phrase.push_back({t + 9000, uint8_t(0xE0 | channel), 0, 0x40});
        t += 10000;
    }
    one.play(phrase, t);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("pitch bend to both ends, before and during notes, channels 1 and 16: finite");
}

Outcome checkControllers(const std::string& path, const RecordFacts&) {
    Instance one(path, 44100.0f, 512);
    Performance phrase;
    int64_t t = 0;
    for (uint8_t cc : {uint8_t(1), uint8_t(7), uint8_t(120), uint8_t(121), uint8_t(122), uint8_t(123),
                       uint8_t(124), uint8_t(125), uint8_t(126), uint8_t(127)}) {
        phrase.push_back({t, 0x90, 60, 100});
        phrase.push_back({t + 200, 0xB0, cc, 127});
        phrase.push_back({t + 900, 0xB0, cc, 0});
        phrase.push_back({t + 1500, 0x90, 64, 100});
        phrase.push_back({t + 1600, 0xB0, cc, 64});
        phrase.push_back({t + 2500, 0x80, 60, 0});
        phrase.push_back({t + 2600, 0x80, 64, 0});
        t += 3000;
    }
    // Restore what the mode messages changed: local control on, poly mode, full volume.
    phrase.push_back({t, 0xB0, 122, 127});
    phrase.push_back({t, 0xB0, 127, 0});
    phrase.push_back({t, 0xB0, 7, 127});
    phrase.push_back({t + 10, 0x90, 60, 100});
    phrase.push_back({t + 3000, 0x80, 60, 0});
    one.play(phrase, t + 6000);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("controllers 1, 7 and 120-127 at 0, 64 and 127 while notes play: finite");
}

// The samples of a fresh instance playing the standard phrase.
std::vector<float> freshRender(const std::string& path, bool useProcess, AudioFaults* faults = nullptr) {
    Instance one(path, 44100.0f, 512);
    one.capture = true;
    one.play(standardPhrase(), standardLength, useProcess);
    if (faults != nullptr) {
        *faults = one.faults;
    }
    return one.captured;
}

// Where two renders of the same length differ first, as text; empty when they are identical.
std::string firstDifference(const std::vector<float>& a, const std::vector<float>& b, int32_t outputs) {
    if (a.size() != b.size()) {
        return "different lengths";
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!sameBits(a[i], b[i])) {
            // Captured block by block, channel after channel: recover the frame for the message.
            const size_t block = 512 * size_t(std::max(outputs, 1));
            const size_t frame = (i / block) * 512 + (i % block) % 512;
            double largest = 0.0;
            for (size_t j = 0; j < a.size(); ++j) {
                largest = std::max(largest, double(std::fabs(a[j] - b[j])));
            }
            return "first at frame " + std::to_string(frame) + " (" + number(a[i]) + " against " +
                   number(b[i]) + "), largest difference " + number(largest);
        }
    }
    return {};
}

// Runs `render` as the first work of a fresh child process and returns its samples, so that two such
// renders start from the same process-wide state (the C library's random generator, for one). Empty
// with `ok` false when the child did not deliver.
std::vector<float> inFreshProcess(const std::function<std::vector<float>()>& render, bool& ok) {
    ok = false;
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return {};
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return {};
    }
    if (child == 0) {
        ::close(pipeEnds[0]);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        // A render that hangs ends with the check that waits for it (alarms are not inherited).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() == 1) {
            ::_exit(4);
        }
        std::vector<float> samples;
        try {
            samples = render();
        } catch (...) {
            ::_exit(3);
        }
        writeAll(pipeEnds[1],
                 std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float)));
        ::close(pipeEnds[1]);
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    int status = 0;
    const std::string bytes = collectChild(pipeEnds[0], child, status);
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (!samples.empty()) {
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    }
    return samples;
}

// Whether instances made one after the other in one process play alike; when they do not, the
// plug-in keeps state shared by all its instances.
bool sharesState(const std::string& path, int32_t outputs) {
    const std::vector<float> first = freshRender(path, false);
    return !firstDifference(first, freshRender(path, false), outputs).empty();
}

constexpr const char* sharedStateNote =
    "instances made one after the other in one process differ: they share process-wide state (the C "
    "library's random generator, for one)";

Outcome checkDeterminism(const std::string& path, const RecordFacts& facts) {
    bool firstOk = false, secondOk = false;
    const std::vector<float> first = inFreshProcess([&] { return freshRender(path, false); }, firstOk);
    const std::vector<float> second = inFreshProcess([&] { return freshRender(path, false); }, secondOk);
    if (!firstOk || !secondOk) {
        return fail("a render in a child process did not finish");
    }
    const std::string difference = firstDifference(first, second, facts.numOutputs);
    if (!difference.empty()) {
        return fail("two fresh instances given the same events differ: " + difference);
    }
    if (sharesState(path, facts.numOutputs)) {
        return warn(std::string("reproducible per process, but ") + sharedStateNote);
    }
    return pass("two fresh instances given the same events give identical samples");
}

Outcome checkEntriesAgree(const std::string& path, const RecordFacts& facts) {
    if (!facts.canReplace || !facts.hasProcess) {
        return skip(facts.canReplace ? "no process entry" : "no processReplacing entry");
    }
    bool replacingOk = false, processOk = false, againOk = false;
    const std::vector<float> replacing =
        inFreshProcess([&] { return freshRender(path, false); }, replacingOk);
    const std::vector<float> again = inFreshProcess([&] { return freshRender(path, false); }, againOk);
    if (!replacingOk || !againOk) {
        return fail("a render in a child process did not finish");
    }
    if (!firstDifference(replacing, again, facts.numOutputs).empty()) {
        return skip("output is not reproducible (see determinism), so the entries cannot be compared");
    }
    const std::vector<float> accumulating = inFreshProcess(
        [&] {
            AudioFaults faults;
            std::vector<float> samples = freshRender(path, true, &faults);
            if (faults.any()) {
                throw std::runtime_error(faults.describe());
            }
            return samples;
        },
        processOk);
    if (!processOk) {
        return fail(
            "the process entry over cleared buffers gave samples that are not finite, or did not finish");
    }
    const std::string difference = firstDifference(replacing, accumulating, facts.numOutputs);
    if (!difference.empty()) {
        return fail("process (over cleared buffers) and processReplacing differ: " + difference);
    }
    return pass("process over cleared buffers gives the same samples as processReplacing");
}

Outcome checkIndependence(const std::string& path, const RecordFacts& facts) {
    bool aloneOk = false, againOk = false;
    const std::vector<float> alone = inFreshProcess([&] { return freshRender(path, false); }, aloneOk);
    const std::vector<float> again = inFreshProcess([&] { return freshRender(path, false); }, againOk);
    if (!aloneOk || !againOk) {
        return fail("a render in a child process did not finish");
    }
    if (!firstDifference(alone, again, facts.numOutputs).empty()) {
        return skip("output is not reproducible (see determinism), so neighbours cannot be compared");
    }
    // Two instances alive at once, rendered block by block in turn; the neighbour is driven hard.
    const auto together = [&] {
        Instance neighbour(path, 44100.0f, 512);
        Instance watched(path, 44100.0f, 512);
        for (int32_t i = 0; i < std::min(facts.numParams, walkLimit); ++i) {
            neighbour.host.setParameter(i, 1.0f);
        }
        watched.capture = true;
        const Performance ours = standardPhrase();
        const Performance theirs = otherPhrase();
        size_t nextOurs = 0, nextTheirs = 0;
        for (int64_t start = 0; start < standardLength; start += 512) {
            const int32_t length = int32_t(std::min<int64_t>(512, standardLength - start));
            for (auto [instance, phrase, next] :
                 {std::tuple{&neighbour, &theirs, &nextTheirs}, std::tuple{&watched, &ours, &nextOurs}}) {
                instance->events.clear();
                while (*next < phrase->size() && (*phrase)[*next].frame < start + length) {
                    const TimedMessage& m = (*phrase)[(*next)++];
                    instance->events.add(int32_t(m.frame - start), m.status, m.data1, m.data2);
                }
                instance->block(length);
            }
        }
        return watched.captured;
    };
    bool togetherOk = false;
    const std::vector<float> watched = inFreshProcess(together, togetherOk);
    if (!togetherOk) {
        return fail("two instances playing at once did not finish");
    }
    const std::string difference = firstDifference(alone, watched, facts.numOutputs);
    if (!difference.empty()) {
        if (sharesState(path, facts.numOutputs)) {
            return warn(std::string("another instance's playing changes this one's output: ") +
                        sharedStateNote);
        }
        return fail("an instance's output changed while another instance played: " + difference);
    }
    return pass("an instance plays the same while another one plays other notes with other settings");
}

Outcome checkParameterTexts(const std::string& path, const RecordFacts& facts) {
    if (facts.numParams == 0) {
        return skip("no parameters");
    }
    PluginHost host(path);
    host.open();
    TextFindings findings;
    const int32_t count = std::min(facts.numParams, walkLimit);
    for (int32_t i = 0; i < count; ++i) {
        const GuardedText name = guardedText(host, effGetParamName, i);
        findings.check(name, paramName("name", i), 8);
        if (name.terminated && !name.overrun && name.text.empty()) {
            findings.warning(paramName("name", i) + " is empty");
        }
        findings.check(guardedText(host, effGetParamLabel, i), paramName("label", i), 8);
        findings.check(guardedText(host, effGetParamDisplay, i), paramName("display", i), 8);
    }
    return findings.outcome(std::to_string(count) + " names, labels and displays terminated inside 64 bytes");
}

Outcome checkParameterValues(const std::string& path, const RecordFacts& facts) {
    if (facts.numParams == 0) {
        return skip("no parameters");
    }
    PluginHost host(path);
    host.open();
    TextFindings findings;
    const int32_t count = std::min(facts.numParams, walkLimit);
    for (int32_t i = 0; i < count; ++i) {
        const float original = host.getParameter(i);
        if (!std::isfinite(original) || original < 0.0f || original > 1.0f) {
            findings.failure("parameter " + std::to_string(i) + " reads " + number(original) +
                             " before any change (outside 0..1)");
            continue;
        }
        for (float value : {0.0f, 0.5f, 1.0f}) {
            host.setParameter(i, value);
            const float back = host.getParameter(i);
            const std::string what =
                "parameter " + std::to_string(i) + " set to " + number(value) + " reads " + number(back);
            if (!std::isfinite(back) || back < 0.0f || back > 1.0f) {
                findings.failure(what + " (outside 0..1)");
            } else if (std::fabs(back - value) > 1e-4f) {
                if (value == 0.5f) {
                    findings.warning(what + " (a stepped parameter?)");
                } else {
                    findings.failure(what);
                }
            }
        }
        host.setParameter(i, original);
    }
    return findings.outcome(std::to_string(count) + " parameters read back 0, 0.5 and 1 as set");
}

Outcome checkPrograms(const std::string& path, const RecordFacts& facts) {
    if (facts.numPrograms == 0) {
        return skip("no programs");
    }
    PluginHost host(path);
    host.open();
    TextFindings findings;
    const int32_t count = std::min(facts.numPrograms, walkLimit);
    for (int32_t p = 0; p < count; ++p) {
        host.setProgram(p);
        const int32_t current = host.getProgram();
        if (current != p) {
            findings.failure("program " + std::to_string(p) + " set, " + std::to_string(current) +
                             " reported");
        }
        const std::string what = "program " + std::to_string(p) + " name";
        findings.check(guardedText(host, effGetProgramName, 0), what, 24);
        const GuardedText indexed = guardedText(host, effGetProgramNameIndexed, p, -1);
        if (indexed.answer != 0 || indexed.overrun || !indexed.terminated) {
            findings.check(indexed, what + " (indexed)", 24);
        }
    }
    host.setProgram(0);
    return findings.outcome(std::to_string(count) +
                            " programs set and read back, names terminated inside 64 bytes");
}

Outcome checkProgramChanges(const std::string& path, const RecordFacts& facts) {
    Instance one(path, 44100.0f, 512);
    const int32_t programs = std::max(facts.numPrograms, 1);
    one.events.clear();
    one.events.add(0, 0x90, 60, 110);
    for (int b = 0; b < 48; ++b) {
        const int32_t program = (b * 7) % programs;
        if (facts.numPrograms > 0) {
            one.host.dispatch(effBeginSetProgram);
            one.host.setProgram(program);
            one.host.dispatch(effEndSetProgram);
        }
        if (b % 4 == 0) {
            one.events.add(b % 512, 0x90, uint8_t(48 + b % 24), 100);
        }
        if (b % 3 == 0) {
            one.events.add(300, 0xC0, uint8_t(b % 128), 0);
        }
        one.block(512);
        one.events.clear();
    }
    one.play({{0, 0xB0, 123, 0}}, 4096);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass(facts.numPrograms > 0 ? "program changes between blocks and by MIDI while notes play: finite"
                                      : "MIDI program changes while notes play: finite");
}

Outcome checkOutOfRange(const std::string& path, const RecordFacts& facts) {
    Instance one(path, 44100.0f, 512);
    PluginHost& host = one.host;
    TextFindings findings;
    for (int32_t i : {-1, facts.numParams}) {
        host.setParameter(i, 0.5f);
        (void)host.getParameter(i);
        (void)host.canBeAutomated(i);
        findings.check(guardedText(host, effGetParamName, i), paramName("name", i), 64);
        findings.check(guardedText(host, effGetParamLabel, i), paramName("label", i), 64);
        findings.check(guardedText(host, effGetParamDisplay, i), paramName("display", i), 64);
    }
    const int32_t before = host.getProgram();
    for (int32_t p : {-1, facts.numPrograms}) {
        host.setProgram(p);
        const int32_t now = host.getProgram();
        if (now != before && (now < 0 || now >= facts.numPrograms)) {
            findings.warning("program " + std::to_string(p) + " accepted (reports " + std::to_string(now) +
                             ")");
        }
        findings.check(guardedText(host, effGetProgramNameIndexed, p, -1),
                       "program " + std::to_string(p) + " name", 64);
    }
    if (facts.numPrograms > 0) {
        host.setProgram(0);
    }
    VstPinProperties pin{};
    (void)host.getOutputProperties(facts.numOutputs, pin);
    (void)host.getInputProperties(facts.numInputs, pin);
    one.play({{0, 0x90, 60, 100}}, 4096);
    if (one.faults.any()) {
        return fail("after out-of-range requests: " + one.faults.describe());
    }
    return findings.outcome("parameters -1 and " + std::to_string(facts.numParams) + ", programs -1 and " +
                            std::to_string(facts.numPrograms) +
                            ", pins past the last: answered, still plays");
}

Outcome checkNullPointers(const std::string& path, const RecordFacts&, bool strict) {
    if (!strict) {
        return skip("only with --strict (plug-ins may rightly crash on these)");
    }
    Instance one(path, 44100.0f, 512);
    for (int32_t opcode :
         {effGetParamName, effGetParamLabel, effGetParamDisplay, effGetProgramName, effGetEffectName,
          effGetVendorString, effGetProductString, effGetProgramNameIndexed, effCanDo}) {
        one.host.dispatch(opcode, 0, 0, nullptr);
    }
    one.play({{0, 0x90, 60, 100}}, 2048);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("text requests and canDo with null pointers ignored");
}

Outcome checkZeroFrames(const std::string& path, const RecordFacts&, bool strict) {
    if (!strict) {
        return skip("only with --strict");
    }
    Instance one(path, 44100.0f, 512);
    one.events.add(0, 0x90, 60, 100);
    one.block(0);
    one.block(0);
    one.play({}, 2048);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("process calls of zero frames write nothing and change nothing after");
}

Outcome checkOpenClose(const std::string& path, const RecordFacts&) {
    constexpr int cycles = 100;
    for (int i = 0; i < cycles; ++i) {
        Instance one(path, 44100.0f, 512);
        one.events.add(0, 0x90, 60, 100);
        one.block(512);
        one.host.switchOff();
        one.host.close();
        if (one.faults.any()) {
            return fail("cycle " + std::to_string(i + 1) + ": " + one.faults.describe());
        }
    }
    return pass(std::to_string(cycles) + " cycles of open, switch on, one block, switch off, close");
}

Outcome checkAllocation(const std::string&, const RecordFacts&) {
    return skip("allocation on the audio path cannot be measured from outside the plug-in");
}

struct Check {
    const char* name;
    std::function<Outcome(const std::string&, const RecordFacts&, bool strict)> run;
    bool needsAudio;           // skipped when the record's counts are implausible
    bool needsOutputs = false; // skipped when there is no output to look at
};

template <typename F> std::function<Outcome(const std::string&, const RecordFacts&, bool)> plain(F f) {
    return [f](const std::string& path, const RecordFacts& facts, bool) { return f(path, facts); };
}

const std::vector<Check>& checks() {
    static const std::vector<Check> all = {
        {"record", plain(checkRecord), false},
        {"host-order", plain(checkHostOrder), true, true},
        {"rates-and-blocks", plain(checkRatesAndBlocks), true, true},
        {"silence-before-notes", plain(checkSilence), true, true},
        {"notes-every-offset", plain(checkEveryOffset), true, true},
        {"pitch-bend", plain(checkPitchBend), true, true},
        {"controllers", plain(checkControllers), true, true},
        {"process-entries-agree", plain(checkEntriesAgree), true, true},
        {"determinism", plain(checkDeterminism), true, true},
        {"independence", plain(checkIndependence), true, true},
        {"parameter-texts", plain(checkParameterTexts), true},
        {"parameter-values", plain(checkParameterValues), true},
        {"programs", plain(checkPrograms), true},
        {"program-changes-playing", plain(checkProgramChanges), true, true},
        {"out-of-range", plain(checkOutOfRange), true},
        {"null-pointers", checkNullPointers, true},
        {"zero-frames", checkZeroFrames, true},
        {"open-close-cycles", plain(checkOpenClose), true},
        {"audio-allocation", plain(checkAllocation), false},
    };
    return all;
}

// ---------------------------------------------------------------- running a check

Outcome guarded(const Check& check, const std::string& path, const RecordFacts& facts, bool strict) {
    try {
        return check.run(path, facts, strict);
    } catch (const PluginLoadError& e) {
        return fail(std::string("a further instance could not be made: ") + e.what());
    } catch (const std::exception& e) {
        return fail(std::string("an exception came out of the plug-in: ") + e.what());
    } catch (...) {
        return fail("an exception came out of the plug-in");
    }
}

// Runs the check in a child process: a crash, an abort or a hang then fails this check alone.
Outcome isolated(const Check& check, const ValidateOptions& options, const RecordFacts& facts) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return guarded(check, options.pluginPath, facts, options.strict);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return guarded(check, options.pluginPath, facts, options.strict);
    }
    if (child == 0) {
        ::close(pipeEnds[0]);
        // Whatever the plug-in prints goes to standard error, away from the report.
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        // A plug-in's crash ends the child by its signal, also where a sanitizer would catch it first.
        for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGALRM}) {
            std::signal(signal, SIG_DFL);
        }
        // Crashes are expected here; they leave no core files behind.
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::alarm(options.timeoutSeconds);
        const Outcome outcome = guarded(check, options.pluginPath, facts, options.strict);
        writeAll(pipeEnds[1], std::string(1, char('0' + int(outcome.status))) + outcome.reason);
        ::close(pipeEnds[1]);
        std::fflush(stderr);
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    int status = 0;
    const std::string message = collectChild(pipeEnds[0], child, status);
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGALRM) {
            return fail("did not finish within " + std::to_string(options.timeoutSeconds) + " s");
        }
        const char* name = ::strsignal(signal);
        return fail("the plug-in crashed (signal " + std::to_string(signal) + ", " + (name ? name : "?") +
                    ")");
    }
    if (message.empty() || message[0] < '0' || message[0] > '3') {
        return fail("the check ended without a result (exit status " +
                    std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
    }
    return {CheckStatus(message[0] - '0'), message.substr(1)};
}

// Runs `body` with standard output sent to standard error, so that a chatty plug-in cannot mix its
// text into the report.
template <typename F> void quietly(F body) {
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    if (saved >= 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    auto restore = [&] {
        std::fflush(stdout);
        if (saved >= 0) {
            ::dup2(saved, STDOUT_FILENO);
            ::close(saved);
        }
    };
    try {
        body();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

} // namespace

const char* statusName(CheckStatus status) {
    switch (status) {
    case CheckStatus::Pass:
        return "PASS";
    case CheckStatus::Warn:
        return "WARN";
    case CheckStatus::Fail:
        return "FAIL";
    case CheckStatus::Skip:
        return "SKIP";
    }
    return "?";
}

bool ValidateReport::failed() const {
    return count(CheckStatus::Fail) > 0;
}

int ValidateReport::count(CheckStatus status) const {
    return int(std::count_if(checks.begin(), checks.end(),
                             [status](const CheckResult& c) { return c.status == status; }));
}

const std::vector<std::string>& checkNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const Check& c : checks()) {
            list.emplace_back(c.name);
        }
        return list;
    }();
    return names;
}

ValidateReport runValidate(const ValidateOptions& options) {
    const auto started = Clock::now();
    ValidateReport report;
    report.pluginPath = options.pluginPath;
    RecordFacts facts;
    quietly([&] {
        PluginHost host(options.pluginPath);
        const AEffect* e = host.effect();
        facts.numParams = e->numParams;
        facts.numPrograms = e->numPrograms;
        facts.numInputs = e->numInputs;
        facts.numOutputs = e->numOutputs;
        facts.synth = host.isSynth();
        facts.canReplace = host.canReplace();
        facts.hasProcess = e->process != nullptr;
        facts.plausible = e->dispatcher != nullptr && e->numParams >= 0 && e->numPrograms >= 0 &&
                          e->numInputs >= 0 && e->numOutputs >= 0 && e->numParams <= maxPlausibleParams &&
                          e->numPrograms <= maxPlausiblePrograms && e->numInputs <= maxPlausiblePins &&
                          e->numOutputs <= maxPlausiblePins && (facts.canReplace || facts.hasProcess) &&
                          (e->numParams == 0 || (e->setParameter != nullptr && e->getParameter != nullptr));
        if (e->dispatcher != nullptr) {
            report.effectName = host.getEffectName();
            host.close();
        }
    });
    for (const Check& check : checks()) {
        const auto start = Clock::now();
        CheckResult result;
        result.name = check.name;
        Outcome outcome;
        if (check.needsAudio && !facts.plausible) {
            outcome = skip("the record is not usable (see record)");
        } else if (check.needsOutputs && facts.numOutputs == 0) {
            outcome = skip("no outputs to listen to");
        } else if (options.isolate) {
            outcome = isolated(check, options, facts);
        } else {
            quietly([&] { outcome = guarded(check, options.pluginPath, facts, options.strict); });
        }
        result.status = outcome.status;
        result.reason = outcome.reason;
        // Plug-in texts quoted in a reason keep the report one line per check.
        std::replace_if(
            result.reason.begin(), result.reason.end(), [](char c) { return c >= 0 && c < ' '; }, '?');
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        report.checks.push_back(result);
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return report;
}

std::string validateText(const ValidateReport& report) {
    size_t width = 0;
    for (const CheckResult& c : report.checks) {
        width = std::max(width, c.name.size());
    }
    std::ostringstream out;
    out << "validating " << report.pluginPath;
    if (!report.effectName.empty()) {
        out << " (" << report.effectName << ")";
    }
    out << "\n";
    for (const CheckResult& c : report.checks) {
        out << statusName(c.status) << "  " << c.name << std::string(width - c.name.size() + 2, ' ')
            << c.reason << "\n";
    }
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.2f", report.seconds);
    out << report.count(CheckStatus::Pass) << " passed, " << report.count(CheckStatus::Warn) << " warned, "
        << report.count(CheckStatus::Fail) << " failed, " << report.count(CheckStatus::Skip) << " skipped in "
        << timing << " s\n";
    return out.str();
}

nlohmann::ordered_json validateJson(const ValidateReport& report) {
    nlohmann::ordered_json j;
    j["plugin"] = report.pluginPath;
    j["effectName"] = report.effectName;
    j["passed"] = !report.failed();
    nlohmann::ordered_json counts;
    for (CheckStatus s : {CheckStatus::Pass, CheckStatus::Warn, CheckStatus::Fail, CheckStatus::Skip}) {
        std::string key = statusName(s);
        std::transform(key.begin(), key.end(), key.begin(), [](char c) { return char(std::tolower(c)); });
        counts[key] = report.count(s);
    }
    j["counts"] = counts;
    j["seconds"] = report.seconds;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const CheckResult& c : report.checks) {
        list.push_back({{"name", c.name},
                        {"status", statusName(c.status)},
                        {"reason", c.reason},
                        {"seconds", c.seconds}});
    }
    j["checks"] = list;
    return j;
}

} // namespace solvantis
