#include "audio_file.h"

#include "cli_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace solvantis {

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

void checkOutputFolder(const std::string& path) {
    if (path.empty()) {
        throw CliError("the output file name is empty");
    }
    if (path.back() == '/') {
        throw CliError("output path '" + path + "' names a folder, not a file");
    }
    const std::string folder = folderOf(path);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        throw CliError("cannot write '" + path + "': the folder '" + folder + "' does not exist");
    }
    if (!S_ISDIR(info.st_mode)) {
        throw CliError("cannot write '" + path + "': '" + folder + "' is not a folder");
    }
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        throw CliError("cannot write '" + path + "': it is a folder");
    }
}

AudioFileWriter::AudioFileWriter(const std::string& path, AudioFormat format, SampleBits bits,
                                 int channelCount, int sampleRate)
    : finalPath(path), channels(channelCount) {
    checkOutputFolder(path);

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
        throw CliError("FLAC holds no float samples; use --bits 16 or --bits 24 for '" + path + "'");
    }
    info.format = (format == AudioFormat::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | subtype;
    if (!sf_format_check(&info)) {
        throw CliError("cannot write '" + path + "' as " + (format == AudioFormat::Flac ? "FLAC" : "WAV") +
                       " with " + std::to_string(channelCount) + " channels at " +
                       std::to_string(sampleRate) + " Hz");
    }

    // The temporary lives in the same folder, so that the final rename cannot cross file systems.
    const std::string folder = folderOf(path);
    const std::string base =
        path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    std::string pattern = folder + "/." + base + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        throw CliError("cannot write '" + path + "': " + std::strerror(errno));
    }
    tempPath = name.data();
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd, 0666 & ~mask);

    SNDFILE* sf = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (sf == nullptr) {
        // sf_open_fd closes the descriptor itself when it fails.
        const std::string why = sf_strerror(nullptr);
        ::unlink(tempPath.c_str());
        throw CliError("cannot write '" + path + "': " + why);
    }
    file = sf;
    if (bits != SampleBits::Float) {
        // Samples beyond full scale are clipped, not wrapped around.
        sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
}

AudioFileWriter::~AudioFileWriter() {
    if (!committed) {
        discard();
    }
}

void AudioFileWriter::discard() {
    if (file != nullptr) {
        sf_close(static_cast<SNDFILE*>(file));
        file = nullptr;
    }
    if (!tempPath.empty()) {
        ::unlink(tempPath.c_str());
        tempPath.clear();
    }
}

void AudioFileWriter::write(const float* interleaved, int64_t frames) {
    if (frames <= 0) {
        return;
    }
    auto* sf = static_cast<SNDFILE*>(file);
    const sf_count_t done = sf_writef_float(sf, interleaved, frames);
    if (done != frames) {
        const std::string why = sf_strerror(sf);
        discard();
        throw CliError("cannot write '" + finalPath + "': " + why);
    }
    written += frames;
}

void AudioFileWriter::commit() {
    if (committed || file == nullptr) {
        return;
    }
    auto* sf = static_cast<SNDFILE*>(file);
    sf_write_sync(sf);
    const int closed = sf_close(sf);
    file = nullptr;
    if (closed != 0) {
        discard();
        throw CliError("cannot finish '" + finalPath + "'");
    }
    if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        discard();
        throw CliError("cannot write '" + finalPath + "': " + why);
    }
    tempPath.clear();
    committed = true;
}

} // namespace solvantis
