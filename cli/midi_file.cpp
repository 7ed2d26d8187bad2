#include "midi_file.h"

#include "cli_error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
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

// Reads a variable-length quantity (at most four bytes) at `at`; false when it does not fit or is
// longer than four bytes.
bool readVariableLength(const uint8_t* bytes, size_t end, size_t& at, uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= end) {
            return false;
        }
        const uint8_t b = bytes[at++];
        value = (value << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// The first thing wrong with the file's structure, or "" when every chunk and every event is whole.
std::string trackProblem(const uint8_t* bytes, size_t begin, size_t end) {
    size_t at = begin;
    uint8_t runningStatus = 0;
    bool ended = false;
    while (at < end) {
        if (ended) {
            return "events follow the end of a track";
        }
        uint32_t delta = 0;
        if (!readVariableLength(bytes, end, at, delta)) {
            return "a track ends early (truncated file?)";
        }
        if (at >= end) {
            return "a track ends early (truncated file?)";
        }
        uint8_t status = bytes[at];
        if (status == 0xFF || status == 0xF0 || status == 0xF7) {
            ++at;
            if (status == 0xFF) {
                if (at >= end) {
                    return "a track ends early (truncated file?)";
                }
                ended = bytes[at] == 0x2F;
                ++at;
            }
            uint32_t length = 0;
            if (!readVariableLength(bytes, end, at, length) || length > end - at) {
                return "a track ends early (truncated file?)";
            }
            at += length;
            runningStatus = 0; // meta events and system exclusive cancel running status
            continue;
        }
        if (status >= 0xF1) {
            return "a track holds a system message that has no place in a file";
        }
        if (status & 0x80) {
            runningStatus = status;
            ++at;
        } else if (runningStatus == 0) {
            return "a data byte without a status byte";
        }
        const int dataBytes = channelMessageDataBytes(runningStatus);
        if (size_t(dataBytes) > end - at) {
            return "a track ends early (truncated file?)";
        }
        for (int i = 0; i < dataBytes; ++i) {
            if (bytes[at + size_t(i)] & 0x80) {
                return "a message is cut short by a status byte";
            }
        }
        at += size_t(dataBytes);
    }
    if (!ended) {
        return "a track does not end with an end-of-track event";
    }
    return {};
}

} // namespace

std::string smfStructureProblem(const uint8_t* bytes, size_t size) {
    if (size < 14 || std::memcmp(bytes, "MThd", 4) != 0) {
        return "no MIDI header";
    }
    const uint32_t headerLength = bigEndian32(bytes + 4);
    if (headerLength < 6 || headerLength > size - 8) {
        return "the header is incomplete (truncated file?)";
    }
    // libsmf refuses these too, but leaks its state when it does.
    const unsigned format = (unsigned(bytes[8]) << 8) | bytes[9];
    const unsigned declaredTracks = (unsigned(bytes[10]) << 8) | bytes[11];
    const unsigned division = (unsigned(bytes[12]) << 8) | bytes[13];
    if (format > 2) {
        return "unknown format " + std::to_string(format);
    }
    if (declaredTracks == 0 || (format == 0 && declaredTracks != 1)) {
        return "format " + std::to_string(format) + " with " + std::to_string(declaredTracks) + " tracks";
    }
    if (division & 0x8000) {
        const int framesPerSecond = -int(int8_t(bytes[12]));
        if (framesPerSecond != 24 && framesPerSecond != 25 && framesPerSecond != 29 &&
            framesPerSecond != 30) {
            return "time code of " + std::to_string(framesPerSecond) + " frames a second";
        }
        if (bytes[13] == 0) {
            return "time code with no ticks per frame";
        }
    } else if (division == 0) {
        return "zero pulses per quarter note";
    }
    unsigned tracks = 0;
    for (size_t at = 8 + size_t(headerLength); at < size;) {
        if (size - at < 8) {
            return "a chunk is cut short (truncated file?)";
        }
        const uint32_t length = bigEndian32(bytes + at + 4);
        if (length > size - at - 8) {
            return "a track ends early (truncated file?)";
        }
        if (std::memcmp(bytes + at, "MTrk", 4) == 0) {
            if (std::string problem = trackProblem(bytes, at + 8, at + 8 + length); !problem.empty()) {
                return problem;
            }
            ++tracks;
        }
        at += 8 + size_t(length);
    }
    if (tracks != declaredTracks) {
        return "the header announces " + std::to_string(declaredTracks) + " tracks, the file holds " +
               std::to_string(tracks) + " (truncated file?)";
    }
    return {};
}

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

    // libsmf trusts what it reads: it runs past the end of a truncated file and stops the program on
    // some malformed events. So the whole structure is checked here first, and libsmf only ever sees
    // a well-formed file.
    if (const std::string problem = smfStructureProblem(static_cast<const uint8_t*>(data), size);
        !problem.empty()) {
        throw CliError("MIDI file '" + name + "' is damaged: " + problem);
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    // Zeros after the end, so that no reader can run past the buffer.
    std::vector<uint8_t> padded(bytes, bytes + size);
    padded.resize(size + 64, 0);

    // Time-code files count ticks of a fixed length and ignore tempo events. libsmf reads only
    // pulses per quarter note, so it gets a neutral division and we time the events from their ticks.
    double secondsPerTick = 0.0;
    if (bytes[12] & 0x80) {
        const int framesPerSecond = -int(int8_t(bytes[12]));
        const double rate = framesPerSecond == 29 ? 30000.0 / 1001.0 : double(framesPerSecond);
        secondsPerTick = 1.0 / (rate * double(bytes[13]));
        padded[12] = 0x01;
        padded[13] = 0xE0;
    }

    SmfLogCapture capture;
    std::unique_ptr<smf_t, SmfDeleter> smf(smf_load_from_memory(padded.data(), int(size)));
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
    song.lengthSeconds = secondsPerTick > 0.0 ? smf_get_length_pulses(smf.get()) * secondsPerTick
                                              : smf_get_length_seconds(smf.get());

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
        message.seconds = secondsPerTick > 0.0 ? event->time_pulses * secondsPerTick : event->time_seconds;
        message.bytes[0] = status;
        message.track = event->track != nullptr ? event->track->track_number : 1;
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
