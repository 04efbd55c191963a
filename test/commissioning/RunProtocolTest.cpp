// The run protocol every test shares, against a drive whose answers a test chooses: what a
// program's STARTED flag, the axis and the error register make of a run.
#include "FakeDrive.h"

#include "MyTestDlg.h"
#include "VdcDetectionForm.h"

#include "BaseQuantities.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

using namespace host_testing;
using namespace pelmora;

const char* const kStatusTexts[] = {"Launching test", "Running test"};

// The smallest test on the base: one program, waited for with the given mask.
class CProbeTest : public CMyTestDlg {
public:
    CProbeTest(CMC_Setup* setup, int templateId, std::uint16_t mask)
        : CMyTestDlg(setup, kVdcDetectionForm, templateId, 0, 262405), m_mask(mask) {
        m_nStepCount = 2;
    }
    void BeginTest() override {
        CMyTestDlg::BeginTest();
        ShowStepText(kStatusTexts);
        if (!ExecuteCode("VDC_Detection_Test", &m_program, nullptr)) return Fail(msc_pszErrInternal);
        ShowStepText(kStatusTexts);
        StartPollTimer();
    }
    void OnTimer(int id) override {
        KillTimer(kTestTimerId);
        if (id != kTestTimerId || !m_bRunning) return;
        ++ticks;
        switch (PollProgram(m_program, m_mask)) {
        case ProgramState::Running: StartPollTimer(); return;
        case ProgramState::Failed: return;
        case ProgramState::Finished: TestSucceeded(1); return;
        }
    }
    using CMyTestDlg::CheckDriveErrors;
    int ticks = 0;

private:
    CMC_CoffFormat m_program;
    std::uint16_t m_mask;
};

class RunProtocol : public ::testing::Test, public FakeDriveFixture {
protected:
    void SetUp() override {
        auto loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        AttachCoreScales(*setup);
    }
    void Run(std::uint16_t mask, const std::function<void()>& afterStart = nullptr) {
        CProbeTest dialog(setup.get(), kVdcDetectionTemplate, mask);
        ui.OnDialog("VDC Detection Test", [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            if (afterStart) afterStart();
            ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 5.0);
            ticks = dialog.ticks;
            if (dialog.m_bRunning) d.Click("#10000");
        });
        dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
    }

    std::unique_ptr<CMC_Setup> setup;
    bool ended = false;
    int ticks = 0;
    int result = -2;
    std::string error;
};

TEST_F(RunProtocol, AStartedFlagWithNoValueFailsTheRunInsteadOfCountingAsStarted) {
    drive.startDelay_s = 100.0;  // the program never sets it itself
    Run(kMaskAllErrors, [&] { drive.programVariables["STARTED"] = kNoValue; });
    EXPECT_TRUE(ended) << "the run waited on a program that never started";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, CMC_TestDlg::msc_pszErrInternal);
}

TEST_F(RunProtocol, TheErrorRegisterEndsARunOnlyForTheBitsItsMaskExamines) {
    struct Case {
        double mer;
        std::uint16_t mask;
        int result;
        std::string error;
    };
    const Case cases[] = {
        {0.0, kMaskAllErrors, 1, ""},
        {0x8000, kMaskShortCircuit, 1, ""},
        {0x8000, kMaskShortCircuitEnable, 0, "Drive / Motor ENABLE input is in DISABLED state."},
        {0x0022, kMaskShortCircuitEnable, 0, "Drive / Motor shortcircuit protection triggered."},
        {0x0020, kMaskShortCircuitEnable, 1, ""},
        // Bits above the register's 16 are the link's noise, not faults.
        {0x10000, kMaskAllErrors, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "MER " << c.mer << " mask " << c.mask);
        drive.variables["MER"] = c.mer;
        drive.stopped = true;
        Run(c.mask);
        EXPECT_EQ(result, c.result) << error;
        EXPECT_EQ(error, c.error);
    }
}

TEST_F(RunProtocol, AnUnreadableErrorRegisterIsAnInternalError) {
    drive.failing.insert({drivesim::Op::ReadVariable, "MER"});
    Run(kMaskAllErrors);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, CMC_TestDlg::msc_pszErrInternal);
}

TEST_F(RunProtocol, CheckDriveErrorsFailsTheTestOnlyWhenAsked) {
    drive.variables["MER"] = 0x0002;
    CProbeTest dialog(setup.get(), kVdcDetectionTemplate, kMaskAllErrors);
    EXPECT_FALSE(dialog.CheckDriveErrors(0, kMaskShortCircuit));
    EXPECT_EQ(dialog.m_strError, "Drive / Motor shortcircuit protection triggered.");
    EXPECT_EQ(dialog.m_nResult, -1) << "the test was failed without being asked";
    drive.variables["MER"] = 0x8000;
    dialog.m_strError.clear();
    EXPECT_TRUE(dialog.CheckDriveErrors(1, kMaskShortCircuit));
    EXPECT_EQ(dialog.m_strError, "");
}

TEST_F(RunProtocol, OpeningATestClearsTheStartMovesMinimumExceptForTheTuningTests) {
    struct Case {
        int templateId;
        double expected;
    };
    const Case cases[] = {{kVdcDetectionTemplate, 0.0}, {102, 5.0}, {103, 5.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.templateId);
        CMC_QuietErrors quiet;
        CMC_Parameter* minMove = setup->FindParameter("ABSTART_MINMOVE");
        if (!minMove) GTEST_SKIP() << "the default setup has no ABSTART_MINMOVE";
        minMove->SetValueInBaseUnit(5.0);
        CProbeTest dialog(setup.get(), c.templateId, kMaskAllErrors);
        EXPECT_DOUBLE_EQ(minMove->GetValueInBaseUnit(), c.expected);
    }
}

}  // namespace
