// The gain stage's overdrive: a cubic that maps +-1 to +-1 with zero slope there, mixed in by Overdrive and
// raised when the volume is low.
#pragma once

#include "voice/synth_params.h"

namespace solvantis {

// Stateless: it has nothing to prepare or reset.
class Overdrive {
public:
    void setParameters(const SynthParams& params) {
        amount = params.Overdrive;
        volume = params.Volume;
        raise = 2.0f * amount + (1.0f - amount);
    }

    // The gain stage raises the voice by 1 + Overdrive before the cubic.
    float gain() const { return raise; }
    bool on() const { return amount != 0.0f; }

    float tick(float x) const {
        return (1.0f - amount) * x + amount * (1.5f - volume) * (1.5f * x - 0.5f * x * x * x);
    }

private:
    float amount = 0.0f; // Overdrive
    float volume = 0.0f; // Volume
    float raise = 1.0f;
};

} // namespace solvantis
