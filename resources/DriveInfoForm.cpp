#include "DriveInfoForm.h"
#include "FormParts.h"

namespace pelmora {

namespace {


using K = ControlKind;

constexpr int kData = IDC_DRVINFO_DATA_GROUP;
constexpr int kProt = IDC_DRVINFO_PROTECTIONS_GROUP;

constexpr ControlTemplate kControls[] = {
    Control(IDC_DRVINFO_NAME_GROUP, K::GroupBox, "Intelligent drive name"),
    Control(IDC_DRVINFO_NAME, K::Edit, "", IDC_DRVINFO_NAME_GROUP),
    Control(IDC_DRVINFO_PRODUCT_GROUP, K::GroupBox, "Product ID"),
    Control(IDC_DRVINFO_PRODUCT, K::Edit, "", IDC_DRVINFO_PRODUCT_GROUP),
    Control(IDC_DRVINFO_E2ROM_GROUP, K::GroupBox, "E2ROM size"),
    Control(IDC_DRVINFO_E2ROM, K::Edit, "", IDC_DRVINFO_E2ROM_GROUP),
    Control(IDC_DRVINFO_E2ROM_UNIT_LABEL, K::StaticText, "Kwords", IDC_DRVINFO_E2ROM_GROUP),
    Control(IDC_DRVINFO_FIRMWARE_GROUP, K::GroupBox, "Firmware ID"),
    Control(IDC_DRVINFO_FIRMWARE, K::Edit, "", IDC_DRVINFO_FIRMWARE_GROUP),

    Control(kData, K::GroupBox, "Drive data"),
    Control(IDC_DRVINFO_VMOT_LABEL, K::StaticText, "Power supply (motor)", kData),
    Control(IDC_DRVINFO_VMOT_MIN_LABEL, K::StaticText, "min. value", kData),
    Control(IDC_DRVINFO_VMOT_MIN_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_VMOT_MIN_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_VMOT_MAX_LABEL, K::StaticText, "max. value", kData),
    Control(IDC_DRVINFO_VMOT_MAX_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_VMOT_MAX_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_VLOG_LABEL, K::StaticText, "Logic supply", kData),
    Control(IDC_DRVINFO_VLOG_MIN_LABEL, K::StaticText, "min. value", kData),
    Control(IDC_DRVINFO_VLOG_MIN_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_VLOG_MIN_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_VLOG_MAX_LABEL, K::StaticText, "max. value", kData),
    Control(IDC_DRVINFO_VLOG_MAX_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_VLOG_MAX_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_INPS_LABEL, K::StaticText, "Nominal current", kData),
    Control(IDC_DRVINFO_INPS_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_INPS_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_IMAXPS_LABEL, K::StaticText, "Peak current", kData),
    Control(IDC_DRVINFO_IMAXPS_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_IMAXPS_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_VDCMAX_LABEL, K::StaticText, "Maximum measurable DC voltage", kData),
    Control(IDC_DRVINFO_VDCMAX_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_VDCMAX_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_AIN_RANGE_LABEL, K::StaticText, "Analogue inputs range", kData),
    Control(IDC_DRVINFO_AIN_RANGE_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_AIN_RANGE_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_TEMP_SENSOR, K::CheckBox, "Temperature sensor", kData),
    Control(IDC_DRVINFO_SENSOR_GAIN_LABEL, K::StaticText, "Sensor gain", kData),
    Control(IDC_DRVINFO_SENSOR_GAIN_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_SENSOR_GAIN_UNIT, K::UnitCombo, "", kData),
    Control(IDC_DRVINFO_OUTPUT_0C_LABEL, K::StaticText, "Output at 0°C", kData),
    Control(IDC_DRVINFO_OUTPUT_0C_VALUE, K::Edit, "", kData),
    Control(IDC_DRVINFO_OUTPUT_0C_UNIT, K::UnitCombo, "", kData),

    Control(kProt, K::GroupBox, "Protections"),
    Control(IDC_DRVINFO_OVER_VOLTAGE, K::CheckBox, "Over voltage", kProt),
    Control(IDC_DRVINFO_UMAX_LABEL, K::StaticText, "Trigger if power supply >", kProt),
    Control(IDC_DRVINFO_UMAX_VALUE, K::Edit, "", kProt),
    Control(IDC_DRVINFO_UMAX_UNIT, K::UnitCombo, "", kProt),
    Control(IDC_DRVINFO_UNDER_VOLTAGE, K::CheckBox, "Under voltage", kProt),
    Control(IDC_DRVINFO_UMIN_LABEL, K::StaticText, "Trigger if power supply <", kProt),
    Control(IDC_DRVINFO_UMIN_VALUE, K::Edit, "", kProt),
    Control(IDC_DRVINFO_UMIN_UNIT, K::UnitCombo, "", kProt),
    Control(IDC_DRVINFO_I2T, K::CheckBox, "I2t", kProt),
    Control(IDC_DRVINFO_I2T_CURRENT_LABEL, K::StaticText, "Support over current", kProt),
    Control(IDC_DRVINFO_I2T_CURRENT_VALUE, K::Edit, "", kProt),
    Control(IDC_DRVINFO_I2T_CURRENT_UNIT, K::UnitCombo, "", kProt),
    Control(IDC_DRVINFO_I2T_TIME_LABEL, K::StaticText, "for", kProt),
    Control(IDC_DRVINFO_I2T_TIME_VALUE, K::Edit, "", kProt),
    Control(IDC_DRVINFO_I2T_TIME_UNIT, K::UnitCombo, "", kProt),
    Control(IDC_DRVINFO_OVER_TEMP, K::CheckBox, "Drive temperature", kProt),
    Control(IDC_DRVINFO_TEMP2_LABEL, K::StaticText, "Trigger if T > T2max", kProt),
    Control(IDC_DRVINFO_TEMP2_VALUE, K::Edit, "", kProt),
    Control(IDC_DRVINFO_TEMP2_UNIT, K::UnitCombo, "", kProt),

    Control(IDC_DRVINFO_APP_ID_GROUP, K::GroupBox, "Application ID"),
    Control(IDC_DRVINFO_APP_ID, K::Edit, "", IDC_DRVINFO_APP_ID_GROUP),

    Control(IDOK, K::Button, "OK"),
    Control(IDCANCEL, K::Button, "Cancel"),
};

}  // namespace

const FormTemplate kDriveInfoForm{"Drive info", kControls};

}  // namespace pelmora
