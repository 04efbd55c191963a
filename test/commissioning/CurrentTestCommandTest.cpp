// `pelmora test current` through the loaded plug-in: tuning from a passband, the plot files, and
// what is saved when the run fails or the user declines.
#include "TestCommandFixture.h"

#include "MC_Comm.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// The largest current reference the plot of a run shows.
double PlottedReferencePeak_A(const fs::path& csv) {
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);  // the header
    double peak_A = 0.0;
    while (std::getline(in, line)) {
        std::istringstream cells(line);
        std::string time;
        std::string reference;
        std::getline(cells, time, ',');
        std::getline(cells, reference, ',');
        peak_A = std::max(peak_A, std::stod(reference));
    }
    return peak_A;
}

TEST_F(CurrentTestCommand, FieldsGivenOnTheCommandLineAreSetBeforeStartOrRefusedByName) {
    struct Case {
        std::vector<std::string> fields;
        int exitCode;
        const char* message;      // on stderr; empty: none looked for
        double stepCurrent_A;     // the step the run applied (the test current)
        bool filterUsed;          // kept in the saved setup
    };
    const Case cases[] = {
        {{"TestCurrent=1.5A"}, 0, "", 1.5, false},
        {{"TestCurrent=500mA", "isUseFilterOnCrtCtrlOutput=1"}, 0, "", 0.5, true},
        // The slider's field sits on the other tab page: it is brought into view first.
        {{"Kp_C_scl=3", "TestCurrent=1"}, 0, "", 1.0, false},
        {{"TestCurrent=2V"}, 1, "TestCurrent=2V: \"2V\" is not a valid value for TestCurrent.", 0, false},
        {{"TestCurrent=100A"}, 1, "TestCurrent=100A: the dialog did not take it", 0, false},
        {{"isUseFilterOnCrtCtrlOutput=maybe"}, 1, "is a check box: give 1 or 0, not \"maybe\"", 0, false},
        {{"NoSuchField=1"}, 1, "no control is bound to the parameter NoSuchField", 0, false},
        {{"TestCurrent=1", "=1"}, 2, "\"=1\" is not FIELD=VALUE[UNIT]", 0, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = c.fields.back();
        TestArguments a;
        a.name = "current";
        a.fields = c.fields;
        a.plotDir = (dir / ("fieldplot" + std::to_string(n))).string();
        a.outPath = (dir / ("fields" + std::to_string(n++) + ".json")).string();
        out.str({});
        err.str({});
        EXPECT_EQ(Run(a), c.exitCode) << name << ": " << err.str();
        if (*c.message) {
            EXPECT_NE(err.str().find(c.message), std::string::npos) << name << ": " << err.str();
        }
        // A refused field runs nothing and saves nothing.
        ASSERT_EQ(fs::exists(a.outPath), c.exitCode == 0) << name;
        if (c.exitCode != 0) continue;
        EXPECT_NEAR(PlottedReferencePeak_A(fs::path(a.plotDir) / "CurrentTuning.csv"), c.stepCurrent_A, 0.01) << name;
        SetupLoadResult loaded = LoadSetupFile(a.outPath);
        ASSERT_TRUE(loaded) << loaded.error;
        EXPECT_EQ(loaded.setup->FindParameter("isUseFilterOnCrtCtrlOutput")->GetValueInBaseUnit() != 0.0,
                  c.filterUsed)
            << name;
    }
}
