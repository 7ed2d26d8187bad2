#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

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
    float decayLength = 0.0f;    // 25 ms to 5.025 s
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
    static constexpr int32_t capacity = 64;
    static constexpr float wholeCountLimit = 8388608.0f; // 2^23
    float base[capacity];
    float power[capacity];
    float exponent = 0.0f;
    int32_t count = 0; // samples guessed
    int32_t next = 0;  // the sample about to step
    // What the bases were guessed from, where they were counted at once: the count before the first
    // sample, the length and whether the phase falls (a NaN length where they were not).
    float guessOrigin = 0.0f;
    float guessLength = 0.0f;
    bool guessFalling = false;

    static bool sameBits(float a, float b) {
        return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
    }
    float pow(float b, float e) { return powAt(next, b, e); }
    // True when the powers of the m samples from sample `first` on are guessed for a phase that counts from
    // t (before sample `first`) within `len`, and with exponent e: their bases are then exactly as guessed.
    bool covers(float t, float len, bool fall, float e, int32_t first, int32_t m) const {
        return first + m <= count && fall == guessFalling && sameBits(len, guessLength) &&
               sameBits(e, exponent) && t == guessOrigin + static_cast<float>(first);
    }
    // The power of the sample j after the one about to step.
    float powAt(int32_t j, float b, float e) const {
        if (j < count && sameBits(b, base[j]) && sameBits(e, exponent)) {
            return power[j];
        }
        return math::pow(b, e);
    }

    // Makes sure the bases of the next n (at most capacity) samples are guessed, from the state before them:
    // the gate stays as it is and the phase it is in lasts. A guess that still stands for them (made for this
    // phase, its count where the guess put it) is kept; a new one reaches `reach` samples (n to capacity)
    // ahead, so that one call of the batch power serves several runs of samples.
    [[gnu::noinline]] void guess(const EnvelopeState& env, bool gate, const EnvelopeBlock& blk, int32_t n,
                                 int32_t reach) {
        float t = 0.0f;
        float length = 0.0f;
        float e = 0.0f;
        bool falling = true;
        bool counting = true;
        if (gate) {
            if (env.attackCount + 1.0f <= blk.attackLength) {
                t = env.attackCount;
                length = blk.attackLength;
                e = blk.attackExponent;
                falling = false;
            } else {
                t = env.decayCount;
                length = blk.decayLength;
                e = blk.curveExponent;
            }
        } else if (env.releaseStartLevel != 0.0f) {
            t = env.releaseCount;
            length = blk.releaseLength;
            e = blk.curveExponent;
        } else {
            counting = false; // idle or silent: no power is taken
        }
        if (counting && covers(t, length, falling, e, next, n)) {
            return;
        }
        next = 0;
        count = 0;
        guessLength = std::numeric_limits<float>::quiet_NaN();
        if (!counting) {
            return;
        }
        exponent = e;
        const int32_t m = std::clamp(reach, n, capacity);
        // The bases of the count's next steps while it stays within length: t / length in the attack,
        // 0.5 - 0.5 t / length in the decay and the release.
        // A count is a whole number. Below 2^23 the j-th step's count t + j + 1 is exact, so the steps
        // within length are counted at once (length - t is exact in double; a NaN length gives none)
        // and their bases computed without a loop-carried count, several at a time.
        if (t >= 0.0f && t < wholeCountLimit && static_cast<float>(static_cast<int32_t>(t)) == t) {
            const double room = static_cast<double>(length) - static_cast<double>(t);
            count = room >= m ? m : (room >= 1.0 ? static_cast<int32_t>(room) : 0);
            if (falling) {
                for (int32_t j = 0; j < count; ++j) {
                    base[j] = 0.5f - 0.5f * (t + static_cast<float>(j + 1)) / length;
                }
            } else {
                for (int32_t j = 0; j < count; ++j) {
                    base[j] = (t + static_cast<float>(j + 1)) / length;
                }
            }
            guessOrigin = t;
            guessLength = length;
            guessFalling = falling;
        } else {
            for (; count < n; ++count) {
                t = t + 1.0f;
                if (!(t <= length)) {
                    break;
                }
                base[count] = falling ? 0.5f - 0.5f * t / length : t / length;
            }
        }
        math::pow(base, exponent, power, count); // several at a time, each bit for bit the scalar power
    }
};

// The envelope's powers taken one at a time, as the plain render takes them.
struct DirectPowers {
    int32_t next = 0; // the sample about to step (kept for the steps' shared interface)
    static float pow(float b, float e) { return math::pow(b, e); }
};

// Gate open: attack from attackStartLevel towards 1, then decay towards the sustain level, then sustain.
// The power of a count past its length (a negative base) is never needed, so it is not computed.
template <class Powers> inline float envGateOn(EnvelopeState& env, const EnvelopeBlock& blk, Powers& powers) {
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
template <class Powers> inline void envRelease(EnvelopeState& env, const EnvelopeBlock& blk, Powers& powers) {
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
// The glide's one-pole factor at the coefficient k (6.28319 / rate), held at the stability limit.
inline float sustainGlideFactor(float k) {
    return k * sustainGlideCutoff <= maxOnePoleFactor ? k * sustainGlideCutoff : maxOnePoleFactor;
}

// Envelope step of one sample; may close the gate when the level has reached 0 with the key still held.
// sustainTarget is modWheel x Sustain, approached with the one-pole factor sustainFactor.
template <class Powers>
inline void envelopeStep(EnvelopeState& env, bool& voiceGate, const EnvelopeBlock& blk, float sustainTarget,
                         float sustainFactor, Powers& powers) {
    if (voiceGate) {
        env.sustainLevel = env.sustainLevel + (sustainTarget - env.sustainLevel) * sustainFactor;
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

// m envelope steps in one go (m at most EnvelopePowers::capacity), where nothing in them can change the
// envelope's phase or the gate: every step is in the decay (the gate open, the attack over), in the sustain,
// or in the release (the gate closed), as the state before them is, and every level of an open gate stays
// above 0. levels[j] is the level after step j, runs[j] whether the level before it was above 0. The same
// state and levels as m calls of envelopeStep, bit for bit; false, having changed no state, where the steps
// cannot go so (the caller then steps one by one). alongside() is called once a step, in the same loop as
// the sustain's glide, so that another recurrence (the exciter's noise) runs beside the glide's instead of
// after it; it may have been called where the result is false.
template <class Alongside>
[[gnu::always_inline]] inline bool envelopeAhead(EnvelopeState& env, bool voiceGate, const EnvelopeBlock& blk,
                                                 float sustainTarget, float sustainFactor,
                                                 EnvelopePowers& powers, int32_t m, float* levels, bool* runs,
                                                 Alongside alongside) {
    constexpr int32_t most = EnvelopePowers::capacity;
    // Counts are whole numbers; below 2^23 the j-th step's count is the count plus j + 1, exactly.
    const auto ordinaryCount = [](float c) {
        return c >= 0.0f && c < EnvelopePowers::wholeCountLimit &&
               static_cast<float>(static_cast<int32_t>(c)) == c;
    };
    if (m <= 0 || m > most) {
        return false;
    }
    const float steps = static_cast<float>(m);
    const int32_t first = powers.next;
    if (voiceGate) {
        // The decay throughout: the attack over (its count only grows), the last count within the decay. Or
        // the sustain throughout: each step counts the attack to 1 and back to 0, the decay stays past.
        const bool decaying = ordinaryCount(env.attackCount) && ordinaryCount(env.decayCount) &&
                              !(env.attackCount + 1.0f <= blk.attackLength) &&
                              env.decayCount + steps <= blk.decayLength;
        if (!decaying &&
            !(env.attackCount == 0.0f && 1.0f <= blk.attackLength && env.decayCount > blk.decayLength)) {
            return false;
        }
        // The decay's powers: as guessed, or where the guess was for other counts, one by one.
        const float* power = powers.power + first;
        float computed[most];
        if (decaying && !powers.covers(env.decayCount, blk.decayLength, true, blk.curveExponent, first, m)) {
            for (int32_t j = 0; j < m; ++j) {
                const float base =
                    0.5f - 0.5f * (env.decayCount + static_cast<float>(j + 1)) / blk.decayLength;
                computed[j] = powers.powAt(first + j, base, blk.curveExponent);
            }
            power = computed;
        }
        float sustain = env.sustainLevel;
        bool above = true;
        for (int32_t j = 0; j < m; ++j) {
            sustain = sustain + (sustainTarget - sustain) * sustainFactor;
            const float level = decaying ? power[j] * blk.decayScale + sustain : sustain;
            above &= level > 0.0f;
            levels[j] = level > 1.0f ? 1.0f : level;
            alongside();
        }
        if (!above) {
            return false;
        }
        runs[0] = env.envelopeLevel > 0.0f;
        for (int32_t j = 1; j < m; ++j) {
            runs[j] = true;
        }
        if (decaying) {
            env.attackCount = env.attackCount + steps;
            env.decayCount = env.decayCount + steps;
        } else {
            env.attackCount = 0.0f;
        }
        env.sustainLevel = sustain;
        env.releaseCount = 0.0f;
    } else {
        // The release throughout: the last count within its length.
        if (!ordinaryCount(env.releaseCount) || !(env.releaseCount + steps <= blk.releaseLength)) {
            return false;
        }
        if (env.releaseStartLevel == 0.0f) {
            for (int32_t j = 0; j < m; ++j) {
                levels[j] = 0.0f;
            }
        } else {
            const float scale = env.releaseStartLevel / blk.curveNorm;
            if (powers.covers(env.releaseCount, blk.releaseLength, true, blk.curveExponent, first, m)) {
                for (int32_t j = 0; j < m; ++j) {
                    levels[j] = powers.power[first + j] * scale;
                }
            } else {
                for (int32_t j = 0; j < m; ++j) {
                    const float base =
                        0.5f - 0.5f * (env.releaseCount + static_cast<float>(j + 1)) / blk.releaseLength;
                    levels[j] = powers.powAt(first + j, base, blk.curveExponent) * scale;
                }
            }
        }
        runs[0] = env.envelopeLevel > 0.0f;
        for (int32_t j = 1; j < m; ++j) {
            runs[j] = levels[j - 1] > 0.0f;
        }
        for (int32_t j = 0; j < m; ++j) {
            alongside();
        }
        env.releaseCount = env.releaseCount + steps;
        env.attackCount = 0.0f;
        env.decayCount = 0.0f;
        env.attackStartLevel = levels[m - 1];
    }
    env.envelopeLevel = levels[m - 1];
    if (voiceGate) {
        env.releaseStartLevel = levels[m - 1];
    }
    powers.next = first + m;
    return true;
}

} // namespace solvantis
