#include "AnalogReferenceForm.h"
#include "FormParts.h"

namespace pelmora {

namespace {


using K = ControlKind;

// The option pairs sit in boxes of their own so that each pair excludes only its own partner.
constexpr ControlTemplate kControls[] = {
    Control(IDC_EXTREF_PICTURE, K::Picture, ""),
    Control(IDC_EXTREF_SOURCE_GROUP, K::GroupBox, ""),
    Control(IDC_EXTREF_DIGITAL, K::OptionButton, "Digital", IDC_EXTREF_SOURCE_GROUP),
    Control(IDC_EXTREF_ANALOGUE, K::OptionButton, "Analogue", IDC_EXTREF_SOURCE_GROUP),
    Control(IDC_EXTREF_DIGITAL_TYPE_GROUP, K::GroupBox, ""),
    Control(IDC_EXTREF_PULSE_DIRECTION, K::OptionButton, "Pulse && Direction", IDC_EXTREF_DIGITAL_TYPE_GROUP),
    Control(IDC_EXTREF_INCREMENTAL_ENCODER, K::OptionButton, "Incremental Encoder", IDC_EXTREF_DIGITAL_TYPE_GROUP),
    Control(IDC_EXTREF_RANGE_LOW, K::StaticText, ""),
    Control(IDC_EXTREF_RANGE_HIGH, K::StaticText, ""),
    Control(IDC_EXTREF_MAX_LABEL, K::StaticText, "Maximum"),
    Control(IDC_EXTREF_MAX_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_MAX_UNIT, K::UnitCombo, ""),
    Control(IDC_EXTREF_MIN_LABEL, K::StaticText, "Minimum"),
    Control(IDC_EXTREF_MIN_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_DEADBAND_POINT_LABEL, K::StaticText, "DeadBand Point"),
    Control(IDC_EXTREF_DEADBAND_POINT_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_DEADBAND_POINT_UNIT, K::UnitCombo, ""),
    Control(IDC_EXTREF_DEADBAND_RANGE_LABEL, K::StaticText, "DeadBand Range +/-"),
    Control(IDC_EXTREF_DEADBAND_RANGE_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_USE_FILTER, K::CheckBox, "Use a filter for the analogue reference input"),
    Control(IDC_EXTREF_FILTER_LABEL, K::StaticText, "Filter bandwidth"),
    Control(IDC_EXTREF_FILTER_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_FILTER_UNIT, K::UnitCombo, ""),
    Control(IDC_EXTREF_GEAR_LABEL, K::StaticText, "with gear ratio"),
    Control(IDC_EXTREF_SLAVE_LABEL, K::StaticText, "Slave"),
    Control(IDC_EXTREF_SLAVE_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_SLAVE_NOTE, K::StaticText, "(your motor)"),
    Control(IDC_EXTREF_MASTER_LABEL, K::StaticText, "Master"),
    Control(IDC_EXTREF_MASTER_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_MASTER_NOTE, K::StaticText, "(reference)"),
    Control(IDC_EXTREF_LIMIT_CHECK, K::CheckBox, "Limit maximum speed at"),
    Control(IDC_EXTREF_LIMIT1_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_LIMIT1_UNIT, K::UnitCombo, ""),
    Control(IDC_EXTREF_LIMIT2_VALUE, K::Edit, ""),
    Control(IDC_EXTREF_LIMIT2_UNIT, K::UnitCombo, ""),
    Control(IDC_EXTREF_TEST, K::Button, "&Test"),
    Control(IDHELP, K::Button, "Help"),
    Control(IDCANCEL, K::Button, "Cancel"),
    Control(IDOK, K::Button, "OK"),
};

}  // namespace

const FormTemplate kAnalogReferenceForm{"External Reference Setup", kControls};

}  // namespace pelmora
