#include "voice/note_logic.h"

#include "host/vst_abi.h"

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

int32_t fillNoteList(VoiceState& voice, const VstEvents* events) {
    int32_t count = 0;
    int32_t lastOnNote = 0;
    int32_t lastOffNote = 0;

    // A host may time an event before the block (a negative offset): it applies at the first frame, and can
    // never be taken for the list's end mark. Past 1023 entries the newest one keeps the last free place, so
    // the block still ends in the state the host's last message asked for; the entry it displaces never
    // plays, so the keys, wheel and controllers it sets take effect at once.
    auto append = [&](int32_t deltaFrames, NoteEvent entry) {
        int32_t index = count;
        if (count <= lastFreeEntry) {
            ++count;
        } else {
            index = lastFreeEntry;
            applyHeldState(voice, voice.noteEvents[index]);
        }
        entry.deltaFrames = deltaFrames < 0 ? 0 : deltaFrames;
        voice.noteEvents[index] = entry;
    };
    // An entry of a kind other than a key's.
    auto other = [&](int32_t deltaFrames, EntryKind kind, float bendFactor, float value) {
        append(deltaFrames, NoteEvent{0, lastOnNote, lastOffNote, 0.0f, bendFactor, -1, 0, kind, value});
    };

    const int32_t numEvents = events != nullptr ? events->numEvents : 0;
    for (int32_t i = 0; i < numEvents; ++i) {
        const VstEvent* event = eventList(events)[i];
        if (event == nullptr || event->type != kVstMidiType) {
            continue;
        }
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        const int32_t status = static_cast<unsigned char>(midi->midiData[0]) & 0xF0;
        // MIDI data bytes carry 7 bits; a set top bit from a careless host must not reach the controllers
        // (a volume of 255/128 would play every later note 6 dB louder) or the bend (a factor of 1.78).
        const int32_t data1 = static_cast<unsigned char>(midi->midiData[1]) & 0x7F;
        const int32_t data2 = static_cast<unsigned char>(midi->midiData[2]) & 0x7F;
        const int32_t at = midi->deltaFrames;

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
    voice.noteEventCount = count;
    voice.noteEvents[count].deltaFrames = -1;
    return 1;
}

} // namespace solvantis
