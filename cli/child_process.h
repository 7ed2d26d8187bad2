// Running plug-in work in a child process: a plug-in that crashes, aborts or hangs ends the child, and
// the parent reports it as one line naming the call it was in, and cleans up after it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace solvantis {

// In a child just forked to run plug-in code: what the plug-in prints goes to standard error, away from any
// report on standard output; a crash ends the child by its signal, also where a sanitizer would catch it
// first; and it leaves no core file behind.
void enterPluginChild();

// Where the work in the child is, kept in memory shared with the parent so that it outlives a crash.
// The child's PluginHost names every call into the plug-in before making it; the render adds the frame.
struct CallSite {
    char call[48] = {};          // "processReplacing", "effOpen", ... ("" before the first call)
    volatile int64_t frame = -1; // the render's position when the call was made; -1 before the render
    volatile int32_t sampleRate = 0;
    volatile int64_t totalFrames = 0; // how long the render is expected to be, for a progress bar
    volatile uint64_t calls = 0;      // counts every call, so that the parent sees progress
    volatile int32_t inside = 0;      // 1 while the call named is under way
    volatile int32_t finished = 0;    // 1 once the child's work has returned
    volatile int32_t exitCalled = 0;  // 1 when something in the child called exit() (the plug-in, surely)
    // Our own reading of a file from outside (the MIDI file, a preset) while it lasts, so that a crash
    // or a hang there is reported as solvantis's and not the plug-in's: what is read ("the MIDI file")
    // and the file's name; "" outside such work.
    char ownWork[24] = {};
    char ownFile[232] = {};
    // In the child: the write end of the stream pipe when ChildOptions::onStream is set, else -1.
    int streamFd = -1;

    void enter(const char* name);
    void leave() { inside = 0; }
};

// Marks our own reading of `file` in the site (when there is one) for as long as it lasts. The parent
// gives that work ChildOptions::readSeconds instead of the plug-in's hangSeconds.
class OwnWorkMark {
public:
    OwnWorkMark(CallSite* where, const char* work, const std::string& file);
    ~OwnWorkMark();
    OwnWorkMark(const OwnWorkMark&) = delete;
    OwnWorkMark& operator=(const OwnWorkMark&) = delete;

private:
    CallSite* site;
};

// Names a call into the plug-in in the site (when there is one) for as long as the call lasts.
class CallMark {
public:
    CallMark(CallSite* where, const char* name) : site(where) {
        if (site != nullptr) {
            site->enter(name);
        }
    }
    ~CallMark() {
        if (site != nullptr) {
            site->leave();
        }
    }
    CallMark(const CallMark&) = delete;
    CallMark& operator=(const CallMark&) = delete;

private:
    CallSite* site;
};

struct ChildOptions {
    // A single call into the plug-in that takes longer than this is taken for a hang (0: never). Time
    // the child spends outside the plug-in's calls does not count.
    double hangSeconds = 60.0;
    // The child still running after this long is ended, whatever it is doing (0: never).
    double timeoutSeconds = 0.0;
    // Our own reading of a file (see OwnWorkMark) that takes longer than this is given up (0: never).
    double readSeconds = 60.0;
    // Called in the parent about ten times a second while the child works.
    std::function<void(const CallSite&)> onProgress;
    // When set, the child gets a second pipe (CallSite::streamFd) and the parent hands everything that
    // arrives through it to this function, in order, as it arrives. What it throws ends the child and
    // is thrown again from runInChild.
    std::function<void(const char* data, size_t size)> onStream;
};

struct ChildOutcome {
    // Exited: the child ended by exit() or _exit() before its work returned (a plug-in that ends the
    // process); Hung: a call hung, or the whole child outlived timeoutSeconds.
    enum class Kind { Finished, Exited, Crashed, Hung, Interrupted, Failed };
    Kind kind = Kind::Failed;
    int exitCode = -1;   // Finished and Exited: the child's exit code
    int signal = 0;      // Crashed: the signal that ended it; Interrupted: the one the user sent
    std::string payload; // everything the child wrote into its result pipe
    CallSite site;       // where the child was at its end
    double hungSeconds = 0.0;

    // "the plug-in crashed (SIGABRT) in processReplacing at 12.3 s", "the plug-in hung in effOpen (no
    // answer for 60 s)", "the plug-in called exit(0) in processReplacing at 1.0 s"; empty for a finished
    // child.
    std::string describe() const;
    // The same without the place: "the plug-in called exit(0)", for callers that trace calls themselves.
    std::string what() const;
};

// Forks; the child gets a CallSite to mark and a descriptor to write its result into, runs `work` (its
// return value is its exit code) and ends with _exit, so that nothing of the parent's runs twice. The
// child keeps no descriptor of the parent's beyond standard input, output and error: whatever files
// the command writes, the parent writes, and a process the plug-in starts cannot reach them.
// Standard output of the child goes to standard error, so that a chatty plug-in cannot mix into what
// the parent prints. The child leads a process group of its own (children made inside it share it), and
// the whole group is killed when the child ends, hangs or times out: a process the plug-in forked can
// neither keep the parent waiting on the result pipe nor outlive the command. The parent is a subreaper,
// so that a process that left the group (setsid) comes back to it once the child is gone, and is killed
// before runInChild returns. The parent keeps every
// time limit itself, so a plug-in that blocks signals cannot escape one. While the child runs, SIGINT,
// SIGTERM, SIGHUP and SIGQUIT to the parent kill the child and come back as Interrupted.
ChildOutcome runInChild(const std::function<int(CallSite& site, int resultFd)>& work,
                        const ChildOptions& options = {});

// Runs plug-in work in a child and returns the bytes it returned. A CliError thrown by `work` is thrown
// again here with its message; a crash or hang becomes a CliError that names the call and the time
// ("the plug-in crashed (SIGABRT) in processReplacing at 12.3 s"); the user's interrupt becomes
// Interrupted.
std::string runPluginJob(const std::function<std::string(CallSite& site)>& work,
                         const ChildOptions& options = {});

// Writes all the bytes (retrying short writes); false when the descriptor refuses them.
bool writeAllBytes(int fd, const void* data, size_t size);

// Makes this process the reaper of its orphaned descendants, and kills and reaps every child of it
// that is not in `keep`, again and again until none is left (the children of those killed come back
// to it in turn).
void becomeSubreaper();
void endStrayChildren(const std::vector<pid_t>& keep = {});

// "SIGABRT", "SIGSEGV", ... or "signal 42".
std::string signalName(int signal);

} // namespace solvantis
