// Low-frequency table oscillator with a 32-bit fixed-point phase: drives the chorus delay sweeps.
#pragma once

#include <cstdint>
#include <memory>

namespace solvantis {

// The table shapes, numbered as buildTable takes them.
enum class WaveShape : int32_t { triangle = 0, sinus = 1, sawtooth = 2, square = 3, exponent = 4 };

// Reads a 256-point single-cycle table with linear interpolation. The phase is 8.24 fixed point: the top
// 8 bits index the table, the low 24 bits are the fraction between two points, and its 32-bit overflow is
// the end of the cycle, so the per-sample read needs no wrap test and no division. Point 256 is a guard
// equal to point 0 that closes the last interval.
//
// The oscillator owns no memory beyond the object. create() returns null when the object cannot be
// allocated (new (std::nothrow)), for an engine set-up that must refuse a half-built engine. Final and
// without virtual operations, so tick() inlines into the chorus's sample loop.
class WaveTable final {
public:
    static constexpr int32_t tableSize = 256; // points per cycle, plus one guard point

    // sampleRate in Hz, captured for good. A new oscillator holds the sine table and runs at 1 Hz.
    explicit WaveTable(float sampleRate) noexcept;
    static std::unique_ptr<WaveTable> create(float sampleRate) noexcept;

    // Fills all 257 points with a WaveShape value; a value outside 0..4 leaves the table as it is.
    // Phase and increment are not touched.
    void buildTable(int32_t shape) noexcept;
    void buildTable(WaveShape shape) noexcept { buildTable(static_cast<int32_t>(shape)); }

    // Increment = trunc(256 / sampleRate * hz * 2^24) in double precision, kept modulo 2^32 (a negative
    // frequency runs the cycle backwards; a non-finite result stops the oscillator).
    void setFrequency(float hz) noexcept;

    // The interpolated value at the current phase, then the phase advances by one sample's increment.
    float tick() noexcept {
        const uint32_t p = phase;
        const uint32_t i = p >> 24;
        // The fraction's 24 bits convert as a signed value, the same number, in one instruction.
        const float x = static_cast<float>(static_cast<int32_t>(p & 0xFFFFFFu)) * (1.0f / 16777216.0f);
        phase = p + phaseIncrement;
        return (1.0f - x) * table[i] + x * table[i + 1];
    }

    float getSampleRate() const noexcept { return sampleRate; }
    uint32_t getPhase() const noexcept { return phase; }
    uint32_t getPhaseIncrement() const noexcept { return phaseIncrement; }
    // Table point 0..256 (256 is the guard point); the caller keeps the index in range.
    float getTableValue(int32_t index) const noexcept { return table[index]; }

private:
    float sampleRate;            // Hz, never changed after construction
    uint32_t phase = 0;          // 8.24 fixed point
    uint32_t phaseIncrement = 0; // 8.24 fixed point per sample
    float table[tableSize + 1] = {};
};

} // namespace solvantis
