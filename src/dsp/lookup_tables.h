// The engine's two constant tables: MIDI note frequencies and the output limiter's gain curve.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace solvantis {

inline constexpr int32_t noteCount = 128;
inline constexpr int32_t levelTableSize = 32768;

using NoteFrequencyTable = std::array<float, noteCount>;
using LevelTable = std::array<float, levelTableSize>;

// Frequency in Hz of each MIDI note: a running product in double precision from 8.175798915636872 Hz
// (note 0) by the semitone ratio 1.059463094359; only the stored entries are rounded to float, which
// makes note 69 exactly 440 Hz.
constexpr NoteFrequencyTable makeNoteFrequencies() noexcept {
    NoteFrequencyTable table{};
    double frequency = 8.175798915636872;
    for (float& entry : table) {
        entry = static_cast<float>(frequency);
        frequency *= 1.059463094359;
    }
    return table;
}

// Limiter gain for a peak of i / 4096: 1 up to a peak of 1 (entries 0..4096), 4096 / i above, so the
// gain brings the peak down to 1.
constexpr LevelTable makeLevelTable() noexcept {
    LevelTable table{};
    for (int32_t i = 0; i < levelTableSize; ++i) {
        const float peak = static_cast<float>(i) * (1.0f / 4096.0f);
        table[static_cast<std::size_t>(i)] = peak < 1.0f ? 1.0f : 1.0f / peak;
    }
    return table;
}

// Built at compile time and shared by every instrument in the program (read-only, nothing to allocate).
extern const NoteFrequencyTable noteFrequencies;
extern const LevelTable levelTable;

} // namespace solvantis
