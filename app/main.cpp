// pelmora: the host application. Loads the motor-type plug-in and runs one subcommand.
#include "CommissionCommands.h"
#include "Commands.h"
#include "DriveCommands.h"
#include "TestCommands.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace {

// An empty argument would quietly mean "the default setup" or "save in place": refuse it.
const CLI::Validator kNotEmpty(
    [](const std::string& text) { return text.empty() ? std::string("an empty argument names nothing") : std::string(); },
    "NOT EMPTY", "not empty");

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pelmora: servo-drive setup for brushless motors with linear Hall sensors"};
    app.require_subcommand(1);
    std::string pluginPath = DefaultPluginPath();
    app.add_option("--plugin", pluginPath, "The motor-type plug-in to load")->capture_default_str();

    std::vector<std::string> scaleArgs;
    CLI::App* scale = app.add_subcommand("scale", "Print the scale factor and offset of a unit for a variable");
    scale->add_option("args", scaleArgs, "[SETUP] UNIT NAME")->required()->expected(2, 3)->check(kNotEmpty);
    scale->footer("Example: pelmora scale \"rad/s\" Motor_Speed");

    std::vector<std::string> showArgs;
    ShowSelection selection;
    CLI::App* show = app.add_subcommand("show", "Print parameters in their unit on show, base and internal units");
    show->add_option("args", showArgs, "[SETUP] [NAME...]")->check(kNotEmpty);
    show->add_flag("--identity", selection.identity, "Print the drive's identity");
    show->add_flag("--options", selection.options, "Print the options");
    show->add_flag("--variables", selection.variables, "Print the drive variables");
    show->footer("SETUP is taken as a file when it ends in .json or names an existing file.");

    std::vector<std::string> setArgs;
    std::string setOut;
    CLI::App* set = app.add_subcommand("set", "Change parameters and save the setup");
    SetExtras setExtras;
    set->add_option("args", setArgs, "[SETUP] NAME=VALUE[UNIT]...")->check(kNotEmpty);
    set->add_option("-o,--output", setOut, "Save to OUT instead of back to SETUP")->check(kNotEmpty);
    set->add_option("--option", setExtras.options, "Set an option the setup has: NAME=VALUE (repeatable)")
        ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    set->add_option("--unit", setExtras.units, "Show a parameter in another unit: NAME=UNIT (repeatable)")
        ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    set->add_option("--identity", setExtras.identity,
                    "Set a member of the drive's identity: NAME=VALUE, NAME one of description, productId, "
                    "firmwareId, userAppId, e2romSize, mcVersion, adcBits, guiDirectory, helpFile (repeatable)")
        ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    set->footer("Example: pelmora set axis.json PWM_freq=16kHz Limit_Speed=0.5m/s --unit PolePitch=mm\n"
                "Without SETUP the default setup is changed, and -o is required.");

    std::vector<std::string> computeArgs;
    PassOptions computeOptions;
    CLI::App* compute = app.add_subcommand("compute", "Recompute parameters, limits and options from the registers");
    compute->add_option("setup", computeArgs, "SETUP (default: the embedded default setup)")->check(kNotEmpty);
    compute->add_option("-o,--output", computeOptions.outPath, "Save the result to OUT (otherwise no file changes)")
        ->check(kNotEmpty);
    compute->add_flag("--json", computeOptions.json, "Print every parameter and option as JSON");

    std::vector<std::string> encodeArgs;
    PassOptions encodeOptions;
    CLI::App* encode = app.add_subcommand("encode", "Compute the drive registers from the parameters");
    encode->add_option("setup", encodeArgs, "SETUP (default: the embedded default setup)")->check(kNotEmpty);
    encode->add_option("-o,--output", encodeOptions.outPath, "Save the result to OUT (otherwise no file changes)")
        ->check(kNotEmpty);
    encode->add_flag("--json", encodeOptions.json, "Print every parameter and option as JSON");

    std::vector<std::string> editArgs;
    std::string editScript;
    std::string editOut;
    CLI::App* edit = app.add_subcommand("edit", "Open the drive setup dialog");
    edit->add_option("setup", editArgs, "SETUP (default: the embedded default setup)")->check(kNotEmpty);
    edit->add_option("--script", editScript,
                     "Drive the dialogs headless with this script (docs/edit-script.md); without it they open in "
                     "a window")
        ->check(kNotEmpty);
    edit->add_option("-o,--output", editOut,
                     "Save the setup to OUT when the dialog is closed with OK (in a window: otherwise back to SETUP)")
        ->check(kNotEmpty);

    DriveArguments driveArgs;
    CLI::App* drive = AddDriveCommand(app, driveArgs);
    TestArguments testArgs;
    CLI::App* test = AddTestCommand(app, testArgs);
    CommissionArguments commissionArgs;
    CLI::App* commission = AddCommissionCommand(app, commissionArgs);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? ToInt(ExitCode::Success) : ToInt(ExitCode::Misuse);
    }

    PluginLibrary plugin;
    if (!plugin.Load(pluginPath)) {
        std::cerr << "pelmora: " << plugin.Error() << '\n';
        return ToInt(ExitCode::Failure);
    }
    const CommandContext ctx{std::cout, std::cerr, plugin};
    if (*scale) return RunScale(ctx, scaleArgs);
    if (*show) return RunShow(ctx, showArgs, selection);
    if (*set) return RunSet(ctx, setArgs, setOut, setExtras);
    if (*compute) return RunCompute(ctx, computeArgs, computeOptions);
    if (*encode) return RunEncode(ctx, encodeArgs, encodeOptions);
    if (*edit) return RunEdit(ctx, editArgs, editScript, editOut);
    if (*drive) return RunDrive(ctx, driveArgs);
    if (*test) return RunTest(ctx, testArgs);
    if (*commission) return RunCommission(ctx, commissionArgs);
    return ToInt(ExitCode::Misuse);
}
