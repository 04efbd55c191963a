// The analogue reference test as a user runs it from the external reference setup, against the
// simulated drive's potentiometer: what the numbers and bars show, and how Stop and faults end it.
#include "SimTestRun.h"

#include "AnalogReferenceDlg.h"
#include "AnalogueRefTestForm.h"
#include "TestAnalogueRef.h"
#include "TestCommands.h"

#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

namespace {

using namespace pelmora;
using namespace sim_testing;

constexpr const char* kCaption = "Analogue Reference Test";

TEST(AnalogueInputValue, MapsTheInputCountsOntoTheRangeToTwoDecimals) {
    struct Case {
        double low, high, ad5, expected;
    };
    const Case cases[] = {
        {-10.0, 10.0, 32736.0, 0.0},   {-10.0, 10.0, 65472.0, 10.0}, {-10.0, 10.0, 0.0, -10.0},
        {0.0, 5.0, 16368.0, 1.25},     {0.0, 3.3, 65472.0, 3.3},     {-3000.0, 3000.0, 49104.0, 1500.0},
        {100.0, 500.0, 0.0, 100.0},    {0.0, 10.0, 64.0, 0.01},      {-2.0, 2.0, 21824.0, -0.67},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.low << ".." << c.high << " at " << c.ad5);
        EXPECT_DOUBLE_EQ(AnalogueInputValue(c.low, c.high, c.ad5), c.expected);
    }
}

TEST(BarDrawingReference, BarsAreDrawnFromZeroUnlessTheRangeLiesOnOneSide) {
    struct Case {
        double lo, hi, expected;
    };
    const Case cases[] = {{-3000.0, 3000.0, 0.0}, {100.0, 500.0, 100.0}, {-500.0, -100.0, -500.0},
                          {0.0, 3.3, 0.0},        {-10.0, 10.0, 0.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.lo << ".." << c.hi);
        EXPECT_DOUBLE_EQ(BarDrawingReference(c.lo, c.hi), c.expected);
    }
}

class AnalogueReference : public SimTestFixture {
protected:
    // What the dialog showed while it ran.
    struct Shown {
        std::string voltage, voltageUnit, command, commandLabel, commandUnit;
        double voltageBar = NAN, commandBar = NAN, commandLow = NAN, commandHigh = NAN, commandReference = NAN;
    };

    // Runs the test for `run_ms`, notes what it shows, presses Stop and closes.
    RunOutcome RunFor(double run_ms, Shown& shown, const std::function<void(DialogDriver&)>& more = nullptr) {
        CTestAnalogueRef dialog(setup.get());
        return Run(dialog, run_ms / 1000.0, [&](DialogDriver& d) {
            shown.voltage = dialog.GetChildText(IDC_ANREF_VOLTAGE_VALUE);
            shown.voltageUnit = dialog.GetChildText(IDC_ANREF_VOLTAGE_UNIT);
            shown.command = dialog.GetChildText(IDC_ANREF_COMMAND_VALUE);
            shown.commandLabel = dialog.GetChildText(IDC_ANREF_COMMAND_LABEL);
            shown.commandUnit = dialog.GetChildText(IDC_ANREF_COMMAND_UNIT);
            shown.voltageBar = dialog.VoltageBar().GetCurrentValue();
            shown.commandBar = dialog.CommandBar().GetCurrentValue();
            shown.commandLow = dialog.CommandBar().GetLow();
            shown.commandHigh = dialog.CommandBar().GetHigh();
            shown.commandReference = dialog.CommandBar().GetDrawingReference();
            if (more) more(d);
            if (dialog.m_bRunning) {
                d.Click("#10000");
                d.WaitUntil([&] { return !dialog.m_bRunning; }, 1.0);
            }
        });
    }
};

TEST_F(AnalogueReference, TestInTheExternalReferenceSetupShowsTheInputAndItsCommand) {
    struct Case {
        int controlMode;
        const char* label;
        const char* unit;
        const char* minName;
        const char* maxName;
        double input_V;
    };
    const Case cases[] = {
        {0, "Position command", "mm", "POS_min", "POS_max", 2.5},
        {1, "Speed command", "m/s", "SPD_min", "SPD_max", -7.5},
        {2, "Current command", "A", "CRT_min", "CRT_max", 10.0},
        {1, "Speed command", "m/s", "SPD_min", "SPD_max", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.label << " at " << c.input_V << " V");
        FreshSetup();
        Set("ControlMode", c.controlMode);
        sim = drivesim::DefaultSimConfig();
        sim.drive.analogue_input_V = c.input_V;
        Fresh();
        bool opened = false;
        Shown shown;
        std::string status, changed;
        double low = NAN, high = NAN;  // the command's range in its unit on show, as the test opens
        ui->OnDialog("External Reference Setup", [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("Analogue")) << d.Error();
            ui->OnDialog(kCaption, [&](DialogDriver& test) {
                opened = true;
                const auto before = Snapshot();
                low = setup->FindParameter(c.minName)->GetValue();
                high = setup->FindParameter(c.maxName)->GetValue();
                auto& dialog = static_cast<CTestAnalogueRef&>(test.Dialog());
                ASSERT_TRUE(test.Click("#10000")) << test.Error();
                test.Wait_ms(200.0);
                EXPECT_EQ(dialog.GetChildText(IDC_TEST_STATUS), "Running test");
                shown.voltage = dialog.GetChildText(IDC_ANREF_VOLTAGE_VALUE);
                shown.voltageUnit = dialog.GetChildText(IDC_ANREF_VOLTAGE_UNIT);
                shown.command = dialog.GetChildText(IDC_ANREF_COMMAND_VALUE);
                shown.commandLabel = dialog.GetChildText(IDC_ANREF_COMMAND_LABEL);
                shown.commandUnit = dialog.GetChildText(IDC_ANREF_COMMAND_UNIT);
                shown.voltageBar = dialog.VoltageBar().GetCurrentValue();
                shown.commandBar = dialog.CommandBar().GetCurrentValue();
                shown.commandLow = dialog.CommandBar().GetLow();
                shown.commandHigh = dialog.CommandBar().GetHigh();
                ASSERT_TRUE(test.Click("#10000")) << test.Error();  // Stop
                test.Wait_ms(100.0);
                status = dialog.GetChildText(IDC_TEST_STATUS);
                test.Click("Close");
                changed = Changed(before, Snapshot());
            });
            ASSERT_TRUE(d.Click("Test")) << d.Error();
            d.Click("Cancel");
        });
        CAnalogReferenceDlg reference(setup.get());
        reference.DoModal();
        ASSERT_TRUE(opened) << "Test did not open the analogue reference test";
        EXPECT_EQ(status, CMC_TestDlg::kSucceededText) << "Stop is the successful end";
        EXPECT_EQ(changed, "") << "the test wrote into the setup";

        // One count of the 10-bit input is 20 V / 1023.
        const double step_V = 20.0 / 1023.0;
        EXPECT_NEAR(std::stod(shown.voltage), c.input_V, step_V) << shown.voltage;
        EXPECT_EQ(shown.voltageUnit, "V");
        EXPECT_DOUBLE_EQ(shown.voltageBar, std::stod(shown.voltage));
        const double expected = low + (high - low) * (c.input_V + 10.0) / 20.0;
        EXPECT_NEAR(std::stod(shown.command), expected, (high - low) / 1023.0 + 0.01) << shown.command;
        EXPECT_EQ(shown.commandLabel, c.label);
        EXPECT_EQ(shown.commandUnit, c.unit);
        EXPECT_DOUBLE_EQ(shown.commandBar, std::stod(shown.command));
        EXPECT_DOUBLE_EQ(shown.commandLow, low);
        EXPECT_DOUBLE_EQ(shown.commandHigh, high);
    }
}

TEST_F(AnalogueReference, UnipolarInputsSpanTheirOwnRange) {
    struct Case {
        double inputsRange_V;
        double low_V, high_V;
        double input_V;
    };
    const Case cases[] = {{5.0, 0.0, 5.0, 1.7}, {3.3, 0.0, 3.3, 3.3}, {20.0, -10.0, 10.0, -10.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "range " << c.inputsRange_V << " V at " << c.input_V << " V");
        FreshSetup();
        Set("AnalogueInputsRange", c.inputsRange_V);
        sim = drivesim::DefaultSimConfig();
        sim.drive.analogue_low_V = c.low_V;
        sim.drive.analogue_high_V = c.high_V;
        sim.drive.analogue_input_V = c.input_V;
        Fresh();
        Shown shown;
        const RunOutcome outcome = RunFor(100.0, shown);
        EXPECT_EQ(outcome.result, 1) << outcome.error;
        EXPECT_NEAR(std::stod(shown.voltage), c.input_V, (c.high_V - c.low_V) / 1023.0 + 0.005) << shown.voltage;
        EXPECT_DOUBLE_EQ(shown.commandReference, 0.0);
    }
}

TEST_F(AnalogueReference, FaultsEndTheRunWithTheirMessageAndChangeNothing) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&)> inject;
        int result;            // 1: the run goes on until Stop
        std::string expected;  // empty: any message
    };
    const Case cases[] = {
        {"short circuit", [](drivesim::SimConfig& s) { s.faults.forced_mer = 0x0002; }, 0,
         "Drive / Motor shortcircuit protection triggered."},
        {"ENABLE inactive", [](drivesim::SimConfig& s) { s.faults.enable_inactive = true; }, 1, ""},
        {"positive limit switch", [](drivesim::SimConfig& s) { s.faults.positive_limit_active = true; }, 1, ""},
        {"phase open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::B; }, 1, ""},
        {"program fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Analogue_Reference_Test"; }, 0,
         CMC_TestDlg::msc_pszErrInternal},
        {"read of AD5 fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "AD5"; }, 0, ""},
        {"read of MER fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "MER"; }, 0,
         CMC_TestDlg::msc_pszErrInternal},
        {"link dropped while running", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 0.15; }, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim = drivesim::DefaultSimConfig();
        c.inject(sim);
        Fresh();
        const auto before = Snapshot();
        Shown shown;
        const RunOutcome outcome = RunFor(500.0, shown);
        EXPECT_EQ(outcome.result, c.result) << outcome.error;
        if (c.result == 0) {
            EXPECT_TRUE(outcome.ended) << "the run did not end";
            EXPECT_EQ(outcome.status, CMC_TestDlg::kFailedText);
            if (c.expected.empty()) {
                EXPECT_FALSE(outcome.error.empty());
            } else {
                EXPECT_EQ(outcome.error, c.expected);
            }
        } else {
            EXPECT_FALSE(outcome.ended) << "the run ended before Stop";
        }
        EXPECT_EQ(Changed(before, Snapshot()), "");
        EXPECT_TRUE(ui->Messages().empty()) << "closing asked a question";
    }
}

TEST_F(AnalogueReference, StopEndsTheRunAsASuccessEveryTime) {
    Fresh();
    CTestAnalogueRef dialog(setup.get());
    std::vector<int> results;
    ui->OnDialog(kCaption, [&](DialogDriver& d) {
        for (int run = 0; run < 3; ++run) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            d.Wait_ms(60.0);
            ASSERT_TRUE(dialog.m_bRunning) << "run " << run << " ended by itself";
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            d.WaitUntil([&] { return !dialog.m_bRunning; }, 1.0);
            results.push_back(dialog.m_nResult);
            EXPECT_EQ(dialog.GetChildText(IDC_TEST_STATUS), CMC_TestDlg::kSucceededText) << "run " << run;
        }
        d.Click("Close");
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(results, (std::vector<int>{1, 1, 1}));
}

TEST_F(AnalogueReference, HelpOpensTheTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    Fresh();
    Shown shown;
    RunFor(40.0, shown, [](DialogDriver& d) { d.Click("Help"); });
    ASSERT_EQ(ui->HelpOpened().size(), 1U);
    EXPECT_EQ(ui->HelpOpened().front().second, CTestAnalogueRef::kHelpTopic);
}

TEST(AnalogueReferenceCommand, ShowsTheReadingsAfterStopAndSavesNothing) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error();
    const std::filesystem::path out =
        std::filesystem::temp_directory_path() / ("pelmora-analogue-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".json");
    std::ostringstream printed;
    std::ostringstream progress;
    TestArguments a;
    a.name = "analogue-reference";
    a.outPath = out.string();
    EXPECT_EQ(RunTest(CommandContext{printed, progress, plugin}, a), 0) << progress.str();
    // The default potentiometer sits at 0 V: the middle count of a +-10 V input.
    EXPECT_EQ(printed.str(), "Analogue input voltage = 0.01 V\nPosition command = 0.10 mm\n") << progress.str();
    EXPECT_NE(progress.str().find("pelmora test analogue-reference: Running test\n"), std::string::npos);
    EXPECT_NE(progress.str().find("pelmora test analogue-reference: Test succeeded\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(out)) << "a test that finds no values saved the setup";
    EXPECT_FALSE(CMC_Comm::IsConnected());
}

}  // namespace
