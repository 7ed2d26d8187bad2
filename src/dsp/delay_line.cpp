#include "dsp/delay_line.h"

#include <algorithm>
#include <cstddef>
#include <new>

namespace solvantis {

namespace {

int32_t clampMaxDelay(int32_t maxDelay) {
    return std::clamp(maxDelay, int32_t{0}, DelayLine::maxDelayLimit);
}

} // namespace

DelayLine::DelayLine(float initialDelay, int32_t maxDelay) noexcept {
    busy = true;
    nextOutputStale = false;
    writeIndex = 0;
    interpolation = false;
    readIndex = 0;
    const int32_t slots = clampMaxDelay(maxDelay) + 1;
    buffer.reset(new (std::nothrow) float[static_cast<std::size_t>(slots)]);
    if (!buffer) {
        // Inert: no slots, busy for good, the cache never goes stale so the peeks return 0.
        length = 0;
        return;
    }
    length = slots;
    clear();
    writeIndex = 0;
    setDelay(initialDelay);
    allpassInput = 0.0f;
    busy = false;
    nextOutputStale = true;
    silentCount = initialSilentCount;
}

std::unique_ptr<DelayLine> DelayLine::create(float initialDelay, int32_t maxDelay) noexcept {
    std::unique_ptr<DelayLine> line(new (std::nothrow) DelayLine(initialDelay, maxDelay));
    if (line && !line->ok()) {
        line.reset();
    }
    return line;
}

void DelayLine::clear() noexcept {
    std::fill_n(buffer.get(), length, fillValue);
    lastOutput = 0.0f;
    allpassInput = 0.0f;
}

void DelayLine::reset() noexcept {
    clear();
    nextOutput = 0.0f;
    nextOutputStale = length > 0; // an inert line keeps answering 0 without reading its missing buffer
    silentCount = initialSilentCount;
}

bool DelayLine::resize(int32_t newMaxDelay) noexcept {
    const int32_t slots = clampMaxDelay(newMaxDelay) + 1;
    std::unique_ptr<float[]> fresh(new (std::nothrow) float[static_cast<std::size_t>(slots)]);
    if (!fresh) {
        return false;
    }
    const bool wasBusy = busy;
    busy = true;
    const int32_t oldLength = length;
    buffer = std::move(fresh);
    length = slots;
    clear();
    if (slots < oldLength) {
        // Keep the distance between write and read position (the effective delay), clamped to the new
        // maximum, with the write position at slot 0.
        double distance = static_cast<double>(writeIndex) - (static_cast<double>(readIndex) + fraction);
        if (distance < 0.0) {
            distance += oldLength;
        }
        const double newMax = slots - 1;
        distance = std::min(distance, newMax);
        delay = std::min(delay, static_cast<float>(newMax));
        writeIndex = 0;
        placeReadPosition(distance > 0.0 ? slots - distance : 0.0);
        placed = false;
    }
    // A line whose first allocation failed becomes usable here; its gate starts as a new line's does.
    if (oldLength == 0) {
        silentCount = initialSilentCount;
        nextOutputStale = true;
        busy = false;
    } else {
        busy = wasBusy;
    }
    return true;
}

} // namespace solvantis
