#include "FakeDrive.h"

#include "BaseQuantities.h"
#include "MC_CoffFormat.h"
#include "MC_SetupFile.h"
#include "MySetupDlg.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace host_testing;

namespace {

using DriveComm = FakeDriveTest;

TEST_F(DriveComm, ReadFromChipIsOneTransactionAndFailsWithTheReason) {
    struct Case {
        const char* what;
        const char* variable;
        std::function<void(FakeDriveState&)> inject;
        bool ok;
        const char* textHas;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {"declared and known", "MER", nullptr, true, ""},
        {"link failure", "MER", [](FakeDriveState& d) { d.failingOps.insert(drivesim::Op::ReadVariable); }, false,
         "injected failure"},
        {"unknown to the firmware", "AD5", [](FakeDriveState& d) { d.variables.erase("AD5"); }, false, "AD5"},
        {"answer is the no-value mark", "MER", [](FakeDriveState& d) { d.variableOverride = kNoValue; }, false,
         "no number"},
        {"answer is no number", "MER", [nan](FakeDriveState& d) { d.variableOverride = nan; }, false, "no number"},
    };
    for (const Case& c : cases) {
        drive.failingOps.clear();
        drive.variableOverride.reset();
        drive.variables["MER"] = 0x22;
        if (c.inject) c.inject(drive);
        CMC_Variable* variable = setup->FindVariable(c.variable, 1);
        ASSERT_NE(variable, nullptr) << c.variable;
        variable->SetValueInInternalUnit(7);
        const std::size_t before = drive.Count(drivesim::Op::ReadVariable);
        EXPECT_EQ(variable->ReadFromChip() != 0, c.ok) << c.what;
        EXPECT_EQ(drive.Count(drivesim::Op::ReadVariable), before + 1) << c.what;
        if (c.ok) {
            EXPECT_EQ(variable->GetValueInInternalUnit(), 0x22) << c.what;
        } else {
            EXPECT_NE(variable->GetValueInInternalUnit(), kNoValue) << c.what;
            EXPECT_NE(std::string(CMC_Comm::GetLastErrorText()).find(c.textHas), std::string::npos)
                << c.what << ": " << CMC_Comm::GetLastErrorText();
        }
    }
}

TEST_F(DriveComm, WriteToChipSendsRegistersOnlyAndSaysWhetherTheDriveTookThem) {
    CMC_Parameter* kpi = setup->FindParameter("KPI");
    ASSERT_NE(kpi, nullptr);
    ASSERT_EQ(kpi->GetKind(), ParameterKind::Register);
    EXPECT_EQ(kpi->WriteToChip(), 1);
    EXPECT_EQ(drive.registers.at("KPI"), kpi->GetValueInBaseUnit());
    EXPECT_EQ(drive.Count(drivesim::Op::WriteRegister), 1U);

    drive.failing.insert({drivesim::Op::WriteRegister, "KPI"});
    EXPECT_EQ(kpi->WriteToChip(), 0);
    EXPECT_NE(std::string(CMC_Comm::GetLastErrorText()).find("KPI"), std::string::npos) << CMC_Comm::GetLastErrorText();

    CMC_Parameter* user = setup->FindParameter("Kp_C_scl");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->WriteToChip(), 0) << "a user parameter is not a register";
    EXPECT_EQ(drive.Count(drivesim::Op::WriteRegister), 2U);
}

TEST_F(DriveComm, AVariableWriteSendsItsInternalValueOnce) {
    CMC_Variable* thtst = setup->FindVariable("THTST", 1);
    ASSERT_NE(thtst, nullptr);
    thtst->SetValueInInternalUnit(16384);
    EXPECT_EQ(thtst->WriteToChip(), 1);
    EXPECT_EQ(drive.variables.at("THTST"), 16384);
    EXPECT_EQ(drive.Count(drivesim::Op::WriteVariable), 1U);
    thtst->SetValueInInternalUnit(std::nan(""));
    EXPECT_EQ(thtst->WriteToChip(), 0) << "no number reaches the drive";
    drive.failingOps.insert(drivesim::Op::WriteVariable);
    thtst->SetValueInInternalUnit(1);
    EXPECT_EQ(thtst->WriteToChip(), 0);
    EXPECT_EQ(drive.Count(drivesim::Op::WriteVariable), 2U);
}

TEST_F(DriveComm, EveryTransactionMovesTheVirtualClockOneMillisecondWithoutFiringTimers) {
    struct TimerDialog : CDialog {
        explicit TimerDialog(const FormTemplate& form) : CDialog(form) {}
        void OnTimer(int) override { ++ticks; }
        int ticks = 0;
    };
    static constexpr FormTemplate kForm{"Timer", {}};
    TimerDialog dialog(kForm);
    dialog.SetTimer(1, 2);
    for (int i = 0; i < 5; ++i) CMC_Comm::Transact(drivesim::Request{});
    EXPECT_NEAR(ui.Now_s(), 0.005, 1e-12);
    EXPECT_EQ(dialog.ticks, 0) << "a transaction ran a timer handler inside itself";
    EXPECT_NEAR(drive.requests.back().time_s, 0.005, 1e-12);
    ui.Pump();
    EXPECT_EQ(dialog.ticks, 2) << "timers that fell due run at the next pump";
}

TEST_F(DriveComm, TheDrivesClockNeverGoesBackWhenTheHostClockStartsOver) {
    ui.Advance(10.0);
    CMC_Comm::Transact(drivesim::Request{});
    const double before_s = drive.requests.back().time_s;
    HeadlessUi fresh;  // a new backend whose clock is at zero
    SetUiBackend(&fresh);
    CMC_Comm::Transact(drivesim::Request{});
    SetUiBackend(&ui);
    EXPECT_GE(drive.requests.back().time_s, before_s);
}

TEST_F(DriveComm, AHandlerRunsInsideTheTimerAndTimeStillMovesOn) {
    // A loop inside a timer tick waiting on the drive must see drive time pass (and end).
    struct Waiter : CDialog {
        explicit Waiter(const FormTemplate& form) : CDialog(form) {}
        void OnTimer(int) override {
            KillTimer(1);
            while (CMC_Comm::DriveTime_s() < 0.5) CMC_Comm::Transact(drivesim::Request{});
            done = true;
        }
        bool done = false;
    };
    static constexpr FormTemplate kForm{"Waiter", {}};
    Waiter dialog(kForm);
    dialog.SetTimer(1, 20);
    ui.Advance(0.1);
    EXPECT_TRUE(dialog.done);
    EXPECT_GE(ui.Now_s(), 0.5) << "the host clock went back behind the drive's";
}

TEST_F(DriveComm, WithoutALinkEveryCallFailsSayingSo) {
    CMC_Comm::Connect(nullptr);
    EXPECT_FALSE(CMC_Comm::IsConnected());
    EXPECT_FALSE(CMC_Comm::Transact(drivesim::Request{}).ok());
    EXPECT_NE(std::string(CMC_Comm::GetLastErrorText()).find("no drive"), std::string::npos);
    EXPECT_EQ(setup->FindVariable("MER", 1)->ReadFromChip(), 0);
    EXPECT_EQ(setup->FindParameter("KPI")->WriteToChip(), 0);
    std::string error;
    EXPECT_EQ(CMC_ProgramRunner::ExecuteCode(*setup, "Initial_Positioning_Test", nullptr, nullptr, error), 0);
    EXPECT_NE(error.find("no drive"), std::string::npos) << error;
    TakeCollectedErrors();
}

std::vector<std::vector<std::uint8_t>> g_delivered;
void Collect(const std::uint8_t* frame, std::size_t bytes) { g_delivered.emplace_back(frame, frame + bytes); }
void Other(const std::uint8_t*, std::size_t) {}

TEST_F(DriveComm, UnsolicitedFramesWaitAndArriveOldestFirst) {
    g_delivered.clear();
    EXPECT_EQ(CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(&Other), nullptr);
    EXPECT_EQ(CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(&Collect), &Other) << "returns the previous handler";
    drive.framesToSend = {{1}, {2}};
    CMC_Comm::Transact(drivesim::Request{});
    drive.framesToSend = {{3}};
    EXPECT_EQ(CMC_Comm::QueuedFrames(), 2U);
    EXPECT_EQ(CMC_Comm::CheckForUnrequestedMessages(nullptr), 3) << "the poll itself brings frame 3";
    ASSERT_EQ(g_delivered.size(), 3U);
    for (std::uint8_t i = 0; i < 3; ++i) EXPECT_EQ(g_delivered[i].front(), i + 1) << "frame " << int(i);
    EXPECT_EQ(CMC_Comm::QueuedFrames(), 0U);
}

TEST_F(DriveComm, AQueueNobodyReadsDropsItsOldestFramesNotMemory) {
    drive.framesToSend.assign(CMC_Comm::kMaxQueuedFrames + 10, std::vector<std::uint8_t>{0});
    drive.framesToSend.back() = {9};
    CMC_Comm::Transact(drivesim::Request{});
    EXPECT_EQ(CMC_Comm::QueuedFrames(), CMC_Comm::kMaxQueuedFrames);
    EXPECT_EQ(CMC_Comm::DroppedFrames(), 10U);
    g_delivered.clear();
    CMC_Comm::CheckForUnrequestedMessages(&Collect);
    EXPECT_EQ(g_delivered.back().front(), 9) << "the newest frame was lost";
}

TEST(DriveLinkFactory, NamesTheLinksItCanOpenAndRefusesTheRest) {
    struct Case {
        const char* spec;
        bool opens;
        const char* errorHas;
    };
    const Case cases[] = {
        {"", true, ""},
        {"sim", true, ""},
        // Nothing listens on port 1 and the device does not exist: the stream link names the
        // drive it could not reach.
        {"tcp:127.0.0.1:1", false, "cannot connect to tcp:127.0.0.1:1"},
        {"serial:/dev/pelmora-no-such-device", false, "/dev/pelmora-no-such-device"},
        {"usb", false, "unknown drive"},
    };
    for (const Case& c : cases) {
        std::string error;
        auto link = MakeDriveLink(c.spec, drivesim::DefaultSimConfig(), error);
        EXPECT_EQ(link != nullptr, c.opens) << c.spec;
        EXPECT_NE(error.find(c.errorHas), std::string::npos) << c.spec << ": " << error;
        if (link) {
            EXPECT_EQ(link->Describe(), "in-process simulator") << c.spec;
        }
    }
}

TEST(DriveLinkFactory, TheInProcessLinkAdvancesTheSimulatorToTheRequestsTime) {
    InProcessLink link(drivesim::DefaultSimConfig());
    drivesim::Request request;
    request.op = drivesim::Op::WriteRegister;
    request.name = "KPI";
    request.value = 123;
    request.time_s = 0.25;
    ASSERT_TRUE(link.Transact(request).ok());
    request.op = drivesim::Op::ReadRegister;
    request.time_s = 0.5;
    const drivesim::Response response = link.Transact(request);
    ASSERT_TRUE(response.ok()) << response.error;
    EXPECT_EQ(response.value, 123);
}

}  // namespace

namespace {

TEST(TestAvailability, TestsCanBeOpenedExactlyWhenADriveCanBeReached) {
    CMC_Comm::Connect(nullptr);
    EXPECT_FALSE(pelmora::IsTestAvailable(pelmora::CommissioningTest::VdcDetection));
    CMC_Comm::Connect(std::make_unique<InProcessLink>(drivesim::DefaultSimConfig()));
    EXPECT_TRUE(pelmora::IsTestAvailable(pelmora::CommissioningTest::VdcDetection));
    CMC_Comm::Connect(nullptr);
}

}  // namespace

namespace {

class DriveClock : public ::testing::Test, public FakeDriveFixture {};

TEST_F(DriveClock, ALongIdleSpellAdvancesTheDriveByABoundedStep) {
    ui.Advance(3600.0);
    CMC_Comm::Transact(drivesim::Request{});
    EXPECT_NEAR(drive.requests.back().time_s, kMaxDriveTimeStep_s, 1e-9);
    ui.Advance(0.5);
    CMC_Comm::Transact(drivesim::Request{});
    EXPECT_NEAR(drive.requests.back().time_s, kMaxDriveTimeStep_s + 0.5 + kTransactionCost_s, 1e-9)
        << "short steps follow the host clock exactly";
}

TEST_F(DriveClock, AnotherDriveHoldsNoneOfTheProgramsDownloadedBefore) {
    auto loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_CoffFormat program;
    ASSERT_TRUE(program.ReadCoff(GetOutPathName("Initial_Positioning_Test")));
    std::string error;
    ASSERT_EQ(CMC_ProgramRunner::ExecuteCode(*loaded.setup, "Initial_Positioning_Test", &program, nullptr, error), 1)
        << error;
    FakeDriveState other;
    CMC_Comm::Connect(std::make_unique<FakeDrive>(other));
    EXPECT_EQ(CMC_ProgramRunner::CurrentProgram(), nullptr);
    double value = 0.0;
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&program, "STARTED", value, error), 1) << error;
    EXPECT_EQ(value, kNoValue);
    EXPECT_TRUE(other.requests.empty()) << "nothing was asked of a drive that never had the program";
}

}  // namespace
