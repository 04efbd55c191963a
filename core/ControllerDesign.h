// Controller gains from a chosen bandwidth and damping and the identified plant: the tuning tests'
// "Tune" buttons call these, then encode the gains into registers and snap them back.
//
// Each design looks its parameters up in a fixed order and returns 0, changing nothing, at the first
// one the setup lacks. It computes every gain before writing any: when one of them is not a finite
// number (a zero resistance, force constant or scale in the setup) nothing is written and it
// returns 0, so a failed design leaves the previous gains in place. Otherwise it writes the gains
// as computed (a negative proportional gain included; the host clamps to the parameter's range) and
// returns 1.
#pragma once

#include "MC_Setup.h"

namespace pelmora {

// Kp_C_scl and Ki_C_scl from PB_C and Dump_C, with the winding's L and R.
int DesignCurrentController(CMC_Setup& setup);
// Kp_S_scl and Ki_S_scl from PB_S and Dump_S, with the moving mass Mt and force constant Kf.
int DesignSpeedController(CMC_Setup& setup);
// Kp_P_scl, Ki_P_scl and Kd_P_scl from PB_P and Dump_P. With PositionControlType 1 the position
// loop drives the speed loop and needs no plant data (Kd_P_scl becomes 0); otherwise it drives the
// current loop directly and needs Mt, PolePitch and Kf as well.
int DesignPositionController(CMC_Setup& setup);

}  // namespace pelmora
