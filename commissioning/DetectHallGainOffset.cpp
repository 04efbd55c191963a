#include "DetectHallGainOffset.h"

#include "HallOffsetForm.h"
#include "MC_Comm.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <string>

namespace pelmora {

namespace {

constexpr const char* kProgram = "Detect_Hall_Gain_Offset_Test";
constexpr std::array kStatusTexts = {
    "Launching code for the preliminary test",
    "Running the preliminary test",
    "Launching code for the Hall configuration detection test",
    "Running the test",
    "Computing data",
};

enum Step : std::uint16_t { kPositioningStep = 2, kLaunchStep = 3, kAcquisitionStep = 4, kResultStep = 5 };

// What the drive reports in "WEAKINC" while and after it measures.
constexpr double kStatusRunning = 0.0;
constexpr double kStatusHallMissing = -1.0;
constexpr double kStatusWrongDirection = -2.0;

constexpr const char* kHallMissingText =
    "One Linear Hall signal is missing.\nPlease check the Hall signals connections to the drive and repeat the test. "
    "If the test fails and the connections are OK, increase the test current value.";
constexpr const char* kWrongDirectionText = "Switch any two motor phases or two Linear Hall signals.";

// The boxes beside the traces are rewritten every this many samples: often enough to read,
// rarely enough not to slow the acquisition.
constexpr std::size_t kSamplesPerValueShown = 10;

constexpr double kTraceLow_V = -1.0;
constexpr double kTraceHigh_V = 6.0;

struct Channel {
    int trace;
    int valueBox;
    int picture;
    const char* pictureName;
    int color;  // in the host's 16-colour palette
    const char* name;
};
constexpr std::array kChannels = {
    Channel{IDC_HALL_TRACE_1, IDC_HALL_VALUE_1, IDC_HALL_PICTURE_1, kPictureLinHall1, 4, "Lin Hall 1"},
    Channel{IDC_HALL_TRACE_2, IDC_HALL_VALUE_2, IDC_HALL_PICTURE_2, kPictureLinHall2, 1, "Lin Hall 2"},
    Channel{IDC_HALL_TRACE_3, IDC_HALL_VALUE_3, IDC_HALL_PICTURE_3, kPictureLinHall3, 16, "Lin Hall 3"},
};

// Drive variable, then the setup parameter it calibrates.
struct Result {
    const char* variable;
    const char* parameter;
};
constexpr std::array kResults = {
    Result{"ALPHA", "ALPHA"},        Result{"KSLIP", "HALLCGAIN"},     Result{"SFTCWEAK", "HALLCOFF"},
    Result{"AD3OFF", "HALLBOFF"},    Result{"AD6OFF", "HALLAOFF"},     Result{"SRECTCOMP", "HALLAGAIN"},
    Result{"SIN2REC", "HALLBGAIN"},  Result{"ZAOFF", "ZAOFF"},
};

std::string FormatVolts(double value_V) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2g", value_V);
    return text.data();
}

}  // namespace

CDetectHallGainOffset::CDetectHallGainOffset(CMC_Setup* setup, int flag)
    : CMyTestDlg(setup, kHallOffsetForm, kHallOffsetTemplate, flag, kHelpTopic) {
    m_nStepCount = static_cast<std::int16_t>(kStatusTexts.size());
    AddParameterControls("TestCurrent", IDC_HALL_TEST_CURRENT, IDC_HALL_TEST_CURRENT_UNIT);
    m_bStopHandledByTest = 0;
}

bool CDetectHallGainOffset::OnInitDialog() {
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        SetPicture(kChannels[i].picture, kChannels[i].pictureName);
        m_traces[i].SubclassDlgItem(kChannels[i].trace, this);
    }
    CMyTestDlg::OnInitDialog();
    ShowChild(IDC_TEST_DETAILS, false);
    LoadProgram(m_program, kProgram);
    LoadPositioningProgram();
    return true;
}

void CDetectHallGainOffset::BeginTest() {
    CMyTestDlg::BeginTest();
    ShowStepText(kStatusTexts.data());
    if (!StartPositioning()) return;
    ShowStepText(kStatusTexts.data());
    StartPollTimer();
}

void CDetectHallGainOffset::OnTimer(int timerId) {
    KillTimer(kTestTimerId);
    if (timerId != kTestTimerId || !m_bRunning) return CMyTestDlg::OnTimer(timerId);
    switch (m_nStep) {
    case kPositioningStep:
        // The Hall test rejects only a zero current: the drive's sign is of no concern here.
        if (!Finished(PollPositioning(true))) return;
        ShowStepText(kStatusTexts.data());
        [[fallthrough]];
    case kLaunchStep:
        if (!LaunchMainProgram()) return;
        StartPollTimer();
        return;
    case kAcquisitionStep: {
        const std::optional<double> status = Acquire();
        if (!status) return;
        // A protection that trips ends the program with a failure status too; the trip, not a
        // guess at the sensors, is then the cause to name.
        const bool failedByDrive = *status == kStatusHallMissing || *status == kStatusWrongDirection;
        if (failedByDrive && !CheckDriveErrors(1, kMaskShortCircuitEnable)) return;
        if (*status == kStatusHallMissing) return Fail(kHallMissingText);
        if (*status == kStatusWrongDirection) return Fail(kWrongDirectionText);
        if (*status == kStatusRunning) {
            // Stopped before the drive finished: what it holds is the old calibration or half a
            // measurement, so nothing is stored and the run ends as the host's Stop ends one.
            m_bStopHandledByTest = 0;
            return OnBtnStartStop();
        }
        ShowStepText(kStatusTexts.data());
        [[fallthrough]];
    }
    case kResultStep: return StoreResults();
    default: return Fail(msc_pszErrInternal);
    }
}

bool CDetectHallGainOffset::LaunchMainProgram() {
    std::string error;
    if (!HandPositioningTo(m_program)) return false;
    if (!SetUserVariableValue(&m_program, "run_test", 1.0, error)) {
        Fail(error);
        return false;
    }
    if (!ExecuteCode(kProgram, &m_program, nullptr)) {
        Fail(msc_pszErrInternal);
        return false;
    }
    ShowStepText(kStatusTexts.data());
    for (std::size_t i = 0; i < kChannels.size(); ++i) {
        m_traces[i].SetColor(RGB16(kChannels[i].color));
        m_traces[i].Initialize(kChannels[i].name, "V");
        m_traces[i].SetVerticalRange(kTraceLow_V, kTraceHigh_V);
        SetChildText(kChannels[i].valueBox, "");
    }
    return true;
}

const char* CDetectHallGainOffset::ThirdHallSignal() const {
    // Older controllers wire the third Hall sensor to another converter input.
    return GetSetup()->GetMCVersion() >= 3 ? "AD9" : "AD8";
}

std::optional<double> CDetectHallGainOffset::Acquire() {
    m_samples = 0;
    if (!CheckDriveErrors(1, kMaskShortCircuitEnable)) return std::nullopt;
    CMC_Setup& setup = *GetSetup();
    const std::array<CMC_Variable*, 3> halls = {setup.FindVariable("AD6", 1), setup.FindVariable("AD3", 1),
                                                setup.FindVariable(ThirdHallSignal(), 1)};
    CMC_Variable* status = setup.FindVariable("WEAKINC", 1);
    if (!halls[0] || !halls[1] || !halls[2] || !status) {
        Fail(msc_pszErrInternal);
        return std::nullopt;
    }
    if (!halls[0]->ReadFromChip()) {
        Fail(CMC_Comm::GetLastErrorText());
        return std::nullopt;
    }
    m_acquisitionStart_s = GetUiBackend().Now_s();
    double drive_status = kStatusRunning;
    std::size_t sinceShown = 0;
    bool failed = false;
    m_bStopHandledByTest = 1;
    // A Close pressed while the interface is kept alive ends the run: the loop must not outlive it.
    while (!m_bStopRequest && m_bRunning) {
        if (!CheckDriveErrors(1, kMaskShortCircuitEnable)) {
            failed = true;
            break;
        }
        bool read = true;
        for (CMC_Variable* hall : halls) read = read && hall->ReadFromChip();
        read = read && status->ReadFromChip();
        if (!read) {
            Fail(CMC_Comm::GetLastErrorText());
            failed = true;
            break;
        }
        const double time_s = GetUiBackend().Now_s() - m_acquisitionStart_s;
        std::array<double, 3> volts{};
        for (std::size_t i = 0; i < halls.size(); ++i) {
            volts[i] = halls[i]->GetValueInInternalUnit() / kHallCountsPerVolt;
            m_traces[i].SetCurrentValue(time_s, volts[i]);
        }
        for (CLiveTrace& trace : m_traces) trace.UpdateLastPoint();
        ++m_samples;
        if (++sinceShown == kSamplesPerValueShown) {
            for (std::size_t i = 0; i < halls.size(); ++i) SetChildText(kChannels[i].valueBox, FormatVolts(volts[i]));
            NotifyChanged();
            sinceShown = 0;
        }
        KeepUiAlive();
        drive_status = status->GetValueInInternalUnit();
        if (drive_status != kStatusRunning) break;
    }
    m_bStopHandledByTest = 0;
    if (failed || !m_bRunning) return std::nullopt;
    std::string error;
    if (!SetUserVariableValue(&m_program, "run_test", 0.0, error)) {
        Fail(error);
        return std::nullopt;
    }
    return drive_status;
}

void CDetectHallGainOffset::StoreResults() {
    if (!CheckDriveErrors(1, kMaskShortCircuitEnable)) return;
    CMC_Setup& setup = *GetSetup();
    // All eight are read before any is stored: half a calibration from a run that failed on the
    // way would leave sensors whose offsets and gains belong to different measurements.
    std::array<double, kResults.size()> values{};
    std::array<CMC_Parameter*, kResults.size()> parameters{};
    for (std::size_t i = 0; i < kResults.size(); ++i) {
        parameters[i] = setup.FindParameter(kResults[i].parameter);
        if (!parameters[i]) return Fail(msc_pszErrInternal);
        CMC_Variable* variable = setup.FindVariable(kResults[i].variable, 1);
        if (!variable) return Fail(msc_pszErrInternal);
        if (!variable->ReadFromChip()) return Fail(CMC_Comm::GetLastErrorText());
        values[i] = variable->GetValueInInternalUnit();
        if (!std::isfinite(values[i]) || values[i] < parameters[i]->GetMinInBaseUnit() ||
            values[i] > parameters[i]->GetMaxInBaseUnit())
            return Fail("The drive measured " + std::string(kResults[i].variable) + " = " +
                        CMC_EditSetupDlg::FormatValue(values[i]) + ", which \"" + kResults[i].parameter +
                        "\" cannot hold. Check the Hall sensors and repeat the test.");
    }
    for (std::size_t i = 0; i < kResults.size(); ++i) parameters[i]->SetValueInBaseUnit(values[i]);
    TestSucceeded(1);
}

void CDetectHallGainOffset::OnCancel() {
    CMyTestDlg::OnOK();
    if (IsOpen()) EndDialog(IDOK);
}

}  // namespace pelmora
