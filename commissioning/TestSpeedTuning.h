// Tunes the speed controller: a speed profile played on the drive, the speed reference against the
// load speed and the current reference against the motor current, gains changed on the moving
// axis.
#pragma once

#include "TuningTestDlg.h"

namespace pelmora {

class CTestSpeedTuning : public CTuningTestDlg {
public:
    explicit CTestSpeedTuning(CMC_Setup* setup, int flag = 1);

    static constexpr int kHelpTopic = 262402;

protected:
    bool WriteLimits(CMC_CoffFormat& program) override;
    void FeedforwardRules() override;
    void ScopeRulesOnValue(const char* name) override;
    void ScopeRulesOnUnit(const char* name) override;
    void ScopeRulesOnReferenceType() override;
    void RescaleAllPairs() override;
    ScopeTrigger TriggerFor(std::optional<ReferenceType> type, double amplitude) const override;
};

}  // namespace pelmora
