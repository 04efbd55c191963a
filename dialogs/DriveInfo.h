// The drive's identity and hardware data. The hardware data are read-only unless a hidden service
// key chord switches the edit mode on.
#pragma once

#include "MySetupDlg.h"

#include <cstddef>
#include <string>

namespace pelmora {

class CDriveInfo : public CMySetupDlg {
public:
    // The letter that, pressed with Ctrl, Alt and Shift held, toggles the service edit mode.
    static constexpr char kServiceKey = 'S';
    // The longest application identifier the drive keeps, in bytes.
    static constexpr std::size_t kMaxAppIdLength = 40;

    explicit CDriveInfo(CMC_Setup* setup);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnOK() override;
    void OnChangedParameterValue(const char* name) override;

    // Every key pressed while the dialog has the focus, before any control handles it (`key`: the
    // letter's upper- or lower-case character or another key code). Returns whether the key was
    // used up; the service chord toggles the edit mode and still lets the key go on.
    bool PreTranslateKey(int key, bool ctrl, bool alt, bool shift) override;

    bool IsEditMode() const { return m_editMode; }

protected:
    bool OnUserText(int id, std::string_view text) override;

private:
    bool FlagSet(const char* name) const;

    bool m_editMode = false;
    int m_shownE2ROMKwords = 0;  // what the memory size field showed at opening
};

}  // namespace pelmora
