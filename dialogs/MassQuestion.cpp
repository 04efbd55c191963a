#include "MassQuestion.h"

#include "MassQuestionForm.h"
#include "Steps.h"

namespace pelmora {

namespace {

// The total mass is raised one percent above the motor mass, so that it no longer falls below it.
constexpr double kTotalMassOverMotorMass = 1.01;

constexpr const char* kNoSelectionMessage =
    "No selection has been made. The dialog can only close if you make a selection.";

}  // namespace

CMassQuestion::CMassQuestion(CMC_Setup* setup) : CMySetupDlg(setup, kMassQuestionForm, nullptr) {}

bool CMassQuestion::OnInitDialog() {
    CMySetupDlg::OnInitDialog();
    SetCheck(IDC_MASS_INCREASE_TOTAL, m_choice == kIncreaseTotalMass ? 1 : 0);
    SetCheck(IDC_MASS_DISREGARD_MOTOR, m_choice == kDisregardMotorMass ? 1 : 0);
    ApplyRules();
    return true;
}

void CMassQuestion::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (!toControls) return;
    EnableChild(IDOK, m_choice == kIncreaseTotalMass || m_choice == kDisregardMotorMass);
}

void CMassQuestion::SetChoice(int choice) {
    m_choice = choice;
    SetCheck(IDC_MASS_INCREASE_TOTAL, m_choice == kIncreaseTotalMass ? 1 : 0);
    SetCheck(IDC_MASS_DISREGARD_MOTOR, m_choice == kDisregardMotorMass ? 1 : 0);
    ApplyRules();
}

void CMassQuestion::OnCommand(int id) {
    switch (id) {
    case IDC_MASS_INCREASE_TOTAL:
        SetChoice(kIncreaseTotalMass);
        return;
    case IDC_MASS_DISREGARD_MOTOR:
        SetChoice(kDisregardMotorMass);
        return;
    default:
        CMySetupDlg::OnCommand(id);
    }
}

void CMassQuestion::OnOK() {
    CMC_Setup& setup = *GetSetup();
    switch (m_choice) {
    case kIncreaseTotalMass: {
        const CMC_Parameter* motorMass = FindOptional(setup, "M");
        CMC_Parameter* totalMass = FindOptional(setup, "Mt");
        if (motorMass && totalMass) WriteBase(*totalMass, motorMass->GetValueInBaseUnit() * kTotalMassOverMotorMass);
        break;
    }
    case kDisregardMotorMass:
        if (CMC_Parameter* unknown = FindOptional(setup, "isMotorMassUnknown")) unknown->SetValueInBaseUnit(1.0);
        break;
    default:
        MessageBox(kNoSelectionMessage);
        return;
    }
    CMySetupDlg::OnOK();
}

}  // namespace pelmora
