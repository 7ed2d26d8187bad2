// The validate report: a table for a person to read, or one JSON object.
#include "printable.h"
#include "validate.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace solvantis {

const char* statusName(CheckStatus status) {
    switch (status) {
    case CheckStatus::Pass:
        return "PASS";
    case CheckStatus::Warn:
        return "WARN";
    case CheckStatus::Fail:
        return "FAIL";
    case CheckStatus::Skip:
        return "SKIP";
    }
    return "?";
}

bool ValidateReport::failed() const {
    return count(CheckStatus::Fail) > 0;
}

int ValidateReport::count(CheckStatus status) const {
    return int(std::count_if(checks.begin(), checks.end(),
                             [status](const CheckResult& c) { return c.status == status; }));
}

std::string validateText(const ValidateReport& report) {
    size_t width = 0;
    for (const CheckResult& c : report.checks) {
        width = std::max(width, c.name.size());
    }
    std::ostringstream out;
    out << "validating " << printable(report.pluginPath);
    if (!report.effectName.empty()) {
        out << " (" << printable(report.effectName) << ")";
    }
    out << "\n";
    for (const CheckResult& c : report.checks) {
        out << statusName(c.status) << "  " << c.name << std::string(width - c.name.size() + 2, ' ')
            << c.reason << "\n";
    }
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.2f", report.seconds);
    out << report.count(CheckStatus::Pass) << " passed, " << report.count(CheckStatus::Warn) << " warned, "
        << report.count(CheckStatus::Fail) << " failed, " << report.count(CheckStatus::Skip) << " skipped in "
        << timing << " s\n";
    return out.str();
}

nlohmann::ordered_json validateJson(const ValidateReport& report) {
    nlohmann::ordered_json j;
    j["plugin"] = report.pluginPath;
    j["effectName"] = report.effectName;
    j["passed"] = !report.failed();
    nlohmann::ordered_json counts;
    for (CheckStatus s : {CheckStatus::Pass, CheckStatus::Warn, CheckStatus::Fail, CheckStatus::Skip}) {
        std::string key = statusName(s);
        std::transform(key.begin(), key.end(), key.begin(), [](char c) { return char(std::tolower(c)); });
        counts[key] = report.count(s);
    }
    j["counts"] = counts;
    j["seconds"] = report.seconds;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const CheckResult& c : report.checks) {
        list.push_back({{"name", c.name},
                        {"status", statusName(c.status)},
                        {"reason", c.reason},
                        {"seconds", c.seconds}});
    }
    j["checks"] = list;
    return j;
}

} // namespace solvantis
