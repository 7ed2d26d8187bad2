// Helpers shared by the loader and command-line tests: a scratch folder, the test plug-ins compiled
// from host_loader_fake_plugin.cc, running the built solvantis binary, reading audio files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sndfile.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "plugin_host.h"

namespace solvantis::testing {

inline const char* karsPath = "/usr/lib/vst/Kars-vst.so";

// A folder of its own for one test, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "solvantis-test-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr) {
            folder = name.data();
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string path(const std::string& name) const {
        return (std::filesystem::path(folder) / name).string();
    }
    const std::string& root() const { return folder; }

    // Every file name in the folder, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

private:
    std::string folder;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Compiles the test plug-in with the given variant macro ("" for the default) into the folder.
inline std::string buildFakePlugin(const ScratchFolder& scratch, const std::string& variant) {
    const std::string output = scratch.path("fake" + variant + ".so");
    const std::string source = SOLVANTIS_SOURCE_DIR;
    std::string command = "c++ -std=c++20 -shared -fPIC -O1 -I";
    command += shellQuote(source + "/src");
    if (!variant.empty()) {
        command += " -D";
        command += variant;
    }
    command += ' ';
    command += shellQuote(source + "/tests/integration/host_loader_fake_plugin.cc");
    command += " -o ";
    command += shellQuote(output);
    command += " 2>&1";
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    return output;
}

// The whole numbers in a text, one per line.
inline std::vector<int> numbersIn(const std::string& text) {
    std::vector<int> numbers;
    std::istringstream lines(text);
    for (int n = 0; lines >> n;) {
        numbers.push_back(n);
    }
    return numbers;
}

// Whether the process is gone (or a zombie waiting for its reaper) within two seconds.
inline bool processEnds(int pid) {
    for (int i = 0; i < 100; ++i) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && stat.compare(close, 3, ") Z") == 0)) {
            return true;
        }
        usleep(20000);
    }
    return false;
}

// Every request a plug-in sends to its host, in order, as PluginHostOptions::onRequest tells them.
class RequestLog {
public:
    // The options, with this log told of every request.
    PluginHostOptions listening(PluginHostOptions options = {}) {
        options.onRequest = [this](const HostRequest& request) {
            const std::lock_guard<std::mutex> hold(lock);
            log.push_back(request);
        };
        return options;
    }
    std::vector<HostRequest> all() const {
        const std::lock_guard<std::mutex> hold(lock);
        return log;
    }
    size_t count(int32_t opcode) const {
        const std::lock_guard<std::mutex> hold(lock);
        return size_t(std::count_if(log.begin(), log.end(),
                                    [opcode](const HostRequest& r) { return r.opcode == opcode; }));
    }
    void clear() {
        const std::lock_guard<std::mutex> hold(lock);
        log.clear();
    }

private:
    mutable std::mutex lock;
    std::vector<HostRequest> log;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built solvantis binary with the arguments, standard output and error captured.
inline RunResult runCli(const ScratchFolder& scratch, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& environment = {},
                        const std::string& program = SOLVANTIS_CLI_PATH) {
    // Relative paths in the arguments are taken inside the scratch folder.
    std::string command = "cd ";
    command += shellQuote(scratch.root());
    command += " && ";
    for (const auto& [name, value] : environment) {
        command += name;
        command += '=';
        command += shellQuote(value);
        command += ' ';
    }
    command += shellQuote(program);
    for (const std::string& a : args) {
        command += ' ';
        command += shellQuote(a);
    }
    const std::string outPath = scratch.path(".stdout");
    const std::string errPath = scratch.path(".stderr");
    command += " </dev/null >";
    command += shellQuote(outPath);
    command += " 2>";
    command += shellQuote(errPath);
    RunResult result;
    const int status = std::system(command.c_str());
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return result;
}

struct AudioFile {
    bool opened = false;
    int channels = 0;
    int sampleRate = 0;
    int format = 0;
    int64_t frames = 0;
    std::vector<float> samples; // interleaved
};

inline AudioFile readAudio(const std::string& path) {
    AudioFile file;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        return file;
    }
    file.opened = true;
    file.channels = info.channels;
    file.sampleRate = info.samplerate;
    file.format = info.format;
    file.frames = info.frames;
    file.samples.resize(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(sf, file.samples.data(), info.frames);
    sf_close(sf);
    return file;
}

// A Standard MIDI File with one track (format 0) at 480 pulses per quarter note.
class MidiFileBuilder {
public:
    // Appends an event `delta` pulses after the previous one.
    MidiFileBuilder& event(uint32_t delta, std::initializer_list<uint8_t> bytes) {
        variableLength(delta);
        track.insert(track.end(), bytes.begin(), bytes.end());
        return *this;
    }
    MidiFileBuilder& tempo(uint32_t delta, uint32_t microsecondsPerQuarter) {
        return event(delta, {0xFF, 0x51, 0x03, uint8_t(microsecondsPerQuarter >> 16),
                             uint8_t(microsecondsPerQuarter >> 8), uint8_t(microsecondsPerQuarter)});
    }
    // The whole file, format 0.
    std::string bytes() const { return file(0, {*this}); }

    // The track chunk, end of track included.
    std::string chunk() const {
        std::vector<uint8_t> body = track;
        body.insert(body.end(), {0x00, 0xFF, 0x2F, 0x00});
        std::string out = "MTrk";
        appendLength(out, uint32_t(body.size()));
        out.append(body.begin(), body.end());
        return out;
    }

    // A file of the given format holding these tracks.
    static std::string file(int format, const std::vector<MidiFileBuilder>& tracks) {
        std::string out = "MThd";
        appendLength(out, 6);
        out += char(0);
        out += char(format);
        out += char(tracks.size() >> 8);
        out += char(tracks.size());
        out += char(0x01); // 480 pulses per quarter note
        out += char(0xE0);
        for (const MidiFileBuilder& t : tracks) {
            out += t.chunk();
        }
        return out;
    }

private:
    static void appendLength(std::string& out, uint32_t n) {
        out += char(n >> 24);
        out += char(n >> 16);
        out += char(n >> 8);
        out += char(n);
    }
    void variableLength(uint32_t value) {
        uint8_t groups[5];
        int count = 0;
        do {
            groups[count++] = uint8_t(value & 0x7F);
            value >>= 7;
        } while (value != 0);
        while (count > 1) {
            track.push_back(uint8_t(groups[--count] | 0x80));
        }
        track.push_back(groups[0]);
    }
    std::vector<uint8_t> track;
};

} // namespace solvantis::testing
