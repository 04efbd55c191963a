// The pelmora subcommands, apart from their command line so that tests can run them.
#pragma once

#include "PluginLibrary.h"

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CommandContext {
    std::ostream& out;
    std::ostream& err;
    const PluginLibrary& plugin;
};

// Shortest text that reads back as the same double.
std::string FormatExact(double value);

// Whether a leading argument names a setup file: it ends in .json or is an existing file.
bool LooksLikeSetupFile(const std::string& arg);
// Before NAME=VALUE arguments, a leading argument without '=' is the setup, and so is one that
// looks like a file ("a=b.json" is a file name, not an assignment).
bool IsSetArgumentASetup(const std::string& arg);
// Splits off a leading setup file (as `isSetup` tells) from the other arguments; empty if none.
std::string TakeSetupArgument(std::vector<std::string>& args, bool (*isSetup)(const std::string&));

// Loads SETUP (or the embedded default setup when `path` is empty) and attaches the plug-in.
// Null after printing the reason to ctx.err.
std::unique_ptr<CMC_Setup> OpenSetup(const CommandContext& ctx, const std::string& path);

// `scale [SETUP] UNIT NAME`
int RunScale(const CommandContext& ctx, const std::vector<std::string>& args);

struct ShowSelection {
    bool identity = false;
    bool options = false;
    bool variables = false;
};
// `show [SETUP] [NAME...]`
int RunShow(const CommandContext& ctx, const std::vector<std::string>& args, ShowSelection selection);
// What `set` changes besides parameter values, each NAME=VALUE.
struct SetExtras {
    std::vector<std::string> options;   // --option NAME=VALUE: an option the setup has
    std::vector<std::string> units;     // --unit NAME=UNIT: the unit a parameter is shown in
    std::vector<std::string> identity;  // --identity NAME=VALUE: a member of the drive's identity
    bool Empty() const { return options.empty() && units.empty() && identity.empty(); }
};
// `set [SETUP] NAME=VALUE[UNIT]... [--option ...] [--unit ...] [--identity ...] [-o OUT]`
int RunSet(const CommandContext& ctx, const std::vector<std::string>& args, const std::string& outPath,
           const SetExtras& extras = {});

struct PassOptions {
    std::string outPath;  // empty: no file is changed
    bool json = false;    // print every parameter and option as one JSON document
};
// `compute [SETUP] [-o OUT] [--json]`: the plug-in's ComputeAllOptions (parameters from registers).
int RunCompute(const CommandContext& ctx, const std::vector<std::string>& args, const PassOptions& options);
// `encode [SETUP] [-o OUT] [--json]`: the register pass (registers from parameters).
int RunEncode(const CommandContext& ctx, const std::vector<std::string>& args, const PassOptions& options);

// The drive `edit` connects for the commissioning tests' buttons: none when both are empty.
struct EditDrive {
    std::string simPath;  // --sim: the simulated drive's truth
    std::string drive;    // --drive: sim, tcp:HOST:PORT or serial:DEVICE
    bool Wanted() const { return !simPath.empty() || !drive.empty(); }
};

// `edit [SETUP] --script FILE [-o OUT] [--sim FILE] [--drive LINK]`: the drive setup dialog,
// driven by a script; without a script (empty `scriptPath`) the dialog opens in a window
// (EditGui.h).
int RunEdit(const CommandContext& ctx, const std::vector<std::string>& args, const std::string& scriptPath,
            const std::string& outPath, const EditDrive& drive = {});

// Every parameter with its base value, minimum and maximum, and every option, as JSON.
std::string SetupSummaryJson(const CMC_Setup& setup);

// Exit codes of the application.
enum class ExitCode : int { Success = 0, Failure = 1, Misuse = 2 };
constexpr int ToInt(ExitCode code) { return static_cast<int>(code); }
