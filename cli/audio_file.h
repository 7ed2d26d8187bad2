// Writing the rendered audio with libsndfile into a descriptor (the temporary file of an OutputTarget),
// and reading audio files back for comparison.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis {

enum class AudioFormat { Wav, Flac };
enum class SampleBits { Int16, Int24, Float };

class AudioFileWriter {
public:
    // Starts an audio file in `fd`, which stays open and owned by the caller. `name` only appears in
    // error messages. Throws CliError when the format cannot hold this sample type, rate or channel count.
    AudioFileWriter(int fd, const std::string& name, AudioFormat format, SampleBits bits, int channels,
                    int sampleRate);
    ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    // Appends `frames` interleaved frames. Throws CliError when the disk refuses them.
    void write(const float* interleaved, int64_t frames);

    // Completes the file's header. Throws CliError on failure.
    void finish();

    int64_t framesWritten() const { return written; }

private:
    std::string shownName;
    void* file = nullptr; // SNDFILE*
    int64_t written = 0;
};

struct AudioData {
    int channels = 0;
    int sampleRate = 0;
    int64_t frames = 0;
    std::vector<float> samples; // interleaved
};

// Reads a whole audio file of any format libsndfile knows. Throws CliError naming the file.
AudioData readAudioFile(const std::string& path);

} // namespace solvantis
