#include "MyTestDlg.h"

#include "MC_Comm.h"

#include <array>
#include <cmath>

namespace pelmora {

namespace {

struct ErrorBit {
    int bit;
    const char* message;
};

// In the order they are examined: the first set bit names the fault.
constexpr std::array kErrorBits = {
    ErrorBit{1, "Drive / Motor shortcircuit protection triggered."},
    ErrorBit{3, "Drive / Motor control error protection triggered."},
    ErrorBit{5, "Hall sensor is missing."},
    ErrorBit{6, "Drive / Motor stopped due to positive limit switch input triggered."},
    ErrorBit{7, "Drive / Motor stopped due to negative limit switch input triggered."},
    ErrorBit{15, "Drive / Motor ENABLE input is in DISABLED state."},
};

constexpr const char* kQuestionHead = "A different value than specified has been detected for the following parameter(s):\r\n\r\n";
constexpr const char* kQuestionTail = "\r\nDo you want to save the new value(s)? (Recommended)";

}  // namespace

std::optional<std::string> DriveErrorMessage(std::uint16_t mer, std::uint16_t mask) {
    const unsigned examined = static_cast<unsigned>(mer) & mask;
    for (const ErrorBit& error : kErrorBits) {
        if (examined & (1U << error.bit)) return std::string(error.message);
    }
    return std::nullopt;
}

std::string ChangedValuesQuestion(const std::vector<ChangedValue>& changes) {
    if (changes.empty()) return {};
    std::string text = kQuestionHead;
    for (const ChangedValue& change : changes)
        text += change.label + ":\tOld = " + change.oldText + "\tNew = " + change.newText + "\r\n";
    return text + kQuestionTail;
}

CMyTestDlg::CMyTestDlg(CMC_Setup* setup, const FormTemplate& form, int templateId, int flag, int helpTopic)
    : CMC_TestDlg(setup, form, flag, nullptr), m_helpTopic(helpTopic) {
    // A start method that needs a minimum move would move the motor before the test's own
    // program does; the tuning tests set up their start themselves.
    if (templateId == kSpeedTuningTemplate || templateId == kPositionTuningTemplate || !setup) return;
    CMC_Parameter* minMove = nullptr;
    {
        CMC_QuietErrors quiet;
        minMove = setup->FindParameter("ABSTART_MINMOVE");
    }
    if (minMove) minMove->SetValueInBaseUnit(0.0);
}

bool CMyTestDlg::CheckDriveErrors(int failTest, std::uint16_t mask) {
    std::optional<std::string> message;
    CMC_Variable* mer = GetSetup() ? GetSetup()->FindVariable("MER", 1) : nullptr;
    if (!mer || !mer->ReadFromChip() || !std::isfinite(mer->GetValueInBaseUnit())) {
        message = msc_pszErrInternal;
    } else {
        // The register is 16 bits wide: whatever the link adds above them means nothing.
        const auto raw = static_cast<long long>(mer->GetValueInBaseUnit());
        message = DriveErrorMessage(static_cast<std::uint16_t>(raw & 0xFFFF), mask);
    }
    if (!message) return true;
    m_strError = *message;
    if (failTest) TestFailed(1);
    return false;
}

void CMyTestDlg::OnHelp() {
    const std::string file = GetHelpFileOfGUI(GetSetup());
    if (file.empty()) return;
    GetUiBackend().OpenHelp(GetGUIDirectory() + "/" + file, m_helpTopic);
}

CMyTestDlg::ProgramState CMyTestDlg::PollProgram(CMC_CoffFormat& program, std::uint16_t mask) {
    std::string error;
    double started = 0.0;
    if (!GetUserVariableValue(&program, "STARTED", started, error)) {
        Fail(error);
        return ProgramState::Failed;
    }
    // A program that never said whether it runs has not started: waiting on it would wait
    // forever, and reading its results would read nothing.
    if (started == kNoValue || !std::isfinite(started)) {
        Fail(msc_pszErrInternal);
        return ProgramState::Failed;
    }
    if (started == 0.0) return CheckDriveErrors(1, mask) ? ProgramState::Running : ProgramState::Failed;
    int axisOn = 0;
    if (!GetAxisOn(axisOn)) {
        Fail(CMC_Comm::GetLastErrorText());
        return ProgramState::Failed;
    }
    if (axisOn) return ProgramState::Running;
    return CheckDriveErrors(1, mask) ? ProgramState::Finished : ProgramState::Failed;
}

void CMyTestDlg::Fail(const std::string& message) {
    m_strError = message;
    TestFailed(1);
}

bool CMyTestDlg::StartPollTimer() {
    if (SetTimer(kTestTimerId, kTestPollPeriod_ms) != 0) return true;
    Fail(::GetLastErrorText());
    return false;
}

void CMyTestDlg::ShowStepText(const char* const* texts) {
    // A step past the table is a programming error in the test's state machine.
    SetInfoText(m_nStep < static_cast<std::uint16_t>(m_nStepCount) ? texts[m_nStep] : "");
}

std::optional<double> CMyTestDlg::ReadDriveVariable(const char* name) {
    CMC_Variable* variable = GetSetup() ? GetSetup()->FindVariable(name, 1) : nullptr;
    if (!variable) {
        Fail(msc_pszErrInternal);
        return std::nullopt;
    }
    if (!variable->ReadFromChip()) {
        Fail(CMC_Comm::GetLastErrorText());
        return std::nullopt;
    }
    const double value = variable->GetValueInBaseUnit();
    if (!std::isfinite(value)) {
        Fail(msc_pszErrInternal);
        return std::nullopt;
    }
    return value;
}

int CMyTestDlg::AskToKeepChangedValues(const std::vector<ChangedValue>& changes) {
    if (m_nResult != 1 || changes.empty()) return 0;
    return MessageBox(ChangedValuesQuestion(changes), GetCaption(), MessageBoxKind::QuestionWithCancel);
}

}  // namespace pelmora
