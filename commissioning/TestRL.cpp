#include "TestRL.h"

#include "BaseQuantities.h"
#include "DriveReadings.h"
#include "ResistanceInductanceForm.h"
#include "Steps.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace pelmora {

namespace {

constexpr const char* kPositioningProgram = "Initial_Positioning_Test";
constexpr const char* kResistanceProgram = "Ident_R_or_Rs";
constexpr const char* kInductanceProgram = "Ident_L_or_Tau_el";

constexpr std::array kStatusTexts = {
    "Launching code for preliminary test (1)", "Waiting preliminary test to be finished (1)",
    "Launching code for R test (1)",           "Waiting R test to be finished (1)",
    "Launching code for preliminary test (2)", "Waiting preliminary test to be finished (2)",
    "Launching code for R test (2)",           "Waiting R test to be finished (2)",
    "Launching code for L test",               "Waiting L test to be finished",
};

// Steps of the state machine (the step number after the status text of the step before).
enum Step : int {
    kWaitPositioning1 = 2,
    kLaunchR1 = 3,
    kWaitR1 = 4,
    kLaunchPositioning2 = 5,
    kWaitPositioning2 = 6,
    kLaunchR2 = 7,
    kWaitR2 = 8,
    kLaunchL = 9,
    kWaitL = 10,
};

constexpr const char* kTooSmall = "The computed inductivity is less than the possible minimum value of 10 \u00B5H.";
constexpr const char* kTooLarge = "The computed inductivity is greater than the possible maximum value of 1 H.";
constexpr const char* kNoLogger = "The logger could not be instantiated";
constexpr const char* kSettingFailed = "Error while setting the test parameters.";
constexpr const char* kSameCurrent =
    "Both resistance measurements found the same current, so the resistance cannot be computed. Check the motor "
    "phase wiring and the test current, then start the test again.";
constexpr const char* kNotPositive =
    "The computed resistance is not positive. Check the motor phase wiring and the test current, then start the "
    "test again.";

// Points the logger records per run, and its record types: per slow-loop, per current-loop period.
constexpr int kLogPoints = 400;
constexpr int kLogPerSlowLoop = 1;
constexpr int kLogPerCurrentLoop = 2;
constexpr int kLogEveryPeriod = 1;
// The angle step is a 16-bit angle per current-loop period.
constexpr double kFullTurn_counts = 65535.0;
// A delta winding is seen between two terminals as three star-equivalent phases' worth.
constexpr double kDeltaFactor = 3.0;
constexpr int kDeltaConnection = 1;

std::string FormatF(double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%f", value);
    return text.data();
}

}  // namespace

std::optional<double> ResistanceFromTwoRuns_ohm(double voltage1_counts, double voltage2_counts, double current1_counts,
                                                double current2_counts, double voltageScale_per_V,
                                                double currentScale_per_A) {
    if (current1_counts == current2_counts) return std::nullopt;
    return (voltage1_counts - voltage2_counts) / (current1_counts - current2_counts) / voltageScale_per_V *
           currentScale_per_A;
}

std::optional<double> InductanceFromRun_H(double idMean_counts, double powerMean_counts2, double voltage_counts,
                                          double angleStep, double currentLoopPeriod_s, double voltageScale_per_V,
                                          double currentScale_per_A) {
    const double omega_rad_s = angleStep * 2.0 * std::numbers::pi / (currentLoopPeriod_s * kFullTurn_counts);
    if (!(omega_rad_s != 0.0) || !(powerMean_counts2 != 0.0)) return std::nullopt;
    // The lagging part of the current phasor times U over ω|I|² is L exactly.
    const double inductance_H =
        idMean_counts * voltage_counts / (omega_rad_s * powerMean_counts2) * currentScale_per_A / voltageScale_per_V;
    if (!std::isfinite(inductance_H)) return std::nullopt;
    return inductance_H;
}

std::optional<double> RunningMean(std::span<const double> samples) {
    if (samples.empty()) return std::nullopt;
    double mean = 0.0;
    double n = 0.0;
    for (double x : samples) {
        n += 1.0;
        mean = ((n - 1.0) * mean + x) / n;
    }
    return mean;
}

CTestRL::CTestRL(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kResistanceInductanceForm, kResistanceInductanceTemplate, flag, kHelpTopic) {
    m_nStepCount = static_cast<std::int16_t>(kStatusTexts.size());
    AddParameterControls("R", IDC_RL_R_VALUE, IDC_RL_R_UNIT);
    AddParameterControls("L", IDC_RL_L_VALUE, IDC_RL_L_UNIT);
    AddParameterControls("TestCurrent", IDC_RL_CURRENT_VALUE, IDC_RL_CURRENT_UNIT);
    if (setup) m_logger = std::make_unique<CMC_SingleAxisLogger>(setup, nullptr);
}

CTestRL::~CTestRL() = default;

bool CTestRL::OnInitDialog() {
    const bool result = CMyTestDlg::OnInitDialog();
    ShowChild(IDC_TEST_DETAILS, false);
    for (int id : {IDC_RL_R_VALUE, IDC_RL_L_VALUE}) SetChildText(id, "");
    CMC_Setup& setup = *GetSetup();
    if (const CMC_Parameter* vdc = setup.FindParameter("Vdc")) {
        m_savedVdc_V = vdc->GetValueInBaseUnit();
        m_hasVdc = true;
    }
    if (const CMC_Parameter* l = setup.FindParameter("L")) m_savedL_H = l->GetValueInBaseUnit();
    if (const CMC_Parameter* r = setup.FindParameter("R")) m_savedR_ohm = r->GetValueInBaseUnit();
    // Closing asks only about what this dialog found.
    m_computedL_H = m_savedL_H;
    m_computedR_ohm = m_savedR_ohm;
    LoadProgram(m_resistance, kResistanceProgram);
    LoadProgram(m_inductance, kInductanceProgram);
    LoadPositioningProgram();
    return result;
}

void CTestRL::BeginTest() {
    RefreshAllParameters(0);
    for (int id : {IDC_RL_R_VALUE, IDC_RL_L_VALUE}) SetChildText(id, "");
    CMyTestDlg::BeginTest();
    ShowStepText(kStatusTexts.data());
    if (!StartPositioning()) return;
    m_current_counts = static_cast<std::int32_t>(m_testCurrent);
    ShowStepText(kStatusTexts.data());
    StartPollTimer();
}

bool CTestRL::SetProgramVariable(CMC_CoffFormat& program, const char* name, double value, const char* failure) {
    std::string error;
    if (SetUserVariableValue(&program, name, value, error)) return true;
    Fail(failure ? std::string(failure) : error);
    return false;
}

bool CTestRL::StartResistanceRun(int current_counts, int logType, bool truncateHandOver) {
    if (!SetProgramVariable(m_resistance, "In1", current_counts)) return false;
    if (truncateHandOver) {
        if (!SetProgramVariable(m_resistance, "RefTest", std::trunc(m_positioningRef)) ||
            !SetProgramVariable(m_resistance, "RIncTest", std::trunc(m_positioningRefInc)))
            return false;
    } else if (!HandPositioningTo(m_resistance)) {
        return false;
    }
    if (!m_logger) {
        Fail(kNoLogger);
        return false;
    }
    m_logger->RemoveAllVariables();
    m_logger->ChangeSettings(kLogPoints, logType, kLogEveryPeriod);
    m_logger->AddVariable("IQ", 0);
    if (!ExecuteCode(kResistanceProgram, &m_resistance, m_logger.get())) {
        Fail(msc_pszErrInternal);
        return false;
    }
    return true;
}

std::optional<double> CTestRL::UploadedMeanCurrent() {
    if (!m_logger || !m_logger->BeginUploadData()) {
        Fail(msc_pszErrInternal);
        return std::nullopt;
    }
    std::vector<double> iq;
    std::array<double, 2> record{};
    while (m_logger->ReadPoint(record.data())) iq.push_back(record[1]);
    m_logger->EndUploadData();
    const std::optional<double> mean = RunningMean(iq);
    if (!mean) Fail(msc_pszErrInternal);
    return mean;
}

bool CTestRL::FinishSecondResistanceRun() {
    const DriveReading voltage = ReadInternalValue(GetSetup(), "var_i1");
    if (!voltage.value) {
        Fail(voltage.error);
        return false;
    }
    m_voltage2_counts = *voltage.value;
    const DriveReading bus = ReadInternalValue(GetSetup(), "var_u2");
    if (!bus.value) {
        Fail(bus.error);
        return false;
    }
    const std::optional<double> current = UploadedMeanCurrent();
    if (!current) return false;
    m_meanCurrent2_counts = *current;

    // The voltage counts are fractions of the bus the run actually had, not of the setup's.
    CMC_Setup& setup = *GetSetup();
    CMC_Parameter* vdc = setup.FindParameter("Vdc");
    const CMC_Parameter* vdcMax = setup.FindParameter("VdcMaxMeasurable");
    if (!vdc || !vdcMax) {
        Fail(msc_pszErrInternal);
        return false;
    }
    const double measuredVdc_V = vdcMax->GetValueInBaseUnit() * *bus.value / Compute_ADCMaxValue(&setup);
    if (!(measuredVdc_V > 0.0) || !vdc->SetValueInBaseUnit(measuredVdc_V)) {
        Fail(msc_pszErrInternal);
        return false;
    }
    const std::optional<double> r_ohm =
        ResistanceFromTwoRuns_ohm(m_voltage1_counts, m_voltage2_counts, m_meanCurrent1_counts, m_meanCurrent2_counts,
                                  GetVoltageScale(setup), GetCurrentScale(setup));
    if (!r_ohm) {
        Fail(kSameCurrent);
        return false;
    }
    if (!std::isfinite(*r_ohm)) {
        Fail(msc_pszErrInternal);
        return false;
    }
    if (*r_ohm <= 0.0) {
        Fail(kNotPositive);
        return false;
    }
    m_computedR_ohm = *r_ohm;
    return true;
}

bool CTestRL::StartInductanceRun() {
    if (!SetProgramVariable(m_inductance, "In1", m_current_counts)) return false;
    if (!m_logger) {
        Fail(kNoLogger);
        return false;
    }
    m_logger->RemoveAllVariables();
    m_logger->ChangeSettings(kLogPoints, kLogPerCurrentLoop, kLogEveryPeriod);
    m_logger->AddVariable("IQ", 0);
    m_logger->AddVariable("ID", 0);
    if (!ExecuteCode(kInductanceProgram, &m_inductance, m_logger.get())) {
        Fail(msc_pszErrInternal);
        return false;
    }
    return true;
}

void CTestRL::FinishInductanceRun() {
    const DriveReading angleStep = ReadInternalValue(GetSetup(), "TINCTST");
    if (!angleStep.value) return Fail(angleStep.error);
    const DriveReading voltage = ReadInternalValue(GetSetup(), "var_i1");
    if (!voltage.value) return Fail(voltage.error);
    if (!m_logger || !m_logger->BeginUploadData()) return Fail(msc_pszErrInternal);
    std::vector<double> id;
    std::vector<double> power;
    std::array<double, 3> record{};
    while (m_logger->ReadPoint(record.data())) {
        id.push_back(record[2]);
        power.push_back(record[1] * record[1] + record[2] * record[2]);
    }
    m_logger->EndUploadData();
    const std::optional<double> idMean = RunningMean(id);
    const std::optional<double> powerMean = RunningMean(power);
    if (!idMean || !powerMean) return Fail(msc_pszErrInternal);

    CMC_Setup& setup = *GetSetup();
    const std::optional<double> l_H =
        InductanceFromRun_H(*idMean, *powerMean, *voltage.value, *angleStep.value, GetCurrentLoopPeriod(setup),
                            GetVoltageScale(setup), GetCurrentScale(setup));
    if (!l_H) return Fail(msc_pszErrInternal);
    m_computedL_H = *l_H;
    if (m_computedL_H < kMinInductance_H) return Fail(kTooSmall);
    if (m_computedL_H > kMaxInductance_H) return Fail(kTooLarge);
    const CMC_Parameter* connection = setup.FindParameter("MotorPhaseConnectionType");
    if (connection && Truncate(connection->GetValueInBaseUnit()) == kDeltaConnection) {
        m_computedR_ohm *= kDeltaFactor;
        m_computedL_H *= kDeltaFactor;
    }
    CMC_Parameter* l = setup.FindParameter("L");
    CMC_Parameter* r = setup.FindParameter("R");
    if (!l || !r) return Fail(msc_pszErrInternal);
    l->SetValueInBaseUnit(m_computedL_H);
    r->SetValueInBaseUnit(m_computedR_ohm);
    RefreshAllParameters(0);
    TestSucceeded(1);
}

void CTestRL::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    switch (m_nStep) {
    case kWaitPositioning1:
    case kWaitPositioning2:
        if (!Finished(PollPositioning())) return;
        ShowStepText(kStatusTexts.data());
        if (m_nStep == kLaunchR1) {
            if (!StartResistanceRun(m_current_counts, kLogPerSlowLoop, false)) return;
        } else if (!StartResistanceRun(m_current_counts / 2, kLogPerCurrentLoop, true)) {
            return;
        }
        ShowStepText(kStatusTexts.data());
        StartPollTimer();
        return;
    case kWaitR1: {
        if (!Finished(PollProgram(m_resistance, kMaskShortCircuitEnable))) return;
        const DriveReading voltage = ReadInternalValue(GetSetup(), "var_i1");
        if (!voltage.value) return Fail(voltage.error);
        m_voltage1_counts = *voltage.value;
        m_voltage2_counts = *voltage.value;
        const std::optional<double> current = UploadedMeanCurrent();
        if (!current) return;
        m_meanCurrent1_counts = *current;
        ShowStepText(kStatusTexts.data());
        // Half the current (toward zero) for the second point of the line.
        if (!SetProgramVariable(m_positioning, "In1", m_current_counts / 2, kSettingFailed)) return;
        if (!ExecuteCode(kPositioningProgram, &m_positioning, nullptr)) return Fail(msc_pszErrInternal);
        ShowStepText(kStatusTexts.data());
        StartPollTimer();
        return;
    }
    case kWaitR2:
        if (!Finished(PollProgram(m_resistance, kMaskShortCircuitEnable))) return;
        if (!FinishSecondResistanceRun()) return;
        ShowStepText(kStatusTexts.data());
        if (!StartInductanceRun()) return;
        ShowStepText(kStatusTexts.data());
        StartPollTimer();
        return;
    case kWaitL:
        if (!Finished(PollProgram(m_inductance, kMaskShortCircuitEnable))) return;
        return FinishInductanceRun();
    default: return Fail(msc_pszErrInternal);
    }
}

void CTestRL::RestoreVdc() {
    if (!m_hasVdc) return;
    if (CMC_Parameter* vdc = GetSetup()->FindParameter("Vdc")) vdc->SetValueInBaseUnit(m_savedVdc_V);
}

void CTestRL::OnCancel() {
    // The measured bus voltage served this test's arithmetic only.
    RestoreVdc();
    std::vector<ChangedValue> changes;
    const std::string oldR = FormatF(m_savedR_ohm);
    const std::string newR = FormatF(m_computedR_ohm);
    if (oldR != newR) changes.push_back({"Phase resistance", oldR, newR});
    const std::string oldL = FormatF(m_savedL_H);
    const std::string newL = FormatF(m_computedL_H);
    if (oldL != newL) changes.push_back({"Phase inductance", oldL, newL});
    switch (AskToKeepChangedValues(changes)) {
    case IDYES: return EndDialog(IDOK);
    case IDCANCEL: return;
    case IDNO:
        if (CMC_Parameter* r = GetSetup()->FindParameter("R")) r->SetValueInBaseUnit(m_savedR_ohm);
        if (CMC_Parameter* l = GetSetup()->FindParameter("L")) l->SetValueInBaseUnit(m_savedL_H);
        return EndDialog(IDCANCEL);
    default: return CMyTestDlg::OnCancel();
    }
}

}  // namespace pelmora
