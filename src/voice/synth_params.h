#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

namespace solvantis {

// The 19 live parameter values the engine reads while rendering, in parameter index order. Every value is a
// raw host value in 0..1 and is mapped only where the render reads it; Legato is held as the integer 0 or 1.
// The defaults are those of a freshly built program.
struct SynthParams {
    float Exciter = 0.9f;    // 0  level of the pluck pulse
    float Modulation = 0.4f; // 1  depth of the noise detuning of the second string loop
    float TovFilter = 0.3f;  // 2  how far velocity opens the exciter noise filter
    float Pick = 0.3f;       // 3  exciter noise level
    float Attack = 0.14f;    // 4  attack length, cubic in the value
    float Decay = 0.9f;      // 5  decay length, quadratic in the value
    float Sustain = 0.8f;    // 6  sustain level (times the modulation wheel)
    float Release = 0.1f;    // 7  release length, quadratic in the value
    float ADSRCurve = 0.3f;  // 8  curvature of the envelope segments
    float Volume = 0.5f;     // 9  linear output gain
    float Fixing = 0.489f;   // 10 comb delay on the pluck
    float DynaTone = 0.4f;   // 11 tone filter frequencies; 0 switches the filter off
    float Distorter = 0.0f;  // 12 dry/wet of the soft-knee distorter
    float Overdrive = 0.4f;  // 13 level raise and cubic overdrive share
    float Chorus = 0.0f;     // 14 dry/wet of the stereo chorus
    int32_t Legato = 1;      // 15 0 or 1: a note-off moves the voice to the lowest held key
    float Velocity = 0.5f;   // 16 velocity sensitivity
    float ToneRama = 0.14f;  // 17 mix of the two tone filter paths
    float PowerChord = 0.0f; // 18 0: one string of two coupled loops; otherwise two strings a fifth apart
};

static_assert(sizeof(SynthParams) == 19 * 4, "19 values of 32 bits, no padding");

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

// The 18 float fields, in parameter order without Legato.
inline constexpr float SynthParams::*floatParameterFields[] = {
    &SynthParams::Exciter,   &SynthParams::Modulation, &SynthParams::TovFilter, &SynthParams::Pick,
    &SynthParams::Attack,    &SynthParams::Decay,      &SynthParams::Sustain,   &SynthParams::Release,
    &SynthParams::ADSRCurve, &SynthParams::Volume,     &SynthParams::Fixing,    &SynthParams::DynaTone,
    &SynthParams::Distorter, &SynthParams::Overdrive,  &SynthParams::Chorus,    &SynthParams::Velocity,
    &SynthParams::ToneRama,  &SynthParams::PowerChord};

template <std::size_t... I>
inline void copyFloatParameters(SynthParams& to, const SynthParams& from,
                                std::index_sequence<I...>) noexcept {
    (storeRelaxed(to.*floatParameterFields[I], loadRelaxed(from.*floatParameterFields[I])), ...);
}

// Copies every value with relaxed atomic loads and stores: `to` may be read by another thread meanwhile.
// Unrolled at compile time: the render takes one copy per block.
inline void copyParameters(SynthParams& to, const SynthParams& from) noexcept {
    copyFloatParameters(to, from, std::make_index_sequence<std::size(floatParameterFields)>{});
    storeRelaxed(to.Legato, loadRelaxed(from.Legato));
}

} // namespace solvantis
