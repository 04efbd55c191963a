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

// The register pass with the loop periods of the registers it writes: a changed PWM frequency
// makes the periods stale, and every time register divides by them, so the periods are brought
// up to date from the new PWMPER and the pass runs once more.
void UpdateRegistersWithCurrentPeriods(CMC_Setup& setup);

// What the setup dialogs' OK leaves: registers from the parameters, then parameters, limits and
// options from the registers, repeated while a round still moves a value (a value that a range
// of the same round clamped must be encoded again). The number of rounds run, the last of which
// changed nothing; 0 when it did not settle within kMaxSettleRounds.
constexpr int kMaxSettleRounds = 5;
int SettleSetup(CMC_Setup& setup);

}  // namespace pelmora
