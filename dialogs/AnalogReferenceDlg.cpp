#include "AnalogReferenceDlg.h"

#include "AnalogReferenceForm.h"
#include "BaseQuantities.h"
#include "FeatureProbes.h"
#include "Limits.h"
#include "Steps.h"

#include <string>

namespace pelmora {

namespace {

constexpr int kHelpTopic = 262401;

constexpr const char* kLimitSpeedText = "Limit maximum speed at";
constexpr const char* kLimitAccelerationText = "Limit maximum acceleration at";

// What the maximum/minimum pair stands for in one control mode.
struct Quantity {
    const char* maxName;
    const char* minName;
    const char* maxLabel;
    const char* minLabel;
    const char* picture;
};

constexpr Quantity kPosition{"POS_max", "POS_min", "Maximum Position", "Minimum Position", "EXTREF_POSITION"};
constexpr Quantity kSpeed{"SPD_max", "SPD_min", "Maximum Speed", "Minimum Speed", "EXTREF_SPEED"};
constexpr Quantity kCurrent{"CRT_max", "CRT_min", "Maximum Current", "Minimum Current", "EXTREF_CURRENT"};

const Quantity& QuantityOf(int mode) {
    if (mode == kPositionMode) return kPosition;
    if (mode == kSpeedMode) return kSpeed;
    return kCurrent;
}

// A field shown in another field's unit follows it when the user picks a unit.
struct UnitPartner {
    const char* leader;
    const char* follower;
};

constexpr UnitPartner kUnitPartners[] = {
    {"POS_max", "POS_min"},
    {"SPD_max", "SPD_min"},
    {"CRT_max", "CRT_min"},
    {"DeadBand_Point", "DeadBand_Range"},
};

// The minimum may not pass the maximum nor the maximum the minimum: an edit of either end moves
// the bounds of both.
struct RangePair {
    const char* minName;
    const char* maxName;
    Step minRule;
    Step maxRule;
};

constexpr RangePair kRangePairs[] = {
    {"POS_min", "POS_max", UpdateLimits_POS_min, UpdateLimits_POS_max},
    {"SPD_min", "SPD_max", UpdateLimits_SPD_min, UpdateLimits_SPD_max},
    {"CRT_min", "CRT_max", UpdateLimits_CRT_min, UpdateLimits_CRT_max},
};

bool SameUnit(CMC_Setup& setup, const char* leader, const char* follower) {
    if (!FindOptional(setup, leader) || !FindOptional(setup, follower)) return false;
    return setup.ChangeParameterUnit(follower, setup.GetParameterUnit(leader));
}

}  // namespace

CAnalogReferenceDlg::CAnalogReferenceDlg(CMC_Setup* setup)
    : CMySetupDlg(setup, kAnalogReferenceForm, nullptr, kHelpTopic),
      m_mode(Truncate(OptionalValue(*setup, "ControlMode").value_or(0.0))),
      m_hasAnalogueInput(HasAnalogueInput(*setup)) {
    const Quantity& q = QuantityOf(m_mode);
    if (m_hasAnalogueInput) {
        const bool maxBound = AddParameterControls(q.maxName, IDC_EXTREF_MAX_VALUE, IDC_EXTREF_MAX_UNIT);
        const bool minBound = AddParameterControls(q.minName, IDC_EXTREF_MIN_VALUE);
        if (maxBound && minBound) SameUnit(*setup, q.maxName, q.minName);
    }
    if (m_mode == kPositionMode || m_mode == kSpeedMode) {
        AddCheckParameterControls("isLimitMaximum", IDC_EXTREF_LIMIT_CHECK);
        if (m_mode == kPositionMode) {
            AddParameterControls("ErefMaxSpeed", IDC_EXTREF_LIMIT1_VALUE, IDC_EXTREF_LIMIT1_UNIT);
            AddParameterControls("ErefMaxAcceleration", IDC_EXTREF_LIMIT2_VALUE, IDC_EXTREF_LIMIT2_UNIT);
        } else {
            AddParameterControls("ErefMaxAcceleration", IDC_EXTREF_LIMIT1_VALUE, IDC_EXTREF_LIMIT1_UNIT);
        }
    }
    if (m_hasAnalogueInput) {
        const bool pointBound =
            AddParameterControls("DeadBand_Point", IDC_EXTREF_DEADBAND_POINT_VALUE, IDC_EXTREF_DEADBAND_POINT_UNIT);
        const bool rangeBound = AddParameterControls("DeadBand_Range", IDC_EXTREF_DEADBAND_RANGE_VALUE);
        if (pointBound && rangeBound) SameUnit(*setup, "DeadBand_Point", "DeadBand_Range");
    }
    AddSwitchParameterControls("isAnalogueReference", IDC_EXTREF_DIGITAL, IDC_EXTREF_ANALOGUE);
    AddSwitchParameterControls("DigitalReferenceType", IDC_EXTREF_PULSE_DIRECTION, IDC_EXTREF_INCREMENTAL_ENCODER);
    AddParameterControls("GEARMASTER", IDC_EXTREF_MASTER_VALUE);
    AddParameterControls("GEARSLAVE", IDC_EXTREF_SLAVE_VALUE);
    if (m_hasAnalogueInput) {
        AddCheckParameterControls("UseFilter", IDC_EXTREF_USE_FILTER);
        AddParameterControls("filter", IDC_EXTREF_FILTER_VALUE, IDC_EXTREF_FILTER_UNIT);
    }
}

bool CAnalogReferenceDlg::OnInitDialog() {
    CMySetupDlg::OnInitDialog();

    const AnalogueInputSpan span =
        GetAnalogueInputSpan(OptionalValue(*GetSetup(), "AnalogueInputsRange").value_or(0.0));
    SetChildText(IDC_EXTREF_RANGE_LOW, FormatValue(span.low_V));
    SetChildText(IDC_EXTREF_RANGE_HIGH, FormatValue(span.high_V));
    EnableChildren({IDC_EXTREF_RANGE_LOW, IDC_EXTREF_RANGE_HIGH}, false);

    const Quantity& q = QuantityOf(m_mode);
    SetChildText(IDC_EXTREF_MAX_LABEL, q.maxLabel);
    SetChildText(IDC_EXTREF_MIN_LABEL, q.minLabel);
    SetPicture(IDC_EXTREF_PICTURE, q.picture);
    if (m_mode == kPositionMode || m_mode == kSpeedMode) {
        SetLimitCheckText();
    } else {
        ShowChildren({IDC_EXTREF_LIMIT_CHECK, IDC_EXTREF_LIMIT1_VALUE, IDC_EXTREF_LIMIT1_UNIT}, false);
    }

    EnableChild(IDC_EXTREF_ANALOGUE, m_hasAnalogueInput);
    ApplyRules();
    return true;
}

bool CAnalogReferenceDlg::IsAnalogueReference() const {
    return IsSet(OptionalValue(*GetSetup(), "isAnalogueReference").value_or(0.0));
}

bool CAnalogReferenceDlg::IsLimitMaximum() const {
    return IsSet(OptionalValue(*GetSetup(), "isLimitMaximum").value_or(0.0));
}

void CAnalogReferenceDlg::SetLimitCheckText() {
    // With an analogue position reference the drive limits the speed; otherwise the acceleration.
    const bool speed = m_mode == kPositionMode && IsAnalogueReference();
    SetChildText(IDC_EXTREF_LIMIT_CHECK, speed ? kLimitSpeedText : kLimitAccelerationText);
}

void CAnalogReferenceDlg::ShowFilterControls() {
    const bool show = m_hasAnalogueInput && IsNonZero(OptionalValue(*GetSetup(), "UseFilter").value_or(0.0));
    ShowChildren({IDC_EXTREF_FILTER_LABEL, IDC_EXTREF_FILTER_VALUE, IDC_EXTREF_FILTER_UNIT}, show);
}

void CAnalogReferenceDlg::ApplyLimitFieldRule() {
    const bool limited = IsLimitMaximum() && m_mode < kTorqueMode;
    const bool analogue = IsAnalogueReference();
    // In speed mode the first field holds the acceleration limit and the second holds nothing:
    // the bound field shows whenever the limit is on, and the unbound one never does.
    const bool showFirst = limited && (analogue || m_mode == kSpeedMode);
    const bool showSecond = limited && !analogue && m_mode == kPositionMode;
    ShowChildren({IDC_EXTREF_LIMIT2_VALUE, IDC_EXTREF_LIMIT2_UNIT}, showSecond);
    ShowChildren({IDC_EXTREF_LIMIT1_VALUE, IDC_EXTREF_LIMIT1_UNIT}, showFirst);
}

void CAnalogReferenceDlg::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (!toControls) return;

    const bool analogue = IsAnalogueReference();
    ShowFilterControls();
    ApplyLimitFieldRule();

    EnableChildren({IDC_EXTREF_MAX_LABEL, IDC_EXTREF_MAX_VALUE, IDC_EXTREF_MAX_UNIT, IDC_EXTREF_MIN_LABEL,
                    IDC_EXTREF_MIN_VALUE, IDC_EXTREF_DEADBAND_POINT_LABEL, IDC_EXTREF_DEADBAND_POINT_VALUE,
                    IDC_EXTREF_DEADBAND_POINT_UNIT, IDC_EXTREF_DEADBAND_RANGE_LABEL, IDC_EXTREF_DEADBAND_RANGE_VALUE,
                    IDC_EXTREF_USE_FILTER, IDC_EXTREF_FILTER_LABEL, IDC_EXTREF_FILTER_VALUE, IDC_EXTREF_FILTER_UNIT,
                    IDC_EXTREF_RANGE_LOW, IDC_EXTREF_RANGE_HIGH},
                   analogue);
    EnableChild(IDC_EXTREF_TEST, analogue && IsTestAvailable(CommissioningTest::AnalogueReference));

    const bool digital = !analogue && m_mode == kPositionMode;
    EnableChildren({IDC_EXTREF_PULSE_DIRECTION, IDC_EXTREF_INCREMENTAL_ENCODER, IDC_EXTREF_GEAR_LABEL,
                    IDC_EXTREF_SLAVE_LABEL, IDC_EXTREF_SLAVE_VALUE, IDC_EXTREF_SLAVE_NOTE, IDC_EXTREF_MASTER_LABEL,
                    IDC_EXTREF_MASTER_VALUE, IDC_EXTREF_MASTER_NOTE},
                   digital);

    // An absent option does not switch the digital reference off.
    EnableChild(IDC_EXTREF_DIGITAL,
                m_mode == kPositionMode && GetSetup()->GetIntOption("DisableExternalDigitalReference") == 0);
}

void CAnalogReferenceDlg::OnCommand(int id) {
    if (id == IDC_EXTREF_TEST) {
        OpenTest(CommissioningTest::AnalogueReference, kNothingMore);
        return;
    }
    CMySetupDlg::OnCommand(id);
}

void CAnalogReferenceDlg::OnChangedParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    if (EqualsNoCase(name, "UseFilter")) {
        ShowFilterControls();
    } else if (EqualsNoCase(name, "isAnalogueReference")) {
        SetLimitCheckText();
        ApplyRules();
    } else if (EqualsNoCase(name, "isLimitMaximum")) {
        ApplyRules();
    } else if (EqualsNoCase(name, "DeadBand_Range")) {
        UpdateLimits_DeadBand_Range(setup);
        RefreshParameterControls("DeadBand_Point");
    } else if (EqualsNoCase(name, "DeadBand_Point")) {
        // The band may not reach past the input range around the new point.
        UpdateLimits_DeadBand_Range(setup);
        RefreshParameterControls("DeadBand_Range");
    }
    CMySetupDlg::OnChangedParameterValue(name);
}

void CAnalogReferenceDlg::OnChangedParameterUnit(const char* name) {
    for (const UnitPartner& partner : kUnitPartners) {
        if (!EqualsNoCase(name, partner.leader)) continue;
        if (SameUnit(*GetSetup(), partner.leader, partner.follower)) RefreshParameterControls(partner.follower);
        break;
    }
    CMySetupDlg::OnChangedParameterUnit(name);
}

void CAnalogReferenceDlg::OnRefreshParameterValue(const char* name) {
    for (const RangePair& pair : kRangePairs) {
        if (!EqualsNoCase(name, pair.minName) && !EqualsNoCase(name, pair.maxName)) continue;
        pair.minRule(*GetSetup());
        pair.maxRule(*GetSetup());
        RefreshAllParameters(0);
        break;
    }
    CMySetupDlg::OnRefreshParameterValue(name);
}

}  // namespace pelmora
