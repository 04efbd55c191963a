// The common base of the commissioning tests: drive error decoding, the wait on a running drive
// program, the polling timer, the closing question when a test changed values, and Help.
#pragma once

#include "MC_TestDlg.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelmora {

// Error masks of the drive's "MER" register the tests examine.
inline constexpr std::uint16_t kMaskShortCircuit = 0x0002;
inline constexpr std::uint16_t kMaskShortCircuitEnable = 0x8002;
inline constexpr std::uint16_t kMaskAllErrors = 0xFFFF;
// The two limit-switch bits, examined when the positioning could not apply its current.
inline constexpr std::uint16_t kMaskLimitSwitches = 0x00C0;

// Period of the polling timer.
inline constexpr int kTestPollPeriod_ms = 20;

// The message for the first examined error bit of `mer`, or nothing when none is set.
std::optional<std::string> DriveErrorMessage(std::uint16_t mer, std::uint16_t mask);

// The closing question for changed values; empty when `changes` is empty.
struct ChangedValue {
    std::string label;
    std::string oldText;
    std::string newText;
};
std::string ChangedValuesQuestion(const std::vector<ChangedValue>& changes);

class CMyTestDlg : public CMC_TestDlg {
public:
    // `templateId` tells the tuning tests (which keep the start method's minimum move) from the
    // others; `helpTopic` is the test's context in the host's help file.
    CMyTestDlg(CMC_Setup* setup, const FormTemplate& form, int templateId, int flag, int helpTopic);

    // Reads "MER" and, when an examined bit is set, stores its message as the error text (and
    // fails the test when `failTest`). True when no examined bit is set.
    bool CheckDriveErrors(int failTest, std::uint16_t mask);
    // Why a program that ended early ended, when "MER" shows only bits no message names (an
    // I²t trip, say): a text with the register's value; the internal-error text when it shows
    // none, or cannot be read.
    std::string UnexplainedEndText();

    void OnHelp() override;

    // Template ids of the tuning tests.
    static constexpr int kSpeedTuningTemplate = 102;
    static constexpr int kPositionTuningTemplate = 103;

protected:
    // Spans a gain's or passband's slider over half to one and a half times its value, within its
    // limits, in whole steps of the unit on show; a parameter the setup lacks leaves it alone.
    void SetTuningSliderRange(const char* name, int sliderId);
    enum class ProgramState { Running, Finished, Failed };

    // One look at a running program: STARTED, then the axis, then the error register. Failed
    // means the test has already been failed with its message.
    ProgramState PollProgram(CMC_CoffFormat& program, std::uint16_t mask);

    // Stores `message` and ends the run as failed.
    void Fail(const std::string& message);
    // Creates the polling timer; fails the test when that is impossible.
    bool StartPollTimer();
    // Shows the status text of the current step, from a table of m_nStepCount entries.
    void ShowStepText(const char* const* texts);
    // Reads a drive variable in its base unit; fails the test (and returns nothing) when the
    // variable is missing or the read fails.
    std::optional<double> ReadDriveVariable(const char* name);
    // The same in the drive's internal units.
    std::optional<double> ReadDriveVariableInternal(const char* name);

    // Asks whether to keep the changed values. IDYES, IDNO or IDCANCEL; 0 when nothing changed
    // or the last run did not succeed, so that no question is due.
    int AskToKeepChangedValues(const std::vector<ChangedValue>& changes);

    // Loads the named drive program into `program`. A missing image is left to ExecuteCode,
    // which then fails the run with the internal error.
    void LoadProgram(CMC_CoffFormat& program, const char* name);
    // The preliminary positioning that puts the mover on a known electrical angle before a
    // test's own program. LoadPositioningProgram belongs in OnInitDialog.
    void LoadPositioningProgram();
    // Reads "TestCurrent" in internal units, truncated, into m_testCurrent, writes it to "In1"
    // and starts the positioning program. False when the test has been failed.
    bool StartPositioning();
    // One look at the positioning program (as PollProgram, mask 0x8002). Finished once it has
    // ended and "In1", "REFTST_V" and "RINCTST_V" were read back into m_testCurrent,
    // m_positioningRef and m_positioningRefInc. An "In1" of 0 (or below 0 unless
    // `onlyZeroFails`) means the drive could not apply the current: the test fails with the
    // limit switch's text when one stopped the drive, else with the zero-test-value text.
    ProgramState PollPositioning(bool onlyZeroFails = false);
    // A waiting step's verdict on one look: true once the program has finished; otherwise the
    // next look is armed (still running) or the test has already been failed.
    bool Finished(ProgramState state);
    // Gives the positioning result to `program` as "RefTest" and "RIncTest"; false when failed.
    bool HandPositioningTo(CMC_CoffFormat& program);
    // Inside a loop that reads the drive without returning: lets pending user input (Stop,
    // Close) and repaints through.
    void KeepUiAlive();

    CMC_CoffFormat m_positioning;
    double m_testCurrent = 0.0;
    double m_positioningRef = 0.0;
    double m_positioningRefInc = 0.0;

private:
    // Writes a program variable; fails the test with the host's text when refused.
    bool WriteProgramVariable(CMC_CoffFormat& program, const char* name, double value);

    int m_helpTopic;
};

}  // namespace pelmora
