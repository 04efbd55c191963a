// The form of the analogue reference test: the input voltage and the command it means, as
// numbers and bars.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

enum AnalogueRefTestControlId : int {
    IDC_ANREF_PROCEDURE_1 = 1001,
    IDC_ANREF_PROCEDURE_2,
    IDC_ANREF_PROCEDURE_3,
    IDC_ANREF_PROCEDURE_4,
    IDC_ANREF_PROCEDURE_5,
    IDC_ANREF_VOLTAGE_VALUE = 1010,
    IDC_ANREF_COMMAND_VALUE = 1011,
    IDC_ANREF_VOLTAGE_LABEL = 1012,
    IDC_ANREF_COMMAND_LABEL = 1013,  // names the command of the control mode, set at opening
    IDC_ANREF_VOLTAGE_BAR = 1014,
    IDC_ANREF_COMMAND_BAR = 1015,
    IDC_ANREF_VOLTAGE_UNIT = 1016,
    IDC_ANREF_COMMAND_UNIT = 1017,
};

inline constexpr int kAnalogueRefTestTemplate = 104;
extern const FormTemplate kAnalogueRefTestForm;

}  // namespace pelmora
