// The form of the resistance and inductance identification test.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

enum ResistanceInductanceControlId : int {
    IDC_RL_PROCEDURE_1 = 1101,
    IDC_RL_PROCEDURE_2,
    IDC_RL_PROCEDURE_3,
    IDC_RL_PARAMETERS_GROUP,
    IDC_RL_CURRENT_LABEL,
    IDC_RL_CURRENT_NOTE,
    IDC_RL_R_LABEL,
    IDC_RL_L_LABEL,
    IDC_RL_R_VALUE = 1002,
    IDC_RL_L_VALUE = 1003,
    IDC_RL_CURRENT_VALUE = 1005,
    IDC_RL_CURRENT_UNIT = 1017,
    IDC_RL_R_UNIT = 3128,
    IDC_RL_L_UNIT = 3129,
};

inline constexpr int kResistanceInductanceTemplate = 290;
extern const FormTemplate kResistanceInductanceForm;

}  // namespace pelmora
