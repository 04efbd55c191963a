#include "Decode.h"

#include "BaseQuantities.h"
#include "FeatureProbes.h"
#include "GainEncoding.h"
#include "Limits.h"
#include "Steps.h"

#include <regmap/DriveRegisters.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <tuple>

namespace pelmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using regmap::BitMask;

// --- register widths ---
constexpr double kMinSoftwareLimitCount = -2147483648.0;
constexpr double kMaxSoftwareLimitCount = 2147483647.0;

// An external reference is on when ACR selects the analogue or the digital one.
constexpr std::uint32_t kAcrExternalReferenceMask =
    BitMask(regmap::acr::kAnalogueReference) | BitMask(regmap::acr::kDigitalReference);

constexpr double kModePosition = kPositionMode;
constexpr double kModeSpeed = kSpeedMode;
constexpr double kModeTorque = kTorqueMode;

// --- ranges ---
constexpr double kFlagOff = 0.0;
constexpr double kFlagOn = 1.0;
constexpr double kMinCurrent_A = 0.001;
constexpr double kMinTime_s = 0.001;
constexpr double kMinSpeedError_mps = 0.001;
constexpr double kMinBusVoltage_V = 1.0;
constexpr double kMaxBusVoltage_V = 2000.0;
constexpr double kMinDriveTemp_degC = -100.0;
constexpr double kMaxDriveTemp_degC = 1000.0;
constexpr double kMaxPercent = 100.0;
constexpr double kMaxStartCurrent_percent = 300.0;
constexpr double kMaxLoadToMotorMass = 100.0;
constexpr double kMaxAxisId = 511.0;
constexpr double kMaxAccelFeedforwardGain = 4194304.0;  // 32767 · 2^(11 + 11) / 32767

// --- scalings ---
constexpr double kPercent = 100.0;
constexpr double kTestCurrentShare = 0.5;  // of the smaller of motor and drive nominal current
constexpr double kTestCurrentHeadroom = 1.8;
// MotorPhaseConnectionType 1 takes a third of R as the phase resistance.
constexpr int kConnectionWithThirdOfR = 1;
constexpr double kPhaseResistanceDivisor = 3.0;
constexpr double kI2tMinSamples = 2048.0;
constexpr double kMotorI2tMinShare = 1.1;  // of the nominal current
constexpr double kDefaultCurrentFilter_Hz = 5000.0;
constexpr double kDefaultReferenceFilter_Hz = 50.0;
constexpr double kNyquist = 0.5;
constexpr double kQuarter = 0.25;
constexpr double kTestMaxSpeedShare = 1.0 / 3.0;

// time_AB: UPGRADE bit 9 picks centiseconds (up to 655.35 s) instead of 1/65535 s (up to 1 s).
constexpr double kMinStartTime_s = 0.01;
constexpr double kMaxStartTimeFine_s = 1.0;
constexpr double kMaxStartTimeCoarse_s = 655.35;

double Base(const CMC_Parameter* parameter) { return parameter->GetValueInBaseUnit(); }
double Internal(const CMC_Parameter* parameter) { return parameter->GetValueInInternalUnit(); }

// 2 · (PWM periods per sample) · PWMPER / DSP_freq, from the step's own reads.
double SamplePeriod_s(double periods, double pwmper, double dspFreq_Hz) { return 2.0 * periods * pwmper / dspFreq_Hz; }

// The base value that SetValueInInternalUnit would store; NaN where the target's unit cannot
// convert (a zero divisor in the setup's scales), so that the check comes before any write.
double InternalAsBase(const CMC_Parameter& target, double internal) {
    double base = 0.0;
    return target.InternalToBase(internal, base) ? base : kNaN;
}

// The common tail of a step: range first, then the value; neither unless all three are finite.
int SetRangeAndValue(CMC_Parameter& target, double minimum, double maximum, double value) {
    if (!AllFinite({minimum, maximum, value})) return 0;
    if (!SetParameterRange(target, minimum, maximum)) return 0;
    return WriteBase(target, value);
}

// A step without a range: the target first, then `inputs` in order, and formula(their base
// values) written when it is finite.
template <std::size_t N, typename Formula>
int DecodeValue(CMC_Setup& setup, std::string_view targetName, const Inputs<N>& inputs, Formula formula) {
    Reads find(setup);
    CMC_Parameter* target = find(targetName);
    const std::array<double, N> values = find.BaseValues(inputs);
    if (!find.ok()) return 0;
    return WriteBase(*target, std::apply(formula, values));
}

// What a ranged step writes: the target's range, then its value.
struct Ranged {
    double minimum;
    double maximum;
    double value;
};

// A step with a range: the target first, then `inputs` in order; formula(their base values)
// gives the range and the value, written when all three are finite.
template <std::size_t N, typename Formula>
int DecodeRanged(CMC_Setup& setup, std::string_view targetName, const Inputs<N>& inputs, Formula formula) {
    Reads find(setup);
    CMC_Parameter* target = find(targetName);
    const std::array<double, N> values = find.BaseValues(inputs);
    if (!find.ok()) return 0;
    const Ranged ranged = std::apply(formula, values);
    return SetRangeAndValue(*target, ranged.minimum, ranged.maximum, ranged.value);
}

int SetRangeAndInternal(CMC_Parameter& target, double minimum, double maximum, double internal) {
    if (!AllFinite({minimum, maximum, InternalAsBase(target, internal)})) return 0;
    if (!SetParameterRange(target, minimum, maximum)) return 0;
    return WriteInternal(target, internal);
}

int SetInternal(CMC_Parameter& target, double internal) {
    if (!std::isfinite(InternalAsBase(target, internal))) return 0;
    return WriteInternal(target, internal);
}

using RangeRule = int (*)(CMC_Setup&);

// The analogue-input targets take their range from a rule that reads partner parameters.
int ApplyRuleAndValue(CMC_Setup& setup, CMC_Parameter& target, RangeRule rule, double value) {
    if (!std::isfinite(value)) return 0;
    if (!rule(setup)) return 0;
    return WriteBase(target, value);
}

int ApplyRuleAndInternal(CMC_Setup& setup, CMC_Parameter& target, RangeRule rule, double internal) {
    if (!std::isfinite(InternalAsBase(target, internal))) return 0;
    if (rule && !rule(setup)) return 0;
    return WriteInternal(target, internal);
}

bool SpeedLoopClosed(double acr) { return Bit(acr, regmap::acr::kSpeedLoop) == 1; }

// ---------------------------------------------------------------------------------------------
// Flags and selectors: the target's range is 0 to `maximum`, its value a rule over one register.

template <typename Rule>
int DecodeFromRegister(CMC_Setup& setup, std::string_view targetName, std::string_view registerName, double maximum,
                       Rule rule) {
    Reads find(setup);
    CMC_Parameter* target = find(targetName);
    CMC_Parameter* source = find(registerName);
    if (!find.ok()) return 0;
    return SetRangeAndValue(*target, kFlagOff, maximum, static_cast<double>(rule(Base(source))));
}

struct FlagBit {
    std::string_view target;
    std::string_view source;
    int bit;
    bool onWhenSet;  // some flags are on while their bit is clear
};

int DecodeFlagBit(CMC_Setup& setup, const FlagBit& flag, double maximum = kFlagOn) {
    return DecodeFromRegister(setup, flag.target, flag.source, maximum,
                              [&flag](double value) { return (Bit(value, flag.bit) == 1) == flag.onWhenSet; });
}

constexpr FlagBit kIsMotorTemperatureSensor{"isMotorTemperatureSensor", "SCR", regmap::scr::kMotorTemperatureSensor,
                                            true};
constexpr FlagBit kIsDriveTemperatureSensor{"isDriveTemperatureSensor", "SCR", regmap::scr::kDriveTemperatureSensor,
                                            true};
constexpr FlagBit kIsOverCurrent{"isOverCurrent", "PCR", regmap::pcr::kOverCurrent, true};
constexpr FlagBit kIsMotori2t{"isMotori2t", "PCR", regmap::pcr::kMotorI2t, true};
constexpr FlagBit kIsMotorOverTemp{"isMotorOverTemp", "PCR", regmap::pcr::kMotorOverTemperature, true};
constexpr FlagBit kIsDriveOverTemp{"isDriveOverTemp", "PCR", regmap::pcr::kDriveOverTemperature, true};
constexpr FlagBit kIsOverVoltage{"isOverVoltage", "PCR", regmap::pcr::kOverVoltage, true};
constexpr FlagBit kIsUnderVoltage{"isUnderVoltage", "PCR", regmap::pcr::kUnderVoltage, true};
constexpr FlagBit kIsDriveI2t{"isDriveI2t", "PCR", regmap::pcr::kDriveI2t, true};
constexpr FlagBit kIsAutoActivated{"IsAutoActivatedAfterPowerOn", "ACR", regmap::acr::kAutoActivate, true};
constexpr FlagBit kIsAnalogueReference{"isAnalogueReference", "ACR", regmap::acr::kAnalogueReference, true};
constexpr FlagBit kDigitalReferenceType{"DigitalReferenceType", "ACR", regmap::acr::kDigitalReferenceType, false};
constexpr FlagBit kIsBrakeResistor{"isBrakeResistor", "OSR", regmap::osr::kBrakeResistor, true};
constexpr FlagBit kStartMode{"StartMode", "OSR", regmap::osr::kStartModeHallsBit, true};
constexpr FlagBit kEnablePolarity{"EnablePolarity", "DIGIN_ACTIVE_LEVEL", regmap::digin::kEnable, true};
constexpr FlagBit kLSPPolarity{"LSPPolarity", "DIGIN_ACTIVE_LEVEL", regmap::digin::kPositiveLimitSwitch, true};
constexpr FlagBit kLSNPolarity{"LSNPolarity", "DIGIN_ACTIVE_LEVEL", regmap::digin::kNegativeLimitSwitch, true};
constexpr FlagBit kIsSWLS{"isSWLS", "ASR", regmap::asr::kSoftwareLimits, true};
constexpr FlagBit kInputsPolarityType{"InputsPolarityType", "ASR", regmap::asr::kInputsPolarity, false};
constexpr FlagBit kIsLimitMaximum{"isLimitMaximum", "UPGRADE", regmap::upgrade::kLimitMaximum, true};
constexpr FlagBit kSaveCanBaudrate{"save_CAN_baudrate", "LSS_Active", regmap::lss::kBaudrateNotSaved, false};
constexpr FlagBit kSaveAxisId{"save_axis_id", "LSS_Active", regmap::lss::kAxisIdNotSaved, false};

// A feature whose register holds a distinct value while the feature is off.
int DecodeOnUnlessCount(CMC_Setup& setup, std::string_view targetName, std::string_view registerName, double offCount) {
    return DecodeFromRegister(setup, targetName, registerName, kFlagOn,
                              [offCount](double value) { return value != offCount; });
}

// ---------------------------------------------------------------------------------------------
// Shared value rules.

// A count divided by a scale, up to what a signed 16-bit register holds: error bands and limits.
int DecodeCountOverScale(CMC_Setup& setup, std::string_view targetName, std::string_view registerName, double minimum,
                         double (*scale)(const CMC_Setup&)) {
    return DecodeRanged(setup, targetName, Inputs{registerName}, [&setup, minimum, scale](double count) {
        const double perUnit = std::abs(scale(setup));
        return Ranged{minimum, kQ15One / perUnit, count / perUnit};
    });
}

// A number of slow-loop samples as a time, up to what a signed 16-bit register holds.
int DecodeSampleCountTime(CMC_Setup& setup, std::string_view targetName, std::string_view registerName) {
    return DecodeRanged(setup, targetName, Inputs{registerName, "SLPER", "PWMPER", "DSP_freq"},
                        [](double count, double slper, double pwmper, double dspFreq_Hz) {
                            const double tS = SamplePeriod_s(slper, pwmper, dspFreq_Hz);
                            return Ranged{kMinTime_s, tS * kQ15One, count * tS};
                        });
}

int DecodeBusVoltage(CMC_Setup& setup, std::string_view targetName, std::string_view registerName) {
    return DecodeRanged(setup, targetName, Inputs{registerName}, [&setup](double count) {
        return Ranged{kMinBusVoltage_V, kMaxBusVoltage_V, count / GetVdcScale(setup)};
    });
}

// The overcurrent threshold IMAXPROT as a current, at most what both motor and drive stand.
int DecodeProtectionCurrent(CMC_Setup& setup, std::string_view targetName, double minimum) {
    return DecodeRanged(setup, targetName, Inputs{"IMAXPROT", "ImaxM", "ImaxPS"},
                        [&setup, minimum](double imaxprot, double imaxM_A, double imaxPS_A) {
                            return Ranged{minimum, std::min(imaxM_A, imaxPS_A), imaxprot / GetCurrentScale(setup)};
                        });
}

// The current the speed loop saturates at (SATS) when it is closed, else the position loop's (SATP).
double SaturationCurrent_A(const CMC_Setup& setup, double saturationCount) {
    return regmap::SaturationLimit(saturationCount) / GetCurrentScale(setup);
}

// Where a controller's integral part saturates, in percent of its output limit.
int DecodeIntegralSaturation(CMC_Setup& setup, std::string_view targetName, std::string_view integralLimit,
                             std::string_view outputLimit) {
    return DecodeRanged(setup, targetName, Inputs{integralLimit, outputLimit}, [](double imax, double sat) {
        return Ranged{0.0, kMaxPercent, regmap::SaturationLimit(imax) * kPercent / regmap::SaturationLimit(sat)};
    });
}

// The start-up voltage REFTST less the dead-time compensation, as a percentage of In · R_ph.
int DecodeStartCurrent(CMC_Setup& setup, std::string_view targetName) {
    return DecodeRanged(
        setup, targetName, Inputs{"REFTST", "R", "In", "DSP_freq", "PWMPER", "Vdc", "MotorPhaseConnectionType"},
        [&setup](double reftst, double r_ohm, double in_A, double dspFreq_Hz, double pwmper, double vdc_V,
                 double connection) {
            const double kU = GetVoltageScale(setup);
            const double phaseR_ohm =
                Truncate(connection) == kConnectionWithThirdOfR ? r_ohm / kPhaseResistanceDivisor : r_ohm;
            const double deadTimeCounts = dspFreq_Hz / (pwmper * 2.0) * GetDeadTime(setup) * vdc_V * kU;
            const double start_percent = (reftst - deadTimeCounts) * kPercent / (kU * (in_A * phaseR_ohm));
            return Ranged{0.0, kMaxStartCurrent_percent, start_percent};
        });
}

// Undoes the register step's coefficient = (1 - exp(-f · T)) · 32767.
double FilterCutoff_Hz(double coefficient, double samplePeriod_s) {
    return -std::log(1.0 - coefficient / kQ15One) / samplePeriod_s;
}

// The speed bound of the speed steps: a quarter pole pitch per half PWM period.
double MaxHallSpeed(double dspFreq_Hz, double polePitch_m, double pwmper) {
    return dspFreq_Hz * polePitch_m * kQuarter / pwmper;
}

// A reversing transmission swaps which drive register holds which load-side limit. Dividing by
// the signed K_P undoes the register step (limit · K_P) exactly in both directions.
int DecodeSoftwareLimit(CMC_Setup& setup, std::string_view targetName, bool negativeLimit) {
    return DecodeRanged(
        setup, targetName, Inputs{"SWPOSLS", "SWNEGLS"}, [&setup, negativeLimit](double swposls, double swnegls) {
            const double kP = GetLoadPositionScale(setup);
            const double perUnit = std::abs(kP);
            const double counts = !IsTransmissionReversed(setup) == negativeLimit ? swnegls : swposls;
            return Ranged{kMinSoftwareLimitCount / perUnit, kMaxSoftwareLimitCount / perUnit, counts / kP};
        });
}

// The analogue input's span: the lower end AD5OFF plus twice the span CADIN · 2^SFTADIN, scaled
// from 16-bit to converter counts. All three pairs take the same span, each in its own unit.
int DecodeSpanMax(CMC_Setup& setup, std::string_view targetName, RangeRule rule) {
    Reads find(setup);
    CMC_Parameter* target = find(targetName);
    CMC_Parameter* cadin = find("CADIN");
    CMC_Parameter* sftadin = find("SFTADIN");
    CMC_Parameter* ad5off = find("AD5OFF");
    if (!find.ok()) return 0;
    const double sign = IsTransmissionReversed(setup) ? -1.0 : 1.0;
    const double upper = Internal(ad5off) + Internal(cadin) * 2.0 * sign * GetADCFullScale(setup) *
                                                (1.0 / regmap::kAngleFullTurn) * std::exp2(Internal(sftadin));
    return ApplyRuleAndInternal(setup, *target, rule, upper);
}

int DecodeSpanMin(CMC_Setup& setup, std::string_view targetName, RangeRule rule) {
    Reads find(setup);
    CMC_Parameter* target = find(targetName);
    CMC_Parameter* ad5off = find("AD5OFF");
    if (!find.ok()) return 0;
    return ApplyRuleAndInternal(setup, *target, rule, Internal(ad5off));
}

// A delay register in slow-loop samples as a time, ranged up to `maxCount` samples or unranged.
constexpr double kUnranged = 0.0;
int DecodeDelay(CMC_Setup& setup, std::string_view targetName, std::string_view registerName, double maxCount) {
    Reads find(setup);
    CMC_Parameter* target = find(targetName);
    CMC_Parameter* count = find(registerName);
    CMC_Parameter* tsS = find("Ts_S");
    if (!find.ok()) return 0;
    const double delay_s = Base(tsS) * Base(count);
    if (maxCount == kUnranged) return WriteBase(*target, delay_s);
    return SetRangeAndValue(*target, 0.0, Base(tsS) * maxCount, delay_s);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Position resolution and loop timing

int Decode_Resolution(CMC_Setup& setup) {
    return DecodeValue(setup, "Resolution", Inputs{"DBTTH"},
                       [](double dbtth) { return std::exp2(regmap::kAngleBits - dbtth); });
}

int Decode_PWM_freq(CMC_Setup& setup) {
    return DecodeValue(setup, "PWM_freq", Inputs{"DSP_freq", "PWMPER"},
                       [](double dsp_Hz, double pwmper) { return dsp_Hz * 0.5 / pwmper; });
}

int Decode_PWMperiod(CMC_Setup& setup) {
    return DecodeValue(setup, "PWMperiod", Inputs{"DSP_freq", "PWMPER"},
                       [](double dsp_Hz, double pwmper) { return pwmper * 2.0 / dsp_Hz; });
}

int Decode_Ts_C(CMC_Setup& setup) {
    return DecodeValue(setup, "Ts_C", Inputs{"CLPER", "PWMPER", "DSP_freq"}, SamplePeriod_s);
}

int Decode_Ts_S(CMC_Setup& setup) {
    return DecodeValue(setup, "Ts_S", Inputs{"SLPER", "PWMPER", "DSP_freq"}, SamplePeriod_s);
}

// ---------------------------------------------------------------------------------------------
// Temperature sensors and drive protections

int Decode_isMotorTemperatureSensor(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsMotorTemperatureSensor); }

int Decode_Motor_TempSensor_Type(CMC_Setup& setup) {
    return DecodeFromRegister(setup, "Motor_TempSensor_Type", "MTSTYPE", kFlagOn,
                              [](double value) { return Truncate(value); });
}

int Decode_isDriveTemperatureSensor(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsDriveTemperatureSensor); }
int Decode_isOverVoltage(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsOverVoltage); }
int Decode_UMAX_PROT(CMC_Setup& setup) { return DecodeBusVoltage(setup, "UMAX_PROT", "UMAXPROT"); }
int Decode_isUnderVoltage(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsUnderVoltage); }
int Decode_UMIN_PROT(CMC_Setup& setup) { return DecodeBusVoltage(setup, "UMIN_PROT", "UMINPROT"); }
int Decode_isDriveOverTemp(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsDriveOverTemp); }

int Decode_Temp_2(CMC_Setup& setup) {
    return DecodeRanged(setup, "Temp_2", Inputs{"T2MAXPROT", "DriveTempOutputAt0oC", "DriveTempSensorGain", "ADCrange"},
                        [&setup](double t2maxprot, double outputAt0_V, double gain_VperDeg, double adcRange_V) {
                            const double sensor_V = adcRange_V * t2maxprot / GetADCFullScale(setup);
                            const double temp_degC = (sensor_V - outputAt0_V) / gain_VperDeg;
                            return Ranged{kMinDriveTemp_degC, kMaxDriveTemp_degC, temp_degC};
                        });
}

int Decode_isDriveI2t(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsDriveI2t); }

int Decode_I_I2t_D(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("I_I2t_D");
    CMC_Parameter* integralLimit = find("I2TINTLIM_D");
    CMC_Parameter* inPS = find("InPS");
    CMC_Parameter* imaxPS = find("ImaxPS");
    if (!find.ok()) return 0;
    // The integral limit holds (I² - I_n²) / 16 in squared current counts.
    const double kI = GetCurrentScale(setup);
    const double nominal = Base(inPS) * kI;
    const double current_A =
        std::sqrt(Internal(integralLimit) * regmap::i2t::kIntegralDivisor + nominal * nominal) * (1.0 / kI);
    return SetRangeAndValue(*target, Base(inPS), Base(imaxPS), current_A);
}

int Decode_t_I2t_D(CMC_Setup& setup) {
    return DecodeRanged(
        setup, "t_I2t_D", Inputs{"Ts_S", "SFI2T_D", "SLPER", "PWMPER", "DSP_freq"},
        [](double tsS_s, double sfi2t, double slper, double pwmper, double dspFreq_Hz) {
            const double tS = SamplePeriod_s(slper, pwmper, dspFreq_Hz);
            return Ranged{tS * kI2tMinSamples, tS * regmap::i2t::kTimeScale, tsS_s * regmap::i2t::kTimeScale / sfi2t};
        });
}

// ---------------------------------------------------------------------------------------------
// Control mode and reference

int Decode_ControlMode(CMC_Setup& setup) {
    return DecodeFromRegister(setup, "ControlMode", "ACR", kModeTorque, [](double acr) {
        if (Bit(acr, regmap::acr::kPositionLoop)) return kModePosition;
        if (Bit(acr, regmap::acr::kSpeedLoop)) return kModeSpeed;
        return kModeTorque;
    });
}

int Decode_ExternalReference(CMC_Setup& setup) {
    return DecodeFromRegister(setup, "ExternalReference", "ACR", kFlagOn, [](double acr) {
        return (static_cast<std::uint32_t>(Truncate(acr)) & kAcrExternalReferenceMask) != 0;
    });
}

int Decode_IsAutoActivatedAfterPowerOn(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsAutoActivated); }

int Decode_Axis_ID_list(CMC_Setup& setup) {
    return DecodeRanged(setup, "Axis_ID_list", Inputs{"AAR_table"}, [](double aar) {
        return Ranged{0.0, kMaxAxisId, aar != 0.0 ? aar - regmap::aar::kAxisIdPresent : 0.0};
    });
}

// ---------------------------------------------------------------------------------------------
// Current loop

int Decode_IlimPS(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("IlimPS");
    CMC_Parameter* acr = find("ACR");
    CMC_Parameter* imaxPS = find("ImaxPS");
    CMC_Parameter* imaxM = find("ImaxM");
    if (!find.ok()) return 0;
    // Looked up before the range is set, so that a missing register changes nothing.
    CMC_Parameter* saturation = find(SpeedLoopClosed(Base(acr)) ? "SATS" : "SATP");
    if (!find.ok()) return 0;
    return SetRangeAndValue(*target, kMinCurrent_A, std::min(Base(imaxPS), Base(imaxM)),
                            SaturationCurrent_A(setup, Base(saturation)));
}

int Decode_Kp_C_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKpC); }
int Decode_Ki_C_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKiC); }

// No register holds it: the default test current is half the smaller nominal current.
int Decode_TestCurrent(CMC_Setup& setup) {
    return DecodeRanged(setup, "TestCurrent", Inputs{"In", "InPS"}, [](double in_A, double inPS_A) {
        const double test_A = std::min(in_A * kTestCurrentShare, inPS_A * kTestCurrentShare);
        return Ranged{kMinCurrent_A, kTestCurrentHeadroom * test_A, test_A};
    });
}

int Decode_TestProtectionCurrent(CMC_Setup& setup) {
    return DecodeProtectionCurrent(setup, "TestProtectionCurrent", 0.0);
}

int Decode_isUseFilterOnCrtCtrlOutput(CMC_Setup& setup) {
    return DecodeOnUnlessCount(setup, "isUseFilterOnCrtCtrlOutput", "FILTERQ", regmap::kFilterOff);
}

int Decode_FilterOnCurrentControllerOutput(CMC_Setup& setup) {
    return DecodeRanged(setup, "FilterOnCurrentControllerOutput", Inputs{"FILTERQ", "DSP_freq", "CLPER", "PWMPER"},
                        [](double filterq, double dspFreq_Hz, double clper, double pwmper) {
                            const double nyquist_Hz = dspFreq_Hz * kQuarter / clper / pwmper;
                            // -ln(1 - q) / T_C, written out from the registers.
                            const double cutoff_Hz =
                                filterq == regmap::kFilterOff
                                    ? kDefaultCurrentFilter_Hz
                                    : std::log(1.0 - filterq / kQ15One) * (-dspFreq_Hz) / clper * 0.5 / pwmper;
                            return Ranged{0.0, nyquist_Hz, cutoff_Hz};
                        });
}

int Decode_isCompensateGravitationalLoads(CMC_Setup& setup) {
    return DecodeOnUnlessCount(setup, "isCompensateGravitationalLoads", "FFL", 0.0);
}

int Decode_OffsetCurrent(CMC_Setup& setup) {
    return DecodeRanged(setup, "OffsetCurrent", Inputs{"FFL", "In"}, [&setup](double ffl, double in_A) {
        return Ranged{-in_A, in_A, ffl / GetCurrentScale(setup)};
    });
}

// ---------------------------------------------------------------------------------------------
// Speed loop

int Decode_Kp_S_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKpS); }
int Decode_Ki_S_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKiS); }
int Decode_IPSatS(CMC_Setup& setup) { return DecodeIntegralSaturation(setup, "IPSatS", "IMAXS", "SATS"); }

int Decode_KFFA_scl(CMC_Setup& setup) {
    return DecodeRanged(setup, "KFFA_scl", Inputs{"KFFA", "SFTAFFW", "SFTKFF"},
                        [](double kffa, double sftaffw, double sftkff) {
                            return Ranged{0.0, kMaxAccelFeedforwardGain, DecodeQ15(kffa, sftkff + sftaffw)};
                        });
}

int Decode_TestLimitCurrent(CMC_Setup& setup) {
    return DecodeRanged(setup, "TestLimitCurrent", Inputs{"SATS", "SATP", "ACR", "ImaxPS", "ImaxM"},
                        [&setup](double sats, double satp, double acr, double imaxPS_A, double imaxM_A) {
                            const double saturation = SpeedLoopClosed(acr) ? sats : satp;
                            return Ranged{0.0, std::min(imaxPS_A, imaxM_A), SaturationCurrent_A(setup, saturation)};
                        });
}

int Decode_TestStartCurrent(CMC_Setup& setup) { return DecodeStartCurrent(setup, "TestStartCurrent"); }

int Decode_Mload_over_M(CMC_Setup& setup) {
    return DecodeRanged(setup, "Mload_over_M", Inputs{"Mt", "M"}, [](double mt_kg, double m_kg) {
        return Ranged{0.0, kMaxLoadToMotorMass, mt_kg / m_kg - 1.0};
    });
}

// ---------------------------------------------------------------------------------------------
// Position loop

int Decode_Kp_P_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKpP); }
int Decode_Ki_P_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKiP); }
int Decode_Kd_P_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKdP); }

int Decode_filter_D(CMC_Setup& setup) {
    return DecodeRanged(setup, "filter_D", Inputs{"KDFP"}, [](double kdfp) {
        return Ranged{0.0, 1.0, kdfp / kQ15One};
    });
}

int Decode_IPSatP(CMC_Setup& setup) { return DecodeIntegralSaturation(setup, "IPSatP", "IMAXP", "SATP"); }

int Decode_Limit_Speed(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("Limit_Speed");
    CMC_Parameter* positionControlType = find("PositionControlType");
    CMC_Parameter* controlMode = find("ControlMode");
    if (!find.ok()) return 0;
    // Only a position loop over the speed loop saturates at a speed; otherwise SATP is a current.
    if (!IsPositionOverSpeed(Base(controlMode), Base(positionControlType))) return 1;
    CMC_Parameter* satp = find("SATP");
    CMC_Parameter* polePitch = find("PolePitch");
    CMC_Parameter* dspFreq = find("DSP_freq");
    CMC_Parameter* pwmper = find("PWMPER");
    if (!find.ok()) return 0;
    return SetRangeAndValue(*target, 0.0, MaxHallSpeed(Base(dspFreq), Base(polePitch), Base(pwmper)),
                            regmap::SaturationLimit(Base(satp)) / std::abs(GetLoadSpeedScale(setup)));
}

int Decode_TestMaxSpeed(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("TestMaxSpeed");
    const auto [polePitch_m, dspFreq_Hz, pwmper] = find.BaseValues(Inputs{"PolePitch", "DSP_freq", "PWMPER"});
    if (!find.ok()) return 0;
    const double max_m_s = MaxHallSpeed(dspFreq_Hz, polePitch_m, pwmper);
    // No register holds the test speed: it is the user's choice (a stroke's worth, far below the
    // electrical limit), so the pass keeps it while it fits the range and only puts a share of
    // the limit in its place when it does not.
    const double speed_m_s = Base(target);
    const bool fits = std::isfinite(speed_m_s) && speed_m_s > 0.0 && speed_m_s <= max_m_s;
    return SetRangeAndValue(*target, 0.0, max_m_s, fits ? speed_m_s : max_m_s * kTestMaxSpeedShare);
}

int Decode_KFFS_scl(CMC_Setup& setup) { return DecodeGain(setup, kGainKffS); }

// ---------------------------------------------------------------------------------------------
// Motor protections

int Decode_isOverCurrent(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsOverCurrent); }
int Decode_Imax_Prot(CMC_Setup& setup) { return DecodeProtectionCurrent(setup, "Imax_Prot", kMinCurrent_A); }
int Decode_time_Imax_Prot(CMC_Setup& setup) { return DecodeSampleCountTime(setup, "time_Imax_Prot", "TIMAXPROT"); }

int Decode_isPositionControlError(CMC_Setup& setup) {
    return DecodeOnUnlessCount(setup, "isPositionControlError", "TERRMAX", regmap::kCheckOff);
}

int Decode_ERR_position(CMC_Setup& setup) {
    return DecodeCountOverScale(setup, "ERR_position", "ERRMAX", 0.0, GetLoadPositionScale);
}

// With the check off (TERRMAX 65535) the time lies above its range and the host clamps it to
// 32767 samples, which is what the register step writes back once the check is switched on.
int Decode_time_ERR_pos(CMC_Setup& setup) { return DecodeSampleCountTime(setup, "time_ERR_pos", "TERRMAX"); }

int Decode_isSpeedControlError(CMC_Setup& setup) {
    return DecodeOnUnlessCount(setup, "isSpeedControlError", "TSERRMAX", regmap::kCheckOff);
}

int Decode_ERR_speed(CMC_Setup& setup) {
    return DecodeCountOverScale(setup, "ERR_speed", "SERRMAX", kMinSpeedError_mps, GetLoadSpeedScale);
}

int Decode_time_ERR_spd(CMC_Setup& setup) { return DecodeSampleCountTime(setup, "time_ERR_spd", "TSERRMAX"); }

int Decode_isMotorOverTemp(CMC_Setup& setup) {
    const double maximum = setup.GetIntOption("DisableMotorTemperature") != 0 ? kFlagOff : kFlagOn;
    return DecodeFlagBit(setup, kIsMotorOverTemp, maximum);
}

int Decode_isMotori2t(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsMotori2t); }

int Decode_I_I2t_M(CMC_Setup& setup) {
    return DecodeRanged(setup, "I_I2t_M", Inputs{"I2TINTLIM_M", "In", "ImaxM"},
                        [&setup](double integralLimit, double in_A, double imaxM_A) {
                            const double kI = GetCurrentScale(setup);
                            const double nominal = in_A * kI;
                            const double current_A =
                                std::sqrt(integralLimit * regmap::i2t::kIntegralDivisor + nominal * nominal) / kI;
                            return Ranged{in_A * kMotorI2tMinShare, imaxM_A, current_A};
                        });
}

int Decode_t_I2t_M(CMC_Setup& setup) {
    return DecodeRanged(setup, "t_I2t_M", Inputs{"SLPER", "PWMPER", "DSP_freq", "SFI2T_M"},
                        [](double slper, double pwmper, double dspFreq_Hz, double sfi2t) {
                            const double tS = SamplePeriod_s(slper, pwmper, dspFreq_Hz);
                            const double time_s = slper * (2.0 * regmap::i2t::kTimeScale) * pwmper / dspFreq_Hz / sfi2t;
                            return Ranged{tS * kI2tMinSamples, tS * regmap::i2t::kTimeScale, time_s};
                        });
}

// ---------------------------------------------------------------------------------------------
// Brake resistor, input polarities, software limits, start

int Decode_isBrakeResistor(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsBrakeResistor); }

int Decode_Vbrake(CMC_Setup& setup) {
    return DecodeRanged(setup, "Vbrake", Inputs{"BRAKELIM", "VdcMaxMeasurable"},
                        [&setup](double brakelim, double vdcMax_V) {
                            return Ranged{kMinBusVoltage_V, vdcMax_V, brakelim / GetVdcScale(setup)};
                        });
}

int Decode_EnablePolarity(CMC_Setup& setup) { return DecodeFlagBit(setup, kEnablePolarity); }
int Decode_LSPPolarity(CMC_Setup& setup) { return DecodeFlagBit(setup, kLSPPolarity); }
int Decode_LSNPolarity(CMC_Setup& setup) { return DecodeFlagBit(setup, kLSNPolarity); }
int Decode_isSWLS(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsSWLS); }
int Decode_Negative_SWLS(CMC_Setup& setup) { return DecodeSoftwareLimit(setup, "Negative_SWLS", true); }
int Decode_Positive_SWLS(CMC_Setup& setup) { return DecodeSoftwareLimit(setup, "Positive_SWLS", false); }

int Decode_isSpeedEstimator(CMC_Setup& setup) {
    return DecodeFromRegister(setup, "isSpeedEstimator", "SCR", kFlagOn, [](double scr) {
        return (static_cast<std::uint32_t>(Truncate(scr)) & regmap::scr::kSpeedEstimatorField) ==
               regmap::scr::kSpeedEstimatorOn;
    });
}

int Decode_StartMode(CMC_Setup& setup) { return DecodeFlagBit(setup, kStartMode); }
int Decode_StartCurrent(CMC_Setup& setup) { return DecodeStartCurrent(setup, "StartCurrent"); }

int Decode_time_AB(CMC_Setup& setup) {
    return DecodeRanged(setup, "time_AB", Inputs{"UPGRADE", "T1ONA"}, [](double upgrade, double t1ona) {
        if (Bit(upgrade, regmap::upgrade::kStartTimeInCentiseconds)) {
            return Ranged{kMinStartTime_s, kMaxStartTimeCoarse_s, t1ona / regmap::upgrade::kCentisecondsPerSecond};
        }
        return Ranged{kMinStartTime_s, kMaxStartTimeFine_s, t1ona / regmap::upgrade::kTimeFractionScale};
    });
}

// ---------------------------------------------------------------------------------------------
// Analogue reference input

int Decode_DeadBand_Point(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("DeadBand_Point");
    CMC_Parameter* level = find("LEVEL_AD5");
    CMC_Parameter* inputRange_V = find("AnalogueInputsRange");
    if (!find.ok()) return 0;
    const double r = Base(inputRange_V);
    // The register counts from the input's lower end.
    const double point_V = r * Base(level) / GetADCFullScale(setup) + GetAnalogueInputSpan(r).low_V;
    return ApplyRuleAndValue(setup, *target, UpdateLimits_DeadBand_Point, point_V);
}

int Decode_DeadBand_Range(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("DeadBand_Range");
    CMC_Parameter* level = find("E_LEVEL_AD5");
    CMC_Parameter* inputRange_V = find("AnalogueInputsRange");
    if (!find.ok()) return 0;
    const double range_V = Base(inputRange_V) * Base(level) / GetADCFullScale(setup);
    // Without its point the band has no bound to keep to, but the register still says its width.
    if (!FindOptional(setup, "DeadBand_Point")) return WriteBase(*target, range_V);
    return ApplyRuleAndValue(setup, *target, UpdateLimits_DeadBand_Range, range_V);
}

int Decode_UseFilter(CMC_Setup& setup) {
    return DecodeOnUnlessCount(setup, "UseFilter", "FILTER1", regmap::kFilterOff);
}

int Decode_filter(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("filter");
    CMC_Parameter* filter1 = find("FILTER1");
    CMC_Parameter* dspFreq = find("DSP_freq");
    CMC_Parameter* slper = find("SLPER");
    CMC_Parameter* pwmper = find("PWMPER");
    find("UseFilter");  // must exist, though the cut-off does not depend on it
    if (!find.ok()) return 0;
    const double tS = SamplePeriod_s(Base(slper), Base(pwmper), Base(dspFreq));
    const double cutoff_Hz =
        Base(filter1) == regmap::kFilterOff ? kDefaultReferenceFilter_Hz : FilterCutoff_Hz(Base(filter1), tS);
    return SetRangeAndValue(*target, 0.0, kNyquist / tS, cutoff_Hz);
}

int Decode_POS_max(CMC_Setup& setup) { return DecodeSpanMax(setup, "POS_max", UpdateLimits_POS_max); }
int Decode_POS_min(CMC_Setup& setup) { return DecodeSpanMin(setup, "POS_min", UpdateLimits_POS_min); }
int Decode_SPD_max(CMC_Setup& setup) { return DecodeSpanMax(setup, "SPD_max", UpdateLimits_SPD_max); }
int Decode_SPD_min(CMC_Setup& setup) { return DecodeSpanMin(setup, "SPD_min", UpdateLimits_SPD_min); }
int Decode_CRT_max(CMC_Setup& setup) { return DecodeSpanMax(setup, "CRT_max", UpdateLimits_CRT_max); }
// No range rule here: the limits pass bounds CRT_min.
int Decode_CRT_min(CMC_Setup& setup) { return DecodeSpanMin(setup, "CRT_min", nullptr); }

// ---------------------------------------------------------------------------------------------
// External reference

int Decode_isLimitMaximum(CMC_Setup& setup) { return DecodeFlagBit(setup, kIsLimitMaximum); }

int Decode_ErefMaxSpeed(CMC_Setup& setup) {
    return DecodeCountOverScale(setup, "ErefMaxSpeed", "CSPD", 0.0, GetLoadSpeedScale);
}

int Decode_ErefMaxAcceleration(CMC_Setup& setup) {
    return DecodeCountOverScale(setup, "ErefMaxAcceleration", "CACC", 0.0, GetLoadAccelerationScale);
}

// Without an analogue input the flag can only be off.
int Decode_isAnalogueReference(CMC_Setup& setup) {
    return DecodeFlagBit(setup, kIsAnalogueReference, HasAnalogueInput(setup) ? kFlagOn : kFlagOff);
}

int Decode_DigitalReferenceType(CMC_Setup& setup) { return DecodeFlagBit(setup, kDigitalReferenceType); }

// ---------------------------------------------------------------------------------------------
// Optional groups

int Decode_save_CAN_baudrate(CMC_Setup& setup) { return DecodeFlagBit(setup, kSaveCanBaudrate); }
int Decode_save_axis_id(CMC_Setup& setup) { return DecodeFlagBit(setup, kSaveAxisId); }

int Decode_isMotorBrake(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("isMotorBrake");
    CMC_Parameter* brakecfg = find("BRAKECFG");
    if (!find.ok()) return 0;
    return SetRangeAndInternal(*target, kFlagOff, kFlagOn, Bit(Internal(brakecfg), regmap::brakecfg::kEnable));
}

int Decode_MotorBrake_output(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("MotorBrake_output");
    CMC_Parameter* brakecfg = find("BRAKECFG");
    if (!find.ok()) return 0;
    const auto pin =
        static_cast<int>((static_cast<std::uint32_t>(Truncate(Internal(brakecfg))) >> regmap::brakecfg::kPinShift) &
                         regmap::brakecfg::kPinMask);
    const int port = setup.GetIOPortFromPin(pin);
    // A pin that no port is wired to names no output: keep the user's choice.
    if (port < 0) return 0;
    return SetInternal(*target, port);
}

int Decode_MotorBrake_releasetime(CMC_Setup& setup) {
    return DecodeDelay(setup, "MotorBrake_releasetime", "BRAKERELEASEDELAY", kUnranged);
}

int Decode_MotorBrake_applytime(CMC_Setup& setup) {
    return DecodeDelay(setup, "MotorBrake_applytime", "BRAKEAPPLYDELAY", kUnranged);
}

int Decode_SpeedForward(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("SpeedForward");
    CMC_Parameter* acr = find("ACR");
    if (!find.ok()) return 0;
    return SetInternal(*target, Bit(Base(acr), regmap::acr::kSpeedForward));
}

// Freezing the control applies to the position mode only.
int Decode_isFreezeControl(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* target = find("isFreezeControl");
    CMC_Parameter* controlMode = find("ControlMode");
    CMC_Parameter* acr = find("ACR");
    if (!find.ok()) return 0;
    const bool on = Bit(Internal(acr), regmap::acr::kFreezeControl) == 1 && Truncate(Internal(controlMode)) == 0;
    return SetRangeAndInternal(*target, kFlagOff, kFlagOn, on ? kFlagOn : kFlagOff);
}

int Decode_FreezeControl_errband(CMC_Setup& setup) {
    return DecodeCountOverScale(setup, "FreezeControl_errband", "POSOKLIM_FC", 0.0, GetLoadPositionScale);
}

int Decode_FreezeControl_time(CMC_Setup& setup) {
    return DecodeDelay(setup, "FreezeControl_time", "TONPOSOK_FC", regmap::kCheckOff);
}

int Decode_InputsPolarityType(CMC_Setup& setup) { return DecodeFlagBit(setup, kInputsPolarityType); }

// ---------------------------------------------------------------------------------------------
// The pass

namespace {

constexpr Step kResolutionSteps[] = {Decode_Resolution};
constexpr Step kTemperatureSensorSteps[] = {Decode_isMotorTemperatureSensor, Decode_Motor_TempSensor_Type};
constexpr Step kTimingSteps[] = {Decode_PWM_freq, Decode_PWMperiod, Decode_Ts_C, Decode_Ts_S};
constexpr Step kDriveProtectionSteps[] = {
    Decode_isDriveTemperatureSensor, Decode_isOverVoltage, Decode_UMAX_PROT,  Decode_isUnderVoltage, Decode_UMIN_PROT,
    Decode_isDriveOverTemp,          Decode_Temp_2,        Decode_isDriveI2t, Decode_I_I2t_D,        Decode_t_I2t_D,
};
constexpr Step kModeSteps[] = {
    Decode_ControlMode,
    Decode_ExternalReference,
    Decode_IsAutoActivatedAfterPowerOn,
    Decode_Axis_ID_list,
};
constexpr Step kCurrentLoopSteps[] = {
    Decode_IlimPS,
    Decode_Kp_C_scl,
    Decode_Ki_C_scl,
    Decode_TestCurrent,
    Decode_TestProtectionCurrent,
    Decode_isUseFilterOnCrtCtrlOutput,
    Decode_FilterOnCurrentControllerOutput,
    Decode_Kp_S_scl,
};
constexpr Step kGravitySteps[] = {Decode_isCompensateGravitationalLoads, Decode_OffsetCurrent};
constexpr Step kSpeedLoopSteps[] = {
    Decode_Ki_S_scl,         Decode_IPSatS,           Decode_KFFA_scl,
    Decode_TestLimitCurrent, Decode_TestStartCurrent, Decode_Mload_over_M,
};
constexpr Step kPositionLoopSteps[] = {
    Decode_Kp_P_scl, Decode_Ki_P_scl,    Decode_Kd_P_scl,     Decode_filter_D,
    Decode_IPSatP,   Decode_Limit_Speed, Decode_TestMaxSpeed, Decode_KFFS_scl,
};
constexpr Step kOverCurrentSteps[] = {Decode_isOverCurrent, Decode_Imax_Prot, Decode_time_Imax_Prot};
constexpr Step kControlErrorSteps[] = {
    Decode_isPositionControlError, Decode_ERR_position, Decode_time_ERR_pos,
    Decode_isSpeedControlError,    Decode_ERR_speed,    Decode_time_ERR_spd,
};
constexpr Step kMotorProtectionSteps[] = {
    Decode_isMotorOverTemp,
    Decode_isMotori2t,
    Decode_I_I2t_M,
    Decode_t_I2t_M,
};
constexpr Step kBrakeResistorAndInputSteps[] = {
    Decode_isBrakeResistor, Decode_Vbrake, Decode_EnablePolarity, Decode_LSPPolarity, Decode_LSNPolarity,
};
constexpr Step kSoftwareLimitSteps[] = {Decode_isSWLS, Decode_Negative_SWLS, Decode_Positive_SWLS};
constexpr Step kSpeedEstimatorSteps[] = {Decode_isSpeedEstimator};
constexpr Step kStartSteps[] = {Decode_StartMode, Decode_StartCurrent, Decode_time_AB};
// The range rules inside these steps read the partners decoded just before them.
constexpr Step kAnalogueInputSteps[] = {
    Decode_DeadBand_Point, Decode_DeadBand_Range, Decode_UseFilter, Decode_filter,  Decode_POS_max,
    Decode_POS_min,        Decode_SPD_max,        Decode_SPD_min,   Decode_CRT_max, Decode_CRT_min,
};
constexpr Step kExternalReferenceSteps[] = {
    Decode_isLimitMaximum,      Decode_ErefMaxSpeed,         Decode_ErefMaxAcceleration,
    Decode_isAnalogueReference, Decode_DigitalReferenceType,
};
constexpr Step kLssSteps[] = {Decode_save_CAN_baudrate, Decode_save_axis_id};
constexpr Step kMotorBrakeSteps[] = {
    Decode_isMotorBrake,
    Decode_MotorBrake_output,
    Decode_MotorBrake_releasetime,
    Decode_MotorBrake_applytime,
};
constexpr Step kSpeedForwardSteps[] = {Decode_SpeedForward};
constexpr Step kFreezeControlSteps[] = {
    Decode_isFreezeControl,
    Decode_FreezeControl_errband,
    Decode_FreezeControl_time,
};
constexpr Step kInputsPolaritySteps[] = {Decode_InputsPolarityType};

// ControlMode (mode group) comes before Limit_Speed and isFreezeControl, which read it.
constexpr PassGroup kPass[] = {
    {nullptr, kResolutionSteps},
    {nullptr, kTemperatureSensorSteps},
    {nullptr, kTimingSteps},
    {nullptr, kDriveProtectionSteps},
    {nullptr, kModeSteps},
    {nullptr, kCurrentLoopSteps},
    {HasGravityCompensation, kGravitySteps},
    {nullptr, kSpeedLoopSteps},
    {nullptr, kPositionLoopSteps},
    {nullptr, kOverCurrentSteps},
    {nullptr, kControlErrorSteps},
    {nullptr, kMotorProtectionSteps},
    {nullptr, kBrakeResistorAndInputSteps},
    {HasSoftwareLimits, kSoftwareLimitSteps},
    {HasSpeedEstimator, kSpeedEstimatorSteps},
    {nullptr, kStartSteps},
    {HasAnalogueInput, kAnalogueInputSteps},
    {nullptr, kExternalReferenceSteps},
    {HasLssSaveFlags, kLssSteps},
    {HasMotorBrake, kMotorBrakeSteps},
    {HasSpeedForward, kSpeedForwardSteps},
    {HasFreezeControl, kFreezeControlSteps},
    {HasInputsPolarity, kInputsPolaritySteps},
};

}  // namespace

void UpdateParametersFromRegisters(CMC_Setup& setup) { RunPass(setup, kPass); }

}  // namespace pelmora
