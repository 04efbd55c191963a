// The biquad filters of the drive's slow loop: up to three, each with its type, frequencies, Q and
// place in the loop. Opened from the speed and position tuning tests; while a test runs, the
// choices that would change the chain's layout (which filters are on, where they act) are locked.
#pragma once

#include "BiquadFilterChain.h"
#include "MySetupDlg.h"

namespace pelmora {

class CFiltersDialog : public CMySetupDlg {
public:
    // `locked`: a tuning test is running on the drive.
    explicit CFiltersDialog(CMC_Setup* setup, bool locked = false);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;

    bool IsLocked() const { return m_locked; }

protected:
    bool OnUserClick(int id) override;
    bool OnUserSelect(int id, int index) override;

private:
    void ApplyFilterRules(int filter);

    BiquadFilterChain m_chain;
    bool m_locked;
};

// What a tuning test's "Filters" button does: nothing without biquad filters; otherwise the two
// passes, the dialog (locked while the test runs), and on OK the passes again and, while the test
// runs, the new chain written to the drive so that it acts at once. Returns what the dialog
// returned (IDCANCEL when it did not open). The caller re-applies its own rules afterwards.
int OpenFiltersDialog(CMC_Setup& setup, bool testRunning);

}  // namespace pelmora
