#pragma once

#include <cstdint>

namespace solvantis {

// General MIDI level 1 names offered to hosts through the MIDI program name service.
inline constexpr int32_t kGmProgramCount = 128;
inline constexpr int32_t kGmCategoryCount = 17; // 16 melodic families and "DrumSets"
inline constexpr int32_t kDrumChannel = 9;      // MIDI channel 10

extern const char* const gmProgramNames[kGmProgramCount];
extern const char* const gmCategoryNames[kGmCategoryCount];
// First program of each melodic category, then the end mark 128; "DrumSets" holds no program.
extern const int32_t gmCategoryFirstIndex[kGmCategoryCount];

// Category of a melodic program 0..127, -1 when none holds it.
int32_t gmCategoryOfProgram(int32_t program);

} // namespace solvantis
