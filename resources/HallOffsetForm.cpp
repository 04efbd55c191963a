#include "HallOffsetForm.h"

#include "MC_TestDlg.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr ControlTemplate ReadOnly(int id, int group = 0) {
    ControlTemplate control{id, K::Edit, "", group};
    control.readOnly = true;
    return control;
}

constexpr ControlTemplate Picture(int id, const char* picture) {
    ControlTemplate control{id, K::Picture, ""};
    control.picture = picture;
    return control;
}

constexpr std::array kControls = {
    ControlTemplate{IDC_TEST_PURPOSE_GROUP, K::GroupBox, "Test purpose"},
    ControlTemplate{IDC_TEST_PURPOSE, K::StaticText, "Perform Hall signals setup.", IDC_TEST_PURPOSE_GROUP},
    ControlTemplate{IDC_HALL_PARAMETERS_GROUP, K::GroupBox, "Test parameters"},
    ControlTemplate{IDC_HALL_TEST_CURRENT_LABEL, K::StaticText, "Test current", IDC_HALL_PARAMETERS_GROUP},
    ControlTemplate{IDC_HALL_TEST_CURRENT, K::Edit, "", IDC_HALL_PARAMETERS_GROUP},
    ControlTemplate{IDC_HALL_TEST_CURRENT_UNIT, K::UnitCombo, "", IDC_HALL_PARAMETERS_GROUP},
    ControlTemplate{IDC_HALL_TEST_CURRENT_NOTE, K::StaticText, "- Current value used during the test",
                    IDC_HALL_PARAMETERS_GROUP},
    ControlTemplate{IDC_TEST_PROCEDURE_GROUP, K::GroupBox, "Test procedure"},
    ControlTemplate{IDC_HALL_PROCEDURE_1, K::StaticText, "1. Check the above test parameter", IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_HALL_PROCEDURE_2, K::StaticText, "2. Place the motor moving part in a centered position",
                    IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_HALL_PROCEDURE_3, K::StaticText, "3. Press the Start button", IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_HALL_PROCEDURE_4, K::StaticText, "4. Watch the Hall signals waveform.", IDC_TEST_PROCEDURE_GROUP},
    ControlTemplate{IDC_HALL_PROCEDURE_5, K::StaticText, "5. Wait until the test ends and displays the results.",
                    IDC_TEST_PROCEDURE_GROUP},
    // Each pane: its scale marks, the trace, the newest value and the signal's name.
    ControlTemplate{IDC_HALL_TOP_MARK_1, K::StaticText, "5[V]"},
    ControlTemplate{IDC_HALL_TRACE_1, K::Graph, ""},
    ControlTemplate{IDC_HALL_BOTTOM_MARK_1, K::StaticText, "0"},
    ReadOnly(IDC_HALL_VALUE_1),
    Picture(IDC_HALL_PICTURE_1, kPictureLinHall1),
    ControlTemplate{IDC_HALL_TOP_MARK_2, K::StaticText, "5[V]"},
    ControlTemplate{IDC_HALL_TRACE_2, K::Graph, ""},
    ControlTemplate{IDC_HALL_BOTTOM_MARK_2, K::StaticText, "0"},
    ReadOnly(IDC_HALL_VALUE_2),
    Picture(IDC_HALL_PICTURE_2, kPictureLinHall2),
    ControlTemplate{IDC_HALL_TOP_MARK_3, K::StaticText, "5[V]"},
    ControlTemplate{IDC_HALL_TRACE_3, K::Graph, ""},
    ControlTemplate{IDC_HALL_BOTTOM_MARK_3, K::StaticText, "0"},
    ReadOnly(IDC_HALL_VALUE_3),
    Picture(IDC_HALL_PICTURE_3, kPictureLinHall3),
    ControlTemplate{IDC_TEST_STATUS_GROUP, K::GroupBox, "Test status"},
    ControlTemplate{IDC_TEST_ICON, K::Picture, "", IDC_TEST_STATUS_GROUP},
    ControlTemplate{IDC_TEST_STATUS, K::StaticText, "", IDC_TEST_STATUS_GROUP},
    ControlTemplate{IDC_TEST_RESULT_GROUP, K::GroupBox, "Test result"},
    ControlTemplate{IDC_TEST_RESULT, K::StaticText, "", IDC_TEST_RESULT_GROUP},
    ControlTemplate{IDC_TEST_DETAILS, K::Button, "&Details"},
    ControlTemplate{IDC_TEST_START, K::Button, "&Start"},
    ControlTemplate{IDCANCEL, K::Button, "Close"},
    ControlTemplate{IDC_TEST_HELP, K::Button, "Help"},
};

}  // namespace

const FormTemplate kHallOffsetForm{"Offset Detection Test", kControls};

}  // namespace pelmora
