// `pelmora drive`: reading and writing the drive, and running one of its programs, through the
// host's drive services (the in-process simulator unless --drive names another link).
#pragma once

#include "Commands.h"

#include <string>
#include <vector>

namespace CLI {
class App;
}

struct DriveArguments {
    std::string action;             // "read", "write" or "run"
    std::vector<std::string> args;  // the action's positional arguments
    std::string simPath;            // --sim: the simulator's truth; empty for the default
    std::string drive;              // --drive: "" / "sim", "tcp:HOST:PORT", "serial:DEVICE"
    std::string log;                // run --log NAME,...
    std::string csvPath;            // run --csv FILE
    int points = 1000;              // run --points
    int logType = 1;                // run --log-type: 1 slow loop, 2 current loop
    double timeout_s = 300.0;       // run --timeout, in drive time
};

// Adds `drive` with its actions to the application; `out` receives what was given.
CLI::App* AddDriveCommand(CLI::App& app, DriveArguments& out);

// Opens the setup, connects the link, runs the action, disconnects.
int RunDrive(const CommandContext& ctx, const DriveArguments& arguments);
// The action alone, on the link already connected; `arguments.args` holds no setup.
int RunDriveAction(const CommandContext& ctx, CMC_Setup& setup, const DriveArguments& arguments);
