#include "audio_file.h"

#include "cli_error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace solvantis {

namespace {

int bytesPerSample(SampleBits bits) {
    return bits == SampleBits::Int16 ? 2 : bits == SampleBits::Int24 ? 3 : 4;
}

// The RIFF and data sizes are 32-bit counts; the header and its extra chunks (a float file's PEAK
// chunk) take well under this much.
constexpr int64_t wavByteLimit = 0xFFFFFFFFll - 4096;

} // namespace

bool wavPasses4GiB(int64_t frames, int channels, SampleBits bits) {
    return frames > wavByteLimit / (int64_t(channels) * bytesPerSample(bits));
}

AudioFileWriter::AudioFileWriter(int fd, const std::string& name, AudioFormat format, SampleBits bits,
                                 int channelCount, int sampleRate, int64_t frameBound)
    : shownName(name), frameBytes(int64_t(channelCount) * bytesPerSample(bits)) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channelCount;
    int subtype = SF_FORMAT_PCM_24;
    if (bits == SampleBits::Int16) {
        subtype = SF_FORMAT_PCM_16;
    } else if (bits == SampleBits::Float) {
        subtype = SF_FORMAT_FLOAT;
    }
    if (format == AudioFormat::Flac && bits == SampleBits::Float) {
        throw CliError("FLAC holds no float samples; use --bits 16 or --bits 24 for '" + name + "'");
    }
    const bool rf64 =
        format == AudioFormat::Wav && frameBound >= 0 && wavPasses4GiB(frameBound, channelCount, bits);
    plainWav = format == AudioFormat::Wav && !rf64;
    info.format = (format == AudioFormat::Flac ? SF_FORMAT_FLAC
                   : rf64                      ? SF_FORMAT_RF64
                                               : SF_FORMAT_WAV) |
                  subtype;
    if (!sf_format_check(&info)) {
        throw CliError("cannot write '" + name + "' as " + (format == AudioFormat::Flac ? "FLAC" : "WAV") +
                       " with " + std::to_string(channelCount) + " channels at " +
                       std::to_string(sampleRate) + " Hz");
    }
    SNDFILE* sf = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (sf == nullptr) {
        throw CliError("cannot write '" + name + "': " + sf_strerror(nullptr));
    }
    file = sf;
    if (rf64) {
        // A render that ends below 4 GiB is written as the plain WAV file every reader knows.
        sf_command(sf, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    }
    if (bits != SampleBits::Float) {
        // Samples beyond full scale are clipped, not wrapped around.
        sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
}

AudioFileWriter::~AudioFileWriter() {
    if (file != nullptr) {
        sf_close(static_cast<SNDFILE*>(file));
    }
}

void AudioFileWriter::write(const float* interleaved, int64_t frames) {
    if (frames <= 0) {
        return;
    }
    auto* sf = static_cast<SNDFILE*>(file);
    if (plainWav && (written + frames) * frameBytes > wavByteLimit) {
        throw CliError("cannot write '" + shownName +
                       "': it would pass 4 GiB, the most a WAV file holds; use --format flac or a shorter "
                       "--max-length");
    }
    if (sf_writef_float(sf, interleaved, frames) != frames) {
        throw CliError("cannot write '" + shownName + "': " + sf_strerror(sf));
    }
    written += frames;
}

void AudioFileWriter::finish() {
    auto* sf = static_cast<SNDFILE*>(file);
    file = nullptr;
    if (sf != nullptr && sf_close(sf) != 0) {
        throw CliError("cannot finish '" + shownName + "'");
    }
}

void verifyAudioFile(int fd, const std::string& name, int channels, int sampleRate, int64_t frames) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0 || ::lseek(copy, 0, SEEK_SET) != 0) {
        if (copy >= 0) {
            ::close(copy);
        }
        throw CliError("cannot read '" + name + "' back: " + std::strerror(errno));
    }
    SF_INFO info{};
    SNDFILE* sf = sf_open_fd(copy, SFM_READ, &info, SF_TRUE);
    if (sf == nullptr) {
        throw CliError("cannot write '" + name + "': the file written is not whole (" + sf_strerror(nullptr) +
                       "); is the disk full?");
    }
    bool whole = info.channels == channels && info.samplerate == sampleRate && info.frames == frames;
    if (whole && frames > 0) {
        // The last frame decodes only when everything before it is there (a FLAC file cut short).
        std::vector<float> last(static_cast<size_t>(channels), 0.0f);
        whole = sf_seek(sf, frames - 1, SEEK_SET) == frames - 1 && sf_readf_float(sf, last.data(), 1) == 1;
    }
    sf_close(sf);
    if (!whole) {
        throw CliError("cannot write '" + name + "': the file written does not read back whole (" +
                       std::to_string(frames) + " frames); is the disk full?");
    }
}

AudioFileReader::AudioFileReader(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw CliError("audio file '" + path + "' does not exist");
    }
    if (S_ISDIR(status.st_mode)) {
        throw CliError("'" + path + "' is a folder, not an audio file");
    }
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        throw CliError("cannot read audio file '" + path + "': " + sf_strerror(nullptr));
    }
    file = sf;
    channelCount = info.channels;
    rate = info.samplerate;
    length = info.frames;
}

AudioFileReader::~AudioFileReader() {
    sf_close(static_cast<SNDFILE*>(file));
}

int64_t AudioFileReader::read(std::vector<float>& samples, int64_t frames) {
    samples.resize(size_t(frames) * size_t(channelCount));
    const sf_count_t got = sf_readf_float(static_cast<SNDFILE*>(file), samples.data(), frames);
    samples.resize(size_t(got > 0 ? got : 0) * size_t(channelCount));
    return got > 0 ? got : 0;
}

} // namespace solvantis
