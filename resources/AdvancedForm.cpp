#include "AdvancedForm.h"
#include "FormParts.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr ControlTemplate ReadOnlyField(int id, int group) {
    return ControlTemplate{id, K::Edit, "", group, {}, false, true};
}

constexpr int kScheme = IDC_ADV_SCHEME_GROUP;
constexpr int kSpeed = IDC_ADV_SPEED_COMPUTATION_GROUP;
constexpr int kInput = IDC_ADV_INPUT_GROUP;
constexpr int kComputed = IDC_ADV_COMPUTED_GROUP;
constexpr int kFeedforward = IDC_ADV_FEEDFORWARD_GROUP;
constexpr int kFreeze = IDC_ADV_FREEZE_GROUP;

constexpr std::array kControls = {
    Control(kScheme, K::GroupBox, "Control scheme", 0),
    Control(IDC_ADV_POSITION_CURRENT, K::OptionButton, "Close only position and current loop", kScheme),
    Control(IDC_ADV_POSITION_SPEED_CURRENT, K::OptionButton, "Close position, speed and current loop", kScheme),
    Control(IDC_ADV_SCHEME_PICTURE, K::Picture, "", kScheme),

    Control(kSpeed, K::GroupBox, "Speed computation", 0),
    Control(IDC_ADV_SPEED_ESTIMATOR, K::CheckBox, "Enable high resolution speed estimator", kSpeed),

    Control(kInput, K::GroupBox, "Input data", 0),
    Control(IDC_ADV_PWM_FREQ_LABEL, K::StaticText, "PWM frequency", kInput),
    Control(IDC_ADV_PWM_FREQ, K::Edit, "", kInput),
    Control(IDC_ADV_PWM_FREQ_UNIT, K::UnitCombo, "", kInput),
    Control(IDC_ADV_CLPER_LABEL, K::StaticText, "Fast loop sampling frequency divider", kInput),
    Control(IDC_ADV_CLPER, K::Edit, "", kInput),
    Control(IDC_ADV_SLPER_LABEL, K::StaticText, "Slow loop sampling frequency divider", kInput),
    Control(IDC_ADV_SLPER, K::Edit, "", kInput),
    Control(IDC_ADV_FORMULAS_TITLE, K::StaticText, "Computation formulas:", kInput),
    Control(IDC_ADV_FORMULA_PWM, K::StaticText, "PWM period  = 1 /  PWM frequency", kInput),
    Control(IDC_ADV_FORMULA_FAST, K::StaticText, "Current loop sampling period = PWM period  x  Current loop divider",
            kInput),
    Control(IDC_ADV_FORMULA_SLOW, K::StaticText,
            "Speed/position loop sampling period = PWM period  x  Speed/position loop divider", kInput),

    // The warning sits before its period, its arrow pointing at the value outside the limits.
    Control(kComputed, K::GroupBox, "Computed parameters", 0),
    Control(IDC_ADV_PWM_PERIOD_LABEL, K::StaticText, "PWM period", kComputed),
    ReadOnlyField(IDC_ADV_PWM_PERIOD, kComputed),
    Control(IDC_ADV_PWM_PERIOD_UNIT, K::UnitCombo, "", kComputed),
    Control(IDC_ADV_FAST_OUTSIDE, K::StaticText, "OUTSIDE LIMITS ->", kComputed),
    Control(IDC_ADV_TS_C_LABEL, K::StaticText, "Fast loop sampling period", kComputed),
    ReadOnlyField(IDC_ADV_TS_C, kComputed),
    Control(IDC_ADV_TS_C_UNIT, K::UnitCombo, "", kComputed),
    Control(IDC_ADV_SLOW_OUTSIDE, K::StaticText, "OUTSIDE LIMITS ->", kComputed),
    Control(IDC_ADV_TS_S_LABEL, K::StaticText, "Slow loop sampling period", kComputed),
    ReadOnlyField(IDC_ADV_TS_S, kComputed),
    Control(IDC_ADV_TS_S_UNIT, K::UnitCombo, "", kComputed),

    Control(kFeedforward, K::GroupBox, "Apply speed feedforward to", 0),
    Control(IDC_ADV_FEEDFORWARD_SPEED, K::OptionButton, "speed loop", kFeedforward),
    Control(IDC_ADV_FEEDFORWARD_CURRENT, K::OptionButton, "current loop", kFeedforward),

    Control(kFreeze, K::GroupBox, "Freeze control", 0),
    Control(IDC_ADV_FREEZE, K::CheckBox, "Set freeze control parameters", kFreeze),
    Control(IDC_ADV_FREEZE_ERRBAND_LABEL, K::StaticText, "Position accepted error band", kFreeze),
    Control(IDC_ADV_FREEZE_ERRBAND, K::Edit, "", kFreeze),
    Control(IDC_ADV_FREEZE_ERRBAND_UNIT, K::UnitCombo, "", kFreeze),
    Control(IDC_ADV_FREEZE_TIME_LABEL, K::StaticText, "Trigger time", kFreeze),
    Control(IDC_ADV_FREEZE_TIME, K::Edit, "", kFreeze),
    Control(IDC_ADV_FREEZE_TIME_UNIT, K::UnitCombo, "", kFreeze),

    Control(IDOK, K::Button, "OK", 0),
    Control(IDCANCEL, K::Button, "Cancel", 0),
    Control(IDHELP, K::Button, "Help", 0),
};

}  // namespace

const FormTemplate kAdvancedForm{"Advanced", kControls};

}  // namespace pelmora
