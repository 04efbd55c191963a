#include "BaseQuantities.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numbers>
#include <string_view>

namespace pelmora {

namespace {

constexpr double kPositionBits = 16.0;
constexpr double kOutputVoltageCounts = 65534.0;
// The PWM output can reach 10 % above the bus voltage (over-modulation headroom).
constexpr double kOutputVoltageHeadroom = 1.1;
constexpr double kMaxQ15 = 32767.0;
// One angle count of the test angle THTST: a half turn spread over the Q15 range.
constexpr double kTestAngleStep_rad = std::numbers::pi / kMaxQ15;
constexpr double kDeadTimeWhenUnset_s = 1e-6;
constexpr double kDefaultDeadTimeTickFactor = 0.5;
constexpr double kPercent = 100.0;
constexpr double kTwoPow32 = 4294967296.0;
constexpr double kReferenceSpanCounts = 65536.0;

double Base(const CMC_Setup& setup, std::string_view name) { return setup.GetParameterValueInBaseUnit(name); }
double Internal(const CMC_Setup& setup, std::string_view name) { return setup.GetParameterValueInInternalUnit(name); }

bool NameIn(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::any_of(names.begin(), names.end(), [name](std::string_view n) { return EqualsNoCase(n, name); });
}

// Limits, error bands and test amplitudes: their factors stay positive when the transmission
// reverses, while every other load-side factor turns negative.
bool IsUnsignedPosition(std::string_view name) {
    return NameIn(name, {"ERR_position", "FreezeControl_errband", "TestPosition", "POS_max", "POS_min"});
}
bool IsUnsignedSpeed(std::string_view name) {
    return NameIn(name, {"ERR_speed", "Limit_Speed", "ErefMaxSpeed", "TestSpeed", "SPD_max", "SPD_min"});
}
// Motor-side speeds: scaled without the transmission.
bool IsMotorSpeed(std::string_view name) {
    return NameIn(name, {"Motor_Speed", "ASPD", "ASPD_MT", "TestMaxSpeed", "SPDREF", "Motor_Speed_Reference"});
}

// The degree sign of "°C" comes as the single Windows-1252 byte 0xB0 or as UTF-8.
bool IsCelsius(std::string_view unit) {
    return EqualsNoCase(unit,
                        "\xB0"
                        "C") ||
           EqualsNoCase(unit,
                        "\xC2\xB0"
                        "C");
}

double Finite(double value) { return std::isfinite(value) ? value : 0.0; }

double LoadPositionFactor(const CMC_Setup& setup, std::string_view name) {
    const double kP = GetLoadPositionScale(setup);
    return IsUnsignedPosition(name) ? 1.0 / std::abs(kP) : 1.0 / kP;
}

double LoadSpeedFactor(const CMC_Setup& setup, std::string_view name) {
    const double kV = GetLoadSpeedScale(setup);
    return IsUnsignedSpeed(name) ? 1.0 / std::abs(kV) : 1.0 / kV;
}

double RawScaleFactor(const CMC_Setup& setup, std::string_view unit, std::string_view name) {
    if (EqualsNoCase(unit, "V ")) return 1.0 / GetVdcScale(setup);
    if (EqualsNoCase(unit, "V")) {
        if (EqualsNoCase(name, "AnalogueInputsRange")) return 1.0;
        if (NameIn(name, {"DeadBand_Point", "DeadBand_Range", "AD2", "AD2FIL_VAL", "AD5"})) {
            return Base(setup, "AnalogueInputsRange") / GetADCFullScale(setup);
        }
        return 1.0 / GetVoltageScale(setup);
    }
    if (EqualsNoCase(unit, "A")) return 1.0 / GetCurrentScale(setup);
    if (EqualsNoCase(unit, "s")) {
        return EqualsNoCase(name, "Ts_C") ? GetCurrentLoopPeriod(setup) : GetSpeedLoopPeriod(setup);
    }
    if (EqualsNoCase(unit, "rad")) {
        if (NameIn(name, {"Motor_Position", "APOS_MT"})) return 1.0 / GetMotorPositionScale(setup);
        if (EqualsNoCase(name, "THTST")) return kTestAngleStep_rad;
        return LoadPositionFactor(setup, name);
    }
    if (EqualsNoCase(unit, "m")) return LoadPositionFactor(setup, name);
    if (EqualsNoCase(unit, "rad/s")) {
        if (IsMotorSpeed(name)) return 1.0 / GetMotorSpeedScale(setup);
        if (EqualsNoCase(name, "TINCTST")) {
            // r = MECRESL * ENC2THL / 2^32, normally 1 (ENC2THL = 2^32 / Resolution, MECRESL = Resolution).
            const double r = RoundDecimalValue(Internal(setup, "MECRESL") * Internal(setup, "ENC2THL") / kTwoPow32, 0);
            return kTestAngleStep_rad / GetCurrentLoopPeriod(setup) / r;
        }
        return LoadSpeedFactor(setup, name);
    }
    if (EqualsNoCase(unit, "m/s")) return LoadSpeedFactor(setup, name);
    if (EqualsNoCase(unit, "rad/s^2") || EqualsNoCase(unit, "m/s^2")) return 1.0 / GetLoadAccelerationScale(setup);
    if (EqualsNoCase(unit, "rad/s^3") || EqualsNoCase(unit, "m/s^3")) return 1.0 / GetLoadJerkScale(setup);
    if (IsCelsius(unit)) {
        return 1.0 / (GetADCFullScale(setup) * Base(setup, "DriveTempSensorGain") / Base(setup, "ADCrange"));
    }
    if (EqualsNoCase(unit, "V/s")) return (1.0 / GetVoltageScale(setup)) / GetSpeedLoopPeriod(setup);
    if (EqualsNoCase(unit, "A/s")) return (1.0 / GetCurrentScale(setup)) / GetSpeedLoopPeriod(setup);
    return 1.0;
}

}  // namespace

double GetADCFullScale(const CMC_Setup& setup) { return static_cast<double>(Compute_ADCMaxValue(&setup)); }

double GetCurrentLoopPeriod(const CMC_Setup& setup) {
    return 2.0 * Base(setup, "CLPER") * Base(setup, "PWMPER") / Base(setup, "DSP_freq");
}

double GetSpeedLoopPeriod(const CMC_Setup& setup) {
    return 2.0 * Base(setup, "SLPER") * Base(setup, "PWMPER") / Base(setup, "DSP_freq");
}

double GetVoltageScale(const CMC_Setup& setup) {
    return kOutputVoltageCounts / (Base(setup, "Vdc") * kOutputVoltageHeadroom);
}

double GetVdcScale(const CMC_Setup& setup) { return GetADCFullScale(setup) / Base(setup, "VdcMaxMeasurable"); }

double GetCurrentScale(const CMC_Setup& setup) { return GetADCFullScale(setup) / (Base(setup, "ImaxPS") * 2.0); }

double GetCountsPerPolePitch(const CMC_Setup& setup) { return std::exp2(kPositionBits - Base(setup, "DBTTH")); }

double GetTransmissionRatio(const CMC_Setup& setup) {
    return Base(setup, "Motor_transmission") / Base(setup, "Load_transmission");
}

double GetMotorPositionScale(const CMC_Setup& setup) { return GetCountsPerPolePitch(setup) / Base(setup, "PolePitch"); }

double GetLoadPositionScale(const CMC_Setup& setup) {
    return GetTransmissionRatio(setup) * (GetCountsPerPolePitch(setup) / Base(setup, "PolePitch"));
}

double GetMotorSpeedScale(const CMC_Setup& setup) {
    return GetSpeedLoopPeriod(setup) * (GetCountsPerPolePitch(setup) / Base(setup, "PolePitch"));
}

double GetLoadSpeedScale(const CMC_Setup& setup) {
    return GetSpeedLoopPeriod(setup) * (GetCountsPerPolePitch(setup) / Base(setup, "PolePitch")) *
           GetTransmissionRatio(setup);
}

double GetLoadAccelerationScale(const CMC_Setup& setup) {
    const double tS = GetSpeedLoopPeriod(setup);
    return (GetCountsPerPolePitch(setup) / Base(setup, "PolePitch")) * tS * tS * GetTransmissionRatio(setup);
}

double GetLoadJerkScale(const CMC_Setup& setup) {
    const double tS = GetSpeedLoopPeriod(setup);
    return (GetCountsPerPolePitch(setup) / Base(setup, "PolePitch")) * tS * tS * tS * GetTransmissionRatio(setup);
}

double GetDeadTime(const CMC_Setup& setup) {
    const CMC_Parameter* dbt = nullptr;
    const CMC_Parameter* dbtpc = nullptr;
    {
        CMC_QuietErrors quiet;
        dbt = setup.FindParameter("DBT");
        dbtpc = setup.FindParameter("DBTPC");
    }
    if (!dbt) return 0.0;
    // DBT holds the dead times of the two switching edges in clock ticks, one per byte.
    const auto d = static_cast<std::int32_t>(dbt->GetValueInBaseUnit());
    if (d == 0) return kDeadTimeWhenUnset_s;
    const unsigned ticks = std::max(static_cast<unsigned>(d) & 0xFFU, (static_cast<unsigned>(d) >> 8) & 0xFFU);
    const double tickFactor = dbtpc ? dbtpc->GetValueInBaseUnit() / kPercent : kDefaultDeadTimeTickFactor;
    return ticks * tickFactor / Base(setup, "DSP_freq");
}

int GetAccelFeedforwardShift(const CMC_Setup& setup) {
    const double kffa = Base(setup, "KFFA_scl");
    if (kffa <= 1.0) return 0;
    return static_cast<int>(std::ceil(std::log(kffa) / std::log(2.0)));
}

double GetAnalogueReferenceSpan(const CMC_Setup& setup) {
    const auto mode = static_cast<int>(Base(setup, "ControlMode"));
    const char* maxName = mode == 0 ? "POS_max" : mode == 1 ? "SPD_max" : "CRT_max";
    const char* minName = mode == 0 ? "POS_min" : mode == 1 ? "SPD_min" : "CRT_min";
    const double b =
        (Internal(setup, maxName) - Internal(setup, minName)) * 0.5 * kReferenceSpanCounts / GetADCFullScale(setup);
    return IsTransmissionReversed(setup) ? -b : b;
}

double NearestLoopDivider(double period_s, double dspFreq_Hz, double pwmper) {
    constexpr double kSmallestDivider = 1.0;
    return std::max(std::floor(dspFreq_Hz * period_s * 0.5 / pwmper + 0.5), kSmallestDivider);
}

double I2tCurrentForTime(double current_A, double wanted_s, double actual_s) {
    if (actual_s == wanted_s || !(actual_s > 0.0) || !(wanted_s > 0.0)) return current_A;
    return current_A * std::sqrt(wanted_s / actual_s);
}

bool IsReversingTransmission(double motorTransmission, double loadTransmission) {
    return (motorTransmission < 0.0 && loadTransmission > 0.0) || (motorTransmission > 0.0 && loadTransmission < 0.0);
}

bool IsTransmissionReversed(const CMC_Setup& setup) {
    // An infinite K_P comes from a 0 load side, which has no direction either.
    const double kP = GetLoadPositionScale(setup);
    return std::isfinite(kP) && kP < 0.0;
}

AnalogueInputSpan GetAnalogueInputSpan(double inputsRange_V) {
    constexpr double kBipolarRange_V = 20.0;
    constexpr double kBipolarHalf_V = 10.0;
    constexpr double kUnipolar5V_V = 5.0;
    constexpr double kUnipolar3V3_V = 3.3;
    if (inputsRange_V == kBipolarRange_V) return {-kBipolarHalf_V, kBipolarHalf_V};
    if (inputsRange_V == kUnipolar5V_V) return {0.0, kUnipolar5V_V};
    return {0.0, kUnipolar3V3_V};
}

double ScaleFactor(const CMC_Setup& setup, const char* unit, const char* name) {
    if (!unit) return 1.0;
    return Finite(RawScaleFactor(setup, unit, name ? name : ""));
}

void AttachCoreScales(CMC_Setup& setup) {
    setup.SetScaleProvider(
        {[](CMC_Setup* s, const char* unit, const char* name) { return ScaleFactor(*s, unit, name); },
         [](CMC_Setup* s, const char* unit) { return ScaleOffset(*s, unit); }});
}

double ScaleOffset(const CMC_Setup& setup, const char* unit) {
    if (!unit || !IsCelsius(unit)) return 0.0;
    return Finite(-(GetADCFullScale(setup) * Base(setup, "DriveTempOutputAt0oC") / Base(setup, "ADCrange")));
}

}  // namespace pelmora
