// The record and the texts and values a host reads.
#include "info.h"
#include "validate/check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace solvantis::validation {

Outcome checkRecord(const CheckContext& context) {
    const std::string& path = context.path;
    PluginHost host(path);
    const AEffect* e = host.effect();
    std::vector<std::string> problems;
    std::vector<std::string> doubts;
    if (e->dispatcher == nullptr) {
        problems.push_back("no dispatcher entry");
    }
    for (const auto& [count, what] :
         {std::pair{e->numParams, "parameters"}, std::pair{e->numPrograms, "programs"},
          std::pair{e->numInputs, "inputs"}, std::pair{e->numOutputs, "outputs"}}) {
        if (count < 0) {
            problems.push_back(std::string("negative count of ") + what + " (" + std::to_string(count) + ")");
        }
    }
    if (e->numParams > maxPlausibleParams || e->numPrograms > maxPlausiblePrograms ||
        e->numInputs > maxPlausiblePins || e->numOutputs > maxPlausiblePins) {
        problems.push_back("implausible counts");
    }
    const bool synth = (e->flags & effFlagsIsSynth) != 0;
    if (synth && e->numOutputs == 0) {
        problems.push_back("flagged as a synth but has no outputs");
    }
    if ((e->flags & effFlagsCanReplacing) && e->processReplacing == nullptr) {
        problems.push_back("canReplacing flag set but no processReplacing entry");
    }
    if (e->process == nullptr && !host.canReplace()) {
        problems.push_back("no usable process entry");
    }
    if (e->numParams > 0 && (e->setParameter == nullptr || e->getParameter == nullptr)) {
        problems.push_back("parameters without the set/get parameter entries");
    }
    if (e->initialDelay < 0) {
        problems.push_back("negative initial delay");
    }
    if (!(e->flags & effFlagsCanReplacing) && e->processReplacing != nullptr) {
        doubts.push_back("processReplacing entry present but the canReplacing flag is clear");
    }
    std::string names;
    for (const std::string& n : flagNames(e->flags)) {
        names += (names.empty() ? "" : " ") + n;
        if (n.rfind("bit", 0) == 0) {
            doubts.push_back("unknown flag " + n);
        }
    }
    if (e->version <= 0) {
        doubts.push_back("version " + std::to_string(e->version));
    }
    // Built up in steps: one long chain of + trips a false -Wrestrict in g++ 12.
    std::string summary = "'";
    summary += fourCharacters(e->uniqueID);
    summary += "' version " + std::to_string(e->version) + ", " + std::to_string(e->numParams) +
               " parameters, " + std::to_string(e->numPrograms) + " programs, " +
               std::to_string(e->numInputs) + " in / " + std::to_string(e->numOutputs) + " out, flags " +
               (names.empty() ? "none" : names);
    // The names a host shows, each asked into the 64-byte buffer hosts hand over: the effect name is
    // traditionally 32 characters, the vendor and product strings 64 with the terminator.
    if (e->dispatcher != nullptr) {
        host.open();
        TextFindings names;
        names.check(guardedText(host, effGetEffectName, 0), "effect name", 32);
        names.check(guardedText(host, effGetVendorString, 0), "vendor string", 63);
        names.check(guardedText(host, effGetProductString, 0), "product string", 63);
        if (names.failures > 0) {
            problems.push_back(names.firstFailure);
        } else if (names.warnings > 0) {
            doubts.push_back(names.firstWarning);
        }
    }
    if (!problems.empty()) {
        return fail(problems.front() + "; " + summary);
    }
    if (!doubts.empty()) {
        return warn(doubts.front() + "; " + summary);
    }
    return pass(summary);
}

Outcome checkParameterTexts(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    if (facts.numParams == 0) {
        return skip("no parameters");
    }
    PluginHost host(path);
    host.open();
    TextFindings findings;
    const int32_t count = std::min(facts.numParams, walkLimit);
    for (int32_t i = 0; i < count; ++i) {
        const GuardedText name = guardedText(host, effGetParamName, i);
        findings.check(name, paramName("name", i), 8);
        if (name.terminated && !name.overrun && name.text.empty()) {
            findings.warning(paramName("name", i) + " is empty");
        }
        findings.check(guardedText(host, effGetParamLabel, i), paramName("label", i), 8);
        findings.check(guardedText(host, effGetParamDisplay, i), paramName("display", i), 8);
    }
    return findings.outcome(std::to_string(count) + " names, labels and displays terminated inside 64 bytes");
}

Outcome checkParameterValues(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    if (facts.numParams == 0) {
        return skip("no parameters");
    }
    PluginHost host(path);
    host.open();
    TextFindings findings;
    const int32_t count = std::min(facts.numParams, walkLimit);
    for (int32_t i = 0; i < count; ++i) {
        const float original = host.getParameter(i);
        if (!std::isfinite(original) || original < 0.0f || original > 1.0f) {
            findings.failure("parameter " + std::to_string(i) + " reads " + number(original) +
                             " before any change (outside 0..1)");
            continue;
        }
        for (float value : {0.0f, 0.5f, 1.0f}) {
            host.setParameter(i, value);
            const float back = host.getParameter(i);
            const std::string what =
                "parameter " + std::to_string(i) + " set to " + number(value) + " reads " + number(back);
            if (!std::isfinite(back) || back < 0.0f || back > 1.0f) {
                findings.failure(what + " (outside 0..1)");
            } else if (std::fabs(back - value) > 1e-4f) {
                if (value == 0.5f) {
                    findings.warning(what + " (a stepped parameter?)");
                } else {
                    findings.failure(what);
                }
            }
        }
        host.setParameter(i, original);
    }
    return findings.outcome(std::to_string(count) + " parameters read back 0, 0.5 and 1 as set");
}

Outcome checkPrograms(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    PluginHost host(path);
    const bool chunks = (host.flags() & effFlagsProgramChunks) != 0;
    if (facts.numPrograms == 0 && !chunks) {
        return skip("no programs");
    }
    host.open();
    TextFindings findings;
    // A host saves a chunk by reading every byte the plug-in points at.
    for (const bool bank : {true, false}) {
        if (!chunks) {
            break;
        }
        void* data = nullptr;
        const intptr_t size = host.dispatch(effGetChunk, bank ? 0 : 1, 0, &data);
        const std::string what = bank ? "the bank's chunk" : "the program's chunk";
        std::vector<uint8_t> bytes;
        if (size <= 0 || data == nullptr) {
            findings.failure(what + " is empty (" + std::to_string(size) +
                             " bytes), though the chunks flag is set");
        } else if (size > (intptr_t(1) << 30) || !copyPluginBytes(data, size_t(size), bytes)) {
            char address[32];
            std::snprintf(address, sizeof address, "%p", data);
            findings.failure(what + " of " + std::to_string(size) + " bytes at " + address +
                             " is not readable memory");
        }
    }
    const int32_t count = std::min(facts.numPrograms, walkLimit);
    for (int32_t p = 0; p < count; ++p) {
        host.setProgram(p);
        const int32_t current = host.getProgram();
        if (current != p) {
            findings.failure("program " + std::to_string(p) + " set, " + std::to_string(current) +
                             " reported");
        }
        const std::string what = "program " + std::to_string(p) + " name";
        findings.check(guardedText(host, effGetProgramName, 0), what, 24);
        const GuardedText indexed = guardedText(host, effGetProgramNameIndexed, p, -1);
        if (indexed.answer != 0 || indexed.overrun || !indexed.terminated) {
            findings.check(indexed, what + " (indexed)", 24);
        }
    }
    if (facts.numPrograms > 0) {
        host.setProgram(0);
    }
    return findings.outcome(std::to_string(count) +
                            " programs set and read back, names terminated inside 64 bytes" +
                            (chunks ? ", chunks readable" : ""));
}

Outcome checkOutOfRange(const CheckContext& context) {
    const std::string& path = context.path;
    const RecordFacts& facts = context.facts;
    Instance one(path, 44100.0f, 512);
    PluginHost& host = one.host;
    TextFindings findings;
    for (int32_t i : {-1, facts.numParams}) {
        host.setParameter(i, 0.5f);
        (void)host.getParameter(i);
        (void)host.canBeAutomated(i);
        findings.check(guardedText(host, effGetParamName, i), paramName("name", i), 64);
        findings.check(guardedText(host, effGetParamLabel, i), paramName("label", i), 64);
        findings.check(guardedText(host, effGetParamDisplay, i), paramName("display", i), 64);
    }
    const int32_t before = host.getProgram();
    for (int32_t p : {-1, facts.numPrograms}) {
        host.setProgram(p);
        const int32_t now = host.getProgram();
        if (now != before && (now < 0 || now >= facts.numPrograms)) {
            findings.warning("program " + std::to_string(p) + " accepted (reports " + std::to_string(now) +
                             ")");
        }
        findings.check(guardedText(host, effGetProgramNameIndexed, p, -1),
                       "program " + std::to_string(p) + " name", 64);
    }
    if (facts.numPrograms > 0) {
        host.setProgram(0);
    }
    VstPinProperties pin{};
    (void)host.getOutputProperties(facts.numOutputs, pin);
    (void)host.getInputProperties(facts.numInputs, pin);
    one.play({{0, 0x90, 60, 100}}, 4096);
    if (one.faults.any()) {
        return fail("after out-of-range requests: " + one.faults.describe());
    }
    return findings.outcome("parameters -1 and " + std::to_string(facts.numParams) + ", programs -1 and " +
                            std::to_string(facts.numPrograms) +
                            ", pins past the last: answered, still plays");
}

Outcome checkNullPointers(const CheckContext& context) {
    const std::string& path = context.path;
    const bool strict = context.strict;
    if (!strict) {
        return skip("only with --strict (plug-ins may rightly crash on these)");
    }
    Instance one(path, 44100.0f, 512);
    for (int32_t opcode :
         {effGetParamName, effGetParamLabel, effGetParamDisplay, effGetProgramName, effGetEffectName,
          effGetVendorString, effGetProductString, effGetProgramNameIndexed, effCanDo}) {
        one.host.dispatch(opcode, 0, 0, nullptr);
    }
    one.play({{0, 0x90, 60, 100}}, 2048);
    if (one.faults.any()) {
        return fail(one.faults.describe());
    }
    return pass("text requests and canDo with null pointers ignored");
}

Outcome checkOpenClose(const CheckContext& context) {
    const std::string& path = context.path;
    constexpr int cycles = 100;
    for (int i = 0; i < cycles; ++i) {
        Instance one(path, 44100.0f, 512);
        one.events.add(0, 0x90, 60, 100);
        one.block(512);
        one.host.switchOff();
        one.host.close();
        if (one.faults.any()) {
            return fail("cycle " + std::to_string(i + 1) + ": " + one.faults.describe());
        }
    }
    return pass(std::to_string(cycles) + " cycles of open, switch on, one block, switch off, close");
}

} // namespace solvantis::validation
