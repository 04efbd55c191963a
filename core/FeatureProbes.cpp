#include "FeatureProbes.h"

#include <initializer_list>
#include <string_view>

namespace pelmora {

namespace {

constexpr double kDefaultAbsoluteStartMinMove_percent = 60.0;

bool HasAll(const CMC_Setup& setup, std::initializer_list<std::string_view> names) {
    CMC_QuietErrors quiet;
    for (std::string_view name : names) {
        if (!setup.FindParameter(name)) return false;
    }
    return true;
}

double ValueOr(const CMC_Setup& setup, std::string_view name, double fallback) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* parameter = setup.FindParameter(name);
    return parameter ? parameter->GetValueInBaseUnit() : fallback;
}

}  // namespace

bool HasAnalogueInput(const CMC_Setup& setup) {
    CMC_QuietErrors quiet;
    return setup.FindVariable("CADIN", 1) && setup.FindParameter("CADIN");
}

bool HasSoftwareLimits(const CMC_Setup& setup) { return HasAll(setup, {"isSWLS"}); }
bool HasSpeedEstimator(const CMC_Setup& setup) { return HasAll(setup, {"isSpeedEstimator"}); }
bool HasLssSaveFlags(const CMC_Setup& setup) { return HasAll(setup, {"save_CAN_baudrate", "save_axis_id"}); }
bool HasGravityCompensation(const CMC_Setup& setup) {
    return HasAll(setup, {"FFL", "OffsetCurrent", "isCompensateGravitationalLoads"});
}
bool HasMotorBrake(const CMC_Setup& setup) { return HasAll(setup, {"BRAKECFG", "isMotorBrake"}); }
bool HasFreezeControl(const CMC_Setup& setup) { return HasAll(setup, {"POSOKLIM_FC", "TONPOSOK_FC"}); }
bool HasInputsPolarity(const CMC_Setup& setup) { return HasAll(setup, {"InputsPolarityType"}); }
bool HasTransmissionRegister(const CMC_Setup& setup) { return HasAll(setup, {"TRANSMISSION"}); }
bool HasBiquadFilters(const CMC_Setup& setup) { return HasAll(setup, {"IQREF_BQ_INI"}); }
bool HasSpeedTestReferenceType(const CMC_Setup& setup) { return HasAll(setup, {"SpeedTestReferenceType"}); }
bool HasAbsoluteStartMinMove(const CMC_Setup& setup) { return HasAll(setup, {"ABSTART_MINMOVE"}); }
bool HasI2tWarningLimits(const CMC_Setup& setup) { return HasAll(setup, {"II2TWARLIM_D", "I2TWARLIM_M"}); }
bool HasSpeedForward(const CMC_Setup& setup) { return HasAll(setup, {"SpeedForward"}); }

bool HasNegativeTransmissionOption(const CMC_Setup& setup) { return setup.GetIntOption("hasNegTransmission") == 1; }
bool HidesEnablePolarity(const CMC_Setup& setup) { return setup.GetIntOption("hideEnablePolarity") == 1; }
bool IsNewDeadBand(const CMC_Setup& setup) { return setup.GetIntOption("NewDeadBand") == 1; }

double GetAbsoluteStartMinMovePercent(const CMC_Setup& setup) {
    return ValueOr(setup, "ABSTART_MINMOVE_PERCENT", kDefaultAbsoluteStartMinMove_percent);
}
double GetTsCMin(const CMC_Setup& setup) { return ValueOr(setup, "Ts_C_min", 0.0); }
double GetTsSMin(const CMC_Setup& setup) { return ValueOr(setup, "Ts_S_min", 0.0); }

int GetInputsTypeProgrammable(const CMC_Setup& setup) {
    if (setup.GetOptionNoError("IsInputsTypeProgrammable").empty()) return -1;
    return setup.GetIntOption("IsInputsTypeProgrammable");
}

}  // namespace pelmora
