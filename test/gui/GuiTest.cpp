// The setup dialogs through the Qt backend, offscreen: real widgets built from the forms, driven
// as a user drives them (typing, Enter, leaving a field, clicks, keys), with each dialog's
// screenshot saved under the build folder for a reviewer.
#include "AdvancedDialog.h"
#include "AdvancedForm.h"
#include "AnalogReferenceDlg.h"
#include "AnalogReferenceForm.h"
#include "BaseQuantities.h"
#include "Commands.h"
#include "DriveInfo.h"
#include "DriveInfoForm.h"
#include "DriveSetupDlg.h"
#include "DriveSetupForm.h"
#include "FiltersDialog.h"
#include "FiltersForm.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_TestDlg.h"
#include "MassQuestion.h"
#include "MC_EditSetupDlg.h"
#include "MC_Graph.h"
#include "MC_SetupFile.h"
#include "MotorSetupDialog.h"
#include "MotorSetupForm.h"
#include "QtUi.h"
#include "QtGraph.h"
#include "ShownValue.h"

#include <drivesim/SimConfig.h>

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace pelmora;

using Factory = std::function<std::unique_ptr<CDialog>(CMC_Setup*)>;

struct DialogCase {
    const char* caption;
    Factory make;
    const char* screenshot;
    int ruledOff;  // a control that the rules hide or disable in the default setup, or 0
};

const DialogCase kDialogs[] = {
    {"Drive Setup", [](CMC_Setup* s) { return std::make_unique<CDriveSetupDlg>(s); }, "drive_setup.png", IDC_DS_SPEED_ERROR},
    {"Brushless Motor Setup", [](CMC_Setup* s) { return std::make_unique<CMotorSetupDialog>(s); },
     "motor_setup.png", IDC_MOTOR_SWITCH_WARNING},
    {"Advanced", [](CMC_Setup* s) { return std::make_unique<CAdvancedDialog>(s); }, "advanced.png", IDC_ADV_FAST_OUTSIDE},
    {"External Reference Setup", [](CMC_Setup* s) { return std::make_unique<CAnalogReferenceDlg>(s); },
     "external_reference.png", IDC_EXTREF_MAX_VALUE},
    {"Filters", [](CMC_Setup* s) { return std::make_unique<CFiltersDialog>(s); }, "filters.png", FilterControlId(0, IDC_FLT_TYPE)},
    {"Drive info", [](CMC_Setup* s) { return std::make_unique<CDriveInfo>(s); }, "drive_info.png", IDC_DRVINFO_INPS_VALUE},
    {"Motor mass", [](CMC_Setup* s) { return std::make_unique<CMassQuestion>(s); }, "motor_mass.png", 0},
};

const DialogCase& CaseOf(std::string_view caption) {
    for (const DialogCase& c : kDialogs) {
        if (caption == c.caption) return c;
    }
    throw std::invalid_argument("no such dialog");
}

std::unique_ptr<CMC_Setup> LoadDefault() {
    SetupLoadResult loaded = LoadDefaultSetup();
    if (!loaded) throw std::runtime_error(loaded.error);
    AttachCoreScales(*loaded.setup);
    return std::move(loaded.setup);
}

std::string WithoutAmpersands(std::string text) {
    std::erase(text, '&');
    return text;
}

void PressKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QCoreApplication::sendEvent(target, &release);
}

void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus(Qt::MouseFocusReason);
    edit->selectAll();
    for (QChar ch : text) PressKey(edit, 0, Qt::NoModifier, QString(ch));
}

// Focus moves, and so fields commit on leaving, only in the active window; on a loaded machine
// the window system may not have activated a freshly painted dialog yet.
void MakeActive(QWidget& window) {
    constexpr int kPatience_ms = 5000;
    QElapsedTimer waited;
    waited.start();
    // Asked again each time: a dialog that opened and closed meanwhile takes the activation away.
    while (!window.isActiveWindow() && waited.elapsed() < kPatience_ms) {
        window.activateWindow();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// Answers the next message box as a user would, with the button whose role is `button`, and
// keeps what it said.
struct Answerer {
    QMessageBox::StandardButton button = QMessageBox::Ok;
    bool escape = false;
    std::vector<std::string> texts;
    void Arm() {
        QTimer::singleShot(5, [this] { Poll(); });
    }
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            Arm();
            return;
        }
        texts.push_back(box->text().toStdString());
        if (escape) {
            PressKey(box, Qt::Key_Escape);
        } else if (QAbstractButton* b = box->button(button)) {
            b->click();
        }
    }
};

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        setup = LoadDefault();
        SetUiBackend(&ui);
    }
    void TearDown() override { SetUiBackend(nullptr); }

    // Opens the dialog; `act` runs when it has been painted; every other dialog that opens
    // meanwhile is cancelled with Escape. Returns what DoModal returned.
    int Run(const DialogCase& which, const std::function<void(CDialog&, QDialog&)>& act) {
        bool acted = false;
        bool done = false;
        int openedAfter = 0;
        ui.OnShown([&](CDialog& dialog, QDialog& window) {
            if (dialog.GetCaption() == which.caption && !acted) {
                acted = true;
                MakeActive(window);
                act(dialog, window);
                done = true;
            } else {
                if (done) ++openedAfter;
                PressKey(&window, Qt::Key_Escape);
            }
        });
        const std::unique_ptr<CDialog> dialog = which.make(setup.get());
        const int result = dialog->DoModal();
        EXPECT_TRUE(acted) << which.caption << " was never shown";
        // A dialog that was closed opens nothing more (its timers end with it).
        EXPECT_EQ(openedAfter, 0);
        ui.OnShown(nullptr);
        return result;
    }

    QLineEdit* FieldOf(CDialog& dialog, std::string_view label) {
        HeadlessUi finder;
        DialogDriver driver(finder, dialog);
        const int id = driver.Find(label);
        EXPECT_NE(id, 0) << driver.Error();
        return qobject_cast<QLineEdit*>(ui.WidgetOf(dialog, id));
    }

    double Base(const char* name) { return setup->FindParameter(name)->GetValueInBaseUnit(); }

    QtUi ui;
    std::unique_ptr<CMC_Setup> setup;
};

// ---------------------------------------------------------------------------------------------

// Every control of every dialog has its widget, and each widget shows its control's state.
TEST_F(GuiTest, EveryDialogOpensWithItsControlsBuiltAndItsRulesApplied) {
    const QString folder = QStringLiteral(PELMORA_SCREENSHOT_DIR);
    QDir().mkpath(folder);
    for (const DialogCase& which : kDialogs) {
        SCOPED_TRACE(which.caption);
        int checked = 0;
        const int result = Run(which, [&](CDialog& dialog, QDialog& window) {
            EXPECT_EQ(window.windowTitle().toStdString(), which.caption);
            for (const ControlState& c : dialog.Controls()) {
                SCOPED_TRACE("control " + std::to_string(c.form->id) + " \"" + c.text + "\"");
                QWidget* w = ui.WidgetOf(dialog, c.form->id);
                ASSERT_NE(w, nullptr);
                ++checked;
                if (c.form->kind != ControlKind::GroupBox) {
                    EXPECT_EQ(w->isHidden(), !c.visible);
                    EXPECT_EQ(w->isEnabled(), c.enabled);
                }
                if (auto* edit = qobject_cast<QLineEdit*>(w)) {
                    EXPECT_EQ(edit->text().toStdString(), c.text);
                }
                if (auto* text = qobject_cast<QPlainTextEdit*>(w)) {
                    EXPECT_EQ(text->toPlainText().toStdString(), c.text);
                }
                if (auto* label = qobject_cast<QLabel*>(w)) {
                    EXPECT_EQ(WithoutAmpersands(label->text().toStdString()), WithoutAmpersands(c.text));
                }
                if (auto* check = qobject_cast<QAbstractButton*>(w); check && check->isCheckable()) {
                    EXPECT_EQ(check->isChecked(), c.check != 0);
                }
                if (auto* list = qobject_cast<QComboBox*>(w)) {
                    EXPECT_EQ(list->count(), static_cast<int>(c.items.size()));
                    EXPECT_EQ(list->currentIndex(), c.selection);
                }
                if (!c.picture.empty()) {
                    EXPECT_NE(ui.Picture(c.picture), nullptr) << c.picture;
                }
            }
            // The rules ran before the window showed.
            if (which.ruledOff != 0) {
                const QWidget* off = ui.WidgetOf(dialog, which.ruledOff);
                EXPECT_TRUE(off->isHidden() || !off->isEnabled());
            }
            EXPECT_TRUE(window.grab().save(folder + QLatin1Char('/') + QString::fromUtf8(which.screenshot)));
            PressKey(&window, Qt::Key_Escape);
        });
        EXPECT_EQ(checked, static_cast<int>(which.make(setup.get())->Controls().size()));
        // Escape is the dialog's Cancel.
        EXPECT_EQ(result, IDCANCEL);
    }
}

enum class Commit { Enter, LeaveField };
enum class Expect { Value, Maximum, Unchanged };

struct TypedCase {
    const char* dialog;
    const char* field;  // its label, as a user reads it
    const char* typed;
    Commit commit;
    const char* parameter;
    Expect expect;
    double value;  // in the base unit, for Expect::Value
    const char* message;  // the start of the message the entry shows, or null
};

const TypedCase kTyped[] = {
    {"Brushless Motor Setup", "Nominal current", "3200 mA", Commit::Enter, "In", Expect::Value, 3.2, nullptr},
    {"Brushless Motor Setup", "Motor moving part mass", "750 g", Commit::LeaveField, "M", Expect::Value, 0.75, nullptr},
    {"Advanced", "PWM frequency", "16 kHz", Commit::LeaveField, "PWM_freq", Expect::Value, 16000.0, nullptr},
    {"Drive Setup", "Time to align on phases", "250 ms", Commit::Enter, "time_AB", Expect::Value, 0.25, nullptr},
    // The host clamps to the range and refuses what is no number: the field shows the setup.
    {"Brushless Motor Setup", "Nominal current", "1e6 A", Commit::Enter, "In", Expect::Maximum, 0.0, nullptr},
    {"Brushless Motor Setup", "Peak current", "lots", Commit::LeaveField, "ImaxM", Expect::Unchanged, 0.0,
     "\"lots\" is not a valid value"},
};

TEST_F(GuiTest, ATypedValueWithAUnitReachesTheSetupAndTheFieldShowsWhatItHolds) {
    for (const TypedCase& t : kTyped) {
        SCOPED_TRACE(std::string(t.dialog) + ": " + t.field + " <- " + t.typed);
        setup = LoadDefault();
        const double before = Base(t.parameter);
        Answerer answerer;
        if (t.message) answerer.Arm();
        Run(CaseOf(t.dialog), [&](CDialog& dialog, QDialog& window) {
            QLineEdit* edit = FieldOf(dialog, t.field);
            ASSERT_NE(edit, nullptr);
            Type(edit, QString::fromUtf8(t.typed));
            EXPECT_EQ(edit->text().toStdString(), t.typed);
            EXPECT_EQ(Base(t.parameter), before) << "committed before Enter or leaving the field";
            if (t.commit == Commit::Enter) {
                PressKey(edit, Qt::Key_Return);
            } else {
                edit->nextInFocusChain()->setFocus(Qt::TabFocusReason);
            }
            const CMC_Parameter* p = setup->FindParameter(t.parameter);
            switch (t.expect) {
                case Expect::Value:
                    EXPECT_NEAR(p->GetValueInBaseUnit(), t.value, 1e-6 * t.value);
                    break;
                case Expect::Maximum:
                    EXPECT_EQ(p->GetValueInBaseUnit(), p->GetMaxInBaseUnit());
                    break;
                case Expect::Unchanged:
                    EXPECT_EQ(p->GetValueInBaseUnit(), before);
                    break;
            }
            EXPECT_EQ(edit->text().toStdString(), pelmora::ShownValueText(*setup, t.parameter, pelmora::kFieldDigits));
            EXPECT_FALSE(edit->isModified());
            PressKey(&window, Qt::Key_Escape);
        });
        if (t.message) {
            ASSERT_EQ(answerer.texts.size(), 1U);
            EXPECT_EQ(answerer.texts.front().rfind(t.message, 0), 0U) << answerer.texts.front();
        }
    }
}

TEST_F(GuiTest, EnterInAFieldThatHoldsItsValuePressesOK) {
    const int result = Run(CaseOf("Brushless Motor Setup"), [&](CDialog& dialog, QDialog&) {
        QLineEdit* edit = FieldOf(dialog, "Nominal current");
        Type(edit, "3 A");
        PressKey(edit, Qt::Key_Return);  // commits
        EXPECT_EQ(Base("In"), 3.0);
        PressKey(edit, Qt::Key_Return);  // the default button
    });
    EXPECT_EQ(result, IDOK);
}

struct BoxCase {
    MessageBoxKind kind;
    QMessageBox::StandardButton button;
    bool escape;
    int answer;
};

const BoxCase kBoxes[] = {
    {MessageBoxKind::Information, QMessageBox::Ok, false, IDOK},
    {MessageBoxKind::Warning, QMessageBox::Ok, true, IDOK},
    {MessageBoxKind::Question, QMessageBox::Yes, false, IDYES},
    {MessageBoxKind::Question, QMessageBox::No, false, IDNO},
    {MessageBoxKind::Question, QMessageBox::NoButton, true, IDNO},
    {MessageBoxKind::QuestionWithCancel, QMessageBox::No, false, IDNO},
    {MessageBoxKind::QuestionWithCancel, QMessageBox::Cancel, false, IDCANCEL},
    {MessageBoxKind::QuestionWithCancel, QMessageBox::NoButton, true, IDCANCEL},
};

TEST_F(GuiTest, AMessageBoxAppearsAndGivesTheUsersAnswer) {
    for (const BoxCase& b : kBoxes) {
        SCOPED_TRACE("kind " + std::to_string(static_cast<int>(b.kind)) + ", answer " + std::to_string(b.answer));
        Answerer answerer{b.button, b.escape, {}};
        answerer.Arm();
        EXPECT_EQ(ui.ShowMessageBox(nullptr, "Keep the new values?", "Test", b.kind), b.answer);
        EXPECT_EQ(answerer.texts, std::vector<std::string>{"Keep the new values?"});
    }
}

TEST_F(GuiTest, HelpWhoseFileIsMissingSaysSoInsteadOfNothing) {
    std::string json(DefaultSetupJson());
    const std::string empty = "\"helpFile\":\"\"";
    ASSERT_NE(json.find(empty), std::string::npos);
    json.replace(json.find(empty), empty.size(), "\"helpFile\":\"no-such-help.chm\"");
    SetupLoadResult loaded = ParseSetup(json, "test setup");
    ASSERT_TRUE(loaded) << loaded.error;
    setup = std::move(loaded.setup);
    AttachCoreScales(*setup);
    Answerer answerer;
    answerer.Arm();
    Run(CaseOf("Advanced"), [&](CDialog& dialog, QDialog& window) {
        qobject_cast<QAbstractButton*>(ui.WidgetOf(dialog, IDHELP))->click();
        PressKey(&window, Qt::Key_Escape);
    });
    ASSERT_EQ(answerer.texts.size(), 1U);
    EXPECT_NE(answerer.texts.front().find("no-such-help.chm was not found"), std::string::npos) << answerer.texts.front();
}

TEST_F(GuiTest, ChoosingAnAxisIdAbove127WarnsAndKeepsTheChoice) {
    Answerer answerer;
    answerer.Arm();
    Run(CaseOf("Drive Setup"), [&](CDialog& dialog, QDialog& window) {
        auto* list = qobject_cast<QComboBox*>(ui.WidgetOf(dialog, IDC_DS_AXIS_ID_LIST));
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->count(), 256);
        // What the list does when the user picks an entry.
        list->setCurrentIndex(127);
        emit list->activated(127);
        EXPECT_EQ(list->currentText().toStdString(), "128");
        PressKey(&window, Qt::Key_Escape);
    });
    ASSERT_EQ(answerer.texts.size(), 1U);
    EXPECT_EQ(answerer.texts.front().rfind("If your drive is set in CANopen mode", 0), 0U);
}

TEST_F(GuiTest, TheMotorSetupOpensByItselfOverTheDriveSetup) {
    std::vector<std::string> shown;
    CDialog* drive = nullptr;
    bool motorOverDrive = false;
    ui.OnShown([&](CDialog& dialog, QDialog& window) {
        shown.emplace_back(dialog.GetCaption());
        if (dialog.GetCaption() == "Drive Setup") {
            drive = &dialog;
            return;  // the user does nothing
        }
        QDialog* driveWindow = drive ? ui.WindowOf(*drive) : nullptr;
        motorOverDrive = driveWindow && driveWindow->isVisible() && window.parentWidget() == driveWindow &&
                         QApplication::activeModalWidget() == &window;
        // Back to the drive setup with the motor setup's OK, then leave that with Cancel.
        qobject_cast<QAbstractButton*>(ui.WidgetOf(dialog, IDOK))->click();
        QTimer::singleShot(0, [&] { qobject_cast<QAbstractButton*>(ui.WidgetOf(*drive, IDCANCEL))->click(); });
    });
    EXPECT_EQ(RunEditSetup(setup.get()), 0);
    EXPECT_EQ(shown, (std::vector<std::string>{"Drive Setup", "Brushless Motor Setup"}));
    EXPECT_TRUE(motorOverDrive);
    ui.OnShown(nullptr);
}

TEST_F(GuiTest, TheKeyboardMovesInFormOrderAndTheServiceChordUnlocksTheDriveData) {
    Run(CaseOf("Drive info"), [&](CDialog& dialog, QDialog& window) {
        QLineEdit* current = FieldOf(dialog, "Nominal current");
        ASSERT_FALSE(current->isEnabled());
        QWidget* focus = ui.WidgetOf(dialog, IDC_DRVINFO_APP_ID);
        focus->setFocus(Qt::OtherFocusReason);
        PressKey(focus, Qt::Key_S, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        EXPECT_TRUE(current->isEnabled());

        // Tab goes on in form order: a field, its unit list, the next field.
        current->setFocus(Qt::OtherFocusReason);
        PressKey(current, Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), ui.WidgetOf(dialog, IDC_DRVINFO_INPS_UNIT));
        PressKey(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), static_cast<QWidget*>(FieldOf(dialog, "Peak current")));

        PressKey(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        EXPECT_FALSE(current->isEnabled());
        PressKey(&window, Qt::Key_Escape);
    });
}


// ---------------------------------------------------------------------------------------------
// `pelmora edit` in a window, worked as a user works it: what OK, Cancel and a missing display
// leave on disk.

// Acts on whatever window is on top, as a user at the screen would: cancels the motor setup that
// opens by itself, then types into the drive setup and leaves it with OK or Cancel.
class ScreenUser {
public:
    explicit ScreenUser(const char* leaveWith) : m_leaveWith(leaveWith) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Look(); });
        m_timer.start(10);
    }
    bool SawWindow() const { return m_sawWindow; }

private:
    void Look() {
        QWidget* top = QApplication::activeModalWidget();
        if (!top || qobject_cast<QMessageBox*>(top)) return;
        m_sawWindow = true;
        if (top->windowTitle() != QLatin1String("Drive Setup")) {
            PressKey(top, Qt::Key_Escape);
            return;
        }
        for (QLabel* label : top->findChildren<QLabel*>()) {
            if (label->text() != QLatin1String("Time to align on phases")) continue;
            auto* field = qobject_cast<QLineEdit*>(label->buddy());
            Type(field, "250 ms");
            PressKey(field, Qt::Key_Return);
        }
        for (QPushButton* button : top->findChildren<QPushButton*>()) {
            if (button->text() == QLatin1String(m_leaveWith)) button->click();
        }
    }

    const char* m_leaveWith;
    QTimer m_timer;
    bool m_sawWindow = false;
};

struct EditCase {
    const char* name;
    bool giveSetup;     // SETUP on the command line
    bool giveOut;       // -o OUT
    bool display;
    const char* leaveWith;  // the button that closes the drive setup
    int exitCode;
    bool setupEdited;   // SETUP holds the typed value afterwards
    bool outEdited;     // OUT exists and holds it
    const char* says;   // part of what stderr says
};

const EditCase kEdits[] = {
    {"OK saves back to SETUP", true, false, true, "OK", 0, true, false, "saved to"},
    {"OK with -o saves to OUT and leaves SETUP", true, true, true, "OK", 0, false, true, "saved to"},
    {"Cancel writes nothing", true, true, true, "Cancel", 0, false, false, "nothing was saved"},
    {"the built-in setup needs -o", false, false, true, "OK", 2, false, false, "-o OUT"},
    {"no display points to --script", true, false, false, "OK", 1, false, false, "--script"},
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(EditCommandTest, SavesOnOKToOutOrBackToTheSetupAndNothingOnCancel) {
    PluginLibrary plugin;
    plugin.EditSetup = [](CMC_Setup* s) { return RunEditSetup(s); };
    plugin.GetScaleFactor = [](CMC_Setup* s, const char* unit, const char* name) { return ScaleFactor(*s, unit, name); };
    plugin.GetScaleOffset = [](CMC_Setup* s, const char* unit) { return ScaleOffset(*s, unit); };
    const std::string dir = ::testing::TempDir();
    for (const EditCase& e : kEdits) {
        SCOPED_TRACE(e.name);
        const std::string setupPath = dir + "/gui_edit_setup.json";
        const std::string outPath = dir + "/gui_edit_out.json";
        std::remove(outPath.c_str());
        ASSERT_EQ(SaveSetupFile(*LoadDefault(), setupPath), "");
        const std::string before = ReadFile(setupPath);

        std::vector<std::string> saved;
        if (!e.display) {
            for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
                if (const char* value = std::getenv(name)) saved.push_back(std::string(name) + "=" + value);
                unsetenv(name);
            }
        }
        std::ostringstream out;
        std::ostringstream err;
        const CommandContext ctx{out, err, plugin};
        int code = -1;
        bool sawWindow = false;
        {
            ScreenUser user(e.leaveWith);
            code = RunEdit(ctx, e.giveSetup ? std::vector<std::string>{setupPath} : std::vector<std::string>{}, "",
                           e.giveOut ? outPath : "");
            sawWindow = user.SawWindow();
        }
        for (const std::string& assignment : saved) {
            const auto equals = assignment.find('=');
            setenv(assignment.substr(0, equals).c_str(), assignment.substr(equals + 1).c_str(), 1);
        }

        EXPECT_EQ(code, e.exitCode) << err.str();
        EXPECT_NE(err.str().find(e.says), std::string::npos) << err.str();
        // A refusal comes before any window opens.
        EXPECT_EQ(sawWindow, e.exitCode == 0);
        auto typedValue = [](const std::string& path) {
            SetupLoadResult loaded = LoadSetupFile(path);
            return loaded ? loaded.setup->FindParameter("time_AB")->GetValueInBaseUnit() : -1.0;
        };
        if (e.setupEdited) {
            EXPECT_DOUBLE_EQ(typedValue(setupPath), 0.25);
        } else {
            EXPECT_EQ(ReadFile(setupPath), before);
        }
        if (e.outEdited) {
            EXPECT_DOUBLE_EQ(typedValue(outPath), 0.25);
        } else {
            EXPECT_FALSE(std::ifstream(outPath).good());
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Commissioning tests in the GUI: opened from their setup dialog's button, run on the simulated
// drive with real timers, the finished dialog saved as a screenshot.

// A click on the way to a test: in the dialog with this caption, first `before` (when given),
// then the button that opens the next dialog (on its tab page, when given).
struct GuiPathStep {
    const char* caption;
    const char* button;
    const char* before = nullptr;
    const char* tab = nullptr;  // the page of the dialog's tab bar (1300) that shows the button
};

struct CommissioningGuiCase {
    std::vector<GuiPathStep> path;
    const char* testCaption;
    const char* screenshot;
    int stopAfter_ms = 0;  // a test that runs until stopped is stopped after this long
    int tabBar = 0;        // a tab the user opens before Start: the tab bar's id and the tab
    const char* tab = nullptr;
    // Setup values in base units, and a drive without a scope, before the first dialog opens.
    std::vector<std::pair<const char*, double>> values = {};
    bool withoutScope = false;
    // Controls (the legend squares) that must show their colour, 0x00RRGGBB, while the test runs;
    // a screenshot "..._running.png" shows them.
    std::vector<std::pair<int, std::uint32_t>> colouredWhileRunning = {};
    int chartWhileRunning = 0;  // a graph that must draw points while the test runs
};

const CommissioningGuiCase kCommissioningGui[] = {
    {{{"Drive Setup", "Detect"}}, "VDC Detection Test", "test_vdc.png"},
    {{{"Drive Setup", "External reference/Setup", "External reference/Yes"}, {"External Reference Setup", "Test", "Analogue"}},
     "Analogue Reference Test", "test_analogue_reference.png", 300},
    {{{"Brushless Motor Setup", "Linear Hall sensors setup"}}, "Offset Detection Test", "test_hall_offsets.png"},
    {{{"Brushless Motor Setup", "Test Phase Connections"}}, "Motor Phase Connection Test", "test_phases.png"},
    {{{"Brushless Motor Setup", "Identify Resistance and Inductance"}},
     "Total Resistance and Inductance Identification Test", "test_rl.png"},
    {{{"Drive Setup", "Current controller/Tune & Test"}}, "Current Controller Tuning Test", "test_current.png", 0, 1300,
     "Test"},
    {{{"Drive Setup", "Speed controller/Tune & Test"}}, "Speed Controller Tuning Test", "test_speed.png", 0, 1300, "Test"},
    {{{"Drive Setup", "Speed controller/Tune & Test"}, {"Speed Controller Tuning Test", "Identify", nullptr, "Test"}},
     "Total mass test", "test_mass.png"},
    {{{"Drive Setup", "Position controller/Tune & Test"}}, "Position Controller Tuning Test", "test_position.png", 0,
     1300, "Test"},
    // Polled on-line, cycle after cycle until Stop: the live values beside their legend squares.
    {{{"Drive Setup", "Speed controller/Tune & Test"}},
     "Speed Controller Tuning Test",
     "test_speed_polled.png",
     3000,
     1300,
     "Test",
     {{"MultiCycleS", 1}, {"OnlinePlotS", 1}, {"SpeedTestReferenceType", 2}},
     true,
     {{3331, RGB16(2)}, {3332, RGB16(5)}},
     1362},
};

// Opens the tab named `text` of a tab bar as a click on it does.
void ClickTab(QtUi& ui, CDialog& dialog, int tabBar, const char* text) {
    auto* tabs = qobject_cast<QTabBar*>(ui.WidgetOf(dialog, tabBar));
    ASSERT_NE(tabs, nullptr) << "no tab bar " << tabBar;
    for (int i = 0; i < tabs->count(); ++i) {
        if (tabs->tabText(i).remove(QLatin1Char('&')) == QString::fromUtf8(text)) {
            emit tabs->tabBarClicked(i);
            return;
        }
    }
    ADD_FAILURE() << "no tab " << text;
}

// Clicks the control `label` names in `dialog`, as a user would; false when it is not there or
// not enabled.
bool ClickLabelled(QtUi& ui, CDialog& dialog, const char* label) {
    HeadlessUi finder;
    DialogDriver driver(finder, dialog);
    const int id = driver.Find(label);
    auto* button = qobject_cast<QAbstractButton*>(ui.WidgetOf(dialog, id));
    EXPECT_TRUE(button && button->isEnabled()) << label << " " << driver.Error();
    if (!button || !button->isEnabled()) return false;
    button->click();
    return true;
}

// Lets the event loop run for `duration_ms` of real time.
void RunEventsFor(int duration_ms) {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < duration_ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Waits on the real event loop until the test's status says it ended, or `limit_ms` passed.
std::string WaitForTestEnd(CDialog& test, int limit_ms) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const std::string status = test.GetChildText(IDC_TEST_STATUS);
        if (status == CMC_TestDlg::kSucceededText || status == CMC_TestDlg::kFailedText ||
            status == CMC_TestDlg::kStoppedText || waited.elapsed() > limit_ms)
            return status;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
}

TEST_F(GuiTest, EachCommissioningTestRunsFromItsButtonOnTheSimulatedDrive) {
    constexpr int kTestLimit_ms = 30000;
    constexpr int kSettle_ms = 200;
    const QString folder = QStringLiteral(PELMORA_SCREENSHOT_DIR);
    QDir().mkpath(folder);
    for (const CommissioningGuiCase& t : kCommissioningGui) {
        SCOPED_TRACE(t.testCaption);
        setup = LoadDefault();
        for (const auto& [name, value] : t.values) ASSERT_TRUE(setup->FindParameter(name)->SetValueInBaseUnit(value)) << name;
        if (t.withoutScope) setup->SetOption("hasOscilloscope", "0");
        std::string linkError;
        CMC_Comm::Connect(MakeDriveLink("sim", drivesim::DefaultSimConfig(), linkError));
        ASSERT_TRUE(CMC_Comm::IsConnected()) << linkError;

        std::string status;
        std::string result;
        bool testShown = false;
        Answerer declined;
        declined.button = QMessageBox::No;
        ui.OnShown([&](CDialog& dialog, QDialog& window) {
            const auto step = std::find_if(t.path.begin(), t.path.end(),
                                           [&](const GuiPathStep& p) { return dialog.GetCaption() == p.caption; });
            if (step != t.path.end()) {
                MakeActive(window);
                if (step->tab) ClickTab(ui, dialog, 1300, step->tab);
                if (!step->before || ClickLabelled(ui, dialog, step->before)) {
                    ClickLabelled(ui, dialog, step->button);  // the next dialog runs inside
                }
                PressKey(&window, Qt::Key_Escape);
            } else if (dialog.GetCaption() == t.testCaption) {
                testShown = true;
                MakeActive(window);
                if (t.tabBar != 0) ClickTab(ui, dialog, t.tabBar, t.tab);
                auto* start = qobject_cast<QAbstractButton*>(ui.WidgetOf(dialog, IDC_TEST_START));
                EXPECT_NE(start, nullptr);
                if (start) start->click();
                if (t.stopAfter_ms > 0) {
                    // A polled run keeps the event loop inside itself until Stop: the user's
                    // look and click come from a timer, as a click would come from the mouse.
                    bool stopped = false;
                    QTimer::singleShot(t.stopAfter_ms, &window, [&] {
                        for (const auto& [id, colour] : t.colouredWhileRunning) {
                            const QWidget* square = ui.WidgetOf(dialog, id);
                            EXPECT_TRUE(square && square->isVisible() && square->autoFillBackground()) << id;
                            if (square) {
                                EXPECT_EQ(square->palette().color(QPalette::Window).rgb() & 0xFFFFFFu, colour) << id;
                            }
                        }
                        if (t.chartWhileRunning != 0) {
                            // The strip chart draws what the run polls, as it polls it.
                            auto* chart = dynamic_cast<QtGraphView*>(ui.WidgetOf(dialog, t.chartWhileRunning));
                            ASSERT_NE(chart, nullptr);
                            chart->Sync();
                            EXPECT_GT(chart->DrawnPoints(), 100U);
                        }
                        if (!t.colouredWhileRunning.empty()) {
                            QString running = QString::fromUtf8(t.screenshot);
                            running.replace(QStringLiteral(".png"), QStringLiteral("_running.png"));
                            EXPECT_TRUE(window.grab().save(folder + QLatin1Char('/') + running));
                        }
                        if (start) start->click();
                        stopped = true;
                    });
                    QElapsedTimer waited;
                    waited.start();
                    while (!stopped && waited.elapsed() < kTestLimit_ms) {
                        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
                    }
                }
                status = WaitForTestEnd(dialog, kTestLimit_ms);
                result = dialog.GetChildText(IDC_TEST_RESULT);
                RunEventsFor(kSettle_ms);  // the plots take the run's data on their next refresh
                // A plot rebuilt for the run's areas grows the window: lay it out before the picture.
                QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
                EXPECT_TRUE(window.grab().save(folder + QLatin1Char('/') + QString::fromUtf8(t.screenshot)));
                declined.Arm();
                if (auto* close = qobject_cast<QAbstractButton*>(ui.WidgetOf(dialog, IDCANCEL))) close->click();
            } else {
                PressKey(&window, Qt::Key_Escape);
            }
        });
        CaseOf(t.path.front().caption).make(setup.get())->DoModal();
        ui.OnShown(nullptr);
        CMC_Comm::Connect(nullptr);
        EXPECT_TRUE(testShown);
        EXPECT_EQ(status, CMC_TestDlg::kSucceededText) << result;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Offscreen unless a platform is asked for: the tests need no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The offscreen platform says at every window that it cannot pass size hints on.
    static QtMessageHandler qtDefault = nullptr;
    qtDefault = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.contains(QLatin1String("propagateSizeHints"))) return;
        if (qtDefault) qtDefault(type, context, message);
    });
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
