#include "validate/runner.h"

#include "child_process.h"
#include "plugin_host.h"
#include "validate/allocation_probe.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
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
    void entering(const char* entry, int32_t opcode, int32_t index, float value) override {
        const int line = traceLine;
        char* text = shared->call[line];
        const bool dispatcher = std::strcmp(entry, "dispatcher") == 0;
        const bool audio = std::strcmp(entry, "processReplacing") == 0 ||
                           std::strcmp(entry, "process") == 0 || (dispatcher && opcode == effProcessEvents);
        if (dispatcher) {
            const size_t known = sizeof opcodeNames / sizeof opcodeNames[0];
            if (opcode >= 0 && size_t(opcode) < known) {
                std::snprintf(text, sizeof shared->call[0], "%s (index %d)", opcodeNames[opcode], int(index));
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

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += size_t(n);
    }
}

// Reads everything a child writes into its pipe until it closes it, then reaps the child.
std::string collectChild(int readEnd, pid_t child, int& status) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(readEnd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(readEnd);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return bytes;
}

std::string signalName(int signal) {
    const char* abbreviation = ::sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
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

ChildResult runInChild(const std::function<std::string()>& work, unsigned timeoutSeconds, bool withParent) {
    ChildResult result;
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return result;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return result;
    }
    if (child == 0) {
        ::close(pipeEnds[0]);
        enterPluginChild();
        std::signal(SIGALRM, SIG_DFL); // the time limit below ends the child by its signal
        if (withParent) {
            // Alarms are not inherited: work that hangs ends with the process that waits for it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == 1) {
                ::_exit(4);
            }
        }
        if (timeoutSeconds > 0) {
            ::alarm(timeoutSeconds);
        }
        std::string bytes;
        try {
            bytes = work();
        } catch (...) {
            ::_exit(3);
        }
        writeAll(pipeEnds[1], bytes);
        ::close(pipeEnds[1]);
        std::fflush(stderr);
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    result.started = true;
    int status = 0;
    result.bytes = collectChild(pipeEnds[0], child, status);
    const std::string call = tracedCall();
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGALRM) {
            result.failure = "did not finish within " + std::to_string(timeoutSeconds) + " s" +
                             (call.empty() ? "" : " (" + call + ")");
        } else {
            result.failure =
                "the plug-in crashed (" + signalName(signal) + ")" + (call.empty() ? "" : " " + call);
        }
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        result.failure = "the process ended with exit status " +
                         std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                         (call.empty() ? "" : " (" + call + ")");
    } else {
        result.finished = true;
    }
    return result;
}

} // namespace solvantis::validation
