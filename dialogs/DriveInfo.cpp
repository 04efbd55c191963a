#include "DriveInfo.h"

#include "DriveInfoForm.h"
#include "Encode.h"
#include "Steps.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

namespace pelmora {

namespace {

// The memory size field shows whole blocks of 1024 words, taken from bits 10 to 15 of the size.
constexpr unsigned kE2ROMBlockShift = 10;
constexpr unsigned kE2ROMBlockMask = 0x3F;
constexpr int kMaxE2ROMKwords = static_cast<int>(kE2ROMBlockMask);

constexpr const char* kFirmwareRefused = "Error setting the firmware ID!";

// The field's leading decimal integer, when there is one that a 16-bit size can hold in blocks of
// 1024 words. Anything else would store a wrapped or made-up size, so it is no size at all.
std::optional<int> ParseE2ROMKwords(std::string_view text) {
    std::size_t at = text.find_first_not_of(" \t");
    if (at == std::string_view::npos) return std::nullopt;
    if (text[at] == '+') ++at;
    int value = 0;
    const char* first = text.data() + at;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end == first) return std::nullopt;
    if (value < 0 || value > kMaxE2ROMKwords) return std::nullopt;
    return value;
}

// At most kMaxAppIdLength bytes, never cutting a multi-byte character in two.
std::string LimitAppId(std::string_view text) {
    if (text.size() <= CDriveInfo::kMaxAppIdLength) return std::string(text);
    std::size_t end = CDriveInfo::kMaxAppIdLength;
    constexpr unsigned char kContinuationMask = 0xC0;
    constexpr unsigned char kContinuation = 0x80;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & kContinuationMask) == kContinuation) --end;
    return std::string(text.substr(0, end));
}

bool IsLetterKey(int key, char letter) {
    constexpr int kCaseBit = 0x20;
    return key == letter || key == (letter | kCaseBit);
}

// The check boxes whose clicks may leave the drive temperature protection without its sensor.
constexpr const char* kProtectionChecks[] = {
    "isDriveTemperatureSensor", "isOverVoltage", "isUnderVoltage", "isDriveI2t", "isDriveOverTemp",
};

}  // namespace

CDriveInfo::CDriveInfo(CMC_Setup* setup) : CMySetupDlg(setup, kDriveInfoForm, nullptr) {
    AddParameterControls("VMOT_min", IDC_DRVINFO_VMOT_MIN_VALUE, IDC_DRVINFO_VMOT_MIN_UNIT);
    AddParameterControls("VMOT_max", IDC_DRVINFO_VMOT_MAX_VALUE, IDC_DRVINFO_VMOT_MAX_UNIT);
    AddParameterControls("VLOG_min", IDC_DRVINFO_VLOG_MIN_VALUE, IDC_DRVINFO_VLOG_MIN_UNIT);
    AddParameterControls("VLOG_max", IDC_DRVINFO_VLOG_MAX_VALUE, IDC_DRVINFO_VLOG_MAX_UNIT);
    AddParameterControls("InPS", IDC_DRVINFO_INPS_VALUE, IDC_DRVINFO_INPS_UNIT);
    AddParameterControls("ImaxPS", IDC_DRVINFO_IMAXPS_VALUE, IDC_DRVINFO_IMAXPS_UNIT);
    AddParameterControls("VdcMaxMeasurable", IDC_DRVINFO_VDCMAX_VALUE, IDC_DRVINFO_VDCMAX_UNIT);
    AddCheckParameterControls("isDriveTemperatureSensor", IDC_DRVINFO_TEMP_SENSOR);
    AddParameterControls("DriveTempSensorGain", IDC_DRVINFO_SENSOR_GAIN_VALUE, IDC_DRVINFO_SENSOR_GAIN_UNIT);
    AddParameterControls("DriveTempOutputAt0oC", IDC_DRVINFO_OUTPUT_0C_VALUE, IDC_DRVINFO_OUTPUT_0C_UNIT);
    AddParameterControls("Temp_2", IDC_DRVINFO_TEMP2_VALUE, IDC_DRVINFO_TEMP2_UNIT);
    AddCheckParameterControls("isDriveOverTemp", IDC_DRVINFO_OVER_TEMP);
    AddCheckParameterControls("isOverVoltage", IDC_DRVINFO_OVER_VOLTAGE);
    AddParameterControls("UMAX_PROT", IDC_DRVINFO_UMAX_VALUE, IDC_DRVINFO_UMAX_UNIT);
    AddCheckParameterControls("isUnderVoltage", IDC_DRVINFO_UNDER_VOLTAGE);
    AddParameterControls("UMIN_PROT", IDC_DRVINFO_UMIN_VALUE, IDC_DRVINFO_UMIN_UNIT);
    AddCheckParameterControls("isDriveI2t", IDC_DRVINFO_I2T);
    AddParameterControls("I_I2t_D", IDC_DRVINFO_I2T_CURRENT_VALUE, IDC_DRVINFO_I2T_CURRENT_UNIT);
    AddParameterControls("t_I2t_D", IDC_DRVINFO_I2T_TIME_VALUE, IDC_DRVINFO_I2T_TIME_UNIT);
    AddParameterControls("AnalogueInputsRange", IDC_DRVINFO_AIN_RANGE_VALUE, IDC_DRVINFO_AIN_RANGE_UNIT);
}

bool CDriveInfo::OnInitDialog() {
    m_editMode = false;
    CMySetupDlg::OnInitDialog();

    const CMC_Setup& setup = *GetSetup();
    m_shownE2ROMKwords = static_cast<int>((setup.GetE2ROMSize() >> kE2ROMBlockShift) & kE2ROMBlockMask);
    SetChildText(IDC_DRVINFO_E2ROM, std::to_string(m_shownE2ROMKwords));
    SetChildText(IDC_DRVINFO_FIRMWARE, setup.GetFirmwareID());
    SetChildText(IDC_DRVINFO_PRODUCT, setup.GetProductID());
    SetChildText(IDC_DRVINFO_NAME, setup.GetDescription());
    // A longer identifier stored earlier stays whole unless the user types a new one.
    SetChildText(IDC_DRVINFO_APP_ID, setup.GetUserAppID());
    ApplyRules();
    return true;
}

bool CDriveInfo::FlagSet(const char* name) const {
    const CMC_Parameter* flag = FindOptional(*GetSetup(), name);
    return flag && IsSet(flag->GetValueInBaseUnit());
}

void CDriveInfo::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (!toControls) return;

    const bool edit = m_editMode;
    const bool sensor = FlagSet("isDriveTemperatureSensor");
    const bool overVoltage = FlagSet("isOverVoltage");
    const bool underVoltage = FlagSet("isUnderVoltage");
    const bool i2t = FlagSet("isDriveI2t");
    const bool overTemp = FlagSet("isDriveOverTemp");

    // The hardware data and the identity belong to the drive: only the service mode edits them.
    EnableChildren({IDC_DRVINFO_VMOT_MIN_VALUE, IDC_DRVINFO_VMOT_MAX_VALUE, IDC_DRVINFO_VLOG_MIN_VALUE,
                    IDC_DRVINFO_VLOG_MAX_VALUE, IDC_DRVINFO_INPS_VALUE, IDC_DRVINFO_IMAXPS_VALUE,
                    IDC_DRVINFO_VDCMAX_VALUE, IDC_DRVINFO_AIN_RANGE_VALUE, IDC_DRVINFO_TEMP_SENSOR,
                    IDC_DRVINFO_OVER_VOLTAGE, IDC_DRVINFO_UNDER_VOLTAGE, IDC_DRVINFO_I2T, IDC_DRVINFO_E2ROM,
                    IDC_DRVINFO_NAME, IDC_DRVINFO_PRODUCT, IDC_DRVINFO_FIRMWARE},
                   edit);

    EnableChildren({IDC_DRVINFO_SENSOR_GAIN_VALUE, IDC_DRVINFO_OUTPUT_0C_VALUE}, edit && sensor);
    EnableChild(IDC_DRVINFO_UMAX_VALUE, edit && overVoltage);
    EnableChild(IDC_DRVINFO_UMIN_VALUE, edit && underVoltage);
    EnableChildren({IDC_DRVINFO_I2T_CURRENT_VALUE, IDC_DRVINFO_I2T_TIME_VALUE}, edit && i2t);
    EnableChild(IDC_DRVINFO_TEMP2_VALUE, edit && overTemp);
    EnableChild(IDC_DRVINFO_OVER_TEMP, edit && sensor);

    // Labels and units say which protections are on, in either mode.
    EnableChildren({IDC_DRVINFO_SENSOR_GAIN_LABEL, IDC_DRVINFO_SENSOR_GAIN_UNIT, IDC_DRVINFO_OUTPUT_0C_LABEL,
                    IDC_DRVINFO_OUTPUT_0C_UNIT},
                   sensor);
    EnableChildren({IDC_DRVINFO_UMAX_LABEL, IDC_DRVINFO_UMAX_UNIT}, overVoltage);
    EnableChildren({IDC_DRVINFO_UMIN_LABEL, IDC_DRVINFO_UMIN_UNIT}, underVoltage);
    EnableChildren({IDC_DRVINFO_I2T_CURRENT_LABEL, IDC_DRVINFO_I2T_TIME_LABEL, IDC_DRVINFO_I2T_CURRENT_UNIT,
                    IDC_DRVINFO_I2T_TIME_UNIT},
                   i2t);
    EnableChildren({IDC_DRVINFO_TEMP2_LABEL, IDC_DRVINFO_TEMP2_UNIT}, overTemp);

    EnableChild(IDC_DRVINFO_APP_ID, true);
}

bool CDriveInfo::PreTranslateKey(int key, bool ctrl, bool alt, bool shift) {
    if (ctrl && alt && shift && IsLetterKey(key, kServiceKey)) {
        m_editMode = !m_editMode;
        ApplyRules();
    }
    return false;
}

bool CDriveInfo::OnUserText(int id, std::string_view text) {
    if (id == IDC_DRVINFO_APP_ID) {
        if (text.size() > kMaxAppIdLength) SetChildText(id, LimitAppId(text));
        return true;
    }
    return CMySetupDlg::OnUserText(id, text);
}

void CDriveInfo::OnChangedParameterValue(const char* name) {
    for (const char* check : kProtectionChecks) {
        if (!EqualsNoCase(name, check)) continue;
        // The over-temperature protection needs the drive's temperature sensor.
        CMC_Setup& setup = *GetSetup();
        const CMC_Parameter* sensor = FindOptional(setup, "isDriveTemperatureSensor");
        if (sensor && Truncate(sensor->GetValueInBaseUnit()) == 0 && FlagSet("isDriveOverTemp")) {
            setup.SetParameterValueInBaseUnit("isDriveOverTemp", 0.0);
            RefreshParameterControls("isDriveOverTemp");
        }
        ApplyRules();
        break;
    }
    CMySetupDlg::OnChangedParameterValue(name);
}

void CDriveInfo::OnOK() {
    CMC_Setup& setup = *GetSetup();
    // An untouched field leaves the stored size as it was, with any bits the field cannot show.
    if (const std::optional<int> kwords = ParseE2ROMKwords(GetChildText(IDC_DRVINFO_E2ROM));
        kwords && *kwords != m_shownE2ROMKwords) {
        setup.SetE2ROMSize(static_cast<std::uint16_t>(static_cast<unsigned>(*kwords) << kE2ROMBlockShift));
    }
    setup.SetUserAppID(GetChildText(IDC_DRVINFO_APP_ID));
    setup.SetProductID(GetChildText(IDC_DRVINFO_PRODUCT));
    setup.SetDescription(GetChildText(IDC_DRVINFO_NAME));
    if (setup.SetFirmwareID(GetChildText(IDC_DRVINFO_FIRMWARE)) == 0) MessageBox(kFirmwareRefused);
    UpdateRegistersFromParameters(setup);
    CMySetupDlg::OnOK();
}

}  // namespace pelmora
