// A small retained model of modal dialogs: forms as data, the live state of their controls, and
// the operations dialog code uses (modal loop, data exchange, timers, message boxes). A UiBackend
// renders and drives them: the headless one for tests and scripts, the Qt one for people.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class ControlKind {
    GroupBox,
    StaticText,
    Edit,
    UnitCombo,
    CheckBox,
    OptionButton,
    Button,
    PictureButton,
    DropDownList,
    Slider,
    Spin,
    TabBar,
    Picture,
    Graph,
    BarGraph,
    StripChart,
};

// One control of a form. Labels are stored as the form gives them: "&&" shows one ampersand,
// a single "&" marks the keyboard mnemonic of the next letter.
struct ControlTemplate {
    int id = 0;
    ControlKind kind = ControlKind::StaticText;
    std::string_view label = {};
    int group = 0;                  // id of the enclosing group box; 0 for the dialog itself
    std::string_view picture = {};  // picture name, for pictures and picture buttons
    bool multiline = false;         // a text of several lines (the guideline assistant)
    bool readOnly = false;          // a field the user cannot type into
    // For option buttons laid out as a grid: the row (0 the upper) where form order, which gives
    // the buttons their values, is not the order of the rows; -1 to follow form order.
    int gridRow = -1;
};

// A control of a form's table, by its id, kind, label and enclosing group box.
constexpr ControlTemplate Control(int id, ControlKind kind, std::string_view label = {}, int group = 0) {
    ControlTemplate control;
    control.id = id;
    control.kind = kind;
    control.label = label;
    control.group = group;
    return control;
}

struct FormTemplate {
    std::string_view caption;
    std::span<const ControlTemplate> controls;
};

// Command and result identifiers every dialog shares.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr int IDHELP = 9;
// The guideline assistant's controls, in forms that have one.
inline constexpr int IDC_GUIDELINE_GROUP = 30001;
inline constexpr int IDC_GUIDELINE_TEXT = 30002;
inline constexpr int IDC_GUIDELINE_PREVIOUS = 30003;
inline constexpr int IDC_GUIDELINE_NEXT = 30004;

// The label as shown: "&&" becomes "&", a lone "&" (the mnemonic mark) disappears.
std::string DisplayLabel(std::string_view stored);
// A label in parentheses after a field ("(Speed)") is a note on that field: the layout keeps it
// beside the field and UI automation names the field by it.
bool IsFieldNote(std::string_view shownLabel);

enum class MessageBoxKind {
    Information,        // OK
    Warning,            // OK
    Question,           // Yes, No
    QuestionWithCancel, // Yes, No, Cancel
};

// The live state of one control.
struct ControlState {
    const ControlTemplate* form = nullptr;
    std::string text;                                 // shown text: label, field contents
    int check = 0;                                    // check boxes and option buttons
    std::vector<std::pair<std::string, long>> items;  // list entries and their item data
    int selection = -1;                               // index into items, -1 for none
    int position = 0;                                 // sliders and spins
    int rangeMin = 0;
    int rangeMax = 100;
    bool visible = true;
    bool enabled = true;
    bool highlighted = false;                         // drawn in the warning colour
    std::string picture;
    std::optional<std::uint32_t> background;          // 0x00RRGGBB filled behind the control
};

class CDialog;

// Renders and drives dialogs. One backend serves the process (SetUiBackend).
class UiBackend {
public:
    virtual ~UiBackend() = default;
    // Shows the dialog (already initialised) and runs its modal loop until EndDialog.
    virtual void RunModal(CDialog& dialog) = 0;
    // Returns IDOK, IDYES, IDNO or IDCANCEL.
    virtual int ShowMessageBox(CDialog* owner, std::string_view text, std::string_view caption,
                               MessageBoxKind kind) = 0;
    virtual void StartTimer(CDialog& dialog, int timerId, int elapse_ms) = 0;
    virtual void StopTimer(CDialog& dialog, int timerId) = 0;
    // Processes what is pending (input, timers that are due, repainting) and returns.
    virtual void Pump() = 0;
    // The dialog's control states changed: redraw what shows them.
    virtual void ControlsChanged(CDialog& dialog) = 0;
    // Opens a help file at a topic number, where a viewer exists.
    virtual void OpenHelp(const std::string& file, int topic) = 0;
    // Asks the user for a file to open (`open`) or to save to, starting at `preset` and offering
    // the files `filter` matches ("Scope settings (*.scope.json)"). Empty when the user cancelled.
    virtual std::optional<std::string> PromptFileName(CDialog* owner, bool open, std::string_view preset,
                                                      std::string_view filter) = 0;
    // The host's clock, in seconds: virtual when headless, the steady clock in the GUI.
    virtual double Now_s() = 0;
    // Time a drive transaction takes: moves a virtual clock on (without firing timers, which run
    // at the next pump); a real clock moves by itself.
    virtual void AdvanceClock(double /*seconds*/) {}
};

UiBackend& GetUiBackend();
// Installs a backend (not owned); null restores the headless default.
void SetUiBackend(UiBackend* backend);

class CDialog {
public:
    explicit CDialog(const FormTemplate& form);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Builds the controls, calls OnInitDialog, runs the modal loop; returns what EndDialog got.
    int DoModal();
    void EndDialog(int result);
    bool IsOpen() const { return m_open; }
    const FormTemplate& GetForm() const { return m_form; }
    std::string_view GetCaption() const { return m_form.caption; }

    // --- overridables ---
    virtual bool OnInitDialog();
    // Transfers values: towards the controls when `toControls`, else from them. Derived dialogs
    // apply their show and enable rules here, after the base transfer towards the controls.
    virtual void DoDataExchange(bool toControls);
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnHelp() {}
    // A button, check box or option button was clicked (a bound one has committed its value).
    virtual void OnCommand(int id);
    // A list's selection changed.
    virtual void OnSelChange(int id);
    virtual void OnTimer(int timerId);
    // The dialog has just become visible.
    virtual void OnShowWindow() {}
    // Sees every key pressed in the dialog before its controls do (`key` is the character, upper
    // case for letters). True when the dialog used it up.
    virtual bool PreTranslateKey(int /*key*/, bool /*ctrl*/, bool /*alt*/, bool /*shift*/) { return false; }

    // --- operations ---
    bool UpdateData(bool saveAndValidate = true);
    int SetTimer(int timerId, int elapse_ms);
    void KillTimer(int timerId);
    int MessageBox(std::string_view text, std::string_view caption = {},
                   MessageBoxKind kind = MessageBoxKind::Information);
    void PumpMessages();
    void CenterWindow() {}

    ControlState* GetControl(int id);
    const ControlState* GetControl(int id) const;
    void ShowChild(int id, bool show);
    void EnableChild(int id, bool enable);
    void ShowChildren(std::span<const int> ids, bool show);
    void EnableChildren(std::span<const int> ids, bool enable);
    // Lists written in place: ShowChildren({IDC_A, IDC_B}, true).
    void ShowChildren(std::initializer_list<int> ids, bool show) { ShowChildren(std::span(ids.begin(), ids.size()), show); }
    void EnableChildren(std::initializer_list<int> ids, bool enable) {
        EnableChildren(std::span(ids.begin(), ids.size()), enable);
    }
    void SetChildText(int id, std::string_view text);
    std::string GetChildText(int id) const;
    void SetCheck(int id, int check);
    int GetCheck(int id) const;
    void SetPicture(int id, std::string_view picture);
    void SetHighlighted(int id, bool highlighted);
    // Fills the control's background with a colour (0x00RRGGBB), as a legend square shows the
    // colour of its curve; empty restores the dialog's own.
    void SetBackground(int id, std::optional<std::uint32_t> colour);
    void ClearItems(int id);
    void AddItem(int id, std::string_view text, long data);
    void SetSelection(int id, int index);
    int GetSelection(int id) const;
    // The first entry that begins with `prefix`, or -1.
    int FindItem(int id, std::string_view prefix) const;
    void SetSliderRange(int id, int minimum, int maximum);
    void SetSliderPosition(int id, int position);

    // --- what a user does (called by backends and UI automation) ---
    // Types `text` into a field and commits it, as leaving the field does.
    void UserEnterText(int id, std::string_view text);
    // Clicks a button, check box or option button.
    void UserClick(int id);
    // Picks entry `index` of a list or unit list.
    void UserSelect(int id, int index);
    void UserSetSliderPosition(int id, int position);

    // All controls in form order.
    std::vector<ControlState>& Controls() { return m_controls; }
    const std::vector<ControlState>& Controls() const { return m_controls; }

protected:
    // Hooks for the editing dialog: a field, check, option or list bound to a parameter.
    virtual bool OnUserText(int /*id*/, std::string_view /*text*/) { return false; }
    virtual bool OnUserClick(int /*id*/) { return false; }
    virtual bool OnUserSelect(int /*id*/, int /*index*/) { return false; }
    virtual bool OnUserSlider(int /*id*/, int /*position*/) { return false; }
    void NotifyChanged();

private:
    void BuildControls();

    const FormTemplate& m_form;
    std::vector<ControlState> m_controls;
    std::map<int, std::size_t> m_index;
    std::vector<int> m_timers;
    bool m_open = false;
    int m_result = IDCANCEL;
};
