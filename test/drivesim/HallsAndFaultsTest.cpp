// Hall calibration against the simulator's truth, and every injected fault reported where the
// tests look for it, without hanging.
#include "DriveTestSupport.h"
#include "Firmware.h"
#include "drivesim/Protocol.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace drivesim_test;

constexpr double kHallCountsPerVolt = 65472.0 / 5.0;
constexpr double kIn1 = 5115.0;  // 1.25 A

struct Calibration {
    double weakinc = 0.0;
    double offset[3] = {};
    double gain[3] = {};
    double zaoff = 0.0;
    double alpha = 0.0;
};

// CDetectHallGainOffset: positioning, then the Hall program with run_test = 1.
Calibration CalibrateHalls(drivesim::Drive& drive) {
    std::string error;
    EXPECT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << error;
    double refTest = Variable(drive, "REFTST_V");
    if (refTest == 0.0) refTest = 8639;  // positioning failed: the setup's start voltage
    EXPECT_TRUE(RunProgram(drive, "Detect_Hall_Gain_Offset_Test",
                           WithPresets({{"RefTest", refTest}, {"RIncTest", std::max(1.0, refTest / 64)}, {"run_test", 1}}),
                           &error))
        << error;
    Calibration c;
    c.weakinc = Variable(drive, "WEAKINC");
    c.offset[0] = Variable(drive, "AD6OFF");
    c.offset[1] = Variable(drive, "AD3OFF");
    c.offset[2] = Variable(drive, "SFTCWEAK");
    c.gain[0] = Variable(drive, "SRECTCOMP");
    c.gain[1] = Variable(drive, "SIN2REC");
    c.gain[2] = Variable(drive, "KSLIP");
    c.zaoff = Variable(drive, "ZAOFF");
    c.alpha = Variable(drive, "ALPHA");
    return c;
}

TEST(HallCalibration, OffsetsAndGainsRecoverTheTruth) {
    drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    drivesim::Drive drive(truth);
    const Calibration c = CalibrateHalls(drive);
    ASSERT_EQ(c.weakinc, 1.0);
    for (std::size_t h = 0; h < 3; ++h) {
        const double offset = truth.halls.offset_V[h] * kHallCountsPerVolt;
        const double gain = 16384.0 * 16384.0 / (truth.halls.amplitude_V[h] * kHallCountsPerVolt);
        EXPECT_NEAR(c.offset[h] / offset, 1.0, 0.01) << "Hall " << h;
        EXPECT_NEAR(c.gain[h] / gain, 1.0, 0.01) << "Hall " << h;
    }
    EXPECT_FALSE(drive.AxisOn());
}

TEST(HallCalibration, StoppedByRunTestLeavesTheOldCalibration) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    drive.Stop();
    ASSERT_TRUE(drive.WriteRegisters(DefaultRegisters()).ok());
    ASSERT_TRUE(drive
                    .Download("Detect_Hall_Gain_Offset_Test",
                              ImageVariables("Detect_Hall_Gain_Offset_Test",
                                             {{"RefTest", 6000}, {"RIncTest", 100}, {"run_test", 1}}),
                              std::nullopt, std::nullopt)
                    .ok());
    ASSERT_TRUE(drive.Start().ok());
    drive.AdvanceTo(drive.Time_s() + 1.0);
    ASSERT_TRUE(drive.AxisOn());
    ASSERT_TRUE(drive.WriteProgramVariable("run_test", 0).ok());
    drive.AdvanceTo(drive.Time_s() + 0.01);
    EXPECT_FALSE(drive.AxisOn());
    EXPECT_FALSE(drive.Running());
    EXPECT_EQ(Variable(drive, "WEAKINC"), 0.0);
    EXPECT_EQ(Variable(drive, "AD6OFF"), 32736.0);
    EXPECT_EQ(Variable(drive, "SRECTCOMP"), 16384.0);
}

TEST(HallCalibration, MissingOrSwappedSignalsAndSwappedPhasesAreNamed) {
    struct Case {
        const char* name;
        void (*inject)(drivesim::Faults&);
        double weakinc;
    };
    const Case cases[] = {
        {"Hall B missing", [](drivesim::Faults& f) { f.missing_hall = drivesim::Phase::B; }, -1},
        {"Hall A missing", [](drivesim::Faults& f) { f.missing_hall = drivesim::Phase::A; }, -1},
        {"Halls B and C swapped", [](drivesim::Faults& f) { f.swapped_halls = drivesim::PhasePair::BC; }, -2},
        {"Halls A and B swapped", [](drivesim::Faults& f) { f.swapped_halls = drivesim::PhasePair::AB; }, -2},
        {"phases B and C swapped", [](drivesim::Faults& f) { f.swapped_phases = drivesim::PhasePair::BC; }, -2},
    };
    for (const Case& c : cases) {
        drivesim::SimConfig truth = drivesim::DefaultSimConfig();
        c.inject(truth.faults);
        drivesim::Drive drive(truth);
        EXPECT_EQ(CalibrateHalls(drive).weakinc, c.weakinc) << c.name;
        EXPECT_FALSE(drive.AxisOn()) << c.name;
    }
}

TEST(Faults, EachInjectedFaultSetsItsMerBitAndTheRunEnds) {
    struct Case {
        const char* name;
        void (*inject)(drivesim::Faults&);
        int bit;
    };
    const Case cases[] = {
        {"ENABLE inactive", [](drivesim::Faults& f) { f.enable_inactive = true; }, 15},
        {"positive limit switch", [](drivesim::Faults& f) { f.positive_limit_active = true; }, 6},
        {"negative limit switch", [](drivesim::Faults& f) { f.negative_limit_active = true; }, 7},
        {"short circuit", [](drivesim::Faults& f) { f.short_circuit_at_s = 0.3; }, 1},
        {"forced over-voltage", [](drivesim::Faults& f) { f.forced_mer = 1 << 8; }, 8},
    };
    for (const Case& c : cases) {
        drivesim::SimConfig truth = drivesim::DefaultSimConfig();
        c.inject(truth.faults);
        drivesim::Drive drive(truth);
        std::string error;
        drive.AdvanceTo(0.2);
        ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << c.name << error;
        const auto mer = static_cast<unsigned>(Variable(drive, "MER"));
        EXPECT_TRUE(mer & (1u << c.bit)) << c.name << ": MER " << mer;
        // Positioning reports its failure through In1 as well, for bits a test does not decode.
        EXPECT_EQ(ProgramVariable(drive, "In1"), 0.0) << c.name;
        EXPECT_FALSE(drive.AxisOn()) << c.name;
    }
}

TEST(Protections, EachEnabledProtectionTripsItsMerBitAndOnlyThen) {
    // The default setup enables every protection (PCR 191): bus 15 V to 90 V, the motor's I²t at
    // 2.5 A nominal and the drive's at 3 A. The I²t cases shorten the time constant to 0.1 s.
    constexpr double kQuickI2tScale = 500e-6 * 67108864.0 / 0.1;  // SFI2T for t_I2t = 0.1 s
    // t_I2t = 1 s: at 4 A the image trips after 0.28 s of current, at 2.8 A only after 1.7 s,
    // longer than the positioning holds it.
    constexpr double kSecondI2tScale = 500e-6 * 67108864.0 / 1.0;
    auto limit = [](double trip_A, double nominal_A) {
        return (trip_A * trip_A - nominal_A * nominal_A) * kCountsPerAmp * kCountsPerAmp / 16.0;
    };
    constexpr double kAllChecks = 191;
    struct Case {
        const char* name;
        double vdc_V;
        bool hotMotor;
        Registers registers;
        double current_A;
        int bit;
        bool trips;
    };
    const Case cases[] = {
        {"bus within its limits", 47.63, false, {}, 1.25, 8, false},
        {"under-voltage", 12.0, false, {}, 1.25, 9, true},
        {"under-voltage unchecked", 12.0, false, {{"PCR", kAllChecks - 32}}, 1.25, 9, false},
        {"over-voltage", 95.0, false, {}, 1.25, 8, true},
        {"motor I2t above its limit", 47.63, false, {{"SFI2T_M", kQuickI2tScale}, {"I2TINTLIM_M", limit(3.0, 2.5)}}, 4.0, 4, true},
        {"motor I2t below nominal", 47.63, false, {{"SFI2T_M", kQuickI2tScale}, {"I2TINTLIM_M", limit(3.0, 2.5)}}, 1.25, 4, false},
        {"motor I2t unchecked", 47.63, false,
         {{"SFI2T_M", kQuickI2tScale}, {"I2TINTLIM_M", limit(3.0, 2.5)}, {"PCR", kAllChecks - 2}}, 4.0, 4, false},
        {"motor I2t within its time", 47.63, false, {{"SFI2T_M", kSecondI2tScale}, {"I2TINTLIM_M", limit(3.0, 2.5)}}, 4.0, 4, true},
        {"motor I2t beyond its time", 47.63, false, {{"SFI2T_M", kSecondI2tScale}, {"I2TINTLIM_M", limit(3.0, 2.5)}}, 2.8, 4, false},
        {"drive I2t above its limit", 47.63, false, {{"SFI2T_D", kQuickI2tScale}, {"I2TINTLIM_D", limit(3.2, 3.0)}}, 4.0, 4, true},
        {"motor over-temperature", 47.63, true, {}, 1.25, 11, true},
        {"motor over-temperature unchecked", 47.63, true, {{"PCR", kAllChecks - 4}}, 1.25, 11, false},
    };
    for (const Case& c : cases) {
        drivesim::SimConfig truth = drivesim::DefaultSimConfig();
        truth.Vdc_V = c.vdc_V;
        truth.faults.motor_over_temperature = c.hotMotor;
        drivesim::Drive drive(truth);
        RunOptions options = WithPresets({{"In1", std::round(c.current_A * kCountsPerAmp)}});
        options.extra_registers = c.registers;
        std::string error;
        ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", options, &error)) << c.name << error;
        const auto mer = static_cast<unsigned>(Variable(drive, "MER"));
        EXPECT_EQ((mer >> c.bit) & 1u, c.trips ? 1u : 0u) << c.name << ": MER " << mer;
        EXPECT_EQ(ProgramVariable(drive, "In1") == 0.0, c.trips) << c.name << ": the positioning's own report";
        EXPECT_FALSE(drive.AxisOn()) << c.name;
    }
}

// A heatsink that heats quickly: 10 W per square ampere into 10 K/W, settling in 2 s; at 4 A on
// phase A (4² + 2·2² = 24 A²) it would settle 2400 K up and passes 85 °C within about 50 ms.
drivesim::SimConfig QuicklyHeatedDrive() {
    drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    truth.drive.stage_loss_W_per_A2 = 10.0;
    truth.drive.heatsink_K_per_W = 10.0;
    truth.drive.heatsink_tau_s = 2.0;
    return truth;
}

TEST(Protections, TheDriveReportsItsHeatsinkTooHotOnlyWhileChecked) {
    constexpr double kAllChecks = 191;
    constexpr double kDriveTemperatureCheck = 8;
    struct Case {
        const char* name;
        drivesim::SimConfig truth;
        double current_A;
        Registers registers;
        bool trips;
    };
    drivesim::SimConfig hotSensor = drivesim::DefaultSimConfig();
    hotSensor.faults.drive_over_temperature = true;
    const Case cases[] = {
        {"the default stage at 4 A", drivesim::DefaultSimConfig(), 4.0, {}, false},
        {"sensor reads hot", hotSensor, 1.25, {}, true},
        {"sensor reads hot, check off", hotSensor, 1.25, {{"PCR", kAllChecks - kDriveTemperatureCheck}}, false},
        {"heated at 4 A", QuicklyHeatedDrive(), 4.0, {}, true},
        {"heated at 4 A, check off", QuicklyHeatedDrive(), 4.0, {{"PCR", kAllChecks - kDriveTemperatureCheck}}, false},
        // 0.3 A: 0.135 A² settles 13.5 K up, far below the trip.
        {"heated at 0.3 A", QuicklyHeatedDrive(), 0.3, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drivesim::Drive drive(c.truth);
        RunOptions options = WithPresets({{"In1", std::round(c.current_A * kCountsPerAmp)}});
        options.extra_registers = c.registers;
        std::string error;
        ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", options, &error)) << error;
        const auto mer = static_cast<unsigned>(Variable(drive, "MER"));
        EXPECT_EQ((mer >> 10) & 1u, c.trips ? 1u : 0u) << "MER " << mer;
        EXPECT_EQ(ProgramVariable(drive, "In1") == 0.0, c.trips) << "the positioning's own report";
        EXPECT_FALSE(drive.AxisOn());
    }
}

TEST(Protections, AHotHeatsinkKeepsItsBitUntilItHasCooled) {
    drivesim::Drive drive(QuicklyHeatedDrive());
    std::string error;
    ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", std::round(4.0 * kCountsPerAmp)}}),
                           &error))
        << error;
    ASSERT_EQ(static_cast<unsigned>(Variable(drive, "MER")) & 1024u, 1024u);
    drive.Stop();
    EXPECT_EQ(static_cast<unsigned>(Variable(drive, "MER")) & 1024u, 1024u) << "still at its limit";
    // Axis off, the heatsink cools by e^(−t/τ): from about 60 K up to below 50 K in 0.4 s.
    drive.AdvanceTo(drive.Time_s() + 1.0);
    drive.Stop();
    EXPECT_EQ(static_cast<unsigned>(Variable(drive, "MER")) & 1024u, 0u) << "cooled by the hysteresis";
}

TEST(Faults, LatchedBitsClearAtStopOnlyWhenTheirCauseIsGone) {
    drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    truth.faults.short_circuit_at_s = 0.1;
    drivesim::Drive drive(truth);
    std::string error;
    ASSERT_TRUE(RunProgram(drive, "Initial_Positioning_Test", WithPresets({{"In1", kIn1}}), &error)) << error;
    EXPECT_EQ(Variable(drive, "MER"), 2.0);
    drive.Stop();
    EXPECT_EQ(Variable(drive, "MER"), 0.0) << "the short circuit is no cause once the axis is off";

    drivesim::SimConfig enable = drivesim::DefaultSimConfig();
    enable.faults.enable_inactive = true;
    drivesim::Drive other(enable);
    other.Stop();
    EXPECT_EQ(Variable(other, "MER"), 32768.0) << "ENABLE stays inactive";
}

TEST(Faults, FailingTransactionsAndProgramsReportTheirName) {
    drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    truth.faults.failing_read = "AD6";
    truth.faults.failing_write = "KPI";
    truth.faults.link_drop_at_s = 0.5;
    drivesim::Drive drive(truth);
    auto read = drive.ReadVariable("AD6");
    ASSERT_FALSE(read.ok());
    EXPECT_NE(read.error.find("AD6"), std::string::npos) << read.error;
    auto write = drive.WriteRegister("KPI", 100);
    ASSERT_FALSE(write.ok());
    EXPECT_NE(write.error.find("KPI"), std::string::npos) << write.error;
    EXPECT_FALSE(drive.WriteRegisters({{"KPS", 1}, {"KPI", 2}}).ok()) << "a refused register fails the block";
    std::string error;
    drivesim::SimConfig failingStart = drivesim::DefaultSimConfig();
    failingStart.faults.failing_start = "VDC_Detection_Test";
    drivesim::Drive other(failingStart);
    EXPECT_FALSE(RunProgram(other, "VDC_Detection_Test", {}, &error));
    EXPECT_NE(error.find("VDC_Detection_Test"), std::string::npos) << error;
    EXPECT_FALSE(drive.LinkDropped());
    drive.AdvanceTo(0.6);
    EXPECT_TRUE(drive.LinkDropped());
}

TEST(Faults, BadValuesAndUnknownNamesAreRefusedWithTheName) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    struct Case {
        const char* name;
        drivesim::Status status;
    };
    ASSERT_TRUE(drive.Download("Ident_R_or_Rs", ImageVariables("Ident_R_or_Rs"), std::nullopt, std::nullopt).ok());
    const Case cases[] = {
        {"NaN register", drive.WriteRegister("KPI", std::nan(""))},
        {"infinite register", drive.WriteRegister("KPI", INFINITY)},
        {"zero PWM period", drive.WriteRegister("PWMPER", 0)},
        {"int16 out of range", drive.WriteProgramVariable("In1", 40000)},
        {"undeclared program variable", drive.WriteProgramVariable("Nope", 1)},
        {"unknown drive variable", drive.WriteVariable("NOPE", 1)},
        {"unknown program", drive.Download("No_Such_Test", {}, std::nullopt, std::nullopt)},
        {"logger beyond memory",
         drive.Download("Ident_R_or_Rs", ImageVariables("Ident_R_or_Rs"),
                        drivesim::LoggerSettings{9000, 1, 1, {"IQ", "ID"}}, std::nullopt)},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.status.ok()) << c.name;
        EXPECT_FALSE(c.status.error.empty()) << c.name;
    }
    EXPECT_FALSE(drive.ReadVariable("NOPE").ok());
    EXPECT_EQ(*drive.ReadProgramVariable("In1").value, 0.0) << "a refused value changes nothing";
    EXPECT_FALSE(drive.UploadLog().ok()) << "no logger was armed";
}

}  // namespace

namespace {

TEST(Faults, DroppedLinkFailsEveryTransactionWithoutPerformingIt) {
    drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    truth.faults.link_drop_at_s = 1.0;
    drivesim::Drive drive(truth);
    drivesim::Request write;
    write.op = drivesim::Op::WriteRegister;
    write.name = "KPI";
    write.value = 123;
    write.time_s = 0.5;
    EXPECT_TRUE(drivesim::Dispatch(drive, write).ok());
    write.value = 456;
    write.time_s = 1.5;
    const drivesim::Response late = drivesim::Dispatch(drive, write);
    EXPECT_FALSE(late.ok());
    EXPECT_NE(late.error.find("link"), std::string::npos) << late.error;
    EXPECT_EQ(*drive.ReadRegister("KPI").value, 123.0) << "nothing performed after the drop";
}

TEST(HallCommutationTable, OnlyAChangeOfTheHallCalibrationRebuildsIt) {
    struct Case {
        const char* name;
        double value;
        bool rebuilds;
        bool movesMagnitude;  // the table follows the new calibration
    };
    const Case cases[] = {
        {"KPS", 12000, false, false},
        {"SFTKPS", 3, false, false},
        {"KPI", 9000, false, false},
        {"IMAXPROT", 20000, false, false},
        // The value it holds already, as every download before a run writes it.
        {"HALLAOFF", 32736, false, false},
        {"HALLAOFF", 31000, true, true},
        {"HALLBOFF", 34000, true, true},
        {"HALLCOFF", 33000, true, true},
        {"HALLAGAIN", 20000, true, true},
        {"HALLBGAIN", 12000, true, true},
        {"HALLCGAIN", 18000, true, true},
        {"ALPHA", 300, true, true},
        {"ZAOFF", 2000, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " = " + std::to_string(c.value));
        drivesim::detail::Firmware firmware(drivesim::DefaultSimConfig());
        const double before = firmware.CommutationAngle().magnitude;
        const std::uint64_t builds = firmware.HallTableBuilds();
        ASSERT_TRUE(firmware.WriteRegister(c.name, c.value).ok());
        const double after = firmware.CommutationAngle().magnitude;
        EXPECT_EQ(firmware.HallTableBuilds() - builds, c.rebuilds ? 1U : 0U);
        EXPECT_EQ(after != before, c.movesMagnitude) << before << " then " << after;
    }
}

}  // namespace
