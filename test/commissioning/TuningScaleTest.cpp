// The tuning dialogs' arithmetic on its own: scope divisions, windows and triggers, the amplitude
// in whole drive counts, and the two ways of giving the moved mass.
#include "TuningScale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace {

using namespace pelmora;

TEST(TuningScale, NiceScaleStepIsTheLeastOneTwoFiveStepAtOrAboveTheValue) {
    struct Case {
        double a, step;
    };
    const Case cases[] = {{0.3, 0.5}, {0.15, 0.2}, {0.07, 0.1}, {2.0, 2.0},   {2.5, 5.0}, {7.0, 10.0},
                          {1.0, 1.0}, {0.05, 0.05}, {12.0, 20.0}, {0.0, 0.2}, {-3.0, 0.2}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(NiceScaleStep(c.a), c.step) << "a = " << c.a;
    // A value that is no number still gives a division the scope can draw.
    EXPECT_TRUE(std::isfinite(NiceScaleStep(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isfinite(NiceScaleStep(std::numeric_limits<double>::infinity())));
}

TEST(TuningScale, ChannelsAreScaledToTheValueTheyShow) {
    struct Case {
        const char* name;
        ScopeChannelScale scale;
        double step, offset;
    };
    const Case cases[] = {
        // Four divisions of the final value, from the middle up or down.
        {"reference 2", ReferenceChannelScale(2.0), 0.5, 0.0},
        {"reference -2", ReferenceChannelScale(-2.0), 0.5, -2.0},
        {"reference 0.6", ReferenceChannelScale(0.6), 0.2, 0.0},
        // The current limit over three divisions, zero two divisions up.
        {"current 3", CurrentChannelScale(3.0), 1.0, -2.0},
        {"current 0.9", CurrentChannelScale(0.9), 0.5, -1.0},
        // The profile's speed over two divisions.
        {"speed 0.1", ProfileSpeedChannelScale(0.1), 0.05, -0.1},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(c.scale.step, c.step) << c.name;
        EXPECT_DOUBLE_EQ(c.scale.offset, c.offset) << c.name;
    }
}

TEST(TuningScale, ScopeWindowCoversOneProfileAndTheFirstRampBeforeTheTrigger) {
    const ProfileTimes t{0.1, 0.2, 0.15, 0.05};
    EXPECT_DOUBLE_EQ(ScopeWindow_s(t, false), 0.1 + 0.2 + 0.15 + 0.1);
    EXPECT_DOUBLE_EQ(ScopeWindow_s(t, true), 0.2 + 0.2 + 0.3 + 0.05);
    EXPECT_DOUBLE_EQ(PretriggerPercent(t, 0.55), std::ceil(0.1 * 100 / 0.55));
    EXPECT_DOUBLE_EQ(PretriggerPercent(t, 0.0), 0.0) << "an empty window has no pre-trigger";
}

TEST(TuningScale, TriggersAreArmedOnTheWayTheProfileFirstGoes) {
    struct Case {
        const char* name;
        ScopeTrigger trigger;
        int slope;
        double level;
    };
    const Case cases[] = {
        {"position, no type", PositionTrigger(std::nullopt, 2.0), 1, 1.9},
        {"position, positive", PositionTrigger(ReferenceType::Positive, 2.0), 1, 1.9},
        {"position, positive, backwards", PositionTrigger(ReferenceType::Positive, -2.0), 0, -1.9},
        {"position, negative", PositionTrigger(ReferenceType::Negative, 2.0), 0, -1.9},
        {"position, negative, backwards", PositionTrigger(ReferenceType::Negative, -2.0), 1, 1.9},
        {"position, bidirectional", PositionTrigger(ReferenceType::Bidirectional, 2.0), 1, 1.8},
        {"speed, positive", SpeedTrigger(ReferenceType::Positive, 0.5), 1, 0.5},
        {"speed, no type", SpeedTrigger(std::nullopt, -0.5), 0, -0.5},
        // A negative profile never rises to +A: armed there, the scope would never trigger.
        {"speed, negative", SpeedTrigger(ReferenceType::Negative, 0.5), 0, -0.5},
        {"speed, bidirectional", SpeedTrigger(ReferenceType::Bidirectional, 0.5), 1, 0.5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.trigger.slope, c.slope) << c.name;
        EXPECT_DOUBLE_EQ(c.trigger.level, c.level) << c.name;
    }
}

TEST(TuningScale, AmplitudeBecomesAWholeNonZeroNumberOfCounts) {
    constexpr double kCountsPerUnit = 64.0;
    struct Case {
        double counts;              // the entry, in counts
        std::optional<double> to;   // the result, in counts
    };
    const Case cases[] = {{0.3, 1.0}, {-0.3, -1.0}, {0.0, 1.0}, {2.4, 2.0}, {2.5, 3.0}, {-2.5, -3.0}, {32.0, 32.0}};
    for (const Case& c : cases) {
        const auto rounded = WholeCountAmplitude(c.counts / kCountsPerUnit, kCountsPerUnit);
        ASSERT_TRUE(rounded.has_value()) << c.counts;
        EXPECT_DOUBLE_EQ(*rounded * kCountsPerUnit, *c.to) << c.counts << " counts";
    }
    EXPECT_FALSE(WholeCountAmplitude(1.0, 0.0)) << "no scale";
    EXPECT_FALSE(WholeCountAmplitude(std::numeric_limits<double>::quiet_NaN(), kCountsPerUnit));
    EXPECT_FALSE(WholeCountAmplitude(1.0, std::numeric_limits<double>::infinity()));
}

TEST(TuningScale, MassRatioAndTotalMassFollowEachOther) {
    struct Case {
        double total, motor;
        std::optional<double> ratio;
    };
    const Case cases[] = {{3.0, 2.0, 0.5}, {1.5, 0.5, 2.0}, {2.0, 2.0, 0.0}, {1.0, 0.0, std::nullopt},
                          {1.0, -1.0, std::nullopt}};
    for (const Case& c : cases) {
        const auto ratio = LoadOverMotorMass(c.total, c.motor);
        EXPECT_EQ(ratio.has_value(), c.ratio.has_value()) << c.total << " over " << c.motor;
        if (!ratio || !c.ratio) continue;
        EXPECT_DOUBLE_EQ(*ratio, *c.ratio) << c.total << " over " << c.motor;
        const auto total = TotalMassFromRatio(*ratio, c.motor);
        ASSERT_TRUE(total.has_value());
        EXPECT_DOUBLE_EQ(*total, c.total) << "back from " << *ratio;
    }
    EXPECT_FALSE(TotalMassFromRatio(0.5, 0.0));
}

}  // namespace
