#include "TotalMassForm.h"

#include "FormParts.h"
#include "MC_TestDlg.h"
#include "VdcDetectionForm.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr int kPurpose = IDC_TEST_PURPOSE_GROUP;
constexpr int kParameters = IDC_MASS_PARAMETERS_GROUP;
constexpr int kProcedure = IDC_TEST_PROCEDURE_GROUP;
constexpr int kStatus = IDC_TEST_STATUS_GROUP;
constexpr int kResult = IDC_TEST_RESULT_GROUP;

constexpr std::array kControls = {
    Control(kPurpose, K::GroupBox, "Test purpose"),
    Control(IDC_TEST_PURPOSE, K::StaticText, "Identifies the total mass (motor + load) seen at the motor shaft",
            kPurpose),
    Control(kParameters, K::GroupBox, "Test parameters"),
    Control(IDC_MASS_CURRENT_LABEL, K::StaticText, "Test current", kParameters),
    Control(IDC_MASS_CURRENT_VALUE, K::Edit, {}, kParameters),
    Control(IDC_MASS_CURRENT_UNIT, K::UnitCombo, {}, kParameters),
    Control(IDC_MASS_CURRENT_NOTE, K::StaticText, "- Current value used during the test", kParameters),
    Control(IDC_MASS_PROTECTION_LABEL, K::StaticText, "I protection", kParameters),
    Control(IDC_MASS_PROTECTION_VALUE, K::Edit, {}, kParameters),
    Control(IDC_MASS_PROTECTION_UNIT, K::UnitCombo, {}, kParameters),
    Control(IDC_MASS_PROTECTION_NOTE, K::StaticText, "- Over current protection level", kParameters),
    Control(IDC_MASS_SPEED_LABEL, K::StaticText, "Max. speed", kParameters),
    Control(IDC_MASS_SPEED_VALUE, K::Edit, {}, kParameters),
    Control(IDC_MASS_SPEED_UNIT, K::UnitCombo, {}, kParameters),
    Control(IDC_MASS_SPEED_NOTE, K::StaticText, "- Maximal motor speed", kParameters),
    Control(kProcedure, K::GroupBox, "Test procedure"),
    Control(IDC_MASS_PROCEDURE_1, K::StaticText, "1. Check the above test parameter", kProcedure),
    Control(IDC_MASS_PROCEDURE_2, K::StaticText, "2. Press the Start button ", kProcedure),
    Control(IDC_MASS_PROCEDURE_3, K::StaticText, "3. Wait until the the test ends and displays the results",
            kProcedure),
    Control(kStatus, K::GroupBox, "Test status"),
    Control(IDC_TEST_ICON, K::Picture, {}, kStatus),
    Control(IDC_TEST_STATUS, K::StaticText, {}, kStatus),
    Control(kResult, K::GroupBox, "Test result"),
    Control(IDC_TEST_RESULT, K::StaticText, {}, kResult),
    Control(IDC_MASS_RESULT_LABEL, K::StaticText, "M total = ", kResult),
    Control(IDC_MASS_RESULT_VALUE, K::Edit, {}, kResult),
    Control(IDC_MASS_RESULT_UNIT, K::UnitCombo, {}, kResult),
    Control(IDC_TEST_DETAILS, K::Button, "&Details"),
    Control(IDC_TEST_START, K::Button, "Start"),
    Control(IDCANCEL, K::Button, "Close"),
    Control(IDC_TEST_HELP, K::Button, "Help"),
};

}  // namespace

const FormTemplate kTotalMassForm{"Total mass test", kControls};

}  // namespace pelmora
