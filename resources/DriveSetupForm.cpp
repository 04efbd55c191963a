#include "DriveSetupForm.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr ControlTemplate Group(int id, std::string_view label, int group = 0) { return {id, K::GroupBox, label, group}; }
constexpr ControlTemplate Label(int id, std::string_view label, int group) { return {id, K::StaticText, label, group}; }
constexpr ControlTemplate Field(int id, int group) { return {id, K::Edit, {}, group}; }
constexpr ControlTemplate Unit(int id, int group) { return {id, K::UnitCombo, {}, group}; }
constexpr ControlTemplate Check(int id, std::string_view label, int group) { return {id, K::CheckBox, label, group}; }
constexpr ControlTemplate Option(int id, std::string_view label, int group) { return {id, K::OptionButton, label, group}; }
constexpr ControlTemplate Button(int id, std::string_view label, int group = 0) { return {id, K::Button, label, group}; }
constexpr ControlTemplate List(int id, int group) { return {id, K::DropDownList, {}, group}; }
constexpr int kUpperRow = 0;
constexpr int kLowerRow = 1;
constexpr ControlTemplate OptionInRow(int id, int group, int row) {
    ControlTemplate control = Option(id, {}, group);
    control.gridRow = row;
    return control;
}

constexpr int kGuide = IDC_GUIDELINE_GROUP;
constexpr int kCan = IDC_DS_CAN_GROUP;
constexpr int kDrive = IDC_DS_DRIVE_GROUP;
constexpr int kCurrent = IDC_DS_CURRENT_GROUP;
constexpr int kSpeed = IDC_DS_SPEED_GROUP;
constexpr int kPosition = IDC_DS_POSITION_GROUP;
constexpr int kMode = IDC_DS_CONTROL_MODE_GROUP;
constexpr int kInfo = IDC_DS_INFO_GROUP;
constexpr int kReference = IDC_DS_REFERENCE_GROUP;
constexpr int kAxis = IDC_DS_AXIS_GROUP;
constexpr int kProtections = IDC_DS_PROTECTIONS_GROUP;
constexpr int kBrake = IDC_DS_BRAKE_GROUP;
constexpr int kPolarity = IDC_DS_POLARITY_GROUP;
constexpr int kType = IDC_DS_INPUT_TYPE_GROUP;
constexpr int kSwls = IDC_DS_SWLS_GROUP;
constexpr int kStart = IDC_DS_START_GROUP;

constexpr auto kControls = std::to_array<ControlTemplate>({
    Group(kGuide, "Guideline assistant"),
    {IDC_GUIDELINE_TEXT, K::Edit, {}, kGuide, {}, true, true},
    Button(IDC_GUIDELINE_PREVIOUS, "Previous", kGuide),
    Button(IDC_GUIDELINE_NEXT, "Next", kGuide),

    Group(kCan, "CANbus"),
    Label(IDC_DS_CAN_BAUD_LABEL, "Baud rate", kCan),
    List(IDC_DS_CAN_BAUD_LIST, kCan),
    Button(IDC_DS_CAN_SETTINGS, "CANopen settings...", kCan),
    Check(IDC_DS_SAVE_CAN_BAUDRATE, {}, kCan),

    Group(kDrive, "Drive operation parameters"),
    Label(IDC_DS_VDC_LABEL, "Power supply", kDrive),
    Field(IDC_DS_VDC, kDrive),
    Unit(IDC_DS_VDC_UNIT, kDrive),
    Label(IDC_DS_ILIMPS_LABEL, "Current limit", kDrive),
    Field(IDC_DS_ILIMPS, kDrive),
    Unit(IDC_DS_ILIMPS_UNIT, kDrive),
    Button(IDC_DS_DETECT, "Detect", kDrive),

    Group(kCurrent, "Current controller"),
    Label(IDC_DS_KP_C_LABEL, "Kp", kCurrent),
    Field(IDC_DS_KP_C, kCurrent),
    Label(IDC_DS_KI_C_LABEL, "Ki", kCurrent),
    Field(IDC_DS_KI_C, kCurrent),
    Button(IDC_DS_CURRENT_TUNE, "Tune && Test", kCurrent),

    Group(kSpeed, "Speed controller"),
    Label(IDC_DS_KP_S_LABEL, "Kp", kSpeed),
    Field(IDC_DS_KP_S, kSpeed),
    Label(IDC_DS_KI_S_LABEL, "Ki", kSpeed),
    Field(IDC_DS_KI_S, kSpeed),
    Label(IDC_DS_IPSATS_LABEL, "Integral limit", kSpeed),
    Field(IDC_DS_IPSATS, kSpeed),
    Unit(IDC_DS_IPSATS_UNIT, kSpeed),
    Label(IDC_DS_SPEED_FF_LABEL, "Feedforward", kSpeed),
    Field(IDC_DS_SPEED_KFFA, kSpeed),
    Label(IDC_DS_SPEED_KFFA_LABEL, "(Acceleration)", kSpeed),
    Field(IDC_DS_SPEED_KFFS, kSpeed),
    Label(IDC_DS_SPEED_KFFS_LABEL, "(Speed)", kSpeed),
    Button(IDC_DS_SPEED_TUNE, "Tune && Test", kSpeed),

    Group(kPosition, "Position controller"),
    Label(IDC_DS_KP_P_LABEL, "Kp", kPosition),
    Field(IDC_DS_KP_P, kPosition),
    Label(IDC_DS_KI_P_LABEL, "Ki", kPosition),
    Field(IDC_DS_KI_P, kPosition),
    Label(IDC_DS_KD_P_LABEL, "Kd", kPosition),
    Field(IDC_DS_KD_P, kPosition),
    Label(IDC_DS_FILTER_D_LABEL, "Kd filter", kPosition),
    Field(IDC_DS_FILTER_D, kPosition),
    Label(IDC_DS_IPSATP_LABEL, "Integral limit", kPosition),
    Field(IDC_DS_IPSATP, kPosition),
    Unit(IDC_DS_IPSATP_UNIT, kPosition),
    Label(IDC_DS_POSITION_FF_LABEL, "Feedforward", kPosition),
    Field(IDC_DS_POSITION_KFFA, kPosition),
    Label(IDC_DS_POSITION_KFFA_LABEL, "(Acceleration)", kPosition),
    Field(IDC_DS_POSITION_KFFS, kPosition),
    Label(IDC_DS_POSITION_KFFS_LABEL, "(Speed)", kPosition),
    Label(IDC_DS_LIMIT_SPEED_LABEL, "Load speed limit", kPosition),
    Field(IDC_DS_LIMIT_SPEED, kPosition),
    Unit(IDC_DS_LIMIT_SPEED_UNIT, kPosition),
    Button(IDC_DS_POSITION_TUNE, "Tune && Test", kPosition),

    Group(kMode, "Control mode"),
    Option(IDC_DS_MODE_POSITION, "Position", kMode),
    Option(IDC_DS_MODE_SPEED, "Speed", kMode),
    Option(IDC_DS_MODE_TORQUE, "Torque", kMode),
    Button(IDC_DS_ADVANCED, "Advanced", kMode),

    Group(kInfo, {}),
    Button(IDC_DS_DRIVE_INFO, "Drive Info", kInfo),

    Group(kReference, "External reference"),
    Option(IDC_DS_REFERENCE_NO, "No", kReference),
    Option(IDC_DS_REFERENCE_YES, "Yes", kReference),
    Button(IDC_DS_REFERENCE_SETUP, "Setup", kReference),
    // The reference kind is chosen in the external reference dialog; here it is only shown.
    {IDC_DS_REFERENCE_DIGITAL, K::OptionButton, {}, kReference, {}, false, true},
    {IDC_DS_REFERENCE_ANALOGUE, K::OptionButton, {}, kReference, {}, false, true},
    Label(IDC_DS_DIGITAL_TYPE_LABEL, "Pulse && Direction", kReference),
    Label(IDC_DS_ANALOGUE_LABEL, "Analogue", kReference),
    Check(IDC_DS_AUTO_ACTIVATED, "Automatically activated after Power On", kReference),

    Group(kAxis, "Axis ID selection"),
    Check(IDC_DS_SAVE_AXIS_ID, {}, kAxis),
    Label(IDC_DS_AXIS_ID_LABEL, "Set / change axis ID", kAxis),
    List(IDC_DS_AXIS_ID_LIST, kAxis),

    Group(kProtections, "Protections"),
    Check(IDC_DS_OVER_CURRENT, "Over current", kProtections),
    Label(IDC_DS_IMAX_PROT_LABEL, "Motor current >", kProtections),
    Field(IDC_DS_IMAX_PROT, kProtections),
    Unit(IDC_DS_IMAX_PROT_UNIT, kProtections),
    Label(IDC_DS_TIME_IMAX_PROT_LABEL, "for more than", kProtections),
    Field(IDC_DS_TIME_IMAX_PROT, kProtections),
    Unit(IDC_DS_TIME_IMAX_PROT_UNIT, kProtections),
    Check(IDC_DS_POSITION_ERROR, "Control error", kProtections),
    Label(IDC_DS_ERR_POSITION_LABEL, "Position error >", kProtections),
    Field(IDC_DS_ERR_POSITION, kProtections),
    Unit(IDC_DS_ERR_POSITION_UNIT, kProtections),
    Label(IDC_DS_TIME_ERR_POS_LABEL, "for more than", kProtections),
    Field(IDC_DS_TIME_ERR_POS, kProtections),
    Unit(IDC_DS_TIME_ERR_POS_UNIT, kProtections),
    Check(IDC_DS_SPEED_ERROR, "Control error", kProtections),
    Label(IDC_DS_ERR_SPEED_LABEL, "Speed error >", kProtections),
    Field(IDC_DS_ERR_SPEED, kProtections),
    Unit(IDC_DS_ERR_SPEED_UNIT, kProtections),
    Label(IDC_DS_TIME_ERR_SPD_LABEL, "for more than", kProtections),
    Field(IDC_DS_TIME_ERR_SPD, kProtections),
    Unit(IDC_DS_TIME_ERR_SPD_UNIT, kProtections),
    Check(IDC_DS_MOTOR_OVER_TEMP, "Motor over temperature", kProtections),
    Check(IDC_DS_I2T, "I2t", kProtections),
    Label(IDC_DS_I_I2T_LABEL, "Over current", kProtections),
    Field(IDC_DS_I_I2T, kProtections),
    Unit(IDC_DS_I_I2T_UNIT, kProtections),
    Label(IDC_DS_T_I2T_LABEL, "for", kProtections),
    Field(IDC_DS_T_I2T, kProtections),
    Unit(IDC_DS_T_I2T_UNIT, kProtections),

    Group(kBrake, "External brake resistor"),
    Check(IDC_DS_BRAKE_CONNECTED, "Connected", kBrake),
    Label(IDC_DS_VBRAKE_LABEL, "Activate if power supply >", kBrake),
    Field(IDC_DS_VBRAKE, kBrake),
    Unit(IDC_DS_VBRAKE_UNIT, kBrake),

    Group(kPolarity, "Inputs polarity"),
    Label(IDC_DS_ENABLE_LABEL, "Enable", kPolarity),
    Label(IDC_DS_LSP_LABEL, "Limit switch+", kPolarity),
    Label(IDC_DS_LSN_LABEL, "Limit switch-", kPolarity),
    // The row texts depend on the input type; the dialog sets them when it opens.
    Label(IDC_DS_ACTIVE_HIGH_LABEL, "Active high (Open/No connection)", kPolarity),
    Label(IDC_DS_ACTIVE_LOW_LABEL, "Active low (Connected to GND)", kPolarity),
    // Enable counts its values from the lower row (active low 0), the limit switches from the upper.
    OptionInRow(IDC_DS_ENABLE_LOW, kPolarity, kLowerRow),
    OptionInRow(IDC_DS_ENABLE_HIGH, kPolarity, kUpperRow),
    Option(IDC_DS_LSP_HIGH, {}, kPolarity),
    Option(IDC_DS_LSP_LOW, {}, kPolarity),
    Option(IDC_DS_LSN_HIGH, {}, kPolarity),
    Option(IDC_DS_LSN_LOW, {}, kPolarity),
    Group(kType, "Type", kPolarity),
    Option(IDC_DS_TYPE_SOURCE, "Source(NPN)", kType),
    Option(IDC_DS_TYPE_SINK, "Sink (PNP)", kType),

    Group(kSwls, "Software limit switches"),
    Check(IDC_DS_SWLS, "Restrict movement between:", kSwls),
    Label(IDC_DS_NEGATIVE_SWLS_LABEL, "Negative Limit", kSwls),
    Field(IDC_DS_NEGATIVE_SWLS, kSwls),
    Unit(IDC_DS_NEGATIVE_SWLS_UNIT, kSwls),
    Label(IDC_DS_POSITIVE_SWLS_LABEL, "Positive Limit", kSwls),
    Field(IDC_DS_POSITIVE_SWLS, kSwls),
    Unit(IDC_DS_POSITIVE_SWLS_UNIT, kSwls),

    Group(kStart, "Start mode"),
    Option(IDC_DS_START_ALIGNED, "Move till aligned with phase A", kStart),
    Option(IDC_DS_START_ABSOLUTE, "Absolute, using linear Hall sensors", kStart),
    Label(IDC_DS_START_CURRENT_LABEL, "Current used (% of nominal current)", kStart),
    Field(IDC_DS_START_CURRENT, kStart),
    Unit(IDC_DS_START_CURRENT_UNIT, kStart),
    Label(IDC_DS_TIME_AB_LABEL, "Time to align on phases", kStart),
    Field(IDC_DS_TIME_AB, kStart),
    Unit(IDC_DS_TIME_AB_UNIT, kStart),

    Button(IDOK, "OK"),
    Button(IDCANCEL, "Cancel"),
    Button(IDHELP, "Help"),
    {IDC_DS_MOTOR_SETUP, K::PictureButton, "Motor setup", 0, "TO_MOTORSETUP"},
});

}  // namespace

const FormTemplate kDriveSetupForm{"Drive Setup", kControls};

}  // namespace pelmora
