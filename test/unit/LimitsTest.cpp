#include "Limits.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

CMC_Parameter& Ranged(CMC_Setup& setup, const char* name, double value, double min, double max,
                      UnitType type = UnitType::None) {
    CMC_Parameter* p = setup.AddParameter(name, ParameterKind::Real, type, CMC_Units::Instance().BaseUnit(type), value,
                                          min, max);
    EXPECT_NE(p, nullptr) << name;
    return *p;
}

TEST(SetParameterRange, SetsAnyOrderedRangeAndRefusesInvertedOnes) {
    struct Case {
        const char* what;
        double oldMin, oldMax, a, b;
        int result;
        double newMin, newMax;
    };
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"inside", 0, 10, 2, 8, 1, 2, 8},
        {"one point", 0, 10, 5, 5, 1, 5, 5},
        {"wholly above the old range", 0, 10, 20, 30, 1, 20, 30},
        {"wholly below the old range", 20, 30, 0, 10, 1, 0, 10},
        {"inverted", 0, 10, 8, 2, 0, 0, 10},
        {"not finite", 0, 10, 0, kNaN, 0, 0, 10},
        {"infinite", 0, 10, -std::numeric_limits<double>::infinity(), 1, 0, 0, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CMC_Setup setup;
        CMC_Parameter& p = Ranged(setup, "p", c.oldMin, c.oldMin, c.oldMax);
        EXPECT_EQ(pelmora::SetParameterRange(p, c.a, c.b), c.result);
        EXPECT_EQ(p.GetMinInBaseUnit(), c.newMin);
        EXPECT_EQ(p.GetMaxInBaseUnit(), c.newMax);
    }
}

// T_S = 500 µs, K_V = 32 counts per m/s, K_P = 64000 counts per m, K_I = 4092 counts per A.
std::unique_ptr<CMC_Setup> MakeLimitsSetup() {
    auto setup = MakeSetup({
        {"DSP_freq", 60e6}, {"PWMPER", 1500}, {"CLPER", 1}, {"SLPER", 10},
        {"DBTTH", 4}, {"PolePitch", 0.032}, {"Motor_transmission", 1}, {"Load_transmission", 2},
        {"ImaxPS", 8}, {"ImaxM", 6}, {"Limit_Speed", 0.5}, {"AnalogueInputsRange", 10},
        {"PB_C_minim", 100}, {"PB_C_maxim", 5000}, {"PB_S_minim", 10}, {"PB_S_maxim", 500},
        {"PB_P_minim", 1}, {"PB_P_maxim", 100},
    });
    CMC_Setup& s = *setup;
    Ranged(s, "ERR_speed", 0.1, 0.001, 1e9);
    Ranged(s, "ERR_position", 0.001, 0, 1e9);
    Ranged(s, "time_ERR_spd", 0.1, 0.001, 1e9);
    Ranged(s, "time_ERR_pos", 0.1, 0.001, 1e9);
    Ranged(s, "PB_C", 1000, 0, 1e9);
    Ranged(s, "PB_S", 100, 0, 1e9);
    Ranged(s, "PB_P", 10, 0, 1e9);
    for (const char* name : {"TPP", "TNP", "TaPP", "TaNP", "TPS", "TNS", "TaPS", "TaNS"}) Ranged(s, name, 0.1, 0, 1e9);
    Ranged(s, "TestPosition", 0.01, -1e9, 1e9);
    Ranged(s, "TestSpeed", 0.1, -1e9, 1e9);
    Ranged(s, "DeadBand_Point", 1, -100, 100);
    Ranged(s, "DeadBand_Range", 0.5, 0, 100);
    Ranged(s, "POS_max", 0.1, -1e9, 1e9);
    Ranged(s, "POS_min", -0.1, -1e9, 1e9);
    Ranged(s, "SPD_max", 0.2, -1e9, 1e9);
    Ranged(s, "SPD_min", -0.2, -1e9, 1e9);
    Ranged(s, "CRT_max", 2, -1e9, 1e9);
    Ranged(s, "CRT_min", -2, -1e9, 1e9);
    AttachCoreScales(s);
    return setup;
}

struct Bounds {
    const char* name;
    double min;
    double max;
};

TEST(UpdateParameterLimits, SetsEveryDependentBound) {
    auto setup = MakeLimitsSetup();
    pelmora::UpdateParameterLimits(*setup);
    constexpr double kTs = 5e-4;
    const Bounds expected[] = {
        {"ERR_speed", 0.001, 32767.0 / 32},
        {"ERR_position", 0, 32767.0 / 64000},
        {"time_ERR_spd", 0.001, 32767 * kTs},
        {"time_ERR_pos", 0.001, 32767 * kTs},
        {"PB_C", 100, 5000},
        {"PB_S", 10, 500},
        {"PB_P", 1, 100},
        {"TPP", kTs, kTs * 65535},
        {"TaPP", 2 * kTs, kTs * 65535},
        {"TaNP", 2 * kTs, kTs * 65535},
        {"TaNS", kTs, kTs * 65535},
        // 0.1 s ramps at 32767 counts per sample reach 200 · 32767 / 64000 m.
        {"TestPosition", -0.1 / kTs * 32767 / 64000, 0.1 / kTs * 32767 / 64000},
        // Limit_Speed (0.5 m/s) is below 32767 / K_V.
        {"TestSpeed", -0.5, 0.5},
        {"DeadBand_Point", 0, 3.3},
        {"DeadBand_Range", 0, 1},
        {"POS_max", -0.1, 32767.0 / 64000},
        {"POS_min", -32767.0 / 64000, 0.1},
        {"SPD_max", -0.2, 0.5},
        {"SPD_min", -0.5, 0.2},
        {"CRT_max", -2, 6},
        {"CRT_min", -6, 2},
    };
    for (const Bounds& b : expected) {
        SCOPED_TRACE(b.name);
        const CMC_Parameter* p = setup->FindParameter(b.name);
        EXPECT_NEAR(p->GetMinInBaseUnit(), b.min, std::abs(b.min) * 1e-12);
        EXPECT_NEAR(p->GetMaxInBaseUnit(), b.max, std::abs(b.max) * 1e-12);
    }
}

TEST(UpdateParameterLimits, DeadBandFollowsTheInputRangeAndScheme) {
    struct Case {
        double inputSpan_V;
        bool newScheme;
        double point;
        Bounds pointBounds;
        double rangeMax;
    };
    const Case cases[] = {
        {20, false, 1, {"±10 V", -10, 10}, 9},
        {5, false, 1, {"0-5 V", 0, 5}, 1},
        {10, false, 1, {"0-3.3 V", 0, 3.3}, 1},
        {10, true, 1, {"0-3.3 V, new scheme", 0, 3.3}, 3.3},
        {20, true, 1, {"±10 V, new scheme", -10, 10}, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pointBounds.name);
        auto setup = MakeLimitsSetup();
        Put(*setup, {"AnalogueInputsRange", c.inputSpan_V});
        setup->SetOption("NewDeadBand", c.newScheme ? "1" : "0");
        setup->FindParameter("DeadBand_Point")->SetValueInBaseUnit(c.point);
        pelmora::UpdateParameterLimits(*setup);
        const CMC_Parameter* point = setup->FindParameter("DeadBand_Point");
        EXPECT_EQ(point->GetMinInBaseUnit(), c.pointBounds.min);
        EXPECT_EQ(point->GetMaxInBaseUnit(), c.pointBounds.max);
        EXPECT_NEAR(setup->FindParameter("DeadBand_Range")->GetMaxInBaseUnit(), c.rangeMax, 1e-12);
    }
}

TEST(UpdateParameterLimits, TestSpeedTakesTheSmallerOfRegisterLimitAndLimitSpeed) {
    auto setup = MakeLimitsSetup();
    Put(*setup, {"Limit_Speed", 5000});
    pelmora::UpdateParameterLimits(*setup);
    EXPECT_DOUBLE_EQ(setup->FindParameter("TestSpeed")->GetMaxInBaseUnit(), 32767.0 / 32);
}

TEST(UpdateParameterLimits, AZeroScaleLeavesTheBoundsAsTheyWere) {
    auto setup = MakeLimitsSetup();
    Put(*setup, {"PolePitch", 0});
    Put(*setup, {"DSP_freq", 0});
    pelmora::UpdateParameterLimits(*setup);
    for (const auto& p : setup->GetParameters()) {
        SCOPED_TRACE(p->GetName());
        EXPECT_TRUE(std::isfinite(p->GetMinInBaseUnit()));
        EXPECT_TRUE(std::isfinite(p->GetMaxInBaseUnit()));
        EXPECT_TRUE(std::isfinite(p->GetValueInBaseUnit()));
    }
    for (const char* name : {"ERR_speed", "ERR_position", "time_ERR_pos", "TPP", "TestPosition", "POS_max"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(setup->FindParameter(name)->GetMaxInBaseUnit(), 1e9);
    }
    EXPECT_EQ(setup->FindParameter("ERR_position")->GetValueInBaseUnit(), 0.001);
}

// Every rule built on a scale that is zero keeps the range it had, including those that take
// the smaller of that scale's bound and another parameter.
TEST(UpdateParameterLimits, EveryRuleOnAZeroScaleIsSkipped) {
    struct Case {
        const char* zeroed;
        std::vector<const char*> unchanged;
    };
    const Case cases[] = {
        {"PWMPER", {"SPD_max", "SPD_min", "TestSpeed", "ERR_speed", "TestPosition", "TPP"}},
        {"SLPER", {"SPD_max", "SPD_min", "TestSpeed", "TestPosition", "time_ERR_pos", "TPP"}},
        {"Motor_transmission", {"SPD_max", "SPD_min", "TestSpeed", "ERR_speed", "POS_max", "POS_min", "TestPosition"}},
        {"ImaxPS", {"CRT_max", "CRT_min"}},
    };
    for (const Case& c : cases) {
        auto setup = MakeLimitsSetup();
        Put(*setup, {c.zeroed, 0});
        pelmora::UpdateParameterLimits(*setup);
        for (const char* name : c.unchanged) {
            SCOPED_TRACE(std::string(c.zeroed) + " = 0: " + name);
            const CMC_Parameter* p = setup->FindParameter(name);
            EXPECT_EQ(p->GetMaxInBaseUnit(), 1e9);
            EXPECT_NE(p->GetMinInBaseUnit(), p->GetMaxInBaseUnit());
        }
    }
}

TEST(UpdateParameterLimits, MissingParametersAreSkipped) {
    auto setup = MakeSetup({{"DSP_freq", 60e6}, {"PWMPER", 1500}, {"SLPER", 10}});
    TakeCollectedErrors();
    pelmora::UpdateParameterLimits(*setup);
    EXPECT_EQ(setup->GetParameters().GetParametersCount(), 3);
    // Only the absent rule targets are reported; nothing is created.
    EXPECT_FALSE(TakeCollectedErrors().empty());
}

TEST(UpdateLimits, BiquadFrequenciesStopAtTheSlowLoopNyquistFrequency) {
    auto setup = MakeLimitsSetup();
    for (const char* name : {"BQFilterF11", "BQFilterF21", "BQFilterF13"}) Ranged(*setup, name, 50, 0, 1e6);
    pelmora::UpdateLimits_BiquadFrequencies(*setup);
    for (const char* name : {"BQFilterF11", "BQFilterF21", "BQFilterF13"}) {
        SCOPED_TRACE(name);
        EXPECT_DOUBLE_EQ(setup->FindParameter(name)->GetMaxInBaseUnit(), 1000.0);
    }
}

}  // namespace
