// The simulator's cheap replacements for library arithmetic against the library itself.
#include "FixedPoint.h"
#include "Plant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using drivesim::detail::FastAtan2;
using drivesim::detail::Noise;
using drivesim::detail::RoundHalfUp;
using drivesim::detail::RoundSaturated;
using drivesim::detail::SmallSinCos;

TEST(SimulatorArithmetic, FastAtan2AgreesWithTheLibraryInEveryOctant) {
    constexpr double kTolerance_rad = 1e-6;  // far below the firmware's 16-bit angle step
    for (int k = 0; k < 3600; ++k) {
        const double angle = -3.14159 + k * (2.0 * 3.14159 / 3600.0);
        for (const double radius : {1e-9, 1.0, 16384.0, 1e9}) {
            const double y = radius * std::sin(angle), x = radius * std::cos(angle);
            ASSERT_NEAR(FastAtan2(y, x), std::atan2(y, x), kTolerance_rad) << "y " << y << ", x " << x;
        }
    }
}

TEST(SimulatorArithmetic, FastAtan2OnTheAxesAndAtTheOrigin) {
    struct Case {
        double y, x, expected;
    };
    const double pi = std::acos(-1.0);
    for (const Case c : {Case{0, 0, 0}, Case{0, 1, 0}, Case{1, 0, pi / 2}, Case{-1, 0, -pi / 2}, Case{0, -1, pi},
                         Case{1, 1, pi / 4}, Case{-1, -1, -3 * pi / 4}}) {
        EXPECT_NEAR(FastAtan2(c.y, c.x), c.expected, 1e-6) << "y " << c.y << ", x " << c.x;
    }
}

TEST(SimulatorArithmetic, SmallAngleSeriesIsExactToRounding) {
    // Each series' range ends included, and the first angles beyond them.
    for (const double h : {0.0, 1e-12, -1e-6, 0.001, 0.0061359, 1.0 / 128.0, -1.0 / 128.0, 0.0079, 1.0 / 32.0,
                           -0.0313, -0.05, 0.2, -0.37, 0.5, -0.5}) {
        double s = 0.0, c = 0.0;
        SmallSinCos(h, s, c);
        EXPECT_NEAR(s, std::sin(h), 4e-16) << "h " << h;
        EXPECT_NEAR(c, std::cos(h), 4e-16) << "h " << h;
    }
}

TEST(SimulatorArithmetic, RoundSaturatedRoundsHalvesAwayFromZeroAndSaturates) {
    struct Case {
        double x;
        std::int32_t expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case c : {Case{0.0, 0}, Case{0.49999999999999994, 0}, Case{0.5, 1}, Case{-0.5, -1}, Case{2.5, 3},
                         Case{-2.5, -3}, Case{-2.4, -2}, Case{1e300, 2147483647}, Case{-1e300, -2147483647 - 1},
                         Case{2147483647.4, 2147483647}, Case{2147483647.5, 2147483647}, Case{inf, 2147483647},
                         Case{-inf, -2147483647 - 1}, Case{nan, 0}}) {
        EXPECT_EQ(RoundSaturated(c.x), c.expected) << "x " << c.x;
        if (std::isfinite(c.x) && std::abs(c.x) < 2e9) {
            EXPECT_EQ(RoundSaturated(c.x), std::lround(c.x)) << "x " << c.x;
        }
    }
}

TEST(SimulatorArithmetic, RoundHalfUpIsFloorOfXPlusAHalf) {
    for (const double x : {0.0, 0.5, -0.5, -0.49, -0.51, -1.5, -2.5, 1.5, 32767.5, -32768.0, -32767.6, 7.2, -7.2}) {
        EXPECT_EQ(RoundHalfUp(x), static_cast<std::int32_t>(std::floor(x + 0.5))) << "x " << x;
    }
}

TEST(SimulatorArithmetic, Q15GainIsTheMantissaTimesTwoToTheShiftOver32768RoundedDown) {
    // Shifts below, at and beyond 15, and negative: one shift either way must equal the floor
    // of the paper form.
    for (const std::int32_t shift : {-4, -1, 0, 3, 14, 15, 16, 22}) {
        for (const std::int32_t mantissa : {0, 1, 20000, -32767, 32767}) {
            for (const std::int64_t x : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{12345},
                                         std::int64_t{-98765}, std::int64_t{40000000}}) {
                const drivesim::detail::Q15Gain gain{mantissa, shift};
                const long double exact = static_cast<long double>(mantissa) * static_cast<long double>(x) *
                                          std::pow(2.0L, static_cast<long double>(shift - 15));
                EXPECT_EQ(gain.Apply(x), static_cast<std::int64_t>(std::floor(exact)))
                    << "mantissa " << mantissa << ", shift " << shift << ", x " << x;
            }
        }
    }
}

TEST(SimulatorArithmetic, NoiseHasZeroMeanUnitVarianceAndABoundedTriangle) {
    for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0xDEADBEEF}}) {
        Noise noise(seed);
        constexpr int kSamples = 200000;
        double sum = 0.0, squares = 0.0, largest = 0.0;
        int inner = 0;  // within ±√6/2: three quarters of a triangular distribution
        for (int n = 0; n < kSamples; ++n) {
            const double g = noise.Gaussian();
            sum += g;
            squares += g * g;
            largest = std::max(largest, std::abs(g));
            if (std::abs(g) < 0.5 * std::sqrt(6.0)) ++inner;
        }
        const double mean = sum / kSamples;
        EXPECT_NEAR(mean, 0.0, 0.01) << "seed " << seed;  // five standard errors
        EXPECT_NEAR(squares / kSamples - mean * mean, 1.0, 0.015) << "seed " << seed;
        EXPECT_LE(largest, std::sqrt(6.0)) << "seed " << seed;
        EXPECT_NEAR(static_cast<double>(inner) / kSamples, 0.75, 0.005) << "seed " << seed;
    }
}

// The sensors draw their noise one after another from one generator: neighbouring samples, and
// samples a few apart, must not share bits of a draw (a sensor's noise would then correlate with
// the next sensor's), and no position in a repeating pattern may skew the distribution.
TEST(SimulatorArithmetic, NoiseSamplesAreUncorrelatedAtEveryLagAndPosition) {
    constexpr int kSamples = 240000;
    Noise noise(7);
    std::vector<double> g(kSamples);
    for (double& v : g) v = noise.Gaussian();
    for (const int lag : {1, 2, 3, 5, 6, 7, 12}) {
        double products = 0.0;
        for (int n = lag; n < kSamples; ++n) products += g[static_cast<std::size_t>(n)] * g[static_cast<std::size_t>(n - lag)];
        // Five standard errors of a correlation of independent unit-variance samples.
        EXPECT_NEAR(products / (kSamples - lag), 0.0, 5.0 / std::sqrt(kSamples)) << "lag " << lag;
    }
    // Each of six positions (a period's sensors repeat in a pattern) has the whole distribution.
    for (int place = 0; place < 6; ++place) {
        double sum = 0.0, squares = 0.0;
        int count = 0;
        for (int n = place; n < kSamples; n += 6, ++count) {
            sum += g[static_cast<std::size_t>(n)];
            squares += g[static_cast<std::size_t>(n)] * g[static_cast<std::size_t>(n)];
        }
        EXPECT_NEAR(sum / count, 0.0, 5.0 / std::sqrt(count)) << "place " << place;
        EXPECT_NEAR(squares / count, 1.0, 0.03) << "place " << place;
    }
}

// The unit-variance triangle's distribution function on ±√6.
double TriangleCdf(double x) {
    const double a = std::sqrt(6.0);
    if (x <= -a) return 0.0;
    if (x >= a) return 1.0;
    const double u = (a - std::abs(x)) / a;
    return x < 0.0 ? 0.5 * u * u : 1.0 - 0.5 * u * u;
}

template <std::size_t levels>
std::vector<double> Levels() {
    const auto table = drivesim::detail::TriangleLevels<levels>();
    return {table.begin(), table.end()};
}

TEST(SimulatorArithmetic, NoiseLevelsAreTheTrianglesSlicesWithExactlyZeroMeanAndUnitVariance) {
    for (const std::vector<double>& q : {Levels<1024>(), Levels<16>()}) {
        const std::size_t levels = q.size();
        double sum = 0.0, squares = 0.0;
        for (const double v : q) {
            sum += v;
            squares += v * v;
        }
        const auto n = static_cast<double>(levels);
        EXPECT_NEAR(sum / n, 0.0, 1e-15) << levels << " levels";
        EXPECT_NEAR(squares / n, 1.0, 1e-13) << levels << " levels";
        for (std::size_t i = 0; i < levels; ++i) {
            // Level i stands for the probabilities from i/n to (i+1)/n: it lies in that slice.
            EXPECT_GT(TriangleCdf(q[i]), static_cast<double>(i) / n) << "level " << i << " of " << levels;
            EXPECT_LT(TriangleCdf(q[i]), static_cast<double>(i + 1) / n) << "level " << i << " of " << levels;
        }
    }
    EXPECT_DOUBLE_EQ(drivesim::detail::ConstexprSqrt(2.0), std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(drivesim::detail::ConstexprSqrt(1e-9), std::sqrt(1e-9));
    EXPECT_EQ(drivesim::detail::ConstexprSqrt(0.0), 0.0);
}

// What the sensors see: the triangle's distribution everywhere, not only its first two moments.
TEST(SimulatorArithmetic, NoiseFollowsTheTriangleAcrossItsRange) {
    constexpr int kSamples = 240000;
    Noise noise(3);
    std::vector<double> g(kSamples);
    for (double& v : g) v = noise.Gaussian();
    for (const double x : {-2.2, -1.8, -1.2, -0.6, -0.1, 0.0, 0.3, 0.9, 1.5, 2.0, 2.3}) {
        const double below = static_cast<double>(std::count_if(g.begin(), g.end(), [x](double v) { return v < x; })) / kSamples;
        const double p = TriangleCdf(x);
        // Five standard errors of the fraction, and the levels' own step of 1/1024.
        EXPECT_NEAR(below, p, 5.0 * std::sqrt(p * (1.0 - p) / kSamples) + 1.0 / 1024.0) << "below " << x;
    }
}

TEST(SimulatorArithmetic, NoiseSeedsGiveDifferentSequences) {
    Noise a(1), b(2), again(1);
    std::vector<double> first, second, repeated;
    for (int n = 0; n < 8; ++n) {
        first.push_back(a.Gaussian());
        second.push_back(b.Gaussian());
        repeated.push_back(again.Gaussian());
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(first, repeated);
}

}  // namespace
