#include <algorithm>
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
#include "voice/denormal_guard.h"
#include "voice/engine_setup.h"
#include "voice/envelope.h"
#include "voice/exciter.h"
#include "voice/note_logic.h"
#include "voice/string_model.h"
#include "voice/synth_engine.h"
#include "voice/tone_stages.h"

namespace solvantis {

namespace {

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

// The largest magnitude's bits among the values.
template <class... F> inline uint32_t mostMagnitudeBits(F... values) {
    uint32_t most = 0;
    ((most = std::max(most, magnitudeBits(values))), ...);
    return most;
}

#if defined(__SSE2__)
// Lanes of four values beyond the bound or not a number: the magnitudes of the lanes `kept` selects
// (0x7FFFFFFF each), compared as integers (signed: SSE2 has no other, and a magnitude's bits are below 2^31).
inline __m128i beyondBound(__m128 values, float bound, __m128i kept = _mm_set1_epi32(0x7FFFFFFF)) {
    const __m128i magnitudes = _mm_and_si128(_mm_castps_si128(values), kept);
    return _mm_cmpgt_epi32(magnitudes, _mm_set1_epi32(static_cast<int32_t>(magnitudeBits(bound))));
}
inline __m128i beyondState(__m128 values, __m128i kept = _mm_set1_epi32(0x7FFFFFFF)) {
    return beyondBound(values, stateBound, kept);
}
#endif

// The recirculating states and the envelope: if one of them has run away, the voice cannot recover alone.

[[gnu::noinline]] bool stateRanAway(const EngineState& e) {
    const StringState& s = e.string;
    const ToneFilterState& t = e.tone;
    const ChorusState& c = e.chorus;
    const EnvelopeState& env = e.envelope;
#if defined(__SSE2__)
    static_assert(std::is_standard_layout_v<StringState> && std::is_standard_layout_v<ToneFilterState> &&
                  std::is_standard_layout_v<ChorusState> && std::is_standard_layout_v<EnvelopeState>);
    // Fields read four (the chorus's three) at a time, so they must lie in a row.
    static_assert(offsetof(StringState, dcBlockState) == offsetof(StringState, stringOutput) + 12);
    static_assert(offsetof(ToneFilterState, levelGain) == offsetof(ToneFilterState, toneLow1) + 24);
    static_assert(offsetof(EnvelopeState, sustainLevel) == offsetof(EnvelopeState, envelopeLevel) + 12);
    static_assert(offsetof(ChorusState, chorusOutRight) == offsetof(ChorusState, chorusLowState) + 8);
    // The chorus has three values in a row: the fourth lane read is not one of them and is left out.
    const __m128 chorus = _mm_loadu_ps(&c.chorusLowState);
    const __m128i beyond = _mm_or_si128(
        _mm_or_si128(beyondState(_mm_loadu_ps(&s.stringOutput)), beyondState(_mm_loadu_ps(&t.toneLow1))),
        _mm_or_si128(
            _mm_or_si128(beyondState(_mm_loadu_ps(&t.splitBand)),
                         beyondState(_mm_loadu_ps(&env.envelopeLevel))),
            _mm_or_si128(beyondState(chorus, _mm_setr_epi32(0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0)),
                         beyondState(_mm_setr_ps(e.exciter.noiseState, e.lastVoiceOutput, 0.0f, 0.0f)))));
    return _mm_movemask_epi8(beyond) != 0;
#else
    return mostMagnitudeBits(e.exciter.noiseState, s.stringOutput, s.stringHighpass, s.loopFilterState,
                             s.dcBlockState, e.lastVoiceOutput, t.toneLow1, t.toneLow2, t.splitLow,
                             t.splitBand, t.svfBand, t.svfLow, t.levelGain, c.chorusLowState, c.chorusOutLeft,
                             c.chorusOutRight, env.envelopeLevel, env.sustainLevel, env.attackStartLevel,
                             env.releaseStartLevel) > magnitudeBits(stateBound);
#endif
}

// After a block that ran away: every line and filter state cleared, the envelope idle, so the next note
// after sane values arrive sounds normally. The note list and the held keys are kept.
void resetRecirculatingState(EngineState& e) {
    e.exciter.reset();
    e.string.reset();
    e.tone.reset();
    e.chorus.reset();
    e.envelope.reset();
    e.voice.voiceGate = false;
    e.voice.velocityFactor = 0.0f;
    if (!std::isfinite(e.voice.voiceFrequency)) {
        e.voice.voiceFrequency = 200.0f;
    }
    e.lastVoiceOutput = 0.0f;
}

constexpr int32_t controlPeriod = 21; // samples from one control step to the next; frame 0 of a block is one
static_assert(controlPeriod <= StringRun::runAheadLimit, "a chunk is read ahead whole");

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

// The release count of an idle envelope after n more samples: it climbs by 1 and returns to 0 once past
// the release length, so it repeats with a period of floor(length) + 1. False when the count or the length
// is not an ordinary one (the caller then counts sample by sample).
bool idleReleaseCountAfter(float count, float length, int32_t n, float& after) {
    constexpr float countLimit = 8388608.0f; // 2^23: every whole count below it and its successor are exact
    if (!(length >= 0.0f && length < countLimit && count >= 0.0f && count < countLimit) ||
        count != std::floor(count)) {
        return false;
    }
    const int64_t period = static_cast<int64_t>(length) + 1; // values 0 .. floor(length)
    int64_t c = static_cast<int64_t>(count);
    int64_t steps = n;
    if (static_cast<float>(c + 1) > length) { // the first step returns to 0
        c = 0;
        --steps;
    }
    after = static_cast<float>((c + steps) % period);
    return true;
}

// Samples after which a one-pole low-pass of factor a has forgotten its starting state to 2^-40 of it, the
// fewest n with |1 - a|^n <= 2^-40 (from the powers |1 - a|^(2^j)). INT32_MAX when it does not forget.
int32_t onePoleMemory(float a) {
    const float rho = std::fabs(1.0f - a);
    if (!(rho < 1.0f)) {
        return INT32_MAX;
    }
    constexpr float forgotten = 9.094947e-13f; // 2^-40
    constexpr int32_t most = 24;               // 2^24 samples: beyond any block
    float powers[most];                        // rho^(2^j)
    int32_t levels = 0;
    float power = rho;
    while (levels < most) {
        powers[levels++] = power;
        if (power <= forgotten) {
            break;
        }
        power *= power;
    }
    if (power > forgotten) {
        return INT32_MAX;
    }
    // The largest n with rho^n > 2^-40, built from the top power down; the answer is one more.
    float reached = 1.0f;
    int32_t n = 0;
    for (int32_t j = levels - 1; j >= 0; --j) {
        if (reached * powers[j] > forgotten) {
            reached *= powers[j];
            n += 1 << j;
        }
    }
    return n + 1;
}

// Every sample of a block's two outputs set to one value.
void fillOutputs(float* left, float* right, int32_t frames, float value) {
    int32_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        for (int32_t j = 0; j < 8; ++j) {
            left[i + j] = value;
            right[i + j] = value;
        }
    }
    for (; i < frames; ++i) {
        left[i] = value;
        right[i] = value;
    }
}

// A block with the gate closed, the envelope at rest and no note entries: the string, the tone stages and
// the chorus stand still and every output sample is the same (0, with the sign the gain stage gives it).
// Only the exciter noise runs on; as its low-pass forgets its past, the generator is stepped ahead and only
// the samples the final state still depends on are filtered (to within 2^-40 of the sample-by-sample
// result). Returns false, having changed nothing, when the block is not such a block.
[[gnu::noinline]] bool renderIdleBlock(EngineState& e, const SynthParams& p, const EnvelopeBlock& blk,
                                       float k, float* left, float* right, int32_t frames) {
    EnvelopeState& env = e.envelope;
    const VoiceState& voice = e.voice;
    if (voice.voiceGate || env.envelopeLevel > 0.0f || env.releaseStartLevel != 0.0f || frames <= 0 ||
        NoteListCursor(e.voice).nextDue(frames - 1) != INT32_MAX) {
        return false;
    }
    float releaseCount = 0.0f;
    if (!idleReleaseCountAfter(env.releaseCount, blk.releaseLength, frames, releaseCount)) {
        return false;
    }

    // The exciter: the first frame filters at the velocity factor the previous block left, the others at
    // the note's. Only the last `memory` frames reach the final state.
    ExciterRun exciter(e.exciter);
    const float velocity = voice.voiceVelocity;
    const float velocityFactor =
        velocity > 0.0f ? velocity * p.Velocity + (1.0f - p.Velocity) : voice.velocityFactor;
    exciter.setNote(p, k, voice.velocityFactor, velocity, voice.voiceFrequency);
    int32_t i = 0;
    exciter.noise(k, p.Pick);
    ++i;
    exciter.setNote(p, k, velocityFactor, velocity, voice.voiceFrequency);
    const float factor = exciter.noiseLimited ? maxOnePoleFactor : k * exciter.noiseCutoff;
    const int32_t memory = std::isfinite(p.Pick) ? onePoleMemory(factor) : INT32_MAX;
    if (memory < frames - i) {
        exciter.noiseSeed = noiseSeedAfter(exciter.noiseSeed, static_cast<uint32_t>(frames - i - memory));
        i = frames - memory;
    }
    for (; i < frames; ++i) {
        exciter.noise(k, p.Pick);
    }
    exciter.pluckCount = 0;
    exciter.store(e.exciter);
    e.voice.velocityFactor = velocityFactor;

    env.releaseCount = releaseCount;
    env.envelopeLevel = 0.0f;
    env.attackCount = 0.0f;
    env.decayCount = 0.0f;
    env.attackStartLevel = 0.0f;
    env.releaseStartLevel = 0.0f;
    e.string.stringActive = false;

    const float level = 0.0f;
    const float z = e.string.stringOutput * stringOutputGain;
    e.lastVoiceOutput = z * level;
    const float overdrive = p.Overdrive;
    const float gain = z * (2.0f * overdrive + (1.0f - overdrive)) * level;
    const float out = voice.midiVolume * (gain * p.Volume);
    fillOutputs(left, right, frames, out);
    return true;
}

// The note the voice plays, as a block's chunks see it.
struct BlockNote {
    bool gate;
    float frequency;
    float velocity;
    float velocityFactor;    // the velocity blended by the Velocity parameter
    float decayLengthClosed; // samples
    int32_t nextDue;         // the frame of the next note entry, INT32_MAX when none is left
    bool changed;            // the velocity factor follows at the next frame
    bool entered;            // an entry was taken in the current chunk
};

// At a frame where a note entry is due, or the first after a change: the voice takes the entries, and the
// exciter and the closed decay follow the note. Out of line: it runs only at note events and block starts.
[[gnu::noinline]] void takeNote(BlockNote& note, VoiceState& voice, NoteListCursor& cursor, int32_t frame,
                                int32_t lastFrame, const SynthParams& p, float k, float sr,
                                ExciterRun& exciter) {
    if (frame >= note.nextDue) {
        voice.voiceGate = note.gate;
        cursor.applyDue(voice, frame, lastFrame, p.Legato, noteFrequencies.data());
        note.nextDue = cursor.nextDue(lastFrame);
        note.gate = voice.voiceGate;
        note.frequency = voice.voiceFrequency;
        note.velocity = voice.voiceVelocity;
        note.changed = true;
        note.entered = true;
    }
    if (note.changed) {
        const float carried = note.velocityFactor;
        if (note.velocity > 0.0f) {
            note.velocityFactor = note.velocity * p.Velocity + (1.0f - p.Velocity);
        }
        // A block's first frame without an entry mostly keeps the carried factor: then the note's values
        // set before the loop stand.
        if (note.entered ||
            std::bit_cast<uint32_t>(note.velocityFactor) != std::bit_cast<uint32_t>(carried)) {
            exciter.setNote(p, k, note.velocityFactor, note.velocity, note.frequency);
            note.decayLengthClosed = closedDecayLength(p, sr, note.velocityFactor);
        }
        note.changed = false;
    }
}

// The per-sample sequence: exciter, string, note list, envelope, distorter, tone filter with limiter, gain
// with overdrive, chorus. The stages hold their state in locals for the block (the *Run objects), and what
// changes only with a note, a control step or the block is computed then.
void renderBlock(EngineState& e, SynthEngine::BlockSetup& setup, const SynthParams& p, float sr, float* left,
                 float* right, int32_t frames) {
    // Per-block values.
    if (std::bit_cast<uint32_t>(sr) != std::bit_cast<uint32_t>(e.preparedRate)) {
        e.prepare(sr);
    }
    const float k = e.smoothingCoefficient;
    const float keys[6] = {p.ADSRCurve, p.Sustain, p.Attack, p.Decay, p.Release, sr};
    uint32_t keyBits[6];
    std::memcpy(keyBits, keys, sizeof keyBits);
    if (!setup.valid || std::memcmp(keyBits, setup.keyBits, sizeof keyBits) != 0) {
        setup.envelope = EnvelopeBlock(p, sr);
        std::memcpy(setup.keyBits, keyBits, sizeof keyBits);
        setup.valid = true;
    }
    EnvelopeBlock blk = setup.envelope; // the block may shorten its decay
    if (renderIdleBlock(e, p, blk, k, left, right, frames)) {
        // Every output sample of an idle block is the first one.
        if (outOfBounds(left[0], outputBound) || stateRanAway(e)) {
            std::memset(left, 0, sizeof(float) * static_cast<size_t>(frames));
            std::memset(right, 0, sizeof(float) * static_cast<size_t>(frames));
            resetRecirculatingState(e);
            ++e.runawayBlocks;
        }
        return;
    }
    const float volume = p.Volume;
    const double recovery = e.tone.recovery;
    const float sustainTarget = e.voice.modWheel * p.Sustain;
    const bool sustainLimited = !(k * sustainGlideCutoff <= maxOnePoleFactor);
    const float overdrive = p.Overdrive;
    const float overdriveGain = 2.0f * overdrive + (1.0f - overdrive);
    const bool overdriveOn = overdrive != 0.0f;
    const bool toneOn = p.DynaTone > 0.0f || p.PowerChord > 0.0f;
    const bool powerChord = p.PowerChord != 0.0f;
    const float chorus = p.Chorus;
    const bool chorusOn = chorus != 0.0f;
    const float midiVolume = e.voice.midiVolume;

    // Per-block working variables: the control clock (frames since the last control step), the held noise
    // and the voice's fed-back output restart with every block. The instrument has always sounded so: the
    // first frame of every block is a control step, which re-reads the noise that detunes the second loop.
    // Against blocks of 512 frames, the restart moves the level of a phrase by about 0.15 dB at 16 frames
    // and above and by 1.2 dB at blocks of one frame; keeping it keeps every existing render bit for bit.
    int32_t controlTick = 0;
    float noiseHold = 0.0f;
    float lastVoiceOutput = 0.0f;

    ExciterRun exciter(e.exciter);
    StringRun string(e.string, k);
    ToneRun tone(e.tone, p, k, sr, recovery);
    // Only a block with the chorus on touches its lines. (Built in place: a std::optional of it would clear
    // its whole storage at every block.)
    static_assert(std::is_trivially_destructible_v<ChorusRun>, "nothing to undo at the block's end");
    alignas(ChorusRun) unsigned char chorusSpace[sizeof(ChorusRun)];
    ChorusRun* chorusRun = chorusOn ? new (chorusSpace) ChorusRun(e.chorus, k, e.chorus.baseDelay) : nullptr;
    EnvelopeState env = e.envelope;

    VoiceState& voice = e.voice;
    NoteListCursor cursor(voice);
    const int32_t lastFrame = frames - 1;
    BlockNote note;
    note.gate = voice.voiceGate;
    note.frequency = voice.voiceFrequency;
    note.velocity = voice.voiceVelocity;
    // The velocity factor carries over from the previous block: a block starting mid-pluck would otherwise
    // pluck that sample at a fifth of the strength and with the noise filter shut, and a host with small
    // blocks would play every note softer.
    note.velocityFactor = e.voice.velocityFactor;
    note.decayLengthClosed = closedDecayLength(p, sr, note.velocityFactor);
    note.nextDue = cursor.nextDue(lastFrame);
    // The velocity factor is taken after the first frame's entries; without one there, it changes only when
    // the carried factor is not the note's.
    note.changed =
        note.velocity > 0.0f && std::bit_cast<uint32_t>(note.velocity * p.Velocity + (1.0f - p.Velocity)) !=
                                    std::bit_cast<uint32_t>(note.velocityFactor);
    exciter.setNote(p, k, note.velocityFactor, note.velocity, note.frequency);
    float stringFrequency =
        note.frequency; // the pitch the string plays: a note entry reaches it a frame later

    // The block runs in chunks that start at a control step or just after a note entry and end at the next
    // control step or with the next entry, so the delays, the held noise and the pitch are fixed within one.
    // Each chunk passes through four loops, in the order of the per-sample sequence where it matters: the
    // exciter and the envelope (neither hears the string); the comb on the pluck; the string with the
    // distorter, tone filter and limiter, whose output feeds the string again one sample later; the gain
    // stage and chorus. Each loop holds few enough values for the registers, and where a line's reads in
    // the chunk all precede its writes, the line is read for the whole chunk at once.
    static_assert(controlPeriod <= EnvelopePowers::capacity, "a chunk's powers are guessed whole");
    EnvelopePowers powers;        // the envelope's powers for the chunk, computed ahead
    float pluckIn[controlPeriod]; // the pluck
    float pluckOf[controlPeriod]; // the combed pluck, on frames where the string runs
    float levelOf[controlPeriod]; // the envelope after the frame's step
    // the string runs: the envelope was above 0 before the frame (room for 32, read 16 at a time)
    alignas(16) bool runsOf[32] = {};
    static_assert(controlPeriod < 32, "a chunk's frames fit in the run flags' mask");
    float voiceOf[controlPeriod]; // the string section's output after the tone stages (z)

    bool outputBeyond = false; // an output without the chorus was beyond the bound or not a number
#if defined(__SSE2__)
    __m128i outputsBeyond = _mm_setzero_si128();
#endif
    for (int32_t i0 = 0; i0 < frames;) {
        const bool controlStep = controlTick == 0;
        int32_t i1 = i0 + (controlPeriod - controlTick);
        if (i1 > frames) {
            i1 = frames;
        }
        if (note.nextDue < i1) {
            i1 = (note.nextDue > i0 ? note.nextDue : i0) + 1;
        }
        const int32_t n = i1 - i0;
        controlTick += n; // a chunk ends at the next control step at the latest
        if (controlTick == controlPeriod) {
            controlTick = 0;
        }

        // The exciter and the envelope.
        powers.guess(env, note.gate, blk, n);
        note.entered = false;
        // A chunk's first frame may hold the control step's noise and a note change carried in, its last a
        // note entry; the frames between need neither test.
        auto frame = [&](int32_t j, auto edgeTag, ExciterRun& ex, EnvelopeState& en, bool& gate,
                         EnvelopeBlock& b) __attribute__((always_inline)) {
            constexpr bool edge = decltype(edgeTag)::value;
            ex.noise(k, p.Pick);
            if constexpr (edge) {
                if (j == 0 && controlStep) {
                    noiseHold = ex.noiseState;
                    string.holdChanged = true;
                }
            }
            const float pluck = ex.pluck(gate, p.Exciter);
            runsOf[j] = en.envelopeLevel > 0.0f;
            pluckIn[j] = pluck;
            if constexpr (edge) {
                if (i0 + j >= note.nextDue || note.changed) {
                    takeNote(note, voice, cursor, i0 + j, lastFrame, p, k, sr, ex);
                }
            }
            envelopeStep(en, gate, b, sustainTarget, note.decayLengthClosed, k, sustainLimited, powers);
            levelOf[j] = en.envelopeLevel;
        };
        frame(0, std::true_type{}, exciter, env, note.gate, blk);
        if (n > 2) {
            // The frames between, with the exciter's and the envelope's state in locals of their own that
            // the compiler keeps in registers.
            ExciterRun ex = exciter;
            EnvelopeState en = env;
            bool gate = note.gate;
            EnvelopeBlock b = blk;
            for (int32_t j = 1; j < n - 1; ++j) {
                frame(j, std::false_type{}, ex, en, gate, b);
            }
            exciter = ex;
            env = en;
            note.gate = gate;
            blk = b;
        }
        if (n > 1) {
            frame(n - 1, std::true_type{}, exciter, env, note.gate, blk);
        }

        // The string and the tone stages. The string's delays change only at the chunk's first frame where
        // it runs (they depend on its write positions, which stand still until then), so they are set
        // first; a chunk whose line positions stay clear of the buffers' ends skips the wrap tests.
        const uint32_t chunkFrames = (1u << n) - 1u;
        uint32_t runs = 0; // bit j: the string runs on frame j
#if defined(__SSE2__)
        const __m128i none = _mm_setzero_si128();
        const auto stopped = [&](int32_t from) {
            const __m128i flags = _mm_load_si128(reinterpret_cast<const __m128i*>(runsOf + from));
            return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(flags, none)));
        };
        runs = ~(stopped(0) | stopped(16) << 16) & chunkFrames;
#else
        for (int32_t j = 0; j < n; ++j) {
            runs |= static_cast<uint32_t>(runsOf[j]) << j;
        }
#endif
        const bool anyRuns = runs != 0;
        const bool allRun = runs == chunkFrames;

        // The comb on the pluck, ticked on the frames where the string runs.
        if (allRun && string.combRunsAhead(p, stringFrequency, n)) {
            string.combAhead(n, pluckIn, pluckOf);
        } else {
            for (int32_t j = 0; j < n; ++j) {
                if (runsOf[j]) {
                    pluckOf[j] = string.combStep(p, stringFrequency, pluckIn[j]);
                }
            }
        }
        if (anyRuns) {
            string.setDelays(p, sr, stringFrequency, noiseHold);
        }
        // The state-variable filter's damping follows the envelope alone: the chunk's come first, several at
        // a time.
        float dampingOf[controlPeriod];
        if (toneOn) {
            for (int32_t j = 0; j < n; ++j) {
                dampingOf[j] = tone.damping(levelOf[j]);
            }
        }
        if (allRun && string.runsAhead(n)) {
            if (toneOn && controlStep) {
                tone.control(levelOf[0]);
            }
            // Every read of the run sees what was written before it: the lines are read first, the voice runs
            // sample by sample on their outputs, and the lines' inputs are written last. The feedback loop
            // of each sample then holds only the string's output, its high-pass and the tone stages.
            float readA[controlPeriod + 1];
            float readB[controlPeriod + 1];
            float loopOf[controlPeriod];
            // The high-pass and the voice's output before each sample: the carried ones, then each sample's.
            float highpassOf[controlPeriod + 1];
            float feedbackOf[controlPeriod + 1];
            feedbackOf[0] = lastVoiceOutput;
            // The voice over the run, sample by sample: its recurrence (the string's high-pass, the tone
            // stages and the fed-back output) in locals of its own, which the compiler keeps in registers.
            auto voiceRun = [&](auto singleTag) {
                constexpr bool single = decltype(singleTag)::value;
                // The string's outputs and the distorter hear only the lines' reads: passes of their own,
                // whose samples do not wait on one another (but for the high-pass's one-pole).
                float drivenOf[controlPeriod];
                string.template outputsAhead<single>(n, readA, readB, drivenOf, highpassOf);
                for (int32_t j = 0; j < n; ++j) {
                    drivenOf[j] = distorterStep(drivenOf[j] * stringOutputGain, p.Distorter);
                }
                // The tone stages and the fed-back output, in locals the compiler keeps in registers.
                ToneRun t = tone;
                float fed = lastVoiceOutput;
                for (int32_t j = 0; j < n; ++j) {
                    float z = drivenOf[j];
                    if (toneOn) {
                        z = t.step(z, dampingOf[j]);
                    }
                    fed = z * levelOf[j];
                    voiceOf[j] = z;
                    feedbackOf[j + 1] = fed;
                }
                tone.takeState(t);
                lastVoiceOutput = fed;
            };
            if (!powerChord) {
                string.readAhead(n, readA, readB, loopOf);
                voiceRun(std::true_type{});
                string.writeSingle(n, readA, readB, loopOf, pluckOf, highpassOf, feedbackOf);
            } else {
                string.readAhead(n, readA, readB, nullptr);
                voiceRun(std::false_type{});
                string.writePowerChord(n, readA, readB, pluckOf, feedbackOf);
            }
        } else {
            auto stringPass = [&](auto withinTag) {
                constexpr bool within = decltype(withinTag)::value;
                for (int32_t j = 0; j < n; ++j) {
                    if (runsOf[j]) {
                        if (!powerChord) {
                            string.template stepSingle<within>(k, pluckOf[j], lastVoiceOutput);
                        } else {
                            string.template stepPowerChord<within>(k, pluckOf[j], lastVoiceOutput);
                        }
                    } else {
                        string.stringActive = false;
                    }
                    const float x = string.stringOutput * stringOutputGain;
                    const bool active = string.stringActive;
                    const float level = levelOf[j];
                    float z = x;
                    if (active) {
                        z = distorterStep(x, p.Distorter);
                        if (toneOn) {
                            if (j == 0 && controlStep) {
                                tone.control(level);
                            }
                            z = tone.step(z, dampingOf[j]);
                        }
                    }
                    lastVoiceOutput = z * level;
                    voiceOf[j] = z;
                }
            };
            if (string.lineA.clearFor(n) && string.lineB.clearFor(n)) {
                stringPass(std::true_type{});
            } else {
                stringPass(std::false_type{});
            }
        }

        // The gain stage and the chorus. The string section was active on a frame exactly where it ran.
        auto gainPass = [&](auto overdriveTag, auto chorusTag) {
            constexpr bool overdriven = decltype(overdriveTag)::value;
            constexpr bool chorused = decltype(chorusTag)::value;
            float lOf[controlPeriod]; // the gain stage's output
            if (allRun) {
                // The string ran on every frame: a loop without branches, run several samples at a time.
                for (int32_t j = 0; j < n; ++j) {
                    float gain = voiceOf[j] * overdriveGain * levelOf[j];
                    if constexpr (overdriven) {
                        gain = overdriveStep(gain, overdrive, volume);
                    }
                    lOf[j] = gain * volume;
                }
            } else {
                for (int32_t j = 0; j < n; ++j) {
                    float gain = voiceOf[j] * overdriveGain * levelOf[j];
                    if constexpr (overdriven) {
                        if (runsOf[j]) {
                            gain = overdriveStep(gain, overdrive, volume);
                        }
                    }
                    lOf[j] = gain * volume;
                }
            }
            if constexpr (!chorused) {
                // Both outputs the same; the block's check for runaway outputs is taken here on the way.
                int32_t j = 0;
#if defined(__SSE2__)
                const __m128 volume4 = _mm_set1_ps(midiVolume);
                for (; j + 4 <= n; j += 4) {
                    const __m128 out = _mm_mul_ps(volume4, _mm_loadu_ps(lOf + j));
                    _mm_storeu_ps(left + i0 + j, out);
                    _mm_storeu_ps(right + i0 + j, out);
                    outputsBeyond = _mm_or_si128(outputsBeyond, beyondBound(out, outputBound));
                }
#endif
                for (; j < n; ++j) {
                    const float out = midiVolume * lOf[j];
                    left[i0 + j] = out;
                    right[i0 + j] = out;
                    outputBeyond |= outOfBounds(out, outputBound);
                }
                return;
            }
            if (allRun && chorusAhead(*chorusRun, n, lOf, chorus, midiVolume, left + i0, right + i0)) {
                return;
            }
            for (int32_t j = 0; j < n; ++j) {
                const float l = lOf[j];
                float outLeft;
                float outRight;
                if (runsOf[j]) {
                    chorusRun->step(l, chorus, midiVolume, outLeft, outRight);
                } else {
                    outLeft = outRight = midiVolume * l;
                }
                left[i0 + j] = outLeft;
                right[i0 + j] = outRight;
            }
        };
        if (overdriveOn) {
            chorusOn ? gainPass(std::true_type{}, std::true_type{})
                     : gainPass(std::true_type{}, std::false_type{});
        } else {
            chorusOn ? gainPass(std::false_type{}, std::true_type{})
                     : gainPass(std::false_type{}, std::false_type{});
        }

        if (note.entered) {
            stringFrequency = note.frequency;
            string.pitchChanged = true;
            string.combPitchChanged = true;
        }
        i0 = i1;
    }

    exciter.store(e.exciter);
    string.store();
    tone.store();
    if (chorusRun) {
        chorusRun->store();
    }
    e.envelope = env;
    voice.voiceGate = note.gate;
    e.lastVoiceOutput = lastVoiceOutput;
    voice.velocityFactor = note.velocityFactor;

#if defined(__SSE2__)
    outputBeyond |= _mm_movemask_epi8(outputsBeyond) != 0;
#endif
    // With the chorus on, the outputs are checked after the block; otherwise they were as they were written.
    if ((chorusOn ? outputRanAway(left, right, frames) : outputBeyond) || stateRanAway(e)) {
        if (frames > 0) {
            std::memset(left, 0, sizeof(float) * static_cast<size_t>(frames));
            std::memset(right, 0, sizeof(float) * static_cast<size_t>(frames));
        }
        resetRecirculatingState(e);
        ++e.runawayBlocks;
    }
}

} // namespace

void SynthEngine::processReplacing(const SynthParams& params, float sampleRate, float** outputs,
                                   int32_t sampleFrames) {
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
    renderBlock(state, setup, blockParams, sampleRate, outputs[0], outputs[1], sampleFrames);
}

} // namespace solvantis
