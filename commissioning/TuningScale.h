// The arithmetic of the tuning dialogs that needs no dialog: how a scope channel is scaled to a
// value, where the scope window and trigger sit on a profile, the amplitude in whole drive
// counts, and the two ways of giving the moved mass. Free of the toolkit and of I/O.
#pragma once

#include "TuningProfile.h"

#include <optional>

namespace pelmora {

// The scope's division for a value of `a` per division: a step of 1, 2 or 5 times a power of
// ten, the least of the decade's b/5, b/2, b that is at least `a` (b the decade's top).
double NiceScaleStep(double a);

// A channel's division and the value at the graph's lower edge (eight divisions).
struct ScopeChannelScale {
    double step = 1.0;
    double offset = 0.0;
};
// A reference and its response (speed or position): the final value spans four divisions, from
// the middle up for a positive value and from the middle down for a negative one.
ScopeChannelScale ReferenceChannelScale(double shownValue);
// Current reference and motor current: the current limit over three divisions, two below zero.
ScopeChannelScale CurrentChannelScale(double shownLimit);
// The speed a position profile reaches, over two divisions, two below zero.
ScopeChannelScale ProfileSpeedChannelScale(double shownSpeed);

// The time one scope window covers: one profile and the start of the next (the bidirectional
// profile goes through zero both ways).
double ScopeWindow_s(const ProfileTimes& times, bool bidirectional);
// The share of the window, in percent, before the trigger: the first ramp.
double PretriggerPercent(const ProfileTimes& times, double window_s);

// Where the scope triggers on the reference, in its base unit: crossing `level` rising (slope 1)
// or falling (slope 0).
struct ScopeTrigger {
    int slope = 1;
    double level = 0.0;
};
// The position profile: armed short of the final position P so that a reference that stops
// exactly on it still crosses. Without a reference type the profile is the positive one.
ScopeTrigger PositionTrigger(std::optional<ReferenceType> type, double finalPosition);
// The speed profile: armed at the final speed A on the way the profile first goes (a negative
// profile first falls to −A).
ScopeTrigger SpeedTrigger(std::optional<ReferenceType> type, double finalSpeed);

// An amplitude as the drive will play it: the nearest whole number of counts (counts per base
// unit `countsPerUnit`), never zero (±1 count with the entry's sign), back in the base unit.
// Nothing when the scale is zero or either value is not finite.
std::optional<double> WholeCountAmplitude(double value, double countsPerUnit);

// The load's mass over the motor's, from the total moved mass, and back. Nothing for a motor
// mass that is not positive or a result that is not finite.
std::optional<double> LoadOverMotorMass(double totalMass, double motorMass);
std::optional<double> TotalMassFromRatio(double loadOverMotor, double motorMass);

}  // namespace pelmora
