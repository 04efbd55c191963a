#include "TestCommands.h"

#include "DriveConnection.h"

#include "HeadlessUi.h"
#include "MC_Comm.h"
#include "MC_DriveLink.h"
#include "MC_SetupFile.h"
#include "MC_TestDlg.h"
#include "QtGraph.h"

#include <drivesim/SimConfig.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <ostream>
#include <span>
#include <string_view>
#include <vector>

namespace {

// A click on the way to the test: in the dialog with this caption, the button with this label
// (none: the dialog is only closed with OK), after `first` when the button needs a choice made.
struct PathStep {
    std::string_view caption;
    std::string_view button;
    std::string_view first = {};
};

// A value the test may change: the setup parameter and the label the closing question gives it.
struct ResultValue {
    std::string_view parameter;
    std::string_view label;
};

// A value a test shows without storing it: its label, field and unit controls.
struct ShownReading {
    int labelId;
    int valueId;
    int unitId;
};

// Something a user does in the test's dialog before Start: clicks a control, or (with an entry)
// picks that entry of a list or tab bar.
struct TestAction {
    std::string_view control;
    std::string_view entry = {};
};

// One row per commissioning test: how a user reaches it and what it finds. A test that runs
// until stopped is stopped after `stopAfter_ms` of running.
struct TestRow {
    std::string_view name;
    std::string_view caption;
    std::span<const PathStep> path;
    std::span<const ResultValue> results;
    std::span<const ShownReading> readings = {};
    double stopAfter_ms = 0.0;
    std::span<const TestAction> prepare = {};
    // --bandwidth: typed into this field, then this button pressed (empty: the test has none).
    std::string_view bandwidthField = {};
    std::string_view bandwidthButton = {};
    // --plot DIR: the graph control saved, and the stem of its files (0: the test plots nothing);
    // a test with an on-line plot in the same place saves whichever of the two shows.
    int plotControl = 0;
    std::string_view plotStem = {};
    // The button that ends the test keeping what it found.
    std::string_view close = "Close";
    int onlinePlotControl = 0;
};

constexpr std::array kVdcPath = {PathStep{"Drive Setup", "Detect"}};
constexpr std::array kVdcResults = {ResultValue{"Vdc", "Power supply"}};

// The drive setup opens the motor setup by itself when it first shows.
constexpr std::array kHallOffsetsPath = {PathStep{"Brushless Motor Setup", "Linear Hall sensors setup"},
                                         PathStep{"Drive Setup", ""}};
constexpr std::array kHallOffsetsResults = {
    ResultValue{"HALLAOFF", "HALLAOFF"},   ResultValue{"HALLBOFF", "HALLBOFF"},   ResultValue{"HALLCOFF", "HALLCOFF"},
    ResultValue{"HALLAGAIN", "HALLAGAIN"}, ResultValue{"HALLBGAIN", "HALLBGAIN"}, ResultValue{"HALLCGAIN", "HALLCGAIN"},
    ResultValue{"ALPHA", "ALPHA"},         ResultValue{"ZAOFF", "ZAOFF"},
};

constexpr std::array kPhasesPath = {PathStep{"Brushless Motor Setup", "Test Phase Connections"},
                                    PathStep{"Drive Setup", ""}};
constexpr std::array kPhasesReadings = {ShownReading{1060, 1020, 1061}, ShownReading{1062, 1022, 1063}};

constexpr std::array kAnalogueReferencePath = {
    PathStep{"Drive Setup", "External reference/Setup", "External reference/Yes"},
    PathStep{"External Reference Setup", "Test", "Analogue"}};
constexpr std::array kAnalogueReferenceReadings = {ShownReading{1012, 1010, 1016}, ShownReading{1013, 1011, 1017}};
// Long enough for several readings of the input.
constexpr double kAnalogueReferenceRun_ms = 200.0;

// The drive setup opens the motor setup by itself; then the drive setup is closed with OK.
constexpr std::array kRlPath = {PathStep{"Drive Setup", ""},
                                PathStep{"Brushless Motor Setup", "Identify Resistance and Inductance"}};
constexpr std::array kRlResults = {ResultValue{"R", "Phase resistance"}, ResultValue{"L", "Phase inductance"}};

constexpr std::array kCurrentPath = {PathStep{"Drive Setup", "Current controller/Tune & Test"}};
constexpr std::array kCurrentResults = {ResultValue{"Kp_C_scl", "Kp"}, ResultValue{"Ki_C_scl", "Ki"}};
constexpr std::array kCurrentPrepare = {TestAction{"#1300", "Test"}};

// The speed and position tests tune on their "Test" tab; their logger graph and their on-line
// plot share one place.
constexpr std::array kTuningPrepare = {TestAction{"#1300", "Test"}};
constexpr int kTuningLoggerGraph = 1361;
constexpr int kTuningOnlineGraph = 1362;

constexpr std::array kSpeedPath = {PathStep{"Drive Setup", "Speed controller/Tune & Test"}};
constexpr std::array kSpeedResults = {ResultValue{"Kp_S_scl", "Kp"}, ResultValue{"Ki_S_scl", "Ki"}};

constexpr std::array kPositionPath = {PathStep{"Drive Setup", "Position controller/Tune & Test"}};
constexpr std::array kPositionResults = {ResultValue{"Kp_P_scl", "Kp"}, ResultValue{"Ki_P_scl", "Ki"},
                                         ResultValue{"Kd_P_scl", "Kd"}};

// The total mass is identified from the speed tuning test ("Identify", on its "Test" tab), which
// is then closed with OK so that the drive setup keeps the mass.
constexpr std::array kMassPath = {PathStep{"Drive Setup", "Speed controller/Tune & Test"},
                                  PathStep{"Speed Controller Tuning Test", "#3273"}};
constexpr std::array kMassResults = {ResultValue{"Mt", "Total mass"}};

constexpr std::array kTests = {
    TestRow{"vdc", "VDC Detection Test", kVdcPath, kVdcResults},
    TestRow{"rl", "Total Resistance and Inductance Identification Test", kRlPath, kRlResults},
    TestRow{"analogue-reference", "Analogue Reference Test", kAnalogueReferencePath, {}, kAnalogueReferenceReadings,
            kAnalogueReferenceRun_ms},
    TestRow{"hall-offsets", "Offset Detection Test", kHallOffsetsPath, kHallOffsetsResults},
    TestRow{"phases", "Motor Phase Connection Test", kPhasesPath, {}, kPhasesReadings},
    TestRow{"current", "Current Controller Tuning Test", kCurrentPath, kCurrentResults, {}, 0.0, kCurrentPrepare,
            "#3155", "Tune", 1361, "CurrentTuning", "OK"},
    TestRow{"mass", "Total mass test", kMassPath, kMassResults},
    TestRow{"speed", "Speed Controller Tuning Test", kSpeedPath, kSpeedResults, {}, 0.0, kTuningPrepare,
            "#1379", "#1390", kTuningLoggerGraph, "SpeedTuning", "OK", kTuningOnlineGraph},
    TestRow{"position", "Position Controller Tuning Test", kPositionPath, kPositionResults, {}, 0.0, kTuningPrepare,
            "#1379", "#1390", kTuningLoggerGraph, "PositionTuning", "OK", kTuningOnlineGraph},
};

constexpr double kPollSlice_ms = 20.0;
// A field holds what was typed to this share: the drive's registers round a typed value a little.
constexpr double kFieldTolerance = 1e-3;

bool NearlyEqual(double held, double asked) {
    return std::abs(held - asked) <= kFieldTolerance * std::max(std::abs(held), std::abs(asked)) + 1e-12;
}

const TestRow* FindTest(std::string_view name) {
    for (const TestRow& row : kTests) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

std::string TestNames() {
    std::string names;
    for (const TestRow& row : kTests) names += (names.empty() ? "" : ", ") + std::string(row.name);
    return names;
}

// "47.63 V": the parameter's value in its unit on show; "(none)" when the setup lacks it.
std::string Shown(const CMC_Setup& setup, std::string_view name) {
    const CMC_Parameter* parameter = setup.FindParameter(name);
    if (!parameter) return "(none)";
    return FormatExact(parameter->GetValue()) + " " + std::string(parameter->GetUnit().GetName());
}

// The test's graph as "<dir>/<stem>.csv", ".png" and ".svg"; empty on success, else the reason.
std::string SavePlot(const CDialog& dialog, int control, const std::string& dir, std::string_view stem) {
    const CGraphWindow* graph = FindGraphWindow(&dialog, control);
    if (!graph) return "the test shows no plot";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    const std::filesystem::path base = std::filesystem::path(dir) / stem;
    for (const char* extension : {".csv", ".png", ".svg"}) {
        if (std::string error = ExportGraphFile(*graph, base.string() + extension); !error.empty()) return error;
    }
    return {};
}

int Fail(const CommandContext& ctx, const std::string& message) {
    ctx.err << "pelmora test: " << message << '\n';
    return ToInt(ExitCode::Failure);
}

// One run of a test through the dialogs, and what it left behind.
class TestRun {
public:
    TestRun(const CommandContext& ctx, const TestRow& row, const TestArguments& a, HeadlessUi& ui,
            const CMC_Setup& setup)
        : m_ctx(ctx), m_row(row), m_a(a), m_ui(ui), m_setup(setup) {}

    // A dialog on the way: the choice its button needs, the button (on whichever tab page shows
    // it), or only OK.
    void OnTheWay(const PathStep& step, DialogDriver& d) {
        const auto click = [&d](std::string_view what) {
            const int id = d.Find(what);
            return id != 0 && d.BringIntoView(id) && d.Click(what);
        };
        if ((!step.first.empty() && !click(step.first)) || (!step.button.empty() && !click(step.button))) {
            problem = d.Error();
            d.Click("Cancel");
            return;
        }
        d.Click("OK");
    }

    // The test's dialog: what the user does before Start, Start, the wait, the results, the close.
    void InTest(DialogDriver& d) {
        if (!Prepare(d) || !d.Click("#10000")) {
            if (problem.empty()) problem = d.Error();
            d.Click("Cancel");
            return;
        }
        WaitForTheEnd(d);
        ReadWhatItFound(d);
        m_ui.QueueAnswer(m_a.answer == "yes" ? IDYES : IDNO);
        d.Click(m_row.close == "Close" || m_a.answer == "yes" ? m_row.close : std::string_view("Cancel"));
    }

    std::string problem;  // why the run could not be carried out
    std::string status;   // the test's last status
    std::string failure;  // the test's message when it failed
    std::string plotError;
    bool succeeded = false;
    bool stoppedOnTime = false;  // Stop pressed after the time the row or --stop-after gives
    std::vector<std::string> found;  // read before the closing answer, which may put the old values back
    std::vector<std::string> readings;

private:
    bool Prepare(DialogDriver& d) {
        for (const std::string& field : m_a.fields) {
            if (!SetField(d, field)) return false;
        }
        for (const TestAction& action : m_row.prepare) {
            if (!(action.entry.empty() ? d.Click(action.control) : d.Select(action.control, action.entry))) return false;
        }
        if (!m_a.bandwidth.empty() && !d.Type(m_row.bandwidthField, m_a.bandwidth)) return false;
        return (m_a.bandwidth.empty() && !m_a.tune) || d.Click(m_row.bandwidthButton);
    }

    // Polls the status line on the host's clock, printing each new status; stops a test that runs
    // until stopped after its time, and any test past the timeout.
    void WaitForTheEnd(DialogDriver& d) {
        const double deadline_s = m_ui.Now_s() + m_a.timeout_s;
        const double stopAfter_ms = m_a.stopAfter_s > 0.0 ? m_a.stopAfter_s * 1000.0 : m_row.stopAfter_ms;
        const double stopAt_s = m_ui.Now_s() + stopAfter_ms / 1000.0;
        // Stop is pressed as a user presses it: on time even while the test runs a loop of its
        // own inside one tick (the on-line plots), which this wait cannot interrupt.
        bool timedOut = false;
        const ScheduledClick stop(m_ui, stopAfter_ms > 0.0 ? stopAt_s : kNever_s, [&] {
            if (!Ended(d) && d.Click("#10000")) stoppedOnTime = true;
        });
        const ScheduledClick timeout(m_ui, deadline_s, [&] {
            if (Ended(d)) return;
            timedOut = true;
            d.Click("#10000");
        });
        std::string shown;
        for (;;) {
            status = d.Dialog().GetChildText(IDC_TEST_STATUS);
            if (status != shown) {
                m_ctx.err << "pelmora test " << m_row.name << ": " << status << '\n';
                shown = status;
            }
            if (timedOut || m_ui.Now_s() >= deadline_s) {
                problem = "the test did not end within " + FormatExact(m_a.timeout_s) +
                          " s; it was stopped (a test that repeats until stopped needs --stop-after)";
                if (!timedOut && !Ended(d)) d.Click("#10000");
                return;
            }
            if (Ended(d)) return;
            d.Wait_ms(kPollSlice_ms);
        }
    }

    static bool Ended(DialogDriver& d) {
        const std::string status = d.Dialog().GetChildText(IDC_TEST_STATUS);
        return status == CMC_TestDlg::kSucceededText || status == CMC_TestDlg::kFailedText ||
               status == CMC_TestDlg::kStoppedText;
    }

    // A click at a moment of the virtual clock, withdrawn when the wait ends first.
    class ScheduledClick {
    public:
        ScheduledClick(HeadlessUi& ui, double at_s, std::function<void()> click)
            : m_ui(ui), m_id(at_s < kNever_s ? ui.At(at_s, std::move(click)) : 0) {}
        ~ScheduledClick() {
            if (m_id != 0) m_ui.Cancel(m_id);
        }
        ScheduledClick(const ScheduledClick&) = delete;
        ScheduledClick& operator=(const ScheduledClick&) = delete;

    private:
        HeadlessUi& m_ui;
        int m_id;
    };
    static constexpr double kNever_s = std::numeric_limits<double>::infinity();

    void ReadWhatItFound(DialogDriver& d) {
        // A run that repeats until stopped ends well when it is this command that stopped it.
        succeeded = status == CMC_TestDlg::kSucceededText || (stoppedOnTime && status == CMC_TestDlg::kStoppedText);
        const CDialog& test = d.Dialog();
        if (!succeeded) failure = test.GetChildText(IDC_TEST_RESULT);
        for (const ResultValue& value : m_row.results) found.push_back(Shown(m_setup, value.parameter));
        for (const ShownReading& reading : m_row.readings) {
            readings.push_back(test.GetChildText(reading.labelId) + " = " + test.GetChildText(reading.valueId) + " " +
                               test.GetChildText(reading.unitId));
        }
        // The plot shows what happened, a failed run included.
        if (!m_a.plotDir.empty()) {
            const ControlState* online = m_row.onlinePlotControl ? test.GetControl(m_row.onlinePlotControl) : nullptr;
            const int shown = online && online->visible ? m_row.onlinePlotControl : m_row.plotControl;
            plotError = SavePlot(test, shown, m_a.plotDir, m_row.plotStem);
        }
    }

    // Sets one NAME=VALUE as the user would, and checks that the dialog took it: a value it
    // refuses or clips would otherwise run the test on something else than was asked.
    bool SetField(DialogDriver& d, const std::string& field) {
        const auto equals = field.find('=');
        const std::string name = field.substr(0, equals);
        const std::string value = field.substr(equals + 1);
        const std::size_t messagesBefore = m_ui.Messages().size();
        if (!d.SetParameter(name, value)) {
            problem = field + ": " + d.Error();
            return false;
        }
        const CMC_Parameter* parameter = m_setup.FindParameter(name);
        const TypedQuantityResult typed = ParseTypedQuantity(value);
        const CMC_Unit* unit = typed.quantity && parameter
                                   ? (typed.quantity->unit.empty()
                                          ? &parameter->GetUnit()
                                          : CMC_Units::Instance().FindUnit(parameter->GetUnitType(), typed.quantity->unit))
                                   : nullptr;
        const auto& messages = m_ui.Messages();
        for (std::size_t i = messagesBefore; i < messages.size(); ++i) {
            m_ctx.err << "pelmora test " << m_row.name << ": [" << messages[i].caption << "] " << messages[i].text << '\n';
        }
        double asked = 0.0;
        // Ticks, options and list entries are checked by the dialog itself; typed numbers are not.
        const ControlKind kind = d.Dialog().GetControl(d.Find("@" + name))->form->kind;
        const bool typedNumber = kind == ControlKind::Edit || kind == ControlKind::Slider;
        if (!typedNumber || !parameter) return true;
        if (!unit || !parameter->ToBase(typed.quantity->value, *unit, asked)) {
            problem = field + ": " + (messages.size() > messagesBefore ? messages.back().text : "not a value for " + name);
        } else if (!NearlyEqual(parameter->GetValueInBaseUnit(), asked)) {
            problem = field + ": the dialog did not take it; " + name + " is " + Shown(m_setup, name);
        }
        return problem.empty();
    }

    const CommandContext& m_ctx;
    const TestRow& m_row;
    const TestArguments& m_a;
    HeadlessUi& m_ui;
    const CMC_Setup& m_setup;
};

// What the run found, printed, and the setup saved when the test found values the user kept.
int Report(const CommandContext& ctx, const TestRow& row, const TestArguments& a, const TestRun& run,
           const std::vector<std::string>& previous, bool kept, const CMC_Setup& setup,
           std::vector<FoundValue>* values) {
    if (!run.problem.empty()) return Fail(ctx, run.problem);
    if (!run.plotError.empty()) return Fail(ctx, "--plot: " + run.plotError + "; nothing was saved");
    if (!run.succeeded) {
        const std::string outcome = run.status == CMC_TestDlg::kStoppedText ? "was stopped"
                                    : run.status.empty()                     ? "did not run"
                                                                             : "failed";
        return Fail(ctx, "\"" + std::string(row.caption) + "\" " + outcome +
                             (run.failure.empty() ? std::string() : ": " + run.failure) + "; nothing was saved");
    }
    for (std::size_t i = 0; i < row.results.size() && i < run.found.size(); ++i) {
        ctx.out << row.results[i].parameter << " = " << run.found[i] << "  (setup: " << previous[i] << ")\n";
        if (values) values->push_back({std::string(row.results[i].parameter), run.found[i], previous[i]});
    }
    for (const std::string& reading : run.readings) ctx.out << reading << '\n';
    if (row.results.empty()) {
        // Nothing was measured into the setup: saving would only keep the clicks on the way.
        ctx.err << "pelmora test: the test changes nothing in the setup; nothing was saved\n";
        return ToInt(ExitCode::Success);
    }
    if (a.answer != "yes" || !kept) {
        ctx.err << "pelmora test: the values found were not kept; nothing was saved\n";
        return ToInt(ExitCode::Success);
    }
    if (!a.outPath.empty()) {
        if (const std::string error = SaveSetupFile(setup, a.outPath); !error.empty()) return Fail(ctx, error);
    }
    return ToInt(ExitCode::Success);
}

}  // namespace

CLI::App* AddTestCommand(CLI::App& app, TestArguments& out) {
    CLI::App* test = app.add_subcommand("test", "Run a commissioning test on the drive, headless");
    test->add_option("name", out.name, "The test: " + TestNames())->required();
    test->add_option("fields", out.fields,
                     "[SETUP] [FIELD=VALUE[UNIT]...]: the setup (default: the embedded one), then values for the "
                     "test's fields, set before Start (TestCurrent=1.2A, MultiCycleS=1)");
    test->add_option("--sim", out.simPath, "The simulated drive's truth (JSON); default: the embedded one");
    test->add_option("--drive", out.drive, "The drive link: sim (default), tcp:HOST:PORT or serial:DEVICE");
    test->add_option("-o,--output", out.outPath, "Save the setup with the kept result to OUT");
    test->add_option("--answer", out.answer, "Keep the values the test found: yes (default) or no")
        ->check(CLI::IsMember({"yes", "no"}));
    test->add_option("--timeout", out.timeout_s, "The longest wait for the test, in seconds of drive time")
        ->check(CLI::PositiveNumber);
    test->add_option("--bandwidth", out.bandwidth,
                     "Tuning tests: tune from this passband (in the unit on show unless given) before Start");
    test->add_flag("--tune", out.tune, "Tuning tests: press \"Tune\" with the passband on show before Start");
    test->add_option("--plot", out.plotDir, "Tuning tests: save the plot of the run as CSV, PNG and SVG in DIR");
    test->add_option("--stop-after", out.stopAfter_s,
                     "Press Stop after this many seconds of drive time (tests that repeat until stopped)")
        ->check(CLI::PositiveNumber);
    test->footer("Example: pelmora test vdc axis.json --sim drive.json -o axis-measured.json\n"
                 "         pelmora test current TestCurrent=1.5A --bandwidth 3000 --plot plots");
    return test;
}

std::vector<std::string_view> CommissioningTestNames() {
    std::vector<std::string_view> names;
    for (const TestRow& row : kTests) names.push_back(row.name);
    return names;
}

bool TestStoresResults(std::string_view name) {
    const TestRow* row = FindTest(name);
    return row && !row->results.empty();
}

bool TestTunes(std::string_view name) {
    const TestRow* row = FindTest(name);
    return row && !row->bandwidthButton.empty();
}

bool TestPlots(std::string_view name) {
    const TestRow* row = FindTest(name);
    return row && row->plotControl != 0;
}

int RunTest(const CommandContext& ctx, const TestArguments& given, std::vector<FoundValue>* found) {
    const TestRow* row = FindTest(given.name);
    TestArguments a = given;
    if (a.setupPath.empty()) a.setupPath = TakeSetupArgument(a.fields, IsSetArgumentASetup);
    for (const std::string& field : a.fields) {
        if (field.find('=') == std::string::npos || field.front() == '=') {
            ctx.err << "pelmora test: \"" << field << "\" is not FIELD=VALUE[UNIT]\n";
            return ToInt(ExitCode::Misuse);
        }
    }
    if (!row) {
        ctx.err << "pelmora test: no test named \"" << a.name << "\"; the tests are " << TestNames() << '\n';
        return ToInt(ExitCode::Misuse);
    }
    if ((!a.bandwidth.empty() || a.tune) && row->bandwidthField.empty()) {
        ctx.err << "pelmora test: " << (a.tune ? "--tune" : "--bandwidth") << ": \"" << row->name << "\" tunes nothing\n";
        return ToInt(ExitCode::Misuse);
    }
    if (!a.plotDir.empty() && row->plotControl == 0) {
        ctx.err << "pelmora test: --plot: \"" << row->name << "\" plots nothing\n";
        return ToInt(ExitCode::Misuse);
    }
    const auto setup = OpenSetup(ctx, a.setupPath);
    if (!setup) return ToInt(ExitCode::Failure);

    DriveConnection connection;
    if (const std::string error = connection.Open(a.simPath, a.drive); !error.empty()) return Fail(ctx, error);

    // What the setup held before, to print beside what the test found.
    std::vector<std::string> previous;
    for (const ResultValue& value : row->results) previous.push_back(Shown(*setup, value.parameter));

    HeadlessUi ui;
    TestRun run(ctx, *row, a, ui, *setup);
    // Walk the path: each dialog opens the next by its button (the last one opens the test), or
    // is only closed with OK.
    ui.OnDialog(std::string(row->caption), [&run](DialogDriver& d) { run.InTest(d); });
    for (const PathStep& step : row->path) {
        ui.OnDialog(std::string(step.caption), [&run, step](DialogDriver& d) { run.OnTheWay(step, d); });
    }
    SetUiBackend(&ui);
    const int edited = ctx.plugin.EditSetup(setup.get());
    SetUiBackend(nullptr);
    return Report(ctx, *row, a, run, previous, edited == 1, *setup, found);
}
