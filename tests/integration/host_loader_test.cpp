// PluginHost against real binaries: Debian's third-party Kars instrument, our own Solvantis.so, and
// small test plug-ins compiled from host_loader_fake_plugin.cc.
#include "integration/host_loader_support.h"
#include "plugin_host.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace solvantis;
using namespace solvantis::testing;

namespace {

std::vector<std::string> logLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

PluginLoadError::Reason loadFailure(const std::string& path, std::string& message,
                                    const PluginHostOptions& options = {}) {
    try {
        PluginHost host(path, options);
    } catch (const PluginLoadError& e) {
        message = e.what();
        return e.reason;
    }
    ADD_FAILURE() << path << " loaded, but should not have";
    return PluginLoadError::Reason::MissingFile;
}

} // namespace

// The record of a plug-in nobody here wrote, read through our 64-bit layout.
TEST(HostLoaderKars, ReadsTheRecordOfAThirdPartyInstrument) {
    RequestLog log;
    PluginHost host(karsPath, log.listening());
    const AEffect* e = host.effect();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->magic, fourCharCode('V', 's', 't', 'P'));
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 1);
    EXPECT_NE(e->flags & effFlagsIsSynth, 0);
    EXPECT_TRUE(host.isSynth());
    host.open();
    EXPECT_EQ(host.getEffectName(), "Kars");
    EXPECT_EQ(host.getPlugCategory(), kPlugCategSynth);

    // The entry asked for our version before its record existed.
    const std::vector<HostRequest> requests = log.all();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().opcode, audioMasterVersion);
    EXPECT_EQ(requests.front().effect, nullptr);
}

TEST(HostLoaderKars, PlaysOneNoteSentThroughProcessEvents) {
    PluginHost host(karsPath);
    constexpr int32_t block = 256;
    host.open();
    host.setSampleRate(48000.0f);
    host.setBlockSize(block);
    host.switchOn();

    ChannelBuffers buffers(host.numInputs(), host.numOutputs(), block);
    MidiEventList events;
    events.add(10, 0x90, 60, 100);
    host.processEvents(events);

    float peak = 0.0f;
    bool finite = true;
    for (int b = 0; b < 8; ++b) {
        buffers.fillOutputs(123.0f); // processReplacing must overwrite all of it
        host.render(buffers, block);
        for (int32_t i = 0; i < block; ++i) {
            const float s = buffers.output(0)[i];
            finite = finite && std::isfinite(s);
            peak = std::max(peak, std::fabs(s));
        }
    }
    EXPECT_TRUE(finite);
    EXPECT_GT(peak, 0.01f);
    EXPECT_LT(peak, 100.0f); // nothing of the pre-fill survived
    host.switchOff();
    host.close();
    EXPECT_FALSE(host.isOpen());
}

TEST(HostLoader, ReportsEveryLoadFailureWithTheFileName) {
    ScratchFolder scratch;
    std::string message;

    const std::string missing = scratch.path("nothing-here.so");
    EXPECT_EQ(loadFailure(missing, message), PluginLoadError::Reason::MissingFile);
    EXPECT_NE(message.find(missing), std::string::npos) << message;
    EXPECT_NE(message.find("does not exist"), std::string::npos) << message;

    scratch.write("text.so", "this is not a library\n");
    EXPECT_EQ(loadFailure(scratch.path("text.so"), message), PluginLoadError::Reason::NotALibrary);
    EXPECT_NE(message.find(scratch.path("text.so")), std::string::npos) << message;

    EXPECT_EQ(loadFailure(scratch.root(), message), PluginLoadError::Reason::NotALibrary);
    EXPECT_NE(message.find("folder"), std::string::npos) << message;

    const std::string noEntry = buildFakePlugin(scratch, "FAKE_NO_ENTRY");
    ASSERT_FALSE(noEntry.empty());
    EXPECT_EQ(loadFailure(noEntry, message), PluginLoadError::Reason::NoEntry);
    EXPECT_NE(message.find(noEntry), std::string::npos) << message;
    EXPECT_NE(message.find("VSTPluginMain"), std::string::npos) << message;

    const std::string nullRecord = buildFakePlugin(scratch, "FAKE_NULL_RECORD");
    ASSERT_FALSE(nullRecord.empty());
    EXPECT_EQ(loadFailure(nullRecord, message), PluginLoadError::Reason::NoRecord);
    EXPECT_NE(message.find(nullRecord), std::string::npos) << message;

    const std::string badMagic = buildFakePlugin(scratch, "FAKE_BAD_MAGIC");
    ASSERT_FALSE(badMagic.empty());
    EXPECT_EQ(loadFailure(badMagic, message), PluginLoadError::Reason::BadMagic);
    EXPECT_NE(message.find("0x42616421"), std::string::npos) << message;
}

// A record without a dispatcher is answered with nothing and closed without a crash.
TEST(HostLoader, ARecordWithoutDispatcherIsDrivenSafely) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "FAKE_NO_DISPATCHER");
    ASSERT_FALSE(fake.empty());
    PluginHost host(fake);
    EXPECT_EQ(host.effect()->dispatcher, nullptr);
    EXPECT_EQ(host.dispatch(effGetVendorVersion, 0, 0), 0);
    host.switchOn();
    host.close();
    EXPECT_EQ(host.effect(), nullptr);
}

TEST(HostLoader, PrefersVSTPluginMainAndFallsBackToMain) {
    ScratchFolder scratch;
    const std::string both = buildFakePlugin(scratch, "");
    const std::string mainOnly = buildFakePlugin(scratch, "FAKE_MAIN_ONLY");
    ASSERT_FALSE(both.empty());
    ASSERT_FALSE(mainOnly.empty());
    {
        PluginHost host(both);
        EXPECT_EQ(host.entryName(), "VSTPluginMain");
        EXPECT_EQ(host.uniqueID(), fourCharCode('F', 'k', 'V', 'M'));
    }
    {
        PluginHost host(mainOnly);
        EXPECT_EQ(host.entryName(), "main");
        EXPECT_EQ(host.uniqueID(), fourCharCode('F', 'k', 'M', 'n'));
    }
}

// Requests made while the entry runs reach the loading host: the version request with no record, and a
// request with the new record before the entry has returned it.
TEST(HostLoader, RecordsEveryRequestFromTheEntryOn) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    PluginHostOptions options;
    options.sampleRate = 96000.0f;
    RequestLog log;
    PluginHost host(fake, log.listening(options));
    const std::vector<HostRequest> requests = log.all();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].opcode, audioMasterVersion);
    EXPECT_EQ(requests[0].effect, nullptr);
    EXPECT_EQ(requests[0].index, 0);
    EXPECT_EQ(requests[0].value, 0);
    EXPECT_EQ(requests[0].ptr, nullptr);
    EXPECT_EQ(requests[0].opt, 0.0f);
    EXPECT_EQ(requests[1].opcode, audioMasterGetSampleRate);
    EXPECT_EQ(requests[1].effect, host.effect());
    EXPECT_EQ(PluginHost::hostCallback(host.effect(), audioMasterGetSampleRate, 0, 0, nullptr, 0.0f), 96000);
    EXPECT_EQ(PluginHost::hostCallback(host.effect(), audioMasterVersion, 0, 0, nullptr, 0.0f), 2400);
    EXPECT_EQ(log.count(audioMasterVersion), 2u);
}

TEST(HostLoader, VersionAnswerIsConfigurable) {
    PluginHostOptions refusing;
    refusing.versionAnswer = 0;
    RequestLog log;
    try {
        PluginHost host(SOLVANTIS_PLUGIN_PATH, log.listening(refusing));
        FAIL() << "our plug-in started for a host that answered 0 to audioMasterVersion";
    } catch (const PluginLoadError& e) {
        EXPECT_EQ(e.reason, PluginLoadError::Reason::NoRecord);
        const std::vector<HostRequest> requests = log.all();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].opcode, audioMasterVersion);
        EXPECT_EQ(requests[0].effect, nullptr);
    }
    for (intptr_t answer : {intptr_t(2), intptr_t(2300), intptr_t(-1)}) {
        PluginHostOptions options;
        options.versionAnswer = answer;
        PluginHost host(SOLVANTIS_PLUGIN_PATH, options);
        EXPECT_EQ(host.effect()->magic, kEffectMagic);
        EXPECT_EQ(host.entryName(), "main");
    }
}

// The host's part of the life cycle as the plug-in sees it.
TEST(HostLoader, SwitchesOffAndClosesBeforeUnloading) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    const std::string log = scratch.path("calls.log");
    ::setenv("FAKE_PLUGIN_LOG", log.c_str(), 1);
    {
        PluginHost host(fake);
        host.open();
        host.setSampleRate(48000.0f);
        host.setBlockSize(64);
        host.switchOn();
        host.close();
        host.close(); // a second close does nothing
        EXPECT_FALSE(host.isOpen());
    }
    ::unsetenv("FAKE_PLUGIN_LOG");
    const std::vector<std::string> expected = {"dispatch 0 0 0 0",   "dispatch 10 0 0 48000",
                                               "dispatch 11 0 64 0", "dispatch 12 0 1 0",
                                               "dispatch 12 0 0 0",  "dispatch 1 0 0 0"};
    EXPECT_EQ(logLines(log), expected);
}

// Every event of a long list arrives, in order, with its frame; and the accumulating entry gets
// zeroed buffers, so its output is its own and nothing of the old buffer contents.
TEST(HostLoader, DeliversLongEventListsAndClearsBuffersForAccumulatingPlugins) {
    ScratchFolder scratch;
    const std::string fake = buildFakePlugin(scratch, "FAKE_ACCUMULATE");
    ASSERT_FALSE(fake.empty());
    const std::string log = scratch.path("calls.log");
    ::setenv("FAKE_PLUGIN_LOG", log.c_str(), 1);
    {
        PluginHost host(fake);
        EXPECT_FALSE(host.canReplace());
        host.switchOn();
        MidiEventList events(4); // grows past its first capacity
        for (int i = 0; i < 300; ++i) {
            events.add(i, 0xB0, 1, uint8_t(i % 128));
        }
        events.add(300, 0x90, 64, 90);
        EXPECT_EQ(events.size(), 301u);
        host.processEvents(events);
        ChannelBuffers buffers(0, 2, 512);
        buffers.fillOutputs(7.0f);
        host.render(buffers, 512);
        for (int32_t i = 0; i < 512; ++i) {
            ASSERT_EQ(buffers.output(0)[i], i < 300 ? 0.0f : 0.5f) << i;
            ASSERT_EQ(buffers.output(1)[i], i < 300 ? 0.0f : -0.25f) << i;
        }
    }
    ::unsetenv("FAKE_PLUGIN_LOG");
    std::vector<std::string> eventLines;
    bool accumulated = false;
    for (const std::string& line : logLines(log)) {
        if (line.rfind("event ", 0) == 0) {
            eventLines.push_back(line);
        }
        accumulated = accumulated || line == "process 512";
    }
    ASSERT_EQ(eventLines.size(), 301u);
    EXPECT_EQ(eventLines[0], "event 0 176 1 0");
    EXPECT_EQ(eventLines[299], "event 299 176 1 43");
    EXPECT_EQ(eventLines[300], "event 300 144 64 90");
    EXPECT_TRUE(accumulated);
}
