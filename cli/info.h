// The info command: what a host sees when it scans a plug-in.
#pragma once

#include "plugin_host.h"

#include <nlohmann/json.hpp>
#include <string>

namespace solvantis {

// Asks the plug-in everything a scanning host asks: identity, version, unique ID, category, pins,
// flags, programs, parameters (name, label, display, value), capability answers. Leaves the current
// program as it found it. Sends effOpen first unless the caller has.
nlohmann::ordered_json collectInfo(PluginHost& host, bool alreadyOpen = false);

// The same as text for a person to read.
std::string infoText(const nlohmann::ordered_json& info);

// The names of the flag bits that are set ("canReplacing", "isSynth", ...).
std::vector<std::string> flagNames(int32_t flags);

// "synth", "effect", ... for a plug-in category number.
std::string categoryName(int32_t category);

// The capability strings `info` asks every plug-in about.
const std::vector<std::string>& usualCapabilities();

} // namespace solvantis
