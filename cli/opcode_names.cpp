#include "opcode_names.h"

#include "host/vst_abi.h"

namespace solvantis {

const char* knownOpcodeName(int32_t opcode) {
    // clang-format off
    static const char* const names[] = {
        "effOpen", "effClose", "effSetProgram", "effGetProgram", "effSetProgramName", "effGetProgramName",
        "effGetParamLabel", "effGetParamDisplay", "effGetParamName", "effGetVu", "effSetSampleRate",
        "effSetBlockSize", "effMainsChanged", "effEditGetRect", "effEditOpen", "effEditClose", "effEditDraw",
        "effEditMouse", "effEditKey", "effEditIdle", "effEditTop", "effEditSleep", "effIdentify",
        "effGetChunk", "effSetChunk", "effProcessEvents", "effCanBeAutomated", "effString2Parameter",
        "effGetNumProgramCategories", "effGetProgramNameIndexed", "effCopyProgram", "effConnectInput",
        "effConnectOutput", "effGetInputProperties", "effGetOutputProperties", "effGetPlugCategory",
        "effGetCurrentPosition", "effGetDestinationBuffer", "effOfflineNotify", "effOfflinePrepare",
        "effOfflineRun", "effProcessVarIo", "effSetSpeakerArrangement", "effSetBlockSizeAndSampleRate",
        "effSetBypass", "effGetEffectName", "effGetErrorText", "effGetVendorString", "effGetProductString",
        "effGetVendorVersion", "effVendorSpecific", "effCanDo", "effGetTailSize", "effIdle", "effGetIcon",
        "effSetViewPosition", "effGetParameterProperties", "effKeysRequired", "effGetVstVersion",
        "effEditKeyDown", "effEditKeyUp", "effSetEditKnobMode", "effGetMidiProgramName",
        "effGetCurrentMidiProgram", "effGetMidiProgramCategory", "effHasMidiProgramsChanged",
        "effGetMidiKeyName", "effBeginSetProgram", "effEndSetProgram", "effGetSpeakerArrangement",
        "effShellGetNextPlugin", "effStartProcess", "effStopProcess", "effSetTotalSampleToProcess",
        "effSetPanLaw", "effBeginLoadBank", "effBeginLoadProgram"};
    // clang-format on
    static_assert(sizeof names / sizeof names[0] == size_t(kLastEffectOpcode) + 1);
    return opcode >= 0 && opcode <= kLastEffectOpcode ? names[opcode] : nullptr;
}

} // namespace solvantis
