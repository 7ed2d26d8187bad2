#include "info.h"
#include "printable.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace solvantis {

namespace {

std::string hex32(int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", unsigned(value));
    return text;
}

std::string boundedText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

nlohmann::ordered_json pin(const VstPinProperties& p, int32_t index) {
    nlohmann::ordered_json j;
    j["index"] = index;
    j["label"] = boundedText(p.label, sizeof p.label);
    j["shortLabel"] = boundedText(p.shortLabel, sizeof p.shortLabel);
    nlohmann::ordered_json flags = nlohmann::ordered_json::array();
    if (p.flags & kVstPinIsActive) {
        flags.push_back("active");
    }
    if (p.flags & kVstPinIsStereo) {
        flags.push_back("stereo");
    }
    j["flags"] = flags;
    return j;
}

nlohmann::ordered_json pins(PluginHost& host, int32_t count, bool outputs) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (int32_t i = 0; i < count && i < 64; ++i) {
        VstPinProperties p{};
        const bool answered = outputs ? host.getOutputProperties(i, p) : host.getInputProperties(i, p);
        if (answered) {
            list.push_back(pin(p, i));
        }
    }
    return list;
}

// Plug-ins that announce absurd counts are still shown, up to this many entries.
constexpr int32_t listLimit = 4096;

// "12", or "the first 4096 of 1000000000" where the list stops short of what the plug-in reports.
std::string listedCount(size_t listed, int64_t reported) {
    if (reported > int64_t(listed)) {
        return "the first " + std::to_string(listed) + " of " + std::to_string(reported);
    }
    return std::to_string(listed);
}

} // namespace

std::vector<std::string> flagNames(int32_t flags) {
    static const std::pair<int32_t, const char*> names[] = {
        {effFlagsHasEditor, "hasEditor"},
        {effFlagsHasClip, "hasClip"},
        {effFlagsHasVu, "hasVu"},
        {effFlagsCanMono, "canMono"},
        {effFlagsCanReplacing, "canReplacing"},
        {effFlagsProgramChunks, "programChunks"},
        {effFlagsIsSynth, "isSynth"},
        {effFlagsNoSoundInStop, "noSoundInStop"},
        {effFlagsExtIsAsync, "extIsAsync"},
        {effFlagsExtHasBuffer, "extHasBuffer"},
    };
    std::vector<std::string> set;
    int32_t known = 0;
    for (const auto& [bit, name] : names) {
        known |= bit;
        if (flags & bit) {
            set.emplace_back(name);
        }
    }
    for (int bit = 0; bit < 32; ++bit) {
        const int32_t mask = int32_t(uint32_t(1) << bit);
        if ((flags & mask) && !(known & mask)) {
            set.push_back("bit" + std::to_string(bit));
        }
    }
    return set;
}

std::string categoryName(int32_t category) {
    static const char* names[] = {"unknown",     "effect",         "synth",  "analysis",
                                  "mastering",   "spacializer",    "roomFx", "surroundFx",
                                  "restoration", "offlineProcess", "shell",  "generator"};
    if (category >= 0 && category < int32_t(std::size(names))) {
        return names[category];
    }
    return "category " + std::to_string(category);
}

const std::vector<std::string>& usualCapabilities() {
    static const std::vector<std::string> strings = {
        "sendVstEvents",
        "sendVstMidiEvent",
        "receiveVstEvents",
        "receiveVstMidiEvent",
        "receiveVstTimeInfo",
        "midiProgramNames",
        "offline",
        "bypass",
        "plugAsChannelInsert",
        "plugAsSend",
        "mixDryWet",
        "noRealTime",
        "multipass",
        "metapass",
        "1in1out",
        "1in2out",
        "2in1out",
        "2in2out",
        "2in4out",
        "4in2out",
        "4in4out",
        "4in8out",
        "8in4out",
        "8in8out",
        "midiKeyBasedInstrumentControl",
        "midiSingleNoteTuningChange",
        "conformsToWindowRules",
    };
    return strings;
}

nlohmann::ordered_json collectInfo(PluginHost& host, bool alreadyOpen) {
    if (!alreadyOpen) {
        host.open();
    }
    nlohmann::ordered_json info;
    info["path"] = host.path();
    info["entry"] = host.entryName();
    info["effectName"] = host.getEffectName();
    info["vendor"] = host.getVendorString();
    info["product"] = host.getProductString();
    info["vendorVersion"] = host.getVendorVersion();
    info["uniqueID"] = {{"text", fourCharacters(host.uniqueID())},
                        {"hex", hex32(host.uniqueID())},
                        {"value", host.uniqueID()}};
    const int32_t category = host.getPlugCategory();
    info["category"] = {{"value", category}, {"name", categoryName(category)}};
    info["vstVersion"] = host.getVstVersion();
    info["version"] = host.version();
    info["inputs"] = host.numInputs();
    info["outputs"] = host.numOutputs();
    info["flags"] = {
        {"value", host.flags()}, {"hex", hex32(host.flags())}, {"names", flagNames(host.flags())}};
    info["initialDelay"] = host.effect()->initialDelay;
    info["tailSize"] = host.getTailSize();

    const int32_t current = host.getProgram();
    info["currentProgram"] = current;
    // The values as found, before any program is selected for its name: a plug-in may reload a
    // program's stored values when it is selected again.
    nlohmann::ordered_json parameters = nlohmann::ordered_json::array();
    const int32_t parameterCount = std::clamp(host.numParams(), 0, listLimit);
    for (int32_t i = 0; i < parameterCount; ++i) {
        nlohmann::ordered_json p;
        p["index"] = i;
        p["name"] = host.getParameterName(i);
        p["label"] = host.getParameterLabel(i);
        p["display"] = host.getParameterDisplay(i);
        p["value"] = host.getParameter(i);
        parameters.push_back(p);
    }

    nlohmann::ordered_json programs = nlohmann::ordered_json::array();
    const int32_t programCount = std::clamp(host.numPrograms(), 0, listLimit);
    bool switched = false;
    for (int32_t i = 0; i < programCount; ++i) {
        std::string name;
        if (!host.getProgramNameIndexed(-1, i, name)) {
            // The older way: select the program and read the current name.
            host.setProgram(i);
            switched = true;
            name = host.getProgramName();
        }
        programs.push_back({{"index", i}, {"name", name}});
    }
    if (switched) {
        host.setProgram(current);
    }
    // The counts the plug-in reports; the lists stop at listLimit, and the text says where.
    info["programCount"] = host.numPrograms();
    info["programs"] = programs;
    info["parameterCount"] = host.numParams();
    info["parameters"] = parameters;

    nlohmann::ordered_json canDo;
    for (const std::string& capability : usualCapabilities()) {
        canDo[capability] = host.canDo(capability);
    }
    info["canDo"] = canDo;
    info["inputPins"] = pins(host, host.numInputs(), false);
    info["outputPins"] = pins(host, host.numOutputs(), true);
    return info;
}

std::string infoText(const nlohmann::ordered_json& info) {
    std::ostringstream out;
    auto row = [&](const char* label, const std::string& value) {
        char head[32];
        std::snprintf(head, sizeof head, "%-15s", label);
        out << head << value << '\n';
    };
    auto str = [](const nlohmann::ordered_json& j) {
        return printable(j.is_string() ? j.get<std::string>() : j.dump());
    };

    row("Plug-in", str(info["path"]) + " (entry " + str(info["entry"]) + ")");
    row("Effect name", str(info["effectName"]));
    row("Vendor", str(info["vendor"]) + ", version " + str(info["vendorVersion"]));
    row("Product", str(info["product"]));
    row("Unique ID",
        std::string("'") + str(info["uniqueID"]["text"]) + "' (" + str(info["uniqueID"]["hex"]) + ")");
    row("Category", str(info["category"]["name"]) + " (" + str(info["category"]["value"]) + ")");
    row("VST version", str(info["vstVersion"]));
    row("Audio", str(info["inputs"]) + " inputs, " + str(info["outputs"]) + " outputs");
    std::string flags;
    for (const auto& name : info["flags"]["names"]) {
        flags += name.get<std::string>() + " ";
    }
    row("Flags", flags + "(" + str(info["flags"]["hex"]) + ")");
    row("Initial delay", str(info["initialDelay"]) + " samples");
    row("Tail size", str(info["tailSize"]) + " samples");

    std::string yes;
    std::string no;
    for (const auto& [name, answer] : info["canDo"].items()) {
        const auto value = answer.get<int64_t>();
        if (value > 0) {
            yes += name + " ";
        } else if (value < 0) {
            no += name + " ";
        }
    }
    row("Can do", yes.empty() ? "-" : yes);
    row("Cannot do", no.empty() ? "-" : no);
    for (const char* key : {"inputPins", "outputPins"}) {
        for (const auto& p : info[key]) {
            std::string f;
            for (const auto& name : p["flags"]) {
                f += ' ';
                f += name.get<std::string>();
            }
            row(std::string(key) == "inputPins" ? "Input pin" : "Output pin",
                str(p["index"]) + ": \"" + str(p["label"]) + "\" (short \"" + str(p["shortLabel"]) + "\")" +
                    f);
        }
    }

    if (info.contains("programs")) {
        const auto& programs = info["programs"];
        // A bank of one name over and over says so in one line instead of a page.
        const bool allAlike =
            programs.size() > 1 && std::all_of(programs.begin(), programs.end(), [&](const auto& p) {
                return p["name"] == programs.front()["name"];
            });
        if (allAlike) {
            out << "\nPrograms: " << programs.size() << " programs, all named "
                << str(programs.front()["name"]) << " (current " << str(info["currentProgram"]) << ")\n";
        } else {
            out << "\nPrograms (" << listedCount(programs.size(), info.value("programCount", 0))
                << ", current " << str(info["currentProgram"]) << "):\n";
            for (const auto& p : programs) {
                char line[128];
                std::snprintf(line, sizeof line, "  %4lld  ",
                              static_cast<long long>(p["index"].get<int64_t>()));
                out << line << str(p["name"]) << '\n';
            }
        }
    }
    out << "\nParameters (" << listedCount(info["parameters"].size(), info.value("parameterCount", 0))
        << "):\n";
    out << "  index  name              display           label     value\n";
    for (const auto& p : info["parameters"]) {
        char line[256];
        std::snprintf(line, sizeof line, "  %5lld  %-16s  %-16s  %-8s  %.6f",
                      static_cast<long long>(p["index"].get<int64_t>()), str(p["name"]).c_str(),
                      str(p["display"]).c_str(), str(p["label"]).c_str(), p["value"].get<double>());
        out << line << '\n';
    }
    return out.str();
}

} // namespace solvantis
