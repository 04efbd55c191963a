// The linear Hall sensors' offset and gain detection run as a user runs it, against the simulated
// drive: from the motor setup's button, through the host and the link, to the calibration stored
// in the setup, with the three signals shown live on the way.
#include "DetectHallGainOffset.h"
#include "HallOffsetForm.h"
#include "MotorSetupDialog.h"

#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"

#include <drivesim/SimConfig.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace pelmora;

constexpr const char* kCaption = "Offset Detection Test";
constexpr const char* kHallMissingText =
    "One Linear Hall signal is missing.\nPlease check the Hall signals connections to the drive and repeat the test. "
    "If the test fails and the connections are OK, increase the test current value.";
constexpr const char* kWrongDirectionText = "Switch any two motor phases or two Linear Hall signals.";
constexpr std::array kCalibration = {"HALLAOFF", "HALLBOFF", "HALLCOFF", "HALLAGAIN",
                                     "HALLBGAIN", "HALLCGAIN", "ALPHA",    "ZAOFF"};
constexpr int kStopTimer = 7;
constexpr int kCloseTimer = 8;

// The test, with a way to press Stop or Close a while into the acquisition, as a user would.
class CHallTestWithUser : public CDetectHallGainOffset {
public:
    using CDetectHallGainOffset::CDetectHallGainOffset;
    void OnTimer(int timerId) override {
        if (timerId == kStopTimer || timerId == kCloseTimer) {
            KillTimer(timerId);
            ++pressed;
            return UserClick(timerId == kStopTimer ? IDC_TEST_START : IDCANCEL);
        }
        const bool acquisitionNext = timerId == kTestTimerId && m_nStep == 4;
        if (acquisitionNext && pressAfter_ms > 0) SetTimer(pressTimer, pressAfter_ms);
        CDetectHallGainOffset::OnTimer(timerId);
    }
    int pressTimer = 0;
    int pressAfter_ms = 0;
    int pressed = 0;
};

// What the simulator's sensors are, as the calibration registers express them.
struct HallTruth {
    std::array<double, 3> offset_counts;
    std::array<double, 3> gain;
};

HallTruth TruthOf(const drivesim::SimConfig& sim) {
    HallTruth truth{};
    for (std::size_t i = 0; i < 3; ++i) {
        const double amplitude_counts = sim.halls.amplitude_V[i] * CDetectHallGainOffset::kHallCountsPerVolt;
        truth.offset_counts[i] = sim.halls.offset_V[i] * CDetectHallGainOffset::kHallCountsPerVolt;
        // Q14 gains that bring each amplitude to 16384.
        truth.gain[i] = 16384.0 * 16384.0 / amplitude_counts;
    }
    return truth;
}

class HallOffsets : public ::testing::Test {
protected:
    void SetUp() override {
        FreshUi();
        SetupLoadResult loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        AttachCoreScales(*setup);
    }
    void TearDown() override {
        CMC_Comm::Connect(nullptr);
        SetUiBackend(nullptr);
    }
    void FreshUi() {
        ui = std::make_unique<HeadlessUi>();
        SetUiBackend(ui.get());
    }
    double Value(const char* name) const { return setup->FindParameter(name)->GetValueInBaseUnit(); }
    std::array<double, kCalibration.size()> Calibration() const {
        std::array<double, kCalibration.size()> values{};
        for (std::size_t i = 0; i < kCalibration.size(); ++i) values[i] = Value(kCalibration[i]);
        return values;
    }

    // Opens the test, presses Start, waits for the outcome, then `then` (by default: Close).
    void RunTest(const std::function<void(CHallTestWithUser&)>& prepare = nullptr,
                 const std::function<void(DialogDriver&)>& then = nullptr) {
        CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
        CHallTestWithUser dialog(setup.get());
        if (prepare) prepare(dialog);
        ui->OnDialog(kCaption, [&](DialogDriver& d) {
            ASSERT_TRUE(d.Click("#10000")) << d.Error();
            ended = d.WaitUntil([&] { return !dialog.m_bRunning; }, 60.0);
            status = dialog.GetChildText(IDC_TEST_STATUS);
            if (then) then(d);
            if (dialog.IsOpen()) d.Click("Close");
        });
        returned = dialog.DoModal();
        result = dialog.m_nResult;
        error = dialog.m_strError;
        samples = dialog.GetSampleCount();
        pressed = dialog.pressed;
        for (std::size_t i = 0; i < 3; ++i) {
            const CGraphDocument& trace = dialog.GetTrace(static_cast<int>(i)).GetDocument();
            tracePoints[i] = trace.GetPointsCount();
            traceMin_V[i] = 1e9;
            traceMax_V[i] = -1e9;
            for (std::size_t p = 0; p < trace.GetPointsCount(); ++p) {
                traceMin_V[i] = std::min(traceMin_V[i], trace.GetValue(p, 1));
                traceMax_V[i] = std::max(traceMax_V[i], trace.GetValue(p, 1));
            }
        }
        axisOn = CMC_Comm::IsConnected() && AxisOn();
    }
    static bool AxisOn() {
        int on = 0;
        std::string error;
        return CMC_ProgramRunner::GetAxisOn(on, error) && on;
    }

    std::unique_ptr<HeadlessUi> ui;
    std::unique_ptr<CMC_Setup> setup;
    drivesim::SimConfig sim = drivesim::DefaultSimConfig();
    bool ended = false;
    bool axisOn = false;
    int returned = -1;
    int result = -2;
    int pressed = 0;
    std::size_t samples = 0;
    std::array<std::size_t, 3> tracePoints{};
    std::array<double, 3> traceMin_V{}, traceMax_V{};
    std::string error, status;
};

TEST_F(HallOffsets, TheMotorSetupButtonCalibratesTheSensorsToTheirTruth) {
    CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    bool opened = false;
    int closedWith = -1;
    ui->OnDialog("Brushless Motor Setup", [&](DialogDriver& d) {
        ui->OnDialog(kCaption, [&](DialogDriver& test) {
            opened = true;
            ASSERT_TRUE(test.Click("#10000")) << test.Error();
            ASSERT_TRUE(test.WaitUntil(
                [&] { return test.Dialog().GetChildText(IDC_TEST_STATUS) == CMC_TestDlg::kSucceededText; }, 30.0))
                << test.Dialog().GetChildText(IDC_TEST_RESULT);
            test.Click("Close");
            closedWith = test.Dialog().IsOpen() ? -1 : IDOK;
        });
        ASSERT_TRUE(d.Click("Linear Hall sensors setup")) << d.Error();
        d.Click("OK");
    });
    CMotorSetupDialog dialog(setup.get());
    dialog.DoModal();
    ASSERT_TRUE(opened) << "the button did not open the test";
    EXPECT_EQ(closedWith, IDOK);
    const HallTruth truth = TruthOf(sim);
    const std::array offsets = {"HALLAOFF", "HALLBOFF", "HALLCOFF"};
    const std::array gains = {"HALLAGAIN", "HALLBGAIN", "HALLCGAIN"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(Value(offsets[i]), truth.offset_counts[i], 0.01 * truth.offset_counts[i]) << offsets[i];
        EXPECT_NEAR(Value(gains[i]), truth.gain[i], 0.01 * truth.gain[i]) << gains[i];
    }
}

TEST_F(HallOffsets, EveryMotorIsCalibratedWithinOnePercent) {
    const std::array motors = {"", "winding_10uH.json", "winding_1H.json", "delta.json", "heavy_load_friction.json",
                               "reversed_transmission.json"};
    for (const char* motor : motors) {
        SCOPED_TRACE(*motor ? motor : "default");
        if (*motor) {
            auto loaded = drivesim::LoadSimConfig(std::string(PELMORA_MOTOR_DIR) + "/" + motor);
            ASSERT_TRUE(loaded.ok()) << loaded.error;
            sim = *loaded.value;
        } else {
            sim = drivesim::DefaultSimConfig();
        }
        SetUp();
        RunTest();
        ASSERT_EQ(result, 1) << error;
        EXPECT_EQ(returned, IDOK);
        const HallTruth truth = TruthOf(sim);
        const std::array<double, 8> found = Calibration();
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_NEAR(found[i], truth.offset_counts[i], 0.01 * truth.offset_counts[i]) << kCalibration[i];
            EXPECT_NEAR(found[3 + i], truth.gain[i], 0.01 * truth.gain[i]) << kCalibration[3 + i];
        }
        // The sensors are spaced exactly 120° (no spacing correction) and Hall A peaks θ_H after
        // the magnet's axis (30° more for a delta winding's star equivalent); both are 16-bit
        // angles, measured while the mover lags the field: within 2 % of a turn.
        const double turn = 65536.0;
        const double zaoff = (sim.halls.angle_deg + (sim.motor.connection == drivesim::Connection::Delta ? 30.0 : 0.0) +
                              sim.motor.magnet_angle_deg) / 360.0 * turn;
        EXPECT_NEAR(found[6], 0.0, 0.02 * turn) << "ALPHA";
        EXPECT_NEAR(found[7], zaoff, 0.02 * turn) << "ZAOFF";
        std::printf("hall %s: offsets %.0f %.0f %.0f (truth %.0f %.0f %.0f) gains %.0f %.0f %.0f (truth %.0f %.0f "
                    "%.0f) ALPHA %.0f ZAOFF %.0f (truth %.0f)\n",
                    *motor ? motor : "default", found[0], found[1], found[2], truth.offset_counts[0],
                    truth.offset_counts[1], truth.offset_counts[2], found[3], found[4], found[5], truth.gain[0],
                    truth.gain[1], truth.gain[2], found[6], found[7], zaoff);
    }
}

TEST_F(HallOffsets, TheThreeSignalsAreShownLiveInVolts) {
    std::array<std::string, 3> boxes;
    RunTest(nullptr, [&](DialogDriver& d) {
        for (std::size_t i = 0; i < 3; ++i) boxes[i] = d.Dialog().GetChildText(IDC_HALL_VALUE_1 + static_cast<int>(i));
    });
    ASSERT_EQ(result, 1) << error;
    EXPECT_GT(samples, 100U);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "Hall " << i + 1);
        EXPECT_GT(tracePoints[i], 100U);
        // The mover turns through whole electrical periods: each trace spans its sensor's swing.
        const double low_V = sim.halls.offset_V[i] - sim.halls.amplitude_V[i];
        const double high_V = sim.halls.offset_V[i] + sim.halls.amplitude_V[i];
        EXPECT_NEAR(traceMin_V[i], low_V, 0.05);
        EXPECT_NEAR(traceMax_V[i], high_V, 0.05);
        ASSERT_FALSE(boxes[i].empty());
        const double shown_V = std::stod(boxes[i]);
        EXPECT_GE(shown_V, low_V - 0.1);
        EXPECT_LE(shown_V, high_V + 0.1);
        EXPECT_LE(boxes[i].size(), 3U) << boxes[i] << " is not shown to two figures";
    }
}

TEST_F(HallOffsets, TheTracesAreDrawnInTheirColoursOverAFixedVoltageRange) {
    CMC_Comm::Connect(std::make_unique<InProcessLink>(sim));
    CDetectHallGainOffset dialog(setup.get());
    const std::array colors = {RGB16(4), RGB16(1), RGB16(16)};
    const std::array traces = {IDC_HALL_TRACE_1, IDC_HALL_TRACE_2, IDC_HALL_TRACE_3};
    ui->OnDialog(kCaption, [&](DialogDriver& d) {
        ASSERT_TRUE(d.Click("#10000")) << d.Error();
        d.WaitUntil([&] { return !dialog.m_bRunning; }, 30.0);
        for (std::size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            const CGraphWindow* window = FindGraphWindow(&dialog, traces[i]);
            ASSERT_NE(window, nullptr) << "the pane shows no trace";
            ASSERT_EQ(window->GetFilter()->GetCurves().size(), 1U);
            EXPECT_EQ(window->GetFilter()->GetCurves()[0].m_Color, colors[i]);
            EXPECT_DOUBLE_EQ(window->YRange(1).min, -1.0);
            EXPECT_DOUBLE_EQ(window->YRange(1).max, 6.0);
        }
        d.Click("Close");
    });
    dialog.DoModal();
    EXPECT_EQ(dialog.m_nResult, 1) << dialog.m_strError;
}

TEST_F(HallOffsets, TheThirdSignalIsReadWhereTheControllerWiresIt) {
    struct Case {
        int mcVersion;
        const char* unreadable;
        int result;
    };
    // Each controller reads only its own input: making the other one unreadable changes nothing.
    const Case cases[] = {{3, "AD8", 1}, {3, "AD9", 0}, {2, "AD9", 1}, {2, "AD8", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.mcVersion << ", " << c.unreadable << " unreadable");
        SetUp();
        sim = drivesim::DefaultSimConfig();
        SetupIdentity identity = setup->GetIdentity();
        identity.mcVersion = c.mcVersion;
        setup->SetIdentity(identity);
        sim.faults.failing_read = c.unreadable;
        RunTest();
        EXPECT_EQ(result, c.result) << error;
    }
}

TEST_F(HallOffsets, FaultsEndWithTheirMessageAndLeaveTheCalibration) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&)> inject;
        std::string expected;  // empty: the link's text, whatever it says
    };
    const Case cases[] = {
        {"phases A and B swapped", [](drivesim::SimConfig& s) { s.faults.swapped_phases = drivesim::PhasePair::AB; },
         kWrongDirectionText},
        {"Halls B and C swapped", [](drivesim::SimConfig& s) { s.faults.swapped_halls = drivesim::PhasePair::BC; },
         kWrongDirectionText},
        {"Hall B missing", [](drivesim::SimConfig& s) { s.faults.missing_hall = drivesim::Phase::B; },
         kHallMissingText},
        {"phase A open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::A; },
         CMC_TestDlg::msc_pszErrInZero},
        // Positioned on A and B alone, the mover cannot follow a turning field without C.
        {"phase C open", [](drivesim::SimConfig& s) { s.faults.open_phase = drivesim::Phase::C; }, kHallMissingText},
        {"ENABLE inactive", [](drivesim::SimConfig& s) { s.faults.enable_inactive = true; },
         "Drive / Motor ENABLE input is in DISABLED state."},
        {"short circuit while turning", [](drivesim::SimConfig& s) { s.faults.short_circuit_at_s = 3.0; },
         "Drive / Motor shortcircuit protection triggered."},
        {"positioning fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Initial_Positioning_Test"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"Hall program fails to start",
         [](drivesim::SimConfig& s) { s.faults.failing_start = "Detect_Hall_Gain_Offset_Test"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"read of AD3 fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "AD3"; }, ""},
        {"read of WEAKINC fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "WEAKINC"; }, ""},
        {"read of SIN2REC fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "SIN2REC"; }, ""},
        {"read of MER fails", [](drivesim::SimConfig& s) { s.faults.failing_read = "MER"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"write of run_test fails", [](drivesim::SimConfig& s) { s.faults.failing_write = "run_test"; }, ""},
        {"link dropped while turning", [](drivesim::SimConfig& s) { s.faults.link_drop_at_s = 2.5; }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim = drivesim::DefaultSimConfig();
        c.inject(sim);
        const auto before = Calibration();
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
        EXPECT_EQ(Calibration(), before) << "a failed run changed the calibration";
        EXPECT_EQ(returned, IDOK) << "Close ends the test with OK whatever its outcome";
        EXPECT_FALSE(axisOn) << "the drive still drives the motor";
    }
}

TEST_F(HallOffsets, StopOrCloseDuringTheAcquisitionStoresNothing) {
    struct Case {
        int timer;
        const char* status;
        int returned;
    };
    const Case cases[] = {{kStopTimer, CMC_TestDlg::kStoppedText, IDOK}, {kCloseTimer, "", IDOK}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timer == kStopTimer ? "Stop" : "Close");
        SetUp();
        const auto before = Calibration();
        RunTest([&](CHallTestWithUser& dialog) {
            dialog.pressTimer = c.timer;
            dialog.pressAfter_ms = 1000;
        });
        EXPECT_EQ(pressed, 1) << "the user's press never came through";
        EXPECT_TRUE(ended) << "the acquisition ran on";
        EXPECT_NE(result, 1) << "a stopped acquisition counted as a success";
        if (*c.status) {
            EXPECT_EQ(status, c.status);
        }
        EXPECT_GT(samples, 0U);
        EXPECT_EQ(Calibration(), before) << "a stopped run changed the calibration";
        EXPECT_EQ(returned, c.returned);
        EXPECT_FALSE(axisOn) << "the drive still drives the motor";
    }
}

TEST_F(HallOffsets, CloseBeforeAnyRunEndsWithOk) {
    CHallTestWithUser dialog(setup.get());
    ui->OnDialog(kCaption, [&](DialogDriver& d) { d.Click("Close"); });
    EXPECT_EQ(dialog.DoModal(), IDOK);
}

TEST_F(HallOffsets, HelpOpensTheTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    CHallTestWithUser dialog(setup.get());
    ui->OnDialog(kCaption, [&](DialogDriver& d) {
        d.Click("Help");
        d.Click("Close");
    });
    dialog.DoModal();
    ASSERT_EQ(ui->HelpOpened().size(), 1U);
    EXPECT_NE(ui->HelpOpened()[0].first.find("drive.chm"), std::string::npos);
    EXPECT_EQ(ui->HelpOpened()[0].second, 262416);
}

}  // namespace
