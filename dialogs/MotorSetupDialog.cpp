#include "MotorSetupDialog.h"

#include "BaseQuantities.h"
#include "FeatureProbes.h"
#include "MotorSetupForm.h"
#include "Options.h"
#include "Steps.h"

#include <string>

namespace pelmora {

namespace {

constexpr int kHelpTopic = 262407;

constexpr const char* kGuidelineSteps[] = {
    "Step 1. Select your motor from a database. If your motor does not exist in any database, proceed through all "
    "the next steps in order to define your motor and sensors data. In either case, use the tests from the next "
    "steps to verify/detect the motor and sensors parameters and operation.",
    "Step 2. Check the values for nominal and peak currents. Press the <<Test Phase Connections>> button to verify "
    "that your motor phases are well connected to the drive.",
    "Step 3. Check the magnetic pole pitch and force constant values.",
    "Step 4. Check the resistance and inductance values. Press the <<Identify Resistance and Inductance>> button to "
    "autodetect these parameters.",
    "Step 5. Check the value of the motor moving part mass. If you don't know this value, check the <<Motor moving "
    "part mass is unknown>> checkbox.",
    "Step 6.\t In the Motor Sensors section press the <<Linear Hall sensors setup>> button to automatically detect "
    "linear hall sensors parameters.",
    "Step 7. In <<Transmission to load>> select the transmission type and the ratio by setting the correspondance "
    "between the motor and load displacements.",
    "Step 8. If you want to save your motor data, select USER database, then press the <<Save>> button.",
    "",
};

constexpr const char* kSwitchWarningMessage =
    "When there is only a position sensor on the motor and the load moves in opposite direction (i.e. transmission "
    "is negative), the h/w limit switches connections need to be reversed. \n\nConnect positive limit switch sensor "
    "to drive's LSN input and negative limit switch sensor to drive's LSP input.";

constexpr const char* kBrakeTextPrefix = "Motor brake is applied when ";
constexpr const char* kBrakeTextSource = "PNP (source) output is connected to +Vlog.";
constexpr const char* kBrakeTextSink = "NPN (sink) output is connected to GND.";
constexpr const char* kBrakeOutputPrefix = "OUT";

// What a transmission ratio that was entered as 0 becomes, in the base unit: a ratio of 0 would
// leave the load-side conversions without a divisor.
constexpr double kSmallestTransmission = 0.001;

double ValueOr(const CMC_Setup& setup, const char* name, double fallback) {
    const CMC_Parameter* parameter = FindOptional(setup, name);
    return parameter ? parameter->GetValueInBaseUnit() : fallback;
}

bool Is(const char* name, const char* other) { return EqualsNoCase(name, other); }

std::string BrakeTextLine(const CMC_Setup& setup) {
    const CMC_Parameter* output = FindOptional(setup, "MotorBrake_output");
    const int port = output ? Truncate(output->GetValueInInternalUnit()) : 0;
    const bool inverted = setup.IsIOMC3PortInverted(port);
    // This host describes a brake port only by whether it is one; it reports no output-stage
    // configuration bits that could flip the sense, so the port's inversion alone decides.
    const bool flippedByStage = false;
    return std::string(kBrakeTextPrefix) + ((inverted != flippedByStage) ? kBrakeTextSource : kBrakeTextSink);
}

}  // namespace

CMotorSetupDialog::CMotorSetupDialog(CMC_Setup* setup)
    : CMySetupDlg(setup, kMotorSetupForm, kGuidelineSteps, kHelpTopic) {
    AddParameterControls("In", IDC_MOTOR_IN, IDC_MOTOR_IN_UNIT);
    AddParameterControls("ImaxM", IDC_MOTOR_IMAXM, IDC_MOTOR_IMAXM_UNIT);
    AddParameterControls("PolePitch", IDC_MOTOR_POLEPITCH, IDC_MOTOR_POLEPITCH_UNIT);
    AddParameterControls("Kf", IDC_MOTOR_KF, IDC_MOTOR_KF_UNIT);
    AddParameterControls("R", IDC_MOTOR_R, IDC_MOTOR_R_UNIT);
    AddParameterControls("L", IDC_MOTOR_L, IDC_MOTOR_L_UNIT);
    AddParameterControls("M", IDC_MOTOR_M, IDC_MOTOR_M_UNIT);
    AddParameterControls("Resolution", IDC_MOTOR_RESOLUTION);
    AddCheckParameterControls("isMotorMassUnknown", IDC_MOTOR_MASS_UNKNOWN);
    AddSwitchParameterControls("MotorPhaseConnectionType", IDC_MOTOR_STAR, IDC_MOTOR_DELTA);
    AddCheckParameterControls("isMotorTemperatureSensor", IDC_MOTOR_TEMPERATURE);
    AddSwitchParameterControls("Motor_TempSensor_Type", IDC_MOTOR_NTC, IDC_MOTOR_PTC);
    AddSwitchParameterControls("TransmissionType", IDC_MOTOR_LINEAR_TO_LINEAR, IDC_MOTOR_LINEAR_TO_ROTARY);
    AddParameterControls("Motor_transmission", IDC_MOTOR_TRANSMISSION, IDC_MOTOR_TRANSMISSION_UNIT);
    AddParameterControls("Load_transmission", IDC_MOTOR_LOAD_TRANSMISSION, IDC_MOTOR_LOAD_TRANSMISSION_UNIT);
    if (HasMotorBrake(*GetSetup())) {
        AddCheckParameterControls("isMotorBrake", IDC_MOTOR_BRAKE);
        AddSwitchParameterControls("MotorBrake_output", IDC_MOTOR_BRAKE_OUTPUT);
        AddParameterControls("MotorBrake_releasetime", IDC_MOTOR_BRAKE_RELEASE, IDC_MOTOR_BRAKE_RELEASE_UNIT);
        AddParameterControls("MotorBrake_applytime", IDC_MOTOR_BRAKE_APPLY, IDC_MOTOR_BRAKE_APPLY_UNIT);
    }
    // The motor database groups belong to a host motor editor that this host does not have;
    // their controls stay in the form, inert (disabled when the dialog opens).
}

bool CMotorSetupDialog::IsBrakeAvailable() const {
    return HasMotorBrake(*GetSetup()) && GetSetup()->GetNumberOfBrakeOutputs() > 0;
}

void CMotorSetupDialog::FillBrakeOutputs(int port) {
    ClearItems(IDC_MOTOR_BRAKE_OUTPUT);
    for (const IOPin& pin : GetSetup()->GetIdentity().ioPins) {
        if (!pin.brake) continue;
        AddItem(IDC_MOTOR_BRAKE_OUTPUT, kBrakeOutputPrefix + std::to_string(pin.port), pin.port);
    }
    const ControlState* list = GetControl(IDC_MOTOR_BRAKE_OUTPUT);
    int selection = -1;
    for (std::size_t i = 0; list && i < list->items.size(); ++i) {
        if (list->items[i].second == port) selection = static_cast<int>(i);
    }
    SetSelection(IDC_MOTOR_BRAKE_OUTPUT, selection);
}

bool CMotorSetupDialog::OnInitDialog() {
    CMySetupDlg::OnInitDialog();
    const CMC_Setup& setup = *GetSetup();

    SetPicture(IDOK, kPictureToDriveSetup);
    SetPicture(IDC_MOTOR_SWITCH_WARNING, kPictureSwitchWarning);
    ShowChild(IDC_MOTOR_SWITCH_WARNING, false);

    EnableChildren({IDC_MOTOR_DATABASE_GROUP, IDC_MOTOR_DATABASE_LIST, IDC_MOTOR_MOTOR_GROUP, IDC_MOTOR_MOTOR_LIST,
                    IDC_MOTOR_SAVE_TO_USER_DB, IDC_MOTOR_DELETE},
                   false);

    const bool brakeAvailable = IsBrakeAvailable();
    EnableChildren({IDC_MOTOR_BRAKE_GROUP, IDC_MOTOR_BRAKE, IDC_MOTOR_BRAKE_OUTPUT, IDC_MOTOR_BRAKE_TEXT,
                    IDC_MOTOR_BRAKE_RELEASE_LABEL, IDC_MOTOR_BRAKE_RELEASE, IDC_MOTOR_BRAKE_RELEASE_UNIT,
                    IDC_MOTOR_BRAKE_APPLY_LABEL, IDC_MOTOR_BRAKE_APPLY, IDC_MOTOR_BRAKE_APPLY_UNIT},
                   brakeAvailable);

    if (GetControl(IDC_MOTOR_BRAKE_OUTPUT)) {
        const CMC_Parameter* output = FindOptional(setup, "MotorBrake_output");
        FillBrakeOutputs(brakeAvailable && output ? Truncate(output->GetValueInBaseUnit()) : 0);
        RefreshParameterControls("MotorBrake_output");
    }

    SetPicture(IDC_MOTOR_BRAKE_TIMING, kPictureBrakeTiming);
    ShowChild(IDC_MOTOR_BRAKE_TIMING, true);
    ApplyRules();
    return true;
}

void CMotorSetupDialog::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (toControls) ApplyControlRules();
}

void CMotorSetupDialog::ApplyControlRules() {
    const CMC_Setup& setup = *GetSetup();

    const bool massKnown = Truncate(ValueOr(setup, "isMotorMassUnknown", 0.0)) == 0;
    EnableChildren({IDC_MOTOR_M_LABEL, IDC_MOTOR_M, IDC_MOTOR_M_UNIT}, massKnown);

    const bool hasTemperatureSensor = IsSet(ValueOr(setup, "isMotorTemperatureSensor", 0.0));
    EnableChildren({IDC_MOTOR_SENSOR_TYPE_GROUP, IDC_MOTOR_NTC, IDC_MOTOR_PTC}, hasTemperatureSensor);

    if (HasMotorBrake(setup)) {
        // Without a brake output the brake stays off whatever the check box holds: the
        // controls that the opening disabled for want of an output must not come back.
        const bool brakeOn = IsBrakeAvailable() && IsSet(ValueOr(setup, "isMotorBrake", 0.0));
        EnableChildren({IDC_MOTOR_BRAKE_OUTPUT, IDC_MOTOR_BRAKE_TEXT, IDC_MOTOR_BRAKE_RELEASE_LABEL,
                        IDC_MOTOR_BRAKE_RELEASE, IDC_MOTOR_BRAKE_RELEASE_UNIT, IDC_MOTOR_BRAKE_APPLY_LABEL,
                        IDC_MOTOR_BRAKE_APPLY, IDC_MOTOR_BRAKE_APPLY_UNIT},
                       brakeOn);
        SetChildText(IDC_MOTOR_BRAKE_TEXT, BrakeTextLine(setup));
    }

    if (!HasNegativeTransmissionOption(setup)) {
        // A reversing transmission (the load moves against the motor) swaps the limit switches.
        const double motor = ValueOr(setup, "Motor_transmission", 1.0);
        const double load = ValueOr(setup, "Load_transmission", 1.0);
        ShowChild(IDC_MOTOR_SWITCH_WARNING, IsReversingTransmission(motor, load));
    }

    EnableChild(IDC_MOTOR_TEST_PHASE_CONNECTIONS, IsTestAvailable(CommissioningTest::PhaseConnection));
    EnableChild(IDC_MOTOR_IDENTIFY_RL, IsTestAvailable(CommissioningTest::ResistanceInductance));
    EnableChild(IDC_MOTOR_HALL_SETUP, IsTestAvailable(CommissioningTest::OffsetDetection));
}

void CMotorSetupDialog::OnIdentifyResistanceInductance() {
    if (OpenTest(CommissioningTest::ResistanceInductance, kNothingMore) != IDOK) return;
    OnRefreshParameterValue("R");
    OnRefreshParameterValue("L");
    RefreshParameterControls("R");
    RefreshParameterControls("L");
}

void CMotorSetupDialog::OnCommand(int id) {
    switch (id) {
        case IDC_MOTOR_TEST_PHASE_CONNECTIONS: OpenTest(CommissioningTest::PhaseConnection, kRefreshAfter); return;
        case IDC_MOTOR_IDENTIFY_RL: OnIdentifyResistanceInductance(); return;
        case IDC_MOTOR_HALL_SETUP: OpenTest(CommissioningTest::OffsetDetection, kRefreshAfter); return;
        case IDC_MOTOR_SWITCH_WARNING: MessageBox(kSwitchWarningMessage); return;
        case IDC_MOTOR_BRAKE: ApplyRules(); return;
        case IDC_MOTOR_HOST_OK_COMMAND: OnOK(); return;
        default: CMySetupDlg::OnCommand(id);
    }
}

void CMotorSetupDialog::ListUnits(const char* name, int unitId) {
    // The host lists a field's units once, when it binds it; after a switch between linear and
    // rotary the list must offer the other family's units, or the unit on show is not among them.
    const CMC_Parameter* parameter = FindOptional(*GetSetup(), name);
    if (!parameter || !GetControl(unitId)) return;
    ClearItems(unitId);
    const auto units = CMC_Units::Instance().DisplayUnits(parameter->GetUnitType());
    for (std::size_t i = 0; i < units.size(); ++i) AddItem(unitId, units[i].GetName(), static_cast<long>(i));
}

void CMotorSetupDialog::OnChangedParameterValue(const char* name) {
    CMySetupDlg::OnChangedParameterValue(name);
    if (Is(name, "isMotorMassUnknown") || Is(name, "isMotorTemperatureSensor") || Is(name, "MotorBrake_output") ||
        Is(name, "Motor_transmission") || Is(name, "Load_transmission")) {
        ApplyRules();
    } else if (Is(name, "TransmissionType")) {
        UpdateUnitTypes(*GetSetup());
        ListUnits("Load_transmission", IDC_MOTOR_LOAD_TRANSMISSION_UNIT);
        RefreshParameterControls("Load_transmission");
    }
}

void CMotorSetupDialog::OnRefreshParameterValue(const char* name) {
    CMySetupDlg::OnRefreshParameterValue(name);
    for (const char* ratio : {"Motor_transmission", "Load_transmission"}) {
        if (!Is(name, ratio)) continue;
        CMC_Parameter* parameter = FindOptional(*GetSetup(), ratio);
        if (parameter && parameter->GetValueInBaseUnit() == 0.0) parameter->SetValueInBaseUnit(kSmallestTransmission);
        RefreshParameterControls(ratio);
        ApplyRules();
    }
}

void CMotorSetupDialog::OnOK() {
    CMC_Setup& setup = *GetSetup();
    // The motor over-temperature protection cannot stay on without a sensor to watch.
    if (Truncate(ValueOr(setup, "isMotorTemperatureSensor", 1.0)) == 0) {
        if (CMC_Parameter* overTemp = FindOptional(setup, "isMotorOverTemp")) overTemp->SetValueInBaseUnit(0.0);
    }
    CMySetupDlg::OnOK();
}

}  // namespace pelmora
