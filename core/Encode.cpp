#include "Encode.h"

#include "BaseQuantities.h"
#include "BiquadFilterChain.h"
#include "FeatureProbes.h"
#include "GainEncoding.h"
#include "Limits.h"
#include "Steps.h"

#include <regmap/DriveRegisters.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>

namespace pelmora {

namespace {

// --- Register formats and constants ---

constexpr double kTwoPow32 = 4294967296.0;
// One PWM period is 2 · PWMPER clock ticks; AD4OFF and CVDC are half of PWMPER.
constexpr double kPwmCountsPerTick = 0.5;
constexpr double kHalfPwmCountsPerTick = 0.25;
// SATPWM counts per hertz of PWM frequency, when the current measurement needs it.
constexpr double kSatPwmPerHz = 0.13107;
constexpr double kPercent = 100.0;
using regmap::BitMask;
// The warning limit is (1 − 2 s / t_I2t) of the trip limit.
constexpr double kI2tWarningLead_s = 2.0;

constexpr std::uint32_t kMask16 = 0xFFFF;
constexpr std::uint32_t kAllBits = 0xFFFFFFFF;

// Axis control register.
constexpr std::uint32_t kAcrAutoActivate = BitMask(regmap::acr::kAutoActivate);
constexpr std::uint32_t kAcrDigitalReferenceType = BitMask(regmap::acr::kDigitalReferenceType);
constexpr std::uint32_t kAcrFreezeControl = BitMask(regmap::acr::kFreezeControl);
constexpr std::uint32_t kAcrAnalogueReference = BitMask(regmap::acr::kAnalogueReference);
constexpr std::uint32_t kAcrDigitalReference = BitMask(regmap::acr::kDigitalReference);
constexpr std::uint32_t kAcrCurrentLoop = BitMask(regmap::acr::kCurrentLoop);
constexpr std::uint32_t kAcrSpeedLoop = BitMask(regmap::acr::kSpeedLoop);
constexpr std::uint32_t kAcrPositionLoop = BitMask(regmap::acr::kPositionLoop);
constexpr std::uint32_t kAcrClosedLoops = kAcrCurrentLoop | kAcrSpeedLoop | kAcrPositionLoop;
constexpr std::uint32_t kAcrSpeedForward = BitMask(regmap::acr::kSpeedForward);
// MotorPhaseConnectionType 1: the phase resistance is a third of R.
constexpr int kPhaseIsThirdOfR = 1;

// --- Step scaffolding ---

enum class Unit { Base, Internal };

// The common step: looks up `inputs` in order and then the register itself, stops at the first
// one missing, and writes formula(input values in base units) when that is finite.
template <std::size_t N, typename Formula>
int EncodeRegister(CMC_Setup& setup, std::string_view registerName, const Inputs<N>& inputs, Formula formula,
                   Unit written = Unit::Base) {
    Reads find(setup);
    const std::array<double, N> values = find.BaseValues(inputs);
    CMC_Parameter* target = find(registerName);
    if (!find.ok()) return 0;
    const double value = std::apply(formula, values);
    return written == Unit::Internal ? WriteInternal(*target, value) : WriteBase(*target, value);
}

// The internal value of a parameter, or nothing when its scale has a zero divisor (the host then
// shows 0, which is no value to encode).
std::optional<double> InternalValue(const CMC_Parameter& parameter) {
    if (!parameter.HasInternalScale()) return std::nullopt;
    return parameter.GetValueInInternalUnit();
}

// The saturation registers: range 0 .. 32767 first, value only when the range was taken.
int WriteSaturation(CMC_Parameter& target, double value) {
    if (!std::isfinite(value)) return 0;
    if (!SetParameterRange(target, 0.0, kQ15One)) return 0;
    return WriteBase(target, value);
}

bool IsPositive(double selector) { return Truncate(selector) > 0; }
std::uint32_t RegisterBits(const CMC_Parameter& parameter) {
    return static_cast<std::uint32_t>(Truncate(parameter.GetValueInBaseUnit()));
}

// --- Flag and selector registers ---

// The bits of a register that one flag parameter owns, and their value for either state.
struct FlagField {
    std::string_view flag;
    std::uint32_t field;
    std::uint32_t whenOn;
    std::uint32_t whenOff;
    bool (*isOn)(double) = IsSet;
    // Null: always there; otherwise the field is read and written only when the probe holds.
    bool (*present)(const CMC_Setup&) = nullptr;
};

constexpr FlagField Flag(std::string_view flag, std::uint32_t bit) { return {flag, bit, bit, 0}; }
constexpr FlagField InvertedFlag(std::string_view flag, std::uint32_t bit) { return {flag, bit, 0, bit}; }

struct FlagRegister {
    std::string_view name;
    // False: the register is built from its flags alone and not read.
    bool readsRegister;
    // The bits of the old value that survive before the fields are applied.
    std::uint32_t kept;
    std::span<const FlagField> fields;
};

struct ComposedFlags {
    CMC_Parameter* target;
    std::uint32_t value;
};

// Looks up the register (when it is read) and then each present flag in table order, composing
// the new value on the way; nothing when one is missing.
std::optional<ComposedFlags> ComposeFlags(CMC_Setup& setup, const FlagRegister& layout, Reads& find) {
    CMC_Parameter* target = layout.readsRegister ? find(layout.name) : nullptr;
    std::uint32_t value = target ? RegisterBits(*target) & layout.kept : 0U;
    for (const FlagField& field : layout.fields) {
        if (field.present && !field.present(setup)) continue;
        const CMC_Parameter* flag = find(field.flag);
        if (!flag) break;
        const bool on = field.isOn(flag->GetValueInBaseUnit());
        value = (value & ~field.field) | (on ? field.whenOn : field.whenOff);
    }
    if (!layout.readsRegister) target = find(layout.name);
    if (!find.ok()) return std::nullopt;
    return ComposedFlags{target, value};
}

int EncodeFlagRegister(CMC_Setup& setup, const FlagRegister& layout) {
    Reads find(setup);
    const std::optional<ComposedFlags> composed = ComposeFlags(setup, layout, find);
    if (!composed) return 0;
    return WriteBase(*composed->target, static_cast<double>(composed->value));
}

constexpr FlagField kScrFields[] = {
    Flag("isMotorTemperatureSensor", BitMask(regmap::scr::kMotorTemperatureSensor)),
    Flag("isDriveTemperatureSensor", BitMask(regmap::scr::kDriveTemperatureSensor)),
    {"isSpeedEstimator", regmap::scr::kSpeedEstimatorField, regmap::scr::kSpeedEstimatorOn, 0x0000, IsSet,
     HasSpeedEstimator},
};
constexpr FlagRegister kScr{"SCR", true, 0xFE0F, kScrFields};

constexpr FlagField kOsrFields[] = {
    Flag("isBrakeResistor", BitMask(regmap::osr::kBrakeResistor)),
    // The Hall start for a positive StartMode, else the positioning start.
    {"StartMode", regmap::osr::kStartModeField, regmap::osr::kStartModeHalls, regmap::osr::kStartModePositioning,
     IsPositive},
};
constexpr FlagRegister kOsr{"OSR", true, kMask16, kOsrFields};

constexpr FlagField kAsrFields[] = {
    {"isSWLS", BitMask(regmap::asr::kSoftwareLimits), BitMask(regmap::asr::kSoftwareLimits), 0x0000, IsSet,
     HasSoftwareLimits},
    {"InputsPolarityType", BitMask(regmap::asr::kInputsPolarity), 0x0000, BitMask(regmap::asr::kInputsPolarity), IsSet,
     HasInputsPolarity},
};
constexpr FlagRegister kAsr{"ASR", true, kAllBits, kAsrFields};

constexpr FlagField kPcrFields[] = {
    Flag("isDriveI2t", BitMask(regmap::pcr::kDriveI2t)),
    Flag("isUnderVoltage", BitMask(regmap::pcr::kUnderVoltage)),
    Flag("isOverVoltage", BitMask(regmap::pcr::kOverVoltage)),
    Flag("isDriveOverTemp", BitMask(regmap::pcr::kDriveOverTemperature)),
    Flag("isMotorOverTemp", BitMask(regmap::pcr::kMotorOverTemperature)),
    Flag("isMotorI2t", BitMask(regmap::pcr::kMotorI2t)),
    Flag("isOverCurrent", BitMask(regmap::pcr::kOverCurrent)),
};
constexpr FlagRegister kPcr{"PCR", true, 0xFF40, kPcrFields};

constexpr FlagField kDiginFields[] = {
    Flag("EnablePolarity", BitMask(regmap::digin::kEnable)),
    Flag("LSNPolarity", BitMask(regmap::digin::kNegativeLimitSwitch)),
    Flag("LSPPolarity", BitMask(regmap::digin::kPositiveLimitSwitch)),
};
constexpr FlagRegister kDigin{"DIGIN_ACTIVE_LEVEL", true, kAllBits, kDiginFields};

// Bit 15 is cleared whatever the flag says.
constexpr FlagField kUpgradeFields[] = {Flag("isLimitMaximum", BitMask(regmap::upgrade::kLimitMaximum))};
constexpr FlagRegister kUpgrade{"UPGRADE", true, regmap::upgrade::kWritableBits, kUpgradeFields};

// Each bit is the inverse of its save flag.
constexpr FlagField kLssFields[] = {
    InvertedFlag("save_CAN_baudrate", BitMask(regmap::lss::kBaudrateNotSaved)),
    InvertedFlag("save_axis_id", BitMask(regmap::lss::kAxisIdNotSaved)),
};
constexpr FlagRegister kLss{"LSS_Active", false, 0, kLssFields};

// --- Shared formulas ---

double I2tIntegralLimit(double current_A, double nominal_A, double kI) {
    return (current_A * current_A - nominal_A * nominal_A) * kI * kI / regmap::i2t::kIntegralDivisor;
}

// The warning limit leads the trip by 2 s of the time constant; with a shorter time constant it
// warns at once (0) instead of holding a negative limit.
double I2tWarningLimit(double time_s, double current_A, double nominal_A, double kI) {
    const double limit = (1.0 - kI2tWarningLead_s / time_s) * I2tIntegralLimit(current_A, nominal_A, kI);
    return std::isfinite(limit) && limit < 0.0 ? 0.0 : limit;
}

// The analogue reference span split into a mantissa of at most 32767 and a shift. A span at or
// below 32767, negative ones included, is not shifted.
struct SpanSplit {
    double counts;
    double shift;
};
SpanSplit SplitSpan(double span) {
    if (span <= kQ15One) return {span, 0.0};
    const double shift = std::ceil(std::log2(span / kQ15One));
    return {span / std::exp2(shift), shift};
}

int EncodeSpanPart(CMC_Setup& setup, std::string_view registerName, double SpanSplit::*part) {
    Reads find(setup);
    CMC_Parameter* target = find(registerName);
    if (!find.ok()) return 0;
    return WriteInternal(*target, SplitSpan(GetAnalogueReferenceSpan(setup)).*part);
}

// The drive's position counts run the other way when K_P < 0, so each load limit goes to the
// opposite register.
int EncodeSoftwareLimit(CMC_Setup& setup, std::string_view limitName, std::string_view registerWhenForward,
                        std::string_view registerWhenReversed) {
    Reads find(setup);
    const CMC_Parameter* limit = find(limitName);
    if (!find.ok()) return 0;
    const double kP = GetLoadPositionScale(setup);
    if (kP == 0.0 || !std::isfinite(kP)) return 0;
    CMC_Parameter* target = find(IsTransmissionReversed(setup) ? registerWhenReversed : registerWhenForward);
    if (!find.ok()) return 0;
    return WriteBase(*target, limit->GetValueInBaseUnit() * kP);
}

double AbsLoadPositionScale(const CMC_Setup& setup) { return std::abs(GetLoadPositionScale(setup)); }
double AbsLoadSpeedScale(const CMC_Setup& setup) { return std::abs(GetLoadSpeedScale(setup)); }
double AbsLoadAccelerationScale(const CMC_Setup& setup) { return std::abs(GetLoadAccelerationScale(setup)); }

// register = input · scale: a physical limit in drive counts.
int EncodeScaled(CMC_Setup& setup, std::string_view registerName, std::string_view input,
                 double (*scale)(const CMC_Setup&), Unit written = Unit::Base) {
    return EncodeRegister(
        setup, registerName, Inputs{input}, [&setup, scale](double value) { return value * scale(setup); }, written);
}

// register = time / Ts_S: a time in slow-loop samples.
int EncodeSamples(CMC_Setup& setup, std::string_view registerName, std::string_view time) {
    return EncodeRegister(setup, registerName, Inputs{time, "Ts_S"},
                          [](double time_s, double ts_s) { return time_s / ts_s; });
}

// A control-error time in slow-loop samples, or 65535 (no check) when its flag is off.
int EncodeCheckTime(CMC_Setup& setup, std::string_view registerName, std::string_view time, std::string_view flag) {
    return EncodeRegister(
        setup, registerName, Inputs{time, "Ts_S", flag},
        [](double time_s, double ts_s, double checked) { return IsSet(checked) ? time_s / ts_s : regmap::kCheckOff; });
}

int EncodeI2tTimeScale(CMC_Setup& setup, std::string_view registerName, std::string_view time) {
    return EncodeRegister(setup, registerName, Inputs{"Ts_S", time},
                          [](double ts_s, double t_s) { return ts_s * regmap::i2t::kTimeScale / t_s; });
}

// The drive's and the motor's i²t protections: the same registers over their own parameters.
struct I2tProtection {
    std::string_view integralLimitRegister;
    std::string_view warningLimitRegister;
    std::string_view current;  // the protected current
    std::string_view time;     // how long it may flow
    std::string_view nominal;  // the nominal current it is measured against
};
constexpr I2tProtection kDriveI2t{"I2TINTLIM_D", "II2TWARLIM_D", "I_I2t_D", "t_I2t_D", "InPS"};
constexpr I2tProtection kMotorI2t{"I2TINTLIM_M", "I2TWARLIM_M", "I_I2t_M", "t_I2t_M", "In"};

int EncodeI2tIntegralLimit(CMC_Setup& setup, const I2tProtection& p) {
    return EncodeRegister(setup, p.integralLimitRegister, Inputs{p.current, p.nominal},
                          [&setup](double i_A, double nominal_A) {
                              return I2tIntegralLimit(i_A, nominal_A, GetCurrentScale(setup));
                          });
}

int EncodeI2tWarningLimit(CMC_Setup& setup, const I2tProtection& p) {
    return EncodeRegister(setup, p.warningLimitRegister, Inputs{p.current, p.time, p.nominal},
                          [&setup](double i_A, double t_s, double nominal_A) {
                              return I2tWarningLimit(t_s, i_A, nominal_A, GetCurrentScale(setup));
                          });
}

int EncodePwmCounts(CMC_Setup& setup, std::string_view registerName, double countsPerTick) {
    return EncodeRegister(setup, registerName, Inputs{"DSP_freq", "PWM_freq"},
                          [countsPerTick](double dsp_Hz, double pwm_Hz) { return dsp_Hz * countsPerTick / pwm_Hz; });
}

// T1ONA and T1ONB hold time_AB in the unit UPGRADE bit 9 selects.
int EncodeStartTime(CMC_Setup& setup, std::string_view registerName) {
    return EncodeRegister(setup, registerName, Inputs{"time_AB", "UPGRADE"}, [](double time_s, double upgrade) {
        return Bit(upgrade, regmap::upgrade::kStartTimeInCentiseconds)
                   ? time_s * regmap::upgrade::kCentisecondsPerSecond
                   : time_s * regmap::upgrade::kTimeFractionScale;
    });
}

// The start voltage: the start current through one phase plus what the dead time loses.
int EncodeStartVoltage(CMC_Setup& setup, std::string_view registerName) {
    return EncodeRegister(
        setup, registerName, Inputs{"R", "In", "StartCurrent", "PWM_freq", "Vdc", "MotorPhaseConnectionType"},
        [&setup](double r_ohm, double in_A, double start_percent, double pwm_Hz, double vdc_V, double connection) {
            const double kU = GetVoltageScale(setup);
            const double rPhase_ohm = Truncate(connection) == kPhaseIsThirdOfR ? r_ohm / 3.0 : r_ohm;
            return kU * (start_percent * (in_A * rPhase_ohm)) / kPercent + pwm_Hz * GetDeadTime(setup) * vdc_V * kU;
        });
}

// The current controllers' output saturations follow SATPWM.
int EncodeCopyOfSatpwm(CMC_Setup& setup, std::string_view registerName) {
    return EncodeRegister(setup, registerName, Inputs{"SATPWM"}, [](double satpwm) { return satpwm; });
}

int EncodeShiftOfAccelFeedforward(CMC_Setup& setup, std::string_view registerName,
                                  double AccelFeedforwardValue::*part) {
    return EncodeRegister(setup, registerName, Inputs{}, [&setup, part] {
        return EncodeAccelFeedforward(0.0, GetAccelFeedforwardShift(setup)).*part;
    });
}

}  // namespace

// --- Position resolution ---

int Encode_MECRESL(CMC_Setup& setup) {
    return EncodeRegister(setup, "MECRESL", Inputs{"Resolution"}, [](double resolution) { return resolution; });
}

int Encode_ENC2THL(CMC_Setup& setup) {
    return EncodeRegister(setup, "ENC2THL", Inputs{"Resolution"},
                          [](double resolution) { return kTwoPow32 / resolution; });
}

int Encode_DBTTH(CMC_Setup& setup) {
    // log2 is exact for the powers of two a resolution is.
    return EncodeRegister(setup, "DBTTH", Inputs{"Resolution"},
                          [](double resolution) { return regmap::kAngleBits - std::log2(resolution); });
}

// --- PWM timing and drive protections ---

int Encode_PWMPER(CMC_Setup& setup) { return EncodePwmCounts(setup, "PWMPER", kPwmCountsPerTick); }

int Encode_AD4OFF(CMC_Setup& setup) { return EncodePwmCounts(setup, "AD4OFF", kHalfPwmCountsPerTick); }

int Encode_CVDC(CMC_Setup& setup) { return EncodePwmCounts(setup, "CVDC", kHalfPwmCountsPerTick); }

int Encode_T2MAXPROT(CMC_Setup& setup) {
    return EncodeRegister(setup, "T2MAXPROT",
                          Inputs{"Temp_2", "DriveTempSensorGain", "DriveTempOutputAt0oC", "ADCrange"},
                          [&setup](double temp_C, double gain_VperC, double at0_V, double adcRange_V) {
                              return GetADCFullScale(setup) * (at0_V + gain_VperC * temp_C) / adcRange_V;
                          });
}

int Encode_UMAXPROT(CMC_Setup& setup) {
    return EncodeRegister(setup, "UMAXPROT", Inputs{"UMAX_PROT"},
                          [&setup](double umax_V) { return TruncateCount(umax_V * GetVdcScale(setup)); });
}

int Encode_UMINPROT(CMC_Setup& setup) { return EncodeScaled(setup, "UMINPROT", "UMIN_PROT", GetVdcScale); }

int Encode_II2TPROT_D(CMC_Setup& setup) {
    return EncodeScaled(setup, "II2TPROT_D", "InPS", GetCurrentScale, Unit::Internal);
}

int Encode_SFI2T_D(CMC_Setup& setup) { return EncodeI2tTimeScale(setup, "SFI2T_D", "t_I2t_D"); }

int Encode_I2TINTLIM_D(CMC_Setup& setup) { return EncodeI2tIntegralLimit(setup, kDriveI2t); }

int Encode_II2TWARLIM_D(CMC_Setup& setup) { return EncodeI2tWarningLimit(setup, kDriveI2t); }

// --- Configuration registers ---

int Encode_SATPWM(CMC_Setup& setup) {
    return EncodeRegister(
        setup, "SATPWM", Inputs{"CurrentMeasurementType", "PWM_freq"},
        [](double measurementType, double pwm_Hz) { return IsNonZero(measurementType) ? pwm_Hz * kSatPwmPerHz : 0.0; });
}

int Encode_MTSTYPE(CMC_Setup& setup) {
    return EncodeRegister(setup, "MTSTYPE", Inputs{"Motor_TempSensor_Type"},
                          [](double sensorType) { return Truncate(sensorType) == 1 ? 1.0 : 0.0; });
}

int Encode_AAR_table(CMC_Setup& setup) {
    return EncodeRegister(setup, "AAR_table", Inputs{"Axis_ID_list"},
                          [](double axisId) { return IsNonZero(axisId) ? axisId + regmap::aar::kAxisIdPresent : 0.0; });
}

int Encode_SCR(CMC_Setup& setup) { return EncodeFlagRegister(setup, kScr); }
int Encode_OSR(CMC_Setup& setup) { return EncodeFlagRegister(setup, kOsr); }
int Encode_PCR(CMC_Setup& setup) { return EncodeFlagRegister(setup, kPcr); }

int Encode_ASR(CMC_Setup& setup) {
    Reads find(setup);
    std::optional<ComposedFlags> composed = ComposeFlags(setup, kAsr, find);
    if (!composed) return 0;
    bool reversed = false;
    if (HasNegativeTransmissionOption(setup)) {
        const CMC_Parameter* motor = find("Motor_transmission");
        const CMC_Parameter* load = find("Load_transmission");
        if (!find.ok()) return 0;
        reversed = IsReversingTransmission(motor->GetValueInBaseUnit(), load->GetValueInBaseUnit());
    }
    return WriteBase(*composed->target, static_cast<double>(WithBits(
                                            composed->value, BitMask(regmap::asr::kReversedTransmission), reversed)));
}

int Encode_ACR(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* acr = find("ACR");
    const CMC_Parameter* autoActivated = find("isAutoActivatedAfterPowerOn");
    const CMC_Parameter* analogueReference = find("isAnalogueReference");
    const CMC_Parameter* digitalReferenceType = find("DigitalReferenceType");
    const CMC_Parameter* positionControlType = find("PositionControlType");
    const CMC_Parameter* controlMode = find("ControlMode");
    const CMC_Parameter* externalReference = find("ExternalReference");
    if (!find.ok()) return 0;

    std::uint32_t closedLoops = 0;
    switch (Truncate(controlMode->GetValueInBaseUnit())) {
        case kPositionMode:
            closedLoops = Truncate(positionControlType->GetValueInBaseUnit()) == kPositionOverSpeed
                              ? kAcrPositionLoop | kAcrSpeedLoop | kAcrCurrentLoop
                              : kAcrPositionLoop | kAcrCurrentLoop;
            break;
        case kSpeedMode: closedLoops = kAcrSpeedLoop | kAcrCurrentLoop; break;
        case kTorqueMode: closedLoops = kAcrCurrentLoop; break;
        default: return 0;
    }

    const std::uint32_t d =
        WithBits(RegisterBits(*acr), kAcrAutoActivate, IsSet(autoActivated->GetValueInBaseUnit())) & kMask16;
    std::uint32_t e = d & ~(kAcrAnalogueReference | kAcrDigitalReference);
    if (IsSet(externalReference->GetValueInBaseUnit())) {
        if (IsSet(analogueReference->GetValueInBaseUnit())) {
            e |= kAcrAnalogueReference;
        } else {
            e = WithBits(e | kAcrDigitalReference, kAcrDigitalReferenceType,
                         Truncate(digitalReferenceType->GetValueInBaseUnit()) == 0);
        }
    }
    e = (e & ~kAcrClosedLoops) | closedLoops;
    const bool speedForward = HasSpeedForward(setup) && IsSet(setup.GetParameterValueInInternalUnit("SpeedForward"));
    e = WithBits(e, kAcrSpeedForward, speedForward);
    if (HasFreezeControl(setup)) {
        e = WithBits(e, kAcrFreezeControl, IsSet(setup.GetParameterValueInInternalUnit("isFreezeControl")));
    }
    return WriteBase(*acr, static_cast<double>(e));
}

// --- Controller gains ---

int Encode_SFTKPI(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKpC); }
int Encode_KPI(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKpC); }
int Encode_SFTKII(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKiC); }
int Encode_KII(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKiC); }
int Encode_SFTKPS(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKpS); }
int Encode_KPS(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKpS); }
int Encode_SFTKIS(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKiS); }
int Encode_KIS(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKiS); }
int Encode_SFTKPP(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKpP); }
int Encode_KPP(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKpP); }
int Encode_SFTKIP(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKiP); }
int Encode_KIP(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKiP); }
int Encode_SFTKDP(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKdP); }
int Encode_KDP(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKdP); }
int Encode_SFTSFFW(CMC_Setup& setup) { return EncodeGainShift(setup, kGainKffS); }
int Encode_KFFS(CMC_Setup& setup) { return EncodeGainMantissa(setup, kGainKffS); }

int Encode_SFTAFFW(CMC_Setup& setup) {
    return EncodeShiftOfAccelFeedforward(setup, "SFTAFFW", &AccelFeedforwardValue::sftaffw);
}

int Encode_SFTKFF(CMC_Setup& setup) {
    return EncodeShiftOfAccelFeedforward(setup, "SFTKFF", &AccelFeedforwardValue::sftkff);
}

int Encode_KFFA(CMC_Setup& setup) {
    return EncodeRegister(setup, "KFFA", Inputs{"KFFA_scl"}, [&setup](double gain) {
        return EncodeAccelFeedforward(gain, GetAccelFeedforwardShift(setup)).kffa;
    });
}

// --- Current loop ---

int Encode_SATID(CMC_Setup& setup) { return EncodeCopyOfSatpwm(setup, "SATID"); }
int Encode_SATIQ(CMC_Setup& setup) { return EncodeCopyOfSatpwm(setup, "SATIQ"); }

int Encode_FILTERQ(CMC_Setup& setup) {
    // A first-order filter: its coefficient 1 − exp(−a·T_C) in Q15, 32767 (pass-through) when off.
    return EncodeRegister(
        setup, "FILTERQ", Inputs{"isUseFilterOnCrtCtrlOutput", "FilterOnCurrentControllerOutput"},
        [&setup](double useFilter, double a_perSecond) {
            if (!IsNonZero(useFilter)) return static_cast<double>(regmap::kFilterOff);
            return TruncateCount((1.0 - std::exp(-a_perSecond * GetCurrentLoopPeriod(setup))) * kQ15One);
        });
}

int Encode_FFL(CMC_Setup& setup) {
    return EncodeRegister(setup, "FFL", Inputs{"OffsetCurrent", "isCompensateGravitationalLoads"},
                          [&setup](double offset_A, double compensate) {
                              return IsNonZero(compensate) ? offset_A * GetCurrentScale(setup) : 0.0;
                          });
}

// --- Saturations ---

int Encode_IMAXS(CMC_Setup& setup) {
    Reads find(setup);
    const CMC_Parameter* ipSat = find("IPSatS");
    const CMC_Parameter* ilim = find("IlimPS");
    CMC_Parameter* imaxs = find("IMAXS");
    if (!find.ok()) return 0;
    return WriteSaturation(*imaxs, regmap::SaturationRegister(ipSat->GetValueInBaseUnit() / kPercent *
                                                              ilim->GetValueInBaseUnit() * GetCurrentScale(setup)));
}

int Encode_SATS(CMC_Setup& setup) {
    Reads find(setup);
    const CMC_Parameter* ilim = find("IlimPS");
    CMC_Parameter* sats = find("SATS");
    if (!find.ok()) return 0;
    return WriteSaturation(*sats, regmap::SaturationRegister(ilim->GetValueInBaseUnit() * GetCurrentScale(setup)));
}

int Encode_IMAXP(CMC_Setup& setup) {
    Reads find(setup);
    const CMC_Parameter* controlMode = find("ControlMode");
    const CMC_Parameter* positionControlType = find("PositionControlType");
    const CMC_Parameter* ipSat = find("IPSatP");
    if (!find.ok()) return 0;
    const bool limitsSpeed =
        IsPositionOverSpeed(controlMode->GetValueInBaseUnit(), positionControlType->GetValueInBaseUnit());
    const CMC_Parameter* limit = find(limitsSpeed ? "Limit_Speed" : "IlimPS");
    CMC_Parameter* imaxp = find("IMAXP");
    if (!find.ok()) return 0;
    const double scale = limitsSpeed ? std::abs(GetLoadSpeedScale(setup)) : std::abs(GetCurrentScale(setup));
    return WriteSaturation(*imaxp, regmap::SaturationRegister(limit->GetValueInBaseUnit() *
                                                              (ipSat->GetValueInBaseUnit() / kPercent) * scale));
}

int Encode_SATP(CMC_Setup& setup) {
    Reads find(setup);
    const CMC_Parameter* positionControlType = find("PositionControlType");
    const CMC_Parameter* limitSpeed = find("Limit_Speed");
    const CMC_Parameter* ilim = find("IlimPS");
    const CMC_Parameter* controlMode = find("ControlMode");
    CMC_Parameter* satp = find("SATP");
    if (!find.ok()) return 0;
    const bool limitsSpeed =
        IsPositionOverSpeed(controlMode->GetValueInBaseUnit(), positionControlType->GetValueInBaseUnit());
    const std::optional<double> limit_counts = InternalValue(limitsSpeed ? *limitSpeed : *ilim);
    if (!limit_counts) return 0;
    return WriteSaturation(*satp, regmap::SaturationRegister(*limit_counts));
}

int Encode_KDFP(CMC_Setup& setup) {
    return EncodeRegister(setup, "KDFP", Inputs{"filter_D"}, [](double filter) { return filter * kQ15One; });
}

// --- Motor protections and control errors ---

int Encode_IMAXPROT(CMC_Setup& setup) { return EncodeScaled(setup, "IMAXPROT", "Imax_Prot", GetCurrentScale); }

int Encode_TIMAXPROT(CMC_Setup& setup) { return EncodeSamples(setup, "TIMAXPROT", "time_Imax_Prot"); }

int Encode_ERRMAX(CMC_Setup& setup) { return EncodeScaled(setup, "ERRMAX", "ERR_position", AbsLoadPositionScale); }

int Encode_TERRMAX(CMC_Setup& setup) {
    return EncodeCheckTime(setup, "TERRMAX", "time_ERR_pos", "isPositionControlError");
}

int Encode_SERRMAX(CMC_Setup& setup) { return EncodeScaled(setup, "SERRMAX", "ERR_speed", AbsLoadSpeedScale); }

int Encode_TSERRMAX(CMC_Setup& setup) {
    return EncodeCheckTime(setup, "TSERRMAX", "time_ERR_spd", "isSpeedControlError");
}

int Encode_T1MAXPROT(CMC_Setup& setup) {
    return EncodeRegister(setup, "T1MAXPROT", Inputs{}, [] { return kQ15One; });
}

int Encode_II2TPROT_M(CMC_Setup& setup) { return EncodeScaled(setup, "II2TPROT_M", "In", GetCurrentScale); }

int Encode_SFI2T_M(CMC_Setup& setup) { return EncodeI2tTimeScale(setup, "SFI2T_M", "t_I2t_M"); }

int Encode_I2TINTLIM_M(CMC_Setup& setup) { return EncodeI2tIntegralLimit(setup, kMotorI2t); }

int Encode_I2TWARLIM_M(CMC_Setup& setup) { return EncodeI2tWarningLimit(setup, kMotorI2t); }

// --- Software limits ---

int Encode_NegativeSWLS(CMC_Setup& setup) { return EncodeSoftwareLimit(setup, "Negative_SWLS", "SWNEGLS", "SWPOSLS"); }

int Encode_PositiveSWLS(CMC_Setup& setup) { return EncodeSoftwareLimit(setup, "Positive_SWLS", "SWPOSLS", "SWNEGLS"); }

// --- External reference ---

int Encode_CACC(CMC_Setup& setup) {
    return EncodeScaled(setup, "CACC", "ErefMaxAcceleration", AbsLoadAccelerationScale);
}

int Encode_CSPD(CMC_Setup& setup) { return EncodeScaled(setup, "CSPD", "ErefMaxSpeed", AbsLoadSpeedScale); }

int Encode_CADIN(CMC_Setup& setup) { return EncodeSpanPart(setup, "CADIN", &SpanSplit::counts); }
int Encode_SFTADIN(CMC_Setup& setup) { return EncodeSpanPart(setup, "SFTADIN", &SpanSplit::shift); }

int Encode_AD5OFF(CMC_Setup& setup) {
    Reads find(setup);
    const CMC_Parameter* controlMode = find("ControlMode");
    const CMC_Parameter* posMin = find("POS_min");
    const CMC_Parameter* spdMin = find("SPD_min");
    const CMC_Parameter* crtMin = find("CRT_min");
    CMC_Parameter* ad5off = find("AD5OFF");
    if (!find.ok()) return 0;
    const CMC_Parameter* offset = nullptr;
    switch (Truncate(controlMode->GetValueInBaseUnit())) {
        case kPositionMode: offset = posMin; break;
        case kSpeedMode: offset = spdMin; break;
        case kTorqueMode: offset = crtMin; break;
        default: return 0;
    }
    const std::optional<double> offset_counts = InternalValue(*offset);
    if (!offset_counts) return 0;
    return WriteInternal(*ad5off, *offset_counts);
}

int Encode_FILTER1(CMC_Setup& setup) {
    return EncodeRegister(setup, "FILTER1", Inputs{"UseFilter", "filter", "Ts_S"},
                          [](double useFilter, double a_perSecond, double ts_s) {
                              if (!IsNonZero(useFilter)) return static_cast<double>(regmap::kFilterOff);
                              return (1.0 - std::exp(-a_perSecond * ts_s)) * kQ15One;
                          });
}

int Encode_LEVEL_AD5(CMC_Setup& setup) {
    return EncodeRegister(setup, "LEVEL_AD5", Inputs{"DeadBand_Point", "AnalogueInputsRange"},
                          [&setup](double point_V, double range_V) {
                              // The register counts from the input's lower end.
                              const double fromBottom_V = point_V - GetAnalogueInputSpan(range_V).low_V;
                              return GetADCFullScale(setup) * fromBottom_V / range_V;
                          });
}

int Encode_E_LEVEL_AD5(CMC_Setup& setup) {
    return EncodeRegister(
        setup, "E_LEVEL_AD5", Inputs{"DeadBand_Range", "AnalogueInputsRange"},
        [&setup](double band_V, double range_V) { return band_V * GetADCFullScale(setup) / range_V; });
}

// --- Start-up, brake resistor, inputs ---

int Encode_GEAR(CMC_Setup& setup) {
    return EncodeRegister(setup, "GEAR", Inputs{"GEARSLAVE", "GEARMASTER"},
                          [](double slave, double master) { return slave / master; });
}

int Encode_T1ONA(CMC_Setup& setup) { return EncodeStartTime(setup, "T1ONA"); }

int Encode_T1ONB(CMC_Setup& setup) { return EncodeStartTime(setup, "T1ONB"); }

int Encode_REFTST(CMC_Setup& setup) { return EncodeStartVoltage(setup, "REFTST"); }

int Encode_RINCTST(CMC_Setup& setup) { return EncodeStartVoltage(setup, "RINCTST"); }

int Encode_BRAKELIM(CMC_Setup& setup) { return EncodeScaled(setup, "BRAKELIM", "Vbrake", GetVdcScale); }

int Encode_DIGIN_ACTIVE_LEVEL(CMC_Setup& setup) { return EncodeFlagRegister(setup, kDigin); }
int Encode_UPGRADE(CMC_Setup& setup) { return EncodeFlagRegister(setup, kUpgrade); }
int Encode_LSS_Active(CMC_Setup& setup) { return EncodeFlagRegister(setup, kLss); }

// --- Motor brake, freeze control, transmission, absolute start ---

int Encode_BRAKECFG(CMC_Setup& setup) {
    Reads find(setup);
    const CMC_Parameter* brake = find("isMotorBrake");
    const CMC_Parameter* output = find("MotorBrake_output");
    CMC_Parameter* brakecfg = find("BRAKECFG");
    if (!find.ok()) return 0;
    // An output port without a pin would put the host's "no pin" (−1) into the pin byte.
    const int pin = setup.GetIOPinFromPort(Truncate(output->GetValueInInternalUnit()));
    if (pin < 0) return 0;
    const std::uint32_t enabled = IsNonZero(brake->GetValueInInternalUnit()) ? 1U : 0U;
    const std::uint32_t value = (static_cast<std::uint32_t>(pin) << regmap::brakecfg::kPinShift) | enabled;
    return WriteInternal(*brakecfg, static_cast<double>(value));
}

int Encode_BRAKEAPPLYDELAY(CMC_Setup& setup) { return EncodeSamples(setup, "BRAKEAPPLYDELAY", "MotorBrake_applytime"); }

int Encode_BRAKERELEASEDELAY(CMC_Setup& setup) {
    return EncodeSamples(setup, "BRAKERELEASEDELAY", "MotorBrake_releasetime");
}

int Encode_POSOKLIM_FC(CMC_Setup& setup) {
    return EncodeScaled(setup, "POSOKLIM_FC", "FreezeControl_errband", AbsLoadPositionScale);
}

int Encode_TONPOSOK_FC(CMC_Setup& setup) { return EncodeSamples(setup, "TONPOSOK_FC", "FreezeControl_time"); }

int Encode_TRANSMISSION(CMC_Setup& setup) {
    return EncodeRegister(setup, "TRANSMISSION", Inputs{"Motor_transmission", "Load_transmission"},
                          [](double motor, double load) {
                              const double ratio = motor / load;
                              if (!std::isfinite(ratio)) return ratio;  // no direction without a ratio
                              return IsReversingTransmission(motor, load) ? -1.0 : 1.0;
                          });
}

int Encode_ABSTART_MINMOVE(CMC_Setup& setup) {
    return EncodeRegister(setup, "ABSTART_MINMOVE", Inputs{"PolePitch", "Resolution"},
                          [&setup](double polePitch_m, double resolution) {
                              return resolution / polePitch_m * GetAbsoluteStartMinMovePercent(setup) / kPercent;
                          });
}

int EncodeBiquadChain(CMC_Setup& setup) {
    BiquadFilterChain chain;
    return chain.ComputeBiquadChain(setup);
}

// --- The pass ---

namespace {

constexpr Step kResolutionSteps[] = {Encode_MECRESL, Encode_ENC2THL, Encode_DBTTH};
constexpr Step kTimingSteps[] = {Encode_PWMPER,    Encode_AD4OFF,   Encode_CVDC,
                                 Encode_T2MAXPROT, Encode_UMAXPROT, Encode_UMINPROT};
constexpr Step kDriveI2tSteps[] = {Encode_II2TPROT_D, Encode_SFI2T_D, Encode_I2TINTLIM_D};
constexpr Step kDriveI2tWarningSteps[] = {Encode_II2TWARLIM_D};
constexpr Step kConfigurationSteps[] = {Encode_SATPWM, Encode_MTSTYPE, Encode_AAR_table, Encode_SCR,
                                        Encode_OSR,    Encode_ASR,     Encode_PCR,       Encode_ACR};
constexpr Step kCurrentLoopSteps[] = {Encode_SFTKPI, Encode_KPI,   Encode_SFTKII, Encode_KII,
                                      Encode_SATID,  Encode_SATIQ, Encode_FILTERQ};
constexpr Step kGravitySteps[] = {Encode_FFL};
constexpr Step kSpeedLoopSteps[] = {Encode_SFTKPS, Encode_KPS, Encode_SFTKIS, Encode_KIS, Encode_IMAXS, Encode_SATS};
constexpr Step kPositionLoopSteps[] = {Encode_SFTKPP, Encode_KPP,  Encode_SFTKIP, Encode_KIP, Encode_SFTKDP,
                                       Encode_KDP,    Encode_KDFP, Encode_IMAXP,  Encode_SATP};
constexpr Step kFeedforwardSteps[] = {Encode_SFTSFFW, Encode_KFFS, Encode_SFTAFFW, Encode_SFTKFF, Encode_KFFA};
constexpr Step kErrorSteps[] = {Encode_IMAXPROT, Encode_TIMAXPROT, Encode_ERRMAX,   Encode_TERRMAX,
                                Encode_SERRMAX,  Encode_TSERRMAX,  Encode_T1MAXPROT};
constexpr Step kMotorI2tSteps[] = {Encode_II2TPROT_M, Encode_SFI2T_M, Encode_I2TINTLIM_M};
constexpr Step kMotorI2tWarningSteps[] = {Encode_I2TWARLIM_M};
constexpr Step kSoftwareLimitSteps[] = {Encode_NegativeSWLS, Encode_PositiveSWLS};
constexpr Step kReferenceLimitSteps[] = {Encode_CACC, Encode_CSPD};
constexpr Step kAnalogueInputSteps[] = {Encode_CADIN,   Encode_SFTADIN,   Encode_AD5OFF,
                                        Encode_FILTER1, Encode_LEVEL_AD5, Encode_E_LEVEL_AD5};
constexpr Step kStartAndInputSteps[] = {Encode_GEAR,
                                        Encode_T1ONA,
                                        Encode_T1ONB,
                                        Encode_REFTST,
                                        Encode_RINCTST,
                                        Encode_BRAKELIM,
                                        Encode_DIGIN_ACTIVE_LEVEL,
                                        Encode_UPGRADE};
constexpr Step kLssSteps[] = {Encode_LSS_Active};
constexpr Step kMotorBrakeSteps[] = {Encode_BRAKECFG, Encode_BRAKEAPPLYDELAY, Encode_BRAKERELEASEDELAY};
constexpr Step kFreezeControlSteps[] = {Encode_POSOKLIM_FC, Encode_TONPOSOK_FC};
constexpr Step kTransmissionSteps[] = {Encode_TRANSMISSION};
constexpr Step kAbsoluteStartSteps[] = {Encode_ABSTART_MINMOVE};
constexpr Step kBiquadSteps[] = {EncodeBiquadChain};

// Resolution (DBTTH) and timing (PWMPER) come first: K_P, K_V, K_A, T_C and T_S of every later
// step are computed from them.
constexpr PassGroup kRegisterPass[] = {
    {nullptr, kResolutionSteps},
    {nullptr, kTimingSteps},
    {nullptr, kDriveI2tSteps},
    {HasI2tWarningLimits, kDriveI2tWarningSteps},
    {nullptr, kConfigurationSteps},
    {nullptr, kCurrentLoopSteps},
    {HasGravityCompensation, kGravitySteps},
    {nullptr, kSpeedLoopSteps},
    {nullptr, kPositionLoopSteps},
    {nullptr, kFeedforwardSteps},
    {nullptr, kErrorSteps},
    {nullptr, kMotorI2tSteps},
    {HasI2tWarningLimits, kMotorI2tWarningSteps},
    {HasSoftwareLimits, kSoftwareLimitSteps},
    {nullptr, kReferenceLimitSteps},
    {HasAnalogueInput, kAnalogueInputSteps},
    {nullptr, kStartAndInputSteps},
    {HasLssSaveFlags, kLssSteps},
    {HasMotorBrake, kMotorBrakeSteps},
    {HasFreezeControl, kFreezeControlSteps},
    {HasTransmissionRegister, kTransmissionSteps},
    {HasAbsoluteStartMinMove, kAbsoluteStartSteps},
    {HasBiquadFilters, kBiquadSteps},
};

}  // namespace

void UpdateRegistersFromParameters(CMC_Setup& setup) { RunPass(setup, kRegisterPass); }

}  // namespace pelmora
