#include "TotalMassTest.h"

#include "BaseQuantities.h"
#include "Steps.h"
#include "TotalMassForm.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <string>

namespace pelmora {

namespace {

constexpr const char* kMainProgram = "Total_Mass_Identification_Test";
constexpr std::array kStatusTexts = {
    "Launching code for preliminary test",
    "Waiting preliminary test to be finished",
    "Launching code for M test",
    "Waiting M test to be finished",
};

enum Step : int {
    kWaitPositioning = 2,
    kLaunchMain = 3,
    kWaitMain = 4,
};

constexpr const char* kSpeedNegative =
    "When a POSITIVE force level is applied to the motor, the measured speed is NEGATIVE.\nPossible causes of "
    "failure:\n\t\tThe current controller is not tuned;\n\t\tThe encoder signals are reversed;\n\t\tCheck the "
    "current controller tuning;\n\t\tUse the test <<Detect number of lines>> to verify the encoder counting "
    "direction;\n\t\tCheck if the motor nominal current was correctly set";
constexpr const char* kSpeedNegativeStop =
    "When a POSITIVE force level is applied to the motor, the measured speed is NEGATIVE.\nPossible causes of "
    "failure:\n\t\tThe current controller is not tuned;\n\t\tThe encoder signals are reversed;\n\t\tCheck the "
    "current controller tuning;\n\t\tUse the test <<Detect number of lines>> to verify the encoder counting "
    "direction;\n\t\tCheck if the motor nominal current was correctly set.";
constexpr const char* kSpeedZero =
    "When trying to apply POSITIVE force to the motor, the measured speed is ZERO, or the reference force cannot be "
    "reached!\nPossible causes of failure:\n\t\tThe current controller is not tuned;\n\t\tThe encoder signals are "
    "missing;\n\t\tThe DC voltage level is not high enough;\n\t\tCheck the current controller tuning;\n\t\tUse the "
    "encoder <<Test connections>> to verify presence of the encoder signals\n\t\tCheck if the motor nominal "
    "current was correctly set.\n\t\tTry to decrease the test current.";
constexpr const char* kSpeedNotReached =
    "The motor does not reach the programmed speed level!\nYou may have a problem with the encoder or the initial "
    "positioning is not performed correctly. Check the encoder and motor connections. If these are OK, try to "
    "increase the test current.";
constexpr const char* kNoSpeedChange =
    "The drive reported no change of speed during the acceleration, so the mass cannot be computed. Check the "
    "motor connections and the Hall sensors, then start the test again.";

// How the program says why it found no acceleration.
constexpr double kNegativeSpeedCode = -1.0;
constexpr double kZeroSpeedCode = -2.0;

std::string FormatG(double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%g", value);
    return text.data();
}

}  // namespace

MassResult MassFromReport(const MassRunReport& report, double speedScale, double currentScale, double slowPeriod_s,
                          double forceConstant_N_per_A, double current_counts) {
    if (report.testFlag <= 0.0) return {std::nullopt, kSpeedNegative};
    if (report.deltaTime_samples == kNegativeSpeedCode) return {std::nullopt, kSpeedNegativeStop};
    if (report.deltaTime_samples == kZeroSpeedCode) return {std::nullopt, kSpeedZero};
    if (report.deltaTime_samples <= 0.0) return {std::nullopt, kSpeedNotReached};
    if (report.deltaSpeed_counts == 0.0) return {std::nullopt, kNoSpeedChange};
    // m = F·Δt/Δv with F = Kf·I/K_I, Δt = delta_time·T_S, Δv = delta_speed/K_VM.
    const double mass_kg = speedScale / currentScale * report.deltaTime_samples * slowPeriod_s * forceConstant_N_per_A /
                           report.deltaSpeed_counts * current_counts;
    if (!std::isfinite(mass_kg)) return {std::nullopt, CMC_TestDlg::msc_pszErrInternal};
    return {mass_kg, nullptr};
}

CTotalMassTest::CTotalMassTest(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kTotalMassForm, kTotalMassTemplate, flag, kHelpTopic) {
    m_nStepCount = static_cast<std::int16_t>(kStatusTexts.size());
    AddParameterControls("TestMaxSpeed", IDC_MASS_SPEED_VALUE, IDC_MASS_SPEED_UNIT);
    AddParameterControls("Mt", IDC_MASS_RESULT_VALUE, IDC_MASS_RESULT_UNIT);
    AddParameterControls("TestCurrent", IDC_MASS_CURRENT_VALUE, IDC_MASS_CURRENT_UNIT);
    AddParameterControls("TestProtectionCurrent", IDC_MASS_PROTECTION_VALUE, IDC_MASS_PROTECTION_UNIT);
}

bool CTotalMassTest::OnInitDialog() {
    CMyTestDlg::OnInitDialog();
    ShowChild(IDC_TEST_DETAILS, false);
    SetChildText(IDC_MASS_RESULT_VALUE, "");
    LoadProgram(m_main, kMainProgram);
    LoadPositioningProgram();
    if (const CMC_Parameter* mass = GetSetup()->FindParameter("Mt")) {
        m_savedMass_kg = mass->GetValueInBaseUnit();
        m_hasMass = true;
    }
    m_computedMass_kg = m_savedMass_kg;
    return false;
}

void CTotalMassTest::OnBtnStartStop() {
    if (!m_bRunning) {
        const CMC_Parameter* current = GetSetup()->FindParameter("TestCurrent");
        const CMC_Parameter* protection = GetSetup()->FindParameter("TestProtectionCurrent");
        if (current && protection && current->GetValueInBaseUnit() > protection->GetValueInBaseUnit()) {
            MessageBox(kProtectionBelowCurrent);
            return;
        }
    }
    CMyTestDlg::OnBtnStartStop();
}

void CTotalMassTest::BeginTest() {
    RefreshAllParameters(0);
    SetChildText(IDC_MASS_RESULT_VALUE, "");
    CMyTestDlg::BeginTest();
    ShowStepText(kStatusTexts.data());
    if (!StartPositioning()) return;
    if (!StartPollTimer()) return;
    ShowStepText(kStatusTexts.data());
}

void CTotalMassTest::StartMainProgram() {
    CMC_Setup& setup = *GetSetup();
    const CMC_Parameter* speed = setup.FindParameter("TestMaxSpeed");
    const CMC_Parameter* protection = setup.FindParameter("TestProtectionCurrent");
    if (!speed || !protection) return Fail(msc_pszErrInternal);
    if (!HandPositioningTo(m_main)) return;
    m_speedLimit_counts = Truncate(speed->GetValueInInternalUnit());
    m_protectionCurrent_counts = Truncate(protection->GetValueInInternalUnit());
    std::string error;
    if (!SetUserVariableValue(&m_main, "In1", m_testCurrent, error) ||
        !SetUserVariableValue(&m_main, "LimitSpeedMax", m_speedLimit_counts, error) ||
        !SetUserVariableValue(&m_main, "Imax_Prot_Test", m_protectionCurrent_counts, error))
        return Fail(error);
    if (!ExecuteCode(kMainProgram, &m_main, nullptr)) return Fail(msc_pszErrInternal);
    ShowStepText(kStatusTexts.data());
    StartPollTimer();
}

void CTotalMassTest::EvaluateMainProgram() {
    MassRunReport report;
    std::string error;
    if (!GetUserVariableValue(&m_main, "test_flag", report.testFlag, error) ||
        !GetUserVariableValue(&m_main, "delta_time", report.deltaTime_samples, error) ||
        !GetUserVariableValue(&m_main, "delta_speed", report.deltaSpeed_counts, error))
        return Fail(error);
    // A result the program never wrote is no measurement.
    for (double value : {report.testFlag, report.deltaTime_samples, report.deltaSpeed_counts}) {
        if (value == kNoValue || !std::isfinite(value)) return Fail(msc_pszErrInternal);
    }
    CMC_Setup& setup = *GetSetup();
    const CMC_Parameter* kf = setup.FindParameter("Kf");
    CMC_Parameter* mass = setup.FindParameter("Mt");
    if (!kf || !mass) return Fail(msc_pszErrInternal);
    const MassResult result = MassFromReport(report, GetMotorSpeedScale(setup), GetCurrentScale(setup),
                                             GetSpeedLoopPeriod(setup), kf->GetValueInBaseUnit(), m_testCurrent);
    if (!result.mass_kg) return Fail(result.message);
    if (!mass->SetValueInBaseUnit(*result.mass_kg)) return Fail(msc_pszErrInternal);
    // The setup may have clipped it to its range: what it holds is the result.
    m_computedMass_kg = mass->GetValueInBaseUnit();
    RefreshAllParameters(0);
    TestSucceeded(1);
}

void CTotalMassTest::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    switch (m_nStep) {
    case kWaitPositioning:
        if (!Finished(PollPositioning())) return;
        ShowStepText(kStatusTexts.data());
        return StartMainProgram();
    case kWaitMain:
        // Every fault the drive knows counts while the motor accelerates freely.
        if (!Finished(PollProgram(m_main, kMaskAllErrors))) return;
        return EvaluateMainProgram();
    default: return Fail(msc_pszErrInternal);
    }
}

void CTotalMassTest::OnOK() {
    CMyTestDlg::OnOK();
    const CMC_Parameter* protection = GetSetup()->FindParameter("TestProtectionCurrent");
    CMC_Parameter* limit = GetSetup()->FindParameter("Imax_Prot");
    if (protection && limit) limit->SetValueInBaseUnit(protection->GetValueInBaseUnit());
}

void CTotalMassTest::OnCancel() {
    std::vector<ChangedValue> changes;
    const std::string oldText = FormatG(m_savedMass_kg);
    const std::string newText = FormatG(m_computedMass_kg);
    if (m_hasMass && oldText != newText) changes.push_back({"Total mass", oldText, newText});
    switch (AskToKeepChangedValues(changes)) {
    case IDYES: return EndDialog(IDOK);
    case IDCANCEL: return;
    case IDNO:
        if (CMC_Parameter* mass = GetSetup()->FindParameter("Mt")) mass->SetValueInBaseUnit(m_savedMass_kg);
        return EndDialog(IDCANCEL);
    default: return CMyTestDlg::OnCancel();
    }
}

}  // namespace pelmora
