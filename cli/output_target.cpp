#include "output_target.h"

#include "cli_error.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace solvantis {

namespace {

std::string quote(const std::string& text) {
    return "'" + text + "'";
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file that is really meant; a dangling link gives its missing target.
std::string followLinks(const std::string& path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return current;
        }
        std::vector<char> buffer(PATH_MAX + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size() - 1);
        if (n <= 0) {
            throw CliError("cannot follow the link " + quote(path) + ": " + std::strerror(errno));
        }
        const std::string target(buffer.data(), size_t(n));
        current = target.front() == '/' ? target : folderOf(current) + "/" + target;
    }
    throw CliError("cannot follow the link " + quote(path) + ": too many levels of links");
}

// The temporary files a signal must not leave behind, in storage the handler can read as it stands.
struct CleanupSlot {
    volatile sig_atomic_t used;
    char path[PATH_MAX];
};
CleanupSlot cleanupSlots[8];
constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void removeTemporaries(int signal) {
    for (CleanupSlot& slot : cleanupSlots) {
        if (slot.used) {
            ::unlink(slot.path);
        }
    }
    static const char message[] = "solvantis: interrupted\n";
    (void)!::write(STDERR_FILENO, message, sizeof message - 1);
    ::signal(signal, SIG_DFL);
    ::raise(signal); // ends the process as the signal would have, once the handler returns
}

// Installs the handler once, for the signals that still have their default action (a SIGHUP that
// nohup ignores stays ignored).
void watchEndingSignals() {
    static const bool installed = [] {
        for (int signal : endingSignals) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
                struct sigaction action {};
                action.sa_handler = removeTemporaries;
                sigemptyset(&action.sa_mask);
                for (int other : endingSignals) {
                    sigaddset(&action.sa_mask, other);
                }
                ::sigaction(signal, &action, nullptr);
            }
        }
        return true;
    }();
    (void)installed;
}

int claimCleanupSlot(const std::string& path) {
    if (path.size() >= PATH_MAX) {
        return -1;
    }
    for (int i = 0; i < int(std::size(cleanupSlots)); ++i) {
        if (!cleanupSlots[i].used) {
            std::memcpy(cleanupSlots[i].path, path.c_str(), path.size() + 1);
            cleanupSlots[i].used = 1;
            watchEndingSignals();
            return i;
        }
    }
    return -1;
}

// Blocks the ending signals for its lifetime, so that a rename and its bookkeeping happen together.
class EndingSignalsHeld {
public:
    EndingSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : endingSignals) {
            sigaddset(&held, signal);
        }
        ::sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~EndingSignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous, nullptr); }
    EndingSignalsHeld(const EndingSignalsHeld&) = delete;
    EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

private:
    sigset_t previous{};
};

std::string describeKind(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a file";
}

} // namespace

std::string extensionOf(const std::string& path) {
    const std::string base = baseOf(path);
    const auto dot = base.find_last_of('.');
    if (dot == std::string::npos || dot == 0) {
        return {};
    }
    std::string extension = base.substr(dot);
    for (char& c : extension) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return extension;
}

int openUnnamedTemporary(const std::string& purpose) {
    // Gone with its descriptor however the process ends.
    const std::string folder = std::filesystem::temp_directory_path().string();
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string pattern = folder + "/solvantis-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(name.data());
        }
    }
    if (fd < 0) {
        throw CliError("cannot make a temporary file in " + quote(folder) + " " + purpose + ": " +
                       std::strerror(errno));
    }
    return fd;
}

OutputTarget::OutputTarget(const std::string& path, bool replaceReadOnly) : shown(path) {
    if (path.empty()) {
        throw CliError("the output file name is empty");
    }
    if (path == "-") {
        shown = "standard output";
        stream = standardOutput = true;
        if (::isatty(STDOUT_FILENO)) {
            throw CliError("standard output is a terminal; send it into a file or a program, or name a file "
                           "with -o");
        }
        return;
    }
    if (path.back() == '/') {
        throw CliError("output path " + quote(path) + " names a folder, not a file");
    }
    resolved = followLinks(path);
    const std::string folder = folderOf(resolved);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        throw CliError("cannot write " + quote(path) + ": the folder " + quote(folder) + " does not exist");
    }
    if (!S_ISDIR(info.st_mode)) {
        throw CliError("cannot write " + quote(path) + ": " + quote(folder) + " is not a folder");
    }
    if (::stat(resolved.c_str(), &info) == 0) {
        existed = true;
        mode = info.st_mode & 07777;
        if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
            stream = true;
        } else if (!S_ISREG(info.st_mode)) {
            throw CliError("cannot write " + quote(path) + ": it is " + describeKind(info.st_mode));
        } else if (!replaceReadOnly && ((mode & 0222) == 0 || ::access(resolved.c_str(), W_OK) != 0)) {
            // The rename needs only the folder's permission; a file its owner protected stays protected.
            throw CliError("cannot write " + quote(path) + ": it is read-only (--force replaces it)");
        }
    }
}

OutputTarget::~OutputTarget() {
    discard();
}

int OutputTarget::open(const std::string& elsewhere) {
    if (temporary >= 0) {
        return temporary;
    }
    if (stream) {
        temporary = openUnnamedTemporary("for " + quote(shown));
        return temporary;
    }
    // Beside the target, so that the final rename cannot cross file systems.
    std::string pattern = folderOf(resolved) + "/." + baseOf(resolved) + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int made = 0; // mkostemp's errno
    {
        // An ending signal that comes while the file is made waits until the handler knows its name: one
        // that ended the process in between would leave the file behind.
        const EndingSignalsHeld held;
        temporary = ::mkostemp(name.data(), O_CLOEXEC);
        made = errno;
        if (temporary >= 0) {
            temporaryPath = name.data();
            cleanupSlot = claimCleanupSlot(temporaryPath);
        }
    }
    errno = made;
    if (temporary < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // Typically the default output beside a MIDI file in someone else's or a read-only folder.
        throw CliError("cannot write " + quote(shown) + ": the folder " + quote(folderOf(resolved)) +
                       " is not writable (" + std::strerror(errno) + ")" +
                       (elsewhere.empty() ? "" : "; " + elsewhere));
    }
    if (temporary < 0) {
        throw CliError("cannot write " + quote(shown) + ": " + std::strerror(errno));
    }
    mode_t permissions = mode;
    if (!existed) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        permissions = 0666 & ~mask;
    }
    (void)::fchmod(temporary, permissions);
    return temporary;
}

void OutputTarget::discard() {
    if (temporary >= 0) {
        ::close(temporary);
        temporary = -1;
    }
    if (!temporaryPath.empty()) {
        ::unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
    if (cleanupSlot >= 0) {
        cleanupSlots[cleanupSlot].used = 0;
        cleanupSlot = -1;
    }
}

void OutputTarget::refuseToReplace(const std::string& input, const std::string& what) const {
    if (input.empty() || standardOutput) {
        return;
    }
    struct stat out {};
    struct stat in {};
    if (resolved == input || (::stat(resolved.c_str(), &out) == 0 && ::stat(input.c_str(), &in) == 0 &&
                              out.st_dev == in.st_dev && out.st_ino == in.st_ino)) {
        throw CliError("the output file would replace the " + what + " " + quote(input));
    }
}

void OutputTarget::commit() {
    if (temporary < 0) {
        throw CliError("nothing was written for " + quote(shown));
    }
    if (!stream) {
        if (::fsync(temporary) != 0 && errno != EINVAL) {
            const std::string why = std::strerror(errno);
            discard();
            throw CliError("cannot write " + quote(shown) + ": " + why);
        }
        const int closed = ::close(temporary);
        temporary = -1;
        if (closed != 0 && errno != EINTR) {
            const std::string why = std::strerror(errno);
            discard();
            throw CliError("cannot write " + quote(shown) + ": " + why);
        }
        // A signal during the rename waits until the temporary file is no longer ours to remove.
        EndingSignalsHeld held;
        if (::rename(temporaryPath.c_str(), resolved.c_str()) != 0) {
            const std::string why = std::strerror(errno);
            discard();
            throw CliError("cannot write " + quote(shown) + ": " + why);
        }
        temporaryPath.clear();
        discard();
        return;
    }
    // Opening a FIFO waits for its reader, as any writer does; a device is written where it stands.
    const int out = standardOutput ? STDOUT_FILENO : ::open(resolved.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) {
        const std::string why = std::strerror(errno);
        discard();
        throw CliError("cannot write " + quote(shown) + ": " + why);
    }
    std::string failure;
    if (::lseek(temporary, 0, SEEK_SET) != 0) {
        failure = std::strerror(errno);
    }
    std::vector<char> chunk(1 << 16);
    while (failure.empty()) {
        const ssize_t n = ::read(temporary, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failure = std::strerror(errno);
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t done = 0; done < n && failure.empty();) {
            const ssize_t w = ::write(out, chunk.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                failure = w < 0 ? std::strerror(errno) : "nothing written";
            } else {
                done += w;
            }
        }
    }
    if (!standardOutput && ::close(out) != 0 && errno != EINTR && failure.empty()) {
        failure = std::strerror(errno);
    }
    discard();
    if (!failure.empty()) {
        throw CliError("cannot write " + quote(shown) + ": " + failure);
    }
}

} // namespace solvantis
