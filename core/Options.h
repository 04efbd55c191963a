// The setup's loop options and unit types, kept in step with the control structure and the
// kind of load; and the full recomputation behind the ComputeAllOptions entry point.
#pragma once

#include "MC_Setup.h"

namespace pelmora {

// Sets IsClosedPosition, IsClosedSpeed and IsClosedCurrent from ControlMode and
// PositionControlType. 0 (nothing set) for a control structure the drive does not have.
int UpdateClosedLoopOptions(CMC_Setup& setup);
// Switches every load-side parameter and drive variable to rotary or linear units by
// TransmissionType. Always 1; missing items are skipped.
int UpdateUnitTypes(CMC_Setup& setup);
// Sets SpeedForward and its ACR bit in every control structure but the position loop over a
// speed loop. 0 when one of its parameters is missing.
int ForceSpeedForward(CMC_Setup& setup);

// Parameters from registers, then limits, loop options and unit types; never registers.
void ComputeAll(CMC_Setup& setup);

}  // namespace pelmora
