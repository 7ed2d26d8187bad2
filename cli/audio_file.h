// Writing the rendered audio with libsndfile, to a temporary file that only becomes the output on success.
#pragma once

#include <cstdint>
#include <string>

namespace solvantis {

enum class AudioFormat { Wav, Flac };
enum class SampleBits { Int16, Int24, Float };

// Opens a temporary file beside `path`; commit() closes it and renames it to `path`. A writer destroyed
// without commit() removes its temporary file, so a failed or interrupted render leaves nothing behind.
class AudioFileWriter {
public:
    // Throws CliError when the folder does not exist or cannot be written, or when the format cannot
    // hold this sample type, rate or channel count.
    AudioFileWriter(const std::string& path, AudioFormat format, SampleBits bits, int channels,
                    int sampleRate);
    ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    // Appends `frames` interleaved frames. Throws CliError when the disk refuses them.
    void write(const float* interleaved, int64_t frames);

    // Finishes the file and gives it its final name. Throws CliError on failure (the temporary is removed).
    void commit();

    int64_t framesWritten() const { return written; }
    const std::string& temporaryPath() const { return tempPath; }

private:
    void discard();

    std::string finalPath;
    std::string tempPath;
    void* file = nullptr; // SNDFILE*
    int channels = 0;
    int64_t written = 0;
    bool committed = false;
};

// The folder part of a path ("." when it has none).
std::string folderOf(const std::string& path);

// Throws CliError unless the folder that is to hold `path` exists and is a folder.
void checkOutputFolder(const std::string& path);

} // namespace solvantis
