#include "instrument/synth_program.h"

#include <cstring>

namespace solvantis {

SynthProgram::SynthProgram() : name{} {
    setName("Basic");
}

void SynthProgram::setName(const char* text) {
    if (text == nullptr)
        return;
    const std::size_t length = ::strnlen(text, kNameSize - 1);
    std::memcpy(name, text, length);
    std::memset(name + length, 0, kNameSize - length);
}

} // namespace solvantis
