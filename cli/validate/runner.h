// Running work in child processes, so that a plug-in that crashes or hangs ends only that work, and
// the trace of calls that lets the report name the call a crash or hang happened in.
#pragma once

#include <functional>
#include <string>

namespace solvantis::validation {

// Installs the call trace: a record shared with every child process made after it, written before
// and after each call into the plug-in. Once per process; later calls only clear the record.
void startCallTrace();
// "in processReplacing (512 frames)", "after effClose", or empty when no call was made; when a
// second thread made calls, what it was doing follows.
std::string tracedCall();
// The calling thread's calls go to the second line of the trace.
void traceAsSecondThread();

struct ChildResult {
    bool started = false;  // false: no child could be made (the work did not run)
    bool finished = false; // the work returned and its bytes arrived
    std::string bytes;
    std::string failure; // why not finished: "the plug-in crashed (SIGSEGV) in ...", "did not finish ..."
};

// Runs `work` in a child process and returns the bytes it produced. A child still running after
// `timeoutSeconds` (0: no limit) is ended with everything it started; a child always ends when its
// parent does. The user's interrupt is thrown as Interrupted.
ChildResult runInChild(const std::function<std::string()>& work, unsigned timeoutSeconds);

} // namespace solvantis::validation
