// One dialog's window: widgets built from its form, laid out as the form groups them, wired to
// the dialog's user-action entry points, and updated from the dialog's control states.
#pragma once

#include "MC_Dialog.h"

#include <QDialog>

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class QGridLayout;
class QLabel;
class QLineEdit;
class QtUi;

class QtDialogWindow : public QDialog {
public:
    QtDialogWindow(QtUi& ui, CDialog& dialog, QWidget* parent);

    CDialog& Dialog() { return m_dialog; }
    QWidget* WidgetOf(int controlId) const;

    // Shows every control state that differs from what the widgets show.
    void ApplyStates();
    void MarkDirty() { m_dirty = true; }
    bool IsDirty() const { return m_dirty; }

    bool ShownNotified() const { return m_shownNotified; }
    void SetShownNotified() { m_shownNotified = true; }

    // Escape and the title bar's close button: the dialog's Cancel.
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // What was last shown for a control, so that only changes reach the widgets.
    struct Shown {
        bool known = false;
        std::string text;
        int check = 0;
        std::vector<std::pair<std::string, long>> items;
        int selection = -1;
        int position = 0;
        int rangeMin = 0;
        int rangeMax = 0;
        bool visible = true;
        bool enabled = true;
        bool highlighted = false;
        std::optional<std::uint32_t> background;
        std::string picture;
    };

    struct Entry {
        QWidget* widget = nullptr;
        Shown shown;
    };

    void BuildWidgets();
    QWidget* CreateWidget(const ControlState& control);
    void LayOut();
    // The group a control sits in, 0 when it is the dialog's own (or its group has no box).
    int OwnGroup(const ControlTemplate& f) const;
    void LayOutGroupBoxes();
    // The dialog's own sections in form order; its own buttons' indices go to `buttons`.
    std::vector<QWidget*> MakeSections(std::vector<std::size_t>& buttons);
    // Lays the controls of group `groupId` (0: the dialog's own, buttons aside) out in rows on
    // `grid`, from the form indices `members`.
    void LayOutRows(QGridLayout* grid, const std::vector<std::size_t>& members);
    void SetTabOrder();
    void ApplyState(std::size_t index);
    // What differs from what the widget shows, so that an unchanged control is left alone.
    struct Changes {
        bool first;
        bool text;
        bool picture;
    };
    void ApplyContent(const ControlState& c, QWidget* w, Shown& shown, const Changes& changes);
    void ApplyLook(const ControlState& c, QWidget* w, const Shown& shown, bool first);
    static void Remember(const ControlState& c, Shown& shown, const Changes& changes);

    // The user's actions, as the framework takes them.
    template <class Action>
    void Act(Action&& action);
    void CommitField(std::size_t index, QLineEdit* edit);

    QtUi& m_ui;
    CDialog& m_dialog;
    std::vector<Entry> m_entries;  // in form order
    std::unordered_map<int, std::size_t> m_index;
    std::unordered_map<int, QWidget*> m_groups;
    std::unordered_map<const QObject*, std::size_t> m_editIndex;  // line edits of fields
    bool m_applying = false;
    bool m_dirty = false;
    bool m_shownNotified = false;
    bool m_shownOnce = false;
    bool m_painted = false;
};
