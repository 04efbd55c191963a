#include "TuningTestDlg.h"

#include "FeatureProbes.h"
#include "FiltersDialog.h"
#include "MassQuestion.h"
#include "TestFactory.h"
#include "TuningPlots.h"
#include "TuningTestForm.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>

namespace pelmora {

namespace {

constexpr int kProcedureText = 7;
constexpr double kFullStartCurrent_pct = 100.0;
constexpr int kMassDecimals = 3;
constexpr int kCurveLineStyle = 2;
constexpr int kScopeGridColour = 4;
constexpr std::array<double, 2> kScopeNumbers = {-4.2, -3.5};
constexpr int kRearming = 2;
constexpr int kSingleShot = 4;
constexpr int kFreeRunning = 1;

constexpr std::array<int, 3> kStartCurrentRow = {IDC_TT_START_CURRENT_LABEL, IDC_TT_START_CURRENT,
                                                 IDC_TT_START_CURRENT_UNIT};
constexpr std::array<int, 5> kRatioRow = {IDC_TT_RATIO_LABEL, IDC_TT_RATIO, IDC_TT_RATIO_SPIN_DOWN,
                                          IDC_TT_RATIO_SLIDER, IDC_TT_RATIO_SPIN_UP};
constexpr std::array<int, 4> kReferenceType = {IDC_TT_REFERENCE_LABEL, IDC_TT_POSITIVE, IDC_TT_NEGATIVE,
                                               IDC_TT_BIDIRECTIONAL};

constexpr const char* kNoDesign =
    "The controller cannot be designed from this passband: the total mass, the force constant and the pole pitch "
    "must be known and non-zero.";
constexpr const char* kStartCurrentFormat =
    "You have set a start current bigger than the nominal current! The start current will be applied for %.2f "
    "s.\n\nThe motor must withstand this over current condition or it may be damaged.";

CMC_Parameter* Quietly(const CMC_Setup* setup, const char* name) {
    CMC_QuietErrors quiet;
    return setup ? setup->FindParameter(name) : nullptr;
}

bool IsNameOf(const char* name, const char* parameter) {
    return parameter && EqualsNoCase(name ? name : "", parameter);
}

std::string PlotPath(const char* stem) {
    return (std::filesystem::path(GetGUIDirectory().empty() ? "." : GetGUIDirectory()) / stem).string();
}

}  // namespace

CTuningTestDlg::CTuningTestDlg(CMC_Setup* setup, const TuningTestSpec& spec, const TuningRunSpec& run, int flag)
    : CTuningRunDlg(setup, *spec.form, spec.templateId, flag, spec.helpTopic, run), m_spec(spec), m_run(run) {}

CTuningTestDlg::~CTuningTestDlg() = default;

void CTuningTestDlg::BindSlider(const char* name, int sliderId, int valueId, int unitId) {
    if (AddSliderParameterControls(name, sliderId, valueId, unitId)) SetTuningSliderRange(name, sliderId);
}

double CTuningTestDlg::Base(const char* name, double otherwise) const {
    const CMC_Parameter* parameter = Quietly(GetSetup(), name);
    return parameter ? parameter->GetValueInBaseUnit() : otherwise;
}

bool CTuningTestDlg::IsOnline() const { return Base(m_run.plotModeParameter) != 0.0; }

std::optional<ReferenceType> CTuningTestDlg::ReferenceTypeOf() const {
    if (!GetSetup() || !HasSpeedTestReferenceType(*GetSetup()) || !Quietly(GetSetup(), m_run.referenceTypeParameter))
        return std::nullopt;
    return ToReferenceType(static_cast<int>(Base(m_run.referenceTypeParameter)));
}

bool CTuningTestDlg::OnInitDialog() {
    CTuningRunDlg::OnInitDialog();
    CMC_Setup& setup = *GetSetup();
    SetPicture(IDC_TT_START_PICTURE, m_spec.startPictures[Base("StartMode") == 1.0 ? 1 : 0]);
    UpdateReferencePicture();
    SetChildText(IDC_TT_PROCEDURE, m_run.statusTexts[kProcedureText]);
    for (int id : m_spec.liveValues) SetChildText(id, "");
    SetBackground(IDC_TT_REFERENCE_LEGEND, RGB16(kReferenceCurveColour));
    SetBackground(IDC_TT_RESPONSE_LEGEND, RGB16(kResponseCurveColour));
    ClearItems(IDC_TT_TABS);
    AddItem(IDC_TT_TABS, "Test Parameters", 0);
    AddItem(IDC_TT_TABS, "Test", 1);
    SetSelection(IDC_TT_TABS, 0);

    if (CMC_ScopeLogger* scope = Scope()) {
        SetChildText(IDC_TT_ONLINE, "Scope");
        m_scopeCustomised = scope->LoadSettingsFromSetupOption(m_spec.scopeOption) ? 1 : 0;
        if (m_scopeCustomised) {
            PlotScopeVariables();
        } else {
            SetupScopeDefaults();
        }
        ScopeGraph().SubclassDlgItem(IDC_TT_SCOPE, this, scope->GetGraphDocument().GetAt(0));
        ScopeGraph().ApplySettings();
        ScopeGraph().RefreshGraph();
    }
    AskAboutMotorMass();
    RefreshAllParameters(0);
    EnableChild(IDC_TT_FILTERS, HasBiquadFilters(setup));
    m_initialised = true;
    ShowTestTab(0);
    return true;
}

void CTuningTestDlg::AskAboutMotorMass() {
    CMC_Setup& setup = *GetSetup();
    if (Base("Mt") < Base("M") && Base("isMotorMassUnknown") == 0.0) {
        CMassQuestion question(&setup);
        question.DoModal();
    }
    // From the masses as the answer left them: before it, a total below the motor mass would give
    // a negative load.
    const auto ratio = LoadOverMotorMass(Base("Mt"), Base("M"));
    if (CMC_Parameter* parameter = Quietly(&setup, "Mload_over_M"); parameter && ratio)
        parameter->SetValueInBaseUnit(*ratio);
}

void CTuningTestDlg::UpdateReferencePicture() {
    const auto type = ReferenceTypeOf();
    const char* picture = kPictureReferencePositive;
    if (type == ReferenceType::Negative) picture = kPictureReferenceNegative;
    if (type == ReferenceType::Bidirectional) picture = kPictureReferenceBidirectional;
    SetPicture(IDC_TT_REFERENCE_PICTURE, picture);
}

void CTuningTestDlg::ShowTestTab(int tab) {
    m_tab = tab;
    ShowChildren(tab == 0 ? m_spec.testTab : m_spec.parametersTab, false);
    ShowChildren(tab == 0 ? m_spec.parametersTab : m_spec.testTab, true);
    if (tab == 0) {
        ShowChild(IDC_TEST_DETAILS, false);
    } else if (m_nResult == 1) {
        TestSucceeded(0);
    } else if (!m_strError.empty()) {
        TestFailed(0);
    }
    UpdateData(false);
}

void CTuningTestDlg::OnShowWindow() {
    CTuningRunDlg::OnShowWindow();
    SetSelection(IDC_TT_TABS, 0);
    ShowTestTab(0);
}

void CTuningTestDlg::OnSelChange(int id) {
    if (id != IDC_TT_TABS) return CTuningRunDlg::OnSelChange(id);
    const int tab = GetSelection(IDC_TT_TABS);
    if ((tab == 0 && m_bRunning) || !UpdateData(true)) {
        SetSelection(IDC_TT_TABS, 1 - tab);
        return;
    }
    if (tab == 1 && Base("TestLimitCurrent") > Base("TestProtectionCurrent")) {
        MessageBox(kLimitAboveProtection, GetCaption());
        SetSelection(IDC_TT_TABS, 0);
        return;
    }
    ShowTestTab(tab);
}

void CTuningTestDlg::DoDataExchange(bool toControls) {
    CTuningRunDlg::DoDataExchange(toControls);
    if (!toControls || !m_initialised) return;
    const bool running = m_bRunning != 0;
    const bool online = IsOnline();
    const bool scope = HasScope();
    const bool testTab = m_tab == 1;
    EnableChild(IDOK, !running);
    EnableChild(IDC_TT_DATA_LOGGER, !running);
    EnableChild(m_spec.identifyId, !running);
    EnableChild(IDC_TT_ONLINE, !running && (Base(m_run.multiCycleParameter) != 0.0 || scope));
    if (scope) {
        ShowChildren({IDC_TT_PAUSE, IDC_TT_CONTINUE}, false);
    } else if (!(running && online)) {
        // A polled run enables them itself.
        EnableChildren({IDC_TT_PAUSE, IDC_TT_CONTINUE}, false);
    }
    EnableChildren(m_spec.liveEditable, !running || online);
    EnableChild(IDC_TT_SAVE_PLOTS, testTab && !(online && !scope));
    ShowChild(IDC_TT_GRAPH, testTab && !online);
    ShowChild(IDC_TT_SCOPE, testTab && online);
    const bool live = running && online && !scope && testTab;
    ShowChildren({IDC_TT_REFERENCE_LEGEND, IDC_TT_RESPONSE_LEGEND}, live);
    for (int value : m_spec.liveValues) ShowChildren({value - 1, value}, live);
    ShowChild(IDC_TT_FRAME_STATS, testTab && online && scope);
    ShowChildren(kStartCurrentRow, Base("StartMode") == 0.0 && m_tab == 0);
    EnableChildren(kRatioRow, Base("isMotorMassUnknown") == 0.0);
    ShowChild(IDC_TT_FILTERS, testTab);
    ShowChildren(kReferenceType, GetBoundControl(m_run.referenceTypeParameter) != 0 && m_tab == 0);
    if (m_tab == 0 || m_nResult == -1 || m_strError.empty()) ShowChild(IDC_TEST_DETAILS, false);
    FeedforwardRules();
}

const TuningRegisterRule* CTuningTestDlg::RuleFor(const char* name) const {
    for (const TuningRegisterRule& rule : m_spec.registers) {
        if (IsNameOf(name, rule.parameter)) return &rule;
    }
    return nullptr;
}

bool CTuningTestDlg::WriteRegistersToDrive(std::span<const char* const> names) {
    for (const char* name : names) {
        if (!name) break;
        CMC_Parameter* reg = Quietly(GetSetup(), name);
        if (!reg || !reg->WriteToChip()) return false;
    }
    return true;
}

void CTuningTestDlg::RoundTestAmplitude() {
    CMC_Parameter* amplitude = Quietly(GetSetup(), m_run.amplitudeParameter);
    if (!amplitude) return;
    const auto rounded = WholeCountAmplitude(amplitude->GetValueInBaseUnit(), m_run.amplitudeScale(*GetSetup()));
    if (!rounded) return;
    amplitude->SetValueInBaseUnit(*rounded);
    RefreshParameterControls(m_run.amplitudeParameter);
}

void CTuningTestDlg::OnChangedParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    if (IsNameOf(name, m_run.multiCycleParameter) && Base(m_run.multiCycleParameter) == 0.0 && !HasScope()) {
        // Polling without a scope follows a run that goes on until Stop.
        if (CMC_Parameter* mode = Quietly(&setup, m_run.plotModeParameter)) mode->SetValueInBaseUnit(0.0);
        RefreshAllParameters(0);
    }
    if (const TuningRegisterRule* rule = RuleFor(name)) {
        for (SetupStep step : rule->recompute) {
            if (step) step(setup);
        }
    }
    const bool massKnown = Base("isMotorMassUnknown") == 0.0;
    if (IsNameOf(name, "Mt") && massKnown) {
        if (const auto ratio = LoadOverMotorMass(Base("Mt"), Base("M"))) {
            if (CMC_Parameter* p = Quietly(&setup, "Mload_over_M"))
                p->SetValueInBaseUnit(RoundDecimalValue(*ratio, kMassDecimals));
            RefreshParameterControls("Mload_over_M");
        }
    } else if (IsNameOf(name, "Mload_over_M") && massKnown) {
        if (const auto total = TotalMassFromRatio(Base("Mload_over_M"), Base("M"))) {
            if (CMC_Parameter* p = Quietly(&setup, "Mt")) p->SetValueInBaseUnit(RoundDecimalValue(*total, kMassDecimals));
            RefreshParameterControls("Mt");
        }
    }
    if (IsNameOf(name, m_run.amplitudeParameter)) RoundTestAmplitude();
    if (HasScope()) ScopeRulesOnValue(name);
    CTuningRunDlg::OnChangedParameterValue(name);
    // What is offered depends on the values (multi-cycle, start mode, the mass being known).
    if (m_initialised) UpdateData(false);
}

void CTuningTestDlg::OnRefreshParameterValue(const char* name) {
    CMC_Setup& setup = *GetSetup();
    if (IsNameOf(name, "Mt") && Base("M") > Base("Mt") && Base("isMotorMassUnknown") == 0.0) {
        MessageBox(kTotalBelowMotorMass, GetCaption());
        if (CMC_Parameter* unknown = Quietly(&setup, "isMotorMassUnknown")) unknown->SetValueInBaseUnit(1.0);
        UpdateData(false);
    } else if (IsNameOf(name, "TestStartCurrent") && Base("TestStartCurrent") > kFullStartCurrent_pct) {
        std::array<char, 512> text{};
        std::snprintf(text.data(), text.size(), kStartCurrentFormat, 2.0 * Base("time_AB"));
        MessageBox(text.data(), GetCaption());
    } else if (IsNameOf(name, m_run.referenceTypeParameter)) {
        UpdateReferencePicture();
        if (HasScope()) ScopeRulesOnReferenceType();
    }
    if (m_bRunning) {
        if (const TuningRegisterRule* rule = RuleFor(name)) WriteRegistersToDrive(rule->written);
    }
    CTuningRunDlg::OnRefreshParameterValue(name);
}

void CTuningTestDlg::OnChangedParameterUnit(const char* name) {
    if (HasScope()) ScopeRulesOnUnit(name);
    CTuningRunDlg::OnChangedParameterUnit(name);
}

void CTuningTestDlg::Tune() {
    CMC_Setup& setup = *GetSetup();
    if (!m_spec.tune.design(setup)) {
        // Nothing was written: the gains on show are still the ones in use.
        MessageBox(kNoDesign, GetCaption());
        return;
    }
    for (SetupStep step : m_spec.tune.encode) {
        if (step) step(setup);
    }
    for (SetupStep step : m_spec.tune.decode) {
        if (step) step(setup);
    }
    if (m_bRunning) WriteRegistersToDrive(m_spec.tune.written);
    RefreshAllParameters(0);
}

void CTuningTestDlg::Identify() {
    std::unique_ptr<CDialog> test = MakeTestDialog(CommissioningTest::TotalMass, GetSetup());
    if (!test || test->DoModal() != IDOK) return;
    OnChangedParameterValue("Mt");
    RefreshAllParameters(0);
}

void CTuningTestDlg::Filters() {
    OpenFiltersDialog(*GetSetup(), m_bRunning != 0);
    UpdateData(false);
}

void CTuningTestDlg::OnCommand(int id) {
    CTuningRunDlg::OnCommand(id);
    if (id == m_spec.identifyId) return Identify();
    switch (id) {
    case IDC_TT_DATA_LOGGER:
    case IDC_TT_ONLINE:
        if (UpdateData(true)) UpdateData(false);
        return;
    case IDC_TT_TUNE: return Tune();
    case IDC_TT_FILTERS: return Filters();
    case IDC_TT_SAVE_PLOTS:
    case ID_PLOT_SCOPE_SETTINGS:
    case ID_PLOT_DEFAULT_SETTINGS:
    case ID_PLOT_AUTOSCALE:
    case ID_PLOT_LOAD_SETTINGS:
    case ID_PLOT_SAVE_SETTINGS:
    case ID_PLOT_SAVE_PLOTS:
    case ID_PLOT_PICTURE:
    case ID_PLOT_TEXT_EXPORT: return PlotCommand(id);
    default: return;
    }
}

void CTuningTestDlg::OnOK() {
    CTuningRunDlg::OnOK();
    CMC_Setup& setup = *GetSetup();
    if (m_scopeCustomised && Scope()) {
        Scope()->SaveSettingsToSetupOption(m_spec.scopeOption);
    } else {
        setup.ClearOption(m_spec.scopeOption);
    }
    for (const auto& [from, to] : {std::pair{"TestProtectionCurrent", "Imax_Prot"}, std::pair{"TestLimitCurrent", "IlimPS"},
                                   std::pair{"TestStartCurrent", "StartCurrent"}}) {
        const CMC_Parameter* source = Quietly(&setup, from);
        CMC_Parameter* target = Quietly(&setup, to);
        if (source && target) target->SetValueInBaseUnit(source->GetValueInBaseUnit());
    }
}

// --- the scope ---

void CTuningTestDlg::PlotScopeVariables() {
    CMC_ScopeLogger& scope = *Scope();
    CGraphFilter* filter = scope.GetGraphDocument().GetAt(0);
    if (!filter) return;
    filter->m_GridColor = RGB16(kScopeGridColour);
    filter->m_Numbers = kScopeNumbers;
    filter->RemoveAll();
    // One curve per recorded variable, whatever settings a file or the setup brought: reference
    // and response above, the inner loop's pair (and any further variable) below.
    for (int item = 1; item <= scope.GetVariablesNo(); ++item) {
        const int colour = kCurveColours[static_cast<std::size_t>(item - 1) % kCurveColours.size()];
        CXYCurve curve(item <= 2 ? 1 : 2, item, RGB16(colour));
        curve.m_nLineStyle = kCurveLineStyle;
        filter->Add(curve);
    }
    // The areas' ranges follow the curves now in them.
    scope.ShowScales();
}

void CTuningTestDlg::SetupScopeDefaults() {
    CMC_ScopeLogger& scope = *Scope();
    scope.RemoveAllVariables();
    for (const char* name : m_run.logged) scope.AddVariable(name, 1);
    PlotScopeVariables();
    ApplyScopeTrigger();
    RescaleAllPairs();
}

void CTuningTestDlg::RescalePair(const char* first, const char* second, const char* source,
                                 const ScopeChannelScale& scale) {
    CMC_ScopeLogger* scope = Scope();
    const CMC_Parameter* parameter = Quietly(GetSetup(), source);
    if (!scope || m_scopeCustomised || !parameter) return;
    const std::string unit(parameter->GetUnit().GetName());
    scope->RescaleVariable(first, unit.c_str(), scale.step, scale.offset);
    scope->RescaleVariable(second, unit.c_str(), scale.step, scale.offset);
}

void CTuningTestDlg::RescaleReferencePair() {
    const CMC_Parameter* amplitude = Quietly(GetSetup(), m_run.amplitudeParameter);
    if (!amplitude) return;
    RescalePair(m_run.logged[0], m_run.logged[1], m_run.amplitudeParameter, ReferenceChannelScale(amplitude->GetValue()));
}

void CTuningTestDlg::RescaleCurrentPair() {
    const CMC_Parameter* limit = Quietly(GetSetup(), "TestLimitCurrent");
    if (!limit) return;
    RescalePair("Current_Reference", "Motor_Current", "TestLimitCurrent", CurrentChannelScale(limit->GetValue()));
}

void CTuningTestDlg::ApplyScopeTrigger() {
    CMC_ScopeLogger* scope = Scope();
    if (!scope || m_scopeCustomised) return;
    const ProfileTimes times{Base(m_run.times[0]), Base(m_run.times[1]), Base(m_run.times[2]), Base(m_run.times[3])};
    const auto type = ReferenceTypeOf();
    const bool bidirectional = type == ReferenceType::Bidirectional;
    if (Quietly(GetSetup(), m_run.amplitudeParameter)) {
        const double window_s = ScopeWindow_s(times, bidirectional);
        const ScopeTrigger trigger = TriggerFor(type, Base(m_run.amplitudeParameter));
        scope->ChangeSettings(window_s, Base(m_run.multiCycleParameter) != 0.0 ? kRearming : kSingleShot,
                              trigger.slope, m_run.referenceVariable, trigger.level, PretriggerPercent(times, window_s));
    } else {
        const double window_s = bidirectional ? ScopeWindow_s(times, true)
                                              : times.rampUp_s + times.firstPlateau_s + times.rampDown_s +
                                                    times.secondPlateau_s;
        scope->ChangeSettings(window_s, kFreeRunning, 1, "", 0.0, 0.0);
    }
    scope->LocateItems();
}

void CTuningTestDlg::ArmScope(const ProfileTimes& /*times*/, ReferenceType /*type*/) {
    // The user's own window and trigger stay as they were set.
    ApplyScopeTrigger();
}

void CTuningTestDlg::ShowLiveValues(const std::string& reference, const std::string& response) {
    SetChildText(m_spec.liveValues[0], reference);
    SetChildText(m_spec.liveValues[1], response);
}

void CTuningTestDlg::RepaintScope() {
    ScopeGraph().Invalidate(true);
    ScopeGraph().RefreshGraph();
}

bool CTuningTestDlg::PlotMenuAvailable(int id) const {
    return id == IDC_TT_SCOPE && HasScope() && m_bRunning == 0;
}

int CTuningTestDlg::OnChannelScale(int controlId, int channel, int steps) {
    if (GetControl(controlId) && Scope() && Scope()->ChangeChannelScale(channel, steps)) {
        m_scopeCustomised = 1;
        RepaintScope();
    }
    return 0;
}

void CTuningTestDlg::PlotCommand(int id) {
    if (m_bRunning) return;
    const bool online = IsOnline();
    CGraphWindow& shown = online ? ScopeGraph() : LoggerGraph();
    std::string error;
    switch (id) {
    case IDC_TT_SAVE_PLOTS:
    case ID_PLOT_SAVE_PLOTS: error = ExportPlot(shown, GetGUIDirectory(), m_spec.plotStem); break;
    case ID_PLOT_PICTURE:
        error = shown.WritePicture(PlotPath(m_spec.plotStem) + ".svg");
        break;
    case ID_PLOT_TEXT_EXPORT:
        if (const CGraphFilter* filter = shown.GetFilter()) {
            error = filter->WriteCsv(PlotPath(m_spec.plotStem) + ".csv");
        } else {
            error = "the plot shows nothing yet";
        }
        break;
    case ID_PLOT_DEFAULT_SETTINGS:
        if (!Scope() || !m_scopeCustomised) return;
        m_scopeCustomised = 0;
        Scope()->SetDefaultValues();
        SetupScopeDefaults();
        ScopeGraph().SubclassDlgItem(IDC_TT_SCOPE, this, Scope()->GetGraphDocument().GetAt(0));
        ScopeGraph().ApplySettings();
        ScopeGraph().RefreshGraph();
        return;
    case ID_PLOT_AUTOSCALE:
        if (Scope() && Scope()->Autoscale()) {
            m_scopeCustomised = 1;
            RepaintScope();
        }
        return;
    case ID_PLOT_SCOPE_SETTINGS:
        if (Scope() && Scope()->Edit()) {
            m_scopeCustomised = 1;
            RepaintScope();
        }
        return;
    case ID_PLOT_LOAD_SETTINGS: {
        if (!Scope()) return;
        const auto path = DoPromptScopeLoggerFileName(this, true, m_spec.plotStem);
        if (!path) return;
        // A file that is refused leaves the scope and its customised state as they were.
        if (!Scope()->Load(*path)) {
            error = Scope()->GetErrorText();
            break;
        }
        m_scopeCustomised = 1;
        PlotScopeVariables();
        ScopeGraph().SubclassDlgItem(IDC_TT_SCOPE, this, Scope()->GetGraphDocument().GetAt(0));
        ScopeGraph().ApplySettings();
        ScopeGraph().RefreshGraph();
        return;
    }
    case ID_PLOT_SAVE_SETTINGS: {
        if (!Scope()) return;
        const auto path = DoPromptScopeLoggerFileName(this, false, m_spec.plotStem);
        if (path && !Scope()->Save(*path)) error = Scope()->GetErrorText();
        break;
    }
    default: return;
    }
    if (!error.empty()) MessageBox(error, GetCaption(), MessageBoxKind::Warning);
}

}  // namespace pelmora
