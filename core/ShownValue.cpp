#include "ShownValue.h"

#include "Decode.h"
#include "Encode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace pelmora {

namespace {

// Beyond 15 significant digits a decimal may not survive the trip through a double.
constexpr int kSafeDecimalDigits = 15;

// `value` rounded to `digits` significant digits, as the nearest double.
double RoundToDigits(double value, int digits) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*e", digits - 1, value);
    return std::strtod(text, nullptr);
}

// The text of a value already rounded to `digits` significant digits, without trailing zeros;
// fixed notation up to the field width, as the fields have always shown values.
std::string TextOf(double rounded, int digits, int maxDigits) {
    if (digits > kSafeDecimalDigits) {
        char buffer[40];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, rounded);
        return std::string(buffer, result.ptr);
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", std::min(maxDigits, kSafeDecimalDigits), rounded);
    return text;
}

// What the parameter reads after the registers are computed with it at `shown` (in its unit on
// show) and it is recovered from them again: the value the drive would really use. Every trial
// starts from `states`, so that all see the same setup. NaN when the value cannot be set.
double RoundTrip(CMC_Setup& setup, CMC_Parameter& parameter, double shown,
                 const std::vector<CMC_Parameter::State>& states) {
    setup.RestoreParameterStates(states);
    if (!parameter.SetValue(shown)) return std::nan("");
    UpdateRegistersFromParameters(setup);
    UpdateParametersFromRegisters(setup);
    return parameter.GetValueInBaseUnit();
}

// Puts every parameter back on leaving the scope, whatever the trials did.
class TrialScope {
public:
    explicit TrialScope(CMC_Setup& setup) : m_setup(setup), m_states(setup.SaveParameterStates()) {}
    ~TrialScope() { m_setup.RestoreParameterStates(m_states); }
    TrialScope(const TrialScope&) = delete;
    TrialScope& operator=(const TrialScope&) = delete;
    const std::vector<CMC_Parameter::State>& States() const { return m_states; }

private:
    CMC_Setup& m_setup;
    std::vector<CMC_Parameter::State> m_states;
};

}  // namespace

std::string ShownValueText(CMC_Setup& setup, std::string_view name, int maxDigits) {
    maxDigits = std::clamp(maxDigits, 1, kExactDigits);
    CMC_QuietErrors quiet;
    CMC_Parameter* parameter = setup.FindParameter(name);
    if (!parameter) return {};
    const double value = parameter->GetValue();
    if (!std::isfinite(value)) return TextOf(value, 1, maxDigits);

    // The shortest text that reads back exactly; only shorter ones need the registers' opinion.
    int exactDigits = maxDigits + 1;
    for (int digits = 1; digits <= maxDigits; ++digits) {
        if (RoundToDigits(value, digits) == value) {
            exactDigits = digits;
            break;
        }
    }
    const int lastTrial = std::min(exactDigits - 1, maxDigits);
    if (lastTrial >= 1 && parameter->GetKind() == ParameterKind::Real) {
        const TrialScope trial(setup);
        const double held = RoundTrip(setup, *parameter, value, trial.States());
        // A shorter value that comes back as the same one is shown, unless the recovery derives
        // the parameter from other registers alone: then every value would come back the same.
        const auto dependsOnValue = [&] {
            const double step = std::max(std::abs(value) / 2, 1.0);
            return RoundTrip(setup, *parameter, value + step, trial.States()) != held ||
                   RoundTrip(setup, *parameter, value - step, trial.States()) != held;
        };
        for (int digits = 1; std::isfinite(held) && digits <= lastTrial; ++digits) {
            const double candidate = RoundToDigits(value, digits);
            if (RoundTrip(setup, *parameter, candidate, trial.States()) == held) {
                if (!dependsOnValue()) break;
                return TextOf(candidate, digits, maxDigits);
            }
        }
    }
    const int digits = std::min(exactDigits, maxDigits);
    return TextOf(RoundToDigits(value, digits), digits, maxDigits);
}

}  // namespace pelmora
