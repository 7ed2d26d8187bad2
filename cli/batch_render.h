// Rendering several MIDI files in one run: each into its own file, one summary each, a failure in one
// leaving the others to render.
#pragma once

#include "render.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace solvantis {

struct BatchOptions {
    std::vector<std::string> inputs;    // MIDI files; empty: the built-in demo
    std::string output;                 // -o as given: a file for one input, a folder (ending in /) for any
    int jobs = 1;                       // files rendered at once
    bool json = false;                  // one JSON object per file on standard output
    bool quiet = false;                 // errors only
    int item = -1;                      // a process that renders the item-th input alone (for --jobs)
    std::vector<std::string> arguments; // the command line, for the processes --jobs starts
};

// What a file or path holds, by its first bytes and then by its name.
enum class FileKind { Midi, Plugin, Other };
FileKind fileKind(const std::string& path);

// Where each input's audio goes: beside the input, or in the folder -o names. Throws CliError when
// -o names a single file for several inputs or two inputs would write the same file.
std::vector<std::string> batchOutputs(const BatchOptions& batch, const RenderOptions& options);

// Renders every input, prints what the options ask for and returns the exit code: 0 when every file
// rendered, 1 when any failed. Throws Interrupted for the user's interrupt.
int runBatch(const BatchOptions& batch, const RenderOptions& options);

// One rendered file as a JSON object (input, output, plug-in, rate, bits, frames, seconds, peak,
// clipped samples, warnings).
nlohmann::ordered_json renderJson(const RenderSummary& summary, const RenderOptions& options,
                                  const std::vector<std::string>& warnings);

} // namespace solvantis
