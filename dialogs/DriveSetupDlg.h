// The drive setup dialog: the hub from which the user reaches every other setup dialog and the
// tuning and detection tests. It opens the motor setup dialog by itself when first shown.
#pragma once

#include "MySetupDlg.h"

namespace pelmora {

class CDriveSetupDlg : public CMySetupDlg {
public:
    // `setup` must not be null (RunEditSetup answers 0 for a null setup without opening).
    explicit CDriveSetupDlg(CMC_Setup* setup);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnOK() override;
    void OnCommand(int id) override;
    void OnSelChange(int id) override;
    void OnTimer(int timerId) override;
    void OnShowWindow() override;

    void OnChangedParameterValue(const char* name) override;
    void OnRefreshParameterValue(const char* name) override;

protected:
    bool OnUserClick(int id) override;

private:
    void ApplyShowEnableRules();
    void SetDigitalTypeLabel();
    // true: the texts of inputs switched to +Vlog; false: of inputs switched to GND.
    void SetPolarityRowTexts(bool connectedToVlog);
    void SetInputTypeButtons(bool sink);
    void FillAxisIdList();
    void CommitAxisId();
    void OpenMotorSetupOnFirstShowing();
    void OpenHostHelpTopic(int topic);

    // DoDataExchange refreshes every field at its end; the refresh must not start it again.
    bool m_applyingRules = false;
    // The input type the polarities were last chosen for: the host also notifies a click on the
    // type already selected, and the polarities may flip only when the type really changes.
    int m_inputsType = 0;
};

// The body of the EditSetup export: shows the drive setup dialog modally over `setup` and
// answers 1 when the user left it with OK, 0 otherwise (also for a null setup and for any
// failure inside the dialog, which never reaches the host).
int RunEditSetup(CMC_Setup* setup);

}  // namespace pelmora
