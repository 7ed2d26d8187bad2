#include "host/effect_base.h"

#include "host/entries.h"
#include "host/text_tools.h"

#include <cmath>
#include <cstring>

namespace solvantis {

bool isUsableSampleRate(float rate) {
    return rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

EffectBase::EffectBase(audioMasterCallback hostCallback, int32_t numPrograms, int32_t numParams)
    : sampleRate(44100.0f), editor(), hostCallback(hostCallback), numPrograms(numPrograms),
      numParams(numParams), currentProgram(0), blockSize(1024) {
    std::memset(&effect, 0, sizeof effect);
    effect.magic = kEffectMagic;
    effect.dispatcher = dispatchEntry;
    effect.process = processEntry;
    effect.setParameter = setParameterEntry;
    effect.getParameter = getParameterEntry;
    effect.numPrograms = numPrograms;
    effect.numParams = numParams;
    effect.numInputs = 1;
    effect.numOutputs = 2;
    effect.ioRatio = 1.0f;
    effect.object = this;
    effect.user = nullptr;
    effect.uniqueID = kDefaultUniqueId;
    effect.version = 1;
    effect.processReplacing = processReplacingEntry;
}

EffectBase::~EffectBase() = default;

void EffectBase::setParameter(int32_t, float) {}
float EffectBase::getParameter(int32_t) {
    return 0.0f;
}

void EffectBase::setParameterAutomated(int32_t index, float value) {
    setParameter(index, value);
    callHost(audioMasterAutomate, index, 0, nullptr, value);
}

void EffectBase::processReplacing(float**, float**, int32_t) {}

namespace {

// The pointer-sized operands of the dispatcher, checked before they are narrowed.
bool fitsInt32(intptr_t value) {
    return value >= INT32_MIN && value <= INT32_MAX;
}

// getVu's level scaled to the interface's 0..32767 and truncated toward zero; a level that is not a number
// reads as silence, one whose scaled value would not fit an int32 as the nearest int32.
intptr_t vuToInteger(float level) {
    const double scaled = static_cast<double>(level) * 32767.0;
    if (std::isnan(scaled)) {
        return 0;
    }
    if (scaled >= static_cast<double>(INT32_MAX)) {
        return INT32_MAX;
    }
    if (scaled <= static_cast<double>(INT32_MIN)) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(scaled);
}

} // namespace

intptr_t EffectBase::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effOpen:
        open();
        return 0;
    case effClose:
        close();
        return 0;
    case effSetProgram:
        // Smaller values go on, negative ones included; the program operation ignores what it has not got.
        if (fitsInt32(value) && value < numPrograms) {
            setProgram(static_cast<int32_t>(value));
        }
        return 0;
    case effGetProgram:
        return getProgram();
    case effSetProgramName:
        if (text) {
            setProgramName(text);
        }
        return 0;
    case effGetProgramName:
        if (text) {
            getProgramName(text);
        }
        return 0;
    case effGetParamLabel:
    case effGetParamDisplay:
    case effGetParamName:
        if (!text) {
            return 0;
        }
        if (index < 0 || index >= numParams) {
            text[0] = '\0';
            return 0;
        }
        if (opcode == effGetParamLabel) {
            getParameterLabel(index, text);
        } else if (opcode == effGetParamDisplay) {
            getParameterDisplay(index, text);
        } else {
            getParameterName(index, text);
        }
        return 0;
    case effGetVu:
        return vuToInteger(getVu());
    case effSetSampleRate:
        if (isUsableSampleRate(opt)) {
            setSampleRate(opt);
        }
        return 0;
    case effSetBlockSize:
        if (fitsInt32(value) && value > 0) {
            setBlockSize(static_cast<int32_t>(value));
        }
        return 0;
    case effMainsChanged:
        if (value == 0) {
            suspend();
        } else {
            resume();
        }
        return 0;
    case effEditGetRect:
        return editor && ptr ? editor->getRect(static_cast<void**>(ptr)) : 0;
    case effEditOpen:
        return editor ? editor->open(ptr) : 0;
    case effEditClose:
        if (editor) {
            editor->close();
        }
        return 0;
    case effEditIdle:
        if (editor) {
            editor->idle();
        }
        return 0;
    case effIdentify:
        return kEffectIdentify;
    case effGetChunk:
        return ptr ? getChunk(static_cast<void**>(ptr), index != 0) : 0;
    case effSetChunk:
        if (!ptr || !fitsInt32(value) || value < 0) {
            return 0;
        }
        return setChunk(ptr, static_cast<int32_t>(value), index != 0);
    default:
        // effEditDraw, effEditMouse, effEditKey, effEditTop, effEditSleep and anything outside 0..24.
        return 0;
    }
}

int32_t EffectBase::getProgram() {
    return currentProgram;
}
void EffectBase::setProgram(int32_t program) {
    currentProgram = program;
}

void EffectBase::setProgramName(char* name) {
    if (name) {
        name[0] = '\0';
    }
}
void EffectBase::getProgramName(char* name) {
    if (name) {
        name[0] = '\0';
    }
}
void EffectBase::getParameterLabel(int32_t, char* label) {
    if (label) {
        label[0] = '\0';
    }
}
void EffectBase::getParameterDisplay(int32_t, char* text) {
    if (text) {
        text[0] = '\0';
    }
}
void EffectBase::getParameterName(int32_t, char* text) {
    if (text) {
        text[0] = '\0';
    }
}

float EffectBase::getVu() {
    return 0.0f;
}
int32_t EffectBase::getChunk(void**, bool) {
    return 0;
}
int32_t EffectBase::setChunk(void*, int32_t, bool) {
    return 0;
}
void EffectBase::setSampleRate(float newSampleRate) {
    sampleRate = newSampleRate;
}
void EffectBase::setBlockSize(int32_t newBlockSize) {
    blockSize = newBlockSize;
}

void EffectBase::setUniqueID(int32_t id) {
    effect.uniqueID = id;
}
void EffectBase::setNumInputs(int32_t inputs) {
    effect.numInputs = inputs;
}
void EffectBase::setNumOutputs(int32_t outputs) {
    effect.numOutputs = outputs;
}

void EffectBase::setFlag(int32_t flag, bool state) {
    if (state) {
        effect.flags |= flag;
    } else {
        effect.flags &= ~flag;
    }
}

void EffectBase::hasVu(bool state) {
    setFlag(effFlagsHasVu, state);
}
void EffectBase::hasClip(bool state) {
    setFlag(effFlagsHasClip, state);
}
void EffectBase::canMono(bool state) {
    setFlag(effFlagsCanMono, state);
}
void EffectBase::canProcessReplacing(bool state) {
    setFlag(effFlagsCanReplacing, state);
}
void EffectBase::programsAreChunks(bool state) {
    setFlag(effFlagsProgramChunks, state);
}
void EffectBase::setRealtimeQualities(int32_t qualities) {
    effect.realQualities = qualities;
}
void EffectBase::setOfflineQualities(int32_t qualities) {
    effect.offQualities = qualities;
}
void EffectBase::setInitialDelay(int32_t delay) {
    effect.initialDelay = delay;
}
float EffectBase::getSampleRate() {
    return sampleRate;
}
int32_t EffectBase::getBlockSize() {
    return blockSize;
}

intptr_t EffectBase::callHost(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    return hostCallback ? hostCallback(&effect, opcode, index, value, ptr, opt) : 0;
}

int32_t EffectBase::getMasterVersion() {
    // A host that does not say, or says 0, is taken to be of the first version.
    const int32_t version = static_cast<int32_t>(callHost(audioMasterVersion));
    return version == 0 ? 1 : version;
}

int32_t EffectBase::getCurrentUniqueId() {
    return static_cast<int32_t>(callHost(audioMasterCurrentId));
}

void EffectBase::masterIdle() {
    callHost(audioMasterIdle);
}

// The host answers 0 for a connected pin; without a host every pin counts as connected.
bool EffectBase::isInputConnected(int32_t input) {
    return !hostCallback || callHost(audioMasterPinConnected, input, 0) == 0;
}
bool EffectBase::isOutputConnected(int32_t output) {
    return !hostCallback || callHost(audioMasterPinConnected, output, 1) == 0;
}

void EffectBase::dB2string(float value, char* text) {
    if (!text) {
        return;
    }
    if (value <= 0.0f) {
        std::strcpy(text, "-oo");
        return;
    }
    float2string(static_cast<float>(20.0 * std::log10(static_cast<double>(value))), text);
}

void EffectBase::Hz2string(float samples, char* text) {
    const float rate = getSampleRate();
    float2string(samples == 0.0f ? 0.0f : rate / samples, text);
}

void EffectBase::ms2string(float samples, char* text) {
    const float rate = getSampleRate();
    float2string(static_cast<float>(static_cast<double>(samples) * 1000.0 / static_cast<double>(rate)), text);
}

void EffectBase::float2string(float value, char* text) {
    formatFloat8(value, text);
}
void EffectBase::long2string(int32_t value, char* text) {
    formatLong8(value, text);
}

} // namespace solvantis
