// The instance every check drives, its phrases and the text probes.
#include "validate/check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace solvantis::validation {

namespace {

// A value no plug-in computes by chance: a sample still holding it was not written.
constexpr float prefill = 0.318309886f;
// Written after the block's last frame; a sample there that changed was written past sampleFrames.
constexpr float guardValue = -0.7071071f;
constexpr int32_t guardFrames = 32;

constexpr size_t hostTextSize = 64;
constexpr size_t guardBytes = 4096 - hostTextSize;
constexpr unsigned char guardByte = 0xA5;

} // namespace

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string decibels(double level) {
    if (!(level > 0.0)) {
        return "-inf dBFS";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f dBFS", 20.0 * std::log10(level));
    return text;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string AudioFaults::describe() const {
    std::string text;
    if (nonFinite > 0) {
        text = std::to_string(nonFinite) + " samples not finite";
    } else if (untouched > 0) {
        text = std::to_string(untouched) + " samples left as the host filled them";
    } else if (beyond > 0) {
        text = std::to_string(beyond) + " samples written past the block's end";
    }
    text += ", first at frame " + std::to_string(firstBadFrame);
    if (!where.empty()) {
        text += " (" + where + ")";
    }
    return text;
}

std::string AudioFaults::describeUnbounded() const {
    if (nonFinite > 0) {
        return describe();
    }
    return "peak " + decibels(peak) + (loudestWhere.empty() ? "" : " (" + loudestWhere + ")");
}

Instance::Instance(const std::string& path, float rate, int32_t block)
    : host(path), buffers(host.numInputs(), host.numOutputs(), largestBlock + guardFrames) {
    host.open();
    configure(rate, block);
}

void Instance::configure(float rate, int32_t block) {
    if (host.isSwitchedOn()) {
        host.switchOff();
    }
    sampleRate = rate;
    blockSize = block;
    host.setSampleRate(rate);
    host.setBlockSize(block);
    host.switchOn();
}

int32_t Instance::playLength(int64_t start, int64_t frames) {
    int32_t length = blockSize;
    if (randomBlocks != 0) {
        randomBlocks = randomBlocks * 1664525u + 1013904223u;
        length = 1 + int32_t((randomBlocks >> 8) % uint32_t(blockSize));
    }
    return int32_t(std::min<int64_t>(length, frames - start));
}

size_t Instance::queue(const Performance& performance, size_t next, int64_t start, int32_t length) {
    events.clear();
    while (next < performance.size() && performance[next].frame < start + length) {
        const TimedMessage& m = performance[next++];
        events.add(int32_t(std::max<int64_t>(m.frame - start, 0)), m.status, m.data1, m.data2);
    }
    return next;
}

void Instance::play(const Performance& performance, int64_t frames, bool useProcess) {
    size_t next = 0;
    for (int64_t start = 0; start < frames;) {
        const int32_t length = playLength(start, frames);
        next = queue(performance, next, start, length);
        block(length, useProcess);
        start += length;
    }
}

void Instance::block(int32_t frames, bool useProcess) {
    if (!events.empty()) {
        host.processEvents(events);
    }
    const bool replacing = host.canReplace() && !useProcess;
    const int32_t inputs = host.numInputs();
    for (int32_t c = 0; c < inputs; ++c) {
        float* in = buffers.inputs()[c];
        for (int32_t i = 0; i < frames; ++i) {
            // A quiet 441 Hz tone, so that effects have something to work on.
            in[i] = 0.25f * float(std::sin(6.283185307179586 * 441.0 * double(clock + i) / sampleRate));
        }
    }
    const int32_t outputs = host.numOutputs();
    for (int32_t c = 0; c < std::max(outputs, 2); ++c) {
        float* out = buffers.outputs()[c];
        std::fill(out, out + frames, replacing ? prefill : 0.0f);
        std::fill(out + frames, out + frames + guardFrames, guardValue);
    }
    if (replacing) {
        host.processReplacing(buffers.inputs(), buffers.outputs(), frames);
    } else {
        host.process(buffers.inputs(), buffers.outputs(), frames);
    }
    if (captureEnergy) {
        energy.resize(size_t(clock + frames), 0.0f);
    }
    if (captureFrames) {
        this->frames.resize(size_t(clock + frames) * size_t(std::max(outputs, 0)), 0.0f);
    }
    for (int32_t c = 0; c < outputs; ++c) {
        const float* out = buffers.outputs()[c];
        for (int32_t i = 0; i < frames; ++i) {
            const float v = out[i];
            const bool bad = !std::isfinite(v) || (replacing && sameBits(v, prefill));
            if (!std::isfinite(v)) {
                ++faults.nonFinite;
            } else if (replacing && sameBits(v, prefill)) {
                ++faults.untouched;
            } else {
                if (std::fabs(v) > faults.peak) {
                    faults.peak = double(std::fabs(v));
                    faults.loudestWhere = setting;
                }
                if (captureEnergy) {
                    energy[size_t(clock + i)] += v * v;
                }
            }
            if (bad && faults.firstBadFrame < 0) {
                faults.firstBadFrame = clock + i;
                faults.where = setting;
            }
            if (capture) {
                captured.push_back(v);
            }
            if (captureFrames) {
                this->frames[size_t(clock + i) * size_t(outputs) + size_t(c)] = v;
            }
        }
        for (int32_t i = frames; i < frames + guardFrames; ++i) {
            if (!sameBits(out[i], guardValue)) {
                ++faults.beyond;
                if (faults.firstBadFrame < 0) {
                    faults.firstBadFrame = clock + i;
                    faults.where = setting;
                }
            }
        }
    }
    clock += frames;
}

Performance standardPhrase() {
    return {
        {0, 0xB0, 7, 100},     {100, 0x90, 60, 100},   {3000, 0xB0, 1, 64},   {5000, 0xE0, 0x7F, 0x7F},
        {7000, 0x90, 64, 80},  {8000, 0xE0, 0, 0},     {9000, 0xE0, 0, 0x40}, {11000, 0x80, 60, 0},
        {12000, 0x80, 64, 0},  {13000, 0x90, 67, 127}, {17000, 0x90, 67, 0},  {18000, 0x90, 48, 1},
        {21000, 0x80, 48, 64},
    };
}

Performance otherPhrase() {
    return {
        {0, 0x90, 36, 127},   {50, 0xE0, 0x7F, 0x7F}, {400, 0xB0, 1, 127},  {2000, 0x90, 84, 127},
        {6000, 0xB0, 7, 127}, {9000, 0x80, 36, 0},    {15000, 0x80, 84, 0}, {15001, 0xB0, 123, 0},
    };
}

GuardedText guardedText(PluginHost& host, int32_t opcode, int32_t index, intptr_t value) {
    std::vector<unsigned char> buffer(hostTextSize + guardBytes, guardByte);
    std::fill(buffer.begin(), buffer.begin() + hostTextSize, 0); // hosts hand over a cleared buffer
    GuardedText result;
    result.answer = host.dispatch(opcode, index, value, buffer.data());
    const char* start = reinterpret_cast<const char*>(buffer.data());
    const size_t length = strnlen(start, hostTextSize);
    result.terminated = length < hostTextSize;
    result.text.assign(start, length);
    result.overrun = std::any_of(buffer.begin() + hostTextSize, buffer.end(),
                                 [](unsigned char b) { return b != guardByte; });
    return result;
}

void TextFindings::failure(const std::string& text) {
    if (failures++ == 0) {
        firstFailure = text;
    }
}

void TextFindings::warning(const std::string& text) {
    if (warnings++ == 0) {
        firstWarning = text;
    }
}

void TextFindings::check(const GuardedText& t, const std::string& what, size_t traditional) {
    if (t.overrun) {
        failure(what + " wrote past the host's 64-byte buffer");
    } else if (!t.terminated) {
        failure(what + " is not terminated within 64 bytes");
    } else if (t.text.size() > traditional) {
        warning(what + " '" + t.text + "' is " + std::to_string(t.text.size()) +
                " characters (hosts traditionally allow " + std::to_string(traditional) + ")");
    }
}

Outcome TextFindings::outcome(const std::string& fine) const {
    if (failures > 0) {
        return fail(firstFailure + (failures > 1 ? " (and " + std::to_string(failures - 1) + " more)" : ""));
    }
    if (warnings > 0) {
        return warn(firstWarning + (warnings > 1 ? " (and " + std::to_string(warnings - 1) + " more)" : ""));
    }
    return pass(fine);
}

std::string paramName(const char* kind, int32_t index) {
    return std::string("parameter ") + std::to_string(index) + " " + kind;
}

} // namespace solvantis::validation
