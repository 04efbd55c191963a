#include "TuningProfile.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace pelmora {

namespace {

constexpr double kRiseLow = 0.1;
constexpr double kRiseHigh = 0.9;
constexpr double kPercent = 100.0;

// The increment that takes `v` units in `n` periods, rounded to the fixed point.
double Slope(double v, std::uint32_t n) { return std::floor(v / static_cast<double>(n) * kFixedPointOne + 0.5); }

// A ramp by `v` over `periods`, then one correction period that lands exactly on `v`.
void RampWithCorrection(double v, std::uint32_t periods, RampRule rule, ProfileSegment& ramp,
                        ProfileSegment& correction) {
    ramp.increment_q16 = Slope(v, periods);
    // The position program takes its count as given, so a zero-length ramp wraps to the largest
    // count, which the segment check refuses; the speed program keeps counts of 0 and 1.
    if (rule == RampRule::Position || periods > 1) --periods;
    ramp.periods = periods;
    correction.periods = 1;
    correction.increment_q16 =
        std::floor((v - ramp.increment_q16 / kFixedPointOne * static_cast<double>(ramp.periods)) * kFixedPointOne + 0.5);
}

ReferenceTable Bidirectional(double a, double period_s, const ProfileTimes& t) {
    ReferenceTable s{};
    s[0].periods = PeriodsIn(t.rampUp_s, period_s);
    s[0].increment_q16 = Slope(a, s[0].periods);
    s[1].periods = PeriodsIn(t.firstPlateau_s, period_s);
    s[2].periods = PeriodsIn(2.0 * t.rampDown_s, period_s);
    // Down through zero to the negative amplitude, from wherever the first ramp really ended.
    s[2].increment_q16 = std::floor(
        -(s[0].increment_q16 / kFixedPointOne * static_cast<double>(s[0].periods) + a) /
            static_cast<double>(s[2].periods) * kFixedPointOne +
        0.5);
    s[3].periods = PeriodsIn(t.secondPlateau_s, period_s);
    const std::uint32_t back = PeriodsIn(t.rampDown_s, period_s);
    if (back == 1) {
        s[4].periods = 1;
    } else {
        s[4].periods = back - 1;
        s[4].increment_q16 = Slope(a, back - 1);
    }
    // The last period returns the accumulator exactly to zero.
    s[5].periods = 1;
    s[5].increment_q16 = std::trunc(-(s[0].increment_q16 * s[0].periods + s[2].increment_q16 * s[2].periods +
                                      s[4].increment_q16 * s[4].periods));
    return s;
}

}  // namespace

ReferenceType ToReferenceType(int value) {
    switch (value) {
    case 1: return ReferenceType::Negative;
    case 2: return ReferenceType::Bidirectional;
    default: return ReferenceType::Positive;
    }
}

std::uint32_t PeriodsIn(double time_s, double period_s) {
    if (!(period_s > 0.0)) return 0;
    const double periods = std::round(time_s / period_s);
    if (!(periods > 0.0)) return 0;  // negative or NaN
    if (periods >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(periods);
}

ReferenceTable BuildReferenceTable(std::int32_t amplitude, double period_s, const ProfileTimes& times,
                                   ReferenceType type, RampRule rule) {
    const double a = amplitude;
    if (type == ReferenceType::Bidirectional) return Bidirectional(a, period_s, times);
    const double up = type == ReferenceType::Negative ? -a : a;
    ReferenceTable s{};
    RampWithCorrection(up, PeriodsIn(times.rampUp_s, period_s), rule, s[0], s[1]);
    s[2].periods = PeriodsIn(times.firstPlateau_s, period_s);
    RampWithCorrection(-up, PeriodsIn(times.rampDown_s, period_s), rule, s[3], s[4]);
    s[5].periods = PeriodsIn(times.secondPlateau_s, period_s);
    return s;
}

std::optional<std::string> CheckSegment(const ProfileSegment& segment) {
    if (segment.periods > kMaxSegmentPeriods) return std::string(kErrSegmentPeriods);
    const double increment = IncrementPerPeriod(segment);
    if (!std::isfinite(increment) || std::fabs(std::round(increment)) > kMaxIncrementPerPeriod)
        return std::string(kErrSlopeOverflow);
    return std::nullopt;
}

double ProfileEnd(const ReferenceTable& table) {
    double sum_q16 = 0.0;
    for (const ProfileSegment& segment : table) sum_q16 += segment.increment_q16 * segment.periods;
    return sum_q16 / kFixedPointOne;
}

std::optional<StepResponse> MeasureStep(std::span<const double> reference, std::span<const double> response,
                                        double period_s) {
    const std::size_t n = std::min(reference.size(), response.size());
    if (n < 3 || !(period_s > 0.0)) return std::nullopt;
    std::size_t step = 1;
    while (step < n && reference[step] == reference[0]) ++step;
    if (step >= n) return std::nullopt;
    // The plateau: as long as the reference holds the value it stepped to.
    std::size_t end = step;
    while (end + 1 < n && reference[end + 1] == reference[step]) ++end;

    StepResponse r;
    const double before = response[step - 1];
    r.stepSize = reference[step] - reference[step - 1];
    r.finalValue = response[end];
    const double size = r.finalValue - before;
    if (size == 0.0 || r.stepSize == 0.0) return std::nullopt;
    // Crossing times, interpolated between samples, as fractions of the response's own step.
    const auto crossing = [&](double fraction) -> std::optional<double> {
        for (std::size_t k = step; k <= end; ++k) {
            const double x0 = (response[k - 1] - before) / size;
            const double x1 = (response[k] - before) / size;
            if (x1 >= fraction && x0 < fraction)
                return (static_cast<double>(k - 1) + (fraction - x0) / (x1 - x0)) * period_s;
        }
        return std::nullopt;
    };
    const std::optional<double> low = crossing(kRiseLow);
    const std::optional<double> high = crossing(kRiseHigh);
    if (!low || !high) return std::nullopt;
    r.riseTime_s = *high - *low;
    double peak = 0.0;
    for (std::size_t k = step; k <= end; ++k) peak = std::max(peak, (response[k] - before) / size);
    r.overshoot_pct = std::max(0.0, peak - 1.0) * kPercent;
    return r;
}

namespace {

constexpr double kHalfPower = 0.70710678118654752;  // -3 dB
constexpr int kScanPoints = 4000;

// The first frequency below `limit` where `gain` falls under -3 dB, interpolated on the scan.
template <typename Gain>
std::optional<double> MinusThreeDb(const Gain& gain, double limit_rad_s) {
    double previousW = 0.0, previousG = gain(0.0);
    for (int i = 1; i <= kScanPoints; ++i) {
        const double w = limit_rad_s * i / kScanPoints;
        const double g = gain(w);
        if (g < kHalfPower && previousG >= kHalfPower)
            return previousW + (w - previousW) * (previousG - kHalfPower) / (previousG - g);
        previousW = w;
        previousG = g;
    }
    return std::nullopt;
}

}  // namespace

std::optional<double> MeasureBandwidth_rad_s(std::span<const double> reference, std::span<const double> response,
                                             double period_s) {
    const std::size_t n = std::min(reference.size(), response.size());
    if (n < 3 || !(period_s > 0.0)) return std::nullopt;
    std::size_t step = 1;
    while (step < n && reference[step] == reference[0]) ++step;
    if (step >= n) return std::nullopt;
    std::size_t end = step;
    while (end + 1 < n && reference[end + 1] == reference[step]) ++end;
    const double size = reference[step] - reference[step - 1];
    if (size == 0.0) return std::nullopt;
    const auto gain = [&](double w) {
        std::complex<double> sum = 0.0;
        for (std::size_t k = step; k <= end; ++k)
            sum += (response[k] - response[k - 1]) * std::polar(1.0, -w * period_s * static_cast<double>(k - step));
        return std::abs(sum) / std::fabs(size);
    };
    return MinusThreeDb(gain, std::acos(-1.0) / period_s);
}

namespace {

// The designed closed loop ((2ζω − 1/τ)·s + ω²) / (s² + 2ζωs + ω²), a unit step, integrated
// finely enough to read its rise and peak.
struct DesignedStep {
    double rise_s;
    double overshoot_pct;
};

DesignedStep SimulateDesignedCurrentStep(double omega, double zeta, double tau) {
    constexpr int kStepsPerRadian = 400;
    constexpr double kSettleRadians = 60.0;
    const double dt = 1.0 / (omega * kStepsPerRadian);
    const double b1 = 2.0 * zeta * omega - 1.0 / tau;
    const double w2 = omega * omega;
    double x1 = 0.0, x2 = 0.0;
    const auto output = [&](double p, double v) { return w2 * p + b1 * v; };
    const auto derivative = [&](double p, double v, double& dp, double& dv) {
        dp = v;
        dv = 1.0 - w2 * p - 2.0 * zeta * omega * v;
    };
    std::optional<double> low, high;
    double peak = 0.0, previous = 0.0;
    const int steps = static_cast<int>(kSettleRadians / std::max(zeta, 0.1) * kStepsPerRadian);
    for (int k = 1; k <= steps; ++k) {
        double k1p, k1v, k2p, k2v, k3p, k3v, k4p, k4v;
        derivative(x1, x2, k1p, k1v);
        derivative(x1 + 0.5 * dt * k1p, x2 + 0.5 * dt * k1v, k2p, k2v);
        derivative(x1 + 0.5 * dt * k2p, x2 + 0.5 * dt * k2v, k3p, k3v);
        derivative(x1 + dt * k3p, x2 + dt * k3v, k4p, k4v);
        x1 += dt / 6.0 * (k1p + 2.0 * k2p + 2.0 * k3p + k4p);
        x2 += dt / 6.0 * (k1v + 2.0 * k2v + 2.0 * k3v + k4v);
        const double y = output(x1, x2);
        const double t = k * dt;
        if (!low && y >= kRiseLow) low = t - dt * (y - kRiseLow) / (y - previous);
        if (!high && y >= kRiseHigh) high = t - dt * (y - kRiseHigh) / (y - previous);
        peak = std::max(peak, y);
        previous = y;
    }
    return {low && high ? *high - *low : 0.0, std::max(0.0, peak - 1.0) * kPercent};
}

}  // namespace

double DesignedCurrentOvershoot_pct(double omega_rad_s, double zeta, double tau_s) {
    return SimulateDesignedCurrentStep(omega_rad_s, zeta, tau_s).overshoot_pct;
}

double DesignedCurrentRiseTime_s(double omega_rad_s, double zeta, double tau_s) {
    return SimulateDesignedCurrentStep(omega_rad_s, zeta, tau_s).rise_s;
}

double DesignedCurrentBandwidth_rad_s(double omega_rad_s, double zeta, double tau_s) {
    const double b1 = 2.0 * zeta * omega_rad_s - 1.0 / tau_s;
    const double w2 = omega_rad_s * omega_rad_s;
    const auto gain = [&](double w) {
        const std::complex<double> s(0.0, w);
        return std::abs((b1 * s + w2) / (s * s + 2.0 * zeta * omega_rad_s * s + w2));
    };
    constexpr double kScanLimit = 20.0;  // times ω: far beyond any -3 dB point of this loop
    return MinusThreeDb(gain, kScanLimit * omega_rad_s).value_or(0.0);
}

}  // namespace pelmora

namespace pelmora {

SliderSpan TuningSliderSpan(double value, double minimum, double maximum) {
    constexpr double kBelow = 0.5;
    constexpr double kAbove = 1.5;
    return {std::max(minimum, kBelow * value), std::min(maximum, kAbove * value)};
}

}  // namespace pelmora
