#include "PhaseConnectionForm.h"

#include "MC_TestDlg.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr ControlTemplate ReadOnly(int id, int group) {
    ControlTemplate control{id, K::Edit, "", group};
    control.readOnly = true;
    return control;
}

constexpr std::array kControls = {
    ControlTemplate{IDC_TEST_PURPOSE_GROUP, K::GroupBox, "Test purpose"},
    ControlTemplate{IDC_TEST_PURPOSE, K::StaticText, "Checks motor to drive connection.", IDC_TEST_PURPOSE_GROUP},
    ControlTemplate{IDC_PHASE_PARAMETERS_GROUP, K::GroupBox, "Test parameters"},
    ControlTemplate{IDC_PHASE_TEST_CURRENT_LABEL, K::StaticText, "Test current", IDC_PHASE_PARAMETERS_GROUP},
    ControlTemplate{IDC_PHASE_TEST_CURRENT, K::Edit, "", IDC_PHASE_PARAMETERS_GROUP},
    ControlTemplate{IDC_PHASE_TEST_CURRENT_UNIT, K::UnitCombo, "", IDC_PHASE_PARAMETERS_GROUP},
    ControlTemplate{IDC_PHASE_TEST_CURRENT_NOTE, K::StaticText, "- Current value used during the test",
                    IDC_PHASE_PARAMETERS_GROUP},
    ControlTemplate{IDC_TEST_PROCEDURE_GROUP, K::GroupBox, "Test procedure"},
    ControlTemplate{IDC_PHASE_PROCEDURE_1, K::StaticText, "1. Check the above test parameter ", IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_PHASE_PROCEDURE_2, K::StaticText, "2. Press the Start button ", IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_PHASE_PROCEDURE_3, K::StaticText,
                    "3. Wait until the test ends and displays the result. The test has passed if phase A current IA ~ "
                    "Itest and phase B current IB ~ - Itest / 2",
                    IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_TEST_STATUS_GROUP, K::GroupBox, "Test status"},
    ControlTemplate{IDC_TEST_ICON, K::Picture, "", IDC_TEST_STATUS_GROUP},
    ControlTemplate{IDC_TEST_STATUS, K::StaticText, "", IDC_TEST_STATUS_GROUP},
    ControlTemplate{IDC_TEST_RESULT_GROUP, K::GroupBox, "Test result"},
    ControlTemplate{IDC_TEST_RESULT, K::StaticText, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_PHASE_IA_LABEL, K::StaticText, "IA", IDC_TEST_RESULT_GROUP},
    ReadOnly(IDC_PHASE_IA_VALUE, IDC_TEST_RESULT_GROUP),
    ControlTemplate{IDC_PHASE_IA_UNIT, K::StaticText, "A", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_PHASE_IA_BAR, K::BarGraph, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_PHASE_IB_LABEL, K::StaticText, "IB", IDC_TEST_RESULT_GROUP},
    ReadOnly(IDC_PHASE_IB_VALUE, IDC_TEST_RESULT_GROUP),
    ControlTemplate{IDC_PHASE_IB_UNIT, K::StaticText, "A", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_PHASE_IB_BAR, K::BarGraph, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_TEST_DETAILS, K::Button, "&Details"},
    ControlTemplate{IDC_TEST_START, K::Button, "&Start"},
    ControlTemplate{IDCANCEL, K::Button, "Close"},
    ControlTemplate{IDC_TEST_HELP, K::Button, "Help"},
};

}  // namespace

const FormTemplate kPhaseConnectionForm{"Motor Phase Connection Test", kControls};

}  // namespace pelmora
