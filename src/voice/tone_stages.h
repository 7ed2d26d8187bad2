#pragma once

#include <cmath>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "dsp/engine_state.h"
#include "dsp/math_functions.h"
#include "dsp/wave_table.h"
#include "voice/synth_params.h"

namespace solvantis {

// Largest factor of the resonant low-pass pair. 2740 Hz, its highest cutoff, gives 1.076 at 16 kHz; a
// limit of 1.1 keeps its gain near the Nyquist frequency below 1.5 with the feedback at its highest.
inline constexpr float maxToneFactor = 1.1f;

// Largest factor of the state-variable filter; with the damping q in 0..0.8 it is stable up to about 1.2.
inline constexpr float maxSvfFactor = 0.8f;

// Limiter recovery per sample: the gain recovers by 60 dB in 75 ms. Depends on the sample rate only.
inline double levelRecovery(float sr) {
    return 1.0 - math::pow(0.001, 1.0 / (static_cast<double>(sr) * 0.075));
}

// Distorter: the soft clip (knee 0.4) of five times the signal, mixed with the clean signal.
inline float distorterStep(float x, float amount) {
    if (amount == 0.0f) {
        return x;
    }
    const float h = softClip(5.0f * x, 0.4f);
    return (1.0f - amount) * x + amount * h;
}

// Level limiter: the gain drops at once to about min(1, 1/|r|) from the level table (never below
// 4096 / 32760) and recovers towards it by `recovery` per sample. Returns r times the gain.
inline float levelLimiterStep(ToneFilterState& t, float r, double recovery) {
    // Table gain about min(1, 1/|r|); the bound also keeps a NaN away from the index.
    float s = std::fabs(r) * 4096.0f;
    if (!(s <= 32760.0f)) {
        s = 32760.0f;
    }
    const int32_t j = static_cast<int32_t>(s);
    const float* table = t.levelTable.get();
    const float v = table[j] + (table[j + 1] - table[j]) * (s - static_cast<float>(j));
    if (v < t.levelGain) {
        t.levelGain = v;
    } else {
        t.levelGain = static_cast<float>(t.levelGain + (v - t.levelGain) * recovery);
    }
    return r * t.levelGain;
}

// Tone filter: a resonant low-pass pair into a band split, in parallel with a state-variable filter whose
// cutoff follows the envelope (updated on control steps), mixed, saturated and held below full scale by the
// level limiter.
inline float toneFilterStep(ToneFilterState& t, const SynthParams& params, float y, float sr, float k,
                            float envelope, bool controlStep, float& svfCutoff, double recovery) {
    const float dt = params.DynaTone;
    const float tr = params.ToneRama;
    if (controlStep) {
        const float low = (1.0f - dt * dt) * 440.0f + 10.0f; // Hz
        svfCutoff = low + (sr * 0.125f - low) * ((1.0f - dt) * 0.2f + 0.8f) * envelope;
    }
    float c = dt * 2300.0f + 440.0f; // Hz
    if (!(k * c <= maxToneFactor)) {
        // Below 16 kHz a high DynaTone would push the resonant pair towards instability: it runs at the
        // limit instead.
        c = maxToneFactor / k;
    }
    const float c2 = c - c * 0.125f;
    t.toneLow1 = t.toneLow1 + (y + t.toneLow2 * dt * 0.818f - t.toneLow1) * k * c;
    t.toneLow2 = t.toneLow2 + (t.toneLow1 - t.toneLow2) * k * c;
    t.splitLow = t.splitLow + (t.toneLow2 - t.splitLow) * c2 * k;
    t.splitBand = t.splitBand + ((t.toneLow2 - t.splitLow) - t.splitBand) * c2 * k;

    // The state-variable filter's factor stays at or below 0.785 (an eighth of the rate) at 16 kHz and above;
    // at lower rates its 450 Hz floor would carry it past stability.
    float f = k * svfCutoff;
    if (!(f <= maxSvfFactor)) {
        f = maxSvfFactor;
    }
    const float q = 1.0f - ((envelope * 0.12f + 0.84f) * dt * 0.8f + 0.21f);
    t.svfBand = t.svfBand + (y - (2.0f * q * t.svfBand + t.svfLow)) * f;
    t.svfLow = t.svfLow + t.svfBand * f;

    const float m =
        2.0f * tr * (t.svfBand * 0.8f + t.svfLow * 0.3f) + (t.splitLow - t.splitBand) * (1.0f - tr) * 1.136f;
    const float r = m - m * m * m * 0.16666667f;

    return levelLimiterStep(t, r, recovery);
}

// Overdrive inside the gain stage: a cubic that maps +-1 to +-1 with zero slope there, mixed in by the
// amount and raised when the volume is low.
inline float overdriveStep(float k, float amount, float volume) {
    return (1.0f - amount) * k + amount * (1.5f - volume) * (1.5f * k - 0.5f * k * k * k);
}

// Chorus: the part above 233 Hz runs through two modulated feedback delays, one per side; the part below and
// a fifth of the whole stay in the centre. Writes both output samples, scaled by the MIDI volume.
inline void chorusStep(ChorusState& c, float l, float amount, float k, float baseDelay, float midiVolume,
                       float& left, float& right) {
    onePoleStep(c.chorusLowState, l, 233.0f, k);
    const float low = c.chorusLowState;
    const float high = l - low;
    const float sweepLeft = c.chorusLfoLeft->tick() * 0.03f;
    const float sweepRight = 1.0f - c.chorusLfoRight->tick() * 0.03f;
    c.chorusLineLeft->setDelay((sweepLeft + 1.0f) * baseDelay);
    c.chorusLineRight->setDelay(sweepRight * baseDelay * 1.1111f);
    c.chorusOutLeft = c.chorusLineLeft->tickLinear(c.chorusOutLeft * 0.3f + high);
    c.chorusOutRight = c.chorusLineRight->tickLinear(c.chorusOutRight * 0.3f + high);
    const float centre = static_cast<float>(static_cast<double>(l) * 0.2 + low);
    const float dry = (1.0f - amount) * l;
    left = ((centre + c.chorusOutLeft) * amount + dry) * midiVolume;
    right = ((centre + c.chorusOutRight) * amount + dry) * midiVolume;
}

} // namespace solvantis
