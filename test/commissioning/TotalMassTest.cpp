// The total mass test as the tuning tests open it, against the simulated drive's mover and load:
// what it finds, the start check of the protection current, the program's refusals and faults.
#include "SimTestRun.h"

#include "ControllerDesign.h"
#include "Decode.h"
#include "Encode.h"

#include "FakeDrive.h"
#include "TotalMassForm.h"
#include "TestFactory.h"
#include "TotalMassTest.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace pelmora;
using namespace sim_testing;

constexpr const char* kCaption = "Total mass test";
// A speed every simulated stroke lets the mover reach and brake from.
constexpr double kTestSpeed_m_s = 0.5;

// The mass the motor moves: its own and the load's, reflected through the transmission.
double TotalMass_kg(const drivesim::MotorTruth& motor) {
    return motor.moving_mass_kg + motor.load_mass_kg / (motor.transmission * motor.transmission);
}

class TotalMass : public SimTestFixture {
protected:
    // ExecuteCode of a loaded program and the tests' wait on STARTED and the axis, for the steps that commission the
    // axis before the mass test.
    void RunProgram(CMC_CoffFormat& program, const char* name) {
        std::string error;
        ASSERT_TRUE(CMC_ProgramRunner::ExecuteCode(*setup, name, &program, nullptr, error)) << error;
        // No program on any motor runs this long.
        constexpr double kHangLimit_s = 400.0;
        const double end_s = ui->Now_s() + kHangLimit_s;
        for (double started = 0.0;;) {
            ASSERT_LT(ui->Now_s(), end_s) << name << " did not end";
            ui->Advance(0.02);
            ASSERT_TRUE(CMC_ProgramRunner::GetUserVariableValue(&program, "STARTED", started, error)) << error;
            int on = 1;
            ASSERT_TRUE(CMC_ProgramRunner::GetAxisOn(on, error)) << error;
            if (started != 0.0 && !on) return;
        }
    }
    double Read(const char* name) {
        CMC_Variable* variable = setup->FindVariable(name, 1);
        EXPECT_TRUE(variable && variable->ReadFromChip()) << name;
        return variable ? variable->GetValueInInternalUnit() : 0.0;
    }
    // The Hall offset test's calibration, as it copies it into the setup: the mass program
    // commutates from the Halls.
    void CalibrateHalls() {
        std::string error;
        CMC_CoffFormat positioning;
        ASSERT_TRUE(positioning.ReadCoff(GetOutPathName("Initial_Positioning_Test")));
        ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&positioning, "In1", 5115.0, error)) << error;
        RunProgram(positioning, "Initial_Positioning_Test");
        CMC_CoffFormat halls;
        ASSERT_TRUE(halls.ReadCoff(GetOutPathName("Detect_Hall_Gain_Offset_Test")));
        const std::pair<const char*, double> inputs[] = {
            {"RefTest", Read("REFTST_V")}, {"RIncTest", Read("RINCTST_V")}, {"run_test", 1.0}};
        for (const auto& [name, value] : inputs)
            ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&halls, name, value, error)) << error;
        ASSERT_TRUE(CMC_ProgramRunner::ExecuteCode(*setup, "Detect_Hall_Gain_Offset_Test", &halls, nullptr, error))
            << error;
        double done = 0.0;
        for (int i = 0; i < 30000 && done == 0.0; ++i) done = Read("WEAKINC");
        ASSERT_EQ(done, 1.0) << "the Hall calibration failed";
        const std::pair<const char*, const char*> copies[] = {
            {"AD6OFF", "HALLAOFF"},    {"AD3OFF", "HALLBOFF"}, {"SFTCWEAK", "HALLCOFF"}, {"SRECTCOMP", "HALLAGAIN"},
            {"SIN2REC", "HALLBGAIN"}, {"KSLIP", "HALLCGAIN"}, {"ZAOFF", "ZAOFF"},       {"ALPHA", "ALPHA"}};
        for (const auto& [from, to] : copies) Set(to, Read(from));
        ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&halls, "run_test", 0.0, error)) << error;
        ASSERT_TRUE(CMC_ProgramRunner::StopProgram(error)) << error;
    }
    // The axis as commissioned so far: Halls calibrated, the winding identified and the current
    // loop designed for it, the motor's force constant entered, a test speed the stroke allows.
    void CommissionAxis(const drivesim::SimConfig& truth, double speed_m_s = kTestSpeed_m_s) {
        CalibrateHalls();
        Set("MotorPhaseConnectionType", truth.motor.connection == drivesim::Connection::Delta ? 1.0 : 0.0);
        Set("R", truth.motor.R_ohm);
        Set("L", truth.motor.L_H);
        Set("Kf", truth.motor.Kf_N_per_A);
        ASSERT_EQ(DesignCurrentController(*setup), 1);
        UpdateRegistersFromParameters(*setup);
        UpdateParametersFromRegisters(*setup);
        Set("TestMaxSpeed", speed_m_s);
    }
    RunOutcome RunTest(const std::function<void(DialogDriver&)>& then = nullptr) {
        CTotalMassTest dialog(setup.get());
        RunOutcome outcome = Run(dialog, 60.0, then);
        computedMass_kg = dialog.ComputedMass();
        return outcome;
    }
    double computedMass_kg = 0.0;
};

TEST_F(TotalMass, FindsTheMassOfEveryMotorAndLoad) {
    struct Case {
        const char* file;
        const char* failure;  // null: the mass is found and stored
    };
    const Case cases[] = {
        {"", nullptr},
        {"winding_10uH.json", nullptr},
        // The winding's time constant (0.2 s) keeps the current from building up before the mover
        // has sped up: the drive says the force cannot be reached.
        {"winding_1H.json",
         "When trying to apply POSITIVE force to the motor, the measured speed is ZERO, or the reference force cannot "
         "be reached!"},
        {"delta.json", nullptr},
        {"heavy_load_friction.json", nullptr},
        {"reversed_transmission.json", nullptr},
    };
    for (const Case& c : cases) {
        const char* name = c.file[0] ? c.file : "default";
        SCOPED_TRACE(name);
        FreshSetup();
        sim = MotorSim(c.file);
        Fresh();
        CommissionAxis(sim);
        const double saved_kg = Value("Mt");
        ui->QueueAnswer(IDYES);
        const RunOutcome outcome = RunTest();
        const double truth_kg = TotalMass_kg(sim.motor);
        std::printf("| %s | %.6g kg | %.6g kg | %+.3f %% |\n", name, truth_kg, computedMass_kg,
                    100.0 * (computedMass_kg / truth_kg - 1.0));
        if (c.failure) {
            EXPECT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.error.rfind(c.failure, 0), 0U) << outcome.error;
            EXPECT_EQ(Value("Mt"), saved_kg);
            continue;
        }
        ASSERT_EQ(outcome.result, 1) << outcome.error;
        // The drive weighs the time by the current it really drove, so neither the current loop's
        // shortfall while the back-EMF ramps nor Coulomb friction and a constant load bias it.
        constexpr double kMassTolerance = 0.02;
        EXPECT_NEAR(Value("Mt"), truth_kg, kMassTolerance * truth_kg);
        EXPECT_DOUBLE_EQ(Value("Mt"), computedMass_kg);
    }
}

// The setup as it comes: its Hall calibration and force constant are the nameplate's, a few per
// cent off the simulated motor's, and its test speed is one the stroke allows.
TEST_F(TotalMass, TheDefaultSetupFindsTheMassOfTheDefaultDrive) {
    Fresh();
    std::unique_ptr<CDialog> made = MakeTestDialog(CommissioningTest::TotalMass, setup.get());
    auto* dialog = dynamic_cast<CTotalMassTest*>(made.get());
    ASSERT_NE(dialog, nullptr);
    ui->QueueAnswer(IDYES);
    const RunOutcome outcome = Run(*dialog, 60.0);
    ASSERT_EQ(outcome.result, 1) << outcome.error;
    const double truth_kg = TotalMass_kg(sim.motor);
    EXPECT_NEAR(Value("Mt"), truth_kg, 0.02 * truth_kg);
}

TEST_F(TotalMass, ASpeedLevelBeyondTheStrokeIsReported) {
    Fresh();
    CalibrateHalls();
    // A third of the electrical limit, 106.7 m/s: no stroke gets there.
    Set("TestMaxSpeed", 320.0 / 3.0);
    const RunOutcome outcome = RunTest();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.error.rfind("The motor does not reach the programmed speed level!", 0), 0U) << outcome.error;
}

TEST_F(TotalMass, FaultsEndTheRunWithTheirMessageAndKeepTheMass) {
    const std::string internal = CMC_TestDlg::msc_pszErrInternal;
    // The mass run's middle, from a healthy run: it lasts a tenth of a second, after a positioning
    // whose length the Halls' noise decides.
    FreshSetup();
    sim = drivesim::DefaultSimConfig();
    Fresh();
    CommissionAxis(sim);
    TimelineLink::Timeline timeline;
    CMC_Comm::Connect(std::make_unique<TimelineLink>(sim, timeline));
    ASSERT_EQ(RunTest().result, 1);
    ASSERT_EQ(timeline.started_s.count("Total_Mass_Identification_Test"), 1U);
    const double massRunStart_s = timeline.started_s["Total_Mass_Identification_Test"];
    const double massRunMiddle_s = 0.5 * (massRunStart_s + timeline.last_s);
    std::vector<FaultCase> cases = PositioningFaults();
    cases.insert(cases.end(), {
        {"read of delta_speed fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "delta_speed"; }, ""},
        {"mass program fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Total_Mass_Identification_Test"; }, internal},
        // Counted on the clock of the drive connected for the test.
        {"link dropped in the positioning", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 0.5; }, ""},
        {"link dropped in the mass run", [=](drivesim::SimConfig& s) { s.faults.link_drop_at_s = massRunMiddle_s; }, ""},
    });
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        FreshSetup();
        sim = drivesim::DefaultSimConfig();
        Fresh();
        CommissionAxis(sim);
        // The faults act from the mass test on: the axis was commissioned on a healthy drive.
        drivesim::SimConfig faulty = sim;
        c.inject(faulty);
        CMC_Comm::Connect(std::make_unique<InProcessLink>(faulty));
        const auto before = Snapshot();
        const RunOutcome outcome = RunTest();
        ExpectFailedWith(outcome, c.expected, ErrorText::BeginsWith);
        EXPECT_EQ(Changed(before, Snapshot()), "");
        EXPECT_TRUE(ui->Messages().empty()) << "a failed run asked to keep values";
    }
}

TEST_F(TotalMass, StartRefusesAProtectionBelowTheTestCurrent) {
    struct Case {
        double current_A, protection_A;
        bool starts;
    };
    const Case cases[] = {{2.0, 1.5, false}, {1.5, 1.5, true}, {1.25, 6.5, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.current_A << " A against " << c.protection_A << " A");
        FreshSetup();
        Set("TestCurrent", c.current_A);
        Set("TestProtectionCurrent", c.protection_A);
        Fresh();
        CTotalMassTest dialog(setup.get());
        bool started = false;
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("Start")) << d.Error();
            started = dialog.m_bRunning != 0;
            if (started) d.Click("#10000");
            d.Click("Close");
        });
        dialog.DoModal();
        EXPECT_EQ(started, c.starts);
        const bool warned = !ui->Messages().empty() &&
                            ui->Messages().front().text == "I protection must be greater or equal to Test current.";
        EXPECT_EQ(warned, !c.starts);
    }
}

TEST_F(TotalMass, TheClosingAnswerDecidesWhatTheSetupKeeps) {
    for (const ClosingAnswer& c : kClosingAnswers) {
        SCOPED_TRACE(c.answer);
        FreshSetup();
        sim = drivesim::DefaultSimConfig();
        Fresh();
        CommissionAxis(sim);
        const double saved_kg = Value("Mt");
        ui->QueueAnswer(c.answer);
        bool stayedOpen = false;
        const RunOutcome outcome = RunTest(CloseNoting(stayedOpen));
        ASSERT_EQ(outcome.result, 1) << outcome.error;
        const std::string question = Question();
        ASSERT_FALSE(question.empty());
        // The old mass from the setup and the new one found, as the question formats them.
        std::array<char, 96> expected{};
        std::snprintf(expected.data(), expected.size(), "Total mass:\tOld = %g\tNew = %g", saved_kg, computedMass_kg);
        EXPECT_NE(question.find(expected.data()), std::string::npos) << question;
        ExpectClosedAs(outcome, stayedOpen, c);
        EXPECT_EQ(Value("Mt") != saved_kg, c.kept);
    }
}

TEST(MassFromReport, TheProgramsCodesAndAZeroSpeedChangeGiveTheirMessage) {
    struct Case {
        MassRunReport report;
        const char* begins;  // null: a mass
    };
    const Case cases[] = {
        {{0.0, 100.0, 20.0}, "When a POSITIVE force level is applied to the motor, the measured speed is NEGATIVE."},
        {{1.0, -1.0, 0.0}, "When a POSITIVE force level is applied to the motor, the measured speed is NEGATIVE."},
        {{1.0, -2.0, 0.0}, "When trying to apply POSITIVE force to the motor, the measured speed is ZERO"},
        {{1.0, 0.0, 0.0}, "The motor does not reach the programmed speed level!"},
        {{1.0, -5.0, 10.0}, "The motor does not reach the programmed speed level!"},
        {{1.0, 100.0, 0.0}, "The drive reported no change of speed during the acceleration"},
        {{1.0, 100.0, 20.0}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "test_flag " << c.report.testFlag << " delta_time "
                                          << c.report.deltaTime_samples << " delta_speed "
                                          << c.report.deltaSpeed_counts);
        const MassResult result = MassFromReport(c.report, 64.0, 4092.0, 500e-6, 20.0, 5115.0);
        if (!c.begins) {
            ASSERT_TRUE(result.mass_kg.has_value()) << result.message;
            // F·Δt/Δv: 25 N over 100 slow samples of 0.5 ms for 20 counts of 1/64 m/s.
            EXPECT_NEAR(*result.mass_kg, 20.0 * 5115.0 / 4092.0 * 100.0 * 500e-6 / (20.0 / 64.0), 1e-9);
            continue;
        }
        EXPECT_FALSE(result.mass_kg.has_value());
        ASSERT_NE(result.message, nullptr);
        EXPECT_EQ(std::string(result.message).rfind(c.begins, 0), 0U) << result.message;
    }
}

// A drive that reports an acceleration without a change of speed.
class MassAgainstAFakeDrive : public host_testing::FakeDriveTest {};

TEST_F(MassAgainstAFakeDrive, AZeroSpeedChangeFailsWithAClearMessageAndKeepsTheMass) {
    drive.startDelay_s = 0.02;
    drive.runTime_s = 0.1;
    const double saved_kg = setup->FindParameter("Mt")->GetValueInBaseUnit();
    CTotalMassTest dialog(setup.get());
    std::string error;
    ui.OnDialog(kCaption, [&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        // The positioning leaves "In1" as written; the mass program reports a time, no speed.
        EXPECT_TRUE(d.WaitUntil(
            [&] {
                if (dialog.m_nStep == 4) drive.programVariables["delta_time"] = 100.0;
                return !dialog.m_bRunning;
            },
            10.0));
        error = dialog.m_strError;
        d.Click("Close");
    });
    dialog.DoModal();
    EXPECT_EQ(dialog.m_nResult, 0);
    EXPECT_EQ(error,
              "The drive reported no change of speed during the acceleration, so the mass cannot be computed. Check "
              "the motor connections and the Hall sensors, then start the test again.");
    EXPECT_EQ(setup->FindParameter("Mt")->GetValueInBaseUnit(), saved_kg);
}

TEST_F(TotalMass, HelpOpensTheTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    Fresh();
    RunTest([](DialogDriver& d) { d.Click("Help"); });
    ASSERT_EQ(ui->HelpOpened().size(), 1U);
    EXPECT_EQ(ui->HelpOpened().front().second, CTotalMassTest::kHelpTopic);
}

}  // namespace

