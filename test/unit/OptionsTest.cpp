#include "Options.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace testing_support;

namespace {

TEST(UpdateClosedLoopOptions, FollowsTheControlStructure) {
    struct Case {
        double mode;
        double cascade;
        std::optional<std::array<const char*, 3>> loops;  // position, speed, current
    };
    const Case cases[] = {
        {0, 0, std::array{"1", "0", "1"}}, {0, 1, std::array{"1", "1", "1"}}, {0, 2, std::nullopt},
        {1, 7, std::array{"0", "1", "1"}}, {2, 7, std::array{"0", "0", "1"}}, {3, 1, std::nullopt},
        {-1, 1, std::nullopt},             {1.9, 0, std::array{"0", "1", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("ControlMode " + std::to_string(c.mode) + ", PositionControlType " + std::to_string(c.cascade));
        auto setup = MakeSetup({{"ControlMode", c.mode}, {"PositionControlType", c.cascade}});
        for (const char* option : {"IsClosedPosition", "IsClosedSpeed", "IsClosedCurrent"}) setup->SetOption(option, "x");
        EXPECT_EQ(pelmora::UpdateClosedLoopOptions(*setup), c.loops ? 1 : 0);
        const auto expected = c.loops.value_or(std::array{"x", "x", "x"});
        EXPECT_EQ(setup->GetOptionNoError("IsClosedPosition"), expected[0]);
        EXPECT_EQ(setup->GetOptionNoError("IsClosedSpeed"), expected[1]);
        EXPECT_EQ(setup->GetOptionNoError("IsClosedCurrent"), expected[2]);
    }
}

std::unique_ptr<CMC_Setup> MakeLoadSetup(double transmissionType) {
    auto setup = MakeSetup({
        {"TransmissionType", transmissionType},
        {"Load_transmission", 0.01, UnitType::LinearPosition},
        {"Limit_Speed", 1, UnitType::LinearSpeed},
        {"ERR_speed", 0.1, UnitType::LinearSpeed},
        {"TestSpeed", 0.1, UnitType::LinearSpeed},
        {"ErefMaxSpeed", 0.1, UnitType::LinearSpeed},
        {"ErefMaxAcceleration", 1, UnitType::LinearAcceleration},
        {"POS_max", 0.1, UnitType::LinearPosition},
    });
    const CMC_Units& units = CMC_Units::Instance();
    setup->AddVariable("Load_Speed", UnitType::LinearSpeed, units.BaseUnit(UnitType::LinearSpeed));
    setup->AddVariable("APOS_MT", UnitType::LinearPosition, units.BaseUnit(UnitType::LinearPosition));
    setup->AddVariable("ASPD", UnitType::LinearSpeed, units.BaseUnit(UnitType::LinearSpeed));
    setup->AddVariable("JERK", UnitType::LinearJerk, units.BaseUnit(UnitType::LinearJerk));
    return setup;
}

TEST(UpdateUnitTypes, SwitchesLoadSideItemsAndKeepsTheMotorLinear) {
    struct Expected {
        const char* name;
        bool variable;
        const char* rotary;
        const char* linear;
    };
    const Expected items[] = {
        {"Load_transmission", false, "rot", "mm"}, {"Limit_Speed", false, "rad/s", "m/s"},
        {"ERR_speed", false, "rad/s", "m/s"},      {"TestSpeed", false, "rpm", "m/s"},
        {"ErefMaxSpeed", false, "rpm", "m/s"},     {"ErefMaxAcceleration", false, "rad/s^2", "m/s^2"},
        {"Load_Speed", true, "rpm", "m/s"},        {"APOS_MT", true, "mm", "mm"},
        {"ASPD", true, "m/s", "m/s"},              {"JERK", true, "rad/s^3", "m/s^3"},
        // Without an analogue input its limits are left alone.
        {"POS_max", false, "m", "m"},
    };
    auto setup = MakeLoadSetup(1);
    TakeCollectedErrors();
    for (double type : {1.0, 0.0, 2.0}) {
        Put(*setup, {"TransmissionType", type});
        EXPECT_EQ(pelmora::UpdateUnitTypes(*setup), 1);
        for (const Expected& item : items) {
            SCOPED_TRACE(std::string(item.name) + " with TransmissionType " + std::to_string(type));
            const char* unit = item.variable ? setup->FindVariable(item.name)->GetUnitName()
                                             : setup->FindParameter(item.name)->GetUnitName();
            EXPECT_STREQ(unit, type != 0 ? item.rotary : item.linear);
        }
    }
    // Items the setup lacks are skipped without a word.
    EXPECT_TRUE(TakeCollectedErrors().empty());
}

TEST(ForceSpeedForward, SetsTheFeedforwardExceptForPositionOverSpeed) {
    struct Case {
        double mode;
        double cascade;
        bool forced;
    };
    const Case cases[] = {{1, 1, true}, {2, 0, true}, {0, 0, true}, {0, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("ControlMode " + std::to_string(c.mode) + ", PositionControlType " + std::to_string(c.cascade));
        auto setup = MakeSetup({{"SpeedForward", 0}, {"ControlMode", c.mode}, {"PositionControlType", c.cascade},
                                {"ACR", 0x0701}});
        EXPECT_EQ(pelmora::ForceSpeedForward(*setup), 1);
        EXPECT_EQ(setup->GetParameterValueInBaseUnit("SpeedForward"), c.forced ? 1 : 0);
        EXPECT_EQ(setup->GetParameterValueInBaseUnit("ACR"), c.forced ? 0x4701 : 0x0701);
    }
    auto incomplete = MakeSetup({{"SpeedForward", 0}, {"ControlMode", 1}, {"ACR", 0}});
    EXPECT_EQ(pelmora::ForceSpeedForward(*incomplete), 0);
    EXPECT_EQ(incomplete->GetParameterValueInBaseUnit("ACR"), 0);
    TakeCollectedErrors();
}

TEST(ComputeAll, RunsEveryStageOnASetupLackingMostParameters) {
    auto setup = MakeSetup({{"ControlMode", 1}, {"TransmissionType", 0}, {"ACR", 0x0300}});
    AttachCoreScales(*setup);
    pelmora::ComputeAll(*setup);
    EXPECT_EQ(setup->GetOptionNoError("IsClosedSpeed"), "1");
    EXPECT_EQ(setup->GetParameters().GetParametersCount(), 3);
    TakeCollectedErrors();
}

}  // namespace

#include "Encode.h"
#include "MC_SetupFile.h"

namespace {

struct Snapshot {
    std::string name;
    double value, min, max;
    std::string unit;
    bool operator==(const Snapshot&) const = default;
};

std::vector<Snapshot> TakeAll(const CMC_Setup& setup) {
    std::vector<Snapshot> all;
    for (const auto& p : setup.GetParameters()) {
        all.push_back({p->GetName(), p->GetValueInBaseUnit(), p->GetMinInBaseUnit(), p->GetMaxInBaseUnit(),
                       p->GetUnitName()});
    }
    return all;
}

// The shipped setup is consistent: its registers are exactly the encoding of its parameters,
// and recomputing its parameters from them changes nothing, so neither pass moves it.
TEST(DefaultSetup, IsAFixedPointOfBothPasses) {
    SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_Setup& setup = *loaded.setup;
    AttachCoreScales(setup);
    const std::vector<Snapshot> before = TakeAll(setup);
    const auto options = setup.GetOptions();
    TakeCollectedErrors();
    for (const char* pass : {"registers", "everything", "registers"}) {
        if (std::string(pass) == "registers") {
            pelmora::UpdateRegistersFromParameters(setup);
        } else {
            pelmora::ComputeAll(setup);
        }
        const std::vector<Snapshot> after = TakeAll(setup);
        for (std::size_t i = 0; i < before.size(); ++i) {
            SCOPED_TRACE(std::string("after the ") + pass + " pass: " + before[i].name);
            EXPECT_EQ(after[i].value, before[i].value);
            EXPECT_EQ(after[i].min, before[i].min);
            EXPECT_EQ(after[i].max, before[i].max);
            EXPECT_EQ(after[i].unit, before[i].unit);
        }
        EXPECT_EQ(setup.GetOptions(), options);
    }
    EXPECT_TRUE(TakeCollectedErrors().empty());
}

}  // namespace
