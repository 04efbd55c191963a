#include "MySetupDlg.h"

#include "Decode.h"
#include "Encode.h"
#include "Limits.h"
#include "ShownValue.h"
#include "Steps.h"

#include "MC_Comm.h"

#include <array>
#include <cstring>
#include <string>

namespace pelmora {

namespace {

// The register steps and then the recovery step that snap one edited value.
struct SnapRule {
    const char* name;
    std::array<Step, 4> steps;  // ends at the first null
};

constexpr SnapRule kSnapRules[] = {
    {"Kp_C_scl", {Encode_KPI, Encode_SFTKPI, Decode_Kp_C_scl}},
    {"Ki_C_scl", {Encode_KII, Encode_SFTKII, Decode_Ki_C_scl}},
    {"Ki_P_scl", {Encode_SFTKIP, Encode_KIP, Decode_Ki_P_scl}},
    {"Kp_P_scl", {Encode_SFTKPP, Encode_KPP, Decode_Kp_P_scl}},
    {"Kd_P_scl", {Encode_SFTKDP, Encode_KDP, Decode_Kd_P_scl}},
    {"Ki_S_scl", {Encode_SFTKIS, Encode_KIS, Decode_Ki_S_scl}},
    {"Kp_S_scl", {Encode_SFTKPS, Encode_KPS, Decode_Kp_S_scl}},
    {"KFFA_scl", {Encode_SFTKFF, Encode_KFFA, Encode_SFTAFFW, Decode_KFFA_scl}},
    {"KFFS_scl", {Encode_SFTSFFW, Encode_KFFS, Decode_KFFS_scl}},
    {"Resolution", {Encode_MECRESL, Encode_ENC2THL, Encode_DBTTH, Decode_Resolution}},
};

}  // namespace

bool IsTestAvailable(CommissioningTest test) {
    return IsTestBuilt(test) && CMC_Comm::IsConnected();
}

CMySetupDlg::CMySetupDlg(CMC_Setup* setup, const FormTemplate& form, const char* const* guidelineSteps, int helpTopic)
    : CMC_EditSetupDlg(setup, form, 1, guidelineSteps, nullptr), m_helpTopic(helpTopic) {}

void CMySetupDlg::OnChangedParameterValue(const char* name) {
    for (const SnapRule& rule : kSnapRules) {
        if (!EqualsNoCase(rule.name, name)) continue;
        for (Step step : rule.steps) {
            if (step) step(*GetSetup());
        }
        break;
    }
    CMC_EditSetupDlg::OnChangedParameterValue(name);
}

std::string CMySetupDlg::ShownValue(const CMC_Parameter& parameter) {
    return ShownValueText(*GetSetup(), parameter.GetName(), kFieldDigits);
}

void CMySetupDlg::OnHelp() {
    if (m_helpTopic == 0) return;
    const std::string file = GetHelpFileOfGUI(GetSetup());
    if (file.empty()) return;
    GetUiBackend().OpenHelp(GetGUIDirectory() + "/" + file, m_helpTopic);
}

int CMySetupDlg::OpenChild(unsigned steps, const std::function<std::unique_ptr<CDialog>()>& make) {
    CMC_Setup& setup = *GetSetup();
    UpdateRegistersFromParameters(setup);
    UpdateParametersFromRegisters(setup);
    if (steps & kLimitsBefore) UpdateParameterLimits(setup);
    int result = IDCANCEL;
    {
        const std::unique_ptr<CDialog> child = make();
        if (!child) return IDCANCEL;
        result = child->DoModal();
    }
    if (result == IDOK) {
        UpdateRegistersFromParameters(setup);
        UpdateParametersFromRegisters(setup);
        if (steps & kRefreshAfter) RefreshAllParameters(0);
        if (steps & kRulesAfter) ApplyRules();
    }
    return result;
}

int CMySetupDlg::OpenTest(CommissioningTest test, unsigned steps) {
    if (!IsTestAvailable(test)) return IDCANCEL;
    CMC_Setup* setup = GetSetup();
    return OpenChild(steps, [test, setup] { return MakeTestDialog(test, setup); });
}

}  // namespace pelmora
