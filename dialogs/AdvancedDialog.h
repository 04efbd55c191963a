// The advanced settings: the timing of the drive's control loops, the control scheme of the
// position mode, where the speed feed-forward acts, the speed estimator and the freeze control.
#pragma once

#include "MySetupDlg.h"

namespace pelmora {

class CAdvancedDialog : public CMySetupDlg {
public:
    explicit CAdvancedDialog(CMC_Setup* setup);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnOK() override;
    void OnChangedParameterValue(const char* name) override;
    void OnRefreshParameterValue(const char* name) override;

    bool IsFastLoopWarningOn() const { return m_fastWarning; }
    bool IsSlowLoopWarningOn() const { return m_slowWarning; }

protected:
    bool OnUserClick(int id) override;

private:
    void OnPwmFrequencyChanged();
    void KeepPhysicalValuesAtNewSlowPeriod();
    void UpdateFastLoopWarning();
    void UpdateSlowLoopWarning();
    void ApplyOpeningRules();

    bool m_fastWarning = false;
    bool m_slowWarning = false;
    // The slow-loop period the setup's time-dependent parameters were last set for.
    double m_referenceSlowPeriod_s = 0.0;
    // The loop periods the user chose, aimed at again whenever the PWM frequency changes.
    double m_fastPeriodToKeep_s = 0.0;
    double m_slowPeriodToKeep_s = 0.0;
};

}  // namespace pelmora
