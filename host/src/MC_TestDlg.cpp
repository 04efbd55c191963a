#include "MC_TestDlg.h"

#include "MC_Comm.h"

const char* const CMC_TestDlg::msc_pszErrInternal =
    "Internal error: a drive program, variable or logger the test needs is missing, or the drive did not do "
    "what was asked. Check the connection to the drive and start the test again.";
const char* const CMC_TestDlg::msc_pszErrInZero =
    "The test value read back from the drive is zero: the drive could not apply the test current. Check the "
    "motor phase wiring and the test current, then start the test again.";

CMC_TestDlg::CMC_TestDlg(CMC_Setup* setup, const FormTemplate& form, int flag, CDialog* /*parent*/)
    : CMC_EditSetupDlg(setup, form, flag, nullptr, nullptr), m_mode(flag) {}

CMC_TestDlg::~CMC_TestDlg() {
    if (m_bRunning) EndRun();
}

void CMC_TestDlg::BeginTest() {
    m_bRunning = 1;
    m_nResult = -1;
    m_nStep = 0;
    m_bStopRequest = 0;
    m_strError.clear();
    UpdateData(false);
}

void CMC_TestDlg::OnBtnStartStop() {
    if (!m_bRunning) {
        m_bStopRequest = 0;
        m_bStopHandledByTest = 0;
        m_strError.clear();
        m_executeError.clear();
        SetChildText(IDC_TEST_RESULT, "");
        BeginTest();
        UpdateData(false);
        return;
    }
    if (m_bStopHandledByTest) {
        // The test's own loop sees the request and ends the run itself.
        m_bStopRequest = 1;
        return;
    }
    EndRun();
    SetChildText(IDC_TEST_STATUS, kStoppedText);
    UpdateData(false);
}

void CMC_TestDlg::EndRun() {
    m_bRunning = 0;
    KillTimer(kTestTimerId);
    std::string error;
    // A drive that cannot be reached cannot be stopped either; the reason stays in
    // CMC_Comm::GetLastErrorText, and the run is over for the host all the same.
    if (CMC_Comm::IsConnected()) CMC_ProgramRunner::StopProgram(error);
}

void CMC_TestDlg::SetInfoText(const char* text) {
    SetChildText(IDC_TEST_STATUS, text ? text : "");
    ++m_nStep;
}

void CMC_TestDlg::ShowOutcome() {
    if (m_nResult == 1) {
        SetChildText(IDC_TEST_STATUS, kSucceededText);
        SetChildText(IDC_TEST_RESULT, "");
    } else if (m_nResult == 0) {
        SetChildText(IDC_TEST_STATUS, kFailedText);
        SetChildText(IDC_TEST_RESULT, FailureText());
    }
    UpdateData(false);
}

std::string CMC_TestDlg::FailureText() const {
    if (m_strError == msc_pszErrInternal && !m_executeError.empty()) return m_strError + " (" + m_executeError + ")";
    return m_strError;
}

void CMC_TestDlg::TestSucceeded(int end) {
    if (end) {
        EndRun();
        m_nResult = 1;
    }
    ShowOutcome();
}

void CMC_TestDlg::TestFailed(int end) {
    if (end) {
        EndRun();
        m_nResult = 0;
    }
    ShowOutcome();
}

int CMC_TestDlg::ExecuteCode(const char* program, CMC_CoffFormat* image, CMC_Logger* logger, ExecuteCallback,
                             void*) {
    if (!GetSetup()) {
        m_executeError = "the test has no setup";
        return 0;
    }
    std::string error;
    const int started = CMC_ProgramRunner::ExecuteCode(*GetSetup(), program, image, logger, error);
    if (!started) {
        m_executeError = error;
        CMC_Comm::SetLastErrorText(m_executeError);
    }
    return started;
}

int CMC_TestDlg::SetUserVariableValue(CMC_CoffFormat* image, const char* name, double value, std::string& error) {
    return CMC_ProgramRunner::SetUserVariableValue(image, name, value, error);
}

int CMC_TestDlg::GetUserVariableValue(CMC_CoffFormat* image, const char* name, double& value, std::string& error) {
    return CMC_ProgramRunner::GetUserVariableValue(image, name, value, error);
}

int CMC_TestDlg::GetAxisOn(int& flag) {
    std::string error;
    return CMC_ProgramRunner::GetAxisOn(flag, error);
}

void CMC_TestDlg::OnCommand(int id) {
    switch (id) {
    case IDC_TEST_START: OnBtnStartStop(); return;
    case IDC_TEST_HELP: OnHelp(); return;
    default: CMC_EditSetupDlg::OnCommand(id); return;
    }
}

void CMC_TestDlg::OnOK() {
    if (m_bRunning) EndRun();
    CMC_EditSetupDlg::OnOK();
}

void CMC_TestDlg::OnCancel() {
    if (m_bRunning) EndRun();
    CMC_EditSetupDlg::OnCancel();
}

void CMC_TestDlg::DoDataExchange(bool toControls) {
    CMC_EditSetupDlg::DoDataExchange(toControls);
    if (!toControls) return;
    if (GetControl(IDC_TEST_START)) SetChildText(IDC_TEST_START, DisplayLabel(m_bRunning ? kStopCaption : kStartCaption));
}
