// Playing as hosts play: life cycle, rates and blocks, notes, bends, controllers, program changes.
#include "validate/check.h"

#include <algorithm>
#include <cmath>

namespace solvantis::validation {

Outcome checkHostOrder(const CheckContext& context) {
    const std::string& path = context.path;
    Instance one(path, 44100.0f, 512);
    one.play(standardPhrase(), standardLength);
    one.host.switchOff();
    one.host.switchOn();
    one.play({{0, 0x90, 60, 100}}, 2048);
    one.host.switchOff();
    one.host.close();
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("open, sample rate, block size, switch on, " + std::to_string(one.clock) +
                " frames, switch off and on again, close");
}

Outcome checkRatesAndBlocks(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    const float rates[] = {44100.0f, 48000.0f, 96000.0f};
    const int32_t blocks[] = {1, 64, 333, 512, largestBlock};
    const Performance phrase = {{10, 0x90, 60, 100}, {2000, 0xE0, 0x7F, 0x7F}, {4000, 0xE0, 0, 0x40},
                                {5000, 0x80, 60, 0}, {6000, 0x90, 72, 127},    {8000, 0x80, 72, 0}};
    Instance one(path, rates[0], blocks[0]);
    std::string silent;
    for (float rate : rates) {
        for (int32_t block : blocks) {
            one.configure(rate, block);
            one.setting = number(rate) + " Hz, block " + std::to_string(block);
            const double before = one.faults.peak;
            one.faults.peak = 0.0;
            one.play(phrase, 9000);
            if (facts.synth && one.faults.peak == 0.0 && silent.empty()) {
                silent = one.setting;
            }
            one.faults.peak = std::max(before, one.faults.peak);
        }
    }
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    if (!silent.empty()) {
        return warn("no sound from two notes at " + silent);
    }
    return pass(
        "44100, 48000, 96000 Hz with blocks of 1, 64, 333, 512, 4096 frames: finite, nothing past the "
        "block");
}

Outcome checkSampleRates(const CheckContext& context) {
    const double rates[] = {8000,  11025, 16000,  22050,  32000,  44100, 48000,
                            88200, 96000, 176400, 192000, 352800, 384000};
    AudioFaults worst;
    std::string silent;
    for (double rate : rates) {
        // Two notes with a bend, timed in seconds so that each rate plays the same phrase.
        const auto at = [rate](double seconds) { return int64_t(seconds * rate); };
        const Performance phrase = {{at(0.01), 0x90, 60, 100}, {at(0.1), 0xE0, 0x7F, 0x7F},
                                    {at(0.2), 0xE0, 0, 0x40},  {at(0.3), 0x80, 60, 0},
                                    {at(0.35), 0x90, 84, 127}, {at(0.6), 0x80, 84, 0}};
        Instance one(context.path, float(rate), 512);
        one.setting = number(rate) + " Hz";
        one.play(phrase, at(0.8));
        if (one.faults.any() || one.faults.unbounded()) {
            return fail(one.faults.any() ? one.faults.describe() : one.faults.describeUnbounded());
        }
        if (context.facts.synth && one.faults.peak == 0.0 && silent.empty()) {
            silent = one.setting;
        }
        if (one.faults.peak >= worst.peak) {
            worst = one.faults;
        }
    }
    if (!silent.empty()) {
        return warn("no sound from two notes at " + silent);
    }
    return pass("8000 to 384000 Hz, each from a fresh instance: finite, loudest " +
                worst.describeUnbounded());
}

Outcome checkSilence(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    if (!facts.canReplace) {
        return skip("no processReplacing entry");
    }
    Instance one(path, 44100.0f, 512);
    for (int i = 0; i < 8; ++i) {
        one.block(512);
    }
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    if (!facts.synth) {
        return pass("pre-filled buffers overwritten; peak " + number(one.faults.peak) +
                    " from a quiet tone in");
    }
    if (one.faults.peak == 0.0) {
        return pass("pre-filled buffers overwritten with exact silence before any note");
    }
    return pass("pre-filled buffers overwritten; peak " + number(one.faults.peak) + " before any note");
}

Outcome checkEveryOffset(const CheckContext& context) {
    const std::string& path = context.path;
    constexpr int32_t block = 64;
    Instance one(path, 44100.0f, block);
    for (int32_t k = 0; k < block; ++k) {
        one.events.clear();
        one.events.add(k, 0x90, uint8_t(48 + k % 24), 100);
        one.block(block);
        one.events.clear();
        one.events.add(block - 1 - k, 0x80, uint8_t(48 + k % 24), 0);
        one.block(block);
    }
    // A note-on or note-off at every frame of one block.
    one.events.clear();
    for (int32_t i = 0; i < block; ++i) {
        one.events.add(i, i % 2 == 0 ? 0x90 : 0x80, uint8_t(60 + i % 12), i % 2 == 0 ? 90 : 0);
    }
    one.block(block);
    one.play({}, 4096);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("notes on and off at each of the 64 frames of a block, and at every frame of one block");
}

Outcome checkPitchBend(const CheckContext& context) {
    const std::string& path = context.path;
    Instance one(path, 44100.0f, 256);
    Performance phrase;
    int64_t t = 0;
    for (uint8_t channel : {uint8_t(0), uint8_t(15)}) {
        phrase.push_back({t, uint8_t(0xE0 | channel), 0, 0}); // lowest, before the note
        phrase.push_back({t + 5, uint8_t(0x90 | channel), 60, 100});
        for (int i = 0; i < 20; ++i) {
            const bool high = i % 2 == 0;
            phrase.push_back({t + 300 + i * 211, uint8_t(0xE0 | channel), uint8_t(high ? 0x7F : 0),
                              uint8_t(high ? 0x7F : 0)});
        }
        phrase.push_back({t + 5000, uint8_t(0x90 | channel), 96, 127}); // a high note bent up
        phrase.push_back({t + 5001, uint8_t(0xE0 | channel), 0x7F, 0x7F});
        phrase.push_back({t + 8000, uint8_t(0x80 | channel), 60, 0});
        phrase.push_back({t + 8000, uint8_t(0x80 | channel), 96, 0});
        phrase.push_back({t + 9000, uint8_t(0xE0 | channel), 0, 0x40});
        t += 10000;
    }
    one.play(phrase, t);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("pitch bend to both ends, before and during notes, channels 1 and 16: finite");
}

Outcome checkControllers(const CheckContext& context) {
    const std::string& path = context.path;
    Instance one(path, 44100.0f, 512);
    Performance phrase;
    int64_t t = 0;
    for (uint8_t cc : {uint8_t(1), uint8_t(7), uint8_t(120), uint8_t(121), uint8_t(122), uint8_t(123),
                       uint8_t(124), uint8_t(125), uint8_t(126), uint8_t(127)}) {
        phrase.push_back({t, 0x90, 60, 100});
        phrase.push_back({t + 200, 0xB0, cc, 127});
        phrase.push_back({t + 900, 0xB0, cc, 0});
        phrase.push_back({t + 1500, 0x90, 64, 100});
        phrase.push_back({t + 1600, 0xB0, cc, 64});
        phrase.push_back({t + 2500, 0x80, 60, 0});
        phrase.push_back({t + 2600, 0x80, 64, 0});
        t += 3000;
    }
    // Restore what the mode messages changed: local control on, poly mode, full volume.
    phrase.push_back({t, 0xB0, 122, 127});
    phrase.push_back({t, 0xB0, 127, 0});
    phrase.push_back({t, 0xB0, 7, 127});
    phrase.push_back({t + 10, 0x90, 60, 100});
    phrase.push_back({t + 3000, 0x80, 60, 0});
    one.play(phrase, t + 6000);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("controllers 1, 7 and 120-127 at 0, 64 and 127 while notes play: finite");
}

Outcome checkProgramChanges(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    Instance one(path, 44100.0f, 512);
    const int32_t programs = std::max(facts.numPrograms, 1);
    one.events.clear();
    one.events.add(0, 0x90, 60, 110);
    for (int b = 0; b < 48; ++b) {
        const int32_t program = (b * 7) % programs;
        if (facts.numPrograms > 0) {
            one.host.dispatch(effBeginSetProgram);
            one.host.setProgram(program);
            one.host.dispatch(effEndSetProgram);
        }
        if (b % 4 == 0) {
            one.events.add(b % 512, 0x90, uint8_t(48 + b % 24), 100);
        }
        if (b % 3 == 0) {
            one.events.add(300, 0xC0, uint8_t(b % 128), 0);
        }
        one.block(512);
        one.events.clear();
    }
    one.play({{0, 0xB0, 123, 0}}, 4096);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass(facts.numPrograms > 0 ? "program changes between blocks and by MIDI while notes play: finite"
                                      : "MIDI program changes while notes play: finite");
}

Outcome checkZeroFrames(const CheckContext& context) {
    const std::string& path = context.path;
    const bool strict = context.strict;
    if (!strict) {
        return skip("only with --strict");
    }
    Instance one(path, 44100.0f, 512);
    one.events.add(0, 0x90, 60, 100);
    one.block(0);
    one.block(0);
    one.play({}, 2048);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("process calls of zero frames write nothing and change nothing after");
}

} // namespace solvantis::validation
