// The physics against closed forms.
#include "Plant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

using drivesim::detail::Plant;
constexpr double kPwm_s = 50e-6;
constexpr double kPi = 3.14159265358979323846;

drivesim::SimConfig Still(double r_ohm, double l_H) {
    drivesim::SimConfig c = drivesim::DefaultSimConfig();
    c.motor.R_ohm = r_ohm;
    c.motor.L_H = l_H;
    c.motor.coulomb_N = 0.0;
    c.motor.viscous_Ns_per_m = 0.0;
    c.motor.magnet_angle_deg = 0.0;  // a current on phase A's axis then makes no force
    c.supply.ripple_V = 0.0;
    return c;
}

TEST(Plant, WindingCurrentStepFollowsTheRlClosedForm) {
    struct Case {
        double r_ohm;
        double l_H;
    };
    for (const Case c : {Case{0.5, 10e-6}, Case{3.0, 1.5e-3}, Case{5.0, 1.0}}) {
        Plant plant(Still(c.r_ohm, c.l_H));
        plant.Configure(kPwm_s, 0.0);
        // Phase A against B and C in parallel: 1.5·R and 1.5·L.
        const double final_A = 1.0;
        const double pole_V = final_A * 1.5 * c.r_ohm;
        const double tau_s = c.l_H / c.r_ohm;
        const int periods = static_cast<int>(std::min(5.0 * tau_s / kPwm_s + 2.0, 200000.0));
        double worst = 0.0;
        for (int k = 1; k <= periods; ++k) {
            plant.StepElectrical({pole_V, 0.0, 0.0});
            const double expected_A = final_A * (1.0 - std::exp(-k * kPwm_s / tau_s));
            worst = std::max(worst, std::abs(plant.TerminalCurrent_A(0) - expected_A) / final_A);
        }
        EXPECT_LT(worst, 0.005) << "R " << c.r_ohm << " ohm, L " << c.l_H << " H";
        EXPECT_NEAR(plant.TerminalCurrent_A(1), -0.5 * plant.TerminalCurrent_A(0), 1e-9) << "L " << c.l_H;
    }
}

TEST(Plant, ConstantForceAcceleratesTheTotalMass) {
    for (double force_N : {-25.0, 5.0, 40.0}) {
        drivesim::SimConfig c = Still(3.0, 1.5e-3);
        c.motor.load_force_N = -force_N;  // an external force alone, so no current is needed
        Plant plant(c);
        plant.Configure(kPwm_s, 0.0);
        const int periods = 2000;  // 0.1 s
        for (int k = 0; k < periods; ++k) plant.Step({0.5, 0.5, 0.5}, false);
        const double t_s = periods * kPwm_s;
        const double a = force_N / (c.motor.moving_mass_kg + c.motor.load_mass_kg);
        EXPECT_NEAR(plant.Velocity_mps() / (a * t_s), 1.0, 0.005) << "force " << force_N;
        EXPECT_NEAR(plant.Position_m() / (0.5 * a * t_s * t_s), 1.0, 0.005) << "force " << force_N;
    }
}

// The mover is stepped over blocks of PWM periods: a PWM period changed within a block, a stop by
// Coulomb friction within one, and a reading between block ends must all keep to the closed forms.
TEST(Plant, TheMoverKeepsItsClosedFormAcrossBlocksPeriodChangesAndStops) {
    struct Case {
        const char* name;
        double force_N, coulomb_N, viscous_Ns_per_m, v0_mps;
        int periods_before, periods_after;  // the PWM period doubles between the two
    };
    const Case cases[] = {
        {"constant force, period doubled mid-block", 12.0, 0.0, 0.0, 0.0, 13, 29},
        {"constant force from speed, read mid-block", -7.0, 0.0, 0.0, 0.4, 2003, 0},
        {"Coulomb friction stops a coasting mover", 0.0, 30.0, 0.0, 0.5, 1000, 0},
        {"viscous decay, period doubled mid-block", 0.0, 0.0, 10.0, 1.0, 1001, 501},
        {"viscous, a force turns the mover back", -5.0, 0.0, 10.0, 1.0, 1501, 0},
        {"Coulomb friction, a force turns the mover back", -20.0, 3.0, 0.0, 0.6, 999, 0},
    };
    for (const Case& c : cases) {
        drivesim::SimConfig config = Still(3.0, 1.5e-3);
        config.motor.load_force_N = -c.force_N;
        config.motor.coulomb_N = c.coulomb_N;
        config.motor.viscous_Ns_per_m = c.viscous_Ns_per_m;
        config.motor.stroke_min_m = -100.0;
        config.motor.stroke_max_m = 100.0;
        Plant plant(config);
        plant.Configure(kPwm_s, 0.0);
        plant.SetMechanicalState(0.0, c.v0_mps);
        for (int k = 0; k < c.periods_before; ++k) plant.Step({0.5, 0.5, 0.5}, false);
        plant.Configure(2.0 * kPwm_s, 0.0);
        for (int k = 0; k < c.periods_after; ++k) plant.Step({0.5, 0.5, 0.5}, false);
        const double t_s = (c.periods_before + 2.0 * c.periods_after) * kPwm_s;
        const double m_kg = plant.TotalMass_kg();
        double v_mps = 0.0, x_m = 0.0;
        if (c.viscous_Ns_per_m > 0.0) {
            const double tau_s = m_kg / c.viscous_Ns_per_m, vInf = c.force_N / c.viscous_Ns_per_m;
            const double decay = std::exp(-t_s / tau_s);
            v_mps = vInf + (c.v0_mps - vInf) * decay;
            x_m = vInf * t_s + (c.v0_mps - vInf) * tau_s * (1.0 - decay);
        } else if (c.coulomb_N > 0.0 && c.force_N == 0.0) {
            v_mps = 0.0;  // long stopped
            x_m = c.v0_mps * c.v0_mps / (2.0 * c.coulomb_N / m_kg);
        } else if (c.coulomb_N > 0.0) {
            // Braked by force and friction to a stop, then driven back by the force less the friction.
            const double brake = (c.coulomb_N - c.force_N) / m_kg, back = (c.force_N + c.coulomb_N) / m_kg;
            const double stop_s = c.v0_mps / brake, rest_s = t_s - stop_s;
            v_mps = back * rest_s;
            x_m = 0.5 * c.v0_mps * stop_s + 0.5 * back * rest_s * rest_s;
        } else {
            const double a = c.force_N / m_kg;
            v_mps = c.v0_mps + a * t_s;
            x_m = c.v0_mps * t_s + 0.5 * a * t_s * t_s;
        }
        // Exact for these forces, to rounding.
        EXPECT_NEAR(plant.Velocity_mps(), v_mps, 1e-9 * std::abs(c.v0_mps + v_mps) + 1e-15) << c.name;
        EXPECT_NEAR(plant.Position_m(), x_m, 1e-9 * std::abs(x_m)) << c.name;
        // The angle the windings and the Halls see is the one of the mover's place.
        EXPECT_NEAR(plant.AngleCos(), std::cos(plant.ElectricalAngle_rad()), 1e-10) << c.name;
        EXPECT_NEAR(plant.AngleSin(), std::sin(plant.ElectricalAngle_rad()), 1e-10) << c.name;
    }
}

TEST(Plant, MotorForceIsTheForceConstantTimesTheQCurrent) {
    drivesim::SimConfig c = Still(3.0, 1.5e-3);
    for (double angle_deg : {0.0, 30.0, 90.0, 200.0}) {
        c.motor.magnet_angle_deg = angle_deg;
        Plant plant(c);
        // A current vector of 2 A amplitude 90° ahead of the magnet is all q current.
        const double q = (angle_deg + 90.0) * kPi / 180.0;
        const double ia = 2.0 * std::cos(q), ib = 2.0 * std::cos(q - 2.0 * kPi / 3.0);
        plant.SetPhaseCurrents(ia, ib);
        EXPECT_NEAR(plant.Force_N() / (2.0 * c.motor.Kf_N_per_A), 1.0, 1e-9) << "magnet at " << angle_deg << " deg";
    }
}

TEST(Plant, BackEmfAmplitudeIsTwoThirdsOfForceConstantTimesSpeed) {
    // A winding of almost no inductance, shorted by the inverter, carries −EMF/R at every sample.
    for (double speed_mps : {0.2, 1.5}) {
        drivesim::SimConfig c = Still(10.0, 1e-7);
        c.motor.moving_mass_kg = 1e9;  // the speed stays put
        c.motor.stroke_min_m = -100.0;
        c.motor.stroke_max_m = 100.0;
        Plant plant(c);
        plant.Configure(kPwm_s, 0.0);
        plant.SetMechanicalState(0.0, speed_mps);
        double peak_A = 0.0;
        const int periods = static_cast<int>(c.motor.pole_pitch_m / speed_mps / kPwm_s) + 1;
        for (int k = 0; k < periods; ++k) {
            plant.StepElectrical({0.0, 0.0, 0.0});
            peak_A = std::max(peak_A, std::abs(plant.TerminalCurrent_A(0)));
            plant.Step({0.5, 0.5, 0.5}, false);
        }
        const double expected_A = 2.0 / 3.0 * c.motor.Kf_N_per_A * speed_mps / c.motor.R_ohm;
        EXPECT_NEAR(peak_A / expected_A, 1.0, 0.005) << "speed " << speed_mps;
    }
}

TEST(Plant, HallSignalsHaveTheConfiguredOffsetsAndAmplitudes) {
    const drivesim::SimConfig c = drivesim::DefaultSimConfig();
    Plant plant(c);
    double lo[3] = {1e9, 1e9, 1e9}, hi[3] = {-1e9, -1e9, -1e9};
    constexpr int kSteps = 3600;
    for (int k = 0; k < kSteps; ++k) {
        plant.SetMechanicalState(c.motor.pole_pitch_m * k / kSteps, 0.0);
        for (int h = 0; h < 3; ++h) {
            lo[h] = std::min(lo[h], plant.HallVoltage_V(h));
            hi[h] = std::max(hi[h], plant.HallVoltage_V(h));
        }
    }
    for (int h = 0; h < 3; ++h) {
        EXPECT_NEAR((hi[h] + lo[h]) / 2.0, c.halls.offset_V[static_cast<std::size_t>(h)], 1e-6) << "Hall " << h;
        EXPECT_NEAR((hi[h] - lo[h]) / 2.0, c.halls.amplitude_V[static_cast<std::size_t>(h)], 1e-5) << "Hall " << h;
    }
}

TEST(Plant, TheTurnedAngleAndFieldAxisStayOnTheMoversPosition) {
    // A coasting mover turns the magnet a little every period, by series between exact
    // evaluations: neither the magnet's phasor nor the field axis (30° ahead for a delta
    // winding) may drift from the position, and the force must act along the field axis.
    struct Case {
        drivesim::Connection connection;
        double v_mps;
        double shift_rad;
    };
    for (const Case c : {Case{drivesim::Connection::Star, 0.8, 0.0}, Case{drivesim::Connection::Delta, -2.5, kPi / 6.0},
                         Case{drivesim::Connection::Star, 40.0, 0.0}}) {
        drivesim::SimConfig config = Still(3.0, 1.5e-3);
        config.motor.connection = c.connection;
        config.motor.magnet_angle_deg = 17.0;
        config.motor.stroke_min_m = -1e3;
        config.motor.stroke_max_m = 1e3;
        Plant plant(config);
        plant.Configure(kPwm_s, 0.0);
        plant.SetMechanicalState(0.013, c.v_mps);
        double worst = 0.0;
        for (int k = 0; k < 3000; ++k) {  // past the exact evaluations every 1024 periods
            plant.Step({0.5, 0.5, 0.5}, false);
            const double angle = plant.ElectricalAngle_rad();
            worst = std::max({worst, std::abs(plant.AngleCos() - std::cos(angle)),
                              std::abs(plant.AngleSin() - std::sin(angle))});
        }
        EXPECT_LT(worst, 1e-10) << "speed " << c.v_mps;  // rounding of the position, far below a fault
        const double ia = 1.3, ib = -0.4, ic = -ia - ib;
        plant.SetPhaseCurrents(ia, ib);
        const double field = plant.ElectricalAngle_rad() + c.shift_rad;
        const double expected_N =
            config.motor.Kf_N_per_A * (-ia * std::sin(field) + (ib - ic) / std::sqrt(3.0) * std::cos(field));
        EXPECT_NEAR(plant.Force_N(), expected_N, 1e-9) << "speed " << c.v_mps;
    }
}

TEST(Plant, PlaceInTheTurnIsTheFloorOfThePositionInNodes) {
    // Negative positions, node boundaries and a fraction a rounding below a whole turn.
    constexpr int kNodes = 1024;
    const double pitch_m = drivesim::DefaultSimConfig().motor.pole_pitch_m;
    for (const double x_m : {0.0, -1e-9, 1e-9, -0.013, 0.2, pitch_m / kNodes * 3.0, -pitch_m * 2.5, -1e-17}) {
        drivesim::SimConfig config = Still(3.0, 1.5e-3);
        Plant plant(config);
        plant.SetMechanicalState(x_m, 0.0);
        const double turns = plant.ElectricalTurns();
        const double fraction = turns - std::floor(turns);
        const Plant::TurnPlace place = plant.PlaceInTurn(kNodes);
        EXPECT_DOUBLE_EQ(place.fraction, fraction) << "x " << x_m;
        const double position = fraction * kNodes;
        const auto node = std::min(static_cast<std::size_t>(std::floor(position)), std::size_t{kNodes - 1});
        EXPECT_EQ(place.node, node) << "x " << x_m;
        EXPECT_DOUBLE_EQ(place.weight, position - static_cast<double>(node)) << "x " << x_m;
        EXPECT_GE(place.weight, 0.0) << "x " << x_m;
        EXPECT_LE(place.weight, 1.0) << "x " << x_m;
    }
}

TEST(Plant, AdcReadsLeftAlignedTenBitCountsClampedToFullScale) {
    struct Case {
        double fraction;
        std::int32_t count;
    };
    for (const Case c : {Case{0.0, 0}, Case{0.5, 32768}, Case{1.0, 65472}, Case{1.7, 65472}, Case{-0.2, 0},
                         Case{0.25, 16384}}) {
        EXPECT_EQ(drivesim::detail::AdcCount(c.fraction), c.count) << "fraction " << c.fraction;
    }
}

}  // namespace
