// ExtendedEffectBase: the dispatcher of opcodes 25 to 76, their default operations and the later host
// requests.
#include "host/extended_effect_base.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace solvantis {

namespace {

constexpr int32_t kMidiChannels = 16;

bool fitsInt32(intptr_t value) {
    return value >= INT32_MIN && value <= INT32_MAX;
}
bool isMidiChannel(int32_t channel) {
    return channel >= 0 && channel < kMidiChannels;
}
intptr_t asAnswer(bool state) {
    return state ? 1 : 0;
}

// The low byte of a float operand truncated to an integer; 0 for a value that has no integer.
uint8_t lowByteOf(float value) {
    if (!(std::fabs(value) < 2147483648.0f)) {
        return 0;
    }
    return static_cast<uint8_t>(static_cast<int32_t>(value) & 0xFF);
}

} // namespace

ExtendedEffectBase::ExtendedEffectBase(audioMasterCallback hostCallback, int32_t numPrograms,
                                       int32_t numParams)
    : EffectBase(hostCallback, numPrograms, numParams) {}

ExtendedEffectBase::~ExtendedEffectBase() = default;

intptr_t ExtendedEffectBase::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    if (static_cast<uint32_t>(opcode) - 25u > 51u) {
        return EffectBase::dispatcher(opcode, index, value, ptr, opt);
    }
    return dispatchExtended(opcode, index, value, ptr, opt);
}

intptr_t ExtendedEffectBase::dispatchExtended(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                              float opt) {
    char* text = static_cast<char*>(ptr);
    const bool parameterIndex = index >= 0 && index < numParams;
    switch (opcode) {
    case effProcessEvents:
        return ptr ? processEvents(static_cast<VstEvents*>(ptr)) : 0;
    case effCanBeAutomated:
        return asAnswer(canParameterBeAutomated(index));
    case effString2Parameter:
        return text && parameterIndex ? asAnswer(string2parameter(index, text)) : 0;
    case effGetNumProgramCategories:
        return getNumCategories();
    case effGetProgramNameIndexed:
        // The category comes in value, the program in index.
        if (!text || !fitsInt32(value)) {
            return 0;
        }
        return asAnswer(getProgramNameIndexed(static_cast<int32_t>(value), index, text));
    case effCopyProgram:
        return asAnswer(copyProgram(index));
    case effConnectInput:
        inputConnected(index, value != 0);
        return 1;
    case effConnectOutput:
        outputConnected(index, value != 0);
        return 1;
    case effGetInputProperties:
        if (!ptr || index < 0 || index >= effect.numInputs) {
            return 0;
        }
        return asAnswer(getInputProperties(index, static_cast<VstPinProperties*>(ptr)));
    case effGetOutputProperties:
        if (!ptr || index < 0 || index >= effect.numOutputs) {
            return 0;
        }
        return asAnswer(getOutputProperties(index, static_cast<VstPinProperties*>(ptr)));
    case effGetPlugCategory:
        return getPlugCategory();
    case effGetCurrentPosition:
        return reportCurrentPosition();
    case effGetDestinationBuffer:
        return reinterpret_cast<intptr_t>(reportDestinationBuffer());
    case effOfflineNotify:
        if (!ptr || !fitsInt32(value)) {
            return 0;
        }
        return asAnswer(
            offlineNotify(static_cast<VstAudioFile*>(ptr), static_cast<int32_t>(value), index != 0));
    case effOfflinePrepare:
    case effOfflineRun: {
        if (!ptr || !fitsInt32(value)) {
            return 0;
        }
        auto* tasks = static_cast<VstOfflineTask*>(ptr);
        const auto count = static_cast<int32_t>(value);
        return asAnswer(opcode == effOfflinePrepare ? offlinePrepare(tasks, count)
                                                    : offlineRun(tasks, count));
    }
    case effProcessVarIo:
        return ptr ? asAnswer(processVariableIo(static_cast<VstVariableIo*>(ptr))) : 0;
    case effSetSpeakerArrangement:
        // The input arrangement travels in value, the output one in ptr.
        return asAnswer(setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                              static_cast<VstSpeakerArrangement*>(ptr)));
    case effSetBlockSizeAndSampleRate: {
        // An unusable half of the pair keeps the value held now.
        const bool blockOk = value > 0 && value <= INT32_MAX;
        setBlockSizeAndSampleRate(blockOk ? static_cast<int32_t>(value) : blockSize,
                                  isUsableSampleRate(opt) ? opt : sampleRate);
        return 1;
    }
    case effSetBypass:
        return asAnswer(setBypass(value != 0));
    case effGetEffectName:
        return text ? asAnswer(getEffectName(text)) : 0;
    case effGetErrorText:
        return text ? asAnswer(getErrorText(text)) : 0;
    case effGetVendorString:
        return text ? asAnswer(getVendorString(text)) : 0;
    case effGetProductString:
        return text ? asAnswer(getProductString(text)) : 0;
    case effGetVendorVersion:
        return getVendorVersion();
    case effVendorSpecific:
        return vendorSpecific(index, value, ptr, opt);
    case effCanDo:
        return text ? canDo(text) : 0;
    case effGetTailSize:
        return getTailSize();
    case effIdle:
        return fxIdle();
    case effGetIcon:
        return reinterpret_cast<intptr_t>(getIcon());
    case effSetViewPosition:
        return fitsInt32(value) ? asAnswer(setViewPosition(index, static_cast<int32_t>(value))) : 0;
    case effGetParameterProperties:
        if (!ptr || !parameterIndex) {
            return 0;
        }
        return asAnswer(getParameterProperties(index, static_cast<VstParameterProperties*>(ptr)));
    case effKeysRequired:
        // The interface asks the opposite question: 1 means the plug-in does not need keys.
        return keysRequired() ? 0 : 1;
    case effGetVstVersion:
        return getVstVersion();
    case effEditKeyDown:
    case effEditKeyUp: {
        if (!editor) {
            return 0;
        }
        VstKeyCode key{index, static_cast<uint8_t>(value & 0xFF), lowByteOf(opt)};
        return opcode == effEditKeyDown ? editor->onKeyDown(key) : editor->onKeyUp(key);
    }
    case effSetEditKnobMode:
        return editor && fitsInt32(value) ? editor->setKnobMode(static_cast<int32_t>(value)) : 0;
    case effGetMidiProgramName:
        if (!ptr || !isMidiChannel(index)) {
            return 0;
        }
        return getMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
    case effGetCurrentMidiProgram:
        if (!ptr || !isMidiChannel(index)) {
            return -1;
        }
        return getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
    case effGetMidiProgramCategory:
        if (!ptr || !isMidiChannel(index)) {
            return 0;
        }
        return getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
    case effHasMidiProgramsChanged:
        return isMidiChannel(index) ? asAnswer(hasMidiProgramsChanged(index)) : 0;
    case effGetMidiKeyName:
        if (!ptr || !isMidiChannel(index)) {
            return 0;
        }
        return asAnswer(getMidiKeyName(index, static_cast<MidiKeyName*>(ptr)));
    case effBeginSetProgram:
        return asAnswer(beginSetProgram());
    case effEndSetProgram:
        return asAnswer(endSetProgram());
    case effGetSpeakerArrangement:
        return asAnswer(getSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement**>(value),
                                              static_cast<VstSpeakerArrangement**>(ptr)));
    case effShellGetNextPlugin:
        return text ? getNextShellPlugin(text) : 0;
    case effStartProcess:
        return startProcess();
    case effStopProcess:
        return stopProcess();
    case effSetTotalSampleToProcess:
        return fitsInt32(value) ? setTotalSampleToProcess(static_cast<int32_t>(value)) : 0;
    case effSetPanLaw:
        return fitsInt32(value) ? asAnswer(setPanLaw(static_cast<int32_t>(value), opt)) : 0;
    case effBeginLoadBank:
        return ptr ? beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr)) : 0;
    case effBeginLoadProgram:
        return ptr ? beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr)) : 0;
    default:
        return 0;
    }
}

EffectEditor* ExtendedEffectBase::getEditor() {
    return editor.get();
}

void ExtendedEffectBase::wantEvents(int32_t filter) {
    callHost(audioMasterWantMidi, 0, filter);
}

VstTimeInfo* ExtendedEffectBase::getTimeInfo(int32_t filter) {
    return reinterpret_cast<VstTimeInfo*>(callHost(audioMasterGetTime, 0, filter));
}

int32_t ExtendedEffectBase::tempoAt(int32_t position) {
    return static_cast<int32_t>(callHost(audioMasterTempoAt, 0, position));
}

int32_t ExtendedEffectBase::processEvents(VstEvents*) {
    return 0;
}

int32_t ExtendedEffectBase::getNumAutomatableParameters() {
    return static_cast<int32_t>(callHost(audioMasterGetNumAutomatableParameters));
}

int32_t ExtendedEffectBase::getParameterQuantization() {
    return static_cast<int32_t>(callHost(audioMasterGetParameterQuantization));
}

bool ExtendedEffectBase::canParameterBeAutomated(int32_t) {
    return true;
}
bool ExtendedEffectBase::string2parameter(int32_t, char*) {
    return false;
}
float ExtendedEffectBase::getChannelParameter(int32_t, int32_t) {
    return 0.0f;
}
int32_t ExtendedEffectBase::getNumCategories() {
    return 1;
}
bool ExtendedEffectBase::getProgramNameIndexed(int32_t, int32_t, char*) {
    return false;
}
bool ExtendedEffectBase::copyProgram(int32_t) {
    return false;
}

bool ExtendedEffectBase::ioChanged() {
    return callHost(audioMasterIOChanged) != 0;
}
bool ExtendedEffectBase::needIdle() {
    return callHost(audioMasterNeedIdle) != 0;
}
bool ExtendedEffectBase::sizeWindow(int32_t width, int32_t height) {
    return callHost(audioMasterSizeWindow, width, height) != 0;
}

float ExtendedEffectBase::updateSampleRate() {
    const intptr_t answer = callHost(audioMasterGetSampleRate);
    if (answer > 0 && isUsableSampleRate(static_cast<float>(answer))) {
        sampleRate = static_cast<float>(answer);
    }
    return sampleRate;
}

int32_t ExtendedEffectBase::updateBlockSize() {
    const intptr_t answer = callHost(audioMasterGetBlockSize);
    if (answer > 0 && answer <= INT32_MAX) {
        blockSize = static_cast<int32_t>(answer);
    }
    return blockSize;
}

int32_t ExtendedEffectBase::getInputLatency() {
    return static_cast<int32_t>(callHost(audioMasterGetInputLatency));
}
int32_t ExtendedEffectBase::getOutputLatency() {
    return static_cast<int32_t>(callHost(audioMasterGetOutputLatency));
}

// The host's chain neighbours; the pin number is not part of the request.
AEffect* ExtendedEffectBase::getPreviousPlug(int32_t) {
    return reinterpret_cast<AEffect*>(callHost(audioMasterGetPreviousPlug));
}
AEffect* ExtendedEffectBase::getNextPlug(int32_t) {
    return reinterpret_cast<AEffect*>(callHost(audioMasterGetNextPlug));
}

void ExtendedEffectBase::inputConnected(int32_t, bool) {}
void ExtendedEffectBase::outputConnected(int32_t, bool) {}
bool ExtendedEffectBase::getInputProperties(int32_t, VstPinProperties*) {
    return false;
}
bool ExtendedEffectBase::getOutputProperties(int32_t, VstPinProperties*) {
    return false;
}

int32_t ExtendedEffectBase::getPlugCategory() {
    return (effect.flags & effFlagsIsSynth) != 0 ? kPlugCategSynth : kPlugCategUnknown;
}

int32_t ExtendedEffectBase::willProcessReplacing() {
    return static_cast<int32_t>(callHost(audioMasterWillReplaceOrAccumulate));
}
int32_t ExtendedEffectBase::getCurrentProcessLevel() {
    return static_cast<int32_t>(callHost(audioMasterGetCurrentProcessLevel));
}
int32_t ExtendedEffectBase::getAutomationState() {
    return static_cast<int32_t>(callHost(audioMasterGetAutomationState));
}

void ExtendedEffectBase::wantAsyncOperation(bool state) {
    setFlag(effFlagsExtIsAsync, state);
}
void ExtendedEffectBase::hasExternalBuffer(bool state) {
    setFlag(effFlagsExtHasBuffer, state);
}
int32_t ExtendedEffectBase::reportCurrentPosition() {
    return 0;
}
float* ExtendedEffectBase::reportDestinationBuffer() {
    return nullptr;
}

bool ExtendedEffectBase::offlineRead(VstOfflineTask* offline, int32_t option, bool readSource) {
    return callHost(audioMasterOfflineRead, readSource ? 1 : 0, option, offline) != 0;
}
bool ExtendedEffectBase::offlineWrite(VstOfflineTask* offline, int32_t option) {
    return callHost(audioMasterOfflineWrite, 0, option, offline) != 0;
}
bool ExtendedEffectBase::offlineStart(VstAudioFile* files, int32_t numAudioFiles, int32_t numNewAudioFiles) {
    return callHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, files) != 0;
}
// Pass numbers are numbers: the host's answer is returned as it stands.
int32_t ExtendedEffectBase::offlineGetCurrentPass() {
    return static_cast<int32_t>(callHost(audioMasterOfflineGetCurrentPass));
}
int32_t ExtendedEffectBase::offlineGetCurrentMetaPass() {
    return static_cast<int32_t>(callHost(audioMasterOfflineGetCurrentMetaPass));
}
bool ExtendedEffectBase::offlineNotify(VstAudioFile*, int32_t, bool) {
    return false;
}
bool ExtendedEffectBase::offlinePrepare(VstOfflineTask*, int32_t) {
    return false;
}
bool ExtendedEffectBase::offlineRun(VstOfflineTask*, int32_t) {
    return false;
}
int32_t ExtendedEffectBase::offlineGetNumPasses() {
    return 0;
}
int32_t ExtendedEffectBase::offlineGetNumMetaPasses() {
    return 0;
}

void ExtendedEffectBase::setOutputSamplerate(float rate) {
    callHost(audioMasterSetOutputSampleRate, 0, 0, nullptr, rate);
}

VstSpeakerArrangement* ExtendedEffectBase::getInputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(callHost(audioMasterGetInputSpeakerArrangement));
}
VstSpeakerArrangement* ExtendedEffectBase::getOutputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(callHost(audioMasterGetOutputSpeakerArrangement));
}

// A host writes the answer into the text, so none is asked for without one.
bool ExtendedEffectBase::getHostVendorString(char* text) {
    return text && callHost(audioMasterGetVendorString, 0, 0, text) != 0;
}
bool ExtendedEffectBase::getHostProductString(char* text) {
    return text && callHost(audioMasterGetProductString, 0, 0, text) != 0;
}
int32_t ExtendedEffectBase::getHostVendorVersion() {
    return static_cast<int32_t>(callHost(audioMasterGetVendorVersion));
}
intptr_t ExtendedEffectBase::hostVendorSpecific(int32_t index, intptr_t value, void* ptr, float opt) {
    return callHost(audioMasterVendorSpecific, index, value, ptr, opt);
}

// The host's own answer: 1 it can, -1 it cannot, 0 it does not know.
int32_t ExtendedEffectBase::canHostDo(char* text) {
    return text ? static_cast<int32_t>(callHost(audioMasterCanDo, 0, 0, text)) : 0;
}

void ExtendedEffectBase::isSynth(bool state) {
    setFlag(effFlagsIsSynth, state);
}
void ExtendedEffectBase::noTail(bool state) {
    setFlag(effFlagsNoSoundInStop, state);
}
int32_t ExtendedEffectBase::getHostLanguage() {
    return static_cast<int32_t>(callHost(audioMasterGetLanguage));
}

void* ExtendedEffectBase::openWindow(VstWindow* window) {
    return reinterpret_cast<void*>(callHost(audioMasterOpenWindow, 0, 0, window));
}
bool ExtendedEffectBase::closeWindow(VstWindow* window) {
    return callHost(audioMasterCloseWindow, 0, 0, window) != 0;
}
void* ExtendedEffectBase::getDirectory() {
    return reinterpret_cast<void*>(callHost(audioMasterGetDirectory));
}
bool ExtendedEffectBase::updateDisplay() {
    return callHost(audioMasterUpdateDisplay) != 0;
}

bool ExtendedEffectBase::processVariableIo(VstVariableIo*) {
    return false;
}
bool ExtendedEffectBase::setSpeakerArrangement(VstSpeakerArrangement*, VstSpeakerArrangement*) {
    return false;
}

bool ExtendedEffectBase::getSpeakerArrangement(VstSpeakerArrangement** input,
                                               VstSpeakerArrangement** output) {
    if (input) {
        *input = nullptr;
    }
    if (output) {
        *output = nullptr;
    }
    return false;
}

void ExtendedEffectBase::setBlockSizeAndSampleRate(int32_t newBlockSize, float newSampleRate) {
    blockSize = newBlockSize;
    sampleRate = newSampleRate;
}

bool ExtendedEffectBase::setBypass(bool) {
    return false;
}
bool ExtendedEffectBase::getEffectName(char*) {
    return false;
}
bool ExtendedEffectBase::getErrorText(char*) {
    return false;
}
bool ExtendedEffectBase::getVendorString(char*) {
    return false;
}
bool ExtendedEffectBase::getProductString(char*) {
    return false;
}
int32_t ExtendedEffectBase::getVendorVersion() {
    return 0;
}
intptr_t ExtendedEffectBase::vendorSpecific(int32_t, intptr_t, void*, float) {
    return 0;
}
int32_t ExtendedEffectBase::canDo(char*) {
    return 0;
}
void* ExtendedEffectBase::getIcon() {
    return nullptr;
}
bool ExtendedEffectBase::setViewPosition(int32_t, int32_t) {
    return false;
}
int32_t ExtendedEffectBase::getTailSize() {
    return 0;
}
int32_t ExtendedEffectBase::fxIdle() {
    return 0;
}
bool ExtendedEffectBase::getParameterProperties(int32_t, VstParameterProperties*) {
    return false;
}
bool ExtendedEffectBase::keysRequired() {
    return false;
}
int32_t ExtendedEffectBase::getVstVersion() {
    return 2300;
}
int32_t ExtendedEffectBase::getMidiProgramName(int32_t, MidiProgramName*) {
    return 0;
}
int32_t ExtendedEffectBase::getCurrentMidiProgram(int32_t, MidiProgramName*) {
    return -1;
}
int32_t ExtendedEffectBase::getMidiProgramCategory(int32_t, MidiProgramCategory*) {
    return 0;
}
bool ExtendedEffectBase::hasMidiProgramsChanged(int32_t) {
    return false;
}
bool ExtendedEffectBase::getMidiKeyName(int32_t, MidiKeyName*) {
    return false;
}
bool ExtendedEffectBase::beginSetProgram() {
    return false;
}
bool ExtendedEffectBase::endSetProgram() {
    return false;
}

bool ExtendedEffectBase::beginEdit(int32_t index) {
    return callHost(audioMasterBeginEdit, index) != 0;
}
bool ExtendedEffectBase::endEdit(int32_t index) {
    return callHost(audioMasterEndEdit, index) != 0;
}

bool ExtendedEffectBase::openFileSelector(VstFileSelect* fileSelect) {
    return fileSelect && callHost(audioMasterOpenFileSelector, 0, 0, fileSelect) != 0;
}

int32_t ExtendedEffectBase::setTotalSampleToProcess(int32_t value) {
    return value;
}
int32_t ExtendedEffectBase::getNextShellPlugin(char*) {
    return 0;
}
int32_t ExtendedEffectBase::startProcess() {
    return 0;
}
int32_t ExtendedEffectBase::stopProcess() {
    return 0;
}
bool ExtendedEffectBase::setPanLaw(int32_t, float) {
    return false;
}
int32_t ExtendedEffectBase::beginLoadBank(VstPatchChunkInfo*) {
    return 0;
}
int32_t ExtendedEffectBase::beginLoadProgram(VstPatchChunkInfo*) {
    return 0;
}

bool ExtendedEffectBase::allocateArrangement(VstSpeakerArrangement** arrangement, int32_t channels) {
    if (!arrangement) {
        return false;
    }
    std::free(*arrangement);
    *arrangement = nullptr;
    if (channels < 0) {
        return false;
    }
    // Never smaller than the record as the interface declares it, so a host that copies the whole
    // record reads only memory that belongs to it.
    const size_t bytes = std::max(speakerArrangementSize(channels), sizeof(VstSpeakerArrangement));
    auto* fresh = static_cast<VstSpeakerArrangement*>(std::calloc(1, bytes));
    if (!fresh) {
        return false;
    }
    fresh->numChannels = channels;
    *arrangement = fresh;
    return true;
}

bool ExtendedEffectBase::deallocateArrangement(VstSpeakerArrangement** arrangement) {
    if (!arrangement) {
        return false;
    }
    std::free(*arrangement);
    *arrangement = nullptr;
    return true;
}

bool ExtendedEffectBase::copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
    if (!to || !from) {
        return false;
    }
    std::memcpy(to->name, from->name, sizeof to->name);
    to->name[sizeof to->name - 1] = '\0';
    to->type = from->type;
    to->azimuth = from->azimuth;
    to->elevation = from->elevation;
    to->radius = from->radius;
    to->reserved = from->reserved;
    std::memcpy(to->future, from->future, sizeof to->future);
    return true;
}

bool ExtendedEffectBase::matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
    if (!from || !to) {
        return false;
    }
    if (*to == from) {
        return true; // releasing the target would release the source
    }
    if (!deallocateArrangement(to) || !allocateArrangement(to, from->numChannels)) {
        return false;
    }
    (*to)->type = from->type;
    VstSpeakerProperties* target = speakerList(*to);
    VstSpeakerProperties* source = speakerList(from);
    for (int32_t i = 0; i < from->numChannels; ++i) {
        if (!copySpeaker(&target[i], &source[i])) {
            return false;
        }
    }
    return true;
}

bool ExtendedEffectBase::sendVstEventsToHost(VstEvents* events) {
    return events && callHost(audioMasterProcessEvents, 0, 0, events) == 1;
}

bool ExtendedEffectBase::closeFileSelector(VstFileSelect* fileSelect) {
    return fileSelect && callHost(audioMasterCloseFileSelector, 0, 0, fileSelect) != 0;
}

bool ExtendedEffectBase::getChunkFile(void* nativePath) {
    return nativePath && callHost(audioMasterGetChunkFile, 0, 0, nativePath) != 0;
}

} // namespace solvantis
