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

TEST(InstrumentParameterTable, DefaultsAreTheNearestFloats) {
    const SynthParams p = SynthParams{};
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

    // Programs and live values hold the values in index order: index i is the i-th 32-bit word.
    uint32_t words[kNumParameters];
    static_assert(sizeof words == sizeof p);
    std::memcpy(words, &p, sizeof p);
    for (int32_t i = 0; i < kNumParameters; ++i) {
        const float value = 100.0f + static_cast<float>(i);
        const bool integer = parameterTable[i].integerField != nullptr;
        EXPECT_EQ(words[i], integer ? static_cast<uint32_t>(value) : bitsOf(value)) << parameterTable[i].name;
    }
}

TEST(InstrumentParameterTable, OutOfRangeIndicesStoreNothingAndReadZero) {
    SynthParams p = SynthParams{};
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

using Kind = ParameterDisplay::Kind;
constexpr int32_t kFixingIndex = 10;
constexpr int32_t kDynaToneIndex = 11;

ParameterDisplay displayOf(int32_t index, float value) {
    SynthParams p = SynthParams{};
    storeParameter(p, index, value);
    return describeParameterDisplay(p, index);
}

TEST(InstrumentParameterTable, DisplaySpecialTexts) {
    EXPECT_STREQ(displayOf(kFixingIndex, 0.005f).text, "Min");
    EXPECT_STREQ(displayOf(kFixingIndex, 0.995f).text, "Max");
    EXPECT_STREQ(displayOf(kFixingIndex, -3.0f).text, "Min");
    EXPECT_STREQ(displayOf(kFixingIndex, 7.0f).text, "Max");
    EXPECT_STREQ(displayOf(kDynaToneIndex, 0.0f).text, "OFF");
    EXPECT_STREQ(displayOf(kDynaToneIndex, -0.0f).text, "OFF");
    const ParameterDisplay tiny = displayOf(kDynaToneIndex, 0.0001f);
    EXPECT_EQ(tiny.kind, Kind::Number);
    EXPECT_GT(tiny.number, 10.0f);
    EXPECT_LT(tiny.number, 10.001f);
}

TEST(InstrumentParameterTable, FixingAtItsBoundsShowsTheNumber) {
    const ParameterDisplay low = displayOf(kFixingIndex, 0.01f);
    const ParameterDisplay high = displayOf(kFixingIndex, 0.99f);
    ASSERT_EQ(low.kind, Kind::Number);
    ASSERT_EQ(high.kind, Kind::Number);
    EXPECT_NEAR(low.number, 440.8f, 0.001f);
    EXPECT_NEAR(high.number, 8280.8f, 0.01f);
    EXPECT_EQ(displayOf(kFixingIndex, std::nextafter(0.01f, 0.0f)).kind, Kind::Text);
    EXPECT_EQ(displayOf(kFixingIndex, std::nextafter(0.99f, 1.0f)).kind, Kind::Text);
}

TEST(InstrumentProgram, DefaultProgramIsBasicWithTheDefaults) {
    const SynthProgram program;
    EXPECT_STREQ(program.name, "Basic");
    const SynthParams defaults = SynthParams{};
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
