// Our math functions against the C library's, per call, on the arguments the render gives them: the
// envelope's float power (bases in (0, 1], exponents 0.25 to 4.03), the per-block double powers, the soft
// clippers' tanh, and the table builders' exp and sine. The envelope raises a block of bases to one
// exponent: the batch power is measured against as many scalar calls, ours and the C library's.
// Ours run on the path this processor takes (FMA, or the software fma where it lacks FMA and AVX2), and
// again forced onto the software path (the *Software benchmarks), so that the cost on a processor without
// FMA is known here too. Per-call instruction counts: scripts/bench-math.
#include "dsp/math_functions.h"
#include "math_path_switch.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

namespace m = solvantis::math;

constexpr std::size_t kPoints = 1024;

struct Arguments {
    float baseF[kPoints];
    float exponentF[kPoints];
    double base[kPoints];
    double exponent[kPoints];
    double clip[kPoints];   // tanh's argument: 0 .. 8
    double expArg[kPoints]; // -4 .. 4
    double phase[kPoints];  // 0 .. 2, sinPi's argument
    Arguments() {
        for (std::size_t i = 0; i < kPoints; ++i) {
            const double u = static_cast<double>((i * 389) % kPoints) / kPoints;
            baseF[i] = static_cast<float>(0.001 + 0.999 * u);
            exponentF[i] = 0.25f + 3.78f * static_cast<float>(i % 64) / 63.0f;
            base[i] = baseF[i];
            exponent[i] = exponentF[i];
            clip[i] = 8.0 * u;
            expArg[i] = 8.0 * u - 4.0;
            phase[i] = 2.0 * u;
        }
    }
};

const Arguments args;

float batchOut[kPoints];

template <typename F> void sweep(benchmark::State& state, F f) {
    for (auto _ : state) {
        for (std::size_t i = 0; i < kPoints; ++i) {
            benchmark::DoNotOptimize(f(i));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPoints));
}

void powFloatOurs(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return m::pow(args.baseF[i], args.exponentF[i]); });
}
void powFloatLibrary(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return std::pow(args.baseF[i], args.exponentF[i]); });
}
void powDoubleOurs(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return m::pow(args.base[i], args.exponent[i]); });
}
void powDoubleLibrary(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return std::pow(args.base[i], args.exponent[i]); });
}
void tanhOurs(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return m::tanh(args.clip[i]); });
}
void tanhLibrary(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return std::tanh(args.clip[i]); });
}
void expOurs(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return m::exp(args.expArg[i]); });
}
void expLibrary(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return std::exp(args.expArg[i]); });
}
void sinPiOurs(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return m::sinPi(args.phase[i]); });
}
void sinLibrary(benchmark::State& s) {
    sweep(s, [](std::size_t i) { return std::sin(3.141592653589793 * args.phase[i]); });
}

// One block of bases per exponent, cycling through 8 exponents.
template <typename F> void block(benchmark::State& state, F f) {
    std::size_t e = 0;
    for (auto _ : state) {
        f(args.exponentF[e]);
        e = (e + 9) % 64;
        benchmark::DoNotOptimize(batchOut);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPoints));
}

void powFloatBatchOurs(benchmark::State& s) {
    block(s, [](float y) { m::pow(args.baseF, y, batchOut, static_cast<int>(kPoints)); });
}
void powFloatBlockOurs(benchmark::State& s) {
    block(s, [](float y) {
        for (std::size_t i = 0; i < kPoints; ++i) {
            batchOut[i] = m::pow(args.baseF[i], y);
        }
    });
}
void powFloatBlockLibrary(benchmark::State& s) {
    block(s, [](float y) {
        for (std::size_t i = 0; i < kPoints; ++i) {
            batchOut[i] = std::pow(args.baseF[i], y);
        }
    });
}

// The software path for as long as a benchmark runs.
template <void (*Benchmark)(benchmark::State&)> void software(benchmark::State& s) {
    m::testing::forceSoftwareFma(true);
    Benchmark(s);
    m::testing::forceSoftwareFma(false);
}
void powFloatOursSoftware(benchmark::State& s) {
    software<powFloatOurs>(s);
}
void powFloatBatchOursSoftware(benchmark::State& s) {
    software<powFloatBatchOurs>(s);
}
void powDoubleOursSoftware(benchmark::State& s) {
    software<powDoubleOurs>(s);
}
void tanhOursSoftware(benchmark::State& s) {
    software<tanhOurs>(s);
}
void expOursSoftware(benchmark::State& s) {
    software<expOurs>(s);
}
void sinPiOursSoftware(benchmark::State& s) {
    software<sinPiOurs>(s);
}

BENCHMARK(powFloatOurs);
BENCHMARK(powFloatLibrary);
BENCHMARK(powFloatBatchOurs);
BENCHMARK(powFloatBlockOurs);
BENCHMARK(powFloatBlockLibrary);
BENCHMARK(powDoubleOurs);
BENCHMARK(powDoubleLibrary);
BENCHMARK(tanhOurs);
BENCHMARK(tanhLibrary);
BENCHMARK(expOurs);
BENCHMARK(expLibrary);
BENCHMARK(sinPiOurs);
BENCHMARK(sinLibrary);
BENCHMARK(powFloatOursSoftware);
BENCHMARK(powFloatBatchOursSoftware);
BENCHMARK(powDoubleOursSoftware);
BENCHMARK(tanhOursSoftware);
BENCHMARK(expOursSoftware);
BENCHMARK(sinPiOursSoftware);

const char* pathName() {
    return m::detail::usesHardwareFma() ? "FMA" : "software fma";
}

} // namespace

// --path prints the path our functions take on this processor and exits.
int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--path") == 0) {
        std::printf("%s\n", pathName());
        return 0;
    }
    benchmark::AddCustomContext("math path", pathName());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
