// The commissioning tests one after another, headless on the default setup and the simulated
// drive, each as `pelmora test NAME` runs it: setup dialogs, the test's button, Start, the wait
// on the drive's time, the closing answer.
#include "CommissionCommands.h"
#include "TestCommands.h"

#include <benchmark/benchmark.h>

#include <filesystem>
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

// The whole commissioning of the default axis, saved, with its report.
void BM_CommissionTheDefaultAxis(benchmark::State& state) {
    PluginLibrary& plugin = Plugin();
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "pelmora-commission-benchmark";
    std::ostringstream out;
    std::ostringstream err;
    for (auto _ : state) {
        CommissionArguments a;
        a.outPath = (dir / "out.json").string();
        a.reportDir = (dir / "report").string();
        if (RunCommission(CommandContext{out, err, plugin}, a) != 0) {
            state.SkipWithError(("commissioning failed: " + err.str()).c_str());
            break;
        }
        out.str({});
        err.str({});
    }
    std::filesystem::remove_all(dir);
    state.counters["steps"] = static_cast<double>(CommissioningSequence().size());
}
BENCHMARK(BM_CommissionTheDefaultAxis)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
