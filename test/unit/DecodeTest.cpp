#include "Decode.h"

#include "MC_SetupFile.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using namespace testing_support;
using namespace pelmora;

namespace {

using Step = int (*)(CMC_Setup&);

constexpr double kAdcFullScale = 65472.0;  // a 10-bit converter read left-aligned
constexpr double kTs = 5e-4;               // 2 · 10 · 1500 / 60 MHz
constexpr double kTc = 5e-5;
constexpr double kCurrentScale = kAdcFullScale / 16.0;  // ImaxPS 8 A
constexpr double kSpeedScale = 64.0;                    // 4096 counts per 32 mm, one slow sample
constexpr double kVoltageScale = 65534 / (48 * 1.1);    // Vdc 48 V

// A drive with round numbers (K_P = ±128000 /m, K_V = ±64) and whatever a case adds.
std::unique_ptr<CMC_Setup> MakeDrive(const std::vector<ParameterSpec>& extra, double motorTransmission = 1.0) {
    std::vector<ParameterSpec> all = {
        {"ImaxM", 7, UnitType::Current},
        {"InPS", 3, UnitType::Current},
        {"In", 2.5, UnitType::Current},
        {"Ts_S", kTs, UnitType::Time},
    };
    all.insert(all.end(), extra.begin(), extra.end());
    return MakeRoundDrive(motorTransmission, 1.0, all);
}

CMC_Parameter& Param(CMC_Setup& setup, const char* name) {
    CMC_Parameter* p = setup.FindParameter(name);
    EXPECT_NE(p, nullptr) << name;
    return *p;
}
double Value(CMC_Setup& setup, const char* name) { return Param(setup, name).GetValueInBaseUnit(); }

struct Snapshot {
    double value, min, max;
    bool operator==(const Snapshot&) const = default;
};
Snapshot Take(CMC_Setup& setup, const char* name) {
    const CMC_Parameter& p = Param(setup, name);
    return {p.GetValueInBaseUnit(), p.GetMinInBaseUnit(), p.GetMaxInBaseUnit()};
}

// Every flag that is one bit of one register; some are on while their bit is clear.
struct BitCase {
    Step step;
    const char* target;
    const char* source;
    int bit;
    bool onWhenSet;
};
const BitCase kBitCases[] = {
    {Decode_isMotorTemperatureSensor, "isMotorTemperatureSensor", "SCR", 7, true},
    {Decode_isDriveTemperatureSensor, "isDriveTemperatureSensor", "SCR", 8, true},
    {Decode_isOverCurrent, "isOverCurrent", "PCR", 0, true},
    {Decode_isMotori2t, "isMotori2t", "PCR", 1, true},
    {Decode_isMotorOverTemp, "isMotorOverTemp", "PCR", 2, true},
    {Decode_isDriveOverTemp, "isDriveOverTemp", "PCR", 3, true},
    {Decode_isOverVoltage, "isOverVoltage", "PCR", 4, true},
    {Decode_isUnderVoltage, "isUnderVoltage", "PCR", 5, true},
    {Decode_isDriveI2t, "isDriveI2t", "PCR", 7, true},
    {Decode_IsAutoActivatedAfterPowerOn, "isAutoActivatedAfterPowerOn", "ACR", 1, true},
    {Decode_DigitalReferenceType, "DigitalReferenceType", "ACR", 2, false},
    {Decode_SpeedForward, "SpeedForward", "ACR", 14, true},
    {Decode_isBrakeResistor, "isBrakeResistor", "OSR", 9, true},
    {Decode_StartMode, "StartMode", "OSR", 3, true},
    {Decode_EnablePolarity, "EnablePolarity", "DIGIN_ACTIVE_LEVEL", 15, true},
    {Decode_LSPPolarity, "LSPPolarity", "DIGIN_ACTIVE_LEVEL", 13, true},
    {Decode_LSNPolarity, "LSNPolarity", "DIGIN_ACTIVE_LEVEL", 14, true},
    {Decode_isSWLS, "isSWLS", "ASR", 12, true},
    {Decode_InputsPolarityType, "InputsPolarityType", "ASR", 2, false},
    {Decode_isLimitMaximum, "isLimitMaximum", "UPGRADE", 2, true},
    {Decode_save_CAN_baudrate, "save_CAN_baudrate", "LSS_Active", 1, false},
    {Decode_save_axis_id, "save_axis_id", "LSS_Active", 0, false},
    {Decode_isMotorBrake, "isMotorBrake", "BRAKECFG", 0, true},
};

TEST(DecodeFlags, EachFlagReadsOnlyItsBit) {
    for (const BitCase& c : kBitCases) {
        for (const bool alone : {true, false}) {
            const std::uint32_t bit = 1U << c.bit;
            const double registerValue = alone ? bit : (0xFFFFU ^ bit);
            SCOPED_TRACE(std::string(c.target) + (alone ? ": only its bit set" : ": every other bit set"));
            auto setup = MakeSetup({{c.target, 0.5}, {c.source, registerValue}});
            ASSERT_EQ(c.step(*setup), 1);
            EXPECT_EQ(Value(*setup, c.target), alone == c.onWhenSet ? 1.0 : 0.0);
        }
    }
}

struct RuleCase {
    Step step;
    const char* target;
    std::vector<ParameterSpec> registers;
    double expected;
};

TEST(DecodeFlags, SelectorsAndFeatureSwitches) {
    const RuleCase cases[] = {
        {Decode_ControlMode, "ControlMode", {{"ACR", 0x0700}}, 0},
        {Decode_ControlMode, "ControlMode", {{"ACR", 0x0500}}, 0},
        {Decode_ControlMode, "ControlMode", {{"ACR", 0x0300}}, 1},
        {Decode_ControlMode, "ControlMode", {{"ACR", 0x0100}}, 2},
        {Decode_ControlMode, "ControlMode", {{"ACR", 0}}, 2},
        {Decode_ExternalReference, "ExternalReference", {{"ACR", 0x40}}, 1},
        {Decode_ExternalReference, "ExternalReference", {{"ACR", 0x80}}, 1},
        {Decode_ExternalReference, "ExternalReference", {{"ACR", 0xFF3F}}, 0},
        {Decode_isSpeedEstimator, "isSpeedEstimator", {{"SCR", 0x30}}, 1},
        {Decode_isSpeedEstimator, "isSpeedEstimator", {{"SCR", 0xFFF7}}, 1},
        {Decode_isSpeedEstimator, "isSpeedEstimator", {{"SCR", 0x38}}, 0},
        {Decode_isSpeedEstimator, "isSpeedEstimator", {{"SCR", 0x20}}, 0},
        {Decode_isFreezeControl, "isFreezeControl", {{"ControlMode", 0}, {"ACR", 0x10}}, 1},
        {Decode_isFreezeControl, "isFreezeControl", {{"ControlMode", 1}, {"ACR", 0x10}}, 0},
        {Decode_isFreezeControl, "isFreezeControl", {{"ControlMode", 0}, {"ACR", 0xFFEF}}, 0},
        {Decode_Motor_TempSensor_Type, "Motor_TempSensor_Type", {{"MTSTYPE", 1.7}}, 1},
        // A register at its "off" value switches the feature off; anything else means on.
        {Decode_isUseFilterOnCrtCtrlOutput, "isUseFilterOnCrtCtrlOutput", {{"FILTERQ", 32767}}, 0},
        {Decode_isUseFilterOnCrtCtrlOutput, "isUseFilterOnCrtCtrlOutput", {{"FILTERQ", 1000}}, 1},
        {Decode_UseFilter, "UseFilter", {{"FILTER1", 32767}}, 0},
        {Decode_UseFilter, "UseFilter", {{"FILTER1", 0}}, 1},
        {Decode_isCompensateGravitationalLoads, "isCompensateGravitationalLoads", {{"FFL", 0}}, 0},
        {Decode_isCompensateGravitationalLoads, "isCompensateGravitationalLoads", {{"FFL", -3}}, 1},
        {Decode_isPositionControlError, "isPositionControlError", {{"TERRMAX", 65535}}, 0},
        {Decode_isPositionControlError, "isPositionControlError", {{"TERRMAX", 200}}, 1},
        {Decode_isSpeedControlError, "isSpeedControlError", {{"TSERRMAX", 65535}}, 0},
        {Decode_isSpeedControlError, "isSpeedControlError", {{"TSERRMAX", 0}}, 1},
        {Decode_Axis_ID_list, "Axis_ID_list", {{"AAR_table", 0}}, 0},
        {Decode_Axis_ID_list, "Axis_ID_list", {{"AAR_table", 261}}, 5},
        {Decode_Resolution, "Resolution", {{"DBTTH", 6}}, 1024},
        {Decode_Resolution, "Resolution", {{"DBTTH", 0}}, 65536},
    };
    for (const RuleCase& c : cases) {
        std::string inputs;
        for (const ParameterSpec& r : c.registers) inputs += " " + r.name + "=" + std::to_string(r.value);
        SCOPED_TRACE(std::string(c.target) + " from" + inputs);
        auto setup = MakeSetup({{c.target, 0.5}});
        for (const ParameterSpec& r : c.registers) Put(*setup, r);
        ASSERT_EQ(c.step(*setup), 1);
        EXPECT_EQ(Value(*setup, c.target), c.expected);
    }
}

TEST(DecodeFlags, OptionsAndProbesNarrowTheRangeToOff) {
    auto setup = MakeSetup({{"isMotorOverTemp", 1}, {"PCR", 0x04}, {"isAnalogueReference", 1}, {"ACR", 0x40}});
    setup->SetOption("DisableMotorTemperature", "1");
    ASSERT_EQ(Decode_isMotorOverTemp(*setup), 1);
    EXPECT_EQ(Take(*setup, "isMotorOverTemp"), (Snapshot{0, 0, 0}));
    // No analogue input (no CADIN variable and parameter): the analogue reference stays off.
    ASSERT_EQ(Decode_isAnalogueReference(*setup), 1);
    EXPECT_EQ(Take(*setup, "isAnalogueReference"), (Snapshot{0, 0, 0}));
    setup->AddVariable("CADIN", UnitType::None, CMC_Units::Instance().BaseUnit(UnitType::None));
    Put(*setup, {"CADIN", 0});
    ASSERT_EQ(Decode_isAnalogueReference(*setup), 1);
    EXPECT_EQ(Take(*setup, "isAnalogueReference"), (Snapshot{1, 0, 1}));
}

struct ValueCase {
    const char* label;
    Step step;
    const char* target;
    std::vector<ParameterSpec> inputs;
    double expected;
    double motorTransmission = 1.0;
};

TEST(DecodeValues, RecoverWhatTheRegistersHold) {
    const double kFilterQFor2kHz = (1 - std::exp(-2000 * kTc)) * 32767;
    const double kFilter1For100Hz = (1 - std::exp(-100 * kTs)) * 32767;
    const ValueCase cases[] = {
        {"gain above one", Decode_Kp_C_scl, "Kp_C_scl", {{"KPI", 16384}, {"SFTKPI", 2}}, 65536.0 / 32767},
        {"feed-forward over both shifts", Decode_KFFA_scl, "KFFA_scl",
         {{"KFFA", 16384}, {"SFTAFFW", 11}, {"SFTKFF", 3}}, 16384.0 * 16384 / 32767},
        {"current filter off", Decode_FilterOnCurrentControllerOutput, "FilterOnCurrentControllerOutput",
         {{"FILTERQ", 32767}}, 5000},
        {"current filter on", Decode_FilterOnCurrentControllerOutput, "FilterOnCurrentControllerOutput",
         {{"FILTERQ", kFilterQFor2kHz}}, 2000},
        {"reference filter off", Decode_filter, "filter", {{"FILTER1", 32767}, {"UseFilter", 0}}, 50},
        {"reference filter on", Decode_filter, "filter", {{"FILTER1", kFilter1For100Hz}, {"UseFilter", 1}}, 100},
        {"error time", Decode_time_ERR_pos, "time_ERR_pos", {{"TERRMAX", 200}}, 200 * kTs},
        // Check off: 65535 samples lie above the range just set, and the host clamps to it.
        {"error time, check off", Decode_time_ERR_pos, "time_ERR_pos", {{"TERRMAX", 65535}}, 32767 * kTs},
        {"limit from SATS, speed loop closed", Decode_IlimPS, "IlimPS",
         {{"ACR", 0x700}, {"SATS", 32767 - 4092}, {"SATP", 0}}, 1.0},
        {"limit from SATP, speed loop open", Decode_IlimPS, "IlimPS",
         {{"ACR", 0x500}, {"SATS", 0}, {"SATP", 32767 - 2 * 4092}}, 2.0},
        {"test limit from SATP", Decode_TestLimitCurrent, "TestLimitCurrent",
         {{"ACR", 0x100}, {"SATS", 0}, {"SATP", 32767 - 3 * 4092}}, 3.0},
        // No dead time (no DBT): REFTST = K_U · 80 % · In · R_ph; connection type 1 has R_ph = R / 3.
        {"start current, connection 0", Decode_StartCurrent, "StartCurrent",
         {{"REFTST", kVoltageScale * 0.8 * 2.5 * 3}, {"R", 3}, {"MotorPhaseConnectionType", 0}}, 80},
        {"start current, connection 1", Decode_TestStartCurrent, "TestStartCurrent",
         {{"REFTST", kVoltageScale * 0.8 * 2.5 * 1}, {"R", 3}, {"MotorPhaseConnectionType", 1}}, 80},
        {"drive I2t", Decode_I_I2t_D, "I_I2t_D",
         {{"I2TINTLIM_D", (36.0 - 9.0) * kCurrentScale * kCurrentScale / 16}}, 6.0},
        {"dead band, bipolar input", Decode_DeadBand_Point, "DeadBand_Point",
         {{"LEVEL_AD5", kAdcFullScale * 11 / 20}, {"AnalogueInputsRange", 20, UnitType::Voltage}}, 1.0},
        {"dead band, 0 to 5 V", Decode_DeadBand_Point, "DeadBand_Point",
         {{"LEVEL_AD5", kAdcFullScale * 2 / 5}, {"AnalogueInputsRange", 5, UnitType::Voltage}}, 2.0},
        // No DeadBand_Point to bound it: the band still takes the register's value.
        {"dead band range without its point", Decode_DeadBand_Range, "DeadBand_Range",
         {{"E_LEVEL_AD5", 1000}, {"AnalogueInputsRange", 20, UnitType::Voltage}}, 20 * 1000 / kAdcFullScale},
        {"speed limit", Decode_Limit_Speed, "Limit_Speed",
         {{"PositionControlType", 1}, {"ControlMode", 0}, {"SATP", 32767 - 128}}, 128 / kSpeedScale},
        {"limit through a reversing transmission", Decode_Limit_Speed, "Limit_Speed",
         {{"PositionControlType", 1}, {"ControlMode", 0}, {"SATP", 32767 - 128}}, 128 / kSpeedScale, -1.0},
        // The register steps wrote limit · K_P, into the other register when K_P < 0.
        {"negative limit", Decode_Negative_SWLS, "Negative_SWLS", {{"SWNEGLS", -12800}, {"SWPOSLS", 25600}}, -0.1},
        {"positive limit", Decode_Positive_SWLS, "Positive_SWLS", {{"SWNEGLS", -12800}, {"SWPOSLS", 25600}}, 0.2},
        {"negative limit, reversed", Decode_Negative_SWLS, "Negative_SWLS",
         {{"SWNEGLS", -12800}, {"SWPOSLS", 25600}}, -0.2, -1.0},
        {"positive limit, reversed", Decode_Positive_SWLS, "Positive_SWLS",
         {{"SWNEGLS", -12800}, {"SWPOSLS", 25600}}, 0.1, -1.0},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.label);
        auto setup = MakeDrive(c.inputs, c.motorTransmission);
        Put(*setup, {c.target, 0.123});
        ASSERT_EQ(c.step(*setup), 1);
        EXPECT_NEAR(Value(*setup, c.target), c.expected, 1e-9 * std::abs(c.expected));
    }
}

TEST(DecodeValues, RangeIsSetBeforeTheValue) {
    auto setup = MakeDrive({{"KPI", 16384}, {"SFTKPI", 2}, {"Kp_C_scl", 0.5}});
    Param(*setup, "Kp_C_scl").SetMinInBaseUnit(0);
    Param(*setup, "Kp_C_scl").SetMaxInBaseUnit(1);  // would clamp the new gain if set after it
    ASSERT_EQ(Decode_Kp_C_scl(*setup), 1);
    EXPECT_EQ(Take(*setup, "Kp_C_scl"), (Snapshot{65536.0 / 32767, 0, 16384}));
}

TEST(DecodeValues, AnalogueSpanRoundTripsForBothTransmissionSigns) {
    for (const double transmission : {1.0, -1.0}) {
        SCOPED_TRACE(transmission);
        // The register side: AD5OFF the lower end, CADIN half the span in 16-bit counts, signed like K_P.
        const double span = 25600 * 0.5 * 65536 / kAdcFullScale * transmission;
        auto setup = MakeDrive({{"CADIN", span}, {"SFTADIN", 0}, {"AD5OFF", -12800},
                                {"POS_max", 0, UnitType::LinearPosition}, {"POS_min", 0, UnitType::LinearPosition},
                                {"CRT_min", 0, UnitType::Current}},
                               transmission);
        ASSERT_EQ(Decode_POS_min(*setup), 1);
        ASSERT_EQ(Decode_POS_max(*setup), 1);
        ASSERT_EQ(Decode_CRT_min(*setup), 1);
        EXPECT_NEAR(Value(*setup, "POS_min"), -0.1, 1e-12);
        EXPECT_NEAR(Value(*setup, "POS_max"), 0.1, 1e-12);
        EXPECT_NEAR(Value(*setup, "CRT_min"), -12800 / kCurrentScale, 1e-12);
    }
}

TEST(DecodeValues, LimitSpeedUntouchedUnlessPositionOverSpeed) {
    TakeCollectedErrors();
    const std::pair<int, int> kOtherModes[] = {{0, 0}, {1, 1}, {1, 2}, {0, 1}};
    for (const auto& [type, mode] : kOtherModes) {
        SCOPED_TRACE("PositionControlType " + std::to_string(type) + ", ControlMode " + std::to_string(mode));
        // Without SATP too: the step must not look further.
        auto setup = MakeSetup(
            {{"Limit_Speed", 2}, {"PositionControlType", double(type)}, {"ControlMode", double(mode)}});
        const Snapshot before = Take(*setup, "Limit_Speed");
        EXPECT_EQ(Decode_Limit_Speed(*setup), 1);
        EXPECT_EQ(Take(*setup, "Limit_Speed"), before);
        EXPECT_TRUE(TakeCollectedErrors().empty());
    }
}

TEST(DecodeValues, TestSpeedIsKeptWhileItFitsTheElectricalLimit) {
    // Half a pole pitch per PWM period: 32 mm · 20 kHz / 2 = 320 m/s.
    constexpr double kLimit_m_s = 320.0;
    struct Case {
        const char* label;
        double before_m_s;
        double after_m_s;
    };
    const Case cases[] = {
        {"a stroke's worth", 0.375, 0.375},
        {"just below the limit", 319.0, 319.0},
        {"beyond the limit", 400.0, kLimit_m_s / 3},
        {"zero", 0.0, kLimit_m_s / 3},
        {"negative", -1.0, kLimit_m_s / 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto setup = MakeDrive({{"TestMaxSpeed", c.before_m_s, UnitType::LinearSpeed}});
        ASSERT_EQ(Decode_TestMaxSpeed(*setup), 1);
        const Snapshot after = Take(*setup, "TestMaxSpeed");
        EXPECT_NEAR(after.value, c.after_m_s, 1e-9);
        EXPECT_EQ(after.min, 0.0);
        EXPECT_NEAR(after.max, kLimit_m_s, 1e-9);
    }
}

// A step that cannot finish leaves value and range exactly as they were and writes nothing
// that is not a finite number.
struct FailureCase {
    const char* label;
    Step step;
    const char* watched;  // the target, or what stays put when the target itself is missing
    std::vector<ParameterSpec> inputs;
    const char* reported;  // the one missing name the host reports, or null
};

TEST(DecodeFailures, TargetKeepsValueAndRange) {
    const FailureCase cases[] = {
        {"target missing", Decode_PWM_freq, "PWMPER", {}, "PWM_freq"},
        {"register missing", Decode_UMAX_PROT, "UMAX_PROT", {{"UMAX_PROT", 50}}, "UMAXPROT"},
        {"saturation register missing", Decode_IlimPS, "IlimPS", {{"IlimPS", 1}, {"ACR", 0x300}}, "SATS"},
        {"speed limit register missing", Decode_Limit_Speed, "Limit_Speed",
         {{"Limit_Speed", 1}, {"PositionControlType", 1}, {"ControlMode", 0}}, "SATP"},
        {"drive I2t range refused", Decode_I_I2t_D, "I_I2t_D",
         {{"I_I2t_D", 2}, {"I2TINTLIM_D", 1000}, {"ImaxPS", 2, UnitType::Current}}, nullptr},
        {"motor I2t range refused", Decode_I_I2t_M, "I_I2t_M",
         {{"I_I2t_M", 2}, {"I2TINTLIM_M", 1000}, {"ImaxM", 2, UnitType::Current}}, nullptr},
        {"PWMPER 0", Decode_PWM_freq, "PWM_freq", {{"PWM_freq", 1}, {"PWMPER", 0}}, nullptr},
        {"DSP_freq 0", Decode_Ts_C, "Ts_C", {{"Ts_C", 1}, {"DSP_freq", 0}}, nullptr},
        {"SFI2T_D 0", Decode_t_I2t_D, "t_I2t_D", {{"t_I2t_D", 1}, {"SFI2T_D", 0}}, nullptr},
        {"SFI2T_M 0", Decode_t_I2t_M, "t_I2t_M", {{"t_I2t_M", 1}, {"SFI2T_M", 0}}, nullptr},
        {"32767 - SATS = 0", Decode_IPSatS, "IPSatS", {{"IPSatS", 1}, {"IMAXS", 0}, {"SATS", 32767}}, nullptr},
        {"M 0", Decode_Mload_over_M, "Mload_over_M", {{"Mload_over_M", 1}, {"Mt", 1}, {"M", 0}}, nullptr},
        {"sensor gain 0", Decode_Temp_2, "Temp_2",
         {{"Temp_2", 1}, {"T2MAXPROT", 1}, {"DriveTempOutputAt0oC", 0}, {"DriveTempSensorGain", 0}, {"ADCrange", 3}},
         nullptr},
        {"filter coefficient beyond one", Decode_FilterOnCurrentControllerOutput, "FilterOnCurrentControllerOutput",
         {{"FilterOnCurrentControllerOutput", 1}, {"FILTERQ", 40000}}, nullptr},
        {"no position scale", Decode_POS_max, "POS_max",
         {{"POS_max", 0.01, UnitType::LinearPosition}, {"POS_min", 0}, {"CADIN", 1000}, {"SFTADIN", 0},
          {"AD5OFF", 0}, {"PolePitch", 0}},
         nullptr},
        {"brake pin not wired", Decode_MotorBrake_output, "MotorBrake_output",
         {{"MotorBrake_output", 25}, {"BRAKECFG", 0x0901}}, nullptr},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.label);
        auto setup = MakeDrive(c.inputs);
        const Snapshot before = Take(*setup, c.watched);
        TakeCollectedErrors();
        EXPECT_EQ(c.step(*setup), 0);
        EXPECT_EQ(Take(*setup, c.watched), before);
        const std::vector<std::string> errors = TakeCollectedErrors();
        if (c.reported) {
            ASSERT_EQ(errors.size(), 1U);
            EXPECT_NE(errors[0].find(c.reported), std::string::npos) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty()) << errors.front();
        }
    }
}

// --- the pass ---

void ExpectEveryParameterFiniteAndInRange(const CMC_Setup& setup) {
    for (const auto& p : setup.GetParameters()) {
        SCOPED_TRACE(p->GetName());
        EXPECT_TRUE(std::isfinite(p->GetValueInBaseUnit()));
        EXPECT_GE(p->GetValueInBaseUnit(), p->GetMinInBaseUnit());
        EXPECT_LE(p->GetValueInBaseUnit(), p->GetMaxInBaseUnit());
    }
}

TEST(DecodePass, DefaultSetupRecoversItsOwnParameters) {
    SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_Setup& setup = *loaded.setup;
    AttachCoreScales(setup);
    std::vector<double> before;
    for (const auto& p : setup.GetParameters()) before.push_back(p->GetValueInBaseUnit());
    TakeCollectedErrors();
    UpdateParametersFromRegisters(setup);
    EXPECT_TRUE(TakeCollectedErrors().empty()) << "the default setup has every name the pass reads";
    ExpectEveryParameterFiniteAndInRange(setup);
    // Its registers are the encoding of its parameters, so decoding them changes nothing.
    std::size_t i = 0;
    for (const auto& p : setup.GetParameters()) {
        const double was = before[i++];
        EXPECT_NEAR(p->GetValueInBaseUnit(), was, 1e-9 * std::abs(was)) << p->GetName();
    }
}

TEST(DecodePass, MissingOptionalGroupIsSkippedSilently) {
    std::string json(DefaultSetupJson());
    // The file holds one parameter per line: drop the line that defines isSWLS.
    const std::size_t name = json.find("\"isSWLS\"");
    ASSERT_NE(name, std::string::npos);
    const std::size_t at = json.rfind('\n', name) + 1;
    json.erase(at, json.find('\n', at) - at + 1);
    SetupLoadResult loaded = ParseSetup(json, "the default setup without isSWLS");
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_Setup& setup = *loaded.setup;
    AttachCoreScales(setup);
    Param(setup, "SWNEGLS").SetValueInBaseUnit(-1000);
    const Snapshot before = Take(setup, "Negative_SWLS");
    TakeCollectedErrors();
    UpdateParametersFromRegisters(setup);
    EXPECT_TRUE(TakeCollectedErrors().empty());
    EXPECT_EQ(Take(setup, "Negative_SWLS"), before);
}

TEST(DecodePass, SparseSetupsRunEveryGroup) {
    auto empty = MakeSetup({});
    UpdateParametersFromRegisters(*empty);
    // Speed mode with the freeze bit set: the freeze flag must read the ControlMode just decoded.
    auto sparse = MakeSetup({{"ACR", 0x0310}, {"ControlMode", 0}, {"isFreezeControl", 1}, {"POSOKLIM_FC", 64},
                             {"TONPOSOK_FC", 100}});
    AttachCoreScales(*sparse);
    UpdateParametersFromRegisters(*sparse);
    EXPECT_EQ(Value(*sparse, "ControlMode"), 1);
    EXPECT_EQ(Value(*sparse, "isFreezeControl"), 0);
    ExpectEveryParameterFiniteAndInRange(*sparse);
    TakeCollectedErrors();
}

}  // namespace
