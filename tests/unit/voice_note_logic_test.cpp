// MIDI handling: the timed note list, held keys, controllers, pitch bend and the monophonic note logic.
#include <gtest/gtest.h>

#include "dsp/lookup_tables.h"
#include "phrase_support.h"
#include "voice/note_logic.h"

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

// What a player does, in blocks of 64 frames (so its messages fall in blocks of their own or share one), and
// what the voice then plays: the gate, and a key's table pitch times the factor of a wheel position.
struct Played {
    const char* what;
    int32_t legato;
    Phrase phrase;
    bool gate;
    int32_t key;
    int32_t wheel;
};

TEST(NoteLogicRules, TheVoicePlaysTheSoundingKeyAtTheWheelsPosition) {
    const Played rows[] = {
        {"a bend keeps a held note sounding, Legato off", 0, Phrase().on(10, 69).bend(100, 16383), true, 69,
         16383},
        {"a bend keeps a held note sounding, Legato on", 1, Phrase().on(10, 69).bend(100, 16383), true, 69,
         16383},
        {"a bend in the note's own block", 0, Phrase().on(10, 69).bend(20, 0), true, 69, 0},
        {"two identical bends do not compound", 0, Phrase().on(10, 69).bend(100, 16383).bend(200, 16383),
         true, 69, 16383},
        {"the wheel back at centre gives the key's own pitch", 0,
         Phrase().on(10, 69).bend(100, 3000).bend(200, 8192), true, 69, 8192},
        {"a bend stays on the sounding key, Legato on", 1, Phrase().on(10, 57).on(100, 64).bend(200, 12000),
         true, 64, 12000},
        {"a note starts at the wheel's position, blocks after the bend", 0, Phrase().bend(10, 0).on(300, 69),
         true, 69, 0},
        {"releasing a key that is not sounding, Legato off", 0, Phrase().on(10, 57).on(100, 60).off(200, 57),
         true, 60, 8192},
        {"releasing a key that is not sounding, Legato on", 1,
         Phrase().on(10, 60).on(100, 64).on(150, 67).off(200, 60), true, 67, 8192},
        {"releasing the sounding key falls back to the lowest held key, bent", 1,
         Phrase().bend(5, 12000).on(10, 57).on(100, 60).on(150, 64).off(200, 64), true, 57, 12000},
        {"releasing the sounding key closes the gate, Legato off", 0,
         Phrase().on(10, 57).on(100, 60).off(200, 60), false, 60, 8192},
        {"All Notes Off releases every key", 1, Phrase().on(10, 57).on(100, 60).controller(200, 123, 0),
         false, 60, 8192},
        {"Omni Off releases every key", 1, Phrase().on(10, 57).on(100, 60).controller(200, 124, 0), false, 60,
         8192},
        {"Poly On releases every key", 1, Phrase().on(10, 57).on(100, 60).controller(200, 127, 0), false, 60,
         8192},
        {"a key released by All Notes Off is no fall-back", 1,
         Phrase().on(10, 57).controller(100, 123, 0).on(200, 64).off(300, 64), false, 64, 8192},
        {"All Sound Off releases every key", 1, Phrase().on(10, 57).on(100, 60).controller(200, 120, 0),
         false, 60, 8192},
        {"Reset All Controllers centres the wheel", 0,
         Phrase().on(10, 69).bend(100, 16383).controller(200, 121, 0), true, 69, 8192},
        {"Local Control changes nothing", 0, Phrase().on(10, 69).controller(200, 122, 0), true, 69, 8192},
    };
    for (const Played& row : rows) {
        for (bool plain : {false, true}) {
            VoiceRig rig;
            rig.plain = plain;
            rig.params.Legato = row.legato;
            Phrase phrase = row.phrase;
            phrase.length = 1024;
            std::vector<float> out;
            playPhrase(rig, phrase, 64, out);
            const VoiceState& voice = rig.state().voice;
            SCOPED_TRACE(::testing::Message() << row.what << (plain ? ", plain render" : ""));
            EXPECT_EQ(voice.voiceGate, row.gate);
            EXPECT_EQ(voice.voiceFrequency, noteFrequencies[row.key] * pitchBendFactor(row.wheel));
        }
    }
}

// What may not change the sound at all: the same phrase with and without the message renders the same bits.
TEST(NoteLogicRules, MessagesThatChangeNothingAudibleLeaveTheRenderAlone) {
    struct Row {
        const char* what;
        int32_t legato;
        Phrase with, without;
    };
    const Row rows[] = {
        {"release of a held key that is not sounding, Legato off", 0,
         Phrase().on(100, 57).on(3000, 60).off(9000, 57), Phrase().on(100, 57).on(3000, 60)},
        {"release of a held key that is not sounding, Legato on", 1,
         Phrase().on(100, 60).on(3000, 64).on(6000, 67).off(9000, 60),
         Phrase().on(100, 60).on(3000, 64).on(6000, 67)},
        {"the wheel at centre", 0, Phrase().on(100, 69).bend(9000, 8192), Phrase().on(100, 69)},
        {"Reset All Controllers with nothing moved", 1, Phrase().on(100, 69).controller(9000, 121, 0),
         Phrase().on(100, 69)},
    };
    for (const Row& row : rows) {
        std::vector<float> with, without;
        for (auto [phrase, out] : {std::pair{row.with, &with}, std::pair{row.without, &without}}) {
            VoiceRig rig;
            rig.params.Legato = row.legato;
            phrase.length = 30000;
            playPhrase(rig, phrase, 512, *out);
        }
        EXPECT_GT(rmsDb(without, 20000, 30000), -40.0) << row.what << ": the note sounds";
        EXPECT_EQ(with, without) << row.what;
    }
}

// Controllers 1 and 7 at frame 500 of a block: the frames before it play as without them. The volume scales
// every later sample by exactly its value, with or without the chorus; the wheel moves the sustain target.
TEST(NoteLogicRules, ControllersTakeEffectAtTheirOwnFrame) {
    for (float chorus : {0.0f, 1.0f}) {
        for (int32_t number : {7, 1}) {
            for (bool plain : {false, true}) {
                std::vector<float> outs[2];
                for (int32_t withController : {0, 1}) {
                    VoiceRig rig;
                    rig.plain = plain;
                    rig.params.Chorus = chorus;
                    rig.params.Decay = 0.0f; // the sustain from 0.1 s on, where the wheel shows
                    Phrase phrase;
                    phrase.on(10, 57);
                    if (withController != 0) {
                        phrase.controller(8192 + 500, number, 64);
                    }
                    phrase.length = 16384;
                    playPhrase(rig, phrase, 8192, outs[withController]);
                }
                SCOPED_TRACE(::testing::Message() << "controller " << number << ", chorus " << chorus
                                                  << (plain ? ", plain render" : ""));
                const std::vector<float>& plainOut = outs[0];
                const std::vector<float>& moved = outs[1];
                for (size_t i = 0; i < 8192 + 500; ++i) {
                    ASSERT_EQ(moved[i], plainOut[i]) << "frame " << i;
                }
                if (number == 7) {
                    for (size_t i = 8192 + 500; i < moved.size(); ++i) {
                        ASSERT_EQ(moved[i], 0.5f * plainOut[i]) << "frame " << i;
                    }
                } else {
                    EXPECT_LT(rmsDb(moved, 14000, 16384), rmsDb(plainOut, 14000, 16384) - 1.0);
                }
            }
        }
    }
}

// The channel mode messages that silence: All Sound Off within 5 ms, without a step bigger than the wave's
// own; All Notes Off through the release (1.3 s here), which still sounds 0.1 s later.
TEST(NoteLogicRules, AllSoundOffSilencesAtOnceAndAllNotesOffReleases) {
    constexpr int32_t at = 30000;
    for (bool plain : {false, true}) {
        for (int32_t number : {120, 123}) {
            VoiceRig rig;
            rig.plain = plain;
            rig.params.Release = 0.5f;
            Phrase phrase;
            phrase.on(100, 45).controller(at, number, 0);
            phrase.length = 100000;
            std::vector<float> out;
            playPhrase(rig, phrase, 256, out);
            SCOPED_TRACE(::testing::Message() << "controller " << number << (plain ? ", plain render" : ""));
            const size_t quiet = number == 120 ? at + 221 : at + 57331;
            ASSERT_GT(rmsDb(out, at - 2000, at), -30.0) << "the note sounds before";
            EXPECT_EQ(peakOf(std::vector<float>(out.begin() + quiet, out.end())), 0.0f);
            if (number == 123) {
                EXPECT_GT(rmsDb(out, at + 4000, at + 5000), -40.0) << "the release runs";
            } else {
                float ownStep = 0.0f, fadeStep = 0.0f;
                for (size_t i = at - 2000; i < at; ++i) {
                    ownStep = std::fmax(ownStep, std::fabs(out[i] - out[i - 1]));
                }
                for (size_t i = at; i < quiet + 2; ++i) {
                    fadeStep = std::fmax(fadeStep, std::fabs(out[i] - out[i - 1]));
                }
                // A cut to silence would step by the whole wave (some 20 times its own largest step).
                EXPECT_LE(fadeStep, 2.0f * ownStep) << "no click";
            }
        }
    }
}

// Data bytes are 7 bits: a host that leaves the top bit set gets what the low 7 bits say, never a
// volume of 1.99 (6 dB up for every later note) or a bend of three octaves.
TEST_F(NoteLogic, ControllerAndBendDataBytesAreMaskedTo7Bits) {
    struct Case {
        uint8_t status, data1, data2;
        float midiVolume, modWheel, bendFactor;
    };
    const Case cases[] = {
        {0xB0, 7, 0xFF, 127 * 0.0078125f, 1.0f, 1.0f},
        {0xB0, 7 | 0x80, 64, 0.5f, 1.0f, 1.0f},
        {0xB0, 1, 0xC0, 1.0f, 64 * 0.0078125f, 1.0f},
        {0xE0, 0xFF, 0xFF, 1.0f, 1.0f, pitchBendFactor(16383)},
        {0xE0, 0x80, 0xC0, 1.0f, 1.0f, pitchBendFactor(8192)},
    };
    for (const Case& c : cases) {
        VoiceRig fresh;
        MidiBlock midi;
        midi.add(0, c.status, c.data1, c.data2);
        fresh.send(midi);
        fresh.render(64);
        const VoiceState& v = fresh.state().voice;
        SCOPED_TRACE(::testing::Message()
                     << std::hex << int(c.status) << " " << int(c.data1) << " " << int(c.data2));
        EXPECT_EQ(v.midiVolume, c.midiVolume);
        EXPECT_EQ(v.modWheel, c.modWheel);
        EXPECT_EQ(v.bendFactor, c.bendFactor);
    }
}

TEST_F(NoteLogic, OtherMessagesAreSkipped) {
    MidiBlock midi;
    midi.add(0, 0xC0, 5, 0).add(0, 0xA0, 60, 100).add(3, 0xF0, 0x90, 60);
    block(midi);
    EXPECT_EQ(voice().noteEventCount, 0);
    EXPECT_EQ(voice().keyHeld[60], 0);
    EXPECT_FALSE(voice().voiceGate);
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
