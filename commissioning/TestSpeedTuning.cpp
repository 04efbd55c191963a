#include "TestSpeedTuning.h"

#include "BaseQuantities.h"
#include "ControllerDesign.h"
#include "Decode.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "TuningTestForm.h"

namespace pelmora {

namespace {

constexpr const char* kProcedure =
    "1. Check/setup the test current limits and speed profile below\r\n2. Go to the \"Test\" tab and press the "
    "\"Tune\" button\r\n3. Check/identify the total mass, then set the desired passband and tune the "
    "controller\r\n4. Press the \"Start\" button\r\n5. Wait until the test begins and displays the results\r\n6. If "
    "needed, change the controller parameters during the test, until you get satisfactory results";

constexpr std::array<const char*, 8> kTexts = TuningStatusTexts(kProcedure);

const TuningRunSpec kRun{
    "Speed_Controller_Tuning_Test",
    "TestSpeed",
    &GetLoadSpeedScale,
    {"TaPS", "TPS", "TaNS", "TNS"},
    "SpeedTestReferenceType",
    "OnlinePlotS",
    "MultiCycleS",
    "Speed_Reference",
    "Load_Speed",
    {"Speed_Reference", "Load_Speed", "Current_Reference", "Motor_Current"},
    RampRule::Speed,
    kTexts.data(),
};

// The acceleration feedforward's registers follow its gain whatever is known of the motor mass:
// otherwise a run would send the drive the registers of the previous gain.
constexpr std::array kRegisters = {
    TuningRegisterRule{"Kp_S_scl", {&Encode_SFTKPS, &Encode_KPS, nullptr}, {"SFTKPS", "KPS", nullptr}},
    TuningRegisterRule{"Ki_S_scl", {&Encode_SFTKIS, &Encode_KIS, nullptr}, {"SFTKIS", "KIS", nullptr}},
    TuningRegisterRule{"IPSatS", {&Encode_IMAXS, nullptr, nullptr}, {"IMAXS", nullptr, nullptr}},
    TuningRegisterRule{"KFFS_scl", {&Encode_SFTSFFW, &Encode_KFFS, &Encode_KFFA}, {"SFTSFFW", "KFFS", "KFFA"}},
    TuningRegisterRule{"KFFA_scl", {&Encode_SFTAFFW, &Encode_SFTKFF, &Encode_KFFA}, {"SFTAFFW", "SFTKFF", "KFFA"}},
};

const TuningTestSpec kSpec{
    CMyTestDlg::kSpeedTuningTemplate,
    CTestSpeedTuning::kHelpTopic,
    &kSpeedTuningForm,
    kSpeedTuningParametersTab,
    kSpeedTuningTestTab,
    kSpeedTuningLiveEditable,
    IDC_TT_IDENTIFY_SPEED,
    {IDC_TT_SPEED_REF_VALUE, IDC_TT_LOAD_SPEED_VALUE},
    {"speed_start_positioning", "speed_start_hall"},
    "SpeedTuningOscSettings",
    "SpeedTuning",
    kRegisters,
    {&DesignSpeedController,
     {&Encode_KPS, &Encode_KIS, &Encode_SFTKPS, &Encode_SFTKIS, nullptr, nullptr},
     {&Decode_Ki_S_scl, &Decode_Kp_S_scl, nullptr},
     {"SFTKPS", "KPS", "SFTKIS", "KIS", nullptr, nullptr}},
};

constexpr std::array<int, 11> kFeedforward = {
    IDC_TT_FEEDFORWARD_GROUP, IDC_TT_FFS_LABEL, IDC_TT_FFS,         IDC_TT_FFS_SPIN_DOWN,
    IDC_TT_FFS_SLIDER,        IDC_TT_FFS_SPIN_UP, IDC_TT_FFA_LABEL, IDC_TT_FFA,
    IDC_TT_FFA_SPIN_DOWN,     IDC_TT_FFA_SLIDER, IDC_TT_FFA_SPIN_UP};
constexpr std::array<int, 5> kSpeedFeedforwardRow = {IDC_TT_FFS_LABEL, IDC_TT_FFS, IDC_TT_FFS_SPIN_DOWN,
                                                     IDC_TT_FFS_SLIDER, IDC_TT_FFS_SPIN_UP};

bool IsNameOf(const char* name, const char* parameter) { return EqualsNoCase(name ? name : "", parameter); }

}  // namespace

CTestSpeedTuning::CTestSpeedTuning(CMC_Setup* setup, int flag) : CTuningTestDlg(setup, kSpec, kRun, flag) {
    AddParameterControls("TestLimitCurrent", IDC_TT_LIMIT, IDC_TT_LIMIT_UNIT);
    AddParameterControls("TestProtectionCurrent", IDC_TT_PROTECTION, IDC_TT_PROTECTION_UNIT);
    AddParameterControls("TestStartCurrent", IDC_TT_START_CURRENT, IDC_TT_START_CURRENT_UNIT);
    AddParameterControls("Mt", IDC_TT_MASS_EDIT, IDC_TT_MASS_UNIT);
    AddParameterControls("TestSpeed", IDC_TT_SPEED, IDC_TT_SPEED_UNIT);
    AddParameterControls("TPS", IDC_TT_TP, IDC_TT_TP_UNIT);
    AddParameterControls("TNS", IDC_TT_TN, IDC_TT_TN_UNIT);
    AddParameterControls("TaPS", IDC_TT_TAP, IDC_TT_TAP_UNIT);
    AddParameterControls("TaNS", IDC_TT_TAN, IDC_TT_TAN_UNIT);
    AddSwitchParameterControls("OnlinePlotS", IDC_TT_DATA_LOGGER, IDC_TT_ONLINE);
    AddCheckParameterControls("MultiCycleS", IDC_TT_MULTI_CYCLE);
    if (setup && HasSpeedTestReferenceType(*setup))
        AddSwitchParameterControls("SpeedTestReferenceType", IDC_TT_POSITIVE, IDC_TT_BIDIRECTIONAL);
    BindSlider("Kp_S_scl", IDC_TT_KP_SLIDER, IDC_TT_KP);
    BindSlider("Ki_S_scl", IDC_TT_KI_SLIDER, IDC_TT_KI);
    BindSlider("IPSatS", IDC_TT_ILIM_SLIDER, IDC_TT_ILIM, IDC_TT_ILIM_UNIT);
    BindSlider("KFFS_scl", IDC_TT_FFS_SLIDER, IDC_TT_FFS);
    BindSlider("KFFA_scl", IDC_TT_FFA_SLIDER, IDC_TT_FFA);
    BindSlider("PB_S", IDC_TT_PASSBAND_SLIDER, IDC_TT_PASSBAND, IDC_TT_PASSBAND_UNIT);
    BindSlider("Mload_over_M", IDC_TT_RATIO_SLIDER, IDC_TT_RATIO);
}

bool CTestSpeedTuning::WriteLimits(CMC_CoffFormat& program) {
    return WriteCurrentCounts(program, "TestLimitCurrent", "IlimPS_Test") &&
           WriteCurrentCounts(program, "TestProtectionCurrent", "Imax_Prot_Test");
}

void CTestSpeedTuning::FeedforwardRules() {
    CMC_Setup& setup = *GetSetup();
    if (HasSpeedForward(setup)) {
        const double controlMode = Base("ControlMode", -1.0);
        const double fastLoop = Base("PosSpd_in_FastLoop", -1.0);
        const bool on = controlMode == 1.0 && fastLoop == 0.0;
        EnableChildren(kFeedforward, on);
        // A run in data-logger mode keeps its gains: nothing here unlocks them.
        if (m_bRunning && !IsOnline()) EnableChildren(kFeedforward, false);
        return;
    }
    // Without a speed feedforward the row is shown, for its place, and locked.
    ShowChildren(kFeedforward, GetTab() == 1);
    EnableChildren(kSpeedFeedforwardRow, GetTab() == 0);
}

void CTestSpeedTuning::ScopeRulesOnValue(const char* name) {
    if (IsNameOf(name, "TestSpeed")) {
        RescaleReferencePair();
        ApplyScopeTrigger();
    } else if (IsNameOf(name, "TestLimitCurrent")) {
        RescaleCurrentPair();
    } else if (IsNameOf(name, "MultiCycleS") || IsNameOf(name, "TPS") || IsNameOf(name, "TNS") ||
               IsNameOf(name, "TaPS") || IsNameOf(name, "TaNS")) {
        ApplyScopeTrigger();
    }
}

void CTestSpeedTuning::ScopeRulesOnUnit(const char* name) {
    if (IsNameOf(name, "TestSpeed")) RescaleReferencePair();
    if (IsNameOf(name, "TestLimitCurrent")) RescaleCurrentPair();
}

void CTestSpeedTuning::ScopeRulesOnReferenceType() {
    RescaleReferencePair();
    ApplyScopeTrigger();
}

void CTestSpeedTuning::RescaleAllPairs() {
    RescaleReferencePair();
    RescaleCurrentPair();
}

ScopeTrigger CTestSpeedTuning::TriggerFor(std::optional<ReferenceType> type, double amplitude) const {
    return SpeedTrigger(type, amplitude);
}

}  // namespace pelmora
