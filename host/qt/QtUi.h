// The Qt 6 Widgets backend of the dialog framework: builds real widgets from each form, hands
// every user action to the dialog, and shows the dialog's control states after each handler.
// Dialog code stays toolkit-free; only this backend knows Qt. A QApplication must exist.
#pragma once

#include "MC_Dialog.h"

#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QDialog;
class QIcon;
class QSvgRenderer;
class QTimer;
class QWidget;

class QtDialogWindow;

class QtUi : public UiBackend {
public:
    QtUi();
    ~QtUi() override;
    QtUi(const QtUi&) = delete;
    QtUi& operator=(const QtUi&) = delete;

    // Runs once for every dialog window, inside its modal loop, after it was first painted: what
    // a user would see at that moment is on the screen. For tests and measurements.
    using ShownHandler = std::function<void(CDialog& dialog, QDialog& window)>;
    void OnShown(ShownHandler handler) { m_shown = std::move(handler); }

    // The window of an open dialog, or null.
    QDialog* WindowOf(const CDialog& dialog) const;
    // The widget built for a control of an open dialog (the line edit of a field, the combo box of
    // a list, the group box of a group), or null.
    QWidget* WidgetOf(const CDialog& dialog, int controlId) const;

    // A picture of the forms by name, or null when there is none.
    QSvgRenderer* Picture(const std::string& name);
    // The picture as an icon for a picture button (empty when there is none).
    const QIcon& PictureIcon(const std::string& name);

    void RunModal(CDialog& dialog) override;
    int ShowMessageBox(CDialog* owner, std::string_view text, std::string_view caption, MessageBoxKind kind) override;
    void StartTimer(CDialog& dialog, int timerId, int elapse_ms) override;
    void StopTimer(CDialog& dialog, int timerId) override;
    void Pump() override;
    void ControlsChanged(CDialog& dialog) override;
    void OpenHelp(const std::string& file, int topic) override;
    std::optional<std::string> PromptFileName(CDialog* owner, bool open, std::string_view preset,
                                              std::string_view filter) override;
    double Now_s() override;

private:
    friend class QtDialogWindow;

    // Every user action and timer tick is one action: however often the dialog reports changes
    // meanwhile, its control states are shown once, at the end, and dialogs that ended close.
    void BeginAction() { ++m_depth; }
    void EndAction();
    // Shows the pending control states of every dialog.
    void Flush();
    void CloseEnded();
    void FireTimer(CDialog* dialog, int timerId);
    // A handler threw: every open dialog ends, and each RunModal passes the failure on to the
    // code that opened its dialog (in the end to whoever called the first DoModal).
    void Fail(std::exception_ptr failure);
    void NotifyShown(QtDialogWindow& window);
    QtDialogWindow* FindWindow(const CDialog& dialog) const;

    std::vector<QtDialogWindow*> m_stack;  // open windows, innermost last
    std::map<std::pair<const CDialog*, int>, QTimer*> m_timers;
    std::map<std::string, std::unique_ptr<QSvgRenderer>> m_pictures;
    std::map<std::string, std::unique_ptr<QIcon>> m_icons;
    ShownHandler m_shown;
    int m_depth = 0;
    std::exception_ptr m_failure;
    std::chrono::steady_clock::time_point m_start;
};
