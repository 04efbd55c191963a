// An active limit switch stops the preliminary positioning every moving test starts with: each of
// those tests names the switch, as the tests without a positioning do, and changes nothing.
#include "SimTestRun.h"

#include "MyTestDlg.h"
#include "TestFactory.h"

#include <functional>
#include <memory>
#include <string>

namespace {

using namespace pelmora;
using namespace sim_testing;

class LimitSwitchInPositioning : public SimTestFixture {};

TEST_F(LimitSwitchInPositioning, EveryTestThatPositionsFirstNamesTheActiveSwitch) {
    struct Opened {
        const char* name;
        CommissioningTest test;
        const char* tab;  // where Start is, when the dialog has tabs
    };
    const Opened tests[] = {
        {"offset detection", CommissioningTest::OffsetDetection, nullptr},
        {"phase connections", CommissioningTest::PhaseConnection, nullptr},
        {"resistance and inductance", CommissioningTest::ResistanceInductance, nullptr},
        {"total mass", CommissioningTest::TotalMass, nullptr},
        {"current tuning", CommissioningTest::CurrentTuning, "Test"},
    };
    struct Fault {
        const char* name;
        std::function<void(drivesim::SimConfig&)> inject;
        std::string expected;
    };
    const Fault faults[] = {
        {"positive switch", [](drivesim::SimConfig& s) { s.faults.positive_limit_active = true; }, kPositiveLimitText},
        {"negative switch", [](drivesim::SimConfig& s) { s.faults.negative_limit_active = true; }, kNegativeLimitText},
        // Both at once: the first bit examined names the fault.
        {"both switches", [](drivesim::SimConfig& s) {
             s.faults.positive_limit_active = true;
             s.faults.negative_limit_active = true;
         }, kPositiveLimitText},
        // An open phase still reads as a current the drive could not apply.
        {"phase A open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::A; },
         CMC_TestDlg::msc_pszErrInZero},
    };
    for (const Opened& t : tests) {
        for (const Fault& f : faults) {
            SCOPED_TRACE(std::string(t.name) + " with " + f.name);
            sim = drivesim::DefaultSimConfig();
            f.inject(sim);
            FreshSetup();
            Fresh();
            const auto before = Snapshot();
            std::unique_ptr<CDialog> made = MakeTestDialog(t.test, setup.get());
            auto* dialog = dynamic_cast<CMC_TestDlg*>(made.get());
            ASSERT_NE(dialog, nullptr);
            const RunOutcome out = Run(*dialog, 60.0, nullptr, [&](DialogDriver& d) {
                if (t.tab) {
                    ASSERT_TRUE(d.Select("#1300", t.tab)) << d.Error();
                }
            });
            EXPECT_TRUE(out.ended) << "the run did not end";
            EXPECT_EQ(out.result, 0);
            EXPECT_EQ(out.status, CMC_TestDlg::kFailedText);
            EXPECT_EQ(out.error, f.expected);
            EXPECT_EQ(Changed(before, Snapshot()), "");
        }
    }
}

}  // namespace
