// Edit scripts driving the real setup dialogs headless: the assertions a user checks with, the
// key chords, the control listing, and how controls are named.
#include "BaseQuantities.h"
#include "DriveInfoForm.h"
#include "DriveSetupDlg.h"
#include "DriveSetupForm.h"
#include "HeadlessScript.h"
#include "HeadlessUi.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

using namespace pelmora;

namespace {

std::string Id(int id) { return "#" + std::to_string(id); }

struct ScriptRun {
    bool parsed = false;
    bool succeeded = false;
    std::string error;
    std::string out;
};

class EditScript : public ::testing::Test {
protected:
    void SetUp() override {
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        AttachCoreScales(*setup);
        SetUiBackend(&ui);
    }
    void TearDown() override { SetUiBackend(nullptr); }

    // Runs the drive setup under `text`; the motor setup that opens first is cancelled.
    ScriptRun Run(const std::string& text) {
        ScriptRun run;
        HeadlessScript script;
        run.parsed = script.Parse("click Cancel\n" + text);
        if (!run.parsed) {
            run.error = script.Error();
            return run;
        }
        std::ostringstream out;
        script.Attach(ui, *setup, out);
        RunEditSetup(setup.get());
        run.succeeded = script.Succeeded();
        run.error = script.Error();
        run.out = out.str();
        return run;
    }

    HeadlessUi ui;
    std::unique_ptr<CMC_Setup> setup;
};

struct ScriptCase {
    const char* what;
    std::string script;
    bool succeeds;
    const char* inError;  // for a failing script: part of its error
};

TEST_F(EditScript, AssertionsHoldOrSayWhatWasFound) {
    const ScriptCase cases[] = {
        {"value as precise as written", "expect value StartCurrent 80 %\nexpect value StartCurrent 80\n", true, ""},
        {"value in another unit", "expect value IlimPS 6000 mA\nexpect value IlimPS \"6 A\"\n", true, ""},
        {"value written more precisely", "expect value StartCurrent 80.000\n", false,
         "line 2: StartCurrent: expected 80.000, found 80.0045899838252 %"},
        {"value in a unit of another kind", "expect value Vbrake 70 mm\n", false, "Vbrake has no unit \"mm\""},
        {"value of no parameter", "expect value NoSuch 1\n", false, "the setup has no parameter \"NoSuch\""},
        {"no message at first", "expect no message\nexpect messages 0\n", true, ""},
        {"one message after a warning",
         "set \"Current used (% of nominal current)\" 120\nexpect messages 1\nexpect no message\n", true, ""},
        {"a message that was not expected", "set \"Current used (% of nominal current)\" 120\nexpect no message\n",
         false, "line 3: expected no message, found 1, the last \"You have set a start current"},
        {"message count", "set \"Current used (% of nominal current)\" 120\nexpect messages 2\n", false,
         "expected 2 messages, found 1"},
        {"unit on show",
         "expect unit \"Power supply\" V\nunit \"Current limit\" mA\nexpect unit \"Current limit\" mA\n", true, ""},
        {"another unit on show", "expect unit \"Power supply\" mV\n", false,
         "\"Power supply\": expected the unit \"mV\", found \"V\""},
        {"unit of a field without a list", "expect unit \"Kd filter\" s\n", false, "\"Kd filter\" has no unit list"},
        {"unit on a disabled list", "unit \"Activate if power supply >\" mV\n", false,
         "the unit list of \"Activate if power supply >\" is not visible and enabled"},
        {"unit on an enabled list", "click Connected\nunit \"Activate if power supply >\" V\n", true, ""},
        {"a note names the field before it",
         "set \"Position controller/(Acceleration)\" 0.5\nexpect value KFFA_scl 0.5\nexpect value KFFS_scl 0\n", true,
         ""},
        {"an unquoted id is a control", "expect text " + Id(IDC_DS_VDC) + " 48  # the supply\n", true, ""},
        {"a lone # is still a comment", "expect text \"Power supply\" 48 # " + Id(IDC_DS_VDC) + " 12\n", true, ""},
        {"service mode by its key chord",
         "click \"Drive Info\"\nexpect disabled " + Id(IDC_DRVINFO_NAME) + "\nkey Ctrl+Alt+Shift+S\nexpect enabled " +
             Id(IDC_DRVINFO_NAME) + "\nkey ctrl+alt+shift+s\nexpect disabled " + Id(IDC_DRVINFO_NAME) + "\nclick OK\n",
         true, ""},
        {"a chord without the service modifiers",
         "click \"Drive Info\"\nkey Ctrl+S\nexpect enabled " + Id(IDC_DRVINFO_NAME) + "\n", false,
         "expected enabled, found it disabled"},
        {"a key that is no key", "key Hyper+S\n", false, "key takes a character or Space"},
    };
    for (const ScriptCase& c : cases) {
        SetUp();
        ui = HeadlessUi();
        const ScriptRun run = Run(c.script);
        EXPECT_TRUE(run.parsed) << c.what << ": " << run.error;
        EXPECT_EQ(run.succeeded, c.succeeds) << c.what << ": " << run.error;
        if (!c.succeeds) {
            EXPECT_NE(run.error.find(c.inError), std::string::npos) << c.what << ": " << run.error;
        }
    }
}

TEST_F(EditScript, ControlsListsIdsLabelsStatesAndParameters) {
    const ScriptRun run = Run("controls\n");
    ASSERT_TRUE(run.succeeded) << run.error;
    const std::string expected[] = {
        "dialog \"Drive Setup\"\n",
        "group \"Drive operation parameters\"\n",
        Id(IDC_DS_VDC) + " field \"Power supply\" = \"48\" @Vdc\n",
        Id(IDC_DS_VBRAKE) + " field \"Activate if power supply >\" = \"70\" disabled @Vbrake\n",
        Id(IDC_DS_POSITION_KFFA) + " field \"Feedforward\" or \"(Acceleration)\" = \"0\" @KFFA_scl\n",
        Id(IDC_DS_SPEED_KFFA) + " field \"Feedforward\" or \"(Acceleration)\" = \"0\" hidden @KFFA_scl\n",
        Id(IDC_DS_VDC_UNIT) + " unit list = \"V\" @Vdc\n",
        Id(IDC_DS_BRAKE_CONNECTED) + " check box \"Connected\" @isBrakeResistor",
        Id(IDOK) + " button \"OK\"\n",
    };
    for (const std::string& line : expected)
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "in\n" << run.out;
}

struct NameCase {
    const char* name;
    int id;
};

TEST_F(EditScript, LabelsNameTheFieldTheyStandBeside) {
    const NameCase cases[] = {
        {"Speed controller/(Acceleration)", IDC_DS_SPEED_KFFA},
        {"Speed controller/(Speed)", IDC_DS_SPEED_KFFS},
        {"Position controller/(Acceleration)", IDC_DS_POSITION_KFFA},
        {"Position controller/(Speed)", IDC_DS_POSITION_KFFS},
        {"Position controller/Feedforward", IDC_DS_POSITION_KFFA},
        {"Kd filter", IDC_DS_FILTER_D},
        {"Position controller/Kd", IDC_DS_KD_P},
        {"Activate if power supply >", IDC_DS_VBRAKE},
    };
    bool ran = false;
    ui.OnDialog("Brushless Motor Setup", [](DialogDriver& d) { d.Click("Cancel"); });
    ui.OnDialog("Drive Setup", [&](DialogDriver& d) {
        ran = true;
        for (const NameCase& c : cases) EXPECT_EQ(d.Find(c.name), c.id) << c.name << ": " << d.Error();
        d.Click("Cancel");
    });
    RunEditSetup(setup.get());
    EXPECT_TRUE(ran);
}

}  // namespace
