#include "validate/runner.h"

#include "child_process.h"
#include "cli_error.h"
#include "plugin_host.h"
#include "validate/allocation_probe.h"

#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace solvantis::validation {

namespace {

const char* const opcodeNames[] = {
    "effOpen",
    "effClose",
    "effSetProgram",
    "effGetProgram",
    "effSetProgramName",
    "effGetProgramName",
    "effGetParamLabel",
    "effGetParamDisplay",
    "effGetParamName",
    "effGetVu",
    "effSetSampleRate",
    "effSetBlockSize",
    "effMainsChanged",
    "effEditGetRect",
    "effEditOpen",
    "effEditClose",
    "effEditDraw",
    "effEditMouse",
    "effEditKey",
    "effEditIdle",
    "effEditTop",
    "effEditSleep",
    "effIdentify",
    "effGetChunk",
    "effSetChunk",
    "effProcessEvents",
    "effCanBeAutomated",
    "effString2Parameter",
    "effGetNumProgramCategories",
    "effGetProgramNameIndexed",
    "effCopyProgram",
    "effConnectInput",
    "effConnectOutput",
    "effGetInputProperties",
    "effGetOutputProperties",
    "effGetPlugCategory",
    "effGetCurrentPosition",
    "effGetDestinationBuffer",
    "effOfflineNotify",
    "effOfflinePrepare",
    "effOfflineRun",
    "effProcessVarIo",
    "effSetSpeakerArrangement",
    "effSetBlockSizeAndSampleRate",
    "effSetBypass",
    "effGetEffectName",
    "effGetErrorText",
    "effGetVendorString",
    "effGetProductString",
    "effGetVendorVersion",
    "effVendorSpecific",
    "effCanDo",
    "effGetTailSize",
    "effIdle",
    "effGetIcon",
    "effSetViewPosition",
    "effGetParameterProperties",
    "effKeysRequired",
    "effGetVstVersion",
    "effEditKeyDown",
    "effEditKeyUp",
    "effSetEditKnobMode",
    "effGetMidiProgramName",
    "effGetCurrentMidiProgram",
    "effGetMidiProgramCategory",
    "effHasMidiProgramsChanged",
    "effGetMidiKeyName",
    "effBeginSetProgram",
    "effEndSetProgram",
    "effGetSpeakerArrangement",
    "effShellGetNextPlugin",
    "effStartProcess",
    "effStopProcess",
    "effSetTotalSampleToProcess",
    "effSetPanLaw",
    "effBeginLoadBank",
    "effBeginLoadProgram",
};

// The arguments that tell one call of the dispatcher from another, as a report names them: the rate
// of effSetSampleRate, the size of effSetBlockSize, the program of effSetProgram.
std::string arguments(int32_t opcode, int32_t index, float value, intptr_t argument) {
    char text[96];
    switch (opcode) {
    case effSetSampleRate:
        std::snprintf(text, sizeof text, "rate %g Hz", double(value));
        break;
    case effSetBlockSize:
        std::snprintf(text, sizeof text, "block size %lld", static_cast<long long>(argument));
        break;
    case effSetBlockSizeAndSampleRate:
        std::snprintf(text, sizeof text, "block size %lld, rate %g Hz", static_cast<long long>(argument),
                      double(value));
        break;
    case effSetProgram:
        std::snprintf(text, sizeof text, "program %lld", static_cast<long long>(argument));
        break;
    case effMainsChanged:
        std::snprintf(text, sizeof text, "%s", argument != 0 ? "on" : "off");
        break;
    default:
        std::snprintf(text, sizeof text, "index %d", int(index));
        break;
    }
    return text;
}

// One line per thread: the main one, and a second one that some checks start.
struct SharedTrace {
    char call[2][160];
    volatile bool inside[2];
    volatile bool used[2];
};

SharedTrace* shared = nullptr;
thread_local int traceLine = 0;

class CallTrace final : public PluginCallWatcher {
public:
    void entering(const char* entry, int32_t opcode, int32_t index, float value, intptr_t argument) override {
        const int line = traceLine;
        char* text = shared->call[line];
        const bool dispatcher = std::strcmp(entry, "dispatcher") == 0;
        const bool audio = std::strcmp(entry, "processReplacing") == 0 ||
                           std::strcmp(entry, "process") == 0 || (dispatcher && opcode == effProcessEvents);
        if (dispatcher) {
            const size_t known = sizeof opcodeNames / sizeof opcodeNames[0];
            const std::string what = arguments(opcode, index, value, argument);
            if (opcode >= 0 && size_t(opcode) < known) {
                std::snprintf(text, sizeof shared->call[0], "%s (%s)", opcodeNames[opcode], what.c_str());
            } else {
                std::snprintf(text, sizeof shared->call[0], "dispatcher opcode %d (index %d)", int(opcode),
                              int(index));
            }
        } else if (std::strcmp(entry, "setParameter") == 0) {
            std::snprintf(text, sizeof shared->call[0], "setParameter (index %d, value %g)", int(index),
                          double(value));
        } else if (std::strcmp(entry, "getParameter") == 0) {
            std::snprintf(text, sizeof shared->call[0], "getParameter (index %d)", int(index));
        } else if (audio) {
            std::snprintf(text, sizeof shared->call[0], "%s (%d frames)", entry, int(index));
        } else {
            std::snprintf(text, sizeof shared->call[0], "%s", entry);
        }
        shared->used[line] = true;
        shared->inside[line] = true;
        allocationCallEntered(dispatcher ? "effProcessEvents" : entry, audio);
    }
    void returned() override {
        allocationCallLeft();
        shared->inside[traceLine] = false;
    }
    void requestStarted() override { allocationRequestStarted(); }
    void requestFinished() override { allocationRequestFinished(); }
};

std::string describeLine(int line) {
    if (shared == nullptr || !shared->used[line]) {
        return {};
    }
    const std::string call(shared->call[line], strnlen(shared->call[line], sizeof shared->call[line]));
    return std::string(shared->inside[line] ? "in " : "after ") + call;
}

} // namespace

void startCallTrace() {
    if (shared == nullptr) {
        void* page =
            ::mmap(nullptr, sizeof(SharedTrace), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            return;
        }
        shared = static_cast<SharedTrace*>(page);
        static CallTrace trace;
        setPluginCallWatcher(&trace);
    }
    std::memset(static_cast<void*>(shared), 0, sizeof(SharedTrace));
}

std::string tracedCall() {
    std::string text = describeLine(0);
    const std::string second = describeLine(1);
    if (!second.empty()) {
        text += (text.empty() ? "" : "; ") + std::string("the second thread ") +
                (shared->inside[1] ? "was " : "was last ") + second;
    }
    return text;
}

void traceAsSecondThread() {
    traceLine = 1;
}

ChildResult runInChild(const std::function<std::string()>& work, unsigned timeoutSeconds) {
    ChildResult result;
    ChildOptions options;
    options.hangSeconds = 0.0;
    options.timeoutSeconds = double(timeoutSeconds);
    const ChildOutcome outcome = solvantis::runInChild(
        [&](CallSite&, int resultFd) {
            std::string bytes;
            try {
                bytes = work();
            } catch (...) {
                return 3;
            }
            return writeAllBytes(resultFd, bytes.data(), bytes.size()) ? 0 : 3;
        },
        options);
    const std::string call = tracedCall();
    result.started = outcome.kind != ChildOutcome::Kind::Failed;
    result.bytes = outcome.payload;
    switch (outcome.kind) {
    case ChildOutcome::Kind::Interrupted:
        throw Interrupted(outcome.signal);
    case ChildOutcome::Kind::Failed:
        break;
    case ChildOutcome::Kind::Hung:
        result.failure = "did not finish within " + std::to_string(timeoutSeconds) + " s" +
                         (call.empty() ? "" : " (" + call + ")");
        break;
    case ChildOutcome::Kind::Crashed:
    case ChildOutcome::Kind::Exited:
        result.failure = outcome.what() + (call.empty() ? "" : " " + call);
        break;
    case ChildOutcome::Kind::Finished:
        if (outcome.exitCode != 0) {
            result.failure = "the process ended with exit status " + std::to_string(outcome.exitCode) +
                             (call.empty() ? "" : " (" + call + ")");
        } else {
            result.finished = true;
        }
        break;
    }
    return result;
}

} // namespace solvantis::validation
