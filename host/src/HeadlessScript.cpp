#include "HeadlessScript.h"

#include "MC_EditSetupDlg.h"
#include "MC_PlotMenu.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <ostream>

namespace {

struct Command {
    std::string_view name;
    std::size_t arguments;
    std::string_view usage;
};

constexpr Command kCommands[] = {
    {"dialog", 1, "dialog \"Caption\""},
    {"set", 2, "set CONTROL VALUE"},
    {"unit", 2, "unit CONTROL UNIT"},
    {"click", 1, "click CONTROL"},
    {"select", 2, "select CONTROL ENTRY"},
    {"answer", 1, "answer yes|no|ok|cancel"},
    {"file", 1, "file PATH"},
    {"menu", 2, "menu CONTROL ENTRY"},
    {"expect", 2,
     "expect text CONTROL TEXT | expect visible|hidden|enabled|disabled|checked|unchecked CONTROL | "
     "expect message TEXT | expect no message | expect messages COUNT | expect value PARAMETER VALUE [UNIT] | "
     "expect unit CONTROL UNIT"},
    {"print", 1, "print PARAMETER"},
    {"wait", 1, "wait MILLISECONDS | wait until CONTROL TEXT [MILLISECONDS]"},
    {"key", 1, "key KEY | key Ctrl+Alt+Shift+KEY"},
    {"controls", 0, "controls"},
};

const Command* FindCommand(std::string_view name) {
    for (const Command& command : kCommands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

// Splits one line into words: blanks separate, "double quotes" group (\" and \\ inside), # starts
// a comment outside quotes. False on an unclosed quote.
bool SplitWords(std::string_view line, std::vector<std::string>& words) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size()) break;
        // After the command, "#1042" names a control by its id; any other "#" starts a comment.
        const bool controlId =
            !words.empty() && i + 1 < line.size() && std::isdigit(static_cast<unsigned char>(line[i + 1]));
        if (line[i] == '#' && !controlId) break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    word += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    word += line[i++];
                }
            }
            if (!closed) return false;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') word += line[i++];
        }
        words.push_back(std::move(word));
    }
    return true;
}

bool ParseAnswer(std::string_view word, int& answer) {
    constexpr std::pair<std::string_view, int> kAnswers[] = {
        {"yes", IDYES}, {"no", IDNO}, {"ok", IDOK}, {"cancel", IDCANCEL}};
    for (const auto& [name, id] : kAnswers) {
        if (EqualsNoCase(word, name)) {
            answer = id;
            return true;
        }
    }
    return false;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// A key as a script names it: one printable character, or "Space", after any of the modifiers
// "Ctrl+", "Alt+", "Shift+" in any order and case ("Ctrl+Alt+Shift+S", "ctrl++").
struct Chord {
    int key = 0;
    bool ctrl = false;
    bool alt = false;
    bool shift = false;
};

std::optional<Chord> ParseChord(std::string_view text) {
    Chord chord;
    while (true) {
        const auto plus = text.find('+');
        if (plus == std::string_view::npos || plus + 1 >= text.size()) break;
        const std::string_view modifier = text.substr(0, plus);
        if (EqualsNoCase(modifier, "ctrl")) {
            chord.ctrl = true;
        } else if (EqualsNoCase(modifier, "alt")) {
            chord.alt = true;
        } else if (EqualsNoCase(modifier, "shift")) {
            chord.shift = true;
        } else {
            return std::nullopt;
        }
        text.remove_prefix(plus + 1);
    }
    if (EqualsNoCase(text, "space")) {
        chord.key = ' ';
    } else if (text.size() == 1 && text[0] > ' ' && text[0] < 0x7F) {
        // Keys arrive as their key codes: letters in upper case.
        chord.key = std::toupper(static_cast<unsigned char>(text[0]));
    } else {
        return std::nullopt;
    }
    return chord;
}

// Half a unit in the last digit of the number that `text` begins with: an expectation is as
// precise as it is written ("70" holds for 69.9994, "70.000" does not).
double HalfLastDigit(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    int decimals = 0;
    bool fraction = false;
    for (; i < text.size(); ++i) {
        if (text[i] == '.') {
            fraction = true;
        } else if (std::isdigit(static_cast<unsigned char>(text[i]))) {
            decimals += fraction ? 1 : 0;
        } else {
            break;
        }
    }
    int exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        const char* first = text.data() + i + 1;
        if (first < text.data() + text.size() && *first == '+') ++first;
        std::from_chars(first, text.data() + text.size(), exponent);
    }
    return 0.5 * std::pow(10.0, exponent - decimals);
}

std::string_view KindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::GroupBox: return "group";
        case ControlKind::StaticText: return "label";
        case ControlKind::Edit: return "field";
        case ControlKind::UnitCombo: return "unit list";
        case ControlKind::CheckBox: return "check box";
        case ControlKind::OptionButton: return "option";
        case ControlKind::Button: return "button";
        case ControlKind::PictureButton: return "picture button";
        case ControlKind::DropDownList: return "list";
        case ControlKind::Slider: return "slider";
        case ControlKind::Spin: return "spin";
        case ControlKind::TabBar: return "tabs";
        case ControlKind::Picture: return "picture";
        case ControlKind::Graph: return "graph";
        case ControlKind::BarGraph: return "bar graph";
        case ControlKind::StripChart: return "strip chart";
    }
    return "control";
}

}  // namespace

bool HeadlessScript::Parse(std::string_view text) {
    m_lines.clear();
    m_next = 0;
    m_messageMark = 0;
    m_error.clear();
    int number = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        ++number;
        std::vector<std::string> words;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!SplitWords(text.substr(start, end - start), words)) {
            m_error = where + "a quote is not closed";
            return false;
        }
        if (!words.empty()) {
            const Command* command = FindCommand(words.front());
            if (!command) {
                m_error = where + "unknown command " + Quoted(words.front());
                return false;
            }
            if (words.size() - 1 < command->arguments) {
                m_error = where + "expected " + std::string(command->usage);
                return false;
            }
            m_lines.push_back({number, std::move(words)});
        }
        if (end == text.size()) break;
        start = end + 1;
    }
    return true;
}

void HeadlessScript::Attach(HeadlessUi& ui, const CMC_Setup& setup, std::ostream& out) {
    m_setup = &setup;
    // Message expectations look at the boxes the script's own lines made appear.
    m_messageMark = ui.Messages().size();
    m_out = &out;
    ui.OnEveryDialog([this](DialogDriver& driver) { Run(driver); });
}

bool HeadlessScript::Fail(const Line& line, std::string message) {
    if (m_error.empty()) m_error = "line " + std::to_string(line.number) + ": " + std::move(message);
    return false;
}

void HeadlessScript::Run(DialogDriver& driver) {
    const CDialog& dialog = driver.Dialog();
    while (m_error.empty() && m_next < m_lines.size() && dialog.IsOpen()) {
        const Line& line = m_lines[m_next];
        ++m_next;
        if (!Execute(line, driver)) return;
    }
}

bool HeadlessScript::Execute(const Line& line, DialogDriver& driver) {
    const std::vector<std::string>& w = line.words;
    const std::string& command = w[0];
    CDialog& dialog = driver.Dialog();
    if (command == "dialog") {
        if (dialog.GetCaption() != w[1]) {
            return Fail(line, "expected the dialog " + Quoted(w[1]) + ", found " + Quoted(dialog.GetCaption()));
        }
        return true;
    }
    if (command == "set") {
        const bool byParameter = w[1].size() > 1 && w[1].front() == '@';
        return (byParameter ? driver.SetParameter(std::string_view(w[1]).substr(1), w[2]) : driver.Type(w[1], w[2])) ||
               Fail(line, driver.Error());
    }
    if (command == "unit") return driver.ChooseUnit(w[1], w[2]) || Fail(line, driver.Error());
    if (command == "click") return driver.Click(w[1]) || Fail(line, driver.Error());
    if (command == "select") return driver.Select(w[1], w[2]) || Fail(line, driver.Error());
    if (command == "answer") {
        int answer = 0;
        if (!ParseAnswer(w[1], answer)) return Fail(line, "answer yes, no, ok or cancel, not " + Quoted(w[1]));
        driver.Ui().QueueAnswer(answer);
        return true;
    }
    if (command == "file") {
        driver.Ui().QueueFileName(w[1]);
        return true;
    }
    if (command == "menu") return PlotMenu(line, driver);
    if (command == "wait" && w[1] == "until") return WaitUntil(line, driver);
    if (command == "wait") {
        double ms = 0.0;
        const auto [end, ec] = std::from_chars(w[1].data(), w[1].data() + w[1].size(), ms);
        if (ec != std::errc() || end != w[1].data() + w[1].size() || ms < 0) {
            return Fail(line, "wait takes milliseconds, not " + Quoted(w[1]));
        }
        driver.Wait_ms(ms);
        return true;
    }
    if (command == "key") {
        const std::optional<Chord> chord = ParseChord(w[1]);
        if (!chord) return Fail(line, "key takes a character or Space after Ctrl+, Alt+, Shift+, not " + Quoted(w[1]));
        driver.PressKey(chord->key, chord->ctrl, chord->alt, chord->shift);
        return true;
    }
    if (command == "controls") {
        ListControls(driver);
        return true;
    }
    if (command == "print") {
        CMC_QuietErrors quiet;
        const CMC_Parameter* parameter = m_setup->FindParameter(w[1]);
        if (!parameter) return Fail(line, "the setup has no parameter " + Quoted(w[1]));
        *m_out << parameter->GetName() << " = " << Number(parameter->GetValue());
        if (std::string_view(parameter->GetUnitName()) != "-") *m_out << ' ' << parameter->GetUnitName();
        *m_out << '\n';
        return true;
    }
    return Expect(line, driver);
}

bool HeadlessScript::ExpectMessages(const Line& line, DialogDriver& driver) {
    const std::vector<std::string>& w = line.words;
    const auto& messages = driver.Ui().Messages();
    // Each message expectation looks at the boxes shown since the previous one.
    const std::size_t since = std::min(m_messageMark, messages.size());
    m_messageMark = messages.size();
    const std::size_t shown = messages.size() - since;
    if (w[1] == "message") {
        if (w.size() < 3) return Fail(line, "expected expect message TEXT");
        if (messages.empty()) return Fail(line, "expected a message containing " + Quoted(w[2]) + ", none was shown");
        if (messages.back().text.find(w[2]) == std::string::npos) {
            return Fail(line,
                        "expected a message containing " + Quoted(w[2]) + ", found " + Quoted(messages.back().text));
        }
        return true;
    }
    if (w[1] == "no") {
        if (w.size() != 3 || w[2] != "message") return Fail(line, "expected expect no message");
        if (shown != 0) {
            return Fail(line, "expected no message, found " + std::to_string(shown) + ", the last " +
                                  Quoted(messages.back().text));
        }
        return true;
    }
    std::size_t wanted = 0;
    const auto [end, ec] = std::from_chars(w[2].data(), w[2].data() + w[2].size(), wanted);
    if (ec != std::errc() || end != w[2].data() + w[2].size()) {
        return Fail(line, "expect messages takes a count, not " + Quoted(w[2]));
    }
    if (shown != wanted) {
        std::string found = std::to_string(shown);
        if (shown != 0) found += ", the last " + Quoted(messages.back().text);
        return Fail(line, "expected " + std::to_string(wanted) + " messages, found " + found);
    }
    return true;
}

bool HeadlessScript::ExpectValue(const Line& line) {
    const std::vector<std::string>& w = line.words;
    if (w.size() < 4 || w.size() > 5) return Fail(line, "expected expect value PARAMETER VALUE [UNIT]");
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = m_setup->FindParameter(w[2]);
    if (!parameter) return Fail(line, "the setup has no parameter " + Quoted(w[2]));
    const std::string typed = w.size() == 5 ? w[3] + " " + w[4] : w[3];
    const TypedQuantityResult parsed = ParseTypedQuantity(typed);
    if (!parsed.quantity) return Fail(line, parsed.error);
    const CMC_Unit* unit = parsed.quantity->unit.empty()
                               ? &parameter->GetUnit()
                               : CMC_Units::Instance().FindUnit(parameter->GetUnitType(), parsed.quantity->unit);
    if (!unit) return Fail(line, w[2] + " has no unit " + Quoted(parsed.quantity->unit));
    const double tolerance = HalfLastDigit(typed);
    double low = 0.0, high = 0.0;
    if (!parameter->ToBase(parsed.quantity->value - tolerance, *unit, low) ||
        !parameter->ToBase(parsed.quantity->value + tolerance, *unit, high)) {
        return Fail(line, Quoted(typed) + " cannot be converted for " + w[2]);
    }
    if (low > high) std::swap(low, high);
    // Room for the rounding of the unit conversion itself.
    constexpr double kConversionNoise = 1e-12;
    const double slack = kConversionNoise * std::max(std::abs(low), std::abs(high));
    const double value = parameter->GetValueInBaseUnit();
    if (value < low - slack || value > high + slack) {
        std::string found = Number(parameter->GetValue());
        if (std::string_view(parameter->GetUnitName()) != "-") found += std::string(" ") + parameter->GetUnitName();
        return Fail(line, w[2] + ": expected " + typed + ", found " + found);
    }
    return true;
}

// Right-clicks a graph and picks the plot menu's entry, named as it reads ("Autoscale",
// "Scope settings", the dots of a dialog entry optional).
bool HeadlessScript::PlotMenu(const Line& line, DialogDriver& driver) {
    const std::vector<std::string>& w = line.words;
    const int id = driver.Find(w[1]);
    if (id == 0) return Fail(line, driver.Error());
    auto bare = [](std::string_view text) {
        while (text.ends_with('.')) text.remove_suffix(1);
        return text;
    };
    std::string entries;
    for (const PlotMenuEntry& entry : kPlotMenu) {
        if (!EqualsNoCase(bare(entry.text), bare(w[2]))) {
            entries += (entries.empty() ? "" : ", ") + Quoted(entry.text);
            continue;
        }
        if (!UserPlotMenu(driver.Dialog(), id, entry.command))
            return Fail(line, "no plot menu opens over " + Quoted(w[1]) + " now");
        return true;
    }
    return Fail(line, "the plot menu has no entry " + Quoted(w[2]) + "; it has " + entries);
}

// Lets time pass in steps until the control shows TEXT: a running test's status, say.
bool HeadlessScript::WaitUntil(const Line& line, DialogDriver& driver) {
    constexpr double kStep_ms = 20.0;
    constexpr double kDefaultLimit_ms = 60000.0;
    const std::vector<std::string>& w = line.words;
    if (w.size() < 4 || w.size() > 5) return Fail(line, "expected wait until CONTROL TEXT [MILLISECONDS]");
    double limit_ms = kDefaultLimit_ms;
    if (w.size() == 5) {
        const auto [end, ec] = std::from_chars(w[4].data(), w[4].data() + w[4].size(), limit_ms);
        if (ec != std::errc() || end != w[4].data() + w[4].size() || limit_ms < 0)
            return Fail(line, "wait until takes milliseconds at its end, not " + Quoted(w[4]));
    }
    const int id = driver.Find(w[2]);
    if (id == 0) return Fail(line, driver.Error());
    for (double waited_ms = 0.0;; waited_ms += kStep_ms) {
        const ControlState* control = driver.Dialog().GetControl(id);
        if (!control) return Fail(line, Quoted(w[2]) + " went away while waiting for " + Quoted(w[3]));
        if (control->text == w[3]) return true;
        if (waited_ms >= limit_ms) {
            return Fail(line, Quoted(w[2]) + " still shows " + Quoted(control->text) + " after " + Number(limit_ms) +
                                  " ms, not " + Quoted(w[3]));
        }
        driver.Wait_ms(kStep_ms);
    }
}

bool HeadlessScript::Expect(const Line& line, DialogDriver& driver) {
    const std::vector<std::string>& w = line.words;
    const std::string& what = w[1];
    if (what == "message" || what == "messages" || what == "no") return ExpectMessages(line, driver);
    if (what == "value") return ExpectValue(line);
    if (what == "unit") {
        if (w.size() < 4) return Fail(line, "expected expect unit CONTROL UNIT");
        const int list = driver.FindUnitList(w[2]);
        if (list == 0) return Fail(line, driver.Error());
        const ControlState& control = *driver.Dialog().GetControl(list);
        const bool chosen =
            control.selection >= 0 && static_cast<std::size_t>(control.selection) < control.items.size();
        const std::string shown = chosen ? control.items[static_cast<std::size_t>(control.selection)].first : "";
        if (shown != w[3])
            return Fail(line, Quoted(w[2]) + ": expected the unit " + Quoted(w[3]) + ", found " + Quoted(shown));
        return true;
    }
    const int id = driver.Find(w[2]);
    if (id == 0) return Fail(line, driver.Error());
    const ControlState& control = *driver.Dialog().GetControl(id);
    if (what == "text") {
        if (w.size() < 4) return Fail(line, "expected expect text CONTROL TEXT");
        if (control.text != w[3]) {
            return Fail(line, Quoted(w[2]) + ": expected the text " + Quoted(w[3]) + ", found " + Quoted(control.text));
        }
        return true;
    }
    struct StateCheck {
        std::string_view word;
        bool ControlState::*flag;
        bool wanted;
    };
    constexpr StateCheck kStates[] = {{"visible", &ControlState::visible, true},
                                      {"hidden", &ControlState::visible, false},
                                      {"enabled", &ControlState::enabled, true},
                                      {"disabled", &ControlState::enabled, false}};
    for (const StateCheck& check : kStates) {
        if (what != check.word) continue;
        if (control.*check.flag != check.wanted) {
            return Fail(line, Quoted(w[2]) + ": expected " + std::string(check.word) + ", found it " +
                                  (check.flag == &ControlState::visible ? (control.visible ? "visible" : "hidden")
                                                                        : (control.enabled ? "enabled" : "disabled")));
        }
        return true;
    }
    if (what == "checked" || what == "unchecked") {
        const bool wanted = what == "checked";
        if ((control.check != 0) != wanted) {
            return Fail(
                line, Quoted(w[2]) + ": expected " + what + ", found it " + (control.check ? "checked" : "unchecked"));
        }
        return true;
    }
    return Fail(line,
                "expect takes text, visible, hidden, enabled, disabled, checked, unchecked, message, messages, "
                "no message, value or unit, not " +
                    Quoted(what));
}

void HeadlessScript::ListControls(DialogDriver& driver) {
    const CDialog& dialog = driver.Dialog();
    const auto* editing = dynamic_cast<const CMC_EditSetupDlg*>(&dialog);
    const auto& controls = dialog.Controls();
    // The labels a script names each control by: its own, or those of the static labels that
    // name it ("Feedforward" before a field and "(Acceleration)" after it).
    std::vector<std::vector<std::string>> names(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlKind kind = controls[i].form->kind;
        if (kind == ControlKind::GroupBox) continue;
        const std::string shown = DialogDriver::ShownLabel(controls[i]);
        if (kind != ControlKind::StaticText) {
            if (!shown.empty()) names[i].push_back(shown);
            continue;
        }
        const int target = driver.LabelTarget(i);
        for (std::size_t k = 0; k < controls.size() && target != 0; ++k) {
            if (controls[k].form->id == target) names[k].push_back(shown);
        }
    }
    *m_out << "dialog " << Quoted(dialog.GetCaption()) << '\n';
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlState& c = controls[i];
        const ControlKind kind = c.form->kind;
        if (kind == ControlKind::GroupBox) {
            *m_out << "group " << Quoted(DialogDriver::ShownLabel(c)) << (c.visible ? "" : " hidden") << '\n';
            continue;
        }
        if (kind == ControlKind::StaticText) continue;
        *m_out << "  #" << c.form->id << ' ' << KindName(kind);
        for (std::size_t n = 0; n < names[i].size(); ++n) *m_out << (n ? " or " : " ") << Quoted(names[i][n]);
        if (kind == ControlKind::Edit) *m_out << " = " << Quoted(c.text);
        const bool chosen = c.selection >= 0 && static_cast<std::size_t>(c.selection) < c.items.size();
        if ((kind == ControlKind::DropDownList || kind == ControlKind::UnitCombo) && chosen) {
            *m_out << " = " << Quoted(c.items[static_cast<std::size_t>(c.selection)].first);
        }
        if (kind == ControlKind::Slider) *m_out << " = " << c.position;
        if (!c.visible) *m_out << " hidden";
        if (!c.enabled) *m_out << " disabled";
        if (c.form->readOnly) *m_out << " read-only";
        if ((kind == ControlKind::CheckBox || kind == ControlKind::OptionButton) && c.check) *m_out << " checked";
        if (const std::string bound = editing ? editing->GetBoundParameter(c.form->id) : ""; !bound.empty()) {
            *m_out << " @" << bound;
        }
        *m_out << '\n';
    }
}
