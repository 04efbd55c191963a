// The run the speed and position tuning tests share: positioning (unless the start mode makes it
// unnecessary), the main program playing the reference profile once or cycle after cycle, and
// the reference against the response shown live (polled, or streamed by the scope) or uploaded
// from the data logger after the run.
#pragma once

#include "MyTestDlg.h"
#include "TuningProfile.h"

#include "MC_Comm.h"
#include "MC_Graph.h"
#include "MC_Loggers.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace pelmora {

// What one tuning test plugs into the run.
struct TuningRunSpec {
    const char* mainProgram;
    const char* amplitudeParameter;
    double (*amplitudeScale)(const CMC_Setup&);
    std::array<const char*, 4> times;  // ramp up, first plateau, ramp down, second plateau
    const char* referenceTypeParameter;
    const char* plotModeParameter;   // 0 data logger, 1 on-line plot
    const char* multiCycleParameter; // non-zero: repeat until Stop
    const char* referenceVariable;   // polled, and the scope's trigger
    const char* responseVariable;
    std::array<const char*, 4> logged;
    RampRule rampRule;
    const char* const* statusTexts;  // eight entries, 7 the procedure
};

// Controls the run uses where the form has them.
inline constexpr int IDC_TUNING_LOGGER_GRAPH = 1361;
inline constexpr int IDC_TUNING_SCOPE_GRAPH = 1362;
inline constexpr int IDC_TUNING_PAUSE = 10016;
inline constexpr int IDC_TUNING_CONTINUE = 10017;
// The scope's frame counts, as a line of text.
inline constexpr int IDC_TUNING_FRAME_STATS = 1370;

// Status texts 0 to 6, the same for every tuning test.
inline constexpr std::array<const char*, 7> kTuningStatusTexts = {
    "Launching the application for preliminary test",
    "Waiting preliminary test to be finished",
    "Launching the application for test",
    "Running test",
    "Uploading results",
    "Test running. Press \"Stop\" to end the test",
    "Test failed!\nCurrent protection triggered during test!",
};

// Palette indices of the plotted variables in their logged order (reference, response, current
// reference, motor current). The polled chart and the legend squares beside the live values use
// the first two.
inline constexpr std::array<int, 4> kCurveColours = {2, 5, 8, 9};
inline constexpr int kReferenceCurveColour = kCurveColours[0];
inline constexpr int kResponseCurveColour = kCurveColours[1];

// What a live value shows: the value in the unit on show, or in internal units ("IU") while
// none has been chosen.
std::string LiveValueText(const CMC_Variable& variable);
// The same as a number and the unit's name, for the strip chart beside it.
double LiveValue(const CMC_Variable& variable);
std::string LiveValueUnit(const CMC_Variable& variable);

// A frame-count line: "frames 12, lost 1, repeated 0, malformed 2, late 0, stray 0".
std::string FrameStatsText(const CMC_ScopeLogger::FrameStats& stats);

class CTuningRunDlg : public CMyTestDlg {
public:
    CTuningRunDlg(CMC_Setup* setup, const FormTemplate& form, int templateId, int flag, int helpTopic,
                  const TuningRunSpec& spec);
    ~CTuningRunDlg() override;

    bool OnInitDialog() override;
    void BeginTest() override;
    void OnTimer(int timerId) override;
    void OnBtnStartStop() override;
    void OnCommand(int id) override;

    const CGraphWindow& GetLoggerGraph() const { return m_loggerGraph; }
    const CGraphWindow& GetScopeGraph() const { return m_scopeGraph; }
    const CMC_SingleAxisLogger* GetDataLogger() const { return m_dataLogger.get(); }
    const CMC_ScopeLogger* GetScopeLogger() const { return m_scopeLogger.get(); }
    // The live chart of the polled run: time, reference, response (internal units).
    const CGraphDocument& GetPolledChart() const { return m_polled; }

protected:
    // The test's own writes into the main program before it starts (current limits and the like);
    // false when the test has been failed.
    virtual bool WriteLimits(CMC_CoffFormat& program) = 0;
    // Writes a setup current in counts, truncated to what the program's 16-bit variable takes;
    // fails the test (false) for a value beyond it or a refused write.
    bool WriteCurrentCounts(CMC_CoffFormat& program, const char* parameter, const char* variable);
    // Sets the scope's window and trigger for the run about to start (on-line with a scope).
    virtual void ArmScope(const ProfileTimes& times, ReferenceType type) { SetScopeTrigger(times, type); }
    // The reference and response the polled run has just read, as texts for the dialog's live
    // values.
    virtual void ShowLiveValues(const std::string& /*reference*/, const std::string& /*response*/) {}

    CMC_ScopeLogger* Scope() { return m_scopeLogger.get(); }
    CMC_SingleAxisLogger* Logger() { return m_dataLogger.get(); }
    CGraphWindow& LoggerGraph() { return m_loggerGraph; }
    CGraphWindow& ScopeGraph() { return m_scopeGraph; }

    CMC_CoffFormat m_main;

private:
    bool OnlineMode() const;
    bool MultiCycle() const;
    bool LaunchMain();
    void Running();
    void UploadLog();
    void RunOnlinePolling();
    void RunOnlineScope();
    bool CheckTestFlag(int fail);
    bool Rearm(int period_ms);
    void ShowFrameStats();
    // The scope's window and trigger from the profile: a window per profile, armed on the
    // reference crossing the amplitude.
    void SetScopeTrigger(const ProfileTimes& times, ReferenceType type);
    static void OnScopeFrame(const std::uint8_t* frame, std::size_t bytes);

    const TuningRunSpec& m_spec;
    bool m_positioningThisRun = false;
    std::unique_ptr<CMC_SingleAxisLogger> m_dataLogger;
    std::unique_ptr<CMC_ScopeLogger> m_scopeLogger;
    CMC_Comm::UnsolicitedMsgHandler m_previousHandler = nullptr;
    bool m_handlerRegistered = false;
    bool m_frameReceived = false;
    bool m_paused = false;
    CGraphWindow m_loggerGraph{2, 0};
    CGraphWindow m_scopeGraph{4, 0};
    CGraphDocument m_polled;
    double m_pollStart_s = 0.0;
    double m_pollPeriod_s = 0.0;
    std::optional<double> m_lastPoll_s;
};

}  // namespace pelmora
