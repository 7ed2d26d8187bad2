#include "instrument/parameter_table.h"

#include <cmath>

namespace solvantis {

namespace {

struct ParameterInfo {
    const char* name;
    const char* label;
    float defaultValue;
    float SynthParams::*field; // null for Legato, the one integer
};

const ParameterInfo kParameters[kNumParameters] = {
    {"Exciter ", "Level", 0.9f, &SynthParams::Exciter},
    {"Modulation ", "Dirty", 0.4f, &SynthParams::Modulation},
    {"TovFilter", "", 0.3f, &SynthParams::TovFilter},
    {"Pick", "", 0.3f, &SynthParams::Pick},
    {"Attack", "", 0.14f, &SynthParams::Attack},
    {"Decay", "", 0.9f, &SynthParams::Decay},
    {"Sustain", "", 0.8f, &SynthParams::Sustain},
    {"Release", "", 0.1f, &SynthParams::Release},
    {"ADSRCurve", "", 0.3f, &SynthParams::ADSRCurve},
    {"Volume", "dB", 0.5f, &SynthParams::Volume},
    {"Fixing", "", 0.489f, &SynthParams::Fixing},
    {"DynaTone", "", 0.4f, &SynthParams::DynaTone},
    {"Distorter ", "", 0.0f, &SynthParams::Distorter},
    {"Overdrive ", "", 0.4f, &SynthParams::Overdrive},
    {"Chorus ", "", 0.0f, &SynthParams::Chorus},
    {"Legato ", "", 1.0f, nullptr},
    {"Velocity ", "", 0.5f, &SynthParams::Velocity},
    {"ToneRama", "", 0.14f, &SynthParams::ToneRama},
    {"PowerChord", "", 0.0f, &SynthParams::PowerChord},
};

// Fixing shows "Min" below and "Max" above these bounds (the floats nearest 0.01 and 0.99); the bound
// values themselves show the number, like every value between them.
constexpr float kFixingMin = 0.01f;
constexpr float kFixingMax = 0.99f;

} // namespace

const char* parameterName(int32_t index) {
    return isParameterIndex(index) ? kParameters[index].name : nullptr;
}

const char* parameterLabel(int32_t index) {
    return isParameterIndex(index) ? kParameters[index].label : nullptr;
}

SynthParams defaultParameters() {
    SynthParams params{};
    for (int32_t i = 0; i < kNumParameters; ++i)
        storeParameter(params, i, kParameters[i].defaultValue);
    return params;
}

int32_t legatoFromHostValue(float value) {
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0f)
        return INT32_MAX;
    if (value <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

void storeParameter(SynthParams& params, int32_t index, float value) {
    if (!isParameterIndex(index))
        return;
    if (index == kLegato)
        storeRelaxed(params.Legato, legatoFromHostValue(value));
    else
        storeRelaxed(params.*kParameters[index].field, value);
}

float readParameter(const SynthParams& params, int32_t index) {
    if (!isParameterIndex(index))
        return 0.0f;
    if (index == kLegato)
        return static_cast<float>(loadRelaxed(params.Legato));
    return loadRelaxed(params.*kParameters[index].field);
}

namespace {

// Display formulas are evaluated in double precision and rounded once to float before formatting, so the
// texts do not depend on how the compiler orders float operations (the default Fixing reads 2352.968, where
// float arithmetic would give 2352.967).
float mirrored(float v) {
    return static_cast<float>(1.0 - 2.0 * static_cast<double>(v));
}

float squaredSpan(float v, double span, double offset) {
    const double d = v;
    return static_cast<float>(d * d * span + offset);
}

} // namespace

ParameterDisplay describeParameterDisplay(const SynthParams& params, int32_t index) {
    using Kind = ParameterDisplay::Kind;
    switch (index) {
    case kExciter:
        return {Kind::Number, params.Exciter, nullptr};
    case kModulation:
        return {Kind::Number, params.Modulation, nullptr};
    case kADSRCurve:
        return {Kind::Number, mirrored(params.ADSRCurve), nullptr};
    case kToneRama:
        return {Kind::Number, mirrored(params.ToneRama), nullptr};
    case kVolume:
        return {Kind::Decibels, params.Volume, nullptr};
    case kFixing: {
        const float v = params.Fixing;
        if (v < kFixingMin)
            return {Kind::Text, 0.0f, "Min"};
        if (v > kFixingMax)
            return {Kind::Text, 0.0f, "Max"};
        return {Kind::Number, squaredSpan(v, 8000.0, 440.0), nullptr};
    }
    case kDynaTone: {
        const float v = params.DynaTone;
        if (v == 0.0f)
            return {Kind::Text, 0.0f, "OFF"};
        return {Kind::Number, squaredSpan(v, 440.0, 10.0), nullptr};
    }
    default:
        return {};
    }
}

} // namespace solvantis
