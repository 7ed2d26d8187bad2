// Building and releasing the engine's components: the delay lines and the chorus oscillators.
#include "voice/engine_setup.h"

#include <new>

#include "dsp/delay_line.h"
#include "dsp/wave_table.h"

namespace solvantis {

namespace {

constexpr float chorusInitialDelay = 1400.0f; // samples
constexpr int32_t chorusMaxDelay = 3000;      // samples
constexpr int32_t combMaxDelay = 20000;       // samples
constexpr float chorusLfoLeftRate = 0.5f;     // Hz
constexpr float chorusLfoRightRate = 1.2f;    // Hz

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

    c.chorusLineLeft = DelayLine::create(chorusInitialDelay, chorusMaxDelay);
    c.chorusLineRight = c.chorusLineLeft ? DelayLine::create(chorusInitialDelay, chorusMaxDelay) : nullptr;
    c.chorusLfoLeft = c.chorusLineRight ? WaveTable::create(sampleRate) : nullptr;
    c.chorusLfoRight = c.chorusLfoLeft ? WaveTable::create(sampleRate) : nullptr;
    if (!c.chorusLfoRight) {
        releaseEngine(engine);
        return false;
    }
    c.chorusLfoLeft->setFrequency(chorusLfoLeftRate);
    c.chorusLfoRight->setFrequency(chorusLfoRightRate);

    s.stringMaxDelay = 3000;
    engine.prepare(sampleRate);

    s.stringLineA = DelayLine::create(0.0f, s.stringMaxDelay);
    s.stringLineB = s.stringLineA ? DelayLine::create(0.0f, s.stringMaxDelay) : nullptr;
    s.combLine = s.stringLineB ? DelayLine::create(0.0f, combMaxDelay) : nullptr;
    if (!s.combLine) {
        releaseEngine(engine);
        return false;
    }
    engine.exciter.pluckCount = 0;
    return true;
}

} // namespace solvantis
