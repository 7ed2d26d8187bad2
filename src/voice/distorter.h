// The distorter: the soft clip (knee 0.4) of five times the signal, mixed with the clean signal by Distorter.
#pragma once

#include <cstdint>

#include "dsp/dsp_math.h"
#include "dsp/math_functions.h"
#include "voice/synth_params.h"

namespace solvantis {

inline constexpr float distorterDrive = 5.0f; // the signal's gain into the soft clip
inline constexpr float distorterKnee = 0.4f;
inline constexpr int32_t distorterRunLimit = 32; // the longest run tickBlock takes

// Stateless: it has nothing to prepare or reset.
class Distorter {
public:
    void setParameters(const SynthParams& params) { amount = params.Distorter; }

    float tick(float x) const {
        if (amount == 0.0f) {
            return x;
        }
        return mix(x, softClip(distorterDrive * x, distorterKnee));
    }

    // n samples (at most distorterRunLimit) in place: the tanh of the run's samples taken at once. The same
    // results as n ticks.
    [[gnu::always_inline]] void tickBlock(int32_t n, float* x) const {
        if (amount == 0.0f || n <= 0) {
            return;
        }
        double argument[distorterRunLimit];
        for (int32_t j = 0; j < n; ++j) {
            argument[j] = softClipArgument(distorterDrive * x[j], distorterKnee);
        }
        math::tanh(argument, argument, n);
        for (int32_t j = 0; j < n; ++j) {
            x[j] = mix(x[j], softClipFrom(distorterDrive * x[j], distorterKnee, argument[j]));
        }
    }

private:
    float amount = 0.0f; // dry/wet, Distorter

    float mix(float x, float clipped) const { return (1.0f - amount) * x + amount * clipped; }
};

} // namespace solvantis
