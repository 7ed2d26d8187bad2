#include "preset_file.h"

#include "cli_error.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace solvantis {

namespace {

constexpr size_t programHeaderSize = 56; // 'CcnK' .. the 28-byte name
constexpr size_t bankHeaderSize = 156;   // 'CcnK' .. the 128 bytes after the count
constexpr size_t nameSize = 28;
constexpr int32_t maxCount = 1 << 20;

int32_t fourCC(const char* text) {
    return int32_t((uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
                   (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3])));
}

// Reads the file's big-endian fields, refusing anything past its end.
class Reader {
public:
    Reader(const std::vector<uint8_t>& b, const std::string& n) : bytes(b), name(n) {}

    int32_t int32(size_t at, const char* what) const {
        need(at, 4, what);
        return int32_t((uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) |
                       (uint32_t(bytes[at + 2]) << 8) | uint32_t(bytes[at + 3]));
    }
    float float32(size_t at, const char* what) const {
        const uint32_t raw = uint32_t(int32(at, what));
        float value = 0.0f;
        std::memcpy(&value, &raw, sizeof value);
        return value;
    }
    std::string text(size_t at, size_t size) const {
        need(at, size, "the program name");
        const char* start = reinterpret_cast<const char*>(bytes.data() + at);
        return std::string(start, strnlen(start, size));
    }
    void need(size_t at, size_t size, const std::string& what) const {
        if (at > bytes.size() || size > bytes.size() - at) {
            fail("ends inside " + what + " (truncated file?)");
        }
    }
    [[noreturn]] void fail(const std::string& why) const {
        throw CliError("preset '" + name + "' is malformed: " + why);
    }

    const std::vector<uint8_t>& bytes;
    const std::string& name;
};

class Writer {
public:
    void int32(int32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(uint8_t(uint32_t(value) >> shift));
        }
    }
    void float32(float value) {
        uint32_t raw = 0;
        std::memcpy(&raw, &value, sizeof raw);
        int32(int32_t(raw));
    }
    void tag(const char* text) { int32(fourCC(text)); }
    void text(const std::string& value, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            bytes.push_back(i < value.size() && i + 1 < size ? uint8_t(value[i]) : 0);
        }
    }
    void zeros(size_t n) { bytes.insert(bytes.end(), n, 0); }
    void raw(const std::vector<uint8_t>& data) { bytes.insert(bytes.end(), data.begin(), data.end()); }
    // Fills in the byte size after 'CcnK' at `start` once the record is complete.
    void closeRecord(size_t start) {
        const uint32_t size = uint32_t(bytes.size() - start - 8);
        for (int i = 0; i < 4; ++i) {
            bytes[start + 4 + size_t(i)] = uint8_t(size >> (24 - 8 * i));
        }
    }
    std::vector<uint8_t> bytes;
};

// One program record at `at` (the whole file, or one program of a bank); returns its size.
size_t parseProgram(const Reader& in, size_t at, bool insideBank, PresetFile& preset,
                    PresetProgram& program) {
    if (in.int32(at, "the header") != fourCC("CcnK")) {
        in.fail(insideBank ? "a program of the bank has no 'CcnK' header" : "no 'CcnK' header");
    }
    const int32_t byteSize = in.int32(at + 4, "the header");
    const int32_t kind = in.int32(at + 8, "the header");
    const bool chunk = kind == fourCC("FPCh");
    if (kind != fourCC("FxCk") && !chunk) {
        in.fail(insideBank ? "a program of the bank is not 'FxCk'"
                           : "unknown kind (not 'FxCk', 'FPCh', 'FxBk' or 'FBCh')");
    }
    if (insideBank && chunk) {
        in.fail("a parameter bank holds a chunk program");
    }
    const int32_t version = in.int32(at + 12, "the header");
    const int32_t id = in.int32(at + 16, "the header");
    const int32_t count = in.int32(at + 24, "the header");
    if (version < 1 || version > 2) {
        in.fail("format version " + std::to_string(version) + " (1 or 2 expected)");
    }
    if (count < 0 || count > maxCount) {
        in.fail("a count of " + std::to_string(count) + " parameters");
    }
    program.name = in.text(at + 28, nameSize);
    size_t end = at + programHeaderSize;
    if (chunk) {
        const int32_t size = in.int32(end, "the chunk size");
        if (size < 0 || size_t(size) > in.bytes.size() - end - 4) {
            in.fail("a chunk of " + std::to_string(size) + " bytes does not fit in the file");
        }
        preset.data.assign(in.bytes.begin() + long(end + 4), in.bytes.begin() + long(end + 4 + size_t(size)));
        end += 4 + size_t(size);
    } else {
        in.need(end, 4 * size_t(count), "the parameter values");
        program.parameters.resize(size_t(count));
        for (int32_t i = 0; i < count; ++i) {
            const float value = in.float32(end + 4 * size_t(i), "the parameter values");
            if (!std::isfinite(value) || value < 0.0f || value > 1.0f) {
                in.fail("parameter " + std::to_string(i) + " has the value " + std::to_string(value) +
                        " (0 to 1 expected)");
            }
            program.parameters[size_t(i)] = value;
        }
        end += 4 * size_t(count);
    }
    if (int64_t(byteSize) != int64_t(end - at - 8)) {
        in.fail("its size field says " + std::to_string(byteSize) + " bytes, the record holds " +
                std::to_string(end - at - 8));
    }
    if (!insideBank) {
        preset.chunk = chunk;
        preset.version = version;
        preset.uniqueID = id;
        preset.pluginVersion = in.int32(at + 20, "the header");
        preset.count = count;
        preset.programName = program.name;
    }
    return end - at;
}

} // namespace

PresetFile parsePreset(const std::vector<uint8_t>& bytes, const std::string& name) {
    const Reader in(bytes, name);
    PresetFile preset;
    if (bytes.size() < 12 || in.int32(0, "the header") != fourCC("CcnK")) {
        throw CliError("'" + name + "' is not a VST preset file (no 'CcnK' header)");
    }
    const int32_t kind = in.int32(8, "the header");
    size_t end = 0;
    if (kind == fourCC("FxBk") || kind == fourCC("FBCh")) {
        preset.bank = true;
        preset.chunk = kind == fourCC("FBCh");
        preset.version = in.int32(12, "the header");
        preset.uniqueID = in.int32(16, "the header");
        preset.pluginVersion = in.int32(20, "the header");
        preset.count = in.int32(24, "the header");
        if (preset.version < 1 || preset.version > 2) {
            in.fail("format version " + std::to_string(preset.version) + " (1 or 2 expected)");
        }
        if (preset.count < 0 || preset.count > maxCount) {
            in.fail("a count of " + std::to_string(preset.count) + " programs");
        }
        preset.currentProgram = preset.version >= 2 ? in.int32(28, "the header") : 0;
        if (preset.currentProgram < 0 || (preset.count > 0 && preset.currentProgram >= preset.count)) {
            in.fail("current program " + std::to_string(preset.currentProgram) + " of " +
                    std::to_string(preset.count));
        }
        in.need(0, bankHeaderSize, "the header");
        end = bankHeaderSize;
        if (preset.chunk) {
            const int32_t size = in.int32(end, "the chunk size");
            if (size < 0 || size_t(size) > bytes.size() - end - 4) {
                in.fail("a chunk of " + std::to_string(size) + " bytes does not fit in the file");
            }
            preset.data.assign(bytes.begin() + long(end + 4), bytes.begin() + long(end + 4 + size_t(size)));
            end += 4 + size_t(size);
        } else {
            preset.programs.resize(size_t(preset.count));
            for (int32_t p = 0; p < preset.count; ++p) {
                end += parseProgram(in, end, true, preset, preset.programs[size_t(p)]);
                if (preset.programs[size_t(p)].parameters.size() != preset.programs[0].parameters.size()) {
                    in.fail("its programs hold different numbers of parameters");
                }
            }
        }
        if (int64_t(in.int32(4, "the header")) != int64_t(end - 8)) {
            in.fail("its size field says " + std::to_string(in.int32(4, "the header")) +
                    " bytes, the bank holds " + std::to_string(end - 8));
        }
    } else {
        preset.programs.resize(1);
        end = parseProgram(in, 0, false, preset, preset.programs[0]);
        if (preset.chunk) {
            preset.programs.clear();
        }
    }
    if (end != bytes.size()) {
        in.fail(std::to_string(bytes.size() - end) +
                (bytes.size() - end == 1 ? " byte follows" : " bytes follow") + " its end");
    }
    return preset;
}

std::vector<uint8_t> serializePreset(const PresetFile& preset) {
    Writer out;
    auto program = [&](const PresetProgram* values, int32_t version) {
        const size_t start = out.bytes.size();
        out.tag("CcnK");
        out.int32(0);
        out.tag(preset.chunk ? "FPCh" : "FxCk");
        out.int32(version);
        out.int32(preset.uniqueID);
        out.int32(preset.pluginVersion);
        out.int32(values != nullptr ? int32_t(values->parameters.size()) : preset.count);
        out.text(values != nullptr ? values->name : preset.programName, nameSize);
        if (values == nullptr) {
            out.int32(int32_t(preset.data.size()));
            out.raw(preset.data);
        } else {
            for (float v : values->parameters) {
                out.float32(v);
            }
        }
        out.closeRecord(start);
    };
    if (!preset.bank) {
        program(preset.chunk ? nullptr : &preset.programs.at(0), 1);
        return out.bytes;
    }
    out.tag("CcnK");
    out.int32(0);
    out.tag(preset.chunk ? "FBCh" : "FxBk");
    out.int32(2);
    out.int32(preset.uniqueID);
    out.int32(preset.pluginVersion);
    out.int32(preset.chunk ? preset.count : int32_t(preset.programs.size()));
    out.int32(preset.currentProgram);
    out.zeros(124);
    if (preset.chunk) {
        out.int32(int32_t(preset.data.size()));
        out.raw(preset.data);
    } else {
        for (const PresetProgram& p : preset.programs) {
            program(&p, 1);
        }
    }
    out.closeRecord(0);
    return out.bytes;
}

PresetFile readPresetFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw CliError("preset '" + path + "' does not exist");
    }
    if (!S_ISREG(info.st_mode) || info.st_size > (off_t(256) << 20)) {
        throw CliError("preset '" + path + "' is not a preset file");
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
        throw CliError("cannot read preset '" + path + "'");
    }
    return parsePreset(bytes, path);
}

PresetFile capturePreset(PluginHost& host, bool bank) {
    PresetFile preset;
    preset.bank = bank;
    preset.chunk = (host.flags() & effFlagsProgramChunks) != 0;
    preset.uniqueID = host.uniqueID();
    preset.pluginVersion = host.version();
    preset.currentProgram = std::max(host.getProgram(), 0);
    preset.programName = host.getProgramName();
    if (preset.chunk) {
        void* data = nullptr;
        const intptr_t size = host.dispatch(effGetChunk, bank ? 0 : 1, 0, &data);
        if (size <= 0 || data == nullptr || size > (intptr_t(1) << 30)) {
            throw CliError("the plug-in keeps its programs as chunks but gave none");
        }
        if (!copyPluginBytes(data, size_t(size), preset.data)) {
            throw CliError("the plug-in's chunk of " + std::to_string(size) +
                           " bytes points at memory that cannot be read");
        }
        preset.count = bank ? host.numPrograms() : host.numParams();
        return preset;
    }
    auto values = [&] {
        PresetProgram p;
        p.name = host.getProgramName();
        for (int32_t i = 0; i < host.numParams(); ++i) {
            p.parameters.push_back(std::clamp(host.getParameter(i), 0.0f, 1.0f));
        }
        return p;
    };
    if (!bank) {
        preset.programs.push_back(values());
        preset.count = host.numParams();
        return preset;
    }
    // The current program as it is now: a plug-in may reload a program's stored values when it is
    // selected, so its unsaved changes are read first and given back after the other programs are read.
    const PresetProgram live = values();
    for (int32_t p = 0; p < host.numPrograms(); ++p) {
        if (p == preset.currentProgram) {
            preset.programs.push_back(live);
            continue;
        }
        host.setProgram(p);
        preset.programs.push_back(values());
    }
    host.setProgram(preset.currentProgram);
    for (size_t i = 0; i < live.parameters.size(); ++i) {
        host.setParameter(int32_t(i), live.parameters[i]);
    }
    preset.count = int32_t(preset.programs.size());
    return preset;
}

void applyPreset(PluginHost& host, const PresetFile& preset, const std::string& name, bool force) {
    const std::string quoted = "preset '" + name + "'";
    if (preset.uniqueID != host.uniqueID() && !force) {
        throw CliError(quoted + " is for the plug-in '" + fourCharacters(preset.uniqueID) + "', not '" +
                       fourCharacters(host.uniqueID()) + "' (--force loads it anyway)");
    }
    if (preset.chunk) {
        if ((host.flags() & effFlagsProgramChunks) == 0) {
            throw CliError(quoted + " holds a chunk, and the plug-in takes none");
        }
        // A copy that outlives the call, with zeros after its end: some plug-ins read a text chunk as a
        // C string, past the size they are given.
        std::vector<uint8_t> data = preset.data;
        data.resize(preset.data.size() + 16, 0);
        host.dispatch(effSetChunk, preset.bank ? 0 : 1, intptr_t(preset.data.size()), data.data());
        if (!preset.bank) {
            host.setProgramName(preset.programName);
        }
        return;
    }
    const size_t expected = size_t(std::max(host.numParams(), 0));
    if (preset.programs.empty() || preset.programs.front().parameters.size() != expected) {
        throw CliError(
            quoted + " holds " +
            std::to_string(preset.programs.empty() ? 0 : preset.programs.front().parameters.size()) +
            " parameters; the plug-in has " + std::to_string(expected));
    }
    if (preset.programs.size() > size_t(std::max(host.numPrograms(), 1))) {
        throw CliError(quoted + " holds " + std::to_string(preset.programs.size()) +
                       " programs; the plug-in has " + std::to_string(host.numPrograms()));
    }
    auto load = [&](const PresetProgram& p) {
        for (size_t i = 0; i < p.parameters.size(); ++i) {
            host.setParameter(int32_t(i), p.parameters[i]);
        }
        host.setProgramName(p.name);
    };
    if (!preset.bank) {
        load(preset.programs.front());
        return;
    }
    for (size_t p = 0; p < preset.programs.size(); ++p) {
        host.setProgram(int32_t(p));
        load(preset.programs[p]);
    }
    host.setProgram(std::min(preset.currentProgram, int32_t(preset.programs.size()) - 1));
}

} // namespace solvantis
