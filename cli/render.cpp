#include "render.h"

#include "cli_error.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace solvantis {

namespace {

// The rates offered are the rates that play: below 8 kHz, the lowest rate hosts use, an instrument may
// keep the rate it had (ours does), and the file would be labelled with a rate its sound was not made at.
constexpr int32_t minSampleRate = 8000;   // Hz
constexpr int32_t maxSampleRate = 768000; // Hz
constexpr int32_t maxBlockSize = 65536;   // frames

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

} // namespace

std::string plainNumber(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
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
        if (settings.callSite != nullptr) {
            settings.callSite->frame = position;
        }
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
    if (options.sampleRate < minSampleRate || options.sampleRate > maxSampleRate) {
        throw CliError("sample rate " + std::to_string(options.sampleRate) + " Hz is out of range (" +
                       std::to_string(minSampleRate) + " to " + std::to_string(maxSampleRate) + ")");
    }
    if (options.blockSize <= 0 || options.blockSize > maxBlockSize) {
        throw CliError("block size " + std::to_string(options.blockSize) + " is out of range (1 to " +
                       std::to_string(maxBlockSize) + " frames)");
    }
    if (!options.autoTail && !(options.tailSeconds >= 0.0 && options.tailSeconds <= 3600.0)) {
        throw CliError("tail of " + plainNumber(options.tailSeconds) + " s is out of range (0 to 3600)");
    }
    if (!(options.maxLengthSeconds > 0.0 && options.maxLengthSeconds <= maxRenderSeconds)) {
        throw CliError("maximum length of " + plainNumber(options.maxLengthSeconds) +
                       " s is out of range (above 0, at most 86400)");
    }
    if (!(std::fabs(options.gainDecibels) <= 200.0)) {
        throw CliError("gain of " + plainNumber(options.gainDecibels) + " dB is out of range (-200 to 200)");
    }
    if (options.normalize && !(options.normalizeDbfs >= -200.0 && options.normalizeDbfs <= 24.0)) {
        throw CliError("--normalize " + plainNumber(options.normalizeDbfs) +
                       " dBFS is out of range (-200 to 24)");
    }
    if (options.normalize && options.gainDecibels != 0.0) {
        throw CliError("--gain and --normalize both set the level; give one of them");
    }
    if (!(options.hangSeconds > 0.0 && options.hangSeconds <= 86400.0)) {
        throw CliError("timeout of " + plainNumber(options.hangSeconds) +
                       " s is out of range (above 0, at most 86400)");
    }
    if (options.midiPath.empty() && (!options.selection.channels.empty() ||
                                     !options.selection.tracks.empty() || options.selection.transpose != 0)) {
        throw CliError("--channel, --track and --transpose choose from a MIDI file; the demo plays as it is");
    }
    if (options.format == AudioFormat::Flac && options.bits == SampleBits::Float) {
        throw CliError("FLAC holds no float samples; use --bits 16 or --bits 24");
    }
}

} // namespace solvantis
