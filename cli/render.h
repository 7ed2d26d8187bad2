// The render command: a MIDI file (or the built-in demo) through a VST 2 instrument into an audio file.
#pragma once

#include "audio_file.h"
#include "midi_file.h"
#include "plugin_host.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace solvantis {

// One thing that happens at a sample frame of the render: a MIDI message for the instrument, or a new
// parameter value (the way a host plays back automation).
struct ScheduledEvent {
    enum class Kind { Midi, Parameter };
    int64_t frame = 0;
    Kind kind = Kind::Midi;
    uint8_t bytes[3] = {0, 0, 0}; // Midi
    int32_t parameter = 0;        // Parameter: index
    float value = 0.0f;           // Parameter: host value 0..1
};

struct RenderSettings {
    int32_t blockSize = 512;       // frames per process call
    int64_t endFrame = 0;          // the frame of the song's end (its last event); the tail follows it
    bool autoTail = true;          // run on until the output has been quiet, instead of a fixed tail
    int64_t tailFrames = 0;        // fixed tail length, when not autoTail
    int64_t quietFrames = 4410;    // auto tail: this long below quietLevel ends the render (100 ms)
    float quietLevel = 1e-5f;      // auto tail: -100 dBFS
    int64_t maxAutoTailFrames = 0; // auto tail: the longest tail (10 s)
    int64_t maxFrames = INT64_MAX; // the longest render of all (--max-length)
};

struct RenderResult {
    int64_t frames = 0;           // frames handed to the sink
    float peak = 0.0f;            // largest magnitude of any sample
    int64_t nonFiniteSamples = 0; // NaN or infinite samples from the plug-in, written as 0
    bool stoppedAtMaxLength = false;
    bool tailCut = false; // the auto tail reached its longest while the output still sounded
};

// Receives the rendered audio, interleaved, block by block.
using AudioSink = std::function<void(const float* interleaved, int64_t frames, int32_t channels)>;
// Told how many frames are done after every block; returns false to stop the render.
using RenderProgress = std::function<bool(int64_t framesDone)>;

// Renders the schedule through a plug-in that is already set up and switched on. Each block gets one
// effProcessEvents (when events fall into it) with every event at its exact frame, then one process
// call; a parameter change splits the block so that it takes effect at its own frame. Events must be
// sorted by frame.
RenderResult renderSchedule(PluginHost& host, const std::vector<ScheduledEvent>& events,
                            const RenderSettings& settings, const AudioSink& sink,
                            const RenderProgress& progress = {});

// Everything the render command takes from its command line.
struct RenderOptions {
    std::string midiPath;   // empty: the built-in demo
    std::string outputPath; // empty: the MIDI file's name with the audio extension, or solvantis-demo.wav
    std::string pluginPath; // empty: Solvantis.so beside the executable, then $SOLVANTIS_PLUGIN
    int32_t sampleRate = 44100;
    int32_t blockSize = 512;
    int32_t program = -1;              // -1: leave the plug-in's own
    std::vector<std::string> settings; // "NAME=VALUE" or "INDEX=VALUE"
    bool autoTail = true;
    double tailSeconds = 0.0;
    double maxLengthSeconds = 600.0;
    AudioFormat format = AudioFormat::Wav;
    bool formatGiven = false;
    SampleBits bits = SampleBits::Int24;
    bool showProgress = false;
};

struct RenderSummary {
    std::string outputPath;
    int64_t frames = 0;
    int32_t channels = 0;
    int32_t sampleRate = 0;
    double seconds = 0.0;
    float peak = 0.0f;
    double realTimeFactor = 0.0;
    int64_t nonFiniteSamples = 0;
    bool stoppedAtMaxLength = false;
    bool tailCut = false;
};

// Checks the options that need no file (rate, block size, tail, length); throws CliError.
void validateRenderOptions(const RenderOptions& options);

// The whole command: read, load, set up in host order, render, write. Throws CliError; on any failure
// no output file is left behind.
RenderSummary runRender(const RenderOptions& options);

// "out.wav: 441000 frames, 10.000 s, 2 channels, 44100 Hz, peak -3.1 dBFS, 52.3x real time"
std::string summaryLine(const RenderSummary& summary);

// Finds the parameter a --set names: an index, or a name compared with trailing blanks ignored and
// letter case folded. Returns -1 when nothing matches.
int32_t findParameter(PluginHost& host, const std::string& name);

// Applies "NAME=VALUE" to the plug-in; throws CliError for an unknown name, an index out of range or a
// value that is not a number in 0..1.
void applySetting(PluginHost& host, const std::string& setting);

// Parses a decimal number; false when the text is not one (or not finite).
bool parseNumber(const std::string& text, double& value);

// Asks the user's interrupt to end the render (from a signal handler); the partial file is removed.
void requestRenderStop();

} // namespace solvantis
