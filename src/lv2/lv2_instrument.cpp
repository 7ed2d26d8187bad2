// The LV2 door's instrument: URIDs and the rate checked at instantiation, the control ports stored as the
// parameter values, the atom sequence's MIDI turned into the engine's messages, and the cycle rendered.
#include "lv2_instrument.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>

namespace solvantis::lv2 {

namespace {

const void* findFeature(const LV2_Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->URI, uri) == 0)
            return (*features)->data;
    }
    return nullptr;
}

// Compared in double precision, so that a rate just outside the range is not rounded into it; NaN fails
// both comparisons.
bool isUsableRate(double rate) {
    return rate >= SynthEngine::minSampleRate && rate <= SynthEngine::maxSampleRate;
}

// The rate a VST 2 instance is built for before its host sets its own. The engine is built the same way
// here, then fitted to the host's rate, so that both doors give the same bits.
constexpr float kConstructionRate = 44100.0f;

} // namespace

Lv2Instrument::Lv2Instrument(LV2_URID midiEventType, float sampleRate)
    : sampleRate(sampleRate), midiEventType(midiEventType) {}

Lv2Instrument* Lv2Instrument::create(double sampleRate, const LV2_Feature* const* features) {
    auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(findFeature(features, LV2_URID__map)));
    auto* log = static_cast<LV2_Log_Log*>(const_cast<void*>(findFeature(features, LV2_LOG__log)));
    LV2_Log_Logger logger;
    lv2_log_logger_init(&logger, map, log);

    if (map == nullptr) {
        lv2_log_error(&logger,
                      "Solvantis: the host maps no URIDs (feature %s); without it no MIDI can be "
                      "read, so the plug-in refuses to start\n",
                      LV2_URID__map);
        return nullptr;
    }
    if (!isUsableRate(sampleRate)) {
        lv2_log_error(&logger,
                      "Solvantis: cannot run at a sample rate of %g Hz (it plays from %g to %g Hz)\n",
                      sampleRate, static_cast<double>(SynthEngine::minSampleRate),
                      static_cast<double>(SynthEngine::maxSampleRate));
        return nullptr;
    }

    const auto rate = static_cast<float>(sampleRate);
    auto* instance = new (std::nothrow) Lv2Instrument(map->map(map->handle, LV2_MIDI__MidiEvent), rate);
    if (instance != nullptr &&
        !(instance->engine.setUp(kConstructionRate) && instance->engine.fitToSampleRate(rate))) {
        delete instance;
        instance = nullptr;
    }
    if (instance == nullptr) {
        lv2_log_error(&logger, "Solvantis: out of memory\n");
        return nullptr;
    }
    return instance;
}

void Lv2Instrument::connectPort(uint32_t port, void* data) {
    if (port < kMidiInPort) {
        controls[port] = static_cast<const float*>(data);
    } else if (port == kMidiInPort) {
        midiIn = static_cast<const LV2_Atom_Sequence*>(data);
    } else if (port == kLeftOutPort || port == kRightOutPort) {
        outputs[port - kLeftOutPort] = static_cast<float*>(data);
    }
}

void Lv2Instrument::activate() {
    engine.resume();
}

void Lv2Instrument::readControls() {
    // Every control is stored before each cycle (nineteen 32-bit stores), so a value set at any time takes
    // effect with the next cycle.
    for (int32_t index = 0; index < kNumParameters; ++index) {
        if (controls[index] != nullptr)
            storeParameter(params, index, *controls[index]);
    }
}

void Lv2Instrument::readMidi(uint32_t frames) {
    NoteListWriter list = engine.startMidi();
    if (midiIn == nullptr)
        return;
    // A message timed past the cycle (hosts should not send one) plays at its last frame, in order.
    const int64_t lastFrame = frames > 0 ? static_cast<int64_t>(frames) - 1 : 0;
    int32_t count = 0;
    LV2_ATOM_SEQUENCE_FOREACH(midiIn, event) {
        if (event->body.type != midiEventType || event->body.size == 0)
            continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(event + 1);
        const uint32_t size = event->body.size;
        midiBuffer[count++] =
            MidiMessage{static_cast<int32_t>(std::clamp<int64_t>(event->time.frames, 0, lastFrame)), bytes[0],
                        size > 1 ? bytes[1] : uint8_t{0}, size > 2 ? bytes[2] : uint8_t{0}};
        if (count == kMidiBufferSize) {
            list.add(std::span(midiBuffer, static_cast<size_t>(count)));
            count = 0;
        }
    }
    list.add(std::span(midiBuffer, static_cast<size_t>(count)));
}

void Lv2Instrument::run(uint32_t frames) {
    readControls();
    readMidi(frames);
    if (outputs[0] == nullptr || outputs[1] == nullptr || frames == 0)
        return;
    // No host asks for two billion frames in one cycle; a larger count is rendered in part.
    const auto n = static_cast<int32_t>(std::min<uint32_t>(frames, INT32_MAX));
    engine.processReplacing(params, sampleRate, outputs, n);
}

} // namespace solvantis::lv2
