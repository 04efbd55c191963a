// The motor phase connection test: its pass rule on chosen currents, and the whole run from the
// motor setup's button through the host and the link to the simulated drive's windings.
#include "MotorSetupDialog.h"
#include "PhaseConnectionForm.h"
#include "TestPhaseConnections.h"

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace {

using namespace pelmora;

constexpr const char* kCaption = "Motor Phase Connection Test";
constexpr const char* kFailedText =
    "Possible causes of failure:\n\t- one of the motor phases is disconnected\n\t- the motor phases are unbalanced "
    "(they do not have the same resistance)\n\t- the test current isn't high enough.\nPlease check the motor phase "
    "connections to the drive and repeat the test. If the test fails and the connections are OK, increase the test "
    "current value.";

TEST(PhaseCurrents, PassOnlyForPhaseACarryingTheCurrentAndBHalfOfItBack) {
    struct Case {
        double ia_A, ib_A;
        bool pass;
    };
    constexpr double I = 1.25;
    const Case cases[] = {
        {I, -I / 2.0, true},
        {I, -I / 1.5, false},        // a ratio of exactly 1.5 is not above it
        {I, -I / 2.5, false},        // nor one of exactly 2.5 below it
        {1.4 * I, -0.7 * I, false},  // the current band is strict too
        {0.6 * I, -0.3 * I, false},
        {1.39 * I, -0.7 * I, true},
        {0.61 * I, -0.3 * I, true},
        {-I, I / 2.0, false},        // the ratio is 2, the signs are wrong
        {I, I / 2.0, false},
        {I, 0.0, false},             // no current back through B: no division either
        {0.0, 0.0, false},
        {I, -I, false},              // phase C open: all of it returns through B
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "IA " << c.ia_A << " IB " << c.ib_A);
        EXPECT_EQ(PhaseCurrentsPass({c.ia_A, c.ib_A}, I), c.pass);
    }
}

TEST(PhaseCurrents, CountsBecomeAmperesToTwoDecimals) {
    struct Case {
        double counts, imax_A, fullScale;
        double expected_A;
    };
    const Case cases[] = {
        {5115.0, 8.0, 65472.0, 1.25},
        {-2558.0, 8.0, 65472.0, -0.63},  // −0.625: halves away from zero
        {32736.0, 8.0, 65472.0, 8.0},
        {0.0, 8.0, 65472.0, 0.0},
        {1000.0, 20.0, 4092.0, 9.78},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.counts << " counts of " << c.fullScale << " at " << c.imax_A << " A");
        EXPECT_DOUBLE_EQ(PhaseCurrentFromCounts(c.counts, c.imax_A, c.fullScale), c.expected_A);
    }
}

class PhaseConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        AttachCoreScales(*setup);
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }
    // The setup's parameters, to see that the test changed none (opening any test clears the
    // start's minimum move; that is all).
    std::map<std::string, double> Parameters() const {
        std::map<std::string, double> values;
        for (const auto& p : setup->GetParameters()) values[p->GetName()] = p->GetValueInBaseUnit();
        values.erase("ABSTART_MINMOVE");
        return values;
    }

    // Opens the test, presses Start, waits for the outcome, then `then`; Close last.
    void RunTest(const std::function<void(DialogDriver&, CTestPhaseConnections&)>& then = nullptr) {
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        CTestPhaseConnections dialog(setup.get());
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 60.0);
            status = dialog.GetChildText(IDC_TEST_STATUS);
            ia = dialog.GetChildText(IDC_PHASE_IA_VALUE);
            ib = dialog.GetChildText(IDC_PHASE_IB_VALUE);
            barA = dialog.GetBar(0).GetCurrentValue();
            barB = dialog.GetBar(1).GetCurrentValue();
            if (then) then(d, dialog);
            if (dialog.IsOpen()) d.Click("Close");
        });
        returned = dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
    }

    std::unique_ptr<HeadlessUi> ui;
    std::unique_ptr<CMC_Setup> setup;
    drivesim::SimConfig sim = drivesim::DefaultSimConfig();
    bool ended = false;
    int returned = -1;
    int result = -2;
    double barA = 0.0, barB = 0.0;
    std::string error, status, ia, ib;
};

TEST_F(PhaseConnection, TheMotorSetupButtonRunsTheTestAndChangesNothing) {
    CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    const auto before = Parameters();
    bool opened = false;
    std::string shownStatus;
    ui->OnDialog("Brushless Motor Setup", [&](DialogDriver& d) {
        ui->OnDialog(kCaption, [&](DialogDriver& test) {
            opened = true;
            ASSERT_TRUE(test.Click("#10000")) << test.Error();
            test.WaitUntil([&] { return !static_cast<CMC_TestDlg&>(test.Dialog()).m_bRunning; }, 30.0);
            shownStatus = test.Dialog().GetChildText(IDC_TEST_STATUS);
            test.Click("Close");
        });
        ASSERT_TRUE(d.Click("Test Phase Connections")) << d.Error();
        d.Click("OK");
    });
    CMotorSetupDialog dialog(setup.get());
    dialog.DoModal();
    ASSERT_TRUE(opened) << "the button did not open the test";
    EXPECT_EQ(shownStatus, CMC_TestDlg::kSucceededText);
    EXPECT_EQ(Parameters(), before);
}

TEST_F(PhaseConnection, EveryHealthyMotorPasses) {
    const std::array motors = {"", "winding_10uH.json", "winding_1H.json", "delta.json", "heavy_load_friction.json",
                               "reversed_transmission.json"};
    for (const char* motor : motors) {
        SCOPED_TRACE(*motor ? motor : "default");
        SetUp();
        if (*motor) {
            auto loaded = drivesim::LoadSimConfig(std::string(PELMORA_MOTOR_DIR) + "/" + motor);
            ASSERT_TRUE(loaded.ok()) << loaded.error;
            sim = *loaded.value;
        } else {
            sim = drivesim::DefaultSimConfig();
        }
        const double test_A = setup->FindParameter("TestCurrent")->GetValueInBaseUnit();
        RunTest();
        EXPECT_EQ(result, 1) << error;
        EXPECT_EQ(status, CMC_TestDlg::kSucceededText);
        EXPECT_EQ(returned, IDCANCEL);
        ASSERT_FALSE(ia.empty());
        ASSERT_FALSE(ib.empty());
        EXPECT_NEAR(std::stod(ia), test_A, 0.05 * test_A);
        EXPECT_NEAR(std::stod(ib), -test_A / 2.0, 0.05 * test_A);
        EXPECT_DOUBLE_EQ(barA, std::stod(ia)) << "the bar does not show IA";
        EXPECT_DOUBLE_EQ(barB, std::stod(ib)) << "the bar does not show IB";
        std::printf("phases %s: IA %s A, IB %s A (test current %.3g A)\n", *motor ? motor : "default", ia.c_str(),
                    ib.c_str(), test_A);
    }
}

TEST_F(PhaseConnection, FaultsEndWithTheirMessageAndChangeNothing) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&)> inject;
        std::string expected;  // empty: the link's text, whatever it says
        bool currentsShown;
    };
    const Case cases[] = {
        {"phase A open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::A; },
         CMC_TestDlg::msc_pszErrInZero, false},
        // Positioning drives phase B first: without it the drive cannot apply the current.
        {"phase B open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::B; },
         CMC_TestDlg::msc_pszErrInZero, false},
        {"phase C open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::C; }, kFailedText, true},
        {"phase B at twice the resistance",
         [](drivesim::SimConfig& s) { s.faults.resistance_factor = {1.0, 2.0, 1.0}; }, kFailedText, true},
        {"ENABLE inactive", [](drivesim::SimConfig& s) { s.faults.enable_inactive = true; },
         "Drive / Motor ENABLE input is in DISABLED state.", false},
        {"short circuit", [](drivesim::SimConfig& s) { s.faults.short_circuit_at_s = 0.3; },
         "Drive / Motor shortcircuit protection triggered.", false},
        {"phase program fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Motor_Phase_Connection_Test"; },
         CMC_TestDlg::msc_pszErrInternal, false},
        {"positioning fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Initial_Positioning_Test"; },
         CMC_TestDlg::msc_pszErrInternal, false},
        {"read of var_i2 fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "var_i2"; }, "", false},
        {"read of MER fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "MER"; },
         CMC_TestDlg::msc_pszErrInternal, false},
        {"link dropped", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 1.0; }, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim = drivesim::DefaultSimConfig();
        c.inject(sim);
        const auto before = Parameters();
        RunTest();
        EXPECT_TRUE(ended) << "the run did not end";
        EXPECT_EQ(result, 0);
        EXPECT_EQ(status, CMC_TestDlg::kFailedText);
        if (c.expected.empty()) {
            EXPECT_FALSE(error.empty());
            EXPECT_NE(error, CMC_TestDlg::msc_pszErrInternal);
        } else {
            EXPECT_EQ(error, c.expected);
        }
        EXPECT_EQ(!ia.empty() && !ib.empty(), c.currentsShown) << "IA " << ia << ", IB " << ib;
        EXPECT_EQ(barA, 0.0) << "a failed run moved the bars";
        EXPECT_EQ(barB, 0.0);
        EXPECT_EQ(Parameters(), before) << "the test changed the setup";
        std::printf("phases fault %s: IA '%s' IB '%s'\n", c.name, ia.c_str(), ib.c_str());
    }
}

TEST_F(PhaseConnection, ANewTestCurrentMovesThePassBandAndTheBarsAtTheNextStart) {
    struct Case {
        const char* typed;
        double test_A;
        int result;
    };
    // The drive measures what it was asked to hold: the band follows the current typed.
    const Case cases[] = {{"1.25", 1.25, 1}, {"2", 2.0, 1}, {"0.8", 0.8, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        SetUp();
        double low = 0.0, high = 0.0, seenCurrent = 0.0;
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        CTestPhaseConnections dialog(setup.get());
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Type("#1005", c.typed)) << d.Error();
            seenCurrent = dialog.GetTestCurrent_A();
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            low = dialog.GetBar(0).GetLow();
            high = dialog.GetBar(0).GetHigh();
            d.WaitUntil([&] { return !dialog.m_bRunning; }, 30.0);
            d.Click("Close");
        });
        dialog.DoModal();
        EXPECT_DOUBLE_EQ(seenCurrent, c.test_A);
        EXPECT_DOUBLE_EQ(low, -1.5 * c.test_A);
        EXPECT_DOUBLE_EQ(high, 1.5 * c.test_A);
        EXPECT_EQ(dialog.m_nResult, c.result) << dialog.m_strError;
        EXPECT_NEAR(std::stod(dialog.GetChildText(IDC_PHASE_IA_VALUE)), c.test_A, 0.05 * c.test_A);
    }
}

TEST_F(PhaseConnection, HelpOpensTheTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    CTestPhaseConnections dialog(setup.get());
    ui->OnDialog(kCaption, [&](DialogDriver& d) {
        d.Click("Help");
        d.Click("Close");
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    ASSERT_EQ(ui->HelpOpened().size(), 1U);
    EXPECT_EQ(ui->HelpOpened()[0].second, 262411);
}

}  // namespace
