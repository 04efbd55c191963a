// The firmware's fixed-point building blocks, exactly as the registers encode them.
#pragma once

#include "regmap/DriveRegisters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace drivesim::detail {

// A Q15 gain from its two registers: gain = mantissa · 2^shift / 32767, applied as
// (mantissa · x · 2^shift) >> 15 (÷32768 instead of ÷32767 is 3·10⁻⁵ low).
struct Q15Gain {
    std::int32_t mantissa = 0;
    std::int32_t shift = 0;
    std::int64_t Apply(std::int64_t x) const {
        const std::int64_t product = static_cast<std::int64_t>(mantissa) * x;
        // (product·2^shift) >> 15 as one shift, which also keeps the product from overflowing.
        const std::int32_t up = shift - 15;
        return up >= 0 ? product << up : product >> -up;
    }
    double Value() const { return regmap::DecodeQ15Gain(mantissa, shift); }
};

// floor(x) for |x| < 2^52. One instruction where the instruction set rounds (SSE4.1); otherwise
// a truncation and its correction rather than the library's call. The per-period path rounds
// through it, so that a value rounded on the way to the next step stays a double: a round trip
// through an integer register costs two conversions' latency on the period's chain.
inline double Floor(double x) {
#if defined(__SSE4_1__)
    return std::floor(x);
#else
    const double t = static_cast<double>(static_cast<std::int64_t>(x));
    return t - static_cast<double>(t > x);
#endif
}

// Nearest integer, halves away from zero, saturated to 32 bits; NaN reads as 0. Truncation and a
// correction instead of the library's round, which is an out-of-line call on the per-period path.
inline std::int32_t RoundSaturated(double x) {
    if (x != x) return 0;
    const double c = std::min(std::max(x, -2147483648.0), 2147483647.0);  // no branch on the signal
    auto n = static_cast<std::int64_t>(c);
    const double rest = c - static_cast<double>(n);  // exact: |c| < 2^52
    // Without branches: the rest is as likely above as below a half.
    n += static_cast<std::int64_t>(rest >= 0.5) - static_cast<std::int64_t>(rest <= -0.5);
    // Within range already: c was clamped to whole bounds, so its nearest integer is too.
    return static_cast<std::int32_t>(n);
}

// floor(x + ½) for |x| < 2^31, as the firmware rounds angles: halves go up, also below zero.
inline std::int32_t RoundHalfUp(double x) { return static_cast<std::int32_t>(Floor(x + 0.5)); }

inline std::int64_t Clamp(std::int64_t x, std::int64_t limit) { return std::clamp(x, -limit, limit); }

// Parallel PI: u[k] = Kp·e[k] + Ki·Σe, the sum held only while the integral term stays within
// the limit (so that the integral never winds up beyond what the output can use).
struct PiController {
    Q15Gain kp;
    Q15Gain ki;
    std::int64_t sum = 0;

    std::int32_t Step(std::int64_t error, std::int64_t integral_limit, std::int64_t output_limit) {
        const std::int64_t candidate = sum + error;
        std::int64_t integral = ki.Apply(candidate);
        if (integral > integral_limit || integral < -integral_limit) {
            integral = Clamp(ki.Apply(sum), integral_limit);
        } else {
            sum = candidate;
        }
        return static_cast<std::int32_t>(Clamp(kp.Apply(error) + integral, output_limit));
    }
    void Reset() { sum = 0; }
};

// First-order filter y += a·(x − y), a = coefficient / 32767; 32767 passes the input through.
struct FirstOrderFilter {
    std::int32_t coefficient = regmap::kFilterOff;
    std::int64_t y = 0;
    std::int64_t Step(std::int64_t x) {
        if (coefficient >= regmap::kFilterOff) return y = x;
        y += (static_cast<std::int64_t>(coefficient) * (x - y)) >> 15;
        return y;
    }
};

// Biquad y = b0·x + b1·x₁ + b2·x₂ − a1·y₁ − a2·y₂ with coefficients C·SF/2^31, in a 64-bit
// accumulator.
struct Biquad {
    std::int64_t b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0, sf = 0;
    std::int64_t x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    std::int64_t Step(std::int64_t x) {
        // Wide enough for a 32-bit coefficient times a 32-bit scale times a 32-bit signal.
        __extension__ using Wide = __int128;
        const Wide acc = static_cast<Wide>(b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) * sf;
        const auto y = static_cast<std::int64_t>(acc >> regmap::kBiquadCoefficientShift);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    void Reset() { x1 = x2 = y1 = y2 = 0; }
};

}  // namespace drivesim::detail
