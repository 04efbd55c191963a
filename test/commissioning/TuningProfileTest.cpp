// The reference profile the tuning programs play, and the step measures the tuning checks use.
#include "TuningProfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pelmora;

constexpr double kPeriod_s = 0.001;
constexpr std::uint32_t kWrapped = std::numeric_limits<std::uint32_t>::max();

struct Expected {
    std::uint32_t periods;
    double increment;  // per period, internal units
};

std::string Describe(const ReferenceTable& table) {
    std::string text;
    for (const ProfileSegment& s : table)
        text += "(" + std::to_string(s.periods) + ", " + std::to_string(IncrementPerPeriod(s)) + ") ";
    return text;
}

TEST(ReferenceTable, SegmentsMatchTheProfileForEachTypeAndRampRule) {
    struct Case {
        const char* name;
        std::int32_t amplitude;
        ProfileTimes times;
        ReferenceType type;
        RampRule rule;
        std::vector<Expected> segments;
    };
    const ProfileTimes usual{0.01, 0.02, 0.01, 0.03};
    const Case cases[] = {
        {"positive", 1000, usual, ReferenceType::Positive, RampRule::Speed,
         {{9, 100}, {1, 100}, {20, 0}, {9, -100}, {1, -100}, {30, 0}}},
        {"positive, position rule", 1000, usual, ReferenceType::Positive, RampRule::Position,
         {{9, 100}, {1, 100}, {20, 0}, {9, -100}, {1, -100}, {30, 0}}},
        {"negative", 1000, usual, ReferenceType::Negative, RampRule::Speed,
         {{9, -100}, {1, -100}, {20, 0}, {9, 100}, {1, 100}, {30, 0}}},
        {"one-period ramp, speed rule keeps the count", 500, {0.001, 0.0, 0.001, 0.0}, ReferenceType::Positive,
         RampRule::Speed, {{1, 500}, {1, 0}, {0, 0}, {1, -500}, {1, 0}, {0, 0}}},
        {"one-period ramp, position rule shortens it", 500, {0.001, 0.0, 0.001, 0.0}, ReferenceType::Positive,
         RampRule::Position, {{0, 500}, {1, 500}, {0, 0}, {0, -500}, {1, -500}, {0, 0}}},
        {"uneven ramp ends exactly on the amplitude", 1000, {0.003, 0.0, 0.003, 0.0}, ReferenceType::Positive,
         RampRule::Speed,
         {{2, std::floor(1000.0 / 3 * 65536 + 0.5) / 65536},
          {1, std::floor((1000.0 - 2 * std::floor(1000.0 / 3 * 65536 + 0.5) / 65536) * 65536 + 0.5) / 65536},
          {0, 0},
          {2, std::floor(-1000.0 / 3 * 65536 + 0.5) / 65536},
          {1, std::floor((-1000.0 - 2 * std::floor(-1000.0 / 3 * 65536 + 0.5) / 65536) * 65536 + 0.5) / 65536},
          {0, 0}}},
        {"unknown type is positive", 1000, usual, ToReferenceType(7), RampRule::Speed,
         {{9, 100}, {1, 100}, {20, 0}, {9, -100}, {1, -100}, {30, 0}}},
    };
    for (const Case& c : cases) {
        const ReferenceTable table = BuildReferenceTable(c.amplitude, kPeriod_s, c.times, c.type, c.rule);
        for (int i = 0; i < kProfileSegments; ++i) {
            const auto k = static_cast<std::size_t>(i);
            EXPECT_EQ(table[k].periods, c.segments[k].periods) << c.name << ", segment " << i << ": " << Describe(table);
            EXPECT_DOUBLE_EQ(IncrementPerPeriod(table[k]), c.segments[k].increment)
                << c.name << ", segment " << i << ": " << Describe(table);
        }
    }
}

TEST(ReferenceTable, EveryProfileReturnsTheReferenceToZero) {
    struct Case {
        std::int32_t amplitude;
        ProfileTimes times;
        ReferenceType type;
    };
    const Case cases[] = {
        {1000, {0.01, 0.02, 0.01, 0.03}, ReferenceType::Positive},
        {-777, {0.013, 0.02, 0.0071, 0.03}, ReferenceType::Negative},
        {1000, {0.01, 0.02, 0.01, 0.03}, ReferenceType::Bidirectional},
        {12345, {0.0137, 0.002, 0.0291, 0.1}, ReferenceType::Bidirectional},
        {3, {0.5, 0.1, 0.3, 0.1}, ReferenceType::Bidirectional},
    };
    for (const Case& c : cases) {
        const ReferenceTable table = BuildReferenceTable(c.amplitude, kPeriod_s, c.times, c.type, RampRule::Speed);
        for (const ProfileSegment& s : table) EXPECT_FALSE(CheckSegment(s)) << Describe(table);
        // The bidirectional table's last increment is truncated, so it may miss by a fraction.
        EXPECT_NEAR(ProfileEnd(table), 0.0, 1.0 / 65536) << "amplitude " << c.amplitude << ": " << Describe(table);
    }
}

TEST(ReferenceTable, BidirectionalProfileGoesToMinusTheAmplitudeAndBack) {
    const ReferenceTable t =
        BuildReferenceTable(1000, kPeriod_s, {0.01, 0.02, 0.01, 0.03}, ReferenceType::Bidirectional, RampRule::Speed);
    double level = 0.0;
    std::vector<double> levels;
    for (const ProfileSegment& s : t) {
        level += IncrementPerPeriod(s) * s.periods;
        levels.push_back(level);
    }
    EXPECT_DOUBLE_EQ(levels[0], 1000.0) << Describe(t);
    EXPECT_DOUBLE_EQ(levels[2], -1000.0) << Describe(t);
    EXPECT_EQ(t[2].periods, 20U);
    EXPECT_EQ(t[5].periods, 1U);
}

TEST(ReferenceTable, SegmentsTheProgramCannotTakeAreRefusedWithTheirMessage) {
    struct Case {
        const char* name;
        ProfileSegment segment;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"longest count", {32767, 0.0}, std::nullopt},
        {"count too long", {32768, 0.0}, kErrSegmentPeriods},
        {"wrapped count", {kWrapped, 0.0}, kErrSegmentPeriods},
        {"zero count plateau", {0, 0.0}, std::nullopt},
        {"largest increment", {10, 32767.0 * 65536}, std::nullopt},
        {"increment rounding to 32768", {10, 32767.5 * 65536}, kErrSlopeOverflow},
        {"negative increment too big", {10, -32768.0 * 65536}, kErrSlopeOverflow},
        {"increment from a zero count", {0, std::numeric_limits<double>::infinity()}, kErrSlopeOverflow},
        {"count checked before increment", {40000, std::numeric_limits<double>::infinity()}, kErrSegmentPeriods},
        {"undefined increment", {1, std::numeric_limits<double>::quiet_NaN()}, kErrSlopeOverflow},
    };
    for (const Case& c : cases) EXPECT_EQ(CheckSegment(c.segment), c.expected) << c.name;
}

TEST(ReferenceTable, RampShorterThanHalfAPeriodFailsAsEachProgramCountsIt) {
    const ProfileTimes times{0.0004, 0.01, 0.01, 0.01};
    const ReferenceTable speed = BuildReferenceTable(1000, kPeriod_s, times, ReferenceType::Positive, RampRule::Speed);
    const ReferenceTable position =
        BuildReferenceTable(1000, kPeriod_s, times, ReferenceType::Positive, RampRule::Position);
    EXPECT_EQ(CheckSegment(speed[0]), std::optional<std::string>(kErrSlopeOverflow)) << Describe(speed);
    EXPECT_EQ(CheckSegment(position[0]), std::optional<std::string>(kErrSegmentPeriods)) << Describe(position);
}

TEST(ReferenceTable, TimesThatMakeNoCountAreZeroOrSaturate) {
    struct Case {
        double time_s;
        double period_s;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0.01, 0.001, 10}, {0.0104, 0.001, 10}, {-1.0, 0.001, 0}, {std::nan(""), 0.001, 0},
        {1.0, 0.0, 0},     {1e12, 0.001, kWrapped},
    };
    for (const Case& c : cases) EXPECT_EQ(PeriodsIn(c.time_s, c.period_s), c.expected) << c.time_s << " s / " << c.period_s;
}

TEST(StepMeasure, RiseAndOvershootOfKnownResponses) {
    // A first-order lag with τ = 10 samples: 10 %–90 % takes τ·ln 9, no overshoot.
    std::vector<double> reference(200, 0.0), lag(200, 0.0), ringing(200, 0.0);
    constexpr double kTau = 10.0;
    for (std::size_t k = 10; k < 200; ++k) {
        reference[k] = 2.0;
        const double t = static_cast<double>(k - 9);
        lag[k] = 2.0 * (1.0 - std::exp(-t / kTau));
        // An underdamped second order with ζ = 0.5 overshoots by 16.3 %.
        const double zeta = 0.5, wn = 0.2, wd = wn * std::sqrt(1 - zeta * zeta);
        ringing[k] = 2.0 * (1.0 - std::exp(-zeta * wn * t) *
                                      (std::cos(wd * t) + zeta / std::sqrt(1 - zeta * zeta) * std::sin(wd * t)));
    }
    const auto first = MeasureStep(reference, lag, 1.0);
    ASSERT_TRUE(first);
    EXPECT_NEAR(first->riseTime_s, kTau * std::log(9.0), 0.3);
    EXPECT_DOUBLE_EQ(first->overshoot_pct, 0.0);
    EXPECT_DOUBLE_EQ(first->stepSize, 2.0);
    const auto second = MeasureStep(reference, ringing, 1.0);
    ASSERT_TRUE(second);
    EXPECT_NEAR(second->overshoot_pct, 16.3, 0.3);

    // The lag's -3 dB point is 1/τ; its response is only 190 samples long, which costs little.
    const auto bandwidth = MeasureBandwidth_rad_s(reference, lag, 1.0);
    ASSERT_TRUE(bandwidth);
    EXPECT_NEAR(*bandwidth, 1.0 / kTau, 0.1 / kTau);

    const std::vector<double> flat(50, 1.0);
    EXPECT_FALSE(MeasureBandwidth_rad_s(flat, flat, 1.0)) << "no step in the reference";
    EXPECT_FALSE(MeasureStep(flat, flat, 1.0)) << "no step in the reference";
    EXPECT_FALSE(MeasureStep(reference, std::vector<double>(200, 0.0), 1.0)) << "no response";
}

TEST(StepMeasure, DesignedCurrentLoopStepFollowsItsDamping) {
    struct Case {
        double omega, zeta, tau;
        double overshootMin, overshootMax;
    };
    // A slow plant (large τ) leaves the PI zero at ω²/(2ζω) and the overshoot of a second-order
    // system with a zero; ζ = 1 still overshoots because of it.
    const Case cases[] = {
        {3000.0, 0.7071, 1e9, 20.0, 21.5},
        {3000.0, 1.0, 1e9, 13.0, 14.0},
        {3000.0, 0.7071, 1.0 / (2 * 0.7071 * 3000.0), 4.2, 4.4},  // Kp = 0: no zero, plain second order
    };
    // ζ = 1 with 1/τ = ω leaves a first-order loop: its -3 dB point is ω itself.
    EXPECT_NEAR(DesignedCurrentBandwidth_rad_s(2000.0, 1.0, 1.0 / 2000.0), 2000.0, 2.0);
    for (const Case& c : cases) {
        const double overshoot = DesignedCurrentOvershoot_pct(c.omega, c.zeta, c.tau);
        EXPECT_GE(overshoot, c.overshootMin) << "ζ " << c.zeta << " τ " << c.tau;
        EXPECT_LE(overshoot, c.overshootMax) << "ζ " << c.zeta << " τ " << c.tau;
        EXPECT_GT(DesignedCurrentRiseTime_s(c.omega, c.zeta, c.tau), 0.0);
        EXPECT_GT(DesignedCurrentBandwidth_rad_s(c.omega, c.zeta, c.tau), c.omega * 0.5);
    }
}

}  // namespace
