#include "ControllerDesign.h"

#include "TestSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using namespace testing_support;

namespace {

// T_C = 50 µs, T_S = 500 µs, K_I = 65472 / 16 = 4092 counts/A, K_U = 65534 / (48 V · 1.1),
// 4096 counts per 32 mm pole pitch: K_PM = 128000 /m, K_VM = 64.
const std::vector<ParameterSpec> kDrive = {{"DSP_freq", 60e6}, {"PWMPER", 1500}, {"CLPER", 1}, {"SLPER", 10},
                                           {"Vdc", 48},        {"ImaxPS", 8},     {"DBTTH", 4}};
constexpr double kUPerI = 65534.0 / 52.8 / 4092.0;  // K_U / K_I
// A 1.5 kg slider on a 20 N/A motor: Mt · K_I / Kf over K_VM and over K_PM (the scales hold the
// pole pitch already).
constexpr double kSpeedPlant = 1.5 * 4092.0 / 20.0 / 64.0;
constexpr double kPositionPlant = 1.5 * 4092.0 / 20.0 / 128000.0;
constexpr double kUnset = 7.0;  // every gain before a design

struct Loop {
    const char* name;
    std::function<int(CMC_Setup&)> design;
    std::vector<ParameterSpec> parameters;  // in the order the design looks them up
    std::vector<const char*> outputs;
};

const Loop kCurrent = {"current", pelmora::DesignCurrentController,
                       {{"MotorPhaseConnectionType", 0}, {"L", 1.5e-3}, {"R", 3}, {"Kp_C_scl", kUnset},
                        {"Ki_C_scl", kUnset}, {"PB_C", 1600}, {"Dump_C", 1}},
                       {"Kp_C_scl", "Ki_C_scl"}};
const Loop kSpeed = {"speed", pelmora::DesignSpeedController,
                     {{"Ki_S_scl", kUnset}, {"Kp_S_scl", kUnset}, {"Mt", 1.5}, {"PolePitch", 0.032}, {"Kf", 20},
                      {"PB_S", 300}, {"Dump_S", 1}},
                     {"Kp_S_scl", "Ki_S_scl"}};
// The position loop driving the current loop directly.
const Loop kPosition = {"position", pelmora::DesignPositionController,
                        {{"Ki_P_scl", kUnset}, {"Kp_P_scl", kUnset}, {"Kd_P_scl", kUnset}, {"PositionControlType", 0},
                         {"PB_P", 60}, {"Dump_P", 1}, {"Mt", 1.5}, {"PolePitch", 0.032}, {"Kf", 20}},
                        {"Kp_P_scl", "Ki_P_scl", "Kd_P_scl"}};

std::unique_ptr<CMC_Setup> Build(const Loop& loop, const std::vector<ParameterSpec>& changes = {},
                                 const std::vector<std::string>& without = {}) {
    auto setup = std::make_unique<CMC_Setup>();
    for (const auto* list : {&kDrive, &loop.parameters, &changes}) {
        for (const ParameterSpec& p : *list) {
            if (std::find(without.begin(), without.end(), p.name) == without.end()) Put(*setup, p);
        }
    }
    return setup;
}

double Value(const CMC_Setup& setup, const char* name) { return setup.GetParameterValueInBaseUnit(name); }

void ExpectGain(const CMC_Setup& setup, const char* name, double expected) {
    EXPECT_NEAR(Value(setup, name), expected, std::abs(expected) * 1e-12) << name;
}

struct CurrentCase {
    const char* name;
    double connection, l_H, r_ohm, rPhase_ohm;
    double kp, ki;  // in units of c = R_ph · K_U / K_I
};

// A fast winding's gains in units of c: Kp = a·S and Ki = (1 − a)·S with S·(1 − a) = z0(1 − z0),
// a = exp(−T_C/τ), z0 = exp(−ω·T_C).
double FastKp(double omega, double tau) {
    const double a = std::exp(-50e-6 / tau), z0 = std::exp(-omega * 50e-6);
    return a * z0 * (1.0 - z0) / (1.0 - a);
}
double FastKi(double omega) {
    const double z0 = std::exp(-omega * 50e-6);
    return z0 * (1.0 - z0);
}

TEST(ControllerDesign, CurrentLoopTakesTheBranchOfItsTimeConstant) {
    // ω = 1600, ζ = 1 (ω·T_C = 0.08, where the delay costs little). Slow plant: Kp = 2ζωτ − 1,
    // Ki = ω²τT_C; a fast one (τ ≤ 4·T_C) gets the first-order loop. 4e-4 / 2 is exactly 4 · T_C
    // in doubles.
    const CurrentCase cases[] = {
        {"slow plant, τ = 500 µs", 0, 1.5e-3, 3, 3, 0.6, 0.064},
        {"connection 1 divides R by 3 but keeps τ", 1, 1.5e-3, 3, 1, 0.6, 0.064},
        {"τ exactly 4·T_C is fast", 0, 4e-4, 2, 2, FastKp(1600, 2e-4), FastKi(1600)},
        // The pair would need Kp = 2ζωτ − 1 = −0.36: clamped to zero it would leave an integral
        // loop far slower than asked.
        {"τ just above 4·T_C, below 1/(2ζω), gets the first-order loop too", 0, std::nextafter(4e-4, 1.0), 2, 2,
         FastKp(1600, std::nextafter(4e-4, 1.0) / 2), FastKi(1600)},
        {"τ below 2√2·T_C: Kp stays positive", 0, 1e-4, 2, 2, FastKp(1600, 5e-5), FastKi(1600)},
    };
    for (const CurrentCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto setup = Build(kCurrent, {{"MotorPhaseConnectionType", c.connection}, {"L", c.l_H}, {"R", c.r_ohm}});
        ASSERT_EQ(pelmora::DesignCurrentController(*setup), 1);
        ExpectGain(*setup, "Kp_C_scl", c.kp * c.rPhase_ohm * kUPerI);
        EXPECT_NEAR(Value(*setup, "Ki_C_scl"), c.ki * c.rPhase_ohm * kUPerI, 1e-9);
    }
}

TEST(ControllerDesign, SpeedAndDirectPositionGains) {
    auto speed = Build(kSpeed);
    ASSERT_EQ(pelmora::DesignSpeedController(*speed), 1);
    ExpectGain(*speed, "Kp_S_scl", 2.0 * 300 * kSpeedPlant);        // 2ζω
    ExpectGain(*speed, "Ki_S_scl", 300.0 * 300 * 5e-4 * kSpeedPlant);  // ω²·T_S

    auto position = Build(kPosition);
    ASSERT_EQ(pelmora::DesignPositionController(*position), 1);
    // (s + ω)(s² + 2ζωs + ω²) = s³ + B·s² + B·ω·s + ω³, B = (2ζ + 1)·ω = 180.
    ExpectGain(*position, "Kd_P_scl", 180.0 / 5e-4 * kPositionPlant);
    ExpectGain(*position, "Kp_P_scl", 180.0 * 60 * kPositionPlant);
    ExpectGain(*position, "Ki_P_scl", 60.0 * 60 * 60 * 5e-4 * kPositionPlant);
}

TEST(ControllerDesign, PositionOverSpeedLoopNeedsNoMotorDataAndClearsKd) {
    auto setup = Build(kPosition, {{"PositionControlType", 1}}, {"Mt", "PolePitch", "Kf"});
    TakeCollectedErrors();
    ASSERT_EQ(pelmora::DesignPositionController(*setup), 1);
    EXPECT_TRUE(TakeCollectedErrors().empty());
    ExpectGain(*setup, "Kp_P_scl", 120.0 * 5e-4);  // 2ζω · K_VM / K_PM, and K_VM / K_PM = T_S
    ExpectGain(*setup, "Ki_P_scl", 3600.0 * 5e-4 * 5e-4);
    EXPECT_EQ(Value(*setup, "Kd_P_scl"), 0.0);
}

TEST(ControllerDesign, DoublingTheBandwidth) {
    const std::vector<std::tuple<const Loop*, const char*, const char*, double>> cases = {
        {&kSpeed, "PB_S", "Kp_S_scl", 2}, {&kSpeed, "PB_S", "Ki_S_scl", 4},
        {&kPosition, "PB_P", "Kd_P_scl", 2}, {&kPosition, "PB_P", "Kp_P_scl", 4}, {&kPosition, "PB_P", "Ki_P_scl", 8}};
    for (const auto& [loop, bandwidth, output, factor] : cases) {
        SCOPED_TRACE(output);
        auto once = Build(*loop);
        auto twice = Build(*loop, {{bandwidth, 2 * once->GetParameterValueInBaseUnit(bandwidth)}});
        ASSERT_EQ(loop->design(*once), 1);
        ASSERT_EQ(loop->design(*twice), 1);
        ExpectGain(*twice, output, factor * Value(*once, output));
    }
}

TEST(ControllerDesign, MissingParameterIsReportedAndChangesNothing) {
    for (const Loop* loop : {&kCurrent, &kSpeed, &kPosition}) {
        for (const ParameterSpec& missing : loop->parameters) {
            SCOPED_TRACE(std::string(loop->name) + " without " + missing.name);
            auto setup = Build(*loop, {}, {missing.name});
            TakeCollectedErrors();
            EXPECT_EQ(loop->design(*setup), 0);
            const std::vector<std::string> errors = TakeCollectedErrors();
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_NE(errors[0].find(missing.name), std::string::npos) << errors[0];
            for (const char* output : loop->outputs) {
                if (output != missing.name) {
                    EXPECT_EQ(Value(*setup, output), kUnset) << output;
                }
            }
        }
    }
}

// Where ω·T_C is not small the gains are placed on the sampled loop: the current is sampled, the
// voltage computed from it is applied one period later and held, u[k] = Kp·e[k] + Ki·Σe. The
// closed loop's characteristic z(z − a)(z − 1) + (1 − a)((Kp + Ki)z − Kp), gains in units of c,
// must vanish at exp(s·T_C) for both designed poles s.
TEST(ControllerDesign, FastCurrentLoopPlacesThePolesOnTheSampledLoop) {
    struct Case {
        double omega, zeta;
    };
    const Case cases[] = {{2500, 1.0}, {4000, 1.0}, {4000, 0.7071}, {5000, 0.5}, {5000, 2.0}, {3000, 1.0}};
    constexpr double kPeriod_s = 50e-6;
    constexpr double kTau_s = 0.5e-3;
    const double a = std::exp(-kPeriod_s / kTau_s);
    for (const Case& c : cases) {
        SCOPED_TRACE("ω " + std::to_string(c.omega) + ", ζ " + std::to_string(c.zeta));
        auto setup = Build(kCurrent, {{"PB_C", c.omega}, {"Dump_C", c.zeta}});
        ASSERT_EQ(pelmora::DesignCurrentController(*setup), 1);
        const double unit = 3.0 * kUPerI;
        const double kp = Value(*setup, "Kp_C_scl") / unit;
        const double ki = Value(*setup, "Ki_C_scl") / unit;
        const std::complex<double> discriminant = std::sqrt(std::complex<double>(c.zeta * c.zeta - 1.0));
        for (const std::complex<double> s : {c.omega * (-c.zeta + discriminant), c.omega * (-c.zeta - discriminant)}) {
            const std::complex<double> z = std::exp(s * kPeriod_s);
            const std::complex<double> characteristic = z * (z - a) * (z - 1.0) + (1.0 - a) * ((kp + ki) * z - kp);
            EXPECT_LT(std::abs(characteristic), 1e-12) << "pole " << s;
        }
        // The third pole, 1 + a + p1, stays inside the unit circle: the loop is stable.
        const std::complex<double> z1 = std::exp(c.omega * (-c.zeta + discriminant) * kPeriod_s);
        const std::complex<double> z2 = std::exp(c.omega * (-c.zeta - discriminant) * kPeriod_s);
        EXPECT_LT(std::abs(1.0 + a - (z1 + z2).real()), 1.0);
    }
}

// A winding that settles within a current period leaves the loop's delay as its dynamics: the
// sampled loop must still be a first-order loop of bandwidth ω (rise ln 9 / ω, no overshoot), with
// gains the registers can hold (not negative), whatever ζ asks, and must stay near it when the
// winding's resistance is off by a tenth (the inverter's dead time adds that much on 0.5 Ω).
// A fast winding, or a passband below 1/(2ζτ) on a slow one.
TEST(ControllerDesign, FirstOrderCurrentLoopsReachTheirPassband) {
    struct Case {
        double tau_s, omega, zeta;
        double plantR;  // the winding's resistance against the one designed for
        double riseTolerance;
        double overshoot_pct;
    };
    const Case cases[] = {
        {20e-6, 4000, 1.0, 1.0, 0.03, 0.1},    {20e-6, 5000, 1.0, 1.0, 0.03, 0.1},
        {20e-6, 1000, 1.0, 1.0, 0.03, 0.1},    {10e-6, 2500, 0.7071, 1.0, 0.03, 0.1},
        {50e-6, 4000, 2.0, 1.0, 0.03, 0.1},    {100e-6, 4000, 1.0, 1.0, 0.03, 0.1},
        {200e-6, 3000, 0.5, 1.0, 0.03, 0.1},   {200e-6, 5000, 1.0, 1.0, 0.03, 0.1},
        {20e-6, 4000, 1.0, 1.1, 0.2, 1.0},     {200e-6, 4000, 1.0, 0.9, 0.2, 1.0},
        // Slow windings at passbands where the pole pair would need a negative Kp.
        {500e-6, 1000, 0.7071, 1.0, 0.03, 0.1}, {500e-6, 300, 1.0, 1.0, 0.03, 0.1},
        {5e-3, 60, 1.0, 1.0, 0.03, 0.1},
    };
    constexpr double kPeriod_s = 50e-6;
    constexpr double kR_ohm = 0.5;
    for (const Case& c : cases) {
        SCOPED_TRACE("τ " + std::to_string(c.tau_s) + " s, ω " + std::to_string(c.omega) + ", ζ " +
                     std::to_string(c.zeta) + ", plant R × " + std::to_string(c.plantR));
        auto setup = Build(kCurrent, {{"L", c.tau_s * kR_ohm}, {"R", kR_ohm}, {"PB_C", c.omega}, {"Dump_C", c.zeta}});
        ASSERT_EQ(pelmora::DesignedCurrentLoopForm(c.omega, c.zeta, c.tau_s, kPeriod_s),
                  pelmora::CurrentLoopForm::FirstOrder);
        ASSERT_EQ(pelmora::DesignCurrentController(*setup), 1);
        const double unit = kR_ohm * kUPerI;
        const double kp = Value(*setup, "Kp_C_scl") / unit;
        const double ki = Value(*setup, "Ki_C_scl") / unit;
        EXPECT_GE(kp, 0.0);
        EXPECT_GT(ki, 0.0);
        // i[k+1] = a·i[k] + (1 − a)·u[k − 1]/R, u in units of the designed R; a unit step.
        const double r = c.plantR;
        const double a = std::exp(-kPeriod_s * r / c.tau_s);
        double current = 0.0, previousU = 0.0, sum = 0.0, peak = 0.0;
        std::vector<double> response;
        const int periods = static_cast<int>(20.0 / (c.omega * kPeriod_s)) + 2000;
        for (int k = 0; k < periods; ++k) {
            response.push_back(current);
            peak = std::max(peak, current);
            const double error = 1.0 - current;
            sum += error;
            const double u = kp * error + ki * sum;
            current = a * current + (1.0 - a) * previousU / r;
            previousU = u;
        }
        const auto crossing = [&](double level) {
            for (std::size_t k = 1; k < response.size(); ++k)
                if (response[k] >= level) return (static_cast<double>(k - 1) + (level - response[k - 1]) / (response[k] - response[k - 1])) * kPeriod_s;
            return 0.0;
        };
        const double rise_s = crossing(0.9) - crossing(0.1);
        EXPECT_NEAR(rise_s * c.omega / std::log(9.0), 1.0, c.riseTolerance);
        EXPECT_NEAR(response.back(), 1.0, 1e-9) << "the integral removes the error";
        EXPECT_LT((peak - 1.0) * 100.0, c.overshoot_pct) << "overshoot in %";
    }
}

TEST(ControllerDesign, UnreachableOrNonPositiveInputsWriteNothing) {
    const std::vector<std::pair<const Loop*, ParameterSpec>> cases = {
        {&kCurrent, {"PB_C", 5001}},  // ω·T_C beyond 0.25: no PI reaches it through the delay
        {&kCurrent, {"PB_C", 0}},     {&kCurrent, {"Dump_C", 0}},    {&kCurrent, {"R", -3}},
        {&kCurrent, {"L", 0}},        {&kCurrent, {"L", -1.5e-3}},   {&kSpeed, {"Mt", 0}},
        {&kSpeed, {"Mt", -1.5}},      {&kSpeed, {"Kf", -20}},        {&kSpeed, {"PB_S", -300}},
        {&kSpeed, {"Dump_S", 0}},     {&kPosition, {"Mt", -1.5}},    {&kPosition, {"Kf", -20}},
        {&kPosition, {"PB_P", 0}},    {&kPosition, {"Dump_P", -1}},
    };
    for (const auto& [loop, bad] : cases) {
        SCOPED_TRACE(std::string(loop->name) + ", " + bad.name + " = " + std::to_string(bad.value));
        auto setup = Build(*loop, {bad});
        EXPECT_EQ(loop->design(*setup), 0);
        for (const char* output : loop->outputs) EXPECT_EQ(Value(*setup, output), kUnset) << output;
    }
    // At its limit the current design still answers.
    auto limit = Build(kCurrent, {{"PB_C", 5000}});
    EXPECT_EQ(pelmora::DesignCurrentController(*limit), 1);
}

TEST(ControllerDesign, NonFiniteDesignWritesNothing) {
    const std::vector<std::pair<const Loop*, ParameterSpec>> cases = {
        {&kCurrent, {"R", 0}}, {&kSpeed, {"Kf", 0}}, {&kSpeed, {"SLPER", 0}}, {&kPosition, {"Kf", 0}},
        {&kPosition, {"SLPER", 0}},  // only Kd is infinite; Kp and Ki stay too
    };
    for (const auto& [loop, zero] : cases) {
        SCOPED_TRACE(std::string(loop->name) + ", " + zero.name + " = 0");
        auto setup = Build(*loop, {zero});
        EXPECT_EQ(loop->design(*setup), 0);
        for (const char* output : loop->outputs) EXPECT_EQ(Value(*setup, output), kUnset) << output;
    }
}

}  // namespace
