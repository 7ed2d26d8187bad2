// The tone filter: a resonant low-pass pair whose cutoff DynaTone sets, a band split an eighth below it, and
// a state-variable filter swept by the envelope; ToneRama mixes the two paths.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "dsp/dsp_math.h"
#include "dsp/math_functions.h"
#include "voice/synth_params.h"

namespace solvantis {

// Largest factor of the resonant low-pass pair. 2740 Hz, its highest cutoff, gives 1.076 at 16 kHz; a
// limit of 1.1 keeps its gain near the Nyquist frequency below 1.5 with the feedback at its highest.
inline constexpr float maxToneFactor = 1.1f;

// Largest factor of the state-variable filter; with the damping q in 0..0.8 it is stable up to about 1.2.
inline constexpr float maxSvfFactor = 0.8f;

inline constexpr float toneCutoffFloor = 440.0f;     // Hz, the resonant pair at DynaTone 0
inline constexpr float toneCutoffSpan = 2300.0f;     // Hz added at DynaTone 1
inline constexpr float splitBelowTone = 0.125f;      // the band split's cutoff is this much below the pair's
inline constexpr float toneResonance = 0.818f;       // the pair's feedback at DynaTone 1
inline constexpr float svfSweepFloor = 10.0f;        // Hz, the state-variable filter's floor at DynaTone 1
inline constexpr float svfSweepFloorSpan = 440.0f;   // Hz added to the floor as DynaTone falls to 0
inline constexpr float svfSweepTop = 0.125f;         // the sweep's top, as a share of 44.1 kHz
inline constexpr float toneSaturation = 0.16666667f; // the cubic's share: m - m^3 / 6
inline constexpr float pairKeyTracking = 2.0f;       // the pair's cutoff at least this times the pitch
inline constexpr float pairTrackingTop = 6000.0f;    // Hz, as high as the pitch takes the pair's cutoff

class ToneFilter {
public:
    float toneLow1 = 0.0f; // resonant low-pass pair
    float toneLow2 = 0.0f;
    float splitLow = 0.0f; // band split after toneLow2
    float splitBand = 0.0f;
    float svfBand = 0.0f; // envelope-swept state-variable filter
    float svfLow = 0.0f;
    float svfCutoff = 0.0f; // Hz, set on control steps from the envelope; carries over from block to block

    void prepare(float rate) {
        sampleRate = rate;
        k = onePoleCoefficient(rate);
        k44 = onePoleCoefficient(referenceRate);
        svfFactor = svfFactorOf(svfCutoff);
    }
    // Every filter state 0.
    void reset() {
        toneLow1 = toneLow2 = splitLow = splitBand = svfBand = svfLow = svfCutoff = 0.0f;
        trackedFrequency = 0.0f;
        svfFactor = 0.0f;
    }

    // The block's parameters: the factors that depend only on DynaTone, ToneRama and the rate, combined
    // once: the pair's one-pole factor, the split's, the pair's feedback and the two paths' shares in the
    // mix.
    void setParameters(const SynthParams& params) {
        dynaTone = params.DynaTone;
        setPairFactors();
        pairFeedback = dynaTone * toneResonance;
        svfShare = 2.0f * params.ToneRama;
        splitShare = (1.0f - params.ToneRama) * 1.136f;
        svfFactor = svfFactorOf(svfCutoff);
    }

    // On control steps: the resonant pair follows the pitch f in Hz (bend included), and the state-variable
    // cutoff the envelope.
    void control(float envelope, float f) {
        if (std::bit_cast<uint32_t>(f) != std::bit_cast<uint32_t>(trackedFrequency)) {
            follow(f);
        }
        const float low = (1.0f - dynaTone * dynaTone) * svfSweepFloorSpan + svfSweepFloor; // Hz
        svfCutoff = low + (referenceRate * svfSweepTop - low) * ((1.0f - dynaTone) * 0.2f + 0.8f) * envelope;
        svfFactor = svfFactorOf(svfCutoff);
    }

    // The state-variable filter's damping at an envelope level: less as DynaTone and the level rise.
    float damping(float envelope) const {
        return 1.0f - ((envelope * 0.12f + 0.84f) * dynaTone * 0.8f + 0.21f);
    }

    // One sample of y, with the state-variable filter's damping q (at the sample's envelope level). Returns
    // the mix of the two paths through a gentle cubic saturation.
    [[gnu::always_inline]] float tick(float y, float q) {
        OnePole::step(toneLow1, y + toneLow2 * pairFeedback, pairFactor);
        OnePole::step(toneLow2, toneLow1, pairFactor);
        OnePole::step(splitLow, toneLow2, splitFactor);
        OnePole::step(splitBand, toneLow2 - splitLow, splitFactor);

        const float f = svfFactor;
        svfBand = svfBand + (y - (2.0f * q * svfBand + svfLow)) * f;
        svfLow = svfLow + svfBand * f;

        const float m = svfShare * (svfBand * 0.8f + svfLow * 0.3f) + (splitLow - splitBand) * splitShare;
        return m - m * m * m * toneSaturation;
    }

private:
    float sampleRate = 0.0f;
    float k = 0.0f;   // 2 pi / rate, per Hz
    float k44 = 0.0f; // the same at 44.1 kHz
    float dynaTone = 0.0f;
    float pairFactor = 0.0f, splitFactor = 0.0f, pairFeedback = 0.0f, svfShare = 0.0f, splitShare = 0.0f;
    float svfFactor = 0.0f;        // k x svfCutoff, at most maxSvfFactor
    float trackedFrequency = 0.0f; // Hz, the pitch the pair's cutoff followed at the last control step

    // A new pitch: out of line, so that the control step's usual path stays small where it is inlined.
    [[gnu::noinline]] void follow(float f) {
        trackedFrequency = f;
        setPairFactors();
    }

    // The pair's and the split's one-pole factors. The pair's cutoff is DynaTone's, or pairKeyTracking
    // times the pitch where that is higher (up to pairTrackingTop), so that the top of the keyboard keeps
    // its fundamental; the split follows an eighth below.
    void setPairFactors() {
        float cutoff44 = dynaTone * toneCutoffSpan + toneCutoffFloor; // Hz
        float tracked = trackedFrequency * pairKeyTracking;
        tracked = tracked < pairTrackingTop ? tracked : pairTrackingTop;
        if (tracked > cutoff44) {
            cutoff44 = tracked;
        }
        if (sampleRate != referenceRate) { // the responses the two one-poles have at 44.1 kHz
            pairFactor = rateMatchedFactor(cutoff44, sampleRate);
            splitFactor = rateMatchedFactor(cutoff44 - cutoff44 * splitBelowTone, sampleRate);
            return;
        }
        float cutoff = cutoff44;
        if (!(k * cutoff <= maxToneFactor)) {
            // Below 16 kHz a high DynaTone would push the resonant pair towards instability: it runs at the
            // limit instead.
            cutoff = maxToneFactor / k;
        }
        const float splitCutoff = cutoff - cutoff * splitBelowTone;
        pairFactor = k * cutoff;
        splitFactor = splitCutoff * k;
    }

    // The state-variable filter's factor at a cutoff in Hz: k x cutoff at 44.1 kHz (0.785 at most, at the
    // sweep's top of 5512.5 Hz). At other rates, the factor 2 sin(pi fc / rate) of the cutoff fc that this
    // factor tunes the filter to at 44.1 kHz, so the filter sounds alike; held at maxSvfFactor, which only
    // low rates reach.
    float svfFactorOf(float cutoff) const {
        if (sampleRate == referenceRate || sampleRate <= 0.0f) {
            return OnePole::factor(k, cutoff, maxSvfFactor);
        }
        const double f44 = static_cast<double>(OnePole::factor(k44, cutoff, maxSvfFactor));
        const double half = 0.5 * f44; // sin(pi fc / 44100), below 0.4
        const double turns =
            math::atan(half / std::sqrt(1.0 - half * half)) / 3.141592653589793; // fc / 44100
        const double f = 2.0 * math::sinPi(turns * static_cast<double>(referenceRate) / sampleRate);
        return f < static_cast<double>(maxSvfFactor) ? static_cast<float>(f) : maxSvfFactor;
    }
};

} // namespace solvantis
