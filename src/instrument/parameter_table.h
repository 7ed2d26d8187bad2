// The host's side of the 19 parameters: storing and reading them by index, their names, labels and displays,
// all read from parameterTable.
#pragma once

#include <cstdint>
#include <iterator>

#include "voice/synth_params.h"

namespace solvantis {

// Every value is a raw host value (nominally 0..1) held as a float, except Legato, held as an integer;
// nothing is mapped when a value is stored.
inline constexpr int32_t kNumParameters = static_cast<int32_t>(std::size(parameterTable));

inline constexpr bool isParameterIndex(int32_t index) {
    return index >= 0 && index < kNumParameters;
}

// Name and label as the host shows them (trailing blanks are part of some names); nullptr outside 0..18.
// Unlabelled parameters have the empty label.
const char* parameterName(int32_t index);
const char* parameterLabel(int32_t index);

// Legato's integer from a host value: truncated toward zero; NaN gives 0 and values beyond the int32 range
// saturate, so no host value makes the conversion undefined.
int32_t legatoFromHostValue(float value);

// Stores a host value into field `index` (Legato converted as above); does nothing outside 0..18.
void storeParameter(SynthParams& params, int32_t index, float value);
// Reads field `index` as a host value (Legato's integer converted to float); 0.0 outside 0..18.
float readParameter(const SynthParams& params, int32_t index);

// What the host's display of a parameter shows, before it is turned into text.
struct ParameterDisplay {
    enum class Kind { Empty, Number, Decibels, Text };
    Kind kind = Kind::Empty;
    float number = 0.0f;        // Number: shown as a fixed-width decimal; Decibels: linear gain shown in dB
    const char* text = nullptr; // Text: shown as it stands
};
ParameterDisplay describeParameterDisplay(const SynthParams& params, int32_t index);

} // namespace solvantis
