// PluginHost: loads a VST 2 plug-in library, answers its requests, and drives it through its record.
#pragma once

#include "child_process.h"
#include "cli_error.h"
#include "host/vst_abi.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace solvantis {

// One request that a plug-in sent to the host callback, as it arrived.
struct HostRequest {
    const AEffect* effect = nullptr; // null for the version request `main` makes before the record exists
    int32_t opcode = 0;
    int32_t index = 0;
    intptr_t value = 0;
    void* ptr = nullptr;
    float opt = 0.0f;
    std::string text; // for audioMasterCanDo: the capability asked about
};

// Why a plug-in could not be loaded; the message names the file.
class PluginLoadError : public CliError {
public:
    enum class Reason { MissingFile, NotALibrary, NoEntry, NoRecord, BadMagic };
    PluginLoadError(Reason why, const std::string& message) : CliError(message), reason(why) {}
    Reason reason;
};

struct PluginHostOptions {
    intptr_t versionAnswer = 2400; // the host's answer to audioMasterVersion
    float sampleRate = 44100.0f;   // the answer to audioMasterGetSampleRate until setSampleRate changes it
    int32_t blockSize = 512;       // the answer to audioMasterGetBlockSize until setBlockSize changes it
    CallSite* callSite = nullptr;  // when set, every call into the plug-in is named there before it is made
    // When set, told of every request the plug-in sends to the host (the one its entry makes included),
    // before it is answered, on the thread the plug-in calls from.
    std::function<void(const HostRequest&)> onRequest;
};

// Audio buffers for one plug-in: one channel per input and output, each `capacity` frames long. The
// pointer arrays have at least two entries, so a plug-in that looks at a channel it did not announce
// reads silence rather than a wild pointer.
class ChannelBuffers {
public:
    ChannelBuffers(int32_t inputs, int32_t outputs, int32_t capacity);

    float** inputs() { return inputPointers.data(); }
    float** outputs() { return outputPointers.data(); }
    float* output(int32_t channel) { return outputPointers[size_t(channel)]; }
    int32_t numInputs() const { return inputCount; }
    int32_t numOutputs() const { return outputCount; }
    int32_t capacity() const { return frames; }

    // Fills every output channel with `value` (and the inputs with silence).
    void fillOutputs(float value);
    void clearInputs();

private:
    int32_t inputCount;
    int32_t outputCount;
    int32_t frames;
    std::vector<float> storage;
    std::vector<float*> inputPointers;
    std::vector<float*> outputPointers;
};

// A list of MIDI events in the form effProcessEvents takes, reusable block after block.
class MidiEventList {
public:
    explicit MidiEventList(size_t capacity = 256);

    void clear();
    // Appends a channel message of up to three bytes at `deltaFrames` within the coming block.
    void add(int32_t deltaFrames, uint8_t status, uint8_t data1, uint8_t data2);
    size_t size() const { return count; }
    bool empty() const { return count == 0; }

    // The list as the plug-in receives it (valid until the next add or clear).
    VstEvents* events();

private:
    void grow(size_t capacity);

    std::vector<VstMidiEvent> midiEvents;
    std::vector<std::byte> header; // VstEvents with room for every event pointer
    size_t count = 0;
};

// Told of every call the host makes into a plug-in and of every request the plug-in makes back, so that
// a caller can name the call a crash or a hang happened in, or keep the host's own work out of what it
// measures. One watcher per process, none by default; it may be called from any thread.
class PluginCallWatcher {
public:
    virtual ~PluginCallWatcher() = default;
    // `entry` is "main", "dispatcher", "process", "processReplacing", "setParameter" or "getParameter";
    // `opcode` is the dispatcher's opcode (0 for the others), `index` its index or the parameter's,
    // `value` the parameter's value or the dispatcher's float, `argument` the dispatcher's integer value.
    virtual void entering(const char* entry, int32_t opcode, int32_t index, float value,
                          intptr_t argument) = 0;
    virtual void returned() = 0;
    // The plug-in called the host back from inside a call.
    virtual void requestStarted() = 0;
    virtual void requestFinished() = 0;
};
void setPluginCallWatcher(PluginCallWatcher* watcher);

class PluginHost {
public:
    // Loads the library, finds `VSTPluginMain` (else `main`), calls it with our callback and checks the
    // record. Throws PluginLoadError with a clear text when any of that fails.
    explicit PluginHost(const std::string& path, const PluginHostOptions& options = {});
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Switches off if on, sends effClose, then unloads the library. Safe to call twice.
    void close();
    bool isOpen() const { return effectRecord != nullptr; }

    AEffect* effect() const { return effectRecord; }
    const std::string& path() const { return libraryPath; }
    // "VSTPluginMain" or "main", whichever the library provided.
    const std::string& entryName() const { return entrySymbol; }

    // The raw dispatcher.
    intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);

    // The record's fixed fields.
    int32_t numPrograms() const { return effectRecord->numPrograms; }
    int32_t numParams() const { return effectRecord->numParams; }
    int32_t numInputs() const { return effectRecord->numInputs; }
    int32_t numOutputs() const { return effectRecord->numOutputs; }
    int32_t flags() const { return effectRecord->flags; }
    int32_t uniqueID() const { return effectRecord->uniqueID; }
    int32_t version() const { return effectRecord->version; }
    bool isSynth() const { return (effectRecord->flags & effFlagsIsSynth) != 0; }
    bool canReplace() const {
        return (effectRecord->flags & effFlagsCanReplacing) != 0 && effectRecord->processReplacing != nullptr;
    }

    // Life cycle, in the order a host sends it.
    void open();
    void setSampleRate(float rate);
    void setBlockSize(int32_t frames);
    void switchOn();
    void switchOff();
    bool isSwitchedOn() const { return switchedOn; }

    // Programs.
    void setProgram(int32_t program);
    int32_t getProgram();
    std::string getProgramName();
    void setProgramName(const std::string& name);
    // effGetProgramNameIndexed: false when the plug-in does not answer it.
    bool getProgramNameIndexed(int32_t category, int32_t program, std::string& name);

    // Parameters.
    void setParameter(int32_t index, float value);
    float getParameter(int32_t index);
    std::string getParameterName(int32_t index);
    std::string getParameterLabel(int32_t index);
    std::string getParameterDisplay(int32_t index);
    bool canBeAutomated(int32_t index);

    // Identity and capabilities.
    std::string getEffectName();
    std::string getVendorString();
    std::string getProductString();
    int32_t getVendorVersion();
    int32_t getPlugCategory();
    int32_t getVstVersion();
    intptr_t canDo(const std::string& capability);
    int32_t getTailSize();
    bool getInputProperties(int32_t index, VstPinProperties& properties);
    bool getOutputProperties(int32_t index, VstPinProperties& properties);
    intptr_t getMidiProgramName(int32_t channel, MidiProgramName& name);
    intptr_t getCurrentMidiProgram(int32_t channel, MidiProgramName& name);
    intptr_t getMidiProgramCategory(int32_t channel, MidiProgramCategory& category);
    bool getMidiKeyName(int32_t channel, MidiKeyName& keyName);

    // Audio and events.
    intptr_t processEvents(VstEvents* events);
    intptr_t processEvents(MidiEventList& list) { return processEvents(list.events()); }
    void processReplacing(float** inputs, float** outputs, int32_t frames);
    void process(float** inputs, float** outputs, int32_t frames);
    // One block the way a host renders: processReplacing when the plug-in can, else the accumulating
    // process entry over zeroed outputs.
    void render(ChannelBuffers& buffers, int32_t frames);

    // The host callback given to every plug-in; it finds the PluginHost through the record.
    static intptr_t hostCallback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                 float opt);

private:
    intptr_t answer(const HostRequest& request);
    std::string textRequest(int32_t opcode, int32_t index);

    std::string libraryPath;
    std::string entrySymbol;
    PluginHostOptions options;
    void* library = nullptr;
    AEffect* effectRecord = nullptr;
    bool switchedOn = false;
};

// The four characters of a unique ID ('kwbt'), with unprintable bytes as '.'.
std::string fourCharacters(int32_t id);

// Copies `size` bytes a plug-in handed over by pointer (a chunk) into `into`; false, with nothing read
// through the pointer, when any of them is not readable memory (a pointer such as 0x10).
bool copyPluginBytes(const void* from, size_t size, std::vector<uint8_t>& into);

} // namespace solvantis
