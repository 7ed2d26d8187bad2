// The string as a musician hears it: each key at its pitch at every rate (the loops' own phase delays taken
// off the lines, lines long enough for the lowest keys), the same level at every rate, and no offset that
// grows while a high key is held.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "voice_test_support.h"

namespace solvantis::testing {
namespace {

constexpr double pi = 3.14159265358979323846;

// Note `note` at velocity 100 from the first frame, held for `seconds`: the left channel.
std::vector<float> heldNote(float rate, int note, double seconds) {
    VoiceRig rig;
    rig.sampleRate = rate;
    MidiBlock on;
    on.noteOn(0, note, 100);
    rig.send(on);
    return rig.play(static_cast<int32_t>(seconds * rate));
}

// The frequency of the largest peak of the Hann-windowed spectrum within a semitone of `guess`, found by
// golden-section search on the exact transform of x[from, from + n).
double peakFrequency(const std::vector<float>& x, size_t from, size_t n, double rate, double guess) {
    std::vector<double> w(n);
    for (size_t i = 0; i < n; ++i) {
        w[i] =
            (0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(i) / static_cast<double>(n))) * x[from + i];
    }
    const auto power = [&](double f) {
        const double c = 2.0 * std::cos(2.0 * pi * f / rate);
        double s1 = 0.0, s2 = 0.0;
        for (double v : w) {
            const double s0 = v + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return s1 * s1 + s2 * s2 - c * s1 * s2;
    };
    double a = guess / 1.0595, b = guess * 1.0595;
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    for (int i = 0; i < 60; ++i) {
        const double c = b - g * (b - a), d = a + g * (b - a);
        if (power(c) > power(d)) {
            b = d;
        } else {
            a = c;
        }
    }
    return 0.5 * (a + b);
}

double rmsDb(const std::vector<float>& x, size_t from, size_t to) {
    double s = 0.0;
    for (size_t i = from; i < to; ++i) {
        s += static_cast<double>(x[i]) * x[i];
    }
    return 10.0 * std::log10(s / static_cast<double>(to - from));
}

// The sustained part (0.6 to 1.6 s) of each key sounds an octave below the key, within 1.5 cents: a loop
// whose filter delay is not taken off rings 3 to 30 cents flat, a line too short for a low key at a high
// rate rings hundreds of cents sharp.
TEST(Tuning, EveryKeyAtItsPitchAtEveryRate) {
    const struct {
        int note;
        float rate;
    } cases[] = {{45, 44100.0f}, {64, 48000.0f}, {81, 96000.0f}, {28, 96000.0f}, {36, 192000.0f}};
    for (const auto& c : cases) {
        const std::vector<float> x = heldNote(c.rate, c.note, 1.6);
        const double want = 0.5 * 440.0 * std::pow(2.0, (c.note - 69) / 12.0);
        const double got =
            peakFrequency(x, static_cast<size_t>(0.6 * c.rate), static_cast<size_t>(c.rate), c.rate, want);
        EXPECT_NEAR(1200.0 * std::log2(got / want), 0.0, 1.5) << "note " << c.note << " at " << c.rate;
    }
}

// A note's first second is as loud at 96 kHz as at 44.1 kHz (lengths counted in samples at 44.1 kHz made a
// note 4 to 7 dB quieter there), and a high key held for three seconds ends with no offset (it grew to 0.35).
TEST(Tuning, OneLevelAtEveryRateAndNoOffsetAtTheTop) {
    for (int note : {52, 76}) {
        const std::vector<float> at44 = heldNote(44100.0f, note, 1.0);
        const std::vector<float> at96 = heldNote(96000.0f, note, 1.0);
        EXPECT_NEAR(rmsDb(at96, 0, at96.size()), rmsDb(at44, 0, at44.size()), 1.0) << "note " << note;
    }
    for (int note : {97, 100}) {
        const std::vector<float> x = heldNote(48000.0f, note, 3.0);
        double mean = 0.0;
        for (size_t i = x.size() - 12000; i < x.size(); ++i) {
            mean += x[i];
        }
        EXPECT_LT(std::fabs(mean / 12000.0), 0.001) << "note " << note;
    }
}

// The top of the keyboard sounds: a key's first second within 12 dB of the middle's. A loop filter that
// takes more of each period the higher the key, and a tone filter whose cutoff stays below the key, left
// MIDI 87 17 dB and MIDI 99 38 dB down.
TEST(Tuning, TheTopOfTheKeyboardSounds) {
    for (float rate : {44100.0f, 96000.0f}) {
        const std::vector<float> middle = heldNote(rate, 57, 1.0);
        const double reference = rmsDb(middle, 0, middle.size());
        for (int note : {87, 93, 99}) {
            const std::vector<float> x = heldNote(rate, note, 1.0);
            EXPECT_GT(rmsDb(x, 0, x.size()), reference - 12.0) << "note " << note << " at " << rate;
        }
    }
}

} // namespace
} // namespace solvantis::testing
