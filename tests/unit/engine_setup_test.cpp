// The engine set-up: initial state, the components it builds, and a failed allocation at any point.
#include <gtest/gtest.h>

#include <memory>

#include "dsp/delay_line.h"
#include "dsp/lookup_tables.h"
#include "dsp/wave_table.h"
#include "engine_alloc_hook.h"
#include "voice/engine_setup.h"
#include "voice/synth_engine.h"

namespace solvantis::testing {
namespace {

TEST(EngineSetup, GivesTheVoiceItsInitialStateAndBuildsEveryComponent) {
    auto engine = std::make_unique<EngineState>();
    ASSERT_TRUE(setUpEngine(*engine, 44100.0f));
    ASSERT_TRUE(engineIsComplete(*engine));

    const VoiceState& v = engine->voice;
    EXPECT_EQ(v.voiceFrequency, 200.0f);
    EXPECT_FALSE(v.voiceGate);
    EXPECT_EQ(v.voiceVelocity, 0.0f);
    EXPECT_EQ(v.midiVolume, 1.0f);
    EXPECT_EQ(v.modWheel, 1.0f);
    for (int32_t held : v.keyHeld) {
        EXPECT_EQ(held, 0);
    }
    EXPECT_EQ(v.noteEvents[0].deltaFrames, -1);
    EXPECT_EQ(engine->limiter.levelGain, 1.0f);
    EXPECT_EQ(engine->exciter.noiseSeed, 1u);
    EXPECT_EQ(engine->preparedRate, 44100.0f);

    EXPECT_EQ(engine->string.stringLineA->getDelay(), 0.0f);
    EXPECT_EQ(engine->string.stringLineB->getDelay(), 0.0f);
    EXPECT_EQ(engine->string.stringLineA->getLength(), engine->string.stringMaxDelay + 1);
    EXPECT_EQ(engine->chorus.chorusLineLeft->getDelay(), 1400.0f);
    EXPECT_EQ(engine->chorus.chorusLineRight->getLength(), 3001);
    EXPECT_EQ(engine->chorus.chorusLfoLeft->getPhaseIncrement(), 48695u);
    EXPECT_EQ(engine->chorus.chorusLfoRight->getPhaseIncrement(), 116869u);

    EXPECT_EQ(noteFrequencies[69], 440.0f);
}

// The lowest key (8.18 Hz) sounds an octave down and may be bent down a semitone: the string lines must hold
// its period, and the chorus's right line its longest sweep (0.0343 s), at every rate.
TEST(EngineSetup, ANewSampleRateSizesTheLinesForItAndResetsTheLimiter) {
    SynthEngine engine;
    ASSERT_TRUE(engine.setUp(44100.0f));
    for (float rate : {8000.0f, 44100.0f, 192000.0f, 384000.0f}) {
        engine.state.limiter.levelGain = 0.25f;
        EXPECT_TRUE(engine.fitToSampleRate(rate)) << rate;
        EXPECT_EQ(engine.state.limiter.levelGain, 1.0f);
        const float lowestPeriod = rate / (8.1758f * 0.5f / 1.0595f);
        EXPECT_GT(static_cast<float>(engine.state.string.stringLineA->getLength()), lowestPeriod) << rate;
        EXPECT_GT(static_cast<float>(engine.state.string.stringLineB->getLength()), lowestPeriod) << rate;
        EXPECT_GT(static_cast<float>(engine.state.chorus.chorusLineRight->getLength()), 0.0343f * rate)
            << rate;
    }

    engine.state.limiter.levelGain = 0.25f;
    engine.state.voice.noteEvents[0] = NoteEvent{5, 60, 0, 1.0f, 0.0f};
    engine.state.voice.keyHeld[60] = 1;
    engine.resume();
    EXPECT_EQ(engine.state.limiter.levelGain, 1.0f);
    EXPECT_EQ(engine.state.voice.noteEvents[0].deltaFrames, -1);
    EXPECT_EQ(engine.state.voice.keyHeld[60], 1) << "resume leaves the held keys alone";
}

TEST(EngineSetup, ReleasesEverythingItAllocated) {
    beginAllocationWindow();
    {
        auto engine = std::make_unique<EngineState>();
        ASSERT_TRUE(setUpEngine(*engine, 44100.0f));
    }
    const AllocationStats stats = endAllocationWindow();
    EXPECT_GT(stats.allocations, 8); // the state itself, 5 lines with their buffers, 2 oscillators
    EXPECT_EQ(stats.live, 0);
}

// Every allocation of the set-up in turn fails: the set-up reports it, nothing it built stays allocated, and
// the engine refuses to render from the half-built state.
TEST(EngineSetup, AFailedAllocationAnywhereIsReportedAndWhatWasBuiltIsReleased) {
    beginAllocationWindow();
    {
        EngineState probe;
        ASSERT_TRUE(setUpEngine(probe, 44100.0f));
    }
    const long allocations = endAllocationWindow().allocations;
    ASSERT_GE(allocations, 12); // 5 lines with their buffers, 2 oscillators

    for (long failing = 0; failing < allocations; ++failing) {
        auto engine = std::make_unique<SynthEngine>();
        beginAllocationWindow(failing);
        const bool built = engine->setUp(44100.0f);
        const AllocationStats stats = endAllocationWindow();
        EXPECT_FALSE(built) << "allocation " << failing;
        EXPECT_EQ(stats.live, 0) << "allocation " << failing;
        EXPECT_FALSE(engineIsComplete(engine->state));

        float left[64], right[64];
        for (int i = 0; i < 64; ++i) {
            left[i] = right[i] = 1.0f;
        }
        float* outputs[2] = {left, right};
        engine->processReplacing(SynthParams{}, 44100.0f, outputs, 64);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(left[i], 0.0f);
            ASSERT_EQ(right[i], 0.0f);
        }
        // Once memory is there again, the same object can be set up.
        EXPECT_TRUE(engine->setUp(44100.0f)) << "allocation " << failing;
    }
}

} // namespace
} // namespace solvantis::testing
