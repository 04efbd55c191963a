// Builds small setups in code for tests: each parameter with a value in its base unit.
#pragma once

#include "BaseQuantities.h"
#include "MC_Setup.h"

#include <initializer_list>
#include <limits>
#include <memory>
#include <string>

namespace testing_support {

struct ParameterSpec {
    std::string name;
    double value;
    UnitType type = UnitType::None;
    ParameterKind kind = ParameterKind::Real;
};

inline constexpr double kWide = std::numeric_limits<double>::max();

// A setup holding `parameters` with the widest range, each shown in its base unit.
inline std::unique_ptr<CMC_Setup> MakeSetup(std::initializer_list<ParameterSpec> parameters) {
    auto setup = std::make_unique<CMC_Setup>();
    for (const ParameterSpec& p : parameters) {
        setup->AddParameter(p.name, p.kind, p.type, CMC_Units::Instance().BaseUnit(p.type), p.value, -kWide, kWide);
    }
    return setup;
}

// Adds or replaces one parameter's value.
inline void Put(CMC_Setup& setup, const ParameterSpec& p) {
    CMC_QuietErrors quiet;
    if (CMC_Parameter* existing = setup.FindParameter(p.name)) {
        existing->SetValueInBaseUnit(p.value);
        return;
    }
    setup.AddParameter(p.name, p.kind, p.type, CMC_Units::Instance().BaseUnit(p.type), p.value, -kWide, kWide);
}

using pelmora::AttachCoreScales;

}  // namespace testing_support
