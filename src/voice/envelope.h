#pragma once

#include <bit>
#include <cstdint>

#include "dsp/dsp_math.h"
#include "dsp/math_functions.h"
#include "voice/synth_params.h"

namespace solvantis {

// Amplitude envelope; the counters are sample counts held as floats.
struct EnvelopeState {
    float attackCount = 0.0f;       // samples counted in the attack
    float decayCount = 0.0f;        // samples counted in the decay
    float releaseCount = 0.0f;      // samples counted in the release
    float envelopeLevel = 0.0f;     // current level, 0..1
    float releaseStartLevel = 0.0f; // level the release starts from
    float attackStartLevel = 0.0f;  // level the next attack starts from
    float sustainLevel = 0.0f;      // smoothed sustain target (modWheel x Sustain)

    void reset() { *this = EnvelopeState{}; } // idle, every count 0
};

// Envelope values computed once per block from the parameters and the sample rate. Lengths in samples.
struct EnvelopeBlock {
    float attackExponent = 0.0f; // 2.0 at ADSRCurve 0, 0.5 at 1
    float curveExponent = 0.0f;  // decay and release shape: 0.25 at ADSRCurve 0, 4.03 at 1
    float curveNorm = 0.0f;      // 0.5 ^ curveExponent
    float decayScale = 0.0f;     // (1 - Sustain) / curveNorm
    float attackLength = 0.0f;   // 4 ms to 2.004 s
    float decayLength = 0.0f;    // 25 ms to 5.025 s; shortened by velocity on samples with the gate closed
    float releaseLength = 0.0f;  // 50 ms to 5.05 s

    EnvelopeBlock() = default;
    EnvelopeBlock(const SynthParams& params, float sr) {
        attackExponent = static_cast<float>(math::pow(1.0 - params.ADSRCurve, 1.5) * 1.5 + 0.5);
        curveExponent = static_cast<float>(
            math::pow(static_cast<double>(params.ADSRCurve), static_cast<double>(2.3f)) * 3.78 + 0.25);
        curveNorm = static_cast<float>(math::pow(0.5, static_cast<double>(curveExponent)));
        decayScale = (1.0f - params.Sustain) / curveNorm;
        attackLength = (params.Attack * params.Attack * params.Attack + 0.002f) * sr * 2.0f;
        decayLength = (params.Decay * params.Decay + 0.005f) * sr * 5.0f;
        releaseLength = (params.Release * params.Release + 0.01f) * sr * 5.0f;
    }
};

// The envelope's powers for a run of samples, computed ahead of the run from a guess of each sample's base
// (the counts advance by one a sample while the phase lasts). A sample whose base and exponent turn out
// exactly as guessed takes the power from here; any other (the run crossed into another phase) computes
// it: the levels are the same either way, and the run's sample loop makes no call.
struct EnvelopePowers {
    static constexpr int32_t capacity = 32;
    static constexpr float wholeCountLimit = 8388608.0f; // 2^23
    float base[capacity];
    float power[capacity];
    float exponent = 0.0f;
    int32_t count = 0; // samples guessed
    int32_t next = 0;  // the sample about to step

    static bool sameBits(float a, float b) {
        return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
    }
    float pow(float b, float e) {
        const int32_t j = next;
        if (j < count && sameBits(b, base[j]) && sameBits(e, exponent)) {
            return power[j];
        }
        return math::pow(b, e);
    }

    // Guesses the bases of the next n (at most capacity) samples from the state before them: the gate stays
    // as it is and the phase it is in lasts.
    [[gnu::noinline]] void guess(const EnvelopeState& env, bool gate, const EnvelopeBlock& blk, int32_t n) {
        next = 0;
        count = 0;
        // The bases of the count's next steps while it stays within length: t / length in the attack,
        // 0.5 - 0.5 t / length in the decay and the release.
        auto guessFrom = [&](float t, float length, bool falling) {
            // A count is a whole number. Below 2^23 the j-th step's count t + j + 1 is exact, so the steps
            // within length are counted at once (length - t is exact in double; a NaN length gives none)
            // and their bases computed without a loop-carried count, several at a time.
            if (t >= 0.0f && t < wholeCountLimit && static_cast<float>(static_cast<int32_t>(t)) == t) {
                const double room = static_cast<double>(length) - static_cast<double>(t);
                const int32_t m = room >= n ? n : (room >= 1.0 ? static_cast<int32_t>(room) : 0);
                if (falling) {
                    for (int32_t j = 0; j < m; ++j) {
                        base[j] = 0.5f - 0.5f * (t + static_cast<float>(j + 1)) / length;
                    }
                } else {
                    for (int32_t j = 0; j < m; ++j) {
                        base[j] = (t + static_cast<float>(j + 1)) / length;
                    }
                }
                count = m;
                return;
            }
            for (; count < n; ++count) {
                t = t + 1.0f;
                if (!(t <= length)) {
                    break;
                }
                base[count] = falling ? 0.5f - 0.5f * t / length : t / length;
            }
        };
        if (gate) {
            if (env.attackCount + 1.0f <= blk.attackLength) {
                exponent = blk.attackExponent;
                guessFrom(env.attackCount, blk.attackLength, false);
            } else {
                exponent = blk.curveExponent;
                guessFrom(env.decayCount, blk.decayLength, true);
            }
        } else if (env.releaseStartLevel != 0.0f) {
            exponent = blk.curveExponent;
            guessFrom(env.releaseCount, blk.releaseLength, true);
        }
        math::pow(base, exponent, power, count); // several at a time, each bit for bit the scalar power
    }
};

// Gate open: attack from attackStartLevel towards 1, then decay towards the sustain level, then sustain.
// The power of a count past its length (a negative base) is never needed, so it is not computed.
inline float envGateOn(EnvelopeState& env, const EnvelopeBlock& blk, EnvelopePowers& powers) {
    const float t = env.attackCount + 1.0f;
    env.attackCount = t;
    const bool attacking = t <= blk.attackLength;
    if (!attacking) {
        env.decayCount = env.decayCount + 1.0f;
    }
    float level;
    if (env.decayCount > blk.decayLength) {
        level = env.sustainLevel;
        env.attackCount = 0.0f;
    } else if (attacking) {
        level = powers.pow(t / blk.attackLength, blk.attackExponent) * (1.0f - env.attackStartLevel) +
                env.attackStartLevel;
    } else {
        level =
            powers.pow(0.5f - 0.5f * env.decayCount / blk.decayLength, blk.curveExponent) * blk.decayScale +
            env.sustainLevel;
    }
    if (level <= 0.0f) {
        env.decayCount = 0.0f;
    }
    // Sustain lowered during a note: decayScale follows at the next block while sustainLevel glides down at
    // 5 Hz, so the decay would start above 1 and the tone filter's damping turn negative. The level never
    // rises above full.
    if (level > 1.0f) {
        level = 1.0f;
    }
    env.envelopeLevel = level;
    env.releaseStartLevel = level;
    env.releaseCount = 0.0f;
    return level;
}

// Gate closed: release from releaseStartLevel to 0, forced to 0 once the count passes releaseLength.
inline void envRelease(EnvelopeState& env, const EnvelopeBlock& blk, EnvelopePowers& powers) {
    const float r = env.releaseCount + 1.0f;
    env.releaseCount = r;
    float level;
    if (r > blk.releaseLength) {
        env.releaseCount = 0.0f;
        level = 0.0f;
        env.releaseStartLevel = 0.0f;
    } else if (env.releaseStartLevel == 0.0f) {
        level = 0.0f; // idle: the power would only be multiplied by 0
    } else {
        level = powers.pow(0.5f - 0.5f * r / blk.releaseLength, blk.curveExponent) *
                (env.releaseStartLevel / blk.curveNorm);
    }
    env.envelopeLevel = level;
    env.attackCount = 0.0f;
    env.decayCount = 0.0f;
    env.attackStartLevel = level;
}

inline constexpr float sustainGlideCutoff = 5.0f; // Hz: the held level follows Sustain x wheel this slowly

// The decay length, in samples, while the gate is closed: shortened by a low velocity factor.
inline float closedDecayLength(const SynthParams& params, float sr, float velocityFactor) {
    return ((velocityFactor + 0.1f) * params.Decay * params.Decay + 0.005f) * sr * 5.0f;
}

// Envelope step of one sample; may close the gate when the level has reached 0 with the key still held.
// sustainTarget is modWheel x Sustain; sustainLimited holds the glide's factor at the stability limit.
inline void envelopeStep(EnvelopeState& env, bool& voiceGate, EnvelopeBlock& blk, float sustainTarget,
                         float decayLengthClosed, float k, bool sustainLimited, EnvelopePowers& powers) {
    if (!voiceGate) {
        blk.decayLength = decayLengthClosed;
    } else {
        if (!sustainLimited) {
            env.sustainLevel = env.sustainLevel + (sustainTarget - env.sustainLevel) * k * sustainGlideCutoff;
        } else {
            env.sustainLevel = env.sustainLevel + (sustainTarget - env.sustainLevel) * maxOnePoleFactor;
        }
        envGateOn(env, blk, powers);
    }
    if (env.envelopeLevel <= 0.0f) {
        voiceGate = false;
        envRelease(env, blk, powers);
    } else if (!voiceGate) {
        envRelease(env, blk, powers);
    }
    ++powers.next;
}

} // namespace solvantis
