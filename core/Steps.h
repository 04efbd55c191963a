// What every conversion step shares: looking up its parameters in order (stopping at the first
// missing one) and writing a result only when it is a finite number.
#pragma once

#include "MC_Setup.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

namespace pelmora {

// The names a step reads, in look-up order: Inputs{"DSP_freq", "PWM_freq"}.
template <std::size_t N>
struct Inputs {
    std::array<std::string_view, N> names;
};
template <typename... Names>
Inputs(Names...) -> Inputs<sizeof...(Names)>;

// Looks parameters up one after another. After the first missing name every further look-up
// answers null without asking the host, so the host reports only that first name.
class Reads {
public:
    explicit Reads(const CMC_Setup& setup) : m_setup(setup) {}

    CMC_Parameter* operator()(std::string_view name) {
        if (!m_ok) return nullptr;
        CMC_Parameter* parameter = m_setup.FindParameter(name);
        m_ok = parameter != nullptr;
        if (!m_ok) m_missing = name;
        return parameter;
    }
    bool ok() const { return m_ok; }
    // The first name the setup lacked.
    std::string_view missing() const { return m_missing; }

    // Looks up every input in order and returns their values in base units (0 for a missing
    // one; ok() then tells).
    template <std::size_t N>
    std::array<double, N> BaseValues(const Inputs<N>& inputs) {
        std::array<double, N> values{};
        for (std::size_t i = 0; i < N; ++i) {
            const CMC_Parameter* parameter = (*this)(inputs.names[i]);
            values[i] = parameter ? parameter->GetValueInBaseUnit() : 0.0;
        }
        return values;
    }

private:
    const CMC_Setup& m_setup;
    bool m_ok = true;
    std::string_view m_missing;
};

// Looks a name up with the host's error display off: for optional parameters.
inline CMC_Parameter* FindOptional(const CMC_Setup& setup, std::string_view name) {
    CMC_QuietErrors quiet;
    return setup.FindParameter(name);
}

// An optional parameter's value in base units, or nothing when the setup lacks it.
inline std::optional<double> OptionalValue(const CMC_Setup& setup, std::string_view name) {
    const CMC_Parameter* parameter = FindOptional(setup, name);
    if (!parameter) return std::nullopt;
    return parameter->GetValueInBaseUnit();
}

inline bool AllFinite(std::initializer_list<double> values) {
    for (double v : values) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// The smaller and larger of two bounds, NaN when either is: std::min and std::max answer their
// first argument when the second is NaN, which would apply a rule whose scale is unusable.
inline double SmallerBound(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::nan("");
    return a < b ? a : b;
}
inline double LargerBound(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::nan("");
    return a > b ? a : b;
}

// Writes a step's result in base units: 1, or 0 with nothing written when it is not finite
// (a zero divisor or the logarithm of a non-positive number in the setup).
inline int WriteBase(CMC_Parameter& target, double value) {
    if (!std::isfinite(value)) return 0;
    return target.SetValueInBaseUnit(value) ? 1 : 0;
}

// The same in the parameter's internal unit.
inline int WriteInternal(CMC_Parameter& target, double value) {
    if (!std::isfinite(value)) return 0;
    return target.SetValueInInternalUnit(value) ? 1 : 0;
}

// Truncation toward zero to a 32-bit integer, as the drive's flag and selector rules read values.
// Values of unsigned 32-bit registers (2^31 and up) keep their bit pattern; NaN reads as 0 and
// anything beyond 32 bits saturates.
inline std::int32_t Truncate(double value) {
    constexpr double kMin = -2147483648.0;
    constexpr double kUnsignedEnd = 4294967296.0;
    if (std::isnan(value)) return 0;
    const double whole = std::trunc(value);
    if (whole < kMin) return INT32_MIN;
    if (whole >= kUnsignedEnd) return INT32_MAX;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(whole)));
}

// Truncation toward zero for the registers that the drive takes as the whole count below a value,
// except that a value within round-off of a whole number is that number: a register read back
// through exp and log, or through a scale and its inverse, returns a few ulps short of itself, and
// plain truncation would lose one count on every round trip.
inline double TruncateCount(double value) {
    constexpr double kRelativeRoundOff = 1e-9;
    const double nearest = std::round(value);
    if (std::abs(value - nearest) <= kRelativeRoundOff * std::fmax(1.0, std::abs(value))) return nearest;
    return std::trunc(value);
}

// Bit n of a register value read as a double: truncated to 32 bits, shifted, lowest bit.
inline int Bit(double registerValue, int n) {
    return static_cast<int>((static_cast<std::uint32_t>(Truncate(registerValue)) >> n) & 1U);
}

// `value` with the bits of `mask` set when `on`, else cleared.
constexpr std::uint32_t WithBits(std::uint32_t value, std::uint32_t mask, bool on) {
    return on ? (value | mask) : (value & ~mask);
}

// A flag parameter counts as set when its value truncates to exactly 1.
inline bool IsSet(double flag) { return Truncate(flag) == 1; }
// Some rules test a flag for any non-zero value instead.
inline bool IsNonZero(double flag) { return Truncate(flag) != 0; }

// ControlMode values, and the PositionControlType whose position loop drives a speed loop.
enum ControlModeValue : int { kPositionMode = 0, kSpeedMode = 1, kTorqueMode = 2 };
constexpr int kPositionOverSpeed = 1;

// True when the position loop drives a speed loop: position mode with PositionControlType 1.
inline bool IsPositionOverSpeed(double controlMode, double positionControlType) {
    return Truncate(positionControlType) == kPositionOverSpeed && Truncate(controlMode) == kPositionMode;
}

// A pass is an ordered table of groups: each a run of steps, and the probe that tells whether
// the setup has their parameters (null: always). A step that cannot do its work leaves its
// target alone, and the pass goes on regardless.
using Step = int (*)(CMC_Setup& setup);
using FeatureProbe = bool (*)(const CMC_Setup& setup);
struct PassGroup {
    FeatureProbe probe;
    std::span<const Step> steps;
};

inline void RunPass(CMC_Setup& setup, std::span<const PassGroup> pass) {
    for (const PassGroup& group : pass) {
        if (group.probe && !group.probe(setup)) continue;
        for (Step step : group.steps) step(setup);
    }
}

}  // namespace pelmora
