// The host's test dialog: the run state a commissioning test reads and writes, its Start/Stop
// button, status and result display, and the drive calls tests make (programs, their variables,
// the axis state).
#pragma once

#include "MC_CoffFormat.h"
#include "MC_EditSetupDlg.h"
#include "MC_Loggers.h"

#include <cstdint>
#include <string>

// Controls every test form has.
inline constexpr int IDC_TEST_START = 10000;
inline constexpr int IDC_TEST_STATUS = 10001;
inline constexpr int IDC_TEST_RESULT = 10002;
inline constexpr int IDC_TEST_DETAILS = 10003;
inline constexpr int IDC_TEST_ICON = 10004;
inline constexpr int IDC_TEST_PURPOSE = 10015;
inline constexpr int IDC_TEST_HELP = 10024;

// The polling timer tests create on their dialog.
inline constexpr int kTestTimerId = 1;

class CMC_TestDlg : public CMC_EditSetupDlg {
public:
    // Called by ExecuteCode's callers with no callback; kept for the calls' shape.
    using ExecuteCallback = void (*)(void* userData);

    static const char* const msc_pszErrInternal;
    static const char* const msc_pszErrInZero;
    // Start/Stop button captions and the outcome shown in the status line.
    static constexpr const char* kStartCaption = "&Start";
    static constexpr const char* kStopCaption = "&Stop";
    static constexpr const char* kSucceededText = "Test succeeded";
    static constexpr const char* kFailedText = "Test failed";
    static constexpr const char* kStoppedText = "Test stopped";

    // `flag` is the caller's mode flag, kept as given.
    CMC_TestDlg(CMC_Setup* setup, const FormTemplate& form, int flag, CDialog* parent);
    // A dialog that goes while its test runs ends the run: the program stops, axis off.
    ~CMC_TestDlg() override;

    // --- run state the tests use directly ---
    std::int32_t m_bRunning = 0;            // each tick acts only while non-zero
    std::int32_t m_nResult = -1;            // 1 after success, 0 after failure, -1 before an outcome
    std::int16_t m_nStepCount = 0;          // entries of the test's status-text table
    std::uint16_t m_nStep = 0;              // advanced by SetInfoText
    std::int32_t m_bStopHandledByTest = 0;  // the test's own loop reacts to Stop
    std::int32_t m_bStopRequest = 0;        // raised by Stop while the flag above is set
    std::string m_strError;                 // shown on failure
    int GetMode() const { return m_mode; }

    // --- overridables ---
    // Starts a run; the base sets the run state a run begins with.
    virtual void BeginTest();
    // Start when idle; when running, Stop: a test whose own loop handles Stop gets the request,
    // any other run ends here (program stopped, axis off).
    virtual void OnBtnStartStop();

    // --- what tests call ---
    // Shows `text` as the status and advances the step number.
    void SetInfoText(const char* text);
    // With 1: ends the run (program stopped, axis off) and shows the outcome; with 0 only shows
    // the last outcome again.
    void TestSucceeded(int end);
    void TestFailed(int end);

    int ExecuteCode(const char* program, CMC_CoffFormat* image, CMC_Logger* logger, ExecuteCallback callback = nullptr,
                    void* userData = nullptr);
    static std::string GetOutPathName(const char* program) { return ::GetOutPathName(program ? program : ""); }
    int SetUserVariableValue(CMC_CoffFormat* image, const char* name, double value, std::string& error);
    int GetUserVariableValue(CMC_CoffFormat* image, const char* name, double& value, std::string& error);
    int GetAxisOn(int& flag);

    // The reason the last ExecuteCode of this run failed, or empty.
    const std::string& GetExecuteError() const { return m_executeError; }
    // What a failed run shows: the error text, and after the host's internal error the reason
    // the program could not be started (a dropped link, a refused write), which that text hides.
    std::string FailureText() const;

    void OnCommand(int id) override;
    void OnOK() override;
    void OnCancel() override;
    void DoDataExchange(bool toControls) override;

private:
    // Ends the run and stops the drive's program.
    void EndRun();
    void ShowOutcome();

    int m_mode;
    std::string m_executeError;
};
