// The host's drive services against the simulated drive itself, through the in-process link.
#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_CoffFormat.h"
#include "MC_Comm.h"
#include "MC_Loggers.h"
#include "MC_SetupFile.h"
#include "ProgramWait.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

class OnTheSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiBackend(&ui);
        CMC_Comm::Connect(std::make_unique<InProcessLink>(drivesim::DefaultSimConfig()));
        auto loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
        ASSERT_TRUE(positioning.ReadCoff(GetOutPathName("Initial_Positioning_Test")));
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }

    // Polls as the tests do: STARTED, then the axis, every 20 ms; false after `limit_s`.
    bool WaitForEnd(CMC_CoffFormat& program, double limit_s) { return WaitForProgramEnd(ui, program, 0.02, limit_s, error); }

    double Read(const char* name) {
        CMC_Variable* variable = setup->FindVariable(name, 1);
        EXPECT_NE(variable, nullptr) << name;
        if (!variable) return 0.0;
        EXPECT_EQ(variable->ReadFromChip(), 1) << name << ": " << CMC_Comm::GetLastErrorText();
        return variable->GetValueInInternalUnit();
    }

    HeadlessUi ui;
    std::unique_ptr<CMC_Setup> setup;
    CMC_CoffFormat positioning;
    std::string error;
};

TEST_F(OnTheSimulator, PositioningThenAResistanceRunWithItsLog) {
    constexpr double kIn1 = 5115;
    ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&positioning, "In1", kIn1, error)) << error;
    ASSERT_TRUE(CMC_ProgramRunner::ExecuteCode(*setup, "Initial_Positioning_Test", &positioning, nullptr, error)) << error;
    ASSERT_TRUE(WaitForEnd(positioning, 60.0)) << error;
    EXPECT_EQ(Read("MER"), 0);
    double in1 = 0.0;
    ASSERT_TRUE(CMC_ProgramRunner::GetUserVariableValue(&positioning, "In1", in1, error)) << error;
    EXPECT_EQ(in1, kIn1) << "the positioning failed on the default motor";
    const double refTest = Read("REFTST_V");
    const double refInc = Read("RINCTST_V");
    EXPECT_GT(refTest, 0);

    CMC_CoffFormat resistance;
    ASSERT_TRUE(resistance.ReadCoff(GetOutPathName("Ident_R_or_Rs")));
    CMC_SingleAxisLogger logger(setup.get(), &resistance);
    ASSERT_TRUE(logger.ChangeSettings(400, 1, 1));
    ASSERT_TRUE(logger.AddVariable("IQ", 1));
    for (const auto& [name, value] : {std::pair{"In1", kIn1}, {"RefTest", refTest}, {"RIncTest", refInc}})
        ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&resistance, name, value, error)) << error;
    ASSERT_TRUE(CMC_ProgramRunner::ExecuteCode(*setup, "Ident_R_or_Rs", &resistance, &logger, error)) << error;
    ASSERT_TRUE(WaitForEnd(resistance, 60.0)) << error;
    EXPECT_EQ(Read("MER"), 0);
    ASSERT_EQ(logger.BeginUploadData(), 1) << logger.GetErrorText();
    double record[2];
    std::vector<double> iq;
    while (logger.ReadPoint(record)) iq.push_back(record[1]);
    logger.EndUploadData();
    ASSERT_EQ(iq.size(), 400U);
    const double mean = std::accumulate(iq.begin(), iq.end(), 0.0) / static_cast<double>(iq.size());
    EXPECT_GT(mean, 0.5 * kIn1) << "the logged current is not the test current";
    EXPECT_LT(mean, 1.5 * kIn1);
}

}  // namespace
