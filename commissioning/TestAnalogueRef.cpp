#include "TestAnalogueRef.h"

#include "AnalogueRefTestForm.h"
#include "BaseQuantities.h"
#include "DriveReadings.h"
#include "Steps.h"

#include <array>
#include <cstdio>

namespace pelmora {

namespace {

constexpr const char* kProgram = "Analogue_Reference_Test";
constexpr std::array kStatusTexts = {"Launching test", "Running test"};
constexpr int kPollStep = 2;
// The input's full scale: a 10-bit converter read left-aligned.
constexpr double kAnalogueFullScale_counts = 65472.0;
constexpr int kShownDecimals = 2;
constexpr GraphColor kVoltageColour = GraphRGB(255, 0, 0);
constexpr GraphColor kCommandColour = GraphRGB(0, 255, 0);

// The command an analogue reference means in each control mode, and the limits it spans.
struct CommandKind {
    int mode;
    const char* label;
    const char* minName;
    const char* maxName;
};
constexpr std::array kCommands = {
    CommandKind{kPositionMode, "Position command", "POS_min", "POS_max"},
    CommandKind{kSpeedMode, "Speed command", "SPD_min", "SPD_max"},
    CommandKind{kTorqueMode, "Current command", "CRT_min", "CRT_max"},
};

std::string Format2(double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.2f", value);
    return text.data();
}

}  // namespace

double AnalogueInputValue(double low, double high, double ad5_counts) {
    return RoundDecimalValue((high - low) * ad5_counts / kAnalogueFullScale_counts + low, kShownDecimals);
}

double BarDrawingReference(double lo, double hi) {
    return lo > 0.0 || hi < 0.0 ? lo : 0.0;
}

CTestAnalogueRef::CTestAnalogueRef(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kAnalogueRefTestForm, kAnalogueRefTestTemplate, flag, kHelpTopic) {
    m_nStepCount = static_cast<std::int16_t>(kStatusTexts.size());
    // Stop asks this test's tick to end the run, so that Stop counts as the successful end.
    m_bStopHandledByTest = 1;
}

void CTestAnalogueRef::ShowOnBar(CBarGraph& bar, double lo, double hi, double value) {
    bar.SetLimits(lo, hi);
    bar.SetCurrentValue(value);
    bar.SetDrawingReference(BarDrawingReference(lo, hi));
    bar.Repaint();
}

bool CTestAnalogueRef::OnInitDialog() {
    CMC_Setup& setup = *GetSetup();
    const CMC_Parameter* inputRange = setup.FindParameter("AnalogueInputsRange");
    const AnalogueInputSpan span = GetAnalogueInputSpan(inputRange ? inputRange->GetValueInBaseUnit() : 0.0);
    m_voltageLow_V = span.low_V;
    m_voltageHigh_V = span.high_V;
    SetChildText(IDC_ANREF_VOLTAGE_UNIT, inputRange ? inputRange->GetUnitName() : "");

    const CMC_Parameter* controlMode = setup.FindParameter("ControlMode");
    const int mode = controlMode ? Truncate(controlMode->GetValueInBaseUnit()) : -1;
    for (const CommandKind& command : kCommands) {
        if (command.mode != mode) continue;
        const CMC_Parameter* low = setup.FindParameter(command.minName);
        const CMC_Parameter* high = setup.FindParameter(command.maxName);
        if (!low || !high) break;
        m_commandRange = Range{low->GetValue(), high->GetValue()};
        m_commandLabel = command.label;
        SetChildText(IDC_ANREF_COMMAND_UNIT, high->GetUnitName());
    }

    m_voltageBar.SubclassDlgItem(IDC_ANREF_VOLTAGE_BAR, this);
    m_commandBar.SubclassDlgItem(IDC_ANREF_COMMAND_BAR, this);
    SetChildText(IDC_ANREF_COMMAND_LABEL, m_commandLabel);
    if (m_commandRange) ShowOnBar(m_commandBar, m_commandRange->low, m_commandRange->high, m_commandRange->low);
    ShowOnBar(m_voltageBar, m_voltageLow_V, m_voltageHigh_V, 0.0);
    m_voltageBar.SetColor(kVoltageColour);
    m_voltageBar.SetValueFormat("%.2G");
    m_commandBar.SetColor(kCommandColour);
    m_commandBar.SetValueFormat("%.2f");
    ShowChild(IDC_TEST_DETAILS, false);
    SetChildText(IDC_ANREF_VOLTAGE_VALUE, "");
    SetChildText(IDC_ANREF_COMMAND_VALUE, "");
    UpdateData(false);
    return CMyTestDlg::OnInitDialog();
}

void CTestAnalogueRef::BeginTest() {
    CMyTestDlg::BeginTest();
    // Start clears the flag for tests that leave Stop to the host; this one handles it always.
    m_bStopHandledByTest = 1;
    SetChildText(IDC_ANREF_VOLTAGE_VALUE, "");
    SetChildText(IDC_ANREF_COMMAND_VALUE, "");
    m_voltageBar.SetCurrentValue(m_voltageBar.GetDrawingReference());
    m_commandBar.SetCurrentValue(m_commandBar.GetDrawingReference());
    UpdateData(false);
    m_voltageBar.Repaint();
    m_commandBar.Repaint();
    ShowStepText(kStatusTexts.data());
    if (!ExecuteCode(kProgram, nullptr, nullptr)) return Fail(msc_pszErrInternal);
    ShowStepText(kStatusTexts.data());
    StartPollTimer();
}

void CTestAnalogueRef::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return;
    if (m_nStep != kPollStep) return Fail(msc_pszErrInternal);
    if (m_bStopRequest) {
        m_bStopRequest = 0;
        TestSucceeded(1);
        return;
    }
    // The power stage stays off: only a short circuit is a fault here.
    if (!CheckDriveErrors(1, kMaskShortCircuit)) return;
    const DriveReading ad5 = ReadInternalValue(GetSetup(), "AD5");
    if (!ad5.value) return Fail(ad5.error);

    const double voltage_V = AnalogueInputValue(m_voltageLow_V, m_voltageHigh_V, *ad5.value);
    SetChildText(IDC_ANREF_VOLTAGE_VALUE, Format2(voltage_V));
    ShowOnBar(m_voltageBar, m_voltageLow_V, m_voltageHigh_V, voltage_V);
    if (m_commandRange) {
        const double command = AnalogueInputValue(m_commandRange->low, m_commandRange->high, *ad5.value);
        SetChildText(IDC_ANREF_COMMAND_VALUE, Format2(command));
        ShowOnBar(m_commandBar, m_commandRange->low, m_commandRange->high, command);
    }
    KeepUiAlive();
    // Stop may have ended the run, or Close the dialog, while the messages were pumped.
    if (m_bRunning && IsOpen()) StartPollTimer();
}

}  // namespace pelmora
