// The programs that close the loops: the mass from a constant-force run, and the current
// controller's step, fixed point against the same loop in doubles.
#include "DriveTestSupport.h"
#include "FixedPoint.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace drivesim_test;

constexpr double kIn1 = 5115.0;               // 1.25 A
constexpr double kSpeedCountsPerMps = 64.0;   // K_VM of the default drive
constexpr double kSlowPeriod_s = 500e-6;

// P1, P2, the calibration written to the Hall registers, P1 again: the drive can commutate.
Registers CalibratedHalls(drivesim::Drive& drive) {
    std::string error;
    EXPECT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << error;
    const double refTest = Variable(drive, "REFTST_V");
    EXPECT_TRUE(RunProgram(drive, "Detect_Hall_Gain_Offset_Test",
                           WithPresets({{"RefTest", refTest}, {"RIncTest", std::max(1.0, refTest / 64)}, {"run_test", 1}}),
                           &error))
        << error;
    EXPECT_EQ(Variable(drive, "WEAKINC"), 1.0);
    Registers halls = {{"HALLAOFF", Variable(drive, "AD6OFF")},   {"HALLBOFF", Variable(drive, "AD3OFF")},
                       {"HALLCOFF", Variable(drive, "SFTCWEAK")}, {"HALLAGAIN", Variable(drive, "SRECTCOMP")},
                       {"HALLBGAIN", Variable(drive, "SIN2REC")}, {"HALLCGAIN", Variable(drive, "KSLIP")},
                       {"ZAOFF", Variable(drive, "ZAOFF")},       {"ALPHA", Variable(drive, "ALPHA")}};
    RunOptions options = WithPresets({{"In1", kIn1}});
    options.extra_registers = halls;
    EXPECT_TRUE(RunProgram(drive, "Initial_Positioning_Test", options, &error)) << error;
    return halls;
}

struct MassCase {
    const char* name;
    const char* file;  // null: the default motor
    double limit_counts;
};

// Test listings name the motor, not the case's bytes.
void PrintTo(const MassCase& c, std::ostream* os) { *os << c.name; }

class MassIdentification : public testing::TestWithParam<MassCase> {};

TEST_P(MassIdentification, ForceTimeOverSpeedRecoversTheTotalMass) {
    const MassCase& c = GetParam();
    const drivesim::SimConfig truth = c.file ? MotorFile(c.file) : drivesim::DefaultSimConfig();
    drivesim::Drive drive(truth);
    RunOptions options = WithPresets(
        {{"In1", kIn1}, {"LimitSpeedMax", c.limit_counts}, {"Imax_Prot_Test", 3.0 * kCountsPerAmp}});
    options.extra_registers = CalibratedHalls(drive);
    std::string error;
    ASSERT_TRUE(RunProgram(drive, "Total_Mass_Identification_Test", options, &error)) << c.name << error;
    const double deltaTime = ProgramVariable(drive, "delta_time") / 65536.0;
    const double deltaSpeed = ProgramVariable(drive, "delta_speed") / 65536.0;
    ASSERT_GT(deltaTime, 0.0) << c.name;
    ASSERT_GT(deltaSpeed, 0.0) << c.name;
    const double mass_kg = kSpeedCountsPerMps / kCountsPerAmp * deltaTime * kSlowPeriod_s * truth.motor.Kf_N_per_A /
                           deltaSpeed * kIn1;
    const double truth_kg = truth.motor.moving_mass_kg +
                            truth.motor.load_mass_kg / (truth.motor.transmission * truth.motor.transmission);
    EXPECT_NEAR(mass_kg / truth_kg, 1.0, 0.02) << c.name << ": " << mass_kg << " kg";
    EXPECT_EQ(Variable(drive, "MER"), 0.0) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Motors, MassIdentification,
                         testing::Values(MassCase{"default", nullptr, 48}, MassCase{"slow", nullptr, 24}, MassCase{"heavy", "heavy_load_friction.json", 24},
                                         MassCase{"reversed", "reversed_transmission.json", 48},
                                         MassCase{"delta", "delta.json", 48}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(MassIdentificationFailures, UnreachableSpeedAndMissingHallAreReported) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    RunOptions options = WithPresets({{"In1", kIn1}, {"LimitSpeedMax", 6826}, {"Imax_Prot_Test", 3.0 * kCountsPerAmp}});
    options.extra_registers = CalibratedHalls(drive);
    std::string error;
    ASSERT_TRUE(RunProgram(drive, "Total_Mass_Identification_Test", options, &error)) << error;
    EXPECT_EQ(ProgramVariable(drive, "delta_time"), 0.0) << "106.7 m/s is out of reach within the travel";
    EXPECT_FALSE(drive.AxisOn());

    // A current protection below the test current trips at once: MER bit 1.
    options.presets["Imax_Prot_Test"] = 0.5 * kIn1;
    ASSERT_TRUE(RunProgram(drive, "Total_Mass_Identification_Test", options, &error)) << error;
    EXPECT_EQ(static_cast<int>(Variable(drive, "MER")) & 2, 2);
}

// A current step through a sampled RL winding (star equivalent) whose voltage applies one
// period after it is computed, as in the drive.
struct Winding {
    double r_ohm;
    double l_H;
    double vdc_V;
};

template <class Controller>
std::vector<double> CurrentStep(const Winding& w, Controller controller, int samples, double reference) {
    const double period_s = 50e-6;
    const double kU = 65534.0 / (1.1 * w.vdc_V), kI = kCountsPerAmp;
    const double a = std::exp(-w.r_ohm * period_s / w.l_H);
    double i = 0.0, held = 0.0;
    std::vector<double> out;
    for (int k = 0; k < samples; ++k) {
        out.push_back(i);
        const double u = controller(reference, i);
        i = a * i + (1.0 - a) / w.r_ohm * (held / kU) * kI;
        held = u;
    }
    return out;
}

// 10 % to 90 % of the final value, interpolated between samples, in samples.
double RiseTime(const std::vector<double>& y, double final) {
    auto crossing = [&y](double level) {
        for (std::size_t k = 1; k < y.size(); ++k)
            if (y[k] >= level) return static_cast<double>(k - 1) + (level - y[k - 1]) / (y[k] - y[k - 1]);
        return -1.0;
    };
    return crossing(0.9 * final) - crossing(0.1 * final);
}

// The same PI in doubles: u = Kp·e + Ki·Σe, the sum held while Ki·Σe would pass the limit.
struct DoublePi {
    double kp, ki, limit, sum = 0.0;
    double operator()(double reference, double i) {
        const double e = reference - i;
        if (std::abs(ki * (sum + e)) <= limit) sum += e;
        return std::clamp(kp * e + ki * sum, -limit, limit);
    }
};

TEST(CurrentLoop, FixedPointMatchesDoublesAndTheDesignedRiseTime) {
    // The default setup: KPI 22362·2^2, KII 11927·2^0, SATIQ 2621; the default simulated winding.
    constexpr std::int32_t kpi = 22362, sftkpi = 2, kii = 11927, sftkii = 0, limit = 32767 - 2621;
    const Winding truth{3.09, 1.56e-3, 47.63};
    // The controller's design on the setup's nameplate: PI on R(1 + sτ) placed at ω = 4000 rad/s,
    // ζ = 1, gains in PWM counts per current count (c = R·K_U/K_I).
    const Winding nameplate{3.0, 1.5e-3, 48.0};
    const double tau_s = nameplate.l_H / nameplate.r_ohm, omega = 4000.0, zeta = 1.0;
    const double c = nameplate.r_ohm * (65534.0 / (1.1 * nameplate.vdc_V)) / kCountsPerAmp;
    const double designKp = (2.0 * zeta * omega * tau_s - 1.0) * c, designKi = omega * omega * tau_s * 50e-6 * c;
    const int samples = 400;
    for (double reference : {2046.0, kIn1, 12000.0}) {
        drivesim::detail::PiController fixed{{kpi, sftkpi}, {kii, sftkii}};
        const auto a = CurrentStep(truth, [&fixed](double r, double i) {
            return static_cast<double>(fixed.Step(std::llround(r) - std::llround(i), limit, limit));
        }, samples, reference);
        const auto b = CurrentStep(truth, DoublePi{kpi * 4.0 / 32767.0, kii / 32767.0, double(limit)}, samples, reference);
        for (int k = samples - 100; k < samples; ++k)
            EXPECT_NEAR(a[static_cast<std::size_t>(k)], b[static_cast<std::size_t>(k)], 64.0)
                << "reference " << reference << ", sample " << k;
        const auto designed = CurrentStep(nameplate, DoublePi{designKp, designKi, double(limit)}, samples, reference);
        EXPECT_NEAR(RiseTime(a, reference) / RiseTime(designed, reference), 1.0, 0.10)
            << "reference " << reference << ": " << RiseTime(a, reference) << " vs " << RiseTime(designed, reference)
            << " samples";
    }
}

TEST(CurrentTuning, LoggedStepReachesTheTestCurrent) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    std::string error;
    ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << error;
    RunOptions options = WithPresets({{"In1", kIn1}, {"Imax_Prot_Test", 3.0 * kCountsPerAmp}});
    options.logger = drivesim::LoggerSettings{100, 2, 1, {"Current_Reference", "Motor_Current", "Voltage_Reference"}};
    ASSERT_TRUE(RunProgram(drive, "Current_Controller_Tuning_Test", options, &error)) << error;
    EXPECT_EQ(ProgramVariable(drive, "test_flag"), 1.0);
    auto log = drive.UploadLog();
    ASSERT_TRUE(log.ok()) << log.error;
    ASSERT_EQ(log.value->size(), 100u);
    EXPECT_EQ(log.value->at(9).values[0], 0.0);
    EXPECT_EQ(log.value->at(10).values[0], kIn1);
    double settled = 0.0;
    for (std::size_t k = 70; k < 100; ++k) settled += log.value->at(k).values[1] / 30.0;
    EXPECT_NEAR(settled / kIn1, 1.0, 0.02);

    // A protection below the step trips it: test_flag 0, axis off.
    options.presets["Imax_Prot_Test"] = 0.5 * kIn1;
    ASSERT_TRUE(RunProgram(drive, "Current_Controller_Tuning_Test", options, &error)) << error;
    EXPECT_EQ(ProgramVariable(drive, "test_flag"), 0.0);
    EXPECT_FALSE(drive.AxisOn());
}

// The logger's divider keeps the first sample after the trigger and every divider-th after it.
TEST(CurrentTuning, TheLoggersDividerKeepsEveryNthSampleFromTheFirst) {
    for (const int divider : {1, 2, 3, 7}) {
        drivesim::Drive drive(drivesim::DefaultSimConfig());
        std::string error;
        ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << error;
        RunOptions options = WithPresets({{"In1", kIn1}, {"Imax_Prot_Test", 3.0 * kCountsPerAmp}});
        constexpr int kPoints = 12;
        options.logger = drivesim::LoggerSettings{kPoints, 2, divider, {"Current_Reference"}};
        ASSERT_TRUE(RunProgram(drive, "Current_Controller_Tuning_Test", options, &error)) << error;
        const auto log = drive.UploadLog();
        ASSERT_TRUE(log.ok()) << "divider " << divider << ": " << log.error;
        ASSERT_EQ(log.value->size(), static_cast<std::size_t>(kPoints)) << "divider " << divider;
        constexpr int kStepAt = 10;  // the program's step, in current samples
        for (int k = 0; k < kPoints; ++k) {
            const auto& record = log.value->at(static_cast<std::size_t>(k));
            EXPECT_EQ(record.values[0], k * divider >= kStepAt ? kIn1 : 0.0) << "divider " << divider << ", record " << k;
            EXPECT_NEAR(record.time_s, k * divider * 50e-6, 1e-12) << "divider " << divider << ", record " << k;
        }
    }
}

// A tuning run's gains are written one register per transaction while the loop runs: each write
// must reach the very next current samples, however the loop keeps its gains between writes.
TEST(CurrentTuning, RegistersWrittenDuringTheRunActOnTheNextSamples) {
    struct Case {
        const char* name;
        Registers writes;
        double bound_after;  // |Voltage_Reference| from two samples after the write on
    };
    // SATIQ narrows the q voltage's clamp to 32767 − SATIQ; gains of zero and no output filter
    // leave no voltage at all.
    const Case cases[] = {
        {"narrower q saturation", {{"SATIQ", 32767 - 150}}, 150.0},
        {"gains zeroed, filter off", {{"KPI", 0}, {"KII", 0}, {"FILTERQ", 32767}}, 0.0},
    };
    for (const Case& c : cases) {
        drivesim::Drive drive(drivesim::DefaultSimConfig());
        std::string error;
        ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << error;
        drive.Stop();
        ASSERT_TRUE(drive.WriteRegisters(DefaultRegisters()).ok());
        const drivesim::LoggerSettings logger{100, 2, 1, {"Voltage_Reference"}};
        ASSERT_TRUE(drive.Download("Current_Controller_Tuning_Test",
                                   ImageVariables("Current_Controller_Tuning_Test",
                                                  {{"In1", kIn1}, {"Imax_Prot_Test", 3.0 * kCountsPerAmp}}),
                                   logger, std::nullopt)
                        .ok());
        ASSERT_TRUE(drive.Start().ok());
        constexpr int kWriteAfter = 60;  // samples: the step (at 10) has settled by then
        constexpr double kSample_s = 50e-6;
        drive.AdvanceTo(drive.Time_s() + kWriteAfter * kSample_s);
        ASSERT_TRUE(drive.WriteRegisters(c.writes).ok()) << c.name;
        while (drive.Running()) drive.AdvanceTo(drive.Time_s() + 0.001);
        const auto log = drive.UploadLog();
        ASSERT_TRUE(log.ok()) << c.name << ": " << log.error;
        ASSERT_EQ(log.value->size(), 100u) << c.name;
        double before = 0.0;
        for (std::size_t k = 40; k < kWriteAfter - 1; ++k) before = std::max(before, std::abs(log.value->at(k).values[0]));
        EXPECT_GT(before, c.bound_after + 1000.0) << c.name << ": the loop drove too little before the write";
        for (std::size_t k = kWriteAfter + 2; k < 100; ++k)
            EXPECT_LE(std::abs(log.value->at(k).values[0]), c.bound_after) << c.name << ", sample " << k;
    }
}

}  // namespace
