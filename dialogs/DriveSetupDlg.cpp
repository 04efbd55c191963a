#include "DriveSetupDlg.h"

#include "AdvancedDialog.h"
#include "AnalogReferenceDlg.h"
#include "DriveInfo.h"
#include "MotorSetupDialog.h"

#include "Decode.h"
#include "DriveSetupForm.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "Limits.h"
#include "Options.h"
#include "Steps.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

namespace pelmora {

namespace {

constexpr int kHelpTopic = 262406;
// Commands the host may send that no control of the form does.
constexpr int kHostHelpCommand = 10;
constexpr int kHostHelpCommandTopic = 4096;
constexpr int kHostMotorSetupCommand = 1117;

constexpr int kMotorSetupTimer = 1;
constexpr int kMotorSetupDelay_ms = 1;

// The axis ID list: "1" to "255", then "H/W" (the ID set by the drive's hardware, stored as 0).
constexpr int kHighestAxisId = 255;
constexpr const char* kHardwareAxisId = "H/W";
// Entries whose IDs CANopen cannot use (128 to 255).
constexpr int kFirstNonCanOpenEntry = 127;
constexpr int kLastNonCanOpenEntry = 254;

constexpr double kNominalStartCurrent_percent = 100.0;
constexpr int kAsrSourceInputsBit = 2;

constexpr const char* kPulseDirectionText = "Pulse && Direction";
constexpr const char* kIncrementalEncoderText = "Incremental Encoder";

constexpr const char* kVlogHighText = "Active high (Connected to +Vlog)";
constexpr const char* kVlogLowText = "Active low (Open/No connection)";
constexpr const char* kGndHighText = "Active high (Open/No connection)";
constexpr const char* kGndLowText = "Active low (Connected to GND)";

constexpr const char* kCanOpenAxisIdWarning =
    "If your drive is set in CANopen mode, the axis ID values must be in the range 1-127. Any value over 127 "
    "will set the drive as non-configured and further CANopen communication will be disabled until a valid "
    "Axis ID will be set in the drive. Leave the drive with a non-configured axis ID only if you intend to set "
    "the Axis ID later via a CANopen master using CiA305 LSS protocol.";

constexpr const char* kStartCurrentWarning =
    "You have set a start current bigger than the nominal current! The start current will be applied for "
    "%.2f s.\n\nThe motor must withstand this over current condition or it may be damaged.";

const char* const kGuidelineSteps[] = {
    "Step 1.\tIn the <<Control mode>> group box, select what do you want to control: position, speed or torque.",
    "Step 2.\tIn the <<External reference>> group box, select <<Yes>> if your drive gets a position, speed or "
    "torque reference from an external device. Press the <<Setup>> button to select the reference type: "
    "analogue or pulse & direction or incremental encoder and its parameters.",
    "Step 3.\tIn the <<Drive operation parameters>> group box, set the value of the DC voltage power supply. Use "
    "the <<Detect>> button to measure its actual value as applied to the drive. Also set the <<Current limit>> "
    "parameter, i.e. the maximum current value used by the drive to control the motor.",
    "Step 4.\tIn the <<Current controller>> group box, set the current controller parameters Kp (proportional) "
    "and Ki (integral). Use the <<Tune & Test>> button to automatically compute the current controller "
    "parameters and to test the current loop behavior.",
    "Step 5.\tIn the <<Speed Controller>> group box, set the speed controller parameters Kp (proportional), Ki "
    "(integral), Integral limit (saturation limit for the integral term of the controller) and the acceleration "
    "Feedforward. Use the <<Tune & Test>> button to automatically compute the speed controller parameters and "
    "to test the speed loop response. Before tuning the speed controller, make sure to set the right value for "
    "the ratio load mass /motor mass or to identify the total mass. Note that the controller tuning does not "
    "include the acceleration feedforward. Set initially this value to 0, and then establish the other "
    "controller parameters. Finally increase gradually the acceleration feedforward and check the speed loop "
    "response.",
    "Step 6.\tIn the <<Position Controller>> group box, set the position controller parameters Kp "
    "(proportional), Ki (integral), Kd (derivative), Kd filter (filtering coefficient for the derivative term), "
    "Integral limit (saturation limit for the integral term of the controller), Speed limit (saturation limit "
    "for the position controller output, seen as a speed reference value), acceleration and speed feedforward. "
    "Use the <<Tune & Test>> button to automatically compute the position controller parameters and to test "
    "the position loop behavior. Before tuning the position controller, make sure to set the right value for "
    "the ratio load mass /motor mass or to identify the total mass. Note that the controller tuning does not "
    "include the acceleration and speed feedforward. Set initially these values to 0, and then establish the "
    "other controller parameters. Finally increase gradually the acceleration and speed feedforward and check "
    "the speed loop behavior.",
    "Step 7.\tIn the <<Axis ID>> group box, choose the desired axis ID of the drive for network communication. "
    "Select \"H/W\" if you want to set the axis ID automatically using the dedicated hardware switches, jumpers "
    "or solder joints.",
    "Step 8.\tIn the <<Protections>> group box, select and parameterize the protections that you want to "
    "activate.",
    "Step 9. In the <<External brake resistor>> group box, check <<Connected>> if you have a brake resistor "
    "connected to the drive. Set the voltage level at which the drive starts to clamp the supply via the brake "
    "resistor.",
    "Step 10. In the <<Inputs polarity>> check box, select the active levels for the Enable and the two limit "
    "switch inputs.",
    "Step 11.  Select the start method to be used. For the method <<Move till aligned with phase A>>, set up "
    "the current value to use during the motor start and the time needed to align the motor first on phase B "
    "and than on phase A.",
    "",
};

// Clicks on these re-apply the show and enable rules, whether or not a parameter is bound to them.
constexpr int kRuleTriggers[] = {
    IDC_DS_MODE_POSITION, IDC_DS_MODE_SPEED,      IDC_DS_MODE_TORQUE,  IDC_DS_START_ALIGNED,     IDC_DS_START_ABSOLUTE,
    IDC_DS_REFERENCE_NO,  IDC_DS_REFERENCE_YES,   IDC_DS_OVER_CURRENT, IDC_DS_POSITION_ERROR,    IDC_DS_SPEED_ERROR,
    IDC_DS_I2T,           IDC_DS_BRAKE_CONNECTED, IDC_DS_SWLS,         IDC_DS_SAVE_CAN_BAUDRATE, IDC_DS_SAVE_AXIS_ID,
};

int IntegerOf(const CMC_Setup& setup, const char* name) { return Truncate(OptionalValue(setup, name).value_or(0.0)); }

void SetIfPresent(const CMC_Setup& setup, const char* name, double value) {
    if (CMC_Parameter* parameter = FindOptional(setup, name)) parameter->SetValueInBaseUnit(value);
}

// The control structure, read from the setup's current values.
struct ControlStructure {
    bool p;   // position
    bool s;   // speed
    bool t;   // torque
    bool p0;  // position loop straight onto the current loop
    bool p1;  // position loop over a speed loop
    bool sl;  // a speed loop is closed

    explicit ControlStructure(const CMC_Setup& setup) {
        const int mode = IntegerOf(setup, "ControlMode");
        const int positionType = IntegerOf(setup, "PositionControlType");
        p = mode == 0;
        s = mode == 1;
        t = mode == 2;
        p0 = p && positionType == 0;
        p1 = p && positionType == 1;
        sl = s || p1;
    }
};

// The text's leading decimal integer, 0 when it has none ("H/W").
int LeadingInteger(const std::string& text) {
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// The controller groups follow the control structure; the feed-forward fields also follow
// whether the setup has speed feed-forward.
void ApplyControllerRules(CDialog& dialog, const CMC_Setup& setup, const ControlStructure& c) {
    // Current controller
    dialog.EnableChildren({IDC_DS_CURRENT_GROUP, IDC_DS_KP_C_LABEL, IDC_DS_KP_C, IDC_DS_KI_C_LABEL, IDC_DS_KI_C}, true);
    dialog.EnableChild(IDC_DS_CURRENT_TUNE, IsTestAvailable(CommissioningTest::CurrentTuning));
    dialog.EnableChild(IDC_DS_DETECT, IsTestAvailable(CommissioningTest::VdcDetection));

    // Speed controller
    dialog.EnableChildren(
        {IDC_DS_SPEED_GROUP, IDC_DS_KP_S_LABEL, IDC_DS_KI_S_LABEL, IDC_DS_IPSATS_LABEL, IDC_DS_SPEED_FF_LABEL,
         IDC_DS_SPEED_KFFA_LABEL, IDC_DS_KP_S, IDC_DS_KI_S, IDC_DS_IPSATS, IDC_DS_IPSATS_UNIT, IDC_DS_SPEED_KFFA},
        c.sl);
    dialog.EnableChild(IDC_DS_SPEED_TUNE, c.sl && IsTestAvailable(CommissioningTest::SpeedTuning));

    // Position controller
    dialog.EnableChildren(
        {IDC_DS_POSITION_GROUP, IDC_DS_KP_P_LABEL, IDC_DS_KI_P_LABEL, IDC_DS_KD_P_LABEL, IDC_DS_FILTER_D_LABEL,
         IDC_DS_IPSATP_LABEL, IDC_DS_POSITION_FF_LABEL, IDC_DS_LIMIT_SPEED_LABEL, IDC_DS_POSITION_KFFS_LABEL,
         IDC_DS_POSITION_KFFA_LABEL, IDC_DS_KP_P, IDC_DS_KI_P, IDC_DS_KD_P, IDC_DS_FILTER_D, IDC_DS_IPSATP,
         IDC_DS_IPSATP_UNIT, IDC_DS_LIMIT_SPEED, IDC_DS_LIMIT_SPEED_UNIT},
        c.p);
    dialog.EnableChild(IDC_DS_POSITION_TUNE, c.p && IsTestAvailable(CommissioningTest::PositionTuning));
    dialog.EnableChild(IDC_DS_POSITION_KFFS, c.p1);

    dialog.ShowChildren({IDC_DS_LIMIT_SPEED_LABEL, IDC_DS_LIMIT_SPEED, IDC_DS_LIMIT_SPEED_UNIT}, c.p1);
    dialog.ShowChildren({IDC_DS_SPEED_FF_LABEL, IDC_DS_SPEED_KFFA, IDC_DS_SPEED_KFFA_LABEL}, c.sl && !c.p);
    dialog.ShowChildren({IDC_DS_POSITION_FF_LABEL, IDC_DS_POSITION_KFFS_LABEL, IDC_DS_POSITION_KFFA_LABEL,
                         IDC_DS_POSITION_KFFS, IDC_DS_POSITION_KFFA},
                        c.p);

    if (HasSpeedForward(setup)) {
        // With speed feed-forward the structure alone decides which group's feed-forward shows.
        const std::initializer_list<int> speedSet = {IDC_DS_SPEED_FF_LABEL, IDC_DS_SPEED_KFFA, IDC_DS_SPEED_KFFS,
                                                     IDC_DS_SPEED_KFFA_LABEL, IDC_DS_SPEED_KFFS_LABEL};
        const std::initializer_list<int> positionSet = {IDC_DS_POSITION_FF_LABEL, IDC_DS_POSITION_KFFA,
                                                        IDC_DS_POSITION_KFFS, IDC_DS_POSITION_KFFA_LABEL,
                                                        IDC_DS_POSITION_KFFS_LABEL};
        const bool showSpeedSet = c.s;
        const bool showPositionSet = c.p0 || c.p1;
        dialog.ShowChildren(speedSet, showSpeedSet);
        if (showSpeedSet) dialog.EnableChildren(speedSet, true);
        dialog.ShowChildren(positionSet, showPositionSet);
        if (showPositionSet) dialog.EnableChildren(positionSet, true);
    } else {
        dialog.ShowChildren({IDC_DS_SPEED_KFFS, IDC_DS_SPEED_KFFS_LABEL}, false);
    }
}

// Start mode, brake resistor, input polarities, software limits and the external reference:
// each enabled by its own switch.
void ApplyOptionRules(CDialog& dialog, const CMC_Setup& setup) {
    // Start mode
    dialog.EnableChildren({IDC_DS_START_CURRENT_LABEL, IDC_DS_TIME_AB_LABEL, IDC_DS_START_CURRENT,
                           IDC_DS_START_CURRENT_UNIT, IDC_DS_TIME_AB, IDC_DS_TIME_AB_UNIT},
                          IntegerOf(setup, "StartMode") == 0);

    // External brake resistor
    dialog.EnableChildren({IDC_DS_VBRAKE_LABEL, IDC_DS_VBRAKE, IDC_DS_VBRAKE_UNIT},
                          IsSet(OptionalValue(setup, "isBrakeResistor").value_or(0.0)));

    // Inputs polarity
    dialog.ShowChildren({IDC_DS_ENABLE_LABEL, IDC_DS_ENABLE_LOW, IDC_DS_ENABLE_HIGH}, !HidesEnablePolarity(setup));

    // Software limit switches
    const bool hasSoftwareLimits = HasSoftwareLimits(setup);
    dialog.EnableChildren({IDC_DS_SWLS_GROUP, IDC_DS_SWLS}, hasSoftwareLimits);
    dialog.EnableChildren({IDC_DS_NEGATIVE_SWLS_LABEL, IDC_DS_POSITIVE_SWLS_LABEL, IDC_DS_NEGATIVE_SWLS,
                           IDC_DS_NEGATIVE_SWLS_UNIT, IDC_DS_POSITIVE_SWLS, IDC_DS_POSITIVE_SWLS_UNIT},
                          hasSoftwareLimits && IsSet(OptionalValue(setup, "isSWLS").value_or(0.0)));

    // External reference
    dialog.EnableChildren({IDC_DS_REFERENCE_SETUP, IDC_DS_AUTO_ACTIVATED}, IntegerOf(setup, "ExternalReference") == 1);
}

// Each protection's fields follow its check box, the control errors also the structure.
void ApplyProtectionRules(CDialog& dialog, const CMC_Setup& setup, const ControlStructure& c) {
    dialog.EnableChildren({IDC_DS_IMAX_PROT_LABEL, IDC_DS_TIME_IMAX_PROT_LABEL, IDC_DS_IMAX_PROT, IDC_DS_IMAX_PROT_UNIT,
                           IDC_DS_TIME_IMAX_PROT, IDC_DS_TIME_IMAX_PROT_UNIT},
                          IsSet(OptionalValue(setup, "isOverCurrent").value_or(0.0)));
    dialog.EnableChildren(
        {IDC_DS_I_I2T_LABEL, IDC_DS_T_I2T_LABEL, IDC_DS_I_I2T, IDC_DS_I_I2T_UNIT, IDC_DS_T_I2T, IDC_DS_T_I2T_UNIT},
        IsNonZero(OptionalValue(setup, "isMotori2t").value_or(0.0)));
    dialog.EnableChild(IDC_DS_POSITION_ERROR, c.p);
    dialog.EnableChildren({IDC_DS_ERR_POSITION_LABEL, IDC_DS_TIME_ERR_POS_LABEL, IDC_DS_ERR_POSITION,
                           IDC_DS_ERR_POSITION_UNIT, IDC_DS_TIME_ERR_POS, IDC_DS_TIME_ERR_POS_UNIT},
                          c.p && IsNonZero(OptionalValue(setup, "isPositionControlError").value_or(0.0)));
    dialog.EnableChild(IDC_DS_SPEED_ERROR, c.s);
    dialog.EnableChildren({IDC_DS_ERR_SPEED_LABEL, IDC_DS_TIME_ERR_SPD_LABEL, IDC_DS_ERR_SPEED, IDC_DS_ERR_SPEED_UNIT,
                           IDC_DS_TIME_ERR_SPD, IDC_DS_TIME_ERR_SPD_UNIT},
                          c.s && IsNonZero(OptionalValue(setup, "isSpeedControlError").value_or(0.0)));
    dialog.EnableChild(IDC_DS_MOTOR_OVER_TEMP,
                       setup.GetIntOption("DisableMotorTemperature") == 0 &&
                           IsSet(OptionalValue(setup, "isMotorTemperatureSensor").value_or(0.0)));
}

// The CANbus and axis ID lists follow their save flags where the drive has them.
void ApplySaveFlagRules(CDialog& dialog, const CMC_Setup& setup) {
    if (HasLssSaveFlags(setup)) {
        dialog.EnableChildren({IDC_DS_CAN_BAUD_LABEL, IDC_DS_CAN_BAUD_LIST},
                              IsSet(OptionalValue(setup, "save_CAN_baudrate").value_or(0.0)));
        dialog.EnableChildren({IDC_DS_AXIS_ID_LABEL, IDC_DS_AXIS_ID_LIST},
                              IsSet(OptionalValue(setup, "save_axis_id").value_or(0.0)));
    } else {
        dialog.ShowChildren({IDC_DS_SAVE_CAN_BAUDRATE, IDC_DS_SAVE_AXIS_ID}, false);
    }
}

}  // namespace

CDriveSetupDlg::CDriveSetupDlg(CMC_Setup* setup) : CMySetupDlg(setup, kDriveSetupForm, kGuidelineSteps, kHelpTopic) {
    if (!setup) return;
    UpdateParametersFromRegisters(*setup);
    UpdateParameterLimits(*setup);
    if (HasSpeedForward(*setup)) ForceSpeedForward(*setup);
    m_inputsType = IntegerOf(*setup, "InputsPolarityType");

    AddParameterControls("Vdc", IDC_DS_VDC, IDC_DS_VDC_UNIT);
    AddParameterControls("IlimPS", IDC_DS_ILIMPS, IDC_DS_ILIMPS_UNIT);
    AddParameterControls("Kp_C_scl", IDC_DS_KP_C);
    AddParameterControls("Ki_C_scl", IDC_DS_KI_C);
    AddParameterControls("Kp_S_scl", IDC_DS_KP_S);
    AddParameterControls("Ki_S_scl", IDC_DS_KI_S);
    AddParameterControls("IPSatS", IDC_DS_IPSATS, IDC_DS_IPSATS_UNIT);
    AddParameterControls("KFFA_scl", IDC_DS_SPEED_KFFA);
    AddParameterControls("KFFS_scl", IDC_DS_SPEED_KFFS);
    AddParameterControls("Kp_P_scl", IDC_DS_KP_P);
    AddParameterControls("Ki_P_scl", IDC_DS_KI_P);
    AddParameterControls("Kd_P_scl", IDC_DS_KD_P);
    AddParameterControls("filter_D", IDC_DS_FILTER_D);
    AddParameterControls("IPSatP", IDC_DS_IPSATP, IDC_DS_IPSATP_UNIT);
    AddParameterControls("KFFS_scl", IDC_DS_POSITION_KFFS);
    AddParameterControls("KFFA_scl", IDC_DS_POSITION_KFFA);
    AddParameterControls("Limit_Speed", IDC_DS_LIMIT_SPEED, IDC_DS_LIMIT_SPEED_UNIT);
    AddSwitchParameterControls("ControlMode", IDC_DS_MODE_POSITION, IDC_DS_MODE_TORQUE);
    AddSwitchParameterControls("ExternalReference", IDC_DS_REFERENCE_NO, IDC_DS_REFERENCE_YES);
    AddCheckParameterControls("isAutoActivatedAfterPowerOn", IDC_DS_AUTO_ACTIVATED);
    AddSwitchParameterControls("isAnalogueReference", IDC_DS_REFERENCE_DIGITAL, IDC_DS_REFERENCE_ANALOGUE);
    AddCheckParameterControls("isOverCurrent", IDC_DS_OVER_CURRENT);
    AddParameterControls("Imax_Prot", IDC_DS_IMAX_PROT, IDC_DS_IMAX_PROT_UNIT);
    AddParameterControls("time_Imax_Prot", IDC_DS_TIME_IMAX_PROT, IDC_DS_TIME_IMAX_PROT_UNIT);
    AddCheckParameterControls("isPositionControlError", IDC_DS_POSITION_ERROR);
    AddParameterControls("ERR_position", IDC_DS_ERR_POSITION, IDC_DS_ERR_POSITION_UNIT);
    AddParameterControls("time_ERR_pos", IDC_DS_TIME_ERR_POS, IDC_DS_TIME_ERR_POS_UNIT);
    AddCheckParameterControls("isSpeedControlError", IDC_DS_SPEED_ERROR);
    AddParameterControls("ERR_speed", IDC_DS_ERR_SPEED, IDC_DS_ERR_SPEED_UNIT);
    AddParameterControls("time_ERR_spd", IDC_DS_TIME_ERR_SPD, IDC_DS_TIME_ERR_SPD_UNIT);
    AddCheckParameterControls("isMotori2t", IDC_DS_I2T);
    AddParameterControls("I_I2t_M", IDC_DS_I_I2T, IDC_DS_I_I2T_UNIT);
    AddParameterControls("t_I2t_M", IDC_DS_T_I2T, IDC_DS_T_I2T_UNIT);
    AddCheckParameterControls("isBrakeResistor", IDC_DS_BRAKE_CONNECTED);
    AddParameterControls("Vbrake", IDC_DS_VBRAKE, IDC_DS_VBRAKE_UNIT);
    if (!HidesEnablePolarity(*setup)) {
        AddSwitchParameterControls("EnablePolarity", IDC_DS_ENABLE_LOW, IDC_DS_ENABLE_HIGH);
    }
    AddSwitchParameterControls("LSPPolarity", IDC_DS_LSP_HIGH, IDC_DS_LSP_LOW);
    AddSwitchParameterControls("LSNPolarity", IDC_DS_LSN_HIGH, IDC_DS_LSN_LOW);
    if (HasInputsPolarity(*setup)) {
        AddSwitchParameterControls("InputsPolarityType", IDC_DS_TYPE_SOURCE, IDC_DS_TYPE_SINK);
    }
    if (HasSoftwareLimits(*setup)) {
        AddCheckParameterControls("isSWLS", IDC_DS_SWLS);
        AddParameterControls("Negative_SWLS", IDC_DS_NEGATIVE_SWLS, IDC_DS_NEGATIVE_SWLS_UNIT);
        AddParameterControls("Positive_SWLS", IDC_DS_POSITIVE_SWLS, IDC_DS_POSITIVE_SWLS_UNIT);
    }
    AddSwitchParameterControls("StartMode", IDC_DS_START_ALIGNED, IDC_DS_START_ABSOLUTE);
    AddParameterControls("StartCurrent", IDC_DS_START_CURRENT, IDC_DS_START_CURRENT_UNIT);
    AddParameterControls("time_AB", IDC_DS_TIME_AB, IDC_DS_TIME_AB_UNIT);
    if (HasLssSaveFlags(*setup)) {
        AddCheckParameterControls("save_CAN_baudrate", IDC_DS_SAVE_CAN_BAUDRATE);
        AddCheckParameterControls("save_axis_id", IDC_DS_SAVE_AXIS_ID);
    }
    AddCheckParameterControls("isMotorOverTemp", IDC_DS_MOTOR_OVER_TEMP);
    // The "CANbus" baud rate list and "CANopen settings..." belong to the host's CAN settings,
    // which this host does not run: they stay plain controls with an empty list.
}

bool CDriveSetupDlg::OnInitDialog() {
    const bool result = CMySetupDlg::OnInitDialog();
    const CMC_Setup& setup = *GetSetup();

    SetPicture(IDC_DS_MOTOR_SETUP, "TO_MOTORSETUP");
    EnableChild(IDC_DS_ANALOGUE_LABEL, HasAnalogueInput(setup));
    // The reference kind is chosen in the external reference dialog; here it is only shown.
    EnableChildren({IDC_DS_REFERENCE_DIGITAL, IDC_DS_REFERENCE_ANALOGUE}, false);
    FillAxisIdList();
    SetDigitalTypeLabel();

    const int programmable = GetInputsTypeProgrammable(setup);
    const bool hasInputsPolarity = HasInputsPolarity(setup);
    EnableChildren({IDC_DS_TYPE_SINK, IDC_DS_TYPE_SOURCE}, hasInputsPolarity && programmable == 1);
    if (programmable == -1) {
        const bool sink = std::strstr(setup.GetDescription(), "QX") != nullptr;
        SetInputTypeButtons(sink);
        SetPolarityRowTexts(sink);
    } else if (!hasInputsPolarity) {
        const bool source = Bit(OptionalValue(setup, "ASR").value_or(0.0), kAsrSourceInputsBit) != 0;
        SetInputTypeButtons(!source);
        SetPolarityRowTexts(!source);
    } else {
        SetPolarityRowTexts(IntegerOf(setup, "InputsPolarityType") == 1);
    }

    CenterWindow();
    return result;
}

void CDriveSetupDlg::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (!toControls || m_applyingRules || !GetSetup()) return;
    m_applyingRules = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_applyingRules};
    ApplyShowEnableRules();
}

void CDriveSetupDlg::ApplyShowEnableRules() {
    const CMC_Setup& setup = *GetSetup();
    const ControlStructure c(setup);
    // A child dialog may have changed the type along with the polarities.
    m_inputsType = IntegerOf(setup, "InputsPolarityType");

    ApplyControllerRules(*this, setup, c);
    ApplyOptionRules(*this, setup);
    ApplyProtectionRules(*this, setup, c);
    ApplySaveFlagRules(*this, setup);

    SetDigitalTypeLabel();
    RefreshAllParameters(0);
}

void CDriveSetupDlg::SetDigitalTypeLabel() {
    const bool pulseDirection = IntegerOf(*GetSetup(), "DigitalReferenceType") == 0;
    // Label texts are quoted as stored ("&&" for one ampersand); a control holds the shown text.
    SetChildText(IDC_DS_DIGITAL_TYPE_LABEL,
                 DisplayLabel(pulseDirection ? kPulseDirectionText : kIncrementalEncoderText));
}

void CDriveSetupDlg::SetPolarityRowTexts(bool connectedToVlog) {
    SetChildText(IDC_DS_ACTIVE_HIGH_LABEL, connectedToVlog ? kVlogHighText : kGndHighText);
    SetChildText(IDC_DS_ACTIVE_LOW_LABEL, connectedToVlog ? kVlogLowText : kGndLowText);
}

void CDriveSetupDlg::SetInputTypeButtons(bool sink) {
    SetCheck(IDC_DS_TYPE_SINK, sink ? 1 : 0);
    SetCheck(IDC_DS_TYPE_SOURCE, sink ? 0 : 1);
}

void CDriveSetupDlg::FillAxisIdList() {
    ClearItems(IDC_DS_AXIS_ID_LIST);
    for (int axisId = 1; axisId <= kHighestAxisId; ++axisId) {
        AddItem(IDC_DS_AXIS_ID_LIST, std::to_string(axisId), axisId);
    }
    AddItem(IDC_DS_AXIS_ID_LIST, kHardwareAxisId, 0);

    const CMC_Parameter* axis = FindOptional(*GetSetup(), "Axis_ID_list");
    if (!axis) return;
    const int axisId = Truncate(axis->GetValueInBaseUnit());
    const std::string entry = axisId == 0 ? std::string(kHardwareAxisId) : std::to_string(axisId);
    SetSelection(IDC_DS_AXIS_ID_LIST, FindItem(IDC_DS_AXIS_ID_LIST, entry));
}

void CDriveSetupDlg::CommitAxisId() {
    CMC_Parameter* axis = FindOptional(*GetSetup(), "Axis_ID_list");
    const ControlState* list = GetControl(IDC_DS_AXIS_ID_LIST);
    if (!axis || !list) return;
    // A stored ID that the list cannot show leaves the list without a selection; the user has
    // chosen nothing then, and the stored ID must survive rather than turn into "H/W".
    if (list->selection < 0 || static_cast<std::size_t>(list->selection) >= list->items.size()) return;
    const std::string& text = list->items[static_cast<std::size_t>(list->selection)].first;
    if (text == std::to_string(Truncate(axis->GetValueInBaseUnit()))) return;
    axis->SetValueInBaseUnit(LeadingInteger(text));
}

void CDriveSetupDlg::OnOK() {
    CommitAxisId();
    UpdateRegistersFromParameters(*GetSetup());
    UpdateClosedLoopOptions(*GetSetup());
    CMySetupDlg::OnOK();
}

void CDriveSetupDlg::OnShowWindow() {
    CenterWindow();
    SetTimer(kMotorSetupTimer, kMotorSetupDelay_ms);
}

void CDriveSetupDlg::OnTimer(int timerId) {
    if (timerId != kMotorSetupTimer) {
        CMySetupDlg::OnTimer(timerId);
        return;
    }
    KillTimer(kMotorSetupTimer);
    OpenMotorSetupOnFirstShowing();
}

void CDriveSetupDlg::OpenMotorSetupOnFirstShowing() {
    CMC_Setup& setup = *GetSetup();
    {
        CMotorSetupDialog motorSetup(&setup);
        motorSetup.DoModal();
    }
    // Whatever the user did there, the drive setup shows the motor as it now stands.
    UpdateRegistersFromParameters(setup);
    UpdateParametersFromRegisters(setup);
    RefreshAllParameters(0);
    ApplyRules();
}

void CDriveSetupDlg::OnCommand(int id) {
    constexpr unsigned kRefreshAndRules = kRefreshAfter | kRulesAfter;
    CMC_Setup* setup = GetSetup();
    switch (id) {
        case IDC_DS_DETECT: OpenTest(CommissioningTest::VdcDetection, kRefreshAndRules); return;
        case IDC_DS_CURRENT_TUNE: OpenTest(CommissioningTest::CurrentTuning, kRefreshAndRules); return;
        case IDC_DS_SPEED_TUNE: OpenTest(CommissioningTest::SpeedTuning, kLimitsBefore | kRefreshAndRules); return;
        case IDC_DS_POSITION_TUNE: OpenTest(CommissioningTest::PositionTuning, kRefreshAndRules); return;
        case IDC_DS_REFERENCE_SETUP:
            OpenChild(kLimitsBefore | kRefreshAndRules,
                      [setup] { return std::make_unique<CAnalogReferenceDlg>(setup); });
            return;
        case IDC_DS_ADVANCED:
            OpenChild(kRulesAfter, [setup] { return std::make_unique<CAdvancedDialog>(setup); });
            return;
        case IDC_DS_DRIVE_INFO:
            OpenChild(kNothingMore, [setup] { return std::make_unique<CDriveInfo>(setup); });
            return;
        case IDC_DS_MOTOR_SETUP:
            OpenChild(kRulesAfter, [setup] { return std::make_unique<CMotorSetupDialog>(setup); });
            return;
        case kHostMotorSetupCommand:
            OpenChild(kRefreshAndRules, [setup] { return std::make_unique<CMotorSetupDialog>(setup); });
            return;
        case kHostHelpCommand: OpenHostHelpTopic(kHostHelpCommandTopic); return;
        default: CMySetupDlg::OnCommand(id);
    }
}

void CDriveSetupDlg::OpenHostHelpTopic(int topic) {
    const std::string file = GetHelpFileOfGUI(GetSetup());
    if (file.empty()) return;
    GetUiBackend().OpenHelp(GetGUIDirectory() + "/" + file, topic);
}

bool CDriveSetupDlg::OnUserClick(int id) {
    const bool handled = CMySetupDlg::OnUserClick(id);
    if (std::find(std::begin(kRuleTriggers), std::end(kRuleTriggers), id) != std::end(kRuleTriggers)) {
        ApplyRules();
    }
    return handled;
}

void CDriveSetupDlg::OnSelChange(int id) {
    if (id == IDC_DS_AXIS_ID_LIST) {
        const int entry = GetSelection(IDC_DS_AXIS_ID_LIST);
        if (entry >= kFirstNonCanOpenEntry && entry <= kLastNonCanOpenEntry) MessageBox(kCanOpenAxisIdWarning);
    }
    CMySetupDlg::OnSelChange(id);
}

void CDriveSetupDlg::OnChangedParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    if (EqualsNoCase(name, "ControlMode")) {
        if (HasSpeedForward(setup)) ForceSpeedForward(setup);
        if (IntegerOf(setup, "ControlMode") != 0) {
            // Outside position control the drive follows its reference one to one.
            SetIfPresent(setup, "GEARMASTER", 1.0);
            SetIfPresent(setup, "GEARSLAVE", 1.0);
            SetIfPresent(setup, "isAnalogueReference", 1.0);
            RefreshAllParameters(0);
        }
    } else if (EqualsNoCase(name, "ExternalReference")) {
        if (IntegerOf(setup, "ExternalReference") == 0) {
            SetIfPresent(setup, "isAutoActivatedAfterPowerOn", 0.0);
            RefreshParameterControls("isAutoActivatedAfterPowerOn");
        }
    } else if (EqualsNoCase(name, "Negative_SWLS") || EqualsNoCase(name, "Positive_SWLS")) {
        CMC_Parameter* negative = FindOptional(setup, "Negative_SWLS");
        CMC_Parameter* positive = FindOptional(setup, "Positive_SWLS");
        if (negative && positive && negative->GetValueInBaseUnit() > positive->GetValueInBaseUnit()) {
            // The limit just edited gives way to the other one.
            const bool editedNegative = EqualsNoCase(name, "Negative_SWLS");
            CMC_Parameter& edited = editedNegative ? *negative : *positive;
            const CMC_Parameter& other = editedNegative ? *positive : *negative;
            edited.SetValueInBaseUnit(other.GetValueInBaseUnit());
            RefreshParameterControls(edited.GetName());
        }
    }
    CMySetupDlg::OnChangedParameterValue(name);
}

void CDriveSetupDlg::OnRefreshParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    if (EqualsNoCase(name, "InputsPolarityType")) {
        // The chosen levels keep their electrical meaning when the input type changes.
        const int inputsType = IntegerOf(setup, "InputsPolarityType");
        if (inputsType != m_inputsType) {
            for (const char* polarity : {"EnablePolarity", "LSNPolarity", "LSPPolarity"}) {
                if (CMC_Parameter* p = FindOptional(setup, polarity)) {
                    p->SetValueInBaseUnit(Truncate(p->GetValueInBaseUnit()) == 0 ? 1.0 : 0.0);
                }
            }
            m_inputsType = inputsType;
        }
        SetPolarityRowTexts(inputsType == 1);
        RefreshAllParameters(0);
    } else if (EqualsNoCase(name, "Limit_Speed")) {
        UpdateParameterLimits(setup);
    } else if (EqualsNoCase(name, "StartCurrent")) {
        Encode_REFTST(setup);
        Encode_RINCTST(setup);
        Decode_StartCurrent(setup);
        RefreshParameterControls("StartCurrent");
        if (OptionalValue(setup, "StartCurrent").value_or(0.0) > kNominalStartCurrent_percent) {
            char text[512];
            std::snprintf(text, sizeof text, kStartCurrentWarning, 2.0 * OptionalValue(setup, "time_AB").value_or(0.0));
            MessageBox(text);
        }
    }
    CMySetupDlg::OnRefreshParameterValue(name);
}

int RunEditSetup(CMC_Setup* setup) {
    if (!setup) return 0;
    try {
        CDriveSetupDlg dialog(setup);
        return dialog.DoModal() == IDOK ? 1 : 0;
    } catch (...) {
        // Nothing may cross the host's C boundary; leaving the dialog any other way is no OK.
        return 0;
    }
}

}  // namespace pelmora
