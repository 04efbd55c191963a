#include "BaseQuantities.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <span>
#include <string>

using namespace testing_support;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kAdcFullScale = 65472.0;  // a 10-bit converter read left-aligned

// The round drive with a 1:2 transmission (G = 0.5, K_P = 64000, K_V = 32) and what the
// temperature, analogue and test-angle rows read.
std::unique_ptr<CMC_Setup> MakeDrive(double motorTransmission = 1.0) {
    return MakeRoundDrive(motorTransmission, 2.0,
                          {
                              {"AnalogueInputsRange", 10, UnitType::Voltage},
                              {"DriveTempSensorGain", 0.01},
                              {"ADCrange", 3.3, UnitType::Voltage},
                              {"DriveTempOutputAt0oC", 0.5, UnitType::Voltage},
                              {"MECRESL", 4096},
                              {"ENC2THL", 1048576},
                              {"KFFA_scl", 1},
                              {"ControlMode", 1, UnitType::None, ParameterKind::Selector},
                          });
}

struct FactorCase {
    const char* unit;
    const char* name;
    double expected;
};

constexpr double kVoltsPerCount = 48 * 1.1 / 65534.0;
constexpr double kAmperesPerCount = 16.0 / kAdcFullScale;
constexpr double kTs = 5e-4;

// Every row of the unit table in order, each name branch within a row.
const FactorCase kForwardCases[] = {
    {"V ", "Vdc", 100.0 / kAdcFullScale},
    {"V", "AnalogueInputsRange", 1.0},
    {"V", "AD5", 10.0 / kAdcFullScale},
    {"V", "DeadBand_Point", 10.0 / kAdcFullScale},
    {"V", "AD2FIL_VAL", 10.0 / kAdcFullScale},
    {"V", "UQREF", kVoltsPerCount},
    {"A", "IQ", kAmperesPerCount},
    {"s", "Ts_C", 5e-5},
    {"s", "time_ERR_pos", kTs},
    {"rad", "Motor_Position", 1.0 / 128000},
    {"rad", "APOS_MT", 1.0 / 128000},
    {"rad", "THTST", kPi / 32767},
    {"rad", "ERR_position", 1.0 / 64000},
    {"rad", "APOS", 1.0 / 64000},
    {"m", "Motor_Position", 1.0 / 64000},
    {"m", "POS_min", 1.0 / 64000},
    {"rad/s", "Motor_Speed", 1.0 / 64},
    {"rad/s", "Motor_Speed_Reference", 1.0 / 64},
    {"rad/s", "TINCTST", kPi / 32767 / 5e-5},
    {"rad/s", "Limit_Speed", 1.0 / 32},
    {"rad/s", "Load_Speed", 1.0 / 32},
    {"m/s", "SPD_max", 1.0 / 32},
    {"m/s", "Motor_Speed", 1.0 / 32},
    {"rad/s^2", "CACC", 1.0 / (128000 * kTs * kTs * 0.5)},
    {"m/s^2", "CDEC", 1.0 / (128000 * kTs * kTs * 0.5)},
    {"rad/s^3", "JERK", 1.0 / (128000 * kTs * kTs * kTs * 0.5)},
    {"m/s^3", "JERK", 1.0 / (128000 * kTs * kTs * kTs * 0.5)},
    {"\xB0" "C", "TEMP", 3.3 / (kAdcFullScale * 0.01)},
    {"°C", "TEMP", 3.3 / (kAdcFullScale * 0.01)},
    {"V/s", "UREF_SLOPE", kVoltsPerCount / kTs},
    {"A/s", "IREF_SLOPE", kAmperesPerCount / kTs},
    {"Nm", "anything", 1.0},
    {"%", "IPSatS", 1.0},
    // Units and names are compared without regard to case.
    {"a", "IQ", kAmperesPerCount},
    {"RAD/S", "motor_speed", 1.0 / 64},
    {"v ", "VDC", 100.0 / kAdcFullScale},
};

// With the transmission reversed, limits, bands and amplitudes keep a positive factor, other
// load-side factors turn negative, and motor-side ones ignore the transmission.
const FactorCase kReversedCases[] = {
    {"m", "ERR_position", 1.0 / 64000},
    {"m", "FreezeControl_errband", 1.0 / 64000},
    {"m", "TestPosition", 1.0 / 64000},
    {"m", "POS_max", 1.0 / 64000},
    {"m", "APOS", -1.0 / 64000},
    {"rad", "APOS_MT", 1.0 / 128000},
    {"m/s", "ERR_speed", 1.0 / 32},
    {"m/s", "Limit_Speed", 1.0 / 32},
    {"m/s", "ErefMaxSpeed", 1.0 / 32},
    {"m/s", "TestSpeed", 1.0 / 32},
    {"m/s", "SPD_min", 1.0 / 32},
    {"m/s", "Load_Speed", -1.0 / 32},
    {"rad/s", "ASPD", 1.0 / 64},
    {"m/s^2", "CACC", -1.0 / (128000 * kTs * kTs * 0.5)},
};

void ExpectFactors(CMC_Setup& setup, std::span<const FactorCase> cases) {
    for (const FactorCase& c : cases) {
        SCOPED_TRACE(std::string("unit \"") + c.unit + "\", name " + c.name);
        EXPECT_NEAR(pelmora::ScaleFactor(setup, c.unit, c.name), c.expected, std::abs(c.expected) * 1e-12);
    }
}

TEST(ScaleFactor, EachUnitRowAndNameBranchGivesItsFactor) {
    auto setup = MakeDrive();
    ExpectFactors(*setup, kForwardCases);
}

TEST(ScaleFactor, ReversingTransmissionFlipsOnlyTheSignedLoadFactors) {
    auto setup = MakeDrive(-1.0);
    ExpectFactors(*setup, kReversedCases);
}

TEST(ScaleFactor, TemperatureReadsBackThroughFactorAndOffset) {
    auto setup = MakeDrive();
    for (const char* unit : {"\xB0" "C", "°C", "°c"}) {
        SCOPED_TRACE(unit);
        // 1.5 V at the sensor is (1.5 - 0.5) / 0.01 = 100 °C.
        const double counts = 1.5 * kAdcFullScale / 3.3;
        const double celsius =
            (counts + pelmora::ScaleOffset(*setup, unit)) * pelmora::ScaleFactor(*setup, unit, "TEMP");
        EXPECT_NEAR(celsius, 100.0, 1e-9);
    }
    EXPECT_EQ(pelmora::ScaleOffset(*setup, "V"), 0.0);
    EXPECT_EQ(pelmora::ScaleOffset(*setup, "C"), 0.0);
}

// A divisor of zero must never hand the host an infinity or a NaN: the factor is 0, meaning
// "this setup cannot scale the quantity".
TEST(ScaleFactor, ZeroDivisorsGiveFiniteFactorsAndOffsets) {
    const char* const divisors[] = {"PolePitch", "Vdc", "DSP_freq", "ImaxPS", "Motor_transmission",
                                    "Load_transmission", "DriveTempSensorGain", "ADCrange", "VdcMaxMeasurable",
                                    "ENC2THL", "PWMPER"};
    const char* const units[] = {"V ", "V", "A", "s", "rad", "m", "rad/s", "m/s", "m/s^2", "m/s^3", "°C", "V/s", "A/s"};
    const char* const names[] = {"APOS", "ERR_position", "Motor_Speed", "TINCTST", "AD5", "Ts_C", "Limit_Speed"};
    for (const char* divisor : divisors) {
        auto setup = MakeDrive();
        Put(*setup, {divisor, 0.0});
        for (const char* unit : units) {
            for (const char* name : names) {
                SCOPED_TRACE(std::string(divisor) + " = 0, unit \"" + unit + "\", name " + name);
                EXPECT_TRUE(std::isfinite(pelmora::ScaleFactor(*setup, unit, name)));
            }
            EXPECT_TRUE(std::isfinite(pelmora::ScaleOffset(*setup, unit)));
        }
    }
}

TEST(ScaleFactor, NullTextsAreHarmless) {
    auto setup = MakeDrive();
    EXPECT_EQ(pelmora::ScaleFactor(*setup, nullptr, "APOS"), 1.0);
    EXPECT_NEAR(pelmora::ScaleFactor(*setup, "A", nullptr), kAmperesPerCount, 1e-15);
    EXPECT_EQ(pelmora::ScaleOffset(*setup, nullptr), 0.0);
}

struct DeadTimeCase {
    std::optional<double> dbt;
    std::optional<double> dbtpc;
    double expected_s;
};

TEST(DeadTime, TakesTheLongerEdgeInClockTicks) {
    const DeadTimeCase cases[] = {
        {0x0A14, std::nullopt, 20 * 0.5 / 60e6},  // 0x14 = 20 ticks beats 0x0A = 10
        {0x1E05, 80, 30 * 0.8 / 60e6},
        {0x0005, 100, 5 / 60e6},
        {0, std::nullopt, 1e-6},                 // unset: a safe default
        {std::nullopt, 50, 0.0},                 // no dead time register at all
    };
    for (const DeadTimeCase& c : cases) {
        auto setup = MakeSetup({{"DSP_freq", 60e6, UnitType::Frequency}});
        if (c.dbt) Put(*setup, {"DBT", *c.dbt});
        if (c.dbtpc) Put(*setup, {"DBTPC", *c.dbtpc, UnitType::Percent});
        SCOPED_TRACE("DBT " + (c.dbt ? std::to_string(*c.dbt) : "missing") + ", DBTPC " +
                     (c.dbtpc ? std::to_string(*c.dbtpc) : "missing"));
        EXPECT_NEAR(pelmora::GetDeadTime(*setup), c.expected_s, 1e-15);
        // The optional look-ups never reach the user.
        EXPECT_TRUE(TakeCollectedErrors().empty());
    }
}

TEST(AccelFeedforwardShift, IsTheExponentOfTheNextPowerOfTwo) {
    const std::pair<double, int> cases[] = {{0.5, 0}, {1, 0}, {1.0001, 1}, {2, 1}, {3, 2}, {4, 2},
                                            {5, 3},   {16384, 14}, {16385, 15}, {4194304, 22}};
    for (const auto& [gain, shift] : cases) {
        auto setup = MakeSetup({{"KFFA_scl", gain}});
        SCOPED_TRACE("KFFA_scl " + std::to_string(gain));
        EXPECT_EQ(pelmora::GetAccelFeedforwardShift(*setup), shift);
    }
}

TEST(AnalogueReferenceSpan, UsesThePairOfTheControlModeAndTheSignOfTheTransmission) {
    struct Case {
        int mode;
        double motorTransmission;
        const char* maxName;
        const char* minName;
        UnitType type;
        double max;
        double min;
        double expected;
    };
    // Internal spans: 2 m/s * 32 = 64 counts; 0.01 m * 64000 = 640 counts; 4 A / (16/65472) counts.
    const double currentCounts = 4.0 / kAmperesPerCount;
    const Case cases[] = {
        {1, 1.0, "SPD_max", "SPD_min", UnitType::LinearSpeed, 1, -1, 64 * 0.5 * 65536 / kAdcFullScale},
        {1, -1.0, "SPD_max", "SPD_min", UnitType::LinearSpeed, 1, -1, -64 * 0.5 * 65536 / kAdcFullScale},
        {0, 1.0, "POS_max", "POS_min", UnitType::LinearPosition, 0.005, -0.005, 640 * 0.5 * 65536 / kAdcFullScale},
        {2, 1.0, "CRT_max", "CRT_min", UnitType::Current, 2, -2, currentCounts * 0.5 * 65536 / kAdcFullScale},
        {7, 1.0, "CRT_max", "CRT_min", UnitType::Current, 2, -2, currentCounts * 0.5 * 65536 / kAdcFullScale},
    };
    for (const Case& c : cases) {
        auto setup = MakeDrive(c.motorTransmission);
        Put(*setup, {"ControlMode", static_cast<double>(c.mode)});
        Put(*setup, {c.maxName, c.max, c.type});
        Put(*setup, {c.minName, c.min, c.type});
        SCOPED_TRACE("mode " + std::to_string(c.mode) + ", transmission " + std::to_string(c.motorTransmission));
        EXPECT_NEAR(pelmora::GetAnalogueReferenceSpan(*setup), c.expected, std::abs(c.expected) * 1e-12);
    }
}

}  // namespace
