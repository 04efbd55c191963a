// The supply voltage test run as a user runs it, against the simulated drive: from the drive
// setup's "Detect" button, through the host and the link, to the value stored in the setup.
#include "SimTestRun.h"
#include "DriveSetupDlg.h"
#include "MyTestDlg.h"
#include "TestVdcDetection.h"
#include "VdcDetectionForm.h"

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace pelmora;

constexpr const char* kCaption = "VDC Detection Test";
constexpr double kSavedVdc_V = 48.0;  // the default setup's
// The voltage is found to within 0.01 V and kept to two decimals, so one hundredth off is
// within it; the slack absorbs that 98.99 is not exactly 0.01 away from 99 in binary.
constexpr double kVdcTolerance_V = 0.01 + 1e-9;

// The default setup and simulator, and a headless user interface.
class VdcDetection : public sim_testing::SimTestFixture {
protected:
    // A fresh user interface and clock for the next case of a table.
    void FreshUi() {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
    }

    double Vdc() const { return setup->FindParameter("Vdc")->GetValueInBaseUnit(); }

    // Opens the test, presses Start, waits for the outcome (at most `wait_s` of the host's
    // clock), then `then` (by default: Close).
    void RunTest(double wait_s = 5.0, const std::function<void(DialogDriver&)>& then = nullptr) {
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        CTestVdcDetection dialog(setup.get());
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, wait_s);
            status = dialog.GetChildText(IDC_TEST_STATUS);
            shown = dialog.GetChildText(IDC_VDC_VALUE);
            shownResult = dialog.GetChildText(IDC_TEST_RESULT);
            if (then) then(d);
            if (dialog.IsOpen()) d.Click("Close");
        });
        returned = dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
    }

    bool ended = false;
    int returned = -1;
    int result = -2;
    std::string error, status, shown, shownResult;
};

TEST_F(VdcDetection, DetectInTheDriveSetupFindsTheTrueSupplyVoltage) {
    CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    bool opened = false;
    ui->OnDialog("Drive Setup", [&](DialogDriver& d) {
        ui->OnDialog(kCaption, [&](DialogDriver& test) {
            opened = true;
            ASSERT_TRUE(test.Click("#10000")) << test.Error();
            ASSERT_TRUE(test.WaitUntil(
                [&] { return test.Dialog().GetChildText(IDC_TEST_STATUS) == CMC_TestDlg::kSucceededText; }, 5.0))
                << test.Dialog().GetChildText(IDC_TEST_RESULT);
            ASSERT_TRUE(test.Click("Close")) << test.Error();  // the question is answered Yes
        });
        ASSERT_TRUE(d.Click("Detect")) << d.Error();
        d.Click("OK");
    });
    CDriveSetupDlg dialog(setup.get());
    dialog.DoModal();
    ASSERT_TRUE(opened) << "Detect did not open the test";
    EXPECT_NEAR(Vdc(), sim.Vdc_V, kVdcTolerance_V);
    ASSERT_FALSE(ui->Messages().empty());
    EXPECT_NE(ui->Messages().back().text.find("Power supply:\tOld = 48\tNew = 47.63"), std::string::npos)
        << ui->Messages().back().text;
}

TEST_F(VdcDetection, TheMeasuredVoltageIsStoredToTwoDecimalsAndShown) {
    const double truths_V[] = {47.63, 12.0, 99.0, 3.337};
    for (double truth_V : truths_V) {
        SCOPED_TRACE(truth_V);
        FreshUi();
        setup->FindParameter("Vdc")->SetValueInBaseUnit(kSavedVdc_V);
        sim.Vdc_V = truth_V;
        ui->QueueAnswer(IDYES);
        RunTest();
        EXPECT_EQ(result, 1) << error;
        EXPECT_EQ(returned, IDOK);
        EXPECT_NEAR(Vdc(), truth_V, kVdcTolerance_V);
        EXPECT_DOUBLE_EQ(Vdc(), std::round(Vdc() * 100.0) / 100.0) << "not rounded to two decimals";
        EXPECT_FALSE(shown.empty()) << "the result is not shown";
    }
}

TEST_F(VdcDetection, FailuresEndWithTheirMessageAndLeaveTheSupplyVoltage) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&)> inject;
        std::string expected;  // empty: any non-empty message
        // What the result shows after the internal error: the reason the program did not start.
        const char* cause = nullptr;
    };
    const Case cases[] = {
        {"short circuit", [](drivesim::SimConfig& s) { s.faults.forced_mer = 0x0002; },
         "Drive / Motor shortcircuit protection triggered."},
        {"program fails to start", [](drivesim::SimConfig& s) { s.faults.failing_start = "VDC_Detection_Test"; },
         CMC_TestDlg::msc_pszErrInternal, "VDC_Detection_Test"},
        {"read of var_u2 fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "var_u2"; }, ""},
        {"read of MER fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "MER"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"link dropped before the start", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 0.0; },
         CMC_TestDlg::msc_pszErrInternal, "link dropped"},
        {"link dropped while running", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 0.1; }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim = drivesim::DefaultSimConfig();
        c.inject(sim);
        FreshUi();
        RunTest();
        EXPECT_TRUE(ended) << "the run did not end";
        EXPECT_EQ(result, 0);
        EXPECT_EQ(status, CMC_TestDlg::kFailedText);
        if (c.expected.empty()) {
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_EQ(error, c.expected);
        }
        if (c.cause) {
            EXPECT_TRUE(shownResult.starts_with(error)) << shownResult;
            EXPECT_NE(shownResult.find(c.cause), std::string::npos) << shownResult;
        } else {
            EXPECT_EQ(shownResult, error);
        }
        EXPECT_DOUBLE_EQ(Vdc(), kSavedVdc_V);
        EXPECT_TRUE(ui->Messages().empty()) << "a failed run asked to keep values";
    }
}

TEST_F(VdcDetection, AnInactiveEnableInputDoesNotStopTheMeasurement) {
    sim.faults.enable_inactive = true;
    ui->QueueAnswer(IDYES);
    RunTest();
    EXPECT_EQ(result, 1) << error;
    EXPECT_NEAR(Vdc(), sim.Vdc_V, kVdcTolerance_V);
}

TEST_F(VdcDetection, TheClosingAnswerDecidesWhatTheSetupKeeps) {
    struct Case {
        int answer;
        int returned;  // -1: the dialog stays open
        double vdc_V;
    };
    const Case cases[] = {
        {IDYES, IDOK, 47.63},
        {IDNO, IDCANCEL, kSavedVdc_V},
        {IDCANCEL, -1, 47.63},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        FreshUi();
        setup->FindParameter("Vdc")->SetValueInBaseUnit(kSavedVdc_V);
        bool stayedOpen = false;
        ui->QueueAnswer(c.answer);
        RunTest(5.0, [&](DialogDriver& d) {
            d.Click("Close");
            stayedOpen = d.Dialog().IsOpen();
            if (stayedOpen) ui->QueueAnswer(IDYES);
        });
        EXPECT_EQ(result, 1) << error;
        EXPECT_EQ(stayedOpen, c.returned == -1);
        if (c.returned != -1) {
            EXPECT_EQ(returned, c.returned);
        }
        EXPECT_NEAR(Vdc(), c.vdc_V, kVdcTolerance_V);
    }
}

TEST_F(VdcDetection, ClosingAfterMeasuringTheSameValueAsksNothing) {
    setup->FindParameter("Vdc")->SetValueInBaseUnit(47.63);
    RunTest();
    EXPECT_EQ(result, 1) << error;
    EXPECT_TRUE(ui->Messages().empty());
    EXPECT_EQ(returned, IDCANCEL);
}

TEST_F(VdcDetection, HelpOpensTheTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    RunTest(5.0, [&](DialogDriver& d) { d.Click("Help"); });
    ASSERT_EQ(ui->HelpOpened().size(), 1U);
    EXPECT_EQ(ui->HelpOpened().front().second, 262405);
}

}  // namespace
