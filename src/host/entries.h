// The five entries of the effect record and the steps of the library's entry point. Each entry finds its
// object through the record's `object` field and calls the virtual operation of the same name.
#pragma once

#include "host/vst_abi.h"

#include <cstdint>

namespace solvantis {

class EffectBase;

intptr_t SOLVANTIS_CDECL dispatchEntry(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                       void* ptr, float opt);
void SOLVANTIS_CDECL processEntry(AEffect* effect, float** inputs, float** outputs, int32_t sampleFrames);
void SOLVANTIS_CDECL processReplacingEntry(AEffect* effect, float** inputs, float** outputs,
                                           int32_t sampleFrames);
void SOLVANTIS_CDECL setParameterEntry(AEffect* effect, int32_t index, float value);
float SOLVANTIS_CDECL getParameterEntry(AEffect* effect, int32_t index);

// Makes one plug-in object for a host, or null when there is no memory for it.
using EffectFactory = EffectBase* (*)(audioMasterCallback hostCallback);

// What the exported `main` does: asks the host for its version (exactly one request, with a null effect)
// and refuses a host that answers 0; otherwise builds one object with `factory` and returns its record,
// or null when the object could not be made or reported a failed allocation through outOfMemory.
AEffect* createInstance(audioMasterCallback hostCallback, EffectFactory factory);

} // namespace solvantis
