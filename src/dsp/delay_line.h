// Fractional circular-buffer delay line: the building block of the string model and the chorus.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace solvantis {

// One line carries every way of reading it: direct (integer position), linear, first-order allpass and
// four-point Hermite interpolation, each with or without a silence gate that freezes a line whose output
// has died away. Audio values are 32-bit floats, delays are in samples.
//
// The string-loop pattern: read the current output with nextOutLinear(), compute the new input from it,
// then tickLinear(input). The peek cache makes the second read of a position free: only the ticks that
// read through the linear peek (tick with interpolation on, tickLinear, tickLinearGated, tickAllpassGated)
// mark it stale; setDelay, clear, resize and the other ticks leave the cached value in place.
//
// Allocation failure: the buffer is allocated with new (std::nothrow). If that fails, ok() is false and the
// line is inert (it stays busy: every tick returns 0 and changes nothing, the peeks return 0). create()
// returns null instead of such a line, so an engine set-up can refuse to go on with a half-built engine.
// Nothing here throws.
//
// Per-sample operations are defined inline below, allocate nothing and wrap indices by compare and
// subtract. The class is final and has no virtual operations, so a stage's sample loop inlines them.
class DelayLine final {
public:
    static constexpr float fillValue = 0.001f;        // initial and cleared slot value (not 0)
    static constexpr float silenceThreshold = 0.001f; // outputs and inputs at or below this count as quiet
    static constexpr int32_t initialSilentCount = 10000;
    // Largest accepted maximum delay in samples: a float holds every integer delay up to here exactly.
    static constexpr int32_t maxDelayLimit = 1 << 24;

    // delay: initial delay in samples; maxDelay: maximum delay in samples (clamped to 0..maxDelayLimit),
    // the buffer holds maxDelay + 1 slots.
    DelayLine(float delay, int32_t maxDelay) noexcept;
    ~DelayLine() = default;
    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    // A new line on the heap, or null when either the object or its buffer could not be allocated.
    static std::unique_ptr<DelayLine> create(float delay, int32_t maxDelay) noexcept;

    // false when the buffer could not be allocated; such a line stays busy and silent.
    bool ok() const noexcept { return buffer != nullptr; }

    // Every slot = 0.001, lastOutput = 0 and the allpass state 0; indices, delay, gate count and peek cache
    // untouched.
    void clear() noexcept;

    // clear() and the interpolation state too: the peek cache is emptied and the gate count starts afresh,
    // so nothing of what the line held before can reach a later output. The recovery path uses it.
    void reset() noexcept;

    // Moves the read position to `delay` samples behind the write position. Above the maximum the delay is
    // clamped to it and the read position lies one slot after the write position; a negative (or NaN)
    // delay reads at the write position while getDelay() reports 0.5. Leaves the peek cache alone.
    inline void setDelay(float d) noexcept;
    float getDelay() const noexcept { return delay; }

    // Chooses the read of tick(): false = direct, true = linear interpolation.
    void setInterpolation(bool on) noexcept { interpolation = on; }

    // Linear-interpolated sample at the read position, cached until a linear tick marks it stale.
    // noWrap: the caller knows that no index reaches the end of the buffer during the next ticks
    // (clearFor), so the wrap tests are left out.
    template <bool noWrap = false> float nextOutLinear() noexcept {
        if (nextOutputStale) {
            nextOutput = linearAtRead<noWrap>();
            nextOutputStale = false;
        }
        return nextOutput;
    }
    // First-order allpass-interpolated sample at the read position, same cache.
    inline float nextOutAllpass() noexcept;

    // Each tick writes its input first, then reads, then advances the read position one slot; so an integer
    // delay d returns the input d ticks later and a delay of 0 returns the input of the same tick.
    inline float tick(float x) noexcept;             // direct or linear by setInterpolation; no gate
    inline float tickAllpassGated(float x) noexcept; // linear read, records the allpass state; gated
    inline float tickDirect(float x) noexcept;       // no gate
    inline float tickLinearGated(float x) noexcept;
    template <bool noWrap = false> float tickLinear(float x) noexcept { // no gate
        if (busy) {
            return 0.0f;
        }
        buffer[writeIndex] = x;
        writeIndex = noWrap || writeIndex + 1 < length ? writeIndex + 1 : 0;
        lastOutput = nextOutLinear<noWrap>();
        readIndex = noWrap || readIndex + 1 < length ? readIndex + 1 : 0;
        nextOutputStale = true;
        return lastOutput;
    }
    inline float tickDirectGated(float x) noexcept;
    inline float tickCubicGated(float x) noexcept; // four-point third-order Hermite read; gated

    // The gate's state without ticking: running while silentCount <= delay.
    bool isSounding() const noexcept { return static_cast<float>(silentCount) <= delay; }
    bool isSilent() const noexcept { return static_cast<float>(silentCount) > delay; }
    // Restarts a frozen gated line.
    void wake() noexcept { silentCount = 0; }

    // Rebuilds the buffer for a new maximum delay (clamped to 0..maxDelayLimit) and clears it. Growing keeps
    // both indices and the delay as they are, callers follow with setDelay. Shrinking puts the write
    // position at slot 0 and the read position at the current delay distance, clamped to the new maximum,
    // so both indices are in range at once. Returns false, with the old buffer kept, when the new buffer
    // cannot be allocated.
    bool resize(int32_t newMaxDelay) noexcept;

    // Block operations, for a stage whose block method runs several samples of a line at once. Each gives
    // exactly what the per-sample operations above give for the same samples.

    // True when n more linear ticks with their peeks stay clear of the buffer's end: the read position
    // advances through the buffer as the write position does. The ticks may then leave out the wrap tests
    // (the `within` form of nextOutLinear and tickLinear).
    bool clearFor(int32_t n) const noexcept { return writeIndex + n < length && readIndex + n + 1 < length; }

    // A run of n ticks whose peeks read only slots written before it: n + 1 peeks at n + 1 consecutive read
    // positions and n writes at consecutive slots, no index wrapping and no slot both read and written.
    // Then the line can be read for the whole run first (readAhead) and written after it (writeAhead) with
    // the same results as n peek-tick-peek steps, whatever the inputs.
    bool readsAheadOf(int32_t n) const noexcept {
        return clearFor(n) && (readIndex + n + 1 < writeIndex || readIndex >= writeIndex + n);
    }
    // out[0..n]: the peek before the run's first tick (the cached value if there is one), then the peek
    // after each of its ticks.
    [[gnu::always_inline]] void readAhead(int32_t n, float* out) const noexcept {
        const float* slot = buffer.get() + readIndex;
        const float oneMinus = oneMinusFraction;
        const float f = fraction;
        out[0] = nextOutputStale ? interpolate(slot[0], slot[1], oneMinus, f) : nextOutput;
        for (int32_t j = 1; j <= n; ++j) {
            out[j] = interpolate(slot[j], slot[j + 1], oneMinus, f);
        }
    }
    // The run's n inputs written and the positions advanced; reads is what readAhead gave. peeked: the run
    // peeks after each tick (the string's loops), so the last peek stays cached; otherwise (ticks alone, as
    // the comb's) the cache is stale after the run, as after any tick.
    void writeAhead(int32_t n, const float* in, const float* reads, bool peeked = true) noexcept {
        std::memcpy(buffer.get() + writeIndex, in, sizeof(float) * static_cast<std::size_t>(n));
        writeIndex += n;
        readIndex += n;
        lastOutput = reads[n - 1];
        nextOutput = reads[peeked ? n : n - 1];
        nextOutputStale = !peeked;
    }

    // A run of n ticks each after its own setDelay(delays[j]), as a modulated line runs: true when every
    // delay lies between n + 1 samples and the maximum and the writes do not wrap, so that no read of the
    // run sees one of its writes.
    static constexpr int32_t maxRunAhead = 32; // the longest run a modulated line moves ahead
    bool movesAheadOf(const float* delays, int32_t n) const noexcept {
        if (n > maxRunAhead) {
            return false;
        }
        const float least = static_cast<float>(n + 1);
        const float most = static_cast<float>(length - 1);
        int fits = static_cast<int>(writeIndex + n < length);
        for (int32_t j = 0; j < n; ++j) {
            fits &= static_cast<int>(delays[j] >= least) & static_cast<int>(delays[j] <= most);
        }
        return fits != 0;
    }
    // out[j]: what the j-th tick of such a run returns, read before any of its writes; the read position is
    // left where the run's last tick leaves it. writeMoved then writes the run's inputs.
    inline void moveAhead(const float* delays, int32_t n, float* out) noexcept;
    void writeMoved(int32_t n, const float* in) noexcept {
        std::memcpy(buffer.get() + writeIndex, in, sizeof(float) * static_cast<std::size_t>(n));
        writeIndex += n;
    }

    float getFraction() const noexcept { return fraction; }
    // Follows the fraction; only the allpass reads use it, so it is computed when read.
    float getAllpassCoefficient() const noexcept { return allpassCoefficientFor(fraction); }
    float getLastOutput() const noexcept { return lastOutput; }
    int32_t getReadIndex() const noexcept { return readIndex; }
    int32_t getWriteIndex() const noexcept { return writeIndex; }
    int32_t getLength() const noexcept { return length; }
    int32_t getSilentCount() const noexcept { return silentCount; }

private:
    // (1 - a) / (1 + a) with a = fraction + 1.
    static float allpassCoefficientFor(float fraction) noexcept {
        const float a = fraction + 1.0f;
        return (1.0f - a) / (1.0f + a);
    }
    // Read index and fraction of read position p (0 <= p < length) in a line of `length` slots.
    static inline void splitReadPosition(double p, int32_t length, int32_t& readIndex,
                                         float& fraction) noexcept;
    // The read position `d` samples behind writeIndex, and the delay as the line records it.
    static inline double readPositionFor(float d, int32_t writeIndex, int32_t length, float& delay) noexcept;
    inline void placeReadPosition(double p) noexcept;
    inline void write(float x) noexcept;
    inline void advanceRead() noexcept;
    // The one linear interpolation of the line: slot values a and b (the slot after a) at a fraction.
    static float interpolate(float a, float b, float oneMinus, float fraction) noexcept {
        return a * oneMinus + b * fraction;
    }
    // The linear read at the read position; within: no index reaches the buffer's end (clearFor).
    template <bool noWrap> float linearAtRead() const noexcept {
        const int32_t next = noWrap || readIndex + 1 < length ? readIndex + 1 : 0;
        return interpolate(buffer[readIndex], buffer[next], oneMinusFraction, fraction);
    }
    // True when the read position stands where a delay of d puts it; otherwise records d as the one the
    // caller is about to place it for.
    inline bool placedFor(float d) noexcept;
    // Gate steps 2 and 3: true when the line is frozen and the tick must return 0 without doing anything.
    inline bool gateFrozen(float x) noexcept;
    // Gate step 5: counts the quiet output and returns it.
    inline float gateCount() noexcept;

    float fraction = 0.0f;         // fractional part of the read position, 0 <= fraction < 1
    float oneMinusFraction = 1.0f; // 1 - fraction
    float nextOutput = 0.0f;       // cached peek result
    bool nextOutputStale = false;  // the peek must recompute nextOutput
    int32_t writeIndex = 0;        // next slot written
    int32_t readIndex = 0;         // integer part of the read position
    int32_t length = 0;            // slots in buffer = maximum delay + 1
    float delay = 0.0f;            // delay in samples after clamping; also the gate's hold limit
    float lastOutput = 0.0f;       // last output value
    // The delay the read position was last placed for. Every tick advances the read and the write position
    // together, and placing the read position d samples behind the write position is exact arithmetic
    // (writeIndex - d in double), so placing it again for the same d would put it where it already is: a
    // setDelay of the same value is skipped. Anything else that moves the read position clears `placed`.
    float placedDelay = 0.0f;
    bool placed = false;
    std::unique_ptr<float[]> buffer;
    bool interpolation = false; // tick() reads linearly when set
    int32_t silentCount = 0;    // consecutive outputs not above the silence threshold
    bool busy = true;           // the buffer is being (re)built or missing: ticks return 0
    float allpassInput = 0.0f;  // raw sample at the read position at the previous allpass tick
};

inline void DelayLine::splitReadPosition(double p, int32_t length, int32_t& readIndex,
                                         float& fraction) noexcept {
    int32_t r = static_cast<int32_t>(p);
    float f = static_cast<float>(p - r);
    if (f >= 1.0f) { // p just below an integer rounds up in single precision
        f = 0.0f;
        r = r + 1 < length ? r + 1 : 0;
    }
    readIndex = r;
    fraction = f;
}

inline double DelayLine::readPositionFor(float d, int32_t writeIndex, int32_t length, float& delay) noexcept {
    const float maxDelay = static_cast<float>(length - 1);
    double p;
    if (d > maxDelay) {
        delay = maxDelay;
        p = writeIndex + 1.0;
    } else if (!(d >= 0.0f)) {
        delay = 0.5f;
        p = writeIndex;
    } else {
        delay = d;
        p = static_cast<double>(writeIndex) - static_cast<double>(d);
    }
    // A tiny delay at write position 0 gives a p just below 0 that rounds to exactly the length once the
    // length is added: that too wraps to slot 0.
    if (p < 0.0) {
        p += length;
    }
    if (p >= length) {
        p -= length;
    }
    return p;
}

inline void DelayLine::placeReadPosition(double p) noexcept {
    splitReadPosition(p, length, readIndex, fraction);
    oneMinusFraction = 1.0f - fraction;
}

inline bool DelayLine::placedFor(float d) noexcept {
    if (placed && std::bit_cast<uint32_t>(d) == std::bit_cast<uint32_t>(placedDelay)) {
        return true;
    }
    placed = true;
    placedDelay = d;
    return false;
}

inline void DelayLine::setDelay(float d) noexcept {
    if (!placedFor(d)) {
        placeReadPosition(readPositionFor(d, writeIndex, length, delay));
    }
}

inline void DelayLine::write(float x) noexcept {
    buffer[writeIndex] = x;
    writeIndex = writeIndex + 1 < length ? writeIndex + 1 : 0;
}

inline void DelayLine::advanceRead() noexcept {
    readIndex = readIndex + 1 < length ? readIndex + 1 : 0;
}

inline float DelayLine::nextOutAllpass() noexcept {
    if (nextOutputStale) {
        const float c = allpassCoefficientFor(fraction);
        nextOutput = buffer[readIndex] * c + allpassInput - c * lastOutput;
        nextOutputStale = false;
    }
    return nextOutput;
}

inline bool DelayLine::gateFrozen(float x) noexcept {
    if (x > silenceThreshold) {
        silentCount = 0;
    }
    return static_cast<float>(silentCount) > delay;
}

inline float DelayLine::gateCount() noexcept {
    // silentCount stops at delay + 1 (<= maxDelayLimit + 1), where the gate freezes the line.
    silentCount = lastOutput > silenceThreshold ? 0 : silentCount + 1;
    return lastOutput;
}

inline float DelayLine::tick(float x) noexcept {
    if (busy) {
        return 0.0f;
    }
    write(x);
    if (interpolation) {
        lastOutput = nextOutLinear();
        nextOutputStale = true;
    } else {
        lastOutput = buffer[readIndex];
    }
    advanceRead();
    return lastOutput;
}

inline float DelayLine::tickDirect(float x) noexcept {
    if (busy) {
        return 0.0f;
    }
    write(x);
    lastOutput = buffer[readIndex];
    advanceRead();
    return lastOutput;
}

inline float DelayLine::tickLinearGated(float x) noexcept {
    if (busy || gateFrozen(x)) {
        return 0.0f;
    }
    write(x);
    lastOutput = nextOutLinear();
    advanceRead();
    nextOutputStale = true;
    return gateCount();
}

inline float DelayLine::tickDirectGated(float x) noexcept {
    if (busy || gateFrozen(x)) {
        return 0.0f;
    }
    write(x);
    lastOutput = buffer[readIndex];
    advanceRead();
    return gateCount();
}

inline float DelayLine::tickAllpassGated(float x) noexcept {
    if (busy || gateFrozen(x)) {
        return 0.0f;
    }
    write(x);
    lastOutput = nextOutLinear();
    nextOutputStale = true;
    allpassInput = buffer[readIndex];
    advanceRead();
    return gateCount();
}

inline float DelayLine::tickCubicGated(float x) noexcept {
    if (busy || gateFrozen(x)) {
        return 0.0f;
    }
    write(x);
    const int32_t r = readIndex;
    const int32_t before = r > 0 ? r - 1 : length - 1;
    const int32_t after = r + 1 < length ? r + 1 : 0;
    const int32_t after2 = after + 1 < length ? after + 1 : 0;
    const float ym1 = buffer[before];
    const float y0 = buffer[r];
    const float y1 = buffer[after];
    const float y2 = buffer[after2];
    const float t = fraction;
    const float c1 = (y1 - ym1) * 0.5f;
    const float c2 = (2.0f * y1 + ym1) - (5.0f * y0 + y2) * 0.5f;
    const float c3 = (3.0f * (y0 - y1) - ym1 + y2) * 0.5f;
    lastOutput = ((c3 * t + c2) * t + c1) * t + y0;
    advanceRead();
    return gateCount();
}

inline void DelayLine::moveAhead(const float* delays, int32_t n, float* out) noexcept {
    // The read positions first, then the reads. setDelay places the read position at p = w - d in double
    // and splits it into its whole part and a float fraction. For the delays of such a run (at least 2
    // samples, so d has no bits below 2^-22) the same split comes exactly from single precision and
    // integers: d = whole + partOfD, the difference exact; p's fraction is 1 - partOfD (exact, so it never
    // rounds up to 1) or 0 for a whole d, and a p below 0 wraps by the length. Free of branches and of
    // doubles, several samples are placed at a time.
    int32_t at[maxRunAhead];
    float part[maxRunAhead];
    const int32_t w = writeIndex;
    const int32_t slots = length;
    int32_t j = 0;
#if defined(__SSE2__)
    // Four at a time (the compiler does not vectorize the loop below by itself).
    const __m128i lengths = _mm_set1_epi32(slots);
    __m128i writes = _mm_add_epi32(_mm_set1_epi32(w), _mm_setr_epi32(0, 1, 2, 3));
    for (; j + 4 <= n; j += 4) {
        const __m128 d = _mm_loadu_ps(delays + j);
        const __m128i whole = _mm_cvttps_epi32(d);
        const __m128 partOfD = _mm_sub_ps(d, _mm_cvtepi32_ps(whole));
        const __m128 exact = _mm_cmpeq_ps(partOfD, _mm_setzero_ps()); // all ones where exact
        __m128i r = _mm_sub_epi32(_mm_sub_epi32(writes, whole), _mm_set1_epi32(1));
        r = _mm_sub_epi32(r, _mm_castps_si128(exact));                       // + 1 where exact
        r = _mm_add_epi32(r, _mm_and_si128(_mm_srai_epi32(r, 31), lengths)); // + length below 0
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + j), r);
        _mm_storeu_ps(part + j, _mm_andnot_ps(exact, _mm_sub_ps(_mm_set1_ps(1.0f), partOfD)));
        writes = _mm_add_epi32(writes, _mm_set1_epi32(4));
    }
#endif
    for (; j < n; ++j) {
        const float d = delays[j];
        const int32_t whole = static_cast<int32_t>(d);
        const float partOfD = d - static_cast<float>(whole);
        const bool exact = partOfD == 0.0f;
        int32_t r = w + j - whole - (exact ? 0 : 1);
        r = r < 0 ? r + slots : r;
        at[j] = r;
        part[j] = exact ? 0.0f : 1.0f - partOfD;
    }
    const float* slot = buffer.get();
    int32_t r = readIndex;
    float f = fraction;
    for (j = 0; j < n; ++j) {
        r = at[j];
        f = part[j];
        const int32_t next = r + 1 < slots ? r + 1 : 0;
        out[j] = interpolate(slot[r], slot[next], 1.0f - f, f);
    }
    if (!nextOutputStale) { // the first tick takes the peek cached before the run
        out[0] = nextOutput;
    }
    delay = delays[n - 1];
    readIndex = r + 1 < slots ? r + 1 : 0;
    placed = false;
    fraction = f;
    oneMinusFraction = 1.0f - f;
    lastOutput = out[n - 1];
    nextOutput = out[n - 1];
    nextOutputStale = true;
}

} // namespace solvantis
