#include "HeadlessUi.h"
#include "MC_EditSetupDlg.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

enum : int {
    IDC_SPEED_GROUP = 100,
    IDC_SPEED_KP_LABEL,
    IDC_SPEED_KP,
    IDC_POSITION_GROUP,
    IDC_POSITION_KP_LABEL,
    IDC_POSITION_KP,
    IDC_LENGTH_LABEL,
    IDC_LENGTH,
    IDC_LENGTH_UNIT,
    IDC_ENABLED,
    IDC_MODE_POSITION,
    IDC_MODE_SPEED,
    IDC_MODE_TORQUE,
    IDC_CHOICE,
    IDC_OPEN_CHILD,
};

constexpr ControlTemplate kControls[] = {
    {IDC_GUIDELINE_GROUP, ControlKind::GroupBox, "Guideline assistant"},
    {IDC_GUIDELINE_TEXT, ControlKind::StaticText, "", IDC_GUIDELINE_GROUP, {}, true},
    {IDC_GUIDELINE_PREVIOUS, ControlKind::Button, "Previous", IDC_GUIDELINE_GROUP},
    {IDC_GUIDELINE_NEXT, ControlKind::Button, "Next", IDC_GUIDELINE_GROUP},
    {IDC_SPEED_GROUP, ControlKind::GroupBox, "Speed controller"},
    {IDC_SPEED_KP_LABEL, ControlKind::StaticText, "K&p", IDC_SPEED_GROUP},
    {IDC_SPEED_KP, ControlKind::Edit, "", IDC_SPEED_GROUP},
    {IDC_POSITION_GROUP, ControlKind::GroupBox, "Position controller"},
    {IDC_POSITION_KP_LABEL, ControlKind::StaticText, "Kp", IDC_POSITION_GROUP},
    {IDC_POSITION_KP, ControlKind::Edit, "", IDC_POSITION_GROUP},
    {IDC_LENGTH_LABEL, ControlKind::StaticText, "Pole pitch"},
    {IDC_LENGTH, ControlKind::Edit},
    {IDC_LENGTH_UNIT, ControlKind::UnitCombo},
    {IDC_ENABLED, ControlKind::CheckBox, "Over current"},
    {IDC_MODE_POSITION, ControlKind::OptionButton, "Position"},
    {IDC_MODE_SPEED, ControlKind::OptionButton, "Speed"},
    {IDC_MODE_TORQUE, ControlKind::OptionButton, "Torque"},
    {IDC_CHOICE, ControlKind::DropDownList, "Type"},
    {IDC_OPEN_CHILD, ControlKind::Button, "Tune && Test"},
    {IDOK, ControlKind::Button, "OK"},
    {IDCANCEL, ControlKind::Button, "Cancel"},
};
constexpr FormTemplate kForm{"Test Setup", kControls};
constexpr FormTemplate kChildForm{"Child", std::span<const ControlTemplate>(kControls).last(2)};

const char* const kSteps[] = {"Step 1.\tFirst.", "Step 2.\tSecond.", ""};

class TestDialog : public CMC_EditSetupDlg {
public:
    explicit TestDialog(CMC_Setup* setup, const FormTemplate& form = kForm)
        : CMC_EditSetupDlg(setup, form, 1, kSteps, nullptr) {
        AddParameterControls("Kp_S_scl", IDC_SPEED_KP);
        AddParameterControls("Kp_P_scl", IDC_POSITION_KP);
        AddParameterControls("PolePitch", IDC_LENGTH, IDC_LENGTH_UNIT);
        AddCheckParameterControls("isOverCurrent", IDC_ENABLED);
        AddSwitchParameterControls("ControlMode", IDC_MODE_POSITION, IDC_MODE_TORQUE);
        AddItem(IDC_CHOICE, "Low", 3);
        AddItem(IDC_CHOICE, "High", 7);
        AddSwitchParameterControls("StartMode", IDC_CHOICE);
        AddParameterControls("NotInThisSetup", IDC_POSITION_KP);
    }

    void OnChangedParameterValue(const char* name) override {
        events.push_back(std::string("changed ") + name);
        CMC_EditSetupDlg::OnChangedParameterValue(name);
    }
    void OnRefreshParameterValue(const char* name) override {
        events.push_back(std::string("refresh ") + name);
        CMC_EditSetupDlg::OnRefreshParameterValue(name);
    }
    void OnChangedParameterUnit(const char* name) override {
        events.push_back(std::string("unit ") + name);
        CMC_EditSetupDlg::OnChangedParameterUnit(name);
    }
    void OnCommand(int id) override {
        if (id == IDC_OPEN_CHILD) {
            TestDialog child(GetSetup(), kChildForm);
            childResult = child.DoModal();
            return;
        }
        CMC_EditSetupDlg::OnCommand(id);
    }
    void OnTimer(int timerId) override {
        fired.push_back(timerId);
        if (timerId == 1) KillTimer(1);
    }

    std::vector<std::string> events;
    std::vector<int> fired;
    int childResult = -1;
};

class DialogFramework : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiBackend(&m_ui);
        m_setup = MakeSetup({{"Kp_S_scl", 2}, {"Kp_P_scl", 5}, {"PolePitch", 0.032, UnitType::LinearPosition},
                             {"isOverCurrent", 0, UnitType::None, ParameterKind::Flag},
                             {"ControlMode", 1, UnitType::None, ParameterKind::Selector},
                             {"StartMode", 7, UnitType::None, ParameterKind::Selector}});
        TakeCollectedErrors();
    }
    void TearDown() override { SetUiBackend(nullptr); }

    // Runs the dialog with `act` as the user's actions; returns what DoModal returned.
    int Run(TestDialog& dialog, std::function<void(DialogDriver&)> act) {
        m_ui.OnDialog("Test Setup", std::move(act));
        return dialog.DoModal();
    }

    HeadlessUi m_ui;
    std::unique_ptr<CMC_Setup> m_setup;
};

TEST_F(DialogFramework, FieldsShowValuesInTheUnitOnShowAndUnitsChangeOnlyTheDisplay) {
    TestDialog dialog(m_setup.get());
    EXPECT_EQ(dialog.GetChildText(IDC_LENGTH), "0.032");
    Run(dialog, [&](DialogDriver& d) {
        ASSERT_TRUE(d.ChooseUnit("Pole pitch", "mm")) << d.Error();
        EXPECT_EQ(dialog.GetChildText(IDC_LENGTH), "32");
        ASSERT_TRUE(d.Type("Pole pitch", "40")) << d.Error();
        ASSERT_TRUE(d.Type("Pole pitch", "0.05 m")) << d.Error();
        d.Click("OK");
    });
    EXPECT_DOUBLE_EQ(m_setup->GetParameterValueInBaseUnit("PolePitch"), 0.05);
    EXPECT_STREQ(m_setup->GetParameterUnit("PolePitch"), "mm");
    EXPECT_EQ(dialog.GetChildText(IDC_LENGTH), "50");
    const std::vector<std::string> expected = {"unit PolePitch", "changed PolePitch", "refresh PolePitch",
                                               "changed PolePitch", "refresh PolePitch"};
    EXPECT_EQ(dialog.events, expected);
}

TEST_F(DialogFramework, ARefusedEntryLeavesTheSetupAndTheFieldAsTheyWere) {
    TestDialog dialog(m_setup.get());
    Run(dialog, [&](DialogDriver& d) {
        for (const char* bad : {"abc", "12 rpm", "nan", ""}) {
            SCOPED_TRACE(bad);
            d.Type("Speed controller/Kp", bad);
            EXPECT_EQ(dialog.GetChildText(IDC_SPEED_KP), "2");
        }
        d.Click("Cancel");
    });
    EXPECT_EQ(m_setup->GetParameterValueInBaseUnit("Kp_S_scl"), 2);
    EXPECT_EQ(m_ui.Messages().size(), 4u);
    EXPECT_TRUE(dialog.events.empty());
}

TEST_F(DialogFramework, ChecksOptionsAndListsCommitTheirValues) {
    TestDialog dialog(m_setup.get());
    EXPECT_EQ(dialog.GetCheck(IDC_MODE_SPEED), 1);
    EXPECT_EQ(dialog.GetSelection(IDC_CHOICE), 1);
    const int result = Run(dialog, [&](DialogDriver& d) {
        d.Click("Over current");
        d.Click("Torque");
        d.Select("Type", "low");
        d.Click("OK");
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(m_setup->GetParameterValueInBaseUnit("isOverCurrent"), 1);
    EXPECT_EQ(m_setup->GetParameterValueInBaseUnit("ControlMode"), 2);
    EXPECT_EQ(m_setup->GetParameterValueInBaseUnit("StartMode"), 3);
    EXPECT_EQ(dialog.GetCheck(IDC_MODE_SPEED), 0);
    EXPECT_EQ(dialog.GetCheck(IDC_MODE_TORQUE), 1);
}

TEST_F(DialogFramework, ControlsAreFoundByIdLabelGroupAndParameter) {
    TestDialog dialog(m_setup.get());
    Run(dialog, [&](DialogDriver& d) {
        const std::pair<const char*, int> found[] = {
            {"#102", IDC_SPEED_KP},          {"@kp_p_scl", IDC_POSITION_KP}, {"Speed controller/Kp", IDC_SPEED_KP},
            {"position controller/KP", IDC_POSITION_KP}, {"Tune & Test", IDC_OPEN_CHILD}, {"Pole pitch", IDC_LENGTH},
        };
        for (const auto& [what, id] : found) {
            SCOPED_TRACE(what);
            EXPECT_EQ(d.Find(what), id) << d.Error();
        }
        for (const char* missing : {"Kp", "#999", "@NotInThisSetup", "Nothing"}) {
            SCOPED_TRACE(missing);
            EXPECT_EQ(d.Find(missing), 0);
            EXPECT_FALSE(d.Error().empty());
        }
        d.Dialog().EnableChild(IDC_SPEED_KP, false);
        EXPECT_FALSE(d.Type("Speed controller/Kp", "3"));
        d.Click("Cancel");
    });
    EXPECT_EQ(m_setup->GetParameterValueInBaseUnit("Kp_S_scl"), 2);
}

TEST_F(DialogFramework, GuidelineShowsOneStepAtATime) {
    TestDialog dialog(m_setup.get());
    Run(dialog, [&](DialogDriver& d) {
        EXPECT_EQ(dialog.GetChildText(IDC_GUIDELINE_TEXT), "Step 1.\tFirst.");
        EXPECT_FALSE(dialog.GetControl(IDC_GUIDELINE_PREVIOUS)->enabled);
        d.Click("Next");
        EXPECT_EQ(dialog.GetChildText(IDC_GUIDELINE_TEXT), "Step 2.\tSecond.");
        EXPECT_FALSE(dialog.GetControl(IDC_GUIDELINE_NEXT)->enabled);
        d.Click("Previous");
        EXPECT_EQ(dialog.GetGuidelineStep(), 0);
        d.Click("OK");
    });
}

TEST_F(DialogFramework, TimersFireInDueOrderOnTheVirtualClock) {
    TestDialog dialog(m_setup.get());
    Run(dialog, [&](DialogDriver& d) {
        d.Dialog().SetTimer(2, 20);
        d.Dialog().SetTimer(1, 30);
        d.Wait_ms(65);
        d.Click("OK");
    });
    // Timer 2 repeats every 20 ms; timer 1 stops itself after its first firing.
    const std::vector<int> expected = {2, 1, 2, 2};
    EXPECT_EQ(dialog.fired, expected);
    EXPECT_NEAR(m_ui.Now_s(), 0.065, 1e-12);
}

// A dialog that, on its timer 3, loops inside the one tick until stopped, pumping messages as the
// long runs of the tests do, with the clock moving as their drive transactions move it.
class LoopingDialog : public TestDialog {
public:
    using TestDialog::TestDialog;
    void OnTimer(int timerId) override {
        if (timerId != 3) return TestDialog::OnTimer(timerId);
        KillTimer(3);
        constexpr double kCap_s = 5.0;
        const double cap_s = GetUiBackend().Now_s() + kCap_s;
        while (!stopped && GetUiBackend().Now_s() < cap_s) {
            GetUiBackend().AdvanceClock(0.001);
            PumpMessages();
        }
        loopEnded_s = GetUiBackend().Now_s();
    }
    bool stopped = false;
    double loopEnded_s = -1.0;
};

TEST_F(DialogFramework, ScheduledActsAreDoneOnTimeAlsoInsideADialogsOwnLoop) {
    struct Case {
        const char* name;
        bool loop;       // the dialog loops inside its tick from 0.1 s
        bool cancelled;  // the act is withdrawn before it is due
        double stopAt_s, expectedEnd_s;
    };
    const Case cases[] = {
        {"while the script waits", false, false, 0.3, -1.0},
        {"inside the dialog's loop", true, false, 0.3, 0.3},
        {"withdrawn, the loop runs to its cap", true, true, 0.3, 5.1},
    };
    for (const Case& c : cases) {
        LoopingDialog dialog(m_setup.get());
        double stoppedAt_s = -1.0;
        const double start_s = m_ui.Now_s();
        Run(dialog, [&](DialogDriver& d) {
            const int act = m_ui.At(m_ui.Now_s() + c.stopAt_s, [&] {
                dialog.stopped = true;
                stoppedAt_s = m_ui.Now_s();
            });
            if (c.cancelled) m_ui.Cancel(act);
            if (c.loop) d.Dialog().SetTimer(3, 100);
            d.Wait_ms(1000);
            d.Click("OK");
        });
        EXPECT_EQ(dialog.stopped, !c.cancelled) << c.name;
        if (!c.cancelled) {
            // Inside the loop, at its next pump: within one pass.
            EXPECT_NEAR(stoppedAt_s - start_s, c.stopAt_s, 1.5e-3) << c.name;
        }
        const double loopEnded_s = dialog.loopEnded_s < 0.0 ? -1.0 : dialog.loopEnded_s - start_s;
        EXPECT_NEAR(loopEnded_s, c.expectedEnd_s, 1.5e-3) << c.name;
    }
}

TEST_F(DialogFramework, AnActGoesBeforeATimerDueAtTheSameMoment) {
    TestDialog dialog(m_setup.get());
    std::vector<int> order;
    Run(dialog, [&](DialogDriver& d) {
        d.Dialog().SetTimer(2, 20);
        m_ui.At(0.020, [&] { order.push_back(0); });
        d.Wait_ms(25);
        order.insert(order.end(), dialog.fired.begin(), dialog.fired.end());
        d.Click("OK");
    });
    const std::vector<int> expected = {0, 2};
    EXPECT_EQ(order, expected);
}

TEST_F(DialogFramework, NestedDialogsRunTheirOwnHandlersAndUnclosedOnesAreCancelled) {
    TestDialog dialog(m_setup.get());
    m_ui.OnDialog("Child", [](DialogDriver& d) { d.Click("OK"); });
    m_ui.QueueAnswer(IDNO);
    Run(dialog, [&](DialogDriver& d) {
        d.Click("Tune & Test");
        EXPECT_EQ(d.Dialog().MessageBox("Keep?", {}, MessageBoxKind::Question), IDNO);
        EXPECT_EQ(d.Dialog().MessageBox("Done.", {}, MessageBoxKind::Question), IDYES);
    });
    EXPECT_EQ(dialog.childResult, IDOK);
    const std::vector<std::string> opened = {"Test Setup", "Child"};
    EXPECT_EQ(m_ui.OpenedDialogs(), opened);
    const std::vector<std::string> leftOpen = {"Test Setup"};
    EXPECT_EQ(m_ui.LeftOpen(), leftOpen);
    ASSERT_EQ(m_ui.Messages().size(), 2u);
    EXPECT_EQ(m_ui.Messages()[0].text, "Keep?");
}

TEST(DisplayLabel, AmpersandsFollowTheMnemonicConvention) {
    const std::pair<const char*, const char*> cases[] = {
        {"Tune && Test", "Tune & Test"}, {"&Test", "Test"}, {"&&&Details", "&Details"}, {"Plain", "Plain"}, {"", ""}};
    for (const auto& [stored, shown] : cases) {
        SCOPED_TRACE(stored);
        EXPECT_EQ(DisplayLabel(stored), shown);
    }
}

}  // namespace
