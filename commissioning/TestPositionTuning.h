// Tunes the position controller, cascaded over the speed controller or acting on the current
// directly ("PositionControlType"): a position profile played on the drive, the target against
// the load position and the inner loop's pair, gains changed on the moving axis.
#pragma once

#include "TuningTestDlg.h"

namespace pelmora {

class CTestPositionTuning : public CTuningTestDlg {
public:
    explicit CTestPositionTuning(CMC_Setup* setup, int flag = 1);

    static constexpr int kHelpTopic = 262403;
    const char* GetMainProgram() const { return m_run.mainProgram; }

protected:
    bool WriteLimits(CMC_CoffFormat& program) override;
    void FeedforwardRules() override;
    void ScopeRulesOnValue(const char* name) override;
    void ScopeRulesOnUnit(const char* name) override;
    void ScopeRulesOnReferenceType() override;
    void RescaleAllPairs() override;
    ScopeTrigger TriggerFor(std::optional<ReferenceType> type, double amplitude) const override;

private:
    bool WithSpeedLoop() const;
    void RescaleSpeedPair();
};

}  // namespace pelmora
