// The resistance and inductance test as a user runs it from the motor setup, against the
// simulated drive's windings: what it finds, and how faults and the closing answer end it.
#include "SimTestRun.h"

#include "FakeDrive.h"

#include "MotorSetupDialog.h"
#include "ResistanceInductanceForm.h"
#include "TestRL.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pelmora;
using namespace sim_testing;

constexpr const char* kCaption = "Total Resistance and Inductance Identification Test";
// The longest identification (1 H at 5 ohm) settles for tens of seconds of drive time.
constexpr double kLongestRun_s = 240.0;

class ResistanceInductance : public SimTestFixture {
protected:
    // The setup tells the test how the simulated motor is connected.
    void DescribeMotor(const drivesim::SimConfig& truth) {
        Set("MotorPhaseConnectionType", truth.motor.connection == drivesim::Connection::Delta ? 1.0 : 0.0);
    }
    RunOutcome RunTest(const std::function<void(DialogDriver&)>& then = nullptr) {
        CTestRL dialog(setup.get());
        RunOutcome outcome = Run(dialog, kLongestRun_s, then);
        computedR_ohm = dialog.ComputedR();
        computedL_H = dialog.ComputedL();
        return outcome;
    }
    double computedR_ohm = 0.0;
    double computedL_H = 0.0;
};

TEST_F(ResistanceInductance, FindsTheWindingOfEveryMotor) {
    struct Case {
        const char* file;
        double rTolerance;  // relative
    };
    const Case cases[] = {
        {"", 0.01},
        // The inverter's dead time does not cancel between the two currents at 0.5 ohm: R reads
        // about 10 % high.
        {"winding_10uH.json", 0.12},
        {"winding_1H.json", 0.01},
        {"delta.json", 0.01},
        {"heavy_load_friction.json", 0.01},
        {"reversed_transmission.json", 0.01},
    };
    // The 10 uH and 1 H windings sit on the bounds the test accepts: whether a run keeps them
    // depends on which side of the bound it measured, so the bound is checked against what it found.
    constexpr double kLowestL_H = 10e-6;
    constexpr double kHighestL_H = 1.0;
    const std::string tooLow = "The computed inductivity is less than the possible minimum value of 10 \u00B5H.";
    const std::string tooHigh = "The computed inductivity is greater than the possible maximum value of 1 H.";
    for (const Case& c : cases) {
        const char* name = c.file[0] ? c.file : "default";
        SCOPED_TRACE(name);
        FreshSetup();
        sim = MotorSim(c.file);
        DescribeMotor(sim);
        const double savedR = Value("R");
        const double savedL = Value("L");
        Fresh();
        ui->QueueAnswer(IDYES);
        const RunOutcome outcome = RunTest();
        const std::string failure = computedL_H < kLowestL_H    ? tooLow
                                    : computedL_H > kHighestL_H ? tooHigh
                                                                : std::string();
        // The delta's values are the winding's, between two terminals, as the setup keeps them.
        const double factor = sim.motor.connection == drivesim::Connection::Delta && !failure.empty() ? 1.0 / 3.0 : 1.0;
        const double truthR = sim.motor.R_ohm * factor;
        const double truthL = sim.motor.L_H * factor;
        std::printf("| %s | %.6g ohm | %.6g ohm | %+.3f %% | %.6g H | %.6g H | %+.3f %% |\n", name, truthR, computedR_ohm,
                    100.0 * (computedR_ohm / truthR - 1.0), truthL, computedL_H, 100.0 * (computedL_H / truthL - 1.0));
        EXPECT_NEAR(computedR_ohm, truthR, c.rTolerance * truthR);
        EXPECT_NEAR(computedL_H, truthL, 0.02 * truthL);
        if (!failure.empty()) {
            EXPECT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.error, failure);
            EXPECT_EQ(Value("R"), savedR);
            EXPECT_EQ(Value("L"), savedL);
        } else {
            ASSERT_EQ(outcome.result, 1) << outcome.error;
            EXPECT_DOUBLE_EQ(Value("R"), computedR_ohm);
            EXPECT_DOUBLE_EQ(Value("L"), computedL_H);
        }
    }
}

TEST_F(ResistanceInductance, FaultsEndTheRunWithTheirMessageAndKeepTheWinding) {
    // The middles of the second R run and of the L run, from a healthy run: each comes after a
    // positioning whose length the Halls' noise decides.
    FreshSetup();
    Fresh();
    TimelineLink::Timeline timeline;
    CMC_Comm::Connect(std::make_unique<TimelineLink>(sim, timeline));
    ASSERT_EQ(RunTest().result, 1);
    ASSERT_EQ(timeline.started_s.count("Ident_R_or_Rs"), 1U);
    ASSERT_EQ(timeline.started_s.count("Ident_L_or_Tau_el"), 1U);
    const double lRunStart_s = timeline.started_s["Ident_L_or_Tau_el"];
    const double rRunMiddle_s = 0.5 * (timeline.started_s["Ident_R_or_Rs"] + lRunStart_s);
    const double lRunMiddle_s = 0.5 * (lRunStart_s + timeline.last_s);
    const std::string zero = CMC_TestDlg::msc_pszErrInZero;
    const std::string internal = CMC_TestDlg::msc_pszErrInternal;
    std::vector<FaultCase> cases = PositioningFaults();
    cases.insert(cases.end(), {
        {"phase B open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::B; }, zero},
        // Every limit switch stops the drive in the positioning, which then names the switch.
        {"negative limit switch", [](drivesim::SimConfig& s) { s.faults.negative_limit_active = true; },
         kNegativeLimitText},
        // Counted on the clock of the drive connected for the test.
        {"short circuit in the R run", [=](drivesim::SimConfig& s) { s.faults.short_circuit_at_s = rRunMiddle_s; },
         kShortCircuitText},
        {"read of var_i1 fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "var_i1"; }, ""},
        {"read of var_u2 fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "var_u2"; }, ""},
        {"read of TINCTST fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "TINCTST"; }, ""},
        {"R program fails to start", [](drivesim::SimConfig& s) { s.faults.failing_start = "Ident_R_or_Rs"; },
         internal},
        {"L program fails to start", [](drivesim::SimConfig& s) { s.faults.failing_start = "Ident_L_or_Tau_el"; },
         internal},
        {"link dropped in the positioning", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 0.3; }, ""},
        {"link dropped in the L run", [=](drivesim::SimConfig& s) { s.faults.link_drop_at_s = lRunMiddle_s; }, ""},
    });
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        FreshWithFault(c.inject);
        const auto before = Snapshot();
        const RunOutcome outcome = RunTest();
        ExpectFailedWith(outcome, c.expected);
        // The measured supply voltage is the test's own; closing puts the setup's back.
        EXPECT_EQ(Changed(before, Snapshot()), "");
        EXPECT_TRUE(ui->Messages().empty()) << "a failed run asked to keep values";
    }
}

TEST_F(ResistanceInductance, AnOpenPhaseCIsSeenAsTheWindingOfPhasesAAndB) {
    // With phase C open the current takes A and B in series: the test cannot tell, and finds the
    // winding the drive sees (the phase test is the one that detects it).
    sim.faults.open_phase = drivesim::Phase::C;
    Fresh();
    ui->QueueAnswer(IDYES);
    const RunOutcome outcome = RunTest();
    std::printf("| phase C open | %.6g ohm | %.6g H |\n", computedR_ohm, computedL_H);
    EXPECT_EQ(outcome.result, 1) << outcome.error;
    EXPECT_GT(Value("R"), sim.motor.R_ohm);
}

TEST_F(ResistanceInductance, StopInAnyPhaseEndsTheRunAndKeepsTheSetup) {
    for (double stopAt_s : {0.2, 1.4, 2.0, 3.2}) {
        SCOPED_TRACE(::testing::Message() << "Stop at " << stopAt_s << " s");
        FreshSetup();
        sim = drivesim::DefaultSimConfig();
        Fresh();
        const auto before = Snapshot();
        CTestRL dialog(setup.get());
        std::string status;
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            d.Wait_ms(stopAt_s * 1000.0);
            ASSERT_TRUE(dialog.m_bRunning) << "the run ended before Stop";
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            d.Wait_ms(100.0);
            EXPECT_FALSE(dialog.m_bRunning);
            status = dialog.GetChildText(IDC_TEST_STATUS);
            d.Click("Close");
        });
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
        EXPECT_EQ(status, CMC_TestDlg::kStoppedText);
        EXPECT_EQ(Changed(before, Snapshot()), "");
        EXPECT_TRUE(ui->Messages().empty());
    }
}

TEST_F(ResistanceInductance, TheClosingAnswerDecidesWhatTheSetupKeeps) {
    for (const ClosingAnswer& c : kClosingAnswers) {
        SCOPED_TRACE(c.answer);
        FreshSetup();
        sim = drivesim::DefaultSimConfig();
        const double savedR = Value("R");
        const double savedL = Value("L");
        const double savedVdc = Value("Vdc");
        Fresh();
        ui->QueueAnswer(c.answer);
        bool stayedOpen = false;
        const auto close = CloseNoting(stayedOpen);
        const RunOutcome outcome = RunTest([&](DialogDriver& d) {
            EXPECT_NE(Value("Vdc"), savedVdc) << "the run measured no supply voltage";
            close(d);
        });
        ASSERT_EQ(outcome.result, 1) << outcome.error;
        const std::string question = Question();
        ASSERT_FALSE(question.empty());
        // Both values as the question formats them, the old one from the setup, the new one found.
        std::array<char, 128> expected{};
        std::snprintf(expected.data(), expected.size(), "Phase resistance:\tOld = %f\tNew = %f", savedR, computedR_ohm);
        EXPECT_NE(question.find(expected.data()), std::string::npos) << question;
        std::snprintf(expected.data(), expected.size(), "Phase inductance:\tOld = %f\tNew = %f", savedL, computedL_H);
        EXPECT_NE(question.find(expected.data()), std::string::npos) << question;
        ExpectClosedAs(outcome, stayedOpen, c);
        EXPECT_EQ(Value("R") != savedR, c.kept);
        EXPECT_EQ(Value("L") != savedL, c.kept);
        EXPECT_EQ(Value("Vdc"), savedVdc);
    }
}

TEST_F(ResistanceInductance, IdentifyInTheMotorSetupShowsTheWindingFound) {
    Fresh();
    bool opened = false;
    std::string shownR;
    ui->OnDialog("Brushless Motor Setup", [&](DialogDriver& d) {
        ui->OnDialog(kCaption, [&](DialogDriver& test) {
            opened = true;
            ASSERT_TRUE(test.Click("Start")) << test.Error();
            ASSERT_TRUE(test.WaitUntil(
                [&] { return test.Dialog().GetChildText(IDC_TEST_STATUS) == CMC_TestDlg::kSucceededText; }, 30.0))
                << test.Dialog().GetChildText(IDC_TEST_RESULT);
            test.Click("Close");  // the question is answered Yes
        });
        ASSERT_TRUE(d.Click("Identify Resistance and Inductance")) << d.Error();
        shownR = d.Dialog().GetChildText(static_cast<CMC_EditSetupDlg&>(d.Dialog()).GetBoundControl("R"));
        d.Click("Cancel");
    });
    CMotorSetupDialog motor(setup.get());
    motor.DoModal();
    ASSERT_TRUE(opened) << "the button did not open the test";
    EXPECT_NEAR(Value("R"), sim.motor.R_ohm, 0.01 * sim.motor.R_ohm);
    EXPECT_NEAR(std::stod(shownR), Value("R"), 0.01) << shownR;
}

TEST_F(ResistanceInductance, HelpOpensTheTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    Fresh();
    RunTest([](DialogDriver& d) { d.Click("Help"); });
    ASSERT_EQ(ui->HelpOpened().size(), 1U);
    EXPECT_EQ(ui->HelpOpened().front().second, CTestRL::kHelpTopic);
}

TEST(ResistanceFromTwoRuns, IsTheDifferenceQuotientAndRefusesEqualCurrents) {
    struct Case {
        double u1, u2, i1, i2, ku, ki;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {2000.0, 1000.0, 5000.0, 2500.0, 1000.0, 4000.0, 1.6},
        {1000.0, 2000.0, 2500.0, 5000.0, 1000.0, 4000.0, 1.6},  // the order of the runs does not matter
        {2100.0, 1100.0, 5000.0, 2500.0, 1000.0, 4000.0, 1.6},  // a common offset cancels
        {2000.0, 1000.0, 5000.0, 5000.0, 1000.0, 4000.0, std::nullopt},
        {2000.0, 2000.0, 0.0, 0.0, 1000.0, 4000.0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "U " << c.u1 << "/" << c.u2 << " I " << c.i1 << "/" << c.i2);
        const std::optional<double> r = ResistanceFromTwoRuns_ohm(c.u1, c.u2, c.i1, c.i2, c.ku, c.ki);
        ASSERT_EQ(r.has_value(), c.expected.has_value());
        if (r) {
            EXPECT_DOUBLE_EQ(*r, *c.expected);
        }
    }
}

TEST(InductanceFromRun, IsTheLaggingCurrentOverOmegaAndRefusesNoFrequencyOrCurrent) {
    constexpr double kTc_s = 50e-6;
    const double omega = 2048.0 * 2.0 * 3.141592653589793 / (kTc_s * 65535.0);
    struct Case {
        double id, power, u, step;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {1000.0, 1e6, 1000.0, 2048.0, 1000.0 * 1000.0 / (omega * 1e6) * 4.0},
        {600.0, 1e6, 1000.0, 2048.0, 600.0 * 1000.0 / (omega * 1e6) * 4.0},
        {1000.0, 1e6, 1000.0, 0.0, std::nullopt},
        {1000.0, 0.0, 1000.0, 2048.0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "ID " << c.id << " power " << c.power << " step " << c.step);
        const std::optional<double> l = InductanceFromRun_H(c.id, c.power, c.u, c.step, kTc_s, 1000.0, 4000.0);
        ASSERT_EQ(l.has_value(), c.expected.has_value());
        if (l) {
            EXPECT_NEAR(*l, *c.expected, 1e-12 * *c.expected);
        }
    }
}

TEST(RunningMean, IsTheMeanOfWhatWasLoggedAndNothingWithoutSamples) {
    struct Case {
        std::vector<double> samples;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {{}, std::nullopt}, {{5.0}, 5.0}, {{1.0, 2.0, 3.0, 4.0}, 2.5}, {{-3.0, 3.0}, 0.0}, {{1e9, 1e9 + 2.0}, 1e9 + 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.samples.size() << " samples");
        const std::optional<double> mean = RunningMean(c.samples);
        ASSERT_EQ(mean.has_value(), c.expected.has_value());
        if (mean) {
            EXPECT_DOUBLE_EQ(*mean, *c.expected);
        }
    }
}

// A drive whose two resistance runs log the same current, as a broken current measurement would.
class ResistanceAgainstAFakeDrive : public host_testing::FakeDriveTest {};

TEST_F(ResistanceAgainstAFakeDrive, EqualCurrentsInBothRunsFailWithAClearMessage) {
    drive.variables["var_i1"] = 2000.0;
    drive.variables["var_u2"] = 31426.0;
    drive.variables["TINCTST"] = 2048.0;
    for (int i = 0; i < 10; ++i) drive.log.push_back({0.0005 * i, {5000.0}});
    const double savedR = setup->FindParameter("R")->GetValueInBaseUnit();
    const double savedVdc = setup->FindParameter("Vdc")->GetValueInBaseUnit();
    CTestRL dialog(setup.get());
    std::string error;
    ui.OnDialog(kCaption, [&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        EXPECT_TRUE(d.WaitUntil([&] { return !dialog.m_bRunning; }, 10.0)) << "the run did not end";
        error = dialog.m_strError;
        d.Click("Close");
    });
    dialog.DoModal();
    EXPECT_EQ(dialog.m_nResult, 0);
    EXPECT_EQ(error,
              "Both resistance measurements found the same current, so the resistance cannot be computed. Check the "
              "motor phase wiring and the test current, then start the test again.");
    EXPECT_EQ(setup->FindParameter("R")->GetValueInBaseUnit(), savedR);
    EXPECT_EQ(setup->FindParameter("Vdc")->GetValueInBaseUnit(), savedVdc);
    EXPECT_TRUE(ui.Messages().empty());
}

}  // namespace
