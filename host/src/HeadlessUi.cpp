#include "HeadlessUi.h"

#include "MC_EditSetupDlg.h"
#include "MC_Units.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <optional>

namespace {

// After a dialog opens, timers due this soon run before its handler acts: what a user would see
// happen on opening (a dialog that opens another by itself) happens first.
constexpr double kSettle_s = 0.05;
// How long a dialog that no handler closed may keep running its timers before it is cancelled.
constexpr double kLeftOpenGrace_s = 60.0;
constexpr int kMaxSettleFirings = 1000;

bool SameLabel(std::string_view shown, std::string_view wanted) { return EqualsNoCase(shown, wanted); }

bool IsValueControl(ControlKind kind) {
    return kind == ControlKind::Edit || kind == ControlKind::DropDownList || kind == ControlKind::Slider ||
           kind == ControlKind::UnitCombo;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Driver

bool DialogDriver::Fail(std::string message) {
    m_error = std::string(m_dialog.GetCaption()) + ": " + std::move(message);
    return false;
}

std::string DialogDriver::ShownLabel(const ControlState& control) {
    // A field's text is its contents; every other control shows its label in its text, which
    // the dialog may have changed while running.
    return IsValueControl(control.form->kind) || control.form->kind == ControlKind::Spin
               ? DisplayLabel(control.form->label)
               : control.text;
}

int DialogDriver::LabelTarget(std::size_t index) const {
    const auto& controls = m_dialog.Controls();
    if (index >= controls.size() || controls[index].form->kind != ControlKind::StaticText) return 0;
    const int group = controls[index].form->group;
    auto isField = [](const ControlState& c) {
        return IsValueControl(c.form->kind) && c.form->kind != ControlKind::UnitCombo;
    };
    // The field before: skipping its unit list, in the same group.
    const ControlState* before = nullptr;
    for (std::size_t k = index; k-- > 0 && controls[k].form->group == group;) {
        if (controls[k].form->kind == ControlKind::UnitCombo) continue;
        if (isField(controls[k])) before = &controls[k];
        break;
    }
    const ControlState* after = nullptr;
    for (std::size_t k = index + 1; k < controls.size() && controls[k].form->group == group; ++k) {
        if (isField(controls[k])) {
            after = &controls[k];
            break;
        }
        if (controls[k].form->kind == ControlKind::StaticText) break;
    }
    // A note after a field, or a label with no field after it ("bits / pole pitch"), names the
    // field it stands beside.
    if (before && (IsFieldNote(ShownLabel(controls[index])) || !after)) return before->form->id;
    return after ? after->form->id : 0;
}

std::vector<int> DialogDriver::FindByLabel(std::string_view group, std::string_view label) const {
    const auto& controls = m_dialog.Controls();
    auto inGroup = [&](const ControlState& c) {
        if (group.empty()) return true;
        const ControlState* box = m_dialog.GetControl(c.form->group);
        return box && SameLabel(ShownLabel(*box), group);
    };
    std::vector<int> found;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlState& c = controls[i];
        // A group box's title names no control a user can act on.
        if (c.form->kind == ControlKind::GroupBox) continue;
        if (!inGroup(c) || !SameLabel(ShownLabel(c), label)) continue;
        if (c.form->kind != ControlKind::StaticText) {
            found.push_back(c.form->id);
        } else if (const int target = LabelTarget(i); target != 0) {
            found.push_back(target);
        }
    }
    // Prefer what the user can see when a label stands in several places.
    if (found.size() > 1) {
        std::vector<int> visible;
        for (int id : found) {
            if (m_dialog.GetControl(id)->visible) visible.push_back(id);
        }
        if (!visible.empty()) found = visible;
    }
    return found;
}

int DialogDriver::Find(std::string_view what) {
    m_error.clear();
    if (what.empty()) {
        Fail("no control named");
        return 0;
    }
    if (what.front() == '#') {
        int id = 0;
        const auto [end, ec] = std::from_chars(what.data() + 1, what.data() + what.size(), id);
        if (ec != std::errc() || end != what.data() + what.size() || !m_dialog.GetControl(id)) {
            Fail("no control with id " + std::string(what.substr(1)));
            return 0;
        }
        return id;
    }
    if (what.front() == '@') {
        auto* editing = dynamic_cast<CMC_EditSetupDlg*>(&m_dialog);
        const int id = editing ? editing->GetBoundControl(std::string(what.substr(1)).c_str()) : 0;
        if (id == 0) Fail("no control is bound to the parameter " + std::string(what.substr(1)));
        return id;
    }
    // "Group/Label": the label within the group box whose label is Group; a label may itself
    // hold a slash ("Set / change axis ID"), so the whole text is tried as a label too.
    std::vector<int> found;
    if (const auto slash = what.rfind('/'); slash != std::string_view::npos && slash > 0 && slash + 1 < what.size()) {
        found = FindByLabel(what.substr(0, slash), what.substr(slash + 1));
    }
    if (found.empty()) found = FindByLabel({}, what);
    if (found.empty()) {
        Fail("no control labelled \"" + std::string(what) + "\"");
        return 0;
    }
    if (found.size() > 1) {
        Fail("\"" + std::string(what) + "\" names " + std::to_string(found.size()) +
             " controls; say \"Group/Label\" or \"#id\"");
        return 0;
    }
    return found.front();
}

bool DialogDriver::Type(std::string_view what, std::string_view text) {
    const int id = Find(what);
    if (id == 0) return false;
    const ControlState* c = m_dialog.GetControl(id);
    if (c->form->kind != ControlKind::Edit) return Fail("\"" + std::string(what) + "\" is not a field to type into");
    if (!c->visible || !c->enabled) return Fail("\"" + std::string(what) + "\" is not visible and enabled");
    m_dialog.UserEnterText(id, text);
    return true;
}

int DialogDriver::FindUnitList(std::string_view what) {
    const int id = Find(what);
    if (id == 0) return 0;
    if (m_dialog.GetControl(id)->form->kind == ControlKind::UnitCombo) return id;
    const auto* editing = dynamic_cast<const CMC_EditSetupDlg*>(&m_dialog);
    int list = editing ? editing->GetUnitControl(id) : 0;
    if (list == 0) {
        // Unbound, a field's unit list is the one that stands right after it in its group.
        const auto& controls = m_dialog.Controls();
        for (std::size_t i = 0; i + 1 < controls.size(); ++i) {
            if (controls[i].form->id != id) continue;
            const ControlState& next = controls[i + 1];
            if (next.form->kind == ControlKind::UnitCombo && next.form->group == controls[i].form->group)
                list = next.form->id;
            break;
        }
    }
    if (list == 0) Fail("\"" + std::string(what) + "\" has no unit list");
    return list;
}

bool DialogDriver::ChooseUnit(std::string_view what, std::string_view unit) {
    const int id = FindUnitList(what);
    if (id == 0) return false;
    const ControlState* list = m_dialog.GetControl(id);
    if (!list->visible || !list->enabled) {
        return Fail("the unit list of \"" + std::string(what) + "\" is not visible and enabled");
    }
    for (std::size_t i = 0; i < list->items.size(); ++i) {
        if (list->items[i].first == unit) {
            m_dialog.UserSelect(id, static_cast<int>(i));
            return true;
        }
    }
    return Fail("the unit list of \"" + std::string(what) + "\" has no \"" + std::string(unit) + "\"");
}

bool DialogDriver::Click(std::string_view what) {
    const int id = Find(what);
    if (id == 0) return false;
    const ControlState* c = m_dialog.GetControl(id);
    if (!c->visible || !c->enabled) return Fail("\"" + std::string(what) + "\" is not visible and enabled");
    m_dialog.UserClick(id);
    return true;
}

bool DialogDriver::Select(std::string_view what, std::string_view entry) {
    const int id = Find(what);
    if (id == 0) return false;
    const ControlState* c = m_dialog.GetControl(id);
    if (!c->visible || !c->enabled) return Fail("\"" + std::string(what) + "\" is not visible and enabled");
    // An entry named in full wins over one it merely begins ("Test" beside "Test Parameters").
    for (std::size_t i = 0; i < c->items.size(); ++i) {
        if (EqualsNoCase(c->items[i].first, entry)) {
            m_dialog.UserSelect(id, static_cast<int>(i));
            return true;
        }
    }
    for (std::size_t i = 0; i < c->items.size(); ++i) {
        const std::string& text = c->items[i].first;
        if (text.size() >= entry.size() && EqualsNoCase(std::string_view(text).substr(0, entry.size()), entry)) {
            m_dialog.UserSelect(id, static_cast<int>(i));
            return true;
        }
    }
    return Fail("the list \"" + std::string(what) + "\" has no entry \"" + std::string(entry) + "\"");
}

bool DialogDriver::BringIntoView(int id) {
    if (m_dialog.GetControl(id)->visible) return true;
    for (const ControlState& bar : m_dialog.Controls()) {
        if (bar.form->kind != ControlKind::TabBar || !bar.visible || !bar.enabled) continue;
        const int barId = bar.form->id;
        const int pages = static_cast<int>(bar.items.size());
        for (int page = 0; page < pages; ++page) {
            m_dialog.UserSelect(barId, page);
            if (m_dialog.GetControl(id)->visible) return true;
        }
    }
    return Fail("control " + std::to_string(id) + " shows on no page of the dialog");
}

namespace {

// "1", "yes", "on", "true" tick a check box; "0", "no", "off", "false" clear it.
std::optional<bool> ParseTick(std::string_view value) {
    for (std::string_view yes : {"1", "yes", "on", "true"}) {
        if (EqualsNoCase(value, yes)) return true;
    }
    for (std::string_view no : {"0", "no", "off", "false"}) {
        if (EqualsNoCase(value, no)) return false;
    }
    return std::nullopt;
}

std::optional<long> ParseWhole(std::string_view value) {
    long number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return number;
}

}  // namespace

bool DialogDriver::SetParameter(std::string_view parameter, std::string_view value) {
    const std::string at = "@" + std::string(parameter);
    const int id = Find(at);
    if (id == 0) return false;
    if (!BringIntoView(id)) return Fail("the control of " + std::string(parameter) + " is not shown");
    const ControlState* c = m_dialog.GetControl(id);
    switch (c->form->kind) {
        case ControlKind::Edit:
            return Type(at, value);
        case ControlKind::CheckBox: {
            const std::optional<bool> tick = ParseTick(value);
            if (!tick) return Fail(std::string(parameter) + " is a check box: give 1 or 0, not \"" + std::string(value) + "\"");
            return (c->check != 0) == *tick || Click(at);
        }
        case ControlKind::OptionButton: {
            const std::optional<long> index = ParseWhole(value);
            std::vector<int> options;
            const auto* editing = dynamic_cast<const CMC_EditSetupDlg*>(&m_dialog);
            for (const ControlState& option : m_dialog.Controls()) {
                if (option.form->kind == ControlKind::OptionButton &&
                    editing->GetBoundParameter(option.form->id) == parameter) {
                    options.push_back(option.form->id);
                }
            }
            if (!index || *index < 0 || *index >= static_cast<long>(options.size())) {
                return Fail(std::string(parameter) + " takes an option from 0 to " + std::to_string(options.size() - 1) +
                            ", not \"" + std::string(value) + "\"");
            }
            return Click("#" + std::to_string(options[static_cast<std::size_t>(*index)]));
        }
        case ControlKind::DropDownList: {
            if (const std::optional<long> data = ParseWhole(value)) {
                for (std::size_t i = 0; i < c->items.size(); ++i) {
                    if (c->items[i].second != *data) continue;
                    if (!c->visible || !c->enabled) return Fail("\"" + at + "\" is not visible and enabled");
                    m_dialog.UserSelect(id, static_cast<int>(i));
                    return true;
                }
            }
            return Select(at, value);
        }
        case ControlKind::Slider: {
            // A slider is set through the field beside it.
            const auto* editing = dynamic_cast<const CMC_EditSetupDlg*>(&m_dialog);
            for (const ControlState& field : m_dialog.Controls()) {
                if (field.form->kind == ControlKind::Edit && editing->GetBoundParameter(field.form->id) == parameter) {
                    return Type("#" + std::to_string(field.form->id), value);
                }
            }
            return Fail(std::string(parameter) + " has only a slider; it takes no typed value");
        }
        default:
            return Fail("the control of " + std::string(parameter) + " takes no value");
    }
}

void DialogDriver::Wait_ms(double ms) { m_ui.Advance(ms / 1000.0); }

bool DialogDriver::WaitUntil(const std::function<bool()>& done, double timeout_s) {
    const double end_s = m_ui.Now_s() + timeout_s;
    while (!done()) {
        if (m_ui.Now_s() >= end_s) return false;
        // Step to the next timer (or the end) so that whatever the dialog waits for can happen.
        m_ui.Advance(std::min(0.001, end_s - m_ui.Now_s()));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Backend

void HeadlessUi::OnDialog(std::string caption, Handler handler) {
    m_handlers.emplace_back(std::move(caption), std::move(handler));
}

HeadlessUi::Timer* HeadlessUi::NextDue(double limit_s) {
    Timer* next = nullptr;
    for (Timer& timer : m_timers) {
        if (timer.due_s <= limit_s && (!next || timer.due_s < next->due_s)) next = &timer;
    }
    return next;
}

void HeadlessUi::Fire(Timer& timer) {
    m_now_s = std::max(m_now_s, timer.due_s);
    timer.due_s += timer.interval_s;
    CDialog* dialog = timer.dialog;
    const int id = timer.id;
    // The handler may start, stop or add timers: `timer` must not be used after this call.
    dialog->OnTimer(id);
}

bool HeadlessUi::DoNextDue(double limit_s) {
    const auto act = std::min_element(m_acts.begin(), m_acts.end(),
                                      [](const Act& a, const Act& b) { return a.due_s < b.due_s; });
    Timer* timer = NextDue(limit_s);
    // A user's act goes before a timer due at the same moment.
    if (act != m_acts.end() && act->due_s <= limit_s && (!timer || act->due_s <= timer->due_s)) {
        // Off the list before it runs: the act may pump messages, and must not be done twice.
        std::function<void()> run = std::move(act->run);
        m_now_s = std::max(m_now_s, act->due_s);
        m_acts.erase(act);
        run();
        return true;
    }
    if (!timer) return false;
    Fire(*timer);
    return true;
}

int HeadlessUi::At(double when_s, std::function<void()> act) {
    m_acts.push_back({++m_lastActId, when_s, std::move(act)});
    return m_lastActId;
}

void HeadlessUi::Cancel(int actId) {
    std::erase_if(m_acts, [&](const Act& a) { return a.id == actId; });
}

void HeadlessUi::Advance(double seconds) {
    const double end_s = m_now_s + std::max(0.0, seconds);
    while (DoNextDue(end_s)) {
    }
    // Drive transactions inside the handlers may have moved the clock past the end already.
    m_now_s = std::max(m_now_s, end_s);
}

void HeadlessUi::RunModal(CDialog& dialog) {
    m_stack.push_back(&dialog);
    m_opened.emplace_back(dialog.GetCaption());
    dialog.OnShowWindow();

    const double settleEnd_s = m_now_s + kSettle_s;
    for (int firings = 0; dialog.IsOpen() && firings < kMaxSettleFirings; ++firings) {
        Timer* timer = NextDue(settleEnd_s);
        if (!timer) break;
        Fire(*timer);
    }

    if (dialog.IsOpen()) {
        Handler handler;
        const auto queued = std::find_if(m_handlers.begin(), m_handlers.end(),
                                         [&](const auto& entry) { return entry.first == dialog.GetCaption(); });
        if (queued != m_handlers.end()) {
            handler = std::move(queued->second);
            m_handlers.erase(queued);
        } else {
            handler = m_everyDialog;
        }
        if (handler) {
            DialogDriver driver(*this, dialog);
            handler(driver);
        }
    }

    // Whatever still runs (a test polling the drive) may finish by itself; then nothing is left
    // to close the dialog, and it is cancelled as a window closed by its title bar would be.
    const double graceEnd_s = m_now_s + kLeftOpenGrace_s;
    while (dialog.IsOpen()) {
        Timer* timer = NextDue(graceEnd_s);
        if (!timer) break;
        Fire(*timer);
    }
    if (dialog.IsOpen()) {
        m_leftOpen.emplace_back(dialog.GetCaption());
        dialog.OnCancel();
        if (dialog.IsOpen()) dialog.EndDialog(IDCANCEL);
    }
    m_stack.pop_back();
}

int HeadlessUi::ShowMessageBox(CDialog* owner, std::string_view text, std::string_view caption, MessageBoxKind kind) {
    int answer = kind == MessageBoxKind::Question || kind == MessageBoxKind::QuestionWithCancel ? IDYES : IDOK;
    if (!m_answers.empty()) {
        answer = m_answers.front();
        m_answers.pop_front();
    }
    const std::string_view title = !caption.empty() ? caption : owner ? owner->GetCaption() : std::string_view();
    m_messages.push_back({std::string(title), std::string(text), kind, answer});
    return answer;
}

std::optional<std::string> HeadlessUi::PromptFileName(CDialog*, bool open, std::string_view preset,
                                                      std::string_view filter) {
    std::optional<std::string> answer;
    if (!m_fileNames.empty()) {
        answer = std::move(m_fileNames.front());
        m_fileNames.pop_front();
    }
    m_filePrompts.push_back({open, std::string(preset), std::string(filter), answer});
    return answer;
}

void HeadlessUi::StartTimer(CDialog& dialog, int timerId, int elapse_ms) {
    const double interval_s = std::max(1, elapse_ms) / 1000.0;
    for (Timer& timer : m_timers) {
        if (timer.dialog == &dialog && timer.id == timerId) {
            timer.interval_s = interval_s;
            timer.due_s = m_now_s + interval_s;
            return;
        }
    }
    m_timers.push_back({&dialog, timerId, interval_s, m_now_s + interval_s});
}

void HeadlessUi::StopTimer(CDialog& dialog, int timerId) {
    std::erase_if(m_timers, [&](const Timer& t) { return t.dialog == &dialog && t.id == timerId; });
}

void HeadlessUi::Pump() {
    while (DoNextDue(m_now_s)) {
    }
}
