// The drive's register map: names, flag bits, number formats and the saturation rule. Shared by
// the setup's conversion passes and the simulated drive's firmware so that both read one
// definition; header-only, owned by neither.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace regmap {

// --- Number formats ---

// Q15: a 16-bit signed value v stands for v / 32767.
inline constexpr double kQ15One = 32767.0;
inline constexpr std::int32_t kQ15OneInt = 32767;
// Largest value of a signed 16-bit register.
inline constexpr std::int32_t kMaxRegister15 = 32767;
// A 10-bit ADC read left-aligned into 16 bits: counts are multiples of 64, full scale 65472.
inline constexpr int kAdcBits = 10;
inline constexpr std::int32_t kAdcStep = 64;
inline constexpr std::int32_t kAdcFullScale = 65472;
inline constexpr std::int32_t kAdcMidScale = kAdcFullScale / 2;
// Voltage counts: ±32767 is ±0.55·Vdc, i.e. K_U = 65534 / (1.1·Vdc).
inline constexpr double kVoltageCountSpan = 65534.0;
inline constexpr double kVoltageBusFraction = 1.1;
// Angles are 16 bit: 65536 is one electrical period (one pole pitch).
inline constexpr int kAngleBits = 16;
inline constexpr std::uint32_t kAngleFullTurn = 1U << kAngleBits;
// The Hall gains are Q14: 16384 is unity.
inline constexpr int kHallGainShift = 14;
inline constexpr std::int32_t kHallGainUnity = 1 << kHallGainShift;
// A time-out or error-time register at this value switches its check off.
inline constexpr std::int32_t kCheckOff = 65535;

// Gains are a mantissa and a shift: gain = mantissa · 2^shift / 32767.
struct Q15Gain {
    std::string_view mantissa;
    std::string_view shift;
};
inline constexpr Q15Gain kKpCurrent{"KPI", "SFTKPI"};
inline constexpr Q15Gain kKiCurrent{"KII", "SFTKII"};
inline constexpr Q15Gain kKpSpeed{"KPS", "SFTKPS"};
inline constexpr Q15Gain kKiSpeed{"KIS", "SFTKIS"};
inline constexpr Q15Gain kKpPosition{"KPP", "SFTKPP"};
inline constexpr Q15Gain kKiPosition{"KIP", "SFTKIP"};
inline constexpr Q15Gain kKdPosition{"KDP", "SFTKDP"};
inline constexpr Q15Gain kSpeedFeedforward{"KFFS", "SFTSFFW"};

constexpr double DecodeQ15Gain(double mantissa, double shift) {
    double scale = 1.0;
    for (int i = 0; i < static_cast<int>(shift); ++i) scale *= 2.0;
    return mantissa * scale / kQ15One;
}

// The acceleration feed-forward spreads its shift over two registers:
// gain = KFFA · 2^(SFTKFF + SFTAFFW) / 32767.
inline constexpr std::string_view kAccelFeedforward = "KFFA";
inline constexpr std::string_view kAccelFeedforwardShiftLow = "SFTAFFW";
inline constexpr std::string_view kAccelFeedforwardShiftHigh = "SFTKFF";
inline constexpr int kMaxAccelFeedforwardShiftLow = 11;

// Saturation registers (SATS, IMAXS, SATP, IMAXP, SATID, SATIQ) hold 32767 − limit, so that
// 0 means the widest limit.
constexpr double SaturationRegister(double limit) { return kQ15One - limit; }
constexpr double SaturationLimit(double registerValue) { return kQ15One - registerValue; }
constexpr std::int32_t SaturationLimit(std::int32_t registerValue) { return kQ15OneInt - registerValue; }

// First-order filters (FILTERQ, FILTER1, KDFP): y += a·(x − y), a = register / 32767; 32767 is off.
inline constexpr std::int32_t kFilterOff = 32767;

// --- Registers by name ---

namespace name {
inline constexpr std::string_view kPwmPeriod = "PWMPER";
inline constexpr std::string_view kCurrentLoopPeriod = "CLPER";
inline constexpr std::string_view kSlowLoopPeriod = "SLPER";
inline constexpr std::string_view kDeadTime = "DBT";
inline constexpr std::string_view kPositionShift = "DBTTH";
inline constexpr std::string_view kSatId = "SATID";
inline constexpr std::string_view kSatIq = "SATIQ";
inline constexpr std::string_view kSatPwm = "SATPWM";
inline constexpr std::string_view kFilterQ = "FILTERQ";
inline constexpr std::string_view kGravityOffset = "FFL";
inline constexpr std::string_view kImaxS = "IMAXS";
inline constexpr std::string_view kSatS = "SATS";
inline constexpr std::string_view kImaxP = "IMAXP";
inline constexpr std::string_view kSatP = "SATP";
inline constexpr std::string_view kDerivativeFilter = "KDFP";
inline constexpr std::string_view kImaxProt = "IMAXPROT";
inline constexpr std::string_view kTimeImaxProt = "TIMAXPROT";
inline constexpr std::string_view kErrMax = "ERRMAX";
inline constexpr std::string_view kTimeErrMax = "TERRMAX";
inline constexpr std::string_view kSpeedErrMax = "SERRMAX";
inline constexpr std::string_view kTimeSpeedErrMax = "TSERRMAX";
inline constexpr std::string_view kStartTimeA = "T1ONA";
inline constexpr std::string_view kStartTimeB = "T1ONB";
inline constexpr std::string_view kStartVoltage = "REFTST";
inline constexpr std::string_view kStartVoltageStep = "RINCTST";
inline constexpr std::string_view kNegativeSoftLimit = "SWNEGLS";
inline constexpr std::string_view kPositiveSoftLimit = "SWPOSLS";
inline constexpr std::string_view kTransmission = "TRANSMISSION";
inline constexpr std::string_view kMinimumMove = "ABSTART_MINMOVE";
inline constexpr std::string_view kAnalogueOffset = "AD5OFF";
inline constexpr std::string_view kAnalogueGain = "CADIN";
inline constexpr std::string_view kAnalogueShift = "SFTADIN";
inline constexpr std::string_view kAnalogueFilter = "FILTER1";
inline constexpr std::string_view kAnalogueDeadBand = "LEVEL_AD5";
inline constexpr std::string_view kAnalogueDeadBandWidth = "E_LEVEL_AD5";
inline constexpr std::string_view kHallOffsetA = "HALLAOFF";
inline constexpr std::string_view kHallOffsetB = "HALLBOFF";
inline constexpr std::string_view kHallOffsetC = "HALLCOFF";
inline constexpr std::string_view kHallGainA = "HALLAGAIN";
inline constexpr std::string_view kHallGainB = "HALLBGAIN";
inline constexpr std::string_view kHallGainC = "HALLCGAIN";
inline constexpr std::string_view kHallSpacing = "ALPHA";
inline constexpr std::string_view kHallAngleOffset = "ZAOFF";
inline constexpr std::string_view kAcr = "ACR";
inline constexpr std::string_view kAsr = "ASR";
inline constexpr std::string_view kOsr = "OSR";
inline constexpr std::string_view kPcr = "PCR";
inline constexpr std::string_view kScr = "SCR";
inline constexpr std::string_view kUpgrade = "UPGRADE";
inline constexpr std::string_view kDigitalInputLevels = "DIGIN_ACTIVE_LEVEL";
}  // namespace name

// Biquad slots BQ1..BQ3, each B0, B1, B2, A1, A2, SF; the chain counts say how many slots, taken
// in order, filter the speed reference, the q current reference and the speed feedback.
inline constexpr int kBiquadSlots = 3;
inline constexpr std::array<std::string_view, 6> kBiquadSuffixes{"B0", "B1", "B2", "A1", "A2", "SF"};
inline constexpr std::array<std::string_view, kBiquadSlots> kBiquadChainCounts{"SPDREF_BQ_INI", "IQREF_BQ_INI",
                                                                              "ASPD_BQ_INI"};
// A coefficient C stands for C · SF / 2^31.
inline constexpr int kBiquadCoefficientShift = 31;

// --- Flag registers: bit positions ---

// ACR, the axis control register.
namespace acr {
inline constexpr int kAutoActivate = 1;
inline constexpr int kDigitalReferenceType = 2;  // set: the "type 0" digital reference
inline constexpr int kFreezeControl = 4;
inline constexpr int kAnalogueReference = 6;
inline constexpr int kDigitalReference = 7;
inline constexpr int kCurrentLoop = 8;
inline constexpr int kSpeedLoop = 9;
inline constexpr int kPositionLoop = 10;
inline constexpr int kSpeedForward = 14;
}  // namespace acr

// ASR, the axis setup register.
namespace asr {
inline constexpr int kInputsPolarity = 2;  // clear: the programmable input polarity
inline constexpr int kReversedTransmission = 7;
inline constexpr int kSoftwareLimits = 12;
}  // namespace asr

// PCR, the protections enabled.
namespace pcr {
inline constexpr int kOverCurrent = 0;
inline constexpr int kMotorI2t = 1;
inline constexpr int kMotorOverTemperature = 2;
inline constexpr int kDriveOverTemperature = 3;
inline constexpr int kOverVoltage = 4;
inline constexpr int kUnderVoltage = 5;
inline constexpr int kDriveI2t = 7;
}  // namespace pcr

// OSR: the start-mode selector occupies bits 2 to 4 (0b111 Hall start, 0b001 positioning).
namespace osr {
inline constexpr int kBrakeResistor = 9;
inline constexpr std::uint32_t kStartModeField = 0x001C;
inline constexpr std::uint32_t kStartModeHalls = 0x001C;
inline constexpr std::uint32_t kStartModePositioning = 0x0004;
inline constexpr int kStartModeHallsBit = 3;  // set in the Hall start only
}  // namespace osr

// SCR: sensors and the speed estimator (bits 3 to 5, 0b110 selects it).
namespace scr {
inline constexpr int kMotorTemperatureSensor = 7;
inline constexpr int kDriveTemperatureSensor = 8;
inline constexpr std::uint32_t kSpeedEstimatorField = 0x0038;
inline constexpr std::uint32_t kSpeedEstimatorOn = 0x0030;
}  // namespace scr

// UPGRADE: bit 9 holds T1ONA/T1ONB in centiseconds, else in 1/65535 s; bit 15 is always clear.
namespace upgrade {
inline constexpr int kLimitMaximum = 2;
inline constexpr int kStartTimeInCentiseconds = 9;
inline constexpr std::uint32_t kWritableBits = 0x7FFF;
inline constexpr double kCentisecondsPerSecond = 100.0;
inline constexpr double kTimeFractionScale = 65535.0;
}  // namespace upgrade

// DIGIN_ACTIVE_LEVEL: a set bit means the input is active high.
namespace digin {
inline constexpr int kPositiveLimitSwitch = 13;
inline constexpr int kNegativeLimitSwitch = 14;
inline constexpr int kEnable = 15;
}  // namespace digin

// LSS_Active: a set bit keeps the value from being saved (each is the inverse of its save flag).
namespace lss {
inline constexpr int kAxisIdNotSaved = 0;
inline constexpr int kBaudrateNotSaved = 1;
}  // namespace lss

// BRAKECFG: bit 0 enables the motor brake, the second byte holds its output pin.
namespace brakecfg {
inline constexpr int kEnable = 0;
inline constexpr int kPinShift = 8;
inline constexpr std::uint32_t kPinMask = 0xFF;
}  // namespace brakecfg

// AAR_table holds a configured axis ID plus 256 (bit 8), and 0 for none.
namespace aar {
inline constexpr double kAxisIdPresent = 256.0;
}  // namespace aar

// The i²t protections: SFI2T = T_S · 2^26 / t_I2t, and the integral limits I2TINTLIM hold
// (I² − I_n²) / 16 in squared current counts.
namespace i2t {
inline constexpr double kTimeScale = 67108864.0;
inline constexpr double kIntegralDivisor = 16.0;
}  // namespace i2t

// MER, the error register the drive reports; every set bit has switched the axis off.
namespace mer {
inline constexpr int kCommunication = 0;
inline constexpr int kShortCircuit = 1;
inline constexpr int kOverCurrent = 2;
inline constexpr int kControlError = 3;
inline constexpr int kI2t = 4;
inline constexpr int kHallMissing = 5;
inline constexpr int kPositiveLimitSwitch = 6;
inline constexpr int kNegativeLimitSwitch = 7;
inline constexpr int kOverVoltage = 8;
inline constexpr int kUnderVoltage = 9;
inline constexpr int kDrive = 10;
inline constexpr int kMotorOverTemperature = 11;
inline constexpr int kEnableInactive = 15;
}  // namespace mer

constexpr std::uint32_t BitMask(int bit) { return 1U << bit; }
constexpr bool IsBitSet(std::uint32_t value, int bit) { return (value & BitMask(bit)) != 0; }

}  // namespace regmap
