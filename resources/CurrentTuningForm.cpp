#include "CurrentTuningForm.h"

#include "FormParts.h"
#include "MC_TestDlg.h"

namespace pelmora {

namespace {

using K = ControlKind;

constexpr int kPurposeGroup = 10014;

constexpr std::array kControls = {
    Control(IDC_CT_TABS, K::TabBar),
    // The test parameters.
    Control(kPurposeGroup, K::GroupBox, "Test purpose"),
    Control(IDC_TEST_PURPOSE, K::StaticText, "Checks current controller step input response.", kPurposeGroup),
    Control(IDC_CT_PROCEDURE_GROUP, K::GroupBox, "Test procedure"),
    Control(IDC_CT_PROCEDURE, K::StaticText, "", IDC_CT_PROCEDURE_GROUP),
    Control(IDC_CT_PARAMETERS_GROUP, K::GroupBox, "Test parameters"),
    Control(IDC_CT_TEST_CURRENT_LABEL, K::StaticText, "Test current", IDC_CT_PARAMETERS_GROUP),
    Control(IDC_CT_TEST_CURRENT, K::Edit, "", IDC_CT_PARAMETERS_GROUP),
    Control(IDC_CT_TEST_CURRENT_UNIT, K::UnitCombo, "", IDC_CT_PARAMETERS_GROUP),
    Control(IDC_CT_PROTECTION_LABEL, K::StaticText, "Over current protection", IDC_CT_PARAMETERS_GROUP),
    Control(IDC_CT_PROTECTION, K::Edit, "", IDC_CT_PARAMETERS_GROUP),
    Control(IDC_CT_PROTECTION_UNIT, K::UnitCombo, "", IDC_CT_PARAMETERS_GROUP),
    ControlTemplate{IDC_CT_PICTURE, K::Picture, "", 0, "current_step"},
    // The tuning and the test.
    Control(IDC_CT_CONTROLLER_GROUP, K::GroupBox, "Current Controller Parameters"),
    Control(IDC_CT_KP_LABEL, K::StaticText, "Kp", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KP, K::Edit, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KP_SPIN_DOWN, K::Spin, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KP_SLIDER, K::Slider, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KP_SPIN_UP, K::Spin, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KI_LABEL, K::StaticText, "Ki", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KI, K::Edit, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KI_SPIN_DOWN, K::Spin, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KI_SLIDER, K::Slider, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_KI_SPIN_UP, K::Spin, "", IDC_CT_CONTROLLER_GROUP),
    Control(IDC_CT_TUNING_GROUP, K::GroupBox, "Tuning"),
    Control(IDC_CT_PASSBAND_LABEL, K::StaticText, "Passband", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_PASSBAND, K::Edit, "", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_PASSBAND_UNIT, K::UnitCombo, "", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_PASSBAND_SPIN_DOWN, K::Spin, "", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_PASSBAND_SLIDER, K::Slider, "", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_PASSBAND_SPIN_UP, K::Spin, "", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_TUNE, K::Button, "Tune", IDC_CT_TUNING_GROUP),
    Control(IDC_CT_FILTER_GROUP, K::GroupBox, "Filter"),
    Control(IDC_CT_USE_FILTER, K::CheckBox, "Use filter on the current controller", IDC_CT_FILTER_GROUP),
    Control(IDC_CT_FILTER_LABEL, K::StaticText, "Filter bandwidth", IDC_CT_FILTER_GROUP),
    Control(IDC_CT_FILTER, K::Edit, "", IDC_CT_FILTER_GROUP),
    Control(IDC_CT_FILTER_UNIT, K::UnitCombo, "", IDC_CT_FILTER_GROUP),
    Control(IDC_CT_GRAVITY_GROUP, K::GroupBox, "Gravitational loads"),
    Control(IDC_CT_COMPENSATE, K::CheckBox, "Compensate for gravitational loads", IDC_CT_GRAVITY_GROUP),
    Control(IDC_CT_OFFSET_LABEL, K::StaticText, "Offset value", IDC_CT_GRAVITY_GROUP),
    Control(IDC_CT_OFFSET, K::Edit, "", IDC_CT_GRAVITY_GROUP),
    Control(IDC_CT_OFFSET_UNIT, K::UnitCombo, "", IDC_CT_GRAVITY_GROUP),
    Control(IDC_CT_GRAPH, K::Graph),
    Control(IDC_CT_STATUS_GROUP, K::GroupBox, "Status"),
    Control(IDC_TEST_STATUS, K::StaticText, "", IDC_CT_STATUS_GROUP),
    Control(IDC_TEST_START, K::Button, "&Start", IDC_CT_STATUS_GROUP),
    Control(IDC_CT_RESULT_GROUP, K::GroupBox, "Result"),
    Control(IDC_TEST_ICON, K::Picture, "", IDC_CT_RESULT_GROUP),
    Control(IDC_TEST_RESULT, K::StaticText, "", IDC_CT_RESULT_GROUP),
    Control(IDC_TEST_DETAILS, K::Button, "&Details"),
    // On both tabs.
    Control(IDC_CT_SAVE_PLOTS, K::Button, "S&ave Plots"),
    Control(IDOK, K::Button, "OK"),
    Control(IDCANCEL, K::Button, "Cancel"),
    Control(IDC_TEST_HELP, K::Button, "Help"),
};

}  // namespace

const FormTemplate kCurrentTuningForm{"Current Controller Tuning Test", kControls};

const std::array<int, 12> kCurrentTuningParametersTab = {
    kPurposeGroup,         IDC_TEST_PURPOSE,          IDC_CT_PROCEDURE_GROUP,
    IDC_CT_PROCEDURE,      IDC_CT_PARAMETERS_GROUP,   IDC_CT_TEST_CURRENT_LABEL,
    IDC_CT_TEST_CURRENT,   IDC_CT_TEST_CURRENT_UNIT,  IDC_CT_PROTECTION_LABEL,
    IDC_CT_PROTECTION,     IDC_CT_PROTECTION_UNIT,    IDC_CT_PICTURE,
};

const std::array<int, 36> kCurrentTuningTestTab = {
    IDC_CT_CONTROLLER_GROUP,   IDC_CT_KP_LABEL,          IDC_CT_KP,           IDC_CT_KP_SPIN_DOWN,
    IDC_CT_KP_SLIDER,          IDC_CT_KP_SPIN_UP,        IDC_CT_KI_LABEL,     IDC_CT_KI,
    IDC_CT_KI_SPIN_DOWN,       IDC_CT_KI_SLIDER,         IDC_CT_KI_SPIN_UP,   IDC_CT_TUNING_GROUP,
    IDC_CT_PASSBAND_LABEL,     IDC_CT_PASSBAND,          IDC_CT_PASSBAND_UNIT, IDC_CT_PASSBAND_SPIN_DOWN,
    IDC_CT_PASSBAND_SLIDER,    IDC_CT_PASSBAND_SPIN_UP,  IDC_CT_TUNE,         IDC_CT_FILTER_GROUP,
    IDC_CT_USE_FILTER,         IDC_CT_FILTER_LABEL,      IDC_CT_FILTER,       IDC_CT_FILTER_UNIT,
    IDC_CT_GRAVITY_GROUP,      IDC_CT_COMPENSATE,        IDC_CT_OFFSET_LABEL, IDC_CT_OFFSET,
    IDC_CT_OFFSET_UNIT,        IDC_CT_GRAPH,             IDC_CT_STATUS_GROUP, IDC_TEST_STATUS,
    IDC_TEST_START,            IDC_CT_RESULT_GROUP,      IDC_TEST_ICON,       IDC_TEST_RESULT,
};

}  // namespace pelmora
