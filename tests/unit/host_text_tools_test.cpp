// The value-to-text tools: exact 8-character texts, truncated digits, the out-of-range texts.
#include "host/text_tools.h"
#include "host_test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>

using namespace solvantis;
using namespace solvantis::hosttest;

namespace {

std::string floatText(float value) {
    char text[16];
    std::fill(text, text + sizeof text, 'x');
    formatFloat8(value, text);
    return text;
}

std::string longText(int32_t value) {
    char text[16];
    std::fill(text, text + sizeof text, 'x');
    formatLong8(value, text);
    return text;
}

// An object whose sample rate and float text are its own, to show the other tools go through them.
class RateEffect : public SpyEffect {
public:
    float rate = 44100.0f;
    float getSampleRate() override { return rate; }
};

class BracketEffect : public SpyEffect {
public:
    void float2string(float, char* text) override { std::strcpy(text, "[]"); }
};

} // namespace

TEST(TextTools, FloatTextsAreEightTruncatedCharacters) {
    const std::pair<float, const char*> cases[] = {
        {0.0f, "0.000000"},      {0.5f, "0.500000"},      {0.7f, "0.699999"},        {-0.5f, "-0.50000"},
        {-3.25f, "-3.25000"},    {440.0f, "440.0000"},    {1234567.0f, "1234567."},  {100000000.0f, "Huge!"},
        {-10000000.0f, "Huge!"}, {99999999.0f, "Huge!"},  {-9999999.0f, "-9999999"}, {-0.0f, "0.000000"},
        {0.000001f, "0.000000"}, {9.999999f, "9.999999"}, {-123456.0f, "-123456."},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(floatText(value), expected) << value;
    }
}

TEST(TextTools, LongIntegersKeepAllTheirDigits) {
    // Too long for the point to fit: the integer itself, not its lower digits.
    EXPECT_EQ(floatText(12345678.0f), "12345678");
    EXPECT_EQ(floatText(10000000.0f), "10000000");
    EXPECT_EQ(floatText(99999992.0f), "99999992");
    EXPECT_EQ(floatText(-1234567.0f), "-1234567");
    EXPECT_EQ(floatText(-1000000.0f), "-1000000");
}

TEST(TextTools, ValuesWithoutANumberAreOutOfRange) {
    EXPECT_EQ(floatText(std::numeric_limits<float>::quiet_NaN()), "Huge!");
    EXPECT_EQ(floatText(std::numeric_limits<float>::infinity()), "Huge!");
    EXPECT_EQ(floatText(-std::numeric_limits<float>::infinity()), "Huge!");
    formatFloat8(1.0f, nullptr);
    formatLong8(1, nullptr);
}

TEST(TextTools, IntegerTexts) {
    EXPECT_EQ(longText(0), "      0");
    EXPECT_EQ(longText(-5), "     -5");
    EXPECT_EQ(longText(12345678), "12345678");
    EXPECT_EQ(longText(99999999), "99999999");
    EXPECT_EQ(longText(100000000), "Huge!");
    EXPECT_EQ(longText(-12345678), "-1234567");
    EXPECT_EQ(longText(std::numeric_limits<int32_t>::min()), "-2147483");
}

TEST(TextTools, LevelFrequencyAndTimeTextsThroughTheObject) {
    RateEffect effect;
    char text[16];
    effect.dB2string(1.0f, text);
    EXPECT_STREQ(text, "0.000000");
    effect.dB2string(0.5f, text);
    EXPECT_STREQ(text, "-6.02059");
    effect.dB2string(0.0f, text);
    EXPECT_STREQ(text, "-oo");
    effect.dB2string(-1.0f, text);
    EXPECT_STREQ(text, "-oo");
    effect.Hz2string(100.0f, text);
    EXPECT_STREQ(text, "441.0000");
    effect.Hz2string(0.0f, text);
    EXPECT_STREQ(text, "0.000000");
    effect.ms2string(441.0f, text);
    EXPECT_STREQ(text, "10.00000");
    effect.long2string(42, text);
    EXPECT_STREQ(text, "     42");
    effect.rate = 48000.0f;
    effect.Hz2string(100.0f, text);
    EXPECT_STREQ(text, "480.0000") << "the rate comes through getSampleRate";
    effect.ms2string(48.0f, text);
    EXPECT_STREQ(text, "1.000000");
}

TEST(TextTools, DerivedTextsUseTheObjectsFloatText) {
    BracketEffect effect;
    char text[16];
    for (auto tool : {&EffectBase::dB2string, &EffectBase::Hz2string, &EffectBase::ms2string}) {
        std::strcpy(text, "junk");
        (effect.*tool)(2.0f, text);
        EXPECT_STREQ(text, "[]");
    }
}
