// The host's scope settings editor: the window, its trigger, and how each plotted variable is
// scaled. OK takes every value or, when one is refused, none, and says which field and why.
#pragma once

#include "MC_Dialog.h"
#include "MC_Loggers.h"

#include <array>
#include <optional>
#include <string>

class CMC_Variable;

enum ScopeSettingsControlId : int {
    IDC_SCOPE_WINDOW_GROUP = 20100,
    IDC_SCOPE_WINDOW_LABEL,
    IDC_SCOPE_WINDOW,
    IDC_SCOPE_WINDOW_UNIT,
    IDC_SCOPE_MODE_LABEL,
    IDC_SCOPE_MODE,
    IDC_SCOPE_TRIGGER_GROUP = 20110,
    IDC_SCOPE_TRIGGER_LABEL,
    IDC_SCOPE_TRIGGER,
    IDC_SCOPE_SLOPE_LABEL,
    IDC_SCOPE_SLOPE,
    IDC_SCOPE_LEVEL_LABEL,
    IDC_SCOPE_LEVEL,
    IDC_SCOPE_LEVEL_UNIT,
    IDC_SCOPE_PRETRIGGER_LABEL,
    IDC_SCOPE_PRETRIGGER,
    IDC_SCOPE_PRETRIGGER_UNIT,
    // Channel k's controls are these plus k × IDC_SCOPE_CHANNEL_SPAN.
    IDC_SCOPE_CHANNEL_GROUP = 20200,
    IDC_SCOPE_CHANNEL_STEP_LABEL,
    IDC_SCOPE_CHANNEL_STEP,
    IDC_SCOPE_CHANNEL_UNIT,
    IDC_SCOPE_CHANNEL_OFFSET_LABEL,
    IDC_SCOPE_CHANNEL_OFFSET,
    IDC_SCOPE_CHANNEL_SPAN = 10,
};

extern const FormTemplate kScopeSettingsForm;

// The texts of the mode and slope lists, in the order their entries stand.
inline constexpr std::array<const char*, 3> kScopeModeTexts = {"Free running", "Rearming", "Single shot"};
inline constexpr std::array<const char*, 2> kScopeSlopeTexts = {"Rising", "Falling"};
// The trigger list's entry for no trigger variable.
inline constexpr const char* kScopeNoTrigger = "(none)";

class CScopeSettingsDlg : public CDialog {
public:
    // Channels the form has rows for; the scope's further variables keep their scales.
    static constexpr int kMaxChannels = 6;

    explicit CScopeSettingsDlg(CMC_ScopeLogger& scope);

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnOK() override;
    void OnSelChange(int id) override;

    // Whether OK gave the scope settings other than those it had.
    bool Changed() const { return m_changed; }

    static constexpr int ChannelControl(int first, int channel) { return first + channel * IDC_SCOPE_CHANNEL_SPAN; }

private:
    // The settings the fields describe, or the message that names the field refused and why.
    std::optional<CMC_ScopeLogger::Settings> ReadForm(std::string& message) const;
    std::string FieldName(const CMC_ScopeLogger::SettingsFault& fault) const;
    void FillChannel(int channel);
    // Converts the channel's step and offset on show to the unit just chosen.
    void ConvertChannelUnit(int channel);
    const CMC_Variable* ChannelVariable(int channel) const;
    const CMC_Variable* TriggerVariable() const;
    void ShowLevelUnit();

    CMC_ScopeLogger& m_scope;
    CMC_ScopeLogger::Settings m_before;
    // The unit each channel's list showed before the user's last choice.
    std::array<int, kMaxChannels> m_unitShown{};
    std::array<int, kMaxChannels> m_unitFirst{};
    bool m_changed = false;
};
