// The object `main` makes until the instrument exists: the instrument's shape (128 programs, 19
// parameters, no inputs, two outputs, a synth that replaces its outputs) rendering silence.
#pragma once

#include "host/effect_base_x.h"

#include <cstdint>
#include <cstring>

namespace solvantis {

class PlaceholderEffect final : public EffectBaseX {
public:
    static constexpr int32_t kPrograms = 128;
    static constexpr int32_t kParams = 19;

    explicit PlaceholderEffect(audioMasterCallback hostCallback)
        : EffectBaseX(hostCallback, kPrograms, kParams) {
        setNumInputs(0);
        setNumOutputs(2);
        canProcessReplacing(true);
        hasVu(false);
        hasClip(false);
        isSynth(true);
        setUniqueID(fourCharCode('k', 'w', 'b', 't'));
    }

    void process(float** inputs, float** outputs, int32_t sampleFrames) override {
        processReplacing(inputs, outputs, sampleFrames);
    }

    void processReplacing(float**, float** outputs, int32_t sampleFrames) override {
        for (int32_t channel = 0; channel < 2; ++channel) {
            std::memset(outputs[channel], 0, sizeof(float) * static_cast<size_t>(sampleFrames));
        }
    }

    void setProgram(int32_t program) override {
        if (program >= 0 && program < kPrograms) {
            currentProgram = program;
        }
    }

    void resume() override { wantEvents(1); }
};

} // namespace solvantis
