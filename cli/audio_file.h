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
    // `frameBound` is the most frames the file may get (-1: unknown): a WAV file that could pass 4 GiB
    // is started as RF64, which becomes a plain WAV file again if it ends smaller.
    AudioFileWriter(int fd, const std::string& name, AudioFormat format, SampleBits bits, int channels,
                    int sampleRate, int64_t frameBound = -1);
    ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    // Appends `frames` interleaved frames. Throws CliError when the disk refuses them, or when they
    // would take a plain WAV file past 4 GiB, where its sizes no longer fit its header.
    void write(const float* interleaved, int64_t frames);

    // Completes the file's header. Throws CliError on failure.
    void finish();

    int64_t framesWritten() const { return written; }

private:
    std::string shownName;
    void* file = nullptr; // SNDFILE*
    int64_t written = 0;
    int64_t frameBytes = 0; // bytes of one frame in the file
    bool plainWav = false;  // sizes held in 32 bits
};

// Reads back the audio file just finished in `fd` (left open, its offset moved): throws CliError when
// its header does not give `frames` frames of `channels` channels at `sampleRate`, or its last frame
// cannot be read, as when the disk filled while the file was written.
void verifyAudioFile(int fd, const std::string& name, int channels, int sampleRate, int64_t frames);

// Whether a WAV file of so many frames passes what the 32-bit sizes of its header can count.
bool wavPasses4GiB(int64_t frames, int channels, SampleBits bits);

// Reads an audio file of any format libsndfile knows (RF64 included, with its 64-bit length), a piece
// at a time, so that a file of hours needs no more memory than a file of seconds.
class AudioFileReader {
public:
    // Throws CliError naming the file when it is missing, a folder or not audio.
    explicit AudioFileReader(const std::string& path);
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    int channels() const { return channelCount; }
    int sampleRate() const { return rate; }
    int64_t frames() const { return length; } // as the header gives it

    // Reads up to `frames` interleaved frames into `samples` (resized); 0 at the end.
    int64_t read(std::vector<float>& samples, int64_t frames);

private:
    void* file = nullptr; // SNDFILE*
    int channelCount = 0;
    int rate = 0;
    int64_t length = 0;
};

} // namespace solvantis
