// The LV2 library's one export, lv2_descriptor, and the C functions of its descriptor. Like the VST 2
// library's main, this is a composition root: it creates the instrument and nothing else reaches in.
#include <lv2/core/lv2.h>

#include "lv2_instrument.h"

namespace {

using solvantis::lv2::Lv2Instrument;

// The plug-in's URI: Solvantis.ttl and manifest.ttl name it too.
constexpr const char* kPluginUri = "urn:quelvarin:solvantis";

Lv2Instrument* instrumentOf(LV2_Handle handle) {
    return static_cast<Lv2Instrument*>(handle);
}

LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char*,
                       const LV2_Feature* const* features) {
    return Lv2Instrument::create(sampleRate, features);
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    instrumentOf(handle)->connectPort(port, data);
}

void activate(LV2_Handle handle) {
    instrumentOf(handle)->activate();
}

void run(LV2_Handle handle, uint32_t frames) {
    instrumentOf(handle)->run(frames);
}

void deactivate(LV2_Handle) {}

void cleanup(LV2_Handle handle) {
    delete instrumentOf(handle);
}

const void* extensionData(const char*) {
    return nullptr;
}

const LV2_Descriptor descriptor = {kPluginUri, instantiate, connectPort, activate,
                                   run,        deactivate,  cleanup,     extensionData};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &descriptor : nullptr;
}
