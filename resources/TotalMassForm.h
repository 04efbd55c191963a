// The form of the total mass test.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

enum TotalMassControlId : int {
    IDC_MASS_PROCEDURE_1 = 1101,
    IDC_MASS_PROCEDURE_2,
    IDC_MASS_PROCEDURE_3,
    IDC_MASS_PARAMETERS_GROUP,
    IDC_MASS_CURRENT_LABEL,
    IDC_MASS_CURRENT_NOTE,
    IDC_MASS_PROTECTION_LABEL,
    IDC_MASS_PROTECTION_NOTE,
    IDC_MASS_SPEED_LABEL,
    IDC_MASS_SPEED_NOTE,
    IDC_MASS_RESULT_LABEL,
    IDC_MASS_CURRENT_VALUE = 1005,
    IDC_MASS_CURRENT_UNIT = 1017,
    IDC_MASS_RESULT_VALUE = 3263,
    IDC_MASS_RESULT_UNIT = 3264,
    IDC_MASS_PROTECTION_VALUE = 3265,
    IDC_MASS_PROTECTION_UNIT = 3266,
    IDC_MASS_SPEED_VALUE = 3267,
    IDC_MASS_SPEED_UNIT = 3268,
};

inline constexpr int kTotalMassTemplate = 3041;
extern const FormTemplate kTotalMassForm;

}  // namespace pelmora
