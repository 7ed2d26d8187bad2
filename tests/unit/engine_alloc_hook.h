#pragma once

#include <cstddef>

// Global operator new/delete of the unit test program, replaced so that tests can count allocations and
// make one fail on demand. Outside a test's window they behave as usual.
namespace solvantis::testing {

struct AllocationStats {
    long allocations = 0; // calls of any operator new since the window opened
    long live = 0;        // allocations minus deallocations since the window opened
};

// Opens a counting window; failAfter >= 0 makes the allocation with that index (0 = the next one) fail.
void beginAllocationWindow(long failAfter = -1);
// Closes the window and returns what was counted.
AllocationStats endAllocationWindow();

} // namespace solvantis::testing
