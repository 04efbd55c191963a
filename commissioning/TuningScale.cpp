#include "TuningScale.h"

#include "MC_Setup.h"

#include <algorithm>
#include <cmath>

namespace pelmora {

namespace {

constexpr double kReferenceDivisions = 4.0;
constexpr double kCurrentDivisions = 3.0;
constexpr double kProfileSpeedDivisions = 2.0;
constexpr double kDivisionsBelowZero = 2.0;
constexpr double kPercent = 100.0;
// Short of the final position: a reference that ends exactly there must still cross the level.
constexpr double kOneWayLevel = 0.95;
constexpr double kBidirectionalLevel = 0.9;

ScopeChannelScale Scale(double a, double divisionsBelowZero) {
    const double step = NiceScaleStep(a);
    return {step, -divisionsBelowZero * step};
}

}  // namespace

double NiceScaleStep(double a) {
    if (!std::isfinite(a)) return 1.0;
    const double n = a > 0.0 ? std::ceil(std::log10(a)) : 0.0;
    const double b = std::pow(10.0, n);
    if (a <= b / 5.0) return b / 5.0;
    if (a <= b / 2.0) return b / 2.0;
    return b;
}

ScopeChannelScale ReferenceChannelScale(double shownValue) {
    const double step = NiceScaleStep(std::fabs(shownValue / kReferenceDivisions));
    return {step, shownValue >= 0.0 ? 0.0 : -kReferenceDivisions * step};
}

ScopeChannelScale CurrentChannelScale(double shownLimit) {
    return Scale(std::fabs(shownLimit) / kCurrentDivisions, kDivisionsBelowZero);
}

ScopeChannelScale ProfileSpeedChannelScale(double shownSpeed) {
    return Scale(std::fabs(shownSpeed / kProfileSpeedDivisions), kDivisionsBelowZero);
}

double ScopeWindow_s(const ProfileTimes& t, bool bidirectional) {
    if (bidirectional) return 2.0 * t.rampUp_s + t.firstPlateau_s + 2.0 * t.rampDown_s + t.secondPlateau_s;
    return t.rampUp_s + t.firstPlateau_s + t.rampDown_s + std::min(t.rampUp_s, t.rampDown_s);
}

double PretriggerPercent(const ProfileTimes& times, double window_s) {
    if (!(window_s > 0.0) || !std::isfinite(window_s)) return 0.0;
    return std::ceil(times.rampUp_s * kPercent / window_s);
}

ScopeTrigger PositionTrigger(std::optional<ReferenceType> type, double p) {
    if (!type) return {1, kOneWayLevel * p};
    switch (*type) {
    case ReferenceType::Negative: return {p < 0.0 ? 1 : 0, -kOneWayLevel * p};
    case ReferenceType::Bidirectional: return {p >= 0.0 ? 1 : 0, kBidirectionalLevel * p};
    case ReferenceType::Positive: break;
    }
    return {p >= 0.0 ? 1 : 0, kOneWayLevel * p};
}

ScopeTrigger SpeedTrigger(std::optional<ReferenceType> type, double a) {
    if (type == ReferenceType::Negative) return {a < 0.0 ? 1 : 0, -a};
    return {a >= 0.0 ? 1 : 0, a};
}

std::optional<double> WholeCountAmplitude(double value, double countsPerUnit) {
    if (countsPerUnit == 0.0 || !std::isfinite(countsPerUnit) || !std::isfinite(value)) return std::nullopt;
    const double counts = value * countsPerUnit;
    double whole = TG_FRound(counts);
    if (whole == 0.0) whole = counts >= 0.0 ? 1.0 : -1.0;
    const double rounded = whole / countsPerUnit;
    if (!std::isfinite(rounded)) return std::nullopt;
    return rounded;
}

std::optional<double> LoadOverMotorMass(double totalMass, double motorMass) {
    if (!(motorMass > 0.0)) return std::nullopt;
    const double ratio = (totalMass - motorMass) / motorMass;
    if (!std::isfinite(ratio)) return std::nullopt;
    return ratio;
}

std::optional<double> TotalMassFromRatio(double loadOverMotor, double motorMass) {
    if (!(motorMass > 0.0)) return std::nullopt;
    const double total = (loadOverMotor + 1.0) * motorMass;
    if (!std::isfinite(total)) return std::nullopt;
    return total;
}

}  // namespace pelmora
