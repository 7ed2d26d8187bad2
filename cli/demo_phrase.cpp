#include "demo_phrase.h"

#include <algorithm>
#include <cmath>

namespace solvantis {

namespace {

constexpr uint8_t noteOn = 0x90;
constexpr uint8_t noteOff = 0x80;
constexpr uint8_t controller = 0xB0;
constexpr uint8_t pitchBend = 0xE0;
constexpr uint8_t modWheel = 1;

struct Note {
    double start; // s
    double end;   // s
    uint8_t key;
    uint8_t velocity;
};

// The phrase as notes (E minor, the low strings of a guitar). Times in seconds.
constexpr Note singleNotes[] = {
    {0.00, 0.40, 52, 110},
    {0.50, 0.90, 55, 96},
    {1.00, 1.40, 57, 104},
    {1.50, 2.30, 59, 120},
};
// Overlapping notes: each new key takes the sounding string over without a new pluck.
constexpr Note legatoRun[] = {
    {2.50, 2.80, 64, 112}, {2.75, 3.05, 66, 100}, {3.00, 3.30, 67, 100},
    {3.25, 3.55, 69, 100}, {3.50, 4.40, 71, 108},
};
constexpr Note bentNote{4.60, 6.40, 57, 118};
constexpr Note wheelNote{6.60, 8.40, 52, 112};
constexpr Note powerRiff[] = {
    {8.60, 9.15, 40, 120},
    {9.25, 9.60, 43, 110},
    {9.75, 10.60, 45, 124},
};
constexpr double powerChordOn = 8.50;
constexpr double powerChordOff = 10.90;

DemoStep midi(double seconds, uint8_t status, uint8_t data1, uint8_t data2) {
    DemoStep step;
    step.seconds = seconds;
    step.bytes[0] = status;
    step.bytes[1] = data1;
    step.bytes[2] = data2;
    return step;
}

void addNote(std::vector<DemoStep>& steps, const Note& note) {
    steps.push_back(midi(note.start, noteOn, note.key, note.velocity));
    steps.push_back(midi(note.end, noteOff, note.key, 64));
}

void addBend(std::vector<DemoStep>& steps, double seconds, int value) {
    value = std::clamp(value, 0, 16383);
    steps.push_back(midi(seconds, pitchBend, uint8_t(value & 0x7F), uint8_t(value >> 7)));
}

} // namespace

std::vector<DemoStep> demoPhrase() {
    std::vector<DemoStep> steps;
    for (const Note& n : singleNotes) {
        addNote(steps, n);
    }
    for (const Note& n : legatoRun) {
        addNote(steps, n);
    }

    // A whole-tone bend up, held, and back, in 20 ms steps; the key stays held throughout.
    addNote(steps, bentNote);
    constexpr int centre = 8192;
    constexpr int wholeTone = 12060;
    for (int i = 0; i <= 20; ++i) {
        addBend(steps, 5.00 + 0.02 * i, centre + (wholeTone - centre) * i / 20);
    }
    for (int i = 0; i <= 15; ++i) {
        addBend(steps, 5.80 + 0.02 * i, wholeTone - (wholeTone - centre) * i / 15);
    }

    // The wheel lowers the level the note sustains at, and brings it back up: a swell.
    addNote(steps, wheelNote);
    for (int i = 0; i <= 30; ++i) {
        const double phase = double(i) / 30.0;
        const double depth = 0.5 - 0.5 * std::cos(2.0 * 3.14159265358979 * phase);
        steps.push_back(
            midi(6.90 + 1.2 * phase, controller, modWheel, uint8_t(std::lround(127.0 - 97.0 * depth))));
    }

    DemoStep on;
    on.seconds = powerChordOn;
    on.parameterName = "PowerChord";
    on.value = 1.0f;
    steps.push_back(on);
    for (const Note& n : powerRiff) {
        addNote(steps, n);
    }
    DemoStep off = on;
    off.seconds = powerChordOff;
    off.value = 0.0f;
    steps.push_back(off);

    std::stable_sort(steps.begin(), steps.end(),
                     [](const DemoStep& a, const DemoStep& b) { return a.seconds < b.seconds; });
    return steps;
}

} // namespace solvantis
