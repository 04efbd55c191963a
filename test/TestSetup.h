// Builds small setups in code for tests: each parameter with a value in its base unit.
#pragma once

#include "BaseQuantities.h"
#include "MC_Setup.h"

#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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

// A drive with round numbers: T_C = 50 µs, T_S = 500 µs, a 10-bit ADC (N_ADC 65472) with
// ImaxPS 8 A (K_I = 4092 counts/A), Vdc 48 V of 100 V measurable, 4096 counts per 32 mm pole
// pitch (K_PM = 128000 /m, K_VM = 64) and the transmission motor : load; `extra` adds or
// replaces parameters. Internal units convert through the core's scales.
inline std::unique_ptr<CMC_Setup> MakeRoundDrive(double motorTransmission = 1.0, double loadTransmission = 1.0,
                                                 const std::vector<ParameterSpec>& extra = {}) {
    auto setup = MakeSetup({
        {"DSP_freq", 60e6, UnitType::Frequency},
        {"PWMPER", 1500},
        {"CLPER", 1},
        {"SLPER", 10},
        {"Vdc", 48, UnitType::BusVoltage},
        {"VdcMaxMeasurable", 100, UnitType::BusVoltage},
        {"ImaxPS", 8, UnitType::Current},
        {"DBTTH", 4},
        {"PolePitch", 0.032, UnitType::LinearPosition},
        {"Motor_transmission", motorTransmission, UnitType::LinearPosition},
        {"Load_transmission", loadTransmission, UnitType::LinearPosition},
    });
    for (const ParameterSpec& p : extra) Put(*setup, p);
    AttachCoreScales(*setup);
    return setup;
}

}  // namespace testing_support
