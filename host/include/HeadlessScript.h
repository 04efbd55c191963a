// A line-oriented script that drives dialogs headless, as a user would: for people and CI.
// The language is described in docs/edit-script.md.
#pragma once

#include "HeadlessUi.h"
#include "MC_Setup.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

class HeadlessScript {
public:
    struct Line {
        int number;                      // 1-based line number in the script
        std::vector<std::string> words;  // the command and its arguments, quotes removed
    };

    // Splits the script into lines of words. False with Error() naming the line on a syntax fault
    // (an unknown command, a missing argument, an unclosed quote).
    bool Parse(std::string_view text);

    // Hooks the script into `ui` for every dialog that opens. `out` receives what "print" and
    // "controls" print.
    void Attach(HeadlessUi& ui, const CMC_Setup& setup, std::ostream& out);

    // After the dialogs have run: false when a line failed (Error() says which and why).
    bool Succeeded() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    // True when every line was run.
    bool Finished() const { return m_next >= m_lines.size(); }
    // The script line that runs next (0 once every line has run).
    int NextLineNumber() const { return Finished() ? 0 : m_lines[m_next].number; }

private:
    void Run(DialogDriver& driver);
    bool Execute(const Line& line, DialogDriver& driver);
    bool Expect(const Line& line, DialogDriver& driver);
    bool WaitUntil(const Line& line, DialogDriver& driver);
    bool PlotMenu(const Line& line, DialogDriver& driver);
    bool ExpectMessages(const Line& line, DialogDriver& driver);
    bool ExpectValue(const Line& line);
    // Prints the dialog's controls: id, kind, the label a script names it by, what it shows,
    // its states and the parameter bound to it.
    void ListControls(DialogDriver& driver);
    bool Fail(const Line& line, std::string message);

    std::vector<Line> m_lines;
    std::size_t m_next = 0;
    std::string m_error;
    // How many message boxes had been shown at the last message expectation.
    std::size_t m_messageMark = 0;
    const CMC_Setup* m_setup = nullptr;
    std::ostream* m_out = nullptr;
};
