#include "host/entries.h"

#include "host/effect_base.h"
#include "host/out_of_memory.h"

#include <cmath>

namespace solvantis {

thread_local bool outOfMemory = false;

// The entries answer a null record, or one without its object, with nothing rather than a crash. They
// cannot tell a record that has been closed: the host must not use one after effClose.

intptr_t SOLVANTIS_CDECL dispatchEntry(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                       void* ptr, float opt) {
    EffectBase* object = EffectBase::fromEffect(effect);
    if (!object) {
        return 0;
    }
    if (opcode == effClose) {
        object->dispatcher(opcode, index, value, ptr, opt);
        delete object; // the record goes with it
        return 1;
    }
    return object->dispatcher(opcode, index, value, ptr, opt);
}

namespace {

// A block the object can render: somewhere to write every output channel, and at least one frame.
bool isRenderableBlock(const AEffect* effect, float* const* outputs, int32_t sampleFrames) {
    if (!outputs || sampleFrames <= 0) {
        return false;
    }
    for (int32_t channel = 0; channel < effect->numOutputs; ++channel) {
        if (!outputs[channel]) {
            return false;
        }
    }
    return true;
}

} // namespace

void SOLVANTIS_CDECL processEntry(AEffect* effect, float** inputs, float** outputs, int32_t sampleFrames) {
    EffectBase* object = EffectBase::fromEffect(effect);
    if (object && isRenderableBlock(effect, outputs, sampleFrames)) {
        object->process(inputs, outputs, sampleFrames);
    }
}

void SOLVANTIS_CDECL processReplacingEntry(AEffect* effect, float** inputs, float** outputs,
                                           int32_t sampleFrames) {
    EffectBase* object = EffectBase::fromEffect(effect);
    if (object && isRenderableBlock(effect, outputs, sampleFrames)) {
        object->processReplacing(inputs, outputs, sampleFrames);
    }
}

void SOLVANTIS_CDECL setParameterEntry(AEffect* effect, int32_t index, float value) {
    EffectBase* object = EffectBase::fromEffect(effect);
    // Values are stored as the host sends them, NaN and infinities included: the render keeps them out
    // of the audio, and a host reading a parameter back must see what it wrote.
    if (object) {
        object->setParameter(index, value);
    }
}

float SOLVANTIS_CDECL getParameterEntry(AEffect* effect, int32_t index) {
    EffectBase* object = EffectBase::fromEffect(effect);
    return object ? object->getParameter(index) : 0.0f;
}

AEffect* createInstance(audioMasterCallback hostCallback, EffectFactory factory) {
    if (!hostCallback || !factory) {
        return nullptr;
    }
    if (hostCallback(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) {
        return nullptr;
    }
    // A failure left over from an earlier construction on this thread says nothing about this one.
    outOfMemory = false;
    EffectBase* object = factory(hostCallback);
    if (!object) {
        return nullptr;
    }
    if (outOfMemory) {
        outOfMemory = false;
        delete object;
        return nullptr;
    }
    return object->getAeffect();
}

} // namespace solvantis
