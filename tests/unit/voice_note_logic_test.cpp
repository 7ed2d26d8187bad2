// MIDI handling: the timed note list, held keys, controllers, pitch bend and the monophonic note logic.
#include <gtest/gtest.h>

#include "dsp/lookup_tables.h"
#include "voice/note_logic.h"
#include "voice_test_support.h"

namespace solvantis::testing {
namespace {

struct NoteLogic : ::testing::Test {
    VoiceRig rig;
    VoiceState& voice() { return rig.state().voice; }
    void SetUp() override { ASSERT_TRUE(rig.ok); }
    void block(MidiBlock& midi, int32_t frames = 64) {
        rig.send(midi);
        rig.render(frames);
    }
};

TEST(PitchBend, FactorsAcrossTheWheel) {
    EXPECT_EQ(pitchBendFactor(8192), 1.0f);
    EXPECT_EQ(pitchBendFactor(7592), 1.0f);
    EXPECT_EQ(pitchBendFactor(8792), 1.0f);
    EXPECT_NEAR(pitchBendFactor(8793), 1.01907f, 1e-5f);
    EXPECT_NEAR(pitchBendFactor(7591), 0.99566f, 1e-5f);
    EXPECT_NEAR(pitchBendFactor(0), 0.94387f, 1e-5f);
    EXPECT_NEAR(pitchBendFactor(16383), 1.25989f, 1e-5f);
}

TEST_F(NoteLogic, NoteOnListsAnEntryAndHoldsTheKey) {
    MidiBlock midi;
    midi.noteOn(10, 60, 127);
    rig.send(midi);
    const NoteEvent& e = voice().noteEvents[0];
    EXPECT_EQ(e.deltaFrames, 10);
    EXPECT_EQ(e.onNote, 60);
    EXPECT_EQ(e.velocity, 1.0f);
    EXPECT_EQ(e.bendFactor, 0.0f);
    EXPECT_EQ(voice().noteEvents[1].deltaFrames, -1);
    EXPECT_EQ(voice().noteEventCount, 1);
    EXPECT_EQ(voice().keyHeld[60], 0) << "the key goes down when its entry plays";

    rig.render(64);
    EXPECT_EQ(voice().keyHeld[60], 1);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().voiceVelocity, 1.0f);
    EXPECT_EQ(voice().voiceFrequency, 261.62558f);
    EXPECT_EQ(voice().noteEvents[0].deltaFrames, -1) << "applied entries are marked";
}

TEST_F(NoteLogic, VelocityZeroIsANoteOff) {
    MidiBlock on;
    on.noteOn(0, 64);
    block(on);
    MidiBlock off;
    off.add(3, 0x90, 64, 0);
    rig.send(off);
    EXPECT_EQ(voice().noteEvents[0].velocity, 0.0f);
    EXPECT_EQ(voice().noteEvents[0].offNote, 64);
    rig.params.Legato = 0;
    rig.render(64);
    EXPECT_EQ(voice().keyHeld[64], 0);
    EXPECT_FALSE(voice().voiceGate);
}

TEST_F(NoteLogic, LegatoMovesToTheLowestHeldKeyAndKeepsTheVelocity) {
    MidiBlock held;
    held.noteOn(0, 60, 100).noteOn(5, 64, 50);
    block(held);
    EXPECT_EQ(voice().voiceFrequency, noteFrequencies[64]);
    const float velocity = voice().voiceVelocity;

    MidiBlock release;
    release.noteOff(0, 64);
    block(release);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().voiceFrequency, noteFrequencies[60]);
    EXPECT_EQ(voice().voiceVelocity, velocity);
}

TEST_F(NoteLogic, ReleasingAnotherKeyStaysOnTheLowestHeldOne) {
    MidiBlock held;
    held.noteOn(0, 64).noteOn(1, 60);
    block(held);
    MidiBlock release;
    release.noteOff(0, 64);
    block(release);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().voiceFrequency, noteFrequencies[60]);
}

// The scan covers the whole keyboard: a key held at either end, the only one left when the sounding note is
// released, takes the voice with Legato on; with Legato off the release closes the gate all the same.
TEST(NoteLogicEdges, LegatoFindsTheOnlyHeldKeyAtEitherEndOfTheKeyboard) {
    for (int32_t edgeKey : {0, noteCount - 1}) {
        for (int32_t legato : {1, 0}) {
            VoiceRig rig;
            ASSERT_TRUE(rig.ok);
            rig.params.Legato = legato;
            MidiBlock held;
            held.noteOn(0, edgeKey).noteOn(1, 60);
            rig.send(held);
            rig.render(64);
            MidiBlock release;
            release.noteOff(0, 60);
            rig.send(release);
            rig.render(64);
            const VoiceState& voice = rig.state().voice;
            SCOPED_TRACE(::testing::Message() << "key " << edgeKey << ", Legato " << legato);
            EXPECT_EQ(voice.voiceGate, legato != 0);
            if (legato != 0) {
                EXPECT_EQ(voice.voiceFrequency, noteFrequencies[edgeKey]);
            }
        }
    }
}

TEST_F(NoteLogic, WithoutLegatoAnyReleaseClosesTheGate) {
    rig.params.Legato = 0;
    MidiBlock held;
    held.noteOn(0, 60).noteOn(1, 64);
    block(held);
    MidiBlock release;
    release.noteOff(0, 60); // not the sounding key
    block(release);
    EXPECT_FALSE(voice().voiceGate);
}

TEST_F(NoteLogic, AllNotesOffKeepsTheNoteSounding) {
    MidiBlock on;
    on.noteOn(0, 60);
    block(on);
    MidiBlock panic;
    panic.controller(0, 123, 0);
    block(panic);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().keyHeld[60], 1);
    EXPECT_EQ(voice().noteEventCount, 0);
}

TEST_F(NoteLogic, ABendAloneIsAReleaseThenBends) {
    rig.params.Legato = 0;
    MidiBlock on;
    on.noteOn(0, 69);
    block(on);
    MidiBlock up;
    up.bend(0, 16383);
    block(up);
    EXPECT_FALSE(voice().voiceGate);
    EXPECT_NEAR(voice().voiceFrequency, 440.0f * 1.25989f, 0.01f);
    MidiBlock again;
    again.bend(0, 16383);
    block(again);
    EXPECT_NEAR(voice().voiceFrequency, 440.0f * 1.25989f * 1.25989f, 0.02f);
}

TEST_F(NoteLogic, ABendAfterANoteOnInTheSameBlockRestartsThatNoteBent) {
    rig.params.Legato = 0;
    MidiBlock midi;
    midi.noteOn(0, 69).bend(20, 0);
    rig.send(midi);
    EXPECT_GT(voice().noteEvents[1].velocity, 0.0f) << "the bend entry carries the running velocity";
    rig.render(64);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().voiceFrequency, 440.0f * pitchBendFactor(0));
}

TEST_F(NoteLogic, ANoteAfterABendInTheSameBlockIsBentAndTheNextBlockIsNot) {
    MidiBlock midi;
    midi.bend(0, 16383).noteOn(1, 69);
    block(midi);
    EXPECT_EQ(voice().voiceFrequency, 440.0f * pitchBendFactor(16383));
    MidiBlock plain;
    plain.noteOn(0, 69);
    block(plain);
    EXPECT_EQ(voice().voiceFrequency, 440.0f);
}

TEST_F(NoteLogic, ControllersApplyAtOnce) {
    MidiBlock midi;
    midi.controller(500, 7, 64).controller(500, 1, 127);
    rig.send(midi);
    EXPECT_EQ(voice().midiVolume, 0.5f);
    EXPECT_EQ(voice().modWheel, 0.9921875f);
    EXPECT_EQ(voice().noteEventCount, 0);
}

// Data bytes are 7 bits: a host that leaves the top bit set gets what the low 7 bits say, never a
// volume of 1.99 (6 dB up for every later note) or a bend of three octaves.
TEST_F(NoteLogic, ControllerAndBendDataBytesAreMaskedTo7Bits) {
    struct Case {
        uint8_t status, data1, data2;
        float midiVolume, modWheel, bendFactor;
    };
    const Case cases[] = {
        {0xB0, 7, 0xFF, 127 * 0.0078125f, 1.0f, 0.0f},
        {0xB0, 7 | 0x80, 64, 0.5f, 1.0f, 0.0f},
        {0xB0, 1, 0xC0, 1.0f, 64 * 0.0078125f, 0.0f},
        {0xE0, 0xFF, 0xFF, 1.0f, 1.0f, pitchBendFactor(16383)},
        {0xE0, 0x80, 0xC0, 1.0f, 1.0f, pitchBendFactor(8192)},
    };
    for (const Case& c : cases) {
        VoiceRig fresh;
        MidiBlock midi;
        midi.add(0, c.status, c.data1, c.data2);
        fresh.send(midi);
        const VoiceState& v = fresh.state().voice;
        SCOPED_TRACE(::testing::Message()
                     << std::hex << int(c.status) << " " << int(c.data1) << " " << int(c.data2));
        EXPECT_EQ(v.midiVolume, c.midiVolume);
        EXPECT_EQ(v.modWheel, c.modWheel);
        EXPECT_EQ(v.noteEvents[0].bendFactor, c.bendFactor);
    }
}

TEST_F(NoteLogic, OtherEventKindsAreSkipped) {
    MidiBlock midi;
    midi.sysex(0).sysex(3).add(0, 0xC0, 5, 0).add(0, 0xA0, 60, 100);
    block(midi);
    EXPECT_EQ(voice().noteEventCount, 0);
    EXPECT_EQ(voice().keyHeld[60], 0);
    EXPECT_FALSE(voice().voiceGate);
    EXPECT_EQ(rig.engine->processEvents(nullptr), 1);
}

TEST_F(NoteLogic, AListIsAppliedOnlyOnce) {
    MidiBlock on;
    on.noteOn(0, 60);
    block(on);
    rig.params.Legato = 0;
    MidiBlock off;
    off.noteOff(0, 60);
    block(off);
    ASSERT_FALSE(voice().voiceGate);
    rig.render(64); // no processEvents for this block
    EXPECT_FALSE(voice().voiceGate);
}

// Events the host times outside the block are applied, never lost.
TEST_F(NoteLogic, EntriesAtOrBeyondTheBlockEndApplyAtItsLastFrame) {
    rig.params.Legato = 0;
    MidiBlock on;
    on.noteOn(64, 60); // one past the last frame of a 64-frame block
    block(on);
    EXPECT_TRUE(voice().voiceGate);
    MidiBlock off;
    off.noteOff(1000, 60);
    block(off);
    EXPECT_FALSE(voice().voiceGate) << "a late note-off must not leave the note hanging";
}

TEST_F(NoteLogic, AnEntryEarlierThanItsPredecessorAppliesAtOnceAndTheRestFollow) {
    rig.params.Legato = 0;
    MidiBlock midi;
    midi.noteOn(30, 60).noteOff(10, 60).noteOn(40, 67);
    block(midi);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().voiceFrequency, noteFrequencies[67]);
}

TEST_F(NoteLogic, ANegativeOffsetAppliesAtTheFirstFrameAndDoesNotEndTheList) {
    rig.params.Legato = 0;
    MidiBlock midi;
    midi.noteOn(-1, 60).noteOff(5, 60).noteOn(6, 62);
    rig.send(midi);
    EXPECT_EQ(voice().noteEvents[0].deltaFrames, 0);
    rig.render(2);
    EXPECT_TRUE(voice().voiceGate) << "applied within a 2-frame block";
    EXPECT_EQ(voice().voiceFrequency, noteFrequencies[62])
        << "the later entries apply at the block's last frame";
}

TEST_F(NoteLogic, MoreThan1023EntriesKeepTheNewestInTheLastPlace) {
    rig.params.Legato = 0;
    MidiBlock midi;
    for (int i = 0; i < 700; ++i) {
        midi.noteOn(i / 4, 40 + i % 40).noteOff(i / 4, 40 + i % 40);
    }
    midi.noteOn(200, 72);
    rig.send(midi);
    EXPECT_EQ(voice().noteEventCount, 1023);
    EXPECT_EQ(voice().noteEvents[1022].onNote, 72);
    EXPECT_EQ(voice().noteEvents[1023].deltaFrames, -1);
    rig.render(256);
    EXPECT_TRUE(voice().voiceGate);
    EXPECT_EQ(voice().voiceFrequency, noteFrequencies[72]);
    // The displaced entries never played, but their key changes did: every key pressed and released in
    // the flood is up again, and the last note-on is down.
    int32_t held = 0;
    for (int32_t key = 0; key < noteCount; ++key) {
        held += voice().keyHeld[key];
    }
    EXPECT_EQ(held, 1);
    EXPECT_EQ(voice().keyHeld[72], 1);
}

// Keys are pressed only by entries that play: a list emptied by resume or replaced by a second
// processEvents before the block renders presses nothing, and the scan of a later release finds no key.
TEST_F(NoteLogic, KeysOfAListThatNeverPlaysAreNeverPressed) {
    for (bool viaResume : {true, false}) {
        VoiceRig fresh;
        MidiBlock lost;
        lost.noteOn(0, 40);
        fresh.send(lost);
        MidiBlock none;
        if (viaResume) {
            fresh.engine->resume();
        } else {
            fresh.send(none);
        }
        fresh.render(64);
        EXPECT_EQ(fresh.state().voice.keyHeld[40], 0) << (viaResume ? "resume" : "second list");
        MidiBlock play;
        play.noteOn(0, 60).noteOff(10, 60);
        fresh.send(play);
        fresh.render(64);
        EXPECT_FALSE(fresh.state().voice.voiceGate) << "a legato release found no held key";
    }
}

} // namespace
} // namespace solvantis::testing
