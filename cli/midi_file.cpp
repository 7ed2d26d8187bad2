// A strict reader of Standard MIDI Files. Every length is checked against the bytes that are really
// there before anything is read, so no file can drive it out of its buffer; the first thing wrong ends
// the read with the track, the byte offset and the fault. Time is linear in the file (a sort of the
// kept events aside), and memory bounded by MidiLimits.
#include "midi_file.h"

#include "cli_error.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace solvantis {

namespace {

// "1,337"
std::string grouped(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text.push_back(',');
        }
        text.push_back(digits[i]);
    }
    return text;
}

std::string hexByte(uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return grouped(n) + " " + (n == 1 ? one : many);
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// A channel message at its tick, before the tempo map gives it a time.
struct TickedMessage {
    int64_t tick;
    int32_t track; // counted from 1
    uint8_t bytes[3];
};

// A tempo or time-signature event: each starts a segment of the tempo map. The time signature changes
// no tempo, but a segment starting there sums a song's times in the same steps as the files rendered
// until now, so the times come out the same to the last bit.
struct TempoMark {
    int64_t tick;
    int32_t track;
    uint32_t microsecondsPerQuarter; // 0: a time signature
};

// A stretch of the song at one tempo.
struct TempoSegment {
    int64_t tick;
    double seconds;
    uint32_t microsecondsPerQuarter;
};

class SmfReader {
public:
    SmfReader(const uint8_t* data, size_t size, const std::string& fileName, const MidiLimits& fileLimits)
        : bytes(data), end(size), name(fileName), limits(fileLimits) {}

    MidiSong read() {
        readHeader();
        size_t at = 8 + size_t(headerLength);
        while (at < end) {
            if (end - at < 8) {
                fail(at, "a chunk is cut short: " + plural(end - at, "byte", "bytes") +
                             " where its 8-byte head should be (truncated file?)");
            }
            const uint32_t length = bigEndian32(bytes + at + 4);
            const bool isTrack = std::memcmp(bytes + at, "MTrk", 4) == 0;
            if (length > end - at - 8) {
                const std::string what = isTrack ? "track " + std::to_string(song.tracks + 1) : "a chunk";
                fail(at, what + " claims " + plural(length, "byte", "bytes") + ", the file has " +
                             grouped(end - at - 8) + " left (truncated file?)");
            }
            if (isTrack) { // chunks of other kinds are skipped, as the format asks
                ++song.tracks;
                readTrack(at + 8, at + 8 + size_t(length));
                track = 0;
            }
            at += 8 + size_t(length);
        }
        if (song.tracks != declaredTracks) {
            fail(end, "the header announces " + plural(unsigned(declaredTracks), "track", "tracks") +
                          ", the file holds " + std::to_string(song.tracks) + " (truncated file?)");
        }
        placeInTime();
        return std::move(song);
    }

private:
    [[noreturn]] void fail(size_t offset, const std::string& what) const {
        std::string where = track > 0 ? "track " + std::to_string(track) + ", " : std::string();
        throw CliError("MIDI file '" + name + "' is damaged: " + where + "byte " + grouped(offset) + ": " +
                       what);
    }

    void readHeader() {
        if (end < 14 || std::memcmp(bytes, "MThd", 4) != 0) {
            throw CliError("'" + name + "' is not a MIDI file (no MIDI header)");
        }
        headerLength = bigEndian32(bytes + 4);
        if (headerLength < 6 || headerLength > end - 8) {
            fail(4, "the header claims " + plural(headerLength, "byte", "bytes") +
                        (headerLength < 6 ? ", it needs 6" : " (truncated file?)"));
        }
        const unsigned format = (unsigned(bytes[8]) << 8) | bytes[9];
        declaredTracks = int((unsigned(bytes[10]) << 8) | bytes[11]);
        if (format > 2) {
            fail(8, "unknown format " + std::to_string(format) + " (there are 0, 1 and 2)");
        }
        if (declaredTracks == 0 || (format == 0 && declaredTracks != 1)) {
            fail(10, "format " + std::to_string(format) + " with " +
                         plural(unsigned(declaredTracks), "track", "tracks"));
        }
        song.format = int(format);
        if (bytes[12] & 0x80) {
            const int framesPerSecond = -int(int8_t(bytes[12]));
            if (framesPerSecond != 24 && framesPerSecond != 25 && framesPerSecond != 29 &&
                framesPerSecond != 30) {
                fail(12, "time code of " + std::to_string(framesPerSecond) + " frames a second");
            }
            if (bytes[13] == 0) {
                fail(13, "time code with no ticks per frame");
            }
            song.framesPerSecond = framesPerSecond;
            song.ticksPerFrame = bytes[13];
            // 29 stands for the 29.97 frames a second of drop-frame time code.
            const double rate = framesPerSecond == 29 ? 30000.0 / 1001.0 : double(framesPerSecond);
            secondsPerTick = 1.0 / (rate * double(bytes[13]));
        } else {
            song.ticksPerQuarter = (int(bytes[12]) << 8) | bytes[13];
            if (song.ticksPerQuarter == 0) {
                fail(12, "zero pulses per quarter note");
            }
        }
    }

    // A variable-length quantity of at most four bytes.
    uint32_t variableLength(size_t& at, size_t trackEnd, const char* what) const {
        uint32_t value = 0;
        const size_t start = at;
        for (int i = 0; i < 4; ++i) {
            if (at >= trackEnd) {
                fail(start, std::string("the track ends inside ") + what + " (truncated file?)");
            }
            const uint8_t b = bytes[at++];
            value = (value << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) {
                return value;
            }
        }
        fail(start, std::string(what) + " runs longer than 4 bytes");
    }

    void keepOneMore(size_t at) {
        if (++kept > limits.maxMessages) {
            fail(at, "more than " + grouped(limits.maxMessages) +
                         " events: too many for a song solvantis renders");
        }
    }

    void readTrack(size_t at, size_t trackEnd) {
        track = song.tracks;
        MidiTrackSummary summary;
        bool named = false;
        bool programSeen[128] = {};
        int64_t tick = 0;
        uint8_t runningStatus = 0;
        bool ended = false;
        while (at < trackEnd) {
            if (ended) {
                fail(at, "events follow the end-of-track event");
            }
            tick += variableLength(at, trackEnd, "a delta time");
            if (at >= trackEnd) {
                fail(at, "the track ends after a delta time, before its event (truncated file?)");
            }
            const size_t eventAt = at;
            const uint8_t status = bytes[at++];
            if (status == 0xFF || status == 0xF0 || status == 0xF7) {
                uint8_t type = 0;
                if (status == 0xFF) {
                    if (at >= trackEnd) {
                        fail(eventAt, "the track ends inside a meta event (truncated file?)");
                    }
                    type = bytes[at++];
                }
                const char* kind = status == 0xFF ? "a meta event" : "a SysEx event";
                const uint32_t length = variableLength(at, trackEnd, "an event's length");
                if (length > trackEnd - at) {
                    fail(eventAt, std::string(kind) + " claims " + plural(length, "byte", "bytes") +
                                      ", the track has " + grouped(trackEnd - at) +
                                      " left (truncated file?)");
                }
                if (status == 0xFF) {
                    readMeta(type, at, length, eventAt, tick, summary, named);
                    ended = type == 0x2F;
                }
                // SysEx in either form (F0, or F7 packets and escapes) only has its length read: the
                // instruments take no system exclusive from the file.
                at += length;
                runningStatus = 0; // meta and SysEx events end running status
                continue;
            }
            if (status > 0xF0) {
                fail(eventAt, "a system message (" + hexByte(status) + ") has no place in a file");
            }
            if (status & 0x80) {
                runningStatus = status;
            } else if (runningStatus == 0) {
                fail(eventAt, "a data byte (" + hexByte(status) +
                                  ") without a status byte (running status ends at meta and SysEx events)");
            } else {
                --at; // running status: this byte is the first data byte
            }
            const int dataBytes = channelMessageDataBytes(runningStatus);
            if (size_t(dataBytes) > trackEnd - at) {
                fail(eventAt, "the track ends inside a channel message (truncated file?)");
            }
            TickedMessage message{tick, track, {runningStatus, 0, 0}};
            for (int i = 0; i < dataBytes && i < 2; ++i) {
                const uint8_t data = bytes[at];
                if (data & 0x80) {
                    fail(at, "a message is cut short by a status byte (" + hexByte(data) + ")");
                }
                message.bytes[1 + i] = data;
                ++at;
            }
            keepOneMore(eventAt);
            messages.push_back(message);
            summary.channels = uint16_t(summary.channels | (1u << (runningStatus & 0x0F)));
            const uint8_t kind = runningStatus & 0xF0;
            summary.notes += kind == 0x90 && message.bytes[2] > 0;
            if (kind == 0xC0 && !programSeen[message.bytes[1]]) {
                programSeen[message.bytes[1]] = true;
                summary.programs.push_back(message.bytes[1]);
            }
        }
        if (!ended) {
            fail(trackEnd, "the track does not end with an end-of-track event (truncated file?)");
        }
        lastTick = std::max(lastTick, tick);
        trackEndTicks.push_back(tick);
        song.trackSummaries.push_back(std::move(summary));
    }

    void readMeta(uint8_t type, size_t at, uint32_t length, size_t eventAt, int64_t tick,
                  MidiTrackSummary& summary, bool& named) {
        if (type == 0x51) {
            if (length != 3) {
                fail(eventAt, "a tempo event needs 3 bytes, it has " + std::to_string(length));
            }
            const uint32_t tempo =
                (uint32_t(bytes[at]) << 16) | (uint32_t(bytes[at + 1]) << 8) | bytes[at + 2];
            if (tempo == 0) {
                fail(eventAt, "a tempo of 0 microseconds a quarter note");
            }
            keepOneMore(eventAt);
            marks.push_back({tick, track, tempo});
            ++song.tempoChanges;
        } else if (type == 0x58) {
            if (length < 4) {
                fail(eventAt, "a time signature needs 4 bytes, it has " + std::to_string(length));
            }
            keepOneMore(eventAt);
            marks.push_back({tick, track, 0});
        } else if (type == 0x03 && !named) {
            named = true;
            summary.name.assign(reinterpret_cast<const char*>(bytes + at), length);
        }
    }

    // Gives every message its time. The tracks of formats 0 and 1 sound together and share one tempo
    // map, merged so that equal ticks keep the file's order: the lower track first, and within a track
    // the order it was written in. The tracks of format 2 are patterns of their own: each plays after
    // the one before has ended, on its own tempo map.
    void placeInTime() {
        song.messages.reserve(messages.size());
        if (song.format != 2) {
            const auto earlier = [](const auto& a, const auto& b) {
                return a.tick != b.tick ? a.tick < b.tick : a.track < b.track;
            };
            std::stable_sort(messages.begin(), messages.end(), earlier);
            std::stable_sort(marks.begin(), marks.end(), earlier);
            song.lengthSeconds =
                placeSequence(messages.begin(), messages.end(), marks.begin(), marks.end(), 0.0);
            for (size_t t = 0; t < trackEndTicks.size(); ++t) {
                song.trackSummaries[t].endSeconds = secondsAt(trackEndTicks[t]);
            }
            return;
        }
        auto message = messages.begin();
        auto mark = marks.begin();
        double start = 0.0;
        for (int32_t t = 1; t <= song.tracks; ++t) {
            const auto messagesEnd =
                std::find_if(message, messages.end(), [t](const auto& m) { return m.track != t; });
            const auto marksEnd =
                std::find_if(mark, marks.end(), [t](const auto& m) { return m.track != t; });
            lastTick = trackEndTicks[size_t(t - 1)];
            start += placeSequence(message, messagesEnd, mark, marksEnd, start);
            song.trackSummaries[size_t(t - 1)].endSeconds = start;
            message = messagesEnd;
            mark = marksEnd;
        }
        song.lengthSeconds = start;
    }

    // Times the messages of one sequence (sorted by tick) through the tempo map the marks make, from
    // `start` seconds on; returns the time of the sequence's last tick, counted from its start.
    double placeSequence(std::vector<TickedMessage>::const_iterator first,
                         std::vector<TickedMessage>::const_iterator last,
                         std::vector<TempoMark>::const_iterator firstMark,
                         std::vector<TempoMark>::const_iterator lastMark, double start) {
        segments.clear();
        // 120 beats a minute until the first tempo event. A segment's start is timed through the
        // segment before it; marks at one tick share one segment.
        // Time code ignores them: every tick is as long.
        segments.push_back({0, 0.0, 500000});
        for (auto mark = firstMark; mark != lastMark && secondsPerTick == 0.0; ++mark) {
            if (segments.back().tick != mark->tick) {
                size_t previous = segments.size() - 1;
                const double at = secondsAt(mark->tick, previous);
                segments.push_back({mark->tick, at, segments.back().microsecondsPerQuarter});
            }
            if (mark->microsecondsPerQuarter != 0) {
                segments.back().microsecondsPerQuarter = mark->microsecondsPerQuarter;
            }
        }
        size_t segment = 0;
        for (auto m = first; m != last; ++m) {
            song.messages.push_back(
                {start + secondsAt(m->tick, segment), {m->bytes[0], m->bytes[1], m->bytes[2]}, m->track});
        }
        return secondsAt(lastTick);
    }

    // The time of a tick, from the last segment that starts before it (the first one for tick 0).
    // `hint` is a segment at or before the answer, for ticks asked in rising order.
    double secondsAt(int64_t tick, size_t& hint) const {
        if (secondsPerTick > 0.0) {
            return double(tick) * secondsPerTick;
        }
        while (hint + 1 < segments.size() && segments[hint + 1].tick < tick) {
            ++hint;
        }
        const TempoSegment& s = segments[hint];
        return s.seconds + double(tick - s.tick) * (double(s.microsecondsPerQuarter) /
                                                    (double(song.ticksPerQuarter) * 1000000.0));
    }
    double secondsAt(int64_t tick) const {
        const auto after = std::lower_bound(segments.begin() + 1, segments.end(), tick,
                                            [](const TempoSegment& s, int64_t t) { return s.tick < t; });
        size_t hint = size_t(after - segments.begin()) - 1;
        return secondsAt(tick, hint);
    }

    const uint8_t* bytes;
    size_t end;
    const std::string& name;
    const MidiLimits& limits;

    MidiSong song;
    uint32_t headerLength = 0;
    int declaredTracks = 0;
    double secondsPerTick = 0.0; // time code only
    int32_t track = 0;           // the track being read, counted from 1; 0 outside the tracks
    size_t kept = 0;
    int64_t lastTick = 0;
    std::vector<int64_t> trackEndTicks;
    std::vector<TickedMessage> messages;
    std::vector<TempoMark> marks;
    std::vector<TempoSegment> segments;
};

struct Descriptor {
    int fd = -1;
    bool owned = true;
    ~Descriptor() {
        if (owned && fd >= 0) {
            ::close(fd);
        }
    }
};

} // namespace

int channelMessageDataBytes(uint8_t status) {
    if (status < 0x80 || status >= 0xF0) {
        return 0;
    }
    const uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
}

MidiSong parseMidiData(const void* data, size_t size, const std::string& name, const MidiLimits& limits) {
    if (size == 0) {
        throw CliError("MIDI file '" + name + "' is empty");
    }
    if (size > limits.maxBytes) {
        throw CliError("'" + name + "' is too large to be a MIDI file (more than " +
                       grouped(limits.maxBytes) + " bytes)");
    }
    return SmfReader(static_cast<const uint8_t*>(data), size, name, limits).read();
}

MidiSong readMidiFile(const std::string& path, const MidiLimits& limits) {
    const std::vector<uint8_t> data = readMidiBytes(path, limits);
    return parseMidiData(data.data(), data.size(), path == "-" ? std::string("standard input") : path,
                         limits);
}

std::vector<uint8_t> readMidiBytes(const std::string& path, const MidiLimits& limits) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? std::string("standard input") : path;
    Descriptor in;
    if (standardInput) {
        in.fd = STDIN_FILENO;
        in.owned = false;
    } else {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            throw CliError("MIDI file '" + path + "' does not exist");
        }
        if (S_ISDIR(info.st_mode)) {
            throw CliError("'" + path + "' is a folder, not a MIDI file");
        }
        // Not blocking: a pipe with no writer would hold open() for good. The reads below wait in poll.
        in.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (in.fd < 0) {
            throw CliError("cannot open MIDI file '" + path + "': " + std::strerror(errno));
        }
    }
    struct stat info {};
    if (::fstat(in.fd, &info) != 0) {
        throw CliError("cannot read MIDI file '" + name + "': " + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        throw CliError("'" + name + "' is a folder, not a MIDI file");
    }
    const std::string tooLarge =
        "'" + name + "' is too large to be a MIDI file (more than " + grouped(limits.maxBytes) + " bytes)";
    if (S_ISREG(info.st_mode) && uint64_t(info.st_size) > limits.maxBytes) {
        throw CliError(tooLarge);
    }

    // Pipes, terminals and devices are read the same way, up to the same limit, and given up when no
    // byte comes for the timeout.
    std::vector<uint8_t> data;
    if (S_ISREG(info.st_mode)) {
        data.reserve(size_t(info.st_size));
    }
    const int waitMilliseconds = int(std::clamp(limits.readTimeoutSeconds * 1000.0, 1.0, 2.0e9));
    uint8_t chunk[65536];
    for (;;) {
        pollfd ready{in.fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, waitMilliseconds);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled == 0) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", limits.readTimeoutSeconds);
            throw CliError("no data from '" + name + "' for " + seconds + " s; gave up reading it");
        }
        const ssize_t n = ::read(in.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n < 0) {
            throw CliError("cannot read MIDI file '" + name + "': " + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        if (size_t(n) > limits.maxBytes - std::min(data.size(), limits.maxBytes)) {
            throw CliError(tooLarge);
        }
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
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
