// The "Drive Setup" form: the hub of the setup, with the supply, the three controllers, the
// control mode, the external reference, the axis ID, protections, brake resistor, input
// polarities, software limit switches and the start method.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

// Control ids of the drive setup form. They start well above the host's command numbers (10 and
// 1117 reach this dialog as commands) so that no control can be mistaken for one of them.
enum DriveSetupControl : int {
    // "CANbus" (the baud rate list and the settings button are run by the host)
    IDC_DS_CAN_GROUP = 2000,
    IDC_DS_CAN_BAUD_LABEL,
    IDC_DS_CAN_BAUD_LIST,
    IDC_DS_CAN_SETTINGS,
    IDC_DS_SAVE_CAN_BAUDRATE,

    // "Drive operation parameters"
    IDC_DS_DRIVE_GROUP = 2020,
    IDC_DS_VDC_LABEL,
    IDC_DS_VDC,
    IDC_DS_VDC_UNIT,
    IDC_DS_ILIMPS_LABEL,
    IDC_DS_ILIMPS,
    IDC_DS_ILIMPS_UNIT,
    IDC_DS_DETECT,

    // "Current controller"
    IDC_DS_CURRENT_GROUP = 2040,
    IDC_DS_KP_C_LABEL,
    IDC_DS_KP_C,
    IDC_DS_KI_C_LABEL,
    IDC_DS_KI_C,
    IDC_DS_CURRENT_TUNE,

    // "Speed controller"
    IDC_DS_SPEED_GROUP = 2060,
    IDC_DS_KP_S_LABEL,
    IDC_DS_KP_S,
    IDC_DS_KI_S_LABEL,
    IDC_DS_KI_S,
    IDC_DS_IPSATS_LABEL,
    IDC_DS_IPSATS,
    IDC_DS_IPSATS_UNIT,
    IDC_DS_SPEED_FF_LABEL,
    IDC_DS_SPEED_KFFA,
    IDC_DS_SPEED_KFFA_LABEL,
    IDC_DS_SPEED_KFFS,
    IDC_DS_SPEED_KFFS_LABEL,
    IDC_DS_SPEED_TUNE,

    // "Position controller"
    IDC_DS_POSITION_GROUP = 2080,
    IDC_DS_KP_P_LABEL,
    IDC_DS_KP_P,
    IDC_DS_KI_P_LABEL,
    IDC_DS_KI_P,
    IDC_DS_KD_P_LABEL,
    IDC_DS_KD_P,
    IDC_DS_FILTER_D_LABEL,
    IDC_DS_FILTER_D,
    IDC_DS_IPSATP_LABEL,
    IDC_DS_IPSATP,
    IDC_DS_IPSATP_UNIT,
    IDC_DS_POSITION_FF_LABEL,
    IDC_DS_POSITION_KFFA,
    IDC_DS_POSITION_KFFA_LABEL,
    IDC_DS_POSITION_KFFS,
    IDC_DS_POSITION_KFFS_LABEL,
    IDC_DS_LIMIT_SPEED_LABEL,
    IDC_DS_LIMIT_SPEED,
    IDC_DS_LIMIT_SPEED_UNIT,
    IDC_DS_POSITION_TUNE,

    // "Control mode"
    IDC_DS_CONTROL_MODE_GROUP = 2110,
    IDC_DS_MODE_POSITION,
    IDC_DS_MODE_SPEED,
    IDC_DS_MODE_TORQUE,
    IDC_DS_ADVANCED,

    // (untitled)
    IDC_DS_INFO_GROUP = 2120,
    IDC_DS_DRIVE_INFO,

    // "External reference"
    IDC_DS_REFERENCE_GROUP = 2130,
    IDC_DS_REFERENCE_NO,
    IDC_DS_REFERENCE_YES,
    IDC_DS_REFERENCE_SETUP,
    // The display-only pair bound to isAnalogueReference (0, 1) comes before its two labels, so
    // that nothing lies between the buttons of one binding.
    IDC_DS_REFERENCE_DIGITAL,
    IDC_DS_REFERENCE_ANALOGUE,
    IDC_DS_DIGITAL_TYPE_LABEL,  // beside the digital button
    IDC_DS_ANALOGUE_LABEL,      // beside the analogue button
    IDC_DS_AUTO_ACTIVATED,

    // "Axis ID selection"
    IDC_DS_AXIS_GROUP = 2150,
    IDC_DS_SAVE_AXIS_ID,
    IDC_DS_AXIS_ID_LABEL,
    IDC_DS_AXIS_ID_LIST,

    // "Protections"
    IDC_DS_PROTECTIONS_GROUP = 2160,
    IDC_DS_OVER_CURRENT,
    IDC_DS_IMAX_PROT_LABEL,
    IDC_DS_IMAX_PROT,
    IDC_DS_IMAX_PROT_UNIT,
    IDC_DS_TIME_IMAX_PROT_LABEL,
    IDC_DS_TIME_IMAX_PROT,
    IDC_DS_TIME_IMAX_PROT_UNIT,
    IDC_DS_POSITION_ERROR,
    IDC_DS_ERR_POSITION_LABEL,
    IDC_DS_ERR_POSITION,
    IDC_DS_ERR_POSITION_UNIT,
    IDC_DS_TIME_ERR_POS_LABEL,
    IDC_DS_TIME_ERR_POS,
    IDC_DS_TIME_ERR_POS_UNIT,
    IDC_DS_SPEED_ERROR,
    IDC_DS_ERR_SPEED_LABEL,
    IDC_DS_ERR_SPEED,
    IDC_DS_ERR_SPEED_UNIT,
    IDC_DS_TIME_ERR_SPD_LABEL,
    IDC_DS_TIME_ERR_SPD,
    IDC_DS_TIME_ERR_SPD_UNIT,
    IDC_DS_MOTOR_OVER_TEMP,
    IDC_DS_I2T,
    IDC_DS_I_I2T_LABEL,
    IDC_DS_I_I2T,
    IDC_DS_I_I2T_UNIT,
    IDC_DS_T_I2T_LABEL,
    IDC_DS_T_I2T,
    IDC_DS_T_I2T_UNIT,

    // "External brake resistor"
    IDC_DS_BRAKE_GROUP = 2200,
    IDC_DS_BRAKE_CONNECTED,
    IDC_DS_VBRAKE_LABEL,
    IDC_DS_VBRAKE,
    IDC_DS_VBRAKE_UNIT,

    // "Inputs polarity". Each column's two buttons are adjacent, in the order of the values
    // they stand for, because an option-button binding runs from its first to its last control.
    IDC_DS_POLARITY_GROUP = 2210,
    IDC_DS_ENABLE_LABEL,
    IDC_DS_LSP_LABEL,
    IDC_DS_LSN_LABEL,
    IDC_DS_ACTIVE_HIGH_LABEL,   // upper row
    IDC_DS_ACTIVE_LOW_LABEL,    // lower row
    IDC_DS_ENABLE_LOW,          // EnablePolarity 0
    IDC_DS_ENABLE_HIGH,         // EnablePolarity 1
    IDC_DS_LSP_HIGH,            // LSPPolarity 0
    IDC_DS_LSP_LOW,             // LSPPolarity 1
    IDC_DS_LSN_HIGH,            // LSNPolarity 0
    IDC_DS_LSN_LOW,             // LSNPolarity 1
    IDC_DS_INPUT_TYPE_GROUP,
    IDC_DS_TYPE_SOURCE,         // InputsPolarityType 0, the lower button
    IDC_DS_TYPE_SINK,           // InputsPolarityType 1, the upper button

    // "Software limit switches"
    IDC_DS_SWLS_GROUP = 2240,
    IDC_DS_SWLS,
    IDC_DS_NEGATIVE_SWLS_LABEL,
    IDC_DS_NEGATIVE_SWLS,
    IDC_DS_NEGATIVE_SWLS_UNIT,
    IDC_DS_POSITIVE_SWLS_LABEL,
    IDC_DS_POSITIVE_SWLS,
    IDC_DS_POSITIVE_SWLS_UNIT,

    // "Start mode"
    IDC_DS_START_GROUP = 2260,
    IDC_DS_START_ALIGNED,
    IDC_DS_START_ABSOLUTE,
    IDC_DS_START_CURRENT_LABEL,
    IDC_DS_START_CURRENT,
    IDC_DS_START_CURRENT_UNIT,
    IDC_DS_TIME_AB_LABEL,
    IDC_DS_TIME_AB,
    IDC_DS_TIME_AB_UNIT,

    // The dialog's own buttons besides OK, Cancel and Help
    IDC_DS_MOTOR_SETUP = 2280,
};

extern const FormTemplate kDriveSetupForm;

}  // namespace pelmora
