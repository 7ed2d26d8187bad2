// The compare command: holds a render to a stored one, for a user's regression checks.
#pragma once

#include <cstdint>
#include <string>

namespace solvantis {

struct CompareOptions {
    std::string first; // the reference
    std::string second;
    bool minSnrGiven = false;
    double minSnrDecibels = 0.0;
    bool maxDiffGiven = false;
    double maxDifference = 0.0; // largest allowed sample difference (full scale is 1)
};

struct CompareResult {
    int64_t firstFrames = 0;
    int64_t secondFrames = 0;
    int channels = 0;
    int sampleRate = 0;
    double peakDifference = 0.0; // the largest difference of any sample; the shorter file ends in silence
    double snrDecibels = 0.0;    // the reference's energy over the difference's; infinite when identical
    bool within = true;
    std::string beyond; // what is beyond tolerance, when not within
};

// Reads both files and compares them sample by sample. Without a tolerance only identical files are
// within it. Throws CliError for a file that cannot be read, or files of different channel counts or
// sample rates.
CompareResult compareAudioFiles(const CompareOptions& options);

// "frames 441000 and 441000 (10.000 s), peak difference 0.000012 (-98.4 dBFS), SNR 96.3 dB: within tolerance"
std::string compareLine(const CompareResult& result);

} // namespace solvantis
