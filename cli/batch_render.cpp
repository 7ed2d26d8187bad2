#include "batch_render.h"
#include "printable.h"
#include "standard_output.h"

#include "cli_error.h"
#include "output_target.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace solvantis {

namespace {

std::string extensionLower(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

const char* bitsName(SampleBits bits) {
    return bits == SampleBits::Int16 ? "16" : bits == SampleBits::Int24 ? "24" : "float";
}

// The object of a file that failed: only its input, output and error.
std::string failedJson(const std::string& input, const std::string& output, const std::string& error) {
    nlohmann::ordered_json failed;
    failed["input"] = input;
    failed["output"] = output;
    failed["ok"] = false;
    failed["error"] = error;
    return failed.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Renders one file and prints what it came to; false when it failed.
bool renderOne(const BatchOptions& batch, const RenderOptions& options) {
    const std::string input = options.midiPath.empty() ? "(demo)" : options.midiPath;
    try {
        const RenderSummary summary = runRender(options);
        const std::vector<std::string> warnings = renderWarnings(summary, options.maxLengthSeconds);
        if (!batch.quiet) {
            for (const std::string& warning : warnings) {
                std::fprintf(stderr, "solvantis: warning: %s%s\n", printable(options.warningPrefix).c_str(),
                             printable(warning).c_str());
            }
        }
        // With the audio on standard output, the summary goes to standard error.
        std::FILE* out = summary.toStandardOutput ? stderr : stdout;
        if (batch.json) {
            // The warning for one note at a time was printed before the render; the object holds it too.
            std::vector<std::string> all = warnings;
            if (summary.stats.monoWarning) {
                all.insert(all.begin(), monoWarningLine(summary.stats));
            }
            std::fprintf(out, "%s\n",
                         renderJson(summary, options, all)
                             .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                             .c_str());
        } else if (!batch.quiet) {
            std::fprintf(out, "%s\n", printable(summaryLine(summary)).c_str());
        }
        if (out == stdout) {
            flushStandardOutput();
        } else {
            std::fflush(out);
        }
        return true;
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception& e) {
        // In a batch the line names its file, unless the message does already.
        const std::string what = e.what();
        const bool named = what.find("'" + input + "'") != std::string::npos;
        std::fprintf(stderr, "solvantis: %s%s\n", printable(named ? "" : options.warningPrefix).c_str(),
                     printable(what).c_str());
        if (batch.json) {
            std::printf("%s\n", failedJson(input, options.outputPath, what).c_str());
        }
        flushStandardOutput();
        return false;
    }
}

// An unnamed temporary file for a render process's lines; -1 when none can be made (the process then
// prints straight to standard output).
int heldLines() {
    try {
        return openUnnamedTemporary("for a render's lines");
    } catch (const CliError&) {
        return -1;
    }
}

// Copies what a render process printed to standard output, whole (the lines of two renders never
// mix, however long they are), then closes the file.
void printAndClose(int fd) {
    flushStandardOutput();
    char chunk[1 << 14];
    ssize_t n = 0;
    if (::lseek(fd, 0, SEEK_SET) == 0) {
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) {
                std::fwrite(chunk, 1, size_t(n), stdout);
            }
        }
    }
    flushStandardOutput();
    ::close(fd);
}

// Starts this program again to render the item-th input alone, its standard output into `out` (-1:
// this program's own) and its signal mask as it was before the batch blocked the ending signals.
pid_t startItem(const BatchOptions& batch, size_t item, int out, const sigset_t& mask) {
    std::vector<std::string> arguments = batch.arguments;
    const auto render = std::find(arguments.begin() + 1, arguments.end(), "render");
    if (render == arguments.end()) {
        throw CliError("cannot find the render command in the command line");
    }
    arguments.insert(render + 1, {"--batch-item", std::to_string(item)});
    std::vector<char*> argv;
    for (std::string& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (out >= 0) {
        ::posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    }
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setsigmask(&attributes, &mask);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int error = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw CliError(std::string("cannot start a render process: ") + std::strerror(error));
    }
    return pid;
}

// Renders the inputs, `jobs` processes at a time; returns how many failed. What each process prints
// to standard output (its summary line or JSON object) is held until those of the inputs before it
// are printed, so the lines come in the order of the inputs whichever render finishes first.
//
// The ending signals (INT, TERM, HUP, QUIT; an ignored HUP or QUIT stays ignored, as under nohup) are
// held and waited for with the ends of the renders, and passed on to every render process, which
// removes its temporary file and ends; the batch ends once all have.
size_t runInProcesses(const BatchOptions& batch, const std::vector<std::string>& outputs) {
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGCHLD);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current {};
        if ((signal == SIGHUP || signal == SIGQUIT) && ::sigaction(signal, nullptr, &current) == 0 &&
            current.sa_handler == SIG_IGN) {
            continue;
        }
        sigaddset(&waited, signal);
    }
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &waited, &previous);
    becomeSubreaper(); // what a render process leaves behind comes back here and is ended
    int interruptedBy = 0;
    const size_t count = batch.inputs.size();
    std::map<pid_t, size_t> running;
    std::vector<int> printed(count, -1); // each input's standard output, until it is shown
    std::vector<bool> finished(count, false);
    size_t next = 0, failed = 0, shown = 0;
    while (next < count || !running.empty()) {
        while (interruptedBy == 0 && next < count && running.size() < size_t(batch.jobs)) {
            printed[next] = heldLines();
            running[startItem(batch, next, printed[next], previous)] = next;
            ++next;
        }
        int status = 0;
        const pid_t done = ::waitpid(-1, &status, WNOHANG);
        if (done <= 0) {
            if (running.empty()) {
                break;
            }
            // Until a render ends or an ending signal comes; none is lost, as both are held.
            siginfo_t info{};
            const int signal = ::sigwaitinfo(&waited, &info);
            if (signal > 0 && signal != SIGCHLD) {
                interruptedBy = interruptedBy == 0 ? signal : interruptedBy;
                for (const auto& entry : running) {
                    ::kill(entry.first, signal);
                }
                next = count;
            }
            continue;
        }
        const auto item = running.find(done);
        if (item == running.end()) {
            continue;
        }
        const size_t i = item->second;
        running.erase(item);
        finished[i] = true;
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            ++failed;
            // A process that ended without a word still gets its line, and its object in the JSON;
            // one the user's signal ended has said "interrupted" itself.
            if (interruptedBy == 0 && (printed[i] < 0 || ::lseek(printed[i], 0, SEEK_END) == 0)) {
                const std::string why =
                    WIFSIGNALED(status)
                        ? "the render process ended by signal " + std::to_string(WTERMSIG(status))
                        : "the render process ended with status " + std::to_string(WEXITSTATUS(status));
                std::fprintf(stderr, "solvantis: %s: %s\n", printable(batch.inputs[i]).c_str(), why.c_str());
                const std::string object = failedJson(batch.inputs[i], outputs[i], why) + "\n";
                if (batch.json && (printed[i] < 0 || ::write(printed[i], object.data(), object.size()) < 0)) {
                    std::fputs(object.c_str(), stdout);
                }
            }
        }
        for (; shown < count && finished[shown]; ++shown) {
            if (printed[shown] >= 0) {
                printAndClose(printed[shown]);
                printed[shown] = -1;
            }
        }
    }
    // After an interrupt: what the finished ones printed, still in order.
    for (size_t i = shown; i < count; ++i) {
        if (printed[i] >= 0) {
            if (finished[i]) {
                printAndClose(printed[i]);
            } else {
                ::close(printed[i]);
            }
        }
    }
    endStrayChildren();
    // Signals that came after the last render ended are answered by the one already noted.
    const timespec now{0, 0};
    while (::sigtimedwait(&waited, nullptr, &now) > 0) {
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (interruptedBy != 0) {
        throw Interrupted(interruptedBy);
    }
    return failed;
}

// The name that tells two outputs apart: "./a.wav" and "a.wav" are the same file.
std::string outputKey(const std::string& name) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(name, ignored);
    return (ignored ? std::filesystem::path(name) : absolute).lexically_normal().string();
}

} // namespace

FileKind fileKind(const std::string& path) {
    char head[4] = {};
    // Only a regular file is looked into: a pipe or a device would block here or lose the bytes read.
    struct stat info {};
    std::ifstream in;
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        in.open(path, std::ios::binary);
    }
    if (in.is_open() && in.read(head, sizeof head)) {
        if (std::memcmp(head, "MThd", 4) == 0) {
            return FileKind::Midi;
        }
        if (std::memcmp(head,
                        "\x7f"
                        "ELF",
                        4) == 0 ||
            std::memcmp(head, "MZ", 2) == 0 || std::memcmp(head, "\xcf\xfa\xed\xfe", 4) == 0) {
            return FileKind::Plugin;
        }
    }
    const std::string extension = extensionLower(path);
    if (extension == ".mid" || extension == ".midi" || extension == ".smf" || extension == ".kar") {
        return FileKind::Midi;
    }
    if (extension == ".so" || extension == ".dll" || extension == ".vst" || extension == ".dylib") {
        return FileKind::Plugin;
    }
    return FileKind::Other;
}

std::vector<std::string> batchOutputs(const BatchOptions& batch, const RenderOptions& options) {
    const std::string& o = batch.output;
    // A folder only where the name says so with its closing slash: "-o take" never writes into take/.
    const bool folder = !o.empty() && o.back() == '/';
    if (batch.inputs.size() > 1 && !o.empty() && !folder) {
        throw CliError("-o '" + o + "' names one file for " + std::to_string(batch.inputs.size()) +
                       " MIDI files; give a folder (-o " + o + "/) or render them one by one");
    }
    std::vector<std::string> outputs;
    if (!folder) {
        outputs.assign(std::max<size_t>(batch.inputs.size(), 1), o); // "" leaves the name to the render
        if (o.empty()) {
            // The default names ("a.mid" and "a.midi" both give "a.wav") are checked as a folder's are.
            std::map<std::string, std::string> taken;
            for (const std::string& input : batch.inputs) {
                const std::string name = defaultOutputPath(input, options.format);
                if (input != "-" && !taken.emplace(outputKey(name), input).second) {
                    throw CliError("'" + taken[outputKey(name)] + "' and '" + input +
                                   "' would both be written to '" + name +
                                   "'; name the outputs with -o DIR/ or render them one by one");
                }
            }
        }
        return outputs;
    }
    const std::string extension = options.format == AudioFormat::Flac ? ".flac" : ".wav";
    std::map<std::string, std::string> taken;
    const std::vector<std::string> inputs =
        batch.inputs.empty() ? std::vector<std::string>{"solvantis-demo"} : batch.inputs;
    for (const std::string& input : inputs) {
        const std::string name =
            (std::filesystem::path(o) / std::filesystem::path(input).stem()).string() + extension;
        if (!taken.emplace(outputKey(name), input).second) {
            throw CliError("'" + taken[outputKey(name)] + "' and '" + input + "' would both be written to '" +
                           name + "'; render them into different folders");
        }
        outputs.push_back(name);
    }
    return outputs;
}

nlohmann::ordered_json renderJson(const RenderSummary& summary, const RenderOptions& options,
                                  const std::vector<std::string>& warnings) {
    const RenderStats& s = summary.stats;
    nlohmann::ordered_json j;
    j["input"] = options.midiPath.empty() ? "(demo)" : options.midiPath;
    j["output"] = summary.outputPath;
    j["ok"] = true;
    j["plugin"] = {{"name", s.pluginName},
                   {"vendor", s.pluginVendor},
                   {"version", s.pluginVersion},
                   {"path", summary.pluginPath}};
    j["rate"] = s.sampleRate;
    j["bits"] = bitsName(options.bits);
    j["channels"] = s.channels;
    j["frames"] = s.frames;
    j["seconds"] = summary.seconds;
    j["peakDbfs"] = s.peak > 0.0f
                        ? nlohmann::ordered_json(std::round(200.0 * std::log10(double(s.peak))) / 10.0)
                        : nlohmann::ordered_json();
    j["gainDb"] = s.gainDecibels;
    j["clippedSamples"] = s.clippedSamples;
    nlohmann::ordered_json channels = nlohmann::ordered_json::array(),
                           tracks = nlohmann::ordered_json::array();
    for (int i = 0; i < 32; ++i) {
        if (i < 16 && (s.channelsPlayed & (1u << i)) != 0) {
            channels.push_back(i + 1);
        }
        if ((s.tracksPlayed & (1u << i)) != 0) {
            tracks.push_back(i + 1);
        }
    }
    j["channelsPlayed"] = channels;
    j["tracksPlayed"] = tracks;
    j["realTimeFactor"] = summary.realTimeFactor;
    j["warnings"] = warnings;
    return j;
}

int runBatch(const BatchOptions& batch, const RenderOptions& given) {
    const std::vector<std::string> outputs = batchOutputs(batch, given);
    const bool folder = !batch.output.empty() && batch.output.back() == '/';
    if (folder && batch.item < 0) {
        std::error_code failed;
        std::filesystem::create_directories(batch.output, failed);
        if (failed) {
            throw CliError("cannot make the folder '" + batch.output + "': " + failed.message());
        }
    }
    auto optionsFor = [&](size_t i) {
        RenderOptions options = given;
        options.midiPath = batch.inputs.empty() ? std::string() : batch.inputs[i];
        options.outputPath = outputs[i];
        options.quiet = batch.quiet;
        if (batch.inputs.size() > 1) {
            options.warningPrefix = options.midiPath + ": ";
        }
        return options;
    };
    if (batch.item >= 0) {
        if (size_t(batch.item) >= outputs.size()) {
            throw CliError("--batch-item " + std::to_string(batch.item) + " is not one of the files");
        }
        RenderOptions options = optionsFor(size_t(batch.item));
        options.showProgress = false;
        return renderOne(batch, options) ? 0 : 1;
    }
    size_t failed = 0;
    if (batch.jobs > 1 && batch.inputs.size() > 1) {
        failed = runInProcesses(batch, outputs);
    } else {
        for (size_t i = 0; i < outputs.size(); ++i) {
            failed += renderOne(batch, optionsFor(i)) ? 0 : 1;
        }
    }
    if (batch.inputs.size() > 1 && !batch.quiet && !batch.json) {
        std::printf("%zu files: %zu rendered, %zu failed\n", batch.inputs.size(),
                    batch.inputs.size() - failed, failed);
    }
    return failed == 0 ? 0 : 1;
}

} // namespace solvantis
