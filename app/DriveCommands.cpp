#include "DriveCommands.h"

#include "DriveConnection.h"

#include "MC_CoffFormat.h"
#include "MC_Comm.h"
#include "MC_Dialog.h"
#include "MC_Loggers.h"
#include "MC_SetupFile.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>
#include <thread>

namespace {

// How often a run is polled, and how often it says how far it got.
constexpr double kPoll_s = 0.020;
constexpr double kProgress_s = 1.0;

std::optional<double> ParseNumber(const std::string& text) {
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// NAME=VALUE into its parts; false when either is missing.
bool SplitAssignment(const std::string& text, std::string& name, std::string& value) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
    name = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// Lets host time pass: the virtual clock moves on at once, a real one is waited for.
void PassTime(double seconds) {
    UiBackend& ui = GetUiBackend();
    const double before_s = ui.Now_s();
    ui.AdvanceClock(seconds);
    const double left_s = seconds - (ui.Now_s() - before_s);
    if (left_s > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(left_s));
}

// Connects for the lifetime of a command and leaves no link behind.

int Fail(const CommandContext& ctx, const std::string& message) {
    ctx.err << "pelmora drive: " << message << '\n';
    return ToInt(ExitCode::Failure);
}

int Misuse(const CommandContext& ctx, const std::string& message) {
    ctx.err << "pelmora drive: " << message << '\n';
    return ToInt(ExitCode::Misuse);
}

int RunRead(const CommandContext& ctx, CMC_Setup& setup, const std::vector<std::string>& names) {
    int failures = 0;
    for (const std::string& name : names) {
        if (CMC_Variable* variable = setup.FindVariable(name, 1)) {
            if (!variable->ReadFromChip()) {
                ctx.err << "pelmora drive: " << CMC_Comm::GetLastErrorText() << '\n';
                ++failures;
                continue;
            }
            ctx.out << variable->GetName() << " = " << variable->PrintValue() << " ("
                    << FormatExact(variable->GetValueInInternalUnit()) << " IU)\n";
            continue;
        }
        CMC_QuietErrors quiet;
        const CMC_Parameter* parameter = setup.FindParameter(name);
        if (!parameter || parameter->GetKind() != ParameterKind::Register) {
            ctx.err << "pelmora drive: the setup has no drive variable or register \"" << name << "\"\n";
            ++failures;
            continue;
        }
        drivesim::Request read;
        read.op = drivesim::Op::ReadRegister;
        read.name = parameter->GetName();
        const drivesim::Response response = CMC_Comm::Transact(read);
        if (!response.ok()) {
            ctx.err << "pelmora drive: " << CMC_Comm::GetLastErrorText() << '\n';
            ++failures;
            continue;
        }
        ctx.out << parameter->GetName() << " = " << FormatExact(response.value) << '\n';
    }
    return failures == 0 ? ToInt(ExitCode::Success) : ToInt(ExitCode::Failure);
}

int RunWrite(const CommandContext& ctx, CMC_Setup& setup, const std::vector<std::string>& assignments) {
    // Every assignment is checked before the first goes out, so a typo writes nothing.
    struct Write {
        CMC_Parameter* parameter = nullptr;
        CMC_Variable* variable = nullptr;
        double value = 0.0;
    };
    std::vector<Write> writes;
    for (const std::string& assignment : assignments) {
        std::string name;
        std::string text;
        if (!SplitAssignment(assignment, name, text)) return Misuse(ctx, "expected NAME=VALUE, got \"" + assignment + "\"");
        const auto value = ParseNumber(text);
        if (!value) return Misuse(ctx, "\"" + text + "\" is not a number (in " + assignment + ")");
        Write write;
        write.value = *value;
        if ((write.variable = setup.FindVariable(name, 1)) != nullptr) {
            // Entered in the variable's base unit: internal = base / factor - offset.
            const double factor = write.variable->ScaleFactor();
            const double internal = write.value / factor - write.variable->ScaleOffset();
            if (!std::isfinite(internal)) return Fail(ctx, name + ": the setup's scale gives no internal value for " + text);
            write.value = internal;
        } else {
            CMC_QuietErrors quiet;
            write.parameter = setup.FindParameter(name);
            if (!write.parameter || write.parameter->GetKind() != ParameterKind::Register)
                return Fail(ctx, "the setup has no drive variable or register \"" + name + "\"");
            if (write.value < write.parameter->GetMinInBaseUnit() || write.value > write.parameter->GetMaxInBaseUnit() ||
                write.value != std::round(write.value))
                return Fail(ctx, name + " takes whole numbers from " + FormatExact(write.parameter->GetMinInBaseUnit()) +
                                     " to " + FormatExact(write.parameter->GetMaxInBaseUnit()) + ", not " + text);
        }
        writes.push_back(write);
    }
    for (const Write& write : writes) {
        if (write.parameter) {
            write.parameter->SetValueInBaseUnit(write.value);
            if (!write.parameter->WriteToChip()) return Fail(ctx, CMC_Comm::GetLastErrorText());
            ctx.out << write.parameter->GetName() << " = " << FormatExact(write.value) << '\n';
            continue;
        }
        write.variable->SetValueInInternalUnit(write.value);
        if (!write.variable->WriteToChip()) return Fail(ctx, CMC_Comm::GetLastErrorText());
        ctx.out << write.variable->GetName() << " = " << FormatExact(write.value) << " IU\n";
    }
    return ToInt(ExitCode::Success);
}

std::string LogCsv(CMC_SingleAxisLogger& logger) {
    std::string csv = "time_s";
    for (const CMC_Logger::Item& item : logger.GetItems()) csv += "," + item.name;
    csv += '\n';
    std::vector<double> record(logger.GetItems().size() + 1);
    while (logger.ReadPoint(record.data())) {
        for (std::size_t i = 0; i < record.size(); ++i) {
            if (i) csv += ',';
            csv += FormatExact(record[i]);
        }
        csv += '\n';
    }
    return csv;
}

int RunProgram(const CommandContext& ctx, CMC_Setup& setup, const DriveArguments& a) {
    if (a.args.empty()) return Misuse(ctx, "run: expected [SETUP] PROGRAM [VAR=VALUE...]");
    if (!(a.timeout_s > 0.0) || !std::isfinite(a.timeout_s)) return Misuse(ctx, "run: --timeout must be positive");
    if (!a.csvPath.empty() && a.log.empty()) return Misuse(ctx, "run: --csv needs --log NAME,...");
    const std::string& name = a.args.front();
    CMC_CoffFormat program;
    const std::string path = GetOutPathName(name);
    if (path.empty()) return Fail(ctx, "\"" + name + "\" is not a program name");
    if (!program.ReadCoff(path)) return Fail(ctx, program.GetErrorText());

    std::string error;
    for (std::size_t i = 1; i < a.args.size(); ++i) {
        std::string variable;
        std::string text;
        if (!SplitAssignment(a.args[i], variable, text)) return Misuse(ctx, "expected VAR=VALUE, got \"" + a.args[i] + "\"");
        const auto value = ParseNumber(text);
        if (!value) return Misuse(ctx, "\"" + text + "\" is not a number (in " + a.args[i] + ")");
        if (!CMC_ProgramRunner::SetUserVariableValue(&program, variable.c_str(), *value, error)) return Fail(ctx, error);
    }

    std::unique_ptr<CMC_SingleAxisLogger> logger;
    if (!a.log.empty()) {
        logger = std::make_unique<CMC_SingleAxisLogger>(&setup, &program);
        if (!logger->ChangeSettings(a.points, a.logType, 1)) return Misuse(ctx, "run: " + logger->GetErrorText());
        for (const std::string& variable : SplitList(a.log)) {
            if (!logger->AddVariable(variable.c_str(), 1)) return Fail(ctx, "--log: " + logger->GetErrorText());
        }
        if (logger->CorrectPointsNo() < a.points)
            ctx.err << "pelmora drive: the log holds " << logger->GetPointsNo() << " points of these variables\n";
    }

    if (!CMC_ProgramRunner::ExecuteCode(setup, name.c_str(), &program, logger.get(), error)) return Fail(ctx, error);
    ctx.err << "drive run: " << name << " started on the " << CMC_Comm::Describe() << '\n';

    const bool hasStarted = program.FindVariable("STARTED") != nullptr;
    const double begin_s = CMC_Comm::DriveTime_s();
    double lastReport_s = begin_s;
    for (;;) {
        PassTime(kPoll_s);
        double started = 1.0;
        if (hasStarted && !CMC_ProgramRunner::GetUserVariableValue(&program, "STARTED", started, error))
            return Fail(ctx, error);
        // A program runs until it has said so and its axis is off again; "no value" counts as
        // started.
        int axisOn = 0;
        if (started != 0.0 && !CMC_ProgramRunner::GetAxisOn(axisOn, error)) return Fail(ctx, error);
        const bool running = started == 0.0 || axisOn != 0;
        const double elapsed_s = CMC_Comm::DriveTime_s() - begin_s;
        if (CMC_Comm::DriveTime_s() - lastReport_s >= kProgress_s || !running) {
            lastReport_s = CMC_Comm::DriveTime_s();
            char line[96];
            std::snprintf(line, sizeof line, "drive run: %.2f s, %s, axis %s\n", elapsed_s,
                          started == 0.0 ? "not started" : "started", axisOn ? "on" : "off");
            ctx.err << line;
        }
        if (!running) break;
        if (elapsed_s >= a.timeout_s) {
            CMC_ProgramRunner::StopProgram(error);
            return Fail(ctx, name + " did not end within " + FormatExact(a.timeout_s) + " s of drive time; it was stopped");
        }
    }

    for (const CMC_CoffFormat::Variable& variable : program.GetVariables()) {
        double value = 0.0;
        if (!CMC_ProgramRunner::GetUserVariableValue(&program, variable.name.c_str(), value, error)) return Fail(ctx, error);
        ctx.out << variable.name << " = " << (value == kNoValue ? std::string("no value") : FormatExact(value)) << '\n';
    }

    int result = ToInt(ExitCode::Success);
    if (CMC_Variable* mer = setup.FindVariable("MER", 1)) {
        if (!mer->ReadFromChip()) return Fail(ctx, CMC_Comm::GetLastErrorText());
        const auto bits = static_cast<unsigned>(static_cast<long>(mer->GetValueInInternalUnit())) & 0xFFFFU;
        if (bits != 0) {
            char text[64];
            std::snprintf(text, sizeof text, "the drive reports errors: MER = 0x%04X", bits);
            ctx.err << "pelmora drive: " << text << '\n';
            result = ToInt(ExitCode::Failure);
        }
    }

    if (logger) {
        if (!logger->BeginUploadData()) return Fail(ctx, "log: " + logger->GetErrorText());
        const std::string csv = LogCsv(*logger);
        logger->EndUploadData();
        if (a.csvPath.empty()) {
            ctx.out << csv;
        } else if (const std::string failure = WriteFileAtomically(a.csvPath, csv); !failure.empty()) {
            return Fail(ctx, failure);
        }
    }
    return result;
}

}  // namespace

CLI::App* AddDriveCommand(CLI::App& app, DriveArguments& out) {
    CLI::App* drive = app.add_subcommand("drive", "Read, write and run programs on the drive");
    drive->require_subcommand(1);
    auto common = [&out](CLI::App* command) {
        command->add_option("--sim", out.simPath, "The simulated drive's truth (JSON); default: the embedded one");
        command->add_option("--drive", out.drive, "sim (default), tcp:HOST:PORT or serial:DEVICE");
    };
    CLI::App* read = drive->add_subcommand("read", "Print drive variables in their units, and registers");
    read->add_option("args", out.args, "[SETUP] NAME...")->required();
    common(read);
    CLI::App* write = drive->add_subcommand("write", "Write registers (counts) and drive variables (base units)");
    write->add_option("args", out.args, "[SETUP] NAME=VALUE...")->required();
    common(write);
    CLI::App* run = drive->add_subcommand("run", "Download and start a drive program, wait for its end, print its outputs");
    run->add_option("args", out.args, "[SETUP] PROGRAM [VAR=VALUE...]")->required();
    run->add_option("--log", out.log, "Record these drive variables (NAME,NAME,...)");
    run->add_option("--csv", out.csvPath, "Write the record to FILE (otherwise to standard output)");
    run->add_option("--points", out.points, "Records to take")->capture_default_str();
    run->add_option("--log-type", out.logType, "1: a record per slow-loop period, 2: per current-loop period")
        ->capture_default_str();
    run->add_option("--timeout", out.timeout_s, "Stop the program after this many seconds of drive time")
        ->capture_default_str();
    common(run);
    drive->callback([drive, &out] {
        for (const char* action : {"read", "write", "run"}) {
            if (drive->got_subcommand(action)) out.action = action;
        }
    });
    return drive;
}

int RunDrive(const CommandContext& ctx, const DriveArguments& arguments) {
    DriveArguments a = arguments;
    const std::string path = TakeSetupArgument(a.args, LooksLikeSetupFile);
    if (a.args.empty()) return Misuse(ctx, a.action + ": nothing to do");
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);
    DriveConnection connection;
    if (const std::string error = connection.Open(a.simPath, a.drive); !error.empty()) return Fail(ctx, error);
    return RunDriveAction(ctx, *setup, a);
}

int RunDriveAction(const CommandContext& ctx, CMC_Setup& setup, const DriveArguments& a) {
    if (a.args.empty()) return Misuse(ctx, a.action + ": nothing to do");
    if (a.action == "read") return RunRead(ctx, setup, a.args);
    if (a.action == "write") return RunWrite(ctx, setup, a.args);
    if (a.action == "run") return RunProgram(ctx, setup, a);
    return Misuse(ctx, "unknown action \"" + a.action + "\"");
}
