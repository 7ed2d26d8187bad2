// The requests the base classes send to the host, their operands, their answers, and what they answer
// without a host; the flag setters and the speaker-arrangement helpers.
#include "host_test_support.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace solvantis;
using namespace solvantis::hosttest;

namespace {

class RequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::reset();
        SpyEffect::log().clear();
    }
    const std::vector<Request>& sent() { return FakeHost::instance().requests; }
    void answer(int32_t opcode, intptr_t result) { FakeHost::instance().answer(opcode, result); }

    SpyEffect plugin;
};

} // namespace

TEST_F(RequestsTest, WithoutAHostEveryRequestAnswersForItself) {
    SpyEffect alone(nullptr);
    char text[64] = "untouched";
    VstEvents events{};
    EXPECT_EQ(alone.getMasterVersion(), 1);
    EXPECT_EQ(alone.getCurrentUniqueId(), 0);
    EXPECT_TRUE(alone.isInputConnected(0));
    EXPECT_TRUE(alone.isOutputConnected(1));
    EXPECT_EQ(alone.getTimeInfo(0), nullptr);
    EXPECT_FALSE(alone.sendVstEventsToHost(&events));
    EXPECT_EQ(alone.tempoAt(0), 0);
    EXPECT_FALSE(alone.ioChanged());
    EXPECT_FALSE(alone.sizeWindow(10, 10));
    EXPECT_EQ(alone.updateSampleRate(), 44100.0f);
    EXPECT_EQ(alone.updateBlockSize(), 1024);
    EXPECT_EQ(alone.getPreviousPlug(0), nullptr);
    EXPECT_EQ(alone.getOutputSpeakerArrangement(), nullptr);
    EXPECT_FALSE(alone.getHostVendorString(text));
    EXPECT_EQ(alone.canHostDo(text), 0);
    EXPECT_EQ(alone.getDirectory(), nullptr);
    EXPECT_FALSE(alone.beginEdit(0));
    EXPECT_STREQ(text, "untouched");
    alone.wantEvents(1);
    alone.masterIdle();
    alone.setParameterAutomated(2, 0.5f);
    EXPECT_TRUE(SpyEffect::called("setParameter 2 0.500000")) << "the store still happens";
    EXPECT_TRUE(sent().empty());
}

TEST_F(RequestsTest, VersionOfZeroCountsAsOne) {
    FakeHost::instance().versionAnswer = 0;
    EXPECT_EQ(plugin.getMasterVersion(), 1);
    FakeHost::instance().versionAnswer = 2400;
    EXPECT_EQ(plugin.getMasterVersion(), 2400);
    ASSERT_EQ(sent().size(), 2u);
    EXPECT_EQ(sent()[0].effect, plugin.getAeffect()) << "requests carry the record";
}

TEST_F(RequestsTest, PinConnectedMeansAnAnswerOfZero) {
    answer(audioMasterPinConnected, 0);
    EXPECT_TRUE(plugin.isInputConnected(3));
    answer(audioMasterPinConnected, 1);
    EXPECT_FALSE(plugin.isInputConnected(3));
    EXPECT_FALSE(plugin.isOutputConnected(4));
    ASSERT_EQ(sent().size(), 3u);
    EXPECT_EQ(sent()[0].index, 3);
    EXPECT_EQ(sent()[0].value, 0);
    EXPECT_EQ(sent()[2].index, 4);
    EXPECT_EQ(sent()[2].value, 1) << "value 1 asks about an output";
}

TEST_F(RequestsTest, OnlyAUsableHostSampleRateReplacesTheStoredOne) {
    for (intptr_t bad : {intptr_t{0}, intptr_t{-1}}) {
        answer(audioMasterGetSampleRate, bad);
        EXPECT_EQ(plugin.updateSampleRate(), 44100.0f);
    }
    answer(audioMasterGetSampleRate, 48000);
    EXPECT_EQ(plugin.updateSampleRate(), 48000.0f);
    EXPECT_EQ(plugin.getSampleRate(), 48000.0f);
    EXPECT_FALSE(SpyEffect::called("setSampleRate 48000.000000")) << "the object's own step does not run";

    answer(audioMasterGetBlockSize, -64);
    EXPECT_EQ(plugin.updateBlockSize(), 1024);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    answer(audioMasterGetBlockSize, intptr_t{1} << 32);
    EXPECT_EQ(plugin.updateBlockSize(), 1024);
#endif
    answer(audioMasterGetBlockSize, 256);
    EXPECT_EQ(plugin.updateBlockSize(), 256);
}

TEST_F(RequestsTest, EventsToTheHostSucceedOnlyOnAnAnswerOfOne) {
    VstEvents events{};
    answer(audioMasterProcessEvents, 2);
    EXPECT_FALSE(plugin.sendVstEventsToHost(&events));
    answer(audioMasterProcessEvents, 1);
    EXPECT_TRUE(plugin.sendVstEventsToHost(&events));
    EXPECT_EQ(sent().back().ptr, &events);
    EXPECT_FALSE(plugin.sendVstEventsToHost(nullptr));
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(RequestsTest, WantEventsSendsTheFilterAsValue) {
    plugin.wantEvents(1);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].opcode, audioMasterWantMidi);
    EXPECT_EQ(sent()[0].index, 0);
    EXPECT_EQ(sent()[0].value, 1);
    EXPECT_EQ(sent()[0].ptr, nullptr);
    EXPECT_EQ(sent()[0].opt, 0.0f);
}

TEST_F(RequestsTest, AutomationStoresFirstThenTellsTheHost) {
    plugin.setParameterAutomated(30, 0.25f); // an index the object ignores is still reported
    EXPECT_TRUE(SpyEffect::called("setParameter 30 0.250000"));
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].opcode, audioMasterAutomate);
    EXPECT_EQ(sent()[0].index, 30);
    EXPECT_EQ(sent()[0].opt, 0.25f);
}

TEST_F(RequestsTest, HostCapabilityAnswersKeepTheirSign) {
    char word[] = "sendVstEvents";
    answer(audioMasterCanDo, -1);
    EXPECT_EQ(plugin.canHostDo(word), -1) << "a host that cannot must not read as one that can";
    answer(audioMasterCanDo, 1);
    EXPECT_EQ(plugin.canHostDo(word), 1);
    EXPECT_EQ(sent().back().ptr, word);
    EXPECT_EQ(plugin.canHostDo(nullptr), 0);
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(RequestsTest, OperandsGoWhereTheInterfacePutsThem) {
    auto* task = reinterpret_cast<VstOfflineTask*>(&plugin);
    auto* files = reinterpret_cast<VstAudioFile*>(&plugin);
    answer(audioMasterOfflineRead, 1);
    EXPECT_TRUE(plugin.offlineRead(task, 7, true));
    EXPECT_EQ(sent().back().index, 1);
    EXPECT_EQ(sent().back().value, 7);
    EXPECT_EQ(sent().back().ptr, task);
    plugin.offlineStart(files, 3, 4);
    EXPECT_EQ(sent().back().opcode, audioMasterOfflineStart);
    EXPECT_EQ(sent().back().index, 4);
    EXPECT_EQ(sent().back().value, 3);
    plugin.sizeWindow(640, 480);
    EXPECT_EQ(sent().back().index, 640);
    EXPECT_EQ(sent().back().value, 480);
    plugin.getNextPlug(5);
    EXPECT_EQ(sent().back().opcode, audioMasterGetNextPlug);
    EXPECT_EQ(sent().back().index, 0) << "the pin number is not sent";
    plugin.setOutputSamplerate(22050.0f);
    EXPECT_EQ(sent().back().opt, 22050.0f);
    answer(audioMasterVendorSpecific, 77);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    EXPECT_EQ(plugin.hostVendorSpecific(1, intptr_t{1} << 40, task, 2.0f), 77);
    EXPECT_EQ(sent().back().value, intptr_t{1} << 40) << "a pointer-sized value is not narrowed";
#endif
    plugin.beginEdit(9);
    EXPECT_EQ(sent().back().opcode, audioMasterBeginEdit);
    EXPECT_EQ(sent().back().index, 9);
    plugin.getInputSpeakerArrangement();
    EXPECT_EQ(sent().back().opcode, audioMasterGetInputSpeakerArrangement);
}

TEST_F(RequestsTest, NoRequestWithoutTheRecordItIsAbout) {
    EXPECT_FALSE(plugin.openFileSelector(nullptr));
    EXPECT_FALSE(plugin.closeFileSelector(nullptr));
    EXPECT_FALSE(plugin.getChunkFile(nullptr));
    EXPECT_FALSE(plugin.getHostProductString(nullptr));
    EXPECT_TRUE(sent().empty());
    answer(audioMasterCloseFileSelector, 1);
    EXPECT_TRUE(plugin.closeFileSelector(reinterpret_cast<VstFileSelect*>(&plugin)));
}

TEST_F(RequestsTest, FlagSettersTouchOnlyTheirBit) {
    AEffect* e = plugin.getAeffect();
    const int32_t before = e->flags;
    struct Setter {
        void (ExtendedEffectBase::*set)(bool);
        int32_t bit;
    };
    const Setter setters[] = {
        {&ExtendedEffectBase::hasVu, effFlagsHasVu},
        {&ExtendedEffectBase::hasClip, effFlagsHasClip},
        {&ExtendedEffectBase::canMono, effFlagsCanMono},
        {&ExtendedEffectBase::canProcessReplacing, effFlagsCanReplacing},
        {&ExtendedEffectBase::programsAreChunks, effFlagsProgramChunks},
        {&ExtendedEffectBase::isSynth, effFlagsIsSynth},
        {&ExtendedEffectBase::noTail, effFlagsNoSoundInStop},
        {&ExtendedEffectBase::wantAsyncOperation, effFlagsExtIsAsync},
        {&ExtendedEffectBase::hasExternalBuffer, effFlagsExtHasBuffer},
    };
    for (const Setter& s : setters) {
        (plugin.*s.set)(true);
        EXPECT_EQ(e->flags, before | s.bit) << s.bit;
        (plugin.*s.set)(false);
        EXPECT_EQ(e->flags, before & ~s.bit) << s.bit;
        e->flags = before;
    }
    plugin.setInitialDelay(64);
    plugin.setRealtimeQualities(2);
    plugin.setOfflineQualities(3);
    plugin.setUniqueID(fourCharCode('t', 'e', 's', 't'));
    EXPECT_EQ(e->initialDelay, 64);
    EXPECT_EQ(e->realQualities, 2);
    EXPECT_EQ(e->offQualities, 3);
    EXPECT_EQ(e->uniqueID, 0x74657374);
    EXPECT_EQ(e->flags, before);
}

TEST_F(RequestsTest, SpeakerArrangementsAreAllocatedCopiedAndReleased) {
    VstSpeakerArrangement* arrangement = nullptr;
    ASSERT_TRUE(plugin.allocateArrangement(&arrangement, 2));
    ASSERT_NE(arrangement, nullptr);
    EXPECT_EQ(arrangement->numChannels, 2);
    EXPECT_EQ(speakerList(arrangement)[1].type, 0) << "zeroed";
    arrangement->type = 1;
    std::strcpy(speakerList(arrangement)[0].name, "L");
    std::strcpy(speakerList(arrangement)[1].name, "R");
    speakerList(arrangement)[1].azimuth = 0.5f;
    speakerList(arrangement)[1].future[27] = 9;

    // More channels than the interface's declared eight.
    VstSpeakerArrangement* wide = nullptr;
    ASSERT_TRUE(plugin.allocateArrangement(&wide, 12));
    speakerList(wide)[11].type = 3;
    VstSpeakerArrangement* copy = wide; // matching releases what the target held
    ASSERT_TRUE(plugin.matchArrangement(&copy, arrangement));
    EXPECT_EQ(copy->type, 1);
    EXPECT_EQ(copy->numChannels, 2);
    EXPECT_STREQ(speakerList(copy)[1].name, "R");
    EXPECT_EQ(speakerList(copy)[1].azimuth, 0.5f);
    EXPECT_EQ(speakerList(copy)[1].future[27], 9);
    EXPECT_TRUE(plugin.matchArrangement(&copy, copy)) << "matching itself keeps it";
    EXPECT_EQ(copy->numChannels, 2);

    EXPECT_FALSE(plugin.matchArrangement(&copy, nullptr));
    EXPECT_FALSE(plugin.copySpeaker(nullptr, speakerList(arrangement)));
    EXPECT_FALSE(plugin.allocateArrangement(nullptr, 2));
    EXPECT_FALSE(plugin.allocateArrangement(&copy, -1));
    EXPECT_EQ(copy, nullptr) << "released, and nothing new for a negative count";
    EXPECT_TRUE(plugin.deallocateArrangement(&arrangement));
    EXPECT_EQ(arrangement, nullptr);
    EXPECT_TRUE(plugin.deallocateArrangement(&arrangement));
    EXPECT_FALSE(plugin.deallocateArrangement(nullptr));

    VstSpeakerArrangement* in = wide;
    VstSpeakerArrangement* out = wide;
    EXPECT_FALSE(plugin.getSpeakerArrangement(&in, &out));
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(plugin.getSpeakerArrangement(nullptr, nullptr));
}
