// The tuning tests' reference profile as the drive programs take it: six linear segments, each a
// number of slow-loop periods and an increment per period in 16.16 fixed point. Also the step
// response measures the tuning checks and reports use. Free of the toolkit and of I/O.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pelmora {

inline constexpr int kProfileSegments = 6;
// The program takes counts and per-period increments as 16-bit quantities.
inline constexpr std::uint32_t kMaxSegmentPeriods = 32767;
inline constexpr double kMaxIncrementPerPeriod = 32767.0;
// 16 fraction bits.
inline constexpr double kFixedPointOne = 65536.0;

inline constexpr const char* kErrSegmentPeriods =
    "Distances between consecutive points on X axis must be greater than 0 and below 32768.";
inline constexpr const char* kErrSlopeOverflow =
    "Reference variation between two consecutive points is too big (slope overflow).";

enum class ReferenceType { Positive = 0, Negative = 1, Bidirectional = 2 };
// Which test builds the ramps: they shorten a ramp's first segment differently for the
// correction period that follows it.
enum class RampRule { Speed, Position };

struct ProfileSegment {
    std::uint32_t periods = 0;
    // Increment per period × 65536, a whole number; not finite when it came from a division by a
    // count of zero (then the segment fails its check).
    double increment_q16 = 0.0;
};
using ReferenceTable = std::array<ProfileSegment, kProfileSegments>;

struct ProfileTimes {
    double rampUp_s = 0.0;
    double firstPlateau_s = 0.0;
    double rampDown_s = 0.0;
    double secondPlateau_s = 0.0;
};

// Any reference-type number other than 1 and 2 is the positive profile.
ReferenceType ToReferenceType(int value);

// Periods of `period_s` in `time_s`, rounded; a negative, NaN or zero-period time is 0 periods
// and one too long for the count saturates (and so fails the segment check).
std::uint32_t PeriodsIn(double time_s, double period_s);

// The six segments for an amplitude of `amplitude` internal units: up by the amplitude, hold,
// down, hold (mirrored for the negative type; there and back through zero for the bidirectional).
ReferenceTable BuildReferenceTable(std::int32_t amplitude, double period_s, const ProfileTimes& times,
                                   ReferenceType type, RampRule rule);

// Why the program cannot take the segment, or nothing when it can.
std::optional<std::string> CheckSegment(const ProfileSegment& segment);

// The value a segment's "b" variable gets: the increment per period in internal units.
inline double IncrementPerPeriod(const ProfileSegment& segment) { return segment.increment_q16 / kFixedPointOne; }

// Where the reference ends after the whole table, in internal units (the accumulator's sum).
double ProfileEnd(const ReferenceTable& table);

// A step response measured on equally spaced samples: the step is where the reference first
// moves away from its starting value.
struct StepResponse {
    double stepSize = 0.0;      // reference after the step minus before
    double finalValue = 0.0;    // response at the end of the step's plateau
    double riseTime_s = 0.0;    // 10 % to 90 % of the step
    double overshoot_pct = 0.0; // peak beyond the final value, in % of the step (0 when none)
};
// Nothing when the reference holds no step, or the response never crosses 90 % of it.
std::optional<StepResponse> MeasureStep(std::span<const double> reference, std::span<const double> response,
                                        double period_s);

// The -3 dB point of the closed loop whose step response this is: the response's increments are
// its impulse response, whose transform is scanned up to the Nyquist frequency. Nothing when the
// data hold no step or the gain never falls 3 dB.
std::optional<double> MeasureBandwidth_rad_s(std::span<const double> reference, std::span<const double> response,
                                             double period_s);

// Overshoot of the closed current loop the design places (PI on a first-order R-L plant), to a
// step of its reference: the zero of the PI adds to what ζ alone gives. From ω and ζ and the
// plant's time constant τ, with Kp+1 = 2ζωτ.
double DesignedCurrentOvershoot_pct(double omega_rad_s, double zeta, double tau_s);
// Its 10 %–90 % rise time.
double DesignedCurrentRiseTime_s(double omega_rad_s, double zeta, double tau_s);
// Its -3 dB point.
double DesignedCurrentBandwidth_rad_s(double omega_rad_s, double zeta, double tau_s);

}  // namespace pelmora

namespace pelmora {

// The span a gain's slider covers: half to one and a half times the value, within its limits.
struct SliderSpan {
    double low = 0.0;
    double high = 0.0;
};
SliderSpan TuningSliderSpan(double value, double minimum, double maximum);

}  // namespace pelmora
