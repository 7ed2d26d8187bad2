// solvantis: renders MIDI files through a VST 2 instrument and shows what a plug-in reports.

#include "cli_error.h"
#include "info.h"
#include "plugin_locator.h"
#include "render.h"
#include "validate.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <unistd.h>

using namespace solvantis;

namespace {

void onSignal(int) {
    requestRenderStop();
}

// Whole numbers given on the command line; the option's own words name it in the error.
int32_t parseWhole(const std::string& text, const std::string& what) {
    double value = 0.0;
    if (!parseNumber(text, value)) {
        throw CliError(what + " '" + text + "' is not a number");
    }
    if (value != double(int64_t(value)) || value < -2147483648.0 || value > 2147483647.0) {
        throw CliError(what + " '" + text + "' is not a whole number in range");
    }
    return int32_t(value);
}

double parseSeconds(const std::string& text, const std::string& what) {
    double value = 0.0;
    if (!parseNumber(text, value)) {
        throw CliError(what + " '" + text + "' is not a number of seconds");
    }
    return value;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"solvantis: renders MIDI files through a VST 2 instrument (Solvantis by default), shows "
                 "what a plug-in reports and checks how it behaves in a host"};
    app.require_subcommand(1);

    std::string midiPath, outputPath, pluginPath, rateText = "44100", blockText = "512", programText,
                                                  tailText = "auto", formatText, bitsText = "24",
                                                  maxLengthText = "600";
    std::vector<std::string> settings;
    CLI::App* render =
        app.add_subcommand("render", "render a MIDI file (or the built-in demo) to an audio file");
    render->add_option("midi", midiPath, "Standard MIDI File to play; without it the built-in demo plays");
    render->add_option("-o,--output", outputPath,
                       "audio file to write (default: the MIDI file's name, .wav)");
    render->add_option("--plugin", pluginPath,
                       "VST 2 plug-in to use (default: the Solvantis.so beside solvantis)");
    render->add_option("--rate", rateText, "sample rate in Hz (default 44100)");
    render->add_option("--block", blockText, "frames per process call (default 512)");
    render->add_option("--program", programText, "program to select before rendering");
    // One value per --set, so that a MIDI file named after it is not taken for another setting.
    render
        ->add_option("--set", settings, "NAME=VALUE or INDEX=VALUE: a parameter value 0..1; may be repeated")
        ->allow_extra_args(false);
    render->add_option("--tail", tailText,
                       "after the last event: 'auto' (until quiet, at most 10 s) or seconds");
    render->add_option("--format", formatText, "wav or flac (default: from the output name, else wav)");
    render->add_option("--bits", bitsText, "16, 24 or float (default 24)");
    render->add_option("--max-length", maxLengthText, "longest render in seconds (default 600)");

    bool json = false;
    std::string infoPlugin;
    CLI::App* info = app.add_subcommand("info", "show what a VST 2 plug-in reports to a host");
    info->add_option("--plugin", infoPlugin,
                     "VST 2 plug-in to inspect (default: the Solvantis.so beside solvantis)");
    info->add_flag("--json", json, "print one JSON object");

    std::string validatePlugin;
    bool validateJsonOutput = false, strict = false;
    CLI::App* validate = app.add_subcommand("validate", "run a host-behaviour test suite on a VST 2 plug-in");
    validate->add_option("--plugin", validatePlugin,
                         "VST 2 plug-in to test (default: the Solvantis.so beside solvantis)");
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
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "solvantis: %s (see solvantis --help)\n", e.what());
        return 2;
    }

    try {
        if (*render) {
            RenderOptions options;
            options.midiPath = midiPath;
            options.outputPath = outputPath;
            options.pluginPath = pluginPath;
            options.sampleRate = parseWhole(rateText, "sample rate");
            options.blockSize = parseWhole(blockText, "block size");
            if (!programText.empty()) {
                options.program = parseWhole(programText, "program");
                if (options.program < 0) {
                    throw CliError("program " + programText + " is out of range");
                }
            }
            options.settings = settings;
            if (tailText == "auto") {
                options.autoTail = true;
            } else {
                options.autoTail = false;
                options.tailSeconds = parseSeconds(tailText, "tail");
            }
            options.maxLengthSeconds = parseSeconds(maxLengthText, "maximum length");
            if (formatText == "wav") {
                options.format = AudioFormat::Wav;
                options.formatGiven = true;
            } else if (formatText == "flac") {
                options.format = AudioFormat::Flac;
                options.formatGiven = true;
            } else if (!formatText.empty()) {
                throw CliError("format '" + formatText + "' is not wav or flac");
            }
            if (bitsText == "16") {
                options.bits = SampleBits::Int16;
            } else if (bitsText == "24") {
                options.bits = SampleBits::Int24;
            } else if (bitsText == "float" || bitsText == "32") {
                options.bits = SampleBits::Float;
            } else {
                throw CliError("--bits '" + bitsText + "' is not 16, 24 or float");
            }
            options.showProgress = ::isatty(STDERR_FILENO) != 0;

            std::signal(SIGINT, onSignal);
            std::signal(SIGTERM, onSignal);
            const RenderSummary summary = runRender(options);
            if (summary.nonFiniteSamples > 0) {
                std::fprintf(stderr,
                             "solvantis: warning: the plug-in produced %lld samples that were not finite; "
                             "they were written as silence\n",
                             static_cast<long long>(summary.nonFiniteSamples));
            }
            if (summary.stoppedAtMaxLength) {
                std::fprintf(stderr, "solvantis: warning: stopped at the maximum length of %s s\n",
                             maxLengthText.c_str());
            }
            if (summary.tailCut) {
                std::fprintf(stderr,
                             "solvantis: warning: still sounding 10 s after the last event; the tail was "
                             "cut there (use --tail SECONDS for a longer one)\n");
            }
            std::printf("%s\n", summaryLine(summary).c_str());
            return 0;
        }
        if (*info) {
            const std::string path = infoPlugin.empty() ? defaultPluginPath() : infoPlugin;
            PluginHost host(path);
            const auto report = collectInfo(host);
            host.close();
            if (json) {
                std::printf(
                    "%s\n",
                    report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
            } else {
                std::printf("%s", infoText(report).c_str());
            }
            return 0;
        }
        if (*validate) {
            ValidateOptions options;
            options.pluginPath = validatePlugin.empty() ? defaultPluginPath() : validatePlugin;
            options.strict = strict;
            const double timeout = parseSeconds(timeoutText, "timeout");
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
    } catch (const CliError& e) {
        std::fprintf(stderr, "solvantis: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "solvantis: unexpected failure: %s\n", e.what());
        return 1;
    }
    return 2;
}
