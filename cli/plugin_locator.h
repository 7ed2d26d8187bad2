// Where the host finds our own plug-in when no --plugin is given.
#pragma once

#include <string>

namespace solvantis {

// The folder holding the running executable (from /proc/self/exe); empty if unknown.
std::string executableFolder();

// Solvantis.so beside the executable (the build tree), then under ../lib/vst (an installed tree),
// then $SOLVANTIS_PLUGIN. Throws CliError naming the places it looked when none exists.
std::string defaultPluginPath();
// The same, or "" where none exists.
std::string defaultPluginPathIfAny();

} // namespace solvantis
