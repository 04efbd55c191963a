// The form of the motor phase connection test.
#pragma once

#include "VdcDetectionForm.h"

namespace pelmora {

enum PhaseConnectionControlId : int {
    IDC_PHASE_TEST_CURRENT = 1005,
    IDC_PHASE_TEST_CURRENT_UNIT = 1017,
    IDC_PHASE_IA_VALUE = 1020,
    IDC_PHASE_IA_BAR = 1021,
    IDC_PHASE_IB_VALUE = 1022,
    IDC_PHASE_IB_BAR = 1023,
    IDC_PHASE_PROCEDURE_1 = 1040,
    IDC_PHASE_PROCEDURE_2,
    IDC_PHASE_PROCEDURE_3,
    IDC_PHASE_PARAMETERS_GROUP = 1050,
    IDC_PHASE_TEST_CURRENT_LABEL,
    IDC_PHASE_TEST_CURRENT_NOTE,
    IDC_PHASE_IA_LABEL = 1060,
    IDC_PHASE_IA_UNIT,
    IDC_PHASE_IB_LABEL,
    IDC_PHASE_IB_UNIT,
};

inline constexpr int kPhaseConnectionTemplate = 288;
extern const FormTemplate kPhaseConnectionForm;

}  // namespace pelmora
