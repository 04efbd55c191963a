// The scope settings editor through the Qt backend, offscreen: it opens with its fields filled
// and a box per plotted variable, takes a typed window on OK, and changes nothing on Cancel.
#include "host/TuningScope.h"
#include "BaseQuantities.h"
#include "MC_Loggers.h"
#include "MC_ScopeSettingsDlg.h"
#include "MC_SetupFile.h"
#include "QtUi.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

void PressReturn(QWidget* target) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &release);
}

class ScopeSettingsGui : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiBackend(&ui);
        MakeTuningScope(setup, scope);
        if (HasFatalFailure()) return;
        ASSERT_EQ(scope->ChangeSettings(0.6, 2, 1, "Speed_Reference", 0.1, 10), 1) << scope->GetErrorText();
    }
    void TearDown() override {
        ui.OnShown(nullptr);
        SetUiBackend(nullptr);
    }
    // Opens the editor; `act` runs once it is painted and ends it with `button`.
    int Edit(const std::function<void(CDialog&, QDialog&)>& act, int button) {
        ui.OnShown([&](CDialog& dialog, QDialog& window) {
            act(dialog, window);
            auto* end = qobject_cast<QAbstractButton*>(ui.WidgetOf(dialog, button));
            ASSERT_NE(end, nullptr);
            end->click();
        });
        return scope->Edit();
    }

    QtUi ui;
    std::unique_ptr<CMC_Setup> setup;
    std::unique_ptr<CMC_ScopeLogger> scope;
};

TEST_F(ScopeSettingsGui, TheEditorOpensFilledAndCancelChangesNothing) {
    const QString folder = QStringLiteral(PELMORA_SCREENSHOT_DIR);
    QDir().mkpath(folder);
    bool shown = false;
    QString window;
    bool fourthBox = false;
    bool fifthBox = true;
    const int returned = Edit(
        [&](CDialog& dialog, QDialog& w) {
            shown = true;
            if (auto* field = qobject_cast<QLineEdit*>(ui.WidgetOf(dialog, IDC_SCOPE_WINDOW))) window = field->text();
            auto visible = [&](int channel) {
                const QWidget* box = ui.WidgetOf(dialog, CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_GROUP, channel));
                return box && box->isVisibleTo(&w);
            };
            fourthBox = visible(3);
            fifthBox = visible(4);
            EXPECT_TRUE(w.grab().save(folder + QStringLiteral("/scope_settings.png")));
        },
        IDCANCEL);
    EXPECT_TRUE(shown);
    EXPECT_EQ(returned, 0);
    EXPECT_EQ(window.toStdString(), "0.6");
    EXPECT_TRUE(fourthBox) << "a box for each plotted variable";
    EXPECT_FALSE(fifthBox) << "no box beyond them";
    EXPECT_EQ(scope->GetWindow_s(), 0.6);
}

TEST_F(ScopeSettingsGui, AWindowTypedAndCommittedIsTakenByOk) {
    const int returned = Edit(
        [&](CDialog& dialog, QDialog&) {
            auto* field = qobject_cast<QLineEdit*>(ui.WidgetOf(dialog, IDC_SCOPE_WINDOW));
            ASSERT_NE(field, nullptr);
            field->setFocus();
            field->setText(QStringLiteral("0.25"));
            field->setModified(true);
            PressReturn(field);
        },
        IDOK);
    EXPECT_EQ(returned, 1);
    EXPECT_EQ(scope->GetWindow_s(), 0.25);
}

}  // namespace
