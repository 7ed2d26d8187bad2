#pragma once

#include <climits>
#include <cstdint>

#include "dsp/dsp_math.h"
#include "voice/synth_params.h"

namespace solvantis {

// Exciter: the noise generator and the pluck pulse.
struct ExciterState {
    uint32_t noiseSeed = 1;  // state of the 15-bit linear congruential noise generator, one per instrument
    float noiseState = 0.0f; // low-passed exciter noise
    int32_t pluckCount = 0;  // samples since the gate opened
    float noiseHold = 0.0f;  // noiseState as of the last control step: it detunes the string's second loop

    // The filtered noise, its hold and the pluck cleared; the generator runs on (it is seeded once per
    // instrument).
    void reset() {
        noiseState = 0.0f;
        noiseHold = 0.0f;
        pluckCount = 0;
    }
};

// 15-bit linear congruential generator: a whole number 0..32767 per call.
inline constexpr uint32_t noiseMultiplier = 214013u;
inline constexpr uint32_t noiseIncrement = 2531011u;
inline int32_t noiseGenerator(uint32_t& seed) {
    seed = seed * noiseMultiplier + noiseIncrement;
    return static_cast<int32_t>((seed >> 16) & 0x7FFFu);
}

// The generator's state after n more calls, in about 2 log2(n) steps: the composition of n steps of
// seed * a + c is again of that form (modulo 2^32), built by squaring.
inline uint32_t noiseSeedAfter(uint32_t seed, uint32_t n) {
    uint32_t a = noiseMultiplier; // the map of 2^j steps: seed * a + c
    uint32_t c = noiseIncrement;
    uint32_t totalA = 1;
    uint32_t totalC = 0;
    for (; n != 0; n >>= 1) {
        if ((n & 1u) != 0) {
            totalA = totalA * a;
            totalC = totalC * a + c;
        }
        c = c * a + c;
        a = a * a;
    }
    return seed * totalA + totalC;
}

inline constexpr float noiseCutoffFloor = 40.0f;  // Hz, the exciter noise low-pass at velocity factor 0
inline constexpr float noiseCutoffSpan = 3860.0f; // Hz added at full velocity factor and TovFilter 1
inline constexpr int32_t shortestPluck = 5;       // samples

// The exciter during one block: its state held in locals, the factors that change only with the note
// computed when it changes (setNote), so the per-sample steps are a few operations each.
struct ExciterRun {
    uint32_t noiseSeed;
    float noiseState;
    int32_t pluckCount;

    // Per note: the noise filter's cutoff in Hz and whether its factor is held at the stability limit, the
    // noise peak, the pluck length in samples and its level factor.
    float noiseCutoff = noiseCutoffFloor;
    bool noiseLimited = false;
    float noisePeak = 0.0f;
    int32_t pluckLength = shortestPluck;
    float pluckVelocity = 0.2f;

    explicit ExciterRun(const ExciterState& s)
        : noiseSeed(s.noiseSeed), noiseState(s.noiseState), pluckCount(s.pluckCount) {}
    void store(ExciterState& s) const {
        s.noiseSeed = noiseSeed;
        s.noiseState = noiseState;
        s.pluckCount = pluckCount;
    }

    // velocityFactor: the voice's as of the previous sample; voiceVelocity 0..1; voiceFrequency in Hz.
    void setNote(const SynthParams& params, float k, float velocityFactor, float voiceVelocity,
                 float voiceFrequency) {
        noiseCutoff = velocityFactor * params.TovFilter * noiseCutoffSpan + noiseCutoffFloor;
        noiseLimited = !(k * noiseCutoff <= maxOnePoleFactor);
        noisePeak = voiceVelocity * 0.8f + 0.1f;
        // Truncated towards zero, at least 5; written so that a non-finite pitch cannot reach the conversion.
        const float length = (1200.0f - voiceFrequency) * 0.16f + 10.0f;
        pluckLength =
            length >= 5.0f ? (length < 1.0e9f ? static_cast<int32_t>(length) : 1000000000) : shortestPluck;
        pluckVelocity = velocityFactor * 0.8f + 0.2f;
    }

    // Noise step, every sample: white noise of peak (voiceVelocity x 0.8 + 0.1) x Pick through a one-pole
    // low-pass whose cutoff (40 to 3900 Hz) opens with velocity. Returns the filtered noise.
    [[gnu::always_inline]] float noise(float k, float pick) {
        const float r = static_cast<float>(noiseGenerator(noiseSeed));
        const float white = 2.0f * (r * (1.0f / 32768.0f) - 0.5f) * noisePeak * pick;
        if (!noiseLimited) {
            noiseState = noiseState + (white - noiseState) * k * noiseCutoff;
        } else {
            noiseState = noiseState + (white - noiseState) * maxOnePoleFactor;
        }
        return noiseState;
    }

    // n noise steps whose results only the last matters for (the voice silent, its gate closed).
    void noiseRun(float k, float pick, int32_t n) {
        for (int32_t j = 0; j < n; ++j) {
            noise(k, pick);
        }
    }

    // Pluck step, every sample: a triangle of E samples (E from the pitch, 5 or more, whatever the sample
    // rate) mixed with the noise, once per gate opening. Returns the pluck signal, limited to -1 .. 2.
    [[gnu::always_inline]] float pluck(bool voiceGate, float exciter) {
        if (!voiceGate) {
            pluckCount = 0;
            return 0.0f;
        }
        // The count saturates instead of overflowing on a note held for more than 13 hours.
        if (pluckCount < INT32_MAX) {
            ++pluckCount;
        }
        const int32_t c = pluckCount;
        const int32_t e = pluckLength;
        if (c >= e) {
            return 0.0f;
        }
        const float half = 0.5f * static_cast<float>(e);
        const float count = static_cast<float>(c);
        const float tri = half > count ? 2.0f * count / static_cast<float>(e)
                                       : 1.0f - 2.0f * (count - half) / static_cast<float>(e);
        float p = exciter * (tri + 2.0f * noiseState) * pluckVelocity;
        if (p > 2.0f) {
            p = 2.0f;
        } else if (p < -1.0f) {
            p = -1.0f;
        }
        return p;
    }

    // Where the gate is closed or the pluck is over, the next pluck steps give 0 whatever the noise: true
    // then, and the count is moved on as n steps move it.
    bool pluckSilentFor(bool voiceGate, int32_t n) {
        if (!voiceGate) {
            pluckCount = 0;
            return true;
        }
        if (pluckCount < pluckLength - 1) { // the next count is still within the pluck
            return false;
        }
        pluckCount = pluckCount < INT32_MAX - n ? pluckCount + n : INT32_MAX;
        return true;
    }
};

// One noise step on the stored state; on control steps the result is held in noiseHold.
inline void noiseStep(ExciterState& exciter, const SynthParams& params, float k, float velocityFactor,
                      float voiceVelocity, bool controlStep, float& noiseHold) {
    ExciterRun run(exciter);
    run.setNote(params, k, velocityFactor, voiceVelocity, 0.0f);
    run.noise(k, params.Pick);
    run.store(exciter);
    if (controlStep) {
        noiseHold = exciter.noiseState;
    }
}

// One pluck step on the stored state.
inline float pluckStep(ExciterState& exciter, const SynthParams& params, bool voiceGate, float voiceFrequency,
                       float velocityFactor) {
    ExciterRun run(exciter);
    run.setNote(params, 0.0f, velocityFactor, 0.0f, voiceFrequency);
    const float p = run.pluck(voiceGate, params.Exciter);
    run.store(exciter);
    return p;
}

} // namespace solvantis
