#include "dsp/wave_table.h"

#include <cmath>
#include <new>

#include "dsp/math_functions.h"

namespace solvantis {

WaveTable::WaveTable(float rate) noexcept : sampleRate(rate) {
    buildTable(WaveShape::sinus);
    setFrequency(1.0f);
}

std::unique_ptr<WaveTable> WaveTable::create(float rate) noexcept {
    return std::unique_ptr<WaveTable>(new (std::nothrow) WaveTable(rate));
}

void WaveTable::buildTable(int32_t shape) noexcept {
    // Each point is computed in double precision and rounded once, to float.
    const double e = math::exp(1.0);
    switch (static_cast<WaveShape>(shape)) {
    case WaveShape::triangle:
        for (int32_t i = 0; i < tableSize; ++i) {
            const int32_t rise = i < 64 ? i : i < 192 ? 128 - i : i - 256;
            table[i] = static_cast<float>(rise) / 64.0f;
        }
        table[tableSize] = 0.0f;
        break;
    case WaveShape::sinus:
        for (int32_t i = 0; i <= tableSize; ++i) {
            table[i] = static_cast<float>(math::sinPi(i / 128.0)); // sin(2 pi i / 256)
        }
        break;
    case WaveShape::sawtooth: {
        const float k = 1.0f / 255.0f; // held as a float: the ramp ends at 1.0000001
        for (int32_t i = 0; i < tableSize; ++i) {
            table[i] = static_cast<float>(2.0 * i * static_cast<double>(k) - 1.0);
        }
        table[tableSize] = -1.0f;
        break;
    }
    case WaveShape::square:
        for (int32_t i = 0; i < tableSize; ++i) {
            table[i] = i < 128 ? 1.0f : -1.0f;
        }
        table[tableSize] = 1.0f;
        break;
    case WaveShape::exponent:
        for (int32_t i = 0; i < tableSize; ++i) {
            const double t = (i < 128 ? i : 256 - i) / 128.0;
            table[i] = static_cast<float>(2.0 * (math::exp(t) - 1.0) / (e - 1.0) - 1.0);
        }
        table[tableSize] = -1.0f;
        break;
    default:
        break;
    }
}

void WaveTable::setFrequency(float hz) noexcept {
    constexpr double cycle = 4294967296.0; // 2^32 phase units
    double units = std::trunc(256.0 / static_cast<double>(sampleRate) * static_cast<double>(hz) * 16777216.0);
    if (!std::isfinite(units)) {
        phaseIncrement = 0;
        return;
    }
    units = std::fmod(units, cycle);
    if (units < 0.0) {
        units += cycle;
    }
    phaseIncrement = static_cast<uint32_t>(units);
}

} // namespace solvantis
