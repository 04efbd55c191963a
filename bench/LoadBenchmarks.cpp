// Setup loading time against the size of the file: each shape grows one part of the default
// setup (options, parameters, an unused member full of empty objects) to `n` items.
#include "MC_SetupFile.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

// The default setup with `extra` spliced in as the first members of the document.
std::string DefaultWith(const std::string& extra) {
    std::string text(DefaultSetupJson());
    const std::size_t open = text.find('{');
    text.insert(open + 1, extra);
    return text;
}

std::string ManyOptions(int n) {
    std::string member = "\"options\": {";
    for (int i = 0; i < n; ++i) member += (i ? ",\"Option" : "\"Option") + std::to_string(i) + "\":\"1\"";
    member += "},";
    // A second "options" member would be refused: drop the default one.
    std::string text = DefaultWith("");
    const std::size_t at = text.find("\"options\"");
    const std::size_t end = text.find('}', at);
    text.replace(at, end - at + 2, member);
    return text;
}

std::string ManyParameters(int n) {
    std::string items;
    for (int i = 0; i < n; ++i) {
        items += "{\"name\":\"Extra" + std::to_string(i) +
                 "\",\"value\":1.5,\"min\":0,\"max\":10,\"kind\":\"real\",\"unitType\":\"none\",\"unit\":\"-\"},";
    }
    std::string text = DefaultWith("");
    const std::size_t at = text.find('[', text.find("\"parameters\""));
    text.insert(at + 1, items);
    return text;
}

std::string ManyEmptyObjects(int n) {
    std::string member = "\"unused\": [";
    for (int i = 0; i < n; ++i) member += i ? ",{}" : "{}";
    member += "],";
    return DefaultWith(member);
}

void Load(benchmark::State& state, std::string (*make)(int)) {
    const std::string text = make(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SetupLoadResult loaded = ParseSetup(text, "bench");
        if (!loaded) state.SkipWithError(loaded.error.c_str());
        benchmark::DoNotOptimize(loaded.setup);
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}

void BM_LoadOptions(benchmark::State& state) { Load(state, ManyOptions); }
void BM_LoadParameters(benchmark::State& state) { Load(state, ManyParameters); }
void BM_LoadEmptyObjects(benchmark::State& state) { Load(state, ManyEmptyObjects); }

BENCHMARK(BM_LoadOptions)->Arg(1000)->Arg(4000)->Arg(16000)->Arg(32000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadParameters)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadEmptyObjects)->Arg(10000)->Arg(50000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace
