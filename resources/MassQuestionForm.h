// The form of the motor mass question, asked when the motor's moving mass exceeds the total mass.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

enum MassQuestionControlId : int {
    IDC_MASS_QUESTION_TEXT = 1300,
    IDC_MASS_CHOICE_GROUP,
    IDC_MASS_INCREASE_TOTAL,
    IDC_MASS_DISREGARD_MOTOR,
};

extern const FormTemplate kMassQuestionForm;

}  // namespace pelmora
