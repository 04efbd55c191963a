#include "TestCurrent.h"

#include "ControllerDesign.h"
#include "CurrentTuningForm.h"
#include "Decode.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "TuningPlots.h"
#include "TuningProfile.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace pelmora {

namespace {

constexpr const char* kProgram = "Current_Controller_Tuning_Test";

// Indexed by step number; entries 6 and 7 are the over-current message and the procedure.
constexpr std::array<const char*, 8> kTexts = {
    "Launching the application for preliminary test",
    "Waiting preliminary test to be finished",
    "Launching the application for test",
    "Running test",
    "Uploading results",
    "",
    "Test failed!\nCurrent protection triggered during test!",
    "1. Check/setup the test parameters below\r\n2. Go to the \"Test\" tab and press the \"Tune\" button\r\n3. In the "
    "\"Test\" tab, press the \"Start\" button\r\n4. Wait until the test ends and displays the results\r\n5. If "
    "needed, change the controller parameters during the test, until you get satisfactory results",
};
constexpr int kStepCount = 5;
constexpr int kOverCurrentText = 6;
constexpr int kProcedureText = 7;

enum Step : std::uint16_t { kPositioningStep = 2, kLaunchStep = 3, kRunStep = 4, kUploadStep = 5 };

constexpr const char* kProtectionBelowTestCurrent = "Over current protection must be greater or equal to Test current.";

// What the logger records and how the graph shows it (area, logged item, palette colour).
constexpr std::array kLogged = {"Current_Reference", "Motor_Current", "Voltage_Reference"};
constexpr int kLogPoints = 100;
constexpr int kLogPerCurrentPeriod = 2;
constexpr int kLogEveryPeriod = 1;
struct Curve {
    int area, item, colour;
};
constexpr std::array kCurves = {Curve{1, 1, 2}, Curve{2, 3, 8}, Curve{1, 2, 5}};
constexpr int kCurveLineStyle = 2;

constexpr std::array<int, 4> kKpRow = {IDC_CT_KP, IDC_CT_KP_SPIN_DOWN, IDC_CT_KP_SLIDER, IDC_CT_KP_SPIN_UP};
constexpr std::array<int, 4> kKiRow = {IDC_CT_KI, IDC_CT_KI_SPIN_DOWN, IDC_CT_KI_SLIDER, IDC_CT_KI_SPIN_UP};
constexpr std::array<int, 3> kFilterRow = {IDC_CT_FILTER_LABEL, IDC_CT_FILTER, IDC_CT_FILTER_UNIT};
constexpr std::array<int, 5> kGravityControls = {IDC_CT_GRAVITY_GROUP, IDC_CT_OFFSET_UNIT, IDC_CT_OFFSET, IDC_CT_OFFSET_LABEL,
                                         IDC_CT_COMPENSATE};
constexpr std::array<int, 3> kOffsetRow = {IDC_CT_OFFSET_LABEL, IDC_CT_OFFSET, IDC_CT_OFFSET_UNIT};

CMC_Parameter* Quietly(CMC_Setup* setup, const char* name) {
    CMC_QuietErrors quiet;
    return setup ? setup->FindParameter(name) : nullptr;
}

double BaseValue(CMC_Setup* setup, const char* name) {
    const CMC_Parameter* parameter = Quietly(setup, name);
    return parameter ? parameter->GetValueInBaseUnit() : 0.0;
}

bool IsNameOf(const char* name, const char* parameter) { return EqualsNoCase(name ? name : "", parameter); }

}  // namespace

CTestCurrent::CTestCurrent(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kCurrentTuningForm, kCurrentTuningTemplate, flag, kHelpTopic) {
    m_nStepCount = kStepCount;
    AddParameterControls("TestProtectionCurrent", IDC_CT_PROTECTION, IDC_CT_PROTECTION_UNIT);
    AddParameterControls("TestCurrent", IDC_CT_TEST_CURRENT, IDC_CT_TEST_CURRENT_UNIT);
    AddParameterControls("FilterOnCurrentControllerOutput", IDC_CT_FILTER, IDC_CT_FILTER_UNIT);
    AddCheckParameterControls("isUseFilterOnCrtCtrlOutput", IDC_CT_USE_FILTER);
    if (setup && HasGravityCompensation(*setup)) {
        AddParameterControls("OffsetCurrent", IDC_CT_OFFSET, IDC_CT_OFFSET_UNIT);
        AddCheckParameterControls("isCompensateGravitationalLoads", IDC_CT_COMPENSATE);
    }
    AddSliderParameterControls("Kp_C_scl", IDC_CT_KP_SLIDER, IDC_CT_KP);
    AddSliderParameterControls("Ki_C_scl", IDC_CT_KI_SLIDER, IDC_CT_KI);
    AddSliderParameterControls("PB_C", IDC_CT_PASSBAND_SLIDER, IDC_CT_PASSBAND, IDC_CT_PASSBAND_UNIT);
    SliderRanges();
}

CTestCurrent::~CTestCurrent() = default;

void CTestCurrent::SliderRanges() {
    for (const auto& [name, slider] : {std::pair{"Kp_C_scl", IDC_CT_KP_SLIDER}, std::pair{"Ki_C_scl", IDC_CT_KI_SLIDER},
                                       std::pair{"PB_C", IDC_CT_PASSBAND_SLIDER}}) {
        SetTuningSliderRange(name, slider);
    }
}

bool CTestCurrent::OnInitDialog() {
    CMyTestDlg::OnInitDialog();
    SetChildText(IDC_CT_PROCEDURE, kTexts[kProcedureText]);
    ClearItems(IDC_CT_TABS);
    AddItem(IDC_CT_TABS, "Test Parameters", 0);
    AddItem(IDC_CT_TABS, "Test", 1);
    SetSelection(IDC_CT_TABS, 0);
    LoadPositioningProgram();
    LoadProgram(m_program, kProgram);

    m_logger = std::make_unique<CMC_SingleAxisLogger>(GetSetup(), &m_program);
    m_logger->ChangeSettings(kLogPoints, kLogPerCurrentPeriod, kLogEveryPeriod);
    for (const char* name : kLogged) m_logger->AddVariable(name, 1);
    m_logger->CorrectPointsNo();
    CGraphFilter* filter = m_logger->GetGraphDocument().GetAt(0);
    if (filter) {
        for (const Curve& c : kCurves) {
            CXYCurve curve(c.area, c.item, RGB16(c.colour));
            curve.m_nLineStyle = kCurveLineStyle;
            filter->Add(curve);
        }
    }
    m_logger->LocateItems();
    m_graph.SubclassDlgItem(IDC_CT_GRAPH, this, filter);
    m_graph.ApplySettings();
    m_graph.RefreshGraph();
    ShowTab(0);
    return true;
}

void CTestCurrent::DoDataExchange(bool toControls) {
    CMyTestDlg::DoDataExchange(toControls);
    if (!toControls) return;
    const bool idle = m_bRunning == 0;
    const bool testTab = m_tab == 1;
    const bool gravity = GetSetup() && HasGravityCompensation(*GetSetup());
    EnableChild(IDOK, idle);
    EnableChildren(kKpRow, idle);
    EnableChildren(kKiRow, idle);
    ShowChildren(kFilterRow, testTab && BaseValue(GetSetup(), "isUseFilterOnCrtCtrlOutput") != 0.0);
    EnableChildren(kGravityControls, gravity);
    ShowChildren(kOffsetRow,
                 testTab && (BaseValue(GetSetup(), "isCompensateGravitationalLoads") != 0.0 || !gravity));
}

void CTestCurrent::ShowTab(int tab) {
    m_tab = tab;
    ShowChildren(kCurrentTuningParametersTab, tab == 0);
    ShowChildren(kCurrentTuningTestTab, tab == 1);
    UpdateData(false);
    if (tab == 1) {
        if (m_nResult == 1) {
            TestSucceeded(0);
        } else if (!m_strError.empty()) {
            TestFailed(0);
        }
    } else {
        ShowChild(IDC_TEST_DETAILS, false);
    }
}

void CTestCurrent::OnShowWindow() {
    CMyTestDlg::OnShowWindow();
    ShowTab(0);
}

void CTestCurrent::OnSelChange(int id) {
    if (id != IDC_CT_TABS) return CMyTestDlg::OnSelChange(id);
    const int tab = GetSelection(IDC_CT_TABS);
    if ((tab == 0 && m_bRunning) || !UpdateData(true)) {
        SetSelection(IDC_CT_TABS, 1 - tab);
        return;
    }
    if (tab == 1 && BaseValue(GetSetup(), "TestCurrent") > BaseValue(GetSetup(), "TestProtectionCurrent")) {
        MessageBox(kProtectionBelowTestCurrent, GetCaption());
        SetSelection(IDC_CT_TABS, 0);
        return;
    }
    ShowTab(tab);
}

bool CTestCurrent::WriteRegistersToDrive(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        CMC_Parameter* reg = Quietly(GetSetup(), name);
        if (!reg || !reg->WriteToChip()) return false;
    }
    return true;
}

void CTestCurrent::Tune() {
    CMC_Setup& setup = *GetSetup();
    if (const DesignOutcome design = DesignCurrentLoop(setup); !design.designed) {
        // Nothing was written: the gains on show are still the ones in use.
        MessageBox(design.refusal, GetCaption());
        return;
    }
    Encode_KPI(setup);
    Encode_KII(setup);
    Encode_SFTKPI(setup);
    Encode_SFTKII(setup);
    Decode_Ki_C_scl(setup);
    Decode_Kp_C_scl(setup);
    if (m_bRunning) WriteRegistersToDrive({"SFTKPI", "KPI", "SFTKII", "KII"});
    RefreshAllParameters(0);
}

void CTestCurrent::ApplyFilterAndOffset() {
    CMC_Setup& setup = *GetSetup();
    Encode_FILTERQ(setup);
    if (HasGravityCompensation(setup)) {
        Encode_FFL(setup);
        Decode_OffsetCurrent(setup);
    }
}

void CTestCurrent::OnCommand(int id) {
    CMyTestDlg::OnCommand(id);
    switch (id) {
    case IDC_CT_TUNE: return Tune();
    case IDC_CT_USE_FILTER:
    case IDC_CT_COMPENSATE:
        ApplyFilterAndOffset();
        UpdateData(false);
        RefreshAllParameters(0);
        return;
    case IDC_CT_SAVE_PLOTS: return SavePlots();
    default: return;
    }
}

void CTestCurrent::SavePlots() {
    if (!m_logger || m_bRunning) return;
    const std::string error = ExportPlot(m_graph, GetGUIDirectory(), kPlotStem);
    if (!error.empty()) MessageBox(error, GetCaption(), MessageBoxKind::Warning);
}

void CTestCurrent::OnChangedParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    if (IsNameOf(name, "Kp_C_scl")) {
        Encode_SFTKPI(setup);
        Encode_KPI(setup);
    } else if (IsNameOf(name, "Ki_C_scl")) {
        Encode_SFTKII(setup);
        Encode_KII(setup);
    } else if (IsNameOf(name, "OffsetCurrent") && HasGravityCompensation(setup)) {
        Encode_FFL(setup);
    } else if (IsNameOf(name, "FilterOnCurrentControllerOutput")) {
        Encode_FILTERQ(setup);
    }
    CMyTestDlg::OnChangedParameterValue(name);
}

void CTestCurrent::OnRefreshParameterValue(const char* name) {
    if (m_bRunning) {
        if (IsNameOf(name, "Kp_C_scl")) WriteRegistersToDrive({"SFTKPI", "KPI"});
        else if (IsNameOf(name, "Ki_C_scl")) WriteRegistersToDrive({"SFTKII", "KII"});
    }
    CMyTestDlg::OnRefreshParameterValue(name);
}

void CTestCurrent::OnOK() {
    const double protection_A = BaseValue(GetSetup(), "TestProtectionCurrent");
    CMyTestDlg::OnOK();
    if (CMC_Parameter* imax = Quietly(GetSetup(), "Imax_Prot")) imax->SetValueInBaseUnit(protection_A);
}

void CTestCurrent::BeginTest() {
    CMyTestDlg::BeginTest();
    RefreshAllParameters(0);
    ApplyFilterAndOffset();
    m_bRunning = 1;
    m_nResult = -1;
    m_nStep = 0;
    ShowStepText(kTexts.data());
    if (!StartPositioning()) return;
    ShowStepText(kTexts.data());
    StartPollTimer();
}

void CTestCurrent::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    switch (m_nStep) {
    case kPositioningStep:
        if (!Finished(PollPositioning())) return;
        ShowStepText(kTexts.data());
        [[fallthrough]];
    case kLaunchStep: return LaunchMain();
    case kRunStep: return WaitForMain();
    case kUploadStep: return Upload();
    default: return Fail(msc_pszErrInternal);
    }
}

void CTestCurrent::LaunchMain() {
    if (!HandPositioningTo(m_program)) return;
    // The program takes both currents as 16-bit counts: a value beyond that range would arrive
    // with another magnitude or sign, so the run is refused instead.
    for (const auto& [parameter, variable] :
         {std::pair{"TestCurrent", "In1"}, std::pair{"TestProtectionCurrent", "Imax_Prot_Test"}}) {
        const CMC_Parameter* current = Quietly(GetSetup(), parameter);
        if (!current) return Fail(msc_pszErrInternal);
        const double counts = std::trunc(current->GetValueInInternalUnit());
        if (!std::isfinite(counts) || counts < std::numeric_limits<std::int16_t>::min() ||
            counts > std::numeric_limits<std::int16_t>::max()) {
            return Fail("\"" + std::string(parameter) + "\" is beyond the current the drive can measure.");
        }
        std::string error;
        if (!SetUserVariableValue(&m_program, variable, counts, error)) return Fail(error);
    }
    if (!ExecuteCode(kProgram, &m_program, m_logger.get())) return Fail(msc_pszErrInternal);
    ShowStepText(kTexts.data());
    StartPollTimer();
}

void CTestCurrent::WaitForMain() {
    if (!Finished(PollProgram(m_program, kMaskShortCircuitEnable))) return;
    double flag = 0.0;
    std::string error;
    if (!GetUserVariableValue(&m_program, "test_flag", flag, error)) return Fail(error);
    if (flag == kNoValue || !std::isfinite(flag)) return Fail(msc_pszErrInternal);
    if (flag <= 0.0) return Fail(kTexts[kOverCurrentText]);
    if (!m_logger || !m_logger->BeginUploadData()) return Fail(msc_pszErrInternal);
    m_graph.Invalidate();
    ShowStepText(kTexts.data());
    Upload();
}

void CTestCurrent::Upload() {
    if (!m_logger) return Fail(msc_pszErrInternal);
    m_graph.DoZoomOut();
    while (m_logger->ReadPoint()) {
        m_graph.UpdateLastPoint();
        KeepUiAlive();
        if (m_bStopHandledByTest == 1 && m_bStopRequest) break;
        if (!m_bRunning && m_bStopHandledByTest == 0) {
            m_graph.DoZoomOut();
            m_logger->EndUploadData();
            return;
        }
    }
    m_logger->EndUploadData();
    m_graph.DoZoomOut();
    TestSucceeded(1);
}

}  // namespace pelmora
