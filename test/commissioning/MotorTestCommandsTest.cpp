// `pelmora test hall-offsets` and `pelmora test phases` through the loaded plug-in: the motor
// setup's buttons pressed headless, what is printed, and what is saved.
#include "TestCommandFixture.h"

#include "DetectHallGainOffset.h"
#include "MC_Comm.h"
#include "MC_SetupFile.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <cstring>
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
        // The number printed after `printed` and what follows it on the line, when the number is
        // a measurement: within the calibration's 1 % of it (the noise decides the last digits).
        double found = 0.0;
        const char* rest = "";
    };
    const double offsetA_counts =
        drivesim::DefaultSimConfig().halls.offset_V[0] * pelmora::CDetectHallGainOffset::kHallCountsPerVolt;
    const Case cases[] = {
        {"hall-offsets", "", 0, true, "HALLAOFF = ", "Running the test", offsetA_counts, " -  (setup: 32736 -)\n"},
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
        const std::size_t at = printed.find(c.printed);
        EXPECT_NE(at, std::string::npos) << printed;
        if (c.found != 0.0 && at != std::string::npos) {
            std::size_t length = 0;
            const std::string number = printed.substr(at + std::strlen(c.printed));
            EXPECT_NEAR(std::stod(number, &length), c.found, 0.01 * c.found) << printed;
            EXPECT_EQ(number.rfind(c.rest, length), length) << printed;
        }
        EXPECT_NE(err.str().find(std::string("pelmora test ") + c.test + ": " + c.progress + "\n"), std::string::npos)
            << err.str();
        EXPECT_FALSE(CMC_Comm::IsConnected()) << "the command left a link behind";
    }
}

}  // namespace
