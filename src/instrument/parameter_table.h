// The one table of the 19 parameters, where the doors read it: each index's name, label, the value it maps
// onto and how the host's display shows it; and the host's side of them: storing and reading by index, the
// names, labels and displays, all read from the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#include "voice/synth_params.h"

namespace solvantis {

// What the host's display shows of a parameter; the instrument turns it into text.
enum class ParameterDisplayKind : uint8_t {
    Empty,       // nothing
    Value,       // the value itself
    Mirrored,    // 1 - 2 * value: 1 at 0, 0 at 0.5, -1 at 1
    Decibels,    // the value as a linear gain, in dB
    FixingSpan,  // "Min" below 0.01, "Max" above 0.99, otherwise value^2 * 8000 + 440
    DynaToneSpan // "OFF" at 0, otherwise value^2 * 440 + 10
};

struct ParameterInfo {
    const char* name;                   // as the host shows it, trailing blanks included
    const char* label;                  // empty where the parameter has none
    float SynthParams::*field;          // null for Legato, the one integer
    int32_t SynthParams::*integerField; // Legato's; null for the others
    ParameterDisplayKind display;
};

// In parameter index order (the VST 2 parameter index, the LV2 control port index).
inline constexpr ParameterInfo parameterTable[] = {
    {"Exciter ", "Level", &SynthParams::Exciter, nullptr, ParameterDisplayKind::Value},
    {"Modulation ", "Dirty", &SynthParams::Modulation, nullptr, ParameterDisplayKind::Value},
    {"TovFilter", "", &SynthParams::TovFilter, nullptr, ParameterDisplayKind::Empty},
    {"Pick", "", &SynthParams::Pick, nullptr, ParameterDisplayKind::Empty},
    {"Attack", "", &SynthParams::Attack, nullptr, ParameterDisplayKind::Empty},
    {"Decay", "", &SynthParams::Decay, nullptr, ParameterDisplayKind::Empty},
    {"Sustain", "", &SynthParams::Sustain, nullptr, ParameterDisplayKind::Empty},
    {"Release", "", &SynthParams::Release, nullptr, ParameterDisplayKind::Empty},
    {"ADSRCurve", "", &SynthParams::ADSRCurve, nullptr, ParameterDisplayKind::Mirrored},
    {"Volume", "dB", &SynthParams::Volume, nullptr, ParameterDisplayKind::Decibels},
    {"Fixing", "", &SynthParams::Fixing, nullptr, ParameterDisplayKind::FixingSpan},
    {"DynaTone", "", &SynthParams::DynaTone, nullptr, ParameterDisplayKind::DynaToneSpan},
    {"Distorter ", "", &SynthParams::Distorter, nullptr, ParameterDisplayKind::Empty},
    {"Overdrive ", "", &SynthParams::Overdrive, nullptr, ParameterDisplayKind::Empty},
    {"Chorus ", "", &SynthParams::Chorus, nullptr, ParameterDisplayKind::Empty},
    {"Legato ", "", nullptr, &SynthParams::Legato, ParameterDisplayKind::Empty},
    {"Velocity ", "", &SynthParams::Velocity, nullptr, ParameterDisplayKind::Empty},
    {"ToneRama", "", &SynthParams::ToneRama, nullptr, ParameterDisplayKind::Mirrored},
    {"PowerChord", "", &SynthParams::PowerChord, nullptr, ParameterDisplayKind::Empty},
};

// Every value of SynthParams stands in the table once: one value per entry, no value twice, as many
// entries as values.
constexpr bool eachFieldOnce() {
    constexpr std::size_t count = std::size(parameterTable);
    for (std::size_t i = 0; i < count; ++i) {
        const ParameterInfo& a = parameterTable[i];
        if ((a.field == nullptr) == (a.integerField == nullptr))
            return false;
        for (std::size_t j = i + 1; j < count; ++j) {
            const ParameterInfo& b = parameterTable[j];
            if ((a.field != nullptr && a.field == b.field) ||
                (a.integerField != nullptr && a.integerField == b.integerField))
                return false;
        }
    }
    return count * 4 == sizeof(SynthParams);
}
static_assert(eachFieldOnce(), "the table names every value of SynthParams exactly once");

// Calls f(std::integral_constant<std::size_t, I>) for every table index I, unrolled at compile time, so
// that each call sees its entry as a constant.
template <class F> constexpr void forEachParameter(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (f(std::integral_constant<std::size_t, I>{}), ...);
    }
    (std::make_index_sequence<std::size(parameterTable)>{});
}

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
