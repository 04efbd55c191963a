#include "ControllerDesign.h"

#include "BaseQuantities.h"
#include "Steps.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <initializer_list>

namespace pelmora {

namespace {

// Up to this ratio of electrical time constant to current-loop period the winding is too fast for
// a pole pair: the loop's delay, not the winding, shapes it (see FastWindingPi).
constexpr double kSlowPlantPeriods = 4.0;
// Up to this ω·T_C the loop's delay (the voltage computed from a sample is applied one period
// later and held) costs little phase, and the continuous pole placement holds; beyond it the poles
// are placed on the sampled loop itself.
constexpr double kContinuousDesignLimit = 0.1;
// Beyond this ω·T_C no PI reaches the asked bandwidth through that delay (the step overshoots
// well beyond what the damping implies): the design refuses it.
constexpr double kReachableCurrentBandwidth = 0.25;
// T_C is computed from registers and carries round-off: the limit itself stays reachable.
constexpr double kLimitRoundOff = 1e-9;
// In phase connection 1 the phase resistance is a third of the measured R.
constexpr double kPhasesPerMeasuredResistance = 3.0;
constexpr int kThirdResistanceConnection = 1;
constexpr int kPositionDrivesSpeedLoop = 1;

// Whether every value is a positive number (NaN is not).
bool AllPositive(std::initializer_list<double> values) {
    for (double v : values) {
        if (!(v > 0.0)) return false;
    }
    return true;
}

struct PiGains {
    double ki;
    double kp;
};

// PI on an integrator plant·s⁻¹: s² + Kp/plant·s + Ki/(plant·T), placed at s² + 2ζωs + ω².
PiGains IntegratorPi(double omega_rad_s, double zeta, double period_s, double plant) {
    return {omega_rad_s * omega_rad_s * period_s * plant, omega_rad_s * 2.0 * zeta * plant};
}

// z² + p1·z + p2 with the roots exp(s·T) of s² + 2ζωs + ω².
struct SampledPair {
    double p1;
    double p2;
};
SampledPair SamplePolePair(double omega_rad_s, double zeta, double period_s) {
    const double decay = std::exp(-zeta * omega_rad_s * period_s);
    double sum = 0.0;  // of the two roots exp(s·T)
    if (zeta < 1.0) {
        sum = 2.0 * decay * std::cos(omega_rad_s * std::sqrt(1.0 - zeta * zeta) * period_s);
    } else {
        sum = 2.0 * decay * std::cosh(omega_rad_s * std::sqrt(zeta * zeta - 1.0) * period_s);
    }
    return {-sum, decay * decay};
}

// PI gains in units of c on the sampled plant i[k+1] = a·i[k] + (1 − a)·u[k − 1], a = exp(−T/τ),
// with u[k] = Kp·e[k] + Ki·Σe: the characteristic z(z − a)(z − 1) + (1 − a)((Kp + Ki)z − Kp)
// equated to (z² + p1·z + p2)(z − r) gives r = 1 + a + p1 and the two gains.
PiGains SampledCurrentPi(double omega_rad_s, double zeta, double tau_s, double period_s) {
    const double a = std::exp(-period_s / tau_s);
    const double b = 1.0 - a;
    const SampledPair pair = SamplePolePair(omega_rad_s, zeta, period_s);
    const double r = 1.0 + a + pair.p1;
    const double kp = pair.p2 * r / b;
    return {(pair.p2 - pair.p1 * r - a) / b - kp, kp};
}

// PI gains in units of c for a winding faster than the loop (or a loop slower than the winding):
// the PI's zero cancels the winding's
// sampled pole a (Kp = a·(Kp + Ki)), which leaves the closed loop z(z − 1) + K, K = (1 − a)(Kp + Ki),
// a pure integrator behind the delay. K = z0(1 − z0) puts its slow pole at z0 = exp(−ω·T): a
// first-order loop of bandwidth ω, its other pole 1 − z0 far beyond. No pair is placed: the three
// poles sum to 1 + a whatever the gains, and a pair of the asked ω and a usual damping sums to more,
// which only a negative Kp reaches (a zero outside the unit circle, the third pole below 0). So the
// damping is not used.
PiGains FastWindingPi(double omega_rad_s, double tau_s, double period_s) {
    const double a = std::exp(-period_s / tau_s);
    const double pole = std::exp(-omega_rad_s * period_s);
    const double gainSum = pole * (1.0 - pole) / (1.0 - a);
    return {(1.0 - a) * gainSum, a * gainSum};
}

}  // namespace

bool IsFastWinding(double tau_s, double currentPeriod_s) { return tau_s <= kSlowPlantPeriods * currentPeriod_s; }

namespace {

// The pole pair's gains in units of c, continuous while ω·T_C is small, else on the sampled loop.
PiGains PolePairCurrentPi(double omega_rad_s, double zeta, double tau_s, double period_s) {
    if (omega_rad_s * period_s <= kContinuousDesignLimit) {
        // PI on R(1 + sτ): the closed loop s² + (1 + Kp)/τ·s + Ki/(τ·T_C) placed at s² + 2ζωs + ω².
        return {omega_rad_s * omega_rad_s * tau_s * period_s, zeta * 2.0 * omega_rad_s * tau_s - 1.0};
    }
    return SampledCurrentPi(omega_rad_s, zeta, tau_s, period_s);
}

}  // namespace

CurrentLoopForm DesignedCurrentLoopForm(double omega_rad_s, double zeta, double tau_s, double currentPeriod_s) {
    if (IsFastWinding(tau_s, currentPeriod_s)) return CurrentLoopForm::FirstOrder;
    // A negative Kp would be clamped to zero by the parameter's range, leaving an integral loop
    // far slower than asked; the pole's cancellation reaches the passband with both gains positive.
    return PolePairCurrentPi(omega_rad_s, zeta, tau_s, currentPeriod_s).kp < 0.0 ? CurrentLoopForm::FirstOrder
                                                                                 : CurrentLoopForm::PolePair;
}

int DesignCurrentController(CMC_Setup& setup) { return DesignCurrentLoop(setup).designed ? 1 : 0; }

DesignOutcome DesignCurrentLoop(CMC_Setup& setup) {
    constexpr const char* kCannot = "The controller cannot be designed from this passband: ";
    const auto refuse = [&](const std::string& why) { return DesignOutcome{false, kCannot + why}; };
    Reads reads(setup);
    CMC_Parameter* connection = reads("MotorPhaseConnectionType");
    CMC_Parameter* inductance = reads("L");
    CMC_Parameter* resistance = reads("R");
    CMC_Parameter* kp = reads("Kp_C_scl");
    CMC_Parameter* ki = reads("Ki_C_scl");
    CMC_Parameter* bandwidth = reads("PB_C");
    CMC_Parameter* damping = reads("Dump_C");
    if (!reads.ok()) return refuse("the setup has no parameter \"" + std::string(reads.missing()) + "\".");

    const double r_ohm = resistance->GetValueInBaseUnit();
    const double l_H = inductance->GetValueInBaseUnit();
    const double omega_rad_s = bandwidth->GetValueInBaseUnit();
    const double zeta = damping->GetValueInBaseUnit();
    const double period_s = GetCurrentLoopPeriod(setup);
    // A winding without resistance or inductance, or a bandwidth or damping that is not positive,
    // has no loop to place: gains from it would be of the wrong sign or meaningless.
    if (!AllPositive({r_ohm, l_H})) return refuse("the winding's resistance and inductance must be known and non-zero.");
    if (!AllPositive({omega_rad_s, zeta})) return refuse("the passband and the damping must be greater than zero.");
    if (!AllPositive({period_s})) return refuse("the setup gives the current loop no period.");
    if (omega_rad_s * period_s > kReachableCurrentBandwidth * (1.0 + kLimitRoundOff)) {
        char limit[160];
        std::snprintf(limit, sizeof limit,
                      "a current loop of period %.4g µs reaches at most %.4g rad/s (%.4g Hz). Lower the passband "
                      "or raise the current loop's frequency.",
                      period_s * 1e6, kReachableCurrentBandwidth / period_s,
                      kReachableCurrentBandwidth / period_s / (2.0 * std::numbers::pi));
        return refuse(limit);
    }
    const double phaseR_ohm = Truncate(connection->GetValueInBaseUnit()) == kThirdResistanceConnection
                                  ? r_ohm / kPhasesPerMeasuredResistance
                                  : r_ohm;
    // τ from the unreduced R: the connection reduces L and R alike.
    const double tau_s = l_H / r_ohm;
    // Turns a gain in volts per ampere of the phase into PWM counts per current count.
    const double c = phaseR_ohm * GetVoltageScale(setup) / GetCurrentScale(setup);

    const PiGains gains = DesignedCurrentLoopForm(omega_rad_s, zeta, tau_s, period_s) == CurrentLoopForm::FirstOrder
                              ? FastWindingPi(omega_rad_s, tau_s, period_s)
                              : PolePairCurrentPi(omega_rad_s, zeta, tau_s, period_s);
    const double kpValue = gains.kp * c;
    const double kiValue = gains.ki * c;
    if (!AllFinite({kpValue, kiValue})) return refuse("a voltage or current scale of the setup is zero.");
    WriteBase(*kp, kpValue);
    WriteBase(*ki, kiValue);
    return {true, {}};
}

int DesignSpeedController(CMC_Setup& setup) {
    Reads reads(setup);
    CMC_Parameter* ki = reads("Ki_S_scl");
    CMC_Parameter* kp = reads("Kp_S_scl");
    CMC_Parameter* mass = reads("Mt");
    // The pole pitch is looked up for the order of the lookups only: the scales carry it.
    reads("PolePitch");
    CMC_Parameter* forceConstant = reads("Kf");
    CMC_Parameter* bandwidth = reads("PB_S");
    CMC_Parameter* damping = reads("Dump_S");
    if (!reads.ok()) return 0;

    const double omega_rad_s = bandwidth->GetValueInBaseUnit();
    const double zeta = damping->GetValueInBaseUnit();
    const double m_kg = mass->GetValueInBaseUnit();
    const double kf_N_A = forceConstant->GetValueInBaseUnit();
    if (!AllPositive({omega_rad_s, zeta, m_kg, kf_N_A})) return 0;
    // The plant m/Kf (current per acceleration) in current counts per speed count. K_VM already
    // holds the pole pitch (speed counts per m/s), so the mass enters as it is.
    const double plant = m_kg * GetCurrentScale(setup) / GetMotorSpeedScale(setup) / kf_N_A;

    const PiGains gains = IntegratorPi(omega_rad_s, zeta, GetSpeedLoopPeriod(setup), plant);
    if (!AllFinite({gains.ki, gains.kp})) return 0;
    WriteBase(*ki, gains.ki);
    WriteBase(*kp, gains.kp);
    return 1;
}

int DesignPositionController(CMC_Setup& setup) {
    Reads reads(setup);
    CMC_Parameter* ki = reads("Ki_P_scl");
    CMC_Parameter* kp = reads("Kp_P_scl");
    CMC_Parameter* kd = reads("Kd_P_scl");
    CMC_Parameter* controlType = reads("PositionControlType");
    CMC_Parameter* bandwidth = reads("PB_P");
    CMC_Parameter* damping = reads("Dump_P");
    if (!reads.ok()) return 0;

    const double omega_rad_s = bandwidth->GetValueInBaseUnit();
    const double zeta = damping->GetValueInBaseUnit();
    const double period_s = GetSpeedLoopPeriod(setup);
    if (!AllPositive({omega_rad_s, zeta})) return 0;

    double kiValue = 0.0;
    double kpValue = 0.0;
    double kdValue = 0.0;
    if (Truncate(controlType->GetValueInBaseUnit()) == kPositionDrivesSpeedLoop) {
        // The closed speed loop makes the plant an integrator: the same PI placement as the speed
        // loop, from position counts to speed counts. That plant is K_VM / K_PM, which is T_S: the
        // pole pitch cancels, so this design needs no motor data at all.
        const PiGains gains = IntegratorPi(omega_rad_s, zeta, period_s, period_s);
        kiValue = gains.ki;
        kpValue = gains.kp;
    } else {
        CMC_Parameter* mass = reads("Mt");
        reads("PolePitch");  // carried by K_PM, looked up for the order of the lookups only
        CMC_Parameter* forceConstant = reads("Kf");
        if (!reads.ok()) return 0;

        const double m_kg = mass->GetValueInBaseUnit();
        const double kf_N_A = forceConstant->GetValueInBaseUnit();
        if (!AllPositive({m_kg, kf_N_A})) return 0;
        const double plant = m_kg * GetCurrentScale(setup) / GetMotorPositionScale(setup) / kf_N_A;
        // PID on a double integrator, s³ + Kd·s² + Kp·s + Ki, placed at
        // (s + ω)(s² + 2ζωs + ω²) = s³ + B·s² + B·ω·s + ω³.
        const double b = (zeta * 2.0 + 1.0) * omega_rad_s;
        kiValue = omega_rad_s * omega_rad_s * omega_rad_s * period_s * plant;
        kpValue = b * omega_rad_s * plant;
        kdValue = b * plant / period_s;
    }
    if (!AllFinite({kiValue, kpValue, kdValue})) return 0;
    WriteBase(*ki, kiValue);
    WriteBase(*kp, kpValue);
    WriteBase(*kd, kdValue);
    return 1;
}

}  // namespace pelmora
