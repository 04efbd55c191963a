// Look-up and scale-factor costs on the default setup.
#include "BaseQuantities.h"
#include "MC_SetupFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

CMC_Setup& DefaultSetup() {
    static const std::unique_ptr<CMC_Setup> setup = [] {
        SetupLoadResult loaded = LoadDefaultSetup();
        if (!loaded) std::abort();
        pelmora::AttachCoreScales(*loaded.setup);
        return std::move(loaded.setup);
    }();
    return *setup;
}

// Every parameter name of the setup, as the code spells it and lower-cased.
std::vector<std::string> Names(bool lower) {
    std::vector<std::string> names;
    for (const auto& p : DefaultSetup().GetParameters()) {
        std::string name = p->GetName();
        if (lower) std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        names.push_back(std::move(name));
    }
    return names;
}

void BM_FindParameterHit(benchmark::State& state) {
    const CMC_Setup& setup = DefaultSetup();
    const std::vector<std::string> names = Names(false);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(setup.FindParameter(names[i]));
        if (++i == names.size()) i = 0;
    }
}
BENCHMARK(BM_FindParameterHit);

// The same names in another case than stored: the case-folding path.
void BM_FindParameterHitOtherCase(benchmark::State& state) {
    const CMC_Setup& setup = DefaultSetup();
    const std::vector<std::string> names = Names(true);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(setup.FindParameter(names[i]));
        if (++i == names.size()) i = 0;
    }
}
BENCHMARK(BM_FindParameterHitOtherCase);

void BM_FindParameterMissQuiet(benchmark::State& state) {
    const CMC_Setup& setup = DefaultSetup();
    std::vector<std::string> names = Names(false);
    for (std::string& name : names) name += "_X";
    CMC_QuietErrors quiet;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(setup.FindParameter(names[i]));
        if (++i == names.size()) i = 0;
    }
}
BENCHMARK(BM_FindParameterMissQuiet);

// The yardstick: a plain case-sensitive map found with an already lower-cased key.
void BM_UnorderedMapFindLowerCase(benchmark::State& state) {
    const std::vector<std::string> names = Names(true);
    std::unordered_map<std::string, std::size_t> map;
    for (std::size_t k = 0; k < names.size(); ++k) map.emplace(names[k], k);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.find(names[i]));
        if (++i == names.size()) i = 0;
    }
}
BENCHMARK(BM_UnorderedMapFindLowerCase);

void BM_GetScaleFactor(benchmark::State& state) {
    CMC_Setup& setup = DefaultSetup();
    const std::pair<const char*, const char*> cases[] = {
        {"A", "IQ"}, {"m", "APOS"}, {"rad/s", "Motor_Speed"}, {"m/s", "Limit_Speed"}, {"s", "TPS"}, {"°C", "TEMP"}};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pelmora::ScaleFactor(setup, cases[i].first, cases[i].second));
        if (++i == std::size(cases)) i = 0;
    }
}
BENCHMARK(BM_GetScaleFactor);

}  // namespace

BENCHMARK_MAIN();
