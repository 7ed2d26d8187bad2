// One timed entry of the per-block note list the MIDI intake writes and the renders read.
#pragma once

#include <cstdint>

namespace solvantis {

// One timed entry of the per-block note list.
struct NoteEvent {
    int32_t deltaFrames;     // sample frame within the block at which the entry applies; -1 ends the list
                             // and marks an entry already applied
    int32_t onNote;          // MIDI note of the latest note-on of the block up to this entry, 0 if none
    int32_t offNote;         // MIDI note of the latest note-off of the block up to this entry, 0 if none
    float velocity;          // 0..1; above 0 the entry starts a note, 0 is a release
    float bendFactor;        // pitch-bend frequency factor, 0 when no bend came earlier in the block
    int32_t changedKey = -1; // key this entry presses or releases when it applies; -1 for a bend entry
    int32_t keyDown = 0;     // 1: the entry presses changedKey, 0: it releases it
};

// The list holds this many entries including the end mark, so one block carries at most 1023 entries.
inline constexpr int32_t noteEventCapacity = 1024;

} // namespace solvantis
