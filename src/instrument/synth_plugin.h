// SynthPlugin: the instrument object behind the VST 2 door.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "host/extended_effect_base.h"
#include "instrument/synth_program.h"
#include "voice/synth_engine.h"
#include "voice/synth_params.h"

namespace solvantis {

// The instrument as the host sees it: one monophonic plucked string with 19 parameters and 128 programs.
// It owns the program bank, the live parameter values the engine reads, and the engine itself, and answers
// every request that is specific to this instrument.
class SynthPlugin : public ExtendedEffectBase {
public:
    static constexpr int32_t kNumOutputs = 2;
    static constexpr int32_t kNumChannels = 16;
    static constexpr int32_t kUniqueId = fourCharCode('k', 'w', 'b', 't'); // 0x6b776274
    static constexpr int32_t kVendorVersion = 9536;

    // Builds the bank, selects program 0, configures the record and sets up the engine for the sample
    // rate held then (44100 Hz). When an allocation fails it sets `outOfMemory`, so the entry point
    // refuses the instance.
    explicit SynthPlugin(audioMasterCallback hostCallback);
    ~SynthPlugin() override;

    // ---- parameters and audio
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;

    // ---- programs
    void setProgram(int32_t program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(int32_t category, int32_t index, char* text) override;
    bool copyProgram(int32_t destination) override;

    // ---- parameter texts
    void getParameterLabel(int32_t index, char* label) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;

    // ---- life cycle
    void setSampleRate(float newSampleRate) override;
    void setBlockSize(int32_t newBlockSize) override;
    void resume() override;
    int32_t processEvents(VstEvents* events) override;

    // ---- identity and capabilities
    bool getOutputProperties(int32_t index, VstPinProperties* properties) override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    int32_t getVendorVersion() override;
    int32_t canDo(char* text) override;

    // ---- General MIDI program names
    int32_t getMidiProgramName(int32_t channel, MidiProgramName* midiProgramName) override;
    int32_t getCurrentMidiProgram(int32_t channel, MidiProgramName* currentProgram) override;
    int32_t getMidiProgramCategory(int32_t channel, MidiProgramCategory* category) override;
    bool hasMidiProgramsChanged(int32_t channel) override;
    bool getMidiKeyName(int32_t channel, MidiKeyName* keyName) override;

    // Read access for tests and tools.
    const SynthParams& liveParameters() const { return liveParams; }
    const SynthProgram* program(int32_t index) const;
    const EngineState& engineState() const { return engine.state; }

private:
    SynthProgram* currentProgramRecord();
    void fillMidiProgramName(int32_t channel, int32_t programIndex, MidiProgramName* name);

    SynthParams liveParams;                   // the values the engine reads, in parameter order
    std::unique_ptr<SynthProgram[]> programs; // the bank of 128 programs
    int32_t channelPrograms[kNumChannels];    // program reported as current per MIDI channel
    SynthEngine engine;                       // voice, note list and every stage of the sound

    // One block's MIDI events as the engine's messages; a longer list is handed over in parts of this size.
    static constexpr int32_t kMidiBufferSize = noteEventCapacity;
    MidiMessage midiBuffer[kMidiBufferSize];
};

} // namespace solvantis
