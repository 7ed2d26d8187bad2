#include "midi_file.h"

#include "cli_error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>

// libsmf's header needs glib's types declared first.
#include <glib.h>
#include <smf.h>

namespace solvantis {

namespace {

// libsmf reports problems through glib's log. We keep the first serious message of a load and turn it
// into our own error line instead of letting it reach the terminal; a truncated track, which libsmf
// only warns about and then cuts, is an error here.
struct SmfLogCapture {
    std::string firstProblem;
    guint handlerId = 0;

    SmfLogCapture() {
        handlerId =
            g_log_set_handler("libsmf", GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL), &handle, this);
    }
    ~SmfLogCapture() { g_log_remove_handler("libsmf", handlerId); }
    SmfLogCapture(const SmfLogCapture&) = delete;
    SmfLogCapture& operator=(const SmfLogCapture&) = delete;

    static void handle(const gchar*, GLogLevelFlags level, const gchar* message, gpointer self) {
        auto* capture = static_cast<SmfLogCapture*>(self);
        const bool serious = (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0;
        if (serious && capture->firstProblem.empty() && message != nullptr) {
            capture->firstProblem = message;
        }
    }
};

struct SmfDeleter {
    void operator()(smf_t* smf) const { smf_delete(smf); }
};

std::string withoutPrefix(std::string message) {
    for (const char* prefix : {"SMF error: ", "SMF warning: "}) {
        const std::string p = prefix;
        if (message.rfind(p, 0) == 0) {
            message.erase(0, p.size());
        }
    }
    while (!message.empty() && (message.back() == '.' || message.back() == '\n')) {
        message.pop_back();
    }
    return message;
}

} // namespace

int channelMessageDataBytes(uint8_t status) {
    if (status < 0x80 || status >= 0xF0) {
        return 0;
    }
    const uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
}

MidiSong parseMidiData(const void* data, size_t size, const std::string& name) {
    if (size == 0) {
        throw CliError("MIDI file '" + name + "' is empty");
    }
    if (size < 14 || std::string_view(static_cast<const char*>(data), 4) != "MThd") {
        throw CliError("'" + name + "' is not a MIDI file (no MIDI header)");
    }
    if (size > size_t(INT32_MAX)) {
        throw CliError("MIDI file '" + name + "' is too large");
    }

    SmfLogCapture capture;
    std::unique_ptr<smf_t, SmfDeleter> smf(smf_load_from_memory(data, int(size)));
    if (!smf) {
        const std::string why =
            capture.firstProblem.empty() ? "unreadable" : withoutPrefix(capture.firstProblem);
        throw CliError("cannot read MIDI file '" + name + "': " + why);
    }
    if (!capture.firstProblem.empty()) {
        throw CliError("MIDI file '" + name + "' is damaged: " + withoutPrefix(capture.firstProblem));
    }

    MidiSong song;
    song.format = smf->format;
    song.tracks = smf->number_of_tracks;
    song.lengthSeconds = smf_get_length_seconds(smf.get());

    // smf_get_next_event merges the tracks in time order.
    smf_rewind(smf.get());
    while (smf_event_t* event = smf_get_next_event(smf.get())) {
        if (event->midi_buffer_length < 1 || event->midi_buffer == nullptr) {
            continue;
        }
        const uint8_t status = event->midi_buffer[0];
        const int dataBytes = channelMessageDataBytes(status);
        if (dataBytes == 0 || event->midi_buffer_length < 1 + dataBytes) {
            continue; // meta events, system exclusive and system common messages stay in the file
        }
        MidiMessage message;
        message.seconds = event->time_seconds;
        message.bytes[0] = status;
        message.bytes[1] = event->midi_buffer[1] & 0x7F;
        if (dataBytes == 2) {
            message.bytes[2] = event->midi_buffer[2] & 0x7F;
        }
        song.messages.push_back(message);
    }
    if (!capture.firstProblem.empty()) {
        throw CliError("MIDI file '" + name + "' is damaged: " + withoutPrefix(capture.firstProblem));
    }
    return song;
}

MidiSong readMidiFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw CliError("MIDI file '" + path + "' does not exist");
    }
    if (S_ISDIR(info.st_mode)) {
        throw CliError("'" + path + "' is a folder, not a MIDI file");
    }
    // A MIDI file worth rendering is far below this; anything larger is not one.
    constexpr off_t maxSize = off_t(256) << 20;
    if (S_ISREG(info.st_mode) && info.st_size > maxSize) {
        throw CliError("'" + path + "' is too large to be a MIDI file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CliError("cannot open MIDI file '" + path + "'");
    }
    std::vector<char> data;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw CliError("cannot read MIDI file '" + path + "'");
    }
    return parseMidiData(data.data(), data.size(), path);
}

std::vector<TimedMidiMessage> toFrames(const std::vector<MidiMessage>& messages, double sampleRate) {
    std::vector<TimedMidiMessage> timed;
    timed.reserve(messages.size());
    for (const MidiMessage& m : messages) {
        TimedMidiMessage t;
        const double frame = std::floor(m.seconds * sampleRate + 0.5);
        // Far beyond any render length, and still safe to add block sizes to.
        constexpr double latestFrame = 1e15;
        t.frame = frame > 0.0 ? int64_t(std::min(frame, latestFrame)) : 0;
        std::copy(std::begin(m.bytes), std::end(m.bytes), std::begin(t.bytes));
        timed.push_back(t);
    }
    return timed;
}

} // namespace solvantis
