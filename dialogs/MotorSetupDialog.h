// The motor setup dialog: the motor's electrical and mechanical data, its sensors, the
// transmission to the load and the motor brake, with the tests that identify the motor.
#pragma once

#include "MySetupDlg.h"

namespace pelmora {

class CMotorSetupDialog : public CMySetupDlg {
public:
    explicit CMotorSetupDialog(CMC_Setup* setup);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnOK() override;
    void OnCommand(int id) override;
    void OnChangedParameterValue(const char* name) override;
    void OnRefreshParameterValue(const char* name) override;

private:
    // The setup has brake parameters and the drive has at least one brake output.
    bool IsBrakeAvailable() const;
    // Lists the drive's brake outputs, each carrying its port number, and selects `port`.
    void FillBrakeOutputs(int port);
    void ApplyControlRules();
    // Lists the units of the parameter's present unit type in its unit list.
    void ListUnits(const char* name, int unitId);
    void OnIdentifyResistanceInductance();
};

}  // namespace pelmora
