#include "TuningRun.h"

#include "BaseQuantities.h"
#include "Encode.h"
#include "FeatureProbes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace pelmora {

namespace {

enum Step : std::uint16_t { kPositioningStep = 2, kLaunchStep = 3, kRunStep = 4, kUploadStep = 5 };
enum Text : int { kLaunchText = 2, kRunningText = 3, kUploadText = 4, kMultiCycleText = 5, kOverCurrentText = 6 };

constexpr std::uint16_t kMaskRun = 0xFFDF;
constexpr int kScopePeriod_ms = 1;
constexpr int kPercent = 100;
constexpr int kLogPoints = 2000;
constexpr int kLogPerSlowPeriod = 1;
constexpr int kLogEveryPeriod = 1;
constexpr int kCurveLineStyle = 2;
// The polled chart scrolls over this much of the run; older points leave it.
constexpr double kStripChartSpan_s = 10.0;
// Without a slow-loop period to pace by, the chart keeps this many points.
constexpr std::size_t kStripChartFallbackPoints = 20000;
constexpr const char* kPositioningProgram = "Initial_Positioning_Test";

// The dialog whose scope the unsolicited frames feed: one at a time.
CTuningRunDlg* g_activeScopeDialog = nullptr;

CMC_Parameter* Quietly(const CMC_Setup* setup, const char* name) {
    CMC_QuietErrors quiet;
    return setup ? setup->FindParameter(name) : nullptr;
}

double BaseValue(const CMC_Setup* setup, const char* name, double otherwise = 0.0) {
    const CMC_Parameter* parameter = Quietly(setup, name);
    return parameter ? parameter->GetValueInBaseUnit() : otherwise;
}

// A value the program takes as a signed 16-bit count: rounded as the drive rounds, kept in range.
double ToInt16Count(double value) {
    const long rounded = TG_Round(static_cast<float>(value));
    return static_cast<double>(std::clamp<long>(rounded, std::numeric_limits<std::int16_t>::min(),
                                                std::numeric_limits<std::int16_t>::max()));
}

}  // namespace

std::string FrameStatsText(const CMC_ScopeLogger::FrameStats& stats) {
    return "frames " + std::to_string(stats.frames) + ", lost " + std::to_string(stats.lost) + ", repeated " +
           std::to_string(stats.repeated) + ", malformed " + std::to_string(stats.malformed) + ", late " +
           std::to_string(stats.late) + ", stray " + std::to_string(stats.stray);
}

CTuningRunDlg::CTuningRunDlg(CMC_Setup* setup, const FormTemplate& form, int templateId, int flag, int helpTopic,
                             const TuningRunSpec& spec)
    : CMyTestDlg(setup, form, templateId, flag, helpTopic), m_spec(spec) {
    m_dataLogger = std::make_unique<CMC_SingleAxisLogger>(setup);
    if (setup && setup->GetIntOption("hasOscilloscope") != 0) {
        m_scopeLogger = std::make_unique<CMC_ScopeLogger>(setup, &m_main);
        m_previousHandler = CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(&CTuningRunDlg::OnScopeFrame);
        m_handlerRegistered = true;
        g_activeScopeDialog = this;
    }
    m_polled.SetItems({{"time", "s"}, {spec.referenceVariable, ""}, {spec.responseVariable, ""}});
    // The document's own filter 0 is the one the graph shows.
    CGraphFilter& chart = *m_polled.GetAt(0);
    chart.Add(CXYCurve(1, 1, RGB16(kReferenceCurveColour)));
    chart.Add(CXYCurve(1, 2, RGB16(kResponseCurveColour)));
}

CTuningRunDlg::~CTuningRunDlg() {
    m_dataLogger.reset();
    m_scopeLogger.reset();
    if (m_handlerRegistered) CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(m_previousHandler);
    if (g_activeScopeDialog == this) g_activeScopeDialog = nullptr;
}

bool CTuningRunDlg::OnInitDialog() {
    CMyTestDlg::OnInitDialog();
    LoadPositioningProgram();
    LoadProgram(m_main, m_spec.mainProgram);

    m_dataLogger->ChangeSettings(kLogPoints, kLogPerSlowPeriod, kLogEveryPeriod);
    for (const char* name : m_spec.logged) m_dataLogger->AddVariable(name, 1);
    m_dataLogger->CorrectPointsNo();
    // Reference and response above, current reference and motor current below.
    constexpr std::array<std::array<int, 2>, 4> kCurves = {{{1, 1}, {2, 3}, {1, 2}, {2, 4}}};
    CGraphFilter* filter = m_dataLogger->GetGraphDocument().GetAt(0);
    if (filter) {
        for (const auto& [area, item] : kCurves) {
            CXYCurve curve(area, item, RGB16(kCurveColours[static_cast<std::size_t>(item - 1)]));
            curve.m_nLineStyle = kCurveLineStyle;
            filter->Add(curve);
        }
    }
    m_dataLogger->LocateItems();
    if (GetControl(IDC_TUNING_LOGGER_GRAPH)) {
        m_loggerGraph.SubclassDlgItem(IDC_TUNING_LOGGER_GRAPH, this, filter);
        m_loggerGraph.ApplySettings();
        m_loggerGraph.RefreshGraph();
    }
    if (m_scopeLogger) {
        for (const char* name : m_spec.logged) m_scopeLogger->AddVariable(name, 1);
        CGraphFilter* scope = m_scopeLogger->GetGraphDocument().GetAt(0);
        if (scope) {
            for (int item = 1; item <= 4; ++item) {
                CXYCurve curve(item <= 2 ? 1 : 2, item, RGB16(kCurveColours[static_cast<std::size_t>(item - 1)]));
                curve.m_nLineStyle = kCurveLineStyle;
                scope->Add(curve);
            }
        }
        if (GetControl(IDC_TUNING_SCOPE_GRAPH)) m_scopeGraph.SubclassDlgItem(IDC_TUNING_SCOPE_GRAPH, this, scope);
    } else if (GetControl(IDC_TUNING_SCOPE_GRAPH)) {
        m_scopeGraph.SubclassDlgItem(IDC_TUNING_SCOPE_GRAPH, this, m_polled.GetAt(0));
    }
    m_scopeGraph.ApplySettings();
    m_scopeGraph.RefreshGraph();
    return true;
}

bool CTuningRunDlg::OnlineMode() const { return BaseValue(GetSetup(), m_spec.plotModeParameter) != 0.0; }
bool CTuningRunDlg::MultiCycle() const { return BaseValue(GetSetup(), m_spec.multiCycleParameter) != 0.0; }

bool CTuningRunDlg::Rearm(int period_ms) {
    if (SetTimer(kTestTimerId, period_ms) != 0) return true;
    Fail(::GetLastErrorText());
    return false;
}

void CTuningRunDlg::BeginTest() {
    CMyTestDlg::BeginTest();
    m_bStopRequest = 0;
    m_bRunning = 1;
    m_bStopHandledByTest = 0;
    m_positioningThisRun = false;
    m_nStepCount = static_cast<std::int16_t>(OnlineMode() ? 4 : 5);
    m_nResult = -1;
    if (BaseValue(GetSetup(), "StartMode") != 0.0) {
        m_nStep = kPositioningStep;
        SetInfoText(m_spec.statusTexts[kLaunchText]);
        StartPollTimer();
        return;
    }
    m_nStep = 0;
    m_positioningThisRun = true;
    SetInfoText(m_spec.statusTexts[0]);
    const double perA = GetCurrentScale(*GetSetup());
    const double start = std::trunc(BaseValue(GetSetup(), "TestStartCurrent") / kPercent *
                                    std::min(BaseValue(GetSetup(), "In") * perA, BaseValue(GetSetup(), "InPS") * perA));
    std::string error;
    if (!std::isfinite(start) || !SetUserVariableValue(&m_positioning, "In1", start, error))
        return Fail(error.empty() ? msc_pszErrInternal : error);
    if (HasAbsoluteStartMinMove(*GetSetup())) {
        if (CMC_Parameter* minMove = Quietly(GetSetup(), "ABSTART_MINMOVE")) minMove->SetValueInBaseUnit(0.0);
    }
    if (!ExecuteCode(kPositioningProgram, &m_positioning, nullptr)) return Fail(msc_pszErrInternal);
    SetInfoText(m_spec.statusTexts[1]);
    StartPollTimer();
}

void CTuningRunDlg::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    switch (m_nStep) {
    case kPositioningStep:
        if (!Finished(PollPositioning())) return;
        SetInfoText(m_spec.statusTexts[kLaunchText]);
        [[fallthrough]];
    case kLaunchStep: LaunchMain(); return;
    case kRunStep: return Running();
    case kUploadStep: return UploadLog();
    default: return Fail(msc_pszErrInternal);
    }
}

bool CTuningRunDlg::WriteCurrentCounts(CMC_CoffFormat& program, const char* parameter, const char* variable) {
    const CMC_Parameter* current = Quietly(GetSetup(), parameter);
    if (!current) {
        Fail(msc_pszErrInternal);
        return false;
    }
    const double counts = std::trunc(current->GetValueInInternalUnit());
    // Beyond 16 bits the program would read another current, of either sign.
    if (!std::isfinite(counts) || counts < std::numeric_limits<std::int16_t>::min() ||
        counts > std::numeric_limits<std::int16_t>::max()) {
        Fail("\"" + std::string(parameter) + "\" is beyond the current the drive can measure.");
        return false;
    }
    std::string error;
    if (SetUserVariableValue(&program, variable, counts, error)) return true;
    Fail(error);
    return false;
}

bool CTuningRunDlg::LaunchMain() {
    CMC_Setup& setup = *GetSetup();
    const double ref = m_positioningThisRun ? m_positioningRef : BaseValue(&setup, "REFTST");
    const double inc = m_positioningThisRun ? m_positioningRefInc : BaseValue(&setup, "RINCTST");
    std::string error;
    if (!SetUserVariableValue(&m_main, "RefTest", ToInt16Count(ref), error) ||
        !SetUserVariableValue(&m_main, "RIncTest", ToInt16Count(inc), error)) {
        Fail(error);
        return false;
    }
    if (!WriteLimits(m_main)) return false;

    const double amplitude = TG_FRound(BaseValue(&setup, m_spec.amplitudeParameter) * m_spec.amplitudeScale(setup));
    constexpr double kInt32Max = std::numeric_limits<std::int32_t>::max();
    if (!std::isfinite(amplitude) || std::fabs(amplitude) > kInt32Max) {
        Fail(kErrSlopeOverflow);
        return false;
    }
    const ProfileTimes times{BaseValue(&setup, m_spec.times[0]), BaseValue(&setup, m_spec.times[1]),
                             BaseValue(&setup, m_spec.times[2]), BaseValue(&setup, m_spec.times[3])};
    const ReferenceType type = HasSpeedTestReferenceType(setup)
                                   ? ToReferenceType(static_cast<int>(BaseValue(&setup, m_spec.referenceTypeParameter)))
                                   : ReferenceType::Positive;
    const ReferenceTable table = BuildReferenceTable(static_cast<std::int32_t>(amplitude), GetSpeedLoopPeriod(setup),
                                                     times, type, m_spec.rampRule);
    for (int i = 0; i < kProfileSegments; ++i) {
        const ProfileSegment& segment = table[static_cast<std::size_t>(i)];
        if (const auto refused = CheckSegment(segment)) {
            Fail(*refused);
            return false;
        }
        const std::string a = "a" + std::to_string(i);
        const std::string b = "b" + std::to_string(i);
        if (!SetUserVariableValue(&m_main, a.c_str(), segment.periods, error) ||
            !SetUserVariableValue(&m_main, b.c_str(), IncrementPerPeriod(segment), error)) {
            Fail(error);
            return false;
        }
    }
    const bool multi = MultiCycle();
    m_bStopHandledByTest = multi ? 1 : 0;
    if (!SetUserVariableValue(&m_main, "MultiC", multi ? 1.0 : 0.0, error)) {
        Fail(error);
        return false;
    }
    const bool online = OnlineMode();
    if (online && !m_scopeLogger) {
        // A sample per slow-loop period at most: more is no more of the drive, and a link as fast
        // as the in-process drive would otherwise fill memory with points while it runs.
        m_pollPeriod_s = SlowLoopPeriod_s(setup).value_or(0.0);
        m_polled.SetCapacity(m_pollPeriod_s > 0.0
                                 ? static_cast<std::size_t>(std::ceil(kStripChartSpan_s / m_pollPeriod_s))
                                 : kStripChartFallbackPoints);
        // The chart and the live values beside it in one unit: the one on show, else IU.
        const CMC_Variable* reference = setup.FindVariable(m_spec.referenceVariable, 1);
        const CMC_Variable* response = setup.FindVariable(m_spec.responseVariable, 1);
        if (reference && response)
            m_polled.SetItems({{"time", "s"},
                               {m_spec.referenceVariable, LiveValueUnit(*reference)},
                               {m_spec.responseVariable, LiveValueUnit(*response)}});
        m_polled.Clear();
        m_pollStart_s = CMC_Comm::DriveTime_s();
        m_lastPoll_s.reset();
    }
    if (online && m_scopeLogger) ArmScope(times, type);
    CMC_Logger* logger = online ? static_cast<CMC_Logger*>(m_scopeLogger.get()) : m_dataLogger.get();
    if (HasAbsoluteStartMinMove(setup)) Encode_ABSTART_MINMOVE(setup);
    if (!ExecuteCode(m_spec.mainProgram, &m_main, logger)) {
        Fail(msc_pszErrInternal);
        return false;
    }
    SetInfoText(m_spec.statusTexts[multi ? kMultiCycleText : kRunningText]);
    m_bStopRequest = 0;
    if (!Rearm(online && m_scopeLogger ? kScopePeriod_ms : kTestPollPeriod_ms)) return false;
    if (online) {
        m_scopeGraph.Invalidate();
        m_scopeGraph.RefreshGraph();
    }
    return true;
}

void CTuningRunDlg::SetScopeTrigger(const ProfileTimes& t, ReferenceType type) {
    constexpr int kRearming = 2;
    constexpr int kSingleShot = 4;
    // One profile: there and back (through zero and back for the bidirectional one), with a
    // ramp's worth of what follows.
    const double window_s = type == ReferenceType::Bidirectional
                                ? 2.0 * t.rampUp_s + t.firstPlateau_s + 2.0 * t.rampDown_s + t.secondPlateau_s
                                : t.rampUp_s + t.firstPlateau_s + t.rampDown_s + std::min(t.rampUp_s, t.rampDown_s);
    const double level = BaseValue(GetSetup(), m_spec.amplitudeParameter);
    m_scopeLogger->ChangeSettings(window_s, MultiCycle() ? kRearming : kSingleShot, level >= 0.0 ? 1 : 0,
                                  m_spec.referenceVariable, level, std::ceil(t.rampUp_s * kPercent / window_s));
}

void CTuningRunDlg::Running() {
    if (OnlineMode()) return m_scopeLogger ? RunOnlineScope() : RunOnlinePolling();
    std::string error;
    if (!MultiCycle()) {
        double started = 0.0;
        if (!GetUserVariableValue(&m_main, "STARTED", started, error)) return Fail(error);
        if (started == 0.0) {
            if (CheckDriveErrors(1, kMaskAllErrors)) Rearm(kTestPollPeriod_ms);
            return;
        }
        int axisOn = 0;
        if (!GetAxisOn(axisOn)) return Fail(CMC_Comm::GetLastErrorText());
        if (axisOn) {
            Rearm(kTestPollPeriod_ms);
            return;
        }
        SetInfoText(m_spec.statusTexts[kUploadText]);
        Rearm(kTestPollPeriod_ms);
        return;
    }
    if (m_bStopRequest == 0) {
        double flag = 0.0;
        if (!GetUserVariableValue(&m_main, "test_flag", flag, error)) {
            m_strError = error;
            m_bStopRequest = 1;
        } else if (flag == kNoValue || !std::isfinite(flag)) {
            m_strError = msc_pszErrInternal;
            m_bStopRequest = 1;
        } else if (flag <= 0.0) {
            m_strError = m_spec.statusTexts[kOverCurrentText];
            m_bStopRequest = 1;
        } else if (!CheckDriveErrors(0, kMaskRun)) {
            m_bStopRequest = 1;
        }
        Rearm(kTestPollPeriod_ms);
        return;
    }
    UpdateData(false);
    SetInfoText(m_spec.statusTexts[kUploadText]);
    Rearm(kScopePeriod_ms);
}

bool CTuningRunDlg::CheckTestFlag(int fail) {
    double flag = 0.0;
    std::string error;
    bool ok = true;
    if (!GetUserVariableValue(&m_main, "test_flag", flag, error)) {
        m_strError = error;
        ok = false;
    } else if (flag == kNoValue || !std::isfinite(flag)) {
        m_strError = msc_pszErrInternal;
        ok = false;
    } else if (flag <= 0.0) {
        m_strError = m_spec.statusTexts[kOverCurrentText];
        ok = false;
    }
    if (!ok && fail) TestFailed(1);
    return ok;
}

void CTuningRunDlg::UploadLog() {
    if (CheckDriveErrors(0, kMaskRun) && CheckTestFlag(0)) {
        m_bStopHandledByTest = 0;
    } else {
        m_bStopHandledByTest = 1;
    }
    m_bStopRequest = 0;
    // Uploaded whatever happened, so that the user sees it.
    if (!m_dataLogger || !m_dataLogger->BeginUploadData()) {
        // A protection that ends the program also empties its log: the trip is what the user must
        // read, not the log it cost.
        return Fail(m_bStopHandledByTest == 1 && !m_strError.empty() ? m_strError : UnexplainedEndText());
    }
    m_loggerGraph.DoZoomOut();
    while (m_dataLogger->ReadPoint()) {
        m_loggerGraph.UpdateLastPoint();
        KeepUiAlive();
        if (m_bStopHandledByTest == 1 && m_bStopRequest) break;
        if (!m_bRunning && m_bStopHandledByTest == 0) {
            m_dataLogger->EndUploadData();
            m_loggerGraph.DoZoomOut();
            return;
        }
    }
    m_dataLogger->EndUploadData();
    m_loggerGraph.DoZoomOut();
    if (CheckDriveErrors(1, kMaskRun) && CheckTestFlag(1)) {
        TestSucceeded(1);
        UpdateData(false);
    }
}

void CTuningRunDlg::RunOnlinePolling() {
    m_paused = false;
    EnableChild(IDC_TUNING_PAUSE, true);
    EnableChild(IDC_TUNING_CONTINUE, false);
    CMC_Variable* reference = GetSetup()->FindVariable(m_spec.referenceVariable, 1);
    CMC_Variable* response = GetSetup()->FindVariable(m_spec.responseVariable, 1);
    if (!reference || !response) return Fail(msc_pszErrInternal);
    while (m_bStopRequest == 0) {
        const double now_s = CMC_Comm::DriveTime_s();
        if (!m_paused && (!m_lastPoll_s || now_s - *m_lastPoll_s >= m_pollPeriod_s)) {
            m_lastPoll_s = now_s;
            if (!reference->ReadFromChip() || !response->ReadFromChip()) return Fail(msc_pszErrInternal);
            const std::array row = {CMC_Comm::DriveTime_s() - m_pollStart_s, LiveValue(*reference),
                                    LiveValue(*response)};
            m_polled.AddPoint(row);
            m_scopeGraph.UpdateLastPoint();
            ShowLiveValues(LiveValueText(*reference), LiveValueText(*response));
        }
        if (!CheckDriveErrors(1, kMaskRun) || !CheckTestFlag(1)) return;
        KeepUiAlive();
        // A run ended from outside the loop (the dialog closed) leaves nothing to wait for.
        if (!m_bRunning) return;
    }
    m_bStopRequest = 0;
    m_bStopHandledByTest = 0;
    TestSucceeded(1);
}

void CTuningRunDlg::RunOnlineScope() {
    CMC_ScopeLogger& scope = *m_scopeLogger;
    if (m_bStopRequest) return scope.EndUploadData();
    for (;;) {
        m_frameReceived = false;
        if (scope.DoGracefulStop()) {
            CMC_TestDlg::OnBtnStartStop();
            m_bStopRequest = 0;
            m_bStopHandledByTest = 0;
            if (CheckDriveErrors(1, kMaskRun) && CheckTestFlag(1)) TestSucceeded(1);
            ShowFrameStats();
            return scope.EndUploadData();
        }
        CMC_Comm::CheckForUnrequestedMessages(&CTuningRunDlg::OnScopeFrame);
        ShowFrameStats();
        if (!scope.UploadInProgress()) {
            // The drive closes the stream when its program ends: a trip is the reason to give.
            if (CheckDriveErrors(1, kMaskRun) && CheckTestFlag(1)) Fail(UnexplainedEndText());
            return scope.EndUploadData();
        }
        // While frames arrive the drive is alive; only a silent drive is asked why.
        if (!m_frameReceived && (!CheckDriveErrors(1, kMaskRun) || !CheckTestFlag(1))) return scope.EndUploadData();
        KeepUiAlive();
        if (m_bStopRequest || !m_bRunning) return scope.EndUploadData();
    }
}

double LiveValue(const CMC_Variable& variable) {
    return variable.HasSelectedUnit() ? variable.GetValueShown() : variable.GetValueInInternalUnit();
}

std::string LiveValueUnit(const CMC_Variable& variable) {
    return variable.HasSelectedUnit() ? variable.GetUnitName() : "IU";
}

std::string LiveValueText(const CMC_Variable& variable) {
    if (variable.HasSelectedUnit()) return variable.PrintValue();
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, variable.GetValueInInternalUnit()).ptr;
    return std::string(buffer, end) + " IU";
}

void CTuningRunDlg::ShowFrameStats() {
    if (m_scopeLogger && GetControl(IDC_TUNING_FRAME_STATS))
        SetChildText(IDC_TUNING_FRAME_STATS, FrameStatsText(m_scopeLogger->GetFrameStats()));
}

void CTuningRunDlg::OnScopeFrame(const std::uint8_t* frame, std::size_t bytes) {
    constexpr std::size_t kHeaderBytes = 6;
    CTuningRunDlg* dialog = g_activeScopeDialog;
    if (!dialog || !dialog->m_scopeLogger || !frame || bytes < kHeaderBytes) return;
    const auto word = [&](std::size_t at) { return static_cast<std::uint16_t>(frame[at] | (frame[at + 1] << 8)); };
    if (word(4) != CMC_ScopeLogger::kScopeMessageCode) return;
    // The length the frame claims may exceed what arrived: the logger gets only what is there,
    // and counts a short payload as malformed.
    const std::size_t payload = std::min<std::size_t>(static_cast<std::size_t>(word(0)) * 2, bytes - kHeaderBytes);
    if (dialog->m_scopeLogger->OnFrameReceive(frame + kHeaderBytes, payload) <= 0) return;
    dialog->m_frameReceived = true;
    int first = 0, count = 0;
    if (!dialog->m_scopeLogger->GetPointsToBeDrawn(first, count)) return;
    const int points = std::max(1, dialog->m_scopeLogger->GetPointsNo());
    for (int k = 0, index = first; k < count; ++k) {
        dialog->m_scopeGraph.UpdatePoint(static_cast<std::size_t>(index));
        index = (index + 1) % points;
        if (index == 0) dialog->m_scopeGraph.UpdateWindow();
    }
}

void CTuningRunDlg::OnBtnStartStop() {
    if (m_bRunning && OnlineMode() && m_scopeLogger && m_scopeLogger->UploadInProgress()) {
        m_scopeLogger->EndUploadData();
        if (m_scopeLogger->UploadInProgress()) return;
        m_bStopHandledByTest = 0;
        m_bStopRequest = 1;
    }
    CMyTestDlg::OnBtnStartStop();
}

void CTuningRunDlg::OnCommand(int id) {
    CMyTestDlg::OnCommand(id);
    if (id != IDC_TUNING_PAUSE && id != IDC_TUNING_CONTINUE) return;
    m_paused = id == IDC_TUNING_PAUSE;
    EnableChild(IDC_TUNING_PAUSE, !m_paused);
    EnableChild(IDC_TUNING_CONTINUE, m_paused);
}

}  // namespace pelmora
