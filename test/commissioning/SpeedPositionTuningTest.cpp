// The speed and position tuning tests through their dialog on the simulated drive, as a user
// clicks them: every run mode from "Tune & Test", gains reaching the moving axis, the moved mass
// kept in step, the amplitude in whole counts, the position test's program and limits, the scope's
// settings, and the faults.
#include "SimTestRun.h"

#include "DriveSetupDlg.h"
#include "DriveSetupForm.h"
#include "TestPositionTuning.h"
#include "TestSpeedTuning.h"
#include "TuningTestForm.h"

#include <drivesim/Protocol.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace {

using namespace pelmora;
using sim_testing::SimTestFixture;

constexpr int kHookTimer = 99;
constexpr const char* kSpeedCaption = "Speed Controller Tuning Test";
constexpr const char* kPositionCaption = "Position Controller Tuning Test";
constexpr const char* kOverCurrent = "Test failed!\nCurrent protection triggered during test!";

// A tuning test with a hook the test schedules on the dialog's clock: the run's own loops pump
// it, as they pump a user's clicks.
template <typename Test>
class Hooked : public Test {
public:
    using Test::Test;
    using Test::m_main;
    void OnTimer(int id) override {
        if (id != kHookTimer) return Test::OnTimer(id);
        this->KillTimer(kHookTimer);
        if (hook) {
            const auto once = hook;
            hook = nullptr;
            once();
        }
    }
    void At(double after_s, std::function<void()> action) {
        hook = std::move(action);
        this->SetTimer(kHookTimer, static_cast<int>(after_s * 1000));
    }
    std::function<void()> hook;
};

drivesim::Response Ask(drivesim::Op op, const char* name) {
    drivesim::Request request;
    request.op = op;
    request.name = name;
    return CMC_Comm::Transact(request);
}

double DriveRegister(const char* name) {
    const drivesim::Response answer = Ask(drivesim::Op::ReadRegister, name);
    return answer.ok() ? answer.value : -1e300;
}

int AxisOn() {
    int axis = 0;
    std::string ignored;
    return CMC_ProgramRunner::GetAxisOn(axis, ignored) ? axis : -1;
}

// The simulated drive, refusing single writes of one register (the setup's download at each start
// still goes through).
class RefusingLink : public DriveLink {
public:
    RefusingLink(const drivesim::SimConfig& sim, std::string refused) : m_drive(sim), m_refused(std::move(refused)) {}
    drivesim::Response Transact(const drivesim::Request& request) override {
        if (request.op == drivesim::Op::WriteRegister && request.name == m_refused) {
            drivesim::Response refusal;
            refusal.error = "writing " + m_refused + " failed: the drive did not acknowledge";
            return refusal;
        }
        return m_drive.Transact(request);
    }
    std::string Describe() const override { return "refusing simulator"; }

private:
    InProcessLink m_drive;
    std::string m_refused;
};

struct Outcome {
    bool ended = false;
    int result = -2;
    int axisOn = -1;
    std::string error, status, stats;
    std::size_t logged = 0, polled = 0, scoped = 0;
};

enum class Which { Speed, Position };
const char* Caption(Which which) { return which == Which::Speed ? kSpeedCaption : kPositionCaption; }
const char* NameOf(Which which) { return which == Which::Speed ? "speed" : "position"; }

class TuningDialogs : public SimTestFixture {
public:
    void SetValue(const char* name, double value) { Set(name, value); }

protected:
    // Names of one test's parameters.
    struct Names {
        const char* online;
        const char* multi;
        const char* type;
        const char* kp;
        const char* kpRegister;
        const char* kpShift;
    };
    static Names NamesOf(Which which) {
        return which == Which::Speed ? Names{"OnlinePlotS", "MultiCycleS", "SpeedTestReferenceType", "Kp_S_scl", "KPS", "SFTKPS"}
                                     : Names{"OnlinePlotP", "MultiCycleP", "PositionTestReferenceType", "Kp_P_scl", "KPP", "SFTKPP"};
    }

    // Opens the test, goes to "Test", runs `before`, presses Start; `stopAt_s` later (0: never)
    // presses Stop, `during` runs `duringAt_s` after Start; waits for the end and cancels.
    template <typename Test>
    Outcome Run(const std::function<void(DialogDriver&, Hooked<Test>&)>& before = nullptr, double stopAt_s = 0.0,
                double duringAt_s = 0.0, const std::function<void(Hooked<Test>&)>& during = nullptr) {
        CMC_Comm::Connect(nextLink ? std::move(nextLink) : std::make_unique<InProcessLink>(sim));
        Outcome out;
        Hooked<Test> dialog(setup.get());
        ui->OnDialog(std::string(dialog.GetCaption()), [&](DialogDriver& d) {
            ASSERT_TRUE(d.Select("#1300", "Test")) << d.Error();
            if (before) before(d, dialog);
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            if (during) {
                dialog.At(duringAt_s, [&] {
                    during(dialog);
                    if (stopAt_s > duringAt_s) dialog.At(stopAt_s - duringAt_s, [&] { dialog.UserClick(IDC_TEST_START); });
                });
            } else if (stopAt_s > 0.0) {
                dialog.At(stopAt_s, [&] { dialog.UserClick(IDC_TEST_START); });
            }
            out.ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 30.0);
            if (!out.ended) d.Click("#10000");
            out.status = dialog.GetChildText(IDC_TEST_STATUS);
            out.stats = dialog.GetChildText(IDC_TT_FRAME_STATS);
            out.axisOn = AxisOn();
            out.logged = dialog.GetDataLogger()->GetGraphDocument().GetPointsCount();
            out.polled = dialog.GetPolledChart().GetPointsCount();
            if (dialog.GetScopeLogger()) out.scoped = dialog.GetScopeLogger()->GetGraphDocument().GetPointsCount();
            if (afterRun) afterRun(d);
            d.Click("Cancel");
        });
        dialog.DoModal();
        out.result = dialog.m_nResult;
        out.error = dialog.m_strError;
        return out;
    }

    Outcome RunEither(Which which, const std::function<void(DialogDriver&, CTuningTestDlg&)>& before = nullptr,
                      double stopAt_s = 0.0, double duringAt_s = 0.0,
                      const std::function<void(CTuningTestDlg&)>& during = nullptr) {
        if (which == Which::Speed) {
            return Run<CTestSpeedTuning>(
                [&](DialogDriver& d, Hooked<CTestSpeedTuning>& t) { if (before) before(d, t); }, stopAt_s, duringAt_s,
                during ? std::function<void(Hooked<CTestSpeedTuning>&)>([&](Hooked<CTestSpeedTuning>& t) { during(t); })
                       : nullptr);
        }
        return Run<CTestPositionTuning>(
            [&](DialogDriver& d, Hooked<CTestPositionTuning>& t) { if (before) before(d, t); }, stopAt_s, duringAt_s,
            during ? std::function<void(Hooked<CTestPositionTuning>&)>([&](Hooked<CTestPositionTuning>& t) { during(t); })
                   : nullptr);
    }

    // A multi-cycle run, bidirectional so that cycle after cycle keeps the mover off its end
    // stops, plotted on-line (a scope's frames when `scope` is "1", else polling).
    Names PrepareMultiCycleOnline(Which which, const char* scope = "0") {
        const Names n = NamesOf(which);
        setup->SetOption("hasOscilloscope", scope);
        Set(n.online, 1);
        Set(n.multi, 1);
        Set(n.type, 2);
        return n;
    }

    // The link the next run connects through; the plain simulator when none.
    std::unique_ptr<DriveLink> nextLink;
    // What the user does once the run has ended, before closing.
    std::function<void(DialogDriver&)> afterRun;
};

TEST_F(TuningDialogs, TuneAndTestInTheDriveSetupOpensEachTestAndRunsItToSuccess) {
    struct Case {
        Which which;
        int button;
    };
    const Case cases[] = {{Which::Speed, IDC_DS_SPEED_TUNE}, {Which::Position, IDC_DS_POSITION_TUNE}};
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        bool opened = false;
        std::string status, result;
        ui->OnDialog("Drive Setup", [&](DialogDriver& d) {
            ui->OnDialog(Caption(c.which), [&](DialogDriver& test) {
                opened = true;
                ASSERT_TRUE(test.Select("#1300", "Test")) << test.Error();
                ASSERT_TRUE(test.Click("Tune")) << test.Error();
                ASSERT_TRUE(test.Click("#10000")) << test.Error();
                test.WaitUntil([&] { return test.Dialog().GetChildText(IDC_TEST_STATUS) == CMC_TestDlg::kSucceededText; },
                               30.0);
                status = test.Dialog().GetChildText(IDC_TEST_STATUS);
                result = test.Dialog().GetChildText(IDC_TEST_RESULT);
                ASSERT_TRUE(test.Click("OK")) << test.Error();
            });
            ASSERT_TRUE(d.Click("#" + std::to_string(c.button))) << NameOf(c.which) << ": " << d.Error();
            d.Click("OK");
        });
        CDriveSetupDlg dialog(setup.get());
        dialog.DoModal();
        EXPECT_TRUE(opened) << NameOf(c.which) << ": \"Tune & Test\" did not open the test";
        EXPECT_EQ(status, CMC_TestDlg::kSucceededText) << NameOf(c.which) << ": " << result;
    }
}

TEST_F(TuningDialogs, EveryRunModeRunsToItsEndWithTheAxisOff) {
    struct Case {
        const char* mode;
        double online, multi;
        const char* scope;  // "hasOscilloscope"
        double stopAt_s;    // 0: the run ends by itself
    };
    const Case modes[] = {
        {"data logger, one cycle", 0, 0, "1", 0.0},
        {"data logger, cycles until Stop", 0, 1, "1", 3.0},
        {"on-line polling, cycles until Stop", 1, 1, "0", 3.0},
        {"on-line scope, one cycle", 1, 0, "1", 0.0},
        {"on-line scope, cycles until Stop", 1, 1, "1", 3.0},
    };
    for (Which which : {Which::Speed, Which::Position}) {
        for (const Case& c : modes) {
            FreshSetup();
            Fresh();
            const Names n = NamesOf(which);
            setup->SetOption("hasOscilloscope", c.scope);
            Set(n.online, c.online);
            Set(n.multi, c.multi);
            // Cycle after cycle one way would run the mover into its end stop.
            if (c.multi != 0.0) Set(n.type, 2);
            const std::string name = std::string(NameOf(which)) + ", " + c.mode;
            const Outcome out = RunEither(which, nullptr, c.stopAt_s);
            EXPECT_TRUE(out.ended) << name << ": did not end";
            EXPECT_EQ(out.axisOn, 0) << name;
            if (c.online != 0.0 && std::string(c.scope) == "1") {
                EXPECT_EQ(out.stats.find("frames 0,"), std::string::npos) << name << ": " << out.stats;
                if (c.multi == 0.0) {
                    EXPECT_EQ(out.result, 1) << name << ": " << out.error << " (" << out.status << ")";
                }
                continue;
            }
            EXPECT_EQ(out.result, 1) << name << ": " << out.error << " (" << out.status << ")";
            if (c.online != 0.0) {
                EXPECT_GT(out.polled, 100U) << name;
            } else {
                EXPECT_GT(out.logged, 1000U) << name;
            }
        }
    }
}

TEST_F(TuningDialogs, PolledRunShowsItsLatestValuesBesideLegendsInTheCurvesColours) {
    struct Case {
        Which which;
        int reference, response;     // the value statics
        const char *refName, *respName;  // the polled variables
    };
    const Case cases[] = {
        {Which::Speed, IDC_TT_SPEED_REF_VALUE, IDC_TT_LOAD_SPEED_VALUE, "Speed_Reference", "Load_Speed"},
        {Which::Position, IDC_TT_POSITION_REF_VALUE, IDC_TT_LOAD_POSITION_VALUE, "Target_Position", "Load_Position"},
    };
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        PrepareMultiCycleOnline(c.which);
        std::string reference, response, expectedReference, expectedResponse;
        bool shown = false, hiddenAfter = false;
        std::optional<std::uint32_t> referenceColour, responseColour;
        // The chart's newest point against the values beside it: number and unit.
        std::string chartReference, chartResponse;
        afterRun = [&](DialogDriver& d) {
            hiddenAfter = !d.Dialog().GetControl(c.response)->visible && !d.Dialog().GetControl(IDC_TT_RESPONSE_LEGEND)->visible;
        };
        const std::string name = NameOf(c.which);
        const Outcome out = RunEither(c.which, nullptr, 3.0, 2.0, [&](CTuningTestDlg& dialog) {
            reference = dialog.GetChildText(c.reference);
            response = dialog.GetChildText(c.response);
            shown = dialog.GetControl(c.reference)->visible && dialog.GetControl(c.response)->visible &&
                    dialog.GetControl(IDC_TT_REFERENCE_LEGEND)->visible;
            referenceColour = dialog.GetControl(IDC_TT_REFERENCE_LEGEND)->background;
            responseColour = dialog.GetControl(IDC_TT_RESPONSE_LEGEND)->background;
            // The variables the run read last, as the statics must show them.
            expectedReference = LiveValueText(*setup->FindVariable(c.refName, 1));
            expectedResponse = LiveValueText(*setup->FindVariable(c.respName, 1));
            const CGraphDocument& chart = dialog.GetPolledChart();
            const std::size_t last = chart.GetPointsCount() - 1;
            const auto asShown = [&](int item) {
                char number[32];
                const auto end = std::to_chars(number, number + sizeof number, chart.GetValue(last, item)).ptr;
                return std::string(number, end) + " " + chart.GetItems()[static_cast<std::size_t>(item)].unit;
            };
            if (chart.GetPointsCount() > 0) {
                chartReference = asShown(1);
                chartResponse = asShown(2);
            }
        });
        afterRun = nullptr;
        ASSERT_TRUE(out.ended) << name;
        EXPECT_TRUE(shown) << name << ": live values hidden while polling";
        EXPECT_TRUE(hiddenAfter) << name << ": live values still shown after the run";
        EXPECT_FALSE(reference.empty()) << name;
        EXPECT_EQ(reference, expectedReference) << name;
        EXPECT_EQ(response, expectedResponse) << name;
        EXPECT_EQ(chartReference, reference) << name;
        EXPECT_EQ(chartResponse, response) << name;
        EXPECT_EQ(referenceColour, RGB16(2)) << name;
        EXPECT_EQ(responseColour, RGB16(5)) << name;
    }
}

TEST_F(TuningDialogs, GainTypedDuringAMultiCycleRunReachesTheDriveWithinOneCycle) {
    struct Case {
        Which which;
        const char* scope;
    };
    const Case cases[] = {{Which::Speed, "0"}, {Which::Speed, "1"}, {Which::Position, "0"}, {Which::Position, "1"}};
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        const Names n = PrepareMultiCycleOnline(c.which, c.scope);
        const double cycle_s = c.which == Which::Speed ? Value("TaPS") + Value("TPS") + Value("TaNS") + Value("TNS")
                                                       : Value("TaPP") + Value("TPP") + Value("TaNP") + Value("TNP");
        const double typed = Value(n.kp) * 1.5;
        double written = -1.0, onDrive = -2.0, shift = -3.0, after_s = 1e9;
        const std::string name = std::string(NameOf(c.which)) + (std::string(c.scope) == "1" ? ", scope" : ", polling");
        const Outcome out = RunEither(c.which, nullptr, 3.0, 2.0, [&](CTuningTestDlg& dialog) {
            const double asked_s = CMC_Comm::DriveTime_s();
            dialog.UserEnterText(IDC_TT_KP, std::to_string(typed));
            after_s = CMC_Comm::DriveTime_s() - asked_s;
            written = setup->FindParameter(n.kpRegister)->GetValueInBaseUnit();
            onDrive = DriveRegister(n.kpRegister);
            shift = DriveRegister(n.kpShift);
        });
        EXPECT_NEAR(Value(n.kp), typed, 0.01 * typed) << name;
        EXPECT_EQ(onDrive, written) << name << ": the new gain is not on the drive";
        EXPECT_EQ(shift, setup->FindParameter(n.kpShift)->GetValueInBaseUnit()) << name;
        EXPECT_LT(after_s, cycle_s) << name;
        EXPECT_TRUE(out.ended) << name;
        EXPECT_EQ(out.axisOn, 0) << name;
    }
}

TEST_F(TuningDialogs, LiveWritesStopAtTheFirstRegisterTheDriveRefuses) {
    struct Case {
        Which which;
        const char* refused;
        const char* notSent;
    };
    const Case cases[] = {{Which::Speed, "SFTKPS", "KPS"}, {Which::Position, "SFTKPP", "KPP"}};
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        nextLink = std::make_unique<RefusingLink>(sim, c.refused);
        const Names n = PrepareMultiCycleOnline(c.which);
        double before = 0.0, after = 0.0, inSetup = 0.0;
        RunEither(c.which, nullptr, 2.5, 2.0, [&](CTuningTestDlg& dialog) {
            before = DriveRegister(c.notSent);
            dialog.UserEnterText(IDC_TT_KP, std::to_string(Value(n.kp) * 1.37));
            after = DriveRegister(c.notSent);
            inSetup = setup->FindParameter(c.notSent)->GetValueInBaseUnit();
        });
        EXPECT_NE(inSetup, before) << NameOf(c.which) << ": the gain did not change its register";
        EXPECT_EQ(after, before) << NameOf(c.which) << ": " << c.notSent << " was sent after " << c.refused
                                 << " was refused";
    }
}

TEST_F(TuningDialogs, FaultsEndTheRunWithTheirMessageTheAxisOffAndTheSetupAsItWas) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&, TuningDialogs&)> inject;
        std::string expected;  // empty: any message
        double stopAt_s = 0.0;
        // A protection level below the current limit, as an older setup may hold: the "Test" tab
        // refuses it, so it is set once the tab is open.
        double protection_A = 0.0;
    };
    const Case cases[] = {
        {"over-current", [](drivesim::SimConfig&, TuningDialogs&) {}, kOverCurrent, 0.0, 0.05},
        // The forced bits would already stop the positioning: these runs start without it.
        {"control error trip",
         [](drivesim::SimConfig& s, TuningDialogs& t) {
             s.faults.forced_mer = 0x0008;
             t.SetValue("StartMode", 1);
         },
         "Drive / Motor control error protection triggered."},
        {"positive limit switch",
         [](drivesim::SimConfig& s, TuningDialogs& t) {
             s.faults.positive_limit_active = true;
             t.SetValue("StartMode", 1);
         },
         "Drive / Motor stopped due to positive limit switch input triggered."},
        {"link dropped mid-run", [](drivesim::SimConfig& s, TuningDialogs&) { s.faults.link_drop_at_s = 1.6; }, ""},
        {"Stop pressed mid-profile", [](drivesim::SimConfig&, TuningDialogs&) {}, "", 1.6},
    };
    for (Which which : {Which::Speed, Which::Position}) {
        for (const Case& c : cases) {
            FreshSetup();
            sim = drivesim::DefaultSimConfig();
            c.inject(sim, *this);
            Fresh();
            // The position test's launch hands the drive current limit to the speed loop under it.
            if (which == Which::Position) Set("IlimPS", Value("TestLimitCurrent"));
            std::map<std::string, double> before;
            const std::string name = std::string(NameOf(which)) + ", " + c.name;
            const Outcome out = RunEither(
                which,
                [&](DialogDriver&, CTuningTestDlg&) {
                    if (c.protection_A > 0.0) Set("TestProtectionCurrent", c.protection_A);
                    before = Snapshot();
                },
                c.stopAt_s);
            EXPECT_TRUE(out.ended) << name << ": did not end";
            EXPECT_NE(out.result, 1) << name;
            if (c.stopAt_s > 0.0) {
                EXPECT_EQ(out.status, CMC_TestDlg::kStoppedText) << name;
            } else if (c.expected.empty()) {
                EXPECT_FALSE(out.error.empty()) << name;
            } else {
                EXPECT_EQ(out.error, c.expected) << name;
            }
            if (!sim.faults.link_drop_at_s) {
                EXPECT_EQ(out.axisOn, 0) << name;
            }
            std::string changed = Changed(before, Snapshot());
            // Recomputed from the unchanged limit at launch: the same values.
            EXPECT_EQ(changed, "") << name << ": the run changed the setup";
        }
    }
    sim = drivesim::DefaultSimConfig();
}

TEST_F(TuningDialogs, TuneDuringAMultiCycleRunSendsTheDesignedGainsToTheDrive) {
    struct Case {
        Which which;
        int passbandField;
        std::vector<const char*> registers;
    };
    const Case cases[] = {
        {Which::Speed, IDC_TT_PASSBAND, {"SFTKPS", "KPS", "SFTKIS", "KIS"}},
        {Which::Position, IDC_TT_PASSBAND, {"SFTKPP", "KPP", "SFTKIP", "KIP", "SFTKDP", "KDP"}},
    };
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        const Names n = PrepareMultiCycleOnline(c.which);
        const double kp = Value(n.kp);
        std::vector<std::string> missed;
        const Outcome out = RunEither(c.which, nullptr, 3.0, 2.0, [&](CTuningTestDlg& dialog) {
            const std::string passband = dialog.GetChildText(c.passbandField);
            dialog.UserEnterText(c.passbandField, std::to_string(std::stod(passband) * 0.8));
            dialog.UserClick(IDC_TT_TUNE);
            for (const char* reg : c.registers) {
                if (DriveRegister(reg) != setup->FindParameter(reg)->GetValueInBaseUnit()) missed.emplace_back(reg);
            }
        });
        EXPECT_NE(Value(n.kp), kp) << NameOf(c.which) << ": Tune changed nothing";
        EXPECT_TRUE(missed.empty()) << NameOf(c.which) << ": not on the drive: " << missed.front();
        EXPECT_TRUE(out.ended) << NameOf(c.which);
    }
}

TEST_F(TuningDialogs, ScopeCatchesTheProfileOfEveryReferenceType) {
    struct Case {
        Which which;
        double type;
    };
    const Case cases[] = {{Which::Speed, 0}, {Which::Speed, 1}, {Which::Speed, 2},
                          {Which::Position, 0}, {Which::Position, 1}, {Which::Position, 2}};
    for (const Case& c : cases) {
        FreshSetup();
        Fresh();
        const Names n = NamesOf(c.which);
        setup->SetOption("hasOscilloscope", "1");
        Set(n.online, 1);
        Set(n.multi, 0);
        Set(n.type, c.type);
        const Outcome out = RunEither(c.which);
        const std::string name = std::string(NameOf(c.which)) + ", reference type " + std::to_string(c.type);
        EXPECT_EQ(out.result, 1) << name << ": " << out.error;
        EXPECT_EQ(out.stats.find("frames 0,"), std::string::npos) << name << ": " << out.stats;
        EXPECT_GT(out.scoped, 0U) << name << ": the scope never triggered";
    }
}

TEST_F(TuningDialogs, SavePlotsWritesThePlotOnShowUnderTheTestsName) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "pelmora_tuning_plots";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    ::setenv("PELMORA_GUI_DIR", folder.c_str(), 1);
    afterRun = [](DialogDriver& d) { ASSERT_TRUE(d.Click("Save Plots")) << d.Error(); };
    for (Which which : {Which::Speed, Which::Position}) {
        FreshSetup();
        Fresh();
        const Outcome out = RunEither(which, nullptr);
        ASSERT_EQ(out.result, 1) << NameOf(which) << ": " << out.error;
    }
    afterRun = nullptr;
    ::unsetenv("PELMORA_GUI_DIR");
    for (const char* stem : {"SpeedTuning.csv", "PositionTuning.csv"}) {
        EXPECT_TRUE(std::filesystem::exists(folder / stem)) << stem;
        EXPECT_GT(std::filesystem::exists(folder / stem) ? std::filesystem::file_size(folder / stem) : 0U, 1000U) << stem;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
