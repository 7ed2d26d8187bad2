#pragma once
#include <cstdint>
#include <memory>

#include <cmath>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
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

// The distorter over a run of n samples in place: distorterStep of each, with the tanh of the run's samples
// taken at once.
inline constexpr int32_t distorterRunLimit = 32; // the longest run
[[gnu::always_inline]] inline void distorterAhead(int32_t n, float* x, float amount) {
    if (amount == 0.0f || n <= 0) {
        return;
    }
    double argument[distorterRunLimit];
    for (int32_t j = 0; j < n; ++j) {
        argument[j] = softClipArgument(5.0f * x[j], 0.4f);
    }
    math::tanh(argument, argument, n);
    for (int32_t j = 0; j < n; ++j) {
        const float h = softClipFrom(5.0f * x[j], 0.4f, argument[j]);
        x[j] = (1.0f - amount) * x[j] + amount * h;
    }
}

// Overdrive inside the gain stage: a cubic that maps +-1 to +-1 with zero slope there, mixed in by the
// amount and raised when the volume is low.
inline float overdriveStep(float k, float amount, float volume) {
    return (1.0f - amount) * k + amount * (1.5f - volume) * (1.5f * k - 0.5f * k * k * k);
}

inline constexpr float chorusSplitCutoff = 233.0f;   // Hz: below it the chorus leaves the sound in the centre
inline constexpr float chorusSweepDepth = 0.03f;     // relative change of each line's delay by its sine
inline constexpr float chorusBaseTime = 0.03f;       // s, the left line's centre delay
inline constexpr float chorusRightStretch = 1.1111f; // the right line's centre delay over the left's
inline constexpr float chorusFeedback = 0.3f;        // each line's output fed back into its input

// Tone filter with its level limiter.
struct ToneFilterState {
    float toneLow1 = 0.0f; // resonant low-pass pair
    float toneLow2 = 0.0f;
    float splitLow = 0.0f; // band split after toneLow2
    float splitBand = 0.0f;
    float svfBand = 0.0f; // envelope-swept state-variable filter
    float svfLow = 0.0f;
    float svfCutoff = 0.0f;              // Hz, set on control steps from the envelope
    float levelGain = 1.0f;              // the limiter's current gain, 0..1
    std::unique_ptr<float[]> levelTable; // 32768 gains, entry i = min(1, 4096 / i)

    // What depends on the sample rate: the limiter's recovery per sample.
    double recovery = 0.0;
    void prepare(float sampleRate) { recovery = levelRecovery(sampleRate); }

    // Every filter state 0, the limiter's gain 1.
    void reset() {
        toneLow1 = toneLow2 = splitLow = splitBand = svfBand = svfLow = svfCutoff = 0.0f;
        levelGain = 1.0f;
    }
};

// Stereo chorus.
struct ChorusState {
    float chorusLowState = 0.0f; // 233 Hz low-pass state of the split
    float chorusOutLeft = 0.0f;  // last outputs of the two lines, their feedback
    float chorusOutRight = 0.0f;
    std::unique_ptr<DelayLine> chorusLineLeft;
    std::unique_ptr<DelayLine> chorusLineRight;
    std::unique_ptr<WaveTable> chorusLfoLeft;  // 0.5 Hz sine
    std::unique_ptr<WaveTable> chorusLfoRight; // 1.2 Hz sine

    // What depends on the sample rate: the left line's centre delay in samples.
    float baseDelay = 0.0f;
    void prepare(float sampleRate) { baseDelay = sampleRate * chorusBaseTime; }

    // The split and the feedback 0 and the lines (those built) cleared; the sweeps run on.
    void reset();
};

// The tone filter: a resonant low-pass pair whose cutoff DynaTone sets, a band split an eighth below it,
// and a state-variable filter swept by the envelope; ToneRama mixes the two paths.
inline constexpr float toneCutoffFloor = 440.0f;     // Hz, the resonant pair at DynaTone 0
inline constexpr float toneCutoffSpan = 2300.0f;     // Hz added at DynaTone 1
inline constexpr float splitBelowTone = 0.125f;      // the band split's cutoff is this much below the pair's
inline constexpr float toneResonance = 0.818f;       // the pair's feedback at DynaTone 1
inline constexpr float svfSweepFloor = 10.0f;        // Hz, the state-variable filter's floor at DynaTone 1
inline constexpr float svfSweepFloorSpan = 440.0f;   // Hz added to the floor as DynaTone falls to 0
inline constexpr float svfSweepTop = 0.125f;         // the sweep's top, as a share of the sample rate
inline constexpr float toneSaturation = 0.16666667f; // the cubic's share: m - m^3 / 6
inline constexpr float levelTableScale = 4096.0f;    // level table entries per unit of peak
inline constexpr float levelTableTop = 32760.0f;     // the last entry read (a peak of about 8)

// The tone filter and limiter during one block: state in locals, the factors that depend only on the
// parameters and the rate computed once. The cutoff of the state-variable filter is set on control steps and
// carries over from block to block.
struct ToneRun {
    ToneFilterState& owner;
    float toneLow1, toneLow2, splitLow, splitBand, svfBand, svfLow, levelGain;
    const float* table;
    float dt, tr, c, c2, k, sr;
    // The factors combined once a block: the pair's one-pole factor k c, the split's c2 k, the pair's
    // feedback DynaTone x resonance, and the two paths' shares in the mix.
    float pairFactor = 0.0f, splitFactor = 0.0f, pairFeedback = 0.0f, svfShare = 0.0f, splitShare = 0.0f;
    float svfCutoff; // Hz
    float svfFactor; // k x svfCutoff, at most maxSvfFactor
    double recovery;

    ToneRun(ToneFilterState& t, const SynthParams& params, float k_, float sr_, double recovery_)
        : owner(t), toneLow1(t.toneLow1), toneLow2(t.toneLow2), splitLow(t.splitLow), splitBand(t.splitBand),
          svfBand(t.svfBand), svfLow(t.svfLow), levelGain(t.levelGain), table(t.levelTable.get()),
          dt(params.DynaTone), tr(params.ToneRama), k(k_), sr(sr_), svfCutoff(t.svfCutoff),
          svfFactor(svfFactorOf(k_, t.svfCutoff)), recovery(recovery_) {
        c = dt * toneCutoffSpan + toneCutoffFloor; // Hz
        if (!(k * c <= maxToneFactor)) {
            // Below 16 kHz a high DynaTone would push the resonant pair towards instability: it runs at the
            // limit instead.
            c = maxToneFactor / k;
        }
        c2 = c - c * splitBelowTone;
        pairFactor = k * c;
        splitFactor = c2 * k;
        pairFeedback = dt * toneResonance;
        svfShare = 2.0f * tr;
        splitShare = (1.0f - tr) * 1.136f;
    }
    // A copy for a run of samples whose state the compiler keeps in registers; takeState brings it back.
    ToneRun(const ToneRun&) = default;
    ToneRun& operator=(const ToneRun&) = delete;
    void takeState(const ToneRun& run) {
        toneLow1 = run.toneLow1;
        toneLow2 = run.toneLow2;
        splitLow = run.splitLow;
        splitBand = run.splitBand;
        svfBand = run.svfBand;
        svfLow = run.svfLow;
        levelGain = run.levelGain;
    }

    void store() {
        owner.toneLow1 = toneLow1;
        owner.toneLow2 = toneLow2;
        owner.splitLow = splitLow;
        owner.splitBand = splitBand;
        owner.svfBand = svfBand;
        owner.svfLow = svfLow;
        owner.svfCutoff = svfCutoff;
        owner.levelGain = levelGain;
    }

    // The state-variable filter's factor at a cutoff in Hz. It stays at or below 0.785 (an eighth of the
    // rate) at 16 kHz and above; at lower rates the 450 Hz floor would carry it past stability.
    static float svfFactorOf(float k, float cutoff) {
        const float f = k * cutoff;
        return f <= maxSvfFactor ? f : maxSvfFactor;
    }

    // On control steps: the state-variable cutoff follows the envelope.
    void control(float envelope) {
        const float low = (1.0f - dt * dt) * svfSweepFloorSpan + svfSweepFloor; // Hz
        svfCutoff = low + (sr * svfSweepTop - low) * ((1.0f - dt) * 0.2f + 0.8f) * envelope;
        svfFactor = svfFactorOf(k, svfCutoff);
    }

    // The state-variable filter's damping at an envelope level: less as DynaTone and the level rise.
    float damping(float envelope) const { return 1.0f - ((envelope * 0.12f + 0.84f) * dt * 0.8f + 0.21f); }

    // q: the damping at the sample's envelope level.
    [[gnu::always_inline]] float step(float y, float q) {
        toneLow1 = toneLow1 + (y + toneLow2 * pairFeedback - toneLow1) * pairFactor;
        toneLow2 = toneLow2 + (toneLow1 - toneLow2) * pairFactor;
        splitLow = splitLow + (toneLow2 - splitLow) * splitFactor;
        splitBand = splitBand + ((toneLow2 - splitLow) - splitBand) * splitFactor;

        const float f = svfFactor;
        svfBand = svfBand + (y - (2.0f * q * svfBand + svfLow)) * f;
        svfLow = svfLow + svfBand * f;

        const float m = svfShare * (svfBand * 0.8f + svfLow * 0.3f) + (splitLow - splitBand) * splitShare;
        const float r = m - m * m * m * toneSaturation;
        return limit(r);
    }

    // Level limiter: the gain drops at once to about min(1, 1/|r|) from the level table (never below
    // 4096 / 32760) and recovers towards it by `recovery` per sample. Returns r times the gain.
    [[gnu::always_inline]] float limit(float r) {
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
            v = table[j] + (table[j + 1] - table[j]) * (s - static_cast<float>(j));
        }
        if (v < levelGain) {
            levelGain = v;
        } else {
            levelGain = static_cast<float>(levelGain + (v - levelGain) * recovery);
        }
        return r * levelGain;
    }
};

// The chorus during one block, its lines' state in locals.
struct ChorusRun {
    ChorusState& owner;
    DelayLine::Run lineLeft;
    DelayLine::Run lineRight;
    WaveTable& lfoLeft;
    WaveTable& lfoRight;
    float lowState, outLeft, outRight;
    float baseDelay;   // samples
    float splitFactor; // the split's one-pole factor, held at the stability limit

    ChorusRun(ChorusState& c, float k_, float baseDelay_)
        : owner(c), lineLeft(c.chorusLineLeft->begin()), lineRight(c.chorusLineRight->begin()),
          lfoLeft(*c.chorusLfoLeft), lfoRight(*c.chorusLfoRight), lowState(c.chorusLowState),
          outLeft(c.chorusOutLeft), outRight(c.chorusOutRight), baseDelay(baseDelay_),
          splitFactor(k_ * chorusSplitCutoff <= maxOnePoleFactor ? k_ * chorusSplitCutoff
                                                                 : maxOnePoleFactor) {}
    ChorusRun(const ChorusRun&) = delete;
    ChorusRun& operator=(const ChorusRun&) = delete;

    void store() {
        owner.chorusLineLeft->end(lineLeft);
        owner.chorusLineRight->end(lineRight);
        owner.chorusLowState = lowState;
        owner.chorusOutLeft = outLeft;
        owner.chorusOutRight = outRight;
    }

    // The split: the 233 Hz low-pass of the input, which stays in the centre. Returns the new low part.
    static float split(float& low, float l, float factor) {
        low = low + (l - low) * factor;
        return low;
    }
    // The mix of both sides from the lines' outputs, scaled by the MIDI volume.
    static void mix(float l, float low, float fedLeft, float fedRight, float amount, float midiVolume,
                    float& left, float& right) {
        const float centre = static_cast<float>(static_cast<double>(l) * 0.2 + low);
        const float dry = (1.0f - amount) * l;
        left = ((centre + fedLeft) * amount + dry) * midiVolume;
        right = ((centre + fedRight) * amount + dry) * midiVolume;
    }
    // The split, the lines' inputs and the mix over a run of n samples whose line outputs are read: what n
    // steps do after their reads, with the split's state and the feedback in locals for the run.
    void splitAndMix(int32_t n, const float* l, const float* readLeft, const float* readRight, float amount,
                     float midiVolume, float* inLeft, float* inRight, float* left, float* right) {
        float low = lowState;
        float fedLeft = outLeft;
        float fedRight = outRight;
        const float factor = splitFactor;
        for (int32_t j = 0; j < n; ++j) {
            const float high = l[j] - split(low, l[j], factor);
            inLeft[j] = fedLeft * chorusFeedback + high;
            inRight[j] = fedRight * chorusFeedback + high;
            fedLeft = readLeft[j];
            fedRight = readRight[j];
            mix(l[j], low, fedLeft, fedRight, amount, midiVolume, left[j], right[j]);
        }
        lowState = low;
        outLeft = fedLeft;
        outRight = fedRight;
    }
    static float leftDelay(float sweep, float baseDelay) {
        return (sweep * chorusSweepDepth + 1.0f) * baseDelay;
    }
    static float rightDelay(float sweep, float baseDelay) {
        return (1.0f - sweep * chorusSweepDepth) * baseDelay * chorusRightStretch;
    }

    // The part above 233 Hz runs through two modulated feedback delays, one per side; the part below and a
    // fifth of the whole stay in the centre. Writes both output samples, scaled by the MIDI volume.
    void step(float l, float amount, float midiVolume, float& left, float& right) {
        const float low = split(lowState, l, splitFactor);
        const float high = l - low;
        lineLeft.setDelay(leftDelay(lfoLeft.tick(), baseDelay));
        lineRight.setDelay(rightDelay(lfoRight.tick(), baseDelay));
        outLeft = lineLeft.tickLinear(outLeft * chorusFeedback + high);
        outRight = lineRight.tickLinear(outRight * chorusFeedback + high);
        mix(l, low, outLeft, outRight, amount, midiVolume, left, right);
    }
};

// The chorus over a run of n samples (at most 32), all of them sounding: the sweeps and the lines' reads
// for the whole run first, where every delay is longer than the run (always, at the rates hosts use), then
// the split and the mix sample by sample, and the lines' inputs last. The same results as n steps; false,
// having changed nothing, where it cannot run so.
[[gnu::always_inline]] inline bool chorusAhead(ChorusRun& c, int32_t n, const float* l, float amount,
                                               float midiVolume, float* left, float* right) {
    constexpr int32_t most = 32;
    if (n > most) {
        return false;
    }
    float sweep[most];
    float delayLeft[most];
    float delayRight[most];
    c.lfoLeft.peek(n, sweep);
    for (int32_t j = 0; j < n; ++j) {
        delayLeft[j] = ChorusRun::leftDelay(sweep[j], c.baseDelay);
    }
    c.lfoRight.peek(n, sweep);
    for (int32_t j = 0; j < n; ++j) {
        delayRight[j] = ChorusRun::rightDelay(sweep[j], c.baseDelay);
    }
    if (!c.lineLeft.movesAheadOf(delayLeft, n) || !c.lineRight.movesAheadOf(delayRight, n)) {
        return false;
    }
    c.lfoLeft.skip(n);
    c.lfoRight.skip(n);
    float readLeft[most];
    float readRight[most];
    c.lineLeft.moveAhead(delayLeft, n, readLeft);
    c.lineRight.moveAhead(delayRight, n, readRight);
    float inLeft[most];
    float inRight[most];
    c.splitAndMix(n, l, readLeft, readRight, amount, midiVolume, inLeft, inRight, left, right);
    c.lineLeft.writeMoved(n, inLeft);
    c.lineRight.writeMoved(n, inRight);
    return true;
}

// One limiter step on the stored state (see ToneRun::limit).
inline float levelLimiterStep(ToneFilterState& t, float r, double recovery) {
    ToneRun run(t, SynthParams{}, 0.0f, 0.0f, recovery);
    const float out = run.limit(r);
    t.levelGain = run.levelGain;
    return out;
}

// One chorus step on the stored state.
inline void chorusStep(ChorusState& c, float l, float amount, float k, float baseDelay, float midiVolume,
                       float& left, float& right) {
    ChorusRun run(c, k, baseDelay);
    run.step(l, amount, midiVolume, left, right);
    run.store();
}

} // namespace solvantis
