#include "MotorSetupForm.h"

#include <array>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr std::array kControls = {
    ControlTemplate{IDC_MOTOR_DATABASE_GROUP, K::GroupBox, "Database"},
    ControlTemplate{IDC_MOTOR_DATABASE_LIST, K::DropDownList, "", IDC_MOTOR_DATABASE_GROUP},

    ControlTemplate{IDC_MOTOR_MOTOR_GROUP, K::GroupBox, "Motor"},
    ControlTemplate{IDC_MOTOR_MOTOR_LIST, K::DropDownList, "", IDC_MOTOR_MOTOR_GROUP},
    ControlTemplate{IDC_MOTOR_SAVE_TO_USER_DB, K::Button, "Save to User Database", IDC_MOTOR_MOTOR_GROUP},
    ControlTemplate{IDC_MOTOR_DELETE, K::Button, "Delete", IDC_MOTOR_MOTOR_GROUP},

    ControlTemplate{IDC_GUIDELINE_GROUP, K::GroupBox, "Guideline assistant"},
    ControlTemplate{IDC_GUIDELINE_TEXT, K::Edit, "", IDC_GUIDELINE_GROUP, {}, true, true},
    ControlTemplate{IDC_GUIDELINE_PREVIOUS, K::Button, "Previous", IDC_GUIDELINE_GROUP},
    ControlTemplate{IDC_GUIDELINE_NEXT, K::Button, "Next", IDC_GUIDELINE_GROUP},

    ControlTemplate{IDC_MOTOR_DATA_GROUP, K::GroupBox, "Motor data"},
    ControlTemplate{IDC_MOTOR_IN_LABEL, K::StaticText, "Nominal current", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_IN, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_IN_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_IMAXM_LABEL, K::StaticText, "Peak current", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_IMAXM, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_IMAXM_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_POLEPITCH_LABEL, K::StaticText, "Magnetic pole pitch", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_POLEPITCH, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_POLEPITCH_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_KF_LABEL, K::StaticText, "Force constant", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_KF, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_KF_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_R_LABEL, K::StaticText, "Phase resistance (motor + drive)", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_R, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_R_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_L_LABEL, K::StaticText, "Phase inductance (motor + drive)", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_L, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_L_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_M_LABEL, K::StaticText, "Motor moving part mass", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_M, K::Edit, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_M_UNIT, K::UnitCombo, "", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_MASS_UNKNOWN, K::CheckBox, "Motor moving part mass is unknown", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_PHASE_CONNECTION_LABEL, K::StaticText, "Phase connection", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_STAR, K::OptionButton, "Star", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_DELTA, K::OptionButton, "Delta", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_TEST_PHASE_CONNECTIONS, K::Button, "Test Phase Connections", IDC_MOTOR_DATA_GROUP},
    ControlTemplate{IDC_MOTOR_IDENTIFY_RL, K::Button, "Identify Resistance and Inductance", IDC_MOTOR_DATA_GROUP},

    ControlTemplate{IDC_MOTOR_SENSORS_GROUP, K::GroupBox, "Motor sensors"},
    ControlTemplate{IDC_MOTOR_HALL_SETUP, K::Button, "Linear Hall sensors setup", IDC_MOTOR_SENSORS_GROUP},
    ControlTemplate{IDC_MOTOR_RESOLUTION_LABEL, K::StaticText, "Linear Hall sensors resolution",
                    IDC_MOTOR_SENSORS_GROUP},
    ControlTemplate{IDC_MOTOR_RESOLUTION, K::Edit, "", IDC_MOTOR_SENSORS_GROUP},
    ControlTemplate{IDC_MOTOR_RESOLUTION_UNIT_LABEL, K::StaticText, "bits / pole pitch", IDC_MOTOR_SENSORS_GROUP},
    ControlTemplate{IDC_MOTOR_TEMPERATURE, K::CheckBox, "Temperature", IDC_MOTOR_SENSORS_GROUP},
    ControlTemplate{IDC_MOTOR_SENSOR_TYPE_GROUP, K::GroupBox, "Sensor type", IDC_MOTOR_SENSORS_GROUP},
    ControlTemplate{IDC_MOTOR_NTC, K::OptionButton, "NTC", IDC_MOTOR_SENSOR_TYPE_GROUP},
    ControlTemplate{IDC_MOTOR_PTC, K::OptionButton, "PTC", IDC_MOTOR_SENSOR_TYPE_GROUP},

    ControlTemplate{IDC_MOTOR_TRANSMISSION_GROUP, K::GroupBox, "Transmission to load"},
    ControlTemplate{IDC_MOTOR_TRANSMISSION_TYPE_LABEL, K::StaticText, "Transmission type:",
                    IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_LINEAR_TO_LINEAR, K::OptionButton, "Linear to linear", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_LINEAR_TO_ROTARY, K::OptionButton, "Linear to rotary", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_TRANSMISSION_LABEL, K::StaticText, "Motor displacement of", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_TRANSMISSION, K::Edit, "", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_TRANSMISSION_UNIT, K::UnitCombo, "", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_LOAD_TRANSMISSION_LABEL, K::StaticText, "corresponds on load to",
                    IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_LOAD_TRANSMISSION, K::Edit, "", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_LOAD_TRANSMISSION_UNIT, K::UnitCombo, "", IDC_MOTOR_TRANSMISSION_GROUP},
    ControlTemplate{IDC_MOTOR_SWITCH_WARNING, K::PictureButton, "Switch h/w\nlimit switches",
                    IDC_MOTOR_TRANSMISSION_GROUP, kPictureSwitchWarning},

    ControlTemplate{IDC_MOTOR_BRAKE_GROUP, K::GroupBox, "Motor brake"},
    ControlTemplate{IDC_MOTOR_BRAKE, K::CheckBox, "Motor brake on output line :", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_OUTPUT, K::DropDownList, "", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_TEXT, K::StaticText, "Motor brake is applied when ", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_TIMING, K::Picture, "", IDC_MOTOR_BRAKE_GROUP, kPictureBrakeTiming},
    ControlTemplate{IDC_MOTOR_BRAKE_RELEASE_LABEL, K::StaticText, "Brake release delay :", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_RELEASE, K::Edit, "", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_RELEASE_UNIT, K::UnitCombo, "", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_APPLY_LABEL, K::StaticText, "Brake apply delay :", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_APPLY, K::Edit, "", IDC_MOTOR_BRAKE_GROUP},
    ControlTemplate{IDC_MOTOR_BRAKE_APPLY_UNIT, K::UnitCombo, "", IDC_MOTOR_BRAKE_GROUP},

    // OK leads back to the drive setup, which its picture shows.
    ControlTemplate{IDOK, K::PictureButton, "OK", 0, kPictureToDriveSetup},
    ControlTemplate{IDCANCEL, K::Button, "Cancel"},
    ControlTemplate{IDHELP, K::Button, "Help"},
};

}  // namespace

const FormTemplate kMotorSetupForm{"Brushless Motor Setup", kControls};

}  // namespace pelmora
