#include "compare.h"

#include "audio_file.h"
#include "cli_error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace solvantis {

CompareResult compareAudioFiles(const CompareOptions& options) {
    AudioFileReader a(options.first);
    AudioFileReader b(options.second);
    if (a.channels() != b.channels()) {
        throw CliError("'" + options.first + "' has " + std::to_string(a.channels()) + " channels, '" +
                       options.second + "' " + std::to_string(b.channels()));
    }
    if (a.sampleRate() != b.sampleRate()) {
        throw CliError("'" + options.first + "' runs at " + std::to_string(a.sampleRate()) + " Hz, '" +
                       options.second + "' at " + std::to_string(b.sampleRate()) + " Hz");
    }
    CompareResult result;
    result.channels = a.channels();
    result.sampleRate = a.sampleRate();
    double signal = 0.0;
    double noise = 0.0;
    // A piece of each file at a time; past the end of the shorter one its samples count as silence.
    constexpr int64_t piece = 65536;
    std::vector<float> first, second;
    for (;;) {
        const int64_t gotA = a.read(first, piece);
        const int64_t gotB = b.read(second, piece);
        result.firstFrames += gotA;
        result.secondFrames += gotB;
        if (gotA == 0 && gotB == 0) {
            break;
        }
        const size_t count = std::max(first.size(), second.size());
        for (size_t i = 0; i < count; ++i) {
            const double x = i < first.size() ? double(first[i]) : 0.0;
            const double y = i < second.size() ? double(second[i]) : 0.0;
            const double d = std::isnan(x) != std::isnan(y) || (x != y && !std::isfinite(x - y))
                                 ? std::numeric_limits<double>::infinity()
                                 : (x == y ? 0.0 : x - y);
            signal += x * x;
            noise += d * d;
            result.peakDifference = std::max(result.peakDifference, std::fabs(d));
        }
    }
    result.snrDecibels = noise == 0.0    ? std::numeric_limits<double>::infinity()
                         : signal == 0.0 ? -std::numeric_limits<double>::infinity()
                                         : 10.0 * std::log10(signal / noise);

    char text[160];
    if (options.minSnrGiven && !(result.snrDecibels >= options.minSnrDecibels)) {
        std::snprintf(text, sizeof text, "SNR below %.1f dB", options.minSnrDecibels);
        result.beyond = text;
    } else if (options.maxDiffGiven && !(result.peakDifference <= options.maxDifference)) {
        std::snprintf(text, sizeof text, "peak difference above %g", options.maxDifference);
        result.beyond = text;
    } else if (!options.minSnrGiven && !options.maxDiffGiven &&
               (noise != 0.0 || result.firstFrames != result.secondFrames)) {
        result.beyond =
            result.firstFrames != result.secondFrames ? "the lengths differ" : "the samples differ";
    }
    result.within = result.beyond.empty();
    return result;
}

std::string compareLine(const CompareResult& r) {
    char text[400];
    char peak[64];
    if (r.peakDifference > 0.0) {
        std::snprintf(peak, sizeof peak, "%.6g (%.1f dBFS)", r.peakDifference,
                      20.0 * std::log10(r.peakDifference));
    } else {
        std::snprintf(peak, sizeof peak, "0");
    }
    char snr[32];
    if (std::isinf(r.snrDecibels)) {
        std::snprintf(snr, sizeof snr, "%s", r.snrDecibels > 0 ? "infinite (identical)" : "-inf dB");
    } else {
        std::snprintf(snr, sizeof snr, "%.1f dB", r.snrDecibels);
    }
    std::snprintf(text, sizeof text,
                  "frames %lld and %lld (%.3f s and %.3f s), peak difference %s, SNR %s: %s%s",
                  static_cast<long long>(r.firstFrames), static_cast<long long>(r.secondFrames),
                  double(r.firstFrames) / r.sampleRate, double(r.secondFrames) / r.sampleRate, peak, snr,
                  r.within ? "within tolerance" : "beyond tolerance, ", r.within ? "" : r.beyond.c_str());
    return text;
}

} // namespace solvantis
