// Checks that the three motor phases are connected and balanced: after the preliminary
// positioning the drive holds the test current on phase A; phase A must then carry about the
// test current and phase B about minus half of it. Nothing in the setup changes.
#pragma once

#include "MC_Graph.h"
#include "MyTestDlg.h"

namespace pelmora {

// The measured phase currents and whether they show balanced, well connected phases.
struct PhaseCurrents {
    double ia_A = 0.0;
    double ib_A = 0.0;
};
bool PhaseCurrentsPass(const PhaseCurrents& currents, double testCurrent_A);
// A phase current from its drive reading: the converter spans ±ImaxPS over its full scale.
double PhaseCurrentFromCounts(double counts, double imaxPS_A, double adcFullScale_counts);

class CTestPhaseConnections : public CMyTestDlg {
public:
    explicit CTestPhaseConnections(CMC_Setup* setup, int flag = 1);

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;
    void OnChangedParameterValue(const char* name) override;

    static constexpr int kHelpTopic = 262411;

    const CBarGraph& GetBar(int phase) const { return phase == 0 ? m_barA : m_barB; }
    double GetTestCurrent_A() const { return m_testCurrent_A; }

private:
    void ResetBars();
    void EvaluateCurrents();
    void ReadTestCurrent();

    double m_testCurrent_A = 0.0;
    CBarGraph m_barA;
    CBarGraph m_barB;
    CMC_CoffFormat m_program;
};

}  // namespace pelmora
