// The built Solvantis.so as a host meets it: its one entry, the record it returns, the life cycle of
// many instances, and what it does with nonsense from the host.
#include "integration/host_loader_support.h"
#include "plugin_host.h"

#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace solvantis {
namespace {

// A host callback with nothing behind it but a version and a count of what it was asked.
struct CountingHost {
    static inline intptr_t version = 2400;
    static inline int requests = 0;
    static inline int wantMidi = 0;
    static inline int otherMidiRequests = 0;
    static intptr_t callback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                             float opt) {
        ++requests;
        if (opcode == audioMasterWantMidi) {
            const bool exact = effect != nullptr && index == 0 && value == 1 && ptr == nullptr && opt == 0.0f;
            ++(exact ? wantMidi : otherMidiRequests);
        }
        return opcode == audioMasterVersion ? version : 0;
    }
};

// The library opened by hand, for calling its entry more often than a PluginHost would.
class Library {
public:
    Library() : handle(dlopen(SOLVANTIS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (handle) {
            entry = reinterpret_cast<VstPluginMainProc>(dlsym(handle, "main"));
        }
    }
    ~Library() {
        if (handle) {
            dlclose(handle);
        }
    }
    void* handle;
    VstPluginMainProc entry = nullptr;
};

PluginLoadError loadError(const PluginHostOptions& options) {
    try {
        PluginHost host(SOLVANTIS_PLUGIN_PATH, options);
    } catch (const PluginLoadError& error) {
        return error;
    }
    ADD_FAILURE() << "the plug-in gave a record";
    return PluginLoadError(PluginLoadError::Reason::MissingFile, "");
}

// Renders `blocks` blocks of 128 frames after one note-on at frame 10, through either entry, with the
// outputs pre-filled with `fill` before every block.
std::vector<float> renderNote(bool replacing, float fill, int blocks) {
    PluginHost host(SOLVANTIS_PLUGIN_PATH);
    host.open();
    host.setSampleRate(44100.0f);
    host.setBlockSize(128);
    host.switchOn();
    ChannelBuffers buffers(0, 2, 128);
    MidiEventList events;
    std::vector<float> rendered;
    for (int block = 0; block < blocks; ++block) {
        events.clear();
        if (block == 0) {
            events.add(10, 0x90, 60, 100);
        }
        host.processEvents(events);
        buffers.fillOutputs(fill);
        if (replacing) {
            host.processReplacing(buffers.inputs(), buffers.outputs(), 128);
        } else {
            host.process(buffers.inputs(), buffers.outputs(), 128);
        }
        for (int32_t channel = 0; channel < 2; ++channel) {
            rendered.insert(rendered.end(), buffers.output(channel), buffers.output(channel) + 128);
        }
    }
    return rendered;
}

} // namespace

TEST(PluginEntry, HostWithoutAVersionGetsNothingAndIsAskedOnce) {
    PluginHostOptions options;
    options.versionAnswer = 0;
    testing::RequestLog log;
    const PluginLoadError error = loadError(log.listening(options));
    EXPECT_EQ(error.reason, PluginLoadError::Reason::NoRecord);
    const std::vector<HostRequest> requests = log.all();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].opcode, audioMasterVersion);
    EXPECT_EQ(requests[0].effect, nullptr);
}

TEST(PluginEntry, AnyOtherVersionGetsTheRecord) {
    for (intptr_t version : {intptr_t{2}, intptr_t{2300}, intptr_t{-1}}) {
        PluginHostOptions options;
        options.versionAnswer = version;
        testing::RequestLog log;
        PluginHost host(SOLVANTIS_PLUGIN_PATH, log.listening(options));
        const AEffect* e = host.effect();
        EXPECT_EQ(host.entryName(), "main");
        EXPECT_EQ(e->magic, 0x56737450);
        EXPECT_EQ(e->numPrograms, 128);
        EXPECT_EQ(e->numParams, 19);
        EXPECT_EQ(e->numInputs, 0);
        EXPECT_EQ(e->numOutputs, 2);
        EXPECT_EQ(e->flags, 0x110);
        EXPECT_EQ(e->uniqueID, 0x6b776274);
        EXPECT_EQ(e->version, 1);
        EXPECT_EQ(e->processDoubleReplacing, nullptr);
        const char zeros[sizeof e->future] = {};
        EXPECT_EQ(std::memcmp(e->future, zeros, sizeof zeros), 0);
        EXPECT_EQ(log.all().size(), 1u) << "main asks for the version and nothing else";
    }
}

TEST(PluginEntry, AThousandInstancesComeAndGo) {
    Library library;
    ASSERT_NE(library.entry, nullptr) << dlerror();
    CountingHost::version = 2400;
    AEffect* previous = nullptr;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        AEffect* e = library.entry(CountingHost::callback);
        ASSERT_NE(e, nullptr) << "cycle " << cycle;
        ASSERT_EQ(e->magic, kEffectMagic);
        // Two live instances never share a record.
        ASSERT_NE(e, previous);
        if (previous) {
            ASSERT_EQ(previous->dispatcher(previous, effClose, 0, 0, nullptr, 0.0f), 1);
        }
        e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
        previous = e;
    }
    EXPECT_EQ(previous->dispatcher(previous, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST(PluginEntry, EverySwitchOnAsksForMidiOnce) {
    Library library;
    ASSERT_NE(library.entry, nullptr);
    CountingHost::version = 1;
    CountingHost::requests = 0;
    CountingHost::wantMidi = 0;
    CountingHost::otherMidiRequests = 0;
    AEffect* e = library.entry(CountingHost::callback);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(CountingHost::requests, 1);
    for (int i = 0; i < 3; ++i) {
        e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
        e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    }
    EXPECT_EQ(CountingHost::wantMidi, 3) << "value 1, index 0, no ptr, opt 0, with the record";
    EXPECT_EQ(CountingHost::otherMidiRequests, 0);
    EXPECT_EQ(CountingHost::requests, 4);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

TEST(PluginEntry, BaseAnswersThroughTheBuiltLibrary) {
    PluginHost host(SOLVANTIS_PLUGIN_PATH);
    EXPECT_EQ(host.dispatch(effIdentify), 0x4e764566);
    EXPECT_EQ(host.dispatch(effKeysRequired), 1);
    EXPECT_EQ(host.dispatch(effGetVstVersion), 2300);
    EXPECT_EQ(host.dispatch(effGetPlugCategory), kPlugCategSynth);
    EXPECT_EQ(host.dispatch(effConnectInput, 0, 0), 1);
    EXPECT_EQ(host.dispatch(effConnectOutput, 1, 7), 1);
    EXPECT_EQ(host.dispatch(effCanBeAutomated, 4), 1);
    EXPECT_EQ(host.dispatch(effGetNumProgramCategories), 1);
    EXPECT_EQ(host.dispatch(effGetVu), 0);
    EXPECT_EQ(host.dispatch(77), 0);
    EXPECT_EQ(host.dispatch(-1), 0);
    void* chunk = nullptr;
    EXPECT_EQ(host.dispatch(effGetChunk, 0, 0, &chunk), 0);
    EXPECT_EQ(chunk, nullptr);
    EXPECT_EQ(host.dispatch(effSetBlockSizeAndSampleRate, 0, 256, nullptr, 48000.0f), 1);
}

TEST(PluginEntry, BothProcessEntriesWriteTheSameSamplesOverTheBuffers) {
    const std::vector<float> replaced = renderNote(true, 7.0f, 8);
    const std::vector<float> processed = renderNote(false, -3.0f, 8);
    ASSERT_EQ(replaced.size(), processed.size());
    bool sounding = false;
    for (size_t i = 0; i < replaced.size(); ++i) {
        ASSERT_TRUE(std::isfinite(replaced[i])) << i;
        ASSERT_EQ(replaced[i], processed[i]) << "sample " << i;
        sounding = sounding || replaced[i] != 0.0f;
    }
    EXPECT_TRUE(sounding) << "the note is heard";
    // Before the note's frame the buffers hold the rendered silence, not what was in them.
    EXPECT_EQ(replaced[0], 0.0f);
    EXPECT_EQ(replaced[128], 0.0f);
}

// Nonsense from the host through the real entries: answered, never a crash.
TEST(PluginEntry, NonsenseFromTheHostIsAnsweredNeutrally) {
    PluginHost host(SOLVANTIS_PLUGIN_PATH);
    AEffect* e = host.effect();
    host.open();
    const intptr_t values[] = {0, -1, 1000, std::numeric_limits<intptr_t>::max(),
                               std::numeric_limits<intptr_t>::min()};
    const int32_t indices[] = {
        0, -1, 19, 128, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
    for (int32_t opcode = -1; opcode <= 80; ++opcode) {
        if (opcode == effClose || opcode == effSetSpeakerArrangement || opcode == effGetSpeakerArrangement) {
            continue;
        }
        for (intptr_t value : values) {
            for (int32_t index : indices) {
                host.dispatch(opcode, index, value, nullptr, std::numeric_limits<float>::quiet_NaN());
            }
        }
    }
    MidiProgramName name{};
    name.thisProgramIndex = -5;
    EXPECT_EQ(host.dispatch(effGetMidiProgramName, 0, 0, &name), 0);
    EXPECT_EQ(host.dispatch(effGetCurrentMidiProgram, 16, 0, &name), -1);
    char text[64] = "untouched";
    host.dispatch(effGetParamName, 19, 0, text);
    EXPECT_STREQ(text, "");

    // Values outside 0..1 are kept as sent; the render must still never write a non-finite sample.
    e->setParameter(e, 9, std::numeric_limits<float>::infinity());
    EXPECT_EQ(e->getParameter(e, 9), std::numeric_limits<float>::infinity());
    e->setParameter(e, 1, std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(e->getParameter(e, 1)));
    EXPECT_EQ(e->getParameter(e, -1), 0.0f);
    EXPECT_EQ(e->getParameter(e, 19), 0.0f);
    e->setParameter(e, std::numeric_limits<int32_t>::min(), 0.5f);

    // Blocks that cannot be rendered, then one that can: it is finite.
    ChannelBuffers buffers(0, 2, 64);
    float* oneChannel[2] = {buffers.output(0), nullptr};
    host.switchOn();
    e->processReplacing(e, nullptr, nullptr, 64);
    e->processReplacing(e, nullptr, oneChannel, 64);
    e->process(e, nullptr, buffers.outputs(), -64);
    e->processReplacing(e, nullptr, buffers.outputs(), 0);
    MidiEventList events;
    events.add(0, 0x90, 64, 127);
    host.processEvents(events);
    buffers.fillOutputs(1.0f);
    host.processReplacing(buffers.inputs(), buffers.outputs(), 64);
    for (int32_t channel = 0; channel < 2; ++channel) {
        for (int32_t i = 0; i < 64; ++i) {
            ASSERT_TRUE(std::isfinite(buffers.output(channel)[i]));
        }
    }
}

} // namespace solvantis
