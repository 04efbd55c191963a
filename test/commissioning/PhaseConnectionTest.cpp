// The motor phase connection test: its pass rule on chosen currents, and the whole run from the
// motor setup's button through the host and the link to the simulated drive's windings.
#include "SimTestRun.h"

#include "MotorSetupDialog.h"
#include "PhaseConnectionForm.h"
#include "TestPhaseConnections.h"

#include <cstdio>

namespace {

using namespace pelmora;
using namespace sim_testing;

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

class PhaseConnection : public SimTestFixture {
protected:
    // The currents the dialog shows in its boxes and on its bars.
    struct Shown {
        std::string ia, ib;
        double barA = 0.0, barB = 0.0;
    };
    static Shown ShownBy(const CTestPhaseConnections& test) {
        return {test.GetChildText(IDC_PHASE_IA_VALUE), test.GetChildText(IDC_PHASE_IB_VALUE),
                test.GetBar(0).GetCurrentValue(), test.GetBar(1).GetCurrentValue()};
    }
};

TEST_F(PhaseConnection, EveryHealthyMotorPassesFromTheMotorSetupAndNothingChanges) {
    for (const char* motor : {"", "winding_10uH.json", "winding_1H.json", "delta.json", "heavy_load_friction.json",
                              "reversed_transmission.json"}) {
        SCOPED_TRACE(*motor ? motor : "default");
        sim = MotorSim(motor);
        FreshSetup();
        Fresh();
        const auto before = Snapshot();
        const double test_A = Value("TestCurrent");
        std::string status, error;
        Shown shown;
        ui->OnDialog("Brushless Motor Setup", [&](DialogDriver& d) {
            ui->OnDialog(kCaption, [&](DialogDriver& t) {
                auto& test = static_cast<CTestPhaseConnections&>(t.Dialog());
                ASSERT_TRUE(t.Click("#10000")) << t.Error();
                t.WaitUntil([&] { return !test.m_bRunning; }, 30.0);
                status = test.GetChildText(IDC_TEST_STATUS);
                error = test.m_strError;
                shown = ShownBy(test);
                t.Click("Close");
            });
            ASSERT_TRUE(d.Click("Test Phase Connections")) << d.Error();
            d.Click("OK");
        });
        CMotorSetupDialog(setup.get()).DoModal();
        ASSERT_EQ(status, CMC_TestDlg::kSucceededText) << error;
        ASSERT_FALSE(shown.ia.empty() || shown.ib.empty());
        EXPECT_NEAR(std::stod(shown.ia), test_A, 0.05 * test_A);
        EXPECT_NEAR(std::stod(shown.ib), -test_A / 2.0, 0.05 * test_A);
        EXPECT_DOUBLE_EQ(shown.barA, std::stod(shown.ia)) << "the bar does not show IA";
        EXPECT_DOUBLE_EQ(shown.barB, std::stod(shown.ib)) << "the bar does not show IB";
        EXPECT_EQ(Changed(before, Snapshot()), "");
        std::printf("phases %s: IA %s A, IB %s A (test current %.3g A)\n", *motor ? motor : "default",
                    shown.ia.c_str(), shown.ib.c_str(), test_A);
    }
}

TEST_F(PhaseConnection, FaultsEndWithTheirMessageAndChangeNothing) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&)> inject;
        const char* expected;  // "": the link's text, whatever it says; null: the test passes
        bool currentsShown;
    };
    using S = drivesim::SimConfig;
    const Case cases[] = {
        {"phase A open", [](S& s) { s.faults.open_phase = drivesim::Phase::A; }, CMC_TestDlg::msc_pszErrInZero, false},
        // Positioning drives phase B first: without it the current cannot be applied.
        {"phase B open", [](S& s) { s.faults.open_phase = drivesim::Phase::B; }, CMC_TestDlg::msc_pszErrInZero, false},
        {"phase C open", [](S& s) { s.faults.open_phase = drivesim::Phase::C; }, kFailedText, true},
        {"phase B at twice the resistance", [](S& s) { s.faults.resistance_factor = {1.0, 2.0, 1.0}; }, kFailedText,
         true},
        {"ENABLE inactive", [](S& s) { s.faults.enable_inactive = true; },
         kEnableInactiveText.c_str(), false},
        {"short circuit", [](S& s) { s.faults.short_circuit_at_s = 0.3; },
         kShortCircuitText.c_str(), false},
        {"phase program fails to start", [](S& s) { s.faults.failing_start = "Motor_Phase_Connection_Test"; },
         CMC_TestDlg::msc_pszErrInternal, false},
        {"positioning fails to start", [](S& s) { s.faults.failing_start = "Initial_Positioning_Test"; },
         CMC_TestDlg::msc_pszErrInternal, false},
        {"read of var_i2 fails", [](S& s) { s.faults.failing_read = "var_i2"; }, "", false},
        {"read of MER fails", [](S& s) { s.faults.failing_read = "MER"; }, CMC_TestDlg::msc_pszErrInternal, false},
        {"link dropped", [](S& s) { s.faults.link_drop_at_s = 1.0; }, "", false},
        // Held on phase A, the current returns through B and C in halves whichever way round they
        // are.
        {"phases B and C swapped", [](S& s) { s.faults.swapped_phases = drivesim::PhasePair::BC; }, nullptr, true},
        // The drive stops the positioning, which then names the switch.
        {"positive limit switch active", [](S& s) { s.faults.positive_limit_active = true; },
         kPositiveLimitText.c_str(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshWithFault(c.inject);
        const auto before = Snapshot();
        CTestPhaseConnections dialog(setup.get());
        Shown shown;
        const RunOutcome out = Run(dialog, 60.0, [&](DialogDriver&) { shown = ShownBy(dialog); });
        EXPECT_EQ(Changed(before, Snapshot()), "");
        std::printf("phases fault %s: IA '%s' IB '%s'\n", c.name, shown.ia.c_str(), shown.ib.c_str());
        if (!c.expected) {
            ExpectSucceeded(out);
            continue;
        }
        ExpectFailedWith(out, c.expected);
        EXPECT_EQ(!shown.ia.empty() && !shown.ib.empty(), c.currentsShown) << shown.ia << ", " << shown.ib;
        EXPECT_EQ(shown.barA, 0.0) << "a failed run moved the bars";
        EXPECT_EQ(shown.barB, 0.0);
    }
}

TEST_F(PhaseConnection, ATypedTestCurrentMovesThePassBandAndTheBarsAtTheNextStart) {
    for (const double test_A : {1.25, 2.0, 0.8}) {
        SCOPED_TRACE(test_A);
        FreshSetup();
        Fresh();
        CTestPhaseConnections dialog(setup.get());
        double seen_A = 0.0, low = 0.0, high = 0.0;
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Type("#1005", std::to_string(test_A))) << d.Error();
            seen_A = dialog.GetTestCurrent_A();
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            low = dialog.GetBar(0).GetLow();
            high = dialog.GetBar(0).GetHigh();
            d.WaitUntil([&] { return !dialog.m_bRunning; }, 30.0);
            d.Click("Close");
        });
        dialog.DoModal();
        EXPECT_DOUBLE_EQ(seen_A, test_A);
        EXPECT_DOUBLE_EQ(low, -1.5 * test_A);
        EXPECT_DOUBLE_EQ(high, 1.5 * test_A);
        EXPECT_EQ(dialog.m_nResult, 1) << dialog.m_strError;
        EXPECT_NEAR(std::stod(dialog.GetChildText(IDC_PHASE_IA_VALUE)), test_A, 0.05 * test_A);
    }
}

}  // namespace
