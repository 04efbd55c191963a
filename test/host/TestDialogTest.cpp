#include "FakeDrive.h"

#include "BaseQuantities.h"
#include "MC_SetupFile.h"
#include "MC_TestDlg.h"

#include <gtest/gtest.h>

using namespace host_testing;

namespace {

constexpr ControlTemplate kControls[] = {
    {IDC_TEST_START, ControlKind::Button, "&Start"},
    {IDC_TEST_STATUS, ControlKind::StaticText, ""},
    {IDC_TEST_RESULT, ControlKind::StaticText, ""},
    {IDC_TEST_ICON, ControlKind::Picture, ""},
    {IDCANCEL, ControlKind::Button, "Close"},
};
constexpr FormTemplate kForm{"Positioning Run", kControls};

const char* const kStatusTexts[] = {"Launching the application for preliminary test",
                                    "Waiting preliminary test to be finished"};

// The smallest real test: runs the positioning program and waits on it as every test does
// (STARTED, then the axis, then the error register), reading In1 back at the end.
class CPositioningRunDlg : public CMC_TestDlg {
public:
    explicit CPositioningRunDlg(CMC_Setup* setup) : CMC_TestDlg(setup, kForm, 0, nullptr) {
        m_nStepCount = 2;
        m_program.SetFileName(GetOutPathName("Initial_Positioning_Test"));
        m_program.ReadCoff();
    }

    void BeginTest() override {
        m_bRunning = 1;
        m_nResult = -1;
        m_nStep = 0;
        SetInfoText(kStatusTexts[0]);
        std::string error;
        if (!SetUserVariableValue(&m_program, "In1", 5115, error)) return Fail(error);
        if (!ExecuteCode("Initial_Positioning_Test", &m_program, nullptr)) return Fail(msc_pszErrInternal);
        SetInfoText(kStatusTexts[m_nStep]);
        SetTimer(kTestTimerId, 20);
    }

    void OnTimer(int id) override {
        KillTimer(kTestTimerId);
        if (id != kTestTimerId || !m_bRunning) return;
        ++ticks;
        if (m_nStep != 2) return Fail(msc_pszErrInternal);
        std::string error;
        double started = 0.0;
        if (!GetUserVariableValue(&m_program, "STARTED", started, error)) return Fail(error);
        if (started == 0.0) {
            if (DriveErrors()) return;
            SetTimer(kTestTimerId, 20);
            return;
        }
        int axisOn = 0;
        if (!GetAxisOn(axisOn)) return Fail(CMC_Comm::GetLastErrorText());
        if (axisOn) {
            SetTimer(kTestTimerId, 20);
            return;
        }
        if (DriveErrors()) return;
        double in1 = 0.0;
        if (!GetUserVariableValue(&m_program, "In1", in1, error)) return Fail(error);
        if (in1 == kNoValue) return Fail(msc_pszErrInternal);
        if (in1 <= 0.0) return Fail(msc_pszErrInZero);
        TestSucceeded(1);
    }

    int ticks = 0;

private:
    void Fail(const std::string& message) {
        m_strError = message;
        TestFailed(1);
    }
    bool DriveErrors() {
        CMC_Variable* mer = GetSetup()->FindVariable("MER", 1);
        if (!mer || !mer->ReadFromChip()) {
            Fail(msc_pszErrInternal);
            return true;
        }
        if ((static_cast<long>(mer->GetValueInInternalUnit()) & 0x8002) == 0) return false;
        Fail("Drive / Motor shortcircuit protection triggered.");
        return true;
    }

    CMC_CoffFormat m_program;
};

class TestDialog : public FakeDriveTest {
protected:
    // Opens the dialog, presses Start, lets up to `wait_s` pass until the run ends, then `then`.
    void RunDialog(double wait_s, const std::function<void(DialogDriver&, CPositioningRunDlg&)>& then = nullptr) {
        CPositioningRunDlg dialog(setup.get());
        ui.OnDialog("Positioning Run", [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            d.WaitUntil([&] { return !dialog.m_bRunning; }, wait_s);
            if (then) then(d, dialog);
            if (dialog.IsOpen()) d.Click("Close");
        });
        dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
        status = dialog.GetChildText(IDC_TEST_STATUS);
        shown = dialog.GetChildText(IDC_TEST_RESULT);
        ticks = dialog.ticks;
        step = dialog.m_nStep;
    }

    int result = -2;
    std::string error, status, shown;
    int ticks = 0;
    int step = 0;
};

TEST_F(TestDialog, APositioningRunSucceedsThroughTheWholeProtocol) {
    drive.startDelay_s = 0.1;
    drive.runTime_s = 0.5;
    RunDialog(5.0);
    EXPECT_EQ(result, 1) << error;
    EXPECT_EQ(step, 2);
    EXPECT_EQ(status, CMC_TestDlg::kSucceededText);
    // Polled every 20 ms over about half a second, plus the time the transactions take.
    EXPECT_GE(ticks, 15);
    EXPECT_LE(ticks, 30);
    EXPECT_TRUE(drive.stopped) << "ending the run stops the program";
}

TEST_F(TestDialog, DriveErrorsFailTheRunWithTheirMessage) {
    drive.variables["MER"] = 0x0002;
    RunDialog(5.0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, "Drive / Motor shortcircuit protection triggered.");
    EXPECT_EQ(shown, error) << "the failure is shown";
    EXPECT_EQ(status, CMC_TestDlg::kFailedText);
}

TEST_F(TestDialog, AZeroTestValueFailsWithTheHostsText) {
    drive.runTime_s = 0.3;
    RunDialog(0.2, [&](DialogDriver& d, CPositioningRunDlg& dialog) {
        drive.programVariables["In1"] = 0;  // the program's abort channel
        d.WaitUntil([&] { return !dialog.m_bRunning; }, 5.0);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, CMC_TestDlg::msc_pszErrInZero);
}

TEST_F(TestDialog, ALinkFailureFailsTheRunWithTheLinksReason) {
    drive.failingOps.insert(drivesim::Op::AxisOn);
    RunDialog(5.0);
    EXPECT_EQ(result, 0);
    EXPECT_NE(error.find("injected failure"), std::string::npos) << error;
}

TEST_F(TestDialog, AProgramThatCannotStartFailsAtOnceWithoutATimer) {
    drive.failingOps.insert(drivesim::Op::Download);
    RunDialog(1.0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, CMC_TestDlg::msc_pszErrInternal);
    EXPECT_EQ(ticks, 0);
}

TEST_F(TestDialog, StopEndsARunTheTestDoesNotHandleAndStopsTheDrive) {
    drive.runTime_s = 0.0;  // never ends
    RunDialog(0.3, [&](DialogDriver& d, CPositioningRunDlg& dialog) {
        ASSERT_TRUE(dialog.m_bRunning);
        EXPECT_FALSE(drive.stopped);
        EXPECT_EQ(dialog.GetChildText(IDC_TEST_START), "Stop");
        ASSERT_TRUE(d.Click("#10000"));
        EXPECT_FALSE(dialog.m_bRunning);
        EXPECT_TRUE(drive.stopped);
        EXPECT_EQ(dialog.GetChildText(IDC_TEST_START), "Start");
        const int ticksAtStop = dialog.ticks;
        d.Wait_ms(200);
        EXPECT_EQ(dialog.ticks, ticksAtStop) << "a stopped run keeps polling";
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(status, CMC_TestDlg::kStoppedText);
}

TEST_F(TestDialog, StopOnlyRequestsWhileTheTestHandlesItItself) {
    drive.runTime_s = 0.0;
    RunDialog(0.3, [&](DialogDriver& d, CPositioningRunDlg& dialog) {
        dialog.m_bStopHandledByTest = 1;
        ASSERT_TRUE(d.Click("#10000"));
        EXPECT_TRUE(dialog.m_bRunning);
        EXPECT_EQ(dialog.m_bStopRequest, 1);
        EXPECT_FALSE(drive.stopped);
    });
    EXPECT_TRUE(drive.stopped) << "closing the dialog ends the run";
}

TEST_F(TestDialog, ClosingTheDialogDuringARunStopsTheDrive) {
    drive.runTime_s = 0.0;
    RunDialog(0.3);
    EXPECT_TRUE(drive.stopped);
    EXPECT_EQ(drive.requests.back().op, drivesim::Op::Stop);
}

TEST_F(TestDialog, StartAgainBeginsFromStepZeroWithTheErrorCleared) {
    drive.variables["MER"] = 0x0002;
    RunDialog(5.0, [&](DialogDriver& d, CPositioningRunDlg& dialog) {
        ASSERT_EQ(dialog.m_nResult, 0);
        drive.variables["MER"] = 0;
        ASSERT_TRUE(d.Click("#10000"));
        EXPECT_TRUE(dialog.m_strError.empty());
        d.WaitUntil([&] { return !dialog.m_bRunning; }, 5.0);
    });
    EXPECT_EQ(result, 1) << error;
    EXPECT_EQ(shown, "");
}

}  // namespace
