// One timed entry of the per-block note list the MIDI intake writes and the renders read.
#pragma once

#include <cstdint>

namespace solvantis {

// What an entry does when it applies: a key pressed or released, the bend wheel or a controller moved, or a
// channel mode message.
enum class EntryKind : int32_t {
    key,              // presses or releases changedKey
    bend,             // the wheel moves to bendFactor
    modWheel,         // controller 1 moves to value
    volume,           // controller 7 moves to value
    allNotesOff,      // every key released (controller 123, and the mode messages 124 to 127)
    allSoundOff,      // every key released and the sound faded out at once (controller 120)
    resetControllers, // the wheel centred and the modulation wheel at its neutral value (controller 121)
};

// One timed entry of the per-block note list.
struct NoteEvent {
    int32_t deltaFrames;     // sample frame within the block at which the entry applies; -1 ends the list
                             // and marks an entry already applied
    int32_t onNote;          // MIDI note of the latest note-on of the block up to this entry, 0 if none
    int32_t offNote;         // MIDI note of the latest note-off of the block up to this entry, 0 if none
    float velocity;          // 0..1; above 0 the entry starts a note, 0 is a release
    float bendFactor;        // a bend entry's frequency factor; 0 on every other entry
    int32_t changedKey = -1; // key this entry presses or releases when it applies; -1 for a bend entry
    int32_t keyDown = 0;     // 1: the entry presses changedKey, 0: it releases it
    EntryKind kind = EntryKind::key;
    float value = 0.0f; // a controller's new value / 128
};

// The list holds this many entries including the end mark, so one block carries at most 1023 entries.
inline constexpr int32_t noteEventCapacity = 1024;

} // namespace solvantis
