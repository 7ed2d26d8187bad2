// The built-in demo: a phrase of about ten seconds that shows the instrument off.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis {

// One step of the phrase: a MIDI channel message, or a parameter set by its name (skipped by plug-ins
// that have no parameter of that name).
struct DemoStep {
    double seconds = 0.0;
    uint8_t bytes[3] = {0, 0, 0}; // used when parameterName is empty
    std::string parameterName;
    float value = 0.0f;
};

// Single plucked notes, a legato run, a bend up and back, a swell with the modulation wheel, and a
// riff with the PowerChord switch on; in time order.
std::vector<DemoStep> demoPhrase();

} // namespace solvantis
