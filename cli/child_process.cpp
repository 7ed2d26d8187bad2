#include "child_process.h"

#include "cli_error.h"
#include "standard_output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace solvantis {

namespace {

volatile sig_atomic_t interruptSignal = 0;

void onInterrupt(int signal) {
    interruptSignal = signal;
}

// The signals that end the command: the user's Ctrl-C, a kill, a closed terminal, Ctrl-\\.
constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The user's interrupt handlers for as long as a child runs; the previous ones come back after.
class InterruptGuard {
public:
    InterruptGuard() {
        interruptSignal = 0;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: poll returns at once
        for (size_t i = 0; i < std::size(endingSignals); ++i) {
            // An ignored SIGHUP or SIGQUIT stays ignored (nohup's SIGHUP); SIGINT and SIGTERM always stop
            // the render, also in a script's background job, whose shell ignores SIGINT for it.
            const bool keepIgnored = endingSignals[i] == SIGHUP || endingSignals[i] == SIGQUIT;
            if (::sigaction(endingSignals[i], nullptr, &previous[i]) == 0 &&
                !(keepIgnored && previous[i].sa_handler == SIG_IGN)) {
                ::sigaction(endingSignals[i], &action, nullptr);
            }
        }
    }
    ~InterruptGuard() {
        for (size_t i = 0; i < std::size(endingSignals); ++i) {
            ::sigaction(endingSignals[i], &previous[i], nullptr);
        }
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previous[std::size(endingSignals)]{};
};

// Set in a plug-in child: children it makes stay in its process group, and its exit() is noticed.
bool insidePluginChild = false;
CallSite* exitWatch = nullptr;

void noteExit() {
    if (exitWatch != nullptr) {
        exitWatch->exitCalled = 1;
    }
}

// A descriptor that becomes readable when the child ends, where the kernel has them (-1 otherwise).
int childWatch(pid_t child) {
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, child, 0));
#else
    (void)child;
    return -1;
#endif
}

// Whether the child has ended, leaving it unreaped so that its process group id stays taken.
bool hasEnded(pid_t child) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
}

// One CallSite in memory that parent and child both see.
class SharedSite {
public:
    SharedSite() {
        void* memory =
            ::mmap(nullptr, sizeof(CallSite), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        site = memory == MAP_FAILED ? &fallback : new (memory) CallSite;
    }
    ~SharedSite() {
        if (site != &fallback) {
            ::munmap(site, sizeof(CallSite));
        }
    }
    SharedSite(const SharedSite&) = delete;
    SharedSite& operator=(const SharedSite&) = delete;
    CallSite& get() { return *site; }

private:
    CallSite fallback;
    CallSite* site = nullptr;
};

std::string seconds(int64_t frame, int32_t rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(frame) / double(rate));
    return text;
}

// " in processReplacing at 12.3 s", " in effOpen", " after effClose", or "".
std::string where(const CallSite& site) {
    std::string text;
    if (site.call[0] != '\0') {
        text += site.inside ? " in " : " after ";
        text += std::string(site.call, strnlen(site.call, sizeof site.call));
    }
    if (site.frame >= 0 && site.sampleRate > 0) {
        text += " at " + seconds(site.frame, site.sampleRate);
    }
    return text;
}

// "the MIDI file 'song.mid'", or "" when the child was not reading a file of its own.
std::string ownWork(const CallSite& site) {
    if (site.ownWork[0] == '\0') {
        return {};
    }
    return std::string(site.ownWork, strnlen(site.ownWork, sizeof site.ownWork)) + " '" +
           std::string(site.ownFile, strnlen(site.ownFile, sizeof site.ownFile)) + "'";
}

// The processes whose parent is this one, zombies included, from /proc.
std::vector<pid_t> childrenOfThisProcess() {
    std::vector<pid_t> found;
    const long self = long(::getpid());
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        char line[512];
        const ssize_t n = ::read(fd, line, sizeof line - 1);
        ::close(fd);
        if (n <= 0) {
            continue;
        }
        line[n] = '\0';
        // "pid (name) state ppid ...": the name may hold blanks and parentheses, so the last ')' ends it.
        const char* close = std::strrchr(line, ')');
        char state = 0;
        long parent = 0;
        if (close != nullptr && std::sscanf(close + 1, " %c %ld", &state, &parent) == 2 && parent == self) {
            found.push_back(pid_t(pid));
        }
    }
    ::closedir(proc);
    return found;
}

// Closes every descriptor from 3 up, except those in `keep`.
void closeAllBut(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned from = 3;
    const auto closeRange = [](unsigned first, unsigned last) {
        if (::close_range(first, last, 0) != 0) {
            const long most = std::min<long>(::sysconf(_SC_OPEN_MAX), 65536);
            for (long fd = first; fd <= most && fd <= long(last); ++fd) {
                ::close(int(fd));
            }
        }
    };
    for (int fd : keep) {
        if (fd < int(from)) {
            continue;
        }
        if (unsigned(fd) > from) {
            closeRange(from, unsigned(fd) - 1);
        }
        from = unsigned(fd) + 1;
    }
    closeRange(from, ~0u);
}

} // namespace

void becomeSubreaper() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void endStrayChildren(const std::vector<pid_t>& keep) {
    // A process that forks as fast as it is killed could keep this going; after so many rounds the
    // rest is left to the system.
    for (int round = 0; round < 1000; ++round) {
        std::vector<pid_t> strays;
        for (pid_t pid : childrenOfThisProcess()) {
            if (std::find(keep.begin(), keep.end(), pid) == keep.end()) {
                strays.push_back(pid);
            }
        }
        if (strays.empty()) {
            return;
        }
        for (pid_t pid : strays) {
            ::kill(pid, SIGKILL);
        }
        for (pid_t pid : strays) {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

OwnWorkMark::OwnWorkMark(CallSite* where, const char* work, const std::string& file) : site(where) {
    if (site != nullptr) {
        std::strncpy(site->ownFile, file.c_str(), sizeof site->ownFile - 1);
        std::strncpy(site->ownWork, work, sizeof site->ownWork - 1);
        site->calls = site->calls + 1;
    }
}

OwnWorkMark::~OwnWorkMark() {
    if (site != nullptr) {
        site->ownWork[0] = '\0';
        site->calls = site->calls + 1;
    }
}

void CallSite::enter(const char* name) {
    std::strncpy(call, name, sizeof call - 1);
    call[sizeof call - 1] = '\0';
    calls = calls + 1;
    inside = 1;
}

bool writeAllBytes(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGABRT:
        return "SIGABRT";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGKILL:
        return "SIGKILL";
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGSYS:
        return "SIGSYS";
    default:
        return "signal " + std::to_string(signal);
    }
}

std::string ChildOutcome::what() const {
    // Our own reading of a file: whatever ended it is solvantis's fault, never the plug-in's.
    if (const std::string own = ownWork(site); !own.empty()) {
        char text[48];
        std::snprintf(text, sizeof text, "%g s", hungSeconds);
        switch (kind) {
        case Kind::Crashed:
            return "could not read " + own + ": solvantis crashed (" + signalName(signal) +
                   ") while reading it; a fault of solvantis, not of the plug-in";
        case Kind::Exited:
            return "could not read " + own + ": the process ended while reading it (exit status " +
                   std::to_string(exitCode) + "); a fault of solvantis, not of the plug-in";
        case Kind::Hung:
            return "could not read " + own + " within " + text + "; gave up";
        default:
            break;
        }
    }
    switch (kind) {
    case Kind::Crashed:
        return "the plug-in crashed (" + signalName(signal) + ")";
    case Kind::Exited:
        return site.exitCalled
                   ? "the plug-in called exit(" + std::to_string(exitCode) + ")"
                   : "the plug-in ended its process (exit status " + std::to_string(exitCode) + ")";
    case Kind::Hung: {
        char text[48];
        std::snprintf(text, sizeof text, "%g s", hungSeconds);
        return std::string("the plug-in hung (no answer for ") + text + ")";
    }
    case Kind::Interrupted:
        return "interrupted";
    case Kind::Failed:
        return "could not start the render process: " + std::string(std::strerror(errno));
    case Kind::Finished:
        break;
    }
    return {};
}

std::string ChildOutcome::describe() const {
    if (!ownWork(site).empty()) {
        return what();
    }
    switch (kind) {
    case Kind::Crashed:
    case Kind::Exited:
        return what() + where(site);
    case Kind::Hung: {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", hungSeconds);
        return "the plug-in hung" + where(site) + " (no answer for " + text + ")";
    }
    case Kind::Interrupted:
    case Kind::Failed:
    case Kind::Finished:
        break;
    }
    return what();
}

void enterPluginChild() {
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        ::signal(signal, SIG_DFL);
    }
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
}

ChildOutcome runInChild(const std::function<int(CallSite& site, int resultFd)>& work,
                        const ChildOptions& options) {
    ChildOutcome outcome;
    SharedSite shared;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return outcome;
    }
    int streamEnds[2] = {-1, -1};
    if (options.onStream && ::pipe2(streamEnds, O_CLOEXEC) != 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return outcome;
    }
    const auto closeParentEnds = [&] {
        for (int fd : {pipeEnds[0], streamEnds[0]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    };
    InterruptGuard interrupts;
    flushStandardOutput();
    std::fflush(stderr);
    const bool ownGroup = !insidePluginChild;
    if (ownGroup) {
        becomeSubreaper();
    }
    // The children the caller has already: the ones left once the child ends are the plug-in's.
    const std::vector<pid_t> earlier = ownGroup ? childrenOfThisProcess() : std::vector<pid_t>{};
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        closeParentEnds();
        ::close(pipeEnds[1]);
        if (streamEnds[1] >= 0) {
            ::close(streamEnds[1]);
        }
        return outcome;
    }
    if (child == 0) {
        if (ownGroup) {
            ::setpgid(0, 0);
        }
        closeAllBut({pipeEnds[1], streamEnds[1]});
        enterPluginChild();
        // The parent decides what an interrupt does; the child ends with it.
        for (int signal : endingSignals) {
            ::signal(signal, SIG_DFL);
        }
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(70); // the parent is already gone
        }
        insidePluginChild = true;
        exitWatch = &shared.get();
        shared.get().streamFd = streamEnds[1];
        static const bool watching = std::atexit(noteExit) == 0;
        (void)watching;
        int code = 70;
        try {
            code = work(shared.get(), pipeEnds[1]);
        } catch (...) {
            code = 70;
        }
        shared.get().finished = 1;
        ::close(pipeEnds[1]);
        if (streamEnds[1] >= 0) {
            ::close(streamEnds[1]);
        }
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    if (ownGroup) {
        ::setpgid(child, child); // also here, so that the group exists whichever of the two runs first
    }
    ::close(pipeEnds[1]);
    if (streamEnds[1] >= 0) {
        ::close(streamEnds[1]);
    }
    for (int fd : {pipeEnds[0], streamEnds[0]}) {
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    const int watch = childWatch(child);
    // Ends the child and everything it started; its unreaped pid keeps the group id from being reused.
    const auto killAll = [&] {
        if (!ownGroup || ::kill(-child, SIGKILL) != 0) {
            ::kill(child, SIGKILL);
        }
    };

    const CallSite& site = shared.get();
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    uint64_t lastCalls = site.calls;
    auto lastChange = started;
    bool open = true;
    bool streamOpen = streamEnds[0] >= 0;
    std::exception_ptr streamFailure;
    char chunk[65536];
    // Reads what the pipes hold now; the child's ends may stay open in a process the plug-in forked, so
    // the end of the child is what ends the wait, not the end of the pipes. A bounded number of reads at
    // a time, so that a fast stream still leaves room for the time limits.
    const auto drainPipe = [&](int fd, bool& isOpen, const std::function<void(const char*, size_t)>& take,
                               bool all) {
        for (int reads = 0; isOpen && (all || reads < 64); ++reads) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                take(chunk, size_t(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                isOpen = false;
            } else if (errno == EAGAIN) {
                return;
            }
        }
    };
    const auto drain = [&](bool all) {
        drainPipe(
            pipeEnds[0], open, [&](const char* data, size_t n) { outcome.payload.append(data, n); }, all);
        if (streamOpen && !streamFailure) {
            try {
                drainPipe(streamEnds[0], streamOpen, options.onStream, all);
            } catch (...) {
                streamFailure = std::current_exception();
            }
        }
    };
    for (;;) {
        pollfd fds[3] = {{open ? pipeEnds[0] : -1, POLLIN, 0},
                         {watch, POLLIN, 0},
                         {streamOpen ? streamEnds[0] : -1, POLLIN, 0}};
        ::poll(fds, 3, 100);
        if (interruptSignal != 0) {
            killAll();
            outcome.kind = ChildOutcome::Kind::Interrupted;
            outcome.signal = interruptSignal;
            break;
        }
        drain(false);
        if (streamFailure) {
            killAll();
            break;
        }
        if (options.onProgress) {
            options.onProgress(site);
        }
        if (hasEnded(child)) {
            drain(true);
            break;
        }
        const auto now = Clock::now();
        const bool reading = site.ownWork[0] != '\0';
        const double limit = reading ? options.readSeconds : options.hangSeconds;
        if (site.calls != lastCalls || !(site.inside || reading)) {
            lastCalls = site.calls;
            lastChange = now;
        }
        const double stuck = std::chrono::duration<double>(now - lastChange).count();
        const double running = std::chrono::duration<double>(now - started).count();
        if ((limit > 0.0 && stuck > limit) ||
            (options.timeoutSeconds > 0.0 && running > options.timeoutSeconds)) {
            killAll();
            outcome.kind = ChildOutcome::Kind::Hung;
            outcome.hungSeconds = limit > 0.0 && stuck > limit ? limit : options.timeoutSeconds;
            break;
        }
    }
    if (outcome.kind != ChildOutcome::Kind::Interrupted && outcome.kind != ChildOutcome::Kind::Hung) {
        killAll(); // whatever the plug-in forked goes with the child
    }
    closeParentEnds();
    if (watch >= 0) {
        ::close(watch);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (ownGroup) {
        // What left the group (a new session) came back to this process when the child ended.
        endStrayChildren(earlier);
    }
    std::memcpy(static_cast<void*>(&outcome.site), static_cast<const void*>(&site), sizeof site);
    if (streamFailure) {
        std::rethrow_exception(streamFailure);
    }
    if (outcome.kind == ChildOutcome::Kind::Interrupted || outcome.kind == ChildOutcome::Kind::Hung) {
        return outcome;
    }
    if (WIFSIGNALED(status)) {
        outcome.kind = ChildOutcome::Kind::Crashed;
        outcome.signal = WTERMSIG(status);
    } else {
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.kind = site.finished ? ChildOutcome::Kind::Finished : ChildOutcome::Kind::Exited;
    }
    return outcome;
}

std::string runPluginJob(const std::function<std::string(CallSite& site)>& work,
                         const ChildOptions& options) {
    const ChildOutcome outcome = runInChild(
        [&](CallSite& site, int resultFd) {
            std::string bytes(1, 'S');
            int code = 0;
            try {
                bytes.append(work(site));
            } catch (const std::exception& e) {
                bytes.assign(1, 'E');
                bytes.append(e.what());
                code = 1;
            }
            return writeAllBytes(resultFd, bytes.data(), bytes.size()) ? code : 1;
        },
        options);
    switch (outcome.kind) {
    case ChildOutcome::Kind::Interrupted:
        throw Interrupted(outcome.signal);
    case ChildOutcome::Kind::Crashed:
    case ChildOutcome::Kind::Exited:
    case ChildOutcome::Kind::Hung:
    case ChildOutcome::Kind::Failed:
        throw CliError(outcome.describe());
    case ChildOutcome::Kind::Finished:
        break;
    }
    if (!outcome.payload.empty() && outcome.payload[0] == 'E') {
        throw CliError(outcome.payload.substr(1));
    }
    if (outcome.payload.empty() || outcome.payload[0] != 'S' || outcome.exitCode != 0) {
        // A plug-in that called exit() (or a sanitizer that stopped the child) leaves no result.
        if (const std::string own = ownWork(outcome.site); !own.empty()) {
            throw CliError("could not read " + own + ": the process ended while reading it (exit status " +
                           std::to_string(outcome.exitCode) + "); a fault of solvantis, not of the plug-in");
        }
        throw CliError("the plug-in ended its process (exit status " + std::to_string(outcome.exitCode) +
                       ")" + where(outcome.site));
    }
    return outcome.payload.substr(1);
}

} // namespace solvantis
