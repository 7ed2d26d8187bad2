// The stages one by one: pluck, string delays and loop gain, distorter, limiter, overdrive, chorus.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/delay_line.h"
#include "dsp/wave_table.h"
#include "voice/engine_setup.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/string_model.h"
#include "voice/tone_stages.h"

namespace solvantis::testing {
namespace {

struct Stages : ::testing::Test {
    std::unique_ptr<EngineState> engine = std::make_unique<EngineState>();
    SynthParams params;
    const float sr = 44100.0f;
    const float k = 6.28319f / 44100.0f;
    void SetUp() override { ASSERT_TRUE(setUpEngine(*engine, sr)); }
};

TEST_F(Stages, AClosedGateNeverPlucks) {
    engine->exciter.pluckCount = 17;
    EXPECT_EQ(pluckStep(engine->exciter, params, false, 440.0f, 1.0f), 0.0f);
    EXPECT_EQ(engine->exciter.pluckCount, 0);
    float hold = 0.0f;
    const uint32_t seed = engine->exciter.noiseSeed;
    noiseStep(engine->exciter, params, k, 0.0f, 0.0f, false, hold);
    EXPECT_NE(engine->exciter.noiseSeed, seed) << "the noise runs on, gate or not";
}

// Where the gate is closed or the pluck is over, a run of pluck steps is known silent at once: the count
// must then move as the steps move it (saturating), and a pluck with a sample still to give is not silent.
TEST(Pluck, ASilentRunMovesTheCountAsItsStepsDo) {
    constexpr int32_t length = 100;
    constexpr int32_t n = 19;
    const struct {
        bool gate;
        int32_t count;
        bool silent;
    } cases[] = {{false, 40, true},        {true, 0, false},          {true, length - 2, false},
                 {true, length - 1, true}, {true, length + 10, true}, {true, INT32_MAX - 3, true}};
    for (const auto& c : cases) {
        ExciterState state;
        state.pluckCount = c.count;
        ExciterRun ahead(state);
        ExciterRun stepped(state);
        ahead.pluckLength = stepped.pluckLength = length;
        ASSERT_EQ(ahead.pluckSilentFor(c.gate, n), c.silent) << c.count;
        if (c.silent) {
            for (int32_t j = 0; j < n; ++j) {
                ASSERT_EQ(stepped.pluck(c.gate, 1.0f), 0.0f) << c.count;
            }
            EXPECT_EQ(ahead.pluckCount, stepped.pluckCount) << c.count;
        }
    }
}

// Idle blocks step the noise generator ahead in one go: the same state as calling it n times.
TEST(NoiseGenerator, SteppedAheadMatchesStepByStep) {
    for (uint32_t start : {1u, 0u, 0xFFFFFFFFu, 123456789u}) {
        uint32_t stepped = start;
        uint32_t done = 0;
        for (uint32_t n : {0u, 1u, 2u, 3u, 21u, 511u, 4096u, 100003u}) {
            for (; done < n; ++done) {
                noiseGenerator(stepped);
            }
            EXPECT_EQ(noiseSeedAfter(start, n), stepped) << start << " after " << n;
        }
    }
}

TEST_F(Stages, ThePluckIsATriangleWhoseLengthFollowsThePitch) {
    params.Exciter = 1.0f;
    ExciterState& ex = engine->exciter;
    ex.noiseState = 0.0f;
    int sounding = 0;
    float top = 0.0f;
    for (int c = 1; c <= 200; ++c) {
        const float p = pluckStep(ex, params, true, 82.41f, 1.0f);
        if (p != 0.0f) {
            ++sounding;
            EXPECT_LT(c, 188);
        }
        if (c == 94) {
            top = p;
        }
    }
    EXPECT_EQ(sounding, 187); // c = 1..187, E = 188
    EXPECT_EQ(top, 1.0f);     // the bare triangle peaks at c = E / 2

    ex.pluckCount = 0;
    sounding = 0;
    for (int c = 1; c <= 20; ++c) {
        sounding += pluckStep(ex, params, true, 2000.0f, 1.0f) != 0.0f ? 1 : 0;
    }
    EXPECT_EQ(sounding, 4); // E = 5 above 1231.25 Hz
}

TEST_F(Stages, ThePluckIsLimitedToMinusOneAndTwo) {
    params.Exciter = 1.0f;
    engine->exciter.noiseState = 5.0f;
    EXPECT_EQ(pluckStep(engine->exciter, params, true, 440.0f, 1.0f), 2.0f);
    engine->exciter.noiseState = -5.0f;
    EXPECT_EQ(pluckStep(engine->exciter, params, true, 440.0f, 1.0f), -1.0f);
    engine->exciter.pluckCount = 0;
    engine->exciter.noiseState = 0.0f;
    EXPECT_FLOAT_EQ(pluckStep(engine->exciter, params, true, std::nanf(""), 1.0f), 0.4f)
        << "a NaN pitch plucks with the shortest pulse instead of an undefined one";
}

TEST_F(Stages, StringDelaysAndLoopGainAt440Hz) {
    params.Modulation = 0.0f;
    params.Fixing = 0.0f;
    stringStep(engine->string, params, sr, 440.0f, 0.0f, 0.5f, 0.0f);
    EXPECT_NEAR(engine->string.stringLineA->getDelay(), 198.87f, 0.01f);
    EXPECT_NEAR(engine->string.stringLineB->getDelay(), 200.45f, 0.01f);
    EXPECT_NEAR(stringLoopGain(440.0f), 0.9891f, 1e-6f);
    // The comb delay 4 - 240 x 0.489 is negative: the comb reads its own input, so it passes 0.1 x pluck.
    EXPECT_EQ(engine->string.combLine->getDelay(), 0.5f);
    EXPECT_EQ(engine->string.combLine->getLastOutput(), 0.5f);
    EXPECT_TRUE(engine->string.stringActive);

    params.PowerChord = 1.0f;
    stringStep(engine->string, params, sr, 440.0f, 0.0f, 0.0f, 0.0f);
    EXPECT_NEAR(engine->string.stringLineA->getDelay(), 133.64f, 0.01f);
    EXPECT_NEAR(engine->string.stringLineB->getDelay(), 200.45f, 0.01f);
}

TEST(StringLoop, GainNeverReachesOne) {
    EXPECT_EQ(stringLoopGain(2620.0f), 0.99999988f);
    EXPECT_EQ(stringLoopGain(12000.0f), 0.99999988f);
    EXPECT_NEAR(stringLoopGain(8.18f), 0.98694f, 1e-5f);
    EXPECT_LT(stringLoopGain(2600.0f), 0.99999988f);
}

TEST(Distorter, FiveTimesBelowTheKneeSaturatingAboveIt) {
    EXPECT_FLOAT_EQ(distorterStep(0.05f, 1.0f), 0.25f);
    EXPECT_NEAR(distorterStep(1.0f, 1.0f), 0.9999997f, 1e-7f);
    EXPECT_NEAR(distorterStep(-1.0f, 1.0f), -0.9999997f, 1e-7f);
    EXPECT_EQ(distorterStep(0.3f, 0.0f), 0.3f);
    EXPECT_FLOAT_EQ(distorterStep(0.05f, 0.5f), 0.5f * 0.05f + 0.5f * 0.25f);
}

TEST_F(Stages, TheLimiterCutsAtOnceAndRecovers60dBIn75ms) {
    const double a = levelRecovery(sr);
    EXPECT_NEAR(a, 0.0020863, 1e-7);
    ToneFilterState& t = engine->tone;
    EXPECT_FLOAT_EQ(levelLimiterStep(t, 2.0f, a), 1.0f);
    EXPECT_FLOAT_EQ(t.levelGain, 0.5f);
    EXPECT_FLOAT_EQ(levelLimiterStep(t, -2.0f, a), -1.0f);
    levelLimiterStep(t, 0.1f, a);
    EXPECT_FLOAT_EQ(t.levelGain, static_cast<float>(0.5 + 0.5 * a));
    for (int i = 0; i < 3308; ++i) { // 75 ms
        levelLimiterStep(t, 0.1f, a);
    }
    EXPECT_NEAR(1.0f - t.levelGain, 0.5f * 0.001f, 2e-5f);
    EXPECT_NEAR(levelLimiterStep(t, 100.0f, a), 1.0f, 1e-6f) << "beyond the table the gain follows 1/|r|";
    t.levelGain = 1.0f;
    levelLimiterStep(t, std::nanf(""), a);
    EXPECT_NEAR(t.levelGain, 4096.0f / 32760.0f, 1e-6f)
        << "a NaN reads the table's last entry, not memory outside it";
}

TEST(Overdrive, CubicShapingAtFullDrive) {
    EXPECT_FLOAT_EQ(overdriveStep(1.0f, 1.0f, 0.5f), 1.0f);
    EXPECT_FLOAT_EQ(overdriveStep(0.5f, 1.0f, 0.5f), 1.5f * 0.5f - 0.5f * 0.125f);
    EXPECT_LT(overdriveStep(1.5f, 1.0f, 0.5f), 1.0f) << "falls beyond full scale";
    EXPECT_FLOAT_EQ(overdriveStep(0.5f, 0.0f, 0.5f), 0.5f);
}

// An impulse through the chorus at full mix: each side echoes it after its own sweep delay (30 ms on the
// left, 33.3 ms on the right), and each echo comes back at 0.3 of the one before; the centre keeps the
// lows and a fifth of the signal, so the two sides differ only by their echoes.
TEST_F(Stages, TheChorusEchoesTheHighsAfterEachSidesDelay) {
    ChorusState& c = engine->chorus;
    const int n = 4000;
    std::vector<float> echoLeft(n), echoRight(n), difference(n);
    for (int i = 0; i < n; ++i) {
        float left = 0.0f, right = 0.0f;
        chorusStep(c, i == 0 ? 1.0f : 0.0f, 1.0f, k, sr * 0.03f, 1.0f, left, right);
        echoLeft[static_cast<size_t>(i)] = c.chorusOutLeft;
        echoRight[static_cast<size_t>(i)] = c.chorusOutRight;
        difference[static_cast<size_t>(i)] = left - right;
        ASSERT_NEAR(difference[static_cast<size_t>(i)], c.chorusOutLeft - c.chorusOutRight, 1e-6f);
    }
    auto peakIn = [](const std::vector<float>& v, int from, int to) {
        int best = from;
        for (int i = from; i < to; ++i) {
            if (std::fabs(v[static_cast<size_t>(i)]) > std::fabs(v[static_cast<size_t>(best)])) {
                best = i;
            }
        }
        return best;
    };
    auto around = [](const std::vector<float>& v, int centre) {
        float sum = 0.0f;
        for (int i = centre - 6; i <= centre + 6; ++i) {
            sum += v[static_cast<size_t>(i)];
        }
        return sum;
    };
    const int firstLeft = peakIn(echoLeft, 1, 2000);
    const int firstRight = peakIn(echoRight, 1, 2000);
    EXPECT_NEAR(firstLeft, 1323, 6) << "left echo after 30 ms";
    // The right sweep starts by shortening its 1470-sample delay: the echo comes a little early.
    EXPECT_GE(firstRight, 1440);
    EXPECT_LE(firstRight, 1471);
    EXPECT_GT(around(echoLeft, firstLeft), 0.7f) << "the highs of the impulse are echoed";
    const int secondLeft = peakIn(echoLeft, firstLeft + 600, n - 10);
    EXPECT_NEAR(secondLeft, 2 * firstLeft, 12);
    EXPECT_NEAR(around(echoLeft, secondLeft) / around(echoLeft, firstLeft), 0.3f, 0.06f)
        << "each pass feeds back 0.3 of the line's output";
    EXPECT_NEAR(difference[static_cast<size_t>(firstLeft)], echoLeft[static_cast<size_t>(firstLeft)], 2e-3f)
        << "at the left echo the right line gives only its untouched fill";
}

// A run of envelope steps taken at once: in the decay, the sustain and the release it must give every level,
// run flag and state field of the steps one by one, bit for bit, with the powers guessed or not; where a
// step would change the phase or close the gate it must refuse, so the render steps one by one.
TEST(EnvelopeAhead, GoesThroughAPhaseAsTheStepsDoOrRefuses) {
    constexpr int32_t m = 19;
    SynthParams params;
    const EnvelopeBlock block(params, 44100.0f); // attack about 420 samples, decay 180000, release 4410
    struct Case {
        const char* what;
        bool gate;
        EnvelopeState state;
        bool guessed;
        bool taken;
        float target = 0.7f;      // the sustain level's target
        float decayLength = 0.0f; // the block's, where not 0
    };
    const auto state = [](float attack, float decay, float release, float level, float releaseFrom,
                          float sustain) {
        EnvelopeState s;
        s.attackCount = attack;
        s.decayCount = decay;
        s.releaseCount = release;
        s.envelopeLevel = level;
        s.releaseStartLevel = releaseFrom;
        s.sustainLevel = sustain;
        return s;
    };
    const Case cases[] = {
        {"decay", true, state(5000, 4000, 0, 0.9f, 0.9f, 0.7f), true, true},
        {"decay, no guess", true, state(5000, 4000, 0, 0.9f, 0.9f, 0.7f), false, true},
        {"sustain", true, state(0, 200000, 0, 0.7f, 0.7f, 0.7f), true, true},
        {"release", false, state(0, 0, 100, 0.5f, 0.6f, 0.7f), true, true},
        {"release, no guess", false, state(0, 0, 100, 0.5f, 0.6f, 0.7f), false, true},
        {"idle release", false, state(0, 0, 3, 0.0f, 0.0f, 0.7f), true, true},
        {"attack", true, state(100, 0, 0, 0.2f, 0.2f, 0.7f), true, false},
        {"decay into the sustain", true, state(200000, block.decayLength - 5, 0, 0.7f, 0.7f, 0.7f), true,
         false},
        {"release to its end", false, state(0, 0, block.releaseLength - 5, 0.1f, 0.6f, 0.7f), true, false},
        {"decay to its last count", true, state(2000, 1000 - m - 1, 0, 0.8f, 0.8f, 0.7f), true, true, 0.7f,
         1000.0f},
        {"decay to 0", true, state(2000, 1000 - m - 1, 0, 0.1f, 0.1f, 0.0f), true, false, 0.0f, 1000.0f},
    };
    const float k = 6.28319f / 44100.0f;
    for (const Case& c : cases) {
        EnvelopeState stepped = c.state;
        EnvelopeState ahead = c.state;
        EnvelopeBlock steppedBlock = block;
        if (c.decayLength != 0.0f) {
            steppedBlock.decayLength = c.decayLength;
        }
        EnvelopeBlock aheadBlock = steppedBlock;
        const float target = c.target;
        EnvelopePowers powers;
        if (c.guessed) {
            powers.guess(c.state, c.gate, steppedBlock, m + 1, m + 1);
        }
        // The chunk's first frame steps alone, as in the render.
        bool gate = c.gate;
        envelopeStep(stepped, gate, steppedBlock, target, k * sustainGlideCutoff, powers);
        ahead = stepped;
        aheadBlock = steppedBlock;
        const int32_t first = powers.next;
        float levels[m];
        bool runs[m];
        int32_t alongside = 0;
        const bool taken = envelopeAhead(ahead, gate, aheadBlock, target, k * sustainGlideCutoff, powers, m,
                                         levels, runs, [&] { ++alongside; });
        ASSERT_EQ(taken, c.taken) << c.what;
        if (!taken) {
            EXPECT_EQ(std::memcmp(&ahead, &stepped, sizeof ahead), 0)
                << c.what << ": the state is left alone";
            continue;
        }
        powers.next = first;
        for (int32_t j = 0; j < m; ++j) {
            const bool run = stepped.envelopeLevel > 0.0f;
            envelopeStep(stepped, gate, steppedBlock, target, k * sustainGlideCutoff, powers);
            ASSERT_EQ(gate, c.gate) << c.what;
            ASSERT_EQ(std::bit_cast<uint32_t>(levels[j]), std::bit_cast<uint32_t>(stepped.envelopeLevel))
                << c.what << " " << j;
            ASSERT_EQ(runs[j], run) << c.what << " " << j;
        }
        EXPECT_EQ(std::memcmp(&ahead, &stepped, sizeof ahead), 0) << c.what;
        EXPECT_EQ(powers.next, first + m) << c.what;
        EXPECT_EQ(alongside, m) << c.what << ": the exciter beside it steps once a frame";
    }
}

} // namespace
} // namespace solvantis::testing
