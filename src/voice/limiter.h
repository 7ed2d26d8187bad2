// The level limiter after the tone filter: its gain drops at once to hold a peak at full scale and recovers
// by 60 dB in 75 ms.
#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/lookup_tables.h"
#include "dsp/math_functions.h"

namespace solvantis {

inline constexpr float levelTableScale = 4096.0f; // level table entries per unit of peak
inline constexpr float levelTableTop = 32760.0f;  // the last entry read (a peak of about 8)

// Limiter recovery per sample: the gain recovers by 60 dB in 75 ms. Depends on the sample rate only.
inline double levelRecovery(float sampleRate) {
    return 1.0 - math::pow(0.001, 1.0 / (static_cast<double>(sampleRate) * 0.075));
}

class Limiter {
public:
    float levelGain = 1.0f; // the current gain, 0..1

    void prepare(float sampleRate) { recovery = levelRecovery(sampleRate); }
    // The gain back at 1.
    void reset() { levelGain = 1.0f; }

    // The gain drops at once to about min(1, 1/|r|), from the shared level table up to a peak of 8 and as
    // 1/|r| beyond it, so it has no floor, and recovers towards it by `recovery` per sample. Returns r times
    // the gain.
    [[gnu::always_inline]] float tick(float r) {
        // Table gain about min(1, 1/|r|); the bound also keeps a NaN away from the index.
        float s = std::fabs(r) * levelTableScale;
        if (s < levelTableScale) {
            // Up to a peak of 1 the table's gain is 1: only the recovery runs, and not even that at full
            // gain.
            if (levelGain != 1.0f) {
                levelGain = static_cast<float>(levelGain + (1.0f - levelGain) * recovery);
            }
            return r * levelGain;
        }
        float v;
        if (s > levelTableTop) {
            // Beyond the table (|r| above 8) its last gain would let the level through 18 dB too loud: the
            // gain follows 1/|r| there too, so the limiter holds any level at full scale.
            v = levelTableScale / s;
        } else {
            if (!(s <= levelTableTop)) {
                s = levelTableTop;
            }
            const int32_t j = static_cast<int32_t>(s);
            const float* table = levelTable.data();
            v = table[j] + (table[j + 1] - table[j]) * (s - static_cast<float>(j));
        }
        if (v < levelGain) {
            levelGain = v;
        } else {
            levelGain = static_cast<float>(levelGain + (v - levelGain) * recovery);
        }
        return r * levelGain;
    }

private:
    double recovery = 0.0; // per sample
};

} // namespace solvantis
