// The 19 live parameter values the render reads, with their defaults, and their copy by relaxed atomic
// loads and stores.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace solvantis {

// The live values in parameter index order, each as the host stored it: nothing checks or maps a value when
// it is stored (a host may send any float, NaN included), and the render maps and bounds each where it
// reads it. Nominally 0..1; Legato is held as an integer, 1 for on. A default-constructed set holds the
// defaults, so SynthParams{} is a freshly built program's values.
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
    int32_t Legato = 1;      // 15 on (not 0): a note-off moves the voice to the lowest held key
    float Velocity = 0.5f;   // 16 velocity sensitivity
    float ToneRama = 0.14f;  // 17 mix of the two tone filter paths
    float PowerChord = 0.0f; // 18 0: one string of two coupled loops; otherwise two strings a fifth apart
};

static_assert(sizeof(SynthParams) == 19 * 4, "19 values of 32 bits, no padding");
static_assert(std::is_trivially_copyable_v<SynthParams>);

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
// The bindings name every value, so a value added to SynthParams and not copied here does not compile.
inline void copyParameters(SynthParams& to, const SynthParams& from) noexcept {
    auto& [t0, t1, t2, t3, t4, t5, t6, t7, t8, t9, t10, t11, t12, t13, t14, t15, t16, t17, t18] = to;
    const auto& [f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14, f15, f16, f17, f18] = from;
    auto copy = [](auto& t, const auto& f) { storeRelaxed(t, loadRelaxed(f)); };
    copy(t0, f0);
    copy(t1, f1);
    copy(t2, f2);
    copy(t3, f3);
    copy(t4, f4);
    copy(t5, f5);
    copy(t6, f6);
    copy(t7, f7);
    copy(t8, f8);
    copy(t9, f9);
    copy(t10, f10);
    copy(t11, f11);
    copy(t12, f12);
    copy(t13, f13);
    copy(t14, f14);
    copy(t15, f15);
    copy(t16, f16);
    copy(t17, f17);
    copy(t18, f18);
}

} // namespace solvantis
