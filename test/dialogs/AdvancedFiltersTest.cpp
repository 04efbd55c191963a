// The advanced dialog (loop timing, control scheme, feed-forward, freeze control) and the filters
// dialog, driven headless on the default setup as a user would.
#include "AdvancedDialog.h"
#include "AdvancedForm.h"
#include "BaseQuantities.h"
#include "Decode.h"
#include "Encode.h"
#include "FiltersDialog.h"
#include "FiltersForm.h"
#include "HeadlessUi.h"
#include "MC_SetupFile.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelmora::CAdvancedDialog;
using pelmora::CFiltersDialog;

constexpr double kTight = 1e-9;

class DialogTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        // Every case of a table starts afresh: a new setup and a UI that has shown nothing yet.
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
        TakeCollectedErrors();
    }
    void TearDown() override { SetUiBackend(nullptr); }

    double Base(const char* name) const { return setup->GetParameterValueInBaseUnit(name); }
    double Internal(const char* name) const { return setup->GetParameterValueInInternalUnit(name); }
    void Set(const char* name, double value) { ASSERT_TRUE(setup->SetParameterValueInBaseUnit(name, value)) << name; }
    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> texts;
        for (const auto& message : ui->Messages()) texts.push_back(message.text);
        return texts;
    }

    std::unique_ptr<HeadlessUi> ui;
    std::unique_ptr<CMC_Setup> setup;
};

// ---------------------------------------------------------------------------------------------
// Advanced

class AdvancedDialogTest : public DialogTestBase {
protected:
    // Opens the dialog, lets `act` work in it, and returns what DoModal returned.
    int Run(const std::function<void(DialogDriver&, CAdvancedDialog&)>& act) {
        CAdvancedDialog dialog(setup.get());
        ui->OnDialog("Advanced", [&](DialogDriver& d) {
            act(d, dialog);
            ASSERT_TRUE(d.Error().empty()) << d.Error();
        });
        return dialog.DoModal();
    }
    static void Type(DialogDriver& d, const char* what, const std::string& text) {
        ASSERT_TRUE(d.Type(what, text)) << d.Error();
    }
};

TEST_F(AdvancedDialogTest, DividersFollowThePwmFrequencyAndEachOther) {
    struct Case {
        const char* name;
        double clper;
        double slper;
        std::vector<std::pair<const char*, const char*>> entries;  // control, text
        double expectedClper;
        double expectedSlper;
        double expectedTsC_us;
        double expectedTsS_us;
    };
    const Case cases[] = {
        {"PWM halved: both dividers halve", 2, 10, {{"@PWM_freq", "10"}}, 1, 5, 100, 500},
        {"PWM halved from a divider of one: one PWM period", 1, 10, {{"@PWM_freq", "10"}}, 1, 5, 100, 500},
        {"PWM doubled: both dividers double", 1, 10, {{"@PWM_freq", "40"}}, 2, 20, 50, 500},
        {"PWM not a divisor: nearest whole divider", 1, 10, {{"@PWM_freq", "14"}}, 1, 7, 71.43333, 500.03333},
        {"PWM there and back: the chosen periods return", 1, 10, {{"@PWM_freq", "10"}, {"@PWM_freq", "20"}}, 1, 10,
         50, 500},
        {"PWM far down: a divider stays at least one", 1, 10, {{"@PWM_freq", "4.5"}}, 1, 2, 222.23333, 444.46667},
        {"fast divider above the slow one raises it", 1, 10, {{"@CLPER", "12"}}, 12, 12, 600, 600},
        {"fast divider below the slow one leaves it", 1, 10, {{"@CLPER", "4"}}, 4, 10, 200, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Set("CLPER", c.clper);
        Set("SLPER", c.slper);
        pelmora::UpdateParametersFromRegisters(*setup);
        std::string shownClper;
        std::string shownSlper;
        const int result = Run([&](DialogDriver& d, CAdvancedDialog& dialog) {
            for (const auto& [what, text] : c.entries) Type(d, what, text);
            shownClper = dialog.GetChildText(pelmora::IDC_ADV_CLPER);
            shownSlper = dialog.GetChildText(pelmora::IDC_ADV_SLPER);
            d.Click("OK");
        });
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(Base("CLPER"), c.expectedClper);
        EXPECT_EQ(Base("SLPER"), c.expectedSlper);
        EXPECT_EQ(shownClper, CMC_EditSetupDlg::FormatValue(c.expectedClper));
        EXPECT_EQ(shownSlper, CMC_EditSetupDlg::FormatValue(c.expectedSlper));
        EXPECT_NEAR(Base("Ts_C") * 1e6, c.expectedTsC_us, 1e-3);
        EXPECT_NEAR(Base("Ts_S") * 1e6, c.expectedTsS_us, 1e-3);
        EXPECT_NEAR(Base("PWMperiod") * Base("PWM_freq"), 1.0, 1e-6);
        TearDown();
    }
}

// Every time-dependent parameter is held by the drive per slow-loop sample: a new slow period
// must change its count, never the physical value the user set.
TEST_F(AdvancedDialogTest, NewSlowPeriodKeepsEveryPhysicalValue) {
    struct Watched {
        const char* name;
        double countRatioPerPeriodRatio;  // exponent: count ∝ (new / old period)^exponent
    };
    const Watched watched[] = {
        {"FreezeControl_time", -1}, {"TPS", -1},        {"time_ERR_pos", -1},     {"time_ERR_spd", -1},
        {"Limit_Speed", 1},         {"ERR_speed", 1},   {"SPD_max", 1},           {"ErefMaxSpeed", 1},
        {"ErefMaxAcceleration", 2}, {"t_I2t_D", -1},    {"MotorBrake_applytime", -1},
    };
    struct Case {
        const char* typedSlper;
        double periodRatio;
    };
    const Case cases[] = {{"20", 2.0}, {"5", 0.5}};
    // The drive holds i²t times as a whole number of samples per 2^26, frequencies as whole
    // filter counts: values move by a few parts in 10^4 when the period changes.
    constexpr double kRegisterRounding = 1e-3;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("SLPER ") + c.typedSlper);
        SetUp();
        // A whole number of counts at either period: what the drive can hold at both.
        Set("ErefMaxAcceleration", 625.0);
        pelmora::UpdateRegistersFromParameters(*setup);
        pelmora::UpdateParametersFromRegisters(*setup);
        std::map<std::string, double> baseBefore;
        std::map<std::string, double> internalBefore;
        for (const auto& p : setup->GetParameters()) {
            if (p->GetKind() >= ParameterKind::Derived) continue;
            baseBefore[p->GetName()] = p->GetValueInBaseUnit();
            internalBefore[p->GetName()] = p->GetValueInInternalUnit();
        }
        const double slowPeriodBefore = Base("Ts_S");
        const int result = Run([&](DialogDriver& d, CAdvancedDialog&) {
            Type(d, "@SLPER", c.typedSlper);
            d.Click("OK");
        });
        EXPECT_EQ(result, IDOK);
        EXPECT_NEAR(Base("Ts_S"), slowPeriodBefore * c.periodRatio, kTight);
        for (const Watched& w : watched) {
            SCOPED_TRACE(w.name);
            EXPECT_NEAR(Internal(w.name), internalBefore[w.name] * std::pow(c.periodRatio, w.countRatioPerPeriodRatio),
                        kRegisterRounding * std::abs(internalBefore[w.name]));
        }
        // Not only the watched ones: no user parameter of any unit may move by more than the
        // registers' rounding at the new period.
        for (const auto& [name, before] : baseBefore) {
            SCOPED_TRACE(name);
            EXPECT_NEAR(Base(name.c_str()), before, kRegisterRounding * std::max(1.0, std::abs(before)));
        }
        TearDown();
    }
}

TEST_F(AdvancedDialogTest, I2tTimeTheNewPeriodCannotHoldKeepsTheI2tProduct) {
    // 1.5 s is 3000 samples now; at twice the period its 1500 samples are below the drive's 2048.
    Set("t_I2t_D", 1.5);
    Set("t_I2t_M", 1.5);
    pelmora::UpdateRegistersFromParameters(*setup);
    pelmora::UpdateParametersFromRegisters(*setup);
    const auto product = [&](const char* current, const char* time) {
        return Base(current) * Base(current) * Base(time);
    };
    const double driveBefore = product("I_I2t_D", "t_I2t_D");
    const double motorBefore = product("I_I2t_M", "t_I2t_M");
    Run([&](DialogDriver& d, CAdvancedDialog&) {
        Type(d, "@SLPER", "20");
        d.Click("OK");
    });
    EXPECT_GT(Base("t_I2t_D"), 2.0);  // the drive's shortest i²t time at 1 ms
    EXPECT_GT(Base("t_I2t_M"), 2.0);
    EXPECT_NEAR(product("I_I2t_D", "t_I2t_D"), driveBefore, 1e-3 * driveBefore);
    EXPECT_NEAR(product("I_I2t_M", "t_I2t_M"), motorBefore, 1e-3 * motorBefore);
}

TEST_F(AdvancedDialogTest, LoopPeriodsBelowTheMinimumAreMarkedAndRefused) {
    struct Case {
        const char* name;
        double fastMinimum_s;
        std::vector<std::pair<const char*, const char*>> entries;  // control, text
        bool fastWarning;
        bool slowWarning;
        std::vector<std::string> messages;
    };
    const std::string fastMessage =
        "The minimum value for Fast loop sampling period is 0.025 ms!\nPlease adjust the PWM frequency and/or the "
        "Fast loop sampling frequency divider until this condition is fulfilled!";
    const std::string slowMessage =
        "The minimum value for Slow loop sampling period is 0.250 ms!\nPlease adjust the PWM frequency and/or the "
        "Slow loop sampling frequency divider until this condition is fulfilled!";
    const Case cases[] = {
        {"fast period 20 us", 25e-6, {{"@PWM_freq", "50"}, {"@CLPER", "1"}}, true, false, {fastMessage}},
        {"slow period 200 us", 25e-6, {{"@SLPER", "4"}}, false, true, {slowMessage}},
        {"both below", 25e-6, {{"@PWM_freq", "50"}, {"@CLPER", "1"}, {"@SLPER", "2"}}, true, true,
         {fastMessage, slowMessage}},
        {"fast period put right again", 25e-6, {{"@PWM_freq", "50"}, {"@CLPER", "1"}, {"@CLPER", "2"}}, false, false,
         {}},
        {"no fast minimum: no check", 0.0, {{"@PWM_freq", "50"}, {"@CLPER", "1"}}, false, false, {}},
        {"a PWM frequency that moves the slow period below it", 25e-6, {{"@SLPER", "6"}, {"@PWM_freq", "4.5"}}, false,
         true, {slowMessage}},
        {"a PWM frequency that brings it back", 25e-6, {{"@SLPER", "4"}, {"@PWM_freq", "7.8"}}, false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Set("Ts_C_min", c.fastMinimum_s);
        bool openAfterOk = false;
        const int result = Run([&](DialogDriver& d, CAdvancedDialog& dialog) {
            for (const auto& [what, text] : c.entries) Type(d, what, text);
            const auto red = [&](int id) { return dialog.GetControl(id)->highlighted; };
            const auto shown = [&](int id) { return dialog.GetControl(id)->visible; };
            EXPECT_EQ(red(pelmora::IDC_ADV_CLPER_LABEL), c.fastWarning);
            EXPECT_EQ(red(pelmora::IDC_ADV_TS_C_LABEL), c.fastWarning);
            EXPECT_EQ(shown(pelmora::IDC_ADV_FAST_OUTSIDE), c.fastWarning);
            EXPECT_TRUE(red(pelmora::IDC_ADV_FAST_OUTSIDE));
            EXPECT_EQ(red(pelmora::IDC_ADV_SLPER_LABEL), c.slowWarning);
            EXPECT_EQ(red(pelmora::IDC_ADV_TS_S_LABEL), c.slowWarning);
            EXPECT_EQ(shown(pelmora::IDC_ADV_SLOW_OUTSIDE), c.slowWarning);
            EXPECT_EQ(dialog.GetChildText(pelmora::IDC_ADV_SLOW_OUTSIDE), "OUTSIDE LIMITS ->");
            d.Click("OK");
            openAfterOk = dialog.IsOpen();
            if (openAfterOk) d.Click("Cancel");
        });
        EXPECT_EQ(MessageTexts(), c.messages);
        EXPECT_EQ(openAfterOk, !c.messages.empty());
        EXPECT_EQ(result, c.messages.empty() ? IDOK : IDCANCEL);
        TearDown();
    }
}

TEST_F(AdvancedDialogTest, ControlSchemeDecidesPictureOptionsAndFeedforward) {
    struct Case {
        double mode;
        double positionControlType;
        const char* picture;
        bool schemeOptionsShown;
        bool speedLoopFeedforward;
        bool currentLoopFeedforward;
        bool freezeGroup;
    };
    const Case cases[] = {
        {0, 1, pelmora::kPictureSchemePositionSpeedCurrent, true, true, true, true},
        {0, 0, pelmora::kPictureSchemePositionCurrent, true, false, true, true},
        {1, 1, pelmora::kPictureSchemeSpeedCurrent, false, false, true, false},
        {2, 1, pelmora::kPictureSchemeCurrent, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("ControlMode " + std::to_string(c.mode) + ", PositionControlType " +
                     std::to_string(c.positionControlType));
        SetUp();
        Set("ControlMode", c.mode);
        Set("PositionControlType", c.positionControlType);
        Run([&](DialogDriver& d, CAdvancedDialog& dialog) {
            EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_SCHEME_PICTURE)->picture, c.picture);
            EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_POSITION_CURRENT)->visible, c.schemeOptionsShown);
            EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_POSITION_SPEED_CURRENT)->visible, c.schemeOptionsShown);
            EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_FEEDFORWARD_SPEED)->enabled, c.speedLoopFeedforward);
            EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_FEEDFORWARD_CURRENT)->enabled, c.currentLoopFeedforward);
            EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_FREEZE)->enabled, c.freezeGroup);
            d.Click("Cancel");
        });
        TearDown();
    }
}

TEST_F(AdvancedDialogTest, ClicksReapplyTheRules) {
    Set("PositionControlType", 1);
    Set("SpeedForward", 0);
    Set("isFreezeControl", 0);
    Run([&](DialogDriver& d, CAdvancedDialog& dialog) {
        EXPECT_FALSE(dialog.GetControl(pelmora::IDC_ADV_FREEZE_TIME)->enabled);
        ASSERT_TRUE(d.Click("Set freeze control parameters")) << d.Error();
        EXPECT_TRUE(dialog.GetControl(pelmora::IDC_ADV_FREEZE_TIME)->enabled);
        EXPECT_TRUE(dialog.GetControl(pelmora::IDC_ADV_FREEZE_ERRBAND)->enabled);
        // Without the speed loop, the feed-forward can only act on the current loop.
        ASSERT_TRUE(d.Click("Close only position and current loop")) << d.Error();
        EXPECT_EQ(dialog.GetControl(pelmora::IDC_ADV_SCHEME_PICTURE)->picture, pelmora::kPictureSchemePositionCurrent);
        EXPECT_FALSE(dialog.GetControl(pelmora::IDC_ADV_FEEDFORWARD_SPEED)->enabled);
        EXPECT_EQ(dialog.GetCheck(pelmora::IDC_ADV_FEEDFORWARD_CURRENT), 1);
        d.Click("OK");
    });
    EXPECT_EQ(Base("isFreezeControl"), 1);
    EXPECT_EQ(Base("PositionControlType"), 0);
    EXPECT_EQ(Base("SpeedForward"), 1);
}

// ---------------------------------------------------------------------------------------------
// Filters

class FiltersDialogTest : public DialogTestBase {
protected:
    static int Id(int filter, pelmora::FilterControl control) { return pelmora::FilterControlId(filter, control); }
};

TEST_F(FiltersDialogTest, FieldsFollowTypeOnAndLock) {
    struct Case {
        const char* name;
        double type;
        double on;
        bool locked;
        const char* checkText;
        bool checkEnabled;
        bool locationEnabled;
        bool typeEnabled;
        bool qShown;
        bool qEnabled;
        bool lagShown;
        const char* qLabel;
        const char* frequencyLabel;
    };
    const Case cases[] = {
        {"low pass 2nd order, on", 1, 1, false, "On", true, true, true, true, true, false, "Q", "Frequency"},
        {"low pass 1st order has no Q", 0, 1, false, "On", true, true, true, true, false, false, "Q", "Frequency"},
        {"notch, off", 2, 0, false, "Off", true, false, false, true, false, false, "Q", "Frequency"},
        {"lead-lag 1st order", 8, 1, false, "On", true, true, true, false, true, true, "Lag Frequency",
         "Lead Frequency"},
        {"lead-lag 2nd order", 9, 1, false, "On", true, true, true, false, true, true, "Lag Frequency",
         "Lead Frequency"},
        {"locked while a test runs", 1, 1, true, "On", false, false, true, true, true, false, "Q", "Frequency"},
        {"locked and off", 1, 0, true, "Off", false, false, false, true, false, false, "Q", "Frequency"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (int n = 1; n <= 3; ++n) {
            Set(("BQFilterType" + std::to_string(n)).c_str(), c.type);
            Set(("BQFilter" + std::to_string(n)).c_str(), c.on);
        }
        CFiltersDialog dialog(setup.get(), c.locked);
        ui->OnDialog("Filters", [&](DialogDriver& d) {
            for (int n = 0; n < 3; ++n) {
                SCOPED_TRACE("filter " + std::to_string(n + 1));
                const auto control = [&](pelmora::FilterControl id) { return *dialog.GetControl(Id(n, id)); };
                EXPECT_EQ(control(pelmora::IDC_FLT_ON).text, c.checkText);
                EXPECT_EQ(control(pelmora::IDC_FLT_ON).enabled, c.checkEnabled);
                EXPECT_EQ(control(pelmora::IDC_FLT_LOCATION).enabled, c.locationEnabled);
                EXPECT_EQ(control(pelmora::IDC_FLT_TYPE).enabled, c.typeEnabled);
                EXPECT_EQ(control(pelmora::IDC_FLT_Q).visible, c.qShown);
                EXPECT_EQ(control(pelmora::IDC_FLT_Q).enabled, c.qEnabled);
                EXPECT_EQ(control(pelmora::IDC_FLT_F2).visible, c.lagShown);
                EXPECT_EQ(control(pelmora::IDC_FLT_Q_LABEL).text, c.qLabel);
                EXPECT_EQ(control(pelmora::IDC_FLT_F1_LABEL).text, c.frequencyLabel);
            }
            d.Click("Cancel");
        });
        dialog.DoModal();
        TearDown();
    }
}

TEST_F(FiltersDialogTest, ListsOfferTheChainsChoicesAndClicksReapplyTheRules) {
    Set("BQFilter1", 0);
    Set("BQFilterType1", 2);
    Set("BQFilterLocation1", 2);
    CFiltersDialog dialog(setup.get());
    ui->OnDialog("Filters", [&](DialogDriver& d) {
        const ControlState& types = *dialog.GetControl(Id(0, pelmora::IDC_FLT_TYPE));
        const std::vector<std::pair<std::string, long>> offered = {
            {"Low Pass 1st order", 0}, {"Low Pass 2nd order", 1}, {"Notch", 2},           {"High Pass", 3},
            {"Band Pass", 4},          {"Lead-lag 1st order", 8}, {"Lead-lag 2nd order", 9},
        };
        EXPECT_EQ(types.items, offered);
        EXPECT_EQ(types.text, "Notch");
        const ControlState& locations = *dialog.GetControl(Id(0, pelmora::IDC_FLT_LOCATION));
        const std::vector<std::pair<std::string, long>> places = {
            {"Position Controller Output", 0}, {"Speed Controller Output", 1}, {"Speed Feedback", 2}};
        EXPECT_EQ(locations.items, places);
        EXPECT_EQ(locations.text, "Speed Feedback");

        ASSERT_TRUE(d.Click("@BQFilter1")) << d.Error();
        EXPECT_EQ(dialog.GetChildText(Id(0, pelmora::IDC_FLT_ON)), "On");
        EXPECT_TRUE(dialog.GetControl(Id(0, pelmora::IDC_FLT_TYPE))->enabled);
        ASSERT_TRUE(d.Select("@BQFilterType1", "Lead-lag 1st")) << d.Error();
        EXPECT_FALSE(dialog.GetControl(Id(0, pelmora::IDC_FLT_Q))->visible);
        EXPECT_TRUE(dialog.GetControl(Id(0, pelmora::IDC_FLT_F2))->visible);
        EXPECT_EQ(dialog.GetChildText(Id(0, pelmora::IDC_FLT_F1_LABEL)), "Lead Frequency");
        ASSERT_TRUE(d.Select("@BQFilterLocation1", "Speed Controller")) << d.Error();
        d.Click("OK");
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(Base("BQFilter1"), 1);
    EXPECT_EQ(Base("BQFilterType1"), 8);
    EXPECT_EQ(Base("BQFilterLocation1"), 1);
}

TEST_F(FiltersDialogTest, OpeningFromATuningTestRecomputesAndWritesTheChainOnlyWhileItRuns) {
    struct Case {
        const char* name;
        bool running;
        const char* button;
        int expectedResult;
        bool chainComputed;
        bool chainWritten;
    };
    const Case cases[] = {
        {"OK while a test runs", true, "OK", IDOK, true, true},
        {"OK with no test running", false, "OK", IDOK, true, false},
        {"Cancel while a test runs", true, "Cancel", IDCANCEL, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Set("BQFilter1", 1);
        Set("BQFilterType1", 1);
        Set("BQFilter2", 0);
        Set("BQFilter3", 0);
        pelmora::UpdateRegistersFromParameters(*setup);
        const double lowPassB0 = Base("BQ1B0");
        TakeCollectedErrors();
        ui->OnDialog("Filters", [&](DialogDriver& d) {
            EXPECT_EQ(d.Dialog().GetControl(Id(0, pelmora::IDC_FLT_ON))->enabled, !c.running);
            ASSERT_TRUE(d.Select("@BQFilterType1", "Notch")) << d.Error();
            d.Click(c.button);
        });
        EXPECT_EQ(pelmora::OpenFiltersDialog(*setup, c.running), c.expectedResult);
        EXPECT_EQ(Base("BQ1B0") != lowPassB0, c.chainComputed);
        bool wroteChain = false;
        for (const std::string& error : TakeCollectedErrors()) {
            if (error.find("SPDREF_BQ_INI") != std::string::npos) wroteChain = true;
        }
        EXPECT_EQ(wroteChain, c.chainWritten);
        TearDown();
    }
}

TEST_F(FiltersDialogTest, TuningTestWithoutBiquadFiltersOpensNothing) {
    auto bare = testing_support::MakeSetup({{"BQFilter1", 0}, {"Ts_S", 0.0005, UnitType::Time}});
    EXPECT_EQ(pelmora::OpenFiltersDialog(*bare, true), IDCANCEL);
    EXPECT_TRUE(ui->OpenedDialogs().empty());
}

}  // namespace
