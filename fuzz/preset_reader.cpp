// Any bytes as a .fxp or .fxb preset: the reader either refuses them with its one line or returns a
// preset whose written form reads back to the same bytes again.
#include "cli_error.h"
#include "preset_file.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    solvantis::PresetFile preset;
    try {
        preset = solvantis::parsePreset(std::vector<uint8_t>(data, data + size), "fuzz.fxp");
    } catch (const solvantis::CliError&) {
        return 0;
    }
    const std::vector<uint8_t> written = solvantis::serializePreset(preset);
    try {
        if (solvantis::serializePreset(solvantis::parsePreset(written, "written.fxp")) != written) {
            std::abort();
        }
    } catch (const solvantis::CliError&) {
        std::abort(); // what we write, we must read
    }
    return 0;
}
