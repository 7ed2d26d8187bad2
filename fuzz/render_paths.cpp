// Holds the fast render to the plain one: two voices get the same events, parameter values, rates and block
// sizes, one rendered fast and one plain, and the first bit in which their outputs differ aborts. The first
// byte chooses the processor path (the AVX2 render where the processor has it, or the one for every
// processor).
#include "dsp/math_functions.h"
#include "fuzz/fuzz_support.h"
#include "voice/synth_engine.h"

#include <memory>
#include <vector>

namespace {

using namespace solvantis;
using solvantis::fuzz::ByteReader;

constexpr int32_t kMaxFrames = 4096;

// Up to 16 MIDI messages at any offset (a few beyond the block), the same list for both voices.
void sendEvents(SynthEngine& fast, SynthEngine& plain, ByteReader& in) {
    const int32_t count = in.byte() % 17;
    std::vector<VstMidiEvent> events(static_cast<size_t>(count));
    std::vector<unsigned char> list(offsetof(VstEvents, events) + sizeof(VstEvent*) * (count + 2u));
    auto* header = reinterpret_cast<VstEvents*>(list.data());
    header->numEvents = count;
    for (int32_t i = 0; i < count; ++i) {
        VstMidiEvent& event = events[static_cast<size_t>(i)];
        std::memset(&event, 0, sizeof event);
        event.type = kVstMidiType;
        event.byteSize = sizeof(VstMidiEvent) - 8;
        event.deltaFrames = in.smallOrAny(-2, kMaxFrames + 2);
        for (int b = 0; b < 3; ++b) {
            event.midiData[b] = in.byte();
        }
        eventList(header)[i] = reinterpret_cast<VstEvent*>(&event);
    }
    fast.processEvents(header);
    plain.processEvents(header);
}

void renderBoth(SynthEngine& fast, SynthEngine& plain, const SynthParams& params, float rate,
                int32_t frames) {
    const size_t n = static_cast<size_t>(frames);
    std::vector<float> fastOut(2 * n + 2, 123.0f), plainOut(2 * n + 2, -321.0f);
    float* fastBuffers[2] = {fastOut.data(), fastOut.data() + n + 1};
    float* plainBuffers[2] = {plainOut.data(), plainOut.data() + n + 1};
    fast.processReplacing(params, rate, fastBuffers, frames);
    plain.processReplacingPlain(params, rate, plainBuffers, frames);
    if (std::memcmp(fastOut.data(), plainOut.data(), n * sizeof(float)) != 0 ||
        std::memcmp(fastOut.data() + n + 1, plainOut.data() + n + 1, n * sizeof(float)) != 0) {
        for (size_t i = 0; i < n; ++i) {
            if (std::memcmp(&fastOut[i], &plainOut[i], sizeof(float)) != 0 ||
                std::memcmp(&fastOut[n + 1 + i], &plainOut[n + 1 + i], sizeof(float)) != 0) {
                std::fprintf(stderr,
                             "render_paths: frame %zu of %d differs: fast %.9g %.9g, plain %.9g %.9g\n", i,
                             frames, static_cast<double>(fastOut[i]), static_cast<double>(fastOut[n + 1 + i]),
                             static_cast<double>(plainOut[i]), static_cast<double>(plainOut[n + 1 + i]));
                break;
            }
        }
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    const bool software = (in.byte() & 1) != 0;
    math::detail::forceSoftwareFma(software);
    float rate = 44100.0f;
    auto fast = std::make_unique<SynthEngine>();
    auto plain = std::make_unique<SynthEngine>();
    if (!fast->setUp(rate) || !plain->setUp(rate)) {
        std::abort();
    }
    SynthParams params;
    for (int step = 0; step < 256 && !in.empty(); ++step) {
        switch (in.byte() % 6) {
        case 0:
        case 1:
            sendEvents(*fast, *plain, in);
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
            fast->setSampleRate();
            plain->setSampleRate();
            break;
        }
        case 4:
            fast->resume();
            plain->resume();
            break;
        default: {
            const int32_t frames = in.smallOrAny(0, kMaxFrames);
            renderBoth(*fast, *plain, params, rate, frames < 0 || frames > kMaxFrames ? kMaxFrames : frames);
            break;
        }
        }
    }
    math::detail::forceSoftwareFma(false);
    return 0;
}
