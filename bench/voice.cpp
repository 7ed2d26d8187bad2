// Cost of the render per sample frame at 44100 Hz in blocks of 512 frames, fast and plain.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "one_message.h"
#include "voice/synth_engine.h"

namespace {

using solvantis::SynthEngine;
using solvantis::SynthParams;

constexpr int32_t blockSize = 512;
constexpr float sampleRate = 44100.0f;

void renderBlocks(benchmark::State& state, SynthParams params, bool releaseFirst, bool plain = false) {
    auto engine = std::make_unique<SynthEngine>();
    if (!engine->setUp(sampleRate)) {
        state.SkipWithError("set-up failed");
        return;
    }
    std::vector<float> left(blockSize), right(blockSize);
    float* outputs[2] = {left.data(), right.data()};
    params.Legato = 0;
    OneMessage on(0x90, 45, 100);
    engine->processMidi(on.list());
    for (int i = 0; i < 40; ++i) { // past the attack
        engine->processReplacing(params, sampleRate, outputs, blockSize);
    }
    if (releaseFirst) {
        OneMessage off(0x80, 45, 0);
        engine->processMidi(off.list());
        for (int i = 0; i < 200; ++i) { // the release has run out
            engine->processReplacing(params, sampleRate, outputs, blockSize);
        }
    }
    for (auto _ : state) {
        if (plain) {
            engine->processReplacingPlain(params, sampleRate, outputs, blockSize);
        } else {
            engine->processReplacing(params, sampleRate, outputs, blockSize);
        }
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    // Seconds of CPU time per sample frame (printed with an SI prefix: "60n" is 60 ns).
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * blockSize,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DefaultProgramNoteSounding(benchmark::State& state) {
    renderBlocks(state, SynthParams{}, false);
}

void BM_PowerChordChorusDistorterOverdrive(benchmark::State& state) {
    SynthParams p;
    p.PowerChord = 1.0f;
    p.Chorus = 1.0f;
    p.Distorter = 1.0f;
    p.Overdrive = 1.0f;
    renderBlocks(state, p, false);
}

void BM_SilenceAfterRelease(benchmark::State& state) {
    renderBlocks(state, SynthParams{}, true);
}

// The plain render, the reference the fast one is held to: what the fast one saves.
void BM_DefaultProgramNoteSoundingPlain(benchmark::State& state) {
    renderBlocks(state, SynthParams{}, false, true);
}

BENCHMARK(BM_DefaultProgramNoteSounding);
BENCHMARK(BM_DefaultProgramNoteSoundingPlain);
BENCHMARK(BM_PowerChordChorusDistorterOverdrive);
BENCHMARK(BM_SilenceAfterRelease);

} // namespace

BENCHMARK_MAIN();
