#include "ControllerDesign.h"

#include "BaseQuantities.h"
#include "Steps.h"

#include <cmath>

namespace pelmora {

namespace {

// Below this ratio of electrical time constant to current-loop period the plant is too fast for
// pole placement, and the gains follow a fixed rule of the sampling period instead.
constexpr double kSlowPlantPeriods = 4.0;
// In phase connection 1 the phase resistance is a third of the measured R.
constexpr double kPhasesPerMeasuredResistance = 3.0;
constexpr int kThirdResistanceConnection = 1;
constexpr int kPositionDrivesSpeedLoop = 1;

struct PiGains {
    double ki;
    double kp;
};

// PI on an integrator plant·s⁻¹: s² + Kp/plant·s + Ki/(plant·T), placed at s² + 2ζωs + ω².
PiGains IntegratorPi(double omega_rad_s, double zeta, double period_s, double plant) {
    return {omega_rad_s * omega_rad_s * period_s * plant, omega_rad_s * 2.0 * zeta * plant};
}

}  // namespace

int DesignCurrentController(CMC_Setup& setup) {
    Reads reads(setup);
    CMC_Parameter* connection = reads("MotorPhaseConnectionType");
    CMC_Parameter* inductance = reads("L");
    CMC_Parameter* resistance = reads("R");
    CMC_Parameter* kp = reads("Kp_C_scl");
    CMC_Parameter* ki = reads("Ki_C_scl");
    CMC_Parameter* bandwidth = reads("PB_C");
    CMC_Parameter* damping = reads("Dump_C");
    if (!reads.ok()) return 0;

    const double r_ohm = resistance->GetValueInBaseUnit();
    const double phaseR_ohm = Truncate(connection->GetValueInBaseUnit()) == kThirdResistanceConnection
                                  ? r_ohm / kPhasesPerMeasuredResistance
                                  : r_ohm;
    // τ from the unreduced R: the connection reduces L and R alike.
    const double tau_s = inductance->GetValueInBaseUnit() / r_ohm;
    const double period_s = GetCurrentLoopPeriod(setup);
    // Turns a gain in volts per ampere of the phase into PWM counts per current count.
    const double c = phaseR_ohm * GetVoltageScale(setup) / GetCurrentScale(setup);
    const double omega_rad_s = bandwidth->GetValueInBaseUnit();
    const double zeta = damping->GetValueInBaseUnit();

    double kpValue = 0.0;
    double kiValue = 0.0;
    if (tau_s > kSlowPlantPeriods * period_s) {
        // PI on R(1 + sτ), gains in units of c: the closed loop s² + (1 + Kp)/τ·s + Ki/(τ·T_C)
        // placed at s² + 2ζωs + ω².
        kpValue = (zeta * 2.0 * omega_rad_s * tau_s - 1.0) * c;
        kiValue = omega_rad_s * omega_rad_s * tau_s * period_s * c;
    } else {
        kpValue = (tau_s * 0.5 / std::sqrt(2.0) / period_s - 1.0) * c;
        kiValue = omega_rad_s * period_s * c;
    }
    if (!AllFinite({kpValue, kiValue})) return 0;
    WriteBase(*kp, kpValue);
    WriteBase(*ki, kiValue);
    return 1;
}

int DesignSpeedController(CMC_Setup& setup) {
    Reads reads(setup);
    CMC_Parameter* ki = reads("Ki_S_scl");
    CMC_Parameter* kp = reads("Kp_S_scl");
    CMC_Parameter* mass = reads("Mt");
    CMC_Parameter* polePitch = reads("PolePitch");
    CMC_Parameter* forceConstant = reads("Kf");
    CMC_Parameter* bandwidth = reads("PB_S");
    CMC_Parameter* damping = reads("Dump_S");
    if (!reads.ok()) return 0;

    const double omega_rad_s = bandwidth->GetValueInBaseUnit();
    const double zeta = damping->GetValueInBaseUnit();
    const double m = polePitch->GetValueInBaseUnit() * mass->GetValueInBaseUnit();
    // The plant m/Kf (speed per current) in current counts per speed count.
    const double plant = m * GetCurrentScale(setup) / GetMotorSpeedScale(setup) / forceConstant->GetValueInBaseUnit();

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
        CMC_Parameter* polePitch = reads("PolePitch");
        CMC_Parameter* forceConstant = reads("Kf");
        if (!reads.ok()) return 0;

        const double m = polePitch->GetValueInBaseUnit() * mass->GetValueInBaseUnit();
        const double plant =
            m * GetCurrentScale(setup) / GetMotorPositionScale(setup) / forceConstant->GetValueInBaseUnit();
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
