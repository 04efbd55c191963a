#include "MC_EditSetupDlg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kShownDigits = 6;

// Truncation toward zero, as switches and checks read their values.
long WholeValue(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<long>(std::trunc(value));
}

}  // namespace

CMC_EditSetupDlg::CMC_EditSetupDlg(CMC_Setup* setup, const FormTemplate& form, int /*flag*/,
                                   const char* const* guidelineSteps, CDialog* /*parent*/)
    : CDialog(form), m_setup(setup) {
    if (guidelineSteps) {
        for (const char* const* step = guidelineSteps; *step && **step; ++step) m_steps.emplace_back(*step);
    }
}

std::string CMC_EditSetupDlg::FormatValue(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*g", kShownDigits, value);
    return text;
}

std::string CMC_EditSetupDlg::ShownValue(const CMC_Parameter& parameter) { return FormatValue(parameter.GetValue()); }

bool CMC_EditSetupDlg::AddParameterControls(const char* name, int valueId, int unitId) {
    CMC_Parameter* parameter = nullptr;
    {
        CMC_QuietErrors quiet;
        parameter = m_setup ? m_setup->FindParameter(name) : nullptr;
    }
    if (!parameter || !GetControl(valueId)) return false;
    if (unitId != 0 && !GetControl(unitId)) unitId = 0;
    m_bindings.push_back({parameter->GetName(), BindingKind::Value, valueId, unitId, 0});
    ShowBinding(m_bindings.back());
    return true;
}

bool CMC_EditSetupDlg::AddCheckParameterControls(const char* name, int checkId) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = m_setup ? m_setup->FindParameter(name) : nullptr;
    if (!parameter || !GetControl(checkId)) return false;
    m_bindings.push_back({parameter->GetName(), BindingKind::Check, checkId, checkId, 0});
    ShowBinding(m_bindings.back());
    return true;
}

bool CMC_EditSetupDlg::AddSwitchParameterControls(const char* name, int firstId, int lastId) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = m_setup ? m_setup->FindParameter(name) : nullptr;
    if (!parameter || !GetControl(firstId) || !GetControl(lastId)) return false;
    m_bindings.push_back({parameter->GetName(), BindingKind::Switch, firstId, lastId, 0});
    ShowBinding(m_bindings.back());
    return true;
}

bool CMC_EditSetupDlg::AddSwitchParameterControls(const char* name, int listId) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = m_setup ? m_setup->FindParameter(name) : nullptr;
    if (!parameter || !GetControl(listId)) return false;
    m_bindings.push_back({parameter->GetName(), BindingKind::List, listId, listId, 0});
    ShowBinding(m_bindings.back());
    return true;
}

bool CMC_EditSetupDlg::AddSliderParameterControls(const char* name, int sliderId, int valueId, int unitId) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = m_setup ? m_setup->FindParameter(name) : nullptr;
    if (!parameter || !GetControl(sliderId)) return false;
    m_bindings.push_back({parameter->GetName(), BindingKind::Slider, sliderId, GetControl(unitId) ? unitId : 0,
                          GetControl(valueId) ? valueId : 0});
    ShowBinding(m_bindings.back());
    return true;
}

void CMC_EditSetupDlg::FillUnitList(int unitId, const CMC_Parameter& parameter) {
    // The list offers the units of the parameter's unit type, which a linear/rotary switch changes.
    const auto units = CMC_Units::Instance().DisplayUnits(parameter.GetUnitType());
    const ControlState* list = GetControl(unitId);
    const bool current =
        list->items.size() == units.size() &&
        std::equal(units.begin(), units.end(), list->items.begin(),
                   [](const CMC_Unit& unit, const auto& item) { return unit.GetName() == item.first; });
    if (current) return;
    ClearItems(unitId);
    for (std::size_t i = 0; i < units.size(); ++i) AddItem(unitId, units[i].GetName(), static_cast<long>(i));
}

int CMC_EditSetupDlg::GetBoundControl(const char* name) const {
    for (const Binding& binding : m_bindings) {
        if (EqualsNoCase(binding.name, name)) return binding.firstId;
    }
    return 0;
}

int CMC_EditSetupDlg::GetUnitControl(int valueId) const {
    for (const Binding& binding : m_bindings) {
        if (binding.kind == BindingKind::Value && binding.firstId == valueId) return binding.lastId;
        if (binding.kind == BindingKind::Slider && (binding.firstId == valueId || binding.valueId == valueId)) {
            return binding.lastId;
        }
    }
    return 0;
}

std::string CMC_EditSetupDlg::GetBoundParameter(int id) const {
    const Binding* binding = FindBinding(id);
    return binding ? binding->name : std::string();
}

const CMC_EditSetupDlg::Binding* CMC_EditSetupDlg::FindBinding(int id) const {
    for (const Binding& binding : m_bindings) {
        switch (binding.kind) {
            case BindingKind::Switch: {
                // The option buttons from the first to the last in form order.
                bool inside = false;
                for (const ControlState& c : Controls()) {
                    if (c.form->id == binding.firstId) inside = true;
                    if (inside && c.form->id == id) return &binding;
                    if (c.form->id == binding.lastId) break;
                }
                break;
            }
            case BindingKind::Value:
                if (binding.firstId == id || (binding.lastId != 0 && binding.lastId == id)) return &binding;
                break;
            case BindingKind::Slider:
                if (binding.firstId == id || (binding.valueId != 0 && binding.valueId == id) ||
                    (binding.lastId != 0 && binding.lastId == id)) {
                    return &binding;
                }
                break;
            default:
                if (binding.firstId == id) return &binding;
                break;
        }
    }
    return nullptr;
}

void CMC_EditSetupDlg::ShowBinding(const Binding& binding) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = m_setup->FindParameter(binding.name);
    if (!parameter) return;
    const double value = parameter->GetValueInBaseUnit();
    auto showUnit = [&](int unitId) {
        if (unitId == 0) return;
        FillUnitList(unitId, *parameter);
        const ControlState* list = GetControl(unitId);
        for (std::size_t i = 0; i < list->items.size(); ++i) {
            if (list->items[i].first == parameter->GetUnitName()) SetSelection(unitId, static_cast<int>(i));
        }
    };
    switch (binding.kind) {
        case BindingKind::Value:
            SetChildText(binding.firstId, ShownValue(*parameter));
            showUnit(binding.lastId);
            break;
        case BindingKind::Check: SetCheck(binding.firstId, value != 0.0 ? 1 : 0); break;
        case BindingKind::Switch: {
            long index = 0;
            bool inside = false;
            for (ControlState& c : Controls()) {
                if (c.form->id == binding.firstId) inside = true;
                if (!inside) continue;
                if (c.form->kind == ControlKind::OptionButton) c.check = (index++ == WholeValue(value)) ? 1 : 0;
                if (c.form->id == binding.lastId) break;
            }
            break;
        }
        case BindingKind::List: {
            const ControlState* list = GetControl(binding.firstId);
            int selection = -1;
            for (std::size_t i = 0; i < list->items.size(); ++i) {
                if (list->items[i].second == WholeValue(value)) selection = static_cast<int>(i);
            }
            SetSelection(binding.firstId, selection);
            break;
        }
        case BindingKind::Slider:
            SetSliderPosition(binding.firstId, static_cast<int>(std::lround(parameter->GetValue())));
            if (binding.valueId != 0) SetChildText(binding.valueId, ShownValue(*parameter));
            showUnit(binding.lastId);
            break;
    }
}

void CMC_EditSetupDlg::RefreshParameterControls(const char* name) {
    for (const Binding& binding : m_bindings) {
        if (EqualsNoCase(binding.name, name)) ShowBinding(binding);
    }
    NotifyChanged();
}

void CMC_EditSetupDlg::RefreshAllParameters(int) {
    for (const Binding& binding : m_bindings) ShowBinding(binding);
    NotifyChanged();
}

void CMC_EditSetupDlg::OnChangedParameterValue(const char*) {}

void CMC_EditSetupDlg::OnRefreshParameterValue(const char* name) { RefreshParameterControls(name); }

void CMC_EditSetupDlg::OnChangedParameterUnit(const char* name) { RefreshParameterControls(name); }

void CMC_EditSetupDlg::DoDataExchange(bool toControls) {
    // Values are committed as the user enters them; towards the controls every binding shows
    // the setup as it now stands.
    if (toControls) {
        for (const Binding& binding : m_bindings) ShowBinding(binding);
    }
}

bool CMC_EditSetupDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    ShowGuidelineStep();
    return true;
}

void CMC_EditSetupDlg::ShowGuidelineStep() {
    if (m_steps.empty()) return;
    SetChildText(IDC_GUIDELINE_TEXT, m_steps[static_cast<std::size_t>(m_step)]);
    EnableChild(IDC_GUIDELINE_PREVIOUS, m_step > 0);
    EnableChild(IDC_GUIDELINE_NEXT, m_step + 1 < static_cast<int>(m_steps.size()));
    NotifyChanged();
}

void CMC_EditSetupDlg::OnCommand(int id) {
    if (id == IDC_GUIDELINE_PREVIOUS && m_step > 0) {
        --m_step;
        ShowGuidelineStep();
        return;
    }
    if (id == IDC_GUIDELINE_NEXT && m_step + 1 < static_cast<int>(m_steps.size())) {
        ++m_step;
        ShowGuidelineStep();
        return;
    }
    CDialog::OnCommand(id);
}

void CMC_EditSetupDlg::CommitValue(const Binding& binding, double valueInBase) {
    CMC_Parameter* parameter = nullptr;
    {
        CMC_QuietErrors quiet;
        parameter = m_setup->FindParameter(binding.name);
    }
    if (!parameter) return;
    if (parameter->SetValueInBaseUnit(valueInBase)) {
        // Copies: a notification may rebuild the bindings' controls.
        const std::string name = binding.name;
        OnChangedParameterValue(name.c_str());
        OnRefreshParameterValue(name.c_str());
    }
    RefreshParameterControls(binding.name.c_str());
}

bool CMC_EditSetupDlg::OnUserText(int id, std::string_view text) {
    const Binding* binding = FindBinding(id);
    if (!binding || (binding->kind != BindingKind::Value && binding->kind != BindingKind::Slider)) return false;
    CMC_Parameter* parameter = nullptr;
    {
        CMC_QuietErrors quiet;
        parameter = m_setup->FindParameter(binding->name);
    }
    if (!parameter) return false;
    const TypedQuantityResult typed = ParseTypedQuantity(text);
    const CMC_Unit* unit = nullptr;
    if (typed.quantity) {
        unit = typed.quantity->unit.empty()
                   ? &parameter->GetUnit()
                   : CMC_Units::Instance().FindUnit(parameter->GetUnitType(), typed.quantity->unit);
    }
    double base = 0.0;
    const bool ok = typed.quantity && unit && parameter->ToBase(typed.quantity->value, *unit, base);
    if (!ok) {
        // A refused entry leaves the setup as it was and the field as it showed it.
        MessageBox("\"" + std::string(text) + "\" is not a valid value for " + binding->name + ".", {},
                   MessageBoxKind::Warning);
        RefreshParameterControls(binding->name.c_str());
        return true;
    }
    CommitValue(*binding, base);
    return true;
}

bool CMC_EditSetupDlg::OnUserClick(int id) {
    const Binding* binding = FindBinding(id);
    if (!binding) return false;
    if (binding->kind == BindingKind::Check) {
        CommitValue(*binding, GetCheck(id) ? 1.0 : 0.0);
        return true;
    }
    if (binding->kind == BindingKind::Switch) {
        long index = 0;
        bool inside = false;
        for (const ControlState& c : Controls()) {
            if (c.form->id == binding->firstId) inside = true;
            if (!inside || c.form->kind != ControlKind::OptionButton) continue;
            if (c.form->id == id) break;
            ++index;
        }
        CommitValue(*binding, static_cast<double>(index));
        return true;
    }
    return false;
}

bool CMC_EditSetupDlg::OnUserSelect(int id, int index) {
    const Binding* binding = FindBinding(id);
    if (!binding) return false;
    const ControlState* list = GetControl(id);
    const auto& item = list->items[static_cast<std::size_t>(index)];
    if ((binding->kind == BindingKind::Value || binding->kind == BindingKind::Slider) && binding->lastId == id) {
        CMC_Parameter* parameter = nullptr;
        {
            CMC_QuietErrors quiet;
            parameter = m_setup->FindParameter(binding->name);
        }
        if (parameter && parameter->ChangeUnit(item.first)) {
            const std::string name = binding->name;
            OnChangedParameterUnit(name.c_str());
        }
        RefreshParameterControls(binding->name.c_str());
        return true;
    }
    if (binding->kind == BindingKind::List) {
        CommitValue(*binding, static_cast<double>(item.second));
        return true;
    }
    return false;
}

bool CMC_EditSetupDlg::OnUserSlider(int id, int position) {
    const Binding* binding = FindBinding(id);
    if (!binding || binding->kind != BindingKind::Slider || binding->firstId != id) return false;
    CMC_Parameter* parameter = nullptr;
    {
        CMC_QuietErrors quiet;
        parameter = m_setup->FindParameter(binding->name);
    }
    if (!parameter) return false;
    // The slider moves in the unit on show.
    double base = 0.0;
    if (parameter->ToBase(position, parameter->GetUnit(), base)) CommitValue(*binding, base);
    return true;
}
