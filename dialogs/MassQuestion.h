// Asked before controller tuning when the motor's moving mass exceeds the total moved mass.
#pragma once

#include "MySetupDlg.h"

namespace pelmora {

class CMassQuestion : public CMySetupDlg {
public:
    enum Choice : int {
        kNoChoice = 0,
        kIncreaseTotalMass = 1,
        kDisregardMotorMass = 2,
    };

    explicit CMassQuestion(CMC_Setup* setup);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnCommand(int id) override;
    void OnOK() override;

    int GetChoice() const { return m_choice; }
    // Takes a choice (as clicking its option does) and re-applies the rules.
    void SetChoice(int choice);

private:
    int m_choice = kIncreaseTotalMass;
};

}  // namespace pelmora
