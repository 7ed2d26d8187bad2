// The fast render for every processor, the choice between it and the AVX2 compilation, and the render's
// out-of-line steps: the runaway checks, the recovery and the note entries.
#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/delay_line.h"
#include "dsp/lookup_tables.h"
#include "dsp/math_functions.h"
#include "voice/denormal_guard.h"
#include "voice/engine_setup.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/note_logic.h"
#include "voice/render_parts.h"
#include "voice/string_model.h"
#include "voice/synth_engine.h"

namespace solvantis {

namespace render {

// The recirculating states and the envelope, the values that cannot recover alone once one has run away.
static constexpr size_t recirculatingCount = 20;
static std::array<float, recirculatingCount> recirculatingStates(const EngineState& e) {
    const StringModel& s = e.string;
    const ToneFilter& t = e.tone;
    const Chorus& c = e.chorus;
    const Envelope& env = e.envelope;
    return {s.stringOutput,
            s.stringHighpass,
            s.loopFilterState,
            s.dcBlockState,
            t.toneLow1,
            t.toneLow2,
            t.splitLow,
            t.splitBand,
            t.svfBand,
            t.svfLow,
            e.limiter.levelGain,
            c.chorusLowState,
            env.envelopeLevel,
            env.releaseStartLevel,
            env.attackStartLevel,
            env.sustainLevel,
            c.chorusOutLeft,
            c.chorusOutRight,
            e.exciter.noiseState,
            e.lastVoiceOutput};
}

// True when one of the recirculating states is beyond its bound or not a number.
[[gnu::noinline]] static bool stateRanAway(const EngineState& e) {
    const std::array<float, recirculatingCount> states = recirculatingStates(e);
    static_assert(recirculatingCount % 4 == 0, "the states are checked four at a time");
#if defined(__SSE2__)
    __m128i beyond = _mm_setzero_si128();
    for (size_t i = 0; i < recirculatingCount; i += 4) {
        beyond = _mm_or_si128(beyond, beyondState(_mm_loadu_ps(states.data() + i)));
    }
    return _mm_movemask_epi8(beyond) != 0;
#else
    uint32_t most = 0;
    for (float x : states) {
        most = std::max(most, magnitudeBits(x));
    }
    return most > magnitudeBits(stateBound);
#endif
}

// After a block that ran away: every line and filter state cleared, the envelope idle, so the next note
// after sane values arrive sounds normally. The note list and the held keys are kept.
static void resetRecirculatingState(EngineState& e) {
    e.exciter.reset();
    e.string.reset();
    e.tone.reset();
    e.limiter.reset();
    e.chorus.reset();
    e.envelope.reset();
    e.voice.voiceGate = false;
    e.voice.velocityFactor = 0.0f;
    if (!std::isfinite(e.voice.voiceFrequency)) {
        e.voice.voiceFrequency = 200.0f;
    }
    e.lastVoiceOutput = 0.0f;
}

void recoverFromRunaway(EngineState& e, bool outputsBeyond, float* left, float* right, int32_t frames) {
    if (!outputsBeyond && !stateRanAway(e)) {
        return;
    }
    if (frames > 0) {
        std::memset(left, 0, sizeof(float) * static_cast<size_t>(frames));
        std::memset(right, 0, sizeof(float) * static_cast<size_t>(frames));
    }
    resetRecirculatingState(e);
    ++e.runawayBlocks;
}

// True when a value in the block's outputs is beyond the bound or not a number.
bool outputRanAway(const float* left, const float* right, int32_t frames) {
    int32_t i = 0;
    bool beyond = false;
#if defined(__SSE2__)
    __m128i any = _mm_setzero_si128();
    for (; i + 4 <= frames; i += 4) {
        any = _mm_or_si128(any, _mm_or_si128(beyondBound(_mm_loadu_ps(left + i), outputBound),
                                             beyondBound(_mm_loadu_ps(right + i), outputBound)));
    }
    beyond = _mm_movemask_epi8(any) != 0;
#endif
    for (; i < frames; ++i) {
        beyond |= outOfBounds(left[i], outputBound) || outOfBounds(right[i], outputBound);
    }
    return beyond;
}

// At a frame where a note entry is due, or the first after a change: the voice takes the entries, and the
// exciter and the envelope follow the note. Out of line: it runs only at note events and block starts.
[[gnu::noinline]] void takeNote(BlockNote& note, VoiceState& voice, NoteListCursor& cursor, int32_t frame,
                                int32_t lastFrame, const SynthParams& p, Exciter& exciter,
                                Envelope& envelope) {
    if (frame >= note.nextDue) {
        voice.voiceGate = note.gate;
        cursor.applyDue(voice, envelope, frame, lastFrame, p.Legato, noteFrequencies.data());
        note.nextDue = cursor.nextDue(lastFrame);
        note.gate = voice.voiceGate;
        note.frequency = voice.voiceFrequency;
        note.velocity = voice.voiceVelocity;
        note.sustainTarget = voice.modWheel * p.Sustain;
        note.changed = true;
        note.entered = true;
    }
    if (note.changed) {
        const float carried = note.velocityFactor;
        note.velocityFactor = velocityFactorAfter(carried, note.velocity, p);
        // A block's first frame without an entry mostly keeps the carried factor: then the note's values
        // set before the loop stand.
        if (note.entered ||
            std::bit_cast<uint32_t>(note.velocityFactor) != std::bit_cast<uint32_t>(carried)) {
            exciter.setNote(p, note.velocityFactor, note.velocity, note.frequency);
        }
        note.changed = false;
    }
}

namespace portable {
#include "voice/render_block.inc"
} // namespace portable

} // namespace render

void SynthEngine::processReplacing(const SynthParams& params, float sampleRate, float** outputs,
                                   int32_t sampleFrames) {
    renderWith(params, outputs, sampleFrames, [&](const SynthParams& blockParams, float* left, float* right) {
#if defined(__x86_64__) || defined(__i386__)
        // The wide render runs where the processor has AVX2 (and FMA, which the math's fast path needs: one
        // detection for both, and one switch for the tests).
        if (math::detail::usesHardwareFma()) {
            render::wide::renderBlock(state, setup, blockParams, sampleRate, left, right, sampleFrames);
            return;
        }
#endif
        render::portable::renderBlock(state, setup, blockParams, sampleRate, left, right, sampleFrames);
    });
}

} // namespace solvantis
