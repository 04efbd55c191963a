#include "TestPhaseConnections.h"

#include "PhaseConnectionForm.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace pelmora {

namespace {

constexpr const char* kProgram = "Motor_Phase_Connection_Test";
constexpr std::array kStatusTexts = {
    "Launching the application for preliminary test",
    "Waiting preliminary test to be finished",
    "Launching the application for test",
    "Running test",
    "Finished test",
};

enum Step : std::uint16_t { kPositioningStep = 2, kLaunchStep = 3, kWaitStep = 4 };

constexpr const char* kPhaseFaultText =
    "Possible causes of failure:\n\t- one of the motor phases is disconnected\n\t- the motor phases are unbalanced "
    "(they do not have the same resistance)\n\t- the test current isn't high enough.\nPlease check the motor phase "
    "connections to the drive and repeat the test. If the test fails and the connections are OK, increase the test "
    "current value.";

// The bars reach half as far again as the test current on either side.
constexpr double kBarSpan = 1.5;
constexpr int kCurrentDecimals = 2;

// Current on phase A, held along its axis, returns through B and C in equal halves: IA ≈ Itest
// and IA / IB ≈ −2, within these bands.
constexpr double kMinRatio = 1.5;
constexpr double kMaxRatio = 2.5;
constexpr double kMinShare = 0.6;
constexpr double kMaxShare = 1.4;

std::string FormatCurrent(double current_A) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.3G", current_A);
    return text.data();
}

}  // namespace

bool PhaseCurrentsPass(const PhaseCurrents& c, double testCurrent_A) {
    // IB = 0 fails here, before the ratio is formed.
    if (!(c.ib_A < 0.0) || !(c.ia_A > 0.0)) return false;
    const double ratio = std::fabs(c.ia_A / c.ib_A);
    return ratio > kMinRatio && ratio < kMaxRatio && c.ia_A > kMinShare * testCurrent_A &&
           c.ia_A < kMaxShare * testCurrent_A;
}

double PhaseCurrentFromCounts(double counts, double imaxPS_A, double adcFullScale_counts) {
    // ±ImaxPS spans the converter's full scale: 2·ImaxPS per full scale.
    return RoundDecimalValue(imaxPS_A * counts * 2.0 / adcFullScale_counts, kCurrentDecimals);
}

CTestPhaseConnections::CTestPhaseConnections(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kPhaseConnectionForm, kPhaseConnectionTemplate, flag, kHelpTopic) {
    m_nStepCount = static_cast<std::int16_t>(kStatusTexts.size());
    ReadTestCurrent();
    AddParameterControls("TestCurrent", IDC_PHASE_TEST_CURRENT, IDC_PHASE_TEST_CURRENT_UNIT);
}

void CTestPhaseConnections::ReadTestCurrent() {
    const CMC_Parameter* current = GetSetup() ? GetSetup()->FindParameter("TestCurrent") : nullptr;
    m_testCurrent_A = current ? current->GetValueInBaseUnit() : 0.0;
}

void CTestPhaseConnections::ResetBars() {
    for (CBarGraph* bar : {&m_barA, &m_barB}) {
        bar->SetLimits(-kBarSpan * m_testCurrent_A, kBarSpan * m_testCurrent_A);
        bar->SetCurrentValue(0.0);
        bar->Repaint();
    }
}

bool CTestPhaseConnections::OnInitDialog() {
    m_barA.SubclassDlgItem(IDC_PHASE_IA_BAR, this);
    m_barB.SubclassDlgItem(IDC_PHASE_IB_BAR, this);
    ResetBars();
    LoadProgram(m_program, kProgram);
    LoadPositioningProgram();
    const bool result = CMyTestDlg::OnInitDialog();
    ShowChild(IDC_TEST_DETAILS, false);
    return result;
}

void CTestPhaseConnections::OnChangedParameterValue(const char* name) {
    if (name && std::strcmp(name, "TestCurrent") == 0) ReadTestCurrent();
    UpdateData(false);
    CMyTestDlg::OnChangedParameterValue(name);
}

void CTestPhaseConnections::BeginTest() {
    CMyTestDlg::BeginTest();
    SetChildText(IDC_PHASE_IA_VALUE, "");
    SetChildText(IDC_PHASE_IB_VALUE, "");
    ResetBars();
    ShowStepText(kStatusTexts.data());
    if (!StartPositioning()) return;
    ShowStepText(kStatusTexts.data());
    StartPollTimer();
}

void CTestPhaseConnections::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    switch (m_nStep) {
    case kPositioningStep:
        if (!Finished(PollPositioning())) return;
        ShowStepText(kStatusTexts.data());
        [[fallthrough]];
    case kLaunchStep:
        if (!HandPositioningTo(m_program)) return;
        if (!ExecuteCode(kProgram, &m_program, nullptr)) return Fail(msc_pszErrInternal);
        ShowStepText(kStatusTexts.data());
        StartPollTimer();
        return;
    case kWaitStep:
        if (!Finished(PollProgram(m_program, kMaskShortCircuitEnable))) return;
        return EvaluateCurrents();
    default: return Fail(msc_pszErrInternal);
    }
}

void CTestPhaseConnections::EvaluateCurrents() {
    const std::optional<double> i1_counts = ReadDriveVariableInternal("var_i1");
    if (!i1_counts) return;
    const std::optional<double> i2_counts = ReadDriveVariableInternal("var_i2");
    if (!i2_counts) return;
    const CMC_Parameter* imaxPS = GetSetup()->FindParameter("ImaxPS");
    const auto fullScale_counts = static_cast<double>(Compute_ADCMaxValue(GetSetup()));
    if (!imaxPS || fullScale_counts <= 0.0) return Fail(msc_pszErrInternal);
    const PhaseCurrents currents{PhaseCurrentFromCounts(*i1_counts, imaxPS->GetValueInBaseUnit(), fullScale_counts),
                                 PhaseCurrentFromCounts(*i2_counts, imaxPS->GetValueInBaseUnit(), fullScale_counts)};
    if (!std::isfinite(currents.ia_A) || !std::isfinite(currents.ib_A)) return Fail(msc_pszErrInternal);
    SetChildText(IDC_PHASE_IA_VALUE, FormatCurrent(currents.ia_A));
    SetChildText(IDC_PHASE_IB_VALUE, FormatCurrent(currents.ib_A));
    if (!PhaseCurrentsPass(currents, m_testCurrent_A)) return Fail(kPhaseFaultText);
    m_barA.SetCurrentValue(currents.ia_A);
    m_barB.SetCurrentValue(currents.ib_A);
    m_barA.Repaint();
    m_barB.Repaint();
    TestSucceeded(1);
}

}  // namespace pelmora
