// The preset command: `preset save FILE` writes the plug-in's state as a standard VST 2 preset file.
#pragma once

#include <string>
#include <vector>

namespace solvantis {

struct PresetSaveOptions {
    std::string outputPath;            // .fxp for the current program, .fxb for the whole bank
    std::string pluginPath;            // empty: Solvantis.so beside the executable
    int32_t program = -1;              // selected before anything is read
    std::string presetPath;            // a preset loaded first (to edit one)
    bool force = false;                // load a preset made for another plug-in
    std::vector<std::string> settings; // "NAME=VALUE" or "INDEX=VALUE"
    double hangSeconds = 60.0;
};

// Loads the plug-in in a child process, sets it up and writes the file (with the same care for what
// the output path names as render). Returns the summary line; throws CliError.
std::string runPresetSave(const PresetSaveOptions& options);

} // namespace solvantis
