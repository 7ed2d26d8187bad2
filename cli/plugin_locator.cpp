#include "plugin_locator.h"

#include "cli_error.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace solvantis {

namespace {

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

std::string executableFolder() {
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(buffer.data(), size_t(n));
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

std::string defaultPluginPath() {
    std::string tried;
    const std::string folder = executableFolder();
    if (!folder.empty()) {
        for (const std::string& candidate : {folder + "/Solvantis.so", folder + "/../lib/vst/Solvantis.so"}) {
            if (isFile(candidate)) {
                return candidate;
            }
            tried += (tried.empty() ? "" : ", ") + candidate;
        }
    }
    if (const char* fromEnvironment = std::getenv("SOLVANTIS_PLUGIN");
        fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment; // PluginHost reports it if it does not exist
    }
    throw CliError("no plug-in found (looked for " + (tried.empty() ? std::string("Solvantis.so") : tried) +
                   ", and SOLVANTIS_PLUGIN is not set); name one with --plugin PATH");
}

std::string defaultPluginPathIfAny() {
    try {
        return defaultPluginPath();
    } catch (const CliError&) {
        return {};
    }
}

} // namespace solvantis
