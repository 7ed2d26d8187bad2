// Set by a plug-in object's constructor when one of its allocations failed. The entry point clears it
// before each construction and refuses the instance when it is set afterwards. One flag per thread, so
// that two hosts' threads creating instances at the same time cannot see each other's failure.
#pragma once

namespace solvantis {

extern thread_local bool outOfMemory;

} // namespace solvantis
