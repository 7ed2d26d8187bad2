// Number-to-text conversions for the short parameter texts a host shows: at most 8 characters and the
// terminating zero, so a buffer of 9 bytes always suffices.
#pragma once

#include <cstdint>

namespace solvantis {

// The value in exactly 8 characters (sign, digits and point), digits truncated, never rounded:
// 0.5 "0.500000", -3.25 "-3.25000", 440 "440.0000", 1234567 "1234567.". Integers too long for the point
// to fit are written without it (12345678 "12345678", -1234567 "-1234567"); beyond those, and for a NaN,
// "Huge!". Writes nothing to a null text.
void formatFloat8(float value, char* text);

// The value right-aligned in 7 columns, at most 8 characters ("      0", "12345678", "-1234567" for
// -12345678), or "Huge!" from 100000000 up. Writes nothing to a null text.
void formatLong8(int32_t value, char* text);

} // namespace solvantis
