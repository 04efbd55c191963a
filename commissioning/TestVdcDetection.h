// Measures the drive's DC supply voltage and stores it as "Vdc".
#pragma once

#include "MyTestDlg.h"

namespace pelmora {

class CTestVdcDetection : public CMyTestDlg {
public:
    explicit CTestVdcDetection(CMC_Setup* setup, int flag = 0);

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;
    void OnCancel() override;

    static constexpr int kHelpTopic = 262405;

private:
    CMC_CoffFormat m_program;
    double m_savedVdc_V = 0.0;
    bool m_hasVdc = false;
};

}  // namespace pelmora
