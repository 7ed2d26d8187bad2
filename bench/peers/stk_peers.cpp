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
// Without arguments the harness prints ns per frame of each engine in each case and the ratio to STK Guitar
// in the same case (best of --repeat runs; wall times on a shared machine are noisy). With --case and
// --engine it runs that one measurement once, inside the function `solvantis_bench_measured`, for
// `valgrind --tool=callgrind --collect-atstart=no --toggle-collect=solvantis_bench_measured`, and prints
// the number of frames measured, so instructions per frame are Collected / frames. --block N runs that case
// in blocks of N frames instead, to separate what a frame, a block and a run of frames between two control
// steps cost.
#include <stk/Guitar.h>
#include <stk/Plucked.h>
#include <stk/StifKarp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
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

// Best-of-`repeat` ns per frame of one engine in one case; each repetition starts a fresh engine.
double nsPerFrame(const std::string& engineName, const std::string& plugin, const CaseInfo& c, int repeat) {
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        auto engine = makeEngine(engineName, plugin, c);
        Timeline warmUp, measured;
        timelines(c, warmUp, measured);
        run(*engine, warmUp, c.block);
        const auto t0 = std::chrono::steady_clock::now();
        solvantis_bench_measured(engine.get(), &measured, c.block);
        const auto t1 = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
        best = std::min(best, ns / static_cast<double>(measured.frames));
    }
    return best;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_peers [--plugin PATH] [--repeat N]\n"
                 "       bench_peers [--plugin PATH] [--block N] --case default|heavy|silence|block32 "
                 "--engine solvantis|stk-guitar|stk-plucked|stk-stifkarp\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string plugin = SOLVANTIS_PLUGIN_PATH;
    std::string caseName;
    std::string engineName;
    int repeat = 3;
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
        } else if (a == "--repeat") {
            repeat = std::max(1, std::atoi(v.c_str()));
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

        std::printf("%-9s %-13s %10s %14s\n", "case", "engine", "ns/frame", "x stk-guitar");
        for (const CaseInfo& c : cases) {
            double results[std::size(engineNames)];
            for (size_t e = 0; e < std::size(engineNames); ++e) {
                results[e] = nsPerFrame(engineNames[e], plugin, c, repeat);
            }
            for (size_t e = 0; e < std::size(engineNames); ++e) {
                std::printf("%-9s %-13s %10.2f %14.2f\n", c.name, engineNames[e], results[e],
                            results[e] / results[1]);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_peers: %s\n", error.what());
        return 1;
    }
    return 0;
}
