// The commissioning tests one after another, headless on the default setup and the simulated
// drive, each as `pelmora test NAME` runs it: setup dialogs, the test's button, Start, the wait
// on the drive's time, the closing answer.
#include "TestCommands.h"

#include <benchmark/benchmark.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace {

PluginLibrary& Plugin() {
    static PluginLibrary plugin;
    static const bool loaded = plugin.Load(PELMORA_PLUGIN_PATH);
    if (!loaded) throw std::runtime_error(plugin.Error());
    return plugin;
}

void BM_EveryCommissioningTest(benchmark::State& state) {
    PluginLibrary& plugin = Plugin();
    std::ostringstream out;
    std::ostringstream err;
    for (auto _ : state) {
        for (std::string_view test : CommissioningTestNames()) {
            TestArguments a;
            a.name = test;
            a.answer = "no";
            if (RunTest(CommandContext{out, err, plugin}, a) != 0) {
                state.SkipWithError(("test " + std::string(test) + " failed: " + err.str()).c_str());
                return;
            }
        }
        out.str({});
        err.str({});
    }
    state.counters["tests"] = static_cast<double>(CommissioningTestNames().size());
}
BENCHMARK(BM_EveryCommissioningTest)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
