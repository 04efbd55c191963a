// Recording drive variables during a program run: the data logger (the drive records, the host
// uploads afterwards) and the scope logger (the drive streams frames, the host triggers and
// windows them as they arrive).
#pragma once

#include "MC_Graph.h"
#include "drivesim/Drive.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

class CMC_Setup;
class CMC_CoffFormat;
class CDialog;

class CMC_Logger {
public:
    struct Item {
        std::string name;
        int inUnits = 0;  // non-zero: graphs show the variable in its unit rather than in counts
    };

    CMC_Logger(CMC_Setup* setup, CMC_CoffFormat* program);
    virtual ~CMC_Logger() = default;
    CMC_Logger(const CMC_Logger&) = delete;
    CMC_Logger& operator=(const CMC_Logger&) = delete;

    // A drive variable the setup declares, recorded after those added before; 0 (nothing added)
    // for an unknown or repeated name.
    int AddVariable(const char* name, int inUnits);
    void RemoveAllVariables() { m_items.clear(); }
    const std::vector<Item>& GetItems() const { return m_items; }
    int GetVariablesNo() const { return static_cast<int>(m_items.size()); }

    // Lowers the point count so that the record fits the drive's memory; returns the count.
    virtual int CorrectPointsNo() { return GetPointsNo(); }
    virtual int GetPointsNo() const = 0;
    virtual int BeginUploadData() = 0;
    // Copies the next record (seconds, then the variables' internal values in AddVariable order)
    // into `record` when given; non-zero while there was one.
    virtual int ReadPoint(double* record = nullptr) = 0;
    virtual void EndUploadData() = 0;
    virtual bool UploadInProgress() const = 0;

    // Why the last operation failed.
    const std::string& GetErrorText() const { return m_error; }
    CMC_Setup* GetSetup() const { return m_setup; }

    // The logger's settings in a file of their own (JSON, the text a setup option keeps), so that
    // a user can keep several and bring any back. Save writes atomically; Load refuses a file that
    // cannot be read, is not JSON, lacks a field or names what the setup does not have, and then
    // changes nothing. Non-zero on success; GetErrorText says what failed and where.
    int Save(const std::string& path);
    int Load(const std::string& path);

    // What the graphs show: item 0 the time in seconds, then the variables (in their base unit
    // when added with inUnits, else in counts); filter 0 is the logger's graph filter. Points
    // arrive as the logger reads or receives them.
    CGraphDocument& GetGraphDocument() { return m_document; }
    const CGraphDocument& GetGraphDocument() const { return m_document; }
    // The graph's items follow the variables; nothing more to place here.
    int LocateItems() { return 1; }

    // The program runner arms the logger for the run it starts: it fills what the drive records
    // or streams. False, with the reason, when the settings cannot be recorded.
    virtual bool Arm(std::uint64_t run, std::optional<drivesim::LoggerSettings>& logger,
                     std::optional<drivesim::ScopeSettings>& scope, std::string& error) = 0;

protected:
    // The settings as JSON text, and taken back from it: all or nothing, and false with the
    // reason (its first words the field it is about) when the text does not hold valid settings.
    // A logger without settings files of its own refuses both.
    virtual std::optional<std::string> SettingsText() const;
    virtual bool SetSettingsText(const std::string& text);

    bool Fail(std::string message);
    // Appends a record (time, internal values) to the graph document in its shown units.
    void AddGraphPoint(double time_s, const std::vector<double>& internal);
    void UpdateGraphItems();

    CMC_Setup* m_setup;
    CMC_CoffFormat* m_program;
    std::vector<Item> m_items;
    std::string m_error;
    std::uint64_t m_armedRun = 0;  // 0: never armed
    CGraphDocument m_document;
};

// The drive's data logger: a record per period of the chosen loop, up to the drive's memory.
class CMC_SingleAxisLogger : public CMC_Logger {
public:
    // Values the drive's log memory holds, all variables together.
    static constexpr int kMemoryValues = 16384;

    CMC_SingleAxisLogger(CMC_Setup* setup, CMC_CoffFormat* program = nullptr);

    // `type` 1: a record per slow-loop period, 2: per current-loop period; `divider` 1 records
    // every period. 0 (settings unchanged) for values outside those.
    int ChangeSettings(int points, int type, int divider);
    int GetLogType() const { return m_type; }
    int GetDivider() const { return m_divider; }

    int CorrectPointsNo() override;
    int GetPointsNo() const override { return m_points; }
    // One transaction; 0 when the last start did not arm this logger, the drive never triggered
    // it, or it holds no record.
    int BeginUploadData() override;
    int ReadPoint(double* record = nullptr) override;
    void EndUploadData() override;
    bool UploadInProgress() const override { return m_uploading; }
    // The uploaded records (valid between BeginUploadData and EndUploadData).
    const std::vector<drivesim::LogRecord>& GetRecords() const { return m_records; }

    bool Arm(std::uint64_t run, std::optional<drivesim::LoggerSettings>& logger,
             std::optional<drivesim::ScopeSettings>& scope, std::string& error) override;

private:
    int m_points = 1000;
    int m_type = 1;
    int m_divider = 1;
    std::vector<drivesim::LogRecord> m_records;
    std::size_t m_next = 0;
    bool m_uploading = false;
};

// The scope: the drive streams every k-th slow-loop sample in 0xE900 frames; the host keeps the
// window of points that its trigger selects, in a ring the graph draws from.
class CMC_ScopeLogger : public CMC_Logger {
public:
    enum class Mode : int { FreeRunning = 1, Rearming = 2, SingleShot = 4 };
    // Samples the drive streams for one window at most: k = ceil(W / (kMaxWindowSamples·T_S)).
    static constexpr int kMaxWindowSamples = 1000;
    static constexpr std::uint16_t kScopeMessageCode = 0xE900;

    struct FrameStats {
        std::uint64_t frames = 0;     // accepted data frames
        std::uint64_t records = 0;    // records in them
        std::uint64_t malformed = 0;  // refused: too short, or a length that does not match
        std::uint64_t lost = 0;       // frames the sequence numbers show missing
        std::uint64_t repeated = 0;   // a sequence number seen already (ignored)
        std::uint64_t late = 0;       // came after a later frame, once counted lost (ignored)
        std::uint64_t stray = 0;      // a lone number far off the stream, which went on without it (ignored)
    };

    // What a frame's sequence number makes of it. The next number is taken at once. Any other
    // number ahead (frames lost, or a corrupted or foreign frame) is held until the next frame
    // tells which: one that follows it confirms the jump, and the frames skipped count lost; one
    // that follows the stream instead makes it a stray. So one bad frame costs neither "lost"
    // frames (hundreds, for a wild number) nor the real frames that come after it.
    class FrameSequence {
    public:
        enum class Verdict {
            Take,           // the next in the stream
            TakeHeldFirst,  // confirms the held jump: take the held frame, then this one
            Hold,           // off the stream: keep the frame until the next one decides
            Repeated,       // seen already
            Late,           // behind the stream and not seen: its place in time is gone
        };
        // A frame confirms a held one when its number lies at most this far beyond it.
        static constexpr std::uint16_t kTrustedGap = 64;
        // How far behind the last taken number repeats and late frames are told apart (the bits
        // of a 64-bit mask).
        static constexpr std::uint16_t kHistory = 64;

        Verdict Next(std::uint16_t sequence, FrameStats& stats);
        void Reset() { *this = FrameSequence{}; }

    private:
        void Advance(std::uint16_t sequence, FrameStats& stats);

        std::optional<std::uint16_t> m_last;
        std::optional<std::uint16_t> m_held;
        std::uint64_t m_seen = 0;     // bit i: m_last − i was taken
        std::uint64_t m_skipped = 0;  // bit i: m_last − i was counted lost
    };

    CMC_ScopeLogger(CMC_Setup* setup, CMC_CoffFormat* program);

    // `window_s` the time the window covers; `mode` 1, 2 or 4; `slope` non-zero: trigger when
    // the trigger variable rises through `level` (its base unit), 0: when it falls through it;
    // `pretrigger_pct` of the window shows what came before. 0 (settings unchanged) when the
    // values do not make a window, a triggered mode names no declared variable, or the setup
    // gives no slow-loop period.
    int ChangeSettings(double window_s, int mode, int slope, const char* triggerVariable, double level,
                       double pretrigger_pct);
    double GetWindow_s() const { return m_window_s; }
    int GetMode() const { return static_cast<int>(m_mode); }
    // Slow-loop samples per streamed sample.
    int GetSampleDivider() const { return m_every; }
    int GetPointsNo() const override { return m_points; }

    // Scope frames: the payload of one 0xE900 frame. Records accepted (> 0), 0 for the end
    // frame and for frames that bring nothing new (repeated, or after the upload ended), < 0
    // for a malformed one.
    int OnFrameReceive(const std::uint8_t* payload, std::size_t bytes);
    // The ring indices filled since the last call: from `first`, `count` of them (wrapping at
    // GetPointsNo). Non-zero when there are any.
    int GetPointsToBeDrawn(int& first, int& count);
    // Non-zero once the recording has ended: the end frame came, or a single shot filled its
    // window.
    int DoGracefulStop() const { return m_finished ? 1 : 0; }
    const FrameStats& GetFrameStats() const { return m_stats; }
    // Point `index` of the ring (seconds since the trigger, then the values); false when it
    // holds none yet.
    bool GetPoint(int index, std::vector<double>& record) const;

    // --- display settings (kept in a setup option between sessions) ---
    // How a plotted variable is scaled: its unit's name, the value of one division and the value
    // at the lower edge of the graph's eight divisions.
    struct ChannelScale {
        std::string unit;
        double step = 1.0;
        double offset = 0.0;
        bool operator==(const ChannelScale&) const = default;
    };
    // Everything the user sets: the window and its trigger, and what is plotted how. The level is
    // in the trigger variable's base unit.
    struct Settings {
        struct Channel {
            std::string name;
            int inUnits = 1;
            ChannelScale scale;
            bool operator==(const Channel&) const = default;
        };
        double window_s = 1.0;
        Mode mode = Mode::FreeRunning;
        int slope = 1;
        std::string trigger;  // empty: none
        double level = 0.0;
        double pretrigger_pct = 0.0;
        std::vector<Channel> channels;
        bool operator==(const Settings&) const = default;
    };
    // What a refused setting is about: the field, and for a channel's fields the channel.
    enum class SettingsField { Window, Mode, Slope, Trigger, Level, Pretrigger, ChannelName, ChannelStep, ChannelOffset };
    struct SettingsFault {
        SettingsField field;
        int channel = -1;
        std::string why;
    };
    Settings GetSettings() const;
    // Checks `settings` against the setup without changing anything; the first fault found.
    std::optional<SettingsFault> CheckSettings(const Settings& settings) const;
    // Takes every setting or none: false, with the fault, when one is refused. Recorded points
    // stay unless the plotted variables change.
    bool ApplySettings(const Settings& settings, SettingsFault* fault = nullptr);
    // The scope settings editor: non-zero only when the user's OK changed something.
    int Edit();
    static constexpr int kDivisions = 8;
    // 0 for a variable that is not plotted or a step that is not positive and finite.
    int RescaleVariable(const char* name, const char* unit, double step, double offset);
    // Null for a channel (0 the first plotted variable) that has no scale.
    const ChannelScale* GetChannelScale(int channel) const;
    // Moves a channel's step `steps` places along 1, 2, 5, 10, ... (negative: finer), keeping
    // the value at mid-height where it was. Non-zero when the scale changed.
    int ChangeChannelScale(int channel, int steps);
    // Fits every channel with recorded points into the eight divisions, in the unit the graph
    // holds it in. Non-zero when a scale changed.
    int Autoscale();
    // Fixes each graph area's value range by the scale of its first scaled curve; a dialog that
    // changes the graph's curves calls it again.
    void ShowScales();
    // A channel's scale as the range of the graph's values (its eight divisions); empty without
    // a scale.
    std::optional<GraphRange> ChannelRange(std::size_t channel) const;
    // Back to no variables, no scales, a free-running 1 s window.
    void SetDefaultValues();
    // The window, trigger, variables and scales as one JSON text in the setup option `name`;
    // loading them back is non-zero only for a complete, valid text (nothing changes otherwise).
    int SaveSettingsToSetupOption(const char* name) const;
    int LoadSettingsFromSetupOption(const char* name);

    // Reads back the window recorded so far, in ring order.
    int BeginUploadData() override;
    int ReadPoint(double* record = nullptr) override;
    // Ends the upload: later frames are ignored.
    void EndUploadData() override;
    bool UploadInProgress() const override { return m_uploading; }

    bool Arm(std::uint64_t run, std::optional<drivesim::LoggerSettings>& logger,
             std::optional<drivesim::ScopeSettings>& scope, std::string& error) override;

protected:
    std::optional<std::string> SettingsText() const override;
    bool SetSettingsText(const std::string& text) override;

private:
    enum class Phase { Armed, Recording, Full };
    // The window's own checks (ChangeSettings and ApplySettings share them); on success the
    // sample divider and the point count the window takes.
    struct WindowFit {
        int every;
        double period_s;
        int points;
    };
    std::optional<WindowFit> FitWindow(double window_s, int mode, const std::string& trigger, double level,
                                       double pretrigger_pct, SettingsFault& fault) const;
    struct Sample {
        double time_s = 0.0;
        std::vector<double> values;
    };
    // The records of a well-formed data frame, through the trigger into the ring.
    void TakeRecords(const std::uint8_t* payload, std::size_t records);
    // Takes the frame FrameSequence held and now confirmed; its record count.
    std::size_t TakeHeldFrame();
    void Take(Sample sample);
    void Store(Sample sample);
    bool Crossed(double previous, double current) const;
    // The unit the graph holds a channel in: its base unit's name, or empty for counts.
    std::string GraphUnitName(std::size_t channel) const;

    double m_window_s = 0.0;
    Mode m_mode = Mode::FreeRunning;
    int m_slope = 1;
    std::string m_trigger;
    double m_level = 0.0;
    double m_pretrigger_pct = 0.0;
    double m_period_s = 0.0;  // between streamed samples
    int m_every = 1;
    int m_points = 0;

    std::vector<ChannelScale> m_scales;  // by plotted variable; empty unit: none set
    // The run's streamed variables: the items, then the trigger variable when it is none of them.
    std::vector<std::string> m_streamed;
    int m_triggerColumn = -1;
    FrameSequence m_sequence;
    std::vector<std::uint8_t> m_heldFrame;  // the payload FrameSequence holds
    std::uint64_t m_sampleIndex = 0;
    std::optional<double> m_previousTrigger;
    double m_triggerTime_s = 0.0;
    std::deque<Sample> m_history;  // pre-trigger samples while armed
    std::vector<Sample> m_ring;
    std::vector<bool> m_filled;
    int m_write = 0;     // next ring index
    int m_inWindow = 0;  // points of the current window
    int m_drawFirst = 0;
    int m_drawCount = 0;
    Phase m_phase = Phase::Armed;
    bool m_uploading = false;
    bool m_finished = false;
    FrameStats m_stats;
    int m_readNext = 0;
    bool m_reading = false;
};

// Scope settings files end so, which is what the file prompts offer.
inline constexpr const char* kScopeSettingsExtension = ".scope.json";
// Asks the user for a scope settings file to load (`load`) or to save to, starting from `stem`
// with the extension in the GUI directory. A name chosen for saving without any extension gets
// it. Empty when the user cancelled.
std::optional<std::string> DoPromptScopeLoggerFileName(CDialog* owner, bool load, const std::string& stem);

// The 1-2-5 step at or above `value` (> 0): 0.3 -> 0.5, 7 -> 10.
double NiceStepAbove(double value);

// Loop periods from the setup's drive registers (2·SLPER·PWMPER/DSP_freq, 2·CLPER·PWMPER/
// DSP_freq); empty when the setup lacks them or they make no period.
std::optional<double> SlowLoopPeriod_s(const CMC_Setup& setup);
std::optional<double> FastLoopPeriod_s(const CMC_Setup& setup);
