#include "Commands.h"

#include "DriveConnection.h"

#include "Decode.h"
#include "EditGui.h"
#include "Encode.h"
#include "HeadlessScript.h"
#include "MC_SetupFile.h"
#include "Options.h"
#include "ShownValue.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <ostream>

// Parameter names hold neither '/' nor a ".json" ending, so such an argument names a file, and
// so does anything that exists (a device included: it is then refused as a setup, not taken for
// a parameter name).
bool LooksLikeSetupFile(const std::string& arg) {
    std::error_code error;
    return arg.ends_with(".json") || arg.find('/') != std::string::npos || std::filesystem::exists(arg, error);
}

bool IsSetArgumentASetup(const std::string& arg) {
    return arg.find('=') == std::string::npos || arg.ends_with(".json");
}

std::string TakeSetupArgument(std::vector<std::string>& args, bool (*isSetup)(const std::string&)) {
    if (args.empty() || !isSetup(args.front())) return {};
    std::string path = args.front();
    args.erase(args.begin());
    return path;
}

namespace {

constexpr std::string_view kDefaultSetupName = "the default setup";

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::string UnitList(UnitType type) {
    std::string list;
    for (const CMC_Unit& unit : CMC_Units::Instance().DisplayUnits(type)) {
        if (!list.empty()) list += ", ";
        list += unit.GetName();
    }
    return list;
}

std::string ScaleUnitList() {
    std::string list;
    for (std::size_t i = 0; i < kUnitTypeCount; ++i) {
        const UnitTypeInfo& info = CMC_Units::Instance().Info(static_cast<UnitType>(i));
        if (!info.isPhysical) continue;
        if (!list.empty()) list += ", ";
        list += "\"" + std::string(info.scaleText) + "\"";
    }
    return list;
}

// Columns on a terminal: one per UTF-8 character, not per byte ("µs", "°C", "Ω").
std::size_t DisplayWidth(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
        }
        out << line << '\n';
    }
}

std::string WithUnit(double value, std::string_view unit, std::string (*format)(double) = FormatExact) {
    std::string text = format(value);
    if (!unit.empty() && unit != "-") {
        text += ' ';
        text += unit;
    }
    return text;
}

struct ParameterState {
    double value, min, max;
    bool operator==(const ParameterState&) const = default;
};

std::vector<ParameterState> TakeStates(const CMC_Setup& setup) {
    std::vector<ParameterState> states;
    for (const auto& p : setup.GetParameters()) {
        states.push_back({p->GetValueInBaseUnit(), p->GetMinInBaseUnit(), p->GetMaxInBaseUnit()});
    }
    return states;
}

// Collects what the passes report (a parameter they need and the setup lacks) while it lives:
// a pass that could not do its work is a failure, and each message is told once, not once per
// step that tripped over the same missing name.
class PassErrors {
public:
    PassErrors(const CommandContext& ctx, std::string_view command) : m_ctx(ctx), m_command(command) {
        m_previous = SetErrorSink([this](std::string_view message) {
            if (std::find(m_messages.begin(), m_messages.end(), message) == m_messages.end()) {
                m_messages.emplace_back(message);
            }
        });
    }
    ~PassErrors() { SetErrorSink(std::move(m_previous)); }
    PassErrors(const PassErrors&) = delete;
    PassErrors& operator=(const PassErrors&) = delete;

    // Prints the messages; true when there were none.
    bool Report() const {
        for (const std::string& message : m_messages) m_ctx.err << "pelmora " << m_command << ": " << message << '\n';
        if (!m_messages.empty()) m_ctx.err << "pelmora " << m_command << ": the setup is incomplete; nothing was saved\n";
        return m_messages.empty();
    }

private:
    const CommandContext& m_ctx;
    std::string m_command;
    ErrorSink m_previous;
    std::vector<std::string> m_messages;
};

}  // namespace

std::string FormatExact(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}


std::unique_ptr<CMC_Setup> OpenSetup(const CommandContext& ctx, const std::string& path) {
    SetupLoadResult loaded = path.empty() ? LoadDefaultSetup() : LoadSetupFile(path);
    if (!loaded) {
        ctx.err << "pelmora: " << loaded.error << '\n';
        return nullptr;
    }
    ctx.plugin.Attach(*loaded.setup);
    return std::move(loaded.setup);
}

int RunScale(const CommandContext& ctx, const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3) {
        ctx.err << "pelmora scale: expected [SETUP] UNIT NAME\n";
        return ToInt(ExitCode::Misuse);
    }
    const std::string path = args.size() == 3 ? args[0] : std::string();
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);
    const std::string& unit = args[args.size() - 2];
    const std::string& name = args.back();
    // The plug-in answers factor 1 for a unit it does not know, which reads as a real answer.
    if (!CMC_Units::Instance().FindBaseUnit(unit)) {
        ctx.err << "pelmora scale: unknown unit \"" << unit << "\"; the units are " << ScaleUnitList() << '\n';
        return ToInt(ExitCode::Failure);
    }
    const double factor = ctx.plugin.GetScaleFactor(setup.get(), unit.c_str(), name.c_str());
    const double offset = ctx.plugin.GetScaleOffset(setup.get(), unit.c_str());
    char line[128];
    std::snprintf(line, sizeof line, "factor %.17g\noffset %.17g\n", factor, offset);
    ctx.out << line;
    return ToInt(ExitCode::Success);
}

int RunShow(const CommandContext& ctx, const std::vector<std::string>& arguments, ShowSelection selection) {
    std::vector<std::string> names = arguments;
    const std::string path = TakeSetupArgument(names, LooksLikeSetupFile);
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);

    std::vector<const CMC_Parameter*> chosen;
    if (names.empty()) {
        for (const auto& p : setup->GetParameters()) chosen.push_back(p.get());
    } else {
        CMC_QuietErrors quiet;
        for (const std::string& name : names) {
            const CMC_Parameter* parameter = setup->FindParameter(name);
            if (!parameter) {
                ctx.err << "pelmora show: " << (path.empty() ? std::string(kDefaultSetupName) : path)
                        << " has no parameter \"" << name << "\"\n";
                return ToInt(ExitCode::Failure);
            }
            chosen.push_back(parameter);
        }
    }

    if (selection.identity) {
        const SetupIdentity& id = setup->GetIdentity();
        PrintTable(ctx.out, {{"description", id.description},
                             {"product ID", id.productId},
                             {"firmware ID", id.firmwareId},
                             {"application ID", id.userAppId},
                             {"E2ROM size", std::to_string(id.e2romSize) + " words"},
                             {"MC version", std::to_string(id.mcVersion)},
                             {"ADC", std::to_string(id.adcBits) + " bits, full scale " +
                                         std::to_string(Compute_ADCMaxValue(setup.get()))}});
    }
    if (selection.options) {
        std::vector<std::vector<std::string>> rows{{"Option", "Value"}};
        for (const auto& [name, value] : setup->GetOptions()) rows.push_back({name, value});
        PrintTable(ctx.out, rows);
    }
    if (selection.variables) {
        std::vector<std::vector<std::string>> rows{{"Variable", "Unit type", "Unit"}};
        for (const auto& v : setup->GetVariables()) {
            rows.push_back({v->GetName(), std::string(CMC_Units::Instance().Info(v->GetUnitType()).key),
                            v->GetUnitName()});
        }
        PrintTable(ctx.out, rows);
    }
    if (!names.empty() || !(selection.identity || selection.options || selection.variables)) {
        std::vector<std::vector<std::string>> rows{{"Parameter", "Value", "Base", "Internal", "Min", "Max"}};
        for (const CMC_Parameter* p : chosen) {
            const std::string_view baseUnit = CMC_Units::Instance().BaseUnit(p->GetUnitType()).GetName();
            std::string shown = pelmora::ShownValueText(*setup, p->GetName(), pelmora::kListingDigits);
            if (std::string_view(p->GetUnitName()) != "-") shown += std::string(" ") + p->GetUnitName();
            rows.push_back({p->GetName(), shown,
                            WithUnit(p->GetValueInBaseUnit(), baseUnit), FormatExact(p->GetValueInInternalUnit()),
                            WithUnit(p->GetMinInBaseUnit(), baseUnit), WithUnit(p->GetMaxInBaseUnit(), baseUnit)});
        }
        PrintTable(ctx.out, rows);
    }
    return ToInt(ExitCode::Success);
}

namespace {

// Splits "NAME=VALUE" (blanks around NAME ignored); nullopt without an "=".
std::optional<std::pair<std::string, std::string>> SplitAssignment(std::string_view text) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    return std::pair{Trim(text.substr(0, equals)), std::string(text.substr(equals + 1))};
}

// Applies the options, units on show and identity members of `extras` to the loaded setup, or
// says what is wrong and returns the exit code; the caller saves nothing then.
std::optional<ExitCode> ApplySetExtras(const CommandContext& ctx, CMC_Setup& setup, const SetExtras& extras,
                                       const std::string& where) {
    for (const auto& [list, form] : {std::pair{&extras.options, "--option NAME=VALUE"},
                                     std::pair{&extras.units, "--unit NAME=UNIT"},
                                     std::pair{&extras.identity, "--identity NAME=VALUE"}}) {
        for (const std::string& text : *list) {
            if (!SplitAssignment(text)) {
                ctx.err << "pelmora set: \"" << text << "\" is not " << form << '\n';
                return ExitCode::Misuse;
            }
        }
    }
    for (const std::string& text : extras.options) {
        const auto [name, value] = *SplitAssignment(text);
        std::string known;
        bool found = false;
        for (const auto& option : setup.GetOptions()) {
            found = found || EqualsNoCase(option.first, name);
            known += (known.empty() ? "" : ", ") + option.first;
        }
        // A misspelt name would otherwise add an option that nothing reads.
        if (!found) {
            ctx.err << "pelmora set: " << where << " has no option \"" << name << "\"; it has " << known << '\n';
            return ExitCode::Failure;
        }
        setup.SetOption(name, value);
    }
    for (const std::string& text : extras.units) {
        const auto [name, unit] = *SplitAssignment(text);
        CMC_QuietErrors quiet;
        CMC_Parameter* parameter = setup.FindParameter(name);
        if (!parameter) {
            ctx.err << "pelmora set: no parameter \"" << name << "\" in " << where << '\n';
            return ExitCode::Failure;
        }
        if (!parameter->ChangeUnit(Trim(unit))) {
            ctx.err << "pelmora set: " << name << ": unit \"" << Trim(unit) << "\" does not fit; use one of "
                    << UnitList(parameter->GetUnitType()) << '\n';
            return ExitCode::Failure;
        }
    }
    for (const std::string& text : extras.identity) {
        const auto [name, value] = *SplitAssignment(text);
        if (const std::string error = SetIdentityMember(setup, name, value); !error.empty()) {
            ctx.err << "pelmora set: " << error << '\n';
            return ExitCode::Failure;
        }
    }
    return std::nullopt;
}

}  // namespace

int RunSet(const CommandContext& ctx, const std::vector<std::string>& arguments, const std::string& outPath,
           const SetExtras& extras) {
    std::vector<std::string> assignments = arguments;
    const std::string path = TakeSetupArgument(assignments, IsSetArgumentASetup);
    if (assignments.empty() && extras.Empty()) {
        ctx.err << "pelmora set: expected NAME=VALUE[UNIT]\n";
        return ToInt(ExitCode::Misuse);
    }
    if (path.empty() && outPath.empty()) {
        ctx.err << "pelmora set: the default setup is built in; give -o OUT to save the changed setup\n";
        return ToInt(ExitCode::Misuse);
    }
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);

    // Check every assignment before changing anything, so a bad one leaves the file as it was.
    struct Change {
        CMC_Parameter* parameter;
        double base;
    };
    std::vector<Change> changes;
    for (const std::string& assignment : assignments) {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos) {
            ctx.err << "pelmora set: \"" << assignment << "\" is not NAME=VALUE[UNIT]\n";
            return ToInt(ExitCode::Misuse);
        }
        const std::string name = Trim(std::string_view(assignment).substr(0, equals));
        CMC_Parameter* parameter = nullptr;
        {
            CMC_QuietErrors quiet;
            parameter = setup->FindParameter(name);
        }
        if (!parameter) {
            ctx.err << "pelmora set: no parameter \"" << name << "\" in "
                    << (path.empty() ? std::string(kDefaultSetupName) : path) << '\n';
            return ToInt(ExitCode::Failure);
        }
        const TypedQuantityResult typed = ParseTypedQuantity(std::string_view(assignment).substr(equals + 1));
        if (!typed.quantity) {
            ctx.err << "pelmora set: " << name << ": " << typed.error << '\n';
            return ToInt(ExitCode::Failure);
        }
        const CMC_Unit* unit = typed.quantity->unit.empty()
                                   ? &parameter->GetUnit()
                                   : CMC_Units::Instance().FindUnit(parameter->GetUnitType(), typed.quantity->unit);
        if (!unit) {
            ctx.err << "pelmora set: " << name << ": unit \"" << typed.quantity->unit << "\" does not fit; use one of "
                    << UnitList(parameter->GetUnitType()) << '\n';
            return ToInt(ExitCode::Failure);
        }
        double base = 0.0;
        if (!parameter->ToBase(typed.quantity->value, *unit, base)) {
            ctx.err << "pelmora set: " << name << ": the value has no finite value in "
                    << CMC_Units::Instance().BaseUnit(parameter->GetUnitType()).GetName()
                    << (unit->IsInternal() ? " (the setup's scales give no internal unit for it)\n" : "\n");
            return ToInt(ExitCode::Failure);
        }
        if (base < parameter->GetMinInBaseUnit() || base > parameter->GetMaxInBaseUnit()) {
            const std::string_view baseUnit = CMC_Units::Instance().BaseUnit(parameter->GetUnitType()).GetName();
            ctx.err << "pelmora set: " << name << ": " << WithUnit(base, baseUnit) << " lies outside ["
                    << WithUnit(parameter->GetMinInBaseUnit(), baseUnit) << ", "
                    << WithUnit(parameter->GetMaxInBaseUnit(), baseUnit) << "]\n";
            return ToInt(ExitCode::Failure);
        }
        changes.push_back({parameter, base});
    }
    if (const auto failed = ApplySetExtras(ctx, *setup, extras, path.empty() ? std::string(kDefaultSetupName) : path)) {
        return ToInt(*failed);
    }
    for (const Change& change : changes) change.parameter->SetValueInBaseUnit(change.base);

    // Leave what the dialogs' OK leaves: registers from the new values, then everything that
    // follows from the registers. Then say what that moved besides the assignments.
    const std::vector<ParameterState> before = TakeStates(*setup);
    PassErrors errors(ctx, "set");
    const int rounds = pelmora::SettleSetup(*setup);
    if (!errors.Report()) return ToInt(ExitCode::Failure);
    if (rounds == 0) {
        ctx.err << "pelmora set: the setup does not settle (values still move after " << pelmora::kMaxSettleRounds
                << " rounds of registers and parameters); nothing was saved\n";
        return ToInt(ExitCode::Failure);
    }
    const std::vector<ParameterState> after = TakeStates(*setup);
    for (const Change& change : changes) {
        const double kept = change.parameter->GetValueInBaseUnit();
        if (kept != change.base) {
            const std::string_view baseUnit =
                CMC_Units::Instance().BaseUnit(change.parameter->GetUnitType()).GetName();
            ctx.err << "pelmora set: warning: " << change.parameter->GetName() << " is kept as "
                    << WithUnit(kept, baseUnit) << ", not " << WithUnit(change.base, baseUnit)
                    << ": the nearest value that the drive's registers hold and the other settings allow\n";
        }
    }
    // Options that follow from the parameters (the closed loops) are set again by the passes.
    for (const std::string& text : extras.options) {
        const auto [name, value] = *SplitAssignment(text);
        if (const std::string kept = setup->GetOptionNoError(name); kept != value) {
            ctx.err << "pelmora set: warning: option " << name << " is kept as \"" << kept << "\", not \"" << value
                    << "\": it follows from the other settings\n";
        }
    }
    for (std::size_t i = 0; i < after.size(); ++i) {
        const CMC_Parameter* p = setup->GetParameters()[static_cast<int>(i)];
        const bool assigned = std::any_of(changes.begin(), changes.end(),
                                          [p](const Change& change) { return change.parameter == p; });
        if (assigned || after[i] == before[i]) continue;
        const std::string_view baseUnit = CMC_Units::Instance().BaseUnit(p->GetUnitType()).GetName();
        ctx.out << "also changed: " << p->GetName() << " " << WithUnit(before[i].value, baseUnit) << " -> "
                << WithUnit(after[i].value, baseUnit);
        if (after[i].min != before[i].min || after[i].max != before[i].max) {
            ctx.out << " (range [" << WithUnit(after[i].min, baseUnit) << ", " << WithUnit(after[i].max, baseUnit)
                    << "])";
        }
        ctx.out << '\n';
    }

    const std::string target = outPath.empty() ? path : outPath;
    if (const std::string error = SaveSetupFile(*setup, target); !error.empty()) {
        ctx.err << "pelmora set: " << error << '\n';
        return ToInt(ExitCode::Failure);
    }
    return ToInt(ExitCode::Success);
}

std::string SetupSummaryJson(const CMC_Setup& setup) {
    nlohmann::ordered_json parameters = nlohmann::ordered_json::array();
    for (const auto& p : setup.GetParameters()) {
        parameters.push_back({{"name", p->GetName()},
                              {"value", p->GetValueInBaseUnit()},
                              {"min", p->GetMinInBaseUnit()},
                              {"max", p->GetMaxInBaseUnit()},
                              {"unit", CMC_Units::Instance().BaseUnit(p->GetUnitType()).GetName()}});
    }
    nlohmann::ordered_json options = nlohmann::ordered_json::object();
    for (const auto& [name, value] : setup.GetOptions()) options[name] = value;
    nlohmann::ordered_json doc = {{"parameters", std::move(parameters)}, {"options", std::move(options)}};
    return doc.dump(1, '\t') + "\n";
}

namespace {

// Loads the setup, runs one pass over it, then prints and saves as asked.
int RunPass(const CommandContext& ctx, const char* command, const std::vector<std::string>& args,
            const PassOptions& options, void (*pass)(const CommandContext& ctx, CMC_Setup& setup)) {
    if (args.size() > 1) {
        ctx.err << "pelmora " << command << ": expected at most one SETUP\n";
        return ToInt(ExitCode::Misuse);
    }
    const std::string path = args.empty() ? std::string() : args.front();
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);
    {
        PassErrors errors(ctx, command);
        pass(ctx, *setup);
        if (!errors.Report()) return ToInt(ExitCode::Failure);
    }
    if (options.json) ctx.out << SetupSummaryJson(*setup);
    if (!options.outPath.empty()) {
        if (const std::string error = SaveSetupFile(*setup, options.outPath); !error.empty()) {
            ctx.err << "pelmora " << command << ": " << error << '\n';
            return ToInt(ExitCode::Failure);
        }
    }
    return ToInt(ExitCode::Success);
}

}  // namespace

int RunCompute(const CommandContext& ctx, const std::vector<std::string>& args, const PassOptions& options) {
    return RunPass(ctx, "compute", args, options,
                   [](const CommandContext& c, CMC_Setup& setup) { c.plugin.ComputeAllOptions(&setup); });
}

int RunEncode(const CommandContext& ctx, const std::vector<std::string>& args, const PassOptions& options) {
    // The register pass is not one of the plug-in's entry points: the application runs the
    // plug-in's core for it directly.
    return RunPass(ctx, "encode", args, options, [](const CommandContext&, CMC_Setup& setup) {
        pelmora::UpdateRegistersWithCurrentPeriods(setup);
    });
}

int RunEdit(const CommandContext& ctx, const std::vector<std::string>& args, const std::string& scriptPath,
            const std::string& outPath, const EditDrive& drive) {
    DriveConnection connection;
    if (drive.Wanted()) {
        if (const std::string error = connection.Open(drive.simPath, drive.drive); !error.empty()) {
            ctx.err << "pelmora edit: " << error << '\n';
            return ToInt(ExitCode::Failure);
        }
    }
    if (scriptPath.empty()) return RunEditGui(ctx, args, outPath);
    if (args.size() > 1) {
        ctx.err << "pelmora edit: expected at most one SETUP\n";
        return ToInt(ExitCode::Misuse);
    }
    std::error_code typeError;
    if (std::filesystem::is_directory(scriptPath, typeError)) {
        ctx.err << "pelmora edit: " << scriptPath << ": is a folder, not a script\n";
        return ToInt(ExitCode::Failure);
    }
    std::ifstream file(scriptPath);
    if (!file) {
        ctx.err << "pelmora edit: " << scriptPath << ": cannot be opened\n";
        return ToInt(ExitCode::Failure);
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        ctx.err << "pelmora edit: " << scriptPath << ": cannot be read\n";
        return ToInt(ExitCode::Failure);
    }
    HeadlessScript script;
    if (!script.Parse(text.str())) {
        ctx.err << "pelmora edit: " << scriptPath << ": " << script.Error() << '\n';
        return ToInt(ExitCode::Failure);
    }
    const std::string path = args.empty() ? std::string() : args.front();
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);

    HeadlessUi ui;
    script.Attach(ui, *setup, ctx.out);
    SetUiBackend(&ui);
    ErrorSink previous = SetErrorSink([&ctx](std::string_view message) { ctx.err << "pelmora edit: " << message << '\n'; });
    const int result = ctx.plugin.EditSetup(setup.get());
    SetErrorSink(std::move(previous));
    SetUiBackend(nullptr);

    for (const auto& message : ui.Messages()) ctx.err << "[" << message.caption << "] " << message.text << '\n';
    if (!script.Succeeded()) {
        ctx.err << "pelmora edit: " << scriptPath << ": " << script.Error() << "; nothing was saved\n";
        return ToInt(ExitCode::Failure);
    }
    if (!script.Finished()) {
        ctx.err << "pelmora edit: " << scriptPath << ": line " << script.NextLineNumber()
                << ": the dialogs closed before the script reached this line; nothing was saved\n";
        return ToInt(ExitCode::Failure);
    }
    for (const std::string& caption : ui.LeftOpen()) {
        ctx.err << "pelmora edit: the script left \"" << caption << "\" open; it was cancelled\n";
    }
    if (result != 1) {
        ctx.err << "pelmora edit: the drive setup was cancelled; nothing was saved\n";
        return ToInt(ExitCode::Success);
    }
    if (!outPath.empty()) {
        if (const std::string error = SaveSetupFile(*setup, outPath); !error.empty()) {
            ctx.err << "pelmora edit: " << error << '\n';
            return ToInt(ExitCode::Failure);
        }
    }
    return ToInt(ExitCode::Success);
}
