// `solvantis validate`: passes on well-behaved plug-ins (ours, a third-party one, a small fake) and
// fails, with the right check named, on fakes broken in one way each.
#include "integration/host_loader_support.h"
#include "validate.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>

using namespace solvantis;
using namespace solvantis::testing;
using nlohmann::json;

namespace {

// The variants of validate_fake_plugin.cc, each compiled once, when a test first asks for it. (CTest
// runs every test in a process of its own, so a suite-wide build of all variants would repeat.)
class CliValidate : public ::testing::Test {
protected:
    static void SetUpTestSuite() { scratch = new ScratchFolder; }
    static void TearDownTestSuite() {
        delete scratch;
        scratch = nullptr;
        plugins.clear();
    }

    // Compiles the variants not built yet, side by side.
    static void build(const std::vector<std::string>& variants) {
        const std::string source =
            std::string(SOLVANTIS_SOURCE_DIR) + "/tests/integration/validate_fake_plugin.cc";
        std::string command;
        for (const std::string& v : variants) {
            if (plugins.count(v) != 0) {
                continue;
            }
            const std::string out = scratch->path("fake" + v + ".so");
            command += "c++ -std=c++20 -shared -fPIC -O1 -I" +
                       shellQuote(std::string(SOLVANTIS_SOURCE_DIR) + "/src") + (v.empty() ? "" : " -D" + v) +
                       " " + shellQuote(source) + " -o " + shellQuote(out) + " & ";
            plugins[v] = out;
        }
        if (!command.empty()) {
            command += "wait";
            EXPECT_EQ(std::system(command.c_str()), 0);
        }
    }

    static std::string plugin(const std::string& variant) {
        build({variant});
        const std::string path = plugins[variant];
        EXPECT_TRUE(std::filesystem::exists(path)) << "fake plug-in " << variant << " did not build";
        return path;
    }

    static std::map<std::string, CheckResult> run(const std::string& path, bool strict = false,
                                                  bool isolate = true, unsigned timeout = 60) {
        ValidateOptions options;
        options.timeoutSeconds = timeout;
        options.pluginPath = path;
        options.strict = strict;
        options.isolate = isolate;
        const ValidateReport report = runValidate(options);
        std::map<std::string, CheckResult> byName;
        for (const CheckResult& c : report.checks) {
            byName[c.name] = c;
        }
        EXPECT_EQ(report.checks.size(), checkNames().size());
        return byName;
    }

    static ScratchFolder* scratch;
    static std::map<std::string, std::string> plugins;
};

ScratchFolder* CliValidate::scratch = nullptr;
std::map<std::string, std::string> CliValidate::plugins;

std::string statuses(const std::map<std::string, CheckResult>& checks) {
    std::string text;
    for (const auto& [name, c] : checks) {
        text += name + ": " + statusName(c.status) + " " + c.reason + "\n";
    }
    return text;
}

} // namespace

TEST_F(CliValidate, OurPluginPassesEveryCheckThatApplies) {
    const auto checks = run(SOLVANTIS_PLUGIN_PATH, true);
    for (const auto& [name, c] : checks) {
        EXPECT_NE(c.status, CheckStatus::Fail) << name << ": " << c.reason;
    }
    // The checks that compare renders or push parameters found something to work on.
    for (const char* name :
         {"determinism", "independence", "process-entries-agree", "silence-before-notes", "null-pointers",
          "zero-frames", "open-close-cycles", "block-size-independence", "automation", "hostile-values",
          "changes-from-another-thread", "audio-allocation", "parameter-sweeps", "sample-rates"}) {
        EXPECT_EQ(checks.at(name).status, CheckStatus::Pass) << name << ": " << checks.at(name).reason;
    }
    // "Modulation " is longer than the 8 characters hosts traditionally show: a warning, not a failure.
    EXPECT_EQ(checks.at("parameter-texts").status, CheckStatus::Warn);
}

TEST_F(CliValidate, ThirdPartyPluginPassesButForItsShortNotesAtLargeBlocks) {
    if (!std::filesystem::exists(karsPath)) {
        GTEST_SKIP() << karsPath << " is not installed (scripts/setup installs it)";
    }
    // Kars plays a 50 ms note about 10 dB softer when it falls inside one block of 4096 frames.
    ScratchFolder here;
    const RunResult cli =
        runCli(here, {"validate", "--plugin", karsPath, "--strict", "--skip", "block-size-independence"});
    EXPECT_EQ(cli.exitCode, 0) << cli.out;
    EXPECT_NE(cli.out.find(" 0 failed"), std::string::npos) << cli.out;
    EXPECT_EQ(cli.out.find("block-size-independence"), std::string::npos) << cli.out;
    // One render per fresh process is reproducible; instances in one process draw from one generator.
    const auto checks = run(karsPath);
    EXPECT_EQ(checks.at("determinism").status, CheckStatus::Warn) << checks.at("determinism").reason;
    EXPECT_EQ(checks.at("process-entries-agree").status, CheckStatus::Pass);
    EXPECT_EQ(checks.at("block-size-independence").status, CheckStatus::Fail);
    EXPECT_NE(checks.at("block-size-independence").reason.find("at block 4096"), std::string::npos)
        << checks.at("block-size-independence").reason;
}

TEST_F(CliValidate, WellBehavedFakePassesAndRunsAlikeWithoutChildProcesses) {
    const auto isolated = run(plugin(""), true);
    for (const auto& [name, c] : isolated) {
        EXPECT_EQ(c.status, CheckStatus::Pass) << name << ": " << c.reason;
    }
    const auto inProcess = run(plugin(""), true, false);
    for (const auto& [name, c] : isolated) {
        EXPECT_EQ(inProcess.at(name).status, c.status) << name << ": " << inProcess.at(name).reason;
    }
}

TEST_F(CliValidate, EachBrokenFakeFailsTheCheckForItsFault) {
    // The checks each fake fails, words the first one's reason must hold, and whether no other check
    // may fail (a NaN, say, rightly fails everything that listens).
    struct Expected {
        std::vector<std::string> checks;
        std::string because;
        bool alone = false;
    };
    const std::map<std::string, Expected> failing = {
        {"FAKE_NAN",
         {{"host-order", "rates-and-blocks", "notes-every-offset", "pitch-bend", "controllers"},
          "not finite"}},
        {"FAKE_UNTOUCHED", {{"silence-before-notes", "host-order"}, "as the host filled them"}},
        {"FAKE_SHARED", {{"independence"}, "changed while another instance played"}},
        {"FAKE_LONG_NAME", {{"parameter-texts"}, "64-byte buffer"}},
        {"FAKE_CRASH_RANGE", {{"out-of-range"}, "crashed (SIGSEGV) in getParameter (index -1)"}},
        {"FAKE_CRASH_RATE",
         {{"sample-rates"}, "crashed (SIGABRT) in effSetSampleRate (rate 176400 Hz)", true}},
        {"FAKE_PROCESS_HALF", {{"process-entries-agree"}, "differ"}},
        {"FAKE_BLOCK_RAMP", {{"block-size-independence"}, "at block 16 against", true}},
        {"FAKE_RUNAWAY", {{"parameter-sweeps", "automation"}, "parameter 1 'Tone' swept from 1 to 0"}},
        {"FAKE_POISONED",
         {{"hostile-values"},
          "after NaN on parameter 0 and its value put back: the next note is silent",
          true}},
        {"FAKE_ALLOCATING", {{"audio-allocation"}, "in processReplacing", true}},
        {"FAKE_BAD_CHUNK", {{"programs"}, "chunk of 64 bytes at 0x10 is not readable memory", true}},
        {"FAKE_LONG_IDENTITY", {{"record"}, "effect name wrote past the host's 64-byte buffer", true}},
    };
    std::vector<std::string> variants;
    for (const auto& entry : failing) {
        variants.push_back(entry.first);
    }
    variants.push_back("FAKE_NO_OUTPUTS");
    variants.push_back("FAKE_UNSEEDED");
    variants.push_back("FAKE_CRASH_LOAD");
    build(variants);
    std::map<std::string, std::map<std::string, CheckResult>> results;
    for (const auto& [variant, expected] : failing) {
        const auto& checks = results[variant] = run(plugin(variant), true);
        for (const auto& [name, c] : checks) {
            const bool wanted = std::count(expected.checks.begin(), expected.checks.end(), name) > 0;
            if (wanted || expected.alone) {
                EXPECT_EQ(c.status == CheckStatus::Fail, wanted) << variant << "\n" << statuses(checks);
            }
        }
        // Each fault is found where it is, not everywhere: the record itself is fine.
        if (expected.checks.front() != "record") {
            EXPECT_EQ(checks.at("record").status, CheckStatus::Pass) << variant;
        }
        const std::string& reason = checks.at(expected.checks.front()).reason;
        EXPECT_NE(reason.find(expected.because), std::string::npos) << variant << ": " << reason;
    }
    // A crash fails its own check only; the checks after it still run and pass. A crash on null
    // pointers, which only --strict sends, is a warning that names the call.
    const auto& crashing = results["FAKE_CRASH_RANGE"];
    EXPECT_EQ(crashing.at("open-close-cycles").status, CheckStatus::Pass);
    EXPECT_EQ(crashing.at("null-pointers").status, CheckStatus::Warn);
    EXPECT_NE(crashing.at("null-pointers").reason.find("crashed (SIGSEGV) in effGetEffectName"),
              std::string::npos)
        << crashing.at("null-pointers").reason;
    // A synth without outputs is a broken record, and there is nothing to listen to.
    const auto mute = run(plugin("FAKE_NO_OUTPUTS"));
    EXPECT_EQ(mute.at("record").status, CheckStatus::Fail);
    EXPECT_NE(mute.at("record").reason.find("synth but has no outputs"), std::string::npos)
        << mute.at("record").reason;
    EXPECT_EQ(mute.at("determinism").status, CheckStatus::Skip);
    // A plug-in that crashes as it loads fails the record check; nothing else can run.
    const auto unloadable = run(plugin("FAKE_CRASH_LOAD"));
    EXPECT_NE(unloadable.at("record").reason.find("crashed (SIGABRT) in VSTPluginMain"), std::string::npos)
        << unloadable.at("record").reason;
    EXPECT_EQ(unloadable.at("record").status, CheckStatus::Fail);
    EXPECT_EQ(unloadable.at("open-close-cycles").status, CheckStatus::Skip);
    // Noise that differs from run to run is a design choice, not a fault.
    const auto unseeded = run(plugin("FAKE_UNSEEDED"));
    EXPECT_EQ(unseeded.at("determinism").status, CheckStatus::Warn) << unseeded.at("determinism").reason;
    EXPECT_FALSE(std::any_of(unseeded.begin(), unseeded.end(), [](const auto& c) {
        return c.second.status == CheckStatus::Fail;
    })) << statuses(unseeded);
    // Shared state inside the library: each instance alone is reproducible, neighbours disturb it.
    EXPECT_EQ(results["FAKE_SHARED"].at("determinism").status, CheckStatus::Pass);
}

TEST_F(CliValidate, AHangingPluginFailsTheCheckThatWaitsNamingTheCallAndTheOthersRun) {
    const auto checks = run(plugin("FAKE_HANG"), false, true, 1);
    EXPECT_EQ(checks.at("parameter-texts").status, CheckStatus::Fail);
    EXPECT_EQ(checks.at("parameter-texts").reason,
              "did not finish within 1 s (in effGetParamDisplay (index 0))");
    EXPECT_EQ(checks.at("determinism").status, CheckStatus::Pass) << checks.at("determinism").reason;
}

// A plug-in that ends the process fails every check it ends, naming the call (two empty renders are not
// alike); one that forks a process holding the result pipe neither stalls a check nor outlives it.
TEST_F(CliValidate, APluginThatExitsFailsAndOneThatForksIsWaitedForNoLonger) {
    build({"FAKE_EXIT", "FAKE_FORK"});
    const auto exiting = run(plugin("FAKE_EXIT"));
    for (const char* name :
         {"process-entries-agree", "independence", "block-size-independence", "determinism", "host-order"}) {
        EXPECT_EQ(exiting.at(name).status, CheckStatus::Fail) << name;
        EXPECT_NE(exiting.at(name).reason.find("the plug-in called exit(0) in processReplacing"),
                  std::string::npos)
            << name << ": " << exiting.at(name).reason;
    }
    const std::string pids = scratch->path("forked-pids");
    ::setenv("FAKE_FORK_PIDS", pids.c_str(), 1);
    const auto started = std::chrono::steady_clock::now();
    const auto forking = run(plugin("FAKE_FORK"), false, true, 5);
    ::unsetenv("FAKE_FORK_PIDS");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    for (const auto& [name, c] : forking) {
        EXPECT_NE(c.status, CheckStatus::Fail) << name << ": " << c.reason;
    }
    const std::vector<int> forked = numbersIn(readFile(pids));
    EXPECT_GT(forked.size(), 10u);
    for (int pid : forked) {
        EXPECT_TRUE(processEnds(pid)) << pid;
    }
}

TEST_F(CliValidate, ExitCodeTableAndJsonFromTheCommandLine) {
    ScratchFolder here;
    const RunResult good = runCli(here, {"validate", "--plugin", plugin("")});
    EXPECT_EQ(good.exitCode, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("PASS  record"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("SKIP  null-pointers"), std::string::npos) << good.out;

    // A chosen few checks, by name; an unknown name or a bad timeout is one error line.
    const RunResult some =
        runCli(here, {"validate", "--plugin", plugin(""), "--only", "record,programs", "--timeout", "5"});
    EXPECT_EQ(some.exitCode, 0) << some.err;
    EXPECT_NE(some.out.find("PASS  programs"), std::string::npos) << some.out;
    EXPECT_NE(some.out.find("2 passed, 0 warned, 0 failed, 0 skipped"), std::string::npos) << some.out;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--skip", "record,no-such-check"},
                                                 {"--only", "Record"},
                                                 {"--timeout", "0"},
                                                 {"--timeout", "1.5"}}) {
        std::vector<std::string> command = {"validate", "--plugin", plugin("")};
        command.insert(command.end(), args.begin(), args.end());
        const RunResult refused = runCli(here, command);
        EXPECT_EQ(refused.exitCode, 1) << args[1];
        EXPECT_EQ(refused.out, "") << args[1];
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
    }

    const RunResult bad = runCli(here, {"validate", "--plugin", plugin("FAKE_NAN"), "--json"});
    EXPECT_EQ(bad.exitCode, 1) << bad.err;
    const json report = json::parse(bad.out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << bad.out;
    EXPECT_EQ(report["passed"], false);
    EXPECT_EQ(report["effectName"], "Fake");
    ASSERT_EQ(report["checks"].size(), checkNames().size());
    int failures = 0;
    for (size_t i = 0; i < checkNames().size(); ++i) {
        const json& c = report["checks"][i];
        EXPECT_EQ(c["name"], checkNames()[i]);
        EXPECT_TRUE(c["status"] == "PASS" || c["status"] == "WARN" || c["status"] == "FAIL" ||
                    c["status"] == "SKIP");
        EXPECT_TRUE(c["reason"].is_string() && !c["reason"].get<std::string>().empty());
        failures += c["status"] == "FAIL";
    }
    EXPECT_EQ(report["counts"]["fail"], failures);
    EXPECT_GT(failures, 0);
}

TEST_F(CliValidate, APluginThatCannotLoadIsOneErrorLine) {
    ScratchFolder here;
    here.write("not-a-plugin.so", "text, not a library");
    for (const std::string& path : {here.path("missing.so"), here.path("not-a-plugin.so")}) {
        const RunResult run = runCli(here, {"validate", "--plugin", path});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("solvantis: plug-in '", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}
