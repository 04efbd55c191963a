// `pelmora test NAME`: a commissioning test run headless as a user runs it from the setup
// dialogs, against the simulated drive unless --drive names another link.
#pragma once

#include "Commands.h"

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

struct TestArguments {
    std::string name;       // the test: "vdc"
    std::string setupPath;  // empty: the embedded default setup
    std::string simPath;    // --sim: the simulator's truth; empty for the default
    std::string drive;      // --drive: "" / "sim", "tcp:HOST:PORT", "serial:DEVICE"
    std::string outPath;    // -o: where the kept result is saved; empty: nothing is saved
    std::string answer = "yes";  // --answer: to the question whether to keep changed values
    double timeout_s = 60.0;     // the longest wait for the test, in the host's time
    std::string bandwidth;       // --bandwidth: a tuning test's passband, as typed
    std::string plotDir;         // --plot: where a tuning test's plot is saved
    double stopAfter_s = 0.0;    // --stop-after: Stop pressed after this long running; 0: the test's own
    // NAME=VALUE[UNIT]: the test's fields set before Start, in order (a leading argument
    // without "=" is taken for the setup).
    std::vector<std::string> fields;
};

// Adds `test` to the application; `out` receives what was given.
CLI::App* AddTestCommand(CLI::App& app, TestArguments& out);

// A value a test found, in its unit on show, beside what the setup held before.
struct FoundValue {
    std::string parameter;
    std::string found;
    std::string previous;
};

// Runs the test; the values it found (when it succeeded) also go to `found` when given.
int RunTest(const CommandContext& ctx, const TestArguments& arguments, std::vector<FoundValue>* found = nullptr);

// The names `pelmora test` takes, in the order a new axis is commissioned.
std::vector<std::string_view> CommissioningTestNames();

// Whether the test stores what it finds in the setup; a check that only shows readings (the
// phase wiring) saves nothing.
bool TestStoresResults(std::string_view name);
