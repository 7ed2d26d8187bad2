// `solvantis info`: what a scanning host sees, as text and as one JSON object.
#include "integration/host_loader_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace solvantis::testing;
using nlohmann::json;

namespace {

json infoJson(const ScratchFolder& scratch, const std::vector<std::string>& more) {
    std::vector<std::string> args = {"info", "--json"};
    args.insert(args.end(), more.begin(), more.end());
    const RunResult run = runCli(scratch, args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    return json::parse(run.out, nullptr, false);
}

} // namespace

TEST(CliInfo, OurPluginListsItsNineteenParameters) {
    ScratchFolder scratch;
    const json info = infoJson(scratch, {});
    ASSERT_FALSE(info.is_discarded());
    ASSERT_TRUE(info.is_object());
    EXPECT_EQ(info["entry"], "main");
    EXPECT_EQ(info["inputs"], 0);
    EXPECT_EQ(info["outputs"], 2);
    EXPECT_EQ(info["programs"].size(), 128u);
    EXPECT_EQ(info["effectName"], "Solvantis");
    EXPECT_EQ(info["vendor"], "Quelvarin");
    EXPECT_EQ(info["uniqueID"]["text"], "kwbt");
    EXPECT_EQ(info["flags"]["names"], json({"canReplacing", "isSynth"}));
    EXPECT_EQ(info["canDo"]["receiveVstMidiEvent"], 1);
    EXPECT_EQ(info["canDo"]["offline"], -1);
    ASSERT_EQ(info["outputPins"].size(), 2u);
    EXPECT_EQ(info["outputPins"][1]["label"], "Vstx 2");
    // The names exactly as a host shows them, trailing blanks included.
    const char* names[19] = {"Exciter ", "Modulation ", "TovFilter",  "Pick",       "Attack",
                             "Decay",    "Sustain",     "Release",    "ADSRCurve",  "Volume",
                             "Fixing",   "DynaTone",    "Distorter ", "Overdrive ", "Chorus ",
                             "Legato ",  "Velocity ",   "ToneRama",   "PowerChord"};
    ASSERT_EQ(info["parameters"].size(), 19u);
    for (size_t i = 0; i < 19; ++i) {
        const json& p = info["parameters"][i];
        EXPECT_EQ(p["index"], i);
        EXPECT_EQ(p["name"], names[i]);
        EXPECT_TRUE(p["name"].is_string());
        EXPECT_TRUE(p["label"].is_string());
        EXPECT_TRUE(p["display"].is_string());
        EXPECT_TRUE(p["value"].is_number());
    }
    EXPECT_EQ(info["uniqueID"]["hex"], "0x6b776274");
    EXPECT_EQ(info["parameters"][9]["display"], "-6.02059");
    EXPECT_EQ(info["parameters"][9]["label"], "dB");
    EXPECT_EQ(info["programs"][127]["name"], "Basic");
}

TEST(CliInfo, ThirdPartyAndTestPlugins) {
    ScratchFolder scratch;
    const json kars = infoJson(scratch, {"--plugin", karsPath});
    ASSERT_FALSE(kars.is_discarded());
    EXPECT_EQ(kars["effectName"], "Kars");
    EXPECT_EQ(kars["inputs"], 0);
    EXPECT_EQ(kars["outputs"], 1);
    EXPECT_EQ(kars["category"]["name"], "synth");
    EXPECT_NE(std::find(kars["flags"]["names"].begin(), kars["flags"]["names"].end(), "isSynth"),
              kars["flags"]["names"].end());

    const std::string fake = buildFakePlugin(scratch, "");
    ASSERT_FALSE(fake.empty());
    const json info = infoJson(scratch, {"--plugin", fake});
    ASSERT_FALSE(info.is_discarded());
    EXPECT_EQ(info["entry"], "VSTPluginMain");
    EXPECT_EQ(info["effectName"], "Fake");
    EXPECT_EQ(info["uniqueID"]["text"], "FkVM");
    EXPECT_EQ(info["uniqueID"]["hex"], "0x466b564d");
    EXPECT_EQ(info["flags"]["names"], json({"canReplacing", "isSynth"}));
    EXPECT_EQ(info["programs"], json::parse(R"([{"index":0,"name":"Only"}])"));
    ASSERT_EQ(info["parameters"].size(), 2u);
    EXPECT_EQ(info["parameters"][0]["name"], "Gain "); // as the plug-in writes it
    EXPECT_EQ(info["parameters"][1]["name"], "Tone");
    EXPECT_DOUBLE_EQ(info["parameters"][1]["value"].get<double>(), 0.5);
    EXPECT_TRUE(info["canDo"].contains("receiveVstMidiEvent"));

    const RunResult text = runCli(scratch, {"info", "--plugin", fake});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Parameters (2)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("'FkVM' (0x466b564d)"), std::string::npos) << text.out;
}

// A list cut short says so, in the text and in the JSON's count.
TEST(CliInfo, AParameterListCutShortSaysWhereItStops) {
    ScratchFolder scratch;
    const std::string many = buildFakePlugin(scratch, "FAKE_MANY_PARAMETERS");
    ASSERT_FALSE(many.empty());
    const RunResult text = runCli(scratch, {"info", "--plugin", many});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Parameters (the first 4096 of 1000000000):"), std::string::npos)
        << text.out.substr(0, 2000);
    const json info = infoJson(scratch, {"--plugin", many});
    EXPECT_EQ(info["parameterCount"], 1000000000);
    EXPECT_EQ(info["parameters"].size(), 4096u);
}
