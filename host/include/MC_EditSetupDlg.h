// The host's editing dialog: binds controls to setup parameters by name, shows each value in
// its unit on show with a list of units beside it, commits what the user enters, and calls the
// dialog back after every change. Also runs the guideline assistant.
#pragma once

#include "MC_Dialog.h"
#include "MC_Setup.h"

#include <string>
#include <vector>

class CMC_EditSetupDlg : public CDialog {
public:
    // `guidelineSteps`: step texts ended by an empty entry, or null. `flag` and `parent` are
    // kept for the callers' sake; dialogs are always modal and parentless here.
    CMC_EditSetupDlg(CMC_Setup* setup, const FormTemplate& form, int flag, const char* const* guidelineSteps,
                     CDialog* parent);

    CMC_Setup* GetSetup() const { return m_setup; }

    // Each binds only when the setup has the parameter (looked up quietly) and the controls
    // exist; false otherwise, and the controls stay unbound.
    bool AddParameterControls(const char* name, int valueId, int unitId = 0);
    bool AddCheckParameterControls(const char* name, int checkId);
    // Option buttons firstId..lastId (form order) stand for the values 0, 1, 2, ...
    bool AddSwitchParameterControls(const char* name, int firstId, int lastId);
    // A list whose entries carry their values as item data.
    bool AddSwitchParameterControls(const char* name, int listId);
    bool AddSliderParameterControls(const char* name, int sliderId, int valueId = 0, int unitId = 0);

    // The control bound to a parameter (its value field, check box, first option button, list
    // or slider), or 0.
    int GetBoundControl(const char* name) const;
    // The unit list beside a bound value field, or 0.
    int GetUnitControl(int valueId) const;
    // The parameter a control (field, unit list, check box, option button, list, slider) is
    // bound to; empty when none.
    std::string GetBoundParameter(int id) const;

    void RefreshParameterControls(const char* name);
    void RefreshAllParameters(int flag = 0);

    // Called after the user changed a bound value (the value is already in the setup); the
    // overrides recompute and then call the base.
    virtual void OnChangedParameterValue(const char* name);
    // The second notification for a changed value.
    virtual void OnRefreshParameterValue(const char* name);
    // The user chose another unit to show a value in.
    virtual void OnChangedParameterUnit(const char* name);

    void DoDataExchange(bool toControls) override;
    void OnCommand(int id) override;
    bool OnInitDialog() override;

    // The value as a field shows it, in the unit on show.
    static std::string FormatValue(double value);
    // What a value field bound to `parameter` shows; the plug-in's dialogs leave out the noise
    // that the drive's registers add to a typed value.
    virtual std::string ShownValue(const CMC_Parameter& parameter);
    int GetGuidelineStep() const { return m_step; }

protected:
    bool OnUserText(int id, std::string_view text) override;
    bool OnUserClick(int id) override;
    bool OnUserSelect(int id, int index) override;
    bool OnUserSlider(int id, int position) override;

private:
    enum class BindingKind { Value, Check, Switch, List, Slider };
    struct Binding {
        std::string name;
        BindingKind kind;
        int firstId;
        int lastId;   // option buttons: last; value fields: the unit list (0 for none)
        int valueId;  // sliders: the companion field (0 for none)
    };

    const Binding* FindBinding(int id) const;
    void ShowBinding(const Binding& binding);
    void FillUnitList(int unitId, const CMC_Parameter& parameter);
    void ShowGuidelineStep();
    void CommitValue(const Binding& binding, double value);

    CMC_Setup* m_setup;
    std::vector<std::string> m_steps;
    int m_step = 0;
    std::vector<Binding> m_bindings;
};
