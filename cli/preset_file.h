// Standard VST 2 preset files: a program (.fxp) or a bank of programs (.fxb), each either as a list of
// parameter values or as the plug-in's opaque chunk. All numbers in the files are big-endian.
#pragma once

#include "plugin_host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis {

struct PresetProgram {
    std::string name;              // at most 28 bytes in the file
    std::vector<float> parameters; // one value 0..1 per parameter
};

struct PresetFile {
    bool bank = false;  // .fxb: 'FxBk' or 'FBCh'; else .fxp: 'FxCk' or 'FPCh'
    bool chunk = false; // the opaque forms 'FPCh' and 'FBCh'
    int32_t version = 1;
    int32_t uniqueID = 0;
    int32_t pluginVersion = 0;
    int32_t count = 0;                   // parameters of a program file, programs of a bank
    int32_t currentProgram = 0;          // banks of version 2
    std::vector<PresetProgram> programs; // the parameter forms: one for a program file, `count` for a bank
    std::string programName;             // the program forms
    std::vector<uint8_t> data;           // the chunk forms
};

// Reads a preset from bytes; throws CliError with one line naming `name` and what is wrong.
PresetFile parsePreset(const std::vector<uint8_t>& bytes, const std::string& name);
std::vector<uint8_t> serializePreset(const PresetFile& preset);

// Reads a preset file; throws CliError when it cannot be read or is malformed.
PresetFile readPresetFile(const std::string& path);

// The plug-in's current program (or all its programs, for a bank) in the chunk form when the plug-in
// keeps its programs as chunks, else as parameter values.
PresetFile capturePreset(PluginHost& host, bool bank);

// Loads a preset into the plug-in. Throws CliError, naming `name`, for a preset made for another
// plug-in (unless `force`), a parameter or program count that does not fit, or a chunk for a plug-in
// that takes none.
void applyPreset(PluginHost& host, const PresetFile& preset, const std::string& name, bool force);

} // namespace solvantis
