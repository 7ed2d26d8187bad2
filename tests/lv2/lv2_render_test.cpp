// The LV2 bundle loaded through lilv, the host library Linux hosts use, held against the VST 2 plug-in of the
// same build: the same ports as parameters, the same preset, and the same sound bit for bit.
#include <gtest/gtest.h>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "plugin_host.h"

namespace {

using solvantis::ChannelBuffers;
using solvantis::MidiEventList;
using solvantis::PluginHost;

constexpr const char* kPluginUri = "urn:quelvarin:solvantis";
constexpr uint32_t kParameters = 19, kMidiPort = 19, kLeftPort = 20, kRightPort = 21;

struct UridMap {
    std::vector<std::string> uris;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle handle, const char* uri) -> LV2_URID {
                         auto& list = static_cast<UridMap*>(handle)->uris;
                         for (size_t i = 0; i < list.size(); ++i)
                             if (list[i] == uri)
                                 return LV2_URID(i + 1);
                         list.emplace_back(uri);
                         return LV2_URID(list.size());
                     }};
    LV2_Feature feature{LV2_URID__map, &map};
    LV2_URID operator()(const char* uri) { return map.map(map.handle, uri); }
};

struct CapturedLog {
    std::string text;
    static int vprint(LV2_Log_Handle handle, LV2_URID, const char* format, va_list args) {
        char line[512];
        const int n = std::vsnprintf(line, sizeof line, format, args);
        static_cast<CapturedLog*>(handle)->text += line;
        return n;
    }
    static int print(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = vprint(handle, type, format, args);
        va_end(args);
        return n;
    }
    LV2_Log_Log log{this, print, vprint};
    LV2_Feature feature{LV2_LOG__log, &log};
};

// A world that knows our bundle alone (not whatever is installed), and the plug-in in it.
struct Bundle {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    Bundle() {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, SOLVANTIS_LV2_BUNDLE);
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world, kPluginUri);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
    }
    ~Bundle() { lilv_world_free(world); }
    LilvNode* uri(const char* text) { return lilv_new_uri(world, text); }
};

// The VST 2 plug-in of this build, switched on the way a host does it.
void start(PluginHost& vst, float rate, int32_t block) {
    vst.open();
    vst.setSampleRate(rate);
    vst.setBlockSize(block);
    vst.switchOn();
}

// ---------------------------------------------------------------- the same sound

// A MIDI message at a frame (status != 0) or a parameter value (status 0), set before the cycle holding it.
struct Step {
    int32_t frame;
    uint8_t status, data1, data2;
    uint32_t parameter;
    float value;
};
// Notes at the first and last frames of cycles, legato with a release of the sounding key, bends both
// ways, the wheel, volume, all-notes-off, and parameters moved while a note sounds (switches included).
const std::vector<Step> phrase = {
    {0, 0x90, 45, 100, 0, 0},     {63, 0x90, 52, 90, 0, 0},     {999, 0x80, 52, 0, 0, 0},
    {4000, 0xE0, 0, 127, 0, 0},   {9000, 0xB0, 1, 30, 0, 0},    {12000, 0, 0, 0, 18, 1.0f},
    {12000, 0, 0, 0, 14, 0.6f},   {15000, 0xE0, 0, 0, 0, 0},    {20000, 0x80, 45, 0, 0, 0},
    {20001, 0x91, 60, 127, 0, 0}, {26000, 0xB0, 7, 70, 0, 0},   {30000, 0xB0, 123, 0, 0, 0},
    {33000, 0, 0, 0, 15, 0.0f},   {33000, 0, 0, 0, 12, 0.8f},   {34000, 0x90, 64, 20, 0, 0},
    {40000, 0x90, 64, 0, 0, 0},   {44999, 0x90, 33, 127, 0, 0}, {52000, 0, 0, 0, 9, 1.0f},
    {60000, 0x80, 33, 0, 0, 0},
};
constexpr int32_t kPhraseFrames = 72000;

struct Render {
    std::vector<float> left, right;
};

Render renderVst2(float rate, int32_t cycle) {
    PluginHost vst(SOLVANTIS_PLUGIN_PATH);
    start(vst, rate, cycle);
    ChannelBuffers buffers(0, 2, cycle);
    MidiEventList events;
    Render out;
    auto step = phrase.begin();
    for (int32_t start = 0; start < kPhraseFrames; start += cycle) {
        const int32_t n = std::min(cycle, kPhraseFrames - start);
        events.clear();
        for (; step != phrase.end() && step->frame < start + n; ++step) {
            if (step->status == 0)
                vst.setParameter(int32_t(step->parameter), step->value);
            else
                events.add(step->frame - start, step->status, step->data1, step->data2);
        }
        if (!events.empty())
            vst.processEvents(events);
        vst.processReplacing(buffers.inputs(), buffers.outputs(), n);
        out.left.insert(out.left.end(), buffers.output(0), buffers.output(0) + n);
        out.right.insert(out.right.end(), buffers.output(1), buffers.output(1) + n);
    }
    return out;
}

Render renderLv2(float rate, int32_t cycle) {
    Bundle bundle;
    UridMap urids;
    const LV2_Feature* features[] = {&urids.feature, nullptr};
    LilvInstance* instance = lilv_plugin_instantiate(bundle.plugin, rate, features);
    EXPECT_NE(instance, nullptr);
    if (instance == nullptr)
        return {};
    // Controls start where a host starts them: at the Turtle's defaults.
    std::vector<float> controls(kParameters), defaults(lilv_plugin_get_num_ports(bundle.plugin));
    lilv_plugin_get_port_ranges_float(bundle.plugin, nullptr, nullptr, defaults.data());
    std::copy_n(defaults.begin(), kParameters, controls.begin());
    std::vector<uint64_t> sequence(4096);
    std::vector<float> left(static_cast<size_t>(cycle)), right(static_cast<size_t>(cycle));
    for (uint32_t port = 0; port < kParameters; ++port)
        lilv_instance_connect_port(instance, port, &controls[port]);
    lilv_instance_connect_port(instance, kMidiPort, sequence.data());
    lilv_instance_connect_port(instance, kLeftPort, left.data());
    lilv_instance_connect_port(instance, kRightPort, right.data());
    lilv_instance_activate(instance);

    const LV2_URID midiType = urids(LV2_MIDI__MidiEvent), intType = urids(LV2_ATOM__Int);
    Render out;
    auto step = phrase.begin();
    for (int32_t start = 0; start < kPhraseFrames; start += cycle) {
        const int32_t n = std::min(cycle, kPhraseFrames - start);
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(sequence.data());
        *seq = {{sizeof(LV2_Atom_Sequence_Body), urids(LV2_ATOM__Sequence)}, {0, 0}};
        auto append = [&](int64_t frame, LV2_URID type, const void* body, uint32_t size) {
            char* end = reinterpret_cast<char*>(sequence.data()) + sizeof(LV2_Atom) + seq->atom.size;
            auto* event = reinterpret_cast<LV2_Atom_Event*>(end);
            *event = {{frame}, {size, type}};
            std::memcpy(event + 1, body, size);
            seq->atom.size += uint32_t(sizeof(LV2_Atom_Event) + ((size + 7) & ~7u));
        };
        // An atom of another type, which the plug-in must pass over: its bytes would read as a note-on.
        const int32_t notMidi = 0x00403C90;
        append(0, intType, &notMidi, sizeof notMidi);
        for (; step != phrase.end() && step->frame < start + n; ++step) {
            const uint8_t bytes[3] = {step->status, step->data1, step->data2};
            if (step->status == 0)
                controls[step->parameter] = step->value;
            else
                append(step->frame - start, midiType, bytes, 3);
        }
        lilv_instance_run(instance, uint32_t(n));
        out.left.insert(out.left.end(), left.begin(), left.begin() + n);
        out.right.insert(out.right.end(), right.begin(), right.begin() + n);
    }
    lilv_instance_deactivate(instance);
    lilv_instance_free(instance);
    return out;
}

size_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && std::memcmp(&a[i], &b[i], sizeof(float)) == 0)
        ++i;
    return i;
}

TEST(Lv2Render, SameBitsAsTheVst2PluginAtTwoCycleSizes) {
    struct Case {
        float rate;
        int32_t cycle;
    };
    for (const Case c : {Case{48000.0f, 64}, Case{44100.0f, 1000}}) {
        SCOPED_TRACE("cycle " + std::to_string(c.cycle));
        const Render vst = renderVst2(c.rate, c.cycle), lv2 = renderLv2(c.rate, c.cycle);
        ASSERT_EQ(lv2.left.size(), size_t(kPhraseFrames));
        ASSERT_EQ(vst.left.size(), size_t(kPhraseFrames));
        float peak = 0.0f;
        for (float x : vst.left)
            peak = std::max(peak, std::fabs(x));
        EXPECT_GT(peak, 0.01f) << "the phrase must sound, or the comparison proves nothing";
        EXPECT_EQ(std::memcmp(vst.left.data(), lv2.left.data(), kPhraseFrames * sizeof(float)), 0)
            << "left differs from frame " << firstDifference(vst.left, lv2.left);
        EXPECT_EQ(std::memcmp(vst.right.data(), lv2.right.data(), kPhraseFrames * sizeof(float)), 0)
            << "right differs from frame " << firstDifference(vst.right, lv2.right);
    }
}

// ---------------------------------------------------------------- what a host reads from the Turtle

TEST(Lv2Bundle, PortsAreTheVst2ParametersWithTheirNamesAndDefaults) {
    Bundle bundle;
    ASSERT_NE(bundle.plugin, nullptr);
    PluginHost vst(SOLVANTIS_PLUGIN_PATH);
    start(vst, 44100.0f, 512);
    const uint32_t ports = lilv_plugin_get_num_ports(bundle.plugin);
    ASSERT_EQ(ports, kParameters + 3);
    std::vector<float> minimum(ports), maximum(ports), defaults(ports);
    lilv_plugin_get_port_ranges_float(bundle.plugin, minimum.data(), maximum.data(), defaults.data());
    LilvNode* input = bundle.uri(LV2_CORE__InputPort);
    LilvNode* control = bundle.uri(LV2_CORE__ControlPort);
    LilvNode* toggled = bundle.uri(LV2_CORE__toggled);
    for (uint32_t i = 0; i < kParameters; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(bundle.plugin, i);
        LilvNode* name = lilv_port_get_name(bundle.plugin, port);
        EXPECT_EQ(lilv_node_as_string(name), vst.getParameterName(int32_t(i))) << "port " << i;
        lilv_node_free(name);
        EXPECT_TRUE(lilv_port_is_a(bundle.plugin, port, input) &&
                    lilv_port_is_a(bundle.plugin, port, control));
        EXPECT_EQ(defaults[i], vst.getParameter(int32_t(i))) << "port " << i;
        EXPECT_EQ(minimum[i], 0.0f);
        EXPECT_EQ(maximum[i], 1.0f);
        EXPECT_EQ(lilv_port_has_property(bundle.plugin, port, toggled), i == 15 || i == 18) << "port " << i;
    }
    for (LilvNode* node : {input, control, toggled})
        lilv_node_free(node);

    LilvNode* midi = bundle.uri(LV2_MIDI__MidiEvent);
    EXPECT_TRUE(lilv_port_supports_event(bundle.plugin,
                                         lilv_plugin_get_port_by_index(bundle.plugin, kMidiPort), midi));
    lilv_node_free(midi);
    LilvNode* author = lilv_plugin_get_author_name(bundle.plugin);
    ASSERT_NE(author, nullptr);
    EXPECT_EQ(lilv_node_as_string(author), vst.getVendorString());
    lilv_node_free(author);
    LilvNode* name = lilv_plugin_get_name(bundle.plugin);
    EXPECT_EQ(lilv_node_as_string(name), vst.getEffectName());
    lilv_node_free(name);
}

TEST(Lv2Bundle, BasicPresetHoldsTheFirstProgramOfTheVst2Plugin) {
    Bundle bundle;
    UridMap urids;
    PluginHost vst(SOLVANTIS_PLUGIN_PATH);
    start(vst, 44100.0f, 512);
    LilvNode* preset = bundle.uri("urn:quelvarin:solvantis:preset:basic");
    lilv_world_load_resource(bundle.world, preset);
    LilvState* state = lilv_state_new_from_world(bundle.world, &urids.map, preset);
    lilv_node_free(preset);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(lilv_state_get_label(state), vst.getProgramName());
    EXPECT_EQ(lilv_state_get_num_properties(state), 0u);
    struct Seen {
        const LilvPlugin* plugin;
        LilvWorld* world;
        std::vector<float> values = std::vector<float>(kParameters, std::nanf(""));
    } seen{bundle.plugin, bundle.world};
    lilv_state_emit_port_values(
        state,
        [](const char* symbol, void* user, const void* value, uint32_t, uint32_t) {
            auto* s = static_cast<Seen*>(user);
            LilvNode* node = lilv_new_string(s->world, symbol);
            const LilvPort* port = lilv_plugin_get_port_by_symbol(s->plugin, node);
            lilv_node_free(node);
            ASSERT_NE(port, nullptr) << symbol;
            s->values.at(lilv_port_get_index(s->plugin, port)) = *static_cast<const float*>(value);
        },
        &seen);
    lilv_state_free(state);
    for (uint32_t i = 0; i < kParameters; ++i)
        EXPECT_EQ(seen.values[i], vst.getParameter(int32_t(i))) << "port " << i;
}

// ---------------------------------------------------------------- port indices

// Two cycles of one note through the descriptor's own entries: every port connected (the controls at the
// Turtle's defaults, PowerChord as given), then `stray` connected at the index `strayPort` (none when
// null), as a host with a slip in its port count would.
std::vector<float> renderNote(float powerChord, uint32_t strayPort, float* stray) {
    Bundle bundle;
    UridMap urids;
    const LV2_Feature* features[] = {&urids.feature, nullptr};
    LilvInstance* instance = lilv_plugin_instantiate(bundle.plugin, 44100.0, features);
    EXPECT_NE(instance, nullptr);
    if (instance == nullptr)
        return {};
    const LV2_Descriptor* entries = lilv_instance_get_descriptor(instance);
    LV2_Handle handle = lilv_instance_get_handle(instance);
    std::vector<float> controls(lilv_plugin_get_num_ports(bundle.plugin));
    lilv_plugin_get_port_ranges_float(bundle.plugin, nullptr, nullptr, controls.data());
    controls[kParameters - 1] = powerChord;
    constexpr uint32_t frames = 2048;
    std::vector<uint64_t> sequence(16);
    std::vector<float> left(frames), right(frames), out;
    for (uint32_t port = 0; port < kParameters; ++port)
        entries->connect_port(handle, port, &controls[port]);
    entries->connect_port(handle, kMidiPort, sequence.data());
    entries->connect_port(handle, kLeftPort, left.data());
    entries->connect_port(handle, kRightPort, right.data());
    if (stray != nullptr)
        entries->connect_port(handle, strayPort, stray);
    entries->activate(handle);
    auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(sequence.data());
    for (int cycle = 0; cycle < 2; ++cycle) {
        *seq = {{sizeof(LV2_Atom_Sequence_Body), urids(LV2_ATOM__Sequence)}, {0, 0}};
        if (cycle == 0) {
            auto* event = reinterpret_cast<LV2_Atom_Event*>(seq + 1);
            *event = {{0}, {3, urids(LV2_MIDI__MidiEvent)}};
            const uint8_t noteOn[3] = {0x90, 45, 100};
            std::memcpy(event + 1, noteOn, 3);
            seq->atom.size += uint32_t(sizeof(LV2_Atom_Event) + 8);
        }
        entries->run(handle, frames);
        out.insert(out.end(), left.begin(), left.end());
        out.insert(out.end(), right.begin(), right.end());
    }
    entries->deactivate(handle);
    lilv_instance_free(instance);
    return out;
}

TEST(Lv2Ports, TheLastControlPlaysAndAnIndexPastThePortsChangesNothing) {
    const std::vector<float> single = renderNote(0.0f, 0, nullptr), chord = renderNote(1.0f, 0, nullptr);
    ASSERT_EQ(chord.size(), single.size());
    EXPECT_NE(std::memcmp(chord.data(), single.data(), chord.size() * sizeof(float)), 0)
        << "PowerChord, the last control port, must reach the sound";
    for (const uint32_t port : {kRightPort + 1, kRightPort + 2, std::numeric_limits<uint32_t>::max()}) {
        SCOPED_TRACE("port " + std::to_string(port));
        // Values a control would feel and an output would overwrite.
        std::vector<float> stray(4096, 1.0f);
        const std::vector<float> got = renderNote(1.0f, port, stray.data());
        ASSERT_EQ(got.size(), chord.size());
        EXPECT_EQ(std::memcmp(got.data(), chord.data(), chord.size() * sizeof(float)), 0);
        EXPECT_EQ(std::count(stray.begin(), stray.end(), 1.0f), 4096);
    }
}

// ---------------------------------------------------------------- refusals

TEST(Lv2Instantiate, RefusesWhatItCannotRunWithAReasonInTheHostsLog) {
    struct Case {
        bool map;
        double rate;
        const char* reason;
    };
    for (const Case c : {Case{false, 44100.0, "urid#map"}, Case{true, 7999.0, "sample rate of 7999"},
                         Case{true, 2.0e7, "sample rate"}, Case{true, std::nan(""), "sample rate"},
                         Case{true, -44100.0, "sample rate"}}) {
        SCOPED_TRACE(c.reason);
        Bundle bundle;
        UridMap urids;
        CapturedLog log;
        const LV2_Feature* withMap[] = {&urids.feature, &log.feature, nullptr};
        const LV2_Feature* withoutMap[] = {&log.feature, nullptr};
        LilvInstance* instance = lilv_plugin_instantiate(bundle.plugin, c.rate, c.map ? withMap : withoutMap);
        EXPECT_EQ(instance, nullptr);
        if (instance != nullptr)
            lilv_instance_free(instance);
        EXPECT_NE(log.text.find(c.reason), std::string::npos) << log.text;
    }
    // The lowest and highest rates a VST 2 host may set are accepted.
    for (const double rate : {8000.0, 1.0e7}) {
        Bundle bundle;
        UridMap urids;
        const LV2_Feature* features[] = {&urids.feature, nullptr};
        LilvInstance* instance = lilv_plugin_instantiate(bundle.plugin, rate, features);
        EXPECT_NE(instance, nullptr) << rate;
        if (instance != nullptr)
            lilv_instance_free(instance);
    }
}

} // namespace
