#include "MyTestDlg.h"

#include "TuningProfile.h"

#include "MC_Comm.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

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

constexpr const char* kPositioningProgram = "Initial_Positioning_Test";

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

std::string CMyTestDlg::UnexplainedEndText() {
    CMC_Variable* mer = GetSetup() ? GetSetup()->FindVariable("MER", 1) : nullptr;
    if (!mer || !mer->ReadFromChip() || !std::isfinite(mer->GetValueInBaseUnit())) return msc_pszErrInternal;
    const auto bits = static_cast<unsigned>(static_cast<long long>(mer->GetValueInBaseUnit()) & 0xFFFF);
    if (bits == 0) return msc_pszErrInternal;
    char value[8];
    std::snprintf(value, sizeof value, "0x%04X", bits);
    return std::string("The drive ended the test with a protection this test does not name (MER = ") + value +
           "). Check the drive's error register before starting the test again.";
}

void CMyTestDlg::SetTuningSliderRange(const char* name, int sliderId) {
    CMC_Parameter* parameter = nullptr;
    {
        CMC_QuietErrors quiet;
        parameter = GetSetup() ? GetSetup()->FindParameter(name) : nullptr;
    }
    if (!parameter) return;
    const SliderSpan span =
        TuningSliderSpan(parameter->GetValueInBaseUnit(), parameter->GetMinInBaseUnit(), parameter->GetMaxInBaseUnit());
    double unit_base = 1.0;
    if (!parameter->ToBase(1.0, parameter->GetUnit(), unit_base) || !(unit_base > 0.0)) unit_base = 1.0;
    const double low = std::floor(span.low / unit_base);
    const double high = std::ceil(span.high / unit_base);
    constexpr double kIntMax = std::numeric_limits<int>::max();
    if (!std::isfinite(low) || !std::isfinite(high) || std::fabs(low) > kIntMax || std::fabs(high) > kIntMax) return;
    SetSliderRange(sliderId, static_cast<int>(low), static_cast<int>(high));
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

namespace {

enum class VariableUnit { Base, Internal };

std::optional<double> ReadVariable(CMC_Setup* setup, const char* name, VariableUnit unit,
                                          std::string& error) {
    CMC_Variable* variable = setup ? setup->FindVariable(name, 1) : nullptr;
    if (!variable) {
        error = CMC_TestDlg::msc_pszErrInternal;
        return std::nullopt;
    }
    if (!variable->ReadFromChip()) {
        error = CMC_Comm::GetLastErrorText();
        return std::nullopt;
    }
    const double value =
        unit == VariableUnit::Base ? variable->GetValueInBaseUnit() : variable->GetValueInInternalUnit();
    if (!std::isfinite(value) || value == kNoValue) {
        error = CMC_TestDlg::msc_pszErrInternal;
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<double> CMyTestDlg::ReadDriveVariable(const char* name) {
    std::string error;
    const std::optional<double> value = ReadVariable(GetSetup(), name, VariableUnit::Base, error);
    if (!value) Fail(error);
    return value;
}

std::optional<double> CMyTestDlg::ReadDriveVariableInternal(const char* name) {
    std::string error;
    const std::optional<double> value = ReadVariable(GetSetup(), name, VariableUnit::Internal, error);
    if (!value) Fail(error);
    return value;
}

int CMyTestDlg::AskToKeepChangedValues(const std::vector<ChangedValue>& changes) {
    if (m_nResult != 1 || changes.empty()) return 0;
    return MessageBox(ChangedValuesQuestion(changes), GetCaption(), MessageBoxKind::QuestionWithCancel);
}

void CMyTestDlg::LoadProgram(CMC_CoffFormat& program, const char* name) {
    program.SetFileName(GetOutPathName(name));
    program.ReadCoff();
}

void CMyTestDlg::LoadPositioningProgram() { LoadProgram(m_positioning, kPositioningProgram); }

bool CMyTestDlg::WriteProgramVariable(CMC_CoffFormat& program, const char* name, double value) {
    std::string error;
    if (SetUserVariableValue(&program, name, value, error)) return true;
    Fail(error.empty() ? std::string(msc_pszErrInternal) : error);
    return false;
}

bool CMyTestDlg::StartPositioning() {
    const CMC_Parameter* current = GetSetup() ? GetSetup()->FindParameter("TestCurrent") : nullptr;
    const double current_counts = current ? current->GetValueInInternalUnit() : 0.0;
    // A current the drive's counts cannot hold would reach "In1" as garbage.
    if (!current || !std::isfinite(current_counts)) {
        Fail(msc_pszErrInternal);
        return false;
    }
    m_testCurrent = std::trunc(current_counts);
    // A test that did not load the program in OnInitDialog still runs it.
    if (!m_positioning.IsLoaded()) LoadPositioningProgram();
    if (!WriteProgramVariable(m_positioning, "In1", m_testCurrent)) return false;
    if (!ExecuteCode(kPositioningProgram, &m_positioning, nullptr)) {
        Fail(msc_pszErrInternal);
        return false;
    }
    return true;
}

CMyTestDlg::ProgramState CMyTestDlg::PollPositioning(bool onlyZeroFails) {
    const ProgramState state = PollProgram(m_positioning, kMaskShortCircuitEnable);
    if (state != ProgramState::Finished) return state;
    std::string error;
    double current = 0.0;
    if (!GetUserVariableValue(&m_positioning, "In1", current, error)) {
        Fail(error.empty() ? std::string(msc_pszErrInternal) : error);
        return ProgramState::Failed;
    }
    if (current == kNoValue || !std::isfinite(current)) {
        Fail(msc_pszErrInternal);
        return ProgramState::Failed;
    }
    // The drive zeroes "In1" when it could not reach the current (an open phase, a trip).
    if (onlyZeroFails ? current == 0.0 : current <= 0.0) {
        // A limit switch also stops the positioning; its own text tells the user what to clear,
        // where the zero-value text would send them looking at the current.
        if (!CheckDriveErrors(1, kMaskLimitSwitches)) return ProgramState::Failed;
        Fail(msc_pszErrInZero);
        return ProgramState::Failed;
    }
    m_testCurrent = current;
    const std::optional<double> reference = ReadDriveVariableInternal("REFTST_V");
    if (!reference) return ProgramState::Failed;
    const std::optional<double> increment = ReadDriveVariableInternal("RINCTST_V");
    if (!increment) return ProgramState::Failed;
    m_positioningRef = *reference;
    m_positioningRefInc = *increment;
    return ProgramState::Finished;
}

bool CMyTestDlg::Finished(ProgramState state) {
    if (state == ProgramState::Running) StartPollTimer();
    return state == ProgramState::Finished;
}

bool CMyTestDlg::HandPositioningTo(CMC_CoffFormat& program) {
    return WriteProgramVariable(program, "RefTest", m_positioningRef) &&
           WriteProgramVariable(program, "RIncTest", m_positioningRefInc);
}

void CMyTestDlg::KeepUiAlive() {
    // A busy loop changes texts and plots without telling, as a timer handler does: the dialog is
    // shown anew, or a loop that runs until Stop would show nothing of what it reads.
    NotifyChanged();
    PumpMessages();
}

}  // namespace pelmora
