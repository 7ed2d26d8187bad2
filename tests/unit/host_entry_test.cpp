// The entry point's steps and the five entries of the record, reached the way a host reaches them.
#include "host/entries.h"
#include "host_test_support.h"
#include "instrument/parameter_table.h"
#include "instrument/synth_plugin.h"
#include "instrument/synth_program.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

using namespace solvantis;
using namespace solvantis::hosttest;

namespace {

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost::reset();
        SpyEffect::log().clear();
    }
    void TearDown() override {
        for (AEffect* effect : open) {
            dispatch(effect, effClose);
        }
    }
    AEffect* create(EffectFactory factory = makeSpy) {
        AEffect* effect = createInstance(FakeHost::callback, factory);
        if (effect) {
            open.push_back(effect);
        }
        return effect;
    }
    std::vector<AEffect*> open;
};

int factoryCalls = 0;
EffectBase* countingFactory(audioMasterCallback callback) {
    ++factoryCalls;
    return new SpyEffect(callback);
}

// An object of the instrument's shape (its programs, parameters, outputs, flags and unique ID) with none of
// its engine: it renders silence, so these tests see only what the entry point and the base classes do.
class PlaceholderEffect final : public ExtendedEffectBase {
public:
    explicit PlaceholderEffect(audioMasterCallback hostCallback)
        : ExtendedEffectBase(hostCallback, kNumPrograms, kNumParameters) {
        setNumInputs(0);
        setNumOutputs(SynthPlugin::kNumOutputs);
        canProcessReplacing(true);
        isSynth(true);
        setUniqueID(SynthPlugin::kUniqueId);
    }
    void process(float** inputs, float** outputs, int32_t sampleFrames) override {
        processReplacing(inputs, outputs, sampleFrames);
    }
    void processReplacing(float**, float** outputs, int32_t sampleFrames) override {
        for (int32_t channel = 0; channel < SynthPlugin::kNumOutputs; ++channel)
            std::fill_n(outputs[channel], sampleFrames, 0.0f);
    }
};

EffectBase* placeholderFactory(audioMasterCallback callback) {
    return new PlaceholderEffect(callback);
}
EffectBase* nullFactory(audioMasterCallback) {
    return nullptr;
}

// An object whose construction reports a failed allocation, as the instrument does.
class FailingEffect : public SpyEffect {
public:
    explicit FailingEffect(audioMasterCallback callback) : SpyEffect(callback) { outOfMemory = true; }
};
EffectBase* failingFactory(audioMasterCallback callback) {
    return new FailingEffect(callback);
}

// A bare ExtendedEffectBase: the record as the base classes leave it.
class BareEffect : public ExtendedEffectBase {
public:
    BareEffect() : ExtendedEffectBase(FakeHost::callback, 3, 4) {}
    void process(float**, float**, int32_t) override {}
};

} // namespace

TEST_F(EntryTest, HostAnsweringZeroToTheVersionGetsNoRecordAndIsAskedOnce) {
    FakeHost::instance().versionAnswer = 0;
    factoryCalls = 0;
    EXPECT_EQ(create(countingFactory), nullptr);
    EXPECT_EQ(factoryCalls, 0);
    const auto& requests = FakeHost::instance().requests;
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].effect, nullptr);
    EXPECT_EQ(requests[0].opcode, audioMasterVersion);
    EXPECT_EQ(requests[0].index, 0);
    EXPECT_EQ(requests[0].value, 0);
    EXPECT_EQ(requests[0].ptr, nullptr);
    EXPECT_EQ(requests[0].opt, 0.0f);
}

TEST_F(EntryTest, AnyNonZeroVersionYieldsTheInstrumentRecord) {
    for (intptr_t version : {
             intptr_t{2}, intptr_t{2300}, intptr_t{-1},
#if INTPTR_MAX > INT32_MAX
                 intptr_t{1} << 32,
#endif
         }) {
        FakeHost::reset();
        FakeHost::instance().versionAnswer = version;
        AEffect* e = create(placeholderFactory);
        ASSERT_NE(e, nullptr) << "version " << version;
        EXPECT_EQ(FakeHost::instance().requests.size(), 1u);
        EXPECT_EQ(e->magic, 0x56737450);
        EXPECT_EQ(e->numPrograms, 128);
        EXPECT_EQ(e->numParams, 19);
        EXPECT_EQ(e->numInputs, 0);
        EXPECT_EQ(e->numOutputs, 2);
        EXPECT_EQ(e->flags, 0x110);
        EXPECT_EQ(e->resvd1, 0);
        EXPECT_EQ(e->resvd2, 0);
        EXPECT_EQ(e->initialDelay, 0);
        EXPECT_EQ(e->realQualities, 0);
        EXPECT_EQ(e->offQualities, 0);
        EXPECT_EQ(e->ioRatio, 1.0f);
        EXPECT_EQ(e->uniqueID, 0x6b776274);
        EXPECT_EQ(e->version, 1);
        EXPECT_EQ(e->user, nullptr);
        EXPECT_EQ(e->dispatcher, &dispatchEntry);
        EXPECT_EQ(e->process, &processEntry);
        EXPECT_EQ(e->setParameter, &setParameterEntry);
        EXPECT_EQ(e->getParameter, &getParameterEntry);
        EXPECT_EQ(e->processReplacing, &processReplacingEntry);
        EXPECT_EQ(e->processDoubleReplacing, nullptr);
        const char zeros[sizeof e->future] = {};
        EXPECT_EQ(std::memcmp(e->future, zeros, sizeof zeros), 0);
        auto* object = static_cast<EffectBase*>(e->object);
        EXPECT_EQ(object->getAeffect(), e);
    }
}

TEST_F(EntryTest, BaseClassesFillTheRecordWithTheirDefaults) {
    BareEffect bare;
    const AEffect* e = bare.getAeffect();
    EXPECT_EQ(e->magic, kEffectMagic);
    EXPECT_EQ(e->numPrograms, 3);
    EXPECT_EQ(e->numParams, 4);
    EXPECT_EQ(e->numInputs, 1);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, 0);
    EXPECT_EQ(e->uniqueID, 0x4e6f4566);
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->object, &bare);
    EXPECT_EQ(bare.getSampleRate(), 44100.0f);
    EXPECT_EQ(bare.getBlockSize(), 1024);
    EXPECT_EQ(bare.getProgram(), 0);
    EXPECT_EQ(bare.getEditor(), nullptr);
    EXPECT_TRUE(FakeHost::instance().requests.empty()) << "constructing asks the host nothing";
}

TEST_F(EntryTest, EachCallMakesAnIndependentInstance) {
    AEffect* a = create();
    AEffect* b = create();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(a->object, b->object);
    dispatch(a, effSetProgram, 0, 5);
    EXPECT_EQ(dispatch(a, effGetProgram), 5);
    EXPECT_EQ(dispatch(b, effGetProgram), 0);
}

TEST_F(EntryTest, FailedConstructionIsRefusedAndDoesNotRefuseTheNext) {
    EXPECT_EQ(create(failingFactory), nullptr);
    EXPECT_TRUE(SpyEffect::called("destroyed")) << "the refused object is destroyed";
    EXPECT_FALSE(outOfMemory) << "the report is consumed";
    // A flag left set by anyone before the next construction belongs to no instance.
    outOfMemory = true;
    EXPECT_NE(create(), nullptr);
}

TEST_F(EntryTest, OutOfMemoryIsPerThread) {
    outOfMemory = false;
    std::thread other([] { outOfMemory = true; });
    other.join();
    EXPECT_FALSE(outOfMemory);
}

TEST_F(EntryTest, MissingObjectOrCallbackGivesNoRecord) {
    EXPECT_EQ(create(nullFactory), nullptr);
    EXPECT_EQ(createInstance(nullptr, makeSpy), nullptr);
    EXPECT_EQ(createInstance(FakeHost::callback, nullptr), nullptr);
}

TEST_F(EntryTest, CloseRunsCloseThenDestroysAndAnswersOne) {
    AEffect* e = createInstance(FakeHost::callback, makeSpy);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(dispatch(e, effClose, 3, 4, nullptr, 0.5f), 1);
    ASSERT_EQ(SpyEffect::log().size(), 2u);
    EXPECT_EQ(SpyEffect::log()[0], "close");
    EXPECT_EQ(SpyEffect::log()[1], "destroyed");
}

TEST_F(EntryTest, OtherOpcodesReturnWhatTheObjectAnswers) {
    AEffect* e = create();
    spyOf(e)->eventsResult = 42;
    VstEvents events{};
    EXPECT_EQ(dispatch(e, effProcessEvents, 0, 0, &events), 42);
    EXPECT_EQ(dispatch(e, effIdentify), 0x4e764566);
    EXPECT_FALSE(SpyEffect::called("destroyed"));
}

TEST_F(EntryTest, EntriesForwardToTheObject) {
    AEffect* e = create();
    SpyEffect* spy = spyOf(e);
    float left[8];
    float right[8];
    float* outputs[2] = {left, right};
    e->processReplacing(e, nullptr, outputs, 8);
    EXPECT_TRUE(SpyEffect::called("processReplacing 8"));
    EXPECT_EQ(spy->lastOutputs, outputs);
    e->process(e, nullptr, outputs, 5);
    EXPECT_TRUE(SpyEffect::called("process 5"));
    e->setParameter(e, 3, 1.5f);
    EXPECT_TRUE(SpyEffect::called("setParameter 3 1.500000")) << "values outside 0..1 pass unchanged";
    spy->parameterValue = 0.75f;
    EXPECT_EQ(e->getParameter(e, 7), 0.75f);
    EXPECT_TRUE(SpyEffect::called("getParameter 7"));
}

TEST_F(EntryTest, EntriesIgnoreWhatCannotBeRendered) {
    AEffect* e = create();
    float left[4];
    float* oneMissing[2] = {left, nullptr};
    float* outputs[2] = {left, left};
    for (auto entry : {e->process, e->processReplacing}) {
        entry(e, nullptr, nullptr, 4);
        entry(e, nullptr, oneMissing, 4);
        entry(e, nullptr, outputs, 0);
        entry(e, nullptr, outputs, -1);
    }
    EXPECT_TRUE(SpyEffect::log().empty()) << SpyEffect::log().front();
}

TEST_F(EntryTest, EntriesAnswerARecordWithoutObjectWithNothing) {
    AEffect orphan{};
    float* outputs[2] = {nullptr, nullptr};
    EXPECT_EQ(dispatchEntry(&orphan, effGetProgram, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(dispatchEntry(nullptr, effClose, 0, 0, nullptr, 0.0f), 0);
    processEntry(nullptr, nullptr, outputs, 16);
    processReplacingEntry(&orphan, nullptr, outputs, 16);
    setParameterEntry(nullptr, 0, 0.5f);
    EXPECT_EQ(getParameterEntry(&orphan, 0), 0.0f);
}

TEST_F(EntryTest, PlaceholderWritesSilenceOverTheOutputs) {
    AEffect* e = create(placeholderFactory);
    float left[16];
    float right[16];
    std::fill(left, left + 16, 0.5f);
    std::fill(right, right + 16, -2.0f);
    float* outputs[2] = {left, right};
    e->process(e, nullptr, outputs, 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(left[i], 0.0f);
        EXPECT_EQ(right[i], 0.0f);
    }
}
