// The amplitude envelope: a curved attack, decay and release around a gliding sustain level, and the powers
// its curves take, computed ahead for the fast render.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "dsp/dsp_math.h"
#include "dsp/math_functions.h"
#include "voice/synth_params.h"

namespace solvantis {

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

// The segment the envelope's next step counts in: the count before the step, the segment's length and
// curve exponent, and whether it falls (decay, release) or rises (attack). `counting` is false where no
// power is taken (an idle or silent release).
struct EnvelopeSegment {
    float count = 0.0f;
    float length = 0.0f;
    float exponent = 0.0f;
    bool falling = true;
    bool counting = false;

    // The base of the curve at count t: t / length rising, 0.5 - 0.5 t / length falling.
    static float base(float t, float length, bool falling) {
        return falling ? 0.5f - 0.5f * t / length : t / length;
    }
};

// The envelope's powers for a run of samples, computed ahead of the run from a guess of each sample's base
// (the counts advance by one a sample while the segment lasts). A sample whose base and exponent turn out
// exactly as guessed takes the power from here; any other (the run crossed into another segment) computes
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
    // sample, the length and whether the segment falls (a NaN length where they were not).
    float guessOrigin = 0.0f;
    float guessLength = 0.0f;
    bool guessFalling = false;

    static bool sameBits(float a, float b) {
        return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
    }
    // A count below 2^23 that is a whole number: the j-th step after it counts exactly count + j + 1.
    static bool ordinaryCount(float c) {
        return c >= 0.0f && c < wholeCountLimit && static_cast<float>(static_cast<int32_t>(c)) == c;
    }
    float pow(float b, float e) { return powAt(next, b, e); }
    // True when the powers of the m samples from sample `first` on are guessed for a segment that counts
    // from t (before sample `first`) within `len`, and with exponent e: their bases are then exactly as
    // guessed.
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

    // Makes sure the bases of the next n (at most capacity) samples are guessed, from the segment the
    // envelope is in before them: the gate stays as it is and the segment lasts. A guess that still stands
    // for them (made for this segment, its count where the guess put it) is kept; a new one reaches `reach`
    // samples (n to capacity) ahead, so that one call of the batch power serves several runs of samples.
    [[gnu::noinline]] void guess(const EnvelopeSegment& segment, int32_t n, int32_t reach) {
        float t = segment.count;
        const float length = segment.length;
        const bool falling = segment.falling;
        if (segment.counting && covers(t, length, falling, segment.exponent, next, n)) {
            return;
        }
        next = 0;
        count = 0;
        guessLength = std::numeric_limits<float>::quiet_NaN();
        if (!segment.counting) {
            return;
        }
        exponent = segment.exponent;
        const int32_t m = std::clamp(reach, n, capacity);
        // The bases of the count's next steps while it stays within length. Below 2^23 the j-th step's
        // count t + j + 1 is exact, so the steps within length are counted at once (length - t is exact in
        // double; a NaN length gives none) and their bases computed without a loop-carried count, several at
        // a time.
        if (ordinaryCount(t)) {
            const double room = static_cast<double>(length) - static_cast<double>(t);
            count = room >= m ? m : (room >= 1.0 ? static_cast<int32_t>(room) : 0);
            for (int32_t j = 0; j < count; ++j) {
                base[j] = EnvelopeSegment::base(t + static_cast<float>(j + 1), length, falling);
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
                base[count] = EnvelopeSegment::base(t, length, falling);
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

inline constexpr float sustainGlideCutoff = 5.0f; // Hz: the held level follows Sustain x wheel this slowly
inline constexpr float soundOffFadeTime = 0.005f; // s: All Sound Off takes the voice to silence this fast

// The envelope; the counters are sample counts held as floats.
class Envelope {
public:
    float attackCount = 0.0f;       // samples counted in the attack
    float decayCount = 0.0f;        // samples counted in the decay
    float releaseCount = 0.0f;      // samples counted in the release
    float envelopeLevel = 0.0f;     // current level, 0..1
    float releaseStartLevel = 0.0f; // level the release starts from
    float attackStartLevel = 0.0f;  // level the next attack starts from
    float sustainLevel = 0.0f;      // smoothed sustain target (modWheel x Sustain)
    float fadeLeft = 0.0f;          // samples left of an All Sound Off fade; 0 when none runs

    // The sustain glide's one-pole factor (gliding as it does at 44.1 kHz) and the length of the All Sound
    // Off fade.
    void prepare(float sampleRate) {
        sustainFactor = rateMatchedFactor(sustainGlideCutoff, sampleRate);
        fadeLength = sampleRate * soundOffFadeTime;
    }
    // Idle, every count and level 0.
    void reset() {
        attackCount = decayCount = releaseCount = 0.0f;
        envelopeLevel = releaseStartLevel = attackStartLevel = sustainLevel = 0.0f;
        fadeLeft = 0.0f;
    }

    // All Sound Off: with the gate closed, the release is scaled by a gain falling in a straight line from 1
    // to 0 over soundOffFadeTime, then the envelope is idle. Far below a note-off's last step to silence, so
    // it does not click. A note that starts meanwhile ends the fade and attacks from the faded level.
    void startFade() {
        fadeLeft = fadeLength;
        fadeScale = 1.0f / fadeLength;
    }
    void stopFade() { fadeLeft = 0.0f; }

    // One sample; may close the gate when the level has reached 0 with the key still held. sustainTarget is
    // modWheel x Sustain, which the held level glides to.
    template <class Powers>
    [[gnu::always_inline]] void tick(bool& voiceGate, const EnvelopeBlock& shape, float sustainTarget,
                                     Powers& powers) {
        if (voiceGate) {
            OnePole::step(sustainLevel, sustainTarget, sustainFactor);
            gateOn(shape, powers);
        }
        if (envelopeLevel <= 0.0f) {
            voiceGate = false;
            release(shape, powers);
        } else if (!voiceGate) {
            release(shape, powers);
        }
        ++powers.next;
    }

    // m ticks in one go (m at most EnvelopePowers::capacity), where nothing in them can change the segment or
    // the gate: every tick is in the decay (the gate open, the attack over), in the sustain, or in the
    // release (the gate closed), as the state before them is, and every level of an open gate stays above 0.
    // levels[j] is the level after tick j, runs[j] whether the level before it was above 0. The same state
    // and levels as m ticks, bit for bit; false, having changed no state, where the ticks cannot go so (the
    // caller then ticks one by one).
    [[gnu::always_inline]] bool tickAhead(bool voiceGate, const EnvelopeBlock& shape, float sustainTarget,
                                          EnvelopePowers& powers, int32_t m, float* levels, bool* runs);

    // At rest: the gate closed and the release over, the level 0. Nothing sounds and nothing counts; the
    // voice stays so until a note entry opens the gate.
    bool resting(bool voiceGate) const {
        return !voiceGate && !(envelopeLevel > 0.0f) && releaseStartLevel == 0.0f;
    }

    // The segment the next tick counts in, for the powers' guess.
    EnvelopeSegment segment(bool voiceGate, const EnvelopeBlock& shape) const {
        if (voiceGate) {
            if (attackCount + 1.0f <= shape.attackLength) {
                return {attackCount, shape.attackLength, shape.attackExponent, false, true};
            }
            return {decayCount, shape.decayLength, shape.curveExponent, true, true};
        }
        if (releaseStartLevel != 0.0f) {
            return {releaseCount, shape.releaseLength, shape.curveExponent, true, true};
        }
        return {};
    }

private:
    float sustainFactor = 0.0f;
    float fadeLength = 0.0f; // samples of the All Sound Off fade
    float fadeScale = 0.0f;  // 1 / the running fade's length

    // One sample of the All Sound Off fade, after the release step.
    [[gnu::always_inline]] void fade() {
        const float left = fadeLeft - 1.0f;
        if (left > 0.0f) {
            fadeLeft = left;
            envelopeLevel = envelopeLevel * (left * fadeScale);
        } else {
            fadeLeft = 0.0f;
            envelopeLevel = 0.0f;
            releaseStartLevel = 0.0f;
        }
        attackStartLevel = envelopeLevel;
    }

    // Gate open: attack from attackStartLevel towards 1, then decay towards the sustain level, then sustain.
    // The power of a count past its length (a negative base) is never needed, so it is not computed.
    template <class Powers> [[gnu::always_inline]] void gateOn(const EnvelopeBlock& shape, Powers& powers) {
        const float t = attackCount + 1.0f;
        attackCount = t;
        const bool attacking = t <= shape.attackLength;
        if (!attacking) {
            decayCount = decayCount + 1.0f;
        }
        float level;
        if (decayCount > shape.decayLength) {
            level = sustainLevel;
            attackCount = 0.0f;
        } else if (attacking) {
            level = powers.pow(EnvelopeSegment::base(t, shape.attackLength, false), shape.attackExponent) *
                        (1.0f - attackStartLevel) +
                    attackStartLevel;
        } else {
            level =
                powers.pow(EnvelopeSegment::base(decayCount, shape.decayLength, true), shape.curveExponent) *
                    shape.decayScale +
                sustainLevel;
        }
        if (level <= 0.0f) {
            decayCount = 0.0f;
        }
        // Sustain lowered during a note: decayScale follows at the next block while sustainLevel glides down
        // at 5 Hz, so the decay would start above 1 and the tone filter's damping turn negative. The level
        // never rises above full.
        if (level > 1.0f) {
            level = 1.0f;
        }
        envelopeLevel = level;
        releaseStartLevel = level;
        releaseCount = 0.0f;
    }

    // Gate closed: release from releaseStartLevel to 0, forced to 0 once the count passes releaseLength.
    template <class Powers> [[gnu::always_inline]] void release(const EnvelopeBlock& shape, Powers& powers) {
        const float r = releaseCount + 1.0f;
        releaseCount = r;
        float level;
        if (r > shape.releaseLength) {
            releaseCount = 0.0f;
            level = 0.0f;
            releaseStartLevel = 0.0f;
        } else if (releaseStartLevel == 0.0f) {
            level = 0.0f; // idle: the power would only be multiplied by 0
        } else {
            level = powers.pow(EnvelopeSegment::base(r, shape.releaseLength, true), shape.curveExponent) *
                    (releaseStartLevel / shape.curveNorm);
        }
        envelopeLevel = level;
        attackCount = 0.0f;
        decayCount = 0.0f;
        attackStartLevel = level;
        if (fadeLeft > 0.0f) [[unlikely]] {
            fade();
        }
    }
};

inline bool Envelope::tickAhead(bool voiceGate, const EnvelopeBlock& shape, float sustainTarget,
                                EnvelopePowers& powers, int32_t m, float* levels, bool* runs) {
    constexpr int32_t most = EnvelopePowers::capacity;
    if (m <= 0 || m > most) {
        return false;
    }
    const float steps = static_cast<float>(m);
    const int32_t first = powers.next;
    // The powers of the m ticks of a falling segment counting from t within length: as guessed, or where
    // the guess was for other counts, one by one.
    float computed[most];
    const auto fallingPowers = [&](float t, float length) -> const float* {
        if (powers.covers(t, length, true, shape.curveExponent, first, m)) {
            return powers.power + first;
        }
        for (int32_t j = 0; j < m; ++j) {
            const float base = EnvelopeSegment::base(t + static_cast<float>(j + 1), length, true);
            computed[j] = powers.powAt(first + j, base, shape.curveExponent);
        }
        return computed;
    };
    const EnvelopeSegment counted = segment(voiceGate, shape);
    if (voiceGate) {
        // The decay throughout: the attack over (its count only grows), the last count within the decay. Or
        // the sustain throughout: each tick counts the attack to 1 and back to 0, the decay stays past.
        const bool decaying = counted.falling && EnvelopePowers::ordinaryCount(attackCount) &&
                              EnvelopePowers::ordinaryCount(counted.count) &&
                              counted.count + steps <= counted.length;
        if (!decaying &&
            !(attackCount == 0.0f && 1.0f <= shape.attackLength && decayCount > shape.decayLength)) {
            return false;
        }
        const float* power = decaying ? fallingPowers(counted.count, counted.length) : nullptr;
        float sustain = sustainLevel;
        bool above = true;
        for (int32_t j = 0; j < m; ++j) {
            OnePole::step(sustain, sustainTarget, sustainFactor);
            const float level = decaying ? power[j] * shape.decayScale + sustain : sustain;
            above &= level > 0.0f;
            levels[j] = level > 1.0f ? 1.0f : level;
        }
        if (!above) {
            return false;
        }
        runs[0] = envelopeLevel > 0.0f;
        for (int32_t j = 1; j < m; ++j) {
            runs[j] = true;
        }
        if (decaying) {
            attackCount = attackCount + steps;
            decayCount = decayCount + steps;
        } else {
            attackCount = 0.0f;
        }
        sustainLevel = sustain;
        releaseCount = 0.0f;
    } else {
        // The release throughout, without a fade: the last count within its length.
        if (fadeLeft > 0.0f || !EnvelopePowers::ordinaryCount(releaseCount) ||
            !(releaseCount + steps <= shape.releaseLength)) {
            return false;
        }
        if (releaseStartLevel == 0.0f) {
            for (int32_t j = 0; j < m; ++j) {
                levels[j] = 0.0f;
            }
        } else {
            const float scale = releaseStartLevel / shape.curveNorm;
            const float* power = fallingPowers(counted.count, counted.length); // the release
            for (int32_t j = 0; j < m; ++j) {
                levels[j] = power[j] * scale;
            }
        }
        runs[0] = envelopeLevel > 0.0f;
        for (int32_t j = 1; j < m; ++j) {
            runs[j] = levels[j - 1] > 0.0f;
        }
        releaseCount = releaseCount + steps;
        attackCount = 0.0f;
        decayCount = 0.0f;
        attackStartLevel = levels[m - 1];
    }
    envelopeLevel = levels[m - 1];
    if (voiceGate) {
        releaseStartLevel = levels[m - 1];
    }
    powers.next = first + m;
    return true;
}

} // namespace solvantis
