#include "preset_command.h"

#include "child_process.h"
#include "cli_error.h"
#include "output_target.h"
#include "plugin_locator.h"
#include "preset_file.h"
#include "render.h"

#include <cerrno>
#include <cstring>

namespace solvantis {

std::string runPresetSave(const PresetSaveOptions& options) {
    OutputTarget target(options.outputPath, options.force);
    const std::string extension = extensionOf(options.outputPath);
    if (extension != ".fxp" && extension != ".fxb") {
        throw CliError("cannot tell what to save in '" + options.outputPath +
                       "': name it .fxp for the current program or .fxb for the whole bank");
    }
    const bool bank = extension == ".fxb";
    target.refuseToReplace(options.presetPath, "preset");
    target.refuseToReplace(options.pluginPath.empty() ? defaultPluginPathIfAny() : options.pluginPath,
                           "plug-in");
    target.refuseToReplace("/proc/self/exe", "program");
    const int fd = target.open();

    ChildOptions childOptions;
    childOptions.hangSeconds = options.hangSeconds;
    std::string line;
    try {
        const std::string sent = runPluginJob(
            [&](CallSite& site) {
                const std::string pluginPath =
                    options.pluginPath.empty() ? defaultPluginPath() : options.pluginPath;
                PluginHostOptions hostOptions;
                hostOptions.callSite = &site;
                PluginHost host(pluginPath, hostOptions);
                host.open();
                host.setSampleRate(hostOptions.sampleRate);
                host.setBlockSize(hostOptions.blockSize);
                PresetFile loaded;
                if (!options.presetPath.empty()) {
                    {
                        const OwnWorkMark reading(&site, "the preset", options.presetPath);
                        loaded = readPresetFile(options.presetPath);
                    }
                    if (loaded.bank) {
                        applyPreset(host, loaded, options.presetPath, options.force);
                    }
                }
                if (options.program >= 0) {
                    if (options.program >= host.numPrograms()) {
                        throw CliError("program " + std::to_string(options.program) +
                                       " is out of range for plug-in '" + pluginPath + "' (it has " +
                                       std::to_string(host.numPrograms()) + " programs)");
                    }
                    host.setProgram(options.program);
                }
                if (!options.presetPath.empty() && !loaded.bank) {
                    applyPreset(host, loaded, options.presetPath, options.force);
                }
                for (const std::string& setting : options.settings) {
                    applySetting(host, setting);
                }
                const PresetFile preset = capturePreset(host, bank);
                const std::string name = host.getEffectName();
                host.close();
                const std::vector<uint8_t> bytes = serializePreset(preset);
                const std::string what =
                    preset.chunk ? std::to_string(preset.data.size()) + "-byte chunk"
                                 : std::to_string(bank ? preset.programs.size() : size_t(preset.count)) +
                                       (bank ? (preset.programs.size() == 1 ? " program" : " programs")
                                             : " parameter values");
                // The line, then the file: this process holds no descriptor of the output, and the
                // command writes what it sends.
                const std::string line = target.name() + ": " +
                                         (bank ? "bank" : "program '" + preset.programName + "'") + " of '" +
                                         name + "' ('" + fourCharacters(preset.uniqueID) + "'), " + what;
                return line + '\0' + std::string(bytes.begin(), bytes.end());
            },
            childOptions);
        const size_t end = sent.find('\0');
        if (end == std::string::npos) {
            throw CliError("the preset process sent no preset");
        }
        if (!writeAllBytes(fd, sent.data() + end + 1, sent.size() - end - 1)) {
            throw CliError("cannot write '" + target.name() + "': " + std::strerror(errno));
        }
        line = sent.substr(0, end);
    } catch (...) {
        target.discard();
        throw;
    }
    target.commit();
    return line;
}

} // namespace solvantis
