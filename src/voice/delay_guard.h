#pragma once

namespace solvantis {

// A delay length that a line can always place: a NaN (from a NaN sample rate or pitch) reads at the write
// position instead of reaching the line's index arithmetic. Infinities are clamped by the line itself.
inline float placeableDelay(float samples) { return samples == samples ? samples : 0.0f; }

} // namespace solvantis
