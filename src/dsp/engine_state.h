#pragma once

#include <cstdint>
#include <memory>

#include "dsp/note_event.h"

namespace solvantis {

class DelayLine;
class WaveTable;

// The engine's state, grouped by the stage that owns each field. The initial values here are the ones the
// engine set-up gives; the set-up also assigns them, so a state object can be set up again after a failure.

// Voice and note list: the note logic writes the voice, processEvents the list, the held keys and the
// two controllers.
struct VoiceState {
    float voiceFrequency = 200.0f; // Hz, bend included
    bool voiceGate = false;        // true while a note holds the voice
    float voiceVelocity = 0.0f;    // velocity of the sounding note, 0..1
    float velocityFactor = 0.0f;   // voiceVelocity blended by the Velocity parameter, as of the last sample
    float midiVolume = 1.0f;       // controller 7 / 128
    float modWheel = 1.0f;         // controller 1 / 128
    int32_t keyHeld[128] = {};     // per MIDI note: 1 while the key is down
    int32_t noteEventCount = 0;    // entries written by the last processEvents
    NoteEvent noteEvents[noteEventCapacity] = {{-1, 0, 0, 0.0f, 0.0f}}; // ended by deltaFrames -1
};

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

// Exciter: the noise generator and the pluck pulse.
struct ExciterState {
    uint32_t noiseSeed = 1;  // state of the 15-bit linear congruential noise generator, one per instrument
    float noiseState = 0.0f; // low-passed exciter noise
    int32_t pluckCount = 0;  // samples since the gate opened

    // The filtered noise and the pluck cleared; the generator runs on (it is seeded once per instrument).
    void reset() {
        noiseState = 0.0f;
        pluckCount = 0;
    }
};

// String model: the comb on the pluck and the two recirculating lines.
struct StringState {
    float stringOutput = 0.0f;     // mean of the two lines' outputs
    float stringHighpass = 0.0f;   // stringOutput minus its 35 Hz low-pass, fed back into stringLineA
    float loopFilterState = 0.0f;  // 3900 Hz low-pass in stringLineB's loop
    float dcBlockState = 0.0f;     // 35 Hz low-pass state
    bool stringActive = false;     // the string section ran in this sample
    int32_t stringMaxDelay = 3000; // samples, maximum delay of the string lines
    std::unique_ptr<DelayLine> stringLineA;
    std::unique_ptr<DelayLine> stringLineB;
    std::unique_ptr<DelayLine> combLine;

    // Every filter state 0 and the lines (those built) cleared with their interpolation state.
    void reset();
};

// Tone filter with its level limiter.
struct ToneFilterState {
    float toneLow1 = 0.0f; // resonant low-pass pair
    float toneLow2 = 0.0f;
    float splitLow = 0.0f; // band split after toneLow2
    float splitBand = 0.0f;
    float svfBand = 0.0f; // envelope-swept state-variable filter
    float svfLow = 0.0f;
    float levelGain = 1.0f;              // the limiter's current gain, 0..1
    std::unique_ptr<float[]> levelTable; // 32768 gains, entry i = min(1, 4096 / i)

    // Every filter state 0, the limiter's gain 1.
    void reset() {
        toneLow1 = toneLow2 = splitLow = splitBand = svfBand = svfLow = 0.0f;
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

    // The split and the feedback 0 and the lines (those built) cleared; the sweeps run on.
    void reset();
};

struct EngineState {
    EngineState();
    ~EngineState(); // releases the components in the order of their creation
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    VoiceState voice;
    EnvelopeState envelope;
    ExciterState exciter;
    StringState string;
    ToneFilterState tone;
    ChorusState chorus;
    float lastVoiceOutput = 0.0f; // previous sample's output after the envelope, fed back into the string
    float smoothingCoefficient = 0.0f; // 6.28319 / sample rate, per Hz: the factor of every one-pole step
    uint32_t runawayBlocks = 0;        // blocks silenced because the voice ran away (a diagnostic count)
};

} // namespace solvantis
