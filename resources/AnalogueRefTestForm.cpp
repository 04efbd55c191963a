#include "AnalogueRefTestForm.h"

#include "FormParts.h"
#include "MC_TestDlg.h"
#include "VdcDetectionForm.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr ControlTemplate ReadOnly(int id, int group) {
    ControlTemplate control = Control(id, K::Edit, {}, group);
    control.readOnly = true;
    return control;
}

constexpr int kPurpose = IDC_TEST_PURPOSE_GROUP;
constexpr int kProcedure = IDC_TEST_PROCEDURE_GROUP;
constexpr int kStatus = IDC_TEST_STATUS_GROUP;
constexpr int kResult = IDC_TEST_RESULT_GROUP;

constexpr std::array kControls = {
    Control(kPurpose, K::GroupBox, "Test purpose"),
    Control(IDC_TEST_PURPOSE, K::StaticText,
            "Checks the operation of the analogue reference signal, and its signifiance, as correlated to the "
            "control type and limits.",
            kPurpose),
    Control(kProcedure, K::GroupBox, "Test procedure"),
    Control(IDC_ANREF_PROCEDURE_1, K::StaticText, "1. Connect a potentiometer to the analogue reference input",
            kProcedure),
    Control(IDC_ANREF_PROCEDURE_2, K::StaticText, "2. Press the Start button ", kProcedure),
    Control(IDC_ANREF_PROCEDURE_3, K::StaticText, "3. Wait untill the test status shows \"Running test\"",
            kProcedure),
    Control(IDC_ANREF_PROCEDURE_4, K::StaticText,
            "4. Move the potentiometer cursor and examine the value of the analogue voltage and corresponding "
            "control value",
            kProcedure),
    Control(IDC_ANREF_PROCEDURE_5, K::StaticText, "5. Press the Stop button to end the test", kProcedure),
    Control(kStatus, K::GroupBox, "Test status"),
    Control(IDC_TEST_ICON, K::Picture, {}, kStatus),
    Control(IDC_TEST_STATUS, K::StaticText, {}, kStatus),
    Control(kResult, K::GroupBox, "Test result"),
    Control(IDC_TEST_RESULT, K::StaticText, {}, kResult),
    Control(IDC_ANREF_VOLTAGE_LABEL, K::StaticText, "Analogue input voltage", kResult),
    ReadOnly(IDC_ANREF_VOLTAGE_VALUE, kResult),
    Control(IDC_ANREF_VOLTAGE_UNIT, K::StaticText, {}, kResult),
    Control(IDC_ANREF_VOLTAGE_BAR, K::BarGraph, {}, kResult),
    Control(IDC_ANREF_COMMAND_LABEL, K::StaticText, {}, kResult),
    ReadOnly(IDC_ANREF_COMMAND_VALUE, kResult),
    Control(IDC_ANREF_COMMAND_UNIT, K::StaticText, {}, kResult),
    Control(IDC_ANREF_COMMAND_BAR, K::BarGraph, {}, kResult),
    Control(IDC_TEST_DETAILS, K::Button, "&Details"),
    Control(IDC_TEST_START, K::Button, "&Start"),
    Control(IDCANCEL, K::Button, "Close"),
    Control(IDC_TEST_HELP, K::Button, "Help"),
};

}  // namespace

const FormTemplate kAnalogueRefTestForm{"Analogue Reference Test", kControls};

}  // namespace pelmora
