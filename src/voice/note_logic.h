// The monophonic note logic: a block's MIDI messages written into the timed note list, and the list's
// entries applied to the voice at their frames.
#pragma once

#include <climits>
#include <cstdint>
#include <span>

#include "dsp/lookup_tables.h"
#include "voice/engine_state.h"
#include "voice/midi_message.h"
#include "voice/synth_params.h"

namespace solvantis {

// Frequency factors of the pitch-bend wheel (v = 0..16383, centre 8192): up to four semitones up and one
// down, linear in frequency ratio within each side, 1.0 within 600 of the centre.
float pitchBendFactor(int32_t value);

// Writes one block's note list from its MIDI messages, taken in the order the host sent them, in one part
// or several. The list is ended after every part, so it is complete wherever the messages stop.
class NoteListWriter {
public:
    // Starts the block's list afresh (an earlier list not yet rendered is dropped).
    explicit NoteListWriter(VoiceState& voice);

    // Appends the entries of these messages after those of the parts before.
    void add(std::span<const MidiMessage> messages);

private:
    void append(int32_t frame, NoteEvent entry);

    VoiceState& voice;
    int32_t lastOnNote = 0;  // key of the block's newest note-on so far, 0 if none
    int32_t lastOffNote = 0; // key of the block's newest note-off so far, 0 if none
};

// What an entry that never plays (displaced from a full list) still leaves behind: the keys, the wheel and
// the controllers it sets take effect at once, so the block ends in the state the host's messages asked for.
// Keys change when their entry applies, so the legato scan of a release at frame X sees exactly the keys held
// at X, wherever the host cut its blocks.
inline void applyHeldState(VoiceState& voice, const NoteEvent& entry) {
    switch (entry.kind) {
    case EntryKind::key:
        if (entry.changedKey >= 0 && entry.changedKey < noteCount) {
            voice.keyHeld[entry.changedKey] = entry.keyDown;
        }
        break;
    case EntryKind::bend:
        voice.bendFactor = entry.bendFactor;
        voice.voiceFrequency = voice.keyFrequency * voice.bendFactor;
        break;
    case EntryKind::modWheel:
        voice.modWheel = entry.value;
        break;
    case EntryKind::volume:
        voice.midiVolume = entry.value;
        break;
    case EntryKind::allNotesOff:
    case EntryKind::allSoundOff:
        for (int32_t& held : voice.keyHeld) {
            held = 0;
        }
        break;
    case EntryKind::resetControllers:
        voice.bendFactor = 1.0f;
        voice.voiceFrequency = voice.keyFrequency;
        voice.modWheel = 1.0f;
        break;
    }
}

// The voice takes a key: its table frequency times the wheel's factor, the gate open. A fade of All Sound
// Off ends: the new note attacks from the level the fade reached.
inline void playKey(VoiceState& voice, Envelope& envelope, int32_t key, const float* noteFrequencies) {
    voice.soundingKey = key;
    voice.keyFrequency = noteFrequencies[key];
    voice.voiceFrequency = voice.keyFrequency * voice.bendFactor;
    voice.voiceGate = true;
    envelope.stopFade();
}

// Monophonic note logic: applies one entry of the note list to the voice and marks it applied.
//  - A key pressed takes the voice (last-note priority): gate open, its velocity, its pitch.
//  - A key released that is not the sounding one changes nothing audible. Releasing the sounding key closes
//    the gate, or with Legato on moves the voice to the lowest key still held (velocity kept, no new pluck
//    while the gate stays open), closing it only when none is.
//  - The bend wheel is a state: the pitch is always the sounding key's table frequency times the wheel's
//    last factor; a bend never touches the gate or the key.
//  - Controllers 1 and 7 take their value; 123 (and 124 to 127) release every key, 120 also fades the voice
//    out at once; 121 centres the wheel and returns the modulation wheel to 1.0 (the volume stays).
inline void applyNoteEvent(VoiceState& voice, Envelope& envelope, NoteEvent& entry, int32_t legato,
                           const float* noteFrequencies) {
    applyHeldState(voice, entry);
    switch (entry.kind) {
    case EntryKind::key:
        if (entry.changedKey < 0 || entry.changedKey >= noteCount) {
            break;
        }
        if (entry.keyDown != 0) {
            voice.voiceVelocity = entry.velocity;
            playKey(voice, envelope, entry.changedKey, noteFrequencies);
        } else if (entry.changedKey == voice.soundingKey) {
            voice.voiceGate = false;
            if (legato != 0) {
                for (int32_t key = 0; key < noteCount; ++key) {
                    if (voice.keyHeld[key] != 0) {
                        playKey(voice, envelope, key, noteFrequencies);
                        break;
                    }
                }
            }
        }
        break;
    case EntryKind::allSoundOff:
        envelope.startFade();
        [[fallthrough]];
    case EntryKind::allNotesOff:
        voice.voiceGate = false;
        break;
    case EntryKind::bend:
    case EntryKind::modWheel:
    case EntryKind::volume:
    case EntryKind::resetControllers:
        break;
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
    void applyDue(VoiceState& voice, Envelope& envelope, int32_t i, int32_t lastFrame, int32_t legato,
                  const float* noteFrequencies) {
        while (entry != end && entry->deltaFrames != -1 && (entry->deltaFrames <= i || i == lastFrame)) {
            applyNoteEvent(voice, envelope, *entry, legato, noteFrequencies);
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
