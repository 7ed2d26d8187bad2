// The render process's work: the song, the plug-in set up in host order, the render, the level.
#include "render.h"

#include "cli_error.h"
#include "demo_phrase.h"
#include "output_target.h"
#include "plugin_locator.h"
#include "preset_file.h"
#include "printable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unistd.h>

namespace solvantis {

namespace {

constexpr double maxAutoTailSeconds = 10.0;
constexpr double quietSeconds = 0.1;

std::string quote(const std::string& text) {
    return "'" + text + "'";
}

// The song to render, on the sample-frame grid of the render.
struct Song {
    std::vector<ScheduledEvent> events;
    int64_t endFrame = 0;
};

Song songFromMidi(const MidiSong& midi, const std::vector<MidiMessage>& messages, int32_t sampleRate) {
    Song song;
    for (const TimedMidiMessage& m : toFrames(messages, sampleRate)) {
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

// Loads the preset and selects the program in the order that keeps both: a bank first and then its
// program, a single program into the program selected.
void chooseSound(PluginHost& host, const RenderOptions& options, const std::string& pluginPath,
                 CallSite& site) {
    PresetFile preset;
    if (!options.presetPath.empty()) {
        {
            const OwnWorkMark reading(&site, "the preset", options.presetPath);
            preset = readPresetFile(options.presetPath);
        }
        if (preset.bank) {
            applyPreset(host, preset, options.presetPath, options.force);
        }
    }
    if (options.program >= 0) {
        if (options.program >= host.numPrograms()) {
            throw CliError("program " + std::to_string(options.program) + " is out of range for plug-in " +
                           quote(pluginPath) + " (it has " + std::to_string(host.numPrograms()) +
                           " programs)");
        }
        host.setProgram(options.program);
    }
    if (!options.presetPath.empty() && !preset.bank) {
        applyPreset(host, preset, options.presetPath, options.force);
    }
}

// The instruments known to play one note at a time. No VST 2 field says so, so others are not guessed at.
bool playsOneNoteAtATime(const PluginHost& host, const std::string& effectName) {
    constexpr int32_t solvantisID = ('k' << 24) | ('w' << 16) | ('b' << 8) | 't';
    return host.uniqueID() == solvantisID && effectName == "Solvantis";
}

void copyText(char* field, size_t size, const std::string& text) {
    const size_t n = std::min(text.size(), size - 1);
    std::copy(text.begin(), text.begin() + std::ptrdiff_t(n), field);
    field[n] = '\0';
}

// What of the file reaches the plug-in: the channels and tracks whose notes play, and the melodic
// channel with the most notes (the drums' channel 10 left aside).
void notePlayed(const std::vector<MidiMessage>& messages, RenderStats& stats) {
    int64_t notes[16] = {};
    for (const MidiMessage& m : messages) {
        if ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) {
            const int channel = m.bytes[0] & 0x0F;
            ++notes[channel];
            stats.channelsPlayed |= 1u << channel;
            if (m.track >= 1 && m.track <= 32) {
                stats.tracksPlayed |= 1u << (m.track - 1);
            }
        }
    }
    int busiest = -1;
    for (int c = 0; c < 16; ++c) {
        if (c != 9 && notes[c] > 0 && (busiest < 0 || notes[c] > notes[busiest])) {
            busiest = c;
        }
    }
    stats.suggestedChannel = busiest + 1;
}

} // namespace

RenderStats renderJob(const RenderOptions& options, CallSite& site) {
    RenderStats stats;
    const bool soundChosen = options.program >= 0 || !options.presetPath.empty();
    EventSelection selection = options.selection;
    selection.keepProgramChanges = !soundChosen || options.keepProgramChanges;
    stats.program = options.program;
    stats.presetLoaded = !options.presetPath.empty();
    stats.keptProgramChanges = selection.keepProgramChanges;

    MidiSong midi;
    std::vector<MidiMessage> messages;
    if (!options.midiPath.empty()) {
        MidiLimits limits;
        limits.readTimeoutSeconds = options.hangSeconds; // a pipe that pauses this long is given up
        const OwnWorkMark reading(&site, "the MIDI file",
                                  options.midiPath == "-" ? "standard input" : options.midiPath);
        try {
            midi = readMidiFile(options.midiPath, limits);
        } catch (const std::bad_alloc&) {
            throw CliError("not enough memory to read the MIDI file '" + options.midiPath + "'");
        }
        SelectionReport report;
        messages = selectEvents(midi, selection, report);
        stats.programChangesLeftOut = report.programChangesLeftOut;
        stats.programChangesKept = report.programChangesKept;
        stats.notesOutOfRange = report.notesOutOfRange;
        stats.channelsWithNotes = report.channelsWithNotes;
        stats.tracksWithNotes = report.tracksWithNotes;
        stats.songSeconds = midi.lengthSeconds;
        notePlayed(messages, stats);
    }
    stats.channelsChosen = !selection.channels.empty();
    stats.tracksChosen = !selection.tracks.empty();
    stats.normalized = options.normalize;

    const std::string pluginPath = options.pluginPath.empty() ? defaultPluginPath() : options.pluginPath;
    PluginHostOptions hostOptions;
    hostOptions.sampleRate = float(options.sampleRate);
    hostOptions.blockSize = options.blockSize;
    hostOptions.callSite = &site;
    PluginHost host(pluginPath, hostOptions);
    if (host.numInputs() < 0 || host.numInputs() > 64) {
        throw CliError("plug-in " + quote(pluginPath) + " reports " + std::to_string(host.numInputs()) +
                       " inputs; that is not a plug-in we can drive");
    }
    if (host.numOutputs() <= 0 || host.numOutputs() > 64) {
        throw CliError("plug-in " + quote(pluginPath) + " reports " + std::to_string(host.numOutputs()) +
                       " outputs; nothing to render");
    }
    stats.channels = host.numOutputs();
    stats.sampleRate = options.sampleRate;
    if (!host.canReplace() && host.effect()->process == nullptr) {
        throw CliError("plug-in " + quote(pluginPath) + " has no process entry");
    }

    // The order of a real host: open, rate, block size, program and preset, parameters, switch on.
    host.open();
    if (!host.isSynth() && host.canDo("receiveVstMidiEvent") <= 0) {
        throw CliError(
            "plug-in " + quote(pluginPath) +
            " takes no MIDI (neither the instrument flag nor receiveVstMidiEvent): it is an effect, "
            "and render plays instruments");
    }
    // The names for the summary, asked as a host asks them once the plug-in is open.
    copyText(stats.pluginName, sizeof stats.pluginName, host.getEffectName());
    copyText(stats.pluginVendor, sizeof stats.pluginVendor, host.getVendorString());
    stats.pluginVersion = host.getVendorVersion();
    const uint32_t played = stats.channelsPlayed;
    stats.monoWarning = playsOneNoteAtATime(host, stats.pluginName) &&
                        ((played & (played - 1)) != 0 || (played & (1u << 9)) != 0);
    if (stats.monoWarning && !options.quiet) {
        // Before the render, which may be long, so that the user can stop it and choose.
        std::fprintf(stderr, "solvantis: warning: %s%s\n", printable(options.warningPrefix).c_str(),
                     monoWarningLine(stats).c_str());
    }
    host.setSampleRate(float(options.sampleRate));
    host.setBlockSize(options.blockSize);
    chooseSound(host, options, pluginPath, site);
    for (const std::string& setting : options.settings) {
        applySetting(host, setting);
    }

    const Song song = options.midiPath.empty() ? songFromDemo(host, options.sampleRate)
                                               : songFromMidi(midi, messages, options.sampleRate);

    RenderSettings settings;
    settings.blockSize = options.blockSize;
    settings.endFrame = song.endFrame;
    settings.autoTail = options.autoTail;
    settings.tailFrames = int64_t(std::llround(options.tailSeconds * options.sampleRate));
    settings.quietFrames = std::max<int64_t>(1, std::llround(quietSeconds * options.sampleRate));
    settings.maxAutoTailFrames = std::llround(maxAutoTailSeconds * options.sampleRate);
    settings.maxFrames = std::llround(options.maxLengthSeconds * options.sampleRate);
    settings.callSite = &site;
    site.sampleRate = options.sampleRate;
    site.totalFrames = std::min(settings.endFrame, settings.maxFrames);

    RenderStreamHeader header;
    header.channels = stats.channels;
    header.frameBound = std::min(
        settings.maxFrames,
        settings.endFrame +
            std::max<int64_t>(settings.autoTail ? settings.maxAutoTailFrames : settings.tailFrames, 0));
    if (!writeAllBytes(site.streamFd, &header, sizeof header)) {
        throw CliError("the command stopped taking the render");
    }

    host.switchOn();
    const auto started = std::chrono::steady_clock::now();
    const RenderResult result = renderSchedule(
        host, song.events, settings, [&](const float* samples, int64_t frames, int32_t channels) {
            if (!writeAllBytes(site.streamFd, samples, sizeof(float) * size_t(channels) * size_t(frames))) {
                throw CliError("the command stopped taking the render");
            }
        });
    stats.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    host.switchOff();
    host.close();

    stats.gainDecibels = options.gainDecibels;
    stats.frames = result.frames;
    stats.pluginPeak = result.peak;
    stats.nonFiniteSamples = result.nonFiniteSamples;
    stats.stoppedAtMaxLength = result.stoppedAtMaxLength;
    stats.tailCut = result.tailCut;
    return stats;
}

// ---------------------------------------------------------------- the command's side

namespace {

// The last stage before the file: the gain, the peak and the count of samples beyond full scale.
class OutputStage {
public:
    OutputStage(AudioFileWriter& file, SampleBits bits, double gainDecibels)
        : writer(file), gain(float(std::pow(10.0, gainDecibels / 20.0))), integer(bits != SampleBits::Float) {
    }

    void write(const float* samples, int64_t frames, int32_t channels) {
        const size_t count = size_t(frames) * size_t(channels);
        scaled.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const float s = samples[i] * gain;
            const float magnitude = std::fabs(s);
            peak = std::max(peak, magnitude);
            clipped += integer && magnitude > 1.0f;
            scaled[i] = s;
        }
        writer.write(scaled.data(), frames);
    }

    AudioFileWriter& writer;
    float gain;
    bool integer;
    float peak = 0.0f;
    int64_t clipped = 0;

private:
    std::vector<float> scaled;
};

} // namespace

struct RenderedFile::Parts {
    bool headed = false;
    int32_t channels = 0;
    int64_t received = 0; // frames taken from the stream
    std::string pending;  // bytes of a header or frame not yet whole
    std::vector<float> frames;
    std::unique_ptr<AudioFileWriter> writer;
    std::unique_ptr<OutputStage> stage;
    int raw = -1; // a normalized render's raw samples, until its level is known
    int64_t rawBytes = 0;

    ~Parts() {
        if (raw >= 0) {
            ::close(raw);
        }
    }
};

RenderedFile::RenderedFile(const RenderOptions& given, int outputFd, std::string name)
    : options(given), fd(outputFd), shownName(std::move(name)), parts(std::make_unique<Parts>()) {}

RenderedFile::~RenderedFile() = default;

void RenderedFile::take(const char* data, size_t size) {
    Parts& p = *parts;
    p.pending.append(data, size);
    if (!p.headed) {
        if (p.pending.size() < sizeof(RenderStreamHeader)) {
            return;
        }
        RenderStreamHeader header;
        std::memcpy(&header, p.pending.data(), sizeof header);
        p.pending.erase(0, sizeof header);
        if (header.channels <= 0 || header.channels > 64) {
            throw CliError("the render process sent no audio");
        }
        p.headed = true;
        p.channels = header.channels;
        p.writer = std::make_unique<AudioFileWriter>(fd, shownName, options.format, options.bits, p.channels,
                                                     options.sampleRate, header.frameBound);
        p.stage = std::make_unique<OutputStage>(*p.writer, options.bits, options.gainDecibels);
        if (options.normalize) {
            p.raw = openUnnamedTemporary("for --normalize");
        }
    }
    const size_t frameBytes = sizeof(float) * size_t(p.channels);
    const size_t whole = p.pending.size() / frameBytes;
    if (whole == 0) {
        return;
    }
    if (p.raw >= 0) {
        if (!writeAllBytes(p.raw, p.pending.data(), whole * frameBytes)) {
            throw CliError("cannot write the temporary file for --normalize: " +
                           std::string(std::strerror(errno)));
        }
        p.rawBytes += int64_t(whole * frameBytes);
    } else {
        p.frames.resize(whole * size_t(p.channels));
        std::memcpy(p.frames.data(), p.pending.data(), whole * frameBytes);
        p.stage->write(p.frames.data(), int64_t(whole), p.channels);
    }
    p.received += int64_t(whole);
    p.pending.erase(0, whole * frameBytes);
}

void RenderedFile::finish(RenderStats& stats) {
    Parts& p = *parts;
    if (!p.headed || p.channels != stats.channels || !p.pending.empty() || p.received != stats.frames) {
        throw CliError("the render process sent " + std::to_string(p.received) + " of its " +
                       std::to_string(stats.frames) + " frames");
    }
    if (p.raw >= 0) {
        stats.gainDecibels = stats.pluginPeak > 0.0f
                                 ? options.normalizeDbfs - 20.0 * std::log10(double(stats.pluginPeak))
                                 : 0.0;
        p.stage->gain = float(std::pow(10.0, stats.gainDecibels / 20.0));
        const size_t frameBytes = sizeof(float) * size_t(p.channels);
        p.frames.resize(size_t(8192) * size_t(p.channels));
        int64_t offset = 0;
        while (offset < p.rawBytes) {
            const size_t want = size_t(std::min<int64_t>(p.rawBytes - offset, int64_t(8192 * frameBytes)));
            const ssize_t n = ::pread(p.raw, p.frames.data(), want, offset);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || size_t(n) % frameBytes != 0) {
                throw CliError("cannot read the temporary file for --normalize back" +
                               std::string(n < 0 ? ": " + std::string(std::strerror(errno)) : ""));
            }
            p.stage->write(p.frames.data(), int64_t(size_t(n) / frameBytes), p.channels);
            offset += n;
        }
    }
    p.writer->finish();
    if (p.writer->framesWritten() != stats.frames) {
        throw CliError("cannot write '" + shownName + "': " + std::to_string(p.writer->framesWritten()) +
                       " of " + std::to_string(stats.frames) + " frames written");
    }
    verifyAudioFile(fd, shownName, p.channels, options.sampleRate, stats.frames);
    stats.frames = p.writer->framesWritten();
    stats.peak = p.stage->peak;
    stats.clippedSamples = p.stage->clipped;
    // Silent: every sample rounds to zero in the file's format.
    const float smallest = options.bits == SampleBits::Int16   ? 0.5f / 32768.0f
                           : options.bits == SampleBits::Int24 ? 0.5f / 8388608.0f
                                                               : 0.0f;
    stats.silent = !(p.stage->peak > smallest);
}

} // namespace solvantis
