// Holds the fast render to the plain one, and both to the same sound wherever the blocks are cut: three
// voices get the same events, parameter values and rates; one renders each block fast, one plain, and one
// fast in two parts cut at a frame the input chooses, with the block's messages timed into their part. The
// first bit in which the outputs differ aborts. The first byte chooses the processor path (the AVX2 render
// where the processor has it, or the one for every processor).
#include "dsp/math_functions.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/math_path_switch.h"
#include "voice/synth_engine.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using namespace solvantis;
using solvantis::fuzz::ByteReader;

constexpr int32_t kMaxFrames = 4096;

// The messages of the voice: notes, bends, the modulation wheel and volume, and the channel mode messages.
void midiMessage(ByteReader& in, MidiMessage& event) {
    static constexpr uint8_t controllers[] = {1, 7, 120, 121, 122, 123, 124, 125, 126, 127};
    const uint8_t kind = in.byte();
    const uint8_t channel = in.byte() & 0x0F;
    const uint8_t data1 = in.byte() & 0x7F;
    const uint8_t data2 = in.byte() & 0x7F;
    switch (kind % 8) {
    case 0:
    case 1:
        event.status = static_cast<uint8_t>(0x90 | channel);
        break;
    case 2:
        event.status = static_cast<uint8_t>(0x80 | channel);
        break;
    case 3:
    case 4:
        event.status = static_cast<uint8_t>(0xE0 | channel);
        break;
    case 5:
    case 6:
        event.status = static_cast<uint8_t>(0xB0 | channel);
        event.data1 = static_cast<uint8_t>(controllers[data1 % sizeof controllers]);
        event.data2 = static_cast<uint8_t>(data2);
        return;
    default: // any bytes at all
        event.status = static_cast<uint8_t>(kind);
        event.data1 = static_cast<uint8_t>(in.byte());
        event.data2 = static_cast<uint8_t>(in.byte());
        return;
    }
    event.data1 = static_cast<uint8_t>(data1);
    event.data2 = static_cast<uint8_t>(data2);
}

// The split voice's messages: the list the host sent last, held until a block with frames renders it.
struct Pending {
    std::vector<MidiMessage> events;
    bool sent = false; // a list came since the last block with frames
};

// Up to 16 MIDI messages at any offset (a few beyond the block), the same list for the fast and the plain
// voice; the split voice gets them when its block renders.
void sendEvents(SynthEngine& fast, SynthEngine& plain, Pending& pending, ByteReader& in) {
    const int32_t count = in.byte() % 17;
    pending.events.assign(static_cast<size_t>(count), MidiMessage{});
    pending.sent = true;
    for (MidiMessage& event : pending.events) {
        event.frame = in.smallOrAny(-2, kMaxFrames + 2);
        midiMessage(in, event);
    }
    fast.processMidi(pending.events);
    plain.processMidi(pending.events);
}

// The split voice's block: the pending messages timed into the part they fall in, when they come in time
// order (a host's do; an entry earlier than the one before it applies at once, wherever the block is cut).
// A block of no frames applies nothing, so the list waits for the next one.
void renderSplit(SynthEngine& split, Pending& pending, const SynthParams& params, float rate, int32_t frames,
                 int32_t cut, float* left, float* right) {
    if (frames <= 0) {
        float* outputs[2] = {left, right};
        split.processReplacing(params, rate, outputs, frames);
        return;
    }
    std::vector<MidiMessage>& events = pending.events;
    bool ordered = true;
    for (size_t i = 1; i < events.size(); ++i) {
        ordered &= std::max(events[i].frame, 0) >= std::max(events[i - 1].frame, 0);
    }
    if (!ordered || cut <= 0 || cut >= frames) {
        if (pending.sent) {
            split.processMidi(events);
        }
        float* outputs[2] = {left, right};
        split.processReplacing(params, rate, outputs, frames);
    } else {
        std::vector<MidiMessage> parts[2];
        for (MidiMessage event : events) {
            const int32_t part = event.frame >= cut ? 1 : 0;
            event.frame -= part * cut;
            parts[part].push_back(event);
        }
        for (int32_t part = 0; part < 2; ++part) {
            if (pending.sent) {
                split.processMidi(parts[part]);
            }
            float* outputs[2] = {left + part * cut, right + part * cut};
            split.processReplacing(params, rate, outputs, part == 0 ? cut : frames - cut);
        }
    }
    events.clear();
    pending.sent = false;
}

// Where two outputs first differ: report it and abort.
void expectSame(const char* what, const std::vector<float>& a, const std::vector<float>& b, int32_t frames) {
    const size_t n = static_cast<size_t>(frames);
    if (std::memcmp(a.data(), b.data(), n * sizeof(float)) == 0 &&
        std::memcmp(a.data() + n + 1, b.data() + n + 1, n * sizeof(float)) == 0) {
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0 ||
            std::memcmp(&a[n + 1 + i], &b[n + 1 + i], sizeof(float)) != 0) {
            std::fprintf(stderr, "render_paths: %s: frame %zu of %d differs: %.9g %.9g against %.9g %.9g\n",
                         what, i, frames, static_cast<double>(a[i]), static_cast<double>(a[n + 1 + i]),
                         static_cast<double>(b[i]), static_cast<double>(b[n + 1 + i]));
            break;
        }
    }
    std::abort();
}

struct Voices {
    std::unique_ptr<SynthEngine> fast = std::make_unique<SynthEngine>();
    std::unique_ptr<SynthEngine> plain = std::make_unique<SynthEngine>();
    std::unique_ptr<SynthEngine> split = std::make_unique<SynthEngine>();
    Pending pending; // the split voice's messages for its next block

    void render(const SynthParams& params, float rate, int32_t frames, int32_t cut) {
        const size_t n = static_cast<size_t>(frames);
        std::vector<float> fastOut(2 * n + 2, 123.0f), plainOut(2 * n + 2, -321.0f),
            splitOut(2 * n + 2, 7.0f);
        float* fastBuffers[2] = {fastOut.data(), fastOut.data() + n + 1};
        float* plainBuffers[2] = {plainOut.data(), plainOut.data() + n + 1};
        fast->processReplacing(params, rate, fastBuffers, frames);
        plain->processReplacingPlain(params, rate, plainBuffers, frames);
        expectSame("fast against plain", fastOut, plainOut, frames);
        renderSplit(*split, pending, params, rate, frames, cut, splitOut.data(), splitOut.data() + n + 1);
        // A runaway silences its whole block, so the voices part where one ran away.
        if (fast->state.runawayBlocks == 0 && split->state.runawayBlocks == 0) {
            expectSame("whole block against a block cut in two", fastOut, splitOut, frames);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    const bool software = (in.byte() & 1) != 0;
    math::testing::forceSoftwareFma(software);
    float rate = 44100.0f;
    Voices voices;
    for (SynthEngine* engine : {voices.fast.get(), voices.plain.get(), voices.split.get()}) {
        if (!engine->setUp(rate)) {
            std::abort();
        }
    }
    SynthParams params;
    for (int step = 0; step < 256 && !in.empty(); ++step) {
        switch (in.byte() % 6) {
        case 0:
        case 1:
            sendEvents(*voices.fast, *voices.plain, voices.pending, in);
            break;
        case 2: {
            float* fields[] = {&params.Exciter,   &params.Modulation, &params.TovFilter, &params.Pick,
                               &params.Attack,    &params.Decay,      &params.Sustain,   &params.Release,
                               &params.ADSRCurve, &params.Volume,     &params.Fixing,    &params.DynaTone,
                               &params.Distorter, &params.Overdrive,  &params.Chorus,    &params.Velocity,
                               &params.ToneRama,  &params.PowerChord};
            const uint8_t index = in.byte() % 19;
            if (index == 18) {
                params.Legato = in.byte() & 1;
            } else {
                *fields[index] = in.anyFloat();
            }
            break;
        }
        case 3: {
            // The rates hosts use, and now and then any the engine accepts.
            static constexpr float rates[] = {44100.0f, 48000.0f, 96000.0f, 22050.0f, 192000.0f, 8000.0f};
            rate = rates[in.byte() % 6];
            for (SynthEngine* engine : {voices.fast.get(), voices.plain.get(), voices.split.get()}) {
                engine->fitToSampleRate(rate);
            }
            break;
        }
        case 4:
            for (SynthEngine* engine : {voices.fast.get(), voices.plain.get(), voices.split.get()}) {
                engine->resume();
            }
            voices.pending = Pending{}; // the lists are emptied
            break;
        default: {
            const int32_t frames = in.smallOrAny(0, kMaxFrames);
            const int32_t cut = in.smallOrAny(0, kMaxFrames);
            voices.render(params, rate, frames < 0 || frames > kMaxFrames ? kMaxFrames : frames, cut);
            break;
        }
        }
    }
    math::testing::forceSoftwareFma(false);
    return 0;
}
