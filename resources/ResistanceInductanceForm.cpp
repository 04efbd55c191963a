#include "ResistanceInductanceForm.h"

#include "FormParts.h"
#include "MC_TestDlg.h"
#include "VdcDetectionForm.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr int kPurpose = IDC_TEST_PURPOSE_GROUP;
constexpr int kParameters = IDC_RL_PARAMETERS_GROUP;
constexpr int kProcedure = IDC_TEST_PROCEDURE_GROUP;
constexpr int kStatus = IDC_TEST_STATUS_GROUP;
constexpr int kResult = IDC_TEST_RESULT_GROUP;

constexpr std::array kControls = {
    Control(kPurpose, K::GroupBox, "Test purpose"),
    Control(IDC_TEST_PURPOSE, K::StaticText, "Identifies total resistance and inductance.", kPurpose),
    Control(kParameters, K::GroupBox, "Test parameters"),
    Control(IDC_RL_CURRENT_LABEL, K::StaticText, "Test current", kParameters),
    Control(IDC_RL_CURRENT_VALUE, K::Edit, {}, kParameters),
    Control(IDC_RL_CURRENT_UNIT, K::UnitCombo, {}, kParameters),
    Control(IDC_RL_CURRENT_NOTE, K::StaticText, "- Current value used during the test", kParameters),
    Control(kProcedure, K::GroupBox, "Test procedure"),
    Control(IDC_RL_PROCEDURE_1, K::StaticText, "1. Check the above test parameter", kProcedure),
    Control(IDC_RL_PROCEDURE_2, K::StaticText, "2. Press the Start button ", kProcedure),
    Control(IDC_RL_PROCEDURE_3, K::StaticText, "3. Wait untill the the test ends and displays the results",
            kProcedure),
    Control(kStatus, K::GroupBox, "Test status"),
    Control(IDC_TEST_ICON, K::Picture, {}, kStatus),
    Control(IDC_TEST_STATUS, K::StaticText, {}, kStatus),
    Control(kResult, K::GroupBox, "Test result"),
    Control(IDC_TEST_RESULT, K::StaticText, {}, kResult),
    Control(IDC_RL_R_LABEL, K::StaticText, "R = ", kResult),
    Control(IDC_RL_R_VALUE, K::Edit, {}, kResult),
    Control(IDC_RL_R_UNIT, K::UnitCombo, {}, kResult),
    Control(IDC_RL_L_LABEL, K::StaticText, "L = ", kResult),
    Control(IDC_RL_L_VALUE, K::Edit, {}, kResult),
    Control(IDC_RL_L_UNIT, K::UnitCombo, {}, kResult),
    Control(IDC_TEST_DETAILS, K::Button, "&Details"),
    Control(IDC_TEST_START, K::Button, "Start"),
    Control(IDCANCEL, K::Button, "Close"),
    Control(IDC_TEST_HELP, K::Button, "Help"),
};

}  // namespace

const FormTemplate kResistanceInductanceForm{"Total Resistance and Inductance Identification Test", kControls};

}  // namespace pelmora
