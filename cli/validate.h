// The validate command: drives any VST 2 plug-in the way hosts do and reports what went wrong.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace solvantis {

// Pass and Warn do not fail the run; Fail does; Skip means the check does not apply.
enum class CheckStatus { Pass, Warn, Fail, Skip };

// "PASS", "WARN", "FAIL", "SKIP".
const char* statusName(CheckStatus status);

struct CheckResult {
    std::string name;
    CheckStatus status = CheckStatus::Pass;
    std::string reason; // one line
    double seconds = 0.0;
};

struct ValidateOptions {
    std::string pluginPath;
    // Also send what only a careless host sends (null text pointers, zero-frame blocks).
    bool strict = false;
    // Each check runs in a child process, so that a plug-in that crashes fails that check alone.
    bool isolate = true;
    // A check still running after this long fails (isolated runs only).
    unsigned timeoutSeconds = 60;
    // Only these checks (all when empty), and not these; an unknown name is an error (CliError).
    std::vector<std::string> only;
    std::vector<std::string> skip;
};

struct ValidateReport {
    std::string pluginPath;
    std::string effectName;
    std::vector<CheckResult> checks;
    double seconds = 0.0;

    bool failed() const;
    int count(CheckStatus status) const;
};

// The names of the checks, in the order they run.
const std::vector<std::string>& checkNames();

// Each check's name and one line on what it does, one check a line, in the order they run.
std::string checkList();

// Loads the plug-in (throws PluginLoadError when it cannot be loaded) and runs the chosen checks.
ValidateReport runValidate(const ValidateOptions& options);

// The report as a table for a person to read, with a closing summary line.
std::string validateText(const ValidateReport& report);

// The report as one JSON object.
nlohmann::ordered_json validateJson(const ValidateReport& report);

} // namespace solvantis
