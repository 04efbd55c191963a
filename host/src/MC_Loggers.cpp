#include "MC_Loggers.h"

#include "MC_CoffFormat.h"
#include "MC_Comm.h"
#include "MC_ScopeSettingsDlg.h"
#include "MC_Setup.h"
#include "MC_SetupFile.h"
#include "MC_Units.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace {

constexpr int kSlowLoopLog = 1;
constexpr int kFastLoopLog = 2;

std::optional<double> LoopPeriod_s(const CMC_Setup& setup, const char* divider) {
    CMC_QuietErrors quiet;
    const CMC_Parameter* periods = setup.FindParameter(divider);
    const CMC_Parameter* pwm = setup.FindParameter("PWMPER");
    const CMC_Parameter* clock = setup.FindParameter("DSP_freq");
    if (!periods || !pwm || !clock) return std::nullopt;
    // Centre-aligned PWM counts up and down: a PWM period is 2·PWMPER clock ticks.
    const double period_s =
        2.0 * periods->GetValueInBaseUnit() * pwm->GetValueInBaseUnit() / clock->GetValueInBaseUnit();
    if (!std::isfinite(period_s) || period_s <= 0.0) return std::nullopt;
    return period_s;
}

// A scope frame's payload: sequence number and record count, then the records' int32 values.
constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kValueBytes = 4;

std::uint16_t U16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::int32_t I32(const std::uint8_t* bytes) {
    const std::uint32_t u = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                            (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    std::int32_t value;
    std::memcpy(&value, &u, sizeof value);
    return value;
}

constexpr std::string_view kChannelsKey = "channels";

std::string_view FieldKey(CMC_ScopeLogger::SettingsField field) {
    using F = CMC_ScopeLogger::SettingsField;
    switch (field) {
    case F::Window: return "window_s";
    case F::Mode: return "mode";
    case F::Slope: return "slope";
    case F::Trigger: return "trigger";
    case F::Level: return "level";
    case F::Pretrigger: return "pretrigger_pct";
    case F::ChannelName: return "name";
    case F::ChannelStep: return "step";
    case F::ChannelOffset: return "offset";
    }
    return "";
}

// Where a fault sits in the JSON text: "window_s", "channels[2].step".
std::string FieldPath(const CMC_ScopeLogger::SettingsFault& fault) {
    const std::string key(FieldKey(fault.field));
    if (fault.channel < 0) return key;
    return std::string(kChannelsKey) + "[" + std::to_string(fault.channel) + "]." + key;
}

}  // namespace

std::optional<double> SlowLoopPeriod_s(const CMC_Setup& setup) { return LoopPeriod_s(setup, "SLPER"); }
std::optional<double> FastLoopPeriod_s(const CMC_Setup& setup) { return LoopPeriod_s(setup, "CLPER"); }

// ---------------------------------------------------------------------------------------------
// Common

CMC_Logger::CMC_Logger(CMC_Setup* setup, CMC_CoffFormat* program) : m_setup(setup), m_program(program) {
    UpdateGraphItems();
}

void CMC_Logger::UpdateGraphItems() {
    std::vector<CGraphItem> items{{"Time", "s"}};
    for (const Item& item : m_items) {
        const CMC_Variable* variable = m_setup ? m_setup->FindVariable(item.name, 1) : nullptr;
        std::string unit;
        if (item.inUnits && variable && variable->HasInternalScale())
            unit = CMC_Units::Instance().BaseUnit(variable->GetUnitType()).GetName();
        items.push_back({item.name, unit});
    }
    m_document.SetItems(std::move(items));
}

void CMC_Logger::AddGraphPoint(double time_s, const std::vector<double>& internal) {
    std::vector<double> row{time_s};
    for (std::size_t i = 0; i < m_items.size() && i < internal.size(); ++i) {
        double shown = internal[i];
        const CMC_Variable* variable = m_items[i].inUnits && m_setup ? m_setup->FindVariable(m_items[i].name, 1) : nullptr;
        if (variable && variable->HasInternalScale() && !variable->InternalToBase(internal[i], shown)) shown = internal[i];
        row.push_back(shown);
    }
    m_document.AddPoint(row);
}

bool CMC_Logger::Fail(std::string message) {
    m_error = std::move(message);
    return false;
}

int CMC_Logger::AddVariable(const char* name, int inUnits) {
    const std::string variable = name ? name : "";
    if (!m_setup || !m_setup->FindVariable(variable, 1)) {
        Fail("the setup declares no drive variable \"" + variable + "\"");
        return 0;
    }
    for (const Item& item : m_items) {
        if (EqualsNoCase(item.name, variable)) {
            Fail("\"" + variable + "\" is recorded already");
            return 0;
        }
    }
    m_items.push_back({m_setup->FindVariable(variable, 1)->GetName(), inUnits});
    UpdateGraphItems();
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Data logger

CMC_SingleAxisLogger::CMC_SingleAxisLogger(CMC_Setup* setup, CMC_CoffFormat* program) : CMC_Logger(setup, program) {}

int CMC_SingleAxisLogger::ChangeSettings(int points, int type, int divider) {
    if (points < 1 || (type != kSlowLoopLog && type != kFastLoopLog) || divider < 1) {
        Fail("a log needs at least one point, type 1 or 2 and a divider of at least 1");
        return 0;
    }
    m_points = points;
    m_type = type;
    m_divider = divider;
    return 1;
}

int CMC_SingleAxisLogger::CorrectPointsNo() {
    const int perPoint = std::max(1, GetVariablesNo());
    m_points = std::clamp(m_points, 1, kMemoryValues / perPoint);
    return m_points;
}

bool CMC_SingleAxisLogger::Arm(std::uint64_t run, std::optional<drivesim::LoggerSettings>& logger,
                               std::optional<drivesim::ScopeSettings>&, std::string& error) {
    if (m_items.empty()) {
        error = "the data logger has no variables";
        return Fail(error);
    }
    EndUploadData();
    drivesim::LoggerSettings settings;
    // More than the memory holds would be cut by the drive anyway; say so in the count.
    settings.points = std::min(m_points, kMemoryValues / GetVariablesNo());
    settings.sample_kind = m_type;
    settings.divider = m_divider;
    for (const Item& item : m_items) settings.variables.push_back(item.name);
    logger = std::move(settings);
    m_armedRun = run;
    return true;
}

int CMC_SingleAxisLogger::BeginUploadData() {
    EndUploadData();
    if (m_armedRun == 0 || m_armedRun != CMC_ProgramRunner::RunNumber()) {
        Fail("the last program start did not arm this logger");
        CMC_Comm::SetLastErrorText("Log upload: " + m_error);
        return 0;
    }
    drivesim::Request upload;
    upload.op = drivesim::Op::UploadLog;
    const double values = static_cast<double>(m_points) * static_cast<double>(GetVariablesNo());
    const drivesim::Response response = CMC_Comm::Transact(upload, kTransactionCost_s + kUploadCostPerValue_s * values);
    if (!response.ok()) {
        Fail(CMC_Comm::GetLastErrorText());
        return 0;
    }
    if (response.log.empty()) {
        Fail("the drive's log holds no record");
        CMC_Comm::SetLastErrorText("Log upload: " + m_error);
        return 0;
    }
    for (const drivesim::LogRecord& record : response.log) {
        const bool finite = std::isfinite(record.time_s) &&
                            std::all_of(record.values.begin(), record.values.end(), [](double v) { return std::isfinite(v); });
        if (record.values.size() != m_items.size() || !finite) {
            Fail("the drive's log holds a malformed record");
            CMC_Comm::SetLastErrorText("Log upload: " + m_error);
            return 0;
        }
    }
    m_records = response.log;
    m_next = 0;
    m_uploading = true;
    m_document.Clear();
    return 1;
}

int CMC_SingleAxisLogger::ReadPoint(double* record) {
    if (!m_uploading || m_next >= m_records.size()) return 0;
    const drivesim::LogRecord& r = m_records[m_next++];
    AddGraphPoint(r.time_s, r.values);
    if (record) {
        record[0] = r.time_s;
        std::copy(r.values.begin(), r.values.end(), record + 1);
    }
    return 1;
}

void CMC_SingleAxisLogger::EndUploadData() {
    m_records.clear();
    m_records.shrink_to_fit();
    m_next = 0;
    m_uploading = false;
}

// ---------------------------------------------------------------------------------------------
// Scope

CMC_ScopeLogger::CMC_ScopeLogger(CMC_Setup* setup, CMC_CoffFormat* program) : CMC_Logger(setup, program) {}

std::optional<CMC_ScopeLogger::WindowFit> CMC_ScopeLogger::FitWindow(double window_s, int mode,
                                                                     const std::string& trigger, double level,
                                                                     double pretrigger_pct,
                                                                     SettingsFault& fault) const {
    auto refuse = [&](SettingsField field, std::string why) {
        fault = {field, -1, std::move(why)};
        return std::nullopt;
    };
    if (!std::isfinite(window_s) || window_s <= 0.0) return refuse(SettingsField::Window, "must be a positive time");
    const bool knownMode = mode == static_cast<int>(Mode::FreeRunning) || mode == static_cast<int>(Mode::Rearming) ||
                           mode == static_cast<int>(Mode::SingleShot);
    if (!knownMode) return refuse(SettingsField::Mode, "must be 1 (free running), 2 (rearming) or 4 (single shot)");
    if (!std::isfinite(level)) return refuse(SettingsField::Level, "must be a finite number");
    if (!std::isfinite(pretrigger_pct) || pretrigger_pct < 0.0 || pretrigger_pct > 100.0)
        return refuse(SettingsField::Pretrigger, "must lie between 0 and 100 %");
    if (static_cast<Mode>(mode) != Mode::FreeRunning && (!m_setup || !m_setup->FindVariable(trigger, 1))) {
        return refuse(SettingsField::Trigger, trigger.empty()
                                                  ? "a triggered mode needs one"
                                                  : "\"" + trigger + "\" is not a drive variable of the setup");
    }
    const auto slow_s = m_setup ? SlowLoopPeriod_s(*m_setup) : std::nullopt;
    if (!slow_s) return refuse(SettingsField::Window, "the setup gives no slow-loop period (SLPER, PWMPER, DSP_freq)");
    const double every = std::max(1.0, std::ceil(window_s / (kMaxWindowSamples * *slow_s)));
    const double points = std::round(window_s / (every * *slow_s));
    if (points < 1.0 || every > 65535.0) return refuse(SettingsField::Window, "too short or too long for the slow loop");
    return WindowFit{static_cast<int>(every), every * *slow_s, static_cast<int>(points)};
}

int CMC_ScopeLogger::ChangeSettings(double window_s, int mode, int slope, const char* triggerVariable, double level,
                                    double pretrigger_pct) {
    const std::string trigger = triggerVariable ? triggerVariable : "";
    SettingsFault fault{};
    const auto fit = FitWindow(window_s, mode, trigger, level, pretrigger_pct, fault);
    if (!fit) {
        Fail(FieldPath(fault) + ": " + fault.why);
        return 0;
    }
    m_window_s = window_s;
    m_mode = static_cast<Mode>(mode);
    m_slope = slope;
    m_trigger = m_mode == Mode::FreeRunning ? std::string() : m_setup->FindVariable(trigger, 1)->GetName();
    m_level = level;
    m_pretrigger_pct = pretrigger_pct;
    m_every = fit->every;
    m_period_s = fit->period_s;
    m_points = fit->points;
    return 1;
}

bool CMC_ScopeLogger::Arm(std::uint64_t run, std::optional<drivesim::LoggerSettings>&,
                          std::optional<drivesim::ScopeSettings>& scope, std::string& error) {
    if (m_items.empty() || m_points < 1) {
        error = m_items.empty() ? "the scope has no variables" : "the scope has no window (ChangeSettings)";
        return Fail(error);
    }
    m_streamed.clear();
    for (const Item& item : m_items) m_streamed.push_back(item.name);
    m_triggerColumn = -1;
    if (!m_trigger.empty()) {
        const auto it = std::find_if(m_streamed.begin(), m_streamed.end(),
                                     [&](const std::string& name) { return EqualsNoCase(name, m_trigger); });
        if (it == m_streamed.end()) m_streamed.push_back(m_trigger);
        m_triggerColumn = static_cast<int>(std::find_if(m_streamed.begin(), m_streamed.end(),
                                                        [&](const std::string& name) { return EqualsNoCase(name, m_trigger); }) -
                                           m_streamed.begin());
    }
    scope = drivesim::ScopeSettings{m_streamed, m_every};

    m_sequence.Reset();
    m_heldFrame.clear();
    m_sampleIndex = 0;
    m_previousTrigger.reset();
    m_triggerTime_s = 0.0;
    m_history.clear();
    m_document.SetCapacity(static_cast<std::size_t>(m_points));
    m_ring.assign(static_cast<std::size_t>(m_points), Sample{});
    m_filled.assign(static_cast<std::size_t>(m_points), false);
    m_write = 0;
    m_inWindow = 0;
    m_drawFirst = 0;
    m_drawCount = 0;
    m_phase = m_mode == Mode::FreeRunning ? Phase::Recording : Phase::Armed;
    m_uploading = true;
    m_finished = false;
    m_stats = {};
    m_reading = false;
    m_armedRun = run;
    return true;
}

CMC_ScopeLogger::FrameSequence::Verdict CMC_ScopeLogger::FrameSequence::Next(std::uint16_t sequence,
                                                                             FrameStats& stats) {
    if (!m_last) {
        Advance(sequence, stats);
        return Verdict::Take;
    }
    if (m_held) {
        const auto afterHeld = static_cast<std::uint16_t>(sequence - *m_held);
        if (afterHeld == 0) {
            ++stats.repeated;
            return Verdict::Repeated;
        }
        if (afterHeld <= kTrustedGap) {
            // The stream did move there: what it skipped is lost. Far backward, the numbering
            // started again, which tells nothing of what was lost.
            const auto jump = static_cast<std::uint16_t>(*m_held - *m_last);
            if (jump < 0x8000) {
                Advance(*m_held, stats);
            } else {
                m_last = *m_held;
                m_seen = 1;
                m_skipped = 0;
            }
            m_held.reset();
            Advance(sequence, stats);
            return Verdict::TakeHeldFirst;
        }
    }
    const auto ahead = static_cast<std::uint16_t>(sequence - *m_last);
    if (ahead == 0) {
        ++stats.repeated;
        return Verdict::Repeated;
    }
    const auto behind = static_cast<std::uint16_t>(*m_last - sequence);
    if (behind < kHistory) {
        const std::uint64_t bit = std::uint64_t{1} << behind;
        if (m_seen & bit) {
            ++stats.repeated;
            return Verdict::Repeated;
        }
        // It came after all, but too late to be placed; a gap had counted it lost.
        m_seen |= bit;
        if (m_skipped & bit) {
            m_skipped &= ~bit;
            --stats.lost;
        }
        ++stats.late;
        return Verdict::Late;
    }
    // A frame that moves the stream on settles a held one: it did not follow it.
    if (m_held) {
        ++stats.stray;
        m_held.reset();
    }
    if (ahead == 1) {
        Advance(sequence, stats);
        return Verdict::Take;
    }
    m_held = sequence;
    return Verdict::Hold;
}

void CMC_ScopeLogger::FrameSequence::Advance(std::uint16_t sequence, FrameStats& stats) {
    if (m_last) {
        const auto ahead = static_cast<std::uint16_t>(sequence - *m_last);
        stats.lost += ahead - 1U;
        // Bits 1 … ahead − 1: the numbers the gap skipped.
        const std::uint64_t gap =
            ahead < kHistory ? ((std::uint64_t{1} << ahead) - 1U) & ~std::uint64_t{1} : ~std::uint64_t{1};
        m_seen = ahead < kHistory ? (m_seen << ahead) | 1U : 1U;
        m_skipped = (ahead < kHistory ? m_skipped << ahead : 0U) | gap;
    } else {
        m_seen = 1;
        m_skipped = 0;
    }
    m_last = sequence;
}

bool CMC_ScopeLogger::Crossed(double previous, double current) const {
    return m_slope != 0 ? previous < m_level && current >= m_level : previous > m_level && current <= m_level;
}

int CMC_ScopeLogger::OnFrameReceive(const std::uint8_t* payload, std::size_t bytes) {
    if (!m_uploading) return 0;
    if (!payload || bytes < kHeaderBytes) {
        ++m_stats.malformed;
        return -1;
    }
    const std::uint16_t sequence = U16(payload);
    const std::size_t records = U16(payload + 2);
    const std::size_t columns = m_streamed.size();
    if (bytes != kHeaderBytes + kValueBytes * columns * records) {
        ++m_stats.malformed;
        return -1;
    }
    if (records == 0) {
        // The end frame ends the recording whatever its number: nothing can follow it to settle
        // a doubt, and a held jump it follows is taken first.
        const std::size_t taken =
            m_sequence.Next(sequence, m_stats) == FrameSequence::Verdict::TakeHeldFirst ? TakeHeldFrame() : 0;
        m_finished = true;
        m_uploading = false;
        return static_cast<int>(taken);
    }
    std::size_t taken = 0;
    switch (m_sequence.Next(sequence, m_stats)) {
    case FrameSequence::Verdict::Repeated:
    case FrameSequence::Verdict::Late: return 0;
    case FrameSequence::Verdict::Hold: m_heldFrame.assign(payload, payload + bytes); return 0;
    case FrameSequence::Verdict::TakeHeldFirst: taken = TakeHeldFrame(); break;
    case FrameSequence::Verdict::Take: break;
    }
    TakeRecords(payload, records);
    return static_cast<int>(taken + records);
}

std::size_t CMC_ScopeLogger::TakeHeldFrame() {
    // A held frame passed the length check when it came.
    const std::size_t records = U16(m_heldFrame.data() + 2);
    TakeRecords(m_heldFrame.data(), records);
    m_heldFrame.clear();
    return records;
}

void CMC_ScopeLogger::TakeRecords(const std::uint8_t* payload, std::size_t records) {
    const std::size_t columns = m_streamed.size();
    ++m_stats.frames;
    m_stats.records += records;

    const CMC_Variable* trigger = m_triggerColumn >= 0 ? m_setup->FindVariable(m_trigger, 1) : nullptr;
    for (std::size_t r = 0; r < records; ++r) {
        Sample sample;
        sample.time_s = static_cast<double>(m_sampleIndex++) * m_period_s;
        sample.values.reserve(columns);
        for (std::size_t c = 0; c < columns; ++c)
            sample.values.push_back(I32(payload + kHeaderBytes + kValueBytes * (r * columns + c)));
        if (trigger) {
            // The level is in the trigger variable's base unit, as the user enters it.
            double base = 0.0;
            const double internal = sample.values[static_cast<std::size_t>(m_triggerColumn)];
            const bool converted = trigger->InternalToBase(internal, base);
            const bool fired = converted && m_previousTrigger && Crossed(*m_previousTrigger, base);
            if (converted) m_previousTrigger = base;
            if (m_phase == Phase::Armed && fired) {
                // A new window: the graph's ring starts again at index 0, as this one does.
                m_document.Clear();
                m_phase = Phase::Recording;
                m_inWindow = 0;
                m_write = 0;
                const double trigger_s = sample.time_s;
                for (Sample& before : m_history) {
                    before.time_s -= trigger_s;
                    Store(std::move(before));
                }
                m_history.clear();
                sample.time_s = 0.0;
                m_triggerTime_s = trigger_s;
                Store(std::move(sample));
                continue;
            }
        }
        Take(std::move(sample));
    }
}

void CMC_ScopeLogger::Take(Sample sample) {
    switch (m_phase) {
    case Phase::Armed: {
        const auto keep = static_cast<std::size_t>(
            std::min<double>(m_points - 1, std::round(m_pretrigger_pct / 100.0 * m_points)));
        if (keep == 0) return;
        m_history.push_back(std::move(sample));
        while (m_history.size() > keep) m_history.pop_front();
        return;
    }
    case Phase::Recording:
        if (m_mode != Mode::FreeRunning) sample.time_s -= m_triggerTime_s;
        Store(std::move(sample));
        return;
    case Phase::Full: return;
    }
}

void CMC_ScopeLogger::Store(Sample sample) {
    // The ring the run was armed with: settings changed meanwhile take effect at the next run.
    const auto ring = static_cast<int>(m_ring.size());
    const auto index = static_cast<std::size_t>(m_write);
    AddGraphPoint(sample.time_s, sample.values);
    m_ring[index] = std::move(sample);
    m_filled[index] = true;
    if (m_drawCount == 0) m_drawFirst = m_write;
    else if ((m_drawFirst + m_drawCount) % ring != m_write) m_drawFirst = m_write;  // a new window began
    m_drawCount = std::min(m_drawCount + 1, ring);
    if (m_drawCount == ring) m_drawFirst = (m_write + 1) % ring;
    m_write = (m_write + 1) % ring;
    if (m_mode == Mode::FreeRunning) return;
    if (++m_inWindow < ring) return;
    // The window is full.
    if (m_mode == Mode::SingleShot) {
        m_phase = Phase::Full;
        m_finished = true;
    } else {
        m_phase = Phase::Armed;
        m_history.clear();
    }
}

int CMC_ScopeLogger::GetPointsToBeDrawn(int& first, int& count) {
    first = m_drawFirst;
    count = m_drawCount;
    m_drawCount = 0;
    return count > 0 ? 1 : 0;
}

bool CMC_ScopeLogger::GetPoint(int index, std::vector<double>& record) const {
    // The ring is the one the last run armed: the window may have changed since.
    if (index < 0 || static_cast<std::size_t>(index) >= m_filled.size() || !m_filled[static_cast<std::size_t>(index)])
        return false;
    const Sample& s = m_ring[static_cast<std::size_t>(index)];
    record.assign(1, s.time_s);
    record.insert(record.end(), s.values.begin(), s.values.begin() + static_cast<std::ptrdiff_t>(m_items.size()));
    return true;
}

int CMC_ScopeLogger::BeginUploadData() {
    if (m_armedRun == 0 || std::none_of(m_filled.begin(), m_filled.end(), [](bool f) { return f; })) {
        Fail("the scope has recorded nothing");
        return 0;
    }
    m_readNext = 0;
    m_reading = true;
    return 1;
}

int CMC_ScopeLogger::ReadPoint(double* record) {
    if (!m_reading) return 0;
    const auto ring = static_cast<int>(m_filled.size());
    while (m_readNext < ring && !m_filled[static_cast<std::size_t>(m_readNext)]) ++m_readNext;
    if (m_readNext >= ring) {
        m_reading = false;
        return 0;
    }
    const Sample& s = m_ring[static_cast<std::size_t>(m_readNext++)];
    if (record) {
        record[0] = s.time_s;
        std::copy(s.values.begin(), s.values.begin() + static_cast<std::ptrdiff_t>(m_items.size()), record + 1);
    }
    return 1;
}

void CMC_ScopeLogger::EndUploadData() {
    m_uploading = false;
    m_reading = false;
}

// ---------------------------------------------------------------------------------------------
// Scope display settings

double NiceStepAbove(double value) {
    if (!(value > 0.0) || !std::isfinite(value)) return 1.0;
    const double decade = std::pow(10.0, std::floor(std::log10(value)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        // A relative margin so that 0.2 is its own step despite its binary form.
        if (value <= m * decade * (1.0 + 1e-12)) return m * decade;
    }
    return 10.0 * decade;
}

namespace {

// The step `places` positions away along 1, 2, 5, 10, ... from the nice step at or above `step`.
double MoveStep(double step, int places) {
    double s = NiceStepAbove(step);
    for (; places > 0; --places) s = NiceStepAbove(s * 1.5);
    for (; places < 0; ++places) s = NiceStepAbove(s / 2.6);
    return s;
}

}  // namespace

int CMC_ScopeLogger::RescaleVariable(const char* name, const char* unit, double step, double offset) {
    const std::string variable = name ? name : "";
    const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const Item& item) { return EqualsNoCase(item.name, variable); });
    if (it == m_items.end() || !std::isfinite(step) || step <= 0.0 || !std::isfinite(offset)) {
        Fail("cannot scale \"" + variable + "\": not plotted, or no positive finite step");
        return 0;
    }
    m_scales.resize(m_items.size());
    m_scales[static_cast<std::size_t>(it - m_items.begin())] = {unit ? unit : "", step, offset};
    ShowScales();
    return 1;
}

const CMC_ScopeLogger::ChannelScale* CMC_ScopeLogger::GetChannelScale(int channel) const {
    if (channel < 0 || static_cast<std::size_t>(channel) >= m_scales.size()) return nullptr;
    const ChannelScale& scale = m_scales[static_cast<std::size_t>(channel)];
    return scale.step > 0.0 ? &scale : nullptr;
}

int CMC_ScopeLogger::ChangeChannelScale(int channel, int steps) {
    if (channel < 0 || static_cast<std::size_t>(channel) >= m_items.size() || steps == 0) return 0;
    m_scales.resize(m_items.size());
    ChannelScale& scale = m_scales[static_cast<std::size_t>(channel)];
    const double middle = scale.offset + scale.step * kDivisions / 2.0;
    const double step = MoveStep(scale.step, steps);
    if (step == scale.step) return 0;
    scale.step = step;
    scale.offset = middle - step * kDivisions / 2.0;
    ShowScales();
    return 1;
}

int CMC_ScopeLogger::Autoscale() {
    const std::size_t points = m_document.GetPointsCount();
    if (points == 0) return 0;
    m_scales.resize(m_items.size());
    int changed = 0;
    for (std::size_t c = 0; c < m_items.size(); ++c) {
        double low = m_document.GetValue(0, static_cast<int>(c + 1));
        double high = low;
        for (std::size_t k = 1; k < points; ++k) {
            const double v = m_document.GetValue(k, static_cast<int>(c + 1));
            low = std::min(low, v);
            high = std::max(high, v);
        }
        // A flat trace still gets a division around it.
        double step = NiceStepAbove(std::max(high - low, std::max(std::abs(high), 1e-9) * 1e-3) / kDivisions);
        double offset = std::floor(low / step) * step;
        while (offset + step * kDivisions < high) {
            step = MoveStep(step, 1);
            offset = std::floor(low / step) * step;
        }
        ChannelScale& scale = m_scales[c];
        // Fitted to the values the graph holds, so in their unit: the variable's base unit, or
        // counts.
        const std::string unit = GraphUnitName(c);
        if (scale.step != step || scale.offset != offset || scale.unit != unit) {
            scale = {unit, step, offset};
            changed = 1;
        }
    }
    ShowScales();
    return changed;
}

std::string CMC_ScopeLogger::GraphUnitName(std::size_t channel) const {
    const CMC_Variable* variable =
        channel < m_items.size() && m_items[channel].inUnits && m_setup ? m_setup->FindVariable(m_items[channel].name, 1) : nullptr;
    return variable ? std::string(CMC_Units::Instance().BaseUnit(variable->GetUnitType()).GetName()) : std::string();
}

std::optional<GraphRange> CMC_ScopeLogger::ChannelRange(std::size_t channel) const {
    // A channel without a unit has had no scale set (or holds counts, which the graph fits).
    if (channel >= m_scales.size() || m_scales[channel].unit.empty() || !(m_scales[channel].step > 0.0))
        return std::nullopt;
    const ChannelScale& scale = m_scales[channel];
    double low = scale.offset;
    double high = scale.offset + scale.step * kDivisions;
    // The graph holds a variable added in units in its base unit: a scale in another unit of it
    // is converted.
    const CMC_Variable* variable =
        m_items[channel].inUnits && m_setup ? m_setup->FindVariable(m_items[channel].name, 1) : nullptr;
    if (variable && !scale.unit.empty()) {
        if (const CMC_Unit* unit = CMC_Units::Instance().FindUnit(variable->GetUnitType(), scale.unit)) {
            double lowBase = 0.0, highBase = 0.0;
            if (!variable->ToBase(low, *unit, lowBase) || !variable->ToBase(high, *unit, highBase)) return std::nullopt;
            low = lowBase;
            high = highBase;
        }
    }
    if (!std::isfinite(low) || !std::isfinite(high) || low == high) return std::nullopt;
    return GraphRange{std::min(low, high), std::max(low, high)};
}

void CMC_ScopeLogger::ShowScales() {
    CGraphFilter* filter = m_document.GetAt(0);
    if (!filter) return;
    filter->m_areaRanges.clear();
    // An area takes the scale of the first curve drawn in it that has one.
    for (const CXYCurve& curve : filter->GetCurves()) {
        if (filter->m_areaRanges.contains(curve.m_nArea) || curve.m_nYItem < 1) continue;
        if (const auto range = ChannelRange(static_cast<std::size_t>(curve.m_nYItem - 1)))
            filter->m_areaRanges[curve.m_nArea] = *range;
    }
}

void CMC_ScopeLogger::SetDefaultValues() {
    RemoveAllVariables();
    UpdateGraphItems();
    m_scales.clear();
    ShowScales();
    m_window_s = 0.0;
    m_points = 0;
    m_trigger.clear();
    m_mode = Mode::FreeRunning;
    ChangeSettings(1.0, static_cast<int>(Mode::FreeRunning), 1, nullptr, 0.0, 0.0);
}

CMC_ScopeLogger::Settings CMC_ScopeLogger::GetSettings() const {
    Settings settings;
    settings.window_s = m_window_s;
    settings.mode = m_mode;
    settings.slope = m_slope;
    settings.trigger = m_trigger;
    settings.level = m_level;
    settings.pretrigger_pct = m_pretrigger_pct;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        settings.channels.push_back(
            {m_items[i].name, m_items[i].inUnits, i < m_scales.size() ? m_scales[i] : ChannelScale{}});
    }
    return settings;
}

std::optional<CMC_ScopeLogger::SettingsFault> CMC_ScopeLogger::CheckSettings(const Settings& settings) const {
    for (std::size_t i = 0; i < settings.channels.size(); ++i) {
        const Settings::Channel& channel = settings.channels[i];
        const int at = static_cast<int>(i);
        if (!m_setup || !m_setup->FindVariable(channel.name, 1))
            return SettingsFault{SettingsField::ChannelName, at, "the setup declares no drive variable \"" + channel.name + "\""};
        for (std::size_t k = 0; k < i; ++k) {
            if (EqualsNoCase(settings.channels[k].name, channel.name))
                return SettingsFault{SettingsField::ChannelName, at, "\"" + channel.name + "\" is plotted twice"};
        }
        if (!std::isfinite(channel.scale.step) || channel.scale.step <= 0.0)
            return SettingsFault{SettingsField::ChannelStep, at, "must be a positive number"};
        if (!std::isfinite(channel.scale.offset))
            return SettingsFault{SettingsField::ChannelOffset, at, "must be a finite number"};
    }
    SettingsFault fault{};
    if (!FitWindow(settings.window_s, static_cast<int>(settings.mode), settings.trigger, settings.level,
                   settings.pretrigger_pct, fault))
        return fault;
    return std::nullopt;
}

bool CMC_ScopeLogger::ApplySettings(const Settings& settings, SettingsFault* fault) {
    if (const auto refused = CheckSettings(settings)) {
        Fail(refused->why);
        if (fault) *fault = *refused;
        return false;
    }
    std::vector<Item> items;
    std::vector<ChannelScale> scales;
    for (const Settings::Channel& channel : settings.channels) {
        items.push_back({m_setup->FindVariable(channel.name, 1)->GetName(), channel.inUnits});
        scales.push_back(channel.scale);
    }
    const bool sameItems = std::equal(items.begin(), items.end(), m_items.begin(), m_items.end(),
                                      [](const Item& a, const Item& b) { return a.name == b.name && a.inUnits == b.inUnits; });
    // Checked above: the window is taken.
    ChangeSettings(settings.window_s, static_cast<int>(settings.mode), settings.slope, settings.trigger.c_str(),
                   settings.level, settings.pretrigger_pct);
    m_scales = std::move(scales);
    if (!sameItems) {
        m_items = std::move(items);
        UpdateGraphItems();
    }
    ShowScales();
    return true;
}

namespace {

// A member read from the settings text: missing or of the wrong kind is refused with its path.
struct FieldError {
    std::string message;
};

const nlohmann::json& Member(const nlohmann::json& object, std::string_view key, const std::string& path) {
    const auto it = object.find(key);
    if (it == object.end()) throw FieldError{path + ": missing"};
    return *it;
}

double NumberMember(const nlohmann::json& object, std::string_view key, const std::string& path) {
    const nlohmann::json& value = Member(object, key, path);
    if (!value.is_number()) throw FieldError{path + ": not a number"};
    return value.get<double>();
}

int IntegerMember(const nlohmann::json& object, std::string_view key, const std::string& path) {
    const nlohmann::json& value = Member(object, key, path);
    if (!value.is_number_integer() || value.get<long long>() < std::numeric_limits<int>::min() ||
        value.get<long long>() > std::numeric_limits<int>::max())
        throw FieldError{path + ": not a whole number"};
    return value.get<int>();
}

std::string TextMember(const nlohmann::json& object, std::string_view key, const std::string& path) {
    const nlohmann::json& value = Member(object, key, path);
    if (!value.is_string()) throw FieldError{path + ": not a text"};
    return value.get<std::string>();
}

}  // namespace

std::optional<std::string> CMC_ScopeLogger::SettingsText() const {
    const Settings settings = GetSettings();
    nlohmann::json doc;
    doc["window_s"] = settings.window_s;
    doc["mode"] = static_cast<int>(settings.mode);
    doc["slope"] = settings.slope;
    doc["trigger"] = settings.trigger;
    doc["level"] = settings.level;
    doc["pretrigger_pct"] = settings.pretrigger_pct;
    nlohmann::json channels = nlohmann::json::array();
    for (const Settings::Channel& channel : settings.channels) {
        channels.push_back({{"name", channel.name}, {"inUnits", channel.inUnits}, {"unit", channel.scale.unit},
                            {"step", channel.scale.step}, {"offset", channel.scale.offset}});
    }
    doc[kChannelsKey] = channels;
    return doc.dump();
}

bool CMC_ScopeLogger::SetSettingsText(const std::string& text) {
    Settings settings;
    try {
        const nlohmann::json doc = nlohmann::json::parse(text);
        if (!doc.is_object()) return Fail("not scope settings: the text is not a JSON object");
        settings.window_s = NumberMember(doc, "window_s", "window_s");
        settings.mode = static_cast<Mode>(IntegerMember(doc, "mode", "mode"));
        settings.slope = IntegerMember(doc, "slope", "slope");
        settings.trigger = TextMember(doc, "trigger", "trigger");
        settings.level = NumberMember(doc, "level", "level");
        settings.pretrigger_pct = NumberMember(doc, "pretrigger_pct", "pretrigger_pct");
        const nlohmann::json& channels = Member(doc, kChannelsKey, std::string(kChannelsKey));
        if (!channels.is_array()) throw FieldError{std::string(kChannelsKey) + ": not a list"};
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const std::string at = std::string(kChannelsKey) + "[" + std::to_string(i) + "]";
            const nlohmann::json& channel = channels[i];
            if (!channel.is_object()) throw FieldError{at + ": not an object"};
            Settings::Channel read;
            read.name = TextMember(channel, "name", at + ".name");
            read.inUnits = IntegerMember(channel, "inUnits", at + ".inUnits");
            read.scale.unit = TextMember(channel, "unit", at + ".unit");
            read.scale.step = NumberMember(channel, "step", at + ".step");
            read.scale.offset = NumberMember(channel, "offset", at + ".offset");
            settings.channels.push_back(std::move(read));
        }
        if (settings.channels.empty()) throw FieldError{std::string(kChannelsKey) + ": no variable to plot"};
    } catch (const FieldError& e) {
        return Fail(e.message);
    } catch (const nlohmann::json::exception& e) {
        // The reader's own words after its "[json.exception...] " tag name the line and column.
        const std::string what = e.what();
        const auto tag = what.find("] ");
        return Fail("not JSON: " + (tag == std::string::npos ? what : what.substr(tag + 2)));
    }
    SettingsFault fault{};
    if (!ApplySettings(settings, &fault)) return Fail(FieldPath(fault) + ": " + fault.why);
    return true;
}

int CMC_ScopeLogger::SaveSettingsToSetupOption(const char* name) const {
    if (!m_setup || !name || !*name) return 0;
    const auto text = SettingsText();
    if (!text) return 0;
    m_setup->SetOption(name, *text);
    return 1;
}

int CMC_ScopeLogger::LoadSettingsFromSetupOption(const char* name) {
    if (!m_setup || !name) return 0;
    const std::string text = m_setup->GetOptionNoError(name);
    if (text.empty()) return 0;
    if (!SetSettingsText(text)) {
        Fail(std::string("the saved scope settings \"") + name + "\" are damaged: " + m_error);
        return 0;
    }
    return 1;
}

std::optional<std::string> DoPromptScopeLoggerFileName(CDialog* owner, bool load, const std::string& stem) {
    const std::string folder = GetGUIDirectory().empty() ? "." : GetGUIDirectory();
    const std::string preset = (std::filesystem::path(folder) / (stem + kScopeSettingsExtension)).string();
    const std::string filter = std::string("Scope settings (*") + kScopeSettingsExtension + ");;All files (*)";
    std::optional<std::string> path = GetUiBackend().PromptFileName(owner, load, preset, filter);
    if (path && !load && !std::filesystem::path(*path).has_extension()) *path += kScopeSettingsExtension;
    return path;
}

int CMC_ScopeLogger::Edit() {
    CScopeSettingsDlg dialog(*this);
    return dialog.DoModal() == IDOK && dialog.Changed() ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Settings files

std::optional<std::string> CMC_Logger::SettingsText() const { return std::nullopt; }

bool CMC_Logger::SetSettingsText(const std::string&) { return Fail("this logger keeps no settings in files"); }

int CMC_Logger::Save(const std::string& path) {
    const auto text = SettingsText();
    if (!text) {
        Fail("this logger keeps no settings in files");
        return 0;
    }
    // One member a line: a file a person may read and compare.
    const std::string pretty = nlohmann::json::parse(*text).dump(2) + "\n";
    if (std::string error = WriteFileAtomically(path, pretty); !error.empty()) {
        Fail(std::move(error));
        return 0;
    }
    return 1;
}

int CMC_Logger::Load(const std::string& path) {
    // Settings are a few hundred bytes; anything far larger is some other file.
    constexpr std::uintmax_t kLargestSettings_bytes = 1 << 20;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        Fail(path + ": is a folder, not a settings file");
        return 0;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(path + ": cannot be read: " + std::strerror(errno));
        return 0;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > kLargestSettings_bytes) {
        Fail(path + ": too large to be settings");
        return 0;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        Fail(path + ": cannot be read: " + std::strerror(errno));
        return 0;
    }
    if (!SetSettingsText(text.str())) {
        Fail(path + ": " + m_error);
        return 0;
    }
    return 1;
}
