// Controller gains as the drive holds them: a 16-bit mantissa and a shift,
// gain = mantissa · 2^shift / 32767. One rule for all eight gains and their registers.
#pragma once

#include "MC_Setup.h"

#include <regmap/DriveRegisters.h>

#include <array>
#include <string_view>

namespace pelmora {

using regmap::kQ15One;
// The largest gain a step sets as range: 32767 · 2^14 / 32767.
inline constexpr double kMaxScaledGain = 16384.0;

// A user gain and the two registers that hold it.
struct Q15Gain {
    std::string_view gain;
    std::string_view mantissa;
    std::string_view shift;
};

inline constexpr Q15Gain kGainKpC{"Kp_C_scl", "KPI", "SFTKPI"};
inline constexpr Q15Gain kGainKiC{"Ki_C_scl", "KII", "SFTKII"};
inline constexpr Q15Gain kGainKpS{"Kp_S_scl", "KPS", "SFTKPS"};
inline constexpr Q15Gain kGainKiS{"Ki_S_scl", "KIS", "SFTKIS"};
inline constexpr Q15Gain kGainKpP{"Kp_P_scl", "KPP", "SFTKPP"};
inline constexpr Q15Gain kGainKiP{"Ki_P_scl", "KIP", "SFTKIP"};
inline constexpr Q15Gain kGainKdP{"Kd_P_scl", "KDP", "SFTKDP"};
inline constexpr Q15Gain kGainKffS{"KFFS_scl", "KFFS", "SFTSFFW"};
inline constexpr std::array<Q15Gain, 8> kQ15Gains = {kGainKpC, kGainKiC, kGainKpS, kGainKiS,
                                                     kGainKpP, kGainKiP, kGainKdP, kGainKffS};

struct Q15Value {
    double mantissa;
    double shift;
};

// shift = 0 for gain ≤ 1, else ceil(log2 gain); mantissa = gain · 32767 / 2^shift.
Q15Value EncodeQ15(double gain);
double DecodeQ15(double mantissa, double shift);

// The register steps of one gain: its shift register, its mantissa register.
int EncodeGainShift(CMC_Setup& setup, const Q15Gain& gain);
int EncodeGainMantissa(CMC_Setup& setup, const Q15Gain& gain);
// The recovery step of one gain: range 0 to 16384, then the value from the two registers.
int DecodeGain(CMC_Setup& setup, const Q15Gain& gain);

// The acceleration feed-forward gain spreads its shift n over two registers:
// SFTAFFW = min(n, 11) and SFTKFF = the rest.
inline constexpr int kMaxAccelFeedforwardShift = 11;
struct AccelFeedforwardValue {
    double kffa;
    double sftaffw;
    double sftkff;
};
AccelFeedforwardValue EncodeAccelFeedforward(double gain, int shift);

}  // namespace pelmora
