// EffectBase: the plug-in object behind one effect record. It owns the record, keeps the host callback,
// answers the dispatcher opcodes 0 to 24 and offers the host requests and value-to-text tools every
// plug-in needs. Subclasses change behaviour only by overriding the virtual operations below, which are
// declared in their fixed order.
#pragma once

#include "host/effect_editor.h"
#include "host/out_of_memory.h"
#include "host/vst_abi.h"

#include <cstdint>
#include <memory>

namespace solvantis {

class EffectBase {
public:
    EffectBase(audioMasterCallback hostCallback, int32_t numPrograms, int32_t numParams);
    virtual ~EffectBase();

    EffectBase(const EffectBase&) = delete;
    EffectBase& operator=(const EffectBase&) = delete;

    // ---- parameters and audio
    virtual void setParameter(int32_t index, float value);
    virtual float getParameter(int32_t index);
    virtual void setParameterAutomated(int32_t index, float value);
    virtual void process(float** inputs, float** outputs, int32_t sampleFrames) = 0;
    virtual void processReplacing(float** inputs, float** outputs, int32_t sampleFrames);

    // Answers opcodes 0 to 24; every other opcode gives 0.
    virtual intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

    // ---- life cycle and programs
    virtual void open() {}
    virtual void close() {}
    virtual int32_t getProgram();
    virtual void setProgram(int32_t program);
    virtual void setProgramName(char* name);
    virtual void getProgramName(char* name);
    virtual void getParameterLabel(int32_t index, char* label);
    virtual void getParameterDisplay(int32_t index, char* text);
    virtual void getParameterName(int32_t index, char* text);
    virtual float getVu();
    virtual int32_t getChunk(void** data, bool isPreset);
    virtual int32_t setChunk(void* data, int32_t byteSize, bool isPreset);
    virtual void setSampleRate(float newSampleRate);
    virtual void setBlockSize(int32_t newBlockSize);
    virtual void suspend() {}
    virtual void resume() {}

    // ---- the effect record
    virtual void setUniqueID(int32_t id);
    virtual void setNumInputs(int32_t inputs);
    virtual void setNumOutputs(int32_t outputs);
    virtual void hasVu(bool state);
    virtual void hasClip(bool state);
    virtual void canMono(bool state);
    virtual void canProcessReplacing(bool state);
    virtual void programsAreChunks(bool state);
    virtual void setRealtimeQualities(int32_t qualities);
    virtual void setOfflineQualities(int32_t qualities);
    virtual void setInitialDelay(int32_t delay);
    virtual float getSampleRate();
    virtual int32_t getBlockSize();

    // ---- requests to the host; each answers as if the host said nothing when there is no callback
    virtual int32_t getMasterVersion();
    virtual int32_t getCurrentUniqueId();
    virtual void masterIdle();
    virtual bool isInputConnected(int32_t input);
    virtual bool isOutputConnected(int32_t output);

    // ---- value-to-text tools: at most 8 characters and the terminating zero
    virtual void dB2string(float value, char* text);
    virtual void Hz2string(float samples, char* text);
    virtual void ms2string(float samples, char* text);
    virtual void float2string(float value, char* text);
    virtual void long2string(int32_t value, char* text);

    // The record the host holds; it lives exactly as long as this object.
    AEffect* getAeffect() { return &effect; }

    // The object behind a record, or null for a null record or one without an object.
    static EffectBase* fromEffect(AEffect* effect) {
        return effect ? static_cast<EffectBase*>(effect->object) : nullptr;
    }

protected:
    // Calls the host with this object's record; 0 without a callback.
    intptr_t callHost(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);
    void setFlag(int32_t flag, bool state);

    float sampleRate;                     // in Hz
    std::unique_ptr<EffectEditor> editor; // always empty in this instrument
    audioMasterCallback hostCallback;     // may be null for an object made without a host
    int32_t numPrograms;
    int32_t numParams;
    int32_t currentProgram;
    int32_t blockSize; // largest block the host will pass, in sample frames
    AEffect effect;
};

// The sample rates the dispatcher passes on to an object, in Hz. Anything else (0, negative, NaN,
// infinite, absurdly large) would make the per-block coefficients meaningless. The range is the one the
// instrument's engine plays at (the instrument holds the two equal).
constexpr float kMinSampleRate = 8000.0f;
constexpr float kMaxSampleRate = 10000000.0f;
bool isUsableSampleRate(float rate);

} // namespace solvantis
