// The 19 live parameter values the render reads, and the one table of the parameters that everything else
// walks: names, labels, defaults, the field each index maps onto and how the host's display shows it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

namespace solvantis {

// The live values in parameter index order. Every value is a raw host value in 0..1 and is mapped only where
// the render reads it; Legato is held as the integer 0 or 1. A default-constructed set holds the defaults
// of parameterTable, so SynthParams{} is a freshly built program's values.
struct SynthParams {
    float Exciter;    // 0  level of the pluck pulse
    float Modulation; // 1  depth of the noise detuning of the second string loop
    float TovFilter;  // 2  how far velocity opens the exciter noise filter
    float Pick;       // 3  exciter noise level
    float Attack;     // 4  attack length, cubic in the value
    float Decay;      // 5  decay length, quadratic in the value
    float Sustain;    // 6  sustain level (times the modulation wheel)
    float Release;    // 7  release length, quadratic in the value
    float ADSRCurve;  // 8  curvature of the envelope segments
    float Volume;     // 9  linear output gain
    float Fixing;     // 10 comb delay on the pluck
    float DynaTone;   // 11 tone filter frequencies; 0 switches the filter off
    float Distorter;  // 12 dry/wet of the soft-knee distorter
    float Overdrive;  // 13 level raise and cubic overdrive share
    float Chorus;     // 14 dry/wet of the stereo chorus
    int32_t Legato;   // 15 0 or 1: a note-off moves the voice to the lowest held key
    float Velocity;   // 16 velocity sensitivity
    float ToneRama;   // 17 mix of the two tone filter paths
    float PowerChord; // 18 0: one string of two coupled loops; otherwise two strings a fifth apart

    constexpr SynthParams() noexcept;
};

static_assert(sizeof(SynthParams) == 19 * 4, "19 values of 32 bits, no padding");
static_assert(std::is_trivially_copyable_v<SynthParams>);

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
    const char* name;  // as the host shows it, trailing blanks included
    const char* label; // empty where the parameter has none
    float defaultValue;
    float SynthParams::*field;          // null for Legato, the one integer
    int32_t SynthParams::*integerField; // Legato's; null for the others
    ParameterDisplayKind display;
};

inline constexpr ParameterInfo parameterTable[] = {
    {"Exciter ", "Level", 0.9f, &SynthParams::Exciter, nullptr, ParameterDisplayKind::Value},
    {"Modulation ", "Dirty", 0.4f, &SynthParams::Modulation, nullptr, ParameterDisplayKind::Value},
    {"TovFilter", "", 0.3f, &SynthParams::TovFilter, nullptr, ParameterDisplayKind::Empty},
    {"Pick", "", 0.3f, &SynthParams::Pick, nullptr, ParameterDisplayKind::Empty},
    {"Attack", "", 0.14f, &SynthParams::Attack, nullptr, ParameterDisplayKind::Empty},
    {"Decay", "", 0.9f, &SynthParams::Decay, nullptr, ParameterDisplayKind::Empty},
    {"Sustain", "", 0.8f, &SynthParams::Sustain, nullptr, ParameterDisplayKind::Empty},
    {"Release", "", 0.1f, &SynthParams::Release, nullptr, ParameterDisplayKind::Empty},
    {"ADSRCurve", "", 0.3f, &SynthParams::ADSRCurve, nullptr, ParameterDisplayKind::Mirrored},
    {"Volume", "dB", 0.5f, &SynthParams::Volume, nullptr, ParameterDisplayKind::Decibels},
    {"Fixing", "", 0.489f, &SynthParams::Fixing, nullptr, ParameterDisplayKind::FixingSpan},
    {"DynaTone", "", 0.4f, &SynthParams::DynaTone, nullptr, ParameterDisplayKind::DynaToneSpan},
    {"Distorter ", "", 0.0f, &SynthParams::Distorter, nullptr, ParameterDisplayKind::Empty},
    {"Overdrive ", "", 0.4f, &SynthParams::Overdrive, nullptr, ParameterDisplayKind::Empty},
    {"Chorus ", "", 0.0f, &SynthParams::Chorus, nullptr, ParameterDisplayKind::Empty},
    {"Legato ", "", 1.0f, nullptr, &SynthParams::Legato, ParameterDisplayKind::Empty},
    {"Velocity ", "", 0.5f, &SynthParams::Velocity, nullptr, ParameterDisplayKind::Empty},
    {"ToneRama", "", 0.14f, &SynthParams::ToneRama, nullptr, ParameterDisplayKind::Mirrored},
    {"PowerChord", "", 0.0f, &SynthParams::PowerChord, nullptr, ParameterDisplayKind::Empty},
};

// Every field of SynthParams stands in the table once: one field per entry, no field twice, as many
// entries as fields.
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
static_assert(eachFieldOnce(), "the table names every field of SynthParams exactly once");

// Calls f(std::integral_constant<std::size_t, I>) for every table index I, unrolled at compile time, so
// that each call sees its entry as a constant.
template <class F> constexpr void forEachParameter(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (f(std::integral_constant<std::size_t, I>{}), ...);
    }
    (std::make_index_sequence<std::size(parameterTable)>{});
}

constexpr SynthParams::SynthParams() noexcept {
    forEachParameter([this](auto index) {
        constexpr ParameterInfo entry = parameterTable[decltype(index)::value];
        if constexpr (entry.integerField != nullptr)
            this->*entry.integerField = static_cast<int32_t>(entry.defaultValue);
        else
            this->*entry.field = entry.defaultValue;
    });
}

// Hosts store parameters from a UI or automation thread while the audio thread renders. Every live value is
// one 32-bit store and one 32-bit load, made relaxed atomic so that the language agrees there is no data
// race; no order between values is promised (a program change during a block may mix two programs in it).
template <class T> inline T loadRelaxed(const T& value) noexcept {
    static_assert(std::atomic_ref<T>::is_always_lock_free);
    return std::atomic_ref<T>(const_cast<T&>(value)).load(std::memory_order_relaxed);
}

template <class T> inline void storeRelaxed(T& value, T x) noexcept {
    std::atomic_ref<T>(value).store(x, std::memory_order_relaxed);
}

// Copies every value with relaxed atomic loads and stores: `to` may be read by another thread meanwhile.
// Unrolled at compile time: the render takes one copy per block.
inline void copyParameters(SynthParams& to, const SynthParams& from) noexcept {
    forEachParameter([&](auto index) {
        constexpr ParameterInfo entry = parameterTable[decltype(index)::value];
        if constexpr (entry.integerField != nullptr)
            storeRelaxed(to.*entry.integerField, loadRelaxed(from.*entry.integerField));
        else
            storeRelaxed(to.*entry.field, loadRelaxed(from.*entry.field));
    });
}

} // namespace solvantis
