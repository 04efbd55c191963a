#include "MC_Units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <numbers>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Every unit type's units: its base unit first, then the other display units, then IU.
// The order is the order a unit list shows them in.
constexpr CMC_Unit kUnits[] = {
    {"-", UnitType::None, 1.0},

    {"s", UnitType::Time, 1.0},
    {"ms", UnitType::Time, 1e-3},
    {"µs", UnitType::Time, 1e-6},
    {kInternalUnitName, UnitType::Time, 1.0, true},

    {"Hz", UnitType::Frequency, 1.0},
    {"kHz", UnitType::Frequency, 1e3},
    {kInternalUnitName, UnitType::Frequency, 1.0, true},

    {"A", UnitType::Current, 1.0},
    {"mA", UnitType::Current, 1e-3},
    {kInternalUnitName, UnitType::Current, 1.0, true},

    {"A/s", UnitType::CurrentSlope, 1.0},
    {kInternalUnitName, UnitType::CurrentSlope, 1.0, true},

    {"V", UnitType::Voltage, 1.0},
    {"mV", UnitType::Voltage, 1e-3},
    {kInternalUnitName, UnitType::Voltage, 1.0, true},

    {"V/s", UnitType::VoltageSlope, 1.0},
    {kInternalUnitName, UnitType::VoltageSlope, 1.0, true},

    // The bus voltage shows as "V" but scales with its own text "V " (see kTypes).
    {"V", UnitType::BusVoltage, 1.0},
    {kInternalUnitName, UnitType::BusVoltage, 1.0, true},

    {"m", UnitType::LinearPosition, 1.0},
    {"mm", UnitType::LinearPosition, 1e-3},
    {"µm", UnitType::LinearPosition, 1e-6},
    {kInternalUnitName, UnitType::LinearPosition, 1.0, true},

    {"rad", UnitType::RotaryPosition, 1.0},
    {"rot", UnitType::RotaryPosition, kTwoPi},
    {"deg", UnitType::RotaryPosition, std::numbers::pi / 180.0},
    {kInternalUnitName, UnitType::RotaryPosition, 1.0, true},

    {"m/s", UnitType::LinearSpeed, 1.0},
    {"mm/s", UnitType::LinearSpeed, 1e-3},
    {kInternalUnitName, UnitType::LinearSpeed, 1.0, true},

    {"rad/s", UnitType::RotarySpeed, 1.0},
    {"rpm", UnitType::RotarySpeed, kTwoPi / 60.0},
    {"rot/s", UnitType::RotarySpeed, kTwoPi},
    {kInternalUnitName, UnitType::RotarySpeed, 1.0, true},

    {"m/s^2", UnitType::LinearAcceleration, 1.0},
    {"mm/s^2", UnitType::LinearAcceleration, 1e-3},
    {kInternalUnitName, UnitType::LinearAcceleration, 1.0, true},

    {"rad/s^2", UnitType::RotaryAcceleration, 1.0},
    {"rot/s^2", UnitType::RotaryAcceleration, kTwoPi},
    {kInternalUnitName, UnitType::RotaryAcceleration, 1.0, true},

    {"m/s^3", UnitType::LinearJerk, 1.0},
    {"mm/s^3", UnitType::LinearJerk, 1e-3},
    {kInternalUnitName, UnitType::LinearJerk, 1.0, true},

    {"rad/s^3", UnitType::RotaryJerk, 1.0},
    {"rot/s^3", UnitType::RotaryJerk, kTwoPi},
    {kInternalUnitName, UnitType::RotaryJerk, 1.0, true},

    {"°C", UnitType::Temperature, 1.0},
    {kInternalUnitName, UnitType::Temperature, 1.0, true},

    {"Ω", UnitType::Resistance, 1.0},
    {"mΩ", UnitType::Resistance, 1e-3},
    {kInternalUnitName, UnitType::Resistance, 1.0, true},

    {"H", UnitType::Inductance, 1.0},
    {"mH", UnitType::Inductance, 1e-3},
    {"µH", UnitType::Inductance, 1e-6},
    {kInternalUnitName, UnitType::Inductance, 1.0, true},

    {"kg", UnitType::Mass, 1.0},
    {"g", UnitType::Mass, 1e-3},
    {kInternalUnitName, UnitType::Mass, 1.0, true},

    {"N/A", UnitType::ForceConstant, 1.0},
    {kInternalUnitName, UnitType::ForceConstant, 1.0, true},

    {"%", UnitType::Percent, 1.0},
    {kInternalUnitName, UnitType::Percent, 1.0, true},

    {"rad/s", UnitType::AngularFrequency, 1.0},
    {"Hz", UnitType::AngularFrequency, kTwoPi},
    {kInternalUnitName, UnitType::AngularFrequency, 1.0, true},
};

constexpr UnitTypeInfo kTypes[kUnitTypeCount] = {
    {UnitType::None, "none", "", false},
    {UnitType::Time, "time", "s", true},
    {UnitType::Frequency, "frequency", "Hz", true},
    {UnitType::Current, "current", "A", true},
    {UnitType::CurrentSlope, "current_slope", "A/s", true},
    {UnitType::Voltage, "voltage", "V", true},
    {UnitType::VoltageSlope, "voltage_slope", "V/s", true},
    {UnitType::BusVoltage, "bus_voltage", "V ", true},
    {UnitType::LinearPosition, "linear_position", "m", true},
    {UnitType::RotaryPosition, "rotary_position", "rad", true},
    {UnitType::LinearSpeed, "linear_speed", "m/s", true},
    {UnitType::RotarySpeed, "rotary_speed", "rad/s", true},
    {UnitType::LinearAcceleration, "linear_acceleration", "m/s^2", true},
    {UnitType::RotaryAcceleration, "rotary_acceleration", "rad/s^2", true},
    {UnitType::LinearJerk, "linear_jerk", "m/s^3", true},
    {UnitType::RotaryJerk, "rotary_jerk", "rad/s^3", true},
    {UnitType::Temperature, "temperature", "°C", true},
    {UnitType::Resistance, "resistance", "Ω", true},
    {UnitType::Inductance, "inductance", "H", true},
    {UnitType::Mass, "mass", "kg", true},
    {UnitType::ForceConstant, "force_constant", "N/A", true},
    {UnitType::Percent, "percent", "%", true},
    // No drive variable has this type: its text never reaches the scale functions.
    {UnitType::AngularFrequency, "angular_frequency", "", false},
};

// Plain-ASCII spellings a user can type for units whose names need other characters.
struct UnitAlias {
    std::string_view alias;
    std::string_view unit;
};
constexpr UnitAlias kAliases[] = {
    {"Ohm", "Ω"}, {"Ohms", "Ω"}, {"mOhm", "mΩ"}, {"us", "µs"}, {"um", "µm"},
    {"uH", "µH"}, {"degC", "°C"}, {"C", "°C"},
    // U+00B5 MICRO SIGN and U+03BC GREEK SMALL LETTER MU look alike; accept both.
    {"μs", "µs"}, {"μm", "µm"}, {"μH", "µH"},
};

// Linear and rotary members of one family; a unit type change moves only within a family.
constexpr std::array<std::array<UnitType, 2>, 4> kFamilies = {{
    {UnitType::LinearPosition, UnitType::RotaryPosition},
    {UnitType::LinearSpeed, UnitType::RotarySpeed},
    {UnitType::LinearAcceleration, UnitType::RotaryAcceleration},
    {UnitType::LinearJerk, UnitType::RotaryJerk},
}};


// Lower-cases the ASCII capitals among eight bytes at once; other bytes pass unchanged.
constexpr std::uint64_t LowerAscii8(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint64_t low7 = word & ~kHigh;
    // Per byte the high bit tells b >= 'A' and b > 'Z'; the sums never carry into the next byte.
    const std::uint64_t atLeastA = low7 + kOnes * (0x80 - 'A');
    const std::uint64_t aboveZ = low7 + kOnes * (0x80 - 'Z' - 1);
    const std::uint64_t capitals = atLeastA & ~aboveZ & ~word & kHigh;
    return word | (capitals >> 2);
}
static_assert(LowerAscii8(0x5A41405B7A61607BULL) == 0x7A61405B7A61607BULL);

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    // Eight bytes at a time; words that are already equal (the usual case) cost one compare.
    std::size_t i = 0;
    for (; i + 8 <= a.size(); i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y && LowerAscii8(x) != LowerAscii8(y)) return false;
    }
    if (i == a.size()) return true;
    // The last word, zero-padded alike on both sides.
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a.data() + i, a.size() - i);
    std::memcpy(&y, b.data() + i, a.size() - i);
    return x == y || LowerAscii8(x) == LowerAscii8(y);
}

bool CMC_Unit::IsBaseUnit() const { return !m_isInternal && m_factorToBase == 1.0; }

const CMC_Units& CMC_Units::Instance() {
    static const CMC_Units units;
    return units;
}

const UnitTypeInfo& CMC_Units::Info(UnitType type) const {
    const auto index = static_cast<std::size_t>(type);
    assert(index < kUnitTypeCount && kTypes[index].type == type);
    return kTypes[index];
}

std::optional<UnitType> CMC_Units::FindUnitTypeByKey(std::string_view key) const {
    for (const UnitTypeInfo& info : kTypes) {
        if (info.key == key) return info.type;
    }
    return std::nullopt;
}

std::span<const CMC_Unit> CMC_Units::DisplayUnits(UnitType type) const {
    const auto* first = std::find_if(std::begin(kUnits), std::end(kUnits),
                                     [type](const CMC_Unit& u) { return u.GetUnitType() == type; });
    const auto* last = std::find_if(first, std::end(kUnits),
                                    [type](const CMC_Unit& u) { return u.GetUnitType() != type; });
    return {first, last};
}

const CMC_Unit& CMC_Units::BaseUnit(UnitType type) const { return DisplayUnits(type).front(); }

const CMC_Unit& CMC_Units::InternalUnit(UnitType type) const {
    // Types without a physical unit count in the drive's units already.
    return DisplayUnits(type).back();
}

const CMC_Unit* CMC_Units::FindBaseUnit(std::string_view name) const {
    for (const UnitTypeInfo& info : kTypes) {
        if (info.isPhysical && EqualsNoCase(info.scaleText, name)) return &BaseUnit(info.type);
    }
    return nullptr;
}

const CMC_Unit* CMC_Units::FindUnit(UnitType type, std::string_view name) const {
    for (const UnitAlias& alias : kAliases) {
        if (alias.alias == name) {
            name = alias.unit;
            break;
        }
    }
    const std::span<const CMC_Unit> units = DisplayUnits(type);
    // An exact match first: "mm" and "Mm" must not be confused where both could exist.
    for (const CMC_Unit& unit : units) {
        if (unit.GetName() == name) return &unit;
    }
    for (const CMC_Unit& unit : units) {
        if (EqualsNoCase(unit.GetName(), name)) return &unit;
    }
    return nullptr;
}

const CMC_Unit* CMC_Units::FindUnitForTypeChange(UnitType current, std::string_view name) const {
    if (const CMC_Unit* unit = FindUnit(current, name)) return unit;
    for (const auto& family : kFamilies) {
        if (std::find(family.begin(), family.end(), current) == family.end()) continue;
        for (UnitType member : family) {
            if (const CMC_Unit* unit = FindUnit(member, name); unit && !unit->IsInternal()) return unit;
        }
    }
    return nullptr;
}

namespace {

std::string TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

TypedQuantityResult ParseTypedQuantity(std::string_view text) {
    const std::string trimmed = TrimBlanks(text);
    const char* first = trimmed.data();
    const char* last = trimmed.data() + trimmed.size();
    if (first != last && *first == '+') ++first;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) return {std::nullopt, "\"" + trimmed + "\" is out of the range of numbers"};
    if (ec != std::errc() || end == first) return {std::nullopt, "\"" + trimmed + "\" does not start with a number"};
    if (!std::isfinite(value)) return {std::nullopt, "\"" + trimmed + "\" is not a finite number"};
    return {TypedQuantity{value, TrimBlanks(std::string_view(end, static_cast<std::size_t>(last - end)))}, {}};
}
