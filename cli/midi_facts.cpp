#include "midi_facts.h"
#include "printable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace solvantis {

namespace {

// What the song leaves out: the tempo and time signature changes in pulses. The reader has already refused a
// malformed file, so this walk only stops where the bytes end.
struct MetaScan {
    std::vector<std::pair<uint64_t, uint32_t>> tempos;   // pulse, microseconds per quarter note
    std::vector<std::pair<uint64_t, double>> signatures; // pulse, quarter notes per bar
    std::vector<int> tempoTracks, signatureTracks;       // the track (from 1) of each, in the same order
    std::vector<uint64_t> trackEnds;                     // each track's last pulse
    uint64_t endPulse = 0;
};

uint32_t bigEndian(const uint8_t* p, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

MetaScan scanMeta(const uint8_t* data, size_t size) {
    MetaScan scan;
    if (size < 14) {
        return scan;
    }
    size_t chunk = 8 + bigEndian(data + 4, 4);
    while (chunk + 8 <= size) {
        const size_t length = bigEndian(data + chunk + 4, 4);
        const size_t end = std::min(size, chunk + 8 + length);
        if (std::equal(data + chunk, data + chunk + 4, "MTrk")) {
            uint64_t pulse = 0;
            uint8_t status = 0;
            size_t at = chunk + 8;
            auto number = [&]() {
                uint64_t value = 0;
                for (int i = 0; i < 4 && at < end; ++i) {
                    const uint8_t b = data[at++];
                    value = (value << 7) | (b & 0x7F);
                    if ((b & 0x80) == 0) {
                        break;
                    }
                }
                return value;
            };
            while (at < end) {
                pulse += number();
                if (at >= end) {
                    break;
                }
                if (data[at] & 0x80) {
                    status = data[at++];
                }
                if (status == 0xFF && at < end) {
                    const uint8_t type = data[at++];
                    const size_t n = size_t(number());
                    const uint8_t* body = data + at;
                    if (n > end - at) {
                        break;
                    }
                    const int track = int(scan.trackEnds.size()) + 1;
                    if (type == 0x51 && n == 3) {
                        scan.tempos.emplace_back(pulse, bigEndian(body, 3));
                        scan.tempoTracks.push_back(track);
                    } else if (type == 0x58 && n >= 2 && body[1] < 8) {
                        scan.signatures.emplace_back(pulse, body[0] * 4.0 / double(1 << body[1]));
                        scan.signatureTracks.push_back(track);
                    }
                    at += n;
                    status = 0;
                } else if (status == 0xF0 || status == 0xF7) {
                    at += std::min(size_t(number()), end - at);
                    status = 0;
                } else {
                    at += std::min(size_t(std::max(channelMessageDataBytes(status), 1)), end - at);
                }
            }
            scan.endPulse = std::max(scan.endPulse, pulse);
            scan.trackEnds.push_back(pulse);
        }
        chunk = end;
    }
    return scan;
}

// The changes of the given track (0: every track), sorted by pulse; equal pulses keep the file's order.
template <typename T>
std::vector<std::pair<uint64_t, T>> ofTrack(const std::vector<std::pair<uint64_t, T>>& all,
                                            const std::vector<int>& tracks, int track) {
    std::vector<std::pair<uint64_t, T>> chosen;
    for (size_t i = 0; i < all.size(); ++i) {
        if (track == 0 || tracks[i] == track) {
            chosen.push_back(all[i]);
        }
    }
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return chosen;
}

// Appends the tempo changes of one tempo map, from `start` seconds on, starting at 120 BPM.
void placeTempos(const std::vector<std::pair<uint64_t, uint32_t>>& tempos, int ticksPerQuarter, double start,
                 std::vector<TempoChange>& placed) {
    double seconds = start;
    uint64_t pulse = 0;
    uint32_t tempo = 500000;
    if (!placed.empty() && placed.back().beatsPerMinute != 120.0 &&
        (tempos.empty() || tempos.front().first > 0)) {
        placed.push_back({start, 120.0}); // a pattern after one that changed the tempo starts at 120 BPM
    }
    for (const auto& [at, microseconds] : tempos) {
        seconds += double(at - pulse) * tempo / 1e6 / ticksPerQuarter;
        pulse = at;
        tempo = microseconds;
        if (tempo > 0) {
            placed.push_back({seconds, 60e6 / tempo});
        }
    }
}

// The bars up to `endPulse` in the given time signatures (4/4 until the first).
double countBars(const std::vector<std::pair<uint64_t, double>>& signatures, int ticksPerQuarter,
                 uint64_t endPulse) {
    double bars = 0.0, quartersPerBar = 4.0;
    uint64_t from = 0;
    for (const auto& [at, quarters] : signatures) {
        const uint64_t to = std::min(at, endPulse);
        bars += double(to - std::min(from, to)) / ticksPerQuarter / quartersPerBar;
        from = std::max(from, to);
        quartersPerBar = quarters > 0.0 ? quarters : quartersPerBar;
    }
    return bars + double(endPulse - std::min(from, endPulse)) / ticksPerQuarter / quartersPerBar;
}

// Counts notes and how many are held at once, for one channel or one track.
class NoteCounter {
public:
    void noteOn(int channel, int key) {
        ++facts.notes;
        facts.lowest = facts.lowest < 0 ? key : std::min(facts.lowest, key);
        facts.highest = std::max(facts.highest, key);
        held[channel * 128 + key] += 1;
        if (held[channel * 128 + key] == 1) {
            facts.polyphony = std::max(facts.polyphony, ++sounding);
        }
    }
    void noteOff(int channel, int key) {
        if (held[channel * 128 + key] > 0 && --held[channel * 128 + key] == 0) {
            --sounding;
        }
    }
    NoteFacts facts;

private:
    std::map<int, int> held;
    int sounding = 0;
};

std::string keyName(int key) {
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    if (key < 0) {
        return "-";
    }
    std::string name = names[key % 12];
    name += std::to_string(key / 12 - 1);
    return name;
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

nlohmann::ordered_json notesJson(const NoteFacts& n) {
    nlohmann::ordered_json j;
    j["notes"] = n.notes;
    j["lowest"] = n.lowest >= 0 ? nlohmann::ordered_json(n.lowest) : nlohmann::ordered_json();
    j["highest"] = n.highest >= 0 ? nlohmann::ordered_json(n.highest) : nlohmann::ordered_json();
    j["polyphony"] = n.polyphony;
    return j;
}

nlohmann::ordered_json bitList(uint32_t bits) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (int i = 0; i < 32; ++i) {
        if (bits & (1u << i)) {
            list.push_back(i + 1);
        }
    }
    return list;
}

MidiFacts factsOf(const MidiSong& song, const std::string& bytes) {
    const MetaScan scan = scanMeta(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    MidiFacts facts;
    facts.format = song.format;
    facts.ticksPerQuarter = song.ticksPerQuarter;
    facts.framesPerSecond = song.framesPerSecond;
    facts.ticksPerFrame = song.ticksPerFrame;
    facts.seconds = song.lengthSeconds;

    // Tempo changes in seconds, and the bars the file spans in its time signatures. The tracks of
    // format 2 are patterns played one after another, each on its own tempo map and signatures.
    if (facts.ticksPerQuarter > 0 && song.format != 2) {
        placeTempos(ofTrack(scan.tempos, scan.tempoTracks, 0), facts.ticksPerQuarter, 0.0, facts.tempos);
        facts.bars = countBars(ofTrack(scan.signatures, scan.signatureTracks, 0), facts.ticksPerQuarter,
                               scan.endPulse);
    } else if (facts.ticksPerQuarter > 0) {
        facts.bars = 0.0;
        for (size_t t = 0; t < scan.trackEnds.size(); ++t) {
            const int track = int(t) + 1;
            const double start =
                t > 0 && t - 1 < song.trackSummaries.size() ? song.trackSummaries[t - 1].endSeconds : 0.0;
            placeTempos(ofTrack(scan.tempos, scan.tempoTracks, track), facts.ticksPerQuarter, start,
                        facts.tempos);
            facts.bars += countBars(ofTrack(scan.signatures, scan.signatureTracks, track),
                                    facts.ticksPerQuarter, scan.trackEnds[t]);
        }
    }

    const int trackCount = song.tracks;
    std::vector<NoteCounter> trackNotes(size_t(std::max(trackCount, 0)));
    NoteCounter channelNotes[16];
    int trackPrograms[32];
    std::fill(std::begin(trackPrograms), std::end(trackPrograms), -1);
    std::vector<TrackFacts> tracks(trackNotes.size());
    ChannelFacts channels[16];
    bool used[16] = {};
    for (const MidiMessage& m : song.messages) {
        const int type = m.bytes[0] & 0xF0, channel = m.bytes[0] & 0x0F, key = m.bytes[1];
        const size_t t = size_t(std::clamp(m.track, 1, std::max(trackCount, 1)) - 1);
        used[channel] = true;
        if (type == 0x90 && m.bytes[2] > 0) {
            channelNotes[channel].noteOn(0, key);
            if (t < tracks.size()) {
                trackNotes[t].noteOn(channel, key);
                tracks[t].channels |= 1u << channel;
            }
            if (t < 32) {
                channels[channel].tracks |= 1u << t;
            }
        } else if (type == 0x80 || type == 0x90) {
            channelNotes[channel].noteOff(0, key);
            if (t < tracks.size()) {
                trackNotes[t].noteOff(channel, key);
            }
        } else if (type == 0xC0) {
            if (channels[channel].program < 0) {
                channels[channel].program = key;
            }
            if (t < tracks.size() && tracks[t].program < 0) {
                tracks[t].program = key;
            }
        }
    }
    for (size_t t = 0; t < tracks.size(); ++t) {
        tracks[t].number = int(t) + 1;
        tracks[t].name = t < song.trackSummaries.size() ? song.trackSummaries[t].name : std::string();
        tracks[t].notes = trackNotes[t].facts;
    }
    facts.tracks = std::move(tracks);
    for (int c = 0; c < 16; ++c) {
        if (used[c]) {
            channels[c].number = c + 1;
            channels[c].notes = channelNotes[c].facts;
            facts.channels.push_back(channels[c]);
        }
    }
    return facts;
}

} // namespace

MidiFacts midiFacts(const std::string& path) {
    // Read once (standard input and a pipe can be read only once), then parsed with the reader's checks
    // and error messages, and scanned for the tempo changes and time signatures.
    const std::vector<uint8_t> data = readMidiBytes(path);
    const std::string bytes(data.begin(), data.end());
    return factsOf(parseMidiData(data.data(), data.size(), path == "-" ? "standard input" : path), bytes);
}

int busiestMelodicChannel(const MidiFacts& facts) {
    int busiest = 0;
    int64_t most = 0;
    for (const ChannelFacts& c : facts.channels) {
        if (c.number != 10 && c.notes.notes > most) {
            most = c.notes.notes;
            busiest = c.number;
        }
    }
    return busiest;
}

std::string midiFactsText(const MidiFacts& facts, const std::string& path) {
    std::ostringstream out;
    out << printable(path) << ": format " << facts.format << ", " << facts.tracks.size() << " track"
        << (facts.tracks.size() == 1 ? "" : "s") << ", ";
    if (facts.ticksPerQuarter > 0) {
        out << facts.ticksPerQuarter << " pulses per quarter note";
    } else {
        out << "time code (" << facts.framesPerSecond << " frames per second, " << facts.ticksPerFrame
            << " pulses per frame)";
    }
    out << '\n' << "Length: " << oneDecimal(facts.seconds) << " s";
    if (facts.bars >= 0.0) {
        out << ", " << oneDecimal(facts.bars) << " bars";
    }
    out << '\n' << "Tempo: ";
    if (facts.tempos.empty()) {
        out << (facts.ticksPerQuarter > 0 ? "120 BPM (none given)" : "-");
    }
    for (size_t i = 0; i < facts.tempos.size() && i < 8; ++i) {
        out << (i > 0 ? ", " : "") << oneDecimal(facts.tempos[i].beatsPerMinute) << " BPM at "
            << oneDecimal(facts.tempos[i].seconds) << " s";
    }
    if (facts.tempos.size() > 8) {
        out << " and " << facts.tempos.size() - 8 << " more changes";
    }
    char line[256];
    out << "\n\nTracks:\n   #  name                      program  notes  lowest  highest  polyphony  "
           "channels\n";
    for (const TrackFacts& t : facts.tracks) {
        std::string channels;
        for (int c = 0; c < 16; ++c) {
            if (t.channels & (1u << c)) {
                channels += channels.empty() ? "" : ",";
                channels += std::to_string(c + 1);
            }
        }
        std::string name = t.name.substr(0, 24);
        for (char& ch : name) {
            ch = static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F ? '?' : ch;
        }
        std::snprintf(line, sizeof line, "  %2d  %-24s  %7s  %5lld  %6s  %7s  %9d  %s\n", t.number,
                      name.c_str(), t.program >= 0 ? std::to_string(t.program).c_str() : "-",
                      static_cast<long long>(t.notes.notes), keyName(t.notes.lowest).c_str(),
                      keyName(t.notes.highest).c_str(), t.notes.polyphony,
                      channels.empty() ? "-" : channels.c_str());
        out << line;
    }
    out << "\nChannels:\n   #  program  notes  lowest  highest  polyphony  tracks\n";
    for (const ChannelFacts& c : facts.channels) {
        std::string tracks;
        for (int t = 0; t < 32; ++t) {
            if (c.tracks & (1u << t)) {
                tracks += tracks.empty() ? "" : ",";
                tracks += std::to_string(t + 1);
            }
        }
        std::snprintf(line, sizeof line, "  %2d  %7s  %5lld  %6s  %7s  %9d  %s%s\n", c.number,
                      c.program >= 0 ? std::to_string(c.program).c_str() : "-",
                      static_cast<long long>(c.notes.notes), keyName(c.notes.lowest).c_str(),
                      keyName(c.notes.highest).c_str(), c.notes.polyphony,
                      tracks.empty() ? "-" : tracks.c_str(), c.number == 10 ? "  (drums)" : "");
        out << line;
    }
    return out.str();
}

nlohmann::ordered_json midiFactsJson(const MidiFacts& facts, const std::string& path) {
    nlohmann::ordered_json j;
    j["file"] = path;
    j["format"] = facts.format;
    j["ticksPerQuarter"] =
        facts.ticksPerQuarter > 0 ? nlohmann::ordered_json(facts.ticksPerQuarter) : nlohmann::ordered_json();
    if (facts.ticksPerQuarter <= 0) {
        j["timeCode"] = {{"framesPerSecond", facts.framesPerSecond}, {"ticksPerFrame", facts.ticksPerFrame}};
    }
    j["seconds"] = facts.seconds;
    j["bars"] = facts.bars >= 0.0 ? nlohmann::ordered_json(facts.bars) : nlohmann::ordered_json();
    nlohmann::ordered_json tempos = nlohmann::ordered_json::array();
    for (const TempoChange& t : facts.tempos) {
        tempos.push_back({{"seconds", t.seconds}, {"bpm", t.beatsPerMinute}});
    }
    j["tempos"] = tempos;
    nlohmann::ordered_json tracks = nlohmann::ordered_json::array();
    for (const TrackFacts& t : facts.tracks) {
        nlohmann::ordered_json track = {{"track", t.number}, {"name", t.name}};
        track["program"] = t.program >= 0 ? nlohmann::ordered_json(t.program) : nlohmann::ordered_json();
        track.update(notesJson(t.notes));
        track["channels"] = bitList(t.channels);
        tracks.push_back(track);
    }
    j["tracks"] = tracks;
    nlohmann::ordered_json channels = nlohmann::ordered_json::array();
    for (const ChannelFacts& c : facts.channels) {
        nlohmann::ordered_json channel = {{"channel", c.number}, {"drums", c.number == 10}};
        channel["program"] = c.program >= 0 ? nlohmann::ordered_json(c.program) : nlohmann::ordered_json();
        channel.update(notesJson(c.notes));
        channel["tracks"] = bitList(c.tracks);
        channels.push_back(channel);
    }
    j["channels"] = channels;
    j["busiestMelodicChannel"] = busiestMelodicChannel(facts);
    return j;
}

} // namespace solvantis
