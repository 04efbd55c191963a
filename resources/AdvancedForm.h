// The "Advanced" form: the timing of the drive's control loops (PWM frequency and the two loop
// dividers with the periods they give), the control scheme of the position mode, where the speed
// feed-forward acts, the high-resolution speed estimator and the freeze control.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

enum AdvancedControl : int {
    // "Control scheme"
    IDC_ADV_SCHEME_GROUP = 4000,
    IDC_ADV_POSITION_CURRENT,
    IDC_ADV_POSITION_SPEED_CURRENT,
    IDC_ADV_SCHEME_PICTURE,

    // "Speed computation"
    IDC_ADV_SPEED_COMPUTATION_GROUP = 4020,
    IDC_ADV_SPEED_ESTIMATOR,

    // "Input data"
    IDC_ADV_INPUT_GROUP = 4040,
    IDC_ADV_PWM_FREQ_LABEL,
    IDC_ADV_PWM_FREQ,
    IDC_ADV_PWM_FREQ_UNIT,
    IDC_ADV_CLPER_LABEL,
    IDC_ADV_CLPER,
    IDC_ADV_SLPER_LABEL,
    IDC_ADV_SLPER,
    IDC_ADV_FORMULAS_TITLE,
    IDC_ADV_FORMULA_PWM,
    IDC_ADV_FORMULA_FAST,
    IDC_ADV_FORMULA_SLOW,

    // "Computed parameters"
    IDC_ADV_COMPUTED_GROUP = 4060,
    IDC_ADV_PWM_PERIOD_LABEL,
    IDC_ADV_PWM_PERIOD,
    IDC_ADV_PWM_PERIOD_UNIT,
    IDC_ADV_FAST_OUTSIDE,
    IDC_ADV_TS_C_LABEL,
    IDC_ADV_TS_C,
    IDC_ADV_TS_C_UNIT,
    IDC_ADV_SLOW_OUTSIDE,
    IDC_ADV_TS_S_LABEL,
    IDC_ADV_TS_S,
    IDC_ADV_TS_S_UNIT,

    // "Apply speed feedforward to"
    IDC_ADV_FEEDFORWARD_GROUP = 4080,
    IDC_ADV_FEEDFORWARD_SPEED,
    IDC_ADV_FEEDFORWARD_CURRENT,

    // "Freeze control"
    IDC_ADV_FREEZE_GROUP = 4100,
    IDC_ADV_FREEZE,
    IDC_ADV_FREEZE_ERRBAND_LABEL,
    IDC_ADV_FREEZE_ERRBAND,
    IDC_ADV_FREEZE_ERRBAND_UNIT,
    IDC_ADV_FREEZE_TIME_LABEL,
    IDC_ADV_FREEZE_TIME,
    IDC_ADV_FREEZE_TIME_UNIT,
};

// The control-scheme pictures, one per loop structure.
inline constexpr const char* kPictureSchemePositionSpeedCurrent = "SCHEME_POSITION_SPEED_CURRENT";
inline constexpr const char* kPictureSchemePositionCurrent = "SCHEME_POSITION_CURRENT";
inline constexpr const char* kPictureSchemeSpeedCurrent = "SCHEME_SPEED_CURRENT";
inline constexpr const char* kPictureSchemeCurrent = "SCHEME_CURRENT";

extern const FormTemplate kAdvancedForm;

}  // namespace pelmora
