#include "lv2_instrument.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>

#include "host/effect_base.h"
#include "host/out_of_memory.h"

namespace solvantis::lv2 {

namespace {

const void* findFeature(const LV2_Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->URI, uri) == 0)
            return (*features)->data;
    }
    return nullptr;
}

// The rates a VST 2 host can set (effSetSampleRate ignores any other); NaN fails both comparisons.
bool isUsableRate(double rate) {
    return rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

} // namespace

Lv2Instrument::Lv2Instrument(LV2_URID midiEventType) : plugin(nullptr), midiEventType(midiEventType) {
    auto* list = reinterpret_cast<VstEvents*>(eventListStorage);
    for (int32_t i = 0; i < kMaxEventsPerCycle; ++i) {
        midiEvents[i].type = kVstMidiType;
        midiEvents[i].byteSize = static_cast<int32_t>(sizeof(VstMidiEvent));
        eventList(list)[i] = reinterpret_cast<VstEvent*>(&midiEvents[i]);
    }
}

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
                      sampleRate, static_cast<double>(kMinSampleRate), static_cast<double>(kMaxSampleRate));
        return nullptr;
    }

    // The same steps as a VST 2 host's: the instrument is built for 44100 Hz, then told the host's rate.
    outOfMemory = false;
    auto* instance = new (std::nothrow) Lv2Instrument(map->map(map->handle, LV2_MIDI__MidiEvent));
    if (instance != nullptr && outOfMemory) {
        delete instance;
        instance = nullptr;
    }
    outOfMemory = false;
    if (instance == nullptr) {
        lv2_log_error(&logger, "Solvantis: out of memory\n");
        return nullptr;
    }
    instance->plugin.setSampleRate(static_cast<float>(sampleRate));
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
    plugin.resume();
}

void Lv2Instrument::sendControls() {
    // A VST 2 host stores parameters between blocks; here every control is stored before each cycle
    // (nineteen 32-bit stores), so a value set at any time takes effect with the next cycle.
    for (int32_t index = 0; index < kNumParameters; ++index) {
        if (controls[index] != nullptr)
            plugin.setParameter(index, *controls[index]);
    }
}

void Lv2Instrument::sendMidi(uint32_t frames) {
    auto* list = reinterpret_cast<VstEvents*>(eventListStorage);
    int32_t count = 0;
    if (midiIn != nullptr) {
        // A message timed past the cycle (hosts should not send one) plays at its last frame, in order.
        const int64_t lastFrame = frames > 0 ? static_cast<int64_t>(frames) - 1 : 0;
        LV2_ATOM_SEQUENCE_FOREACH(midiIn, event) {
            if (count == kMaxEventsPerCycle)
                break;
            if (event->body.type != midiEventType || event->body.size == 0)
                continue;
            const auto* bytes = reinterpret_cast<const uint8_t*>(event + 1);
            VstMidiEvent& midi = midiEvents[count++];
            midi.deltaFrames = static_cast<int32_t>(std::clamp<int64_t>(event->time.frames, 0, lastFrame));
            for (uint32_t i = 0; i < 3; ++i)
                midi.midiData[i] = i < event->body.size ? bytes[i] : 0;
        }
    }
    list->numEvents = count;
    plugin.processEvents(list);
}

void Lv2Instrument::run(uint32_t frames) {
    sendControls();
    sendMidi(frames);
    if (outputs[0] == nullptr || outputs[1] == nullptr || frames == 0)
        return;
    // No host asks for two billion frames in one cycle; a larger count is rendered in part.
    const auto n = static_cast<int32_t>(std::min<uint32_t>(frames, INT32_MAX));
    plugin.processReplacing(nullptr, outputs, n);
}

} // namespace solvantis::lv2
