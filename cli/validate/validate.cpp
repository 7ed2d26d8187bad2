// The validate command: the table of checks, and running each one in a child process of its own.
#include "validate.h"

#include "validate/check.h"
#include "validate/runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <unistd.h>

namespace solvantis {

using namespace validation;

namespace {

using Clock = std::chrono::steady_clock;

struct Check {
    const char* name;
    Outcome (*run)(const CheckContext&);
    bool needsAudio;         // skipped when the record's counts are implausible
    bool needsOutputs;       // skipped when there is no output to look at
    bool crashIsWarning;     // plug-ins may rightly crash on what this check sends
    const char* description; // one line for --list
};

// Every check, in the order they run.
const std::vector<Check>& checks() {
    static const std::vector<Check> all = {
        {"record", checkRecord, false, false, false,
         "the effect record's magic, counts, flags, unique ID, category and identity texts"},
        {"host-order", checkHostOrder, true, true, false,
         "open, sample rate, block size, switch on, play, switch off, close, in a host's order"},
        {"rates-and-blocks", checkRatesAndBlocks, true, true, false,
         "44100, 48000 and 96000 Hz with blocks of 1 to 4096 frames: finite output"},
        {"sample-rates", checkSampleRates, true, true, false,
         "every common rate from 8000 to 384000 Hz, each from a fresh instance: finite output"},
        {"silence-before-notes", checkSilence, true, true, false,
         "pre-filled buffers overwritten, and silence before any note"},
        {"notes-every-offset", checkEveryOffset, true, true, false,
         "notes on and off at every frame of a block: finite, nothing written past the block"},
        {"pitch-bend", checkPitchBend, true, true, false,
         "pitch bend to both ends, before and during notes, on channels 1 and 16"},
        {"controllers", checkControllers, true, true, false,
         "controllers 1, 7 and 120 to 127 at 0, 64 and 127 while notes play"},
        {"process-entries-agree", checkEntriesAgree, true, true, false,
         "process over cleared buffers gives the same samples as processReplacing"},
        {"determinism", checkDeterminism, true, true, false,
         "two fresh instances given the same events give the same samples (a difference warns)"},
        {"independence", checkIndependence, true, true, false,
         "an instance plays the same while another one plays other notes with other settings"},
        {"block-size-independence", checkBlockSizes, true, true, false,
         "a phrase at blocks of 16, 64, 512, 4096 and random sizes: every note at the same level"},
        {"parameter-texts", checkParameterTexts, true, false, false,
         "parameter names, labels and displays end inside a 64-byte buffer"},
        {"parameter-values", checkParameterValues, true, false, false,
         "parameter values set are read back within 0 to 1"},
        {"programs", checkPrograms, true, false, false,
         "program names end inside the buffer; selecting a program reads back"},
        {"program-changes-playing", checkProgramChanges, true, true, false,
         "program changes between blocks and by MIDI while notes play: finite output"},
        {"automation", checkAutomation, true, true, false,
         "random values on every parameter every 32 frames: finite output below +24 dBFS"},
        {"parameter-sweeps", checkParameterSweeps, true, true, false,
         "each parameter swept from 1 to 0 during a held note: finite output"},
        {"hostile-values", checkHostileValues, true, true, false,
         "NaN, infinities and 1e30 set and put back: finite output, and the next note sounds"},
        {"changes-from-another-thread", checkConcurrentChanges, true, true, false,
         "a second thread changes parameters and programs during 32-frame blocks"},
        {"out-of-range", checkOutOfRange, true, false, false,
         "out-of-range parameter, program and pin indices answered without harm"},
        {"null-pointers", checkNullPointers, true, false, true,
         "null text pointers (with --strict; a crash here is a warning)"},
        {"zero-frames", checkZeroFrames, true, false, false,
         "process calls of zero frames write nothing (with --strict)"},
        {"open-close-cycles", checkOpenClose, true, false, false,
         "100 cycles of open, switch on, one block, switch off, close"},
        {"audio-allocation", checkAllocation, true, false, false,
         "no heap allocation or release inside effProcessEvents and the process calls"},
    };
    return all;
}

// The call an exception came out of, for its report.
std::string lastCall() {
    const std::string call = tracedCall();
    return call.empty() ? std::string() : " (" + call + ")";
}

Outcome guarded(const Check& check, const CheckContext& context) {
    try {
        return check.run(context);
    } catch (const PluginLoadError& e) {
        return fail(std::string("a further instance could not be made: ") + e.what());
    } catch (const std::exception& e) {
        return fail(std::string("an exception came out of the plug-in: ") + e.what() + lastCall());
    } catch (...) {
        return fail("an exception came out of the plug-in" + lastCall());
    }
}

// Runs the check in a child process: a crash, an abort or a hang then fails this check alone.
Outcome isolated(const Check& check, const CheckContext& context, unsigned timeoutSeconds) {
    const ChildResult child = runInChild(
        [&] {
            const Outcome outcome = guarded(check, context);
            return std::string(1, char('0' + int(outcome.status))) + outcome.reason;
        },
        timeoutSeconds);
    if (!child.started) {
        return guarded(check, context);
    }
    if (!child.finished) {
        if (check.crashIsWarning && child.failure.rfind("the plug-in crashed", 0) == 0) {
            return warn(child.failure + " (allowed: a host must not send these)");
        }
        return fail(child.failure);
    }
    const std::string& message = child.bytes;
    if (message.empty() || message[0] < '0' || message[0] > '3') {
        return fail("the check ended without a result");
    }
    return {CheckStatus(message[0] - '0'), message.substr(1)};
}

// Runs `body` with standard output sent to standard error, so that a chatty plug-in cannot mix its
// text into the report.
template <typename F> void quietly(F body) {
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    if (saved >= 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    auto restore = [&] {
        std::fflush(stdout);
        if (saved >= 0) {
            ::dup2(saved, STDOUT_FILENO);
            ::close(saved);
        }
    };
    try {
        body();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

RecordFacts readFacts(PluginHost& host) {
    const AEffect* e = host.effect();
    RecordFacts facts;
    facts.numParams = e->numParams;
    facts.numPrograms = e->numPrograms;
    facts.numInputs = e->numInputs;
    facts.numOutputs = e->numOutputs;
    facts.synth = host.isSynth();
    facts.canReplace = host.canReplace();
    facts.hasProcess = e->process != nullptr;
    facts.plausible = e->dispatcher != nullptr && e->numParams >= 0 && e->numPrograms >= 0 &&
                      e->numInputs >= 0 && e->numOutputs >= 0 && e->numParams <= maxPlausibleParams &&
                      e->numPrograms <= maxPlausiblePrograms && e->numInputs <= maxPlausiblePins &&
                      e->numOutputs <= maxPlausiblePins && (facts.canReplace || facts.hasProcess) &&
                      (e->numParams == 0 || (e->setParameter != nullptr && e->getParameter != nullptr));
    return facts;
}

// Whether the check runs under --only and --skip; unknown names are an error.
bool selected(const std::string& name, const ValidateOptions& options) {
    const auto named = [&](const std::vector<std::string>& list) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    return (options.only.empty() || named(options.only)) && !named(options.skip);
}

void checkSelection(const ValidateOptions& options) {
    for (const auto* list : {&options.only, &options.skip}) {
        for (const std::string& name : *list) {
            const auto& names = checkNames();
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                std::string known;
                for (const std::string& n : names) {
                    known += (known.empty() ? "" : ", ") + n;
                }
                throw CliError("no check is called '" + name + "' (the checks: " + known + ")");
            }
        }
    }
}

// Runs the first load in a child process and brings back what it learnt. A load error is thrown here
// as it would be in-process; a crash or hang is returned as text.
static_assert(std::is_trivially_copyable_v<RecordFacts>, "the facts cross a pipe as bytes");

template <typename F>
std::string loadedInChild(F load, RecordFacts& facts, std::string& effectName, unsigned timeoutSeconds) {
    const ChildResult child = runInChild(
        [&] {
            try {
                load();
            } catch (const PluginLoadError& e) {
                return "E" + std::to_string(int(e.reason)) + " " + e.what();
            }
            std::string bytes = "F";
            bytes.append(reinterpret_cast<const char*>(&facts), sizeof facts);
            return bytes + effectName;
        },
        timeoutSeconds);
    if (!child.started) {
        quietly(load);
        return {};
    }
    if (!child.finished || child.bytes.empty()) {
        return child.failure.empty() ? "the load ended without a result" : child.failure;
    }
    if (child.bytes[0] == 'E') {
        const size_t space = child.bytes.find(' ');
        throw PluginLoadError(PluginLoadError::Reason(std::stoi(child.bytes.substr(1, space - 1))),
                              child.bytes.substr(space + 1));
    }
    if (child.bytes.size() < 1 + sizeof facts) {
        return "the load ended without a result";
    }
    std::memcpy(&facts, child.bytes.data() + 1, sizeof facts);
    effectName = child.bytes.substr(1 + sizeof facts);
    return {};
}

} // namespace

std::string checkList() {
    std::string text;
    for (const Check& c : checks()) {
        char line[256];
        std::snprintf(line, sizeof line, "%-28s %s\n", c.name, c.description);
        text += line;
    }
    return text;
}

const std::vector<std::string>& checkNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const Check& c : checks()) {
            list.emplace_back(c.name);
        }
        return list;
    }();
    return names;
}

ValidateReport runValidate(const ValidateOptions& options) {
    checkSelection(options);
    const auto started = Clock::now();
    startCallTrace();
    ValidateReport report;
    report.pluginPath = options.pluginPath;
    CheckContext context;
    context.path = options.pluginPath;
    context.strict = options.strict;
    const auto firstLoad = [&] {
        PluginHost host(options.pluginPath);
        context.facts = readFacts(host);
        if (host.effect()->dispatcher != nullptr) {
            report.effectName = host.getEffectName();
            host.close();
        }
    };
    // A plug-in that crashes or hangs as it loads fails the record check, and the others cannot run.
    std::string loadFailure;
    if (options.isolate) {
        loadFailure = loadedInChild(firstLoad, context.facts, report.effectName, options.timeoutSeconds);
    } else {
        quietly(firstLoad);
    }
    for (const Check& check : checks()) {
        if (!selected(check.name, options)) {
            continue;
        }
        const auto start = Clock::now();
        CheckResult result;
        result.name = check.name;
        Outcome outcome;
        if (!loadFailure.empty()) {
            outcome = check.run == checkRecord ? fail("loading it: " + loadFailure)
                                               : skip("the plug-in could not be loaded (see record)");
        } else if (check.needsAudio && !context.facts.plausible) {
            outcome = skip("the record is not usable (see record)");
        } else if (check.needsOutputs && context.facts.numOutputs == 0) {
            outcome = skip("no outputs to listen to");
        } else if (options.isolate) {
            startCallTrace();
            outcome = isolated(check, context, options.timeoutSeconds);
        } else {
            quietly([&] { outcome = guarded(check, context); });
        }
        result.status = outcome.status;
        result.reason = outcome.reason;
        // Plug-in texts quoted in a reason keep the report one line per check.
        std::replace_if(
            result.reason.begin(), result.reason.end(), [](char c) { return c >= 0 && c < ' '; }, '?');
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        report.checks.push_back(result);
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return report;
}

} // namespace solvantis
