// Allocation in the calls a host makes from its audio thread.
#include "validate/allocation_probe.h"
#include "validate/check.h"

namespace solvantis::validation {

namespace {

std::string describe(const AllocationCount& count) {
    return std::to_string(count.allocations) + " allocations and " + std::to_string(count.frees) +
           " releases" +
           (count.allocations > 0 ? std::string(", the first of ") + std::to_string(count.firstSize) +
                                        " bytes in " + (count.firstCall != nullptr ? count.firstCall : "?")
                                  : std::string());
}

} // namespace

Outcome checkAllocation(const CheckContext& context) {
    Instance one(context.path, 44100.0f, 512);
    // The first block after switching on is counted apart: some plug-ins finish their set-up there.
    startAllocationCount();
    one.events.add(0, 0x90, 60, 100);
    one.block(512);
    const AllocationCount first = stopAllocationCount();
    one.events.clear();
    startAllocationCount();
    one.play(standardPhrase(), standardLength);
    one.configure(44100.0f, 64);
    one.play(standardPhrase(), standardLength);
    const AllocationCount playing = stopAllocationCount();
    const int64_t blocks = (standardLength + 511) / 512 + (standardLength + 63) / 64 + 1;
    if (playing.allocations > 0 || playing.frees > 0) {
        return fail("the heap is used while playing: " + describe(playing));
    }
    if (first.allocations > 0 || first.frees > 0) {
        return warn("the heap is used in the first block after switching on only: " + describe(first));
    }
    return pass("no allocation or release in effProcessEvents and the process calls over " +
                std::to_string(blocks) + " blocks");
}

} // namespace solvantis::validation
