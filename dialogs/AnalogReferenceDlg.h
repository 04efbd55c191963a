// The external reference setup: an analogue voltage mapped onto position, speed or current, or a
// digital reference (pulse and direction, or incremental encoder) with a gear ratio.
#pragma once

#include "MySetupDlg.h"

namespace pelmora {

class CAnalogReferenceDlg : public CMySetupDlg {
public:
    explicit CAnalogReferenceDlg(CMC_Setup* setup);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnCommand(int id) override;
    void OnChangedParameterValue(const char* name) override;
    void OnChangedParameterUnit(const char* name) override;
    void OnRefreshParameterValue(const char* name) override;

private:
    bool IsAnalogueReference() const;
    bool IsLimitMaximum() const;
    void SetLimitCheckText();
    void ShowFilterControls();
    void ApplyLimitFieldRule();

    int m_mode;           // ControlMode when the dialog was built: what the Q triple stands for
    bool m_hasAnalogueInput;
};

}  // namespace pelmora
