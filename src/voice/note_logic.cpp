// MIDI intake: a block's messages turned into the timed entries of the note list, and the bend wheel's
// frequency factors.
#include "voice/note_logic.h"

namespace solvantis {

namespace {

constexpr float velocityScale = 0.007874016f; // 1/127: velocity 127 gives 1.0
constexpr float controllerScale = 0.0078125f; // 1/128
constexpr double semitone = 1.059463094359;   // frequency ratio of one equal-tempered semitone
constexpr double fourSemitones = semitone * semitone * semitone * semitone;
constexpr int32_t lastFreeEntry = noteEventCapacity - 2; // the last place before the end mark

} // namespace

float pitchBendFactor(int32_t value) {
    if (value > 8792) {
        const float t = static_cast<float>(value) * (1.0f / 8192.0f) - 1.0f;
        return static_cast<float>(fourSemitones * t + 1.0 - t);
    }
    if (value < 7592) {
        const float t = static_cast<float>(8192 - value) * (1.0f / 8192.0f);
        return static_cast<float>(1.0 / (semitone * t + 1.0 - t));
    }
    return 1.0f;
}

NoteListWriter::NoteListWriter(VoiceState& voice) : voice(voice) {
    voice.noteEventCount = 0;
    voice.noteEvents[0].deltaFrames = -1;
}

// A host may time an event before the block (a negative offset): it applies at the first frame, and can never
// be taken for the list's end mark. Past 1023 entries the newest one keeps the last free place, so the block
// still ends in the state the host's last message asked for; the entry it displaces never plays, so the keys,
// wheel and controllers it sets take effect at once.
void NoteListWriter::append(int32_t frame, NoteEvent entry) {
    int32_t index = voice.noteEventCount;
    if (index <= lastFreeEntry) {
        ++voice.noteEventCount;
    } else {
        index = lastFreeEntry;
        applyHeldState(voice, voice.noteEvents[index]);
    }
    entry.deltaFrames = frame < 0 ? 0 : frame;
    voice.noteEvents[index] = entry;
}

void NoteListWriter::add(std::span<const MidiMessage> messages) {
    // An entry of a kind other than a key's.
    auto other = [&](int32_t frame, EntryKind kind, float bendFactor, float value) {
        append(frame, NoteEvent{0, lastOnNote, lastOffNote, 0.0f, bendFactor, -1, 0, kind, value});
    };

    for (const MidiMessage& message : messages) {
        const int32_t status = message.status & 0xF0;
        // MIDI data bytes carry 7 bits; a set top bit from a careless host must not reach the controllers
        // (a volume of 255/128 would play every later note 6 dB louder) or the bend (a factor of 1.78).
        const int32_t data1 = message.data1 & 0x7F;
        const int32_t data2 = message.data2 & 0x7F;
        const int32_t at = message.frame;

        if (status == 0x90 || status == 0x80) {
            const int32_t note = data1;
            const int32_t velocity = data2;
            if (status == 0x90 && velocity != 0) {
                const float scaled = static_cast<float>(velocity) * velocityScale;
                append(at, NoteEvent{0, note, lastOffNote, scaled, 0.0f, note, 1, EntryKind::key, 0.0f});
                lastOnNote = note;
            } else {
                append(at, NoteEvent{0, lastOnNote, note, 0.0f, 0.0f, note, 0, EntryKind::key, 0.0f});
                lastOffNote = note;
            }
        } else if (status == 0xB0) {
            const float value = static_cast<float>(data2) * controllerScale;
            if (data1 == 1) {
                other(at, EntryKind::modWheel, 0.0f, value);
            } else if (data1 == 7) {
                other(at, EntryKind::volume, 0.0f, value);
            } else if (data1 == 120) {
                other(at, EntryKind::allSoundOff, 0.0f, 0.0f);
            } else if (data1 == 121) {
                other(at, EntryKind::resetControllers, 0.0f, 0.0f);
            } else if (data1 >= 123) { // All Notes Off, and the mode changes, which imply it
                other(at, EntryKind::allNotesOff, 0.0f, 0.0f);
            }
        } else if (status == 0xE0) {
            other(at, EntryKind::bend, pitchBendFactor(data2 * 128 + data1), 0.0f);
        }
    }
    voice.noteEvents[voice.noteEventCount].deltaFrames = -1;
}

} // namespace solvantis
