// A small VST 2 plug-in that the loader tests compile at run time. It writes down everything its host
// asks of it, so that tests can check what the host sends and in which order. Its variants:
//   (default)            VSTPluginMain and main, a 2-output synth that plays 0.5 / -0.25 while a key is down
//   FAKE_ACCUMULATE      no replacing flag: only the accumulating process entry, which adds its output
//   FAKE_NULL_RECORD     the entry returns no record
//   FAKE_BAD_MAGIC       the record's magic is wrong
//   FAKE_NO_ENTRY        neither entry is exported
//   FAKE_MAIN_ONLY       only `main` is exported
//   FAKE_NO_DISPATCHER   the record has no dispatcher entry
//   FAKE_EFFECT          an effect: no instrument flag, and no answer to receiveVstMidiEvent
//   FAKE_ABORT           processReplacing aborts once the render has passed one second (at 8000 Hz)
//   FAKE_HANG_PROCESS    processReplacing never returns once the render has passed one second
//   FAKE_EXIT            processReplacing calls exit(0) once the render has passed one second
//   FAKE_FORK            effOpen forks a process that leaves the process group for a session of its
//                        own, holds every descriptor for ten minutes and writes "JUNK" at the start of
//                        every one of them (but standard input, output and error) every 10 ms; its pid
//                        written to the file named by FAKE_FORK_PIDS
//   FAKE_MANY_PARAMETERS reports 10^9 parameters (two of them named)
// FAKE_LEVEL scales the output (a float: 40 plays at +26 dBFS).
// FAKE_PLUGIN_DELAY_US makes every process call take that long.
// The log goes to the file named by FAKE_PLUGIN_LOG, one line per call:
//   dispatch <opcode> <index> <value> <opt>     setParameter <index> <value>
//   event <deltaFrames> <status> <data1> <data2>     process <frames>     replacing <frames>
#include "host/vst_abi.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace solvantis;

namespace {

AEffect record;
audioMasterCallback host = nullptr;
float parameters[2] = {0.5f, 0.5f};
int keysDown = 0;
// The block's key changes at their frames: +1 for a note-on, -1 for a note-off.
struct KeyChange {
    int32_t frame;
    int change;
};
KeyChange changes[4096];
int changeCount = 0;

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
    const char* path = std::getenv("FAKE_PLUGIN_LOG");
    if (path == nullptr) {
        return;
    }
    FILE* log = std::fopen(path, "a");
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    std::fputc('\n', log);
    std::fclose(log);
}

void copy(void* ptr, const char* text) {
    if (ptr != nullptr) {
        std::strcpy(static_cast<char*>(ptr), text);
    }
}

#ifdef FAKE_FORK
// A process that keeps every descriptor of its parent (a result pipe among them) for ten minutes.
void forkLingerer() {
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        for (int i = 0; i < 60000; ++i) {
            for (int fd = 3; fd < 256; ++fd) {
                (void)!pwrite(fd, "JUNK", 4, 0);
            }
            usleep(10000);
        }
        _exit(0);
    }
    if (const char* path = std::getenv("FAKE_FORK_PIDS"); path != nullptr && pid > 0) {
        if (FILE* file = std::fopen(path, "a")) {
            std::fprintf(file, "%d\n", int(pid));
            std::fclose(file);
        }
    }
}
#endif

intptr_t dispatcher(AEffect*, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    note("dispatch %d %d %ld %g", opcode, index, long(value), double(opt));
    switch (opcode) {
#ifdef FAKE_FORK
    case effOpen:
        forkLingerer();
        return 0;
#endif
    case effGetParamName:
        copy(ptr, index == 0 ? "Gain " : index == 1 ? "Tone" : "");
        return 0;
    case effGetEffectName:
        copy(ptr, "Fake");
        return 1;
    case effProcessEvents: {
        const auto* list = static_cast<const VstEvents*>(ptr);
        for (int32_t i = 0; i < list->numEvents; ++i) {
            const auto* e = reinterpret_cast<const VstMidiEvent*>(eventList(list)[i]);
            note("event %d %d %d %d", e->deltaFrames, e->midiData[0], e->midiData[1], e->midiData[2]);
            const int kind = e->midiData[0] & 0xF0;
            const int change = (kind == 0x90 && e->midiData[2] != 0) ? 1
                               : (kind == 0x80 || kind == 0x90)      ? -1
                                                                     : 0;
            if (change != 0 && changeCount < 4096) {
                changes[changeCount++] = {e->deltaFrames, change};
            }
        }
        return 1;
    }
    case effGetProgramNameIndexed:
        copy(ptr, "Only");
        return index == 0 ? 1 : 0;
    default:
        return 0;
    }
}

// 0.5 on the first output and -0.25 on the second while any key is down, from the frame of its note-on.
void fill(float** outputs, int32_t frames, bool add) {
    // A slow plug-in, for tests that need a render to take a while.
    if (const char* delay = std::getenv("FAKE_PLUGIN_DELAY_US")) {
        usleep(useconds_t(std::atoi(delay)));
    }
    int next = 0;
    for (int32_t i = 0; i < frames; ++i) {
        while (next < changeCount && changes[next].frame <= i) {
            keysDown = keysDown + changes[next].change < 0 ? 0 : keysDown + changes[next].change;
            ++next;
        }
        const float level[2] = {keysDown > 0 ? 0.5f : 0.0f, keysDown > 0 ? -0.25f : 0.0f};
        for (int c = 0; c < 2; ++c) {
            outputs[c][i] = add ? outputs[c][i] + level[c] : level[c];
        }
    }
    changeCount = 0;
}

void process(AEffect*, float**, float** outputs, int32_t frames) {
    note("process %d", frames);
    fill(outputs, frames, true);
}

long framesDone = 0;

void processReplacing(AEffect*, float**, float** outputs, int32_t frames) {
    note("replacing %d", frames);
    framesDone += frames;
#if defined(FAKE_ABORT) || defined(FAKE_HANG_PROCESS) || defined(FAKE_EXIT)
    if (framesDone > 8000) {
#ifdef FAKE_ABORT
        std::abort();
#elif defined(FAKE_EXIT)
        std::exit(0);
#else
        for (volatile bool forever = true; forever;) {
        }
#endif
    }
#endif
    fill(outputs, frames, false);
#ifdef FAKE_LEVEL
    for (int c = 0; c < 2; ++c) {
        for (int32_t i = 0; i < frames; ++i) {
            outputs[c][i] *= float(FAKE_LEVEL);
        }
    }
#endif
}

void setParameter(AEffect*, int32_t index, float value) {
    note("setParameter %d %g", index, double(value));
    if (index >= 0 && index < 2) {
        parameters[index] = value;
    }
}

float getParameter(AEffect*, int32_t index) {
    return index >= 0 && index < 2 ? parameters[index] : 0.0f;
}

AEffect* create(audioMasterCallback callback, int32_t id) {
    host = callback;
    if (host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) {
        return nullptr;
    }
#ifdef FAKE_NULL_RECORD
    return nullptr;
#endif
    std::memset(&record, 0, sizeof record);
    record.magic = kEffectMagic;
#ifdef FAKE_BAD_MAGIC
    record.magic = fourCharCode('B', 'a', 'd', '!');
#endif
    record.dispatcher = dispatcher;
#ifdef FAKE_NO_DISPATCHER
    record.dispatcher = nullptr;
#endif
    record.process = process;
    record.setParameter = setParameter;
    record.getParameter = getParameter;
    record.numPrograms = 1;
    record.numParams = 2;
#ifdef FAKE_MANY_PARAMETERS
    record.numParams = 1000000000;
#endif
    record.numInputs = 0;
    record.numOutputs = 2;
    record.flags = effFlagsIsSynth | effFlagsCanReplacing;
    record.processReplacing = processReplacing;
#ifdef FAKE_EFFECT
    record.flags = effFlagsCanReplacing;
#endif
#ifdef FAKE_ACCUMULATE
    record.flags = effFlagsIsSynth;
    record.processReplacing = nullptr;
#endif
    record.ioRatio = 1.0f;
    record.uniqueID = id;
    record.version = 1;
    // A request with the new record before the entry returns, as some plug-ins make.
    host(&record, audioMasterGetSampleRate, 0, 0, nullptr, 0.0f);
    return &record;
}

} // namespace

#if !defined(FAKE_NO_ENTRY) && !defined(FAKE_MAIN_ONLY)
extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback callback) {
    return create(callback, fourCharCode('F', 'k', 'V', 'M'));
}
#endif
#ifndef FAKE_NO_ENTRY
// `main` with another signature than the program entry: bound by its symbol name.
extern "C" __attribute__((visibility("default"))) AEffect*
fakeMain(audioMasterCallback callback) __asm__("main");
extern "C" AEffect* fakeMain(audioMasterCallback callback) {
    return create(callback, fourCharCode('F', 'k', 'M', 'n'));
}
#endif
