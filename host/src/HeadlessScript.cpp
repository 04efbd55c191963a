#include "HeadlessScript.h"

#include <charconv>
#include <cstdio>
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
    {"expect", 2, "expect text CONTROL TEXT | expect visible|hidden|enabled|disabled|checked|unchecked CONTROL | "
                  "expect message TEXT"},
    {"print", 1, "print PARAMETER"},
    {"wait", 1, "wait MILLISECONDS"},
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
        if (i >= line.size() || line[i] == '#') break;
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

}  // namespace

bool HeadlessScript::Parse(std::string_view text) {
    m_lines.clear();
    m_next = 0;
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
    if (command == "set") return driver.Type(w[1], w[2]) || Fail(line, driver.Error());
    if (command == "unit") return driver.ChooseUnit(w[1], w[2]) || Fail(line, driver.Error());
    if (command == "click") return driver.Click(w[1]) || Fail(line, driver.Error());
    if (command == "select") return driver.Select(w[1], w[2]) || Fail(line, driver.Error());
    if (command == "answer") {
        int answer = 0;
        if (!ParseAnswer(w[1], answer)) return Fail(line, "answer yes, no, ok or cancel, not " + Quoted(w[1]));
        driver.Ui().QueueAnswer(answer);
        return true;
    }
    if (command == "wait") {
        double ms = 0.0;
        const auto [end, ec] = std::from_chars(w[1].data(), w[1].data() + w[1].size(), ms);
        if (ec != std::errc() || end != w[1].data() + w[1].size() || ms < 0) {
            return Fail(line, "wait takes milliseconds, not " + Quoted(w[1]));
        }
        driver.Wait_ms(ms);
        return true;
    }
    if (command == "print") {
        CMC_QuietErrors quiet;
        const CMC_Parameter* parameter = m_setup->FindParameter(w[1]);
        if (!parameter) return Fail(line, "the setup has no parameter " + Quoted(w[1]));
        char value[32];
        std::snprintf(value, sizeof value, "%.15g", parameter->GetValue());
        *m_out << parameter->GetName() << " = " << value;
        if (std::string_view(parameter->GetUnitName()) != "-") *m_out << ' ' << parameter->GetUnitName();
        *m_out << '\n';
        return true;
    }
    // expect
    const std::string& what = w[1];
    if (what == "message") {
        const auto& messages = driver.Ui().Messages();
        if (messages.empty()) return Fail(line, "expected a message containing " + Quoted(w[2]) + ", none was shown");
        if (messages.back().text.find(w[2]) == std::string::npos) {
            return Fail(line, "expected a message containing " + Quoted(w[2]) + ", found " + Quoted(messages.back().text));
        }
        return true;
    }
    const int id = driver.Find(w[2]);
    if (id == 0) return Fail(line, driver.Error());
    const ControlState& control = *dialog.GetControl(id);
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
            return Fail(line, Quoted(w[2]) + ": expected " + what + ", found it " + (control.check ? "checked" : "unchecked"));
        }
        return true;
    }
    return Fail(line, "expect takes text, visible, hidden, enabled, disabled, checked, unchecked or message, not " +
                          Quoted(what));
}
