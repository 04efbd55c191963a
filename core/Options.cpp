#include "Options.h"

#include "Decode.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "Limits.h"
#include "Steps.h"

#include <array>
#include <string_view>
#include <vector>

namespace pelmora {

namespace {

constexpr std::uint32_t kAcrSpeedFeedforward = 0x4000;

enum class ControlMode { Position = 0, Speed = 1, Torque = 2 };

struct ClosedLoops {
    const char* position;
    const char* speed;
    const char* current;
};

enum class ItemKind { Parameter, Variable };
// Which optional group an item belongs to; items of an absent group are left alone.
enum class Group { Always, AnalogueInput, FreezeControl, SoftwareLimits };

struct UnitTypeItem {
    std::string_view name;
    ItemKind kind;
    Group group;
    std::string_view rotaryUnit;
    std::string_view linearUnit;
};

using enum ItemKind;
using enum Group;

// The motor itself always moves in a line: APOS_MT, ASPD and ASPD_MT keep linear units.
constexpr UnitTypeItem kUnitTypeItems[] = {
    {"Load_transmission", Parameter, Always, "rot", "mm"},
    {"TestSpeed", Parameter, Always, "rpm", "m/s"},
    {"Limit_Speed", Parameter, Always, "rad/s", "m/s"},
    {"TestPosition", Parameter, Always, "rot", "mm"},
    {"ERR_position", Parameter, Always, "rot", "mm"},
    {"ERR_speed", Parameter, Always, "rad/s", "m/s"},
    {"POS_max", Parameter, AnalogueInput, "rot", "mm"},
    {"POS_min", Parameter, AnalogueInput, "rot", "mm"},
    {"SPD_max", Parameter, AnalogueInput, "rpm", "m/s"},
    {"SPD_min", Parameter, AnalogueInput, "rpm", "m/s"},
    {"ErefMaxSpeed", Parameter, Always, "rpm", "m/s"},
    {"ErefMaxAcceleration", Parameter, Always, "rad/s^2", "m/s^2"},
    {"FreezeControl_errband", Parameter, FreezeControl, "rot", "mm"},
    {"Negative_SWLS", Parameter, SoftwareLimits, "rot", "mm"},
    {"Positive_SWLS", Parameter, SoftwareLimits, "rot", "mm"},
    {"Load_Position", Variable, Always, "rot", "mm"},
    {"Load_Speed", Variable, Always, "rpm", "m/s"},
    {"Target_Position", Variable, Always, "rot", "mm"},
    {"Target_Speed", Variable, Always, "rpm", "m/s"},
    {"Speed_Reference", Variable, Always, "rpm", "m/s"},
    {"Position_Error", Variable, Always, "rot", "mm"},
    {"Speed_Error", Variable, Always, "rpm", "m/s"},
    {"Pulse_Dir_Input_Speed", Variable, Always, "rpm", "m/s"},
    {"Pulse_Dir_Input_Position", Variable, Always, "rot", "mm"},
    {"APOS", Variable, Always, "rot", "mm"},
    {"APOS_MT", Variable, Always, "mm", "mm"},
    {"APOS_LD", Variable, Always, "rot", "mm"},
    {"ASPD", Variable, Always, "m/s", "m/s"},
    {"ASPD_MT", Variable, Always, "m/s", "m/s"},
    {"ASPD_LD", Variable, Always, "rpm", "m/s"},
    {"CACC", Variable, Always, "rad/s^2", "m/s^2"},
    {"CAPPOS", Variable, Always, "rot", "mm"},
    {"CDEC", Variable, Always, "rad/s^2", "m/s^2"},
    {"CPOS", Variable, Always, "rot", "mm"},
    {"CSPD", Variable, Always, "rpm", "m/s"},
    {"EREFP", Variable, Always, "rot", "mm"},
    {"EREFS", Variable, Always, "rpm", "m/s"},
    {"ERRMAX", Variable, Always, "rot", "mm"},
    {"HOMEPOS", Variable, Always, "rot", "mm"},
    {"HOMESPD", Variable, Always, "rpm", "m/s"},
    {"JERK", Variable, Always, "rad/s^3", "m/s^3"},
    {"POSERR", Variable, Always, "rot", "mm"},
    {"POSINIT", Variable, Always, "rot", "mm"},
    {"POSOKLIM", Variable, Always, "rot", "mm"},
    {"POSTRIGG1", Variable, Always, "rot", "mm"},
    {"POSTRIGG2", Variable, Always, "rot", "mm"},
    {"POSTRIGG3", Variable, Always, "rot", "mm"},
    {"POSTRIGG4", Variable, Always, "rot", "mm"},
    {"SERRMAX", Variable, Always, "rpm", "m/s"},
    {"SPDERR", Variable, Always, "rpm", "m/s"},
    {"SPDREF", Variable, Always, "rpm", "m/s"},
    {"TACC", Variable, Always, "rad/s^2", "m/s^2"},
    {"TPOS", Variable, Always, "rot", "mm"},
    {"TPOSFAST", Variable, Always, "rot", "mm"},
    {"TSPD", Variable, Always, "rpm", "m/s"},
};

}  // namespace

int UpdateClosedLoopOptions(CMC_Setup& setup) {
    const auto mode = static_cast<ControlMode>(Truncate(setup.GetParameterValueInBaseUnit("ControlMode")));
    ClosedLoops loops{};
    switch (mode) {
        case ControlMode::Position: {
            // The position loop drives either the speed loop (1) or the current loop directly (0).
            const std::int32_t cascade = Truncate(setup.GetParameterValueInBaseUnit("PositionControlType"));
            if (cascade == 0) {
                loops = {"1", "0", "1"};
            } else if (cascade == 1) {
                loops = {"1", "1", "1"};
            } else {
                return 0;
            }
            break;
        }
        case ControlMode::Speed: loops = {"0", "1", "1"}; break;
        case ControlMode::Torque: loops = {"0", "0", "1"}; break;
        default: return 0;
    }
    setup.SetOption("IsClosedPosition", loops.position);
    setup.SetOption("IsClosedSpeed", loops.speed);
    setup.SetOption("IsClosedCurrent", loops.current);
    return 1;
}

int UpdateUnitTypes(CMC_Setup& setup) {
    const bool rotary = setup.GetParameterValueInBaseUnit("TransmissionType") != 0.0;
    const bool hasAnalogueInput = HasAnalogueInput(setup);
    const bool hasFreezeControl = HasFreezeControl(setup);
    const bool hasSoftwareLimits = HasSoftwareLimits(setup);
    CMC_QuietErrors quiet;
    for (const UnitTypeItem& item : kUnitTypeItems) {
        const bool present = item.group == Always || (item.group == AnalogueInput && hasAnalogueInput) ||
                             (item.group == FreezeControl && hasFreezeControl) ||
                             (item.group == SoftwareLimits && hasSoftwareLimits);
        if (!present) continue;
        const std::string_view unit = rotary ? item.rotaryUnit : item.linearUnit;
        if (item.kind == Parameter) {
            if (CMC_Parameter* parameter = setup.FindParameter(item.name)) parameter->ChangeUnitType(unit);
        } else if (CMC_Variable* variable = setup.FindVariable(item.name, 1)) {
            variable->ChangeUnitType(unit);
        }
    }
    return 1;
}

int ForceSpeedForward(CMC_Setup& setup) {
    Reads find(setup);
    CMC_Parameter* speedForward = find("SpeedForward");
    CMC_Parameter* controlMode = find("ControlMode");
    CMC_Parameter* cascade = find("PositionControlType");
    CMC_Parameter* acr = find("ACR");
    if (!find.ok()) return 0;
    const bool positionOverSpeed =
        Truncate(controlMode->GetValueInBaseUnit()) == 0 && Truncate(cascade->GetValueInBaseUnit()) == 1;
    if (!positionOverSpeed) {
        speedForward->SetValueInInternalUnit(1.0);
        const auto value = static_cast<std::uint32_t>(Truncate(acr->GetValueInBaseUnit()));
        acr->SetValueInBaseUnit(static_cast<double>(WithBits(value, kAcrSpeedFeedforward, true)));
    }
    return 1;
}

namespace {

struct ParameterState {
    double value, min, max;
    bool operator==(const ParameterState&) const = default;
};

void TakeState(const CMC_Setup& setup, std::vector<ParameterState>& state) {
    state.clear();
    for (const auto& p : setup.GetParameters()) {
        state.push_back({p->GetValueInBaseUnit(), p->GetMinInBaseUnit(), p->GetMaxInBaseUnit()});
    }
}

}  // namespace

void UpdateRegistersWithCurrentPeriods(CMC_Setup& setup) {
    UpdateRegistersFromParameters(setup);
    Decode_PWMperiod(setup);
    Decode_Ts_C(setup);
    Decode_Ts_S(setup);
    UpdateRegistersFromParameters(setup);
}

int SettleSetup(CMC_Setup& setup) {
    std::vector<ParameterState> before;
    std::vector<ParameterState> after;
    TakeState(setup, before);
    for (int round = 1; round <= kMaxSettleRounds; ++round) {
        UpdateRegistersWithCurrentPeriods(setup);
        ComputeAll(setup);
        TakeState(setup, after);
        if (after == before) return round;
        before.swap(after);
    }
    return 0;
}

void ComputeAll(CMC_Setup& setup) {
    UpdateParametersFromRegisters(setup);
    UpdateParameterLimits(setup);
    UpdateClosedLoopOptions(setup);
    UpdateUnitTypes(setup);
}

}  // namespace pelmora
