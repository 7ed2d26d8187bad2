// Plays a phrase into a JACK client that hosts Solvantis (jalv with the LV2 bundle), records what it plays
// back as 32-bit floats, renders the same phrase through the VST 2 plug-in offline at JACK's rate and cycle
// size, and compares the two bit for bit. scripts/lv2-live-check runs it under JACK's dummy driver.
//
//   jack_phrase VST2_PLUGIN.so JACK_CLIENT
//
// Two JACK clients of its own: "phrase_midi" sends the phrase (into JACK_CLIENT:midi_in) and
// "phrase_rec" records JACK_CLIENT:out_left and out_right, so the graph runs sender, plug-in, recorder in
// one cycle. The phrase starts on a cycle boundary; the VST 2 render starts there too, with blocks of the
// cycle's size. The plug-in in jalv started earlier, at a time we cannot know, but an instance that rests
// takes no time (its noise and control clock stand still until a note sounds), so the recording of the
// default sound must equal a fresh render whenever the phrase starts.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/vst_abi.h"

using namespace solvantis;

namespace {

struct Message {
    uint32_t frame;
    uint8_t bytes[3];
};
// A pluck, a legato note and its release, bends both ways, volume, a second note, all on the frames given.
const Message phrase[] = {
    {100, {0x90, 45, 100}},   {5000, {0x90, 52, 90}}, {9000, {0xE0, 0, 127}},
    {12000, {0xE0, 0, 0}},    {15000, {0x80, 52, 0}}, {20000, {0x80, 45, 0}},
    {22057, {0x90, 60, 127}}, {30000, {0xB0, 7, 70}}, {40000, {0x80, 60, 0}},
};
constexpr uint32_t kFrames = 48000;

std::atomic<bool> go{false};
std::atomic<bool> started{false};
std::atomic<bool> done{false};
std::atomic<int> xruns{0};
jack_nframes_t startFrame = 0; // written by the sender before `started`
jack_port_t* midiOut = nullptr;
jack_port_t* recordIn[2] = {};
std::vector<float> recorded[2];

int sendPhrase(jack_nframes_t n, void* client) {
    void* buffer = jack_port_get_buffer(midiOut, n);
    jack_midi_clear_buffer(buffer);
    const jack_nframes_t now = jack_last_frame_time(static_cast<jack_client_t*>(client));
    if (!started.load() && go.load()) {
        startFrame = now;
        started.store(true);
    }
    if (!started.load())
        return 0;
    const jack_nframes_t position = now - startFrame;
    for (const Message& m : phrase) {
        if (m.frame >= position && m.frame < position + n)
            jack_midi_event_write(buffer, m.frame - position, m.bytes, 3);
    }
    return 0;
}

int recordPhrase(jack_nframes_t n, void* client) {
    if (!started.load() || done.load())
        return 0;
    const jack_nframes_t position = jack_last_frame_time(static_cast<jack_client_t*>(client)) - startFrame;
    for (int c = 0; c < 2; ++c) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(recordIn[c], n));
        for (jack_nframes_t i = 0; i < n && position + i < kFrames; ++i)
            recorded[c][position + i] = in[i];
    }
    if (position + n >= kFrames)
        done.store(true);
    return 0;
}

int countXrun(void*) {
    xruns.fetch_add(1);
    return 0;
}

intptr_t hostCallback(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

// The same phrase through a fresh VST 2 plug-in with the default sound, in blocks of the JACK cycle's size.
bool renderVst2(const char* path, float rate, int32_t block, std::vector<float> (&out)[2]) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto entry =
        library ? reinterpret_cast<AEffect* (*)(audioMasterCallback)>(dlsym(library, "main")) : nullptr;
    AEffect* effect = entry ? entry(hostCallback) : nullptr;
    if (effect == nullptr)
        return false;
    effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
    effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, rate);
    effect->dispatcher(effect, effSetBlockSize, 0, block, nullptr, 0.0f);
    effect->dispatcher(effect, effMainsChanged, 0, 1, nullptr, 0.0f);
    std::vector<VstMidiEvent> events(std::size(phrase));
    std::vector<std::byte> list(offsetof(VstEvents, events) + std::size(phrase) * sizeof(VstEvent*));
    auto* header = reinterpret_cast<VstEvents*>(list.data());
    std::vector<float> left(size_t(block), 0.0f), right(size_t(block), 0.0f);
    float* outputs[2] = {left.data(), right.data()};
    for (uint32_t start = 0; start < kFrames; start += uint32_t(block)) {
        header->numEvents = 0;
        for (const Message& m : phrase) {
            if (m.frame < start || m.frame >= start + uint32_t(block))
                continue;
            VstMidiEvent& e = events[size_t(header->numEvents)];
            e = {};
            e.type = kVstMidiType;
            e.byteSize = sizeof e;
            e.deltaFrames = int32_t(m.frame - start);
            std::memcpy(e.midiData, m.bytes, 3);
            eventList(header)[header->numEvents++] = reinterpret_cast<VstEvent*>(&e);
        }
        if (header->numEvents > 0)
            effect->dispatcher(effect, effProcessEvents, 0, 0, header, 0.0f);
        effect->processReplacing(effect, nullptr, outputs, block);
        out[0].insert(out[0].end(), left.begin(), left.end());
        out[1].insert(out[1].end(), right.begin(), right.end());
    }
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    out[0].resize(kFrames);
    out[1].resize(kFrames);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: jack_phrase VST2_PLUGIN.so JACK_CLIENT\n");
        return 2;
    }
    const std::string target = argv[2];
    jack_client_t* sender = jack_client_open("phrase_midi", JackNoStartServer, nullptr);
    jack_client_t* recorder = jack_client_open("phrase_rec", JackNoStartServer, nullptr);
    if (sender == nullptr || recorder == nullptr) {
        std::fprintf(stderr, "jack_phrase: no JACK server\n");
        return 1;
    }
    recorded[0].assign(kFrames, 0.0f);
    recorded[1].assign(kFrames, 0.0f);
    midiOut = jack_port_register(sender, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    recordIn[0] = jack_port_register(recorder, "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    recordIn[1] = jack_port_register(recorder, "right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(sender, sendPhrase, sender);
    jack_set_process_callback(recorder, recordPhrase, recorder);
    jack_set_xrun_callback(recorder, countXrun, nullptr);
    if (jack_activate(sender) != 0 || jack_activate(recorder) != 0 ||
        jack_connect(sender, "phrase_midi:out", (target + ":midi_in").c_str()) != 0 ||
        jack_connect(recorder, (target + ":out_left").c_str(), "phrase_rec:left") != 0 ||
        jack_connect(recorder, (target + ":out_right").c_str(), "phrase_rec:right") != 0) {
        std::fprintf(stderr, "jack_phrase: cannot connect to %s\n", argv[2]);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    xruns.store(0);
    go.store(true);
    for (int waited = 0; !done.load() && waited < 300; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const float rate = float(jack_get_sample_rate(sender));
    const auto cycle = int32_t(jack_get_buffer_size(sender));
    jack_client_close(sender);
    jack_client_close(recorder);
    if (!done.load()) {
        std::fprintf(stderr, "jack_phrase: the recording did not finish\n");
        return 1;
    }
    // JACK's missed cycles (xruns) may have cut the recording or not: the comparison tells. A recording
    // that equals the render is whole whatever JACK reported; one that differs after xruns is no proof
    // of a difference (status 3: try again), and one that differs without any is a real difference.
    const int missed = xruns.load();

    float peak = 0.0f;
    for (float x : recorded[0])
        peak = std::max(peak, std::abs(x));
    std::vector<float> reference[2];
    if (!renderVst2(argv[1], rate, cycle, reference)) {
        std::fprintf(stderr, "jack_phrase: cannot load %s\n", argv[1]);
        return 1;
    }
    size_t first = kFrames; // the first frame that differs
    for (size_t i = 0; i < kFrames && first == kFrames; ++i) {
        for (int c = 0; c < 2; ++c) {
            if (std::memcmp(&recorded[c][i], &reference[c][i], sizeof(float)) != 0)
                first = i;
        }
    }
    std::printf("%s at %.0f Hz in %d-frame cycles, %u frames, peak %.3f: ", argv[2], double(rate), cycle,
                kFrames, double(peak));
    if (first == kFrames) {
        std::printf("bit-identical to the VST 2 plug-in%s\n", missed > 0 ? ", in spite of JACK's xruns" : "");
        return peak > 0.01f ? 0 : 1;
    }
    if (missed > 0) {
        std::printf("not one continuous recording (%d xruns: the machine was too busy for these cycles)\n",
                    missed);
        return 3;
    }
    std::printf("differs from the VST 2 plug-in from frame %zu\n", first);
    return 1;
}
