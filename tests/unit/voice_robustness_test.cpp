// The voice in the hands of real hosts: any block size, any automation, any accepted sample rate, and
// hostile values, which must never make it run away or leave it unable to play the next note.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "dsp/delay_line.h"
#include "phrase_support.h"

namespace solvantis::testing {
namespace {

// The loudest random-automation sample measured 1.4 (+3 dBFS); before the limiter held levels beyond its
// table, a resonant tone filter reached 1217 (+62 dBFS). +24 dBFS is far beyond any legal setting.
constexpr float automationPeak = 16.0f;
// With every tone control at its top, a velocity-127 note reaches about 1000 at 16 kHz and 5e4 at 8 kHz;
// the render's own guard silences anything beyond 1e5.
constexpr float extremePeak = 1.0e5f;

float* fieldOf(SynthParams& p, int32_t index) {
    float* fields[] = {&p.Exciter, &p.Modulation, &p.TovFilter, &p.Pick,      &p.Attack,
                       &p.Decay,   &p.Sustain,    &p.Release,   &p.ADSRCurve, &p.Volume,
                       &p.Fixing,  &p.DynaTone,   &p.Distorter, &p.Overdrive, &p.Chorus,
                       nullptr,    &p.Velocity,   &p.ToneRama,  &p.PowerChord};
    return fields[index];
}

// Releases and new notes that a host may cut anywhere: the same key again, other keys, overlapping and
// released a few frames apart, with Legato on (first half) and off (second half).
Phrase keyJuggling(int32_t frames) {
    Phrase p;
    const int32_t half = frames / 2;
    for (int32_t base : {0, half}) {
        p.on(base + 100, 48).off(base + 6000, 48).on(base + 6003, 48);      // same key, 3 frames later
        p.on(base + 12000, 55).off(base + 12002, 48).off(base + 12005, 55); // overlap, both released
        p.on(base + 12008, 52).on(base + 18000, 60).off(base + 18001, 60);  // a slide that must fall back
        p.on(base + 18003, 57).off(base + 24000, 52).off(base + 24001, 57);
        p.on(base + 24004, 45).off(base + 30000, 45);
    }
    p.length = frames;
    return p;
}

TEST(VoiceRobustness, TheSongDoesNotDependOnTheHostsBlockSize) {
    const int32_t frames = 2 * 36000;
    const Phrase phrase = keyJuggling(frames);
    std::vector<float> reference;
    {
        VoiceRig rig;
        playPhrase(rig, phrase, 512, reference, nullptr,
                   [&](int32_t start) { rig.params.Legato = start < frames / 2; });
    }
    // The 21-sample control clock restarts with every block, so the noise hold and the tone sweep are
    // sampled at other frames: in 1024-frame windows that moves the level by at most 0.9 dB here. A lost
    // pluck or a missed slide moves it by 6 dB or more.
    for (int32_t block : {1, 16, 64, 4096}) {
        VoiceRig rig;
        std::vector<float> out;
        playPhrase(rig, phrase, block, out, nullptr,
                   [&](int32_t start) { rig.params.Legato = start < frames / 2; });
        double worst = 0.0;
        for (size_t w = 0; w + 1024 <= out.size(); w += 1024) {
            const double ref = rmsDb(reference, w, w + 1024);
            if (ref > -60.0) {
                worst = std::fmax(worst, std::fabs(rmsDb(out, w, w + 1024) - ref));
            }
        }
        EXPECT_LT(worst, 1.5) << "block " << block;
    }
}

// Notes coming and going while every parameter jumps to a random value in 0..1 before each 32-frame block.
TEST(VoiceRobustness, RandomAutomationNeverRunsAway) {
    for (float rate : {44100.0f, 96000.0f}) {
        for (uint32_t seed : {1u, 2u, 3u, 4u}) {
            VoiceRig rig;
            rig.sampleRate = rate;
            std::mt19937 random(seed);
            std::uniform_real_distribution<float> unit(0.0f, 1.0f);
            Phrase phrase;
            for (int32_t f = 0; f < 6 * 44100; f += 20000) {
                const int32_t note = 30 + static_cast<int32_t>(random() % 60);
                phrase.on(f + static_cast<int32_t>(random() % 64), note,
                          1 + static_cast<int32_t>(random() % 127));
                phrase.off(f + 15000 + static_cast<int32_t>(random() % 15000), note);
            }
            phrase.length = 6 * 44100 + 30000;
            std::vector<float> left, right;
            float statePeak = 0.0f;
            float envelopePeak = 0.0f;
            playPhrase(rig, phrase, 32, left, &right, [&](int32_t) {
                for (int32_t i = 0; i < 19; ++i) {
                    if (float* field = fieldOf(rig.params, i)) {
                        *field = unit(random);
                    } else {
                        rig.params.Legato = unit(random) < 0.5f ? 0 : 1;
                    }
                }
                const EngineState& e = rig.state();
                for (float v :
                     {e.string.stringOutput, e.string.loopFilterState, e.tone.svfBand, e.tone.svfLow,
                      e.tone.toneLow1, e.tone.toneLow2, e.chorus.chorusOutLeft, e.lastVoiceOutput}) {
                    statePeak = std::fmax(statePeak, std::fabs(v));
                }
                envelopePeak = std::fmax(envelopePeak, e.envelope.envelopeLevel);
            });
            EXPECT_LE(std::fmax(peakOf(left), peakOf(right)), automationPeak) << rate << " Hz, seed " << seed;
            EXPECT_LE(envelopePeak, 1.0f) << rate << " Hz, seed " << seed;
            EXPECT_EQ(rig.state().runawayBlocks, 0u) << rate << " Hz, seed " << seed;
        }
    }
}

TEST(VoiceRobustness, LoweringSustainDuringAHeldNoteStaysBounded) {
    VoiceRig rig;
    rig.params.DynaTone = 0.97f;
    rig.params.Decay = 1.0f;
    rig.params.Sustain = 1.0f;
    Phrase phrase;
    phrase.on(0, 45, 127);
    phrase.length = 4 * 44100;
    std::vector<float> out;
    playPhrase(rig, phrase, 256, out, nullptr, [&](int32_t start) {
        if (start >= 22050) {
            rig.params.Sustain = 0.0f;
        }
    });
    EXPECT_LE(peakOf(out), 1.0f);
    EXPECT_LE(rig.state().envelope.envelopeLevel, 1.0f);
    EXPECT_EQ(rig.state().runawayBlocks, 0u);
}

TEST(VoiceRobustness, EveryAcceptedLowRateStaysBoundedAndSounds) {
    for (float rate = 8000.0f; rate <= 32000.0f; rate += 1000.0f) {
        for (float powerChord : {0.0f, 1.0f}) {
            VoiceRig rig;
            rig.sampleRate = rate;
            rig.params.DynaTone = 1.0f;
            rig.params.TovFilter = 1.0f;
            rig.params.PowerChord = powerChord;
            Phrase phrase;
            phrase.on(0, 40, 127)
                .off(static_cast<int32_t>(rate), 40)
                .on(static_cast<int32_t>(rate) + 10, 76, 127);
            phrase.length = static_cast<int32_t>(rate) * 3;
            std::vector<float> out;
            playPhrase(rig, phrase, 64, out);
            EXPECT_LE(peakOf(out), extremePeak) << rate << " Hz";
            EXPECT_GT(peakOf(out), 0.01f) << rate << " Hz";
            EXPECT_EQ(rig.state().runawayBlocks, 0u) << rate << " Hz";
        }
    }
}

// A hostile value on any parameter, then the default restored: the next note sounds and stays bounded,
// whether it comes at once or after a pause.
TEST(VoiceRobustness, AHostileValueRestoredLeavesTheNextNoteIntact) {
    const float hostile[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), 1e30f, -1e6f};
    for (int32_t index = 0; index < 19; ++index) {
        for (float value : hostile) {
            for (int32_t pause : {0, 256, 8192}) {
                VoiceRig rig;
                const SynthParams defaults = rig.params;
                if (float* field = fieldOf(rig.params, index)) {
                    *field = value;
                } else {
                    rig.params.Legato = value > 0.0f ? 1 : 0;
                }
                const int32_t noteAt = 4096 + pause;
                Phrase phrase;
                phrase.on(0, 50, 127).off(2048, 50).on(noteAt, 57, 110).off(noteAt + 8000, 57);
                phrase.length = noteAt + 8192;
                std::vector<float> out;
                playPhrase(rig, phrase, 32, out, nullptr, [&](int32_t start) {
                    if (start == 4096) {
                        rig.params = defaults;
                    }
                });
                const double level =
                    rmsDb(out, static_cast<size_t>(noteAt), static_cast<size_t>(noteAt) + 8000);
                const float peak = peakOf(std::vector<float>(out.begin() + noteAt, out.end()));
                EXPECT_GT(level, -30.0) << "parameter " << index << " = " << value << ", pause " << pause;
                EXPECT_LE(peak, automationPeak)
                    << "parameter " << index << " = " << value << ", pause " << pause;
            }
        }
    }
}

} // namespace
} // namespace solvantis::testing
