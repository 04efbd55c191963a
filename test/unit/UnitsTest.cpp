#include "MC_Setup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>

namespace {

const CMC_Units& Units() { return CMC_Units::Instance(); }

TEST(Units, EveryTypeHasItsBaseUnitFirstAndInternalUnitsLast) {
    for (std::size_t i = 0; i < kUnitTypeCount; ++i) {
        const auto type = static_cast<UnitType>(i);
        const UnitTypeInfo& info = Units().Info(type);
        SCOPED_TRACE(std::string(info.key));
        EXPECT_EQ(info.type, type);
        EXPECT_EQ(Units().BaseUnit(type).GetFactorToBase(), 1.0);
        EXPECT_EQ(Units().FindUnitTypeByKey(info.key), type);
        if (info.isPhysical) {
            EXPECT_TRUE(Units().InternalUnit(type).IsInternal());
            // The scale text finds the base unit again (that is how the advanced dialog compares types).
            const CMC_Unit* base = Units().FindBaseUnit(info.scaleText);
            ASSERT_NE(base, nullptr);
            EXPECT_EQ(base->GetUnitType(), type);
        }
    }
}

TEST(Units, BaseUnitTextsSelectTheirOwnTypes) {
    const std::pair<const char*, UnitType> cases[] = {
        {"s", UnitType::Time},         {"rad/s", UnitType::RotarySpeed},       {"m/s", UnitType::LinearSpeed},
        {"RAD/S^2", UnitType::RotaryAcceleration}, {"m/s^2", UnitType::LinearAcceleration},
        {"A/s", UnitType::CurrentSlope}, {"V ", UnitType::BusVoltage},           {"V", UnitType::Voltage},
        {"°C", UnitType::Temperature},
    };
    for (const auto& [text, type] : cases) {
        SCOPED_TRACE(text);
        const CMC_Unit* unit = Units().FindBaseUnit(text);
        ASSERT_NE(unit, nullptr);
        EXPECT_EQ(unit->GetUnitType(), type);
    }
    EXPECT_EQ(Units().FindBaseUnit("furlong"), nullptr);
}

TEST(Units, DisplayUnitsConvertToTheBaseUnit) {
    struct Case {
        UnitType type;
        const char* unit;
        double value;
        double base;
    };
    const Case cases[] = {
        {UnitType::Current, "mA", 1500, 1.5},
        {UnitType::Time, "ms", 2, 0.002},
        {UnitType::Time, "µs", 50, 50e-6},
        {UnitType::Time, "us", 50, 50e-6},
        {UnitType::AngularFrequency, "Hz", 1, 2.0 * std::numbers::pi},
        {UnitType::AngularFrequency, "rad/s", 300, 300},
        {UnitType::Frequency, "kHz", 20, 20000},
        {UnitType::LinearPosition, "mm", 32, 0.032},
        {UnitType::LinearPosition, "um", 5, 5e-6},
        {UnitType::RotaryPosition, "rot", 1, 2 * std::numbers::pi},
        {UnitType::RotaryPosition, "deg", 180, std::numbers::pi},
        {UnitType::RotarySpeed, "rpm", 60, 2 * std::numbers::pi},
        {UnitType::LinearSpeed, "mm/s", 250, 0.25},
        {UnitType::Resistance, "mOhm", 300, 0.3},
        {UnitType::Resistance, "Ω", 3, 3},
        {UnitType::Inductance, "mH", 1.5, 0.0015},
        {UnitType::Mass, "g", 500, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        const CMC_Unit* unit = Units().FindUnit(c.type, c.unit);
        ASSERT_NE(unit, nullptr);
        EXPECT_NEAR(c.value * unit->GetFactorToBase(), c.base, std::abs(c.base) * 1e-15);
    }
}

TEST(Units, AUnitOfAnotherTypeIsNotFound) {
    EXPECT_EQ(Units().FindUnit(UnitType::Current, "mm"), nullptr);
    EXPECT_EQ(Units().FindUnit(UnitType::LinearPosition, "rot"), nullptr);
    EXPECT_EQ(Units().FindUnit(UnitType::None, "IU"), nullptr);
}

TEST(Units, TypeChangeMovesOnlyWithinTheLinearRotaryFamily) {
    struct Case {
        UnitType from;
        const char* unit;
        std::optional<UnitType> to;
    };
    const Case cases[] = {
        {UnitType::LinearPosition, "rot", UnitType::RotaryPosition},
        {UnitType::RotaryPosition, "mm", UnitType::LinearPosition},
        {UnitType::LinearSpeed, "rpm", UnitType::RotarySpeed},
        {UnitType::RotarySpeed, "m/s", UnitType::LinearSpeed},
        {UnitType::LinearAcceleration, "rad/s^2", UnitType::RotaryAcceleration},
        {UnitType::RotaryJerk, "m/s^3", UnitType::LinearJerk},
        {UnitType::LinearPosition, "mm", UnitType::LinearPosition},
        {UnitType::LinearPosition, "rpm", std::nullopt},
        {UnitType::Current, "rot", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(Units().Info(c.from).key) + " -> " + c.unit);
        const CMC_Unit* unit = Units().FindUnitForTypeChange(c.from, c.unit);
        if (c.to) {
            ASSERT_NE(unit, nullptr);
            EXPECT_EQ(unit->GetUnitType(), *c.to);
        } else {
            EXPECT_EQ(unit, nullptr);
        }
    }
}

}  // namespace
