#include "CommissionCommands.h"

#include "MC_SetupFile.h"
#include "TestCommands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The order an engineer commissions a new axis in: what the later steps rely on comes first
// (the supply voltage scales every voltage, the Hall offsets the commutation, R and L the
// current loop, the current loop and the mass the speed loop, the speed loop the position loop).
constexpr std::array kSequence = {
    std::string_view{"vdc"},     std::string_view{"hall-offsets"}, std::string_view{"phases"},
    std::string_view{"rl"},      std::string_view{"current"},      std::string_view{"mass"},
    std::string_view{"speed"},   std::string_view{"position"},
};

struct StepReport {
    std::string_view test;
    std::vector<FoundValue> values;
};

// Escapes text for an HTML page.
std::string Html(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

// One row per value found: step | value | setup before | found.
void WriteValueRows(std::ostream& page, std::string_view test, const std::vector<FoundValue>& values) {
    for (const FoundValue& value : values) {
        page << "<tr><td>" << Html(test) << "</td><td>" << Html(value.parameter) << "</td><td>" << Html(value.previous)
             << "</td><td>" << Html(value.found) << "</td></tr>\n";
    }
}

// The report page: every value found against the setup's previous one, then every plot the
// steps left in `dir`. Written beside a temporary name first, so a reader never sees half a page.
std::string WriteReport(const fs::path& dir, const std::vector<StepReport>& steps) {
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Commissioning report</title>\n"
            "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
            "td,th{border:1px solid #999;padding:2px 8px}img{max-width:100%}</style></head><body>\n"
            "<h1>Commissioning report</h1>\n<table>\n<tr><th>Step</th><th>Value</th><th>Setup before</th>"
            "<th>Found</th></tr>\n";
    for (const StepReport& step : steps) WriteValueRows(page, step.test, step.values);
    page << "</table>\n";
    std::vector<fs::path> plots;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string extension = entry.path().extension().string();
        if (extension == ".svg" || extension == ".png") plots.push_back(entry.path().filename());
    }
    std::sort(plots.begin(), plots.end());
    for (const fs::path& plot : plots) {
        // The vector picture when there is one; its PNG twin stays beside it for other tools.
        if (plot.extension() == ".png" && std::find(plots.begin(), plots.end(), fs::path(plot).replace_extension(".svg")) != plots.end())
            continue;
        page << "<h2>" << Html(plot.stem().string()) << "</h2>\n<img src=\"" << Html(plot.string()) << "\" alt=\""
             << Html(plot.stem().string()) << "\">\n";
    }
    page << "</body></html>\n";

    const fs::path target = dir / "index.html";
    const fs::path temporary = dir / ".index.html.part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << page.str();
        if (!file.flush()) return "cannot write " + temporary.string();
    }
    fs::rename(temporary, target, error);
    if (error) return "cannot write " + target.string() + ": " + error.message();
    return {};
}

int Fail(const CommandContext& ctx, const std::string& message) {
    ctx.err << "pelmora commission: " << message << '\n';
    return ToInt(ExitCode::Failure);
}

}  // namespace

std::vector<std::string_view> CommissioningSequence() {
    const std::vector<std::string_view> built = CommissioningTestNames();
    std::vector<std::string_view> sequence;
    for (std::string_view step : kSequence) {
        if (std::find(built.begin(), built.end(), step) != built.end()) sequence.push_back(step);
    }
    return sequence;
}

CLI::App* AddCommissionCommand(CLI::App& app, CommissionArguments& out) {
    CLI::App* commission = app.add_subcommand(
        "commission", "Commission a new axis: every commissioning test in turn, each keeping what it found");
    commission->add_option("setup", out.setupPath, "SETUP (default: the embedded default setup)");
    commission->add_option("--sim", out.simPath, "The simulated drive's truth (JSON); default: the embedded one");
    commission->add_option("--drive", out.drive, "The drive link: sim (default), tcp:HOST:PORT or serial:DEVICE");
    commission->add_option("-o,--output", out.outPath, "Save the commissioned setup to OUT")->required();
    commission->add_option("--report", out.reportDir, "Write a report page (index.html) and its plots to DIR");
    commission->footer("Example: pelmora commission axis.json -o axis-commissioned.json --report report/");
    return commission;
}

int RunCommission(const CommandContext& ctx, const CommissionArguments& a) {
    if (a.outPath.empty()) return Fail(ctx, "-o OUT is required: a commissioning is saved as a new setup");
    // Every step reads the setup the previous step kept; the steps' files live in a private
    // folder, so nothing reaches OUT unless the last step succeeded.
    std::error_code error;
    const fs::path work = fs::temp_directory_path() / ("pelmora-commission-" + std::to_string(::getpid()));
    fs::remove_all(work, error);
    if (!fs::create_directories(work, error)) return Fail(ctx, "cannot make " + work.string() + ": " + error.message());
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{work};

    const fs::path report = a.reportDir.empty() ? fs::path() : fs::path(a.reportDir);
    if (!report.empty() && !fs::is_directory(report) && !fs::create_directories(report, error))
        return Fail(ctx, "cannot make the report folder " + report.string() + ": " + error.message());

    std::string current = a.setupPath;
    std::vector<StepReport> steps;
    const std::vector<std::string_view> sequence = CommissioningSequence();
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        const std::string_view test = sequence[i];
        ctx.err << "pelmora commission: step " << i + 1 << " of " << sequence.size() << ": " << test << '\n';
        TestArguments step;
        step.name = test;
        step.setupPath = current;
        step.simPath = a.simPath;
        step.drive = a.drive;
        step.answer = "yes";
        step.outPath = (work / ("step-" + std::to_string(i + 1) + ".json")).string();
        // A user tunes each loop from its passband before testing it.
        step.tune = TestTunes(test);
        // Each step response goes into the report beside the values.
        if (!report.empty() && TestPlots(test)) step.plotDir = report.string();
        StepReport done{test, {}};
        const int code = RunTest(ctx, step, &done.values);
        if (code != 0) {
            return Fail(ctx, "step " + std::to_string(i + 1) + " (" + std::string(test) +
                                 ") failed; the commissioning stopped there and nothing was saved");
        }
        if (!fs::exists(step.outPath) && !TestStoresResults(test)) {
            // A check that passed and stores nothing: the next step goes on from the same setup.
            steps.push_back(std::move(done));
            continue;
        }
        if (!fs::exists(step.outPath)) {
            return Fail(ctx, "step " + std::to_string(i + 1) + " (" + std::string(test) +
                                 ") kept nothing; the commissioning stopped there and nothing was saved");
        }
        current = step.outPath;
        steps.push_back(std::move(done));
    }

    const SetupLoadResult commissioned = LoadSetupFile(current);
    if (!commissioned) return Fail(ctx, commissioned.error);
    if (const std::string saveError = SaveSetupFile(*commissioned.setup, a.outPath); !saveError.empty())
        return Fail(ctx, saveError);
    if (!report.empty()) {
        if (const std::string reportError = WriteReport(report, steps); !reportError.empty()) return Fail(ctx, reportError);
        ctx.err << "pelmora commission: report in " << (report / "index.html").string() << '\n';
    }
    return ToInt(ExitCode::Success);
}
