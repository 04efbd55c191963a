// The drive setup dialog driven headless as a user would: which fields show in each control
// structure, what each change does to the setup, the messages, and what OK and Cancel leave.
#include "DriveSetupDlg.h"
#include "DriveSetupForm.h"

#include "BaseQuantities.h"
#include "Decode.h"
#include "Encode.h"
#include "HeadlessUi.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace pelmora;

const char* const kCanOpenWarning =
    "If your drive is set in CANopen mode, the axis ID values must be in the range 1-127. Any value over 127 "
    "will set the drive as non-configured and further CANopen communication will be disabled until a valid "
    "Axis ID will be set in the drive. Leave the drive with a non-configured axis ID only if you intend to set "
    "the Axis ID later via a CANopen master using CiA305 LSS protocol.";

std::string StartCurrentWarning(const char* seconds) {
    return std::string("You have set a start current bigger than the nominal current! The start current will be "
                       "applied for ") +
           seconds + " s.\n\nThe motor must withstand this over current condition or it may be damaged.";
}

// The default setup, less the named parameters (each stands on a line of its own in the file).
std::unique_ptr<CMC_Setup> LoadDefault(const std::vector<std::string_view>& without = {}) {
    std::string json(DefaultSetupJson());
    for (std::string_view name : without) {
        const std::string key = "{\"name\":\"" + std::string(name) + "\",";
        const std::size_t at = json.find(key);
        if (at == std::string::npos) {
            ADD_FAILURE() << name << " is not in the default setup";
            continue;
        }
        const std::size_t lineStart = json.rfind('\n', at) + 1;
        json.erase(lineStart, json.find('\n', at) + 1 - lineStart);
    }
    SetupLoadResult loaded = ParseSetup(json, "the default setup");
    EXPECT_TRUE(loaded) << loaded.error;
    if (loaded) AttachCoreScales(*loaded.setup);
    return std::move(loaded.setup);
}

double Value(const CMC_Setup& setup, const char* name) {
    const CMC_Parameter* p = setup.FindParameter(name);
    return p ? p->GetValueInBaseUnit() : -1.0e300;
}

void Set(CMC_Setup& setup, const char* name, double value) {
    CMC_Parameter* p = setup.FindParameter(name);
    ASSERT_NE(p, nullptr) << name;
    p->SetValueInBaseUnit(value);
}

// The dialog recovers its parameters from the registers when it opens: a test's parameter
// values must reach the registers first.
void Commit(CMC_Setup& setup) { UpdateRegistersFromParameters(setup); }

bool Visible(DialogDriver& d, int id) { return d.Dialog().GetControl(id)->visible; }
bool Enabled(DialogDriver& d, int id) { return d.Dialog().GetControl(id)->enabled; }

class DriveSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        setup = LoadDefault();
        SetUiBackend(&ui);
    }
    void TearDown() override { SetUiBackend(nullptr); }

    // Runs the export's body: the motor setup that opens by itself is cancelled, then `act` drives
    // the drive setup (a handler that does not end it leaves it to be cancelled).
    int Run(HeadlessUi::Handler act) {
        ui.OnDialog("Brushless Motor Setup", [](DialogDriver& d) { d.Click("Cancel"); });
        ui.OnDialog("Drive Setup", std::move(act));
        return RunEditSetup(setup.get());
    }

    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> texts;
        for (const auto& m : ui.Messages()) texts.push_back(m.text);
        return texts;
    }

    HeadlessUi ui;
    std::unique_ptr<CMC_Setup> setup;
};

// ---------------------------------------------------------------------------------------------
// Show and enable rules

using DriveSetupRules = DriveSetupTest;

struct StructureCase {
    const char* name;
    int controlMode;
    int positionType;
    bool speedForward;  // the setup has SpeedForward
    // visible: speed KFFA, speed KFFS, position KFFA, position KFFS, load speed limit
    bool speedKffa, speedKffs, positionKffa, positionKffs, limitSpeed;
    // enabled: speed Kp, position Kp, position KFFS, position and speed control error checks
    bool speedKp, positionKp, positionKffsEnabled, positionError, speedError;
};

const StructureCase kStructureCases[] = {
    {"P0 with speed forward", 0, 0, true, false, false, true, true, false, false, true, true, true, false},
    {"P1 with speed forward", 0, 1, true, false, false, true, true, true, true, true, true, true, false},
    {"S with speed forward", 1, 1, true, true, true, false, false, false, true, false, false, false, true},
    {"T with speed forward", 2, 1, true, false, false, false, false, false, false, false, false, false, false},
    {"P0 without speed forward", 0, 0, false, false, false, true, true, false, false, true, false, true, false},
    {"P1 without speed forward", 0, 1, false, false, false, true, true, true, true, true, true, true, false},
    {"S without speed forward", 1, 1, false, true, false, false, false, false, true, false, false, false, true},
    {"T without speed forward", 2, 1, false, false, false, false, false, false, false, false, false, false, false},
};

TEST_F(DriveSetupRules, ControllerFieldsFollowTheControlStructure) {
    for (const StructureCase& c : kStructureCases) {
        SCOPED_TRACE(c.name);
        setup = c.speedForward ? LoadDefault() : LoadDefault({"SpeedForward"});
        ui = HeadlessUi();
        Set(*setup, "ControlMode", c.controlMode);
        Set(*setup, "PositionControlType", c.positionType);
        Commit(*setup);
        Run([&](DialogDriver& d) {
            EXPECT_EQ(Visible(d, IDC_DS_SPEED_KFFA), c.speedKffa);
            EXPECT_EQ(Visible(d, IDC_DS_SPEED_KFFS), c.speedKffs);
            EXPECT_EQ(Visible(d, IDC_DS_POSITION_KFFA), c.positionKffa);
            EXPECT_EQ(Visible(d, IDC_DS_POSITION_KFFS), c.positionKffs);
            EXPECT_EQ(Visible(d, IDC_DS_LIMIT_SPEED), c.limitSpeed);
            EXPECT_EQ(Enabled(d, IDC_DS_KP_S), c.speedKp);
            EXPECT_EQ(Enabled(d, IDC_DS_KP_P), c.positionKp);
            EXPECT_EQ(Enabled(d, IDC_DS_POSITION_KFFS), c.positionKffsEnabled);
            EXPECT_EQ(Enabled(d, IDC_DS_POSITION_ERROR), c.positionError);
            EXPECT_EQ(Enabled(d, IDC_DS_SPEED_ERROR), c.speedError);
            // The current loop is closed in every structure.
            EXPECT_TRUE(Enabled(d, IDC_DS_KP_C));
            d.Click("Cancel");
        });
    }
}

TEST_F(DriveSetupRules, ClickingTheControlModeReappliesTheRules) {
    Run([&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("Torque")) << d.Error();
        EXPECT_FALSE(Enabled(d, IDC_DS_KP_S));
        EXPECT_FALSE(Enabled(d, IDC_DS_KP_P));
        EXPECT_FALSE(Visible(d, IDC_DS_SPEED_KFFA));
        EXPECT_FALSE(Visible(d, IDC_DS_POSITION_KFFA));
        ASSERT_TRUE(d.Click("Speed")) << d.Error();
        EXPECT_TRUE(Enabled(d, IDC_DS_KP_S));
        EXPECT_TRUE(Visible(d, IDC_DS_SPEED_KFFA));
        d.Click("Cancel");
    });
}

struct DependentCase {
    const char* name;
    int check;
    int dependent;
};

// Each check box enables its fields; a click re-applies the rules at once.
const DependentCase kDependentCases[] = {
    {"over current", IDC_DS_OVER_CURRENT, IDC_DS_IMAX_PROT},
    {"position control error", IDC_DS_POSITION_ERROR, IDC_DS_ERR_POSITION},
    {"I2t", IDC_DS_I2T, IDC_DS_T_I2T},
    {"brake resistor", IDC_DS_BRAKE_CONNECTED, IDC_DS_VBRAKE},
    {"software limits", IDC_DS_SWLS, IDC_DS_NEGATIVE_SWLS},
    {"axis ID saving", IDC_DS_SAVE_AXIS_ID, IDC_DS_AXIS_ID_LIST},
    {"baud rate saving", IDC_DS_SAVE_CAN_BAUDRATE, IDC_DS_CAN_BAUD_LIST},
};

TEST_F(DriveSetupRules, CheckBoxesEnableTheirFields) {
    Run([&](DialogDriver& d) {
        for (const DependentCase& c : kDependentCases) {
            SCOPED_TRACE(c.name);
            const bool before = d.Dialog().GetCheck(c.check) != 0;
            EXPECT_EQ(Enabled(d, c.dependent), before);
            ASSERT_TRUE(d.Click("#" + std::to_string(c.check))) << d.Error();
            EXPECT_EQ(Enabled(d, c.dependent), !before);
        }
        d.Click("Cancel");
    });
}

TEST_F(DriveSetupRules, StartModeAndExternalReferenceEnableTheirControls) {
    Run([&](DialogDriver& d) {
        EXPECT_TRUE(Enabled(d, IDC_DS_START_CURRENT));
        d.Click("Absolute, using linear Hall sensors");
        EXPECT_FALSE(Enabled(d, IDC_DS_START_CURRENT));
        EXPECT_FALSE(Enabled(d, IDC_DS_TIME_AB));

        EXPECT_FALSE(Enabled(d, IDC_DS_REFERENCE_SETUP));
        EXPECT_FALSE(Enabled(d, IDC_DS_AUTO_ACTIVATED));
        d.Click("External reference/Yes");
        EXPECT_TRUE(Enabled(d, IDC_DS_REFERENCE_SETUP));
        EXPECT_TRUE(Enabled(d, IDC_DS_AUTO_ACTIVATED));
        d.Click("Cancel");
    });
}

TEST_F(DriveSetupRules, TestButtonsStayDisabledWithoutTheirTests) {
    Run([&](DialogDriver& d) {
        for (int id : {IDC_DS_DETECT, IDC_DS_CURRENT_TUNE, IDC_DS_SPEED_TUNE, IDC_DS_POSITION_TUNE}) {
            SCOPED_TRACE(id);
            EXPECT_FALSE(Enabled(d, id));
        }
        d.Click("Cancel");
    });
}

TEST_F(DriveSetupRules, SaveFlagsHiddenWithoutLssSupport) {
    setup = LoadDefault({"save_CAN_baudrate", "save_axis_id"});
    Run([&](DialogDriver& d) {
        EXPECT_FALSE(Visible(d, IDC_DS_SAVE_CAN_BAUDRATE));
        EXPECT_FALSE(Visible(d, IDC_DS_SAVE_AXIS_ID));
        EXPECT_TRUE(Enabled(d, IDC_DS_AXIS_ID_LIST));
        d.Click("Cancel");
    });
}

struct FeatureCase {
    const char* name;
    std::vector<std::string_view> without;        // parameters the setup lacks
    std::vector<std::pair<const char*, const char*>> options;
    std::vector<std::pair<const char*, double>> values;
    int control;
    bool visible;
    bool enabled;
};

TEST_F(DriveSetupRules, ControlsOfMissingOrSwitchedOffFeatures) {
    const FeatureCase cases[] = {
        {"motor over temperature available", {}, {}, {}, IDC_DS_MOTOR_OVER_TEMP, true, true},
        {"motor temperature disabled", {}, {{"DisableMotorTemperature", "1"}}, {}, IDC_DS_MOTOR_OVER_TEMP, true, false},
        {"no motor temperature sensor", {}, {}, {{"isMotorTemperatureSensor", 0}}, IDC_DS_MOTOR_OVER_TEMP, true, false},
        {"enable polarity shown", {}, {}, {}, IDC_DS_ENABLE_HIGH, true, true},
        {"enable polarity hidden", {}, {{"hideEnablePolarity", "1"}}, {}, IDC_DS_ENABLE_HIGH, false, true},
        {"no software limits", {"isSWLS"}, {}, {}, IDC_DS_SWLS, true, false},
        {"brake resistor connected", {}, {}, {{"isBrakeResistor", 1}}, IDC_DS_VBRAKE, true, true},
        {"speed error outside speed control", {}, {}, {{"isSpeedControlError", 1}}, IDC_DS_ERR_SPEED, true, false},
        {"speed error in speed control", {}, {}, {{"ControlMode", 1}, {"isSpeedControlError", 1}}, IDC_DS_ERR_SPEED,
         true, true},
    };
    for (const FeatureCase& c : cases) {
        SCOPED_TRACE(c.name);
        setup = LoadDefault(c.without);
        for (const auto& [option, value] : c.options) setup->SetOption(option, value);
        for (const auto& [name, value] : c.values) Set(*setup, name, value);
        Commit(*setup);
        ui = HeadlessUi();
        Run([&](DialogDriver& d) {
            EXPECT_EQ(Visible(d, c.control), c.visible);
            EXPECT_EQ(Enabled(d, c.control), c.enabled);
            d.Click("Cancel");
        });
    }
}

TEST_F(DriveSetupRules, DigitalReferenceTypeNamesTheReference) {
    for (const auto& [type, shown] : {std::pair{0, "Pulse & Direction"}, std::pair{1, "Incremental Encoder"}}) {
        SCOPED_TRACE(shown);
        setup = LoadDefault();
        // The registers hold the type only while a digital external reference is on.
        Set(*setup, "ExternalReference", 1);
        Set(*setup, "isAnalogueReference", 0);
        Set(*setup, "DigitalReferenceType", type);
        Commit(*setup);
        ui = HeadlessUi();
        // clang 14 cannot capture a structured binding.
        const std::string expected = shown;
        Run([&](DialogDriver& d) {
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_DIGITAL_TYPE_LABEL), expected);
            d.Click("Cancel");
        });
    }
}

TEST_F(DriveSetupRules, GuidelineHasElevenSteps) {
    Run([&](DialogDriver& d) {
        const std::string first = d.Dialog().GetChildText(IDC_GUIDELINE_TEXT);
        EXPECT_EQ(first.rfind("Step 1.\tIn the <<Control mode>> group box", 0), 0U) << first;
        std::vector<std::string> prefixes;
        for (int step = 2; step <= 11; ++step) {
            ASSERT_TRUE(d.Click("Next")) << "step " << step << ": " << d.Error();
            const std::string text = d.Dialog().GetChildText(IDC_GUIDELINE_TEXT);
            prefixes.push_back(text.substr(0, text.find("In the") == std::string::npos ? text.find("Select")
                                                                                      : text.find("In the")));
        }
        EXPECT_EQ(prefixes, (std::vector<std::string>{"Step 2.\t", "Step 3.\t", "Step 4.\t", "Step 5.\t",
                                                      "Step 6.\t", "Step 7.\t", "Step 8.\t", "Step 9. ",
                                                      "Step 10. ", "Step 11.  "}));
        EXPECT_FALSE(Enabled(d, IDC_GUIDELINE_NEXT));
        d.Click("Cancel");
    });
}

// ---------------------------------------------------------------------------------------------
// Change notifications

using DriveSetupNotifications = DriveSetupTest;

TEST_F(DriveSetupNotifications, LeavingPositionControlResetsTheGearAndReference) {
    Set(*setup, "GEARMASTER", 3);
    Set(*setup, "GEARSLAVE", 2);
    Set(*setup, "isAnalogueReference", 0);
    Commit(*setup);
    Run([&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("Control mode/Speed")) << d.Error();
        EXPECT_EQ(Value(*setup, "GEARMASTER"), 1.0);
        EXPECT_EQ(Value(*setup, "GEARSLAVE"), 1.0);
        EXPECT_EQ(Value(*setup, "isAnalogueReference"), 1.0);
        EXPECT_EQ(d.Dialog().GetCheck(IDC_DS_REFERENCE_ANALOGUE), 1);

        Set(*setup, "GEARMASTER", 3);
        Set(*setup, "GEARSLAVE", 2);
        Set(*setup, "isAnalogueReference", 0);
        ASSERT_TRUE(d.Click("Control mode/Position")) << d.Error();
        EXPECT_EQ(Value(*setup, "GEARMASTER"), 3.0);
        EXPECT_EQ(Value(*setup, "GEARSLAVE"), 2.0);
        EXPECT_EQ(Value(*setup, "isAnalogueReference"), 0.0);
        d.Click("Cancel");
    });
}

TEST_F(DriveSetupNotifications, ExternalReferenceOffClearsAutomaticActivation) {
    Run([&](DialogDriver& d) {
        d.Click("External reference/Yes");
        ASSERT_TRUE(d.Click("Automatically activated after Power On")) << d.Error();
        EXPECT_EQ(Value(*setup, "isAutoActivatedAfterPowerOn"), 1.0);
        d.Click("External reference/No");
        EXPECT_EQ(Value(*setup, "isAutoActivatedAfterPowerOn"), 0.0);
        EXPECT_EQ(d.Dialog().GetCheck(IDC_DS_AUTO_ACTIVATED), 0);
        d.Click("Cancel");
    });
}

struct LimitCase {
    const char* name;
    const char* field;
    const char* parameter;
    const char* typed_mm;
    double negative_m;
    double positive_m;
};

// The default limits are -200 mm and +200 mm.
const LimitCase kLimitCases[] = {
    {"negative above positive is pulled down", "Negative Limit", "Negative_SWLS", "300", 0.2, 0.2},
    {"positive below negative is pulled up", "Positive Limit", "Positive_SWLS", "-300", -0.2, -0.2},
    {"negative below positive stays", "Negative Limit", "Negative_SWLS", "100", 0.1, 0.2},
    {"positive above negative stays", "Positive Limit", "Positive_SWLS", "-100", -0.2, -0.1},
};

TEST_F(DriveSetupNotifications, SoftwareLimitsPullEachOther) {
    for (const LimitCase& c : kLimitCases) {
        SCOPED_TRACE(c.name);
        setup = LoadDefault();
        ui = HeadlessUi();
        Run([&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("Restrict movement between:")) << d.Error();
            ASSERT_TRUE(d.Type(c.field, c.typed_mm)) << d.Error();
            EXPECT_NEAR(Value(*setup, "Negative_SWLS"), c.negative_m, 1e-12);
            EXPECT_NEAR(Value(*setup, "Positive_SWLS"), c.positive_m, 1e-12);
            // The field shows the limit it was pulled to.
            EXPECT_EQ(d.Dialog().GetChildText(d.Find(c.field)),
                      CMC_EditSetupDlg::FormatValue(setup->FindParameter(c.parameter)->GetValue()));
            d.Click("Cancel");
        });
    }
}

struct StartCurrentCase {
    const char* typed_percent;
    double time_AB_s;
    const char* warnedSeconds;  // null: no warning
};

const StartCurrentCase kStartCurrentCases[] = {
    {"80", 0.5, nullptr},
    {"100", 0.5, nullptr},
    {"120", 0.5, "1.00"},
    {"250", 0.75, "1.50"},
};

TEST_F(DriveSetupNotifications, StartCurrentAboveNominalWarnsWithTheTime) {
    for (const StartCurrentCase& c : kStartCurrentCases) {
        SCOPED_TRACE(c.typed_percent);
        setup = LoadDefault();
        Set(*setup, "time_AB", c.time_AB_s);
        Commit(*setup);
        ui = HeadlessUi();
        Run([&](DialogDriver& d) {
            ASSERT_TRUE(d.Type("Current used (% of nominal current)", c.typed_percent)) << d.Error();
            if (c.warnedSeconds) {
                EXPECT_EQ(MessageTexts(), std::vector<std::string>{StartCurrentWarning(c.warnedSeconds)});
            } else {
                EXPECT_TRUE(ui.Messages().empty());
            }
            // The setup holds what the start registers can hold; the field shows it as typed,
            // since the typed value encodes to the same registers.
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_START_CURRENT), c.typed_percent);
            EXPECT_NEAR(Value(*setup, "StartCurrent"), std::stod(c.typed_percent), 0.01);
            d.Click("Cancel");
        });
    }
}

TEST_F(DriveSetupNotifications, InputTypeChangeFlipsThePolaritiesAndRowTexts) {
    Run([&](DialogDriver& d) {
        ASSERT_EQ(Value(*setup, "InputsPolarityType"), 0.0);
        EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_HIGH_LABEL), "Active high (Open/No connection)");
        EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_LOW_LABEL), "Active low (Connected to GND)");
        const double enable = Value(*setup, "EnablePolarity");
        const double lsp = Value(*setup, "LSPPolarity");
        const double lsn = Value(*setup, "LSNPolarity");

        ASSERT_TRUE(d.Click("Sink (PNP)")) << d.Error();
        EXPECT_EQ(Value(*setup, "InputsPolarityType"), 1.0);
        EXPECT_EQ(Value(*setup, "EnablePolarity"), 1.0 - enable);
        EXPECT_EQ(Value(*setup, "LSPPolarity"), 1.0 - lsp);
        EXPECT_EQ(Value(*setup, "LSNPolarity"), 1.0 - lsn);
        EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_HIGH_LABEL), "Active high (Connected to +Vlog)");
        EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_LOW_LABEL), "Active low (Open/No connection)");
        // The buttons show the flipped levels.
        EXPECT_EQ(d.Dialog().GetCheck(IDC_DS_ENABLE_HIGH), enable == 0.0 ? 1 : 0);

        // Choosing the type already chosen changes nothing.
        ASSERT_TRUE(d.Click("Sink (PNP)")) << d.Error();
        EXPECT_EQ(Value(*setup, "EnablePolarity"), 1.0 - enable);

        ASSERT_TRUE(d.Click("Source(NPN)")) << d.Error();
        EXPECT_EQ(Value(*setup, "EnablePolarity"), enable);
        EXPECT_EQ(Value(*setup, "LSPPolarity"), lsp);
        EXPECT_EQ(Value(*setup, "LSNPolarity"), lsn);
        EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_HIGH_LABEL), "Active high (Open/No connection)");
        d.Click("Cancel");
    });
}

struct InputTypeCase {
    const char* name;
    const char* programmable;  // the option IsInputsTypeProgrammable; null: absent
    bool hasInputsPolarity;
    const char* description;
    double asr;                // only read without InputsPolarityType
    double inputsType;
    int sinkCheck;             // -1: left to the binding
    bool typeEnabled;
    bool vlogTexts;
};

const InputTypeCase kInputTypeCases[] = {
    {"not programmable, QX drive", nullptr, false, "QX axis", 0, 0, 1, false, true},
    {"not programmable, other drive", nullptr, false, "Linear axis", 4, 0, 0, false, false},
    {"no type parameter, ASR source bit set", "0", false, "Linear axis", 4, 0, 0, false, false},
    {"no type parameter, ASR source bit clear", "0", false, "Linear axis", 0, 0, 1, false, true},
    {"programmable, sink", "1", true, "Linear axis", 0, 1, 1, true, true},
    {"programmable, source", "1", true, "Linear axis", 0, 0, 0, true, false},
    {"fixed type, sink", "0", true, "Linear axis", 0, 1, 1, false, true},
};

TEST_F(DriveSetupRules, InputTypeOnOpening) {
    for (const InputTypeCase& c : kInputTypeCases) {
        SCOPED_TRACE(c.name);
        setup = c.hasInputsPolarity ? LoadDefault() : LoadDefault({"InputsPolarityType"});
        ui = HeadlessUi();
        setup->SetDescription(c.description);
        if (c.programmable) {
            setup->SetOption("IsInputsTypeProgrammable", c.programmable);
        } else {
            setup->ClearOption("IsInputsTypeProgrammable");
        }
        if (c.hasInputsPolarity) {
            Set(*setup, "InputsPolarityType", c.inputsType);
            Commit(*setup);
        } else {
            Set(*setup, "ASR", c.asr);
        }
        Run([&](DialogDriver& d) {
            EXPECT_EQ(d.Dialog().GetCheck(IDC_DS_TYPE_SINK), c.sinkCheck);
            EXPECT_EQ(d.Dialog().GetCheck(IDC_DS_TYPE_SOURCE), 1 - c.sinkCheck);
            EXPECT_EQ(Enabled(d, IDC_DS_TYPE_SINK), c.typeEnabled);
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_HIGH_LABEL),
                      c.vlogTexts ? "Active high (Connected to +Vlog)" : "Active high (Open/No connection)");
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_ACTIVE_LOW_LABEL),
                      c.vlogTexts ? "Active low (Open/No connection)" : "Active low (Connected to GND)");
            d.Click("Cancel");
        });
    }
}

TEST_F(DriveSetupNotifications, TypedGainShowsTheValueTheRegistersHold) {
    Run([&](DialogDriver& d) {
        ASSERT_TRUE(d.Type("Current controller/Kp", "3")) << d.Error();
        const double snapped = Value(*setup, "Kp_C_scl");
        EXPECT_NE(snapped, 3.0);
        EXPECT_NEAR(snapped, 3.0, 1e-3);
        // Written short: 3 encodes to the same registers as the value they hold.
        EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_KP_C), "3");
        d.Click("Cancel");
    });
}

// ---------------------------------------------------------------------------------------------
// Axis ID

using DriveSetupAxisId = DriveSetupTest;

struct AxisCase {
    const char* entry;
    double stored;
    bool warned;
};

const AxisCase kAxisCases[] = {
    {"H/W", 0, false},
    {"1", 1, false},
    {"127", 127, false},
    {"128", 128, true},
    {"255", 255, true},
};

TEST_F(DriveSetupAxisId, ChosenEntryIsStoredOnOk) {
    for (const AxisCase& c : kAxisCases) {
        SCOPED_TRACE(c.entry);
        setup = LoadDefault();
        Set(*setup, "Axis_ID_list", 5);
        Commit(*setup);
        ui = HeadlessUi();
        const int result = Run([&](DialogDriver& d) {
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_AXIS_ID_LIST), "5");
            // The label holds a slash, which the driver reads as "Group/Label": find the list by id.
            ASSERT_TRUE(d.Select("#" + std::to_string(IDC_DS_AXIS_ID_LIST), c.entry)) << d.Error();
            EXPECT_EQ(MessageTexts(), c.warned ? std::vector<std::string>{kCanOpenWarning} : std::vector<std::string>{});
            // The warning leaves the choice as it is.
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DS_AXIS_ID_LIST), c.entry);
            d.Click("OK");
        });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(Value(*setup, "Axis_ID_list"), c.stored);
    }
}

TEST_F(DriveSetupAxisId, OpensOnTheStoredEntry) {
    Set(*setup, "Axis_ID_list", 0);
    Commit(*setup);
    Run([&](DialogDriver& d) {
        const ControlState* list = d.Dialog().GetControl(IDC_DS_AXIS_ID_LIST);
        ASSERT_EQ(list->items.size(), 256U);
        EXPECT_EQ(list->items.front().first, "1");
        EXPECT_EQ(list->items[254].first, "255");
        EXPECT_EQ(list->text, "H/W");
        d.Click("Cancel");
    });
}

TEST_F(DriveSetupAxisId, IdTheListCannotShowSurvivesOk) {
    Set(*setup, "Axis_ID_list", 300);
    Commit(*setup);
    EXPECT_EQ(Run([](DialogDriver& d) { d.Click("OK"); }), 1);
    EXPECT_EQ(Value(*setup, "Axis_ID_list"), 300.0);
}

// ---------------------------------------------------------------------------------------------
// The export's body, OK and Cancel

using DriveSetupEditSetup = DriveSetupTest;

TEST_F(DriveSetupEditSetup, ReturnsOneOnlyForOk) {
    EXPECT_EQ(Run([](DialogDriver& d) { d.Click("OK"); }), 1);
    EXPECT_EQ(Run([](DialogDriver& d) { d.Click("Cancel"); }), 0);
    // A dialog nobody closes is cancelled.
    EXPECT_EQ(Run([](DialogDriver&) {}), 0);
    EXPECT_EQ(RunEditSetup(nullptr), 0);
}

TEST_F(DriveSetupEditSetup, FailureInsideTheDialogIsNoOk) {
    EXPECT_EQ(Run([](DialogDriver&) -> void { throw std::runtime_error("lost"); }), 0);
}

TEST_F(DriveSetupEditSetup, OkCommitsRegistersAndLoopOptions) {
    EXPECT_EQ(Run([](DialogDriver& d) {
                  d.Click("Torque");
                  d.Click("OK");
              }),
              1);
    EXPECT_EQ(setup->GetOptionNoError("IsClosedPosition"), "0");
    EXPECT_EQ(setup->GetOptionNoError("IsClosedSpeed"), "0");
    EXPECT_EQ(setup->GetOptionNoError("IsClosedCurrent"), "1");
    // The registers hold the new mode: recovering from them gives torque back.
    Set(*setup, "ControlMode", 0);
    Decode_ControlMode(*setup);
    EXPECT_EQ(Value(*setup, "ControlMode"), 2.0);
}

TEST_F(DriveSetupEditSetup, CancelRunsNoCommit) {
    Run([](DialogDriver& d) {
        d.Click("Torque");
        d.Click("Cancel");
    });
    EXPECT_EQ(setup->GetOptionNoError("IsClosedPosition"), "1");
}

TEST_F(DriveSetupEditSetup, HelpOpensTheDriveSetupTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    Run([](DialogDriver& d) {
        d.Click("Help");
        d.Click("Cancel");
    });
    ASSERT_EQ(ui.HelpOpened().size(), 1U);
    EXPECT_EQ(ui.HelpOpened().front().second, 262406);
}

// ---------------------------------------------------------------------------------------------
// Children

using DriveSetupChildren = DriveSetupTest;

TEST_F(DriveSetupChildren, ButtonsOpenTheirDialogs) {
    struct Case {
        const char* button;
        const char* caption;
    };
    const Case cases[] = {
        {"Advanced", "Advanced"},
        {"Drive Info", "Drive info"},
        {"Setup", "External Reference Setup"},
        {"Motor setup", "Brushless Motor Setup"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        setup = LoadDefault();
        Set(*setup, "ExternalReference", 1);
        Commit(*setup);
        ui = HeadlessUi();
        Run([&](DialogDriver& d) {
            const std::size_t before = ui.OpenedDialogs().size();
            ASSERT_TRUE(d.Click(c.button)) << d.Error();
            ASSERT_EQ(ui.OpenedDialogs().size(), before + 1);
            EXPECT_EQ(ui.OpenedDialogs().back(), c.caption);
            d.Click("Cancel");
        });
    }
}

TEST_F(DriveSetupChildren, HostMotorSetupCommandOpensTheMotorSetup) {
    Run([&](DialogDriver& d) {
        const std::size_t before = ui.OpenedDialogs().size();
        d.Dialog().OnCommand(1117);
        ASSERT_EQ(ui.OpenedDialogs().size(), before + 1);
        EXPECT_EQ(ui.OpenedDialogs().back(), "Brushless Motor Setup");
        d.Click("Cancel");
    });
}

// Kept last: besides this dialog it needs the motor setup dialog itself.
TEST_F(DriveSetupChildren, MotorSetupOpensByItselfFirst) {
    std::vector<std::string> openedWhenReady;
    ui.OnDialog("Brushless Motor Setup", [](DialogDriver& d) { d.Click("Cancel"); });
    ui.OnDialog("Drive Setup", [&](DialogDriver& d) {
        openedWhenReady = ui.OpenedDialogs();
        d.Click("Cancel");
    });
    RunEditSetup(setup.get());
    EXPECT_EQ(openedWhenReady, (std::vector<std::string>{"Drive Setup", "Brushless Motor Setup"}));
    EXPECT_TRUE(ui.LeftOpen().empty());
}

}  // namespace
