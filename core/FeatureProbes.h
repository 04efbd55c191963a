// Which optional groups of parameters a setup has (older drives and other firmware lack some),
// and the few values that have a default when their parameter is missing. Every probe looks up
// with the host's error display off, so a missing name never reaches the user.
#pragma once

#include "MC_Setup.h"

namespace pelmora {

bool HasAnalogueInput(const CMC_Setup& setup);
bool HasSoftwareLimits(const CMC_Setup& setup);
bool HasSpeedEstimator(const CMC_Setup& setup);
bool HasLssSaveFlags(const CMC_Setup& setup);
bool HasGravityCompensation(const CMC_Setup& setup);
bool HasMotorBrake(const CMC_Setup& setup);
bool HasFreezeControl(const CMC_Setup& setup);
bool HasInputsPolarity(const CMC_Setup& setup);
bool HasTransmissionRegister(const CMC_Setup& setup);
bool HasBiquadFilters(const CMC_Setup& setup);
bool HasSpeedTestReferenceType(const CMC_Setup& setup);
bool HasAbsoluteStartMinMove(const CMC_Setup& setup);
bool HasI2tWarningLimits(const CMC_Setup& setup);
bool HasSpeedForward(const CMC_Setup& setup);
bool HasNegativeTransmissionOption(const CMC_Setup& setup);
bool HidesEnablePolarity(const CMC_Setup& setup);
bool IsNewDeadBand(const CMC_Setup& setup);

// ABSTART_MINMOVE_PERCENT in base units, or 60 without it.
double GetAbsoluteStartMinMovePercent(const CMC_Setup& setup);
// Ts_C_min and Ts_S_min in seconds, or 0 (no limit) without them.
double GetTsCMin(const CMC_Setup& setup);
double GetTsSMin(const CMC_Setup& setup);
// The option "IsInputsTypeProgrammable": -1 when empty or absent, else its integer value.
int GetInputsTypeProgrammable(const CMC_Setup& setup);

}  // namespace pelmora
