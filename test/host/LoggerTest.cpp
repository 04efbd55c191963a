#include "FakeDrive.h"

#include "BaseQuantities.h"
#include "MC_CoffFormat.h"
#include "MC_Loggers.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace host_testing;

namespace {

constexpr const char* kSpeedTuning = "Speed_Controller_Tuning_Test";

class Loggers : public FakeDriveTest {
protected:
    void SetUp() override {
        FakeDriveTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(program.ReadCoff(GetOutPathName(kSpeedTuning))) << program.GetErrorText();
    }
    int Execute(CMC_Logger* logger) {
        return CMC_ProgramRunner::ExecuteCode(*setup, kSpeedTuning, &program, logger, error);
    }

    CMC_CoffFormat program;
    std::string error;
};

// ---------------------------------------------------------------------------------------------
// Data logger

TEST_F(Loggers, DataLoggerSettingsOutsideTheirRangeAreRefusedAndKeepTheOldOnes) {
    struct Case {
        int points, type, divider;
        bool ok;
    };
    const Case cases[] = {{400, 1, 1, true}, {100, 2, 1, true}, {0, 1, 1, false},
                          {400, 3, 1, false}, {400, 0, 1, false}, {400, 1, 0, false}};
    for (const Case& c : cases) {
        CMC_SingleAxisLogger logger(setup.get());
        ASSERT_TRUE(logger.ChangeSettings(2000, 1, 1));
        EXPECT_EQ(logger.ChangeSettings(c.points, c.type, c.divider) != 0, c.ok)
            << c.points << ", " << c.type << ", " << c.divider;
        EXPECT_EQ(logger.GetPointsNo(), c.ok ? c.points : 2000) << c.points << ", " << c.type << ", " << c.divider;
    }
}

TEST_F(Loggers, DataLoggerTakesDeclaredDriveVariablesOnlyOnce) {
    CMC_SingleAxisLogger logger(setup.get());
    EXPECT_EQ(logger.AddVariable("IQ", 1), 1);
    EXPECT_EQ(logger.AddVariable("iq", 1), 0) << "the same variable twice";
    EXPECT_EQ(logger.AddVariable("NotAVariable", 1), 0);
    EXPECT_EQ(logger.GetVariablesNo(), 1);
}

TEST_F(Loggers, CorrectPointsNoFitsTheRecordIntoTheDrivesMemory) {
    struct Case {
        int points;
        int variables;
        int expected;
    };
    const Case cases[] = {{400, 1, 400}, {2000, 4, 2000}, {10000, 2, 8192}, {16384, 3, 5461}, {5000, 4, 4096}};
    const char* names[] = {"Speed_Reference", "Load_Speed", "Current_Reference", "Motor_Current"};
    for (const Case& c : cases) {
        CMC_SingleAxisLogger logger(setup.get());
        ASSERT_TRUE(logger.ChangeSettings(c.points, 1, 1));
        for (int i = 0; i < c.variables; ++i) ASSERT_TRUE(logger.AddVariable(names[i], 1)) << names[i];
        EXPECT_EQ(logger.CorrectPointsNo(), c.expected) << c.points << " points of " << c.variables;
    }
}

TEST_F(Loggers, ExecuteCodeArmsTheLoggerWithItsSettings) {
    CMC_SingleAxisLogger logger(setup.get(), &program);
    ASSERT_TRUE(logger.ChangeSettings(100, 2, 1));
    ASSERT_TRUE(logger.AddVariable("Current_Reference", 1));
    ASSERT_TRUE(logger.AddVariable("Motor_Current", 1));
    ASSERT_EQ(Execute(&logger), 1) << error;
    ASSERT_TRUE(drive.logger.has_value());
    EXPECT_EQ(drive.logger->points, 100);
    EXPECT_EQ(drive.logger->sample_kind, 2);
    EXPECT_EQ(drive.logger->variables, (std::vector<std::string>{"Current_Reference", "Motor_Current"}));
    EXPECT_FALSE(drive.scope.has_value());
}

TEST_F(Loggers, ALoggerWithoutVariablesStopsTheStartBeforeTheDriveIsTouched) {
    CMC_SingleAxisLogger logger(setup.get(), &program);
    EXPECT_EQ(Execute(&logger), 0);
    EXPECT_NE(error.find("no variables"), std::string::npos) << error;
    EXPECT_TRUE(drive.requests.empty());
}

TEST_F(Loggers, BeginUploadDataNeverSucceedsEmptyOrForAnotherRun) {
    CMC_SingleAxisLogger logger(setup.get(), &program);
    ASSERT_TRUE(logger.AddVariable("IQ", 1));
    EXPECT_EQ(logger.BeginUploadData(), 0) << "never armed";

    ASSERT_EQ(Execute(&logger), 1) << error;
    EXPECT_EQ(logger.BeginUploadData(), 0) << "armed, but the drive holds no record";
    EXPECT_NE(std::string(CMC_Comm::GetLastErrorText()).find("not triggered"), std::string::npos);

    drive.log = {{0.0, {5115}}, {0.0005, {5120}}};
    ASSERT_EQ(Execute(nullptr), 1) << error;
    EXPECT_EQ(logger.BeginUploadData(), 0) << "the last start did not arm this logger";

    ASSERT_EQ(Execute(&logger), 1) << error;
    drive.log = {{0.0, {5115, 1}}};
    EXPECT_EQ(logger.BeginUploadData(), 0) << "a record with the wrong number of values";
}

TEST_F(Loggers, AnUploadIsOneTransactionAndReadsBackEveryRecordInOrder) {
    CMC_SingleAxisLogger logger(setup.get(), &program);
    ASSERT_TRUE(logger.ChangeSettings(400, 1, 1));
    ASSERT_TRUE(logger.AddVariable("IQ", 1));
    ASSERT_TRUE(logger.AddVariable("ID", 1));
    ASSERT_EQ(Execute(&logger), 1) << error;
    drive.log = {{0.0, {5115, -3}}, {0.0005, {5120, 2}}, {0.001, {5110, 0}}};
    const double before_s = ui.Now_s();
    ASSERT_EQ(logger.BeginUploadData(), 1) << logger.GetErrorText();
    EXPECT_NEAR(ui.Now_s() - before_s, kTransactionCost_s + 800 * kUploadCostPerValue_s, 1e-12);
    EXPECT_EQ(drive.Count(drivesim::Op::UploadLog), 1U);
    EXPECT_TRUE(logger.UploadInProgress());
    double record[3] = {};
    for (const auto& expected : drive.log) {
        ASSERT_EQ(logger.ReadPoint(record), 1);
        EXPECT_EQ(record[0], expected.time_s);
        EXPECT_EQ(record[1], expected.values[0]);
        EXPECT_EQ(record[2], expected.values[1]);
    }
    EXPECT_EQ(logger.ReadPoint(record), 0);
    EXPECT_EQ(logger.ReadPoint(nullptr), 0);
    logger.EndUploadData();
    EXPECT_FALSE(logger.UploadInProgress());
}

// ---------------------------------------------------------------------------------------------
// Scope

std::vector<std::uint8_t> Payload(std::uint16_t sequence, const std::vector<std::vector<std::int32_t>>& records) {
    std::vector<std::uint8_t> bytes;
    auto put16 = [&](std::uint16_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    put16(sequence);
    put16(static_cast<std::uint16_t>(records.size()));
    for (const auto& record : records) {
        for (std::int32_t value : record) {
            std::uint32_t u;
            std::memcpy(&u, &value, sizeof u);
            for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
        }
    }
    return bytes;
}

int Feed(CMC_ScopeLogger& scope, const std::vector<std::uint8_t>& payload) {
    return scope.OnFrameReceive(payload.data(), payload.size());
}

class Scope : public Loggers {
protected:
    void SetUp() override {
        Loggers::SetUp();
        scope = std::make_unique<CMC_ScopeLogger>(setup.get(), &program);
    }
    // One variable, so that a record is one value; default T_S 500 µs.
    void Arm(double window_s, int mode, double pretrigger_pct, double level = 0.0) {
        ASSERT_TRUE(scope->AddVariable("Speed_Reference", 1));
        ASSERT_EQ(scope->ChangeSettings(window_s, mode, 1, "Speed_Reference", level, pretrigger_pct), 1)
            << scope->GetErrorText();
        ASSERT_EQ(Execute(scope.get()), 1) << error;
    }
    std::unique_ptr<CMC_ScopeLogger> scope;
};

TEST_F(Scope, TheWindowSetsHowOftenTheDriveStreamsAndHowManyPointsItKeeps) {
    struct Case {
        double window_s;
        int every;
        int points;
    };
    // T_S = 500 µs: k = max(1, ceil(W / (1000·T_S))), points = round(W / (k·T_S)).
    const Case cases[] = {{0.1, 1, 200}, {0.5, 1, 1000}, {0.6, 2, 600}, {1.0, 2, 1000}, {2.35, 5, 940}};
    for (const Case& c : cases) {
        CMC_ScopeLogger s(setup.get(), &program);
        ASSERT_EQ(s.ChangeSettings(c.window_s, 4, 1, "Speed_Reference", 0.0, 10), 1) << c.window_s;
        EXPECT_EQ(s.GetSampleDivider(), c.every) << c.window_s;
        EXPECT_EQ(s.GetPointsNo(), c.points) << c.window_s;
    }
}

TEST_F(Scope, SettingsThatMakeNoWindowAreRefused) {
    struct Case {
        double window_s;
        int mode;
        const char* trigger;
        double pretrigger;
    };
    const Case cases[] = {{0.0, 4, "Speed_Reference", 10},  {-1, 4, "Speed_Reference", 10},
                          {0.5, 3, "Speed_Reference", 10},  {0.5, 4, "NoSuchVariable", 10},
                          {0.5, 2, nullptr, 10},            {0.5, 4, "Speed_Reference", 101},
                          {0.5, 4, "Speed_Reference", -1}};
    for (const Case& c : cases) {
        CMC_ScopeLogger s(setup.get(), &program);
        EXPECT_EQ(s.ChangeSettings(c.window_s, c.mode, 1, c.trigger, 0.0, c.pretrigger), 0)
            << c.window_s << " s, mode " << c.mode << ", " << (c.trigger ? c.trigger : "(none)") << ", " << c.pretrigger;
    }
    CMC_ScopeLogger free(setup.get(), &program);
    EXPECT_EQ(free.ChangeSettings(0.5, 1, 1, nullptr, 0.0, 0.0), 1) << "free running needs no trigger variable";
}

TEST_F(Scope, ExecuteCodeAsksTheDriveToStreamAndTheUploadRunsFromItsReturn) {
    Arm(1.0, 4, 10);
    ASSERT_TRUE(drive.scope.has_value());
    EXPECT_EQ(drive.scope->variables, std::vector<std::string>{"Speed_Reference"});
    EXPECT_EQ(drive.scope->every_slow_samples, 2);
    EXPECT_TRUE(scope->UploadInProgress());
    EXPECT_EQ(scope->DoGracefulStop(), 0);
    scope->EndUploadData();
    EXPECT_FALSE(scope->UploadInProgress());
    EXPECT_EQ(Feed(*scope, Payload(0, {{1}})), 0) << "frames after the end of the upload are ignored";
}

TEST_F(Scope, AStartThatFailsLeavesNoUploadWaiting) {
    ASSERT_TRUE(scope->AddVariable("Speed_Reference", 1));
    ASSERT_EQ(scope->ChangeSettings(0.1, 1, 1, nullptr, 0.0, 0), 1);
    drive.failingOps.insert(drivesim::Op::Start);
    EXPECT_EQ(Execute(scope.get()), 0);
    EXPECT_FALSE(scope->UploadInProgress());
}

TEST_F(Scope, MalformedLostAndRepeatedFramesAreCountedAndOnlyGoodRecordsKept) {
    Arm(0.1, 1, 0);
    struct Step {
        const char* what;
        std::vector<std::uint8_t> payload;
        int result;
    };
    std::vector<std::uint8_t> shortFrame = {1, 0, 1};
    std::vector<std::uint8_t> badLength = Payload(1, {{5}});
    badLength.pop_back();
    const Step steps[] = {
        {"first frame", Payload(7, {{1}, {2}}), 2},
        {"too short", shortFrame, -1},
        {"length does not match the record count", badLength, -1},
        {"repeated", Payload(7, {{1}, {2}}), 0},
        {"two frames lost: held until the next", Payload(10, {{3}}), 0},
        {"the next confirms the gap", Payload(11, {{4}}), 2},
        {"a skipped frame, late", Payload(9, {{9}}), 0},
        {"end frame", Payload(12, {}), 0},
    };
    for (const Step& s : steps) EXPECT_EQ(Feed(*scope, s.payload), s.result) << s.what;
    const auto& stats = scope->GetFrameStats();
    EXPECT_EQ(stats.frames, 3U);
    EXPECT_EQ(stats.records, 4U);
    EXPECT_EQ(stats.malformed, 2U);
    EXPECT_EQ(stats.lost, 1U) << "the late frame came after all";
    EXPECT_EQ(stats.repeated, 1U);
    EXPECT_EQ(stats.late, 1U);
    EXPECT_EQ(scope->DoGracefulStop(), 1);
    EXPECT_FALSE(scope->UploadInProgress());
    std::vector<double> record;
    std::vector<double> values;
    for (int i = 0; scope->GetPoint(i, record); ++i) values.push_back(record[1]);
    EXPECT_EQ(values, (std::vector<double>{1, 2, 3, 4}));
}

TEST(ScopeFrameSequence, EachFrameIsCountedByWhatItsNumberMakesOfIt) {
    using Sequence = CMC_ScopeLogger::FrameSequence;
    using V = Sequence::Verdict;
    struct Case {
        const char* name;
        std::vector<std::uint16_t> sequence;
        std::vector<V> verdicts;
        std::uint64_t lost, repeated, late, stray;
    };
    const Case cases[] = {
        {"in order", {5, 6, 7}, {V::Take, V::Take, V::Take}, 0, 0, 0, 0},
        {"wrapping", {0xFFFE, 0xFFFF, 0, 1}, {V::Take, V::Take, V::Take, V::Take}, 0, 0, 0, 0},
        {"a gap, confirmed", {1, 2, 5, 6}, {V::Take, V::Take, V::Hold, V::TakeHeldFirst}, 2, 0, 0, 0},
        {"a gap confirmed by one after a gap", {1, 5, 9}, {V::Take, V::Hold, V::TakeHeldFirst}, 6, 0, 0, 0},
        {"sent twice", {1, 2, 2}, {V::Take, V::Take, V::Repeated}, 0, 1, 0, 0},
        {"an older one again", {1, 2, 3, 1}, {V::Take, V::Take, V::Take, V::Repeated}, 0, 1, 0, 0},
        {"a skipped one, late", {1, 4, 5, 2}, {V::Take, V::Hold, V::TakeHeldFirst, V::Late}, 1, 0, 1, 0},
        {"a late one twice", {1, 4, 5, 2, 2}, {V::Take, V::Hold, V::TakeHeldFirst, V::Late, V::Repeated}, 1, 1, 1,
         0},
        {"late across the wrap", {0xFFFE, 1, 2, 0xFFFF}, {V::Take, V::Hold, V::TakeHeldFirst, V::Late}, 1, 0, 1, 0},
        {"out of order before the first", {10, 8}, {V::Take, V::Late}, 0, 0, 1, 0},
        {"a repeat while one is held", {1, 2, 5, 2, 6}, {V::Take, V::Take, V::Hold, V::Repeated, V::TakeHeldFirst},
         2, 1, 0, 0},
        {"a stray a little ahead", {1, 2, 5, 3, 4}, {V::Take, V::Take, V::Hold, V::Take, V::Take}, 0, 0, 0, 1},
        {"a stray far ahead", {1, 2, 2000, 3, 4}, {V::Take, V::Take, V::Hold, V::Take, V::Take}, 0, 0, 0, 1},
        {"a stray half the range ahead", {1, 0x8002, 2}, {V::Take, V::Hold, V::Take}, 0, 0, 0, 1},
        {"a stray far behind", {1000, 1001, 3, 1002}, {V::Take, V::Take, V::Hold, V::Take}, 0, 0, 0, 1},
        {"a stray held, then a gap", {1, 900, 4, 5}, {V::Take, V::Hold, V::Hold, V::TakeHeldFirst}, 2, 0, 0, 1},
        {"a stray held, then sent twice", {1, 900, 900, 2}, {V::Take, V::Hold, V::Repeated, V::Take}, 0, 1, 0, 1},
        {"two strays in a row", {1, 900, 5000, 2}, {V::Take, V::Hold, V::Hold, V::Take}, 0, 0, 0, 2},
        // The host's queue dropped its oldest frames: the stream really did move on.
        {"a real jump", {1, 2, 1003, 1004, 1005}, {V::Take, V::Take, V::Hold, V::TakeHeldFirst, V::Take}, 1000, 0, 0, 0},
        {"a real jump, then a gap", {1, 1002, 1005}, {V::Take, V::Hold, V::TakeHeldFirst}, 1002, 0, 0, 0},
        {"numbering started again", {5000, 5001, 0, 1}, {V::Take, V::Take, V::Hold, V::TakeHeldFirst}, 0, 0, 0, 0},
        {"after a real jump, an old number", {1, 1000, 1001, 2}, {V::Take, V::Hold, V::TakeHeldFirst, V::Hold}, 998,
         0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.sequence.size(), c.verdicts.size());
        Sequence sequence;
        CMC_ScopeLogger::FrameStats stats;
        for (std::size_t i = 0; i < c.sequence.size(); ++i)
            EXPECT_EQ(sequence.Next(c.sequence[i], stats), c.verdicts[i]) << "frame " << i << ": " << c.sequence[i];
        EXPECT_EQ(stats.lost, c.lost);
        EXPECT_EQ(stats.repeated, c.repeated);
        EXPECT_EQ(stats.late, c.late);
        EXPECT_EQ(stats.stray, c.stray);
    }
}

TEST_F(Scope, AStrayFrameIsDroppedAndAConfirmedJumpKeepsBothFrames) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> sequence;
        std::vector<double> kept;
    };
    const Case cases[] = {
        {"stray", {1, 2, 3000, 3, 4}, {1, 2, 4, 5}},
        {"stray a little ahead", {1, 2, 5, 3, 4}, {1, 2, 4, 5}},
        {"gap", {1, 2, 5, 6}, {1, 2, 3, 4}},
        {"real jump", {1, 2, 3000, 3001}, {1, 2, 3, 4}},
        {"real jump just before the end frame", {1, 3000}, {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scope = std::make_unique<CMC_ScopeLogger>(setup.get(), &program);
        Arm(0.1, 1, 0);
        for (std::size_t i = 0; i < c.sequence.size(); ++i)
            Feed(*scope, Payload(c.sequence[i], {{static_cast<std::int32_t>(i + 1)}}));
        // The end frame follows the last data frame.
        Feed(*scope, Payload(static_cast<std::uint16_t>(c.sequence.back() + 1), {}));
        EXPECT_EQ(scope->DoGracefulStop(), 1);
        std::vector<double> record;
        std::vector<double> values;
        for (int i = 0; scope->GetPoint(i, record); ++i) values.push_back(record[1]);
        EXPECT_EQ(values, c.kept);
    }
}

TEST_F(Scope, SequenceNumbersWrapWithoutCountingALoss) {
    Arm(0.1, 1, 0);
    EXPECT_EQ(Feed(*scope, Payload(0xFFFF, {{1}})), 1);
    EXPECT_EQ(Feed(*scope, Payload(0x0000, {{2}})), 1);
    EXPECT_EQ(scope->GetFrameStats().lost, 0U);
    EXPECT_EQ(scope->GetFrameStats().repeated, 0U);
}

TEST_F(Scope, FreeRunningRingReportsTheIndicesAddedSinceTheLastCall) {
    Arm(0.005, 1, 0);  // 10 points
    ASSERT_EQ(scope->GetPointsNo(), 10);
    int first = -1;
    int count = -1;
    EXPECT_EQ(scope->GetPointsToBeDrawn(first, count), 0);
    Feed(*scope, Payload(0, {{1}, {2}, {3}, {4}, {5}, {6}, {7}}));
    ASSERT_EQ(scope->GetPointsToBeDrawn(first, count), 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 7);
    Feed(*scope, Payload(1, {{8}, {9}, {10}, {11}, {12}}));
    ASSERT_EQ(scope->GetPointsToBeDrawn(first, count), 1);
    EXPECT_EQ(first, 7);
    EXPECT_EQ(count, 5) << "wraps past the end of the ring";
    std::vector<double> record;
    ASSERT_TRUE(scope->GetPoint(1, record));
    EXPECT_EQ(record[1], 12);
    EXPECT_EQ(scope->DoGracefulStop(), 0) << "free running never fills up";
}

TEST_F(Scope, SingleShotKeepsThePreTriggerHistoryAndStopsWhenTheWindowIsFull) {
    // 10 points, 30 % before the trigger; Speed_Reference rises through 2.5 units of its base
    // unit: find the internal count the trigger needs.
    const CMC_Variable* reference = setup->FindVariable("Speed_Reference", 1);
    ASSERT_NE(reference, nullptr);
    const double perCount = reference->ScaleFactor();
    ASSERT_GT(perCount, 0.0);
    const double level = 4.5 * perCount;  // between counts 4 and 5
    Arm(0.005, 4, 30, level);
    Feed(*scope, Payload(0, {{1}, {2}, {3}, {4}}));
    int first = 0;
    int count = 0;
    EXPECT_EQ(scope->GetPointsToBeDrawn(first, count), 0) << "nothing to draw before the trigger";
    Feed(*scope, Payload(1, {{5}, {6}, {7}, {8}, {9}, {10}, {11}, {12}, {13}, {14}, {15}}));
    ASSERT_EQ(scope->GetPointsToBeDrawn(first, count), 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(scope->DoGracefulStop(), 1);
    std::vector<double> record;
    std::vector<double> values;
    std::vector<double> times;
    for (int i = 0; scope->GetPoint(i, record); ++i) {
        times.push_back(record[0]);
        values.push_back(record[1]);
    }
    EXPECT_EQ(values, (std::vector<double>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    const double period_s = scope->GetWindow_s() / scope->GetPointsNo();
    EXPECT_NEAR(times[0], -3 * period_s, 1e-12) << "pre-trigger points come before zero";
    EXPECT_NEAR(times[3], 0.0, 1e-12) << "the trigger sample is at zero";
}

TEST_F(Scope, ReArmingStartsANewWindowAtTheNextTrigger) {
    const double perCount = setup->FindVariable("Speed_Reference", 1)->ScaleFactor();
    Arm(0.0025, 2, 0, 0.5 * perCount);  // 5 points
    ASSERT_EQ(scope->GetPointsNo(), 5);
    Feed(*scope, Payload(0, {{0}, {1}, {2}, {3}, {4}, {5}, {0}, {0}, {1}, {7}}));
    int first = 0;
    int count = 0;
    ASSERT_EQ(scope->GetPointsToBeDrawn(first, count), 1);
    EXPECT_EQ(scope->DoGracefulStop(), 0) << "re-arming never ends by itself";
    std::vector<double> record;
    ASSERT_TRUE(scope->GetPoint(0, record));
    EXPECT_EQ(record[1], 1) << "the second window starts at the second rising crossing";
    ASSERT_TRUE(scope->GetPoint(1, record));
    EXPECT_EQ(record[1], 7);
    ASSERT_TRUE(scope->GetPoint(2, record));
    EXPECT_EQ(record[1], 3) << "the rest is still the first window";
}

TEST_F(Scope, ATriggerVariableThatIsNotPlottedIsStreamedBesideThePlottedOnes) {
    ASSERT_TRUE(scope->AddVariable("Load_Speed", 1));
    const double perCount = setup->FindVariable("Speed_Reference", 1)->ScaleFactor();
    ASSERT_EQ(scope->ChangeSettings(0.0025, 4, 1, "Speed_Reference", 0.5 * perCount, 0), 1);
    ASSERT_EQ(Execute(scope.get()), 1) << error;
    ASSERT_TRUE(drive.scope.has_value());
    EXPECT_EQ(drive.scope->variables, (std::vector<std::string>{"Load_Speed", "Speed_Reference"}));
    Feed(*scope, Payload(0, {{10, 0}, {11, 1}, {12, 2}}));
    std::vector<double> record;
    ASSERT_TRUE(scope->GetPoint(0, record));
    EXPECT_EQ(record.size(), 2U) << "time and the plotted variable only";
    EXPECT_EQ(record[1], 11);
}

}  // namespace

namespace {

TEST_F(Loggers, TheGraphDocumentGetsEachReadRecordInTheVariablesUnits) {
    CMC_SingleAxisLogger logger(setup.get(), &program);
    ASSERT_TRUE(logger.AddVariable("IQ", 0));
    ASSERT_TRUE(logger.AddVariable("Motor_Current", 1));
    const CGraphDocument& doc = logger.GetGraphDocument();
    ASSERT_EQ(doc.GetItemsCount(), 3);
    EXPECT_EQ(doc.GetItems()[0].unit, "s");
    EXPECT_EQ(doc.GetItems()[1].unit, "") << "counts";
    EXPECT_NE(doc.GetItems()[2].unit, "") << "shown in its unit";
    ASSERT_NE(const_cast<CGraphDocument&>(doc).GetAt(0), nullptr) << "the logger's graph filter";
    ASSERT_EQ(Execute(&logger), 1) << error;
    drive.log = {{0.0, {4092, 4092}}, {0.0005, {2046, 2046}}};
    ASSERT_EQ(logger.BeginUploadData(), 1);
    EXPECT_EQ(doc.GetPointsCount(), 0U) << "points arrive as they are read";
    double record[3];
    ASSERT_EQ(logger.ReadPoint(record), 1);
    ASSERT_EQ(doc.GetPointsCount(), 1U);
    double base = 0.0;
    ASSERT_TRUE(setup->FindVariable("Motor_Current", 1)->InternalToBase(4092, base));
    EXPECT_EQ(doc.GetValue(0, 1), 4092);
    EXPECT_EQ(doc.GetValue(0, 2), base);
    EXPECT_EQ(record[2], 4092) << "the record itself keeps counts";
}

TEST_F(Scope, TheGraphRingIndicesAreTheOnesTheScopeHandsOut) {
    const double perCount = setup->FindVariable("Speed_Reference", 1)->ScaleFactor();
    Arm(0.0025, 2, 0, 0.5 * perCount);  // 5 points, re-arming
    Feed(*scope, Payload(0, {{0}, {1}, {2}, {3}, {4}, {5}, {0}, {1}, {7}}));
    const CGraphDocument& doc = scope->GetGraphDocument();
    ASSERT_EQ(doc.GetPointsCount(), 2U) << "the second window so far";
    for (std::size_t k = 0; k < doc.GetPointsCount(); ++k) {
        std::vector<double> record;
        ASSERT_TRUE(scope->GetPoint(static_cast<int>(doc.RingIndex(k)), record)) << k;
        EXPECT_DOUBLE_EQ(doc.GetValue(k, 1), record[1] * perCount) << "point " << k;
    }
}

TEST(NiceSteps, StepsFollowOneTwoFive) {
    const std::pair<double, double> cases[] = {{0.3, 0.5}, {0.15, 0.2}, {0.07, 0.1}, {2, 2}, {2.5, 5}, {7, 10}, {0.2, 0.2}};
    for (const auto& [value, step] : cases) EXPECT_DOUBLE_EQ(NiceStepAbove(value), step) << value;
}

TEST_F(Scope, ChannelScalesMoveAlongTheStepsAroundTheirMiddle) {
    Arm(0.0025, 1, 0);
    ASSERT_EQ(scope->RescaleVariable("Speed_Reference", "m/s", 0.2, -0.8), 1);
    EXPECT_EQ(scope->RescaleVariable("Load_Speed", "m/s", 0.2, 0), 0) << "not plotted";
    EXPECT_EQ(scope->RescaleVariable("Speed_Reference", "m/s", 0.0, 0), 0);
    ASSERT_EQ(scope->ChangeChannelScale(0, 1), 1);
    const auto* scale = scope->GetChannelScale(0);
    ASSERT_NE(scale, nullptr);
    EXPECT_DOUBLE_EQ(scale->step, 0.5);
    EXPECT_DOUBLE_EQ(scale->offset + 4 * scale->step, 0.0) << "the middle stays at zero";
    ASSERT_EQ(scope->ChangeChannelScale(0, -2), 1);
    EXPECT_DOUBLE_EQ(scope->GetChannelScale(0)->step, 0.1);
    EXPECT_EQ(scope->ChangeChannelScale(3, 1), 0);
}

TEST_F(Scope, AutoscaleFitsTheRecordedTraceIntoTheDivisions) {
    Arm(0.0025, 1, 0);
    EXPECT_EQ(scope->Autoscale(), 0) << "nothing recorded";
    Feed(*scope, Payload(0, {{-30}, {10}, {95}}));
    ASSERT_EQ(scope->Autoscale(), 1);
    const auto* scale = scope->GetChannelScale(0);
    ASSERT_NE(scale, nullptr);
    const double perCount = setup->FindVariable("Speed_Reference", 1)->ScaleFactor();
    EXPECT_LE(scale->offset, -30 * perCount);
    EXPECT_GE(scale->offset + CMC_ScopeLogger::kDivisions * scale->step, 95 * perCount);
    EXPECT_EQ(scope->Autoscale(), 0) << "already fitted";
}

TEST_F(Scope, SettingsSurviveASetupOptionAndADamagedOneChangesNothing) {
    ASSERT_TRUE(scope->AddVariable("Speed_Reference", 1));
    ASSERT_TRUE(scope->AddVariable("Load_Speed", 1));
    ASSERT_EQ(scope->ChangeSettings(0.6, 4, 0, "Load_Speed", -0.25, 20), 1);
    ASSERT_EQ(scope->RescaleVariable("Load_Speed", "mm/s", 50, -200), 1);
    ASSERT_EQ(scope->SaveSettingsToSetupOption("SpeedTuningOscSettings"), 1);

    CMC_ScopeLogger other(setup.get(), &program);
    EXPECT_EQ(other.LoadSettingsFromSetupOption("NoSuchOption"), 0);
    ASSERT_EQ(other.LoadSettingsFromSetupOption("SpeedTuningOscSettings"), 1) << other.GetErrorText();
    EXPECT_EQ(other.GetVariablesNo(), 2);
    EXPECT_EQ(other.GetMode(), 4);
    EXPECT_EQ(other.GetWindow_s(), 0.6);
    EXPECT_EQ(other.GetPointsNo(), scope->GetPointsNo());
    ASSERT_NE(other.GetChannelScale(1), nullptr);
    EXPECT_EQ(other.GetChannelScale(1)->unit, "mm/s");
    EXPECT_EQ(other.GetChannelScale(1)->offset, -200);

    const std::string saved = setup->GetOptionNoError("SpeedTuningOscSettings");
    for (const std::string& damaged : {std::string("{"), saved.substr(0, saved.size() / 2), std::string("[]"),
                                       std::string(R"({"channels": [{"name": "Nope"}]})")}) {
        setup->SetOption("Damaged", damaged);
        EXPECT_EQ(other.LoadSettingsFromSetupOption("Damaged"), 0) << damaged;
        EXPECT_EQ(other.GetVariablesNo(), 2) << damaged;
        EXPECT_EQ(other.GetWindow_s(), 0.6) << damaged;
    }
}

TEST_F(Scope, AWindowWidenedDuringOrAfterARunKeepsToTheRingTheRunArmed) {
    struct Case {
        const char* name;
        int recordsBefore;  // fed before the window is widened
        int recordsAfter;
    };
    const Case cases[] = {{"after the run", 300, 0}, {"midway", 100, 300}};
    for (const Case& c : cases) {
        scope = std::make_unique<CMC_ScopeLogger>(setup.get(), &program);
        // Free running, 0.1 s at T_S 500 µs: a ring of 200 points.
        Arm(0.1, 1, 0);
        auto feed = [&](int from, int count) {
            std::vector<std::vector<std::int32_t>> records;
            for (std::int32_t k = from; k < from + count; ++k) records.push_back({k});
            if (count > 0) Feed(*scope, Payload(static_cast<std::uint16_t>(from == 0 ? 0 : 1), records));
        };
        feed(0, c.recordsBefore);
        // The user's editor widens the window to 1000 points.
        ASSERT_EQ(scope->ChangeSettings(1.0, 1, 1, nullptr, 0.0, 0.0), 1) << c.name;
        ASSERT_EQ(scope->GetPointsNo(), 1000) << c.name;
        feed(c.recordsBefore, c.recordsAfter);
        std::vector<double> record;
        EXPECT_TRUE(scope->GetPoint(199, record)) << c.name;
        EXPECT_FALSE(scope->GetPoint(200, record)) << c.name << ": past the ring the run armed";
        EXPECT_FALSE(scope->GetPoint(999, record)) << c.name;
        ASSERT_EQ(scope->BeginUploadData(), 1) << c.name;
        int read = 0;
        while (scope->ReadPoint() && read < 2000) ++read;
        EXPECT_EQ(read, 200) << c.name;
    }
}

TEST_F(Scope, DefaultValuesForgetVariablesScalesAndTrigger) {
    Arm(0.0025, 4, 10);
    ASSERT_EQ(scope->RescaleVariable("Speed_Reference", "m/s", 1, 0), 1);
    scope->SetDefaultValues();
    EXPECT_EQ(scope->GetVariablesNo(), 0);
    EXPECT_EQ(scope->GetChannelScale(0), nullptr);
    EXPECT_EQ(scope->GetMode(), 1);
    EXPECT_EQ(scope->GetWindow_s(), 1.0);
}

}  // namespace
