// The VST 2 plug-in interface as both sides of it see it: the effect record, the records exchanged through
// the dispatcher and the host callback, the function types, the opcodes and the flags.
//
// One header for the plug-in (src/host) and for our host (cli/): it needs nothing but <cstdint> and
// <cstddef>. The layouts are fixed by the interface, not by us, so every size and offset is pinned by a
// static_assert below, for 32-bit targets (pointers of 4 bytes, the 144-byte record) and for x86_64
// (natural alignment, pointer-sized value and return of the dispatcher, the 192-byte record).
#pragma once

#include <cstddef>
#include <cstdint>

namespace solvantis {

struct AEffect;

// ---------------------------------------------------------------- function types
// Every function that crosses the boundary uses the C calling convention (arguments pushed right to left,
// the caller removes them). On 32-bit x86 that is stated on each type and entry, so that a compiler
// option for another default convention cannot change it; elsewhere there is only one convention.
// intptr_t is int32 on 32-bit targets.
#if defined(__i386__)
#define SOLVANTIS_CDECL __attribute__((cdecl))
#else
#define SOLVANTIS_CDECL
#endif

using audioMasterCallback = intptr_t(SOLVANTIS_CDECL*)(AEffect* effect, int32_t opcode, int32_t index,
                                                       intptr_t value, void* ptr, float opt);
using AEffectDispatcherProc = intptr_t(SOLVANTIS_CDECL*)(AEffect* effect, int32_t opcode, int32_t index,
                                                         intptr_t value, void* ptr, float opt);
using AEffectProcessProc = void(SOLVANTIS_CDECL*)(AEffect* effect, float** inputs, float** outputs,
                                                  int32_t sampleFrames);
using AEffectProcessDoubleProc = void(SOLVANTIS_CDECL*)(AEffect* effect, double** inputs, double** outputs,
                                                        int32_t sampleFrames);
using AEffectSetParameterProc = void(SOLVANTIS_CDECL*)(AEffect* effect, int32_t index, float value);
using AEffectGetParameterProc = float(SOLVANTIS_CDECL*)(AEffect* effect, int32_t index);
using VstPluginMainProc = AEffect*(SOLVANTIS_CDECL*)(audioMasterCallback hostCallback);

// ---------------------------------------------------------------- four-character constants

// 'abcd' read as a big-endian 32-bit constant, the interface's way of writing magic numbers and IDs.
constexpr int32_t fourCharCode(char a, char b, char c, char d) {
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) |
                                static_cast<uint32_t>(static_cast<uint8_t>(d)));
}

constexpr int32_t kEffectMagic = fourCharCode('V', 's', 't', 'P');     // 0x56737450
constexpr int32_t kEffectIdentify = fourCharCode('N', 'v', 'E', 'f');  // 0x4e764566, answer to effIdentify
constexpr int32_t kDefaultUniqueId = fourCharCode('N', 'o', 'E', 'f'); // 0x4e6f4566, base class default
static_assert(kEffectMagic == 0x56737450);
static_assert(kEffectIdentify == 0x4e764566);
static_assert(kDefaultUniqueId == 0x4e6f4566);

// ---------------------------------------------------------------- the effect record

struct AEffect {
    int32_t magic;                                   // kEffectMagic
    AEffectDispatcherProc dispatcher;                // every request other than audio and parameter values
    AEffectProcessProc process;                      // accumulating process entry
    AEffectSetParameterProc setParameter;            // parameter value 0..1
    AEffectGetParameterProc getParameter;            // parameter value 0..1
    int32_t numPrograms;                             // programs (presets)
    int32_t numParams;                               // parameters
    int32_t numInputs;                               // audio inputs
    int32_t numOutputs;                              // audio outputs
    int32_t flags;                                   // effFlags* bits
    intptr_t resvd1;                                 // reserved, 0
    intptr_t resvd2;                                 // reserved, 0
    int32_t initialDelay;                            // latency in samples
    int32_t realQualities;                           // unused, 0
    int32_t offQualities;                            // unused, 0
    float ioRatio;                                   // unused, 1.0
    void* object;                                    // the plug-in's own object
    void* user;                                      // free for the host
    int32_t uniqueID;                                // four-character plug-in ID
    int32_t version;                                 // plug-in version
    AEffectProcessProc processReplacing;             // replacing process entry
    AEffectProcessDoubleProc processDoubleReplacing; // double-precision entry of later hosts; null here
    char future[56];                                 // reserved, zero
};

// ---------------------------------------------------------------- flags of AEffect::flags

constexpr int32_t effFlagsHasEditor = 1 << 0;
constexpr int32_t effFlagsHasClip = 1 << 1;
constexpr int32_t effFlagsHasVu = 1 << 2;
constexpr int32_t effFlagsCanMono = 1 << 3;
constexpr int32_t effFlagsCanReplacing = 1 << 4;
constexpr int32_t effFlagsProgramChunks = 1 << 5;
constexpr int32_t effFlagsIsSynth = 1 << 8;
constexpr int32_t effFlagsNoSoundInStop = 1 << 9;
constexpr int32_t effFlagsExtIsAsync = 1 << 10;
constexpr int32_t effFlagsExtHasBuffer = 1 << 11;

// ---------------------------------------------------------------- dispatcher opcodes (host to plug-in)

enum : int32_t {
    effOpen = 0,
    effClose = 1,
    effSetProgram = 2,
    effGetProgram = 3,
    effSetProgramName = 4,
    effGetProgramName = 5,
    effGetParamLabel = 6,
    effGetParamDisplay = 7,
    effGetParamName = 8,
    effGetVu = 9,
    effSetSampleRate = 10,
    effSetBlockSize = 11,
    effMainsChanged = 12,
    effEditGetRect = 13,
    effEditOpen = 14,
    effEditClose = 15,
    effEditDraw = 16,
    effEditMouse = 17,
    effEditKey = 18,
    effEditIdle = 19,
    effEditTop = 20,
    effEditSleep = 21,
    effIdentify = 22,
    effGetChunk = 23,
    effSetChunk = 24,
    effProcessEvents = 25,
    effCanBeAutomated = 26,
    effString2Parameter = 27,
    effGetNumProgramCategories = 28,
    effGetProgramNameIndexed = 29,
    effCopyProgram = 30,
    effConnectInput = 31,
    effConnectOutput = 32,
    effGetInputProperties = 33,
    effGetOutputProperties = 34,
    effGetPlugCategory = 35,
    effGetCurrentPosition = 36,
    effGetDestinationBuffer = 37,
    effOfflineNotify = 38,
    effOfflinePrepare = 39,
    effOfflineRun = 40,
    effProcessVarIo = 41,
    effSetSpeakerArrangement = 42,
    effSetBlockSizeAndSampleRate = 43,
    effSetBypass = 44,
    effGetEffectName = 45,
    effGetErrorText = 46,
    effGetVendorString = 47,
    effGetProductString = 48,
    effGetVendorVersion = 49,
    effVendorSpecific = 50,
    effCanDo = 51,
    effGetTailSize = 52,
    effIdle = 53,
    effGetIcon = 54,
    effSetViewPosition = 55,
    effGetParameterProperties = 56,
    effKeysRequired = 57,
    effGetVstVersion = 58,
    effEditKeyDown = 59,
    effEditKeyUp = 60,
    effSetEditKnobMode = 61,
    effGetMidiProgramName = 62,
    effGetCurrentMidiProgram = 63,
    effGetMidiProgramCategory = 64,
    effHasMidiProgramsChanged = 65,
    effGetMidiKeyName = 66,
    effBeginSetProgram = 67,
    effEndSetProgram = 68,
    effGetSpeakerArrangement = 69,
    effShellGetNextPlugin = 70,
    effStartProcess = 71,
    effStopProcess = 72,
    effSetTotalSampleToProcess = 73,
    effSetPanLaw = 74,
    effBeginLoadBank = 75,
    effBeginLoadProgram = 76,
};

constexpr int32_t kLastEffectOpcode = effBeginLoadProgram;

// ---------------------------------------------------------------- host callback opcodes (plug-in to host)

enum : int32_t {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,
    audioMasterCurrentId = 2,
    audioMasterIdle = 3,
    audioMasterPinConnected = 4,
    audioMasterWantMidi = 6,
    audioMasterGetTime = 7,
    audioMasterProcessEvents = 8,
    audioMasterTempoAt = 10,
    audioMasterGetNumAutomatableParameters = 11,
    audioMasterGetParameterQuantization = 12,
    audioMasterIOChanged = 13,
    audioMasterNeedIdle = 14,
    audioMasterSizeWindow = 15,
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterGetInputLatency = 18,
    audioMasterGetOutputLatency = 19,
    audioMasterGetPreviousPlug = 20,
    audioMasterGetNextPlug = 21,
    audioMasterWillReplaceOrAccumulate = 22,
    audioMasterGetCurrentProcessLevel = 23,
    audioMasterGetAutomationState = 24,
    audioMasterOfflineStart = 25,
    audioMasterOfflineRead = 26,
    audioMasterOfflineWrite = 27,
    audioMasterOfflineGetCurrentPass = 28,
    audioMasterOfflineGetCurrentMetaPass = 29,
    audioMasterSetOutputSampleRate = 30,
    audioMasterGetOutputSpeakerArrangement = 31,
    audioMasterGetVendorString = 32,
    audioMasterGetProductString = 33,
    audioMasterGetVendorVersion = 34,
    audioMasterVendorSpecific = 35,
    audioMasterCanDo = 37,
    audioMasterGetLanguage = 38,
    audioMasterOpenWindow = 39,
    audioMasterCloseWindow = 40,
    audioMasterGetDirectory = 41,
    audioMasterUpdateDisplay = 42,
    audioMasterBeginEdit = 43,
    audioMasterEndEdit = 44,
    audioMasterOpenFileSelector = 45,
    audioMasterCloseFileSelector = 46,
    audioMasterGetChunkFile = 48,
    audioMasterGetInputSpeakerArrangement = 49,
};

// ---------------------------------------------------------------- plug-in categories (effGetPlugCategory)

enum : int32_t {
    kPlugCategUnknown = 0,
    kPlugCategSynth = 2,
};

// ---------------------------------------------------------------- events

constexpr int32_t kVstMidiType = 1;

// The generic head of every event; the 16 bytes of data depend on the kind.
struct VstEvent {
    int32_t type;        // event kind, kVstMidiType for MIDI
    int32_t byteSize;    // size of the record after type and byteSize: 24 for MIDI
    int32_t deltaFrames; // sample offset inside the coming block
    int32_t flags;
    char data[16];
};

struct VstMidiEvent {
    int32_t type;        // kVstMidiType
    int32_t byteSize;    // 24
    int32_t deltaFrames; // sample offset inside the coming block
    int32_t flags;
    int32_t noteLength;      // in samples, 0 when unknown
    int32_t noteOffset;      // in samples
    uint8_t midiData[4];     // status, data 1, data 2, unused
    int8_t detune;           // in cents
    uint8_t noteOffVelocity; // 0..127
    uint8_t reserved1;
    uint8_t reserved2;
};

// The host's list of events for one block. The interface declares room for two pointers; a host
// allocates as many as it has, so read them through eventList(), not by indexing `events` past 1.
struct VstEvents {
    int32_t numEvents; // number of event pointers that follow
    intptr_t reserved; // 0
    VstEvent* events[2];
};

// The event pointers of a list, for indexing 0..numEvents-1.
inline VstEvent* const* eventList(const VstEvents* list) {
    return &list->events[0];
}
inline VstEvent** eventList(VstEvents* list) {
    return &list->events[0];
}

// ---------------------------------------------------------------- pins and speakers

enum : int32_t {
    kVstPinIsActive = 1 << 0,
    kVstPinIsStereo = 1 << 1,
};

struct VstPinProperties {
    char label[64];
    int32_t flags;           // kVstPinIs* bits
    int32_t arrangementType; // speaker arrangement type
    char shortLabel[8];
    char future[48];
};

struct VstSpeakerProperties {
    float azimuth;
    float elevation;
    float radius;
    float reserved;
    char name[64];
    int32_t type;
    char future[28];
};

// `numChannels` records follow the head; the interface declares room for eight, an arrangement may
// hold more or fewer, so reach them through speakerList().
struct VstSpeakerArrangement {
    int32_t type;
    int32_t numChannels;
    VstSpeakerProperties speakers[8];
};

inline VstSpeakerProperties* speakerList(VstSpeakerArrangement* arrangement) {
    return &arrangement->speakers[0];
}
inline const VstSpeakerProperties* speakerList(const VstSpeakerArrangement* arrangement) {
    return &arrangement->speakers[0];
}

// Bytes of an arrangement with `channels` speaker records.
constexpr size_t speakerArrangementSize(int32_t channels) {
    return offsetof(VstSpeakerArrangement, speakers) +
           sizeof(VstSpeakerProperties) * static_cast<size_t>(channels < 0 ? 0 : channels);
}

// ---------------------------------------------------------------- MIDI program names

struct MidiProgramName {
    int32_t thisProgramIndex; // set by the host
    char name[64];
    int8_t midiProgram; // -1 = off
    int8_t midiBankMsb; // -1 = off
    int8_t midiBankLsb; // -1 = off
    int8_t reserved;
    int32_t parentCategoryIndex; // -1 = none
    int32_t flags;
};

struct MidiProgramCategory {
    int32_t thisCategoryIndex; // set by the host
    char name[64];
    int32_t parentCategoryIndex; // -1 = none
    int32_t flags;
};

struct MidiKeyName {
    int32_t thisProgramIndex; // set by the host
    int32_t thisKeyNumber;    // set by the host, 0..127
    char keyName[64];
    int32_t reserved;
    int32_t flags;
};

// ---------------------------------------------------------------- the editor's key record

// Built by the dispatcher for the editor's key calls only.
struct VstKeyCode {
    int32_t character;
    uint8_t virt;     // virtual key
    uint8_t modifier; // modifier keys
};

// ---------------------------------------------------------------- records that are only passed through
// Neither side of this project reads them; they travel as opaque pointers.

struct VstTimeInfo;
struct VstOfflineTask;
struct VstAudioFile;
struct VstVariableIo;
struct VstFileSelect;
struct VstWindow;
struct VstPatchChunkInfo;
struct VstParameterProperties;

// ---------------------------------------------------------------- layouts

static_assert(sizeof(int32_t) == 4 && sizeof(float) == 4, "the interface needs 32-bit int and float");

static_assert(sizeof(VstEvent) == 32);
static_assert(sizeof(VstMidiEvent) == 32);
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiEvent, flags) == 12);
static_assert(offsetof(VstMidiEvent, noteLength) == 16);
static_assert(offsetof(VstMidiEvent, noteOffset) == 20);
static_assert(offsetof(VstMidiEvent, midiData) == 24);
static_assert(offsetof(VstMidiEvent, detune) == 28);
static_assert(offsetof(VstMidiEvent, noteOffVelocity) == 29);
static_assert(offsetof(VstMidiEvent, reserved1) == 30);
static_assert(offsetof(VstMidiEvent, reserved2) == 31);

static_assert(sizeof(VstPinProperties) == 128);
static_assert(offsetof(VstPinProperties, flags) == 64);
static_assert(offsetof(VstPinProperties, arrangementType) == 68);
static_assert(offsetof(VstPinProperties, shortLabel) == 72);
static_assert(offsetof(VstPinProperties, future) == 80);

static_assert(sizeof(MidiProgramName) == 80);
static_assert(offsetof(MidiProgramName, name) == 4);
static_assert(offsetof(MidiProgramName, midiProgram) == 68);
static_assert(offsetof(MidiProgramName, midiBankMsb) == 69);
static_assert(offsetof(MidiProgramName, midiBankLsb) == 70);
static_assert(offsetof(MidiProgramName, reserved) == 71);
static_assert(offsetof(MidiProgramName, parentCategoryIndex) == 72);
static_assert(offsetof(MidiProgramName, flags) == 76);

static_assert(sizeof(MidiProgramCategory) == 76);
static_assert(offsetof(MidiProgramCategory, name) == 4);
static_assert(offsetof(MidiProgramCategory, parentCategoryIndex) == 68);
static_assert(offsetof(MidiProgramCategory, flags) == 72);

static_assert(sizeof(MidiKeyName) == 80);
static_assert(offsetof(MidiKeyName, thisKeyNumber) == 4);
static_assert(offsetof(MidiKeyName, keyName) == 8);
static_assert(offsetof(MidiKeyName, reserved) == 72);
static_assert(offsetof(MidiKeyName, flags) == 76);

static_assert(sizeof(VstSpeakerProperties) == 112);
static_assert(offsetof(VstSpeakerProperties, elevation) == 4);
static_assert(offsetof(VstSpeakerProperties, radius) == 8);
static_assert(offsetof(VstSpeakerProperties, reserved) == 12);
static_assert(offsetof(VstSpeakerProperties, name) == 16);
static_assert(offsetof(VstSpeakerProperties, type) == 80);
static_assert(offsetof(VstSpeakerProperties, future) == 84);
static_assert(offsetof(VstSpeakerArrangement, numChannels) == 4);
static_assert(offsetof(VstSpeakerArrangement, speakers) == 8);
static_assert(speakerArrangementSize(2) == 8 + 2 * 112);

#if UINTPTR_MAX == 0xFFFFFFFFu
// 32-bit targets: every field 4 bytes wide, the 144-byte record.
static_assert(sizeof(void*) == 4 && sizeof(intptr_t) == 4);
static_assert(sizeof(AEffect) == 144);
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 4);
static_assert(offsetof(AEffect, process) == 8);
static_assert(offsetof(AEffect, setParameter) == 12);
static_assert(offsetof(AEffect, getParameter) == 16);
static_assert(offsetof(AEffect, numPrograms) == 20);
static_assert(offsetof(AEffect, numParams) == 24);
static_assert(offsetof(AEffect, numInputs) == 28);
static_assert(offsetof(AEffect, numOutputs) == 32);
static_assert(offsetof(AEffect, flags) == 36);
static_assert(offsetof(AEffect, resvd1) == 40);
static_assert(offsetof(AEffect, resvd2) == 44);
static_assert(offsetof(AEffect, initialDelay) == 48);
static_assert(offsetof(AEffect, realQualities) == 52);
static_assert(offsetof(AEffect, offQualities) == 56);
static_assert(offsetof(AEffect, ioRatio) == 60);
static_assert(offsetof(AEffect, object) == 64);
static_assert(offsetof(AEffect, user) == 68);
static_assert(offsetof(AEffect, uniqueID) == 72);
static_assert(offsetof(AEffect, version) == 76);
static_assert(offsetof(AEffect, processReplacing) == 80);
static_assert(offsetof(AEffect, processDoubleReplacing) == 84);
static_assert(offsetof(AEffect, future) == 88);
static_assert(sizeof(VstEvents) == 16);
static_assert(offsetof(VstEvents, reserved) == 4);
static_assert(offsetof(VstEvents, events) == 8);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
// 64-bit targets: the same field order with natural alignment, the 192-byte record.
static_assert(sizeof(void*) == 8 && sizeof(intptr_t) == 8);
static_assert(sizeof(AEffect) == 192);
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 8);
static_assert(offsetof(AEffect, process) == 16);
static_assert(offsetof(AEffect, setParameter) == 24);
static_assert(offsetof(AEffect, getParameter) == 32);
static_assert(offsetof(AEffect, numPrograms) == 40);
static_assert(offsetof(AEffect, numParams) == 44);
static_assert(offsetof(AEffect, numInputs) == 48);
static_assert(offsetof(AEffect, numOutputs) == 52);
static_assert(offsetof(AEffect, flags) == 56);
static_assert(offsetof(AEffect, resvd1) == 64);
static_assert(offsetof(AEffect, resvd2) == 72);
static_assert(offsetof(AEffect, initialDelay) == 80);
static_assert(offsetof(AEffect, realQualities) == 84);
static_assert(offsetof(AEffect, offQualities) == 88);
static_assert(offsetof(AEffect, ioRatio) == 92);
static_assert(offsetof(AEffect, object) == 96);
static_assert(offsetof(AEffect, user) == 104);
static_assert(offsetof(AEffect, uniqueID) == 112);
static_assert(offsetof(AEffect, version) == 116);
static_assert(offsetof(AEffect, processReplacing) == 120);
static_assert(offsetof(AEffect, processDoubleReplacing) == 128);
static_assert(offsetof(AEffect, future) == 136);
static_assert(sizeof(VstEvents) == 32);
static_assert(offsetof(VstEvents, reserved) == 8);
static_assert(offsetof(VstEvents, events) == 16);
#else
#error "the VST 2 records are laid out for 32-bit and 64-bit pointers only"
#endif

} // namespace solvantis
