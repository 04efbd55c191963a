// The preliminary positioning every moving test starts with, and the busy loop's way of letting
// Stop through: on the simulated drive, and on a drive whose answers a test chooses.
#include "FakeDrive.h"

#include "MyTestDlg.h"
#include "VdcDetectionForm.h"

#include "BaseQuantities.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace host_testing;
using namespace pelmora;

const char* const kStatusTexts[] = {"Launching positioning", "Positioning"};
constexpr int kStopTimerId = 7;

// A test that only positions and hands the result to the phase program, or (with
// `busyLoop`) reads the drive in a loop until Stop.
class CPositioningProbe : public CMyTestDlg {
public:
    CPositioningProbe(CMC_Setup* setup, bool onlyZeroFails, bool busyLoop = false)
        : CMyTestDlg(setup, kVdcDetectionForm, kVdcDetectionTemplate, 0, 262405), m_onlyZeroFails(onlyZeroFails),
          m_busyLoop(busyLoop) {
        m_nStepCount = 2;
    }
    bool OnInitDialog() override {
        CMyTestDlg::OnInitDialog();
        LoadPositioningProgram();
        LoadProgram(main, "Motor_Phase_Connection_Test");
        return true;
    }
    void BeginTest() override {
        CMyTestDlg::BeginTest();
        ShowStepText(kStatusTexts);
        if (m_busyLoop) return BusyLoop();
        if (!StartPositioning()) return;
        ShowStepText(kStatusTexts);
        StartPollTimer();
    }
    void OnTimer(int id) override {
        KillTimer(id);
        if (id == kStopTimerId) return UserClick(IDC_TEST_START);
        if (id != kTestTimerId || !m_bRunning) return;
        switch (PollPositioning(m_onlyZeroFails)) {
        case ProgramState::Running: StartPollTimer(); return;
        case ProgramState::Failed: return;
        case ProgramState::Finished:
            if (HandPositioningTo(main)) TestSucceeded(1);
            return;
        }
    }
    void BusyLoop() {
        SetTimer(kStopTimerId, 100);
        m_bStopHandledByTest = 1;
        while (!m_bStopRequest && m_bRunning) {
            if (!ReadDriveVariable("MER")) break;
            ++samples;
            KeepUiAlive();
        }
        m_bStopHandledByTest = 0;
        if (m_bRunning) TestSucceeded(1);
    }
    double Preset(const char* name) {
        const CMC_CoffFormat::Variable* v = main.FindVariable(name);
        return v && v->presetRaw ? *v->presetRaw : kNoValue;
    }
    using CMyTestDlg::m_positioningRef;
    using CMyTestDlg::m_positioningRefInc;
    using CMyTestDlg::m_testCurrent;

    CMC_CoffFormat main;
    int samples = 0;

private:
    bool m_onlyZeroFails;
    bool m_busyLoop;
};

struct Outcome {
    bool ended = false;
    int result = -2;
    std::string error;
    double testCurrent = 0.0, reference = 0.0, increment = 0.0, refTest = 0.0, rIncTest = 0.0;
    int samples = 0;
    double stoppedAt_s = 0.0;
};

Outcome RunProbe(HeadlessUi& ui, CMC_Setup& setup, bool onlyZeroFails, const std::function<void()>& afterStart,
                 bool busyLoop = false) {
    Outcome out;
    CPositioningProbe dialog(&setup, onlyZeroFails, busyLoop);
    ui.OnDialog("VDC Detection Test", [&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        if (afterStart) afterStart();
        out.ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 60.0);
        out.stoppedAt_s = ui.Now_s();
        if (dialog.m_bRunning) d.Click("#10000");
        d.Click("Close");
    });
    dialog.DoModal();
    out.result = dialog.m_nResult;
    out.error = dialog.m_strError;
    out.testCurrent = dialog.m_testCurrent;
    out.reference = dialog.m_positioningRef;
    out.increment = dialog.m_positioningRefInc;
    out.refTest = dialog.Preset("RefTest");
    out.rIncTest = dialog.Preset("RIncTest");
    out.samples = dialog.samples;
    return out;
}

class PositioningOnTheSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiBackend(&ui);
        auto loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        AttachCoreScales(*setup);
        sim = drivesim::DefaultSimConfig();
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }
    Outcome Run(bool onlyZeroFails = false) {
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        return RunProbe(ui, *setup, onlyZeroFails, nullptr);
    }

    HeadlessUi ui;
    std::unique_ptr<CMC_Setup> setup;
    drivesim::SimConfig sim;
};

TEST_F(PositioningOnTheSimulator, AHealthyMotorIsPositionedAndFaultsEndItWithTheirMessage) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&, CMC_Setup&)> inject;
        const char* expected;  // "": the link's text, whatever it says; null: positioned
    };
    const Case cases[] = {
        {"healthy", [](drivesim::SimConfig&, CMC_Setup&) {}, nullptr},
        {"phase A open", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.open_phase = drivesim::Phase::A; },
         CMC_TestDlg::msc_pszErrInZero},
        {"program fails to start",
         [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.failing_start = "Initial_Positioning_Test"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"ENABLE inactive", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.enable_inactive = true; },
         "Drive / Motor ENABLE input is in DISABLED state."},
        {"short circuit", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.short_circuit_at_s = 0.3; },
         "Drive / Motor shortcircuit protection triggered."},
        {"REFTST_V unreadable", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.failing_read = "REFTST_V"; }, ""},
        {"In1 unreadable", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.failing_read = "In1"; }, ""},
        {"link dropped", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.link_drop_at_s = 0.2; }, ""},
        // A tiny sensing range makes the test current too large for "In1": the host refuses it.
        {"In1 cannot hold the current",
         [](drivesim::SimConfig&, CMC_Setup& s) { s.FindParameter("ImaxPS")->SetValueInBaseUnit(0.1); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.inject(sim, *setup);
        const double current_counts = setup->FindParameter("TestCurrent")->GetValueInInternalUnit();
        const Outcome out = Run();
        EXPECT_TRUE(out.ended) << "the run did not end";
        if (!c.expected) {
            ASSERT_EQ(out.result, 1) << out.error;
            EXPECT_EQ(out.testCurrent, std::trunc(current_counts)) << "In1 did not come back as written";
            EXPECT_GT(out.reference, 0.0);
            EXPECT_GE(out.increment, 1.0);
            EXPECT_EQ(out.refTest, out.reference);
            EXPECT_EQ(out.rIncTest, out.increment);
            continue;
        }
        EXPECT_EQ(out.result, 0);
        if (*c.expected) {
            EXPECT_EQ(out.error, c.expected);
        } else {
            EXPECT_TRUE(!out.error.empty() && out.error != CMC_TestDlg::msc_pszErrInternal) << out.error;
        }
        EXPECT_EQ(out.refTest, kNoValue) << "a failed positioning handed a start voltage on";
    }
}

class PositioningOnAChosenDrive : public FakeDriveTest {};

TEST_F(PositioningOnAChosenDrive, TheCurrentReadBackDecidesWhetherTheDriveCouldApplyIt) {
    struct Case {
        double in1;
        bool onlyZeroFails;
        int result;
        const char* error;
    };
    const Case cases[] = {
        {5115.0, false, 1, ""},
        {0.0, false, 0, CMC_TestDlg::msc_pszErrInZero},
        {-5.0, false, 0, CMC_TestDlg::msc_pszErrInZero},
        {0.0, true, 0, CMC_TestDlg::msc_pszErrInZero},
        {-5.0, true, 1, ""},
        {kNoValue, false, 0, CMC_TestDlg::msc_pszErrInternal},
        {kNoValue, true, 0, CMC_TestDlg::msc_pszErrInternal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "In1 " << c.in1 << (c.onlyZeroFails ? " only zero fails" : ""));
        const Outcome out = RunProbe(ui, *setup, c.onlyZeroFails, [&] { drive.programVariables["In1"] = c.in1; });
        EXPECT_TRUE(out.ended);
        EXPECT_EQ(out.result, c.result) << out.error;
        EXPECT_EQ(out.error, c.error);
        if (c.result == 1) {
            EXPECT_EQ(out.testCurrent, c.in1);
            EXPECT_EQ(out.refTest, 1200.0);
            EXPECT_EQ(out.rIncTest, 18.0);
        }
    }
}

TEST_F(PositioningOnAChosenDrive, AFailingWriteOfTheCurrentStartsNothing) {
    // The second Start writes "In1" live: the positioning program is still the drive's current one.
    CPositioningProbe dialog(setup.get(), false);
    int firstResult = -2;
    std::size_t starts = 0;
    ui.OnDialog("VDC Detection Test", [&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        d.WaitUntil([&] { return !dialog.m_bRunning; }, 5.0);
        firstResult = dialog.m_nResult;
        drive.failing.insert({drivesim::Op::WriteProgramVariable, "In1"});
        starts = drive.Count(drivesim::Op::Start);
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        d.WaitUntil([&] { return !dialog.m_bRunning; }, 5.0);
        d.Click("Close");
    });
    dialog.DoModal();
    ASSERT_EQ(firstResult, 1);
    EXPECT_EQ(dialog.m_nResult, 0);
    EXPECT_NE(dialog.m_strError.find("In1"), std::string::npos) << dialog.m_strError;
    EXPECT_EQ(drive.Count(drivesim::Op::Start), starts) << "the program started without its current";
}

TEST_F(PositioningOnAChosenDrive, StopReachesALoopThatKeepsTheUserInterfaceAlive) {
    const Outcome out = RunProbe(ui, *setup, false, nullptr, true);
    EXPECT_TRUE(out.ended) << "Stop never reached the loop";
    EXPECT_GT(out.samples, 10);
    EXPECT_EQ(out.result, 1);
    EXPECT_LT(out.stoppedAt_s, 1.0) << "the loop ran on after Stop";
}

}  // namespace
