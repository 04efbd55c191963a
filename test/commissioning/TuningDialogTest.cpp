// What the speed and position tuning dialogs do before and around a run: the tab guard, the moved
// mass kept in step with its ratio, the motor-mass question, the amplitude in whole counts,
// registers following gains, the position test's program and limits, the scope's scaling and
// saved settings, and what OK keeps.
#include "SimTestRun.h"

#include "MC_Units.h"
#include "MassQuestionForm.h"
#include "TestPositionTuning.h"
#include "TestSpeedTuning.h"
#include "TuningTestForm.h"

#include <drivesim/Protocol.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace {

using namespace pelmora;
using sim_testing::SimTestFixture;

constexpr const char* kSpeedCaption = "Speed Controller Tuning Test";
constexpr const char* kPositionCaption = "Position Controller Tuning Test";

// A value typed in the parameter's base unit, whatever unit the field shows.
std::string InBaseUnit(const CMC_Parameter& parameter, double value) {
    std::array<char, 64> text{};
    const std::string unit(CMC_Units::Instance().BaseUnit(parameter.GetUnitType()).GetName());
    std::snprintf(text.data(), text.size(), "%.17g %s", value, unit.c_str());
    return text.data();
}

std::optional<double> ProgramVariable(const char* name) {
    drivesim::Request request;
    request.op = drivesim::Op::ReadProgramVariable;
    request.name = name;
    const drivesim::Response answer = CMC_Comm::Transact(request);
    if (!answer.ok()) return std::nullopt;
    return answer.value;
}

class TuningDialog : public SimTestFixture {
protected:
    // Opens the test, runs `act` in it, then OK (or Cancel) if it is still open.
    template <typename Test>
    void Open(const std::function<void(DialogDriver&, Test&)>& act, bool ok = false) {
        Test dialog(setup.get());
        ui->OnDialog(std::string(dialog.GetCaption()), [&](DialogDriver& d) {
            act(d, dialog);
            if (dialog.IsOpen()) d.Click(ok ? "OK" : "Cancel");
        });
        dialog.DoModal();
    }
    void OpenEither(bool position, const std::function<void(DialogDriver&, CTuningTestDlg&)>& act, bool ok = false) {
        if (position) {
            Open<CTestPositionTuning>([&](DialogDriver& d, CTestPositionTuning& t) { act(d, t); }, ok);
        } else {
            Open<CTestSpeedTuning>([&](DialogDriver& d, CTestSpeedTuning& t) { act(d, t); }, ok);
        }
    }
    bool LastMessageIs(const char* text) const { return !ui->Messages().empty() && ui->Messages().back().text == text; }
};

TEST_F(TuningDialog, FormsHoldEveryControlTheirTabListsName) {
    struct Case {
        const char* name;
        const FormTemplate& form;
        std::span<const int> lists[3];
    };
    const Case cases[] = {
        {"speed", kSpeedTuningForm, {kSpeedTuningParametersTab, kSpeedTuningTestTab, kSpeedTuningLiveEditable}},
        {"position", kPositionTuningForm,
         {kPositionTuningParametersTab, kPositionTuningTestTab, kPositionTuningLiveEditable}},
    };
    for (const Case& c : cases) {
        std::set<int> ids;
        for (const ControlTemplate& control : c.form.controls) {
            EXPECT_TRUE(ids.insert(control.id).second) << c.name << ": control " << control.id << " twice";
        }
        for (std::span<const int> list : c.lists) {
            for (int id : list) EXPECT_TRUE(ids.count(id)) << c.name << ": the form has no control " << id;
        }
    }
    EXPECT_EQ(kSpeedTuningForm.caption, kSpeedCaption);
    EXPECT_EQ(kPositionTuningForm.caption, kPositionCaption);
}

TEST_F(TuningDialog, TestTabNeedsAProtectionLevelAtLeastTheCurrentLimit) {
    struct Case {
        bool position;
        double limit_A, protection_A;
        bool entered;
    };
    const Case cases[] = {{false, 2.0, 4.0, true}, {false, 3.0, 3.0, true}, {false, 4.0, 3.0, false},
                          {true, 2.0, 4.0, true},  {true, 4.0, 3.0, false}};
    for (const Case& c : cases) {
        Fresh();
        Set("TestLimitCurrent", c.limit_A);
        Set("TestProtectionCurrent", c.protection_A);
        int tab = -1;
        bool startShown = false;
        OpenEither(c.position, [&](DialogDriver& d, CTuningTestDlg& t) {
            d.Select("#1300", "Test");
            tab = t.GetTab();
            startShown = t.GetControl(IDC_TEST_START)->visible;
        });
        const std::string name = std::string(c.position ? "position " : "speed ") + std::to_string(c.limit_A) +
                                 " A against " + std::to_string(c.protection_A) + " A";
        EXPECT_EQ(tab, c.entered ? 1 : 0) << name;
        EXPECT_EQ(startShown, c.entered) << name;
        EXPECT_EQ(LastMessageIs(kLimitAboveProtection), !c.entered) << name;
    }
}

TEST_F(TuningDialog, TotalMassAndMassRatioFollowEachOther) {
    struct Case {
        const char* field;  // typed into
        const char* text;
        const char* other;  // follows
        double expected;
    };
    const Case cases[] = {{"#3271", "3", "Mload_over_M", 0.5}, {"#1385", "0.5", "Mt", 3.0},
                          {"#3271", "2.3456", "Mload_over_M", 0.173}, {"#1385", "0.1234", "Mt", 2.247}};
    for (bool position : {false, true}) {
        for (const Case& c : cases) {
            Fresh();
            FreshSetup();
            Set("M", 2.0);
            Set("Mt", 2.5);
            setup->FindParameter("Mt")->ChangeUnit("kg");
            OpenEither(position, [&](DialogDriver& d, CTuningTestDlg&) {
                ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
                ASSERT_TRUE(d.Type(c.field, c.text)) << d.Error();
            });
            EXPECT_NEAR(Value(c.other), c.expected, 1e-9) << (position ? "position: " : "speed: ") << c.field << " = " << c.text;
        }
    }
}

TEST_F(TuningDialog, TotalMassBelowTheMotorMassWarnsOnceAndSwitchesTheRatioOff) {
    Set("M", 2.0);
    Set("Mt", 2.5);
    setup->FindParameter("Mt")->ChangeUnit("kg");
    bool ratioEnabled = true;
    Open<CTestSpeedTuning>([&](DialogDriver& d, CTestSpeedTuning& t) {
        ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
        ASSERT_TRUE(d.Type("#3271", "1.5")) << d.Error();
        ASSERT_TRUE(d.Type("#3271", "1.2")) << d.Error();
        ratioEnabled = t.GetControl(IDC_TT_RATIO)->enabled;
    });
    int warnings = 0;
    for (const auto& message : ui->Messages()) warnings += message.text == kTotalBelowMotorMass ? 1 : 0;
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(Value("isMotorMassUnknown"), 1.0);
    EXPECT_FALSE(ratioEnabled) << "the mass ratio is still offered";
}

TEST_F(TuningDialog, OpeningWithATotalBelowTheMotorMassAsksAndTakesTheAnswer) {
    struct Case {
        const char* name;
        int choice;  // option clicked in the question
        double mt, unknown;
        std::optional<double> ratio;
    };
    // The ratio comes from the masses the answer left: from those before it, the load would weigh
    // less than nothing.
    const Case cases[] = {{"increase the total", IDC_MASS_INCREASE_TOTAL, 2.02, 0.0, 0.01},
                          {"disregard the motor mass", IDC_MASS_DISREGARD_MOTOR, 1.0, 1.0, std::nullopt}};
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        Set("M", 2.0);
        Set("Mt", 1.0);
        bool asked = false, ratioEnabled = true;
        ui->OnDialog("Motor mass", [&](DialogDriver& d) {
            asked = true;
            ASSERT_TRUE(d.Click("#" + std::to_string(c.choice))) << d.Error();
            ASSERT_TRUE(d.Click("OK")) << d.Error();
        });
        Open<CTestSpeedTuning>([&](DialogDriver& d, CTestSpeedTuning& t) {
            d.Select("#1300", "Test");
            ratioEnabled = t.GetControl(IDC_TT_RATIO)->enabled;
        });
        EXPECT_TRUE(asked) << c.name;
        EXPECT_NEAR(Value("Mt"), c.mt, 1e-12) << c.name;
        EXPECT_EQ(Value("isMotorMassUnknown"), c.unknown) << c.name;
        EXPECT_EQ(ratioEnabled, c.unknown == 0.0) << c.name;
        if (c.ratio) {
            EXPECT_NEAR(Value("Mload_over_M"), *c.ratio, 1e-9) << c.name;
        }
    }
}

TEST_F(TuningDialog, AmplitudeIsAlwaysAWholeNonZeroNumberOfDriveCounts) {
    struct Case {
        bool position;
        double counts;
        double expected;
    };
    const Case cases[] = {{false, 0.3, 1.0}, {false, -0.3, -1.0}, {false, 10.6, 11.0},
                          {true, 0.3, 1.0},  {true, -0.3, -1.0},  {true, 1000.4, 1000.0}};
    for (const Case& c : cases) {
        Fresh();
        const char* name = c.position ? "TestPosition" : "TestSpeed";
        const double perUnit = c.position ? GetLoadPositionScale(*setup) : GetLoadSpeedScale(*setup);
        OpenEither(c.position, [&](DialogDriver& d, CTuningTestDlg&) {
            const int field = c.position ? IDC_TT_POSITION : IDC_TT_SPEED;
            ASSERT_TRUE(d.Type("#" + std::to_string(field), InBaseUnit(*setup->FindParameter(name), c.counts / perUnit)))
                << d.Error();
        });
        EXPECT_NEAR(Value(name) * perUnit, c.expected, 1e-9) << name << " entered as " << c.counts << " counts";
    }
}

TEST_F(TuningDialog, GainsRecomputeTheirRegistersAsTheyAreTyped) {
    struct Case {
        bool position;
        int field;
        const char* gain;
        const char* reg;
        bool massUnknown;
    };
    const Case cases[] = {
        {false, IDC_TT_KP, "Kp_S_scl", "KPS", false},
        {false, IDC_TT_KI, "Ki_S_scl", "KIS", false},
        {false, IDC_TT_FFA, "KFFA_scl", "KFFA", false},
        // With the motor mass unknown too: a run would otherwise send the previous gain's registers.
        {false, IDC_TT_FFA, "KFFA_scl", "KFFA", true},
        {true, IDC_TT_KP, "Kp_P_scl", "KPP", false},
        {true, IDC_TT_KD, "Kd_P_scl", "KDP", false},
        {true, IDC_TT_FFA, "KFFA_scl", "KFFA", true},
    };
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        Set("isMotorMassUnknown", c.massUnknown ? 1.0 : 0.0);
        // The speed test offers its feedforwards in speed control mode only.
        if (!c.position) Set("ControlMode", 1);
        const double before = Value(c.reg);
        const double typed = Value(c.gain) > 0.0 ? Value(c.gain) * 1.4 : 50.0;
        OpenEither(c.position, [&](DialogDriver& d, CTuningTestDlg&) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            ASSERT_TRUE(d.Type("#" + std::to_string(c.field), std::to_string(typed))) << d.Error();
        });
        const std::string name = std::string(c.gain) + (c.massUnknown ? ", motor mass unknown" : "");
        EXPECT_NE(Value(c.reg), before) << name << ": " << c.reg << " did not follow";
    }
}

TEST_F(TuningDialog, OkKeepsTheTestCurrentsAsTheDrivesOwn) {
    for (bool position : {false, true}) {
        Fresh();
        FreshSetup();
        Set("TestLimitCurrent", 2.5);
        Set("TestProtectionCurrent", 4.5);
        Set("TestStartCurrent", 40.0);
        OpenEither(position, [](DialogDriver&, CTuningTestDlg&) {}, true);
        EXPECT_DOUBLE_EQ(Value("IlimPS"), 2.5) << position;
        EXPECT_DOUBLE_EQ(Value("Imax_Prot"), 4.5) << position;
        EXPECT_DOUBLE_EQ(Value("StartCurrent"), 40.0) << position;
    }
}

TEST_F(TuningDialog, PositionTestChoosesItsProgramAndPlotsByTheControlStructure) {
    struct Case {
        double type;
        const char* program;
        const char* lower;  // the first variable of the lower plot
    };
    const Case cases[] = {{1, "Position_Controller_Tuning_Test_with_SpdCtrl", "Speed_Reference"},
                          {0, "Position_Controller_Tuning_Test_without_SpdCtrl", "Current_Reference"}};
    for (const Case& c : cases) {
        Fresh();
        Set("PositionControlType", c.type);
        std::string program, lower, scopeLower;
        Open<CTestPositionTuning>([&](DialogDriver&, CTestPositionTuning& t) {
            program = t.GetMainProgram();
            lower = t.GetDataLogger()->GetItems().at(2).name;
            scopeLower = t.GetScopeLogger()->GetItems().at(2).name;
        });
        EXPECT_EQ(program, c.program);
        EXPECT_EQ(lower, c.lower) << c.program;
        EXPECT_EQ(scopeLower, c.lower) << c.program;
    }
}

TEST_F(TuningDialog, PositionLaunchWritesTheLimitsItsProgramReads) {
    struct Case {
        double type;
        bool speedLimit;  // LimitSpeed_Test written, IlimPS_Test absent
    };
    const Case cases[] = {{1, true}, {0, false}};
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        Set("PositionControlType", c.type);
        Set("TestLimitCurrent", 2.2);
        Set("TestProtectionCurrent", 5.0);
        Open<CTestPositionTuning>([&](DialogDriver& d, CTestPositionTuning& t) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            ASSERT_TRUE(d.WaitUntil([&] { return !t.m_bRunning; }, 30.0));
            // What the program was given is what counts here, not how the untuned loop fared.
        });
        const CMC_Parameter& limit = *setup->FindParameter("TestLimitCurrent");
        const auto speedLimit = ProgramVariable("LimitSpeed_Test");
        const auto currentLimit = ProgramVariable("IlimPS_Test");
        const auto protection = ProgramVariable("Imax_Prot_Test");
        ASSERT_TRUE(protection.has_value());
        EXPECT_EQ(*protection, std::trunc(setup->FindParameter("TestProtectionCurrent")->GetValueInInternalUnit()));
        if (c.speedLimit) {
            ASSERT_TRUE(speedLimit.has_value());
            EXPECT_EQ(*speedLimit, std::trunc(setup->FindParameter("Limit_Speed")->GetValueInInternalUnit()));
            EXPECT_FALSE(currentLimit.has_value()) << "the cascade's program limits the current through the speed loop";
            EXPECT_DOUBLE_EQ(Value("IlimPS"), limit.GetValueInBaseUnit());
        } else {
            ASSERT_TRUE(currentLimit.has_value());
            EXPECT_EQ(*currentLimit, std::trunc(limit.GetValueInInternalUnit()));
            EXPECT_EQ(setup->FindParameter("IlimPS")->GetValueInInternalUnit(), limit.GetValueInInternalUnit());
        }
    }
}

TEST_F(TuningDialog, ScopeScalesFollowTheValuesTheyShowUnlessTheUserSetThem) {
    struct Case {
        const char* name;
        bool position;
        double controlType;
        int field;
        const char* text;
        int channel;      // the channel whose scale is looked at
        bool follows;
    };
    const Case cases[] = {
        {"speed: final speed", false, 1, IDC_TT_SPEED, "1", 0, true},
        {"speed: current limit", false, 1, IDC_TT_LIMIT, "0.9", 2, true},
        {"position, direct: current limit", true, 0, IDC_TT_LIMIT, "0.9", 2, true},
        // The cascade plots the speed pair below: the current limit scales nothing.
        {"position, cascade: current limit", true, 1, IDC_TT_LIMIT, "0.9", 2, false},
        {"position, cascade: ramp time", true, 1, IDC_TT_TAP, "5", 2, true},
    };
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        Set("PositionControlType", c.controlType);
        double before = 0.0, after = 0.0, customised = 0.0;
        OpenEither(c.position, [&](DialogDriver& d, CTuningTestDlg& t) {
            const CMC_ScopeLogger::ChannelScale* scale = t.GetScopeLogger()->GetChannelScale(c.channel);
            ASSERT_NE(scale, nullptr) << c.name;
            before = scale->step;
            ASSERT_TRUE(d.Type("#" + std::to_string(c.field), c.text)) << d.Error();
            after = t.GetScopeLogger()->GetChannelScale(c.channel)->step;
            // Once the user set a scale, the rules leave it.
            UserPlotMenu(t, IDC_TT_SCOPE, ID_PLOT_AUTOSCALE);
            t.OnChannelScale(IDC_TT_SCOPE, c.channel, 1);
            customised = t.GetScopeLogger()->GetChannelScale(c.channel)->step;
            ASSERT_TRUE(d.Type("#" + std::to_string(c.field), "0.4")) << d.Error();
            EXPECT_EQ(t.GetScopeLogger()->GetChannelScale(c.channel)->step, customised) << c.name << ": a set scale moved";
        });
        EXPECT_EQ(after != before, c.follows) << c.name << ": " << before << " -> " << after;
    }
}

TEST_F(TuningDialog, ScopeSettingsTheUserChoseAreKeptInTheSetupByOkOnly) {
    for (bool position : {false, true}) {
        Fresh();
        FreshSetup();
        const char* option = position ? "PositionTuningOscSettings" : "SpeedTuningOscSettings";
        // Changed, then Cancel: nothing kept.
        OpenEither(position, [](DialogDriver&, CTuningTestDlg& t) { t.OnChannelScale(IDC_TT_SCOPE, 0, 2); });
        EXPECT_EQ(setup->GetOptionNoError(option), "") << option;
        // Changed, then OK: kept, and the next opening starts from them.
        double kept = 0.0;
        OpenEither(position, [&](DialogDriver&, CTuningTestDlg& t) {
            t.OnChannelScale(IDC_TT_SCOPE, 0, 2);
            kept = t.GetScopeLogger()->GetChannelScale(0)->step;
        }, true);
        EXPECT_NE(setup->GetOptionNoError(option), "") << option;
        bool customised = false;
        double loaded = 0.0;
        OpenEither(position, [&](DialogDriver&, CTuningTestDlg& t) {
            customised = t.IsScopeCustomised();
            loaded = t.GetScopeLogger()->GetChannelScale(0)->step;
            UserPlotMenu(t, IDC_TT_SCOPE, ID_PLOT_DEFAULT_SETTINGS);
        }, true);
        EXPECT_TRUE(customised) << option;
        EXPECT_EQ(loaded, kept) << option;
        // Back to the defaults, then OK: the option goes.
        EXPECT_EQ(setup->GetOptionNoError(option), "") << option;
    }
}

TEST_F(TuningDialog, PlotMenuOpensOnlyOverTheScopeWhileNoRunIsOn) {
    struct Case {
        const char* scope;
        int control;
        bool opens;
    };
    const Case cases[] = {{"1", IDC_TT_SCOPE, true}, {"1", IDC_TT_GRAPH, false}, {"0", IDC_TT_SCOPE, false}};
    for (const Case& c : cases) {
        Fresh();
        setup->SetOption("hasOscilloscope", c.scope);
        bool opens = !c.opens;
        Open<CTestSpeedTuning>([&](DialogDriver&, CTestSpeedTuning& t) { opens = UserPlotMenu(t, c.control, ID_PLOT_AUTOSCALE); });
        EXPECT_EQ(opens, c.opens) << "scope " << c.scope << ", control " << c.control;
    }
}

TEST_F(TuningDialog, IdentifyAndFiltersOpenTheirDialogsFromTheTestTab) {
    struct Case {
        bool position;
        int button;
        const char* caption;
        const char* close;
    };
    const Case cases[] = {{false, IDC_TT_IDENTIFY_SPEED, "Total mass test", "Close"},
                          {true, IDC_TT_IDENTIFY_POSITION, "Total mass test", "Close"},
                          {false, IDC_TT_FILTERS, "Filters", "Cancel"},
                          {true, IDC_TT_FILTERS, "Filters", "Cancel"}};
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        const double mt = Value("Mt");
        bool opened = false;
        ui->OnDialog(c.caption, [&](DialogDriver& d) {
            opened = true;
            ASSERT_TRUE(d.Click(c.close)) << d.Error();
        });
        OpenEither(c.position, [&](DialogDriver& d, CTuningTestDlg&) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            ASSERT_TRUE(d.Click("#" + std::to_string(c.button))) << d.Error();
        });
        const std::string name = std::string(c.position ? "position: " : "speed: ") + c.caption;
        EXPECT_TRUE(opened) << name << " did not open";
        EXPECT_EQ(Value("Mt"), mt) << name << ": closed without a result, yet the mass changed";
    }
}

TEST_F(TuningDialog, TuneThatCannotDesignSaysSoAndKeepsTheGains) {
    struct Case {
        bool position;
        const char* gain;
    };
    // Without a force constant neither the speed loop nor a position loop on the current has a plant.
    const Case cases[] = {{false, "Kp_S_scl"}, {true, "Kp_P_scl"}};
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        Set("PositionControlType", 0);
        setup->FindParameter("Kf")->SetMinInBaseUnit(0.0);
        Set("Kf", 0.0);
        const double kp = Value(c.gain);
        OpenEither(c.position, [&](DialogDriver& d, CTuningTestDlg&) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            ASSERT_TRUE(d.Click("Tune")) << d.Error();
        });
        ASSERT_FALSE(ui->Messages().empty()) << c.gain << ": Tune said nothing";
        EXPECT_NE(ui->Messages().back().text.find("cannot be designed"), std::string::npos) << ui->Messages().back().text;
        EXPECT_EQ(Value(c.gain), kp) << c.gain;
    }
}

TEST_F(TuningDialog, OnLinePlotWithoutAScopeNeedsCyclesUntilStop) {
    setup->SetOption("hasOscilloscope", "0");
    Set("MultiCycleS", 1);
    Set("OnlinePlotS", 1);
    bool onlineOffered = false, onlineAfter = true;
    Open<CTestSpeedTuning>([&](DialogDriver& d, CTestSpeedTuning& t) {
        ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
        onlineOffered = t.GetControl(IDC_TT_ONLINE)->enabled;
        ASSERT_TRUE(d.Select("#1300", "Test Parameters")) << d.Error();
        ASSERT_TRUE(d.Click("Multiple Cycle Movement")) << d.Error();
        onlineAfter = t.GetControl(IDC_TT_ONLINE)->enabled;
    });
    EXPECT_TRUE(onlineOffered);
    EXPECT_FALSE(onlineAfter) << "polling offered for a single cycle";
    EXPECT_EQ(Value("OnlinePlotS"), 0.0) << "one cycle polled without a scope";
}

}  // namespace
