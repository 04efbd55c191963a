#include "VdcDetectionForm.h"

#include "MC_TestDlg.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr std::array kControls = {
    ControlTemplate{IDC_TEST_PURPOSE_GROUP, K::GroupBox, "Test purpose"},
    ControlTemplate{IDC_TEST_PURPOSE, K::StaticText, "Identifies the VDC voltage.", IDC_TEST_PURPOSE_GROUP},
    ControlTemplate{IDC_TEST_PROCEDURE_GROUP, K::GroupBox, "Test procedure"},
    ControlTemplate{IDC_VDC_PROCEDURE_1, K::StaticText, "1. Press the Start button", IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_VDC_PROCEDURE_2, K::StaticText, "2. Wait until the test ends and displays the results",
                    IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_TEST_STATUS_GROUP, K::GroupBox, "Test status"},
    ControlTemplate{IDC_TEST_ICON, K::Picture, "", IDC_TEST_STATUS_GROUP},
    ControlTemplate{IDC_TEST_STATUS, K::StaticText, "", IDC_TEST_STATUS_GROUP},
    ControlTemplate{IDC_TEST_RESULT_GROUP, K::GroupBox, "Test result"},
    ControlTemplate{IDC_TEST_RESULT, K::StaticText, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_VDC_LABEL, K::StaticText, "VDC", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_VDC_VALUE, K::Edit, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_VDC_UNIT, K::UnitCombo, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_TEST_DETAILS, K::Button, "&Details"},
    ControlTemplate{IDC_TEST_START, K::Button, "&Start"},
    ControlTemplate{IDCANCEL, K::Button, "Close"},
    ControlTemplate{IDC_TEST_HELP, K::Button, "Help"},
};

}  // namespace

const FormTemplate kVdcDetectionForm{"VDC Detection Test", kControls};

}  // namespace pelmora
