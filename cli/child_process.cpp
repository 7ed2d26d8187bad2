#include "child_process.h"

#include "cli_error.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace solvantis {

namespace {

volatile sig_atomic_t interruptSignal = 0;

void onInterrupt(int signal) {
    interruptSignal = signal;
}

// The user's interrupt handlers for as long as a child runs; the previous ones come back after.
class InterruptGuard {
public:
    InterruptGuard() {
        interruptSignal = 0;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: poll returns at once
        ::sigaction(SIGINT, &action, &previousInt);
        ::sigaction(SIGTERM, &action, &previousTerm);
    }
    ~InterruptGuard() {
        ::sigaction(SIGINT, &previousInt, nullptr);
        ::sigaction(SIGTERM, &previousTerm, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
};

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

} // namespace

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

std::string ChildOutcome::describe() const {
    switch (kind) {
    case Kind::Crashed:
        return "the plug-in crashed (" + signalName(signal) + ")" + where(site);
    case Kind::Hung: {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", hungSeconds);
        return "the plug-in hung" + where(site) + " (no answer for " + text + ")";
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
    if (::pipe(pipeEnds) != 0) {
        return outcome;
    }
    InterruptGuard interrupts;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return outcome;
    }
    if (child == 0) {
        ::close(pipeEnds[0]);
        enterPluginChild();
        // The parent decides what an interrupt does; the child ends with it.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int code = 70;
        try {
            code = work(shared.get(), pipeEnds[1]);
        } catch (...) {
            code = 70;
        }
        ::close(pipeEnds[1]);
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    ::close(pipeEnds[1]);

    const CallSite& site = shared.get();
    using Clock = std::chrono::steady_clock;
    uint64_t lastCalls = site.calls;
    auto lastChange = Clock::now();
    bool open = true;
    char chunk[65536];
    while (open) {
        pollfd reader{pipeEnds[0], POLLIN, 0};
        const int ready = ::poll(&reader, 1, 100);
        if (interruptSignal != 0) {
            ::kill(child, SIGKILL);
            outcome.kind = ChildOutcome::Kind::Interrupted;
            outcome.signal = interruptSignal;
            break;
        }
        if (ready > 0) {
            const ssize_t n = ::read(pipeEnds[0], chunk, sizeof chunk);
            if (n > 0) {
                outcome.payload.append(chunk, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                open = false;
            }
        }
        if (options.onProgress) {
            options.onProgress(site);
        }
        const auto now = Clock::now();
        if (site.calls != lastCalls || !site.inside) {
            lastCalls = site.calls;
            lastChange = now;
        } else if (options.hangSeconds > 0.0 &&
                   std::chrono::duration<double>(now - lastChange).count() > options.hangSeconds) {
            ::kill(child, SIGKILL);
            outcome.kind = ChildOutcome::Kind::Hung;
            outcome.hungSeconds = options.hangSeconds;
            break;
        }
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::memcpy(static_cast<void*>(&outcome.site), static_cast<const void*>(&site), sizeof site);
    if (outcome.kind == ChildOutcome::Kind::Interrupted || outcome.kind == ChildOutcome::Kind::Hung) {
        return outcome;
    }
    if (WIFSIGNALED(status)) {
        outcome.kind = ChildOutcome::Kind::Crashed;
        outcome.signal = WTERMSIG(status);
    } else {
        outcome.kind = ChildOutcome::Kind::Finished;
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        throw CliError("the plug-in ended its process (exit status " + std::to_string(outcome.exitCode) +
                       ")" + where(outcome.site));
    }
    return outcome.payload.substr(1);
}

} // namespace solvantis
