#include "Limits.h"

#include "BaseQuantities.h"
#include "FeatureProbes.h"
#include "Steps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace pelmora {

namespace {

// The largest magnitude a signed 16-bit register holds.
constexpr double kMaxRegister16 = 32767.0;
// The longest time a 16-bit unsigned period counter holds, in slow-loop samples.
constexpr double kMaxSamples16 = 65535.0;
// Nyquist: half the slow loop's sampling frequency.
constexpr double kNyquistFactor = 0.5;
constexpr int kBiquadFilters = 3;

double Value(const CMC_Setup& setup, std::string_view name) { return setup.GetParameterValueInBaseUnit(name); }

// Sets only the maximum; a bound that is not finite (a zero scale) leaves the range as it is.
void SetMax(CMC_Parameter& parameter, double maximum) {
    if (std::isfinite(maximum)) parameter.SetMaxInBaseUnit(maximum);
}

// A table row that sets only a maximum.
struct MaxRule {
    std::string_view name;
    double (*maximum)(const CMC_Setup& setup);
};

// A table row that sets both bounds.
struct RangeRule {
    std::string_view name;
    double (*minimum)(const CMC_Setup& setup);
    double (*maximum)(const CMC_Setup& setup);
};

// A scale or period that a bound is built from; NaN when it is zero or not finite, so that the
// rule using it is skipped instead of collapsing a range to 0 (a zero divisor in the setup).
double Usable(double scale) {
    return std::isfinite(scale) && scale != 0.0 ? scale : std::numeric_limits<double>::quiet_NaN();
}
double SlowPeriod(const CMC_Setup& s) { return Usable(GetSpeedLoopPeriod(s)); }
double SpeedScale(const CMC_Setup& s) { return std::abs(Usable(GetLoadSpeedScale(s))); }
double PositionScale(const CMC_Setup& s) { return std::abs(Usable(GetLoadPositionScale(s))); }
double CurrentScale(const CMC_Setup& s) { return Usable(GetCurrentScale(s)); }

double Ts(const CMC_Setup& s) { return SlowPeriod(s); }
double TwoTs(const CMC_Setup& s) { return 2.0 * SlowPeriod(s); }
double LongestTime(const CMC_Setup& s) { return SlowPeriod(s) * kMaxSamples16; }
double LongestErrorTime(const CMC_Setup& s) { return kMaxRegister16 * SlowPeriod(s); }
double LargestSpeed(const CMC_Setup& s) { return kMaxRegister16 / SpeedScale(s); }
double LargestPosition(const CMC_Setup& s) { return kMaxRegister16 / PositionScale(s); }

// The test position's amplitude: what the shorter acceleration ramp reaches at 32767 counts
// per sample.
double TestPositionLimit(const CMC_Setup& s) {
    const double tS = SlowPeriod(s);
    const double kP = PositionScale(s);
    return SmallerBound(Value(s, "TaNP") / tS * kMaxRegister16 / kP, Value(s, "TaPP") / tS * kMaxRegister16 / kP);
}
double TestSpeedLimit(const CMC_Setup& s) { return SmallerBound(LargestSpeed(s), Value(s, "Limit_Speed")); }

constexpr MaxRule kErrorRules[] = {
    {"ERR_speed", LargestSpeed},
    {"ERR_position", LargestPosition},
    {"time_ERR_spd", LongestErrorTime},
    {"time_ERR_pos", LongestErrorTime},
};

constexpr RangeRule kRangeRules[] = {
    {"PB_C", [](const CMC_Setup& s) { return Value(s, "PB_C_minim"); },
     [](const CMC_Setup& s) { return Value(s, "PB_C_maxim"); }},
    {"PB_S", [](const CMC_Setup& s) { return Value(s, "PB_S_minim"); },
     [](const CMC_Setup& s) { return Value(s, "PB_S_maxim"); }},
    {"PB_P", [](const CMC_Setup& s) { return Value(s, "PB_P_minim"); },
     [](const CMC_Setup& s) { return Value(s, "PB_P_maxim"); }},
    // Reference profile times of the position and speed tuning tests; the position ramps need
    // at least two samples.
    {"TPP", Ts, LongestTime},
    {"TNP", Ts, LongestTime},
    {"TaPP", TwoTs, LongestTime},
    {"TaNP", TwoTs, LongestTime},
    {"TPS", Ts, LongestTime},
    {"TNS", Ts, LongestTime},
    {"TaPS", Ts, LongestTime},
    {"TaNS", Ts, LongestTime},
    // These two read the ramps and Limit_Speed just set above.
    {"TestPosition", [](const CMC_Setup& s) { return -TestPositionLimit(s); }, TestPositionLimit},
    {"TestSpeed", [](const CMC_Setup& s) { return -TestSpeedLimit(s); }, TestSpeedLimit},
};

CMC_Parameter* Find(const CMC_Setup& setup, std::string_view name) { return setup.FindParameter(name); }

// Applies one range rule to `name`, whose partner values are read after it is found.
template <typename Bounds>
int ApplyRange(CMC_Setup& setup, std::string_view name, Bounds bounds) {
    CMC_Parameter* parameter = Find(setup, name);
    if (!parameter) return 0;
    const auto [minimum, maximum] = bounds();
    return SetParameterRange(*parameter, minimum, maximum);
}

}  // namespace

int SetParameterRange(CMC_Parameter& parameter, double minimum, double maximum) {
    if (!std::isfinite(minimum) || !std::isfinite(maximum) || minimum > maximum) return 0;
    if (parameter.GetMaxInBaseUnit() < parameter.GetMinInBaseUnit()) {
        parameter.SetMaxInBaseUnit(parameter.GetMinInBaseUnit());
    }
    if (minimum > parameter.GetMaxInBaseUnit()) {
        parameter.SetMaxInBaseUnit(maximum);
        parameter.SetMinInBaseUnit(minimum);
    } else {
        parameter.SetMinInBaseUnit(minimum);
        parameter.SetMaxInBaseUnit(maximum);
    }
    return 1;
}

int UpdateLimits_DeadBand_Point(CMC_Setup& setup) {
    return ApplyRange(setup, "DeadBand_Point", [&] {
        const AnalogueInputSpan span = GetAnalogueInputSpan(Value(setup, "AnalogueInputsRange"));
        return std::pair{span.low_V, span.high_V};
    });
}

int UpdateLimits_DeadBand_Range(CMC_Setup& setup) {
    CMC_Parameter* point = Find(setup, "DeadBand_Point");
    if (!point) return 0;
    CMC_Parameter* range = Find(setup, "DeadBand_Range");
    if (!range) return 0;
    const double p = point->GetValueInBaseUnit();
    const double lo = point->GetMinInBaseUnit();
    const double hi = point->GetMaxInBaseUnit();
    // The new scheme lets the band cover the whole input; the old one keeps it inside both ends.
    const double maximum = IsNewDeadBand(setup) ? hi - lo : SmallerBound(p - lo, hi - p);
    return SetParameterRange(*range, 0.0, maximum);
}

int UpdateLimits_POS_max(CMC_Setup& setup) {
    return ApplyRange(setup, "POS_max", [&] { return std::pair{Value(setup, "POS_min"), LargestPosition(setup)}; });
}

int UpdateLimits_POS_min(CMC_Setup& setup) {
    return ApplyRange(setup, "POS_min", [&] { return std::pair{-LargestPosition(setup), Value(setup, "POS_max")}; });
}

int UpdateLimits_SPD_max(CMC_Setup& setup) {
    return ApplyRange(setup, "SPD_max", [&] {
        return std::pair{Value(setup, "SPD_min"), SmallerBound(Value(setup, "Limit_Speed"), LargestSpeed(setup))};
    });
}

int UpdateLimits_SPD_min(CMC_Setup& setup) {
    return ApplyRange(setup, "SPD_min", [&] {
        return std::pair{LargerBound(-Value(setup, "Limit_Speed"), -LargestSpeed(setup)), Value(setup, "SPD_max")};
    });
}

int UpdateLimits_CRT_max(CMC_Setup& setup) {
    return ApplyRange(setup, "CRT_max", [&] {
        const double largest = SmallerBound(kMaxRegister16 / CurrentScale(setup),
                                            SmallerBound(Value(setup, "ImaxM"), Value(setup, "ImaxPS")));
        return std::pair{Value(setup, "CRT_min"), largest};
    });
}

int UpdateLimits_CRT_min(CMC_Setup& setup) {
    return ApplyRange(setup, "CRT_min", [&] {
        const double largest = LargerBound(-kMaxRegister16 / CurrentScale(setup),
                                           -SmallerBound(Value(setup, "ImaxM"), Value(setup, "ImaxPS")));
        return std::pair{largest, Value(setup, "CRT_max")};
    });
}

void UpdateLimits_BiquadFrequencies(CMC_Setup& setup) {
    const double nyquist_Hz = kNyquistFactor / SlowPeriod(setup);
    char name[32];
    for (int i = 1; i <= kBiquadFilters; ++i) {
        for (const char* format : {"BQFilterF1%d", "BQFilterF2%d"}) {
            std::snprintf(name, sizeof name, format, i);
            CMC_QuietErrors quiet;
            if (CMC_Parameter* frequency = setup.FindParameter(name)) SetMax(*frequency, nyquist_Hz);
        }
    }
}

void UpdateParameterLimits(CMC_Setup& setup) {
    for (const MaxRule& rule : kErrorRules) {
        if (CMC_Parameter* parameter = Find(setup, rule.name)) SetMax(*parameter, rule.maximum(setup));
    }
    for (const RangeRule& rule : kRangeRules) {
        if (CMC_Parameter* parameter = Find(setup, rule.name)) {
            SetParameterRange(*parameter, rule.minimum(setup), rule.maximum(setup));
        }
    }
    if (HasAnalogueInput(setup)) {
        if (CMC_Parameter* filter = Find(setup, "filter")) SetMax(*filter, 1.0 / (SlowPeriod(setup) * 2.0));
    }
    constexpr int (*kAnalogueRules[])(CMC_Setup&) = {
        UpdateLimits_DeadBand_Point, UpdateLimits_DeadBand_Range, UpdateLimits_POS_max, UpdateLimits_POS_min,
        UpdateLimits_SPD_max,        UpdateLimits_SPD_min,        UpdateLimits_CRT_max, UpdateLimits_CRT_min,
    };
    for (auto rule : kAnalogueRules) rule(setup);
    if (HasBiquadFilters(setup)) UpdateLimits_BiquadFrequencies(setup);
}

}  // namespace pelmora
