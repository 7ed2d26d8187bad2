#include "dsp/delay_line.h"

#include <new>

namespace solvantis {

DelayLine::DelayLine(float initialDelay, int32_t maxDelay) noexcept {
    (void)initialDelay;
    (void)maxDelay;
}

std::unique_ptr<DelayLine> DelayLine::create(float initialDelay, int32_t maxDelay) noexcept {
    std::unique_ptr<DelayLine> line(new (std::nothrow) DelayLine(initialDelay, maxDelay));
    if (line && !line->ok()) {
        line.reset();
    }
    return line;
}

void DelayLine::clear() noexcept {}

bool DelayLine::resize(int32_t newMaxDelay) noexcept {
    (void)newMaxDelay;
    return false;
}

} // namespace solvantis
