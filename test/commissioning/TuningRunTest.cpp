// The run the speed and position tuning tests share, on the speed program of the simulated drive:
// every plot mode, single and multi-cycle, gains changed on the moving axis, and the faults.
#include "SimTestRun.h"
#include "TuningRun.h"

#include "BaseQuantities.h"
#include "Encode.h"
#include "HeadlessUi.h"
#include "MC_CoffFormat.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <drivesim/Protocol.h>
#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pelmora;

constexpr int kHookTimer = 99;

constexpr std::array<const char*, 8> kTexts = {
    kTuningStatusTexts[0], kTuningStatusTexts[1], kTuningStatusTexts[2], kTuningStatusTexts[3],
    kTuningStatusTexts[4], kTuningStatusTexts[5], kTuningStatusTexts[6], "procedure"};

const TuningRunSpec kSpeedRun{
    "Speed_Controller_Tuning_Test",
    "TestSpeed",
    &GetLoadSpeedScale,
    {"TaPS", "TPS", "TaNS", "TNS"},
    "SpeedTestReferenceType",
    "OnlinePlotS",
    "MultiCycleS",
    "Speed_Reference",
    "Load_Speed",
    {"Speed_Reference", "Load_Speed", "Current_Reference", "Motor_Current"},
    RampRule::Speed,
    kTexts.data(),
};

constexpr std::array kControls = {
    ControlTemplate{IDC_TEST_STATUS, ControlKind::StaticText},
    ControlTemplate{IDC_TEST_RESULT, ControlKind::StaticText},
    ControlTemplate{IDC_TEST_ICON, ControlKind::Picture},
    ControlTemplate{IDC_TEST_DETAILS, ControlKind::Button, "&Details"},
    ControlTemplate{IDC_TEST_START, ControlKind::Button, "&Start"},
    ControlTemplate{IDC_TUNING_LOGGER_GRAPH, ControlKind::Graph},
    ControlTemplate{IDC_TUNING_SCOPE_GRAPH, ControlKind::Graph},
    ControlTemplate{IDC_TUNING_FRAME_STATS, ControlKind::StaticText},
    ControlTemplate{IDC_TUNING_PAUSE, ControlKind::Button, "Pause"},
    ControlTemplate{IDC_TUNING_CONTINUE, ControlKind::Button, "Continue"},
    ControlTemplate{IDCANCEL, ControlKind::Button, "Close"},
};
const FormTemplate kProbeForm{"Speed Run", kControls};

// The run with the speed test's names and limit writes, and a hook a test schedules on the
// dialog's clock (the run's own loops pump it, as they pump a user's clicks).
class CSpeedRunProbe : public CTuningRunDlg {
public:
    explicit CSpeedRunProbe(CMC_Setup* setup) : CTuningRunDlg(setup, kProbeForm, 102, 1, 262402, kSpeedRun) {}
    void OnTimer(int id) override {
        if (id != kHookTimer) return CTuningRunDlg::OnTimer(id);
        KillTimer(kHookTimer);
        if (hook) hook();
    }
    std::function<void()> hook;

protected:
    bool WriteLimits(CMC_CoffFormat& program) override {
        return WriteCurrentCounts(program, "TestLimitCurrent", "IlimPS_Test") &&
               WriteCurrentCounts(program, "TestProtectionCurrent", "Imax_Prot_Test");
    }
};

double DriveRegister(const char* name) {
    drivesim::Request read;
    read.op = drivesim::Op::ReadRegister;
    read.name = name;
    const drivesim::Response answer = CMC_Comm::Transact(read);
    return answer.ok() ? answer.value : -1e300;
}

// The default setup and simulator, and a headless user interface.
class TuningRun : public sim_testing::SimTestFixture {
public:
    // Reachable from the fault table's lambdas, which see the fixture by reference.
    using sim_testing::SimTestFixture::Set;
    void Option(const char* name, const char* value) { setup->SetOption(name, value); }

protected:
    // Starts the run; `at_s` after Start (drive time) the hook runs; waits for the outcome.
    void Run(double at_s = 0.0, const std::function<void(CSpeedRunProbe&)>& hook = nullptr) {
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        CSpeedRunProbe dialog(setup.get());
        ui->OnDialog("Speed Run", [&](DialogDriver& d) {
            if (hook) {
                dialog.hook = [&] { hook(dialog); };
                dialog.SetTimer(kHookTimer, static_cast<int>(at_s * 1000));
            }
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 30.0);
            if (!ended) d.Click("#10000");
            status = dialog.GetChildText(IDC_TEST_STATUS);
            stats = dialog.GetChildText(IDC_TUNING_FRAME_STATS);
            int axis = 0;
            std::string ignored;
            axisOn = CMC_ProgramRunner::GetAxisOn(axis, ignored) ? axis : -1;
            logged = dialog.GetDataLogger()->GetGraphDocument().GetPointsCount();
            polled = dialog.GetPolledChart().GetPointsCount();
            const CGraphDocument& doc = dialog.GetDataLogger()->GetGraphDocument();
            peakReference = 0.0;
            for (std::size_t k = 0; k < logged; ++k) peakReference = std::max(peakReference, doc.GetValue(k, 1));
            d.Click("Close");
        });
        dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
    }

    bool ended = false;
    int axisOn = -1, result = -2;
    std::size_t logged = 0, polled = 0;
    double peakReference = 0.0;
    std::string status, error, stats;
};

TEST_F(TuningRun, EveryPlotModeRunsTheProfileAndEndsWithTheAxisOff) {
    struct Case {
        const char* name;
        double startMode, online, multi;
        const char* scope;   // "hasOscilloscope"
        double stopAt_s;     // 0: the run ends by itself
    };
    const Case cases[] = {
        {"data logger, one cycle", 0, 0, 0, "1", 0.0},
        {"data logger, one cycle, no positioning", 1, 0, 0, "1", 0.0},
        {"data logger, cycles until Stop", 0, 0, 1, "1", 3.0},
        {"on-line polling, cycles until Stop", 0, 1, 1, "0", 3.0},
        {"on-line scope, cycles until Stop", 0, 1, 1, "1", 3.0},
    };
    for (const Case& c : cases) {
        SetUp();
        setup->SetOption("hasOscilloscope", c.scope);
        Set("StartMode", c.startMode);
        Set("OnlinePlotS", c.online);
        Set("MultiCycleS", c.multi);
        // Cycle after cycle one way would run the mover into its end stop.
        if (c.multi != 0.0) Set("SpeedTestReferenceType", 2);
        if (c.stopAt_s > 0.0) {
            Run(c.stopAt_s, [](CSpeedRunProbe& dialog) { dialog.UserClick(IDC_TEST_START); });
        } else {
            Run();
        }
        EXPECT_TRUE(ended) << c.name << ": did not end";
        EXPECT_EQ(axisOn, 0) << c.name;
        if (c.online != 0.0 && std::string(c.scope) == "1") {
            // Stop ends a scope run as the host ends any run; the frames must have arrived.
            EXPECT_NE(stats.find("frames "), std::string::npos) << c.name << ": " << stats << " / " << status << " / " << error;
            EXPECT_EQ(stats.find("frames 0,"), std::string::npos) << c.name << ": " << stats;
            continue;
        }
        EXPECT_EQ(result, 1) << c.name << ": " << error << " (" << status << ")";
        if (c.online != 0.0) {
            EXPECT_GT(polled, 100U) << c.name;
        } else {
            EXPECT_GT(logged, 1000U) << c.name;
            // 0.5 m/s at 64 counts per m/s: the reference climbs to 32 counts.
            EXPECT_DOUBLE_EQ(peakReference, 0.5) << c.name << ": the logged reference missed the amplitude";
        }
    }
}

TEST_F(TuningRun, GainChangedDuringAMultiCycleRunReachesTheDriveWithinOneCycle) {
    struct Case {
        const char* name;
        double online;
        const char* scope;
    };
    const Case cases[] = {{"data logger", 0, "1"}, {"on-line polling", 1, "0"}};
    for (const Case& c : cases) {
        SetUp();
        setup->SetOption("hasOscilloscope", c.scope);
        Set("MultiCycleS", 1);
        Set("SpeedTestReferenceType", 2);
        Set("OnlinePlotS", c.online);
        double written = -1.0, onDrive = -2.0, cycle_s = 0.0, reachedAfter_s = 1e9;
        Run(2.0, [&](CSpeedRunProbe& dialog) {
            CMC_Parameter* kp = setup->FindParameter("Kp_S_scl");
            kp->SetValueInBaseUnit(kp->GetValueInBaseUnit() * 1.5);
            Encode_SFTKPS(*setup);
            Encode_KPS(*setup);
            const double asked_s = CMC_Comm::DriveTime_s();
            for (const char* reg : {"SFTKPS", "KPS"}) setup->FindParameter(reg)->WriteToChip();
            written = setup->FindParameter("KPS")->GetValueInBaseUnit();
            onDrive = DriveRegister("KPS");
            reachedAfter_s = CMC_Comm::DriveTime_s() - asked_s;
            cycle_s = 0.5;  // TaPS + TPS + TaNS + TNS of the default setup
            EXPECT_EQ(DriveRegister("SFTKPS"), setup->FindParameter("SFTKPS")->GetValueInBaseUnit());
            dialog.UserClick(IDC_TEST_START);
        });
        EXPECT_EQ(onDrive, written) << c.name << ": the new gain is not on the drive";
        EXPECT_LT(reachedAfter_s, cycle_s) << c.name;
        EXPECT_EQ(result, 1) << c.name << ": " << error;
    }
}

TEST_F(TuningRun, FaultsEndTheRunWithTheirMessageAndTheAxisOff) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&, TuningRun&)> inject;
        std::string expected;  // empty: any message
        double stopAt_s = 0.0;
        bool uploaded = false;  // the log is shown although the run failed
    };
    const Case cases[] = {
        {"over-current", [](drivesim::SimConfig&, TuningRun& t) { t.Set("TestProtectionCurrent", 0.05); },
         "Test failed!\nCurrent protection triggered during test!", 0.0, true},
        // The forced bits would already stop the positioning: these runs start without it.
        {"control error trip",
         [](drivesim::SimConfig& s, TuningRun& t) {
             s.faults.forced_mer = 0x0008;
             t.Set("StartMode", 1);
         },
         "Drive / Motor control error protection triggered."},
        {"positive limit switch",
         [](drivesim::SimConfig& s, TuningRun& t) {
             s.faults.positive_limit_active = true;
             t.Set("StartMode", 1);
         },
         "Drive / Motor stopped due to positive limit switch input triggered."},
        // Cycle after cycle one way the mover reaches its positive switch: the trip ends the
        // program, which empties the log and closes the scope stream; the switch is the news.
        {"travel's end reached cycle after cycle, data logger",
         [](drivesim::SimConfig&, TuningRun& t) { t.Set("MultiCycleS", 1); },
         "Drive / Motor stopped due to positive limit switch input triggered."},
        {"travel's end reached cycle after cycle, on-line scope",
         [](drivesim::SimConfig&, TuningRun& t) {
             t.Option("hasOscilloscope", "1");
             t.Set("OnlinePlotS", 1);
             t.Set("MultiCycleS", 1);
         },
         "Drive / Motor stopped due to positive limit switch input triggered."},
        // A trip no message names ends the program: the register's value is what the user gets,
        // not the text for a broken connection.
        {"trip no message names (I2t), on-line scope",
         [](drivesim::SimConfig& s, TuningRun& t) {
             s.faults.forced_mer = 0x0010;
             t.Set("StartMode", 1);
             t.Option("hasOscilloscope", "1");
             t.Set("OnlinePlotS", 1);
             t.Set("MultiCycleS", 1);
         },
         "The drive ended the test with a protection this test does not name (MER = 0x0010). Check the drive's "
         "error register before starting the test again."},
        {"link dropped mid-run", [](drivesim::SimConfig& s, TuningRun&) { s.faults.link_drop_at_s = 1.6; }, ""},
        {"plateau longer than the program counts", [](drivesim::SimConfig&, TuningRun& t) { t.Set("TPS", 20.0); },
         kErrSegmentPeriods},
        {"Stop pressed mid-profile", [](drivesim::SimConfig&, TuningRun&) {}, "", 1.6},
    };
    for (const Case& c : cases) {
        SetUp();
        c.inject(sim, *this);
        if (c.stopAt_s > 0.0) {
            Run(c.stopAt_s, [](CSpeedRunProbe& dialog) { dialog.UserClick(IDC_TEST_START); });
        } else {
            Run();
        }
        EXPECT_TRUE(ended) << c.name << ": did not end";
        EXPECT_NE(result, 1) << c.name;
        if (c.stopAt_s > 0.0) {
            EXPECT_EQ(status, CMC_TestDlg::kStoppedText) << c.name;
        } else if (c.expected.empty()) {
            EXPECT_FALSE(error.empty()) << c.name;
        } else {
            EXPECT_EQ(error, c.expected) << c.name;
        }
        if (!sim.faults.link_drop_at_s) {
            EXPECT_EQ(axisOn, 0) << c.name;
        }
        if (c.uploaded) {
            EXPECT_GT(logged, 0U) << c.name << ": the failed run's log was not shown";
        }
    }
}

// A frame as the link hands it over: length in words, axis, code, then the payload.
std::vector<std::uint8_t> Frame(std::uint16_t code, std::uint16_t claimedWords, const std::vector<std::uint16_t>& payload) {
    std::vector<std::uint8_t> bytes;
    const auto put = [&](std::uint16_t w) {
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    };
    put(claimedWords);
    put(1);
    put(code);
    for (std::uint16_t w : payload) put(w);
    return bytes;
}

TEST_F(TuningRun, BadScopeFramesAreCountedAndShownAndTheRunGoesOn) {
    Set("OnlinePlotS", 1);
    Set("MultiCycleS", 1);
    Set("SpeedTestReferenceType", 2);
    std::string during;
    // After the positioning, while the scope streams.
    Run(2.5, [&](CSpeedRunProbe& dialog) {
        const CMC_Comm::UnsolicitedMsgHandler handler = CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(nullptr);
        CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(handler);
        ASSERT_NE(handler, nullptr) << "the scope registered no frame handler";
        // The stream numbers its frames from 0: one three ahead of the next is held, and made a
        // stray when the stream goes on without it.
        const auto next = static_cast<std::uint16_t>(dialog.GetScopeLogger()->GetFrameStats().frames);
        std::vector<std::uint16_t> jumped = {static_cast<std::uint16_t>(next + 3), 1, 0, 0, 0, 0, 0, 0, 0, 0};
        const std::vector<std::vector<std::uint8_t>> frames = {
            Frame(0xE900, 1, {7}),             // malformed: too short
            Frame(0xE900, 200, {7, 1, 0, 0}),  // malformed: claims more than came
            Frame(0xE900, 10, jumped),         // off the stream
            Frame(0xE900, 10, jumped),         // repeated
            Frame(0x1234, 10, jumped),         // another message: not the scope's
            {0x01},                            // not even a header
        };
        for (const auto& frame : frames) handler(frame.data(), frame.size());
        dialog.SetTimer(kHookTimer, 500);
        dialog.hook = [&] {
            during = dialog.GetChildText(IDC_TUNING_FRAME_STATS);
            dialog.UserClick(IDC_TEST_START);
        };
    });
    EXPECT_TRUE(ended) << "the run stalled";
    EXPECT_EQ(axisOn, 0);
    EXPECT_EQ(during.find("frames 0,"), std::string::npos) << during;
    EXPECT_EQ(during.find("malformed 0"), std::string::npos) << during;
    EXPECT_EQ(during.find("repeated 0"), std::string::npos) << during;
    // The stream's own frames all came: the stray costs none of them.
    EXPECT_NE(during.find("lost 0,"), std::string::npos) << during;
    EXPECT_NE(during.find("stray 1"), std::string::npos) << during;
}

}  // namespace
