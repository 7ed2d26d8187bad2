// Per-call cost of the delay line and oscillator operations the render loop runs every sample.
#include "dsp/delay_line.h"
#include "dsp/wave_table.h"

#include <benchmark/benchmark.h>

namespace {

using solvantis::DelayLine;
using solvantis::WaveTable;

// The string-loop pattern on a 3000-sample line: peek the output, feed it back through tickLinear.
void delayLineTickLinear(benchmark::State& state) {
    DelayLine line(0.0f, 3000);
    line.setDelay(1234.56f);
    float excitation = 0.5f;
    for (auto _ : state) {
        const float out = line.nextOutLinear();
        benchmark::DoNotOptimize(line.tickLinear(out * 0.99f + excitation));
        excitation = -excitation;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(delayLineTickLinear);

// As the render drives a string line: a new delay, the peek, the tick and the end-of-sample peek.
void delayLineStringSample(benchmark::State& state) {
    DelayLine line(0.0f, 3000);
    float delay = 87.5f;
    float excitation = 0.5f;
    for (auto _ : state) {
        line.setDelay(delay);
        const float out = line.nextOutLinear();
        line.tickLinear(out * 0.99f + excitation);
        benchmark::DoNotOptimize(line.nextOutLinear());
        delay = delay < 2900.0f ? delay + 0.013f : 87.5f;
        excitation = -excitation;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(delayLineStringSample);

void waveTableTick(benchmark::State& state) {
    WaveTable lfo(44100.0f);
    lfo.setFrequency(1.2f);
    for (auto _ : state) {
        benchmark::DoNotOptimize(lfo.tick());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(waveTableTick);

} // namespace

BENCHMARK_MAIN();
