#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "voice_test_support.h"

namespace solvantis::testing {

// One MIDI message at an absolute frame of a phrase.
struct TimedMidi {
    int32_t frame;
    uint8_t status, data1, data2;
};

// A phrase of timed messages, built in time order.
struct Phrase {
    std::vector<TimedMidi> events;
    int32_t length = 0; // frames

    Phrase& on(int32_t frame, int32_t note, int32_t velocity = 100) {
        return add(frame, 0x90, note, velocity);
    }
    Phrase& off(int32_t frame, int32_t note) { return add(frame, 0x80, note, 64); }
    Phrase& bend(int32_t frame, int32_t value) { return add(frame, 0xE0, value & 0x7F, value >> 7); }
    Phrase& controller(int32_t frame, int32_t number, int32_t value) {
        return add(frame, 0xB0, number, value);
    }
    Phrase& add(int32_t frame, int32_t status, int32_t d1, int32_t d2) {
        events.push_back(
            {frame, static_cast<uint8_t>(status), static_cast<uint8_t>(d1), static_cast<uint8_t>(d2)});
        return *this;
    }
};

// Plays a phrase through the rig as a host would: per block one event list with the block's messages at
// their offsets, then one process call. nextBlock gives each block's size; beforeBlock (if given) runs
// before each block with its first frame. Returns the left and right channels.
inline void playPhraseIn(VoiceRig& rig, const Phrase& phrase, const std::function<int32_t()>& nextBlock,
                         std::vector<float>& left, std::vector<float>* right = nullptr,
                         const std::function<void(int32_t)>& beforeBlock = nullptr) {
    size_t next = 0;
    left.clear();
    if (right != nullptr) {
        right->clear();
    }
    for (int32_t start = 0; start < phrase.length;) {
        const int32_t block = nextBlock();
        const int32_t n = phrase.length - start < block ? phrase.length - start : block;
        if (beforeBlock) {
            beforeBlock(start);
        }
        MidiBlock midi;
        while (next < phrase.events.size() && phrase.events[next].frame < start + n) {
            const TimedMidi& m = phrase.events[next++];
            midi.add(m.frame - start, m.status, m.data1, m.data2);
        }
        rig.send(midi);
        rig.render(n);
        left.insert(left.end(), rig.left.begin(), rig.left.end());
        if (right != nullptr) {
            right->insert(right->end(), rig.right.begin(), rig.right.end());
        }
        start += n;
    }
}

// The same in blocks of one size.
inline void playPhrase(VoiceRig& rig, const Phrase& phrase, int32_t block, std::vector<float>& left,
                       std::vector<float>* right = nullptr,
                       const std::function<void(int32_t)>& beforeBlock = nullptr) {
    playPhraseIn(rig, phrase, [block] { return block; }, left, right, beforeBlock);
}

inline float peakOf(const std::vector<float>& x) {
    float peak = 0.0f;
    for (float v : x) {
        peak = std::fmax(peak, std::fabs(v));
    }
    return peak;
}

// RMS in dB of frames [from, to), floored at -200 dB.
inline double rmsDb(const std::vector<float>& x, size_t from, size_t to) {
    double sum = 0.0;
    for (size_t i = from; i < to && i < x.size(); ++i) {
        sum += static_cast<double>(x[i]) * x[i];
    }
    const double n = static_cast<double>(to > from ? to - from : 1);
    return 10.0 * std::log10(sum / n + 1e-20);
}

} // namespace solvantis::testing
