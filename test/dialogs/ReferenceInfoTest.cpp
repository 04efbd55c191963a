// The external reference setup and the drive info dialogs, driven headless as a user would.
#include "AnalogReferenceDlg.h"
#include "AnalogReferenceForm.h"
#include "BaseQuantities.h"
#include "Decode.h"
#include "DriveInfo.h"
#include "DriveInfoForm.h"
#include "Encode.h"
#include "HeadlessUi.h"
#include "Limits.h"
#include "MC_SetupFile.h"
#include "ShownValue.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pelmora;

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void Reset() { Load(std::string(DefaultSetupJson())); }
    void TearDown() override { SetUiBackend(nullptr); }

    void Load(const std::string& json) {
        SetupLoadResult loaded = ParseSetup(json, "the test setup");
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        AttachCoreScales(*setup);
        SetUiBackend(&ui);
    }

    void Set(const char* name, double value) {
        CMC_Parameter* parameter = setup->FindParameter(name);
        ASSERT_NE(parameter, nullptr) << name;
        parameter->SetValueInBaseUnit(value);
    }
    double Value(const char* name) const { return setup->GetParameterValueInBaseUnit(name); }

    // The group boxes carry the field names here, so fields are found by id.
    static std::string Id(int id) { return "#" + std::to_string(id); }
    static bool Visible(CDialog& dialog, int id) { return dialog.GetControl(id)->visible; }
    static bool Enabled(CDialog& dialog, int id) { return dialog.GetControl(id)->enabled; }

    HeadlessUi ui;
    std::unique_ptr<CMC_Setup> setup;
};

// ---------------------------------------------------------------------------------------------
// External reference setup

class ExternalReferenceTest : public DialogTest {
protected:
    // Opens the dialog as the drive setup does: both passes and the limits first.
    int Open(const std::function<void(DialogDriver&)>& script) {
        UpdateRegistersFromParameters(*setup);
        UpdateParametersFromRegisters(*setup);
        UpdateParameterLimits(*setup);
        bool ran = false;
        ui.OnDialog("External Reference Setup", [&](DialogDriver& d) {
            ran = true;
            script(d);
            EXPECT_TRUE(d.Click("OK")) << d.Error();
        });
        CAnalogReferenceDlg dialog(setup.get());
        const int result = dialog.DoModal();
        EXPECT_TRUE(ran) << "the dialog's script ran";
        return result;
    }

    void Configure(int mode, int analogue, int limit) {
        Set("ExternalReference", 1);
        Set("ControlMode", mode);
        Set("isAnalogueReference", analogue);
        Set("isLimitMaximum", limit);
    }
};

struct ModeCase {
    const char* name;
    int mode;
    int analogue;
    int limit;
    bool checkShown;
    const char* checkText;
    bool firstLimitShown;
    bool secondLimitShown;
    const char* firstLimitParameter;  // bound to the first limit field; null: none
    const char* maxLabel;
    const char* picture;
    const char* maxParameter;
    bool digitalControlsEnabled;
    bool digitalOptionEnabled;
};

TEST_F(ExternalReferenceTest, ShowsAndEnablesByModeAndReferenceKind) {
    const ModeCase cases[] = {
        {"position, analogue, limited", 0, 1, 1, true, "Limit maximum speed at", true, false, "ErefMaxSpeed",
         "Maximum Position", "EXTREF_POSITION", "POS_max", false, true},
        {"position, digital, limited", 0, 0, 1, true, "Limit maximum acceleration at", false, true, "ErefMaxSpeed",
         "Maximum Position", "EXTREF_POSITION", "POS_max", true, true},
        {"position, analogue, unlimited", 0, 1, 0, true, "Limit maximum speed at", false, false, "ErefMaxSpeed",
         "Maximum Position", "EXTREF_POSITION", "POS_max", false, true},
        {"speed, analogue, limited", 1, 1, 1, true, "Limit maximum acceleration at", true, false,
         "ErefMaxAcceleration", "Maximum Speed", "EXTREF_SPEED", "SPD_max", false, false},
        // The field next to the acceleration box holds the acceleration limit; the other one holds
        // nothing in this mode and must never show.
        {"speed, digital, limited", 1, 0, 1, true, "Limit maximum acceleration at", true, false,
         "ErefMaxAcceleration", "Maximum Speed", "EXTREF_SPEED", "SPD_max", false, false},
        {"torque, analogue, limited", 2, 1, 1, false, nullptr, false, false, nullptr, "Maximum Current", "EXTREF_CURRENT", "CRT_max",
         false, false},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Configure(c.mode, c.analogue, c.limit);
        Open([&](DialogDriver& d) {
            CDialog& dialog = d.Dialog();
            EXPECT_EQ(Visible(dialog, IDC_EXTREF_LIMIT_CHECK), c.checkShown);
            if (c.checkText) {
                EXPECT_EQ(dialog.GetChildText(IDC_EXTREF_LIMIT_CHECK), c.checkText);
            }
            EXPECT_EQ(Visible(dialog, IDC_EXTREF_LIMIT1_VALUE), c.firstLimitShown);
            EXPECT_EQ(Visible(dialog, IDC_EXTREF_LIMIT1_UNIT), c.firstLimitShown);
            EXPECT_EQ(Visible(dialog, IDC_EXTREF_LIMIT2_VALUE), c.secondLimitShown);
            EXPECT_EQ(Visible(dialog, IDC_EXTREF_LIMIT2_UNIT), c.secondLimitShown);
            if (c.firstLimitParameter) {
                EXPECT_EQ(d.Find(std::string("@") + c.firstLimitParameter), IDC_EXTREF_LIMIT1_VALUE);
            } else {
                EXPECT_EQ(d.Find("@ErefMaxSpeed"), 0);
                EXPECT_EQ(d.Find("@ErefMaxAcceleration"), 0);
            }
            EXPECT_EQ(dialog.GetChildText(IDC_EXTREF_MAX_LABEL), c.maxLabel);
            EXPECT_EQ(dialog.GetControl(IDC_EXTREF_PICTURE)->picture, c.picture);
            EXPECT_EQ(d.Find(std::string("@") + c.maxParameter), IDC_EXTREF_MAX_VALUE);

            const bool analogue = c.analogue == 1;
            for (int id : {IDC_EXTREF_MAX_VALUE, IDC_EXTREF_MIN_VALUE, IDC_EXTREF_DEADBAND_POINT_VALUE,
                           IDC_EXTREF_DEADBAND_RANGE_VALUE, IDC_EXTREF_USE_FILTER, IDC_EXTREF_RANGE_LOW}) {
                EXPECT_EQ(Enabled(dialog, id), analogue) << "control " << id;
            }
            for (int id : {IDC_EXTREF_PULSE_DIRECTION, IDC_EXTREF_INCREMENTAL_ENCODER, IDC_EXTREF_SLAVE_VALUE,
                           IDC_EXTREF_MASTER_VALUE}) {
                EXPECT_EQ(Enabled(dialog, id), c.digitalControlsEnabled) << "control " << id;
            }
            EXPECT_EQ(Enabled(dialog, IDC_EXTREF_DIGITAL), c.digitalOptionEnabled);
            EXPECT_TRUE(Enabled(dialog, IDC_EXTREF_ANALOGUE));
        });
    }
}

TEST_F(ExternalReferenceTest, ClicksReapplyTheRules) {
    Configure(0, 1, 1);
    Open([&](DialogDriver& d) {
        CDialog& dialog = d.Dialog();
        ASSERT_TRUE(d.Click("Digital")) << d.Error();
        EXPECT_EQ(Value("isAnalogueReference"), 0.0);
        EXPECT_EQ(dialog.GetChildText(IDC_EXTREF_LIMIT_CHECK), "Limit maximum acceleration at");
        EXPECT_FALSE(Visible(dialog, IDC_EXTREF_LIMIT1_VALUE));
        EXPECT_TRUE(Visible(dialog, IDC_EXTREF_LIMIT2_VALUE));
        EXPECT_TRUE(Enabled(dialog, IDC_EXTREF_MASTER_VALUE));
        EXPECT_FALSE(Enabled(dialog, IDC_EXTREF_DEADBAND_POINT_VALUE));

        ASSERT_TRUE(d.Click(Id(IDC_EXTREF_LIMIT_CHECK))) << d.Error();
        EXPECT_EQ(Value("isLimitMaximum"), 0.0);
        EXPECT_FALSE(Visible(dialog, IDC_EXTREF_LIMIT2_VALUE));

        ASSERT_TRUE(d.Click("Analogue")) << d.Error();
        ASSERT_TRUE(d.Click(Id(IDC_EXTREF_LIMIT_CHECK))) << d.Error();
        EXPECT_EQ(dialog.GetChildText(IDC_EXTREF_LIMIT_CHECK), "Limit maximum speed at");
        EXPECT_TRUE(Visible(dialog, IDC_EXTREF_LIMIT1_VALUE));
        EXPECT_FALSE(Visible(dialog, IDC_EXTREF_LIMIT2_VALUE));
        EXPECT_FALSE(Enabled(dialog, IDC_EXTREF_MASTER_VALUE));

        ASSERT_TRUE(d.Click("Use a filter for the analogue reference input")) << d.Error();
        EXPECT_FALSE(Visible(dialog, IDC_EXTREF_FILTER_VALUE));
        ASSERT_TRUE(d.Click("Use a filter for the analogue reference input")) << d.Error();
        EXPECT_TRUE(Visible(dialog, IDC_EXTREF_FILTER_VALUE));
    });
}

TEST_F(ExternalReferenceTest, DigitalReferenceCanBeSwitchedOffByOption) {
    Configure(0, 1, 1);
    setup->SetOption("DisableExternalDigitalReference", "1");
    Open([&](DialogDriver& d) { EXPECT_FALSE(Enabled(d.Dialog(), IDC_EXTREF_DIGITAL)); });
}

TEST_F(ExternalReferenceTest, RangeLabelsFollowTheInputRange) {
    struct Case {
        double range_V;
        const char* low;
        const char* high;
    };
    const Case cases[] = {{20.0, "-10", "10"}, {5.0, "0", "5"}, {3.3, "0", "3.3"}, {10.0, "0", "3.3"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range_V);
        Reset();
        Configure(0, 1, 1);
        Set("AnalogueInputsRange", c.range_V);
        Open([&](DialogDriver& d) {
            EXPECT_EQ(d.Dialog().GetChildText(IDC_EXTREF_RANGE_LOW), c.low);
            EXPECT_EQ(d.Dialog().GetChildText(IDC_EXTREF_RANGE_HIGH), c.high);
        });
    }
}

TEST_F(ExternalReferenceTest, MinimumNeverPassesMaximum) {
    struct Case {
        int mode;
        const char* maxName;
        const char* minName;
        const char* typedMax;  // in the unit on show, inside the current range
        const char* typedMin;  // above the new maximum
    };
    const Case cases[] = {
        {0, "POS_max", "POS_min", "50 mm", "60 mm"},
        {1, "SPD_max", "SPD_min", "1 m/s", "1.5 m/s"},
        {2, "CRT_max", "CRT_min", "2 A", "2.5 A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxName);
        Reset();
        Configure(c.mode, 1, 1);
        Open([&](DialogDriver& d) {
            ASSERT_TRUE(d.Type(std::string("@") + c.maxName, c.typedMax)) << d.Error();
            const double maximum = Value(c.maxName);
            EXPECT_DOUBLE_EQ(setup->FindParameter(c.minName)->GetMaxInBaseUnit(), maximum);
            ASSERT_TRUE(d.Type(std::string("@") + c.minName, c.typedMin)) << d.Error();
            EXPECT_DOUBLE_EQ(Value(c.minName), maximum);
            EXPECT_DOUBLE_EQ(setup->FindParameter(c.maxName)->GetMinInBaseUnit(), maximum);
        });
    }
}

TEST_F(ExternalReferenceTest, DeadBandStaysInsideTheInputRange) {
    struct Case {
        const char* name;
        const char* scheme;
        bool pointFirst;
        const char* point;
        const char* typedRange;
        double expectedRange_V;
    };
    // The ±10 V input: with the old scheme a band around 8 V reaches at most 2 V; with the new one
    // the whole 20 V.
    const Case cases[] = {
        {"band typed after the point", "0", true, "8", "5", 2.0},
        {"point moved under a wide band", "0", false, "8", "5", 2.0},
        {"point near the low end", "0", false, "-9", "3", 1.0},
        {"new scheme", "1", false, "8", "5", 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Configure(0, 1, 1);
        Set("AnalogueInputsRange", 20.0);
        setup->SetOption("NewDeadBand", c.scheme);
        Open([&](DialogDriver& d) {
            const char* first = c.pointFirst ? "@DeadBand_Point" : "@DeadBand_Range";
            const char* second = c.pointFirst ? "@DeadBand_Range" : "@DeadBand_Point";
            ASSERT_TRUE(d.Type(first, c.pointFirst ? c.point : c.typedRange)) << d.Error();
            ASSERT_TRUE(d.Type(second, c.pointFirst ? c.typedRange : c.point)) << d.Error();
            EXPECT_NEAR(Value("DeadBand_Range"), c.expectedRange_V, 1e-9);
            EXPECT_EQ(d.Dialog().GetChildText(IDC_EXTREF_DEADBAND_RANGE_VALUE),
                      CMC_EditSetupDlg::FormatValue(setup->GetParameterValue("DeadBand_Range")));
        });
    }
}

TEST_F(ExternalReferenceTest, MinimumFollowsTheUnitOfTheMaximum) {
    struct Case {
        int mode;
        const char* leader;
        const char* follower;
        const char* unit;
    };
    const Case cases[] = {
        {0, "POS_max", "POS_min", "m"},
        {1, "SPD_max", "SPD_min", "mm/s"},
        {2, "CRT_max", "CRT_min", "mA"},
        {0, "DeadBand_Point", "DeadBand_Range", "mV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leader);
        Reset();
        Configure(c.mode, 1, 1);
        Open([&](DialogDriver& d) {
            ASSERT_TRUE(d.ChooseUnit(std::string("@") + c.leader, c.unit)) << d.Error();
            EXPECT_STREQ(setup->GetParameterUnit(c.follower), setup->GetParameterUnit(c.leader));
            const std::string shown = d.Dialog().GetChildText(d.Find(std::string("@") + c.follower));
            EXPECT_EQ(shown, pelmora::ShownValueText(*setup, c.follower, pelmora::kFieldDigits));
        });
    }
}

TEST_F(ExternalReferenceTest, MinimumOpensInTheUnitOfTheMaximum) {
    Configure(1, 1, 1);
    ASSERT_TRUE(setup->ChangeParameterUnit("SPD_max", "mm/s"));
    ASSERT_TRUE(setup->ChangeParameterUnit("SPD_min", "m/s"));
    Open([&](DialogDriver&) {});
    EXPECT_STREQ(setup->GetParameterUnit("SPD_min"), "mm/s");
}

TEST_F(ExternalReferenceTest, WithoutAnalogueInputOnlyTheDigitalControlsWork) {
    // A drive without the analogue input has no CADIN at all.
    std::string json(DefaultSetupJson());
    for (std::size_t at = json.find("\"CADIN\""); at != std::string::npos; at = json.find("\"CADIN\"", at)) {
        json.replace(at, 7, "\"NOADIN\"");
    }
    Load(json);
    Configure(0, 0, 1);
    Open([&](DialogDriver& d) {
        CDialog& dialog = d.Dialog();
        EXPECT_FALSE(Enabled(dialog, IDC_EXTREF_ANALOGUE));
        EXPECT_EQ(d.Find("@POS_max"), 0);
        EXPECT_EQ(d.Find("@DeadBand_Point"), 0);
        EXPECT_EQ(d.Find("@filter"), 0);
        EXPECT_FALSE(Visible(dialog, IDC_EXTREF_FILTER_VALUE));
        EXPECT_TRUE(Enabled(dialog, IDC_EXTREF_DIGITAL));
        EXPECT_TRUE(Enabled(dialog, IDC_EXTREF_MASTER_VALUE));
        ASSERT_TRUE(d.Type("@GEARMASTER", "3")) << d.Error();
    });
    EXPECT_EQ(Value("GEARMASTER"), 3.0);
}

TEST_F(ExternalReferenceTest, TestButtonStaysDisabledWhileTheTestIsUnavailable) {
    Configure(0, 1, 1);
    Open([&](DialogDriver& d) {
        EXPECT_EQ(Enabled(d.Dialog(), IDC_EXTREF_TEST), IsTestAvailable(CommissioningTest::AnalogueReference));
        d.Dialog().OnCommand(IDC_EXTREF_TEST);
    });
    EXPECT_EQ(ui.OpenedDialogs(), std::vector<std::string>{"External Reference Setup"});
}

TEST_F(ExternalReferenceTest, HelpOpensItsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drives.chm";
    setup->SetIdentity(identity);
    Open([&](DialogDriver& d) { ASSERT_TRUE(d.Click("Help")) << d.Error(); });
    ASSERT_EQ(ui.HelpOpened().size(), 1U);
    EXPECT_EQ(ui.HelpOpened()[0].second, 262401);
}

struct ShownLabelCase {
    int mode;
    int analogue;
    const char* label;
    int id;
};

// Labels the dialog sets while running name their controls by the text shown.
TEST_F(ExternalReferenceTest, ControlsAreFoundByTheLabelsTheDialogSet) {
    const ShownLabelCase cases[] = {
        {1, 1, "Maximum Speed", IDC_EXTREF_MAX_VALUE},
        {0, 1, "Maximum Position", IDC_EXTREF_MAX_VALUE},
        {0, 0, "Limit maximum acceleration at", IDC_EXTREF_LIMIT_CHECK},
        {0, 1, "Limit maximum speed at", IDC_EXTREF_LIMIT_CHECK},
        {0, 1, "Maximum", 0},
    };
    for (const ShownLabelCase& c : cases) {
        Reset();
        Configure(c.mode, c.analogue, 1);
        Open([&](DialogDriver& d) { EXPECT_EQ(d.Find(c.label), c.id) << c.label << " in mode " << c.mode; });
    }
}

// ---------------------------------------------------------------------------------------------
// Drive info

class DriveInfoTest : public DialogTest {
protected:
    int Open(const std::function<void(DialogDriver&)>& script, const char* close = "OK") {
        bool ran = false;
        ui.OnDialog("Drive info", [&, close](DialogDriver& d) {
            ran = true;
            script(d);
            if (close) {
                EXPECT_TRUE(d.Click(close)) << d.Error();
            }
        });
        CDriveInfo dialog(setup.get());
        const int result = dialog.DoModal();
        EXPECT_TRUE(ran) << "the dialog's script ran";
        return result;
    }

    static void ServiceChord(DialogDriver& d) {
        dynamic_cast<CDriveInfo&>(d.Dialog()).PreTranslateKey(CDriveInfo::kServiceKey, true, true, true);
    }

    void SetE2ROM(unsigned words) {
        SetupIdentity identity = setup->GetIdentity();
        identity.e2romSize = words;
        setup->SetIdentity(identity);
    }
};

// What only the service mode may edit.
constexpr int kServiceFields[] = {
    IDC_DRVINFO_VMOT_MIN_VALUE, IDC_DRVINFO_VMOT_MAX_VALUE, IDC_DRVINFO_VLOG_MIN_VALUE, IDC_DRVINFO_VLOG_MAX_VALUE,
    IDC_DRVINFO_INPS_VALUE,     IDC_DRVINFO_IMAXPS_VALUE,   IDC_DRVINFO_VDCMAX_VALUE,   IDC_DRVINFO_AIN_RANGE_VALUE,
    IDC_DRVINFO_TEMP_SENSOR,    IDC_DRVINFO_OVER_VOLTAGE,   IDC_DRVINFO_UNDER_VOLTAGE,  IDC_DRVINFO_I2T,
    IDC_DRVINFO_E2ROM,          IDC_DRVINFO_NAME,           IDC_DRVINFO_PRODUCT,        IDC_DRVINFO_FIRMWARE,
    IDC_DRVINFO_UMAX_VALUE,     IDC_DRVINFO_TEMP2_VALUE,    IDC_DRVINFO_OVER_TEMP,
};

TEST_F(DriveInfoTest, OnlyTheServiceChordMakesTheDriveDataEditable) {
    struct Case {
        const char* name;
        int key;
        bool ctrl;
        bool alt;
        bool shift;
        bool editable;
    };
    const Case cases[] = {
        {"no chord", 0, false, false, false, false},
        {"the chord", CDriveInfo::kServiceKey, true, true, true, true},
        {"the chord in lower case", CDriveInfo::kServiceKey | 0x20, true, true, true, true},
        {"without shift", CDriveInfo::kServiceKey, true, true, false, false},
        {"without alt", CDriveInfo::kServiceKey, true, false, true, false},
        {"another letter", CDriveInfo::kServiceKey == 'Q' ? 'R' : 'Q', true, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open([&](DialogDriver& d) {
            auto& dialog = dynamic_cast<CDriveInfo&>(d.Dialog());
            for (int id : kServiceFields) EXPECT_FALSE(Enabled(dialog, id)) << "control " << id;
            EXPECT_FALSE(dialog.PreTranslateKey(c.key, c.ctrl, c.alt, c.shift)) << "the key goes on";
            for (int id : kServiceFields) EXPECT_EQ(Enabled(dialog, id), c.editable) << "control " << id;
            EXPECT_TRUE(Enabled(dialog, IDC_DRVINFO_APP_ID));
            EXPECT_TRUE(Enabled(dialog, IDC_DRVINFO_VMOT_MIN_UNIT));
            // A second chord leaves the service mode again.
            if (c.editable) {
                ServiceChord(d);
                EXPECT_FALSE(Enabled(dialog, IDC_DRVINFO_FIRMWARE));
            }
        });
    }
}

TEST_F(DriveInfoTest, ServiceModeStartsOffAtEveryOpening) {
    Open([&](DialogDriver& d) { ServiceChord(d); });
    Open([&](DialogDriver& d) { EXPECT_FALSE(Enabled(d.Dialog(), IDC_DRVINFO_FIRMWARE)); });
}

TEST_F(DriveInfoTest, ProtectionFieldsFollowTheirCheckBoxes) {
    struct Case {
        const char* flag;
        std::vector<int> values;  // editable only in service mode with the flag set
        std::vector<int> labels;  // labels and units: enabled with the flag, in either mode
    };
    const Case cases[] = {
        {"isDriveTemperatureSensor",
         {IDC_DRVINFO_SENSOR_GAIN_VALUE, IDC_DRVINFO_OUTPUT_0C_VALUE, IDC_DRVINFO_OVER_TEMP},
         {IDC_DRVINFO_SENSOR_GAIN_LABEL, IDC_DRVINFO_SENSOR_GAIN_UNIT, IDC_DRVINFO_OUTPUT_0C_LABEL,
          IDC_DRVINFO_OUTPUT_0C_UNIT}},
        {"isOverVoltage", {IDC_DRVINFO_UMAX_VALUE}, {IDC_DRVINFO_UMAX_LABEL, IDC_DRVINFO_UMAX_UNIT}},
        {"isUnderVoltage", {IDC_DRVINFO_UMIN_VALUE}, {IDC_DRVINFO_UMIN_LABEL, IDC_DRVINFO_UMIN_UNIT}},
        {"isDriveI2t",
         {IDC_DRVINFO_I2T_CURRENT_VALUE, IDC_DRVINFO_I2T_TIME_VALUE},
         {IDC_DRVINFO_I2T_CURRENT_LABEL, IDC_DRVINFO_I2T_TIME_LABEL, IDC_DRVINFO_I2T_CURRENT_UNIT,
          IDC_DRVINFO_I2T_TIME_UNIT}},
        {"isDriveOverTemp", {IDC_DRVINFO_TEMP2_VALUE}, {IDC_DRVINFO_TEMP2_LABEL, IDC_DRVINFO_TEMP2_UNIT}},
    };
    for (const Case& c : cases) {
        for (const int flag : {0, 1}) {
            for (const bool service : {false, true}) {
                SCOPED_TRACE(std::string(c.flag) + " = " + std::to_string(flag) + (service ? ", service" : ""));
                Reset();  // every protection on, as in the default setup
                Set(c.flag, flag);
                Open([&](DialogDriver& d) {
                    if (service) ServiceChord(d);
                    for (int id : c.values) EXPECT_EQ(Enabled(d.Dialog(), id), service && flag == 1) << id;
                    for (int id : c.labels) EXPECT_EQ(Enabled(d.Dialog(), id), flag == 1) << id;
                });
            }
        }
    }
}

TEST_F(DriveInfoTest, OverTemperatureProtectionNeedsTheSensor) {
    struct Case {
        const char* name;
        bool sensorBefore;
        const char* click;
        bool overTempAfter;
    };
    const Case cases[] = {
        {"clearing the sensor", true, "Temperature sensor", false},
        {"another protection, sensor kept", true, "Over voltage", true},
        // A stored setup may hold the protection without the sensor: any click repairs it.
        {"another protection, no sensor", false, "I2t", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Set("isDriveTemperatureSensor", c.sensorBefore ? 1 : 0);
        Set("isDriveOverTemp", 1);
        Open([&](DialogDriver& d) {
            ServiceChord(d);
            ASSERT_TRUE(d.Click(c.click)) << d.Error();
            EXPECT_EQ(d.Dialog().GetCheck(IDC_DRVINFO_OVER_TEMP), c.overTempAfter ? 1 : 0);
            EXPECT_EQ(Enabled(d.Dialog(), IDC_DRVINFO_TEMP2_LABEL), c.overTempAfter);
        });
        EXPECT_EQ(Value("isDriveOverTemp"), c.overTempAfter ? 1.0 : 0.0);
    }
}

TEST_F(DriveInfoTest, MemorySizeShowsWholeKilowords) {
    struct Case {
        unsigned stored;
        const char* shown;
    };
    const Case cases[] = {{16384, "16"}, {16383, "15"}, {1023, "0"}, {65535, "63"}, {65536 + 4096, "4"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        SetE2ROM(c.stored);
        Open([&](DialogDriver& d) { EXPECT_EQ(d.Dialog().GetChildText(IDC_DRVINFO_E2ROM), c.shown); },
             "Cancel");
    }
}

TEST_F(DriveInfoTest, MemorySizeIsStoredFromTheTypedKilowords) {
    struct Case {
        const char* name;
        unsigned before;
        const char* typed;  // null: the field is left alone
        unsigned after;
    };
    const Case cases[] = {
        {"plain", 32768, "16", 16384},
        {"leading integer", 32768, " 8 Kwords", 8192},
        {"plus sign", 32768, "+4", 4096},
        {"largest", 0, "63", 64512},
        {"zero", 16384, "0", 0},
        // What a 16-bit size cannot hold, or no number at all, leaves the size as it was.
        {"too large", 16384, "64", 16384},
        {"negative", 16384, "-1", 16384},
        {"not a number", 16384, "abc", 16384},
        {"empty", 16384, "", 16384},
        // OK without an edit never drops bits that the field cannot show.
        {"untouched", 16383, nullptr, 16383},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetE2ROM(c.before);
        EXPECT_EQ(Open([&](DialogDriver& d) {
                      ServiceChord(d);
                      if (c.typed) {
                          ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_E2ROM), c.typed)) << d.Error();
                      }
                  }),
                  IDOK);
        EXPECT_EQ(setup->GetE2ROMSize(), c.after);
    }
}

TEST_F(DriveInfoTest, OkWritesTheIdentityAndTheRegisters) {
    const double registerBefore = Value("UMAXPROT");
    EXPECT_EQ(Open([&](DialogDriver& d) {
                  ServiceChord(d);
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_NAME), "Axis X")) << d.Error();
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_PRODUCT), "PLM-LH-1206")) << d.Error();
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_FIRMWARE), "F901B")) << d.Error();
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_APP_ID), "gantry")) << d.Error();
                  ASSERT_TRUE(d.Type("@UMAX_PROT", "60")) << d.Error();
              }),
              IDOK);
    EXPECT_STREQ(setup->GetDescription(), "Axis X");
    EXPECT_STREQ(setup->GetProductID(), "PLM-LH-1206");
    EXPECT_STREQ(setup->GetFirmwareID(), "F901B");
    EXPECT_STREQ(setup->GetUserAppID(), "gantry");
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_NE(Value("UMAXPROT"), registerBefore) << "the register pass ran";
}

TEST_F(DriveInfoTest, RefusedFirmwareIdIsReportedAndTheRestKept) {
    const std::string firmwareBefore = setup->GetFirmwareID();
    EXPECT_EQ(Open([&](DialogDriver& d) {
                  ServiceChord(d);
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_FIRMWARE), "not a firmware")) << d.Error();
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_PRODUCT), "PLM-LH-1206")) << d.Error();
                  ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_APP_ID), "gantry")) << d.Error();
              }),
              IDOK);
    ASSERT_EQ(ui.Messages().size(), 1U);
    EXPECT_EQ(ui.Messages()[0].text, "Error setting the firmware ID!");
    EXPECT_EQ(setup->GetFirmwareID(), firmwareBefore);
    EXPECT_STREQ(setup->GetProductID(), "PLM-LH-1206");
    EXPECT_STREQ(setup->GetUserAppID(), "gantry");
}

TEST_F(DriveInfoTest, CancelWritesNoIdentity) {
    const std::string productBefore = setup->GetProductID();
    EXPECT_EQ(Open(
                  [&](DialogDriver& d) {
                      ServiceChord(d);
                      ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_PRODUCT), "PLM-LH-1206")) << d.Error();
                      ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_APP_ID), "gantry")) << d.Error();
                  },
                  "Cancel"),
              IDCANCEL);
    EXPECT_EQ(setup->GetProductID(), productBefore);
    EXPECT_STREQ(setup->GetUserAppID(), "");
}

TEST_F(DriveInfoTest, ApplicationIdHoldsAtMostFortyCharacters) {
    struct Case {
        const char* name;
        std::string typed;
        std::string kept;
    };
    const Case cases[] = {
        {"forty", std::string(40, 'a'), std::string(40, 'a')},
        {"fifty", std::string(50, 'b'), std::string(40, 'b')},
        // The cut never splits a character of two bytes.
        {"multi-byte at the end", std::string(39, 'c') + "\xC3\xA9" + "d", std::string(39, 'c')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open([&](DialogDriver& d) {
            ASSERT_TRUE(d.Type(Id(IDC_DRVINFO_APP_ID), c.typed)) << d.Error();
            EXPECT_EQ(d.Dialog().GetChildText(IDC_DRVINFO_APP_ID), c.kept);
        });
        EXPECT_EQ(setup->GetUserAppID(), c.kept);
    }
}

TEST_F(DriveInfoTest, LongerStoredApplicationIdSurvivesAnUntouchedOk) {
    const std::string stored(50, 'e');
    setup->SetUserAppID(stored);
    EXPECT_EQ(Open([](DialogDriver&) {}), IDOK);
    EXPECT_EQ(setup->GetUserAppID(), stored);
}

}  // namespace
