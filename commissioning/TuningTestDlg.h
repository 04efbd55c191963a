// What the speed and position tuning dialogs share over their run: the two tabs and when each may
// be entered, what is enabled when, gains and limits sent to the moving axis as the user changes
// them, "Tune" from the passband and the mass ratio, the moved mass ("Identify", the motor-mass
// question, the ratio kept in step with the total), the filters, and the scope's scaling and
// trigger with the plot commands. Each test gives its names as data and its own rules as
// overrides.
#pragma once

#include "TuningRun.h"
#include "TuningScale.h"

#include "MC_PlotMenu.h"

#include <array>
#include <optional>
#include <span>
#include <string>

namespace pelmora {

using SetupStep = int (*)(CMC_Setup&);

// A gain or limit the user edits: the registers recomputed from it, and those sent to a running
// drive, in order.
struct TuningRegisterRule {
    const char* parameter;
    std::array<SetupStep, 3> recompute;   // unused entries null
    std::array<const char*, 3> written;   // unused entries null
};

// "Tune": the design, the registers it sets (encoded in order), the gains snapped back from them,
// and the registers a running drive gets, in order.
struct TuningDesign {
    SetupStep design;
    std::array<SetupStep, 6> encode;
    std::array<SetupStep, 3> decode;
    std::array<const char*, 6> written;
};

// One tuning test's names and lists, besides the run's.
struct TuningTestSpec {
    int templateId;
    int helpTopic;
    const FormTemplate* form;
    std::span<const int> parametersTab;
    std::span<const int> testTab;
    std::span<const int> liveEditable;
    int identifyId;
    std::array<int, 2> liveValues;         // reference, response
    std::array<const char*, 2> startPictures;  // positioning first, none (StartMode 1)
    const char* scopeOption;
    const char* plotStem;
    std::span<const TuningRegisterRule> registers;
    TuningDesign tune;
};

// Pictures of the reference profile by its type, and of the start.
inline constexpr const char* kPictureReferencePositive = "reference_positive";
inline constexpr const char* kPictureReferenceNegative = "reference_negative";
inline constexpr const char* kPictureReferenceBidirectional = "reference_bidirectional";

inline constexpr const char* kLimitAboveProtection =
    "Over current protection must be greater than Drive current limit. Recommended value for Drive current limit "
    "is maximum 90% of Over current protection.";
inline constexpr const char* kTotalBelowMotorMass =
    "You have chosen a value for the total mass that is lower than the value of the motor mass.\nThe application "
    "will assume the motor mass is unknown.";

// The status texts of a tuning test: the run's, then its procedure.
constexpr std::array<const char*, 8> TuningStatusTexts(const char* procedure) {
    return {kTuningStatusTexts[0], kTuningStatusTexts[1], kTuningStatusTexts[2], kTuningStatusTexts[3],
            kTuningStatusTexts[4], kTuningStatusTexts[5], kTuningStatusTexts[6], procedure};
}

class CTuningTestDlg : public CTuningRunDlg, public PlotMenuOwner {
public:
    CTuningTestDlg(CMC_Setup* setup, const TuningTestSpec& spec, const TuningRunSpec& run, int flag);
    ~CTuningTestDlg() override;

    bool OnInitDialog() override;
    void DoDataExchange(bool toControls) override;
    void OnCommand(int id) override;
    void OnSelChange(int id) override;
    void OnShowWindow() override;
    void OnOK() override;
    void OnChangedParameterValue(const char* name) override;
    void OnRefreshParameterValue(const char* name) override;
    void OnChangedParameterUnit(const char* name) override;

    int GetTab() const { return m_tab; }
    bool IsScopeCustomised() const { return m_scopeCustomised != 0; }
    // Whether a right click over control `id` opens the plot menu: only over the scope's graph,
    // with a scope, while no run is on.
    bool PlotMenuAvailable(int id) const;
    bool WantsPlotMenu(int id) const override { return PlotMenuAvailable(id); }
    // The scope's channel-scale message: `channel`'s division moved `steps` places. 0 always;
    // the scope is customised (and repainted) when the scale changed.
    int OnChannelScale(int controlId, int channel, int steps);

protected:
    // Binds a gain's slider (with its field and unit list) when the setup has the gain; its
    // travel is half to one and a half times the present value, within the gain's limits.
    void BindSlider(const char* name, int sliderId, int valueId, int unitId = 0);

    // The test's own parts of the rules.
    virtual void FeedforwardRules() = 0;
    virtual void ScopeRulesOnValue(const char* name) = 0;
    virtual void ScopeRulesOnUnit(const char* name) = 0;
    virtual void ScopeRulesOnReferenceType() = 0;
    // Every pair the test plots, scaled (after the defaults were set).
    virtual void RescaleAllPairs() = 0;
    virtual ScopeTrigger TriggerFor(std::optional<ReferenceType> type, double amplitude) const = 0;

    // The scaling rules; each leaves a customised scope alone.
    void RescaleReferencePair();
    void RescaleCurrentPair();
    void ApplyScopeTrigger();
    void ArmScope(const ProfileTimes& times, ReferenceType type) override;
    void ShowLiveValues(const std::string& reference, const std::string& response) override;

    bool HasScope() const { return GetScopeLogger() != nullptr; }
    bool IsOnline() const;
    std::optional<ReferenceType> ReferenceTypeOf() const;
    double Base(const char* name, double otherwise = 0.0) const;
    // Sends registers to the running drive in order; stops at the first the setup lacks or the
    // drive refuses. False when it stopped.
    bool WriteRegistersToDrive(std::span<const char* const> names);
    void RescalePair(const char* first, const char* second, const char* source, const ScopeChannelScale& scale);

    const TuningTestSpec& m_spec;
    const TuningRunSpec& m_run;

private:
    void ShowTestTab(int tab);
    void UpdateReferencePicture();
    void SetupScopeDefaults();
    // The graph draws a curve for each variable the scope records.
    void PlotScopeVariables();
    void AskAboutMotorMass();
    void RoundTestAmplitude();
    void Tune();
    void Identify();
    void Filters();
    void PlotCommand(int id);
    void RepaintScope();
    const TuningRegisterRule* RuleFor(const char* name) const;

    int m_tab = 0;
    int m_scopeCustomised = 0;
    bool m_initialised = false;
};

}  // namespace pelmora
