// The exciter: the noise generator with its low-pass, and the pluck pulse that starts each note.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/dsp_math.h"
#include "voice/synth_params.h"

namespace solvantis {

// 15-bit linear congruential generator: a whole number 0..32767 per call.
inline constexpr uint32_t noiseMultiplier = 214013u;
inline constexpr uint32_t noiseIncrement = 2531011u;
inline int32_t noiseGenerator(uint32_t& seed) {
    seed = seed * noiseMultiplier + noiseIncrement;
    return static_cast<int32_t>((seed >> 16) & 0x7FFFu);
}

inline constexpr float noiseCutoffFloor = 40.0f;  // Hz, the exciter noise low-pass at velocity factor 0
inline constexpr float noiseCutoffSpan = 3860.0f; // Hz added at full velocity factor and TovFilter 1
inline constexpr int32_t shortestPluck = 5;       // samples

class Exciter {
public:
    uint32_t noiseSeed = 1;  // state of the 15-bit linear congruential noise generator, one per instrument
    float noiseState = 0.0f; // low-passed exciter noise
    int32_t pluckCount = 0;  // samples since the gate opened
    float noiseHold = 0.0f;  // noiseState as of the last control step: it detunes the string's second loop

    // The pluck's length is stated in samples at 44.1 kHz and the noise low-pass by its response there; the
    // white noise rises with the square root of the rate, so that its share below the low-pass's cutoff,
    // what the pluck and the string's detuning hear, stays as loud.
    void prepare(float sampleRate) {
        k = onePoleCoefficient(sampleRate);
        rate = sampleRate;
        rateScale = sampleRate / referenceRate;
        noiseScale = static_cast<float>(std::sqrt(static_cast<double>(rateScale)));
    }

    // The filtered noise, its hold and the pluck cleared; the generator runs on (it is seeded once per
    // instrument).
    void reset() {
        noiseState = 0.0f;
        noiseHold = 0.0f;
        pluckCount = 0;
    }

    // A frame at rest: the gate is closed, so no pluck is counted, and the noise stands still.
    void rest() { pluckCount = 0; }

    // What follows the note: the noise low-pass's cutoff, the noise peak, the pluck's length and level.
    // velocityFactor: the voice's as of the previous sample; voiceVelocity 0..1; voiceFrequency in Hz.
    void setNote(const SynthParams& params, float velocityFactor, float voiceVelocity, float voiceFrequency) {
        noiseCutoff = velocityFactor * params.TovFilter * noiseCutoffSpan + noiseCutoffFloor;
        noiseFactor = k;
        if (rate != referenceRate) {
            noiseFactor = rateMatchedFactor(noiseCutoff, rate); // the step is x this factor alone
            noiseCutoff = 1.0f;
        } else if (OnePole::limited(k, noiseCutoff)) {
            noiseFactor = maxOnePoleFactor;
            noiseCutoff = 1.0f; // exact: the step is x maxOnePoleFactor alone
        }
        noisePeak = (voiceVelocity * 0.8f + 0.1f) * noiseScale;
        // At least 5 samples at 44.1 kHz, scaled to the rate and truncated towards zero (never below 2);
        // written so that a non-finite pitch cannot reach the conversion.
        float length = (1200.0f - voiceFrequency) * 0.16f + 10.0f;
        // Never shorter than a quarter of the period the string rings at (f / 2) where that is below 20
        // samples (above 1.1 kHz, where the length heads for 5): a shorter pluck has too little of the note
        // in it for the top of the keyboard to sound.
        float quarterPeriod = 0.25f * referenceRate / (0.5f * voiceFrequency);
        quarterPeriod =
            quarterPeriod < 20.0f ? quarterPeriod : (quarterPeriod >= 20.0f ? 20.0f : 5.0f); // NaN: 5
        length = length >= quarterPeriod ? length : quarterPeriod;
        length = (length >= 5.0f ? length : 5.0f) * rateScale;
        pluckLength = length >= 2.0f ? (length < 1.0e9f ? static_cast<int32_t>(length) : 1000000000) : 2;
        pluckVelocity = velocityFactor * 0.8f + 0.2f;
    }

    // One sample: the noise step, held on control steps, then the pluck step. Returns the pluck.
    [[gnu::always_inline]] float tick(const SynthParams& params, bool voiceGate, bool controlStep) {
        noise(params.Pick);
        if (controlStep) {
            noiseHold = noiseState;
        }
        return pluck(voiceGate, params.Exciter);
    }

    // n samples at once whose plucks are all silent (the gate closed, or the pluck over): the same state as
    // n ticks, the noise held after sample holdAt (none where holdAt is outside 0..n-1). The generator's
    // draws and the white noise are made several at a time, then the low-pass runs sample by sample. False,
    // having changed nothing, where a pluck of the n would sound.
    [[gnu::always_inline]] bool tickSilent(int32_t n, const SynthParams& params, bool voiceGate,
                                           int32_t holdAt) {
        if (!voiceGate) {
            pluckCount = 0;
        } else if (pluckCount < pluckLength - 1) { // the next count is still within the pluck
            return false;
        } else {
            pluckCount = pluckCount < INT32_MAX - n ? pluckCount + n : INT32_MAX;
        }
        if (holdAt >= 0 && holdAt < n) {
            noiseRun(params.Pick, holdAt + 1);
            noiseHold = noiseState;
            noiseRun(params.Pick, n - holdAt - 1);
        } else {
            noiseRun(params.Pick, n);
        }
        return true;
    }

private:
    float k = 0.0f; // 2 pi / rate, per Hz
    float rate = referenceRate;
    float rateScale = 1.0f;  // the rate over 44.1 kHz
    float noiseScale = 1.0f; // its square root
    // Per note: the noise low-pass's two factors, k and its cutoff in Hz (or the stability limit and 1, where
    // k x the cutoff would pass it), the noise peak, the pluck length in samples and its level factor.
    float noiseFactor = 0.0f;
    float noiseCutoff = noiseCutoffFloor;
    float noisePeak = 0.0f;
    int32_t pluckLength = shortestPluck;
    float pluckVelocity = 0.2f;

    // The white noise of the generator's draw r (0..32767): of peak noisePeak x Pick. 2 (r / 32768 - 0.5) x
    // noisePeak is (r - 16384) x noisePeak / 16384 to the bit: every step but the product with noisePeak is
    // exact, and a power of two scales a rounded product exactly.
    float white(int32_t r, float pick) const {
        return static_cast<float>(r - 16384) * (noisePeak * (1.0f / 16384.0f)) * pick;
    }
    // The low-pass's step towards white w. Its factor stays in two parts (k, then the cutoff), multiplied in
    // that order. s - (s - w) x k x cutoff is s + (w - s) x k x cutoff to the bit (the state is never -0),
    // and leaves the state's register free for the next step where the processor has three-operand
    // instructions.
    float lowPass(float state, float w) const { return state - (state - w) * noiseFactor * noiseCutoff; }

    // Noise step, every sample: white noise of peak (voiceVelocity x 0.8 + 0.1) x Pick through a one-pole
    // low-pass whose cutoff (40 to 3900 Hz) opens with velocity.
    [[gnu::always_inline]] void noise(float pick) {
        noiseState = lowPass(noiseState, white(noiseGenerator(noiseSeed), pick));
    }

    // n noise steps: the white noise made a batch at a time, then the low-pass sample by sample.
    [[gnu::always_inline]] void noiseRun(float pick, int32_t n) {
        alignas(16) float whiteOf[noiseBatch];
        while (n > 0) {
            const int32_t m = n < noiseBatch ? n : noiseBatch;
            whites(m, pick, whiteOf);
            float state = noiseState; // in a register for the batch
            int32_t j = 0;
            for (; j + 4 <= m; j += 4) {
                state = lowPass(state, whiteOf[j]);
                state = lowPass(state, whiteOf[j + 1]);
                state = lowPass(state, whiteOf[j + 2]);
                state = lowPass(state, whiteOf[j + 3]);
            }
            for (; j < m; ++j) {
                state = lowPass(state, whiteOf[j]);
            }
            noiseState = state;
            n -= m;
        }
    }

    // The white noise of the next m (at most noiseBatch) draws.
    static constexpr int32_t noiseBatch = 256;
    [[gnu::always_inline]] void whites(int32_t m, float pick, float* whiteOf) {
        int32_t j = 0;
#if defined(__SSE2__)
        // Four generators, each four draws ahead of the one before: seed x a^4 + c (a^3 + a^2 + a + 1). SSE2
        // multiplies the low halves of 64-bit lanes, so two registers hold two generators each there; what
        // the multiplies and adds leave in the upper halves is never read.
        constexpr uint32_t a2 = noiseMultiplier * noiseMultiplier;
        constexpr uint32_t a4 = a2 * a2;
        constexpr uint32_t c4 = noiseIncrement * (a2 * noiseMultiplier + a2 + noiseMultiplier + 1u);
        if (m >= 4) {
            uint32_t s[4];
            uint32_t seed = noiseSeed;
            for (uint32_t& f : s) {
                seed = seed * noiseMultiplier + noiseIncrement;
                f = seed;
            }
            __m128i first = _mm_set_epi32(0, static_cast<int32_t>(s[1]), 0, static_cast<int32_t>(s[0]));
            __m128i second = _mm_set_epi32(0, static_cast<int32_t>(s[3]), 0, static_cast<int32_t>(s[2]));
            const __m128i multiplier = _mm_set1_epi32(static_cast<int32_t>(a4));
            const __m128i increment = _mm_set1_epi32(static_cast<int32_t>(c4));
            const __m128i mask = _mm_set1_epi32(0x7FFF);
            const __m128i middle = _mm_set1_epi32(16384);
            const __m128 peak = _mm_set1_ps(noisePeak * (1.0f / 16384.0f));
            const __m128 level = _mm_set1_ps(pick);
            for (;;) {
                const __m128i seeds = _mm_castps_si128(_mm_shuffle_ps(
                    _mm_castsi128_ps(first), _mm_castsi128_ps(second), _MM_SHUFFLE(2, 0, 2, 0)));
                const __m128i r = _mm_sub_epi32(_mm_and_si128(_mm_srli_epi32(seeds, 16), mask), middle);
                const __m128 w = _mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(r), peak), level);
                _mm_store_ps(whiteOf + j, w);
                j += 4;
                if (j + 4 > m) {
                    noiseSeed = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(second, 2)));
                    break;
                }
                first = _mm_add_epi32(_mm_mul_epu32(first, multiplier), increment);
                second = _mm_add_epi32(_mm_mul_epu32(second, multiplier), increment);
            }
        }
#endif
        for (; j < m; ++j) {
            whiteOf[j] = white(noiseGenerator(noiseSeed), pick);
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
        const int32_t count = pluckCount;
        const int32_t length = pluckLength;
        if (count >= length) {
            return 0.0f;
        }
        const float half = 0.5f * static_cast<float>(length);
        const float at = static_cast<float>(count);
        const float triangle = half > at ? 2.0f * at / static_cast<float>(length)
                                         : 1.0f - 2.0f * (at - half) / static_cast<float>(length);
        float p = exciter * (triangle + 2.0f * noiseState) * pluckVelocity;
        if (p > 2.0f) {
            p = 2.0f;
        } else if (p < -1.0f) {
            p = -1.0f;
        }
        return p;
    }
};

} // namespace solvantis
