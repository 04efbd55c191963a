// The linear Hall sensors' setup run as a user runs it, against the simulated drive: from the
// motor setup's button, through the host and the link, to the calibration stored in the setup,
// with the three signals shown live on the way.
#include "SimTestRun.h"

#include "DetectHallGainOffset.h"
#include "HallOffsetForm.h"
#include "MotorSetupDialog.h"
#include "TestPhaseConnections.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace {

using namespace pelmora;
using namespace sim_testing;

constexpr const char* kCaption = "Offset Detection Test";
constexpr const char* kHallMissingText =
    "One Linear Hall signal is missing.\nPlease check the Hall signals connections to the drive and repeat the test. "
    "If the test fails and the connections are OK, increase the test current value.";
constexpr const char* kWrongDirectionText = "Switch any two motor phases or two Linear Hall signals.";
constexpr std::array kCalibration = {"HALLAOFF", "HALLBOFF", "HALLCOFF", "HALLAGAIN",
                                     "HALLBGAIN", "HALLCGAIN", "ALPHA",    "ZAOFF"};
constexpr int kStopTimer = 7;
constexpr int kCloseTimer = 8;
constexpr double kTurn = 65536.0;  // a 16-bit angle's full turn

// The test, with a user who presses Stop or Close a second into the acquisition.
class CHallTestWithUser : public CDetectHallGainOffset {
public:
    CHallTestWithUser(CMC_Setup* setup, int pressTimer) : CDetectHallGainOffset(setup), m_pressTimer(pressTimer) {}
    void OnTimer(int timerId) override {
        if (timerId == m_pressTimer) {
            KillTimer(timerId);
            ++pressed;
            return UserClick(timerId == kStopTimer ? IDC_TEST_START : IDCANCEL);
        }
        if (timerId == kTestTimerId && m_nStep == 4) SetTimer(m_pressTimer, 1000);
        CDetectHallGainOffset::OnTimer(timerId);
    }
    int pressed = 0;

private:
    int m_pressTimer;
};

// The simulator's sensors as the calibration expresses them: offsets in counts, Q14 gains that
// bring each amplitude to 16384, the spacing correction and Hall A's angle from the magnet.
std::array<double, kCalibration.size()> Truth(const drivesim::SimConfig& sim) {
    std::array<double, kCalibration.size()> truth{};
    for (std::size_t i = 0; i < 3; ++i) {
        truth[i] = sim.halls.offset_V[i] * CDetectHallGainOffset::kHallCountsPerVolt;
        truth[3 + i] = 16384.0 * 16384.0 / (sim.halls.amplitude_V[i] * CDetectHallGainOffset::kHallCountsPerVolt);
    }
    // A delta winding runs as its star equivalent, whose axes sit 30° on.
    const double delta_deg = sim.motor.connection == drivesim::Connection::Delta ? 30.0 : 0.0;
    truth[7] = (sim.halls.angle_deg + sim.motor.magnet_angle_deg + delta_deg) / 360.0 * kTurn;
    return truth;
}

class HallOffsets : public SimTestFixture {
protected:
    std::array<double, kCalibration.size()> Calibration() const {
        std::array<double, kCalibration.size()> values{};
        for (std::size_t i = 0; i < kCalibration.size(); ++i) values[i] = Value(kCalibration[i]);
        return values;
    }
};

TEST_F(HallOffsets, EveryMotorIsCalibratedFromTheMotorSetupWithinOnePercentWhileTheSignalsAreShown) {
    for (const char* motor : {"", "winding_10uH.json", "winding_1H.json", "delta.json", "heavy_load_friction.json",
                              "reversed_transmission.json"}) {
        SCOPED_TRACE(*motor ? motor : "default");
        sim = MotorSim(motor);
        FreshSetup();
        Fresh();
        std::string status, error;
        int closedWith = -1;
        ui->OnDialog("Brushless Motor Setup", [&](DialogDriver& d) {
            ui->OnDialog(kCaption, [&](DialogDriver& t) {
                auto& test = static_cast<CDetectHallGainOffset&>(t.Dialog());
                ASSERT_TRUE(t.Click("#10000")) << t.Error();
                t.WaitUntil([&] { return !test.m_bRunning; }, 60.0);
                status = test.GetChildText(IDC_TEST_STATUS);
                error = test.m_strError;
                EXPECT_GT(test.GetSampleCount(), 100U);
                for (int i = 0; i < 3; ++i) {
                    SCOPED_TRACE(testing::Message() << "Hall " << i + 1);
                    const std::size_t k = static_cast<std::size_t>(i);
                    const CGraphDocument& trace = test.GetTrace(i).GetDocument();
                    ASSERT_GT(trace.GetPointsCount(), 100U);
                    double low_V = 1e9, high_V = -1e9;
                    for (std::size_t p = 0; p < trace.GetPointsCount(); ++p) {
                        low_V = std::min(low_V, trace.GetValue(p, 1));
                        high_V = std::max(high_V, trace.GetValue(p, 1));
                    }
                    // Whole electrical periods pass by: each trace spans its sensor's swing.
                    EXPECT_NEAR(low_V, sim.halls.offset_V[k] - sim.halls.amplitude_V[k], 0.05);
                    EXPECT_NEAR(high_V, sim.halls.offset_V[k] + sim.halls.amplitude_V[k], 0.05);
                    const CGraphWindow* pane = FindGraphWindow(&test, IDC_HALL_TRACE_1 + i);
                    ASSERT_NE(pane, nullptr) << "the pane shows no trace";
                    EXPECT_EQ(pane->GetFilter()->GetCurves().at(0).m_Color, RGB16(std::array{4, 1, 16}[k]));
                    EXPECT_DOUBLE_EQ(pane->YRange(1).min, -1.0);
                    EXPECT_DOUBLE_EQ(pane->YRange(1).max, 6.0);
                    const std::string box = test.GetChildText(IDC_HALL_VALUE_1 + i);
                    std::array<char, 16> twoFigures{};
                    std::snprintf(twoFigures.data(), twoFigures.size(), "%.2g", std::stod(box));
                    EXPECT_EQ(box, twoFigures.data()) << "not shown to two figures";
                    EXPECT_NEAR(std::stod(box), sim.halls.offset_V[k], sim.halls.amplitude_V[k] + 0.1);
                }
                t.Click("Close");
                closedWith = test.IsOpen() ? -1 : IDOK;
            });
            ASSERT_TRUE(d.Click("Linear Hall sensors setup")) << d.Error();
            d.Click("OK");
        });
        CMotorSetupDialog(setup.get()).DoModal();
        ASSERT_EQ(status, CMC_TestDlg::kSucceededText) << error;
        EXPECT_EQ(closedWith, IDOK);
        const auto truth = Truth(sim);
        const auto found = Calibration();
        for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(found[i], truth[i], 0.01 * truth[i]) << kCalibration[i];
        // The angles are measured while the mover lags the turning field: within 2 % of a turn.
        for (std::size_t i = 6; i < 8; ++i) EXPECT_NEAR(found[i], truth[i], 0.02 * kTurn) << kCalibration[i];
        std::printf("hall %s:", *motor ? motor : "default");
        for (std::size_t i = 0; i < 8; ++i) std::printf(" %s %.0f (%.0f)", kCalibration[i], found[i], truth[i]);
        std::printf("\n");
    }
}

TEST_F(HallOffsets, FaultsEndWithTheirMessageAndLeaveTheCalibration) {
    struct Case {
        const char* name;
        std::function<void(drivesim::SimConfig&, CMC_Setup&)> inject;
        const char* expected;  // "": the link's text, whatever it says; null: the test succeeds
    };
    using S = drivesim::SimConfig;
    const auto version = [](int v) {
        return [v](CMC_Setup& s) {
            SetupIdentity identity = s.GetIdentity();
            identity.mcVersion = v;
            s.SetIdentity(identity);
        };
    };
    const Case cases[] = {
        {"phases A and B swapped", [](S& s, CMC_Setup&) { s.faults.swapped_phases = drivesim::PhasePair::AB; },
         kWrongDirectionText},
        {"Halls B and C swapped", [](S& s, CMC_Setup&) { s.faults.swapped_halls = drivesim::PhasePair::BC; },
         kWrongDirectionText},
        {"Hall B missing", [](S& s, CMC_Setup&) { s.faults.missing_hall = drivesim::Phase::B; }, kHallMissingText},
        // Without phase C the mover cannot follow the turning field.
        {"phase C open", [](S& s, CMC_Setup&) { s.faults.open_phase = drivesim::Phase::C; }, kHallMissingText},
        {"phase A open", [](S& s, CMC_Setup&) { s.faults.open_phase = drivesim::Phase::A; },
         CMC_TestDlg::msc_pszErrInZero},
        {"ENABLE inactive", [](S& s, CMC_Setup&) { s.faults.enable_inactive = true; },
         kEnableInactiveText.c_str()},
        // The trip ends the drive's program with a failure status too: the trip is named.
        {"short circuit while turning", [](S& s, CMC_Setup&) { s.faults.short_circuit_at_s = 3.0; },
         kShortCircuitText.c_str()},
        {"positioning fails to start", [](S& s, CMC_Setup&) { s.faults.failing_start = "Initial_Positioning_Test"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"Hall program fails to start",
         [](S& s, CMC_Setup&) { s.faults.failing_start = "Detect_Hall_Gain_Offset_Test"; },
         CMC_TestDlg::msc_pszErrInternal},
        {"read of AD3 fails", [](S& s, CMC_Setup&) {
             s.faults.failing_read = "AD3"; }, ""},
        {"read of WEAKINC fails", [](S& s, CMC_Setup&) { s.faults.failing_read = "WEAKINC"; }, ""},
        // The eight results are stored together or not at all.
        {"read of SIN2REC fails", [](S& s, CMC_Setup&) { s.faults.failing_read = "SIN2REC"; }, ""},
        {"read of MER fails", [](S& s, CMC_Setup&) { s.faults.failing_read = "MER"; }, CMC_TestDlg::msc_pszErrInternal},
        {"write of run_test fails", [](S& s, CMC_Setup&) { s.faults.failing_write = "run_test"; }, ""},
        {"link dropped while turning", [](S& s, CMC_Setup&) { s.faults.link_drop_at_s = 2.5; }, ""},
        // Each controller reads the third sensor on its own input only.
        {"version 3 reads AD9", [&](S& s, CMC_Setup& c) {
             s.faults.failing_read = "AD9"; version(3)(c); }, ""},
        {"version 3 leaves AD8", [&](S& s, CMC_Setup& c) {
             s.faults.failing_read = "AD8"; version(3)(c); }, nullptr},
        {"version 2 reads AD8", [&](S& s, CMC_Setup& c) {
             s.faults.failing_read = "AD8"; version(2)(c); }, ""},
        {"version 2 leaves AD9", [&](S& s, CMC_Setup& c) {
             s.faults.failing_read = "AD9"; version(2)(c); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshWithFault([&](drivesim::SimConfig& s) { c.inject(s, *setup); });
        const auto before = Calibration();
        CDetectHallGainOffset dialog(setup.get());
        const RunOutcome out = Run(dialog, 60.0);
        EXPECT_EQ(out.returned, IDOK) << "Close ends the test with OK whatever its outcome";
        if (!c.expected) {
            ExpectSucceeded(out);
            continue;
        }
        ExpectFailedWith(out, c.expected);
        EXPECT_EQ(Calibration(), before) << "a failed run changed the calibration";
    }
}

TEST_F(HallOffsets, StopOrCloseDuringTheAcquisitionStoresNothing) {
    for (const int press : {kStopTimer, kCloseTimer}) {
        SCOPED_TRACE(press == kStopTimer ? "Stop" : "Close");
        FreshSetup();
        Fresh();
        const auto before = Calibration();
        CHallTestWithUser dialog(setup.get(), press);
        const RunOutcome out = Run(dialog, 60.0);
        EXPECT_EQ(dialog.pressed, 1) << "the press never came through";
        EXPECT_TRUE(out.ended) << "the acquisition ran on";
        EXPECT_NE(out.result, 1) << "a stopped acquisition counted as a success";
        if (press == kStopTimer) {
            EXPECT_EQ(out.status, CMC_TestDlg::kStoppedText);
        }
        EXPECT_GT(dialog.GetSampleCount(), 0U);
        EXPECT_EQ(out.returned, IDOK);
        EXPECT_EQ(Calibration(), before) << "a stopped run changed the calibration";
        int axisOn = 1;
        std::string error;
        EXPECT_TRUE(CMC_ProgramRunner::GetAxisOn(axisOn, error) && !axisOn) << "the drive still drives the motor";
    }
}

TEST(LiveTrace, KeepsPointsAFewMillisecondsApartAndEverySamplesValue) {
    struct Case {
        double step_s;
        std::size_t samples;
        std::size_t points;
    };
    // A drive that answers faster than the spacing is thinned; a slower one keeps every sample,
    // and the newest points when the trace is full.
    const Case cases[] = {
        {1.0 / 1024, 100, 20}, {1.0 / 256, 100, 50}, {1.0 / 128, 100, 100}, {1.0 / 128, 2000, CLiveTrace::kCapacity}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.samples << " samples " << c.step_s << " s apart");
        CLiveTrace trace;
        trace.Initialize("Lin Hall 1", "V");
        for (std::size_t k = 0; k < c.samples; ++k) {
            trace.SetCurrentValue(static_cast<double>(k) * c.step_s, static_cast<double>(k));
            trace.SetCurrentValue(static_cast<double>(k) * c.step_s, std::nan(""));  // never drawn
        }
        EXPECT_EQ(trace.GetDocument().GetPointsCount(), c.points);
        EXPECT_EQ(trace.GetCurrentValue(), static_cast<double>(c.samples - 1));
    }
}

TEST_F(HallOffsets, HelpOpensEachMotorTestsTopic) {
    SetupIdentity identity = setup->GetIdentity();
    identity.helpFile = "drive.chm";
    setup->SetIdentity(identity);
    CDetectHallGainOffset hall(setup.get());
    CTestPhaseConnections phases(setup.get());
    const std::pair<CDialog*, int> cases[] = {{&hall, 262416}, {&phases, 262411}};
    for (const auto& [dialog, topic] : cases) {
        SCOPED_TRACE(topic);
        Fresh();
        ui->OnDialog(std::string(dialog->GetCaption()), [](DialogDriver& d) {
            d.Click("Help");
            d.Click("Close");
        });
        dialog->DoModal();
        ASSERT_EQ(ui->HelpOpened().size(), 1U);
        EXPECT_NE(ui->HelpOpened()[0].first.find("drive.chm"), std::string::npos);
        EXPECT_EQ(ui->HelpOpened()[0].second, topic);
    }
}

}  // namespace
