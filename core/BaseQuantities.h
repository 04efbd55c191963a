// The drive's base quantities: loop periods and the scale of every physical quantity, each
// computed afresh from the setup. Every conversion between parameters and registers is written
// with them.
//
// They are plain formulas: where a divisor in the setup is zero the result is infinite or NaN,
// and the caller decides (the scale-factor exports answer 0, the conversion steps write nothing).
#pragma once

#include "MC_Setup.h"

namespace pelmora {

// N_ADC: full-scale count of the drive's analogue inputs.
double GetADCFullScale(const CMC_Setup& setup);
// T_C: sampling period of the fast (current) loop, s.
double GetCurrentLoopPeriod(const CMC_Setup& setup);
// T_S: sampling period of the slow (speed and position) loop, s.
double GetSpeedLoopPeriod(const CMC_Setup& setup);
// K_U: PWM voltage counts per volt of output.
double GetVoltageScale(const CMC_Setup& setup);
// K_Vdc: DC-bus measurement counts per volt.
double GetVdcScale(const CMC_Setup& setup);
// K_I: current counts per ampere.
double GetCurrentScale(const CMC_Setup& setup);
// Position counts per pole pitch, 2^(16 - DBTTH).
double GetCountsPerPolePitch(const CMC_Setup& setup);
// G: the signed transmission ratio Motor_transmission / Load_transmission.
double GetTransmissionRatio(const CMC_Setup& setup);
// K_PM: motor position counts per metre of motor travel.
double GetMotorPositionScale(const CMC_Setup& setup);
// K_P: load position counts per base unit of load travel; negative when the transmission reverses.
double GetLoadPositionScale(const CMC_Setup& setup);
// K_VM: motor speed counts (per slow sample) per m/s.
double GetMotorSpeedScale(const CMC_Setup& setup);
// K_V: load speed counts per base speed unit.
double GetLoadSpeedScale(const CMC_Setup& setup);
// K_A: load acceleration counts per base acceleration unit.
double GetLoadAccelerationScale(const CMC_Setup& setup);
// K_J: load jerk counts per base jerk unit.
double GetLoadJerkScale(const CMC_Setup& setup);
// t_dead: PWM dead time, s.
double GetDeadTime(const CMC_Setup& setup);
// n_KFFA: total shift of the acceleration feed-forward gain.
int GetAccelFeedforwardShift(const CMC_Setup& setup);
// span_ref: analogue reference span in counts, signed like K_P.
double GetAnalogueReferenceSpan(const CMC_Setup& setup);

// The loop divider (whole PWM periods, at least one) whose period 2 · divider · PWMPER / DSP_freq
// comes nearest to `period_s`.
double NearestLoopDivider(double period_s, double dspFreq_Hz, double pwmper);

// The i²t current that keeps the protection's i²t product when its time had to move from
// `wanted_s` to `actual_s`: current · √(wanted / actual); the current as it is when either time
// is not positive.
double I2tCurrentForTime(double current_A, double wanted_s, double actual_s);

// Whether a transmission turns the load against the motor: its two sides have opposite signs. A
// ratio with a 0 side has no direction, and does not reverse.
bool IsReversingTransmission(double motorTransmission, double loadTransmission);
// The same for the setup, by the sign of K_P; a zero, infinite or undefined K_P does not reverse.
bool IsTransmissionReversed(const CMC_Setup& setup);

// The voltage span of the analogue reference input, from AnalogueInputsRange (its width in
// volts): 20 is the ±10 V input, 5 the 0 to 5 V input, anything else the 0 to 3.3 V input.
struct AnalogueInputSpan {
    double low_V;
    double high_V;
};
AnalogueInputSpan GetAnalogueInputSpan(double inputsRange_V);

// The factor between a quantity's internal drive value and its value in `unit`, for the
// variable or parameter `name`. Always finite: 0 when the setup's scales have a zero divisor.
double ScaleFactor(const CMC_Setup& setup, const char* unit, const char* name);
// The offset, in internal counts, added before the factor is applied. Always finite.
double ScaleOffset(const CMC_Setup& setup, const char* unit);

// Lets the setup convert internal units through these scale functions directly, as it does
// through the plug-in's exports once the host has loaded it: for tests, benchmarks and tools
// that link the core.
void AttachCoreScales(CMC_Setup& setup);

}  // namespace pelmora
