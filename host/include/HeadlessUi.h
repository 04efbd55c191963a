// Dialogs without a screen: UI automation for tests and scripts, on a virtual clock on which
// timers fire in due order without real waiting.
#pragma once

#include "MC_Dialog.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class HeadlessUi;

// What a script or test does to the dialog on top, as a user would.
class DialogDriver {
public:
    DialogDriver(HeadlessUi& ui, CDialog& dialog) : m_ui(ui), m_dialog(dialog) {}

    CDialog& Dialog() { return m_dialog; }
    HeadlessUi& Ui() { return m_ui; }

    // Finds a control: "#1234" by id; "@Name" the field (or check box, option or list) bound to
    // a parameter; "Label" or "Group/Label" by its label as shown (mnemonics and case ignored).
    // For a label of static text, the field, list or slider that follows it in its group, or
    // the field before it for a note after a field ("(Speed)"). Labels are matched as shown now,
    // including texts the dialog set while running.
    // 0 when there is none, or more than one: Error() says which.
    int Find(std::string_view what);
    // The control a static label at `index` (form order) names, or 0.
    int LabelTarget(std::size_t index) const;
    // The text a control is named by: its label as shown, never a field's contents.
    static std::string ShownLabel(const ControlState& control);

    bool Type(std::string_view what, std::string_view text);
    // Chooses a unit in the unit list beside a field; fails, as typing and clicking do, when the
    // list is hidden or disabled.
    bool ChooseUnit(std::string_view what, std::string_view unit);
    bool Click(std::string_view what);
    // Sets what a parameter's control holds as a user does: types `value` into its field (a unit
    // may follow the number), ticks or clears its check box (1/0, yes/no, on/off), clicks its
    // option for the value counted from 0 in form order, or picks its list entry by value or text.
    // A control hidden on another page of the dialog's tab bar is brought into view first.
    bool SetParameter(std::string_view parameter, std::string_view value);
    // Selects, one after the other, the pages of the dialog's tab bar until `id` shows; false
    // when it shows on none (or the dialog has no tab bar).
    bool BringIntoView(int id);
    // Picks the list entry whose text is `entry`, else the first that begins with it (case ignored).
    bool Select(std::string_view what, std::string_view entry);
    // The unit list of a field (or the list itself), or 0 with Error() saying why.
    int FindUnitList(std::string_view what);
    // Presses a key in the dialog: `key` a character (upper case for letters), with modifiers.
    void PressKey(int key, bool ctrl = false, bool alt = false, bool shift = false) {
        m_dialog.PreTranslateKey(key, ctrl, alt, shift);
    }
    // Lets `ms` of virtual time pass, firing timers on the way.
    void Wait_ms(double ms);
    // Lets time pass until `done` holds or `timeout_s` have gone; false on timeout.
    bool WaitUntil(const std::function<bool()>& done, double timeout_s);

    const std::string& Error() const { return m_error; }

private:
    bool Fail(std::string message);
    // The controls a label names, within the group box titled `group` (empty: anywhere).
    std::vector<int> FindByLabel(std::string_view group, std::string_view label) const;

    HeadlessUi& m_ui;
    CDialog& m_dialog;
    std::string m_error;
};

class HeadlessUi : public UiBackend {
public:
    using Handler = std::function<void(DialogDriver& driver)>;

    struct MessageRecord {
        std::string caption;  // the box's caption (its dialog's, unless given)
        std::string text;
        MessageBoxKind kind;
        int answer;
    };

    // Runs once, for the next dialog opened with this caption (handlers of one caption queue in order).
    void OnDialog(std::string caption, Handler handler);
    // Runs for every dialog that has no queued handler of its own.
    void OnEveryDialog(Handler handler) { m_everyDialog = std::move(handler); }
    // The answer to the next message box (IDOK, IDYES, IDNO, IDCANCEL). Without one, a box is
    // answered as Enter would: OK, or Yes for a question.
    void QueueAnswer(int answer) { m_answers.push_back(answer); }

    // A file prompt the dialogs showed, and what it answered (empty: cancelled).
    struct FilePromptRecord {
        bool open;
        std::string preset;
        std::string filter;
        std::optional<std::string> answer;
    };
    // The answer to the next file prompt. Without one, a prompt is cancelled.
    void QueueFileName(std::string path) { m_fileNames.push_back(std::move(path)); }
    const std::vector<FilePromptRecord>& FilePrompts() const { return m_filePrompts; }

    const std::vector<MessageRecord>& Messages() const { return m_messages; }
    const std::vector<std::string>& OpenedDialogs() const { return m_opened; }
    // Dialogs that nothing closed (a handler that did not end them) were cancelled: named here.
    const std::vector<std::string>& LeftOpen() const { return m_leftOpen; }
    const std::vector<std::pair<std::string, int>>& HelpOpened() const { return m_help; }
    CDialog* Top() const { return m_stack.empty() ? nullptr : m_stack.back(); }

    // Moves the virtual clock on by `seconds`, firing every timer and doing every act that falls
    // due on the way.
    void Advance(double seconds);
    // A user's act at `when_s` on the virtual clock. It is done when the clock passes that moment,
    // whoever moves it: a script waiting, or a dialog that pumps messages inside a long loop of
    // its own (a run that goes on until Stop), as a real user's click reaches such a loop. The
    // id cancels it.
    int At(double when_s, std::function<void()> act);
    void Cancel(int actId);

    void RunModal(CDialog& dialog) override;
    int ShowMessageBox(CDialog* owner, std::string_view text, std::string_view caption, MessageBoxKind kind) override;
    void StartTimer(CDialog& dialog, int timerId, int elapse_ms) override;
    void StopTimer(CDialog& dialog, int timerId) override;
    void Pump() override;
    void ControlsChanged(CDialog&) override {}
    void OpenHelp(const std::string& file, int topic) override { m_help.emplace_back(file, topic); }
    std::optional<std::string> PromptFileName(CDialog* owner, bool open, std::string_view preset,
                                              std::string_view filter) override;
    double Now_s() override { return m_now_s; }
    void AdvanceClock(double seconds) override {
        if (seconds > 0.0) m_now_s += seconds;
    }

private:
    struct Timer {
        CDialog* dialog;
        int id;
        double interval_s;
        double due_s;
    };
    struct Act {
        int id;
        double due_s;
        std::function<void()> run;
    };
    // The earliest timer due no later than `limit_s`, or null.
    Timer* NextDue(double limit_s);
    void Fire(Timer& timer);
    // Does the earliest act or fires the earliest timer due no later than `limit_s`; false when
    // nothing is due.
    bool DoNextDue(double limit_s);

    double m_now_s = 0.0;
    std::vector<Timer> m_timers;
    std::vector<Act> m_acts;
    int m_lastActId = 0;
    std::vector<CDialog*> m_stack;
    std::deque<std::pair<std::string, Handler>> m_handlers;
    Handler m_everyDialog;
    std::deque<int> m_answers;
    std::vector<MessageRecord> m_messages;
    std::deque<std::string> m_fileNames;
    std::vector<FilePromptRecord> m_filePrompts;
    std::vector<std::string> m_opened;
    std::vector<std::string> m_leftOpen;
    std::vector<std::pair<std::string, int>> m_help;
};
