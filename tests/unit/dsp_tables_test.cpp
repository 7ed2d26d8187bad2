#include "dsp/dsp_math.h"
#include "dsp/lookup_tables.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace solvantis {
namespace {

TEST(DspTables, NoteFrequencies) {
    EXPECT_EQ(noteFrequencies[0], 8.1757994f);
    EXPECT_EQ(noteFrequencies[0], static_cast<float>(8.175798915636872));
    EXPECT_EQ(noteFrequencies[60], 261.62558f);
    EXPECT_EQ(noteFrequencies[69], 440.0f);
    EXPECT_NEAR(noteFrequencies[127], 12543.85f, 0.01f);
    for (int n = 1; n < noteCount; ++n) {
        ASSERT_NEAR(noteFrequencies[n] / noteFrequencies[n - 1], 1.0594631f, 1e-6f) << n;
    }
    // the running product stays in double: a float product would drift off 440 by note 69
    float drifting = 8.1757994f;
    for (int n = 0; n < 69; ++n) {
        drifting *= 1.059463094359f;
    }
    EXPECT_NE(drifting, noteFrequencies[69]);
}

TEST(DspTables, LevelTable) {
    EXPECT_EQ(levelTable[0], 1.0f);
    EXPECT_EQ(levelTable[4095], 1.0f);
    EXPECT_EQ(levelTable[4096], 1.0f);
    EXPECT_EQ(levelTable[8192], 0.5f);
    EXPECT_NEAR(levelTable[32767], 0.1250038f, 1e-7f);
    for (int i = 4097; i < levelTableSize; ++i) {
        // the gain brings a peak of i / 4096 down to 1
        ASSERT_NEAR(levelTable[i] * static_cast<float>(i) / 4096.0f, 1.0f, 2e-7f) << i;
        ASSERT_LT(levelTable[i], levelTable[i - 1]) << i;
    }
}

TEST(DspMath, OnePoleIsLimitedOnlyNearInstability) {
    const float k = 6.28319f / 44100.0f;
    float state = 0.25f;
    const float out = OnePole::step(state, 1.0f, OnePole::factor(k, 35.0f));
    EXPECT_EQ(out, state);
    EXPECT_FLOAT_EQ(state, 0.25f + 0.75f * k * 35.0f);
    // a factor above 1 overshoots instead of being limited to 1; only from 1.6 on is it held there
    EXPECT_EQ(OnePole::factor(1.0f, 1.5f), 1.5f);
    EXPECT_EQ(OnePole::factor(1.0f, 2.0f), 1.6f);
    EXPECT_EQ(OnePole::factor(1.0f, NAN), 1.6f);
    EXPECT_FALSE(OnePole::limited(1.0f, 1.6f));
    EXPECT_TRUE(OnePole::limited(1.0f, 1.61f));
    EXPECT_TRUE(OnePole::limited(1.0f, NAN));
    // converges on a constant input
    float slow = 0.0f;
    for (int n = 0; n < 44100; ++n) {
        OnePole::step(slow, 0.6f, OnePole::factor(k, 5.0f));
    }
    EXPECT_NEAR(slow, 0.6f, 1e-4f);
}

TEST(DspMath, SoftClipPassesBelowTheKneeAndSaturatesAtOne) {
    for (float x : {0.0f, 0.3f, -0.79f, 0.8f, -0.8f}) {
        EXPECT_EQ(softClip(x, 0.8f), x);
    }
    EXPECT_EQ(softClip(0.4f, 0.4f), 0.4f);
    // above the knee: the span in double, the scale in single precision
    const double scale08 = std::bit_cast<float>(0x40A00001u); // 5.0000005
    for (float xf : {0.81f, 0.9f, 1.3f, 3.0f}) {
        const double x = xf;
        const float expected = static_cast<float>(
            0.800000011920929 + 0.19999998807907104 * std::tanh((x - 0.800000011920929) * scale08));
        EXPECT_EQ(softClip(static_cast<float>(x), 0.8f), expected) << x;
        EXPECT_EQ(softClip(-static_cast<float>(x), 0.8f), -expected) << x;
    }
    const double scale04 = std::bit_cast<float>(0x3FD55555u); // 1.6666666
    for (float xf : {0.5f, 1.0f, 2.5f}) {
        const double x = xf;
        const float expected = static_cast<float>(
            0.4000000059604645 + 0.5999999940395355 * std::tanh((x - 0.4000000059604645) * scale04));
        EXPECT_EQ(softClip(static_cast<float>(x), 0.4f), expected) << x;
    }
    EXPECT_EQ(softClip(1e6f, 0.8f), 1.0f);
    EXPECT_EQ(softClip(-std::numeric_limits<float>::infinity(), 0.4f), -1.0f);
    // continuous and monotonic through the knee
    float previous = softClip(0.7f, 0.8f);
    for (float x = 0.7f; x < 2.0f; x += 0.001f) {
        const float y = softClip(x, 0.8f);
        ASSERT_GE(y, previous) << x;
        ASSERT_LT(y - previous, 0.0011f) << x;
        previous = y;
    }
}

} // namespace
} // namespace solvantis
