// `pelmora test current` through the loaded plug-in: tuning from a passband, the plot files, and
// what is saved when the run fails or the user declines.
#include "TestCommandFixture.h"

#include "MC_Comm.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class CurrentTestCommand : public TestCommandFixture {};

TEST_F(CurrentTestCommand, TunesRunsPlotsAndSavesOnlyAKeptSuccess) {
    struct Case {
        const char* name;
        std::string sim;  // simulator file contents; empty for the default
        const char* answer;
        int exitCode;
        bool saved;
        const char* printed;  // on stdout for success, on stderr for a failure
    };
    const Case cases[] = {
        {"tuned and kept", "", "yes", 0, true, "Kp_C_scl = "},
        {"tuned and declined", "", "no", 0, false, "Kp_C_scl = "},
        {"short circuit", R"({"faults":{"forced_mer":2}})", "yes", 1, false,
         "Drive / Motor shortcircuit protection triggered."},
    };
    int n = 0;
    for (const Case& c : cases) {
        TestArguments a;
        a.name = "current";
        a.answer = c.answer;
        a.bandwidth = "3000";
        if (!c.sim.empty()) {
            const fs::path sim = dir / ("sim" + std::to_string(n) + ".json");
            std::ofstream(sim) << c.sim;
            a.simPath = sim.string();
        }
        a.plotDir = (dir / ("plot" + std::to_string(n))).string();
        a.outPath = (dir / ("out" + std::to_string(n++) + ".json")).string();
        EXPECT_EQ(Run(a), c.exitCode) << c.name << ": " << err.str();
        EXPECT_EQ(fs::exists(a.outPath), c.saved) << c.name;
        const std::string printed = c.exitCode == 0 ? out.str() : err.str();
        EXPECT_NE(printed.find(c.printed), std::string::npos) << c.name << ": " << printed;
        EXPECT_FALSE(CMC_Comm::IsConnected()) << c.name << ": the command left a link behind";
        if (c.exitCode == 0) {
            for (const char* file : {"CurrentTuning.csv", "CurrentTuning.png", "CurrentTuning.svg"})
                EXPECT_TRUE(fs::exists(fs::path(a.plotDir) / file)) << c.name << ": no " << file;
        }
        if (!c.saved) continue;
        SetupLoadResult loaded = LoadSetupFile(a.outPath);
        ASSERT_TRUE(loaded) << loaded.error;
        EXPECT_DOUBLE_EQ(loaded.setup->FindParameter("PB_C")->GetValueInBaseUnit(), 3000.0) << c.name;
    }
}

TEST_F(CurrentTestCommand, TuningOptionsOnATestWithoutThemAreMisuse) {
    struct Case {
        const char* bandwidth;
        const char* plot;
        const char* message;
    };
    const Case cases[] = {{"3000", "", "--bandwidth: \"vdc\" tunes nothing"},
                          {"", "plots", "--plot: \"vdc\" plots nothing"}};
    for (const Case& c : cases) {
        TestArguments a;
        a.name = "vdc";
        a.bandwidth = c.bandwidth;
        a.plotDir = c.plot;
        EXPECT_EQ(Run(a), 2) << c.message;
        EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    }
}

}  // namespace
