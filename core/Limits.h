// Parameter ranges: the safe range setter, the range rules of the analogue-input group and the
// limits pass that brings every dependent bound up to date.
#pragma once

#include "MC_Setup.h"

namespace pelmora {

// Sets [minimum, maximum] so that the minimum never exceeds the maximum between the two host
// calls. 0 (nothing changed) when minimum > maximum or either bound is not finite.
int SetParameterRange(CMC_Parameter& parameter, double minimum, double maximum);

// The analogue-input range rules. Each does nothing (0) when its parameter is missing or its
// range is refused, else sets the range (1).
int UpdateLimits_DeadBand_Point(CMC_Setup& setup);
int UpdateLimits_DeadBand_Range(CMC_Setup& setup);
int UpdateLimits_POS_max(CMC_Setup& setup);
int UpdateLimits_POS_min(CMC_Setup& setup);
int UpdateLimits_SPD_max(CMC_Setup& setup);
int UpdateLimits_SPD_min(CMC_Setup& setup);
int UpdateLimits_CRT_max(CMC_Setup& setup);
int UpdateLimits_CRT_min(CMC_Setup& setup);
// The biquad filter frequencies reach at most the slow loop's Nyquist frequency.
void UpdateLimits_BiquadFrequencies(CMC_Setup& setup);

// Every dependent bound, in order; missing parameters are skipped.
void UpdateParameterLimits(CMC_Setup& setup);

}  // namespace pelmora
