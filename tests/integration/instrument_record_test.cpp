// The instrument as a host meets it: the built plug-in loaded through our own host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "integration/host_loader_support.h"
#include "plugin_host.h"

namespace solvantis {
namespace {

class InstrumentThroughHost : public ::testing::Test {
protected:
    void SetUp() override { host = std::make_unique<PluginHost>(SOLVANTIS_PLUGIN_PATH, log.listening()); }

    testing::RequestLog log;
    std::unique_ptr<PluginHost> host;
};

TEST_F(InstrumentThroughHost, RecordRightAfterMain) {
    const AEffect* e = host->effect();
    EXPECT_EQ(host->entryName(), "main");
    EXPECT_EQ(e->magic, kEffectMagic);
    EXPECT_EQ(e->numPrograms, 128);
    EXPECT_EQ(e->numParams, 19);
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, 0x110);
    EXPECT_EQ(e->uniqueID, 0x6b776274);
    EXPECT_EQ(fourCharacters(e->uniqueID), "kwbt");
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->user, nullptr);
    EXPECT_NE(e->object, nullptr);
    EXPECT_EQ(host->getPlugCategory(), 2);
    // Building the instance asks the host for its version and nothing about MIDI yet.
    EXPECT_EQ(log.count(audioMasterWantMidi), 0u);
    EXPECT_EQ(log.count(audioMasterVersion), 1u);
}

TEST_F(InstrumentThroughHost, DefaultProgramDisplays) {
    const std::pair<int32_t, const char*> shown[] = {{0, "0.899999"}, {1, "0.400000"},  {8, "0.399999"},
                                                     {9, "-6.02059"}, {10, "2352.968"}, {11, "80.40000"},
                                                     {17, "0.720000"}};
    for (const auto& [index, text] : shown)
        EXPECT_EQ(host->getParameterDisplay(index), text) << index;
    for (int32_t index : {2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 18})
        EXPECT_EQ(host->getParameterDisplay(index), "") << index;
    EXPECT_EQ(host->getProgramName(), "Basic");
    EXPECT_EQ(host->getProgram(), 0);
}

TEST_F(InstrumentThroughHost, NamesAndLabelsByteForByte) {
    const char* names[19] = {"Exciter ", "Modulation ", "TovFilter",  "Pick",       "Attack",
                             "Decay",    "Sustain",     "Release",    "ADSRCurve",  "Volume",
                             "Fixing",   "DynaTone",    "Distorter ", "Overdrive ", "Chorus ",
                             "Legato ",  "Velocity ",   "ToneRama",   "PowerChord"};
    for (int32_t i = 0; i < 19; ++i) {
        EXPECT_EQ(host->getParameterName(i), names[i]) << i;
        // A host that reuses its buffer: the label is always written, empty where there is none.
        char label[64];
        std::memset(label, 'z', sizeof label);
        host->dispatch(effGetParamLabel, i, 0, label);
        const std::string expected = i == 0 ? "Level" : i == 1 ? "Dirty" : i == 9 ? "dB" : "";
        EXPECT_EQ(std::memcmp(label, expected.c_str(), expected.size() + 1), 0) << i;
    }
    EXPECT_EQ(host->getParameterName(19), "");
    EXPECT_EQ(host->getParameterName(-1), "");
}

TEST_F(InstrumentThroughHost, IdentityAndCapabilities) {
    EXPECT_EQ(host->getEffectName(), "Solvantis");
    EXPECT_EQ(host->getVendorString(), "Quelvarin");
    EXPECT_EQ(host->getProductString(), "Quelvarin Solvantis");
    EXPECT_EQ(host->getVendorVersion(), 9536);
    EXPECT_EQ(host->canDo("receiveVstEvents"), 1);
    EXPECT_EQ(host->canDo("receiveVstMidiEvent"), 1);
    EXPECT_EQ(host->canDo("midiProgramNames"), 1);
    EXPECT_EQ(host->canDo("receiveVstTimeInfo"), -1);
    EXPECT_EQ(host->canDo("MidiProgramNames"), -1);
    EXPECT_EQ(host->canDo(""), -1);
    VstPinProperties pin{};
    ASSERT_TRUE(host->getOutputProperties(1, pin));
    EXPECT_STREQ(pin.label, "Vstx 2");
    EXPECT_EQ(pin.flags, 3);
    EXPECT_FALSE(host->getOutputProperties(2, pin));
}

TEST_F(InstrumentThroughHost, ProgramsThroughTheDispatcher) {
    host->setProgram(3);
    host->setParameter(9, 0.25f);
    host->setProgramName("Low and soft");
    EXPECT_EQ(host->dispatch(effCopyProgram, 100), 1);
    host->setProgram(100);
    EXPECT_EQ(host->getProgram(), 100);
    EXPECT_EQ(host->getParameter(9), 0.25f);
    EXPECT_EQ(host->getProgramName(), "Low and soft");
    host->setProgram(128); // not passed on by the dispatcher
    host->setProgram(-1);  // passed on, refused by the instrument
    EXPECT_EQ(host->getProgram(), 100);
    std::string name;
    EXPECT_TRUE(host->getProgramNameIndexed(0, 3, name));
    EXPECT_EQ(name, "Low and soft");
    EXPECT_FALSE(host->getProgramNameIndexed(0, 128, name));
    host->setProgramName(std::string(40, 'n'));
    EXPECT_EQ(host->getProgramName(), std::string(23, 'n'));
}

TEST_F(InstrumentThroughHost, SwitchingOnAfterANewRateAsksForMidiOnce) {
    host->setSampleRate(48000.0f);
    host->setBlockSize(256);
    log.clear();
    host->switchOn();
    std::vector<HostRequest> midi = log.all();
    std::erase_if(midi, [](const HostRequest& r) { return r.opcode != audioMasterWantMidi; });
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].value, 1);
    EXPECT_EQ(midi[0].effect, host->effect());

    // Before any note both entries write exact silence over whatever the buffers held.
    ChannelBuffers buffers(0, 2, 256);
    buffers.fillOutputs(0.5f);
    host->processReplacing(buffers.inputs(), buffers.outputs(), 256);
    buffers.fillOutputs(-0.5f);
    host->process(buffers.inputs(), buffers.outputs(), 256);
    for (int32_t channel = 0; channel < 2; ++channel)
        for (int32_t i = 0; i < 256; ++i)
            ASSERT_EQ(buffers.output(channel)[i], 0.0f) << channel << " " << i;
}

// Renders a note-on for key 60 at frame 10 and 2048 frames more through one of the two process entries.
std::vector<float> renderNote(bool replacing) {
    PluginHost host(SOLVANTIS_PLUGIN_PATH);
    host.setSampleRate(44100.0f);
    host.setBlockSize(256);
    host.switchOn();
    std::vector<float> out;
    ChannelBuffers buffers(0, 2, 256);
    MidiEventList events;
    for (int block = 0; block < 9; ++block) {
        events.clear();
        if (block == 0)
            events.add(10, 0x90, 60, 100);
        host.processEvents(events);
        buffers.fillOutputs(0.25f);
        if (replacing)
            host.processReplacing(buffers.inputs(), buffers.outputs(), 256);
        else
            host.process(buffers.inputs(), buffers.outputs(), 256);
        for (int32_t i = 0; i < 256; ++i) {
            out.push_back(buffers.output(0)[i]);
            out.push_back(buffers.output(1)[i]);
        }
    }
    return out;
}

TEST(InstrumentSound, ANoteSoundsFromItsFrameOnAndBothEntriesAgree) {
    const std::vector<float> replaced = renderNote(true);
    const std::vector<float> processed = renderNote(false);
    ASSERT_EQ(replaced.size(), processed.size());
    for (size_t i = 0; i < replaced.size(); ++i) {
        ASSERT_TRUE(std::isfinite(replaced[i])) << i;
        ASSERT_EQ(replaced[i], processed[i]) << i;
    }
    for (size_t i = 0; i < 2 * 10; ++i)
        EXPECT_EQ(replaced[i], 0.0f) << i; // nothing before the note's frame
    float peak = 0.0f;
    for (float v : replaced)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.01f);
    EXPECT_LE(peak, 1.5f);
}

TEST_F(InstrumentThroughHost, UnusualValuesThroughTheRecord) {
    AEffect* e = host->effect();
    e->setParameter(e, 9, 1.5f);
    EXPECT_EQ(e->getParameter(e, 9), 1.5f);
    e->setParameter(e, 4, -2.0f);
    EXPECT_EQ(e->getParameter(e, 4), -2.0f);
    e->setParameter(e, 4, std::nanf(""));
    EXPECT_TRUE(std::isnan(e->getParameter(e, 4)));
    e->setParameter(e, 12, -INFINITY);
    EXPECT_EQ(e->getParameter(e, 12), -INFINITY);
    e->setParameter(e, 19, 0.5f);
    EXPECT_EQ(e->getParameter(e, 19), 0.0f);
    e->setParameter(e, 15, 0.99f);
    EXPECT_EQ(e->getParameter(e, 15), 0.0f);
    EXPECT_EQ(host->dispatch(effGetParamDisplay, 0, 0, nullptr), 0);
    EXPECT_EQ(host->dispatch(effGetProgramName, 0, 0, nullptr), 0);
    EXPECT_EQ(host->dispatch(effGetMidiProgramName, 0, 0, nullptr), 0);
}

} // namespace
} // namespace solvantis
