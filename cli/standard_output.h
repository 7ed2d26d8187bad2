// Standard output as the command's report: a write that fails there is a failed command, and its
// reason is kept for the one line that says so.
#pragma once

#include <cerrno>
#include <cstdio>

namespace solvantis {

// The errno of the first failed flush of standard output (0: none so far).
inline int& standardOutputError() {
    static int error = 0;
    return error;
}

// Flushes standard output; false when it fails (or failed before), its reason kept.
inline bool flushStandardOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 && standardOutputError() == 0) {
        standardOutputError() = errno;
    }
    return std::ferror(stdout) == 0;
}

} // namespace solvantis
