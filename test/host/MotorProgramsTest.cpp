// The identification programs through the host's drive services, on the default simulator and on
// every shipped motor file: what each program reports, put through the commissioning tests'
// formulas by hand, must give back the simulated motor's truth.
#include "BaseQuantities.h"
#include "ControllerDesign.h"
#include "Encode.h"
#include "HeadlessUi.h"
#include "MC_CoffFormat.h"
#include "MC_Comm.h"
#include "MC_Loggers.h"
#include "MC_SetupFile.h"
#include "ProgramWait.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

namespace {

// The default drive's scales.
constexpr double kCountsPerAmp = 65472.0 / (2.0 * 8.0);   // K_I
constexpr double kBusCountsPerVolt = 65472.0 / 100.0;     // K_Vdc
constexpr double kHallCountsPerVolt = 65472.0 / 5.0;
constexpr double kSpeedCountsPerMps = 64.0;               // K_VM
constexpr double kCurrentLoopPeriod_s = 50e-6;            // T_C = T_pwm
constexpr double kSlowPeriod_s = 500e-6;                  // T_S
constexpr double kDeadTime_s = 1e-6;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTestCurrent = 5115.0;                   // 1.25 A in counts
constexpr double kPollPeriod_s = 0.020;
// The mask the positioning and Hall tests apply to MER.
constexpr int kPositioningMerMask = 0x8002;
// No program on any motor runs this long; a run that does has hung.
constexpr double kHangLimit_s = 400.0;

// What the mass test can tell on a motor.
enum class MassOutcome {
    Mass,
    // The winding's time constant keeps the test current from building up before the mover has
    // sped up: the program says the force cannot be reached rather than report a wrong mass.
    ForceNotReached,
};

struct MotorCase {
    const char* name;
    const char* file;          // null: the embedded default
    double speedLimit_counts;  // the mass test's LimitSpeedMax, reachable within the test travel
    MassOutcome mass;
};

void PrintTo(const MotorCase& c, std::ostream* os) { *os << c.name; }

drivesim::SimConfig Truth(const MotorCase& c) {
    if (!c.file) return drivesim::DefaultSimConfig();
    auto loaded = drivesim::LoadSimConfig(std::string(PELMORA_MOTOR_DIR) + "/" + c.file);
    if (!loaded.ok()) throw std::runtime_error(loaded.error);
    return *loaded.value;
}

double WindingFactor(const drivesim::SimConfig& truth) {
    return truth.motor.connection == drivesim::Connection::Delta ? 3.0 : 1.0;
}

// The resistance a DC ΔU/ΔI can see. Where half the PWM ripple (Vdc·T/(12·L) of the star
// equivalent) exceeds every test current, each phase current changes sign within every period
// and the dead time's loss grows with the current: a resistance 12·L·t_dead/T² per phase that
// no DC measurement tells from the winding's.
double ResistanceSeenByDc_ohm(const drivesim::SimConfig& truth) {
    const double winding = WindingFactor(truth);
    const double starL_H = truth.motor.L_H / winding;
    const double rippleHalf_A = truth.Vdc_V * kCurrentLoopPeriod_s / (12.0 * starL_H);
    if (rippleHalf_A <= kTestCurrent / kCountsPerAmp) return truth.motor.R_ohm;
    const double deadR_ohm = 12.0 * starL_H * kDeadTime_s / (kCurrentLoopPeriod_s * kCurrentLoopPeriod_s);
    return truth.motor.R_ohm + winding * deadR_ohm;
}

class ProgramsOnEveryMotor : public testing::TestWithParam<MotorCase> {
protected:
    void SetUp() override {
        SetUiBackend(&ui);
        truth = Truth(GetParam());
        CMC_Comm::Connect(std::make_unique<InProcessLink>(truth));
        auto loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }

    void Load(CMC_CoffFormat& program, const char* name) {
        ASSERT_TRUE(program.ReadCoff(GetOutPathName(name))) << program.GetErrorText();
    }

    void Set(CMC_CoffFormat& program, const char* name, double value) {
        EXPECT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&program, name, value, error)) << name << ": " << error;
    }
    double Get(CMC_CoffFormat& program, const char* name) {
        double value = 0.0;
        EXPECT_TRUE(CMC_ProgramRunner::GetUserVariableValue(&program, name, value, error)) << name << ": " << error;
        return value;
    }
    double Read(const char* name) {
        CMC_Variable* variable = setup->FindVariable(name, 1);
        EXPECT_NE(variable, nullptr) << name;
        if (!variable) return 0.0;
        EXPECT_EQ(variable->ReadFromChip(), 1) << name << ": " << CMC_Comm::GetLastErrorText();
        return variable->GetValueInInternalUnit();
    }

    bool Run(CMC_CoffFormat& program, const char* name, CMC_Logger* logger = nullptr) {
        return RunProgramToItsEnd(*setup, ui, program, name, logger, kPollPeriod_s, kHangLimit_s, error);
    }

    // Initial_Positioning_Test at `in1`: the start voltage the next program ramps to.
    std::pair<double, double> Position(double in1) {
        CMC_CoffFormat positioning;
        Load(positioning, "Initial_Positioning_Test");
        Set(positioning, "In1", in1);
        EXPECT_TRUE(Run(positioning, "Initial_Positioning_Test")) << error;
        EXPECT_EQ(static_cast<int>(Read("MER")) & kPositioningMerMask, 0);
        EXPECT_EQ(Get(positioning, "In1"), in1) << "the positioning failed";
        const double refTest = Read("REFTST_V");
        EXPECT_GT(refTest, 0.0) << "no start voltage";
        return {refTest, Read("RINCTST_V")};
    }

    // The mean of each logged variable, or nothing when the upload fails.
    std::vector<double> LoggedMeans(CMC_SingleAxisLogger& logger, std::size_t variables, bool squares = false) {
        std::vector<double> sums(variables + (squares ? 1 : 0), 0.0);
        EXPECT_EQ(logger.BeginUploadData(), 1) << logger.GetErrorText();
        std::vector<double> record(variables + 1);
        std::size_t n = 0;
        while (logger.ReadPoint(record.data())) {
            for (std::size_t v = 0; v < variables; ++v) sums[v] += record[v + 1];
            // IQ² + ID², as the inductance formula averages it.
            if (squares) sums[variables] += record[1] * record[1] + record[2] * record[2];
            ++n;
        }
        logger.EndUploadData();
        EXPECT_EQ(n, 400U);
        for (double& s : sums) s /= n ? static_cast<double>(n) : 1.0;
        return sums;
    }

    struct ResistanceRun {
        double voltage;
        double current;
        double busCounts;
    };
    ResistanceRun Resistance(double in1, int sampleKind) {
        const auto [refTest, refInc] = Position(in1);
        CMC_CoffFormat program;
        Load(program, "Ident_R_or_Rs");
        CMC_SingleAxisLogger logger(setup.get(), &program);
        EXPECT_TRUE(logger.ChangeSettings(400, sampleKind, 1));
        EXPECT_TRUE(logger.AddVariable("IQ", 1));
        Set(program, "In1", in1);
        Set(program, "RefTest", refTest);
        Set(program, "RIncTest", refInc);
        EXPECT_TRUE(Run(program, "Ident_R_or_Rs", &logger)) << error;
        EXPECT_EQ(static_cast<int>(Read("MER")) & kPositioningMerMask, 0);
        const std::vector<double> means = LoggedMeans(logger, 1);
        return {Read("var_i1"), means[0], Read("var_u2")};
    }

    HeadlessUi ui;
    drivesim::SimConfig truth;
    std::unique_ptr<CMC_Setup> setup;
    std::string error;
};

TEST_P(ProgramsOnEveryMotor, BusVoltageReadsToTheHundredth) {
    CMC_CoffFormat program;
    Load(program, "VDC_Detection_Test");
    ASSERT_TRUE(Run(program, "VDC_Detection_Test")) << error;
    EXPECT_EQ(static_cast<int>(Read("MER")) & 0x0002, 0);
    const double vdc_V = std::round(Read("var_u2") / kBusCountsPerVolt * 100.0) / 100.0;
    EXPECT_NEAR(vdc_V, truth.Vdc_V, 0.0100001);
}

TEST_P(ProgramsOnEveryMotor, ResistanceAndInductanceRecoverTheWinding) {
    // The resistance test's two runs at I and I/2, then the inductance run, as CTestRL does.
    const ResistanceRun full = Resistance(kTestCurrent, 1);
    const ResistanceRun half = Resistance(std::round(kTestCurrent / 2.0), 2);
    ASSERT_NE(full.current, half.current) << "no current difference to divide by";
    const double vdc_V = 100.0 * half.busCounts / 65472.0;
    EXPECT_NEAR(vdc_V, truth.Vdc_V, 0.01);
    const double countsPerVolt = 65534.0 / (1.1 * vdc_V);  // K_U from the measured bus
    const double winding = WindingFactor(truth);
    const double r_ohm = (full.voltage - half.voltage) / (full.current - half.current) / countsPerVolt *
                         kCountsPerAmp * winding;
    EXPECT_NEAR(r_ohm / ResistanceSeenByDc_ohm(truth), 1.0, 0.01)
        << "R " << r_ohm << " ohm, winding " << truth.motor.R_ohm << " ohm";

    CMC_CoffFormat program;
    Load(program, "Ident_L_or_Tau_el");
    CMC_SingleAxisLogger logger(setup.get(), &program);
    ASSERT_TRUE(logger.ChangeSettings(400, 2, 1));
    ASSERT_TRUE(logger.AddVariable("IQ", 1));
    ASSERT_TRUE(logger.AddVariable("ID", 1));
    Set(program, "In1", kTestCurrent);
    ASSERT_TRUE(Run(program, "Ident_L_or_Tau_el", &logger)) << error;
    EXPECT_EQ(static_cast<int>(Read("MER")) & kPositioningMerMask, 0);
    const std::vector<double> means = LoggedMeans(logger, 2, true);
    const double omega = Read("TINCTST") * 2.0 * kPi / (kCurrentLoopPeriod_s * 65535.0);
    const double l_H = means[1] * Read("var_i1") / (omega * means[2]) * kCountsPerAmp / countsPerVolt * winding;
    EXPECT_NEAR(l_H / truth.motor.L_H, 1.0, 0.02) << "L " << l_H << " H";
}

TEST_P(ProgramsOnEveryMotor, HallCalibrationAndMassRecoverTheTruth) {
    const auto [refTest, refInc] = Position(kTestCurrent);

    // CDetectHallGainOffset: reads without delay until WEAKINC says the run is over.
    CMC_CoffFormat halls;
    Load(halls, "Detect_Hall_Gain_Offset_Test");
    Set(halls, "RefTest", refTest);
    Set(halls, "RIncTest", refInc);
    Set(halls, "run_test", 1);
    ASSERT_TRUE(CMC_ProgramRunner::ExecuteCode(*setup, "Detect_Hall_Gain_Offset_Test", &halls, nullptr, error))
        << error;
    double weakinc = 0.0;
    const double end_s = ui.Now_s() + kHangLimit_s;
    while (weakinc == 0.0 && ui.Now_s() < end_s) {
        ASSERT_EQ(static_cast<int>(Read("MER")) & kPositioningMerMask, 0);
        for (const char* signal : {"AD6", "AD3", "AD9"}) Read(signal);
        weakinc = Read("WEAKINC");
    }
    Set(halls, "run_test", 0);
    ASSERT_EQ(weakinc, 1.0) << "the Hall calibration did not succeed";
    // The test's copies into the setup, unconverted.
    const std::pair<const char*, const char*> copies[] = {
        {"AD6OFF", "HALLAOFF"},     {"AD3OFF", "HALLBOFF"},   {"SFTCWEAK", "HALLCOFF"}, {"SRECTCOMP", "HALLAGAIN"},
        {"SIN2REC", "HALLBGAIN"}, {"KSLIP", "HALLCGAIN"},   {"ZAOFF", "ZAOFF"},       {"ALPHA", "ALPHA"}};
    std::map<std::string, double> calibration;
    for (const auto& [from, to] : copies) {
        calibration[to] = Read(from);
        CMC_Parameter* parameter = setup->FindParameter(to);
        ASSERT_NE(parameter, nullptr) << to;
        ASSERT_TRUE(parameter->SetValueInBaseUnit(calibration[to])) << to;
    }
    const char* channels[] = {"A", "B", "C"};
    for (std::size_t h = 0; h < 3; ++h) {
        const double offset = truth.halls.offset_V[h] * kHallCountsPerVolt;
        const double gain = 16384.0 * 16384.0 / (truth.halls.amplitude_V[h] * kHallCountsPerVolt);
        EXPECT_NEAR(calibration[std::string("HALL") + channels[h] + "OFF"] / offset, 1.0, 0.01) << "Hall " << channels[h];
        EXPECT_NEAR(calibration[std::string("HALL") + channels[h] + "GAIN"] / gain, 1.0, 0.01) << "Hall " << channels[h];
    }

    // CTotalMassTest on the calibrated Halls, with the current loop designed for the winding as
    // the setup does once R and L are known.
    const std::pair<const char*, double> winding[] = {
        {"MotorPhaseConnectionType", WindingFactor(truth) == 3.0 ? 1.0 : 0.0}, {"R", truth.motor.R_ohm}, {"L", truth.motor.L_H}};
    for (const auto& [name, value] : winding) ASSERT_TRUE(setup->FindParameter(name)->SetValueInBaseUnit(value)) << name;
    ASSERT_EQ(pelmora::DesignCurrentController(*setup), 1);
    for (const auto step : {pelmora::Encode_SFTKPI, pelmora::Encode_KPI, pelmora::Encode_SFTKII, pelmora::Encode_KII}) ASSERT_EQ(step(*setup), 1);
    const auto [massRefTest, massRefInc] = Position(kTestCurrent);
    CMC_CoffFormat mass;
    Load(mass, "Total_Mass_Identification_Test");
    Set(mass, "RefTest", massRefTest);
    Set(mass, "RIncTest", massRefInc);
    Set(mass, "In1", kTestCurrent);
    Set(mass, "LimitSpeedMax", GetParam().speedLimit_counts);
    Set(mass, "Imax_Prot_Test", std::round(3.0 * kCountsPerAmp));
    ASSERT_TRUE(Run(mass, "Total_Mass_Identification_Test")) << error;
    EXPECT_EQ(Read("MER"), 0.0);
    const double deltaTime = Get(mass, "delta_time");
    const double deltaSpeed = Get(mass, "delta_speed");
    if (GetParam().mass == MassOutcome::ForceNotReached) {
        EXPECT_EQ(deltaTime, -2.0);
        return;
    }
    ASSERT_GT(deltaTime, 0.0) << "test_flag " << Get(mass, "test_flag");
    ASSERT_GT(deltaSpeed, 0.0);
    const double mass_kg =
        kSpeedCountsPerMps / kCountsPerAmp * deltaTime * kSlowPeriod_s * truth.motor.Kf_N_per_A / deltaSpeed * kTestCurrent;
    const double g = truth.motor.transmission;
    const double truth_kg = truth.motor.moving_mass_kg + truth.motor.load_mass_kg / (g * g);
    // The program weighs its time by the current it really drove, so the current loop falling
    // short of In1 while the back-EMF ramps does not bias the mass.
    constexpr double kMassTolerance = 0.02;
    EXPECT_NEAR(mass_kg / truth_kg, 1.0, kMassTolerance) << mass_kg << " kg";
}

INSTANTIATE_TEST_SUITE_P(Motors, ProgramsOnEveryMotor,
                         testing::Values(MotorCase{"default", nullptr, 48, MassOutcome::Mass},
                                         MotorCase{"10 uH", "winding_10uH.json", 24, MassOutcome::Mass},
                                         MotorCase{"1 H", "winding_1H.json", 24, MassOutcome::ForceNotReached},
                                         MotorCase{"delta", "delta.json", 48, MassOutcome::Mass},
                                         MotorCase{"heavy load", "heavy_load_friction.json", 24, MassOutcome::Mass},
                                         MotorCase{"reversed", "reversed_transmission.json", 48, MassOutcome::Mass}),
                         [](const auto& test) {
                             std::string name = test.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
