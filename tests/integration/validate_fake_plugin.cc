// A small well-behaved VST 2 synth that the validate tests compile at run time, and its broken variants:
//   (default)         each instance its own state; a 0.25 square-ish tone at the held key, silence otherwise
//   FAKE_NAN          one NaN sample at the frame of every note-on
//   FAKE_UNTOUCHED    processReplacing writes nothing while no key is down
//   FAKE_UNSEEDED     every instance starts from a different phase (it reads the clock)
//   FAKE_SHARED       all instances share one phase and one set of held keys
//   FAKE_LONG_NAME    parameter names run 80 bytes into the host's buffer
//   FAKE_CRASH_RANGE  getParameter dereferences null for an index out of range; the effect name is
//                     written through a null pointer
//   FAKE_PROCESS_HALF the accumulating process entry adds only half the level
//   FAKE_NO_OUTPUTS   a synth that announces no outputs
//   FAKE_CRASH_LOAD   the entry aborts
//   FAKE_HANG         the display text of a parameter never comes, with SIGALRM blocked
//   FAKE_EXIT         processReplacing calls exit(0)
//   FAKE_FORK         effOpen forks a process that holds every descriptor for ten minutes, its pid
//                     written to the file named by FAKE_FORK_PIDS
//   FAKE_BLOCK_RAMP   the level ramps up from a quarter over 64 frames at the start of every block
//   FAKE_RUNAWAY      a feedback filter whose feedback passes 1 when Tone is above 0.83
//   FAKE_POISONED     a level smoother takes in non-finite values, and non-finite output is muted:
//                     after one NaN it stays silent for good
//   FAKE_ALLOCATING   processReplacing allocates a new scratch buffer for every block
//   FAKE_CRASH_RATE   effSetSampleRate crashes for a rate of 176400 Hz
//   FAKE_BAD_CHUNK    keeps its programs as chunks, and points at address 0x10 for them
//   FAKE_LONG_IDENTITY effect, vendor and product names of 300 bytes
#include "host/vst_abi.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

using namespace solvantis;

namespace {

constexpr int32_t paramCount = 3;
constexpr int32_t programCount = 2;

struct Voice {
    int keysDown = 0;
    double phase = 0.0; // in cycles
    float frequency = 440.0f;
};

struct Fake {
    AEffect record; // first, so that the record's address is the object's
    audioMasterCallback host = nullptr;
    float parameters[paramCount] = {0.5f, 0.5f, 0.0f};
    int32_t program = 0;
    float sampleRate = 44100.0f;
    Voice own;
    Voice* voice = &own;
    struct Change {
        int32_t frame;
        int change;
        int key;
    } changes[512];
    int changeCount = 0;
    float feedbackState = 0.0f;
    float smoothedGain = 0.5f;
    void* scratch = nullptr;
};

#ifdef FAKE_SHARED
Voice sharedVoice;
#endif

Fake* self(AEffect* e) {
    return static_cast<Fake*>(e->object);
}

void copy(void* ptr, const char* text) {
    if (ptr != nullptr) {
        std::strcpy(static_cast<char*>(ptr), text);
    }
}

intptr_t dispatcher(AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    Fake* f = self(e);
    static const char* names[paramCount] = {"Gain", "Tone", "Mode"};
    switch (opcode) {
#ifdef FAKE_FORK
    case effOpen:
        if (const pid_t pid = fork(); pid == 0) {
            sleep(600);
            _exit(0);
        } else if (const char* path = std::getenv("FAKE_FORK_PIDS"); path != nullptr && pid > 0) {
            if (FILE* file = std::fopen(path, "a")) {
                std::fprintf(file, "%d\n", int(pid));
                std::fclose(file);
            }
        }
        return 0;
#endif
    case effClose:
        std::free(f->scratch);
        delete f;
        return 1;
    case effSetSampleRate:
#ifdef FAKE_CRASH_RATE
        if (opt == 176400.0f) {
            std::abort();
        }
#endif
        f->sampleRate = opt;
        return 0;
    case effSetProgram:
        if (value >= 0 && value < programCount) {
            f->program = int32_t(value);
        }
        return 0;
    case effGetProgram:
        return f->program;
    case effGetProgramName:
        copy(ptr, f->program == 0 ? "First" : "Second");
        return 0;
    case effGetProgramNameIndexed:
        if (index < 0 || index >= programCount) {
            return 0;
        }
        copy(ptr, index == 0 ? "First" : "Second");
        return 1;
    case effGetParamName:
#ifdef FAKE_LONG_NAME
        if (ptr != nullptr && index >= 0 && index < paramCount) {
            std::memset(ptr, 'x', 80);
            static_cast<char*>(ptr)[80] = '\0';
        }
        return 0;
#endif
        if (index >= 0 && index < paramCount) {
            copy(ptr, names[index]);
        }
        return 0;
    case effGetParamLabel:
        if (index >= 0 && index < paramCount) {
            copy(ptr, "dB");
        }
        return 0;
    case effGetParamDisplay:
#ifdef FAKE_HANG
    {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        sigprocmask(SIG_BLOCK, &alarm, nullptr);
        for (volatile bool forever = true; forever;) {
        }
    }
#endif
        if (index >= 0 && index < paramCount && ptr != nullptr) {
            std::strcpy(static_cast<char*>(ptr), f->parameters[index] > 0.5f ? "high" : "low");
        }
        return 0;
#ifdef FAKE_BAD_CHUNK
    case effGetChunk:
        *static_cast<void**>(ptr) = reinterpret_cast<void*>(uintptr_t(0x10));
        return 64;
#endif
#ifdef FAKE_LONG_IDENTITY
    case effGetVendorString:
    case effGetProductString:
    case effGetEffectName:
        std::memset(ptr, 'n', 300);
        static_cast<char*>(ptr)[300] = '\0';
        return 1;
#else
    case effGetEffectName:
#ifdef FAKE_CRASH_RANGE
        std::strcpy(static_cast<char*>(ptr), "Fake"); // no null check: a --strict crash
        return 1;
#endif
        copy(ptr, "Fake");
        return 1;
#endif
    case effProcessEvents: {
        const auto* list = static_cast<const VstEvents*>(ptr);
        for (int32_t i = 0; i < list->numEvents; ++i) {
            const auto* m = reinterpret_cast<const VstMidiEvent*>(eventList(list)[i]);
            if (m->type != kVstMidiType) {
                continue;
            }
            const int kind = m->midiData[0] & 0xF0;
            const int change = (kind == 0x90 && m->midiData[2] != 0) ? 1
                               : (kind == 0x80 || kind == 0x90)      ? -1
                                                                     : 0;
            if (change != 0 && f->changeCount < 512) {
                f->changes[f->changeCount++] = {m->deltaFrames, change, m->midiData[1]};
            }
        }
        return 1;
    }
    default:
        return 0;
    }
}

void fill(AEffect* e, float** outputs, int32_t frames, bool add) {
    Fake* f = self(e);
    Voice& v = *f->voice;
    int next = 0;
#ifdef FAKE_UNTOUCHED
    if (!add && v.keysDown == 0 && f->changeCount == 0) {
        return;
    }
#endif
    for (int32_t i = 0; i < frames; ++i) {
        bool noteOn = false;
        while (next < f->changeCount && f->changes[next].frame <= i) {
            const auto& c = f->changes[next++];
            v.keysDown = v.keysDown + c.change < 0 ? 0 : v.keysDown + c.change;
            if (c.change > 0) {
                v.frequency = 440.0f * std::pow(2.0f, float(c.key - 69) / 12.0f);
                noteOn = true;
            }
        }
        float level = 0.0f;
        if (v.keysDown > 0) {
            v.phase += double(v.frequency) / double(f->sampleRate);
            v.phase -= std::floor(v.phase);
            level = (v.phase < 0.5 ? 0.25f : -0.25f) * (0.5f + f->parameters[0]);
        }
#ifdef FAKE_BLOCK_RAMP
        level *= i < 64 ? 0.25f + 0.75f * float(i) / 64.0f : 1.0f;
#endif
#ifdef FAKE_RUNAWAY
        f->feedbackState = 0.1f * level + (0.5f + 0.6f * f->parameters[1]) * f->feedbackState;
        level = f->feedbackState;
#endif
#ifdef FAKE_POISONED
        f->smoothedGain += 0.01f * (f->parameters[0] - f->smoothedGain);
        level *= 2.0f * f->smoothedGain;
        if (!std::isfinite(level)) {
            level = 0.0f;
        }
#endif
#ifdef FAKE_NAN
        if (noteOn) {
            level = std::nanf("");
        }
#endif
        (void)noteOn;
        for (int c = 0; c < 2; ++c) {
#ifdef FAKE_PROCESS_HALF
            const float out = add ? level * 0.5f : level;
#else
            const float out = level;
#endif
            outputs[c][i] = add ? outputs[c][i] + out : out;
        }
    }
    f->changeCount = 0;
}

void process(AEffect* e, float**, float** outputs, int32_t frames) {
    fill(e, outputs, frames, true);
}

void processReplacing(AEffect* e, float**, float** outputs, int32_t frames) {
#ifdef FAKE_EXIT
    std::exit(0);
#endif
#ifdef FAKE_ALLOCATING
    std::free(self(e)->scratch);
    self(e)->scratch = std::malloc(sizeof(float) * size_t(frames > 0 ? frames : 1));
#endif
    fill(e, outputs, frames, false);
}

void setParameter(AEffect* e, int32_t index, float value) {
#ifndef FAKE_POISONED
    // A value outside 0..1 is held to the range; one that is not a number is ignored.
    if (std::isnan(value)) {
        return;
    }
    value = value < 0.0f ? 0.0f : value > 1.0f ? 1.0f : value;
#endif
    if (index >= 0 && index < paramCount) {
        self(e)->parameters[index] = value;
    }
}

float getParameter(AEffect* e, int32_t index) {
#ifdef FAKE_CRASH_RANGE
    if (index < 0 || index >= paramCount) {
        volatile float* nowhere = nullptr;
        return *nowhere;
    }
#endif
    return index >= 0 && index < paramCount ? self(e)->parameters[index] : 0.0f;
}

} // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback callback) {
    if (callback(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) {
        return nullptr;
    }
#ifdef FAKE_CRASH_LOAD
    std::abort();
#endif
    Fake* f = new Fake;
    std::memset(&f->record, 0, sizeof f->record);
    f->host = callback;
#ifdef FAKE_SHARED
    f->voice = &sharedVoice;
#endif
#ifdef FAKE_UNSEEDED
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    f->own.phase = double(now.tv_nsec) / 1e9;
#endif
    AEffect& r = f->record;
    r.magic = kEffectMagic;
    r.dispatcher = dispatcher;
    r.process = process;
    r.setParameter = setParameter;
    r.getParameter = getParameter;
    r.numPrograms = programCount;
    r.numParams = paramCount;
    r.numInputs = 0;
    r.numOutputs = 2;
#ifdef FAKE_NO_OUTPUTS
    r.numOutputs = 0;
#endif
    r.flags = effFlagsIsSynth | effFlagsCanReplacing;
#ifdef FAKE_BAD_CHUNK
    r.flags |= effFlagsProgramChunks;
#endif
    r.ioRatio = 1.0f;
    r.object = f;
    r.uniqueID = fourCharCode('F', 'k', 'V', 'l');
    r.version = 1;
    r.processReplacing = processReplacing;
    return &r;
}
