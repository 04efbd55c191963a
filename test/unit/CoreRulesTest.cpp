// The rules that dialogs and passes share: transmission direction, the analogue input's span,
// loop dividers and the i²t current that keeps its product.
#include "BaseQuantities.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace testing_support;
using namespace pelmora;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct DirectionCase {
    double motor;
    double load;
    bool reversed;
};

// One answer whether asked by the two sides or by K_P; a side of 0 (K_P zero, infinite or NaN)
// has no direction and never counts as reversed.
TEST(TransmissionDirection, SidesAndLoadScaleGiveOneAnswer) {
    const DirectionCase cases[] = {
        {1, 1, false}, {-1, 1, true},  {1, -1, true},  {-1, -1, false}, {0, 1, false},
        {0, -1, false}, {1, 0, false}, {-1, 0, false}, {0, 0, false},   {kNaN, 1, false},
    };
    for (const DirectionCase& c : cases) {
        EXPECT_EQ(IsReversingTransmission(c.motor, c.load), c.reversed) << c.motor << " : " << c.load;
        const auto setup = MakeRoundDrive(c.motor, c.load);
        EXPECT_EQ(IsTransmissionReversed(*setup), c.reversed) << "K_P of " << c.motor << " : " << c.load;
    }
}

struct SpanCase {
    double range_V;
    double low_V;
    double high_V;
};

TEST(AnalogueInputSpan, RangeSelectsTheInput) {
    const SpanCase cases[] = {{20, -10, 10}, {5, 0, 5}, {3.3, 0, 3.3}, {19.5, 0, 3.3}, {0, 0, 3.3}};
    for (const SpanCase& c : cases) {
        const AnalogueInputSpan span = GetAnalogueInputSpan(c.range_V);
        EXPECT_EQ(span.low_V, c.low_V) << c.range_V << " V";
        EXPECT_EQ(span.high_V, c.high_V) << c.range_V << " V";
    }
}

struct DividerCase {
    double period_s;
    double divider;
};

// 60 MHz and PWMPER 1500: one PWM period is 50 µs.
TEST(NearestLoopDivider, RoundsToWholePeriodsAndRunsAtLeastOnce) {
    const DividerCase cases[] = {{500e-6, 10}, {520e-6, 10}, {530e-6, 11}, {50e-6, 1}, {10e-6, 1}, {0, 1}};
    for (const DividerCase& c : cases) {
        EXPECT_EQ(NearestLoopDivider(c.period_s, 60e6, 1500), c.divider) << c.period_s << " s";
    }
}

struct I2tCase {
    double wanted_s;
    double actual_s;
    double current_A;
};

TEST(I2tCurrentForTime, KeepsTheProductOrLeavesTheCurrent) {
    const I2tCase cases[] = {{10, 10, 5}, {10, 40, 2.5}, {40, 10, 10}, {0, 10, 5}, {10, 0, 5}, {10, kNaN, 5}};
    for (const I2tCase& c : cases) {
        EXPECT_DOUBLE_EQ(I2tCurrentForTime(5, c.wanted_s, c.actual_s), c.current_A)
            << c.wanted_s << " s wanted, " << c.actual_s << " s held";
    }
}

}  // namespace
