// The stages one by one: pluck, string delays and loop gain, distorter, limiter, overdrive, chorus; and each
// stage's block method against its tick, bit for bit.
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

namespace solvantis::testing {
namespace {

struct Stages : ::testing::Test {
    std::unique_ptr<EngineState> engine = std::make_unique<EngineState>();
    SynthParams params;
    const float sr = 44100.0f;
    void SetUp() override {
        ASSERT_TRUE(setUpEngine(*engine, sr));
        params.Pick = 0.0f; // the noise stays at 0, so the pluck shows its bare shape
    }
    // One pluck at velocity factor 1.
    float pluck(bool gate, float pitch) {
        engine->exciter.setNote(params, 1.0f, 0.0f, pitch);
        return engine->exciter.tick(params, gate, false);
    }
};

// Bit-for-bit equality of two floats, NaN included.
bool same(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// A reproducible value in -0.5 .. 0.5.
float nextRandom(uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
}

TEST_F(Stages, AClosedGateNeverPlucks) {
    engine->exciter.pluckCount = 17;
    const uint32_t seed = engine->exciter.noiseSeed;
    EXPECT_EQ(pluck(false, 440.0f), 0.0f);
    EXPECT_EQ(engine->exciter.pluckCount, 0);
    EXPECT_NE(engine->exciter.noiseSeed, seed) << "the noise runs on, gate or not";
}

// Where the gate is closed or the pluck is over, a run of ticks is silent and goes at once: the same noise,
// hold, count (saturating) and generator as the ticks one by one; a pluck with a sample still to give is
// refused with nothing changed.
TEST(Exciter, TickSilentGivesTheTicksStateOrRefuses) {
    const struct {
        bool gate;
        int32_t count;
        int32_t n;
        int32_t holdAt;
        bool silent;
    } cases[] = {{false, 40, 19, -1, true},   {false, 0, 300, 150, true},         {true, 0, 19, -1, false},
                 {true, 186, 19, 5, false},   {true, 187, 19, 0, true},           {true, 300, 3, 2, true},
                 {true, 500, 257, 256, true}, {true, INT32_MAX - 3, 19, -1, true}};
    SynthParams params;
    for (const auto& c : cases) {
        Exciter stepped;
        stepped.prepare(44100.0f);
        stepped.setNote(params, 0.8f, 0.7f, 82.41f); // a pluck of 188 samples
        stepped.noiseState = 0.01f;
        stepped.pluckCount = c.count;
        Exciter ahead = stepped;
        ASSERT_EQ(ahead.tickSilent(c.n, params, c.gate, c.holdAt), c.silent) << c.count;
        if (!c.silent) {
            EXPECT_EQ(std::memcmp(&ahead, &stepped, sizeof ahead), 0) << c.count << ": nothing changed";
            continue;
        }
        for (int32_t j = 0; j < c.n; ++j) {
            ASSERT_EQ(stepped.tick(params, c.gate, j == c.holdAt), 0.0f) << c.count;
        }
        EXPECT_EQ(std::memcmp(&ahead, &stepped, sizeof ahead), 0) << c.count << " " << c.n;
    }
}

TEST_F(Stages, ThePluckIsATriangleWhoseLengthFollowsThePitch) {
    params.Exciter = 1.0f;
    Exciter& ex = engine->exciter;
    ex.noiseState = 0.0f;
    int sounding = 0;
    float top = 0.0f;
    for (int c = 1; c <= 200; ++c) {
        const float p = pluck(true, 82.41f);
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
        sounding += pluck(true, 2000.0f) != 0.0f ? 1 : 0;
    }
    EXPECT_EQ(sounding, 10); // E = 11 at 2 kHz: a quarter of the period at 1 kHz, not the 5 of the line
}

TEST_F(Stages, ThePluckIsLimitedToMinusOneAndTwo) {
    params.Exciter = 1.0f;
    engine->exciter.noiseState = 5.0f;
    EXPECT_EQ(pluck(true, 440.0f), 2.0f);
    engine->exciter.noiseState = -5.0f;
    EXPECT_EQ(pluck(true, 440.0f), -1.0f);
    engine->exciter.pluckCount = 0;
    engine->exciter.noiseState = 0.0f;
    EXPECT_FLOAT_EQ(pluck(true, std::nanf("")), 0.4f)
        << "a NaN pitch plucks with the shortest pulse instead of an undefined one";
}

// Where the comb's line would cross zero (above 208 Hz at Fixing 0, 790 Hz at the default) its delay stays
// at a quarter of the string's period, or at its 200 Hz delay where that is shorter, instead of reading its
// own input and passing a tenth of the pluck; below, it follows the line.
TEST_F(Stages, TheCombNeverCollapses) {
    params.Modulation = 0.0f;
    const struct {
        float fixing, f, delay;
    } cases[] = {{0.0f, 440.0f, 4.0f},
                 {0.0f, 100.0f, 4.0f + 100.0f * 0.489f},
                 {0.489f, 440.0f, 0.489f * 0.489f * 1210.0f + 4.0f - 240.0f * 0.489f},
                 {0.489f, 1000.0f, 0.25f * 44100.0f / 500.0f}};
    for (const auto& c : cases) {
        params.Fixing = c.fixing;
        engine->string.setParameters(params);
        engine->string.tick(c.f, 0.0f, 0.5f, 0.0f);
        EXPECT_NEAR(engine->string.combLine->getDelay(), c.delay, 1e-3f) << c.fixing << " " << c.f;
    }
}

TEST(StringLoop, GainNeverReachesOne) {
    EXPECT_EQ(stringLoopGain(2620.0f), 0.99999988f);
    EXPECT_EQ(stringLoopGain(12000.0f), 0.99999988f);
    EXPECT_NEAR(stringLoopGain(8.18f), 0.98694f, 1e-5f);
    EXPECT_LT(stringLoopGain(2600.0f), 0.99999988f);
}

// The distorter at full and half mix, and its block method against its tick across the knee, for every mix.
TEST(Distorter, FiveTimesBelowTheKneeSaturatingAboveIt) {
    SynthParams params;
    Distorter distorter;
    const auto at = [&](float x, float amount) {
        params.Distorter = amount;
        distorter.setParameters(params);
        return distorter.tick(x);
    };
    EXPECT_FLOAT_EQ(at(0.05f, 1.0f), 0.25f);
    EXPECT_NEAR(at(1.0f, 1.0f), 0.9999997f, 1e-7f);
    EXPECT_NEAR(at(-1.0f, 1.0f), -0.9999997f, 1e-7f);
    EXPECT_EQ(at(0.3f, 0.0f), 0.3f);
    EXPECT_FLOAT_EQ(at(0.05f, 0.5f), 0.5f * 0.05f + 0.5f * 0.25f);

    uint32_t seed = 3;
    for (const float amount : {0.0f, 0.3f, 1.0f}) {
        params.Distorter = amount;
        distorter.setParameters(params);
        for (int32_t n = 1; n <= distorterRunLimit; ++n) {
            float x[distorterRunLimit];
            float ticked[distorterRunLimit];
            for (int32_t j = 0; j < n; ++j) {
                x[j] = nextRandom(seed) * 0.4f; // across the knee at 0.08
                ticked[j] = distorter.tick(x[j]);
            }
            distorter.tickBlock(n, x);
            for (int32_t j = 0; j < n; ++j) {
                ASSERT_TRUE(same(x[j], ticked[j])) << amount << " " << n << " " << j;
            }
        }
    }
}

TEST_F(Stages, TheLimiterCutsAtOnceAndRecovers60dBIn75ms) {
    const double a = levelRecovery(sr);
    EXPECT_NEAR(a, 0.0020863, 1e-7);
    Limiter& t = engine->limiter;
    EXPECT_FLOAT_EQ(t.tick(2.0f), 1.0f);
    EXPECT_FLOAT_EQ(t.levelGain, 0.5f);
    EXPECT_FLOAT_EQ(t.tick(-2.0f), -1.0f);
    t.tick(0.1f);
    EXPECT_FLOAT_EQ(t.levelGain, static_cast<float>(0.5 + 0.5 * a));
    for (int i = 0; i < 3308; ++i) { // 75 ms
        t.tick(0.1f);
    }
    EXPECT_NEAR(1.0f - t.levelGain, 0.5f * 0.001f, 2e-5f);
    EXPECT_NEAR(t.tick(100.0f), 1.0f, 1e-6f) << "beyond the table the gain follows 1/|r|";
    t.levelGain = 1.0f;
    t.tick(std::nanf(""));
    EXPECT_NEAR(t.levelGain, 4096.0f / 32760.0f, 1e-6f)
        << "a NaN reads the table's last entry, not memory outside it";
}

TEST(Overdrive, CubicShapingAtFullDrive) {
    SynthParams params;
    params.Volume = 0.5f;
    Overdrive overdrive;
    const auto at = [&](float x, float amount) {
        params.Overdrive = amount;
        overdrive.setParameters(params);
        return overdrive.tick(x);
    };
    EXPECT_FLOAT_EQ(at(1.0f, 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(at(0.5f, 1.0f), 1.5f * 0.5f - 0.5f * 0.125f);
    EXPECT_LT(at(1.5f, 1.0f), 1.0f) << "falls beyond full scale";
    EXPECT_FLOAT_EQ(at(0.5f, 0.0f), 0.5f);
    EXPECT_EQ(overdrive.gain(), 1.0f);
}

// An impulse through the chorus at full mix: each side echoes it after its own sweep delay (30 ms on the
// left, 33.3 ms on the right), and each echo comes back at 0.3 of the one before; the centre keeps the
// lows and a fifth of the signal, so the two sides differ only by their echoes.
TEST_F(Stages, TheChorusEchoesTheHighsAfterEachSidesDelay) {
    Chorus& c = engine->chorus;
    params.Chorus = 1.0f;
    c.setParameters(params, 1.0f);
    const int n = 4000;
    std::vector<float> echoLeft(n), echoRight(n), difference(n);
    for (int i = 0; i < n; ++i) {
        float left = 0.0f, right = 0.0f;
        c.tick(i == 0 ? 1.0f : 0.0f, left, right);
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

// A run of envelope ticks taken at once: in the decay, the sustain and the release it must give every level,
// run flag and state field of the ticks one by one, bit for bit, with the powers guessed or not; where a
// tick would change the segment or close the gate it must refuse, so the render ticks one by one.
TEST(Envelope, TickAheadGoesThroughASegmentAsTheTicksDoOrRefuses) {
    constexpr int32_t m = 19;
    SynthParams params;
    const EnvelopeBlock block(params, 44100.0f); // attack about 420 samples, decay 180000, release 4410
    struct Case {
        const char* what;
        bool gate;
        Envelope state;
        bool guessed;
        bool taken;
        float target = 0.7f;      // the sustain level's target
        float decayLength = 0.0f; // the block's, where not 0
    };
    const auto state = [](float attack, float decay, float release, float level, float releaseFrom,
                          float sustain) {
        Envelope s;
        s.prepare(44100.0f);
        s.attackCount = attack;
        s.decayCount = decay;
        s.releaseCount = release;
        s.envelopeLevel = level;
        s.releaseStartLevel = releaseFrom;
        s.sustainLevel = sustain;
        return s;
    };
    const Case cases[] = {
        {"decay", true, state(5000, 4000, 0, 0.9f, 0.9f, 0.6f), true, true},
        {"decay, no guess", true, state(5000, 4000, 0, 0.9f, 0.9f, 0.6f), false, true},
        {"sustain", true, state(0, 200000, 0, 0.6f, 0.6f, 0.6f), true, true},
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
    for (const Case& c : cases) {
        Envelope stepped = c.state;
        Envelope ahead = c.state;
        EnvelopeBlock steppedBlock = block;
        if (c.decayLength != 0.0f) {
            steppedBlock.decayLength = c.decayLength;
        }
        EnvelopeBlock aheadBlock = steppedBlock;
        const float target = c.target;
        EnvelopePowers powers;
        if (c.guessed) {
            powers.guess(c.state.segment(c.gate, steppedBlock), m + 1, m + 1);
        }
        // The chunk's first frame steps alone, as in the render.
        bool gate = c.gate;
        stepped.tick(gate, steppedBlock, target, powers);
        ahead = stepped;
        aheadBlock = steppedBlock;
        const int32_t first = powers.next;
        float levels[m];
        bool runs[m];
        const bool taken = ahead.tickAhead(gate, aheadBlock, target, powers, m, levels, runs);
        ASSERT_EQ(taken, c.taken) << c.what;
        if (!taken) {
            EXPECT_EQ(std::memcmp(&ahead, &stepped, sizeof ahead), 0)
                << c.what << ": the state is left alone";
            continue;
        }
        powers.next = first;
        for (int32_t j = 0; j < m; ++j) {
            const bool run = stepped.envelopeLevel > 0.0f;
            stepped.tick(gate, steppedBlock, target, powers);
            ASSERT_EQ(gate, c.gate) << c.what;
            ASSERT_EQ(std::bit_cast<uint32_t>(levels[j]), std::bit_cast<uint32_t>(stepped.envelopeLevel))
                << c.what << " " << j;
            ASSERT_EQ(runs[j], run) << c.what << " " << j;
        }
        EXPECT_EQ(std::memcmp(&ahead, &stepped, sizeof ahead), 0) << c.what;
        EXPECT_EQ(powers.next, first + m) << c.what;
    }
}

// The string's block method against its ticks: two engines' strings get the same plucks, pitches, held noise
// and parameters, one sample by sample and one in chunks of 1 to 21 samples, some with frames at rest, with
// a voice after it that feeds back. Every output, every fed-back value and the final state agree bit for
// bit, through both modes, buffer wraps and runs read ahead.
TEST(StringModel, TickBlockGivesTheTicksBits) {
    auto ticked = std::make_unique<EngineState>();
    auto blocked = std::make_unique<EngineState>();
    ASSERT_TRUE(setUpEngine(*ticked, 44100.0f));
    ASSERT_TRUE(setUpEngine(*blocked, 44100.0f));
    StringModel& a = ticked->string;
    StringModel& b = blocked->string;
    SynthParams params;
    uint32_t seed = 9;
    float lastA = 0.0f;
    float lastB = 0.0f;
    float level[21];
    std::vector<float> outA, outB;
    // The voice after the string: a saturating gain whose output is fed back, scaled by a level per frame.
    const auto voice = [&](int32_t j, float out, bool active) {
        const float z = active ? out * 1.4f / (1.0f + std::fabs(out)) : out;
        return z * level[j];
    };
    int32_t aheadRuns = 0;
    int32_t frames = 0;
    for (int32_t chunk = 0; frames < 30000; ++chunk) {
        if (chunk % 200 == 0) { // a new block with other parameters
            params.PowerChord = (chunk / 200) % 2 == 0 ? 0.0f : 1.0f;
            params.Fixing = 0.2f + nextRandom(seed) * 0.3f;
            params.Modulation = 0.5f + nextRandom(seed);
            a.setParameters(params);
            b.setParameters(params);
        }
        const float f = 220.0f * std::exp2(static_cast<float>(chunk / 37 % 5)); // 220 to 3520 Hz
        if (chunk % 37 == 0) {
            a.markPitchChanged();
            b.markPitchChanged();
        }
        const float hold = nextRandom(seed);
        if (chunk % 3 == 0) {
            a.markNoiseHoldChanged();
            b.markNoiseHoldChanged();
        }
        const int32_t n = 1 + static_cast<int32_t>((seed >> 10) % 21);
        const bool someRest = chunk % 11 == 0;
        uint32_t runs = 0;
        float pluck[21];
        for (int32_t j = 0; j < n; ++j) {
            pluck[j] = chunk % 37 < 2 ? nextRandom(seed) : 0.0f;
            level[j] = 0.5f + nextRandom(seed);
            runs |= (someRest && (seed >> 20) % 3 == 0 ? 0u : 1u) << j;
        }
        for (int32_t j = 0; j < n; ++j) {
            if ((runs >> j & 1u) != 0) {
                a.tick(f, hold, pluck[j], lastA);
            } else {
                a.rest();
            }
            outA.push_back(a.stringOutput);
            lastA = voice(j, a.stringOutput, a.stringActive);
        }
        StringModel::Run run;
        if (b.startRun(n, runs, pluck, f, hold, lastB, run)) {
            ++aheadRuns;
            for (int32_t j = 0; j < n; ++j) {
                outB.push_back(run.outputs[j]);
                run.fedBack[j + 1] = voice(j, run.outputs[j], true);
            }
            b.finishRun(run);
            lastB = run.fedBack[n];
        } else {
            for (int32_t j = 0; j < n; ++j) {
                if ((runs >> j & 1u) != 0) {
                    b.stepRun(run, j, lastB);
                } else {
                    b.rest();
                }
                outB.push_back(b.stringOutput);
                lastB = voice(j, b.stringOutput, b.stringActive);
            }
        }
        ASSERT_TRUE(same(lastA, lastB)) << "chunk " << chunk;
        frames += n;
    }
    ASSERT_EQ(outA.size(), outB.size());
    for (size_t i = 0; i < outA.size(); ++i) {
        ASSERT_TRUE(same(outA[i], outB[i])) << "frame " << i;
    }
    for (const auto& [x, y] : {std::pair{a.stringHighpass, b.stringHighpass},
                               {a.loopFilterState, b.loopFilterState},
                               {a.dcBlockState, b.dcBlockState}}) {
        EXPECT_TRUE(same(x, y));
    }
    EXPECT_EQ(a.stringLineA->getWriteIndex(), b.stringLineA->getWriteIndex());
    EXPECT_EQ(a.combLine->getReadIndex(), b.combLine->getReadIndex());
    EXPECT_GT(aheadRuns, 1000) << "most chunks read the lines ahead";
}

// The chorus's block method against its ticks, through the lines' wraps (where the block steps) and the
// sweeps, at a mix and MIDI volume other than 1.
TEST(Chorus, TickBlockGivesTheTicksBits) {
    auto ticked = std::make_unique<EngineState>();
    auto blocked = std::make_unique<EngineState>();
    ASSERT_TRUE(setUpEngine(*ticked, 48000.0f));
    ASSERT_TRUE(setUpEngine(*blocked, 48000.0f));
    SynthParams params;
    params.Chorus = 0.7f;
    ticked->chorus.setParameters(params, 0.9f);
    blocked->chorus.setParameters(params, 0.9f);
    uint32_t seed = 21;
    for (int32_t frames = 0; frames < 12000;) {
        const int32_t n = 1 + static_cast<int32_t>((seed >> 10) % chorusRunLimit);
        float in[chorusRunLimit];
        float left[chorusRunLimit];
        float right[chorusRunLimit];
        for (int32_t j = 0; j < n; ++j) {
            in[j] = nextRandom(seed);
        }
        blocked->chorus.tickBlock(n, in, left, right);
        for (int32_t j = 0; j < n; ++j) {
            float l = 0.0f;
            float r = 0.0f;
            ticked->chorus.tick(in[j], l, r);
            ASSERT_TRUE(same(l, left[j]) && same(r, right[j])) << "frame " << frames + j;
        }
        frames += n;
    }
    EXPECT_TRUE(same(ticked->chorus.chorusLowState, blocked->chorus.chorusLowState));
    EXPECT_EQ(ticked->chorus.chorusLfoRight->getPhase(), blocked->chorus.chorusLfoRight->getPhase());
}

} // namespace
} // namespace solvantis::testing
