// Controller gains from a chosen bandwidth and damping and the identified plant: the tuning tests'
// "Tune" buttons call these, then encode the gains into registers and snap them back.
//
// Each design looks its parameters up in a fixed order and returns 0, changing nothing, at the first
// one the setup lacks. It computes every gain before writing any: when the plant is not positive
// (a zero or negative resistance, inductance, mass or force constant), the passband or damping is
// not positive, or a gain is not a finite number (a zero scale in the setup), nothing is written and
// it returns 0, so a failed design leaves the previous gains in place. Otherwise it writes the gains
// as computed (a negative proportional gain included; the host clamps to the parameter's range) and
// returns 1.
//
// Passbands are angular frequencies: the ω, in rad/s, of the closed loop's s² + 2ζωs + ω².
#pragma once

#include "MC_Setup.h"

#include <string>

namespace pelmora {

// Kp_C_scl and Ki_C_scl from PB_C and Dump_C, with the winding's L and R. Where ω·T_C is no longer
// small the poles are placed on the sampled loop with its one period of delay; beyond 0.25 (5000
// rad/s at 50 µs) no PI reaches the bandwidth and the design refuses it. A fast winding (below), or
// a passband so low that the pair would need a negative Kp (2ζω·τ < 1: the winding alone is already
// faster than the pair), gets a first-order closed loop whose bandwidth is PB_C, whatever Dump_C:
// Kp cancels the winding's pole, Ki sets the bandwidth, and neither is ever negative.
int DesignCurrentController(CMC_Setup& setup);
// The same design, saying why when it writes nothing: the text a user reads after "Tune".
struct DesignOutcome {
    bool designed = false;
    std::string refusal;
};
DesignOutcome DesignCurrentLoop(CMC_Setup& setup);
// Whether a winding of time constant τ is fast for a current loop of this period (τ ≤ 4·T_C): it
// settles within the loop's delay, which then shapes the loop.
bool IsFastWinding(double tau_s, double currentPeriod_s);
// The closed current loop the design places for this passband, damping, winding and period.
enum class CurrentLoopForm { FirstOrder, PolePair };
CurrentLoopForm DesignedCurrentLoopForm(double omega_rad_s, double zeta, double tau_s, double currentPeriod_s);
// Kp_S_scl and Ki_S_scl from PB_S and Dump_S, with the total moving mass Mt and force constant Kf.
int DesignSpeedController(CMC_Setup& setup);
// Kp_P_scl, Ki_P_scl and Kd_P_scl from PB_P and Dump_P. With PositionControlType 1 the position
// loop drives the speed loop and needs no plant data (Kd_P_scl becomes 0); otherwise it drives the
// current loop directly and needs Mt and Kf as well (PolePitch is looked up, the scales carry it).
int DesignPositionController(CMC_Setup& setup);

}  // namespace pelmora
