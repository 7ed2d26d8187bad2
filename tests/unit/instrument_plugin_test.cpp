#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "dsp/wave_table.h"
#include "engine_alloc_hook.h"
#include "host/vst_abi.h"
#include "instrument/parameter_table.h"
#include "instrument/synth_plugin.h"
#include "vst_event_list.h"

namespace solvantis {
namespace {

// A host that answers the version request and counts what the instrument asks of it.
struct RecordedRequest {
    int32_t opcode;
    intptr_t value;
};
std::vector<RecordedRequest> hostRequests;

intptr_t recordingHost(AEffect*, int32_t opcode, int32_t, intptr_t value, void*, float) {
    hostRequests.push_back({opcode, value});
    return opcode == audioMasterVersion ? 2400 : 0;
}

// g++ 12 with -fsanitize=undefined checks the address of a thread_local read against null using flags that
// the address computation never set (lea instead of add), which reports a null load at random. The flag is
// therefore touched only from these two functions, built without that check.
__attribute__((noinline, no_sanitize("undefined"))) void setOutOfMemoryFlag(bool state) {
    outOfMemory = state;
}
__attribute__((noinline, no_sanitize("undefined"))) bool outOfMemoryFlag() {
    return outOfMemory;
}

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

class InstrumentPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        hostRequests.clear();
        setOutOfMemoryFlag(false);
        plugin = std::make_unique<SynthPlugin>(&recordingHost);
        ASSERT_FALSE(outOfMemoryFlag());
    }

    intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f) {
        return plugin->dispatcher(opcode, index, value, ptr, opt);
    }

    std::string display(int32_t index) {
        char text[64];
        std::memset(text, '#', sizeof text);
        plugin->getParameterDisplay(index, text);
        return text;
    }

    std::string displayAt(int32_t index, float value) {
        plugin->setParameter(index, value);
        return display(index);
    }

    std::string programName() {
        char text[64] = {};
        plugin->getProgramName(text);
        return text;
    }

    std::unique_ptr<SynthPlugin> plugin;
};

// ---------------------------------------------------------------- construction and life cycle

TEST_F(InstrumentPlugin, ConstructionConfiguresTheRecordAndSelectsProgramZero) {
    const AEffect* e = plugin->getAeffect();
    EXPECT_EQ(e->numPrograms, 128);
    EXPECT_EQ(e->numParams, 19);
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, effFlagsCanReplacing | effFlagsIsSynth);
    EXPECT_EQ(e->uniqueID, 0x6b776274);
    EXPECT_EQ(e->object, static_cast<EffectBase*>(plugin.get()));
    EXPECT_EQ(plugin->getProgram(), 0);
    EXPECT_EQ(plugin->getParameter(15), 1.0f);
    const SynthProgram* first = plugin->program(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::memcmp(&plugin->liveParameters(), &first->values, sizeof(SynthParams)), 0);
    EXPECT_EQ(dispatch(effGetPlugCategory), kPlugCategSynth);
    // Setting the synth flag does not ask for MIDI; only resume does.
    for (const RecordedRequest& r : hostRequests)
        EXPECT_NE(r.opcode, audioMasterWantMidi);
}

TEST_F(InstrumentPlugin, EveryResumeAsksForMidiOnceAndEmptiesTheNoteList) {
    hostRequests.clear();
    dispatch(effMainsChanged, 0, 1);
    ASSERT_EQ(hostRequests.size(), 1u);
    EXPECT_EQ(hostRequests[0].opcode, audioMasterWantMidi);
    EXPECT_EQ(hostRequests[0].value, 1);
    EXPECT_EQ(plugin->engineState().voice.noteEvents[0].deltaFrames, -1);

    dispatch(effMainsChanged, 0, 0); // suspend asks nothing
    EXPECT_EQ(hostRequests.size(), 1u);
    dispatch(effMainsChanged, 0, 2);
    EXPECT_EQ(hostRequests.size(), 2u);
}

TEST_F(InstrumentPlugin, NewSampleRateKeepsTheSetUpAsBuiltAndResetsTheLimiter) {
    const EngineState& state = plugin->engineState();
    ASSERT_TRUE(state.chorus.chorusLfoLeft && state.chorus.chorusLfoRight);
    const uint32_t leftIncrement = state.chorus.chorusLfoLeft->getPhaseIncrement();
    const uint32_t rightIncrement = state.chorus.chorusLfoRight->getPhaseIncrement();
    EXPECT_EQ(leftIncrement, 48695u);
    EXPECT_EQ(rightIncrement, 116869u);

    // Drive the limiter gain off 1 the way the render would, then change the rate and switch on.
    const_cast<EngineState&>(state).limiter.levelGain = 0.25f;
    dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    EXPECT_EQ(plugin->getSampleRate(), 48000.0f);
    EXPECT_EQ(state.limiter.levelGain, 1.0f);
    const_cast<EngineState&>(state).limiter.levelGain = 0.5f;
    dispatch(effMainsChanged, 0, 1);
    EXPECT_EQ(state.limiter.levelGain, 1.0f);
    EXPECT_EQ(state.chorus.chorusLfoLeft->getPhaseIncrement(), leftIncrement);
    EXPECT_EQ(state.chorus.chorusLfoRight->getPhaseIncrement(), rightIncrement);

    dispatch(effSetBlockSize, 0, 256);
    EXPECT_EQ(plugin->getBlockSize(), 256);
}

TEST_F(InstrumentPlugin, BothProcessEntriesOverwriteTheOutputsWithSilenceBeforeAnyNote) {
    constexpr int32_t frames = 300;
    for (bool replacing : {true, false}) {
        std::vector<float> left(frames, 1.0f), right(frames, -1.0f);
        float* outputs[2] = {left.data(), right.data()};
        if (replacing)
            plugin->processReplacing(nullptr, outputs, frames);
        else
            plugin->process(nullptr, outputs, frames);
        for (int32_t i = 0; i < frames; ++i) {
            ASSERT_EQ(bitsOf(left[size_t(i)]), 0u) << i;
            ASSERT_EQ(bitsOf(right[size_t(i)]), 0u) << i;
        }
    }
}

// Every allocation of the construction in turn fails, the way main makes the object: the object itself
// (then there is nothing), the bank, or any engine component (then the flag refuses the instance).
// Nothing stays allocated once the refused object is destroyed.
TEST(InstrumentConstruction, AFailedAllocationRefusesTheInstanceAndLeaksNothing) {
    testing::beginAllocationWindow();
    delete new SynthPlugin(&recordingHost);
    const long allocations = testing::endAllocationWindow().allocations;
    ASSERT_GE(allocations, 3);

    for (long failing = 0; failing < allocations; ++failing) {
        setOutOfMemoryFlag(false);
        testing::beginAllocationWindow(failing);
        SynthPlugin* made = new (std::nothrow) SynthPlugin(&recordingHost);
        const bool refused = outOfMemoryFlag();
        delete made;
        const testing::AllocationStats stats = testing::endAllocationWindow();
        if (failing == 0)
            EXPECT_EQ(made, nullptr);
        else
            EXPECT_TRUE(refused) << "allocation " << failing;
        EXPECT_EQ(stats.live, 0) << "allocation " << failing;
    }
    setOutOfMemoryFlag(false);
}

// Values stored as the host sent them never reach the host's buffers as NaN or infinity.
TEST_F(InstrumentPlugin, UnusualStoredValuesNeverPoisonTheOutput) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float poison : {nan, inf, -inf, 1e30f, -5.0f}) {
        for (int32_t index = 0; index < kNumParameters; ++index)
            plugin->setParameter(index, poison);
        plugin->resume();
        VstMidiEvent noteOn{};
        noteOn.type = kVstMidiType;
        noteOn.byteSize = sizeof(VstMidiEvent);
        noteOn.deltaFrames = 3;
        noteOn.midiData[0] = 0x90;
        noteOn.midiData[1] = 64;
        noteOn.midiData[2] = 127;
        VstEvents none{};
        VstEvents events{};
        events.numEvents = 1;
        events.events[0] = reinterpret_cast<VstEvent*>(&noteOn);
        std::vector<float> left(512), right(512);
        float* outputs[2] = {left.data(), right.data()};
        for (int block = 0; block < 8; ++block) {
            plugin->processEvents(block == 0 ? &events : &none);
            plugin->processReplacing(nullptr, outputs, 512);
            for (size_t i = 0; i < 512; ++i) {
                ASSERT_TRUE(std::isfinite(left[i]) && std::isfinite(right[i])) << poison << " " << block;
            }
        }
    }
}

// The door hands the engine every MIDI event of the host's list, in order and whatever the count, and
// nothing else: a list longer than its buffer, with events of other kinds and null pointers among the MIDI
// ones, leaves the note list and the held keys exactly as the messages alone, given at once, leave them.
TEST_F(InstrumentPlugin, EveryMidiEventOfALongListReachesTheNoteList) {
    testing::MidiBlock midi;
    for (int32_t i = 0; i < 1400; ++i) {
        const auto key = static_cast<uint8_t>(30 + i % 50);
        if (i % 3 == 2)
            midi.add(i / 8, 0x80, key, 0);
        else
            midi.add(i / 8, static_cast<uint8_t>(i % 7 == 0 ? 0xE1 : 0x90), key, 100);
    }
    testing::VstEventList host(midi);
    host.add(6, 0, 0x90, 61, 100).add(6, 40, 0x90, 62, 100); // system exclusive: would read as note-ons
    VstEvents* events = host.events();
    eventList(events)[700] = nullptr; // the reference skips that message too
    std::vector<MidiMessage> expected(midi.messages().begin(), midi.messages().end());
    expected.erase(expected.begin() + 700);

    EXPECT_EQ(plugin->processEvents(events), 1);
    SynthEngine reference;
    ASSERT_TRUE(reference.setUp(44100.0f));
    reference.processMidi(expected);
    const VoiceState& got = plugin->engineState().voice;
    const VoiceState& want = reference.state.voice;
    ASSERT_EQ(got.noteEventCount, want.noteEventCount);
    EXPECT_EQ(std::memcmp(got.noteEvents, want.noteEvents, sizeof got.noteEvents), 0);
    EXPECT_EQ(std::memcmp(got.keyHeld, want.keyHeld, sizeof got.keyHeld), 0);
    EXPECT_EQ(plugin->processEvents(nullptr), 1);
    EXPECT_EQ(got.noteEvents[0].deltaFrames, -1);
}

// ---------------------------------------------------------------- programs

TEST_F(InstrumentPlugin, SelectingProgramsCopiesTheirValues) {
    plugin->setProgram(5);
    plugin->setParameter(3, 0.7f);
    plugin->setProgram(6);
    EXPECT_EQ(plugin->getProgram(), 6);
    EXPECT_EQ(plugin->getParameter(3), 0.3f);
    plugin->setProgram(5);
    EXPECT_EQ(plugin->getProgram(), 5);
    EXPECT_EQ(plugin->getParameter(3), 0.7f); // the edit lives in program 5

    const SynthParams before = plugin->liveParameters();
    for (int32_t bad : {128, -1, INT32_MIN, INT32_MAX}) {
        plugin->setProgram(bad);
        EXPECT_EQ(plugin->getProgram(), 5);
    }
    dispatch(effSetProgram, 0, 128);
    dispatch(effSetProgram, 0, -1);
#if INTPTR_MAX > INT32_MAX // a value beyond 32 bits exists only where intptr_t is 64 bits
    dispatch(effSetProgram, 0, intptr_t(1) << 40);
#endif
    EXPECT_EQ(plugin->getProgram(), 5);
    EXPECT_EQ(std::memcmp(&before, &plugin->liveParameters(), sizeof before), 0);
}

// Two programs that differ in every value: each switch brings all of the target's values live, the last
// parameter as much as the first.
TEST_F(InstrumentPlugin, SwitchingProgramsCarriesEveryValue) {
    struct Program {
        int32_t index;
        float base;
        float legato;
        float value(int32_t i) const {
            return parameterTable[i].integerField != nullptr ? legato : base + 0.02f * static_cast<float>(i);
        }
    };
    const Program a{3, 0.01f, 0.0f};
    const Program b{4, 0.5f, 1.0f};
    for (const Program& p : {a, b}) {
        plugin->setProgram(p.index);
        for (int32_t i = 0; i < kNumParameters; ++i)
            plugin->setParameter(i, p.value(i));
    }
    for (const Program& p : {a, b, a}) {
        plugin->setProgram(p.index);
        for (int32_t i = 0; i < kNumParameters; ++i)
            EXPECT_EQ(plugin->getParameter(i), p.value(i))
                << "program " << p.index << " " << parameterTable[i].name;
        // What the engine renders from is the whole target program.
        EXPECT_EQ(
            std::memcmp(&plugin->liveParameters(), &plugin->program(p.index)->values, sizeof(SynthParams)),
            0);
    }
}

TEST_F(InstrumentPlugin, LegatoIsAnIntegerInProgramAndLiveValue) {
    plugin->setParameter(15, 0.99f);
    EXPECT_EQ(plugin->getParameter(15), 0.0f);
    EXPECT_EQ(plugin->program(0)->values.Legato, 0);
    plugin->setParameter(15, 1.5f);
    EXPECT_EQ(plugin->getParameter(15), 1.0f);
    EXPECT_EQ(plugin->program(0)->values.Legato, 1);

    plugin->setProgram(9);
    plugin->setParameter(15, 0.0f);
    plugin->setProgram(0);
    EXPECT_EQ(plugin->getParameter(15), 1.0f);
    plugin->setProgram(9);
    EXPECT_EQ(plugin->getParameter(15), 0.0f); // selecting a program with Legato 0 reads 0.0
    EXPECT_EQ(plugin->liveParameters().Legato, 0);
}

TEST_F(InstrumentPlugin, CopyThenSelectCarriesValuesAndName) {
    char name[] = "Plucked";
    plugin->setProgramName(name);
    plugin->setParameter(9, 0.8f);
    EXPECT_TRUE(plugin->copyProgram(7));
    EXPECT_EQ(plugin->getProgram(), 0); // copying selects nothing
    plugin->setProgram(7);
    EXPECT_EQ(plugin->getParameter(9), 0.8f);
    EXPECT_EQ(programName(), "Plucked");
    EXPECT_EQ(std::memcmp(plugin->program(7), plugin->program(0), sizeof(SynthProgram)), 0);

    EXPECT_TRUE(plugin->copyProgram(7)); // onto itself
    EXPECT_EQ(std::memcmp(plugin->program(7), plugin->program(0), sizeof(SynthProgram)), 0);
    EXPECT_FALSE(plugin->copyProgram(128));
    EXPECT_FALSE(plugin->copyProgram(-1));
    EXPECT_EQ(dispatch(effCopyProgram, 3), 1);
    EXPECT_EQ(dispatch(effCopyProgram, 200), 0);
    EXPECT_STREQ(plugin->program(8)->name, "Basic");
}

TEST_F(InstrumentPlugin, ProgramNamesAreIndexedAndCut) {
    char text[64];
    for (int32_t i = 0; i < 128; ++i) {
        std::strcpy(text, "stale");
        ASSERT_TRUE(plugin->getProgramNameIndexed(0, i, text));
        ASSERT_STREQ(text, "Basic");
    }
    std::strcpy(text, "stale");
    EXPECT_FALSE(plugin->getProgramNameIndexed(0, 128, text));
    EXPECT_FALSE(plugin->getProgramNameIndexed(0, -1, text));
    EXPECT_STREQ(text, "stale");
    EXPECT_FALSE(plugin->getProgramNameIndexed(0, 3, nullptr));

    char longName[] = "abcdefghijklmnopqrstuvwxyz0123"; // 30 characters
    dispatch(effSetProgramName, 0, 0, longName);
    EXPECT_EQ(programName(), "abcdefghijklmnopqrstuvw");
    std::memset(text, '#', sizeof text);
    // The dispatcher answers with category from value and program from index.
    EXPECT_EQ(dispatch(effGetProgramNameIndexed, 0, 5, text), 1);
    EXPECT_STREQ(text, "abcdefghijklmnopqrstuvw");
    EXPECT_EQ(dispatch(effGetProgramNameIndexed, 1, 0, text), 1);
    EXPECT_STREQ(text, "Basic");

    // A name without a terminator anywhere in the host's text is still cut at 23 characters.
    std::vector<char> unterminated(23, 'q');
    plugin->setProgramName(unterminated.data());
    EXPECT_EQ(programName(), std::string(23, 'q'));

    // Null texts are answered with nothing written.
    plugin->setProgramName(nullptr);
    plugin->getProgramName(nullptr);
    EXPECT_EQ(programName(), std::string(23, 'q'));
}

// ---------------------------------------------------------------- parameters

TEST_F(InstrumentPlugin, ParameterIndicesOutsideTheTableDoNothing) {
    const SynthParams before = plugin->liveParameters();
    const SynthProgram program0 = *plugin->program(0);
    for (int32_t bad : {19, -1, 1000, INT32_MIN}) {
        plugin->setParameter(bad, 0.123f);
        EXPECT_EQ(plugin->getParameter(bad), 0.0f);
        char text[16];
        std::strcpy(text, "stale");
        plugin->getParameterName(bad, text);
        EXPECT_STREQ(text, "stale");
        plugin->getParameterLabel(bad, text);
        EXPECT_STREQ(text, "stale");
        EXPECT_EQ(display(bad), "");
    }
    EXPECT_EQ(std::memcmp(&before, &plugin->liveParameters(), sizeof before), 0);
    EXPECT_EQ(std::memcmp(&program0, plugin->program(0), sizeof program0), 0);
}

TEST_F(InstrumentPlugin, HostValuesAreStoredAndReadBackAsSent) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {1.5f, -0.25f, nan, inf, -inf, 1e30f, -0.0f};
    for (int32_t index = 0; index < kNumParameters; ++index) {
        if (parameterTable[index].integerField != nullptr)
            continue;
        for (float v : values) {
            plugin->setParameter(index, v);
            EXPECT_EQ(bitsOf(plugin->getParameter(index)), bitsOf(v)) << index << " " << v;
            // Displays of such values stay within the host's 8 characters and the terminator.
            EXPECT_LE(display(index).size(), 8u) << index << " " << v;
        }
    }
    EXPECT_EQ(bitsOf(plugin->program(0)->values.Volume), bitsOf(-0.0f));
    for (float v : values) {
        plugin->setParameter(15, v);
        const float back = plugin->getParameter(15);
        EXPECT_FALSE(std::isnan(back));
    }
    plugin->setParameter(15, nan);
    EXPECT_EQ(plugin->getParameter(15), 0.0f);
    plugin->setParameter(15, inf);
    EXPECT_EQ(plugin->getParameter(15), 2147483648.0f);
}

TEST_F(InstrumentPlugin, NamesAndLabelsByteForByte) {
    const char* names[kNumParameters] = {"Exciter ", "Modulation ", "TovFilter",  "Pick",       "Attack",
                                         "Decay",    "Sustain",     "Release",    "ADSRCurve",  "Volume",
                                         "Fixing",   "DynaTone",    "Distorter ", "Overdrive ", "Chorus ",
                                         "Legato ",  "Velocity ",   "ToneRama",   "PowerChord"};
    for (int32_t i = 0; i < kNumParameters; ++i) {
        char text[64];
        std::memset(text, '#', sizeof text);
        dispatch(effGetParamName, i, 0, text);
        EXPECT_EQ(std::memcmp(text, names[i], std::strlen(names[i]) + 1), 0) << i;
        std::strcpy(text, "stale");
        dispatch(effGetParamLabel, i, 0, text);
        EXPECT_STREQ(text, i == 0 ? "Level" : i == 1 ? "Dirty" : i == 9 ? "dB" : "") << i;
    }
    plugin->getParameterName(0, nullptr);
    plugin->getParameterLabel(0, nullptr);
    plugin->getParameterDisplay(0, nullptr);
}

TEST_F(InstrumentPlugin, DefaultDisplays) {
    EXPECT_EQ(display(0), "0.899999");
    EXPECT_EQ(display(1), "0.400000");
    EXPECT_EQ(display(8), "0.399999");
    EXPECT_EQ(display(9), "-6.02059");
    EXPECT_EQ(display(10), "2352.968");
    EXPECT_EQ(display(11), "80.40000");
    EXPECT_EQ(display(17), "0.720000");
    for (int32_t i : {2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 18})
        EXPECT_EQ(display(i), "") << i;
}

TEST_F(InstrumentPlugin, DisplaysAtTheirEdges) {
    EXPECT_EQ(displayAt(10, 0.005f), "Min");
    EXPECT_EQ(displayAt(10, 0.995f), "Max");
    EXPECT_EQ(displayAt(10, -3.0f), "Min");
    EXPECT_EQ(displayAt(10, 7.0f), "Max");
    EXPECT_EQ(displayAt(10, 0.5f), "2440.000");
    EXPECT_EQ(displayAt(10, 0.01f), "440.7999");
    EXPECT_EQ(displayAt(10, 0.99f), "8280.799");
    EXPECT_EQ(displayAt(11, 0.0f), "OFF");
    EXPECT_EQ(displayAt(11, 0.0001f), "10.00000");
    EXPECT_EQ(displayAt(11, 1.0f), "450.0000");
    EXPECT_EQ(displayAt(9, 0.0f), "-oo");
    EXPECT_EQ(displayAt(9, 1.0f), "0.000000");
    EXPECT_EQ(displayAt(8, 1.0f), "-1.00000");
    EXPECT_EQ(displayAt(17, 0.0f), "1.000000");
    EXPECT_EQ(displayAt(3, 0.9f), "");
    EXPECT_EQ(displayAt(18, 1.0f), "");
}

// ---------------------------------------------------------------- identity, capabilities, pins

TEST_F(InstrumentPlugin, IdentityStrings) {
    char text[64];
    EXPECT_EQ(dispatch(effGetEffectName, 0, 0, text), 1);
    EXPECT_STREQ(text, "Solvantis");
    EXPECT_EQ(dispatch(effGetVendorString, 0, 0, text), 1);
    EXPECT_STREQ(text, "Quelvarin");
    EXPECT_EQ(dispatch(effGetProductString, 0, 0, text), 1);
    EXPECT_STREQ(text, "Quelvarin Solvantis");
    EXPECT_EQ(dispatch(effGetVendorVersion), 9536);
    EXPECT_EQ(dispatch(effGetEffectName), 0);
    EXPECT_EQ(dispatch(effGetVendorString), 0);
    EXPECT_EQ(dispatch(effGetProductString), 0);
}

TEST_F(InstrumentPlugin, CapabilitiesAreExactWords) {
    for (const char* yes : {"receiveVstEvents", "receiveVstMidiEvent", "midiProgramNames"}) {
        std::string word = yes;
        EXPECT_EQ(dispatch(effCanDo, 0, 0, word.data()), 1) << yes;
        std::string blank = word + " ";
        EXPECT_EQ(dispatch(effCanDo, 0, 0, blank.data()), -1) << yes;
        std::string upper = word;
        upper[0] = char(std::toupper(upper[0]));
        EXPECT_EQ(dispatch(effCanDo, 0, 0, upper.data()), -1) << yes;
    }
    for (std::string no : {"receiveVstTimeInfo", "", "sendVstEvents", "receiveVstEvent"})
        EXPECT_EQ(dispatch(effCanDo, 0, 0, no.data()), -1) << no;
    EXPECT_EQ(plugin->canDo(nullptr), -1);
}

TEST_F(InstrumentPlugin, OutputPins) {
    for (int32_t pin : {0, 1}) {
        VstPinProperties p;
        std::memset(&p, 0x5a, sizeof p);
        EXPECT_EQ(dispatch(effGetOutputProperties, pin, 0, &p), 1);
        EXPECT_STREQ(p.label, pin == 0 ? "Vstx 1" : "Vstx 2");
        EXPECT_EQ(p.flags, kVstPinIsActive | kVstPinIsStereo);
        EXPECT_EQ(p.arrangementType, 0x5a5a5a5a); // left as the host passed it
        EXPECT_EQ(uint8_t(p.shortLabel[0]), 0x5a);
    }
    for (int32_t pin : {2, 3, -1, INT32_MIN, INT32_MAX}) {
        VstPinProperties p;
        std::memset(&p, 0x5a, sizeof p);
        VstPinProperties before = p;
        EXPECT_EQ(dispatch(effGetOutputProperties, pin, 0, &p), 0) << pin;
        EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0) << pin;
    }
    EXPECT_EQ(dispatch(effGetOutputProperties, 0, 0, nullptr), 0);
    VstPinProperties p{};
    EXPECT_EQ(dispatch(effGetInputProperties, 0, 0, &p), 0);
}

// ---------------------------------------------------------------- General MIDI names

MidiProgramName programRecord(int32_t index) {
    MidiProgramName r;
    std::memset(&r, 0x33, sizeof r);
    r.thisProgramIndex = index;
    return r;
}

TEST_F(InstrumentPlugin, MelodicProgramNames) {
    struct Case {
        int32_t index;
        const char* name;
        int32_t category;
    };
    for (const Case& c : {Case{7, "Clavi", 0}, Case{8, "Celesta", 1}, Case{127, "Gunshot", 15},
                          Case{0, "Acoustic Grand Piano", 0}, Case{24, "Acoustic Guitar (nylon)", 3}}) {
        MidiProgramName r = programRecord(c.index);
        EXPECT_EQ(plugin->getMidiProgramName(0, &r), 128);
        EXPECT_STREQ(r.name, c.name);
        EXPECT_EQ(r.midiProgram, c.index);
        EXPECT_EQ(r.parentCategoryIndex, c.category);
        EXPECT_EQ(r.midiBankMsb, -1);
        EXPECT_EQ(r.midiBankLsb, -1);
        EXPECT_EQ(r.reserved, 0);
        EXPECT_EQ(r.flags, 0);
        EXPECT_EQ(r.thisProgramIndex, c.index);
    }
    MidiProgramName r = programRecord(40);
    EXPECT_EQ(dispatch(effGetMidiProgramName, 15, 0, &r), 128);
    EXPECT_STREQ(r.name, "Violin");
}

TEST_F(InstrumentPlugin, DrumChannelHasOneStandardProgram) {
    for (int32_t index : {0, 63, 127}) {
        MidiProgramName r = programRecord(index);
        EXPECT_EQ(plugin->getMidiProgramName(9, &r), 1);
        EXPECT_STREQ(r.name, "Standard");
        EXPECT_EQ(r.midiProgram, 0);
        EXPECT_EQ(r.parentCategoryIndex, 0);
        EXPECT_EQ(r.thisProgramIndex, index);
    }
    MidiProgramCategory c;
    std::memset(&c, 0x33, sizeof c);
    c.thisCategoryIndex = 4;
    EXPECT_EQ(plugin->getMidiProgramCategory(9, &c), 1);
    EXPECT_STREQ(c.name, "Drums");
    EXPECT_EQ(c.parentCategoryIndex, -1);
    EXPECT_EQ(c.flags, 0);
}

TEST_F(InstrumentPlugin, ProgramNameRequestsOutOfRangeWriteNothing) {
    for (int32_t channel : {0, 9}) {
        for (int32_t index : {128, -1, INT32_MAX}) {
            MidiProgramName r = programRecord(index);
            const MidiProgramName before = r;
            EXPECT_EQ(plugin->getMidiProgramName(channel, &r), 0);
            EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
        }
    }
    for (int32_t channel : {16, -1, 1000}) {
        MidiProgramName r = programRecord(3);
        const MidiProgramName before = r;
        EXPECT_EQ(plugin->getMidiProgramName(channel, &r), 0);
        EXPECT_EQ(plugin->getCurrentMidiProgram(channel, &r), -1);
        EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
        MidiProgramCategory c{};
        c.thisCategoryIndex = 2;
        EXPECT_EQ(plugin->getMidiProgramCategory(channel, &c), 0);
        EXPECT_EQ(c.name[0], '\0');
        MidiKeyName k;
        std::memset(&k, 0x33, sizeof k);
        EXPECT_FALSE(plugin->getMidiKeyName(channel, &k));
        EXPECT_EQ(k.flags, 0x33333333);
    }
    EXPECT_EQ(plugin->getMidiProgramName(0, nullptr), 0);
    EXPECT_EQ(plugin->getCurrentMidiProgram(0, nullptr), -1);
    EXPECT_EQ(plugin->getMidiProgramCategory(0, nullptr), 0);
    EXPECT_FALSE(plugin->getMidiKeyName(0, nullptr));
}

TEST_F(InstrumentPlugin, CategoriesOnMelodicChannels) {
    struct Case {
        int32_t index;
        const char* name;
    };
    for (const Case& k : {Case{0, "Piano"}, Case{11, "SynthPad"}, Case{15, "Effects"}, Case{16, "DrumSets"},
                          Case{17, ""}, Case{-1, ""}}) {
        MidiProgramCategory c;
        std::memset(&c, 0x33, sizeof c);
        c.thisCategoryIndex = k.index;
        EXPECT_EQ(plugin->getMidiProgramCategory(3, &c), 17);
        EXPECT_STREQ(c.name, k.name);
        EXPECT_EQ(c.parentCategoryIndex, -1);
        EXPECT_EQ(c.flags, 0);
        EXPECT_EQ(c.thisCategoryIndex, k.index);
    }
}

TEST_F(InstrumentPlugin, CurrentMidiProgramIsTheChannelWhateverTheHostSelects) {
    plugin->setProgram(42);
    MidiProgramName r = programRecord(100);
    EXPECT_EQ(plugin->getCurrentMidiProgram(5, &r), 5);
    EXPECT_EQ(r.thisProgramIndex, 5);
    EXPECT_STREQ(r.name, "Electric Piano 2");
    EXPECT_EQ(r.midiProgram, 5);
    r = programRecord(100);
    EXPECT_EQ(plugin->getCurrentMidiProgram(9, &r), 9);
    EXPECT_EQ(r.thisProgramIndex, 9);
    EXPECT_STREQ(r.name, "Standard");
    for (int32_t channel = 0; channel < 16; ++channel) {
        EXPECT_EQ(plugin->getCurrentMidiProgram(channel, &r), channel);
        EXPECT_FALSE(plugin->hasMidiProgramsChanged(channel));
    }
    EXPECT_EQ(dispatch(effHasMidiProgramsChanged, 0), 0);
}

TEST_F(InstrumentPlugin, NoKeyNames) {
    MidiKeyName k;
    std::memset(&k, 0x33, sizeof k);
    k.thisProgramIndex = 2;
    k.thisKeyNumber = 60;
    EXPECT_FALSE(plugin->getMidiKeyName(0, &k));
    EXPECT_EQ(k.keyName[0], '\0');
    EXPECT_EQ(k.reserved, 0);
    EXPECT_EQ(k.flags, 0);
    EXPECT_EQ(k.thisKeyNumber, 60);
    EXPECT_EQ(dispatch(effGetMidiKeyName, 0, 0, &k), 0);
}

} // namespace
} // namespace solvantis
