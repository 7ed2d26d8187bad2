#pragma once

#include <cstddef>
#include <cstdint>

#include "voice/synth_params.h"

namespace solvantis {

// One program: the 19 stored parameter values and a name of at most 23 characters.
struct SynthProgram {
    static constexpr std::size_t kNameSize = 24; // 23 characters and the terminator

    SynthParams values; // in parameter index order
    char name[kNameSize];

    SynthProgram(); // the default values and the name "Basic"

    // Copies `text` cut to 23 characters; reads no further than that, so a text without a terminator is
    // safe. A null text leaves the name unchanged.
    void setName(const char* text);
};

static_assert(sizeof(SynthProgram) == 19 * 4 + SynthProgram::kNameSize, "values then the 24-byte name");

inline constexpr int32_t kNumPrograms = 128;

} // namespace solvantis
