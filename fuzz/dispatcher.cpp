// Sends one instrument a sequence of dispatcher calls with any opcode from -5 to 90 and any operands, the
// pointer either null or a 8192-byte buffer of zeros or of the input's bytes, parameters set to any float
// between them (their texts must keep to their width), and a block rendered now and then to see that no
// call left the engine in a state that sounds wrong; then closes it.
//
// Operands the plug-in cannot check are kept to what a host that follows the interface passes:
// - effProcessEvents reads a list of event pointers: it gets null, the zero buffer (an empty list) or a
//   list built in the buffer whose pointers point at events in the same buffer.
// - effSetSpeakerArrangement and effGetSpeakerArrangement take a pointer in value: it is 0 or the buffer.
// - effSetChunk reads value bytes from ptr: value stays within the buffer.
// - texts in the garbage buffer end with a zero byte inside it.
#include "fuzz/fuzz_support.h"

#include <vector>

namespace {

using namespace solvantis;
using solvantis::fuzz::ByteReader;

constexpr size_t kBufferSize = 8192;

intptr_t anyValue(ByteReader& in) {
    switch (in.byte() % 4) {
    case 0:
        return in.smallOrAny(-2, 130);
    case 1:
        return static_cast<intptr_t>(in.raw<int64_t>());
    case 2:
        return in.byte() & 1 ? INTPTR_MAX : INTPTR_MIN;
    default:
        return static_cast<intptr_t>(static_cast<int64_t>(INT32_MAX) + in.smallOrAny(-2, 2));
    }
}

// An event list the host built in the buffer: numEvents pointers, each at an event inside the buffer.
void buildEventList(unsigned char* buffer, ByteReader& in) {
    constexpr size_t eventsAt = 1024;
    constexpr size_t maxEvents = (kBufferSize - eventsAt) / sizeof(VstMidiEvent);
    const int32_t count = static_cast<int32_t>(in.byte() % 64);
    auto* header = reinterpret_cast<VstEvents*>(buffer);
    header->numEvents = count;
    header->reserved = 0;
    VstEvent** pointers = eventList(header);
    for (int32_t i = 0; i < count; ++i) {
        auto* event =
            reinterpret_cast<VstMidiEvent*>(buffer + eventsAt) + (static_cast<size_t>(i) % maxEvents);
        event->type = kVstMidiType;
        event->byteSize = sizeof(VstMidiEvent) - 8;
        event->deltaFrames = in.smallOrAny(-4, 1100);
        for (int b = 0; b < 3; ++b)
            event->midiData[b] = in.byte();
        pointers[i] = reinterpret_cast<VstEvent*>(event);
    }
}

// Labels and displays hold at most 8 characters, program names at most 23, each with its terminator.
// effGetProgramNameIndexed writes only when it answers 1.
void checkTextWidth(int32_t opcode, intptr_t answer, const unsigned char* buffer) {
    size_t limit;
    switch (opcode) {
    case effGetParamLabel:
    case effGetParamDisplay:
        limit = 8;
        break;
    case effGetProgramName:
        limit = 23;
        break;
    case effGetProgramNameIndexed:
        if (answer != 1)
            return;
        limit = 23;
        break;
    default:
        return;
    }
    if (!buffer)
        return;
    const size_t length = strnlen(reinterpret_cast<const char*>(buffer), kBufferSize);
    if (length > limit) {
        std::fprintf(stderr, "fuzz: opcode %d answered %zu characters, more than %zu\n", opcode, length,
                     limit);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    std::vector<unsigned char> zeroed(kBufferSize);
    std::vector<unsigned char> garbage(kBufferSize);
    for (size_t i = 0; i < kBufferSize; ++i)
        garbage[i] = size ? data[i % size] ^ static_cast<unsigned char>(i * 131u) : 0xA5;
    garbage[kBufferSize - 1] = 0;

    AEffect* effect = fuzz::openInstrument();
    for (int step = 0; step < 200 && !in.empty(); ++step) {
        const uint8_t pick = in.byte();
        if (pick >= 240) {
            fuzz::renderChecked(effect, pick & 1, 1 + in.raw<uint16_t>() % 2048, in.byte());
            continue;
        }
        if (pick >= 224) {
            // Values the texts must show within their width, NaN and infinities included.
            const int32_t index = in.smallOrAny(-2, 21);
            effect->setParameter(effect, index, in.anyFloat());
            continue;
        }
        const int32_t opcode = static_cast<int32_t>(pick % 96) - 5;
        const int32_t index = in.smallOrAny(-2, 130);
        intptr_t value = anyValue(in);
        const float opt = in.anyFloat();
        const uint8_t pointerKind = in.byte() % 3;
        std::fill(zeroed.begin(), zeroed.end(), 0);
        unsigned char* buffer = pointerKind == 1   ? zeroed.data()
                                : pointerKind == 2 ? garbage.data()
                                                   : nullptr;

        switch (opcode) {
        case effClose:
            // Closing ends this instance through the entry, as a host does; a fresh one takes its place.
            dispatchEntry(effect, effClose, index, value, buffer, opt);
            effect = fuzz::openInstrument();
            continue;
        case effProcessEvents:
            if (pointerKind == 2) {
                buffer = zeroed.data();
                buildEventList(buffer, in);
            }
            break;
        case effSetSpeakerArrangement:
        case effGetSpeakerArrangement:
            value = in.byte() & 1 ? reinterpret_cast<intptr_t>(zeroed.data() + kBufferSize / 2) : 0;
            break;
        case effSetChunk:
            if (buffer && (value < 0 || value > static_cast<intptr_t>(kBufferSize)))
                value = static_cast<intptr_t>(static_cast<uintptr_t>(value) % (kBufferSize + 1));
            break;
        default:
            break;
        }
        const intptr_t answer = effect->dispatcher(effect, opcode, index, value, buffer, opt);
        checkTextWidth(opcode, answer, buffer);
        if (buffer == garbage.data())
            garbage[kBufferSize - 1] = 0; // an answer may have filled it
    }

    fuzz::renderChecked(effect, true, 256, 0);
    dispatchEntry(effect, effClose, 0, 0, nullptr, 0.0f);
    return 0;
}
