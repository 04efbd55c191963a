// The conversion passes on the default setup, with the parameter look-ups and heap allocations
// each one makes.
#include "BaseQuantities.h"
#include "Decode.h"
#include "Encode.h"
#include "Limits.h"
#include "MC_SetupFile.h"
#include "Options.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {
std::atomic<std::uint64_t> g_allocations{0};
}  // namespace

// Counts every heap allocation of the program, so a benchmark can tell whether a pass allocates.
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::unique_ptr<CMC_Setup> LoadAttached() {
    SetupLoadResult loaded = LoadDefaultSetup();
    if (!loaded) std::abort();
    pelmora::AttachCoreScales(*loaded.setup);
    return std::move(loaded.setup);
}

// Runs `pass` and reports, per run, the look-ups it made and the allocations it caused.
template <typename Pass>
void RunPass(benchmark::State& state, Pass pass) {
    const auto setup = LoadAttached();
    pass(*setup);  // settle the setup once, so every timed run does the same work
    const std::uint64_t lookupsBefore = setup->GetLookupCount();
    const std::uint64_t allocationsBefore = g_allocations.load();
    for (auto _ : state) pass(*setup);
    const auto runs = static_cast<double>(state.iterations());
    state.counters["lookups"] = static_cast<double>(setup->GetLookupCount() - lookupsBefore) / runs;
    state.counters["allocations"] = static_cast<double>(g_allocations.load() - allocationsBefore) / runs;
}

void BM_ComputeAllOptions(benchmark::State& state) { RunPass(state, pelmora::ComputeAll); }
BENCHMARK(BM_ComputeAllOptions);

void BM_UpdateRegistersFromParameters(benchmark::State& state) {
    RunPass(state, pelmora::UpdateRegistersFromParameters);
}
BENCHMARK(BM_UpdateRegistersFromParameters);

void BM_UpdateParametersFromRegisters(benchmark::State& state) {
    RunPass(state, pelmora::UpdateParametersFromRegisters);
}
BENCHMARK(BM_UpdateParametersFromRegisters);

// What every dialog runs before it opens a child: registers, then parameters, then limits.
void RoundTrip(CMC_Setup& setup) {
    pelmora::UpdateRegistersFromParameters(setup);
    pelmora::UpdateParametersFromRegisters(setup);
    pelmora::UpdateParameterLimits(setup);
}
void BM_RoundTrip(benchmark::State& state) { RunPass(state, RoundTrip); }
BENCHMARK(BM_RoundTrip);

// The yardstick for the round trip: one look-up hit, spelt as stored, through every name.
void BM_FindParameterHitInSameRun(benchmark::State& state) {
    const auto setup = LoadAttached();
    std::vector<std::string> names;
    for (const auto& p : setup->GetParameters()) names.emplace_back(p->GetName());
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(setup->FindParameter(names[i]));
        if (++i == names.size()) i = 0;
    }
}
BENCHMARK(BM_FindParameterHitInSameRun);

}  // namespace
