// What the renders share: the bounds of the runaway checks, the control period, the note as the fast render's
// chunks see it, the steps that run out of line, and the wrapper around a block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "voice/denormal_guard.h"
#include "voice/engine_setup.h"
#include "voice/engine_state.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/note_logic.h"
#include "voice/string_model.h"
#include "voice/synth_engine.h"

namespace solvantis::render {

// A sample or state beyond these magnitudes is a fault, as is anything not finite. Under random automation
// of every parameter within 0..1, with notes coming and going at 44.1 and 96 kHz, the output stays below 1.5
// and the recirculating states below 7; the bounds leave a margin of more than 80 dB, while a runaway
// passes them within a block or two, long before it overflows.
constexpr float outputBound = 1.0e5f;
constexpr float stateBound = 1.0e5f;

// True when x is beyond the bound or not a number at all.
inline bool outOfBounds(float x, float bound) {
    return !(std::fabs(x) <= bound);
}

// The magnitude bits of x: above those of a finite bound exactly when |x| is beyond it or x is not a
// number, so a block's samples are checked with integer maxima.
inline uint32_t magnitudeBits(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b & 0x7FFFFFFFu;
}

#if defined(__SSE2__)
// Lanes of four values beyond the bound or not a number: their magnitudes compared as integers (signed: SSE2
// has no other, and a magnitude's bits are below 2^31).
inline __m128i beyondBound(__m128 values, float bound) {
    const __m128i magnitudes = _mm_and_si128(_mm_castps_si128(values), _mm_set1_epi32(0x7FFFFFFF));
    return _mm_cmpgt_epi32(magnitudes, _mm_set1_epi32(static_cast<int32_t>(magnitudeBits(bound))));
}
inline __m128i beyondState(__m128 values) {
    return beyondBound(values, stateBound);
}
#endif

// Samples from one control step to the next. The control clock counts the frames in which the voice sounds,
// from block to block, and stands still while the voice rests: the frame after a new instrument's first
// note-on is a control step, then every 21st frame that sounds.
constexpr int32_t controlPeriod = 21;
static_assert(controlPeriod <= stringRunLimit && controlPeriod <= distorterRunLimit &&
                  controlPeriod <= chorusRunLimit,
              "a chunk is run whole by the stages' block methods");

// The tone filter runs with DynaTone above 0 or with the power chord.
inline bool toneFilterOn(const SynthParams& params) {
    return params.DynaTone > 0.0f || powerChordOn(params);
}

// The velocity factor after a frame's note entries: the note's velocity blended by the Velocity parameter,
// or the carried factor where no note sounds (velocity 0).
inline float velocityFactorAfter(float carried, float velocity, const SynthParams& params) {
    return velocity > 0.0f ? velocity * params.Velocity + (1.0f - params.Velocity) : carried;
}

// The note the voice plays, as a block's chunks see it.
struct BlockNote {
    bool gate;
    float frequency;
    float velocity;
    float velocityFactor; // the velocity blended by the Velocity parameter
    int32_t nextDue;      // the frame of the next note entry, INT32_MAX when none is left
    float sustainTarget;  // modWheel x Sustain, which the held level glides to
    bool changed;         // the velocity factor follows at the next frame
    bool entered;         // an entry was taken in the current chunk
};

// True when a value in the block's outputs is beyond the bound or not a number.
bool outputRanAway(const float* left, const float* right, int32_t frames);
// After a block: where an output was beyond its bound (outputsBeyond) or a state has run away, the block is
// silenced and the voice cleared, so the next note after sane values sounds normally.
void recoverFromRunaway(EngineState& e, bool outputsBeyond, float* left, float* right, int32_t frames);
// At a frame where a note entry is due, or the first after a change: the voice takes the entries, and the
// exciter and the envelope follow the note.
void takeNote(BlockNote& note, VoiceState& voice, NoteListCursor& cursor, int32_t frame, int32_t lastFrame,
              const SynthParams& p, Exciter& exciter, Envelope& envelope);

// The plain render of one block: the per-sample sequence, each stage's step in turn.
void renderPlain(EngineState& engine, const SynthParams& params, float sr, float* left, float* right,
                 int32_t frames);

// The fast render of one block, for every processor (render.cpp) and for processors with AVX2
// (render_wide.cpp). Both compute the same bits as renderPlain.
namespace portable {
void renderBlock(EngineState& engine, SynthEngine::BlockSetup& setup, const SynthParams& params, float sr,
                 float* left, float* right, int32_t frames);
}
namespace wide {
void renderBlock(EngineState& engine, SynthEngine::BlockSetup& setup, const SynthParams& params, float sr,
                 float* left, float* right, int32_t frames);
}

} // namespace solvantis::render

namespace solvantis {

// What both renders do around a block: null outputs left alone, an incomplete engine silent, denormals
// flushed, and the live values read once.
template <class Render>
void SynthEngine::renderWith(const SynthParams& params, float** outputs, int32_t sampleFrames,
                             Render render) {
    if (outputs == nullptr || outputs[0] == nullptr || outputs[1] == nullptr) {
        return;
    }
    if (!engineIsComplete(state)) {
        for (int32_t i = 0; i < sampleFrames; ++i) {
            outputs[0][i] = 0.0f;
            outputs[1][i] = 0.0f;
        }
        return;
    }
    DenormalGuard flushDenormals;
    // The block renders from one reading of the live values: another thread may store into them meanwhile.
    SynthParams blockParams;
    copyParameters(blockParams, params);
    render(blockParams, outputs[0], outputs[1]);
}

} // namespace solvantis
