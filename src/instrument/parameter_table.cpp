#include "instrument/parameter_table.h"

#include <cmath>

namespace solvantis {

const char* parameterName(int32_t index) {
    return isParameterIndex(index) ? parameterTable[index].name : nullptr;
}

const char* parameterLabel(int32_t index) {
    return isParameterIndex(index) ? parameterTable[index].label : nullptr;
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
    const ParameterInfo& entry = parameterTable[index];
    if (entry.integerField != nullptr)
        storeRelaxed(params.*entry.integerField, legatoFromHostValue(value));
    else
        storeRelaxed(params.*entry.field, value);
}

float readParameter(const SynthParams& params, int32_t index) {
    if (!isParameterIndex(index))
        return 0.0f;
    const ParameterInfo& entry = parameterTable[index];
    if (entry.integerField != nullptr)
        return static_cast<float>(loadRelaxed(params.*entry.integerField));
    return loadRelaxed(params.*entry.field);
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

// Fixing shows "Min" below and "Max" above these bounds (the floats nearest 0.01 and 0.99); the bound
// values themselves show the number, like every value between them.
constexpr float kFixingMin = 0.01f;
constexpr float kFixingMax = 0.99f;

} // namespace

ParameterDisplay describeParameterDisplay(const SynthParams& params, int32_t index) {
    using Kind = ParameterDisplay::Kind;
    if (!isParameterIndex(index))
        return {};
    const float v = readParameter(params, index);
    switch (parameterTable[index].display) {
    case ParameterDisplayKind::Empty:
        return {};
    case ParameterDisplayKind::Value:
        return {Kind::Number, v, nullptr};
    case ParameterDisplayKind::Mirrored:
        return {Kind::Number, mirrored(v), nullptr};
    case ParameterDisplayKind::Decibels:
        return {Kind::Decibels, v, nullptr};
    case ParameterDisplayKind::FixingSpan:
        if (v < kFixingMin)
            return {Kind::Text, 0.0f, "Min"};
        if (v > kFixingMax)
            return {Kind::Text, 0.0f, "Max"};
        return {Kind::Number, squaredSpan(v, 8000.0, 440.0), nullptr};
    case ParameterDisplayKind::DynaToneSpan:
        if (v == 0.0f)
            return {Kind::Text, 0.0f, "OFF"};
        return {Kind::Number, squaredSpan(v, 440.0, 10.0), nullptr};
    }
    return {};
}

} // namespace solvantis
