// The common base of the plug-in's setup dialogs: edited gains and the resolution snap to what
// the registers can hold, children open inside the two recomputation passes, and Help opens the
// dialog's topic.
#pragma once

#include "MC_EditSetupDlg.h"
#include "TestFactory.h"

#include <functional>
#include <memory>

namespace pelmora {

// Whether the test can run: this build has it and a drive can be reached. Its button stays
// disabled otherwise.
bool IsTestAvailable(CommissioningTest test);

class CMySetupDlg : public CMC_EditSetupDlg {
public:
    // `helpTopic` 0: the dialog has no help topic.
    CMySetupDlg(CMC_Setup* setup, const FormTemplate& form, const char* const* guidelineSteps, int helpTopic = 0);

    void OnChangedParameterValue(const char* name) override;
    void OnHelp() override;
    std::string ShownValue(const CMC_Parameter& parameter) override;

    // What a child opener does besides the two passes.
    enum ChildSteps : unsigned {
        kNothingMore = 0,
        kLimitsBefore = 1U << 0,  // UpdateParameterLimits after the passes, before the child
        kRefreshAfter = 1U << 1,  // on OK: RefreshAllParameters
        kRulesAfter = 1U << 2,    // on OK: re-apply the show and enable rules
    };

    // The child dialog sequence: registers then parameters (and limits), the child built by
    // `make` and shown modally, and on OK the passes again and the refreshes asked for.
    // Returns what the child's DoModal returned.
    int OpenChild(unsigned steps, const std::function<std::unique_ptr<CDialog>()>& make);
    // The same for a commissioning test; IDCANCEL without opening when the test is not available.
    int OpenTest(CommissioningTest test, unsigned steps);

    // Re-applies the show and enable rules (the transfer towards the controls).
    void ApplyRules() { UpdateData(false); }

private:
    int m_helpTopic;
};

}  // namespace pelmora
