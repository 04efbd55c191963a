#include "TestVdcDetection.h"

#include "BaseQuantities.h"
#include "VdcDetectionForm.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace pelmora {

namespace {

constexpr const char* kProgram = "VDC_Detection_Test";
constexpr std::array kStatusTexts = {"Launching test", "Running test"};
constexpr int kWaitStep = 2;
constexpr int kVdcDecimals = 2;

std::string FormatG(double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%G", value);
    return text.data();
}

}  // namespace

CTestVdcDetection::CTestVdcDetection(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kVdcDetectionForm, kVdcDetectionTemplate, flag, kHelpTopic) {
    m_nStepCount = static_cast<std::int16_t>(kStatusTexts.size());
    if (CMC_Parameter* vdc = setup ? setup->FindParameter("Vdc") : nullptr) {
        m_savedVdc_V = vdc->GetValueInBaseUnit();
        m_hasVdc = true;
    }
    AddParameterControls("Vdc", IDC_VDC_VALUE, IDC_VDC_UNIT);
}

bool CTestVdcDetection::OnInitDialog() {
    CMyTestDlg::OnInitDialog();
    ShowChild(IDC_TEST_DETAILS, false);
    m_program.SetFileName(GetOutPathName(kProgram));
    m_program.ReadCoff();
    return true;
}

void CTestVdcDetection::BeginTest() {
    CMyTestDlg::BeginTest();
    SetChildText(IDC_VDC_VALUE, "");
    SetChildText(IDC_VDC_UNIT, "");
    m_bRunning = 1;
    m_nResult = -1;
    m_nStep = 0;
    ShowStepText(kStatusTexts.data());
    if (!ExecuteCode(kProgram, &m_program, nullptr)) return Fail(msc_pszErrInternal);
    ShowStepText(kStatusTexts.data());
    StartPollTimer();
}

void CTestVdcDetection::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    if (m_nStep != kWaitStep) return Fail(msc_pszErrInternal);

    // Only a short circuit matters: the measurement runs with the power stage off.
    if (!Finished(PollProgram(m_program, kMaskShortCircuit))) return;
    const std::optional<double> bus_counts = ReadDriveVariable("var_u2");
    if (!bus_counts) return;
    const double scale_counts_per_V = GetVdcScale(*GetSetup());
    CMC_Parameter* vdc = GetSetup()->FindParameter("Vdc");
    if (!vdc) return Fail(msc_pszErrInternal);
    const double vdc_V = RoundDecimalValue(*bus_counts / scale_counts_per_V, kVdcDecimals);
    // A setup without a bus scale cannot turn counts into volts; storing the quotient would put
    // an infinity or NaN into the setup.
    if (!std::isfinite(vdc_V) || !vdc->SetValueInBaseUnit(vdc_V)) return Fail(msc_pszErrInternal);
    RefreshParameterControls("Vdc");
    TestSucceeded(1);
}

void CTestVdcDetection::OnCancel() {
    const CMC_Parameter* vdc = m_hasVdc ? GetSetup()->FindParameter("Vdc") : nullptr;
    std::vector<ChangedValue> changes;
    if (vdc) {
        const std::string oldText = FormatG(m_savedVdc_V);
        const std::string newText = FormatG(vdc->GetValueInBaseUnit());
        if (oldText != newText) changes.push_back({"Power supply", oldText, newText});
    }
    switch (AskToKeepChangedValues(changes)) {
    case IDYES: return EndDialog(IDOK);
    case IDCANCEL: return;
    case IDNO:
        // Declining the measured value means keeping the one the user had: the setup is
        // edited in place, so it has to be put back.
        if (CMC_Parameter* changed = GetSetup()->FindParameter("Vdc")) changed->SetValueInBaseUnit(m_savedVdc_V);
        return CMyTestDlg::OnCancel();
    default: return CMyTestDlg::OnCancel();
    }
}

}  // namespace pelmora
