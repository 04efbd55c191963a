// Identifies the total moving mass seen at the motor shaft from an acceleration at the test
// current: mass = force / acceleration.
#pragma once

#include "MyTestDlg.h"

#include <cstdint>
#include <optional>

namespace pelmora {

// What the mass program reported, and what it means.
struct MassRunReport {
    double testFlag = 0.0;
    double deltaTime_samples = 0.0;   // slow-loop periods between the two speeds
    double deltaSpeed_counts = 0.0;   // motor speed counts between them
};

// The mass from a report, or the message that says why there is none.
struct MassResult {
    std::optional<double> mass_kg;
    const char* message = nullptr;
};
// `speedScale` K_VM (counts per m/s), `currentScale` K_I (counts per A), `slowPeriod_s` T_S,
// `forceConstant_N_per_A` Kf, `current_counts` the test current.
MassResult MassFromReport(const MassRunReport& report, double speedScale, double currentScale, double slowPeriod_s,
                          double forceConstant_N_per_A, double current_counts);

class CTotalMassTest : public CMyTestDlg {
public:
    explicit CTotalMassTest(CMC_Setup* setup, int flag = 0);

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnBtnStartStop() override;
    void OnTimer(int timerId) override;
    void OnOK() override;
    void OnCancel() override;

    static constexpr int kHelpTopic = 262417;
    static constexpr const char* kProtectionBelowCurrent = "I protection must be greater or equal to Test current.";

    // The last result in the base unit of "Mt" (the value "Mt" had at opening before a run).
    double ComputedMass() const { return m_computedMass_kg; }

private:
    void StartMainProgram();
    void EvaluateMainProgram();

    CMC_CoffFormat m_main;
    double m_computedMass_kg = 0.0;
    double m_savedMass_kg = 0.0;
    bool m_hasMass = false;
    std::int32_t m_speedLimit_counts = 0;
    std::int32_t m_protectionCurrent_counts = 0;
};

}  // namespace pelmora
