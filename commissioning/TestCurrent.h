// Tunes the current controller: a bandwidth (or gains by hand), a current step on the drive, and
// the logged step response plotted against its reference.
#pragma once

#include "MyTestDlg.h"

#include "MC_Graph.h"
#include "MC_Loggers.h"

#include <memory>

namespace pelmora {

class CTestCurrent : public CMyTestDlg {
public:
    explicit CTestCurrent(CMC_Setup* setup, int flag = 0);
    ~CTestCurrent() override;

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnCommand(int id) override;
    void OnSelChange(int id) override;
    void OnShowWindow() override;
    void OnOK() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;
    void OnChangedParameterValue(const char* name) override;
    void OnRefreshParameterValue(const char* name) override;

    // The plot of the last run: current reference and motor current (upper area), voltage
    // reference (lower).
    const CGraphWindow& GetGraph() const { return m_graph; }
    const CMC_SingleAxisLogger* GetLogger() const { return m_logger.get(); }

    static constexpr int kHelpTopic = 262408;
    // The stem "S&ave Plots" saves under.
    static constexpr const char* kPlotStem = "CurrentTuning";

private:
    void ShowTab(int tab);
    void Tune();
    void ApplyFilterAndOffset();
    void SliderRanges();
    // Sends registers to the running drive in order; stops at the first the setup lacks or the
    // drive refuses.
    bool WriteRegistersToDrive(std::initializer_list<const char*> names);
    void LaunchMain();
    void WaitForMain();
    void Upload();
    void SavePlots();

    CGraphWindow m_graph{2, 0};
    CMC_CoffFormat m_program;
    std::unique_ptr<CMC_SingleAxisLogger> m_logger;
    int m_tab = 0;
};

}  // namespace pelmora
