#include "dsp/delay_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace solvantis {
namespace {

using GatedTick = float (DelayLine::*)(float);

// x[n] = n + 1: every sample distinct and above the silence threshold.
float ramp(int n) {
    return static_cast<float>(n + 1);
}

TEST(DelayLineConstruction, UntouchedLineHoldsTheFillValue) {
    DelayLine line(10.0f, 3000);
    EXPECT_TRUE(line.ok());
    EXPECT_EQ(line.getLength(), 3001);
    EXPECT_EQ(line.getSilentCount(), 10000);
    EXPECT_FLOAT_EQ(line.getDelay(), 10.0f);
    // The linear peek of untouched slots gives the fill value, not 0.
    EXPECT_FLOAT_EQ(line.nextOutLinear(), 0.001f);
    for (int n = 0; n < 10; ++n) {
        EXPECT_EQ(line.tickDirect(ramp(n)), 0.001f) << n;
    }
    EXPECT_EQ(line.tickDirect(ramp(10)), ramp(0));

    DelayLine fractional(2.5f, 100);
    EXPECT_FLOAT_EQ(fractional.tickLinear(1.0f), 0.001f);

    auto made = DelayLine::create(1400.0f, 3000);
    ASSERT_NE(made, nullptr);
    EXPECT_FLOAT_EQ(made->getDelay(), 1400.0f);
}

TEST(DelayLineConstruction, ClearRefillsWithoutMovingAnything) {
    DelayLine line(3.0f, 8);
    for (int n = 0; n < 5; ++n) {
        line.tickDirect(ramp(n));
    }
    const int32_t w = line.getWriteIndex();
    const int32_t r = line.getReadIndex();
    line.clear();
    EXPECT_EQ(line.getLastOutput(), 0.0f);
    EXPECT_EQ(line.getWriteIndex(), w);
    EXPECT_EQ(line.getReadIndex(), r);
    EXPECT_FLOAT_EQ(line.getDelay(), 3.0f);
    for (int n = 0; n < 9; ++n) {
        EXPECT_EQ(line.tickDirect(0.0f), n < 3 ? 0.001f : 0.0f) << n;
    }
}

TEST(DelayLineInterpolation, DelayAboveTheMaximumIsClampedAndExact) {
    DelayLine line(0.0f, 3000);
    line.setDelay(5000.0f);
    EXPECT_EQ(line.getDelay(), 3000.0f);
    EXPECT_EQ(line.tickDirect(1.0f), 0.001f);
    for (int n = 1; n < 3000; ++n) {
        ASSERT_EQ(line.tickDirect(0.0f), 0.001f) << n;
    }
    EXPECT_EQ(line.tickDirect(0.0f), 1.0f); // 3000 ticks after the input

    DelayLine linear(0.0f, 3000);
    linear.setDelay(5000.0f);
    linear.tickLinear(1.0f);
    for (int n = 1; n < 3000; ++n) {
        linear.tickLinear(0.0f);
    }
    EXPECT_EQ(linear.tickLinear(0.0f), 1.0f);
}

TEST(DelayLineInterpolation, NegativeDelayReadsTheSampleJustWritten) {
    DelayLine line(10.0f, 100);
    line.setDelay(-1.0f);
    EXPECT_EQ(line.getDelay(), 0.5f);
    EXPECT_EQ(line.getFraction(), 0.0f);
    for (int n = 0; n < 250; ++n) {
        ASSERT_EQ(line.tickDirect(ramp(n)), ramp(n)) << n;
    }
    line.setDelay(std::nanf("")); // treated as a negative delay, never as an index
    EXPECT_EQ(line.getDelay(), 0.5f);
    EXPECT_EQ(line.tickDirect(7.0f), 7.0f);
}

TEST(DelayLineInterpolation, FractionalDelayMixesTheTwoNeighbours) {
    DelayLine line(0.0f, 3000);
    line.setDelay(2.25f);
    EXPECT_EQ(line.getFraction(), 0.75f);
    EXPECT_EQ(line.getAllpassCoefficient(), -0.75f / 2.75f);
    std::vector<float> x;
    for (int n = 0; n < 20; ++n) {
        x.push_back(ramp(n) * ramp(n)); // not linear, so a wrong neighbour shows
        const float out = line.tickLinear(x.back());
        if (n >= 3) {
            EXPECT_FLOAT_EQ(out, 0.25f * x[n - 3] + 0.75f * x[n - 2]) << n;
        }
    }
}

TEST(DelayLineInterpolation, IntegerDelayMakesLinearEqualDirect) {
    DelayLine direct(7.0f, 50);
    DelayLine linear(7.0f, 50);
    EXPECT_EQ(linear.getFraction(), 0.0f);
    EXPECT_EQ(linear.getAllpassCoefficient(), 0.0f);
    for (int n = 0; n < 120; ++n) {
        const float d = direct.tickDirect(ramp(n));
        linear.tickLinear(ramp(n));
        // the peek after a tick reads the next position, which the next direct tick will output
        ASSERT_EQ(linear.getReadIndex(), direct.getReadIndex());
        if (n >= 7) {
            ASSERT_EQ(d, ramp(n - 7));
        }
    }
    EXPECT_EQ(linear.nextOutLinear(), direct.tickDirect(0.0f));
}

TEST(DelayLineInterpolation, TickFollowsTheInterpolationSwitch) {
    DelayLine plain(3.5f, 40), linearRef(3.5f, 40), directRef(3.5f, 40), switched(3.5f, 40);
    switched.setInterpolation(true);
    for (int n = 0; n < 60; ++n) {
        ASSERT_EQ(switched.tick(ramp(n)), linearRef.tickLinear(ramp(n))) << n;
        ASSERT_EQ(plain.tick(ramp(n)), directRef.tickDirect(ramp(n))) << n;
    }
}

TEST(DelayLineInterpolation, CubicReadIsExactForQuadraticSignals) {
    // Four-point Hermite reproduces polynomials up to degree 2; linear interpolation would not.
    DelayLine line(0.0f, 64);
    line.setDelay(2.5f);
    EXPECT_EQ(line.getFraction(), 0.5f);
    line.wake();
    for (int n = 0; n < 40; ++n) {
        const float out = line.tickCubicGated(ramp(n) * ramp(n));
        if (n >= 4) {
            const float t = static_cast<float>(n) - 2.5f + 1.0f;
            EXPECT_NEAR(out, t * t, 1e-3f) << n;
        }
    }
}

TEST(DelayLineInterpolation, AllpassPeekUsesTheRecordedState) {
    DelayLine line(0.0f, 32);
    line.setDelay(2.25f);
    const float c = -0.75f / 2.75f;
    std::vector<float> x;
    for (int n = 0; n < 10; ++n) {
        x.push_back(ramp(n));
        line.tickAllpassGated(x.back());
    }
    // last tick (n = 9): read index at n - 3, output linear 0.25 x[6] + 0.75 x[7], allpass state x[6]
    EXPECT_FLOAT_EQ(line.getLastOutput(), 0.25f * x[6] + 0.75f * x[7]);
    const float expected = x[7] * c + x[6] - c * line.getLastOutput();
    EXPECT_FLOAT_EQ(line.nextOutAllpass(), expected);
}

TEST(DelayLineCache, PeekIsComputedOncePerTickAndOnlyLinearTicksRefreshIt) {
    DelayLine line(1.0f, 16);
    for (int n = 0; n < 4; ++n) {
        line.tickLinear(ramp(n));
    }
    // after the tick the peek reads the advanced position: the sample the next tick returns
    const float peek = line.nextOutLinear();
    EXPECT_EQ(peek, ramp(3));
    EXPECT_EQ(line.nextOutLinear(), peek);
    EXPECT_EQ(line.tickLinear(ramp(4)), peek);
    EXPECT_EQ(line.nextOutLinear(), ramp(4));

    // a direct tick moves the read position but keeps the value cached before it
    line.tickDirect(ramp(5));
    EXPECT_EQ(line.nextOutLinear(), ramp(4));
    // so does the plain tick and the cubic tick
    line.tick(ramp(6));
    line.wake();
    line.tickCubicGated(ramp(7));
    EXPECT_EQ(line.nextOutLinear(), ramp(4));
    // the interpolating tick marks it stale again
    line.setInterpolation(true);
    line.tick(ramp(8));
    EXPECT_EQ(line.nextOutLinear(), ramp(8));
}

TEST(DelayLineCache, NewDelayShowsFirstAfterTheNextTick) {
    DelayLine line(2.0f, 16);
    for (int n = 0; n < 8; ++n) {
        line.tickLinear(ramp(n));
    }
    const float before = line.nextOutLinear();
    EXPECT_EQ(before, ramp(6));
    line.setDelay(4.0f);
    EXPECT_EQ(line.nextOutLinear(), before); // setDelay leaves the cached peek
    // the tick still outputs the cached value, then the peek reads at the new delay
    EXPECT_EQ(line.tickLinear(ramp(8)), before);
    EXPECT_EQ(line.nextOutLinear(), ramp(5));
    line.clear();
    EXPECT_EQ(line.nextOutLinear(), ramp(5)); // clear does not refresh it either
}

TEST(DelayLineGate, NewShortLineWaitsForAnInputAboveTheThreshold) {
    const GatedTick ticks[] = {&DelayLine::tickLinearGated, &DelayLine::tickDirectGated,
                               &DelayLine::tickCubicGated, &DelayLine::tickAllpassGated};
    for (GatedTick tick : ticks) {
        DelayLine line(100.0f, 3000);
        EXPECT_TRUE(line.isSilent());
        const int32_t w = line.getWriteIndex();
        for (float quiet : {0.0f, 0.001f, -0.5f, -3.0f}) {
            EXPECT_EQ((line.*tick)(quiet), 0.0f);
        }
        EXPECT_EQ(line.getWriteIndex(), w); // frozen: nothing written, indices still
        EXPECT_EQ(line.getSilentCount(), 10000);
        EXPECT_NE((line.*tick)(0.002f), 0.0f); // starts: the fill value comes out
        EXPECT_EQ(line.getWriteIndex(), w + 1);
        EXPECT_TRUE(line.isSounding());
    }
}

TEST(DelayLineGate, RunningLineFreezesAfterMoreThanOneDelayOfQuietAndWakes) {
    DelayLine line(100.0f, 3000);
    EXPECT_NE(line.tickLinearGated(1.0f), 0.0f); // impulse at tick 0
    int n = 1;
    for (; n < 100; ++n) {
        ASSERT_EQ(line.tickLinearGated(0.0f), 0.001f) << n;
    }
    EXPECT_EQ(line.tickLinearGated(0.0f), 1.0f); // tick 100
    EXPECT_EQ(line.getSilentCount(), 0);
    // 101 quiet outputs (ticks 101..201) are more than the delay of 100
    for (n = 101; n <= 201; ++n) {
        ASSERT_TRUE(line.isSounding()) << n;
        ASSERT_EQ(line.tickLinearGated(0.0f), 0.0f) << n;
    }
    EXPECT_EQ(line.getSilentCount(), 101);
    EXPECT_TRUE(line.isSilent());
    const int32_t w = line.getWriteIndex();
    const int32_t r = line.getReadIndex();
    for (int k = 0; k < 50; ++k) {
        EXPECT_EQ(line.tickLinearGated(0.0005f), 0.0f);
    }
    EXPECT_EQ(line.getWriteIndex(), w);
    EXPECT_EQ(line.getReadIndex(), r);
    EXPECT_EQ(line.getSilentCount(), 101);

    line.wake();
    EXPECT_TRUE(line.isSounding());
    line.tickLinearGated(0.0f);
    EXPECT_EQ(line.getWriteIndex(), w + 1);
    EXPECT_EQ(line.getSilentCount(), 1);
}

TEST(DelayLineGate, NegativeOutputCountsAsQuiet) {
    DelayLine line(10.0f, 100);
    line.tickDirectGated(0.5f); // tick 0 starts the line
    // A loud but negative signal follows: the 0.5 comes out at tick 10, then -0.8 from tick 11 on, and
    // every one of those outputs counts as quiet; 11 of them (ticks 11..21) freeze the line.
    for (int n = 1; n <= 21; ++n) {
        const float out = line.tickDirectGated(-0.8f);
        ASSERT_EQ(out, n < 10 ? 0.001f : (n == 10 ? 0.5f : -0.8f)) << n;
    }
    EXPECT_EQ(line.getSilentCount(), 11);
    EXPECT_TRUE(line.isSilent());
    const int32_t w = line.getWriteIndex();
    EXPECT_EQ(line.tickDirectGated(-0.8f), 0.0f);
    EXPECT_EQ(line.getWriteIndex(), w);
}

TEST(DelayLineGate, LongLineRunsFromTheStartAndUngatedTicksIgnoreTheCount) {
    DelayLine longLine(10000.0f, 20000);
    EXPECT_TRUE(longLine.isSounding());
    EXPECT_EQ(longLine.tickLinearGated(0.0f), 0.001f);

    DelayLine line(5.0f, 100);
    for (int n = 0; n < 50; ++n) {
        line.tickLinear(0.0f);
        line.tickDirect(0.0f);
        line.tick(0.0f);
    }
    EXPECT_EQ(line.getSilentCount(), 10000);
}

TEST(DelayLineWrap, LinearReadAtTheLastSlotInterpolatesTowardsSlotZero) {
    DelayLine line(0.0f, 4); // 5 slots
    for (int n = 0; n < 5; ++n) {
        line.tickDirect(ramp(n)); // slot n holds n + 1; write index back at 0
    }
    ASSERT_EQ(line.getWriteIndex(), 0);
    line.setDelay(0.5f); // read position 4.5
    EXPECT_EQ(line.getReadIndex(), 4);
    EXPECT_EQ(line.tickLinear(9.0f), 0.5f * ramp(4) + 0.5f * 9.0f); // slot 0 was just overwritten by 9
}

TEST(DelayLineWrap, CubicReadAtIndexZeroTakesTheLastSlot) {
    DelayLine line(0.0f, 4); // 5 slots
    for (int n = 0; n < 6; ++n) {
        line.tickDirect(ramp(n)); // slots 1..4 hold 2..5, slot 0 holds 6
    }
    ASSERT_EQ(line.getWriteIndex(), 1);
    line.setDelay(0.5f);
    ASSERT_EQ(line.getReadIndex(), 0);
    line.wake();
    // after writing 7 into slot 1: y-1 = slot 4 (5), y0 = 6, y1 = 7, y2 = slot 2 (3); at x = 0.5
    // c1 = 1, c2 = 2.5, c3 = -2.5, so the result is 6.8125
    EXPECT_EQ(line.tickCubicGated(7.0f), 6.8125f);
    EXPECT_EQ(line.getReadIndex(), 1);
}

TEST(DelayLineWrap, IndicesStayInRangeUnderAnyDelay) {
    DelayLine line(0.0f, 37);
    const float delays[] = {0.0f, 36.999f, 37.0f, 38.0f, -0.25f, 1e-9f, 12.75f, 1e9f, -1e9f, 36.9999999f};
    int n = 0;
    for (int round = 0; round < 200; ++round) {
        line.setDelay(delays[round % 10]);
        ASSERT_GE(line.getReadIndex(), 0);
        ASSERT_LT(line.getReadIndex(), line.getLength());
        ASSERT_GE(line.getFraction(), 0.0f);
        ASSERT_LT(line.getFraction(), 1.0f);
        for (int k = 0; k < 7; ++k, ++n) {
            line.tickLinear(ramp(n));
            line.wake();
            line.tickCubicGated(ramp(n));
            ASSERT_LT(line.getWriteIndex(), line.getLength());
            ASSERT_LT(line.getReadIndex(), line.getLength());
        }
    }
}

// A delay so small that write position minus delay plus the length rounds to the length itself (in double
// precision) must still wrap to slot 0: the read would otherwise land one slot past the buffer.
TEST(DelayLineWrap, TinyDelayAtWritePositionZeroWrapsToSlotZero) {
    for (const float tiny : {1e-20f, 1e-30f, 1e-45f}) {
        DelayLine line(5.0f, 3000);
        ASSERT_EQ(line.getWriteIndex(), 0);
        line.setDelay(tiny);
        EXPECT_EQ(line.getReadIndex(), 0) << tiny;
        EXPECT_EQ(line.getFraction(), 0.0f) << tiny;
        // Delay about 0: a tick returns the sample it has just written.
        EXPECT_EQ(line.tickLinear(42.0f), 42.0f) << tiny;
    }
}

TEST(DelayLineResize, GrowingKeepsTheIndicesShrinkingBringsThemIntoRange) {
    DelayLine line(20.0f, 100);
    for (int n = 0; n < 90; ++n) {
        line.tickDirect(ramp(n));
    }
    const int32_t w = line.getWriteIndex();
    const int32_t r = line.getReadIndex();
    ASSERT_TRUE(line.resize(200));
    EXPECT_EQ(line.getLength(), 201);
    EXPECT_EQ(line.getWriteIndex(), w);
    EXPECT_EQ(line.getReadIndex(), r);
    EXPECT_EQ(line.tickDirect(1.0f), 0.001f); // cleared

    // write index 91, read index 71: both beyond a 31-slot line
    ASSERT_TRUE(line.resize(30));
    EXPECT_EQ(line.getLength(), 31);
    EXPECT_EQ(line.getWriteIndex(), 0);
    EXPECT_FLOAT_EQ(line.getDelay(), 20.0f);
    line.tickDirect(5.0f);
    for (int n = 1; n < 20; ++n) {
        ASSERT_EQ(line.tickDirect(0.0f), 0.001f) << n;
    }
    EXPECT_EQ(line.tickDirect(0.0f), 5.0f); // the delay survived the shrink

    ASSERT_TRUE(line.resize(4)); // the delay of 20 no longer fits: clamped to the new maximum
    EXPECT_EQ(line.getDelay(), 4.0f);
    line.tickDirect(7.0f);
    for (int n = 1; n < 4; ++n) {
        line.tickDirect(0.0f);
    }
    EXPECT_EQ(line.tickDirect(0.0f), 7.0f);
    line.setDelay(2.0f);
    EXPECT_LT(line.getReadIndex(), line.getLength());
}

} // namespace
} // namespace solvantis

namespace solvantis {
namespace {

// Where a run may be read ahead, reading it whole, then writing it whole, gives what n peek-tick-peek steps
// (or n ticks alone) give: the same values and the same final state. Runs of 1 to 21 samples at delays
// from 0.4 to 39.99 samples, including runs that start on a stale peek and ones right after a new delay.
class DelayLineReadAhead : public ::testing::TestWithParam<bool> {};

TEST_P(DelayLineReadAhead, MatchesStepping) {
    const bool peeked = GetParam();
    DelayLine stepped(3.0f, 40);
    DelayLine ahead(3.0f, 40);
    const float delays[] = {0.4f, 2.5f, 6.0f, 17.25f, 23.0f, 30.5f, 39.99f};
    uint32_t seed = 11;
    int readAheadRuns = 0;
    for (int block = 0; block < 400; ++block) {
        DelayLine& s = stepped;
        DelayLine& a = ahead;
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 29) == 0) {
            s.setDelay(delays[(seed >> 4) % 7]);
            a.setDelay(delays[(seed >> 4) % 7]);
        }
        if ((seed >> 28) % 4 == 1) { // a run that starts on a fresh peek
            ASSERT_EQ(s.nextOutLinear(), a.nextOutLinear());
        }
        const int32_t n = 1 + static_cast<int32_t>((seed >> 8) % 21);
        float in[21];
        float peeks[22];
        for (int32_t j = 0; j < n; ++j) {
            seed = seed * 1664525u + 1013904223u;
            in[j] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        }
        if (a.readsAheadOf(n)) {
            ++readAheadRuns;
            a.readAhead(n, peeks);
            a.writeAhead(n, in, peeks, peeked);
        } else {
            for (int32_t j = 0; j < n; ++j) {
                peeks[j] = peeked ? a.nextOutLinear() : 0.0f;
                const float out = a.tickLinear(in[j]);
                peeks[j] = peeked ? peeks[j] : out;
            }
            peeks[n] = peeked ? a.nextOutLinear() : 0.0f;
        }
        for (int32_t j = 0; j < n; ++j) {
            if (peeked) {
                ASSERT_EQ(s.nextOutLinear(), peeks[j]) << block << "/" << j;
                s.tickLinear(in[j]);
            } else {
                ASSERT_EQ(s.tickLinear(in[j]), peeks[j]) << block << "/" << j;
            }
        }
        if (peeked) {
            ASSERT_EQ(s.nextOutLinear(), peeks[n]) << block;
        }
        ASSERT_EQ(s.getLastOutput(), a.getLastOutput()) << block;
        ASSERT_EQ(s.getReadIndex(), a.getReadIndex()) << block;
        ASSERT_EQ(s.getWriteIndex(), a.getWriteIndex()) << block;
    }
    EXPECT_GT(readAheadRuns, 50);
}

INSTANTIATE_TEST_SUITE_P(PeekedAndTickedAlone, DelayLineReadAhead, ::testing::Bool());

// A modulated line (a new delay before every tick, as the chorus runs it) gives the same outputs and ends
// in the same state whether a run is moved ahead or stepped, for delays swept around centres from 3 to
// 38 samples (the short ones cannot move ahead), whole ones among them, and for a run that starts on a peek
// cached before it.
TEST(DelayLineBlocks, MovingAheadMatchesSteppingAModulatedLine) {
    DelayLine stepped(5.0f, 40);
    DelayLine ahead(5.0f, 40);
    uint32_t seed = 5;
    int movedRuns = 0;
    for (int block = 0; block < 300; ++block) {
        DelayLine& s = stepped;
        DelayLine& a = ahead;
        seed = seed * 1664525u + 1013904223u;
        if (block % 7 == 0) { // a peek cached before the run
            ASSERT_EQ(s.nextOutLinear(), a.nextOutLinear());
        }
        const int32_t n = 1 + static_cast<int32_t>((seed >> 8) % 21);
        const float centre = 3.0f + static_cast<float>((seed >> 16) % 36);
        float delays[21];
        float in[21];
        float out[21];
        for (int32_t j = 0; j < n; ++j) {
            seed = seed * 1664525u + 1013904223u;
            delays[j] = centre + static_cast<float>(seed >> 8) / 16777216.0f * 2.0f - 1.0f;
            if (block % 5 == 0) { // whole delays: a read position with no fraction
                delays[j] = std::floor(delays[j]);
            }
            in[j] = static_cast<float>(seed >> 12) / 1048576.0f - 0.5f;
        }
        if (a.movesAheadOf(delays, n)) {
            ++movedRuns;
            a.moveAhead(delays, n, out);
            a.writeMoved(n, in);
        } else {
            for (int32_t j = 0; j < n; ++j) {
                a.setDelay(delays[j]);
                out[j] = a.tickLinear(in[j]);
            }
        }
        for (int32_t j = 0; j < n; ++j) {
            s.setDelay(delays[j]);
            ASSERT_EQ(s.tickLinear(in[j]), out[j]) << block << "/" << j;
        }
        ASSERT_EQ(stepped.getReadIndex(), ahead.getReadIndex()) << block;
        ASSERT_EQ(stepped.getWriteIndex(), ahead.getWriteIndex()) << block;
        ASSERT_EQ(stepped.getFraction(), ahead.getFraction()) << block;
        ASSERT_EQ(stepped.getAllpassCoefficient(), ahead.getAllpassCoefficient()) << block;
        ASSERT_EQ(stepped.getDelay(), ahead.getDelay()) << block;
        ASSERT_EQ(stepped.getLastOutput(), ahead.getLastOutput()) << block;
    }
    EXPECT_GT(movedRuns, 50);
}

// Setting the delay a line already has is skipped. Against a line whose read position is placed anew before
// every tick (by way of another delay), the outputs and positions must agree bit for bit, through wraps,
// clamped, negative, NaN and nearly whole delays, and after a modulated run moved the read position.
TEST(DelayLineBlocks, SettingTheSameDelayAgainKeepsThePositionAFreshPlacementGives) {
    const float nan = std::nanf("");
    for (const float d : {7.0f, 12.25f, 0.99999994f, 150.0f, -3.0f, nan}) {
        DelayLine kept(d, 100);
        DelayLine placed(d, 100);
        for (int n = 0; n < 260; ++n) { // wraps the 101 slots twice
            if (n == 130) {             // a modulated run moves the read position away from d
                const float delays[3] = {40.5f, 41.0f, 41.5f};
                float in[3] = {1.0f, 2.0f, 3.0f};
                float out[3];
                for (DelayLine* line : {&kept, &placed}) {
                    ASSERT_TRUE(line->movesAheadOf(delays, 3));
                    line->moveAhead(delays, 3, out);
                    line->writeMoved(3, in);
                }
            }
            kept.setDelay(d);
            placed.setDelay(1.5f);
            placed.setDelay(d);
            ASSERT_EQ(kept.getReadIndex(), placed.getReadIndex()) << d << " at " << n;
            ASSERT_EQ(kept.getFraction(), placed.getFraction()) << d << " at " << n;
            ASSERT_EQ(kept.tickLinear(ramp(n)), placed.tickLinear(ramp(n))) << d << " at " << n;
        }
    }
}

} // namespace
} // namespace solvantis
