#include "render.h"

#include "cli_error.h"
#include "demo_phrase.h"
#include "plugin_locator.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace solvantis {

namespace {

std::atomic<bool> stopRequested{false};

constexpr int32_t maxSampleRate = 768000; // Hz
constexpr int32_t maxBlockSize = 65536;   // frames
constexpr double maxAutoTailSeconds = 10.0;
constexpr double quietSeconds = 0.1;

std::string trimTrailingBlanks(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    return text;
}

std::string folded(std::string text) {
    for (char& c : text) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string quote(const std::string& text) {
    return "'" + text + "'";
}

std::string withExtension(const std::string& path, const std::string& extension) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        return path.substr(0, dot) + extension;
    }
    return path + extension;
}

bool endsWithFolded(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && folded(text.substr(text.size() - suffix.size())) == suffix;
}

std::string formatDecibels(float peak) {
    if (!(peak > 0.0f)) {
        return "-inf dBFS";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(double(peak)));
    return text;
}

// A bar on standard error, redrawn at most ten times a second.
class ProgressBar {
public:
    ProgressBar(bool enabled, int64_t expectedFrames, int32_t sampleRate)
        : on(enabled), expected(std::max<int64_t>(expectedFrames, 1)), rate(sampleRate) {}

    void update(int64_t done) {
        if (!on) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (drawn && now - lastDraw < std::chrono::milliseconds(100)) {
            return;
        }
        lastDraw = now;
        drawn = true;
        constexpr int width = 40;
        const double fraction = std::min(1.0, double(done) / double(expected));
        const int filled = int(fraction * width);
        std::string bar(size_t(filled), '#');
        bar.append(size_t(width - filled), '-');
        std::fprintf(stderr, "\r[%s] %3d%% %8.2f s%s", bar.c_str(), int(fraction * 100.0),
                     double(done) / rate, done > expected ? " (tail)" : "       ");
        std::fflush(stderr);
    }

    void finish() {
        if (on && drawn) {
            std::fprintf(stderr, "\r%*s\r", 70, "");
            std::fflush(stderr);
        }
    }

private:
    bool on;
    int64_t expected;
    int32_t rate;
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw{};
};

// The song to render, on the sample-frame grid of the render.
struct Song {
    std::vector<ScheduledEvent> events;
    int64_t endFrame = 0;
};

Song songFromMidi(const MidiSong& midi, int32_t sampleRate) {
    Song song;
    for (const TimedMidiMessage& m : toFrames(midi.messages, sampleRate)) {
        ScheduledEvent e;
        e.frame = m.frame;
        std::copy(std::begin(m.bytes), std::end(m.bytes), std::begin(e.bytes));
        song.events.push_back(e);
    }
    const double end = std::floor(midi.lengthSeconds * sampleRate + 0.5);
    song.endFrame = end > 0.0 ? int64_t(std::min(end, 1e15)) : 0;
    if (!song.events.empty()) {
        song.endFrame = std::max(song.endFrame, song.events.back().frame);
    }
    return song;
}

Song songFromDemo(PluginHost& host, int32_t sampleRate) {
    Song song;
    for (const DemoStep& step : demoPhrase()) {
        ScheduledEvent e;
        e.frame = int64_t(std::floor(step.seconds * sampleRate + 0.5));
        if (step.parameterName.empty()) {
            std::copy(std::begin(step.bytes), std::end(step.bytes), std::begin(e.bytes));
        } else {
            const int32_t index = findParameter(host, step.parameterName);
            if (index < 0) {
                continue; // another instrument: it plays the notes without the switch
            }
            e.kind = ScheduledEvent::Kind::Parameter;
            e.parameter = index;
            e.value = step.value;
        }
        song.events.push_back(e);
        song.endFrame = std::max(song.endFrame, e.frame);
    }
    return song;
}

} // namespace

void requestRenderStop() {
    stopRequested.store(true);
}

bool parseNumber(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

// ---------------------------------------------------------------- the block scheduler

RenderResult renderSchedule(PluginHost& host, const std::vector<ScheduledEvent>& events,
                            const RenderSettings& settings, const AudioSink& sink,
                            const RenderProgress& progress) {
    RenderResult result;
    const int32_t channels = std::max(host.numOutputs(), 0);
    const int32_t block = std::max(settings.blockSize, 1);
    ChannelBuffers buffers(host.numInputs(), channels, block);
    MidiEventList midi(256);
    std::vector<float> interleaved(size_t(block) * size_t(std::max(channels, 1)));

    // Where the render ends when nothing stops it earlier.
    int64_t end = settings.endFrame;
    if (settings.autoTail) {
        end += std::max<int64_t>(settings.maxAutoTailFrames, 0);
    } else {
        end += std::max<int64_t>(settings.tailFrames, 0);
    }
    int64_t limit = end;
    if (limit > settings.maxFrames) {
        limit = std::max<int64_t>(settings.maxFrames, 0);
        result.stoppedAtMaxLength = true;
    }

    size_t next = 0;      // first event not yet delivered
    int64_t position = 0; // frame at the start of the coming block
    int64_t quietRun = 0; // frames in a row below the quiet level, counted after the song's end
    bool quietEnough = false;

    while (position < limit && !quietEnough) {
        int64_t frames = std::min<int64_t>(block, limit - position);

        // A parameter change ends the block before its frame, so that it takes effect exactly there.
        for (size_t i = next; i < events.size() && events[i].frame < position + frames; ++i) {
            if (events[i].kind == ScheduledEvent::Kind::Parameter && events[i].frame > position) {
                frames = events[i].frame - position;
                break;
            }
        }
        midi.clear();
        for (; next < events.size() && events[next].frame < position + frames; ++next) {
            const ScheduledEvent& e = events[next];
            if (e.kind == ScheduledEvent::Kind::Parameter) {
                host.setParameter(e.parameter, e.value);
            } else {
                const int64_t delta = std::max<int64_t>(e.frame - position, 0);
                midi.add(int32_t(delta), e.bytes[0], e.bytes[1], e.bytes[2]);
            }
        }
        if (!midi.empty()) {
            host.processEvents(midi);
        }

        host.render(buffers, int32_t(frames));

        int64_t keep = frames;
        for (int64_t i = 0; i < frames; ++i) {
            float loudest = 0.0f;
            for (int32_t c = 0; c < channels; ++c) {
                float s = buffers.output(c)[i];
                if (!std::isfinite(s)) {
                    ++result.nonFiniteSamples;
                    s = 0.0f;
                }
                interleaved[size_t(i) * size_t(channels) + size_t(c)] = s;
                loudest = std::max(loudest, std::fabs(s));
            }
            result.peak = std::max(result.peak, loudest);
            if (settings.autoTail && position + i >= settings.endFrame) {
                quietRun = loudest < settings.quietLevel ? quietRun + 1 : 0;
                if (quietRun >= settings.quietFrames) {
                    keep = i + 1;
                    quietEnough = true;
                    break;
                }
            }
        }
        if (channels > 0) {
            sink(interleaved.data(), keep, channels);
        }
        position += keep;
        result.frames = position;
        if (stopRequested.load()) {
            throw CliError("interrupted");
        }
        if (progress && !progress(position)) {
            throw CliError("interrupted");
        }
    }
    if (quietEnough || limit == end) {
        result.stoppedAtMaxLength = false;
    }
    result.tailCut = settings.autoTail && !quietEnough && !result.stoppedAtMaxLength && position >= end;
    return result;
}

// ---------------------------------------------------------------- parameters by name

int32_t findParameter(PluginHost& host, const std::string& name) {
    const int32_t count = host.numParams();
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (name.size() > 9) {
            return -1;
        }
        const long index = std::strtol(name.c_str(), nullptr, 10);
        return index < count ? int32_t(index) : -1;
    }
    const std::string wanted = folded(trimTrailingBlanks(name));
    if (wanted.empty()) {
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (folded(trimTrailingBlanks(host.getParameterName(i))) == wanted) {
            return i;
        }
    }
    return -1;
}

void applySetting(PluginHost& host, const std::string& setting) {
    const auto equals = setting.find('=');
    if (equals == std::string::npos) {
        throw CliError("--set " + quote(setting) + " is not NAME=VALUE");
    }
    const std::string name = setting.substr(0, equals);
    const std::string text = setting.substr(equals + 1);
    const int32_t index = findParameter(host, name);
    if (index < 0) {
        const bool numeric = !name.empty() && std::all_of(name.begin(), name.end(),
                                                          [](char c) { return c >= '0' && c <= '9'; });
        if (numeric) {
            throw CliError("parameter index " + name + " is out of range for plug-in " + quote(host.path()) +
                           " (it has " + std::to_string(host.numParams()) + " parameters, 0 to " +
                           std::to_string(host.numParams() - 1) + ")");
        }
        std::string names;
        for (int32_t i = 0; i < host.numParams(); ++i) {
            names += (i == 0 ? "" : ", ") + trimTrailingBlanks(host.getParameterName(i));
        }
        throw CliError("plug-in " + quote(host.path()) + " has no parameter " + quote(name) +
                       (names.empty() ? std::string() : " (it has: " + names + ")"));
    }
    double value = 0.0;
    if (!parseNumber(text, value)) {
        throw CliError("the value " + quote(text) + " for parameter " + quote(name) + " is not a number");
    }
    if (value < 0.0 || value > 1.0) {
        throw CliError("the value " + text + " for parameter " + quote(name) + " is outside 0 to 1");
    }
    host.setParameter(index, float(value));
}

// ---------------------------------------------------------------- the command

void validateRenderOptions(const RenderOptions& options) {
    if (options.sampleRate <= 0 || options.sampleRate > maxSampleRate) {
        throw CliError("sample rate " + std::to_string(options.sampleRate) + " Hz is out of range (1 to " +
                       std::to_string(maxSampleRate) + ")");
    }
    if (options.blockSize <= 0 || options.blockSize > maxBlockSize) {
        throw CliError("block size " + std::to_string(options.blockSize) + " is out of range (1 to " +
                       std::to_string(maxBlockSize) + " frames)");
    }
    if (!options.autoTail && !(options.tailSeconds >= 0.0 && options.tailSeconds <= 3600.0)) {
        throw CliError("tail of " + std::to_string(options.tailSeconds) + " s is out of range (0 to 3600)");
    }
    if (!(options.maxLengthSeconds > 0.0 && options.maxLengthSeconds <= 86400.0)) {
        throw CliError("maximum length of " + std::to_string(options.maxLengthSeconds) +
                       " s is out of range (above 0, at most 86400)");
    }
    if (options.format == AudioFormat::Flac && options.bits == SampleBits::Float) {
        throw CliError("FLAC holds no float samples; use --bits 16 or --bits 24");
    }
}

RenderSummary runRender(const RenderOptions& given) {
    RenderOptions options = given;
    validateRenderOptions(options);

    if (!options.formatGiven && !options.outputPath.empty() && endsWithFolded(options.outputPath, ".flac")) {
        options.format = AudioFormat::Flac;
        if (options.bits == SampleBits::Float) {
            throw CliError("FLAC holds no float samples; use --bits 16 or --bits 24 for " +
                           quote(options.outputPath));
        }
    }
    const std::string extension = options.format == AudioFormat::Flac ? ".flac" : ".wav";
    std::string output = options.outputPath;
    if (output.empty()) {
        output = options.midiPath.empty() ? "solvantis-demo" + extension
                                          : withExtension(options.midiPath, extension);
    }
    if (!options.midiPath.empty()) {
        std::error_code ignored;
        if (output == options.midiPath || std::filesystem::equivalent(output, options.midiPath, ignored)) {
            throw CliError("the output file would replace the MIDI file " + quote(options.midiPath));
        }
    }
    checkOutputFolder(output);

    MidiSong midi;
    if (!options.midiPath.empty()) {
        midi = readMidiFile(options.midiPath);
    }

    const std::string pluginPath = options.pluginPath.empty() ? defaultPluginPath() : options.pluginPath;
    PluginHostOptions hostOptions;
    hostOptions.sampleRate = float(options.sampleRate);
    hostOptions.blockSize = options.blockSize;
    PluginHost host(pluginPath, hostOptions);
    if (host.numInputs() < 0 || host.numInputs() > 64) {
        throw CliError("plug-in " + quote(pluginPath) + " reports " + std::to_string(host.numInputs()) +
                       " inputs; that is not a plug-in we can drive");
    }
    if (host.numOutputs() <= 0 || host.numOutputs() > 64) {
        throw CliError("plug-in " + quote(pluginPath) + " reports " + std::to_string(host.numOutputs()) +
                       " outputs; nothing to render");
    }
    const int32_t channels = host.numOutputs();
    if (!host.canReplace() && host.effect()->process == nullptr) {
        throw CliError("plug-in " + quote(pluginPath) + " has no process entry");
    }

    // The order of a real host: open, rate, block size, program, parameters, switch on.
    host.open();
    host.setSampleRate(float(options.sampleRate));
    host.setBlockSize(options.blockSize);
    if (options.program >= 0) {
        if (options.program >= host.numPrograms()) {
            throw CliError("program " + std::to_string(options.program) + " is out of range for plug-in " +
                           quote(pluginPath) + " (it has " + std::to_string(host.numPrograms()) +
                           " programs)");
        }
        host.setProgram(options.program);
    }
    for (const std::string& setting : options.settings) {
        applySetting(host, setting);
    }

    const Song song = options.midiPath.empty() ? songFromDemo(host, options.sampleRate)
                                               : songFromMidi(midi, options.sampleRate);

    RenderSettings settings;
    settings.blockSize = options.blockSize;
    settings.endFrame = song.endFrame;
    settings.autoTail = options.autoTail;
    settings.tailFrames = int64_t(std::llround(options.tailSeconds * options.sampleRate));
    settings.quietFrames = std::max<int64_t>(1, std::llround(quietSeconds * options.sampleRate));
    settings.maxAutoTailFrames = std::llround(maxAutoTailSeconds * options.sampleRate);
    settings.maxFrames = std::llround(options.maxLengthSeconds * options.sampleRate);

    AudioFileWriter writer(output, options.format, options.bits, host.numOutputs(), options.sampleRate);
    ProgressBar bar(options.showProgress, std::min(settings.endFrame, settings.maxFrames),
                    options.sampleRate);

    host.switchOn();
    const auto started = std::chrono::steady_clock::now();
    RenderResult result;
    try {
        result = renderSchedule(
            host, song.events, settings,
            [&](const float* samples, int64_t frames, int32_t) { writer.write(samples, frames); },
            [&](int64_t done) {
                bar.update(done);
                return true;
            });
    } catch (...) {
        bar.finish();
        throw;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    bar.finish();
    host.switchOff();
    host.close();
    writer.commit();

    RenderSummary summary;
    summary.outputPath = output;
    summary.frames = result.frames;
    summary.channels = channels;
    summary.sampleRate = options.sampleRate;
    summary.seconds = double(result.frames) / options.sampleRate;
    summary.peak = result.peak;
    summary.realTimeFactor = elapsed > 0.0 ? summary.seconds / elapsed : 0.0;
    summary.nonFiniteSamples = result.nonFiniteSamples;
    summary.stoppedAtMaxLength = result.stoppedAtMaxLength;
    summary.tailCut = result.tailCut;
    return summary;
}

std::string summaryLine(const RenderSummary& s) {
    char text[512];
    std::snprintf(text, sizeof text, "%s: %lld frames, %.3f s, %d channel%s, %d Hz, peak %s, %.1fx real time",
                  s.outputPath.c_str(), static_cast<long long>(s.frames), s.seconds, s.channels,
                  s.channels == 1 ? "" : "s", s.sampleRate, formatDecibels(s.peak).c_str(), s.realTimeFactor);
    return text;
}

} // namespace solvantis
