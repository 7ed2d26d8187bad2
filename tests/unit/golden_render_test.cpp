// Golden renders: a handful of phrases that together use every stage, each held to a stored excerpt of its
// own output. A change in rounding passes; a wrong constant, sign or choice anywhere in the voice does not.
//
// To record them anew after a deliberate change of sound: SOLVANTIS_RECORD_GOLDEN=1 unit_tests
// --gtest_filter='GoldenRender.*', then look at what changed before committing tests/golden/.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dsp/math_functions.h"
#include "math_path_switch.h"
#include "phrase_support.h"

namespace solvantis::testing {
namespace {

// Every 64th frame of both channels is stored, with seven significant digits.
constexpr size_t stride = 64;
// A rounding change (the envelope's pow taken in double precision) keeps every excerpt near 140 dB; each of
// the slips this guards against (a wrong constant, sign or key choice) brings some phrase to 47 dB or less.
constexpr double minimumSnrDb = 60.0;

struct GoldenCase {
    const char* name;
    float sampleRate;
    int32_t block;
    void (*setUp)(SynthParams&);
    Phrase phrase;
};

// Single notes with releases and re-plucks, the same key again and a lower one.
Phrase plainNotes() {
    Phrase p;
    p.on(100, 52, 100).off(20000, 52).on(22050, 52, 60).off(40000, 52).on(44100, 40, 127).off(70000, 40);
    p.length = 88200;
    return p;
}

// A legato run with falls back to held keys, a bend up and down, and the modulation wheel.
Phrase legatoBendsWheel() {
    Phrase p;
    p.on(0, 45, 110).on(8000, 48).on(12000, 52).off(16000, 52).off(20000, 48).bend(24000, 12000);
    p.bend(30000, 3000).bend(36000, 8192).controller(38000, 1, 40).on(42000, 57, 90).off(52000, 57);
    p.controller(56000, 1, 127).off(60000, 45).on(64000, 50, 127).off(80000, 50);
    p.length = 88200;
    return p;
}

// Hard plucks: enough to drive the two strings of a power chord past their limiter.
Phrase hardPlucks() {
    Phrase p;
    p.on(0, 40, 127).off(30000, 40).on(33000, 47, 127).on(50000, 43, 127).off(70000, 47).off(70010, 43);
    p.length = 88200;
    return p;
}

const std::vector<GoldenCase>& goldenCases() {
    static const std::vector<GoldenCase> cases = {
        {"default", 44100.0f, 512, [](SynthParams&) {}, plainNotes()},
        {"legato_bends_wheel", 44100.0f, 37, [](SynthParams&) {}, legatoBendsWheel()},
        {"legato_off_shape", 44100.0f, 512,
         [](SynthParams& p) {
             p.Legato = 0;
             p.ADSRCurve = 0.8f;
             p.Attack = 0.3f;
             p.Sustain = 0.3f;
             p.Release = 0.4f;
             p.Velocity = 1.0f;
         },
         legatoBendsWheel()},
        {"power_chord", 44100.0f, 512,
         [](SynthParams& p) {
             p.PowerChord = 1.0f;
             p.Exciter = 1.0f;
         },
         hardPlucks()},
        {"distorter_overdrive", 44100.0f, 1,
         [](SynthParams& p) {
             p.Distorter = 1.0f;
             p.Overdrive = 1.0f;
             p.Modulation = 1.0f;
         },
         plainNotes()},
        {"chorus_48k", 48000.0f, 512,
         [](SynthParams& p) {
             p.Chorus = 1.0f;
             p.Pick = 0.8f;
             p.TovFilter = 0.9f;
         },
         legatoBendsWheel()},
        {"dynatone_96k", 96000.0f, 512,
         [](SynthParams& p) {
             p.DynaTone = 0.9f;
             p.ToneRama = 0.6f;
             p.Fixing = 0.8f;
         },
         hardPlucks()},
    };
    return cases;
}

std::string goldenPath(const char* name) {
    return std::string(SOLVANTIS_GOLDEN_DIR) + "/" + name + ".txt";
}

void excerpt(const GoldenCase& c, std::vector<float>& left, std::vector<float>& right) {
    VoiceRig rig;
    rig.sampleRate = c.sampleRate;
    c.setUp(rig.params);
    std::vector<float> l, r;
    playPhrase(rig, c.phrase, c.block, l, &r);
    // SOLVANTIS_DUMP_GOLDEN=DIR writes each whole phrase there (left then right, 32-bit floats), for
    // scripts/compare-renders --raw to compare two builds sample by sample.
    if (const char* dir = std::getenv("SOLVANTIS_DUMP_GOLDEN")) {
        if (std::FILE* f = std::fopen((std::string(dir) + "/" + c.name + ".f32").c_str(), "wb")) {
            std::fwrite(l.data(), sizeof(float), l.size(), f);
            std::fwrite(r.data(), sizeof(float), r.size(), f);
            std::fclose(f);
        }
    }
    left.clear();
    right.clear();
    for (size_t i = 0; i < l.size(); i += stride) {
        left.push_back(l[i]);
        right.push_back(r[i]);
    }
}

double snrDb(const std::vector<float>& reference, const std::vector<float>& actual) {
    double signal = 0.0, noise = 0.0;
    for (size_t i = 0; i < reference.size(); ++i) {
        const double d = static_cast<double>(actual[i]) - reference[i];
        signal += static_cast<double>(reference[i]) * reference[i];
        noise += d * d;
    }
    return 10.0 * std::log10((signal + 1e-30) / (noise + 1e-30));
}

TEST(GoldenRender, EveryPhraseMatchesItsRecordedExcerpt) {
    const bool record = std::getenv("SOLVANTIS_RECORD_GOLDEN") != nullptr;
    for (const GoldenCase& c : goldenCases()) {
        std::vector<float> left, right;
        excerpt(c, left, right);
        if (record) {
            std::FILE* f = std::fopen(goldenPath(c.name).c_str(), "w");
            ASSERT_NE(f, nullptr) << goldenPath(c.name);
            for (size_t i = 0; i < left.size(); ++i) {
                std::fprintf(f, "%.7g %.7g\n", static_cast<double>(left[i]), static_cast<double>(right[i]));
            }
            std::fclose(f);
            continue;
        }
        std::ifstream in(goldenPath(c.name));
        ASSERT_TRUE(in) << "missing " << goldenPath(c.name);
        std::vector<float> storedLeft, storedRight;
        float a, b;
        while (in >> a >> b) {
            storedLeft.push_back(a);
            storedRight.push_back(b);
        }
        ASSERT_EQ(storedLeft.size(), left.size()) << c.name;
        EXPECT_GT(rmsDb(storedLeft, 0, storedLeft.size()), -40.0) << c.name << " is a phrase that sounds";
        EXPECT_GE(snrDb(storedLeft, left), minimumSnrDb) << c.name << ", left";
        EXPECT_GE(snrDb(storedRight, right), minimumSnrDb) << c.name << ", right";
        std::printf("%-22s SNR %.1f / %.1f dB\n", c.name, snrDb(storedLeft, left), snrDb(storedRight, right));
    }
}

// The render for processors with AVX2 and the one for every processor give the same bits on every phrase
// (the math's software path is forced along with the plain render, and gives the same bits too).
TEST(GoldenRender, TheRenderForEveryProcessorGivesTheSameBits) {
    if (!math::detail::usesHardwareFma()) {
        GTEST_SKIP() << "this processor has no AVX2 and FMA: the render has one path only";
    }
    auto render = [](const GoldenCase& c, bool plain, std::vector<float>& l, std::vector<float>& r) {
        math::testing::forceSoftwareFma(plain);
        VoiceRig rig;
        rig.sampleRate = c.sampleRate;
        c.setUp(rig.params);
        playPhrase(rig, c.phrase, c.block, l, &r);
        math::testing::forceSoftwareFma(false);
    };
    for (const GoldenCase& c : goldenCases()) {
        std::vector<float> wideLeft, wideRight, plainLeft, plainRight;
        render(c, false, wideLeft, wideRight);
        render(c, true, plainLeft, plainRight);
        ASSERT_EQ(wideLeft.size(), plainLeft.size()) << c.name;
        EXPECT_EQ(std::memcmp(wideLeft.data(), plainLeft.data(), wideLeft.size() * sizeof(float)), 0)
            << c.name;
        EXPECT_EQ(std::memcmp(wideRight.data(), plainRight.data(), wideRight.size() * sizeof(float)), 0)
            << c.name;
    }
}

} // namespace
} // namespace solvantis::testing
