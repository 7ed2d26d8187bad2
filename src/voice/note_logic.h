#pragma once

#include <climits>
#include <cstdint>

#include "dsp/lookup_tables.h"
#include "voice/engine_state.h"
#include "voice/synth_params.h"

namespace solvantis {

struct VstEvents;

// Frequency factors of the pitch-bend wheel (v = 0..16383, centre 8192): up to four semitones up and one
// down, linear in frequency ratio within each side, 1.0 within 600 of the centre.
float pitchBendFactor(int32_t value);

// Fills the note list from one block's events (see SynthEngine::processEvents).
int32_t fillNoteList(VoiceState& voice, const VstEvents* events);

// Presses or releases the key an entry carries. Keys change when their entry applies, so the legato scan of a
// release at frame X sees exactly the keys held at X, wherever the host cut its blocks.
inline void applyKeyChange(VoiceState& voice, const NoteEvent& entry) {
    if (entry.changedKey >= 0 && entry.changedKey < noteCount) {
        voice.keyHeld[entry.changedKey] = entry.keyDown;
    }
}

// Monophonic note logic: applies one entry of the note list to the voice and marks it applied.
inline void applyNoteEvent(VoiceState& voice, NoteEvent& entry, int32_t legato,
                           const float* noteFrequencies) {
    applyKeyChange(voice, entry);
    if (entry.velocity > 0.0f) {
        voice.voiceGate = true;
        voice.voiceVelocity = entry.velocity;
        voice.voiceFrequency = noteFrequencies[entry.onNote & 0x7F];
    } else if (legato != 0) {
        voice.voiceGate = false;
        for (int32_t key = 0; key < noteCount; ++key) {
            if (voice.keyHeld[key] != 0) {
                voice.voiceFrequency = noteFrequencies[key];
                voice.voiceGate = true;
                break;
            }
        }
    } else {
        voice.voiceGate = false;
    }
    if (entry.bendFactor > 0.0f) {
        voice.voiceFrequency = voice.voiceFrequency * entry.bendFactor;
    }
    entry.deltaFrames = -1;
    entry.onNote = -1;
    entry.changedKey = -1;
}

// Walks the note list during one block. Every entry applies no later than the frame it names; an entry
// timed earlier than the one before it applies at once, and whatever is still pending applies at the
// block's last frame, so no note-off is ever lost to a host's timing.
class NoteListCursor {
public:
    explicit NoteListCursor(VoiceState& voice)
        : entry(voice.noteEvents), end(voice.noteEvents + noteEventCapacity) {}

    // Applies the entries due at frame i of a block whose last frame is lastFrame.
    void applyDue(VoiceState& voice, int32_t i, int32_t lastFrame, int32_t legato,
                  const float* noteFrequencies) {
        while (entry != end && entry->deltaFrames != -1 && (entry->deltaFrames <= i || i == lastFrame)) {
            applyNoteEvent(voice, *entry, legato, noteFrequencies);
            ++entry;
        }
    }

    // The first frame at or after which applyDue has something to apply: the next entry's frame, the last
    // frame at the latest; INT32_MAX when the list is done.
    int32_t nextDue(int32_t lastFrame) const {
        if (entry == end || entry->deltaFrames == -1) {
            return INT32_MAX;
        }
        return entry->deltaFrames < lastFrame ? entry->deltaFrames : lastFrame;
    }

private:
    NoteEvent* entry;
    NoteEvent* end;
};

} // namespace solvantis
