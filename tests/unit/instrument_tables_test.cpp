#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "instrument/gm_names.h"
#include "instrument/parameter_table.h"
#include "instrument/synth_program.h"

namespace solvantis {
namespace {

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

TEST(InstrumentParameterTable, NamesAndLabelsAsTheHostShowsThem) {
    const char* names[kNumParameters] = {"Exciter ", "Modulation ", "TovFilter",  "Pick",       "Attack",
                                         "Decay",    "Sustain",     "Release",    "ADSRCurve",  "Volume",
                                         "Fixing",   "DynaTone",    "Distorter ", "Overdrive ", "Chorus ",
                                         "Legato ",  "Velocity ",   "ToneRama",   "PowerChord"};
    for (int32_t i = 0; i < kNumParameters; ++i) {
        EXPECT_STREQ(parameterName(i), names[i]) << i;
        const std::string expectedLabel = i == 0 ? "Level" : i == 1 ? "Dirty" : i == 9 ? "dB" : "";
        EXPECT_EQ(std::string(parameterLabel(i)), expectedLabel) << i;
    }
    for (int32_t bad : {-1, 19, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(parameterName(bad), nullptr);
        EXPECT_EQ(parameterLabel(bad), nullptr);
    }
}

TEST(InstrumentParameterTable, DefaultsAreTheNearestFloats) {
    const SynthParams p = defaultParameters();
    const float expected[kNumParameters] = {0.9f,   0.4f, 0.3f, 0.3f, 0.14f, 0.9f, 0.8f, 0.1f,  0.3f, 0.5f,
                                            0.489f, 0.4f, 0.0f, 0.4f, 0.0f,  1.0f, 0.5f, 0.14f, 0.0f};
    for (int32_t i = 0; i < kNumParameters; ++i)
        EXPECT_EQ(bitsOf(readParameter(p, i)), bitsOf(expected[i])) << i;
    EXPECT_EQ(bitsOf(p.Fixing), 0x3EFA5E35u);
    EXPECT_EQ(p.Legato, 1);
}

TEST(InstrumentParameterTable, IndicesMapOntoTheNamedFields) {
    SynthParams p{};
    for (int32_t i = 0; i < kNumParameters; ++i)
        storeParameter(p, i, 100.0f + static_cast<float>(i));
    EXPECT_EQ(p.Exciter, 100.0f);
    EXPECT_EQ(p.Pick, 103.0f);
    EXPECT_EQ(p.Volume, 109.0f);
    EXPECT_EQ(p.Fixing, 110.0f);
    EXPECT_EQ(p.Chorus, 114.0f);
    EXPECT_EQ(p.Legato, 115);
    EXPECT_EQ(p.Velocity, 116.0f);
    EXPECT_EQ(p.PowerChord, 118.0f);
    for (int32_t i = 0; i < kNumParameters; ++i)
        EXPECT_EQ(readParameter(p, i), 100.0f + static_cast<float>(i)) << i;
}

TEST(InstrumentParameterTable, OutOfRangeIndicesStoreNothingAndReadZero) {
    SynthParams p = defaultParameters();
    const SynthParams before = p;
    for (int32_t bad : {-1, 19, 1000, INT32_MIN, INT32_MAX}) {
        storeParameter(p, bad, 0.25f);
        EXPECT_EQ(readParameter(p, bad), 0.0f);
    }
    EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
}

TEST(InstrumentParameterTable, LegatoTruncatesTowardZeroAndNeverOverflows) {
    EXPECT_EQ(legatoFromHostValue(0.0f), 0);
    EXPECT_EQ(legatoFromHostValue(0.99f), 0);
    EXPECT_EQ(legatoFromHostValue(std::nextafter(1.0f, 0.0f)), 0);
    EXPECT_EQ(legatoFromHostValue(1.0f), 1);
    EXPECT_EQ(legatoFromHostValue(1.5f), 1);
    EXPECT_EQ(legatoFromHostValue(-0.7f), 0);
    EXPECT_EQ(legatoFromHostValue(-1.5f), -1);
    EXPECT_EQ(legatoFromHostValue(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(legatoFromHostValue(std::numeric_limits<float>::infinity()), INT32_MAX);
    EXPECT_EQ(legatoFromHostValue(-std::numeric_limits<float>::infinity()), INT32_MIN);
    EXPECT_EQ(legatoFromHostValue(3e9f), INT32_MAX);
    EXPECT_EQ(legatoFromHostValue(-2147483648.0f), INT32_MIN);
    EXPECT_EQ(legatoFromHostValue(2147483520.0f), 2147483520);
}

TEST(InstrumentParameterTable, UnusualHostValuesAreStoredAsSent) {
    SynthParams p = defaultParameters();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    storeParameter(p, kVolume, 1.5f);
    storeParameter(p, kPick, nan);
    storeParameter(p, kFixing, -inf);
    storeParameter(p, kChorus, inf);
    storeParameter(p, kExciter, -0.0f);
    EXPECT_EQ(readParameter(p, kVolume), 1.5f);
    EXPECT_EQ(bitsOf(readParameter(p, kPick)), bitsOf(nan));
    EXPECT_EQ(readParameter(p, kFixing), -inf);
    EXPECT_EQ(readParameter(p, kChorus), inf);
    EXPECT_EQ(bitsOf(readParameter(p, kExciter)), 0x80000000u);
}

using Kind = ParameterDisplay::Kind;

ParameterDisplay displayOf(int32_t index, float value) {
    SynthParams p = defaultParameters();
    storeParameter(p, index, value);
    return describeParameterDisplay(p, index);
}

TEST(InstrumentParameterTable, DisplayFormulas) {
    EXPECT_EQ(displayOf(kExciter, 0.9f).kind, Kind::Number);
    EXPECT_EQ(displayOf(kExciter, 0.9f).number, 0.9f);
    EXPECT_EQ(displayOf(kModulation, 0.25f).number, 0.25f);
    EXPECT_EQ(displayOf(kADSRCurve, 0.0f).number, 1.0f);
    EXPECT_EQ(displayOf(kADSRCurve, 0.5f).number, 0.0f);
    EXPECT_EQ(displayOf(kADSRCurve, 1.0f).number, -1.0f);
    EXPECT_EQ(displayOf(kToneRama, 0.14f).number, 0.72f);
    EXPECT_EQ(displayOf(kVolume, 0.5f).kind, Kind::Decibels);
    EXPECT_EQ(displayOf(kVolume, 0.5f).number, 0.5f);
    EXPECT_EQ(displayOf(kDynaTone, 0.4f).number, 80.4f);
    EXPECT_EQ(displayOf(kDynaTone, 1.0f).number, 450.0f);
    EXPECT_EQ(displayOf(kFixing, 0.5f).number, 2440.0f);
    // The default Fixing is evaluated in double precision before rounding: 2352.968.., not 2352.9677..
    EXPECT_GE(displayOf(kFixing, 0.489f).number, 2352.968f);
}

TEST(InstrumentParameterTable, DisplaySpecialTexts) {
    EXPECT_STREQ(displayOf(kFixing, 0.005f).text, "Min");
    EXPECT_STREQ(displayOf(kFixing, 0.995f).text, "Max");
    EXPECT_STREQ(displayOf(kFixing, -3.0f).text, "Min");
    EXPECT_STREQ(displayOf(kFixing, 7.0f).text, "Max");
    EXPECT_STREQ(displayOf(kDynaTone, 0.0f).text, "OFF");
    EXPECT_STREQ(displayOf(kDynaTone, -0.0f).text, "OFF");
    const ParameterDisplay tiny = displayOf(kDynaTone, 0.0001f);
    EXPECT_EQ(tiny.kind, Kind::Number);
    EXPECT_GT(tiny.number, 10.0f);
    EXPECT_LT(tiny.number, 10.001f);
}

TEST(InstrumentParameterTable, FixingAtItsBoundsShowsTheNumber) {
    const ParameterDisplay low = displayOf(kFixing, 0.01f);
    const ParameterDisplay high = displayOf(kFixing, 0.99f);
    ASSERT_EQ(low.kind, Kind::Number);
    ASSERT_EQ(high.kind, Kind::Number);
    EXPECT_NEAR(low.number, 440.8f, 0.001f);
    EXPECT_NEAR(high.number, 8280.8f, 0.01f);
    EXPECT_EQ(displayOf(kFixing, std::nextafter(0.01f, 0.0f)).kind, Kind::Text);
    EXPECT_EQ(displayOf(kFixing, std::nextafter(0.99f, 1.0f)).kind, Kind::Text);
}

TEST(InstrumentParameterTable, ParametersWithoutDisplayShowNothing) {
    for (int32_t i : {2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 18, -1, 19, INT32_MIN})
        EXPECT_EQ(displayOf(i, 0.7f).kind, Kind::Empty) << i;
}

TEST(InstrumentProgram, DefaultProgramIsBasicWithTheDefaults) {
    const SynthProgram program;
    EXPECT_STREQ(program.name, "Basic");
    const SynthParams defaults = defaultParameters();
    EXPECT_EQ(std::memcmp(&program.values, &defaults, sizeof defaults), 0);
    for (std::size_t i = 6; i < SynthProgram::kNameSize; ++i)
        EXPECT_EQ(program.name[i], '\0');
}

TEST(InstrumentProgram, NamesAreCutAt23Characters) {
    SynthProgram program;
    program.setName("abcdefghijklmnopqrstuvwxyz0123");
    EXPECT_STREQ(program.name, "abcdefghijklmnopqrstuvw");
    program.setName("");
    EXPECT_STREQ(program.name, "");
    program.setName(nullptr);
    EXPECT_STREQ(program.name, "");

    // A text without any terminator: only its first 23 bytes are read.
    char unterminated[23];
    std::memset(unterminated, 'x', sizeof unterminated);
    program.setName(unterminated);
    EXPECT_EQ(std::string(program.name), std::string(23, 'x'));
}

TEST(InstrumentGmNames, ProgramAndCategoryTables) {
    EXPECT_STREQ(gmProgramNames[0], "Acoustic Grand Piano");
    EXPECT_STREQ(gmProgramNames[7], "Clavi");
    EXPECT_STREQ(gmProgramNames[8], "Celesta");
    EXPECT_STREQ(gmProgramNames[31], "Guitar harmonics");
    EXPECT_STREQ(gmProgramNames[87], "Lead 8 (bass + lead)");
    EXPECT_STREQ(gmProgramNames[109], "Bag pipe");
    EXPECT_STREQ(gmProgramNames[127], "Gunshot");
    std::size_t longest = 0;
    for (const char* name : gmProgramNames) {
        ASSERT_NE(name, nullptr);
        longest = std::max(longest, std::strlen(name));
    }
    EXPECT_EQ(longest, 23u);
    EXPECT_STREQ(gmCategoryNames[11], "SynthPad");
    EXPECT_STREQ(gmCategoryNames[12], "Synth Effects");
    EXPECT_STREQ(gmCategoryNames[16], "DrumSets");
    for (const char* name : gmCategoryNames)
        ASSERT_NE(name, nullptr);
    EXPECT_EQ(gmCategoryFirstIndex[16], 128);
}

TEST(InstrumentGmNames, CategoryOfEveryProgramIsItsEighth) {
    for (int32_t p = 0; p < kGmProgramCount; ++p)
        EXPECT_EQ(gmCategoryOfProgram(p), p / 8) << p;
    EXPECT_EQ(gmCategoryOfProgram(-1), -1);
    EXPECT_EQ(gmCategoryOfProgram(128), -1);
}

} // namespace
} // namespace solvantis
