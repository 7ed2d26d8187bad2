// Renders compared with each other: the two process entries, fresh instances, neighbours.
#include "validate/check.h"
#include "validate/runner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <tuple>

namespace solvantis::validation {

namespace {

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
// renders start from the same process-wide state (the C library's random generator, for one). Empty,
// with `ok` false and the reason in `failure`, when the child did not deliver.
std::vector<float> inFreshProcess(const std::function<std::vector<float>()>& render, bool& ok,
                                  std::string* failure = nullptr) {
    const ChildResult child = runInChild(
        [&] {
            const std::vector<float> samples = render();
            return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
        },
        0);
    ok = child.finished;
    if (failure != nullptr) {
        *failure = child.started ? child.failure : "no child process could be made";
    }
    std::vector<float> samples(child.bytes.size() / sizeof(float));
    if (!samples.empty()) {
        std::memcpy(samples.data(), child.bytes.data(), samples.size() * sizeof(float));
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

// Short, repeated and overlapping notes at 44.1 kHz, with the frame each note starts at: a plug-in
// that plays the same whatever the host's block size gives each of them the same level.
struct NotePhrase {
    Performance messages;
    std::vector<int64_t> onsets;
    int64_t length;
};

NotePhrase blockSizePhrase() {
    NotePhrase phrase;
    phrase.messages = {
        {0, 0x90, 60, 100},     {2205, 0x80, 60, 0},    // short
        {8820, 0x90, 60, 100},  {9261, 0x80, 60, 0},    // the same key again, shorter
        {13230, 0x90, 60, 100}, {15435, 0x80, 60, 0},   // and again
        {22050, 0x90, 64, 90},  {30870, 0x90, 67, 110}, // overlapping: 67 comes while 64 is held
        {35280, 0x80, 64, 0},   {39690, 0x90, 71, 80},  // 71 while 67 is held
        {44100, 0x80, 67, 0},   {48510, 0x80, 71, 0},   //
        {57330, 0x90, 48, 127}, {57430, 0x80, 48, 0},   // a 100-frame note
        {61740, 0x90, 55, 64},  {70560, 0x80, 55, 0},
    };
    phrase.onsets = {0, 8820, 13230, 22050, 30870, 39690, 57330, 61740};
    phrase.length = 79380;
    return phrase;
}

// The level of each note's stretch (from its start to the next one's) in dBFS, -inf for silence.
std::vector<double> noteLevels(const std::vector<float>& energy, const NotePhrase& phrase, int32_t outputs) {
    std::vector<double> levels;
    for (size_t n = 0; n < phrase.onsets.size(); ++n) {
        const int64_t from = phrase.onsets[n];
        const int64_t to = n + 1 < phrase.onsets.size() ? phrase.onsets[n + 1] : phrase.length;
        double sum = 0.0;
        for (int64_t i = from; i < to && size_t(i) < energy.size(); ++i) {
            sum += double(energy[size_t(i)]);
        }
        const double meanSquare = sum / double(to - from) / double(std::max(outputs, 1));
        levels.push_back(meanSquare > 0.0 ? 10.0 * std::log10(meanSquare) : -HUGE_VAL);
    }
    return levels;
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

} // namespace

Outcome checkDeterminism(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    bool firstOk = false, secondOk = false;
    std::string why;
    const std::vector<float> first = inFreshProcess([&] { return freshRender(path, false); }, firstOk, &why);
    const std::vector<float> second =
        firstOk ? inFreshProcess([&] { return freshRender(path, false); }, secondOk, &why) : first;
    if (!firstOk || !secondOk) {
        return fail("a render in a child process did not finish: " + why);
    }
    const std::string difference = firstDifference(first, second, facts.numOutputs);
    if (!difference.empty()) {
        // Noise that differs from run to run is a legitimate design; hosts that compare renders need
        // to know.
        return warn("two fresh instances given the same events differ: " + difference);
    }
    if (sharesState(path, facts.numOutputs)) {
        return warn(std::string("reproducible per process, but ") + sharedStateNote);
    }
    return pass("two fresh instances given the same events give identical samples");
}

Outcome checkEntriesAgree(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    if (!facts.canReplace || !facts.hasProcess) {
        return skip(facts.canReplace ? "no process entry" : "no processReplacing entry");
    }
    bool replacingOk = false, processOk = false, againOk = false;
    std::string why;
    const std::vector<float> replacing =
        inFreshProcess([&] { return freshRender(path, false); }, replacingOk, &why);
    const std::vector<float> again =
        replacingOk ? inFreshProcess([&] { return freshRender(path, false); }, againOk, &why) : replacing;
    if (!replacingOk || !againOk) {
        return fail("a render in a child process did not finish: " + why);
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

Outcome checkIndependence(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    bool aloneOk = false, againOk = false;
    std::string why;
    const std::vector<float> alone = inFreshProcess([&] { return freshRender(path, false); }, aloneOk, &why);
    const std::vector<float> again =
        aloneOk ? inFreshProcess([&] { return freshRender(path, false); }, againOk, &why) : alone;
    if (!aloneOk || !againOk) {
        return fail("a render in a child process did not finish: " + why);
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
    const std::vector<float> watched = inFreshProcess(together, togetherOk, &why);
    if (!togetherOk) {
        return fail("two instances playing at once did not finish: " + why);
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

Outcome checkBlockSizes(const CheckContext& context) {
    // Differences above these are heard: a note louder or softer by a few dB, or gone.
    constexpr double failDecibels = 3.0;
    constexpr double warnDecibels = 0.5;
    constexpr double missingDecibels = 30.0;
    constexpr double floorDecibels = -80.0; // below this in every render, a stretch is silence
    // The common host block of 512 frames is played twice: what two renders at the same block size
    // differ by (a plug-in that plays noise) is allowed between the others too.
    // The last is blocks of random lengths up to 4096 (a host cutting at automation points).
    const int32_t blocks[] = {512, 512, 16, 64, 4096, 4096};
    const auto blockName = [&](size_t b) {
        return b + 1 == std::size(blocks) ? std::string("random sizes") : std::to_string(blocks[b]);
    };
    const NotePhrase phrase = blockSizePhrase();
    std::vector<std::vector<double>> levels;
    bool identical = true;
    std::vector<float> firstFrames;
    for (size_t b = 0; b < std::size(blocks); ++b) {
        const int32_t block = blocks[b];
        // Each in a fresh process, so that process-wide state (a shared random generator) starts alike.
        bool ok = false;
        std::string why;
        // The frames' samples, then the energy per frame.
        std::vector<float> render = inFreshProcess(
            [&] {
                Instance one(context.path, 44100.0f, block);
                one.captureEnergy = true;
                one.captureFrames = true;
                one.randomBlocks = b + 1 == std::size(blocks) ? 2024u : 0u;
                one.setting = "block " + blockName(b);
                one.play(phrase.messages, phrase.length);
                if (one.faults.any()) {
                    throw std::runtime_error(one.faults.describe());
                }
                one.energy.resize(size_t(phrase.length), 0.0f);
                one.frames.insert(one.frames.end(), one.energy.begin(), one.energy.end());
                return one.frames;
            },
            ok, &why);
        if (!ok) {
            // The render stops itself (exit status 3) on samples it cannot compare; a crash, a hang or
            // an exit of the plug-in's own is named as it is.
            const bool faults = why.rfind("the process ended", 0) == 0;
            return fail(
                "the render with blocks of " + blockName(b) + " frames " +
                (why.empty() ? "did not finish" : "failed: " + why) +
                (faults ? " (samples not finite or written past the block, see rates-and-blocks)" : ""));
        }
        const size_t sampleCount = render.size() - size_t(phrase.length);
        if (b == 0) {
            firstFrames.assign(render.begin(), render.begin() + std::ptrdiff_t(sampleCount));
        } else {
            identical = identical && sampleCount == firstFrames.size() &&
                        std::memcmp(render.data(), firstFrames.data(), sampleCount * sizeof(float)) == 0;
        }
        const std::vector<float> energy(render.begin() + std::ptrdiff_t(sampleCount), render.end());
        levels.push_back(noteLevels(energy, phrase, context.facts.numOutputs));
    }
    const std::vector<double>& reference = levels[0];
    double worst = 0.0;
    std::string worstText;
    for (size_t b = 2; b < levels.size(); ++b) {
        for (size_t n = 0; n < phrase.onsets.size(); ++n) {
            const double ours = levels[b][n];
            const double theirs = reference[n];
            const double louder = std::max(ours, theirs);
            if (louder < floorDecibels) {
                continue;
            }
            const std::string note =
                "note " + std::to_string(n + 1) + " (at frame " + std::to_string(phrase.onsets[n]) + ")";
            const bool spread = std::isfinite(levels[1][n]) && std::isfinite(theirs);
            const double allowed = spread ? std::fabs(levels[1][n] - theirs) : 0.0;
            if (std::min(ours, theirs) < louder - missingDecibels - allowed) {
                return fail(note + " is missing at block " + (ours < theirs ? blockName(b) : "512") + ": " +
                            oneDecimal(louder) + " dBFS at block " + (ours < theirs ? "512" : blockName(b)));
            }
            const double difference = std::fabs(ours - theirs) - allowed;
            if (difference > worst) {
                worst = difference;
                worstText =
                    note + " is " + oneDecimal(ours) + " dBFS at block " + blockName(b) + " against " +
                    oneDecimal(theirs) + " dBFS at block 512" +
                    (allowed > 0.05 ? " (and " + oneDecimal(levels[1][n]) + " dBFS in a second render)"
                                    : std::string());
            }
        }
    }
    if (worst > failDecibels) {
        return fail("the sound depends on the block size: " + worstText);
    }
    if (worst > warnDecibels) {
        return warn("levels differ a little with the block size: " + worstText);
    }
    if (identical) {
        return pass("8 notes played with blocks of 16, 64, 512, 4096 and random sizes: identical output, bit "
                    "for bit");
    }
    return pass("8 notes played with blocks of 16, 64, 512, 4096 and random sizes: the same levels (within " +
                oneDecimal(warnDecibels) + " dB), though not the same samples");
}

} // namespace solvantis::validation
