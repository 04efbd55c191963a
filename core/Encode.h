// Drive registers computed from the user's parameters: the direction that makes a setup ready to be
// written to the drive. One step per register, each named after its register, and the pass that
// runs them all in the order in which later steps depend on earlier ones.
//
// Every step looks up the parameters it needs in a fixed order and returns 0, changing nothing,
// at the first one missing (the host reports that name unless its error display is off). A step
// whose result is not a finite number (a zero divisor, the logarithm of a non-positive number in
// the setup) also writes nothing and returns 0. Otherwise it writes its own register, and only
// that register, and returns 1. Flag and selector registers keep every bit their rule does not own.
#pragma once

#include "MC_Setup.h"

namespace pelmora {

// --- Position resolution ---
int Encode_MECRESL(CMC_Setup& setup);
int Encode_ENC2THL(CMC_Setup& setup);
int Encode_DBTTH(CMC_Setup& setup);

// --- PWM timing and drive protections ---
int Encode_PWMPER(CMC_Setup& setup);
int Encode_AD4OFF(CMC_Setup& setup);
int Encode_CVDC(CMC_Setup& setup);
int Encode_T2MAXPROT(CMC_Setup& setup);
int Encode_UMAXPROT(CMC_Setup& setup);
int Encode_UMINPROT(CMC_Setup& setup);
int Encode_II2TPROT_D(CMC_Setup& setup);
int Encode_SFI2T_D(CMC_Setup& setup);
int Encode_I2TINTLIM_D(CMC_Setup& setup);
// (1 − 2 s / t_I2t_D) of the integral limit, and 0 (warn at once) rather than negative when
// t_I2t_D is under 2 s. I2TWARLIM_M likewise.
int Encode_II2TWARLIM_D(CMC_Setup& setup);

// --- Configuration registers ---
int Encode_SATPWM(CMC_Setup& setup);
int Encode_MTSTYPE(CMC_Setup& setup);
int Encode_AAR_table(CMC_Setup& setup);
int Encode_SCR(CMC_Setup& setup);
int Encode_OSR(CMC_Setup& setup);
int Encode_ASR(CMC_Setup& setup);
int Encode_PCR(CMC_Setup& setup);
// 0, nothing written, for a ControlMode outside 0 (position), 1 (speed), 2 (torque).
int Encode_ACR(CMC_Setup& setup);

// --- Current loop ---
int Encode_SFTKPI(CMC_Setup& setup);
int Encode_KPI(CMC_Setup& setup);
int Encode_SFTKII(CMC_Setup& setup);
int Encode_KII(CMC_Setup& setup);
int Encode_SATID(CMC_Setup& setup);
int Encode_SATIQ(CMC_Setup& setup);
int Encode_FILTERQ(CMC_Setup& setup);
int Encode_FFL(CMC_Setup& setup);

// --- Speed loop ---
int Encode_SFTKPS(CMC_Setup& setup);
int Encode_KPS(CMC_Setup& setup);
int Encode_SFTKIS(CMC_Setup& setup);
int Encode_KIS(CMC_Setup& setup);
// The four saturation steps first set their register's range to 0 .. 32767 and write nothing
// when that is refused.
int Encode_IMAXS(CMC_Setup& setup);
int Encode_SATS(CMC_Setup& setup);

// --- Position loop ---
int Encode_SFTKPP(CMC_Setup& setup);
int Encode_KPP(CMC_Setup& setup);
int Encode_SFTKIP(CMC_Setup& setup);
int Encode_KIP(CMC_Setup& setup);
int Encode_SFTKDP(CMC_Setup& setup);
int Encode_KDP(CMC_Setup& setup);
int Encode_KDFP(CMC_Setup& setup);
int Encode_IMAXP(CMC_Setup& setup);
int Encode_SATP(CMC_Setup& setup);

// --- Feed-forward gains ---
int Encode_SFTSFFW(CMC_Setup& setup);
int Encode_KFFS(CMC_Setup& setup);
// The acceleration feed-forward's shift is spread over SFTAFFW and SFTKFF.
int Encode_SFTAFFW(CMC_Setup& setup);
int Encode_SFTKFF(CMC_Setup& setup);
int Encode_KFFA(CMC_Setup& setup);

// --- Motor protections and control errors ---
int Encode_IMAXPROT(CMC_Setup& setup);
int Encode_TIMAXPROT(CMC_Setup& setup);
int Encode_ERRMAX(CMC_Setup& setup);
int Encode_TERRMAX(CMC_Setup& setup);
int Encode_SERRMAX(CMC_Setup& setup);
int Encode_TSERRMAX(CMC_Setup& setup);
int Encode_T1MAXPROT(CMC_Setup& setup);
int Encode_II2TPROT_M(CMC_Setup& setup);
int Encode_SFI2T_M(CMC_Setup& setup);
int Encode_I2TINTLIM_M(CMC_Setup& setup);
int Encode_I2TWARLIM_M(CMC_Setup& setup);

// --- Software limits ---
// The lower load limit goes to SWNEGLS when K_P > 0, else (a reversing transmission turns the
// directions round) to SWPOSLS; the upper one the other way. Nothing is written when K_P is zero
// or not finite, since no direction can be chosen then.
int Encode_NegativeSWLS(CMC_Setup& setup);
int Encode_PositiveSWLS(CMC_Setup& setup);

// --- External reference ---
int Encode_CACC(CMC_Setup& setup);
int Encode_CSPD(CMC_Setup& setup);
int Encode_CADIN(CMC_Setup& setup);
int Encode_SFTADIN(CMC_Setup& setup);
// 0, nothing written, for a ControlMode outside 0 to 2.
int Encode_AD5OFF(CMC_Setup& setup);
int Encode_FILTER1(CMC_Setup& setup);
int Encode_LEVEL_AD5(CMC_Setup& setup);
int Encode_E_LEVEL_AD5(CMC_Setup& setup);

// --- Start-up, brake resistor, inputs ---
int Encode_GEAR(CMC_Setup& setup);
int Encode_T1ONA(CMC_Setup& setup);
int Encode_T1ONB(CMC_Setup& setup);
int Encode_REFTST(CMC_Setup& setup);
int Encode_RINCTST(CMC_Setup& setup);
int Encode_BRAKELIM(CMC_Setup& setup);
int Encode_DIGIN_ACTIVE_LEVEL(CMC_Setup& setup);
int Encode_UPGRADE(CMC_Setup& setup);
int Encode_LSS_Active(CMC_Setup& setup);

// --- Motor brake, freeze control, transmission, absolute start ---
// 0, nothing written, when the chosen brake output port has no pin.
int Encode_BRAKECFG(CMC_Setup& setup);
int Encode_BRAKEAPPLYDELAY(CMC_Setup& setup);
int Encode_BRAKERELEASEDELAY(CMC_Setup& setup);
int Encode_POSOKLIM_FC(CMC_Setup& setup);
int Encode_TONPOSOK_FC(CMC_Setup& setup);
int Encode_TRANSMISSION(CMC_Setup& setup);
int Encode_ABSTART_MINMOVE(CMC_Setup& setup);

// The biquad coefficient registers and chain counts, from a filter-type table made for the call.
int EncodeBiquadChain(CMC_Setup& setup);

// Every register step in dependency order: the loop periods and scales that later steps use are
// computed from PWMPER and DBTTH as written earlier in the same pass. Optional groups run only
// when the setup has them. Step results are ignored; a failed step does not stop the pass.
// Allocates nothing.
void UpdateRegistersFromParameters(CMC_Setup& setup);

}  // namespace pelmora
