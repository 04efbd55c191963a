// Recovery of the user parameters from the drive registers: one step per target parameter and
// the pass that runs them all in order.
//
// Every step looks up its target and then what it reads, in order, and returns 0 with nothing
// changed at the first name the setup lacks. It then sets the target's range, then its value,
// and returns 1. A step returns 0 and writes neither range nor value when its range is refused
// or when the value or a bound is not a finite number (a zero divisor in the setup).
#pragma once

#include "MC_Setup.h"

namespace pelmora {

// The whole recovery pass, in its fixed order; optional groups run only when the setup has them.
void UpdateParametersFromRegisters(CMC_Setup& setup);

// --- position resolution and loop timing ---
int Decode_Resolution(CMC_Setup& setup);
int Decode_PWM_freq(CMC_Setup& setup);
int Decode_PWMperiod(CMC_Setup& setup);
int Decode_Ts_C(CMC_Setup& setup);
int Decode_Ts_S(CMC_Setup& setup);

// --- temperature sensors and drive protections ---
int Decode_isMotorTemperatureSensor(CMC_Setup& setup);
int Decode_Motor_TempSensor_Type(CMC_Setup& setup);
int Decode_isDriveTemperatureSensor(CMC_Setup& setup);
int Decode_isOverVoltage(CMC_Setup& setup);
int Decode_UMAX_PROT(CMC_Setup& setup);
int Decode_isUnderVoltage(CMC_Setup& setup);
int Decode_UMIN_PROT(CMC_Setup& setup);
int Decode_isDriveOverTemp(CMC_Setup& setup);
int Decode_Temp_2(CMC_Setup& setup);
int Decode_isDriveI2t(CMC_Setup& setup);
int Decode_I_I2t_D(CMC_Setup& setup);
int Decode_t_I2t_D(CMC_Setup& setup);

// --- control mode and reference ---
int Decode_ControlMode(CMC_Setup& setup);
int Decode_ExternalReference(CMC_Setup& setup);
int Decode_IsAutoActivatedAfterPowerOn(CMC_Setup& setup);
int Decode_Axis_ID_list(CMC_Setup& setup);

// --- current loop ---
int Decode_IlimPS(CMC_Setup& setup);
int Decode_Kp_C_scl(CMC_Setup& setup);
int Decode_Ki_C_scl(CMC_Setup& setup);
int Decode_TestCurrent(CMC_Setup& setup);
int Decode_TestProtectionCurrent(CMC_Setup& setup);
int Decode_isUseFilterOnCrtCtrlOutput(CMC_Setup& setup);
int Decode_FilterOnCurrentControllerOutput(CMC_Setup& setup);
int Decode_isCompensateGravitationalLoads(CMC_Setup& setup);
int Decode_OffsetCurrent(CMC_Setup& setup);

// --- speed loop ---
int Decode_Kp_S_scl(CMC_Setup& setup);
int Decode_Ki_S_scl(CMC_Setup& setup);
int Decode_IPSatS(CMC_Setup& setup);
int Decode_KFFA_scl(CMC_Setup& setup);
int Decode_TestLimitCurrent(CMC_Setup& setup);
int Decode_TestStartCurrent(CMC_Setup& setup);
int Decode_Mload_over_M(CMC_Setup& setup);

// --- position loop ---
int Decode_Kp_P_scl(CMC_Setup& setup);
int Decode_Ki_P_scl(CMC_Setup& setup);
int Decode_Kd_P_scl(CMC_Setup& setup);
int Decode_filter_D(CMC_Setup& setup);
int Decode_IPSatP(CMC_Setup& setup);
// Changes nothing (and returns 1) unless the position loop runs over the speed loop.
int Decode_Limit_Speed(CMC_Setup& setup);
int Decode_TestMaxSpeed(CMC_Setup& setup);
int Decode_KFFS_scl(CMC_Setup& setup);

// --- motor protections ---
int Decode_isOverCurrent(CMC_Setup& setup);
int Decode_Imax_Prot(CMC_Setup& setup);
int Decode_time_Imax_Prot(CMC_Setup& setup);
int Decode_isPositionControlError(CMC_Setup& setup);
int Decode_ERR_position(CMC_Setup& setup);
int Decode_time_ERR_pos(CMC_Setup& setup);
int Decode_isSpeedControlError(CMC_Setup& setup);
int Decode_ERR_speed(CMC_Setup& setup);
int Decode_time_ERR_spd(CMC_Setup& setup);
int Decode_isMotorOverTemp(CMC_Setup& setup);
int Decode_isMotori2t(CMC_Setup& setup);
int Decode_I_I2t_M(CMC_Setup& setup);
int Decode_t_I2t_M(CMC_Setup& setup);

// --- brake resistor, input polarities, software limits, start ---
int Decode_isBrakeResistor(CMC_Setup& setup);
int Decode_Vbrake(CMC_Setup& setup);
int Decode_EnablePolarity(CMC_Setup& setup);
int Decode_LSPPolarity(CMC_Setup& setup);
int Decode_LSNPolarity(CMC_Setup& setup);
int Decode_isSWLS(CMC_Setup& setup);
int Decode_Negative_SWLS(CMC_Setup& setup);
int Decode_Positive_SWLS(CMC_Setup& setup);
int Decode_isSpeedEstimator(CMC_Setup& setup);
int Decode_StartMode(CMC_Setup& setup);
int Decode_StartCurrent(CMC_Setup& setup);
int Decode_time_AB(CMC_Setup& setup);

// --- analogue reference input ---
int Decode_DeadBand_Point(CMC_Setup& setup);
int Decode_DeadBand_Range(CMC_Setup& setup);
int Decode_UseFilter(CMC_Setup& setup);
int Decode_filter(CMC_Setup& setup);
int Decode_POS_max(CMC_Setup& setup);
int Decode_POS_min(CMC_Setup& setup);
int Decode_SPD_max(CMC_Setup& setup);
int Decode_SPD_min(CMC_Setup& setup);
int Decode_CRT_max(CMC_Setup& setup);
int Decode_CRT_min(CMC_Setup& setup);

// --- external reference ---
int Decode_isLimitMaximum(CMC_Setup& setup);
int Decode_ErefMaxSpeed(CMC_Setup& setup);
int Decode_ErefMaxAcceleration(CMC_Setup& setup);
int Decode_isAnalogueReference(CMC_Setup& setup);
int Decode_DigitalReferenceType(CMC_Setup& setup);

// --- optional groups ---
int Decode_save_CAN_baudrate(CMC_Setup& setup);
int Decode_save_axis_id(CMC_Setup& setup);
int Decode_isMotorBrake(CMC_Setup& setup);
int Decode_MotorBrake_output(CMC_Setup& setup);
int Decode_MotorBrake_releasetime(CMC_Setup& setup);
int Decode_MotorBrake_applytime(CMC_Setup& setup);
int Decode_SpeedForward(CMC_Setup& setup);
int Decode_isFreezeControl(CMC_Setup& setup);
int Decode_FreezeControl_errband(CMC_Setup& setup);
int Decode_FreezeControl_time(CMC_Setup& setup);
int Decode_InputsPolarityType(CMC_Setup& setup);

}  // namespace pelmora
