#include "TestPositionTuning.h"

#include "BaseQuantities.h"
#include "ControllerDesign.h"
#include "Decode.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "TuningTestForm.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace pelmora {

namespace {

constexpr const char* kProcedure =
    "1. Check/setup the test current limits and position profile below\r\n2. Go to the \"Test\" tab and press the "
    "\"Tune\" button\r\n3. Check/identify the total mass, then set the desired passband and tune the "
    "controller\r\n4. Press the \"Start\" button\r\n5. Wait until the test begins and displays the results\r\n6. If "
    "needed, change the controller parameters during the test, until you get satisfactory results";

constexpr std::array<const char*, 8> kTexts = TuningStatusTexts(kProcedure);

constexpr int kCascade = 1;
constexpr int kOnlineSteps = 4;
constexpr int kLoggerSteps = 5;

// The two position programs log the same pair above and differ in the pair below.
constexpr TuningRunSpec PositionRun(const char* program, const char* lowerReference, const char* lowerResponse) {
    return {program,
            "TestPosition",
            &GetLoadPositionScale,
            {"TaPP", "TPP", "TaNP", "TNP"},
            "PositionTestReferenceType",
            "OnlinePlotP",
            "MultiCycleP",
            "Target_Position",
            "Load_Position",
            {"Target_Position", "Load_Position", lowerReference, lowerResponse},
            RampRule::Position,
            kTexts.data()};
}

// The position loop over the speed loop plots the speed pair below; acting on the current it
// plots the current pair.
const TuningRunSpec kWithSpeedLoop =
    PositionRun("Position_Controller_Tuning_Test_with_SpdCtrl", "Speed_Reference", "Load_Speed");
const TuningRunSpec kWithoutSpeedLoop =
    PositionRun("Position_Controller_Tuning_Test_without_SpdCtrl", "Current_Reference", "Motor_Current");

constexpr std::array kRegisters = {
    TuningRegisterRule{"Kp_P_scl", {&Encode_SFTKPP, &Encode_KPP, nullptr}, {"SFTKPP", "KPP", nullptr}},
    TuningRegisterRule{"Ki_P_scl", {&Encode_SFTKIP, &Encode_KIP, nullptr}, {"SFTKIP", "KIP", nullptr}},
    TuningRegisterRule{"Kd_P_scl", {&Encode_SFTKDP, &Encode_KDP, nullptr}, {"SFTKDP", "KDP", nullptr}},
    TuningRegisterRule{"filter_D", {&Encode_KDFP, nullptr, nullptr}, {"KDFP", nullptr, nullptr}},
    TuningRegisterRule{"IPSatP", {&Encode_IMAXP, nullptr, nullptr}, {"IMAXP", nullptr, nullptr}},
    TuningRegisterRule{"KFFS_scl", {&Encode_SFTSFFW, &Encode_KFFS, &Encode_KFFA}, {"SFTSFFW", "KFFS", "KFFA"}},
    TuningRegisterRule{"KFFA_scl", {&Encode_SFTAFFW, &Encode_SFTKFF, &Encode_KFFA}, {"SFTAFFW", "SFTKFF", "KFFA"}},
};

const TuningTestSpec kSpec{
    CMyTestDlg::kPositionTuningTemplate,
    CTestPositionTuning::kHelpTopic,
    &kPositionTuningForm,
    kPositionTuningParametersTab,
    kPositionTuningTestTab,
    kPositionTuningLiveEditable,
    IDC_TT_IDENTIFY_POSITION,
    {IDC_TT_POSITION_REF_VALUE, IDC_TT_LOAD_POSITION_VALUE},
    {"position_start_positioning", "position_start_hall"},
    "PositionTuningOscSettings",
    "PositionTuning",
    kRegisters,
    {&DesignPositionController,
     {&Encode_SFTKPP, &Encode_KPP, &Encode_SFTKIP, &Encode_KIP, &Encode_SFTKDP, &Encode_KDP},
     {&Decode_Ki_P_scl, &Decode_Kp_P_scl, &Decode_Kd_P_scl},
     {"SFTKPP", "KPP", "SFTKIP", "KIP", "SFTKDP", "KDP"}},
};

constexpr std::array<int, 4> kSpeedLimit = {IDC_TT_SPEED_LIMIT_GROUP, IDC_TT_SPEED_LIMIT_LABEL, IDC_TT_SPEED_LIMIT,
                                            IDC_TT_SPEED_LIMIT_UNIT};
constexpr std::array<int, 5> kSpeedFeedforwardRow = {IDC_TT_FFS_LABEL, IDC_TT_FFS, IDC_TT_FFS_SPIN_DOWN,
                                                     IDC_TT_FFS_SLIDER, IDC_TT_FFS_SPIN_UP};
constexpr std::array<int, 5> kAccelerationRow = {IDC_TT_FFA_LABEL, IDC_TT_FFA, IDC_TT_FFA_SPIN_DOWN,
                                                 IDC_TT_FFA_SLIDER, IDC_TT_FFA_SPIN_UP};

bool IsNameOf(const char* name, const char* parameter) { return EqualsNoCase(name ? name : "", parameter); }

CMC_Parameter* FindQuietly(const CMC_Setup* setup, const char* name) {
    CMC_QuietErrors quiet;
    return setup ? setup->FindParameter(name) : nullptr;
}

double BaseOf(const CMC_Setup* setup, const char* name) {
    const CMC_Parameter* parameter = FindQuietly(setup, name);
    return parameter ? parameter->GetValueInBaseUnit() : 0.0;
}

const TuningRunSpec& RunFor(const CMC_Setup* setup) {
    return BaseOf(setup, "PositionControlType") == kCascade ? kWithSpeedLoop : kWithoutSpeedLoop;
}

}  // namespace

CTestPositionTuning::CTestPositionTuning(CMC_Setup* setup, int flag) : CTuningTestDlg(setup, kSpec, RunFor(setup), flag) {
    m_nStepCount = static_cast<std::int16_t>(IsOnline() ? kOnlineSteps : kLoggerSteps);
    AddParameterControls("TestLimitCurrent", IDC_TT_LIMIT, IDC_TT_LIMIT_UNIT);
    AddParameterControls("TestProtectionCurrent", IDC_TT_PROTECTION, IDC_TT_PROTECTION_UNIT);
    AddParameterControls("TestStartCurrent", IDC_TT_START_CURRENT, IDC_TT_START_CURRENT_UNIT);
    AddParameterControls("TestPosition", IDC_TT_POSITION, IDC_TT_POSITION_UNIT);
    AddParameterControls("TPP", IDC_TT_TP, IDC_TT_TP_UNIT);
    AddParameterControls("TNP", IDC_TT_TN, IDC_TT_TN_UNIT);
    AddParameterControls("TaPP", IDC_TT_TAP, IDC_TT_TAP_UNIT);
    AddParameterControls("TaNP", IDC_TT_TAN, IDC_TT_TAN_UNIT);
    AddSwitchParameterControls("OnlinePlotP", IDC_TT_DATA_LOGGER, IDC_TT_ONLINE);
    AddCheckParameterControls("MultiCycleP", IDC_TT_MULTI_CYCLE);
    AddParameterControls("filter_D", IDC_TT_KD_FILTER);
    AddParameterControls("Mt", IDC_TT_MASS_EDIT, IDC_TT_MASS_UNIT);
    if (setup && HasSpeedTestReferenceType(*setup))
        AddSwitchParameterControls("PositionTestReferenceType", IDC_TT_POSITIVE, IDC_TT_BIDIRECTIONAL);
    if (WithSpeedLoop()) AddParameterControls("Limit_Speed", IDC_TT_SPEED_LIMIT, IDC_TT_SPEED_LIMIT_UNIT);
    BindSlider("Kp_P_scl", IDC_TT_KP_SLIDER, IDC_TT_KP);
    BindSlider("Ki_P_scl", IDC_TT_KI_SLIDER, IDC_TT_KI);
    BindSlider("Kd_P_scl", IDC_TT_KD_SLIDER, IDC_TT_KD);
    BindSlider("IPSatP", IDC_TT_ILIM_SLIDER, IDC_TT_ILIM, IDC_TT_ILIM_UNIT);
    BindSlider("KFFS_scl", IDC_TT_FFS_SLIDER, IDC_TT_FFS);
    BindSlider("KFFA_scl", IDC_TT_FFA_SLIDER, IDC_TT_FFA);
    BindSlider("PB_P", IDC_TT_PASSBAND_SLIDER, IDC_TT_PASSBAND, IDC_TT_PASSBAND_UNIT);
    BindSlider("Mload_over_M", IDC_TT_RATIO_SLIDER, IDC_TT_RATIO);
}

bool CTestPositionTuning::WithSpeedLoop() const { return Base("PositionControlType") == kCascade; }

bool CTestPositionTuning::WriteLimits(CMC_CoffFormat& program) {
    CMC_Setup& setup = *GetSetup();
    CMC_Parameter* limit = setup.FindParameter("TestLimitCurrent");
    CMC_Parameter* drive = setup.FindParameter("IlimPS");
    if (!limit || !drive) {
        Fail(msc_pszErrInternal);
        return false;
    }
    if (!WithSpeedLoop()) {
        // The program limits the current it commands itself.
        drive->SetValueInInternalUnit(limit->GetValueInInternalUnit());
        if (!WriteCurrentCounts(program, "IlimPS", "IlimPS_Test")) return false;
    } else {
        // The speed loop under the position loop limits the current from the downloaded registers.
        drive->SetValueInBaseUnit(limit->GetValueInBaseUnit());
        Encode_IMAXS(setup);
        Encode_SATS(setup);
        Encode_SATP(setup);
        const CMC_Parameter* speed = setup.FindParameter("Limit_Speed");
        const double counts = speed ? std::trunc(speed->GetValueInInternalUnit()) : 0.0;
        if (!speed || !std::isfinite(counts) || std::fabs(counts) > std::numeric_limits<std::int32_t>::max()) {
            Fail("\"Limit_Speed\" is beyond the speed the drive can count.");
            return false;
        }
        std::string error;
        if (!SetUserVariableValue(&program, "LimitSpeed_Test", counts, error)) {
            Fail(error);
            return false;
        }
    }
    return WriteCurrentCounts(program, "TestProtectionCurrent", "Imax_Prot_Test");
}

void CTestPositionTuning::FeedforwardRules() {
    CMC_Setup& setup = *GetSetup();
    const double controlMode = std::trunc(Base("ControlMode"));
    const double pct = Base("PositionControlType");
    const double fastLoop = Base("PosSpd_in_FastLoop");
    // A run in data-logger mode keeps its gains: nothing here unlocks them.
    const bool editable = m_bRunning == 0 || IsOnline();
    const bool speedLimit = controlMode == 0.0 && pct == kCascade;
    EnableChildren(kSpeedLimit, speedLimit);
    if (!HasSpeedForward(setup)) {
        EnableChildren(kSpeedFeedforwardRow, editable && controlMode == 0.0 && pct == kCascade);
        EnableChildren(kAccelerationRow, editable && (controlMode != 0.0 || pct == kCascade || fastLoop != 1.0));
        return;
    }
    const bool on = fastLoop == 0.0 && controlMode == 0.0 && (pct == 0.0 || pct == kCascade);
    EnableChild(IDC_TT_FEEDFORWARD_GROUP, on);
    EnableChildren(kSpeedFeedforwardRow, on && editable);
    EnableChildren(kAccelerationRow, on && editable);
}

void CTestPositionTuning::RescaleSpeedPair() {
    const CMC_Parameter* speed = FindQuietly(GetSetup(), "TestSpeed");
    const double shortest_s = std::min(Base("TaPP"), Base("TaNP"));
    if (!speed || !FindQuietly(GetSetup(), "TestPosition") || !(shortest_s > 0.0)) return;
    // The speed the profile's ramps reach, in the unit the speed test shows speeds in.
    double unit_base = 1.0;
    if (!speed->ToBase(1.0, speed->GetUnit(), unit_base) || !(unit_base > 0.0)) return;
    const double shown = Base("TestPosition") / shortest_s / unit_base;
    if (!std::isfinite(shown)) return;
    RescalePair("Speed_Reference", "Load_Speed", "TestSpeed", ProfileSpeedChannelScale(shown));
}

void CTestPositionTuning::ScopeRulesOnValue(const char* name) {
    if (IsNameOf(name, "TestPosition")) {
        RescaleReferencePair();
        if (WithSpeedLoop()) RescaleSpeedPair();
        ApplyScopeTrigger();
    } else if (IsNameOf(name, "TestLimitCurrent")) {
        if (!WithSpeedLoop()) RescaleCurrentPair();
    } else if (IsNameOf(name, "TaPP") || IsNameOf(name, "TaNP")) {
        if (WithSpeedLoop()) RescaleSpeedPair();
        ApplyScopeTrigger();
    } else if (IsNameOf(name, "MultiCycleP") || IsNameOf(name, "TPP") || IsNameOf(name, "TNP")) {
        ApplyScopeTrigger();
    }
}

void CTestPositionTuning::ScopeRulesOnUnit(const char* name) {
    if (IsNameOf(name, "TestPosition")) RescaleReferencePair();
    if (IsNameOf(name, "TestLimitCurrent") && !WithSpeedLoop()) RescaleCurrentPair();
}

void CTestPositionTuning::ScopeRulesOnReferenceType() { ApplyScopeTrigger(); }

void CTestPositionTuning::RescaleAllPairs() {
    RescaleReferencePair();
    if (WithSpeedLoop()) {
        RescaleSpeedPair();
    } else {
        RescaleCurrentPair();
    }
}

ScopeTrigger CTestPositionTuning::TriggerFor(std::optional<ReferenceType> type, double amplitude) const {
    return PositionTrigger(type, amplitude);
}

}  // namespace pelmora
