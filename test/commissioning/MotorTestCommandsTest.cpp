// `pelmora test hall-offsets` and `pelmora test phases` through the loaded plug-in: the motor
// setup's buttons pressed headless, what is printed, and what is saved.
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

class MotorTestCommands : public TestCommandFixture {};

TEST_F(MotorTestCommands, EachTestRunsFromTheMotorSetupAndSavesOnlyWhatItFound) {
    struct Case {
        const char* test;
        std::string sim;  // the simulator file's contents; empty for the default
        int exitCode;
        bool saved;
        const char* printed;  // on stdout, or on stderr for a failure
        const char* progress;
    };
    const Case cases[] = {
        {"hall-offsets", "", 0, true, "HALLAOFF = 32224 -  (setup: 32736 -)", "Running the test"},
        {"hall-offsets", R"({"faults":{"missing_hall":"B"}})", 1, false,
         "\"Offset Detection Test\" failed: One Linear Hall signal is missing.", "Running the test"},
        // The phase test only shows what it measured: there is nothing to save.
        {"phases", "", 0, false, "IA = 1.2", "Running test"},
        {"phases", R"({"faults":{"open_phase":"C"}})", 1, false,
         "\"Motor Phase Connection Test\" failed: Possible causes of failure:", "Running test"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.test << (c.sim.empty() ? "" : " with ") << c.sim);
        TestArguments a;
        a.name = c.test;
        if (!c.sim.empty()) {
            const fs::path sim = dir / ("sim" + std::to_string(n) + ".json");
            std::ofstream(sim) << c.sim;
            a.simPath = sim.string();
        }
        a.outPath = (dir / ("out" + std::to_string(n++) + ".json")).string();
        EXPECT_EQ(Run(a), c.exitCode) << err.str();
        EXPECT_EQ(fs::exists(a.outPath), c.saved);
        const std::string printed = c.exitCode == 0 ? out.str() : err.str();
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        EXPECT_NE(err.str().find(std::string("pelmora test ") + c.test + ": " + c.progress + "\n"), std::string::npos)
            << err.str();
        EXPECT_FALSE(CMC_Comm::IsConnected()) << "the command left a link behind";
    }
}

}  // namespace
