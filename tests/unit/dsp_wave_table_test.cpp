#include "dsp/wave_table.h"

#include <gtest/gtest.h>

#include <cmath>

namespace solvantis {
namespace {

TEST(WaveTableOscillator, IncrementsAtTheEngineRate) {
    WaveTable lfo(44100.0f);
    EXPECT_EQ(lfo.getSampleRate(), 44100.0f);
    EXPECT_EQ(lfo.getPhaseIncrement(), 97391u); // a new oscillator runs at 1 Hz
    lfo.setFrequency(0.5f);
    EXPECT_EQ(lfo.getPhaseIncrement(), 48695u);
    lfo.setFrequency(1.2f);
    EXPECT_EQ(lfo.getPhaseIncrement(), 116869u);
    lfo.setFrequency(44100.0f); // 2^32 wraps to 0: standing still
    EXPECT_EQ(lfo.getPhaseIncrement(), 0u);
    lfo.setFrequency(-1.0f); // runs the cycle backwards
    EXPECT_EQ(lfo.getPhaseIncrement(), 0u - 97391u);

    auto made = WaveTable::create(48000.0f);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->getSampleRate(), 48000.0f);
}

TEST(WaveTableOscillator, NonFiniteIncrementStopsTheOscillator) {
    WaveTable noRate(0.0f);
    EXPECT_EQ(noRate.getPhaseIncrement(), 0u);
    WaveTable lfo(44100.0f);
    lfo.setFrequency(std::numeric_limits<float>::infinity());
    EXPECT_EQ(lfo.getPhaseIncrement(), 0u);
    lfo.setFrequency(std::nanf(""));
    EXPECT_EQ(lfo.getPhaseIncrement(), 0u);
    lfo.setFrequency(1e30f); // finite but far beyond 2^32: kept modulo 2^32, defined
    EXPECT_EQ(lfo.getPhaseIncrement(), static_cast<uint32_t>(std::fmod(
                                           std::trunc(256.0 / 44100.0 * 1e30 * 16777216.0), 4294967296.0)));
}

TEST(WaveTableOscillator, TickReadsBeforeAdvancing) {
    WaveTable lfo(44100.0f);
    EXPECT_EQ(lfo.tick(), 0.0f); // table[0] of the sine
    EXPECT_EQ(lfo.getPhase(), 97391u);
    const float x = 97391.0f / 16777216.0f;
    EXPECT_FLOAT_EQ(lfo.tick(), x * lfo.getTableValue(1));

    lfo.setFrequency(0.0f);
    const float held = lfo.tick();
    for (int n = 0; n < 1000; ++n) {
        ASSERT_EQ(lfo.tick(), held);
    }
}

TEST(WaveTableOscillator, HalfHertzSineCyclesIn88200Samples) {
    WaveTable lfo(44100.0f);
    lfo.setFrequency(0.5f);
    // 2^32 / 48695 = 88201.8 samples per cycle: find the next upward zero crossing
    float previous = lfo.tick();
    int n = 1;
    for (;; ++n) {
        const float v = lfo.tick();
        if (previous < 0.0f && v >= 0.0f) {
            break;
        }
        previous = v;
        ASSERT_LT(n, 100000);
    }
    EXPECT_NEAR(n, 88202, 2);
}

TEST(WaveTableOscillator, SquareJumpsAsARampAcrossTheLastInterval) {
    // at 512 Hz a 1 Hz oscillator moves half a point per sample
    WaveTable lfo(512.0f);
    lfo.buildTable(WaveShape::square);
    EXPECT_EQ(lfo.getPhaseIncrement(), 1u << 23);
    for (int n = 0; n < 511; ++n) {
        lfo.tick();
    }
    EXPECT_EQ(lfo.getPhase(), 0xFF800000u);
    EXPECT_EQ(lfo.tick(), 0.0f); // halfway between point 255 (-1) and the guard (1)
    EXPECT_EQ(lfo.getPhase(), 0u);
    EXPECT_EQ(lfo.tick(), 1.0f);
}

TEST(WaveTableShapes, PointsAndGuards) {
    WaveTable t(44100.0f);
    // the sine: quarter points exact, guard within rounding of 0
    EXPECT_EQ(t.getTableValue(0), 0.0f);
    EXPECT_EQ(t.getTableValue(64), 1.0f);
    EXPECT_EQ(t.getTableValue(192), -1.0f);
    EXPECT_FLOAT_EQ(t.getTableValue(32), static_cast<float>(std::sqrt(0.5)));
    EXPECT_LT(std::fabs(t.getTableValue(256)), 1e-15f);

    t.buildTable(7); // unknown shapes leave the table alone
    t.buildTable(-1);
    EXPECT_EQ(t.getTableValue(64), 1.0f);

    t.buildTable(WaveShape::triangle);
    EXPECT_EQ(t.getTableValue(0), 0.0f);
    EXPECT_EQ(t.getTableValue(32), 0.5f);
    EXPECT_EQ(t.getTableValue(64), 1.0f);
    EXPECT_EQ(t.getTableValue(128), 0.0f);
    EXPECT_EQ(t.getTableValue(192), -1.0f);
    EXPECT_EQ(t.getTableValue(255), -1.0f / 64.0f);
    EXPECT_EQ(t.getTableValue(256), 0.0f);

    t.buildTable(2);
    EXPECT_EQ(t.getTableValue(0), -1.0f);
    EXPECT_EQ(t.getTableValue(255), std::nextafter(1.0f, 2.0f)); // 1.0000001 from k held as a float
    EXPECT_EQ(t.getTableValue(256), -1.0f);

    t.buildTable(WaveShape::square);
    EXPECT_EQ(t.getTableValue(127), 1.0f);
    EXPECT_EQ(t.getTableValue(128), -1.0f);
    EXPECT_EQ(t.getTableValue(256), 1.0f);

    t.buildTable(WaveShape::exponent);
    EXPECT_EQ(t.getTableValue(0), -1.0f);
    EXPECT_EQ(t.getTableValue(128), 1.0f);
    EXPECT_NEAR(t.getTableValue(255), -0.9909f, 1e-4f);
    EXPECT_EQ(t.getTableValue(256), -1.0f);
    for (int i = 1; i < 128; ++i) {
        ASSERT_EQ(t.getTableValue(i), t.getTableValue(256 - i)) << i;
        ASSERT_LT(t.getTableValue(i - 1), t.getTableValue(i)) << i;
    }
    EXPECT_EQ(t.getPhaseIncrement(), 97391u); // building a table leaves the increment alone
}

} // namespace
} // namespace solvantis
