#include "Encode.h"

#include "GainEncoding.h"
#include "MC_SetupFile.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using namespace testing_support;
using namespace pelmora;

namespace {

using Step = int (*)(CMC_Setup&);
constexpr double kUnset = -12345.0;    // a register value no step produces
constexpr double kAdcFullScale = 65472.0;  // 10-bit converter read left-aligned
constexpr double kCurrentScale = kAdcFullScale / 16.0;  // K_I with ImaxPS = 8 A

double Value(const CMC_Setup& setup, const std::string& name) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* p = setup.FindParameter(name);
    return p ? p->GetValueInBaseUnit() : NAN;
}

// T_C = 50 µs, T_S = 500 µs, 4096 counts per 32 mm pole pitch: K_P = 128000·G, K_V = 64·G,
// K_A = 0.032·G, K_I = 4092, K_Vdc = 654.72.
std::unique_ptr<CMC_Setup> MakeDrive(double ratio = 1.0) {
    auto setup = MakeSetup({{"DSP_freq", 60e6, UnitType::Frequency}, {"PWMPER", 1500}, {"CLPER", 1}, {"SLPER", 10},
                            {"Ts_S", 5e-4, UnitType::Time}, {"Vdc", 48, UnitType::BusVoltage},
                            {"VdcMaxMeasurable", 100, UnitType::BusVoltage}, {"ImaxPS", 8, UnitType::Current},
                            {"DBTTH", 4}, {"PolePitch", 0.032, UnitType::LinearPosition},
                            {"Motor_transmission", ratio, UnitType::LinearPosition},
                            {"Load_transmission", 1, UnitType::LinearPosition}});
    AttachCoreScales(*setup);
    return setup;
}

void PutAll(CMC_Setup& setup, const std::vector<ParameterSpec>& parameters) {
    for (const ParameterSpec& p : parameters) Put(setup, p);
}

struct GainRow {
    Q15Gain gain;
    Step shift;
    Step mantissa;
};
const GainRow kGainRows[] = {
    {kGainKpC, Encode_SFTKPI, Encode_KPI}, {kGainKiC, Encode_SFTKII, Encode_KII},
    {kGainKpS, Encode_SFTKPS, Encode_KPS}, {kGainKiS, Encode_SFTKIS, Encode_KIS},
    {kGainKpP, Encode_SFTKPP, Encode_KPP}, {kGainKiP, Encode_SFTKIP, Encode_KIP},
    {kGainKdP, Encode_SFTKDP, Encode_KDP}, {kGainKffS, Encode_SFTSFFW, Encode_KFFS},
};

}  // namespace

// Each gain's steps write its own two registers, normalised (no shift larger than needed), and
// what the drive holds (the mantissa rounded to a count) decodes to within one mantissa step.
TEST(EncodeGains, RoundTripWithinOneMantissaStepOverTheWholeRange) {
    std::vector<double> gains = {0.0, 16384.0};
    for (int k = 0; k <= 240; ++k) gains.push_back(1e-4 * std::pow(16384.0 / 1e-4, k / 240.0));
    for (int e = -3; e <= 14; ++e) gains.push_back(std::exp2(e));
    for (const GainRow& row : kGainRows) {
        auto setup = MakeSetup({});
        for (const Q15Gain& g : kQ15Gains) PutAll(*setup, {{std::string(g.gain), 0.3}, {std::string(g.mantissa), kUnset}, {std::string(g.shift), kUnset}});
        for (double gain : gains) {
            SCOPED_TRACE(std::string(row.gain.gain) + " = " + std::to_string(gain));
            Put(*setup, {std::string(row.gain.gain), gain});
            ASSERT_EQ(row.shift(*setup), 1);
            ASSERT_EQ(row.mantissa(*setup), 1);
            const double shift = Value(*setup, std::string(row.gain.shift));
            const double mantissa = Value(*setup, std::string(row.gain.mantissa));
            EXPECT_EQ(shift, std::trunc(shift));
            EXPECT_GE(shift, 0.0);
            EXPECT_LE(shift, 14.0);
            EXPECT_LE(mantissa, 32767.0);
            if (shift > 0) {
                EXPECT_GT(mantissa, 32767.0 / 2);
            }
            EXPECT_NEAR(DecodeQ15(std::round(mantissa), shift), gain, std::exp2(shift) / 32767.0);
        }
        for (const Q15Gain& other : kQ15Gains) {
            if (other.gain == row.gain.gain) continue;
            EXPECT_EQ(Value(*setup, std::string(other.mantissa)), kUnset) << other.mantissa;
            EXPECT_EQ(Value(*setup, std::string(other.shift)), kUnset) << other.shift;
        }
    }
}

TEST(EncodeGains, ExactCases) {
    struct Case { double gain, shift, mantissa; };
    for (const Case& c : {Case{0.5, 0, 16383.5}, Case{3, 2, 32767.0 * 3 / 4}, Case{1, 0, 32767}, Case{2, 1, 32767},
                          Case{16384, 14, 32767}, Case{0, 0, 0}}) {
        SCOPED_TRACE(c.gain);
        auto setup = MakeSetup({{"Kp_C_scl", c.gain}, {"KPI", kUnset}, {"SFTKPI", kUnset}});
        EXPECT_EQ(Encode_SFTKPI(*setup) + Encode_KPI(*setup), 2);
        EXPECT_EQ(Value(*setup, "SFTKPI"), c.shift);
        EXPECT_EQ(Value(*setup, "KPI"), c.mantissa);
    }
}

TEST(EncodeGains, AccelerationFeedForwardSplitsItsShift) {
    struct Case { double gain, sftaffw, sftkff; };
    for (const Case& c : {Case{16384, 11, 3}, Case{10000, 11, 3}, Case{20, 5, 0}, Case{2048, 11, 0},
                          Case{4194304, 11, 11}, Case{0.5, 0, 0}}) {
        SCOPED_TRACE(c.gain);
        auto setup = MakeSetup({{"KFFA_scl", c.gain}, {"KFFA", kUnset}, {"SFTAFFW", kUnset}, {"SFTKFF", kUnset}});
        EXPECT_EQ(Encode_SFTAFFW(*setup) + Encode_SFTKFF(*setup) + Encode_KFFA(*setup), 3);
        EXPECT_EQ(Value(*setup, "SFTAFFW"), c.sftaffw);
        EXPECT_EQ(Value(*setup, "SFTKFF"), c.sftkff);
        EXPECT_LE(Value(*setup, "KFFA"), 32767.0);
        EXPECT_DOUBLE_EQ(Value(*setup, "KFFA") * std::exp2(c.sftaffw + c.sftkff) / 32767.0, c.gain);
    }
}

TEST(EncodeResolution, PowersOfTwoGiveExactRegisters) {
    for (int bits = 0; bits <= 16; ++bits) {
        SCOPED_TRACE(bits);
        auto setup = MakeSetup({{"Resolution", std::exp2(bits)}, {"MECRESL", 0}, {"ENC2THL", 0}, {"DBTTH", 0}});
        EXPECT_EQ(Encode_MECRESL(*setup) + Encode_ENC2THL(*setup) + Encode_DBTTH(*setup), 3);
        EXPECT_EQ(Value(*setup, "MECRESL"), std::exp2(bits));
        EXPECT_EQ(Value(*setup, "ENC2THL"), std::exp2(32 - bits));
        EXPECT_EQ(Value(*setup, "DBTTH"), 16 - bits);
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

// Masks as the drive defines them, written out independently of the implementation's tables.
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
                SCOPED_TRACE(std::string(c.label) + " base " + std::to_string(base) + " flag #" + std::to_string(chosen));
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

struct AcrCase {
    const char* label;
    double base, autoOn, external, analogue, digitalType, mode, positionType;
    std::vector<ParameterSpec> extra;
    double expected;  // kUnset: refused
};

const AcrCase kAcrCases[] = {
    {"position over speed", 0, 0, 0, 0, 0, 0, 1, {}, 0x700},
    {"position over current", 0, 0, 0, 0, 0, 0, 0, {}, 0x500},
    {"speed", 0, 0, 0, 0, 0, 1, 1, {}, 0x300},
    {"torque", 0, 0, 0, 0, 0, 2, 1, {}, 0x100},
    {"mode outside 0..2", 0x1234, 1, 1, 1, 0, 3, 1, {}, kUnset},
    {"auto-activated", 0, 1, 0, 0, 0, 2, 0, {}, 0x102},
    {"analogue reference", 0x80, 0, 1, 1, 0, 2, 0, {}, 0x140},
    {"digital reference type 0", 0x40, 0, 1, 0, 0, 2, 0, {}, 0x184},
    {"digital reference type 1", 0x44, 0, 1, 0, 1, 2, 0, {}, 0x180},
    {"no external reference keeps bit 2", 0xC4, 0, 0, 1, 0, 2, 0, {}, 0x104},
    // Without the speed-forward parameter bit 14 is cleared; without freeze control bit 4 stays.
    {"foreign bits survive", 0xFFFF, 0, 0, 0, 0, 1, 0, {}, 0xBB3D},
    {"speed forward", 0, 0, 0, 0, 0, 1, 0, {{"SpeedForward", 1}}, 0x4300},
    {"freeze control on", 0, 0, 0, 0, 0, 0, 1, {{"POSOKLIM_FC", 1}, {"TONPOSOK_FC", 1}, {"isFreezeControl", 1}}, 0x710},
    {"freeze control off", 0x10, 0, 0, 0, 0, 0, 1, {{"POSOKLIM_FC", 1}, {"TONPOSOK_FC", 1}, {"isFreezeControl", 0}}, 0x700},
};

}  // namespace

TEST(EncodeAcr, BitsFollowModeReferenceAndOptions) {
    for (const AcrCase& c : kAcrCases) {
        SCOPED_TRACE(c.label);
        auto setup = MakeSetup({{"ACR", c.base}, {"isAutoActivatedAfterPowerOn", c.autoOn},
                                {"isAnalogueReference", c.analogue}, {"DigitalReferenceType", c.digitalType},
                                {"PositionControlType", c.positionType}, {"ControlMode", c.mode},
                                {"ExternalReference", c.external}});
        PutAll(*setup, c.extra);
        EXPECT_EQ(Encode_ACR(*setup), c.expected == kUnset ? 0 : 1);
        EXPECT_EQ(Value(*setup, "ACR"), c.expected == kUnset ? c.base : c.expected);
    }
}

// The position loop over a speed loop saturates on the speed limit, every other structure on the
// current limit; SATP takes Limit_Speed's internal value, which stays positive when the
// transmission reverses.
TEST(EncodeSaturations, PositionSaturationsFollowTheControlStructure) {
    struct Case { double mode, positionType, ratio, imaxp, satp; };
    const double fromCurrent[] = {32767 - 6 * 0.5 * kCurrentScale, 32767 - 6 * kCurrentScale};
    for (const Case& c : {Case{0, 1, 1, 32767 - 2 * 0.5 * 64, 32767 - 2 * 64.0}, Case{0, 1, -1, 32703, 32639},
                          Case{0, 0, 1, fromCurrent[0], fromCurrent[1]}, Case{1, 1, 1, fromCurrent[0], fromCurrent[1]}}) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " type " << c.positionType << " G " << c.ratio);
        auto setup = MakeDrive(c.ratio);
        PutAll(*setup, {{"ControlMode", c.mode}, {"PositionControlType", c.positionType}, {"IPSatP", 50},
                        {"Limit_Speed", 2, UnitType::LinearSpeed}, {"IlimPS", 6, UnitType::Current},
                        {"IMAXP", kUnset}, {"SATP", kUnset}});
        EXPECT_EQ(Encode_IMAXP(*setup) + Encode_SATP(*setup), 2);
        EXPECT_DOUBLE_EQ(Value(*setup, "IMAXP"), c.imaxp);
        EXPECT_DOUBLE_EQ(Value(*setup, "SATP"), c.satp);
        EXPECT_EQ(setup->FindParameter("SATP")->GetMaxInBaseUnit(), 32767.0);
        EXPECT_EQ(setup->FindParameter("IMAXP")->GetMinInBaseUnit(), 0.0);
    }
}

TEST(EncodeSwitches, OffStatesGiveTheirFixedRegisterValues) {
    auto setup = MakeDrive();
    PutAll(*setup, {{"isPositionControlError", 0}, {"time_ERR_pos", 0.1}, {"isSpeedControlError", 1}, {"time_ERR_spd", 0.1},
                    {"isUseFilterOnCrtCtrlOutput", 0}, {"FilterOnCurrentControllerOutput", 5000},
                    {"CurrentMeasurementType", 0}, {"PWM_freq", 20000}, {"SATPWM", kUnset}, {"SATID", kUnset},
                    {"SATIQ", kUnset}, {"TERRMAX", 0}, {"TSERRMAX", 0}, {"FILTERQ", 0}});
    for (Step step : {Encode_TERRMAX, Encode_TSERRMAX, Encode_FILTERQ, Encode_SATPWM, Encode_SATID, Encode_SATIQ}) {
        EXPECT_EQ(step(*setup), 1);
    }
    EXPECT_EQ(Value(*setup, "TERRMAX"), 65535);
    EXPECT_DOUBLE_EQ(Value(*setup, "TSERRMAX"), 200);
    EXPECT_EQ(Value(*setup, "FILTERQ"), 32767);
    for (const char* reg : {"SATPWM", "SATID", "SATIQ"}) EXPECT_EQ(Value(*setup, reg), 0) << reg;

    // Switched on, the current filter is the pole 1 − exp(−ω·T_C) in Q15, truncated.
    Put(*setup, {"isUseFilterOnCrtCtrlOutput", 1});
    Put(*setup, {"CurrentMeasurementType", 1});
    EXPECT_EQ(Encode_FILTERQ(*setup), 1);
    EXPECT_EQ(Encode_SATPWM(*setup), 1);
    EXPECT_EQ(Encode_SATIQ(*setup), 1);
    EXPECT_EQ(Value(*setup, "FILTERQ"), 7248);
    EXPECT_DOUBLE_EQ(Value(*setup, "SATIQ"), 20000 * 0.13107);
}

// The span is split into mantissa and shift only when it exceeds 32767; a negative span
// (reversing transmission) is stored as it is.
TEST(EncodeAnalogueReference, SpanIsShiftedOnlyAbove32767) {
    struct Case { double spanCounts, ratio, cadin, sftadin; };
    for (const Case& c : {Case{20000, 1, 20000, 0}, Case{32766.5, 1, 32766.5, 0}, Case{32768, 1, 16384, 1},
                          Case{65000, 1, 32500, 1}, Case{65600, 1, 16400, 2}, Case{80000, -1, -80000, 0},
                          Case{20000, -1, -20000, 0}}) {
        SCOPED_TRACE(testing::Message() << "span " << c.spanCounts << " G " << c.ratio);
        auto setup = MakeDrive(c.ratio);
        // span = (max − min) · 0.5 · 65536 / N_ADC in internal counts; POS_* scale by 1/|K_P|.
        const double halfWidth_m = c.spanCounts * kAdcFullScale / 65536.0 / 128000.0;
        PutAll(*setup, {{"ControlMode", 0}, {"POS_max", halfWidth_m, UnitType::LinearPosition},
                        {"POS_min", -halfWidth_m, UnitType::LinearPosition}, {"CADIN", kUnset}, {"SFTADIN", kUnset}});
        EXPECT_EQ(Encode_CADIN(*setup) + Encode_SFTADIN(*setup), 2);
        EXPECT_NEAR(Value(*setup, "CADIN"), c.cadin, 1e-6);
        EXPECT_EQ(Value(*setup, "SFTADIN"), c.sftadin);
    }
}

// With a reversing transmission the load's lower limit is the drive's upper one.
TEST(EncodeTransmission, NegativeRatioSwapsLimitsAndSetsItsFlags) {
    struct Case { double ratio; const char* option; double swneg, swpos, asr, transmission; };
    for (const Case& c : {Case{1, "1", -0.1 * 128000, 0.2 * 128000, 0x1000, 1},
                          Case{-1, "1", -0.2 * 128000, 0.1 * 128000, 0x1080, -1},
                          Case{-1, "0", -0.2 * 128000, 0.1 * 128000, 0x1000, -1}}) {
        SCOPED_TRACE(testing::Message() << "G " << c.ratio << " option " << c.option);
        auto setup = MakeDrive(c.ratio);
        setup->SetOption("hasNegTransmission", c.option);
        PutAll(*setup, {{"Negative_SWLS", -0.1, UnitType::LinearPosition}, {"Positive_SWLS", 0.2, UnitType::LinearPosition},
                        {"SWNEGLS", kUnset}, {"SWPOSLS", kUnset}, {"ASR", 0x0080}, {"isSWLS", 1}, {"TRANSMISSION", 0}});
        EXPECT_EQ(Encode_NegativeSWLS(*setup) + Encode_PositiveSWLS(*setup) + Encode_ASR(*setup) +
                      Encode_TRANSMISSION(*setup), 4);
        EXPECT_DOUBLE_EQ(Value(*setup, "SWNEGLS"), c.swneg);
        EXPECT_DOUBLE_EQ(Value(*setup, "SWPOSLS"), c.swpos);
        EXPECT_EQ(Value(*setup, "ASR"), c.asr);
        EXPECT_EQ(Value(*setup, "TRANSMISSION"), c.transmission);
    }
}

// The drive's recovery reads I = sqrt(16 · I2TINTLIM + (In · K_I)²) / K_I: the limit must invert
// it exactly, or I_I2t creeps on every encode and recovery. The warning limit never goes negative.
TEST(EncodeI2t, IntegralLimitInvertsTheRecoveryAndWarningStaysNonNegative) {
    for (double t_s : {10.0, 1.0}) {
        SCOPED_TRACE(t_s);
        auto setup = MakeDrive();
        PutAll(*setup, {{"I_I2t_D", 6.0}, {"InPS", 3}, {"t_I2t_D", t_s}, {"I2TINTLIM_D", kUnset}, {"II2TWARLIM_D", kUnset},
                        {"I_I2t_M", 5.5}, {"In", 2.5}, {"t_I2t_M", t_s}, {"I2TINTLIM_M", kUnset}, {"I2TWARLIM_M", kUnset}});
        for (Step step : {Encode_I2TINTLIM_D, Encode_II2TWARLIM_D, Encode_I2TINTLIM_M, Encode_I2TWARLIM_M}) {
            EXPECT_EQ(step(*setup), 1);
        }
        const double k = kCurrentScale;
        EXPECT_DOUBLE_EQ(std::sqrt(Value(*setup, "I2TINTLIM_D") * 16 + 3 * k * 3 * k) / k, 6.0);
        EXPECT_DOUBLE_EQ(std::sqrt(Value(*setup, "I2TINTLIM_M") * 16 + 2.5 * k * 2.5 * k) / k, 5.5);
        const double warningShare = t_s > 2 ? 1 - 2 / t_s : 0.0;
        EXPECT_DOUBLE_EQ(Value(*setup, "II2TWARLIM_D"), warningShare * Value(*setup, "I2TINTLIM_D"));
        EXPECT_DOUBLE_EQ(Value(*setup, "I2TWARLIM_M"), warningShare * Value(*setup, "I2TINTLIM_M"));
    }
}

namespace {

struct RefusedCase {
    const char* label;
    Step step;
    const char* reg;
    std::vector<ParameterSpec> inputs;
};

// Each row's inputs are complete; the test removes them one at a time.
const RefusedCase kMissingCases[] = {
    {"PWMPER", Encode_PWMPER, "PWMPER", {{"DSP_freq", 6e7}, {"PWM_freq", 2e4}}},
    {"KPI", Encode_KPI, "KPI", {{"Kp_C_scl", 3}}},
    {"PCR", Encode_PCR, "PCR", {{"isDriveI2t", 1}, {"isUnderVoltage", 1}, {"isOverVoltage", 1}, {"isDriveOverTemp", 1},
                                {"isMotorOverTemp", 1}, {"isMotorI2t", 1}, {"isOverCurrent", 1}}},
    {"LSS_Active", Encode_LSS_Active, "LSS_Active", {{"save_CAN_baudrate", 0}, {"save_axis_id", 0}}},
    {"ACR", Encode_ACR, "ACR", {{"isAutoActivatedAfterPowerOn", 1}, {"isAnalogueReference", 0}, {"DigitalReferenceType", 0},
                                {"PositionControlType", 1}, {"ControlMode", 0}, {"ExternalReference", 0}}},
    {"SATP", Encode_SATP, "SATP", {{"PositionControlType", 0}, {"Limit_Speed", 1}, {"IlimPS", 1}, {"ControlMode", 0}}},
    {"AD5OFF", Encode_AD5OFF, "AD5OFF", {{"ControlMode", 2}, {"POS_min", 1}, {"SPD_min", 1}, {"CRT_min", 1}}},
    {"BRAKECFG", Encode_BRAKECFG, "BRAKECFG", {{"isMotorBrake", 1}, {"MotorBrake_output", 25}}},
};

// Inputs that leave a division by zero or no logarithm: nothing may be written.
const RefusedCase kNonFiniteCases[] = {
    {"PWM_freq 0", Encode_PWMPER, "PWMPER", {{"DSP_freq", 6e7}, {"PWM_freq", 0}}},
    {"PWM_freq 0", Encode_AD4OFF, "AD4OFF", {{"DSP_freq", 6e7}, {"PWM_freq", 0}}},
    {"Resolution 0", Encode_ENC2THL, "ENC2THL", {{"Resolution", 0}}},
    {"Resolution 0", Encode_DBTTH, "DBTTH", {{"Resolution", 0}}},
    {"Ts_S 0", Encode_TIMAXPROT, "TIMAXPROT", {{"time_Imax_Prot", 0.1}, {"Ts_S", 0}}},
    {"Ts_S 0", Encode_TERRMAX, "TERRMAX", {{"time_ERR_pos", 0.1}, {"Ts_S", 0}, {"isPositionControlError", 1}}},
    {"Ts_S 0", Encode_TONPOSOK_FC, "TONPOSOK_FC", {{"FreezeControl_time", 0.1}, {"Ts_S", 0}}},
    {"t_I2t 0", Encode_SFI2T_D, "SFI2T_D", {{"Ts_S", 5e-4}, {"t_I2t_D", 0}}},
    {"t_I2t 0", Encode_II2TWARLIM_D, "II2TWARLIM_D", {{"I_I2t_D", 6}, {"t_I2t_D", 0}, {"InPS", 3}, {"ImaxPS", 8}}},
    {"t_I2t 0", Encode_I2TWARLIM_M, "I2TWARLIM_M", {{"t_I2t_M", 0}, {"I_I2t_M", 6}, {"In", 3}, {"ImaxPS", 8}}},
    {"Load_transmission 0", Encode_TRANSMISSION, "TRANSMISSION", {{"Motor_transmission", 0}, {"Load_transmission", 0}}},
    {"mode outside 0..2", Encode_AD5OFF, "AD5OFF", {{"ControlMode", 3}, {"POS_min", 1}, {"SPD_min", 1}, {"CRT_min", 1}}},
    {"port without pin", Encode_BRAKECFG, "BRAKECFG", {{"isMotorBrake", 1}, {"MotorBrake_output", 7}}},
};

std::unique_ptr<CMC_Setup> SetupFor(const RefusedCase& c, std::size_t skipped) {
    auto setup = MakeSetup({{c.reg, kUnset}});
    for (std::size_t i = 0; i < c.inputs.size(); ++i) {
        if (i != skipped) Put(*setup, c.inputs[i]);
    }
    SetupIdentity identity;
    identity.ioPins = {{.port = 25, .pin = 3, .inverted = false, .brake = true}};
    setup->SetIdentity(identity);
    return setup;
}

}  // namespace

TEST(EncodeRefusals, MissingInputReturnsZeroReportsItAndLeavesTheRegister) {
    for (const RefusedCase& c : kMissingCases) {
        ASSERT_EQ(c.step(*SetupFor(c, c.inputs.size())), 1) << c.label << " with every input";
        for (std::size_t missing = 0; missing < c.inputs.size(); ++missing) {
            SCOPED_TRACE(std::string(c.label) + " without " + c.inputs[missing].name);
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

TEST(EncodeRefusals, NonFiniteResultWritesNothing) {
    for (const RefusedCase& c : kNonFiniteCases) {
        SCOPED_TRACE(std::string(c.label) + ": " + c.reg);
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

// A setup holding one register of each group (and what the probes look for) gets every one of
// them written, whatever failed before; a group whose probe fails is skipped without a report.
TEST(EncodePass, RunsEveryGroupOnASparseSetup) {
    auto setup = MakeSetup({{"CADIN", 0}});
    setup->AddVariable("CADIN", UnitType::None, CMC_Units::Instance().BaseUnit(UnitType::None));
    const std::map<std::string, double> expected = {
        {"MECRESL", 64},     {"PWMPER", 1500},      {"SFI2T_D", 2048},     {"II2TWARLIM_D", 0},
        {"MTSTYPE", 1},      {"KDFP", 32767},       {"FFL", 0},            {"KPS", 32767},
        {"KFFS", 32767},     {"T1MAXPROT", 32767},  {"SFI2T_M", 2048},     {"I2TWARLIM_M", 0},
        {"FILTER1", 32767},  {"GEAR", 2},           {"LSS_Active", 3},     {"BRAKEAPPLYDELAY", 4},
        {"TONPOSOK_FC", 4},  {"TRANSMISSION", -1},  {"SPDREF_BQ_INI", 0},  {"ABSTART_MINMOVE", 1200}};
    for (const auto& [name, value] : expected) Put(*setup, {name, kUnset});
    PutAll(*setup, {{"Resolution", 64}, {"DSP_freq", 6e7}, {"PWM_freq", 2e4}, {"Ts_S", 1}, {"t_I2t_D", 32768},
                    {"t_I2t_M", 32768}, {"ImaxPS", 8}, {"I_I2t_D", 1}, {"InPS", 1}, {"I_I2t_M", 1}, {"In", 1}, {"Motor_TempSensor_Type", 1}, {"filter_D", 1}, {"OffsetCurrent", 1},
                    {"isCompensateGravitationalLoads", 0}, {"Kp_S_scl", 1}, {"KFFS_scl", 1}, {"UseFilter", 0},
                    {"filter", 1}, {"GEARSLAVE", 4}, {"GEARMASTER", 2}, {"save_CAN_baudrate", 0}, {"save_axis_id", 0},
                    {"BRAKECFG", 0}, {"isMotorBrake", 0}, {"MotorBrake_applytime", 4}, {"POSOKLIM_FC", 0},
                    {"FreezeControl_time", 4}, {"Motor_transmission", -1}, {"Load_transmission", 1}, {"PolePitch", 0.032},
                    {"IQREF_BQ_INI", kUnset}, {"ASPD_BQ_INI", kUnset}});
    for (int n = 1; n <= 3; ++n) {
        const std::string i = std::to_string(n);
        for (const char* name : {"BQFilter", "BQFilterType", "BQFilterQ", "BQFilterF1", "BQFilterF2", "BQFilterLocation"}) {
            Put(*setup, {name + i, 0});
        }
        for (const char* name : {"B0", "B1", "B2", "A1", "A2", "SF"}) Put(*setup, {"BQ" + i + name, kUnset});
    }
    TakeCollectedErrors();
    UpdateRegistersFromParameters(*setup);
    for (const auto& [name, value] : expected) EXPECT_DOUBLE_EQ(Value(*setup, name), value) << name;
    for (const std::string& error : TakeCollectedErrors()) EXPECT_EQ(error.find("SWLS"), std::string::npos) << error;
}

// The embedded default setup holds registers that are the encoding of its parameters: the pass
// reproduces them (the stored i²t warning limits were made from t_I2t before it was snapped to
// SFI2T, a few parts in 10⁵), reports nothing and writes only finite values within range.
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
        const double value = p->GetValueInBaseUnit();
        ASSERT_TRUE(std::isfinite(value)) << p->GetName();
        EXPECT_GE(value, p->GetMinInBaseUnit()) << p->GetName();
        EXPECT_LE(value, p->GetMaxInBaseUnit()) << p->GetName();
        const double before = stored[p->GetName()];
        EXPECT_NEAR(value, before, std::max(1.0, 5e-5 * std::abs(before))) << p->GetName();
    }
}
