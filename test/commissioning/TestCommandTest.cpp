// `pelmora test` end to end through the loaded plug-in: what it prints, and that it saves only a
// result the test found and the user kept.
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

class TestCommand : public TestCommandFixture {};

TEST_F(TestCommand, SavesOnlyAResultThatWasFoundAndKept) {
    struct Case {
        const char* name;
        std::string sim;  // the simulator file's contents; empty for the default
        const char* answer;
        int exitCode;
        bool saved;
        const char* printed;  // on stdout, or in the message on stderr for a failure
    };
    const Case cases[] = {
        {"kept", "", "yes", 0, true, "Vdc = 47.63 V  (setup: 48 V)"},
        {"declined", "", "no", 0, false, "Vdc = 47.63 V  (setup: 48 V)"},
        {"program fails to start", R"({"faults":{"failing_start":"VDC_Detection_Test"}})", "yes", 1, false,
         "\"VDC Detection Test\" failed: Internal error"},
        {"short circuit", R"({"faults":{"forced_mer":2}})", "yes", 1, false,
         "Drive / Motor shortcircuit protection triggered."},
        {"link dropped", R"({"faults":{"link_drop_at_s":0.05}})", "yes", 1, false, "nothing was saved"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestArguments a;
        a.name = "vdc";
        a.answer = c.answer;
        if (!c.sim.empty()) a.simPath = WriteSim("sim" + std::to_string(n) + ".json", c.sim);
        a.outPath = (dir / ("out" + std::to_string(n++) + ".json")).string();
        EXPECT_EQ(Run(a), c.exitCode) << err.str();
        EXPECT_EQ(fs::exists(a.outPath), c.saved);
        const std::string printed = c.exitCode == 0 ? out.str() : err.str();
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        EXPECT_FALSE(CMC_Comm::IsConnected()) << "the command left a link behind";
        if (!c.saved) continue;
        SetupLoadResult loaded = LoadSetupFile(a.outPath);
        ASSERT_TRUE(loaded) << loaded.error;
        EXPECT_NEAR(loaded.setup->FindParameter("Vdc")->GetValueInBaseUnit(), 47.63, 0.01);
    }
}

TEST_F(TestCommand, ProgressGoesToStandardError) {
    TestArguments a;
    a.name = "vdc";
    EXPECT_EQ(Run(a), 0) << err.str();
    EXPECT_NE(err.str().find("pelmora test vdc: Running test\n"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("pelmora test vdc: Test succeeded\n"), std::string::npos) << err.str();
}

TEST_F(TestCommand, AnUnknownTestIsMisuseAndNamesTheTests) {
    TestArguments a;
    a.name = "nonesuch";
    EXPECT_EQ(Run(a), 2);
    EXPECT_NE(err.str().find("the tests are vdc"), std::string::npos) << err.str();
}

}  // namespace
