// solvantis: renders MIDI files through a VST 2 instrument and shows what a plug-in reports.

#include "batch_render.h"
#include "cli_error.h"
#include "compare.h"
#include "info.h"
#include "midi_facts.h"
#include "plugin_locator.h"
#include "preset_command.h"
#include "preset_file.h"
#include "printable.h"
#include "render.h"
#include "standard_output.h"
#include "validate.h"

#include <cerrno>
#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

#ifndef SOLVANTIS_VERSION
#define SOLVANTIS_VERSION "unknown"
#endif
#ifndef SOLVANTIS_GIT_DESCRIPTION
#define SOLVANTIS_GIT_DESCRIPTION ""
#endif

using namespace solvantis;

namespace {

// Whole numbers given on the command line; the option's own words name it in the error.
int32_t parseWhole(const std::string& text, const std::string& what) {
    double value = 0.0;
    if (!parseNumber(text, value)) {
        throw CliError(what + " '" + text + "' is not a number");
    }
    // The range first: a cast of a value beyond int64_t is undefined.
    if (value < -2147483648.0 || value > 2147483647.0 || value != std::trunc(value)) {
        throw CliError(what + " '" + text + "' is not a whole number in range");
    }
    return int32_t(value);
}

double parseDecimal(const std::string& text, const std::string& what) {
    double value = 0.0;
    if (!parseNumber(text, value)) {
        throw CliError(what + " '" + text + "' is not a number");
    }
    return value;
}

int32_t parseProgram(const std::string& text) {
    const int32_t program = parseWhole(text, "program");
    if (program < 0) {
        throw CliError("program " + text + " is out of range");
    }
    return program;
}

// The texts of the render command's options, before they are checked.
struct RenderTexts {
    std::string rate = "44100", block = "512", program, tail = "auto", format, bits = "24", maxLength = "600",
                channels, tracks, transpose = "0", gain = "0", timeout = "60";
    std::vector<std::string> normalize;
    std::string jobs = "1";
};

// "solvantis 1.0.0 (git v1.0.0-12-gabc1234)"
std::string versionText() {
    const std::string git = SOLVANTIS_GIT_DESCRIPTION;
    return std::string("solvantis ") + SOLVANTIS_VERSION + (git.empty() ? "" : " (git " + git + ")");
}

// The plug-in an info or validate command names, by its argument or by --plugin (not both).
std::string chosenPlugin(const std::string& argument, const std::string& option, const char* command) {
    if (!argument.empty() && !option.empty()) {
        throw CliError(std::string(command) + " takes one plug-in: '" + argument + "' or --plugin '" +
                       option + "'");
    }
    const std::string path = !argument.empty() ? argument : option;
    if (!path.empty() && fileKind(path) == FileKind::Midi) {
        throw CliError("'" + path + "' is a MIDI file, not a plug-in; " + command +
                       " takes a plug-in (see a MIDI file with: solvantis midi '" + path + "')");
    }
    return path.empty() ? defaultPluginPath() : path;
}

// The MIDI files of a render, each checked for being one: a plug-in given where a MIDI file goes is
// pointed to the option that takes it.
void checkMidiArguments(const std::vector<std::string>& paths, const std::string& plugin) {
    for (const std::string& path : paths) {
        if (fileKind(path) == FileKind::Plugin) {
            throw CliError("'" + path + "' is a plug-in, not a MIDI file; give it with --plugin '" + path +
                           "'");
        }
    }
    if (!plugin.empty() && fileKind(plugin) == FileKind::Midi) {
        throw CliError("--plugin '" + plugin +
                       "' is a MIDI file; give it as render's first argument, and the "
                       "plug-in with --plugin");
    }
}

// "plug-in: Solvantis by Quelvarin, version 9536 (/usr/lib/vst/Solvantis.so)"
std::string pluginVersionLine(const nlohmann::ordered_json& info) {
    auto text = [&](const char* key) {
        return info[key].is_string() ? info[key].get<std::string>() : info[key].dump();
    };
    return "plug-in: " + text("effectName") + " by " + text("vendor") + ", version " + text("vendorVersion") +
           " (" + text("path") + ")";
}

int runMidiCommand(const std::string& path, bool json) {
    const MidiFacts facts = midiFacts(path);
    if (json) {
        std::printf("%s\n", midiFactsJson(facts, path)
                                .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                                .c_str());
    } else {
        std::printf("%s", midiFactsText(facts, path).c_str());
    }
    return 0;
}

RenderOptions renderOptions(RenderOptions options, const RenderTexts& t, bool normalizeGiven) {
    options.sampleRate = parseWhole(t.rate, "sample rate");
    options.blockSize = parseWhole(t.block, "block size");
    if (!t.program.empty()) {
        options.program = parseProgram(t.program);
    }
    if (t.tail == "auto") {
        options.autoTail = true;
    } else {
        options.autoTail = false;
        options.tailSeconds = parseDecimal(t.tail, "tail");
    }
    options.maxLengthSeconds = parseDecimal(t.maxLength, "maximum length");
    options.hangSeconds = parseDecimal(t.timeout, "--timeout");
    options.gainDecibels = parseDecimal(t.gain, "--gain");
    if (normalizeGiven) {
        options.normalize = true;
        double level = 0.0;
        if (t.normalize.empty() || t.normalize.front().empty()) {
            // the default level
        } else if (!t.normalize.empty() && parseNumber(t.normalize.front(), level)) {
            options.normalizeDbfs = level;
        } else if (!t.normalize.empty() && fileKind(t.normalize.front()) == FileKind::Midi) {
            options.midiPath =
                t.normalize.front(); // "--normalize song.mid": the level is left at its default
        } else if (!t.normalize.empty()) {
            throw CliError("--normalize '" + t.normalize.front() + "' is not a level in dBFS");
        }
    }
    if (!t.channels.empty()) {
        options.selection.channels = parseNumberList(t.channels, 1, 16, "--channel");
    }
    if (!t.tracks.empty()) {
        options.selection.tracks = parseNumberList(t.tracks, 1, 65535, "--track");
    }
    const int32_t transpose = parseWhole(t.transpose, "--transpose");
    if (transpose < -127 || transpose > 127) {
        throw CliError("--transpose " + t.transpose + " is out of range (-127 to 127)");
    }
    options.selection.transpose = transpose;
    if (t.format == "wav" || t.format == "flac") {
        options.format = t.format == "flac" ? AudioFormat::Flac : AudioFormat::Wav;
        options.formatGiven = true;
    } else if (!t.format.empty()) {
        throw CliError("format '" + t.format + "' is not wav or flac");
    }
    if (t.bits == "16") {
        options.bits = SampleBits::Int16;
    } else if (t.bits == "24") {
        options.bits = SampleBits::Int24;
    } else if (t.bits == "float" || t.bits == "32") {
        options.bits = SampleBits::Float;
    } else {
        throw CliError("--bits '" + t.bits + "' is not 16, 24 or float");
    }
    options.showProgress = ::isatty(STDERR_FILENO) != 0;
    return options;
}

// Standard input, output and error closed by the caller are held by /dev/null opened the wrong way
// round: a read or write still fails as on a closed descriptor, and no file the command opens can take
// their numbers (an audio file on descriptor 1 would receive the summary line).
void holdClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int held = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
            if (held >= 0 && held != fd) {
                ::dup2(held, fd);
                ::close(held);
            }
        }
    }
}

// A command whose report did not reach standard output (a full disk, a closed descriptor) has failed.
int withStandardStreamsChecked(int code) {
    const bool outFailed = !flushStandardOutput();
    const int outError = standardOutputError();
    if (outFailed) {
        // A write that failed earlier left no errno to tell; a descriptor the caller closed is the
        // usual cause.
        const bool closed = (::fcntl(STDOUT_FILENO, F_GETFL) & O_ACCMODE) == O_RDONLY;
        std::fprintf(stderr, "solvantis: cannot write standard output: %s\n",
                     outError != 0 ? std::strerror(outError)
                     : closed      ? "it is closed"
                                   : "write error");
    }
    const bool errFailed = std::fflush(stderr) != 0 || std::ferror(stderr) != 0;
    return (outFailed || errFailed) && code == 0 ? 1 : code;
}

int runCommand(int argc, char** argv);

} // namespace

int main(int argc, char** argv) {
    holdClosedStandardDescriptors();
    if (::isatty(STDOUT_FILENO) == 0) {
        // A report is written at the flushes the command makes, where a failure's reason is kept.
        static char reportBuffer[1 << 20];
        std::setvbuf(stdout, reportBuffer, _IOFBF, sizeof reportBuffer);
    }
    return withStandardStreamsChecked(runCommand(argc, argv));
}

namespace {

int runCommand(int argc, char** argv) {
    CLI::App app{"solvantis: renders MIDI files through a VST 2 instrument (Solvantis by default), shows "
                 "what a plug-in reports and checks how it behaves in a host"};
    app.require_subcommand(1);
    app.set_version_flag("--version", versionText(), "print the version and exit");
    // A reader that goes away is reported as a write error, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);

    RenderOptions render;
    RenderTexts texts;
    BatchOptions batch;
    CLI::App* renderCommand =
        app.add_subcommand("render", "render MIDI files (or the built-in demo) to audio files");
    renderCommand->set_version_flag("--version", versionText());
    renderCommand->add_option("midi", batch.inputs,
                              "Standard MIDI Files to play, each into its own audio file; without one the "
                              "built-in demo plays");
    renderCommand->add_option(
        "-o,--output", render.outputPath,
        "audio file to write, .wav or .flac, or - for standard output, or a folder (DIR/) for the files "
        "(default: each MIDI file's name with .wav, or solvantis-demo.wav)");
    renderCommand->add_option("--jobs", texts.jobs, "files to render at once (default 1)");
    renderCommand->add_flag("--json", batch.json,
                            "print one JSON object per file (one line each, in the order of the files, also "
                            "with --jobs) instead of the summary; the exit status is 1 when any file failed");
    renderCommand->add_flag("-q,--quiet", batch.quiet, "print errors only");
    renderCommand->add_option("--batch-item", batch.item)->group(""); // the processes of --jobs
    renderCommand->add_option("--plugin", render.pluginPath,
                              "VST 2 instrument to use (default: the Solvantis.so beside solvantis)");
    renderCommand->add_option("--rate", texts.rate, "sample rate in Hz, 8000 to 768000 (default 44100)");
    renderCommand->add_option("--block", texts.block, "frames per process call (default 512)");
    renderCommand->add_option("--program", texts.program,
                              "program to select; the file's program changes are then left out unless "
                              "--keep-program-changes");
    renderCommand->add_flag("--keep-program-changes", render.keepProgramChanges,
                            "play the file's program changes even after --program or --preset");
    renderCommand->add_option("--preset", render.presetPath,
                              "a .fxp or .fxb preset file to load before rendering");
    renderCommand->add_flag("--force", render.force,
                            "load a preset made for another plug-in; replace a read-only output file");
    // One value per --set, so that a MIDI file named after it is not taken for another setting.
    renderCommand
        ->add_option("--set", render.settings,
                     "NAME=VALUE or INDEX=VALUE: a parameter value 0..1; may be repeated")
        ->allow_extra_args(false);
    renderCommand->add_option("--channel", texts.channels,
                              "MIDI channels to play, such as 1 or 1,3-4 (default: all)");
    renderCommand->add_option("--track", texts.tracks,
                              "tracks of the file to play, such as 2 or 2-3 (default: all)");
    renderCommand->add_option("--transpose", texts.transpose, "semitones added to every note (default 0)");
    renderCommand->add_option(
        "--tail", texts.tail,
        "after the last event: 'auto' (the default: until 100 ms below -100 dBFS, at most "
        "10 s) or seconds");
    renderCommand->add_option("--max-length", texts.maxLength, "longest render in seconds (default 600)");
    renderCommand->add_option("--gain", texts.gain, "gain in dB applied to the output (default 0)");
    renderCommand
        ->add_option("--normalize", texts.normalize, "scale the output so that its peak is DBFS (default -1)")
        ->expected(0, 1);
    renderCommand->add_option("--format", texts.format,
                              "wav or flac (default: from the output name, else wav)");
    renderCommand->add_option("--bits", texts.bits, "16, 24 or float (default 24)");
    renderCommand->add_option(
        "--timeout", texts.timeout,
        "seconds one plug-in call, or a pause in a piped MIDI file, may take (default 60)");

    bool json = false, infoForce = false, noPrograms = false, infoVersion = false;
    std::string infoPlugin, infoPreset, infoTarget;
    CLI::App* info = app.add_subcommand("info", "show what a VST 2 plug-in reports to a host (or what a MIDI "
                                                "file holds)");
    info->add_option("plugin", infoTarget,
                     "VST 2 plug-in to inspect (default: the Solvantis.so beside solvantis), or a MIDI file");
    info->add_option("--plugin", infoPlugin, "the same as the plug-in argument");
    info->add_flag("--no-programs", noPrograms, "leave out the list of programs");
    info->add_flag("--version", infoVersion, "print the version of solvantis and of the plug-in");
    info->add_option("--preset", infoPreset, "a .fxp or .fxb preset file to load first");
    info->add_flag("--force", infoForce, "load a preset made for another plug-in");
    info->add_flag("--json", json, "print one JSON object");

    bool midiJson = false;
    std::string midiPath;
    CLI::App* midi = app.add_subcommand(
        "midi", "show what a MIDI file holds: length, tempo, and per track and channel the notes played");
    midi->set_version_flag("--version", versionText());
    midi->add_option("file", midiPath, "the Standard MIDI File")->required();
    midi->add_flag("--json", midiJson, "print one JSON object");

    PresetSaveOptions save;
    std::string saveProgram, saveTimeout = "60";
    CLI::App* preset = app.add_subcommand("preset", "write VST 2 preset files (.fxp, .fxb)");
    preset->require_subcommand(1);
    preset->set_version_flag("--version", versionText());
    CLI::App* saveCommand = preset->add_subcommand(
        "save", "save the plug-in's current program (FILE.fxp) or all its programs (FILE.fxb)");
    saveCommand->set_version_flag("--version", versionText());
    saveCommand->add_option("file", save.outputPath, "the preset file to write, .fxp or .fxb")->required();
    saveCommand->add_option("--plugin", save.pluginPath,
                            "VST 2 plug-in (default: the Solvantis.so beside solvantis)");
    saveCommand->add_option("--program", saveProgram, "program to select first");
    saveCommand->add_option("--preset", save.presetPath,
                            "a preset file to load first, to change and save again");
    saveCommand->add_flag("--force", save.force,
                          "load a preset made for another plug-in; replace a read-only output file");
    saveCommand->add_option("--set", save.settings, "NAME=VALUE or INDEX=VALUE; may be repeated")
        ->allow_extra_args(false);
    saveCommand->add_option("--timeout", saveTimeout, "seconds one plug-in call may take (default 60)");

    CompareOptions compare;
    std::string minSnr, maxDiff;
    CLI::App* compareCommand = app.add_subcommand(
        "compare", "compare two audio files; exits with 1 when they differ beyond the tolerance");
    compareCommand->set_version_flag("--version", versionText());
    compareCommand->add_option("first", compare.first, "the reference file")->required();
    compareCommand->add_option("second", compare.second, "the file to hold to it")->required();
    compareCommand->add_option("--min-snr", minSnr, "smallest signal-to-difference ratio in dB allowed");
    compareCommand->add_option("--max-diff", maxDiff, "largest sample difference allowed (full scale is 1)");

    std::string validatePlugin, validateTarget;
    bool validateJsonOutput = false, strict = false, listChecks = false;
    CLI::App* validate = app.add_subcommand("validate", "run a host-behaviour test suite on a VST 2 plug-in");
    validate->set_version_flag("--version", versionText());
    validate->add_option("plugin", validateTarget,
                         "VST 2 plug-in to test (default: the Solvantis.so beside solvantis)");
    validate->add_option("--plugin", validatePlugin, "the same as the plug-in argument");
    validate->add_flag("--list", listChecks, "list the checks, one line each, and exit");
    validate->add_flag("--json", validateJsonOutput, "print one JSON object");
    validate->add_flag("--strict", strict, "also send null text pointers and zero-frame blocks");
    std::string timeoutText = "60";
    std::vector<std::string> onlyChecks, skipChecks;
    validate->add_option("--timeout", timeoutText, "seconds a check may take before it fails (default 60)");
    validate->add_option("--only", onlyChecks, "run only this check (repeatable, or a comma-separated list)")
        ->delimiter(',')
        ->allow_extra_args(false);
    validate->add_option("--skip", skipChecks, "leave out this check (repeatable, or a comma-separated list)")
        ->delimiter(',')
        ->allow_extra_args(false);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "solvantis: %s (see solvantis --help)\n", printable(e.what()).c_str());
        return 2;
    }

    try {
        if (*renderCommand) {
            if (renderCommand->count("--output") > 0 && render.outputPath.empty()) {
                throw CliError("the output file name is empty");
            }
            RenderOptions options = renderOptions(render, texts, renderCommand->count("--normalize") > 0);
            if (!options.midiPath.empty()) {
                batch.inputs.insert(batch.inputs.begin(), options.midiPath); // it followed --normalize
            }
            checkMidiArguments(batch.inputs, options.pluginPath);
            const int32_t jobs = parseWhole(texts.jobs, "--jobs");
            if (jobs < 1 || jobs > 64) {
                throw CliError("--jobs " + texts.jobs + " is out of range (1 to 64)");
            }
            batch.jobs = jobs;
            batch.output = options.outputPath;
            batch.arguments.assign(argv, argv + argc);
            if (batch.inputs.size() > 1 || batch.jobs > 1 || batch.quiet) {
                options.showProgress = false; // several bars would not share one line, and --quiet shows none
            }
            return runBatch(batch, options);
        }
        if (*midi) {
            return runMidiCommand(midiPath, midiJson);
        }
        if (*info) {
            if (infoPlugin.empty() && !infoTarget.empty() && fileKind(infoTarget) == FileKind::Midi) {
                return runMidiCommand(infoTarget, json);
            }
            const std::string path = chosenPlugin(infoTarget, infoPlugin, "info");
            const PresetFile loaded = infoPreset.empty() ? PresetFile{} : readPresetFile(infoPreset);
            // In a process of its own, so that a plug-in that crashes is reported in one line.
            std::printf("%s", runPluginJob([&](CallSite& site) {
                                  PluginHostOptions hostOptions;
                                  hostOptions.callSite = &site;
                                  PluginHost host(path, hostOptions);
                                  if (!infoPreset.empty()) {
                                      host.open();
                                      applyPreset(host, loaded, infoPreset, infoForce);
                                  }
                                  auto report = collectInfo(host, !infoPreset.empty());
                                  host.close();
                                  if (infoVersion) {
                                      return versionText() + "\n" + pluginVersionLine(report) + "\n";
                                  }
                                  if (noPrograms) {
                                      report.erase("programs");
                                  }
                                  return json
                                             ? report.dump(2, ' ', false,
                                                           nlohmann::ordered_json::error_handler_t::replace) +
                                                   "\n"
                                             : infoText(report);
                              }).c_str());
            return 0;
        }
        if (*preset) {
            if (!saveProgram.empty()) {
                save.program = parseProgram(saveProgram);
            }
            save.hangSeconds = parseDecimal(saveTimeout, "--timeout");
            std::printf("%s\n", printable(runPresetSave(save)).c_str());
            return 0;
        }
        if (*compareCommand) {
            compare.minSnrGiven = !minSnr.empty();
            compare.maxDiffGiven = !maxDiff.empty();
            if (compare.minSnrGiven) {
                compare.minSnrDecibels = parseDecimal(minSnr, "--min-snr");
            }
            if (compare.maxDiffGiven) {
                compare.maxDifference = parseDecimal(maxDiff, "--max-diff");
            }
            const CompareResult result = compareAudioFiles(compare);
            std::printf("%s\n", compareLine(result).c_str());
            return result.within ? 0 : 1;
        }
        if (*validate) {
            if (listChecks) {
                std::printf("%s", checkList().c_str());
                return 0;
            }
            ValidateOptions options;
            options.pluginPath = chosenPlugin(validateTarget, validatePlugin, "validate");
            options.strict = strict;
            const double timeout = parseDecimal(timeoutText, "timeout");
            if (!(timeout >= 1.0 && timeout <= 86400.0) || timeout != double(int64_t(timeout))) {
                throw CliError("timeout '" + timeoutText +
                               "' is not a whole number of seconds from 1 to 86400");
            }
            options.timeoutSeconds = unsigned(timeout);
            options.only = onlyChecks;
            options.skip = skipChecks;
            const ValidateReport report = runValidate(options);
            if (validateJsonOutput) {
                std::printf("%s\n", validateJson(report)
                                        .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                                        .c_str());
            } else {
                std::printf("%s", validateText(report).c_str());
            }
            return report.failed() ? 1 : 0;
        }
    } catch (const Interrupted& e) {
        std::fprintf(stderr, "solvantis: interrupted\n");
        return 128 + e.signal;
    } catch (const CliError& e) {
        std::fprintf(stderr, "solvantis: %s\n", printable(e.what()).c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "solvantis: unexpected failure: %s\n", printable(e.what()).c_str());
        return 1;
    }
    return 2;
}

} // namespace
