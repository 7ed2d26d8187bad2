// What every validate check works with: its outcome, the facts of the first load, a plug-in instance
// driven the way hosts drive one, the phrases it plays and the text probes.
#pragma once

#include "plugin_host.h"
#include "validate.h"

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis::validation {

struct Outcome {
    CheckStatus status = CheckStatus::Pass;
    std::string reason;
};

inline Outcome pass(std::string reason) {
    return {CheckStatus::Pass, std::move(reason)};
}
inline Outcome warn(std::string reason) {
    return {CheckStatus::Warn, std::move(reason)};
}
inline Outcome fail(std::string reason) {
    return {CheckStatus::Fail, std::move(reason)};
}
inline Outcome skip(std::string reason) {
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

// What a check is given.
struct CheckContext {
    std::string path;
    RecordFacts facts;
    bool strict = false;
};

// Counts beyond these are not a plug-in a host could show or feed.
constexpr int32_t maxPlausibleParams = 100000;
constexpr int32_t maxPlausiblePrograms = 100000;
constexpr int32_t maxPlausiblePins = 256;
// Parameter and program walks stop here, so that huge but plausible plug-ins stay quick.
constexpr int32_t walkLimit = 4096;
constexpr int32_t largestBlock = 4096;
// Louder than this is a runaway, not a loud sound: +24 dBFS.
constexpr double loudestSample = 15.848931924611133;

std::string number(double value);
// A level in dBFS, one decimal ("-inf" for silence).
std::string decibels(double level);
bool sameBits(float a, float b);

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
    std::string where;        // the setting in which the first fault showed
    double peak = 0.0;        // of the finite samples
    std::string loudestWhere; // the setting in which the peak was reached

    bool any() const { return nonFinite > 0 || untouched > 0 || beyond > 0; }
    // Not finite, or louder than +24 dBFS.
    bool unbounded() const { return nonFinite > 0 || peak > loudestSample; }
    std::string describe() const;
    // The non-finite samples or the peak, whichever made the output unbounded.
    std::string describeUnbounded() const;
};

// One plug-in instance set up the way a host sets it up, with buffers and a frame clock.
class Instance {
public:
    Instance(const std::string& path, float rate, int32_t block);

    // Switches off (if on), sets rate and block size, switches on again.
    void configure(float rate, int32_t block);

    // Plays the performance from the instance's current frame for `frames` frames, block by block.
    // Messages are taken relative to the start of this call. `betweenBlocks`, when given, runs before
    // each block with the block's first frame.
    void play(const Performance& performance, int64_t frames, bool useProcess = false);
    template <typename F> void play(const Performance& performance, int64_t frames, F betweenBlocks) {
        size_t next = 0;
        for (int64_t start = 0; start < frames;) {
            betweenBlocks(start);
            const int32_t length = playLength(start, frames);
            next = queue(performance, next, start, length);
            block(length);
            start += length;
        }
    }

    // One block: the pending events, then one process call.
    void block(int32_t frames, bool useProcess = false);

    PluginHost host;
    ChannelBuffers buffers;
    MidiEventList events;
    AudioFaults faults;
    std::string setting; // named in fault reports
    bool capture = false;
    std::vector<float> captured; // every output sample, block by block, channel after channel
    bool captureEnergy = false;
    std::vector<float> energy; // per frame, the sum of the squared outputs
    bool captureFrames = false;
    std::vector<float> frames; // every output sample, frame after frame (the channels of a frame together)
    // Non-zero: blocks of random lengths 1..blockSize, drawn from this seed, instead of blockSize each.
    uint32_t randomBlocks = 0;
    float sampleRate = 44100.0f;
    int32_t blockSize = 512;
    int64_t clock = 0; // frames rendered

private:
    // The next block's length from `start` in a performance of `frames` frames.
    int32_t playLength(int64_t start, int64_t frames);
    // Moves the messages that fall in this block into the event list; returns the next message.
    size_t queue(const Performance& performance, size_t next, int64_t start, int32_t length);
};

// Notes, a pitch bend to both ends, the modulation wheel and the volume controller: about half a
// second at 44.1 kHz.
Performance standardPhrase();
constexpr int64_t standardLength = 24000;
// Another phrase, for the neighbour in the independence check.
Performance otherPhrase();

// A text request into a 64-byte buffer followed by guard bytes that the plug-in must leave alone.
struct GuardedText {
    std::string text;
    bool overrun = false;   // a guard byte changed
    bool terminated = true; // a zero inside the 64 bytes
    intptr_t answer = 0;
};
GuardedText guardedText(PluginHost& host, int32_t opcode, int32_t index, intptr_t value = 0);

// Counts of findings, with the first example of each kind.
struct TextFindings {
    int failures = 0;
    std::string firstFailure;
    int warnings = 0;
    std::string firstWarning;

    void failure(const std::string& text);
    void warning(const std::string& text);
    // Checks one guarded text; lengths beyond `traditional` characters are warnings.
    void check(const GuardedText& t, const std::string& what, size_t traditional);
    Outcome outcome(const std::string& fine) const;
};

std::string paramName(const char* kind, int32_t index);

// ---------------------------------------------------------------- the checks, by group

// The record and the texts and values a host reads (checks_record.cpp).
Outcome checkRecord(const CheckContext&);
Outcome checkParameterTexts(const CheckContext&);
Outcome checkParameterValues(const CheckContext&);
Outcome checkPrograms(const CheckContext&);
Outcome checkOutOfRange(const CheckContext&);
Outcome checkNullPointers(const CheckContext&);
Outcome checkOpenClose(const CheckContext&);

// Playing as hosts play (checks_playing.cpp).
Outcome checkHostOrder(const CheckContext&);
Outcome checkRatesAndBlocks(const CheckContext&);
Outcome checkSampleRates(const CheckContext&);
Outcome checkSilence(const CheckContext&);
Outcome checkEveryOffset(const CheckContext&);
Outcome checkPitchBend(const CheckContext&);
Outcome checkControllers(const CheckContext&);
Outcome checkProgramChanges(const CheckContext&);
Outcome checkZeroFrames(const CheckContext&);

// Renders compared with each other (checks_compare.cpp).
Outcome checkEntriesAgree(const CheckContext&);
Outcome checkDeterminism(const CheckContext&);
Outcome checkIndependence(const CheckContext&);
Outcome checkBlockSizes(const CheckContext&);

// Parameters pushed hard, from the audio thread and another one (checks_automation.cpp).
Outcome checkAutomation(const CheckContext&);
Outcome checkParameterSweeps(const CheckContext&);
Outcome checkHostileValues(const CheckContext&);
Outcome checkConcurrentChanges(const CheckContext&);

// Allocation in the audio calls (checks_allocation.cpp).
Outcome checkAllocation(const CheckContext&);

} // namespace solvantis::validation
