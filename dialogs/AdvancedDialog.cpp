#include "AdvancedDialog.h"

#include "AdvancedForm.h"
#include "BaseQuantities.h"
#include "Decode.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "Options.h"
#include "Steps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace pelmora {

namespace {

constexpr int kHelpTopic = 262419;
constexpr double kMillisecondsPerSecond = 1000.0;

int Whole(const CMC_Setup& setup, const char* name) { return Truncate(OptionalValue(setup, name).value_or(0.0)); }

bool Named(const char* name, const char* expected) { return name && EqualsNoCase(name, expected); }

// The message shown when a loop period is below what the drive can run.
std::string MinimumPeriodMessage(const char* loop, double minimum_s) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "The minimum value for %s loop sampling period is %.3f ms!\nPlease adjust the PWM frequency and/or "
                  "the %s loop sampling frequency divider until this condition is fulfilled!",
                  loop, minimum_s * kMillisecondsPerSecond, loop);
    return text;
}

// When the i²t time could not be kept, the current follows so that the protection still trips at
// the same i²t product.
void KeepI2tProduct(CMC_Setup& setup, const char* timeName, const char* currentName, double expected_s) {
    CMC_Parameter* time = FindOptional(setup, timeName);
    CMC_Parameter* current = FindOptional(setup, currentName);
    if (!time || !current) return;
    const double current_A = current->GetValueInBaseUnit();
    const double kept_A = I2tCurrentForTime(current_A, expected_s, time->GetValueInBaseUnit());
    if (kept_A != current_A) WriteBase(*current, kept_A);
}

}  // namespace

CAdvancedDialog::CAdvancedDialog(CMC_Setup* setup) : CMySetupDlg(setup, kAdvancedForm, nullptr, kHelpTopic) {
    const CMC_Setup& s = *setup;
    AddSwitchParameterControls("PositionControlType", IDC_ADV_POSITION_CURRENT, IDC_ADV_POSITION_SPEED_CURRENT);
    if (HasSpeedEstimator(s)) AddCheckParameterControls("isSpeedEstimator", IDC_ADV_SPEED_ESTIMATOR);
    AddParameterControls("PWM_freq", IDC_ADV_PWM_FREQ, IDC_ADV_PWM_FREQ_UNIT);
    AddParameterControls("CLPER", IDC_ADV_CLPER);
    AddParameterControls("SLPER", IDC_ADV_SLPER);
    AddParameterControls("PWMperiod", IDC_ADV_PWM_PERIOD, IDC_ADV_PWM_PERIOD_UNIT);
    AddParameterControls("Ts_C", IDC_ADV_TS_C, IDC_ADV_TS_C_UNIT);
    AddParameterControls("Ts_S", IDC_ADV_TS_S, IDC_ADV_TS_S_UNIT);
    if (HasSpeedForward(s)) {
        AddSwitchParameterControls("SpeedForward", IDC_ADV_FEEDFORWARD_SPEED, IDC_ADV_FEEDFORWARD_CURRENT);
    }
    if (HasFreezeControl(s)) {
        AddCheckParameterControls("isFreezeControl", IDC_ADV_FREEZE);
        AddParameterControls("FreezeControl_errband", IDC_ADV_FREEZE_ERRBAND, IDC_ADV_FREEZE_ERRBAND_UNIT);
        AddParameterControls("FreezeControl_time", IDC_ADV_FREEZE_TIME, IDC_ADV_FREEZE_TIME_UNIT);
    }
}

bool CAdvancedDialog::OnInitDialog() {
    const bool result = CMySetupDlg::OnInitDialog();
    ApplyOpeningRules();
    const CMC_Setup& setup = *GetSetup();
    m_referenceSlowPeriod_s = OptionalValue(setup, "Ts_S").value_or(0.0);
    m_slowPeriodToKeep_s = m_referenceSlowPeriod_s;
    m_fastPeriodToKeep_s = OptionalValue(setup, "Ts_C").value_or(0.0);
    ShowChild(IDC_ADV_FAST_OUTSIDE, false);
    ShowChild(IDC_ADV_SLOW_OUTSIDE, false);
    // The warnings themselves are always drawn in red; only whether they show changes.
    SetHighlighted(IDC_ADV_FAST_OUTSIDE, true);
    SetHighlighted(IDC_ADV_SLOW_OUTSIDE, true);
    ApplyRules();
    return result;
}

void CAdvancedDialog::ApplyOpeningRules() {
    const CMC_Setup& setup = *GetSetup();
    const bool positionMode = Whole(setup, "ControlMode") == kPositionMode;
    ShowChildren({IDC_ADV_POSITION_CURRENT, IDC_ADV_POSITION_SPEED_CURRENT}, positionMode);

    const bool freeze = HasFreezeControl(setup) && positionMode;
    EnableChildren(
        {IDC_ADV_FREEZE_GROUP, IDC_ADV_FREEZE, IDC_ADV_FREEZE_ERRBAND_LABEL, IDC_ADV_FREEZE_ERRBAND,
         IDC_ADV_FREEZE_ERRBAND_UNIT, IDC_ADV_FREEZE_TIME_LABEL, IDC_ADV_FREEZE_TIME, IDC_ADV_FREEZE_TIME_UNIT},
        freeze);

    const bool estimator = HasSpeedEstimator(setup);
    EnableChildren({IDC_ADV_SPEED_COMPUTATION_GROUP, IDC_ADV_SPEED_ESTIMATOR}, estimator);
}

void CAdvancedDialog::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (!toControls) return;
    const CMC_Setup& setup = *GetSetup();
    const int mode = Whole(setup, "ControlMode");
    const bool overSpeed = Whole(setup, "PositionControlType") == kPositionOverSpeed;

    if (mode == kPositionMode) {
        SetPicture(IDC_ADV_SCHEME_PICTURE,
                   overSpeed ? kPictureSchemePositionSpeedCurrent : kPictureSchemePositionCurrent);
    } else if (mode == kSpeedMode) {
        SetPicture(IDC_ADV_SCHEME_PICTURE, kPictureSchemeSpeedCurrent);
    } else {
        SetPicture(IDC_ADV_SCHEME_PICTURE, kPictureSchemeCurrent);
    }

    const bool feedforward = HasSpeedForward(setup) && mode != kTorqueMode;
    EnableChildren({IDC_ADV_FEEDFORWARD_GROUP, IDC_ADV_FEEDFORWARD_CURRENT}, feedforward);
    EnableChild(IDC_ADV_FEEDFORWARD_SPEED, feedforward && mode == kPositionMode && overSpeed);

    const bool freezeFields = HasFreezeControl(setup) && Whole(setup, "isFreezeControl") == 1 && mode == kPositionMode;
    EnableChildren({IDC_ADV_FREEZE_ERRBAND_LABEL, IDC_ADV_FREEZE_ERRBAND, IDC_ADV_FREEZE_ERRBAND_UNIT,
                    IDC_ADV_FREEZE_TIME_LABEL, IDC_ADV_FREEZE_TIME, IDC_ADV_FREEZE_TIME_UNIT},
                   freezeFields);

    SetHighlighted(IDC_ADV_CLPER_LABEL, m_fastWarning);
    SetHighlighted(IDC_ADV_TS_C_LABEL, m_fastWarning);
    SetHighlighted(IDC_ADV_SLPER_LABEL, m_slowWarning);
    SetHighlighted(IDC_ADV_TS_S_LABEL, m_slowWarning);
}

bool CAdvancedDialog::OnUserClick(int id) {
    const bool handled = CMySetupDlg::OnUserClick(id);
    if (id == IDC_ADV_POSITION_CURRENT || id == IDC_ADV_POSITION_SPEED_CURRENT) ApplyRules();
    return handled;
}

void CAdvancedDialog::OnChangedParameterValue(const char* name) {
    // Only the PWM frequency has work to do here; everything else happens on the refresh.
    if (Named(name, "PWM_freq")) OnPwmFrequencyChanged();
}

void CAdvancedDialog::OnPwmFrequencyChanged() {
    CMC_Setup& setup = *GetSetup();
    CMC_Parameter* dspFreq = FindOptional(setup, "DSP_freq");
    CMC_Parameter* pwmper = FindOptional(setup, "PWMPER");
    CMC_Parameter* clper = FindOptional(setup, "CLPER");
    CMC_Parameter* slper = FindOptional(setup, "SLPER");
    if (!FindOptional(setup, "PWM_freq") || !dspFreq || !pwmper || !clper || !slper) return;

    Encode_PWMPER(setup);
    Encode_SATPWM(setup);
    Decode_PWMperiod(setup);

    // The dividers that bring the loop periods nearest to the ones the user chose.
    const double dsp_Hz = dspFreq->GetValueInBaseUnit();
    const double pwmCounts = pwmper->GetValueInBaseUnit();
    const auto divider = [&](double period_s) { return NearestLoopDivider(period_s, dsp_Hz, pwmCounts); };
    WriteBase(*clper, divider(m_fastPeriodToKeep_s));
    WriteBase(*slper, divider(m_slowPeriodToKeep_s));

    Decode_Ts_S(setup);
    Decode_Ts_C(setup);
    for (const char* shown : {"CLPER", "SLPER", "Ts_S", "Ts_C", "PWMperiod"}) RefreshParameterControls(shown);
    ApplyRules();
}

void CAdvancedDialog::OnRefreshParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    CMC_Parameter* clper = FindOptional(setup, "CLPER");
    CMC_Parameter* slper = FindOptional(setup, "SLPER");
    bool slowRaised = false;
    if (clper && slper && clper->GetValueInBaseUnit() > slper->GetValueInBaseUnit()) {
        slper->SetValueInBaseUnit(clper->GetValueInBaseUnit());
        slowRaised = true;
    }

    Decode_Ts_S(setup);
    Decode_Ts_C(setup);
    Encode_PWMPER(setup);
    Encode_SATPWM(setup);
    Decode_PWMperiod(setup);
    if (HasSpeedForward(setup)) ForceSpeedForward(setup);

    const bool fast = Named(name, "CLPER");
    // A slow divider raised to the fast one changes the slow period as much as typing it would.
    const bool slow = Named(name, "SLPER") || slowRaised;
    const bool pwm = Named(name, "PWM_freq");
    if (slow || pwm) {
        const double slowPeriod_s = OptionalValue(setup, "Ts_S").value_or(0.0);
        if (m_referenceSlowPeriod_s > 0.0 && m_referenceSlowPeriod_s != slowPeriod_s) {
            KeepPhysicalValuesAtNewSlowPeriod();
        }
        UpdateRegistersFromParameters(setup);
        UpdateParametersFromRegisters(setup);
    }

    // A new PWM frequency moves both loop periods (the dividers are whole numbers), so both
    // warnings are brought up to date then as well.
    if (fast || pwm) UpdateFastLoopWarning();
    if (slow || pwm) UpdateSlowLoopWarning();

    if (fast) m_fastPeriodToKeep_s = OptionalValue(setup, "Ts_C").value_or(0.0);
    if (slow) m_slowPeriodToKeep_s = OptionalValue(setup, "Ts_S").value_or(0.0);

    RefreshAllParameters(0);
    ApplyRules();
}

// This host holds every parameter in its physical unit and derives the drive's counts from the
// loop periods as they are now. When the slow period changes, the physical values therefore stay
// by themselves and their counts (in slow-loop samples) follow: a doubled period halves every
// time's count, doubles every speed's and current slope's and quadruples every acceleration's.
// Scaling the counts once more here would change the physical values by the same factors. What
// is left is what the new period cannot hold: the register and recovery passes carry every value
// over to the new period's registers and clamp what falls outside them; when that moves an i²t
// time, the i²t current follows so that the protection keeps its i²t product.
void CAdvancedDialog::KeepPhysicalValuesAtNewSlowPeriod() {
    CMC_Setup& setup = *GetSetup();
    m_referenceSlowPeriod_s = OptionalValue(setup, "Ts_S").value_or(0.0);
    const double driveTime_s = OptionalValue(setup, "t_I2t_D").value_or(0.0);
    const double motorTime_s = OptionalValue(setup, "t_I2t_M").value_or(0.0);

    UpdateRegistersFromParameters(setup);
    UpdateParametersFromRegisters(setup);

    KeepI2tProduct(setup, "t_I2t_D", "I_I2t_D", driveTime_s);
    KeepI2tProduct(setup, "t_I2t_M", "I_I2t_M", motorTime_s);
}

void CAdvancedDialog::UpdateFastLoopWarning() {
    const CMC_Setup& setup = *GetSetup();
    const double minimum_s = GetTsCMin(setup);
    if (!(minimum_s > 0.0)) return;
    m_fastWarning = OptionalValue(setup, "Ts_C").value_or(0.0) < minimum_s;
    ShowChild(IDC_ADV_FAST_OUTSIDE, m_fastWarning);
    SetHighlighted(IDC_ADV_CLPER_LABEL, m_fastWarning);
    SetHighlighted(IDC_ADV_TS_C_LABEL, m_fastWarning);
}

void CAdvancedDialog::UpdateSlowLoopWarning() {
    const CMC_Setup& setup = *GetSetup();
    const double minimum_s = GetTsSMin(setup);
    if (!(minimum_s > 0.0)) return;
    m_slowWarning = OptionalValue(setup, "Ts_S").value_or(0.0) < minimum_s;
    ShowChild(IDC_ADV_SLOW_OUTSIDE, m_slowWarning);
    SetHighlighted(IDC_ADV_SLPER_LABEL, m_slowWarning);
    SetHighlighted(IDC_ADV_TS_S_LABEL, m_slowWarning);
}

void CAdvancedDialog::OnOK() {
    const CMC_Setup& setup = *GetSetup();
    const double fastMinimum_s = GetTsCMin(setup);
    const double slowMinimum_s = GetTsSMin(setup);
    bool refused = false;
    if (fastMinimum_s > 0.0 && fastMinimum_s > OptionalValue(setup, "Ts_C").value_or(0.0)) {
        MessageBox(MinimumPeriodMessage("Fast", fastMinimum_s));
        refused = true;
    }
    if (slowMinimum_s > 0.0 && slowMinimum_s > OptionalValue(setup, "Ts_S").value_or(0.0)) {
        MessageBox(MinimumPeriodMessage("Slow", slowMinimum_s));
        refused = true;
    }
    if (!refused) CMySetupDlg::OnOK();
}

}  // namespace pelmora
