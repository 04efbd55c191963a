// `pelmora test speed|position|mass` through the loaded plug-in: each tuning test reached from its
// "Tune & Test" button in every run mode the dialog offers, and the total mass from "Identify".
#include "TestCommandFixture.h"

#include "MC_Comm.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class TuningTestCommand : public TestCommandFixture {
protected:
    // The default setup with its drive's scope switched off, saved in the folder; its path.
    std::string SetupWithoutScope(const std::string& name) {
        SetupLoadResult loaded = LoadDefaultSetup();
        EXPECT_TRUE(loaded) << loaded.error;
        if (!loaded) return {};
        loaded.setup->SetOption("hasOscilloscope", "0");
        const std::string path = (dir / name).string();
        EXPECT_EQ(SaveSetupFile(*loaded.setup, path), "");
        return path;
    }
};

std::size_t LineCount(const fs::path& file) {
    std::ifstream in(file);
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

TEST_F(TuningTestCommand, EachTuningTestRunsFromItsButtonInEveryRunMode) {
    struct Case {
        const char* name;
        const char* test;
        std::vector<std::string> fields;
        double stopAfter_s;
        int exitCode;
        const char* printed;  // on stdout for success, on stderr for a failure
        const char* plot;     // the plot's stem; empty: none asked for
        bool polled = false;  // a setup without a scope: the on-line plot polls the drive
    };
    const Case cases[] = {
        {"speed, data logger, one cycle", "speed", {}, 0.0, 0, "Kp_S_scl = ", "SpeedTuning"},
        {"speed, on-line scope, one cycle", "speed", {"OnlinePlotS=1"}, 0.0, 0, "Ki_S_scl = ", "SpeedTuning"},
        {"speed, data logger, cycles until Stop",
         "speed", {"MultiCycleS=1", "SpeedTestReferenceType=2"}, 1.5, 0, "Kp_S_scl = ", "SpeedTuning"},
        {"position, data logger", "position", {}, 0.0, 0, "Kd_P_scl = ", "PositionTuning"},
        {"position, on-line scope", "position", {"OnlinePlotP=1"}, 0.0, 0, "Kp_P_scl = ", "PositionTuning"},
        {"position cascaded over the speed loop", "position", {"MultiCycleP=1", "PositionTestReferenceType=2"}, 1.5, 0,
         "Ki_P_scl = ", "PositionTuning"},
        // The on-line plots run inside one tick of the dialog until Stop: Stop must reach them on
        // time, or the cycles go on until a trip (the travel's end, the I2t image) ends them.
        {"speed, on-line scope, cycles until Stop",
         "speed", {"OnlinePlotS=1", "MultiCycleS=1", "SpeedTestReferenceType=2"}, 3.0, 0, "Kp_S_scl = ", "SpeedTuning"},
        {"position, on-line scope, cycles until Stop",
         "position", {"OnlinePlotP=1", "MultiCycleP=1", "PositionTestReferenceType=2"}, 3.0, 0, "Kp_P_scl = ",
         "PositionTuning"},
        // Without a scope the on-line plot is offered only for a run that goes on until Stop.
        {"speed, on-line polling, cycles until Stop",
         "speed", {"MultiCycleS=1", "OnlinePlotS=1", "SpeedTestReferenceType=2"}, 3.0, 0, "Ki_S_scl = ", "SpeedTuning",
         true},
        {"total mass from the speed test's Identify", "mass", {"TestMaxSpeed=0.375"}, 0.0, 0, "Mt = ", ""},
        {"cycles one way run into the travel's end", "speed", {"MultiCycleS=1"}, 5.0, 1,
         "Drive / Motor stopped due to positive limit switch input triggered.", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        TestArguments a;
        a.name = c.test;
        a.fields = c.fields;
        a.stopAfter_s = c.stopAfter_s;
        if (c.polled) a.setupPath = SetupWithoutScope("setup" + std::to_string(n) + ".json");
        if (*c.plot) a.plotDir = (dir / ("plot" + std::to_string(n))).string();
        a.outPath = (dir / ("out" + std::to_string(n++) + ".json")).string();
        EXPECT_EQ(Run(a), c.exitCode) << c.name << ": " << err.str();
        const std::string printed = c.exitCode == 0 ? out.str() : err.str();
        EXPECT_NE(printed.find(c.printed), std::string::npos) << c.name << ": " << printed;
        EXPECT_EQ(fs::exists(a.outPath), c.exitCode == 0) << c.name;
        EXPECT_FALSE(CMC_Comm::IsConnected()) << c.name << ": the command left a link behind";
        if (c.exitCode != 0 || !*c.plot) continue;
        // Whichever plot the run showed (logger graph or scope) was saved, with more than a header.
        EXPECT_GT(LineCount(fs::path(a.plotDir) / (std::string(c.plot) + ".csv")), 100U) << c.name;
    }
}

TEST_F(TuningTestCommand, ARunThatRepeatsUntilStoppedAsksForStopAfter) {
    TestArguments a;
    a.name = "speed";
    a.fields = {"MultiCycleS=1", "SpeedTestReferenceType=2"};
    a.timeout_s = 1.0;
    EXPECT_EQ(Run(a), 1) << err.str();
    EXPECT_NE(err.str().find("needs --stop-after"), std::string::npos) << err.str();
}

}  // namespace

namespace {

TEST_F(TuningTestCommand, TunePressedAfterTheFieldsDesignsTheGainsFromThePassbandOnShow) {
    struct Case {
        const char* test;
        const char* gain;
        bool tune;
        bool typedGainKept;
    };
    const Case cases[] = {{"speed", "Kp_S_scl", false, true},
                          {"speed", "Kp_S_scl", true, false},
                          {"current", "Kp_C_scl", true, false}};
    for (const Case& c : cases) {
        const std::string name = std::string(c.test) + (c.tune ? " --tune" : "");
        TestArguments a;
        a.name = c.test;
        a.fields = {std::string(c.gain) + "=1.5"};
        a.tune = c.tune;
        ASSERT_EQ(Run(a), 0) << name << ": " << err.str();
        const bool kept = out.str().find(std::string(c.gain) + " = 1.5 ") != std::string::npos;
        EXPECT_EQ(kept, c.typedGainKept) << name << ": " << out.str();
    }
    TestArguments vdc;
    vdc.name = "vdc";
    vdc.tune = true;
    EXPECT_EQ(Run(vdc), 2);
    EXPECT_NE(err.str().find("--tune: \"vdc\" tunes nothing"), std::string::npos) << err.str();
}

}  // namespace
