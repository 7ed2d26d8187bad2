// The names of the dispatcher's opcodes, for reports that say which call a plug-in was in.
#pragma once

#include <cstdint>

namespace solvantis {

// "effOpen", "effProcessEvents", ... for a dispatcher opcode; null for one we do not know.
const char* knownOpcodeName(int32_t opcode);

} // namespace solvantis
