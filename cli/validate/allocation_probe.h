// Counts the heap allocations a thread makes inside chosen plug-in calls: the process entries and
// effProcessEvents. The allocator is interposed for the whole program (through the sanitizer's hooks
// in sanitizer builds); counting costs nothing until a check turns it on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace solvantis::validation {

struct AllocationCount {
    int64_t allocations = 0;
    int64_t frees = 0;
    size_t firstSize = 0;            // bytes asked for by the first allocation counted
    const char* firstCall = nullptr; // the call it happened in
};

// Starts counting for the calling thread (and clears the count); stop returns what was counted.
void startAllocationCount();
AllocationCount stopAllocationCount();

// Told by the call watcher: the calling thread enters or leaves a plug-in call, or the plug-in calls
// the host back (the host's own work is not the plug-in's).
void allocationCallEntered(const char* call, bool audio);
void allocationCallLeft();
void allocationRequestStarted();
void allocationRequestFinished();

} // namespace solvantis::validation
