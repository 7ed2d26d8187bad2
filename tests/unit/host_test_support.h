// A recording host callback and a plug-in object that records which of its operations the dispatcher
// called, for the host-interface tests.
#pragma once

#include "host/entries.h"
#include "host/extended_effect_base.h"

#include <cstdint>
#include <string>
#include <vector>

namespace solvantis::hosttest {

struct Request {
    AEffect* effect;
    int32_t opcode;
    int32_t index;
    intptr_t value;
    void* ptr;
    float opt;
};

// The host side: every request is logged; the answer comes from `answers` by opcode, else `defaultAnswer`.
struct FakeHost {
    std::vector<Request> requests;
    intptr_t versionAnswer = 2400;
    intptr_t defaultAnswer = 0;
    std::vector<std::pair<int32_t, intptr_t>> answers;

    static FakeHost& instance() {
        static FakeHost host;
        return host;
    }
    static void reset() { instance() = FakeHost{}; }

    void answer(int32_t opcode, intptr_t result) { answers.emplace_back(opcode, result); }

    static intptr_t callback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                             float opt) {
        FakeHost& host = instance();
        host.requests.push_back({effect, opcode, index, value, ptr, opt});
        if (opcode == audioMasterVersion) {
            return host.versionAnswer;
        }
        for (auto it = host.answers.rbegin(); it != host.answers.rend(); ++it) {
            if (it->first == opcode) {
                return it->second;
            }
        }
        return host.defaultAnswer;
    }
};

// Records the calls that reach it, by name with their operands; answers with configurable results.
class SpyEffect : public ExtendedEffectBase {
public:
    explicit SpyEffect(audioMasterCallback hostCallback = FakeHost::callback, int32_t programs = 128,
                       int32_t params = 19)
        : ExtendedEffectBase(hostCallback, programs, params) {
        setNumInputs(0);
        canProcessReplacing(true);
        isSynth(true);
    }
    ~SpyEffect() override { log().push_back("destroyed"); }

    // Shared so that it outlives the object: destruction is one of the things recorded.
    static std::vector<std::string>& log() {
        static std::vector<std::string> calls;
        return calls;
    }
    static bool called(const std::string& call) {
        for (const std::string& entry : log()) {
            if (entry == call) {
                return true;
            }
        }
        return false;
    }
    static void note(const std::string& call) { log().push_back(call); }

    void installEditor(std::unique_ptr<EffectEditor> e) { editor = std::move(e); }
    float currentSampleRate() const { return sampleRate; }
    int32_t currentBlockSize() const { return blockSize; }
    using EffectBase::hostCallback;

    float vu = 0.0f;
    bool keys = false;
    bool answerTrue = false;
    int32_t eventsResult = 0;
    float parameterValue = 0.25f;

    void setParameter(int32_t index, float value) override {
        note("setParameter " + std::to_string(index) + " " + std::to_string(value));
    }
    float getParameter(int32_t index) override {
        note("getParameter " + std::to_string(index));
        return parameterValue;
    }
    void process(float**, float** outputs, int32_t frames) override {
        note("process " + std::to_string(frames));
        lastOutputs = outputs;
    }
    void processReplacing(float**, float** outputs, int32_t frames) override {
        note("processReplacing " + std::to_string(frames));
        lastOutputs = outputs;
    }
    void open() override { note("open"); }
    void close() override { note("close"); }
    void setProgram(int32_t program) override {
        note("setProgram " + std::to_string(program));
        ExtendedEffectBase::setProgram(program);
    }
    void getParameterName(int32_t index, char* text) override {
        note("getParameterName " + std::to_string(index));
        ExtendedEffectBase::getParameterName(index, text);
    }
    void getParameterDisplay(int32_t index, char* text) override {
        note("getParameterDisplay " + std::to_string(index));
        ExtendedEffectBase::getParameterDisplay(index, text);
    }
    float getVu() override { return vu; }
    int32_t getChunk(void**, bool isPreset) override {
        note(std::string("getChunk ") + (isPreset ? "preset" : "bank"));
        return 7;
    }
    int32_t setChunk(void*, int32_t byteSize, bool isPreset) override {
        note("setChunk " + std::to_string(byteSize) + (isPreset ? " preset" : " bank"));
        return 9;
    }
    void setSampleRate(float rate) override {
        note("setSampleRate " + std::to_string(rate));
        ExtendedEffectBase::setSampleRate(rate);
    }
    void setBlockSize(int32_t size) override {
        note("setBlockSize " + std::to_string(size));
        ExtendedEffectBase::setBlockSize(size);
    }
    void suspend() override { note("suspend"); }
    void resume() override { note("resume"); }
    int32_t processEvents(VstEvents* events) override {
        note("processEvents " + std::to_string(events->numEvents));
        return eventsResult;
    }
    bool getProgramNameIndexed(int32_t category, int32_t index, char*) override {
        note("getProgramNameIndexed " + std::to_string(category) + " " + std::to_string(index));
        return answerTrue;
    }
    bool copyProgram(int32_t destination) override {
        note("copyProgram " + std::to_string(destination));
        return answerTrue;
    }
    void inputConnected(int32_t index, bool state) override {
        note("inputConnected " + std::to_string(index) + (state ? " on" : " off"));
    }
    bool getOutputProperties(int32_t index, VstPinProperties*) override {
        note("getOutputProperties " + std::to_string(index));
        return answerTrue;
    }
    bool setBypass(bool onOff) override {
        note(std::string("setBypass ") + (onOff ? "on" : "off"));
        return answerTrue;
    }
    int32_t canDo(char* text) override {
        note(std::string("canDo ") + text);
        return -1;
    }
    bool keysRequired() override { return keys; }
    int32_t getCurrentMidiProgram(int32_t channel, MidiProgramName*) override {
        note("getCurrentMidiProgram " + std::to_string(channel));
        return channel;
    }

    float** lastOutputs = nullptr;
};

// Creates a SpyEffect through the entry point's steps and hands back its record.
inline EffectBase* makeSpy(audioMasterCallback hostCallback) {
    return new SpyEffect(hostCallback);
}

inline SpyEffect* spyOf(AEffect* effect) {
    return static_cast<SpyEffect*>(EffectBase::fromEffect(effect));
}

// The dispatcher entry as the host reaches it.
inline intptr_t dispatch(AEffect* effect, int32_t opcode, int32_t index = 0, intptr_t value = 0,
                         void* ptr = nullptr, float opt = 0.0f) {
    return effect->dispatcher(effect, opcode, index, value, ptr, opt);
}

} // namespace solvantis::hosttest
