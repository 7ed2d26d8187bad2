// The denormal guard the renders hold for a block: denormals flushed to zero, the host's mode restored.
#pragma once

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace solvantis {

// Flushes denormals to zero (results and operands) for the lifetime of the object and gives the host its
// own floating-point mode back afterwards, so a decaying tail never costs more than a loud note.
class DenormalGuard {
public:
#if defined(__SSE__) || defined(__x86_64__)
    static constexpr unsigned flushToZero = 0x8000;      // MXCSR FTZ
    static constexpr unsigned denormalsAreZero = 0x0040; // MXCSR DAZ

    DenormalGuard() : saved(_mm_getcsr()) {
        _mm_setcsr(saved | flushToZero | denormalsAreZero);
    }
    ~DenormalGuard() {
        _mm_setcsr(saved);
    }

private:
    unsigned saved;
#elif defined(__aarch64__)
    DenormalGuard() {
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved));
        const unsigned long flushed = saved | (1ul << 24);
        __asm__ __volatile__("msr fpcr, %0" : : "r"(flushed));
    }
    ~DenormalGuard() {
        __asm__ __volatile__("msr fpcr, %0" : : "r"(saved));
    }

private:
    unsigned long saved;
#else
    DenormalGuard() = default;
#endif

public:
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;
};

} // namespace solvantis
