// The render command as the user meets it: where the output goes, the render process, the summary
// and the warnings.
#include "render.h"

#include "cli_error.h"
#include "output_target.h"
#include "plugin_locator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace solvantis {

namespace {

static_assert(std::is_trivially_copyable_v<RenderStats>);

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

// "78,000"
std::string grouped(int64_t n) {
    const std::string digits = std::to_string(n);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') {
            text.push_back(',');
        }
        text.push_back(digits[i]);
    }
    return text;
}

// "+6", "-1.5"
std::string signedNumber(double value) {
    return (value > 0.0 ? "+" : "") + plainNumber(value);
}

// "channel 3", "channels 1, 2, 10"
std::string numbered(const std::string& what, uint32_t bits) {
    return what + ((bits & (bits - 1)) != 0 ? "s " : " ") + listOfBits(bits);
}

// A name the plug-in gave, with control characters shown as '?' so that it cannot steer the terminal.
std::string printable(const char* text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return shown;
}

// A bar on standard error, redrawn at most ten times a second.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : on(enabled) {}

    void update(const CallSite& site) {
        if (!on || site.frame < 0 || site.sampleRate <= 0) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (drawn && now - lastDraw < std::chrono::milliseconds(100)) {
            return;
        }
        lastDraw = now;
        drawn = true;
        constexpr int width = 40;
        const int64_t total = site.totalFrames;
        const int64_t expected = std::max<int64_t>(total, 1);
        const double fraction = std::min(1.0, double(site.frame) / double(expected));
        const int filled = int(fraction * width);
        std::string bar(size_t(filled), '#');
        bar.append(size_t(width - filled), '-');
        std::fprintf(stderr, "\r[%s] %3d%% %8.2f s%s", bar.c_str(), int(fraction * 100.0),
                     double(site.frame) / site.sampleRate, site.frame > expected ? " (tail)" : "       ");
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
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw{};
};

AudioFormat formatOf(const std::string& extension, bool& known) {
    known = extension == ".wav" || extension == ".wave" || extension == ".flac";
    return extension == ".flac" ? AudioFormat::Flac : AudioFormat::Wav;
}

const char* formatName(AudioFormat format) {
    return format == AudioFormat::Flac ? "FLAC" : "WAV";
}

// The format from --format and the output's extension, which must agree.
void settleFormat(RenderOptions& options, const OutputTarget& target) {
    const std::string extension = target.isStandardOutput() ? "" : extensionOf(options.outputPath);
    bool known = false;
    const AudioFormat named = formatOf(extension, known);
    if (!extension.empty() && !known) {
        throw CliError("cannot write " + quote(options.outputPath) +
                       ": solvantis writes WAV (.wav) and FLAC (.flac), not '" + extension + "'");
    }
    if (known && options.formatGiven && named != options.format) {
        throw CliError("-o " + quote(options.outputPath) + " names a " + formatName(named) +
                       " file but --format is " + (options.format == AudioFormat::Flac ? "flac" : "wav"));
    }
    if (known) {
        options.format = named;
    }
    if (options.format == AudioFormat::Flac && options.bits == SampleBits::Float) {
        throw CliError("FLAC holds no float samples; use --bits 16 or --bits 24 for " + quote(target.name()));
    }
}

} // namespace

std::string formatDecibels(float peak) {
    if (!(peak > 0.0f)) {
        return "-inf dBFS";
    }
    char text[32];
    const double db = 20.0 * std::log10(double(peak));
    std::snprintf(text, sizeof text, db >= 0.05 ? "+%.1f dBFS" : "%.1f dBFS", db);
    return text;
}

std::string defaultOutputPath(const std::string& midiPath, AudioFormat format) {
    const std::string extension = format == AudioFormat::Flac ? ".flac" : ".wav";
    return midiPath.empty() ? "solvantis-demo" + extension : withExtension(midiPath, extension);
}

RenderSummary runRender(const RenderOptions& given) {
    RenderOptions options = given;
    validateRenderOptions(options);

    // The input first: a missing MIDI file is what is wrong, whatever the output beside it would meet.
    if (!options.midiPath.empty() && options.midiPath != "-") {
        struct stat info {};
        if (::stat(options.midiPath.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
            throw CliError("MIDI file " + quote(options.midiPath) + " does not exist");
        }
    }
    std::string output = options.outputPath;
    if (output.empty() && options.midiPath == "-") {
        throw CliError("a song read from standard input needs -o to name the audio file");
    }
    if (output.empty()) {
        output = defaultOutputPath(options.midiPath, options.format);
        options.outputPath = output;
    }
    OutputTarget target(output, options.force);
    target.refuseToReplace(options.midiPath, "MIDI file");
    target.refuseToReplace(options.pluginPath.empty() ? defaultPluginPathIfAny() : options.pluginPath,
                           "plug-in");
    target.refuseToReplace(options.presetPath, "preset");
    target.refuseToReplace("/proc/self/exe", "program");
    settleFormat(options, target);
    const int fd = target.open("write somewhere else with -o DIR/ (or -o FILE" +
                               std::string(options.format == AudioFormat::Flac ? ".flac" : ".wav") + ")");

    ProgressBar bar(options.showProgress);
    ChildOptions childOptions;
    childOptions.hangSeconds = options.hangSeconds;
    // A pipe's pauses are given up by the reader after --timeout; the whole reading gets twice that.
    childOptions.readSeconds = 2.0 * options.hangSeconds;
    childOptions.onProgress = [&](const CallSite& site) { bar.update(site); };
    // The render process sends the audio; this one writes the file, so that nothing the plug-in starts
    // holds it.
    RenderedFile file(options, fd, target.name());
    childOptions.onStream = [&](const char* data, size_t size) { file.take(data, size); };
    RenderSummary summary;
    try {
        const std::string bytes = runPluginJob(
            [&](CallSite& site) {
                const RenderStats stats = renderJob(options, site);
                return std::string(reinterpret_cast<const char*>(&stats), sizeof stats);
            },
            childOptions);
        bar.finish();
        if (bytes.size() != sizeof(RenderStats)) {
            throw CliError("the render process sent no result");
        }
        std::memcpy(static_cast<void*>(&summary.stats), bytes.data(), sizeof(RenderStats));
        file.finish(summary.stats);
    } catch (...) {
        bar.finish();
        target.discard();
        throw;
    }
    target.commit();
    summary.outputPath = target.name();
    // The default is found beside the program ("bin/../lib/vst/Solvantis.so"): shown without the detour.
    summary.pluginPath = options.pluginPath.empty()
                             ? std::filesystem::path(defaultPluginPath()).lexically_normal().string()
                             : options.pluginPath;
    summary.toStandardOutput = target.isStandardOutput();
    summary.seconds = double(summary.stats.frames) / summary.stats.sampleRate;
    summary.realTimeFactor =
        summary.stats.elapsedSeconds > 0.0 ? summary.seconds / summary.stats.elapsedSeconds : 0.0;
    return summary;
}

std::string summaryLine(const RenderSummary& summary) {
    const RenderStats& s = summary.stats;
    char text[512];
    std::snprintf(text, sizeof text, "%s: %lld frames, %.3f s, %d channel%s, %d Hz, peak %s, %.1fx real time",
                  summary.outputPath.c_str(), static_cast<long long>(s.frames), summary.seconds, s.channels,
                  s.channels == 1 ? "" : "s", s.sampleRate, formatDecibels(s.peak).c_str(),
                  summary.realTimeFactor);
    std::string line = text;
    if (s.gainDecibels != 0.0) {
        std::snprintf(text, sizeof text, ", gain %+.1f dB", s.gainDecibels);
        line += text;
    }
    if (s.pluginName[0] != '\0' || !summary.pluginPath.empty()) {
        line += "; " + printable(s.pluginName) +
                (s.pluginVendor[0] != '\0' ? " by " + printable(s.pluginVendor) : "") + " (" +
                summary.pluginPath + ")";
    }
    if (s.channelsPlayed != 0) {
        line += "; played " + numbered("channel", s.channelsPlayed);
        if (s.tracksPlayed != 0) {
            line += " from " + numbered("track", s.tracksPlayed);
        }
    }
    const std::string chosen = s.program >= 0   ? "program " + std::to_string(s.program)
                               : s.presetLoaded ? std::string("the preset")
                                                : std::string();
    if (!chosen.empty() && s.programChangesLeftOut > 0) {
        line += "; " + chosen + ", the file's " + grouped(s.programChangesLeftOut) + " program change" +
                (s.programChangesLeftOut == 1 ? "" : "s") + " left out";
    } else if (!chosen.empty() && s.programChangesKept > 0) {
        line += "; " + chosen + ", then the file's " + grouped(s.programChangesKept) + " program change" +
                (s.programChangesKept == 1 ? "" : "s");
    }
    return line;
}

std::string monoWarningLine(const RenderStats& s) {
    if (!s.monoWarning) {
        return {};
    }
    std::string channels;
    for (int c = 0; c < 16; ++c) {
        if ((s.channelsPlayed & (1u << c)) != 0) {
            channels += (channels.empty() ? "" : ", ") + std::to_string(c + 1) + (c == 9 ? " (drums)" : "");
        }
    }
    std::string line = printable(s.pluginName) + " plays one note at a time, but the notes of channel" +
                       (s.channelsPlayed & (s.channelsPlayed - 1) ? "s " : " ") + channels +
                       " would all reach it; ";
    if (s.suggestedChannel > 0) {
        line += "to play one part, add --channel " + std::to_string(s.suggestedChannel) +
                " (the busiest melodic channel)";
    } else {
        line += "choose a melodic channel with --channel";
    }
    return line;
}

std::vector<std::string> renderWarnings(const RenderSummary& summary, double maxLengthSeconds) {
    const RenderStats& s = summary.stats;
    std::vector<std::string> lines;
    if (s.nonFiniteSamples > 0) {
        lines.push_back("the plug-in produced " + grouped(s.nonFiniteSamples) +
                        " samples that were not finite (NaN or infinite); they were written as silence");
    }
    if (s.pluginPeak > std::pow(10.0f, 24.0f / 20.0f)) {
        lines.push_back("the plug-in's output peaks at " + formatDecibels(s.pluginPeak) +
                        ", beyond +24 dBFS: it has run out of bounds");
    }
    if (s.clippedSamples > 0) {
        // What lowers the level: the option that raised it, or the one that sets it for the user.
        const std::string remedy = s.normalized ? "give --normalize a lower level, or use --bits float"
                                   : s.gainDecibels > 0.0
                                       ? "lower --gain (now " + signedNumber(s.gainDecibels) +
                                             " dB), use --normalize, or use --bits float"
                                       : "use --normalize, a negative --gain or --bits float";
        lines.push_back(grouped(s.clippedSamples) + " samples clipped, peak " + formatDecibels(s.peak) +
                        "; " + remedy);
    }
    if (s.notesOutOfRange > 0) {
        lines.push_back(grouped(s.notesOutOfRange) +
                        (s.notesOutOfRange == 1
                             ? " note transposed beyond the MIDI keys 0 to 127 was left out"
                             : " notes transposed beyond the MIDI keys 0 to 127 were left out"));
    }
    if (s.silent) {
        std::string line = "the render is silent (peak " + formatDecibels(s.peak) + ")";
        // The hint names the choice that was made: the tracks when --track chose, else the channels.
        if (s.tracksChosen && !s.channelsChosen && s.tracksWithNotes != 0) {
            line += "; the file plays notes on " + numbered("track", s.tracksWithNotes) +
                    " (choose with --track)";
        } else if (s.channelsWithNotes != 0) {
            line += "; the file plays notes on " + numbered("channel", s.channelsWithNotes) +
                    " (choose with --channel)";
        }
        lines.push_back(line);
    }
    if (s.stoppedAtMaxLength) {
        std::string line = "stopped at the maximum length of " + plainNumber(maxLengthSeconds) + " s";
        if (s.songSeconds > 0.0) {
            // Room for the song and the longest automatic tail.
            // --max-length takes at most a day; a longer song is advised that longest render.
            const double all = std::ceil(s.songSeconds) + 10.0;
            line += "; the file is " + plainNumber(std::round(s.songSeconds * 10.0) / 10.0) + " s long";
            if (all <= maxRenderSeconds) {
                line += " (--max-length " + plainNumber(all) + " renders all of it)";
            } else if (maxLengthSeconds < maxRenderSeconds) {
                line += " (--max-length " + plainNumber(maxRenderSeconds) +
                        ", the longest, renders the first " + plainNumber(maxRenderSeconds) + " s)";
            } else {
                line += ", longer than the longest render";
            }
        }
        lines.push_back(line);
    }
    if (s.tailCut) {
        lines.push_back(
            "still sounding 10 s after the last event; the tail was cut there (use --tail SECONDS for "
            "a longer one)");
    }
    return lines;
}

} // namespace solvantis
