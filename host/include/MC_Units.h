// Physical unit types, their base units and the units a user may choose to show.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

enum class UnitType {
    None,
    Time,
    Frequency,
    Current,
    CurrentSlope,
    Voltage,
    VoltageSlope,
    BusVoltage,
    LinearPosition,
    RotaryPosition,
    LinearSpeed,
    RotarySpeed,
    LinearAcceleration,
    RotaryAcceleration,
    LinearJerk,
    RotaryJerk,
    Temperature,
    Resistance,
    Inductance,
    Mass,
    ForceConstant,
    Percent,
    // The ω of a closed loop the controller designs place (the passbands): rad/s, shown also in Hz.
    AngularFrequency,
};

inline constexpr std::size_t kUnitTypeCount = static_cast<std::size_t>(UnitType::AngularFrequency) + 1;

// The display unit every physical unit type offers besides its own: the drive's counts.
inline constexpr std::string_view kInternalUnitName = "IU";

// One unit a value can be shown in. The factor converts to the unit type's base unit:
// value_in_base = value_in_this_unit * factor.
class CMC_Unit {
public:
    constexpr CMC_Unit(std::string_view name, UnitType type, double factorToBase, bool isInternal = false)
        : m_name(name), m_type(type), m_factorToBase(factorToBase), m_isInternal(isInternal) {}

    std::string_view GetName() const { return m_name; }
    UnitType GetUnitType() const { return m_type; }
    double GetFactorToBase() const { return m_factorToBase; }
    bool IsInternal() const { return m_isInternal; }
    bool IsBaseUnit() const;

private:
    std::string_view m_name;
    UnitType m_type;
    double m_factorToBase;
    bool m_isInternal;
};

struct UnitTypeInfo {
    UnitType type;
    std::string_view key;        // the name used in setup files ("linear_position")
    std::string_view scaleText;  // the base unit text handed to the plug-in's scale functions
    // false where the drive has no scale for the type, so the internal value is the base value:
    // UnitType::None, and the angular frequencies that only the host's designs use.
    bool isPhysical;
};

// The host's unit table. One process-wide instance, immutable.
class CMC_Units {
public:
    static const CMC_Units& Instance();

    const UnitTypeInfo& Info(UnitType type) const;
    std::optional<UnitType> FindUnitTypeByKey(std::string_view key) const;

    // The base unit whose text is `name` ("s", "rad/s", "V " ...), compared without regard to
    // case; null when no unit type has that base unit.
    const CMC_Unit* FindBaseUnit(std::string_view name) const;
    // A display unit of one unit type by its text or an accepted spelling ("Ohm" for "Ω").
    const CMC_Unit* FindUnit(UnitType type, std::string_view name) const;
    // The unit type in the same family as `current` (or `current` itself) that offers the
    // display unit `name`: how a position switches between linear and rotary by a unit name.
    const CMC_Unit* FindUnitForTypeChange(UnitType current, std::string_view name) const;

    const CMC_Unit& BaseUnit(UnitType type) const;
    const CMC_Unit& InternalUnit(UnitType type) const;
    std::span<const CMC_Unit> DisplayUnits(UnitType type) const;

private:
    CMC_Units() = default;
};

// A number with an optional unit, as a user types it: "20kHz", "1.5 mm", "-3e-3", "0.5 IU".
struct TypedQuantity {
    double value = 0.0;
    std::string unit;  // empty: the unit on show
};
// The quantity, or an error message saying what is wrong with the text.
struct TypedQuantityResult {
    std::optional<TypedQuantity> quantity;
    std::string error;
};
TypedQuantityResult ParseTypedQuantity(std::string_view text);

// Case-insensitive (ASCII) comparison, as unit texts and names are compared.
bool EqualsNoCase(std::string_view a, std::string_view b);
