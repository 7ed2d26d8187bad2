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
    (void)shape;
}

void WaveTable::setFrequency(float hz) noexcept {
    (void)hz;
}

} // namespace solvantis
