// Both dispatcher layers, reached through the record's dispatcher entry as a host reaches them.
#include "host_test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <limits>

using namespace solvantis;
using namespace solvantis::hosttest;

namespace {

#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
constexpr intptr_t kBeyondInt32 = intptr_t{1} << 32;
#endif

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::reset();
        SpyEffect::log().clear();
        effect = createInstance(FakeHost::callback, makeSpy);
        ASSERT_NE(effect, nullptr);
        spy = spyOf(effect);
        FakeHost::instance().requests.clear();
    }
    void TearDown() override {
        if (effect) {
            dispatch(effect, effClose);
        }
    }
    const std::vector<std::string>& calls() { return SpyEffect::log(); }

    AEffect* effect = nullptr;
    SpyEffect* spy = nullptr;
};

struct RecordingEditor : EffectEditor {
    intptr_t getRect(void** rect) override {
        *rect = this;
        return 11;
    }
    intptr_t open(void* window) override {
        lastWindow = window;
        return 12;
    }
    void close() override { ++closes; }
    void idle() override { ++idles; }
    intptr_t onKeyDown(VstKeyCode& key) override {
        lastKey = key;
        return 13;
    }
    intptr_t onKeyUp(VstKeyCode& key) override {
        lastKey = key;
        return 14;
    }
    intptr_t setKnobMode(int32_t mode) override { return mode + 100; }

    void* lastWindow = nullptr;
    int closes = 0;
    int idles = 0;
    VstKeyCode lastKey{};
};

} // namespace

TEST_F(DispatcherTest, OpcodesOutsideTheTableAnswerZeroAndDoNothing) {
    for (int32_t opcode : {77, 78, 1000, -1, std::numeric_limits<int32_t>::min(),
                           std::numeric_limits<int32_t>::max(), int32_t{effEditDraw}, int32_t{effEditMouse},
                           int32_t{effEditKey}, int32_t{effEditTop}, int32_t{effEditSleep}}) {
        char text[64] = "untouched";
        EXPECT_EQ(dispatch(effect, opcode, 1, 1, text, 1.0f), 0) << opcode;
        EXPECT_STREQ(text, "untouched") << opcode;
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(FakeHost::instance().requests.empty());
}

TEST_F(DispatcherTest, SetProgramPassesEverythingBelowTheProgramCount) {
    dispatch(effect, effSetProgram, 0, 128);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    dispatch(effect, effSetProgram, 0, kBeyondInt32 + 5); // would narrow to 5
    dispatch(effect, effSetProgram, 0, -kBeyondInt32);    // would narrow to 0
#endif
    EXPECT_TRUE(calls().empty());
    dispatch(effect, effSetProgram, 0, 127);
    dispatch(effect, effSetProgram, 0, -1);
    ASSERT_EQ(calls().size(), 2u);
    EXPECT_EQ(calls()[0], "setProgram 127");
    EXPECT_EQ(calls()[1], "setProgram -1");
    EXPECT_EQ(dispatch(effect, effGetProgram), -1) << "the base setProgram stores what it gets";
}

TEST_F(DispatcherTest, MainsChangedSuspendsOnZeroAndResumesOnAnythingElse) {
    dispatch(effect, effMainsChanged, 0, 1);
    dispatch(effect, effMainsChanged, 0, 0);
    dispatch(effect, effMainsChanged, 0, 2);
    EXPECT_EQ(calls(), (std::vector<std::string>{"resume", "suspend", "resume"}));
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    dispatch(effect, effMainsChanged, 0, kBeyondInt32); // zero only in its low half
    EXPECT_EQ(calls().back(), "resume");
    EXPECT_EQ(calls().size(), 4u);
#endif
}

TEST_F(DispatcherTest, FixedAnswers) {
    EXPECT_EQ(dispatch(effect, effIdentify), 0x4e764566);
    EXPECT_EQ(dispatch(effect, effKeysRequired), 1);
    spy->keys = true;
    EXPECT_EQ(dispatch(effect, effKeysRequired), 0);
    EXPECT_EQ(dispatch(effect, effGetVstVersion), 2300);
    EXPECT_EQ(dispatch(effect, effGetPlugCategory), kPlugCategSynth);
    spy->isSynth(false);
    EXPECT_EQ(dispatch(effect, effGetPlugCategory), kPlugCategUnknown);
    EXPECT_EQ(dispatch(effect, effGetNumProgramCategories), 1);
    EXPECT_EQ(dispatch(effect, effCanBeAutomated, 0), 1);
    EXPECT_EQ(dispatch(effect, effCanBeAutomated, 1000), 1);
    EXPECT_EQ(dispatch(effect, effString2Parameter, 0, 0, const_cast<char*>("0.5")), 0);
    EXPECT_EQ(dispatch(effect, effGetTailSize), 0);
    EXPECT_EQ(dispatch(effect, effBeginSetProgram), 0);
    EXPECT_EQ(dispatch(effect, effEndSetProgram), 0);
    EXPECT_EQ(dispatch(effect, effGetVendorVersion), 0);
    EXPECT_EQ(dispatch(effect, effGetCurrentPosition), 0);
    EXPECT_EQ(dispatch(effect, effGetDestinationBuffer), 0);
    EXPECT_EQ(dispatch(effect, effGetIcon), 0);
    EXPECT_EQ(dispatch(effect, effStartProcess), 0);
    EXPECT_EQ(dispatch(effect, effSetTotalSampleToProcess, 0, 4410), 4410);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    EXPECT_EQ(dispatch(effect, effSetTotalSampleToProcess, 0, kBeyondInt32 + 4410), 0);
#endif
}

TEST_F(DispatcherTest, BooleanAnswersAreExactlyOneOrZero) {
    spy->answerTrue = true;
    EXPECT_EQ(dispatch(effect, effCopyProgram, 3), 1);
    EXPECT_EQ(dispatch(effect, effSetBypass, 0, 7), 1);
    EXPECT_EQ(calls().back(), "setBypass on");
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    dispatch(effect, effSetBypass, 0, kBeyondInt32);
#endif
    EXPECT_EQ(calls().back(), "setBypass on") << "compared before narrowing";
    spy->answerTrue = false;
    EXPECT_EQ(dispatch(effect, effCopyProgram, 3), 0);
    EXPECT_EQ(calls()[0], "copyProgram 3");
}

TEST_F(DispatcherTest, ConnectAnswersOneWhateverTheValue) {
    EXPECT_EQ(dispatch(effect, effConnectInput, 1, 0), 1);
    EXPECT_EQ(dispatch(effect, effConnectInput, 2, 5), 1);
    EXPECT_EQ(dispatch(effect, effConnectOutput, 0, 1), 1);
    EXPECT_EQ(calls(), (std::vector<std::string>{"inputConnected 1 off", "inputConnected 2 on"}));
}

TEST_F(DispatcherTest, ProgramNameIndexedTakesTheCategoryFromValueAndTheProgramFromIndex) {
    char name[64];
    dispatch(effect, effGetProgramNameIndexed, 5, 2, name);
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(calls()[0], "getProgramNameIndexed 2 5");
    EXPECT_EQ(dispatch(effect, effGetProgramNameIndexed, 5, 2, nullptr), 0);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    EXPECT_EQ(dispatch(effect, effGetProgramNameIndexed, 5, kBeyondInt32 + 2, name), 0);
#endif
    EXPECT_EQ(calls().size(), 1u);
}

TEST_F(DispatcherTest, VuIsScaledAndTruncatedTowardZero) {
    spy->vu = 0.5f;
    EXPECT_EQ(dispatch(effect, effGetVu), 16383);
    spy->vu = -0.5f;
    EXPECT_EQ(dispatch(effect, effGetVu), -16383);
    spy->vu = 1.0f;
    EXPECT_EQ(dispatch(effect, effGetVu), 32767);
    spy->vu = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(dispatch(effect, effGetVu), 0);
    spy->vu = 1e30f;
    EXPECT_EQ(dispatch(effect, effGetVu), std::numeric_limits<int32_t>::max());
}

TEST_F(DispatcherTest, SampleRateAndBlockSizeAcceptOnlyUsableValues) {
    dispatch(effect, effSetSampleRate, 0, 0, nullptr, 48000.0f);
    dispatch(effect, effSetBlockSize, 0, 256);
    EXPECT_EQ(calls(), (std::vector<std::string>{"setSampleRate 48000.000000", "setBlockSize 256"}));
    for (float rate : {0.0f, -44100.0f, 7999.0f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(), 1e30f}) {
        dispatch(effect, effSetSampleRate, 0, 0, nullptr, rate);
    }
    for (intptr_t size : {
             intptr_t{0}, intptr_t{-1},
#if INTPTR_MAX > INT32_MAX
                 kBeyondInt32 + 256,
#endif
         }) {
        dispatch(effect, effSetBlockSize, 0, size);
    }
    EXPECT_EQ(calls().size(), 2u);
    EXPECT_EQ(spy->getSampleRate(), 48000.0f);
    EXPECT_EQ(spy->getBlockSize(), 256);
}

TEST_F(DispatcherTest, BlockSizeAndSampleRateAreStoredDirectly) {
    EXPECT_EQ(dispatch(effect, effSetBlockSizeAndSampleRate, 0, 64, nullptr, 96000.0f), 1);
    EXPECT_TRUE(calls().empty()) << "neither setBlockSize nor setSampleRate runs";
    EXPECT_EQ(spy->getBlockSize(), 64);
    EXPECT_EQ(spy->getSampleRate(), 96000.0f);
    // An unusable half keeps what is held.
    EXPECT_EQ(dispatch(effect, effSetBlockSizeAndSampleRate, 0, -5, nullptr, 22050.0f), 1);
    EXPECT_EQ(spy->getBlockSize(), 64);
    EXPECT_EQ(spy->getSampleRate(), 22050.0f);
    EXPECT_EQ(dispatch(effect, effSetBlockSizeAndSampleRate, 0, 128, nullptr, -1.0f), 1);
    EXPECT_EQ(spy->getBlockSize(), 128);
    EXPECT_EQ(spy->getSampleRate(), 22050.0f);
}

TEST_F(DispatcherTest, ParameterTextsNeedABufferAndAParameter) {
    char text[32] = "junk";
    dispatch(effect, effGetParamName, 18, 0, text);
    EXPECT_EQ(calls().back(), "getParameterName 18");
    EXPECT_STREQ(text, "");
    std::strcpy(text, "junk");
    dispatch(effect, effGetParamDisplay, 19, 0, text);
    EXPECT_STREQ(text, "") << "an unknown parameter reads as an empty text";
    std::strcpy(text, "junk");
    dispatch(effect, effGetParamLabel, -1, 0, text);
    EXPECT_STREQ(text, "");
    for (int32_t opcode :
         {effGetParamLabel, effGetParamDisplay, effGetParamName, effGetProgramName, effSetProgramName}) {
        EXPECT_EQ(dispatch(effect, opcode, 0, 0, nullptr), 0);
    }
    EXPECT_EQ(calls().size(), 1u);
}

TEST_F(DispatcherTest, ChunksTakeThePresetFlagFromIndex) {
    void* data = nullptr;
    EXPECT_EQ(dispatch(effect, effGetChunk, 1, 0, &data), 7);
    EXPECT_EQ(dispatch(effect, effGetChunk, 0, 0, &data), 7);
    char bytes[16];
    EXPECT_EQ(dispatch(effect, effSetChunk, 0, 16, bytes), 9);
    EXPECT_EQ(calls(), (std::vector<std::string>{"getChunk preset", "getChunk bank", "setChunk 16 bank"}));
    EXPECT_EQ(dispatch(effect, effGetChunk, 1, 0, nullptr), 0);
    EXPECT_EQ(dispatch(effect, effSetChunk, 0, -1, bytes), 0);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    EXPECT_EQ(dispatch(effect, effSetChunk, 0, kBeyondInt32, bytes), 0);
#endif
    EXPECT_EQ(calls().size(), 3u);
}

TEST_F(DispatcherTest, EventsNeedAList) {
    EXPECT_EQ(dispatch(effect, effProcessEvents, 0, 0, nullptr), 0);
    EXPECT_TRUE(calls().empty());
    VstEvents events{};
    events.numEvents = 0;
    spy->eventsResult = 1;
    EXPECT_EQ(dispatch(effect, effProcessEvents, 0, 0, &events), 1);
    EXPECT_EQ(calls().back(), "processEvents 0");
}

TEST_F(DispatcherTest, PinsBeyondTheRecordAreNotAskedFor) {
    VstPinProperties pin{};
    spy->answerTrue = true;
    EXPECT_EQ(dispatch(effect, effGetOutputProperties, 1, 0, &pin), 1);
    EXPECT_EQ(dispatch(effect, effGetOutputProperties, 2, 0, &pin), 0);
    EXPECT_EQ(dispatch(effect, effGetOutputProperties, -1, 0, &pin), 0);
    EXPECT_EQ(dispatch(effect, effGetOutputProperties, 0, 0, nullptr), 0);
    EXPECT_EQ(dispatch(effect, effGetInputProperties, 0, 0, &pin), 0) << "the spy has no inputs";
    EXPECT_EQ(calls(), (std::vector<std::string>{"getOutputProperties 1"}));
}

TEST_F(DispatcherTest, MidiChannelsOutsideSixteenGetTheNeutralAnswer) {
    MidiProgramName name{};
    EXPECT_EQ(dispatch(effect, effGetCurrentMidiProgram, 5, 0, &name), 5);
    EXPECT_EQ(dispatch(effect, effGetCurrentMidiProgram, 16, 0, &name), -1);
    EXPECT_EQ(dispatch(effect, effGetCurrentMidiProgram, -1, 0, &name), -1);
    EXPECT_EQ(dispatch(effect, effGetCurrentMidiProgram, 5, 0, nullptr), -1);
    EXPECT_EQ(calls(), (std::vector<std::string>{"getCurrentMidiProgram 5"}));
    MidiProgramCategory category{};
    MidiKeyName key{};
    EXPECT_EQ(dispatch(effect, effGetMidiProgramName, 16, 0, &name), 0);
    EXPECT_EQ(dispatch(effect, effGetMidiProgramCategory, 16, 0, &category), 0);
    EXPECT_EQ(dispatch(effect, effGetMidiKeyName, 16, 0, &key), 0);
    EXPECT_EQ(dispatch(effect, effHasMidiProgramsChanged, 16), 0);
}

TEST_F(DispatcherTest, CanDoPassesTheAnswerThrough) {
    char word[] = "receiveVstMidiEvent";
    EXPECT_EQ(dispatch(effect, effCanDo, 0, 0, word), -1);
    EXPECT_EQ(calls().back(), "canDo receiveVstMidiEvent");
    EXPECT_EQ(dispatch(effect, effCanDo, 0, 0, nullptr), 0);
}

TEST_F(DispatcherTest, EditorOpcodesAnswerZeroWithoutAnEditor) {
    void* rect = nullptr;
    for (int32_t opcode : {effEditGetRect, effEditOpen, effEditClose, effEditIdle, effEditKeyDown,
                           effEditKeyUp, effSetEditKnobMode}) {
        EXPECT_EQ(dispatch(effect, opcode, 65, 0x1234, &rect, 3.0f), 0) << opcode;
    }
    EXPECT_EQ(rect, nullptr);
}

TEST_F(DispatcherTest, EditorOpcodesReachAnEditorWhenThereIsOne) {
    auto owned = std::make_unique<RecordingEditor>();
    RecordingEditor* editor = owned.get();
    spy->installEditor(std::move(owned));
    void* rect = nullptr;
    EXPECT_EQ(dispatch(effect, effEditGetRect, 0, 0, &rect), 11);
    EXPECT_EQ(rect, editor);
    int window = 0;
    EXPECT_EQ(dispatch(effect, effEditOpen, 0, 0, &window), 12);
    EXPECT_EQ(editor->lastWindow, &window);
    EXPECT_EQ(dispatch(effect, effEditClose), 0);
    EXPECT_EQ(dispatch(effect, effEditIdle), 0);
    EXPECT_EQ(editor->closes, 1);
    EXPECT_EQ(editor->idles, 1);
    EXPECT_EQ(dispatch(effect, effEditKeyDown, 'a', 0x1234, nullptr, 258.7f), 13);
    EXPECT_EQ(editor->lastKey.character, 'a');
    EXPECT_EQ(editor->lastKey.virt, 0x34);
    EXPECT_EQ(editor->lastKey.modifier, 2) << "258 truncated, low byte";
    EXPECT_EQ(dispatch(effect, effEditKeyUp, 'b', 0, nullptr, std::numeric_limits<float>::quiet_NaN()), 14);
    EXPECT_EQ(editor->lastKey.modifier, 0);
    EXPECT_EQ(dispatch(effect, effSetEditKnobMode, 0, 2), 102);
    EXPECT_EQ(spy->getEditor(), editor);
}

// Every opcode with the operands a confused host might send: nothing may crash, write through a null
// pointer, or touch the host. Closing is left to TearDown.
TEST_F(DispatcherTest, NonsenseOperandsNeverCrash) {
    const intptr_t values[] = {0, -1, std::numeric_limits<intptr_t>::max(),
                               std::numeric_limits<intptr_t>::min()};
    const int32_t indices[] = {0, -1, 1000000, std::numeric_limits<int32_t>::min()};
    const float opts[] = {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()};
    for (int32_t opcode = -2; opcode <= 80; ++opcode) {
        if (opcode == effClose || opcode == effSetSpeakerArrangement || opcode == effGetSpeakerArrangement) {
            continue; // closing ends the object; the arrangement opcodes carry pointers in value
        }
        for (intptr_t value : values) {
            for (int32_t index : indices) {
                for (float opt : opts) {
                    dispatch(effect, opcode, index, value, nullptr, opt);
                }
            }
        }
    }
    EXPECT_EQ(dispatch(effect, effGetSpeakerArrangement, 0, 0, nullptr), 0);
    EXPECT_EQ(dispatch(effect, effSetSpeakerArrangement, 0, 0, nullptr), 0);
    EXPECT_EQ(spy->getSampleRate(), 44100.0f);
    // No sample rate got through, and none of these opcodes asks the host anything.
    EXPECT_TRUE(FakeHost::instance().requests.empty());
}
