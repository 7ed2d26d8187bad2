// Preset files: saved by `preset save`, loaded by --preset, read back equal; for ours and Kars (lists
// of parameter values) and amsynth (opaque chunks); malformed files of each kind refused in one line.
#include "integration/host_loader_support.h"
#include "preset_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace solvantis;
using namespace solvantis::testing;

namespace {

const char* amsynthPath = "/usr/lib/vst/amsynth_vst.so";

std::vector<uint8_t> bytesOf(const std::string& path) {
    const std::string text = readFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

class CliPreset : public ::testing::Test {
protected:
    RunResult run(std::vector<std::string> args) {
        // amsynth keeps its settings under the home folder.
        std::filesystem::create_directories(scratch.path(".local/share"));
        return runCli(scratch, args, {{"HOME", scratch.root()}});
    }
    // The parameter values the plug-in reports after loading the preset.
    std::vector<float> valuesAfterLoading(const std::string& plugin, const std::string& preset) {
        const RunResult info = run({"info", "--plugin", plugin, "--preset", preset, "--json"});
        EXPECT_EQ(info.exitCode, 0) << info.err;
        std::vector<float> values;
        if (info.exitCode == 0) {
            const nlohmann::json report = nlohmann::json::parse(info.out);
            for (const auto& p : report["parameters"]) {
                values.push_back(p["value"].get<float>());
            }
        }
        return values;
    }
    ScratchFolder scratch;
};

} // namespace

TEST_F(CliPreset, SavedPresetsLoadBackEqual) {
    ASSERT_TRUE(std::filesystem::exists(amsynthPath)) << "scripts/setup installs amsynth";
    const std::string ours = SOLVANTIS_PLUGIN_PATH;
    struct Case {
        std::string plugin;
        std::string file;
        std::vector<std::string> more; // what is set before saving
        int parameter;
        float value;
        std::string kind; // the file's form
    };
    const std::vector<Case> cases = {
        {ours, "ours.fxp", {"--set", "Chorus=0.75"}, 14, 0.75f, "FxCk"},
        {ours, "ours.fxb", {"--program", "3", "--set", "Chorus=0.25"}, 14, 0.25f, "FxBk"},
        {karsPath, "kars.fxp", {"--set", "1=0.375"}, 1, 0.375f, "FxCk"},
        {karsPath, "kars.fxb", {"--set", "Volume=0.5"}, 2, 0.5f, "FxBk"},
        {amsynthPath, "amsynth.fxp", {"--program", "5", "--set", "0=0.25"}, 0, 0.25f, "FPCh"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> save = {"preset", "save", c.file, "--plugin", c.plugin};
        save.insert(save.end(), c.more.begin(), c.more.end());
        const RunResult saved = run(save);
        ASSERT_EQ(saved.exitCode, 0) << c.file << ": " << saved.err;
        EXPECT_EQ(saved.out.rfind(c.file + ": ", 0), 0u) << saved.out;
        EXPECT_EQ(readFile(scratch.path(c.file)).substr(8, 4), c.kind) << c.file;

        const std::vector<float> values = valuesAfterLoading(c.plugin, c.file);
        ASSERT_GT(values.size(), size_t(c.parameter)) << c.file;
        EXPECT_EQ(values[size_t(c.parameter)], c.value) << c.file;

        // Loaded and saved again, the preset holds the same values (or the same chunk).
        const std::string again = "again-" + c.file;
        ASSERT_EQ(run({"preset", "save", again, "--plugin", c.plugin, "--preset", c.file}).exitCode, 0)
            << c.file;
        const PresetFile first = parsePreset(bytesOf(scratch.path(c.file)), c.file);
        const PresetFile second = parsePreset(bytesOf(scratch.path(again)), again);
        EXPECT_EQ(first.data, second.data) << c.file;
        ASSERT_EQ(first.programs.size(), second.programs.size()) << c.file;
        for (size_t p = 0; p < first.programs.size(); ++p) {
            EXPECT_EQ(first.programs[p].parameters, second.programs[p].parameters)
                << c.file << " program " << p;
            EXPECT_EQ(first.programs[p].name, second.programs[p].name) << c.file << " program " << p;
        }
        EXPECT_EQ(values, valuesAfterLoading(c.plugin, again)) << c.file;
    }
}

// --preset changes the sound of a render: ours with the volume at 0 is silent.
TEST_F(CliPreset, ARenderPlaysThePreset) {
    ASSERT_EQ(run({"preset", "save", "mute.fxp", "--set", "Volume=0"}).exitCode, 0);
    RunResult render = run({"render", "-o", "mute.wav", "--preset", "mute.fxp"});
    EXPECT_EQ(render.exitCode, 0) << render.err;
    EXPECT_NE(render.err.find("the render is silent"), std::string::npos) << render.err;
    render = run({"render", "-o", "loud.wav"});
    EXPECT_EQ(render.err, "");
    // Made for another plug-in: refused, unless forced.
    render =
        run({"render", "-o", "kars.wav", "--rate", "8000", "--plugin", karsPath, "--preset", "mute.fxp"});
    EXPECT_EQ(render.err,
              "solvantis: preset 'mute.fxp' is for the plug-in 'kwbt', not 'DKrs' (--force loads it "
              "anyway)\n");
    EXPECT_FALSE(std::filesystem::exists(scratch.path("kars.wav")));
}

TEST_F(CliPreset, MalformedPresetsOfEveryKindAreRefusedInOneLine) {
    const std::string ours = SOLVANTIS_PLUGIN_PATH;
    ASSERT_EQ(run({"preset", "save", "ours.fxp"}).exitCode, 0);
    ASSERT_EQ(run({"preset", "save", "ours.fxb"}).exitCode, 0);
    ASSERT_EQ(run({"preset", "save", "ams.fxp", "--plugin", amsynthPath}).exitCode, 0);
    ASSERT_EQ(run({"preset", "save", "ams.fxb", "--plugin", amsynthPath}).exitCode, 0);

    using Bytes = std::string;
    auto put32 = [](Bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            b[at + size_t(i)] = char(v >> (24 - 8 * i));
        }
    };
    struct Damage {
        const char* name;
        std::function<void(Bytes&, bool chunk, bool bank)> apply;
        const char* says;
    };
    const std::vector<Damage> damages = {
        {"no header", [](Bytes& b, bool, bool) { b[3] = 'X'; }, "is not a VST preset file"},
        {"cut short", [](Bytes& b, bool, bool) { b.resize(b.size() - 3); }, "is malformed"},
        {"a byte more", [](Bytes& b, bool, bool) { b += '\0'; }, "is malformed"},
        {"unknown kind", [](Bytes& b, bool, bool) { b[8] = 'Q'; }, "unknown kind"},
        {"version 3", [&](Bytes& b, bool, bool) { put32(b, 12, 3); }, "format version 3"},
        {"size field", [&](Bytes& b, bool, bool) { put32(b, 4, uint32_t(b.size())); }, "its size field says"},
        {"NaN or a chunk too large",
         [&](Bytes& b, bool chunk, bool bank) {
             // The first parameter of the first program, or the chunk's size.
             const size_t at = bank ? 156 : 56;
             put32(b, chunk ? at : (bank ? at + 56 : at), chunk ? 0x7FFFFFF0u : 0x7FC00000u);
         },
         ""},
    };
    for (const std::string file : {"ours.fxp", "ours.fxb", "ams.fxp", "ams.fxb"}) {
        const bool chunk = file.rfind("ams", 0) == 0;
        const bool bank = file.back() == 'b';
        const Bytes good = readFile(scratch.path(file));
        for (const Damage& d : damages) {
            Bytes bad = good;
            d.apply(bad, chunk, bank);
            scratch.write("bad-" + file, bad);
            const RunResult info =
                run({"info", "--plugin", chunk ? amsynthPath : ours, "--preset", "bad-" + file});
            const std::string says = *d.says ? d.says
                                     : chunk ? "does not fit in the file"
                                             : "has the value nan";
            EXPECT_EQ(info.exitCode, 1) << file << ", " << d.name;
            EXPECT_EQ(info.out, "") << file << ", " << d.name;
            EXPECT_EQ(info.err.rfind("solvantis: ", 0), 0u) << info.err;
            EXPECT_NE(info.err.find("bad-" + file), std::string::npos) << info.err;
            EXPECT_NE(info.err.find(says), std::string::npos) << file << ", " << d.name << ": " << info.err;
            EXPECT_EQ(std::count(info.err.begin(), info.err.end(), '\n'), 1) << info.err;
        }
        // Another plug-in's ID: refused, and loaded with --force.
        Bytes other = good;
        other[16] = 'Z';
        scratch.write("other-" + file, other);
        const std::string plugin = chunk ? amsynthPath : ours;
        EXPECT_NE(run({"info", "--plugin", plugin, "--preset", "other-" + file}).err.find("--force"),
                  std::string::npos);
        EXPECT_EQ(run({"info", "--plugin", plugin, "--preset", "other-" + file, "--force"}).exitCode, 0)
            << file;
    }
}

// A program name from a preset, control characters and all, is printed escaped: one line, nothing for
// the terminal.
TEST_F(CliPreset, AProgramNameIsPrintedEscaped) {
    ASSERT_EQ(run({"preset", "save", "plain.fxp"}).exitCode, 0);
    std::string bytes = readFile(scratch.path("plain.fxp"));
    const std::string name = std::string("a\x1b[2Jb\nc") + '\0';
    bytes.replace(28, name.size(), name); // the program's name, 28 bytes from the start
    scratch.write("named.fxp", bytes);
    const RunResult saved = run({"preset", "save", "again.fxp", "--preset", "named.fxp"});
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_NE(saved.out.find("program 'a\\x1b[2Jb\\nc'"), std::string::npos) << saved.out;
    EXPECT_EQ(std::count(saved.out.begin(), saved.out.end(), '\n'), 1) << saved.out;
}
