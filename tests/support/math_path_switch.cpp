// The math module as the tests build it: the shipped source, plus a switch between its two paths. This
// object defines every symbol of the module, so a program that links it takes the module from here and
// never from the library; the plug-ins themselves carry no switch.
#include "dsp/math_functions.cpp"

#include "math_path_switch.h"

namespace solvantis::math::testing {

void forceSoftwareFma(bool force) noexcept {
    if (force) {
        installPath(false);
    } else {
        installDetectedPath();
    }
}

} // namespace solvantis::math::testing
