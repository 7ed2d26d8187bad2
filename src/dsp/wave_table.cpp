#include "dsp/wave_table.h"

#include <cmath>
#include <new>

namespace solvantis {

WaveTable::WaveTable(float rate) noexcept : sampleRate(rate) {
    buildTable(WaveShape::sinus);
    setFrequency(1.0f);
}

std::unique_ptr<WaveTable> WaveTable::create(float rate) noexcept {
    return std::unique_ptr<WaveTable>(new (std::nothrow) WaveTable(rate));
}

void WaveTable::buildTable(int32_t shape) noexcept {
    // pi and e in extended precision; every point is rounded once, to float.
    const long double pi = 4.0L * std::atan(1.0L);
    const long double e = std::exp(1.0L);
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
            table[i] = static_cast<float>(std::sin(2.0L * pi * i / 256.0L));
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
            const long double t = (i < 128 ? i : 256 - i) / 128.0L;
            table[i] = static_cast<float>(2.0L * (std::exp(t) - 1.0L) / (e - 1.0L) - 1.0L);
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
