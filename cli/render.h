// The render command: a MIDI file (or the built-in demo) through a VST 2 instrument into an audio file.
#pragma once

#include "audio_file.h"
#include "child_process.h"
#include "event_selection.h"
#include "midi_file.h"
#include "plugin_host.h"

#include <cstdint>
#include <functional>
#include <memory>
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
    CallSite* callSite = nullptr;  // told the position of every block before its calls
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
    std::string outputPath; // empty: the MIDI file's name with the audio extension, or solvantis-demo.wav;
                            // "-": standard output
    std::string pluginPath; // empty: Solvantis.so beside the executable, then $SOLVANTIS_PLUGIN
    int32_t sampleRate = 44100;
    int32_t blockSize = 512;
    int32_t program = -1;              // -1: leave the plug-in's own
    std::string presetPath;            // a .fxp or .fxb loaded before the render
    bool force = false;                // load a preset made for another plug-in
    std::vector<std::string> settings; // "NAME=VALUE" or "INDEX=VALUE"
    EventSelection selection;          // its keepProgramChanges is worked out from the two fields below
    bool keepProgramChanges = false;   // the file's program changes play even after --program or --preset
    bool autoTail = true;
    double tailSeconds = 0.0;
    double maxLengthSeconds = 600.0;
    double gainDecibels = 0.0;
    bool normalize = false;
    double normalizeDbfs = -1.0; // the peak a normalized render is scaled to
    AudioFormat format = AudioFormat::Wav;
    bool formatGiven = false;
    SampleBits bits = SampleBits::Int24;
    bool showProgress = false;
    bool quiet = false;        // print errors only
    double hangSeconds = 60.0; // one plug-in call this long is taken for a hang
    std::string warningPrefix; // "song.mid: " in a batch of several files: each warning names its file
};

// What a render came to, sent from the render process to the command as it is.
struct RenderStats {
    int64_t frames = 0;
    int32_t channels = 0;
    int32_t sampleRate = 0;
    float pluginPeak = 0.0f;      // the plug-in's own output, before any gain
    float peak = 0.0f;            // what was written
    double gainDecibels = 0.0;    // the gain applied (--gain, or what --normalize worked out)
    int64_t clippedSamples = 0;   // beyond full scale in a 16- or 24-bit file
    int64_t nonFiniteSamples = 0; // NaN or infinite samples from the plug-in, written as 0
    bool silent = false;          // nothing above the smallest step of the file's format
    bool stoppedAtMaxLength = false;
    bool tailCut = false;
    double elapsedSeconds = 0.0;
    int32_t program = -1; // --program, when given
    bool presetLoaded = false;
    bool keptProgramChanges = true;
    int64_t programChangesLeftOut = 0;
    int64_t programChangesKept = 0;
    int64_t notesOutOfRange = 0;
    uint32_t channelsWithNotes = 0; // bit c: the file's channel c+1 has notes
    uint32_t tracksWithNotes = 0;   // bit t: the file's track t+1 (first 32) has notes
    uint32_t channelsPlayed = 0;    // bit c: notes on channel c+1 reached the plug-in
    uint32_t tracksPlayed = 0;      // bit t: notes from track t+1 (first 32) reached the plug-in
    bool channelsChosen = false;    // --channel was given
    bool tracksChosen = false;      // --track was given
    bool normalized = false;        // the level came from --normalize
    double songSeconds = 0.0;       // the MIDI file's length to its last event (0 for the demo)
    // One note at a time meets more than one channel, or the drums: the channel to suggest (1..16),
    // or 0 for no warning.
    int32_t suggestedChannel = 0;
    bool monoWarning = false;
    char pluginName[65] = {};   // the plug-in's effect name
    char pluginVendor[65] = {}; // its vendor string
    int32_t pluginVersion = 0;  // its vendor version
};

struct RenderSummary {
    std::string outputPath; // as shown: the name given, or "standard output"
    std::string pluginPath; // the plug-in that played
    bool toStandardOutput = false;
    RenderStats stats;
    double seconds = 0.0;
    double realTimeFactor = 0.0;
};

// The output a render gets without -o: the MIDI file's name with the format's extension, or
// solvantis-demo.wav for the demo.
std::string defaultOutputPath(const std::string& midiPath, AudioFormat format);

// The longest render --max-length allows, in seconds (a day).
constexpr double maxRenderSeconds = 86400.0;

// Checks the options that need no file (rate, block size, tail, length, gain); throws CliError.
void validateRenderOptions(const RenderOptions& options);

// The whole command: checks where the output goes, then reads, loads, sets up in host order, renders and
// writes in a child process, so that a plug-in that crashes or hangs is reported as one line. Throws
// CliError (Interrupted for the user's interrupt); on any failure no output file is left behind and
// what -o names is as it was.
RenderSummary runRender(const RenderOptions& options);

// The render process's work: reads, loads, sets up in host order and renders. It holds no descriptor
// of the output: the audio goes through the stream pipe (CallSite::streamFd) to the command, a
// RenderStreamHeader first and then the interleaved float frames. Marks its progress in `site`,
// throws CliError.
struct RenderStreamHeader {
    int32_t channels = 0;
    int32_t reserved = 0;
    int64_t frameBound = -1; // the most frames the render may give
};
RenderStats renderJob(const RenderOptions& options, CallSite& site);

// The command's side of a render: takes the stream the render process sends, writes the audio file
// into `fd` (the output's temporary file) with the gain or the level --normalize asks for, and checks
// the file it made.
class RenderedFile {
public:
    RenderedFile(const RenderOptions& options, int fd, std::string name);
    ~RenderedFile();
    RenderedFile(const RenderedFile&) = delete;
    RenderedFile& operator=(const RenderedFile&) = delete;

    // Everything that arrives through the stream pipe, in order. Throws CliError when the disk refuses
    // it or the stream is not one a render sends.
    void take(const char* data, size_t size);
    // Completes the file once the render process has sent its stats: checks that every frame it
    // rendered arrived, applies --normalize, finishes the file and reads its header back. Fills in what
    // the file holds (frames, peak, clipped samples, gain, silence). Throws CliError.
    void finish(RenderStats& stats);

private:
    struct Parts;
    const RenderOptions& options;
    int fd;
    std::string shownName;
    std::unique_ptr<Parts> parts;
};

// "out.wav: 441000 frames, 10.000 s, 2 channels, 44100 Hz, peak -3.1 dBFS, 52.3x real time"
std::string summaryLine(const RenderSummary& summary);

// The warnings a render deserves (clipping, a runaway or non-finite output, silence, the maximum length,
// a cut tail), one line each, without the "solvantis: warning: " prefix.
std::vector<std::string> renderWarnings(const RenderSummary& summary, double maxLengthSeconds);

// The warning for an instrument that plays one note at a time given several channels or the drums, or
// "" when there is none to give.
std::string monoWarningLine(const RenderStats& stats);

// A number as people write it: "-1", "0.5", "600".
std::string plainNumber(double value);

// "-3.1 dBFS", "+11.5 dBFS", "-inf dBFS".
std::string formatDecibels(float peak);

// Finds the parameter a --set names: an index, or a name compared with trailing blanks ignored and
// letter case folded. Returns -1 when nothing matches.
int32_t findParameter(PluginHost& host, const std::string& name);

// Applies "NAME=VALUE" to the plug-in; throws CliError for an unknown name, an index out of range or a
// value that is not a number in 0..1.
void applySetting(PluginHost& host, const std::string& setting);

// Parses a decimal number; false when the text is not one (or not finite).
bool parseNumber(const std::string& text, double& value);

} // namespace solvantis
