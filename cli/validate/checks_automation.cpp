// Parameters pushed hard while notes play: random automation, sweeps, values no host should send, and
// changes from a second thread.
#include "validate/check.h"
#include "validate/runner.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

namespace solvantis::validation {

namespace {

// Automation arrives between small blocks, as from a host that splits its blocks at automation points.
constexpr int32_t automationBlock = 32;

// A note every tenth of a second, each held for most of its stretch, keys walking up and down.
Performance busyNotes(int64_t frames) {
    Performance notes;
    int k = 0;
    for (int64_t t = 0; t + 4410 <= frames; t += 4410, ++k) {
        const uint8_t key = uint8_t(48 + (k * 7) % 25);
        notes.push_back({t, 0x90, key, uint8_t(40 + (k * 29) % 88)});
        notes.push_back({t + 3500, 0x80, key, 0});
    }
    return notes;
}

std::string seconds(int64_t frame, float rate) {
    return number(std::round(double(frame) / double(rate) * 1000.0) / 1000.0) + " s";
}

// Every parameter's value now, to put back later.
std::vector<float> currentValues(PluginHost& host, int32_t count) {
    std::vector<float> values(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        values[size_t(i)] = host.getParameter(i);
    }
    return values;
}

// The peak of one note (or, for an effect, of the tone it hears) from the instance's current state.
double notePeak(Instance& one, const std::string& setting) {
    const double before = one.faults.peak;
    one.faults.peak = 0.0;
    one.setting = setting;
    one.play({{0, 0x90, 60, 100}, {8192, 0x80, 60, 0}}, 12288);
    const double peak = one.faults.peak;
    one.faults.peak = std::max(before, peak);
    return peak;
}

struct HostileValue {
    float value;
    const char* name;
};
const HostileValue hostileValues[] = {{std::numeric_limits<float>::quiet_NaN(), "NaN"},
                                      {std::numeric_limits<float>::infinity(), "+inf"},
                                      {-std::numeric_limits<float>::infinity(), "-inf"},
                                      {1e30f, "1e30"},
                                      {-1e30f, "-1e30"}};

// What became of one instance given `value` on the chosen parameters and then their values back:
// empty when the next note sounds and stays bounded. `whileHostile` gets a note of non-finite output
// while the value was there.
std::string afterHostile(const CheckContext& context, const std::vector<int32_t>& parameters,
                         const HostileValue& hostile, std::string* whileHostile) {
    Instance one(context.path, 44100.0f, 512);
    const int32_t count = std::min(context.facts.numParams, walkLimit);
    const std::vector<float> saved = currentValues(one.host, count);
    const double reference = notePeak(one, "a note before any hostile value");
    for (int32_t i : parameters) {
        one.host.setParameter(i, hostile.value);
    }
    one.faults = {};
    notePeak(one, std::string(hostile.name) + " held");
    if (one.faults.nonFinite > 0 && whileHostile != nullptr && whileHostile->empty()) {
        *whileHostile = "while " + std::string(hostile.name) + " was held, " + one.faults.describe();
    }
    for (int32_t i : parameters) {
        one.host.setParameter(i, saved[size_t(i)]);
    }
    one.play({{0, 0xB0, 123, 0}}, 8192);
    one.faults = {};
    const double after = notePeak(one, "the next note");
    if (one.faults.any() || one.faults.unbounded()) {
        return one.faults.any() ? one.faults.describe() : one.faults.describeUnbounded();
    }
    // A note that was heard before must be heard again, within 20 dB.
    if (reference > 1e-4 && after < reference * 0.1) {
        return "the next note is silent (peak " + decibels(after) + " against " + decibels(reference) +
               " before)";
    }
    return {};
}

} // namespace

Outcome checkAutomation(const CheckContext& context) {
    const int32_t count = std::min(context.facts.numParams, walkLimit);
    if (count == 0) {
        return skip("no parameters");
    }
    // Two seconds of it; a second when there are many parameters to set each time.
    const int64_t frames = count > 64 ? 44100 : 88200;
    Instance one(context.path, 44100.0f, automationBlock);
    std::mt19937 random(20261208);
    std::uniform_real_distribution<float> anyValue(0.0f, 1.0f);
    one.play(busyNotes(frames), frames, [&](int64_t start) {
        for (int32_t i = 0; i < count; ++i) {
            one.host.setParameter(i, anyValue(random));
        }
        one.setting = "random values at " + seconds(start, one.sampleRate);
    });
    one.play({{0, 0xB0, 123, 0}}, 4096);
    if (one.faults.any() || one.faults.unbounded()) {
        return fail(one.faults.any() ? one.faults.describe() : one.faults.describeUnbounded());
    }
    return pass("random values on all " + std::to_string(count) + " parameters every " +
                std::to_string(automationBlock) + " frames while notes play: finite, peak " +
                decibels(one.faults.peak));
}

Outcome checkParameterSweeps(const CheckContext& context) {
    const int32_t count = std::min(context.facts.numParams, walkLimit);
    if (count == 0) {
        return skip("no parameters");
    }
    // Half a second per parameter, less when there are many (about a minute of sound in all).
    const int64_t sweep = std::clamp<int64_t>(60 * 44100 / count, 4096, 22050);
    Instance one(context.path, 44100.0f, automationBlock);
    const std::vector<float> saved = currentValues(one.host, count);
    for (int32_t p = 0; p < count; ++p) {
        const std::string name = one.host.getParameterName(p);
        one.setting =
            "parameter " + std::to_string(p) + (name.empty() ? "" : " '" + name + "'") + " swept from 1 to 0";
        one.play({{0, 0x90, 45, 100}}, sweep, [&](int64_t start) {
            one.host.setParameter(p, float(1.0 - double(start) / double(sweep)));
        });
        one.host.setParameter(p, saved[size_t(p)]);
        one.setting += ", then put back";
        one.play({{0, 0x80, 45, 0}, {256, 0xB0, 123, 0}}, 2048);
        if (one.faults.any() || one.faults.unbounded()) {
            break;
        }
    }
    if (one.faults.any() || one.faults.unbounded()) {
        return fail(one.faults.any() ? one.faults.describe() : one.faults.describeUnbounded());
    }
    return pass("each of " + std::to_string(count) +
                " parameters swept from 1 to 0 during a held note: finite, " + "peak " +
                decibels(one.faults.peak));
}

Outcome checkHostileValues(const CheckContext& context) {
    const int32_t count = std::min(context.facts.numParams, walkLimit);
    if (count == 0) {
        return skip("no parameters");
    }
    std::vector<int32_t> all(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        all[size_t(i)] = i;
    }
    std::string whileHostile;
    for (const HostileValue& hostile : hostileValues) {
        const std::string fault = afterHostile(context, all, hostile, &whileHostile);
        if (fault.empty()) {
            continue;
        }
        // Every parameter at once showed it; name the first one that shows it alone.
        constexpr int32_t searchLimit = 64;
        for (int32_t i = 0; i < std::min(count, searchLimit); ++i) {
            const std::string alone = afterHostile(context, {i}, hostile, nullptr);
            if (!alone.empty()) {
                return fail("after " + std::string(hostile.name) + " on parameter " + std::to_string(i) +
                            " and its value put back: " + alone);
            }
        }
        return fail("after " + std::string(hostile.name) +
                    " on every parameter and their values put back: " + fault);
    }
    if (!whileHostile.empty()) {
        return warn(whileHostile + "; the next note after the values were put back was fine");
    }
    return pass("NaN, +inf, -inf, 1e30 and -1e30 on all " + std::to_string(count) +
                " parameters, then their values put back: the next note sounds and stays finite");
}

Outcome checkConcurrentChanges(const CheckContext& context) {
    const RecordFacts& facts = context.facts;
    const int32_t count = std::min(facts.numParams, walkLimit);
    if (count == 0 && facts.numPrograms < 2) {
        return skip("no parameters and no programs to change");
    }
    Instance one(context.path, 44100.0f, automationBlock);
    std::atomic<bool> done{false};
    std::atomic<int64_t> changes{0};
    std::thread control([&] {
        traceAsSecondThread();
        std::mt19937 random(7);
        std::uniform_real_distribution<float> anyValue(0.0f, 1.0f);
        for (int64_t k = 0; !done.load(std::memory_order_relaxed); ++k) {
            if (count > 0) {
                const int32_t index = int32_t(random() % uint32_t(count));
                one.host.setParameter(index, anyValue(random));
                (void)one.host.getParameter(index);
            }
            if (facts.numPrograms > 1 && k % 64 == 0) {
                one.host.dispatch(effBeginSetProgram);
                one.host.setProgram(int32_t(random() % uint32_t(std::min(facts.numPrograms, walkLimit))));
                one.host.dispatch(effEndSetProgram);
            }
            changes.fetch_add(1, std::memory_order_relaxed);
            if (k % 16 == 0) {
                std::this_thread::yield();
            }
        }
    });
    // Two seconds of sound at least, and longer until the other thread has made its changes (a fast
    // plug-in would otherwise finish before the other thread got going).
    constexpr int64_t frames = 88200;
    constexpr int64_t wantedChanges = 2000;
    const Performance notes = busyNotes(frames);
    one.setting = "while another thread changes parameters and programs";
    int64_t played = 0;
    try {
        while (played < frames * 20 && (played < frames || changes.load() < wantedChanges)) {
            one.play(notes, frames);
            played += frames;
        }
    } catch (...) {
        done = true;
        control.join();
        throw;
    }
    done = true;
    control.join();
    one.play({{0, 0xB0, 123, 0}}, 4096);
    if (one.faults.nonFinite > 0) {
        return fail(one.faults.describe());
    }
    return pass(std::to_string(changes.load()) + " changes from another thread during " +
                std::to_string(played / automationBlock) + " blocks of " + std::to_string(automationBlock) +
                " frames: no crash, finite, peak " + decibels(one.faults.peak));
}

} // namespace solvantis::validation
