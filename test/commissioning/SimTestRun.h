// Running a commissioning test dialog headless against the in-process simulated drive, as a user
// does: Start, wait on the host's clock, look at the outcome, close.
#pragma once

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"
#include "MC_TestDlg.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim_testing {

// What a run left behind.
struct RunOutcome {
    bool ended = false;  // the run ended by itself within the wait
    int result = -2;     // the dialog's result code
    int returned = -1;   // what DoModal returned
    std::string status;
    std::string error;
};

// The drive's error texts the tests show.
inline const std::string kEnableInactiveText = "Drive / Motor ENABLE input is in DISABLED state.";
inline const std::string kShortCircuitText = "Drive / Motor shortcircuit protection triggered.";
inline const std::string kPositiveLimitText = "Drive / Motor stopped due to positive limit switch input triggered.";
inline const std::string kNegativeLimitText = "Drive / Motor stopped due to negative limit switch input triggered.";

// A fault injected into the simulator, and the error text it must end a test with (empty: the
// link's or the drive's own text, whatever it says).
struct FaultCase {
    const char* name;
    std::function<void(drivesim::SimConfig&)> inject;
    std::string expected;
};

// The faults that end the preliminary positioning every moving test starts with.
inline std::vector<FaultCase> PositioningFaults() {
    const std::string zero = CMC_TestDlg::msc_pszErrInZero;
    const std::string internal = CMC_TestDlg::msc_pszErrInternal;
    return {
        {"phase A open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::A; }, zero},
        {"ENABLE inactive", [](drivesim::SimConfig& s) { s.faults.enable_inactive = true; }, kEnableInactiveText},
        {"positive limit switch", [](drivesim::SimConfig& s) { s.faults.positive_limit_active = true; },
         kPositiveLimitText},
        {"short circuit at start", [](drivesim::SimConfig& s) { s.faults.forced_mer = 0x0002; }, kShortCircuitText},
        {"read of MER fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "MER"; }, internal},
        {"write of a register fails", [](drivesim::SimConfig& s) { s.faults.failing_write = "REFTST"; }, internal},
        {"positioning fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Initial_Positioning_Test"; }, internal},
    };
}

// A simulator file of drivesim/motors/ read over the default truth.
inline drivesim::SimConfig MotorSim(const std::string& file) {
    if (file.empty()) return drivesim::DefaultSimConfig();
    auto loaded = drivesim::LoadSimConfig(std::string(PELMORA_MOTOR_DIR) + "/" + file);
    EXPECT_TRUE(loaded.ok()) << loaded.error;
    return loaded.ok() ? *loaded.value : drivesim::DefaultSimConfig();
}

// The in-process drive, noting on the drive's clock when each program was started and when the
// host last spoke to the drive: where a fault must land within a run, the run's own timeline
// says when, not a fixed moment that the noise and the plant's arithmetic move.
class TimelineLink final : public DriveLink {
public:
    struct Timeline {
        std::map<std::string, double> started_s;  // the last start of each program
        double last_s = 0.0;
    };
    TimelineLink(const drivesim::SimConfig& sim, Timeline& timeline) : m_drive(sim), m_timeline(timeline) {}
    drivesim::Response Transact(const drivesim::Request& request) override {
        if (request.op == drivesim::Op::Download) m_program = request.name;
        if (request.op == drivesim::Op::Start) m_timeline.started_s[m_program] = request.time_s;
        m_timeline.last_s = request.time_s;
        return m_drive.Transact(request);
    }
    std::string Describe() const override { return m_drive.Describe(); }

private:
    InProcessLink m_drive;
    Timeline& m_timeline;
    std::string m_program;
};

class SimTestFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
        sim = drivesim::DefaultSimConfig();
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }
    // A fresh user interface, clock and drive for the next case of a table.
    void Fresh() {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    }
    // A fresh default setup as well.
    void FreshSetup() {
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        pelmora::AttachCoreScales(*setup);
    }

    // The next case of a fault table: a fresh default setup, then a fresh drive on the default
    // simulator with the fault `inject`ed (which may change the setup as well).
    void FreshWithFault(const std::function<void(drivesim::SimConfig&)>& inject) {
        FreshSetup();
        sim = drivesim::DefaultSimConfig();
        inject(sim);
        Fresh();
    }

    double Value(const char* name) const { return setup->FindParameter(name)->GetValueInBaseUnit(); }
    void Set(const char* name, double value) { ASSERT_TRUE(setup->FindParameter(name)->SetValueInBaseUnit(value)) << name; }

    // Every parameter's base value, to tell what a run changed.
    std::map<std::string, double> Snapshot() const {
        std::map<std::string, double> values;
        for (const auto& p : setup->GetParameters()) values[p->GetName()] = p->GetValueInBaseUnit();
        return values;
    }
    // The parameters whose values differ between two snapshots, but for the start method's
    // minimum move, which opening any test zeroes.
    static std::string Changed(const std::map<std::string, double>& before, const std::map<std::string, double>& after) {
        std::string names;
        for (const auto& [name, value] : before) {
            if (name == "ABSTART_MINMOVE") continue;
            const auto it = after.find(name);
            if (it == after.end() || it->second != value) names += name + " ";
        }
        return names;
    }

    // Opens `dialog`, runs `prepare` (by default nothing), presses Start, waits for the run to end
    // (at most `wait_s` of the host's clock), then `then` (by default nothing) and Close.
    RunOutcome Run(CMC_TestDlg& dialog, double wait_s, const std::function<void(DialogDriver&)>& then = nullptr,
                   const std::function<void(DialogDriver&)>& prepare = nullptr) {
        RunOutcome outcome;
        ui->OnDialog(std::string(dialog.GetCaption()), [&](DialogDriver& d) {
            if (prepare) prepare(d);
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            outcome.ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, wait_s);
            outcome.status = dialog.GetChildText(IDC_TEST_STATUS);
            if (then) then(d);
            if (dialog.m_bRunning) d.Click("#10000");
            if (dialog.IsOpen()) d.Click("Close");
        });
        outcome.returned = dialog.DoModal();
        outcome.result = dialog.m_nResult;
        outcome.error = dialog.m_strError;
        return outcome;
    }

    // A `then` for Run that presses Close with the answer queued for the closing question, notes
    // whether the dialog stayed open (Cancel) and, if so, answers Yes to the next question.
    std::function<void(DialogDriver&)> CloseNoting(bool& stayedOpen) {
        return [this, &stayedOpen](DialogDriver& d) {
            d.Click("Close");
            stayedOpen = d.Dialog().IsOpen();
            if (stayedOpen) ui->QueueAnswer(IDYES);
        };
    }

    // The first question the run asked; empty when it asked none.
    std::string Question() const { return ui->Messages().empty() ? std::string() : ui->Messages().front().text; }

    std::unique_ptr<HeadlessUi> ui;
    std::unique_ptr<CMC_Setup> setup;
    drivesim::SimConfig sim;
};

// The closing question's answers: what DoModal then returns (-1: the dialog stays open) and
// whether the setup keeps the values found.
struct ClosingAnswer {
    int answer;
    int returned;
    bool kept;
};
inline constexpr ClosingAnswer kClosingAnswers[] = {{IDYES, IDOK, true}, {IDNO, IDCANCEL, false}, {IDCANCEL, -1, true}};

// Whether a run closed with `answer` (see CloseNoting) ended as that answer says.
inline void ExpectClosedAs(const RunOutcome& outcome, bool stayedOpen, const ClosingAnswer& answer) {
    EXPECT_EQ(stayedOpen, answer.returned == -1);
    if (answer.returned != -1) {
        EXPECT_EQ(outcome.returned, answer.returned);
    }
}

// A run that ended by itself and succeeded.
inline void ExpectSucceeded(const RunOutcome& out) {
    EXPECT_TRUE(out.ended) << "the run did not end";
    EXPECT_EQ(out.result, 1) << out.error;
}

// How a failed run's error text must read.
enum class ErrorText {
    Exactly,     // the expected text
    BeginsWith,  // the expected text, and maybe more
};

// A run a fault ended: by itself, failed, with `expected` as its error text; an empty `expected`
// stands for the link's or the drive's own text, whatever it says, but never the host's
// internal error.
inline void ExpectFailedWith(const RunOutcome& out, const std::string& expected, ErrorText match = ErrorText::Exactly) {
    EXPECT_TRUE(out.ended) << "the run did not end";
    EXPECT_EQ(out.result, 0) << out.error;
    EXPECT_EQ(out.status, CMC_TestDlg::kFailedText);
    if (expected.empty()) {
        EXPECT_TRUE(!out.error.empty() && out.error != CMC_TestDlg::msc_pszErrInternal) << out.error;
    } else if (match == ErrorText::BeginsWith) {
        EXPECT_EQ(out.error.rfind(expected, 0), 0U) << out.error;
    } else {
        EXPECT_EQ(out.error, expected);
    }
}

}  // namespace sim_testing
