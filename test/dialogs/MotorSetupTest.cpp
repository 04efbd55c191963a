// The motor setup dialog and the motor mass question, driven headless as a user would.
#include "HeadlessUi.h"
#include "MC_SetupFile.h"
#include "MassQuestion.h"
#include "MassQuestionForm.h"
#include "MotorSetupDialog.h"
#include "MotorSetupForm.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pelmora;
using Act = std::function<void(DialogDriver&)>;

constexpr const char* kSwitchWarning =
    "When there is only a position sensor on the motor and the load moves in opposite direction (i.e. transmission "
    "is negative), the h/w limit switches connections need to be reversed. \n\nConnect positive limit switch sensor "
    "to drive's LSN input and negative limit switch sensor to drive's LSP input.";
constexpr const char* kNoSelection = "No selection has been made. The dialog can only close if you make a selection.";
constexpr const char* kIncrease = "Increase total mass to match your motor mass (default)";
constexpr const char* kDisregard = "Leave total mass unchanged and disregard motor mass";

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_setup = LoadDefaultSetup().setup;
        ASSERT_TRUE(m_setup);
        testing_support::AttachCoreScales(*m_setup);
        SetUiBackend(&m_ui);
    }
    void TearDown() override { SetUiBackend(nullptr); }

    void Set(std::string_view name, double value) { ASSERT_TRUE(m_setup->SetParameterValueInBaseUnit(name, value)); }
    double Get(std::string_view name) const { return m_setup->GetParameterValueInBaseUnit(name); }

    // Opens the dialog; `act` plays the user (a dialog nothing closes is cancelled).
    template <class Dialog>
    int Run(const char* caption, const Act& act) {
        m_ui.OnDialog(caption, act);
        Dialog dialog(m_setup.get());
        return dialog.DoModal();
    }
    int RunMotorSetup(const Act& act) { return Run<CMotorSetupDialog>("Brushless Motor Setup", act); }
    int RunMassQuestion(const Act& act) { return Run<CMassQuestion>("Motor mass", act); }

    static bool Enabled(DialogDriver& d, int id) { return d.Dialog().GetControl(id)->enabled; }
    static bool Visible(DialogDriver& d, int id) { return d.Dialog().GetControl(id)->visible; }

    HeadlessUi m_ui;
    std::unique_ptr<CMC_Setup> m_setup;
};

using MotorSetupRules = DialogTest;
using MotorSetupTransmission = DialogTest;
using MotorSetupClose = DialogTest;
using MassQuestion = DialogTest;

TEST_F(MotorSetupRules, ChecksEnableTheirDependentControlsAtOnce) {
    struct Case {
        const char* check;
        const char* parameter;
        std::vector<int> dependents;
        bool enabledWhenSet;
    };
    const Case cases[] = {
        {"Motor moving part mass is unknown", "isMotorMassUnknown", {IDC_MOTOR_M_LABEL, IDC_MOTOR_M, IDC_MOTOR_M_UNIT},
         false},
        {"Temperature", "isMotorTemperatureSensor", {IDC_MOTOR_SENSOR_TYPE_GROUP, IDC_MOTOR_NTC, IDC_MOTOR_PTC}, true},
    };
    for (const Case& c : cases) {
        for (const double initial : {0.0, 1.0}) {
            SCOPED_TRACE(std::string(c.check) + (initial != 0.0 ? " set" : " clear"));
            Set(c.parameter, initial);
            RunMotorSetup([&](DialogDriver& d) {
                const bool before = (initial != 0.0) == c.enabledWhenSet;
                for (int id : c.dependents) EXPECT_EQ(Enabled(d, id), before) << id;
                ASSERT_TRUE(d.Click(c.check)) << d.Error();
                EXPECT_EQ(Get(c.parameter), initial != 0.0 ? 0.0 : 1.0);
                for (int id : c.dependents) EXPECT_EQ(Enabled(d, id), !before) << id;
            });
        }
    }
}

TEST_F(MotorSetupRules, BrakeControlsNeedABrakeOutputAndTheBrakeCheck) {
    const std::vector<int> brakeControls = {IDC_MOTOR_BRAKE_OUTPUT,       IDC_MOTOR_BRAKE_TEXT,
                                            IDC_MOTOR_BRAKE_RELEASE,      IDC_MOTOR_BRAKE_RELEASE_UNIT,
                                            IDC_MOTOR_BRAKE_APPLY_LABEL,  IDC_MOTOR_BRAKE_APPLY};
    struct Case {
        const char* name;
        bool brakeOutputs;
        double isMotorBrake;
        bool controlsEnabled;
    };
    const Case cases[] = {
        {"outputs, brake on", true, 1.0, true},
        {"outputs, brake off", true, 0.0, false},
        {"no outputs, brake on", false, 1.0, false},
        {"no outputs, brake off", false, 0.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetupIdentity identity = LoadDefaultSetup().setup->GetIdentity();
        for (IOPin& pin : identity.ioPins) pin.brake = pin.brake && c.brakeOutputs;
        m_setup->SetIdentity(identity);
        Set("isMotorBrake", c.isMotorBrake);
        RunMotorSetup([&](DialogDriver& d) {
            EXPECT_EQ(Enabled(d, IDC_MOTOR_BRAKE_GROUP), c.brakeOutputs);
            for (int id : brakeControls) EXPECT_EQ(Enabled(d, id), c.controlsEnabled) << id;
            // Where it can be clicked, the check box switches the brake controls at once.
            EXPECT_EQ(d.Click("Motor brake on output line :"), c.brakeOutputs);
            for (int id : brakeControls) EXPECT_EQ(Enabled(d, id), c.brakeOutputs && !c.controlsEnabled) << id;
        });
    }
}

TEST_F(MotorSetupRules, BrakeTextFollowsTheChosenOutput) {
    // The default drive has brake outputs on port 25 (plain) and port 31 (inverted).
    Set("isMotorBrake", 1.0);
    Set("MotorBrake_output", 31.0);
    RunMotorSetup([&](DialogDriver& d) {
        const ControlState* list = d.Dialog().GetControl(IDC_MOTOR_BRAKE_OUTPUT);
        ASSERT_EQ(list->items.size(), 2U);
        EXPECT_EQ(list->selection, 1);
        const struct {
            const char* entry;
            double port;
            const char* text;
        } cases[] = {
            {"OUT25", 25.0, "Motor brake is applied when NPN (sink) output is connected to GND."},
            {"OUT31", 31.0, "Motor brake is applied when PNP (source) output is connected to +Vlog."},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.entry);
            ASSERT_TRUE(d.Select("@MotorBrake_output", c.entry)) << d.Error();
            EXPECT_EQ(Get("MotorBrake_output"), c.port);
            EXPECT_EQ(d.Dialog().GetChildText(IDC_MOTOR_BRAKE_TEXT), c.text);
        }
    });
}

TEST_F(MotorSetupTransmission, ARatioEnteredAsZeroBecomesSmallestRatio) {
    for (const char* ratio : {"Motor_transmission", "Load_transmission"}) {
        SCOPED_TRACE(ratio);
        Set(ratio, 0.005);
        RunMotorSetup([&](DialogDriver& d) {
            const std::string field = std::string("@") + ratio;
            ASSERT_TRUE(d.Type(field, "0")) << d.Error();
            EXPECT_EQ(d.Dialog().GetChildText(d.Find(field)), "1");  // mm
            d.Click("OK");
        });
        EXPECT_DOUBLE_EQ(Get(ratio), 0.001);
    }
}

TEST_F(MotorSetupTransmission, NegativeRatioShowsTheLimitSwitchWarning) {
    const struct {
        const char* motor;
        const char* load;
        const char* negativeAllowed;
        bool warning;
    } cases[] = {
        {"1", "2", "0", false}, {"1", "-2", "0", true},  {"-1", "2", "0", true},
        {"-1", "-2", "0", false}, {"1", "-2", "1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.motor) + " : " + c.load + ", hasNegTransmission " + c.negativeAllowed);
        m_setup->SetOption("hasNegTransmission", c.negativeAllowed);
        const std::size_t messagesBefore = m_ui.Messages().size();
        RunMotorSetup([&](DialogDriver& d) {
            ASSERT_TRUE(d.Type("Motor displacement of", c.motor)) << d.Error();
            ASSERT_TRUE(d.Type("corresponds on load to", c.load)) << d.Error();
            EXPECT_EQ(Visible(d, IDC_MOTOR_SWITCH_WARNING), c.warning);
            if (c.warning) {
                ASSERT_TRUE(d.Click("#" + std::to_string(IDC_MOTOR_SWITCH_WARNING))) << d.Error();
                ASSERT_EQ(m_ui.Messages().size(), messagesBefore + 1);
                EXPECT_EQ(m_ui.Messages().back().text, kSwitchWarning);
            }
            ASSERT_TRUE(d.Type("corresponds on load to", c.motor)) << d.Error();
            EXPECT_FALSE(Visible(d, IDC_MOTOR_SWITCH_WARNING));
        });
    }
}

TEST_F(MotorSetupTransmission, TransmissionTypeSwitchesTheLoadUnit) {
    RunMotorSetup([&](DialogDriver& d) {
        const struct {
            const char* option;
            const char* unit;
            const char* otherFamilyUnit;
        } cases[] = {{"Linear to rotary", "rot", "mm"}, {"Linear to linear", "mm", "rot"}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.option);
            ASSERT_TRUE(d.Click(c.option)) << d.Error();
            EXPECT_STREQ(m_setup->GetParameterUnit("Load_transmission"), c.unit);
            EXPECT_EQ(d.Dialog().GetControl(IDC_MOTOR_LOAD_TRANSMISSION_UNIT)->text, c.unit);
            EXPECT_STREQ(m_setup->GetParameterUnit("Motor_transmission"), "mm");
            EXPECT_FALSE(d.ChooseUnit("@Load_transmission", c.otherFamilyUnit));
        }
    });
}

TEST_F(MotorSetupClose, OkClearsOverTemperatureProtectionWithoutSensor) {
    const Act ok = [](DialogDriver& d) { EXPECT_TRUE(d.Click("OK")) << d.Error(); };
    const Act hostOk = [](DialogDriver& d) { d.Dialog().OnCommand(IDC_MOTOR_HOST_OK_COMMAND); };
    const Act cancel = [](DialogDriver& d) { EXPECT_TRUE(d.Click("Cancel")) << d.Error(); };
    const struct {
        const char* name;
        double sensor;
        Act close;
        int result;
        double overTempAfter;
    } cases[] = {
        {"OK without sensor", 0.0, ok, IDOK, 0.0},
        {"OK with sensor", 1.0, ok, IDOK, 1.0},
        {"host OK command without sensor", 0.0, hostOk, IDOK, 0.0},
        {"Cancel without sensor", 0.0, cancel, IDCANCEL, 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set("isMotorTemperatureSensor", c.sensor);
        Set("isMotorOverTemp", 1.0);
        EXPECT_EQ(RunMotorSetup(c.close), c.result);
        EXPECT_EQ(Get("isMotorOverTemp"), c.overTempAfter);
    }
    EXPECT_TRUE(m_ui.LeftOpen().empty());
}

TEST_F(MassQuestion, EachChoiceResolvesTheMassConflict) {
    const struct {
        const char* name;
        const char* option;  // null: the default choice
        bool pressOk;
        int result;
        double mtAfter;
        double unknownAfter;
    } cases[] = {
        {"default", nullptr, true, IDOK, 2.02, 0.0},
        {"increase", kIncrease, true, IDOK, 2.02, 0.0},
        {"disregard", kDisregard, true, IDOK, 1.5, 1.0},
        {"closed without OK", kDisregard, false, IDCANCEL, 1.5, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set("M", 2.0);
        Set("Mt", 1.5);
        Set("isMotorMassUnknown", 0.0);
        const int result = RunMassQuestion([&](DialogDriver& d) {
            EXPECT_EQ(d.Dialog().GetCheck(IDC_MASS_INCREASE_TOTAL), 1);
            if (c.option) {
                ASSERT_TRUE(d.Click(c.option)) << d.Error();
            }
            if (c.pressOk) {
                ASSERT_TRUE(d.Click("OK")) << d.Error();
            }
        });
        EXPECT_EQ(result, c.result);
        EXPECT_DOUBLE_EQ(Get("Mt"), c.mtAfter);
        EXPECT_EQ(Get("isMotorMassUnknown"), c.unknownAfter);
    }
    EXPECT_TRUE(m_ui.Messages().empty());
}

TEST_F(MassQuestion, WithoutAChoiceItStaysOpenAndSaysWhy) {
    Set("M", 2.0);
    Set("Mt", 1.5);
    const int result = RunMassQuestion([&](DialogDriver& d) {
        auto& question = static_cast<CMassQuestion&>(d.Dialog());
        question.SetChoice(CMassQuestion::kNoChoice);
        EXPECT_FALSE(Enabled(d, IDOK));
        question.OnOK();
        EXPECT_TRUE(question.IsOpen());
        ASSERT_EQ(m_ui.Messages().size(), 1U);
        EXPECT_EQ(m_ui.Messages().front().text, kNoSelection);
        EXPECT_DOUBLE_EQ(Get("Mt"), 1.5);
        ASSERT_TRUE(d.Click(kIncrease)) << d.Error();
        ASSERT_TRUE(d.Click("OK")) << d.Error();
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_DOUBLE_EQ(Get("Mt"), 2.02);
}

}  // namespace
