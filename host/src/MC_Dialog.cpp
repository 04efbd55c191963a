#include "MC_Dialog.h"

#include "HeadlessUi.h"

#include <algorithm>
#include <cassert>

namespace {

UiBackend*& InstalledBackend() {
    static UiBackend* backend = nullptr;
    return backend;
}

UiBackend& DefaultBackend() {
    // Without a backend of its own a process has no screen: dialogs run headless, and with no
    // script they are cancelled as soon as they open.
    static HeadlessUi headless;
    return headless;
}

bool IsList(const ControlState& c) {
    return c.form->kind == ControlKind::DropDownList || c.form->kind == ControlKind::UnitCombo ||
           c.form->kind == ControlKind::TabBar;
}

}  // namespace

bool IsFieldNote(std::string_view shownLabel) { return !shownLabel.empty() && shownLabel.front() == '('; }

std::string DisplayLabel(std::string_view stored) {
    std::string shown;
    shown.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] == '&') {
            if (i + 1 < stored.size() && stored[i + 1] == '&') {
                shown += '&';
                ++i;
            }
            continue;
        }
        shown += stored[i];
    }
    return shown;
}

UiBackend& GetUiBackend() { return InstalledBackend() ? *InstalledBackend() : DefaultBackend(); }

void SetUiBackend(UiBackend* backend) { InstalledBackend() = backend; }

CDialog::CDialog(const FormTemplate& form) : m_form(form) { BuildControls(); }

CDialog::~CDialog() {
    // A dialog's timers die with it.
    for (int id : m_timers) GetUiBackend().StopTimer(*this, id);
}

void CDialog::BuildControls() {
    m_controls.clear();
    m_index.clear();
    m_controls.reserve(m_form.controls.size());
    for (const ControlTemplate& control : m_form.controls) {
        ControlState state;
        state.form = &control;
        state.text = DisplayLabel(control.label);
        state.picture = std::string(control.picture);
        m_index.emplace(control.id, m_controls.size());
        m_controls.push_back(std::move(state));
    }
}

int CDialog::DoModal() {
    m_open = true;
    m_result = IDCANCEL;
    OnInitDialog();
    if (m_open) GetUiBackend().RunModal(*this);
    m_open = false;
    for (int id : m_timers) GetUiBackend().StopTimer(*this, id);
    m_timers.clear();
    return m_result;
}

void CDialog::EndDialog(int result) {
    m_result = result;
    m_open = false;
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(bool) {}

bool CDialog::UpdateData(bool saveAndValidate) {
    DoDataExchange(!saveAndValidate);
    if (!saveAndValidate) NotifyChanged();
    return true;
}

void CDialog::OnOK() {
    if (UpdateData(true)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnCommand(int id) {
    switch (id) {
        case IDOK:
            OnOK();
            break;
        case IDCANCEL:
            OnCancel();
            break;
        case IDHELP:
            OnHelp();
            break;
        default:
            break;
    }
}

void CDialog::OnSelChange(int) {}

void CDialog::OnTimer(int) {}

int CDialog::SetTimer(int timerId, int elapse_ms) {
    if (std::find(m_timers.begin(), m_timers.end(), timerId) == m_timers.end()) m_timers.push_back(timerId);
    GetUiBackend().StartTimer(*this, timerId, elapse_ms);
    return timerId;
}

void CDialog::KillTimer(int timerId) {
    std::erase(m_timers, timerId);
    GetUiBackend().StopTimer(*this, timerId);
}

int CDialog::MessageBox(std::string_view text, std::string_view caption, MessageBoxKind kind) {
    return GetUiBackend().ShowMessageBox(this, text, caption.empty() ? m_form.caption : caption, kind);
}

void CDialog::PumpMessages() { GetUiBackend().Pump(); }

ControlState* CDialog::GetControl(int id) {
    const auto it = m_index.find(id);
    return it == m_index.end() ? nullptr : &m_controls[it->second];
}

const ControlState* CDialog::GetControl(int id) const {
    const auto it = m_index.find(id);
    return it == m_index.end() ? nullptr : &m_controls[it->second];
}

void CDialog::ShowChild(int id, bool show) {
    if (ControlState* c = GetControl(id)) c->visible = show;
}

void CDialog::EnableChild(int id, bool enable) {
    if (ControlState* c = GetControl(id)) c->enabled = enable;
}

void CDialog::ShowChildren(std::span<const int> ids, bool show) {
    for (int id : ids) ShowChild(id, show);
}

void CDialog::EnableChildren(std::span<const int> ids, bool enable) {
    for (int id : ids) EnableChild(id, enable);
}

void CDialog::SetChildText(int id, std::string_view text) {
    if (ControlState* c = GetControl(id)) c->text = text;
}

std::string CDialog::GetChildText(int id) const {
    const ControlState* c = GetControl(id);
    return c ? c->text : std::string();
}

void CDialog::SetCheck(int id, int check) {
    if (ControlState* c = GetControl(id)) c->check = check;
}

int CDialog::GetCheck(int id) const {
    const ControlState* c = GetControl(id);
    return c ? c->check : 0;
}

void CDialog::SetPicture(int id, std::string_view picture) {
    if (ControlState* c = GetControl(id)) c->picture = picture;
}

void CDialog::SetHighlighted(int id, bool highlighted) {
    if (ControlState* c = GetControl(id)) c->highlighted = highlighted;
}

void CDialog::SetBackground(int id, std::optional<std::uint32_t> colour) {
    if (ControlState* c = GetControl(id)) c->background = colour;
}

void CDialog::ClearItems(int id) {
    if (ControlState* c = GetControl(id)) {
        c->items.clear();
        c->selection = -1;
        c->text.clear();
    }
}

void CDialog::AddItem(int id, std::string_view text, long data) {
    if (ControlState* c = GetControl(id)) c->items.emplace_back(std::string(text), data);
}

void CDialog::SetSelection(int id, int index) {
    ControlState* c = GetControl(id);
    if (!c) return;
    c->selection = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
    c->text = c->selection >= 0 ? c->items[static_cast<std::size_t>(c->selection)].first : std::string();
}

int CDialog::GetSelection(int id) const {
    const ControlState* c = GetControl(id);
    return c ? c->selection : -1;
}

int CDialog::FindItem(int id, std::string_view prefix) const {
    const ControlState* c = GetControl(id);
    if (!c) return -1;
    for (std::size_t i = 0; i < c->items.size(); ++i) {
        if (c->items[i].first.starts_with(prefix)) return static_cast<int>(i);
    }
    return -1;
}

void CDialog::SetSliderRange(int id, int minimum, int maximum) {
    if (ControlState* c = GetControl(id)) {
        c->rangeMin = minimum;
        c->rangeMax = std::max(minimum, maximum);
        c->position = std::clamp(c->position, c->rangeMin, c->rangeMax);
    }
}

void CDialog::SetSliderPosition(int id, int position) {
    if (ControlState* c = GetControl(id)) c->position = std::clamp(position, c->rangeMin, c->rangeMax);
}

void CDialog::UserEnterText(int id, std::string_view text) {
    ControlState* c = GetControl(id);
    if (!c || !c->enabled || !c->visible || c->form->readOnly || c->form->kind != ControlKind::Edit) return;
    c->text = text;
    OnUserText(id, text);
    NotifyChanged();
}

void CDialog::UserClick(int id) {
    ControlState* c = GetControl(id);
    if (!c || !c->enabled || !c->visible) return;
    if (c->form->kind == ControlKind::CheckBox) c->check = c->check ? 0 : 1;
    if (c->form->kind == ControlKind::OptionButton) c->check = 1;
    // A bound control commits its value first; the dialog hears of every click either way (its
    // show and enable rules often depend on it).
    const bool bound = OnUserClick(id);
    if (!bound && c->form->kind == ControlKind::OptionButton) {
        // Unbound option buttons exclude each other within their run of option buttons in the
        // same group (bound ones follow their parameter's value instead).
        const auto at = static_cast<std::size_t>(c - m_controls.data());
        auto sameRun = [&](std::size_t i) {
            return m_controls[i].form->kind == ControlKind::OptionButton && m_controls[i].form->group == c->form->group;
        };
        for (std::size_t i = at; i > 0 && sameRun(i - 1); --i) m_controls[i - 1].check = 0;
        for (std::size_t i = at + 1; i < m_controls.size() && sameRun(i); ++i) m_controls[i].check = 0;
    }
    OnCommand(id);
    NotifyChanged();
}

void CDialog::UserSelect(int id, int index) {
    ControlState* c = GetControl(id);
    if (!c || !c->enabled || !c->visible || !IsList(*c)) return;
    if (index < 0 || index >= static_cast<int>(c->items.size())) return;
    SetSelection(id, index);
    OnUserSelect(id, index);
    OnSelChange(id);
    NotifyChanged();
}

void CDialog::UserSetSliderPosition(int id, int position) {
    ControlState* c = GetControl(id);
    if (!c || !c->enabled || !c->visible) return;
    SetSliderPosition(id, position);
    OnUserSlider(id, c->position);
    OnCommand(id);
    NotifyChanged();
}

void CDialog::NotifyChanged() {
    if (m_open) GetUiBackend().ControlsChanged(*this);
}
