/* A tiny VST 2 host in C with no dependency beyond the C library and the system's library loader. It
 * plays a fixed set of phrases through a plug-in and prints, for each one, a 64-bit FNV-1a hash of the
 * rendered samples (both channels, interleaved, as little-endian floats) and the peak's bit pattern, so
 * that the output of the plug-in built for different targets can be compared bit for bit.
 *
 *   phrase_host PLUGIN [OUTDIR]     OUTDIR: also write each phrase as raw floats, phrase-NN.f32
 *   phrase_host BUNDLE.lv2 [OUTDIR] the same phrases through the LV2 build (Linux)
 *
 * It is built for each target (Linux x86_64 and i386, Windows x64 and x86) by scripts/dist. Built with
 * PHRASE_HOST_PE (phrase_host_pe, Linux i386 only) it loads the 32-bit Windows DLL itself with
 * pe_loader.c instead, so that the DLL's code runs where wine's 32-bit side cannot. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(PHRASE_HOST_PE)
#include "pe_loader.h"
#elif defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#if defined(__linux__) && !defined(PHRASE_HOST_PE)
#define PHRASE_HOST_LV2
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>
#endif

#if defined(__i386__)
#define PHRASE_CDECL __attribute__((cdecl))
#else
#define PHRASE_CDECL
#endif

/* ---------------------------------------------------------------- the records we use */
struct AEffect;
typedef intptr_t(PHRASE_CDECL* HostCallback)(struct AEffect*, int32_t opcode, int32_t index, intptr_t value,
                                             void* ptr, float opt);
typedef intptr_t(PHRASE_CDECL* DispatcherProc)(struct AEffect*, int32_t opcode, int32_t index, intptr_t value,
                                               void* ptr, float opt);
typedef void(PHRASE_CDECL* ProcessProc)(struct AEffect*, float** inputs, float** outputs, int32_t frames);
typedef void(PHRASE_CDECL* SetParameterProc)(struct AEffect*, int32_t index, float value);
typedef float(PHRASE_CDECL* GetParameterProc)(struct AEffect*, int32_t index);
typedef struct AEffect*(PHRASE_CDECL* MainProc)(HostCallback);

struct AEffect {
    int32_t magic;
    DispatcherProc dispatcher;
    ProcessProc process;
    SetParameterProc setParameter;
    GetParameterProc getParameter;
    int32_t numPrograms, numParams, numInputs, numOutputs, flags;
    intptr_t resvd1, resvd2;
    int32_t initialDelay, realQualities, offQualities;
    float ioRatio;
    void* object;
    void* user;
    int32_t uniqueID, version;
    ProcessProc processReplacing;
    void* processDoubleReplacing;
    char future[56];
};
_Static_assert(sizeof(struct AEffect) == (sizeof(void*) == 8 ? 192 : 144), "effect record size");
_Static_assert(offsetof(struct AEffect, processReplacing) == (sizeof(void*) == 8 ? 120 : 80), "offset");

struct VstMidiEvent {
    int32_t type, byteSize, deltaFrames, flags, noteLength, noteOffset;
    uint8_t midiData[4];
    int8_t detune;
    uint8_t noteOffVelocity, reserved1, reserved2;
};
_Static_assert(sizeof(struct VstMidiEvent) == 32, "MIDI event size");

enum { maxEventsPerBlock = 64 };
struct VstEvents {
    int32_t numEvents;
    intptr_t reserved;
    struct VstMidiEvent* events[maxEventsPerBlock];
};

enum {
    effOpen = 0,
    effClose = 1,
    effSetSampleRate = 10,
    effSetBlockSize = 11,
    effMainsChanged = 12,
    effProcessEvents = 25,
    audioMasterVersion = 1,
    kEffectMagic = 0x56737450,
    kVstMidiType = 1
};

static intptr_t PHRASE_CDECL hostCallback(struct AEffect* effect, int32_t opcode, int32_t index,
                                          intptr_t value, void* ptr, float opt) {
    (void)effect, (void)index, (void)value, (void)ptr, (void)opt;
    return opcode == audioMasterVersion ? 2400 : 0;
}

/* ---------------------------------------------------------------- the phrases */
/* One step of a phrase at a frame: a MIDI message (status != 0) or a parameter value (status 0). */
struct Step {
    int32_t frame;
    uint8_t status, data1, data2;
    int32_t parameter;
    float value;
};
#define NOTE_ON(f, n, v)                                                                                     \
    { f, 0x90, n, v, 0, 0.0f }
#define NOTE_OFF(f, n)                                                                                       \
    { f, 0x80, n, 0, 0, 0.0f }
#define CC(f, c, v)                                                                                          \
    { f, 0xB0, c, v, 0, 0.0f }
#define BEND(f, lsb, msb)                                                                                    \
    { f, 0xE0, lsb, msb, 0, 0.0f }
#define PARAM(f, i, v)                                                                                       \
    { f, 0, 0, 0, i, v }
#define END                                                                                                  \
    { -1, 0, 0, 0, 0, 0.0f }

struct Phrase {
    float sampleRate;
    int32_t blockSize;
    int32_t frames;
    struct Step steps[40];
};

/* Parameters: 0 Exciter, 1 Modulation, 2 TovFilter, 3 Pick, 4 Attack, 5 Decay, 6 Sustain, 7 Release,
 * 8 ADSRCurve, 9 Volume, 10 Fixing, 11 DynaTone, 12 Distorter, 13 Overdrive, 14 Chorus, 15 Legato,
 * 16 Velocity, 17 ToneRama, 18 PowerChord. */
static const struct Phrase phrases[] = {
    /* the default sound: single notes, a release, notes at many velocities */
    {44100.0f,
     512,
     88200,
     {NOTE_ON(0, 45, 100), NOTE_OFF(20000, 45), NOTE_ON(22050, 52, 127), NOTE_OFF(40000, 52),
      NOTE_ON(44100, 57, 40), NOTE_ON(50000, 64, 90), NOTE_OFF(60000, 64), NOTE_OFF(61000, 57),
      NOTE_ON(66150, 40, 1), NOTE_OFF(80000, 40), END}},
    /* legato run with pitch bend both ways and the modulation wheel */
    {48000.0f,
     256,
     96000,
     {NOTE_ON(0, 50, 110), NOTE_ON(9000, 52, 100), NOTE_ON(18000, 53, 90), NOTE_OFF(27000, 53),
      NOTE_OFF(30000, 52), BEND(32000, 0, 127), CC(36000, 1, 20), BEND(40000, 0, 0), BEND(44000, 0, 64),
      CC(48000, 1, 127), NOTE_OFF(60000, 50), NOTE_ON(62000, 62, 127), CC(70000, 7, 60), NOTE_OFF(80000, 62),
      END}},
    /* power chord, chorus, distorter and overdrive, short blocks */
    {44100.0f,
     64,
     88200,
     {PARAM(0, 18, 1.0f), PARAM(0, 14, 0.7f), PARAM(0, 12, 1.0f), PARAM(0, 13, 1.0f), NOTE_ON(0, 40, 120),
      NOTE_ON(20000, 45, 120), NOTE_OFF(30000, 40), NOTE_OFF(44100, 45), NOTE_ON(50000, 33, 127),
      NOTE_OFF(70000, 33), END}},
    /* curved slow envelope at 96 kHz in uneven blocks */
    {96000.0f,
     1000,
     192000,
     {PARAM(0, 8, 1.0f), PARAM(0, 4, 0.6f), PARAM(0, 5, 0.3f), PARAM(0, 6, 0.2f), PARAM(0, 7, 0.7f),
      NOTE_ON(0, 60, 100), NOTE_OFF(100000, 60), NOTE_ON(150000, 67, 64), NOTE_OFF(170000, 67), END}},
    /* the swept tone filter with its other voicing, modulation and some distortion, odd block size */
    {44100.0f,
     33,
     88200,
     {PARAM(0, 11, 1.0f), PARAM(0, 17, 1.0f), PARAM(0, 1, 1.0f), PARAM(0, 12, 0.5f), NOTE_ON(0, 36, 127),
      NOTE_OFF(30000, 36), NOTE_ON(33000, 48, 80), PARAM(40000, 11, 0.2f), PARAM(50000, 17, 0.0f),
      NOTE_OFF(70000, 48), END}},
    /* straight envelope, full velocity response and volume, automation while playing */
    {22050.0f,
     512,
     44100,
     {PARAM(0, 8, 0.0f), PARAM(0, 16, 1.0f), PARAM(0, 9, 1.0f), PARAM(0, 14, 0.3f), NOTE_ON(0, 55, 127),
      PARAM(5000, 10, 0.05f), PARAM(10000, 10, 0.95f), PARAM(15000, 2, 1.0f), PARAM(15000, 3, 1.0f),
      NOTE_OFF(22000, 55), NOTE_ON(23000, 43, 30), NOTE_OFF(40000, 43), END}},
    /* legato off, repeated notes, every sample a block of its own */
    {44100.0f,
     1,
     22050,
     {PARAM(0, 15, 0.0f), NOTE_ON(0, 64, 100), NOTE_ON(3000, 66, 100), NOTE_OFF(6000, 66),
      NOTE_ON(6001, 68, 20), NOTE_OFF(9000, 64), NOTE_OFF(12000, 68), NOTE_ON(12000, 69, 127),
      NOTE_OFF(18000, 69), END}},
    /* a long release into silence, the sustain curve bent towards 1 */
    {44100.0f,
     4096,
     132300,
     {PARAM(0, 7, 1.0f), PARAM(0, 8, 0.77f), PARAM(0, 6, 1.0f), NOTE_ON(0, 28, 127), NOTE_OFF(10000, 28),
      END}},
};
enum { phraseCount = sizeof phrases / sizeof phrases[0] };

/* ---------------------------------------------------------------- rendering */
static uint64_t fnv1a(uint64_t h, const void* data, size_t n) {
    const unsigned char* p = (const unsigned char*)data;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 0x100000001b3ull;
    }
    return h;
}

/* What every render of a phrase is reduced to: the hash and peak of its samples, and the raw file. */
struct Tally {
    uint64_t hash;
    float peak;
    float* interleaved;
    FILE* out;
};

static void tallyStart(struct Tally* t, int number, const struct Phrase* ph, const char* outDir) {
    t->hash = 0xcbf29ce484222325ull;
    t->peak = 0.0f;
    t->interleaved = (float*)malloc(sizeof(float) * 2 * (size_t)ph->blockSize);
    t->out = NULL;
    if (outDir) {
        char path[1024];
        snprintf(path, sizeof path, "%s/phrase-%02d.f32", outDir, number);
        t->out = fopen(path, "wb");
    }
}

static void tallyBlock(struct Tally* t, const float* left, const float* right, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        t->interleaved[2 * i] = left[i];
        t->interleaved[2 * i + 1] = right[i];
        const float a = left[i] < 0 ? -left[i] : left[i];
        const float b = right[i] < 0 ? -right[i] : right[i];
        t->peak = a > t->peak ? a : t->peak;
        t->peak = b > t->peak ? b : t->peak;
    }
    t->hash = fnv1a(t->hash, t->interleaved, sizeof(float) * 2 * (size_t)n);
    if (t->out) {
        fwrite(t->interleaved, sizeof(float), 2 * (size_t)n, t->out);
    }
}

static void tallyFinish(struct Tally* t, int number, const struct Phrase* ph) {
    if (t->out) {
        fclose(t->out);
    }
    free(t->interleaved);
    uint32_t peakBits;
    memcpy(&peakBits, &t->peak, sizeof peakBits);
    printf("phrase %02d: %ld frames at %ld Hz, hash %08lx%08lx, peak bits %08lx\n", number, (long)ph->frames,
           (long)ph->sampleRate, (unsigned long)(t->hash >> 32), (unsigned long)(t->hash & 0xffffffffu),
           (unsigned long)peakBits);
}

static int renderPhrase(MainProc entry, int number, const struct Phrase* ph, const char* outDir) {
    struct AEffect* effect = entry(hostCallback);
    if (!effect || effect->magic != kEffectMagic || effect->numOutputs != 2) {
        fprintf(stderr, "phrase %d: the plug-in returned no usable record\n", number);
        return 1;
    }
    effect->dispatcher(effect, effOpen, 0, 0, NULL, 0.0f);
    effect->dispatcher(effect, effSetSampleRate, 0, 0, NULL, ph->sampleRate);
    effect->dispatcher(effect, effSetBlockSize, 0, ph->blockSize, NULL, 0.0f);
    effect->dispatcher(effect, effMainsChanged, 0, 1, NULL, 0.0f);

    float* left = (float*)malloc(sizeof(float) * (size_t)ph->blockSize);
    float* right = (float*)malloc(sizeof(float) * (size_t)ph->blockSize);
    struct Tally tally;
    tallyStart(&tally, number, ph, outDir);
    struct VstMidiEvent midi[maxEventsPerBlock];
    struct VstEvents events;
    const struct Step* step = ph->steps;
    for (int32_t start = 0; start < ph->frames; start += ph->blockSize) {
        const int32_t n = ph->frames - start < ph->blockSize ? ph->frames - start : ph->blockSize;
        events.numEvents = 0;
        events.reserved = 0;
        for (; step->frame >= 0 && step->frame < start + n; ++step) {
            if (step->status == 0) {
                effect->setParameter(effect, step->parameter, step->value); /* at the block's start */
                continue;
            }
            struct VstMidiEvent* e = &midi[events.numEvents];
            memset(e, 0, sizeof *e);
            e->type = kVstMidiType;
            e->byteSize = (int32_t)sizeof *e;
            e->deltaFrames = step->frame - start;
            e->midiData[0] = step->status;
            e->midiData[1] = step->data1;
            e->midiData[2] = step->data2;
            events.events[events.numEvents++] = e;
        }
        if (events.numEvents > 0) {
            effect->dispatcher(effect, effProcessEvents, 0, 0, &events, 0.0f);
        }
        float* outputs[2] = {left, right};
        effect->processReplacing(effect, NULL, outputs, n);
        tallyBlock(&tally, left, right, n);
    }
    effect->dispatcher(effect, effMainsChanged, 0, 0, NULL, 0.0f);
    effect->dispatcher(effect, effClose, 0, 0, NULL, 0.0f);
    free(left);
    free(right);
    tallyFinish(&tally, number, ph);
    return 0;
}

#if defined(PHRASE_HOST_LV2)
/* ---------------------------------------------------------------- the LV2 bundle
 * The same phrases through the LV2 build: the bundle's library loaded as an LV2 host loads it, its controls
 * (ports 0 to 18, the parameters in order) set before the cycle, the MIDI in an atom sequence at its frames,
 * one run per block. The output must hash as the VST 2 plug-in's does. */
static const char* lv2MappedUris[64];
static uint32_t lv2MappedCount;

static LV2_URID lv2Map(LV2_URID_Map_Handle handle, const char* uri) {
    (void)handle;
    for (uint32_t i = 0; i < lv2MappedCount; ++i) {
        if (strcmp(lv2MappedUris[i], uri) == 0) {
            return i + 1;
        }
    }
    if (lv2MappedCount == sizeof lv2MappedUris / sizeof lv2MappedUris[0]) {
        return 0;
    }
    lv2MappedUris[lv2MappedCount++] = uri; /* the plug-in's strings live as long as it is loaded */
    return lv2MappedCount;
}

enum { lv2Controls = 19, lv2MidiPort = 19, lv2LeftPort = 20, lv2RightPort = 21 };
/* The Turtle's defaults, which are the VST 2 plug-in's (the lilv test holds the two equal). */
static const float lv2Defaults[lv2Controls] = {0.9f,   0.4f, 0.3f, 0.3f, 0.14f, 0.9f, 0.8f, 0.1f,  0.3f, 0.5f,
                                               0.489f, 0.4f, 0.0f, 0.4f, 0.0f,  1.0f, 0.5f, 0.14f, 0.0f};

static int renderPhraseLv2(const LV2_Descriptor* plugin, int number, const struct Phrase* ph,
                           const char* outDir) {
    LV2_URID_Map map = {NULL, lv2Map};
    const LV2_Feature mapFeature = {LV2_URID__map, &map};
    const LV2_Feature* features[] = {&mapFeature, NULL};
    LV2_Handle instance = plugin->instantiate(plugin, ph->sampleRate, "", features);
    if (!instance) {
        fprintf(stderr, "phrase %d: the LV2 plug-in refused to start\n", number);
        return 1;
    }
    float controls[lv2Controls];
    memcpy(controls, lv2Defaults, sizeof controls);
    /* room for the sequence header and maxEventsPerBlock events of 16 + 8 bytes */
    uint64_t sequence[2 + 3 * maxEventsPerBlock];
    float* left = (float*)malloc(sizeof(float) * (size_t)ph->blockSize);
    float* right = (float*)malloc(sizeof(float) * (size_t)ph->blockSize);
    for (uint32_t port = 0; port < lv2Controls; ++port) {
        plugin->connect_port(instance, port, &controls[port]);
    }
    plugin->connect_port(instance, lv2MidiPort, sequence);
    plugin->connect_port(instance, lv2LeftPort, left);
    plugin->connect_port(instance, lv2RightPort, right);
    if (plugin->activate) {
        plugin->activate(instance);
    }
    const LV2_URID midiType = lv2Map(NULL, LV2_MIDI__MidiEvent);
    const LV2_URID sequenceType = lv2Map(NULL, LV2_ATOM__Sequence);

    struct Tally tally;
    tallyStart(&tally, number, ph, outDir);
    const struct Step* step = ph->steps;
    for (int32_t start = 0; start < ph->frames; start += ph->blockSize) {
        const int32_t n = ph->frames - start < ph->blockSize ? ph->frames - start : ph->blockSize;
        LV2_Atom_Sequence* seq = (LV2_Atom_Sequence*)sequence;
        seq->atom.type = sequenceType;
        seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
        seq->body.unit = 0;
        seq->body.pad = 0;
        for (; step->frame >= 0 && step->frame < start + n; ++step) {
            if (step->status == 0) {
                controls[step->parameter] = step->value; /* read by the next run, at the block's start */
                continue;
            }
            LV2_Atom_Event* e = (LV2_Atom_Event*)((char*)sequence + sizeof(LV2_Atom) + seq->atom.size);
            e->time.frames = step->frame - start;
            e->body.type = midiType;
            e->body.size = 3;
            uint8_t* bytes = (uint8_t*)(e + 1);
            bytes[0] = step->status;
            bytes[1] = step->data1;
            bytes[2] = step->data2;
            seq->atom.size += (uint32_t)(sizeof(LV2_Atom_Event) + 8);
        }
        plugin->run(instance, (uint32_t)n);
        tallyBlock(&tally, left, right, n);
    }
    if (plugin->deactivate) {
        plugin->deactivate(instance);
    }
    plugin->cleanup(instance);
    free(left);
    free(right);
    tallyFinish(&tally, number, ph);
    return 0;
}

/* The descriptor of the bundle's library, or null with a message. */
static const LV2_Descriptor* loadLv2Bundle(const char* bundle) {
    char path[1024];
    snprintf(path, sizeof path, "%s/Solvantis_lv2.so", bundle);
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    LV2_Descriptor_Function entry = NULL;
    if (library) {
        *(void**)&entry = dlsym(library, "lv2_descriptor");
    }
    const LV2_Descriptor* plugin = entry ? entry(0) : NULL;
    if (!plugin || strcmp(plugin->URI, "urn:quelvarin:solvantis") != 0) {
        fprintf(stderr, "phrase_host: %s: no LV2 library with the plug-in urn:quelvarin:solvantis\n", path);
        return NULL;
    }
    return plugin;
}
#endif

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: phrase_host PLUGIN [OUTDIR]\n");
        return 2;
    }
#if defined(PHRASE_HOST_LV2)
    const size_t length = strlen(argv[1]);
    if ((length >= 4 && strcmp(argv[1] + length - 4, ".lv2") == 0) ||
        (length >= 5 && strcmp(argv[1] + length - 5, ".lv2/") == 0)) {
        const LV2_Descriptor* plugin = loadLv2Bundle(argv[1]);
        if (!plugin) {
            return 1;
        }
        int failed = 0;
        for (int i = 0; i < phraseCount; ++i) {
            failed |= renderPhraseLv2(plugin, i + 1, &phrases[i], argc > 2 ? argv[2] : NULL);
        }
        fflush(stdout);
        return failed;
    }
#endif
    MainProc entry = NULL;
#if defined(PHRASE_HOST_PE)
    char error[256] = "";
    struct PeModule* library = peLoad(argv[1], error, sizeof error);
    if (library) {
        *(void**)&entry = peSymbol(library, "VSTPluginMain");
        if (!entry) {
            *(void**)&entry = peSymbol(library, "main");
        }
    } else {
        fprintf(stderr, "phrase_host: %s: %s\n", argv[1], error);
    }
#elif defined(_WIN32)
    HMODULE library = LoadLibraryA(argv[1]);
    if (library) {
        entry = (MainProc)(void*)GetProcAddress(library, "VSTPluginMain");
        if (!entry) {
            entry = (MainProc)(void*)GetProcAddress(library, "main");
        }
    }
#else
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library) {
        *(void**)&entry = dlsym(library, "main");
    }
#endif
    if (!entry) {
        fprintf(stderr, "phrase_host: cannot load %s or find its entry point\n", argv[1]);
        return 1;
    }
    int failed = 0;
    for (int i = 0; i < phraseCount; ++i) {
        failed |= renderPhrase(entry, i + 1, &phrases[i], argc > 2 ? argv[2] : NULL);
    }
#if defined(PHRASE_HOST_PE)
    peUnload(library);
#endif
    fflush(stdout);
    return failed;
}
