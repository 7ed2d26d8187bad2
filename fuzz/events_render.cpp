// Drives one instrument the way a careless or hostile host might: event lists with any MIDI bytes and any
// offsets, parameters with any float, program, rate and block-size changes, switching on and off, and
// blocks of 0 to 4096 frames through both process entries. Every sample that comes back must be finite.
#include "fuzz/fuzz_support.h"

#include <vector>

namespace {

using namespace solvantis;
using solvantis::fuzz::ByteReader;

constexpr int32_t kMaxEvents = 4000;
constexpr int32_t kMaxFrames = 4096;

// One effProcessEvents call: up to kMaxEvents events, mostly MIDI, a few of other kinds or missing.
void sendEvents(AEffect* effect, ByteReader& in) {
    const int32_t count = static_cast<int32_t>(in.raw<uint16_t>() % (kMaxEvents + 1));
    std::vector<VstMidiEvent> events(static_cast<size_t>(count));
    std::vector<unsigned char> list(offsetof(VstEvents, events) + sizeof(VstEvent*) * (count + 2u));
    auto* header = reinterpret_cast<VstEvents*>(list.data());
    header->numEvents = count;
    header->reserved = 0;
    VstEvent** pointers = eventList(header);

    // Long lists repeat a short pattern, so a few bytes of input can fill a list of thousands.
    const int32_t distinct = in.empty() ? 1 : 1 + in.byte() % 64;
    bool missing[64] = {};
    for (int32_t i = 0; i < count; ++i) {
        VstMidiEvent& event = events[static_cast<size_t>(i)];
        if (i >= distinct) {
            event = events[static_cast<size_t>(i % distinct)];
            event.deltaFrames = static_cast<int32_t>(static_cast<uint32_t>(event.deltaFrames) +
                                                     static_cast<uint32_t>(i / distinct));
        } else {
            std::memset(&event, 0, sizeof event);
            const uint8_t kind = in.byte();
            event.type = kind < 240 ? kVstMidiType : kind - 240;
            event.byteSize = sizeof(VstMidiEvent) - 8;
            event.deltaFrames = in.smallOrAny(-8, kMaxFrames + 8);
            for (int b = 0; b < 4; ++b)
                event.midiData[b] = in.byte();
            event.detune = static_cast<int8_t>(in.byte());
        }
        // A host may leave a hole in its list.
        const bool hole = i < distinct ? (missing[i] = in.byte() == 0xFF) : missing[i % distinct];
        pointers[i] = hole ? nullptr : reinterpret_cast<VstEvent*>(&event);
    }
    effect->dispatcher(effect, effProcessEvents, 0, 0, header, 0.0f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    AEffect* effect = fuzz::openInstrument();
    effect->dispatcher(effect, effMainsChanged, 0, 1, nullptr, 0.0f);

    for (int step = 0; step < 256 && !in.empty(); ++step) {
        switch (in.byte() % 10) {
        case 0:
        case 1:
            sendEvents(effect, in);
            break;
        case 2: {
            const int32_t index = in.smallOrAny(-2, 21);
            effect->setParameter(effect, index, in.anyFloat());
            break;
        }
        case 3:
            effect->dispatcher(effect, effSetProgram, 0, in.smallOrAny(-2, 130), nullptr, 0.0f);
            break;
        case 4:
            effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, in.anyFloat());
            break;
        case 5:
            effect->dispatcher(effect, effSetBlockSize, 0, in.smallOrAny(-1, kMaxFrames), nullptr, 0.0f);
            break;
        case 6:
            effect->dispatcher(effect, effSetBlockSizeAndSampleRate, 0, in.smallOrAny(-1, kMaxFrames),
                               nullptr, in.anyFloat());
            break;
        case 7:
            effect->dispatcher(effect, effMainsChanged, 0, in.byte() & 1, nullptr, 0.0f);
            break;
        default: {
            const bool replacing = in.byte() & 1;
            const int32_t frames = static_cast<int32_t>(in.raw<uint16_t>() % (kMaxFrames + 1));
            fuzz::renderChecked(effect, replacing, frames, in.byte());
            break;
        }
        }
    }

    // One more block after everything, so the last state reached is always heard.
    fuzz::renderChecked(effect, true, 512, 0);
    effect->dispatcher(effect, effMainsChanged, 0, 0, nullptr, 0.0f);
    dispatchEntry(effect, effClose, 0, 0, nullptr, 0.0f);
    return 0;
}
