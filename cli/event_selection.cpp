#include "event_selection.h"

#include "cli_error.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace solvantis {

namespace {

bool wholeNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::atoi(text.c_str());
    return true;
}

} // namespace

std::vector<int> parseNumberList(const std::string& text, int lowest, int highest, const std::string& what) {
    std::vector<int> numbers;
    std::vector<bool> chosen(size_t(highest - lowest + 1), false);
    const std::string range = " (" + std::to_string(lowest) + " to " + std::to_string(highest) + ")";
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        int first = 0;
        int last = 0;
        const bool ok = dash == std::string::npos ? wholeNumber(item, first) && wholeNumber(item, last)
                                                  : wholeNumber(item.substr(0, dash), first) &&
                                                        wholeNumber(item.substr(dash + 1), last);
        if (!ok || first > last) {
            throw CliError(what + " '" + text + "' is not a list like 1,3,5-8");
        }
        if (first < lowest || last > highest) {
            throw CliError(what + " '" + text + "' names " + std::to_string(first < lowest ? first : last) +
                           ", out of range" + range);
        }
        // Marked, not listed: a range given a thousand times costs no more than once.
        std::fill(chosen.begin() + (first - lowest), chosen.begin() + (last - lowest) + 1, true);
        start = comma + 1;
    }
    for (int n = lowest; n <= highest; ++n) {
        if (chosen[size_t(n - lowest)]) {
            numbers.push_back(n);
        }
    }
    return numbers;
}

std::string listOfBits(uint32_t bits) {
    std::string text;
    for (int i = 0; i < 32; ++i) {
        if (bits & (1u << i)) {
            text += (text.empty() ? "" : ", ") + std::to_string(i + 1);
        }
    }
    return text;
}

std::vector<MidiMessage> selectEvents(const MidiSong& song, const EventSelection& selection,
                                      SelectionReport& report) {
    for (int track : selection.tracks) {
        if (track > song.tracks) {
            throw CliError("--track " + std::to_string(track) + ": the file has " +
                           std::to_string(song.tracks) + (song.tracks == 1 ? " track" : " tracks"));
        }
    }
    auto wanted = [](const std::vector<int>& list, int n) {
        return list.empty() || std::binary_search(list.begin(), list.end(), n);
    };
    std::vector<MidiMessage> kept;
    kept.reserve(song.messages.size());
    for (const MidiMessage& m : song.messages) {
        const int kind = m.bytes[0] & 0xF0;
        const int channel = (m.bytes[0] & 0x0F) + 1;
        const bool noteOn = kind == 0x90 && m.bytes[2] != 0;
        if (noteOn) {
            report.channelsWithNotes |= 1u << (channel - 1);
            if (m.track >= 1 && m.track <= 32) {
                report.tracksWithNotes |= 1u << (m.track - 1);
            }
        }
        if (!wanted(selection.channels, channel) || !wanted(selection.tracks, m.track)) {
            continue;
        }
        MidiMessage out = m;
        if (kind == 0xC0) {
            if (!selection.keepProgramChanges) {
                ++report.programChangesLeftOut;
                continue;
            }
            ++report.programChangesKept;
        }
        if (kind == 0x80 || kind == 0x90 || kind == 0xA0) {
            const int key = m.bytes[1] + selection.transpose;
            if (key < 0 || key > 127) {
                report.notesOutOfRange += noteOn ? 1 : 0;
                continue;
            }
            out.bytes[1] = uint8_t(key);
        }
        kept.push_back(out);
    }
    report.kept = int64_t(kept.size());
    return kept;
}

} // namespace solvantis
