// `pelmora commission`: the commissioning of a new axis, test after test as a user clicks them,
// each keeping what it found for the next, saved only when every step succeeded.
#pragma once

#include "Commands.h"

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

struct CommissionArguments {
    std::string setupPath;  // empty: the embedded default setup
    std::string simPath;    // --sim
    std::string drive;      // --drive
    std::string outPath;    // -o, required
    std::string reportDir;  // --report: where the report page and its plots go; empty: none
};

CLI::App* AddCommissionCommand(CLI::App& app, CommissionArguments& out);

int RunCommission(const CommandContext& ctx, const CommissionArguments& arguments);

// The steps of a commissioning, in order; those this build lacks are left out.
std::vector<std::string_view> CommissioningSequence();
