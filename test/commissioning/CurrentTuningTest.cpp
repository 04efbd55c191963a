// The current controller tuning test against the simulated drive: the loop it tunes reaches the
// bandwidth asked for, gains reach a running drive, and every fault ends the run with its message
// and the axis off.
#include "SimTestRun.h"
#include "CurrentTuningForm.h"
#include "DriveSetupDlg.h"
#include "DriveSetupForm.h"
#include "TestCurrent.h"
#include "TuningProfile.h"

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_CoffFormat.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <drivesim/Protocol.h>
#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pelmora;

constexpr const char* kCaption = "Current Controller Tuning Test";
constexpr int kReferenceItem = 1;
constexpr int kResponseItem = 2;

// The default setup and simulator, and a headless user interface.
class CurrentTuning : public sim_testing::SimTestFixture {
protected:
    void FreshUi() {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
    }

    CMC_Parameter& P(const char* name) { return *setup->FindParameter(name); }
    double Base(const char* name) { return P(name).GetValueInBaseUnit(); }

    // Opens the test, goes to the "Test" tab, tunes from `passband` when given, presses Start,
    // runs `during` once the run is on, waits for the outcome and closes.
    void Run(std::optional<double> passband, const std::function<void(DialogDriver&, CTestCurrent&)>& during = nullptr) {
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        CTestCurrent dialog(setup.get());
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            if (passband) {
                ASSERT_TRUE(d.Type("#3155", std::to_string(*passband))) << d.Error();
                ASSERT_TRUE(d.Click("Tune")) << d.Error();
            }
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            if (during) during(d, dialog);
            ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 20.0);
            status = dialog.GetChildText(IDC_TEST_STATUS);
            int axis = 0;
            std::string ignored;
            axisOn = CMC_ProgramRunner::GetAxisOn(axis, ignored) ? axis : -1;
            const CGraphDocument& doc = dialog.GetLogger()->GetGraphDocument();
            reference.clear();
            response.clear();
            for (std::size_t k = 0; k < doc.GetPointsCount(); ++k) {
                reference.push_back(doc.GetValue(k, kReferenceItem));
                response.push_back(doc.GetValue(k, kResponseItem));
            }
            d.Click("Cancel");
        });
        dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
    }

    // The period the logger records at: one current-loop period.
    double Period_s() { return GetCurrentLoopPeriod(*setup); }
    double Tau_s() { return Base("L") / Base("R"); }

    bool ended = false;
    int axisOn = -1;
    int result = -2;
    std::string error, status;
    std::vector<double> reference, response;
};

TEST_F(CurrentTuning, TuneAndTestInTheDriveSetupOpensTheTestAndRunsTheStep) {
    CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    bool opened = false;
    ui->OnDialog("Drive Setup", [&](DialogDriver& d) {
        ui->OnDialog(kCaption, [&](DialogDriver& test) {
            opened = true;
            ASSERT_TRUE(test.Type("#1303", "5")) << test.Error();
            ASSERT_TRUE(test.Select("#1300", "Test")) << test.Error();
            ASSERT_TRUE(test.Click("Tune")) << test.Error();
            ASSERT_TRUE(test.Click("#10000")) << test.Error();
            ASSERT_TRUE(test.WaitUntil(
                [&] { return test.Dialog().GetChildText(IDC_TEST_STATUS) == CMC_TestDlg::kSucceededText; }, 20.0))
                << test.Dialog().GetChildText(IDC_TEST_RESULT);
            ASSERT_TRUE(test.Click("OK")) << test.Error();
        });
        ASSERT_TRUE(d.Click("#" + std::to_string(IDC_DS_CURRENT_TUNE))) << d.Error();
        d.Click("OK");
    });
    CDriveSetupDlg dialog(setup.get());
    dialog.DoModal();
    ASSERT_TRUE(opened) << "\"Tune & Test\" did not open the test";
    EXPECT_DOUBLE_EQ(Base("Imax_Prot"), 5.0) << "OK keeps the test's protection level";
}

// The figures of the tuning table in docs/commissioning.md. Up to ω·T_C = 0.1 the design places
// the poles of the continuous loop; beyond it, those of the sampled loop with its delay (the
// voltage computed from a sample is applied one period later and held), up to 5000 rad/s. The
// inverter's dead-time drop is a disturbance the integral has to take up: it slows the overdamped
// (ζ = 1) steps between 2500 and 3500 rad/s by a little over a fifth; those rows are measured and
// printed, not held to the design.
TEST_F(CurrentTuning, StepResponseAfterTuneReachesTheDesignedBandwidthAndDamping) {
    // Twice the default test current: at 1.25 A the dead-time drop alone slows a ζ = 1 step by
    // about a third.
    constexpr double kStepCurrent_A = 2.5;
    struct Case {
        double passband;
        double damping;
        bool asDesigned;
    };
    const Case cases[] = {
        {1500, 1.0, true},     {2000, 1.0, true},     {2500, 1.0, false},    {3000, 1.0, false},
        {3000, 0.8, true},     {1500, 0.7071, true},  {2000, 0.7071, true},  {2500, 0.7071, true},
        {3000, 0.7071, true},  {3500, 1.0, false},    {4000, 1.0, true},     {4000, 0.7071, true},
        {5000, 1.0, true},     {4500, 0.7071, true},
    };
    for (const Case& c : cases) {
        FreshUi();
        P("Dump_C").SetValueInBaseUnit(c.damping);
        P("TestCurrent").SetValueInBaseUnit(kStepCurrent_A);
        Run(c.passband);
        const std::string name = "PB_C " + std::to_string(c.passband) + ", Dump_C " + std::to_string(c.damping);
        ASSERT_EQ(result, 1) << name << ": " << error;
        const auto measured = MeasureStep(reference, response, Period_s());
        ASSERT_TRUE(measured) << name << ": no step in the log";
        const double rise_s = DesignedCurrentRiseTime_s(c.passband, c.damping, Tau_s());
        const double overshoot = DesignedCurrentOvershoot_pct(c.passband, c.damping, Tau_s());
        const double designedBandwidth = DesignedCurrentBandwidth_rad_s(c.passband, c.damping, Tau_s());
        const auto bandwidth = MeasureBandwidth_rad_s(reference, response, Period_s());
        ASSERT_TRUE(bandwidth) << name << ": no -3 dB point";
        std::printf("%s: rise %.3f ms (designed %.3f ms), -3 dB %.0f rad/s (designed %.0f), overshoot %.1f %% (designed %.1f %%)\n",
                    name.c_str(), measured->riseTime_s * 1e3, rise_s * 1e3, *bandwidth, designedBandwidth,
                    measured->overshoot_pct, overshoot);
        if (c.asDesigned) {
            const bool riseAsDesigned = std::fabs(measured->riseTime_s - rise_s) <= 0.2 * rise_s;
            const bool bandwidthAsDesigned = std::fabs(*bandwidth - designedBandwidth) <= 0.2 * designedBandwidth;
            EXPECT_TRUE(riseAsDesigned || bandwidthAsDesigned) << name << ": neither rise time nor -3 dB within 20 %";
            EXPECT_NEAR(measured->overshoot_pct, overshoot, 5.0) << name;
        }
        EXPECT_NEAR(measured->finalValue, measured->stepSize, 0.05 * measured->stepSize) << name << ": steady error";
        EXPECT_EQ(axisOn, 0) << name;
    }
}

TEST_F(CurrentTuning, GainsTunedWhileTheTestRunsReachTheDrive) {
    Run(std::nullopt, [&](DialogDriver& d, CTestCurrent&) {
        ASSERT_TRUE(d.Type("#3155", "5000")) << d.Error();
        ASSERT_TRUE(d.Click("Tune")) << d.Error();
        for (const char* reg : {"SFTKPI", "KPI", "SFTKII", "KII"}) {
            drivesim::Request read;
            read.op = drivesim::Op::ReadRegister;
            read.name = reg;
            const drivesim::Response on = CMC_Comm::Transact(read);
            ASSERT_TRUE(on.ok()) << reg << ": " << on.error;
            EXPECT_DOUBLE_EQ(on.value, Base(reg)) << reg << " did not reach the running drive";
        }
    });
    EXPECT_EQ(result, 1) << error;
}

TEST_F(CurrentTuning, FaultsEndTheRunWithTheirMessageAndTheAxisOff) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&, CMC_Setup&)> inject;
        std::string expected;  // empty: any message
        bool stopMidRun = false;
    };
    const auto protection = [](double amperes) {
        return [amperes](drivesim::SimConfig&, CMC_Setup& s) {
            s.FindParameter("TestProtectionCurrent")->SetValueInBaseUnit(amperes);
        };
    };
    const Case cases[] = {
        {"over-current during the step", protection(1.25), "Test failed!\nCurrent protection triggered during test!"},
        {"short circuit", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.forced_mer = 0x0002; },
         "Drive / Motor shortcircuit protection triggered."},
        {"ENABLE input inactive", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.enable_inactive = true; },
         "Drive / Motor ENABLE input is in DISABLED state."},
        {"test program fails to start",
         [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.failing_start = "Current_Controller_Tuning_Test"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"link dropped mid-run", [](drivesim::SimConfig& s, CMC_Setup&) { s.faults.link_drop_at_s = 0.5; }, ""},
        {"Stop pressed mid-run", [](drivesim::SimConfig&, CMC_Setup&) {}, "", true},
    };
    for (const Case& c : cases) {
        FreshUi();
        SetUp();
        c.inject(sim, *setup);
        const double kp = Base("Kp_C_scl");
        Run(std::nullopt, [&](DialogDriver& d, CTestCurrent&) {
            if (!c.stopMidRun) return;
            d.Wait_ms(300);
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
        });
        EXPECT_TRUE(ended) << c.name << ": the run did not end";
        EXPECT_NE(result, 1) << c.name;
        if (c.stopMidRun) {
            EXPECT_EQ(status, CMC_TestDlg::kStoppedText) << c.name;
        } else {
            EXPECT_EQ(status, CMC_TestDlg::kFailedText) << c.name;
            if (c.expected.empty()) {
                EXPECT_FALSE(error.empty()) << c.name;
            } else {
                EXPECT_EQ(error, c.expected) << c.name;
            }
        }
        // A dropped link cannot tell the axis state; every other case must have switched it off.
        if (!sim.faults.link_drop_at_s) {
            EXPECT_EQ(axisOn, 0) << c.name;
        }
        EXPECT_DOUBLE_EQ(Base("Kp_C_scl"), kp) << c.name << ": the gains changed without Tune";
    }
}

TEST_F(CurrentTuning, TestTabNeedsAProtectionLevelAtLeastTheTestCurrent) {
    struct Case {
        double test_A, protection_A;
        bool entered;
    };
    const Case cases[] = {{1.25, 6.5, true}, {1.25, 1.25, true}, {2.0, 1.5, false}};
    for (const Case& c : cases) {
        FreshUi();
        P("TestCurrent").SetValueInBaseUnit(c.test_A);
        P("TestProtectionCurrent").SetValueInBaseUnit(c.protection_A);
        CTestCurrent dialog(setup.get());
        int tab = -1;
        bool tuneShown = false;
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            tab = dialog.GetSelection(IDC_CT_TABS);
            tuneShown = dialog.GetControl(IDC_CT_TUNE)->visible;
            d.Click("Cancel");
        });
        dialog.DoModal();
        const std::string name = std::to_string(c.test_A) + " A against " + std::to_string(c.protection_A) + " A";
        EXPECT_EQ(tab, c.entered ? 1 : 0) << name;
        EXPECT_EQ(tuneShown, c.entered) << name;
        const bool warned = !ui->Messages().empty() &&
                            ui->Messages().back().text == "Over current protection must be greater or equal to Test current.";
        EXPECT_EQ(warned, !c.entered) << name;
    }
}

TEST_F(CurrentTuning, RunKeepsTheTestTabAndLocksTheGainsUntilItEnds) {
    CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    CTestCurrent dialog(setup.get());
    ui->OnDialog(kCaption, [&](DialogDriver& d) {
        ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        d.Wait_ms(100);
        d.Select("#1300", "Test Parameters");
        EXPECT_EQ(dialog.GetSelection(IDC_CT_TABS), 1) << "left the Test tab during a run";
        EXPECT_FALSE(dialog.GetControl(IDC_CT_KP)->enabled) << "Kp editable during a run";
        EXPECT_FALSE(dialog.GetControl(IDOK)->enabled) << "OK enabled during a run";
        EXPECT_TRUE(dialog.GetControl(IDC_CT_TUNE)->enabled) << "Tune locked during a run";
        ASSERT_TRUE(d.WaitUntil([&] { return !dialog.m_bRunning; }, 20.0));
        EXPECT_TRUE(dialog.GetControl(IDC_CT_KP)->enabled) << "Kp still locked after the run";
        d.Click("Cancel");
    });
    dialog.DoModal();
}

TEST_F(CurrentTuning, CurrentsBeyondTheDrivesRangeAreRefusedNotWrapped) {
    // 8.5 A is more than the 16-bit current count holds; sent as its low 16 bits it would be a
    // negative current.
    P("TestProtectionCurrent").SetMaxInBaseUnit(20.0);
    P("TestProtectionCurrent").SetValueInBaseUnit(8.5);
    Run(std::nullopt);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, "\"TestProtectionCurrent\" is beyond the current the drive can measure.");
}

TEST(TuningSlider, CoversHalfToOneAndAHalfTimesTheValueWithinItsLimits) {
    struct Case {
        double value, minimum, maximum, low, high;
    };
    const Case cases[] = {{2.0, 0.0, 10.0, 1.0, 3.0}, {2.0, 1.5, 2.5, 1.5, 2.5}, {0.8, 0.0, 10.0, 0.4, 1.2},
                          {0.8, 0.6, 1.0, 0.6, 1.0}};
    for (const Case& c : cases) {
        const SliderSpan span = TuningSliderSpan(c.value, c.minimum, c.maximum);
        EXPECT_DOUBLE_EQ(span.low, c.low) << c.value << " in [" << c.minimum << ", " << c.maximum << "]";
        EXPECT_DOUBLE_EQ(span.high, c.high) << c.value << " in [" << c.minimum << ", " << c.maximum << "]";
    }
}

}  // namespace

namespace {

TEST_F(CurrentTuning, TuneThatCannotDesignSaysWhyAndKeepsTheGains) {
    struct Case {
        const char* parameter;
        double value;
        const char* why;  // a part of the message
    };
    // Beyond ω·T_C = 0.25 at the default 50 µs: 5000 rad/s.
    const Case cases[] = {
        {"R", 0.0, "resistance and inductance must be known"},
        {"PB_C", 6000.0, "reaches at most 5000 rad/s (795.8 Hz)"},
        {"Dump_C", 0.0, "the damping must be greater than zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.parameter) + " = " + std::to_string(c.value));
        FreshSetup();
        Fresh();
        P(c.parameter).SetMinInBaseUnit(0.0);
        P(c.parameter).SetMaxInBaseUnit(std::max(P(c.parameter).GetMaxInBaseUnit(), c.value));
        P(c.parameter).SetValueInBaseUnit(c.value);
        const double kp = Base("Kp_C_scl"), ki = Base("Ki_C_scl");
        CTestCurrent dialog(setup.get());
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            ASSERT_TRUE(d.Click("Tune")) << d.Error();
            d.Click("Cancel");
        });
        dialog.DoModal();
        ASSERT_FALSE(ui->Messages().empty()) << "Tune said nothing";
        const std::string& text = ui->Messages().back().text;
        EXPECT_NE(text.find("cannot be designed"), std::string::npos) << text;
        EXPECT_NE(text.find(c.why), std::string::npos) << text;
        EXPECT_DOUBLE_EQ(Base("Kp_C_scl"), kp);
        EXPECT_DOUBLE_EQ(Base("Ki_C_scl"), ki);
    }
}

}  // namespace
