// Building and releasing the engine's components: the delay lines and the chorus oscillators.
#include "voice/engine_setup.h"

#include <new>

#include "dsp/delay_line.h"
#include "dsp/wave_table.h"
#include "voice/string_tuning.h"

namespace solvantis {

namespace {

constexpr float chorusInitialDelay = 1400.0f; // samples at 44.1 kHz

} // namespace

EngineState::EngineState() = default;

EngineState::~EngineState() {
    releaseEngine(*this);
}

void releaseEngine(EngineState& engine) {
    engine.chorus.chorusLineLeft.reset();
    engine.chorus.chorusLineRight.reset();
    engine.chorus.chorusLfoLeft.reset();
    engine.chorus.chorusLfoRight.reset();
    engine.string.stringLineA.reset();
    engine.string.stringLineB.reset();
    engine.string.combLine.reset();
}

bool engineIsComplete(const EngineState& engine) {
    return engine.chorus.chorusLineLeft && engine.chorus.chorusLineRight && engine.chorus.chorusLfoLeft &&
           engine.chorus.chorusLfoRight && engine.string.stringLineA && engine.string.stringLineB &&
           engine.string.combLine;
}

bool setUpEngine(EngineState& engine, float sampleRate) {
    releaseEngine(engine);

    // Voice and render state. The noise generator keeps running from where it is: it is seeded only once,
    // when the state object is made.
    const uint32_t noiseSeed = engine.exciter.noiseSeed;
    engine.voice.voiceFrequency = 200.0f;
    engine.voice.voiceGate = false;
    engine.voice.voiceVelocity = 0.0f;
    engine.voice.velocityFactor = 0.0f;
    engine.voice.midiVolume = 1.0f;
    engine.voice.modWheel = 1.0f;
    engine.voice.bendFactor = 1.0f;
    engine.voice.keyFrequency = 200.0f;
    engine.voice.soundingKey = -1;
    engine.voice.noteEventCount = 0;
    engine.voice.noteEvents[0] = NoteEvent{-1, 0, 0, 0.0f, 0.0f};
    engine.envelope.reset();
    engine.exciter = Exciter{};
    engine.exciter.noiseSeed = noiseSeed;
    engine.string.reset();
    engine.tone.reset();
    engine.limiter.reset();
    engine.chorus.reset();
    engine.lastVoiceOutput = 0.0f;

    for (int32_t& held : engine.voice.keyHeld) {
        held = 0;
    }
    StringModel& s = engine.string;
    Chorus& c = engine.chorus;

    // Every line is as long as the rate needs: the string lines for the lowest key, the chorus lines for the
    // widest sweep.
    const float initialDelay = chorusInitialDelay * sampleRate / referenceRate;
    const int32_t chorusMaxDelay = tuning::chorusLineLength(sampleRate);
    c.chorusLineLeft = DelayLine::create(initialDelay, chorusMaxDelay);
    c.chorusLineRight = c.chorusLineLeft ? DelayLine::create(initialDelay, chorusMaxDelay) : nullptr;
    c.chorusLfoLeft = c.chorusLineRight ? WaveTable::create(sampleRate) : nullptr;
    c.chorusLfoRight = c.chorusLfoLeft ? WaveTable::create(sampleRate) : nullptr;
    if (!c.chorusLfoRight) {
        releaseEngine(engine);
        return false;
    }
    c.chorusLfoLeft->setFrequency(chorusLfoLeftRate);
    c.chorusLfoRight->setFrequency(chorusLfoRightRate);

    s.stringMaxDelay = tuning::stringLineLength(sampleRate);
    s.stringLineA = DelayLine::create(0.0f, s.stringMaxDelay);
    s.stringLineB = s.stringLineA ? DelayLine::create(0.0f, s.stringMaxDelay) : nullptr;
    s.combLine = s.stringLineB ? DelayLine::create(0.0f, tuning::combLineLength(sampleRate)) : nullptr;
    if (!s.combLine) {
        releaseEngine(engine);
        return false;
    }
    engine.exciter.pluckCount = 0;
    engine.prepare(sampleRate);
    return true;
}

bool fitEngineToRate(EngineState& engine, float sampleRate) {
    if (!engineIsComplete(engine) || !(sampleRate > 0.0f)) {
        return false;
    }
    StringModel& s = engine.string;
    Chorus& c = engine.chorus;
    const int32_t stringLength = tuning::stringLineLength(sampleRate);
    const int32_t combLength = tuning::combLineLength(sampleRate);
    const int32_t chorusLength = tuning::chorusLineLength(sampleRate);
    bool fitted = true;
    // A line keeps its length where it already has it; a new length clears it (the rate changed).
    auto fit = [&fitted](DelayLine& line, int32_t maxDelay) {
        if (line.getLength() != maxDelay + 1) {
            fitted = line.resize(maxDelay) && fitted;
            line.reset();
        }
    };
    fit(*s.stringLineA, stringLength);
    fit(*s.stringLineB, stringLength);
    fit(*s.combLine, combLength);
    fit(*c.chorusLineLeft, chorusLength);
    fit(*c.chorusLineRight, chorusLength);
    s.stringMaxDelay = s.stringLineA->getLength() - 1;
    return fitted;
}

} // namespace solvantis
