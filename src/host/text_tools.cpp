#include "host/text_tools.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace solvantis {

namespace {

constexpr int kWidth = 8; // characters of every text, the terminating zero not counted

} // namespace

void formatFloat8(float value, char* text) {
    if (!text) {
        return;
    }
    double v = value;
    const bool negative = v < 0.0;
    if (negative) {
        v = -v;
    }
    // A NaN fails every comparison, so it lands here too.
    if (!(v <= (negative ? 9999999.0 : 99999999.0))) {
        std::strcpy(text, "Huge!");
        return;
    }

    // Integer digits, least significant first. floor(v) has at most 8 digits here.
    char digits[16];
    int numDigits = 0;
    double integ = std::floor(v);
    do {
        digits[numDigits++] = static_cast<char>('0' + static_cast<int>(std::fmod(integ, 10.0)));
        integ *= 0.1;
    } while (integ >= 1.0 && numDigits < 9);

    char* out = text;
    if (negative) {
        *out++ = '-';
    }
    while (numDigits > 0) {
        *out++ = digits[--numDigits];
    }
    int count = static_cast<int>(out - text);
    if (count >= kWidth) {
        // The integer alone fills the width: no room for the point.
        *out = '\0';
        return;
    }
    *out++ = '.';
    ++count;

    // Fraction digits, filled from the last to the first.
    const int n = kWidth - count;
    double mantissa = std::fmod(v, 1.0) * std::pow(10.0, n);
    for (int i = n - 1; i >= 0; --i) {
        if (mantissa <= 0.0) {
            out[i] = '0';
        } else {
            out[i] = static_cast<char>('0' + static_cast<int>(std::fmod(mantissa, 10.0)));
            mantissa *= 0.1;
        }
    }
    out[n] = '\0';
}

void formatLong8(int32_t value, char* text) {
    if (!text) {
        return;
    }
    if (value >= 100000000) {
        std::strcpy(text, "Huge!");
        return;
    }
    char formatted[16];
    std::snprintf(formatted, sizeof formatted, "%7d", static_cast<int>(value));
    std::memcpy(text, formatted, kWidth);
    text[kWidth] = '\0';
}

} // namespace solvantis
