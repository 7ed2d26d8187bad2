// What both fuzz targets share: a reader that turns the fuzzer's bytes into operands, a host callback
// that answers like a plain host, and one instrument made through the library's entry steps.
#pragma once

#include "host/entries.h"
#include "host/vst_abi.h"
#include "instrument/synth_plugin.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace solvantis::fuzz {

// Reads little-endian operands from the input; past its end every read gives zeros.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data(data), size(size) {}

    bool empty() const { return position >= size; }

    uint8_t byte() { return position < size ? data[position++] : 0; }

    template <typename T> T raw() {
        uint8_t bytes[sizeof(T)] = {};
        for (uint8_t& b : bytes)
            b = byte();
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    // Mostly a small value in [low, high], sometimes any 32-bit value at all.
    int32_t smallOrAny(int32_t low, int32_t high) {
        const uint8_t pick = byte();
        if (pick < 200) {
            const uint32_t span = static_cast<uint32_t>(high - low) + 1u;
            return low + static_cast<int32_t>(raw<uint16_t>() % span);
        }
        return raw<int32_t>();
    }

    // A float that is often one of the values a careless host sends.
    float anyFloat() {
        static constexpr float special[] = {0.0f,     -0.0f,     0.5f, 1.0f,    -1.0f, 1e-45f, 1e30f, -1e30f,
                                            INFINITY, -INFINITY, NAN,  3.4e38f, 2.0f,  100.0f, 1e-20f};
        const uint8_t pick = byte();
        if (pick < 96)
            return special[pick % (sizeof special / sizeof special[0])];
        if (pick < 192)
            return static_cast<float>(byte()) / 255.0f;
        return raw<float>();
    }

private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

// A host that knows only its version; every other request is answered with nothing.
inline intptr_t fakeHost(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

inline EffectBase* makeInstrument(audioMasterCallback hostCallback) {
    return new (std::nothrow) SynthPlugin(hostCallback);
}

inline AEffect* openInstrument() {
    AEffect* effect = createInstance(fakeHost, makeInstrument);
    if (!effect) {
        std::fprintf(stderr, "fuzz: the instrument could not be made\n");
        std::abort();
    }
    effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
    return effect;
}

// Renders one block through either process entry into buffers of exactly `frames` samples that hold
// garbage (NaN and infinities included), and aborts if any sample comes back not finite.
inline void renderChecked(AEffect* effect, bool replacing, int32_t frames, uint8_t garbageSeed) {
    const size_t count = static_cast<size_t>(frames);
    float* left = new float[count];
    float* right = new float[count];
    static constexpr float garbage[] = {NAN, INFINITY, -INFINITY, 1e38f, -7.0f, 0.25f};
    for (size_t i = 0; i < count; ++i) {
        left[i] = garbage[(garbageSeed + i) % 6];
        right[i] = garbage[(garbageSeed + 3 * i + 1) % 6];
    }
    float* outputs[2] = {left, right};
    float dummyInput = NAN;
    float* inputs[2] = {&dummyInput, &dummyInput};
    (replacing ? effect->processReplacing : effect->process)(effect, inputs, outputs, frames);
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(left[i]) || !std::isfinite(right[i])) {
            std::fprintf(stderr, "fuzz: sample %zu of %d is not finite (%g, %g)\n", i, frames,
                         static_cast<double>(left[i]), static_cast<double>(right[i]));
            std::abort();
        }
    }
    delete[] left;
    delete[] right;
}

} // namespace solvantis::fuzz
