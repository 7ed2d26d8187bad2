// Measures the instrument as a musician hears it: for notes across the keyboard and at several sample rates,
// the pitch error in cents (two independent estimators on the sustained part), the first second's level,
// the mean, and how far the level and its 50 ms envelope stray from the same note at 44.1 kHz; and, with
// --dc, the largest mean over any quarter second of notes held five seconds.
//   bench_tuning                 the table for notes 24..108 in steps of 3 at 44.1, 48, 88.2, 96, 192 kHz
//   bench_tuning --chord         the same for the power chord, each string against its own pitch
//   bench_tuning --dc            the DC table: notes 0..127 held 5 s, default and parameter corners
//   bench_tuning --rates R,R,..  other rates (Hz)
//   bench_tuning --set Name=v    a parameter of the tables' program (repeatable), e.g. --set Modulation=0
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "instrument/parameter_table.h"
#include "one_message.h"
#include "voice/synth_engine.h"

namespace {

using solvantis::SynthEngine;
using solvantis::SynthParams;

constexpr double pi = 3.14159265358979323846;

// The left channel of a note played at velocity 100 from the first frame and held for `seconds`.
std::vector<float> renderNote(const SynthParams& params, double rate, int note, double seconds) {
    auto engine = std::make_unique<SynthEngine>();
    std::vector<float> out;
    if (!engine->setUp(44100.0f)) {
        return out;
    }
    engine->fitToSampleRate(static_cast<float>(rate));
    engine->resume();
    constexpr int32_t block = 512;
    std::vector<float> left(block), right(block);
    float* outputs[2] = {left.data(), right.data()};
    OneMessage on(0x90, static_cast<uint8_t>(note), 100);
    engine->processMidi(on.list());
    const auto frames = static_cast<int64_t>(seconds * rate);
    out.reserve(static_cast<std::size_t>(frames));
    for (int64_t done = 0; done < frames; done += block) {
        engine->processReplacing(params, static_cast<float>(rate), outputs, block);
        out.insert(out.end(), left.begin(), left.end());
    }
    out.resize(static_cast<std::size_t>(frames));
    return out;
}

void forEachField(SynthParams& p, float value) {
    solvantis::forEachParameter([&](auto index) {
        constexpr solvantis::ParameterInfo entry = solvantis::parameterTable[decltype(index)::value];
        if constexpr (entry.integerField != nullptr) {
            p.*entry.integerField = value != 0.0f ? 1 : 0;
        } else {
            p.*entry.field = value;
        }
    });
}

double keyFrequency(int note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

// Estimator 1: the normalised autocorrelation's peak near the expected period, refined by a parabola.
double pitchByAutocorrelation(const std::vector<float>& x, std::size_t from, std::size_t length, double rate,
                              double expected) {
    const double period = rate / expected;
    const auto lo = static_cast<std::size_t>(std::max(2.0, period * 0.94));
    const auto hi = static_cast<std::size_t>(period * 1.06) + 2;
    if (from + length + hi + 1 > x.size()) {
        return NAN;
    }
    // Of the signal less its mean over the window and the longest lag, so that an offset cannot flatten it.
    double m = 0.0;
    for (std::size_t i = from; i < from + length + hi + 1; ++i) {
        m += x[i];
    }
    m /= static_cast<double>(length + hi + 1);
    auto r = [&](std::size_t lag) {
        double s = 0.0, e0 = 0.0, e1 = 0.0;
        for (std::size_t i = from; i < from + length; ++i) {
            const double a = x[i] - m, b = x[i + lag] - m;
            s += a * b;
            e0 += a * a;
            e1 += b * b;
        }
        return s / std::sqrt(e0 * e1 + 1e-300);
    };
    std::vector<double> values(hi + 2, -2.0);
    std::size_t best = lo;
    for (std::size_t lag = lo - 1; lag <= hi + 1; ++lag) {
        values[lag] = r(lag);
    }
    for (std::size_t lag = lo; lag <= hi; ++lag) {
        if (values[lag] > values[best]) {
            best = lag;
        }
    }
    const double a = values[best - 1], b = values[best], c = values[best + 1];
    const double d = a - 2.0 * b + c;
    const double shift = d < 0.0 ? 0.5 * (a - c) / d : 0.0;
    return rate / (static_cast<double>(best) + shift);
}

// Estimator 2: the peak of the Hann-windowed spectrum near the expected frequency, found by golden-section
// search on the exact discrete-time Fourier transform.
double pitchBySpectrum(const std::vector<float>& x, std::size_t from, std::size_t length, double rate,
                       double expected, int reachCents = 900) {
    if (from + length > x.size()) {
        return NAN;
    }
    std::vector<double> w(length);
    for (std::size_t i = 0; i < length; ++i) {
        const double hann =
            0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(i) / static_cast<double>(length));
        w[i] = hann * x[from + i];
    }
    auto magnitude = [&](double f) {
        // Goertzel's recurrence at any frequency.
        const double omega = 2.0 * pi * f / rate;
        const double c = 2.0 * std::cos(omega);
        double s1 = 0.0, s2 = 0.0;
        for (double v : w) {
            const double s0 = v + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return s1 * s1 + s2 * s2 - c * s1 * s2;
    };
    // A coarse scan over +-6 % first, then the golden section around the best point.
    double best = expected, bestValue = -1.0;
    for (int i = -reachCents / 10; i <= reachCents / 10; ++i) { // in steps of 10 cents
        const double f = expected * std::pow(2.0, i * 10.0 / 1200.0);
        const double m = magnitude(f);
        if (m > bestValue) {
            bestValue = m;
            best = f;
        }
    }
    double a = best * std::pow(2.0, -0.1 / 12.0), b = best * std::pow(2.0, 0.1 / 12.0);
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double c = b - g * (b - a), d = a + g * (b - a);
    double mc = magnitude(c), md = magnitude(d);
    for (int i = 0; i < 40; ++i) {
        if (mc > md) {
            b = d;
            d = c;
            md = mc;
            c = b - g * (b - a);
            mc = magnitude(c);
        } else {
            a = c;
            c = d;
            mc = md;
            d = a + g * (b - a);
            md = magnitude(d);
        }
    }
    return 0.5 * (a + b);
}

double cents(double measured, double wanted) {
    return 1200.0 * std::log2(measured / wanted);
}

double rmsDb(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double s = 0.0;
    to = std::min(to, x.size());
    for (std::size_t i = from; i < to; ++i) {
        s += static_cast<double>(x[i]) * x[i];
    }
    return 10.0 * std::log10(s / static_cast<double>(std::max<std::size_t>(1, to - from)) + 1e-30);
}

double mean(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double s = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        s += x[i];
    }
    return s / static_cast<double>(std::max<std::size_t>(1, to - from));
}

// The 50 ms levels of the first two seconds, in dB.
std::vector<double> envelopeDb(const std::vector<float>& x, double rate) {
    std::vector<double> e;
    const auto step = static_cast<std::size_t>(rate * 0.05);
    for (std::size_t i = 0; i + step <= std::min(x.size(), static_cast<std::size_t>(rate * 2.0)); i += step) {
        e.push_back(rmsDb(x, i, i + step));
    }
    return e;
}

std::vector<double> parseRates(const char* text) {
    std::vector<double> rates;
    std::string s(text);
    std::size_t at = 0;
    while (at < s.size()) {
        const std::size_t comma = s.find(',', at);
        rates.push_back(std::atof(s.substr(at, comma - at).c_str()));
        at = comma == std::string::npos ? s.size() : comma + 1;
    }
    return rates;
}

SynthParams tableParams; // the program the tables play: the default one, or as --set changes it

void tuningTable(const std::vector<double>& rates, bool chord) {
    SynthParams params = tableParams;
    params.PowerChord = chord ? 1.0f : 0.0f;
    std::printf("%s: pitch error in cents (autocorrelation / spectrum) of the sustained part (0.6..1.6 s; "
                "0.15..0.5 s above MIDI 84), "
                "first-second RMS (dBFS), mean, level and 50 ms envelope against 44.1 kHz (dB)\n",
                chord ? "power chord, each string against its own pitch (0.5 f and 0.75 f)"
                      : "default program");
    std::printf("%5s %9s", "note", "rate");
    if (chord) {
        std::printf(" %17s %17s", "low string", "high string");
    } else {
        std::printf(" %8s %8s", "cents-ac", "cents-sp");
    }
    std::printf(" %8s %9s %8s %8s\n", "rms", "mean", "d-rms", "d-env");
    for (int note = 24; note <= 108; note += 3) {
        double rms44 = 0.0;
        std::vector<double> env44;
        for (double rate : rates) {
            const std::vector<float> x = renderNote(params, rate, note, 2.0);
            const double f = keyFrequency(note);
            // The sustained part: from 0.6 s for a second, or for the keys above MIDI 84, which fade within
            // half a second, from 0.15 s for 0.35 s (at least 200 periods).
            const bool high = note > 84;
            const auto from = static_cast<std::size_t>((high ? 0.15 : 0.6) * rate);
            const auto length = static_cast<std::size_t>((high ? 0.35 : 1.0) * rate);
            std::printf("%5d %9.0f", note, rate);
            if (chord) {
                for (double want : {0.5 * f, 0.75 * f}) {
                    // Within 150 cents: the other string lies 702 cents away.
                    std::printf(" %8.2f", cents(pitchBySpectrum(x, from, length, rate, want, 150), want));
                    std::printf(" %8s", "");
                }
            } else {
                const double want = 0.5 * f; // it sounds an octave below the key
                const double ac =
                    pitchByAutocorrelation(x, from, static_cast<std::size_t>(0.5 * rate), rate, want);
                const double sp = pitchBySpectrum(x, from, length, rate, want);
                std::printf(" %8.2f %8.2f", cents(ac, want), cents(sp, want));
            }
            const double rms = rmsDb(x, 0, static_cast<std::size_t>(rate));
            const std::vector<double> env = envelopeDb(x, rate);
            if (rate == rates.front()) {
                rms44 = rms;
                env44 = env;
            }
            double worst = 0.0;
            for (std::size_t i = 0; i < std::min(env.size(), env44.size()); ++i) {
                if (env44[i] > -60.0) {
                    worst = std::max(worst, std::fabs(env[i] - env44[i]));
                }
            }
            std::printf(" %8.2f %9.5f %8.2f %8.2f\n", rms, mean(x, 0, x.size()), rms - rms44, worst);
        }
    }
}

void dcTable(const std::vector<double>& rates) {
    struct Corner {
        const char* name;
        SynthParams params;
    };
    std::vector<Corner> corners;
    corners.push_back({"default", SynthParams{}});
    SynthParams zero, one;
    forEachField(zero, 0.0f);
    forEachField(one, 1.0f);
    corners.push_back({"all 0", zero});
    corners.push_back({"all 1", one});
    SynthParams chordOn = SynthParams{};
    chordOn.PowerChord = 1.0f;
    corners.push_back({"default+chord", chordOn});
    SynthParams zeroChord = zero;
    zeroChord.PowerChord = 1.0f;
    corners.push_back({"all 0+chord", zeroChord});
    SynthParams oneSingle = one;
    oneSingle.PowerChord = 0.0f;
    corners.push_back({"all 1-chord", oneSingle});
    std::printf("largest |mean| over any 0.25 s of notes 0..127 held 5 s (the note where it is)\n");
    for (double rate : rates) {
        for (const Corner& c : corners) {
            double worst = 0.0;
            int worstNote = 0;
            std::string over;
            for (int note = 0; note < 128; ++note) {
                const std::vector<float> x = renderNote(c.params, rate, note, 5.0);
                const auto quarter = static_cast<std::size_t>(rate * 0.25);
                double noteWorst = 0.0;
                for (std::size_t i = 0; i + quarter <= x.size(); i += quarter / 4) {
                    noteWorst = std::max(noteWorst, std::fabs(mean(x, i, i + quarter)));
                }
                if (noteWorst > worst) {
                    worst = noteWorst;
                    worstNote = note;
                }
                if (noteWorst > 0.001) {
                    char item[32];
                    std::snprintf(item, sizeof item, " %d:%.4f", note, noteWorst);
                    over.append(item);
                }
            }
            std::printf("%9.0f %-14s %9.5f (note %d); above 0.001:%s\n", rate, c.name, worst, worstNote,
                        over.empty() ? " none" : over.c_str());
            std::fflush(stdout);
        }
    }
}

// The estimators on a known tone (harmonics falling as 1/k, as a plucked string's): their own error.
void checkEstimators(double rate) {
    std::printf(
        "estimators on a sawtooth-like tone at %.0f Hz: error in cents (autocorrelation / spectrum)\n", rate);
    for (int note = 24; note <= 108; note += 12) {
        const double f = 0.5 * keyFrequency(note);
        std::vector<float> x(static_cast<std::size_t>(2.0 * rate));
        for (std::size_t i = 0; i < x.size(); ++i) {
            double v = 0.0;
            for (int k = 1; k * f < 0.45 * rate && k < 200; ++k) {
                v += std::sin(2.0 * pi * k * f * static_cast<double>(i) / rate) / k;
            }
            x[i] = static_cast<float>(0.2 * v);
        }
        const auto from = static_cast<std::size_t>(0.6 * rate);
        std::printf("%5d %8.3f %8.3f\n", note,
                    cents(pitchByAutocorrelation(x, from, static_cast<std::size_t>(0.5 * rate), rate, f), f),
                    cents(pitchBySpectrum(x, from, static_cast<std::size_t>(rate), rate, f), f));
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<double> rates = {44100.0, 48000.0, 88200.0, 96000.0, 192000.0};
    bool chord = false, dc = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--chord") == 0) {
            chord = true;
        } else if (std::strcmp(argv[i], "--envelope") == 0 && i + 1 < argc) {
            // --envelope N: note N's 50 ms levels over its first two seconds, at each rate.
            const int note = std::atoi(argv[++i]);
            for (double rate : rates) {
                std::printf("%5d %9.0f", note, rate);
                for (double db : envelopeDb(renderNote(tableParams, rate, note, 2.0), rate)) {
                    std::printf(" %6.1f", db);
                }
                std::printf("\n");
            }
            return 0;
        } else if (std::strcmp(argv[i], "--check") == 0) {
            checkEstimators(44100.0);
            return 0;
        } else if (std::strcmp(argv[i], "--dc") == 0) {
            dc = true;
        } else if (std::strcmp(argv[i], "--set") == 0 && i + 1 < argc) {
            // --set Name=value: a parameter of the tables' program, by its name as hosts show it.
            const std::string arg = argv[++i];
            const std::size_t eq = arg.find('=');
            bool known = false;
            solvantis::forEachParameter([&](auto index) {
                constexpr solvantis::ParameterInfo entry = solvantis::parameterTable[decltype(index)::value];
                std::string name = entry.name;
                name.erase(name.find_last_not_of(' ') + 1);
                if (eq != std::string::npos && arg.substr(0, eq) == name) {
                    known = true;
                    const float v = std::strtof(arg.c_str() + eq + 1, nullptr);
                    if constexpr (entry.integerField != nullptr) {
                        tableParams.*entry.integerField = v != 0.0f ? 1 : 0;
                    } else {
                        tableParams.*entry.field = v;
                    }
                }
            });
            if (!known) {
                std::fprintf(stderr, "bench_tuning: no parameter in '%s'\n", arg.c_str());
                return 2;
            }
        } else if (std::strcmp(argv[i], "--rates") == 0 && i + 1 < argc) {
            rates = parseRates(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench_tuning [--chord | --dc] [--rates R,R,...]\n");
            return 2;
        }
    }
    if (dc) {
        dcTable(rates);
    } else {
        tuningTable(rates, chord);
    }
    return 0;
}
