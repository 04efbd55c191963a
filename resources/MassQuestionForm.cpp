#include "MassQuestionForm.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr std::array kControls = {
    ControlTemplate{IDC_MASS_QUESTION_TEXT, K::StaticText,
                    "Motor mass is bigger than the value previously set for total mass (motor + load). "
                    "You have the following options:"},
    ControlTemplate{IDC_MASS_CHOICE_GROUP, K::GroupBox, ""},
    ControlTemplate{IDC_MASS_INCREASE_TOTAL, K::OptionButton, "Increase total mass to match your motor mass (default)",
                    IDC_MASS_CHOICE_GROUP},
    ControlTemplate{IDC_MASS_DISREGARD_MOTOR, K::OptionButton, "Leave total mass unchanged and disregard motor mass",
                    IDC_MASS_CHOICE_GROUP},
    ControlTemplate{IDOK, K::Button, "OK"},
};

}  // namespace

const FormTemplate kMassQuestionForm{"Motor mass", kControls};

}  // namespace pelmora
