#include "Encode.h"

#include "GainEncoding.h"
#include "MC_SetupFile.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace testing_support;
using namespace pelmora;

namespace {

using Step = int (*)(CMC_Setup&);
constexpr double kUnset = -12345.0;                    // a register value no step produces
constexpr double kCurrentScale = 65472.0 / 16.0;       // K_I: 10-bit converter, ImaxPS = 8 A
constexpr double kCountsPerMetre = 4096.0 / 0.032;     // K_P with G = 1
constexpr double kSpeedScale = kCountsPerMetre * 5e-4; // K_V with G = 1: 64

double Value(const CMC_Setup& setup, const std::string& name) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* p = setup.FindParameter(name);
    return p ? p->GetValueInBaseUnit() : NAN;
}

void PutAll(CMC_Setup& setup, const std::vector<ParameterSpec>& parameters) {
    for (const ParameterSpec& p : parameters) Put(setup, p);
}

// T_C = 50 µs, T_S = 500 µs, 4096 counts per 32 mm pole pitch, transmission ratio G.
std::unique_ptr<CMC_Setup> MakeDrive(double ratio = 1.0) {
    return MakeRoundDrive(ratio, 1.0, {{"Ts_S", 5e-4, UnitType::Time}});
}

struct GainRow {
    Q15Gain gain;
    Step shift, mantissa;
};
const GainRow kGainRows[] = {
    {kGainKpC, Encode_SFTKPI, Encode_KPI}, {kGainKiC, Encode_SFTKII, Encode_KII},
    {kGainKpS, Encode_SFTKPS, Encode_KPS}, {kGainKiS, Encode_SFTKIS, Encode_KIS},
    {kGainKpP, Encode_SFTKPP, Encode_KPP}, {kGainKiP, Encode_SFTKIP, Encode_KIP},
    {kGainKdP, Encode_SFTKDP, Encode_KDP}, {kGainKffS, Encode_SFTSFFW, Encode_KFFS},
};

}  // namespace

// Each gain's steps write its own two registers (the other gains hold 0.3), normalised (no larger
// shift than needed), and what the drive holds (the mantissa rounded to a count) decodes to within
// one mantissa step.
TEST(EncodeGains, RoundTripWithinOneMantissaStepOverTheWholeRange) {
    std::vector<double> gains = {0.0, 16384.0};
    for (int k = 0; k <= 240; ++k) gains.push_back(1e-4 * std::pow(16384.0 / 1e-4, k / 240.0));
    for (int e = -3; e <= 14; ++e) gains.push_back(std::exp2(e));
    for (const GainRow& row : kGainRows) {
        const std::string name(row.gain.gain), mantissaName(row.gain.mantissa), shiftName(row.gain.shift);
        auto setup = MakeSetup({});
        for (const Q15Gain& g : kQ15Gains) {
            PutAll(*setup, {{std::string(g.gain), 0.3}, {std::string(g.mantissa), kUnset},
                            {std::string(g.shift), kUnset}});
        }
        for (double gain : gains) {
            SCOPED_TRACE(name + " = " + std::to_string(gain));
            Put(*setup, {name, gain});
            ASSERT_EQ(row.shift(*setup) + row.mantissa(*setup), 2);
            const double shift = Value(*setup, shiftName), mantissa = Value(*setup, mantissaName);
            EXPECT_EQ(shift, std::trunc(shift));
            EXPECT_TRUE(shift >= 0 && shift <= 14) << shift;
            EXPECT_LE(mantissa, 32767.0);
            EXPECT_TRUE(shift == 0 || mantissa > 32767.0 / 2) << mantissa;
            EXPECT_NEAR(DecodeQ15(std::round(mantissa), shift), gain, std::exp2(shift) / 32767.0);
        }
    }
}

namespace {

struct RegisterCase {
    const char* label;
    double ratio;
    std::vector<ParameterSpec> inputs;
    std::vector<Step> steps;
    std::vector<std::pair<const char*, double>> expected;
    const char* negTransmissionOption = "1";
};

// POS_max and POS_min around 0 whose analogue reference span is `counts`.
std::vector<ParameterSpec> SpanInputs(double counts) {
    const double half_m = counts * 65472.0 / 65536.0 / kCountsPerMetre;
    return {{"ControlMode", 0}, {"POS_max", half_m, UnitType::LinearPosition},
            {"POS_min", -half_m, UnitType::LinearPosition}};
}

const std::vector<ParameterSpec> kSaturationInputs = {
    {"IPSatP", 50}, {"Limit_Speed", 2, UnitType::LinearSpeed}, {"IlimPS", 6, UnitType::Current}};
const std::vector<Step> kSaturationSteps = {Encode_IMAXP, Encode_SATP};
const std::vector<ParameterSpec> kLimitInputs = {{"Negative_SWLS", -0.1, UnitType::LinearPosition},
                                                 {"Positive_SWLS", 0.2, UnitType::LinearPosition},
                                                 {"ASR", 0x0080}, {"isSWLS", 1}};
const std::vector<Step> kLimitSteps = {Encode_NegativeSWLS, Encode_PositiveSWLS, Encode_ASR, Encode_TRANSMISSION};

std::vector<ParameterSpec> With(std::vector<ParameterSpec> a, const std::vector<ParameterSpec>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ACR from its inputs in the order base, isAutoActivatedAfterPowerOn, ExternalReference,
// isAnalogueReference, DigitalReferenceType, ControlMode, PositionControlType.
std::vector<ParameterSpec> Acr(double base, double autoOn, double external, double analogue, double digitalType,
                               double mode, double positionType, const std::vector<ParameterSpec>& extra = {}) {
    return With({{"ACR", base}, {"isAutoActivatedAfterPowerOn", autoOn}, {"ExternalReference", external},
                 {"isAnalogueReference", analogue}, {"DigitalReferenceType", digitalType}, {"ControlMode", mode},
                 {"PositionControlType", positionType}},
                extra);
}
const std::vector<ParameterSpec> kFreeze = {{"POSOKLIM_FC", 1}, {"TONPOSOK_FC", 1}};
const std::vector<ParameterSpec> kI2tInputs = {{"I_I2t_D", 6}, {"InPS", 3}, {"I_I2t_M", 5.5}, {"In", 2.5}};
const std::vector<Step> kI2tSteps = {Encode_I2TINTLIM_D, Encode_II2TWARLIM_D, Encode_I2TINTLIM_M, Encode_I2TWARLIM_M};
// The recovery reads I = sqrt(16 · I2TINTLIM + (In · K_I)²) / K_I, so the limit is (I² − In²) · K_I² / 16
// exactly; otherwise I_I2t creeps on every encode and recovery.
constexpr double kI2tD = (36 - 9) * kCurrentScale * kCurrentScale / 16;
constexpr double kI2tM = (5.5 * 5.5 - 2.5 * 2.5) * kCurrentScale * kCurrentScale / 16;

const RegisterCase kRegisterCases[] = {
    {"Kp_C 0.5", 1, {{"Kp_C_scl", 0.5}}, {Encode_SFTKPI, Encode_KPI}, {{"SFTKPI", 0}, {"KPI", 16383.5}}},
    {"Kp_C 3", 1, {{"Kp_C_scl", 3}}, {Encode_SFTKPI, Encode_KPI}, {{"SFTKPI", 2}, {"KPI", 32767.0 * 3 / 4}}},
    {"Kp_C 1", 1, {{"Kp_C_scl", 1}}, {Encode_SFTKPI, Encode_KPI}, {{"SFTKPI", 0}, {"KPI", 32767}}},
    {"n_KFFA 14", 1, {{"KFFA_scl", 10000}}, {Encode_SFTAFFW, Encode_SFTKFF, Encode_KFFA},
     {{"SFTAFFW", 11}, {"SFTKFF", 3}, {"KFFA", 10000 * 32767.0 / 16384}}},
    {"n_KFFA 5", 1, {{"KFFA_scl", 20}}, {Encode_SFTAFFW, Encode_SFTKFF, Encode_KFFA},
     {{"SFTAFFW", 5}, {"SFTKFF", 0}, {"KFFA", 20 * 32767.0 / 32}}},
    {"Resolution 1024", 1, {{"Resolution", 1024}}, {Encode_MECRESL, Encode_ENC2THL, Encode_DBTTH},
     {{"MECRESL", 1024}, {"ENC2THL", 4194304}, {"DBTTH", 6}}},
    {"error checks", 1,
     {{"isPositionControlError", 0}, {"time_ERR_pos", 0.3}, {"isSpeedControlError", 1}, {"time_ERR_spd", 0.1}},
     {Encode_TERRMAX, Encode_TSERRMAX}, {{"TERRMAX", 65535}, {"TSERRMAX", 200}}},
    {"current filter off", 1, {{"isUseFilterOnCrtCtrlOutput", 0}, {"FilterOnCurrentControllerOutput", 5000}},
     {Encode_FILTERQ}, {{"FILTERQ", 32767}}},
    {"current filter on", 1, {{"isUseFilterOnCrtCtrlOutput", 1}, {"FilterOnCurrentControllerOutput", 5000}},
     {Encode_FILTERQ}, {{"FILTERQ", 7248}}},  // trunc((1 − e^−0.25) · 32767)
    {"no current measurement", 1, {{"CurrentMeasurementType", 0}, {"PWM_freq", 20000}},
     {Encode_SATPWM, Encode_SATID, Encode_SATIQ}, {{"SATPWM", 0}, {"SATID", 0}, {"SATIQ", 0}}},
    // Position over speed saturates on Limit_Speed (SATP in its internal unit, positive whatever G),
    // every other structure on IlimPS.
    {"position over speed", 1, With(kSaturationInputs, {{"ControlMode", 0}, {"PositionControlType", 1}}),
     kSaturationSteps, {{"IMAXP", 32767 - 2 * 0.5 * kSpeedScale}, {"SATP", 32767 - 2 * kSpeedScale}}},
    {"position over speed, G < 0", -1, With(kSaturationInputs, {{"ControlMode", 0}, {"PositionControlType", 1}}),
     kSaturationSteps, {{"IMAXP", 32767 - 2 * 0.5 * kSpeedScale}, {"SATP", 32767 - 2 * kSpeedScale}}},
    {"position over current", 1, With(kSaturationInputs, {{"ControlMode", 0}, {"PositionControlType", 0}}),
     kSaturationSteps, {{"IMAXP", 32767 - 6 * 0.5 * kCurrentScale}, {"SATP", 32767 - 6 * kCurrentScale}}},
    // A reversing transmission swaps the software-limit registers and, with the option, sets ASR bit 7.
    {"G > 0", 1, kLimitInputs, kLimitSteps,
     {{"SWNEGLS", -0.1 * kCountsPerMetre}, {"SWPOSLS", 0.2 * kCountsPerMetre}, {"ASR", 0x1000}, {"TRANSMISSION", 1}}},
    {"G < 0", -1, kLimitInputs, kLimitSteps,
     {{"SWNEGLS", -0.2 * kCountsPerMetre}, {"SWPOSLS", 0.1 * kCountsPerMetre}, {"ASR", 0x1080}, {"TRANSMISSION", -1}}},
    {"G < 0 without the option", -1, kLimitInputs, kLimitSteps,
     {{"SWNEGLS", -0.2 * kCountsPerMetre}, {"SWPOSLS", 0.1 * kCountsPerMetre}, {"ASR", 0x1000}, {"TRANSMISSION", -1}},
     "0"},
    {"i2t", 1, With(kI2tInputs, {{"t_I2t_D", 10}, {"t_I2t_M", 10}}), kI2tSteps,
     {{"I2TINTLIM_D", kI2tD}, {"II2TWARLIM_D", 0.8 * kI2tD}, {"I2TINTLIM_M", kI2tM}, {"I2TWARLIM_M", 0.8 * kI2tM}}},
    // Under 2 s the warning limit would turn negative; it warns at once instead.
    {"i2t time under 2 s", 1, With(kI2tInputs, {{"t_I2t_D", 1}, {"t_I2t_M", 1.5}}), kI2tSteps,
     {{"I2TINTLIM_D", kI2tD}, {"II2TWARLIM_D", 0}, {"I2TINTLIM_M", kI2tM}, {"I2TWARLIM_M", 0}}},
    {"ACR position over speed", 1, Acr(0, 0, 0, 0, 0, 0, 1), {Encode_ACR}, {{"ACR", 0x700}}},
    {"ACR position over current", 1, Acr(0, 0, 0, 0, 0, 0, 0), {Encode_ACR}, {{"ACR", 0x500}}},
    {"ACR speed, auto-activated", 1, Acr(0, 1, 0, 0, 0, 1, 1), {Encode_ACR}, {{"ACR", 0x302}}},
    {"ACR analogue reference", 1, Acr(0x80, 0, 1, 1, 0, 2, 0), {Encode_ACR}, {{"ACR", 0x140}}},
    {"ACR digital reference type 0", 1, Acr(0x40, 0, 1, 0, 0, 2, 0), {Encode_ACR}, {{"ACR", 0x184}}},
    {"ACR digital reference type 1", 1, Acr(0x44, 0, 1, 0, 1, 2, 0), {Encode_ACR}, {{"ACR", 0x180}}},
    {"ACR no external reference keeps bit 2", 1, Acr(0xC4, 0, 0, 1, 0, 2, 0), {Encode_ACR}, {{"ACR", 0x104}}},
    // Without SpeedForward bit 14 is cleared; without freeze control bit 4 is left alone.
    {"ACR foreign bits survive", 1, Acr(0xFFFF, 0, 0, 0, 0, 1, 0), {Encode_ACR}, {{"ACR", 0xBB3D}}},
    {"ACR speed forward", 1, Acr(0, 0, 0, 0, 0, 1, 0, {{"SpeedForward", 1}}), {Encode_ACR}, {{"ACR", 0x4300}}},
    {"ACR freeze control", 1, Acr(0x10, 0, 0, 0, 0, 0, 1, With(kFreeze, {{"isFreezeControl", 1}})), {Encode_ACR},
     {{"ACR", 0x710}}},
    {"ACR freeze control off", 1, Acr(0x10, 0, 0, 0, 0, 0, 1, With(kFreeze, {{"isFreezeControl", 0}})), {Encode_ACR},
     {{"ACR", 0x700}}},
    // The span is shifted only above 32767; a negative span (G < 0) never is.
    {"span 32766.5", 1, SpanInputs(32766.5), {Encode_CADIN, Encode_SFTADIN}, {{"CADIN", 32766.5}, {"SFTADIN", 0}}},
    {"span 65600", 1, SpanInputs(65600), {Encode_CADIN, Encode_SFTADIN}, {{"CADIN", 16400}, {"SFTADIN", 2}}},
    {"span −80000", -1, SpanInputs(80000), {Encode_CADIN, Encode_SFTADIN}, {{"CADIN", -80000}, {"SFTADIN", 0}}},
};

}  // namespace

TEST(EncodeRegisters, ComputedValues) {
    for (const RegisterCase& c : kRegisterCases) {
        SCOPED_TRACE(c.label);
        auto setup = MakeDrive(c.ratio);
        setup->SetOption("hasNegTransmission", c.negTransmissionOption);
        for (const auto& [name, value] : c.expected) Put(*setup, {name, kUnset});
        PutAll(*setup, c.inputs);
        for (Step step : c.steps) EXPECT_EQ(step(*setup), 1);
        for (const auto& [name, value] : c.expected) {
            EXPECT_NEAR(Value(*setup, name), value, 1e-9 * std::max(1.0, std::abs(value))) << name;
        }
    }
}

namespace {

struct Field {
    const char* flag;
    std::uint32_t on, off;
};
struct FlagRegisterCase {
    const char* label;
    Step step;
    const char* reg;
    std::uint32_t kept;  // bits of the old value that must survive
    std::vector<Field> fields;
};

// Written out from the register definitions, independently of the implementation's tables.
const FlagRegisterCase kFlagRegisters[] = {
    {"SCR", Encode_SCR, "SCR", 0xFE0F, {{"isMotorTemperatureSensor", 0x80, 0}, {"isDriveTemperatureSensor", 0x100, 0}}},
    {"SCR with estimator", Encode_SCR, "SCR", 0xFE07,
     {{"isMotorTemperatureSensor", 0x80, 0}, {"isDriveTemperatureSensor", 0x100, 0}, {"isSpeedEstimator", 0x30, 0}}},
    {"OSR", Encode_OSR, "OSR", 0xFDE3, {{"isBrakeResistor", 0x200, 0}, {"StartMode", 0x1C, 0x04}}},
    {"PCR", Encode_PCR, "PCR", 0xFF40,
     {{"isDriveI2t", 0x80, 0}, {"isUnderVoltage", 0x20, 0}, {"isOverVoltage", 0x10, 0}, {"isDriveOverTemp", 0x08, 0},
      {"isMotorOverTemp", 0x04, 0}, {"isMotorI2t", 0x02, 0}, {"isOverCurrent", 0x01, 0}}},
    {"DIGIN_ACTIVE_LEVEL", Encode_DIGIN_ACTIVE_LEVEL, "DIGIN_ACTIVE_LEVEL", 0x1FFF,
     {{"EnablePolarity", 0x8000, 0}, {"LSNPolarity", 0x4000, 0}, {"LSPPolarity", 0x2000, 0}}},
    {"UPGRADE", Encode_UPGRADE, "UPGRADE", 0x7FFB, {{"isLimitMaximum", 0x4, 0}}},
    {"ASR without options", Encode_ASR, "ASR", 0xFF7F, {}},
    {"ASR", Encode_ASR, "ASR", 0xEF7B, {{"isSWLS", 0x1000, 0}, {"InputsPolarityType", 0, 0x4}}},
    {"LSS_Active", Encode_LSS_Active, "LSS_Active", 0, {{"save_CAN_baudrate", 0, 0x2}, {"save_axis_id", 0, 0x1}}},
};

}  // namespace

// Each flag sets exactly its own bits, and every bit the rule does not own keeps its old value.
TEST(EncodeFlagRegisters, EachFlagOwnsItsBitsAndForeignBitsSurvive) {
    for (const FlagRegisterCase& c : kFlagRegisters) {
        for (std::uint32_t base : {0x0000U, 0xFFFFU, 0xA5A5U}) {
            for (std::size_t chosen = 0; chosen <= c.fields.size(); ++chosen) {  // == size: all off
                SCOPED_TRACE(testing::Message() << c.label << " base " << base << " flag " << chosen);
                auto setup = MakeSetup({{c.reg, static_cast<double>(base)}});
                std::uint32_t expected = base & c.kept;
                for (std::size_t i = 0; i < c.fields.size(); ++i) {
                    Put(*setup, {c.fields[i].flag, i == chosen ? 1.0 : 0.0});
                    expected |= i == chosen ? c.fields[i].on : c.fields[i].off;
                }
                ASSERT_EQ(c.step(*setup), 1);
                EXPECT_EQ(static_cast<std::uint32_t>(Value(*setup, c.reg)), expected);
            }
        }
    }
}

namespace {

struct RefusedCase {
    Step step;
    const char* reg;
    std::vector<ParameterSpec> inputs;
};

std::unique_ptr<CMC_Setup> SetupFor(const RefusedCase& c, std::size_t skipped) {
    auto setup = MakeSetup({});
    for (std::size_t i = 0; i < c.inputs.size(); ++i) {
        if (i != skipped) Put(*setup, c.inputs[i]);
    }
    Put(*setup, {c.reg, kUnset});
    SetupIdentity identity;
    identity.ioPins = {{.port = 25, .pin = 3, .inverted = false, .brake = true}};
    setup->SetIdentity(identity);
    return setup;
}

}  // namespace

// Each row's inputs are complete; they are left out one at a time.
TEST(EncodeRefusals, MissingInputReturnsZeroReportsItAndLeavesTheRegister) {
    const RefusedCase cases[] = {
        {Encode_PWMPER, "PWMPER", {{"DSP_freq", 6e7}, {"PWM_freq", 2e4}}},
        {Encode_PCR, "PCR", {{"isDriveI2t", 1}, {"isUnderVoltage", 1}, {"isOverVoltage", 1}, {"isDriveOverTemp", 1},
                             {"isMotorOverTemp", 1}, {"isMotorI2t", 1}, {"isOverCurrent", 1}}},
        {Encode_ACR, "ACR", {{"isAutoActivatedAfterPowerOn", 1}, {"isAnalogueReference", 0},
                             {"DigitalReferenceType", 0}, {"PositionControlType", 1}, {"ControlMode", 0},
                             {"ExternalReference", 0}}},
        {Encode_SATP, "SATP", {{"PositionControlType", 0}, {"Limit_Speed", 1}, {"IlimPS", 1}, {"ControlMode", 0}}},
        {Encode_BRAKECFG, "BRAKECFG", {{"isMotorBrake", 1}, {"MotorBrake_output", 25}}},
    };
    for (const RefusedCase& c : cases) {
        ASSERT_EQ(c.step(*SetupFor(c, c.inputs.size())), 1) << c.reg << " with every input";
        for (std::size_t missing = 0; missing < c.inputs.size(); ++missing) {
            SCOPED_TRACE(std::string(c.reg) + " without " + c.inputs[missing].name);
            auto setup = SetupFor(c, missing);
            TakeCollectedErrors();
            EXPECT_EQ(c.step(*setup), 0);
            EXPECT_EQ(Value(*setup, c.reg), kUnset);
            const std::vector<std::string> errors = TakeCollectedErrors();
            ASSERT_EQ(errors.size(), 1U);
            EXPECT_NE(errors[0].find(c.inputs[missing].name), std::string::npos) << errors[0];
        }
    }
}

// A zero divisor, no logarithm, a selector outside its cases, a port without a pin or K_P = 0:
// nothing written.
TEST(EncodeRefusals, NonFiniteOrUndefinedResultWritesNothing) {
    const RefusedCase cases[] = {
        {Encode_PWMPER, "PWMPER", {{"DSP_freq", 6e7}, {"PWM_freq", 0}}},
        {Encode_ENC2THL, "ENC2THL", {{"Resolution", 0}}},
        {Encode_DBTTH, "DBTTH", {{"Resolution", 0}}},
        {Encode_TIMAXPROT, "TIMAXPROT", {{"time_Imax_Prot", 0.1}, {"Ts_S", 0}}},
        {Encode_TERRMAX, "TERRMAX", {{"time_ERR_pos", 0.1}, {"Ts_S", 0}, {"isPositionControlError", 1}}},
        {Encode_I2TWARLIM_M, "I2TWARLIM_M", {{"t_I2t_M", 0}, {"I_I2t_M", 6}, {"In", 3}, {"ImaxPS", 8}}},
        {Encode_TRANSMISSION, "TRANSMISSION", {{"Motor_transmission", 0}, {"Load_transmission", 0}}},
        {Encode_AD5OFF, "AD5OFF", {{"ControlMode", 3}, {"POS_min", 1}, {"SPD_min", 1}, {"CRT_min", 1}}},
        {Encode_ACR, "ACR", Acr(0x1234, 1, 1, 1, 0, 3, 1)},
        {Encode_BRAKECFG, "BRAKECFG", {{"isMotorBrake", 1}, {"MotorBrake_output", 7}}},
        {Encode_NegativeSWLS, "SWPOSLS", {{"Negative_SWLS", -0.1}, {"Motor_transmission", 0}, {"Load_transmission", 1},
                                          {"DBTTH", 4}, {"PolePitch", 0.032}}},  // K_P = 0: no direction
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.reg);
        auto setup = SetupFor(c, c.inputs.size());
        EXPECT_EQ(c.step(*setup), 0);
        EXPECT_EQ(Value(*setup, c.reg), kUnset);
    }
}

// PWMPER and DBTTH written early in the pass are what the later steps' T_C, T_S, K_P and K_V use.
TEST(EncodePass, LaterStepsUseTheTimingAndResolutionWrittenEarlier) {
    auto setup = MakeDrive();
    PutAll(*setup, {{"PWM_freq", 10000}, {"Resolution", 1024}, {"ERR_speed", 1}, {"ERR_position", 0.001},
                    {"isUseFilterOnCrtCtrlOutput", 1}, {"FilterOnCurrentControllerOutput", 1000},
                    {"SERRMAX", 0}, {"ERRMAX", 0}, {"FILTERQ", 0}});
    UpdateRegistersFromParameters(*setup);
    // PWMPER 3000 doubles T_S and T_C; DBTTH 6 gives 1024 counts per pole pitch.
    EXPECT_EQ(Value(*setup, "PWMPER"), 3000);
    EXPECT_DOUBLE_EQ(Value(*setup, "SERRMAX"), 1 * 1e-3 * 1024 / 0.032);
    EXPECT_DOUBLE_EQ(Value(*setup, "ERRMAX"), 0.001 * 1024 / 0.032);
    EXPECT_EQ(Value(*setup, "FILTERQ"), std::trunc((1 - std::exp(-1000 * 1e-4)) * 32767));
}

// A setup holding one register of each group (and what its probe looks for) gets every one of them
// written, whatever failed before; a group whose probe fails is skipped without a report.
TEST(EncodePass, RunsEveryGroupOnASparseSetup) {
    auto setup = MakeSetup({{"CADIN", 0}});
    setup->AddVariable("CADIN", UnitType::None, CMC_Units::Instance().BaseUnit(UnitType::None));
    const std::map<std::string, double> expected = {
        {"MECRESL", 64},   {"PWMPER", 1500},    {"SFI2T_D", 2048},     {"II2TWARLIM_D", 0}, {"MTSTYPE", 1},
        {"KDFP", 32767},   {"FFL", 0},          {"KPS", 32767},        {"KFFS", 32767},     {"T1MAXPROT", 32767},
        {"SFI2T_M", 2048}, {"I2TWARLIM_M", 0},  {"FILTER1", 32767},    {"GEAR", 2},         {"LSS_Active", 3},
        {"BRAKEAPPLYDELAY", 4}, {"TONPOSOK_FC", 4}, {"TRANSMISSION", -1}, {"SPDREF_BQ_INI", 0},
        {"ABSTART_MINMOVE", 1200}};
    for (const auto& [name, value] : expected) Put(*setup, {name, kUnset});
    PutAll(*setup, {{"Resolution", 64}, {"DSP_freq", 6e7}, {"PWM_freq", 2e4}, {"Ts_S", 1}, {"t_I2t_D", 32768},
                    {"t_I2t_M", 32768}, {"ImaxPS", 8}, {"I_I2t_D", 1}, {"InPS", 1}, {"I_I2t_M", 1}, {"In", 1},
                    {"Motor_TempSensor_Type", 1}, {"filter_D", 1}, {"OffsetCurrent", 1},
                    {"isCompensateGravitationalLoads", 0}, {"Kp_S_scl", 1}, {"KFFS_scl", 1}, {"UseFilter", 0},
                    {"filter", 1}, {"GEARSLAVE", 4}, {"GEARMASTER", 2}, {"save_CAN_baudrate", 0}, {"save_axis_id", 0},
                    {"BRAKECFG", 0}, {"isMotorBrake", 0}, {"MotorBrake_applytime", 4}, {"POSOKLIM_FC", 0},
                    {"FreezeControl_time", 4}, {"Motor_transmission", -1}, {"Load_transmission", 1},
                    {"PolePitch", 0.032}, {"IQREF_BQ_INI", kUnset}, {"ASPD_BQ_INI", kUnset}});
    for (const std::string n : {"1", "2", "3"}) {
        for (const char* p : {"BQFilter", "BQFilterType", "BQFilterQ", "BQFilterF1", "BQFilterF2",
                              "BQFilterLocation"}) {
            Put(*setup, {p + n, 0});
        }
        for (const char* r : {"B0", "B1", "B2", "A1", "A2", "SF"}) Put(*setup, {"BQ" + n + r, kUnset});
    }
    TakeCollectedErrors();
    UpdateRegistersFromParameters(*setup);
    for (const auto& [name, value] : expected) EXPECT_DOUBLE_EQ(Value(*setup, name), value) << name;
    for (const std::string& error : TakeCollectedErrors()) EXPECT_EQ(error.find("SWLS"), std::string::npos) << error;
}

// The embedded default setup's registers are the encoding of its parameters: the pass reproduces
// them (its i²t warning limits were made from t_I2t before it was snapped to SFI2T, a few parts in
// 10⁵ away), reports nothing and leaves only finite values within range.
TEST(EncodePass, DefaultSetupReproducesItsRegisters) {
    SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_Setup& setup = *loaded.setup;
    AttachCoreScales(setup);
    std::map<std::string, double> stored;
    for (const auto& p : setup.GetParameters()) stored[p->GetName()] = p->GetValueInBaseUnit();
    TakeCollectedErrors();
    UpdateRegistersFromParameters(setup);
    EXPECT_TRUE(TakeCollectedErrors().empty());
    for (const auto& p : setup.GetParameters()) {
        const double value = p->GetValueInBaseUnit(), before = stored[p->GetName()];
        ASSERT_TRUE(std::isfinite(value)) << p->GetName();
        EXPECT_TRUE(value >= p->GetMinInBaseUnit() && value <= p->GetMaxInBaseUnit()) << p->GetName();
        EXPECT_NEAR(value, before, std::max(1.0, 5e-5 * std::abs(before))) << p->GetName();
    }
}
