// Compiled with -m32 -fsyntax-only: the records header must describe the 144-byte 32-bit record.
#include "host/vst_abi.h"

#include <cstddef>
#include <cstdint>

namespace solvantis {

static_assert(sizeof(void*) == 4, "this check is meant for a 32-bit compile (-m32)");
static_assert(sizeof(AEffect) == 144);
static_assert(offsetof(AEffect, dispatcher) == 4);
static_assert(offsetof(AEffect, object) == 64);
static_assert(offsetof(AEffect, uniqueID) == 72);
static_assert(offsetof(AEffect, processReplacing) == 80);
// The 60 zero bytes after processReplacing: the null entry slot and 56 reserved bytes.
static_assert(sizeof(AEffect) - offsetof(AEffect, processDoubleReplacing) == 60);
static_assert(sizeof(AEffectDispatcherProc) == 4 && sizeof(audioMasterCallback) == 4);
static_assert(sizeof(VstEvents) == 16 && offsetof(VstEvents, events) == 8);
static_assert(sizeof(VstMidiEvent) == 32 && sizeof(VstPinProperties) == 128);
static_assert(sizeof(MidiProgramName) == 80 && sizeof(MidiProgramCategory) == 76 &&
              sizeof(MidiKeyName) == 80);
static_assert(sizeof(VstSpeakerProperties) == 112);

} // namespace solvantis
