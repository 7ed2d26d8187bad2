// Peer harness: Solvantis against three plucked strings of the Synthesis ToolKit (Plucked, Guitar with one
// string, StifKarp), all driven with the same note pattern in one process, so their costs are comparable.
//
// The pattern: 44.1 kHz, one note every 0.5 s held for 0.4 s, the notes spread evenly over MIDI 40..76,
// velocity 100. Cases:
//   default  the default program, blocks of 512 frames
//   heavy    PowerChord, Chorus 1, Distorter 1 and Overdrive 1 on the default program, blocks of 512
//   silence  a note released, 2 s of its tail skipped, then the silence that follows, blocks of 512
//   block32  the default program in blocks of 32 frames
// The peers have no patches: they play the same notes in every case (block32 changes only how often the
// harness hands them a buffer, which is how a host would drive them).
//
// Without arguments the harness pairs the engines in CPU time: in each of --rounds rounds (9 by default) it
// makes every engine afresh and has them render the measured stretch in turns of 2048 frames, in an order
// that rotates, each turn timed in the thread's CPU time; it prints per case and engine the median ns per
// frame and the median ratio to STK Guitar of the same round, each with its lowest and highest round.
// Interleaved in one process, the engines meet the same load, clock and caches. With --case and
// --engine it runs that one measurement once, inside the function `solvantis_bench_measured`, for
// `valgrind --tool=callgrind --collect-atstart=no --toggle-collect=solvantis_bench_measured`, and prints
// the number of frames measured, so instructions per frame are Collected / frames. --block N runs that case
// in blocks of N frames instead, to separate what a frame, a block and a run of frames between two control
// steps cost.
#include <stk/Guitar.h>
#include <stk/Plucked.h>
#include <stk/StifKarp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <time.h>
#include <vector>

#include "plugin_host.h"

namespace {

constexpr double sampleRate = 44100.0;
constexpr int64_t notePeriod = 22050;  // frames between note starts (0.5 s)
constexpr int64_t noteLength = 17640;  // frames a key is held (0.4 s)
constexpr int32_t lowestNote = 40;     // MIDI
constexpr int32_t highestNote = 76;    // MIDI
constexpr int32_t measuredNotes = 16;  // notes in one measurement, spread over lowestNote..highestNote
constexpr int32_t warmUpNotes = 2;     // notes played before the measurement starts
constexpr uint8_t velocity = 100;      // MIDI
constexpr int64_t releaseSkip = 88200; // frames skipped after the note-off in the silence case (2 s)

enum class Case { defaultProgram, heavy, silence, block32 };

struct CaseInfo {
    Case id;
    const char* name;
    int32_t block;
};

constexpr CaseInfo cases[] = {
    {Case::defaultProgram, "default", 512},
    {Case::heavy, "heavy", 512},
    {Case::silence, "silence", 512},
    {Case::block32, "block32", 32},
};

const char* const engineNames[] = {"solvantis", "stk-guitar", "stk-plucked", "stk-stifkarp"};

// The key of note n of the pattern: 40, 42, 45, ... 76 over measuredNotes notes, then again.
int32_t patternKey(int64_t n) {
    const int64_t i = n % measuredNotes;
    return lowestNote + static_cast<int32_t>((i * (highestNote - lowestNote) + (measuredNotes - 1) / 2) /
                                             (measuredNotes - 1));
}

double keyFrequency(int32_t key) {
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

// What an engine is asked to do during a stretch of frames: the note starts and ends of the pattern, or one
// note released and then silence.
struct Timeline {
    bool pattern = true; // false: one note at frame 0, released at noteLength, nothing after
    int64_t start = 0;   // first frame of the stretch
    int64_t frames = 0;  // length of the stretch
};

// One engine behind a block interface: render `frames` frames starting at absolute frame `at`.
class Engine {
public:
    virtual ~Engine() = default;
    virtual void render(const Timeline& t, int64_t at, int32_t frames) = 0;
};

// Events of the timeline within [at, at + frames): calls on(offset, key) and off(offset, key).
template <typename On, typename Off>
void eventsIn(const Timeline& t, int64_t at, int32_t frames, On on, Off off) {
    const int64_t end = at + frames;
    if (!t.pattern) {
        if (at == 0 && frames > 0) {
            on(0, patternKey(0));
        }
        if (noteLength >= at && noteLength < end) {
            off(static_cast<int32_t>(noteLength - at), patternKey(0));
        }
        return;
    }
    for (int64_t n = at / notePeriod; n * notePeriod < end; ++n) {
        const int64_t onFrame = n * notePeriod;
        const int64_t offFrame = onFrame + noteLength;
        if (offFrame >= at && offFrame < end) {
            off(static_cast<int32_t>(offFrame - at), patternKey(n));
        }
        if (onFrame >= at && onFrame < end) {
            on(static_cast<int32_t>(onFrame - at), patternKey(n));
        }
    }
}

class SolvantisEngine final : public Engine {
public:
    SolvantisEngine(const std::string& path, Case c, int32_t block) : host(path), buffers(0, 2, block) {
        host.open();
        host.setSampleRate(static_cast<float>(sampleRate));
        host.setBlockSize(block);
        if (c == Case::heavy) {
            host.setParameter(18, 1.0f); // PowerChord
            host.setParameter(14, 1.0f); // Chorus
            host.setParameter(12, 1.0f); // Distorter
            host.setParameter(13, 1.0f); // Overdrive
        }
        host.switchOn();
    }
    ~SolvantisEngine() override {
        host.switchOff();
        host.close();
    }

    void render(const Timeline& t, int64_t at, int32_t frames) override {
        events.clear();
        eventsIn(
            t, at, frames,
            [this](int32_t offset, int32_t key) {
                events.add(offset, 0x90, static_cast<uint8_t>(key), velocity);
            },
            [this](int32_t offset, int32_t key) { events.add(offset, 0x80, static_cast<uint8_t>(key), 0); });
        if (!events.empty()) {
            host.processEvents(events);
        }
        solvantis::AEffect* e = host.effect();
        e->processReplacing(e, buffers.inputs(), buffers.outputs(), frames);
    }

private:
    solvantis::PluginHost host;
    solvantis::ChannelBuffers buffers;
    solvantis::MidiEventList events;
};

// The three ToolKit instruments share noteOn(frequency, amplitude), noteOff(amplitude) and tick().
template <typename Instrument> class StkEngine final : public Engine {
public:
    explicit StkEngine(int32_t block, std::unique_ptr<Instrument> instrument)
        : voice(std::move(instrument)), out(static_cast<size_t>(block)) {}

    void render(const Timeline& t, int64_t at, int32_t frames) override {
        int32_t done = 0;
        auto runTo = [&](int32_t offset) {
            for (; done < offset; ++done) {
                out[static_cast<size_t>(done)] = static_cast<float>(tickOne());
            }
        };
        eventsIn(
            t, at, frames,
            [&](int32_t offset, int32_t key) {
                runTo(offset);
                noteOn(keyFrequency(key), velocity / 127.0);
            },
            [&](int32_t offset, int32_t) {
                runTo(offset);
                noteOff(0.5);
            });
        runTo(frames);
    }

private:
    stk::StkFloat tickOne() { return voice->tick(); }
    void noteOn(double f, double a) { voice->noteOn(f, a); }
    void noteOff(double a) { voice->noteOff(a); }

    std::unique_ptr<Instrument> voice;
    std::vector<float> out;
};

std::unique_ptr<Engine> makeEngine(const std::string& name, const std::string& plugin, const CaseInfo& c) {
    if (name == "solvantis") {
        return std::make_unique<SolvantisEngine>(plugin, c.id, c.block);
    }
    if (name == "stk-guitar") {
        return std::make_unique<StkEngine<stk::Guitar>>(c.block, std::make_unique<stk::Guitar>(1));
    }
    if (name == "stk-plucked") {
        return std::make_unique<StkEngine<stk::Plucked>>(c.block, std::make_unique<stk::Plucked>(10.0));
    }
    if (name == "stk-stifkarp") {
        return std::make_unique<StkEngine<stk::StifKarp>>(c.block, std::make_unique<stk::StifKarp>(10.0));
    }
    return nullptr;
}

void run(Engine& engine, const Timeline& t, int32_t block) {
    for (int64_t at = t.start; at < t.start + t.frames; at += block) {
        const int64_t left = t.start + t.frames - at;
        engine.render(t, at, static_cast<int32_t>(std::min<int64_t>(block, left)));
    }
}

// The stretches before and during the measurement of a case.
void timelines(const CaseInfo& c, Timeline& warmUp, Timeline& measured) {
    if (c.id == Case::silence) {
        warmUp = Timeline{false, 0, noteLength + releaseSkip};
        measured = Timeline{false, warmUp.frames, measuredNotes * notePeriod};
    } else {
        warmUp = Timeline{true, 0, warmUpNotes * notePeriod};
        measured = Timeline{true, warmUp.frames, measuredNotes * notePeriod};
    }
}

} // namespace

// The measured stretch, alone in a function that callgrind can switch its counting on for.
extern "C" __attribute__((noinline)) void solvantis_bench_measured(Engine* engine, const Timeline* t,
                                                                   int32_t block) {
    run(*engine, *t, block);
}

namespace {

// The CPU time this thread has run, in ns: what another process takes of the machine does not count.
int64_t threadNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// What reading the clock adds to a measurement, in ns: the median of many back-to-back readings.
int64_t clockOverhead() {
    std::vector<int64_t> gaps(1001);
    for (int64_t& gap : gaps) {
        const int64_t t0 = threadNanoseconds();
        gap = threadNanoseconds() - t0;
    }
    std::nth_element(gaps.begin(), gaps.begin() + 500, gaps.end());
    return gaps[500];
}

constexpr int64_t sliceFrames = 2048; // a multiple of every case's block

// One round of the CPU-time pairing of a case: a fresh instance of every engine, each warmed up, then the
// measured stretch a slice at a time, every engine rendering the slice in turn; which engine goes first
// moves on by one each slice and each round, so none is always the one after another's cache traffic.
// Returns each engine's thread CPU time in ns per frame.
std::vector<double> pairedRound(const std::string& plugin, const CaseInfo& c, int round, int64_t overhead) {
    const size_t count = std::size(engineNames);
    std::vector<std::unique_ptr<Engine>> engines;
    for (const char* name : engineNames) {
        engines.push_back(makeEngine(name, plugin, c));
    }
    Timeline warmUp, measured;
    timelines(c, warmUp, measured);
    for (auto& engine : engines) {
        run(*engine, warmUp, c.block);
    }
    std::vector<int64_t> spent(count, 0);
    const int64_t end = measured.start + measured.frames;
    size_t first = size_t(round);
    for (int64_t at = measured.start; at < end; at += sliceFrames, ++first) {
        const Timeline slice{measured.pattern, at, std::min(sliceFrames, end - at)};
        for (size_t k = 0; k < count; ++k) {
            const size_t e = (first + k) % count;
            const int64_t t0 = threadNanoseconds();
            run(*engines[e], slice, c.block);
            spent[e] += threadNanoseconds() - t0 - overhead;
        }
    }
    std::vector<double> perFrame(count);
    for (size_t e = 0; e < count; ++e) {
        perFrame[e] = double(spent[e]) / double(measured.frames);
    }
    return perFrame;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The CPU-time pairing of every case: per engine the median ns per frame over the rounds with the lowest
// and highest round, and the median of the rounds' ratios to STK Guitar with their lowest and highest.
void printPairing(const std::string& plugin, int rounds) {
    const int64_t overhead = clockOverhead();
    std::printf("%-9s %-13s %10s %10s %10s %10s %10s %10s\n", "case", "engine", "ns/frame", "ns-min",
                "ns-max", "x-guitar", "x-min", "x-max");
    const size_t count = std::size(engineNames);
    for (const CaseInfo& c : cases) {
        std::vector<std::vector<double>> times(count), ratios(count);
        for (int r = 0; r < rounds; ++r) {
            const std::vector<double> t = pairedRound(plugin, c, r, overhead);
            for (size_t e = 0; e < count; ++e) {
                times[e].push_back(t[e]);
                ratios[e].push_back(t[e] / t[1]);
            }
        }
        for (size_t e = 0; e < count; ++e) {
            const auto [tMin, tMax] = std::minmax_element(times[e].begin(), times[e].end());
            const auto [rMin, rMax] = std::minmax_element(ratios[e].begin(), ratios[e].end());
            std::printf("%-9s %-13s %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f\n", c.name, engineNames[e],
                        median(times[e]), *tMin, *tMax, median(ratios[e]), *rMin, *rMax);
        }
    }
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_peers [--plugin PATH] [--rounds N]\n"
                 "       bench_peers [--plugin PATH] [--block N] --case default|heavy|silence|block32 "
                 "--engine solvantis|stk-guitar|stk-plucked|stk-stifkarp\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string plugin = SOLVANTIS_PLUGIN_PATH;
    std::string caseName;
    std::string engineName;
    int rounds = 9;
    int32_t blockOverride = 0; // --block N: another block size for the one case run under callgrind
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            return usage();
        }
        const std::string v = argv[++i];
        if (a == "--plugin") {
            plugin = v;
        } else if (a == "--case") {
            caseName = v;
        } else if (a == "--engine") {
            engineName = v;
        } else if (a == "--rounds") {
            rounds = std::max(1, std::atoi(v.c_str()));
        } else if (a == "--block") {
            blockOverride = std::max(1, std::atoi(v.c_str()));
        } else {
            return usage();
        }
    }
    stk::Stk::setSampleRate(sampleRate);
    stk::Stk::showWarnings(false);

    try {
        if (!caseName.empty() || !engineName.empty()) {
            const CaseInfo* c = nullptr;
            for (const CaseInfo& info : cases) {
                if (caseName == info.name) {
                    c = &info;
                }
            }
            CaseInfo chosen = c != nullptr ? *c : cases[0];
            if (blockOverride > 0) {
                chosen.block = blockOverride;
            }
            auto engine = c != nullptr ? makeEngine(engineName, plugin, chosen) : nullptr;
            if (!engine) {
                return usage();
            }
            Timeline warmUp, measured;
            timelines(chosen, warmUp, measured);
            run(*engine, warmUp, chosen.block);
            solvantis_bench_measured(engine.get(), &measured, chosen.block);
            std::printf("frames %lld\n", static_cast<long long>(measured.frames));
            // Ends without closing the plug-in: callgrind reads its line numbers at exit, and a library
            // already unloaded would leave them out of the profile.
            std::fflush(stdout);
            std::_Exit(0);
        }

        printPairing(plugin, rounds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_peers: %s\n", error.what());
        return 1;
    }
    return 0;
}
