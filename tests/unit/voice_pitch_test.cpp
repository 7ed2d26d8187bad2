// Pitch and spectrum of rendered notes, measured as a listener would hear them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "dsp/lookup_tables.h"
#include "voice_test_support.h"

namespace solvantis::testing {
namespace {

constexpr double pi = 3.14159265358979323846;

double normalisedCorrelation(const std::vector<float>& x, size_t start, size_t length, size_t lag) {
    double xy = 0.0, xx = 0.0, yy = 0.0;
    for (size_t n = start; n < start + length; ++n) {
        xy += static_cast<double>(x[n]) * x[n + lag];
        xx += static_cast<double>(x[n]) * x[n];
        yy += static_cast<double>(x[n + lag]) * x[n + lag];
    }
    return xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
}

// Fundamental of x[start ..] by autocorrelation: the best lag between 0.8 and 1.25 times the expected
// period, refined by a parabola through the three correlations around it.
double fundamental(const std::vector<float>& x, size_t start, size_t length, double expectedPeriod) {
    const size_t low = static_cast<size_t>(expectedPeriod * 0.8);
    const size_t high = static_cast<size_t>(expectedPeriod * 1.25);
    size_t best = low;
    double bestValue = -2.0;
    std::vector<double> r(high + 2, 0.0);
    for (size_t lag = low - 1; lag <= high + 1; ++lag) {
        r[lag] = normalisedCorrelation(x, start, length, lag);
    }
    for (size_t lag = low; lag <= high; ++lag) {
        if (r[lag] > bestValue) {
            bestValue = r[lag];
            best = lag;
        }
    }
    const double a = r[best - 1], b = r[best], c = r[best + 1];
    const double denominator = a - 2.0 * b + c;
    const double shift = denominator != 0.0 ? 0.5 * (a - c) / denominator : 0.0;
    return static_cast<double>(best) + shift;
}

// Magnitude of the Hann-windowed signal at frequency hz.
double magnitudeAt(const std::vector<float>& x, size_t start, size_t length, double hz, double sr) {
    double re = 0.0, im = 0.0;
    const double w = 2.0 * pi * hz / sr;
    for (size_t n = 0; n < length; ++n) {
        const double window =
            0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(n) / static_cast<double>(length));
        const double v = x[start + n] * window;
        re += v * std::cos(w * static_cast<double>(n));
        im -= v * std::sin(w * static_cast<double>(n));
    }
    return std::sqrt(re * re + im * im);
}

std::vector<float> playNote(VoiceRig& rig, int32_t note, int32_t frames) {
    MidiBlock block;
    block.noteOn(0, note, 100);
    rig.send(block);
    return rig.play(frames);
}

// The default program, single-string mode. The dominant loop is two periods of f long plus the delay of its
// 3900 Hz low-pass, so the measured pitch sits slightly below f / 2, more so for high notes.
TEST(VoicePitch, SingleStringSoundsHalfTheKeyFrequencyFromMidi40To76) {
    const double sr = 44100.0;
    double worst = 0.0;
    for (int32_t note = 40; note <= 76; ++note) {
        VoiceRig rig;
        ASSERT_TRUE(rig.ok);
        const std::vector<float> x = playNote(rig, note, 66150);
        const double half = noteFrequencies[note] * 0.5;
        const double period = fundamental(x, 22050, 22050, sr / half);
        const double cents = 1200.0 * std::log2((sr / period) / half);
        std::printf("note %d  f/2 %.3f Hz  measured %.3f Hz  %+.2f cents\n", note, half, sr / period, cents);
        EXPECT_LT(std::fabs(cents), 15.0) << "note " << note;
        // The sound really has its fundamental at f/2, not at f with a period twice as long by accident.
        const double atHalf = magnitudeAt(x, 22050, 22050, sr / period, sr);
        EXPECT_GT(atHalf, 0.05 * magnitudeAt(x, 22050, 22050, 2.0 * sr / period, sr)) << "note " << note;
        worst = std::fmax(worst, std::fabs(cents));
    }
    std::printf("largest deviation %.2f cents\n", worst);
}

TEST(VoicePitch, PowerChordsStrongestLowPartialsAreHalfAndThreeQuartersOfTheKey) {
    const double sr = 44100.0;
    for (int32_t note : {45, 52, 57, 64, 69}) {
        VoiceRig rig;
        ASSERT_TRUE(rig.ok);
        rig.params.PowerChord = 1.0f;
        const std::vector<float> x = playNote(rig, note, 44100);
        const double f = noteFrequencies[note];
        // Scan 0.2 f .. 0.95 f in steps of f / 400 and keep the two highest local maxima.
        std::vector<double> hz, mag;
        for (double h = 0.2 * f; h <= 0.95 * f; h += f / 400.0) {
            hz.push_back(h);
            mag.push_back(magnitudeAt(x, 11025, 22050, h, sr));
        }
        double first = 0.0, second = 0.0, firstHz = 0.0, secondHz = 0.0;
        for (size_t i = 1; i + 1 < mag.size(); ++i) {
            if (mag[i] < mag[i - 1] || mag[i] < mag[i + 1]) {
                continue;
            }
            if (mag[i] > first) {
                second = first;
                secondHz = firstHz;
                first = mag[i];
                firstHz = hz[i];
            } else if (mag[i] > second) {
                second = mag[i];
                secondHz = hz[i];
            }
        }
        const double lower = std::fmin(firstHz, secondHz) / f;
        const double upper = std::fmax(firstHz, secondHz) / f;
        std::printf("note %d  partials at %.4f f and %.4f f\n", note, lower, upper);
        EXPECT_NEAR(lower, 0.5, 0.01) << "note " << note;
        EXPECT_NEAR(upper, 0.75, 0.01) << "note " << note;
    }
}

} // namespace
} // namespace solvantis::testing
